// Quantisation table kernels of the SSSE3 tier: quantisation and
// dequantisation eight coefficients at a time, and the data-parallel first
// step of both RDOQ variants (rounded levels, the block's zero-level
// distortion, group maps, the candidate distortions of every group row
// holding a rounded level), whose sequential decision is the portable one.
//
// Products: |c| * scale from the low and high halves of the 16-bit
// multiply (exact below 2^32); the distortion's 64-bit products from the
// 32 x 32 -> 64-bit multiply, two lanes at a time.  quant_ranges.h holds the
// argument ranges inside which these equal the portable 64-bit arithmetic.
#include <tmmintrin.h>

#include <cstring>

#include "common/rdoq.h"
#include "simd/x86/simd_install.h"
#include "simd/x86/transform/quant_kernels.h"
#include "simd/x86/transform/quant_ranges.h"
#include "simd/x86/transform/quant_zero_sums.h"

namespace {

inline __m128i load8(const int16_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
inline void store8(int16_t *p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v); }

template <int32_t Count>
uint32_t quant_body(int16_t *levels, const int16_t *coef, int32_t scale, int32_t shift, int32_t offset) {
  const __m128i s = _mm_set1_epi16(static_cast<int16_t>(scale)), off = _mm_set1_epi32(offset);
  const __m128i sh = _mm_cvtsi32_si128(shift), zero = _mm_setzero_si128();
  __m128i zeros = zero;  // per lane: minus the number of zero levels
  for (int32_t k = 0; k < Count; k += 8) {
    const __m128i c = load8(coef + k), a = _mm_abs_epi16(c);
    const __m128i lo = _mm_mullo_epi16(a, s), hi = _mm_mulhi_epu16(a, s);
    const __m128i p0 = _mm_srl_epi32(_mm_add_epi32(_mm_unpacklo_epi16(lo, hi), off), sh);
    const __m128i p1 = _mm_srl_epi32(_mm_add_epi32(_mm_unpackhi_epi16(lo, hi), off), sh);
    const __m128i level = _mm_sign_epi16(_mm_packs_epi32(p0, p1), c);
    store8(levels + k, level);
    zeros = _mm_add_epi16(zeros, _mm_cmpeq_epi16(level, zero));
  }
  __m128i z = _mm_madd_epi16(zeros, _mm_set1_epi16(1));
  z = _mm_add_epi32(z, _mm_shuffle_epi32(z, 0x4E));
  z = _mm_add_epi32(z, _mm_shuffle_epi32(z, 0xB1));
  return static_cast<uint32_t>(Count + _mm_cvtsi128_si32(z));
}

uint32_t quant_4x4_ssse3(int16_t *l, const int16_t *c, int32_t scale, int32_t shift, int32_t offset) {
  return quant_body<16>(l, c, scale, shift, offset);
}
uint32_t quant_8x8_ssse3(int16_t *l, const int16_t *c, int32_t scale, int32_t shift, int32_t offset) {
  return quant_body<64>(l, c, scale, shift, offset);
}
uint32_t quant_16x16_ssse3(int16_t *l, const int16_t *c, int32_t scale, int32_t shift, int32_t offset) {
  return quant_body<256>(l, c, scale, shift, offset);
}
uint32_t quant_32x32_ssse3(int16_t *l, const int16_t *c, int32_t scale, int32_t shift, int32_t offset) {
  return quant_body<1024>(l, c, scale, shift, offset);
}

// Slot 0 takes any count: the four block sizes have their own kernel.
uint32_t quant_nxn_ssse3(int16_t *levels, const int16_t *coef, int32_t count, int32_t scale, int32_t shift,
                         int32_t offset) {
  if (quant_in_range(count, scale, shift, offset, 8)) {
    switch (count) {
      case 16: return quant_4x4_ssse3(levels, coef, scale, shift, offset);
      case 64: return quant_8x8_ssse3(levels, coef, scale, shift, offset);
      case 256: return quant_16x16_ssse3(levels, coef, scale, shift, offset);
      case 1024: return quant_32x32_ssse3(levels, coef, scale, shift, offset);
      default: break;
    }
  }
  return quant_c(levels, coef, count, scale, shift, offset);
}

template <int32_t Count>
void dequant_body(int16_t *coef, const int16_t *levels, const dequant_range_t &r, int32_t) {
  const __m128i odd = _mm_set1_epi16(static_cast<int16_t>(r.odd));
  if (!r.widen) {
    const __m128i add = _mm_set1_epi32(r.add), right = _mm_cvtsi32_si128(r.right);
    for (int32_t k = 0; k < Count; k += 8) {
      const __m128i l = load8(levels + k);
      const __m128i pl = _mm_mullo_epi16(l, odd), ph = _mm_mulhi_epi16(l, odd);
      const __m128i p0 = _mm_sra_epi32(_mm_add_epi32(_mm_unpacklo_epi16(pl, ph), add), right);
      const __m128i p1 = _mm_sra_epi32(_mm_add_epi32(_mm_unpackhi_epi16(pl, ph), add), right);
      store8(coef + k, _mm_packs_epi32(p0, p1));
    }
    return;
  }
  const __m128i left = _mm_cvtsi32_si128(r.left);
  for (int32_t k = 0; k < Count; k += 8) {
    const __m128i l = load8(levels + k);
    const __m128i pl = _mm_mullo_epi16(l, odd), ph = _mm_mulhi_epi16(l, odd);
    const __m128i v = _mm_packs_epi32(_mm_unpacklo_epi16(pl, ph), _mm_unpackhi_epi16(pl, ph));
    const __m128i sign = _mm_srai_epi16(v, 15);
    const __m128i p0 = _mm_sll_epi32(_mm_unpacklo_epi16(v, sign), left);
    const __m128i p1 = _mm_sll_epi32(_mm_unpackhi_epi16(v, sign), left);
    store8(coef + k, _mm_packs_epi32(p0, p1));
  }
}

void dequant_4x4_ssse3(int16_t *c, const int16_t *l, const dequant_range_t &r, int32_t shift) {
  dequant_body<16>(c, l, r, shift);
}
void dequant_8x8_ssse3(int16_t *c, const int16_t *l, const dequant_range_t &r, int32_t shift) {
  dequant_body<64>(c, l, r, shift);
}
void dequant_16x16_ssse3(int16_t *c, const int16_t *l, const dequant_range_t &r, int32_t shift) {
  dequant_body<256>(c, l, r, shift);
}
void dequant_32x32_ssse3(int16_t *c, const int16_t *l, const dequant_range_t &r, int32_t shift) {
  dequant_body<1024>(c, l, r, shift);
}

// Slot 1 takes any count, like slot 0.
void dequant_nxn_ssse3(int16_t *coef, const int16_t *levels, int32_t count, int32_t scale, int32_t shift) {
  const dequant_range_t r = dequant_range(count, scale, shift, 8);
  if (r.ok) {
    switch (count) {
      case 16: return dequant_4x4_ssse3(coef, levels, r, shift);
      case 64: return dequant_8x8_ssse3(coef, levels, r, shift);
      case 256: return dequant_16x16_ssse3(coef, levels, r, shift);
      case 1024: return dequant_32x32_ssse3(coef, levels, r, shift);
      default: break;
    }
  }
  dequant_c(coef, levels, count, scale, shift);
}

// The first step's distortion arithmetic (rdoq.h) two positions at a time
// in 64-bit lanes, where prep_dists_in_range holds.
struct dist_consts_ssse3_t {
  __m128i scale16, step32;  // step: 2^shift, the error of one level less
  __m128i recip, weight;
  __m128i shift, dist_shift;
  // With the weight 256: the shifts that take a square to its distortion
  // in one step, dist_shift - 8 for a level's (its square stays below
  // 2^50: e8 is about 256 times an error of at most one and a half steps
  // in coefficient units, below 2^25) and 24 - dist_shift for level 0's
  // (c^2 < 2^30, shifted left by at most 12).
  __m128i unit_level_shift, unit_zero_shift;
  bool unit;  // weight 256
};

dist_consts_ssse3_t dist_consts_ssse3(const rdoq_dist_params_t *p) {
  return {_mm_set1_epi16(static_cast<int16_t>(p->scale)),
          _mm_set1_epi32(static_cast<int32_t>(int64_t{1} << p->shift)),
          _mm_set1_epi64x(p->recip),
          _mm_set1_epi64x(p->weight),
          _mm_cvtsi32_si128(p->shift),
          _mm_cvtsi32_si128(p->dist_shift),
          _mm_cvtsi32_si128(p->dist_shift - 8),
          _mm_cvtsi32_si128(24 - p->dist_shift),
          p->weight == 256 && p->dist_shift >= 8 && p->dist_shift <= 24};
}

// v * weight for v < 2^52, from v's two 32-bit halves.
inline __m128i times_weight(__m128i v, const dist_consts_ssse3_t &k) {
  if (k.unit) return _mm_slli_epi64(v, 8);
  const __m128i lo = _mm_mul_epu32(v, k.weight), hi = _mm_mul_epu32(_mm_srli_epi64(v, 32), k.weight);
  return _mm_add_epi64(lo, _mm_slli_epi64(hi, 32));
}

// rdoq_level_dist of errors whose low 32 bits hold |err|.
template <bool Unit>
inline __m128i level_dist_ssse3(__m128i abs_err, const dist_consts_ssse3_t &k) {
  const __m128i e8 = _mm_srli_epi64(_mm_mul_epu32(abs_err, k.recip), 32);
  if (Unit) return _mm_srl_epi64(_mm_mul_epu32(e8, e8), k.unit_level_shift);
  return _mm_srl_epi64(times_weight(_mm_mul_epu32(e8, e8), k), k.dist_shift);
}

// The three distortions of the four positions from raster position at, in
// 32-bit lanes up to the magnitudes of the errors (the rounded level's
// lies within +-2^31, one level less is positive), then two at a time.
template <bool Unit>
inline void row_dists_ssse3(rdoq_prep_t *out, const int16_t *coef, int32_t at, const dist_consts_ssse3_t &k) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i a = _mm_abs_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(coef + at)));
  const __m128i r = _mm_unpacklo_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(out->rounded + at)), zero);
  const __m128i scaled = _mm_unpacklo_epi16(_mm_mullo_epi16(a, k.scale16), _mm_mulhi_epu16(a, k.scale16));
  const __m128i err = _mm_sub_epi32(scaled, _mm_sll_epi32(r, k.shift));
  const __m128i level = _mm_abs_epi32(err), below = _mm_add_epi32(err, k.step32);
  const __m128i a32 = _mm_unpacklo_epi16(a, zero);
  auto store = [](int64_t *p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v); };
  for (int32_t h = 0; h < 2; h++) {
    auto spread = [&](__m128i v) { return h ? _mm_unpackhi_epi32(v, zero) : _mm_unpacklo_epi32(v, zero); };
    store(out->level_dist + at + 2 * h, level_dist_ssse3<Unit>(spread(level), k));
    store(out->below_dist + at + 2 * h, level_dist_ssse3<Unit>(spread(below), k));
    const __m128i c = spread(a32), sq = _mm_mul_epu32(c, c);
    store(out->zero_dist + at + 2 * h, Unit ? _mm_sll_epi64(sq, k.unit_zero_shift)
                                            : _mm_srl_epi64(_mm_slli_epi64(times_weight(sq, k), 16), k.dist_shift));
  }
}

