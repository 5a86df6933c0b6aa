// The loopbench workload as a plain program, for comparison: the same
// allocation, zero fill, three lines and ten strided passes, with ordinary
// (not volatile) stores. The memory comes from malloc, so the compiler
// keeps the zero fill (as a memset). One element is printed at the end so that the
// array stays live.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

int main(int argc, char **)
{
    const int size = 10000000;
    std::printf("Allocating int array of size %d\n", size);
    std::int32_t *probe = static_cast<std::int32_t *>(std::malloc(size * sizeof(std::int32_t)));
    if (!probe)
        return 1;
    for (int e = 0; e < size; ++e)
        probe[e] = 0;
    std::printf("Starting loop\n");
    for (int r = 0; r < 100; r += 10)
        for (int a = 0; a < 100; ++a)
            for (int b = 0; b < 1000; ++b)
                for (int c = 0; c < 100; ++c)
                    probe[a + 100 * b + 100000 * c] = r + 10 * (a + b + c);
    std::printf("Done.\n%d\n", static_cast<int>(probe[size - argc]));
    std::free(probe);
    return 0;
}
