// Quantisation table kernels of the AVX2 tier: the SSSE3 tier's arithmetic
// (quant_ssse3.cpp) sixteen coefficients at a time.  The 16-bit products
// unpack within each 128-bit half and pack back in the same order, so
// quantisation and dequantisation need no lane crossing; the RDOQ step
// forms the candidate distortions of a group row (four positions) in the
// four 64-bit lanes of one register.
#include <immintrin.h>

#include <cstring>
#include <type_traits>

#include "common/rdoq.h"
#include "simd/x86/simd_install.h"
#include "simd/x86/transform/quant_kernels.h"
#include "simd/x86/transform/quant_ranges.h"
#include "simd/x86/transform/quant_zero_sums.h"

namespace {

inline __m256i load16(const int16_t *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }
inline void store16(int16_t *p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v); }

inline int32_t sum_epi32(__m256i v) {
  __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
  return _mm_cvtsi128_si32(s);
}

template <int32_t Count>
uint32_t quant_body(int16_t *levels, const int16_t *coef, int32_t scale, int32_t shift, int32_t offset) {
  const __m256i s = _mm256_set1_epi16(static_cast<int16_t>(scale)), off = _mm256_set1_epi32(offset);
  const __m128i sh = _mm_cvtsi32_si128(shift);
  const __m256i zero = _mm256_setzero_si256();
  __m256i zeros = zero;  // per lane: minus the number of zero levels
  for (int32_t k = 0; k < Count; k += 16) {
    const __m256i c = load16(coef + k), a = _mm256_abs_epi16(c);
    const __m256i lo = _mm256_mullo_epi16(a, s), hi = _mm256_mulhi_epu16(a, s);
    const __m256i p0 = _mm256_srl_epi32(_mm256_add_epi32(_mm256_unpacklo_epi16(lo, hi), off), sh);
    const __m256i p1 = _mm256_srl_epi32(_mm256_add_epi32(_mm256_unpackhi_epi16(lo, hi), off), sh);
    const __m256i level = _mm256_sign_epi16(_mm256_packs_epi32(p0, p1), c);
    store16(levels + k, level);
    zeros = _mm256_add_epi16(zeros, _mm256_cmpeq_epi16(level, zero));
  }
  return static_cast<uint32_t>(Count + sum_epi32(_mm256_madd_epi16(zeros, _mm256_set1_epi16(1))));
}

uint32_t quant_4x4_avx2(int16_t *l, const int16_t *c, int32_t scale, int32_t shift, int32_t offset) {
  return quant_body<16>(l, c, scale, shift, offset);
}
uint32_t quant_8x8_avx2(int16_t *l, const int16_t *c, int32_t scale, int32_t shift, int32_t offset) {
  return quant_body<64>(l, c, scale, shift, offset);
}
uint32_t quant_16x16_avx2(int16_t *l, const int16_t *c, int32_t scale, int32_t shift, int32_t offset) {
  return quant_body<256>(l, c, scale, shift, offset);
}
uint32_t quant_32x32_avx2(int16_t *l, const int16_t *c, int32_t scale, int32_t shift, int32_t offset) {
  return quant_body<1024>(l, c, scale, shift, offset);
}

// Slot 0 takes any count: the four block sizes have their own kernel.
uint32_t quant_nxn_avx2(int16_t *levels, const int16_t *coef, int32_t count, int32_t scale, int32_t shift,
                        int32_t offset) {
  if (quant_in_range(count, scale, shift, offset, 16)) {
    switch (count) {
      case 16: return quant_4x4_avx2(levels, coef, scale, shift, offset);
      case 64: return quant_8x8_avx2(levels, coef, scale, shift, offset);
      case 256: return quant_16x16_avx2(levels, coef, scale, shift, offset);
      case 1024: return quant_32x32_avx2(levels, coef, scale, shift, offset);
      default: break;
    }
  }
  return quant_c(levels, coef, count, scale, shift, offset);
}

