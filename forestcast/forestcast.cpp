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

// A node as the block walk reads it, compiled from the tree's arrays once
// per call: its cut (at a categorical split, its row of the windows
// table), the column of Z its variable sits in, and its left child; the
// right child is the next node, as forestfit and grow_tree number them. A
// row stays where the checked walk must decide (a leaf, a fault to report,
// a right child elsewhere): such a node's
// cut is NaN, which sends every row right, and its left child the node
// before it, so that the ordered step's arithmetic leads back to the node
// itself without a branch. 16 bytes: a tree of 60,000 nodes fits a core's
// second-level cache.
struct Step {
    double cut;
    std::uint32_t left;
    std::uint16_t column; // 0-based
    std::uint16_t categorical;
};
static_assert(sizeof(Step) == 16, "a step is two to a cache line's quarter");

// The window of compact tree t's categorical node k (usable): its left
// set, the rest of its variable's levels right.
core::CategoryWindow window_at(const TreeView &t, std::size_t k)
{
    const std::size_t r = static_cast<std::size_t>(core::category_of(t.cut[k])) - 1;
    return core::left_set_window(
        t.set(r).values, t.levels_of(static_cast<std::size_t>(core::split_column(t.var[k]))));
}

bool same_window(const core::CategoryWindow &a, const core::CategoryWindow &b)
{
    return a.known == b.known && a.right == b.right && a.base == b.base;
}

// Compiles tree t for data of `columns` columns: its steps (N) and the
// windows of its catsplit rows (M).
void compile_tree(const TreeView &t, std::size_t columns, Step *steps,
                  core::CategoryWindow *windows)
{
    Fault ignored;
    // Only usable sets are read: no split that names another row compiles.
    // A compact tree's right sets are the other categories of the split's
    // variable: its window is made from the first node naming its sets.
    if (t.left_only) {
        for (std::size_t k = t.N; k-- > 0;)
            if (t.var[k] < 0 && core::split_is_usable(t, k, ignored))
                windows[core::category_of(t.cut[k]) - 1] = window_at(t, k);
    } else {
        for (std::size_t r = 0; r < t.M; ++r)
            windows[r] = core::category_window(t.set(r).values, t.set(r + t.M).values);
    }
    for (std::size_t k = 0; k < t.N; ++k) {
        // Unsigned arithmetic: the root's "node before" wraps to it.
        Step step{std::numeric_limits<double>::quiet_NaN(), static_cast<std::uint32_t>(k - 1), 0,
                  0};
        const std::int32_t v = t.var[k];
        const std::uint64_t column = static_cast<std::uint64_t>(core::split_column(v));
        std::size_t left = 0, right = 0;
        if (v != 0 && column <= std::min<std::size_t>(columns, UINT16_MAX + std::size_t{1}) &&
            core::split_is_usable(t, k, ignored) && core::child_of(t, k, false, left, ignored) &&
            core::child_of(t, k, true, right, ignored) && right == left + 1) {
            step.left = static_cast<std::uint32_t>(left);
            step.column = static_cast<std::uint16_t>(column - 1);
            step.cut = t.cut[k];
            if (v < 0) {
                step.categorical = 1;
                step.cut = core::category_of(t.cut[k]) - 1;
                // Sets that nodes on variables of other levels share: the
                // checked walk decides here.
                if (t.left_only && !same_window(windows[static_cast<std::size_t>(step.cut)],
                                                window_at(t, k)))
                    step = Step{std::numeric_limits<double>::quiet_NaN(),
                                static_cast<std::uint32_t>(k - 1), 0, 0};
            }
        }
        steps[k] = step;
    }
}

// The node a row with value x goes to from `step` (node k): the node
// itself where the checked walk must decide (also for a category its row's
// window does not know).
inline std::uint32_t next_of(const Step &step, const core::CategoryWindow *windows,
                             std::uint32_t k, double x)
{
    if (!step.categorical) // a NaN value or cut compares false: right
        return step.left + static_cast<std::uint32_t>(!(step.cut > x));
    const core::CategoryWindow &w = windows[static_cast<std::size_t>(step.cut)];
    const std::size_t side = w.side(core::category_of(x));
    return side == 2 ? k : step.left + static_cast<std::uint32_t>(side);
}

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

// Steps a walk takes between looks at the stop flag.
constexpr std::size_t STOP_CHECK_STEPS = 4096;

