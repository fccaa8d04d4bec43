// Sums of squared differences: 8 or 16 samples per step, their differences
// formed in 16 bits, the squares added in pairs into 32-bit lanes.  A fixed-size block sums to
// at most 64 x 64 x 255^2 < 2^28; the any-size form wraps modulo 2^32 as the
// portable function does, which lane-wise 32-bit additions preserve.
#include "simd/x86/pixel/pixel_ssse3.h"
#include "simd/x86/pixel/vector_ssse3.h"

namespace {

// a - b of interleaved sample pairs as 16-bit lanes (multiplied by +1, -1).
inline __m128i pair_diff(__m128i ab) {
  return _mm_maddubs_epi16(ab, _mm_set1_epi16(static_cast<int16_t>(0xff01)));
}

// d0^2 + d1^2 of the low eight sample pairs, four 32-bit lanes.
inline __m128i squares8(__m128i a, __m128i b) {
  const __m128i d = pair_diff(_mm_unpacklo_epi8(a, b));
  return _mm_madd_epi16(d, d);
}

inline __m128i squares16(const uint8_t *a, const uint8_t *b) {
  const __m128i va = load128(a), vb = load128(b);
  const __m128i lo = pair_diff(_mm_unpacklo_epi8(va, vb)), hi = pair_diff(_mm_unpackhi_epi8(va, vb));
  return _mm_add_epi32(_mm_madd_epi16(lo, lo), _mm_madd_epi16(hi, hi));
}

inline __m128i squares8_at(const uint8_t *a, const uint8_t *b) {
  return squares8(load64(a), load64(b));
}

// Four 4-sample rows of p in one vector.
inline __m128i rows4x4(const uint8_t *p, intptr_t s) {
  return _mm_unpacklo_epi64(_mm_unpacklo_epi32(load32(p), load32(p + s)),
                            _mm_unpacklo_epi32(load32(p + 2 * s), load32(p + 3 * s)));
}

}  // namespace

// Any w x h: 16-sample pieces while a whole one fits, then an 8-sample
// piece, then single samples, so that nothing outside the block is read.
// The square entries pass multiples of 8 and never reach the single samples.
uint32_t ssd_8nxh_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t w,
                        int32_t h) {
  if (w <= 0 || h <= 0) return 0;
  const int32_t w16 = w & ~15, w8 = w & ~7;
  // Two accumulators keep the additions of a row's pieces independent.
  __m128i acc0 = _mm_setzero_si128(), acc1 = _mm_setzero_si128();
  uint32_t tail = 0;
  for (int32_t y = 0; y < h; y++, a += a_stride, b += b_stride) {
    int32_t x = 0;
    for (; x + 32 <= w16; x += 32) {
      acc0 = _mm_add_epi32(acc0, squares16(a + x, b + x));
      acc1 = _mm_add_epi32(acc1, squares16(a + x + 16, b + x + 16));
    }
    if (x < w16) acc0 = _mm_add_epi32(acc0, squares16(a + x, b + x));
    if (w8 > w16) acc1 = _mm_add_epi32(acc1, squares8_at(a + w16, b + w16));
    for (x = w8; x < w; x++) {
      const int32_t d = a[x] - b[x];
      tail += static_cast<uint32_t>(d * d);
    }
  }
  return lane_sum32(_mm_add_epi32(acc0, acc1)) + tail;
}

__attribute__((flatten)) uint32_t ssd_64x64_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return ssd_8nxh_ssse3(a, a_stride, b, b_stride, 64, 64); }
__attribute__((flatten)) uint32_t ssd_32x32_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return ssd_8nxh_ssse3(a, a_stride, b, b_stride, 32, 32); }
__attribute__((flatten)) uint32_t ssd_16x16_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return ssd_8nxh_ssse3(a, a_stride, b, b_stride, 16, 16); }
__attribute__((flatten)) uint32_t ssd_8x8_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return ssd_8nxh_ssse3(a, a_stride, b, b_stride, 8, 8); }

__attribute__((flatten)) uint32_t ssd_4x4_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  const __m128i va = rows4x4(a, a_stride), vb = rows4x4(b, b_stride);
  return lane_sum32(_mm_add_epi32(squares8(va, vb), squares8(_mm_unpackhi_epi64(va, va), _mm_unpackhi_epi64(vb, vb))));
}

// The any-size slot: the same loop.  The entries take it inline (flatten),
// so the fixed sizes unroll.
__attribute__((flatten)) uint32_t ssd_wxh_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t w,
                       int32_t h) {
  return ssd_8nxh_ssse3(a, a_stride, b, b_stride, w, h);
}
