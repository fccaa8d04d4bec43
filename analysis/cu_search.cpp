// The quad-tree recursion of I slices at analysis levels 0-4 and the split
// decision of both fast recursions: per node the
// unsplit CU, the early-termination rules, the four children with their
// abort rule, and the split decision, which leaves the winner in place.
#include <algorithm>
#include <cstring>

#include "analysis/ctu_analysis.h"
#include "analysis/decision_common.h"
#include "analysis/intra_decision.h"
#include "motion/mvp.h"
#include "rdo/cu_commit.h"
#include "rdo/rd_cost.h"

namespace {

constexpr uint32_t AREA[5] = {4096, 1024, 256, 64, 16};

}  // namespace

void copy_spare_states(cabac_est_t *e) {
  e->state[186] = e->state[CTX_SIG_COEFF];
  e->state[187] = e->state[CTX_SIG_COEFF + 27];
  e->state[188] = e->state[CTX_GREATER1];
  e->state[189] = e->state[CTX_GREATER1 + 16];
}

void cu_tu_children_setup(cu_node_t *nodes, const cu_node_t *node) {
  for (int32_t k = 0; k < 4; k++) {
    cu_node_t *t = nodes + node_index(64 * k, 5);
    t->split = 0;
    t->tu_split = 0;
    t->residual_mode = 0;
    t->qp = node->qp;
    t->lambda_sad = node->lambda_sad;
    t->lambda_ssd = node->lambda_ssd;
    t->pred_intra = node->pred_intra;
    t->luma_dir = node->luma_dir;
    t->parent_dir = node->parent_dir;
    t->chroma_dir = node->chroma_dir;
  }
}

void cu_node_reset(const encoder_t *ctx, cu_node_t *node) {
  std::memset(node->mode_costs, 0xff, sizeof(node->mode_costs));
  std::memset(node->chroma_costs, 0xff, sizeof(node->chroma_costs));
  node->tu_split = 0;
  node->residual_mode = 0;
  node->pu.p2n.merge_flag = 0;
  node->tu_saved = 0;
  node->held = 0;
  node->intra_sad_cost = COST_NONE;
  node->intra_cost = COST_NONE;
  node->inter_sad_cost = COST_NONE;
  node->cost = COST_NONE;
  node->luma_dir = -1;
  node->parent_dir = -1;
  node->skip = 0;
  node->split_flag_cost[0] = node->split_flag_cost[1] = 0;
  node->qp = ctx->ctu_qp;
  node->lambda_sad = ctx->ctu_lambda_sad;
  node->lambda_ssd = ctx->ctu_lambda_ssd;
}

