// What the forest modules (forestmargins, forestcast) share beyond the
// forest format (forestformat.hpp, which reads a forest into plain views):
// the split test on those views, which worker threads run without the
// host; the faults a walk can meet, recorded by the worker and reported by
// the calling thread; the checks of the data against what a tree was
// fitted on; and the options both modules take.
#pragma once

#include "forestformat.hpp"
#include "threads.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace forest {

using host::fail;
using host::fail_fmt;
using host::SetState;

// Where a walk leaves a node on a categorical split: left, right, or
// missing (a category neither set lists).
enum Side { LEFT = 0, RIGHT = 1, MISSING = 2 };

// The side of `category` at the split on variable -v whose value sets are
// number `row` (0-based) and usable. The left set is searched first, so a
// category both list goes left; a compact tree sends every other category
// 1..L right.
inline Side categorical_side(const Tree &t, std::size_t row, std::int32_t v,
                             std::int32_t category)
{
    if (host::lists(t.set(row).values, category))
        return LEFT;
    if (t.left_only)
        return category >= 1 && category <= t.levels_of(static_cast<std::size_t>(
                                                  host::split_column(v)))
                   ? RIGHT
                   : MISSING;
    if (host::lists(t.set(row + t.M).values, category))
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
        MISSING_CATEGORY // a value neither set lists
    } kind = NONE;
    std::size_t tree = 0; // 0-based, as every index here
    std::size_t node = 0;
    std::int64_t number = 0; // the child, variable or catsplit row named
    bool right = false;      // BAD_CHILD, BAD_SET: which side
    const char *data = "";   // MISSING_CATEGORY: the argument, row and column
    std::size_t row = 0;
    std::size_t column = 0;
    double value = 0;
    std::size_t columns = 0; // BAD_VARIABLE: the columns there are

    explicit operator bool() const { return kind != NONE; }
};

// Ends the call with the fault's message.
[[noreturn]] inline void report(const Fault &f, const Tree &t)
{
    const std::size_t tree = f.tree + 1;
    const std::size_t node = f.node + 1;
    switch (f.kind) {
    case Fault::BAD_CHILD:
        fail_fmt("forest{%zu}: the %s child of node %zu must be a node number in 1..%zu (got "
                 "%lld).",
                 tree, f.right ? "right" : "left", node, t.N, static_cast<long long>(f.number));
    case Fault::CYCLE:
        fail_fmt("forest{%zu}: the children of the tree form a cycle or share a subtree "
                 "(met at node %zu).",
                 tree, node);
    case Fault::BAD_VARIABLE:
        fail_fmt("forest{%zu}: split variable %lld of node %zu exceeds the %zu columns of the "
                 "data.",
                 tree, static_cast<long long>(f.number), node, f.columns);
    case Fault::BAD_CATSPLIT: {
        // A compact tree's cut names one of its left sets.
        char where[40];
        std::snprintf(where, sizeof where, "forest{%zu}: ", tree);
        host::fail_cut(where, node, t.cut[f.node], t.left_only ? "left set" : "catsplit row", t.M);
    }
    case Fault::BAD_SET:
        fail_fmt("forest{%zu}.catsplit{%lld, %d}, a value set of node %zu, must be an int32 "
                 "array.",
                 tree, static_cast<long long>(f.number), f.right ? 2 : 1, node);
    case Fault::NOT_CATEGORICAL:
        fail_fmt("forest{%zu}: node %zu splits variable %lld as categorical, but the tree's "
                 "levels do not make it categorical.",
                 tree, node, static_cast<long long>(f.number));
    case Fault::MISSING_CATEGORY: {
        fail_fmt("%s(%zu, %zu) = %s is in neither value set of categorical node %zu of "
                 "forest{%zu}: every category the data holds must be listed at every split.",
                 f.data, f.row + 1, f.column + 1, host::shown(f.value).text, node, tree);
    }
    case Fault::NONE:
        break;
    }
    fail("an unknown fault.");
}

// The checks a walk makes at an internal node before it reads its
// variable: a categorical split's variable (a compact tree's levels must
// make it categorical), its catsplit row and its value sets.
// Returns false with `f` filled when the node cannot be walked.
inline bool split_is_usable(const Tree &t, std::size_t k, Fault &f)
{
    if (t.var[k] > 0)
        return true;
    f.node = k;
    // A compact tree's right set is the rest of the variable's levels.
    const std::int64_t v = host::split_column(t.var[k]);
    if (t.left_only && !(t.levels_of(static_cast<std::size_t>(v)) > 0)) {
        f.kind = Fault::NOT_CATEGORICAL;
        f.number = v;
        return false;
    }
    const std::int32_t r = host::category_of(t.cut[k]);
    if (!host::is_catsplit_row(r, t.M)) {
        f.kind = Fault::BAD_CATSPLIT;
        f.number = r;
        return false;
    }
    for (const bool right : {false, true}) {
        if (right && t.left_only)
            break;
        if (t.set(static_cast<std::size_t>(r) - 1 + (right ? t.M : 0)).state !=
            SetState::usable) {
            f.kind = Fault::BAD_SET;
            f.number = r;
            f.right = right;
            return false;
        }
    }
    return true;
}

