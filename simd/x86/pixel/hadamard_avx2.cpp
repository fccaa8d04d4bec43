// Hadamard costs in the AVX2 tier: SATD (4x4 transforms) and SA8D (8x8
// transforms) of a - b.
//
// The first horizontal butterfly is the widening itself: a row loaded into
// both halves of a vector (or twice into one half) is multiplied by a
// pattern of +1 and (+1, -1) bytes, which gives the pair sums in one half and
// the pair differences in the other; b's values are subtracted from a's
// (the transform is linear).  The vertical butterflies follow on whole
// vectors.  The last horizontal butterfly is never carried out: for its two
// inputs x and y, |x + y| + |x - y| = 2 max(|x|, |y|), so each pair adds its
// larger magnitude, and a block's absolute coefficient sum is twice the sum
// of these pair values.
//
// Every intermediate stays in 16 bits exactly (an 8x8 coefficient before the
// last stage is at most 32 x 255 = 8160); at most four pair values (32640)
// add in a 16-bit lane before they are widened to 32-bit lanes, so every
// result is exact: no class or block sum saturates at any size.
#include <immintrin.h>

#include <cstring>

#include "simd/x86/pixel/pixel_avx2.h"
#include "simd/x86/pixel/vector_avx2.h"

namespace {

// Rows of 8 samples, each twice in one 128-bit half: the low 8 bytes
// multiplied by +1 give the four pair sums, the high 8 by (+1, -1) the four
// pair differences.
inline __m256i pattern_8wide() {
  return _mm256_setr_epi8(1, 1, 1, 1, 1, 1, 1, 1, 1, -1, 1, -1, 1, -1, 1, -1,  //
                          1, 1, 1, 1, 1, 1, 1, 1, 1, -1, 1, -1, 1, -1, 1, -1);
}
// Rows of 16 samples in both halves: pair sums from the low half, pair
// differences from the high half.
inline __m256i pattern_16wide() {
  return _mm256_setr_epi8(1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  //
                          1, -1, 1, -1, 1, -1, 1, -1, 1, -1, 1, -1, 1, -1, 1, -1);
}

// Rows r and r + 4 of an 8-wide block (row r in the low half), first stage
// done, a - b.
inline __m256i stage1_8wide(const uint8_t *a, intptr_t as, const uint8_t *b, intptr_t bs, __m256i pat) {
  const __m256i va = _mm256_permute4x64_epi64(_mm256_castsi128_si256(_mm_unpacklo_epi64(load64(a), load64(a + 4 * as))), 0x50);
  const __m256i vb = _mm256_permute4x64_epi64(_mm256_castsi128_si256(_mm_unpacklo_epi64(load64(b), load64(b + 4 * bs))), 0x50);
  return _mm256_sub_epi16(_mm256_maddubs_epi16(va, pat), _mm256_maddubs_epi16(vb, pat));
}

// One 16-sample row, first stage done, a - b.
inline __m256i stage1_16wide(const uint8_t *a, const uint8_t *b, __m256i pat) {
  const __m256i va = _mm256_broadcastsi128_si256(load128(a));
  const __m256i vb = _mm256_broadcastsi128_si256(load128(b));
  return _mm256_sub_epi16(_mm256_maddubs_epi16(va, pat), _mm256_maddubs_epi16(vb, pat));
}

inline void butterfly(__m256i &x, __m256i &y) {
  const __m256i s = _mm256_add_epi16(x, y);
  y = _mm256_sub_epi16(x, y);
  x = s;
}

// Butterflies at distance 1 and 2 over four rows.
inline void vertical4(__m256i *v) {
  butterfly(v[0], v[1]);
  butterfly(v[2], v[3]);
  butterfly(v[0], v[2]);
  butterfly(v[1], v[3]);
}

// SATD pair values of the 4x4 tiles in four transformed rows: neighbouring
// 16-bit lanes are the inputs of the last stage.  Returns their sum per
// 32-bit lane (each at most 4 x 2 x 2040).
inline __m256i satd_pairs(const __m256i *v) {
  __m256i sum = _mm256_setzero_si256();
  for (int32_t k = 0; k < 4; k++) {
    const __m256i m = _mm256_abs_epi16(v[k]);
    sum = _mm256_add_epi16(sum, _mm256_max_epi16(m, _mm256_srli_epi32(m, 16)));
  }
  // The low 16 bits of each 32-bit lane hold the pair values.
  return _mm256_madd_epi16(sum, _mm256_set1_epi32(1));
}

// SA8D: the horizontal butterfly at distance 1 within each group of four
// lanes (after it, lanes 0/2 and 1/3 of a group are the last stage's pairs;
// the odd lanes come out as the neighbour minus the lane, negated, which no
// magnitude notices), then the pair values in the low 32 bits of each
// 64-bit group, 16-bit lanes (each at most 8160; the high 32 bits hold
// values of the same bound that sa8d_widen drops).  Up to four such
// vectors add in 16 bits without carrying.
inline __m256i sa8d_pairs16(__m256i v) {
  const __m256i swapped = _mm256_shuffle_epi8(
      v, _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13, 2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9,
                          14, 15, 12, 13));
  const __m256i t = _mm256_add_epi16(swapped, _mm256_sign_epi16(v, _mm256_set1_epi32(0xffff0001)));
  const __m256i m = _mm256_abs_epi16(t);
  return _mm256_max_epi16(m, _mm256_srli_epi64(m, 32));
}
// The sums of pair values (up to four vectors' worth), per 64-bit group in
// its low 32 bits.
inline __m256i sa8d_widen(__m256i pairs16) { return _mm256_madd_epi16(pairs16, _mm256_set1_epi64x(0x0000000000010001ll)); }

