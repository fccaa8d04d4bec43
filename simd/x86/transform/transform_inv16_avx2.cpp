// Inverse 16x16 DCT core of the AVX2 tier with every multiply-add in the
// lane of its own output (no horizontal additions).
//
// Columns (shift 7): two coefficient rows are interleaved so that each
// 32-bit lane holds (C[2q][u], C[2q + 1][u]); one multiply-add against the
// broadcast pair (M[2q][y], M[2q + 1][y]) adds both to eight columns of
// output row y.  Rows (shift 12): each pair (G[y][2p], G[y][2p + 1]) of an
// intermediate row is broadcast, and one multiply-add against the lanes
// (M[2p][x], M[2p + 1][x]) adds it to eight samples.  The sums are exact in
// 32 bits; the saturating narrowing is the portable function's clip16
// (after the row pass nothing reaches it).
// Zero coefficient rows and columns add nothing: the block's extent (groups
// of four rows and of four columns up to the last non-zero coefficient)
// picks passes that skip them, and the slots add the row pass's samples to
// the prediction as they come.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "common/primitives.h"
#include "simd/x86/transform/transform_inv_weights.h"
#include "simd/x86/transform/transform_kernels.h"

namespace {

inline constexpr inv_col_weights_t<16> col_w = make_inv_col_weights<16>();
inline constexpr inv_row_weights_t<16, 8> row_w = make_inv_row_weights<16, 8>();

template <int SH>
inline __m256i round_shift(__m256i v) {
  return _mm256_srai_epi32(_mm256_add_epi32(v, _mm256_set1_epi32(1 << (SH - 1))), SH);
}
inline __m256i load256(const void *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }

// Two registers of eight 32-bit results as sixteen int16 in order.
inline __m256i narrow16(__m256i lo, __m256i hi) {
  return _mm256_permute4x64_epi64(_mm256_packs_epi32(lo, hi), 0xD8);
}

// The inverse of the coefficient rows v < KV and columns u < KH (KV a
// multiple of 4, KH of 4; the rest counts as zero).  Columns u >= 8 are
// read only when KH > 8, so the 8x8 corner reads nothing outside it; the
// whole-block kernel, which may read all of it, loads whole rows.
// out(y, the sixteen samples of row y).
template <int KV, int KH, typename Out>
inline void inverse16(const int16_t *coef, Out out) {
  constexpr int UB = KH > 8 ? 2 : 1;
  // inter[q][u]: (C[2q][u], C[2q + 1][u]).
  alignas(32) int32_t inter[KV / 2][8 * UB];
  for (int q = 0; q < KV / 2; q++) {
    if constexpr (UB == 2) {
      // Quarter order [u0-3, u8-11 | u4-7, u12-15], so that the unpacks
      // give columns 0-7 and 8-15.
      const __m256i r0 = _mm256_permute4x64_epi64(load256(coef + 32 * q), 0xD8);
      const __m256i r1 = _mm256_permute4x64_epi64(load256(coef + 32 * q + 16), 0xD8);
      _mm256_store_si256(reinterpret_cast<__m256i *>(&inter[q][0]), _mm256_unpacklo_epi16(r0, r1));
      _mm256_store_si256(reinterpret_cast<__m256i *>(&inter[q][8]), _mm256_unpackhi_epi16(r0, r1));
    } else {
      const __m128i r0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(coef + 32 * q));
      const __m128i r1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(coef + 32 * q + 16));
      _mm256_store_si256(reinterpret_cast<__m256i *>(&inter[q][0]),
                         _mm256_set_m128i(_mm_unpackhi_epi16(r0, r1), _mm_unpacklo_epi16(r0, r1)));
    }
  }
  // g[y]: the intermediate row (the row pass reads its first KH columns).
  alignas(32) int16_t g[16][16];
  for (int y = 0; y < 16; y += 2) {
    __m256i acc[2][UB] = {};
    for (int q = 0; q < KV / 2; q++)
      for (int i = 0; i < 2; i++) {
        const __m256i w = _mm256_set1_epi32(col_w.v[y + i][q]);
        for (int ub = 0; ub < UB; ub++)
          acc[i][ub] = _mm256_add_epi32(
              acc[i][ub], _mm256_madd_epi16(_mm256_load_si256(reinterpret_cast<const __m256i *>(&inter[q][8 * ub])), w));
      }
    for (int i = 0; i < 2; i++) {
      const __m256i lo = round_shift<7>(acc[i][0]);
      _mm256_store_si256(reinterpret_cast<__m256i *>(g[y + i]), narrow16(lo, UB == 2 ? round_shift<7>(acc[i][UB - 1]) : lo));
    }
  }
  for (int y = 0; y < 16; y++) {
    __m256i acc0 = _mm256_setzero_si256(), acc1 = _mm256_setzero_si256();
    for (int p = 0; p < KH / 2; p++) {
      int32_t pair;
      std::memcpy(&pair, &g[y][2 * p], 4);
      const __m256i b = _mm256_set1_epi32(pair);
      acc0 = _mm256_add_epi32(acc0, _mm256_madd_epi16(b, _mm256_load_si256(reinterpret_cast<const __m256i *>(row_w.v[0][p]))));
      acc1 = _mm256_add_epi32(acc1, _mm256_madd_epi16(b, _mm256_load_si256(reinterpret_cast<const __m256i *>(row_w.v[1][p]))));
    }
    out(y, narrow16(round_shift<12>(acc0), round_shift<12>(acc1)));
  }
  _mm256_zeroupper();
}

