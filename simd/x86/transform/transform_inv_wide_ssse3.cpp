// Inverse 16x16 and 32x32 DCT of the SSSE3 tier for blocks whose non-zero
// coefficients lie in a corner: every multiply-add in the lane of its own
// output (no horizontal additions), as the AVX2 tier's inverse 16x16
// (transform_inv16_avx2.cpp), on 128-bit vectors with four outputs each.
//
// Columns (shift 7): two coefficient rows are interleaved so that each
// 32-bit lane holds (C[2q][u], C[2q + 1][u]); one multiply-add against the
// broadcast pair (M[2q][y], M[2q + 1][y]) adds both to four columns of
// output row y.  Rows (shift 12): each pair (G[y][2p], G[y][2p + 1]) of an
// intermediate row is broadcast, and one multiply-add against the lanes
// (M[2p][x], M[2p + 1][x]) adds it to four samples.  The sums are exact in
// 32 bits; the saturating narrowing is the portable function's clip16
// (after the row pass nothing reaches it).
// Zero coefficient rows and columns add nothing: the block's extent (groups
// of N/4 rows and of N/4 columns up to the last non-zero coefficient) picks
// passes that skip them, and the samples are added to the prediction as
// they come.  A block with coefficients beyond the first half of its rows or
// columns (32x32), or in every group (16x16), takes transform_passes.h's
// butterfly passes instead: with half the products they are faster there.
#include <tmmintrin.h>

#include <cstdint>
#include <cstring>

#include "common/primitives.h"
#include "simd/x86/transform/transform_inv_weights.h"
#include "simd/x86/transform/transform_kernels.h"
#include "simd/x86/transform/transform_passes.h"

namespace {

inline constexpr inv_col_weights_t<16> col_w16 = make_inv_col_weights<16>();
inline constexpr inv_col_weights_t<32> col_w32 = make_inv_col_weights<32>();
inline constexpr inv_row_weights_t<16, 4> row_w16 = make_inv_row_weights<16, 4>();
inline constexpr inv_row_weights_t<32, 4> row_w32 = make_inv_row_weights<32, 4>();
template <int N>
constexpr const inv_col_weights_t<N> &col_w() {
  if constexpr (N == 16) return col_w16;
  else return col_w32;
}
template <int N>
constexpr const inv_row_weights_t<N, 4> &row_w() {
  if constexpr (N == 16) return row_w16;
  else return row_w32;
}

inline __m128i load64(const int16_t *p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)); }
inline __m128i load_aligned(const void *p) { return _mm_load_si128(reinterpret_cast<const __m128i *>(p)); }

// The inverse of the coefficient rows v < KV and columns u < KH (KV a
// multiple of 4, KH of 4; the rest counts as zero), reading no coefficient
// of a column u >= KH rounded up to 8 (so the 8x8 corner reads nothing
// outside it).  out(y, the N/8 vectors of eight samples of row y).
template <int N, int KV, int KH, typename Out>
inline void inverse_direct(const int16_t *coef, Out out) {
  constexpr int UB = KH / 4;  // registers of four columns
  // inter[q][ub]: (C[2q][u], C[2q + 1][u]) for u = 4ub..4ub+3.
  __m128i inter[KV / 2][UB];
  for (int q = 0; q < KV / 2; q++) {
    const int16_t *r0 = coef + 2 * q * N, *r1 = r0 + N;
    if constexpr (KH == 4) {
      inter[q][0] = _mm_unpacklo_epi16(load64(r0), load64(r1));
    } else {
      for (int h = 0; 2 * h < UB; h++) {
        const __m128i a = load128(r0 + 8 * h), b = load128(r1 + 8 * h);
        inter[q][2 * h] = _mm_unpacklo_epi16(a, b);
        if (2 * h + 1 < UB) inter[q][2 * h + 1] = _mm_unpackhi_epi16(a, b);
      }
    }
  }
  // g[y]: the intermediate row (the row pass reads its first KH columns;
  // rows of whole vectors).
  alignas(16) int16_t g[N][(KH + 7) / 8 * 8];
  const inv_col_weights_t<N> &cw = col_w<N>();
  for (int y = 0; y < N; y++) {
    __m128i acc[UB];
    __m128i w = _mm_set1_epi32(cw.v[y][0]);
    for (int ub = 0; ub < UB; ub++) acc[ub] = _mm_madd_epi16(inter[0][ub], w);
    for (int q = 1; q < KV / 2; q++) {
      w = _mm_set1_epi32(cw.v[y][q]);
      for (int ub = 0; ub < UB; ub++) acc[ub] = _mm_add_epi32(acc[ub], _mm_madd_epi16(inter[q][ub], w));
    }
    for (int ub = 0; ub < UB; ub += 2) {
      const __m128i lo = round128<7>(acc[ub]);
      _mm_store_si128(reinterpret_cast<__m128i *>(&g[y][4 * ub]),
                      _mm_packs_epi32(lo, ub + 1 < UB ? round128<7>(acc[ub + 1]) : lo));
    }
  }
  const inv_row_weights_t<N, 4> &rw = row_w<N>();
  for (int y = 0; y < N; y++) {
    __m128i acc[N / 4];
    for (int p = 0; p < KH / 2; p++) {
      int32_t pair;
      std::memcpy(&pair, &g[y][2 * p], 4);
      const __m128i b = _mm_set1_epi32(pair);
      for (int xb = 0; xb < N / 4; xb++) {
        const __m128i m = _mm_madd_epi16(b, load_aligned(rw.v[xb][p]));
        acc[xb] = p ? _mm_add_epi32(acc[xb], m) : m;
      }
    }
    __m128i row[N / 8];
    for (int i = 0; i < N / 8; i++) row[i] = _mm_packs_epi32(round128<12>(acc[2 * i]), round128<12>(acc[2 * i + 1]));
    out(y, row);
  }
}

