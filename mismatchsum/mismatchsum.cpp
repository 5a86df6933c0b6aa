// mismatchsum: weighted Hamming distances between integer-coded points.
//
//   C = mismatchsum(a,b,l)   C(i,j) = sum of w(k) over k with a(k,i) ~= b(k,j)
//
// with w(k) = 1/(l(k)*l(k)) and an empty b standing for a. Each element is
// one running sum over k ascending in which a match adds exactly 0 (not
// 0*w(k), so an infinite weight touches only the pairs that differ there).
// Many elements are evaluated side by side in SIMD lanes; no element's sum
// is reordered, so results are the same on every machine and build.
#include "mexhost.hpp"
#include "mismatches.hpp"

#include <cstring>

namespace {

using host::fail;
using core::mismatch_matrix;

enum { IN_A = 0, IN_B, IN_L, NUM_INPUTS };

// An int32 argument's codes; an empty one may be of any class, as no code
// is read from it.
void require_codes(const mxArray *x, const char *message)
{
    if (!mxIsEmpty(x) && !mxIsInt32(x))
        fail(message);
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    using namespace host;

    if (nrhs < NUM_INPUTS || nlhs > 1)
        fail("Usage: C = mismatchsum(a,b,l), where the b matrix may be empty.");

    // Codes are read as 32-bit integers, so a non-empty a or b of another
    // class is refused where it is first read.
    const mxArray *A = prhs[IN_A];
    require_codes(A, "a must be an int32 matrix.");
    const std::size_t D = rows(A);
    const std::size_t n = cols(A);
    const std::int32_t *a = static_cast<const std::int32_t *>(mxGetData(A));

    // An empty b (no rows or no columns), of any class, stands for a.
    const std::int32_t *b = a;
    std::size_t m = n;
    const mxArray *B = prhs[IN_B];
    if (!mxIsEmpty(B)) {
        require_codes(B, "b must be an int32 matrix.");
        m = cols(B);
        require(rows(B) == D, "Error: column lengths must agree");
        b = static_cast<const std::int32_t *>(mxGetData(B));
    }

    const mxArray *L = prhs[IN_L];
    require(mxIsDouble(L), "l must be a full double vector.");
    require_full(L, "l");
    if (rows(L) != D || cols(L) != 1) {
        mexPrintf("Length scale vector is %d by %d (not %d by 1)", static_cast<int>(rows(L)),
                  static_cast<int>(cols(L)), static_cast<int>(D));
        fail("Error: length scale vector must be D by 1");
    }
    const double *l = mxGetPr(L);

    // a of no columns costs nothing, yet sets the weights' and the output's
    // sizes.
    require_memory(8.0 * static_cast<double>(D), "a", "the weights");
    require_memory(8.0 * static_cast<double>(n) * static_cast<double>(m), b == a ? "a" : "b",
                   "the n-by-m output");

    // Each weight once, the square rounded before its reciprocal.
    Scratch<double> w(D);
    for (std::size_t k = 0; k < D; ++k)
        w[k] = 1.0 / (l[k] * l[k]);

    mxArray *C = mxCreateDoubleMatrix(static_cast<mwSize>(n), static_cast<mwSize>(m), mxREAL);
    if (n > 0 && m > 0)
        mismatch_matrix(a, b, w.data(), D, n, m, mxGetPr(C));
    Outputs(nlhs, plhs).set(0, C);
}
