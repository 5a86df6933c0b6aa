// The compiled block walk against the checked row walk, on random trees:
// wherever the block walk leaves a row (a leaf, or a node the checked walk
// must decide at), the checked walk from there ends the row as the checked
// walk from the root does (the same leaf, stop or fault, to the field), and
// the steps the block walk counted are those of that path. Both checked
// walks the modules finish rows with are run: forestcast's (a missing
// category is a fault) and treecast's (sets checked as needed, a strategy
// for missing categories drawing from the C library's generator).
#include "check.hpp"
#include "forestwalk.hpp"
#include "random_trees.hpp"
#include "walks.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>

using namespace coretest;

namespace {

// How a checked walk ended.
struct Outcome {
    bool ok = false;
    core::Reached reached;
    core::Fault fault;
};

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool same(const Outcome &a, const Outcome &b)
{
    if (a.ok != b.ok)
        return false;
    if (a.ok)
        return a.reached.node == b.reached.node && a.reached.stopped == b.reached.stopped &&
               same_bits(a.reached.value, b.reached.value);
    const core::Fault &f = a.fault;
    const core::Fault &g = b.fault;
    return f.kind == g.kind && f.node == g.node && f.number == g.number && f.right == g.right &&
           f.state == g.state && std::strcmp(f.data, g.data) == 0 && f.row == g.row &&
           f.column == g.column && same_bits(f.value, g.value) && f.columns == g.columns;
}

std::string describe(const Outcome &o)
{
    if (o.ok)
        return o.reached.stopped
                   ? format("stops at node %zu with %g", o.reached.node + 1, o.reached.value)
                   : format("ends at leaf %zu", o.reached.node + 1);
    return format("fault %d at node %zu (number %lld, row %zu)", static_cast<int>(o.fault.kind),
                  o.fault.node + 1, static_cast<long long>(o.fault.number), o.fault.row + 1);
}

// The checked walk of one row as a module finishes it.
struct Checked {
    core::TreeView t;
    core::DataMatrix z;
    bool as_needed; // treecast's, else forestcast's
    core::MissingStrategy strategy;

    Outcome from(std::size_t row, std::size_t k, std::size_t taken) const
    {
        Outcome o;
        if (as_needed) {
            // The row's draws, the same from wherever its walk is finished.
            std::srand(static_cast<unsigned>(row));
            o.ok = core::walk_row(t, z, row, k, taken, core::SetChecks::as_needed, strategy,
                                  o.reached, o.fault);
        } else {
            const std::atomic<bool> stop{false};
            o.ok = core::checked_row(t, z, row, k, taken, o.reached, o.fault, stop);
        }
        return o;
    }

    // The steps the walk from node k takes to where it ends, read from the
    // walk itself: a walk over N-1 steps is a cycle, so the largest head
    // start that ends otherwise is N-1 less the steps. Only for a row that
    // meets no cycle.
    std::size_t steps_from(std::size_t row, std::size_t k) const
    {
        std::size_t lo = 0;
        std::size_t hi = t.N - 1;
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo + 1) / 2;
            const Outcome o = from(row, k, mid);
            if (!o.ok && o.fault.kind == core::Fault::CYCLE)
                hi = mid - 1;
            else
                lo = mid;
        }
        return t.N - 1 - lo;
    }
};

const char *layout_name(Layout layout)
{
    return layout == Layout::compact ? "compact" : layout == Layout::packed ? "packed" : "cells";
}

// What the compiled walks did over all trees: rows the block walk took to
// a leaf, and rows it left to the checked walk at a split.
struct Tally {
    std::size_t to_leaf = 0;
    std::size_t left_at_split = 0;
};

