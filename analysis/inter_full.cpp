// Coding-tree search of P and B pictures at analysis levels 5-7.  Every
// trial of a node is costed by the residual coder from the states the node
// started with (its depth slot); the unsplit winner is coded once more at
// the decision (a skip winner, or a winner coded with its searched
// transform tree, put back from its kept trial), so what the search leaves
// in place is always the decided tree.
#include "analysis/inter_full.h"

#include <algorithm>
#include <cstring>

#include "analysis/ctu_analysis.h"
#include "analysis/decision_common.h"
#include "analysis/inter_common.h"
#include "analysis/pu_limits.h"
#include "analysis/intra_common.h"
#include "analysis/intra_decision.h"
#include "motion/me_common.h"
#include "motion/mvp.h"
#include "rdo/block_coding.h"
#include "rdo/cu_commit.h"
#include "rdo/rd_cost.h"

namespace {

constexpr int32_t SPLIT_NEVER = 0, SPLIT_TRY = 1, SPLIT_FORCED = 2;

struct merge_list_t {
  int32_t count;
  mv_t mv[2][5];
  int8_t ref[2][5];
  uint32_t temporal_mask;
};

// The best result of one list's searches and the predictors of the
// reference that gave it.
struct list_search_t {
  me_result_t best;
  mv_t amvp[2];
  int32_t amvp_count;
  int16_t mvd[2];
};

struct full_cu_t {
  encoder_t *ctx;
  cu_node_t *nodes;
  cu_node_t *node;
  lowres_cu_search_t *lowres;
  int32_t z, x, y, s, d, size;
  int32_t map8;    // the CU's first 8x8 unit
  bool b_slice;    // two lists
  bool p_in_b;     // a P picture coded as a B slice: list 1 repeats list 0
  merge_list_t merge;
  int32_t skip_idx = -1;   // best skip candidate
  bool skip_kept = false;  // its trial is in the skip slot as coding the skip CU again would leave it
  bool tree_kept = false;  // the coding with the searched transform tree is in the residual slot
  int32_t res_idx = -1;    // best merge-with-residual candidate
  // The 2Nx2N searched motion's inter trial was the last coding: its
  // levels, cbf bits, reconstruction and scratch states are in the buffers
  // as coding it with residual leaves them, unless the trial kept the
  // prediction alone over coded levels (no cbf bit set, some level not 0).
  bool searched_last = false;
  int8_t parent_ref[2] = {-2, -2};
  mv_t parent_mv[2] = {0, 0};

