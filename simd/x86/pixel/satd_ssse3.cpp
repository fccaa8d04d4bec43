// Hadamard costs: SATD (4x4 transforms), SA8D (8x8 transforms) and the
// Hadamard AC energy of two 4x4 source blocks.  Differences and
// coefficients live in 16-bit lanes: an 8x8 coefficient before the last
// butterfly is at most 32 x 255 = 8160, and every sum of magnitudes is
// widened to 32 bits before it could pass 2^15, so every result is exact.
#include <initializer_list>

#include "simd/x86/pixel/pixel_ssse3.h"
#include "simd/x86/pixel/vector_ssse3.h"

namespace {

// a - b of eight sample pairs (a in the low 8 bytes of va, b of vb) as
// 16-bit lanes: the bytes interleaved and multiplied by (+1, -1).
inline __m128i diff8(__m128i va, __m128i vb) {
  return _mm_maddubs_epi16(_mm_unpacklo_epi8(va, vb), _mm_set1_epi16(static_cast<int16_t>(0xff01)));
}

// Both steps of a 4-point butterfly over four rows, lane by lane.
inline void butterfly4(__m128i &r0, __m128i &r1, __m128i &r2, __m128i &r3) {
  const __m128i s0 = _mm_add_epi16(r0, r1), d0 = _mm_sub_epi16(r0, r1);
  const __m128i s1 = _mm_add_epi16(r2, r3), d1 = _mm_sub_epi16(r2, r3);
  r0 = _mm_add_epi16(s0, s1);
  r1 = _mm_sub_epi16(s0, s1);
  r2 = _mm_add_epi16(d0, d1);
  r3 = _mm_sub_epi16(d0, d1);
}

// 4-point transforms of each group of four lanes of four rows (after the
// column butterflies): the 32 coefficients of two 4x4 tiles, the left tile
// (lanes 0-3 of the rows) in the even lanes of the results, the right tile
// in the odd lanes.
inline void rows4(__m128i &r0, __m128i &r1, __m128i &r2, __m128i &r3) {
  const __m128i s01 = _mm_hadd_epi16(r0, r1), d01 = _mm_hsub_epi16(r0, r1);
  const __m128i s23 = _mm_hadd_epi16(r2, r3), d23 = _mm_hsub_epi16(r2, r3);
  r0 = _mm_hadd_epi16(s01, d01);
  r1 = _mm_hsub_epi16(s01, d01);
  r2 = _mm_hadd_epi16(s23, d23);
  r3 = _mm_hsub_epi16(s23, d23);
}

// Sum of the absolute coefficients of the two tiles held in four rows of
// differences (each coefficient at most 16 x 255, so four of them fit a lane).
inline uint32_t hadamard_abs_2tiles(__m128i r0, __m128i r1, __m128i r2, __m128i r3) {
  butterfly4(r0, r1, r2, r3);
  rows4(r0, r1, r2, r3);
  const __m128i sum = _mm_add_epi16(_mm_add_epi16(_mm_abs_epi16(r0), _mm_abs_epi16(r1)),
                                    _mm_add_epi16(_mm_abs_epi16(r2), _mm_abs_epi16(r3)));
  return lane_sum32(_mm_madd_epi16(sum, _mm_set1_epi16(1)));
}

}  // namespace

uint32_t satd_8x4_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  const intptr_t as = a_stride, bs = b_stride;
  return hadamard_abs_2tiles(diff8(load64(a), load64(b)), diff8(load64(a + as), load64(b + bs)),
                             diff8(load64(a + 2 * as), load64(b + 2 * bs)),
                             diff8(load64(a + 3 * as), load64(b + 3 * bs))) >>
         1;
}

uint32_t satd_8x8_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return satd_8x4_ssse3(a, a_stride, b, b_stride) +
         satd_8x4_ssse3(a + 4 * static_cast<intptr_t>(a_stride), a_stride, b + 4 * static_cast<intptr_t>(b_stride),
                        b_stride);
}

namespace {

// A W x H block as the sum of its T x T tiles' costs.
template <int W, int H, int T, uint32_t (*Tile)(const uint8_t *, int32_t, const uint8_t *, int32_t)>
uint32_t tile_sum_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  uint32_t sum = 0;
  for (int32_t y = 0; y < H; y += T)
    for (int32_t x = 0; x < W; x += T)
      sum += Tile(a + y * static_cast<intptr_t>(a_stride) + x, a_stride, b + y * static_cast<intptr_t>(b_stride) + x,
                  b_stride);
  return sum;
}

// The squares of 16, 32 and 64: the sum of their 8x8 tiles' SATDs, as the
// portable function sums its 4x4 tiles (each halved exactly).
template <int N>
uint32_t satd_square_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return tile_sum_ssse3<N, N, 8, satd_8x8_ssse3>(a, a_stride, b, b_stride);
}

}  // namespace

uint32_t satd_16x16_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return satd_square_ssse3<16>(a, a_stride, b, b_stride);
}
uint32_t satd_32x32_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return satd_square_ssse3<32>(a, a_stride, b, b_stride);
}
uint32_t satd_64x64_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return satd_square_ssse3<64>(a, a_stride, b, b_stride);
}

