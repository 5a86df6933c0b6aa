// The forest format, in one place: the fields of a tree struct in each
// layout, forestfit's writing of a grown tree into them, and the forest
// modules' reading of a forest argument, with its checks, into plain views
// that worker threads walk without the host.
//
// Two layouts:
//   compact (forestfit's default since 2.0.0): a fixed number of arrays
//     per tree whatever its size; a categorical split stores the categories
//     it sends left, and every other category 1..L goes right.
//   expanded (every 1.x forest, grow_tree's trees, forestfit's
//     opts.layout = 'expanded'): per-node arrays and cells, as treecast and
//     nodeharvest read them, with both value sets of each split.
// A tree is compact when it has the field format_version.
#pragma once

#include "growntree.hpp"
#include "mexhost.hpp"
#include "pages.hpp"
#include "tree.hpp"
#include "treeargs.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace host {

using core::SetState;
using core::TreeView;
using core::ValueSet;

// The compact layout's version, in every compact tree's format_version.
constexpr double FORMAT_VERSION = 2;

// The compact layout's fields, in order (help forestfit documents them).
enum CompactField {
    C_VAR, C_CUT, C_CHILDREN, C_MEAN, C_VARIANCE, C_COUNT, C_LEFT_SETS, C_LEFT_SET_ENDS,
    C_RESPONSES, C_RESPONSE_ENDS, C_THETA_COLUMNS, C_LEVELS, C_FORMAT_VERSION, COMPACT_FIELDS
};
constexpr const char *COMPACT_NAMES[COMPACT_FIELDS] = {
    "var",       "cut",       "children",      "mean",   "variance",
    "count",     "left_sets", "left_set_ends", "responses", "response_ends",
    "theta_columns", "levels", "format_version"};

// The expanded layout's fields, in order: grow_tree's, then what the tree
// was fitted on and its value sets packed.
enum ExpandedField {
    E_VAR, E_CUT, E_CHILDREN, E_LEFT, E_RIGHT, E_CATSPLIT, E_YSUB, E_NODEPRED, E_STDDEV,
    E_N_LEAF, E_G_LEAF, E_M_LEAF, E_LEAF_MEAN, E_LEAF_VAR, E_THETA_COLUMNS, E_LEVELS,
    E_CATSPLIT_ENDS, E_CATSPLIT_VALUES, EXPANDED_FIELDS
};
constexpr const char *EXPANDED_NAMES[EXPANDED_FIELDS] = {
    "var",       "cut",      "children", "leftchildren", "rightchildren", "catsplit",
    "ysub",      "nodepred", "stddev",   "n_leaf",       "g_leaf",        "m_leaf",
    "leaf_mean", "leaf_var", "theta_columns", "levels",  "catsplit_ends", "catsplit_values"};

// ---- writing (forestfit, on the calling thread) -----------------------------

// What a tree was fitted on, recorded in it: p, and the levels of the p+d
// variables.
struct FittedOn {
    std::size_t theta_columns;
    const double *levels;
    std::size_t n_vars;
};

// A 1-by-1 struct of the fields `names` (the C API takes them unqualified).
template <std::size_t N>
mxArray *host_struct(const char *const (&names)[N])
{
    const char *copy[N];
    std::copy(names, names + N, copy);
    return mxCreateStructMatrix(1, 1, static_cast<int>(N), copy);
}

// A rows-by-cols host array of class `id`, zero-filled, its data returned
// for filling.
template <class T>
mxArray *host_matrix(std::size_t rows, std::size_t cols, mxClassID id, T *&data)
{
    mxArray *a = mxCreateNumericMatrix(static_cast<mwSize>(rows), static_cast<mwSize>(cols), id,
                                       mxREAL);
    data = static_cast<T *>(mxGetData(a));
    return a;
}

// The same for data the caller writes whole: no zero fill, so that the
// pages are first touched by the writing, after huge ones were asked for.
template <class T>
mxArray *host_matrix(std::size_t rows, std::size_t cols, mxClassID id, T *&data, Unfilled)
{
    mxArray *a = mxCreateUninitNumericMatrix(rows, cols, id, mxREAL);
    data = static_cast<T *>(mxGetData(a));
    core::pages::advise_huge(data, rows * cols * sizeof(T));
    return a;
}

