// The z-order numbering of a CTU's 4x4 units that every map access goes
// through: the unit at (x4, y4) gets x4's bits at the even and y4's at the
// odd bit positions, so that a block's units are consecutive and its
// quarters follow each other in coding order; the position comes back from
// the number, and only the low four bits of a coordinate count.
#include <gtest/gtest.h>

#include "analysis/ctu_maps.h"

TEST(CtuMapsZorder, NumbersInterleaveTheCoordinateBitsAndComeBack) {
  for (int32_t y4 = 0; y4 < 16; y4++)
    for (int32_t x4 = 0; x4 < 16; x4++) {
      int32_t interleaved = 0;
      for (int32_t b = 0; b < 4; b++) interleaved += ((x4 >> b) & 1) * (1 << (2 * b)) + ((y4 >> b) & 1) * (2 << (2 * b));
      const int32_t z = zorder_of(x4, y4);
      ASSERT_EQ(z, interleaved) << "x4 " << x4 << " y4 " << y4;
      ASSERT_EQ(zorder_x(z), x4) << "z " << z;
      ASSERT_EQ(zorder_y(z), y4) << "z " << z;
      // Coordinates one CTU further (the neighbours' maps wrap) keep their low bits.
      ASSERT_EQ(zorder_of(x4 + 16, y4 - 16), z) << "x4 " << x4 << " y4 " << y4;
    }
  // The four quarters of every block of 2^k units a side follow each other.
  for (int32_t k = 1; k <= 4; k++) {
    const int32_t side = 1 << k, quarter = side * side / 4;
    for (int32_t y4 = 0; y4 < 16; y4 += side)
      for (int32_t x4 = 0; x4 < 16; x4 += side) {
        const int32_t z = zorder_of(x4, y4);
        EXPECT_EQ(zorder_of(x4 + side / 2, y4), z + quarter);
        EXPECT_EQ(zorder_of(x4, y4 + side / 2), z + 2 * quarter);
        EXPECT_EQ(zorder_of(x4 + side / 2, y4 + side / 2), z + 3 * quarter);
      }
  }
  static_assert(zorder_of(3, 5) == 0x27 && zorder_x(0x27) == 3 && zorder_y(0x27) == 5);
}