// Rows k and k + 4 of a 4-wide block side by side: the 4x8 block as two
// tiles of an 8x4 one.
namespace {

inline __m128i diff_4x8_row(const uint8_t *a, intptr_t as, const uint8_t *b, intptr_t bs, int32_t k) {
  return diff8(_mm_unpacklo_epi32(load32(a + k * as), load32(a + (k + 4) * as)),
               _mm_unpacklo_epi32(load32(b + k * bs), load32(b + (k + 4) * bs)));
}

}  // namespace

uint32_t satd_4x8_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  const intptr_t as = a_stride, bs = b_stride;
  return hadamard_abs_2tiles(diff_4x8_row(a, as, b, bs, 0), diff_4x8_row(a, as, b, bs, 1),
                             diff_4x8_row(a, as, b, bs, 2), diff_4x8_row(a, as, b, bs, 3)) >>
         1;
}

// The 4x4 block alone, two rows per vector: the column butterflies pair
// rows across and within the vectors, then two horizontal stages transform
// the rows.  Exactly four bytes of each row are read.
uint32_t satd_4x4_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  const intptr_t as = a_stride, bs = b_stride;
  const __m128i d01 = diff8(_mm_unpacklo_epi32(load32(a), load32(a + as)), _mm_unpacklo_epi32(load32(b), load32(b + bs)));
  const __m128i d23 = diff8(_mm_unpacklo_epi32(load32(a + 2 * as), load32(a + 3 * as)),
                            _mm_unpacklo_epi32(load32(b + 2 * bs), load32(b + 3 * bs)));
  const __m128i s = _mm_add_epi16(d01, d23), t = _mm_sub_epi16(d01, d23);  // rows 0 +- 2 | 1 +- 3
  const __m128i u = _mm_unpacklo_epi64(s, t), v = _mm_unpackhi_epi64(s, t);
  const __m128i c0 = _mm_add_epi16(u, v), c1 = _mm_sub_epi16(u, v);
  const __m128i p = _mm_hadd_epi16(c0, c1), m = _mm_hsub_epi16(c0, c1);
  const __m128i sum = _mm_add_epi16(_mm_abs_epi16(_mm_hadd_epi16(p, m)), _mm_abs_epi16(_mm_hsub_epi16(p, m)));
  return lane_sum32(_mm_madd_epi16(sum, _mm_set1_epi16(1))) >> 1;
}

namespace {

// Unrounded 8x8 Hadamard sum R of a - b.  The rows are transformed in pairs
// by three horizontal add/subtract stages (which leave the two rows of a
// pair in alternating lanes), the columns by two butterfly stages across the
// pairs; the last column stage combines neighbouring lanes x, y, where
// |x + y| + |x - y| = 2 max(|x|, |y|).
uint32_t sa8d_raw_8x8_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  const intptr_t as = a_stride, bs = b_stride;
  __m128i v[4], w[4];
  for (int32_t p = 0; p < 4; p++) {
    const __m128i r0 = diff8(load64(a + 2 * p * as), load64(b + 2 * p * bs));
    const __m128i r1 = diff8(load64(a + (2 * p + 1) * as), load64(b + (2 * p + 1) * bs));
    const __m128i s = _mm_hadd_epi16(r0, r1), d = _mm_hsub_epi16(r0, r1);
    const __m128i t = _mm_hadd_epi16(s, d), u = _mm_hsub_epi16(s, d);
    v[p] = _mm_hadd_epi16(t, u);
    w[p] = _mm_hsub_epi16(t, u);
  }
  butterfly4(v[0], v[1], v[2], v[3]);
  butterfly4(w[0], w[1], w[2], w[3]);
  __m128i acc = _mm_setzero_si128();
  const __m128i low16 = _mm_set1_epi32(1);
  for (const __m128i *q : {v, w})
    for (int32_t k = 0; k < 4; k++) {
      const __m128i m = _mm_abs_epi16(q[k]);
      // max of the two lanes of each 32-bit element, in its low half.
      acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_max_epi16(m, _mm_srli_epi32(m, 16)), low16));
    }
  return 2 * lane_sum32(acc);
}

}  // namespace

uint32_t sa8d_8x8_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return (sa8d_raw_8x8_ssse3(a, a_stride, b, b_stride) + 2) >> 2;
}

uint32_t sa8d_16x8_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return (sa8d_raw_8x8_ssse3(a, a_stride, b, b_stride) + sa8d_raw_8x8_ssse3(a + 8, a_stride, b + 8, b_stride) + 2) >>
         2;
}

uint32_t sa8d_8x16_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return sa8d_8x8_ssse3(a, a_stride, b, b_stride) +
         sa8d_8x8_ssse3(a + 8 * static_cast<intptr_t>(a_stride), a_stride, b + 8 * static_cast<intptr_t>(b_stride),
                        b_stride);
}

uint32_t hadamard_cost_16w_unused_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return sa8d_raw_8x8_ssse3(a, a_stride, b, b_stride) + sa8d_raw_8x8_ssse3(a + 8, a_stride, b + 8, b_stride);
}

