// Forward 16x16 and 32x32 DCT cores of the SSSE3 tier: the AVX2 tier's
// lane-per-output scheme (transform_fwd_wide_avx2.cpp) on 128-bit vectors,
// four outputs per multiply-add, and no horizontal additions.
//
// Rows: a residual row becomes E[j] = r[j] + r[N-1-j] and O[j] = r[j] -
// r[N-1-j] (j < N/2, at most 510 in magnitude), interleaved by pairs as
// (E pair p, O pair p); that 64-bit group, doubled over a vector, meets
// (M[k][2p], M[k][2p+1]) in lane k, E in the even frequencies' lanes and O
// in the odd ones' (M[k][N-1-j] = (-1)^k M[k][j]).
// Columns: the first pass's rows of T are split the same way, E(y) = T[y] +
// T[N-1-y] for even output rows v and O(y) = T[y] - T[N-1-y] for odd ones,
// and E once more into EE / EO for v = 0 and 2 mod 4; two such rows are
// interleaved so that each 32-bit lane holds a pair of them, and one
// multiply-add against the pair (M[v][y], M[v][y+1]) adds both to four
// columns of output row v.  The splits are exact in 16 bits while every
// |T| (and |E|) < 16384; a block with a larger one takes the direct sums.
// Sums are exact in 32 bits and the saturating narrowing after each pass is
// the portable function's clip16, so the results equal its.
#include "simd/x86/transform/transform_fwd_weights.h"
#include "simd/x86/transform/transform_kernels.h"
#include "simd/x86/transform/transform_passes.h"