  void restore() const { ctx->cabac.est = ctx->cabac_est_save[1 + d]; }
  void commit() const { cu_commit(ctx, nodes, z, x, y, s); }
};

// split_cu_flag is coded only for CUs inside the picture.
uint32_t split_flag_cost(const full_cu_t &cu, bool inside, int32_t flag) {
  if (!inside) return 0;
  return split_cu_flag_cost(cu.ctx, cu.node->lambda_ssd, cu.map8, cu.d, flag);
}

// A 64x64 CU is coded as four 32x32 transform blocks, its children's nodes.
void set_up_64x64_transform(const full_cu_t &cu) {
  cu_node_t *node = cu.node;
  node->tu_split = 1;
  for (int32_t k = 0; k < 4; k++) {
    cu_node_t *c = cu.nodes + node_index(cu.z + k * child_step(6), 5);
    c->split = 0;
    c->tu_split = 0;
    c->residual_mode = 0;
    c->qp = node->qp;
    c->lambda_sad = node->lambda_sad;
    c->lambda_ssd = node->lambda_ssd;
    c->pred_intra = node->pred_intra;
    c->luma_dir = node->luma_dir;
    c->parent_dir = node->parent_dir;
    c->chroma_dir = node->chroma_dir;
  }
}

bool list_used(const merge_list_t &m, int32_t l, int32_t i) { return m.ref[l][i] >= 0; }

// The 2Nx2N prediction unit of merge candidate i, with its vectors moved
// to the picture limits (B pictures) or as listed (P slices).
void take_candidate(const full_cu_t &cu, int32_t i, bool clamp) {
  pu_single_t &pu = cu.node->pu.p2n;
  pu.merge_idx = static_cast<uint8_t>(i);
  for (int32_t l = 0; l < 2; l++) {
    pu.ref_idx[l] = cu.merge.ref[l][i];
    pu.mv[l] = clamp && pu.ref_idx[l] >= 0 ? clamp_to_pu_limits(cu.ctx, cu.merge.mv[l][i], cu.x, cu.y)
                                            : cu.merge.mv[l][i];
  }
}

// Candidates whose moved vectors leave the vector range are not coded;
// nor is one with the best skip candidate's motion.
bool candidate_usable(const full_cu_t &cu, int32_t i) {
  const merge_list_t &m = cu.merge;
  for (int32_t l = 0; l < 2; l++)
    if (list_used(m, l, i) && !mv_in_limits(cu.ctx, clamp_to_pu_limits(cu.ctx, m.mv[l][i], cu.x, cu.y)))
      return false;
  const int32_t b = cu.skip_idx;
  if (b < 0) return true;
  for (int32_t l = 0; l < 2; l++) {
    if (m.ref[l][i] != m.ref[l][b]) return true;
    if (list_used(m, l, i) && m.mv[l][i] != m.mv[l][b]) return true;
  }
  return false;
}

// Whether the 2Nx2N PU holds candidate i's listed vectors.
bool listed_motion(const full_cu_t &cu, int32_t i) {
  const pu_single_t &pu = cu.node->pu.p2n;
  for (int32_t l = 0; l < 2; l++)
    if (pu.ref_idx[l] >= 0 && pu.mv[l] != cu.merge.mv[l][i]) return false;
  return true;
}

// Distortion and bits of a candidate's skip and merged trials.
struct trial_result_t {
  bool done = false;
  uint32_t skip_dist = 0, skip_bits = 0;
  uint32_t res_dist = 0, res_bits = 0;  // res_bits COST_NONE: no coefficient was coded
  bool res_cut = false;                 // the residual trial stopped as it could not win
};

// The estimated bits of merge index k, from the node's states: one bin in
// its context, the rest bypass (nothing else a CU codes uses the context).
uint32_t merge_idx_bits(const full_cu_t &cu, int32_t k) {
  const int32_t cmax = cu.ctx->max_merge_cand - 1;
  if (cmax < 1) return 0;
  const uint8_t s = cu.ctx->cabac_est_save[1 + cu.d].state[CTX_MERGE_IDX];
  return cabac_bit_cost_table[s ^ (k > 0 ? 1 : 0)] + 256u * static_cast<uint32_t>(std::min(k + 1, cmax) - 1);
}

// An earlier candidate with candidate i's motion whose trials ran, or -1.
int32_t same_motion_before(const full_cu_t &cu, const trial_result_t *t, int32_t i) {
  const merge_list_t &m = cu.merge;
  for (int32_t j = 0; j < i; j++) {
    if (!t[j].done) continue;
    bool same = true;
    for (int32_t l = 0; l < 2 && same; l++)
      same = m.ref[l][i] == m.ref[l][j] || (m.ref[l][i] < 0 && m.ref[l][j] < 0);
    for (int32_t l = 0; l < 2 && same; l++) same = m.ref[l][i] < 0 || m.mv[l][i] == m.mv[l][j];
    if (same) return j;
  }
  return -1;
}

// Every usable merge candidate coded as a skip CU and, where asked, as a
// merged CU with residual.  Returns the best skip cost.  A candidate with
// the motion of an earlier one predicts and codes exactly as it did (from
// the same states); only its merge index bits differ, so its costs follow
// from the earlier trials' unless it would become the best skip, whose
// trial is kept.
uint32_t skip_trials(full_cu_t &cu, bool with_residual, uint32_t *best_residual) {
  encoder_t *ctx = cu.ctx;
  cu_node_t *node = cu.node;
  uint32_t best = COST_NONE;
  *best_residual = COST_NONE;
  node->pu.p2n.merge_flag = 1;
  trial_result_t t[5];
  cu_trial_forget(ctx, cu.s, TRIAL_MERGED);
  cu_trial_forget(ctx, cu.s, TRIAL_CODED);
  // After the first commit the trials change only the motion and the skip
  // flag.
  bool committed = false;
  auto commit = [&]() {
    if (committed)
      cu_commit_motion(ctx, cu.nodes, cu.z, cu.s);
    else
      cu.commit();
    committed = true;
  };
  for (int32_t i = 0; i < cu.merge.count; i++) {
    if (!candidate_usable(cu, i)) continue;
    const int32_t j = same_motion_before(cu, t, i);
    if (j >= 0) {
      const uint32_t delta = merge_idx_bits(cu, i) - merge_idx_bits(cu, j);
      const uint32_t c = rd_cost(t[j].skip_dist, t[j].skip_bits + delta, node->lambda_ssd);
      // A stopped residual trial cost at least the best so far then; with
      // fewer index bits this one may cost less and is coded.
      if (c >= best && !(with_residual && t[j].res_cut && merge_idx_bits(cu, i) < merge_idx_bits(cu, j))) {
        if (with_residual && t[j].res_bits != COST_NONE && !t[j].res_cut) {
          const uint32_t r = rd_cost(t[j].res_dist, t[j].res_bits + delta, node->lambda_ssd);
          if (r < *best_residual) {
            *best_residual = r;
            cu.res_idx = i;
          }
        }
        continue;
      }
    }
    take_candidate(cu, i, cu.b_slice);
    node->skip = 1;
    node->merge_idx = static_cast<uint32_t>(i);
    commit();
    const uint32_t c = cu_rd_cost(ctx, node->lambda_ssd, cu.z, cu.x, cu.y, cu.s, 0);
    t[i].done = true;
    t[i].skip_dist = ctx->last_distortion;
    t[i].skip_bits = ctx->cabac.est.bits - ctx->cabac_est_save[1 + cu.d].bits;
    if (c < best) {
      best = c;
      cu.skip_idx = i;
      // A skip CU decided is coded with the listed vectors: where moving
      // them changed nothing, the trial is what that coding leaves.
      cu.skip_kept = listed_motion(cu, i);
      if (cu.skip_kept) cu_prediction_save(ctx, cu.z, cu.s, TRIAL_SKIP);
    }
    cu.restore();
    if (!with_residual) continue;
    // The skip trial left this motion's prediction in the buffer.
    node->skip = 0;
    cu_commit_skip_flag(ctx, cu.nodes, cu.z, cu.s);
    // Only the best trial's cost is kept: one that cannot beat it stops.
    const uint32_t r = cu_rd_cost_bounded(ctx, node->lambda_ssd, cu.z, cu.x, cu.y, cu.s, node->qp, *best_residual,
                                          BOUNDED_NONE_IF_EMPTY, &t[i].res_cut);
    t[i].res_dist = ctx->last_distortion;
    t[i].res_bits = r < COST_NONE ? ctx->cabac.est.bits - ctx->cabac_est_save[1 + cu.d].bits : COST_NONE;
    if (r < *best_residual) {
      *best_residual = r;
      cu.res_idx = i;
      // The search of the decided transform tree takes it instead of coding
      // its unsplit root again (the kept record says when it may).
      if (cu.s <= 5) cu_trial_keep(ctx, cu.nodes, cu.z, cu.s, TRIAL_MERGED, ctx->cabac_est_save[1 + cu.d]);
    }
    cu.restore();
  }
  node->skip = 0;
  return best;
}

// Whether reference r of list l deserves the full search range: reference
// 0, the neighbours' references and the parent's.
bool likely_ref(const full_cu_t &cu, int32_t l, int32_t r) {
  const ctu_maps_t *m = cu.ctx->maps;
  return r == 0 || r == m->ref_idx[l][cu.map8 - 1] || r == m->ref_idx[l][cu.map8 - MAP8_STRIDE] ||
         r == cu.parent_ref[l];
}

int32_t searched_refs(const full_cu_t &cu, int32_t l) {
  return cu.ctx->speed_mode != 0 ? std::min(cu.ctx->ref_count[l], 1) : cu.ctx->ref_count[l];
}

// One search of list l against reference r, with the reference written
// where the predictors read it.
void search_ref(full_cu_t &cu, int32_t l, int32_t r, const mv_t *extra, int32_t extra_count, uint32_t bound,
                me_result_t *out, mv_t amvp[2], int32_t *amvp_count) {
  encoder_t *ctx = cu.ctx;
  cu_commit_search_ref(ctx, cu.x, cu.y, cu.size >> 3, l, r);
  me_request_t rq = me_request_for(cu.x, cu.y, cu.size, cu.size, l, r);
  rq.amvp_count = mvp_get_amvp_candidates(ctx, cu.z, cu.x, cu.y, cu.size, cu.size, 0, l, rq.amvp);
  rq.extra_count = static_cast<int8_t>(extra_count);
  for (int32_t k = 0; k < extra_count; k++) rq.extra[k] = extra[k];
  amvp[0] = rq.amvp[0];
  amvp[1] = rq.amvp[1];
  *amvp_count = rq.amvp_count;
  if (ctx->analysis_level >= 6)
    me_search(ctx, &ctx->me, out, &rq, cu.node->qp, bound, 0, likely_ref(cu, l, r) ? 1 : 0);
  else
    me_search_fast(ctx, &ctx->me, out, &rq, cu.node->qp, bound, 0, likely_ref(cu, l, r) ? 1 : 0);
}

// Start vectors of list l: the skip candidate's vector when it uses the
// list, then the parent's.
int32_t start_vectors(const full_cu_t &cu, int32_t l, mv_t extra[2]) {
  int32_t n = 0;
  const int32_t i = cu.skip_idx;
  if (i >= 0 && list_used(cu.merge, l, i)) extra[n++] = cu.merge.mv[l][i];
  if (cu.parent_ref[l] >= 0) extra[n++] = cu.parent_mv[l];
  return n;
}

void select_mvd(list_search_t &ls) {
  if (ls.best.cost >= COST_NONE) return;
  mvp_select_mvd(&ls.best.mv, ls.amvp, ls.amvp_count, ls.mvd);
}

// The best vector of list l over its references.
list_search_t search_list(full_cu_t &cu, int32_t l) {
  list_search_t ls{};
  ls.best.cost = COST_NONE;
  mv_t extra[2];
  const int32_t n = start_vectors(cu, l, extra);
  for (int32_t r = 0; r < searched_refs(cu, l); r++) {
    me_result_t res{};
    mv_t amvp[2];
    int32_t count = 0;
    search_ref(cu, l, r, extra, n, ls.best.cost, &res, amvp, &count);
    if (res.cost < ls.best.cost) {
      ls.best = res;
      ls.amvp[0] = amvp[0];
      ls.amvp[1] = amvp[1];
      ls.amvp_count = count;
    }
  }
  select_mvd(ls);
  return ls;
}

// P pictures coded as B slices search list 0 only; the runner-up of
// another reference serves as the second half of a bi-prediction, read
// through list 1, which repeats list 0.
void search_p_in_b(full_cu_t &cu, list_search_t *l0, list_search_t *l1) {
  encoder_t *ctx = cu.ctx;
  *l0 = list_search_t{};
  *l1 = list_search_t{};
  l0->best.cost = l1->best.cost = COST_NONE;
  mv_t extra[2];
  const int32_t n = start_vectors(cu, 0, extra);
  for (int32_t r = 0; r < searched_refs(cu, 0); r++) {
    me_result_t res{};
    mv_t amvp[2];
    int32_t count = 0;
    search_ref(cu, 0, r, extra, n, l0->best.cost, &res, amvp, &count);
    if (res.cost < l0->best.cost) {
      l1->best = l0->best;
      l0->best = res;
      l0->amvp[0] = amvp[0];
      l0->amvp[1] = amvp[1];
      l0->amvp_count = count;
    } else if (res.cost < l1->best.cost) {
      l1->best = res;
    }
  }
  select_mvd(*l0);
  if (l1->best.cost >= COST_NONE) return;
  cu_commit_search_ref(ctx, cu.x, cu.y, cu.size >> 3, 1, l1->best.ref_idx);
  l1->amvp_count = mvp_get_amvp_candidates(ctx, cu.z, cu.x, cu.y, cu.size, cu.size, 0, 1, l1->amvp);
  select_mvd(*l1);
}

// Rough cost of the bi-prediction of the two lists' results: the average of
// their luma predictions against the source, plus both vector differences.
uint32_t bi_cost(const full_cu_t &cu, const list_search_t &l0, const list_search_t &l1) {
  encoder_t *ctx = cu.ctx;
  const me_context_t &me = ctx->me;
  alignas(32) uint8_t buf[2][64 * 64];
  const uint8_t *pred[2];
  int32_t stride[2];
  const me_result_t *res[2] = {&l0.best, &l1.best};
  for (int32_t l = 0; l < 2; l++) {
    const mv_t mv = clamp_to_pu_limits(ctx, res[l]->mv, cu.x, cu.y);
    const uint8_t *ref = me.ref_planes[l][res[l]->ref_idx] + cu.y * me.luma_stride + cu.x;
    stride[l] = 64;
    // A search's final vector: its prediction is kept.
    pred[l] = me_kept_find(&ctx->me_kept, ref, cu.size, cu.size, 0, mv);
    if (pred[l])
      stride[l] = me_kept_t::STRIDE;
    else
      pred[l] = ctx->mc.get_ref(buf[l], &stride[l], ref, nullptr, me.luma_stride, mv_x(mv), mv_y(mv), cu.size, cu.size);
  }
  uint8_t *dst = ctu_rec_at(ctx, 0, cu.x, cu.y);
  ctx->mc.pixel_avg(dst, RECON_STRIDE, pred[0], stride[0], pred[1], stride[1], cu.size, cu.size);
  const me_mvcost_t mvcost = me_mvcost(ctx->tables, cu.node->qp, ctx->cur_input->b_level);
  const uint32_t bits = mvcost(l0.mvd[0]) + mvcost(l0.mvd[1]) + mvcost(l1.mvd[0]) + mvcost(l1.mvd[1]);
  return ctx->pixel.block_cost[cu.d](ctu_src_at(ctx, 0, cu.x, cu.y), SRC_STRIDE, dst, RECON_STRIDE) + bits;
}

void set_pu(cu_node_t *node, int8_t r0, mv_t m0, int8_t r1, mv_t m1) {
  pu_single_t &pu = node->pu.p2n;
  pu.merge_flag = 0;
  pu.ref_idx[0] = r0;
  pu.ref_idx[1] = r1;
  pu.mv[0] = m0;
  pu.mv[1] = m1;
}

// Nothing searched found a vector: the skip candidate's motion, coded as
// explicit motion, else reference 0 of list 0 with the zero vector.
void fallback_motion(const full_cu_t &cu) {
  const int32_t i = cu.skip_idx;
  if (i >= 0)
    set_pu(cu.node, cu.merge.ref[0][i], cu.merge.mv[0][i], cu.merge.ref[1][i], cu.merge.mv[1][i]);
  else
    set_pu(cu.node, 0, 0, -2, 0);
}

// Uni- or bi-prediction from the lists' results by rough cost: the
// bi-prediction must be strictly cheaper than both lists, list 1 wins a tie
// with list 0.
void choose_motion(const full_cu_t &cu, const list_search_t &l0, const list_search_t &l1) {
  cu_node_t *node = cu.node;
  const uint32_t c0 = l0.best.cost, c1 = cu.p_in_b ? COST_NONE : l1.best.cost;
  const bool both = l0.best.cost < COST_NONE && l1.best.cost < COST_NONE;
  const uint32_t bi = both ? bi_cost(cu, l0, l1) : COST_NONE;
  const int8_t r0 = static_cast<int8_t>(l0.best.ref_idx), r1 = static_cast<int8_t>(l1.best.ref_idx);
  if (bi < c0 && bi < c1) {
    set_pu(node, r0, l0.best.mv, r1, l1.best.mv);
    node->inter_sad_cost = bi;
  } else if (c1 < COST_NONE && c0 >= c1) {
    set_pu(node, -2, 0, r1, l1.best.mv);
    node->inter_sad_cost = c1;
  } else if (c0 < COST_NONE) {
    set_pu(node, r0, l0.best.mv, -2, 0);
    node->inter_sad_cost = c0;
  } else {
    fallback_motion(cu);
    node->inter_sad_cost = COST_NONE;
  }
}

// The inter CU's RD result: its cbf byte, and residual mode 3 when its
// cost is that of the prediction alone, so that the CU is coded so again.
void take_inter_result(const full_cu_t &cu) {
  cu_node_t *node = cu.node;
  node->cbf_saved = cu.ctx->maps->cbf[node_index(cu.z, cu.s)];
  if (node->cbf_saved == 0) node->residual_mode = 3;
}

// The 2Nx2N inter CU with searched motion, where its residual won over
// none, kept for coding it again.
void keep_coded(const full_cu_t &cu) {
  if (cu.s <= 5 && cu.ctx->maps->cbf[node_index(cu.z, cu.s)] != 0)
    cu_trial_keep(cu.ctx, cu.nodes, cu.z, cu.s, TRIAL_CODED, cu.ctx->cabac_est_save[1 + cu.d]);
}

// The 2Nx2N inter CU against the intra trial, by RD cost.
void inter_rd(full_cu_t &cu) {
  encoder_t *ctx = cu.ctx;
  cu_node_t *node = cu.node;
  node->pu.p2n.merge_flag = 0;
  if (ctx->intra_rd_done) {
    node->cbf_saved = node->cbf_intra;
    cu.restore();
    node->pred_intra = 0;
    cu.commit();
    const uint32_t c = inter_cu_rd_cost(ctx, node, cu.z, cu.x, cu.y, cu.s, 0);
    keep_coded(cu);
    cu.searched_last = true;
    node->cost = c;
    if (c > node->intra_cost) {
      node->cost = node->intra_cost;
      node->residual_mode = 0;
      node->pred_intra = 1;
    } else {
      take_inter_result(cu);
    }
    return;
  }
  cu.restore();
  // Only an intra result that exists can be chosen by its rough cost.
  node->pred_intra = node->intra_sad_cost < COST_NONE && node->inter_sad_cost >= node->intra_sad_cost;
  cu.commit();
  node->cost = inter_cu_rd_cost(ctx, node, cu.z, cu.x, cu.y, cu.s, 0);
  if (!node->pred_intra) keep_coded(cu);
  cu.searched_last = !node->pred_intra;
  if (node->pred_intra)
    node->cbf_saved = ctx->maps->cbf[node_index(cu.z, cu.s)];
  else
    take_inter_result(cu);
}

void intra_trial(const full_cu_t &cu) {
  cu_node_t *node = cu.node;
  node->intra_sad_cost = node->intra_cost = COST_NONE;
  if (cu.s >= 6) return;
  encoder_t *ctx = cu.ctx;
  bool run;
  if (!cu.b_slice)
    run = ctx->param.intra_trial_p != 0;
  else
    run = ctx->b_intra_trial && (ctx->analysis_level >= 7 || cu.p_in_b || node->merge_res_cost < node->skip_cost);
  if (run) intra_mode_decision(ctx, cu.nodes, cu.z, cu.x, cu.y, cu.s);
}

// Whether motion b predicts as motion a: the same lists, references and
// vectors.
bool same_motion(const int8_t ra[2], const mv_t ma[2], const int8_t rb[2], const mv_t mb[2]) {
  for (int32_t l = 0; l < 2; l++) {
    const bool used = ra[l] >= 0;
    if ((rb[l] >= 0) != used) return false;
    if (used && (rb[l] != ra[l] || mb[l] != ma[l])) return false;
  }
  return true;
}

// Whether the CU's levels are all 0.
bool levels_zero(const encoder_t *ctx, int32_t z, int32_t size) {
  const ctu_unit_maps_t &d = ctx->maps->unit;
  auto zero = [](const int16_t *p, int32_t n) {
    int16_t any = 0;
    for (int32_t i = 0; i < n; i++) any |= p[i];
    return any == 0;
  };
  const int32_t n = size * size;
  return zero(d.coef_y + 16 * z, n) && zero(d.coef_c[0] + 4 * z, n / 4) && zero(d.coef_c[1] + 4 * z, n / 4);
}

// 2NxN and Nx2N, each with its own motion per prediction unit, against the
// decision so far.  A partition whose units both hold the motion of the
// last coding with residual (the searched 2Nx2N trial's, or the 2NxN
// trial's where its units share one motion) predicts as that trial did,
// from the same states and the same transform tree: its residual is what
// that trial coded, so while that coding is in place only the partition's
// syntax is counted anew.
void rect_partitions(const full_cu_t &cu) {
  encoder_t *ctx = cu.ctx;
  cu_node_t *node = cu.node;
  const uint32_t pred_intra = node->pred_intra;
  const uint8_t residual_mode = node->residual_mode;
  node->pred_intra = 0;
  node->residual_mode = 0;
  node->skip = 0;
  uint32_t cost[3] = {node->cost, COST_NONE, COST_NONE};
  uint8_t cbf[3] = {0, 0, 0};
  // The searches predict luma over the reconstruction: the coding's luma
  // and scratch states are kept aside.
  bool in_place = false;
  bool checked = true;  // no level check needed: the coding kept its residual
  int8_t placed_ref[2] = {-2, -2};
  mv_t placed_mv[2] = {0, 0};
  alignas(32) uint8_t luma[64 * 64];
  uint8_t scratch[4] = {};
  auto keep_aside = [&](const int8_t ref[2], const mv_t mv[2]) {
    in_place = true;
    for (int32_t l = 0; l < 2; l++) {
      placed_ref[l] = ref[l];
      placed_mv[l] = mv[l];
    }
    ctx->mc.block_copy(luma, cu.size, ctu_rec_at(ctx, 0, cu.x, cu.y), RECON_STRIDE, cu.size, cu.size);
    std::memcpy(scratch, ctx->cabac.est.state + CABAC_NUM_CTX, sizeof(scratch));
  };
  if (cu.searched_last) {
    keep_aside(node->pu.p2n.ref_idx, node->pu.p2n.mv);
    checked = ctx->maps->cbf[node_index(cu.z, cu.s)] != 0;
  }
  pu_quarter_costs_t quarters;
  for (uint32_t pm = 1; pm <= 2; pm++) {
    node->part_mode = pm;
    inter_cu_search_full(ctx, cu.nodes, cu.z, cu.x, cu.y, cu.s, &quarters);
    cu.restore();
    cu.commit();
    const pu_pair_t &pp = pm == 1 ? node->pu.p2nxn : node->pu.pnx2n;
    const bool shared = same_motion(pp.ref_idx[0], pp.mv[0], pp.ref_idx[1], pp.mv[1]);
    bool repeat = in_place && shared && same_motion(placed_ref, placed_mv, pp.ref_idx[0], pp.mv[0]);
    if (repeat && !checked) {
      repeat = levels_zero(ctx, cu.z, cu.size);
      checked = true;
    }
    if (repeat) {
      ctx->mc.block_copy(ctu_rec_at(ctx, 0, cu.x, cu.y), RECON_STRIDE, luma, cu.size, cu.size, cu.size);
      std::memcpy(ctx->cabac.est.state + CABAC_NUM_CTX, scratch, sizeof(scratch));
      cost[pm] = cu_rd_cost_coded(ctx, node->lambda_ssd, cu.z, cu.x, cu.y, cu.s);
    } else {
      // The choice below takes 2NxN below cost[0], Nx2N below cost[0] and
      // not above cost[1]; a trial that cannot get there stops (a stopped
      // 2NxN trial's partial cost is at least cost[0], so the bound holds).
      const uint32_t bound = pm == 1 || cost[1] >= cost[0] ? cost[0] : cost[1] + 1;
      bool cut = false;
      cost[pm] = cu_rd_cost_bounded(ctx, node->lambda_ssd, cu.z, cu.x, cu.y, cu.s, unit_qp(ctx->maps, cu.z), bound,
                                    BOUNDED_PREDICT | BOUNDED_HEAD_FIRST, &cut);
      in_place = false;
      checked = true;
      if (pm == 1 && shared && !cut) keep_aside(pp.ref_idx[0], pp.mv[0]);
    }
    cbf[pm] = ctx->maps->cbf[node_index(cu.z, cu.s)];
    // The one the choice below would take so far.
    if (cost[pm] < cost[0] && (pm == 1 || cost[2] <= cost[1]) && cu.s <= 5)
      cu_trial_keep(ctx, cu.nodes, cu.z, cu.s, TRIAL_CODED, ctx->cabac_est_save[1 + cu.d]);
  }
  if (cost[1] < cost[0] && cost[1] < cost[2]) {
    node->cost = cost[1];
    node->part_mode = 1;
    node->cbf_saved = cbf[1];
  } else if (cost[2] >= cost[0]) {
    node->pred_intra = pred_intra;
    node->residual_mode = residual_mode;
    node->part_mode = 0;
  } else {
    node->cost = cost[2];
    node->part_mode = 2;
    node->cbf_saved = cbf[2];
  }
}

// The merged CU with residual over the decision so far, the transform
// tree of the winner, and the skip over both.
void final_choices(full_cu_t &cu) {
  encoder_t *ctx = cu.ctx;
  cu_node_t *node = cu.node;
  bool merge_won = false;
  if (node->merge_res_cost < node->cost && cu.res_idx >= 0) {
    node->cost = node->merge_res_cost;
    take_candidate(cu, cu.res_idx, false);
    node->pu.p2n.merge_flag = 1;
    node->residual_mode = 0;
    node->pred_intra = 0;
    node->part_mode = 0;
    node->cbf_saved = 7;
    merge_won = true;
  }
  bool search;
  if (!cu.b_slice)
    search = !(node->pred_intra && cu.s == 6);
  else if (ctx->analysis_level >= 6 && (merge_won || (node->cbf_saved & 1)))
    search = true;
  else
    search = cu.s == 3 && node->cost > (node->lambda_ssd >> 2);
  if (search) {
    const uint8_t m = node->residual_mode;
    cu.commit();
    if (node->pred_intra)
      grid_mark_unavailable(ctx, cu.x, cu.y, cu.size, cu.size);
    else
      encode_block_of_size(ctx, cu.z, cu.x, cu.y, cu.s, static_cast<int8_t>(node->qp), 1, 0, 3);
    cu.restore();
    if (node->pred_intra) {
      // Intra blocks are predicted per transform block: luma first, chroma
      // along the luma tree.
      transform_tree_search(ctx, cu.nodes, cu.z, cu.x, cu.y, cu.s, 1, 1);
      transform_tree_search(ctx, cu.nodes, cu.z, cu.x, cu.y, cu.s, 2, 1);
    } else {
      transform_tree_search(ctx, cu.nodes, cu.z, cu.x, cu.y, cu.s, 3 | TREE_TAKE_KEPT_ROOT, 1);
    }
    if (node->tu_split || node->residual_mode != m) {
      // The intra searches, from the node's states, left the chroma blocks
      // (and a luma tree of one block) as coding the CU would.
      const bool intra_in_place = node->pred_intra && cu.s <= 5;
      if (!intra_in_place) cu.restore();
      grid_mark_unavailable(ctx, cu.x, cu.y, cu.size, cu.size);
      cu.commit();
      // An unsplit tree coded as a kept trial coded it is taken.
      int32_t kept = 0;
      if (!node->pred_intra && !node->tu_split)
        for (const int32_t slot : {TRIAL_MERGED, TRIAL_CODED})
          if (!kept && cu_trial_residual_kept(ctx, cu.z, cu.s, slot)) kept = slot;
      const cabac_est_t &start = ctx->cabac_est_save[1 + cu.d];
      const uint32_t c =
          kept             ? cu_rd_cost_kept(ctx, cu.nodes, cu.z, cu.x, cu.y, cu.s, kept, start)
          : intra_in_place ? cu_rd_cost_intra_in_place(ctx, node->lambda_ssd, cu.z, cu.x, cu.y, cu.s, start)
                           : cu_rd_cost(ctx, node->lambda_ssd, cu.z, cu.x, cu.y, cu.s, node->pu.p2n.merge_flag);
      if (c <= node->cost) {
        node->cost = c;
        node->cbf_saved = ctx->maps->cbf[node_index(cu.z, cu.s)];
        // Coded from the node's states with the tree the decision keeps:
        // what coding the unsplit CU again would leave.
        cu_trial_save(ctx, cu.nodes, cu.z, cu.s, TRIAL_RESIDUAL);
        cu.tree_kept = true;
      } else {
        if (cu.s == 6)
          set_up_64x64_transform(cu);
        else
          node->tu_split = 0;
        node->residual_mode = m;
        // The transform slot keeps the record: the dropped tree goes back
        // into it.
        cu_commit_transform_flags(ctx, cu.nodes, cu.z, cu.x, cu.y, cu.s);
        cu_commit_transform_sizes(ctx, cu.nodes, cu.z, cu.s);
      }
    }
    node->tu_saved = 1;
    transform_tree_save(ctx, cu.nodes, cu.z, cu.s, cu.d);
  }
  if (node->skip_cost < node->cost) {
    node->cost = node->skip_cost;
    take_candidate(cu, cu.skip_idx, false);
    node->merge_idx = static_cast<uint32_t>(cu.skip_idx);
    node->skip = 1;
    node->tu_split = 0;
    node->tu_saved = 0;
    node->pred_intra = 0;
    node->part_mode = 0;
    node->cbf_saved = 0;
  }
  node->recode = 1;
}

// Steps shared by both slice types up to the final choices.
void evaluate_unsplit(full_cu_t &cu) {
  encoder_t *ctx = cu.ctx;
  cu_node_t *node = cu.node;
  node->split = 0;
  cu_commit_depth(ctx, cu.z, cu.s);
  node->part_mode = 0;
  node->pred_intra = 0;
  node->pu.p2n.ref_idx[0] = node->pu.p2n.ref_idx[1] = -2;
  if (cu.s == 6)
    set_up_64x64_transform(cu);
  else
    node->tu_split = 0;
  // The intra trial of an earlier CU says nothing about this one.
  ctx->intra_rd_done = 0;
  merge_list_t &m = cu.merge;
  m.count = mvp_get_merge_candidates(ctx, cu.z, cu.x, cu.y, cu.size, cu.size, cu.d, m.mv[0], m.mv[1], m.ref[0],
                                     m.ref[1], &m.temporal_mask);
  if (!cu.b_slice)
    for (int32_t i = 0; i < m.count; i++) m.ref[1][i] = -2;

  const bool thorough = ctx->analysis_level >= 6;
  uint32_t best_residual = COST_NONE;
  node->skip_cost = skip_trials(cu, thorough || !cu.b_slice, &best_residual);
  node->inter_sad_cost = COST_NONE;
  if (cu.skip_idx >= 0) node->merge_idx = static_cast<uint32_t>(cu.skip_idx);
  if (cu.b_slice && !thorough) {
    node->merge_res_cost = COST_NONE;
    if (cu.skip_idx >= 0) {
      node->skip = 0;
      take_candidate(cu, cu.skip_idx, true);
      node->pu.p2n.merge_flag = 1;
      cu.commit();
      node->merge_res_cost = cu_rd_cost(ctx, node->lambda_ssd, cu.z, cu.x, cu.y, cu.s, 1);
      cu.res_idx = cu.skip_idx;
      cu.restore();
    }
  } else {
    node->merge_res_cost = best_residual;
    if (cu.res_idx >= 0) node->pu.p2n.merge_idx = static_cast<uint8_t>(cu.res_idx);
  }
  node->pu.p2n.merge_flag = 0;
  node->skip = 0;

  if (cu.b_slice && !cu.p_in_b) {
    // A skip far below lambda needs no further search.
    const uint32_t lambda = node->lambda_ssd;
    const bool early = cu.s == 6 && ctx->ctu_early_skip <= 0
                           ? node->skip_cost < (lambda & 0x0fffffffu)
                           : node->skip_cost < static_cast<uint32_t>((static_cast<uint64_t>(lambda) << 3) >> (16 - 2 * cu.s));
    if (early) {
      node->intra_sad_cost = node->intra_cost = COST_NONE;
      node->cbf_saved = 0;
      fallback_motion(cu);
      return;
    }
  }

  if (cu.d > 0) {
    const cu_node_t *parent = cu.nodes + node_index(cu.z, cu.s + 1);
    if (parent->cost < COST_NONE)
      for (int32_t l = 0; l < 2; l++) {
        cu.parent_ref[l] = parent->pu.p2n.ref_idx[l];
        cu.parent_mv[l] = parent->pu.p2n.mv[l];
      }
  }
  list_search_t l0, l1;
  if (!cu.b_slice) {
    l0 = search_list(cu, 0);
    l1 = list_search_t{};
    l1.best.cost = COST_NONE;
  } else if (cu.p_in_b) {
    search_p_in_b(cu, &l0, &l1);
  } else {
    l0 = search_list(cu, 0);
    l1 = search_list(cu, 1);
  }
  node->me_best = l0.best;
  node->me_other = l1.best;
  choose_motion(cu, l0, l1);
  intra_trial(cu);
  inter_rd(cu);
}

int32_t split_mode_of(const encoder_t *ctx, int32_t s, int32_t d, bool inside) {
  const int32_t mincb = min_cb_log2(ctx);
  if (!inside) return s > mincb ? SPLIT_FORCED : SPLIT_NEVER;
  if (s <= mincb) return SPLIT_NEVER;
  if (d < ctx->cu_min_depth) return SPLIT_FORCED;
  if (ctx->param.split_search_level < 3 && d >= ctx->cu_max_depth) return SPLIT_NEVER;
  return SPLIT_TRY;
}

// The CU's cost joins the running statistics of its depth unless it costs
// twice their mean or more (products and sums wrap at 32 bits).
void add_depth_stats(encoder_t *ctx, int32_t d, uint32_t cost) {
  auto &st = ctx->depth_stats;
  const uint32_t n = static_cast<uint32_t>(static_cast<int32_t>(st.count[d]));
  if (st.count[d] != 0 && n * cost >= 2 * st.sum[d]) return;
  st.count[d] = static_cast<int8_t>(st.count[d] + 1);
  st.sum[d] += cost;
}

}  // namespace