// Pair values of the 4x4 tiles of a 16-wide, 4-row strip, per 16-bit lane
// (each at most 4 x 2040 = 8160).
inline __m256i satd_16x4_pairs16(const uint8_t *a, intptr_t as, const uint8_t *b, intptr_t bs, __m256i pat) {
  __m256i v[4];
  for (int32_t r = 0; r < 4; r++) v[r] = stage1_16wide(a + r * as, b + r * bs, pat);
  vertical4(v);
  __m256i sum = _mm256_setzero_si256();
  for (int32_t k = 0; k < 4; k++) {
    const __m256i m = _mm256_abs_epi16(v[k]);
    sum = _mm256_add_epi16(sum, _mm256_max_epi16(m, _mm256_srli_epi32(m, 16)));
  }
  // Only the low 16 bits of each 32-bit lane hold pair values.
  return _mm256_and_si256(sum, _mm256_set1_epi32(0xffff));
}

// Adds the pair values of the eight 4x4 tiles of a 16x8 strip into acc16,
// 16-bit lanes the caller has cleared: one call adds at most 16320 to a
// lane, so two calls stay below 2^15.
inline __m256i satd_core_16x8_avx2(const uint8_t *a, intptr_t as, const uint8_t *b, intptr_t bs, __m256i pat,
                                   __m256i acc16) {
  acc16 = _mm256_add_epi16(acc16, satd_16x4_pairs16(a, as, b, bs, pat));
  return _mm256_add_epi16(acc16, satd_16x4_pairs16(a + 4 * as, as, b + 4 * bs, bs, pat));
}

// The same strip into its own 16-bit accumulator, widened into the
// caller's 32-bit lanes.
inline __m256i satd_core_16x8_acc32_avx2(const uint8_t *a, intptr_t as, const uint8_t *b, intptr_t bs, __m256i pat,
                                         __m256i acc32) {
  const __m256i acc16 = satd_core_16x8_avx2(a, as, b, bs, pat, _mm256_setzero_si256());
  return _mm256_add_epi32(acc32, _mm256_madd_epi16(acc16, _mm256_set1_epi32(1)));
}

// 16 x H blocks in 16x8 strips down each 16-sample column.
template <int W, int H>
inline uint32_t satd_block(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  const intptr_t as = a_stride, bs = b_stride;
  const __m256i pat = pattern_16wide();
  __m256i acc = _mm256_setzero_si256();
  for (int32_t x = 0; x < W; x += 16)
    for (int32_t y = 0; y < H; y += 8)
      acc = satd_core_16x8_acc32_avx2(a + y * as + x, as, b + y * bs + x, bs, pat, acc);
  return lane_sum32x8(acc);
}

// Adds the pair values of one 8x8 block to acc (the block's raw Hadamard
// sum is twice their total).
inline __m256i sa8d_raw_8x8_avx2(const uint8_t *a, intptr_t as, const uint8_t *b, intptr_t bs, __m256i acc) {
  const __m256i pat = pattern_8wide();
  __m256i v[4];
  for (int32_t r = 0; r < 4; r++) v[r] = stage1_8wide(a + r * as, as, b + r * bs, bs, pat);
  vertical4(v);
  __m256i pairs = _mm256_setzero_si256();
  for (int32_t r = 0; r < 4; r++) {
    // The vertical butterfly at distance 4: rows 0-3 (low half) against
    // rows 4-7 (high half); the high half takes low - high.
    const __m256i x = _mm256_permute2x128_si256(v[r], v[r], 0x01);
    const __m256i t = _mm256_blend_epi32(_mm256_add_epi16(v[r], x), _mm256_sub_epi16(x, v[r]), 0xf0);
    pairs = _mm256_add_epi16(pairs, sa8d_pairs16(t));
  }
  return _mm256_add_epi32(acc, sa8d_widen(pairs));
}

