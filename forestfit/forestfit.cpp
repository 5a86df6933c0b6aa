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
#include "assess.hpp"
#include "forestformat.hpp"
#include "grower.hpp"
#include "interrupt.hpp"
#include "mexhost.hpp"
#include "options.hpp"
#include "threads.hpp"

#include <chrono>
#include <cmath>
#include <cstdarg>
#include <functional>
#include <limits>
#include <memory>
#include <new>

namespace {

using host::fail;
using host::fail_fmt;
using host::require;
using core::fit::GrownTree;
using core::fit::KeptResponses;
using core::fit::Node;

enum { IN_THETA = 0, IN_X, IN_RUNS, IN_Y, IN_LEVELS, IN_OPTS };

constexpr const char *USAGE =
    "Usage: forest = forestfit(Theta, X, runs, y, levels, opts), with Theta K-by-p double, "
    "X N-by-d double, runs R-by-2 int32, y R-by-1 double, levels 1-by-(p+d), opts an "
    "optional struct (help forestfit).";

// The options, as read_options sets them (the defaults are in its table).
struct Options {
    double num_trees = 0;
    double mtry = 0;
    double min_leaf = 0;
    double max_nodes = 0;
    bool bootstrap = false;
    double seed = 0;
    double first_tree = 0;
    std::size_t num_threads = 0;
    bool expanded = false; // the 1.x layout (opts.layout = 'expanded')
    int verbose = 0;       // progress lines: -1 after 2 s, 0 never, 1 always
    // Which nodes keep their responses: opts.responses for the compact
    // layout ('leaves' or 'none'), opts.ysub for the expanded one.
    KeptResponses kept = KeptResponses::leaves;
    // What info holds.
    bool keep_inbag = false;
    core::fit::Importance importance = core::fit::Importance::impurity;
    // Capped runs: which (R, one per run; empty: none), the largest value
    // imputed, the imputation's rounds at most.
    std::vector<unsigned char> capped;
    double max_response = 0;
    double impute_rounds = 0;
};

// ---- progress ------------------------------------------------------------

// Progress lines from the calling thread: trees done, time taken and an
// estimate of the time left, every PROGRESS_PERIOD at most, once a fit has
// run PROGRESS_AFTER (opts.verbose unset), always (true) or never (false).
constexpr std::chrono::seconds PROGRESS_AFTER{2};
constexpr std::chrono::seconds PROGRESS_PERIOD{5};

class Progress {
public:
    // A fit of `count` trees, grown `fits` times at most (capped runs).
    Progress(int verbose, std::size_t count, std::size_t fits)
        : verbose_(verbose), count_(count), total_(count * fits)
    {
    }

    // `done` trees of this fit are built, and `growing` more trees' worth
    // of work done.
    void show(std::size_t done, double growing)
    {
        const auto now = std::chrono::steady_clock::now();
        done += grown_;
        if (verbose_ == 0 || done == total_ || (verbose_ < 0 && now - start_ < PROGRESS_AFTER) ||
            (shown_ && now - last_ < PROGRESS_PERIOD))
            return;
        last_ = now;
        shown_ = true;
        const double elapsed = seconds(now);
        const double fraction = (static_cast<double>(done) + growing) / static_cast<double>(total_);
        const char *most = total_ > count_ ? "at most " : "";
        if (fraction > 0)
            print("forestfit: %zu of %s%zu trees, %.1f s, about %.0f s left\n", done, most,
                  total_, elapsed, elapsed * (1 - fraction) / fraction);
        else
            print("forestfit: %zu of %s%zu trees, %.1f s\n", done, most, total_, elapsed);
    }
    // A fit done; the next one's trees count after its.
    void fitted() { grown_ += count_; }
    // The last line, where lines were shown or asked for.
    void finish()
    {
        const double elapsed = seconds(std::chrono::steady_clock::now());
        if (!shown_ && verbose_ <= 0)
            return;
        if (grown_ > count_)
            print("forestfit: %zu fits of %zu trees (capped runs imputed) in %.1f s\n",
                  grown_ / count_, count_, elapsed);
        else
            print("forestfit: %zu of %zu trees in %.1f s\n", count_, count_, elapsed);
    }

private:
    double seconds(std::chrono::steady_clock::time_point now) const
    {
        return std::chrono::duration<double>(now - start_).count();
    }
    TOOLBOX_PRINTF_FORMAT(1, 2) static void print(const char *format, ...)
    {
        char line[128];
        va_list args;
        va_start(args, format);
        std::vsnprintf(line, sizeof line, format, args);
        va_end(args);
        mexPrintf("%s", line);
    }

