// forestfit's tree grower: one regression tree grown from a training set on
// plain buffers. No host calls, so that trees can grow on worker threads;
// memory comes from the C++ library, whose bad_alloc the caller catches.
//
// The sample's runs (row of Theta, row of X, response) sit in node order: a
// node's runs are one contiguous range that its split partitions stably, so
// reads stay within the node and every node lists its runs in the order of
// the tree's sample. Each variable is ranked once per fit (dense ranks of its
// distinct values), so a node orders its runs by sorting small integers.
#pragma once

#include "generator.hpp"
#include "growntree.hpp"
#include "sorts.hpp"
#include "split_kernels.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace core::fit {

// The runs and the ranked variables, read in place or built once per fit.
// Variables 0..theta_cols-1 are Theta's columns, the rest X's.
struct TrainingSet {
    const double *theta;
    std::size_t n_configs, theta_cols;
    const double *x;
    std::size_t n_instances, x_cols;
    const std::int32_t *runs; // n_runs-by-2, 1-based rows of Theta and X
    std::size_t n_runs;
    const double *y;
    const double *levels; // per variable: 0 ordered, L categorical
    std::size_t n_vars;
    // Per variable v: rank[rank_offset[v] + row] is the dense rank of the
    // row's value among the column's distinct values (0-based),
    // value_of_rank[rank_offset[v] + rank] the value (increasing in rank),
    // distinct[v] the number of ranks.
    const std::uint32_t *rank;
    const std::size_t *rank_offset;
    const double *value_of_rank;
    const std::uint32_t *distinct;
    std::size_t max_distinct;
    SplitKernels kernels;

    bool categorical(std::size_t v) const { return levels[v] > 0; }
    const double *column(std::size_t v) const
    {
        return v < theta_cols ? theta + v * n_configs : x + (v - theta_cols) * n_instances;
    }
    std::size_t column_rows(std::size_t v) const
    {
        return v < theta_cols ? n_configs : n_instances;
    }
    // Variable v's value at run j's pair.
    double value(std::size_t v, std::size_t j) const
    {
        return v < theta_cols ? theta[v * n_configs + static_cast<std::size_t>(runs[j] - 1)]
                              : x[(v - theta_cols) * n_instances +
                                  static_cast<std::size_t>(runs[n_runs + j] - 1)];
    }
};

struct GrowOptions {
    std::size_t mtry;
    double min_leaf;
    double max_nodes; // Inf: no limit
    bool bootstrap;
    KeptResponses kept;
};

// The best split found so far at a node.
struct Split {
    double score = -std::numeric_limits<double>::infinity();
    std::size_t var = 0;
    double cut = 0;
    std::size_t n_left_cats = 0;      // categorical: the ranks sent left, in left_ranks
    std::uint32_t last_left_rank = 0; // ordered: the greatest rank sent left
};

// One thread's working buffers, taken once and kept from tree to tree:
// about 68 bytes per run and 41 per rank of the widest variable.
struct TreeScratch {
    pages::Buffer<std::uint32_t> conf, inst; // the sample's rows of Theta and X
    pages::Buffer<double> y;                 // and responses, in node order
    pages::Buffer<std::uint32_t> conf_spare, inst_spare; // partitions' right sides
    pages::Buffer<double> y_spare;
    pages::Buffer<std::uint64_t> keys, sorted, keys_spare; // a node's runs by a variable
    pages::Buffer<double> prefix; // cumulative responses in that order, and room
                                // for a vector scorer's last vector
    pages::Buffer<std::uint32_t> counts; // counting sort, per rank
    pages::Buffer<double> n_cat, sum_cat, mean_cat; // categorical statistics, per rank
    pages::Buffer<std::uint32_t> cats, left_ranks, best_left_ranks;
    pages::Buffer<unsigned char> goes_left_rank;
    std::vector<std::uint32_t> vars;
    std::vector<std::uint64_t> vars_rejected; // the t-th draw's bound, from n_vars - t
    pages::Buffer<std::uint32_t> drawn; // per run, how often the sample drew it

