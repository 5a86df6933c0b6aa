// forestmargins: every configuration's mean and variance of a forest's
// prediction averaged over all instances, in one call.
//
// The answer is the one nodeharvest per tree followed by poolmargins gives,
// without a leaf cell or any host array per leaf. Each tree is walked once
// with the list of all configurations and the list of all instances, as
// nodeharvest walks it: a split on a Theta column divides only the
// configurations, a split on an X column only the instances, and a child is
// visited only with a nonempty share. At a leaf that m of the N instances
// reach, every configuration in its list gains (m/N) * leaf_mean in the
// tree's mean and (m/N)^2 * leaf_var in its variance. Leaves are met in
// nodeharvest's order (depth first, left before right), so each
// configuration sums the same terms in the same order as poolmargins: the
// results are the same bits.
//
// The lists are divided in place: a split stably partitions its node's
// range of the divided list, and the other list's range passes to both
// children as it is (its order changes no sum: only its length and its
// members count). Trees are walked in parallel, each by one thread, into their own
// columns of the per-tree tables; the forest's mean and variance then
// combine the columns in tree order, as poolmargins does. The calling
// thread meanwhile lets the host deliver Ctrl-C, and a walk stops soon after.
#include "faults.hpp"
#include "forestformat.hpp"
#include "interrupt.hpp"
#include "mixture.hpp"
#include "options.hpp"
#include "tree.hpp"
#include "walks.hpp"

