// Motion of the two prediction units of a 2NxN or Nx2N CU: per unit its
// best merge candidate against the searched uni- and bi-predicted motion,
// all judged by the SATD of their luma prediction plus the bits that tell
// them.
#include <algorithm>

#include "analysis/decision_common.h"
#include "analysis/inter_common.h"
#include "analysis/pu_limits.h"
#include "motion/me_common.h"
#include "motion/me_context.h"
#include "motion/mvp.h"
#include "motion/pu_search.h"
#include "rdo/cu_commit.h"
#include "rdo/inter_pred.h"
#include "rdo/rd_cost.h"

namespace {

struct pu_choice_t {
  uint8_t merge, merge_idx;
  int8_t ref[2];
  mv_t mv[2];
  uint32_t cost;
};

// The slot of the motion's SATD in a quarter's table: its own, else the
// empty one where it goes (probing on from its hashed place), else, with
// the table full, the spare one, which nothing finds.
pu_quarter_costs_t::entry_t &quarter_slot(pu_quarter_costs_t *k, int32_t q, uint32_t ref, uint64_t mv) {
  constexpr int32_t n = pu_quarter_costs_t::SLOTS;
  const uint64_t h = (mv ^ (static_cast<uint64_t>(ref) * 0x9e3779b97f4a7c15ull)) * 0xc2b2ae3d27d4eb4full;
  for (int32_t i = 0, at = static_cast<int32_t>(h >> 58); i < n; i++, at = (at + 1) & (n - 1)) {
    pu_quarter_costs_t::entry_t &e = k->at[q][at];
    if (e.ref == pu_quarter_costs_t::EMPTY || (e.mv == mv && e.ref == ref)) return e;
  }
  return k->spare;
}

struct pu_area_t {
  encoder_t *ctx;
  int32_t z, x, y, w, h;
  int32_t qp;
  uint32_t lambda_sad;
  pu_quarter_costs_t *quarters;
  int32_t q0, q1;  // the CU quarters the unit covers (z-order)

  // The cost looks at luma alone, and the CU is predicted whole again
  // when it is coded.  The unit's SATD is its two square halves' sum; a
  // half measured before under the same motion is not predicted again.
  uint32_t predict_cost(const int8_t ref[2], const mv_t mv[2]) const {
    uint32_t rk = 0;
    uint64_t mk = 0;
    for (int32_t l = 0; l < 2; l++) {
      rk |= static_cast<uint32_t>(ref[l] >= 0 ? static_cast<uint8_t>(ref[l]) : 0xffu) << (8 * l);
      mk |= static_cast<uint64_t>(ref[l] >= 0 ? mv[l] : 0) << (32 * l);
    }
    const int32_t n = std::min(w, h);
    pu_quarter_costs_t::entry_t *e[2] = {&quarter_slot(quarters, q0, rk, mk), &quarter_slot(quarters, q1, rk, mk)};
    bool kept[2];
    for (int32_t k = 0; k < 2; k++) kept[k] = e[k]->mv == mk && e[k]->ref == rk;
    if (!kept[0] && !kept[1]) inter_predict_pu(ctx, x, y, w, h, ref, mv, false);
    uint32_t half[2];
    for (int32_t k = 0; k < 2; k++) {
      if (kept[k]) {
        half[k] = e[k]->satd;
        continue;
      }
      const int32_t hx = x + (w > h ? k * n : 0), hy = y + (h > w ? k * n : 0);
      if (kept[1 - k]) inter_predict_pu(ctx, hx, hy, n, n, ref, mv, false);
      half[k] = pu_prediction_satd(ctx, hx, hy, n, n);
      *e[k] = {mk, rk, half[k]};
    }
    return half[0] + half[1];
  }
};

// Whether merge candidates i and j predict the same samples.
bool same_prediction(const merge_candidates_t &mc, int32_t i, int32_t j) {
  for (int32_t l = 0; l < 2; l++) {
    const bool used = mc.ref_idx[l][i] >= 0;
    if (used != (mc.ref_idx[l][j] >= 0)) return false;
    if (used && (mc.ref_idx[l][i] != mc.ref_idx[l][j] || mc.mv[l][i] != mc.mv[l][j])) return false;
  }
  return true;
}

// The merge candidate of the unit with the cheapest prediction plus its
// index bits; candidates leaving the vector range are passed over.  A
// candidate predicting as an earlier one costs no less (its index bits
// are no fewer), so it is not predicted again.
void best_merge(const pu_area_t &a, pu_choice_t *best) {
  merge_candidates_t mc;
  const int32_t count = mvp_get_merge_list(a.ctx, a.z, a.x, a.y, a.w, a.h, &mc);
  for (int32_t i = 0; i < count; i++) {
    bool repeat = false;
    for (int32_t j = 0; j < i && !repeat; j++) repeat = same_prediction(mc, i, j);
    if (repeat) continue;
    const int8_t ref[2] = {mc.ref_idx[0][i], mc.ref_idx[1][i]};
    const mv_t mv[2] = {mc.mv[0][i], mc.mv[1][i]};
    bool usable = true;
    for (int32_t l = 0; l < 2; l++)
      if (ref[l] >= 0 && !mv_in_limits(a.ctx, clamp_to_pu_limits(a.ctx, mv[l], a.x, a.y))) usable = false;
    if (!usable) continue;
    const uint32_t c = a.predict_cost(ref, mv) + a.lambda_sad * static_cast<uint32_t>(std::min(i + 1, 4));
    if (c < best->cost) *best = pu_choice_t{1, static_cast<uint8_t>(i), {ref[0], ref[1]}, {mv[0], mv[1]}, c};
  }
}

// The best searched vector of list l over its references, with its vector
// difference; cost COST_NONE when nothing was found.
struct list_best_t {
  int8_t ref = -1;
  mv_t mv = 0;
  int16_t mvd[2] = {0, 0};
  uint32_t bits = 0;
  uint32_t cost = COST_NONE;
};

// List 0's search of each reference of a unit.  A search depends on the
// picture, the vector predictors, the bound and the reference index, not
// on the list: where list 1 holds the same picture at the same index (a P
// picture coded as a B slice repeats list 0) and the unit's predictors and
// bound come out the same, list 1's search finds what list 0's did, with
// the same prediction.
struct list0_searches_t {
  struct entry_t {
    const uint8_t *plane;
    mv_t amvp[2];
    int32_t amvp_count;
    uint32_t bound;
    me_result_t res;
    uint32_t satd;
  };
  entry_t at[ME_MAX_REFS];
  int32_t count = 0;

