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
// Each column of Theta and X is ranked once per fit (dense ranks of its
// distinct values), so a node orders its runs by a variable by sorting small
// integers: a counting sort when the ranks present span at most about four
// values per run, a radix sort of the ranks otherwise. Scratch is
// O(R + K*p + N*d). The sample's runs (row of Theta, row of X, response) sit
// in node order: a node's runs are one contiguous range that its split
// partitions stably, so reads stay within the node and every node lists its
// runs in the order of the tree's sample.
//
// Random choices (bootstrap draws, the variables tried at a split) come from
// xoshiro256** seeded through splitmix64 with opts.seed, and bounded draws
// by rejection, so a seed gives the same forest on every platform.
#include "kernels.hpp"
#include "mexhost.hpp"

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

namespace {

using host::fail;
using host::fail_fmt;
using host::require;

enum { IN_THETA = 0, IN_X, IN_RUNS, IN_Y, IN_LEVELS, IN_OPTS };

constexpr const char *USAGE =
    "Usage: forest = forestfit(Theta, X, runs, y, levels, opts), with Theta K-by-p double, "
    "X N-by-d double, runs R-by-2 int32, y R-by-1 double, levels 1-by-(p+d), opts an "
    "optional struct (help forestfit).";

// xoshiro256** (Blackman and Vigna), its state filled by splitmix64.
class Generator {
public:
    explicit Generator(std::uint64_t seed)
    {
        for (std::uint64_t &word : state_)
            word = splitmix64(seed);
    }

    std::uint64_t next()
    {
        const std::uint64_t result = rotl(state_[1] * 5, 7) * 9;
        const std::uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotl(state_[3], 45);
        return result;
    }