// A rows-by-cols host array holding `values` in storage order.
template <class T>
mxArray *host_copy(const T *values, std::size_t rows, std::size_t cols, mxClassID id)
{
    T *data = nullptr;
    mxArray *a = host_matrix(rows, cols, id, data, unfilled);
    if (rows * cols > 0)
        std::memcpy(data, values, rows * cols * sizeof(T));
    return a;
}

// The running totals of `sizes`, as int32 ends (the packing of value sets
// and responses: set i is values(e(i)+1 : e(i+1)), e = [0; ends]).
template <class Size>
void running_ends(const Size *sizes, std::size_t n, std::int32_t *ends)
{
    std::int64_t end = 0;
    for (std::size_t i = 0; i < n; ++i) {
        end += static_cast<std::int64_t>(sizes[i]);
        ends[i] = static_cast<std::int32_t>(end);
    }
}

// Tree `tree` in the compact layout; the leaves' responses kept or not.
inline mxArray *compact_tree(const core::fit::GrownTree &tree, const FittedOn &fitted,
                             bool keep_responses)
{
    const std::size_t N = tree.nodes.size();
    mxArray *out = host_struct(COMPACT_NAMES);
    auto column = [out](int field, std::size_t rows, std::size_t cols, mxClassID id,
                        auto *&data) {
        mxSetFieldByNumber(out, 0, field, host_matrix(rows, cols, id, data, unfilled));
    };
    std::int32_t *var = nullptr, *children = nullptr, *count = nullptr;
    double *cut = nullptr, *mean = nullptr, *variance = nullptr;
    column(C_VAR, N, 1, mxINT32_CLASS, var);
    column(C_CUT, N, 1, mxDOUBLE_CLASS, cut);
    column(C_CHILDREN, N, 2, mxINT32_CLASS, children);
    column(C_MEAN, N, 1, mxDOUBLE_CLASS, mean);
    column(C_VARIANCE, N, 1, mxDOUBLE_CLASS, variance);
    column(C_COUNT, N, 1, mxINT32_CLASS, count);
    std::size_t leaves = 0;
    for (std::size_t k = 0; k < N; ++k) {
        const core::fit::Node &node = tree.nodes[k];
        var[k] = node.var;
        cut[k] = node.cut;
        children[k] = node.is_leaf() ? 0 : node.first_child;
        children[N + k] = node.is_leaf() ? 0 : node.first_child + 1;
        mean[k] = node.mean;
        variance[k] = node.spread;
        count[k] = static_cast<std::int32_t>(node.run_count());
        leaves += node.is_leaf();
    }
    const std::size_t splits = tree.split_count();
    mxSetFieldByNumber(out, 0, C_LEFT_SETS,
                       host_copy(tree.left_values.data(), tree.left_values.size(), 1,
                                 mxINT32_CLASS));
    std::int32_t *set_ends = nullptr;
    column(C_LEFT_SET_ENDS, splits, 1, mxINT32_CLASS, set_ends);
    running_ends(tree.left_sizes.data(), splits, set_ends);
    const std::size_t kept = keep_responses ? tree.responses.size() : 0;
    mxSetFieldByNumber(out, 0, C_RESPONSES,
                       host_copy(tree.responses.data(), kept, 1, mxDOUBLE_CLASS));
    std::int32_t *response_ends = nullptr;
    column(C_RESPONSE_ENDS, keep_responses ? leaves : 0, 1, mxINT32_CLASS, response_ends);
    if (keep_responses) {
        std::int64_t end = 0;
        for (const core::fit::Node &node : tree.nodes)
            if (node.is_leaf()) {
                end += static_cast<std::int64_t>(node.run_count());
                *response_ends++ = static_cast<std::int32_t>(end);
            }
    }
    mxSetFieldByNumber(out, 0, C_THETA_COLUMNS,
                       mxCreateDoubleScalar(static_cast<double>(fitted.theta_columns)));
    mxSetFieldByNumber(out, 0, C_LEVELS, host_copy(fitted.levels, 1, fitted.n_vars, mxDOUBLE_CLASS));
    mxSetFieldByNumber(out, 0, C_FORMAT_VERSION, mxCreateDoubleScalar(FORMAT_VERSION));
    return out;
}

