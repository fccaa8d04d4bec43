// Deblocking edge marking on constructed coding trees: which segments of a
// CTU's 8x8 edge grid are edges and why (H.265 8.7.2.3 and 8.7.2.4).
#include <gtest/gtest.h>

#include <cstring>

#include "analysis/cu_node.h"
#include "analysis/decision_common.h"
#include "encoder/ctu_start.h"
#include "encoder/encoder.h"
#include "filters/deblock.h"
#include "tests/unit/row_context.h"

namespace {

const int ref_picture = 0;

struct EdgeFixture : ::testing::Test {
  encoder_t *enc = nullptr;
  encoder_t *ctx = nullptr;
  frame_t *rec = nullptr;  // the picture's units: the neighbours' leaf sizes and coefficient flags

  // A 128x128 picture; the CTU under test is (cx, cy), its left and above
  // neighbours are 64x64 inter CUs without coefficients.
  void open(int32_t cx, int32_t cy) {
    ctx = open_row_context(128, 128, &enc);
    ASSERT_NE(ctx, nullptr);
    ctx->ref_list[0][0] = reinterpret_cast<frame_t *>(const_cast<int *>(&ref_picture));
    rec = frame_new(128, 128, 0);
    ASSERT_NE(rec, nullptr);
    ctx->cur_recon = rec;
    for (int32_t i = 0; i < 16 * 16; i++) {
      rec->units[i].leaf_size = 8;
      rec->units[i].flags = 0;
    }
    ctx->ctu_x = cx;
    ctx->ctu_y = cy;
    ctx->ctu_addr = cy * ctx->ctu_cols + cx;
    ctx->smallest_block = 64;
    std::memset(ctx->maps, 0, sizeof(ctu_maps_t));
    std::memset(&ctx->maps->unit, 0, sizeof(ctu_unit_maps_t));
    std::memset(ctx->maps->ref_idx, 0, sizeof(ctx->maps->ref_idx));  // list 0, picture 0, zero vectors
    std::memset(ctx->maps->ref_idx[1], 0xff, sizeof(ctx->maps->ref_idx[1]));
    std::memset(ctx->maps->qp, 30, sizeof(ctx->maps->qp));
    cus(0, 0, 64, 16, 16);
  }
  void TearDown() override {
    frame_delete(rec);
    if (enc) encoder_close(enc);
  }

