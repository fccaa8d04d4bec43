// Planar intra prediction, AVX2 tier, 4x4 to 32x32 (the portable DC
// predictor, a sum and a fill that the compiler vectorises, is within 1.5x
// of anything written by hand, so DC has no kernel).
//
// A sample is ((N-1-x) L[y] + (x+1) TR + (N-1-y) A[x] + (y+1) BL + N)
// >> (log2 N + 1), at most 2N * 255 + N = 16352, so every sum fits a signed
// 16-bit lane.  The vertical part of row 0, (x+1) TR + (N-1) A[x] + BL + N,
// moves by BL - A[x] from row to row; each row adds (N-1-x) L[y] and
// shifts.
// Reads only nb[0..4N], writes only the N x N block.
#include <immintrin.h>

#include <cstring>

#include "simd/x86/intra/intra_kernels.h"

namespace {

inline __m128i load4(const uint8_t *p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return _mm_cvtsi32_si128(v);
}

inline void store4(uint8_t *p, __m128i v) {
  const int32_t w = _mm_cvtsi128_si32(v);
  std::memcpy(p, &w, 4);
}

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

// 8x8: one row per 128-bit register.
void planar_8(uint8_t *dst, intptr_t stride, const uint8_t *nb) {
  constexpr int N = 8;
  const uint8_t *above = nb + 1;
  const uint8_t *left = nb + 2 * N + 1;
  const __m128i a = _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(above)));
  const __m128i tr = _mm_set1_epi16(above[N]), bl = _mm_set1_epi16(left[N]);
  const __m128i x1 = _mm_setr_epi16(1, 2, 3, 4, 5, 6, 7, 8);
  __m128i cur = _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(x1, tr), _mm_mullo_epi16(a, _mm_set1_epi16(N - 1))),
                              _mm_add_epi16(bl, _mm_set1_epi16(N)));
  const __m128i delta = _mm_sub_epi16(bl, a);
  const __m128i wx = _mm_sub_epi16(_mm_set1_epi16(N), x1);
  for (int y = 0; y < N; y++) {
    const __m128i v = _mm_srli_epi16(_mm_add_epi16(cur, _mm_mullo_epi16(wx, _mm_set1_epi16(left[y]))), 4);
    _mm_storel_epi64(reinterpret_cast<__m128i *>(dst + y * stride), _mm_packus_epi16(v, v));
    cur = _mm_add_epi16(cur, delta);
  }
}

// 4x4: two rows per 128-bit register.
void planar_4(uint8_t *dst, intptr_t stride, const uint8_t *nb) {
  constexpr int N = 4;
  const uint8_t *above = nb + 1;
  const uint8_t *left = nb + 2 * N + 1;
  const __m128i a = _mm_cvtepu8_epi16(_mm_unpacklo_epi32(load4(above), load4(above)));
  const __m128i tr = _mm_set1_epi16(above[N]), bl = _mm_set1_epi16(left[N]);
  const __m128i x1 = _mm_setr_epi16(1, 2, 3, 4, 1, 2, 3, 4);
  const __m128i delta = _mm_sub_epi16(bl, a);
  // Rows 0 and 1, then 2 and 3: the vertical part of row 1 is one step on.
  __m128i cur = _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(x1, tr), _mm_mullo_epi16(a, _mm_set1_epi16(N - 1))),
                              _mm_add_epi16(bl, _mm_set1_epi16(N)));
  cur = _mm_add_epi16(cur, _mm_unpackhi_epi64(_mm_setzero_si128(), delta));
  const __m128i step = _mm_add_epi16(delta, delta);
  const __m128i wx = _mm_sub_epi16(_mm_set1_epi16(N), x1);
  for (int y = 0; y < N; y += 2) {
    const __m128i l = _mm_unpacklo_epi64(_mm_set1_epi16(left[y]), _mm_set1_epi16(left[y + 1]));
    const __m128i v = _mm_srli_epi16(_mm_add_epi16(cur, _mm_mullo_epi16(wx, l)), 3);
    const __m128i b = _mm_packus_epi16(v, v);
    store4(dst + y * stride, b);
    store4(dst + (y + 1) * stride, _mm_srli_si128(b, 4));
    cur = _mm_add_epi16(cur, step);
  }
}

}  // namespace

void intra_planar_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { planar_4(dst, stride, nb); }
void intra_planar_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { planar_8(dst, stride, nb); }
void intra_planar_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { planar_wide<4>(dst, stride, nb); }
void intra_planar_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { planar_wide<5>(dst, stride, nb); }
