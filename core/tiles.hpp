// The register-tile machinery of the distance modules (quadgap,
// mismatchsum): block sizes, panel packing, the blocking loop over C, the
// store of a tile's sums; the choice of kernel is in kernels.hpp. Each module
// keeps its own per-tile kernels: a portable one in standard C++ and, where
// the compiler has vector extensions, a vector one with the same signature.
// Both evaluate every element of C as one running sum over k ascending, so
// every kernel gives the same bits.
#pragma once

#include "compiler.hpp"
#include "kernels.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace core::tiles {

// The register tile of C: MR rows (two vectors of four lanes over i) by NR
// columns. The packed panel holds the tile's MR columns of a, coordinate by
// coordinate, so each coordinate's MR values load as two vectors.
constexpr std::size_t MR = 8;
constexpr std::size_t NR = 4;
constexpr std::size_t KMAX = 256;  // coordinates the stack panel holds
constexpr std::size_t JB = 64;     // columns of C per block: the rows of a
                                   // block are written while its lines and
                                   // pages are still cached

// Rows i0..i0+mr-1 and columns j0..j0+nr-1 of C; mr <= MR and nr <= NR
// (fewer at the edges of C).
struct Tile {
    std::size_t i0, mr, j0, nr;
};

// The column of x (D rows) read by lane `lane` of a stretch of `count`
// columns from `first`. Lanes past the edge of C repeat the last column, so
// they compute on real data and are not stored.
template <class T>
inline const T *lane_column(const T *x, std::size_t D, std::size_t first, std::size_t count,
                            std::size_t lane)
{
    return x + D * (first + (lane < count ? lane : count - 1));
}

// The columns a tile's lanes read: MR of a (rows of C) and NR of b (its
// columns), edge lanes repeating the last column (see lane_column). With a
// packed panel the kernel reads a from the panel, so only b's are taken.
template <class T>
struct TileColumns {
    const T *a[MR];
    const T *b[NR];
};

template <bool Packed, class T>
TOOLBOX_FORCE_INLINE TileColumns<T> tile_columns(const T *a, const T *b, std::size_t D,
                                                 const Tile &tile)
{
    TileColumns<T> columns{};
    for (std::size_t t = 0; t < NR; ++t)
        columns.b[t] = lane_column(b, D, tile.j0, tile.nr, t);
    if (!Packed)
        for (std::size_t l = 0; l < MR; ++l)
            columns.a[l] = lane_column(a, D, tile.i0, tile.mr, l);
    return columns;
}

// The tile's MR columns of a (D <= KMAX rows) as doubles, coordinate by
// coordinate (exact for 32-bit integers).
template <class T>
TOOLBOX_FORCE_INLINE void pack_panel(double *panel, const T *a, std::size_t D, const Tile &tile)
{
    for (std::size_t l = 0; l < MR; ++l) {
        const T *col = lane_column(a, D, tile.i0, tile.mr, l);
        for (std::size_t k = 0; k < D; ++k)
            panel[MR * k + l] = static_cast<double>(col[k]);
    }
}

// The tile's sums (column t of the tile at sums + MR * t) into C (n rows),
// the lanes past the edge of C left out.
TOOLBOX_FORCE_INLINE void store_tile(const double *sums, const Tile &tile, double *C,
                                     std::size_t n)
{
    for (std::size_t t = 0; t < tile.nr; ++t) {
        double *out = C + tile.i0 + n * (tile.j0 + t);
        if (tile.mr == MR)
            std::memcpy(out, sums + MR * t, MR * sizeof(double));
        else
            for (std::size_t l = 0; l < tile.mr; ++l)
                out[l] = sums[MR * t + l];
    }
}

// C (n by m) tile by tile. The kernel holds its operands and computes one
// tile's sums with `kernel.template sums<Packed>(panel, tile, sums)`: with
// Packed, the tile's columns of a (D by n) are in the panel; without (more
// coordinates than it holds) the kernel reads them from a. Forced inline so
// that a per-CPU copy of the caller compiles all of it for that CPU.
template <class Kernel, class T>
TOOLBOX_FORCE_INLINE void tile_matrix(const Kernel &kernel, const T *a, std::size_t D,
                                      std::size_t n, std::size_t m, double *C)
{
    double panel[MR * KMAX];
    double sums[MR * NR];
    const bool packed = D <= KMAX;
    for (std::size_t jb = 0; jb < m; jb += JB) {
        const std::size_t jend = std::min(m, jb + JB);
        for (std::size_t i0 = 0; i0 < n; i0 += MR) {
            const std::size_t mr = std::min(MR, n - i0);
            if (packed)
                pack_panel(panel, a, D, Tile{i0, mr, 0, 0});
            for (std::size_t j0 = jb; j0 < jend; j0 += NR) {
                const Tile tile{i0, mr, j0, std::min(NR, jend - j0)};
                if (packed)
                    kernel.template sums<true>(panel, tile, sums);
                else
                    kernel.template sums<false>(panel, tile, sums);
                store_tile(sums, tile, C, n);
            }
        }
    }
}

// The kernel choice, shared with the other modules that have vector
// kernels.
using kernels::Kernel;
using kernels::dispatched_kernel;
using kernels::kernel_name;

} // namespace core::tiles
