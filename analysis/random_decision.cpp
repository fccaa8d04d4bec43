#include <algorithm>

#include "analysis/analysis.h"
#include "analysis/decision_common.h"
#include "bitstream/ctu_writer.h"
#include "motion/mvp.h"
#include "rdo/inter_pred.h"
#include "rdo/block_coding.h"
#include "rdo/cu_commit.h"
#include "rdo/rd_cost.h"

namespace {

uint32_t next_random(encoder_t *ctx) {
  // xorshift32: deterministic per CTU whatever thread codes it.
  uint32_t x = ctx->rng;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  ctx->rng = x;
  return x;
}

struct qg_t {
  int32_t enabled, log2_qg;
  int32_t target, pred, delta_coded;
};

cu_node_t *node_of(encoder_t *ctx, int32_t z, int32_t log2_size) { return ctx->nodes + node_index(z, log2_size); }

// A random transform tree below the CU, decided in its nodes.
void random_tu_tree(encoder_t *ctx, int32_t z, int32_t log2_size, int32_t depth, int32_t max_depth, int32_t nxn) {
  const bool forced = log2_size > 5 || (nxn && depth == 0);
  const bool allowed = log2_size > 2 && depth < max_depth;
  const bool split = forced || (allowed && (next_random(ctx) % 3) == 0);
  node_of(ctx, z, log2_size)->tu_split = split ? 1 : 0;
  if (!split) return;
  const int32_t child_units = 1 << (2 * (log2_size - 3));
  for (int32_t k = 0; k < 4; k++) random_tu_tree(ctx, z + k * child_units, log2_size - 1, depth + 1, max_depth, nxn);
}

// A leaf CU as the commit expects it; what the CU decides comes after.
cu_node_t *leaf_node(encoder_t *ctx, int32_t z, int32_t log2_size, int32_t qp, int32_t intra) {
  cu_node_t *node = node_of(ctx, z, log2_size);
  node->split = 0;
  node->tu_split = 0;
  node->residual_mode = 0;
  node->part_mode = 0;
  node->skip = 0;
  node->merge_idx = 0;
  node->pred_intra = static_cast<uint32_t>(intra);
  node->qp = qp;
  return node;
}

int32_t random_intra_cu(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t qp) {
  const int32_t z = zorder_of(x >> 2, y >> 2);
  cu_node_t *node = leaf_node(ctx, z, log2_size, qp, 1);
  const int32_t nxn = log2_size == 3 && (next_random(ctx) & 1);
  node->split = static_cast<uint8_t>(nxn);
  node->chroma_dir = static_cast<int32_t>(next_random(ctx) % 5);
  if (nxn) {
    for (int32_t k = 0; k < 4; k++) {
      cu_node_t *pu = leaf_node(ctx, z + k, 2, qp, 1);
      pu->luma_dir = static_cast<int32_t>(next_random(ctx) % 35);
      pu->chroma_dir = node->chroma_dir;
    }
  } else {
    node->luma_dir = static_cast<int32_t>(next_random(ctx) % 35);
  }
  random_tu_tree(ctx, z, log2_size, 0, ctx->sps->max_tr_depth_intra + nxn, nxn);
  cu_commit(ctx, ctx->nodes, z, x, y, log2_size);
  return intra_cu_code(ctx, x, y, log2_size, qp);
}

// A random vector around a predictor: mostly near it, sometimes far outside
// the picture.
mv_t random_vector(encoder_t *ctx, mv_t pred) {
  const uint32_t r = next_random(ctx);
  int32_t dx, dy;
  if (r % 8 == 0) {
    const int32_t far = 4 * (ctx->width + ctx->height) + 2000;
    dx = static_cast<int32_t>(next_random(ctx) % (2 * far + 1)) - far;
    dy = static_cast<int32_t>(next_random(ctx) % (2 * far + 1)) - far;
  } else {
    dx = static_cast<int32_t>(next_random(ctx) % 129) - 64;
    dy = static_cast<int32_t>(next_random(ctx) % 129) - 64;
  }
  const int32_t vx = std::clamp(mv_x(pred) + dx, -32768, 32767);
  const int32_t vy = std::clamp(mv_y(pred) + dy, -2000, 4 * ctx->param.mv_range_y + 3);
  return mv_make(vx, vy);
}

// Motion data of prediction unit k of the node's partition.
void set_pu(cu_node_t *node, int32_t k, uint8_t merge, uint8_t merge_idx, const int8_t ref[2], const mv_t mv[2]) {
  if (node->part_mode == 0) {
    node->pu.p2n = pu_single_t{merge, merge_idx, {mv[0], mv[1]}, {ref[0], ref[1]}};
    return;
  }
  pu_pair_t &pp = node->part_mode == 1 ? node->pu.p2nxn : node->pu.pnx2n;
  pp.merge_flag[k] = merge;
  pp.merge_idx[k] = merge_idx;
  for (int32_t l = 0; l < 2; l++) {
    pp.ref_idx[k][l] = ref[l];
    pp.mv[k][l] = mv[l];
  }
}

int32_t random_inter_cu(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t qp, bool skip) {
  const int32_t z = zorder_of(x >> 2, y >> 2);
  const int32_t size = 1 << log2_size;
  cu_node_t *node = leaf_node(ctx, z, log2_size, qp, 0);
  // 8x8 CUs stay 2Nx2N: the motion maps hold one vector per 8x8 unit.
  const int32_t pm = (skip || log2_size == 3) ? 0 : static_cast<int32_t>(next_random(ctx) % 3);
  node->part_mode = static_cast<uint32_t>(pm);
  node->skip = skip ? 1 : 0;
  const int32_t pw = pm == 2 ? size / 2 : size, ph = pm == 1 ? size / 2 : size;
  int32_t merged0 = 0;
  for (int32_t k = 0; k < (pm ? 2 : 1); k++) {
    const int32_t px = x + (pm == 2 ? k * pw : 0), py = y + (pm == 1 ? k * ph : 0);
    const int32_t pz = zorder_of(px >> 2, py >> 2);
    merge_candidates_t mc;
    const int32_t count = mvp_get_merge_list(ctx, pz, px, py, pw, ph, &mc);
    // Only candidates within the vector limits may be chosen.
    int32_t allowed[5], n_allowed = 0;
    for (int32_t i = 0; i < count; i++) {
      const int8_t r[2] = {mc.ref_idx[0][i], mc.ref_idx[1][i]};
      const mv_t v[2] = {mc.mv[0][i], mc.mv[1][i]};
      if (motion_within_limits(ctx, r, v)) allowed[n_allowed++] = i;
    }
    if (n_allowed == 0 && skip) {
      skip = false;
      node->skip = 0;
    }
    if (n_allowed > 0 && (skip || next_random(ctx) % 2 == 0)) {
      const int32_t idx = allowed[next_random(ctx) % n_allowed];
      const int8_t ref[2] = {mc.ref_idx[0][idx], mc.ref_idx[1][idx]};
      const mv_t mv[2] = {mc.mv[0][idx], mc.mv[1][idx]};
      set_pu(node, k, 1, static_cast<uint8_t>(idx), ref, mv);
      if (skip) node->merge_idx = static_cast<uint32_t>(idx);
      if (k == 0) merged0 = 1;
    } else {
      // Lists: P slices list 0; B slices list 0, list 1 or both.
      const uint32_t dir = ctx->slice_type_code == 0 ? next_random(ctx) % 3 : 0;
      int8_t ref[2] = {-1, -1};
      mv_t mv[2] = {0, 0};
      for (int32_t l = 0; l < 2; l++) {
        if (!(dir == 2 || static_cast<int32_t>(dir) == l)) continue;
        ref[l] = static_cast<int8_t>(next_random(ctx) % ctx->ref_count[l]);
        // The predictors are those of the reference the maps hold for the PU.
        set_pu(node, k, 0, 0, ref, mv);
        cu_commit(ctx, ctx->nodes, z, x, y, log2_size);
        mv_t pred[2];
        const int32_t n = mvp_get_amvp_candidates(ctx, pz, px, py, pw, ph, ref[l], l, pred);
        mv[l] = random_vector(ctx, pred[next_random(ctx) % n]);
      }
      set_pu(node, k, 0, 0, ref, mv);
    }
    // The second prediction unit sees the first as a decoded neighbour.
    cu_commit(ctx, ctx->nodes, z, x, y, log2_size);
    grid_mark_available(ctx, px, py, pw, ph);
  }
  if (!skip) random_tu_tree(ctx, z, log2_size, 0, ctx->sps->max_tr_depth_inter, 0);
  cu_commit(ctx, ctx->nodes, z, x, y, log2_size);
  if (skip) return inter_cu_code(ctx, x, y, log2_size, qp, 0);
  const int32_t coded = inter_cu_code(ctx, x, y, log2_size, qp, 1);
  // A merged 2Nx2N CU without residual can only be sent as a skipped CU.
  if (!coded && pm == 0 && merged0) {
    node->skip = 1;
    node->merge_idx = node->pu.p2n.merge_idx;
    cu_commit(ctx, ctx->nodes, z, x, y, log2_size);
  }
  return coded;
}

void random_cu(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, qg_t *qg) {
  const int32_t size = 1 << log2_size;
  const int32_t z = zorder_of(x >> 2, y >> 2);
  const bool crosses = !block_in_picture(ctx, x + size - 1, y + size - 1);
  if (qg->enabled && log2_size >= qg->log2_qg) {
    qg->target = static_cast<int32_t>(next_random(ctx) % 52);
    qg->pred = qp_predict(ctx->maps, x, y, ctx->prev_qp);
    qg->delta_coded = 0;
  }
  const bool split = log2_size > 3 && (crosses || (next_random(ctx) % 4) < (log2_size == 6 ? 3u : 2u));
  ctx->nodes[node_index(z, log2_size)].split = split ? 1 : 0;
  if (split) {
    const int32_t h = size >> 1;
    for (int32_t k = 0; k < 4; k++) {
      const int32_t cx = x + (k & 1) * h, cy = y + (k >> 1) * h;
      if (block_in_picture(ctx, cx, cy)) random_cu(ctx, cx, cy, log2_size - 1, qg);
    }
    return;
  }
  const int32_t qp = qg->enabled ? qg->target : ctx->slice_qp;
  int32_t coded;
  const uint32_t kind = ctx->slice_type_code == 2 ? 0 : next_random(ctx) % 8;
  if (kind < 2) {
    coded = random_intra_cu(ctx, x, y, log2_size, qp);
  } else {
    coded = random_inter_cu(ctx, x, y, log2_size, qp, kind < 4);
  }
  grid_mark_available(ctx, x, y, size, size);
  // The QP a decoder derives: the group's predicted QP until its delta has
  // been sent, the target from then on.
  int32_t qpy = ctx->slice_qp;
  if (qg->enabled) {
    if (coded) qg->delta_coded = 1;
    qpy = qg->delta_coded ? qg->target : qg->pred;
  }
  ctx->nodes[node_index(z, log2_size)].qp = qpy;
  cu_commit(ctx, ctx->nodes, z, x, y, log2_size);
  ctx->prev_qp = qpy;
}

}  // namespace

void analyse_ctu_random(encoder_t *ctx) {
  qg_t qg{};
  qg.enabled = ctx->pps->cu_qp_delta_enabled;
  qg.log2_qg = 6 - ctx->pps->diff_cu_qp_delta_depth;
  random_cu(ctx, 0, 0, 6, &qg);
}
