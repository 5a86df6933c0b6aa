// What the forest modules (forestmargins, forestcast) share: reading a
// forest argument, a 1-by-T cell of tree structs, into plain views on the
// calling thread; the split test on those views, which worker threads run
// without the host; the faults a walk can meet, recorded by the worker and
// reported by the calling thread; the checks of the data against what a
// tree was fitted on; and the options both modules take.
#pragma once

#include "threads.hpp"
#include "treerules.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace forest {

using host::fail;
using host::fail_fmt;
using host::SetState;

// One value set of a catsplit row as read on the calling thread.
struct ValueSet {
    host::Span<const std::int32_t> values;
    SetState state = SetState::unset;
};

// One tree, read in place: N nodes, M catsplit rows, the leaves'
// statistics, and what the tree was fitted on when it says so. Its 2M value
// sets (left sets, then right sets, as the cell stores them) come either
// packed, as forestfit also stores them, or from catsplit's cells.
struct Tree {
    std::size_t N = 0;
    std::size_t M = 0;
    const std::int32_t *var = nullptr;
    const double *cut = nullptr;
    const std::int32_t *leftchildren = nullptr;
    const std::int32_t *rightchildren = nullptr;
    const double *leaf_mean = nullptr;
    const double *leaf_var = nullptr;
    const std::int32_t *packed_ends = nullptr; // 2M: where each set ends in packed_values
    const std::int32_t *packed_values = nullptr;
    const ValueSet *cell_sets = nullptr; // 2M, without a packed copy
    bool fitted = false;                 // theta_columns and levels are given
    std::size_t theta_columns = 0;
    host::Span<const double> levels;

    // Value set i: row i+1's left set for i < M, row i-M+1's right set after.
    ValueSet set(std::size_t i) const
    {
        if (packed_ends == nullptr)
            return cell_sets[i];
        const std::int32_t first = i == 0 ? 0 : packed_ends[i - 1];
        return {{packed_values + first, static_cast<std::size_t>(packed_ends[i] - first)},
                SetState::usable};
    }
};

// Where a walk leaves a node on a categorical split: left, right, or
// missing (a category neither set lists).
enum Side { LEFT = 0, RIGHT = 1, MISSING = 2 };

// The side of `category` at catsplit row `row` (0-based), whose sets are
// usable. The left set is searched first, so a category both list goes left.
inline Side categorical_side(const Tree &t, std::size_t row, std::int32_t category)
{
    if (host::lists(t.set(row).values, category))
        return LEFT;
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

// A value as the host shows it: "NaN" and "Inf" the same on every platform
// (printf's spelling differs), finite values so that they read back.
inline void show_value(double x, char *text, std::size_t size)
{
    if (std::isnan(x))
        std::snprintf(text, size, "NaN");
    else if (std::isinf(x))
        std::snprintf(text, size, "%sInf", x < 0 ? "-" : "");
    else if (std::snprintf(text, size, "%.15g", x) > 0 && std::strtod(text, nullptr) != x)
        std::snprintf(text, size, "%.17g", x); // the shortest of the two that reads back
}

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
    case Fault::BAD_CATSPLIT:
        fail_fmt("forest{%zu}: the cut of categorical node %zu names catsplit row %lld, outside "
                 "1..%zu.",
                 tree, node, static_cast<long long>(f.number), t.M);
    case Fault::BAD_SET:
        fail_fmt("forest{%zu}.catsplit{%lld, %d}, a value set of node %zu, must be an int32 "
                 "array.",
                 tree, static_cast<long long>(f.number), f.right ? 2 : 1, node);
    case Fault::MISSING_CATEGORY: {
        char shown[32];
        show_value(f.value, shown, sizeof shown);
        fail_fmt("%s(%zu, %zu) = %s is in neither value set of categorical node %zu of "
                 "forest{%zu}: every category the data holds must be listed at every split.",
                 f.data, f.row + 1, f.column + 1, shown, node, tree);
    }
    case Fault::NONE:
        break;
    }
    fail("an unknown fault.");
}

