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

// ysub: node k's kept responses, a 1-by-n_k row, in cell k; a leaf whose
// responses are not kept holds a 1-by-0 row, so that nodeharvest reads
// every leaf, and such an internal node nothing (it reads as []). A host
// array costs about a microsecond to make and return, as much as growing
// a node: an array per internal node would double the host's share.
mxArray *node_responses(const Tree &tree, KeptResponses kept, InterruptPoll &poll_interrupt)
{
    const std::size_t n_nodes = tree.nodes.size();
    mxArray *cells = mxCreateCellMatrix(static_cast<mwSize>(n_nodes), 1);
    const double *next = tree.responses.data();
    for (std::size_t k = 0; k < n_nodes; ++k) {
        const Node &node = tree.nodes[k];
        const bool keeps = tree.keeps_responses(node, kept);
        const std::size_t n = keeps ? node.run_count() : 0;
        if (keeps || node.is_leaf())
            mxSetCell(cells, static_cast<mwIndex>(k), host_row(next, n, mxDOUBLE_CLASS));
        next += n;
        if (k % 4096 == 4095) // a large tree takes seconds
            poll_interrupt();
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

// catsplit's value sets again, packed: their values in the cell's order
// (left sets, then right sets) in an int32 column, and an M-by-2 int32
// matrix of where each set ends in it (the running total of the sets'
// lengths). The forest modules read these two arrays instead of opening
// every cell of catsplit, which in Octave costs more than a small batch's
// whole walk.
mxArray *packed_set_ends(const Tree &tree)
{
    const std::size_t n_splits = tree.split_count();
    std::int32_t *out = nullptr;
    mxArray *ends = host_matrix(n_splits, 2, mxINT32_CLASS, out);
    double end = 0;
    for (std::size_t i = 0; i < 2 * n_splits; ++i) {
        end += i < n_splits ? tree.left_sizes[i] : tree.right_sizes[i - n_splits];
        out[i] = static_cast<std::int32_t>(end);
    }
    return ends;
}

mxArray *packed_set_values(const Tree &tree)
{
    const std::size_t n_left = tree.left_values.size(), n_right = tree.right_values.size();
    std::int32_t *out = nullptr;
    mxArray *values = host_matrix(n_left + n_right, 1, mxINT32_CLASS, out);
    std::copy_n(tree.left_values.data(), n_left, out);
    std::copy_n(tree.right_values.data(), n_right, out + n_left);
    return values;
}

// The tree in grow_tree's fields, classes, shapes and order, then what it
// was fitted on (so that the forest modules can check the data they route
// before walking).
mxArray *tree_struct(const Tree &tree, const forestcore::TrainingSet &data, KeptResponses kept,
                     InterruptPoll &poll_interrupt)
{
    static const char *fields[] = {"var",       "cut",      "children",      "leftchildren",
                                   "rightchildren", "catsplit", "ysub",      "nodepred",
                                   "stddev",    "n_leaf",   "g_leaf",        "m_leaf",
                                   "leaf_mean", "leaf_var", "theta_columns", "levels",
                                   "catsplit_ends", "catsplit_values"};
    enum { VAR, CUT, CHILDREN, LEFT, RIGHT, CATSPLIT, YSUB, PRED, STDDEV, COUNT, SUM, SQUARES,
           MEAN, SPREAD, THETA_COLUMNS, LEVELS, CATSPLIT_ENDS, CATSPLIT_VALUES, NUM_FIELDS };
    const std::size_t n_nodes = tree.nodes.size();
    mxArray *out = mxCreateStructMatrix(1, 1, NUM_FIELDS, fields);
    // Each per-node field a host array of n_nodes rows, its data returned.
    auto ints = [out, n_nodes](int field, std::size_t cols) {
        std::int32_t *data = nullptr;
        mxSetFieldByNumber(out, 0, field, host_matrix(n_nodes, cols, mxINT32_CLASS, data));
        return data;
    };
    auto reals = [out, n_nodes](int field) {
        double *data = nullptr;
        mxSetFieldByNumber(out, 0, field, host_matrix(n_nodes, 1, mxDOUBLE_CLASS, data));
        return data;
    };
    std::int32_t *var = ints(VAR, 1);
    double *cut = reals(CUT);
    std::int32_t *children = ints(CHILDREN, 2), *left = ints(LEFT, 1), *right = ints(RIGHT, 1);
    double *pred = reals(PRED), *stddev = reals(STDDEV);
    std::int32_t *count = ints(COUNT, 1);
    double *sum = reals(SUM), *squares = reals(SQUARES), *mean = reals(MEAN);
    double *spread = reals(SPREAD);
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
    mxSetFieldByNumber(out, 0, YSUB, node_responses(tree, kept, poll_interrupt));
    mxSetFieldByNumber(out, 0, THETA_COLUMNS,
                       mxCreateDoubleScalar(static_cast<double>(data.theta_cols)));
    mxSetFieldByNumber(out, 0, LEVELS, host_row(data.levels, data.n_vars, mxDOUBLE_CLASS));
    mxSetFieldByNumber(out, 0, CATSPLIT_ENDS, packed_set_ends(tree));
    mxSetFieldByNumber(out, 0, CATSPLIT_VALUES, packed_set_values(tree));
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


// ---- memory ---------------------------------------------------------------

// What the host holds beyond the numbers, measured in Octave 7: a tree
// struct with its fields, each node (its ysub cell and row, its
// share of the per-node fields; internal nodes have no row by default, so
// this bounds them from above), each value-set row.
constexpr double TREE_HOST_BYTES = 9500;
constexpr double NODE_HOST_BYTES = 600;
constexpr double ROW_HOST_BYTES = 500;

// Bytes a fit holds, by the argument that makes them grow.
struct Footprint {
    double trees = 0;  // per tree, whatever its size: num_trees
    double runs = 0;   // scratch, nodes and responses: runs
    double levels = 0; // categorical splits' value sets: levels
    double data = 0;   // ranks of the columns: Theta and X
    KeptResponses kept = KeptResponses::leaves;

    double total() const { return trees + runs + levels + data; }
    const char *driver() const
    {
        const double most = std::max(std::max(trees, runs), std::max(levels, data));
        if (most == trees)
            return "num_trees";
        if (most == levels)
            return "levels";
        if (most == data)
            return "Theta and X";
        return kept == KeptResponses::all ? "runs, with opts.ysub = 'all'" : "runs";
    }
    [[noreturn]] void refuse() const
    {
        fail_fmt("the fit needs about %.3g bytes of memory, more than this machine has (most "
                 "of it grows with %s).",
                 total(), driver());
    }
};

// The host's share of a grown tree.
Footprint tree_footprint(const Tree &tree)
{
    Footprint f;
    f.trees = TREE_HOST_BYTES;
    f.runs = NODE_HOST_BYTES * static_cast<double>(tree.nodes.size()) +
             8.0 * static_cast<double>(tree.responses.size());
    f.levels = 2 * ROW_HOST_BYTES * static_cast<double>(tree.split_count()) +
               4.0 * static_cast<double>(tree.left_values.size() + tree.right_values.size());
    return f;
}

// Watches the forest's size as trees are built: the trees still to come
// are expected to hold as much as the built ones on average, and the fit
// stops when they would not fit in the memory left. The system is asked at
// most every tenth of a second, or when a sixteenth of what it had is gone.
class MemoryWatch {
public:
    MemoryWatch(std::size_t count, KeptResponses kept) : count_(count) { built_.kept = kept; }

    // After tree `built` (counted from 1) was added: whether the rest fits.
    bool rest_fits(const Tree &tree, std::size_t built)
    {
        const Footprint f = tree_footprint(tree);
        built_.trees += f.trees;
        built_.runs += f.runs;
        built_.levels += f.levels;
        since_asked_ += f.total();
        const double rest = static_cast<double>(count_ - built) / static_cast<double>(built);
        const double needed = rest * built_.total();
        const auto now = std::chrono::steady_clock::now();
        if (available_ < 0 || since_asked_ > available_ / 16 ||
            now - asked_ > std::chrono::milliseconds(100)) {
            available_ = host::available_memory();
            asked_ = now;
            since_asked_ = 0;
            if (available_ < 0) // the platform does not tell
                available_ = std::numeric_limits<double>::infinity();
        }
        return needed < host::MEMORY_CHECK_BYTES || needed <= available_ - since_asked_;
    }

    // The whole forest, as the built trees promise it.
    Footprint projected(std::size_t built) const
    {
        const double scale = static_cast<double>(count_) / static_cast<double>(built);
        Footprint f = built_;
        f.trees *= scale;
        f.runs *= scale;
        f.levels *= scale;
        return f;
    }

private:
    std::size_t count_;
    Footprint built_;
    double available_ = -1, since_asked_ = 0;
    std::chrono::steady_clock::time_point asked_;
};

// What a fit holds at least, before a tree is grown: the ranks, every
// thread's scratch and tree in the making, and per tree the host's share
// of a tree, its kept responses (one per run at the leaves; with 'all', one
// per run at each depth of a balanced tree), nodes for leaves of about
// twice min_leaf runs, and one value set of the widest categorical
// variable that can split (`split_level`). Built trees refine it
// (MemoryWatch).
Footprint fit_footprint(const forestcore::TrainingSet &data, const Options &o, double split_level)
{
    const double R = static_cast<double>(data.n_runs);
    const double count = o.num_trees;
    const double threads = std::min(count, o.num_threads);
    const double nodes =
        std::min(o.max_nodes, std::max(1.0, std::floor(R / (2 * o.min_leaf)) * 2 - 1));
    const double depths =
        o.ysub == KeptResponses::all ? 1 + std::floor(std::log2((nodes + 1) / 2)) : 1;
    const double kept = o.ysub == KeptResponses::none ? 0 : 8 * R * depths;
    Footprint f;
    f.kept = o.ysub;
    // The order buffer serves the rows of a matrix with columns only.
    const double order_rows =
        std::max(data.theta_cols ? static_cast<double>(data.n_configs) : 0.0,
                 data.x_cols ? static_cast<double>(data.n_instances) : 0.0);
    const double values = static_cast<double>(data.n_configs) * data.theta_cols +
                          static_cast<double>(data.n_instances) * data.x_cols;
    f.data = 12 * values + 4 * order_rows + 24 * static_cast<double>(data.n_vars);
    // max_distinct is not known before ranking: every value may be one.
    const double widest = std::max(order_rows, 1.0);
    f.runs = threads * (forestcore::TreeScratch::bytes(data.n_runs, 0, data.n_vars) +
                        forestcore::TreeScratch::BYTES_PER_RANK * widest + kept +
                        sizeof(Node) * nodes) +
             count * (kept + NODE_HOST_BYTES * nodes);
    f.trees = count * (TREE_HOST_BYTES + sizeof(Tree) + 1);
    if (split_level > 0 && R >= 2 * o.min_leaf && o.max_nodes >= 3)
        f.levels = (count + threads) * 4 * split_level + count * 2 * ROW_HOST_BYTES;
    return f;
}

// Trees first_tree.. of the forest, grown on worker threads (or on the
// calling thread alone for num_threads = 1) while the calling thread turns
// each finished tree into host arrays, in order, and watches for an
// interrupt and for the memory. Every host call stays on the calling
// thread. Even a single tree grows on a worker, so that Ctrl-C reaches it.
mxArray *grow_forest(const forestcore::TrainingSet &data, const forestcore::GrowOptions &grow_opts,
                     const Options &o)
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
    bool too_large = false;
    MemoryWatch memory(count, o.ysub);
    InterruptPoll poll_interrupt;
    // On the calling thread: finished trees into the forest, in order.
    auto collect = [&] {
        for (; converted < count && !too_large; ++converted) {
            const char now = state[converted].load(std::memory_order_acquire);
            if (now != GROWN)
                break;
            mxSetCell(forest, static_cast<mwIndex>(converted),
                      tree_struct(trees[converted], data, o.ysub, poll_interrupt));
            if (!memory.rest_fits(trees[converted], converted + 1)) {
                too_large = true;
                stop = true;
            }
            trees[converted] = Tree(); // its memory back at once
        }
        poll_interrupt();
    };
    // A tree that failed, or a forest too large, has set `stop`.
    host::parallel_for_watched(count, o.num_threads == 1 ? 0 : threads, stop, INTERRUPT_PERIOD,
                               grow, collect);
    if (too_large)
        memory.projected(converted).refuse();
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
    if (data.n_instances == 0)
        fail("X has no rows, but runs(:, 2) names rows of X: X needs N rows, one per instance "
             "(zeros(N, 0) means no instance features).");
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
    // A node's sums of R responses are squared: beyond this they overflow
    // and every score is Inf or NaN (a tree of one leaf, Inf statistics).
    const double largest = 0.5 * std::sqrt(std::numeric_limits<double>::max()) / static_cast<double>(R);
    for (std::size_t j = 0; j < R; ++j)
        if (std::fabs(data.y[j]) > largest)
            fail_fmt("y(%zu) = %g is too large: with %zu runs, responses must be at most %.4g "
                     "in magnitude, or their squared sums overflow (scale y).",
                     j + 1, data.y[j], R, largest);

    const mxArray *levels = prhs[IN_LEVELS];
    const std::size_t D = data.n_vars;
    if (!(is_real_double(levels) && is_2d(levels) && numel(levels) == D &&
          std::min(rows(levels), cols(levels)) == 1))
        fail_fmt("levels must be a real double 1-by-%zu vector (one entry per column of Theta "
                 "and X).",
                 D);
    require_full(levels, "levels");
    data.levels = mxGetPr(levels);
    for (std::size_t v = 0; v < D; ++v) {
        const double L = data.levels[v];
        if (!(is_whole(L) && L >= 0 && L <= INT32_MAX)) {
            char shown[32];
            show_value(L, shown, sizeof shown);
            fail_fmt("levels(%zu) = %s; it must be 0 (ordered) or a number of categories "
                     "1..2^31-1.",
                     v + 1, shown);
        }
    }
    for (std::size_t v = 0; v < D; ++v) {
        if (v < data.theta_cols)
            check_column(data.column(v), data.n_configs, data.levels[v], "Theta", v, v);
        else
            check_column(data.column(v), data.n_instances, data.levels[v], "X",
                         v - data.theta_cols, v);
    }

    const Options o = read_options(nrhs == 6 ? prhs[IN_OPTS] : nullptr, D);

    const double values = static_cast<double>(data.n_configs) * data.theta_cols +
                          static_cast<double>(data.n_instances) * data.x_cols;
    // The ranks first: the widest categorical variable that can split is
    // known once they are.
    {
        Footprint f = fit_footprint(data, o, 0);
        f.runs = f.trees = 0;
        if (exceeds_memory(f.total()))
            f.refuse();
    }

    // Rank every column once.
    Scratch<std::size_t> rank_offset(D);
    Scratch<std::uint32_t> rank(static_cast<std::size_t>(values));
    Scratch<double> value_of_rank(static_cast<std::size_t>(values));
    Scratch<std::uint32_t> order(std::max(data.theta_cols ? data.n_configs : 0,
                                          data.x_cols ? data.n_instances : 0));
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
    data.kernels = forestcore::chosen_split_kernels();
    double split_level = 0;
    for (std::size_t v = 0; v < D; ++v)
        if (data.categorical(v) && distinct[v] >= 2)
            split_level = std::max(split_level, data.levels[v]);
    {
        const Footprint f = fit_footprint(data, o, split_level);
        if (exceeds_memory(f.total()))
            f.refuse();
    }

    const forestcore::GrowOptions grow_opts{static_cast<std::size_t>(o.mtry), o.min_leaf,
                                            o.max_nodes, o.bootstrap, o.ysub};
    mxArray *forest = grow_forest(data, grow_opts, o);
    const Outputs out(nlhs, plhs);
    out.set(0, forest);
}
