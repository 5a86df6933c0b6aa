// treecast: one prediction per row of X from one regression tree.
//
// The gateway checks its nine arguments in order, seeds the C library's
// generator with `seed`, creates the n-by-1 output and walks every row from
// the root. Rows are advanced in small groups so that their memory loads
// overlap; whatever could draw a random number or fail (a missing category,
// a tree fault) is finished by the plain row walk `fwd_one_row`, row by row
// in increasing order, so random draws and errors come exactly as a
// row-by-row walk would produce them.
#include "mexhost.hpp"

#include <cstdlib>

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

// A value set's standing: usable, unset, or of the wrong class. An unset
// element is a null handle (MATLAB) or a 0-by-0 double (Octave). The class
// is asked as a yes/no question: in Octave that is far cheaper than asking
// for the class ID, and this runs at every categorical visit.
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
    if (child < 1 || static_cast<std::size_t>(child) > N)
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
        const std::int64_t variable = v < 0 ? -static_cast<std::int64_t>(v) : v;
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
        if (r < 1 || static_cast<std::size_t>(r) > M)
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

// Rows walked together. Enough to keep several independent loads in
// flight; small enough to live in registers and L1.
constexpr std::size_t GROUP = 64;

// The value sets of one categorical node as the group walk uses them,
// fetched once per sweep of the group: the rows of a group often stand at
// the same node at once (all of them at the root), and the sets cannot
// change during the call. A set the row walk would report (unset, not
// int32) is marked unusable, so the group walk leaves that row to it.
struct NodeSets {
    std::size_t node = SIZE_MAX;
    bool left_ok = false;
    bool right_fetched = false;
    bool right_ok = false;
    host::Span<const std::int32_t> left;
    host::Span<const std::int32_t> right;
};

bool fetch_usable(const mxArray *catsplit, std::size_t index, host::Span<const std::int32_t> &set)
{
    const mxArray *element = mxGetCell(catsplit, static_cast<mwIndex>(index));
    if (set_state(element) != SetState::usable)
        return false;
    set = host::int32s(element);
    return true;
}

// One step of the group walk from node k for value x: the 1-based child, or
// 0 where the row walk has to take over (a missing category, or anything it
// would report as an error). Draws nothing and never fails.
std::int32_t safe_step(std::size_t k, std::int32_t v, double x, const double *cut,
                       const std::int32_t *children, const mxArray *catsplit, std::size_t N,
                       std::size_t M, NodeSets &sets)
{
    std::int32_t child;
    if (v > 0) {
        // Index arithmetic rather than a branch: the side is data.
        child = children[k + N * static_cast<std::size_t>(!(cut[k] > x))];
    } else {
        const std::int32_t r = category_of(cut[k]);
        if (r < 1 || static_cast<std::size_t>(r) > M)
            return 0;
        const std::size_t row = static_cast<std::size_t>(r) - 1;
        if (sets.node != k) {
            sets = NodeSets{};
            sets.node = k;
            sets.left_ok = fetch_usable(catsplit, row, sets.left);
        }
        if (!sets.left_ok)
            return 0;
        const std::int32_t c = category_of(x);
        if (lists(sets.left, c)) {
            child = children[k];
        } else {
            if (!sets.right_fetched) {
                sets.right_fetched = true;
                sets.right_ok = fetch_usable(catsplit, row + M, sets.right);
            }
            if (!sets.right_ok || !lists(sets.right, c))
                return 0;
            child = children[N + k];
        }
    }
    return child >= 1 && static_cast<std::size_t>(child) <= N ? child : 0;
}

// Fills `out` with the prediction of every row. The group walk takes only
// the steps that cannot fail and draw nothing; it parks a row at any other
// node. Parked rows are then finished by `fwd_one_row` in row order, so the
// first error reported and the order of random draws are the row walk's.
void predict_rows(const double *X, const std::int32_t *var, const double *cut,
                  const double *nodepred, const double *stddev, const std::int32_t *children,
                  const mxArray *catsplit, std::size_t n, std::size_t d, std::size_t N,
                  std::size_t M, std::int32_t strategyForMissing, double *out)
{
    std::size_t node[GROUP];
    std::size_t steps[GROUP];
    std::size_t moving[GROUP]; // the rows of the group still walking
    for (std::size_t first = 0; first < n; first += GROUP) {
        const std::size_t g = std::min(GROUP, n - first);
        const double *rows = X + first;
        std::size_t live = N > 0 ? g : 0;
        for (std::size_t r = 0; r < g; ++r) {
            node[r] = 0;
            moving[r] = r;
        }
        // Each sweep moves every walking row one step, so a row still
        // walking after `sweep` sweeps has taken exactly `sweep` steps; no
        // walk of a well-formed tree takes more than N-1.
        std::size_t sweep = 0;
        for (; live > 0 && sweep + 1 < N; ++sweep) {
            NodeSets sets;
            std::size_t kept = 0;
            for (std::size_t q = 0; q < live; ++q) {
                const std::size_t r = moving[q];
                const std::size_t k = node[r];
                const std::int32_t v = var[k];
                const std::int64_t variable = v < 0 ? -static_cast<std::int64_t>(v) : v;
                std::int32_t child = 0;
                // A leaf (variable 0) fails this test too.
                if (static_cast<std::uint64_t>(variable - 1) < d) {
                    const double x = rows[r + n * static_cast<std::size_t>(variable - 1)];
                    child = safe_step(k, v, x, cut, children, catsplit, N, M, sets);
                }
                // A row that cannot step stays where it is and leaves the list.
                const bool stepped = child != 0;
                node[r] = stepped ? static_cast<std::size_t>(child) - 1 : k;
                if (!stepped)
                    steps[r] = sweep;
                moving[kept] = r;
                kept += stepped;
            }
            live = kept;
        }
        for (std::size_t q = 0; q < live; ++q)
            steps[moving[q]] = sweep;
        for (std::size_t r = 0; r < g; ++r) {
            const std::size_t k = node[r];
            out[first + r] = (N > 0 && var[k] == 0)
                                 ? nodepred[k]
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
