// Load and traversal helpers shared by the AVX2-tier pixel kernels (include
// only from files compiled for that tier).  Internal linkage, so that no
// copy built for another tier can stand in for them at link time.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "simd/x86/pixel/vector_ssse3.h"

static inline __m256i load256(const uint8_t *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }

// Rows at p and p + s, 16 samples each, in the low and high halves.
static inline __m256i rows16x2(const uint8_t *p, intptr_t s) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(load128(p)), load128(p + s), 1);
}

// Rows at p, p + s, p + 2s and p + 3s, 8 samples each, one per 64-bit lane.
static inline __m256i rows8x4(const uint8_t *p, intptr_t s) {
  const __m128i lo = _mm_unpacklo_epi64(load64(p), load64(p + s));
  const __m128i hi = _mm_unpacklo_epi64(load64(p + 2 * s), load64(p + 3 * s));
  return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

// Sum of the eight 32-bit lanes, modulo 2^32.
static inline uint32_t lane_sum32x8(__m256i v) {
  return lane_sum32(_mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
}

// The 32-bit lane sums of op(piece of a, same piece of b) over ROWS rows of
// W samples: 32-sample pieces, two 16-sample rows or four 8-sample rows per
// vector (ROWS a multiple of 2 or 4 for those), each load exactly a row's
// width.  Two accumulators keep the additions independent.
template <int W, int ROWS, typename Op>
static inline __m256i sum_rows(const uint8_t *a, intptr_t sa, const uint8_t *b, intptr_t sb, Op op) {
  __m256i acc0 = _mm256_setzero_si256(), acc1 = _mm256_setzero_si256();
  if constexpr (W == 64) {
    for (int32_t y = 0; y < ROWS; y++, a += sa, b += sb) {
      acc0 = _mm256_add_epi32(acc0, op(load256(a), load256(b)));
      acc1 = _mm256_add_epi32(acc1, op(load256(a + 32), load256(b + 32)));
    }
  } else if constexpr (W == 32) {
    static_assert(ROWS % 2 == 0);
    for (int32_t y = 0; y < ROWS; y += 2, a += 2 * sa, b += 2 * sb) {
      acc0 = _mm256_add_epi32(acc0, op(load256(a), load256(b)));
      acc1 = _mm256_add_epi32(acc1, op(load256(a + sa), load256(b + sb)));
    }
  } else if constexpr (W == 16) {
    static_assert(ROWS % 2 == 0);
    for (int32_t y = 0; y < ROWS; y += 2, a += 2 * sa, b += 2 * sb)
      acc0 = _mm256_add_epi32(acc0, op(rows16x2(a, sa), rows16x2(b, sb)));
  } else {
    static_assert(W == 8 && ROWS % 4 == 0);
    for (int32_t y = 0; y < ROWS; y += 4, a += 4 * sa, b += 4 * sb)
      acc0 = _mm256_add_epi32(acc0, op(rows8x4(a, sa), rows8x4(b, sb)));
  }
  return _mm256_add_epi32(acc0, acc1);
}
