// Test-only: tile_kernel() names the kernel the distance modules of this
// build (quadgap, mismatchsum) dispatch to on this processor.
#include "mexhost.hpp"
#include "tiles.hpp"

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *[])
{
    if (nrhs != 0 || nlhs > 1)
        host::fail("Usage: kernel = tile_kernel()");
    plhs[0] = mxCreateString(core::tiles::kernel_name(core::tiles::dispatched_kernel()));
}
