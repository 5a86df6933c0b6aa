// forestcast's walk of a block of rows through every tree of a forest, and
// the fault it reports: the first failing row's, at its first failing tree.
// A block's rows and fault depend only on the block, never on the thread
// that walks it, so neither the results nor the fault reported depend on
// the thread count. No host calls: blocks run on worker threads.
#pragma once

#include "mixture.hpp"
#include "tree.hpp"
#include "walks.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace core {

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
inline bool checked_row(const TreeView &t, const DataMatrix &z, std::size_t row, std::size_t k,
                        std::size_t taken, Reached &reached, Fault &fault,
                        const std::atomic<bool> &stop)
{
    return walk_row(
        t, z, row, k, taken, SetChecks::at_split,
        [&](std::size_t, std::size_t, std::size_t, double x, Fault &f) {
            f.kind = Fault::MISSING_CATEGORY;
            f.data = z.name;
            f.column = static_cast<std::size_t>(split_column(t.var[f.node])) - 1;
            f.value = x;
            return MissingChoice{MissingChoice::FAULT};
        },
        reached, fault, &stop);
}

// Walks rows first..first+count-1 of Z, a block, down tree `index`, and
// stores each row's leaf mean and variance in column `index` of the block's
// tables: the block walk where the tree is compiled (c not null), then the
// checked walk for the rows it left at a split, in row order, so that the
// fault reported is the first row's. Returns early, with no fault and the
// tables unfinished, once `stop` is set.
inline Fault block_down_tree(const TreeView &t, const CompiledTree *c, std::size_t index,
                             const DataMatrix &z, std::size_t first, std::size_t count,
                             const WalkScratch &s, const std::atomic<bool> &stop)
{
    Fault fault;
    fault.tree = index;
    if (c != nullptr) {
        if (!walk_block(*c, t.N, z.values + first, z.rows, count, s.moving, s.node, s.taken,
                        &stop))
            return fault;
    } else {
        std::fill(s.node, s.node + count, 0);
        std::fill(s.taken, s.taken + count, 0);
    }
    double *const means = s.means + index * s.span;
    double *const vars = s.vars + index * s.span;
    for (std::size_t b = 0; b < count; ++b) {
        Reached reached{s.node[b]};
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
// found.row, so only the rows before it need the later trees. `trees[t]`
// is tree t's view, trees.size() the number of trees.
template <class Forest>
Fault first_fault(const Forest &trees, const DataMatrix &z, std::size_t first,
                  const Fault &found, const std::atomic<bool> &stop)
{
    for (std::size_t row = first; row < found.row; ++row)
        for (std::size_t t = found.tree + 1; t < trees.size(); ++t) {
            Fault fault;
            fault.tree = t;
            Reached reached;
            checked_row(trees[t], z, row, 0, 0, reached, fault, stop);
            if (fault)
                return fault;
        }
    return found;
}

// Walks the block of rows first..first+count-1 of Z through every tree, in
// tree order (compiled[t] tree t compiled, or null), and pools each row's
// trees into mu[row] and v[row]. Returns the block's fault, or none;
// returns early, with none and the outputs unfinished, once `stop` is set.
template <class Forest, class Compiled>
Fault block_down_forest(const Forest &trees, const Compiled &compiled, const DataMatrix &z,
                        std::size_t first, std::size_t count, const WalkScratch &s,
                        const std::atomic<bool> &stop, double *mu, double *v)
{
    const std::size_t T = trees.size();
    for (std::size_t t = 0; t < T; ++t) {
        const Fault fault = block_down_tree(trees[t], compiled[t], t, z, first, count, s, stop);
        if (fault)
            return first_fault(trees, z, first, fault, stop);
        if (stop.load(std::memory_order_relaxed))
            return Fault();
    }
    pool_trees(s.means, s.vars, count, T, s.span, mu + first, v + first);
    return Fault();
}

} // namespace core
