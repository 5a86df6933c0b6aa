// The walks down a tree, each written once, over a TreeView:
//   the checked row walk: one row from a node to where it ends, with every
//     check, the first fault recorded (treecast, forestcast);
//   the compiled block walk: many rows at once over a compiled copy of the
//     tree, taking only the steps that cannot fail, so that the checked walk
//     finishes the rest (treecast, forestcast);
//   the list walk: configurations and instances down a tree together, as
//     lists divided at each split, with a visitor at each leaf (nodeharvest,
//     forestmargins).
// No host calls: the walks run on worker threads, and a fault is put into
// words by the host side.
#pragma once

#include "compiler.hpp"
#include "tree.hpp"
#include "treerules.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace core {

// ---- the checked row walk -----------------------------------------------

// When a walk checks a categorical split's value sets: both of them before
// it reads the split (forestcast, as nodeharvest), or the left one, then the
// right one only when the left does not list the category (treecast).
enum class SetChecks { at_split, as_needed };

// What a row does at a category that neither value set lists: stop there
// with a value, go on to a side, or end the walk with a fault.
struct MissingChoice {
    enum Kind { STOP, LEFT, RIGHT, FAULT } kind;
    double value = 0;
};

// Where a row's walk ended: at a leaf, or stopped at `node` with `value`.
struct Reached {
    std::size_t node = 0;
    bool stopped = false;
    double value = 0;
};

// The side of category c at categorical node k, its sets checked as
// needed: the catsplit row, the left set, and the right set only when the
// left one does not list c.
inline bool side_as_needed(const TreeView &t, std::size_t k, std::int32_t c, Side &side,
                           std::size_t &left_size, std::size_t &right_size, Fault &f)
{
    const std::int32_t r = category_of(t.cut[k]);
    if (!is_catsplit_row(r, t.M)) {
        f.kind = Fault::BAD_CATSPLIT;
        f.number = r;
        return false;
    }
    for (const bool right : {false, true}) {
        if (!set_is_usable(t, r, right, f))
            return false;
        const ValueSet set = t.set(static_cast<std::size_t>(r) - 1 + (right ? t.M : 0));
        (right ? right_size : left_size) = set.values.size();
        if (lists(set.values, c)) {
            side = right ? RIGHT : LEFT;
            return true;
        }
    }
    side = MISSING;
    return true;
}

// Steps a walk takes between looks at the stop flag.
constexpr std::size_t STOP_CHECK_STEPS = 4096;

// Walks row `row` of z from node k, which it reached in `taken` steps, to a
// leaf, or to where missing(k, left_size, right_size, value, fault)
// stops it at a category neither set lists. Returns false with `fault`
// filled (its node and row) where the walk cannot go on: a variable beyond
// z's columns, a split whose sets fail `checks`, a bad child, a walk longer
// than any path of N nodes (a cycle), or the fault `missing` gives; and
// false without a fault once `stop` is set.
template <class Missing>
bool walk_row(const TreeView &t, const DataMatrix &z, std::size_t row, std::size_t k,
              std::size_t taken, SetChecks checks, Missing &&missing, Reached &reached,
              Fault &fault, const std::atomic<bool> *stop = nullptr)
{
    for (std::size_t steps = 1;; ++steps) {
        // Once `stop` is set (a path may be millions of nodes long): false,
        // and no fault.
        if (stop != nullptr && steps % STOP_CHECK_STEPS == 0 &&
            stop->load(std::memory_order_relaxed))
            return false;
        const std::int32_t v = t.var[k];
        if (v == 0) {
            reached = Reached{k, false, 0};
            return true;
        }
        fault.node = k;
        fault.row = row;
        // The variable first, then the split's sets.
        const std::uint64_t column = static_cast<std::uint64_t>(split_column(v));
        if (column > z.cols) {
            fault.kind = Fault::BAD_VARIABLE;
            fault.number = static_cast<std::int64_t>(column);
            fault.columns = z.cols;
            return false;
        }
        if (checks == SetChecks::at_split && !split_is_usable(t, k, fault))
            return false;
        const double x = z.values[row + (column - 1) * z.rows];
        bool right = !(t.cut[k] > x); // a NaN value or cut compares false: right
        if (v < 0) {
            Side side = MISSING;
            std::size_t left_size = 0, right_size = 0;
            if (checks == SetChecks::at_split)
                side = categorical_side(t, static_cast<std::size_t>(category_of(t.cut[k])) - 1,
                                        v, category_of(x));
            else if (!side_as_needed(t, k, category_of(x), side, left_size, right_size, fault))
                return false;
            if (side == MISSING) {
                const MissingChoice choice = missing(k, left_size, right_size, x, fault);
                if (choice.kind == MissingChoice::FAULT)
                    return false;
                if (choice.kind == MissingChoice::STOP) {
                    reached = Reached{k, true, choice.value};
                    return true;
                }
                side = choice.kind == MissingChoice::RIGHT ? RIGHT : LEFT;
            }
            right = side == RIGHT;
        }
        // The child first, then the step.
        if (!child_of(t, k, right, k, fault))
            return false;
        if (++taken > t.N - 1) {
            fault.kind = Fault::CYCLE;
            return false;
        }
    }
}