    static constexpr double BYTES_PER_RUN = 4 * 4 + 8 * 2 + 8 * 3 + 8 + 4;
    static constexpr double BYTES_PER_RANK = 4 + 8 * 3 + 4 * 3 + 1;
    static double bytes(std::size_t n_runs, std::size_t max_distinct, std::size_t n_vars)
    {
        return BYTES_PER_RUN * static_cast<double>(n_runs) +
               BYTES_PER_RANK * static_cast<double>(max_distinct) +
               12.0 * static_cast<double>(n_vars) + 64;
    }

    TreeScratch(std::size_t n_runs, std::size_t max_distinct, std::size_t n_vars)
        : conf(n_runs), inst(n_runs), y(n_runs), conf_spare(n_runs), inst_spare(n_runs),
          y_spare(n_runs), keys(n_runs), sorted(n_runs), keys_spare(n_runs), prefix(n_runs + 4),
          counts(max_distinct + 1), n_cat(max_distinct), sum_cat(max_distinct),
          mean_cat(max_distinct), cats(max_distinct), left_ranks(max_distinct),
          best_left_ranks(max_distinct), goes_left_rank(max_distinct), vars(n_vars),
          vars_rejected(n_vars), drawn(n_runs)
    {
        for (std::size_t t = 0; t < n_vars; ++t)
            vars_rejected[t] = Generator::rejected(n_vars - t);
    }
};

class TreeGrower {
public:
    // `stop`, when set, ends the growing early (grow returns false).
    // `worked` counts the runs of the nodes visited so far, a measure of the
    // work done, for the caller's progress report.
    TreeGrower(const TrainingSet &data, const GrowOptions &opts, TreeScratch &scratch,
               Generator &gen, const std::atomic<bool> &stop, std::atomic<std::size_t> &worked)
        : data_(data), opts_(opts), w_(scratch), gen_(gen), stop_(stop), worked_(worked)
    {
    }