    int verbose_; // -1 unset, 0 false, 1 true
    std::size_t count_, total_;
    std::size_t grown_ = 0; // the trees of the fits done
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point last_;
};

// ---- argument checks ------------------------------------------------------

bool is_2d(const mxArray *a) { return host::dimension_count(a) == 2; }

constexpr KeptResponses KEPT[] = {KeptResponses::leaves, KeptResponses::all,
                                  KeptResponses::none};

constexpr const char *LAYOUTS[] = {"compact", "expanded"};
constexpr const char *IMPORTANCES[] = {"impurity", "permutation", "none"};
constexpr core::fit::Importance IMPORTANCE_OF[] = {core::fit::Importance::impurity,
                                                   core::fit::Importance::permutation,
                                                   core::fit::Importance::none};
constexpr const char *COMPACT_KEPT[] = {"leaves", "none"};
constexpr const char *EXPANDED_KEPT[] = {"leaves", "all", "none"};

// The options table, in the order the messages list the options; then the
// rules across options.
Options read_options(const mxArray *opts, std::size_t D, std::size_t R)
{
    constexpr double INF = std::numeric_limits<double>::infinity();
    constexpr double TWO_TO_53 = 9007199254740992.0;
    char bad_mtry[96];
    std::snprintf(bad_mtry, sizeof bad_mtry,
                  "opts.mtry must be an integer in 1..%zu (the columns of Theta and X).", D);
    char bad_censored[160];
    std::snprintf(bad_censored, sizeof bad_censored,
                  "opts.censored must be a logical vector of %zu entries, one per run (true: the "
                  "run was stopped at y, a lower bound).",
                  R);
    Options o;
    int layout = 0, importance = 0;
    const mxArray *responses = nullptr, *ysub = nullptr;
    host::read_options(
        opts,
        {host::integer_option("num_trees", o.num_trees, 10, 1, INT32_MAX,
                              "opts.num_trees must be a positive integer."),
         host::integer_option("mtry", o.mtry,
                              std::max(1.0, std::floor(static_cast<double>(D) / 3)), 1,
                              static_cast<double>(D), bad_mtry),
         host::integer_option("min_leaf", o.min_leaf, 5, 1, INF,
                              "opts.min_leaf must be a positive integer."),
         host::real_option("max_nodes", o.max_nodes, INF, 1, INF,
                           "opts.max_nodes must be a number >= 1 (Inf: no limit)."),
         host::logical_option("bootstrap", o.bootstrap, true,
                              "opts.bootstrap must be true or false."),
         host::integer_option("seed", o.seed, 0, -TWO_TO_53, TWO_TO_53,
                              "opts.seed must be an integer of at most 2^53 in magnitude."),
         host::integer_option("first_tree", o.first_tree, 1, 1, TWO_TO_53,
                              "opts.first_tree must be a positive integer (of at most 2^53)."),
         host::num_threads_option(o.num_threads),
         host::logical_option("verbose", o.verbose, -1, "opts.verbose must be true or false."),
         host::word_option("layout", layout, host::words(LAYOUTS),
                           "opts.layout must be 'compact' or 'expanded'."),
         host::given_option("responses", responses),
         host::given_option("ysub", ysub),
         host::logical_option("keep_inbag", o.keep_inbag, false,
                              "opts.keep_inbag must be true or false."),
         host::word_option("importance", importance, host::words(IMPORTANCES),
                           "opts.importance must be 'impurity', 'permutation' or 'none'."),
         host::logical_vector_option("censored", o.capped, R, bad_censored,
                                     "opts.censored(%s) = %s: it must be true (the run was "
                                     "stopped at y, a lower bound) or false."),
         host::real_option("max_response", o.max_response, INF, -INF, INF,
                           "opts.max_response must be a number (Inf: no cap)."),
         host::integer_option("impute_rounds", o.impute_rounds, 10, 0, INF,
                              "opts.impute_rounds must be a whole number >= 0.")},
        {"opts must be a 1-by-1 struct (fields %s; all optional).",
         "opts has an unknown field '%s' (known: %s).", "opts.%s is unset.",
         "opts.%s must be a real scalar."});
    o.expanded = layout == 1;
    o.importance = IMPORTANCE_OF[importance];
    // Each layout has its own word for the responses kept.
    if (responses != nullptr) {
        if (o.expanded)
            fail("opts.responses is the compact layout's; the expanded layout keeps the "
                 "responses opts.ysub names ('leaves', 'all' or 'none').");
        o.kept = KEPT[2 * host::word_index(responses, host::words(COMPACT_KEPT),
                                           "opts.responses must be 'leaves' or 'none'.")];
    }
    if (ysub != nullptr) {
        if (!o.expanded)
            fail("opts.ysub is the expanded layout's (opts.layout = 'expanded'); a compact "
                 "forest keeps the leaves' responses opts.responses names ('leaves' or "
                 "'none').");
        o.kept = KEPT[host::word_index(ysub, host::words(EXPANDED_KEPT),
                                       "opts.ysub must be 'leaves', 'all' or 'none'.")];
    }
    // A huge min_leaf only makes every tree a leaf; kept in range of a count.
    o.min_leaf = std::min(o.min_leaf, 4294967296.0);
    // More rounds than this would never end in a session.
    o.impute_rounds = std::min(o.impute_rounds, 1e6);
    if (o.first_tree + o.num_trees - 1 > TWO_TO_53)
        fail("opts.first_tree + opts.num_trees - 1 must be at most 2^53.");
    return o;
}

// Ends the call for run j's index `index` in column `col` of runs, which is
// no row of `matrix` (`rows` by `cols`). An index within the columns
// suggests the matrix was passed transposed.
[[noreturn]] void fail_row(std::size_t j, int col, std::int32_t index, const char *matrix,
                           std::size_t rows, std::size_t cols, const char *what)
{
    if (index > 0 && static_cast<std::size_t>(index) <= cols)
        fail_fmt("runs(%zu, %d) = %d is not a row of %s (1..%zu), but %s has %zu columns: is %s "
                 "transposed? It needs one %s per row.",
                 j + 1, col, static_cast<int>(index), matrix, rows, matrix, cols, matrix, what);
    fail_fmt("runs(%zu, %d) = %d is not a row of %s (1..%zu).", j + 1, col,
             static_cast<int>(index), matrix, rows);
}

// The values of variable v (column `col` of Theta or X, `name`): categories
// 1..L for a categorical variable, numbers (no NaN) for an ordered one.
void check_column(const double *values, std::size_t rows, double L, const char *name,
                  std::size_t col, std::size_t v)
{
    for (std::size_t i = 0; i < rows; ++i) {
        const double x = values[i];
        if (L > 0 && !(x >= 1 && x <= L && x == std::floor(x))) {
            fail_fmt("%s(%zu, %zu) = %s, but variable %zu is categorical with levels %.0f: its "
                     "values must be the integers 1..%.0f.",
                     name, i + 1, col + 1, host::shown(x).text, v + 1, L, L);
        }
        if (L == 0 && std::isnan(x))
            fail_fmt("%s(%zu, %zu) is NaN; ordered variables need numbers.", name, i + 1,
                     col + 1);
    }
}


// ---- memory ---------------------------------------------------------------

// What the host holds beyond a tree's numbers, measured in Octave 7: a
// compact tree's struct and its arrays; an expanded tree's struct, and per
// node its ysub cell and row (internal nodes have none by default, so this
// bounds them from above) and each value-set row.
constexpr double COMPACT_TREE_BYTES = 4000;
constexpr double EXPANDED_TREE_BYTES = 9500;
constexpr double EXPANDED_NODE_BYTES = 600;
constexpr double EXPANDED_ROW_BYTES = 500;
// A node's numbers in each layout.
constexpr double COMPACT_NODE_NUMBERS = 4 + 8 + 8 + 8 + 8 + 4;
constexpr double EXPANDED_NODE_NUMBERS = 4 + 8 + 8 + 4 + 4 + 8 + 8 + 4 + 8 + 8 + 8 + 8;
// The host copies every number of the output when the call returns, so
// the forest's numbers are held twice at the end.
constexpr double HOST_COPIES = 2;

// Bytes a fit holds, by what makes them grow.
struct Footprint {
    double forest = 0;  // the trees returned, with the host's copy: num_trees
    double scratch = 0; // each thread's buffers and tree in the making: runs
    double levels = 0;  // the expanded layout's value sets: levels
    double data = 0;    // ranks of the columns: Theta and X
    KeptResponses kept = KeptResponses::leaves;

