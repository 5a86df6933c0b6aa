// The split scoring kernels of forestfit's learner core, each in a portable,
// a vector and an AVX2 form that give the same bits: the best cut among a
// node's prefixes, and the per-category sums of a categorical variable. No
// host calls.
#pragma once

#include "compiler.hpp"
#include "kernels.hpp"
#include "sorts.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace core::fit {

// The best cut of a node of m runs among prefixes lo..hi (1 <= lo <= hi <
// m): the first i maximising S^2/i + (total-S)^2/(m-i), S = prefix[i-1],
// or 0 when none has a score (NaN marks a prefix that cannot be cut). The
// score, the same expression as grow_tree's, is returned in `score`.
using BestPrefix = std::size_t (*)(const double *prefix, std::size_t lo, std::size_t hi,
                                   std::size_t m, double total, double &score);

inline std::size_t best_prefix_portable(const double *prefix, std::size_t lo, std::size_t hi,
                                        std::size_t m, double total, double &score)
{
    std::size_t best_i = 0;
    for (std::size_t i = lo; i <= hi; ++i) {
        const double left = prefix[i - 1], right = total - left;
        const double s = left * left / static_cast<double>(i) +
                         right * right / static_cast<double>(m - i);
        const bool better = s > score; // the first best is kept
        score = better ? s : score;
        best_i = better ? i : best_i;
    }
    return best_i;
}

#if TOOLBOX_GNU_EXTENSIONS
// The same scores, a vector of prefixes at a time. Each lane keeps its
// first best; then the greatest lane score wins, at the smallest prefix
// that holds it, which is the first best over all. The last vector may
// reach past hi: those lanes are masked out, so `prefix` must be readable
// up to prefix[hi + lanes - 2]. No branch depends on a score (the scalar
// loop's comparison compiles to a branch, mispredicted in small nodes).
template <class Doubles, class Masks, int lanes>
TOOLBOX_FORCE_INLINE std::size_t best_prefix_lanes(const double *prefix, std::size_t lo,
                                                   std::size_t hi, std::size_t m, double total,
                                                   double &score)
{
    const double dm = static_cast<double>(m), last = static_cast<double>(hi);
    Doubles at, best, best_at, unset;
    for (int lane = 0; lane < lanes; ++lane) {
        at[lane] = static_cast<double>(lo + lane);
        best[lane] = score;
        best_at[lane] = 0;
        unset[lane] = std::numeric_limits<double>::infinity();
    }
    for (std::size_t i = lo; i <= hi; i += lanes) {
        Doubles left;
        std::memcpy(&left, prefix + i - 1, sizeof left);
        const Doubles right = total - left;
        const Doubles s = left * left / at + right * right / (dm - at);
        const Masks better = (s > best) & (at <= last);
        best = (Doubles)(((Masks)s & better) | ((Masks)best & ~better));
        best_at = (Doubles)(((Masks)at & better) | ((Masks)best_at & ~better));
        at += lanes;
    }
    double top = best[0];
    for (int lane = 1; lane < lanes; ++lane)
        top = best[lane] > top ? best[lane] : top;
    if (!(top > score))
        return 0;
    const Masks holds = best == top;
    const Doubles holder = (Doubles)(((Masks)best_at & holds) | ((Masks)unset & ~holds));
    double first = holder[0];
    for (int lane = 1; lane < lanes; ++lane)
        first = holder[lane] < first ? holder[lane] : first;
    score = top;
    return static_cast<std::size_t>(first);
}

#if TOOLBOX_HAVE_AVX2_KERNELS
TOOLBOX_TARGET_AVX2
inline std::size_t best_prefix_avx2(const double *prefix, std::size_t lo, std::size_t hi,
                                    std::size_t m, double total, double &score)
{
    return best_prefix_lanes<v4d, v4i, 4>(prefix, lo, hi, m, total, score);
}
#endif

inline std::size_t best_prefix_vector(const double *prefix, std::size_t lo, std::size_t hi,
                                      std::size_t m, double total, double &score)
{
    return best_prefix_lanes<v2d, v2i, 2>(prefix, lo, hi, m, total, score);
}
#endif