void cu_decide_split(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                     int32_t flags) {
  cu_node_t *node = nodes + node_index(z, log2_size);
  const int32_t d = 6 - log2_size, m = flags >> 2, size = 1 << log2_size;
  const int32_t rdoq_alt = ctx->use_rdoq_alt;
  // P and B pictures keep a node's cost in `cost`, I pictures in `intra_cost`.
  const bool pb = ctx->slice_type_code != 2;
  auto cost_of = [pb](cu_node_t *n) -> uint32_t & { return pb ? n->cost : n->intra_cost; };
  if (ctx->analysis_level >= 3) ctx->use_rdoq_alt = 1;
  node->split = 0;
  const uint32_t unsplit = cost_of(node) + node->split_flag_cost[0];
  cost_of(node) = unsplit;
  uint32_t split = COST_NONE;
  if (m != 0) {
    cu_node_t *c = nodes + node_index(z, log2_size - 1);
    if (log2_size > min_cb_log2(ctx)) {
      split = cost_of(&c[0]) + node->split_flag_cost[1];
      if (flags & 1) split += cost_of(&c[1]);
      if (flags & 2) split += cost_of(&c[2]);
      if ((flags & 3) == 3) split += cost_of(&c[3]);
    } else if (c[3].intra_cost >= COST_NONE) {
      grid_mark_available(ctx, x, y, size, size);
    } else {
      // The four 4x4 prediction units form one NxN CU, costed whole.
      ctx->cabac.est = ctx->cabac_est_save[1 + d];
      node->split = 1;
      node->pred_intra = 1;
      cu_commit(ctx, nodes, z, x, y, log2_size);
      cu_commit_children_cbf(ctx, z, log2_size, 15);
      split = ctx->param.intra_nxn ? cu_rd_cost_coded(ctx, node->lambda_ssd, z, x, y, log2_size)
                                   : cu_rd_cost(ctx, node->lambda_ssd, z, x, y, log2_size, 0);
      node->split = 0;
      node->part_mode = 0;
    }
  }
  // A forced split wins whatever the costs say.
  if (split < unsplit || m == 2) {
    cost_of(node) = split;
    node->split = 1;
    if (log2_size > min_cb_log2(ctx)) {
      uint32_t kids = 0;
      for (int32_t k = 0; k < 4; k++)
        if ((!(k & 1) || (flags & 1)) && (!(k & 2) || (flags & 2))) kids |= 1u << k;
      cu_commit_split(ctx, z, log2_size, kids);
    } else {
      node->part_mode = 3;  // the NxN CU keeps its partition in the node and the maps
      cu_commit_part_mode(ctx, node, z, log2_size);
    }
    ctx->use_rdoq_alt = rdoq_alt;
    return;
  }
  if (log2_size == 2) {
    cu_commit_depth(ctx, z, log2_size);
    ctx->use_rdoq_alt = rdoq_alt;
    return;
  }
  const int32_t n = node_index(z, log2_size);
  cu_commit_depth(ctx, z, log2_size);
  // A skip CU codes no residual, so the thorough quantiser of the recode
  // below would leave it as its trial did.
  if (node->recode == 0 && (m != 1 || !pb || ctx->analysis_level < 4 || node->skip)) {
    if (m == 1) {
      cu_snapshot_restore(ctx, nodes, z, y, log2_size);
      cu_commit(ctx, nodes, z, x, y, log2_size);
      if (pb) node->cbf_saved = ctx->maps->cbf[n];
    }
  } else {
    // The buffers hold another trial: code the decision again.
    if (pb && log2_size == 6) {
      // As four 32x32 transform blocks.
      node->tu_split = 1;
      cu_tu_children_setup(nodes, node);
    }
    if (node->held == TRIAL_SKIP) {
      // The skip trial left its prediction and states; the rest is the
      // commit of the decision and no residual in any unit.
      cu_commit(ctx, nodes, z, x, y, log2_size);
      cu_prediction_restore(ctx, z, log2_size, TRIAL_SKIP);
    } else if (node->held) {
      // The decision's trial was kept as its coding left it.
      cu_trial_restore(ctx, nodes, z, log2_size, node->held);
    } else {
      cu_commit(ctx, nodes, z, x, y, log2_size);
      ctx->cabac.est = ctx->cabac_est_save[1 + d];
      grid_mark_unavailable(ctx, x, y, size, size);
      cu_commit(ctx, nodes, z, x, y, log2_size);
      cu_rd_cost(ctx, node->lambda_ssd, z, x, y, log2_size, 0);
    }
    if (pb && !node->pred_intra && node->part_mode == 0 && node->pu.p2n.merge_flag && !node->skip &&
        ctx->maps->cbf[n] == 0) {
      // Coded again (with the thorough quantiser) the merged CU lost its
      // residual: without one it can only be sent as a skip CU.
      node->skip = 1;
      node->merge_idx = node->pu.p2n.merge_idx;
      ctx->cabac.est = ctx->cabac_est_save[1 + d];
      cu_commit(ctx, nodes, z, x, y, log2_size);
      cu_rd_cost(ctx, node->lambda_ssd, z, x, y, log2_size, 0);
    }
    split_cu_flag_cost(ctx, node->lambda_ssd, map8_index(x >> 3, y >> 3), d, 0);
    if (pb) node->cbf_saved = ctx->maps->cbf[n];
  }
  grid_mark_available(ctx, x, y, size, size);
  ctx->use_rdoq_alt = rdoq_alt;
}

