// Test-only: the C library generator's sequence after srand(seed), so the
// tests can replay the draws that treecast's random strategies make.
//   draws = crand(int32(seed), count)   seeds, then draws
//   draws = crand(count)                 draws on from the current state
#include "mexhost.hpp"

#include <cstdlib>

void mexFunction(int, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    host::require((nrhs == 2 && host::is_real_int32_scalar(prhs[0]) && mxIsDouble(prhs[1])) ||
                      (nrhs == 1 && mxIsDouble(prhs[0])),
                  "Usage: draws = crand(int32(seed), count) or crand(count)");
    const std::size_t count = static_cast<std::size_t>(mxGetScalar(prhs[nrhs - 1]));
    if (nrhs == 2)
        std::srand(static_cast<unsigned>(host::int32_scalar(prhs[0])));
    plhs[0] = mxCreateDoubleMatrix(1, static_cast<mwSize>(count), mxREAL);
    for (double &draw : host::doubles(plhs[0]))
        draw = std::rand();
}