namespace {

inline constexpr row_weights_t<16, 4> row_w16_4 = make_row_weights<16, 4>();
inline constexpr row_weights_t<32, 4> row_w32_4 = make_row_weights<32, 4>();
template <int N>
constexpr const row_weights_t<N, 4> &row_w4() {
  if constexpr (N == 16) return row_w16_4;
  else return row_w32_4;
}

inline __m128i load_aligned(const int16_t *p) { return _mm_load_si128(reinterpret_cast<const __m128i *>(p)); }

// Every pair group of a row doubled over a vector: b[p] holds (E pair p, O
// pair p) in each 64-bit half.
template <int N>
inline void doubled_pairs(const int16_t *r, __m128i *b) {
  for (int g = 0; g < N / 16; g++) {
    // j = 8g..8g+7 and their mirrors N-1-j.
    const __m128i x = load128(r + 8 * g), y = reverse8(load128(r + N - 8 - 8 * g));
    const __m128i e = _mm_add_epi16(x, y), o = _mm_sub_epi16(x, y);
    const __m128i lo = _mm_unpacklo_epi32(e, o), hi = _mm_unpackhi_epi32(e, o);
    b[4 * g] = _mm_unpacklo_epi64(lo, lo);
    b[4 * g + 1] = _mm_unpackhi_epi64(lo, lo);
    b[4 * g + 2] = _mm_unpacklo_epi64(hi, hi);
    b[4 * g + 3] = _mm_unpackhi_epi64(hi, hi);
  }
}

// The first-pass outputs k = 4kb..4kb+3 of a row, rounded.
template <int N, int SH>
inline __m128i row_block(const __m128i *b, int kb) {
  const row_weights_t<N, 4> &w = row_w4<N>();
  __m128i acc = _mm_madd_epi16(b[0], load_aligned(w.v[kb][0]));
  for (int p = 1; p < N / 4; p++) acc = _mm_add_epi32(acc, _mm_madd_epi16(b[p], load_aligned(w.v[kb][p])));
  return round128<SH>(acc);
}

// Output rows v0 .. v0 + VB - 1 (step VSTEP) of the column pass: sum over
// the NP interleaved pairs in[p] (UB vectors of four columns each) against
// the weights w[v][p], rounded, narrowed and stored.
template <int N, int NP, int UB, int VB, int VSTEP>
inline void column_rows(const __m128i (*in)[UB], int v0, int16_t *coef) {
  constexpr int LOG2 = N == 16 ? 4 : 5;
  const col_weights_t<N> &w = col_w<N>();
  __m128i acc[VB][UB];
  for (int i = 0; i < VB; i++) {
    const __m128i wq = _mm_set1_epi32(w.v[v0 + VSTEP * i][0]);
    for (int ub = 0; ub < UB; ub++) acc[i][ub] = _mm_madd_epi16(in[0][ub], wq);
  }
  for (int p = 1; p < NP; p++)
    for (int i = 0; i < VB; i++) {
      const __m128i wq = _mm_set1_epi32(w.v[v0 + VSTEP * i][p]);
      for (int ub = 0; ub < UB; ub++) acc[i][ub] = _mm_add_epi32(acc[i][ub], _mm_madd_epi16(in[p][ub], wq));
    }
  for (int i = 0; i < VB; i++) {
    int16_t *out = coef + (v0 + VSTEP * i) * N;
    for (int ub = 0; ub < UB; ub += 2)
      store128(out + 4 * ub, _mm_packs_epi32(round128<LOG2 + 6>(acc[i][ub]), round128<LOG2 + 6>(acc[i][ub + 1])));
  }
}

// Bits 15 and 14 of a 16-bit lane differ exactly when its magnitude is at
// least 16384: the lanes of v where that holds, ORed into acc.
inline __m128i or_wide(__m128i acc, __m128i v) { return _mm_or_si128(acc, _mm_xor_si128(v, _mm_slli_epi16(v, 1))); }
inline bool any_wide(__m128i acc) { return (_mm_movemask_epi8(acc) & 0xAAAA) != 0; }

// The whole N x N forward DCT of a residual (rows rs apart).
template <int N>
inline void forward_full(const int16_t *res, int rs, int16_t *coef) {
  constexpr int LOG2 = N == 16 ? 4 : 5, C = N / 8, UB = N / 4, VB = UB == 4 ? 2 : 1;
  alignas(16) int16_t t[N][N];
  __m128i wide = _mm_setzero_si128();
  for (int y = 0; y < N; y++) {
    __m128i b[N / 4];
    doubled_pairs<N>(res + y * rs, b);
    for (int c = 0; c < C; c++) {
      const __m128i s = _mm_packs_epi32(row_block<N, LOG2 - 1>(b, 2 * c), row_block<N, LOG2 - 1>(b, 2 * c + 1));
      _mm_store_si128(reinterpret_cast<__m128i *>(&t[y][8 * c]), s);
      wide = or_wide(wide, s);
    }
  }
  if (!any_wide(wide)) {
    // E(y) and O(y) rows, y < N/2; the O rows interleaved by pairs of y.
    __m128i e[N / 2][C], odd[N / 4][UB];
    __m128i wide_e = _mm_setzero_si128();
    for (int y = 0; y < N / 2; y += 2)
      for (int c = 0; c < C; c++) {
        const __m128i a0 = load_aligned(&t[y][8 * c]), b0 = load_aligned(&t[N - 1 - y][8 * c]);
        const __m128i a1 = load_aligned(&t[y + 1][8 * c]), b1 = load_aligned(&t[N - 2 - y][8 * c]);
        e[y][c] = _mm_add_epi16(a0, b0);
        e[y + 1][c] = _mm_add_epi16(a1, b1);
        wide_e = or_wide(or_wide(wide_e, e[y][c]), e[y + 1][c]);
        const __m128i o0 = _mm_sub_epi16(a0, b0), o1 = _mm_sub_epi16(a1, b1);
        odd[y / 2][2 * c] = _mm_unpacklo_epi16(o0, o1);
        odd[y / 2][2 * c + 1] = _mm_unpackhi_epi16(o0, o1);
      }
    for (int v0 = 1; v0 < N; v0 += 2 * VB) column_rows<N, N / 4, UB, VB, 2>(odd, v0, coef);
    if (!any_wide(wide_e)) {
      // Even v split once more over M[2j][N/2-1-y] = (-1)^j M[2j][y]
      // (y < N/4): v = 0 mod 4 from EE(y) = E(y) + E(N/2-1-y), v = 2 mod 4
      // from EO(y) = E(y) - E(N/2-1-y).
      __m128i ee[N / 8][UB], eo[N / 8][UB];
      for (int p = 0; p < N / 8; p++)
        for (int c = 0; c < C; c++) {
          const __m128i a0 = e[2 * p][c], b0 = e[N / 2 - 1 - 2 * p][c];
          const __m128i a1 = e[2 * p + 1][c], b1 = e[N / 2 - 2 - 2 * p][c];
          const __m128i s0 = _mm_add_epi16(a0, b0), s1 = _mm_add_epi16(a1, b1);
          const __m128i d0 = _mm_sub_epi16(a0, b0), d1 = _mm_sub_epi16(a1, b1);
          ee[p][2 * c] = _mm_unpacklo_epi16(s0, s1);
          ee[p][2 * c + 1] = _mm_unpackhi_epi16(s0, s1);
          eo[p][2 * c] = _mm_unpacklo_epi16(d0, d1);
          eo[p][2 * c + 1] = _mm_unpackhi_epi16(d0, d1);
        }
      for (int v0 = 0; v0 < N; v0 += 4 * VB) column_rows<N, N / 8, UB, VB, 4>(ee, v0, coef);
      for (int v0 = 2; v0 < N; v0 += 4 * VB) column_rows<N, N / 8, UB, VB, 4>(eo, v0, coef);
    } else {
      __m128i even[N / 4][UB];
      for (int p = 0; p < N / 4; p++)
        for (int c = 0; c < C; c++) {
          even[p][2 * c] = _mm_unpacklo_epi16(e[2 * p][c], e[2 * p + 1][c]);
          even[p][2 * c + 1] = _mm_unpackhi_epi16(e[2 * p][c], e[2 * p + 1][c]);
        }
      for (int v0 = 0; v0 < N; v0 += 2 * VB) column_rows<N, N / 4, UB, VB, 2>(even, v0, coef);
    }
  } else {
    __m128i pairs[N / 2][UB];
    for (int q = 0; q < N / 2; q++)
      for (int c = 0; c < C; c++) {
        const __m128i a = load_aligned(&t[2 * q][8 * c]), b = load_aligned(&t[2 * q + 1][8 * c]);
        pairs[q][2 * c] = _mm_unpacklo_epi16(a, b);
        pairs[q][2 * c + 1] = _mm_unpackhi_epi16(a, b);
      }
    for (int v0 = 0; v0 < N; v0 += VB) column_rows<N, N / 2, UB, VB, 1>(pairs, v0, coef);
  }
}

}  // namespace

void dct_fwd_core_16x16_ssse3(const int16_t *res, int16_t *coef, int32_t stride) { forward_full<16>(res, stride, coef); }
void dct_fwd_core_32x32_ssse3(const int16_t *res, int16_t *coef, int32_t stride) { forward_full<32>(res, stride, coef); }