    double total() const { return forest + scratch + levels + data; }
    [[noreturn]] void refuse() const
    {
        fail_fmt("the fit needs about %.3g bytes of memory, more than this machine has (most "
                 "of it grows with %s).",
                 total(),
                 host::largest_share({{"num_trees", forest},
                                      {"levels", levels},
                                      {"Theta and X", data},
                                      {kept == KeptResponses::all ? "runs, with opts.ysub = 'all'"
                                                                  : "runs",
                                       scratch}}));
    }
};

// The host's share of a tree of `nodes` nodes, `leaves` leaves, `kept`
// responses and `splits` categorical splits listing `left` and `right`
// categories (right: the expanded layout's right sets).
Footprint tree_bytes(const Options &o, double nodes, double leaves, double kept, double splits,
                     double left, double right)
{
    Footprint f;
    f.kept = o.kept;
    if (o.expanded) {
        f.forest = EXPANDED_TREE_BYTES + EXPANDED_NODE_BYTES * nodes +
                   HOST_COPIES * (EXPANDED_NODE_NUMBERS * nodes + 8 * kept);
        f.levels = 2 * EXPANDED_ROW_BYTES * splits + HOST_COPIES * 2 * 4 * (left + right);
    } else {
        f.forest = COMPACT_TREE_BYTES +
                   HOST_COPIES * (COMPACT_NODE_NUMBERS * nodes + 8 * kept +
                                  4 * (kept > 0 ? leaves : 0) + 4 * (splits + left));
    }
    return f;
}

// The host's share of a grown tree.
Footprint tree_footprint(const GrownTree &tree, const Options &o, const double *levels)
{
    // Every split has two children: a tree of N nodes has (N + 1) / 2
    // leaves. Only the expanded layout lists the right sets.
    const double nodes = static_cast<double>(tree.nodes.size());
    double right = 0;
    if (o.expanded)
        for (const Node &node : tree.nodes)
            if (node.var < 0)
                right += levels[-node.var - 1] -
                         tree.left_sizes[static_cast<std::size_t>(node.cut) - 1];
    return tree_bytes(o, nodes, (nodes + 1) / 2,
                      static_cast<double>(tree.responses.size()),
                      static_cast<double>(tree.split_count()),
                      static_cast<double>(tree.left_values.size()), right);
}

// Watches the forest's size as trees are built: the trees still to come
// are expected to hold as much as the built ones on average, and the fit
// stops when they would not fit in the memory left. The system is asked at
// most every tenth of a second, or when a sixteenth of what it had is gone.
class MemoryWatch {
public:
    MemoryWatch(std::size_t count, const Options &o, const double *levels)
        : count_(count), o_(o), levels_(levels)
    {
        built_.kept = o.kept;
    }

    // After tree `built` (counted from 1) was added: whether the rest fits.
    bool rest_fits(const GrownTree &tree, std::size_t built)
    {
        const Footprint f = tree_footprint(tree, o_, levels_);
        built_.forest += f.forest;
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
        exceeded_ = !(needed < host::MEMORY_CHECK_BYTES || needed <= available_ - since_asked_);
        return !exceeded_;
    }
    bool exceeded() const { return exceeded_; }

