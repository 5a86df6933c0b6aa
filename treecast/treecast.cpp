// treecast: one prediction per row of X from one regression tree.
//
// The gateway checks its nine arguments in order, seeds the C library's
// generator with `seed`, creates the n-by-1 output and walks every row from
// the root. With many rows, the tree is first compiled into a flat table of
// steps and rows are advanced in groups, so that their memory loads overlap;
// whatever could draw a random number or fail (a missing category, a tree
// fault) is finished by the plain row walk `fwd_one_row`, row by row in
// increasing order, so random draws and errors come exactly as a row-by-row
// walk would produce them.
#include "faults.hpp"
#include "mexhost.hpp"
#include "treeargs.hpp"
#include "treerules.hpp"

#include <cstdlib>
#include <type_traits>

namespace {

using host::fail;
using host::fail_fmt;
using core::category_of;
using core::is_catsplit_row;
using core::is_node_number;
using core::lists;
using core::SetState;
using host::set_state;
using core::split_column;

enum {
    IN_X = 0,
    IN_VAR,
    IN_CUT,
    IN_NODEPRED,
    IN_STDDEV,
    IN_CHILDREN,
    IN_CATSPLIT,
    IN_SEED,
    IN_STRATEGY,
    NUM_INPUTS
};

// The tree, read in place: N nodes, M catsplit rows.
struct Tree {
    const std::int32_t *var;
    const double *cut;
    const double *nodepred;
    const double *stddev;
    const std::int32_t *children; // N-by-2: left, then right
    const mxArray *catsplit;
    std::size_t N;
    std::size_t M;

    std::int32_t left_child(std::size_t k) const { return children[k]; }
    std::int32_t right_child(std::size_t k) const { return children[N + k]; }
};

// The rows to route: X, n rows of d variables, column-major.
struct Rows {
    const double *X;
    std::size_t n;
    std::size_t d;