// treecast's strategies for a category neither value set of node k
// lists (strategyForMissing): stop there with nodepred (0), nodepred less
// (6) or plus (7) stddev; go to a side drawn from the C library's
// generator with even odds (1), or with odds by the sets' sizes (2, 3:
// `<= L` on purpose, the side for a draw of L is part of the strategy); go
// left (4) or right (5).
struct MissingStrategy {
    std::int32_t strategy;
    const double *nodepred;
    const double *stddev;

    MissingChoice operator()(std::size_t k, std::size_t L, std::size_t R, double,
                             Fault &f) const
    {
        switch (strategy) {
        case 0:
            return {MissingChoice::STOP, nodepred[k]};
        case 1:
            return {std::rand() % 2 == 0 ? MissingChoice::LEFT : MissingChoice::RIGHT};
        case 2:
        case 3: {
            if (L + R == 0) {
                f.kind = Fault::NO_SIDE;
                f.number = strategy;
                return {MissingChoice::FAULT};
            }
            const std::size_t draw = static_cast<std::size_t>(std::rand()) % (L + R);
            return {(draw <= L) == (strategy == 2) ? MissingChoice::LEFT : MissingChoice::RIGHT};
        }
        case 4:
            return {MissingChoice::LEFT};
        case 5:
            return {MissingChoice::RIGHT};
        case 6:
            return {MissingChoice::STOP, nodepred[k] - stddev[k]};
        case 7:
            return {MissingChoice::STOP, nodepred[k] + stddev[k]};
        default:
            f.kind = Fault::BAD_STRATEGY;
            f.number = strategy;
            return {MissingChoice::FAULT};
        }
    }
};

// ---- the compiled block walk --------------------------------------------

// A node as the block walk reads it: its cut (at a categorical split, its
// catsplit row in the windows), the column of the rows its variable sits in,
// and its left child; the right child is the next step (compile_tree
// numbers the steps so). A row stays where the checked walk must decide (a
// leaf, a fault to report, a column past 65,536): such a step's cut is NaN,
// which sends every row right, and its left child the step before it, so
// that the arithmetic of an ordered step leads back to the step itself
// without a branch. 16 bytes: a tree of 60,000 nodes fits a core's second
// level cache.
struct Step {
    double cut;
    std::uint32_t left;
    std::uint16_t column; // 0-based
    std::uint16_t categorical;
};
static_assert(sizeof(Step) == 16, "a step is a quarter of a cache line");

// A tree compiled for the block walk: its steps, numbered breadth first
// from the root so that each split's children are neighbours; the windows
// of its catsplit rows; and the tree's own node number of each step.
struct CompiledTree {
    const Step *steps;
    const CategoryWindow *windows;
    const std::uint32_t *node_of_step;
};

