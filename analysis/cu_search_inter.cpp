// The quad-tree recursion of P and B slices at analysis levels 0-4: per
// node the unsplit CU, rules that drop the split trial where the unsplit CU
// is cheap against the thresholds, the neighbouring CTUs' costs at the
// same depth or the source texture, then the four children with abort
// rules, and the split decision.
#include <algorithm>

#include "analysis/ctu_analysis.h"
#include "analysis/decision_common.h"
#include "analysis/inter_common.h"
#include "motion/mvp.h"
#include "rdo/rd_cost.h"

namespace {

constexpr uint32_t AREA2[5] = {8192, 2048, 512, 128, 32};

// The depth-statistics test: the split is tried only when the unsplit cost
// reaches the average cost that CUs of this depth had (in the similar
// neighbouring CTUs and among the earlier siblings), scaled by F.
bool depth_stats_allow_split(const encoder_t *ctx, const cu_node_t *nodes, int32_t z, int32_t x, int32_t y,
                             int32_t log2_size, uint32_t cost) {
  const int32_t d = 6 - log2_size, level = ctx->analysis_level;
  const int32_t w_left = ctx->width - ctx->ctu_x * 64, h_left = ctx->height - ctx->ctu_y * 64;
  const int32_t p = (z >> (2 * (log2_size - 2))) & 3, q = child_step(log2_size + 1), size = 1 << log2_size;
  const int32_t px = x - (p & 1) * size, py = y - (p >> 1) * size;
  uint64_t n = static_cast<uint64_t>(std::max<int32_t>(ctx->depth_stats_prior.count[d], 0));
  uint64_t sum = ctx->depth_stats_prior.sum[d];
  // Only the earlier siblings that lie in the picture were searched.
  for (int32_t k = 0; k < p; k++) {
    if (px + (k & 1) * size >= w_left || py + (k >> 1) * size >= h_left) continue;
    sum += nodes[node_index(z - (p - k) * q, log2_size)].cost;
    n++;
  }
  if (n == 0) return true;
  double f = 1.0;
  if (level == 4) {
    f = 0.8;
  } else if (level < 3) {
    const frame_t *rec = ctx->cur_recon;
    int32_t deepest = -1;
    if (ctx->ctu_left_similar) deepest = rec->ctu_max_depth[ctx->ctu_addr - 1];
    if (ctx->ctu_above_similar) deepest = std::max<int32_t>(deepest, rec->ctu_max_depth[ctx->ctu_addr - ctx->ctu_cols]);
    if (deepest < 0) deepest = 3;
    f = d < deepest ? 1.0 : 2.0;
    if (ctx->cur_input->frame_type_code != TARNHEVCENC_TYPE_P && ctx->slice_type_code == 0 && ctx->ref_count[0] > 0 &&
        ctx->ref_count[1] > 0) {
      const int32_t a = ctx->ref_list[0][0]->ctu_max_depth[ctx->ctu_addr];
      const int32_t b = ctx->ref_list[1][0]->ctu_max_depth[ctx->ctu_addr];
      if ((a + b) >> 1 <= d) f = 2.0;
    }
  }
  return static_cast<uint64_t>(static_cast<double>(sum) * f) <= n * cost;
}

}  // namespace

