// The SAO decision of a CTU on constructed pictures: merging with the left
// and the above CTU where the picture's edges allow it, and
// the band window of band offset (lowest start on equal sums, never past 28).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "analysis/analysis_tables.h"
#include "bitstream/cabac.h"
#include "encoder/encoder.h"
#include "filters/sao.h"
#include "tests/unit/row_context.h"

namespace {

constexpr int32_t kWidth = 192, kHeight = 128, kQp = 32;

struct SaoDecision : ::testing::Test {
  encoder_t *enc = nullptr;
  encoder_t *ctx = nullptr;
  frame_t *in = nullptr;
  frame_t *rec = nullptr;

  void SetUp() override {
    ctx = open_row_context(kWidth, kHeight, &enc);
    ASSERT_NE(ctx, nullptr);
    ASSERT_TRUE(take_pictures(enc, ctx, &in, &rec));
    ASSERT_EQ(ctx->param.complexity, 4) << "the default level searches every type";
    ctx->speed_mode = 0;
    ctx->sao_enable = 3;
    ctx->ctu_qp = kQp;
    ctx->ctu_lambda_ssd = ctx->tables->lambda_ssd_table[0][kQp];
    ctx->lambda_ssd = ctx->ctu_lambda_ssd / 256.0;
    cabac_init_contexts(&ctx->cabac.est, 2, kQp, 0);
    // Deblocked samples flat at `base` in every plane, the source `delta`
    // away from them: only the band of `base` has anything to correct.
    fill(100, 0);
  }
  void TearDown() override {
    if (!enc) return;
    release_pictures(enc, in, rec);
    encoder_close(enc);
  }

  void fill(int32_t base, int32_t delta) {
    for (int32_t c = 0; c < 3; c++) {
      const int32_t w = c ? kWidth / 2 : kWidth, h = c ? kHeight / 2 : kHeight;
      for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x++) {
          rec->work[c][y * rec->stride[c] + x] = static_cast<uint8_t>(base);
          in->plane[c][y * in->stride[c] + x] = static_cast<uint8_t>(base + delta);
        }
    }
  }

  void at(int32_t col, int32_t row) {
    ctx->ctu_x = col;
    ctx->ctu_y = row;
    ctx->ctu_addr = row * ctx->ctu_cols + col;
  }
  void set_neighbour(int32_t addr, const sao_param_t &p) {
    for (int32_t c = 0; c < 3; c++) ctx->sao_params[c][addr] = p;
  }
  // The CTU's own choice when nothing can be merged, found at the first CTU.
  sao_param_t own_choice(int32_t plane) {
    at(0, 0);
    sao_decide_ctu(ctx);
    EXPECT_EQ(ctx->sao_merge[0], SAO_MERGE_NONE);
    return ctx->sao_params[plane][0];
  }
};

TEST_F(SaoDecision, BandWindowStartsAtTheLowestOfEqualSums) {
  // Band 12 (samples 96..103) alone needs a correction: windows starting at
  // 9..12 all hold it at the same cost, so 9 is chosen, the offset last.
  fill(100, 3);
  const sao_param_t p = own_choice(0);
  EXPECT_EQ(p.type, 4);
  EXPECT_EQ(p.band_position, 9);
  EXPECT_EQ(p.offset[0], 0);
  EXPECT_EQ(p.offset[1], 0);
  EXPECT_EQ(p.offset[2], 0);
  EXPECT_GT(p.offset[3], 0);
  // Chroma takes the same rule, each plane its own window.
  EXPECT_EQ(ctx->sao_params[1][0].type, 4);
  EXPECT_EQ(ctx->sao_params[1][0].band_position, 9);
  EXPECT_EQ(ctx->sao_params[2][0].band_position, 9);
}

TEST_F(SaoDecision, BandWindowNeverStartsPast28) {
  // Band 31 (248..255) lies only in the window starting at 28; band 1 in
  // those starting at 0 and 1; a negative correction there.
  fill(250, -4);
  sao_param_t p = own_choice(0);
  EXPECT_EQ(p.type, 4);
  EXPECT_EQ(p.band_position, 28);
  EXPECT_LT(p.offset[3], 0);
  fill(10, 4);
  p = own_choice(0);
  EXPECT_EQ(p.type, 4);
  EXPECT_EQ(p.band_position, 0);
  EXPECT_GT(p.offset[1], 0);
  EXPECT_EQ(p.offset[0], 0);
}

