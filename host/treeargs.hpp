// The tree arguments as the host hands them: node columns read as full
// N-by-1 buffers, a catsplit cell's elements as the value sets of the view
// the walks take.
#pragma once

#include "mexhost.hpp"
#include "tree.hpp"


namespace host {

using core::SetState;

// A double node column: full, N-by-1.
inline const double *node_doubles(const mxArray *a, std::size_t N, const char *name,
                                  const char *message)
{
    require(is_real_double(a) && is_column(a, N), message);
    require_full(a, name);
    return mxGetPr(a);
}

// An int32 node column, N-by-1.
inline const std::int32_t *node_int32s(const mxArray *a, std::size_t N, const char *message)
{
    require(is_real_int32(a) && is_column(a, N), message);
    return int32s(a).data();
}

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
