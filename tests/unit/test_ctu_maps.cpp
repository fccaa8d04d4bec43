// The CTU maps' unit helpers that every map access goes through.
//
// The z-order numbering of a CTU's 4x4 units: the unit at (x4, y4) gets
// x4's bits at the even and y4's at the odd bit positions, so that a
// block's units are consecutive and its quarters follow each other in
// coding order; the position comes back from the number, and only the low
// four bits of a coordinate count.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "analysis/ctu_maps.h"
#include "analysis/decision_common.h"

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

// A block's coded-block flags: the OR of its units' bytes, bits 0-2 only,
// for every block size and place, with the bytes around the block set so
// that reading one unit too many or too few shows.
TEST(CtuMapsCbf, BlockFlagsAreTheOrOfItsUnitsOnly) {
  std::mt19937 rng(26);
  std::vector<uint8_t> cbf(256 + 64);
  for (int32_t trial = 0; trial < 400; trial++) {
    for (uint8_t &b : cbf) b = static_cast<uint8_t>(rng() % 4 == 0 ? rng() : (rng() & 0xf8));
    for (int32_t log2 = 2; log2 <= 6; log2++) {
      const int32_t units = 1 << (2 * (log2 - 2));
      for (int32_t z = 0; z < 256; z += units) {
        uint8_t plain = 0;
        for (int32_t i = 0; i < units; i++) plain = static_cast<uint8_t>(plain | cbf[32 + z + i]);
        ASSERT_EQ(block_cbf(cbf.data() + 32, z, log2), plain & 7) << "trial " << trial << " log2 " << log2 << " z " << z;
      }
    }
  }
}

// The per-unit bit setter writes words: within the block's units only the
// masked bits change (to the given ones), and no byte around the block
// changes, for every block size and position in a CTU.
TEST(CtuMapsUnitBits, SetTheMaskedBitsOfTheBlocksUnitsOnly) {
  const uint32_t seed = 0x5e7b;
  std::mt19937 rng(seed);
  for (int32_t log2_size = 2; log2_size <= 6; log2_size++) {
    const int32_t units = 1 << (2 * (log2_size - 2));
    for (int32_t z = 0; z < 256; z += units)
      for (int32_t trial = 0; trial < 8; trial++) {
        // Guard bytes on both sides of the CTU's 256 units.
        std::vector<uint8_t> a(256 + 32), want;
        for (uint8_t &v : a) v = static_cast<uint8_t>(rng());
        const uint8_t mask = static_cast<uint8_t>(rng() | 1), bits = static_cast<uint8_t>(rng() & mask);
        want = a;
        for (int32_t i = 0; i < units; i++) want[16 + z + i] = static_cast<uint8_t>((want[16 + z + i] & ~mask) | bits);
        set_unit_bits(a.data() + 16, z, log2_size, mask, bits);
        ASSERT_EQ(a, want) << "seed " << seed << " log2 " << log2_size << " z " << z << " trial " << trial;
      }
  }
}