// The group maps (cleared first) and mask from the non-zero rounded levels
// of the eight raster positions from k (bit j for position k + j): two
// rows of the group of a 4x4 block, else one row of two groups.
inline void group_rows8(rdoq_prep_t *out, uint64_t *mask, uint32_t bits, int32_t k, int32_t log2) {
  if (log2 == 2) {
    out->group_map[0] = static_cast<uint16_t>(out->group_map[0] | bits << k);
    *mask |= bits != 0;
    return;
  }
  const int32_t n = 1 << log2, groups = n >> 2, y = k >> log2, sh = 4 * (y & 3);
  const int32_t g0 = (y >> 2) * groups + ((k & (n - 1)) >> 2);
  const uint32_t left = bits & 15, right = bits >> 4;
  out->group_map[g0] = static_cast<uint16_t>(out->group_map[g0] | left << sh);
  out->group_map[g0 + 1] = static_cast<uint16_t>(out->group_map[g0 + 1] | right << sh);
  *mask |= uint64_t{(left != 0) | static_cast<uint32_t>(right != 0) << 1} << g0;
}

// The group maps and mask from the non-zero rounded levels of the sixteen
// raster positions from k, as group_rows8 twice; in blocks from 16x16 on
// the sixteen is one row of four groups side by side, whose maps take their
// four bits each in one 64-bit read-modify-write.  Returns which
// four-position runs hold a level (bit j for run j).
inline uint32_t group_rows16(rdoq_prep_t *out, uint64_t *mask, uint32_t bits, int32_t k, int32_t log2) {
  const uint32_t any = (bits | bits >> 1 | bits >> 2 | bits >> 3) & 0x1111u;
  const uint32_t runs = (any | any >> 3 | any >> 6 | any >> 9) & 15;
  if (log2 <= 3) {
    // An eight with no level adds nothing to the maps: no branch on it.
    group_rows8(out, mask, bits & 255, k, log2);
    group_rows8(out, mask, bits >> 8, k + 8, log2);
    return runs;
  }
  const int32_t n = 1 << log2, groups = n >> 2, y = k >> log2;
  const int32_t g0 = (y >> 2) * groups + ((k & (n - 1)) >> 2);
  const uint64_t b = bits;
  const uint64_t spread = (b & 0xf) | (b & 0xf0) << 12 | (b & 0xf00) << 24 | (b & 0xf000) << 36;
  uint64_t maps;
  std::memcpy(&maps, out->group_map + g0, sizeof maps);
  maps |= spread << (4 * (y & 3));
  std::memcpy(out->group_map + g0, &maps, sizeof maps);
  *mask |= uint64_t{runs} << g0;
  return runs;
}

}  // namespace

