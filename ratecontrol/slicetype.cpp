// Picture types by position and scene cuts.
//
// Each decision covers one group: a key picture alone, or up to `bframes`
// B pictures and the anchor (P or key picture) that closes them.  Types come
// from the key period, the B-run length, scene cuts and the end of input; no
// cost comparison chooses between B and P.  The anchor of the previous group
// (`pending`) goes back in front of the queue while deciding, so index 0 is
// always the group's past reference.
//
// A scene cut is a picture whose P estimate from the picture before costs
// nearly as much as its intra estimate; the threshold is lowered right after
// a key picture and rises towards `scenecut` per cent as the key period
// runs out.  A cut that is not confirmed from the far end of the B run
// (a flash: the pictures after it look like the ones before) is dropped.
// Without B pictures there is no run to confirm it over: every cut counts,
// a flash too.
//
// An idr_period of 0 means that only the first picture (and scene cuts)
// start a key period: the periodic key and pre-key P tests are skipped (the
// end-of-input window is then 0 as well).
//
// A closed GOP (`opengop` 0) puts a P picture at distance idr_period - 1 so
// that no B picture waits across the IDR (H.265 8.3.2: an IDR marks every
// reference picture unused, so nothing after it in coding order can refer
// to pictures before it); a scene cut likewise gets a P picture just before
// it.  An open GOP uses CRA pictures, and B pictures before a CRA in display
// order are coded after it as its leading pictures.

#include <algorithm>
#include <array>

#include "encoder/encoder.h"
#include "encoder/param.h"
#include "ratecontrol/lookahead.h"
#include "ratecontrol/lowres_data.h"
#include "tarnhevcenc.h"

