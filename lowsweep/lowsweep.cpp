// lowsweep: solves T*X = B for X, T square lower triangular, by forward
// substitution in the BLAS.
//
// The gateway checks its two arguments, copies b into the new output and
// has the BLAS routine dtrsm overwrite that copy with the solution: one
// call, left side, lower triangle, no transpose, diagonal as stored,
// alpha 1. Only the lower triangle of T is read, and only the real parts of
// both inputs.
#include "mexhost.hpp"

#include <cstring>
#include <limits>

// The BLAS's integer width and symbol name depend on the host: Octave here
// links the system BLAS (reference naming, dtrsm_, 32-bit integers); 64-bit
// MATLAB's BLAS takes 64-bit integers and names the routine dtrsm_ on Linux
// and macOS, dtrsm on Windows. The build defines BLAS_INT64 and
// BLAS_TRAILING_UNDERSCORE where they apply.
#if defined(BLAS_INT64)
using blas_int = std::int64_t;
#else
using blas_int = std::int32_t;
#endif

#if defined(BLAS_TRAILING_UNDERSCORE)
#define LOWSWEEP_DTRSM dtrsm_
#else
#define LOWSWEEP_DTRSM dtrsm
#endif

// The reference calling convention: every argument by reference, no hidden
// lengths for the one-character options.
extern "C" void LOWSWEEP_DTRSM(const char *side, const char *uplo, const char *transa,
                               const char *diag, const blas_int *m, const blas_int *n,
                               const double *alpha, const double *a, const blas_int *lda,
                               double *b, const blas_int *ldb);

namespace {

enum { IN_T = 0, IN_B, NUM_INPUTS };
enum { OUT_X = 0 };

// Overwrites the m-by-n column-major B with the solution of T*X = B, T the
// m-by-m lower triangle (non-unit diagonal) stored in `T`. m >= 1.
void lower_solve(const double *T, double *B, blas_int m, blas_int n)
{
    const char left = 'L';
    const char lower = 'L';
    const char no_transpose = 'N';
    const char non_unit = 'N';
    const double one = 1.0;
    LOWSWEEP_DTRSM(&left, &lower, &no_transpose, &non_unit, &m, &n, &one, T, &m, B, &m);
}

bool fits_blas_int(std::size_t count)
{
    return count <= static_cast<std::size_t>(std::numeric_limits<blas_int>::max());
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    using namespace host;

    require(nrhs == NUM_INPUTS && nlhs <= 1, "Usage: x = lowsweep(T,b)");

    const mxArray *T = prhs[IN_T];
    const mxArray *b = prhs[IN_B];
    // A T of more than two dimensions counts its trailing dimensions as
    // columns here, before the dimension test.
    const std::size_t m = rows(T);
    require(cols(T) == m, "matrix must be square");
    const std::size_t n = cols(b);
    require(!mxIsSparse(T) && !mxIsSparse(b), "Sorry, can't handle sparse matrices yet.");
    require(dimension_count(T) == 2, "Arguments must be matrices.");
    require(dimension_count(b) == 2, "Arguments must be matrices.");

    // The buffers are read as m*m and m*n doubles: anything else would read
    // past them.
    require(mxIsDouble(T), "T must be a double matrix.");
    require(mxIsDouble(b), "b must be a double matrix.");
    if (rows(b) != m)
        fail_fmt("b must have as many rows as T (%zu), not %zu.", m, rows(b));
    require(fits_blas_int(m) && fits_blas_int(n),
            "T and b are too large for the BLAS's integer sizes.");

    require_memory(8.0 * static_cast<double>(m) * static_cast<double>(n), "b", "the solution");

    mxArray *X = mxCreateDoubleMatrix(static_cast<mwSize>(m), static_cast<mwSize>(n), mxREAL);
    // With no rows there is nothing to solve, and the BLAS would refuse a
    // leading dimension of 0.
    if (m > 0) {
        double *solution = mxGetPr(X);
        if (n > 0)
            std::memcpy(solution, mxGetPr(b), m * n * sizeof(double));
        lower_solve(mxGetPr(T), solution, static_cast<blas_int>(m), static_cast<blas_int>(n));
    }
    Outputs(nlhs, plhs).set(OUT_X, X);
}
