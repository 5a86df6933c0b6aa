// Random trees and data for the walk tests: any shape, nodes numbered in a
// shuffled order (the root stays node 1), ordered and categorical splits,
// value sets that overlap, leave categories out or stretch past a 64-wide
// window, in the three layouts a walk reads (compact, expanded with packed
// sets, expanded with catsplit's cells), with faults planted where asked.
#pragma once

#include "generator.hpp"
#include "tree.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace coretest {

// forestfit's generator, with the draws the tests want.
class Draw {
public:
    explicit Draw(std::uint64_t seed) : g_(seed) {}
    std::size_t below(std::size_t n) { return g_.below(n, core::fit::Generator::rejected(n)); }
    bool chance(double p) { return static_cast<double>(g_.next() >> 11) * 0x1.0p-53 < p; }
    template <class T>
    T pick(const std::vector<T> &from)
    {
        return from[below(from.size())];
    }
    template <class T>
    void shuffle(std::vector<T> &v)
    {
        for (std::size_t i = v.size(); i > 1; --i)
            std::swap(v[i - 1], v[below(i)]);
    }

private:
    core::fit::Generator g_;
};

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// A data column splits read: its number (1-based) and its levels, 0 for an
// ordered column.
struct Column {
    std::size_t index;
    double levels;
};

// Ordered values and cuts come from one grid, so rows tie with cuts.
inline double grid_value(Draw &d) { return static_cast<double>(d.below(41)) / 8.0 - 2.5; }

// n rows of `cols` columns, column-major; the columns of `plan` hold their
// kind of values, and with chance `odd` a value no split expects (NaN, an
// infinity, a category outside 1..L, a fraction, one past 32 bits).
inline std::vector<double> random_rows(Draw &d, std::size_t n, std::size_t cols,
                                       const std::vector<Column> &plan, double odd)
{
    std::vector<double> z(n * cols, 0.0);
    for (const Column &c : plan)
        for (std::size_t i = 0; i < n; ++i) {
            double &x = z[i + (c.index - 1) * n];
            const double L = c.levels;
            if (d.chance(odd))
                x = d.pick(std::vector<double>{NaN, -INFINITY, INFINITY, 0.0, -3.0, L + 1, 2.5,
                                               1e10, -2147483648.0, 2147483647.0});
            else if (L == 0)
                x = d.chance(0.03) ? NaN : grid_value(d);
            else
                x = static_cast<double>(1 + d.below(static_cast<std::size_t>(L)));
        }
    return z;
}

enum class Layout { compact, packed, cells };

struct TreeOptions {
    Layout layout = Layout::compact;
    std::size_t splits = 10;
    bool deep = false;    // grow mostly at the newest leaf: long paths
    double missing = 0.1; // chance a category 1..L is in neither set of an expanded split
    double faults = 0;    // chance a split carries a planted fault
};

// A tree owning its arrays; view() reads them in place.
struct OwnedTree {
    std::size_t N = 0;
    bool left_only = false;
    bool packed = false;
    std::vector<std::int32_t> var;
    std::vector<double> cut;
    std::vector<std::int32_t> children; // left column, then right
    std::vector<double> mean;
    std::vector<double> variance;
    std::vector<std::vector<std::int32_t>> sets; // left sets, then (expanded) right sets
    std::vector<core::SetState> states;
    std::vector<std::int32_t> ends;
    std::vector<std::int32_t> values;
    std::vector<core::ValueSet> cells;
    std::vector<double> levels;

    std::size_t M() const { return left_only ? sets.size() : sets.size() / 2; }

    // Packs the sets (or makes catsplit's cells) once they are final.
    void finish()
    {
        ends.clear();
        values.clear();
        cells.clear();
        for (std::size_t i = 0; i < sets.size(); ++i) {
            values.insert(values.end(), sets[i].begin(), sets[i].end());
            ends.push_back(static_cast<std::int32_t>(values.size()));
            core::ValueSet cell;
            cell.state = states[i];
            if (states[i] == core::SetState::usable)
                cell.values = {sets[i].data(), sets[i].size()};
            cells.push_back(cell);
        }
        values.push_back(0); // never read: a buffer even when every set is empty
    }

