// quadgap's kernels: squared Euclidean distances between the columns of two
// matrices, and per-coordinate Q-weighted sums of squared gaps, each in a
// portable, a vector and an AVX2 version of one signature, with the same
// bits. Every sum is the strict double evaluation in a fixed order; the
// speed comes from evaluating many elements side by side in SIMD lanes (a
// register tile of C), never from reordering one element's sum.
#pragma once

#include "compiler.hpp"
#include "kernels.hpp"
#include "tiles.hpp"
#include "vectors.hpp"

#include <cstddef>
#include <cstring>

namespace core {

using tiles::MR;
using tiles::NR;

// The portable kernels: the reference arithmetic in standard C++, one
// scalar lane at a time in the order the vector kernels' lanes take.

// One tile's sums of squared gaps (see core::tiles::tile_matrix).
struct PortableDistances {
    const double *a, *b;
    std::size_t D;

    template <bool Packed>
    TOOLBOX_FORCE_INLINE void sums(const double *panel, const core::tiles::Tile &tile,
                                   double *out) const
    {
        const core::tiles::TileColumns<double> lanes = core::tiles::tile_columns<Packed>(a, b, D, tile);

        // Local sums, which no store through the operands' pointers can
        // touch, so they stay in registers.
        double s[NR][MR] = {};
        for (std::size_t k = 0; k < D; ++k) {
            double ak[MR];
            for (std::size_t l = 0; l < MR; ++l)
                ak[l] = Packed ? panel[MR * k + l] : lanes.a[l][k];
            for (std::size_t t = 0; t < NR; ++t) {
                const double bk = lanes.b[t][k];
                for (std::size_t l = 0; l < MR; ++l) {
                    const double d = ak[l] - bk;
                    s[t][l] += d * d;
                }
            }
        }
        std::memcpy(out, s, sizeof s);
    }
};

// Coordinates kc..kc+4*NV+T-1 of c over the pairs (i, j0..j0+jn-1) of the
// row i, in j order. Different coordinates never meet, so splitting them
// into chunks keeps each c(k)'s own order of additions.
struct PortableWeighted {
    template <int NV, int T>
    static TOOLBOX_FORCE_INLINE void chunk(const double *ai, const double *b, const double *qrow,
                                           std::size_t D, std::size_t j0, std::size_t jn,
                                           std::size_t kc, double *c)
    {
        constexpr int W = 4 * NV + T;
        double as[W > 0 ? W : 1], cs[W > 0 ? W : 1];
        for (int x = 0; x < W; ++x) {
            as[x] = ai[kc + x];
            cs[x] = c[kc + x];
        }
        for (std::size_t j = 0; j < jn; ++j) {
            const double *bj = b + D * (j0 + j) + kc;
            const double q = qrow[j];
            for (int x = 0; x < W; ++x) {
                const double d = as[x] - bj[x];
                cs[x] += d * (q * d);
            }
        }
        for (int x = 0; x < W; ++x)
            c[kc + x] = cs[x];
    }
};

#if TOOLBOX_GNU_EXTENSIONS
// The vector kernels: the same signatures and arithmetic, four lanes to a
// vector (one AVX2 register, two SSE or NEON registers).

struct VectorDistances {
    const double *a, *b;
    std::size_t D;

    template <bool Packed>
    TOOLBOX_FORCE_INLINE void sums(const double *panel, const core::tiles::Tile &tile,
                                   double *out) const
    {
        const core::tiles::TileColumns<double> lanes = core::tiles::tile_columns<Packed>(a, b, D, tile);

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
                a0 = v4d{lanes.a[0][k], lanes.a[1][k], lanes.a[2][k], lanes.a[3][k]};
                a1 = v4d{lanes.a[4][k], lanes.a[5][k], lanes.a[6][k], lanes.a[7][k]};
            }
            TOOLBOX_UNROLL(4)
            for (std::size_t t = 0; t < NR; ++t) {
                const double bk = lanes.b[t][k];
                const v4d bb = {bk, bk, bk, bk};
                const v4d d0 = a0 - bb;
                const v4d d1 = a1 - bb;
                s[t][0] += d0 * d0;
                s[t][1] += d1 * d1;
            }
        }

