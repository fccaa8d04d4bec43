// Intra decision of one CU: a rough pass over the luma modes with a
// transform-domain kernel and mode-bit penalties, a short list decided by
// the residual coder, then chroma the same way (analyse_intra_cu); and the
// coarse-to-fine variant of the full inter analysis (intra_mode_decision).
#include "analysis/intra_decision.h"

#include <algorithm>
#include <cstring>

#include "analysis/decision_common.h"
#include "analysis/intra_common.h"
#include "rdo/block_coding.h"
#include "rdo/cu_commit.h"
#include "rdo/rd_cost.h"

namespace {

int32_t first_unit_index(int32_t z) { return map4_index(zorder_x(z), zorder_y(z)); }

// A CU whose trials keep their blocks for its cost: one transform block
// per plane (at 64x64 the luma is four).
bool keeps_blocks(const intra_cu_t *cu) { return cu->log2_size >= 3 && cu->log2_size <= 5; }

}  // namespace

// ------------------------------------------------------------------ lists

void intra_list_init(intra_list_t *l, int32_t size) {
  for (int32_t i = 0; i < 8; i++) {
    l->mode[i] = -1;
    l->cost[i] = COST_NONE;
  }
  l->size = size;
}

void intra_list_insert(intra_list_t *l, int32_t mode, uint32_t cost) {
  // From the back: the entries in use are sorted, so the place is after the
  // last one that is no dearer, and a full list whose last entry is no
  // dearer (the usual case once a rough pass has filled it) is left at once.
  int32_t pos = l->size;
  while (pos > 0 && (l->mode[pos - 1] < 0 || l->cost[pos - 1] > cost)) pos--;
  if (pos >= l->size) return;
  for (int32_t i = l->size - 1; i > pos; i--) {
    l->mode[i] = l->mode[i - 1];
    l->cost[i] = l->cost[i - 1];
  }
  l->mode[pos] = mode;
  l->cost[pos] = cost;
}

bool intra_list_contains(const intra_list_t *l, int32_t mode) {
  for (int32_t i = 0; i < l->size; i++)
    if (l->mode[i] == mode) return true;
  return false;
}

int32_t intra_list_count(const intra_list_t *l) {
  int32_t n = 0;
  while (n < l->size && l->mode[n] >= 0) n++;
  return n;
}

// ------------------------------------------------------- shared CU steps

void intra_cu_begin(intra_cu_t *cu, encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y,
                    int32_t log2_size) {
  cu->ctx = ctx;
  cu->nodes = nodes;
  cu->node = nodes + node_index(z, log2_size);
  cu->z = z;
  cu->x = x;
  cu->y = y;
  cu->log2_size = log2_size;
  cu->depth = 6 - log2_size;
  cu->luma_kept = cu->chroma_kept = cu->chroma_in_place = -1;
  const pixel_funcs_t &px = ctx->pixel;
  const bool thorough = ctx->analysis_level > 2;
  if (log2_size == 2) {
    cu->luma_cost = cu->chroma_cost = px.satd[4];
  } else {
    const int32_t c = 6 - log2_size;
    cu->luma_cost = thorough ? px.block_cost[c] : px.sa8d_half[c];
    cu->chroma_cost = log2_size == 3 ? px.satd[4] : thorough ? px.block_cost[c + 1] : px.sa8d_half[c + 1];
  }
  cu_commit_depth(ctx, z, log2_size);
  cu_node_t *node = cu->node;
  node->tu_split = 0;
  node->pred_intra = 1;
  node->part_mode = 0;
  node->chroma_dir = 4;
  node->cbf_intra = 0;
  node->cbf_saved = 7;
}

