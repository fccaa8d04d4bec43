#include "ratecontrol/cutree.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "encoder/encoder.h"
#include "encoder/sched_trace.h"
#include "ratecontrol/lookahead.h"
#include "ratecontrol/lowres_cost.h"
#include "tarnhevcenc.h"

namespace {

constexpr uint32_t PROPAGATE_MAX = 0xffffff;

struct log2_tables_t {
  float base[128], slope[128];
  log2_tables_t() {
    for (int32_t i = 0; i < 128; i++) {
      const double lo = std::log2((128.0 + i) / 128.0), hi = std::log2((129.0 + i) / 128.0);
      base[i] = static_cast<float>(lo);
      slope[i] = static_cast<float>((hi - lo) / 16777216.0);
    }
  }
};
const log2_tables_t LOG2_TABLES;

bool is_b(const frame_t *f) {
  return f->frame_type_code == TARNHEVCENC_TYPE_B || f->frame_type_code == TARNHEVCENC_TYPE_BREF;
}

void clear_propagate(frame_t *f) {
  std::memset(f->la->propagate, 0, sizeof(uint32_t) * static_cast<size_t>(f->la->layout.block_count));
}

void add_saturating(uint32_t *t, int64_t v) { *t = static_cast<uint32_t>(std::min<int64_t>(*t + v, PROPAGATE_MAX)); }

// The CU-tree walk runs twice: first it only lists the estimates it asks
// for, which are then made together (lookahead_frame_costs keeps the
// results of making them one by one in that order), then it propagates
// with every estimate at hand.  The propagation reads the estimates alone
// and the estimates never read the propagated amounts.
struct walk_t {
  encoder_t *ctx;
  frame_t *const *f;
  bool listing;
  int32_t count;
  lookahead_request_t requests[256];

  void estimate(int32_t p0, int32_t p1, int32_t b) {
    if (!listing) {
      lookahead_frame_cost(ctx, f, p0, p1, b);
    } else if (count < static_cast<int32_t>(sizeof(requests) / sizeof(requests[0]))) {
      // Past the end of the list the second walk makes them one by one.
      requests[count++] = lookahead_request_t{p0, p1, b};
    }
  }
  void clear(int32_t i) {
    if (!listing) clear_propagate(f[i]);
  }
  void propagate(int32_t p0, int32_t p1, int32_t b, int32_t referenced) {
    if (!listing) cutree_propagate(ctx, f, p0, p1, b, referenced);
  }
};

// The estimates and propagation of the B pictures between two anchors: the
// plain B pictures first (latest first), then the reference B pictures from
// the lowest pyramid level up, so each passes on what it received.
void propagate_between(walk_t &w, int32_t p0, int32_t p1) {
  const b_pyramid_t py = b_pyramid(w.ctx->param.hierarchy, p0, p1);
  if (py.levels >= 1) {
    w.estimate(p0, p1, py.m);
    w.clear(py.m);
  }
  if (py.levels == 2) {
    w.estimate(p0, py.m, py.q1);
    w.estimate(py.m, p1, py.q2);
    w.clear(py.q1);
    w.clear(py.q2);
  }
  for (int32_t b = p1 - 1; b > p0; b--) {
    if (b_pyramid_is_ref(py, b)) continue;
    int32_t lo, hi;
    b_pyramid_refs(py, p0, p1, b, &lo, &hi);
    w.estimate(lo, hi, b);
    w.propagate(lo, hi, b, 0);
  }
  if (py.levels == 2) {
    w.propagate(py.m, p1, py.q2, 1);
    w.propagate(p0, py.m, py.q1, 1);
  }
  if (py.levels >= 1) w.propagate(p0, p1, py.m, 1);
}

// The estimates and the propagation from the latest anchor back to the
// range start.
void walk_range(walk_t &w, int32_t n, int32_t start) {
  frame_t *const *f = w.f;
  if (!is_b(f[start]) && f[start]->frame_type_code != TARNHEVCENC_TYPE_P) w.estimate(start, start, start);
  // A P picture that starts the range and ends the queue (the last picture
  // of the input) is reached by no step of the walk; rate control reads its
  // estimate all the same.
  if (f[start]->frame_type_code == TARNHEVCENC_TYPE_P && start > 0) w.estimate(start - 1, start, start);
  int32_t p1 = n - 1;
  while (p1 >= start && is_b(f[p1])) p1--;
  if (p1 < start) return;
  w.clear(p1);
  while (p1 > start) {
    int32_t p0 = p1 - 1;
    while (p0 >= 0 && is_b(f[p0])) p0--;
    if (p0 < 0) break;
    const bool p1_is_p = f[p1]->frame_type_code == TARNHEVCENC_TYPE_P;
    w.estimate(p1_is_p ? p0 : p1, p1, p1);
    w.clear(p0);
    propagate_between(w, p0, p1);
    if (p1_is_p && p0 >= start) w.propagate(p0, p1, p1, 1);
    p1 = p0;
  }
}

}  // namespace