    // The whole forest, as the built trees promise it.
    Footprint projected(std::size_t built) const
    {
        const double scale = static_cast<double>(count_) / static_cast<double>(built);
        Footprint f = built_;
        f.forest *= scale;
        f.levels *= scale;
        return f;
    }

private:
    std::size_t count_;
    const Options &o_;
    const double *levels_;
    Footprint built_;
    bool exceeded_ = false;
    double available_ = -1, since_asked_ = 0;
    std::chrono::steady_clock::time_point asked_;
};

// What a fit holds at least, before a tree is grown: the ranks, every
// thread's scratch and tree in the making, and per tree the host's share
// of a tree of leaves of about twice min_leaf runs, its kept responses (one
// per run at the leaves; with 'all', one per run at each depth of a
// balanced tree), and one value set of the widest categorical variable
// that can split (`split_level`; a left set lists categories present at
// its node, at most its runs). Built trees refine it (MemoryWatch).
Footprint fit_footprint(const core::fit::TrainingSet &data, const Options &o, double split_level)
{
    const double R = static_cast<double>(data.n_runs);
    const double count = o.num_trees;
    const double threads = std::min(count, static_cast<double>(o.num_threads));
    const double nodes =
        std::min(o.max_nodes, std::max(1.0, std::floor(R / (2 * o.min_leaf)) * 2 - 1));
    const double depths =
        o.kept == KeptResponses::all ? 1 + std::floor(std::log2((nodes + 1) / 2)) : 1;
    const double kept = o.kept == KeptResponses::none ? 0 : R * depths;
    // The order buffer serves the rows of a matrix with columns only.
    const double order_rows =
        std::max(data.theta_cols ? static_cast<double>(data.n_configs) : 0.0,
                 data.x_cols ? static_cast<double>(data.n_instances) : 0.0);
    const double values = static_cast<double>(data.n_configs) * data.theta_cols +
                          static_cast<double>(data.n_instances) * data.x_cols;
    const bool splits = split_level > 0 && R >= 2 * o.min_leaf && o.max_nodes >= 3;
    const double left = splits ? std::min(split_level, R) : 0;
    const double right = splits && o.expanded ? split_level - 1 : 0;
    const Footprint tree = tree_bytes(o, nodes, (nodes + 1) / 2, kept, splits, left, right);
    Footprint f;
    f.kept = o.kept;
    f.data = 12 * values + 4 * order_rows + 24 * static_cast<double>(data.n_vars);
    // max_distinct is not known before ranking: every value may be one.
    const double widest = std::max(order_rows, 1.0);
    f.scratch = threads * (core::fit::TreeScratch::bytes(data.n_runs, 0, data.n_vars) +
                           core::fit::TreeScratch::BYTES_PER_RANK * widest + 8 * kept +
                           sizeof(Node) * nodes + 4 * left);
    f.forest = count * (tree.forest + sizeof(GrownTree) + 1);
    f.levels = count * tree.levels + threads * 4 * (left + right);
    return f;
}

// What a worker hands the calling thread beside a grown tree.
struct TreeExtras {
    core::fit::OutOfBag oob;             // the final fit, for info
    core::pages::Buffer<std::uint32_t> leaf_of; // an imputation round: each run's leaf
};

// Trees first_tree.. of the forest, grown on worker threads: assess(t,
// tree, drawn, gen, extras) runs on the worker that grew tree t, with the
// sample's draw counts per run and the tree's generator; take(t, tree,
// extras) on the calling thread, for each tree in order, which also shows
// progress and watches for an interrupt. take returns false to stop the
// fit (a forest too large). Returns the trees taken: fewer than num_trees
// when the memory ran out or take stopped the fit.
template <class Assess, class Take>
std::size_t grow_trees(const core::fit::TrainingSet &data,
                       const core::fit::GrowOptions &grow_opts, const Options &o,
                       Progress &progress, host::InterruptPoll &poll_interrupt, Assess assess, Take take)
{
    const std::size_t count = static_cast<std::size_t>(o.num_trees);
    // More threads than trees would idle.
    const std::size_t threads = std::min(count, o.num_threads);
    const std::uint64_t seed = static_cast<std::uint64_t>(static_cast<std::int64_t>(o.seed));
    const std::uint64_t first = static_cast<std::uint64_t>(o.first_tree);

    enum : char { PENDING, GROWN, FAILED };
    std::vector<GrownTree> trees(count);
    std::vector<TreeExtras> extras(count);
    std::unique_ptr<std::atomic<char>[]> state(new std::atomic<char>[count]);
    for (std::size_t t = 0; t < count; ++t)
        state[t] = PENDING;
    std::vector<std::unique_ptr<core::fit::TreeScratch>> scratch(threads);
    std::atomic<bool> stop{false};
    // Per worker: the work done on its tree in the making (the runs of the
    // nodes visited); and the work of the last tree finished.
    std::unique_ptr<std::atomic<std::size_t>[]> worked(new std::atomic<std::size_t>[threads]);
    for (std::size_t w = 0; w < threads; ++w)
        worked[w] = 0;
    std::atomic<std::size_t> tree_work{0};

    // On a worker: no host call, no exception out.
    auto grow = [&](std::size_t t, std::size_t worker) {
        char outcome = FAILED;
        try {
            if (!scratch[worker])
                scratch[worker].reset(
                    new core::fit::TreeScratch(data.n_runs, data.max_distinct, data.n_vars));
            core::fit::Generator gen = core::fit::Generator::for_tree(seed, first + t);
            if (core::fit::TreeGrower(data, grow_opts, *scratch[worker], gen, stop,
                                       worked[worker])
                    .grow(trees[t])) {
                assess(t, trees[t], scratch[worker]->drawn.data(), gen, extras[t]);
                outcome = GROWN;
            }
        } catch (const std::bad_alloc &) {
            stop = true;
        }
        tree_work.store(worked[worker].load(std::memory_order_relaxed), std::memory_order_relaxed);
        worked[worker].store(0, std::memory_order_relaxed);
        state[t].store(outcome, std::memory_order_release);
    };
    std::size_t taken = 0;
    bool stopped = false;
    // On the calling thread: finished trees taken in order.
    auto collect = [&] {
        while (taken < count && !stopped &&
               state[taken].load(std::memory_order_acquire) == GROWN) {
            stopped = !take(taken, trees[taken], extras[taken]);
            trees[taken] = GrownTree(); // its memory back at once
            extras[taken] = TreeExtras();
            ++taken;
        }
        if (stopped)
            stop = true;
        poll_interrupt();
        // Trees in the making count by their work against a whole tree's:
        // the last one finished, or before any, a balanced tree's.
        const double R = static_cast<double>(data.n_runs);
        double whole = static_cast<double>(tree_work.load(std::memory_order_relaxed));
        if (whole == 0)
            whole = R * std::max(1.0, std::log2(R / (2 * o.min_leaf)) + 1);
        double growing = 0;
        for (std::size_t w = 0; w < threads; ++w)
            growing += std::min(
                0.95, static_cast<double>(worked[w].load(std::memory_order_relaxed)) / whole);
        progress.show(taken, growing);
    };
    // Every tree grows on a worker, even with one thread, so that the
    // calling thread can pass on Ctrl-C mid-tree. A tree that failed, or a
    // forest too large, has set `stop`.
    core::parallel_for_watched(count, threads, stop, host::INTERRUPT_PERIOD, grow, collect);
    return taken;
}

[[noreturn]] void fail_tree_memory(const Options &o, std::size_t taken)
{
    fail_fmt("the fit ran out of memory growing tree %.0f of the forest (fewer num_trees "
             "or num_threads, or a larger min_leaf, need less).",
             o.first_tree + static_cast<double>(taken));
}

// The forest's mean and mixture variance at every run's pair, summed over
// the trees in tree order (the mean of the leaves' means, and the mean of
// their second moments less the squared mean, as forestcast pools them),
// and room for the variances.
struct RunPredictions {
    double *sum, *second, *variance; // per run: sums of leaf means, of leaf_var + mean^2
    std::size_t R;
};

// The capped runs' values fitted next: each the mean of a normal of the
// forest's mean and variance at its pair, truncated below at its bound
// (the variance floored at its mean over the runs not capped, as leaves of
// capped runs alone have no spread), at most opts.max_response. Returns
// how far the farthest value moved.
double impute(const RunPredictions &p, std::size_t trees, const double *bounds,
              const std::vector<unsigned char> &capped, double max_response, double *values)
{
    const double T = static_cast<double>(trees);
    double floor = 0, uncapped = 0;
    for (std::size_t j = 0; j < p.R; ++j) {
        const double mean = p.sum[j] / T;
        p.variance[j] = std::max(0.0, p.second[j] / T - mean * mean);
        if (!capped[j]) {
            floor += p.variance[j];
            uncapped += 1;
        }
    }
    floor = uncapped > 0 ? floor / uncapped : 0;
    double moved = 0;
    for (std::size_t j = 0; j < p.R; ++j) {
        if (!capped[j])
            continue;
        const double value = std::min(
            max_response, core::fit::truncated_mean(p.sum[j] / T,
                                                    std::sqrt(std::max(p.variance[j], floor)),
                                                    bounds[j]));
        moved = std::max(moved, std::fabs(value - values[j]));
        values[j] = value;
    }
    return moved;
}

// Capped runs: fitted first with their bounds as values, then with the
// values imputed from the forest, until none moves by more than a
// millionth of the responses' range, or for impute_rounds rounds. data.y
// then points at `values`, the imputed ones beside the others' own.
// Returns the rounds run.
std::size_t impute_capped(core::fit::TrainingSet &data, const core::fit::GrowOptions &grow_opts,
                          const Options &o, Progress &progress, host::InterruptPoll &poll,
                          host::Growing<double> &values)
{
    const std::size_t R = data.n_runs;
    const std::size_t count = static_cast<std::size_t>(o.num_trees);
    const double *bounds = data.y;
    std::copy(bounds, bounds + R, values.extend(R));
    data.y = values.data();
    const auto range = std::minmax_element(bounds, bounds + R);
    const double tolerance = 1e-6 * std::max(*range.second - *range.first, 1e-300);
    host::Scratch<double> sums(3 * R, host::unfilled);
    const RunPredictions p{sums.data(), sums.data() + R, sums.data() + 2 * R, R};
    auto assess = [&](std::size_t, const GrownTree &tree, const std::uint32_t *,
                      core::fit::Generator &, TreeExtras &extras) {
        core::pages::Buffer<std::uint32_t> all(R);
        for (std::size_t j = 0; j < R; ++j)
            all[j] = static_cast<std::uint32_t>(j);
        extras.leaf_of.resize(R);
        core::fit::Router(tree, data).route(all.data(), R, core::fit::Router::NO_VARIABLE,
                                            nullptr, extras.leaf_of.data());
    };
    auto take = [&](std::size_t, const GrownTree &tree, const TreeExtras &extras) {
        for (std::size_t j = 0; j < R; ++j) {
            const Node &leaf = tree.nodes[extras.leaf_of[j]];
            p.sum[j] += leaf.mean;
            p.second[j] += leaf.spread + leaf.mean * leaf.mean;
        }
        return true;
    };
    const std::size_t most = static_cast<std::size_t>(o.impute_rounds);
    std::size_t rounds = 0;
    while (rounds < most) {
        std::fill(p.sum, p.sum + 2 * R, 0.0);
        const std::size_t taken = grow_trees(data, grow_opts, o, progress, poll, assess, take);
        if (taken < count)
            fail_tree_memory(o, taken);
        progress.fitted();
        ++rounds;
        if (impute(p, count, bounds, o.capped, o.max_response, values.data()) <= tolerance)
            break;
    }
    return rounds;
}

// The forest of the fit, and what the fit learnt about it: info's
// out-of-bag predictions, their error over the runs they cover, the
// importance per tree and over the forest, the in-bag counts.
struct Fit {
    mxArray *forest = nullptr;
    mxArray *oob_prediction = nullptr;
    double oob_rmse = 0;
    std::size_t oob_count = 0;
    mxArray *importance = nullptr;
    mxArray *tree_importance = nullptr;
    mxArray *inbag = nullptr;
};

// The final fit: the trees into host arrays, in order, watched for the
// memory; with `info`, the out-of-bag predictions (the mean over the trees
// that did not draw a run of their prediction at its pair), the in-bag
// counts and the importance, the same for any thread count.
Fit final_fit(const core::fit::TrainingSet &data, const core::fit::GrowOptions &grow_opts,
              const Options &o, bool info, Progress &progress, host::InterruptPoll &poll_interrupt)
{
    const std::size_t count = static_cast<std::size_t>(o.num_trees);
    const std::size_t R = data.n_runs;
    const std::size_t D = data.n_vars;
    Fit fit;
    fit.forest = mxCreateCellMatrix(1, static_cast<mwSize>(count));
    // What info holds, made before the workers start, which write into it.
    std::int32_t *inbag = nullptr;
    mxArray *inbag_array = nullptr;
    if (info && o.keep_inbag)
        inbag_array = host::host_matrix(R, count, mxINT32_CLASS, inbag, host::unfilled);
    double *tree_importance = nullptr;
    mxArray *tree_importance_array =
        info ? host::host_matrix(count, o.importance == core::fit::Importance::none ? 0 : D,
                                   mxDOUBLE_CLASS, tree_importance)
             : nullptr;
    std::vector<double> oob_sum(info ? R : 0);
    std::vector<std::uint32_t> oob_trees(info ? R : 0);

    auto assess = [&](std::size_t t, const GrownTree &tree, const std::uint32_t *drawn,
                      core::fit::Generator &gen, TreeExtras &extras) {
        if (!info)
            return;
        if (inbag != nullptr)
            std::copy(drawn, drawn + R, inbag + t * R);
        core::fit::Router router(tree, data);
        core::fit::out_of_bag(tree, router, drawn, R, extras.oob);
        if (o.importance == core::fit::Importance::impurity)
            core::fit::impurity_importance(tree, tree_importance + t, count);
        else if (o.importance == core::fit::Importance::permutation)
            core::fit::permutation_importance(tree, router, data, extras.oob, gen, tree_importance + t,
                                               count);
    };
    MemoryWatch memory(count, o, data.levels);
    const host::FittedOn fitted{data.theta_cols, data.levels, data.n_vars};
    auto take = [&](std::size_t t, const GrownTree &tree, const TreeExtras &extras) {
        mxSetCell(fit.forest, static_cast<mwIndex>(t),
                  o.expanded
                      ? host::expanded_tree(tree, fitted, o.kept, std::ref(poll_interrupt))
                      : host::compact_tree(tree, fitted, o.kept != KeptResponses::none));
        const std::size_t oob = extras.oob.runs.size();
        for (std::size_t i = 0; i < oob; ++i) {
            oob_sum[extras.oob.runs[i]] += extras.oob.means[i];
            ++oob_trees[extras.oob.runs[i]];
        }
        return memory.rest_fits(tree, t + 1);
    };
    const std::size_t taken = grow_trees(data, grow_opts, o, progress, poll_interrupt, assess, take);
    if (memory.exceeded())
        memory.projected(taken).refuse();
    if (taken < count)
        fail_tree_memory(o, taken);
    if (!info)
        return fit;

    // The out-of-bag prediction, NaN where every tree drew the run; its
    // error over the runs it covers that are not capped.
    double *prediction = nullptr;
    fit.oob_prediction = host::host_matrix(R, 1, mxDOUBLE_CLASS, prediction, host::unfilled);
    double squares = 0;
    std::size_t covered = 0;
    for (std::size_t j = 0; j < R; ++j) {
        prediction[j] = oob_sum[j] / static_cast<double>(oob_trees[j]);
        if (oob_trees[j] > 0 && !(o.capped.size() && o.capped[j])) {
            const double e = prediction[j] - data.y[j];
            squares += e * e;
            ++covered;
        }
    }
    // The importance: the mean over the trees (over those with out-of-bag
    // runs, for 'permutation'), summed in tree order.
    const std::size_t figures = o.importance == core::fit::Importance::none ? 0 : D;
    double *importance = nullptr;
    fit.importance = host::host_matrix(1, figures, mxDOUBLE_CLASS, importance);
    for (std::size_t v = 0; v < figures; ++v) {
        double sum = 0, trees = 0;
        for (std::size_t t = 0; t < count; ++t) {
            const double figure = tree_importance[t + v * count];
            if (!std::isnan(figure)) {
                sum += figure;
                trees += 1;
            }
        }
        importance[v] = sum / trees;
    }
    fit.oob_rmse = std::sqrt(squares / static_cast<double>(covered));
    fit.oob_count = covered;
    fit.tree_importance = tree_importance_array;
    fit.inbag = inbag_array;
    return fit;
}

// ---- the arguments -------------------------------------------------------

// Theta and X: the configurations and the instances, p + d >= 1 variables.
void read_matrices(const mxArray *Theta, const mxArray *X, core::fit::TrainingSet &data)
{
    const core::DataMatrix theta = host::data_matrix(
        Theta, "Theta", "Theta must be a real double K-by-p matrix.", host::TWO_DIMENSIONAL);
    data.theta = theta.values;
    data.n_configs = theta.rows;
    data.theta_cols = theta.cols;
    const core::DataMatrix x = host::data_matrix(
        X, "X", "X must be a real double N-by-d matrix (d may be 0).", host::TWO_DIMENSIONAL);
    data.x = x.values;
    data.n_instances = x.rows;
    data.x_cols = x.cols;
    data.n_vars = data.theta_cols + data.x_cols;
    require(data.n_vars >= 1, "Theta and X have no columns: the trees need at least one variable.");
}

// runs: R pairs of a row of Theta and a row of X, int32 or doubles of
// whole numbers (taken exactly, into `converted`).
void read_runs(const mxArray *runs, core::fit::TrainingSet &data,
               host::Growing<std::int32_t> &converted)
{
    require((host::is_real_int32(runs) || host::is_real_double(runs)) && is_2d(runs) &&
                host::cols(runs) == 2,
            "runs must be an R-by-2 int32 or double matrix of row numbers (rows of Theta, rows "
            "of X).");
    host::require_full(runs, "runs");
    const std::size_t R = host::rows(runs);
    data.n_runs = R;
    require(R >= 1, "runs has no rows: there is nothing to fit.");
    if (R > (std::size_t{1} << 30))
        fail_fmt("runs has %zu rows, more than the 2^30 a tree's int32 node numbers allow.", R);
    if (mxIsInt32(runs)) {
        data.runs = host::int32s(runs).data();
    } else {
        host::require_memory(8.0 * static_cast<double>(R), "runs", "its int32 copy");
        std::int32_t *copy = converted.extend(2 * R);
        const double *values = mxGetPr(runs);
        for (std::size_t j = 0; j < 2 * R; ++j) {
            const double x = values[j];
            if (!(x == std::floor(x) && std::fabs(x) <= INT32_MAX))
                fail_fmt("runs(%zu, %zu) = %s is %s: runs holds row numbers.", j % R + 1,
                         j / R + 1, host::shown(x).text,
                         x == std::floor(x) ? "beyond the int32 range" : "not a whole number");
            copy[j] = static_cast<std::int32_t>(x);
        }
        data.runs = copy;
    }
    if (data.n_instances == 0)
        fail("X has no rows, but runs(:, 2) names rows of X: X needs N rows, one per instance "
             "(zeros(N, 0) means no instance features).");
    for (std::size_t j = 0; j < R; ++j) {
        const std::int32_t c = data.runs[j], i = data.runs[R + j];
        if (c < 1 || static_cast<std::size_t>(c) > data.n_configs)
            fail_row(j, 1, c, "Theta", data.n_configs, data.theta_cols, "configuration");
        if (i < 1 || static_cast<std::size_t>(i) > data.n_instances)
            fail_row(j, 2, i, "X", data.n_instances, data.x_cols, "instance");
    }
}

// y: a finite response per run, small enough that a node's squared sums
// do not overflow (beyond that every score is Inf or NaN: a tree of one
// leaf, Inf statistics).
void read_responses(const mxArray *y, core::fit::TrainingSet &data)
{
    const std::size_t R = data.n_runs;
    require(host::is_real_double(y) && host::is_column(y, R),
            "y must be a real double R-by-1 vector, one response per run.");
    host::require_full(y, "y");
    data.y = mxGetPr(y);
    for (std::size_t j = 0; j < R; ++j)
        if (!std::isfinite(data.y[j]))
            fail_fmt("y(%zu) is %s; responses must be finite.", j + 1,
                     host::shown(data.y[j]).text);
    const double largest =
        0.5 * std::sqrt(std::numeric_limits<double>::max()) / static_cast<double>(R);
    for (std::size_t j = 0; j < R; ++j)
        if (std::fabs(data.y[j]) > largest)
            fail_fmt("y(%zu) = %g is too large: with %zu runs, responses must be at most %.4g "
                     "in magnitude, or their squared sums overflow (scale y).",
                     j + 1, data.y[j], R, largest);
}

// levels: per variable 0 (ordered) or L categories, and the columns' values
// checked against them.
void read_levels(const mxArray *levels, core::fit::TrainingSet &data)
{
    const std::size_t D = data.n_vars;
    if (!(host::is_real_double(levels) && is_2d(levels) && host::numel(levels) == D &&
          std::min(host::rows(levels), host::cols(levels)) == 1))
        fail_fmt("levels must be a real double 1-by-%zu vector (one entry per column of Theta "
                 "and X).",
                 D);
    host::require_full(levels, "levels");
    data.levels = mxGetPr(levels);
    for (std::size_t v = 0; v < D; ++v) {
        const double L = data.levels[v];
        if (!(host::is_whole(L) && L >= 0 && L <= INT32_MAX))
            fail_fmt("levels(%zu) = %s; it must be 0 (ordered) or a number of categories "
                     "1..2^31-1.",
                     v + 1, host::shown(L).text);
    }
    for (std::size_t v = 0; v < D; ++v) {
        if (v < data.theta_cols)
            check_column(data.column(v), data.n_configs, data.levels[v], "Theta", v, v);
        else
            check_column(data.column(v), data.n_instances, data.levels[v], "X",
                         v - data.theta_cols, v);
    }
}

// Every column ranked once per fit (the ranks, their values, how many),
// into `data`; made after check() passed, it checks the fit's memory once
// the widest categorical variable that can split is known.
class Ranks {
public:
    Ranks(core::fit::TrainingSet &data, const Options &o)
        : offsets_(data.n_vars), rank_(values(data)), value_of_rank_(values(data)),
          distinct_(data.n_vars)
    {
        const std::size_t D = data.n_vars;
        // The order buffer serves the rows of a matrix with columns only.
        host::Scratch<std::uint32_t> order(std::max(data.theta_cols ? data.n_configs : 0,
                                                    data.x_cols ? data.n_instances : 0));
        std::size_t offset = 0;
        data.max_distinct = 1;
        for (std::size_t v = 0; v < D; ++v) {
            offsets_[v] = offset;
            distinct_[v] = core::fit::rank_column(data.column(v), data.column_rows(v),
                                                  order.data(), rank_.data() + offset,
                                                  value_of_rank_.data() + offset);
            data.max_distinct = std::max<std::size_t>(data.max_distinct, distinct_[v]);
            offset += data.column_rows(v);
        }
        data.rank = rank_.data();
        data.rank_offset = offsets_.data();
        data.value_of_rank = value_of_rank_.data();
        data.distinct = distinct_.data();
        data.kernels = core::fit::chosen_split_kernels();
        double split_level = 0;
        for (std::size_t v = 0; v < D; ++v)
            if (data.categorical(v) && distinct_[v] >= 2)
                split_level = std::max(split_level, data.levels[v]);
        const Footprint f = fit_footprint(data, o, split_level);
        if (host::exceeds_memory(f.total()))
            f.refuse();
    }

