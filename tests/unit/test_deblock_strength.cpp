// Boundary strength of every kind of edge (H.265 8.7.2.4), with reference
// pictures compared as pictures whichever list names them.
#include <gtest/gtest.h>

#include "filters/deblock.h"

namespace {

const int pic_a = 0, pic_b = 0;  // two distinct reference pictures
const void *const A = &pic_a;
const void *const B = &pic_b;

deblock_side_t inter(const void *p0, mv_t m0, const void *p1 = nullptr, mv_t m1 = 0) {
  deblock_side_t s{};
  s.pic[0] = p0;
  s.mv[0] = m0;
  s.pic[1] = p1;
  s.mv[1] = m1;
  return s;
}

struct strength_case_t {
  const char *name;
  deblock_side_t p, q;
  bool transform_edge;
  uint8_t expect;
};

class DeblockStrength : public ::testing::TestWithParam<strength_case_t> {};

TEST_P(DeblockStrength, FollowsTheStandardsRules) {
  const strength_case_t &c = GetParam();
  EXPECT_EQ(deblock_strength(c.p, c.q, c.transform_edge), c.expect) << c.name;
  // The rule is symmetric in its two sides.
  EXPECT_EQ(deblock_strength(c.q, c.p, c.transform_edge), c.expect) << c.name << " (sides swapped)";
}

deblock_side_t intra_side() {
  deblock_side_t s{};
  s.intra = true;
  return s;
}
deblock_side_t coded(deblock_side_t s) {
  s.coded = true;
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    EdgeKinds, DeblockStrength,
    ::testing::Values(
        strength_case_t{"intra beside inter, whatever the motion", intra_side(), inter(A, 0), false, 2},
        strength_case_t{"intra on both sides of a transform edge", intra_side(), intra_side(), true, 2},
        strength_case_t{"coefficients on a transform edge", coded(inter(A, 0)), inter(A, 0), true, 1},
        strength_case_t{"coefficients count only on transform edges", coded(inter(A, 0)), inter(A, 0), false, 0},
        strength_case_t{"same picture and vector", inter(A, mv_make(5, -7)), inter(A, mv_make(5, -7)), true, 0},
        strength_case_t{"vector differs by 3 quarter samples", inter(A, mv_make(0, 0)), inter(A, mv_make(3, -3)),
                        false, 0},
        strength_case_t{"vector differs by 4 horizontally", inter(A, mv_make(0, 0)), inter(A, mv_make(4, 0)), false,
                        1},
        strength_case_t{"vector differs by 4 vertically", inter(A, mv_make(0, 0)), inter(A, mv_make(0, -4)), false, 1},
        strength_case_t{"different pictures", inter(A, 0), inter(B, 0), false, 1},
        strength_case_t{"same picture from the other list", inter(A, 0), inter(nullptr, 0, A, 0), false, 0},
        strength_case_t{"one vector against two", inter(A, 0), inter(A, 0, B, 0), false, 1},
        strength_case_t{"bi, same pictures in swapped lists", inter(A, mv_make(8, 0), B, mv_make(-8, 0)),
                        inter(B, mv_make(-8, 0), A, mv_make(8, 0)), false, 0},
        strength_case_t{"bi, one pair of vectors apart", inter(A, mv_make(8, 0), B, 0), inter(A, mv_make(8, 0), B, mv_make(0, 4)),
                        false, 1},
        strength_case_t{"bi, other picture set", inter(A, 0, B, 0), inter(A, 0, A, 0), false, 1},
        strength_case_t{"bi on one picture, crossed vectors match", inter(A, mv_make(16, 0), A, mv_make(-16, 0)),
                        inter(A, mv_make(-16, 0), A, mv_make(16, 0)), false, 0},
        strength_case_t{"bi on one picture, no pairing matches", inter(A, mv_make(16, 0), A, mv_make(-16, 0)),
                        inter(A, mv_make(16, 0), A, mv_make(16, 0)), false, 1}));

}  // namespace
