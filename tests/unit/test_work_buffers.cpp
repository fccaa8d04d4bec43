// The CTU working buffers the vector kernels read and write start on 32-byte
// boundaries in every context, so that every block at a multiple of its size
// in them is 32-byte aligned too.
#include <gtest/gtest.h>

#include <cstdint>

#include "encoder/encoder.h"
#include "tests/unit/row_context.h"

namespace {

bool aligned32(const void *p) { return (reinterpret_cast<uintptr_t>(p) & 31) == 0; }

void expect_aligned(const encoder_t *c, const char *which) {
  EXPECT_TRUE(aligned32(c->ctu_src)) << which << " ctu_src";
  EXPECT_TRUE(aligned32(c->ctu_rec)) << which << " ctu_rec";
  EXPECT_TRUE(aligned32(c->pred_work)) << which << " pred_work";
  EXPECT_TRUE(aligned32(c->coef_tmp)) << which << " coef_tmp";
  EXPECT_TRUE(aligned32(c->dq_tmp)) << which << " dq_tmp";
  EXPECT_TRUE(aligned32(c->maps->unit.coef_y)) << which << " coef_y";
  for (int32_t p = 0; p < 3; p++) EXPECT_TRUE(aligned32(c->sao_diff[p])) << which << " sao_diff " << p;
}

TEST(WorkBuffers, CtuBuffersAre32ByteAlignedInEveryContext) {
  encoder_t *enc = nullptr;
  encoder_t *row = open_row_context(200, 136, &enc);
  ASSERT_NE(row, nullptr);
  expect_aligned(row, "row context");
  for (int32_t f = 1; f < enc->frame_ctx_count; f++) {
    const encoder_t *fc = enc->frame_ctx[f];
    for (int32_t r = 0; r < fc->ctu_rows; r++) expect_aligned(fc->row_ctx[r], "frame context row");
  }
  encoder_close(enc);
}

}  // namespace