// The checks a walk makes at an internal node before it reads its
// variable: the catsplit row and both value sets of a categorical split.
// Returns false with `f` filled when the node cannot be walked.
inline bool split_is_usable(const Tree &t, std::size_t k, Fault &f)
{
    if (t.var[k] > 0)
        return true;
    const std::int32_t r = host::category_of(t.cut[k]);
    f.node = k;
    if (!host::is_catsplit_row(r, t.M)) {
        f.kind = Fault::BAD_CATSPLIT;
        f.number = r;
        return false;
    }
    for (const bool right : {false, true}) {
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

// ---- reading the forest (calling thread) ----------------------------------

// A struct field of tree t, or null when the struct has no such field.
inline const mxArray *field(const mxArray *tree, const char *name)
{
    return mxGetField(tree, 0, name);
}

inline const mxArray *required_field(const mxArray *tree, std::size_t t, const char *name)
{
    const mxArray *a = field(tree, name);
    if (a == nullptr)
        fail_fmt("forest{%zu} has no field %s: a tree needs var, cut, leftchildren, "
                 "rightchildren, catsplit, leaf_mean and leaf_var (help forestfit).",
                 t + 1, name);
    return a;
}

inline const std::int32_t *node_int32s(const mxArray *tree, std::size_t t, const char *name,
                                       std::size_t N)
{
    const mxArray *a = required_field(tree, t, name);
    if (!(host::is_real_int32(a) && host::is_column(a, N)))
        fail_fmt("forest{%zu}.%s must be an int32 %zu-by-1 vector (one entry per node).", t + 1,
                 name, N);
    return host::int32s(a).data();
}

inline const double *node_doubles(const mxArray *tree, std::size_t t, const char *name,
                                  std::size_t N)
{
    const mxArray *a = required_field(tree, t, name);
    if (!(host::is_real_double(a) && !mxIsSparse(a) && host::is_column(a, N)))
        fail_fmt("forest{%zu}.%s must be a full double %zu-by-1 vector (one entry per node).",
                 t + 1, name, N);
    return mxGetPr(a);
}

// The value sets packed as forestfit also stores them: catsplit_ends, an
// M-by-2 int32 matrix of where each set ends in catsplit_values, which
// holds their values in the cell's order (left sets, then right sets).
inline bool has_packed_sets(const mxArray *a)
{
    return field(a, "catsplit_ends") != nullptr || field(a, "catsplit_values") != nullptr;
}

[[noreturn]] inline void fail_packed(std::size_t t)
{
    fail_fmt("forest{%zu}.catsplit_ends and catsplit_values must be catsplit's value sets "
             "packed as forestfit makes them (remove both fields after changing catsplit).",
             t + 1);
}

inline void read_packed_sets(const mxArray *a, std::size_t t, Tree &tree)
{
    const host::Span<const std::int32_t> ends = host::int32s(field(a, "catsplit_ends"));
    const host::Span<const std::int32_t> values = host::int32s(field(a, "catsplit_values"));
    std::int32_t previous = 0;
    for (const std::int32_t end : ends) {
        if (end < previous || static_cast<std::size_t>(end) > values.size())
            fail_packed(t);
        previous = end;
    }
    tree.packed_ends = ends.data();
    tree.packed_values = values.data();
}

// Reads tree t's value sets, from their packed copy where the tree has one
// (`packed`). In Octave the first read of a cell's element converts every
// element of the cell (about 0.2 us each), so a tree without categorical
// splits never touches its catsplit.
inline void read_value_sets(const mxArray *a, std::size_t t, bool packed, Tree &tree,
                            ValueSet *sets)
{
    bool categorical = false;
    for (std::size_t k = 0; k < tree.N && !categorical; ++k)
        categorical = tree.var[k] < 0;
    if (!categorical) {
        tree.M = 0; // no walk reads a set, and none is read here
        return;
    }
    if (packed) {
        read_packed_sets(a, t, tree);
        return;
    }
    const mxArray *catsplit = field(a, "catsplit");
    for (std::size_t i = 0; i < 2 * tree.M; ++i) {
        const mxArray *set = mxGetCell(catsplit, static_cast<mwIndex>(i));
        new (&sets[i]) ValueSet();
        sets[i].state = host::set_state(set);
        if (sets[i].state == SetState::usable)
            sets[i].values = host::int32s(set);
    }
    tree.cell_sets = sets;
}

// theta_columns and levels, when the tree has them: what it was fitted on.
inline void read_fitted(const mxArray *a, std::size_t t, Tree &tree)
{
    const mxArray *columns = field(a, "theta_columns");
    if (columns == nullptr)
        return;
    const mxArray *levels = field(a, "levels");
    const bool scalar = host::is_real_double(columns) && host::numel(columns) == 1;
    const double p = scalar ? mxGetScalar(columns) : -1;
    if (!(scalar && p >= 0 && p == std::floor(p) && p <= 2147483647.0))
        fail_fmt("forest{%zu}.theta_columns must be the number of columns of Theta the tree was "
                 "fitted with, a double scalar.",
                 t + 1);
    if (levels == nullptr || !(host::is_real_double(levels) && !mxIsSparse(levels) &&
                               std::min(host::rows(levels), host::cols(levels)) <= 1))
        fail_fmt("forest{%zu}.levels must be the double vector of levels the tree was fitted "
                 "with (it has theta_columns).",
                 t + 1);
    tree.fitted = true;
    tree.theta_columns = static_cast<std::size_t>(p);
    tree.levels = {mxGetPr(levels), host::numel(levels)};
    if (tree.theta_columns > tree.levels.size())
        fail_fmt("forest{%zu}.theta_columns is %zu, more than its %zu levels.", t + 1,
                 tree.theta_columns, tree.levels.size());
    for (std::size_t v = 0; v < tree.levels.size(); ++v) {
        const double L = tree.levels[v];
        if (!(L >= 0 && L == std::floor(L) && L <= 2147483647.0))
            fail_fmt("forest{%zu}.levels(%zu) must be 0 (ordered) or a number of categories.",
                     t + 1, v + 1);
    }
}

// Reads element t of the forest: a 1-by-1 struct with the tree's fields.
// `sets` has room for its 2M value sets (M and `packed` as tree_struct
// finds them).
inline void read_tree(const mxArray *a, std::size_t t, std::size_t M, bool packed, Tree &tree,
                      ValueSet *sets)
{
    tree.M = M;
    const mxArray *var = required_field(a, t, "var");
    if (!(host::is_real_int32(var) && host::cols(var) == 1))
        fail_fmt("forest{%zu}.var must be an int32 N-by-1 vector (one entry per node).", t + 1);
    tree.N = host::rows(var);
    if (tree.N == 0)
        fail_fmt("forest{%zu} has no nodes: var must have at least one row, as every walk "
                 "starts at node 1.",
                 t + 1);
    tree.var = host::int32s(var).data();
    tree.cut = node_doubles(a, t, "cut", tree.N);
    tree.leftchildren = node_int32s(a, t, "leftchildren", tree.N);
    tree.rightchildren = node_int32s(a, t, "rightchildren", tree.N);
    tree.leaf_mean = node_doubles(a, t, "leaf_mean", tree.N);
    tree.leaf_var = node_doubles(a, t, "leaf_var", tree.N);
    read_fitted(a, t, tree);
    read_value_sets(a, t, packed, tree, sets);
}

// Element t of the forest, checked to be a tree struct; whether it has
// packed value sets, and its catsplit rows, M, from them where it has them
// (catsplit itself is then not opened: asking a cell's size in Octave fixes
// a size cache that its later conversion would leak), else from catsplit.
inline const mxArray *tree_struct(const mxArray *forest, std::size_t t, std::size_t &M,
                                  bool &packed)
{
    const mxArray *a = mxGetCell(forest, static_cast<mwIndex>(t));
    if (a == nullptr || !mxIsStruct(a) || host::numel(a) != 1)
        fail_fmt("forest{%zu} must be a 1-by-1 tree struct, as forestfit returns them.", t + 1);
    packed = has_packed_sets(a);
    if (packed) {
        const mxArray *ends = field(a, "catsplit_ends");
        const mxArray *values = field(a, "catsplit_values");
        if (!(ends != nullptr && host::is_real_int32(ends) && host::cols(ends) == 2 &&
              host::dimension_count(ends) == 2 && values != nullptr &&
              host::is_real_int32(values)))
            fail_packed(t);
        M = host::rows(ends);
        return a;
    }
    const mxArray *catsplit = required_field(a, t, "catsplit");
    if (!(mxIsCell(catsplit) && host::cols(catsplit) == 2))
        fail_fmt("forest{%zu}.catsplit must be an M-by-2 cell array of value sets.", t + 1);
    M = host::rows(catsplit);
    return a;
}

// The number of trees of a forest argument, checked to be a cell.
inline std::size_t tree_count(const mxArray *forest)
{
    if (!mxIsCell(forest))
        fail("forest must be a cell array of tree structs, as forestfit returns it.");
    return host::numel(forest);
}

// The catsplit rows of the trees without packed value sets, for the
// scratch their sets take: a first look that raises nothing, so that the
// reading pass reports each tree's faults in tree order.
inline std::size_t catsplit_rows(const mxArray *forest, std::size_t T)
{
    std::size_t rows = 0;
    for (std::size_t t = 0; t < T; ++t) {
        const mxArray *a = mxGetCell(forest, static_cast<mwIndex>(t));
        if (a == nullptr || !mxIsStruct(a) || host::numel(a) != 1 || has_packed_sets(a))
            continue;
        const mxArray *catsplit = field(a, "catsplit");
        if (catsplit != nullptr && mxIsCell(catsplit))
            rows += host::numel(catsplit) / 2;
    }
    return rows;
}

// A forest read on the calling thread: the trees' views, and the value
// sets of those without a packed copy.
class Forest {
public:
    explicit Forest(const mxArray *forest)
        : T_(tree_count(forest)), trees_(T_, host::unfilled),
          sets_(2 * catsplit_rows(forest, T_), host::unfilled)
    {
        std::size_t at = 0;
        for (std::size_t t = 0; t < T_; ++t) {
            std::size_t M = 0;
            bool packed = false;
            const mxArray *a = tree_struct(forest, t, M, packed);
            Tree *tree = new (&trees_[t]) Tree();
            read_tree(a, t, M, packed, *tree, packed ? nullptr : sets_.data() + at);
            at += packed ? 0 : 2 * M;
            max_nodes_ = std::max(max_nodes_, tree->N);
        }
    }

    std::size_t size() const { return T_; }
    const Tree &operator[](std::size_t t) const { return trees_[t]; }
    std::size_t max_nodes() const { return max_nodes_; }

private:
    std::size_t T_;
    std::size_t max_nodes_ = 0;
    host::Scratch<Tree> trees_;
    host::Scratch<ValueSet> sets_;
};

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
                    char shown[32];
                    show_value(x, shown, sizeof shown);
                    fail_fmt("%s(%zu, %zu) = %s, but forest{%zu} was fitted with that column "
                             "categorical of levels %.0f: its values must be the integers "
                             "1..%.0f.",
                             data.name, i + 1, c + 1, shown, t + 1, L, L);
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
