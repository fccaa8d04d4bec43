// Load and reduction helpers shared by the SSSE3-tier pixel kernels
// (include only from files compiled for that tier).  Internal linkage, so
// that no copy built for another tier can stand in for them at link time.
#pragma once

#include <tmmintrin.h>

#include <cstdint>
#include <cstring>

// Exactly 4 or 8 bytes into the low part of a vector, any alignment.
static inline __m128i load32(const uint8_t *p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return _mm_cvtsi32_si128(v);
}
static inline __m128i load64(const uint8_t *p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)); }
static inline __m128i load128(const uint8_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }

// Sum of the four 32-bit lanes, modulo 2^32.
static inline uint32_t lane_sum32(__m128i v) {
  v = _mm_add_epi32(v, _mm_unpackhi_epi64(v, v));
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 1, 1, 1)));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(v));
}
