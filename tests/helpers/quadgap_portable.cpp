// Test-only: quadgap built as PORTABLE_BUILD builds it (standard C++ only),
// so the tests can require its bits from the kernel the module dispatches
// to. [C, kernel] = quadgap_portable(...) also names the kernel this build
// dispatches to. The module's gateway is renamed so this one can wrap it.
#ifndef PORTABLE_BUILD
#define PORTABLE_BUILD
#endif
#define mexFunction quadgap_gateway
#include "../../quadgap/quadgap.cpp"
#undef mexFunction

extern "C" void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    quadgap_gateway(nlhs < 2 ? nlhs : 1, plhs, nrhs, prhs);
    if (nlhs >= 2)
        plhs[1] = mxCreateString(core::tiles::kernel_name(core::tiles::dispatched_kernel()));
}
