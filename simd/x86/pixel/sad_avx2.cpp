// SADs of the AVX2 tier: whole-row and half-row (rows 0, 2, 4, ... doubled)
// costs of one candidate, and half-row costs of two, three and four
// candidates against one block of the CTU source copy (stride 64).  Narrow
// rows share a vector (two 16-sample rows, four 8-sample rows, four 4-sample
// rows), each loaded with exactly its width.  The packed SAD leaves each
// 8-sample sum in a 64-bit lane; a candidate's total stays below
// 64 x 64 x 255 < 2^20, so the lanes never carry into their upper halves.
#include <immintrin.h>

#include "simd/x86/pixel/pixel_avx2.h"
#include "simd/x86/pixel/vector_avx2.h"

namespace {

// Rows at p and p + s, 4 samples each, in the low 64 bits.
inline __m128i rows4x2(const uint8_t *p, intptr_t s) { return _mm_unpacklo_epi32(load32(p), load32(p + s)); }

// The packed SAD of two vectors: one sum per 8 samples in the low 32 bits
// of each 64-bit lane (the high halves stay zero through 32-bit additions).
inline __m256i sad_op(__m256i a, __m256i b) { return _mm256_sad_epu8(a, b); }

template <int W, int H>
inline uint32_t sad_full(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return lane_sum32x8(sum_rows<W, H>(a, a_stride, b, b_stride, sad_op));
}

// The doubled strides are formed in 32 bits, as the portable function does.
template <int W, int H>
inline uint32_t sad_half(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  const intptr_t sa = static_cast<int32_t>(2 * a_stride), sb = static_cast<int32_t>(2 * b_stride);
  return 2 * lane_sum32x8(sum_rows<W, H / 2>(a, sa, b, sb, sad_op));
}

// Rows 0, 2, 4, ... below h of a 32- or 64-wide block, one 32-byte piece
// per accumulator; 0 for h of 0 or less.
template <int W>
inline uint32_t sad_half_rows(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t h) {
  static_assert(W == 32 || W == 64);
  const intptr_t sa = static_cast<int32_t>(2 * a_stride), sb = static_cast<int32_t>(2 * b_stride);
  __m256i acc0 = _mm256_setzero_si256(), acc1 = _mm256_setzero_si256();
  for (int32_t y = 0; y < h; y += 2, a += sa, b += sb) {
    acc0 = _mm256_add_epi32(acc0, _mm256_sad_epu8(load256(a), load256(b)));
    if constexpr (W == 64) acc1 = _mm256_add_epi32(acc1, _mm256_sad_epu8(load256(a + 32), load256(b + 32)));
  }
  return 2 * lane_sum32x8(_mm256_add_epi32(acc0, acc1));
}

// The 64-bit lane sums of K candidates in candidate order, four 32-bit
// lanes (the lanes of missing candidates are zero).
inline __m128i fold_candidates(__m256i a0, __m256i a1, __m256i a2, __m256i a3) {
  const __m256i v01 = _mm256_or_si256(a0, _mm256_slli_epi64(a1, 32));
  const __m256i v23 = _mm256_or_si256(a2, _mm256_slli_epi64(a3, 32));
  const __m256i s = _mm256_add_epi32(_mm256_unpacklo_epi64(v01, v23), _mm256_unpackhi_epi64(v01, v23));
  return _mm_add_epi32(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
}

// At most 16 packed SADs added per 64-bit lane keep each lane below
// 16 x 8 x 255 < 2^15: then two packs bring the K candidates' lane sums
// (high 32 bits zero) into 16-bit lanes in candidate order, which the
// multiply-add reads as signed, and one multiply-add by 2 adds each
// candidate's pair and doubles it, instead of the shifts, merges and the
// doubling of fold_candidates.
// The weights are reached through a pointer the compiler cannot see
// through, so that they stay an operand in memory: as a known constant the
// compiler rebuilds them in three instructions at every call.
alignas(32) constexpr int16_t TWOS[16] = {2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2};
inline __m128i fold_candidates_doubled(__m256i a0, __m256i a1, __m256i a2, __m256i a3) {
  const int16_t *twos = TWOS;
  __asm__("" : "+r"(twos));
  const __m256i w = _mm256_packus_epi32(_mm256_packus_epi32(a0, a1), _mm256_packus_epi32(a2, a3));
  const __m256i s = _mm256_madd_epi16(w, _mm256_load_si256(reinterpret_cast<const __m256i *>(twos)));
  return _mm_add_epi32(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
}

// Exactly K entries of out: costs already doubled.
template <int K>
inline void store_doubled(uint32_t *out, __m128i sums) {
  if constexpr (K == 4) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), sums);
  } else {
    _mm_storel_epi64(reinterpret_cast<__m128i *>(out), sums);
    if constexpr (K == 3) out[2] = static_cast<uint32_t>(_mm_extract_epi32(sums, 2));
  }
}

