// loopbench: a fixed allocation and memory-write workload, timed by the
// caller from outside.
//
// It allocates 10,000,000 32-bit integers from the host, zero-fills them
// explicitly, then writes every element once in each of ten passes in a
// strided order, printing a line before and after the passes. Inputs are
// not looked at and no output is created. All writes go through a volatile
// view, so the compiler keeps every one of them, in order, although nothing
// reads the array afterwards.
#include "mexhost.hpp"

namespace {

constexpr int PROBE_SIZE = 10000000;

// Element a + 100*b + 100000*c, a in 0..99, b in 0..999, c in 0..99.
constexpr int A_COUNT = 100;
constexpr int B_COUNT = 1000;
constexpr int C_COUNT = 100;
constexpr int B_STRIDE = 100;
constexpr int C_STRIDE = 100000;

constexpr int PASS_END = 100;
constexpr int PASS_STEP = 10;

// The explicit zero fill, in ascending order.
void zero_fill(volatile std::int32_t *probe)
{
    for (int e = 0; e < PROBE_SIZE; ++e)
        probe[e] = 0;
}

// Ten passes; the innermost loop strides 100,000 elements, the next 100,
// the outermost of the three 1. Pass r leaves r + 10*(a + b + c) in each
// element.
void strided_passes(volatile std::int32_t *probe)
{
    for (int r = 0; r < PASS_END; r += PASS_STEP)
        for (int a = 0; a < A_COUNT; ++a)
            for (int b = 0; b < B_COUNT; ++b)
                for (int c = 0; c < C_COUNT; ++c)
                    probe[a + B_STRIDE * b + C_STRIDE * c] = r + 10 * (a + b + c);
}

} // namespace

void mexFunction(int, mxArray *[], int, const mxArray *[])
{
    mexPrintf("Allocating int array of size %d\n", PROBE_SIZE);
    // Call-scoped host memory: the host reclaims it when the call ends.
    // MATLAB reports a failed allocation itself; another host may hand null.
    volatile std::int32_t *probe =
        static_cast<std::int32_t *>(mxCalloc(PROBE_SIZE, sizeof(std::int32_t)));
    if (probe == nullptr)
        host::out_of_memory(static_cast<double>(PROBE_SIZE) * sizeof(std::int32_t));
    zero_fill(probe);
    mexPrintf("Starting loop\n");
    strided_passes(probe);
    mexPrintf("Done.\n");
}
