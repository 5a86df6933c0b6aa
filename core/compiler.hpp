// Every compiler-specific construct the toolbox uses, behind one macro
// each. The sources are standard C++17 apart from these; each macro has a
// spelling for GCC and Clang, one for MSVC where it has one, and an empty or
// standard fallback that gives the same results.
//
// PORTABLE_BUILD selects the standard-only configuration under any
// compiler: no vector extensions, no per-CPU kernels, no attributes. It is
// the default under MSVC.
#pragma once

#include <cstdlib>

#if defined(_MSC_VER) && !defined(__clang__) && !defined(PORTABLE_BUILD)
#define PORTABLE_BUILD
#endif

#if (defined(__GNUC__) || defined(__clang__)) && !defined(PORTABLE_BUILD)
#define TOOLBOX_GNU_EXTENSIONS 1
#else
#define TOOLBOX_GNU_EXTENSIONS 0
#endif

// A place control never reaches (after a call that does not return).
#if TOOLBOX_GNU_EXTENSIONS
#define TOOLBOX_UNREACHABLE() __builtin_unreachable()
#elif defined(_MSC_VER) && !defined(PORTABLE_BUILD)
#define TOOLBOX_UNREACHABLE() __assume(0)
#else
#define TOOLBOX_UNREACHABLE() std::abort()
#endif

// printf-style checking of a format argument, spelt with underscores:
// MATLAB's mex.h defines printf as mexPrintf, which a C++ library that
// does not undefine it (libc++) leaves in place. MinGW's GCC checks plain
// printf against the Microsoft runtime, which lacks %zu; the messages are
// formatted by the C++ library's vsnprintf, which has it, so say gnu_printf.
#if TOOLBOX_GNU_EXTENSIONS && defined(__MINGW32__) && !defined(__clang__)
#define TOOLBOX_PRINTF_FORMAT(format_index, first_arg) \
    __attribute__((format(__gnu_printf__, format_index, first_arg)))
#elif TOOLBOX_GNU_EXTENSIONS
#define TOOLBOX_PRINTF_FORMAT(format_index, first_arg) \
    __attribute__((format(__printf__, format_index, first_arg)))
#else
#define TOOLBOX_PRINTF_FORMAT(format_index, first_arg)
#endif

// Inlining that the kernels' speed depends on (a tile routine inlined into
// its blocking loop, so its per-CPU copy compiles for that CPU).
#if TOOLBOX_GNU_EXTENSIONS
#define TOOLBOX_FORCE_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER) && !defined(PORTABLE_BUILD)
#define TOOLBOX_FORCE_INLINE __forceinline
#else
#define TOOLBOX_FORCE_INLINE inline
#endif

// A loop to unroll fully or by a count: a hint, never a change of order.
#define TOOLBOX_PRAGMA(text) _Pragma(#text)
#if TOOLBOX_GNU_EXTENSIONS && defined(__clang__)
#define TOOLBOX_UNROLL(count) TOOLBOX_PRAGMA(unroll count)
#elif TOOLBOX_GNU_EXTENSIONS
#define TOOLBOX_UNROLL(count) TOOLBOX_PRAGMA(GCC unroll count)
#else
#define TOOLBOX_UNROLL(count)
#endif

// A hint that `address` will be read soon (a load that misses the caches
// can then overlap others); it never faults and changes no result.
#if TOOLBOX_GNU_EXTENSIONS
#define TOOLBOX_PREFETCH(address) __builtin_prefetch(address)
#else
#define TOOLBOX_PREFETCH(address) static_cast<void>(address)
#endif

// A vector type of `bytes` bytes with element-wise operators, for the
// vector kernels: `typedef double v4d TOOLBOX_VECTOR(32);`. Only under
// TOOLBOX_GNU_EXTENSIONS; elsewhere the portable kernels, which give the
// same bits, are the whole build.
#if TOOLBOX_GNU_EXTENSIONS
#define TOOLBOX_VECTOR(bytes) __attribute__((vector_size(bytes)))
#else
#define TOOLBOX_VECTOR(bytes)
#endif

// A symbol the host looks up by name (mexVersion) in Linux and macOS builds.
#if TOOLBOX_GNU_EXTENSIONS
#define TOOLBOX_EXPORT __attribute__((visibility("default")))
#else
#define TOOLBOX_EXPORT
#endif

// Per-CPU kernels: on x86 with GCC or Clang, a routine may be compiled for
// AVX2 by itself and chosen at run time by a CPU check (kernels.hpp), on
// every operating system (no loader support needed). Elsewhere only the
// portable kernels exist. TOOLBOX_NO_AVX2 leaves the AVX2 copies out, so
// that the tests can run the vector kernels on a processor that has AVX2.
// GCC for Windows may keep 32-byte values on the stack, which Windows aligns
// to 16 bytes only, with aligned moves (GCC bug 54412): there the AVX2
// copies are built only where the build assembles every vector move
// unaligned (-Wa,-muse-unaligned-vector-move) and says so by defining
// TOOLBOX_UNALIGNED_VECTOR_MOVES.
#if defined(_WIN32) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(TOOLBOX_UNALIGNED_VECTOR_MOVES) && !defined(TOOLBOX_NO_AVX2)
#define TOOLBOX_NO_AVX2
#endif
#if TOOLBOX_GNU_EXTENSIONS && (defined(__x86_64__) || defined(__i386__)) && \
    !defined(TOOLBOX_NO_AVX2)
#define TOOLBOX_HAVE_AVX2_KERNELS 1
#define TOOLBOX_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define TOOLBOX_HAVE_AVX2_KERNELS 0
#define TOOLBOX_TARGET_AVX2
#endif