// Exactly K entries of out: the doubled costs.
template <int K>
inline void store_costs(uint32_t *out, __m128i sums) {
  store_doubled<K>(out, _mm_add_epi32(sums, sums));
}

// Half-row SAD of K candidates: each source row (stride 64, so visited rows
// lie 128 bytes apart) is loaded once for all of them.
template <int W, int H, int K>
inline void sad_multi_half(const uint8_t *src, const uint8_t *const ref[], int32_t ref_stride, uint32_t *out) {
  const intptr_t rs = static_cast<int32_t>(2 * ref_stride);
  constexpr intptr_t ss = 2 * SRC_STRIDE;
  // Named accumulators, added to in this order: regrouped into trees of
  // sums across rows, the unrolled additions of the 32-wide blocks kept so
  // many SADs live that they spilled to the stack (the barrier needs
  // registers, which an array's elements are not).
  __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
  auto add = [&](__m256i s, auto ref_piece) __attribute__((always_inline)) {
    a0 = _mm256_add_epi32(a0, _mm256_sad_epu8(s, ref_piece(ref[0])));
    __asm__("" : "+x"(a0));
    if constexpr (K > 1) {
      a1 = _mm256_add_epi32(a1, _mm256_sad_epu8(s, ref_piece(ref[1])));
      __asm__("" : "+x"(a1));
    }
    if constexpr (K > 2) {
      a2 = _mm256_add_epi32(a2, _mm256_sad_epu8(s, ref_piece(ref[2])));
      __asm__("" : "+x"(a2));
    }
    if constexpr (K > 3) {
      a3 = _mm256_add_epi32(a3, _mm256_sad_epu8(s, ref_piece(ref[3])));
      __asm__("" : "+x"(a3));
    }
  };
  if constexpr (W >= 32) {
    for (int32_t y = 0; y < H / 2; y++)
      for (int32_t x = 0; x < W; x += 32)
        add(load256(src + y * ss + x), [&](const uint8_t *r) { return load256(r + y * rs + x); });
  } else if constexpr (W == 16) {
    for (int32_t y = 0; y < H / 2; y += 2)
      add(rows16x2(src + y * ss, ss), [&](const uint8_t *r) { return rows16x2(r + y * rs, rs); });
  } else {
    static_assert(W == 8 && H % 8 == 0);
    for (int32_t y = 0; y < H / 2; y += 4)
      add(rows8x4(src + y * ss, ss), [&](const uint8_t *r) { return rows8x4(r + y * rs, rs); });
  }
  // Packed SADs added per 64-bit lane: one per visited row and 32-byte
  // piece, one per two rows of 16, one per four rows of 8.
  constexpr int32_t ADDS = W >= 32 ? (H / 2) * (W / 32) : W == 16 ? H / 4 : H / 8;
  if constexpr (ADDS <= 16) store_doubled<K>(out, fold_candidates_doubled(a0, a1, a2, a3));
  else store_costs<K>(out, fold_candidates(a0, a1, a2, a3));
}