float cutree_log2(uint32_t x) {
  const int32_t s = __builtin_clz(x);
  const uint32_t m = x << s;
  const uint32_t i = (m >> 24) - 128, r = m & 0xffffff;
  return static_cast<float>(31 - s) + LOG2_TABLES.base[i] + static_cast<float>(r) * LOG2_TABLES.slope[i];
}

void cutree_propagate(encoder_t *ctx, frame_t *const *frames, int32_t p0, int32_t p1, int32_t b, int32_t referenced) {
  const lookahead_engine_t *e = ctx->lookahead_engine;
  const lowres_layout_t &l = e->layout;
  const lowres_data_t *db = frames[b]->la;
  const int32_t d0 = b - p0, d1 = p1 - b;
  if (d0 > l.max_distance || d1 > l.max_distance) return;
  const uint32_t *costs = db->block_costs[d0][d1];
  const mv_t *mvs[2] = {d0 > 0 ? db->mvs[0][d0 - 1] : nullptr, d1 > 0 && l.lists > 1 ? db->mvs[1][d1 - 1] : nullptr};
  uint32_t *targets[2] = {frames[p0]->la->propagate, frames[p1]->la->propagate};
  const int32_t step_x = ctx->param.lookahead_step_x, step_y = ctx->param.lookahead_step_y;
  int32_t *amount = e->cutree_row;
  const uint16_t *weights = lookahead_aq_weights(ctx, frames[b]);
  for (int32_t y = 0; y < l.block_rows; y += step_y) {
    const int32_t row = y * l.block_stride;
    const uint32_t *incoming = referenced ? db->propagate + row : e->zero_row;
    ctx->mc.mbtree_propagate_cost(amount, incoming, db->intra_costs + row, costs + row,
                                  weights ? weights + row : e->unit_weights, l.block_cols);
    for (int32_t x = 0; x < l.block_cols; x += step_x) {
      int64_t a = amount[x];
      if (a <= 0) continue;
      const uint32_t kind = costs[row + x] >> 28;
      if (kind == LOWRES_INTRA) continue;
      if (kind == LOWRES_BI) a = (a + 1) >> 1;
      for (int32_t list = 0; list < 2; list++) {
        if (!(kind & (1u << list)) || !mvs[list]) continue;
        const mv_t v = mvs[list][row + x];
        uint32_t *t = targets[list];
        if (v == 0) {
          add_saturating(&t[row + x], a);
          continue;
        }
        const int32_t vx = mv_x(v), vy = mv_y(v);
        const int32_t bx = x + (vx >> 5), by = y + (vy >> 5), fx = vx & 31, fy = vy & 31;
        const int32_t w[4] = {(32 - fx) * (32 - fy), fx * (32 - fy), (32 - fx) * fy, fx * fy};
        for (int32_t i = 0; i < 4; i++) {
          const int32_t tx = bx + (i & 1), ty = by + (i >> 1);
          if (tx < 0 || tx >= l.block_cols || ty < 0 || ty >= l.block_rows) continue;
          const int32_t idx = (ty - ty % step_y) * l.block_stride + (tx - tx % step_x);
          add_saturating(&t[idx], (w[i] * a + 512) >> 10);
        }
      }
    }
  }
}