template <int32_t Count>
void dequant_body(int16_t *coef, const int16_t *levels, const dequant_range_t &r, int32_t) {
  const __m256i odd = _mm256_set1_epi16(static_cast<int16_t>(r.odd));
  if (!r.widen) {
    const __m256i add = _mm256_set1_epi32(r.add);
    const __m128i right = _mm_cvtsi32_si128(r.right);
    for (int32_t k = 0; k < Count; k += 16) {
      const __m256i l = load16(levels + k);
      const __m256i pl = _mm256_mullo_epi16(l, odd), ph = _mm256_mulhi_epi16(l, odd);
      const __m256i p0 = _mm256_sra_epi32(_mm256_add_epi32(_mm256_unpacklo_epi16(pl, ph), add), right);
      const __m256i p1 = _mm256_sra_epi32(_mm256_add_epi32(_mm256_unpackhi_epi16(pl, ph), add), right);
      store16(coef + k, _mm256_packs_epi32(p0, p1));
    }
    return;
  }
  const __m128i left = _mm_cvtsi32_si128(r.left);
  for (int32_t k = 0; k < Count; k += 16) {
    const __m256i l = load16(levels + k);
    const __m256i pl = _mm256_mullo_epi16(l, odd), ph = _mm256_mulhi_epi16(l, odd);
    const __m256i v = _mm256_packs_epi32(_mm256_unpacklo_epi16(pl, ph), _mm256_unpackhi_epi16(pl, ph));
    const __m256i sign = _mm256_srai_epi16(v, 15);
    const __m256i p0 = _mm256_sll_epi32(_mm256_unpacklo_epi16(v, sign), left);
    const __m256i p1 = _mm256_sll_epi32(_mm256_unpackhi_epi16(v, sign), left);
    store16(coef + k, _mm256_packs_epi32(p0, p1));
  }
}

void dequant_4x4_avx2(int16_t *c, const int16_t *l, const dequant_range_t &r, int32_t shift) {
  dequant_body<16>(c, l, r, shift);
}
void dequant_8x8_avx2(int16_t *c, const int16_t *l, const dequant_range_t &r, int32_t shift) {
  dequant_body<64>(c, l, r, shift);
}
void dequant_16x16_avx2(int16_t *c, const int16_t *l, const dequant_range_t &r, int32_t shift) {
  dequant_body<256>(c, l, r, shift);
}
void dequant_32x32_avx2(int16_t *c, const int16_t *l, const dequant_range_t &r, int32_t shift) {
  dequant_body<1024>(c, l, r, shift);
}

// Where scale is a multiple of 2^shift (the level scale's power of two
// and the QP's sixth cover the shift from QP 22 up for every block size,
// and at all but a few low QPs for the small ones), the rounding term
// never reaches the product and the result is sat16(l * (scale >> shift));
// with that factor below 2^15, l times it is exact in 32 bits.  The signed
// 16-bit products' halves, unpacked and packed back with saturation, give
// it in five instructions per sixteen coefficients.
template <int32_t Count>
void dequant_whole_body(int16_t *coef, const int16_t *levels, int32_t factor) {
  const __m256i f = _mm256_set1_epi16(static_cast<int16_t>(factor));
  for (int32_t k = 0; k < Count; k += 16) {
    const __m256i l = load16(levels + k);
    const __m256i pl = _mm256_mullo_epi16(l, f), ph = _mm256_mulhi_epi16(l, f);
    store16(coef + k, _mm256_packs_epi32(_mm256_unpacklo_epi16(pl, ph), _mm256_unpackhi_epi16(pl, ph)));
  }
}

// Slot 1 takes any count, like slot 0.
void dequant_nxn_avx2(int16_t *coef, const int16_t *levels, int32_t count, int32_t scale, int32_t shift) {
  if (static_cast<uint32_t>(shift - 1) < 30 && scale > 0 && !(scale & ((int32_t{1} << shift) - 1)) &&
      (scale >> shift) <= 32767) {
    const int32_t factor = scale >> shift;
    switch (count) {
      case 16: return dequant_whole_body<16>(coef, levels, factor);
      case 64: return dequant_whole_body<64>(coef, levels, factor);
      case 256: return dequant_whole_body<256>(coef, levels, factor);
      case 1024: return dequant_whole_body<1024>(coef, levels, factor);
      default: break;
    }
  }
  const dequant_range_t r = dequant_range(count, scale, shift, 16);
  if (r.ok) {
    switch (count) {
      case 16: return dequant_4x4_avx2(coef, levels, r, shift);
      case 64: return dequant_8x8_avx2(coef, levels, r, shift);
      case 256: return dequant_16x16_avx2(coef, levels, r, shift);
      case 1024: return dequant_32x32_avx2(coef, levels, r, shift);
      default: break;
    }
  }
  dequant_c(coef, levels, count, scale, shift);
}

// The first step's distortion arithmetic (rdoq.h) in 64-bit lanes, one
// per position of a group row, where prep_dists_in_range holds.
struct dist_consts_avx2_t {
  __m256i scale, recip, weight, step;  // step: 2^shift, the error of one level less
  __m128i shift, dist_shift;
  // With the weight 256 the weighting is a shift by 8, which folds into
  // dist_shift: below it for the level distortions, above it for the
  // zero-level ones (a^2 * 2^24 >> dist_shift, exact as 12 <= dist_shift
  // <= 18).
  __m128i unit_level_shift, unit_zero_shift;
  bool unit;  // weight 256
};

