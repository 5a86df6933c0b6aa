// mismatchsum's kernels: weighted Hamming distances between the columns of
// two int32 code matrices, in a portable, a vector and an AVX2 version of
// one signature, with the same bits.
#pragma once

#include "compiler.hpp"
#include "kernels.hpp"
#include "tiles.hpp"
#include "vectors.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace core {

using tiles::MR;
using tiles::NR;

// One tile's weighted mismatch counts (see core::tiles::tile_matrix), codes
// compared as doubles (exact for 32-bit integers). The portable kernel: the
// reference arithmetic in standard C++, one scalar lane at a time in the
// order the vector kernel's lanes take.
struct PortableMismatches {
    const std::int32_t *a, *b;
    const double *w;
    std::size_t D;

    template <bool Packed>
    TOOLBOX_FORCE_INLINE void sums(const double *panel, const core::tiles::Tile &tile,
                                   double *out) const
    {
        const core::tiles::TileColumns<std::int32_t> lanes = core::tiles::tile_columns<Packed>(a, b, D, tile);

        // Local sums, which no store through the operands' pointers can
        // touch, so they stay in registers.
        double s[NR][MR] = {};
        for (std::size_t k = 0; k < D; ++k) {
            double ak[MR];
            for (std::size_t l = 0; l < MR; ++l)
                ak[l] = Packed ? panel[MR * k + l] : double(lanes.a[l][k]);
            const double wk = w[k];
            for (std::size_t t = 0; t < NR; ++t) {
                const double bk = lanes.b[t][k];
                // A match adds +0.0, as the vector kernel's cleared lanes do.
                for (std::size_t l = 0; l < MR; ++l)
                    s[t][l] += ak[l] == bk ? 0.0 : wk;
            }
        }
        std::memcpy(out, s, sizeof s);
    }
};

#if TOOLBOX_GNU_EXTENSIONS
// The vector kernel: the same signature and arithmetic, four lanes to a
// vector. Four doubles, and the matching 64-bit masks (a cast between the
// two reinterprets the bits).
typedef v4i v4m;


struct VectorMismatches {
    const std::int32_t *a, *b;
    const double *w;
    std::size_t D;

    template <bool Packed>
    TOOLBOX_FORCE_INLINE void sums(const double *panel, const core::tiles::Tile &tile,
                                   double *out) const
    {
        const core::tiles::TileColumns<std::int32_t> lanes = core::tiles::tile_columns<Packed>(a, b, D, tile);

        v4d s[NR][2];
        TOOLBOX_UNROLL(4)
        for (std::size_t t = 0; t < NR; ++t)
            s[t][0] = s[t][1] = v4d{0.0, 0.0, 0.0, 0.0};

        for (std::size_t k = 0; k < D; ++k) {
            v4d a0, a1;
            if (Packed) {
                LOAD4(a0, panel + MR * k);
                LOAD4(a1, panel + MR * k + 4);
            } else {
                const std::int32_t *const *ac = lanes.a;
                a0 = v4d{double(ac[0][k]), double(ac[1][k]), double(ac[2][k]), double(ac[3][k])};
                a1 = v4d{double(ac[4][k]), double(ac[5][k]), double(ac[6][k]), double(ac[7][k])};
            }
            const double wk = w[k];
            const v4m wbits = (v4m)(v4d{wk, wk, wk, wk});
            TOOLBOX_UNROLL(4)
            for (std::size_t t = 0; t < NR; ++t) {
                const double bk = lanes.b[t][k];
                const v4d bb = {bk, bk, bk, bk};
                // Lanes that match add +0.0 (all bits clear), the others w(k).
                const v4m same0 = a0 == bb;
                const v4m same1 = a1 == bb;
                s[t][0] += (v4d)(~same0 & wbits);
                s[t][1] += (v4d)(~same1 & wbits);
            }
        }

        TOOLBOX_UNROLL(4)
        for (std::size_t t = 0; t < NR; ++t) {
            STORE4(out + MR * t, s[t][0]);
            STORE4(out + MR * t + 4, s[t][1]);
        }
    }
};
#endif

// One copy of the blocking loop per kernel. The AVX2 copy enables no fused
// multiply-add, so every copy rounds alike.
void mismatch_matrix_portable(const std::int32_t *a, const std::int32_t *b, const double *w,
                              std::size_t D, std::size_t n, std::size_t m, double *C)
{
    core::tiles::tile_matrix(PortableMismatches{a, b, w, D}, a, D, n, m, C);
}

#if TOOLBOX_GNU_EXTENSIONS
void mismatch_matrix_vector(const std::int32_t *a, const std::int32_t *b, const double *w,
                            std::size_t D, std::size_t n, std::size_t m, double *C)
{
    core::tiles::tile_matrix(VectorMismatches{a, b, w, D}, a, D, n, m, C);
}
#endif

#if TOOLBOX_HAVE_AVX2_KERNELS
TOOLBOX_TARGET_AVX2
void mismatch_matrix_avx2(const std::int32_t *a, const std::int32_t *b, const double *w,
                          std::size_t D, std::size_t n, std::size_t m, double *C)
{
    core::tiles::tile_matrix(VectorMismatches{a, b, w, D}, a, D, n, m, C);
}
#endif

// C (n by m) of weighted mismatch counts between the columns of a (D by n)
// and those of b (D by m), with the weights w (D), by the kernel this call
// dispatches to.
void mismatch_matrix(const std::int32_t *a, const std::int32_t *b, const double *w,
                     std::size_t D, std::size_t n, std::size_t m, double *C)
{
    core::kernels::choose<decltype(&mismatch_matrix_portable)>(
        {mismatch_matrix_portable, TOOLBOX_VECTOR_KERNEL(mismatch_matrix_vector),
         TOOLBOX_AVX2_KERNEL(mismatch_matrix_avx2)})(a, b, w, D, n, m, C);
}

} // namespace core
