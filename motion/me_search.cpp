// Motion search of one prediction unit against one reference: start points,
// a multi-hexagon or hexagon integer search costed by row-subsampled SAD
// plus vector bits, keeping the best and second-best vectors, then half- and
// quarter-sample refinement of both by a transform-based cost.
#include <algorithm>

#include "encoder/encoder.h"
#include "motion/me_common.h"
#include "motion/mvp.h"

namespace {

constexpr int8_t HEX_LOWER[4][2] = {{-2, 0}, {-1, 2}, {1, 2}, {2, 0}};

struct full_search_t {
  pixel_cost_fn one, refine;
  sad_x4_fn four;
  me_split_sad_t split;  // the long cross and the rings
  const uint8_t *src;  // stride 64
  const uint8_t *ref;  // at the block
  int32_t stride;
  me_window_t win;
  me_mvcost_t mvcost;
  const mv_t *amvp;
  int32_t amvp_count;
  mv_t best = MV_NONE, second = MV_NONE;
  uint32_t best_cost = ME_COST_NONE, second_cost = ME_COST_NONE;

  uint32_t bits(mv_t v) const {
    int16_t mvd[2];
    mvp_select_mvd(&v, amvp, amvp_count, mvd);
    return mvcost(mvd[0]) + mvcost(mvd[1]);
  }
  void update(uint32_t c, mv_t v) {
    if (c < best_cost) {
      second = best;
      second_cost = best_cost;
      best = v;
      best_cost = c;
    } else if (c < second_cost) {
      second = v;
      second_cost = c;
    }
  }
  int32_t bx() const { return mv_x(best) >> 2; }
  int32_t by() const { return mv_y(best) >> 2; }
  // One candidate in whole samples; repeats of the two best are not costed
  // again, and bits are looked up only for a distortion that can still win.
  void one_point(int32_t x, int32_t y) {
    const mv_t v = mv_make(4 * x, 4 * y);
    if (v == best || v == second || !win.contains(x, y)) return;
    const uint32_t d = one(src, 64, ref + static_cast<intptr_t>(y) * stride + x, stride);
    if (d < second_cost) update(d + bits(v), v);
  }
  // Four candidates around (cx, cy) with one kernel call.  The centre lies
  // in the window and the offsets are small (or the caller checked the
  // reach), so the reads stay in the margins.
  void group(int32_t cx, int32_t cy, const int8_t (*off)[2]) {
    const uint8_t *p[4];
    for (int32_t k = 0; k < 4; k++) p[k] = ref + static_cast<intptr_t>(cy + off[k][1]) * stride + cx + off[k][0];
    uint32_t d[4];
    four(src, p[0], p[1], p[2], p[3], stride, d);
    keep4(d, cx, cy, off, 1);
  }
  // The distortions d of the candidates (cx, cy) + scale * off[k], kept in
  // order.  Only a distortion below the runner-up's cost can change
  // anything, and that cost only falls when one does: most groups end at
  // the first test.
  void keep4(const uint32_t *d, int32_t cx, int32_t cy, const int8_t (*off)[2], int32_t scale) {
    if (std::min(std::min(d[0], d[1]), std::min(d[2], d[3])) >= second_cost) return;
    for (int32_t k = 0; k < 4; k++) {
      const int32_t x = cx + scale * off[k][0], y = cy + scale * off[k][1];
      const mv_t v = mv_make(4 * x, 4 * y);
      if (d[k] < second_cost && win.contains(x, y) && v != best) update(d[k] + bits(v), v);
    }
  }
  // A costed candidate, as one_point keeps it.
  void keep(int32_t x, int32_t y, uint32_t d) {
    if (d >= second_cost) return;
    const mv_t v = mv_make(4 * x, 4 * y);
    if (v != best && v != second) update(d + bits(v), v);
  }
  uint32_t keep_bound() const { return second_cost; }
  void point(int32_t x, int32_t y) { one_point(x, y); }
  const uint8_t *at(int32_t x, int32_t y) const { return ref + static_cast<intptr_t>(y) * stride + x; }
  // A cross of one-candidate tests from `start` in steps of 2: horizontally
  // below range_h, then vertically below range_v (both at most `reach`).
  // When the bound `reach` stays inside the window every point is tried,
  // otherwise only the points strictly inside it; either way every point
  // tried lies in the window.
  void cross(int32_t cx, int32_t cy, int32_t start, int32_t range_h, int32_t range_v, int32_t reach) {
    const bool free_h = reach < std::min(cx - win.min_x, win.max_x - cx);
    const bool free_v = reach < std::min(cy - win.min_y, win.max_y - cy);
    if (free_h && free_v) return free_cross(cx, cy, start, range_h, range_v);
    // The number of points of a run: distances start, start + 2, ... below
    // its range and below the room up to its window edge (the range never
    // passes that room where the run is free).
    auto points = [&](int32_t room, int32_t range) {
      const int32_t end = std::min(range, room);
      return end > start ? (end - start + 1) >> 1 : 0;
    };
    cross_line(cx, cy, start, points(cx - win.min_x, range_h), points(win.max_x - cx, range_h), 1);
    cross_line(cx, cy, start, points(cy - win.min_y, range_v), points(win.max_y - cy, range_v), stride);
  }
  // One line of the cross (step 1 horizontal, stride vertical): n_neg and
  // n_pos points before and after the centre, tried in the cross's order,
  // each distance's point before the centre first.  Distortions do not
  // depend on how the points are grouped into kernel calls, only on the
  // order in which they are kept: while both sides have points they go two
  // distances to a call, then the rest four to a call.
  void cross_line(int32_t cx, int32_t cy, int32_t start, int32_t n_neg, int32_t n_pos, intptr_t step) {
    const uint8_t *c = at(cx, cy);
    auto keep_at = [&](int32_t i, uint32_t d) {
      if (step == 1)
        keep(cx + i, cy, d);
      else
        keep(cx, cy + i, d);
    };
    const int32_t both = std::min(n_neg, n_pos);
    int32_t k = 0;
    for (; k + 1 < both; k += 2) {
      const int32_t i0 = start + 2 * k, i1 = i0 + 2;
      const intptr_t o0 = i0 * step, o1 = i1 * step;
      const uint8_t *p[4] = {c - o0, c + o0, c - o1, c + o1};
      uint32_t d[4];
      if (!split(src, p, stride, second_cost, d)) continue;
      keep_at(-i0, d[0]);
      keep_at(i0, d[1]);
      keep_at(-i1, d[2]);
      keep_at(i1, d[3]);
    }
    int32_t pending[4], n = 0;
    auto flush = [&]() {
      if (n == 1) point(step == 1 ? cx + pending[0] : cx, step == 1 ? cy : cy + pending[0]);
      if (n > 1) {
        const uint8_t *p[4];
        for (int32_t j = 0; j < 4; j++) p[j] = c + pending[std::min(j, n - 1)] * step;
        uint32_t d[4];
        if (split(src, p, stride, second_cost, d))
          for (int32_t j = 0; j < n; j++) keep_at(pending[j], d[j]);
      }
      n = 0;
    };
    auto add = [&](int32_t i) {
      pending[n++] = i;
      if (n == 4) flush();
    };
    if (k < both) {
      add(-(start + 2 * k));
      add(start + 2 * k);
      k++;
    }
    const int32_t sign = n_neg > n_pos ? -1 : 1, last = std::max(n_neg, n_pos);
    for (; k < last; k++) add(sign * (start + 2 * k));
    flush();
  }
  // The cross with every point inside the window: its points come in pairs
  // (left and right of the centre, then above and below), and the batches
  // of four in which me_batch_t costs them are two consecutive pairs (the
  // last batch holds one pair when their number is odd).
  void free_cross(int32_t cx, int32_t cy, int32_t start, int32_t range_h, int32_t range_v) {
    const int32_t pairs_h = std::max(0, (range_h - start + 1) >> 1), pairs_v = std::max(0, (range_v - start + 1) >> 1);
    const int32_t pairs = pairs_h + pairs_v;
    const uint8_t *c = at(cx, cy);
    // Pair j: its distance from the centre and the sample step along it.
    auto pair = [&](int32_t j, intptr_t *step) {
      *step = j < pairs_h ? 1 : stride;
      return start + 2 * (j < pairs_h ? j : j - pairs_h);
    };
    auto keep_pair = [&](int32_t j, const uint32_t *d) {
      intptr_t step;
      const int32_t i = pair(j, &step);
      if (step == 1) {
        keep(cx - i, cy, d[0]);
        keep(cx + i, cy, d[1]);
      } else {
        keep(cx, cy - i, d[0]);
        keep(cx, cy + i, d[1]);
      }
    };
    for (int32_t j = 0; j < pairs; j += 2) {
      intptr_t s0, s1 = 0;
      const intptr_t o0 = pair(j, &s0) * s0;
      const bool both = j + 1 < pairs;
      const intptr_t o1 = both ? pair(j + 1, &s1) * s1 : o0;
      const uint8_t *p[4] = {c - o0, c + o0, c - o1, c + o1};
      uint32_t d[4];
      if (!split(src, p, stride, second_cost, d)) continue;
      keep_pair(j, d);
      if (both) keep_pair(j + 1, d + 2);
    }
  }
  void hexagon_walk(int32_t range) {
    for (int32_t k = 0; k < range; k += 2) {
      const mv_t centre = best;
      const int32_t cx = bx(), cy = by();
      group(cx, cy, HEX_LOWER);
      one_point(cx + 1, cy - 2);
      one_point(cx - 1, cy - 2);
      if (best == centre) break;
    }
  }
  void square() {
    const int32_t cx = bx(), cy = by();
    group(cx, cy, ME_NEIGHBOURS);
    group(cx, cy, ME_CORNERS);
  }
  void multihex_grid(int32_t range) {
    intptr_t delta[16];
    me_ring_deltas(stride, delta);
    const int32_t cx = bx(), cy = by();
    const int32_t reach = std::min({cx - win.min_x, win.max_x - cx, cy - win.min_y, win.max_y - cy});
    for (int32_t s = 1; s < range >> 2; s++) {
      if (4 * s <= reach) {
        me_ring(*this, cx, cy, s, delta);
      } else {
        me_batch_t<full_search_t> b{*this};
        for (const auto &o : ME_MULTIHEX) b.add(cx + s * o[0], cy + s * o[1]);
        b.flush();
      }
    }
  }
};

// Integer search; leaves the best two vectors in s.
void integer_search(full_search_t &s, const me_request_t *rq, int32_t range, int32_t mode) {
  int32_t lx = 0, ly = 0;
  auto start = [&](mv_t v) {
    me_round_start(v, s.win, &lx, &ly);
    s.one_point(lx, ly);
  };
  for (int32_t i = 0; i < rq->amvp_count; i++) start(rq->amvp[i]);
  for (int32_t i = 0; i < rq->extra_count; i++) start(rq->extra[i]);
  if (lx != 0 || ly != 0) s.one_point(0, 0);
  const uint32_t cost1 = s.best_cost;
  if (mode == 0) {
    s.hexagon_walk(range);
    s.square();
    return;
  }
  const int32_t shift = ME_STOP_SHIFT[rq->size_class + 4 * (rq->width != rq->height)];
  me_multihex_stages(s, shift, range, lx, ly, cost1, rq->width == 4 && rq->height == 4);
}

}  // namespace