namespace {

frame_t *queued(const lookahead_queue_t *q, int32_t i) { return static_cast<frame_t *>(q->input->items[i]); }

// How far past p0 a scene-cut test looks for the end of the B run: the
// lookahead estimates no picture from one more than LOWRES_DISTANCES - 1
// away, and sixteen B pictures put the run's end one beyond.  Its missing
// estimate read as "the far picture looks like p0" and dropped every cut.
int32_t far_end_distance(const param_t *p) { return std::min(p->bframes + 1, LOWRES_DISTANCES - 1); }

bool is_b_picture(const frame_t *f) {
  return f->frame_type_code == TARNHEVCENC_TYPE_B || f->frame_type_code == TARNHEVCENC_TYPE_BREF;
}

void make_key(const param_t *p, lookahead_queue_t *q, frame_t *f) {
  f->b_level = 0;
  // A key picture is coded first in its group, right after what is decided.
  f->frame_type_code =
      compat_key_picture_type(p->compat, p->opengop ? TARNHEVCENC_TYPE_CRA : TARNHEVCENC_TYPE_IDR, &q->key_history);
  q->irap_count++;
  f->irap_index = q->irap_count;
  q->last_key_frame_number = f->frame_number;
}

void make_p(const param_t *p, lookahead_queue_t *q, frame_t *f) {
  f->b_level = 0;
  f->frame_type_code = TARNHEVCENC_TYPE_P;
  f->p_layer = 0;
  if (p->latency_mode != 0) return;
  // Zero latency: a dyadic temporal structure of period 4 after every key
  // picture (layers 2, 1, 2, 0), so that layers can be dropped from the top.
  const int32_t base = std::max(q->p_layer_base, q->last_key_frame_number);
  if (f->frame_number > base + 3)
    q->p_layer_base = f->frame_number;
  else if (f->frame_number == base + 2)
    f->p_layer = 1;
  else
    f->p_layer = 2;
}

struct decision_t {
  const param_t *p;
  lookahead_queue_t *q;
  const lookahead_costs_t *costs;
  int32_t n;        // queued pictures, the pending anchor included
  bool at_end;      // flush: no more input will come
  int32_t window;   // W: near the end no key period starts
  bool detect;      // scene-cut detection in this decision
};

bool is_key_type(uint32_t t) {
  return t == TARNHEVCENC_TYPE_IDR || t == TARNHEVCENC_TYPE_CRA || t == TARNHEVCENC_TYPE_I;
}

// The first pass's type of a picture in a second pass; 0 when there is none.
uint32_t planned(const lookahead_costs_t *costs, const frame_t *f) {
  return costs && costs->planned_type ? costs->planned_type(costs->user, f->frame_number) : 0;
}

bool periodic(const param_t *p) { return p->idr_period > 0; }

// Types pictures 1.. of the queue (index 0 is the pending anchor) up to the
// first anchor and returns that anchor's index.
int32_t decide_group(decision_t &dc) {
  const param_t *p = dc.p;
  lookahead_queue_t *q = dc.q;
  const int32_t n = dc.n;
  int32_t last = 0;  // the group's past reference: the pending anchor
  bool forced_key = false;
  for (int32_t i = 1; i < n; i++) {
    frame_t *f = queued(q, i);
    f->irap_index = q->irap_count;
    const int32_t d = f->frame_number - q->last_key_frame_number;
    const bool near_end = dc.at_end && n - i <= dc.window;
    // A second pass codes each picture as the first pass did, so that its
    // plan, made per picture of a type, fits the picture it is applied to.
    // A statistics file is input: a type that would break the structure (a
    // B run longer than bframes, B pictures waiting across a closed GOP's
    // IDR) is not taken.
    if (const uint32_t t = planned(dc.costs, f)) {
      if (is_key_type(t) && !p->opengop && i - last > 1) {
        make_p(p, q, queued(q, i - 1));
        return i - 1;
      }
      if (is_key_type(t)) {
        make_key(p, q, f);
        return i;
      }
      if (t == TARNHEVCENC_TYPE_P) {
        make_p(p, q, f);
        return i;
      }
      if (i - last < p->bframes + 1) {
        f->frame_type_code = TARNHEVCENC_TYPE_B;
        f->b_level = static_cast<uint8_t>(p->hierarchy + 1);
        continue;
      }
    }
    if (forced_key || (periodic(p) && d == p->idr_period && !(dc.at_end && n - i < dc.window))) {
      make_key(p, q, f);
      return i;
    }
    if (periodic(p) && !p->opengop && d == p->idr_period - 1 && !near_end) {
      make_p(p, q, f);
      return i;
    }
    if (i - last == p->bframes + 1) {
      make_p(p, q, f);
      return i;
    }
    f->frame_type_code = TARNHEVCENC_TYPE_B;
    f->b_level = static_cast<uint8_t>(p->hierarchy + 1);
    if (dc.detect && i < n - 2 && scenecut_detect(p, q, dc.costs, i, i + 1, 1, n)) {
      if (p->opengop) {
        // Picture i stays B, a leading picture of the key picture after it.
        forced_key = true;
      } else {
        // The P picture just before the cut closes the GOP.
        f->frame_type_code = TARNHEVCENC_TYPE_P;
        f->b_level = 0;
        return i;
      }
    }
  }
  // The input ended inside a B run: a B picture needs a later reference.
  // It becomes a P picture in full, level and layer too: its level picks the
  // vector-cost table and the rate-control class.
  frame_t *f = queued(q, n - 1);
  if (f->frame_type_code == TARNHEVCENC_TYPE_B) make_p(p, q, f);
  return n - 1;
}

// Types for the CU-tree only, past the group's anchor at index k: periodic
// keys, the P before a closed GOP's IDR and B runs; no scene cuts.  Cleared
// again after the decision.
void provisional_types(const decision_t &dc, int32_t k) {
  const param_t *p = dc.p;
  int32_t last = k;
  for (int32_t i = k + 1; i < dc.n; i++) {
    frame_t *f = queued(dc.q, i);
    const int32_t d = f->frame_number - dc.q->last_key_frame_number;
    const bool near_end = dc.at_end && dc.n - i <= dc.window;
    if (periodic(p) && d == p->idr_period && !(dc.at_end && dc.n - i < dc.window)) {
      f->frame_type_code = p->opengop ? TARNHEVCENC_TYPE_CRA : TARNHEVCENC_TYPE_IDR;
      return;
    }
    if ((periodic(p) && !p->opengop && d == p->idr_period - 1 && !near_end) || i - last == p->bframes + 1) {
      f->frame_type_code = TARNHEVCENC_TYPE_P;
      last = i;
    } else {
      f->frame_type_code = TARNHEVCENC_TYPE_B;
    }
  }
}

// Without the CU-tree, the estimates that rate control reads: each anchor
// against the anchor before it, each B picture between the pictures it
// will be predicted from.
void rate_control_estimates(const decision_t &dc, int32_t start) {
  const param_t *p = dc.p;
  frame_t *const *frames = reinterpret_cast<frame_t *const *>(dc.q->input->items);
  auto est = [&](int32_t p0, int32_t p1, int32_t b) { dc.costs->estimate(dc.costs->user, frames, p0, p1, b); };
  if (!is_b_picture(frames[start]) && frames[start]->frame_type_code != TARNHEVCENC_TYPE_P) est(start, start, start);
  // A P picture alone in the range (the last picture of the input) has no
  // anchor pair of its own below.
  if (frames[start]->frame_type_code == TARNHEVCENC_TYPE_P && start > 0) est(start - 1, start, start);
  int32_t p1 = dc.n - 1;
  while (p1 >= start && is_b_picture(frames[p1])) p1--;
  while (p1 > start) {
    int32_t p0 = p1 - 1;
    while (p0 >= 0 && is_b_picture(frames[p0])) p0--;
    if (p0 < 0) break;
    if (frames[p1]->frame_type_code == TARNHEVCENC_TYPE_P)
      est(p0, p1, p1);
    else
      est(p1, p1, p1);
    const b_pyramid_t py = b_pyramid(p->hierarchy, p0, p1);
    if (py.levels >= 1) est(p0, p1, py.m);
    if (py.levels == 2) {
      est(p0, py.m, py.q1);
      est(py.m, p1, py.q2);
    }
    for (int32_t b = p0 + 1; b < p1; b++) {
      if (b_pyramid_is_ref(py, b)) continue;
      int32_t lo, hi;
      b_pyramid_refs(py, p0, p1, b, &lo, &hi);
      est(lo, hi, b);
    }
    p1 = p0;
  }
}

// B pictures at 1..k-1 before the anchor at k: the middle one, and with two
// levels the middles of both halves, become references for the others.  The
// positions must agree with append_b_coding_order.
void mark_brefs(const param_t *p, lookahead_queue_t *q, int32_t k) {
  if (p->hierarchy <= 0 || k - 1 < 2) return;
  queued(q, k)->b_level = 0;
  frame_t *mid = queued(q, k / 2);
  mid->frame_type_code = TARNHEVCENC_TYPE_BREF;
  mid->b_level = 1;
  if (p->hierarchy < 2 || k - 1 < 4) return;
  for (const int32_t idx : {k / 2 / 2, (k - k / 2) / 2 + k / 2}) {
    frame_t *f = queued(q, idx);
    f->frame_type_code = TARNHEVCENC_TYPE_BREF;
    f->b_level = 2;
  }
}

// Coding order of bcount B pictures (0-based display positions within the
// group): each reference B picture comes before the pictures that use it.
int32_t append_b_coding_order(int32_t hierarchy, int32_t bcount, int32_t *order) {
  int32_t m = 0;
  const int32_t half = (bcount + 1) / 2;
  const int32_t mid = half - 1;
  if (hierarchy <= 0 || bcount == 0) {
    for (int32_t b = 0; b < bcount; b++) order[m++] = b;
  } else if (hierarchy == 1 || bcount < 4) {
    order[m++] = mid;
    for (int32_t b = 0; b < bcount; b++)
      if (b != mid) order[m++] = b;
  } else {
    const int32_t q1 = half / 2 - 1;
    const int32_t q2 = (bcount - half + 1) / 2 + half - 1;
    order[m++] = mid;
    order[m++] = q1;
    for (int32_t b = 0; b < mid; b++)
      if (b != q1) order[m++] = b;
    order[m++] = q2;
    for (int32_t b = mid + 1; b < bcount; b++)
      if (b != q2) order[m++] = b;
  }
  return m;
}

}  // namespace