void analyse_cu_fast_inter(encoder_t *ctx, cu_node_t *nodes, lowres_cu_search_t *lowres, int32_t z, int32_t x,
                           int32_t y, int32_t log2_size) {
  cu_node_t *node = nodes + node_index(z, log2_size);
  const int32_t s = log2_size, d = 6 - s, size = 1 << s, mincb = min_cb_log2(ctx);
  const int32_t level = ctx->analysis_level;
  const int32_t w_left = ctx->width - ctx->ctu_x * 64, h_left = ctx->height - ctx->ctu_y * 64;
  cu_node_reset(ctx, node);
  const bool inside = x + size <= w_left && y + size <= h_left;
  int32_t split_mode;
  if (!inside)
    split_mode = s > mincb ? 2 : 0;
  else if (s <= mincb)
    split_mode = 0;
  else if (d < ctx->cu_min_depth)
    split_mode = 2;
  else if (ctx->param.split_search_level > 2)
    split_mode = 1;
  else
    split_mode = d < ctx->cu_max_depth ? 1 : 0;
  node->lowres_cost = cu_lowres_cost(ctx, x, y, s);
  node->visited = 1;
  copy_spare_states(&ctx->cabac.est);
  ctx->cabac_est_save[1 + d] = ctx->cabac.est;

  if (split_mode != 2) {
    node->split = 0;
    node->split_mode = static_cast<uint8_t>(split_mode);
    node->no_early_stop = 0;
    const bool on_lowres = ctx->param.lowres_cu_search && s >= 4;
    if (ctx->slice_type_code == 1 && on_lowres)
      analyse_p_cu_lowres(ctx, nodes, lowres, z, x, y, s);
    else if (ctx->slice_type_code == 1)
      analyse_p_cu(ctx, nodes, z, x, y, s);
    else if (on_lowres)
      analyse_b_cu_lowres(ctx, nodes, lowres, z, x, y, s);
    else
      analyse_b_cu(ctx, nodes, z, x, y, s);
    node->split_flag_cost[0] = split_cu_flag_cost(ctx, node->lambda_ssd, map8_index(x >> 3, y >> 3), d, 0);
    const uint32_t c = node->cost;
    if (level < 3 && split_mode == 1 && c < AREA2[d] + 100) split_mode = 0;
    if (!node->no_early_stop && split_mode == 1) {
      bool stop = node->skip != 0;
      stop = stop || (node->recode == 0 && ctx->maps->cbf[node_index(z, s)] == 0 && d > 0);
      if (!stop && level < 2)
        stop = d < 3 && static_cast<int32_t>(c) < SPLIT_STOP_COST[node->qp][d];
      else if (!stop)
        stop = c < ((static_cast<uint64_t>(node->lambda_ssd) << 3) >> (16 - 2 * s));
      if (!stop && s <= 5) stop = !depth_stats_allow_split(ctx, nodes, z, x, y, s, c);
      if (stop) split_mode = 0;
      if (split_mode == 1 && s == 4 && level < 3 && (ctx->cur_input->b_level != 0 || node->pred_intra))
        split_mode = cu_split_texture_test(ctx, z, x, y, s);
    }
    node->split_mode = static_cast<uint8_t>(split_mode);
    if (split_mode == 0) {
      cu_decide_split(ctx, nodes, z, x, y, s, 0);
      return;
    }
    if (node->recode == 0) cu_snapshot_save(ctx, nodes, z, y, s);
  } else {
    node->split_mode = 2;
  }

  // Split trial.
  const int32_t h = size >> 1, q = child_step(s);
  const bool right = x + h < w_left, below = y + h < h_left;
  grid_mark_unavailable(ctx, x, y, size, size);
  if (split_mode == 1) ctx->cabac.est = ctx->cabac_est_save[1 + d];
  node->split = 1;
  cu_node_t *c = nodes + node_index(z, s - 1);
  const uint32_t unsplit = node->cost;
  const bool kids[4] = {true, right, below, right && below};
  const int32_t last_before = below ? 2 : 1;  // the child after which the whole-cost rule applies
  uint32_t p = 0;
  bool aborted = false;
  for (int32_t k = 0; k < 4; k++) {
    if (!kids[k]) continue;
    if (aborted) {
      c[k].cost = COST_NONE;
      continue;
    }
    analyse_cu_fast_inter(ctx, nodes, lowres, z + k * q, x + (k & 1) * h, y + (k >> 1) * h, s - 1);
    p += c[k].cost;
    if (split_mode != 1 || level >= 3 || k == 3) continue;
    // In B slices the first children alone may already cost more than two
    // thirds of the whole; later on the children's sum is compared with
    // the whole.
    bool abort = k < 2 && ctx->slice_type_code == 0 &&
                 static_cast<uint64_t>(2) * unsplit < static_cast<uint64_t>(3) * p;
    abort = abort || (k == last_before && unsplit < p);
    if (abort) {
      aborted = true;
      if (k == 2)
        grid_mark_available(ctx, x + h, y + h, h, h);
      else
        grid_mark_available(ctx, x, y, size, size);
    }
  }
  if (!aborted) node->split_flag_cost[1] = split_cu_flag_cost(ctx, node->lambda_ssd, map8_index(x >> 3, y >> 3), d, 1);
  cu_decide_split(ctx, nodes, z, x, y, s, (split_mode << 2) | (below ? 2 : 0) | (right ? 1 : 0));
  if (s > mincb) {
    ctx->depth_stats.count[d] = static_cast<int8_t>(ctx->depth_stats.count[d] + 1);
    ctx->depth_stats.sum[d] += node->cost;
  }
}
