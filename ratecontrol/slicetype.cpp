// Picture types by position.
//
// Each decision covers one group: a key picture alone, or up to `bframes`
// B pictures and the anchor (P or key picture) that closes them.  Types come
// from the key period, the B-run length and the end of input; no cost
// comparison chooses between B and P.  The anchor of the previous group
// (`pending`) goes back in front of the queue while deciding, so index 0 is
// always the group's past reference.
//
// Scene cuts are not detected yet: the test compares intra and inter costs
// of the lookahead pictures, and it arrives together with those costs (as do
// the provisional types of the CU-tree propagation and the estimates rate
// control reads; their place in the decision is marked below).  Until then a
// non-zero `scenecut` setting behaves as 0.
//
// An idr_period of 0 means that only the first picture is a key picture:
// the periodic key and pre-key P tests are skipped (the end-of-input window
// is then 0 as well).
//
// A closed GOP (`opengop` 0) puts a P picture at distance idr_period - 1 so
// that no B picture waits across the IDR (H.265 8.3.2: an IDR marks every
// reference picture unused, so nothing after it in coding order can refer
// to pictures before it).  An open GOP uses CRA pictures, and B pictures before
// a CRA in display order are coded after it as its leading pictures.

#include <algorithm>
#include <array>

#include "encoder/encoder.h"
#include "encoder/param.h"
#include "ratecontrol/lookahead.h"
#include "tarnhevcenc.h"

namespace {

frame_t *queued(const lookahead_queue_t *q, int32_t i) { return static_cast<frame_t *>(q->input->items[i]); }

bool is_b_picture(const frame_t *f) {
  return f->frame_type_code == TARNHEVCENC_TYPE_B || f->frame_type_code == TARNHEVCENC_TYPE_BREF;
}

void make_key(const param_t *p, lookahead_queue_t *q, frame_t *f) {
  f->b_level = 0;
  f->frame_type_code = p->opengop ? TARNHEVCENC_TYPE_CRA : TARNHEVCENC_TYPE_IDR;
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

// Types pictures 1.. of the queue (index 0 is the pending anchor) up to the
// first anchor and returns that anchor's index.  n counts the pending anchor.
int32_t decide_group(const param_t *p, lookahead_queue_t *q, int32_t n, bool at_end) {
  const bool periodic = p->idr_period > 0;
  // Near the end of input a key picture (and the P picture before a closed
  // GOP's IDR) would start a period too short to pay for it.
  const int32_t window = std::min(2 * p->bframes + 2, p->idr_period / 3);
  const int32_t last = 0;  // the group's past reference: the pending anchor
  for (int32_t i = 1; i < n; i++) {
    frame_t *f = queued(q, i);
    f->irap_index = q->irap_count;
    const int32_t d = f->frame_number - q->last_key_frame_number;
    const bool near_end = at_end && n - i <= window;
    // With scene-cut detection, a cut found at i + 1 under an open GOP
    // forces picture i + 1 to be a key picture here.
    if (periodic && d == p->idr_period && !(at_end && n - i < window)) {
      make_key(p, q, f);
      return i;
    }
    if (periodic && !p->opengop && d == p->idr_period - 1 && !near_end) {
      make_p(p, q, f);
      return i;
    }
    if (i - last == p->bframes + 1) {
      make_p(p, q, f);
      return i;
    }
    // With scene-cut detection (i < n - 2), a cut at i + 1 goes here: under
    // an open GOP picture i stays B and i + 1 becomes the key picture; under
    // a closed GOP picture i becomes P (b_level 0, p_layer untouched).
    f->frame_type_code = TARNHEVCENC_TYPE_B;
    f->b_level = static_cast<uint8_t>(p->hierarchy + 1);
  }
  // The input ended inside a B run: a B picture needs a later reference.
  frame_t *f = queued(q, n - 1);
  if (f->frame_type_code == TARNHEVCENC_TYPE_B) f->frame_type_code = TARNHEVCENC_TYPE_P;
  return n - 1;
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
}

void lookahead_queue_drop_pending(frame_pool_t *pool, lookahead_queue_t *q) {
  if (q->pending) frame_release(pool, q->pending);
  q->pending = nullptr;
}

void lookahead_slicetype_decide(const param_t *p, int32_t decision_delay, lookahead_queue_t *q, int32_t flush) {
  frame_list_t *in = q->input;
  int32_t n = in->count;
  if (n == 0) return;
  const bool at_end = flush != 0 || n <= decision_delay;

  const bool pushed = q->pending != nullptr;
  int32_t group_end = 0;
  if (!pushed) {
    make_key(p, q, queued(q, 0));
  } else {
    frame_list_push_front(in, q->pending);
    n++;
    group_end = decide_group(p, q, n, at_end);
  }

  // The lookahead costs slot in here: provisional types past the group for
  // the CU-tree propagation (cleared again by lookahead_slicetype_run), then
  // the propagation or the estimates rate control will read.

  if (pushed) {
    mark_brefs(p, q, group_end);
    frame_list_shift(in);
  }
}

void lookahead_slicetype_run(const param_t *p, int32_t decision_delay, frame_pool_t *pool, lookahead_queue_t *q,
                             int32_t flush) {
  frame_list_t *in = q->input;
  if (in->count == 0) return;
  lookahead_slicetype_decide(p, decision_delay, q, flush);

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
  }

  frame_t *old = q->pending;
  frame_addref(pool, group[0]);
  q->pending = group[0];
  if (old) frame_release(pool, old);

  // What lies past the group is decided again with more pictures in view.
  for (int32_t i = 0; i < in->count; i++) queued(q, i)->frame_type_code = TARNHEVCENC_TYPE_AUTO;
}

void lookahead_slicetype_decide(encoder_t *ctx, lookahead_queue_t *q, int32_t flush) {
  lookahead_slicetype_decide(&ctx->param, ctx->decision_delay, q, flush);
}

void lookahead_slicetype_run(encoder_t *ctx, lookahead_queue_t *q, int32_t flush) {
  lookahead_slicetype_run(&ctx->param, ctx->decision_delay, ctx->pool, q, flush);
}
