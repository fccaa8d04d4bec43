// [1 2 1] smoothing of the intra reference samples (H.265 8.4.4.2.3) for 8x8
// to 32x32 blocks, SSSE3 tier (the code needs only SSE2).  Sixteen samples at
// a time from three unaligned loads (the samples, and the same shifted by
// one either way), with the exact byte identity
//   (l + 2c + r + 2) >> 2 == avg(((l + r) >> 1), c),  avg(a, b) = (a + b + 1) >> 1,
// where (l + r) >> 1 = avg(l, r) - ((l ^ r) & 1).  The vector pass treats
// the whole array as one run and covers positions 1 .. 4N - 1 (the last
// block overlapping the one before); the four positions where the standard's
// rule differs (the corner, both ends of the above run, the first left
// sample) are then written from scalars.  Reads exactly src[0 .. 4N], writes
// exactly dst[0 .. 4N].
#include <emmintrin.h>

#include "simd/x86/intra/intra_kernels.h"

namespace {

inline __m128i load16(const uint8_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }

inline __m128i smooth16(const uint8_t *centre) {
  const __m128i l = load16(centre - 1), c = load16(centre), r = load16(centre + 1);
  const __m128i half_lr = _mm_sub_epi8(_mm_avg_epu8(l, r), _mm_and_si128(_mm_xor_si128(l, r), _mm_set1_epi8(1)));
  return _mm_avg_epu8(half_lr, c);
}

inline uint8_t smooth1(uint8_t l, uint8_t c, uint8_t r) { return static_cast<uint8_t>((l + 2 * c + r + 2) >> 2); }

template <int N>
void intra_ref_filter(const uint8_t *src, uint8_t *dst) {
  static_assert(4 * N >= 32);
  for (int32_t k = 1; k + 16 <= 4 * N; k += 16)
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + k), smooth16(src + k));
  _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 4 * N - 16), smooth16(src + 4 * N - 16));
  dst[0] = smooth1(src[1], src[0], src[2 * N + 1]);
  dst[2 * N] = src[2 * N];
  dst[2 * N + 1] = smooth1(src[0], src[2 * N + 1], src[2 * N + 2]);
  dst[4 * N] = src[4 * N];
}

}  // namespace

void intra_ref_filter_8x8_ssse3(const uint8_t *src, uint8_t *dst) { intra_ref_filter<8>(src, dst); }
void intra_ref_filter_16x16_ssse3(const uint8_t *src, uint8_t *dst) { intra_ref_filter<16>(src, dst); }
void intra_ref_filter_32x32_ssse3(const uint8_t *src, uint8_t *dst) { intra_ref_filter<32>(src, dst); }