        TOOLBOX_UNROLL(4)
        for (std::size_t t = 0; t < NR; ++t) {
            STORE4(out + MR * t, s[t][0]);
            STORE4(out + MR * t + 4, s[t][1]);
        }
    }
};

struct VectorWeighted {
    template <int NV, int T>
    static TOOLBOX_FORCE_INLINE void chunk(const double *ai, const double *b, const double *qrow,
                                           std::size_t D, std::size_t j0, std::size_t jn,
                                           std::size_t kc, double *c)
    {
        v4d av[NV > 0 ? NV : 1], cv[NV > 0 ? NV : 1];
        double as[T > 0 ? T : 1], cs[T > 0 ? T : 1];
        TOOLBOX_UNROLL(4)
        for (int v = 0; v < NV; ++v) {
            LOAD4(av[v], ai + kc + 4 * v);
            LOAD4(cv[v], c + kc + 4 * v);
        }
        TOOLBOX_UNROLL(4)
        for (int t = 0; t < T; ++t) {
            as[t] = ai[kc + 4 * NV + t];
            cs[t] = c[kc + 4 * NV + t];
        }
        for (std::size_t j = 0; j < jn; ++j) {
            const double *bj = b + D * (j0 + j) + kc;
            const double q = qrow[j];
            const v4d qq = {q, q, q, q};
            TOOLBOX_UNROLL(4)
            for (int v = 0; v < NV; ++v) {
                v4d bv;
                LOAD4(bv, bj + 4 * v);
                const v4d d = av[v] - bv;
                cv[v] += d * (qq * d);
            }
            TOOLBOX_UNROLL(4)
            for (int t = 0; t < T; ++t) {
                const double d = as[t] - bj[4 * NV + t];
                cs[t] += d * (q * d);
            }
        }
        TOOLBOX_UNROLL(4)
        for (int v = 0; v < NV; ++v)
            STORE4(c + kc + 4 * v, cv[v]);
        TOOLBOX_UNROLL(4)
        for (int t = 0; t < T; ++t)
            c[kc + 4 * NV + t] = cs[t];
    }
};
#endif

template <class Weighted, int NV>
TOOLBOX_FORCE_INLINE void weighted_tail(int T, const double *ai, const double *b,
                                        const double *qrow, std::size_t D, std::size_t j0,
                                        std::size_t jn, std::size_t kc, double *c)
{
    switch (T) {
    case 0: Weighted::template chunk<NV, 0>(ai, b, qrow, D, j0, jn, kc, c); break;
    case 1: Weighted::template chunk<NV, 1>(ai, b, qrow, D, j0, jn, kc, c); break;
    case 2: Weighted::template chunk<NV, 2>(ai, b, qrow, D, j0, jn, kc, c); break;
    default: Weighted::template chunk<NV, 3>(ai, b, qrow, D, j0, jn, kc, c); break;
    }
}

