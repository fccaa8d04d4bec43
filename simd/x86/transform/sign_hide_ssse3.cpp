// Sign data hiding (slot sign_hide, portable sign_hide_c) in SSSE3.  A
// group's sixteen levels go to scan order in two registers (pshufb from
// the rows 0-1 and rows 2-3 halves), where the test of whether the group
// hides a sign that disagrees takes a few masks.  A group that must change
// prices its candidates two entries a register from its first level on,
// in the portable function's double operations (products and sums in its
// order), so every cost, and hence the choice, is bit for bit the same.
//
// The 64-bit error |c| * scale - (|l| << shift) takes the unsigned 32 x 32
// multiply, exact for a scale of 0..2^31 - 1 against |c| <= 2^15; it and
// the errors one step either side stay below 2^51 in magnitude for shifts
// up to 34, where the conversion to double below is exact.  Other
// arguments (no caller passes them) go to the portable function.
#include <tmmintrin.h>

#include <array>

#include "common/primitives.h"
#include "common/residual_ctx.h"
#include "simd/x86/transform/quant_kernels.h"

namespace {

// pshufb controls per scan type: [from][half] takes, for scan entries
// 8 * half .. 8 * half + 7, the levels that lie in the register of rows
// 0-1 (from 0) or rows 2-3 (from 1); the other register's entries are
// zeroed (0x80) so the two results combine with an or.
using group_shuffles_t = std::array<std::array<std::array<uint8_t, 16>, 2>, 2>;
constexpr std::array<group_shuffles_t, 3> scan_shuffles = [] {
  std::array<group_shuffles_t, 3> t{};
  for (auto &type : t)
    for (auto &from : type)
      for (auto &half : from) half.fill(0x80);
  for (int type = 0; type < 3; type++)
    for (int k = 0; k < 16; k++) {
      const int r = residual_ctx::inner_scan[type][k];
      const int byte = 2 * (k & 7);
      auto &c = t[type][r >> 3][k >> 3];
      c[byte] = static_cast<uint8_t>((2 * r) & 15);
      c[byte + 1] = static_cast<uint8_t>(((2 * r) & 15) + 1);
    }
  return t;
}();

struct scan_regs_t {
  __m128i c[2][2];
};

struct group_t {
  __m128i lo, hi;  // scan entries 0-7 and 8-15
};

inline __m128i load_row4(const int16_t *p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)); }

// A group's sixteen values (four rows of four at stride n) in scan order.
inline group_t group_in_scan(const int16_t *at, int32_t n, const scan_regs_t &s) {
  const __m128i r01 = _mm_unpacklo_epi64(load_row4(at), load_row4(at + n));
  const __m128i r23 = _mm_unpacklo_epi64(load_row4(at + 2 * n), load_row4(at + 3 * n));
  return {_mm_or_si128(_mm_shuffle_epi8(r01, s.c[0][0]), _mm_shuffle_epi8(r23, s.c[1][0])),
          _mm_or_si128(_mm_shuffle_epi8(r01, s.c[0][1]), _mm_shuffle_epi8(r23, s.c[1][1]))};
}

// Bit gx: the group at column gx of the row of groups at `at` (four rows
// of n levels) holds a level.  Most groups hold none.
inline uint32_t groups_holding_levels(const int16_t *at, int32_t n) {
  const __m128i zero = _mm_setzero_si128();
  if (n == 4) {
    const __m128i v = _mm_or_si128(_mm_unpacklo_epi64(load_row4(at), load_row4(at + 4)),
                                   _mm_unpacklo_epi64(load_row4(at + 8), load_row4(at + 12)));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)) != 0xffff;
  }
  uint32_t held = 0;
  for (int32_t x = 0; x < n; x += 8) {
    const auto row = [&](int32_t y) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(at + n * y + x)); };
    const __m128i v = _mm_or_si128(_mm_or_si128(row(0), row(1)), _mm_or_si128(row(2), row(3)));
    const uint32_t zeros = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)));
    held |= (uint32_t{(zeros & 0xff) != 0xff} | uint32_t{(zeros >> 8) != 0xff} << 1) << (x >> 2);
  }
  return held;
}

