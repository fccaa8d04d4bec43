// What each real-time speed mode changes in the decision: the CU depth
// range of the CTU, the analysis level, and the SAO fast path that merges
// with a neighbour that is off instead of searching.
#include <gtest/gtest.h>

#include <cstring>

#include "analysis/ctu_analysis.h"
#include "encoder/encoder.h"
#include "ratecontrol/ratecontrol.h"
#include "filters/sao.h"
#include "tests/unit/row_context.h"

namespace {

struct SpeedFixture : ::testing::Test {
  encoder_t *enc = nullptr;
  encoder_t *ctx = nullptr;
  frame_t input{};

  void SetUp() override {
    ctx = open_row_context(192, 128, &enc);
    ASSERT_NE(ctx, nullptr);
    ctx->cur_input = &input;
    // The CTU QP is recorded on the reconstruction.
    ctx->cur_recon = frame_get_unused(enc->pool, 0);
    ASSERT_NE(ctx->cur_recon, nullptr);
    ctx->slice_qp = 30;
    ctx->rc->frame_qp = 30.0f;
    ctx->ctu_x = ctx->ctu_y = ctx->ctu_addr = 0;
    ctx->ref_count[0] = ctx->ref_count[1] = 0;
  }
  void TearDown() override { encoder_close(enc); }
};

struct depth_case_t {
  int32_t slice_type_code;  // 2 I, 1 P
  int32_t speed_mode;
  int32_t min_depth, max_depth;
};

class SpeedDepth : public SpeedFixture, public ::testing::WithParamInterface<depth_case_t> {};

TEST_P(SpeedDepth, LimitsTheCtuDepthRange) {
  const depth_case_t &c = GetParam();
  ctx->slice_type_code = c.slice_type_code;
  ctx->speed_mode = c.speed_mode;
  ctx->analysis_level = 4;
  ctu_predict_depth_range(ctx, ctx->nodes);
  EXPECT_EQ(ctx->cu_min_depth, c.min_depth);
  EXPECT_EQ(ctx->cu_max_depth, c.max_depth);
  // Under pressure the analysis is at most level 3.
  EXPECT_EQ(ctx->analysis_level, c.speed_mode ? 3 : 4);
}

// The first CTU has no neighbours: depth 0, or 1 in I slices; mode 1 starts
// I slices at 16x16 and P slices one depth deeper; modes 2 and 3 code every
// CU of an I slice as 8x8.
INSTANTIATE_TEST_SUITE_P(FirstCtu, SpeedDepth,
                         ::testing::Values(depth_case_t{2, 0, 1, 4}, depth_case_t{2, 1, 2, 4}, depth_case_t{2, 2, 3, 3},
                                           depth_case_t{2, 3, 3, 3}, depth_case_t{1, 0, 0, 4}, depth_case_t{1, 1, 1, 4},
                                           depth_case_t{1, 2, 1, 4}, depth_case_t{1, 3, 1, 4}));

struct sao_fast_case_t {
  const char *name;
  int32_t ctu_x, ctu_y;
  int32_t left_type, up_type;  // luma and chroma type of the neighbours
  int32_t merge;
};

class SaoFastPath : public SpeedFixture, public ::testing::WithParamInterface<sao_fast_case_t> {};

TEST_P(SaoFastPath, MergesWithANeighbourThatIsOff) {
  const sao_fast_case_t &c = GetParam();
  ctx->speed_mode = 3;
  ctx->sao_enable = 3;
  ctx->ctu_x = c.ctu_x;
  ctx->ctu_y = c.ctu_y;
  ctx->ctu_addr = c.ctu_y * ctx->ctu_cols + c.ctu_x;
  for (int32_t p = 0; p < 3; p++) {
    if (c.ctu_x > 0) ctx->sao_params[p][ctx->ctu_addr - 1] = sao_param_t{c.left_type, 0, {1, 0, 0, -1}};
    if (c.ctu_y > 0) ctx->sao_params[p][ctx->ctu_addr - ctx->ctu_cols] = sao_param_t{c.up_type, 0, {1, 0, 0, -1}};
  }
  sao_decide_ctu(ctx);
  EXPECT_EQ(ctx->sao_merge[ctx->ctu_addr], c.merge) << c.name;
  for (int32_t p = 0; p < 3; p++) EXPECT_EQ(ctx->sao_params[p][ctx->ctu_addr].type, 5) << c.name << " plane " << p;
}

INSTANTIATE_TEST_SUITE_P(
    PictureEdges, SaoFastPath,
    ::testing::Values(sao_fast_case_t{"first CTU: nothing to merge with", 0, 0, 5, 5, SAO_MERGE_NONE},
                      sao_fast_case_t{"first row: left only", 1, 0, 5, 5, SAO_MERGE_LEFT},
                      sao_fast_case_t{"first column: up only", 0, 1, 5, 5, SAO_MERGE_UP},
                      sao_fast_case_t{"both off: left first", 1, 1, 5, 5, SAO_MERGE_LEFT},
                      sao_fast_case_t{"left on: up", 1, 1, 0, 5, SAO_MERGE_UP},
                      sao_fast_case_t{"both on: own parameters, off", 1, 1, 4, 2, SAO_MERGE_NONE}));

TEST_F(SpeedFixture, SaoSkipsTheSearchAtModeTwoInBPictures) {
  // In B pictures (types 5 and 6) mode 2 already merges with the left CTU
  // that is off.
  ctx->speed_mode = 2;
  ctx->sao_enable = 3;
  input.frame_type_code = 6;
  ctx->ctu_x = 1;
  ctx->ctu_addr = 1;
  for (int32_t p = 0; p < 3; p++) ctx->sao_params[p][0] = sao_param_t{5, 0, {0, 0, 0, 0}};
  sao_decide_ctu(ctx);
  EXPECT_EQ(ctx->sao_merge[1], SAO_MERGE_LEFT);
}

// Bits of the SAO syntax (H.265 7.3.8.3, 9.3.3): offsets truncated unary
// with cMax 7, the band position in 5 bypass bins, one sign per non-zero
// band offset, the edge class in 2 bins; Cr codes no type of its own.
TEST(SaoParamBits, FollowTheSyntax) {
  cabac_est_t est{};
  cabac_init_contexts(&est, 2, 30, 0);
  auto bits = [&](const sao_param_t &p, int32_t component) {
    cabac_est_t e = est;
    e.bits = 0;
    sao_param_bits(&e, &p, component);
    return e.bits;
  };
  const sao_param_t off{5, 0, {0, 0, 0, 0}};
  const sao_param_t eo{1, 0, {1, 0, 0, -1}};
  const sao_param_t bo{4, 12, {0, 3, 0, -7}};
  EXPECT_EQ(bits(off, 2), 0u);
  EXPECT_EQ(bits(eo, 2), 256u * (2 + 1 + 1 + 2));
  EXPECT_EQ(bits(bo, 2), 256u * ((1 + 4 + 1 + 7) + 2 + 5));
  // Luma and Cb add the type: a context bin (as for type 5) and one bypass
  // bin, plus the edge class.
  // Signed: an unsigned difference would wrap and pass for any count.
  const int64_t type_bin_on = int64_t{bits(eo, 0)} - int64_t{bits(eo, 2)} - 256 - 512;
  EXPECT_GT(type_bin_on, 0);
  EXPECT_LT(type_bin_on, 256 * 16) << "a context-coded bin costs well under 16 bits";
  EXPECT_EQ(int64_t{bits(bo, 1)}, int64_t{bits(bo, 2)} + type_bin_on + 256);
  EXPECT_GT(bits(off, 0), 0u);
}

}  // namespace
