// Planar intra prediction in 128-bit registers, shared by the SSSE3 and
// AVX2 tiers (each vector file compiles its own copy: internal linkage
// only).  A sample is ((N-1-x) L[y] + (x+1) TR + (N-1-y) A[x] + (y+1) BL +
// N) >> (log2 N + 1), at most 2N * 255 + N = 16352, so every sum fits a
// signed 16-bit lane.  The vertical part of row 0, (x+1) TR + (N-1) A[x] +
// BL + N, moves by BL - A[x] from row to row; each row adds (N-1-x) L[y]
// and shifts.  Reads only nb[0..4N], writes only the N x N block.
#pragma once

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

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

// Eight samples as 16-bit lanes.
inline __m128i widen8(const uint8_t *p) {
  return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)), _mm_setzero_si128());
}

// 8x8: one row per 128-bit register.
void planar_8(uint8_t *dst, intptr_t stride, const uint8_t *nb) {
  constexpr int N = 8;
  const uint8_t *above = nb + 1;
  const uint8_t *left = nb + 2 * N + 1;
  const __m128i a = widen8(above);
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
  const __m128i a = _mm_unpacklo_epi8(_mm_unpacklo_epi32(load4(above), load4(above)), _mm_setzero_si128());
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

// 16x16 and 32x32: eight columns per 128-bit register, two registers
// packed per 16-byte store.
template <int LOG2>
void planar_eights(uint8_t *dst, intptr_t stride, const uint8_t *nb) {
  constexpr int N = 1 << LOG2, EIGHTS = N / 8;
  const uint8_t *above = nb + 1;
  const uint8_t *left = nb + 2 * N + 1;
  const __m128i tr = _mm_set1_epi16(above[N]), bl = _mm_set1_epi16(left[N]);
  const __m128i ramp = _mm_setr_epi16(1, 2, 3, 4, 5, 6, 7, 8);
  __m128i cur[EIGHTS], delta[EIGHTS], wx[EIGHTS];
  for (int h = 0; h < EIGHTS; h++) {
    const __m128i a = widen8(above + 8 * h);
    const __m128i x1 = _mm_add_epi16(ramp, _mm_set1_epi16(static_cast<int16_t>(8 * h)));
    cur[h] = _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(x1, tr), _mm_mullo_epi16(a, _mm_set1_epi16(N - 1))),
                           _mm_add_epi16(bl, _mm_set1_epi16(N)));
    delta[h] = _mm_sub_epi16(bl, a);
    wx[h] = _mm_sub_epi16(_mm_set1_epi16(N), x1);
  }
  for (int y = 0; y < N; y++) {
    const __m128i l = _mm_set1_epi16(left[y]);
    for (int h = 0; h < EIGHTS; h += 2) {
      const __m128i lo = _mm_srli_epi16(_mm_add_epi16(cur[h], _mm_mullo_epi16(wx[h], l)), LOG2 + 1);
      const __m128i hi = _mm_srli_epi16(_mm_add_epi16(cur[h + 1], _mm_mullo_epi16(wx[h + 1], l)), LOG2 + 1);
      _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + y * stride + 8 * h), _mm_packus_epi16(lo, hi));
      cur[h] = _mm_add_epi16(cur[h], delta[h]);
      cur[h + 1] = _mm_add_epi16(cur[h + 1], delta[h + 1]);
    }
  }
}

}  // namespace
