// Pieces of the angular predictors that compute a block line by line from a
// reference run, shared by the SSSE3 kernels and the AVX2 reference-run
// kernels (each vector file compiles its own copy: internal linkage only).
// Line i (a row of a vertical mode, a column of a horizontal one) weights the
// pairs from ref[iIdx(i) + 1] by (32 - iFact, iFact): pmaddubsw on the
// interleaved pairs and pmulhrsw by 1024 give (sum + 16) >> 5 exactly (the
// sum is at most 32 * 255); a line with iFact 0 is a copy and reads no
// second tap (it could lie past the array).
#pragma once

#include <tmmintrin.h>

#include <cstdint>
#include <cstring>
#include <utility>

#include "simd/x86/intra/intra_ang_model.h"

namespace {

template <typename F, int... K>
inline void unroll(F f, std::integer_sequence<int, K...>) {
  (f(std::integral_constant<int, K>{}), ...);
}

inline uint8_t clip_pixel(int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// Modes 10 and 26; FILT: the first line across the prediction direction
// follows the side run's gradient (8.4.4.2.6).
template <int N, int MODE, bool FILT>
void straight(uint8_t *dst, intptr_t stride, const uint8_t *nb) {
  static_assert(MODE == 10 || MODE == 26);
  if constexpr (MODE == 26) {
    for (int32_t y = 0; y < N; y++) std::memcpy(dst + y * stride, nb + 1, N);
  } else {
    for (int32_t y = 0; y < N; y++) std::memset(dst + y * stride, nb[2 * N + 1 + y], N);
  }
  if constexpr (FILT) {
    const uint8_t *main_run = MODE == 10 ? nb + 2 * N : nb, *side_run = MODE == 10 ? nb : nb + 2 * N;
    for (int32_t i = 0; i < N; i++) {
      const uint8_t v = clip_pixel(main_run[1] + ((side_run[1 + i] - nb[0]) >> 1));
      if (MODE == 10)
        dst[i] = v;
      else
        dst[i * stride] = v;
    }
  }
}

// Modes 2 and 34 (angle 32, iFact 0 on every line): sample (x, y) of mode 2
// is ref[x + y + 2] of the left run (the block is symmetric), row y of mode
// 34 is ref[y + 2 ..] of the above run.
template <int N, int MODE>
void diagonal(uint8_t *dst, intptr_t stride, const uint8_t *nb) {
  static_assert(MODE == 2 || MODE == 34);
  const uint8_t *run = MODE == 2 ? nb + 2 * N : nb;
  for (int32_t y = 0; y < N; y++) std::memcpy(dst + y * stride, run + y + 2, N);
}

// The reference a line of MODE reads: the main run in place for a positive
// angle (ref[1 .. 2N]); for a negative one ref[-E .. N] assembled in
// `storage` (2N + 1 bytes): the corner, the main run's first N samples and
// the side samples projected behind the corner.  No line of a negative
// angle reads further on than ref[N].
template <int N, int MODE>
inline const uint8_t *reference_of(const uint8_t *nb, uint8_t *storage) {
  using namespace intra_model;
  constexpr int32_t angle = intra_pred_angle[MODE];
  const uint8_t *main_run = horizontal(MODE) ? nb + 2 * N : nb;
  if constexpr (angle >= 0) {
    return main_run;
  } else {
    const uint8_t *side_run = horizontal(MODE) ? nb : nb + 2 * N;
    uint8_t *r = storage + N;
    r[0] = nb[0];
    std::memcpy(r + 1, main_run + 1, N);
    constexpr int32_t e = intra_ang_extension(angle, N);
    static_assert(e < N);
    for (int32_t k = 1; k <= e; k++) r[-k] = side_run[intra_ang_projected(angle, k)];
    return r;
  }
}

// Sixteen samples of a line at weight F from `row` (ref[iIdx + 1]).
template <int F>
inline __m128i weighted_16(const uint8_t *row) {
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row));
  if constexpr (F == 0) {
    return a;
  } else {
    const __m128i w = _mm_set1_epi16(static_cast<int16_t>(F << 8 | (32 - F)));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + 1));
    const __m128i round = _mm_set1_epi16(1024);
    const __m128i lo = _mm_mulhrs_epi16(_mm_maddubs_epi16(_mm_unpacklo_epi8(a, b), w), round);
    const __m128i hi = _mm_mulhrs_epi16(_mm_maddubs_epi16(_mm_unpackhi_epi8(a, b), w), round);
    return _mm_packus_epi16(lo, hi);
  }
}

}  // namespace
