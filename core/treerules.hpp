// The rules the tree modules apply to the tree arrays: a value's category,
// the column a split reads, which node and catsplit row numbers exist, how a
// value set is searched, how a split divides a list of rows.
#pragma once

#include "span.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace core {

// The category of a value no set can list.
constexpr std::int32_t MISSING_CATEGORY = INT32_MIN;

// A data value's category: truncation toward zero to 32 bits; NaN and values
// outside the 32-bit range become the lowest 32-bit integer.
inline std::int32_t category_of(double x)
{
    if (x > -2147483649.0 && x < 2147483648.0)
        return static_cast<std::int32_t>(x);
    return MISSING_CATEGORY;
}

// The variable a split reads (1-based): |v|, taken in 64 bits so that the
// lowest 32-bit integer has a magnitude too.
inline std::int64_t split_column(std::int32_t v)
{
    return v < 0 ? -static_cast<std::int64_t>(v) : v;
}

// Whether `child` numbers a node of a tree of N nodes (1-based).
inline bool is_node_number(std::int32_t child, std::size_t N)
{
    return child >= 1 && static_cast<std::size_t>(child) <= N;
}

// Whether a categorical cut's truncation `r` names a catsplit row (1-based).
inline bool is_catsplit_row(std::int32_t r, std::size_t M)
{
    return r >= 1 && static_cast<std::size_t>(r) <= M;
}

// Whether a value set lists the category: a linear search (sets are short
// and neither sorted nor kept between calls), written out so that the
// compiler inlines it into the walks.
inline bool lists(Span<const std::int32_t> set, std::int32_t category)
{
    for (const std::int32_t value : set)
        if (value == category)
            return true;
    return false;
}

// One catsplit row as the walks that route many rows read it: which of
// the categories base..base+63 either set lists (`known`), and which of
// those go right. The left set is searched first, so a category both list
// goes left. Whatever a checked walk would decide otherwise (a category
// outside the window, a set it would report) is simply not known here: the
// fast walk leaves that row to the checked one.
struct CategoryWindow {
    std::uint64_t known = 0;
    std::uint64_t right = 0;
    std::int64_t base = 0;

    // 0 left, 1 right, 2 not known.
    std::size_t side(std::int32_t category) const
    {
        const std::uint64_t offset = static_cast<std::uint64_t>(category - base);
        const std::uint64_t bit = offset < 64 ? std::uint64_t{1} << offset : 0;
        if (!(known & bit))
            return 2;
        return (right & bit) != 0;
    }
};

// The categories base..base+63 that a value set lists.
inline std::uint64_t window_mask(Span<const std::int32_t> set, std::int64_t base)
{
    std::uint64_t mask = 0;
    for (const std::int32_t value : set) {
        const std::uint64_t offset = static_cast<std::uint64_t>(value - base);
        if (offset < 64)
            mask |= std::uint64_t{1} << offset;
    }
    return mask;
}

// The window of a catsplit row whose sets are `left` and `right` (empty
// where unusable). It starts at the smallest category listed, so any 64
// neighbouring categories fit, whatever their numbers.
inline CategoryWindow category_window(Span<const std::int32_t> left,
                                      Span<const std::int32_t> right)
{
    CategoryWindow w;
    w.base = INT32_MAX;
    for (const Span<const std::int32_t> &set : {left, right})
        for (const std::int32_t value : set)
            w.base = std::min<std::int64_t>(w.base, value);
    const std::uint64_t left_mask = window_mask(left, w.base);
    w.right = window_mask(right, w.base) & ~left_mask;
    w.known = left_mask | w.right;
    return w;
}

// The window of a split that lists its left set only and sends every
// other category 1..L right. It starts at 1 where 1..L fits it, else at
// the smallest category sent left (kept within 1..L-63), so that left
// sets of up to 64 neighbouring categories fit.
inline CategoryWindow left_set_window(Span<const std::int32_t> left, double L)
{
    const std::int64_t last_level = static_cast<std::int64_t>(L);
    CategoryWindow w;
    w.base = 1;
    if (last_level > 64 && left.size() > 0) {
        w.base = INT32_MAX;
        for (const std::int32_t value : left)
            w.base = std::min<std::int64_t>(w.base, value);
        w.base = std::max<std::int64_t>(1, std::min(w.base, last_level - 63));
    }
    const std::int64_t last = std::min(w.base + 63, last_level);
    const std::uint64_t levels =
        last < w.base ? 0 : ~std::uint64_t{0} >> (63 - (last - w.base));
    const std::uint64_t left_mask = window_mask(left, w.base);
    w.right = levels & ~left_mask;
    w.known = left_mask | w.right;
    return w;
}

// Reorders list[0..n) so that the entries `goes_left` accepts come first,
// each side keeping its order; returns how many went left. `spare` holds the
// right side meanwhile (n entries at least).
template <class Entry, class GoesLeft>
inline std::size_t partition_stably(Entry *list, std::size_t n, Entry *spare, GoesLeft goes_left)
{
    std::size_t n_left = 0;
    std::size_t n_right = 0;
    for (std::size_t i = 0; i < n; ++i) {
        // Both stores, then one count moves: the side is data, and a
        // branch on it would be mispredicted half the time. list[n_left]
        // never overtakes list[i], so the entry it overwrites was read.
        const Entry row = list[i];
        const bool left = goes_left(row);
        list[n_left] = row;
        spare[n_right] = row;
        n_left += left;
        n_right += !left;
    }
    if (n_right > 0)
        std::memcpy(list + n_left, spare, n_right * sizeof *spare);
    return n_left;
}

} // namespace core