void me_search(encoder_t *ctx, const me_context_t *me, me_result_t *result, const me_request_t *rq, int32_t qp,
               uint32_t cost_bound, int32_t, int32_t likely_ref) {
  result->cost = ME_COST_NONE;
  result->second_cost = ME_COST_NONE;
  const int32_t x = me->ctu_x + rq->x, y = me->ctu_y + rq->y;
  if (x + rq->width > me->pic_width || y + rq->height > me->pic_height) return;
  const pixel_funcs_t &px = *me->pixel_funcs;
  const int32_t c = rq->size_class, level = ctx->analysis_level;
  full_search_t s;
  if (rq->width == rq->height) {
    s.one = px.sad_half[c];
    s.four = px.sad_x4_half[c];
    s.refine = level < 3 ? px.satd[c] : px.block_cost[c];
  } else if (rq->width > rq->height) {
    s.one = px.sad_half_wide[c];
    s.four = px.sad_x4_half_wide[c];
    s.refine = px.sa8d_wide[c];
  } else {
    s.one = px.sad_half_tall[c];
    s.four = px.sad_x4_half_tall[c];
    s.refine = px.sa8d_tall[c];
  }
  s.src = me->src + rq->y * 64 + rq->x;
  s.stride = me->luma_stride;
  s.split = me_split_sad(px, rq->width, rq->height, c, s.stride);
  s.ref = me->ref_planes[rq->list][rq->ref_idx] + static_cast<intptr_t>(rq->y) * s.stride + rq->x;
  s.win = me_window(x, y, me->pic_width, me->pic_height, ctx->param.mv_range_y);
  s.mvcost = me_mvcost(ctx->tables, qp, ctx->cur_input->b_level);
  s.amvp = rq->amvp;
  s.amvp_count = rq->amvp_count;

  int32_t range = me->search_range, mode = me->search_mode;
  if (!likely_ref) {
    range /= 3;
    mode = 0;
  }
  if (rq->ref_idx != 0) mode = 0;
  integer_search(s, rq, range, mode);
  if (s.best == MV_NONE) return;

  // Fractional refinement of the best vector and, when it is close, the
  // second-best.
  alignas(32) uint8_t buf[64 * 64];
  me_local_planes_t local;
  me_predictor_t pred;
  // From level 4 on the refinement costs the diagonals too: enough
  // candidates per horizontal fraction to share their first filter stage.
  me_predictor_init(&pred, ctx->param.subpel_planes, me, rq, 0, buf, level >= 4 ? &local : nullptr);
  me_keeper_t keeper{pred.mc, &ctx->me_kept, pred.ref, rq->width, rq->height, pred.bilinear};
  me_refine_costs_t distortion{&pred, s.refine, s.src};
  distortion.share_units(px, rq);
  struct vector_t {
    mv_t v;
    uint32_t cost;
  } vec[2] = {{s.best, distortion(s.best) + s.bits(s.best)}, {MV_NONE, ME_COST_NONE}};
  int32_t count = 1;
  if (s.second_cost < ME_COST_NONE) {
    vec[1] = {s.second, distortion(s.second) + s.bits(s.second)};
    count = 2;
    if (vec[1].cost < vec[0].cost) std::swap(vec[0], vec[1]);
    if (!(level >= 5 && vec[1].cost <= ((vec[0].cost * 3) >> 1) && rq->ref_idx == 0)) count = 1;
  }
  vector_t out = vec[0];
  const int32_t subpel = ctx->param.subpel_level;
  const me_window_t qwin = s.win.qpel();
  for (int32_t i = 0; i < count; i++) {
    const uint32_t running = i == 0 ? vec[0].cost : ME_COST_NONE;
    if (rq->width != rq->height && ((running * 7) >> 3) > cost_bound) break;
    if (level <= 5 && cost_bound < (running >> 1)) break;
    if (!likely_ref && ((running * 15) >> 4) > (4096u >> (2 * c)) + cost_bound) break;
    vector_t cur{vec[i].v, running};
    auto try_point = [&](mv_t centre, const int8_t *o) {
      const mv_t v = mv_make(mv_x(centre) + o[0], mv_y(centre) + o[1]);
      if (v == cur.v || !qwin.contains(mv_x(v), mv_y(v))) return;
      const uint32_t d = distortion(v);
      if (d >= cur.cost) return;
      const uint32_t cost = d + s.bits(v);
      if (cost < cur.cost) {
        cur = {v, cost};
        distortion.keep(&keeper, v);
      }
    };
    if (subpel >= 1) {
      pred.expect(cur.v, 4, s.win);
      for (int32_t pass = 0; pass < 1 + (level >= 4); pass++) {
        const mv_t centre = cur.v;
        for (const auto &o : ME_HALF_CROSS) try_point(centre, o);
        if (cur.v == centre) break;
      }
      if (level >= 4) {
        const mv_t centre = cur.v;
        for (const auto &o : ME_HALF_X) try_point(centre, o);
      }
    }
    if (subpel == 2) {
      const mv_t centre = cur.v;
      pred.expect(centre, 1, s.win);
      for (const auto &o : ME_QUARTER_CROSS) try_point(centre, o);
      if (level >= 4)
        for (const auto &o : ME_QUARTER_X) try_point(centre, o);
    }
    if (cur.cost < out.cost) out = cur;
    // Each refined vector keeps its own slot: either may be the result.
    keeper.finish(cur.v);
  }
  result->cost = out.cost;
  result->mv = out.v;
  result->ref_idx = static_cast<uint8_t>(rq->ref_idx);
}