  const entry_t *same(const uint8_t *plane, int32_t r, const me_request_t &rq, uint32_t bound) const {
    if (r >= count) return nullptr;
    const entry_t &e = at[r];
    if (e.plane != plane || e.bound != bound || e.amvp_count != rq.amvp_count || e.amvp[0] != rq.amvp[0]) return nullptr;
    return e.amvp_count < 2 || e.amvp[1] == rq.amvp[1] ? &e : nullptr;
  }
};

list_best_t search_list(const pu_area_t &a, int32_t l, list0_searches_t *list0) {
  encoder_t *ctx = a.ctx;
  const me_mvcost_t mvcost = me_mvcost(ctx->tables, a.qp, ctx->cur_input->b_level);
  const int32_t refs = ctx->speed_mode != 0 ? std::min(ctx->ref_count[l], 1) : ctx->ref_count[l];
  list_best_t best;
  uint32_t bound = COST_NONE;
  if (l == 0) list0->count = 0;
  for (int32_t r = 0; r < refs; r++) {
    int8_t ref[2] = {-1, -1};
    ref[l] = static_cast<int8_t>(r);
    const mv_t none[2] = {0, 0};
    // The predictors read the unit's reference where the maps hold it.
    cu_commit_pu_trial(ctx, a.x, a.y, a.w, a.h, 0, 0, ref, none);
    me_request_t rq = me_request_for(a.x, a.y, a.w, a.h, l, r);
    rq.amvp_count = mvp_get_amvp_candidates(ctx, a.z, a.x, a.y, a.w, a.h, 0, l, rq.amvp);
    const uint8_t *plane = r < ME_MAX_REFS ? ctx->me.ref_planes[l][r] : nullptr;
    const list0_searches_t::entry_t *repeat = l == 1 && plane ? list0->same(plane, r, rq, bound) : nullptr;
    me_result_t res{};
    if (repeat)
      res = repeat->res;
    else
      me_search(ctx, &ctx->me, &res, &rq, a.qp, bound, 0, 1);
    list0_searches_t::entry_t *kept = nullptr;
    if (l == 0 && plane && list0->count == r) {
      kept = &list0->at[list0->count++];
      *kept = {plane, {rq.amvp[0], rq.amvp[1]}, rq.amvp_count, bound, res, 0};
    }
    if (res.cost >= COST_NONE) continue;
    bound = std::min(bound, res.cost);
    int16_t mvd[2];
    mvp_select_mvd(&res.mv, rq.amvp, rq.amvp_count, mvd);
    mv_t mv[2] = {0, 0};
    mv[l] = res.mv;
    const uint32_t bits = mvcost(mvd[0]) + mvcost(mvd[1]);
    const uint32_t satd = repeat ? repeat->satd : a.predict_cost(ref, mv);
    if (kept) kept->satd = satd;
    const uint32_t c = satd + bits;
    if (c < best.cost) {
      best.ref = static_cast<int8_t>(r);
      best.mv = res.mv;
      best.mvd[0] = mvd[0];
      best.mvd[1] = mvd[1];
      best.bits = bits;
      best.cost = c;
    }
  }
  return best;
}

pu_choice_t choose_pu(const pu_area_t &a) {
  encoder_t *ctx = a.ctx;
  pu_choice_t best{};
  best.cost = COST_NONE;
  best_merge(a, &best);
  const int32_t lists = ctx->slice_type_code == 0 ? 2 : 1;
  list_best_t found[2];
  list0_searches_t list0;
  for (int32_t l = 0; l < lists; l++) {
    found[l] = search_list(a, l, &list0);
    if (found[l].cost < best.cost) {
      pu_choice_t c{0, 0, {-2, -2}, {0, 0}, found[l].cost};
      c.ref[l] = found[l].ref;
      c.mv[l] = found[l].mv;
      best = c;
    }
  }
  // H.265 forbids bi-prediction of 8x4 and 4x8 prediction units.
  const bool bi_allowed = a.w + a.h > 12;
  // Both lists on the same picture with the same vector: the average of two
  // equal predictions is that prediction, so the pair costs list 0's cost
  // plus list 1's bits and cannot win.
  const bool same_halves = lists == 2 && found[0].cost < COST_NONE && found[1].cost < COST_NONE &&
                           ctx->ref_list[0][found[0].ref] == ctx->ref_list[1][found[1].ref] &&
                           found[0].mv == found[1].mv;
  if (lists == 2 && bi_allowed && !same_halves && found[0].cost < COST_NONE && found[1].cost < COST_NONE) {
    const int8_t ref[2] = {found[0].ref, found[1].ref};
    const mv_t mv[2] = {found[0].mv, found[1].mv};
    const uint32_t c = a.predict_cost(ref, mv) + found[0].bits + found[1].bits;
    if (c < best.cost) best = pu_choice_t{0, 0, {ref[0], ref[1]}, {mv[0], mv[1]}, c};
  }
  if (best.cost >= COST_NONE) {
    // Nothing usable was found: reference 0 of list 0, zero vector.
    best = pu_choice_t{0, 0, {0, -2}, {0, 0}, COST_NONE};
  }
  return best;
}

}  // namespace