dist_consts_avx2_t dist_consts_avx2(const rdoq_dist_params_t *p) {
  return {_mm256_set1_epi64x(p->scale),
          _mm256_set1_epi64x(p->recip),
          _mm256_set1_epi64x(p->weight),
          _mm256_set1_epi64x(int64_t{1} << p->shift),
          _mm_cvtsi32_si128(p->shift),
          _mm_cvtsi32_si128(p->dist_shift),
          _mm_cvtsi32_si128(p->dist_shift - 8),
          _mm_cvtsi32_si128(24 - p->dist_shift),
          p->weight == 256 && p->dist_shift >= 8 && p->dist_shift <= 24};
}

// v * weight for v < 2^52, from v's two 32-bit halves.
inline __m256i times_weight(__m256i v, const dist_consts_avx2_t &k) {
  const __m256i lo = _mm256_mul_epu32(v, k.weight), hi = _mm256_mul_epu32(_mm256_srli_epi64(v, 32), k.weight);
  return _mm256_add_epi64(lo, _mm256_slli_epi64(hi, 32));
}

// rdoq_level_dist of errors whose low 32 bits hold |err|.  Unit: k.unit
// holds, known when compiling, so that the loops over a block's rows test
// it once.
template <bool Unit>
inline __m256i level_dist_avx2(__m256i abs_err, const dist_consts_avx2_t &k) {
  const __m256i e8 = _mm256_srli_epi64(_mm256_mul_epu32(abs_err, k.recip), 32);
  if (Unit) return _mm256_srl_epi64(_mm256_mul_epu32(e8, e8), k.unit_level_shift);
  return _mm256_srl_epi64(times_weight(_mm256_mul_epu32(e8, e8), k), k.dist_shift);
}

// The three distortions of the four positions from raster position at,
// whose |c| and rounded levels the 64-bit lanes of a and r hold.  The error
// of the rounded level lies within +-2^31, so the absolute value of its low
// 32 bits is its magnitude; one level less the error is positive.
template <bool Unit>
inline void dists_avx2(rdoq_prep_t *out, int32_t at, __m256i a, __m256i r, const dist_consts_avx2_t &k) {
  const __m256i err = _mm256_sub_epi64(_mm256_mul_epu32(a, k.scale), _mm256_sll_epi64(r, k.shift));
  auto store = [](int64_t *p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v); };
  store(out->level_dist + at, level_dist_avx2<Unit>(_mm256_abs_epi32(err), k));
  store(out->below_dist + at, level_dist_avx2<Unit>(_mm256_add_epi64(err, k.step), k));
  const __m256i sq = _mm256_mul_epu32(a, a);
  store(out->zero_dist + at, Unit ? _mm256_sll_epi64(sq, k.unit_zero_shift)
                                  : _mm256_srl_epi64(_mm256_slli_epi64(times_weight(sq, k), 16), k.dist_shift));
}

template <bool Unit>
inline void row_dists_avx2(rdoq_prep_t *out, const int16_t *coef, int32_t at, const dist_consts_avx2_t &k) {
  const __m128i c = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(coef + at));
  const __m256i a = _mm256_cvtepu16_epi64(_mm_abs_epi16(c));
  const __m256i r = _mm256_cvtepu16_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(out->rounded + at)));
  dists_avx2<Unit>(out, at, a, r, k);
}

// The group maps (cleared first) and mask from the non-zero rounded levels
// of the sixteen raster positions from k (bit j for position k + j): one
// row of four groups in blocks from 16x16 on, two rows of two groups in an
// 8x8 block, the whole group of a 4x4 one.  Returns which four-position
// runs hold a level.
inline uint32_t group_rows16(rdoq_prep_t *out, uint64_t *mask, uint32_t bits, int32_t k, int32_t log2) {
  // Bit j: four-position run j of the sixteen holds a level.
  const uint32_t runs = _pext_u32(bits | bits >> 1 | bits >> 2 | bits >> 3, 0x1111u);
  if (log2 == 2) {
    out->group_map[0] = static_cast<uint16_t>(bits);
    *mask |= runs != 0;
    return runs;
  }
  const int32_t n = 1 << log2, groups = n >> 2, y = k >> log2, sh = 4 * (y & 3);
  const int32_t g0 = (y >> 2) * groups + ((k & (n - 1)) >> 2);
  uint16_t *map = out->group_map + g0;
  if (log2 == 3) {
    // Runs 0 and 2 lie in group g0 (rows y and y + 1), 1 and 3 in g0 + 1.
    map[0] = static_cast<uint16_t>(map[0] | (bits & 15) << sh | ((bits >> 8) & 15) << (sh + 4));
    map[1] = static_cast<uint16_t>(map[1] | ((bits >> 4) & 15) << sh | ((bits >> 12) & 15) << (sh + 4));
    *mask |= uint64_t{(runs | runs >> 2) & 3} << g0;
    return runs;
  }
  // The four groups' maps lie side by side: their rows y & 3 in one
  // 64-bit read-modify-write, each run's four bits deposited in its map.
  uint64_t maps;
  std::memcpy(&maps, map, sizeof maps);
  maps |= _pdep_u64(bits, 0x000f000f000f000full) << sh;
  std::memcpy(map, &maps, sizeof maps);
  *mask |= uint64_t{runs} << g0;
  return runs;
}

}  // namespace

