// The intra alternative of a CU in a P or B picture.  Inter prediction
// usually wins there, so every stage of the search is bounded by multiples
// of the best inter rough cost I: a CU whose inter prediction is good costs
// one or two intra predictions, and only a rough intra cost close to I is
// worth a residual coding.
#include <cstring>

#include "analysis/decision_common.h"
#include "analysis/intra_common.h"
#include "analysis/intra_decision.h"
#include "rdo/block_coding.h"
#include "rdo/cu_commit.h"
#include "rdo/rd_cost.h"

namespace {

struct pb_search_t {
  intra_cu_t cu;
  uint8_t visited[35];
  intra_list_t list;  // the two best rough results

  uint32_t evaluate(int32_t mode) {
    visited[mode] = 1;
    const uint32_t cost = intra_rough_luma(&cu, mode);
    cu.node->mode_costs[mode] = cost;
    intra_list_insert(&list, mode, cost);
    return cost;
  }
  // Ends the rough search with the list's best (or the given) result.
  void finish(int32_t mode, uint32_t cost) {
    cu.ctx->intra_refs_refresh = 1;
    cu.ctx->intra_rd_done = 0;
    cu.node->intra_sad_cost = cost;
    cu.node->luma_dir = mode;
  }
};

// The angular search: a coarse pass over five directions, then three
// refinements around the two best at steps 4, 2 and 1, each cut off by a
// limit shrinking towards I.
void angular_search(pb_search_t &s, uint32_t inter) {
  const uint32_t twice = 2 * inter;
  bool pass_next = false;
  for (int32_t mode = 2; mode <= 34; mode += 8) {
    if (pass_next) {
      pass_next = false;
      continue;
    }
    if (!s.cu.enabled[mode]) continue;
    // A direction far behind inter hides its neighbour in the coarse pass.
    pass_next = s.evaluate(mode) > twice;
  }
  const uint32_t limits[3] = {(12 * inter) >> 3, (10 * inter) >> 3, (9 * inter) >> 3};
  for (int32_t level = 0; level < 3; level++) {
    const int32_t step = 4 >> level;
    const int32_t m[2] = {s.list.mode[0], s.list.mode[1]};
    const uint32_t c[2] = {s.list.cost[0], s.list.cost[1]};
    for (int32_t e = 0; e < 2; e++) {
      if (m[e] < 2 || c[e] >= limits[level]) continue;
      const int32_t last = m[e] + step < 34 ? m[e] + step : 34;
      for (int32_t mode = m[e] - step > 2 ? m[e] - step : 2; mode <= last; mode += step)
        if (!s.visited[mode] && s.cu.enabled[mode]) s.evaluate(mode);
    }
  }
}

}  // namespace

void analyse_intra_cu_pb(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size) {
  pb_search_t s;
  intra_cu_t &cu = s.cu;
  const uint8_t cbf_saved = nodes[node_index(z, log2_size)].cbf_saved;
  intra_cu_begin(&cu, ctx, nodes, z, x, y, log2_size);
  cu_node_t *node = cu.node;
  node->cbf_saved = cbf_saved;  // the inter evaluation's
  cu.luma_cost = ctx->pixel.satd[6 - log2_size];
  node->luma_dir = 0;
  cu_commit(ctx, nodes, z, x, y, log2_size);
  intra_mpms(ctx, z, cu.mpm);
  const bool flat = intra_enable_modes(&cu, -1);
  std::memset(s.visited, 0, sizeof(s.visited));
  intra_list_init(&s.list, 2);
  // The first prediction builds this block's neighbours; the rest reuse them.
  ctx->intra_refs_refresh = 1;

  // All thresholds are unsigned 32-bit: an unset inter cost (0x1fffffff)
  // times four still fits.
  const uint32_t inter = node->inter_sad_cost;
  s.evaluate(0);
  const uint32_t planar = s.list.cost[0];
  if (planar > 4 * inter) return s.finish(0, planar);
  s.evaluate(1);
  if (s.list.cost[0] > 3 * inter) return s.finish(s.list.mode[0], s.list.cost[0]);
  if (!flat) angular_search(s, inter);
  s.finish(s.list.mode[0], s.list.cost[0]);
  if (ctx->analysis_level <= 1) return;

  const int32_t early_skip = ctx->ctu_early_skip;
  const uint32_t type = ctx->cur_input->frame_type_code;
  const int32_t latency = ctx->param.latency_mode;
  const bool picture_allows =
      type == TARNHEVCENC_TYPE_P || (type == TARNHEVCENC_TYPE_BREF && log2_size <= 4);
  const bool close = s.list.cost[0] < ((3 * inter) >> 1) + 2 * node->lambda_sad;
  const bool level_allows = ctx->analysis_level >= (latency == 0 ? 4 : 3);
  if (!(early_skip > 0 && picture_allows && close && ctx->speed_mode <= 1 && level_allows)) return;
  ctx->intra_rd_done = 1;

  const int32_t d = cu.depth, n = node_index(z, log2_size);
  ctx->cabac.est = ctx->cabac_est_save[1 + d];
  cu_commit(ctx, nodes, z, x, y, log2_size);
  node->intra_cost = cu_rd_cost(ctx, node->lambda_ssd, z, x, y, log2_size, 0);
  uint8_t cbf = ctx->maps->cbf[n];
  if (latency == 0) {
    node->cbf_intra = cbf;
    return;
  }
  auto rd_trial = [&](int32_t mode) { intra_cu_rd_trial(ctx, nodes, z, x, y, log2_size, mode, &cbf); };
  const int32_t k_count = early_skip >= 2 ? 2 : 1;
  const int32_t second = s.list.mode[1];
  for (int32_t k = 0; k < k_count; k++)
    if (cu.mpm[k] != node->luma_dir && cu.mpm[k] != second) rd_trial(cu.mpm[k]);
  if (k_count == 2 && second >= 0 && second != node->luma_dir) rd_trial(second);
  // The maps may still hold a losing trial's mode: the inter evaluation
  // commits whichever decision it takes.
  node->cbf_intra = cbf;
}
