// Coefficient cost of the SSSE3 tier (slot 14): per 4x4 group 1 when it is
// all zero, else 17 plus the sum of its magnitudes.  Magnitudes are taken
// with the 16-bit absolute value read as unsigned (-32768 counts 32768) and
// widened to 32 bits before any two are added, so every group sum is exact.
#include <tmmintrin.h>

#include "simd/x86/transform/transform_kernels.h"

namespace {

// Group values s of four groups (lanes of the four accumulators summed)
// turned into their costs: s + 17, or 1 where s is 0.
inline __m128i group_costs(const __m128i *acc) {
  const __m128i s = _mm_hadd_epi32(_mm_hadd_epi32(acc[0], acc[1]), _mm_hadd_epi32(acc[2], acc[3]));
  const __m128i empty = _mm_cmpeq_epi32(s, _mm_setzero_si128());
  return _mm_sub_epi32(_mm_add_epi32(s, _mm_set1_epi32(17)), _mm_and_si128(empty, _mm_set1_epi32(16)));
}

inline __m128i magnitudes(const int16_t *p) {
  return _mm_abs_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
}

inline uint32_t horizontal_sum(__m128i v) {
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0x4E));
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0xB1));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(v));
}

inline uint32_t cost_4x4(const int16_t *coef) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i a = magnitudes(coef), b = magnitudes(coef + 8);
  __m128i acc[4] = {_mm_add_epi32(_mm_add_epi32(_mm_unpacklo_epi16(a, zero), _mm_unpackhi_epi16(a, zero)),
                                  _mm_add_epi32(_mm_unpacklo_epi16(b, zero), _mm_unpackhi_epi16(b, zero))),
                    zero, zero, zero};
  // Three phantom empty groups cost 1 each.
  return horizontal_sum(group_costs(acc)) - 3;
}

// Groups are visited two at a time (one 8-wide column of a row of groups),
// their costs reduced four at a time.
template <int N>
uint32_t coeff_cost_nxn(const int16_t *coef) {
  const __m128i zero = _mm_setzero_si128();
  __m128i total = zero, acc[4];
  int pending = 0;
  for (int gy = 0; gy < N; gy += 4)
    for (int x = 0; x < N; x += 8) {
      __m128i left = zero, right = zero;
      for (int r = 0; r < 4; r++) {
        const __m128i m = magnitudes(coef + (gy + r) * N + x);
        left = _mm_add_epi32(left, _mm_unpacklo_epi16(m, zero));
        right = _mm_add_epi32(right, _mm_unpackhi_epi16(m, zero));
      }
      acc[pending++] = left;
      acc[pending++] = right;
      if (pending == 4) {
        total = _mm_add_epi32(total, group_costs(acc));
        pending = 0;
      }
    }
  return horizontal_sum(total);
}

}  // namespace

// The blocks of each size.
uint32_t coeff_cost_4x4_ssse3(const int16_t *coef) { return cost_4x4(coef); }
uint32_t coeff_cost_8x8_ssse3(const int16_t *coef) { return coeff_cost_nxn<8>(coef); }
uint32_t coeff_cost_16x16_ssse3(const int16_t *coef) { return coeff_cost_nxn<16>(coef); }
uint32_t coeff_cost_32x32_ssse3(const int16_t *coef) { return coeff_cost_nxn<32>(coef); }

// The slot's entry by size; sizes other than 4x4, 8x8 and 16x16 are costed
// as 32x32.
__attribute__((flatten)) uint32_t coeff_cost_nxn_ssse3(const int16_t *coef, int32_t log2_size) {
  switch (log2_size) {
    case 2: return coeff_cost_4x4_ssse3(coef);
    case 3: return coeff_cost_8x8_ssse3(coef);
    case 4: return coeff_cost_16x16_ssse3(coef);
    default: return coeff_cost_32x32_ssse3(coef);
  }
}