void lookahead_queue_start(lookahead_queue_t *q, const param_t *p) {
  q->pending = nullptr;
  q->last_key_frame_number = -p->idr_period;
  q->p_layer_base = 0;
  q->irap_count = -1;
  key_picture_history_start(&q->key_history);
}

void lookahead_queue_drop_pending(frame_pool_t *pool, lookahead_queue_t *q) {
  if (q->pending) frame_release(pool, q->pending);
  q->pending = nullptr;
}

b_pyramid_t b_pyramid(int32_t hierarchy, int32_t p0, int32_t p1) {
  const int32_t bcount = p1 - p0 - 1;
  b_pyramid_t py{};
  py.levels = hierarchy == 0 || bcount < 2 ? 0 : hierarchy == 1 || bcount < 4 ? 1 : 2;
  py.m = p0 + (p1 - p0) / 2;
  py.q1 = p0 + ((p1 - p0) / 2) / 2;
  py.q2 = py.m + (p1 - p0 - (p1 - p0) / 2) / 2;
  return py;
}

bool b_pyramid_is_ref(const b_pyramid_t &py, int32_t b) {
  return (py.levels >= 1 && b == py.m) || (py.levels == 2 && (b == py.q1 || b == py.q2));
}

void b_pyramid_refs(const b_pyramid_t &py, int32_t p0, int32_t p1, int32_t b, int32_t *lo, int32_t *hi) {
  *lo = p0;
  *hi = p1;
  if (py.levels == 0) return;
  const int32_t marks[3] = {py.levels == 2 ? py.q1 : py.m, py.m, py.levels == 2 ? py.q2 : py.m};
  for (const int32_t v : marks) {
    if (v < b && v > *lo) *lo = v;
    if (v > b && v < *hi) *hi = v;
  }
}

