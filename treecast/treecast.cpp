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
#include "mexhost.hpp"

#include <cstdlib>
#include <type_traits>

namespace {

using host::fail;
using host::fail_fmt;

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

constexpr std::int32_t MISSING_CATEGORY = INT32_MIN;

// A data value's category: truncation toward zero to 32 bits; NaN and values
// outside the 32-bit range become the lowest 32-bit integer.
inline std::int32_t category_of(double x)
{
    if (x > -2147483649.0 && x < 2147483648.0)
        return static_cast<std::int32_t>(x);
    return MISSING_CATEGORY;
}

// The column of X a split reads (1-based): |v|, taken in 64 bits so that
// the lowest 32-bit integer has a magnitude too.
inline std::int64_t split_column(std::int32_t v)
{
    return v < 0 ? -static_cast<std::int64_t>(v) : v;
}

// Whether `child` numbers a node of a tree of N nodes (1-based).
inline bool is_node_number(std::int32_t child, std::size_t N)
{
    return child >= 1 && static_cast<std::size_t>(child) <= N;
}

// Whether a categorical cut's truncation `r` names a catsplit row (1-based).
inline bool is_catsplit_row(std::int32_t r, std::size_t M)
{
    return r >= 1 && static_cast<std::size_t>(r) <= M;
}

// A value set's standing: usable, unset, or of the wrong class. An unset
// element is a null handle (MATLAB) or a 0-by-0 double (Octave). The class
// is asked as a yes/no question: in Octave that is far cheaper than asking
// for the class ID, and the row walk asks at every categorical visit.
enum class SetState { usable, unset, not_int32 };

SetState set_state(const mxArray *set)
{
    if (!set)
        return SetState::unset;
    if (mxIsInt32(set))
        return SetState::usable;
    return host::is_unset(set) ? SetState::unset : SetState::not_int32;
}

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

// Whether a value set lists the category (a linear search: sets are short
// and neither sorted nor kept between calls).
bool lists(host::Span<const std::int32_t> set, std::int32_t category)
{
    return std::find(set.begin(), set.end(), category) != set.end();
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

// Routes row i of X (n rows, d columns) from `start_node` to a leaf, or to
// the node where a stopping missing-value strategy returns. `steps_taken`
// counts the moves the row already made before `start_node`.
double fwd_one_row(const double *X, const std::int32_t *var, const double *cut,
                   const double *nodepred, const double *stddev, const std::int32_t *children,
                   const mxArray *catsplit, std::size_t i, std::size_t n, std::size_t d,
                   std::size_t N, std::size_t M, std::size_t start_node,
                   std::int32_t strategyForMissing, std::size_t steps_taken = 0)
{
    if (N == 0)
        fail("the tree has no nodes: var must have at least one row to route rows of X.");
    std::size_t k = start_node;
    std::size_t steps = steps_taken;
    for (;;) {
        const std::int32_t v = var[k];
        if (v == 0)
            return nodepred[k];
        const std::int64_t variable = split_column(v);
        if (static_cast<std::uint64_t>(variable) > d)
            fail_fmt("split variable %lld of node %zu exceeds the %zu columns of X.",
                     static_cast<long long>(variable), k + 1, d);
        const double x = X[i + n * static_cast<std::size_t>(variable - 1)];

        if (v > 0) {
            // A NaN value or cut compares false, so it goes right.
            const std::int32_t child = cut[k] > x ? children[k] : children[N + k];
            k = step_to(child, k, N, steps);
            continue;
        }

        const std::int32_t r = category_of(cut[k]);
        if (!is_catsplit_row(r, M))
            fail_fmt("the cut of categorical node %zu names catsplit row %d, outside 1..%zu.",
                     k + 1, r, M);
        const std::int32_t c = category_of(x);

        // The left set is searched first, so a category both sets list goes
        // left; the right set is fetched only when the left one fails.
        const mxArray *left_set = value_set(catsplit, static_cast<std::size_t>(r) - 1);
        if (lists(host::int32s(left_set), c)) {
            k = step_to(children[k], k, N, steps);
            continue;
        }
        const mxArray *right_set = value_set(catsplit, static_cast<std::size_t>(r) - 1 + M);
        if (lists(host::int32s(right_set), c)) {
            k = step_to(children[N + k], k, N, steps);
            continue;
        }

        const std::size_t L = host::numel(left_set);
        const std::size_t R = host::numel(right_set);
        bool go_left;
        switch (strategyForMissing) {
        case 0:
            return nodepred[k];
        case 1:
            go_left = std::rand() % 2 == 0;
            break;
        case 2:
        case 3: {
            if (L + R == 0)
                fail_fmt("strategyForMissing %d cannot choose a side at categorical node %zu: "
                         "both of its value sets are empty.",
                         strategyForMissing, k + 1);
            // `<= L` on purpose: the side for t = L is part of the strategy.
            const std::size_t t = static_cast<std::size_t>(std::rand()) % (L + R);
            go_left = (t <= L) == (strategyForMissing == 2);
            break;
        }
        case 4:
            go_left = true;
            break;
        case 5:
            go_left = false;
            break;
        case 6:
            return nodepred[k] - stddev[k];
        case 7:
            return nodepred[k] + stddev[k];
        default:
            fail("Neither going left nor right nor staying here should be impossible!");
        }
        k = step_to(go_left ? children[k] : children[N + k], k, N, steps);
    }
}

// The value sets of one catsplit row as the group walk reads them: which
// categories base..base+63 either set lists (`known`) and which of those go
// right. Whatever the row walk would decide otherwise (a category outside
// that window, a set it would report as unset or not int32) is simply not
// known here, so the group walk leaves that row to the row walk.
struct Sides {
    std::uint64_t known = 0;
    std::uint64_t right = 0;
    std::int32_t base = 0;
};

// The categories base..base+63 that a value set lists.
std::uint64_t window_mask(host::Span<const std::int32_t> set, std::int64_t base)
{
    std::uint64_t mask = 0;
    for (const std::int32_t value : set) {
        const std::uint64_t offset = static_cast<std::uint64_t>(value - base);
        if (offset < 64)
            mask |= std::uint64_t{1} << offset;
    }
    return mask;
}

// Reads catsplit row `row` (0-based) into `sides`. The sets cannot change
// during a call, so each row is read once per call, not at every visit; a
// read raises nothing, even for a set the row walk would report.
void read_sides(const mxArray *catsplit, std::size_t row, std::size_t M, Sides &sides)
{
    sides = Sides{};
    const mxArray *left = mxGetCell(catsplit, static_cast<mwIndex>(row));
    if (set_state(left) != SetState::usable)
        return;
    const host::Span<const std::int32_t> left_set = host::int32s(left);
    host::Span<const std::int32_t> right_set;
    const mxArray *right = mxGetCell(catsplit, static_cast<mwIndex>(row + M));
    const bool right_usable = set_state(right) == SetState::usable;
    if (right_usable)
        right_set = host::int32s(right);
    // The window starts at the smallest category listed, so any 64
    // neighbouring categories fit, whatever their numbers.
    std::int32_t base = INT32_MAX;
    for (const std::int32_t value : left_set)
        base = std::min(base, value);
    for (const std::int32_t value : right_set)
        base = std::min(base, value);
    sides.base = base;
    const std::uint64_t left_mask = window_mask(left_set, base);
    // The left set is searched first: a category both sets list goes left.
    const std::uint64_t right_mask = right_usable ? window_mask(right_set, base) & ~left_mask : 0;
    sides.known = left_mask | right_mask;
    sides.right = right_mask;
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
    Sides sides; // categorical nodes only
    // Children are int32, so every node a row can reach numbers below 2^31.
    std::uint32_t next[3] = {};
    bool categorical = false;
    bool compiled = false;
};

// Compiles node k. Nodes are compiled at their first visit in a call: a
// categorical node costs host calls, and a call with few rows meets only
// a few of the nodes.
Step compile_step(std::size_t k, const std::int32_t *var, const double *cut,
                  const std::int32_t *children, const mxArray *catsplit, std::size_t n,
                  std::size_t d, std::size_t N, std::size_t M)
{
    Step step;
    step.compiled = true;
    step.next[0] = step.next[1] = step.next[2] = static_cast<std::uint32_t>(k);
    const std::int32_t v = var[k];
    const std::int64_t variable = split_column(v);
    if (v == 0 || static_cast<std::uint64_t>(variable) > d)
        return step;
    step.column_start = n * static_cast<std::size_t>(variable - 1);
    // A child outside the tree, or the node itself, keeps the row here.
    for (std::size_t side = 0; side < 2; ++side) {
        const std::int32_t child = children[k + N * side];
        if (is_node_number(child, N))
            step.next[side] = static_cast<std::uint32_t>(child - 1);
    }
    if (v > 0) {
        step.cut = cut[k];
        return step;
    }
    step.categorical = true;
    const std::int32_t r = category_of(cut[k]);
    if (is_catsplit_row(r, M))
        read_sides(catsplit, static_cast<std::size_t>(r) - 1, M, step.sides);
    return step;
}

// Which way a row with value x leaves `step`: 0 left, 1 right, 2 stay.
inline std::size_t side_of(const Step &step, double x)
{
    if (!step.categorical)
        return !(step.cut > x); // a NaN value or cut compares false: right
    const Sides &sides = step.sides;
    const std::uint64_t offset =
        static_cast<std::uint64_t>(std::int64_t{category_of(x)} - sides.base);
    const std::uint64_t bit = offset < 64 ? std::uint64_t{1} << offset : 0;
    if (!(sides.known & bit))
        return 2;
    return (sides.right & bit) != 0;
}

// Fills `out` with the prediction of every row. Rows are walked in groups;
// the group walk only takes steps that cannot fail and draw nothing, and a
// row stays at any other node. Rows that stayed are then finished by
// `fwd_one_row` in row order, so the first error reported and the order of
// random draws are the row walk's.
void predict_rows(const double *X, const std::int32_t *var, const double *cut,
                  const double *nodepred, const double *stddev, const std::int32_t *children,
                  const mxArray *catsplit, std::size_t n, std::size_t d, std::size_t N,
                  std::size_t M, std::int32_t strategyForMissing, double *out)
{
    // The step table costs a zero-filled entry per node; with few rows to
    // route, or nothing to read or walk, the row walk alone is cheaper. A
    // table larger than the machine's memory is not even tried.
    if (N == 0 || d == 0 || n == 0 || n < N / 4 ||
        host::exceeds_memory(static_cast<double>(N) * sizeof(Step))) {
        for (std::size_t i = 0; i < n; ++i)
            out[i] = fwd_one_row(X, var, cut, nodepred, stddev, children, catsplit, i, n, d, N, M,
                                 0, strategyForMissing);
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
        const double *rows = X + first;
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
                    step = compile_step(k, var, cut, children, catsplit, n, d, N, M);
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
            out[first + r] = var[k] == 0 ? nodepred[k]
                                         : fwd_one_row(X, var, cut, nodepred, stddev, children,
                                                       catsplit, first + r, n, d, N, M, k,
                                                       strategyForMissing, steps[r]);
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
    const std::size_t M = rows(catsplit);

    const mxArray *seed = prhs[IN_SEED];
    require(is_real_int32_scalar(seed), "seed must be a noncomplex int scalar");
    // Seeded as soon as `seed` passes, before the last argument is tested.
    std::srand(static_cast<unsigned>(int32_scalar(seed)));

    const mxArray *strategy = prhs[IN_STRATEGY];
    require(is_real_int32_scalar(strategy), "strategyForMissing must be a noncomplex int scalar");
    const std::int32_t strategyForMissing = int32_scalar(strategy);

    // Slot 1 always exists, also when no output was requested.
    plhs[0] = mxCreateDoubleMatrix(static_cast<mwSize>(n), 1, mxREAL);
    double *out = mxGetPr(plhs[0]);

    predict_rows(mxGetPr(X), int32s(var).data(), mxGetPr(cut), mxGetPr(nodepred),
                 mxGetPr(stddev), int32s(children).data(), catsplit, n, d, N, M,
                 strategyForMissing, out);
}
