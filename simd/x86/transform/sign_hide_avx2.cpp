// Sign data hiding (slot sign_hide, portable sign_hide_c) in AVX2.  Each
// group's sixteen levels go to scan order in one register, where the test
// of whether the group hides a sign that disagrees takes a few masks; a
// group that must change prices all its candidates at once, four entries a
// register, in the portable function's double operations (products and
// sums in its order, no fused multiply-adds), so that every cost and hence
// the choice are bit for bit the same.
#include <immintrin.h>

#include <array>

#include "common/primitives.h"
#include "common/residual_ctx.h"
#include "simd/x86/transform/quant_kernels.h"

namespace {

// pshufb controls that put a group's levels (rows 0 and 1 in the low lane,
// 2 and 3 in the high one) in scan order: [type][0] takes from a register
// holding the low lane in both halves, [type][1] from one holding the high
// lane; bytes the other one supplies are zeroed (0x80).
constexpr std::array<std::array<std::array<uint8_t, 32>, 2>, 3> scan_shuffles = [] {
  std::array<std::array<std::array<uint8_t, 32>, 2>, 3> t{};
  for (int type = 0; type < 3; type++)
    for (int k = 0; k < 16; k++) {
      const int r = residual_ctx::inner_scan[type][k];
      const int out = 2 * k;  // byte of entry k; lane out >> 4 picks within itself
      for (int half = 0; half < 2; half++) {
        const bool here = (r >> 3) == half;
        t[type][half][out] = here ? static_cast<uint8_t>((2 * r) & 15) : 0x80;
        t[type][half][out + 1] = here ? static_cast<uint8_t>(((2 * r) & 15) + 1) : 0x80;
      }
    }
  return t;
}();

// A group's sixteen values (four rows of four at stride n) in scan order.
inline __m256i group_in_scan(const int16_t *at, int32_t n, const __m256i &from_low, const __m256i &from_high) {
  const __m128i r01 = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(at)),
                                         _mm_loadl_epi64(reinterpret_cast<const __m128i *>(at + n)));
  const __m128i r23 = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(at + 2 * n)),
                                         _mm_loadl_epi64(reinterpret_cast<const __m128i *>(at + 3 * n)));
  const __m256i lo = _mm256_broadcastsi128_si256(r01), hi = _mm256_broadcastsi128_si256(r23);
  return _mm256_or_si256(_mm256_shuffle_epi8(lo, from_low), _mm256_shuffle_epi8(hi, from_high));
}

// Bit gx: the group at column gx of the row of groups at `at` (four rows
// of n levels) holds a level.  Most groups hold none.
inline uint32_t groups_holding_levels(const int16_t *at, int32_t n) {
  if (n == 4) {
    uint64_t any = 0;
    for (int32_t y = 0; y < 4; y++) any |= static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(at + 4 * y))));
    return any != 0;
  }
  if (n == 8) {
    const auto row = [&](int32_t y) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(at + 8 * y)); };
    const __m128i v = _mm_or_si128(_mm_or_si128(row(0), row(1)), _mm_or_si128(row(2), row(3)));
    return ~static_cast<uint32_t>(_mm_movemask_pd(_mm_castsi128_pd(_mm_cmpeq_epi64(v, _mm_setzero_si128())))) & 3;
  }
  uint32_t held = 0;
  for (int32_t x = 0; x < n; x += 16) {
    const auto row = [&](int32_t y) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(at + n * y + x)); };
    const __m256i v = _mm256_or_si256(_mm256_or_si256(row(0), row(1)), _mm256_or_si256(row(2), row(3)));
    held |= (~static_cast<uint32_t>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(v, _mm256_setzero_si256())))) & 15)
            << (x >> 2);
  }
  return held;
}

// Exact int64 to double for |x| < 2^51: x added to the bits of 1.5 * 2^52,
// whose unit in the last place is 1, less that number.
inline __m256d to_double(__m256i x) {
  const __m256d magic = _mm256_set1_pd(6755399441055744.0);
  return _mm256_sub_pd(_mm256_castsi256_pd(_mm256_add_epi64(x, _mm256_castpd_si256(magic))), magic);
}

// Folded by hand: the compiler would take a population count instruction,
// which the tier's flags do not promise.
inline uint32_t parity16(uint32_t v) {
  v ^= v >> 8;
  v ^= v >> 4;
  v ^= v >> 2;
  v ^= v >> 1;
  return v & 1;
}

