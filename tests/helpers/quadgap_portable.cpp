// Test-only: quadgap built without its AVX2 copy, so the tests can require the
// portable kernel to give the same bits as the one the module dispatches to.
#define KERNELS_PORTABLE_ONLY
#include "../../quadgap/quadgap.cpp"
