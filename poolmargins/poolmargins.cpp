// poolmargins: per-configuration marginal means and variances of a forest,
// from the leaf collections that nodeharvest returns for each tree.
//
// A leaf holds the configurations and the instances that reach it, with the
// leaf's mean mu and variance s2. Under one tree, a configuration's
// prediction averaged over all numInstances instances is the sum, over the
// leaves it reaches, of (instances in the leaf / numInstances) * mu; its
// variance is the sum of the squared fractions times s2. The forest is the
// equal mixture of its trees.
//
// The gateway checks its four arguments in order, creates the three outputs
// and the call-scoped table of per-tree variances, then reads every leaf of
// every tree once (checking each as it is met) and accumulates into the
// per-tree tables, and finally folds the tables into the forest's means and
// variances. The instance lists are never scanned: only their length counts.
#include "mexhost.hpp"
#include "mixture.hpp"

namespace {

using host::fail;
using host::fail_fmt;
using host::require;

enum { IN_CELL_OF_LEAVES = 0, IN_NUM_THETA, IN_NUM_INSTANCES, IN_DETERMINISTIC, NUM_INPUTS };
enum { OUT_MEANS = 0, OUT_VARS, OUT_TREE_MEANS, NUM_OUTPUTS };

// Positions inside one leaf cell (0-based, as the host addresses cells).
enum { LEAF_THETA_IDX = 0, LEAF_PI_IDX = 1, LEAF_STATS = 4, LEAF_SIZE = 5 };
// Positions inside the leaf statistics: the leaf's mean and variance.
enum { STAT_MEAN = 3, STAT_VAR = 4 };

// The largest table the 32-bit sizes of the host interface can describe.
constexpr std::size_t MAX_TABLE_ELEMENTS = 2147483647;

bool is_int32_row(const mxArray *a) { return host::is_real_int32(a) && host::rows(a) == 1; }

// Adds one tree's leaves into column t of the per-tree tables (K rows each).
// Every leaf is checked where it is met, so a fault in a later leaf is
// reported only after the earlier leaves were accumulated.
void accumulate_tree(const mxArray *tree, std::size_t t, std::size_t K, double numInstances,
                     std::int32_t deterministic, double *tree_means, double *tree_vars)
{
    double *const tm = tree_means + t * K;
    double *const tv = tree_vars + t * K;
    const std::size_t L = host::numel(tree);
    for (std::size_t j = 0; j < L; ++j) {
        const mxArray *leaf = mxGetCell(tree, static_cast<mwIndex>(j));
        require(leaf != nullptr && mxIsCell(leaf),
                "entries of entries of cell_of_leaves must be nonempty cell arrays");
        require(host::numel(leaf) == LEAF_SIZE, "Leaves must have 5 values.");

        const mxArray *stats = mxGetCell(leaf, LEAF_STATS);
        require(!host::is_unset(stats), "mx_leaf_stats is null.");
        require(host::is_real_double(stats) && host::has_shape(stats, 1, 5),
                "mx_leaf_stats must be a noncomplex 1x5 double vector.");
        host::require_full(stats, "mx_leaf_stats");
        const double *const s = mxGetPr(stats);
        const double mu = s[STAT_MEAN];
        const double s2 = s[STAT_VAR];

        const mxArray *theta_idx = mxGetCell(leaf, LEAF_THETA_IDX);
        require(!host::is_unset(theta_idx), "mx_theta_idx_here is null.");
        require(is_int32_row(theta_idx), "mx_theta_idx_here must be a noncomplex int row vector.");
        const host::Span<const std::int32_t> configurations = host::int32s(theta_idx);

        require(deterministic == 0, "need to implement deterministic");

        const mxArray *pi_idx = mxGetCell(leaf, LEAF_PI_IDX);
        require(!host::is_unset(pi_idx), "mx_pi_idx is null.");
        require(is_int32_row(pi_idx), "mx_pi_idx must be a noncomplex int row vector.");

        // The leaf's share of the instances, once per leaf.
        const double w = static_cast<double>(host::cols(pi_idx)) / numInstances;
        const double a = w * mu;
        const double b = (w * w) * s2;
        for (const std::int32_t theta : configurations) {
            // A configuration number outside the tables would write outside
            // them: refuse it instead.
            if (theta < 1 || static_cast<std::size_t>(theta) > K)
                fail_fmt("configuration %d in mx_theta_idx_here of leaf %zu of tree %zu is "
                         "outside 1..numTheta (1..%zu).",
                         theta, j + 1, t + 1, K);
            const std::size_t k = static_cast<std::size_t>(theta) - 1;
            tm[k] += a;
            tv[k] += b;
        }
    }
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    using namespace host;

    require(nrhs == NUM_INPUTS && nlhs <= NUM_OUTPUTS,
            "Usage: [means, vars, tree_means] = poolmargins(cell_of_leaves, numTheta, "
            "numInstances, deterministic).");

    const mxArray *cell_of_leaves = prhs[IN_CELL_OF_LEAVES];
    require(cell_of_leaves != nullptr && mxIsCell(cell_of_leaves),
            "cell_of_leaves must be a nonempty cell array");
    const std::size_t T = numel(cell_of_leaves);

    require(is_real_int32_scalar(prhs[IN_NUM_THETA]), "numTheta must be a noncomplex int scalar.");
    const std::int32_t numTheta = int32_scalar(prhs[IN_NUM_THETA]);
    require(is_real_int32_scalar(prhs[IN_NUM_INSTANCES]),
            "numInstances must be a noncomplex int scalar.");
    const std::int32_t numInstances = int32_scalar(prhs[IN_NUM_INSTANCES]);
    // It divides every leaf's instance count: zero or fewer instances give
    // infinite or negative weights, never a mean.
    if (numInstances < 1)
        fail_fmt("numInstances must be at least 1 (got %d).", numInstances);
    require(is_real_int32_scalar(prhs[IN_DETERMINISTIC]),
            "deterministic must be a noncomplex int scalar.");
    const std::int32_t deterministic = int32_scalar(prhs[IN_DETERMINISTIC]);

    // The output shapes come from numTheta and the number of trees; refuse
    // what no table can have.
    if (numTheta < 0)
        fail_fmt("numTheta must not be negative (got %d).", numTheta);
    const std::size_t K = static_cast<std::size_t>(numTheta);
    if (T != 0 && K > MAX_TABLE_ELEMENTS / T)
        fail_fmt("numTheta times the number of trees (%zu x %zu) exceeds the largest table "
                 "of 2147483647 elements.",
                 K, T);
    // means, vars, tree_means and tree_vars are all written in full.
    const double table_bytes = 8.0 * static_cast<double>(K) * (2.0 + 2.0 * static_cast<double>(T));
    require_memory(table_bytes, "numTheta", "its result tables (numTheta by 2 + 2 x trees)");

    // The three outputs, in order, all zero-filled. Every one is filled,
    // also without a slot to return it in (the forest's means need the
    // per-tree table); the host gets the ones it has slots for at the end.
    mxArray *out[NUM_OUTPUTS];
    const mwSize dims[NUM_OUTPUTS][2] = {{static_cast<mwSize>(K), 1},
                                         {static_cast<mwSize>(K), 1},
                                         {static_cast<mwSize>(K), static_cast<mwSize>(T)}};
    for (int o = 0; o < NUM_OUTPUTS; ++o)
        out[o] = mxCreateNumericArray(2, dims[o], mxDOUBLE_CLASS, mxREAL);
    double *const means = mxGetPr(out[OUT_MEANS]);
    double *const vars = mxGetPr(out[OUT_VARS]);
    double *const tree_means = mxGetPr(out[OUT_TREE_MEANS]);

    // The per-tree variances: call-scoped, zero-filled, never returned.
    Scratch<double> tree_vars(K * T);

    const double N = static_cast<double>(numInstances);
    for (std::size_t t = 0; t < T; ++t) {
        const mxArray *tree = mxGetCell(cell_of_leaves, static_cast<mwIndex>(t));
        require(tree != nullptr && mxIsCell(tree),
                "entries of cell_of_leaves must be a nonempty cell arrays");
        accumulate_tree(tree, t, K, N, deterministic, tree_means, tree_vars.data());
    }

    // The forest: the mean of the per-tree means, and the mean of the
    // per-tree second moments less the squared forest mean.
    core::pool_trees(tree_means, tree_vars.data(), K, T, K, means, vars);

    const Outputs slots(nlhs, plhs);
    for (int o = 0; o < NUM_OUTPUTS; ++o)
        slots.set(o, out[o]);
}
