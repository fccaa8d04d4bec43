// Motion of the two prediction units of a 2NxN or Nx2N CU.
#include <algorithm>

#include "analysis/decision_common.h"
#include "motion/mvp.h"
#include "motion/me_context.h"
#include "motion/pu_search.h"
#include "rdo/block_coding.h"
#include "rdo/inter_pred.h"
#include "rdo/rd_cost.h"

namespace {

struct pu_choice_t {
  uint8_t merge, merge_idx;
  int8_t ref[2];
  mv_t mv[2];
  uint32_t cost;
};

// The PU's best merge candidate and its best uni- or bi-predicted searched
// motion, compared by SATD plus approximate bits.
pu_choice_t choose_pu(encoder_t *ctx, int32_t px, int32_t py, int32_t w, int32_t h) {
  const int32_t z = zorder_of(px >> 2, py >> 2);
  const uint32_t lambda_sad = ctx->ctu_lambda_sad;
  pu_choice_t best{};
  best.cost = UINT32_MAX;
  merge_candidates_t mc;
  const int32_t count = mvp_get_merge_list(ctx, z, px, py, w, h, &mc);
  for (int32_t i = 0; i < count; i++) {
    const int8_t ref[2] = {mc.ref_idx[0][i], mc.ref_idx[1][i]};
    const mv_t mv[2] = {mc.mv[0][i], mc.mv[1][i]};
    if (!motion_within_limits(ctx, ref, mv)) continue;
    inter_predict_pu(ctx, px, py, w, h, ref, mv);
    const uint32_t c = pu_prediction_satd(ctx, px, py, w, h) + lambda_sad * static_cast<uint32_t>(i + 1);
    if (c < best.cost) best = pu_choice_t{1, static_cast<uint8_t>(i), {ref[0], ref[1]}, {mv[0], mv[1]}, c};
  }
  const int32_t lists = ctx->slice_type_code == 0 ? 2 : 1;
  mv_t found[2] = {0, 0};
  uint32_t bound = COST_NONE;
  for (int32_t l = 0; l < lists; l++) {
    // The predictors are those of reference 0, written where the PU's
    // reference index is read.
    int8_t ref[2] = {-1, -1};
    ref[l] = 0;
    const mv_t none[2] = {0, 0};
    set_maps(ctx, px, py, w, h, 0, 0, 0, ref, none);
    me_request_t rq = me_request_for(px, py, w, h, l, 0);
    rq.amvp_count = mvp_get_amvp_candidates(ctx, z, px, py, w, h, 0, l, rq.amvp);
    me_result_t r{};
    me_search(ctx, &ctx->me, &r, &rq, ctx->ctu_qp, bound, 0, 1);
    found[l] = r.mv;
    uint32_t cost = r.cost;
    bound = std::min(bound, cost);
    cost += lambda_sad * 2;  // reference and direction bits, roughly
    if (cost < best.cost)
      best = pu_choice_t{0, 0, {ref[0], ref[1]}, {l == 0 ? found[0] : 0, l == 1 ? found[1] : 0}, cost};
  }
  if (lists == 2) {
    const int8_t ref[2] = {0, 0};
    inter_predict_pu(ctx, px, py, w, h, ref, found);
    const uint32_t c = pu_prediction_satd(ctx, px, py, w, h) + lambda_sad * 2 * static_cast<uint32_t>(mvd_bits(0) + 4);
    if (c < best.cost) best = pu_choice_t{0, 0, {0, 0}, {found[0], found[1]}, c};
  }
  return best;
}

}  // namespace

void inter_cu_search_full(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size) {
  (void)z;
  cu_node_t *node = nodes + node_index(z, log2_size);
  const int32_t pm = static_cast<int32_t>(node->part_mode);
  pu_pair_t &pp = pm == 1 ? node->pu.p2nxn : node->pu.pnx2n;
  const int32_t size = 1 << log2_size;
  const int32_t w = pm == 2 ? size / 2 : size, h = pm == 1 ? size / 2 : size;
  for (int32_t k = 0; k < 2; k++) {
    const int32_t px = x + (pm == 2 ? k * w : 0), py = y + (pm == 1 ? k * h : 0);
    const pu_choice_t c = choose_pu(ctx, px, py, w, h);
    pp.merge_flag[k] = c.merge;
    pp.merge_idx[k] = c.merge_idx;
    for (int32_t l = 0; l < 2; l++) {
      pp.ref_idx[k][l] = c.ref[l];
      pp.mv[k][l] = c.mv[l];
    }
    // The second unit sees the first as its coded neighbour.
    set_maps(ctx, px, py, w, h, 0, c.merge, c.merge_idx, c.ref, c.mv);
    if (k == 0) grid_mark_available(ctx, px, py, w, h);
  }
  grid_mark_unavailable(ctx, x, y, size, size);
}