void analyse_cu_fast_intra(encoder_t *ctx, cu_node_t *nodes, lowres_cu_search_t *lowres, int32_t z, int32_t x,
                           int32_t y, int32_t log2_size) {
  cu_node_t *node = nodes + node_index(z, log2_size);
  const int32_t s = log2_size, d = 6 - s, size = 1 << s;
  const int32_t w_left = ctx->width - ctx->ctu_x * 64, h_left = ctx->height - ctx->ctu_y * 64;
  cu_node_reset(ctx, node);
  // Split mode: 0 not tried, 1 both tried, 2 forced.
  const int32_t nxn = ctx->analysis_level > 2 && ctx->param.intra_nxn ? 1 : 0;
  const bool inside = x + size <= w_left && y + size <= h_left;
  int32_t split_mode;
  if (!inside || s <= min_cb_log2(ctx) - nxn) {
    split_mode = s > min_cb_log2(ctx) ? 2 : 0;
  } else if (s == 6) {
    split_mode = 2;
  } else {
    split_mode = s >= min_cb_log2(ctx) ? 1 : 0;
    if (d < ctx->cu_min_depth && s >= min_cb_log2(ctx)) split_mode = 2;
    if (ctx->param.split_search_level <= 2 && split_mode == 1 && d >= ctx->cu_max_depth) split_mode = 0;
  }
  node->lowres_cost = 0;
  node->visited = 1;
  copy_spare_states(&ctx->cabac.est);
  ctx->cabac_est_save[1 + d] = ctx->cabac.est;

  if (split_mode != 2) {
    node->split = 0;
    node->split_mode = static_cast<uint8_t>(split_mode);
    node->no_early_stop = 0;
    if (ctx->param.intra_fast_path && s >= 3)
      analyse_intra_cu_fast(ctx, nodes, z, x, y, s);
    else
      analyse_intra_cu(ctx, nodes, z, x, y, s);
    node->split_flag_cost[0] = split_cu_flag_cost(ctx, node->lambda_ssd, map8_index(x >> 3, y >> 3), d, 0);
    const uint32_t c = node->intra_cost;
    if (ctx->analysis_level < 3 && split_mode == 1 && static_cast<uint64_t>(c) < AREA[d] + ctx->split_threshold)
      split_mode = 0;
    if (!node->no_early_stop) {
      const uint32_t small = static_cast<uint32_t>((static_cast<uint64_t>(node->lambda_ssd) << 4) >> (16 - 2 * s));
      if (c < small) {
        split_mode = 0;
        node->split_mode = 0;
        cu_decide_split(ctx, nodes, z, x, y, s, 0);
        return;
      }
      if (s == 4 && split_mode == 1) split_mode = cu_split_texture_test(ctx, z, x, y, s);
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
  const cu_node_t *c = nodes + node_index(z, s - 1);
  const uint32_t unsplit = node->intra_cost;
  uint32_t p = 0;
  const bool kids[4] = {true, right, below, right && below};
  bool aborted = false;
  for (int32_t k = 0; k < 4; k++) {
    if (!kids[k]) continue;
    if (aborted) {
      nodes[node_index(z + k * q, s - 1)].intra_cost = COST_NONE;
      continue;
    }
    analyse_cu_fast_intra(ctx, nodes, lowres, z + k * q, x + (k & 1) * h, y + (k >> 1) * h, s - 1);
    p += c[k].intra_cost;
    // The split cannot win any more once its first children cost as much as
    // the whole CU (factor 1.0 at every depth and child).
    if (k < 3 && split_mode == 1 && static_cast<double>(p) >= static_cast<double>(unsplit)) {
      aborted = true;
      if (k == 2)
        grid_mark_available(ctx, x + h, y + h, h, h);
      else
        grid_mark_available(ctx, x, y, size, size);
    }
  }
  node->split_flag_cost[1] =
      aborted ? 0 : split_cu_flag_cost(ctx, node->lambda_ssd, map8_index(x >> 3, y >> 3), d, 1);
  cu_decide_split(ctx, nodes, z, x, y, s, (split_mode << 2) | (below ? 2 : 0) | (right ? 1 : 0));
}