// The child a walk goes to from node k, checked to be a node of the tree.
inline bool child_of(const Tree &t, std::size_t k, bool right, std::size_t &child, Fault &f)
{
    // Both loaded, then one chosen: the side is data, and a branch on it
    // would be mispredicted half the time.
    const std::int32_t pair[2] = {t.leftchildren[k], t.rightchildren[k]};
    const std::int32_t number = pair[right];
    if (!host::is_node_number(number, t.N)) {
        f.kind = Fault::BAD_CHILD;
        f.node = k;
        f.number = number;
        f.right = right;
        return false;
    }
    child = static_cast<std::size_t>(number) - 1;
    return true;
}

// ---- the data against what the trees were fitted on -----------------------

// One data argument (Theta, X or Z): column-major doubles.
struct Data {
    const char *name;
    const double *values;
    std::size_t rows;
    std::size_t cols;
};

// Which variables of a fitted tree a data argument holds: the
// configuration columns (Theta), the instance columns (X), or both (Z).
enum Part { CONFIGURATIONS, INSTANCES, WHOLE_ROWS };

// Checks, for every tree that says what it was fitted on, that `data` has
// the columns of its `part` and that its categorical columns hold the
// integers 1..L. Trees share their levels as a rule, so data already
// checked against equal levels is not scanned again.
inline void check_fitted(const Forest &forest, const Data &data, Part part)
{
    const Tree *checked = nullptr;
    for (std::size_t t = 0; t < forest.size(); ++t) {
        const Tree &tree = forest[t];
        if (!tree.fitted)
            continue;
        const std::size_t first = part == INSTANCES ? tree.theta_columns : 0;
        const std::size_t expected = part == CONFIGURATIONS ? tree.theta_columns
                                     : part == INSTANCES    ? tree.levels.size() - first
                                                            : tree.levels.size();
        if (data.cols != expected)
            fail_fmt("%s has %zu columns, but forest{%zu} was fitted with %zu %s.", data.name,
                     data.cols, t + 1, expected,
                     part == CONFIGURATIONS ? "configuration columns (theta_columns)"
                     : part == INSTANCES    ? "instance columns (levels less theta_columns)"
                                            : "columns (levels)");
        if (checked != nullptr && checked->theta_columns == tree.theta_columns &&
            checked->levels.size() == tree.levels.size() &&
            std::equal(tree.levels.begin(), tree.levels.end(), checked->levels.begin()))
            continue;
        for (std::size_t c = 0; c < data.cols; ++c) {
            const double L = tree.levels[first + c];
            if (L == 0)
                continue;
            const double *column = data.values + c * data.rows;
            for (std::size_t i = 0; i < data.rows; ++i) {
                const double x = column[i];
                if (!(x >= 1 && x <= L && x == std::floor(x))) {
                    fail_fmt("%s(%zu, %zu) = %s, but forest{%zu} was fitted with that column "
                             "categorical of levels %.0f: its values must be the integers "
                             "1..%.0f.",
                             data.name, i + 1, c + 1, host::shown(x).text, t + 1, L, L);
                }
            }
        }
        checked = &tree;
    }
}

// ---- options ----------------------------------------------------------------

// opts: an optional 1-by-1 struct whose one known field is num_threads, a
// positive integer (default: the cores this process may use).
inline std::size_t thread_count(const mxArray *opts)
{
    std::size_t threads = host::usable_cores();
    if (opts == nullptr)
        return threads;
    if (!(mxIsStruct(opts) && host::numel(opts) == 1))
        fail("opts must be a 1-by-1 struct (known fields: num_threads).");
    const int fields = mxGetNumberOfFields(opts);
    for (int f = 0; f < fields; ++f) {
        const char *name = mxGetFieldNameByNumber(opts, f);
        if (std::strcmp(name, "num_threads") != 0)
            fail_fmt("opts has an unknown field '%s' (known fields: num_threads).", name);
        const mxArray *value = mxGetFieldByNumber(opts, 0, f);
        const bool scalar = value != nullptr && (mxIsNumeric(value) || mxIsLogical(value)) &&
                            !mxIsComplex(value) && !mxIsSparse(value) &&
                            host::numel(value) == 1;
        const double n = scalar ? mxGetScalar(value) : 0;
        if (!(n >= 1 && n == std::floor(n) && n <= 1e6))
            fail("opts.num_threads must be a positive integer.");
        threads = static_cast<std::size_t>(n);
    }
    return threads;
}

} // namespace forest
