// nodeharvest: the leaves of one regression tree that a set of
// configurations (rows of Theta) and a set of instances (rows of X) reach.
//
// The tree's variables are the columns of Theta followed by the columns of
// X, so a split on a Theta column divides only the configurations and a
// split on an X column only the instances; the other set passes whole to
// both children. No (configuration, instance) pair is ever formed.
//
// The gateway checks its thirteen arguments in order, creates the two
// outputs and runs the walk `fwd_theta_pis` once from the root. The walk
// visits nodes depth first, left subtree before right, and writes one leaf
// cell per leaf reached. It keeps its own stack instead of recursing, so a
// deep tree cannot exhaust the host's stack, and it keeps one working copy
// of each list: a node stably partitions the range of the list it divides
// (left entries first), hands the two halves to its children, and merges
// them back when both are done. Each range is strictly increasing again by
// then, exactly as the divided list was on entry. Scratch is thus a fixed
// O(rows(Theta) + rows(X) + N) plus one frame per node on the current path.
#include "faults.hpp"
#include "mexhost.hpp"
#include "treeargs.hpp"
#include "treerules.hpp"

#include <cstring>

namespace {

using host::fail;
using host::fail_fmt;
using core::category_of;
using core::is_catsplit_row;
using core::is_node_number;
using core::lists;
using core::partition_stably;
using core::split_column;

enum {
    IN_VAR = 0,
    IN_CUT,
    IN_YSUB,
    IN_LEFTCHILDREN,
    IN_RIGHTCHILDREN,
    IN_CATSPLIT,
    IN_THETA,
    IN_X,
    IN_G_LEAF,
    IN_M_LEAF,
    IN_N_LEAF,
    IN_LEAF_MEAN,
    IN_LEAF_VAR,
    NUM_INPUTS
};

enum { OUT_CELL_OF_LEAVES = 0, OUT_NUM_CELLS_FILLED };

// The tree and its per-node leaf statistics, read in place.
struct Tree {
    const std::int32_t *var;
    const double *cut;
    const mxArray *ysub;
    const std::int32_t *leftchildren;
    const std::int32_t *rightchildren;
    const mxArray *catsplit;
    std::size_t N;
    std::size_t M;
    const double *g_leaf;
    const double *m_leaf;
    const std::int32_t *n_leaf;
    const double *leaf_mean;
    const double *leaf_var;
};

// The routed data: nT configurations of p variables, nX instances of d.
struct Data {
    const double *Theta;
    std::size_t nT;
    std::size_t p;
    const double *X;
    std::size_t nX;
    std::size_t d;
};

// Fetches one value set of a categorical split. An unset element is not an
// int32 array either, so it gets the same message.
const mxArray *value_set(const mxArray *catsplit, std::size_t index)
{
    const mxArray *set = mxGetCell(catsplit, static_cast<mwIndex>(index));
    if (host::set_state(set) != core::SetState::usable)
        fail("Elements of catsplit cell array have to be ints (cast them to int in Matlab)");
    return set;
}

// A 1-by-n int32 row holding the 0-based row numbers `list` as 1-based ones.
mxArray *one_based_row(const std::int32_t *list, std::size_t n)
{
    mxArray *row = mxCreateNumericMatrix(1, static_cast<mwSize>(n), mxINT32_CLASS, mxREAL);
    std::int32_t *out = host::int32s(row).data();
    for (std::size_t i = 0; i < n; ++i)
        out[i] = list[i] + 1;
    return row;
}

// Writes the leaf cell of leaf k (0-based) reached by the configurations
// `confs` and the instances `insts`, then raises the count of leaf cells.
void write_leaf(const Tree &t, std::size_t k, const std::int32_t *confs, std::size_t nc,
                const std::int32_t *insts, std::size_t np, mxArray *cell_of_leaves,
                std::int32_t *numCellsFilled)
{
    mxArray *theta_idx_here = one_based_row(confs, nc);
    mxArray *pi_idx = one_based_row(insts, np);

    const mxArray *entry = mxGetCell(t.ysub, static_cast<mwIndex>(k));
    if (entry == nullptr)
        fail_fmt("ysub element %zu is unset, but leaf %zu is reached: every reachable "
                 "leaf needs a double array there.",
                 k + 1, k + 1);
    if (mxGetClassID(entry) != mxDOUBLE_CLASS)
        fail("Elements of ysub cell array have to be doubles");
    // The first n values (n its column count) are read from a full buffer.
    if (mxIsSparse(entry))
        fail_fmt("ysub element %zu must be a full matrix, not sparse.", k + 1);
    const std::size_t n = host::cols(entry);
    if (n > host::numel(entry))
        fail_fmt("ysub element %zu has %zu columns but only %zu values.", k + 1, n,
                 host::numel(entry));
    mxArray *ysub_copy = mxCreateDoubleMatrix(1, static_cast<mwSize>(n), mxREAL);
    if (n > 0)
        std::memcpy(mxGetPr(ysub_copy), mxGetPr(entry), n * sizeof(double));

    mxArray *node_idx = mxCreateNumericMatrix(1, 1, mxINT32_CLASS, mxREAL);
    *host::int32s(node_idx).data() = static_cast<std::int32_t>(k + 1);

    mxArray *leaf_stats = mxCreateDoubleMatrix(1, 5, mxREAL);
    double *stats = mxGetPr(leaf_stats);
    stats[0] = t.g_leaf[k];
    stats[1] = t.m_leaf[k];
    stats[2] = static_cast<double>(t.n_leaf[k]);
    stats[3] = t.leaf_mean[k];
    stats[4] = t.leaf_var[k];

    mxArray *leaf = mxCreateCellMatrix(1, 5);
    mxSetCell(leaf, 0, theta_idx_here);
    mxSetCell(leaf, 1, pi_idx);
    mxSetCell(leaf, 2, ysub_copy);
    mxSetCell(leaf, 3, node_idx);
    mxSetCell(leaf, 4, leaf_stats);
    mxSetCell(cell_of_leaves, static_cast<mwIndex>(*numCellsFilled), leaf);
    ++*numCellsFilled;
}

// Undoes partition_stably: merges the increasing runs list[0..n_left) and
// list[n_left..n) back into one increasing list.
void merge_back(std::int32_t *list, std::size_t n_left, std::size_t n, std::int32_t *spare)
{
    if (n_left == 0 || n_left == n)
        return;
    std::memcpy(spare, list, n_left * sizeof *spare);
    std::size_t i = 0;
    std::size_t j = n_left;
    std::size_t out = 0;
    while (i < n_left && j < n) {
        // Branch-free, as in the partition: which run is taken is data.
        const std::int32_t from_left = spare[i];
        const std::int32_t from_right = list[j];
        const bool take_left = from_left < from_right;
        list[out++] = take_left ? from_left : from_right;
        i += take_left;
        j += !take_left;
    }
    while (i < n_left)
        list[out++] = spare[i++];
}

// A split node whose children are being visited: the node, its two list
// ranges, how its divided list split, and what comes next.
struct Frame {
    std::size_t node; // 0-based
    std::size_t c_first, nc;
    std::size_t p_first, np;
    std::size_t n_left, n_right;
    bool divides_instances;
    enum Stage { LEFT_NEXT, RIGHT_NEXT, MERGE_NEXT } stage;
};

// The walk's working state: the tree, the data, one working copy of each
// list, the spare buffer for partitions and merges, the nodes visited.
struct Walk {
    const Tree &t;
    const Data &d;
    std::int32_t *confs;
    std::int32_t *insts;
    std::int32_t *spare;
    unsigned char *visited;
    mxArray *cell_of_leaves;
    std::int32_t *numCellsFilled;
    host::Growing<Frame> stack; // the frames of the current path

