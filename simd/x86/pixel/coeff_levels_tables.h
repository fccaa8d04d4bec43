// The compaction shuffles of the 4x4 level kernels (coeff_levels_ssse3.cpp,
// coeff_levels_avx2.cpp): [8-bit map] the byte shuffle that moves the
// 16-bit lanes the map marks to the front, in order, and zeroes the rest.
// Internal linkage: each tier's file keeps its own copy.
#pragma once

#include <array>
#include <cstdint>

namespace {

using bytes16 = std::array<uint8_t, 16>;

alignas(16) constexpr auto compact_lanes = [] {
  std::array<bytes16, 256> t{};
  for (int m = 0; m < 256; m++) {
    int n = 0;
    for (int lane = 0; lane < 8; lane++)
      if ((m >> lane) & 1) {
        t[m][2 * n] = static_cast<uint8_t>(2 * lane);
        t[m][2 * n + 1] = static_cast<uint8_t>(2 * lane + 1);
        n++;
      }
    for (int b = 2 * n; b < 16; b++) t[m][b] = 0x80;
  }
  return t;
}();

}  // namespace