// A tree pays compiling when a quarter of its nodes' worth of rows go down
// it; rows of no columns take no step.
inline bool worth_compiling(std::size_t rows, std::size_t columns, std::size_t N)
{
    return columns > 0 && rows >= N / 4;
}

// The bytes compiling a tree of N nodes and M catsplit rows takes at most:
// its steps, node numbers and labels, and its windows.
inline double compiled_tree_bytes(std::size_t N, std::size_t M)
{
    return (sizeof(Step) + 8.0) * static_cast<double>(N) +
           sizeof(CategoryWindow) * static_cast<double>(M);
}

// The window of a compact tree's categorical node k (usable): its left set,
// the rest of its variable's levels right.
inline CategoryWindow compact_window(const TreeView &t, std::size_t k)
{
    const std::size_t r = static_cast<std::size_t>(category_of(t.cut[k])) - 1;
    return left_set_window(t.set(r).values,
                           t.levels_of(static_cast<std::size_t>(split_column(t.var[k]))));
}

inline bool same_window(const CategoryWindow &a, const CategoryWindow &b)
{
    return a.known == b.known && a.right == b.right && a.base == b.base;
}

// Compiles tree t for rows of `columns` columns into `steps` (N at most),
// `windows` (M) and `node_of_step` (N at most); `label` is scratch of N.
// Only splits that pass every check compile, each split's children taking
// the next two steps; the others, and a child met a second time (a shared
// subtree or a cycle), stay for the checked walk. Returns the steps made.
inline std::size_t compile_tree(const TreeView &t, std::size_t columns, Step *steps,
                                CategoryWindow *windows, std::uint32_t *node_of_step,
                                std::uint32_t *label)
{
    constexpr std::uint32_t NONE = std::numeric_limits<std::uint32_t>::max();
    Fault ignored;
    // Only usable sets are read: no split that names another row compiles.
    // A compact tree's right sets are the other categories of the split's
    // variable: its window is made from the first node naming its sets.
    if (t.left_only) {
        for (std::size_t k = t.N; k-- > 0;)
            if (t.var[k] < 0 && split_is_usable(t, k, ignored))
                windows[category_of(t.cut[k]) - 1] = compact_window(t, k);
    } else {
        for (std::size_t r = 0; r < t.M; ++r)
            windows[r] = category_window(t.set(r).values, t.set(r + t.M).values);
    }
    for (std::size_t k = 0; k < t.N; ++k)
        label[k] = NONE;
    label[0] = 0;
    node_of_step[0] = 0;
    std::size_t made = 1;
    for (std::size_t s = 0; s < made; ++s) {
        const std::size_t k = node_of_step[s];
        // Unsigned arithmetic: the root's "step before" wraps to it.
        Step step{std::numeric_limits<double>::quiet_NaN(), static_cast<std::uint32_t>(s - 1),
                  0, 0};
        const std::int32_t v = t.var[k];
        const std::uint64_t column = static_cast<std::uint64_t>(split_column(v));
        std::size_t left = 0, right = 0;
        if (v != 0 && column <= std::min<std::size_t>(columns, UINT16_MAX + std::size_t{1}) &&
            split_is_usable(t, k, ignored) && child_of(t, k, false, left, ignored) &&
            child_of(t, k, true, right, ignored) && left != right && label[left] == NONE &&
            label[right] == NONE &&
            // Sets that nodes on variables of other levels share: the
            // checked walk decides here.
            !(v < 0 && t.left_only &&
              !same_window(windows[category_of(t.cut[k]) - 1], compact_window(t, k)))) {
            label[left] = static_cast<std::uint32_t>(made);
            label[right] = static_cast<std::uint32_t>(made + 1);
            node_of_step[made] = static_cast<std::uint32_t>(left);
            node_of_step[made + 1] = static_cast<std::uint32_t>(right);
            step.left = static_cast<std::uint32_t>(made);
            step.column = static_cast<std::uint16_t>(column - 1);
            step.cut = t.cut[k];
            if (v < 0) {
                step.categorical = 1;
                step.cut = category_of(t.cut[k]) - 1;
            }
            made += 2;
        }
        steps[s] = step;
    }
    return made;
}