void inter_cu_search_full(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                          pu_quarter_costs_t *quarters) {
  cu_node_t *node = nodes + node_index(z, log2_size);
  const int32_t pm = static_cast<int32_t>(node->part_mode);
  pu_pair_t &pp = pm == 1 ? node->pu.p2nxn : node->pu.pnx2n;
  const int32_t size = 1 << log2_size;
  const int32_t w = pm == 2 ? size / 2 : size, h = pm == 1 ? size / 2 : size;
  for (int32_t k = 0; k < 2; k++) {
    const int32_t px = x + (pm == 2 ? k * w : 0), py = y + (pm == 1 ? k * h : 0);
    // 2NxN: quarters 0 and 1, then 2 and 3; Nx2N: 0 and 2, then 1 and 3.
    const int32_t q0 = pm == 1 ? 2 * k : k, q1 = q0 + (pm == 1 ? 1 : 2);
    const pu_area_t a{ctx, zorder_of(px >> 2, py >> 2), px, py, w, h, node->qp, node->lambda_sad, quarters, q0, q1};
    const pu_choice_t c = choose_pu(a);
    pp.merge_flag[k] = c.merge;
    pp.merge_idx[k] = c.merge_idx;
    for (int32_t l = 0; l < 2; l++) {
      pp.ref_idx[k][l] = c.ref[l];
      pp.mv[k][l] = c.mv[l];
    }
    // The second unit sees the first as its coded neighbour.
    cu_commit_pu_trial(ctx, px, py, w, h, c.merge, c.merge_idx, c.ref, c.mv);
    if (k == 0) grid_mark_available(ctx, px, py, w, h);
  }
  grid_mark_unavailable(ctx, x, y, size, size);
}