// The runs and response sums of categories 0..few-1 (their ranks) over a
// node's runs, each sum in node order as the host's accumarray adds. The
// vector kernels keep a lane per category and add every run to every lane,
// +0 where the run is not the lane's: a sum started at +0 never becomes -0,
// so the +0s change no bit, and no sum waits on a store to memory as
// n[r] += 1 does when runs of one category follow each other.
constexpr std::size_t FEW_CATEGORIES = 8;
using SumCategories = void (*)(const std::uint32_t *row, const std::uint32_t *rank,
                               const double *y, std::size_t m, std::size_t few, double *n,
                               double *sum);

inline void sum_categories_portable(const std::uint32_t *row, const std::uint32_t *rank,
                                    const double *y, std::size_t m, std::size_t few, double *n,
                                    double *sum)
{
    std::fill_n(n, few, 0.0);
    std::fill_n(sum, few, 0.0);
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint32_t r = rank[row[i]];
        n[r] += 1;
        sum[r] += y[i];
    }
}

#if TOOLBOX_GNU_EXTENSIONS
template <class Doubles, class Masks, int lanes, int vectors>
TOOLBOX_FORCE_INLINE void sum_categories_lanes(const std::uint32_t *row,
                                               const std::uint32_t *rank, const double *y,
                                               std::size_t m, std::size_t few, double *n,
                                               double *sum)
{
    const Doubles zero = {}, one = zero + 1;
    Doubles category[vectors], count[vectors], total[vectors];
    for (int v = 0; v < vectors; ++v) {
        for (int lane = 0; lane < lanes; ++lane)
            category[v][lane] = v * lanes + lane;
        count[v] = zero;
        total[v] = zero;
    }
    for (std::size_t i = 0; i < m; ++i) {
        const Doubles r = zero + static_cast<double>(rank[row[i]]), yi = zero + y[i];
        for (int v = 0; v < vectors; ++v) {
            const Masks here = category[v] == r;
            count[v] += (Doubles)((Masks)one & here);
            total[v] += (Doubles)((Masks)yi & here);
        }
    }
    for (std::size_t c = 0; c < few; ++c) {
        n[c] = count[c / lanes][c % lanes];
        sum[c] = total[c / lanes][c % lanes];
    }
}

// Lanes for 4 categories, or for FEW_CATEGORIES.
template <class Doubles, class Masks, int lanes>
TOOLBOX_FORCE_INLINE void sum_categories_in(const std::uint32_t *row, const std::uint32_t *rank,
                                            const double *y, std::size_t m, std::size_t few,
                                            double *n, double *sum)
{
    constexpr int most = static_cast<int>(FEW_CATEGORIES);
    if (few <= 4)
        sum_categories_lanes<Doubles, Masks, lanes, 4 / lanes>(row, rank, y, m, few, n, sum);
    else
        sum_categories_lanes<Doubles, Masks, lanes, most / lanes>(row, rank, y, m, few, n, sum);
}

#if TOOLBOX_HAVE_AVX2_KERNELS
TOOLBOX_TARGET_AVX2
inline void sum_categories_avx2(const std::uint32_t *row, const std::uint32_t *rank,
                                const double *y, std::size_t m, std::size_t few, double *n,
                                double *sum)
{
    sum_categories_in<v4d, v4i, 4>(row, rank, y, m, few, n, sum);
}
#endif

inline void sum_categories_vector(const std::uint32_t *row, const std::uint32_t *rank,
                                  const double *y, std::size_t m, std::size_t few, double *n,
                                  double *sum)
{
    sum_categories_in<v2d, v2i, 2>(row, rank, y, m, few, n, sum);
}
#endif

// This call's kernels, each from its family by the host's one dispatch.
struct SplitKernels {
    BestPrefix best_prefix;
    SumCategories sum_categories;
    SmallSort small_sort;
};

inline SplitKernels chosen_split_kernels()
{
    return {kernels::choose<BestPrefix>({best_prefix_portable,
                                         TOOLBOX_VECTOR_KERNEL(best_prefix_vector),
                                         TOOLBOX_AVX2_KERNEL(best_prefix_avx2)}),
            kernels::choose<SumCategories>({sum_categories_portable,
                                            TOOLBOX_VECTOR_KERNEL(sum_categories_vector),
                                            TOOLBOX_AVX2_KERNEL(sum_categories_avx2)}),
            chosen_small_sort()};
}

} // namespace core::fit