    // Uniform on 0..n-1 (n >= 1): draws below 2^64 mod n are rejected, so
    // the accepted range is a whole number of copies of 0..n-1. A caller
    // drawing often from one n passes rejected(n), worked out once (a
    // 64-bit division costs about as much as the rest of a draw).
    static std::uint64_t rejected(std::uint64_t n) { return (0 - n) % n; }
    std::uint64_t below(std::uint64_t n, std::uint64_t rejected)
    {
        for (;;) {
            const std::uint64_t r = next();
            if (r >= rejected)
                return r % n;
        }
    }

private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    static std::uint64_t splitmix64(std::uint64_t &x)
    {
        std::uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    std::uint64_t state_[4];
};

// The best cut of a node of m runs among prefixes lo..hi (1 <= lo <= hi <
// m): the first i maximising S^2/i + (total-S)^2/(m-i), S = prefix[i-1],
// or 0 when none has a score (NaN marks a prefix that cannot be cut). The
// score, the same expression as grow_tree's, is returned in `score`.
std::size_t best_prefix_portable(const double *prefix, std::size_t lo, std::size_t hi,
                                 std::size_t m, double total, double &score)
{
    std::size_t best_i = 0;
    for (std::size_t i = lo; i <= hi; ++i) {
        const double left = prefix[i - 1], right = total - left;
        const double s = left * left / static_cast<double>(i) +
                         right * right / static_cast<double>(m - i);
        const bool better = s > score; // the first best is kept
        score = better ? s : score;
        best_i = better ? i : best_i;
    }
    return best_i;
}

#if TOOLBOX_GNU_EXTENSIONS
typedef double v2d TOOLBOX_VECTOR(16);
typedef std::int64_t v2i TOOLBOX_VECTOR(16);
typedef double v4d TOOLBOX_VECTOR(32);
typedef std::int64_t v4i TOOLBOX_VECTOR(32);

// The same scores, a vector of prefixes at a time. Each lane keeps its
// first best; then the greatest lane score wins, at the smallest prefix
// that holds it, which is the first best over all. The last vector may
// reach past hi: those lanes are masked out, so `prefix` must be readable
// up to prefix[hi + lanes - 2]. No branch depends on a score (the scalar
// loop's comparison compiles to a branch, mispredicted in small nodes).
template <class Doubles, class Masks, int lanes>
TOOLBOX_FORCE_INLINE std::size_t best_prefix_lanes(const double *prefix, std::size_t lo,
                                                   std::size_t hi, std::size_t m, double total,
                                                   double &score)
{
    const double dm = static_cast<double>(m), last = static_cast<double>(hi);
    Doubles at, best, best_at, unset;
    for (int lane = 0; lane < lanes; ++lane) {
        at[lane] = static_cast<double>(lo + lane);
        best[lane] = score;
        best_at[lane] = 0;
        unset[lane] = std::numeric_limits<double>::infinity();
    }
    for (std::size_t i = lo; i <= hi; i += lanes) {
        Doubles left;
        std::memcpy(&left, prefix + i - 1, sizeof left);
        const Doubles right = total - left;
        const Doubles s = left * left / at + right * right / (dm - at);
        const Masks better = (s > best) & (at <= last);
        best = (Doubles)(((Masks)s & better) | ((Masks)best & ~better));
        best_at = (Doubles)(((Masks)at & better) | ((Masks)best_at & ~better));
        at += lanes;
    }
    double top = best[0];
    for (int lane = 1; lane < lanes; ++lane)
        top = best[lane] > top ? best[lane] : top;
    if (!(top > score))
        return 0;
    const Masks holds = best == top;
    const Doubles holder = (Doubles)(((Masks)best_at & holds) | ((Masks)unset & ~holds));
    double first = holder[0];
    for (int lane = 1; lane < lanes; ++lane)
        first = holder[lane] < first ? holder[lane] : first;
    score = top;
    return static_cast<std::size_t>(first);
}

#if TOOLBOX_HAVE_AVX2_KERNELS
TOOLBOX_TARGET_AVX2
std::size_t best_prefix_avx2(const double *prefix, std::size_t lo, std::size_t hi, std::size_t m,
                             double total, double &score)
{
    return best_prefix_lanes<v4d, v4i, 4>(prefix, lo, hi, m, total, score);
}
#endif

std::size_t best_prefix_vector(const double *prefix, std::size_t lo, std::size_t hi,
                               std::size_t m, double total, double &score)
{
    return best_prefix_lanes<v2d, v2i, 2>(prefix, lo, hi, m, total, score);
}
#endif

// The scoring kernel for this call; all give the same bits.
using BestPrefix = std::size_t (*)(const double *, std::size_t, std::size_t, std::size_t,
                                   double, double &);
BestPrefix dispatched_best_prefix()
{
    return kernels::choose<BestPrefix>({best_prefix_portable,
                                        TOOLBOX_VECTOR_KERNEL(best_prefix_vector),
                                        TOOLBOX_AVX2_KERNEL(best_prefix_avx2)});
}

// The runs and response sums of categories 0..few-1 (their ranks) over a
// node's runs, each sum in node order as the host's accumarray adds. The
// vector kernels keep a lane per category and add every run to every lane,
// +0 where the run is not the lane's: a sum started at +0 never becomes -0,
// so the +0s change no bit, and no sum waits on a store to memory as
// n[r] += 1 does when runs of one category follow each other.
constexpr std::size_t FEW_CATEGORIES = 8;
using SumCategories = void (*)(const std::uint32_t *row, const std::uint32_t *rank,
                               const double *y, std::size_t m, std::size_t few, double *n,
                               double *sum);

void sum_categories_portable(const std::uint32_t *row, const std::uint32_t *rank, const double *y,
                             std::size_t m, std::size_t few, double *n, double *sum)
{
    std::fill_n(n, few, 0.0);
    std::fill_n(sum, few, 0.0);
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint32_t r = rank[row[i]];
        n[r] += 1;
        sum[r] += y[i];
    }
}

#if TOOLBOX_GNU_EXTENSIONS
template <class Doubles, class Masks, int lanes, int vectors>
TOOLBOX_FORCE_INLINE void sum_categories_lanes(const std::uint32_t *row,
                                               const std::uint32_t *rank, const double *y,
                                               std::size_t m, std::size_t few, double *n,
                                               double *sum)
{
    const Doubles zero = {}, one = zero + 1;
    Doubles category[vectors], count[vectors], total[vectors];
    for (int v = 0; v < vectors; ++v) {
        for (int lane = 0; lane < lanes; ++lane)
            category[v][lane] = v * lanes + lane;
        count[v] = zero;
        total[v] = zero;
    }
    for (std::size_t i = 0; i < m; ++i) {
        const Doubles r = zero + static_cast<double>(rank[row[i]]), yi = zero + y[i];
        for (int v = 0; v < vectors; ++v) {
            const Masks here = category[v] == r;
            count[v] += (Doubles)((Masks)one & here);
            total[v] += (Doubles)((Masks)yi & here);
        }
    }
    for (std::size_t c = 0; c < few; ++c) {
        n[c] = count[c / lanes][c % lanes];
        sum[c] = total[c / lanes][c % lanes];
    }
}

// Lanes for 4 categories, or for FEW_CATEGORIES.
template <class Doubles, class Masks, int lanes>
TOOLBOX_FORCE_INLINE void sum_categories_in(const std::uint32_t *row, const std::uint32_t *rank,
                                            const double *y, std::size_t m, std::size_t few,
                                            double *n, double *sum)
{
    constexpr int most = static_cast<int>(FEW_CATEGORIES);
    if (few <= 4)
        sum_categories_lanes<Doubles, Masks, lanes, 4 / lanes>(row, rank, y, m, few, n, sum);
    else
        sum_categories_lanes<Doubles, Masks, lanes, most / lanes>(row, rank, y, m, few, n, sum);
}

#if TOOLBOX_HAVE_AVX2_KERNELS
TOOLBOX_TARGET_AVX2
void sum_categories_avx2(const std::uint32_t *row, const std::uint32_t *rank, const double *y,
                         std::size_t m, std::size_t few, double *n, double *sum)
{
    sum_categories_in<v4d, v4i, 4>(row, rank, y, m, few, n, sum);
}
#endif

void sum_categories_vector(const std::uint32_t *row, const std::uint32_t *rank, const double *y,
                           std::size_t m, std::size_t few, double *n, double *sum)
{
    sum_categories_in<v2d, v2i, 2>(row, rank, y, m, few, n, sum);
}
#endif

SumCategories dispatched_sum_categories()
{
    return kernels::choose<SumCategories>({sum_categories_portable,
                                           TOOLBOX_VECTOR_KERNEL(sum_categories_vector),
                                           TOOLBOX_AVX2_KERNEL(sum_categories_avx2)});
}

// Small nodes' keys (distinct, fewer than a handful of vector widths) put
// in increasing order; each kernel takes at most `most` keys.
using SortSmall = void (*)(const std::uint64_t *keys, std::size_t m, std::uint64_t *sorted);
struct SmallSort {
    SortSmall sort;
    std::size_t most;
};

// Stable: an element moves only past those it precedes strictly.
template <class T, class Less>
void insertion_sort(T *a, std::size_t n, Less less)
{
    for (std::size_t i = 1; i < n; ++i) {
        const T x = a[i];
        std::size_t at = i;
        for (; at > 0 && less(x, a[at - 1]); --at)
            a[at] = a[at - 1];
        a[at] = x;
    }
}

constexpr std::size_t SMALL_SORT_PORTABLE_MOST = 16;

void sort_small_portable(const std::uint64_t *keys, std::size_t m, std::uint64_t *sorted)
{
    std::copy_n(keys, m, sorted);
    insertion_sort(sorted, m, std::less<std::uint64_t>());
}

#if TOOLBOX_HAVE_AVX2_KERNELS
constexpr std::size_t SMALL_SORT_AVX2_MOST = 32;

// Each key goes to the place given by the number of keys below it, counted
// four at a time: no branch to mispredict, unlike an insertion sort's.
TOOLBOX_TARGET_AVX2
void sort_small_avx2(const std::uint64_t *keys, std::size_t m, std::uint64_t *sorted)
{
    constexpr std::uint64_t flip = std::uint64_t{1} << 63; // unsigned order as signed
    v4i lanes[SMALL_SORT_AVX2_MOST / 4];
    const std::size_t vectors = (m + 3) / 4;
    for (std::size_t v = 0; v < vectors; ++v)
        for (int lane = 0; lane < 4; ++lane) {
            const std::size_t j = 4 * v + lane; // padding: never below a key
            lanes[v][lane] = j < m ? static_cast<std::int64_t>(keys[j] ^ flip) : INT64_MAX;
        }
    for (std::size_t i = 0; i < m; ++i) {
        const std::int64_t x = static_cast<std::int64_t>(keys[i] ^ flip);
        const v4i key = {x, x, x, x};
        v4i below = {0, 0, 0, 0};
        for (std::size_t v = 0; v < vectors; ++v)
            below += (v4i)(lanes[v] < key); // -1 where below
        const std::int64_t place = -(below[0] + below[1] + below[2] + below[3]);
        sorted[place] = keys[i];
    }
}
#endif

SmallSort dispatched_small_sort()
{
    const kernels::Family<SortSmall> sorts{sort_small_portable, nullptr,
                                           TOOLBOX_AVX2_KERNEL(sort_small_avx2)};
    const SortSmall sort = kernels::choose(sorts);
#if TOOLBOX_HAVE_AVX2_KERNELS
    if (sort == sorts.avx2)
        return {sort, SMALL_SORT_AVX2_MOST};
#endif
    return {sort, SMALL_SORT_PORTABLE_MOST};
}

struct Options {
    double num_trees = 10;
    double mtry = 0; // set from p+d when absent
    double min_leaf = 5;
    double max_nodes = std::numeric_limits<double>::infinity();
    bool bootstrap = true;
    double seed = 0;
};

// The runs and the ranked variables, read in place or built once per fit.
struct Data {
    const double *Theta;
    std::size_t K, p;
    const double *X;
    std::size_t N, d;
    const std::int32_t *runs;
    std::size_t R;
    const double *y;
    const double *levels;
    std::size_t D; // p + d
    // Per variable v: rank[rank_offset[v] + row] is the dense rank of the
    // row's value among the column's distinct values (0-based), and
    // value_of_rank[rank_offset[v] + rank] the value (increasing in rank).
    const std::uint32_t *rank;
    const std::size_t *rank_offset;
    const double *value_of_rank;
    const std::uint32_t *distinct; // per variable, its number of ranks
    BestPrefix best_prefix;
    SmallSort small_sort;
    SumCategories sum_categories;

