// What forestfit learns about its forest beyond the trees, on plain
// buffers: the runs' pairs sent down each grown tree, its out-of-bag
// predictions and its variable importance, and the imputation of capped
// runs from the forest's predictions. No host calls: trees are assessed on
// the worker that grew them.
#pragma once

#include "grower.hpp"
#include "treerules.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace core::fit {

// Sends runs down a grown tree all at once, as the grower divides its
// sample: each node stably divides its range of them between its children,
// so that a node is read once and the runs' values one after another.
class Router {
public:
    Router(const GrownTree &tree, const TrainingSet &data)
        : tree_(tree), data_(data), set_start_(tree.split_count() + 1, 0),
          first_(tree.nodes.size()), count_(tree.nodes.size())
    {
        for (std::size_t s = 0; s < tree.split_count(); ++s)
            set_start_[s + 1] = set_start_[s] + tree.left_sizes[s];
    }

    static constexpr std::size_t NO_VARIABLE = static_cast<std::size_t>(-1);

    // leaf_of[i]: the node (0-based) run runs[i] reaches, for i < m; where
    // v is a variable (0-based), run runs[i] reads its value as values[i].
    void route(const std::uint32_t *runs, std::size_t m, std::size_t v, const double *values,
               std::uint32_t *leaf_of)
    {
        order_.resize(m);
        spare_.resize(m);
        for (std::size_t i = 0; i < m; ++i)
            order_[i] = static_cast<std::uint32_t>(i);
        first_[0] = 0;
        count_[0] = static_cast<std::uint32_t>(m);
        const auto &nodes = tree_.nodes;
        for (std::size_t k = 0; k < nodes.size(); ++k) {
            std::uint32_t *list = order_.data() + first_[k];
            const std::size_t n = count_[k];
            const Node &node = nodes[k];
            if (node.is_leaf()) {
                for (std::size_t i = 0; i < n; ++i)
                    leaf_of[list[i]] = static_cast<std::uint32_t>(k);
                continue;
            }
            const std::size_t var =
                static_cast<std::size_t>(node.var > 0 ? node.var : -node.var) - 1;
            const double *column = data_.column(var);
            const std::int32_t *rows =
                data_.runs + (var < data_.theta_cols ? 0 : data_.n_runs); // 1-based
            const bool read = var != v;
            const auto value = [=](std::uint32_t i) {
                return read ? column[rows[runs[i]] - 1] : values[i];
            };
            std::size_t n_left;
            if (node.var > 0) {
                const double cut = node.cut; // the data has no NaN
                n_left = partition_stably(list, n, spare_.data(),
                                          [&](std::uint32_t i) { return cut > value(i); });
            } else {
                const std::size_t s = static_cast<std::size_t>(node.cut) - 1;
                const std::int32_t *first = tree_.left_values.data() + set_start_[s];
                const std::int32_t *last = tree_.left_values.data() + set_start_[s + 1];
                n_left = partition_stably(list, n, spare_.data(), [&](std::uint32_t i) {
                    return std::binary_search(first, last, static_cast<std::int32_t>(value(i)));
                });
            }
            const std::size_t left = static_cast<std::size_t>(node.first_child - 1);
            first_[left] = first_[k];
            count_[left] = static_cast<std::uint32_t>(n_left);
            first_[left + 1] = first_[k] + static_cast<std::uint32_t>(n_left);
            count_[left + 1] = static_cast<std::uint32_t>(n - n_left);
        }
    }

private:
    const GrownTree &tree_;
    const TrainingSet &data_;
    std::vector<std::size_t> set_start_; // where split s's left set starts
    std::vector<std::uint32_t> first_, count_; // each node's range of order_
    pages::Buffer<std::uint32_t> order_, spare_;
};

// Which importance a fit measures.
enum class Importance { none, impurity, permutation };

// A tree's out-of-bag runs (those its sample did not draw) and its
// prediction at each, in run order.
struct OutOfBag {
    pages::Buffer<std::uint32_t> runs;
    pages::Buffer<double> means;
};

