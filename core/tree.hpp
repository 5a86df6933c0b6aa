// One tree as the walks read it, whatever it was read from: the tree
// arguments of treecast and nodeharvest, or a forest's tree in either
// layout; the side a categorical split sends a category to; the checks a
// walk makes at a node; and the faults a walk can meet, recorded where they
// are met (on a worker thread, too) and put into words by the host side.
#pragma once

#include "span.hpp"
#include "treerules.hpp"

#include <cstddef>
#include <cstdint>

namespace core {

// A value set's standing: usable, unset, or of the wrong class.
enum class SetState { usable, unset, not_int32 };

// One value set as read on the calling thread.
struct ValueSet {
    Span<const std::int32_t> values;
    SetState state = SetState::unset;
};

// One tree, read in place: N nodes, M categorical splits' value sets, the
// leaves' means and variances, and what the tree was fitted on when it
// says so. An expanded tree's 2M sets (left sets, then right sets, as
// catsplit stores them) come packed, as forestfit also stores them, or
// from catsplit's cells; a compact tree has the M left sets only
// (left_only), and every other category 1..L of the split's variable goes
// right.
struct TreeView {
    std::size_t N = 0;
    std::size_t M = 0;
    const std::int32_t *var = nullptr;
    const double *cut = nullptr;
    const std::int32_t *leftchildren = nullptr;
    const std::int32_t *rightchildren = nullptr;
    const double *leaf_mean = nullptr;
    const double *leaf_var = nullptr;
    const std::int32_t *packed_ends = nullptr; // where each set ends in packed_values
    const std::int32_t *packed_values = nullptr;
    const ValueSet *cell_sets = nullptr; // 2M, without a packed copy
    bool left_only = false;
    bool fitted = false; // theta_columns and levels are given
    std::size_t theta_columns = 0;
    Span<const double> levels;

    // Value set i: split i+1's left set for i < M, split i-M+1's right set
    // after (expanded trees only).
    ValueSet set(std::size_t i) const
    {
        if (packed_ends == nullptr)
            return cell_sets[i];
        const std::int32_t first = i == 0 ? 0 : packed_ends[i - 1];
        return {{packed_values + first, static_cast<std::size_t>(packed_ends[i] - first)},
                SetState::usable};
    }
    // The categories of variable v (1-based) of a fitted tree: 1..L, L = 0
    // for an ordered variable or one it does not record.
    double levels_of(std::size_t v) const
    {
        return fitted && v >= 1 && v <= levels.size() ? levels[v - 1] : 0;
    }
};

inline bool has_categorical_split(const TreeView &tree)
{
    for (std::size_t k = 0; k < tree.N; ++k)
        if (tree.var[k] < 0)
            return true;
    return false;
}

// Where a walk leaves a node on a categorical split: left, right, or
// missing (a category neither set lists).
enum Side { LEFT = 0, RIGHT = 1, MISSING = 2 };

// The side of `category` at the split on variable -v whose value sets are
// number `row` (0-based) and usable. The left set is searched first, so a
// category both list goes left; a compact tree sends every other category
// 1..L right.
inline Side categorical_side(const TreeView &t, std::size_t row, std::int32_t v,
                             std::int32_t category)
{
    if (lists(t.set(row).values, category))
        return LEFT;
    if (t.left_only)
        return category >= 1 && category <= t.levels_of(static_cast<std::size_t>(
                                                  split_column(v)))
                   ? RIGHT
                   : MISSING;
    if (lists(t.set(row + t.M).values, category))
        return RIGHT;
    return MISSING;
}

// ---- faults ---------------------------------------------------------------

// What a walk met that ends the call, recorded on a worker thread and put
// into words on the calling thread.
struct Fault {
    enum Kind {
        NONE,
        BAD_CHILD,       // child number outside 1..N
        CYCLE,           // a node reached twice, or a walk longer than N-1 steps
        BAD_VARIABLE,    // a split variable beyond the data's columns
        BAD_CATSPLIT,    // a categorical cut naming no catsplit row
        BAD_SET,         // a value set unset or not int32
        NOT_CATEGORICAL, // a compact tree's categorical split on a variable of no levels
        MISSING_CATEGORY, // a value neither set lists
        NO_SIDE,         // a strategy drawing a side from two empty value sets
        BAD_STRATEGY     // a strategy for missing categories that does not exist
    } kind = NONE;
    std::size_t tree = 0; // 0-based, as every index here
    std::size_t node = 0;
    std::int64_t number = 0; // the child, variable, catsplit row or strategy named
    bool right = false;      // BAD_CHILD, BAD_SET: which side
    SetState state = SetState::usable; // BAD_SET: what is wrong with the set
    const char *data = "";   // MISSING_CATEGORY: the argument, row and column
    std::size_t row = 0;
    std::size_t column = 0;
    double value = 0;
    std::size_t columns = 0; // BAD_VARIABLE: the columns there are

    explicit operator bool() const { return kind != NONE; }
};

// Whether catsplit row r's (1-based, in 1..M) left or right value set is
// usable; the fault, where not.
inline bool set_is_usable(const TreeView &t, std::int32_t r, bool right, Fault &f)
{
    const SetState state = t.set(static_cast<std::size_t>(r) - 1 + (right ? t.M : 0)).state;
    if (state == SetState::usable)
        return true;
    f.kind = Fault::BAD_SET;
    f.number = r;
    f.right = right;
    f.state = state;
    return false;
}

// The checks a walk makes at an internal node before it reads its
// variable: a categorical split's variable (a compact tree's levels must
// make it categorical), its catsplit row and its value sets.
// Returns false with `f` filled when the node cannot be walked.
inline bool split_is_usable(const TreeView &t, std::size_t k, Fault &f)
{
    if (t.var[k] > 0)
        return true;
    f.node = k;
    // A compact tree's right set is the rest of the variable's levels.
    const std::int64_t v = split_column(t.var[k]);
    if (t.left_only && !(t.levels_of(static_cast<std::size_t>(v)) > 0)) {
        f.kind = Fault::NOT_CATEGORICAL;
        f.number = v;
        return false;
    }
    const std::int32_t r = category_of(t.cut[k]);
    if (!is_catsplit_row(r, t.M)) {
        f.kind = Fault::BAD_CATSPLIT;
        f.number = r;
        return false;
    }
    for (const bool right : {false, true})
        if (!(right && t.left_only) && !set_is_usable(t, r, right, f))
            return false;
    return true;
}

// The child a walk goes to from node k, checked to be a node of the tree.
inline bool child_of(const TreeView &t, std::size_t k, bool right, std::size_t &child, Fault &f)
{
    // Both loaded, then one chosen: the side is data, and a branch on it
    // would be mispredicted half the time.
    const std::int32_t pair[2] = {t.leftchildren[k], t.rightchildren[k]};
    const std::int32_t number = pair[right];
    if (!is_node_number(number, t.N)) {
        f.kind = Fault::BAD_CHILD;
        f.node = k;
        f.number = number;
        f.right = right;
        return false;
    }
    child = static_cast<std::size_t>(number) - 1;
    return true;
}

// Which variables of a fitted tree a data argument holds: the
// configuration columns (Theta), the instance columns (X), or both (Z).
enum Part { CONFIGURATIONS, INSTANCES, WHOLE_ROWS };

} // namespace core