    bool categorical(std::size_t v) const { return levels[v] > 0; }
    const double *column(std::size_t v) const
    {
        return v < p ? Theta + v * K : X + (v - p) * N;
    }
};

struct Node {
    std::uint32_t begin, end; // its range of the runs in node order
    std::int32_t var;         // 0 leaf, v ordered, -v categorical (1-based)
    double cut;
    std::int32_t first_child; // 1-based; the second is first_child + 1
    double sum, squares, mean, spread; // of its responses, in node order
};

// The best split found so far at a node.
struct Split {
    double score = -std::numeric_limits<double>::infinity();
    std::size_t var = 0;
    double cut = 0;
    std::size_t n_left_cats = 0; // categorical: the ranks sent left, in left_ranks
    std::uint32_t last_left_rank = 0; // ordered: the greatest rank sent left
};

// Per-tree working buffers, taken once per fit.
struct Work {
    host::Scratch<std::uint32_t> conf, inst; // the sample's rows of Theta and X
    host::Scratch<double> y;                 // and responses, in node order
    host::Scratch<std::uint32_t> conf_spare, inst_spare; // partitions' right sides
    host::Scratch<double> y_spare;
    host::Scratch<std::uint64_t> keys, sorted, keys_spare; // a node's runs by a variable
    host::Scratch<double> prefix;            // cumulative responses in that order, and
                                             // room for a vector scorer's last vector
    host::Scratch<std::uint32_t> counts;     // counting sort, per rank
    host::Scratch<double> n_cat, sum_cat;    // categorical statistics, per rank
    host::Scratch<double> mean_cat;
    host::Scratch<std::uint32_t> cats, left_ranks, best_left_ranks;
    host::Scratch<unsigned char> goes_left_rank;
    host::Scratch<std::uint32_t> vars;
    host::Scratch<std::uint64_t> vars_rejected; // the t-th draw's bound, from D - t variables
    // The tree being grown, its buffers kept from tree to tree.
    host::Growing<Node> nodes;
    host::Growing<double> responses; // every node's, in node order
    // The categorical splits' value sets, left and right, one after another.
    struct ValueSets {
        host::Growing<std::int32_t> values;
        host::Growing<double> sizes;
        void clear()
        {
            values.clear();
            sizes.clear();
        }
    } left_sets, right_sets;

    Work(std::size_t R, std::size_t max_distinct, std::size_t D)
        : conf(R), inst(R), y(R), conf_spare(R), inst_spare(R), y_spare(R), keys(R), sorted(R), keys_spare(R),
          prefix(R + 4), counts(max_distinct + 1), n_cat(max_distinct), sum_cat(max_distinct),
          mean_cat(max_distinct), cats(max_distinct), left_ranks(max_distinct),
          best_left_ranks(max_distinct), goes_left_rank(max_distinct), vars(D),
          vars_rejected(D)
    {
        for (std::size_t t = 0; t < D; ++t)
            vars_rejected[t] = Generator::rejected(D - t);
    }
};

class TreeGrower {
public:
    TreeGrower(const Data &data, const Options &opts, Work &work, Generator &gen)
        : d_(data), o_(opts), w_(work), gen_(gen)
    {
    }

    mxArray *grow()
    {
        draw_sample();
        nodes_.clear();
        responses_.clear();
        left_sets_.clear();
        right_sets_.clear();
        nodes_.push(Node{0, static_cast<std::uint32_t>(d_.R), 0, 0, 0, 0, 0, 0, 0});
        for (std::size_t k = 0; k < nodes_.size(); ++k)
            visit(k);
        return tree_struct();
    }

private:
    const Data &d_;
    const Options &o_;
    Work &w_;
    Generator &gen_;
    host::Growing<Node> &nodes_ = w_.nodes;
    host::Growing<double> &responses_ = w_.responses;
    Work::ValueSets &left_sets_ = w_.left_sets, &right_sets_ = w_.right_sets;

    // Variable v read at the sample's positions: through their rows of
    // Theta or of X, chosen once per node rather than per run.
    struct Variable {
        const std::uint32_t *row;  // by position
        const std::uint32_t *rank; // by row
        const double *value;       // by row
        std::uint32_t rank_at(std::size_t position) const { return rank[row[position]]; }
        double value_at(std::size_t position) const { return value[row[position]]; }
    };
    Variable variable(std::size_t v) const
    {
        return {v < d_.p ? w_.conf.data() : w_.inst.data(), d_.rank + d_.rank_offset[v],
                d_.column(v)};
    }

    void draw_sample()
    {
        const std::size_t R = d_.R;
        const std::uint64_t rejected = Generator::rejected(R);
        for (std::size_t j = 0; j < R; ++j) {
            const std::size_t r =
                o_.bootstrap ? static_cast<std::size_t>(gen_.below(R, rejected)) : j;
            w_.conf[j] = static_cast<std::uint32_t>(d_.runs[r] - 1);
            w_.inst[j] = static_cast<std::uint32_t>(d_.runs[R + r] - 1);
            w_.y[j] = d_.y[r];
        }
    }

