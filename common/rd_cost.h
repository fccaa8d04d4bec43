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

// For a cost whose distortion and bits so far stay below bound: what its
// further bits times lambda must reach for rd_cost to reach the bound (it
// does once all bits times lambda plus 32768 reach (bound - distortion) <<
// 16).  0 where the cost has reached the bound already.
constexpr uint64_t rd_cost_reach(uint32_t distortion, uint32_t bits, uint32_t bound, uint64_t lambda) {
  if (rd_cost(distortion, bits, lambda) >= bound) return 0;
  return (uint64_t{bound - distortion} << 16) - 32768 - uint64_t{bits} * lambda;
}
