// A small rate-distortion decision, to be replaced by the full coding-tree
// search: per CU the skip, merge and one searched vector per list (and
// their bi-prediction) against intra 2Nx2N and NxN, then the split.  Every
// candidate is committed, coded and costed through the residual coder from
// the same estimation state, and the winner is left in place from its
// snapshot.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "analysis/analysis.h"
#include "analysis/cu_commit.h"
#include "analysis/decision_common.h"
#include "bitstream/ctu_writer.h"
#include "motion/mvp.h"
#include "motion/pu_search.h"
#include "motion/me_context.h"
#include "rdo/block_coding.h"
#include "rdo/inter_pred.h"
#include "rdo/rd_cost.h"

namespace {

const mv_t zero_mv[2] = {0, 0};

// Best luma mode of the prediction block at (x, y) by SATD plus the mode's
// approximate signalling cost.
int32_t best_luma_mode(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size) {
  int32_t mpm[3];
  mpm_candidates(ctx, x, y, mpm);
  pixel_cost_fn satd = ctx->pixel.satd[6 - log2_size];
  double best_cost = 0;
  int32_t best = 0;
  intra_prepare_refs(ctx, 0, x, y, log2_size);
  for (int32_t mode = 0; mode < 35; mode++) {
    intra_predict_prepared(ctx, 0, x, y, log2_size, mode);
    const double bits = mode == mpm[0] ? 2 : (mode == mpm[1] || mode == mpm[2]) ? 3 : 6;
    const double cost = satd(ctu_src_at(ctx, 0, x, y), SRC_STRIDE, ctu_rec_at(ctx, 0, x, y), RECON_STRIDE) +
                        ctx->lambda_sad * bits;
    if (mode == 0 || cost < best_cost) {
      best_cost = cost;
      best = mode;
    }
  }
  return best;
}

// ---------------------------------------------------------------- inter

struct inter_choice_t {
  int32_t merge, merge_idx;
  int8_t ref[2];
  mv_t mv[2];
  uint32_t cost;
};

uint32_t prediction_satd(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size) {
  return pu_prediction_satd(ctx, x, y, 1 << log2_size, 1 << log2_size);
}

// Chooses the PU motion of a 2Nx2N inter CU: the best merge candidate and
// the best searched vector (list 0, list 1 or both) by SATD.
void choose_inter(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, inter_choice_t *merge_best,
                  inter_choice_t *amvp_best) {
  const int32_t z = zorder_of(x >> 2, y >> 2), size = 1 << log2_size;
  merge_candidates_t mc;
  const int32_t count = mvp_get_merge_list(ctx, z, x, y, size, size, &mc);
  merge_best->cost = UINT32_MAX;
  for (int32_t i = 0; i < count; i++) {
    const int8_t ref[2] = {mc.ref_idx[0][i], mc.ref_idx[1][i]};
    const mv_t mv[2] = {mc.mv[0][i], mc.mv[1][i]};
    if (!motion_within_limits(ctx, ref, mv)) continue;
    inter_predict_pu(ctx, x, y, size, size, ref, mv);
    const uint32_t c = prediction_satd(ctx, x, y, log2_size) + static_cast<uint32_t>(ctx->lambda_sad * (i + 1));
    if (c < merge_best->cost) *merge_best = inter_choice_t{1, i, {ref[0], ref[1]}, {mv[0], mv[1]}, c};
  }

  const int32_t lists = ctx->slice_type_code == 0 ? 2 : 1;
  mv_t best_mv[2] = {0, 0};
  uint32_t best_cost[2] = {UINT32_MAX, UINT32_MAX};
  for (int32_t l = 0; l < lists; l++) {
    int8_t ref[2] = {-1, -1};
    ref[l] = 0;
    set_maps(ctx, x, y, size, size, 0, 0, 0, ref, zero_mv);
    me_request_t rq = me_request_for(x, y, size, size, l, 0);
    rq.amvp_count = mvp_get_amvp_candidates(ctx, z, x, y, size, size, 0, l, rq.amvp);
    me_result_t r{};
    const uint32_t bound = l == 0 ? COST_NONE : std::min(best_cost[0], COST_NONE);
    if (ctx->analysis_level >= 6)
      me_search(ctx, &ctx->me, &r, &rq, ctx->ctu_qp, bound, 0, 1);
    else
      me_search_fast(ctx, &ctx->me, &r, &rq, ctx->ctu_qp, bound, 0, 1);
    best_mv[l] = r.mv;
    best_cost[l] = r.cost;
  }
  amvp_best->merge = 0;
  amvp_best->merge_idx = 0;
  amvp_best->cost = UINT32_MAX;
  for (int32_t l = 0; l < lists; l++) {
    if (best_cost[l] < amvp_best->cost) {
      *amvp_best = inter_choice_t{0, 0, {static_cast<int8_t>(l == 0 ? 0 : -1), static_cast<int8_t>(l == 1 ? 0 : -1)},
                                  {l == 0 ? best_mv[0] : 0, l == 1 ? best_mv[1] : 0}, best_cost[l]};
    }
  }
  if (lists == 2) {
    const int8_t ref[2] = {0, 0};
    inter_predict_pu(ctx, x, y, size, size, ref, best_mv);
    const uint32_t c = prediction_satd(ctx, x, y, log2_size) +
                       static_cast<uint32_t>(ctx->lambda_sad * 2 * (mvd_bits(0) + 4));
    if (c < amvp_best->cost) *amvp_best = inter_choice_t{0, 0, {0, 0}, {best_mv[0], best_mv[1]}, c};
  }
}


void node_setup(encoder_t *ctx, cu_node_t *node) {
  node->split = 0;
  node->tu_split = 0;
  node->residual_mode = 0;
  node->part_mode = 0;
  node->skip = 0;
  node->merge_idx = 0;
  node->pu.p2n = pu_single_t{0, 0, {0, 0}, {-1, -1}};
  node->pred_intra = 0;
  node->luma_dir = -1;
  node->parent_dir = -1;
  node->chroma_dir = 4;
  node->qp = ctx->ctu_qp;
  node->lambda_ssd = ctx->ctu_lambda_ssd;
  node->lambda_sad = ctx->ctu_lambda_sad;
  node->intra_cost = COST_NONE;
  node->cost = COST_NONE;
}

struct cu_trial_t {
  encoder_t *ctx;
  cu_node_t *nodes;
  cu_node_t *node;
  int32_t z, x, y, log2_size, depth;
  uint32_t best = COST_NONE;
  cu_node_t best_node{};