// Walks row `row` of Z from node k, which it reached in `taken` steps, to
// a leaf, with every check: the walk that decides what the block walk left
// and reports the faults. Returns the leaf, or N with `fault` filled, or N
// without a fault once `stop` is set (a path may be millions of nodes long).
std::size_t walk_row(const TreeView &t, const core::DataMatrix &z, std::size_t row, std::size_t k,
                     std::size_t taken, Fault &fault, const std::atomic<bool> &stop)
{
    for (std::size_t steps = 1;; ++steps) {
        if (steps % STOP_CHECK_STEPS == 0 && stop.load(std::memory_order_relaxed))
            return t.N;
        const std::int32_t v = t.var[k];
        if (v == 0)
            return k;
        fault.node = k;
        fault.row = row;
        // forestmargins' order at a node: the variable, then the split's sets.
        const std::uint64_t column = static_cast<std::uint64_t>(core::split_column(v));
        if (column > z.cols) {
            fault.kind = Fault::BAD_VARIABLE;
            fault.number = static_cast<std::int64_t>(column);
            fault.columns = z.cols;
            return t.N;
        }
        if (!core::split_is_usable(t, k, fault))
            return t.N;
        const double x = z.values[row + (column - 1) * z.rows];
        bool right = !(t.cut[k] > x);
        if (v < 0) {
            const std::size_t r = static_cast<std::size_t>(core::category_of(t.cut[k])) - 1;
            const core::Side side = core::categorical_side(t, r, v, core::category_of(x));
            if (side == core::MISSING) {
                fault.kind = Fault::MISSING_CATEGORY;
                fault.data = z.name;
                fault.column = column - 1;
                fault.value = x;
                return t.N;
            }
            right = side == core::RIGHT;
        }
        // The child first, then the step: as treecast, a walk longer than
        // any path of N nodes has met a cycle.
        if (!core::child_of(t, k, right, k, fault))
            return t.N;
        if (++taken > t.N - 1) {
            fault.kind = Fault::CYCLE;
            return t.N;
        }
    }
}

// A tree as the block walk reads it: its compiled steps and windows, or
// none where it has too few rows to walk for compiling to pay.
struct Compiled {
    const Step *steps;
    const core::CategoryWindow *windows;
};