bool intra_enable_modes(intra_cu_t *cu, int32_t parent_dir) {
  encoder_t *ctx = cu->ctx;
  std::memset(cu->enabled, 1, sizeof(cu->enabled));
  std::memset(cu->cost_from, -1, sizeof(cu->cost_from));
  auto disable = [cu](int32_t first, int32_t last, int32_t from) {
    for (int32_t m = first; m <= last; m++) {
      cu->enabled[m] = 0;
      cu->cost_from[m] = static_cast<int8_t>(from);
    }
  };
  const bool left_edge = cu->x == 0 && ctx->ctu_x == 0;
  const bool top_edge = cu->y == 0 && ctx->ctu_y == 0;
  bool flat = false;
  if (left_edge) {
    // Without left neighbours the modes that read them predict what mode 2
    // predicts from the substituted samples.
    disable(3, top_edge ? 34 : 9, 2);
  } else if (top_edge) {
    disable(28, 34, 27);
  } else if (ctx->analysis_level <= 2 && cu->log2_size >= 3) {
    ctu_gradients_t *g = &ctx->gradients;
    if (g->dir[2].node[0] == 0xffffffffu) ctx->pixel.ctu_gradient_diag_pyramid(ctx->ctu_src, g);
    const int32_t e = gradient_entry(cu->x, cu->y, cu->log2_size);
    const uint32_t v = g->dir[0].node[e], h = g->dir[1].node[e], dr = g->dir[2].node[e], dl = g->dir[3].node[e];
    const uint64_t total = static_cast<uint64_t>(v) + h + dr + dl;
    if (total < (static_cast<uint64_t>(7) << (2 * cu->log2_size))) {
      // Flat: planar and DC say all there is to say.
      disable(2, 34, -1);
      flat = true;
    } else {
      // The direction with the smallest change is the texture's direction.
      const uint32_t sums[4] = {v, h, dl, dr};
      int32_t pick = -1;
      for (int32_t k = 0; k < 4; k++) {
        if (k == 0 && v == 0x7fffffffu) continue;
        if (pick < 0 || sums[k] < sums[pick]) pick = k;
      }
      disable(0, 34, -1);
      auto window = [cu](int32_t first, int32_t last) {
        for (int32_t m = first; m <= last; m++) cu->enabled[m] = 1;
      };
      switch (pick) {
        case 0: window(22, 30); break;
        case 1: window(6, 14); break;
        case 2:
          window(2, 6);
          window(30, 34);
          break;
        default:
          window(14, 21);
          window(34, 34);
          break;
      }
    }
  }
  for (int32_t k = 0; k < 3; k++) cu->enabled[cu->mpm[k]] = 1;
  if (parent_dir >= 0 && parent_dir < 35) cu->enabled[parent_dir] = 1;
  return flat;
}

void intra_predict(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size, uint32_t flags) {
  if (flags & 1) intra_predict_luma(ctx, x, y, log2_size, ctx->maps->intra_dir[first_unit_index(z)]);
  if (flags & 2) intra_predict_cu_chroma(ctx, z, x, y, log2_size);
}

uint32_t intra_rough_luma(intra_cu_t *cu, int32_t mode) {
  encoder_t *ctx = cu->ctx;
  cu->node->luma_dir = mode;
  cu_commit_rough_luma_dir(ctx, cu->node, cu->z);
  intra_predict_luma(ctx, cu->x, cu->y, cu->log2_size, mode);
  ctx->intra_refs_refresh = 0;
  return cu->luma_cost(ctu_src_at(ctx, 0, cu->x, cu->y), SRC_STRIDE, ctu_rec_at(ctx, 0, cu->x, cu->y), RECON_STRIDE) +
         intra_mode_penalty(cu->node->lambda_sad, mode, cu->mpm);
}

void intra_rough_luma_enabled(intra_cu_t *cu, uint32_t costs[35]) {
  uint8_t modes[35];
  int32_t count = 0;
  for (int32_t mode = 0; mode < 35; mode++) {
    modes[count] = static_cast<uint8_t>(mode);
    count += cu->enabled[mode];
  }
  if (count == 0) return;
  encoder_t *ctx = cu->ctx;
  // intra_mode_penalty: six lambdas, less for the three (distinct) MPMs;
  // unsigned arithmetic makes the correction exact.
  const uint32_t lambda = cu->node->lambda_sad;
  if (count == 35) {
    // Every mode: the costs land in place.
    intra_rough_luma_costs(ctx, cu->x, cu->y, cu->log2_size, cu->luma_cost, modes, count, costs);
    for (int32_t mode = 0; mode < 35; mode++) costs[mode] += 6 * lambda;
  } else {
    uint32_t raw[35];
    intra_rough_luma_costs(ctx, cu->x, cu->y, cu->log2_size, cu->luma_cost, modes, count, raw);
    for (int32_t i = 0; i < count; i++) costs[modes[i]] = raw[i] + 6 * lambda;
  }
  for (int32_t k = 0; k < 3; k++)
    if (cu->enabled[cu->mpm[k]]) costs[cu->mpm[k]] -= (k == 0 ? 4 : 3) * lambda;
  // The direction the trials one by one would have left at the first unit.
  cu->node->luma_dir = modes[count - 1];
  cu_commit_rough_luma_dir(ctx, cu->node, cu->z);
}

