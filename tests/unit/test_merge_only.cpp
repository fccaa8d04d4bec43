// The test-only CTU driver that codes a CTU as one merged 64x64 skip CU
// takes only CTUs that can go so: none of an intra slice (no candidates)
// and none crossing the picture's edge (which must split).  Those it hands
// back untouched, for the usual decision; a whole CTU of a P slice goes as
// the skip CU with candidate 0's motion.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/ctu_maps.h"
#include "analysis/cu_node.h"
#include "encoder/encoder.h"
#include "motion/mv.h"
#include "tests/unit/row_context.h"

namespace {

TEST(MergeOnlyCtu, TakesOnlyWholeCtusOfPredictedSlices) {
  row_context_holder_t h(96, 136);  // 2 x 3 CTUs: the right column and the bottom row partial
  ASSERT_NE(h.ctx, nullptr);
  encoder_t *ctx = h.ctx;
  struct place_t {
    int32_t slice, x, y;
  };
  const place_t places[] = {{2, 0, 0}, {2, 0, 1}, {1, 1, 0}, {0, 0, 2}, {1, 1, 2}};
  // A P slice with one reference and no neighbour: candidate 0 is the zero
  // vector to it, within every limit, so only the place can refuse it.
  ctx->ref_count[0] = 1;
  ctx->ref_count[1] = 0;
  ctx->ref_list[0][0] = h.rec;
  ctx->max_merge_cand = 5;
  std::memset(ctx->maps, 0, sizeof(ctu_maps_t));
  std::memset(ctx->nodes, 0x33, sizeof(cu_node_t));
  const std::vector<uint8_t> maps(reinterpret_cast<uint8_t *>(ctx->maps),
                                  reinterpret_cast<uint8_t *>(ctx->maps) + sizeof(ctu_maps_t));
  const std::vector<uint8_t> root(reinterpret_cast<uint8_t *>(ctx->nodes),
                                  reinterpret_cast<uint8_t *>(ctx->nodes) + sizeof(cu_node_t));
  for (const place_t &p : places) {
    ctx->slice_type_code = p.slice;
    ctx->ctu_x = p.x;
    ctx->ctu_y = p.y;
    ctx->ctu_addr = p.y * ctx->ctu_cols + p.x;
    EXPECT_FALSE(analyse_ctu_merge_only(ctx)) << "slice " << p.slice << " CTU " << p.x << "," << p.y;
  }
  EXPECT_EQ(std::memcmp(ctx->maps, maps.data(), maps.size()), 0);
  EXPECT_EQ(std::memcmp(ctx->nodes, root.data(), root.size()), 0);
  // A whole CTU of the P slice whose candidate 0 (its coded left
  // neighbour's motion) reaches below the rows its references are waited
  // for is left too.
  ctx->slice_type_code = 1;
  ctx->ctu_x = ctx->ctu_y = ctx->ctu_addr = 0;
  const mv_t far = mv_make(0, 4 * ctx->param.mv_range_y + 4);
  for (mv_t &v : ctx->maps->mv[0]) v = far;
  std::memset(ctx->maps->grid, 1, sizeof(ctx->maps->grid));
  const std::vector<uint8_t> far_maps(reinterpret_cast<uint8_t *>(ctx->maps),
                                      reinterpret_cast<uint8_t *>(ctx->maps) + sizeof(ctu_maps_t));
  EXPECT_FALSE(analyse_ctu_merge_only(ctx));
  EXPECT_EQ(std::memcmp(ctx->maps, far_maps.data(), far_maps.size()), 0);
  // Within the limits it goes as the skip CU.
  std::memset(ctx->maps, 0, sizeof(ctu_maps_t));
  ASSERT_TRUE(analyse_ctu_merge_only(ctx));
  EXPECT_TRUE(unit_skip(ctx->maps, 0));
  EXPECT_EQ(ctx->maps->merge_idx[map8_index(7, 7)], 0);
  EXPECT_EQ(ctx->maps->ref_idx[0][map8_index(7, 7)], 0);
  EXPECT_EQ(ctx->maps->mv[0][map8_index(7, 7)], 0u);
  EXPECT_EQ(ctx->maps->depth[map8_index(7, 7)], 0);
}

}  // namespace
