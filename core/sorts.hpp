// The sorts of forestfit's learner core: a stable insertion sort, the
// small-node sort kernels, and the ordering of a node's runs by the ranks of
// one variable (small sort, counting sort or radix sort). No host calls.
#pragma once

#include "compiler.hpp"
#include "kernels.hpp"
#include "vectors.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace core::fit {

// Stable: an element moves only past those it precedes strictly.
template <class T, class Less>
void insertion_sort(T *a, std::size_t n, Less less)
{
    for (std::size_t i = 1; i < n; ++i) {
        const T x = a[i];
        std::size_t at = i;
        for (; at > 0 && less(x, a[at - 1]); --at)
            a[at] = a[at - 1];
        a[at] = x;
    }
}

// Small nodes' keys (distinct, fewer than a handful of vector widths) put
// in increasing order; each kernel takes at most `most` keys.
using SortSmall = void (*)(const std::uint64_t *keys, std::size_t m, std::uint64_t *sorted);
struct SmallSort {
    SortSmall sort;
    std::size_t most;
};

constexpr std::size_t SMALL_SORT_PORTABLE_MOST = 16;

inline void sort_small_portable(const std::uint64_t *keys, std::size_t m, std::uint64_t *sorted)
{
    std::copy_n(keys, m, sorted);
    insertion_sort(sorted, m, std::less<std::uint64_t>());
}

#if TOOLBOX_HAVE_AVX2_KERNELS
constexpr std::size_t SMALL_SORT_AVX2_MOST = 32;

// Each key goes to the place given by the number of keys below it, counted
// four at a time: no branch to mispredict, unlike an insertion sort's.
TOOLBOX_TARGET_AVX2
inline void sort_small_avx2(const std::uint64_t *keys, std::size_t m, std::uint64_t *sorted)
{
    constexpr std::uint64_t flip = std::uint64_t{1} << 63; // unsigned order as signed
    v4i lanes[SMALL_SORT_AVX2_MOST / 4];
    const std::size_t vectors = (m + 3) / 4;
    for (std::size_t v = 0; v < vectors; ++v)
        for (int lane = 0; lane < 4; ++lane) {
            const std::size_t j = 4 * v + lane; // padding: never below a key
            lanes[v][lane] = j < m ? static_cast<std::int64_t>(keys[j] ^ flip) : INT64_MAX;
        }
    for (std::size_t i = 0; i < m; ++i) {
        const std::int64_t x = static_cast<std::int64_t>(keys[i] ^ flip);
        const v4i key = {x, x, x, x};
        v4i below = {0, 0, 0, 0};
        for (std::size_t v = 0; v < vectors; ++v)
            below += (v4i)(lanes[v] < key); // -1 where below
        const std::int64_t place = -(below[0] + below[1] + below[2] + below[3]);
        sorted[place] = keys[i];
    }
}
#endif

// The small sort for this call; each kernel's limit goes with it.
inline SmallSort chosen_small_sort()
{
    const kernels::Family<SortSmall> sorts{sort_small_portable, nullptr,
                                           TOOLBOX_AVX2_KERNEL(sort_small_avx2)};
    const SortSmall sort = kernels::choose(sorts);
#if TOOLBOX_HAVE_AVX2_KERNELS
    if (sort == sorts.avx2)
        return {sort, SMALL_SORT_AVX2_MOST};
#endif
    return {sort, SMALL_SORT_PORTABLE_MOST};
}

// Least significant digit first on rank - low, digits of at most 8 bits,
// all digits counted in one read; the result ends in `sorted`, `spare` is
// the second buffer of the passes. Keys are rank << 32 | place.
inline void radix_sort(const std::uint64_t *keys, std::size_t m, std::uint32_t low,
                       std::size_t span, std::uint64_t *sorted, std::uint64_t *spare)
{
    unsigned bits = 0;
    while (bits < 32 && (std::size_t{1} << bits) < span)
        ++bits;
    const unsigned passes = (bits + 7) / 8;
    const unsigned digit = (bits + passes - 1) / passes;
    const std::uint32_t mask = (1u << digit) - 1;
    const std::uint64_t low_key = std::uint64_t{low} << 32;
    std::uint32_t counts[4][257];
    for (unsigned pass = 0; pass < passes; ++pass)
        std::fill(counts[pass], counts[pass] + mask + 2, 0u);
    if (passes == 2) // the usual case, unrolled
        for (std::size_t i = 0; i < m; ++i) {
            const std::uint64_t r = (keys[i] - low_key) >> 32;
            ++counts[0][(r & mask) + 1];
            ++counts[1][((r >> digit) & mask) + 1];
        }
    else
        for (std::size_t i = 0; i < m; ++i) {
            const std::uint64_t r = (keys[i] - low_key) >> 32;
            for (unsigned pass = 0; pass < passes; ++pass)
                ++counts[pass][((r >> (pass * digit)) & mask) + 1];
        }
    // Two buffers in turn, the first chosen so that the last pass writes
    // `sorted`.
    std::uint64_t *to = passes % 2 ? sorted : spare;
    std::uint64_t *next = passes % 2 ? spare : sorted;
    const std::uint64_t *from = keys;
    for (unsigned pass = 0; pass < passes; ++pass) {
        std::uint32_t *count = counts[pass];
        for (std::uint32_t b = 0; b < mask; ++b)
            count[b + 1] += count[b];
        const unsigned shift = 32 + pass * digit;
        for (std::size_t i = 0; i < m; ++i)
            to[count[((from[i] - low_key) >> shift) & mask]++] = from[i];
        from = to;
        std::swap(to, next);
    }
}

// Buffers of the ordering of a node's runs, R keys each (counts: one per
// rank of the widest variable, plus one).
struct SortBuffers {
    std::uint64_t *keys, *sorted, *spare;
    std::uint32_t *counts;
};

// Orders m runs by their ranks rank_of_row[row[i]] stably: `sorted` gets
// keys rank << 32 | i (i the run's place in the node), increasing, so ties
// keep the node's order. Ranks are small integers, so no comparison sort: a
// small-sort kernel for a handful of runs, a counting sort when the ranks
// present span at most about four values per run (its pass over the span
// then costs less than a radix sort's passes), else a radix sort.
inline void order_by_rank(const std::uint32_t *row, const std::uint32_t *rank_of_row,
                          std::size_t m, const SmallSort &small_sort, const SortBuffers &b)
{
    std::uint64_t *keys = b.keys;
    std::uint32_t low = UINT32_MAX, high = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint32_t r = rank_of_row[row[i]];
        low = std::min(low, r);
        high = std::max(high, r);
        keys[i] = std::uint64_t{r} << 32 | i;
    }
    const std::size_t span = std::size_t{high} - low + 1;
    if (m <= small_sort.most) {
        small_sort.sort(keys, m, b.sorted);
    } else if (span <= 4 * m + 256) {
        std::uint32_t *counts = b.counts;
        std::fill(counts, counts + span + 1, 0u);
        for (std::size_t i = 0; i < m; ++i)
            ++counts[(keys[i] >> 32) - low + 1];
        for (std::size_t r = 0; r < span; ++r)
            counts[r + 1] += counts[r];
        for (std::size_t i = 0; i < m; ++i)
            b.sorted[counts[(keys[i] >> 32) - low]++] = keys[i];
    } else {
        radix_sort(keys, m, low, span, b.sorted, b.spare);
    }
}

} // namespace core::fit