    // Grows a tree into `tree` (cleared first); false if stopped.
    bool grow(GrownTree &tree)
    {
        tree_ = &tree;
        tree = GrownTree();
        // Room for the most nodes the tree may have (each leaf holds at
        // least min_leaf runs) and for the leaves' responses, so that the
        // buffers never move: pages not filled are never touched.
        const double R = static_cast<double>(data_.n_runs);
        tree.nodes.reserve(static_cast<std::size_t>(
            std::min(opts_.max_nodes, std::max(1.0, 2 * std::floor(R / opts_.min_leaf) - 1))));
        if (opts_.kept == KeptResponses::leaves)
            tree.responses.reserve(data_.n_runs);
        draw_sample();
        tree.nodes.push_back(Node{0, static_cast<std::uint32_t>(data_.n_runs), 0, 0, 0, 0, 0, 0, 0});
        for (std::size_t k = 0; k < tree.nodes.size(); ++k) {
            if (stop_.load(std::memory_order_relaxed))
                return false;
            visit(k);
        }
        if (opts_.kept == KeptResponses::leaves)
            keep_leaf_responses();
        return true;
    }

private:
    const TrainingSet &data_;
    const GrowOptions &opts_;
    TreeScratch &w_;
    Generator &gen_;
    const std::atomic<bool> &stop_;
    std::atomic<std::size_t> &worked_;
    GrownTree *tree_ = nullptr;

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
        return {v < data_.theta_cols ? w_.conf.data() : w_.inst.data(),
                data_.rank + data_.rank_offset[v], data_.column(v)};
    }

    void draw_sample()
    {
        const std::size_t R = data_.n_runs;
        const std::uint64_t rejected = Generator::rejected(R);
        std::fill(w_.drawn.begin(), w_.drawn.end(), 0);
        for (std::size_t j = 0; j < R; ++j) {
            const std::size_t r =
                opts_.bootstrap ? static_cast<std::size_t>(gen_.below(R, rejected)) : j;
            ++w_.drawn[r];
            w_.conf[j] = static_cast<std::uint32_t>(data_.runs[r] - 1);
            w_.inst[j] = static_cast<std::uint32_t>(data_.runs[R + r] - 1);
            w_.y[j] = data_.y[r];
        }
    }

    // A leaf's runs are never moved again, so its responses are read from
    // the sample once the tree is grown.
    void keep_leaf_responses()
    {
        for (const Node &node : tree_->nodes)
            if (node.is_leaf())
                tree_->responses.insert(tree_->responses.end(), w_.y.begin() + node.begin,
                                        w_.y.begin() + node.end);
    }

    void visit(std::size_t k)
    {
        auto &nodes = tree_->nodes;
        const std::size_t begin = nodes[k].begin;
        const std::size_t m = nodes[k].run_count();

        if (opts_.kept == KeptResponses::all)
            tree_->responses.insert(tree_->responses.end(), w_.y.begin() + begin,
                                    w_.y.begin() + begin + m);
        const bool all_equal = node_statistics(nodes[k], w_.y.data() + begin, m);
        worked_.store(worked_.load(std::memory_order_relaxed) + m, std::memory_order_relaxed);
        if (static_cast<double>(m) < 2 * opts_.min_leaf ||
            static_cast<double>(nodes.size()) + 2 > opts_.max_nodes || all_equal)
            return;

        const std::size_t tried = draw_variables();
        Split best;
        for (std::size_t t = 0; t < tried; ++t) {
            const std::size_t v = w_.vars[t];
            Split candidate = data_.categorical(v) ? categorical_split(v, begin, m)
                                                   : ordered_split(v, begin, m);
            if (candidate.score > best.score) {
                best = candidate;
                best.var = v;
                if (data_.categorical(v))
                    std::memcpy(w_.best_left_ranks.data(), w_.left_ranks.data(),
                                candidate.n_left_cats * sizeof(std::uint32_t));
            }
        }
        if (!std::isfinite(best.score))
            return;
        split(k, best, m);
    }

    // Variables in order 1..n_vars when all are tried, else mtry drawn
    // without repetition, in the order drawn, into w_.vars; returns mtry.
    std::size_t draw_variables()
    {
        const std::size_t D = data_.n_vars;
        const std::size_t tried = opts_.mtry;
        for (std::size_t v = 0; v < D; ++v)
            w_.vars[v] = static_cast<std::uint32_t>(v);
        if (tried < D)
            for (std::size_t t = 0; t < tried; ++t) {
                const std::uint64_t drawn = gen_.below(D - t, w_.vars_rejected[t]);
                const std::size_t pick = t + static_cast<std::size_t>(drawn);
                std::swap(w_.vars[t], w_.vars[pick]);
            }
        return tried;
    }

    // The statistics as grow_tree computes them, sums in node order.
    // Returns whether the responses are all equal. A node holds at least
    // one run.
    static bool node_statistics(Node &node, const double *yk, std::size_t m)
    {
        double sum = 0, squares = 0;
        bool all_equal = true;
        for (std::size_t i = 0; i < m; ++i) {
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

    Split ordered_split(std::size_t v, std::size_t begin, std::size_t m)
    {
        Split s;
        const Variable var = variable(v);
        order_by_rank(var.row + begin, var.rank, m, data_.kernels.small_sort,
                      {w_.keys.data(), w_.sorted.data(), w_.keys_spare.data(), w_.counts.data()});
        // Cumulative sums in sorted order, as grow_tree's cumsum. A prefix
        // ending inside a run of equal values cannot be cut: its sum is
        // stored as NaN, whose score no comparison accepts.
        const std::uint64_t *sorted = w_.sorted.data();
        const double *y = w_.y.data() + begin;
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
        const std::size_t fewest = static_cast<std::size_t>(opts_.min_leaf);
        const std::size_t best_i =
            data_.kernels.best_prefix(prefix, fewest, m - fewest, m, total, s.score);
        if (best_i == 0)
            return s;
        const double lo = var.value_at(begin + static_cast<std::uint32_t>(sorted[best_i - 1]));
        const double hi = var.value_at(begin + static_cast<std::uint32_t>(sorted[best_i]));
        s.cut = cut_between(lo, hi);
        // No run of the node lies between lo and hi, so cut > x sends left
        // exactly the runs of ranks up to lo's.
        s.last_left_rank = static_cast<std::uint32_t>(sorted[best_i - 1] >> 32);
        return s;
    }

    // Halfway between lo < hi, so that lo < cut <= hi.
    static double cut_between(double lo, double hi)
    {
        double cut = lo + (hi - lo) / 2;
        if (std::isinf(hi - lo)) // the distance overflows: halve first
            cut = lo / 2 + hi / 2;
        if (!(cut > lo)) // neighbouring doubles: cut at hi
            cut = hi;
        return cut;
    }

    // The counts and sums per rank of the node's present categories, their
    // ranks in w_.cats in order of first appearance or of rank; returns how
    // many are present.
    std::size_t sum_categories(const Variable &var, std::size_t v, std::size_t begin,
                               std::size_t m)
    {
        double *n_cat = w_.n_cat.data();
        double *sum_cat = w_.sum_cat.data();
        std::uint32_t *cats = w_.cats.data();
        std::size_t present = 0;
        const std::size_t distinct = data_.distinct[v];
        if (distinct <= FEW_CATEGORIES) { // the usual few: summed in lanes
            data_.kernels.sum_categories(var.row + begin, var.rank, w_.y.data() + begin, m,
                                         distinct, n_cat, sum_cat);
            for (std::uint32_t r = 0; r < distinct; ++r) {
                cats[present] = r;
                present += n_cat[r] != 0;
            }
        } else {
            for (std::size_t i = 0; i < m; ++i) {
                const std::uint32_t r = var.rank_at(begin + i);
                if (n_cat[r] == 0)
                    cats[present++] = r;
                n_cat[r] += 1;
                sum_cat[r] += w_.y[begin + i];
            }
        }
        return present;
    }

    Split categorical_split(std::size_t v, std::size_t begin, std::size_t m)
    {
        Split s;
        const Variable var = variable(v);
        double *n_cat = w_.n_cat.data();
        double *sum_cat = w_.sum_cat.data();
        double *mean_cat = w_.mean_cat.data();
        std::uint32_t *cats = w_.cats.data();
        const std::size_t present = sum_categories(var, v, begin, m);
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
                if (!(nl >= opts_.min_leaf && dm - nl >= opts_.min_leaf))
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

    // Records the categories of ranks best_left_ranks[0..nl) (increasing)
    // as the split's left set; every other category goes right.
    void record_left_set(std::size_t v, std::size_t nl)
    {
        GrownTree &tree = *tree_;
        const std::uint32_t *left = w_.best_left_ranks.data();
        tree.left_sizes.push_back(static_cast<std::uint32_t>(nl));
        const double *values = data_.value_of_rank + data_.rank_offset[v];
        for (std::size_t c = 0; c < nl; ++c)
            tree.left_values.push_back(static_cast<std::int32_t>(values[left[c]]));
    }

    void split(std::size_t k, const Split &best, std::size_t m)
    {
        auto &nodes = tree_->nodes;
        const std::size_t v = best.var;
        const std::size_t begin = nodes[k].begin;
        const Variable var = variable(v);
        std::size_t n_left;
        if (data_.categorical(v)) {
            const std::size_t nl = best.n_left_cats;
            std::uint32_t *left = w_.best_left_ranks.data();
            std::sort(left, left + nl); // ranks increase with the categories
            record_left_set(v, nl);
            nodes[k].var = -static_cast<std::int32_t>(v + 1);
            nodes[k].cut = static_cast<double>(tree_->split_count());
            for (std::size_t c = 0; c < nl; ++c)
                w_.goes_left_rank[left[c]] = 1;
            const unsigned char *goes_left = w_.goes_left_rank.data();
            n_left = partition(begin, m, [var, goes_left](std::size_t j) {
                return goes_left[var.rank_at(j)] != 0;
            });
            for (std::size_t c = 0; c < nl; ++c)
                w_.goes_left_rank[left[c]] = 0;
        } else {
            nodes[k].var = static_cast<std::int32_t>(v + 1);
            nodes[k].cut = best.cut;
            const std::uint32_t last = best.last_left_rank;
            n_left = partition(begin, m, [var, last](std::size_t j) {
                return var.rank_at(j) <= last; // a smaller table than the values'
            });
        }
        const std::uint32_t middle = static_cast<std::uint32_t>(begin + n_left);
        const std::uint32_t end = nodes[k].end;
        nodes[k].first_child = static_cast<std::int32_t>(nodes.size() + 1);
        nodes.push_back(Node{static_cast<std::uint32_t>(begin), middle, 0, 0, 0, 0, 0, 0, 0});
        nodes.push_back(Node{middle, end, 0, 0, 0, 0, 0, 0, 0});
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
};

// Dense ranks of one column's values (`order` is scratch of `rows`), and
// the distinct values increasing; returns their number.
inline std::uint32_t rank_column(const double *values, std::size_t rows, std::uint32_t *order,
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

} // namespace core::fit
