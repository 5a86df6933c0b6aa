// forestcast: a forest's prediction for every row of Z, and its variance.
//
// Each row (configuration columns, then instance columns) walks every tree
// from the root to a leaf; the row's mean is the mean of the leaves'
// leaf_mean over the trees, and its variance that of the mixture of the
// trees, each a leaf with mean leaf_mean and variance leaf_var: the mean of
// leaf_var + leaf_mean^2 less the squared mean. That is forestmargins with
// one configuration and one instance, bit for bit.
//
// Rows are taken in blocks of a fixed size, spread over the threads. A
// block walks tree by tree, so that one tree's steps stay in the caches for
// all its rows, and its rows move one step per sweep, so that the memory
// loads of different rows overlap. Neither the blocks nor which fault is
// reported (the first faulty block's) depend on the thread count. The
// calling thread meanwhile lets the host deliver Ctrl-C, and the walks stop
// soon after.
#include "faults.hpp"
#include "forestformat.hpp"
#include "forestwalk.hpp"
#include "interrupt.hpp"
#include "options.hpp"

#include <cstdint>

namespace {

using core::Fault;
using host::require;

enum { IN_FOREST = 0, IN_Z, IN_OPTS };
enum { OUT_MU = 0, OUT_V, NUM_OUTPUTS };

constexpr const char *USAGE =
    "Usage: [mu, v] = forestcast(forest, Z, opts), with forest a cell of trees (as forestfit "
    "returns it), Z n-by-(p+d) double (configuration columns, then instance columns), opts an "
    "optional struct (help forestcast).";

// Rows walked together, and taken by a thread at a time: enough for each
// row's next step to arrive from memory while the others move (it is
// fetched as soon as it is known), few enough for the block's state and
// those steps to stay in the first two cache levels, and for the blocks to
// spread evenly over the threads.
constexpr std::size_t BLOCK = 1024;

// The trees with at least a row per four nodes, compiled (in parallel,
// each into its own part of the tables) for the block walk: for fewer rows
// the checked walk alone is cheaper. Z needs a column for the compiled
// walk to read at nodes rows stay at.
class CompiledForest {
public:
    CompiledForest(const host::Forest &trees, const core::DataMatrix &z, std::size_t threads)
        : step_at_(trees.size() + 1), window_at_(trees.size() + 1),
          steps_(count(trees, z, step_at_, window_at_), host::unfilled),
          windows_(window_at_[trees.size()], host::unfilled),
          node_of_step_(step_at_[trees.size()], host::unfilled),
          compiled_(trees.size(), host::unfilled)
    {
        const std::size_t T = trees.size();
        // Compiling's own scratch, gone before the walk.
        host::Scratch<std::uint32_t> labels(step_at_[T], host::unfilled);
        const double nodes = static_cast<double>(step_at_[T] + window_at_[T]);
        host::interruptible_work(T, threads, nodes, [&](std::size_t t, std::size_t,
                                                        const std::atomic<bool> &) {
            if (step_at_[t + 1] == step_at_[t])
                return;
            core::compile_tree(trees[t], z.cols, steps_.data() + step_at_[t],
                               windows_.data() + window_at_[t], node_of_step_.data() + step_at_[t],
                               labels.data() + step_at_[t]);
            compiled_[t] = core::CompiledTree{steps_.data() + step_at_[t],
                                              windows_.data() + window_at_[t],
                                              node_of_step_.data() + step_at_[t]};
        });
    }

    // Tree t compiled, or null.
    const core::CompiledTree *operator[](std::size_t t) const
    {
        return step_at_[t + 1] > step_at_[t] ? &compiled_[t] : nullptr;
    }

    // The bytes a forest's compiled trees take at most.
    static double bytes(const host::Forest &trees)
    {
        double total = 0;
        for (std::size_t t = 0; t < trees.size(); ++t)
            total += core::compiled_tree_bytes(trees[t].N, trees[t].M);
        return total;
    }

private:
    // Where each tree's steps and windows start in the tables; the steps.
    static std::size_t count(const host::Forest &trees, const core::DataMatrix &z,
                             host::Scratch<std::size_t> &step_at,
                             host::Scratch<std::size_t> &window_at)
    {
        for (std::size_t t = 0; t < trees.size(); ++t) {
            const bool compiled = core::worth_compiling(z.rows, z.cols, trees[t].N);
            step_at[t + 1] = step_at[t] + (compiled ? trees[t].N : 0);
            window_at[t + 1] = window_at[t] + (compiled ? trees[t].M : 0);
        }
        return step_at[trees.size()];
    }

