// quadgap: squared Euclidean distances between the columns of two matrices,
// or, given a weight matrix Q, per-coordinate weighted sums of squared gaps.
//
//   C = quadgap(a,b)    C(i,j) = sum_k (a(k,i) - b(k,j))^2
//   C = quadgap(a)      the same with b = a (also when b is empty)
//   c = quadgap(a,b,Q)  c(k) = sum_{i,j} Q(i,j) * (a(k,i) - b(k,j))^2
//
// Every sum is the strict double evaluation in a fixed order: one running
// sum per element over k ascending, each difference and product rounded
// before the next operation. The speed comes from evaluating many elements
// side by side in SIMD lanes (a register tile of C), never from reordering
// one element's sum, so results are the same on every machine and build.
#include "mexhost.hpp"

#include <cstring>

// The kernels are compiled twice on x86 Linux: once for any x86 processor
// and once for AVX2, picked when the module loads. The AVX2 copy enables no
// fused multiply-add, so both copies round every operation alike.
#if defined(__GNUC__) && defined(__linux__) && (defined(__x86_64__) || defined(__i386__)) && \
    !defined(KERNELS_PORTABLE_ONLY)
#define KERNEL_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KERNEL_CLONES
#endif

namespace {

using host::fail;

enum { IN_A = 0, IN_B, IN_Q };

const char USAGE[] = "Usage: C = quadgap(a,b)\n"
                     "       or: C = quadgap(a)\n"
                     "       or: c = quadgap(a,b,Q)\n"
                     "where the b matrix may be empty.";

// Four doubles, one SIMD register of AVX2 (two SSE registers otherwise).
typedef double v4d __attribute__((vector_size(32)));

#define LOAD4(dst, src) std::memcpy(&(dst), (src), sizeof(v4d))
#define STORE4(dst, src) std::memcpy((dst), &(src), sizeof(v4d))

// The register tile of C: MR rows (two vectors of lanes over i) by NR
// columns. The packed panel holds the tile's MR columns of a, coordinate by
// coordinate, so each coordinate's MR values load as two vectors.
constexpr std::size_t MR = 8;
constexpr std::size_t NR = 4;
constexpr std::size_t KMAX = 256;  // coordinates the stack panel holds
constexpr std::size_t JB = 64;     // columns of C per block: the rows of a
                                   // block are written while its lines and
                                   // pages are still cached

void require_full_double(const mxArray *x, const char *message, const char *name)
{
    if (!mxIsDouble(x))
        fail(message);
    host::require_full(x, name);
}

// One MR-by-NR tile of C: rows i0..i0+mr-1, columns j0..j0+nr-1. With a
// panel, lanes load from it; without one (more coordinates than it holds),
// they gather from the columns of a. Lanes past the edge of C compute on a
// repeated column and are not stored.
template <bool Packed>
inline __attribute__((always_inline)) void
distance_tile(const double *panel, const double *a, const double *b, std::size_t D,
              std::size_t i0, std::size_t mr, std::size_t j0, std::size_t nr, double *C,
              std::size_t n)
{
    const double *bc[NR];
    for (std::size_t t = 0; t < NR; ++t)
        bc[t] = b + D * (j0 + (t < nr ? t : nr - 1));
    const double *ac[MR];
    if (!Packed)
        for (std::size_t l = 0; l < MR; ++l)
            ac[l] = a + D * (i0 + (l < mr ? l : mr - 1));

    v4d s[NR][2];
#pragma GCC unroll 4
    for (std::size_t t = 0; t < NR; ++t)
        s[t][0] = s[t][1] = v4d{0.0, 0.0, 0.0, 0.0};

    for (std::size_t k = 0; k < D; ++k) {
        v4d a0, a1;
        if (Packed) {
            LOAD4(a0, panel + MR * k);
            LOAD4(a1, panel + MR * k + 4);
        } else {
            a0 = v4d{ac[0][k], ac[1][k], ac[2][k], ac[3][k]};
            a1 = v4d{ac[4][k], ac[5][k], ac[6][k], ac[7][k]};
        }
#pragma GCC unroll 4
        for (std::size_t t = 0; t < NR; ++t) {
            const double bk = bc[t][k];
            const v4d bb = {bk, bk, bk, bk};
            const v4d d0 = a0 - bb;
            const v4d d1 = a1 - bb;
            s[t][0] += d0 * d0;
            s[t][1] += d1 * d1;
        }
    }

    for (std::size_t t = 0; t < nr; ++t) {
        double *out = C + i0 + n * (j0 + t);
        if (mr == MR) {
            STORE4(out, s[t][0]);
            STORE4(out + 4, s[t][1]);
        } else {
            double lanes[MR];
            STORE4(lanes, s[t][0]);
            STORE4(lanes + 4, s[t][1]);
            for (std::size_t l = 0; l < mr; ++l)
                out[l] = lanes[l];
        }
    }
}

// C (n by m) of squared distances between the columns of a (D by n) and
// those of b (D by m).
KERNEL_CLONES
void distance_matrix(const double *a, const double *b, std::size_t D, std::size_t n,
                     std::size_t m, double *C)
{
    double panel[MR * KMAX];
    const bool packed = D <= KMAX;
    for (std::size_t jb = 0; jb < m; jb += JB) {
        const std::size_t jend = std::min(m, jb + JB);
        for (std::size_t i0 = 0; i0 < n; i0 += MR) {
            const std::size_t mr = std::min(MR, n - i0);
            if (packed) {
                for (std::size_t l = 0; l < MR; ++l) {
                    const double *col = a + D * (i0 + (l < mr ? l : mr - 1));
                    for (std::size_t k = 0; k < D; ++k)
                        panel[MR * k + l] = col[k];
                }
            }
            for (std::size_t j0 = jb; j0 < jend; j0 += NR) {
                const std::size_t nr = std::min(NR, jend - j0);
                if (packed)
                    distance_tile<true>(panel, a, b, D, i0, mr, j0, nr, C, n);
                else
                    distance_tile<false>(panel, a, b, D, i0, mr, j0, nr, C, n);
            }
        }
    }
}

// Coordinates kc..kc+4*NV+T-1 of c over all pairs (i, j) of the row i, in j
// order: NV vectors and T single coordinates held in registers while the
// pairs stream past. Different coordinates never meet, so splitting them
// into chunks keeps each c(k)'s own order of additions.
template <int NV, int T>
inline __attribute__((always_inline)) void
weighted_chunk(const double *ai, const double *b, const double *qrow, std::size_t D,
               std::size_t j0, std::size_t jn, std::size_t kc, double *c)
{
    v4d av[NV > 0 ? NV : 1], cv[NV > 0 ? NV : 1];
    double as[T > 0 ? T : 1], cs[T > 0 ? T : 1];
#pragma GCC unroll 4
    for (int v = 0; v < NV; ++v) {
        LOAD4(av[v], ai + kc + 4 * v);
        LOAD4(cv[v], c + kc + 4 * v);
    }
#pragma GCC unroll 4
    for (int t = 0; t < T; ++t) {
        as[t] = ai[kc + 4 * NV + t];
        cs[t] = c[kc + 4 * NV + t];
    }
    for (std::size_t j = 0; j < jn; ++j) {
        const double *bj = b + D * (j0 + j) + kc;
        const double q = qrow[j];
        const v4d qq = {q, q, q, q};
#pragma GCC unroll 4
        for (int v = 0; v < NV; ++v) {
            v4d bv;
            LOAD4(bv, bj + 4 * v);
            const v4d d = av[v] - bv;
            cv[v] += d * (qq * d);
        }
#pragma GCC unroll 4
        for (int t = 0; t < T; ++t) {
            const double d = as[t] - bj[4 * NV + t];
            cs[t] += d * (q * d);
        }
    }
#pragma GCC unroll 4
    for (int v = 0; v < NV; ++v)
        STORE4(c + kc + 4 * v, cv[v]);
#pragma GCC unroll 4
    for (int t = 0; t < T; ++t)
        c[kc + 4 * NV + t] = cs[t];
}

template <int NV>
inline __attribute__((always_inline)) void
weighted_tail(int T, const double *ai, const double *b, const double *qrow, std::size_t D,
              std::size_t j0, std::size_t jn, std::size_t kc, double *c)
{
    switch (T) {
    case 0: weighted_chunk<NV, 0>(ai, b, qrow, D, j0, jn, kc, c); break;
    case 1: weighted_chunk<NV, 1>(ai, b, qrow, D, j0, jn, kc, c); break;
    case 2: weighted_chunk<NV, 2>(ai, b, qrow, D, j0, jn, kc, c); break;
    default: weighted_chunk<NV, 3>(ai, b, qrow, D, j0, jn, kc, c); break;
    }
}

// c (D by 1, zero on entry) of Q-weighted per-coordinate sums. Pairs are
// visited i outer, j inner; a stretch of row i of Q is first copied to the
// stack so that the chunks of coordinates read it contiguously.
KERNEL_CLONES
void weighted_sums(const double *a, const double *b, const double *Q, std::size_t D,
                   std::size_t n, std::size_t m, double *c)
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
                weighted_chunk<4, 0>(ai, b, qrow, D, j0, jn, kc, c);
            const std::size_t rest = D - kc;
            const int T = static_cast<int>(rest % 4);
            switch (rest / 4) {
            case 0: weighted_tail<0>(T, ai, b, qrow, D, j0, jn, kc, c); break;
            case 1: weighted_tail<1>(T, ai, b, qrow, D, j0, jn, kc, c); break;
            case 2: weighted_tail<2>(T, ai, b, qrow, D, j0, jn, kc, c); break;
            default: weighted_tail<3>(T, ai, b, qrow, D, j0, jn, kc, c); break;
            }
        }
    }
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    using namespace host;

    if (nrhs < 1 || nrhs > 3 || nlhs > 1)
        fail(USAGE);

    // Every argument is read as a full column-major buffer of doubles (the
    // real parts of a complex one), so other classes and sparse storage are
    // refused where the argument is first read.
    const mxArray *A = prhs[IN_A];
    require_full_double(A, "a must be a full double matrix.", "a");
    const std::size_t D = rows(A);
    const std::size_t n = cols(A);
    const double *a = mxGetPr(A);

    // An empty b (no rows or no columns), of any class, stands for a.
    const double *b = a;
    std::size_t m = n;
    if (nrhs >= 2 && !mxIsEmpty(prhs[IN_B])) {
        const mxArray *B = prhs[IN_B];
        require_full_double(B, "b must be a full double matrix.", "b");
        m = cols(B);
        require(rows(B) == D, "Error: column lengths must agree");
        b = mxGetPr(B);
    }

    const Outputs out(nlhs, plhs);
    if (nrhs == 3) {
        const mxArray *Qarg = prhs[IN_Q];
        require_full_double(Qarg, "Q must be a full double matrix.", "Q");
        require(cols(Qarg) == m && rows(Qarg) == n,
                "Error: 3rd matrix argument has wrong dimensions");
        require_memory(8.0 * static_cast<double>(D), "a", "the D-by-1 output");
        mxArray *c = mxCreateDoubleMatrix(static_cast<mwSize>(D), 1, mxREAL);
        if (D > 0 && n > 0 && m > 0)
            weighted_sums(a, b, mxGetPr(Qarg), D, n, m, mxGetPr(c));
        out.set(0, c);
        return;
    }

    require_memory(8.0 * static_cast<double>(n) * static_cast<double>(m), b == a ? "a" : "b",
                   "the n-by-m output");
    mxArray *C = mxCreateDoubleMatrix(static_cast<mwSize>(n), static_cast<mwSize>(m), mxREAL);
    if (n > 0 && m > 0)
        distance_matrix(a, b, D, n, m, mxGetPr(C));
    out.set(0, C);
}
