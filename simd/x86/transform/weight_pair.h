// Two 16-bit matrix weights as one 32-bit value, low half first: the form
// pmaddwd takes its weight operand in. Shared by the transform kernels'
// compile-time weight tables.
#pragma once

#include <cstdint>

namespace {

constexpr int32_t pair32(int16_t lo, int16_t hi) {
  return static_cast<int32_t>(static_cast<uint16_t>(lo) | (static_cast<uint32_t>(static_cast<uint16_t>(hi)) << 16));
}

}  // namespace