bool scenecut_check(const param_t *p, const lookahead_queue_t *q, const lookahead_costs_t *costs, int32_t p0,
                    int32_t p1, int32_t graded) {
  frame_t *const *frames = reinterpret_cast<frame_t *const *>(q->input->items);
  int32_t icost = -1, pcost = -1;
  costs->p_costs(costs->user, frames, p0, p1, &icost, &pcost);
  if (icost < 0 || pcost < 0) return false;
  float f = 0.95f;
  if (graded) {
    const float bias = static_cast<float>(p->scenecut) * 0.01f;
    // Without a key period longer than the minimum there is no range to
    // grade over: the bias alone holds there.
    const bool graded_range = p->idr_period > p->min_idr;
    float t = graded_range ? bias / 4 : bias;
    const int32_t d = frames[p1]->frame_number - q->last_key_frame_number;
    if (d <= (p->min_idr >> 2))
      t = t / 4;
    else if (d <= p->min_idr)
      t = static_cast<float>(d) * t / static_cast<float>(p->min_idr);
    else if (graded_range)
      t = t + (bias - t) * static_cast<float>(d - p->min_idr) / static_cast<float>(p->idr_period - p->min_idr);
    else
      t = bias;
    f = 1.0f - t;
  }
  return static_cast<float>(pcost) >= static_cast<float>(icost) * f;
}

bool scenecut_detect(const param_t *p, const lookahead_queue_t *q, const lookahead_costs_t *costs, int32_t p0,
                     int32_t p1, int32_t graded, int32_t count) {
  frame_t *const *frames = reinterpret_cast<frame_t *const *>(q->input->items);
  if (graded && p->bframes > 0) {
    const int32_t maxp1 = std::min(count - 1, p0 + far_end_distance(p));
    if (scenecut_check(p, q, costs, p0, maxp1, 1)) {
      // The far picture differs: a picture before it that still looks like
      // p0 is no cut, and neither is one that the far picture differs from
      // (the cut lies later) and that differs from the picture after it
      // too (a flash).  A new scene in fast motion differs from its own far
      // pictures, but its first picture predicts the next one well.
      for (int32_t c = p1; c < maxp1; c++)
        if (!scenecut_check(p, q, costs, p0, c, 1))
          for (int32_t k = p0 + 1; k <= c; k++) frames[k]->scenecut_candidate = 0;
      for (int32_t c = p0; c < maxp1; c++)
        if (scenecut_check(p, q, costs, c, maxp1, 1) &&
            (c + 1 == maxp1 || scenecut_check(p, q, costs, c, c + 1, 1)))
          frames[c]->scenecut_candidate = 0;
    } else {
      // The far picture looks like p0: whatever lies between is a flash.
      for (int32_t k = p0 + 1; k <= maxp1; k++) frames[k]->scenecut_candidate = 0;
    }
  }
  return frames[p1]->scenecut_candidate && scenecut_check(p, q, costs, p0, p1, graded);
}