    void visit(std::size_t k)
    {
        const std::uint32_t begin = nodes_[k].begin;
        const std::size_t m = nodes_[k].end - begin;
        const std::size_t pos = begin;

        const bool all_equal =
            node_statistics(nodes_[k], w_.y.data() + begin, responses_.extend(m), m);
        if (static_cast<double>(m) < 2 * o_.min_leaf ||
            static_cast<double>(nodes_.size()) + 2 > o_.max_nodes || all_equal)
            return;

        // Variables in order 1..D when all are tried, else mtry drawn
        // without repetition, in the order drawn.
        const std::size_t D = d_.D;
        const std::size_t tried = static_cast<std::size_t>(o_.mtry);
        for (std::size_t v = 0; v < D; ++v)
            w_.vars[v] = static_cast<std::uint32_t>(v);
        if (tried < D)
            for (std::size_t t = 0; t < tried; ++t) {
                const std::uint64_t drawn = gen_.below(D - t, w_.vars_rejected[t]);
                const std::size_t pick = t + static_cast<std::size_t>(drawn);
                std::swap(w_.vars[t], w_.vars[pick]);
            }

        Split best;
        for (std::size_t t = 0; t < tried; ++t) {
            const std::size_t v = w_.vars[t];
            Split cand = d_.categorical(v) ? categorical_split(v, pos, m)
                                           : ordered_split(v, pos, m);
            if (cand.score > best.score) {
                best = cand;
                best.var = v;
                if (d_.categorical(v))
                    std::memcpy(w_.best_left_ranks.data(), w_.left_ranks.data(),
                                cand.n_left_cats * sizeof(std::uint32_t));
            }
        }
        if (!std::isfinite(best.score))
            return;
        split(k, best, m);
    }

    // The statistics as grow_tree computes them, sums in node order; the
    // responses are copied into `copy` on the way (the loop waits on its
    // sums anyway). Returns whether they are all equal. A node holds at
    // least one run.
    static bool node_statistics(Node &node, const double *yk, double *copy, std::size_t m)
    {
        double sum = 0, squares = 0;
        bool all_equal = true;
        for (std::size_t i = 0; i < m; ++i) {
            copy[i] = yk[i];
            sum += yk[i];
            squares += yk[i] * yk[i];
            all_equal &= yk[i] == yk[0];
        }
        const double mean = sum / static_cast<double>(m);
        double spread = 0;
        for (std::size_t i = 0; i < m; ++i)
            spread += (yk[i] - mean) * (yk[i] - mean);
        node.sum = sum;
        node.squares = squares;
        node.mean = mean;
        node.spread = spread / static_cast<double>(m);
        return all_equal;
    }

    // Orders the node's runs by variable v stably: w_.sorted gets keys
    // rank << 32 | i (i the run's place in the node), increasing, so ties
    // keep the node's order. Ranks are small integers, so no comparison
    // sort: a small-sort kernel for a handful of runs, a counting sort when
    // the ranks present span at most about four values per run (its pass
    // over the span then costs less than a radix sort's passes), else a
    // radix sort.
    void order_by(const Variable &var, std::size_t pos, std::size_t m)
    {
        std::uint64_t *sorted = w_.sorted.data();
        std::uint64_t *keys = w_.keys.data();
        const std::uint32_t *row = var.row + pos;
        std::uint32_t low = UINT32_MAX, high = 0;
        for (std::size_t i = 0; i < m; ++i) {
            const std::uint32_t r = var.rank[row[i]];
            low = std::min(low, r);
            high = std::max(high, r);
            keys[i] = std::uint64_t{r} << 32 | i;
        }
        const std::size_t span = std::size_t{high} - low + 1;
        if (m <= d_.small_sort.most) {
            d_.small_sort.sort(keys, m, sorted);
        } else if (span <= 4 * m + 256) {
            std::uint32_t *counts = w_.counts.data();
            std::fill(counts, counts + span + 1, 0u);
            for (std::size_t i = 0; i < m; ++i)
                ++counts[(keys[i] >> 32) - low + 1];
            for (std::size_t r = 0; r < span; ++r)
                counts[r + 1] += counts[r];
            for (std::size_t i = 0; i < m; ++i)
                sorted[counts[(keys[i] >> 32) - low]++] = keys[i];
        } else {
            radix_sort(keys, m, low, span);
        }
    }

    // Least significant digit first on rank - low, digits of at most 8
    // bits, all digits counted in one read; ends in w_.sorted.
    void radix_sort(std::uint64_t *keys, std::size_t m, std::uint32_t low, std::size_t span)
    {
        unsigned bits = 0;
        while (bits < 32 && (std::size_t{1} << bits) < span)
            ++bits;
        const unsigned passes = (bits + 7) / 8;
        const unsigned digit = (bits + passes - 1) / passes;
        const std::uint32_t mask = (1u << digit) - 1;
        const std::uint64_t low_key = std::uint64_t{low} << 32;
        std::uint32_t counts[4][257];
        for (unsigned pass = 0; pass < passes; ++pass)
            std::fill(counts[pass], counts[pass] + mask + 2, 0u);
        if (passes == 2) // the usual case, unrolled
            for (std::size_t i = 0; i < m; ++i) {
                const std::uint64_t r = (keys[i] - low_key) >> 32;
                ++counts[0][(r & mask) + 1];
                ++counts[1][((r >> digit) & mask) + 1];
            }
        else
            for (std::size_t i = 0; i < m; ++i) {
                const std::uint64_t r = (keys[i] - low_key) >> 32;
                for (unsigned pass = 0; pass < passes; ++pass)
                    ++counts[pass][((r >> (pass * digit)) & mask) + 1];
            }
        // Two buffers in turn, the first chosen so that the last pass
        // writes w_.sorted.
        std::uint64_t *to = passes % 2 ? w_.sorted.data() : w_.keys_spare.data();
        std::uint64_t *next = passes % 2 ? w_.keys_spare.data() : w_.sorted.data();
        const std::uint64_t *from = keys;
        for (unsigned pass = 0; pass < passes; ++pass) {
            std::uint32_t *count = counts[pass];
            for (std::uint32_t b = 0; b < mask; ++b)
                count[b + 1] += count[b];
            const unsigned shift = 32 + pass * digit;
            for (std::size_t i = 0; i < m; ++i)
                to[count[((from[i] - low_key) >> shift) & mask]++] = from[i];
            from = to;
            std::swap(to, next);
        }
    }