uint32_t intra_rough_chroma(intra_cu_t *cu, int32_t chroma_mode) {
  encoder_t *ctx = cu->ctx;
  cu->node->chroma_dir = chroma_mode;
  cu_commit_chroma_dir(ctx, cu->node, cu->z, cu->log2_size);
  intra_predict(ctx, cu->z, cu->x, cu->y, cu->log2_size, 2);
  ctx->intra_refs_refresh = 0;
  // A 4x4 PU's chroma is the 4x4 pair of its 8x8 CU.
  const int32_t cx = cu->log2_size == 2 ? (cu->x & ~7) >> 1 : cu->x >> 1;
  const int32_t cy = cu->log2_size == 2 ? (cu->y & ~7) >> 1 : cu->y >> 1;
  uint32_t cost = 0;
  for (int32_t p = 1; p <= 2; p++)
    cost += cu->chroma_cost(ctu_src_at(ctx, p, cx, cy), SRC_STRIDE, ctu_rec_at(ctx, p, cx, cy), RECON_STRIDE);
  return cost;
}

uint32_t intra_luma_trial(intra_cu_t *cu, int32_t mode, uint8_t *cbf) {
  encoder_t *ctx = cu->ctx;
  cu_node_t *node = cu->node;
  node->luma_dir = mode;
  ctx->cabac.est = ctx->cabac_est_save[1 + cu->depth];
  cu_commit_luma_dir(ctx, node, cu->z, cu->log2_size);
  uint32_t cost = tu_luma_encode_cost(ctx, node->lambda_ssd, cu->z, cu->x, cu->y, cu->log2_size, 1);
  int32_t mpm[3];
  intra_mpms(ctx, cu->z, mpm);
  const uint32_t bits = intra_luma_mode_bits(&ctx->cabac.est, mode, mpm);
  cost = rd_cost(cost, bits, node->lambda_ssd);
  *cbf = block_cbf(ctx->maps->unit.cbf, cu->z, cu->log2_size) & 1;
  return cost;
}

uint32_t intra_chroma_trial(intra_cu_t *cu, int32_t chroma_mode, uint8_t *cbf) {
  encoder_t *ctx = cu->ctx;
  cu_node_t *node = cu->node;
  ctx->cabac.est = ctx->cabac_est_save[1 + cu->depth];
  node->chroma_dir = chroma_mode;
  cu_commit_chroma_dir(ctx, node, cu->z, cu->log2_size);
  uint32_t cost = tu_chroma_encode_cost(ctx, node->lambda_ssd, cu->z, cu->x, cu->y, cu->log2_size, 1);
  cu->chroma_in_place = chroma_mode;
  const uint32_t bits = intra_chroma_mode_bits(&ctx->cabac.est, chroma_mode);
  cost = rd_cost(cost, bits, node->lambda_ssd);
  *cbf = cu->log2_size == 2 ? block_cbf(ctx->maps->unit.cbf, cu->z & ~3, 3) & 6 : block_cbf(ctx->maps->unit.cbf, cu->z, cu->log2_size) & 6;
  return cost;
}

int32_t intra_luma_rd_pass(intra_cu_t *cu, const intra_list_t *list, uint32_t *best_cost, uint8_t *best_cbf) {
  int32_t best = -1;
  // The trials share the block's neighbours: their references are built once.
  encoder_t *ctx = cu->ctx;
  intra_refs_keep_begin(ctx, cu->x, cu->y, cu->log2_size);
  // The CU's cost takes the winner's luma block back (intra_cu_cost), a
  // 4x4 unit the whole trial (analyse_intra_cu).
  const bool keep = keeps_blocks(cu) || cu->log2_size == 2;
  for (int32_t i = list->size - 1; i >= 0; i--) {
    if (list->mode[i] < 0) continue;
    uint8_t cbf = 0;
    const uint32_t cost = intra_luma_trial(cu, list->mode[i], &cbf);
    if (best < 0 || cost <= *best_cost) {
      best = i;
      *best_cost = cost;
      *best_cbf = cbf;
      if (keep) {
        cu_luma_keep(ctx, cu->z, cu->log2_size);
        cu->luma_kept = list->mode[i];
      }
    }
  }
  intra_refs_keep_end(ctx);
  return best;
}