    // Visits node k (0-based) with the configurations confs[c_first..+nc)
    // and the instances insts[p_first..+np): writes its leaf cell, or
    // divides its list and pushes a frame for its children.
    void visit(std::size_t k, std::size_t c_first, std::size_t nc, std::size_t p_first,
               std::size_t np)
    {
        // In a well-formed tree every node is reached at most once, so a
        // second visit means a cycle or a shared subtree; it also bounds
        // the path length and the leaf count by N.
        if (visited[k])
            fail_fmt("node %zu is reached a second time: the children of the tree form a "
                     "cycle or share a subtree.",
                     k + 1);
        visited[k] = 1;

        const std::int32_t v = t.var[k];
        if (v == 0) {
            write_leaf(t, k, confs + c_first, nc, insts + p_first, np, cell_of_leaves,
                       numCellsFilled);
            return;
        }

        const std::uint64_t a = static_cast<std::uint64_t>(split_column(v));
        const bool divides_instances = a > d.p;
        std::int32_t *list = divides_instances ? insts + p_first : confs + c_first;
        const std::size_t n = divides_instances ? np : nc;
        // Only a nonempty list reads the column, so only then must it exist.
        if (divides_instances && n > 0 && a - d.p > d.d)
            fail_fmt("split variable %llu of node %zu exceeds the %zu columns of Theta "
                     "and X.",
                     static_cast<unsigned long long>(a), k + 1, d.p + d.d);
        const double *column = divides_instances ? d.X + (a - d.p - 1) * d.nX
                                                 : d.Theta + (a - 1) * d.nT;

        std::size_t n_left;
        if (v > 0) {
            if (n == 0)
                return;
            // A NaN value or cut compares false, so it goes right.
            const double c = t.cut[k];
            n_left = partition_stably(list, n, spare,
                                      [column, c](std::int32_t row) { return c > column[row]; });
        } else {
            const std::int32_t r = category_of(t.cut[k]);
            if (!is_catsplit_row(r, t.M))
                host::fail_cut("", k + 1, t.cut[k], "catsplit row", t.M);
            // Both sets are fetched and tested at every visit, before any
            // value and also when the list is empty.
            const mxArray *left_set = value_set(t.catsplit, static_cast<std::size_t>(r) - 1);
            const mxArray *right_set =
                value_set(t.catsplit, static_cast<std::size_t>(r) - 1 + t.M);
            if (n == 0)
                return;
            // The sets' buffers are taken once per visit, not per entry.
            const host::Span<const std::int32_t> left = host::int32s(left_set);
            const host::Span<const std::int32_t> right = host::int32s(right_set);
            n_left = partition_stably(list, n, spare, [column, left, right](std::int32_t row) {
                const std::int32_t category = category_of(column[row]);
                if (lists(left, category))
                    return true;
                if (lists(right, category))
                    return false;
                fail("Missing value -- not allowed in this implementation (randomly assign "
                     "missing values during tree construction!).");
            });
        }
        stack.push(Frame{k, c_first, nc, p_first, np, n_left, n - n_left, divides_instances,
                         Frame::LEFT_NEXT});
    }

