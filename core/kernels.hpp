// Which of a module's kernels a call runs. A module with vector kernels
// keeps up to three with one signature: the portable one (standard C++),
// the vector one compiled for any processor of the target, and its copy
// compiled for AVX2. They give the same bits; only their speed differs.
// A module names them once as a Family and asks choose() for this call's.
#pragma once

#include "compiler.hpp"

#include <cstddef>

#if TOOLBOX_HAVE_AVX2_KERNELS && defined(__APPLE__)
#include <sys/sysctl.h>
#include <sys/types.h>
#elif TOOLBOX_HAVE_AVX2_KERNELS && defined(_MSC_VER)
#include <immintrin.h>
#include <intrin.h>
#endif

// A family entry the build may lack: the kernel where it is compiled, else
// null (choose() then falls back to the next simpler kernel).
#if TOOLBOX_GNU_EXTENSIONS
#define TOOLBOX_VECTOR_KERNEL(name) name
#else
#define TOOLBOX_VECTOR_KERNEL(name) nullptr
#endif
#if TOOLBOX_HAVE_AVX2_KERNELS
#define TOOLBOX_AVX2_KERNEL(name) name
#else
#define TOOLBOX_AVX2_KERNEL(name) nullptr
#endif

namespace core::kernels {

enum class Kernel { portable, vector, avx2 };

// Whether this processor (and its operating system) runs AVX2 code. The
// compilers' runtime probe is missing from Apple's toolchain and from
// MSVC's, so those ask the system and the CPU directly.
inline bool cpu_has_avx2()
{
#if !TOOLBOX_HAVE_AVX2_KERNELS
    return false;
#elif defined(__APPLE__)
    int has = 0;
    std::size_t size = sizeof has;
    return sysctlbyname("hw.optional.avx2_0", &has, &size, nullptr, 0) == 0 && has != 0;
#elif defined(_MSC_VER)
    int info[4];
    __cpuid(info, 0);
    if (info[0] < 7)
        return false;
    __cpuid(info, 1);
    const bool osxsave = (info[2] & (1 << 27)) != 0, avx = (info[2] & (1 << 28)) != 0;
    if (!osxsave || !avx || (_xgetbv(0) & 6) != 6) // the OS saves the YMM registers
        return false;
    __cpuidex(info, 7, 0);
    return (info[1] & (1 << 5)) != 0;
#else
    return __builtin_cpu_supports("avx2") != 0;
#endif
}

// The kernel for this call: AVX2 where the processor has it, else the
// vector kernel; the portable one where the build has no vector extensions
// (PORTABLE_BUILD, MSVC). Asked once per call, so no loader support is
// needed and every operating system gets the AVX2 kernel.
inline Kernel dispatched_kernel()
{
    if (cpu_has_avx2())
        return Kernel::avx2;
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

// One routine's kernels; vector and avx2 are null where the build (or the
// module) has none: write them TOOLBOX_VECTOR_KERNEL(f), TOOLBOX_AVX2_KERNEL(f).
template <class Fn>
struct Family {
    Fn portable;
    Fn vector;
    Fn avx2;
};

// The family's kernel for this call: the dispatched one, or the next
// simpler one the family has.
template <class Fn>
Fn choose(const Family<Fn> &family)
{
    switch (dispatched_kernel()) {
    case Kernel::avx2:
        if (family.avx2)
            return family.avx2;
        [[fallthrough]];
    case Kernel::vector:
        if (family.vector)
            return family.vector;
        [[fallthrough]];
    default: return family.portable;
    }
}

} // namespace core::kernels