void intra_take_luma(intra_cu_t *cu, int32_t mode, uint32_t cost, uint8_t cbf) {
  cu_node_t *node = cu->node;
  node->cbf_intra |= cbf;
  cu->ctx->intra_refs_refresh = 1;
  node->intra_cost = cost;
  node->luma_dir = mode;
  cu_commit_luma_dir(cu->ctx, node, cu->z, cu->log2_size);
}

int32_t intra_chroma_mode4(intra_cu_t *cu, int32_t best_mode, uint32_t best_cost) {
  // The best listed mode's blocks, in place when it was the last tried, are
  // kept for the CU's cost.
  if (best_mode >= 0 && cu->chroma_in_place == best_mode && keeps_blocks(cu)) {
    cu_chroma_keep(cu->ctx, cu->z, cu->log2_size);
    cu->chroma_kept = best_mode;
  }
  uint8_t cbf = 0;
  const uint32_t cost = intra_chroma_trial(cu, 4, &cbf);
  cu->ctx->intra_refs_refresh = 1;
  if (best_mode >= 0 && cost > best_cost) return best_mode;
  cu->node->cbf_intra |= cbf;
  return 4;
}

void intra_cu_cost(intra_cu_t *cu, bool luma_first, int32_t chroma_mode) {
  encoder_t *ctx = cu->ctx;
  cu_node_t *node = cu->node;
  node->recode = 0;
  node->chroma_dir = chroma_mode;
  // The scratch states of the chroma blocks in place.
  uint8_t chroma_scratch[4];
  std::memcpy(chroma_scratch, ctx->cabac.est.state + CABAC_NUM_CTX, sizeof(chroma_scratch));
  const cabac_est_t &start = ctx->cabac_est_save[1 + cu->depth];
  ctx->cabac.est = start;
  cu_commit_chroma_dir(ctx, node, cu->z, cu->log2_size);
  const int32_t rdoq_alt = ctx->use_rdoq_alt;
  const int32_t level = ctx->analysis_level;
  if ((level >= 4 && ctx->param.latency_mode == 0) || (level >= 3 && ctx->param.latency_mode != 0))
    ctx->use_rdoq_alt = 1;
  const int32_t n = node_index(cu->z, cu->log2_size);
  if (ctx->use_rdoq_alt == rdoq_alt && cu->luma_kept == node->luma_dir &&
      (chroma_mode == 4 ? cu->chroma_in_place == 4 : cu->chroma_kept == chroma_mode)) {
    // Every trial coded its blocks from the node's states (but for the
    // mode contexts, which no block reads) with this quantiser, as coding
    // the CU would: the decided luma and chroma blocks are put back.
    std::memcpy(ctx->cabac.est.state + CABAC_NUM_CTX + 1, chroma_scratch + 1, 1);
    std::memcpy(ctx->cabac.est.state + CABAC_NUM_CTX + 3, chroma_scratch + 3, 1);
    cu_luma_put_back(ctx, cu->z, cu->log2_size);
    if (chroma_mode != 4) cu_chroma_put_back(ctx, cu->z, cu->log2_size);
    node->intra_cost = cu_rd_cost_in_place(ctx, node->lambda_ssd, cu->z, cu->x, cu->y, cu->log2_size, start);
    node->cbf_intra = ctx->maps->cbf[n];
  } else if (ctx->param.intra_nxn && ctx->use_rdoq_alt == rdoq_alt && luma_first && chroma_mode == 4) {
    // The reconstruction in place is the winner's: only its syntax is left
    // to count.
    cu_commit_cbf(ctx, cu->z, cu->log2_size, node->cbf_intra);
    node->intra_cost = cu_rd_cost_coded(ctx, node->lambda_ssd, cu->z, cu->x, cu->y, cu->log2_size);
  } else {
    node->intra_cost = cu_rd_cost(ctx, node->lambda_ssd, cu->z, cu->x, cu->y, cu->log2_size, 0);
    node->cbf_intra = ctx->maps->cbf[n];
  }
  ctx->use_rdoq_alt = rdoq_alt;
}

