// In-register transpose of an 8x8 block of 16-bit values, shared by the
// kernels of every tier (internal linkage: each tier compiles its own copy
// with its own instruction set).
#pragma once

#include <emmintrin.h>

namespace {

// r[i] holds row i on entry and column i on exit.
inline void transpose8x8_epi16(__m128i *r) {
  __m128i b[8], c[8];
  for (int i = 0; i < 8; i += 2) {
    b[i] = _mm_unpacklo_epi16(r[i], r[i + 1]);
    b[i + 1] = _mm_unpackhi_epi16(r[i], r[i + 1]);
  }
  for (int i = 0; i < 8; i += 4) {
    c[i] = _mm_unpacklo_epi32(b[i], b[i + 2]);
    c[i + 1] = _mm_unpackhi_epi32(b[i], b[i + 2]);
    c[i + 2] = _mm_unpacklo_epi32(b[i + 1], b[i + 3]);
    c[i + 3] = _mm_unpackhi_epi32(b[i + 1], b[i + 3]);
  }
  for (int i = 0; i < 4; i++) {
    r[2 * i] = _mm_unpacklo_epi64(c[i], c[i + 4]);
    r[2 * i + 1] = _mm_unpackhi_epi64(c[i], c[i + 4]);
  }
}

}  // namespace
