// Which of a module's kernels a call runs. A module with vector kernels
// keeps three with one signature: the portable one (standard C++), the
// vector one compiled for any processor of the target, and its copy
// compiled for AVX2. They give the same bits; only their speed differs.
#pragma once

#include "compiler.hpp"

namespace kernels {

enum class Kernel { portable, vector, avx2 };

// The kernel for this call: AVX2 where the processor has it, else the
// vector kernel; the portable one where the build has no vector extensions
// (PORTABLE_BUILD, MSVC). Asked once per call, so no loader support is
// needed and every operating system gets the AVX2 kernel.
inline Kernel dispatched_kernel()
{
#if TOOLBOX_HAVE_AVX2_KERNELS
    if (TOOLBOX_CPU_HAS_AVX2())
        return Kernel::avx2;
#endif
#if TOOLBOX_GNU_EXTENSIONS
    return Kernel::vector;
#else
    return Kernel::portable;
#endif
}

inline const char *kernel_name(Kernel kernel)
{
    switch (kernel) {
    case Kernel::avx2: return "avx2";
    case Kernel::vector: return "vector";
    default: return "portable";
    }
}

} // namespace kernels