// The step a row with value x goes to from step s: s itself where the
// checked walk must decide (also for a category its row's window does not
// know).
inline std::uint32_t next_step(const Step &step, const CategoryWindow *windows, std::uint32_t s,
                               double x)
{
    if (!step.categorical) // a NaN value or cut compares false: right
        return step.left + static_cast<std::uint32_t>(!(step.cut > x));
    const CategoryWindow &w = windows[static_cast<std::size_t>(step.cut)];
    const std::size_t side = w.side(category_of(x));
    return side == 2 ? s : step.left + static_cast<std::uint32_t>(side);
}

// Walks `count` rows (row b's column c at rows[b + c * stride]) down a
// compiled tree of N nodes, one step per sweep, each row's next step
// fetched as soon as it is known so that its load overlaps the other
// rows'. node[b] is the tree's node where row b ended and taken[b] the
// steps it took: a leaf, or a node for the checked walk. `moving` is
// scratch of `count`. False, the rows unfinished, once `stop` is set.
inline bool walk_block(const CompiledTree &c, std::size_t N, const double *rows,
                       std::size_t stride, std::size_t count, std::uint32_t *moving,
                       std::uint32_t *node, std::uint32_t *taken,
                       const std::atomic<bool> *stop = nullptr)
{
    for (std::size_t b = 0; b < count; ++b) {
        moving[b] = static_cast<std::uint32_t>(b);
        node[b] = 0;
        taken[b] = 0;
    }
    std::size_t live = count;
    for (std::size_t sweep = 0; live > 0 && sweep + 1 < N; ++sweep) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed))
            return false;
        std::size_t kept = 0;
        for (std::size_t q = 0; q < live; ++q) {
            const std::uint32_t b = moving[q];
            const std::uint32_t s = node[b];
            const Step &step = c.steps[s];
            // The row's value of the step's column (column 0 at a step it
            // stays at, which the rows have: they are compiled only then).
            const double x = rows[b + step.column * stride];
            const std::uint32_t next = next_step(step, c.windows, s, x);
            TOOLBOX_PREFETCH(c.steps + next);
            const bool moved = next != s;
            node[b] = next;
            taken[b] = static_cast<std::uint32_t>(sweep + moved);
            moving[kept] = b;
            kept += moved;
        }
        live = kept;
    }
    for (std::size_t b = 0; b < count; ++b)
        node[b] = c.node_of_step[node[b]];
    return true;
}

// ---- the list walk -------------------------------------------------------

// A split whose children are being visited: the node, its ranges of the
// two lists, how its divided list split, and what comes next.
struct ListFrame {
    std::size_t node;
    std::size_t c_first, nc;
    std::size_t p_first, np;
    std::size_t n_left, n_right;
    bool divides_instances;
    enum Stage { LEFT_NEXT, RIGHT_NEXT, MERGE_NEXT } stage;
};

// A stack of frames in a buffer of the tree's N (the deepest path).
class FrameBuffer {
public:
    explicit FrameBuffer(ListFrame *frames) : frames_(frames) {}
    bool empty() const { return size_ == 0; }
    ListFrame &back() { return frames_[size_ - 1]; }
    void push(const ListFrame &f) { frames_[size_++] = f; }
    void pop() { --size_; }

private:
    ListFrame *frames_;
    std::size_t size_ = 0;
};

// The list walk's scratch: the configurations' and instances' lists (K and
// N entries), a spare of max(K, N), a mark per node. The walk sets them up.
struct ListScratch {
    std::int32_t *confs;
    std::int32_t *insts;
    std::int32_t *spare;
    unsigned char *visited;
};