    // Refuses a fit whose ranks alone would not fit.
    static void check(const core::fit::TrainingSet &data, const Options &o)
    {
        Footprint f = fit_footprint(data, o, 0);
        f.scratch = f.forest = 0;
        if (host::exceeds_memory(f.total()))
            f.refuse();
    }

private:
    static std::size_t values(const core::fit::TrainingSet &data)
    {
        return data.n_configs * data.theta_cols + data.n_instances * data.x_cols;
    }

    host::Scratch<std::size_t> offsets_;
    host::Scratch<std::uint32_t> rank_;
    host::Scratch<double> value_of_rank_;
    host::Scratch<std::uint32_t> distinct_;
};

// info: out-of-bag error, importance, the in-bag counts where asked for,
// and the values fitted where some runs are capped.
mxArray *info_struct(const Fit &fit, const Options &o, const double *values, std::size_t R,
                     std::size_t rounds)
{
    std::vector<const char *> names = {"oob_prediction", "oob_rmse", "oob_count", "importance",
                                       "tree_importance"};
    std::vector<mxArray *> fields = {fit.oob_prediction, mxCreateDoubleScalar(fit.oob_rmse),
                                     mxCreateDoubleScalar(static_cast<double>(fit.oob_count)),
                                     fit.importance, fit.tree_importance};
    if (fit.inbag != nullptr) {
        names.push_back("inbag");
        fields.push_back(fit.inbag);
    }
    if (!o.capped.empty()) {
        names.push_back("imputed");
        fields.push_back(host::host_copy(values, R, 1, mxDOUBLE_CLASS));
        names.push_back("rounds");
        fields.push_back(mxCreateDoubleScalar(static_cast<double>(rounds)));
    }
    mxArray *info = mxCreateStructMatrix(1, 1, static_cast<int>(names.size()), names.data());
    for (std::size_t f = 0; f < names.size(); ++f)
        mxSetFieldByNumber(info, 0, static_cast<int>(f), fields[f]);
    return info;
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    using namespace host;

    require(nrhs == 5 || nrhs == 6, USAGE);
    require(nlhs <= 2, "Too many output arguments: forestfit returns the forest and info.");

    core::fit::TrainingSet data;
    read_matrices(prhs[IN_THETA], prhs[IN_X], data);
    Growing<std::int32_t> converted_runs;
    read_runs(prhs[IN_RUNS], data, converted_runs);
    read_responses(prhs[IN_Y], data);
    read_levels(prhs[IN_LEVELS], data);
    const Options o = read_options(nrhs == 6 ? prhs[IN_OPTS] : nullptr, data.n_vars, data.n_runs);
    // A capped run's value is at least its bound, and at most max_response.
    for (std::size_t j = 0; j < o.capped.size(); ++j)
        if (o.capped[j] && data.y[j] > o.max_response)
            fail_fmt("opts.max_response = %s is below y(%zu) = %s, the bound of a capped run.",
                     shown(o.max_response).text, j + 1, shown(data.y[j]).text);

    Ranks::check(data, o);
    const Ranks ranks(data, o);
    const core::fit::GrowOptions grow_opts{static_cast<std::size_t>(o.mtry), o.min_leaf,
                                           o.max_nodes, o.bootstrap, o.kept};
    const bool imputing = std::count(o.capped.begin(), o.capped.end(), 1) > 0;
    Progress progress(o.verbose, static_cast<std::size_t>(o.num_trees),
                      1 + (imputing ? static_cast<std::size_t>(o.impute_rounds) : 0));
    InterruptPoll poll;
    Growing<double> values; // the capped runs imputed, beside the others' own
    Fit fit;
    std::size_t rounds = 0;
    // The fit's own buffers come from the C++ library: out of memory, the
    // call ends with an error of the host's.
    try {
        if (imputing)
            rounds = impute_capped(data, grow_opts, o, progress, poll, values);
        fit = final_fit(data, grow_opts, o, nlhs >= 2, progress, poll);
    } catch (const std::bad_alloc &) {
        fail("the fit ran out of memory (fewer num_trees or num_threads, or a larger min_leaf, "
             "need less).");
    }
    progress.fitted();
    progress.finish();
    const Outputs out(nlhs, plhs);
    out.set(0, fit.forest);
    if (nlhs >= 2)
        out.set(1, info_struct(fit, o, data.y, data.n_runs, rounds));
}