    core::TreeView view() const
    {
        core::TreeView t;
        t.N = N;
        t.M = M();
        t.var = var.data();
        t.cut = cut.data();
        t.leftchildren = children.data();
        t.rightchildren = children.data() + N;
        t.leaf_mean = mean.data();
        t.leaf_var = variance.data();
        if (packed) {
            t.packed_ends = ends.data();
            t.packed_values = values.data();
        } else {
            t.cell_sets = cells.data();
        }
        t.left_only = left_only;
        t.fitted = left_only;
        t.levels = {levels.data(), levels.size()};
        return t;
    }
};

// A random tree over the columns of `plan` of data with `cols` columns.
inline OwnedTree random_tree(Draw &d, const std::vector<Column> &plan, std::size_t cols,
                             const TreeOptions &o)
{
    // The shape, in the order nodes are made: node 0 the root.
    std::vector<std::size_t> left, right, parent{0}, leaves{0};
    left.push_back(0);
    right.push_back(0);
    for (std::size_t s = 0; s < o.splits; ++s) {
        const std::size_t at = o.deep && d.chance(0.8) ? leaves.size() - 1 : d.below(leaves.size());
        const std::size_t k = leaves[at];
        leaves.erase(leaves.begin() + static_cast<std::ptrdiff_t>(at));
        left[k] = left.size();
        right[k] = left.size() + 1;
        for (const std::size_t child : {left[k], right[k]}) {
            leaves.push_back(child);
            left.push_back(0);
            right.push_back(0);
            parent.push_back(k);
        }
    }
    const std::size_t made = left.size();
    OwnedTree t;
    t.N = made + d.below(3); // and a few nodes no path reaches
    t.left_only = o.layout == Layout::compact;
    t.packed = o.layout != Layout::cells;
    const std::size_t N = t.N;
    std::vector<std::int32_t> number(N); // node made k is node number[k] (1-based)
    for (std::size_t k = 0; k < N; ++k)
        number[k] = static_cast<std::int32_t>(k + 1);
    std::vector<std::int32_t> rest(number.begin() + 1, number.end());
    d.shuffle(rest);
    std::copy(rest.begin(), rest.end(), number.begin() + 1);

    t.var.assign(N, 0);
    t.cut.assign(N, 0);
    t.children.assign(2 * N, 0);
    t.mean.resize(N);
    t.variance.resize(N);
    t.levels.assign(cols, 0);
    for (const Column &c : plan)
        t.levels[c.index - 1] = c.levels;
    std::vector<std::vector<std::int32_t>> lefts, rights;
    std::vector<std::int32_t> odd_categories{0, -7, 1000, std::numeric_limits<std::int32_t>::min(),
                                             std::numeric_limits<std::int32_t>::max()};
    for (std::size_t k = 0; k < N; ++k) {
        const std::size_t at = static_cast<std::size_t>(number[k]) - 1;
        t.mean[at] = grid_value(d);
        t.variance[at] = static_cast<double>(d.below(5));
        t.cut[at] = grid_value(d);
        if (k >= made || left[k] == 0) {
            // A leaf's children are never read.
            if (d.chance(0.3)) {
                t.children[at] = static_cast<std::int32_t>(d.below(1000)) - 500;
                t.children[N + at] = static_cast<std::int32_t>(d.below(1000)) - 500;
            }
            continue;
        }
        t.children[at] = number[left[k]];
        t.children[N + at] = number[right[k]];
        const Column &c = d.pick(plan);
        if (c.levels == 0) {
            t.var[at] = static_cast<std::int32_t>(c.index);
            if (d.chance(0.03))
                t.cut[at] = NaN; // sends every row right
            continue;
        }
        t.var[at] = -static_cast<std::int32_t>(c.index);
        // A split may share its sets with an earlier one (on any variable).
        std::size_t r = lefts.size();
        if (r > 0 && d.chance(0.2)) {
            r = d.below(r);
        } else {
            std::vector<std::int32_t> l, rt;
            const auto L = static_cast<std::int32_t>(c.levels);
            for (std::int32_t category = 1; category <= L; ++category) {
                if (t.left_only) {
                    if (d.chance(0.5))
                        l.push_back(category);
                    continue;
                }
                if (d.chance(o.missing))
                    continue;
                const std::size_t side = d.below(20);
                if (side < 10 || side == 19)
                    l.push_back(category);
                if (side >= 10) // 19: listed in both, so it goes left
                    rt.push_back(category);
            }
            if (d.chance(0.1))
                (d.chance(0.5) ? l : rt).push_back(d.pick(odd_categories));
            d.shuffle(l);
            d.shuffle(rt);
            lefts.push_back(l);
            rights.push_back(rt);
        }
        // The cut names the sets' row; its fraction is truncated.
        t.cut[at] = static_cast<double>(r + 1) + (d.chance(0.2) ? 0.75 : 0.0);
    }
    t.sets = lefts;
    if (!t.left_only)
        t.sets.insert(t.sets.end(), rights.begin(), rights.end());
    t.states.assign(t.sets.size(), core::SetState::usable);

    // Faults, at splits made above.
    const std::size_t M = t.M();
    std::vector<std::size_t> ordered_columns;
    for (const Column &c : plan)
        if (c.levels == 0)
            ordered_columns.push_back(c.index);
    for (std::size_t k = 0; k < made; ++k) {
        if (left[k] == 0 || !d.chance(o.faults))
            continue;
        const std::size_t at = static_cast<std::size_t>(number[k]) - 1;
        std::int32_t &child = t.children[at + (d.chance(0.5) ? N : 0)];
        switch (d.below(7)) {
        case 0: // a child that is no node
            child = d.pick(std::vector<std::int32_t>{0, -1, static_cast<std::int32_t>(N) + 1,
                                                     std::numeric_limits<std::int32_t>::min()});
            break;
        case 1: { // a cycle: back to the node itself or an ancestor
            std::size_t a = k;
            for (std::size_t up = d.below(4); up > 0 && a != 0; --up)
                a = parent[a];
            child = number[a];
            break;
        }
        case 2: // a shared subtree, or a cycle, or an unreached node
            child = static_cast<std::int32_t>(1 + d.below(N));
            break;
        case 3: // a variable past the data's columns
            t.var[at] = d.pick(std::vector<std::int32_t>{static_cast<std::int32_t>(cols + 1),
                                                         -static_cast<std::int32_t>(cols + 2),
                                                         std::numeric_limits<std::int32_t>::min()});
            break;
        case 4: // a categorical cut naming no sets
            if (t.var[at] < 0)
                t.cut[at] =
                    d.pick(std::vector<double>{0.0, -2.0, static_cast<double>(M) + 1, NaN, 1e12});
            break;
        case 5: // a set that is not there, or not int32 (catsplit's cells only)
            if (t.var[at] < 0 && o.layout == Layout::cells)
                t.states[static_cast<std::size_t>(t.cut[at]) - 1 + (d.chance(0.5) ? M : 0)] =
                    d.chance(0.5) ? core::SetState::unset : core::SetState::not_int32;
            break;
        case 6: // a compact tree's categorical split on an ordered variable
            if (t.var[at] < 0 && t.left_only && !ordered_columns.empty())
                t.var[at] = -static_cast<std::int32_t>(d.pick(ordered_columns));
            break;
        }
    }
    t.finish();
    return t;
}

// Random columns for `cols` data columns: ordered, or categorical of a few
// levels, of about a window's, or of more than a window holds.
inline std::vector<Column> random_plan(Draw &d, std::size_t cols)
{
    std::vector<Column> plan;
    for (std::size_t c = 1; c <= cols; ++c)
        plan.push_back(
            {c, d.chance(0.5) ? 0.0 : d.pick(std::vector<double>{1, 3, 10, 63, 64, 65, 100, 300})});
    return plan;
}

} // namespace coretest