// A 64-bit integer below 2^51 in magnitude as a double, exactly: added to
// the bit pattern of 2^52 + 2^51 (spacing 1 there), which is then taken off.
inline __m128d to_double(__m128i x) {
  const __m128d bias = _mm_set1_pd(6755399441055744.0);
  return _mm_sub_pd(_mm_castsi128_pd(_mm_add_epi64(x, _mm_castpd_si128(bias))), bias);
}

// Two 32-bit entries (at p) as 64-bit lanes: zero-extended, or a mask
// repeated.
inline __m128i pair_u64(const int32_t *p) {
  return _mm_unpacklo_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)), _mm_setzero_si128());
}
inline __m128d pair_mask(const int32_t *p) {
  const __m128i m = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p));
  return _mm_castsi128_pd(_mm_unpacklo_epi32(m, m));
}

// 16-bit lanes of a and b, sign- (signed) or zero-extended, to 32-bit t[0..15].
inline void widen(int32_t *t, __m128i a, __m128i b, bool is_signed) {
  const auto put = [&](int32_t at, __m128i v) {
    const __m128i ext = is_signed ? _mm_unpacklo_epi16(v, v) : _mm_unpacklo_epi16(v, _mm_setzero_si128());
    const __m128i ext_hi = is_signed ? _mm_unpackhi_epi16(v, v) : _mm_unpackhi_epi16(v, _mm_setzero_si128());
    _mm_storeu_si128(reinterpret_cast<__m128i *>(t + at), is_signed ? _mm_srai_epi32(ext, 16) : ext);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(t + at + 4), is_signed ? _mm_srai_epi32(ext_hi, 16) : ext_hi);
  };
  put(0, a);
  put(8, b);
}

// One hiding group's candidates: every entry's magnitudes and which
// changes it may take, at 32 bits per entry.
struct entries_t {
  alignas(16) int32_t al[16], ac[16];
  alignas(16) int32_t down_bits[16], up_bits[16];
  alignas(16) int32_t down_ok[16], up_ok[16];
};

// The entry data of a group of levels l and coefficients c (scan order)
// whose first and last levels are at first and last.
inline void describe(entries_t *e, const group_t &l, const group_t &c, int32_t first, int32_t last) {
  const __m128i zero = _mm_setzero_si128(), ones = _mm_cmpeq_epi16(zero, zero);
  const __m128i first_v = _mm_set1_epi16(static_cast<int16_t>(first)), last_v = _mm_set1_epi16(static_cast<int16_t>(last));
  const __m128i idx[2] = {_mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7), _mm_setr_epi16(8, 9, 10, 11, 12, 13, 14, 15)};
  const __m128i lv[2] = {l.lo, l.hi}, cv[2] = {c.lo, c.hi};
  __m128i al[2], ac[2], down_bits[2], up_bits[2], down_ok[2], up_ok[2];
  for (int h = 0; h < 2; h++) {
    // |-32768| stays 0x8000 and is read unsigned, as the portable function
    // reads it.
    al[h] = _mm_abs_epi16(lv[h]);
    ac[h] = _mm_abs_epi16(cv[h]);
    const __m128i is_zero = _mm_cmpeq_epi16(al[h], zero);
    const __m128i is_one = _mm_cmpeq_epi16(al[h], _mm_set1_epi16(1));
    const __m128i top = _mm_cmpeq_epi16(al[h], _mm_set1_epi16(32767));
    const __m128i before = _mm_cmpgt_epi16(first_v, idx[h]);
    const __m128i at_first = _mm_cmpeq_epi16(idx[h], first_v), at_last = _mm_cmpeq_epi16(idx[h], last_v);
    // Lowering: not a level of 0, not before the first level, and the first
    // one only from above 1.  Raising: not before the first, not the largest.
    down_ok[h] = _mm_xor_si128(_mm_or_si128(_mm_or_si128(is_zero, before), _mm_and_si128(is_one, at_first)), ones);
    up_ok[h] = _mm_xor_si128(_mm_or_si128(before, top), ones);
    // Bits: a level leaving 1 saves -4 (-5 as the last), another lowering
    // -1; a new level costs 4, another raising 1.
    down_bits[h] = _mm_or_si128(_mm_and_si128(is_one, _mm_add_epi16(_mm_set1_epi16(-4), at_last)),
                                _mm_andnot_si128(is_one, _mm_set1_epi16(-1)));
    up_bits[h] = _mm_add_epi16(_mm_set1_epi16(1), _mm_and_si128(is_zero, _mm_set1_epi16(3)));
  }
  widen(e->al, al[0], al[1], false);
  widen(e->ac, ac[0], ac[1], false);
  widen(e->down_bits, down_bits[0], down_bits[1], true);
  widen(e->up_bits, up_bits[0], up_bits[1], true);
  widen(e->down_ok, down_ok[0], down_ok[1], true);
  widen(e->up_ok, up_ok[0], up_ok[1], true);
}

