// 16x16 byte transposition shared by the AVX2 angular kernels whose
// horizontal modes compute the block's columns as lines.  Internal linkage
// only: each AVX2 file compiles its own copy.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace {

// With the lines taken in bit-reversed order, four rounds of interleaving
// lines 2i and 2i + 1 (low halves to line i, high halves to line i + 8)
// leave column c in line bitrev(c); line k of `lines` becomes column k of
// the 16x16 block at dst.
inline void store_transposed_16x16(uint8_t *dst, intptr_t stride, const __m128i *lines) {
  static constexpr int32_t BITREV4[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
  __m128i a[16], b[16];
  for (int32_t i = 0; i < 16; i++) a[i] = lines[BITREV4[i]];
  for (int32_t round = 0; round < 4; round++) {
    for (int32_t i = 0; i < 8; i++) {
      b[i] = _mm_unpacklo_epi8(a[2 * i], a[2 * i + 1]);
      b[i + 8] = _mm_unpackhi_epi8(a[2 * i], a[2 * i + 1]);
    }
    for (int32_t i = 0; i < 16; i++) a[i] = b[i];
  }
  for (int32_t k = 0; k < 16; k++)
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + BITREV4[k] * stride), a[k]);
}

}  // namespace
