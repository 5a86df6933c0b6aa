// nodeharvest: the leaves of one regression tree that a set of
// configurations (rows of Theta) and a set of instances (rows of X) reach.
//
// The tree's variables are the columns of Theta followed by the columns of
// X, so a split on a Theta column divides only the configurations and a
// split on an X column only the instances; the other set passes whole to
// both children. No (configuration, instance) pair is ever formed.
//
// The gateway checks its thirteen arguments in order, creates the two
// outputs and runs the list walk once from the root, depth first, left
// subtree before right: at each leaf reached it writes one leaf cell. The
// walk keeps its own stack instead of recursing, so a deep tree cannot
// exhaust the host's stack, and merges each split's lists back once its
// children are done, so every list a leaf cell holds is increasing. Scratch
// is a fixed O(rows(Theta) + rows(X) + N) plus one frame per node on the
// current path.
#include "faults.hpp"
#include "mexhost.hpp"
#include "treeargs.hpp"
#include "walks.hpp"

#include <cstring>

namespace {

using host::fail;
using host::fail_fmt;
using host::node_doubles;
using host::node_int32s;

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

// What a leaf cell holds beyond its lists: the leaf's responses and its
// statistics, read in place.
struct Leaves {
    const mxArray *ysub;
    const double *g_leaf;
    const double *m_leaf;
    const std::int32_t *n_leaf;
    const double *leaf_mean;
    const double *leaf_var;
};

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
void write_leaf(const Leaves &t, std::size_t k, const std::int32_t *confs, std::size_t nc,
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

// The thirteen arguments, checked in order, into the tree's view, the
// leaves' responses and statistics, and the routed data.
void read_arguments(const mxArray *prhs[], core::TreeView &t, Leaves &leaves,
                    const mxArray *&catsplit, core::DataMatrix &theta, core::DataMatrix &x)
{
    using namespace host;
    const mxArray *var = prhs[IN_VAR];
    require(is_real_int32(var) && cols(var) == 1, "var must be a noncomplex int Nx1 vector.");
    t.N = rows(var);
    t.var = int32s(var).data();
    t.cut = node_doubles(prhs[IN_CUT], t.N, "cut", "cut must be a noncomplex double Nx1 vector.");

    leaves.ysub = prhs[IN_YSUB];
    require(mxIsCell(leaves.ysub) && is_column(leaves.ysub, t.N), "ysub must be a Nx1 cell array.");

    t.leftchildren = node_int32s(prhs[IN_LEFTCHILDREN], t.N,
                                 "leftchildren must be a noncomplex int Nx1 vector.");
    t.rightchildren = node_int32s(prhs[IN_RIGHTCHILDREN], t.N,
                                  "rightchildren must be a noncomplex int Nx1 vector.");

    catsplit = prhs[IN_CATSPLIT];
    require(mxIsCell(catsplit) && cols(catsplit) == 2, "catsplit must be a Mx2 cell array");
    t.M = rows(catsplit);

    const mxArray *Theta = prhs[IN_THETA];
    // Theta and X: full doubles of any shape, with row numbers that fit the
    // int32 lists of the leaf cells.
    theta = data_matrix(Theta, "Theta", "Theta must be a noncomplex double Nxp matrix.",
                        INT32_ROWS);
    const mxArray *X = prhs[IN_X];
    x = data_matrix(X, "X", "X must be a noncomplex double nxd matrix).", INT32_ROWS);

    leaves.g_leaf = node_doubles(prhs[IN_G_LEAF], t.N, "g_leaf",
                                 "g_leaf must be a noncomplex double Nx1 vector.");
    leaves.m_leaf = node_doubles(prhs[IN_M_LEAF], t.N, "m_leaf",
                                 "m_leaf must be a noncomplex double Nx1 vector.");
    leaves.n_leaf = node_int32s(prhs[IN_N_LEAF], t.N, "n_leaf must be a noncomplex int Nx1 vector.");
    leaves.leaf_mean = node_doubles(prhs[IN_LEAF_MEAN], t.N, "leaf_mean",
                                    "leaf_mean must be a noncomplex double Nx1 vector.");
    leaves.leaf_var = node_doubles(prhs[IN_LEAF_VAR], t.N, "leaf_var",
                                   "leaf_var must be a noncomplex double Nx1 vector.");
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    using namespace host;

    require(nrhs == NUM_INPUTS,
            "Usage: [cell_of_leaves, numCellsFilled] = cropnodes(var, cut, ysub, leftchildren, "
            "rightchildren, catsplit, Theta, X, g_leaf, m_leaf, n_leaf).");
    require(nlhs <= 2, "Too many output arguments");

    core::TreeView t;
    Leaves leaves;
    const mxArray *catsplit = nullptr;
    core::DataMatrix theta{}, x{};
    read_arguments(prhs, t, leaves, catsplit, theta, x);

    // Scratch and the leaf cell array grow with the rows of Theta and X and
    // with N (and the value sets with catsplit's rows): Theta or X of no
    // columns cost nothing, yet give these sizes.
    const double list_bytes = 4.0 * static_cast<double>(theta.rows + x.rows +
                                                        std::max(theta.rows, x.rows));
    const double node_bytes = (1.0 + sizeof(mxArray *)) * static_cast<double>(t.N) +
                              2.0 * sizeof(core::ValueSet) * static_cast<double>(t.M);
    require_memory({{theta.rows > x.rows ? "Theta" : "X", list_bytes}, {"var", node_bytes}},
                   "the walk's lists and leaf cells");

    // Both outputs exist whatever was requested; they reach the slots the
    // host provides once the walk has finished.
    mxArray *cell_of_leaves = mxCreateCellMatrix(1, static_cast<mwSize>(t.N));
    mxArray *numCellsFilled = mxCreateNumericMatrix(1, 1, mxINT32_CLASS, mxREAL);

    if (t.N == 0)
        fail("the tree has no nodes: var must have at least one row, as every walk starts "
             "at node 1.");
    // The value sets are read once, each with its standing: the walk
    // reports an unusable one only where it meets it.
    Scratch<core::ValueSet> sets(2 * t.M, unfilled);
    read_value_sets(catsplit, t.M, sets.data());
    t.cell_sets = sets.data();
    Scratch<std::int32_t> confs(theta.rows, unfilled);
    Scratch<std::int32_t> insts(x.rows, unfilled);
    Scratch<std::int32_t> spare(std::max(theta.rows, x.rows));
    Scratch<unsigned char> visited(t.N, unfilled);
    Growing<core::ListFrame> frames;
    std::int32_t *filled = int32s(numCellsFilled).data();
    const core::Fault fault = core::list_walk(
        t, theta, x, core::ListScratch{confs.data(), insts.data(), spare.data(), visited.data()},
        true, frames,
        [&](std::size_t k, const std::int32_t *c, std::size_t nc, const std::int32_t *p,
            std::size_t np) { write_leaf(leaves, k, c, nc, p, np, cell_of_leaves, filled); },
        nullptr);
    if (fault)
        host::report(fault, t, host::Voice::nodeharvest);

    const Outputs out(nlhs, plhs);
    out.set(OUT_CELL_OF_LEAVES, cell_of_leaves);
    out.set(OUT_NUM_CELLS_FILLED, numCellsFilled);
}