void intra_finish_without_rd(intra_cu_t *cu, int32_t mode) {
  encoder_t *ctx = cu->ctx;
  cu_node_t *node = cu->node;
  ctx->intra_refs_refresh = 1;
  node->intra_cost = COST_NONE;
  node->luma_dir = mode;
  cu_commit_luma_dir(ctx, node, cu->z, cu->log2_size);
  if (cu->log2_size == 2) {
    if ((cu->z & 3) == 3) {
      node->chroma_dir = 4;
      cu_commit_chroma_dir(ctx, node, cu->z, 2);
    }
    return;
  }
  const int32_t chroma = intra_chroma_mode4(cu, -1, COST_NONE);
  intra_cu_cost(cu, true, chroma);
}

// ------------------------------------------------------ analyse_intra_cu

namespace {

// Chroma of a CU (or, from the fourth PU, of the NxN CU): rough costs of
// modes 0-3, RD costs of the best M when two made the list, then mode 4.
// The list always has a second entry, since the RD pass reads it.
int32_t decide_chroma(intra_cu_t *cu, int32_t m) {
  intra_list_t list;
  intra_list_init(&list, std::max(m, 2));
  for (int32_t cm = 0; cm < 4; cm++) {
    const uint32_t cost = intra_rough_chroma(cu, cm);
    cu->node->chroma_costs[cm] = cost;
    intra_list_insert(&list, cm, cost);
  }
  int32_t best = -1;
  uint32_t best_cost = COST_NONE;
  for (int32_t i = 0; i < m && list.size > 1 && list.mode[1] >= 0; i++) {
    uint8_t cbf = 0;
    const uint32_t cost = intra_chroma_trial(cu, list.mode[i], &cbf);
    if (best < 0 || cost < best_cost) {
      best = list.mode[i];
      best_cost = cost;
    }
  }
  return intra_chroma_mode4(cu, best, best_cost);
}

}  // namespace

