// Block sums and sums of squares in the AVX2 tier, for the energy that
// adaptive quantisation measures per block, in one pass: the samples sum
// through SAD against zero, the squares through a multiply-add of the
// samples widened to 16 bits.  A 64x64 block sums to at most
// 4096 x 65025 < 2^32, so no lane wraps.
#include <immintrin.h>

#include "simd/x86/pixel/pixel_avx2.h"
#include "simd/x86/pixel/vector_avx2.h"

namespace {

// Adds one vector of samples: their sum into 64-bit lanes, their squares in
// pairs into 32-bit lanes.
struct var_acc_t {
  __m256i sum = _mm256_setzero_si256(), sqr = _mm256_setzero_si256();
  void add(__m256i v) {
    const __m256i zero = _mm256_setzero_si256();
    sum = _mm256_add_epi64(sum, _mm256_sad_epu8(v, zero));
    const __m256i lo = _mm256_unpacklo_epi8(v, zero), hi = _mm256_unpackhi_epi8(v, zero);
    sqr = _mm256_add_epi32(sqr, _mm256_add_epi32(_mm256_madd_epi16(lo, lo), _mm256_madd_epi16(hi, hi)));
  }
};

// Each row read at its own width: 32-sample pieces, two 16-sample rows or
// four 8-sample rows per vector.
template <int N>
inline uint64_t block_var(const uint8_t *p, intptr_t s) {
  var_acc_t acc;
  if constexpr (N >= 32) {
    for (int32_t y = 0; y < N; y++, p += s)
      for (int32_t x = 0; x < N; x += 32) acc.add(load256(p + x));
  } else if constexpr (N == 16) {
    for (int32_t y = 0; y < N; y += 2, p += 2 * s) acc.add(rows16x2(p, s));
  } else {
    static_assert(N == 8);
    for (int32_t y = 0; y < N; y += 4, p += 4 * s) acc.add(rows8x4(p, s));
  }
  // The 64-bit sums stay below 2^32: their high halves add nothing.
  const uint32_t sum = lane_sum32x8(acc.sum), sqr = lane_sum32x8(acc.sqr);
  return (static_cast<uint64_t>(sqr) << 32) | sum;
}

}  // namespace

uint64_t pixel_var_64x64_avx2(const uint8_t *p, int32_t stride) { return block_var<64>(p, stride); }
uint64_t pixel_var_32x32_avx2(const uint8_t *p, int32_t stride) { return block_var<32>(p, stride); }
uint64_t pixel_var_16x16_avx2(const uint8_t *p, int32_t stride) { return block_var<16>(p, stride); }
uint64_t pixel_var_8x8_avx2(const uint8_t *p, int32_t stride) { return block_var<8>(p, stride); }