// The pair values of two 8x8 blocks whose rows r arrive side by side
// (row(r, a or b) gives 16 samples: the left block's 8, then the right
// block's 8), summed per 64-bit group into its low 32 bits: groups 0 and 2
// hold the left block's, groups 1 and 3 the right block's.
template <typename Row>
__attribute__((always_inline)) inline __m256i sa8d_side_by_side_pairs(Row row) {
  const __m256i pat = pattern_16wide();
  auto stage1 = [&](int32_t r) __attribute__((always_inline)) {
    const __m256i va = _mm256_broadcastsi128_si256(row(r, 0)), vb = _mm256_broadcastsi128_si256(row(r, 1));
    return _mm256_sub_epi16(_mm256_maddubs_epi16(va, pat), _mm256_maddubs_epi16(vb, pat));
  };
  // The vertical stages act on separate bits of the row index and commute:
  // the one at distance 4 first, as each pair of rows arrives, then the
  // sums' and the differences' stages at distance 1 and 2 and their pair
  // values, one half at a time, so that fewer vectors are live at once.
  __m256i sums[4], diffs[4];
  for (int32_t r = 0; r < 4; r++) {
    sums[r] = stage1(r);
    diffs[r] = stage1(r + 4);
    butterfly(sums[r], diffs[r]);
  }
  vertical4(sums);
  __m256i upper = sa8d_pairs16(sums[0]);
  for (int32_t r = 1; r < 4; r++) upper = _mm256_add_epi16(upper, sa8d_pairs16(sums[r]));
  vertical4(diffs);
  __m256i lower = sa8d_pairs16(diffs[0]);
  for (int32_t r = 1; r < 4; r++) lower = _mm256_add_epi16(lower, sa8d_pairs16(diffs[r]));
  return _mm256_add_epi32(sa8d_widen(upper), sa8d_widen(lower));
}

// Pair-value sum of two side-by-side 8x8 blocks (a 16x8 area).
__attribute__((always_inline)) inline __m256i sa8d_16x8_pairs(const uint8_t *a, intptr_t as, const uint8_t *b,
                                                               intptr_t bs) {
  return sa8d_side_by_side_pairs([&](int32_t r, int32_t which) __attribute__((always_inline)) {
    return which == 0 ? load128(a + r * as) : load128(b + r * bs);
  });
}

// (raw + 2) >> 2 with raw = 2M.
inline uint32_t round_pairs(uint32_t m) { return (m + 1) >> 1; }

// One finished 16x16 unit: the raw sums of its four 8x8 blocks (taken two
// side by side at a time) rounded once.
__attribute__((always_inline)) inline uint32_t sa8d_raw_16x16_avx2(const uint8_t *a, intptr_t as, const uint8_t *b, intptr_t bs) {
  const __m256i top = sa8d_16x8_pairs(a, as, b, bs);
  const __m256i bottom = sa8d_16x8_pairs(a + 8 * as, as, b + 8 * bs, bs);
  return round_pairs(lane_sum32x8(_mm256_add_epi32(top, bottom)));
}

// Adds the four finished 16x16 units of a 32x32 block to the caller's total.
inline uint32_t sa8d_raw_32x32_avx2(const uint8_t *a, intptr_t as, const uint8_t *b, intptr_t bs, uint32_t total) {
  return total + sa8d_raw_16x16_avx2(a, as, b, bs) + sa8d_raw_16x16_avx2(a + 16, as, b + 16, bs) +
         sa8d_raw_16x16_avx2(a + 16 * as, as, b + 16 * bs, bs) +
         sa8d_raw_16x16_avx2(a + 16 * as + 16, as, b + 16 * bs + 16, bs);
}