    Split ordered_split(std::size_t v, std::size_t pos, std::size_t m)
    {
        Split s;
        const Variable var = variable(v);
        order_by(var, pos, m);
        // Cumulative sums in sorted order, as grow_tree's cumsum. A prefix
        // ending inside a run of equal values cannot be cut: its sum is
        // stored as NaN, whose score no comparison accepts.
        const std::uint64_t *sorted = w_.sorted.data();
        const double *y = w_.y.data() + pos;
        double *prefix = w_.prefix.data();
        // (Added through a table: a branch on it would often be mispredicted.)
        const double mark[2] = {std::numeric_limits<double>::quiet_NaN(), 0.0};
        double S = 0;
        for (std::size_t i = 0; i + 1 < m; ++i) {
            S += y[static_cast<std::uint32_t>(sorted[i])];
            prefix[i] = S + mark[(sorted[i] >> 32) < (sorted[i + 1] >> 32)];
        }
        const double total = S + y[static_cast<std::uint32_t>(sorted[m - 1])];
        // Prefixes of min_leaf..m-min_leaf runs.
        const std::size_t fewest = static_cast<std::size_t>(o_.min_leaf);
        const std::size_t best_i = d_.best_prefix(prefix, fewest, m - fewest, m, total, s.score);
        if (best_i == 0)
            return s;
        const double lo = var.value_at(pos + static_cast<std::uint32_t>(sorted[best_i - 1]));
        const double hi = var.value_at(pos + static_cast<std::uint32_t>(sorted[best_i]));
        s.cut = lo + (hi - lo) / 2;
        if (std::isinf(hi - lo)) // the distance overflows: halve first
            s.cut = lo / 2 + hi / 2;
        if (!(s.cut > lo)) // neighbouring doubles: cut at hi
            s.cut = hi;
        // So lo < cut <= hi, and no run of the node lies between them: cut > x
        // sends left exactly the runs of ranks up to lo's.
        s.last_left_rank = static_cast<std::uint32_t>(sorted[best_i - 1] >> 32);
        return s;
    }

    Split categorical_split(std::size_t v, std::size_t pos, std::size_t m)
    {
        Split s;
        const Variable var = variable(v);
        double *n_cat = w_.n_cat.data();
        double *sum_cat = w_.sum_cat.data();
        double *mean_cat = w_.mean_cat.data();
        std::uint32_t *cats = w_.cats.data();
        std::size_t present = 0;
        const std::size_t distinct = d_.distinct[v];
        if (distinct <= FEW_CATEGORIES) { // the usual few: summed in lanes
            d_.sum_categories(var.row + pos, var.rank, w_.y.data() + pos, m, distinct, n_cat,
                              sum_cat);
            for (std::uint32_t r = 0; r < distinct; ++r) {
                cats[present] = r;
                present += n_cat[r] != 0;
            }
        } else {
            for (std::size_t i = 0; i < m; ++i) {
                const std::uint32_t r = var.rank_at(pos + i);
                if (n_cat[r] == 0)
                    cats[present++] = r;
                n_cat[r] += 1;
                sum_cat[r] += w_.y[pos + i];
            }
        }
        if (present >= 2) {
            // Present categories in increasing order, then stably by mean
            // response, NaN last as the host's sort puts it.
            for (std::size_t c = 0; c < present; ++c)
                mean_cat[cats[c]] = sum_cat[cats[c]] / n_cat[cats[c]];
            const auto by_mean = [mean_cat](std::uint32_t a, std::uint32_t b) {
                const double x = mean_cat[a], z = mean_cat[b];
                return x < z || (!std::isnan(x) && std::isnan(z));
            };
            if (present <= 32) { // the usual few: no buffer for a stable sort
                insertion_sort(cats, present, std::less<std::uint32_t>());
                insertion_sort(cats, present, by_mean);
            } else {
                std::sort(cats, cats + present);
                std::stable_sort(cats, cats + present, by_mean);
            }
            double total = 0;
            for (std::size_t c = 0; c < present; ++c)
                total += sum_cat[cats[c]];
            const double dm = static_cast<double>(m);
            double nl = 0, Sl = 0;
            std::size_t best_c = 0;
            for (std::size_t c = 1; c < present; ++c) {
                nl += n_cat[cats[c - 1]];
                Sl += sum_cat[cats[c - 1]];
                if (!(nl >= o_.min_leaf && dm - nl >= o_.min_leaf))
                    continue;
                const double right = total - Sl;
                const double score = Sl * Sl / nl + right * right / (dm - nl);
                if (score > s.score) {
                    s.score = score;
                    best_c = c;
                }
            }
            s.n_left_cats = best_c;
            std::memcpy(w_.left_ranks.data(), cats, best_c * sizeof(std::uint32_t));
        }
        for (std::size_t c = 0; c < present; ++c) {
            n_cat[cats[c]] = 0;
            sum_cat[cats[c]] = 0;
        }
        return s;
    }

    void split(std::size_t k, const Split &best, std::size_t m)
    {
        const std::size_t v = best.var;
        const std::size_t begin = nodes_[k].begin;
        std::size_t n_left;
        if (d_.categorical(v)) {
            const std::size_t nl = best.n_left_cats;
            std::uint32_t *left = w_.best_left_ranks.data();
            std::sort(left, left + nl); // ranks increase with the categories
            const std::size_t L = static_cast<std::size_t>(d_.levels[v]);
            std::int32_t *lp = left_sets_.values.extend(nl);
            std::int32_t *rp = right_sets_.values.extend(L - nl);
            left_sets_.sizes.push(static_cast<double>(nl));
            right_sets_.sizes.push(static_cast<double>(L - nl));
            const double *values = d_.value_of_rank + d_.rank_offset[v];
            std::size_t next = 0, r_out = 0;
            for (std::size_t c = 0; c < nl; ++c) {
                const std::int32_t category = static_cast<std::int32_t>(values[left[c]]);
                lp[c] = category;
                for (; next + 1 < static_cast<std::size_t>(category); ++next)
                    rp[r_out++] = static_cast<std::int32_t>(next + 1);
                next = static_cast<std::size_t>(category);
                w_.goes_left_rank[left[c]] = 1;
            }
            for (; next < L; ++next)
                rp[r_out++] = static_cast<std::int32_t>(next + 1);
            nodes_[k].var = -static_cast<std::int32_t>(v + 1);
            nodes_[k].cut = static_cast<double>(left_sets_.sizes.size());
            const Variable var = variable(v);
            const unsigned char *goes_left = w_.goes_left_rank.data();
            n_left = partition(begin, m, [var, goes_left](std::size_t j) {
                return goes_left[var.rank_at(j)] != 0;
            });
            for (std::size_t c = 0; c < nl; ++c)
                w_.goes_left_rank[left[c]] = 0;
        } else {
            nodes_[k].var = static_cast<std::int32_t>(v + 1);
            nodes_[k].cut = best.cut;
            const std::uint32_t last = best.last_left_rank;
            const Variable var = variable(v);
            n_left = partition(begin, m, [var, last](std::size_t j) {
                return var.rank_at(j) <= last; // a smaller table than the values'
            });
        }
        const std::uint32_t middle = static_cast<std::uint32_t>(begin + n_left);
        nodes_[k].first_child = static_cast<std::int32_t>(nodes_.size() + 1);
        nodes_.push(Node{nodes_[k].begin, middle, 0, 0, 0, 0, 0, 0, 0});
        nodes_.push(Node{middle, nodes_[k].end, 0, 0, 0, 0, 0, 0, 0});
    }