// The residual out to rows `stride` apart.
struct to_residual {
  int16_t *res;
  int32_t stride;
  void operator()(int y, __m256i row) const { _mm256_storeu_si256(reinterpret_cast<__m256i *>(res + y * stride), row); }
};
// Added to the prediction in place: the saturating 16-bit add and the
// unsigned narrowing clip as the portable function's clamp does.
struct to_recon {
  uint8_t *recon;
  void operator()(int y, __m256i row) const {
    uint8_t *d = recon + y * RECON_STRIDE;
    const __m256i s = _mm256_adds_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(d))), row);
    const __m256i packed = _mm256_packus_epi16(s, s);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(d), _mm256_castsi256_si128(_mm256_permute4x64_epi64(packed, 0x08)));
  }
};

// Groups of four rows and of four columns up to the last that holds a
// non-zero coefficient (rows 0 when the block is empty).
inline void extent(const int16_t *coef, int &kv, int &kh) {
  __m256i any = _mm256_setzero_si256();
  kv = 0;
  for (int gr = 0; gr < 4; gr++) {
    const __m256i r = _mm256_or_si256(_mm256_or_si256(load256(coef + 64 * gr), load256(coef + 64 * gr + 16)),
                                      _mm256_or_si256(load256(coef + 64 * gr + 32), load256(coef + 64 * gr + 48)));
    if (!_mm256_testz_si256(r, r)) kv = 4 * (gr + 1);
    any = _mm256_or_si256(any, r);
  }
  // Eight bytes per group of four columns.
  const uint32_t zero = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(any, _mm256_setzero_si256())));
  kh = (zero >> 24) != 0xFF ? 16 : ((zero >> 16) & 0xFF) != 0xFF ? 12 : ((zero >> 8) & 0xFF) != 0xFF ? 8 : 4;
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
// Returns false for an empty block.
template <typename Out>
inline bool inverse16_any(const int16_t *coef, Out out) {
  int kv, kh;
  extent(coef, kv, kh);
  switch (kv) {
    case 0: _mm256_zeroupper(); return false;
    case 4: inverse16_kv<4>(kh, coef, out); break;
    case 8: inverse16_kv<8>(kh, coef, out); break;
    case 12: inverse16_kv<12>(kh, coef, out); break;
    default: inverse16_kv<16>(kh, coef, out); break;
  }
  return true;
}

}  // namespace

void dct_inv_core_16x16_avx2(const int16_t *coef, int16_t *res, int32_t stride) {
  if (inverse16_any(coef, to_residual{res, stride})) return;
  for (int y = 0; y < 16; y++) std::memset(res + y * stride, 0, 32);
}
void dct_inv_low_core_16x16_avx2(const int16_t *coef, int16_t *res, int32_t stride) {
  inverse16<8, 8>(coef, to_residual{res, stride});
}
// An empty block leaves the prediction as it is.
void dct_inv_add_16x16_avx2(uint8_t *recon, const int16_t *coef) { inverse16_any(coef, to_recon{recon}); }
void dct_inv_add_low_16x16_avx2(uint8_t *recon, const int16_t *coef, int32_t) { inverse16<8, 8>(coef, to_recon{recon}); }
