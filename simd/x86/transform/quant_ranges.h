// Argument ranges inside which the vector quantisation kernels compute in
// 16- and 32-bit lanes exactly what the portable functions compute in 64
// bits; outside them (no caller goes there: quant_params and dequant_params
// stay well inside) a kernel hands the call to the portable function.
// Anonymous namespace: each tier's file compiles its own copy with its own
// instruction set.
#pragma once

#include <cstdint>

namespace {

// quant: |c| * scale + offset stays below 2^31, a level stays within
// 0..32767 before its sign (so no clamp is ever needed), and a zero
// coefficient gives the level 0.
inline bool quant_in_range(int32_t count, int32_t scale, int32_t shift, int32_t offset, int32_t step) {
  if (count <= 0 || count % step || scale <= 0 || scale > 32767 || shift < 1 || shift > 30 || offset < 0) return false;
  if (offset >= (int32_t{1} << shift)) return false;
  return ((int64_t{32768} * scale + offset) >> shift) <= 32767;
}

// dequant: levels are clamped to +-limit first, beyond which the result
// saturates to the same int16 bound; scale = odd << up_shift with odd
// below 2^15, and limit * scale + round stays below 2^31.
struct dequant_range_t {
  bool ok;
  int32_t odd, up_shift;
  int16_t hi, lo;  // clamp bounds of the levels
};

inline dequant_range_t dequant_range(int32_t count, int32_t scale, int32_t shift, int32_t step) {
  dequant_range_t r{false, 0, 0, 0, 0};
  if (count <= 0 || count % step || scale <= 0 || shift < 1 || shift > 20) return r;
  r.up_shift = __builtin_ctz(static_cast<uint32_t>(scale));
  r.odd = scale >> r.up_shift;
  if (r.odd > 32767) return r;
  const int64_t round = int64_t{1} << (shift - 1);
  // Smallest level whose result reaches 32767 and whose negation reaches -32768.
  const int64_t limit = ((int64_t{32767} << shift) + round) / scale + 1;
  const int64_t hi = limit < 32767 ? limit : 32767, lo = limit < 32768 ? -limit : -32768;
  if ((-lo) * int64_t{scale} + round >= (int64_t{1} << 31)) return r;
  r.hi = static_cast<int16_t>(hi);
  r.lo = static_cast<int16_t>(lo);
  r.ok = true;
  return r;
}

}  // namespace
