// Half-row SADs (rows 0, 2, 4, ... doubled), one and four candidates, with
// the SAD instruction.  Every load is unaligned and exactly one block row
// wide; strides may be odd or negative.  The largest sum, 2 x 32 x 64 x 255
// for a 64x64 block, is far inside the 64-bit halves of the SAD results.
#include "simd/x86/pixel/pixel_ssse3.h"
#include "simd/x86/pixel/vector_ssse3.h"

namespace {

// The bytes of one row at x: 16, or 8 in the low half for the 8-wide blocks.
template <int W>
inline __m128i row_piece(const uint8_t *p) {
  if constexpr (W == 8)
    return load64(p);
  else
    return load128(p);
}

// Rows 0, 2, 4 and 6 of a 4-wide block, one per 32-bit lane.
inline __m128i gather_4x8_half(const uint8_t *p, intptr_t stride2) {
  const __m128i r01 = _mm_unpacklo_epi32(load32(p), load32(p + stride2));
  const __m128i r23 = _mm_unpacklo_epi32(load32(p + 2 * stride2), load32(p + 3 * stride2));
  return _mm_unpacklo_epi64(r01, r23);
}

inline uint32_t sum_halves(__m128i v) {
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_add_epi32(v, _mm_unpackhi_epi64(v, v))));
}

// The 4x8 block's sampled rows fit one vector.
uint32_t sad_half_4x8_rows(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  const intptr_t sa = static_cast<int32_t>(2 * a_stride), sb = static_cast<int32_t>(2 * b_stride);
  return 2 * sum_halves(_mm_sad_epu8(gather_4x8_half(a, sa), gather_4x8_half(b, sb)));
}

// Rows 0, 2, 4, ... below h of a W-wide block; 0 for h of 0 or less.
template <int W>
inline uint32_t sad_half_rows(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t h) {
  // The doubled strides are formed in 32 bits, as the portable function does.
  const intptr_t sa = static_cast<int32_t>(2 * a_stride), sb = static_cast<int32_t>(2 * b_stride);
  // One accumulator per 16-sample column keeps the additions independent.
  constexpr int32_t N = W < 16 ? 1 : W / 16;
  __m128i acc[N];
  for (__m128i &v : acc) v = _mm_setzero_si128();
  for (int32_t y = 0; y < h; y += 2, a += sa, b += sb)
    for (int32_t k = 0; k < N; k++)
      acc[k] = _mm_add_epi32(acc[k], _mm_sad_epu8(row_piece<W>(a + 16 * k), row_piece<W>(b + 16 * k)));
  for (int32_t k = 1; k < N; k++) acc[0] = _mm_add_epi32(acc[0], acc[k]);
  return 2 * sum_halves(acc[0]);
}

// The pair weights of the packed fold, reached through a pointer the
// compiler cannot see through so that they stay an operand in memory (as a
// known constant it rebuilds them in three instructions at every call).
alignas(16) constexpr int16_t TWOS[8] = {2, 2, 2, 2, 2, 2, 2, 2};

