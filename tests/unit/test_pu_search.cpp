// The rough cost of a partition's prediction unit: the SATD of the whole
// unit, the sum over its 4x4 tiles, whatever the shape and the CPU tier.
#include <gtest/gtest.h>

#include <random>

#include "common/primitives.h"
#include "motion/pu_search.h"
#include "rdo/block_coding.h"
#include "row_context.h"

namespace {

TEST(PuSearch, SatdOfEveryUnitShapeIsTheSumOfItsTiles) {
  row_context_holder_t h(128, 128);
  encoder_t *ctx = h.ctx;
  ASSERT_NE(ctx, nullptr);
  std::mt19937 r(3);
  for (int32_t y = 0; y < 64; y++)
    for (int32_t x = 0; x < 64; x++) {
      ctu_src_at(ctx, 0, x, y)[0] = static_cast<uint8_t>(r());
      // Extremes in some rows, where a sum that wraps or saturates shows.
      ctu_rec_at(ctx, 0, x, y)[0] = (y & 12) == 4 ? static_cast<uint8_t>((x & 1) * 255) : static_cast<uint8_t>(r());
    }
  const uint32_t have = cpu_detect_flags();
  const struct shape_t {
    int32_t x, y, w, h;
  } shapes[] = {{0, 0, 64, 32}, {0, 32, 64, 32}, {32, 0, 32, 64}, {0, 0, 32, 16}, {16, 32, 16, 32}, {8, 8, 16, 8},
                {40, 16, 8, 16},  {0, 0, 8, 8},   {32, 32, 32, 32}, {4, 0, 4, 8},   {12, 4, 12, 4}};
  for (uint32_t flags : {0u, 2u, 7u}) {
    if ((flags & have) != flags) continue;
    setup_pixel_primitives(flags, &ctx->pixel, ctx->analysis_level);
    for (const shape_t &s : shapes) {
      uint32_t tiles = 0;
      for (int32_t y = s.y; y < s.y + s.h; y += 4)
        for (int32_t x = s.x; x < s.x + s.w; x += 4)
          tiles += ctx->pixel.satd[4](ctu_src_at(ctx, 0, x, y), SRC_STRIDE, ctu_rec_at(ctx, 0, x, y), RECON_STRIDE);
      EXPECT_EQ(pu_prediction_satd(ctx, s.x, s.y, s.w, s.h), tiles)
          << s.w << "x" << s.h << " at (" << s.x << ", " << s.y << "), flags " << flags;
    }
  }
}

}  // namespace
