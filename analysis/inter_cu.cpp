// The unsplit CU of a P or B picture: skip with the best merge candidate,
// merge or searched motion (one list, or in B slices both and their
// average) with residual, or intra.  Candidates are compared by rough
// costs first; only the best, the skip and at most one more merge
// candidate are coded through the residual coder, and early-skip rules
// and the lookahead's estimates stop the search where it cannot pay.
#include <algorithm>

#include "analysis/ctu_analysis.h"
#include "analysis/decision_common.h"
#include "analysis/inter_common.h"
#include "analysis/intra_decision.h"
#include "bitstream/ctu_writer.h"
#include "motion/me_common.h"
#include "motion/mvp.h"
#include "ratecontrol/lowres_data.h"
#include "rdo/block_coding.h"
#include "rdo/cu_commit.h"
#include "rdo/rd_cost.h"

namespace {

inline uint32_t times_1_5(uint32_t v) { return (3 * v) >> 1; }
inline bool small_vector(mv_t v) {
  return mv_x(v) >= -31 && mv_x(v) <= 31 && mv_y(v) >= -31 && mv_y(v) <= 31;
}

struct inter_cu_t {
  encoder_t *ctx;
  cu_node_t *nodes, *node;
  int32_t z, x, y, s, d, n;
  bool b_slice;  // two lists
  bool true_b;   // a B or Bref picture (not a P picture coded as a B slice)
  // The search on half-resolution pictures (null: the fast search), which
  // has no early-skip rules and no lookahead shortcuts.
  lowres_cu_search_t *lowres = nullptr;
  merge_eval_t merge;
  int32_t second = -1;  // merge candidate kept for a second skip trial
  bool skip_coded = false;      // the skip trial of the best merge candidate ran
  bool residual_held = false;   // the merge candidate's residual trial is in its slot
  bool residual_final = false;  // ... and the split decision would code it the same way
  // The AMVP lists the best result of each list was searched with.
  mv_t amvp[2][2] = {{0, 0}, {0, 0}};
  int32_t amvp_count[2] = {1, 1};

