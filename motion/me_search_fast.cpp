// The cheaper motion search of square prediction units: the stage plan of
// me_search with one best vector, every later candidate costed against one
// fixed predictor, a hexagon walk that costs only the new points after each
// move, and a refinement that the lowest levels run only on textured blocks.
#include <algorithm>

#include "common/quadtree.h"
#include "encoder/encoder.h"
#include "motion/me_common.h"
#include "motion/mvp.h"

namespace {

// Hexagon points 0..5, and after a move to point k the points of the new
// hexagon that the old one did not cover (bit i = point i).
constexpr int8_t HEXAGON[6][2] = {{-1, -2}, {-1, 2}, {-2, 0}, {1, -2}, {1, 2}, {2, 0}};
constexpr uint8_t HEX_NEW_POINTS[6] = {0x0d, 0x16, 0x07, 0x29, 0x32, 0x38};

struct fast_search_t {
  pixel_cost_fn one, refine;
  sad_x3_fn three;
  sad_x4_fn four;
  me_split_sad_t split;  // the long cross and the rings
  const uint8_t *src;
  const uint8_t *ref;
  int32_t stride;
  me_window_t win;
  me_mvcost_t mvcost;
  mv_t pred = 0;  // the fixed predictor
  mv_t best = MV_NONE;
  uint32_t best_cost = ME_COST_NONE;

  const uint8_t *at(int32_t x, int32_t y) const { return ref + static_cast<intptr_t>(y) * stride + x; }
  uint32_t bits(mv_t v) const { return mvcost.of(v, pred); }
  // A costed whole-sample candidate replaces the best when strictly cheaper.
  bool take(int32_t x, int32_t y, uint32_t d) {
    const mv_t v = mv_make(4 * x, 4 * y);
    if (d >= best_cost || v == best) return false;
    const uint32_t c = d + bits(v);
    if (c >= best_cost) return false;
    best = v;
    best_cost = c;
    return true;
  }
  int32_t bx() const { return mv_x(best) >> 2; }
  int32_t by() const { return mv_y(best) >> 2; }
  bool point(int32_t x, int32_t y) {
    if (!win.contains(x, y) || mv_make(4 * x, 4 * y) == best) return false;
    return take(x, y, one(src, 64, at(x, y), stride));
  }
  // n = 3 or 4 points around (cx, cy) in order, with one kernel call when
  // all of them lie in the window.  Returns the index of the last point
  // that became the best, or -1.
  int32_t points(int32_t cx, int32_t cy, const int8_t (*off)[2], int32_t n) {
    bool inside = true;
    for (int32_t k = 0; k < n; k++) inside = inside && win.contains(cx + off[k][0], cy + off[k][1]);
    int32_t won = -1;
    if (!inside) {
      for (int32_t k = 0; k < n; k++)
        if (point(cx + off[k][0], cy + off[k][1])) won = k;
      return won;
    }
    uint32_t d[4];
    const uint8_t *p[4];
    for (int32_t k = 0; k < n; k++) p[k] = at(cx + off[k][0], cy + off[k][1]);
    if (n == 4)
      four(src, p[0], p[1], p[2], p[3], stride, d);
    else
      three(src, p[0], p[1], p[2], stride, d);
    for (int32_t k = 0; k < n; k++)
      if (take(cx + off[k][0], cy + off[k][1], d[k])) won = k;
    return won;
  }
  // Four runs from `start` in steps of 2: leftward and rightward below
  // range_h, upward and downward below range_v, each also below the
  // distance to its window edge.
  void group(int32_t cx, int32_t cy, const int8_t (*off)[2]) { points(cx, cy, off, 4); }
  void keep(int32_t x, int32_t y, uint32_t d) { take(x, y, d); }
  uint32_t keep_bound() const { return best_cost; }
  // The runs' points in order, four to a kernel call.
  void cross(int32_t cx, int32_t cy, int32_t start, int32_t range_h, int32_t range_v, int32_t) {
    // The runs stop before the window's edges and the centre lies in it:
    // every point does.
    me_batch_t<fast_search_t> b{*this};
    for (int32_t i = start; i < range_h && i < cx - win.min_x; i += 2) b.add_inside(cx - i, cy);
    for (int32_t i = start; i < range_h && i < win.max_x - cx; i += 2) b.add_inside(cx + i, cy);
    for (int32_t i = start; i < range_v && i < cy - win.min_y; i += 2) b.add_inside(cx, cy - i);
    for (int32_t i = start; i < range_v && i < win.max_y - cy; i += 2) b.add_inside(cx, cy + i);
    b.flush();
  }
  void hexagon_walk(int32_t range) {
    if (range <= 0) return;
    uint32_t mask = 0x3f;
    for (int32_t counter = 0;; counter += 2) {
      const int32_t cx = bx(), cy = by();
      int8_t off[6][2];
      int32_t index[6], n = 0;
      for (int32_t k = 0; k < 6; k++)
        if (mask & (1u << k)) {
          off[n][0] = HEXAGON[k][0];
          off[n][1] = HEXAGON[k][1];
          index[n++] = k;
        }
      int32_t won = -1;
      for (int32_t g = 0; g < n; g += 3) {
        const int32_t w = points(cx, cy, off + g, 3);
        if (w >= 0) won = index[g + w];
      }
      if (won < 0) break;
      mask = HEX_NEW_POINTS[won];
      if (counter + 4 >= range) break;
    }
  }
  void square() {
    const int32_t cx = bx(), cy = by();
    if (points(cx, cy, ME_NEIGHBOURS, 4) < 0) return;
    points(cx, cy, ME_CORNERS, 4);
  }
  // The costed points (cx, cy) + scale * off[k] of a ring, in order.
  void keep4(const uint32_t *d, int32_t cx, int32_t cy, const int8_t (*off)[2], int32_t scale) {
    for (int32_t k = 0; k < 4; k++) take(cx + scale * off[k][0], cy + scale * off[k][1], d[k]);
  }
  void multihex_grid(int32_t range) {
    const int32_t cx = bx(), cy = by();
    const int32_t reach = std::min({cx - win.min_x, win.max_x - cx, cy - win.min_y, win.max_y - cy});
    intptr_t delta[16];
    me_ring_deltas(stride, delta);
    for (int32_t s = 1; s < range >> 2; s++) {
      if (4 * s <= reach) {
        me_ring(*this, cx, cy, s, delta);
      } else {
        me_batch_t<fast_search_t> b{*this};
        for (const auto &o : ME_MULTIHEX) b.add(cx + s * o[0], cy + s * o[1]);
        b.flush();
      }
    }
  }
};

}  // namespace