void cutree_compute_qp_offsets(encoder_t *ctx, frame_t *frame) {
  const lowres_layout_t &l = ctx->lookahead_engine->layout;
  const lowres_data_t *d = frame->la;
  const float strength = 5.0f * (1.0f - lookahead_qcompress(ctx));
  const int32_t step_x = ctx->param.lookahead_step_x, step_y = ctx->param.lookahead_step_y;
  for (int32_t cy = 0; cy < l.block_rows; cy += 4)
    for (int32_t cx = 0; cx < l.block_cols; cx += 4) {
      uint64_t intra = 0, prop = 0;
      for (int32_t y = cy; y < std::min(cy + 4, l.block_rows); y += step_y)
        for (int32_t x = cx; x < std::min(cx + 4, l.block_cols); x += step_x) {
          const int32_t k = y * l.block_stride + x;
          intra += d->intra_costs[k];
          prop += d->propagate[k];
        }
      if (intra == 0) continue;
      // Sums of at most 16 blocks of 28-bit costs and 24-bit amounts: the
      // logarithm takes them scaled into 32 bits alike.
      uint32_t i32 = static_cast<uint32_t>(std::min<uint64_t>(intra, UINT32_MAX));
      uint32_t t32 = static_cast<uint32_t>(std::min<uint64_t>(intra + prop, UINT32_MAX));
      if (intra + prop > UINT32_MAX) {
        const int32_t sh = 64 - __builtin_clzll(intra + prop) - 32;
        i32 = static_cast<uint32_t>(std::max<uint64_t>(intra >> sh, 1));
        t32 = static_cast<uint32_t>((intra + prop) >> sh);
      }
      frame->aq_cutree_offsets[cy * l.block_stride + cx] = -strength * (cutree_log2(t32) - cutree_log2(i32));
    }
  // The CTU QPs of this picture take these offsets instead of AQ's alone.
  frame->use_cutree_offsets = 1;
}

void cutree_run(encoder_t *ctx, frame_t *const *f, int32_t n, int32_t start) {
  if (n <= start) return;
  walk_t w;
  w.ctx = ctx;
  w.f = f;
  w.listing = true;
  w.count = 0;
  walk_range(w, n, start);
  {
    SCHED_TRACE_SCOPE('E', start, n, w.count);
    lookahead_frame_costs(ctx, f, w.requests, w.count);
  }
  w.listing = false;
  {
    SCHED_TRACE_SCOPE('U', start, n, 0);
    walk_range(w, n, start);
  }
  // The group's anchor and its reference B pictures.
  int32_t k = start;
  while (k < n && is_b(f[k])) k++;
  if (k >= n) return;
  // A P picture behind sixteen B pictures lies beyond its own estimate's
  // reach, the step that otherwise gives it intra costs on one thread (the
  // lookahead pool makes them for every entering picture).  Its offsets
  // then read the costs its record held for an earlier picture, or none,
  // and one thread coded another stream than two.
  if (!f[k]->intra_done && !f[k]->intra_ready) {
    lookahead_intra_costs(ctx, &ctx->lookahead_engine->slots[0], f[k]);
    f[k]->intra_ready = 1;
  }
  cutree_compute_qp_offsets(ctx, f[k]);
  if (start == 0) return;  // the first decision's group is a key picture alone
  const b_pyramid_t py = b_pyramid(ctx->param.hierarchy, 0, k);
  if (py.levels >= 1) cutree_compute_qp_offsets(ctx, f[py.m]);
  if (py.levels == 2) {
    cutree_compute_qp_offsets(ctx, f[py.q1]);
    cutree_compute_qp_offsets(ctx, f[py.q2]);
  }
}

float cutree_mean_offset(const encoder_t *ctx, const frame_t *frame) {
  if (!frame->use_cutree_offsets || !frame->la) return 0.0f;
  const lowres_layout_t &l = ctx->lookahead_engine->layout;
  double sum = 0.0;
  int32_t n = 0;
  for (int32_t cy = 0; cy < l.block_rows; cy += 4)
    for (int32_t cx = 0; cx < l.block_cols; cx += 4, n++) sum += frame->aq_cutree_offsets[cy * l.block_stride + cx];
  return n ? static_cast<float>(sum / n) : 0.0f;
}
