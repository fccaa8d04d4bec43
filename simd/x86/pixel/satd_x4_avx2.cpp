// SATD of one 4x4 block against four candidates side by side, in one
// 256-bit pass: the rough intra pass predicts four modes of a 4x4 unit next
// to each other and costs them with one call.
//
// The stages are those of the 8x8 and larger SATD kernels.  A row of
// four samples set twice in 8 bytes and multiplied by (+1, +1, +1, +1, +1,
// -1, +1, -1) gives its two pair sums and two pair differences; candidates
// 0 and 1 fill the low half of a row vector, 2 and 3 the high half, and a's
// row, broadcast to all four, is subtracted (the transform is linear).  The
// vertical butterflies run on whole row vectors, and the last horizontal
// stage is never carried out: |x + y| + |x - y| = 2 max(|x|, |y|), so a
// block's SATD (half its absolute coefficient sum) is the sum of its pairs'
// larger magnitudes.  A value before the last stage is at most 4 x 510 and
// four pair values add in one 16-bit lane (8160 at most), so every result
// is exact.
#include <immintrin.h>

#include <cstring>

#include "simd/x86/pixel/pixel_avx2.h"

void satd_x4_4x4_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, uint32_t out[4]) {
  const intptr_t as = a_stride, bs = b_stride;
  const __m256i pat = _mm256_setr_epi8(1, 1, 1, 1, 1, -1, 1, -1, 1, 1, 1, 1, 1, -1, 1, -1,  //
                                       1, 1, 1, 1, 1, -1, 1, -1, 1, 1, 1, 1, 1, -1, 1, -1);
  // Candidates 0 and 1 from the low copy of the row, 2 and 3 from the high.
  const __m256i twice = _mm256_setr_epi8(0, 1, 2, 3, 0, 1, 2, 3, 4, 5, 6, 7, 4, 5, 6, 7,  //
                                         8, 9, 10, 11, 8, 9, 10, 11, 12, 13, 14, 15, 12, 13, 14, 15);
  __m256i r[4];
  for (int32_t k = 0; k < 4; k++) {
    int32_t row_a;
    std::memcpy(&row_a, a + k * as, 4);
    const __m128i row_b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + k * bs));
    const __m256i vb = _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(row_b), twice);
    r[k] = _mm256_sub_epi16(_mm256_maddubs_epi16(_mm256_set1_epi32(row_a), pat), _mm256_maddubs_epi16(vb, pat));
  }
  const __m256i s02 = _mm256_add_epi16(r[0], r[2]), d02 = _mm256_sub_epi16(r[0], r[2]);
  const __m256i s13 = _mm256_add_epi16(r[1], r[3]), d13 = _mm256_sub_epi16(r[1], r[3]);
  auto pair_max = [](__m256i v) {
    const __m256i m = _mm256_abs_epi16(v);
    return _mm256_max_epi16(m, _mm256_srli_epi32(m, 16));
  };
  const __m256i sum = _mm256_add_epi16(_mm256_add_epi16(pair_max(_mm256_add_epi16(s02, s13)), pair_max(_mm256_sub_epi16(s02, s13))),
                                       _mm256_add_epi16(pair_max(_mm256_add_epi16(d02, d13)), pair_max(_mm256_sub_epi16(d02, d13))));
  // The low 16 bits of each 32-bit lane hold a pair value; candidate k owns
  // lanes 2k and 2k + 1.
  const __m256i lanes = _mm256_madd_epi16(sum, _mm256_set1_epi32(1));
  const __m256i blocks = _mm256_hadd_epi32(lanes, lanes);
  const __m128i four = _mm_unpacklo_epi64(_mm256_castsi256_si128(blocks), _mm256_extracti128_si256(blocks, 1));
  _mm_storeu_si128(reinterpret_cast<__m128i *>(out), four);
}