    // Visits the left (or right) child of the frame's node with its side
    // of the divided list; the other list passes unchanged.
    void visit_child(const Frame &f, bool left)
    {
        const std::int32_t child = left ? t.leftchildren[f.node] : t.rightchildren[f.node];
        if (!is_node_number(child, t.N))
            fail_fmt("the %s child of node %zu must be a node number in 1..%zu (got %d).",
                     left ? "left" : "right", f.node + 1, t.N, child);
        const std::size_t offset = left ? 0 : f.n_left;
        const std::size_t count = left ? f.n_left : f.n_right;
        if (f.divides_instances)
            visit(static_cast<std::size_t>(child) - 1, f.c_first, f.nc, f.p_first + offset,
                  count);
        else
            visit(static_cast<std::size_t>(child) - 1, f.c_first + offset, count, f.p_first,
                  f.np);
    }
};

// Routes all configurations and all instances from the root and writes the
// leaf cells in depth-first order, left subtree first. `confs` and `insts`
// hold 0..nT-1 and 0..nX-1 and are left that way; `spare` has
// max(nT, nX) entries, `visited` N zeros.
void fwd_theta_pis(const Tree &t, const Data &d, std::int32_t *confs, std::int32_t *insts,
                   std::int32_t *spare, unsigned char *visited, mxArray *cell_of_leaves,
                   std::int32_t *numCellsFilled)
{
    if (t.N == 0)
        fail("the tree has no nodes: var must have at least one row, as every walk starts "
             "at node 1.");
    Walk walk{t, d, confs, insts, spare, visited, cell_of_leaves, numCellsFilled, {}};
    walk.visit(0, 0, d.nT, 0, d.nX);
    while (!walk.stack.empty()) {
        // A copy: visiting a child may grow (and move) the stack.
        Frame &top = walk.stack.back();
        const Frame f = top;
        switch (f.stage) {
        case Frame::LEFT_NEXT:
            top.stage = Frame::RIGHT_NEXT;
            if (f.n_left > 0)
                walk.visit_child(f, true);
            break;
        case Frame::RIGHT_NEXT:
            top.stage = Frame::MERGE_NEXT;
            if (f.n_right > 0)
                walk.visit_child(f, false);
            break;
        case Frame::MERGE_NEXT:
            if (f.divides_instances)
                merge_back(insts + f.p_first, f.n_left, f.np, spare);
            else
                merge_back(confs + f.c_first, f.n_left, f.nc, spare);
            walk.stack.pop();
            break;
        }
    }
}

// Double node vectors are read as full N-by-1 buffers.
const double *node_doubles(const mxArray *a, std::size_t N, const char *name,
                           const char *message)
{
    host::require(host::is_real_double(a) && host::is_column(a, N), message);
    host::require_full(a, name);
    return mxGetPr(a);
}

const std::int32_t *node_int32s(const mxArray *a, std::size_t N, const char *message)
{
    host::require(host::is_real_int32(a) && host::is_column(a, N), message);
    return host::int32s(a).data();
}

// Theta and X: full doubles of any shape, with row numbers that fit the
// int32 lists of the leaf cells.
const double *data_matrix(const mxArray *a, const char *name, const char *message)
{
    host::require(host::is_real_double(a), message);
    host::require_full(a, name);
    host::require_int32_rows(a, name);
    return mxGetPr(a);
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    using namespace host;

    require(nrhs == NUM_INPUTS,
            "Usage: [cell_of_leaves, numCellsFilled] = cropnodes(var, cut, ysub, leftchildren, "
            "rightchildren, catsplit, Theta, X, g_leaf, m_leaf, n_leaf).");
    require(nlhs <= 2, "Too many output arguments");

    Tree t;
    const mxArray *var = prhs[IN_VAR];
    require(is_real_int32(var) && cols(var) == 1, "var must be a noncomplex int Nx1 vector.");
    t.N = rows(var);
    t.var = int32s(var).data();
    t.cut = node_doubles(prhs[IN_CUT], t.N, "cut", "cut must be a noncomplex double Nx1 vector.");

    t.ysub = prhs[IN_YSUB];
    require(mxIsCell(t.ysub) && is_column(t.ysub, t.N), "ysub must be a Nx1 cell array.");

    t.leftchildren = node_int32s(prhs[IN_LEFTCHILDREN], t.N,
                                 "leftchildren must be a noncomplex int Nx1 vector.");
    t.rightchildren = node_int32s(prhs[IN_RIGHTCHILDREN], t.N,
                                  "rightchildren must be a noncomplex int Nx1 vector.");

    t.catsplit = prhs[IN_CATSPLIT];
    require(mxIsCell(t.catsplit) && cols(t.catsplit) == 2, "catsplit must be a Mx2 cell array");
    t.M = rows(t.catsplit);

    Data d;
    const mxArray *Theta = prhs[IN_THETA];
    d.Theta = data_matrix(Theta, "Theta", "Theta must be a noncomplex double Nxp matrix.");
    d.nT = rows(Theta);
    d.p = cols(Theta);
    const mxArray *X = prhs[IN_X];
    d.X = data_matrix(X, "X", "X must be a noncomplex double nxd matrix).");
    d.nX = rows(X);
    d.d = cols(X);

    t.g_leaf = node_doubles(prhs[IN_G_LEAF], t.N, "g_leaf",
                            "g_leaf must be a noncomplex double Nx1 vector.");
    t.m_leaf = node_doubles(prhs[IN_M_LEAF], t.N, "m_leaf",
                            "m_leaf must be a noncomplex double Nx1 vector.");
    t.n_leaf = node_int32s(prhs[IN_N_LEAF], t.N, "n_leaf must be a noncomplex int Nx1 vector.");
    t.leaf_mean = node_doubles(prhs[IN_LEAF_MEAN], t.N, "leaf_mean",
                               "leaf_mean must be a noncomplex double Nx1 vector.");
    t.leaf_var = node_doubles(prhs[IN_LEAF_VAR], t.N, "leaf_var",
                              "leaf_var must be a noncomplex double Nx1 vector.");

    // Scratch and the leaf cell array grow with the rows of Theta and X and
    // with N: Theta or X of no columns cost nothing, yet give these sizes.
    const double list_bytes = 4.0 * static_cast<double>(d.nT + d.nX + std::max(d.nT, d.nX));
    const double node_bytes = (1.0 + sizeof(mxArray *)) * static_cast<double>(t.N);
    require_memory({{d.nT > d.nX ? "Theta" : "X", list_bytes}, {"var", node_bytes}},
                   "the walk's lists and leaf cells");

    // Both outputs exist whatever was requested; they reach the slots the
    // host provides once the walk has finished.
    mxArray *cell_of_leaves = mxCreateCellMatrix(1, static_cast<mwSize>(t.N));
    mxArray *numCellsFilled = mxCreateNumericMatrix(1, 1, mxINT32_CLASS, mxREAL);

    Scratch<std::int32_t> confs(d.nT);
    for (std::size_t i = 0; i < d.nT; ++i)
        confs[i] = static_cast<std::int32_t>(i);
    Scratch<std::int32_t> insts(d.nX);
    for (std::size_t j = 0; j < d.nX; ++j)
        insts[j] = static_cast<std::int32_t>(j);
    Scratch<std::int32_t> spare(std::max(d.nT, d.nX));
    Scratch<unsigned char> visited(t.N);

    fwd_theta_pis(t, d, confs.data(), insts.data(), spare.data(), visited.data(),
                  cell_of_leaves, int32s(numCellsFilled).data());

    const Outputs out(nlhs, plhs);
    out.set(OUT_CELL_OF_LEAVES, cell_of_leaves);
    out.set(OUT_NUM_CELLS_FILLED, numCellsFilled);
}