    // Reorders the runs begin..begin+m-1 so that those `goes_left` accepts
    // come first, each side keeping its order; returns how many went left.
    // Both stores, then one count moves: a branch on the side would be
    // mispredicted half the time.
    template <class GoesLeft>
    std::size_t partition(std::size_t begin, std::size_t m, GoesLeft goes_left)
    {
        std::uint32_t *conf = w_.conf.data() + begin, *inst = w_.inst.data() + begin;
        double *y = w_.y.data() + begin;
        std::uint32_t *conf_right = w_.conf_spare.data(), *inst_right = w_.inst_spare.data();
        double *y_right = w_.y_spare.data();
        std::size_t n_left = 0, n_right = 0;
        for (std::size_t i = 0; i < m; ++i) {
            const bool left = goes_left(begin + i);
            const std::uint32_t c = conf[i], j = inst[i];
            const double r = y[i];
            conf[n_left] = c;
            inst[n_left] = j;
            y[n_left] = r;
            conf_right[n_right] = c;
            inst_right[n_right] = j;
            y_right[n_right] = r;
            n_left += left;
            n_right += !left;
        }
        std::memcpy(conf + n_left, conf_right, n_right * sizeof *conf);
        std::memcpy(inst + n_left, inst_right, n_right * sizeof *inst);
        std::memcpy(y + n_left, y_right, n_right * sizeof *y);
        return n_left;
    }

    // A rows-by-cols array of zeros of class `cls` made by the host, for
    // the arrays cut into pieces: an array made here would be copied on its
    // way into mat2cell, and again on its way out. The host's zeros makes a
    // fresh array, ours to fill.
    static mxArray *host_zeros(std::size_t rows, std::size_t cols, const char *cls, mxClassID id)
    {
        mxArray *args[] = {mxCreateDoubleScalar(static_cast<double>(rows)),
                           mxCreateDoubleScalar(static_cast<double>(cols)), mxCreateString(cls)};
        mxArray *zeros = nullptr;
        mexCallMATLAB(1, &zeros, 3, args, "zeros");
        for (mxArray *arg : args)
            mxDestroyArray(arg);
        if (!(mxGetClassID(zeros) == id && !mxIsComplex(zeros) && !mxIsSparse(zeros) &&
              mxGetM(zeros) == rows && host::numel(zeros) == rows * cols &&
              (rows * cols == 0 || mxGetData(zeros) != nullptr)))
            fail("the host's zeros, shadowed on the path, returned something else than a row "
                 "of zeros.");
        return zeros;
    }

    // The host's mat2cell or reshape `name`(a, r, c), checked to be a cell
    // of `pieces` cells. Takes its arguments.
    static mxArray *host_cells(const char *name, mxArray *a, mxArray *r, mxArray *c,
                               std::size_t pieces)
    {
        mxArray *args[] = {a, r, c};
        mxArray *cells = nullptr;
        mexCallMATLAB(1, &cells, 3, args, name);
        for (mxArray *arg : args)
            mxDestroyArray(arg);
        if (!(mxIsCell(cells) && host::numel(cells) == pieces))
            fail("the host's mat2cell or reshape, shadowed on the path, returned something "
                 "else than a cell.");
        return cells;
    }

    // A rows-by-cols cell (filled column by column) of the pieces of `row`,
    // as many as `counts` (a host row) has elements, of counts[k] elements
    // each, cut by the host's mat2cell: a host array made here per piece
    // costs about three times as much. Takes both rows.
    static mxArray *cut_into_cells(mxArray *row, mxArray *counts, std::size_t rows,
                                   std::size_t cols)
    {
        const std::size_t pieces = host::numel(counts);
        if (pieces == 0) {
            mxDestroyArray(row);
            mxDestroyArray(counts);
            return mxCreateCellMatrix(static_cast<mwSize>(rows), static_cast<mwSize>(cols));
        }
        mxArray *cut = host_cells("mat2cell", row, mxCreateDoubleScalar(1), counts, pieces);
        return host_cells("reshape", cut, mxCreateDoubleScalar(static_cast<double>(rows)),
                          mxCreateDoubleScalar(static_cast<double>(cols)), pieces);
    }

    // ysub: node k's responses, a 1-by-n_k row, in cell k.
    mxArray *node_responses()
    {
        const std::size_t N = nodes_.size();
        mxArray *all = host_zeros(1, responses_.size(), "double", mxDOUBLE_CLASS);
        std::memcpy(mxGetPr(all), responses_.data(), responses_.size() * sizeof(double));
        mxArray *counts = host_zeros(1, N, "double", mxDOUBLE_CLASS);
        double *sizes = mxGetPr(counts);
        for (std::size_t k = 0; k < N; ++k)
            sizes[k] = static_cast<double>(nodes_[k].end - nodes_[k].begin);
        return cut_into_cells(all, counts, N, 1);
    }

    // catsplit: row r holds split r's left and right value sets, 1-by-n
    // int32 rows.
    mxArray *value_sets()
    {
        const std::size_t M = left_sets_.sizes.size();
        const std::size_t n_left = left_sets_.values.size();
        const std::size_t n_right = right_sets_.values.size();
        mxArray *all = host_zeros(1, n_left + n_right, "int32", mxINT32_CLASS);
        mxArray *counts = host_zeros(1, 2 * M, "double", mxDOUBLE_CLASS);
        // (copy_n, not memcpy: without categorical splits these are all
        // empty, and their pointers null.)
        std::int32_t *values = static_cast<std::int32_t *>(mxGetData(all));
        std::copy_n(left_sets_.values.data(), n_left, values);
        std::copy_n(right_sets_.values.data(), n_right, values + n_left);
        double *sizes = static_cast<double *>(mxGetData(counts));
        std::copy_n(left_sets_.sizes.data(), M, sizes);
        std::copy_n(right_sets_.sizes.data(), M, sizes + M);
        return cut_into_cells(all, counts, M, 2);
    }

    // catsplit's value sets again, packed: their values in the cell's order
    // (left sets, then right sets) in an int32 column, and an M-by-2 int32
    // matrix of where each set ends in it (the running total of the sets'
    // lengths). The forest modules read these two arrays instead of opening
    // every cell of catsplit, which in Octave costs more than a small
    // batch's whole walk.
    mxArray *packed_set_ends()
    {
        const std::size_t M = left_sets_.sizes.size();
        mxArray *ends = mxCreateNumericMatrix(static_cast<mwSize>(M), 2, mxINT32_CLASS, mxREAL);
        std::int32_t *out = static_cast<std::int32_t *>(mxGetData(ends));
        double end = 0;
        for (std::size_t i = 0; i < 2 * M; ++i) {
            end += i < M ? left_sets_.sizes[i] : right_sets_.sizes[i - M];
            out[i] = static_cast<std::int32_t>(end);
        }
        return ends;
    }

