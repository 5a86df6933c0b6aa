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

// A node to visit: reached from `parent` on its left or right (the root has
// no parent), with the configurations confs[c_first..+nc) and the instances
// insts[p_first..+np).
struct Visit {
    std::uint32_t parent;
    bool right;
    bool root;
    std::uint32_t c_first, nc;
    std::uint32_t p_first, np;
};

// One thread's scratch: the two lists, the spare half of a partition, a
// mark per node, the nodes waiting to be visited.
struct Lists {
    std::int32_t *confs;
    std::int32_t *insts;
    std::int32_t *spare;
    unsigned char *visited;
    Visit *pending;
};

// The per-tree tables, column t for tree t.
struct Tables {
    double *tree_means;
    double *tree_vars;
    std::size_t K;
};

// List entries a walk handles between looks at the stop flag: well under a
// millisecond's work.
constexpr std::size_t STOP_CHECK_WORK = std::size_t{1} << 16;

// Walks tree `index` with every configuration and every instance and fills
// column `index` of the tables. Returns the first fault met, in the order a
// depth-first walk meets them; returns early, with no fault, once `stop` is
// set (a tree of millions of nodes walks for seconds).
Fault margins_of_tree(const TreeView &t, std::size_t index, const core::DataMatrix &theta,
                      const core::DataMatrix &x, const Lists &lists, const Tables &tables,
                      const std::atomic<bool> &stop)
{
    Fault fault;
    fault.tree = index;
    const std::size_t K = theta.rows;
    const std::size_t N = x.rows;
    const std::size_t p = theta.cols;
    for (std::size_t i = 0; i < K; ++i)
        lists.confs[i] = static_cast<std::int32_t>(i);
    for (std::size_t j = 0; j < N; ++j)
        lists.insts[j] = static_cast<std::int32_t>(j);
    std::memset(lists.visited, 0, t.N);
    double *const tm = tables.tree_means + index * tables.K;
    double *const tv = tables.tree_vars + index * tables.K;
    // Cleared here rather than by the host: on the workers, where Ctrl-C
    // reaches them, however large the table.
    std::fill(tv, tv + tables.K, 0.0);
    const double instances = static_cast<double>(N);

    std::size_t waiting = 0;
    lists.pending[waiting++] = Visit{0, false, true, 0, static_cast<std::uint32_t>(K), 0,
                                     static_cast<std::uint32_t>(N)};
    std::size_t work = 0;
    while (waiting > 0) {
        const Visit at = lists.pending[--waiting];
        // A visit's work is at most its lists' length.
        work += at.nc + at.np + 1;
        if (work >= STOP_CHECK_WORK) {
            work = 0;
            if (stop.load(std::memory_order_relaxed))
                return fault;
        }
        std::size_t k = 0;
        if (!at.root && !core::child_of(t, at.parent, at.right, k, fault))
            return fault;
        // A second visit means a cycle or a shared subtree; it also bounds
        // the walk by N visits.
        if (lists.visited[k]) {
            fault.kind = Fault::CYCLE;
            fault.node = k;
            return fault;
        }
        lists.visited[k] = 1;

        const std::int32_t v = t.var[k];
        if (v == 0) {
            if (at.nc == 0)
                continue;
            const double w = static_cast<double>(at.np) / instances;
            const double a = w * t.leaf_mean[k];
            const double b = (w * w) * t.leaf_var[k];
            const std::int32_t *confs = lists.confs + at.c_first;
            for (std::size_t i = 0; i < at.nc; ++i) {
                tm[confs[i]] += a;
                tv[confs[i]] += b;
            }
            continue;
        }
        // nodeharvest's order: the variable (when there are rows to route),
        // then the catsplit row and value sets, also with none.
        const std::uint64_t variable = static_cast<std::uint64_t>(core::split_column(v));
        const bool divides_instances = variable > p;
        const std::size_t n = divides_instances ? at.np : at.nc;
        if (divides_instances && n > 0 && variable - p > x.cols) {
            fault.kind = Fault::BAD_VARIABLE;
            fault.node = k;
            fault.number = static_cast<std::int64_t>(variable);
            fault.columns = p + x.cols;
            return fault;
        }
        if (!core::split_is_usable(t, k, fault))
            return fault;
        if (n == 0)
            continue;
        // The children are walked next: start loading what their visits
        // read first (a tree is larger than the caches, and these loads
        // would otherwise wait on one another).
        for (const std::int32_t child : {t.leftchildren[k], t.rightchildren[k]})
            if (core::is_node_number(child, t.N)) {
                const std::size_t c = static_cast<std::size_t>(child) - 1;
                TOOLBOX_PREFETCH(t.var + c);
                TOOLBOX_PREFETCH(t.cut + c);
                TOOLBOX_PREFETCH(t.leaf_mean + c);
                TOOLBOX_PREFETCH(t.leaf_var + c);
                TOOLBOX_PREFETCH(t.leftchildren + c);
                TOOLBOX_PREFETCH(t.rightchildren + c);
                TOOLBOX_PREFETCH(lists.visited + c);
            }
        const core::DataMatrix &data = divides_instances ? x : theta;
        const std::size_t column_index = divides_instances ? variable - p - 1 : variable - 1;
        const double *column = data.values + column_index * data.rows;
        std::int32_t *list = divides_instances ? lists.insts + at.p_first : lists.confs + at.c_first;

        std::size_t n_left;
        if (v > 0) {
            // A NaN value or cut compares false, so it goes right.
            const double cut = t.cut[k];
            n_left = core::partition_stably(list, n, lists.spare, [column, cut](std::int32_t row) {
                return cut > column[row];
            });
        } else {
            const std::size_t r = static_cast<std::size_t>(core::category_of(t.cut[k])) - 1;
            // The lowest row whose category is missing is named, as in the
            // road, whose lists stay in row order.
            bool missing = false;
            n_left = core::partition_stably(list, n, lists.spare, [&](std::int32_t row) {
                const double value = column[row];
                const core::Side side = core::categorical_side(t, r, v, core::category_of(value));
                if (side == core::MISSING &&
                    (!missing || static_cast<std::size_t>(row) < fault.row)) {
                    missing = true;
                    fault.row = static_cast<std::size_t>(row);
                    fault.value = value;
                }
                return side == core::LEFT;
            });
            if (missing) {
                fault.kind = Fault::MISSING_CATEGORY;
                fault.node = k;
                fault.data = data.name;
                fault.column = column_index;
                return fault;
            }
        }
        const std::uint32_t n_right = static_cast<std::uint32_t>(n - n_left);
        const std::uint32_t left = static_cast<std::uint32_t>(n_left);
        const std::uint32_t node = static_cast<std::uint32_t>(k);
        // The right child waits below the left one, so the left subtree is
        // walked first.
        if (divides_instances) {
            if (n_right > 0)
                lists.pending[waiting++] =
                    Visit{node, true, false, at.c_first, at.nc, at.p_first + left, n_right};
            if (left > 0)
                lists.pending[waiting++] =
                    Visit{node, false, false, at.c_first, at.nc, at.p_first, left};
        } else {
            if (n_right > 0)
                lists.pending[waiting++] =
                    Visit{node, true, false, at.c_first + left, n_right, at.p_first, at.np};
            if (left > 0)
                lists.pending[waiting++] =
                    Visit{node, false, false, at.c_first, left, at.p_first, at.np};
        }
    }
    return fault;
}

