// Test-only: forestfit built without its AVX2 kernels, so that on any
// processor it scores with the vector kernel and sorts small nodes with
// the insertion kernel, as where AVX2 is missing (the portable scorer in a
// standard-only build). The tests require its forests from forestfit's bit
// for bit.
#define TOOLBOX_NO_AVX2
#include "../../forestfit/forestfit.cpp"