void analyse_intra_cu(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size) {
  intra_cu_t cu;
  intra_cu_begin(&cu, ctx, nodes, z, x, y, log2_size);
  cu_node_t *node = cu.node;

  // Candidate counts: luma (n) for the residual coder, chroma (m).
  const int32_t n0 = log2_size <= 3 ? 4 : 2 + (ctx->param.intra_nxn ? 1 : 0);
  int32_t n = n0, m = 1;
  if (ctx->speed_mode > 2) {
    n = 1;
    m = 1;
  } else if (ctx->speed_mode >= 1) {
    n = 2;
    m = 2;
  }
  // The parent CU's direction is a likely answer: it takes a place in the
  // list of its own.
  const cu_node_t *parent = cu.depth >= 2 ? nodes + node_index(z, log2_size + 1) : nullptr;
  if (parent && parent->visited) {
    node->parent_dir = parent->luma_dir;
    if (node->parent_dir >= 0) n = n <= 2 ? 1 : n - 1;
  } else if (!node->visited && node->parent_dir >= 0) {
    n = 1;
  }
  const int32_t parent_dir = node->parent_dir >= 0 && node->parent_dir < 35 ? node->parent_dir : -1;

  cu_commit(ctx, nodes, z, x, y, log2_size);
  intra_mpms(ctx, z, cu.mpm);
  intra_enable_modes(&cu, parent_dir);

  intra_list_t list;
  intra_list_init(&list, n);
  ctx->intra_refs_refresh = 1;
  uint32_t rough[35];
  intra_rough_luma_enabled(&cu, rough);
  for (int32_t mode = 0; mode < 35; mode++) {
    if (!cu.enabled[mode]) {
      node->mode_costs[mode] = cu.cost_from[mode] >= 0 ? node->mode_costs[cu.cost_from[mode]] : COST_NONE;
      continue;
    }
    const uint32_t cost = rough[mode];
    node->mode_costs[mode] = cost;
    // The insert keeps a full list whose last entry is no dearer as it is.
    if (list.mode[n - 1] >= 0 && list.cost[n - 1] <= cost) continue;
    intra_list_insert(&list, mode, cost);
  }

  // An MPM codes in two or three bits instead of six: keep it in the race
  // when it is not much dearer than the best.
  const uint32_t *mc = node->mode_costs;
  auto close_to_best = [&](int32_t mode) {
    return 1.5 * static_cast<double>(list.cost[0]) > static_cast<double>(mc[mode]) && !intra_list_contains(&list, mode);
  };
  if (log2_size <= 3) {
    for (int32_t k = 0; k < 3; k++) {
      const int32_t mpm = cu.mpm[k];
      if (!close_to_best(mpm)) continue;
      for (int32_t i = n - 1; i >= 0; i--)
        if (list.mode[i] != cu.mpm[0] && list.mode[i] != cu.mpm[1] && list.mode[i] != cu.mpm[2]) {
          list.mode[i] = mpm;
          list.cost[i] = mc[mpm];
          break;
        }
    }
  } else {
    int32_t mpm = mc[cu.mpm[0]] < mc[cu.mpm[1]] ? cu.mpm[0] : cu.mpm[1];
    if (mc[cu.mpm[2]] < mc[mpm]) mpm = cu.mpm[2];
    if (close_to_best(mpm)) {
      list.mode[n - 1] = mpm;
      list.cost[n - 1] = mc[mpm];
    }
  }
  if (parent_dir >= 0 && !intra_list_contains(&list, parent_dir)) {
    const int32_t pos = intra_list_count(&list);
    list.size = n + 1;
    list.mode[pos] = parent_dir;
    list.cost[pos] = mc[parent_dir];
  }

  if (!ctx->param.intra_nxn) {
    intra_finish_without_rd(&cu, list.mode[0]);
    return;
  }

  uint32_t best_cost = COST_NONE;
  uint8_t best_cbf = 0;
  const int32_t best = intra_luma_rd_pass(&cu, &list, &best_cost, &best_cbf);
  const int32_t best_mode = list.mode[best];

  if (log2_size == 2) {
    // The next PU predicts from this one's reconstruction: the winner's
    // trial, kept as it left the unit and the states.
    if (best != 0 && cu.luma_kept == best_mode) {
      node->luma_dir = best_mode;
      cu_commit_luma_dir(ctx, node, z, 2);
      cu_luma_trial_put_back(ctx, z, 2);
      ctx->maps->cbf[node_index(z, 2)] = block_cbf(ctx->maps->unit.cbf, z, 2);
    } else if (best != 0) {
      intra_luma_trial(&cu, best_mode, &best_cbf);
    }
    node->cbf_intra |= best_cbf;
    ctx->intra_refs_refresh = 1;
    node->intra_cost = best_cost;
    node->luma_dir = best_mode;
    cu_commit_luma_dir(ctx, node, z, 2);
    if ((z & 3) != 3) return;
    const int32_t chroma = decide_chroma(&cu, m);
    if (chroma != 4) {
      uint8_t cbf = 0;
      intra_chroma_trial(&cu, chroma, &cbf);
      node->cbf_intra |= cbf;
    }
    cu_commit_cbf(ctx, z, 2, node->cbf_intra);
    node->chroma_dir = chroma;
    cu_commit_chroma_dir(ctx, node, z, 2);
    ctx->intra_refs_refresh = 1;
    return;
  }

  intra_take_luma(&cu, best_mode, best_cost, best_cbf);
  const int32_t chroma = decide_chroma(&cu, m);
  intra_cu_cost(&cu, best == 0, chroma);
}

// ---------------------------------------------------- intra_mode_decision

void intra_cu_rd_trial(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                       int32_t mode, uint8_t *cbf) {
  cu_node_t *node = nodes + node_index(z, log2_size);
  const int32_t best = node->luma_dir;
  ctx->cabac.est = ctx->cabac_est_save[1 + 6 - log2_size];
  node->luma_dir = mode;
  cu_commit_luma_dir(ctx, node, z, log2_size);
  // The trial wins at a cost no higher than the best's.
  const uint32_t cost = cu_rd_cost_intra_within(ctx, node->lambda_ssd, z, x, y, log2_size, node->intra_cost);
  if (cost <= node->intra_cost) {
    node->intra_cost = cost;
    *cbf = ctx->maps->cbf[node_index(z, log2_size)];
  } else {
    node->luma_dir = best;
  }
}