// Sixteen raster positions at a time, four per group quarter (two sixteens
// per step of the pass over a block from 8x8 on).  The pass over the block
// keeps only which positions of each sixteen round to a level; the group
// maps and the candidate distortions of every group row holding one follow
// for those sixteens alone, so that the pass has no branch on the data.
namespace {

// A 4x4 block, the most frequent, in one register: no loop, and every row's
// distortions at once rather than those of the rows holding a level (which
// rows do is as good as random).  The group map of the other groups is not
// written: a 4x4 block has one.
void prep_4x4_avx2(rdoq_prep_t *out, const int16_t *coef, const rdoq_dist_params_t *p) {
  const __m256i c = load16(coef), a = _mm256_abs_epi16(c), s = _mm256_set1_epi16(static_cast<int16_t>(p->scale));
  const __m256i half = _mm256_set1_epi32(1 << (p->shift - 1));
  const __m128i sh = _mm_cvtsi32_si128(p->shift);
  const __m256i lo = _mm256_mullo_epi16(a, s), hi = _mm256_mulhi_epu16(a, s);
  const __m256i rounded = _mm256_packs_epi32(_mm256_srl_epi32(_mm256_add_epi32(_mm256_unpacklo_epi16(lo, hi), half), sh),
                                             _mm256_srl_epi32(_mm256_add_epi32(_mm256_unpackhi_epi16(lo, hi), half), sh));
  store16(out->rounded, rounded);
  const uint32_t m = _pext_u32(
      ~static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(rounded, _mm256_setzero_si256()))), 0x55555555u);
  out->group_map[0] = static_cast<uint16_t>(m);
  out->group_mask = m != 0;
  if (!m) return;
  if (!prep_dists_in_range(p)) {
    for (int32_t at = 0; at < 16; at += 4) prep_row_dists(out, coef, at, p);
    return;
  }
  const dist_consts_avx2_t dk = dist_consts_avx2(p);
  const __m128i a01 = _mm256_castsi256_si128(a), a23 = _mm256_extracti128_si256(a, 1);
  const __m128i r01 = _mm256_castsi256_si128(rounded), r23 = _mm256_extracti128_si256(rounded, 1);
  auto rows = [&](auto unit) {
    constexpr bool Unit = decltype(unit)::value;
    dists_avx2<Unit>(out, 0, _mm256_cvtepu16_epi64(a01), _mm256_cvtepu16_epi64(r01), dk);
    dists_avx2<Unit>(out, 4, _mm256_cvtepu16_epi64(_mm_srli_si128(a01, 8)),
                     _mm256_cvtepu16_epi64(_mm_srli_si128(r01, 8)), dk);
    dists_avx2<Unit>(out, 8, _mm256_cvtepu16_epi64(a23), _mm256_cvtepu16_epi64(r23), dk);
    dists_avx2<Unit>(out, 12, _mm256_cvtepu16_epi64(_mm_srli_si128(a23, 8)),
                     _mm256_cvtepu16_epi64(_mm_srli_si128(r23, 8)), dk);
  };
  if (dk.unit)
    rows(std::true_type{});
  else
    rows(std::false_type{});
}

}  // namespace

