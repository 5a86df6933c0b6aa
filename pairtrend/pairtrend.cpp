// pairtrend: the linear (Pearson) correlation coefficient of two vectors.
//
// The gateway checks its two arguments, creates the 1-by-1 output and hands
// both data buffers to `pair_correlation`, which makes one pass over the
// data with five running sums. The factor N stays in the numerator and in
// both radicands, so population and sample normalisation give the same
// coefficient. A numerator within 1e-10 of zero (an absolute bound) gives
// exactly 1.
#include "mexhost.hpp"

#include <cmath>

namespace {

enum { IN_X = 0, IN_Y, NUM_INPUTS };
enum { OUT_CC = 0 };

constexpr double NEAR_ZERO = 1e-10;

// The length of a vector: the larger of its row and column counts.
std::size_t vector_length(const mxArray *a)
{
    return std::max(host::rows(a), host::cols(a));
}

// A noncomplex double array with one dimension 1 (a row or a column; the
// other dimension may still be 0).
bool is_real_double_vector(const mxArray *a)
{
    return host::is_real_double(a) && std::min(host::rows(a), host::cols(a)) == 1;
}

// The coefficient of x and y, N >= 1 elements each, taken in storage order.
// Each sum is accumulated in ascending index order; the five sums are
// independent, so the processor works on them side by side.
double pair_correlation(const double *x, const double *y, std::size_t N)
{
    double Sx = 0.0, Sy = 0.0, Sxx = 0.0, Syy = 0.0, Sxy = 0.0;
    for (std::size_t i = 0; i < N; ++i) {
        const double xi = x[i];
        const double yi = y[i];
        Sx += xi;
        Sy += yi;
        Sxx += xi * xi;
        Syy += yi * yi;
        Sxy += xi * yi;
    }
    const double n = static_cast<double>(N);
    const double num = Sxy * n - Sx * Sy;
    // A NaN numerator fails both comparisons and goes on to the division.
    if (num > -NEAR_ZERO && num < NEAR_ZERO)
        return 1.0;
    return num / (std::sqrt(n * Syy - Sy * Sy) * std::sqrt(n * Sxx - Sx * Sx));
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    using namespace host;

    require(nrhs == NUM_INPUTS, "Usage: cc = pairtrend(x,y).");
    require(nlhs <= 1, "Too many output arguments");

    // The first argument's message names it `var`.
    const mxArray *x = prhs[IN_X];
    require(is_real_double_vector(x), "var must be a noncomplex double vector of length N.");
    require_full(x, "x");
    const std::size_t N = vector_length(x);

    const mxArray *y = prhs[IN_Y];
    require(is_real_double_vector(y) && vector_length(y) == N,
            "y must be a noncomplex double vector of length N (where N=length(x)).");
    require_full(y, "y");

    const mwSize one_by_one[2] = {1, 1};
    mxArray *cc = mxCreateNumericArray(2, one_by_one, mxDOUBLE_CLASS, mxREAL);
    mxGetPr(cc)[0] = pair_correlation(mxGetPr(x), mxGetPr(y), N);
    Outputs(nlhs, plhs).set(OUT_CC, cc);
}
