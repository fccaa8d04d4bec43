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
// of n levels, n from 8 on) holds a level.  Most groups hold none.
inline uint32_t groups_holding_levels(const int16_t *at, int32_t n) {
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

// The cheapest change of a group that must change a level: its levels l and
// coefficient magnitudes ac (16-bit lanes in scan order), its first and last
// non-zero entries.  Every candidate's cost is formed in doubles as the
// portable function forms it, four entries a register; what is not a
// candidate costs +inf.  Returns the entry, and in *delta the change.
// Out of line: most groups change nothing, and the scan over them then
// needs only a few registers.
[[gnu::noinline]] int32_t cheapest_change(__m256i l, __m256i ac, int32_t first, int32_t last, int32_t scale,
                                          int32_t shift, double rate_weight, int32_t *delta) {
  const __m256i idx = _mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m256i first_v = _mm256_set1_epi16(static_cast<int16_t>(first));
  const __m256i al = _mm256_abs_epi16(l);
  const __m256i zero = _mm256_cmpeq_epi16(al, _mm256_setzero_si256());
  const __m256i one = _mm256_cmpeq_epi16(al, _mm256_set1_epi16(1));
  const __m256i before = _mm256_cmpgt_epi16(first_v, idx);
  // Lowering: not a level of 0, not before the first level, and the first
  // one only from above 1.  Raising: not before the first, not the largest.
  const __m256i down_bad =
      _mm256_or_si256(_mm256_or_si256(zero, before), _mm256_and_si256(one, _mm256_cmpeq_epi16(idx, first_v)));
  const __m256i up_bad = _mm256_or_si256(before, _mm256_cmpeq_epi16(al, _mm256_set1_epi16(32767)));
  // The bits of each change, as the portable function counts them.
  const __m256i at_last = _mm256_cmpeq_epi16(idx, _mm256_set1_epi16(static_cast<int16_t>(last)));
  const __m256i down_bits = _mm256_blendv_epi8(
      _mm256_set1_epi16(-1), _mm256_blendv_epi8(_mm256_set1_epi16(-4), _mm256_set1_epi16(-5), at_last), one);
  const __m256i up_bits = _mm256_blendv_epi8(_mm256_set1_epi16(1), _mm256_set1_epi16(4), zero);
  // Entries 4q..4q + 3 of a vector of 16-bit lanes, in the low half of a
  // register (the widenings read only that half).
  auto quads = [](__m256i v, __m128i out[4]) {
    out[0] = _mm256_castsi256_si128(v);
    out[1] = _mm_srli_si128(out[0], 8);
    out[2] = _mm256_extracti128_si256(v, 1);
    out[3] = _mm_srli_si128(out[2], 8);
  };
  __m128i al_q[4], ac_q[4], down_bad_q[4], up_bad_q[4];
  quads(al, al_q);
  quads(ac, ac_q);
  quads(down_bad, down_bad_q);
  quads(up_bad, up_bad_q);
  // The bits as 32-bit lanes, four entries to a half.
  const __m256i down_bits32[2] = {_mm256_cvtepi16_epi32(_mm256_castsi256_si128(down_bits)),
                                  _mm256_cvtepi16_epi32(_mm256_extracti128_si256(down_bits, 1))};
  const __m256i up_bits32[2] = {_mm256_cvtepi16_epi32(_mm256_castsi256_si128(up_bits)),
                                _mm256_cvtepi16_epi32(_mm256_extracti128_si256(up_bits, 1))};
  auto half = [](__m256i v, int32_t h) { return h ? _mm256_extracti128_si256(v, 1) : _mm256_castsi256_si128(v); };
  const __m256i scale_v = _mm256_set1_epi64x(scale);
  const __m256d step = _mm256_set1_pd(static_cast<double>(int64_t{1} << shift));
  const __m128i sh = _mm_cvtsi32_si128(shift);
  const __m256d rw = _mm256_set1_pd(rate_weight), inf = _mm256_set1_pd(__builtin_inf());
  __m256d down[4], up[4];
  for (int32_t q = 0; q < 4; q++) {
    const __m256i a = _mm256_cvtepu16_epi64(al_q[q]), c = _mm256_cvtepu16_epi64(ac_q[q]);
    const __m256i err = _mm256_sub_epi64(_mm256_mul_epi32(c, scale_v), _mm256_sll_epi64(a, sh));
    // The errors one level step either way, in doubles: integers below 2^53,
    // so the sums are exact and equal the portable function's conversions.
    const __m256d e = to_double(err);
    const __m256d down_e = _mm256_add_pd(e, step), up_e = _mm256_sub_pd(e, step);
    const __m256d old2 = _mm256_mul_pd(e, e);
    const __m256d down_rw = _mm256_mul_pd(rw, _mm256_cvtepi32_pd(half(down_bits32[q >> 1], q & 1)));
    const __m256d up_rw = _mm256_mul_pd(rw, _mm256_cvtepi32_pd(half(up_bits32[q >> 1], q & 1)));
    const __m256d d = _mm256_add_pd(_mm256_sub_pd(_mm256_mul_pd(down_e, down_e), old2), down_rw);
    const __m256d u = _mm256_add_pd(_mm256_sub_pd(_mm256_mul_pd(up_e, up_e), old2), up_rw);
    down[q] = _mm256_blendv_pd(d, inf, _mm256_castsi256_pd(_mm256_cvtepi16_epi64(down_bad_q[q])));
    up[q] = _mm256_blendv_pd(u, inf, _mm256_castsi256_pd(_mm256_cvtepi16_epi64(up_bad_q[q])));
  }
  __m256d m = _mm256_min_pd(_mm256_min_pd(_mm256_min_pd(down[0], up[0]), _mm256_min_pd(down[1], up[1])),
                            _mm256_min_pd(_mm256_min_pd(down[2], up[2]), _mm256_min_pd(down[3], up[3])));
  m = _mm256_min_pd(m, _mm256_permute2f128_pd(m, m, 1));
  m = _mm256_min_pd(m, _mm256_permute_pd(m, 5));
  // The candidates of the least cost (a group always has one: its last
  // level can go up, or down if it is the largest); the first in the order
  // entry, then lowering before raising, wins.
  uint32_t down_at = 0, up_at = 0;
  for (int32_t q = 0; q < 4; q++) {
    down_at |= static_cast<uint32_t>(_mm256_movemask_pd(_mm256_cmp_pd(down[q], m, _CMP_EQ_OQ))) << (4 * q);
    up_at |= static_cast<uint32_t>(_mm256_movemask_pd(_mm256_cmp_pd(up[q], m, _CMP_EQ_OQ))) << (4 * q);
  }
  const int32_t best = __builtin_ctz(down_at | up_at);
  *delta = (down_at >> best) & 1 ? -1 : 1;
  return best;
}

}  // namespace

