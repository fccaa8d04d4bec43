// Planar intra prediction, AVX2 tier, 4x4 to 32x32 (the portable DC
// predictor, a sum and a fill that the compiler vectorises, is within 1.5x
// of anything written by hand, so DC has no kernel): 16x16 and 32x32 sixteen
// columns per 256-bit register, 4x4 and 8x8 the 128-bit rows of
// intra_planar_rows.h (which states the arithmetic).
// Reads only nb[0..4N], writes only the N x N block.
#include <immintrin.h>

#include "simd/x86/intra/intra_kernels.h"
#include "simd/x86/intra/intra_planar_rows.h"

namespace {

// Columns 0..15 as 16-bit lanes of 16 bytes.
inline __m256i widen16(const uint8_t *p) { return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p))); }

// 16 lanes back to 16 bytes in column order.
inline __m128i narrow16(__m256i v) {
  const __m256i packed = _mm256_packus_epi16(v, v);
  return _mm256_castsi256_si128(_mm256_permute4x64_epi64(packed, 0x08));
}

template <int LOG2>
void planar_wide(uint8_t *dst, intptr_t stride, const uint8_t *nb) {
  constexpr int N = 1 << LOG2, HALVES = N / 16;
  const uint8_t *above = nb + 1;
  const uint8_t *left = nb + 2 * N + 1;
  const __m256i tr = _mm256_set1_epi16(above[N]), bl = _mm256_set1_epi16(left[N]);
  const __m256i ramp = _mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  __m256i cur[HALVES], delta[HALVES], wx[HALVES];
  for (int h = 0; h < HALVES; h++) {
    const __m256i a = widen16(above + 16 * h);
    const __m256i x1 = _mm256_add_epi16(ramp, _mm256_set1_epi16(static_cast<int16_t>(16 * h + 1)));
    cur[h] = _mm256_add_epi16(_mm256_add_epi16(_mm256_mullo_epi16(x1, tr), _mm256_mullo_epi16(a, _mm256_set1_epi16(N - 1))),
                              _mm256_add_epi16(bl, _mm256_set1_epi16(N)));
    delta[h] = _mm256_sub_epi16(bl, a);
    wx[h] = _mm256_sub_epi16(_mm256_set1_epi16(N), x1);
  }
  for (int y = 0; y < N; y++) {
    const __m256i l = _mm256_set1_epi16(left[y]);
    for (int h = 0; h < HALVES; h++) {
      const __m256i v = _mm256_srli_epi16(_mm256_add_epi16(cur[h], _mm256_mullo_epi16(wx[h], l)), LOG2 + 1);
      _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + y * stride + 16 * h), narrow16(v));
      cur[h] = _mm256_add_epi16(cur[h], delta[h]);
    }
  }
}

}  // namespace

void intra_planar_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { planar_4(dst, stride, nb); }
void intra_planar_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { planar_8(dst, stride, nb); }
void intra_planar_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { planar_wide<4>(dst, stride, nb); }
void intra_planar_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { planar_wide<5>(dst, stride, nb); }
