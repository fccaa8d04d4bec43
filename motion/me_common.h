// What the motion searches share: the vector window, the vector-cost look-up
// and the prediction of a fractional vector.
#pragma once

#include <algorithm>
#include <cstdint>

#include "motion/me_context.h"
#include "motion/me_kept.h"
#include "motion/me_subpel_cache.h"

struct encoder_t;

// Window of a block at absolute luma position (X, Y), whole samples,
// inclusive.  Upward and leftward a block may start up to 62 samples outside
// the picture and at most 499 samples from its position; downward and
// rightward at most 2 samples before the picture's far edge and at most
// R - 1 samples from its position, R being the downward vector limit.  The
// picture margins (96 columns, 88 rows) hold every sample that a block
// inside this window, its interpolation taps and a search step of two
// samples beyond it can read.
struct me_window_t {
  int32_t min_x, max_x, min_y, max_y;
  bool contains(int32_t x, int32_t y) const { return x >= min_x && x <= max_x && y >= min_y && y <= max_y; }
  bool contains_qpel(int32_t x, int32_t y) const {
    return x >= 4 * min_x && x <= 4 * max_x && y >= 4 * min_y && y <= 4 * max_y;
  }
  // The same window in quarter samples, for the many tests of a refinement.
  me_window_t qpel() const { return {4 * min_x, 4 * max_x, 4 * min_y, 4 * max_y}; }
};
me_window_t me_window(int32_t x, int32_t y, int32_t pic_width, int32_t pic_height, int32_t range);

// Vector-component costs of one QP and picture class, indexed by the signed
// quarter-sample difference; differences beyond the table cost as its end.
struct me_mvcost_t {
  const uint16_t *centre;
  int32_t limit;
  uint32_t operator()(int32_t d) const { return centre[std::clamp(d, -limit, limit)]; }
  uint32_t of(mv_t v, mv_t p) const { return (*this)(mv_x(v) - mv_x(p)) + (*this)(mv_y(v) - mv_y(p)); }
};
struct analysis_tables_t;
me_mvcost_t me_mvcost(const analysis_tables_t *tables, int32_t qp, int32_t slot);

// Search patterns, offsets in whole samples (integer stages) or quarter
// samples (refinement), in the order they are costed.
inline constexpr int8_t ME_NEIGHBOURS[4][2] = {{0, -1}, {0, 1}, {-1, 0}, {1, 0}};
inline constexpr int8_t ME_CORNERS[4][2] = {{-1, -1}, {-1, 1}, {1, -1}, {1, 1}};
inline constexpr int8_t ME_STEP2_CROSS[4][2] = {{-2, 0}, {2, 0}, {0, -2}, {0, 2}};
inline constexpr int8_t ME_STEP1_X[4][2] = {{-1, -1}, {1, -1}, {-1, 1}, {1, 1}};
inline constexpr int8_t ME_KNIGHTS_UP[4][2] = {{-1, -2}, {1, -2}, {-2, -1}, {2, -1}};
inline constexpr int8_t ME_KNIGHTS_DOWN[4][2] = {{-1, 2}, {1, 2}, {-2, 1}, {2, 1}};
inline constexpr int8_t ME_STEP2_X[4][2] = {{-2, -2}, {2, -2}, {-2, 2}, {2, 2}};
// The 16 points of one multi-hexagon ring, scaled by the ring number.
inline constexpr int8_t ME_MULTIHEX[16][2] = {{0, -4}, {0, 4},  {-2, -3}, {2, -3}, {-4, -2}, {4, -2},
                                             {-4, -1}, {4, -1}, {-4, 0},  {4, 0},  {-4, 1},  {4, 1},
                                             {-4, 2},  {4, 2},  {-2, 3},  {2, 3}};
// Shifts of the early-stop thresholds of the multi-hexagon search by size
// class, square blocks then rectangular ones.
inline constexpr int32_t ME_STOP_SHIFT[8] = {0, 2, 4, 6, 1, 3, 5, 0};
inline constexpr int8_t ME_HALF_CROSS[4][2] = {{0, -2}, {-2, 0}, {2, 0}, {0, 2}};
inline constexpr int8_t ME_HALF_X[4][2] = {{-2, -2}, {2, -2}, {-2, 2}, {2, 2}};
inline constexpr int8_t ME_QUARTER_CROSS[4][2] = {{0, -1}, {-1, 0}, {1, 0}, {0, 1}};
inline constexpr int8_t ME_QUARTER_X[4][2] = {{-1, -1}, {1, -1}, {-1, 1}, {1, 1}};