    mxArray *packed_set_values()
    {
        const std::size_t n_left = left_sets_.values.size();
        const std::size_t n_right = right_sets_.values.size();
        mxArray *values = mxCreateNumericMatrix(static_cast<mwSize>(n_left + n_right), 1,
                                                mxINT32_CLASS, mxREAL);
        std::int32_t *out = static_cast<std::int32_t *>(mxGetData(values));
        std::copy_n(left_sets_.values.data(), n_left, out);
        std::copy_n(right_sets_.values.data(), n_right, out + n_left);
        return values;
    }

    // The tree in grow_tree's fields, classes, shapes and order.
    mxArray *tree_struct()
    {
        const char *fields[] = {"var",       "cut",      "children",      "leftchildren",
                                "rightchildren", "catsplit", "ysub",       "nodepred",
                                "stddev",    "n_leaf",   "g_leaf",        "m_leaf",
                                "leaf_mean", "leaf_var", "theta_columns", "levels",
                                "catsplit_ends", "catsplit_values"};
        enum { VAR, CUT, CHILDREN, LEFT, RIGHT, CATSPLIT, YSUB, PRED, STDDEV, COUNT, SUM, SQUARES,
               MEAN, SPREAD, THETA_COLUMNS, LEVELS, CATSPLIT_ENDS, CATSPLIT_VALUES, NUM_FIELDS };
        const std::size_t N = nodes_.size();
        // The per-node fields are the columns of two host matrices, one
        // int32 (var, children, leftchildren, rightchildren, n_leaf), one
        // double (the rest), cut apart by the host's mat2cell: arrays made
        // here would be copied on their way out.
        mxArray *ints = host_zeros(N, 6, "int32", mxINT32_CLASS);
        mxArray *reals = host_zeros(N, 7, "double", mxDOUBLE_CLASS);
        std::int32_t *var_p = static_cast<std::int32_t *>(mxGetData(ints));
        std::int32_t *kids = var_p + N, *left_p = var_p + 3 * N, *right_p = var_p + 4 * N;
        std::int32_t *count_p = var_p + 5 * N;
        double *cut_p = mxGetPr(reals);
        double *pred_p = cut_p + N, *stddev_p = cut_p + 2 * N, *sum_p = cut_p + 3 * N;
        double *squares_p = cut_p + 4 * N, *mean_p = cut_p + 5 * N, *var_leaf_p = cut_p + 6 * N;
        for (std::size_t k = 0; k < N; ++k) {
            const Node &node = nodes_[k];
            var_p[k] = node.var;
            cut_p[k] = node.cut;
            const std::int32_t first = node.var != 0 ? node.first_child : 0;
            const std::int32_t second = node.var != 0 ? node.first_child + 1 : 0;
            kids[k] = left_p[k] = first;
            kids[N + k] = right_p[k] = second;

            pred_p[k] = node.mean;
            stddev_p[k] = std::sqrt(node.spread);
            count_p[k] = static_cast<std::int32_t>(node.end - node.begin);
            sum_p[k] = node.sum;
            squares_p[k] = node.squares;
            mean_p[k] = node.mean;
            var_leaf_p[k] = node.spread;
        }

        mxArray *tree = mxCreateStructMatrix(1, 1, NUM_FIELDS, fields);
        const int int_fields[] = {VAR, CHILDREN, LEFT, RIGHT, COUNT};
        const double int_widths[] = {1, 2, 1, 1, 1};
        set_columns(tree, ints, N, int_widths, int_fields, 5);
        const int real_fields[] = {CUT, PRED, STDDEV, SUM, SQUARES, MEAN, SPREAD};
        const double real_widths[] = {1, 1, 1, 1, 1, 1, 1};
        set_columns(tree, reals, N, real_widths, real_fields, 7);
        mxSetFieldByNumber(tree, 0, CATSPLIT, value_sets());
        mxSetFieldByNumber(tree, 0, YSUB, node_responses());
        // What the tree was fitted on, so that the forest modules can check
        // the shape and the categories of the data they route before walking.
        mxSetFieldByNumber(tree, 0, THETA_COLUMNS,
                           mxCreateDoubleScalar(static_cast<double>(d_.p)));
        mxArray *levels = mxCreateDoubleMatrix(1, static_cast<mwSize>(d_.D), mxREAL);
        std::copy_n(d_.levels, d_.D, mxGetPr(levels));
        mxSetFieldByNumber(tree, 0, LEVELS, levels);
        mxSetFieldByNumber(tree, 0, CATSPLIT_ENDS, packed_set_ends());
        mxSetFieldByNumber(tree, 0, CATSPLIT_VALUES, packed_set_values());
        return tree;
    }

    // Cuts the N-row host matrix `columns` into pieces of `widths` columns
    // and makes them fields `fields` of the struct `tree`. Takes `columns`.
    static void set_columns(mxArray *tree, mxArray *columns, std::size_t N, const double *widths,
                            const int *fields, std::size_t count)
    {
        mxArray *counts = mxCreateDoubleMatrix(1, static_cast<mwSize>(count), mxREAL);
        std::copy_n(widths, count, mxGetPr(counts));
        mxArray *cut = host_cells("mat2cell", columns,
                                  mxCreateDoubleScalar(static_cast<double>(N)), counts, count);
        for (std::size_t j = 0; j < count; ++j) {
            const mwIndex at = static_cast<mwIndex>(j);
            mxSetFieldByNumber(tree, 0, fields[j], mxGetCell(cut, at));
            mxSetCell(cut, at, nullptr); // the field owns it now
        }
        mxDestroyArray(cut);
    }
};

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

Options read_options(const mxArray *opts, std::size_t D)
{
    Options o;
    o.mtry = std::max(1.0, std::floor(static_cast<double>(D) / 3));
    if (opts == nullptr)
        return o;
    require(mxIsStruct(opts) && host::numel(opts) == 1,
            "opts must be a 1-by-1 struct (fields num_trees, mtry, min_leaf, max_nodes, "
            "bootstrap, seed; all optional).");
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
        } else {
            fail_fmt("opts has an unknown field '%s' (known: num_trees, mtry, min_leaf, "
                     "max_nodes, bootstrap, seed).",
                     name);
        }
    }
    // A huge min_leaf only makes every tree a leaf; kept in range of a count.
    o.min_leaf = std::min(o.min_leaf, 4294967296.0);
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