void rdoq_prep_avx2(rdoq_prep_t *out, const int16_t *coef, const rdoq_dist_params_t *p) {
  if (p->log2_size == 2) return prep_4x4_avx2(out, coef, p);
  const int32_t log2 = p->log2_size, count = 1 << (2 * log2);
  const __m256i s = _mm256_set1_epi16(static_cast<int16_t>(p->scale));
  const __m256i half = _mm256_set1_epi32(1 << (p->shift - 1));
  const __m128i sh = _mm_cvtsi32_si128(p->shift);
  const __m256i zero = _mm256_setzero_si256();
  auto round16 = [&](int32_t k) {
    const __m256i c = load16(coef + k), a = _mm256_abs_epi16(c);
    const __m256i lo = _mm256_mullo_epi16(a, s), hi = _mm256_mulhi_epu16(a, s);
    // Positions 0-3 | 8-11 and 4-7 | 12-15.
    const __m256i s0 = _mm256_unpacklo_epi16(lo, hi), s1 = _mm256_unpackhi_epi16(lo, hi);
    const __m256i rounded = _mm256_packs_epi32(_mm256_srl_epi32(_mm256_add_epi32(s0, half), sh),
                                               _mm256_srl_epi32(_mm256_add_epi32(s1, half), sh));
    store16(out->rounded + k, rounded);
    return rounded;
  };
  // Blocks from 8x8 on hold a multiple of 32 positions: two sixteens at a
  // time, whose levels (0..32767) saturate to bytes that are 0 exactly
  // where the level is, one mask bit per position once the packing's
  // 128-bit lanes are put back in order.
  alignas(32) uint16_t nonzero[64];  // by sixteen: bit j, position 16 * sixteen + j rounds to a level
  for (int32_t k = 0; k < count; k += 32) {
    const __m256i rounded0 = round16(k), rounded1 = round16(k + 16);
    const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packs_epi16(rounded0, rounded1), 0xd8);
    const uint32_t m = ~static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, zero)));
    std::memcpy(nonzero + (k >> 4), &m, sizeof m);
  }
  // Bit c: nonzero[c] is not 0, sixteen entries at a time (the four of an
  // 8x8 block from one 64-bit load, the rest of whose lanes are 0).
  uint64_t sixteens = 0;
  if (count == 64) {
    const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(nonzero));
    sixteens = _pext_u32(~static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi16(v, _mm_setzero_si128()))), 0x5555u);
  } else {
    for (int32_t e = 0; e < count >> 4; e += 16) {
      const __m256i v = _mm256_load_si256(reinterpret_cast<const __m256i *>(nonzero + e));
      sixteens |= uint64_t{_pext_u32(~static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(v, zero))),
                                     0x55555555u)}
                  << e;
    }
  }
  // Most blocks of a real encode round to nothing at all.
  if (!sixteens) {
    out->group_mask = 0;
    return;
  }
  uint64_t mask = 0;
  // Only the block's own groups have maps to set bit by bit.
  if (count == 64) {
    std::memset(out->group_map, 0, 4 * sizeof out->group_map[0]);
  } else {
    for (int32_t e = 0; e < count >> 4; e += 16)
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(out->group_map + e), zero);
  }
  const dist_consts_avx2_t dk = dist_consts_avx2(p);
  // The route of the distortions is chosen once per block.
  auto sixteens_with = [&](auto row_dists) {
    for (; sixteens; sixteens &= sixteens - 1) {
      const int32_t k = 16 * __builtin_ctzll(sixteens);
      const uint32_t rows = nonzero[k >> 4];
      // Bit j: four-position run j holds a level.
      for (uint32_t runs = group_rows16(out, &mask, rows, k, log2); runs; runs &= runs - 1)
        row_dists(k + 4 * __builtin_ctz(runs));
    }
  };
  if (!prep_dists_in_range(p))
    sixteens_with([&](int32_t at) { prep_row_dists(out, coef, at, p); });
  else if (dk.unit)
    sixteens_with([&](int32_t at) { row_dists_avx2<true>(out, coef, at, dk); });
  else
    sixteens_with([&](int32_t at) { row_dists_avx2<false>(out, coef, at, dk); });
  out->group_mask = mask;
}

void rdoq_zero_sums_avx2(uint16_t *out, const uint8_t *inc, const uint16_t *cost, uint32_t set) {
  zero_sums_128(out, inc, cost, set);
}

namespace {

constexpr rdoq_tier_t tier_avx2 = {rdoq_prep_avx2, rdoq_zero_sums_avx2};

uint32_t rdoq_nxn_avx2(const rdoq_request_t *req) { return rdoq_decide(req, 0, tier_avx2); }
uint32_t rdoq_alt_nxn_avx2(const rdoq_request_t *req) { return rdoq_decide(req, 1, tier_avx2); }

}  // namespace

void install_quant_avx2(quant_funcs_t *q) {
  q->quant = quant_nxn_avx2;
  q->dequant = dequant_nxn_avx2;
  q->rdoq = rdoq_nxn_avx2;
  q->rdoq_alt = rdoq_alt_nxn_avx2;
  q->sign_hide = sign_hide_nxn_avx2;
}