    double value(std::size_t i, std::int64_t column) const
    {
        return X[i + n * static_cast<std::size_t>(column - 1)];
    }
};

// Fetches one value set of a categorical split, with the checks the walk
// makes at every visit.
const mxArray *value_set(const mxArray *catsplit, std::size_t index)
{
    const mxArray *set = mxGetCell(catsplit, static_cast<mwIndex>(index));
    switch (set_state(set)) {
    case SetState::unset:
        fail("Empty Cell in catsplit\n");
    case SetState::not_int32:
        fail("Elements of catsplit cell array have to be ints (cast them to int in Matlab)");
    case SetState::usable:
        break;
    }
    return set;
}

// Moves from node k (0-based) to the child numbered `child` (1-based),
// refusing numbers outside the tree and walks longer than any path of a
// well-formed tree (which can only come from a cycle).
std::size_t step_to(std::int32_t child, std::size_t k, std::size_t N, std::size_t &steps)
{
    if (!is_node_number(child, N))
        fail_fmt("children of node %zu must be node numbers in 1..%zu (got %d).", k + 1, N,
                 child);
    if (++steps > N - 1)
        fail("the tree's children form a cycle: a walk from the root is longer than N-1 steps.");
    return static_cast<std::size_t>(child) - 1;
}

// What a category that neither value set lists does at a node: the walk
// stops there with a value, or goes on to one side.
struct MissingChoice {
    bool stops;
    double value; // when it stops
    bool go_left; // when it goes on
};

// The strategy's choice at node k, whose value sets list L and R
// categories. Strategies 1 to 3 draw from the C library's generator.
MissingChoice choose_for_missing(const Tree &t, std::size_t k, std::int32_t strategyForMissing,
                                 std::size_t L, std::size_t R)
{
    switch (strategyForMissing) {
    case 0:
        return {true, t.nodepred[k], false};
    case 1:
        return {false, 0.0, std::rand() % 2 == 0};
    case 2:
    case 3: {
        if (L + R == 0)
            fail_fmt("strategyForMissing %d cannot choose a side at categorical node %zu: "
                     "both of its value sets are empty.",
                     strategyForMissing, k + 1);
        // `<= L` on purpose: the side for t = L is part of the strategy.
        const std::size_t draw = static_cast<std::size_t>(std::rand()) % (L + R);
        return {false, 0.0, (draw <= L) == (strategyForMissing == 2)};
    }
    case 4:
        return {false, 0.0, true};
    case 5:
        return {false, 0.0, false};
    case 6:
        return {true, t.nodepred[k] - t.stddev[k], false};
    case 7:
        return {true, t.nodepred[k] + t.stddev[k], false};
    default:
        fail("Neither going left nor right nor staying here should be impossible!");
    }
}

// Routes row i from `start_node` to a leaf, or to the node where a
// stopping missing-value strategy returns. `steps_taken` counts the moves
// the row already made before `start_node`.
double fwd_one_row(const Tree &t, const Rows &x, std::size_t i, std::size_t start_node,
                   std::int32_t strategyForMissing, std::size_t steps_taken = 0)
{
    if (t.N == 0)
        fail("the tree has no nodes: var must have at least one row to route rows of X.");
    std::size_t k = start_node;
    std::size_t steps = steps_taken;
    for (;;) {
        const std::int32_t v = t.var[k];
        if (v == 0)
            return t.nodepred[k];
        const std::int64_t variable = split_column(v);
        if (static_cast<std::uint64_t>(variable) > x.d)
            fail_fmt("split variable %lld of node %zu exceeds the %zu columns of X.",
                     static_cast<long long>(variable), k + 1, x.d);
        const double value = x.value(i, variable);

        if (v > 0) {
            // A NaN value or cut compares false, so it goes right.
            const std::int32_t child = t.cut[k] > value ? t.left_child(k) : t.right_child(k);
            k = step_to(child, k, t.N, steps);
            continue;
        }

        const std::int32_t r = category_of(t.cut[k]);
        if (!is_catsplit_row(r, t.M))
            host::fail_cut("", k + 1, t.cut[k], "catsplit row", t.M);
        const std::int32_t c = category_of(value);

        // The left set is searched first, so a category both sets list goes
        // left; the right set is fetched only when the left one fails.
        const mxArray *left_set = value_set(t.catsplit, static_cast<std::size_t>(r) - 1);
        if (lists(host::int32s(left_set), c)) {
            k = step_to(t.left_child(k), k, t.N, steps);
            continue;
        }
        const mxArray *right_set = value_set(t.catsplit, static_cast<std::size_t>(r) - 1 + t.M);
        if (lists(host::int32s(right_set), c)) {
            k = step_to(t.right_child(k), k, t.N, steps);
            continue;
        }

        const MissingChoice choice = choose_for_missing(t, k, strategyForMissing,
                                                        host::numel(left_set),
                                                        host::numel(right_set));
        if (choice.stops)
            return choice.value;
        k = step_to(choice.go_left ? t.left_child(k) : t.right_child(k), k, t.N, steps);
    }
}

// Reads catsplit row `row` (0-based) as the group walk reads it (a row
// with an unusable left set is known nowhere; an unusable right set lists
// nothing). The sets cannot change during a call, so each row is read once
// per call, not at every visit; a read raises nothing, even for a set the
// row walk would report.
core::CategoryWindow read_sides(const mxArray *catsplit, std::size_t row, std::size_t M)
{
    const mxArray *left = mxGetCell(catsplit, static_cast<mwIndex>(row));
    if (set_state(left) != SetState::usable)
        return {};
    host::Span<const std::int32_t> right_set;
    const mxArray *right = mxGetCell(catsplit, static_cast<mwIndex>(row + M));
    if (set_state(right) == SetState::usable)
        right_set = host::int32s(right);
    return core::category_window(host::int32s(left), right_set);
}

// Rows walked together. Enough to keep several independent loads in
// flight; small enough to live in registers and L1.
constexpr std::size_t GROUP = 256;

// One node as the group walk reads it: where its variable sits in X, its
// cut or its category window, and the node each side leads to (0-based).
// Side 2 is the node itself: a row "stays" where the row walk would draw,
// stop or report a fault, and at a leaf.
struct Step {
    std::size_t column_start = 0; // n * (column - 1); 0 at nodes a row stays at
    double cut = 0;
    core::CategoryWindow sides; // categorical nodes only
    // Children are int32, so every node a row can reach numbers below 2^31.
    std::uint32_t next[3] = {};
    bool categorical = false;
    bool compiled = false;
};

// Compiles node k. Nodes are compiled at their first visit in a call: a
// categorical node costs host calls, and a call with few rows meets only
// a few of the nodes.
Step compile_step(const Tree &t, const Rows &x, std::size_t k)
{
    Step step;
    step.compiled = true;
    step.next[0] = step.next[1] = step.next[2] = static_cast<std::uint32_t>(k);
    const std::int32_t v = t.var[k];
    const std::int64_t variable = split_column(v);
    if (v == 0 || static_cast<std::uint64_t>(variable) > x.d)
        return step;
    step.column_start = x.n * static_cast<std::size_t>(variable - 1);
    // A child outside the tree, or the node itself, keeps the row here.
    for (std::size_t side = 0; side < 2; ++side) {
        const std::int32_t child = side == 0 ? t.left_child(k) : t.right_child(k);
        if (is_node_number(child, t.N))
            step.next[side] = static_cast<std::uint32_t>(child - 1);
    }
    if (v > 0) {
        step.cut = t.cut[k];
        return step;
    }
    step.categorical = true;
    const std::int32_t r = category_of(t.cut[k]);
    if (is_catsplit_row(r, t.M))
        step.sides = read_sides(t.catsplit, static_cast<std::size_t>(r) - 1, t.M);
    return step;
}

// Which way a row with value x leaves `step`: 0 left, 1 right, 2 stay.
inline std::size_t side_of(const Step &step, double x)
{
    if (!step.categorical)
        return !(step.cut > x); // a NaN value or cut compares false: right
    return step.sides.side(category_of(x));
}

// Fills `out` with the prediction of every row. Rows are walked in groups;
// the group walk only takes steps that cannot fail and draw nothing, and a
// row stays at any other node. Rows that stayed are then finished by
// `fwd_one_row` in row order, so the first error reported and the order of
// random draws are the row walk's.
void predict_rows(const Tree &t, const Rows &x, std::int32_t strategyForMissing, double *out)
{
    const std::size_t n = x.n;
    const std::size_t N = t.N;
    // The step table costs a zero-filled entry per node; with few rows to
    // route, or nothing to read or walk, the row walk alone is cheaper. A
    // table larger than the machine's memory is not even tried.
    if (N == 0 || x.d == 0 || n == 0 || n < N / 4 ||
        host::exceeds_memory(static_cast<double>(N) * sizeof(Step))) {
        for (std::size_t i = 0; i < n; ++i)
            out[i] = fwd_one_row(t, x, i, 0, strategyForMissing);
        return;
    }
    // Zero bytes are a Step not compiled yet.
    static_assert(std::is_trivially_copyable_v<Step>);
    host::Scratch<Step> steps_of(N);

    std::size_t node[GROUP];
    std::size_t steps[GROUP];
    std::size_t moving[GROUP]; // the rows of the group still walking
    for (std::size_t first = 0; first < n; first += GROUP) {
        const std::size_t g = std::min(GROUP, n - first);
        const double *rows = x.X + first;
        for (std::size_t r = 0; r < g; ++r) {
            node[r] = 0;
            steps[r] = 0;
            moving[r] = r;
        }
        // Each sweep moves every walking row one step, so a row still
        // walking after `sweep` sweeps has taken exactly `sweep` steps; no
        // walk of a well-formed tree takes more than N-1.
        std::size_t live = g;
        std::size_t sweep = 0;
        for (; live > 0 && sweep + 1 < N; ++sweep) {
            std::size_t kept = 0;
            for (std::size_t q = 0; q < live; ++q) {
                const std::size_t r = moving[q];
                const std::size_t k = node[r];
                Step &step = steps_of[k];
                if (!step.compiled)
                    step = compile_step(t, x, k);
                // column_start + r stays inside X: r < g <= n - first.
                const std::size_t next = step.next[side_of(step, rows[r + step.column_start])];
                const bool moved = next != k;
                node[r] = next;
                steps[r] = sweep + moved;
                moving[kept] = r;
                kept += moved;
            }
            live = kept;
        }
        for (std::size_t r = 0; r < g; ++r) {
            const std::size_t k = node[r];
            out[first + r] = t.var[k] == 0 ? t.nodepred[k]
                                           : fwd_one_row(t, x, first + r, k, strategyForMissing,
                                                         steps[r]);
        }
    }
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    using namespace host;

    require(nrhs == NUM_INPUTS, "Usage: fwd(X, var, cut, nodepred, stddev, children, catsplit, "
                                "seed, strategyForMissing).");
    require(nlhs <= 1, "Too many output arguments");

    const mxArray *X = prhs[IN_X];
    require(is_real_double(X), "X must be a noncomplex double nxd matrix.");
    require_full(X, "X");
    const std::size_t n = rows(X);
    const std::size_t d = cols(X);

    const mxArray *var = prhs[IN_VAR];
    require(is_real_int32(var) && cols(var) == 1, "var must be a noncomplex int Nx1 vector.");
    const std::size_t N = rows(var);

    const mxArray *cut = prhs[IN_CUT];
    require(is_real_double(cut) && is_column(cut, N), "cut must be a noncomplex double Nx1 vector.");
    require_full(cut, "cut");
    const mxArray *nodepred = prhs[IN_NODEPRED];
    require(is_real_double(nodepred) && is_column(nodepred, N),
            "nodepred must be a noncomplex double Nx1 vector.");
    require_full(nodepred, "nodepred");
    const mxArray *stddev = prhs[IN_STDDEV];
    require(is_real_double(stddev) && is_column(stddev, N),
            "stddev must be a noncomplex double Nx1 vector.");
    require_full(stddev, "stddev");

    const mxArray *children = prhs[IN_CHILDREN];
    require(is_real_int32(children) && has_shape(children, N, 2),
            "children must be a noncomplex int Nx2 matrix.");

    const mxArray *catsplit = prhs[IN_CATSPLIT];
    require(mxIsCell(catsplit) && cols(catsplit) == 2, "catsplit must be a Mx2 cell array");

    const mxArray *seed = prhs[IN_SEED];
    require(is_real_int32_scalar(seed), "seed must be a noncomplex int scalar");
    // Seeded as soon as `seed` passes, before the last argument is tested.
    std::srand(static_cast<unsigned>(int32_scalar(seed)));

    const mxArray *strategy = prhs[IN_STRATEGY];
    require(is_real_int32_scalar(strategy), "strategyForMissing must be a noncomplex int scalar");
    const std::int32_t strategyForMissing = int32_scalar(strategy);

    // The output is created whether or not it was asked for (slot 1 always
    // exists); its size comes from X's rows, which cost nothing when X has
    // no columns.
    require_memory(8.0 * static_cast<double>(n), "X", "the n-by-1 output");
    mxArray *y = mxCreateDoubleMatrix(static_cast<mwSize>(n), 1, mxREAL);

    const Tree tree{int32s(var).data(), mxGetPr(cut), mxGetPr(nodepred), mxGetPr(stddev),
                    int32s(children).data(), catsplit, N, rows(catsplit)};
    const Rows data{mxGetPr(X), n, d};
    predict_rows(tree, data, strategyForMissing, mxGetPr(y));
    Outputs(nlhs, plhs).set(0, y);
}
