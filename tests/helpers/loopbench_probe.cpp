// Test-only: runs loopbench's own gateway, unchanged, and returns the probe
// array it wrote, so the tests can read what its passes left behind.
//   contents = loopbench_probe(...)   prints loopbench's lines; int32 column
// The module's source is compiled in here with its host allocation routed
// through a recorder and its gateway renamed; nothing else differs.
#include "mexhost.hpp"

#include <cstring>

namespace {

struct Recorded {
    void *memory = nullptr;
    std::size_t bytes = 0;
};

Recorded &recorded()
{
    static Recorded last;
    return last;
}

void *recording_calloc(std::size_t count, std::size_t size)
{
    Recorded &r = recorded();
    r.memory = mxCalloc(count, size);
    r.bytes = count * size;
    return r.memory;
}

} // namespace

#define mxCalloc recording_calloc
#define mexFunction loopbench_gateway
#include "../../loopbench/loopbench.cpp"
#undef mexFunction
#undef mxCalloc

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    recorded() = Recorded{};
    loopbench_gateway(nlhs, plhs, nrhs, prhs);
    const Recorded r = recorded();
    host::require(r.memory != nullptr, "loopbench allocated no probe array");
    plhs[0] = mxCreateNumericMatrix(static_cast<mwSize>(r.bytes / sizeof(std::int32_t)), 1,
                                    mxINT32_CLASS, mxREAL);
    std::memcpy(mxGetData(plhs[0]), r.memory, r.bytes);
    mxFree(r.memory);
}
