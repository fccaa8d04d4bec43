// Inverse 16x16 DCT of the SSSE3 tier with every multiply-add in the lane
// of its own output (no horizontal additions): the AVX2 tier's scheme
// (transform_inv16_avx2.cpp) on 128-bit vectors, four outputs per
// multiply-add.
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
// of four rows and of four columns up to the last non-zero coefficient)
// picks passes that skip them, and the samples are added to the prediction
// as they come.  A block with coefficients in every group of rows and of
// columns takes transform_passes.h's butterfly passes instead.
#include <tmmintrin.h>

#include <cstdint>
#include <cstring>

#include "common/primitives.h"
#include "simd/x86/transform/transform_inv16_weights.h"
#include "simd/x86/transform/transform_kernels.h"
#include "simd/x86/transform/transform_passes.h"

namespace {

inline constexpr inv16_col_weights_t col_w = make_inv16_col_weights();
inline constexpr inv16_row_weights_t<4> row_w = make_inv16_row_weights<4>();

template <int SH>
inline __m128i round_shift(__m128i v) {
  return _mm_srai_epi32(_mm_add_epi32(v, _mm_set1_epi32(1 << (SH - 1))), SH);
}
inline __m128i load128(const void *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
inline __m128i load64(const void *p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)); }
inline __m128i load_aligned(const void *p) { return _mm_load_si128(reinterpret_cast<const __m128i *>(p)); }

// The inverse of the coefficient rows v < KV and columns u < KH (KV a
// multiple of 4, KH of 4; the rest counts as zero), reading no coefficient
// of a column u >= KH rounded up to 8 (so the 8x8 corner reads nothing
// outside it).  out(y, samples 0-7, samples 8-15 of row y).
template <int KV, int KH, typename Out>
inline void inverse16(const int16_t *coef, Out out) {
  constexpr int UB = KH / 4;  // registers of four columns
  // inter[q][ub]: (C[2q][u], C[2q + 1][u]) for u = 4ub..4ub+3.
  __m128i inter[KV / 2][UB];
  for (int q = 0; q < KV / 2; q++) {
    const int16_t *r0 = coef + 32 * q, *r1 = r0 + 16;
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
  // g[y]: the intermediate row (the row pass reads its first KH columns).
  alignas(16) int16_t g[16][16];
  for (int y = 0; y < 16; y++) {
    __m128i acc[UB];
    __m128i w = _mm_set1_epi32(col_w.v[y][0]);
    for (int ub = 0; ub < UB; ub++) acc[ub] = _mm_madd_epi16(inter[0][ub], w);
    for (int q = 1; q < KV / 2; q++) {
      w = _mm_set1_epi32(col_w.v[y][q]);
      for (int ub = 0; ub < UB; ub++) acc[ub] = _mm_add_epi32(acc[ub], _mm_madd_epi16(inter[q][ub], w));
    }
    for (int ub = 0; ub < UB; ub += 2) {
      const __m128i lo = round_shift<7>(acc[ub]);
      _mm_store_si128(reinterpret_cast<__m128i *>(&g[y][4 * ub]),
                      _mm_packs_epi32(lo, ub + 1 < UB ? round_shift<7>(acc[ub + 1]) : lo));
    }
  }
  for (int y = 0; y < 16; y++) {
    __m128i acc[4];
    for (int p = 0; p < KH / 2; p++) {
      int32_t pair;
      std::memcpy(&pair, &g[y][2 * p], 4);
      const __m128i b = _mm_set1_epi32(pair);
      for (int xb = 0; xb < 4; xb++) {
        const __m128i m = _mm_madd_epi16(b, load_aligned(row_w.v[xb][p]));
        acc[xb] = p ? _mm_add_epi32(acc[xb], m) : m;
      }
    }
    out(y, _mm_packs_epi32(round_shift<12>(acc[0]), round_shift<12>(acc[1])),
        _mm_packs_epi32(round_shift<12>(acc[2]), round_shift<12>(acc[3])));
  }
}

// Added to the prediction in place: the saturating 16-bit add and the
// unsigned narrowing clip as the portable function's clamp does.
struct to_recon {
  uint8_t *recon;
  void operator()(int y, __m128i lo, __m128i hi) const {
    uint8_t *d = recon + y * RECON_STRIDE;
    const __m128i p = load128(d), zero = _mm_setzero_si128();
    _mm_storeu_si128(reinterpret_cast<__m128i *>(d), _mm_packus_epi16(_mm_adds_epi16(_mm_unpacklo_epi8(p, zero), lo),
                                                                        _mm_adds_epi16(_mm_unpackhi_epi8(p, zero), hi)));
  }
};

// Groups of four rows and of four columns up to the last that holds a
// non-zero coefficient (rows 0 when the block is empty).
inline void extent(const int16_t *coef, int &kv, int &kh) {
  const __m128i zero = _mm_setzero_si128();
  __m128i any_lo = zero, any_hi = zero;  // columns 0-7 and 8-15
  kv = 0;
  for (int gr = 0; gr < 4; gr++) {
    __m128i lo = zero, hi = zero;
    for (int y = 4 * gr; y < 4 * gr + 4; y++) {
      lo = _mm_or_si128(lo, load128(coef + 16 * y));
      hi = _mm_or_si128(hi, load128(coef + 16 * y + 8));
    }
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_or_si128(lo, hi), zero)) != 0xFFFF) kv = 4 * (gr + 1);
    any_lo = _mm_or_si128(any_lo, lo);
    any_hi = _mm_or_si128(any_hi, hi);
  }
  // Eight bytes per group of four columns.
  const uint32_t z = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(any_lo, zero))) |
                     static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(any_hi, zero))) << 16;
  kh = (z >> 24) != 0xFF ? 16 : ((z >> 16) & 0xFF) != 0xFF ? 12 : ((z >> 8) & 0xFF) != 0xFF ? 8 : 4;
}

template <int KV, typename Out>
inline void inverse16_kv(int kh, const int16_t *coef, Out out) {
  switch (kh) {
    case 4: return inverse16<KV, 4>(coef, out);
    case 8: return inverse16<KV, 8>(coef, out);
    case 12: return inverse16<KV, 12>(coef, out);
    default: return inverse16<KV, 16>(coef, out);
  }
}

}  // namespace

// An empty block leaves the prediction as it is.
void dct_inv_add_16x16_ssse3(uint8_t *recon, const int16_t *coef) {
  int kv, kh;
  extent(coef, kv, kh);
  const to_recon out{recon};
  switch (kv) {
    case 0: return;
    case 4: return inverse16_kv<4>(kh, coef, out);
    case 8: return inverse16_kv<8>(kh, coef, out);
    case 12: return inverse16_kv<12>(kh, coef, out);
    default:
      // The whole block: the butterfly passes (half the products, with
      // horizontal additions) beat the direct sums here.
      if (kh == 16) return dct_inv_add_kernel<4>(recon, coef);
      return inverse16_kv<16>(kh, coef, out);
  }
}
void dct_inv_add_low_16x16_ssse3(uint8_t *recon, const int16_t *coef, int32_t) {
  inverse16<8, 8>(coef, to_recon{recon});
}
