// The deblocking thresholds against H.265 Table 8-12, and the strongest
// and weakest filtering they allow at the extreme QPs.
#include <gtest/gtest.h>

#include "filters/deblock.h"

namespace {

TEST(DeblockTables, BetaMatchesTheStandardAtEveryQp) {
  // beta' is 0 below QP 16, then 6..18 in steps of 1 up to QP 28, then
  // rises by 2 per QP to 64 at QP 51.
  for (int32_t q = 0; q < 52; q++) {
    const int32_t expect = q < 16 ? 0 : q <= 28 ? q - 10 : 18 + 2 * (q - 28);
    EXPECT_EQ(deblock_beta_table[q], expect) << "QP " << q;
  }
}

TEST(DeblockTables, TcMatchesTheStandardAtTheEnds) {
  for (int32_t q = 0; q < 18; q++) EXPECT_EQ(deblock_tc_table[q], 0) << "QP " << q;
  for (int32_t q = 18; q <= 26; q++) EXPECT_EQ(deblock_tc_table[q], 1) << "QP " << q;
  const uint8_t top[] = {13, 14, 16, 18, 20, 22, 24};  // QP 47..53
  for (int32_t q = 47; q <= 53; q++) EXPECT_EQ(deblock_tc_table[q], top[q - 47]) << "QP " << q;
  for (int32_t q = 1; q < 54; q++) EXPECT_GE(deblock_tc_table[q], deblock_tc_table[q - 1]) << "QP " << q;
}

}  // namespace