struct hide_consts_t {
  __m256i scale;
  __m256d step;  // 2^shift, the error of one level step
  __m128i shift;
  __m256d rw_up_new, rw_up, rw_down, rw_leave, rw_leave_last;  // rate_weight times 4, 1, -1, -4, -5
};

// The costs of four entries (base..base + 3) of magnitudes al and |coef|
// ac: lowering (down) and raising (up) each level by one, +inf where the
// change is not a candidate; with masks of the candidates.
struct four_costs_t {
  __m256d down, up;
  __m256d down_ok, up_ok;
};

inline four_costs_t four_costs(__m128i al16, __m128i ac16, int32_t base, const __m256i &first, const __m256i &last,
                               const hide_consts_t &k) {
  const __m256i al = _mm256_cvtepu16_epi64(al16), ac = _mm256_cvtepu16_epi64(ac16);
  const __m256i err = _mm256_sub_epi64(_mm256_mul_epi32(ac, k.scale), _mm256_sll_epi64(al, k.shift));
  // The errors one level step either way, in doubles: integers below 2^53,
  // so the sums are exact and equal the portable function's conversions.
  const __m256d e = to_double(err);
  const __m256d down_e = _mm256_add_pd(e, k.step), up_e = _mm256_sub_pd(e, k.step);
  const __m256d old2 = _mm256_mul_pd(e, e);
  const __m256i idx = _mm256_add_epi64(_mm256_set1_epi64x(base), _mm256_setr_epi64x(0, 1, 2, 3));
  const __m256i zero = _mm256_cmpeq_epi64(al, _mm256_setzero_si256());
  const __m256i one = _mm256_cmpeq_epi64(al, _mm256_set1_epi64x(1));
  const __m256i top = _mm256_cmpeq_epi64(al, _mm256_set1_epi64x(32767));
  const __m256i before = _mm256_cmpgt_epi64(first, idx);
  const __m256i at_first = _mm256_cmpeq_epi64(idx, first), at_last = _mm256_cmpeq_epi64(idx, last);
  // Lowering: not a level of 0, not before the first level, and the first
  // one only from above 1.  Raising: not before the first, not the largest.
  const __m256i down_bad = _mm256_or_si256(_mm256_or_si256(zero, before), _mm256_and_si256(one, at_first));
  const __m256i up_bad = _mm256_or_si256(before, top);
  const __m256d down_rw =
      _mm256_blendv_pd(k.rw_down, _mm256_blendv_pd(k.rw_leave, k.rw_leave_last, _mm256_castsi256_pd(at_last)),
                       _mm256_castsi256_pd(one));
  const __m256d up_rw = _mm256_blendv_pd(k.rw_up, k.rw_up_new, _mm256_castsi256_pd(zero));
  const __m256d down = _mm256_add_pd(_mm256_sub_pd(_mm256_mul_pd(down_e, down_e), old2), down_rw);
  const __m256d up = _mm256_add_pd(_mm256_sub_pd(_mm256_mul_pd(up_e, up_e), old2), up_rw);
  const __m256d inf = _mm256_set1_pd(__builtin_inf());
  const __m256d down_ok = _mm256_castsi256_pd(_mm256_xor_si256(down_bad, _mm256_set1_epi64x(-1)));
  const __m256d up_ok = _mm256_castsi256_pd(_mm256_xor_si256(up_bad, _mm256_set1_epi64x(-1)));
  return {_mm256_blendv_pd(inf, down, down_ok), _mm256_blendv_pd(inf, up, up_ok), down_ok, up_ok};
}

}  // namespace