  // Inter 2Nx2N CUs of the given size over a region, one transform block
  // each (of tu size), no coefficients.
  void cus(int32_t x, int32_t y, int32_t w, int32_t cu, int32_t tu) {
    for (int32_t y4 = y / 4; y4 < (y + w) / 4; y4++)
      for (int32_t x4 = x / 4; x4 < (x + w) / 4; x4++) {
        const int32_t z = zorder_of(x4, y4);
        ctx->maps->unit.cu_log2[z] = static_cast<uint8_t>(__builtin_ctz(cu));
        ctx->maps->unit.tu_log2[z] = static_cast<uint8_t>(__builtin_ctz(tu));
        ctx->maps->unit.cbf[z] = 0;
      }
    for (int32_t y8 = y / 8; y8 < (y + w) / 8; y8++)
      for (int32_t x8 = x / 8; x8 < (x + w) / 8; x8++) ctx->maps->pred_intra[map8_index(x8, y8)] = 0;
    for (int32_t v = y; v < y + w; v += cu)
      for (int32_t u = x; u < x + w; u += cu) ctx->maps->part_mode[node_index(zorder_of(u / 4, v / 4), __builtin_ctz(cu))] = 0;
  }
  void set_intra(int32_t x, int32_t y, int32_t w) {
    for (int32_t y4 = y / 4; y4 < (y + w) / 4; y4++)
      for (int32_t y8 = y / 8; y8 < (y + w) / 8; y8++)
      for (int32_t x8 = x / 8; x8 < (x + w) / 8; x8++) {
        const int32_t u = map8_index(x8, y8);
        ctx->maps->pred_intra[u] = 1;
        ctx->maps->ref_idx[0][u] = ctx->maps->ref_idx[1][u] = -2;
      }
  }
  void set_cbf(int32_t x, int32_t y, int32_t w) {
    for (int32_t y4 = y / 4; y4 < (y + w) / 4; y4++)
      for (int32_t x4 = x / 4; x4 < (x + w) / 4; x4++) ctx->maps->unit.cbf[zorder_of(x4, y4)] = 1;
  }
  void set_mv(int32_t x8, int32_t y8, int32_t w8, int32_t h8, mv_t mv) {
    for (int32_t j = 0; j < h8; j++)
      for (int32_t i = 0; i < w8; i++) ctx->maps->mv[0][map8_index(x8 + i, y8 + j)] = mv;
  }
  void mark() {
    cu_tree_store_flags(ctx);
    deblock_ctu_prepare(ctx);
  }
  uint8_t ver(int32_t x, int32_t y) const { return ctx->deblock_edges[ctx->ctu_addr].seg[(x / 8) * 16 + y / 4]; }
  uint8_t hor(int32_t x, int32_t y) const { return ctx->deblock_edges[ctx->ctu_addr].seg[128 + (y / 8) * 16 + x / 4]; }
};

TEST_F(EdgeFixture, PictureEdgesAreEdgesButNeverFiltered) {
  open(0, 0);
  set_intra(0, 0, 64);
  mark();
  for (int32_t s = 0; s < 16; s++) {
    EXPECT_EQ(ver(0, 4 * s), EDGE_UNFILTERED) << "left boundary segment " << s;
    EXPECT_EQ(hor(4 * s, 0), EDGE_UNFILTERED) << "top boundary segment " << s;
  }
  // Inside, the intra CUs' own edges are intra CU boundaries.
  EXPECT_EQ(ver(16, 0), EDGE_INTRA_CU);
  EXPECT_EQ(hor(0, 16), EDGE_INTRA_CU);
  // Not an edge: inside a 16x16 CU.
  EXPECT_EQ(ver(8, 0), EDGE_NONE);
}

TEST_F(EdgeFixture, InterBesideIntraIsAnIntraBoundaryWhateverTheMotion) {
  open(1, 1);
  cus(0, 0, 64, 32, 32);
  set_intra(32, 0, 32);
  // The same motion on both sides would leave the edge unfiltered.
  mark();
  for (int32_t y = 0; y < 32; y += 4) EXPECT_EQ(ver(32, y), EDGE_INTRA_CU) << "row " << y;
  // Its lower neighbour is inter: the boundary below the intra CU too.
  for (int32_t x = 32; x < 64; x += 4) EXPECT_EQ(hor(x, 32), EDGE_INTRA_CU) << "column " << x;
  // Between two inter CUs with equal motion and no coefficients: unfiltered.
  for (int32_t x = 0; x < 32; x += 4) EXPECT_EQ(hor(x, 32), EDGE_UNFILTERED) << "column " << x;
  // The CTU boundaries to inter neighbours with the same motion.
  EXPECT_EQ(ver(0, 0), EDGE_UNFILTERED);
  EXPECT_EQ(hor(32, 0), EDGE_INTRA_CU);
}

TEST_F(EdgeFixture, IntraTransformEdgesInsideAnIntraCu) {
  open(1, 1);
  cus(0, 0, 64, 32, 32);
  cus(0, 0, 32, 32, 16);
  set_intra(0, 0, 32);
  mark();
  EXPECT_EQ(ver(16, 0), EDGE_INTRA_TRANSFORM);
  EXPECT_EQ(hor(0, 16), EDGE_INTRA_TRANSFORM);
  EXPECT_EQ(ver(0, 0), EDGE_INTRA_CU);
}

TEST_F(EdgeFixture, CoefficientsMarkTransformEdgesOnly) {
  open(1, 1);
  cus(0, 0, 64, 16, 16);
  // A 16x16 2NxN inter CU with one coded transform block at (16, 16).
  ctx->maps->part_mode[node_index(zorder_of(4, 4), 4)] = 1;
  set_cbf(16, 16, 16);
  // Its lower prediction unit moves by one quarter sample less than 4.
  set_mv(2, 3, 2, 1, mv_make(3, 0));
  mark();
  // The CU's boundaries are transform edges beside coefficients.
  EXPECT_EQ(ver(16, 16), EDGE_COEFFICIENTS);
  EXPECT_EQ(ver(32, 20), EDGE_COEFFICIENTS);
  EXPECT_EQ(hor(16, 16), EDGE_COEFFICIENTS);
  EXPECT_EQ(hor(28, 32), EDGE_COEFFICIENTS);
  // The edge between its prediction units is decided by motion alone.
  EXPECT_EQ(hor(16, 24), EDGE_UNFILTERED);
  set_mv(2, 3, 2, 1, mv_make(4, 0));
  for (int32_t i = 0; i < 16 * 16; i++) rec->units[i].flags = 0;
  mark();
  EXPECT_EQ(hor(16, 24), EDGE_MOTION);
  EXPECT_EQ(hor(28, 24), EDGE_MOTION);
  // The motion of the lower unit also shows on its left boundary.
  EXPECT_EQ(ver(16, 28), EDGE_COEFFICIENTS);
  EXPECT_EQ(ver(48, 16), EDGE_UNFILTERED);
}

TEST_F(EdgeFixture, SplitEightByEightTransformCountsCoefficientsPerQuadrant) {
  open(1, 1);
  cus(0, 0, 64, 8, 8);
  // The 8x8 CU at (8, 8) splits its transform into 4x4 blocks; only the
  // top-right one is coded.
  for (int32_t k = 0; k < 4; k++) ctx->maps->unit.tu_log2[zorder_of(2, 2) + k] = 2;
  ctx->maps->unit.cbf[zorder_of(3, 2)] = 1;
  mark();
  EXPECT_EQ(ctx->maps->flags[map8_index(1, 1)] & 0xf0, 0x20);
  // The right edge of the CU adjoins the coded quadrant in its upper half.
  EXPECT_EQ(ver(16, 8), EDGE_COEFFICIENTS);
  EXPECT_EQ(ver(16, 12), EDGE_UNFILTERED);
  EXPECT_EQ(ver(8, 8), EDGE_UNFILTERED);
  // The top edge adjoins it in its right half.
  EXPECT_EQ(hor(8, 8), EDGE_UNFILTERED);
  EXPECT_EQ(hor(12, 8), EDGE_COEFFICIENTS);
  // The flags reach the picture for the CTUs right of and below.
  EXPECT_EQ(rec->units[(8 + 1) * 16 + 8 + 1].flags & 0xf0, 0x20);
}

TEST_F(EdgeFixture, NarrowPredictionUnitsLowerTheEdgeStep) {
  open(1, 1);
  cus(0, 0, 64, 32, 32);
  ctx->maps->part_mode[node_index(0, 5)] = 2;
  set_mv(2, 0, 2, 4, mv_make(0, 8));
  mark();
  EXPECT_EQ(ctx->smallest_block, 16);
  EXPECT_EQ(ver(16, 0), EDGE_MOTION);
}

}  // namespace
