// Quantisation table kernels of the AVX2 tier: the SSSE3 tier's arithmetic
// (quant_ssse3.cpp) sixteen coefficients at a time.  The 16-bit products
// unpack within each 128-bit half and pack back in the same order, so
// quantisation and dequantisation need no lane crossing; the RDOQ step
// reorders its 64-bit distortions to raster order with two half swaps.
#include <immintrin.h>

#include "common/rdoq.h"
#include "simd/x86/simd_install.h"
#include "simd/x86/transform/quant_ranges.h"

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

// Slot 1 takes any count, like slot 0.
void dequant_nxn_avx2(int16_t *coef, const int16_t *levels, int32_t count, int32_t scale, int32_t shift) {
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

// Distortions of eight 32-bit quantiser-unit errors (below 2^30), as in
// quant_ssse3.cpp: lanes 0, 2 (| 4, 6 of the half) in `even`, 1, 3 in `odd`.
inline void zero_dist8(__m256i scaled, __m256i recip, __m256i weight, __m128i dshift, __m256i *even, __m256i *odd) {
  const __m256i e8_even = _mm256_srli_epi64(_mm256_mul_epu32(scaled, recip), 32);
  const __m256i e8_odd = _mm256_srli_epi64(_mm256_mul_epu32(_mm256_srli_epi64(scaled, 32), recip), 32);
  const __m256i sq_even = _mm256_mul_epu32(e8_even, e8_even), sq_odd = _mm256_mul_epu32(e8_odd, e8_odd);
  const __m256i w_even = _mm256_add_epi64(
      _mm256_mul_epu32(sq_even, weight), _mm256_slli_epi64(_mm256_mul_epu32(_mm256_srli_epi64(sq_even, 32), weight), 32));
  const __m256i w_odd = _mm256_add_epi64(
      _mm256_mul_epu32(sq_odd, weight), _mm256_slli_epi64(_mm256_mul_epu32(_mm256_srli_epi64(sq_odd, 32), weight), 32));
  *even = _mm256_srl_epi64(w_even, dshift);
  *odd = _mm256_srl_epi64(w_odd, dshift);
}

// Sixteen raster positions at a time, four per group quarter.
void rdoq_prep_avx2(rdoq_prep_t *out, const int16_t *coef, const rdoq_dist_params_t *p) {
  const int32_t log2 = p->log2_size, n = 1 << log2, count = n * n, groups = n >> 2;
  const __m256i s = _mm256_set1_epi16(static_cast<int16_t>(p->scale));
  const __m256i half = _mm256_set1_epi32(1 << (p->shift - 1));
  const __m128i sh = _mm_cvtsi32_si128(p->shift), dshift = _mm_cvtsi32_si128(p->dist_shift);
  const __m256i recip = _mm256_set1_epi64x(p->recip), weight = _mm256_set1_epi64x(p->weight);
  const __m256i zero = _mm256_setzero_si256();
  __m256i total = zero;
  uint64_t mask = 0;
  for (int32_t k = 0; k < count; k += 16) {
    const __m256i a = _mm256_abs_epi16(load16(coef + k));
    const __m256i lo = _mm256_mullo_epi16(a, s), hi = _mm256_mulhi_epu16(a, s);
    // Positions 0-3 | 8-11 and 4-7 | 12-15.
    const __m256i s0 = _mm256_unpacklo_epi16(lo, hi), s1 = _mm256_unpackhi_epi16(lo, hi);
    const __m256i rounded = _mm256_packs_epi32(_mm256_srl_epi32(_mm256_add_epi32(s0, half), sh),
                                               _mm256_srl_epi32(_mm256_add_epi32(s1, half), sh));
    store16(out->rounded + k, rounded);
    const uint32_t zero_bits = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(rounded, zero)));
    for (int32_t q = 0; q < 4; q++) {
      if (((zero_bits >> (8 * q)) & 0xff) == 0xff) continue;
      const int32_t at = k + 4 * q, y = at >> log2, x = at & (n - 1);
      mask |= uint64_t{1} << ((y >> 2) * groups + (x >> 2));
    }
    __m256i e0, o0, e1, o1;
    zero_dist8(s0, recip, weight, dshift, &e0, &o0);
    zero_dist8(s1, recip, weight, dshift, &e1, &o1);
    // (0 1 | 8 9), (2 3 | 10 11), (4 5 | 12 13), (6 7 | 14 15).
    const __m256i a01 = _mm256_unpacklo_epi64(e0, o0), a23 = _mm256_unpackhi_epi64(e0, o0);
    const __m256i a45 = _mm256_unpacklo_epi64(e1, o1), a67 = _mm256_unpackhi_epi64(e1, o1);
    __m256i *d = reinterpret_cast<__m256i *>(out->zero_dist + k);
    _mm256_store_si256(d, _mm256_permute2x128_si256(a01, a23, 0x20));
    _mm256_store_si256(d + 1, _mm256_permute2x128_si256(a45, a67, 0x20));
    _mm256_store_si256(d + 2, _mm256_permute2x128_si256(a01, a23, 0x31));
    _mm256_store_si256(d + 3, _mm256_permute2x128_si256(a45, a67, 0x31));
    total = _mm256_add_epi64(total, _mm256_add_epi64(_mm256_add_epi64(e0, o0), _mm256_add_epi64(e1, o1)));
  }
  __m128i t = _mm_add_epi64(_mm256_castsi256_si128(total), _mm256_extracti128_si256(total, 1));
  t = _mm_add_epi64(t, _mm_unpackhi_epi64(t, t));
  out->zero_total = _mm_cvtsi128_si64(t);
  out->group_mask = mask;
}

uint32_t rdoq_nxn_avx2(const rdoq_request_t *req) { return rdoq_decide(req, 0, rdoq_prep_avx2); }
uint32_t rdoq_alt_nxn_avx2(const rdoq_request_t *req) { return rdoq_decide(req, 1, rdoq_prep_avx2); }

}  // namespace

void install_quant_avx2(quant_funcs_t *q) {
  q->quant = quant_nxn_avx2;
  q->dequant = dequant_nxn_avx2;
  q->rdoq = rdoq_nxn_avx2;
  q->rdoq_alt = rdoq_alt_nxn_avx2;
}