inline __m128d keep_or_inf(__m128d cost, __m128d ok, __m128d inf) {
  return _mm_or_pd(_mm_and_pd(ok, cost), _mm_andnot_pd(ok, inf));
}

struct hide_consts_t {
  scan_regs_t scan;
  __m128i scale, step, shift;
  __m128d weight, inf;
  const uint8_t *inner;
};

// The change of a group whose hidden sign disagrees: the entry (scan
// order) and -1 or +1, as the portable function chooses it.  Out of the
// blocks' loop, which most groups leave early.
[[gnu::noinline]] int32_t choose_change(const group_t &l, const group_t &c, int32_t first, int32_t last,
                                         const hide_consts_t &k, int32_t *delta) {
  entries_t e;
  describe(&e, l, c, first, last);
  // Costs two entries at a time from the pair of the first level on (the
  // entries before it have no candidate); +inf where a change is not a
  // candidate.
  __m128d down[8], up[8];
  __m128d least = k.inf;
  const int32_t p0 = first >> 1;
  for (int32_t p = p0; p < 8; p++) {
    const __m128i al = pair_u64(e.al + 2 * p), ac = pair_u64(e.ac + 2 * p);
    const __m128i err = _mm_sub_epi64(_mm_mul_epu32(ac, k.scale), _mm_sll_epi64(al, k.shift));
    const __m128d v = to_double(err);
    const __m128d down_e = to_double(_mm_add_epi64(err, k.step)), up_e = to_double(_mm_sub_epi64(err, k.step));
    const __m128d old2 = _mm_mul_pd(v, v);
    const __m128i db = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(e.down_bits + 2 * p));
    const __m128i ub = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(e.up_bits + 2 * p));
    const __m128d dc = _mm_add_pd(_mm_sub_pd(_mm_mul_pd(down_e, down_e), old2), _mm_mul_pd(k.weight, _mm_cvtepi32_pd(db)));
    const __m128d uc = _mm_add_pd(_mm_sub_pd(_mm_mul_pd(up_e, up_e), old2), _mm_mul_pd(k.weight, _mm_cvtepi32_pd(ub)));
    down[p] = keep_or_inf(dc, pair_mask(e.down_ok + 2 * p), k.inf);
    up[p] = keep_or_inf(uc, pair_mask(e.up_ok + 2 * p), k.inf);
    least = _mm_min_pd(least, _mm_min_pd(down[p], up[p]));
  }
  least = _mm_min_pd(least, _mm_shuffle_pd(least, least, 1));
  // The candidates of the least cost (a finite one: those that are no
  // candidate cost +inf); the first in the order entry, then lowering
  // before raising, wins.
  uint32_t down_at = 0, up_at = 0;
  for (int32_t p = p0; p < 8; p++) {
    down_at |= static_cast<uint32_t>(_mm_movemask_pd(_mm_cmpeq_pd(down[p], least))) << (2 * p);
    up_at |= static_cast<uint32_t>(_mm_movemask_pd(_mm_cmpeq_pd(up[p], least))) << (2 * p);
  }
  // (None only where every cost overflows, where the portable function has
  // no defined choice either.)
  if (!(down_at | up_at)) return -1;
  const int32_t best = __builtin_ctz(down_at | up_at);
  *delta = (down_at >> best) & 1 ? -1 : 1;
  return best;
}