void analyse_cu_inter_full(encoder_t *ctx, cu_node_t *nodes, lowres_cu_search_t *lowres, int32_t z, int32_t x,
                           int32_t y, int32_t log2_size) {
  full_cu_t cu;
  cu.ctx = ctx;
  cu.nodes = nodes;
  cu.node = nodes + node_index(z, log2_size);
  cu.lowres = lowres;
  cu.z = z;
  cu.x = x;
  cu.y = y;
  cu.s = log2_size;
  cu.d = 6 - log2_size;
  cu.size = 1 << log2_size;
  cu.map8 = map8_index(x >> 3, y >> 3);
  cu.b_slice = ctx->slice_type_code == 0;
  cu.p_in_b = cu.b_slice && ctx->cur_input->frame_type_code == TARNHEVCENC_TYPE_P;
  cu_node_t *node = cu.node;
  cu_node_reset(ctx, node);
  const int32_t w_left = ctx->width - ctx->ctu_x * 64, h_left = ctx->height - ctx->ctu_y * 64;
  const bool inside = x + cu.size <= w_left && y + cu.size <= h_left;
  int32_t mode = split_mode_of(ctx, cu.s, cu.d, inside);
  copy_spare_states(&ctx->cabac.est);
  ctx->cabac_est_save[1 + cu.d] = ctx->cabac.est;

  if (mode != SPLIT_FORCED) {
    evaluate_unsplit(cu);
    if (ctx->analysis_level >= 7 && cu.s >= 4) rect_partitions(cu);
    final_choices(cu);
    node->split_flag_cost[0] = split_flag_cost(cu, inside, 0);
    if (cu.s > min_cb_log2(ctx)) add_depth_stats(ctx, cu.d, node->cost);
    if (node->skip && (ctx->analysis_level < 7 || cu.s < 5)) mode = SPLIT_NEVER;
  }

  const int32_t h = cu.size >> 1, q = child_step(cu.s);
  const bool right = x + h < w_left, below = y + h < h_left;
  uint32_t split_cost = COST_NONE;
  if (mode != SPLIT_NEVER) {
    grid_mark_unavailable(ctx, x, y, cu.size, cu.size);
    if (mode == SPLIT_TRY) cu.restore();
    node->split = 1;
    analyse_cu_inter_full(ctx, nodes, lowres, z, x, y, cu.s - 1);
    if (right) analyse_cu_inter_full(ctx, nodes, lowres, z + q, x + h, y, cu.s - 1);
    if (below) analyse_cu_inter_full(ctx, nodes, lowres, z + 2 * q, x, y + h, cu.s - 1);
    if (right && below) analyse_cu_inter_full(ctx, nodes, lowres, z + 3 * q, x + h, y + h, cu.s - 1);
    node->split_flag_cost[1] = split_flag_cost(cu, inside, 1);
    const cu_node_t *c = nodes + node_index(z, cu.s - 1);
    split_cost = c[0].cost + node->split_flag_cost[1];
    if (right) split_cost += c[1].cost;
    if (below) split_cost += c[2].cost;
    if (right && below) split_cost += c[3].cost;
  }

  node->split = 0;
  const uint32_t unsplit = node->cost + node->split_flag_cost[0];
  node->cost = unsplit;
  if (mode == SPLIT_FORCED || (mode == SPLIT_TRY && split_cost < unsplit)) {
    // The children are committed and coded; the live states are theirs.
    node->cost = split_cost;
    node->split = 1;
    cu_commit_split(ctx, z, cu.s, 1u | (right ? 2u : 0u) | (below ? 4u : 0u) | (right && below ? 8u : 0u));
    return;
  }
  cu_commit_depth(ctx, cu.z, cu.s);
  if (node->tu_saved)
    transform_tree_restore(ctx, nodes, z, cu.s, cu.d);
  else if (cu.s == 6)
    set_up_64x64_transform(cu);
  cu.commit();
  cu.restore();
  grid_mark_unavailable(ctx, x, y, cu.size, cu.size);
  if (node->skip && cu.skip_kept)
    cu_prediction_restore(ctx, z, cu.s, TRIAL_SKIP);
  else if (!node->skip && cu.tree_kept)
    cu_trial_restore(ctx, nodes, z, cu.s, TRIAL_RESIDUAL);
  else if (!node->skip && !node->pred_intra && node->residual_mode == 3)
    // The decision costed this CU without residual; coding one now would
    // write a CU the decision rejected.
    cu_rd_cost_prediction(ctx, node->lambda_ssd, z, x, y, cu.s);
  else
    cu_rd_cost(ctx, node->lambda_ssd, z, x, y, cu.s, 0);
  split_flag_cost(cu, inside, 0);
  grid_mark_available(ctx, x, y, cu.size, cu.size);
}