namespace {

using core::Fault;
using core::TreeView;
using host::fail;
using host::require;

enum { IN_FOREST = 0, IN_THETA, IN_X, IN_OPTS };
enum { OUT_MEANS = 0, OUT_VARS, OUT_TREE_MEANS, NUM_OUTPUTS };

constexpr const char *USAGE =
    "Usage: [means, vars, tree_means] = forestmargins(forest, Theta, X, opts), with forest a "
    "cell of trees (as forestfit returns it), Theta K-by-p double, X N-by-d double, opts an "
    "optional struct (help forestmargins).";

// The per-tree tables, column t for tree t.
struct Tables {
    double *tree_means;
    double *tree_vars;
    std::size_t K;
};

// Walks tree `index` with every configuration and every instance and fills
// column `index` of the tables: at a leaf that m of the N instances reach,
// each configuration in its list gains (m/N) * leaf_mean and (m/N)^2 *
// leaf_var. Returns the first fault met, in the order the depth-first walk
// meets them; returns early, with none, once `stop` is set.
Fault margins_of_tree(const TreeView &t, std::size_t index, const core::DataMatrix &theta,
                      const core::DataMatrix &x, const core::ListScratch &lists,
                      core::ListFrame *frames, const Tables &tables,
                      const std::atomic<bool> &stop)
{
    const std::size_t K = theta.rows;
    // The workers write every element of their own columns.
    double *const tm = tables.tree_means + index * tables.K;
    double *const tv = tables.tree_vars + index * tables.K;
    std::fill(tm, tm + K, 0.0);
    std::fill(tv, tv + K, 0.0);
    const double instances = static_cast<double>(x.rows);
    core::FrameBuffer stack(frames);
    Fault fault = core::list_walk(
        t, theta, x, lists, false, stack,
        [&](std::size_t k, const std::int32_t *confs, std::size_t nc, const std::int32_t *,
            std::size_t np) {
            const double w = static_cast<double>(np) / instances;
            const double a = w * t.leaf_mean[k];
            const double b = (w * w) * t.leaf_var[k];
            for (std::size_t i = 0; i < nc; ++i) {
                tm[confs[i]] += a;
                tv[confs[i]] += b;
            }
        },
        &stop);
    fault.tree = index;
    return fault;
}


} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    using namespace host;

    require(nrhs == 3 || nrhs == 4, USAGE);
    require(nlhs <= NUM_OUTPUTS, "Too many output arguments: forestmargins returns means, vars "
                                 "and tree_means.");

    const host::Forest trees(prhs[IN_FOREST]);
    const std::size_t T = trees.size();
    const core::DataMatrix theta =
        data_matrix(prhs[IN_THETA], "Theta", "Theta must be a real double K-by-p matrix.",
                    TWO_DIMENSIONAL | INT32_ROWS);
    const core::DataMatrix x =
        data_matrix(prhs[IN_X], "X", "X must be a real double N-by-d matrix (d may be 0).",
                    TWO_DIMENSIONAL | INT32_ROWS);
    if (x.rows == 0)
        fail("X has no rows: the marginals are means over its instances, so it needs at least "
             "one.");
    std::size_t threads =
        std::min(host::thread_count(nrhs == 4 ? prhs[IN_OPTS] : nullptr), std::max<std::size_t>(T, 1));

    // What the trees were fitted on, before any walking.
    host::check_fitted(trees, theta, core::CONFIGURATIONS);
    host::check_fitted(trees, x, core::INSTANCES);

    // Fewer threads where their scratch would not fit: the answer is the
    // same, and only a call that one thread cannot make is refused.
    const std::size_t K = theta.rows;
    const std::size_t N = x.rows;
    const std::size_t nodes = trees.max_nodes();
    const double lists = 4.0 * static_cast<double>(K + N + std::max(K, N));
    const double walk = (1.0 + sizeof(core::ListFrame)) * static_cast<double>(nodes);
    const double tables = 8.0 * static_cast<double>(K) * (2.0 + 2.0 * static_cast<double>(T));
    threads = threads_that_fit(threads, tables, lists + walk);
    require_memory({{"Theta", tables}, {"forest", walk}, {K > N ? "Theta" : "X", lists}},
                   "the tables and the walk's lists");

    mxArray *out[NUM_OUTPUTS];
    out[OUT_MEANS] = mxCreateDoubleMatrix(static_cast<mwSize>(K), 1, mxREAL);
    out[OUT_VARS] = mxCreateDoubleMatrix(static_cast<mwSize>(K), 1, mxREAL);
    // Each worker clears its own columns of tree_means: no fill here, on
    // the calling thread.
    double *tree_means = nullptr;
    out[OUT_TREE_MEANS] = host_matrix(K, T, mxDOUBLE_CLASS, tree_means, unfilled);
    double *const means = mxGetPr(out[OUT_MEANS]);
    double *const vars = mxGetPr(out[OUT_VARS]);
    Scratch<double> tree_vars(K * T, unfilled);

    // Every walk writes its scratch before reading it, and a small batch
    // touches little of `frames`: none of it needs zeros.
    Scratch<std::int32_t> confs(K * threads, unfilled);
    Scratch<std::int32_t> insts(N * threads, unfilled);
    Scratch<std::int32_t> spare(std::max(K, N) * threads, unfilled);
    Scratch<unsigned char> visited(nodes * threads, unfilled);
    Scratch<core::ListFrame> frames(nodes * threads, unfilled);
    Scratch<Fault> faults(T, unfilled);
    const Tables table{tree_means, tree_vars.data(), K};
    // A walk visits each node at most once, with at most K + N entries.
    double steps = 0;
    for (std::size_t t = 0; t < T; ++t)
        steps += static_cast<double>(trees[t].N) * static_cast<double>(K + N + 1);
    interruptible_work(T, threads, steps, [&](std::size_t t, std::size_t worker,
                                              const std::atomic<bool> &stop) {
        const core::ListScratch lists{confs.data() + worker * K, insts.data() + worker * N,
                                      spare.data() + worker * std::max(K, N),
                                      visited.data() + worker * nodes};
        faults[t] = margins_of_tree(trees[t], t, theta, x, lists, frames.data() + worker * nodes,
                                    table, stop);
    });
    // The first tree's fault, whichever thread met it first.
    for (std::size_t t = 0; t < T; ++t)
        if (faults[t])
            host::report(faults[t], trees[t], host::Voice::forest);

    // The forest, from the per-tree tables, as poolmargins pools them.
    core::pool_trees(tree_means, tree_vars.data(), K, T, K, means, vars);

    const Outputs slots(nlhs, plhs);
    for (int o = 0; o < NUM_OUTPUTS; ++o)
        slots.set(o, out[o]);
}