  void restore() const { ctx->cabac.est = ctx->cabac_est_save[1 + d]; }
  void commit() const { cu_commit(ctx, nodes, z, x, y, s); }
  void hold(int32_t slot) const { cu_trial_save(ctx, nodes, z, s, slot); }
  void take_merge(int32_t i, uint8_t merge_flag) const {
    pu_single_t &pu = node->pu.p2n;
    pu.merge_flag = merge_flag;
    pu.merge_idx = static_cast<uint8_t>(i);
    for (int32_t l = 0; l < 2; l++) {
      pu.ref_idx[l] = merge.list.ref_idx[l][i];
      pu.mv[l] = pu.ref_idx[l] >= 0 ? merge.list.mv[l][i] : 0;
    }
  }
  void take_motion(int32_t ref0, mv_t mv0, int32_t ref1, mv_t mv1) const {
    pu_single_t &pu = node->pu.p2n;
    pu.merge_flag = 0;
    pu.ref_idx[0] = static_cast<int8_t>(ref0);
    pu.ref_idx[1] = static_cast<int8_t>(ref1);
    pu.mv[0] = ref0 >= 0 ? mv0 : 0;
    pu.mv[1] = ref1 >= 0 ? mv1 : 0;
  }
  // No candidate could be costed: the best merge candidate when the list
  // has one, else reference 0 of list 0 with the zero vector.
  void take_fallback() const {
    if (merge.count > 0)
      take_merge(merge.best >= 0 ? merge.best : 0, 1);
    else
      take_motion(0, 0, -2, 0);
  }
  // The trial slot holding the residual of the committed inter motion: the
  // merged CU's, when the motion predicts as the merge candidate does.
  int32_t residual_slot() const {
    const pu_single_t &pu = node->pu.p2n;
    const int32_t i = merge.best;
    if (!residual_held || node->pred_intra || node->part_mode != 0 || i < 0) return 0;
    for (int32_t l = 0; l < 2; l++) {
      const int32_t r = merge.list.ref_idx[l][i];
      if ((pu.ref_idx[l] >= 0) != (r >= 0)) return 0;
      if (r >= 0 && (pu.ref_idx[l] != r || pu.mv[l] != merge.list.mv[l][i])) return 0;
    }
    return TRIAL_RESIDUAL;
  }
  uint32_t vector_bits(const me_result_t &r, int32_t list) const {
    int16_t mvd[2];
    mvp_select_mvd(&r.mv, amvp[list], amvp_count[list], mvd);
    const me_mvcost_t t = me_mvcost(ctx->tables, node->qp, ctx->cur_input->b_level);
    return t(mvd[0]) + t(mvd[1]);
  }
};

// Reference distortion of the skip candidate: what the references' CTUs
// cost at their coding, scaled to the CU, plus three lambdas of bits.
uint32_t reference_distortion(const inter_cu_t &c) {
  const encoder_t *ctx = c.ctx;
  const pu_single_t &pu = c.node->pu.p2n;
  uint64_t r = 0;
  int32_t lists = 0;
  for (int32_t l = 0; l < 2; l++)
    if (pu.ref_idx[l] >= 0) {
      r += ctx->ref_list[l][pu.ref_idx[l]]->ctu_distortion[ctx->ctu_addr] >> (12 - 2 * c.s);
      lists++;
    }
  if (lists == 2) r >>= 1;
  r += (3 * static_cast<uint64_t>(c.node->lambda_ssd)) >> (16 - 2 * c.s);
  return static_cast<uint32_t>(std::min<uint64_t>(r, UINT32_MAX));
}

// Steps 1-3: set-up, merge candidates, the skip RD of the best one.
void setup_and_skip(inter_cu_t &c) {
  encoder_t *ctx = c.ctx;
  cu_node_t *node = c.node;
  cu_commit_depth(ctx, c.z, c.s);
  node->part_mode = 0;
  node->pred_intra = 0;
  node->pu.p2n.ref_idx[0] = node->pu.p2n.ref_idx[1] = -2;
  node->tu_split = 0;
  node->recode = 0;
  node->held = 0;
  node->me_best.cost = node->me_other.cost = COST_NONE;
  node->merge_res_cost = COST_NONE;
  ctx->merge_res_flag = 0;
  if (c.s == 6) {
    // A 64x64 CU is coded as four 32x32 transform blocks.
    node->tu_split = 1;
    cu_tu_children_setup(c.nodes, node);
  }
  merge_evaluate(ctx, c.z, c.x, c.y, c.s, c.b_slice, c.lowres != nullptr, &c.merge);
  const merge_eval_t &m = c.merge;
  ctx->last_distortion = COST_NONE;
  node->skip_cost = COST_NONE;
  node->inter_sad_cost = COST_NONE;
  if (m.best < 0) return;
  node->merge_idx = static_cast<uint32_t>(m.best);
  node->inter_sad_cost = m.best_cost;
  const uint32_t lsad = node->lambda_sad;
  if (!c.lowres && ctx->analysis_level < 2 && c.d > 0 &&
      static_cast<int32_t>(m.best_cost) > static_cast<int32_t>((800 * lsad + 1500) >> (2 * (5 - c.s)))) {
    // Too far from a skip to be worth its RD.
    c.take_merge(m.best, 1);
    return;
  }
  if (m.second >= 0 && ctx->speed_mode < 3) {
    const int32_t gap = static_cast<int32_t>(m.second_cost - m.best_cost);
    if (c.b_slice) {
      if (gap < static_cast<int32_t>(lsad << (c.s - 3)) &&
          static_cast<int32_t>(m.best_cost) > static_cast<int32_t>(lsad << (2 * c.s - 5)))
        c.second = m.second;
    } else if (gap < static_cast<int32_t>(lsad << (2 * c.s - 6))) {
      c.second = m.second;
    }
  }
  c.take_merge(m.best, 1);
  node->skip = 1;
  c.commit();
  node->skip_cost = cu_rd_cost(ctx, node->lambda_ssd, c.z, c.x, c.y, c.s, 0);
  c.skip_coded = true;
  node->skip = 0;
  node->cbf_saved = 0;
  if (c.b_slice) node->pu.p2n.merge_flag = 0;
}

// Step 4: whether the skip is taken without searching further.
bool early_skip(const inter_cu_t &c, uint32_t ref_distortion) {
  const encoder_t *ctx = c.ctx;
  const cu_node_t *node = c.node;
  const uint32_t S = node->skip_cost, lssd = node->lambda_ssd;
  const int32_t level = ctx->analysis_level, mode = ctx->ctu_early_skip, sh = 16 - 2 * c.s;
  bool e = false, distortion_test = c.s == 6;
  auto p_rule = [&]() {
    if (c.s < 6) return ((static_cast<uint64_t>(lssd) << 3) >> sh) > S;
    if (mode == 1) return ((static_cast<uint64_t>(lssd) << 3) >> 4) > S;
    return (lssd & 0x0fffffffu) > S;
  };
  const bool speed2 = ctx->speed_mode == 2;
  if (level <= 2) {
    e = static_cast<int32_t>(S) < EARLY_SKIP_THRESHOLD[node->qp][c.d];
    distortion_test = level == 0 || c.s == 6;
  } else if (!c.true_b) {
    if (mode >= 2)
      e = false;
    else if (c.b_slice && speed2)
      e = ((24 * static_cast<uint64_t>(lssd)) >> sh) > S;
    else
      e = p_rule();
  } else if (speed2) {
    e = ((24 * static_cast<uint64_t>(lssd)) >> sh) > S;
  } else if (c.s == 6 && mode < 1) {
    e = (lssd & 0x0fffffffu) > S;
  } else {
    e = ((static_cast<uint64_t>(lssd) << 3) >> sh) > S;
  }
  if (distortion_test) {
    const pu_single_t &pu = node->pu.p2n;
    bool small = true;
    for (int32_t l = 0; l < 2; l++) small = small && (pu.ref_idx[l] < 0 || small_vector(pu.mv[l]));
    if (small && ctx->last_distortion < ref_distortion) e = true;
  }
  if (ctx->speed_mode == 3 && S < COST_NONE) e = true;
  return e;
}

// Step 5: the searched motion of list `list` against its references r <
// refs; the best goes to *best (strictly cheaper wins, so ties keep the
// lower index).  In a P picture coded as a B slice the runner-up of list 0
// goes to *other.
void search_list(inter_cu_t &c, int32_t list, int32_t refs, me_request_t *rq, me_result_t *best, me_result_t *other,
                 uint32_t bound) {
  encoder_t *ctx = c.ctx;
  const int32_t size = 1 << c.s;
  const int32_t u = map8_index(c.x >> 3, c.y >> 3);
  const cu_node_t *parent = c.d > 0 ? c.nodes + node_index(c.z, c.s + 1) : nullptr;
  const int32_t parent_ref = parent && parent->cost < COST_NONE ? parent->pu.p2n.ref_idx[list] : -2;
  for (int32_t r = 0; r < refs; r++) {
    cu_commit_search_ref(ctx, c.x, c.y, 1, list, r);
    rq->list = list;
    rq->ref_idx = static_cast<int8_t>(r);
    mv_t amvp[2];
    rq->amvp_count = mvp_get_amvp_candidates(ctx, c.z, c.x, c.y, size, size, 0, list, amvp);
    rq->amvp[0] = amvp[0];
    rq->amvp[1] = amvp[1];
    const int32_t likely = r == 0 || r == ctx->maps->ref_idx[list][u - 1] ||
                           r == ctx->maps->ref_idx[list][u - MAP8_STRIDE] || r == parent_ref;
    me_result_t res;
    me_search_fast(ctx, &ctx->me, &res, rq, c.node->qp, std::min(bound, best->cost), 0, likely);
    if (res.cost < best->cost) {
      if (other) *other = *best;
      *best = res;
      c.amvp[list][0] = amvp[0];
      c.amvp[list][1] = amvp[1];
      c.amvp_count[list] = rq->amvp_count;
    } else if (other && res.cost < other->cost) {
      *other = res;
    }
  }
}

void motion_search(inter_cu_t &c) {
  encoder_t *ctx = c.ctx;
  cu_node_t *node = c.node;
  const frame_t *f = ctx->cur_input;
  const int32_t size = 1 << c.s;
  auto refs = [&](int32_t l) { return ctx->speed_mode == 0 ? ctx->ref_count[l] : std::min(1, ctx->ref_count[l]); };
  const cu_node_t *parent = c.d > 0 ? c.nodes + node_index(c.z, c.s + 1) : nullptr;
  const bool parent_valid = parent && parent->cost < COST_NONE;
  me_request_t rq = me_request_for(c.x, c.y, size, size, 0, 0);
  if (!c.true_b) {
    if (parent_valid && parent->pu.p2n.ref_idx[0] >= 0) {
      rq.extra[rq.extra_count++] = parent->pu.p2n.mv[0];
    } else if (f->lowres_l0_distance > 0 && f->la && f->la->mvs_searched[0][f->lowres_l0_distance - 1]) {
      // The lookahead's vector of the block, in full-resolution units.
      const mv_t v = f->la->mvs[0][f->lowres_l0_distance - 1][lookahead_block_index(ctx, c.x, c.y)];
      rq.extra[rq.extra_count++] = mv_make(2 * mv_x(v), 2 * mv_y(v));
    }
    search_list(c, 0, refs(0), &rq, &node->me_best, c.b_slice ? &node->me_other : nullptr, COST_NONE);
    if (c.b_slice && node->me_other.cost < COST_NONE) {
      // The runner-up serves as the list-1 half (list 1 repeats list 0).
      cu_commit_search_ref(ctx, c.x, c.y, 1, 1, node->me_other.ref_idx);
      c.amvp_count[1] = mvp_get_amvp_candidates(ctx, c.z, c.x, c.y, size, size, 0, 1, c.amvp[1]);
    }
    return;
  }
  for (int32_t l = 0; l < 2; l++) {
    rq.extra_count = 0;
    if (parent_valid && parent->pu.p2n.ref_idx[l] >= 0) rq.extra[rq.extra_count++] = parent->pu.p2n.mv[l];
    me_result_t *best = l == 0 ? &node->me_best : &node->me_other;
    search_list(c, l, refs(l), &rq, best, nullptr, std::min(node->me_best.cost, node->me_other.cost));
  }
}

// When the merge candidate and the searched motion cost about the same
// (and the early-skip mode allows), the merge candidate is also coded
// with residual, to be weighed against the RD of the searched motion.
bool merge_with_residual(inter_cu_t &c) {
  encoder_t *ctx = c.ctx;
  cu_node_t *node = c.node;
  const uint32_t G = node->inter_sad_cost, M = node->me_best.cost, L = node->lambda_sad;
  ctx->merge_res_flag = G < COST_NONE && M < COST_NONE && times_1_5(G) + 2 * L > M && G < times_1_5(M) + 2 * L &&
                        ctx->ctu_early_skip >= 2;
  if (!ctx->merge_res_flag) return false;
  node->inter_sad_cost = std::min(M, G);
  c.restore();
  c.take_merge(c.merge.best, 1);
  c.commit();
  const uint32_t lambdas[2] = {node->lambda_sad, node->lambda_ssd};
  node->merge_res_cost = cu_rd_cost_residual(ctx, node->qp, lambdas, c.z, c.x, c.y, c.s);
  // Kept for the searched motion when it predicts the same, and for the
  // split decision, which would otherwise code it again where that coding
  // uses the same quantiser (see cu_decide_split).
  if (node->merge_res_cost < COST_NONE) {
    c.hold(TRIAL_RESIDUAL);
    c.residual_held = true;
    c.residual_final = ctx->analysis_level < 3 || ctx->use_rdoq_alt;
  }
  return true;
}

// Step 6 of P slices: merge against searched motion.
void choose_p(inter_cu_t &c) {
  cu_node_t *node = c.node;
  const uint32_t G = node->inter_sad_cost, M = node->me_best.cost;
  if (merge_with_residual(c)) {
    c.take_motion(node->me_best.ref_idx, node->me_best.mv, -2, 0);
  } else if (G <= M && G < COST_NONE) {
    c.take_merge(c.merge.best, 1);
  } else if (M < COST_NONE) {
    node->inter_sad_cost = M;
    c.take_motion(node->me_best.ref_idx, node->me_best.mv, -2, 0);
  } else {
    c.take_fallback();
  }
}

// Step 6 of B slices: list 0, list 1 or both against the best merge
// candidate.
void choose_b(inter_cu_t &c) {
  encoder_t *ctx = c.ctx;
  cu_node_t *node = c.node;
  // A P picture in a B slice weighs merge with residual as P slices do.
  if (!c.true_b) merge_with_residual(c);
  const me_result_t &b0 = node->me_best, &b1 = node->me_other;
  const uint32_t C0 = b0.cost, C1 = b1.cost;
  uint32_t Bi = COST_NONE;
  if (C0 < COST_NONE && C1 < COST_NONE) {
    const int8_t ref[2] = {static_cast<int8_t>(b0.ref_idx), static_cast<int8_t>(b1.ref_idx)};
    const mv_t mv[2] = {b0.mv, b1.mv};
    inter_rough_predict(ctx, c.x, c.y, c.s, ref, mv, c.lowres != nullptr);
    Bi = inter_rough_cost(ctx, c.x, c.y, c.s, c.lowres != nullptr) + c.vector_bits(b0, 0) + c.vector_bits(b1, 1);
  }
  const uint32_t best_search = std::min({C0, C1, Bi});
  if (!ctx->merge_res_flag && best_search > node->inter_sad_cost) {
    c.take_merge(c.merge.best, 1);
    return;
  }
  if (best_search >= COST_NONE) {
    c.take_fallback();
    return;
  }
  // The bi-prediction must beat both lists; list 1 wins a tie between them.
  if (Bi < C0 && Bi < C1)
    c.take_motion(b0.ref_idx, b0.mv, b1.ref_idx, b1.mv);
  else if (C0 >= C1)
    c.take_motion(-2, 0, b1.ref_idx, b1.mv);
  else
    c.take_motion(b0.ref_idx, b0.mv, -2, 0);
  node->inter_sad_cost = best_search;
}

// Step 7: whether the intra alternative is tried.
bool intra_trial_runs(const inter_cu_t &c) {
  const encoder_t *ctx = c.ctx;
  const cu_node_t *node = c.node;
  const int32_t level = ctx->analysis_level;
  if (c.lowres) {
    // Without the lookahead's filters: only where inter prediction leaves
    // more than a few lambdas per 4x4 block.
    const int32_t trial = c.b_slice ? ctx->param.intra_trial_b : ctx->param.intra_trial_p;
    return trial && c.s < 6 && (ctx->speed_mode < 2 || c.s == 3) &&
           static_cast<int32_t>(node->inter_sad_cost) > static_cast<int32_t>(node->lambda_sad << (2 * c.s - 2));
  }
  const bool allowed = c.s < 6 && (c.b_slice ? ctx->b_intra_trial : ctx->param.intra_trial_p) &&
                       (ctx->speed_mode < 2 || c.s == 3);
  if (!allowed) return false;
  if (level >= 4) return true;
  const frame_t *f = ctx->cur_input;
  const int32_t d0 = f->lowres_l0_distance, d1 = c.b_slice ? f->lowres_l1_distance : 0;
  const uint32_t *costs = d0 > 0 && (!c.b_slice || d1 > 0) ? lookahead_blocks(ctx, d0, d1) : nullptr;
  // The lookahead says whether the block was predicted at all.
  if (costs) return (costs[lookahead_block_index(ctx, c.x, c.y)] >> 28) == 0;
  const bool gradient_rule = c.b_slice ? level == 0 : level < 3 && ctx->param.latency_mode != 9;
  if (!gradient_rule) return true;
  const int64_t g = ctx->gradients.combined.node[gradient_entry(c.x, c.y, c.s)];
  return g <= static_cast<int64_t>(0.7 * node->inter_sad_cost);
}

// The CU without residual (B pictures, 64x64 at levels 0-2): its prediction
// is in place; returns its cost, or COST_NONE for a merge PU, which the
// skip then replaces.
uint32_t code_without_residual(inter_cu_t &c, uint32_t D) {
  encoder_t *ctx = c.ctx;
  cu_node_t *node = c.node;
  node->residual_mode = 3;
  cu_commit_no_residual(ctx, node, c.z, c.s);
  grid_mark_available(ctx, c.x, c.y, 1 << c.s, 1 << c.s);
  node->cost = D;
  if (node->pu.p2n.merge_flag && !node->pred_intra) return COST_NONE;
  ctx->last_distortion = D;
  const uint32_t bits = cu_estimate_bits(ctx, &ctx->cabac.est, c.x, c.y, c.s);
  return rd_cost(D, bits, node->lambda_ssd);
}

void make_skip_cu(inter_cu_t &c) {
  cu_node_t *node = c.node;
  node->skip = 1;
  node->merge_idx = node->pu.p2n.merge_idx;
  c.commit();
}

// Step 8.2's RD of the chosen inter (or rough-best intra) candidate.
// Returns false when the 64x64 rule ended the evaluation.
bool inter_rd(inter_cu_t &c, uint32_t *C_out) {
  encoder_t *ctx = c.ctx;
  cu_node_t *node = c.node;
  c.restore();
  node->pred_intra = node->intra_sad_cost < COST_NONE && node->inter_sad_cost >= node->intra_sad_cost;
  c.commit();
  const int32_t m = node->pred_intra ? 0 : node->pu.p2n.merge_flag;
  uint32_t C;
  if (c.s == 6 && ctx->analysis_level < 3 && !c.lowres) {
    encode_cu_64x64(ctx, c.z, c.x, c.y, static_cast<int8_t>(node->qp), 1, 0, 3);
    const uint32_t D = ctu_weighted_distortion(ctx);
    const int32_t qp = node->qp;
    if (static_cast<int64_t>(D) > INTER_RESIDUAL_THRESHOLD[qp] && c.merge.best >= 0) {
      // Not worth coding whole: keep the skip and search the split.
      node->no_early_stop = 1;
      node->skip = 1;
      node->merge_idx = static_cast<uint32_t>(c.merge.best);
      c.take_merge(c.merge.best, 1);
      node->cost = node->skip_cost;
      node->recode = 1;
      node->held = c.skip_coded ? TRIAL_SKIP : 0;
      return false;
    }
    if (c.true_b && static_cast<int64_t>(D) <= INTER_RESIDUAL_THRESHOLD[qp] &&
        static_cast<int64_t>(D) < B_NORESIDUAL_THRESHOLD[qp] && D < node->skip_cost) {
      C = code_without_residual(c, D);
    } else if (m == 0 && !node->pred_intra) {
      C = cu_rd_cost_node(ctx, node, c.z, c.x, c.y, c.s, D, c.residual_slot());
    } else {
      C = cu_rd_cost_nopred(ctx, node->lambda_ssd, c.z, c.x, c.y, c.s, m);
    }
  } else {
    C = inter_cu_rd_cost(ctx, node, c.z, c.x, c.y, c.s, m, m ? 0 : c.residual_slot());
  }
  node->cost = C;
  if (m == 1 && C >= COST_NONE && node->skip_cost >= COST_NONE) {
    // The merge candidate left without residual is the skip CU.
    make_skip_cu(c);
    C = node->skip_cost = node->cost = cu_rd_cost_nopred(ctx, node->lambda_ssd, c.z, c.x, c.y, c.s, 0);
  }
  node->cbf_saved = ctx->maps->cbf[c.n];
  *C_out = C;
  return true;
}

void analyse_inter_cu(encoder_t *ctx, cu_node_t *nodes, lowres_cu_search_t *lowres, int32_t z, int32_t x, int32_t y,
                      int32_t log2_size, bool b_slice) {
  inter_cu_t c;
  c.lowres = lowres;
  c.ctx = ctx;
  c.nodes = nodes;
  c.n = node_index(z, log2_size);
  c.node = nodes + c.n;
  c.z = z;
  c.x = x;
  c.y = y;
  c.s = log2_size;
  c.d = 6 - log2_size;
  c.b_slice = b_slice;
  c.true_b = b_slice && ctx->cur_input->frame_type_code != TARNHEVCENC_TYPE_P;
  cu_node_t *node = c.node;

  setup_and_skip(c);
  bool E = false;
  if (!lowres) {
    const uint32_t R = node->skip_cost < COST_NONE ? reference_distortion(c) : 0;
    if (node->skip_cost >= COST_NONE) ctx->last_distortion = COST_NONE;
    E = node->skip_cost < COST_NONE && early_skip(c, R);
  }
  // The skip trial is in the buffers until the next trial: kept when one
  // follows, since the skip may still win.
  if (c.skip_coded && (!E || c.second >= 0)) cu_prediction_save(ctx, z, log2_size, TRIAL_SKIP);
  node->intra_sad_cost = node->intra_cost = COST_NONE;
  ctx->intra_rd_done = 0;
  if (!E) {
    const bool lowres_merge = !lowres && node->lowres_cost >= 512 && node->skip_cost < COST_NONE;
    if (lowres) {
      lowres_motion_search(ctx, lowres, node, z, x, y, log2_size, c.true_b, c.amvp, c.amvp_count);
      if (b_slice)
        choose_b(c);
      else
        choose_p(c);
    } else if (lowres_merge && b_slice) {
      // The lookahead found the area hard to predict: the merge motion,
      // coded explicitly, against intra.
      ctx->merge_res_flag = 0;
      node->merge_res_cost = COST_NONE;
      c.take_merge(c.merge.best, 0);
    } else {
      if (!lowres_merge) motion_search(c);
      if (b_slice)
        choose_b(c);
      else
        choose_p(c);
    }
    if (intra_trial_runs(c)) analyse_intra_cu_pb(ctx, nodes, z, x, y, log2_size);

    uint32_t C;
    if (ctx->intra_rd_done) {
      node->cbf_saved = node->cbf_intra;
      c.restore();
      node->pred_intra = 0;
      c.commit();
      C = inter_cu_rd_cost(ctx, node, z, x, y, log2_size, node->pu.p2n.merge_flag);
      node->cost = C;
      if (C <= node->intra_cost) {
        node->cbf_saved = ctx->maps->cbf[c.n];
      } else {
        node->cost = C = node->intra_cost;
        node->residual_mode = 0;
        node->pred_intra = 1;
      }
    } else if (!inter_rd(c, &C)) {
      return;
    }
    if (ctx->merge_res_flag && node->merge_res_cost < C) {
      node->residual_mode = 0;
      node->cost = C = node->merge_res_cost;
      node->pred_intra = 0;
      c.take_merge(c.merge.best, 1);
      node->cbf_saved = 7;
    }
    if (C <= node->skip_cost) {
      if (ctx->merge_res_flag)
        node->recode = node->pred_intra ? ctx->intra_rd_done != 0 : node->pu.p2n.merge_flag;
      else
        node->recode = ctx->intra_rd_done && node->pred_intra;
      if (node->recode && !node->pred_intra && node->pu.p2n.merge_flag && c.residual_final)
        node->held = TRIAL_RESIDUAL;
      return;
    }
    // The skip wins after all; its coding is no longer in the buffers.
    node->recode = 1;
    node->held = c.skip_coded ? TRIAL_SKIP : 0;
    node->pred_intra = 0;
    node->skip = 1;
    node->cbf_saved = 0;
    node->merge_idx = static_cast<uint32_t>(c.merge.best);
    c.take_merge(c.merge.best, 1);
    if (c.second < 0) {
      node->cost = node->skip_cost;
      return;
    }
  } else {
    node->skip = 1;
    node->merge_idx = static_cast<uint32_t>(c.merge.best);
    c.take_merge(c.merge.best, 1);
    if (c.second < 0) {
      node->recode = 0;
      node->cost = node->skip_cost;
      return;
    }
  }
  // The second merge candidate as skip.
  c.restore();
  node->merge_idx = static_cast<uint32_t>(c.second);
  c.take_merge(c.second, 1);
  c.commit();
  const uint32_t C2 = cu_rd_cost(ctx, node->lambda_ssd, z, x, y, log2_size, 0);
  if (C2 <= node->skip_cost) {
    node->recode = 0;
    node->skip_cost = node->cost = C2;
  } else {
    node->merge_idx = static_cast<uint32_t>(c.merge.best);
    c.take_merge(c.merge.best, 1);
    node->cost = node->skip_cost;
    node->recode = 1;
    node->held = TRIAL_SKIP;
  }
}

}  // namespace

void analyse_p_cu(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size) {
  analyse_inter_cu(ctx, nodes, nullptr, z, x, y, log2_size, false);
}

void analyse_b_cu(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size) {
  analyse_inter_cu(ctx, nodes, nullptr, z, x, y, log2_size, true);
}

void analyse_p_cu_lowres(encoder_t *ctx, cu_node_t *nodes, lowres_cu_search_t *lowres, int32_t z, int32_t x,
                         int32_t y, int32_t log2_size) {
  analyse_inter_cu(ctx, nodes, lowres, z, x, y, log2_size, false);
}

void analyse_b_cu_lowres(encoder_t *ctx, cu_node_t *nodes, lowres_cu_search_t *lowres, int32_t z, int32_t x,
                         int32_t y, int32_t log2_size) {
  analyse_inter_cu(ctx, nodes, lowres, z, x, y, log2_size, true);
}