// Larger blocks: the sum of their finished 16x16 units, by 32x32 quarter
// where the block has them.
template <int W, int H>
inline uint32_t sa8d_units(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  const intptr_t as = a_stride, bs = b_stride;
  uint32_t sum = 0;
  if constexpr (W >= 32 && H >= 32) {
    for (int32_t y = 0; y < H; y += 32)
      for (int32_t x = 0; x < W; x += 32) sum = sa8d_raw_32x32_avx2(a + y * as + x, as, b + y * bs + x, bs, sum);
  } else {
    for (int32_t y = 0; y < H; y += 16)
      for (int32_t x = 0; x < W; x += 16) sum += sa8d_raw_16x16_avx2(a + y * as + x, as, b + y * bs + x, bs);
  }
  return sum;
}

}  // namespace

uint32_t satd_64x64_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return satd_block<64, 64>(a, as, b, bs); }
uint32_t satd_32x32_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return satd_block<32, 32>(a, as, b, bs); }
// Two 16x8 strips into one 16-bit accumulator (at most 32640 per lane),
// widened once.
uint32_t satd_16x16_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  const intptr_t as = a_stride, bs = b_stride;
  const __m256i pat = pattern_16wide();
  __m256i acc16 = satd_core_16x8_avx2(a, as, b, bs, pat, _mm256_setzero_si256());
  acc16 = satd_core_16x8_avx2(a + 8 * as, as, b + 8 * bs, bs, pat, acc16);
  return lane_sum32x8(_mm256_madd_epi16(acc16, _mm256_set1_epi32(1)));
}

// The whole tile in one vector: rows 0 and 1 widened into the low half,
// rows 2 and 3 into the high half, a - b.  Each butterfly stage pairs every
// lane with the lane a permutation brings beside it and adds it with the
// sign of one of the two flipped (a +-1 pattern), so a stage is one
// shuffle, one sign and one add: rows 0 +- 2 and 1 +- 3 across the halves,
// then the row pairs within each half, then columns 0 +- 2 and 1 +- 3 within
// each row.  The last column stage is the larger magnitude of each pair.
uint32_t satd_4x4_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  const intptr_t as = a_stride, bs = b_stride;
  auto tile = [](const uint8_t *p, intptr_t s) {
    int32_t r[4];
    for (int32_t k = 0; k < 4; k++) std::memcpy(&r[k], p + k * s, 4);
    return _mm256_cvtepu8_epi16(_mm_setr_epi32(r[0], r[1], r[2], r[3]));
  };
  const __m256i d = _mm256_sub_epi16(tile(a, as), tile(b, bs));
  const __m256i halves = _mm256_setr_epi16(1, 1, 1, 1, 1, 1, 1, 1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m256i rows = _mm256_setr_epi16(1, 1, 1, 1, -1, -1, -1, -1, 1, 1, 1, 1, -1, -1, -1, -1);
  const __m256i cols = _mm256_setr_epi16(1, 1, -1, -1, 1, 1, -1, -1, 1, 1, -1, -1, 1, 1, -1, -1);
  const __m256i v = _mm256_add_epi16(_mm256_sign_epi16(d, halves), _mm256_permute2x128_si256(d, d, 0x01));
  const __m256i w = _mm256_add_epi16(_mm256_sign_epi16(v, rows), _mm256_shuffle_epi32(v, 0x4e));
  const __m256i h = _mm256_add_epi16(_mm256_sign_epi16(w, cols), _mm256_shuffle_epi32(w, 0xb1));
  const __m256i m = _mm256_abs_epi16(h);
  return lane_sum32x8(_mm256_madd_epi16(_mm256_max_epi16(m, _mm256_srli_epi32(m, 16)), _mm256_set1_epi32(1)));
}

// Rows 0-3 in the low half, rows 4-7 in the high half: four tiles at once.
uint32_t satd_8x8_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  const intptr_t as = a_stride, bs = b_stride;
  const __m256i pat = pattern_8wide();
  __m256i v[4];
  for (int32_t r = 0; r < 4; r++) v[r] = stage1_8wide(a + r * as, as, b + r * bs, bs, pat);
  vertical4(v);
  return lane_sum32x8(satd_pairs(v));
}

uint32_t sa8d_8x8_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return round_pairs(lane_sum32x8(sa8d_raw_8x8_avx2(a, a_stride, b, b_stride, _mm256_setzero_si256())));
}

// Both 8x8 halves rounded once together.
uint32_t sa8d_16x8_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return round_pairs(lane_sum32x8(sa8d_16x8_pairs(a, a_stride, b, b_stride)));
}

