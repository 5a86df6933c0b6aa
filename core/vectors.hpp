// The vector types of the vector kernels, named once: four doubles (one
// AVX2 register, two SSE or NEON registers), their 64-bit integer masks, and
// two of each; with loads and stores that need no alignment. Only under
// TOOLBOX_GNU_EXTENSIONS; elsewhere the portable kernels, which give the
// same bits, are the whole build.
#pragma once

#include "compiler.hpp"

#include <cstdint>
#include <cstring>

namespace core {

#if TOOLBOX_GNU_EXTENSIONS
typedef double v2d TOOLBOX_VECTOR(16);
typedef std::int64_t v2i TOOLBOX_VECTOR(16);
typedef double v4d TOOLBOX_VECTOR(32);
typedef std::int64_t v4i TOOLBOX_VECTOR(32);

// Four doubles from or to memory of any alignment (a macro: the kernels
// that use it are compiled for several processors).
#define LOAD4(dst, src) std::memcpy(&(dst), (src), sizeof(core::v4d))
#define STORE4(dst, src) std::memcpy((dst), &(src), sizeof(core::v4d))
#endif

} // namespace core