// Theta and X: full real doubles whose row numbers fit the int32 lists.
core::DataMatrix data_argument(const mxArray *a, const char *name, const char *message)
{
    require(host::is_real_double(a) && host::dimension_count(a) == 2, message);
    host::require_full(a, name);
    host::require_int32_rows(a, name);
    return {name, mxGetPr(a), host::rows(a), host::cols(a)};
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
        data_argument(prhs[IN_THETA], "Theta", "Theta must be a real double K-by-p matrix.");
    const core::DataMatrix x =
        data_argument(prhs[IN_X], "X", "X must be a real double N-by-d matrix (d may be 0).");
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
    const double walk = (1.0 + 2.0 * sizeof(Visit)) * static_cast<double>(nodes);
    const double tables = 8.0 * static_cast<double>(K) * (2.0 + 2.0 * static_cast<double>(T));
    while (threads > 1 && exceeds_memory(tables + (lists + walk) * static_cast<double>(threads)))
        --threads;
    require_memory({{"Theta", tables}, {"forest", walk}, {K > N ? "Theta" : "X", lists}},
                   "the tables and the walk's lists");

    mxArray *out[NUM_OUTPUTS];
    out[OUT_MEANS] = mxCreateDoubleMatrix(static_cast<mwSize>(K), 1, mxREAL);
    out[OUT_VARS] = mxCreateDoubleMatrix(static_cast<mwSize>(K), 1, mxREAL);
    out[OUT_TREE_MEANS] =
        mxCreateDoubleMatrix(static_cast<mwSize>(K), static_cast<mwSize>(T), mxREAL);
    double *const means = mxGetPr(out[OUT_MEANS]);
    double *const vars = mxGetPr(out[OUT_VARS]);
    double *const tree_means = mxGetPr(out[OUT_TREE_MEANS]);
    Scratch<double> tree_vars(K * T, unfilled);

    // Every walk writes its scratch before reading it, and a small batch
    // touches little of `pending`: none of it needs zeros.
    Scratch<std::int32_t> confs(K * threads, unfilled);
    Scratch<std::int32_t> insts(N * threads, unfilled);
    Scratch<std::int32_t> spare(std::max(K, N) * threads, unfilled);
    Scratch<unsigned char> visited(nodes * threads, unfilled);
    Scratch<Visit> pending((2 * nodes + 1) * threads, unfilled);
    Scratch<Fault> faults(T, unfilled);
    const Tables table{tree_means, tree_vars.data(), K};
    // A walk visits each node at most once, with at most K + N entries.
    double steps = 0;
    for (std::size_t t = 0; t < T; ++t)
        steps += static_cast<double>(trees[t].N) * static_cast<double>(K + N + 1);
    interruptible_work(T, threads, steps, [&](std::size_t t, std::size_t worker,
                                              const std::atomic<bool> &stop) {
        const Lists lists{confs.data() + worker * K, insts.data() + worker * N,
                          spare.data() + worker * std::max(K, N), visited.data() + worker * nodes,
                          pending.data() + worker * (2 * nodes + 1)};
        faults[t] = margins_of_tree(trees[t], t, theta, x, lists, table, stop);
    });
    // The first tree's fault, whichever thread met it first.
    for (std::size_t t = 0; t < T; ++t)
        if (faults[t])
            host::report(faults[t], trees[t]);

    // The forest, from the per-tree tables, as poolmargins pools them.
    core::pool_trees(tree_means, tree_vars.data(), K, T, K, means, vars);

    const Outputs slots(nlhs, plhs);
    for (int o = 0; o < NUM_OUTPUTS; ++o)
        slots.set(o, out[o]);
}
