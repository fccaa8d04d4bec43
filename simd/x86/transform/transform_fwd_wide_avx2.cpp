// The low-frequency corners of the forward 16x16 and 32x32 DCT in the AVX2
// tier (the whole transforms are in transform_fwd_full_avx2.cpp), without
// horizontal additions: every multiply-add
// lands in the lane of its own output.
//
// Rows: a residual row becomes E[j] = r[j] + r[N-1-j] and O[j] = r[j] -
// r[N-1-j] (j < N/2, at most 510 in magnitude), interleaved by pairs as
// (E pair p, O pair p).  Broadcast over a register, that 64-bit group puts
// E's pair in the lanes of the even frequencies and O's in the odd ones;
// one multiply-add against (M[k][2p], M[k][2p+1]) per lane k adds pair p to
// eight frequencies at once (M[k][N-1-j] = (-1)^k M[k][j] makes E and O the
// whole row).
// Columns: two rows of the first pass are stored interleaved, each 32-bit
// lane holding (T[y][u], T[y+1][u]); one multiply-add against the
// broadcast pair (M[v][y], M[v][y+1]) adds two rows to eight columns of
// output row v.
// Sums are exact in 32 bits and the saturating narrowing after each pass is
// the portable function's clip16, so the results equal its.
#include <immintrin.h>

#include <cstdint>

#include "simd/x86/transform/transform_fwd_weights.h"
#include "simd/x86/transform/transform_kernels.h"

namespace {

inline constexpr row_weights_t<16, 8> row_w16 = make_row_weights<16, 8>();
inline constexpr row_weights_t<32, 8> row_w32 = make_row_weights<32, 8>();
template <int N>
constexpr const row_weights_t<N, 8> &row_w() {
  if constexpr (N == 16) return row_w16;
  else return row_w32;
}

inline __m128i load128(const int16_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
inline __m256i load256(const void *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }

inline __m128i reverse8(__m128i v) {
  return _mm_shuffle_epi8(v, _mm_setr_epi8(14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1));
}

template <int SH>
inline __m256i round_shift(__m256i v) {
  return _mm256_srai_epi32(_mm256_add_epi32(v, _mm256_set1_epi32(1 << (SH - 1))), SH);
}

// The (E pair p, O pair p) groups of one row: register g holds p = 4g..4g+3.
template <int N>
inline void even_odd_groups(const int16_t *r, __m256i *groups) {
  for (int g = 0; g < N / 16; g++) {
    // j = 8g..8g+7 and their mirrors N-1-j.
    const __m128i a = load128(r + 8 * g), b = reverse8(load128(r + N - 8 - 8 * g));
    const __m128i e = _mm_add_epi16(a, b), o = _mm_sub_epi16(a, b);
    groups[g] = _mm256_set_m128i(_mm_unpackhi_epi32(e, o), _mm_unpacklo_epi32(e, o));
  }
}

// Every pair group of a row broadcast over a register: b[p] holds (E pair
// p, O pair p) in each 64-bit lane.
template <int N>
inline void broadcast_pairs(const int16_t *r, __m256i *b) {
  __m256i groups[N / 16];
  even_odd_groups<N>(r, groups);
  for (int g = 0; g < N / 16; g++) {
    b[4 * g] = _mm256_permute4x64_epi64(groups[g], 0x00);
    b[4 * g + 1] = _mm256_permute4x64_epi64(groups[g], 0x55);
    b[4 * g + 2] = _mm256_permute4x64_epi64(groups[g], 0xAA);
    b[4 * g + 3] = _mm256_permute4x64_epi64(groups[g], 0xFF);
  }
}

// The first-pass outputs k = 8kb..8kb+7 of a row, rounded.
template <int N, int SH>
inline __m256i row_block(const __m256i *b, int kb) {
  const row_weights_t<N, 8> &w = row_w<N>();
  __m256i acc = _mm256_madd_epi16(b[0], load256(w.v[kb][0]));
  for (int p = 1; p < N / 4; p++) acc = _mm256_add_epi32(acc, _mm256_madd_epi16(b[p], load256(w.v[kb][p])));
  return round_shift<SH>(acc);
}

// Forward N x N DCT of a residual (rows rs apart) keeping the K x K corner.
template <int N, int K>
inline void forward_wide(const int16_t *res, int rs, int16_t *coef) {
  constexpr int LOG2 = N == 16 ? 4 : 5;
  // inter[q][u]: (T[2q][u], T[2q + 1][u]) for u < K.
  alignas(32) int32_t inter[N / 2][K];
  const __m256i interleave = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15, 0, 1, 8, 9, 2, 3,
                                              10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
  for (int q = 0; q < N / 2; q++) {
    __m256i t0[K / 8], b[N / 4];
    broadcast_pairs<N>(res + 2 * q * rs, b);
    for (int kb = 0; kb < K / 8; kb++) t0[kb] = row_block<N, LOG2 - 1>(b, kb);
    broadcast_pairs<N>(res + (2 * q + 1) * rs, b);
    for (int kb = 0; kb < K / 8; kb++) {
      const __m256i t1 = row_block<N, LOG2 - 1>(b, kb);
      // packs: [row 2q k0-3, row 2q+1 k0-3 | k4-7 likewise]; the shuffle
      // pairs them per frequency.
      _mm256_store_si256(reinterpret_cast<__m256i *>(&inter[q][8 * kb]),
                         _mm256_shuffle_epi8(_mm256_packs_epi32(t0[kb], t1), interleave));
    }
  }
  // VB output rows at once: each loaded pair of rows serves all of them.
  const col_weights_t<N> &w = col_w<N>();
  constexpr int UB = K / 8, VB = (UB >= 4 ? 8 : 4) / UB;
  for (int v0 = 0; v0 < K; v0 += VB) {
    __m256i acc[VB][UB];
    for (int i = 0; i < VB; i++)
      for (int ub = 0; ub < UB; ub++) acc[i][ub] = _mm256_setzero_si256();
    for (int q = 0; q < N / 2; q++) {
      __m256i in[UB];
      for (int ub = 0; ub < UB; ub++) in[ub] = _mm256_load_si256(reinterpret_cast<const __m256i *>(&inter[q][8 * ub]));
      for (int i = 0; i < VB; i++) {
        const __m256i wq = _mm256_set1_epi32(w.v[v0 + i][q]);
        for (int ub = 0; ub < UB; ub++) acc[i][ub] = _mm256_add_epi32(acc[i][ub], _mm256_madd_epi16(in[ub], wq));
      }
    }
    for (int i = 0; i < VB; i++) {
      int16_t *out = coef + (v0 + i) * N;
      for (int ub = 0; ub < UB; ub += 2) {
        const __m256i lo = round_shift<LOG2 + 6>(acc[i][ub]);
        if (ub + 1 < UB) {
          const __m256i hi = round_shift<LOG2 + 6>(acc[i][ub + 1]);
          _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + 8 * ub),
                              _mm256_permute4x64_epi64(_mm256_packs_epi32(lo, hi), 0xD8));
        } else {
          const __m256i p = _mm256_permute4x64_epi64(_mm256_packs_epi32(lo, lo), 0x08);
          _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 8 * ub), _mm256_castsi256_si128(p));
        }
      }
    }
  }
  _mm256_zeroupper();
}

}  // namespace

void dct_fwd_low_core_16x16_avx2(const int16_t *res, int16_t *coef, int32_t stride) { forward_wide<16, 8>(res, stride, coef); }
void dct_fwd_low_core_32x32_avx2(const int16_t *res, int16_t *coef, int32_t stride) { forward_wide<32, 8>(res, stride, coef); }