// The right set of each split of `tree`: the categories 1..L of its
// variable that its left set does not list, increasing. Splits are
// numbered in node order, as their nodes' cuts name them.
inline void right_sets(const core::fit::GrownTree &tree, const FittedOn &fitted,
                       std::vector<std::int32_t> &values, std::vector<std::uint32_t> &sizes)
{
    const std::int32_t *left = tree.left_values.data();
    for (const core::fit::Node &node : tree.nodes) {
        if (node.var >= 0)
            continue;
        const std::size_t split = static_cast<std::size_t>(node.cut) - 1;
        const std::size_t L = static_cast<std::size_t>(fitted.levels[-node.var - 1]);
        const std::uint32_t n_left = tree.left_sizes[split];
        std::size_t next = 1;
        for (std::uint32_t c = 0; c < n_left; ++c, ++next)
            for (; next < static_cast<std::size_t>(left[c]); ++next)
                values.push_back(static_cast<std::int32_t>(next));
        for (; next <= L; ++next)
            values.push_back(static_cast<std::int32_t>(next));
        sizes.push_back(static_cast<std::uint32_t>(L - n_left));
        left += n_left;
    }
}

// A 1-by-n row holding `values`.
template <class T>
mxArray *host_row(const T *values, std::size_t n, mxClassID id)
{
    return host_copy(values, 1, n, id);
}