struct merge_case_t {
  const char *name;
  int32_t col, row;
  bool left_fits, up_fits;  // the neighbour holds the CTU's own best record
  int32_t merge;
};

class SaoMerge : public SaoDecision, public ::testing::WithParamInterface<merge_case_t> {};

TEST_P(SaoMerge, MergesWithANeighbourInsideThePicture) {
  const merge_case_t &c = GetParam();
  fill(100, 3);
  own_choice(0);
  sao_param_t best[3];
  for (int32_t p = 0; p < 3; p++) best[p] = ctx->sao_params[p][0];
  ASSERT_EQ(best[0].type, 4);
  // A record that corrects nothing here: an edge class on flat samples.  (A
  // band record would mark band offset as examined, and the CTU would not
  // search it for its own parameters.)
  const sao_param_t useless{0, 0, {7, 7, -7, -7}};
  auto give = [&](int32_t a, bool fits) {
    for (int32_t p = 0; p < 3; p++) ctx->sao_params[p][a] = fits ? best[p] : useless;
  };
  // Every CTU before this one gets a record, so a merge across the picture's
  // left edge (with the previous row's last CTU) would be seen.
  const int32_t addr = c.row * ctx->ctu_cols + c.col;
  for (int32_t a = 0; a < addr; a++) give(a, false);
  if (addr > 0) give(addr - 1, c.col == 0 || c.left_fits);
  if (c.row > 0) give(addr - ctx->ctu_cols, c.up_fits);
  at(c.col, c.row);
  sao_decide_ctu(ctx);
  EXPECT_EQ(ctx->sao_merge[addr], c.merge) << c.name;
  if (c.merge == SAO_MERGE_NONE) {
    EXPECT_EQ(ctx->sao_params[0][addr].band_position, best[0].band_position) << c.name;
  } else {
    const int32_t from = c.merge == SAO_MERGE_LEFT ? addr - 1 : addr - ctx->ctu_cols;
    for (int32_t p = 0; p < 3; p++)
      EXPECT_EQ(std::memcmp(&ctx->sao_params[p][addr], &ctx->sao_params[p][from], sizeof(sao_param_t)), 0)
          << c.name << " plane " << p;
  }
}

// Chroma errors weigh by the QP's chroma weight (2.0 at this level): a
// correction of 23 rows of each 32x32 chroma block by one is worth its bits
// only at that weight; at 1.0 chroma would stay off.
TEST_F(SaoDecision, ChromaDistortionWeighsByTheQpsChromaWeight) {
  fill(100, 0);
  for (int32_t c = 1; c < 3; c++)
    for (int32_t y = 0; y < 23; y++)
      for (int32_t x = 0; x < 32; x++) in->plane[c][y * in->stride[c] + x] = 101;
  ASSERT_EQ(ctx->tables->chroma_weight_table[kQp], 512);
  const sao_param_t weighted = own_choice(1);
  EXPECT_EQ(weighted.type, 4);
  EXPECT_EQ(weighted.offset[3], 1);
  EXPECT_EQ(ctx->sao_params[0][0].type, 5) << "luma has nothing to correct";
  uint16_t unit_weight[CHROMA_WEIGHT_COUNT];
  std::fill(std::begin(unit_weight), std::end(unit_weight), uint16_t{256});
  const uint16_t *table = ctx->tables->chroma_weight_table;
  ctx->tables->chroma_weight_table = unit_weight;
  const sao_param_t unweighted = own_choice(1);
  ctx->tables->chroma_weight_table = table;
  EXPECT_EQ(unweighted.type, 5);
}

INSTANTIATE_TEST_SUITE_P(
    PictureEdges, SaoMerge,
    ::testing::Values(merge_case_t{"first column: the previous row's last CTU is not left", 0, 1, true, false,
                                   SAO_MERGE_NONE},
                      merge_case_t{"first column: up", 0, 1, false, true, SAO_MERGE_UP},
                      merge_case_t{"first row: left", 1, 0, true, false, SAO_MERGE_LEFT},
                      merge_case_t{"first row, last column: left", 2, 0, true, false, SAO_MERGE_LEFT},
                      merge_case_t{"inside: left", 1, 1, true, false, SAO_MERGE_LEFT},
                      merge_case_t{"inside: up", 1, 1, false, true, SAO_MERGE_UP},
                      merge_case_t{"inside: both fit, left codes one flag less", 1, 1, true, true, SAO_MERGE_LEFT},
                      merge_case_t{"inside: neither fits", 2, 1, false, false, SAO_MERGE_NONE}));

}  // namespace