// The quarter-sample vector clamped to the window, then rounded to whole
// samples (returned in whole samples).
inline void me_round_start(mv_t v, const me_window_t &w, int32_t *x, int32_t *y) {
  *x = (std::clamp<int32_t>(mv_x(v), 4 * w.min_x, 4 * w.max_x) + 2) >> 2;
  *y = (std::clamp<int32_t>(mv_y(v), 4 * w.min_y, 4 * w.max_y) + 2) >> 2;
}

// Raw horizontal sums (the first filter stage) of the three fractions over
// a small region of the reference around the vectors a refinement is about
// to cost, so that its candidates of one horizontal fraction share one
// first stage instead of filtering it again each.  The second stage over
// these sums gives exactly the bytes of the direct interpolation.
// The half-sample stage's vertical half phases are kept as pixels too:
// every candidate of such a phase is then a pointer, not a second stage.
struct me_local_planes_t {
  // Up to 64 + 3 columns, and 64 + 3 + 7 rows (the vertical taps).
  static constexpr int32_t STRIDE = 72, ROWS = 76;
  alignas(32) int16_t sum[3][ROWS * STRIDE];
  // Phases (0, 2) and (2, 2): up to 64 + 2 columns and 64 + 2 rows.
  static constexpr int32_t PIX_STRIDE = 80, PIX_ROWS = 68;
  alignas(32) uint8_t pix[2][PIX_ROWS * PIX_STRIDE];
};

// Prediction of the block for a quarter-sample vector: a pointer into the
// phase planes when the picture has them, else a pointer into the reference
// for whole-sample vectors and an interpolation into buf (stride 64)
// otherwise, from the local sums when they cover the vector.
struct me_predictor_t {
  const mc_funcs_t *mc;
  const uint8_t *ref;             // reference at the block
  const uint8_t *planes[16];      // phase planes at the block, when use_planes
  int32_t stride;
  int32_t width, height;
  int32_t use_planes;  // the reference's planes_valid, 0 without planes
  int32_t bilinear;
  uint8_t *buf;
  me_local_planes_t *local;  // nullptr: every candidate filtered directly
  me_subpel_slot_t *cache;   // the CTU's phases of this reference, or nullptr
  int32_t x, y;              // the block relative to the CTU origin
  // Whether the last prediction stays as it is for the rest of the CTU (it
  // came from the cache), not only until the next one.
  bool lasting = false;
  // Per horizontal fraction 1..3: the whole-sample offsets [x0, x1] x
  // [y0, y1] of the vectors the next candidates may have (want), and of
  // those its sums were built for (have; empty until built); the same for
  // the pixels of phases (0, 2) and (2, 2).
  struct region_t {
    int32_t x0, x1, y0, y1;
    bool holds(int32_t x, int32_t y) const { return x >= x0 && x <= x1 && y >= y0 && y <= y1; }
  } want[3], have[3], want_pix[2], have_pix[2];
  const uint8_t *predict(int32_t mvx, int32_t mvy, int32_t *out_stride) {
    // Most candidates come from the CTU's phase cache: no call for them.
    if (cache && use_planes == 0 && ((mvx | mvy) & 3) != 0) {
      const int32_t phase = ((mvy & 3) << 2) | (mvx & 3);
      if (const uint8_t *p = cache->block(mc, x + (mvx >> 2), y + (mvy >> 2), width, height, phase)) {
        *out_stride = me_subpel_slot_t::SPAN;
        lasting = true;
        return p;
      }
    }
    lasting = false;
    return predict_filtered(mvx, mvy, out_stride);
  }
  // The prediction by the planes, the local sums or the direct filter.
  const uint8_t *predict_filtered(int32_t mvx, int32_t mvy, int32_t *out_stride);
  // The pixels of phase (2k, 2) at whole-sample offset (x, y), built on
  // first use; nullptr when the expected region does not hold them.
  const uint8_t *half_pixels(int32_t k, int32_t x, int32_t y);
  // The sums of fraction f built for the expected region if they do not
  // hold (x, y) yet; whether they hold it then.
  bool sums_for(int32_t f, int32_t x, int32_t y);
  // The next candidates lie within `reach` quarter samples of `centre` on
  // each axis and inside the window: sums built from now on cover exactly
  // those.  Sums built before stay in use for the vectors they cover.
  void expect(mv_t centre, int32_t reach, const me_window_t &win);
};
// Distortions a refinement has costed, by vector: its passes come back to
// vectors they have costed (the old centre of the second half-sample pass,
// the diagonal points beside the cross's, the second vector's neighbours
// among the first's), and a distortion depends on the vector alone.  A
// direct-mapped table on the low three bits of each component: the
// candidates of one refinement lie within a few quarter samples of each
// other, and a vector that meets another's entry replaces it.
struct me_costed_t {
  static constexpr int32_t SIZE = 64;
  mv_t v[SIZE];
  uint32_t d[SIZE];
  me_costed_t() {
    for (int32_t i = 0; i < SIZE; i++) {
      v[i] = MV_NONE;
      d[i] = 0;
    }
  }
  static int32_t slot(mv_t x) { return static_cast<int32_t>((x & 7) | ((x >> 13) & 0x38)); }
  bool find(mv_t x, uint32_t *out) const {
    const int32_t i = slot(x);
    if (v[i] != x) return false;
    *out = d[i];
    return true;
  }
  void add(mv_t x, uint32_t dist) {
    const int32_t i = slot(x);
    v[i] = x;
    d[i] = dist;
  }
};