// Tree `tree` in the expanded layout: every node's ysub row where `kept`
// keeps it (a leaf that keeps none a 1-by-0 row, so that nodeharvest reads
// every leaf; such an internal node nothing: it reads as []), every
// split's value sets as cells and packed. poll() is called now and then:
// a large tree takes seconds.
template <class Poll>
mxArray *expanded_tree(const core::fit::GrownTree &tree, const FittedOn &fitted,
                       core::fit::KeptResponses kept, Poll poll)
{
    const std::size_t N = tree.nodes.size();
    mxArray *out = host_struct(EXPANDED_NAMES);
    auto ints = [out, N](int field, std::size_t cols) {
        std::int32_t *data = nullptr;
        mxSetFieldByNumber(out, 0, field, host_matrix(N, cols, mxINT32_CLASS, data, unfilled));
        return data;
    };
    auto reals = [out, N](int field) {
        double *data = nullptr;
        mxSetFieldByNumber(out, 0, field, host_matrix(N, 1, mxDOUBLE_CLASS, data, unfilled));
        return data;
    };
    std::int32_t *var = ints(E_VAR, 1);
    double *cut = reals(E_CUT);
    std::int32_t *children = ints(E_CHILDREN, 2), *left = ints(E_LEFT, 1), *right = ints(E_RIGHT, 1);
    double *pred = reals(E_NODEPRED), *stddev = reals(E_STDDEV);
    std::int32_t *count = ints(E_N_LEAF, 1);
    double *sum = reals(E_G_LEAF), *squares = reals(E_M_LEAF), *mean = reals(E_LEAF_MEAN);
    double *spread = reals(E_LEAF_VAR);
    for (std::size_t k = 0; k < N; ++k) {
        const core::fit::Node &node = tree.nodes[k];
        var[k] = node.var;
        cut[k] = node.cut;
        const std::int32_t first = node.is_leaf() ? 0 : node.first_child;
        const std::int32_t second = node.is_leaf() ? 0 : node.first_child + 1;
        children[k] = left[k] = first;
        children[N + k] = right[k] = second;
        pred[k] = node.mean;
        stddev[k] = std::sqrt(node.spread);
        count[k] = static_cast<std::int32_t>(node.run_count());
        sum[k] = node.sum;
        squares[k] = node.squares;
        mean[k] = node.mean;
        spread[k] = node.spread;
    }

    // catsplit: row s holds split s's left and right sets, int32 rows; the
    // same sets packed, left sets then right sets.
    std::vector<std::int32_t> right_values;
    std::vector<std::uint32_t> right_sizes;
    right_sets(tree, fitted, right_values, right_sizes);
    const std::size_t splits = tree.split_count();
    mxArray *catsplit = mxCreateCellMatrix(static_cast<mwSize>(splits), 2);
    const std::int32_t *next_left = tree.left_values.data(), *next_right = right_values.data();
    for (std::size_t s = 0; s < splits; ++s) {
        mxSetCell(catsplit, static_cast<mwIndex>(s),
                  host_row(next_left, tree.left_sizes[s], mxINT32_CLASS));
        mxSetCell(catsplit, static_cast<mwIndex>(splits + s),
                  host_row(next_right, right_sizes[s], mxINT32_CLASS));
        next_left += tree.left_sizes[s];
        next_right += right_sizes[s];
    }
    mxSetFieldByNumber(out, 0, E_CATSPLIT, catsplit);
    std::int32_t *ends = nullptr;
    mxSetFieldByNumber(out, 0, E_CATSPLIT_ENDS,
                       host_matrix(splits, 2, mxINT32_CLASS, ends, unfilled));
    running_ends(tree.left_sizes.data(), splits, ends);
    running_ends(right_sizes.data(), splits, ends + splits);
    const std::int64_t left_total = splits ? ends[splits - 1] : 0;
    for (std::size_t s = 0; s < splits; ++s)
        ends[splits + s] += static_cast<std::int32_t>(left_total);
    std::int32_t *packed = nullptr;
    mxSetFieldByNumber(out, 0, E_CATSPLIT_VALUES,
                       host_matrix(tree.left_values.size() + right_values.size(), 1,
                                   mxINT32_CLASS, packed, unfilled));
    std::copy(tree.left_values.begin(), tree.left_values.end(), packed);
    std::copy(right_values.begin(), right_values.end(), packed + tree.left_values.size());

    mxArray *ysub = mxCreateCellMatrix(static_cast<mwSize>(N), 1);
    const double *responses = tree.responses.data();
    for (std::size_t k = 0; k < N; ++k) {
        const core::fit::Node &node = tree.nodes[k];
        const bool keeps = tree.keeps_responses(node, kept);
        const std::size_t n = keeps ? node.run_count() : 0;
        if (keeps || node.is_leaf())
            mxSetCell(ysub, static_cast<mwIndex>(k), host_row(responses, n, mxDOUBLE_CLASS));
        responses += n;
        if (k % 4096 == 4095)
            poll();
    }
    mxSetFieldByNumber(out, 0, E_YSUB, ysub);
    mxSetFieldByNumber(out, 0, E_THETA_COLUMNS,
                       mxCreateDoubleScalar(static_cast<double>(fitted.theta_columns)));
    mxSetFieldByNumber(out, 0, E_LEVELS, host_row(fitted.levels, fitted.n_vars, mxDOUBLE_CLASS));
    return out;
}

// ---- reading (forestmargins, forestcast, on the calling thread) -------------

// A struct field of a tree, or null when the struct has no such field.
inline const mxArray *field(const mxArray *tree, const char *name)
{
    return mxGetField(tree, 0, name);
}

inline bool is_compact(const mxArray *tree)
{
    return field(tree, COMPACT_NAMES[C_FORMAT_VERSION]) != nullptr;
}

inline const mxArray *required_field(const mxArray *tree, std::size_t t, const char *name)
{
    const mxArray *a = field(tree, name);
    if (a == nullptr) {
        if (is_compact(tree))
            fail_fmt("forest{%zu} has no field %s: a compact tree needs var, cut, children, "
                     "mean, variance, left_sets, left_set_ends, theta_columns and levels "
                     "(help forestfit).",
                     t + 1, name);
        fail_fmt("forest{%zu} has no field %s: a tree needs var, cut, leftchildren, "
                 "rightchildren, catsplit, leaf_mean and leaf_var (help forestfit).",
                 t + 1, name);
    }
    return a;
}

