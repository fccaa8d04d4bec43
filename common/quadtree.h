// Numbering of a CTU's 64x64 quad-tree: the 341 nodes level by level (the
// CTU, four 32x32, sixteen 16x16, sixty-four 8x8, two hundred fifty-six
// 4x4).  Coding trees number each level in z-order, the gradient records in
// raster order.
#pragma once

#include <cstdint>

// First node of each level, by depth (0: 64x64 .. 4: 4x4).
inline constexpr int32_t QUADTREE_LEVEL_FIRST[5] = {0, 1, 5, 21, 85};

// Gradient-record entry of the block of log2 size 3..6 at CTU-relative (x, y).
inline constexpr int32_t gradient_entry(int32_t x, int32_t y, int32_t log2_size) {
  const int32_t d = 6 - log2_size;
  return QUADTREE_LEVEL_FIRST[d] + (y >> log2_size) * (1 << d) + (x >> log2_size);
}