// One refinement's costing of candidate vectors: a vector costed before
// comes from the table (its prediction is then not at hand), any other is
// predicted and costed.  The last prediction made stays at hand, so that
// keeping the final vector's prediction predicts it again only when its
// distortion came from the table.  With the CTU's unit costs (share_units)
// the cost is the sum of the units' (or follows from the 8x8 blocks of the
// one unit the block lies in), and a vector whose units or blocks were all
// costed before, by this search or another, needs no prediction.
struct me_refine_costs_t {
  me_predictor_t *pred;
  pixel_cost_fn cost;
  const uint8_t *src;  // stride 64
  me_costed_t costed{};
  const uint8_t *last = nullptr;
  int32_t last_stride = 0;
  me_subpel_slot_t *units = nullptr;  // the slot whose unit costs serve, or nullptr
  sa8d_blocks_fn unit_blocks = nullptr;
  int32_t ux = 0, uy = 0, uw = 0, uh = 0;  // the block in 16x16 units, relative to the CTU
  // A block inside one unit (16x8, 8x16 or 8x8): its 8x8 blocks in the
  // unit (part_mask, a bit per block; part_first the first one), their
  // kernel and how its SA8D rounds them; part_mask 0 for whole units.
  enum part_t : int32_t { PART_WIDE, PART_TALL, PART_QUARTER };
  uint32_t part_mask = 0;
  int32_t part_first = 0;
  part_t part = PART_QUARTER;
  sa8d_blocks_fn part_blocks = nullptr;
  uint32_t operator()(mv_t v) {
    uint32_t d;
    if (costed.find(v, &d)) {
      last = nullptr;
      return d;
    }
    if (units) {
      d = part_mask ? part_cost(v) : unit_sum(v);
    } else {
      last = pred->predict(mv_x(v), mv_y(v), &last_stride);
      d = cost(src, 64, last, last_stride);
    }
    costed.add(v, d);
    return d;
  }
  uint32_t unit_sum(mv_t v);
  // A block inside one unit: most candidates find their blocks' sums in the
  // unit's entry, so that path stays inline; the others are costed by
  // part_fill.
  uint32_t part_cost(mv_t v) {
    me_unit_costs_t::entry_t &e = units->unit(ux, uy, v);
    if ((e.known & part_mask) != part_mask) return part_fill(e, v);
    last = nullptr;
    return part_sa8d(e.raw + part_first);
  }
  uint32_t part_fill(me_unit_costs_t::entry_t &e, mv_t v);
  // The rounding of each shape's SA8D from its blocks' sums (raw at its
  // first block, rows of two): the wide half once over both blocks, the
  // tall half per block.
  uint32_t part_sa8d(const uint32_t *raw) const {
    switch (part) {
      case PART_WIDE:
        return (raw[0] + raw[1] + 2) >> 2;
      case PART_TALL:
        return ((raw[0] + 2) >> 2) + ((raw[2] + 2) >> 2);
      default:
        return (raw[0] + 2) >> 2;
    }
  }
  // Takes the costs of the CTU's 16x16 units of the predictor's reference
  // when `cost` is the SA8D of the request's shape and the block is made of
  // whole units or of whole 8x8 blocks of one unit; otherwise every vector
  // is costed by `cost`.
  void share_units(const pixel_funcs_t &px, const me_request_t *rq);
  // v was the last vector costed.
  void keep(me_keeper_t *keeper, mv_t v) {
    if (!last) last = pred->predict(mv_x(v), mv_y(v), &last_stride);
    keeper->take(v, last, last_stride, pred->lasting);
  }
};

