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
#include "interrupt.hpp"
#include "mixture.hpp"
#include "options.hpp"
#include "tree.hpp"
#include "walks.hpp"

#include <cstdint>
#include <limits>

namespace {

using core::Fault;
using core::TreeView;
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

// One thread's scratch: the rows of the block still walking, the node
// each has reached and the steps it took; the leaves' means and variances
// per tree (row b of tree t at b + t * span, span the rows of a block).
struct WalkScratch {
    std::uint32_t *moving;
    std::uint32_t *node;
    std::uint32_t *taken;
    double *means;
    double *vars;
    std::size_t span;
};

// A row's walk with every check; a category neither set lists is a fault.
bool checked_row(const TreeView &t, const core::DataMatrix &z, std::size_t row, std::size_t k,
                 std::size_t taken, core::Reached &reached, Fault &fault,
                 const std::atomic<bool> &stop)
{
    return core::walk_row(
        t, z, row, k, taken, core::SetChecks::at_split,
        [&](std::size_t, std::size_t, std::size_t, double x, Fault &f) {
            f.kind = Fault::MISSING_CATEGORY;
            f.data = z.name;
            f.column = static_cast<std::size_t>(core::split_column(t.var[f.node])) - 1;
            f.value = x;
            return core::MissingChoice{core::MissingChoice::FAULT};
        },
        reached, fault, &stop);
}

// Walks rows first..first+count-1 of Z, a block, down tree `index`, and
// stores each row's leaf mean and variance in column `index` of the block's
// tables: the block walk where the tree is compiled, then the checked walk
// for the rows it left at a split, in row order, so that the fault
// reported is the first row's. Returns early, with no fault and the tables
// unfinished, once `stop` is set.
Fault block_down_tree(const TreeView &t, const core::CompiledTree *c, std::size_t index,
                 const core::DataMatrix &z, std::size_t first, std::size_t count,
                 const WalkScratch &s, const std::atomic<bool> &stop)
{
    Fault fault;
    fault.tree = index;
    if (c != nullptr) {
        if (!core::walk_block(*c, t.N, z.values + first, z.rows, count, s.moving, s.node,
                              s.taken, &stop))
            return fault;
    } else {
        std::fill(s.node, s.node + count, 0);
        std::fill(s.taken, s.taken + count, 0);
    }
    double *const means = s.means + index * s.span;
    double *const vars = s.vars + index * s.span;
    for (std::size_t b = 0; b < count; ++b) {
        core::Reached reached{s.node[b]};
        if (t.var[reached.node] != 0 &&
            !checked_row(t, z, first + b, reached.node, s.taken[b], reached, fault, stop))
            return fault;
        means[b] = t.leaf_mean[reached.node];
        vars[b] = t.leaf_var[reached.node];
    }
    return fault;
}

// The fault to report for a block starting at row `first` whose walk met
// `found`: the first failing row's, at its first failing tree. Trees before
// found.tree passed every row of the block, and found.tree every row before
// found.row, so only the rows before it need the later trees.
Fault first_fault(const host::Forest &trees, const core::DataMatrix &z, std::size_t first,
                  const Fault &found, const std::atomic<bool> &stop)
{
    for (std::size_t row = first; row < found.row; ++row)
        for (std::size_t t = found.tree + 1; t < trees.size(); ++t) {
            Fault fault;
            fault.tree = t;
            core::Reached reached;
            checked_row(trees[t], z, row, 0, 0, reached, fault, stop);
            if (fault)
                return fault;
        }
    return found;
}

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
          labels_(step_at_[trees.size()], host::unfilled), compiled_(trees.size(), host::unfilled)
    {
        const std::size_t T = trees.size();
        const double nodes = static_cast<double>(step_at_[T] + window_at_[T]);
        host::interruptible_work(T, threads, nodes, [&](std::size_t t, std::size_t,
                                                        const std::atomic<bool> &) {
            if (step_at_[t + 1] == step_at_[t])
                return;
            core::compile_tree(trees[t], z.cols, steps_.data() + step_at_[t],
                               windows_.data() + window_at_[t], node_of_step_.data() + step_at_[t],
                               labels_.data() + step_at_[t]);
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
            total += (sizeof(core::Step) + 8.0) * static_cast<double>(trees[t].N) +
                     sizeof(core::CategoryWindow) * static_cast<double>(trees[t].M);
        return total;
    }

private:
    // Where each tree's steps and windows start in the tables; the steps.
    static std::size_t count(const host::Forest &trees, const core::DataMatrix &z,
                             host::Scratch<std::size_t> &step_at,
                             host::Scratch<std::size_t> &window_at)
    {
        for (std::size_t t = 0; t < trees.size(); ++t) {
            const bool compiled = z.cols > 0 && z.rows >= trees[t].N / 4;
            step_at[t + 1] = step_at[t] + (compiled ? trees[t].N : 0);
            window_at[t + 1] = window_at[t] + (compiled ? trees[t].M : 0);
        }
        return step_at[trees.size()];
    }

    host::Scratch<std::size_t> step_at_, window_at_;
    host::Scratch<core::Step> steps_;
    host::Scratch<core::CategoryWindow> windows_;
    host::Scratch<std::uint32_t> node_of_step_, labels_;
    host::Scratch<core::CompiledTree> compiled_;
};

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
        const WalkScratch s{moving.data() + worker * BLOCK, node.data() + worker * BLOCK,
                            taken.data() + worker * BLOCK, means.data() + worker * span * T,
                            vars.data() + worker * span * T, span};
        const std::size_t first = block * BLOCK;
        const std::size_t count = std::min(BLOCK, z.rows - first);
        faults[block] = Fault();
        for (std::size_t t = 0; t < T; ++t) {
            faults[block] = block_down_tree(trees[t], compiled[t], t, z, first, count, s, stop);
            if (faults[block]) {
                faults[block] = first_fault(trees, z, first, faults[block], stop);
                return;
            }
            if (stop.load(std::memory_order_relaxed))
                return;
        }
        core::pool_trees(s.means, s.vars, count, T, span, mu + first, v + first);
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
    const double per_thread = 12.0 * BLOCK + 16.0 * static_cast<double>(trees.size()) *
                                                 static_cast<double>(std::min(BLOCK, z.rows));
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