// The blocks' unrounded sums, one 8x8 block at a time.
void sa8d_blocks_16x16_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, uint32_t *raw) {
  const intptr_t a8 = 8 * static_cast<intptr_t>(a_stride), b8 = 8 * static_cast<intptr_t>(b_stride);
  raw[0] = sa8d_raw_8x8_ssse3(a, a_stride, b, b_stride);
  raw[1] = sa8d_raw_8x8_ssse3(a + 8, a_stride, b + 8, b_stride);
  raw[2] = sa8d_raw_8x8_ssse3(a + a8, a_stride, b + b8, b_stride);
  raw[3] = sa8d_raw_8x8_ssse3(a + a8 + 8, a_stride, b + b8 + 8, b_stride);
}

void sa8d_blocks_16x8_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, uint32_t *raw) {
  raw[0] = sa8d_raw_8x8_ssse3(a, a_stride, b, b_stride);
  raw[1] = sa8d_raw_8x8_ssse3(a + 8, a_stride, b + 8, b_stride);
}

void sa8d_blocks_8x16_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, uint32_t *raw) {
  raw[0] = sa8d_raw_8x8_ssse3(a, a_stride, b, b_stride);
  raw[1] = sa8d_raw_8x8_ssse3(a + 8 * static_cast<intptr_t>(a_stride), a_stride,
                              b + 8 * static_cast<intptr_t>(b_stride), b_stride);
}

void sa8d_blocks_8x8_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, uint32_t *raw) {
  raw[0] = sa8d_raw_8x8_ssse3(a, a_stride, b, b_stride);
}

// The 16x16 unit rounds once over its four 8x8 sums.
uint32_t sa8d_16x16_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  const intptr_t a8 = 8 * static_cast<intptr_t>(a_stride), b8 = 8 * static_cast<intptr_t>(b_stride);
  const uint32_t raw = sa8d_raw_8x8_ssse3(a, a_stride, b, b_stride) +
                       sa8d_raw_8x8_ssse3(a + 8, a_stride, b + 8, b_stride) +
                       sa8d_raw_8x8_ssse3(a + a8, a_stride, b + b8, b_stride) +
                       sa8d_raw_8x8_ssse3(a + a8 + 8, a_stride, b + b8 + 8, b_stride);
  return (raw + 2) >> 2;
}

namespace {

// Larger blocks: the sum of their rounded 16x16 units.
template <int W, int H>
uint32_t sa8d_big_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return tile_sum_ssse3<W, H, 16, sa8d_16x16_ssse3>(a, a_stride, b, b_stride);
}

}  // namespace

uint32_t sa8d_64x64_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return sa8d_big_ssse3<64, 64>(a, a_stride, b, b_stride); }
uint32_t sa8d_32x32_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return sa8d_big_ssse3<32, 32>(a, a_stride, b, b_stride); }
uint32_t sa8d_64x32_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return sa8d_big_ssse3<64, 32>(a, a_stride, b, b_stride); }
uint32_t sa8d_32x16_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return sa8d_big_ssse3<32, 16>(a, a_stride, b, b_stride); }
uint32_t sa8d_32x64_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return sa8d_big_ssse3<32, 64>(a, a_stride, b, b_stride); }
uint32_t sa8d_16x32_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return sa8d_big_ssse3<16, 32>(a, a_stride, b, b_stride); }

// AC energy of the two 4x4 blocks in rows 0-3, columns 0-7 of src: the sum
// of the absolute Hadamard coefficients of each block less its DC (the
// sample sum), halved, right block in the high half.
uint32_t hadamard_ac_8x8_ssse3(const uint8_t *src, int32_t stride) {
  const intptr_t s = stride;
  const __m128i zero = _mm_setzero_si128();
  __m128i r0 = _mm_unpacklo_epi8(load64(src), zero), r1 = _mm_unpacklo_epi8(load64(src + s), zero);
  __m128i r2 = _mm_unpacklo_epi8(load64(src + 2 * s), zero), r3 = _mm_unpacklo_epi8(load64(src + 3 * s), zero);
  butterfly4(r0, r1, r2, r3);
  rows4(r0, r1, r2, r3);
  // Lanes 0 and 1 of the first row are the DC coefficients of the two blocks.
  const uint32_t dc_left = static_cast<uint32_t>(_mm_extract_epi16(r0, 0));
  const uint32_t dc_right = static_cast<uint32_t>(_mm_extract_epi16(r0, 1));
  const __m128i sum = _mm_add_epi16(_mm_add_epi16(_mm_abs_epi16(r0), _mm_abs_epi16(r1)),
                                    _mm_add_epi16(_mm_abs_epi16(r2), _mm_abs_epi16(r3)));
  const uint32_t left = lane_sum32(_mm_madd_epi16(sum, _mm_set1_epi32(1)));
  const uint32_t right = lane_sum32(_mm_srli_epi32(sum, 16));
  return (((right - dc_right) >> 1) << 16) | ((left - dc_left) >> 1);
}