// subpel_planes: the setting that lets the predictor read the reference's
// precomputed quarter-sample planes; local: scratch for the shared first
// stage, or nullptr.
void me_predictor_init(me_predictor_t *p, int32_t subpel_planes, const me_context_t *me, const me_request_t *rq,
                       int32_t bilinear, uint8_t *buf, me_local_planes_t *local = nullptr);

// The row-subsampled SAD of four whole-sample candidates taken as the top
// and the bottom half of the block, each by the kernel of the half's shape
// (every block from 8x8, 16x8 and 8x16 on; 8x4 and 4x8 have no half
// shape worth a kernel call): the halves add up to the whole
// block's distortion exactly, and a group none of whose top halves is below
// the bound a kept candidate must get under is done after the top.  Most
// groups of the long cross and of the rings end there.
struct me_split_sad_t {
  sad_x4_fn whole = nullptr, half = nullptr;  // half: nullptr to cost whole blocks
  intptr_t src_rest = 0, ref_rest = 0;        // where the bottom half starts
  // The four distortions into d and true when one of them may be kept (is
  // below `bound`); false, d partly filled, when none can.  Groups of fewer
  // candidates repeat one of them in the other places.
  bool operator()(const uint8_t *src, const uint8_t *const p[4], int32_t stride, uint32_t bound,
                  uint32_t d[4]) const {
    if (!half) {
      whole(src, p[0], p[1], p[2], p[3], stride, d);
      return low4(d) < bound;
    }
    half(src, p[0], p[1], p[2], p[3], stride, d);
    if (low4(d) >= bound) return false;
    uint32_t rest[4];
    half(src + src_rest, p[0] + ref_rest, p[1] + ref_rest, p[2] + ref_rest, p[3] + ref_rest, stride, rest);
    for (int32_t k = 0; k < 4; k++) d[k] += rest[k];
    return true;
  }
  static uint32_t low4(const uint32_t *d) { return std::min(std::min(d[0], d[1]), std::min(d[2], d[3])); }
};
// The costing of the four candidates of a width x height block of size
// class c (square, wide or tall as its sides say) at the reference stride.
me_split_sad_t me_split_sad(const pixel_funcs_t &px, int32_t width, int32_t height, int32_t c, int32_t stride);

// Whole-sample candidates costed in the order they are added, as S::point
// would cost them one by one, their distortions taken four at a time by one
// split costing: a distortion does not depend on the candidates before it,
// only whether it is kept does (S::keep).  S provides win, at, split, src,
// stride, point, keep and keep_bound (no distortion at or above it is kept).
template <typename S>
struct me_batch_t {
  S &s;
  int32_t x[4] = {}, y[4] = {}, n = 0;
  void add(int32_t px, int32_t py) {
    if (s.win.contains(px, py)) add_inside(px, py);
  }
  // A point the caller knows to lie in the window.
  void add_inside(int32_t px, int32_t py) {
    x[n] = px;
    y[n] = py;
    if (++n == 4) flush();
  }
  void flush() {
    if (n == 1) s.point(x[0], y[0]);
    if (n > 1) {
      const uint8_t *p[4];
      for (int32_t k = 0; k < 4; k++) p[k] = s.at(x[std::min(k, n - 1)], y[std::min(k, n - 1)]);
      uint32_t d[4];
      // A candidate is kept only below S's bound, which only a kept one
      // lowers: a batch with none below it keeps nothing.
      if (s.split(s.src, p, s.stride, s.keep_bound(), d))
        for (int32_t k = 0; k < n; k++) s.keep(x[k], y[k], d[k]);
    }
    n = 0;
  }
};