// Walks rows first..first+count-1 of Z, a block, down tree `index`, and
// stores each row's leaf mean and variance in column `index` of the block's
// tables. The block walk takes only steps
// that cannot fail; the rows it leaves at a split are finished by walk_row
// in row order, so the fault reported is the first row's. Returns early,
// with no fault and the tables unfinished, once `stop` is set.
Fault walk_block(const TreeView &t, const Compiled &c, std::size_t index, const core::DataMatrix &z,
                 std::size_t first, std::size_t count, const WalkScratch &s,
                 const std::atomic<bool> &stop)
{
    for (std::size_t b = 0; b < count; ++b) {
        s.moving[b] = static_cast<std::uint32_t>(b);
        s.node[b] = 0;
        s.taken[b] = 0;
    }
    const double *const rows = z.values + first;
    // A row still moving after N-1 sweeps has met a cycle: walk_row says so.
    std::size_t live = c.steps != nullptr ? count : 0;
    Fault fault;
    fault.tree = index;
    for (std::size_t sweep = 0; live > 0 && sweep + 1 < t.N; ++sweep) {
        if (stop.load(std::memory_order_relaxed))
            return fault;
        std::size_t kept = 0;
        for (std::size_t q = 0; q < live; ++q) {
            const std::uint32_t b = s.moving[q];
            const std::uint32_t k = s.node[b];
            const Step &step = c.steps[k];
            // The row's value of the step's column (column 0 at a node it
            // stays at, which Z has, as compiled trees are walked only then).
            const double x = rows[b + step.column * z.rows];
            const std::uint32_t next = next_of(step, c.windows, k, x);
            // Wanted again a sweep later, when the block's other rows have
            // moved: fetched now, its load overlaps theirs.
            TOOLBOX_PREFETCH(c.steps + next);
            const bool moved = next != k;
            s.node[b] = next;
            s.taken[b] = static_cast<std::uint32_t>(sweep + moved);
            s.moving[kept] = b;
            kept += moved;
        }
        live = kept;
    }
    double *const means = s.means + index * s.span;
    double *const vars = s.vars + index * s.span;
    for (std::size_t b = 0; b < count; ++b) {
        std::size_t k = s.node[b];
        if (t.var[k] != 0) {
            k = walk_row(t, z, first + b, k, s.taken[b], fault, stop);
            if (k == t.N)
                return fault;
        }
        means[b] = t.leaf_mean[k];
        vars[b] = t.leaf_var[k];
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
            walk_row(trees[t], z, row, 0, 0, fault, stop);
            if (fault)
                return fault;
        }
    return found;
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    using namespace host;

    require(nrhs == 2 || nrhs == 3, USAGE);
    require(nlhs <= NUM_OUTPUTS, "Too many output arguments: forestcast returns mu and v.");

    const host::Forest trees(prhs[IN_FOREST]);
    const std::size_t T = trees.size();
    const mxArray *Z = prhs[IN_Z];
    require(is_real_double(Z) && dimension_count(Z) == 2,
            "Z must be a real double n-by-(p+d) matrix (configuration columns, then instance "
            "columns).");
    require_full(Z, "Z");
    const core::DataMatrix z{"Z", mxGetPr(Z), rows(Z), cols(Z)};
    const std::size_t blocks = (z.rows + BLOCK - 1) / BLOCK;
    std::size_t threads = std::min(host::thread_count(nrhs == 3 ? prhs[IN_OPTS] : nullptr),
                                   std::max<std::size_t>(blocks, 1));

    // What the trees were fitted on, before any walking.
    host::check_fitted(trees, z, core::WHOLE_ROWS);

    const double outputs = 16.0 * static_cast<double>(z.rows);
    double compiled = 0;
    for (std::size_t t = 0; t < T; ++t)
        compiled += sizeof(Step) * static_cast<double>(trees[t].N) +
                    sizeof(core::CategoryWindow) * static_cast<double>(trees[t].M);
    // Fewer threads where their tables would not fit: the answer is the
    // same, and only a call that one thread cannot make is refused.
    const std::size_t span = std::min(BLOCK, z.rows);
    const double per_thread = 12.0 * BLOCK + 16.0 * static_cast<double>(T) * span;
    while (threads > 1 &&
           exceeds_memory(outputs + compiled + per_thread * static_cast<double>(threads)))
        --threads;
    require_memory({{"Z", outputs}, {"forest", compiled + per_thread}},
                   "the n-by-1 outputs and the walk's tables");

    mxArray *out[NUM_OUTPUTS];
    out[OUT_MU] = mxCreateDoubleMatrix(static_cast<mwSize>(z.rows), 1, mxREAL);
    out[OUT_V] = mxCreateDoubleMatrix(static_cast<mwSize>(z.rows), 1, mxREAL);
    double *const mu = mxGetPr(out[OUT_MU]);
    double *const v = mxGetPr(out[OUT_V]);

    // Trees with at least a row per four nodes are compiled first (like the
    // walk, in parallel), each into its own part of the tables; Z needs a
    // column for the compiled walk to read at nodes rows stay at.
    Scratch<std::size_t> step_at(T + 1);
    Scratch<std::size_t> window_at(T + 1);
    for (std::size_t t = 0; t < T; ++t) {
        const bool compiled = z.cols > 0 && z.rows >= trees[t].N / 4;
        step_at[t + 1] = step_at[t] + (compiled ? trees[t].N : 0);
        window_at[t + 1] = window_at[t] + (compiled ? trees[t].M : 0);
    }
    Scratch<Step> steps(step_at[T], unfilled);
    Scratch<core::CategoryWindow> windows(window_at[T], unfilled);
    const double nodes = static_cast<double>(step_at[T] + window_at[T]);
    interruptible_work(T, threads, nodes, [&](std::size_t t, std::size_t,
                                              const std::atomic<bool> &) {
        if (step_at[t + 1] > step_at[t])
            compile_tree(trees[t], z.cols, steps.data() + step_at[t],
                         windows.data() + window_at[t]);
    });

    // Every walk writes its scratch before reading it.
    Scratch<std::uint32_t> moving(BLOCK * threads, unfilled);
    Scratch<std::uint32_t> node(BLOCK * threads, unfilled);
    Scratch<std::uint32_t> taken(BLOCK * threads, unfilled);
    Scratch<double> means(span * T * threads, unfilled);
    Scratch<double> vars(span * T * threads, unfilled);
    Scratch<Fault> faults(blocks, unfilled);
    // A row takes at most N-1 steps down a tree of N nodes.
    double walk_steps = 0;
    for (std::size_t t = 0; t < T; ++t)
        walk_steps += static_cast<double>(z.rows) * static_cast<double>(trees[t].N);
    interruptible_work(blocks, threads, walk_steps, [&](std::size_t block, std::size_t worker,
                                                   const std::atomic<bool> &stop) {
        const WalkScratch s{moving.data() + worker * BLOCK, node.data() + worker * BLOCK,
                            taken.data() + worker * BLOCK, means.data() + worker * span * T,
                            vars.data() + worker * span * T, span};
        const std::size_t first = block * BLOCK;
        const std::size_t count = std::min(BLOCK, z.rows - first);
        faults[block] = Fault();
        for (std::size_t t = 0; t < T; ++t) {
            const bool compiled = step_at[t + 1] > step_at[t];
            const Compiled c{compiled ? steps.data() + step_at[t] : nullptr,
                             windows.data() + window_at[t]};
            faults[block] = walk_block(trees[t], c, t, z, first, count, s, stop);
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
            host::report(faults[b], trees[faults[b].tree]);

    const Outputs slots(nlhs, plhs);
    for (int o = 0; o < NUM_OUTPUTS; ++o)
        slots.set(o, out[o]);
}