// List entries a walk handles between looks at the stop flag: well under a
// millisecond's work.
constexpr std::size_t STOP_CHECK_WORK = std::size_t{1} << 16;

// Undoes partition_stably: merges the increasing runs list[0..n_left) and
// list[n_left..n) back into one increasing list.
inline void merge_back(std::int32_t *list, std::size_t n_left, std::size_t n, std::int32_t *spare)
{
    if (n_left == 0 || n_left == n)
        return;
    std::memcpy(spare, list, n_left * sizeof *spare);
    std::size_t i = 0;
    std::size_t j = n_left;
    std::size_t out = 0;
    while (i < n_left && j < n) {
        // Branch-free, as in the partition: which run is taken is data.
        const std::int32_t from_left = spare[i];
        const std::int32_t from_right = list[j];
        const bool take_left = from_left < from_right;
        list[out++] = take_left ? from_left : from_right;
        i += take_left;
        j += !take_left;
    }
    while (i < n_left)
        list[out++] = spare[i++];
}

// Walks tree t with the configurations (rows of theta) and the instances
// (rows of x) from the root, depth first, left subtree first: a split on a
// configuration column divides only the configurations, one on an instance
// column only the instances, and a child is visited only with a nonempty
// share. At each leaf, leaf(k, confs, nc, insts, np) sees the rows that
// reach it. With `in_order`, a split's lists are merged back once its
// children are done, so that every list a leaf sees is increasing, as the
// lists were on entry; without, only their members count. Returns the
// first fault met, or none; returns early, with none, once `stop` is set.
// `frames` holds N.
template <class Stack, class Leaf>
Fault list_walk(const TreeView &t, const DataMatrix &theta, const DataMatrix &x,
                const ListScratch &s, bool in_order, Stack &frames, Leaf &&leaf,
                const std::atomic<bool> *stop)
{
    for (std::size_t i = 0; i < theta.rows; ++i)
        s.confs[i] = static_cast<std::int32_t>(i);
    for (std::size_t j = 0; j < x.rows; ++j)
        s.insts[j] = static_cast<std::int32_t>(j);
    std::memset(s.visited, 0, t.N);
    Fault fault;
    const std::size_t p = theta.cols;
    std::size_t work = 0;
    // Visits node k with its lists: the leaf's visitor, or a division of the
    // split's list into a frame for its children. False on a fault.
    auto visit = [&](std::size_t k, std::size_t c_first, std::size_t nc, std::size_t p_first,
                     std::size_t np) {
        // A second visit means a cycle or a shared subtree; it also bounds
        // the walk by N visits.
        if (s.visited[k]) {
            fault.kind = Fault::CYCLE;
            fault.node = k;
            return false;
        }
        s.visited[k] = 1;
        const std::int32_t v = t.var[k];
        if (v == 0) {
            leaf(k, s.confs + c_first, nc, s.insts + p_first, np);
            return true;
        }
        // The variable (when there are rows to route), then the split's sets,
        // also with none.
        const std::uint64_t variable = static_cast<std::uint64_t>(split_column(v));
        const bool divides_instances = variable > p;
        const std::size_t n = divides_instances ? np : nc;
        if (divides_instances && n > 0 && variable - p > x.cols) {
            fault.kind = Fault::BAD_VARIABLE;
            fault.node = k;
            fault.number = static_cast<std::int64_t>(variable);
            fault.columns = p + x.cols;
            return false;
        }
        if (!split_is_usable(t, k, fault))
            return false;
        if (n == 0)
            return true;
        // The children are visited next: start loading what their visits
        // read first (a tree is larger than the caches, and these loads
        // would otherwise wait on one another).
        for (const std::int32_t child : {t.leftchildren[k], t.rightchildren[k]})
            if (is_node_number(child, t.N)) {
                const std::size_t c = static_cast<std::size_t>(child) - 1;
                TOOLBOX_PREFETCH(t.var + c);
                TOOLBOX_PREFETCH(t.cut + c);
                TOOLBOX_PREFETCH(t.leaf_mean + c);
                TOOLBOX_PREFETCH(t.leaf_var + c);
                TOOLBOX_PREFETCH(t.leftchildren + c);
                TOOLBOX_PREFETCH(t.rightchildren + c);
                TOOLBOX_PREFETCH(s.visited + c);
            }
        const DataMatrix &data = divides_instances ? x : theta;
        const std::size_t column_index = divides_instances ? variable - p - 1 : variable - 1;
        const double *column = data.values + column_index * data.rows;
        std::int32_t *list = divides_instances ? s.insts + p_first : s.confs + c_first;
        std::size_t n_left;
        if (v > 0) {
            // A NaN value or cut compares false, so it goes right.
            const double cut = t.cut[k];
            n_left = partition_stably(list, n, s.spare,
                                      [column, cut](std::int32_t row) { return cut > column[row]; });
        } else {
            const std::size_t r = static_cast<std::size_t>(category_of(t.cut[k])) - 1;
            // The lowest row whose category is missing is named.
            bool missing = false;
            n_left = partition_stably(list, n, s.spare, [&](std::int32_t row) {
                const double value = column[row];
                const Side side = categorical_side(t, r, v, category_of(value));
                if (side == MISSING && (!missing || static_cast<std::size_t>(row) < fault.row)) {
                    missing = true;
                    fault.row = static_cast<std::size_t>(row);
                    fault.value = value;
                }
                return side == LEFT;
            });
            if (missing) {
                fault.kind = Fault::MISSING_CATEGORY;
                fault.node = k;
                fault.data = data.name;
                fault.column = column_index;
                return false;
            }
        }
        work += n;
        frames.push(ListFrame{k, c_first, nc, p_first, np, n_left, n - n_left,
                              divides_instances, ListFrame::LEFT_NEXT});
        return true;
    };
    // Visits the left (or right) child of the frame's node with its side
    // of the divided list; the other list passes unchanged.
    auto visit_child = [&](const ListFrame &f, bool left) {
        std::size_t child = 0;
        if (!child_of(t, f.node, !left, child, fault))
            return false;
        const std::size_t offset = left ? 0 : f.n_left;
        const std::size_t count = left ? f.n_left : f.n_right;
        return f.divides_instances ? visit(child, f.c_first, f.nc, f.p_first + offset, count)
                                   : visit(child, f.c_first + offset, count, f.p_first, f.np);
    };

    if (!visit(0, 0, theta.rows, 0, x.rows))
        return fault;
    while (!frames.empty()) {
        if (work >= STOP_CHECK_WORK) {
            work = 0;
            if (stop != nullptr && stop->load(std::memory_order_relaxed))
                return Fault();
        }
        // A copy: visiting a child may grow (and move) the stack.
        ListFrame &top = frames.back();
        const ListFrame f = top;
        bool ok = true;
        switch (f.stage) {
        case ListFrame::LEFT_NEXT:
            top.stage = ListFrame::RIGHT_NEXT;
            if (f.n_left > 0)
                ok = visit_child(f, true);
            break;
        case ListFrame::RIGHT_NEXT:
            // Without merging, the frame is done once its right child is
            // visited: f holds what that visit needs.
            if (in_order)
                top.stage = ListFrame::MERGE_NEXT;
            else
                frames.pop();
            if (f.n_right > 0)
                ok = visit_child(f, false);
            break;
        case ListFrame::MERGE_NEXT: // with in_order only
            if (f.divides_instances)
                merge_back(s.insts + f.p_first, f.n_left, f.np, s.spare);
            else
                merge_back(s.confs + f.c_first, f.n_left, f.nc, s.spare);
            frames.pop();
            break;
        }
        if (!ok)
            return fault;
    }
    return fault;
}

} // namespace core