// Compiles tree `owned` for z, walks z's rows over it in blocks of random
// sizes, and checks every row against the checked walk from the root.
void compare_walks(Draw &d, std::uint64_t seed, const OwnedTree &owned, const core::DataMatrix &z,
                   Tally &tally)
{
    const core::TreeView t = owned.view();
    const std::size_t N = t.N;
    std::vector<core::Step> steps(N);
    std::vector<core::CategoryWindow> windows(t.M);
    std::vector<std::uint32_t> node_of_step(N), label(N);
    core::compile_tree(t, z.cols, steps.data(), windows.data(), node_of_step.data(), label.data());
    const core::CompiledTree compiled{steps.data(), windows.data(), node_of_step.data()};
    std::vector<std::uint32_t> moving(z.rows), node(z.rows), taken(z.rows);
    for (std::size_t first = 0; first < z.rows;) {
        const std::size_t count = std::min(z.rows - first, 1 + d.below(300));
        core::walk_block(compiled, N, z.values + first, z.rows, count, moving.data(),
                         node.data() + first, taken.data() + first);
        first += count;
    }
    const Layout layout = owned.left_only ? Layout::compact
                          : owned.packed  ? Layout::packed
                                          : Layout::cells;
    // treecast reads expanded trees only; its strategies 8 and 9 do not exist.
    const std::int32_t strategy = static_cast<std::int32_t>(d.below(10));
    for (const bool as_needed : {false, true}) {
        if (as_needed && owned.left_only)
            continue;
        const Checked walk{t, z, as_needed, {strategy, owned.mean.data(), owned.variance.data()}};
        for (std::size_t row = 0; row < z.rows; ++row) {
            const std::size_t k = node[row];
            const std::size_t s = taken[row];
            const Outcome whole = walk.from(row, 0, 0);
            const Outcome rest = walk.from(row, k, s);
            const std::string where =
                format("seed %llu (%s tree of %zu nodes, %s walk%s), row %zu",
                       static_cast<unsigned long long>(seed), layout_name(layout), N,
                       as_needed ? "treecast's" : "forestcast's",
                       as_needed ? format(" with strategy %d", strategy).c_str() : "", row + 1);
            expect(same(whole, rest),
                   format("%s: from the root it %s; the block walk left it at node %zu after %zu "
                          "steps, from where it %s",
                          where.c_str(), describe(whole).c_str(), k + 1, s,
                          describe(rest).c_str()));
            if (whole.ok || whole.fault.kind != core::Fault::CYCLE) {
                const std::size_t path = walk.steps_from(row, 0);
                const std::size_t after = walk.steps_from(row, k);
                expect(s + after == path,
                       format("%s: the block walk counted %zu steps to node %zu, from where the "
                              "checked walk takes %zu more, but the whole path is %zu",
                              where.c_str(), s, k + 1, after, path));
            }
            if (!as_needed)
                ++(t.var[k] == 0 ? tally.to_leaf : tally.left_at_split);
        }
    }
}

void random_trees()
{
    Tally tally;
    for (std::uint64_t seed = 1; seed <= 1500; ++seed) {
        Draw d(seed);
        const std::size_t cols = 1 + d.below(6);
        const std::vector<Column> plan = random_plan(d, cols);
        TreeOptions o;
        o.layout = d.pick(std::vector<Layout>{Layout::compact, Layout::packed, Layout::cells});
        o.splits = d.below(80);
        o.deep = d.chance(0.3);
        o.missing = d.pick(std::vector<double>{0, 0.1, 0.5});
        o.faults = d.pick(std::vector<double>{0, 0.03, 0.15});
        const OwnedTree tree = random_tree(d, plan, cols, o);
        const std::size_t n = 1 + d.below(400);
        const std::vector<double> rows =
            random_rows(d, n, cols, plan, d.pick(std::vector<double>{0, 0.02, 0.2}));
        compare_walks(d, seed, tree, core::DataMatrix{"Z", rows.data(), n, cols}, tally);
    }
    // Else the comparison above says little.
    const std::size_t rows = tally.to_leaf + tally.left_at_split;
    expect(tally.to_leaf >= rows / 2 && tally.left_at_split > 0,
           format("the block walk took %zu rows of %zu to a leaf and left %zu at a split",
                  tally.to_leaf, rows, tally.left_at_split));
}

// A compiled step holds its column in 16 bits: column 65,536 is the last
// it holds, and the checked walk decides splits on later ones.
void wide_rows()
{
    const std::size_t cols = 65538;
    const std::vector<Column> plan{{1, 0},     {2, 10},    {65535, 0},
                                   {65536, 0}, {65537, 0}, {65538, 100}};
    Tally tally;
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        Draw d(seed);
        TreeOptions o;
        o.layout = d.pick(std::vector<Layout>{Layout::compact, Layout::packed, Layout::cells});
        o.splits = d.below(30);
        o.missing = 0.05;
        const OwnedTree tree = random_tree(d, plan, cols, o);
        const std::size_t n = 1 + d.below(16);
        const std::vector<double> rows = random_rows(d, n, cols, plan, 0.01);
        compare_walks(d, seed, tree, core::DataMatrix{"Z", rows.data(), n, cols}, tally);
    }
    expect(tally.to_leaf > 0 && tally.left_at_split > 0,
           format("the block walk took %zu rows to a leaf and left %zu at a split", tally.to_leaf,
                  tally.left_at_split));
}

} // namespace

int main()
{
    Runner r("core/tests/test_walks");
    r.run("random trees (compact, packed, cells; shuffled nodes, windows, faults): the block "
          "walk leaves each row on its checked path, with its steps",
          random_trees);
    r.run("rows of 65,538 columns: splits past column 65,536 are left to the checked walk",
          wide_rows);
    return r.finish();
}