// One source row (stride 64) against the same row of four references, for
// the rows 0, 2, 4, ... below h; four zeros for h of 0 or less.
template <int W>
inline void sad_x4_half_rows(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                             const uint8_t *r3, int32_t ref_stride, uint32_t out[4], int32_t h) {
  const intptr_t rs = static_cast<int32_t>(2 * ref_stride);
  __m128i s0, s1, s2, s3;
  if constexpr (W == 4) {
    const __m128i s = gather_4x8_half(src, 2 * SRC_STRIDE);
    s0 = _mm_sad_epu8(s, gather_4x8_half(r0, rs));
    s1 = _mm_sad_epu8(s, gather_4x8_half(r1, rs));
    s2 = _mm_sad_epu8(s, gather_4x8_half(r2, rs));
    s3 = _mm_sad_epu8(s, gather_4x8_half(r3, rs));
  } else {
    s0 = s1 = s2 = s3 = _mm_setzero_si128();
    for (int32_t y = 0; y < h; y += 2, src += 2 * SRC_STRIDE, r0 += rs, r1 += rs, r2 += rs, r3 += rs) {
      for (int32_t x = 0; x < W; x += 16) {
        // The reference row is the SAD's destination: the source row,
        // read by all four, is never copied.
        const __m128i s = row_piece<W>(src + x);
        s0 = _mm_add_epi64(s0, _mm_sad_epu8(row_piece<W>(r0 + x), s));
        s1 = _mm_add_epi64(s1, _mm_sad_epu8(row_piece<W>(r1 + x), s));
        s2 = _mm_add_epi64(s2, _mm_sad_epu8(row_piece<W>(r2 + x), s));
        s3 = _mm_add_epi64(s3, _mm_sad_epu8(row_piece<W>(r3 + x), s));
        // Added in this order: regrouped into trees of sums across pieces
        // and rows, the unrolled additions kept so many SADs live that
        // they spilled to the stack.
        __asm__("" : "+x"(s0), "+x"(s1), "+x"(s2), "+x"(s3));
      }
    }
  }
  // At most 16 packed SADs added per 64-bit half keep it below 16 x 8 x
  // 255 < 2^15 (the 4-wide block takes one): then two signed packs bring
  // the halves (high 32 bits zero) into 16-bit lanes in reference order and
  // one multiply-add by 2 adds each candidate's two and doubles them.
  const int32_t adds = W == 4 ? 1 : (h + 1) / 2 * (W < 16 ? 1 : W / 16);
  if (adds <= 16) {
    const int16_t *twos = TWOS;
    __asm__("" : "+r"(twos));
    const __m128i w = _mm_packs_epi32(_mm_packs_epi32(s0, s1), _mm_packs_epi32(s2, s3));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_madd_epi16(w, _mm_load_si128(reinterpret_cast<const __m128i *>(twos))));
    return;
  }
  // Larger sums: add the halves, keep the low 32 bits of each candidate,
  // in reference order.
  const __m128i h01 = _mm_add_epi32(_mm_unpacklo_epi32(s0, s1), _mm_unpackhi_epi32(s0, s1));
  const __m128i h23 = _mm_add_epi32(_mm_unpacklo_epi32(s2, s3), _mm_unpackhi_epi32(s2, s3));
  const __m128i sums = _mm_unpacklo_epi64(h01, h23);
  _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_add_epi32(sums, sums));
}

}  // namespace

// The width kernels: any height, rows 0, 2, 4, ... below it.
uint32_t sad_half_64xh_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t h) { return sad_half_rows<64>(a, a_stride, b, b_stride, h); }
uint32_t sad_half_32xh_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t h) { return sad_half_rows<32>(a, a_stride, b, b_stride, h); }
uint32_t sad_half_16xh_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t h) { return sad_half_rows<16>(a, a_stride, b, b_stride, h); }
uint32_t sad_half_8xh_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t h) { return sad_half_rows<8>(a, a_stride, b, b_stride, h); }

// The size entries: a width kernel with the block's height, taken inline
// (flatten) so that the fixed heights unroll.
__attribute__((flatten)) uint32_t sad_half_64x64_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return sad_half_64xh_sse2(a, a_stride, b, b_stride, 64); }
__attribute__((flatten)) uint32_t sad_half_32x32_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return sad_half_32xh_sse2(a, a_stride, b, b_stride, 32); }
__attribute__((flatten)) uint32_t sad_half_16x16_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return sad_half_16xh_sse2(a, a_stride, b, b_stride, 16); }
__attribute__((flatten)) uint32_t sad_half_8x8_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return sad_half_8xh_sse2(a, a_stride, b, b_stride, 8); }
__attribute__((flatten)) uint32_t sad_half_64x32_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return sad_half_64xh_sse2(a, a_stride, b, b_stride, 32); }
__attribute__((flatten)) uint32_t sad_half_32x16_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return sad_half_32xh_sse2(a, a_stride, b, b_stride, 16); }
__attribute__((flatten)) uint32_t sad_half_16x8_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return sad_half_16xh_sse2(a, a_stride, b, b_stride, 8); }
__attribute__((flatten)) uint32_t sad_half_8x4_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return sad_half_8xh_sse2(a, a_stride, b, b_stride, 4); }
__attribute__((flatten)) uint32_t sad_half_32x64_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return sad_half_32xh_sse2(a, a_stride, b, b_stride, 64); }
__attribute__((flatten)) uint32_t sad_half_16x32_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return sad_half_16xh_sse2(a, a_stride, b, b_stride, 32); }
__attribute__((flatten)) uint32_t sad_half_8x16_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return sad_half_8xh_sse2(a, a_stride, b, b_stride, 16); }
__attribute__((flatten)) uint32_t sad_half_4x8_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) { return sad_half_4x8_rows(a, a_stride, b, b_stride); }

