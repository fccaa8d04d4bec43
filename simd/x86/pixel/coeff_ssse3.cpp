// Coefficient helpers of the SSSE3 tier: the non-zero count of a transform
// block and the scan of its 4x4 coefficient groups (sign bits, significance
// map and count per group, and the last non-zero position).  No POPCNT, PEXT
// or PDEP: counts come from byte sums (psadbw) and the packed sign bits from
// a prefix count of the non-zero positions.
#include <tmmintrin.h>

#include "simd/x86/pixel/coeff_groups.h"
#include "simd/x86/pixel/pixel_ssse3.h"

namespace {

inline __m128i load128(const int16_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }

// Sum of the 16 bytes of v (each at most 255 / 16 for the sum to fit 12 bits).
inline uint32_t byte_sum(__m128i v) {
  const __m128i s = _mm_sad_epu8(v, _mm_setzero_si128());
  return static_cast<uint32_t>(_mm_cvtsi128_si32(s) + _mm_extract_epi16(s, 4));
}

// Non-zero count of n coefficients (a multiple of 16): pairs of vectors are
// narrowed to bytes with signed saturation, which keeps every non-zero value
// non-zero; the zero bytes (all ones after the compare) are counted by
// subtracting them from a per-byte counter, summed every 8 steps at most.
template <int N>
inline uint32_t count_nonzero_n(const int16_t *coef) {
  const __m128i zero = _mm_setzero_si128();
  uint32_t zeros = 0;
  for (int32_t i = 0; i < N; i += 16 * 8) {
    __m128i acc = zero;
    for (int32_t j = i; j < i + 16 * 8 && j < N; j += 16)
      acc = _mm_sub_epi8(acc, _mm_cmpeq_epi8(_mm_packs_epi16(load128(coef + j), load128(coef + j + 8)), zero));
    zeros += byte_sum(acc);
  }
  return N - zeros;
}

}  // namespace

uint32_t count_nonzero_4x4_ssse3(const int16_t *coef) { return count_nonzero_n<16>(coef); }
uint32_t count_nonzero_8x8_ssse3(const int16_t *coef) { return count_nonzero_n<64>(coef); }
uint32_t count_nonzero_16x16_ssse3(const int16_t *coef) { return count_nonzero_n<256>(coef); }
uint32_t count_nonzero_32x32_ssse3(const int16_t *coef) { return count_nonzero_n<1024>(coef); }

// Any other size counts nothing, as the portable function does.
uint32_t count_nonzero_ssse3(const int16_t *coef, int32_t log2_size) {
  return count_nonzero_by_size<count_nonzero_4x4_ssse3, count_nonzero_8x8_ssse3, count_nonzero_16x16_ssse3,
                               count_nonzero_32x32_ssse3>(coef, log2_size);
}

// A whole 4x4 group per step: its bytes put in scan order by one shuffle with
// the 4x4 scan, then masks of the non-zero and the negative positions.  A
// group without a non-zero coefficient is done after the mask.  Otherwise the
// running count of non-zero positions (inclusive prefix sum of the bytes)
// numbers each non-zero coefficient: coefficient number j sets sign bit j
// when negative (bit j from two 8-entry byte tables, the bytes summed, as
// no two set the same bit), and the last byte of the count is the group's
// count.  Gives exactly what the portable function gives for any count: the
// walk stops at the `nonzero`-th non-zero coefficient (the group holding it
// gets the map of the positions up to it and the signs of its first ones
// only) or at the end of the block, and returns -1 when it meets none.
// Without a 4x4 order, or for a width other than 4, 8, 16 or 32, the
// portable walk serves.
int32_t coeff_scan_groups_ssse3(const uint16_t *scan, const int16_t *coef, uint16_t *signs, uint16_t *sigmap,
                                uint8_t *counts, int32_t nonzero, const uint16_t *scan4x4, int32_t width) {
  int32_t result;
  __m128i order;
  if (group_scan_opening(scan, coef, signs, sigmap, counts, nonzero, scan4x4, width, &result, &order)) return result;
  const __m128i reverse = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  // Index j (the prefix count minus one) -> bit j's byte in the low and the
  // high half of the sign word; -1 (no non-zero yet) selects zero.
  const __m128i bit_lo = _mm_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m128i bit_hi = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 4, 8, 16, 32, 64, -128);
  const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi8(1);
  const int32_t groups = width * width / 16;
  int32_t last = -1;
  for (int32_t g = 0; g < groups; g++) {
    const __m128i v = _mm_shuffle_epi8(group_bytes(coef + scan[16 * g], width), order);
    const __m128i is_zero = _mm_cmpeq_epi8(v, zero);
    // Bit i: position i of the group.
    const uint32_t nz = ~static_cast<uint32_t>(_mm_movemask_epi8(is_zero)) & 0xffff;
    if (!nz) continue;
    __m128i pc = _mm_andnot_si128(is_zero, one);
    pc = _mm_add_epi8(pc, _mm_slli_si128(pc, 1));
    pc = _mm_add_epi8(pc, _mm_slli_si128(pc, 2));
    pc = _mm_add_epi8(pc, _mm_slli_si128(pc, 4));
    pc = _mm_add_epi8(pc, _mm_slli_si128(pc, 8));
    const int32_t n = _mm_extract_epi16(pc, 7) >> 8;
    const __m128i idx = _mm_sub_epi8(pc, one);
    const __m128i negative = _mm_cmplt_epi8(v, zero);
    const uint32_t sign_bits =
        byte_sum(_mm_and_si128(_mm_shuffle_epi8(bit_lo, idx), negative)) |
        (byte_sum(_mm_and_si128(_mm_shuffle_epi8(bit_hi, idx), negative)) << 8);
    // Bit 15 - i: position i (the first position is the most significant).
    const uint32_t map = ~static_cast<uint32_t>(_mm_movemask_epi8(_mm_shuffle_epi8(is_zero, reverse))) & 0xffff;
    if (n < nonzero) {
      counts[g] = static_cast<uint8_t>(n);
      signs[g] = static_cast<uint16_t>(sign_bits);
      sigmap[g] = static_cast<uint16_t>(map);
      nonzero -= n;
      last = 16 * g + 31 - static_cast<int32_t>(__builtin_clz(nz));
      continue;
    }
    // The group that holds the nonzero-th one: stop at the first position L
    // whose running count reaches it.
    const uint32_t reached =
        static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpgt_epi8(pc, _mm_set1_epi8(static_cast<char>(nonzero - 1)))));
    const int32_t l = static_cast<int32_t>(__builtin_ctz(reached));
    counts[g] = static_cast<uint8_t>(nonzero);
    signs[g] = static_cast<uint16_t>(sign_bits & ((1u << nonzero) - 1));
    sigmap[g] = static_cast<uint16_t>(map >> (15 - l));
    return 16 * g + l;
  }
  return last;
}