inline const std::int32_t *tree_int32s(const mxArray *tree, std::size_t t, const char *name,
                                       std::size_t N, std::size_t cols = 1)
{
    const mxArray *a = required_field(tree, t, name);
    if (!(is_real_int32(a) && has_shape(a, N, cols)))
        fail_fmt("forest{%zu}.%s must be an int32 %zu-by-%zu %s (one row per node).", t + 1,
                 name, N, cols, cols == 1 ? "vector" : "matrix");
    return int32s(a).data();
}

inline const double *tree_doubles(const mxArray *tree, std::size_t t, const char *name,
                                  std::size_t N)
{
    const mxArray *a = required_field(tree, t, name);
    if (!(is_real_double(a) && !mxIsSparse(a) && is_column(a, N)))
        fail_fmt("forest{%zu}.%s must be a full double %zu-by-1 vector (one entry per node).",
                 t + 1, name, N);
    return mxGetPr(a);
}

// Value sets packed as int32 values and int32 ends: `ends` must rise
// within the values. Returns whether they do.
inline bool read_packing(const mxArray *ends_array, const mxArray *values_array, TreeView &tree)
{
    const host::Span<const std::int32_t> ends = int32s(ends_array);
    const host::Span<const std::int32_t> values = int32s(values_array);
    std::int32_t previous = 0;
    for (const std::int32_t end : ends) {
        if (end < previous || static_cast<std::size_t>(end) > values.size())
            return false;
        previous = end;
    }
    tree.packed_ends = ends.data();
    tree.packed_values = values.data();
    return true;
}

// An expanded tree's value sets packed as forestfit also stores them:
// catsplit_ends, an M-by-2 int32 matrix of where each set ends in
// catsplit_values, which holds their values in the cell's order (left
// sets, then right sets).
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

// Reads an expanded tree's value sets, from their packed copy where the
// tree has one (`packed`). In Octave the first read of a cell's element
// converts every element of the cell (about 0.2 us each), so a tree
// without categorical splits never touches its catsplit.
inline void read_tree_sets(const mxArray *a, std::size_t t, bool packed, TreeView &tree,
                            ValueSet *sets)
{
    if (!has_categorical_split(tree)) {
        tree.M = 0; // no walk reads a set, and none is read here
        return;
    }
    if (packed) {
        if (!read_packing(field(a, "catsplit_ends"), field(a, "catsplit_values"), tree))
            fail_packed(t);
        return;
    }
    read_value_sets(field(a, "catsplit"), tree.M, sets);
    tree.cell_sets = sets;
}

// theta_columns and levels, when the tree has them (a compact tree always
// does): what it was fitted on.
inline void read_fitted(const mxArray *a, std::size_t t, TreeView &tree)
{
    const mxArray *columns = tree.left_only ? required_field(a, t, "theta_columns")
                                            : field(a, "theta_columns");
    if (columns == nullptr)
        return;
    const mxArray *levels = field(a, "levels");
    const bool scalar = is_real_double(columns) && numel(columns) == 1;
    const double p = scalar ? mxGetScalar(columns) : -1;
    if (!(scalar && p >= 0 && is_whole(p) && p <= 2147483647.0))
        fail_fmt("forest{%zu}.theta_columns must be the number of columns of Theta the tree was "
                 "fitted with, a double scalar.",
                 t + 1);
    if (levels == nullptr || !(is_real_double(levels) && !mxIsSparse(levels) &&
                               std::min(rows(levels), cols(levels)) <= 1))
        fail_fmt("forest{%zu}.levels must be the double vector of levels the tree was fitted "
                 "with (it has theta_columns).",
                 t + 1);
    tree.fitted = true;
    tree.theta_columns = static_cast<std::size_t>(p);
    tree.levels = {mxGetPr(levels), numel(levels)};
    if (tree.theta_columns > tree.levels.size())
        fail_fmt("forest{%zu}.theta_columns is %zu, more than its %zu levels.", t + 1,
                 tree.theta_columns, tree.levels.size());
    for (std::size_t v = 0; v < tree.levels.size(); ++v) {
        const double L = tree.levels[v];
        if (!(L >= 0 && is_whole(L) && L <= 2147483647.0))
            fail_fmt("forest{%zu}.levels(%zu) must be 0 (ordered) or a number of categories.",
                     t + 1, v + 1);
    }
}