// Four candidates of 8x4 (rows 0 and 2): two candidates per vector against
// the source's two rows in both halves, so two packed SADs do the four.
inline void sad_x4_half_8x4_pairs(const uint8_t *src, const uint8_t *const ref[], int32_t ref_stride, uint32_t *out) {
  const intptr_t rs = static_cast<int32_t>(2 * ref_stride);
  const __m256i s = _mm256_broadcastsi128_si256(_mm_unpacklo_epi64(load64(src), load64(src + 2 * SRC_STRIDE)));
  auto pair = [&](const uint8_t *a, const uint8_t *b) {
    const __m128i lo = _mm_unpacklo_epi64(load64(a), load64(a + rs));
    const __m128i hi = _mm_unpacklo_epi64(load64(b), load64(b + rs));
    return _mm256_sad_epu8(s, _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1));
  };
  // 64-bit lanes: first candidate's rows 0 and 2, then the second's.
  const __m256i d01 = pair(ref[0], ref[1]), d23 = pair(ref[2], ref[3]);
  // 32-bit lanes c0r0 c2r0 c0r2 c2r2 | c1r0 c3r0 c1r2 c3r2, then the row
  // pairs added: c0 c2 | c1 c3 in the low 64 bits of each half.
  const __m256i v = _mm256_or_si256(d01, _mm256_slli_epi64(d23, 32));
  const __m256i t = _mm256_add_epi32(v, _mm256_unpackhi_epi64(v, v));
  store_costs<4>(out, _mm_unpacklo_epi32(_mm256_castsi256_si128(t), _mm256_extracti128_si256(t, 1)));
}

// Four candidates of a 32- or 64-wide block over the rows 0, 2, 4, ...
// below h; four zeros for h of 0 or less.
template <int W>
inline void sad_x4_half_rows(const uint8_t *src, const uint8_t *const ref[], int32_t ref_stride, uint32_t *out,
                             int32_t h) {
  static_assert(W == 32 || W == 64);
  const intptr_t rs = static_cast<int32_t>(2 * ref_stride);
  __m256i acc[4];
  for (__m256i &v : acc) v = _mm256_setzero_si256();
  intptr_t ro = 0;
  for (int32_t y = 0; y < h; y += 2, src += 2 * SRC_STRIDE, ro += rs)
    for (int32_t x = 0; x < W; x += 32) {
      const __m256i s = load256(src + x);
      for (int32_t k = 0; k < 4; k++) acc[k] = _mm256_add_epi32(acc[k], _mm256_sad_epu8(s, load256(ref[k] + ro + x)));
    }
  store_costs<4>(out, fold_candidates(acc[0], acc[1], acc[2], acc[3]));
}

// 4x4: rows 0 and 2, eight samples, one packed SAD per candidate.
template <int K>
inline void sad_multi_half_4x4(const uint8_t *src, const uint8_t *const ref[], int32_t ref_stride, uint32_t *out) {
  const intptr_t rs = static_cast<int32_t>(2 * ref_stride);
  const __m128i s = rows4x2(src, 2 * SRC_STRIDE);
  __m128i c[4];
  for (int32_t k = 0; k < 4; k++) c[k] = k < K ? _mm_sad_epu8(s, rows4x2(ref[k], rs)) : _mm_setzero_si128();
  // Low 32 bits of each candidate's low lane, in candidate order.
  const __m128i sums = _mm_unpacklo_epi64(_mm_unpacklo_epi32(c[0], c[1]), _mm_unpacklo_epi32(c[2], c[3]));
  store_costs<K>(out, sums);
}

}  // namespace

uint32_t sad_64x64_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return sad_full<64, 64>(a, as, b, bs); }
uint32_t sad_32x32_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return sad_full<32, 32>(a, as, b, bs); }
uint32_t sad_16x16_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return sad_full<16, 16>(a, as, b, bs); }
uint32_t sad_8x8_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return sad_full<8, 8>(a, as, b, bs); }

// Four 4-sample rows in one 128-bit vector: the two 64-bit SAD lanes hold
// rows 0-1 and rows 2-3.
uint32_t sad_4x4_avx(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  const intptr_t as = a_stride, bs = b_stride;
  const __m128i va = _mm_unpacklo_epi64(rows4x2(a, as), rows4x2(a + 2 * as, as));
  const __m128i vb = _mm_unpacklo_epi64(rows4x2(b, bs), rows4x2(b + 2 * bs, bs));
  const __m128i s = _mm_sad_epu8(va, vb);
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_add_epi64(s, _mm_unpackhi_epi64(s, s))));
}

