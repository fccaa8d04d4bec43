// Sums of squared differences in the AVX2 tier.  Sample pairs are
// interleaved and multiplied by (+1, -1) into 16-bit differences, which a
// second multiply-add squares and adds in pairs into 32-bit lanes.  A fixed
// block sums to at most 64 x 64 x 255^2 < 2^28; the any-size form wraps
// modulo 2^32 as the portable function does, which lane-wise 32-bit
// additions preserve.
#include <immintrin.h>

#include <cstring>

#include "simd/x86/pixel/pixel_avx2.h"
#include "simd/x86/pixel/vector_avx2.h"

namespace {

// d0^2 + d1^2 for the 32 sample pairs of a and b, eight 32-bit lanes.
inline __m256i squares32(__m256i a, __m256i b) {
  const __m256i pm = _mm256_set1_epi16(static_cast<int16_t>(0xff01));
  const __m256i lo = _mm256_maddubs_epi16(_mm256_unpacklo_epi8(a, b), pm);
  const __m256i hi = _mm256_maddubs_epi16(_mm256_unpackhi_epi8(a, b), pm);
  return _mm256_add_epi32(_mm256_madd_epi16(lo, lo), _mm256_madd_epi16(hi, hi));
}

// The same for 16 pairs of 128-bit vectors (8 of them when only the low
// halves hold samples and the high halves are zero in both).
inline __m128i squares16(__m128i a, __m128i b) {
  const __m128i pm = _mm_set1_epi16(static_cast<int16_t>(0xff01));
  const __m128i lo = _mm_maddubs_epi16(_mm_unpacklo_epi8(a, b), pm);
  const __m128i hi = _mm_maddubs_epi16(_mm_unpackhi_epi8(a, b), pm);
  return _mm_add_epi32(_mm_madd_epi16(lo, lo), _mm_madd_epi16(hi, hi));
}

template <int W, int H>
inline uint32_t ssd_block(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return lane_sum32x8(sum_rows<W, H>(a, a_stride, b, b_stride, squares32));
}

// Four 4-sample rows of p in one vector: a row load and three inserts.
inline __m128i rows4x4(const uint8_t *p, intptr_t s) {
  auto row = [p, s](int32_t r) {
    int32_t v;
    std::memcpy(&v, p + r * s, 4);
    return v;
  };
  __m128i v = _mm_cvtsi32_si128(row(0));
  v = _mm_insert_epi32(v, row(1), 1);
  v = _mm_insert_epi32(v, row(2), 2);
  return _mm_insert_epi32(v, row(3), 3);
}

}  // namespace

uint32_t ssd_64x64_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return ssd_block<64, 64>(a, as, b, bs); }
uint32_t ssd_32x32_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return ssd_block<32, 32>(a, as, b, bs); }
uint32_t ssd_16x16_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return ssd_block<16, 16>(a, as, b, bs); }
uint32_t ssd_8x8_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return ssd_block<8, 8>(a, as, b, bs); }

// The sixteen differences widened to 16 bits in one register, squared and
// added in pairs (each pair at most 2 x 255^2).
uint32_t ssd_4x4_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  const __m256i d = _mm256_sub_epi16(_mm256_cvtepu8_epi16(rows4x4(a, a_stride)), _mm256_cvtepu8_epi16(rows4x4(b, b_stride)));
  const __m256i sq = _mm256_madd_epi16(d, d);
  return lane_sum32(_mm_add_epi32(_mm256_castsi256_si128(sq), _mm256_extracti128_si256(sq, 1)));
}

uint32_t ssd_row_64n_avx2(const uint8_t *a, const uint8_t *b, int32_t len) {
  _mm_prefetch(reinterpret_cast<const char *>(a), _MM_HINT_T0);
  _mm_prefetch(reinterpret_cast<const char *>(b), _MM_HINT_T0);
  __m256i acc0 = _mm256_setzero_si256(), acc1 = _mm256_setzero_si256();
  for (int32_t x = 0; x < len; x += 64) {
    // The next step's bytes are on their way while this one is summed.
    _mm_prefetch(reinterpret_cast<const char *>(a + x + 64), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char *>(b + x + 64), _MM_HINT_T0);
    acc0 = _mm256_add_epi32(acc0, squares32(load256(a + x), load256(b + x)));
    acc1 = _mm256_add_epi32(acc1, squares32(load256(a + x + 32), load256(b + x + 32)));
  }
  return lane_sum32x8(_mm256_add_epi32(acc0, acc1));
}
uint32_t ssd_row_32_avx2(const uint8_t *a, const uint8_t *b) { return lane_sum32x8(squares32(load256(a), load256(b))); }
uint32_t ssd_row_16_avx(const uint8_t *a, const uint8_t *b) { return lane_sum32(squares16(load128(a), load128(b))); }
uint32_t ssd_row_8_avx(const uint8_t *a, const uint8_t *b) { return lane_sum32(squares16(load64(a), load64(b))); }
uint32_t ssd_row_4_avx(const uint8_t *a, const uint8_t *b) { return lane_sum32(squares16(load32(a), load32(b))); }