// The nodes' split variables and cuts, in both layouts; N from var.
inline void read_splits(const mxArray *a, std::size_t t, TreeView &tree)
{
    const mxArray *var = required_field(a, t, "var");
    if (!(is_real_int32(var) && cols(var) == 1))
        fail_fmt("forest{%zu}.var must be an int32 N-by-1 vector (one entry per node).", t + 1);
    tree.N = rows(var);
    if (tree.N == 0)
        fail_fmt("forest{%zu} has no nodes: var must have at least one row, as every walk "
                 "starts at node 1.",
                 t + 1);
    tree.var = int32s(var).data();
    tree.cut = tree_doubles(a, t, "cut", tree.N);
}

// A compact tree: its format version, node columns, left sets and what it
// was fitted on.
inline void read_compact_tree(const mxArray *a, std::size_t t, TreeView &tree)
{
    const mxArray *version = field(a, COMPACT_NAMES[C_FORMAT_VERSION]);
    const bool scalar = is_real_double(version) && numel(version) == 1;
    if (!(scalar && mxGetScalar(version) == FORMAT_VERSION))
        fail_fmt("forest{%zu}.format_version must be %g: this version of the toolbox reads the "
                 "compact forest format %g, and expanded trees (without format_version).",
                 t + 1, FORMAT_VERSION, FORMAT_VERSION);
    tree.left_only = true;
    read_splits(a, t, tree);
    tree.leftchildren = tree_int32s(a, t, "children", tree.N, 2);
    tree.rightchildren = tree.leftchildren + tree.N;
    tree.leaf_mean = tree_doubles(a, t, "mean", tree.N);
    tree.leaf_var = tree_doubles(a, t, "variance", tree.N);
    read_fitted(a, t, tree);
    // (A walk checks that a categorical split's variable is categorical.)
    const mxArray *ends = required_field(a, t, "left_set_ends");
    const mxArray *values = required_field(a, t, "left_sets");
    if (!(is_real_int32(ends) && cols(ends) <= 1 && is_real_int32(values) &&
          cols(values) <= 1 && read_packing(ends, values, tree)))
        fail_fmt("forest{%zu}.left_sets and left_set_ends must be int32 columns, the left sets "
                 "packed as forestfit makes them.",
                 t + 1);
    tree.M = numel(ends);
}

// An expanded tree (`M` and `packed` as tree_element finds them; `sets`
// has room for its 2M value sets when they come from catsplit's cells).
inline void read_expanded_tree(const mxArray *a, std::size_t t, std::size_t M, bool packed,
                               TreeView &tree, ValueSet *sets)
{
    tree.M = M;
    read_splits(a, t, tree);
    tree.leftchildren = tree_int32s(a, t, "leftchildren", tree.N);
    tree.rightchildren = tree_int32s(a, t, "rightchildren", tree.N);
    tree.leaf_mean = tree_doubles(a, t, "leaf_mean", tree.N);
    tree.leaf_var = tree_doubles(a, t, "leaf_var", tree.N);
    read_fitted(a, t, tree);
    read_tree_sets(a, t, packed, tree, sets);
}

// Element t of the forest, checked to be a tree struct; for an expanded
// tree, whether it has packed value sets, and its catsplit rows, M, from
// them where it has them (catsplit itself is then not opened: asking a
// cell's size in Octave fixes a size cache that its later conversion would
// leak), else from catsplit.
inline const mxArray *tree_element(const mxArray *forest, std::size_t t, std::size_t &M,
                                   bool &packed)
{
    const mxArray *a = mxGetCell(forest, static_cast<mwIndex>(t));
    if (a == nullptr || !mxIsStruct(a) || numel(a) != 1)
        fail_fmt("forest{%zu} must be a 1-by-1 tree struct, as forestfit returns them.", t + 1);
    if (is_compact(a))
        return a;
    packed = has_packed_sets(a);
    if (packed) {
        const mxArray *ends = field(a, "catsplit_ends");
        const mxArray *values = field(a, "catsplit_values");
        if (!(ends != nullptr && is_real_int32(ends) && cols(ends) == 2 &&
              dimension_count(ends) == 2 && values != nullptr &&
              is_real_int32(values)))
            fail_packed(t);
        M = rows(ends);
        return a;
    }
    const mxArray *catsplit = required_field(a, t, "catsplit");
    if (!(mxIsCell(catsplit) && cols(catsplit) == 2))
        fail_fmt("forest{%zu}.catsplit must be an M-by-2 cell array of value sets.", t + 1);
    M = rows(catsplit);
    return a;
}