// Any height: the rows 0, 2, 4, ... below it.  The 64-wide one serves the
// 64x32 slot and the 64x64 block cost; the 32-wide one is installed nowhere
// (the 32-wide slots are written out for their heights).
uint32_t sad_half_64xh_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs, int32_t h) { return sad_half_rows<64>(a, as, b, bs, h); }
uint32_t sad_half_32xh_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs, int32_t h) { return sad_half_rows<32>(a, as, b, bs, h); }

uint32_t sad_half_64x64_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return sad_half<64, 64>(a, as, b, bs); }
uint32_t sad_half_32x32_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return sad_half<32, 32>(a, as, b, bs); }
uint32_t sad_half_16x16_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return sad_half<16, 16>(a, as, b, bs); }
uint32_t sad_half_8x8_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return sad_half<8, 8>(a, as, b, bs); }
__attribute__((flatten)) uint32_t sad_half_64x32_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return sad_half_64xh_avx2(a, as, b, bs, 32); }
uint32_t sad_half_32x16_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return sad_half<32, 16>(a, as, b, bs); }
uint32_t sad_half_32x64_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return sad_half<32, 64>(a, as, b, bs); }
__attribute__((flatten)) uint32_t block_cost_sad_half_64x64_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return sad_half_64xh_avx2(a, as, b, bs, 64); }
uint32_t block_cost_sad_half_32x32_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return sad_half<32, 32>(a, as, b, bs); }

// Rows 0 and 2 only.
uint32_t sad_half_4x4_avx(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  const intptr_t sa = static_cast<int32_t>(2 * a_stride), sb = static_cast<int32_t>(2 * b_stride);
  return 2 * static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_sad_epu8(rows4x2(a, sa), rows4x2(b, sb))));
}

void sad_x4_half_64x64_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                            const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  const uint8_t *const ref[4] = {r0, r1, r2, r3};
  sad_multi_half<64, 64, 4>(src, ref, ref_stride, out);
}
void sad_x4_half_32x32_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                            const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  const uint8_t *const ref[4] = {r0, r1, r2, r3};
  sad_multi_half<32, 32, 4>(src, ref, ref_stride, out);
}
void sad_x4_half_64x32_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                            const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  const uint8_t *const ref[4] = {r0, r1, r2, r3};
  sad_multi_half<64, 32, 4>(src, ref, ref_stride, out);
}
void sad_x4_half_32x16_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                            const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  const uint8_t *const ref[4] = {r0, r1, r2, r3};
  sad_multi_half<32, 16, 4>(src, ref, ref_stride, out);
}
void sad_x4_half_32x64_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                            const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  const uint8_t *const ref[4] = {r0, r1, r2, r3};
  sad_multi_half<32, 64, 4>(src, ref, ref_stride, out);
}

void sad_x4_half_16x16_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                            const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  const uint8_t *const ref[4] = {r0, r1, r2, r3};
  sad_multi_half<16, 16, 4>(src, ref, ref_stride, out);
}
void sad_x4_half_8x8_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                          const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  const uint8_t *const ref[4] = {r0, r1, r2, r3};
  sad_multi_half<8, 8, 4>(src, ref, ref_stride, out);
}
void sad_x4_half_16x8_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  const uint8_t *const ref[4] = {r0, r1, r2, r3};
  sad_multi_half<16, 8, 4>(src, ref, ref_stride, out);
}
void sad_x4_half_16x32_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                            const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  const uint8_t *const ref[4] = {r0, r1, r2, r3};
  sad_multi_half<16, 32, 4>(src, ref, ref_stride, out);
}
void sad_x4_half_8x16_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  const uint8_t *const ref[4] = {r0, r1, r2, r3};
  sad_multi_half<8, 16, 4>(src, ref, ref_stride, out);
}