// Dense ranks of one column's values, and the distinct values increasing.
std::uint32_t rank_column(const double *values, std::size_t rows, std::uint32_t *order,
                          std::uint32_t *rank, double *value_of_rank)
{
    for (std::size_t i = 0; i < rows; ++i)
        order[i] = static_cast<std::uint32_t>(i);
    std::sort(order, order + rows,
              [values](std::uint32_t a, std::uint32_t b) { return values[a] < values[b]; });
    std::uint32_t distinct = 0;
    for (std::size_t t = 0; t < rows; ++t) {
        const double x = values[order[t]];
        if (t == 0 || value_of_rank[distinct - 1] < x)
            value_of_rank[distinct++] = x;
        rank[order[t]] = distinct - 1;
    }
    return distinct;
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    using namespace host;

    require(nrhs == 5 || nrhs == 6, USAGE);
    require(nlhs <= 1, "Too many output arguments: forestfit returns one cell of trees.");

    Data d;
    const mxArray *Theta = prhs[IN_THETA];
    d.Theta = data_matrix(Theta, "Theta", "Theta must be a real double K-by-p matrix.");
    d.K = rows(Theta);
    d.p = cols(Theta);
    const mxArray *X = prhs[IN_X];
    d.X = data_matrix(X, "X", "X must be a real double N-by-d matrix (d may be 0).");
    d.N = rows(X);
    d.d = cols(X);
    d.D = d.p + d.d;
    require(d.D >= 1, "Theta and X have no columns: the trees need at least one variable.");

    const mxArray *runs = prhs[IN_RUNS];
    require(is_real_int32(runs) && is_2d(runs) && cols(runs) == 2,
            "runs must be an R-by-2 int32 matrix (rows of Theta, rows of X).");
    d.R = rows(runs);
    require(d.R >= 1, "runs has no rows: there is nothing to fit.");
    if (d.R > (std::size_t{1} << 30))
        fail_fmt("runs has %zu rows, more than the 2^30 a tree's int32 node numbers allow.",
                 d.R);
    d.runs = int32s(runs).data();
    for (std::size_t j = 0; j < d.R; ++j) {
        const std::int32_t c = d.runs[j], i = d.runs[d.R + j];
        if (c < 1 || static_cast<std::size_t>(c) > d.K)
            fail_fmt("runs(%zu, 1) = %d is not a row of Theta (1..%zu).", j + 1, c, d.K);
        if (i < 1 || static_cast<std::size_t>(i) > d.N)
            fail_fmt("runs(%zu, 2) = %d is not a row of X (1..%zu).", j + 1, i, d.N);
    }

    const mxArray *y = prhs[IN_Y];
    require(is_real_double(y) && is_column(y, d.R),
            "y must be a real double R-by-1 vector, one response per run.");
    require_full(y, "y");
    d.y = mxGetPr(y);
    for (std::size_t j = 0; j < d.R; ++j)
        if (!std::isfinite(d.y[j]))
            fail_fmt("y(%zu) is %s; responses must be finite.", j + 1, nonfinite_name(d.y[j]));

    const mxArray *levels = prhs[IN_LEVELS];
    if (!(is_real_double(levels) && is_2d(levels) && numel(levels) == d.D &&
          std::min(rows(levels), cols(levels)) == 1))
        fail_fmt("levels must be a real double 1-by-%zu vector (one entry per column of Theta "
                 "and X).",
                 d.D);
    require_full(levels, "levels");
    d.levels = mxGetPr(levels);
    double max_level = 0;
    for (std::size_t v = 0; v < d.D; ++v) {
        const double L = d.levels[v];
        if (!(is_whole(L) && L >= 0 && L <= INT32_MAX)) {
            char shown[32];
            show_value(L, shown, sizeof shown);
            fail_fmt("levels(%zu) = %s; it must be 0 (ordered) or a number of categories "
                     "1..2^31-1.",
                     v + 1, shown);
        }
        max_level = std::max(max_level, L);
    }
    for (std::size_t v = 0; v < d.D; ++v) {
        if (v < d.p)
            check_column(d.column(v), d.K, d.levels[v], "Theta", v, v);
        else
            check_column(d.column(v), d.N, d.levels[v], "X", v - d.p, v);
    }

    const Options o = read_options(nrhs == 6 ? prhs[IN_OPTS] : nullptr, d.D);

    // Scratch: per run 64 bytes, per data value 16, per row 4 once; the
    // output holds at least the root's responses per tree and a value set
    // of the largest categorical variable.
    const double values = static_cast<double>(d.K) * d.p + static_cast<double>(d.N) * d.d;
    const double max_rows = static_cast<double>(std::max(d.K, d.N));
    const double bytes = 64.0 * d.R + 16.0 * values + 48.0 * max_rows + 8.0 * o.num_trees * d.R +
                         4.0 * max_level;
    if (exceeds_memory(bytes))
        fail_fmt("the fit needs about %.3g bytes of memory, more than this machine has.", bytes);

    // Rank every column once.
    Scratch<std::size_t> rank_offset(d.D);
    Scratch<std::uint32_t> rank(static_cast<std::size_t>(values));
    Scratch<double> value_of_rank(static_cast<std::size_t>(values));
    Scratch<std::uint32_t> order(std::max(d.K, d.N));
    Scratch<std::uint32_t> distinct_of(d.D);
    std::size_t offset = 0;
    std::size_t max_distinct = 1;
    for (std::size_t v = 0; v < d.D; ++v) {
        const std::size_t n = v < d.p ? d.K : d.N;
        rank_offset[v] = offset;
        const std::size_t distinct = rank_column(d.column(v), n, order.data(),
                                                 rank.data() + offset, value_of_rank.data() + offset);
        distinct_of[v] = static_cast<std::uint32_t>(distinct);
        max_distinct = std::max(max_distinct, distinct);
        offset += n;
    }
    d.rank = rank.data();
    d.rank_offset = rank_offset.data();
    d.value_of_rank = value_of_rank.data();
    d.best_prefix = dispatched_best_prefix();
    d.small_sort = dispatched_small_sort();
    d.sum_categories = dispatched_sum_categories();
    d.distinct = distinct_of.data();

    const std::size_t T = static_cast<std::size_t>(o.num_trees);
    mxArray *forest = mxCreateCellMatrix(1, static_cast<mwSize>(T));
    Work work(d.R, max_distinct, d.D);
    Generator gen(static_cast<std::uint64_t>(static_cast<std::int64_t>(o.seed)));
    for (std::size_t t = 0; t < T; ++t) {
        TreeGrower grower(d, o, work, gen);
        mxSetCell(forest, static_cast<mwIndex>(t), grower.grow());
    }

    const Outputs out(nlhs, plhs);
    out.set(0, forest);
}
