// The tree arguments as the host hands them: a catsplit cell's element
// read as a value set of the view the walks take.
#pragma once

#include "mexhost.hpp"
#include "tree.hpp"


namespace host {

using core::SetState;

// The standing of a cell element read as a value set.
inline SetState set_state(const mxArray *set)
{
    if (set == nullptr)
        return SetState::unset;
    if (mxIsInt32(set))
        return SetState::usable;
    return is_unset(set) ? SetState::unset : SetState::not_int32;
}


} // namespace host