void intra_mode_decision(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size) {
  cu_node_t *node = nodes + node_index(z, log2_size);
  const int32_t d = 6 - log2_size;
  const bool from_source = ((ctx->param.intra_source_refs >> ctx->slice_type_code) & 1) != 0;
  // The rough search and the RD trials code the CU alone.
  intra_refs_keep_begin(ctx, x, y, log2_size);
  if (log2_size <= 5) {
    if (from_source) {
      intra_build_neighbours(ctx, 0, x, y, 1 << log2_size, 1, ctx->nb_luma);
      ctx->intra.ref_filter[log2_size - 2](ctx->nb_luma, ctx->nb_luma_smooth);
    } else {
      intra_prepare_refs(ctx, 0, x, y, log2_size);
    }
  }
  ctx->intra_refs_refresh = 0;
  node->tu_split = 0;
  node->pred_intra = 1;
  node->luma_dir = 0;
  node->chroma_dir = 4;
  cu_commit(ctx, nodes, z, x, y, log2_size);
  int32_t mpm[3];
  intra_mpms(ctx, z, mpm);

  const pixel_cost_fn kernel = ctx->pixel.block_cost[6 - log2_size];
  const uint8_t *src = ctu_src_at(ctx, 0, x, y);
  const uint8_t *rec = ctu_rec_at(ctx, 0, x, y);
  uint8_t visited[35] = {};
  intra_list_t list;
  intra_list_init(&list, 4);
  auto evaluate = [&](int32_t mode) {
    visited[mode] = 1;
    node->luma_dir = mode;
    cu_commit_rough_luma_dir(ctx, node, z);
    if (log2_size <= 5)
      intra_predict_luma(ctx, x, y, log2_size, mode);
    else
      intra_predict_luma_64(ctx, x, y, mode, from_source);
    const uint32_t cost = kernel(src, SRC_STRIDE, rec, RECON_STRIDE) + intra_mode_penalty(node->lambda_sad, mode, mpm);
    intra_list_insert(&list, mode, cost);
  };

  evaluate(0);
  evaluate(1);
  for (int32_t mode = 2; mode <= 34; mode += 4) evaluate(mode);
  intra_list_t copy = list;
  for (int32_t i = 0; i < 4; i++) {
    const int32_t m = copy.mode[i];
    if (m < 0) continue;
    if (m >= 5 && !visited[m - 2]) evaluate(m - 2);
    if (m <= 31 && !visited[m + 2]) evaluate(m + 2);
  }
  const int32_t x4 = zorder_x(z), y4 = zorder_y(z);
  for (const int32_t mode : {ctx->maps->intra_dir[map4_index(x4, y4 - 1)], ctx->maps->intra_dir[map4_index(x4 - 1, y4)]})
    if (mode >= 3 && mode < 35 && !visited[mode]) evaluate(mode);
  copy = list;
  // Only the two best matter from here on.
  list.size = 2;
  for (int32_t i = 0; i < 2; i++) {
    const int32_t m = copy.mode[i];
    if (m < 0) continue;
    if (m > 3 && !visited[m - 1]) evaluate(m - 1);
    if (m <= 32 && !visited[m + 1]) evaluate(m + 1);
  }

  ctx->intra_refs_refresh = 1;
  node->intra_sad_cost = list.cost[0];
  node->luma_dir = list.mode[0];
  ctx->intra_rd_done = 1;
  const int32_t n = node_index(z, log2_size);
  ctx->cabac.est = ctx->cabac_est_save[1 + d];
  cu_commit(ctx, nodes, z, x, y, log2_size);
  node->intra_cost = cu_rd_cost(ctx, node->lambda_ssd, z, x, y, log2_size, 0);
  uint8_t cbf = ctx->maps->cbf[n];

  auto rd_trial = [&](int32_t mode) { intra_cu_rd_trial(ctx, nodes, z, x, y, log2_size, mode, &cbf); };
  const int32_t k_count = ctx->analysis_level > 5 ? 2 : 1;
  for (int32_t k = 0; k < k_count; k++) {
    const int32_t mode = mpm[k];
    if (mode == node->luma_dir || mode == list.mode[1] || (k_count == 1 && visited[mode])) continue;
    rd_trial(mode);
  }
  if (k_count == 2 && list.mode[1] >= 0 && list.mode[1] != node->luma_dir) rd_trial(list.mode[1]);
  node->cbf_intra = cbf;
  // A losing trial left its mode in the maps.
  cu_commit_luma_dir(ctx, node, z, log2_size);
  intra_refs_keep_end(ctx);
}