// Any w x h block (the row pieces taken inline, flatten): per row the 64n-byte piece, then the 32-, 16-, 8- and
// 4-byte pieces the width's bits select, then single samples.  0 for a
// width or height below 1; nothing is read outside the block.  Sums wrap
// modulo 2^32 like the portable function's (a block of more than 66051
// samples can wrap; the encoder passes at most 64x64 in its decisions and
// whole pictures for PSNR).
__attribute__((flatten)) uint32_t ssd_wxh_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return 0;
  // The square blocks of the residual coding take the fixed kernels.
  if (w == h) switch (w) {
      case 4: return ssd_4x4_avx2(a, a_stride, b, b_stride);
      case 8: return ssd_8x8_avx2(a, a_stride, b, b_stride);
      case 16: return ssd_16x16_avx2(a, a_stride, b, b_stride);
      case 32: return ssd_32x32_avx2(a, a_stride, b, b_stride);
      case 64: return ssd_64x64_avx2(a, a_stride, b, b_stride);
      default: break;
    }
  const int32_t w64 = w & ~63;
  uint32_t sum = 0;
  for (int32_t y = 0; y < h; y++, a += a_stride, b += b_stride) {
    int32_t x = 0;
    if (w64) sum += ssd_row_64n_avx2(a, b, w64);
    x = w64;
    if (w & 32) sum += ssd_row_32_avx2(a + x, b + x), x += 32;
    if (w & 16) sum += ssd_row_16_avx(a + x, b + x), x += 16;
    if (w & 8) sum += ssd_row_8_avx(a + x, b + x), x += 8;
    if (w & 4) sum += ssd_row_4_avx(a + x, b + x), x += 4;
    for (; x < w; x++) {
      const int32_t d = a[x] - b[x];
      sum += static_cast<uint32_t>(d * d);
    }
  }
  return sum;
}

// Width a positive multiple of 16: 32-byte pieces, then one 16-byte piece.
uint32_t ssd_16nxh_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t w, int32_t h) {
  if (w <= 0 || (w & 15)) return ssd_wxh_avx2(a, a_stride, b, b_stride, w, h);
  const int32_t w32 = w & ~31;
  __m256i acc = _mm256_setzero_si256();
  __m128i acc16 = _mm_setzero_si128();
  for (int32_t y = 0; y < h; y++, a += a_stride, b += b_stride) {
    for (int32_t x = 0; x < w32; x += 32) acc = _mm256_add_epi32(acc, squares32(load256(a + x), load256(b + x)));
    if (w & 16) acc16 = _mm_add_epi32(acc16, squares16(load128(a + w32), load128(b + w32)));
  }
  return lane_sum32x8(acc) + lane_sum32(acc16);
}

__attribute__((flatten)) uint32_t ssd_64x64_unused_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return ssd_16nxh_avx2(a, as, b, bs, 64, 64); }
__attribute__((flatten)) uint32_t ssd_32x32_unused_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return ssd_16nxh_avx2(a, as, b, bs, 32, 32); }
__attribute__((flatten)) uint32_t ssd_16x16_unused_avx2(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { return ssd_16nxh_avx2(a, as, b, bs, 16, 16); }

// Any width: 16-byte pieces, one 8-byte piece when bit 3 is set, then
// single samples summed apart; the first byte of each next row of both
// blocks is asked for at the lowest priority.  Nothing is read outside the
// block (a prefetch reads nothing).
uint32_t ssd_wxh_prefetch_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t w,
                               int32_t h) {
  if (w <= 0 || h <= 0) return 0;
  const int32_t w16 = w & ~15, w8 = w & ~7;
  __m256i acc16 = _mm256_setzero_si256();
  __m128i acc = _mm_setzero_si128();
  uint32_t tail = 0;
  for (int32_t y = 0; y < h; y++, a += a_stride, b += b_stride) {
    // 16 samples widened to 16-bit lanes, subtracted, squared in pairs.
    for (int32_t x = 0; x < w16; x += 16) {
      const __m256i d = _mm256_sub_epi16(_mm256_cvtepu8_epi16(load128(a + x)), _mm256_cvtepu8_epi16(load128(b + x)));
      acc16 = _mm256_add_epi32(acc16, _mm256_madd_epi16(d, d));
    }
    if (w & 8) acc = _mm_add_epi32(acc, squares16(load64(a + w16), load64(b + w16)));
    for (int32_t x = w8; x < w; x++) {
      const int32_t d = a[x] - b[x];
      tail += static_cast<uint32_t>(d * d);
    }
    _mm_prefetch(reinterpret_cast<const char *>(a + a_stride), _MM_HINT_NTA);
    _mm_prefetch(reinterpret_cast<const char *>(b + b_stride), _MM_HINT_NTA);
  }
  return lane_sum32x8(acc16) + lane_sum32(acc) + tail;
}
