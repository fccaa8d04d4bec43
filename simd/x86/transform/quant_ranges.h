// Argument ranges inside which the vector quantisation kernels compute in
// 16- and 32-bit lanes exactly what the portable functions compute in 64
// bits; outside them (no caller goes there: quant_params and dequant_params
// stay well inside) a kernel hands the call to the portable function.
// Anonymous namespace: each tier's file compiles its own copy with its own
// instruction set.
#pragma once

#include <cstdint>

#include "common/rdoq.h"

namespace {

// quant: |c| * scale + offset stays below 2^31, a level stays within
// 0..32767 before its sign (so no clamp is ever needed), and a zero
// coefficient gives the level 0.
inline bool quant_in_range(int32_t count, int32_t scale, int32_t shift, int32_t offset, int32_t step) {
  if (count <= 0 || count % step || scale <= 0 || scale > 32767 || shift < 1 || shift > 30 || offset < 0) return false;
  if (offset >= (int32_t{1} << shift)) return false;
  return ((int64_t{32768} * scale + offset) >> shift) <= 32767;
}

// dequant: scale = odd << up with odd below 2^15, so a level times odd is
// exact in 32 bits (below 2^30 in magnitude).  (l * scale + 2^(shift - 1))
// >> shift is then, with no division and nothing that can overflow:
//  - up < shift: (l * odd + 2^(shift - up - 1)) >> (shift - up);
//  - up >= shift: l * odd * 2^(up - shift), which saturates to int16
//    exactly as l * odd saturated first and then shifted by at most 16.
// The final narrowing with saturation is the portable function's clip.
struct dequant_range_t {
  bool ok;
  bool widen;         // the second form
  int32_t odd;
  int32_t add, right;  // first form
  int32_t left;        // second form, min(up - shift, 16)
};

inline dequant_range_t dequant_range(int32_t count, int32_t scale, int32_t shift, int32_t step) {
  dequant_range_t r{false, false, 0, 0, 0, 0};
  if (count <= 0 || count % step || scale <= 0 || shift < 1 || shift > 30) return r;
  const int32_t up = __builtin_ctz(static_cast<uint32_t>(scale));
  r.odd = scale >> up;
  if (r.odd > 32767) return r;
  r.widen = up >= shift;
  if (r.widen) {
    r.left = up - shift < 16 ? up - shift : 16;
  } else {
    r.right = shift - up;
    r.add = int32_t{1} << (shift - up - 1);
  }
  r.ok = true;
  return r;
}

// Whether the first step's distortions fit the vector tiers' 32 x 32-bit
// products: with |err| < 2^31 (|c| * scale < 2^30 and the rounded level's
// step below it) and recip < 2^32, e8 = |err| * recip >> 32 < 2^31 and its
// square is one more such product; the weight (at most 4096) multiplies
// the square's two 32-bit halves apart.
inline bool prep_dists_in_range(const rdoq_dist_params_t *p) {
  return p->recip > 0 && p->recip < (int64_t{1} << 32) && p->weight > 0 && p->weight <= 4096 && p->shift < 31;
}

// The candidate distortions of the positions of one group row (four from
// raster position at) whose rounded level is not 0, as the portable first
// step computes them: the route of parameters outside the vector range.
inline void prep_row_dists(rdoq_prep_t *out, const int16_t *coef, int32_t at, const rdoq_dist_params_t *p) {
  for (int32_t i = at; i < at + 4; i++)
    if (out->rounded[i]) rdoq_candidate_dists(out, coef, i, p);
}

}  // namespace
