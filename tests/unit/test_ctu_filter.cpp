// The SAO application one CTU behind the coding: every CTU of every plane is
// filtered exactly once, its top rows only after its right neighbour is
// finished (deblocked), its other rows after its lower and lower-right ones
// too, and left to right within a row; and
// the SAO source of a component whose SAO is on lies in its own plane's
// allocation 4 rows lower and 32 samples further right.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "encoder/ctu_filter.h"
#include "encoder/encoder.h"
#include "encoder/frame.h"

namespace {

struct call_t {
  int32_t x, y, plane, part;
};
std::vector<call_t> calls;

void record_call(encoder_t *, int32_t x, int32_t y, int32_t plane, int32_t shift, int32_t part) {
  EXPECT_EQ(shift, 0);
  calls.push_back({x, y, plane, part});
}

TEST(CtuPostFilter, EveryCtuOnceAfterItsRightAndLowerNeighbours) {
  for (auto [cols, rows] : {std::pair{5, 4}, std::pair{1, 1}, std::pair{1, 3}, std::pair{4, 1}, std::pair{2, 2}})
    for (int32_t enable : {1, 2, 3, 0}) {
      auto ctx = std::make_unique<encoder_t>();
      ctx->ctu_cols = cols;
      ctx->ctu_rows = rows;
      ctx->sao_enable = enable;
      ctx->sao.sao_apply_ctu = record_call;
      calls.clear();
      std::set<std::pair<int32_t, int32_t>> finished;
      size_t seen = 0;
      // Raster order: the order of one stream, and the order in which the
      // wavefront finishes the CTUs that each CTU's filtering depends on.
      for (int32_t y = 0; y < rows; y++)
        for (int32_t x = 0; x < cols; x++) {
          finished.insert({x, y});
          ctx->ctu_x = x;
          ctx->ctu_y = y;
          ctu_post_filter(ctx.get());
          for (; seen < calls.size(); seen++) {
            const call_t &c = calls[seen];
            // Top rows: after the CTU and its right neighbour; the rest after
            // the lower and lower-right ones too.
            const int32_t below = c.part == SAO_ROWS_TOP ? 1 : 2;
            for (int32_t dy = 0; dy < below; dy++)
              for (int32_t dx = 0; dx < 2; dx++) {
                const int32_t nx = c.x + dx, ny = c.y + dy;
                if (nx < cols && ny < rows) {
                  EXPECT_TRUE(finished.count({nx, ny})) << "CTU " << c.x << "," << c.y << " part " << c.part
                                                        << " filtered before " << nx << "," << ny;
                }
              }
          }
        }
      // Every CTU of a plane with SAO once: whole in the last row, else its
      // top rows, then its bottom rows.
      const int32_t planes = (enable & 1) + 2 * ((enable >> 1) & 1);
      const int32_t parts = rows == 1 ? 1 : 2;
      ASSERT_EQ(calls.size(), static_cast<size_t>((cols * (rows - 1) * parts + cols) * planes))
          << cols << "x" << rows << " enable " << enable;
      std::set<std::vector<int32_t>> once;
      for (size_t i = 0; i < calls.size(); i++) {
        const call_t &c = calls[i];
        EXPECT_EQ(c.part == SAO_ROWS_ALL, c.y == rows - 1) << c.x << "," << c.y;
        EXPECT_TRUE(once.insert({c.x, c.y, c.plane, c.part}).second)
            << "twice: " << c.x << "," << c.y << " plane " << c.plane << " part " << c.part;
        if (c.part == SAO_ROWS_BOTTOM) {
          EXPECT_TRUE(once.count({c.x, c.y, c.plane, SAO_ROWS_TOP})) << "bottom rows first at " << c.x << "," << c.y;
        }
        EXPECT_TRUE(c.plane == 0 ? (enable & 1) : (enable & 2)) << "plane " << c.plane << " with SAO off";
        // Within a CTU row, left to right.
        for (size_t k = i + 1; k < calls.size(); k++)
          if (calls[k].y == c.y && calls[k].plane == c.plane && calls[k].part == c.part) {
            EXPECT_GT(calls[k].x, c.x);
          }
      }
    }
}

TEST(CtuPostFilter, SaoSourceLiesFourRowsLowerAnd32SamplesRight) {
  frame_t *f = frame_new(200, 136, 0);
  ASSERT_NE(f, nullptr);
  auto ctx = std::make_unique<encoder_t>();
  ctx->cur_recon = f;
  for (int32_t enable : {0, 1, 2, 3}) {
    ctx->sao_enable = enable;
    ctu_setup_pointers(ctx.get());
    for (int32_t c = 0; c < 3; c++) {
      const bool on = (enable >> (c ? 1 : 0)) & 1;
      EXPECT_EQ(f->work[c], on ? f->plane[c] + 4 * f->stride[c] + 32 : f->plane[c]) << "plane " << c;
    }
  }
  // The shifted source of the whole CTU grid, with the sample around it
  // that SAO reads, stays inside the plane's margins.
  for (int32_t c = 0; c < 3; c++) {
    const int32_t sh = c ? 1 : 0;
    EXPECT_LE(32 + 1 + 1, FRAME_PAD_X >> sh) << "plane " << c;
    EXPECT_LE(4 + 1 + 1, FRAME_PAD_Y >> sh) << "plane " << c;
  }
  frame_delete(f);
}

}  // namespace