void lookahead_slicetype_decide(const param_t *p, int32_t decision_delay, lookahead_queue_t *q, int32_t flush,
                                const lookahead_costs_t *costs) {
  frame_list_t *in = q->input;
  decision_t dc{};
  dc.p = p;
  dc.q = q;
  dc.costs = costs;
  dc.n = in->count;
  if (dc.n == 0) return;
  dc.at_end = flush != 0 || dc.n <= decision_delay;
  // Near the end of input a key picture (and the P picture before a closed
  // GOP's IDR) would start a period too short to pay for it.
  dc.window = std::min(2 * p->bframes + 2, p->idr_period / 3);

  const bool pushed = q->pending != nullptr;
  int32_t group_end = 0;
  if (!pushed) {
    make_key(p, q, queued(q, 0));
  } else {
    frame_list_push_front(in, q->pending);
    dc.n++;
    // The first pass's types already hold its scene cuts.
    dc.detect = p->scenecut != 0 && costs != nullptr && !planned(costs, queued(q, 1));
    // Cheap test first at low complexity: no cut anywhere up to the end of
    // the B run by the fixed threshold means none is searched.
    if (dc.detect && p->complexity <= 3 &&
        !scenecut_detect(p, q, costs, 0, std::min(far_end_distance(p), dc.n - 1), 0, dc.n))
      dc.detect = false;
    if (dc.detect && dc.n > 2 && scenecut_detect(p, q, costs, 0, 1, 1, dc.n)) {
      frame_t *f = queued(q, 1);
      f->irap_index = q->irap_count;
      make_key(p, q, f);
      group_end = 1;
    } else {
      group_end = decide_group(dc);
    }
  }

  const int32_t start = pushed ? 1 : 0;
  if (costs && p->cutree) {
    provisional_types(dc, group_end);
    costs->cutree(costs->user, reinterpret_cast<frame_t *const *>(in->items), dc.n, start);
  } else if (costs && (p->rcmode != 0 || p->vbv_maxrate != 0)) {
    // The group alone is typed: estimates reach its anchor.
    const int32_t n = dc.n;
    dc.n = group_end + 1;
    rate_control_estimates(dc, start);
    dc.n = n;
  }

  if (pushed) {
    mark_brefs(p, q, group_end);
    frame_list_shift(in);
  }
}

void lookahead_slicetype_run(const param_t *p, int32_t decision_delay, frame_pool_t *pool, lookahead_queue_t *q,
                             int32_t flush, const lookahead_costs_t *costs) {
  frame_list_t *in = q->input;
  if (in->count == 0) return;
  lookahead_slicetype_decide(p, decision_delay, q, flush, costs);

  const int32_t n = in->count;
  int32_t bcount = 0;
  while (bcount < n - 1 && bcount < SLICETYPE_MAX_GROUP - 1 && is_b_picture(queued(q, bcount))) bcount++;

  // Decoding time stamps are the group's presentation time stamps in display
  // order: increasing in coding order, and the anchor, coded first, never
  // decodes later than it is shown.
  std::array<int64_t, SLICETYPE_MAX_GROUP> dts{};
  std::array<int32_t, SLICETYPE_MAX_GROUP> order{};
  std::array<frame_t *, SLICETYPE_MAX_GROUP> group{};
  for (int32_t j = 0; j <= bcount; j++) dts[j] = queued(q, j)->pts;
  order[0] = bcount;
  append_b_coding_order(p->hierarchy, bcount, order.data() + 1);
  for (int32_t j = 0; j <= bcount; j++) group[j] = queued(q, order[j]);

  for (int32_t j = 0; j <= bcount; j++) frame_list_shift(in);
  for (int32_t j = 0; j <= bcount; j++) {
    group[j]->dts = dts[j];
    frame_list_push(q->decided, group[j]);
    key_picture_history_note(&q->key_history, group[j]->frame_type_code);
  }

  frame_t *old = q->pending;
  frame_addref(pool, group[0]);
  q->pending = group[0];
  if (old) frame_release(pool, old);

  // What lies past the group is decided again with more pictures in view.
  for (int32_t i = 0; i < in->count; i++) queued(q, i)->frame_type_code = TARNHEVCENC_TYPE_AUTO;
}
