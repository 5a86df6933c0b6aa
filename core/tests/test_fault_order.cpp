// The fault forestcast reports, and its results, whatever the thread count:
// random forests with faults planted in some trees and odd values in some
// rows are walked as the gateway walks them (blocks spread over threads,
// each thread reusing its scratch, some trees compiled), and the fault of
// the first faulty block must be the first failing row's at its first
// failing tree, as a plain row-by-row, tree-by-tree walk meets it; without
// a fault, every row's mean and variance must be that walk's, bit for bit.
#include "check.hpp"
#include "forestwalk.hpp"
#include "random_trees.hpp"
#include "threads.hpp"

#include <atomic>
#include <chrono>
#include <cstring>

using namespace coretest;

namespace {

// The trees' views, as host::Forest hands them to the walk.
struct Forest {
    std::vector<core::TreeView> views;
    std::size_t size() const { return views.size(); }
    const core::TreeView &operator[](std::size_t t) const { return views[t]; }
};

struct Result {
    core::Fault fault;
    std::vector<double> mu;
    std::vector<double> v;
};

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool same_fault(const core::Fault &f, const core::Fault &g)
{
    return f.kind == g.kind && f.tree == g.tree && f.node == g.node && f.number == g.number &&
           f.right == g.right && f.state == g.state && std::strcmp(f.data, g.data) == 0 &&
           f.row == g.row && f.column == g.column && same_bits(f.value, g.value) &&
           f.columns == g.columns;
}

std::string describe(const core::Fault &f)
{
    if (!f)
        return "no fault";
    return format("fault %d in tree %zu at node %zu, row %zu", static_cast<int>(f.kind), f.tree + 1,
                  f.node + 1, f.row + 1);
}

// Each row through each tree from the root, rows first: the first fault
// met, or every row's pooled mean and variance. `first_failing` gets each
// tree's first failing row (z.rows where none fails).
Result row_by_row(const Forest &trees, const core::DataMatrix &z,
                  std::vector<std::size_t> &first_failing)
{
    const std::size_t T = trees.size();
    const std::atomic<bool> stop{false};
    Result r;
    r.mu.resize(z.rows);
    r.v.resize(z.rows);
    first_failing.assign(T, z.rows);
    std::vector<double> means(T), vars(T);
    for (std::size_t row = 0; row < z.rows; ++row)
        for (std::size_t t = 0; t < T; ++t) {
            core::Fault fault;
            fault.tree = t;
            core::Reached reached;
            if (!core::checked_row(trees[t], z, row, 0, 0, reached, fault, stop)) {
                first_failing[t] = std::min(first_failing[t], row);
                if (!r.fault)
                    r.fault = fault;
                continue;
            }
            means[t] = trees[t].leaf_mean[reached.node];
            vars[t] = trees[t].leaf_var[reached.node];
            if (t + 1 == T)
                core::pool_trees(means.data(), vars.data(), 1, T, 1, &r.mu[row], &r.v[row]);
        }
    return r;
}

// As forestcast: blocks of `block` rows over `threads` threads, on
// parallel_for_watched (a long call) or parallel_work, each thread with its
// own scratch (filled with garbage first), the first faulty block's fault.
Result by_blocks(const Forest &trees, const std::vector<const core::CompiledTree *> &compiled,
                 const core::DataMatrix &z, std::size_t block, std::size_t threads, bool watched)
{
    const std::size_t T = trees.size();
    const std::size_t blocks = (z.rows + block - 1) / block;
    const std::size_t span = std::min(block, z.rows);
    const std::size_t workers = std::max<std::size_t>(threads, 1);
    std::vector<std::uint32_t> moving(block * workers, 0xdeadbeef);
    std::vector<std::uint32_t> node(block * workers, 0xdeadbeef);
    std::vector<std::uint32_t> taken(block * workers, 0xdeadbeef);
    std::vector<double> means(span * T * workers, -1e300);
    std::vector<double> vars(span * T * workers, -1e300);
    std::vector<core::Fault> faults(blocks);
    Result r;
    r.mu.assign(z.rows, NaN);
    r.v.assign(z.rows, NaN);
    std::atomic<bool> stop{false};
    auto work = [&](std::size_t b, std::size_t worker) {
        const core::WalkScratch s{moving.data() + worker * block,  node.data() + worker * block,
                                  taken.data() + worker * block,   means.data() + worker * span * T,
                                  vars.data() + worker * span * T, span};
        const std::size_t first = b * block;
        faults[b] =
            core::block_down_forest(trees, compiled, z, first, std::min(block, z.rows - first), s,
                                    stop, r.mu.data(), r.v.data());
    };
    if (watched)
        core::parallel_for_watched(blocks, threads, stop, std::chrono::milliseconds(1), work,
                                   [] {});
    else
        core::parallel_work(blocks, threads, work);
    for (const core::Fault &f : faults)
        if (f) {
            r.fault = f;
            break;
        }
    return r;
}

// A compiled tree's tables.
struct Compiled {
    std::vector<core::Step> steps;
    std::vector<core::CategoryWindow> windows;
    std::vector<std::uint32_t> node_of_step;
    std::vector<std::uint32_t> label;
    core::CompiledTree tree;
};

void any_thread_count()
{
    // Forests where the first failing row is met in a later tree than the
    // first failing tree of its block: where the block's fault must be
    // looked for again in the later trees.
    std::size_t later_tree_first = 0;
    std::size_t faulty = 0;
    std::size_t clean = 0;
    for (std::uint64_t seed = 1; seed <= 300; ++seed) {
        Draw d(seed);
        const std::size_t cols = 1 + d.below(5);
        const std::vector<Column> plan = random_plan(d, cols);
        const std::size_t T = 1 + d.below(8);
        std::vector<OwnedTree> owned;
        for (std::size_t t = 0; t < T; ++t) {
            TreeOptions o;
            o.layout = d.pick(std::vector<Layout>{Layout::compact, Layout::packed, Layout::cells});
            o.splits = d.below(60);
            o.deep = d.chance(0.2);
            o.missing = d.pick(std::vector<double>{0, 0, 0.01});
            o.faults = d.pick(std::vector<double>{0, 0, 0.01, 0.05});
            owned.push_back(random_tree(d, plan, cols, o));
        }
        Forest trees;
        std::vector<Compiled> tables(T);
        std::vector<const core::CompiledTree *> compiled(T, nullptr);
        for (std::size_t t = 0; t < T; ++t) {
            trees.views.push_back(owned[t].view());
            if (!d.chance(0.7))
                continue;
            const core::TreeView &view = trees.views[t];
            Compiled &c = tables[t];
            c.steps.resize(view.N);
            c.windows.resize(view.M);
            c.node_of_step.resize(view.N);
            c.label.resize(view.N);
            core::compile_tree(view, cols, c.steps.data(), c.windows.data(), c.node_of_step.data(),
                               c.label.data());
            c.tree = {c.steps.data(), c.windows.data(), c.node_of_step.data()};
            compiled[t] = &c.tree;
        }
        const std::size_t n = 1 + d.below(3000);
        const std::vector<double> rows =
            random_rows(d, n, cols, plan, d.pick(std::vector<double>{0, 0.0005, 0.003}));
        const core::DataMatrix z{"Z", rows.data(), n, cols};

        std::vector<std::size_t> first_failing;
        const Result expected = row_by_row(trees, z, first_failing);
        const std::size_t block = d.chance(0.5) ? 1024 : 1 + d.below(200);
        if (expected.fault) {
            ++faulty;
            const std::size_t at = expected.fault.row / block;
            for (std::size_t t = 0; t < expected.fault.tree; ++t)
                later_tree_first += first_failing[t] < n && first_failing[t] / block == at;
        } else {
            ++clean;
        }
        const std::vector<std::pair<std::size_t, bool>> runs{
            {1, false}, {2, false}, {3, false}, {8, false}, {0, true}, {1, true}, {3, true}};
        for (const auto &[threads, watched] : runs) {
            const Result got = by_blocks(trees, compiled, z, block, threads, watched);
            const std::string where =
                format("seed %llu (%zu trees, %zu rows in blocks of %zu, %zu threads%s)",
                       static_cast<unsigned long long>(seed), T, n, block, threads,
                       watched ? ", watched" : "");
            expect(same_fault(got.fault, expected.fault),
                   format("%s: reported %s; row by row, the first is %s", where.c_str(),
                          describe(got.fault).c_str(), describe(expected.fault).c_str()));
            for (std::size_t i = 0; !expected.fault && i < n; ++i)
                expect(same_bits(got.mu[i], expected.mu[i]) && same_bits(got.v[i], expected.v[i]),
                       format("%s: row %zu has mean %.17g and variance %.17g; row by row, %.17g "
                              "and %.17g",
                              where.c_str(), i + 1, got.mu[i], got.v[i], expected.mu[i],
                              expected.v[i]));
        }
    }
    // Else the comparison above says little.
    expect(faulty >= 30 && clean >= 30 && later_tree_first > 0,
           format("%zu forests with a fault, %zu without, %zu where a later tree fails first",
                  faulty, clean, later_tree_first));
}

} // namespace

int main()
{
    Runner r("core/tests/test_fault_order");
    r.run("random forests on 1, 2, 3 and 8 threads, watched or not: the first failing row's "
          "fault at its first failing tree, or the same bits",
          any_thread_count);
    return r.finish();
}