    host::Scratch<std::size_t> step_at_, window_at_;
    host::Scratch<core::Step> steps_;
    host::Scratch<core::CategoryWindow> windows_;
    host::Scratch<std::uint32_t> node_of_step_;
    host::Scratch<core::CompiledTree> compiled_;
};

// The bytes of predict_forest's tables for one thread.
double walk_bytes_per_thread(std::size_t T, std::size_t rows)
{
    return 12.0 * BLOCK + 16.0 * static_cast<double>(T) * static_cast<double>(std::min(BLOCK, rows));
}

// Every row's mean and variance into mu and v: blocks of rows spread over
// the threads, each walking tree after tree, then pooled. Returns the
// fault to report (the first failing block's), or none.
Fault predict_forest(const host::Forest &trees, const CompiledForest &compiled,
                   const core::DataMatrix &z, std::size_t threads, double *mu, double *v)
{
    const std::size_t T = trees.size();
    const std::size_t blocks = (z.rows + BLOCK - 1) / BLOCK;
    const std::size_t span = std::min(BLOCK, z.rows);
    // Every walk writes its scratch before reading it.
    host::Scratch<std::uint32_t> moving(BLOCK * threads, host::unfilled);
    host::Scratch<std::uint32_t> node(BLOCK * threads, host::unfilled);
    host::Scratch<std::uint32_t> taken(BLOCK * threads, host::unfilled);
    host::Scratch<double> means(span * T * threads, host::unfilled);
    host::Scratch<double> vars(span * T * threads, host::unfilled);
    host::Scratch<Fault> faults(blocks, host::unfilled);
    // A row takes at most N-1 steps down a tree of N nodes.
    double walk_steps = 0;
    for (std::size_t t = 0; t < T; ++t)
        walk_steps += static_cast<double>(z.rows) * static_cast<double>(trees[t].N);
    host::interruptible_work(blocks, threads, walk_steps, [&](std::size_t block,
                                                             std::size_t worker,
                                                             const std::atomic<bool> &stop) {
        const core::WalkScratch s{moving.data() + worker * BLOCK, node.data() + worker * BLOCK,
                                  taken.data() + worker * BLOCK, means.data() + worker * span * T,
                                  vars.data() + worker * span * T, span};
        const std::size_t first = block * BLOCK;
        const std::size_t count = std::min(BLOCK, z.rows - first);
        faults[block] =
            core::block_down_forest(trees, compiled, z, first, count, s, stop, mu, v);
    });
    for (std::size_t b = 0; b < blocks; ++b)
        if (faults[b])
            return faults[b];
    return Fault();
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    using namespace host;

    require(nrhs == 2 || nrhs == 3, USAGE);
    require(nlhs <= NUM_OUTPUTS, "Too many output arguments: forestcast returns mu and v.");

    const host::Forest trees(prhs[IN_FOREST]);
    const core::DataMatrix z =
        data_matrix(prhs[IN_Z], "Z",
                    "Z must be a real double n-by-(p+d) matrix (configuration columns, then "
                    "instance columns).",
                    TWO_DIMENSIONAL);
    const std::size_t blocks = (z.rows + BLOCK - 1) / BLOCK;
    std::size_t threads = std::min(host::thread_count(nrhs == 3 ? prhs[IN_OPTS] : nullptr),
                                   std::max<std::size_t>(blocks, 1));

    // What the trees were fitted on, before any walking.
    host::check_fitted(trees, z, core::WHOLE_ROWS);

    // Fewer threads where their tables would not fit: the answer is the
    // same, and only a call that one thread cannot make is refused.
    const double outputs = 16.0 * static_cast<double>(z.rows);
    const double compiled = CompiledForest::bytes(trees);
    const double per_thread = walk_bytes_per_thread(trees.size(), z.rows);
    threads = threads_that_fit(threads, outputs + compiled, per_thread);
    require_memory({{"Z", outputs}, {"forest", compiled + per_thread}},
                   "the n-by-1 outputs and the walk's tables");

    mxArray *out[NUM_OUTPUTS];
    out[OUT_MU] = mxCreateDoubleMatrix(static_cast<mwSize>(z.rows), 1, mxREAL);
    out[OUT_V] = mxCreateDoubleMatrix(static_cast<mwSize>(z.rows), 1, mxREAL);
    const CompiledForest compiled_forest(trees, z, threads);
    const Fault fault =
        predict_forest(trees, compiled_forest, z, threads, mxGetPr(out[OUT_MU]), mxGetPr(out[OUT_V]));
    if (fault)
        host::report(fault, trees[fault.tree], host::Voice::forest);

    const Outputs slots(nlhs, plhs);
    for (int o = 0; o < NUM_OUTPUTS; ++o)
        slots.set(o, out[o]);
}
