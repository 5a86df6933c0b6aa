// Test-only: grows one host::Growing of doubles by each count in turn, so
// that the tests can ask the host for more than it can hand out.
//   host_growing(counts)    counts: a double row
#include "mexhost.hpp"

void mexFunction(int, mxArray *[], int nrhs, const mxArray *prhs[])
{
    host::require(nrhs == 1 && host::is_real_double(prhs[0]), "Usage: host_growing(counts)");
    const double *counts = mxGetPr(prhs[0]);
    host::Growing<double> grown;
    for (std::size_t k = 0; k < host::numel(prhs[0]); ++k)
        grown.extend(static_cast<std::size_t>(counts[k]));
}