inline void out_of_bag(const GrownTree &tree, Router &router, const std::uint32_t *drawn,
                       std::size_t R, OutOfBag &oob)
{
    for (std::size_t j = 0; j < R; ++j)
        if (drawn[j] == 0)
            oob.runs.push_back(static_cast<std::uint32_t>(j));
    pages::Buffer<std::uint32_t> leaf_of(oob.runs.size());
    router.route(oob.runs.data(), oob.runs.size(), Router::NO_VARIABLE, nullptr, leaf_of.data());
    oob.means.resize(oob.runs.size());
    for (std::size_t i = 0; i < oob.runs.size(); ++i)
        oob.means[i] = tree.nodes[leaf_of[i]].mean;
}

// The decrease in squared error of the tree's splits, per variable, in
// node order: n*variance of the node less that of its children. `row`
// holds the n_vars figures `step` apart.
inline void impurity_importance(const GrownTree &tree, double *row, std::size_t step)
{
    const auto &nodes = tree.nodes;
    for (const Node &node : nodes) {
        if (node.is_leaf())
            continue;
        const Node &left = nodes[static_cast<std::size_t>(node.first_child - 1)];
        const Node &right = nodes[static_cast<std::size_t>(node.first_child)];
        const auto error = [](const Node &k) {
            return static_cast<double>(k.run_count()) * k.spread;
        };
        const std::size_t v = static_cast<std::size_t>(node.var > 0 ? node.var : -node.var) - 1;
        row[v * step] += error(node) - error(left) - error(right);
    }
}

// The increase of the tree's out-of-bag mean squared error when each
// variable's values are permuted among its out-of-bag runs, the
// permutations drawn from the tree's own stream; NaN without such runs.
inline void permutation_importance(const GrownTree &tree, Router &router,
                                   const TrainingSet &data, const OutOfBag &oob, Generator &gen,
                                   double *row, std::size_t step)
{
    const std::size_t m = oob.runs.size();
    if (m == 0) {
        for (std::size_t v = 0; v < data.n_vars; ++v)
            row[v * step] = std::numeric_limits<double>::quiet_NaN();
        return;
    }
    double base = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const double e = oob.means[i] - data.y[oob.runs[i]];
        base += e * e;
    }
    pages::Buffer<double> values(m);
    pages::Buffer<std::uint32_t> leaf_of(m);
    for (std::size_t v = 0; v < data.n_vars; ++v) {
        for (std::size_t i = 0; i < m; ++i)
            values[i] = data.value(v, oob.runs[i]);
        for (std::size_t i = m - 1; i > 0; --i) // Fisher-Yates, from the end
            std::swap(values[i],
                      values[static_cast<std::size_t>(gen.below(i + 1, Generator::rejected(i + 1)))]);
        router.route(oob.runs.data(), m, v, values.data(), leaf_of.data());
        double permuted = 0;
        for (std::size_t i = 0; i < m; ++i) {
            const double e = tree.nodes[leaf_of[i]].mean - data.y[oob.runs[i]];
            permuted += e * e;
        }
        row[v * step] = (permuted - base) / static_cast<double>(m);
    }
}

// The mean of a normal N(m, s^2) truncated below at c: m + s*r(a), a =
// (c - m)/s, r the ratio phi(a)/(1 - Phi(a)); max(m, c) when s = 0. For
// large a the ratio's parts underflow: there it comes from the continued
// fraction of the upper tail, 1/(a + 1/(a + 2/(a + 3/(a + ...)))) =
// (1 - Phi(a))/phi(a), which tends to 1/a.
inline double truncated_mean(double m, double s, double c)
{
    if (!(s > 0))
        return std::max(m, c);
    const double a = (c - m) / s;
    double ratio;
    if (a < 5) {
        const double phi = std::exp(-0.5 * a * a) / std::sqrt(2 * 3.14159265358979323846);
        ratio = phi / (0.5 * std::erfc(a / std::sqrt(2.0)));
    } else {
        double tail = a; // evaluated from the innermost term out
        for (int k = 60; k >= 1; --k)
            tail = a + k / tail;
        ratio = tail;
    }
    return m + s * ratio;
}

} // namespace core::fit