void sad_x4_half_8x4_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                          const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  const uint8_t *const ref[4] = {r0, r1, r2, r3};
  sad_x4_half_8x4_pairs(src, ref, ref_stride, out);
}
void sad_x4_half_64x16_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                            const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  const uint8_t *const ref[4] = {r0, r1, r2, r3};
  sad_multi_half<64, 16, 4>(src, ref, ref_stride, out);
}
void sad_x4_half_32x8_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  const uint8_t *const ref[4] = {r0, r1, r2, r3};
  sad_multi_half<32, 8, 4>(src, ref, ref_stride, out);
}
void sad_x4_half_16x4_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  const uint8_t *const ref[4] = {r0, r1, r2, r3};
  sad_multi_half<16, 4, 4>(src, ref, ref_stride, out);
}

// Installed nowhere: four candidates with any height (the even rows below
// it), and the 64x64 and 32x32 four-candidate costs as separate functions
// of the same design as the installed ones.
void sad_x4_half_64xh_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4], int32_t h) {
  const uint8_t *const ref[4] = {r0, r1, r2, r3};
  sad_x4_half_rows<64>(src, ref, ref_stride, out, h);
}
void sad_x4_half_32xh_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4], int32_t h) {
  const uint8_t *const ref[4] = {r0, r1, r2, r3};
  sad_x4_half_rows<32>(src, ref, ref_stride, out, h);
}
void sad_x4_half_64x64_unused_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                                   const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  sad_x4_half_64xh_avx2(src, r0, r1, r2, r3, ref_stride, out, 64);
}
void sad_x4_half_32x32_unused_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                                   const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  sad_x4_half_32xh_avx2(src, r0, r1, r2, r3, ref_stride, out, 32);
}

void sad_x3_half_64x64_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                            int32_t ref_stride, uint32_t out[3]) {
  const uint8_t *const ref[3] = {r0, r1, r2};
  sad_multi_half<64, 64, 3>(src, ref, ref_stride, out);
}
void sad_x3_half_32x32_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                            int32_t ref_stride, uint32_t out[3]) {
  const uint8_t *const ref[3] = {r0, r1, r2};
  sad_multi_half<32, 32, 3>(src, ref, ref_stride, out);
}
void sad_x3_half_16x16_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                            int32_t ref_stride, uint32_t out[3]) {
  const uint8_t *const ref[3] = {r0, r1, r2};
  sad_multi_half<16, 16, 3>(src, ref, ref_stride, out);
}
void sad_x3_half_8x8_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                          int32_t ref_stride, uint32_t out[3]) {
  const uint8_t *const ref[3] = {r0, r1, r2};
  sad_multi_half<8, 8, 3>(src, ref, ref_stride, out);
}
void sad_x3_half_4x4_avx(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                         int32_t ref_stride, uint32_t out[3]) {
  const uint8_t *const ref[3] = {r0, r1, r2};
  sad_multi_half_4x4<3>(src, ref, ref_stride, out);
}

void sad_x2_half_64x64_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, int32_t ref_stride,
                            uint32_t out[2]) {
  const uint8_t *const ref[2] = {r0, r1};
  sad_multi_half<64, 64, 2>(src, ref, ref_stride, out);
}
void sad_x2_half_32x32_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, int32_t ref_stride,
                            uint32_t out[2]) {
  const uint8_t *const ref[2] = {r0, r1};
  sad_multi_half<32, 32, 2>(src, ref, ref_stride, out);
}
void sad_x2_half_16x16_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, int32_t ref_stride,
                            uint32_t out[2]) {
  const uint8_t *const ref[2] = {r0, r1};
  sad_multi_half<16, 16, 2>(src, ref, ref_stride, out);
}
void sad_x2_half_8x8_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, int32_t ref_stride,
                          uint32_t out[2]) {
  const uint8_t *const ref[2] = {r0, r1};
  sad_multi_half<8, 8, 2>(src, ref, ref_stride, out);
}
void sad_x2_half_4x4_avx(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, int32_t ref_stride,
                         uint32_t out[2]) {
  const uint8_t *const ref[2] = {r0, r1};
  sad_multi_half_4x4<2>(src, ref, ref_stride, out);
}
