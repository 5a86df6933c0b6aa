// The tree arguments as the host hands them: a catsplit cell's elements
// read as the value sets of the view the walks take.
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


// The 2M value sets of an M-by-2 catsplit cell (left sets, then right
// sets), each with its standing: a walk reports an unusable set only where
// it meets one.
inline void read_value_sets(const mxArray *catsplit, std::size_t M, core::ValueSet *sets)
{
    for (std::size_t i = 0; i < 2 * M; ++i) {
        const mxArray *set = mxGetCell(catsplit, static_cast<mwIndex>(i));
        sets[i] = core::ValueSet();
        sets[i].state = set_state(set);
        if (sets[i].state == SetState::usable)
            sets[i].values = int32s(set);
    }
}

} // namespace host