// Added to the prediction in place: the saturating 16-bit add and the
// unsigned narrowing clip as the portable function's clamp does.
template <int N>
struct to_recon {
  uint8_t *recon;
  void operator()(int y, const __m128i *row) const {
    uint8_t *d = recon + y * RECON_STRIDE;
    const __m128i zero = _mm_setzero_si128();
    for (int i = 0; i < N / 16; i++) {
      const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i *>(d + 16 * i));
      _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 16 * i),
                       _mm_packus_epi16(_mm_adds_epi16(_mm_unpacklo_epi8(p, zero), row[2 * i]),
                                        _mm_adds_epi16(_mm_unpackhi_epi8(p, zero), row[2 * i + 1])));
    }
  }
};

// Groups of N/4 rows and of N/4 columns up to the last that holds a
// non-zero coefficient, as counts of rows and columns (rows 0 when the
// block is empty).
template <int N>
inline void extent(const int16_t *coef, int &kv, int &kh) {
  constexpr int G = N / 4;
  const __m128i zero = _mm_setzero_si128();
  __m128i any[N / 8];  // columns 8i..8i+7
  for (int i = 0; i < N / 8; i++) any[i] = zero;
  kv = 0;
  for (int gr = 0; gr < 4; gr++) {
    __m128i rows[N / 8];
    for (int i = 0; i < N / 8; i++) rows[i] = zero;
    for (int y = G * gr; y < G * gr + G; y++)
      for (int i = 0; i < N / 8; i++) rows[i] = _mm_or_si128(rows[i], load128(coef + N * y + 8 * i));
    __m128i all = zero;
    for (int i = 0; i < N / 8; i++) {
      all = _mm_or_si128(all, rows[i]);
      any[i] = _mm_or_si128(any[i], rows[i]);
    }
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(all, zero)) != 0xFFFF) kv = G * (gr + 1);
  }
  // Column group c: 8 bytes of any[c / 2] (16x16) or the whole any[c].
  kh = G;
  for (int c = 1; c < 4; c++) {
    bool nonzero;
    if constexpr (N == 16) {
      const uint32_t z = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(any[c / 2], zero)));
      nonzero = ((z >> (8 * (c & 1))) & 0xFF) != 0xFF;
    } else {
      nonzero = _mm_movemask_epi8(_mm_cmpeq_epi8(any[c], zero)) != 0xFFFF;
    }
    if (nonzero) kh = G * (c + 1);
  }
}

template <int N, int KV>
inline void inverse_kv(int kh, const int16_t *coef, uint8_t *recon) {
  constexpr int G = N / 4;
  switch (kh / G) {
    case 1: return inverse_direct<N, KV, G>(coef, to_recon<N>{recon});
    case 2: return inverse_direct<N, KV, 2 * G>(coef, to_recon<N>{recon});
    case 3: return inverse_direct<N, KV, 3 * G>(coef, to_recon<N>{recon});
    default: return inverse_direct<N, KV, 4 * G>(coef, to_recon<N>{recon});
  }
}

}  // namespace

// An empty block leaves the prediction as it is.
void dct_inv_add_16x16_ssse3(uint8_t *recon, const int16_t *coef) {
  int kv, kh;
  extent<16>(coef, kv, kh);
  switch (kv) {
    case 0: return;
    case 4: return inverse_kv<16, 4>(kh, coef, recon);
    case 8: return inverse_kv<16, 8>(kh, coef, recon);
    case 12: return inverse_kv<16, 12>(kh, coef, recon);
    default:
      if (kh == 16) return dct_inv_add_kernel<4>(recon, coef);
      return inverse_kv<16, 16>(kh, coef, recon);
  }
}
void dct_inv_add_low_16x16_ssse3(uint8_t *recon, const int16_t *coef, int32_t) {
  inverse_direct<16, 8, 8>(coef, to_recon<16>{recon});
}
void dct_inv_add_32x32_ssse3(uint8_t *recon, const int16_t *coef) {
  int kv, kh;
  extent<32>(coef, kv, kh);
  if (kv == 0) return;
  if (kv > 16 || kh > 16) return dct_inv_add_kernel<5>(recon, coef);
  if (kh == 8) {
    if (kv == 8) return inverse_direct<32, 8, 8>(coef, to_recon<32>{recon});
    return inverse_direct<32, 16, 8>(coef, to_recon<32>{recon});
  }
  if (kv == 8) return inverse_direct<32, 8, 16>(coef, to_recon<32>{recon});
  return inverse_direct<32, 16, 16>(coef, to_recon<32>{recon});
}
void dct_inv_add_low_32x32_ssse3(uint8_t *recon, const int16_t *coef, int32_t) {
  inverse_direct<32, 8, 8>(coef, to_recon<32>{recon});
}