// Every group of an N x N block; the level count after the changes.
template <int32_t N>
uint32_t hide_block(int16_t *levels, const int16_t *coef, uint32_t count, const hide_consts_t &k) {
  for (int32_t gy = 0; gy < N / 4; gy++)
    for (uint32_t held = groups_holding_levels(levels + 4 * gy * N, N); held; held &= held - 1) {
      const int32_t origin = 4 * gy * N + 4 * __builtin_ctz(held);
      const group_t l = group_in_scan(levels + origin, N, k.scan);
      // Bytes that keep each level's sign and whether it is 0 (saturated).
      const __m128i packed = _mm_packs_epi16(l.lo, l.hi);
      const uint32_t map =
          ~static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(packed, _mm_setzero_si128()))) & 0xffff;
      if (!(map & (map - 1))) continue;
      const int32_t first = __builtin_ctz(map), last = 31 - __builtin_clz(map);
      if (last - first <= 3) continue;
      const uint32_t odd = static_cast<uint32_t>(
          _mm_movemask_epi8(_mm_packs_epi16(_mm_slli_epi16(l.lo, 15), _mm_slli_epi16(l.hi, 15))));
      const uint32_t negative = (static_cast<uint32_t>(_mm_movemask_epi8(packed)) >> first) & 1;
      // (Without a population count in the tier, the compiler folds the
      // parity through the flags.)
      if (static_cast<uint32_t>(__builtin_parity(odd & 0xffff)) == negative) continue;
      int32_t delta = 0;
      const int32_t best = choose_change(l, group_in_scan(coef + origin, N, k.scan), first, last, k, &delta);
      if (best < 0) continue;
      const int32_t p = origin + (k.inner[best] >> 2) * N + (k.inner[best] & 3), was = levels[p];
      const int32_t a = (was < 0 ? -was : was) + delta;
      const bool neg = was != 0 ? was < 0 : coef[p] < 0;
      levels[p] = static_cast<int16_t>(neg ? -a : a);
      count = count + (was == 0) - (a == 0);
    }
  return count;
}

}  // namespace

uint32_t sign_hide_nxn_ssse3(int16_t *levels, const int16_t *coef, int32_t log2_size, int32_t scan_type,
                             uint32_t nonzero, int32_t scale, int32_t shift, double rate_weight) {
  if (log2_size < 2 || log2_size > 5 || scan_type < 0 || scan_type > 2 || scale < 0 || shift < 0 || shift > 34)
    return sign_hide_c(levels, coef, log2_size, scan_type, nonzero, scale, shift, rate_weight);
  hide_consts_t k;
  for (int from = 0; from < 2; from++)
    for (int half = 0; half < 2; half++)
      k.scan.c[from][half] =
          _mm_loadu_si128(reinterpret_cast<const __m128i *>(scan_shuffles[scan_type][from][half].data()));
  k.scale = _mm_set1_epi64x(scale);
  k.step = _mm_set1_epi64x(int64_t{1} << shift);
  k.shift = _mm_cvtsi32_si128(shift);
  k.weight = _mm_set1_pd(rate_weight);
  k.inf = _mm_set1_pd(__builtin_inf());
  k.inner = residual_ctx::inner_scan[scan_type].data();
  switch (log2_size) {
    case 2: return hide_block<4>(levels, coef, nonzero, k);
    case 3: return hide_block<8>(levels, coef, nonzero, k);
    case 4: return hide_block<16>(levels, coef, nonzero, k);
    default: return hide_block<32>(levels, coef, nonzero, k);
  }
}