// Each 8x8 half rounded by itself: the lower half's rows are set beside
// the upper half's, and the two blocks' pair values come out in their own
// 64-bit groups.
uint32_t sa8d_8x16_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  const intptr_t as = a_stride, bs = b_stride;
  const __m256i acc = sa8d_side_by_side_pairs([&](int32_t r, int32_t which) __attribute__((always_inline)) {
    const uint8_t *p = which == 0 ? a + r * as : b + r * bs;
    const intptr_t s = which == 0 ? as : bs;
    return _mm_unpacklo_epi64(load64(p), load64(p + 8 * s));
  });
  const __m128i g = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
  return round_pairs(static_cast<uint32_t>(_mm_cvtsi128_si32(g))) +
         round_pairs(static_cast<uint32_t>(_mm_extract_epi32(g, 2)));
}

// The blocks' unrounded sums for the motion refinement's memo.  A block's
// raw sum is twice its pair values' total; sa8d_side_by_side_pairs leaves
// the left block's in 64-bit groups 0 and 2 and the right block's in 1 and
// 3 (their high 32 bits zero), so adding the two 128-bit halves gives the
// left total in 32-bit lane 0 and the right one in lane 2.
namespace {

inline __m128i fold_side_by_side(__m256i pairs) {
  return _mm_add_epi32(_mm256_castsi256_si128(pairs), _mm256_extracti128_si256(pairs, 1));
}

}  // namespace

void sa8d_blocks_16x16_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, uint32_t *raw) {
  const intptr_t as = a_stride, bs = b_stride;
  const __m128i top = fold_side_by_side(sa8d_16x8_pairs(a, as, b, bs));
  const __m128i bottom = fold_side_by_side(sa8d_16x8_pairs(a + 8 * as, as, b + 8 * bs, bs));
  const __m128i lanes =
      _mm_castps_si128(_mm_shuffle_ps(_mm_castsi128_ps(top), _mm_castsi128_ps(bottom), _MM_SHUFFLE(2, 0, 2, 0)));
  _mm_storeu_si128(reinterpret_cast<__m128i *>(raw), _mm_slli_epi32(lanes, 1));
}

void sa8d_blocks_16x8_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, uint32_t *raw) {
  const __m128i g = fold_side_by_side(sa8d_16x8_pairs(a, a_stride, b, b_stride));
  raw[0] = 2 * static_cast<uint32_t>(_mm_cvtsi128_si32(g));
  raw[1] = 2 * static_cast<uint32_t>(_mm_extract_epi32(g, 2));
}

// The lower block's rows set beside the upper block's, as sa8d_8x16_avx2.
void sa8d_blocks_8x16_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, uint32_t *raw) {
  const intptr_t as = a_stride, bs = b_stride;
  const __m128i g = fold_side_by_side(sa8d_side_by_side_pairs([&](int32_t r, int32_t which) __attribute__((always_inline)) {
    const uint8_t *p = which == 0 ? a + r * as : b + r * bs;
    const intptr_t s = which == 0 ? as : bs;
    return _mm_unpacklo_epi64(load64(p), load64(p + 8 * s));
  }));
  raw[0] = 2 * static_cast<uint32_t>(_mm_cvtsi128_si32(g));
  raw[1] = 2 * static_cast<uint32_t>(_mm_extract_epi32(g, 2));
}

void sa8d_blocks_8x8_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, uint32_t *raw) {
  raw[0] = 2 * lane_sum32x8(sa8d_raw_8x8_avx2(a, a_stride, b, b_stride, _mm256_setzero_si256()));
}

uint32_t sa8d_16x16_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return sa8d_units<16, 16>(a, as, b, bs); }
uint32_t sa8d_32x16_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return sa8d_units<32, 16>(a, as, b, bs); }
uint32_t sa8d_16x32_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return sa8d_units<16, 32>(a, as, b, bs); }
uint32_t sa8d_32x32_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return sa8d_units<32, 32>(a, as, b, bs); }
uint32_t sa8d_64x32_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return sa8d_units<64, 32>(a, as, b, bs); }
uint32_t sa8d_32x64_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return sa8d_units<32, 64>(a, as, b, bs); }
uint32_t sa8d_64x64_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return sa8d_units<64, 64>(a, as, b, bs); }

// The even rows as a block of half the height (strides doubled in 32 bits,
// as the portable functions do), doubled.
uint32_t sa8d_half_16x16_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return 2 * sa8d_16x8_avx2(a, 2 * a_stride, b, 2 * b_stride);
}
uint32_t sa8d_half_32x32_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return 2 * sa8d_32x16_avx2(a, 2 * a_stride, b, 2 * b_stride);
}
uint32_t sa8d_half_64x64_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return 2 * sa8d_64x32_avx2(a, 2 * a_stride, b, 2 * b_stride);
}
