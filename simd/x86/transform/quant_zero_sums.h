// The fast RDOQ decision's sums of zero-flag costs (rdoq_zero_sums_fn in
// common/rdoq.h) in 16-bit lanes, for the tiers from SSSE3 on: each
// tier's file compiles its own copy with its own instruction set.
#pragma once

#include <tmmintrin.h>

#include <cstdint>

namespace {

// The nine costs split into their low and high bytes, picked by the
// sixteen increments at once; the entries outside the set cleared; then
// each half's lanes summed from the top down in three steps, the high
// half's total added to every lane of the low half.  Sums stay below 2^15.
inline void zero_sums_128(uint16_t *out, const uint8_t *inc, const uint16_t *cost, uint32_t set) {
  const __m128i c0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(cost));
  const __m128i c1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(cost + 8));
  const __m128i low_byte = _mm_set1_epi16(0xff);
  const __m128i lo = _mm_packus_epi16(_mm_and_si128(c0, low_byte), _mm_and_si128(c1, low_byte));
  const __m128i hi = _mm_packus_epi16(_mm_srli_epi16(c0, 8), _mm_srli_epi16(c1, 8));
  const __m128i idx = _mm_loadu_si128(reinterpret_cast<const __m128i *>(inc));
  const __m128i l = _mm_shuffle_epi8(lo, idx), h = _mm_shuffle_epi8(hi, idx);
  const __m128i bit = _mm_set_epi16(128, 64, 32, 16, 8, 4, 2, 1);
  auto keep = [&](__m128i v, uint32_t bits) {
    const __m128i s = _mm_and_si128(_mm_set1_epi16(static_cast<int16_t>(bits & 255)), bit);
    return _mm_and_si128(v, _mm_cmpeq_epi16(s, bit));
  };
  auto from_top = [](__m128i v) {
    v = _mm_add_epi16(v, _mm_srli_si128(v, 2));
    v = _mm_add_epi16(v, _mm_srli_si128(v, 4));
    return _mm_add_epi16(v, _mm_srli_si128(v, 8));
  };
  const __m128i v1 = from_top(keep(_mm_unpackhi_epi8(l, h), set >> 8));
  const __m128i v0 = from_top(keep(_mm_unpacklo_epi8(l, h), set));
  const __m128i total1 = _mm_shuffle_epi32(_mm_shufflelo_epi16(v1, 0), 0);
  _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_add_epi16(v0, total1));
  _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 8), v1);
  out[16] = 0;
}

}  // namespace