void sad_x4_half_64xh_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4], int32_t h) {
  sad_x4_half_rows<64>(src, r0, r1, r2, r3, ref_stride, out, h);
}
void sad_x4_half_32xh_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4], int32_t h) {
  sad_x4_half_rows<32>(src, r0, r1, r2, r3, ref_stride, out, h);
}
void sad_x4_half_16xh_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4], int32_t h) {
  sad_x4_half_rows<16>(src, r0, r1, r2, r3, ref_stride, out, h);
}
void sad_x4_half_8xh_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4], int32_t h) {
  sad_x4_half_rows<8>(src, r0, r1, r2, r3, ref_stride, out, h);
}

__attribute__((flatten)) void sad_x4_half_64x64_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  sad_x4_half_64xh_ssse3(src, r0, r1, r2, r3, ref_stride, out, 64);
}
__attribute__((flatten)) void sad_x4_half_32x32_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  sad_x4_half_32xh_ssse3(src, r0, r1, r2, r3, ref_stride, out, 32);
}
__attribute__((flatten)) void sad_x4_half_16x16_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  sad_x4_half_16xh_ssse3(src, r0, r1, r2, r3, ref_stride, out, 16);
}
__attribute__((flatten)) void sad_x4_half_8x8_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  sad_x4_half_8xh_ssse3(src, r0, r1, r2, r3, ref_stride, out, 8);
}
__attribute__((flatten)) void sad_x4_half_64x32_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  sad_x4_half_64xh_ssse3(src, r0, r1, r2, r3, ref_stride, out, 32);
}
__attribute__((flatten)) void sad_x4_half_32x16_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  sad_x4_half_32xh_ssse3(src, r0, r1, r2, r3, ref_stride, out, 16);
}
__attribute__((flatten)) void sad_x4_half_16x8_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  sad_x4_half_16xh_ssse3(src, r0, r1, r2, r3, ref_stride, out, 8);
}
__attribute__((flatten)) void sad_x4_half_8x4_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  sad_x4_half_8xh_ssse3(src, r0, r1, r2, r3, ref_stride, out, 4);
}
__attribute__((flatten)) void sad_x4_half_64x16_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  sad_x4_half_64xh_ssse3(src, r0, r1, r2, r3, ref_stride, out, 16);
}
__attribute__((flatten)) void sad_x4_half_32x8_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  sad_x4_half_32xh_ssse3(src, r0, r1, r2, r3, ref_stride, out, 8);
}
__attribute__((flatten)) void sad_x4_half_16x4_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  sad_x4_half_16xh_ssse3(src, r0, r1, r2, r3, ref_stride, out, 4);
}
__attribute__((flatten)) void sad_x4_half_32x64_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  sad_x4_half_32xh_ssse3(src, r0, r1, r2, r3, ref_stride, out, 64);
}
__attribute__((flatten)) void sad_x4_half_16x32_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  sad_x4_half_16xh_ssse3(src, r0, r1, r2, r3, ref_stride, out, 32);
}
__attribute__((flatten)) void sad_x4_half_8x16_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  sad_x4_half_8xh_ssse3(src, r0, r1, r2, r3, ref_stride, out, 16);
}
__attribute__((flatten)) void sad_x4_half_4x8_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]) {
  sad_x4_half_rows<4>(src, r0, r1, r2, r3, ref_stride, out, 8);
}