// c (D by 1, zero on entry) of Q-weighted per-coordinate sums. Pairs are
// visited i outer, j inner; a stretch of row i of Q is first copied to the
// stack so that the chunks of coordinates read it contiguously.
template <class Weighted>
TOOLBOX_FORCE_INLINE void weighted_loop(const double *a, const double *b, const double *Q,
                                        std::size_t D, std::size_t n, std::size_t m, double *c)
{
    constexpr std::size_t QB = 512;
    constexpr std::size_t KC = 16;  // coordinates per full chunk: 4 vectors
    double qrow[QB];
    for (std::size_t i = 0; i < n; ++i) {
        const double *ai = a + D * i;
        for (std::size_t j0 = 0; j0 < m; j0 += QB) {
            const std::size_t jn = std::min(QB, m - j0);
            for (std::size_t j = 0; j < jn; ++j)
                qrow[j] = Q[i + n * (j0 + j)];
            std::size_t kc = 0;
            for (; kc + KC <= D; kc += KC)
                Weighted::template chunk<4, 0>(ai, b, qrow, D, j0, jn, kc, c);
            const std::size_t rest = D - kc;
            const int T = static_cast<int>(rest % 4);
            switch (rest / 4) {
            case 0: weighted_tail<Weighted, 0>(T, ai, b, qrow, D, j0, jn, kc, c); break;
            case 1: weighted_tail<Weighted, 1>(T, ai, b, qrow, D, j0, jn, kc, c); break;
            case 2: weighted_tail<Weighted, 2>(T, ai, b, qrow, D, j0, jn, kc, c); break;
            default: weighted_tail<Weighted, 3>(T, ai, b, qrow, D, j0, jn, kc, c); break;
            }
        }
    }
}

// One copy of each blocking loop per kernel. The AVX2 copies enable no
// fused multiply-add, so every copy rounds every operation alike.
void distance_matrix_portable(const double *a, const double *b, std::size_t D, std::size_t n,
                              std::size_t m, double *C)
{
    core::tiles::tile_matrix(PortableDistances{a, b, D}, a, D, n, m, C);
}

void weighted_sums_portable(const double *a, const double *b, const double *Q, std::size_t D,
                            std::size_t n, std::size_t m, double *c)
{
    weighted_loop<PortableWeighted>(a, b, Q, D, n, m, c);
}

#if TOOLBOX_GNU_EXTENSIONS
void distance_matrix_vector(const double *a, const double *b, std::size_t D, std::size_t n,
                            std::size_t m, double *C)
{
    core::tiles::tile_matrix(VectorDistances{a, b, D}, a, D, n, m, C);
}

void weighted_sums_vector(const double *a, const double *b, const double *Q, std::size_t D,
                          std::size_t n, std::size_t m, double *c)
{
    weighted_loop<VectorWeighted>(a, b, Q, D, n, m, c);
}
#endif

#if TOOLBOX_HAVE_AVX2_KERNELS
TOOLBOX_TARGET_AVX2
void distance_matrix_avx2(const double *a, const double *b, std::size_t D, std::size_t n,
                          std::size_t m, double *C)
{
    core::tiles::tile_matrix(VectorDistances{a, b, D}, a, D, n, m, C);
}

TOOLBOX_TARGET_AVX2
void weighted_sums_avx2(const double *a, const double *b, const double *Q, std::size_t D,
                        std::size_t n, std::size_t m, double *c)
{
    weighted_loop<VectorWeighted>(a, b, Q, D, n, m, c);
}
#endif

// C (n by m) of squared distances between the columns of a (D by n) and
// those of b (D by m), by the kernel this call dispatches to.
void distance_matrix(const double *a, const double *b, std::size_t D, std::size_t n,
                     std::size_t m, double *C)
{
    core::kernels::choose<decltype(&distance_matrix_portable)>(
        {distance_matrix_portable, TOOLBOX_VECTOR_KERNEL(distance_matrix_vector),
         TOOLBOX_AVX2_KERNEL(distance_matrix_avx2)})(a, b, D, n, m, C);
}

// c (D by 1, zero on entry) of Q-weighted per-coordinate sums, likewise.
void weighted_sums(const double *a, const double *b, const double *Q, std::size_t D,
                   std::size_t n, std::size_t m, double *c)
{
    core::kernels::choose<decltype(&weighted_sums_portable)>(
        {weighted_sums_portable, TOOLBOX_VECTOR_KERNEL(weighted_sums_vector),
         TOOLBOX_AVX2_KERNEL(weighted_sums_avx2)})(a, b, Q, D, n, m, c);
}

} // namespace core