namespace {

// Whether a group (levels l in scan order) hides a sign that disagrees
// with its level sum's parity; if so its first and last non-zero entries.
inline bool must_change(__m256i l, int32_t *first, int32_t *last) {
  // Bytes that keep each level's sign and whether it is 0 (saturated).
  const __m128i packed = _mm_packs_epi16(_mm256_castsi256_si128(l), _mm256_extracti128_si256(l, 1));
  const uint32_t map = ~static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(packed, _mm_setzero_si128()))) & 0xffff;
  if (!(map & (map - 1))) return false;
  *first = __builtin_ctz(map);
  *last = 31 - __builtin_clz(map);
  if (*last - *first <= 3) return false;
  const __m256i odd_bits = _mm256_slli_epi16(l, 15);
  const uint32_t odd = static_cast<uint32_t>(
      _mm_movemask_epi8(_mm_packs_epi16(_mm256_castsi256_si128(odd_bits), _mm256_extracti128_si256(odd_bits, 1))));
  const uint32_t negative = (static_cast<uint32_t>(_mm_movemask_epi8(packed)) >> *first) & 1;
  return parity16(odd) != negative;
}

// Moves level best of a group by delta (scan order), whose place is p.
inline uint32_t apply_change(int16_t *levels, const int16_t *coef, int32_t p, int32_t delta, uint32_t count) {
  const int32_t was = levels[p], a = (was < 0 ? -was : was) + delta;
  const bool neg = was != 0 ? was < 0 : coef[p] < 0;
  levels[p] = static_cast<int16_t>(neg ? -a : a);
  return count + (was == 0) - (a == 0);
}

// A 4x4 block, the most frequent: one group, its sixteen levels one
// register.
uint32_t sign_hide_4x4(int16_t *levels, const int16_t *coef, int32_t scan_type, uint32_t nonzero, int32_t scale,
                       int32_t shift, double rate_weight) {
  const __m256i from_low = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(scan_shuffles[scan_type][0].data()));
  const __m256i from_high = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(scan_shuffles[scan_type][1].data()));
  auto in_scan = [&](const int16_t *at) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(at));
    return _mm256_or_si256(_mm256_shuffle_epi8(_mm256_permute4x64_epi64(v, 0x44), from_low),
                           _mm256_shuffle_epi8(_mm256_permute4x64_epi64(v, 0xEE), from_high));
  };
  const __m256i l = in_scan(levels);
  int32_t first, last;
  if (!must_change(l, &first, &last)) return nonzero;
  int32_t delta;
  const int32_t best =
      cheapest_change(l, _mm256_abs_epi16(in_scan(coef)), first, last, scale, shift, rate_weight, &delta);
  return apply_change(levels, coef, residual_ctx::inner_scan[scan_type][best], delta, nonzero);
}

}  // namespace

uint32_t sign_hide_nxn_avx2(int16_t *levels, const int16_t *coef, int32_t log2_size, int32_t scan_type,
                            uint32_t nonzero, int32_t scale, int32_t shift, double rate_weight) {
  if (log2_size == 2) return sign_hide_4x4(levels, coef, scan_type, nonzero, scale, shift, rate_weight);
  const int32_t n = 1 << log2_size, groups = n >> 2;
  const uint8_t *inner = residual_ctx::inner_scan[scan_type].data();
  const __m256i from_low = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(scan_shuffles[scan_type][0].data()));
  const __m256i from_high = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(scan_shuffles[scan_type][1].data()));
  uint32_t count = nonzero;
  for (int32_t gy = 0; gy < groups; gy++)
    for (uint32_t held = groups_holding_levels(levels + 4 * gy * n, n); held; held &= held - 1) {
      const int32_t gx = __builtin_ctz(held), origin = 4 * gy * n + 4 * gx;
      const __m256i l = group_in_scan(levels + origin, n, from_low, from_high);
      int32_t first, last;
      if (!must_change(l, &first, &last)) continue;
      const __m256i ac = _mm256_abs_epi16(group_in_scan(coef + origin, n, from_low, from_high));
      int32_t delta;
      const int32_t best = cheapest_change(l, ac, first, last, scale, shift, rate_weight, &delta);
      count = apply_change(levels, coef, origin + (inner[best] >> 2) * n + (inner[best] & 3), delta, count);
    }
  return count;
}