void me_search_fast(encoder_t *ctx, const me_context_t *me, me_result_t *result, me_request_t *rq, int32_t qp,
                    uint32_t cost_bound, int32_t, int32_t likely_ref) {
  result->cost = ME_COST_NONE;
  result->second_cost = ME_COST_NONE;
  const pixel_funcs_t &px = *me->pixel_funcs;
  const int32_t c = rq->size_class, level = ctx->analysis_level;
  const int32_t x = me->ctu_x + rq->x, y = me->ctu_y + rq->y;
  fast_search_t s;
  s.one = px.sad_half[c];
  s.three = px.sad_x3_half[c];
  s.four = px.sad_x4_half[c];
  s.refine = level <= 4 && c == 0 ? px.sad[0] : px.satd[c];
  s.src = me->src + rq->y * 64 + rq->x;
  s.stride = me->luma_stride;
  s.split = me_split_sad(px, rq->width, rq->height, c, s.stride);
  s.ref = me->ref_planes[rq->list][rq->ref_idx] + static_cast<intptr_t>(rq->y) * s.stride + rq->x;
  s.win = me_window(x, y, me->pic_width, me->pic_height, ctx->param.mv_range_y);
  s.mvcost = me_mvcost(ctx->tables, qp, ctx->cur_input->b_level);

  int32_t range = me->search_range, mode = me->search_mode;
  if (!likely_ref) {
    range /= 3;
    mode = 0;
  }
  if (rq->ref_idx != 0) mode = 0;

  // Start points by distortion alone.  An AMVP entry equal to the first
  // extra vector drops that vector (never below no extras).
  int32_t lx = 0, ly = 0;
  bool all_nonzero = true;
  auto start = [&](mv_t v) {
    me_round_start(v, s.win, &lx, &ly);
    all_nonzero = all_nonzero && (lx != 0 || ly != 0);
    if (mv_make(4 * lx, 4 * ly) == s.best) return;
    const uint32_t d = s.one(s.src, 64, s.at(lx, ly), s.stride);
    if (d < s.best_cost) {
      s.best = mv_make(4 * lx, 4 * ly);
      s.best_cost = d;
    }
  };
  for (int32_t i = 0; i < rq->amvp_count; i++) {
    if (rq->extra_count > 0 && rq->amvp[i] == rq->extra[0]) rq->extra_count--;
    start(rq->amvp[i]);
  }
  for (int32_t i = 0; i < rq->extra_count; i++) start(rq->extra[i]);
  if (all_nonzero && s.best != 0) {
    const uint32_t d = s.one(s.src, 64, s.at(0, 0), s.stride);
    if (d < s.best_cost) {
      s.best = 0;
      s.best_cost = d;
    }
  }
  if (s.best == MV_NONE) return;
  int16_t mvd[2];
  s.pred = rq->amvp[mvp_select_mvd(&s.best, rq->amvp, rq->amvp_count, mvd)];
  s.best_cost += s.mvcost(mvd[0]) + s.mvcost(mvd[1]);
  if (mode == 1) {
    me_multihex_stages(s, ME_STOP_SHIFT[c], range, lx, ly, s.best_cost, false);
  } else {
    s.hexagon_walk(range);
    s.square();
  }

  // Fractional stage: the integer vector's cost counts its bits twice.
  alignas(32) uint8_t buf[64 * 64];
  me_local_planes_t local;
  me_predictor_t pred;
  // From level 4 on the refinement costs the diagonals too: enough
  // candidates per horizontal fraction to share their first filter stage.
  me_predictor_init(&pred, ctx->param.subpel_planes, me, rq, ctx->param.bilinear_qpel, buf,
                    level >= 4 ? &local : nullptr);
  me_keeper_t keeper{pred.mc, &ctx->me_kept, pred.ref, rq->width, rq->height, pred.bilinear};
  me_refine_costs_t distortion{&pred, s.refine, s.src};
  mv_t cur = s.best;
  uint32_t cur_cost = distortion(cur) + 2 * s.bits(cur);
  auto finish = [&]() {
    keeper.finish(cur);
    result->cost = cur_cost;
    result->mv = cur;
    result->ref_idx = static_cast<uint8_t>(rq->ref_idx);
  };
  if (level <= 5 && cost_bound < (cur_cost >> 1)) return finish();
  if (!likely_ref && ((cur_cost * 15) >> 4) > (4096u >> (2 * c)) + cost_bound) return finish();
  if (!likely_ref && level <= 2) return finish();
  if (level <= 2) {
    // Refine only blocks textured against their cost.
    const uint64_t g = ctx->gradients.combined.node[gradient_entry(rq->x, rq->y, 6 - c)];
    const uint64_t cost = cur_cost;
    if (g < cost * 6 / 5 || g < 2u * rq->width * rq->height || (c == 0 && cost > 4000)) return finish();
  }
  const me_window_t qwin = s.win.qpel();
  // Costs a fractional candidate; returns its cost or ME_COST_NONE when it
  // was not costed.
  auto try_point = [&](mv_t centre, const int8_t *o) -> uint32_t {
    const mv_t v = mv_make(mv_x(centre) + o[0], mv_y(centre) + o[1]);
    if (v == cur || !qwin.contains(mv_x(v), mv_y(v))) return ME_COST_NONE;
    const uint32_t cost = distortion(v) + s.bits(v);
    if (cost < cur_cost) {
      cur = v;
      cur_cost = cost;
      distortion.keep(&keeper, v);
    }
    return cost;
  };
  const int32_t subpel = ctx->param.subpel_level;
  const mv_t integer = cur;
  uint32_t pair_cost[4] = {ME_COST_NONE, ME_COST_NONE, ME_COST_NONE, ME_COST_NONE};  // up, left, right, down
  if (subpel >= 1) {
    pred.expect(cur, 4, s.win);
    const int32_t passes = level <= 2 ? 1 : 1 + (level >= 4);
    for (int32_t pass = 0; pass < passes; pass++) {
      const mv_t centre = cur;
      for (int32_t k = 0; k < 4; k++) {
        const uint32_t cost = try_point(centre, ME_HALF_CROSS[k]);
        if (pass == 0) pair_cost[k] = cost;
      }
      if (cur == centre) break;
    }
    if (level >= 4) {
      const mv_t centre = cur;
      for (const auto &o : ME_HALF_X) try_point(centre, o);
    }
  }
  if (subpel == 2) {
    const mv_t centre = cur;
    pred.expect(centre, 1, s.win);
    if (level == 0 && cur == integer) {
      // Only toward the cheaper member of each half-sample pair.
      auto toward = [&](uint32_t a, uint32_t b, const int8_t *to_a, const int8_t *to_b) {
        if (a == ME_COST_NONE && b == ME_COST_NONE) return;
        try_point(centre, a <= b ? to_a : to_b);
      };
      toward(pair_cost[0], pair_cost[3], ME_QUARTER_CROSS[0], ME_QUARTER_CROSS[3]);
      toward(pair_cost[1], pair_cost[2], ME_QUARTER_CROSS[1], ME_QUARTER_CROSS[2]);
    } else {
      for (const auto &o : ME_QUARTER_CROSS) try_point(centre, o);
      if (level >= 4)
        for (const auto &o : ME_QUARTER_X) try_point(centre, o);
    }
  }
  finish();
}
