#include "encoder/ctu_start.h"

#include <algorithm>
#include <cstring>

#include "analysis/decision_common.h"

namespace {

// Neighbouring CTUs this close in their source samples predict each
// other's depths.
constexpr uint32_t SIMILAR_SAD = 122879;

bool similar(const encoder_t *ctx, int32_t dx, int32_t dy) {
  const frame_t *f = ctx->cur_input;
  const uint8_t *other = f->plane[0] + (ctx->ctu_y + dy) * 64 * f->stride[0] + (ctx->ctu_x + dx) * 64;
  return ctx->pixel.sad[0](ctx->ctu_src, SRC_STRIDE, other, f->stride[0]) <= SIMILAR_SAD;
}

}  // namespace

void picture_analysis_reset(encoder_t *ctx) {
  frame_t *rec = ctx->cur_recon;
  std::memset(rec->ctu_max_depth, 0, static_cast<size_t>(ctx->ctu_count));
  std::memset(rec->ctu_min_depth, 100, static_cast<size_t>(ctx->ctu_count));
  std::memset(rec->ctu_distortion, 0, sizeof(uint32_t) * static_cast<size_t>(ctx->ctu_count));
}

void ctu_start(encoder_t *ctx) {
  ctx->speed_mode = ctx->picture_speed_mode;
  ctx->analysis_level = ctx->speed_mode == 3 ? 4 : ctx->param.complexity;
  ctx->smallest_block = 64;
  ctx->ctu_subpel_level = ctx->param.subpel_level;
  ctx->ctu_early_skip = ctx->param.early_skip;
  ctx->ctu_search_range = ctx->param.search_range;
  // A prediction block may start up to 71 samples left of or above the
  // picture and 7 past its right or bottom edge: further out it reads only
  // replicated edge samples, the same prediction.
  ctx->pu_pos_min_x = -64 * ctx->ctu_x - 71;
  ctx->pu_pos_max_x = ctx->width - 64 * ctx->ctu_x + 7;
  ctx->pu_pos_min_y = -64 * ctx->ctu_y - 71;
  ctx->pu_pos_max_y = ctx->height - 64 * ctx->ctu_y + 7;
  ctx->mv_min = -2000;
  ctx->mv_max = 4 * ctx->param.mv_range_y + 3;
  const uint32_t type = ctx->cur_input->frame_type_code;
  ctx->b_intra_trial = ctx->analysis_level < 5 && (type == TARNHEVCENC_TYPE_BREF || type == TARNHEVCENC_TYPE_B) ? ctx->param.intra_trial_b != 0 : 1;
  const bool full = (ctx->ctu_x + 1) * 64 <= ctx->width && (ctx->ctu_y + 1) * 64 <= ctx->height;
  ctx->ctu_left_similar = full && ctx->ctu_x > 0 && similar(ctx, -1, 0);
  ctx->ctu_above_similar = full && ctx->ctu_y > 0 && similar(ctx, 0, -1);
  auto &prior = ctx->depth_stats_prior;
  std::memset(&prior, 0, sizeof(prior));
  auto add = [&](int32_t addr) {
    for (int32_t d = 0; d < 4; d++) {
      prior.sum[d] += ctx->ctu_depth_sum[addr][d];
      prior.count[d] = static_cast<int8_t>(prior.count[d] + ctx->ctu_depth_count[addr][d]);
    }
  };
  if (ctx->ctu_left_similar) add(ctx->ctu_addr - 1);
  if (ctx->ctu_above_similar) add(ctx->ctu_addr - ctx->ctu_cols);
  for (int32_t d = 0; d < 4; d++)
    if (prior.count[d]) {
      prior.sum[d] = 2 * prior.sum[d] / static_cast<uint32_t>(prior.count[d]);
      prior.count[d] = 2;
    }
  ctx->depth_stats = prior;
}

void cu_tree_finalize_qp(encoder_t *ctx) {
  frame_t *rec = ctx->cur_recon;
  const int32_t w = std::min(64, ctx->width - ctx->ctu_x * 64), h = std::min(64, ctx->height - ctx->ctu_y * 64);
  int8_t &mx = rec->ctu_max_depth[ctx->ctu_addr], &mn = rec->ctu_min_depth[ctx->ctu_addr];
  for (int32_t y4 = 0; y4 < h / 4; y4++)
    for (int32_t x4 = 0; x4 < w / 4; x4++) {
      const int8_t d = static_cast<int8_t>(6 - ctx->maps->unit.cu_log2[zorder_of(x4, y4)]);
      mx = std::max(mx, d);
      mn = std::min(mn, d);
    }
}

void cu_tree_store_flags(encoder_t *ctx) {
  frame_t *f = ctx->cur_recon;
  for (int32_t y8 = 0; y8 < 8; y8++)
    for (int32_t x8 = 0; x8 < 8; x8++) {
      const int32_t u = map8_index(x8, y8), z = zorder_of(2 * x8, 2 * y8);
      ctx->maps->flags[u] &= 0x0f;
      const int32_t leaf = std::min(ctx->maps->unit.cu_log2[z], ctx->maps->unit.tu_log2[z]);
      const uint8_t size8 = static_cast<uint8_t>(leaf <= 2 ? 1 : 1 << (leaf - 3));
      f->units[(ctx->ctu_y * 8 + y8) * f->units_stride + ctx->ctu_x * 8 + x8].leaf_size = size8;
      ctx->smallest_block = std::min<uint8_t>(ctx->smallest_block, static_cast<uint8_t>(1 << leaf));
      // The edge between two prediction units lies inside the leaf.
      if (unit_part_mode(ctx->maps, z) != 0)
        ctx->smallest_block = std::min<uint8_t>(ctx->smallest_block, static_cast<uint8_t>(1 << (ctx->maps->unit.cu_log2[z] - 1)));
    }
}

void ctu_save_neighbour_data(encoder_t *ctx) {
  for (int32_t d = 0; d < 4; d++) {
    ctx->ctu_depth_sum[ctx->ctu_addr][d] = ctx->depth_stats.sum[d];
    ctx->ctu_depth_count[ctx->ctu_addr][d] = ctx->depth_stats.count[d];
  }
}
