// forestfit: a random forest of regression trees fitted to runs, each run a
// (configuration, instance) pair with a measured response, without forming
// the pair matrix [Theta(c,:), X(i,:)].
//
// The learning rule is examples/grow_tree.m's, with the same arithmetic, so
// that without bootstrap and with every variable tried both give the same
// tree: the runs of a node ordered stably by a variable, cumulative sums in
// that order, score S(i)^2/i + (total-S(i))^2/(m-i), the first best kept,
// variables tried in order 1..p+d when all are tried.
//
// This file is the gateway: it reads and checks the arguments, ranks the
// columns, runs the learner core (the headers beside it, which never call
// the host) and builds the forest through the C API.
#include "grower.hpp"
#include "mexhost.hpp"
#include "threads.hpp"

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace {

using host::fail;
using host::fail_fmt;
using host::require;
using forestcore::KeptResponses;
using forestcore::Node;
using forestcore::Tree;

enum { IN_THETA = 0, IN_X, IN_RUNS, IN_Y, IN_LEVELS, IN_OPTS };

constexpr const char *USAGE =
    "Usage: forest = forestfit(Theta, X, runs, y, levels, opts), with Theta K-by-p double, "
    "X N-by-d double, runs R-by-2 int32, y R-by-1 double, levels 1-by-(p+d), opts an "
    "optional struct (help forestfit).";

struct Options {
    double num_trees = 10;
    double mtry = 0; // set from p+d when absent
    double min_leaf = 5;
    double max_nodes = std::numeric_limits<double>::infinity();
    bool bootstrap = true;
    double seed = 0;
    double first_tree = 1;
    double num_threads = 1; // set from the usable cores when absent
    KeptResponses ysub = KeptResponses::leaves;
};

// ---- the forest as host arrays ---------------------------------------------

// A rows-by-cols host array of class `id`, its data returned for filling.
template <class T>
mxArray *host_matrix(std::size_t rows, std::size_t cols, mxClassID id, T *&data)
{
    mxArray *a = mxCreateNumericMatrix(static_cast<mwSize>(rows), static_cast<mwSize>(cols), id,
                                       mxREAL);
    data = static_cast<T *>(mxGetData(a));
    return a;
}

// A 1-by-n row holding `values`.
template <class T>
mxArray *host_row(const T *values, std::size_t n, mxClassID id)
{
    T *data = nullptr;
    mxArray *row = host_matrix(1, n, id, data);
    std::copy_n(values, n, data);
    return row;
}

// ysub: node k's kept responses, a 1-by-n_k row, in cell k (1-by-0 where
// they are not kept).
mxArray *node_responses(const Tree &tree, KeptResponses kept)
{
    const std::size_t n_nodes = tree.nodes.size();
    mxArray *cells = mxCreateCellMatrix(static_cast<mwSize>(n_nodes), 1);
    const double *next = tree.responses.data();
    for (std::size_t k = 0; k < n_nodes; ++k) {
        const Node &node = tree.nodes[k];
        const std::size_t n = tree.keeps_responses(node, kept) ? node.run_count() : 0;
        mxSetCell(cells, static_cast<mwIndex>(k), host_row(next, n, mxDOUBLE_CLASS));
        next += n;
    }
    return cells;
}

// catsplit: row r holds split r's left and right value sets, 1-by-n int32
// rows.
mxArray *value_sets(const Tree &tree)
{
    const std::size_t n_splits = tree.split_count();
    mxArray *cells = mxCreateCellMatrix(static_cast<mwSize>(n_splits), 2);
    const std::int32_t *left = tree.left_values.data(), *right = tree.right_values.data();
    for (std::size_t s = 0; s < n_splits; ++s) {
        mxSetCell(cells, static_cast<mwIndex>(s),
                  host_row(left, tree.left_sizes[s], mxINT32_CLASS));
        mxSetCell(cells, static_cast<mwIndex>(n_splits + s),
                  host_row(right, tree.right_sizes[s], mxINT32_CLASS));
        left += tree.left_sizes[s];
        right += tree.right_sizes[s];
    }
    return cells;
}

// What every tree of a fit records beside its nodes.
struct FitRecord {
    std::size_t theta_cols, n_vars;
    const double *levels;
    KeptResponses kept;
};

// The tree in grow_tree's fields, classes, shapes and order, then what it
// was fitted on (so that the forest modules can check the data they route
// before walking).
mxArray *tree_struct(const Tree &tree, const FitRecord &fit)
{
    static const char *fields[] = {"var",       "cut",      "children",      "leftchildren",
                                   "rightchildren", "catsplit", "ysub",      "nodepred",
                                   "stddev",    "n_leaf",   "g_leaf",        "m_leaf",
                                   "leaf_mean", "leaf_var", "theta_columns", "levels"};
    enum { VAR, CUT, CHILDREN, LEFT, RIGHT, CATSPLIT, YSUB, PRED, STDDEV, COUNT, SUM, SQUARES,
           MEAN, SPREAD, THETA_COLUMNS, LEVELS, NUM_FIELDS };
    const std::size_t n_nodes = tree.nodes.size();
    mxArray *out = mxCreateStructMatrix(1, 1, NUM_FIELDS, fields);
    std::int32_t *var, *children, *left, *right, *count;
    double *cut, *pred, *stddev, *sum, *squares, *mean, *spread;
    mxSetFieldByNumber(out, 0, VAR, host_matrix(n_nodes, 1, mxINT32_CLASS, var));
    mxSetFieldByNumber(out, 0, CUT, host_matrix(n_nodes, 1, mxDOUBLE_CLASS, cut));
    mxSetFieldByNumber(out, 0, CHILDREN, host_matrix(n_nodes, 2, mxINT32_CLASS, children));
    mxSetFieldByNumber(out, 0, LEFT, host_matrix(n_nodes, 1, mxINT32_CLASS, left));
    mxSetFieldByNumber(out, 0, RIGHT, host_matrix(n_nodes, 1, mxINT32_CLASS, right));
    mxSetFieldByNumber(out, 0, PRED, host_matrix(n_nodes, 1, mxDOUBLE_CLASS, pred));
    mxSetFieldByNumber(out, 0, STDDEV, host_matrix(n_nodes, 1, mxDOUBLE_CLASS, stddev));
    mxSetFieldByNumber(out, 0, COUNT, host_matrix(n_nodes, 1, mxINT32_CLASS, count));
    mxSetFieldByNumber(out, 0, SUM, host_matrix(n_nodes, 1, mxDOUBLE_CLASS, sum));
    mxSetFieldByNumber(out, 0, SQUARES, host_matrix(n_nodes, 1, mxDOUBLE_CLASS, squares));
    mxSetFieldByNumber(out, 0, MEAN, host_matrix(n_nodes, 1, mxDOUBLE_CLASS, mean));
    mxSetFieldByNumber(out, 0, SPREAD, host_matrix(n_nodes, 1, mxDOUBLE_CLASS, spread));
    for (std::size_t k = 0; k < n_nodes; ++k) {
        const Node &node = tree.nodes[k];
        var[k] = node.var;
        cut[k] = node.cut;
        const std::int32_t first = node.is_leaf() ? 0 : node.first_child;
        const std::int32_t second = node.is_leaf() ? 0 : node.first_child + 1;
        children[k] = left[k] = first;
        children[n_nodes + k] = right[k] = second;
        pred[k] = node.mean;
        stddev[k] = std::sqrt(node.spread);
        count[k] = static_cast<std::int32_t>(node.run_count());
        sum[k] = node.sum;
        squares[k] = node.squares;
        mean[k] = node.mean;
        spread[k] = node.spread;
    }
    mxSetFieldByNumber(out, 0, CATSPLIT, value_sets(tree));
    mxSetFieldByNumber(out, 0, YSUB, node_responses(tree, fit.kept));
    mxSetFieldByNumber(out, 0, THETA_COLUMNS,
                       mxCreateDoubleScalar(static_cast<double>(fit.theta_cols)));
    mxSetFieldByNumber(out, 0, LEVELS, host_row(fit.levels, fit.n_vars, mxDOUBLE_CLASS));
    return out;
}

// ---- argument checks ------------------------------------------------------

bool is_2d(const mxArray *a) { return host::dimension_count(a) == 2; }

const double *data_matrix(const mxArray *a, const char *name, const char *message)
{
    require(host::is_real_double(a) && is_2d(a), message);
    host::require_full(a, name);
    return mxGetPr(a);
}

// An option's value: a real numeric or logical scalar.
double option_scalar(const mxArray *value, const char *name)
{
    if (!((mxIsNumeric(value) || mxIsLogical(value)) && !mxIsComplex(value) &&
          !mxIsSparse(value) && host::numel(value) == 1 && is_2d(value)))
        fail_fmt("opts.%s must be a real scalar.", name);
    return mxGetScalar(value);
}

bool is_whole(double x) { return std::isfinite(x) && x == std::floor(x); }

// opts.ysub: which nodes keep their responses.
KeptResponses read_kept_responses(const mxArray *value)
{
    char word[8] = "";
    if (mxIsChar(value) && host::rows(value) == 1 && host::numel(value) < sizeof word)
        mxGetString(value, word, sizeof word);
    if (std::strcmp(word, "leaves") == 0)
        return KeptResponses::leaves;
    if (std::strcmp(word, "all") == 0)
        return KeptResponses::all;
    if (std::strcmp(word, "none") == 0)
        return KeptResponses::none;
    fail("opts.ysub must be 'leaves', 'all' or 'none'.");
}

Options read_options(const mxArray *opts, std::size_t D)
{
    Options o;
    o.mtry = std::max(1.0, std::floor(static_cast<double>(D) / 3));
    o.num_threads = static_cast<double>(host::usable_cores());
    if (opts == nullptr)
        return o;
    require(mxIsStruct(opts) && host::numel(opts) == 1,
            "opts must be a 1-by-1 struct (fields num_trees, mtry, min_leaf, max_nodes, "
            "bootstrap, seed, first_tree, num_threads, ysub; all optional).");
    const int fields = mxGetNumberOfFields(opts);
    for (int f = 0; f < fields; ++f) {
        const char *name = mxGetFieldNameByNumber(opts, f);
        const mxArray *value = mxGetFieldByNumber(opts, 0, f);
        if (value == nullptr)
            fail_fmt("opts.%s is unset.", name);
        if (std::strcmp(name, "num_trees") == 0) {
            o.num_trees = option_scalar(value, name);
            if (!(is_whole(o.num_trees) && o.num_trees >= 1 && o.num_trees <= INT32_MAX))
                fail("opts.num_trees must be a positive integer.");
        } else if (std::strcmp(name, "mtry") == 0) {
            o.mtry = option_scalar(value, name);
            if (!(is_whole(o.mtry) && o.mtry >= 1 && o.mtry <= static_cast<double>(D)))
                fail_fmt("opts.mtry must be an integer in 1..%zu (the columns of Theta and X).",
                         D);
        } else if (std::strcmp(name, "min_leaf") == 0) {
            o.min_leaf = option_scalar(value, name);
            if (!(is_whole(o.min_leaf) && o.min_leaf >= 1))
                fail("opts.min_leaf must be a positive integer.");
        } else if (std::strcmp(name, "max_nodes") == 0) {
            o.max_nodes = option_scalar(value, name);
            if (!(o.max_nodes >= 1)) // Inf allowed, NaN not
                fail("opts.max_nodes must be a number >= 1 (Inf: no limit).");
        } else if (std::strcmp(name, "bootstrap") == 0) {
            const double b = option_scalar(value, name);
            if (!(b == 0 || b == 1))
                fail("opts.bootstrap must be true or false.");
            o.bootstrap = b == 1;
        } else if (std::strcmp(name, "seed") == 0) {
            o.seed = option_scalar(value, name);
            if (!(is_whole(o.seed) && std::fabs(o.seed) <= 9007199254740992.0))
                fail("opts.seed must be an integer of at most 2^53 in magnitude.");
        } else if (std::strcmp(name, "first_tree") == 0) {
            o.first_tree = option_scalar(value, name);
            if (!(is_whole(o.first_tree) && o.first_tree >= 1 && o.first_tree <= 9007199254740992.0))
                fail("opts.first_tree must be a positive integer (of at most 2^53).");
        } else if (std::strcmp(name, "num_threads") == 0) {
            o.num_threads = option_scalar(value, name);
            if (!(is_whole(o.num_threads) && o.num_threads >= 1))
                fail("opts.num_threads must be a positive integer.");
        } else if (std::strcmp(name, "ysub") == 0) {
            o.ysub = read_kept_responses(value);
        } else {
            fail_fmt("opts has an unknown field '%s' (known: num_trees, mtry, min_leaf, "
                     "max_nodes, bootstrap, seed, first_tree, num_threads, ysub).",
                     name);
        }
    }
    // A huge min_leaf only makes every tree a leaf; kept in range of a count.
    o.min_leaf = std::min(o.min_leaf, 4294967296.0);
    if (o.first_tree + o.num_trees - 1 > 9007199254740992.0)
        fail("opts.first_tree + opts.num_trees - 1 must be at most 2^53.");
    return o;
}

// The host's spelling of a value that is not finite, the same on every
// platform (printf's differs).
const char *nonfinite_name(double x)
{
    return std::isnan(x) ? "NaN" : x > 0 ? "Inf" : "-Inf";
}

void show_value(double x, char *text, std::size_t size)
{
    if (std::isfinite(x))
        std::snprintf(text, size, "%g", x);
    else
        std::snprintf(text, size, "%s", nonfinite_name(x));
}

// The values of variable v (column `col` of Theta or X, `name`): categories
// 1..L for a categorical variable, numbers (no NaN) for an ordered one.
void check_column(const double *values, std::size_t rows, double L, const char *name,
                  std::size_t col, std::size_t v)
{
    for (std::size_t i = 0; i < rows; ++i) {
        const double x = values[i];
        if (L > 0 && !(x >= 1 && x <= L && x == std::floor(x))) {
            char shown[32];
            show_value(x, shown, sizeof shown);
            fail_fmt("%s(%zu, %zu) = %s, but variable %zu is categorical with levels %.0f: its "
                     "values must be the integers 1..%.0f.",
                     name, i + 1, col + 1, shown, v + 1, L, L);
        }
        if (L == 0 && std::isnan(x))
            fail_fmt("%s(%zu, %zu) is NaN; ordered variables need numbers.", name, i + 1,
                     col + 1);
    }
}


// Lets the host deliver an interrupt (Ctrl-C) that arrived during the fit:
// Octave does so at the next evaluation, by throwing through this call;
// MATLAB delivers it only after the call returns. Asked at most every
// INTERRUPT_PERIOD, as it costs an evaluation.
constexpr std::chrono::milliseconds INTERRUPT_PERIOD{100};

class InterruptPoll {
public:
    void operator()()
    {
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < INTERRUPT_PERIOD)
            return;
        last_ = now;
        mexEvalString("");
    }

private:
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// Trees first_tree.. of the forest, grown on worker threads (or on the
// calling thread alone for num_threads = 1) while the calling thread turns
// each finished tree into host arrays, in order, and watches for an
// interrupt. Every host call stays on the calling thread.
mxArray *grow_forest(const forestcore::TrainingSet &data, const forestcore::GrowOptions &grow_opts,
                     const FitRecord &record, const Options &o)
{
    const std::size_t count = static_cast<std::size_t>(o.num_trees);
    // More threads than trees would idle.
    const std::size_t threads = std::max<std::size_t>(
        1, std::min(count, static_cast<std::size_t>(std::min(o.num_threads, 4096.0))));
    const std::uint64_t seed = static_cast<std::uint64_t>(static_cast<std::int64_t>(o.seed));
    const std::uint64_t first = static_cast<std::uint64_t>(o.first_tree);
    mxArray *forest = mxCreateCellMatrix(1, static_cast<mwSize>(count));

    enum : char { PENDING, GROWN, FAILED };
    std::vector<Tree> trees(count);
    std::unique_ptr<std::atomic<char>[]> state(new std::atomic<char>[count]);
    for (std::size_t t = 0; t < count; ++t)
        state[t] = PENDING;
    std::vector<std::unique_ptr<forestcore::TreeScratch>> scratch(threads);
    std::atomic<bool> stop{false};

    // On a worker: no host call, no exception out.
    auto grow = [&](std::size_t t, std::size_t worker) {
        char outcome = FAILED;
        try {
            if (!scratch[worker])
                scratch[worker].reset(
                    new forestcore::TreeScratch(data.n_runs, data.max_distinct, data.n_vars));
            forestcore::Generator gen = forestcore::Generator::for_tree(seed, first + t);
            if (forestcore::TreeGrower(data, grow_opts, *scratch[worker], gen, stop)
                    .grow(trees[t]))
                outcome = GROWN;
        } catch (const std::bad_alloc &) {
            stop = true;
        }
        state[t].store(outcome, std::memory_order_release);
    };
    std::size_t converted = 0;
    std::size_t failed = count;
    InterruptPoll poll_interrupt;
    // On the calling thread: finished trees into the forest, in order.
    auto collect = [&] {
        for (; converted < count; ++converted) {
            const char now = state[converted].load(std::memory_order_acquire);
            if (now == PENDING)
                break;
            if (now == FAILED) {
                failed = std::min(failed, converted);
                break;
            }
            mxSetCell(forest, static_cast<mwIndex>(converted), tree_struct(trees[converted], record));
            Tree().swap(trees[converted]); // its memory back at once
        }
        poll_interrupt();
    };
    if (threads <= 1) {
        for (std::size_t t = 0; t < count && failed == count; ++t) {
            grow(t, 0);
            collect();
        }
    } else {
        host::parallel_for_watched(count, threads, stop, INTERRUPT_PERIOD, grow, collect);
        collect();
    }
    if (converted < count)
        fail_fmt("the fit ran out of memory growing tree %.0f of the forest (fewer num_trees "
                 "or num_threads, or a larger min_leaf, need less).",
                 o.first_tree + static_cast<double>(converted));
    return forest;
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    using namespace host;

    require(nrhs == 5 || nrhs == 6, USAGE);
    require(nlhs <= 1, "Too many output arguments: forestfit returns one cell of trees.");

    forestcore::TrainingSet data;
    const mxArray *Theta = prhs[IN_THETA];
    data.theta = data_matrix(Theta, "Theta", "Theta must be a real double K-by-p matrix.");
    data.n_configs = rows(Theta);
    data.theta_cols = cols(Theta);
    const mxArray *X = prhs[IN_X];
    data.x = data_matrix(X, "X", "X must be a real double N-by-d matrix (d may be 0).");
    data.n_instances = rows(X);
    data.x_cols = cols(X);
    data.n_vars = data.theta_cols + data.x_cols;
    require(data.n_vars >= 1, "Theta and X have no columns: the trees need at least one variable.");

    const mxArray *runs = prhs[IN_RUNS];
    require(is_real_int32(runs) && is_2d(runs) && cols(runs) == 2,
            "runs must be an R-by-2 int32 matrix (rows of Theta, rows of X).");
    const std::size_t R = rows(runs);
    data.n_runs = R;
    require(R >= 1, "runs has no rows: there is nothing to fit.");
    if (R > (std::size_t{1} << 30))
        fail_fmt("runs has %zu rows, more than the 2^30 a tree's int32 node numbers allow.", R);
    data.runs = int32s(runs).data();
    for (std::size_t j = 0; j < R; ++j) {
        const std::int32_t c = data.runs[j], i = data.runs[R + j];
        if (c < 1 || static_cast<std::size_t>(c) > data.n_configs)
            fail_fmt("runs(%zu, 1) = %d is not a row of Theta (1..%zu).", j + 1, c,
                     data.n_configs);
        if (i < 1 || static_cast<std::size_t>(i) > data.n_instances)
            fail_fmt("runs(%zu, 2) = %d is not a row of X (1..%zu).", j + 1, i,
                     data.n_instances);
    }

    const mxArray *y = prhs[IN_Y];
    require(is_real_double(y) && is_column(y, R),
            "y must be a real double R-by-1 vector, one response per run.");
    require_full(y, "y");
    data.y = mxGetPr(y);
    for (std::size_t j = 0; j < R; ++j)
        if (!std::isfinite(data.y[j]))
            fail_fmt("y(%zu) is %s; responses must be finite.", j + 1,
                     nonfinite_name(data.y[j]));

    const mxArray *levels = prhs[IN_LEVELS];
    const std::size_t D = data.n_vars;
    if (!(is_real_double(levels) && is_2d(levels) && numel(levels) == D &&
          std::min(rows(levels), cols(levels)) == 1))
        fail_fmt("levels must be a real double 1-by-%zu vector (one entry per column of Theta "
                 "and X).",
                 D);
    require_full(levels, "levels");
    data.levels = mxGetPr(levels);
    double max_level = 0;
    for (std::size_t v = 0; v < D; ++v) {
        const double L = data.levels[v];
        if (!(is_whole(L) && L >= 0 && L <= INT32_MAX)) {
            char shown[32];
            show_value(L, shown, sizeof shown);
            fail_fmt("levels(%zu) = %s; it must be 0 (ordered) or a number of categories "
                     "1..2^31-1.",
                     v + 1, shown);
        }
        max_level = std::max(max_level, L);
    }
    for (std::size_t v = 0; v < D; ++v) {
        if (v < data.theta_cols)
            check_column(data.column(v), data.n_configs, data.levels[v], "Theta", v, v);
        else
            check_column(data.column(v), data.n_instances, data.levels[v], "X",
                         v - data.theta_cols, v);
    }

    const Options o = read_options(nrhs == 6 ? prhs[IN_OPTS] : nullptr, D);

    // Scratch: per run 64 bytes, per data value 16, per row 4 once; the
    // output holds at least the root's responses per tree and a value set
    // of the largest categorical variable.
    const double values = static_cast<double>(data.n_configs) * data.theta_cols +
                          static_cast<double>(data.n_instances) * data.x_cols;
    const double max_rows = static_cast<double>(std::max(data.n_configs, data.n_instances));
    const double bytes = 64.0 * R + 16.0 * values + 48.0 * max_rows + 8.0 * o.num_trees * R +
                         4.0 * max_level;
    if (exceeds_memory(bytes))
        fail_fmt("the fit needs about %.3g bytes of memory, more than this machine has.", bytes);

    // Rank every column once.
    Scratch<std::size_t> rank_offset(D);
    Scratch<std::uint32_t> rank(static_cast<std::size_t>(values));
    Scratch<double> value_of_rank(static_cast<std::size_t>(values));
    Scratch<std::uint32_t> order(std::max(data.n_configs, data.n_instances));
    Scratch<std::uint32_t> distinct(D);
    std::size_t offset = 0;
    data.max_distinct = 1;
    for (std::size_t v = 0; v < D; ++v) {
        rank_offset[v] = offset;
        distinct[v] = forestcore::rank_column(data.column(v), data.column_rows(v), order.data(),
                                              rank.data() + offset, value_of_rank.data() + offset);
        data.max_distinct = std::max<std::size_t>(data.max_distinct, distinct[v]);
        offset += data.column_rows(v);
    }
    data.rank = rank.data();
    data.rank_offset = rank_offset.data();
    data.value_of_rank = value_of_rank.data();
    data.distinct = distinct.data();
    data.kernels = forestcore::split_kernels_for(kernels::dispatched_kernel());

    const forestcore::GrowOptions grow_opts{static_cast<std::size_t>(o.mtry), o.min_leaf,
                                            o.max_nodes, o.bootstrap, o.ysub};
    const FitRecord record{data.theta_cols, D, data.levels, o.ysub};
    mxArray *forest = grow_forest(data, grow_opts, record, o);
    const Outputs out(nlhs, plhs);
    out.set(0, forest);
}
