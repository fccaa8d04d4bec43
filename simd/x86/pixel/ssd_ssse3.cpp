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

template <int W, int H>
uint32_t ssd_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  constexpr int32_t N = W < 16 ? 1 : W / 16;
  __m128i acc[N];
  for (__m128i &v : acc) v = _mm_setzero_si128();
  for (int32_t y = 0; y < H; y++, a += a_stride, b += b_stride) {
    if constexpr (W == 8)
      acc[0] = _mm_add_epi32(acc[0], squares8_at(a, b));
    else
      for (int32_t k = 0; k < N; k++) acc[k] = _mm_add_epi32(acc[k], squares16(a + 16 * k, b + 16 * k));
  }
  for (int32_t k = 1; k < N; k++) acc[0] = _mm_add_epi32(acc[0], acc[k]);
  return lane_sum32(acc[0]);
}

// Any w x h block: 16-sample pieces, one 8-sample piece, then single
// samples; 0 for an empty block, nothing read outside it.
}  // namespace

uint32_t ssd_64x64_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return ssd_ssse3<64, 64>(a, a_stride, b, b_stride); }
uint32_t ssd_32x32_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return ssd_ssse3<32, 32>(a, a_stride, b, b_stride); }
uint32_t ssd_16x16_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return ssd_ssse3<16, 16>(a, a_stride, b, b_stride); }
uint32_t ssd_8x8_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return ssd_ssse3<8, 8>(a, a_stride, b, b_stride); }

uint32_t ssd_wxh_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t w,
                       int32_t h) {
  if (w <= 0 || h <= 0) return 0;
  const int32_t w16 = w & ~15, w8 = w & ~7;
  __m128i acc = _mm_setzero_si128();
  uint32_t tail = 0;
  for (int32_t y = 0; y < h; y++, a += a_stride, b += b_stride) {
    for (int32_t x = 0; x < w16; x += 16) acc = _mm_add_epi32(acc, squares16(a + x, b + x));
    if (w8 > w16) acc = _mm_add_epi32(acc, squares8_at(a + w16, b + w16));
    for (int32_t x = w8; x < w; x++) {
      const int32_t d = a[x] - b[x];
      tail += static_cast<uint32_t>(d * d);
    }
  }
  return lane_sum32(acc) + tail;
}
