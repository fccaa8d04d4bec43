// SATD of one 4x4 block against four candidates side by side, two
// candidates per 128-bit vector; the stages and the bounds that keep them
// exact are satd_x4_4x4_avx2's (each row of the candidates is loaded once
// and shuffled into both vectors).
#include "simd/x86/pixel/pixel_ssse3.h"
#include "simd/x86/pixel/vector_ssse3.h"

void satd_x4_4x4_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, uint32_t out[4]) {
  const intptr_t as = a_stride, bs = b_stride;
  const __m128i pat = _mm_setr_epi8(1, 1, 1, 1, 1, -1, 1, -1, 1, 1, 1, 1, 1, -1, 1, -1);
  const __m128i twice_lo = _mm_setr_epi8(0, 1, 2, 3, 0, 1, 2, 3, 4, 5, 6, 7, 4, 5, 6, 7);
  const __m128i twice_hi = _mm_setr_epi8(8, 9, 10, 11, 8, 9, 10, 11, 12, 13, 14, 15, 12, 13, 14, 15);
  __m128i lo[4], hi[4];
  for (int32_t k = 0; k < 4; k++) {
    const __m128i ra = _mm_maddubs_epi16(_mm_shuffle_epi32(load32(a + k * as), 0), pat);
    const __m128i row_b = load128(b + k * bs);
    lo[k] = _mm_sub_epi16(ra, _mm_maddubs_epi16(_mm_shuffle_epi8(row_b, twice_lo), pat));
    hi[k] = _mm_sub_epi16(ra, _mm_maddubs_epi16(_mm_shuffle_epi8(row_b, twice_hi), pat));
  }
  auto pair_max = [](__m128i v) {
    const __m128i m = _mm_abs_epi16(v);
    return _mm_max_epi16(m, _mm_srli_epi32(m, 16));
  };
  // Two candidates' pair values, one per 32-bit lane (candidate 2j + 1 in
  // lanes 2 and 3).
  auto lanes = [&](const __m128i *r) {
    const __m128i s02 = _mm_add_epi16(r[0], r[2]), d02 = _mm_sub_epi16(r[0], r[2]);
    const __m128i s13 = _mm_add_epi16(r[1], r[3]), d13 = _mm_sub_epi16(r[1], r[3]);
    const __m128i sum = _mm_add_epi16(_mm_add_epi16(pair_max(_mm_add_epi16(s02, s13)), pair_max(_mm_sub_epi16(s02, s13))),
                                      _mm_add_epi16(pair_max(_mm_add_epi16(d02, d13)), pair_max(_mm_sub_epi16(d02, d13))));
    return _mm_madd_epi16(sum, _mm_set1_epi32(1));
  };
  _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_hadd_epi32(lanes(lo), lanes(hi)));
}