// Ring `scale` of the multi-hexagon around (cx, cy), all of it inside the
// window: the ring's points in order, four to a costing (S::split), the
// distortions of each group that may keep one handed to S::keep4 (d, cx,
// cy, the group's ME_MULTIHEX rows, scale).  delta[k] is the sample offset
// of point k at scale 1 (me_ring_deltas).
inline void me_ring_deltas(int32_t stride, intptr_t delta[16]) {
  for (int32_t k = 0; k < 16; k++) delta[k] = static_cast<intptr_t>(ME_MULTIHEX[k][1]) * stride + ME_MULTIHEX[k][0];
}
template <typename S>
void me_ring(S &s, int32_t cx, int32_t cy, int32_t scale, const intptr_t *delta) {
  const uint8_t *c = s.at(cx, cy);
  for (int32_t g = 0; g < 16; g += 4) {
    const intptr_t *dg = delta + g;
    const uint8_t *p[4] = {c + scale * dg[0], c + scale * dg[1], c + scale * dg[2], c + scale * dg[3]};
    uint32_t d[4];
    if (s.split(s.src, p, s.stride, s.keep_bound(), d)) s.keep4(d, cx, cy, ME_MULTIHEX + g, scale);
  }
}

// The integer stages of the multi-hexagon mode, after the start points, in
// both searches.  S provides group (four points around a centre), cross,
// multihex_grid, hexagon_walk, square, best, best_cost, bx and by.  The
// search returns early, straight to its refinement, when the start is good
// enough (the 9000 threshold) or the inner cross found nothing new; a bad
// start (the 36000 threshold) goes straight to the long cross.
template <typename S>
void me_multihex_stages(S &s, int32_t shift, int32_t range, int32_t lx, int32_t ly, uint32_t cost1,
                        bool hexagon_only) {
  if (lx != 0 || ly != 0) s.group(0, 0, ME_NEIGHBOURS);
  s.group(lx, ly, ME_NEIGHBOURS);
  if (hexagon_only) {
    s.hexagon_walk(range);
    s.square();
    return;
  }
  const uint32_t cost2 = s.best_cost;
  int32_t cross_start = 0;
  if (s.best != 0 && s.best != mv_make(4 * lx, 4 * ly)) {
    s.group(s.bx(), s.by(), ME_NEIGHBOURS);
    if (s.best_cost != cost2) cross_start = 1;
  }
  if (cross_start == 0) {
    if (s.best_cost >= (36000u >> shift)) {
      cross_start = 3;
    } else {
      const int32_t cx = s.bx(), cy = s.by();
      s.group(cx, cy, ME_STEP2_CROSS);
      s.group(cx, cy, ME_STEP1_X);
      if (s.best_cost == cost1 && s.best_cost < (9000u >> shift)) return;
      if (s.best_cost != cost2) {
        cross_start = 3;
      } else {
        const int32_t r = (range >> 1) | 1;
        const int32_t ix = s.bx(), iy = s.by();
        s.cross(ix, iy, 3, r, r, r);
        s.group(ix, iy, ME_KNIGHTS_UP);
        s.group(ix, iy, ME_KNIGHTS_DOWN);
        if (s.best_cost == cost2) return;
        cross_start = r;
      }
    }
  }
  const int32_t cx = s.bx(), cy = s.by();
  s.cross(cx, cy, cross_start, range, range >> 1, range);
  s.group(cx, cy, ME_STEP2_X);
  s.multihex_grid(range);
  s.hexagon_walk(range);
  s.square();
}