// The number of trees of a forest argument, checked to be a cell.
inline std::size_t tree_count(const mxArray *forest)
{
    if (!mxIsCell(forest))
        fail("forest must be a cell array of tree structs, as forestfit returns it.");
    return numel(forest);
}

// The catsplit rows of the expanded trees without packed value sets, for
// the scratch their sets take: a first look that raises nothing, so that
// the reading pass reports each tree's faults in tree order.
inline std::size_t catsplit_rows(const mxArray *forest, std::size_t T)
{
    std::size_t rows = 0;
    for (std::size_t t = 0; t < T; ++t) {
        const mxArray *a = mxGetCell(forest, static_cast<mwIndex>(t));
        if (a == nullptr || !mxIsStruct(a) || numel(a) != 1 || is_compact(a) ||
            has_packed_sets(a))
            continue;
        const mxArray *catsplit = field(a, "catsplit");
        if (catsplit != nullptr && mxIsCell(catsplit))
            rows += numel(catsplit) / 2;
    }
    return rows;
}

// A forest read on the calling thread: the trees' views, and the value
// sets of expanded trees without a packed copy.
class Forest {
public:
    explicit Forest(const mxArray *forest)
        : T_(tree_count(forest)), trees_(T_, unfilled),
          sets_(2 * catsplit_rows(forest, T_), unfilled)
    {
        std::size_t at = 0;
        for (std::size_t t = 0; t < T_; ++t) {
            std::size_t M = 0;
            bool packed = false;
            const mxArray *a = tree_element(forest, t, M, packed);
            TreeView *tree = new (&trees_[t]) TreeView();
            if (is_compact(a)) {
                read_compact_tree(a, t, *tree);
            } else {
                read_expanded_tree(a, t, M, packed, *tree, packed ? nullptr : sets_.data() + at);
                at += packed ? 0 : 2 * M;
            }
            max_nodes_ = std::max(max_nodes_, tree->N);
        }
    }

    std::size_t size() const { return T_; }
    const TreeView &operator[](std::size_t t) const { return trees_[t]; }
    std::size_t max_nodes() const { return max_nodes_; }

private:
    std::size_t T_;
    std::size_t max_nodes_ = 0;
    Scratch<TreeView> trees_;
    Scratch<ValueSet> sets_;
};

// ---- the data against what the trees were fitted on -----------------------

// Checks, for every tree that says what it was fitted on, that `data` has
// the columns of its `part` and that its categorical columns hold the
// integers 1..L. Trees share their levels as a rule, so data already
// checked against equal levels is not scanned again.
inline void check_fitted(const Forest &forest, const core::DataMatrix &data, core::Part part)
{
    const core::TreeView *checked = nullptr;
    for (std::size_t t = 0; t < forest.size(); ++t) {
        const core::TreeView &tree = forest[t];
        if (!tree.fitted)
            continue;
        const std::size_t first = part == core::INSTANCES ? tree.theta_columns : 0;
        const std::size_t expected = part == core::CONFIGURATIONS ? tree.theta_columns
                                     : part == core::INSTANCES    ? tree.levels.size() - first
                                                            : tree.levels.size();
        if (data.cols != expected)
            fail_fmt("%s has %zu columns, but forest{%zu} was fitted with %zu %s.", data.name,
                     data.cols, t + 1, expected,
                     part == core::CONFIGURATIONS ? "configuration columns (theta_columns)"
                     : part == core::INSTANCES    ? "instance columns (levels less theta_columns)"
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
                             data.name, i + 1, c + 1, shown(x).text, t + 1, L, L);
                }
            }
        }
        checked = &tree;
    }
}

} // namespace host

