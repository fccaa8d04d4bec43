// Coefficient helpers of the AVX2 tier: the non-zero count of a transform
// block and the scan of its 4x4 coefficient groups (sign bits, significance
// map and count per group, and the last non-zero position).
#include <immintrin.h>

#include "simd/x86/pixel/coeff_groups.h"
#include "simd/x86/pixel/pixel_avx2.h"

namespace {

inline __m256i load256(const int16_t *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }

// Non-zero count of n coefficients (a multiple of 32): pairs of vectors are
// narrowed to bytes with signed saturation, which keeps every non-zero value
// non-zero (256 becomes 127, -32768 becomes -128).
template <int N>
inline uint32_t count_nonzero_n(const int16_t *coef) {
  uint32_t zeros = 0;
  for (int32_t i = 0; i < N; i += 32) {
    const __m256i bytes = _mm256_packs_epi16(load256(coef + i), load256(coef + i + 16));
    zeros += static_cast<uint32_t>(
        _mm_popcnt_u32(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, _mm256_setzero_si256())))));
  }
  return N - zeros;
}

}  // namespace

uint32_t count_nonzero_4x4_avx2(const int16_t *coef) {
  const __m256i zero = _mm256_cmpeq_epi16(load256(coef), _mm256_setzero_si256());
  // Two mask bits per coefficient.
  return 16 - static_cast<uint32_t>(_mm_popcnt_u32(static_cast<uint32_t>(_mm256_movemask_epi8(zero)))) / 2;
}
uint32_t count_nonzero_8x8_avx2(const int16_t *coef) { return count_nonzero_n<64>(coef); }
uint32_t count_nonzero_16x16_avx2(const int16_t *coef) { return count_nonzero_n<256>(coef); }
uint32_t count_nonzero_32x32_avx2(const int16_t *coef) { return count_nonzero_n<1024>(coef); }

// Any other size counts nothing, as the portable function does.
uint32_t count_nonzero_avx2(const int16_t *coef, int32_t log2_size) {
  return count_nonzero_by_size<count_nonzero_4x4_avx2, count_nonzero_8x8_avx2, count_nonzero_16x16_avx2,
                               count_nonzero_32x32_avx2>(coef, log2_size);
}

// A whole 4x4 group per step: its bytes put in scan order by one shuffle with
// the 4x4 scan, then masks of the non-zero and the negative positions.  The
// scan table must be organised by groups as scan_tables_init builds it (16
// positions per group, the first one the group's top-left, the rest in the
// 4x4 order `scan4x4`).  Gives exactly what the portable function gives for
// any count: the walk stops at the `nonzero`-th non-zero coefficient (the
// group holding it gets the map of the positions up to it only) or at the
// end of the block, and returns -1 when it meets none.  Without a 4x4 order,
// or for a width other than 4, 8, 16 or 32, the portable walk serves.
int32_t coeff_scan_groups_bmi2(const uint16_t *scan, const int16_t *coef, uint16_t *signs, uint16_t *sigmap,
                               uint8_t *counts, int32_t nonzero, const uint16_t *scan4x4, int32_t width) {
  int32_t result;
  __m128i order;
  if (group_scan_opening(scan, coef, signs, sigmap, counts, nonzero, scan4x4, width, &result, &order)) return result;
  const __m128i reverse = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  const int32_t groups = width * width / 16;
  int32_t last = -1;
  for (int32_t g = 0; g < groups; g++) {
    const __m128i v = _mm_shuffle_epi8(group_bytes(coef + scan[16 * g], width), order);
    // Bit i: position i of the group.
    const uint32_t nz = ~static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128()))) & 0xffff;
    if (!nz) continue;  // most groups of a large block are empty
    const uint32_t neg = static_cast<uint32_t>(_mm_movemask_epi8(v));
    // Bit 15 - i: position i (the first position is the most significant).
    const uint32_t map = ~static_cast<uint32_t>(_mm_movemask_epi8(
                             _mm_cmpeq_epi8(_mm_shuffle_epi8(v, reverse), _mm_setzero_si128()))) &
                         0xffff;
    const int32_t n = _mm_popcnt_u32(nz);
    if (n < nonzero) {
      counts[g] = static_cast<uint8_t>(n);
      signs[g] = static_cast<uint16_t>(_pext_u32(neg, nz));
      sigmap[g] = static_cast<uint16_t>(map);
      nonzero -= n;
      last = 16 * g + 31 - static_cast<int32_t>(__builtin_clz(nz));
      continue;
    }
    // The group that holds the nonzero-th one: stop at its position L.
    const uint32_t stop_bit = _pdep_u32(1u << (nonzero - 1), nz);
    const int32_t l = static_cast<int32_t>(__builtin_ctz(stop_bit));
    const uint32_t upto = (stop_bit << 1) - 1;
    counts[g] = static_cast<uint8_t>(nonzero);
    signs[g] = static_cast<uint16_t>(_pext_u32(neg, nz & upto));
    sigmap[g] = static_cast<uint16_t>(map >> (15 - l));
    return 16 * g + l;
  }
  return last;
}
