// quadgap: squared Euclidean distances between the columns of two matrices,
// or, given a weight matrix Q, per-coordinate weighted sums of squared gaps.
//
//   C = quadgap(a,b)    C(i,j) = sum_k (a(k,i) - b(k,j))^2
//   C = quadgap(a)      the same with b = a (also when b is empty)
//   c = quadgap(a,b,Q)  c(k) = sum_{i,j} Q(i,j) * (a(k,i) - b(k,j))^2
//
// Every sum is the strict double evaluation in a fixed order: one running
// sum per element over k ascending, each difference and product rounded
// before the next operation. The speed comes from evaluating many elements
// side by side in SIMD lanes (a register tile of C), never from reordering
// one element's sum, so results are the same on every machine and build.
#include "distances.hpp"
#include "mexhost.hpp"

#include <cstring>

namespace {

using host::fail;
using core::distance_matrix;
using core::weighted_sums;

enum { IN_A = 0, IN_B, IN_Q };

const char USAGE[] = "Usage: C = quadgap(a,b)\n"
                     "       or: C = quadgap(a)\n"
                     "       or: c = quadgap(a,b,Q)\n"
                     "where the b matrix may be empty.";

void require_full_double(const mxArray *x, const char *message, const char *name)
{
    if (!mxIsDouble(x))
        fail(message);
    host::require_full(x, name);
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    using namespace host;

    if (nrhs < 1 || nrhs > 3 || nlhs > 1)
        fail(USAGE);

    // Every argument is read as a full column-major buffer of doubles (the
    // real parts of a complex one), so other classes and sparse storage are
    // refused where the argument is first read.
    const mxArray *A = prhs[IN_A];
    require_full_double(A, "a must be a full double matrix.", "a");
    const std::size_t D = rows(A);
    const std::size_t n = cols(A);
    const double *a = mxGetPr(A);

    // An empty b (no rows or no columns), of any class, stands for a.
    const double *b = a;
    std::size_t m = n;
    if (nrhs >= 2 && !mxIsEmpty(prhs[IN_B])) {
        const mxArray *B = prhs[IN_B];
        require_full_double(B, "b must be a full double matrix.", "b");
        m = cols(B);
        require(rows(B) == D, "Error: column lengths must agree");
        b = mxGetPr(B);
    }

    const Outputs out(nlhs, plhs);
    if (nrhs == 3) {
        const mxArray *Qarg = prhs[IN_Q];
        require_full_double(Qarg, "Q must be a full double matrix.", "Q");
        require(cols(Qarg) == m && rows(Qarg) == n,
                "Error: 3rd matrix argument has wrong dimensions");
        require_memory(8.0 * static_cast<double>(D), "a", "the D-by-1 output");
        mxArray *c = mxCreateDoubleMatrix(static_cast<mwSize>(D), 1, mxREAL);
        if (D > 0 && n > 0 && m > 0)
            weighted_sums(a, b, mxGetPr(Qarg), D, n, m, mxGetPr(c));
        out.set(0, c);
        return;
    }

    require_memory(8.0 * static_cast<double>(n) * static_cast<double>(m), b == a ? "a" : "b",
                   "the n-by-m output");
    mxArray *C = mxCreateDoubleMatrix(static_cast<mwSize>(n), static_cast<mwSize>(m), mxREAL);
    if (n > 0 && m > 0)
        distance_matrix(a, b, D, n, m, mxGetPr(C));
    out.set(0, C);
}