  void start() { ctx->cabac.est = ctx->cabac_est_save[1 + depth]; }
  // Keeps the trial now in the buffers when it is the cheapest so far.
  void consider(uint32_t cost) {
    if (cost >= best) return;
    best = cost;
    best_node = *node;
    cu_snapshot_save(ctx, nodes, z, y, log2_size);
  }
  int32_t flag_coded = 0;
  uint32_t finish_cost() {
    // The whole CU's syntax from the node's starting states.
    start();
    uint32_t flag = 0;
    if (flag_coded)
      flag = split_cu_flag_cost(ctx, node->lambda_ssd, map8_index(x >> 3, y >> 3), depth, 0);
    const uint32_t c = cu_rd_cost_coded(ctx, node->lambda_ssd, z, x, y, log2_size);
    return c >= COST_NONE ? COST_NONE : c + flag;
  }
};

uint32_t try_intra_2nx2n(cu_trial_t &t, int32_t) {
  encoder_t *ctx = t.ctx;
  cu_node_t *node = t.node;
  t.start();
  node_setup(ctx, node);
  node->pred_intra = 1;
  node->luma_dir = best_luma_mode(ctx, t.x, t.y, t.log2_size);
  cu_commit(ctx, t.nodes, t.z, t.x, t.y, t.log2_size);
  grid_mark_unavailable(ctx, t.x, t.y, 1 << t.log2_size, 1 << t.log2_size);
  transform_tree_search(ctx, t.nodes, t.z, t.x, t.y, t.log2_size, 1, 1);
  transform_tree_search(ctx, t.nodes, t.z, t.x, t.y, t.log2_size, 2, 1);
  cu_commit(ctx, t.nodes, t.z, t.x, t.y, t.log2_size);
  grid_mark_available(ctx, t.x, t.y, 1 << t.log2_size, 1 << t.log2_size);
  return t.finish_cost();
}

uint32_t try_intra_nxn(cu_trial_t &t, int32_t) {
  encoder_t *ctx = t.ctx;
  cu_node_t *node = t.node;
  t.start();
  node_setup(ctx, node);
  node->pred_intra = 1;
  node->split = 1;
  for (int32_t k = 0; k < 4; k++) {
    cu_node_t *pu = t.nodes + node_index(t.z + k, 2);
    node_setup(ctx, pu);
    pu->pred_intra = 1;
  }
  cu_commit(ctx, t.nodes, t.z, t.x, t.y, 3);
  grid_mark_unavailable(ctx, t.x, t.y, 8, 8);
  // Each 4x4 block is predicted from the reconstruction of the ones before.
  for (int32_t k = 0; k < 4; k++) {
    cu_node_t *pu = t.nodes + node_index(t.z + k, 2);
    const int32_t px = t.x + (k & 1) * 4, py = t.y + (k >> 1) * 4;
    pu->luma_dir = best_luma_mode(ctx, px, py, 2);
    cu_commit_luma_dir(ctx, pu, t.z + k, 2);
    transform_tree_search(ctx, t.nodes, t.z + k, px, py, 2, 33, 0);
    grid_mark_available(ctx, px, py, 4, 4);
  }
  tu_chroma_encode_cost(ctx, node->lambda_ssd, t.z + 3, t.x + 4, t.y + 4, 2, 1);
  cu_commit(ctx, t.nodes, t.z, t.x, t.y, 3);
  return t.finish_cost();
}

uint32_t try_inter(cu_trial_t &t, const inter_choice_t &ch, int32_t skip, int32_t) {
  encoder_t *ctx = t.ctx;
  cu_node_t *node = t.node;
  t.start();
  node_setup(ctx, node);
  node->skip = static_cast<uint32_t>(skip);
  node->merge_idx = static_cast<uint32_t>(ch.merge_idx);
  node->pu.p2n = pu_single_t{static_cast<uint8_t>(ch.merge), static_cast<uint8_t>(ch.merge_idx),
                             {ch.mv[0], ch.mv[1]}, {ch.ref[0], ch.ref[1]}};
  cu_commit(ctx, t.nodes, t.z, t.x, t.y, t.log2_size);
  const int32_t n = 1 << t.log2_size;
  inter_cu_code(ctx, t.x, t.y, t.log2_size, node->qp, 0);
  if (!skip) {
    transform_tree_search(ctx, t.nodes, t.z, t.x, t.y, t.log2_size, 3, 1);
    // A merged CU without residual is the skip CU, tried on its own.
    if (ch.merge && !(ctx->maps->cbf[node_index(t.z, t.log2_size)] & 7)) return COST_NONE;
    cu_commit(ctx, t.nodes, t.z, t.x, t.y, t.log2_size);
  }
  (void)n;
  return t.finish_cost();
}

// A 2NxN or Nx2N CU with the motion of each unit searched on its own.
uint32_t try_inter_rect(cu_trial_t &t, int32_t part_mode) {
  encoder_t *ctx = t.ctx;
  cu_node_t *node = t.node;
  t.start();
  node_setup(ctx, node);
  node->part_mode = static_cast<uint32_t>(part_mode);
  inter_cu_search_full(ctx, t.nodes, t.z, t.x, t.y, t.log2_size);
  cu_commit(ctx, t.nodes, t.z, t.x, t.y, t.log2_size);
  inter_cu_code(ctx, t.x, t.y, t.log2_size, node->qp, 0);
  transform_tree_search(ctx, t.nodes, t.z, t.x, t.y, t.log2_size, 3, 1);
  cu_commit(ctx, t.nodes, t.z, t.x, t.y, t.log2_size);
  return t.finish_cost();
}

uint32_t decide_cu(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size) {
  const int32_t size = 1 << log2_size, depth = 6 - log2_size;
  cu_node_t *node = nodes + node_index(z, log2_size);
  const bool whole = block_in_picture(ctx, x + size - 1, y + size - 1);
  const bool inter = ctx->slice_type_code != 2;
  const bool can_stay = whole && (log2_size <= 5 || inter);
  const bool can_split = log2_size > 3;
  const bool flag_coded = whole && log2_size > 3;
  ctx->cabac_est_save[1 + depth] = ctx->cabac.est;
  cu_trial_t t{ctx, nodes, node, z, x, y, log2_size, depth};
  const int32_t map8 = map8_index(x >> 3, y >> 3);
  t.flag_coded = flag_coded;
  const int32_t flag0 = 0;
  if (can_stay) {
    if (inter) {
      inter_choice_t merge, amvp;
      choose_inter(ctx, x, y, log2_size, &merge, &amvp);
      if (merge.cost != UINT32_MAX) {
        t.consider(try_inter(t, merge, 1, flag0));
        t.consider(try_inter(t, merge, 0, flag0));
      }
      t.consider(try_inter(t, amvp, 0, flag0));
      if (log2_size >= 4)
        for (int32_t pm = 1; pm <= 2; pm++) t.consider(try_inter_rect(t, pm));
    }
    if (log2_size <= 5) t.consider(try_intra_2nx2n(t, flag0));
    if (log2_size == 3 && ctx->param.intra_nxn) t.consider(try_intra_nxn(t, flag0));
  }
  if (can_split) {
    t.start();
    grid_mark_unavailable(ctx, x, y, size, size);
    node_setup(ctx, node);
    node->split = 1;
    uint32_t split_cost = flag_coded ? split_cu_flag_cost(ctx, ctx->ctu_lambda_ssd, map8, depth, 1) : 0;
    const int32_t h = size >> 1, q = child_step(log2_size);
    for (int32_t k = 0; k < 4 && split_cost < t.best; k++) {
      const int32_t cx = x + (k & 1) * h, cy = y + (k >> 1) * h;
      if (block_in_picture(ctx, cx, cy)) split_cost += decide_cu(ctx, nodes, z + k * q, cx, cy, log2_size - 1);
    }
    if (split_cost < t.best || t.best == COST_NONE) {
      node->split = 1;
      return split_cost;  // the children's decisions and states are in place
    }
  }
  *node = t.best_node;
  cu_snapshot_restore(ctx, nodes, z, y, log2_size);
  grid_mark_available(ctx, x, y, size, size);
  return t.best;
}

}  // namespace

void analyse_ctu_simple(encoder_t *ctx) {
  cu_node_t *nodes = ctx->nodes;
  ctx->cabac_est_save[0] = ctx->cabac.est;
  // The root is searched as the child of a split.
  decide_cu(ctx, nodes, 0, 0, 0, 6);
  ctx->cabac.est = ctx->cabac_est_save[0];
}
