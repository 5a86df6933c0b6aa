// treecast: one prediction per row of X from one regression tree.
//
// The gateway checks its nine arguments in order, seeds the C library's
// generator with `seed`, creates the n-by-1 output and walks every row from
// the root. With many rows, the tree is first compiled and rows are walked
// in blocks, so that their memory loads overlap; whatever could draw a
// random number or fail (a missing category, a tree fault) is finished by
// the checked row walk, row by row in increasing order, so random draws and
// errors come exactly as a row-by-row walk would produce them.
#include "faults.hpp"
#include "mexhost.hpp"
#include "treeargs.hpp"
#include "walks.hpp"

#include <cstdlib>

namespace {

using core::TreeView;
using host::fail;

enum {
    IN_X = 0,
    IN_VAR,
    IN_CUT,
    IN_NODEPRED,
    IN_STDDEV,
    IN_CHILDREN,
    IN_CATSPLIT,
    IN_SEED,
    IN_STRATEGY,
    NUM_INPUTS
};

// Rows walked together by the block walk.
constexpr std::size_t BLOCK = 1024;

// Row i's prediction from node k, which it reached in `taken` steps: the
// checked walk, its strategy drawing from the C library's generator.
double finish_row(const TreeView &t, const core::DataMatrix &x, const core::MissingStrategy &missing,
                  std::size_t i, std::size_t k, std::size_t taken)
{
    core::Reached reached;
    core::Fault fault;
    if (!core::walk_row(t, x, i, k, taken, core::SetChecks::as_needed, missing, reached, fault))
        host::report(fault, t, host::Voice::treecast);
    return reached.stopped ? reached.value : missing.nodepred[reached.node];
}

// Fills `out` with the prediction of every row. With at least a row per
// four nodes, the rows are walked in blocks over the compiled tree first,
// which takes only steps that cannot fail and draws nothing; each row is
// then finished by the checked walk where it stopped, in row order.
void predict_rows(const TreeView &t, const core::DataMatrix &x,
                  const core::MissingStrategy &missing, double *out)
{
    const std::size_t n = x.rows;
    const std::size_t N = t.N;
    // A table larger than the machine's memory is not even tried.
    if (N == 0 || n == 0 || !core::worth_compiling(n, x.cols, N) ||
        host::exceeds_memory(core::compiled_tree_bytes(N, t.M))) {
        for (std::size_t i = 0; i < n; ++i)
            out[i] = finish_row(t, x, missing, i, 0, 0);
        return;
    }
    host::Scratch<core::Step> steps(N, host::unfilled);
    host::Scratch<core::CategoryWindow> windows(t.M, host::unfilled);
    host::Scratch<std::uint32_t> node_of_step(N, host::unfilled);
    host::Scratch<std::uint32_t> labels(N, host::unfilled);
    core::compile_tree(t, x.cols, steps.data(), windows.data(), node_of_step.data(),
                       labels.data());
    const core::CompiledTree compiled{steps.data(), windows.data(), node_of_step.data()};
    std::uint32_t moving[BLOCK], node[BLOCK], taken[BLOCK];
    for (std::size_t first = 0; first < n; first += BLOCK) {
        const std::size_t count = std::min(BLOCK, n - first);
        core::walk_block(compiled, N, x.values + first, n, count, moving, node, taken);
        for (std::size_t b = 0; b < count; ++b)
            out[first + b] = t.var[node[b]] == 0
                                 ? missing.nodepred[node[b]]
                                 : finish_row(t, x, missing, first + b, node[b], taken[b]);
    }
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    using namespace host;

    require(nrhs == NUM_INPUTS, "Usage: fwd(X, var, cut, nodepred, stddev, children, catsplit, "
                                "seed, strategyForMissing).");
    require(nlhs <= 1, "Too many output arguments");

    const mxArray *X = prhs[IN_X];
    require(is_real_double(X), "X must be a noncomplex double nxd matrix.");
    require_full(X, "X");
    const std::size_t n = rows(X);
    const std::size_t d = cols(X);

    const mxArray *var = prhs[IN_VAR];
    require(is_real_int32(var) && cols(var) == 1, "var must be a noncomplex int Nx1 vector.");
    const std::size_t N = rows(var);

    const double *cut = node_doubles(prhs[IN_CUT], N, "cut", "cut must be a noncomplex double Nx1 vector.");
    const double *nodepred = node_doubles(prhs[IN_NODEPRED], N, "nodepred",
                                          "nodepred must be a noncomplex double Nx1 vector.");
    const double *stddev = node_doubles(prhs[IN_STDDEV], N, "stddev",
                                        "stddev must be a noncomplex double Nx1 vector.");

    const mxArray *children = prhs[IN_CHILDREN];
    require(is_real_int32(children) && has_shape(children, N, 2),
            "children must be a noncomplex int Nx2 matrix.");

    const mxArray *catsplit = prhs[IN_CATSPLIT];
    require(mxIsCell(catsplit) && cols(catsplit) == 2, "catsplit must be a Mx2 cell array");

    const mxArray *seed = prhs[IN_SEED];
    require(is_real_int32_scalar(seed), "seed must be a noncomplex int scalar");
    // Seeded as soon as `seed` passes, before the last argument is tested.
    std::srand(static_cast<unsigned>(int32_scalar(seed)));

    const mxArray *strategy = prhs[IN_STRATEGY];
    require(is_real_int32_scalar(strategy), "strategyForMissing must be a noncomplex int scalar");
    const std::int32_t strategyForMissing = int32_scalar(strategy);

    // The output is created whether or not it was asked for (slot 1 always
    // exists); its size comes from X's rows, which cost nothing when X has
    // no columns.
    require_memory(8.0 * static_cast<double>(n), "X", "the n-by-1 output");
    mxArray *y = mxCreateDoubleMatrix(static_cast<mwSize>(n), 1, mxREAL);

    if (N == 0 && n > 0)
        fail("the tree has no nodes: var must have at least one row to route rows of X.");
    // The value sets are read once, each with its standing: a walk reports
    // an unusable one only where it meets it.
    const std::size_t M = rows(catsplit);
    require_memory(2.0 * sizeof(core::ValueSet) * static_cast<double>(M), "catsplit",
                   "its value sets");
    Scratch<core::ValueSet> sets(2 * M, unfilled);
    read_value_sets(catsplit, M, sets.data());
    TreeView tree;
    tree.N = N;
    tree.M = M;
    tree.var = int32s(var).data();
    tree.cut = cut;
    tree.leftchildren = int32s(children).data();
    tree.rightchildren = tree.leftchildren + N;
    tree.cell_sets = sets.data();
    const core::MissingStrategy missing{strategyForMissing, nodepred, stddev};
    predict_rows(tree, core::DataMatrix{"X", mxGetPr(X), n, d}, missing, mxGetPr(y));
    Outputs(nlhs, plhs).set(0, y);
}