uint32_t sign_hide_nxn_avx2(int16_t *levels, const int16_t *coef, int32_t log2_size, int32_t scan_type,
                            uint32_t nonzero, int32_t scale, int32_t shift, double rate_weight) {
  const int32_t n = 1 << log2_size, groups = n >> 2;
  const uint8_t *inner = residual_ctx::inner_scan[scan_type].data();
  const __m256i from_low = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(scan_shuffles[scan_type][0].data()));
  const __m256i from_high = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(scan_shuffles[scan_type][1].data()));
  // Made at the first group that must change a level: most calls have
  // none.
  hide_consts_t k;
  bool made = false;
  auto make_consts = [&] {
    k.scale = _mm256_set1_epi64x(scale);
    k.step = _mm256_set1_pd(static_cast<double>(int64_t{1} << shift));
    k.shift = _mm_cvtsi32_si128(shift);
    // rate_weight * bits, formed as the portable function forms them.
    k.rw_up_new = _mm256_set1_pd(rate_weight * 4.0);
    k.rw_up = _mm256_set1_pd(rate_weight * 1.0);
    k.rw_down = _mm256_set1_pd(rate_weight * -1.0);
    k.rw_leave = _mm256_set1_pd(rate_weight * -4.0);
    k.rw_leave_last = _mm256_set1_pd(rate_weight * -5.0);
    made = true;
  };
  uint32_t count = nonzero;
  for (int32_t gy = 0; gy < groups; gy++)
    for (uint32_t held = groups_holding_levels(levels + 4 * gy * n, n); held; held &= held - 1) {
      const int32_t gx = __builtin_ctz(held), origin = 4 * gy * n + 4 * gx;
      const __m256i l = group_in_scan(levels + origin, n, from_low, from_high);
      // Bytes that keep each level's sign and whether it is 0 (saturated).
      const __m128i packed = _mm_packs_epi16(_mm256_castsi256_si128(l), _mm256_extracti128_si256(l, 1));
      const uint32_t map = ~static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(packed, _mm_setzero_si128()))) & 0xffff;
      if (!(map & (map - 1))) continue;
      const int32_t first = __builtin_ctz(map), last = 31 - __builtin_clz(map);
      if (last - first <= 3) continue;
      const __m256i odd_bits = _mm256_slli_epi16(l, 15);
      const uint32_t odd = static_cast<uint32_t>(_mm_movemask_epi8(
          _mm_packs_epi16(_mm256_castsi256_si128(odd_bits), _mm256_extracti128_si256(odd_bits, 1))));
      const uint32_t negative = (static_cast<uint32_t>(_mm_movemask_epi8(packed)) >> first) & 1;
      if (parity16(odd) == negative) continue;
      if (!made) make_consts();

      const __m256i al = _mm256_abs_epi16(l);
      const __m256i ac = _mm256_abs_epi16(group_in_scan(coef + origin, n, from_low, from_high));
      const __m256i first_v = _mm256_set1_epi64x(first), last_v = _mm256_set1_epi64x(last);
      const __m128i al_lo = _mm256_castsi256_si128(al), al_hi = _mm256_extracti128_si256(al, 1);
      const __m128i ac_lo = _mm256_castsi256_si128(ac), ac_hi = _mm256_extracti128_si256(ac, 1);
      const four_costs_t c0 = four_costs(al_lo, ac_lo, 0, first_v, last_v, k);
      const four_costs_t c1 = four_costs(_mm_srli_si128(al_lo, 8), _mm_srli_si128(ac_lo, 8), 4, first_v, last_v, k);
      const four_costs_t c2 = four_costs(al_hi, ac_hi, 8, first_v, last_v, k);
      const four_costs_t c3 = four_costs(_mm_srli_si128(al_hi, 8), _mm_srli_si128(ac_hi, 8), 12, first_v, last_v, k);
      __m256d m = _mm256_min_pd(_mm256_min_pd(_mm256_min_pd(c0.down, c0.up), _mm256_min_pd(c1.down, c1.up)),
                                _mm256_min_pd(_mm256_min_pd(c2.down, c2.up), _mm256_min_pd(c3.down, c3.up)));
      m = _mm256_min_pd(m, _mm256_permute2f128_pd(m, m, 1));
      m = _mm256_min_pd(m, _mm256_permute_pd(m, 5));
      // The candidates of the least cost; the first in the order entry,
      // then lowering before raising, wins.
      auto at_min = [&](const four_costs_t &c, int32_t base, uint32_t *down, uint32_t *up) {
        *down |= static_cast<uint32_t>(_mm256_movemask_pd(_mm256_and_pd(_mm256_cmp_pd(c.down, m, _CMP_EQ_OQ), c.down_ok)))
                 << base;
        *up |= static_cast<uint32_t>(_mm256_movemask_pd(_mm256_and_pd(_mm256_cmp_pd(c.up, m, _CMP_EQ_OQ), c.up_ok)))
               << base;
      };
      uint32_t down = 0, up = 0;
      at_min(c0, 0, &down, &up);
      at_min(c1, 4, &down, &up);
      at_min(c2, 8, &down, &up);
      at_min(c3, 12, &down, &up);
      const int32_t best = __builtin_ctz(down | up);
      const int32_t delta = (down >> best) & 1 ? -1 : 1;
      const int32_t p = origin + (inner[best] >> 2) * n + (inner[best] & 3), was = levels[p];
      const int32_t a = (was < 0 ? -was : was) + delta;
      const bool neg = was != 0 ? was < 0 : coef[p] < 0;
      levels[p] = static_cast<int16_t>(neg ? -a : a);
      count = count + (was == 0) - (a == 0);
    }
  return count;
}
