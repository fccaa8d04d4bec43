// The rate-distortion cost of every decision: distortion plus the bits (in
// 1/256 bit) weighed by lambda (lambda * 256), rounded.  Block decisions
// count in u32; the SAO decision counts distortion changes, which may be
// negative, in i64.
#pragma once

#include <cstdint>

template <class D>
constexpr D rd_cost(D distortion, uint32_t bits, uint64_t lambda) {
  return distortion + static_cast<D>((static_cast<uint64_t>(bits) * lambda + 32768) >> 16);
}
