// The motion rule of the boundary strength between two inter blocks
// (H.265 8.7.2.4), with reference pictures compared as pictures whichever
// list names them.
#include <gtest/gtest.h>

#include "filters/deblock.h"

namespace {

const int pic_a = 0, pic_b = 0;  // two distinct reference pictures
const void *const A = &pic_a;
const void *const B = &pic_b;

deblock_motion_t inter(const void *p0, mv_t m0, const void *p1 = nullptr, mv_t m1 = 0) {
  deblock_motion_t s{};
  s.pic[0] = p0;
  s.mv[0] = m0;
  s.pic[1] = p1;
  s.mv[1] = m1;
  return s;
}

struct strength_case_t {
  const char *name;
  deblock_motion_t p, q;
  uint8_t expect;
};

class DeblockStrength : public ::testing::TestWithParam<strength_case_t> {};

TEST_P(DeblockStrength, FollowsTheStandardsRules) {
  const strength_case_t &c = GetParam();
  EXPECT_EQ(deblock_motion_strength(c.p, c.q), c.expect) << c.name;
  // The rule is symmetric in its two sides.
  EXPECT_EQ(deblock_motion_strength(c.q, c.p), c.expect) << c.name << " (sides swapped)";
}

INSTANTIATE_TEST_SUITE_P(
    EdgeKinds, DeblockStrength,
    ::testing::Values(
        strength_case_t{"same picture and vector", inter(A, mv_make(5, -7)), inter(A, mv_make(5, -7)), 0},
        strength_case_t{"vector differs by 3 quarter samples", inter(A, mv_make(0, 0)), inter(A, mv_make(3, -3)), 0},
        strength_case_t{"vector differs by 4 horizontally", inter(A, mv_make(0, 0)), inter(A, mv_make(4, 0)), 1},
        strength_case_t{"vector differs by 4 vertically", inter(A, mv_make(0, 0)), inter(A, mv_make(0, -4)), 1},
        strength_case_t{"different pictures", inter(A, 0), inter(B, 0), 1},
        strength_case_t{"same picture from the other list", inter(A, 0), inter(nullptr, 0, A, 0), 0},
        strength_case_t{"one vector against two", inter(A, 0), inter(A, 0, B, 0), 1},
        strength_case_t{"bi, same pictures in swapped lists", inter(A, mv_make(8, 0), B, mv_make(-8, 0)),
                        inter(B, mv_make(-8, 0), A, mv_make(8, 0)), 0},
        strength_case_t{"bi, one pair of vectors apart", inter(A, mv_make(8, 0), B, 0), inter(A, mv_make(8, 0), B, mv_make(0, 4)), 1},
        strength_case_t{"bi, other picture set", inter(A, 0, B, 0), inter(A, 0, A, 0), 1},
        strength_case_t{"bi on one picture, crossed vectors match", inter(A, mv_make(16, 0), A, mv_make(-16, 0)),
                        inter(A, mv_make(-16, 0), A, mv_make(16, 0)), 0},
        strength_case_t{"bi on one picture, no pairing matches", inter(A, mv_make(16, 0), A, mv_make(-16, 0)),
                        inter(A, mv_make(16, 0), A, mv_make(16, 0)), 1}));

}  // namespace
