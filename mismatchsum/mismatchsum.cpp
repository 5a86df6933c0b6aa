// mismatchsum: weighted Hamming distances between integer-coded points.
//
//   C = mismatchsum(a,b,l)   C(i,j) = sum of w(k) over k with a(k,i) ~= b(k,j)
//
// with w(k) = 1/(l(k)*l(k)) and an empty b standing for a. Each element is
// one running sum over k ascending in which a match adds exactly 0 (not
// 0*w(k), so an infinite weight touches only the pairs that differ there).
// Many elements are evaluated side by side in SIMD lanes; no element's sum
// is reordered, so results are the same on every machine and build.
#include "mexhost.hpp"

#include <cstring>

// The kernel is compiled twice on x86 Linux: once for any x86 processor and
// once for AVX2, picked when the module loads. Both round alike.
#if defined(__GNUC__) && defined(__linux__) && (defined(__x86_64__) || defined(__i386__)) && \
    !defined(KERNELS_PORTABLE_ONLY)
#define KERNEL_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KERNEL_CLONES
#endif

namespace {

using host::fail;

enum { IN_A = 0, IN_B, IN_L, NUM_INPUTS };

// Four doubles, and the matching 64-bit masks (a cast between the two
// reinterprets the bits).
typedef double v4d __attribute__((vector_size(32)));
typedef std::int64_t v4m __attribute__((vector_size(32)));

#define LOAD4(dst, src) std::memcpy(&(dst), (src), sizeof(v4d))
#define STORE4(dst, src) std::memcpy((dst), &(src), sizeof(v4d))

// The register tile of C: MR rows (two vectors of lanes over i) by NR
// columns. The stack panel holds the tile's MR columns of a as doubles
// (exact for 32-bit integers), coordinate by coordinate, so each
// coordinate's MR codes load as two vectors and compare with one broadcast.
constexpr std::size_t MR = 8;
constexpr std::size_t NR = 4;
constexpr std::size_t KMAX = 256;  // coordinates the stack panel holds
constexpr std::size_t JB = 64;     // columns of C per block

// An int32 argument's codes; an empty one may be of any class, as no code
// is read from it.
void require_codes(const mxArray *x, const char *message)
{
    if (!mxIsEmpty(x) && !mxIsInt32(x))
        fail(message);
}

// One MR-by-NR tile of C: rows i0..i0+mr-1, columns j0..j0+nr-1. Lanes
// past the edge of C compute on a repeated column and are not stored.
template <bool Packed>
inline __attribute__((always_inline)) void
mismatch_tile(const double *panel, const std::int32_t *a, const std::int32_t *b,
              const double *w, std::size_t D, std::size_t i0, std::size_t mr, std::size_t j0,
              std::size_t nr, double *C, std::size_t n)
{
    const std::int32_t *bc[NR];
    for (std::size_t t = 0; t < NR; ++t)
        bc[t] = b + D * (j0 + (t < nr ? t : nr - 1));
    const std::int32_t *ac[MR];
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
            a0 = v4d{double(ac[0][k]), double(ac[1][k]), double(ac[2][k]), double(ac[3][k])};
            a1 = v4d{double(ac[4][k]), double(ac[5][k]), double(ac[6][k]), double(ac[7][k])};
        }
        const double wk = w[k];
        const v4m wbits = (v4m)(v4d{wk, wk, wk, wk});
#pragma GCC unroll 4
        for (std::size_t t = 0; t < NR; ++t) {
            const double bk = bc[t][k];
            const v4d bb = {bk, bk, bk, bk};
            // Lanes that match add +0.0 (all bits clear), the others w(k).
            const v4m same0 = a0 == bb;
            const v4m same1 = a1 == bb;
            s[t][0] += (v4d)(~same0 & wbits);
            s[t][1] += (v4d)(~same1 & wbits);
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

// C (n by m) of weighted mismatch counts between the columns of a (D by n)
// and those of b (D by m), with the weights w (D).
KERNEL_CLONES
void mismatch_matrix(const std::int32_t *a, const std::int32_t *b, const double *w,
                     std::size_t D, std::size_t n, std::size_t m, double *C)
{
    double panel[MR * KMAX];
    const bool packed = D <= KMAX;
    for (std::size_t jb = 0; jb < m; jb += JB) {
        const std::size_t jend = std::min(m, jb + JB);
        for (std::size_t i0 = 0; i0 < n; i0 += MR) {
            const std::size_t mr = std::min(MR, n - i0);
            if (packed) {
                for (std::size_t l = 0; l < MR; ++l) {
                    const std::int32_t *col = a + D * (i0 + (l < mr ? l : mr - 1));
                    for (std::size_t k = 0; k < D; ++k)
                        panel[MR * k + l] = col[k];
                }
            }
            for (std::size_t j0 = jb; j0 < jend; j0 += NR) {
                const std::size_t nr = std::min(NR, jend - j0);
                if (packed)
                    mismatch_tile<true>(panel, a, b, w, D, i0, mr, j0, nr, C, n);
                else
                    mismatch_tile<false>(panel, a, b, w, D, i0, mr, j0, nr, C, n);
            }
        }
    }
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    using namespace host;

    if (nrhs < NUM_INPUTS || nlhs > 1)
        fail("Usage: C = mismatchsum(a,b,l), where the b matrix may be empty.");

    // Codes are read as 32-bit integers, so a non-empty a or b of another
    // class is refused where it is first read.
    const mxArray *A = prhs[IN_A];
    require_codes(A, "a must be an int32 matrix.");
    const std::size_t D = rows(A);
    const std::size_t n = cols(A);
    const std::int32_t *a = static_cast<const std::int32_t *>(mxGetData(A));

    // An empty b (no rows or no columns), of any class, stands for a.
    const std::int32_t *b = a;
    std::size_t m = n;
    const mxArray *B = prhs[IN_B];
    if (!mxIsEmpty(B)) {
        require_codes(B, "b must be an int32 matrix.");
        m = cols(B);
        require(rows(B) == D, "Error: column lengths must agree");
        b = static_cast<const std::int32_t *>(mxGetData(B));
    }

    const mxArray *L = prhs[IN_L];
    require(mxIsDouble(L), "l must be a full double vector.");
    require_full(L, "l");
    if (rows(L) != D || cols(L) != 1) {
        mexPrintf("Length scale vector is %d by %d (not %d by 1)", static_cast<int>(rows(L)),
                  static_cast<int>(cols(L)), static_cast<int>(D));
        fail("Error: length scale vector must be D by 1");
    }
    const double *l = mxGetPr(L);

    // a of no columns costs nothing, yet sets the weights' and the output's
    // sizes.
    require_memory(8.0 * static_cast<double>(D), "a", "the weights");
    require_memory(8.0 * static_cast<double>(n) * static_cast<double>(m), b == a ? "a" : "b",
                   "the n-by-m output");

    // Each weight once, the square rounded before its reciprocal.
    Scratch<double> w(D);
    for (std::size_t k = 0; k < D; ++k)
        w[k] = 1.0 / (l[k] * l[k]);

    mxArray *C = mxCreateDoubleMatrix(static_cast<mwSize>(n), static_cast<mwSize>(m), mxREAL);
    if (n > 0 && m > 0)
        mismatch_matrix(a, b, w.data(), D, n, m, mxGetPr(C));
    Outputs(nlhs, plhs).set(0, C);
}
