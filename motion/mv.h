// Motion vectors: signed 16-bit x in the low half, y in the high half,
// quarter-sample luma units.  Component sums and differences wrap in 16 bits.
#pragma once

#include <cstdint>

using mv_t = uint32_t;

constexpr mv_t MV_NONE = 0x7fff7fffu;

inline mv_t mv_make(int32_t x, int32_t y) {
  return static_cast<uint32_t>(static_cast<uint16_t>(x)) | (static_cast<uint32_t>(static_cast<uint16_t>(y)) << 16);
}
inline int16_t mv_x(mv_t m) { return static_cast<int16_t>(m & 0xffff); }
inline int16_t mv_y(mv_t m) { return static_cast<int16_t>(m >> 16); }