// Sixteen raster positions at a time, as two registers of eight whose low
// and high four lie in one group each (the same group in a 4x4 block,
// whose rows are four wide): the two registers' zero tests pack into one
// mask, so the bookkeeping per sixteen is that of the AVX2 tier.  As in
// the AVX2 tier, the pass over the block keeps only which positions of each
// sixteen round to a level; the group maps and candidate distortions follow
// for those sixteens alone.
void rdoq_prep_ssse3(rdoq_prep_t *out, const int16_t *coef, const rdoq_dist_params_t *p) {
  const int32_t log2 = p->log2_size, count = 1 << (2 * log2);
  const __m128i s = _mm_set1_epi16(static_cast<int16_t>(p->scale));
  const __m128i half = _mm_set1_epi32(1 << (p->shift - 1)), sh = _mm_cvtsi32_si128(p->shift);
  const __m128i zero = _mm_setzero_si128();
  // Rounded levels above 32767 saturate to it, as the portable minimum.
  auto round8 = [&](__m128i a) {
    const __m128i lo = _mm_mullo_epi16(a, s), hi = _mm_mulhi_epu16(a, s);
    const __m128i s0 = _mm_unpacklo_epi16(lo, hi), s1 = _mm_unpackhi_epi16(lo, hi);
    return _mm_packs_epi32(_mm_srl_epi32(_mm_add_epi32(s0, half), sh), _mm_srl_epi32(_mm_add_epi32(s1, half), sh));
  };
  uint16_t nonzero[64];   // by sixteen: bit j, position 16 * sixteen + j rounds to a level
  uint64_t sixteens = 0;  // bit c: nonzero[c] is not 0
  for (int32_t k = 0; k < count; k += 16) {
    const __m128i c0 = load8(coef + k), c1 = load8(coef + k + 8);
    const __m128i r0 = round8(_mm_abs_epi16(c0)), r1 = round8(_mm_abs_epi16(c1));
    store8(out->rounded + k, r0);
    store8(out->rounded + k + 8, r1);
    const __m128i is_zero = _mm_packs_epi16(_mm_cmpeq_epi16(r0, zero), _mm_cmpeq_epi16(r1, zero));
    const uint32_t m = ~static_cast<uint32_t>(_mm_movemask_epi8(is_zero)) & 0xffff;
    nonzero[k >> 4] = static_cast<uint16_t>(m);
    sixteens |= uint64_t{m != 0} << (k >> 4);
  }
  // Most blocks of a real encode round to nothing at all.
  if (!sixteens) {
    out->group_mask = 0;
    return;
  }
  uint64_t mask = 0;
  std::memset(out->group_map, 0, sizeof out->group_map);
  const bool vector_dists = prep_dists_in_range(p);
  const dist_consts_ssse3_t dk = dist_consts_ssse3(p);
  for (; sixteens; sixteens &= sixteens - 1) {
    const int32_t k = 16 * __builtin_ctzll(sixteens);
    // Bit j: four-position run j holds a level.
    for (uint32_t runs = group_rows16(out, &mask, nonzero[k >> 4], k, log2); runs; runs &= runs - 1) {
      const int32_t at = k + 4 * __builtin_ctz(runs);
      if (vector_dists && dk.unit)
        row_dists_ssse3<true>(out, coef, at, dk);
      else if (vector_dists)
        row_dists_ssse3<false>(out, coef, at, dk);
      else
        prep_row_dists(out, coef, at, p);
    }
  }
  out->group_mask = mask;
}

void rdoq_zero_sums_ssse3(uint16_t *out, const uint8_t *inc, const uint16_t *cost, uint32_t set) {
  zero_sums_128(out, inc, cost, set);
}

namespace {

constexpr rdoq_tier_t tier_ssse3 = {rdoq_prep_ssse3, rdoq_zero_sums_ssse3};

uint32_t rdoq_nxn_ssse3(const rdoq_request_t *req) { return rdoq_decide(req, 0, tier_ssse3); }
uint32_t rdoq_alt_nxn_ssse3(const rdoq_request_t *req) { return rdoq_decide(req, 1, tier_ssse3); }

}  // namespace

void install_quant_ssse3(quant_funcs_t *q) {
  q->quant = quant_nxn_ssse3;
  q->dequant = dequant_nxn_ssse3;
  q->rdoq = rdoq_nxn_ssse3;
  q->rdoq_alt = rdoq_alt_nxn_ssse3;
  q->sign_hide = sign_hide_nxn_ssse3;
}
