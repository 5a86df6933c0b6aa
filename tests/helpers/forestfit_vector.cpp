// Test-only: forestfit built without its AVX2 scorer, so that on any
// processor it scores with the vector kernel the build falls back to where
// AVX2 is missing (the portable one in a standard-only build). The tests
// require its forests from forestfit's bit for bit.
#define TOOLBOX_NO_AVX2
#include "../../forestfit/forestfit.cpp"
