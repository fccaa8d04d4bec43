// The constant CABAC bit-cost table against its definition: the cost of a
// bin in a state is -log2 of the bin's probability there, in 1/256 bit,
// with the LPS probability of pStateIdx p taken as 0.5 * a^p where
// a^63 = 0.01875 / 0.5 (the probability model behind H.265 Table 9-46).
// The transitions are exercised by the coder round trip of the unit tests.
#include <gtest/gtest.h>

#include <cmath>

#include "common/cabac_tables.h"

namespace {

TEST(CabacTables, BitCostIsRoundedMinusLog2OfTheBinProbability) {
  const double a = std::pow(0.01875 / 0.5, 1.0 / 63.0);
  for (int state = 0; state < 128; state++) {
    const int p_state = 63 - (state >> 1);
    const double p_lps = 0.5 * std::pow(a, p_state);
    // The index is state ^ bin, so its low bit says whether the bin is the LPS.
    const double p_bin = (state & 1) ? p_lps : 1.0 - p_lps;
    EXPECT_EQ(cabac_bit_cost_table[state], std::lround(-256.0 * std::log2(p_bin))) << "index " << state;
  }
  // The equiprobable state costs one bit either way.
  EXPECT_EQ(cabac_bit_cost_table[126], 256);
  EXPECT_EQ(cabac_bit_cost_table[127], 256);
}

}  // namespace
