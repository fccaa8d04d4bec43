// Rate control while a picture is coded and right after it: the CTU QP and
// its multipliers, VBV's re-decision of the rest of each CTU row, the QP
// statistics, and the update of predictors, buffer and ABR sums.
#include "ratecontrol/ratecontrol_ctu.h"

#include <algorithm>
#include <cmath>

#include "analysis/analysis_tables.h"
#include "analysis/ctu_maps.h"
#include "encoder/encoder.h"
#include "encoder/rowsched.h"
#include "ratecontrol/cbr.h"
#include "ratecontrol/ratecontrol.h"
#include "ratecontrol/twopass.h"

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

// Columns of row y up to the split column have been measured when the row
// re-decides; those right of it are predicted.
int32_t split_column(const encoder_t *ctx, int32_t y) {
  return std::clamp((ctx->ctu_cols + ctx->ctu_rows) / 2 - y - 1, 0, ctx->ctu_cols);
}

const frame_t *l0_reference(const encoder_t *ctx) {
  return ctx->slice_type_code != 2 && ctx->ref_count[0] > 0 ? ctx->ref_list[0][0] : nullptr;
}

// The CTU of a reference (of the picture's size) that is surely coded once
// CTU x of row y may be coded: the scheduler lets the CTU start when the
// reference's rows down to ref_rows_needed are final, or when row
// ref_top_rows_needed has coded two CTUs past column ref_rows_needed(x)
// (and so each row above it one CTU further: wavefront), whichever came
// first, which depends on timing; this CTU is coded either way, and what
// the reference published there (frame_t::vbv_take) is the same in every
// run.
int32_t surely_coded(const encoder_t *ctx, int32_t x, int32_t y) {
  const int32_t cols = ctx->ctu_cols, rows = ctx->ctu_rows, reach = ctx->param.mv_range_y;
  const int32_t need = std::min(rows - 1, ref_rows_needed(y, reach));
  const int32_t last_col = ref_rows_needed(x, reach), top = ref_top_rows_needed(y, reach);
  if (top >= rows - 1 || last_col >= cols - 1) return need * cols + cols - 1;
  const int32_t r = std::min(top, need);
  return r * cols + std::min(cols - 1, last_col + 1 + top - r);
}

// The QP a reference coded its row r with, as far as it is surely coded
// once CTU x of row y may be coded: its CTU there, or below those rows the
// last CTU surely coded.  Its rows' QPs go on rising after their split
// columns as they are coded: a read of the row's QP now would depend on
// how far it has got, and the stream on the timing (8 threads: a stream
// differed run to run).
float ref_row_qp(const encoder_t *ctx, const frame_t *ref, int32_t x, int32_t y, int32_t r) {
  const int32_t cols = ctx->ctu_cols;
  const int32_t s = surely_coded(ctx, std::max(x, 0), y), sr = s / cols, sc = s % cols;
  if (r > sr) return static_cast<float>(ref->ctu_qp[s]);
  return static_cast<float>(ref->ctu_qp[r * cols + std::min(cols - 1, sc + (sr - r))]);
}

// Costs of CTUs (c, ..] of row r: the per-CTU arrays are running sums.
uint32_t cost_right_of(const uint32_t *row_costs, const uint32_t *ctu_costs, int32_t cols, int32_t r, int32_t c) {
  return row_costs[r] - ctu_costs[r * cols + c];
}

// Predicted bits of the CTUs not yet coded at qp: for rows y, y-1, ... the
// CTUs right of the diagonal through (x, y), then every row below y whole.
// Rows above y have measured themselves once past their split columns, as
// they are when row y reaches its own; before that (initial) every row
// predicts with the picture's pair.
float vbv_predict_frame_bits(const encoder_t *ctx, int32_t x, int32_t y, float qp, bool initial = false) {
  const ratecontrol_t *rc = ctx->rc;
  const frame_t *in = ctx->cur_input;
  const frame_t *ref = l0_reference(ctx);
  const int32_t cols = ctx->ctu_cols;
  const float q = rc_qp2qscale_f(qp);
  float bits = 0.0f;
  for (int32_t r = y, c = x; r >= 0 && c < cols - 1; r--, c++) {
    const int32_t n = cols - 1 - c;
    const ratecontrol_predictor_t *pr = initial ? rc->row_pred_cur : rc->row_preds + 2 * r;
    bits += ratecontrol_predict(
        &pr[0], static_cast<float>(cost_right_of(in->lookahead_row_costs, in->lookahead_ctu_costs, cols, r, c)), q,
        static_cast<float>(n));
    if (ref && qp < ref_row_qp(ctx, ref, x, y, r))
      bits += ratecontrol_predict(
          &pr[1], static_cast<float>(cost_right_of(in->intra_row_costs, in->intra_ctu_costs, cols, r, c)), q,
          static_cast<float>(n));
    if (n == 1) break;
  }
  for (int32_t r = y + 1; r < ctx->ctu_rows; r++) {
    bits += ratecontrol_predict(&rc->row_pred_cur[0], static_cast<float>(in->lookahead_row_costs[r]), q,
                                static_cast<float>(cols));
    if (ref && qp < ref_row_qp(ctx, ref, x, y, r))
      bits += ratecontrol_predict(&rc->row_pred_cur[1], static_cast<float>(in->intra_row_costs[r]), q,
                                  static_cast<float>(cols));
  }
  return bits;
}

enum { CHAIN_EXPECTED = 0, CHAIN_OVERRUN = 1 };

// The fill the rows know must stay above after the picture for its rows to
// fall below its plan: the buffer's size less the picture's refill, so that
// they take only bits the buffer would otherwise spill.  The pictures
// started after it counted it at its plan; a fall into the buffer below the
// top takes bits they counted on.  Down to three quarters of the buffer,
// four P pictures in a row each fell 5-10 QPs below their plans where
// flower at 10 pictures a second turns, and the last ran the buffer 15% of
// its size dry (level 4, the rate factor capped, half a second's buffer).
float keep_full_fill(const ratecontrol_t *rc) {
  return static_cast<float>(rc->vbv_size) - static_cast<float>(rc->vbv_rate);
}

// The lowest fill a picture may leave, from a fill before it: that fill
// less half of what the picture's plan leaves of it.
float hold_half_left(float before, float planned) { return before - 0.5f * std::max(before - planned, 0.0f); }

// The picture's bits outside its CTUs, as the plan and the buffer count
// them: its parameter sets, and the end of every substream (terminating
// bin, flush and byte alignment, and its entry point: about two bytes).
float bits_outside_ctus(const encoder_t *ctx) {
  const int32_t substreams = ctx->pps->entropy_coding_sync ? ctx->ctu_rows : 1;
  return static_cast<float>(ctx->rc->planned_fixed + 16 * substreams);
}

// What the picture's rows know at CTU x of row y that each picture in
// flight when it started takes (takes[k], in coding order; how:
// CHAIN_EXPECTED or CHAIN_OVERRUN counts those they know nothing of): a
// reference what it published at the CTU surely coded by now; another
// picture what a reference published there that it knew of it (which
// that reference learnt the same way from its own references), the newest
// reference's first; else its plan as the fill counts it.  Returns how
// many of them the rows know of; took: by how much the newest reference
// expects to outgrow its plan (1 without one).
int32_t chain_takes(const encoder_t *ctx, int32_t x, int32_t y, int32_t how, float *takes, bool *knew, float *took) {
  const ratecontrol_t *rc = ctx->rc;
  const frame_t *rec = ctx->cur_recon;
  const size_t at = static_cast<size_t>(surely_coded(ctx, x, y)) * VBV_TAKES;
  *took = 1.0f;
  bool newest = true;
  int32_t known = 0;
  for (int32_t k = rc->chain_count - 1; k >= 0; k--) {
    takes[k] = static_cast<float>(rc->chain_take[k][how]);
    knew[k] = false;
    if (const frame_t *ref = rc->chain_ref[k]) {
      if (newest) *took = ref->vbv_took[at / VBV_TAKES].load(relaxed);
      newest = false;
      takes[k] = ref->vbv_take[at].load(relaxed);
      knew[k] = true;
    }
    for (int32_t j = rc->chain_count - 1; j > k && !knew[k]; j--) {
      const frame_t *ref = rc->chain_ref[j];
      for (int32_t m = 0; ref && m < ref->vbv_id_count && !knew[k]; m++) {
        const float t = ref->vbv_take[at + 1 + m].load(relaxed);
        if (ref->vbv_ids[m] == rec->vbv_ids[k] && t >= 0.0f) {
          takes[k] = t;
          knew[k] = true;
        }
      }
    }
    known += knew[k];
  }
  return known;
}

// The fill before the picture as its rows know it at CTU x of row y
// (chain_takes), each picture in flight with its refill.
float chain_fill(const encoder_t *ctx, int32_t x, int32_t y, int32_t how, float *took, int32_t *known = nullptr) {
  const ratecontrol_t *rc = ctx->rc;
  float takes[16];
  bool knew[16];
  const int32_t n = chain_takes(ctx, x, y, how, takes, knew, took);
  if (known) *known = n;
  const float size = static_cast<float>(rc->vbv_size), rate = static_cast<float>(rc->vbv_rate);
  float fill = static_cast<float>(rc->chain_fill);
  for (int32_t k = 0; k < rc->chain_count; k++) fill = std::min(size, fill - takes[k] + rate);
  return fill;
}

// The bits the picture expects to take after CTU x of row y (x -1: before
// the row's first CTU): those of the CTUs surely coded by now (row y up to
// x, each row above one further) and its plan for the rest (rest_planned,
// at the picture's qscale), scaled by how far the coded ones outgrew their
// share of it (their lookahead cost's share; took); with few coded, mostly
// by what the picture was counted to take while in flight.
struct expected_take_t {
  float take;
  float took;
  float rest_planned;
};

expected_take_t expected_take(const encoder_t *ctx, int32_t x, int32_t y) {
  const ratecontrol_t *rc = ctx->rc;
  const frame_t *in = ctx->cur_input;
  const frame_t *rec = ctx->cur_recon;
  const int32_t cols = ctx->ctu_cols;
  float known = 0.0f, cost_known = 0.0f, cost_all = 0.0f, ctus_known = 0.0f;
  for (int32_t r = 0; r < ctx->ctu_rows; r++) cost_all += static_cast<float>(in->lookahead_row_costs[r]);
  for (int32_t r = y; r >= 0; r--) {
    const int32_t c = std::min(cols - 1, x + (y - r));
    if (c < 0) continue;
    known += static_cast<float>(rec->ctu_bits[r * cols + c].load(relaxed));
    cost_known += static_cast<float>(in->lookahead_ctu_costs[r * cols + c]);
    ctus_known += static_cast<float>(c + 1);
  }
  const float fixed = bits_outside_ctus(ctx);
  const float slices = rc->planned_valid ? static_cast<float>(std::max(rc->planned_bits - rc->planned_fixed, 0)) : 0.0f;
  const float share = cost_all > 0.0f ? cost_known / cost_all : ctus_known / static_cast<float>(ctx->ctu_count);
  const float plan_known = slices * share;
  float took = std::max(rc->chain_prior, 1.0f);
  if (plan_known > 0.0f) {
    const float w = std::min(1.0f, 4.0f * share);
    took = std::exp(w * std::log(std::clamp(known / plan_known, 0.25f, 8.0f)) + (1.0f - w) * std::log(took));
  }
  const float rest = std::max(slices - plan_known, 0.0f);
  return {fixed + known + rest * took, took, rest};
}

// After CTU x of row y: what the picture expects to take (expected_take),
// for the pictures started after it.
void vbv_publish(encoder_t *ctx, int32_t x, int32_t y) {
  const ratecontrol_t *rc = ctx->rc;
  frame_t *rec = ctx->cur_recon;
  const int32_t cols = ctx->ctu_cols;
  const expected_take_t own = expected_take(ctx, x, y);
  const int32_t i = y * cols + x;
  rec->vbv_take[i * VBV_TAKES].store(own.take, relaxed);
  rec->vbv_took[i].store(own.took, relaxed);
  // What the picture knows of the pictures in flight before it, -1 where
  // it knows nothing (they count at their plans).
  float takes[16], ref_took = 1.0f;
  bool knew[16];
  chain_takes(ctx, x, y, CHAIN_EXPECTED, takes, knew, &ref_took);
  for (int32_t k = 0; k < rc->chain_count; k++)
    rec->vbv_take[i * VBV_TAKES + 1 + k].store(knew[k] ? takes[k] : -1.0f, relaxed);
}

// Row y decides the QP of its remaining CTUs again from what the picture has
// spent and what the rest is predicted to take: at its split column towards
// the plan, and after each later CTU only against the buffer (at_split
// false): there the QP rises while the picture is predicted to take more
// than the fill counted with the pictures in flight at their overruns
// (vbv_overrun_risk) less half of what the plan leaves of it, and never
// falls.  Deciding once a row left the rest of the row at what its split
// column chose: a P picture planned 3 QPs finer than its reference (the
// last picture of flower at 10 pictures a second, level 4) was predicted at
// 1.6 times its plan at every split column, its rows rose by their whole
// step there and no further, and it ran the buffer 12% of its size below
// empty.  Against the plan after the split column as well, the rows gave up
// 2-4% of the rate (the rows' predictions run high early in a picture).
void vbv_row_redecide(encoder_t *ctx, int32_t x, int32_t y, bool at_split) {
  const ratecontrol_t *rc = ctx->rc;
  const param_t &p = ctx->param;
  frame_t *rec = ctx->cur_recon;
  const int32_t cols = ctx->ctu_cols;
  const float row_qp_before = rec->row_qp[y].load(relaxed);
  float qp = row_qp_before;
  float qmax = std::min(qp + static_cast<float>(p.qp_step), static_cast<float>(p.qp_max));
  float qmin = std::max(qp - static_cast<float>(p.qp_step), static_cast<float>(p.qp_min));
  if (picture_class(ctx) == 0) {
    for (int32_t l = 0; l < 2; l++)
      if (ctx->ref_count[l] > 0) qmin = std::max(qmin, ref_row_qp(ctx, ctx->ref_list[l][0], x, y, 0));
    qp = std::max(qp, qmin);
  }
  float done = 0.0f;
  for (int32_t r = y; r >= 0; r--) {
    const int32_t c = x + (y - r);
    if (c < cols)
      done += static_cast<float>(rec->ctu_bits[r * cols + c].load(relaxed));
    else
      done += static_cast<float>(rec->row_bits[r].load(relaxed));
  }
  // The picture's bits outside its CTUs count too, as they do in the plan
  // and the buffer.  A picture one CTU wide, a substream per CTU, spends a
  // sixth of its bits there; left out, its rows took the whole buffer in
  // CTUs and the picture ran it 22% dry.
  done += bits_outside_ctus(ctx);
  // Without a plan (no size prediction yet) there is nothing to hold to.
  const float planned = static_cast<float>(rc->planned_bits);
  if (!rc->planned_valid || planned <= 0.0f) return;
  const float fill = static_cast<float>(rc->vbv_fill_start);
  const float tol = ratecontrol_vbv_tolerance(ctx);
  const float f = std::clamp(done / planned, 0.0f, 1.0f);
  if (f < 0.05f) qmax = qp;
  float b1 = vbv_predict_frame_bits(ctx, x, y, qp) + done;
  // Without B pictures the rows also count the pictures in flight from
  // what their coded CTUs show (chain_fill): the fill after this picture
  // must hold what the plan's own bound holds, and where it stays near the
  // top of the buffer the plan is no reason to rise.
  const bool chained = rc->chain_on;
  float ref_took = 1.0f;
  const float known = chained ? chain_fill(ctx, x, y, CHAIN_OVERRUN, &ref_took) : 0.0f;
  const float full = keep_full_fill(rc);
  float safe = std::max(fill - static_cast<float>(rc->vbv_overrun_risk), 0.0f);
  float bound = hold_half_left(at_split ? fill : safe, planned);
  const float chain_bound = hold_half_left(known, planned);
  if (chained) {
    safe = std::min(safe, known);
    bound = at_split ? std::min(bound, chain_bound) : hold_half_left(safe, planned);
  } else if (rc->chain_read && !rc->cbr && !rc->two_pass && rc_b_type(ctx->cur_input->frame_type_code)) {
    // A B picture was planned against its anchor at the anchor's plan, and
    // the anchor, coded beside it, may outgrow that plan: from their split
    // columns on the rows hold to the same fill counted with what the
    // references have shown by the CTU their wait makes certain.  A
    // reference B picture of flower at level 4, planned against a P picture
    // counted at 84 kbit of fill where it left 58, ran to its bound and took
    // the buffer 1.1% of its size below empty; so held, 0.5%.  Before the
    // split columns the same hold cost 3-8 points of the rate: a reference's
    // first rows often foretell far more than it takes.  In one pass only:
    // under constant bitrate the same hold changed 13 of 72 flower streams
    // (half a second's buffer to one), by 1.3 points of the rate at most
    // either way, and ran none below empty.
    const float seen = chain_fill(ctx, x, y, at_split ? CHAIN_EXPECTED : CHAIN_OVERRUN, &ref_took);
    bound = std::min(bound, hold_half_left(seen, planned));
  }
  // Constant bitrate's P and intra pictures hold after their split columns
  // to the fill with the B pictures in flight counted further over their
  // plans (vbv_rows_risk): B pictures that overran together beside a P
  // picture that kept to its plan ran the buffer dry.
  if (rc->cbr && !at_split)
    bound = std::min(bound, hold_half_left(std::max(fill - static_cast<float>(rc->vbv_rows_risk), 0.0f), planned));
  // A second pass's rows never let the picture be predicted past the fill
  // they know, as before its split columns (vbv_row_hold).
  const float pass2_known = rc->two_pass ? chain_fill(ctx, x, y, CHAIN_OVERRUN, &ref_took) : fill;
  if (rc->two_pass) bound = std::min(bound, pass2_known);
  auto over = [&](float b) {
    const bool room = chained && known - b >= full;
    return b > bound || (at_split && !room && (b > planned + tol || (b > planned && qp < rc->qp_novbv)));
  };
  // Constant bitrate without B pictures: once a P picture has spent seven
  // tenths of the fill its rows know, they take their whole step up at once
  // after their split columns.  Their predictors, taught where the picture
  // was cheap, foretold little of the CTUs left, and a P picture whose
  // known fill fell from 39 to 20 kbit while its rows were coded (the
  // pictures in flight before it had outgrown their plans) took 120 bits
  // more than the fill, its second row at QP 22 to its end (flower 480x272
  // at 10 pictures a second, 150 kb/s in 150 kbit, level 1).  Among B
  // pictures the fill counts those in flight at their overruns and falls
  // far faster than the P picture spends: held so there too, a stream in
  // half a second's buffer with a key picture every 20 ran 1.6% dry.
  if (rc->cbr && chained && p.bframes == 0 && !at_split && done >= 0.7f * known) qp = qmax;
  while (qp < qmax && over(b1)) {
    qp += 0.5f;
    b1 = vbv_predict_frame_bits(ctx, x, y, qp) + done;
  }
  const float headroom = (fill - static_cast<float>(rc->vbv_size) + static_cast<float>(rc->vbv_rate)) * 0.9f - b1;
  // Row 0's QP where it is surely coded: it goes on rising after its split.
  const float row0_qp = static_cast<float>(rec->ctu_qp[std::min(cols - 1, x + y)]);
  // Constant bitrate's P and intra pictures may fall below row 0 towards the
  // model's QP: the plan raised them for a size it overestimates (flower at
  // 10 pictures a second: P pictures took half to nine tenths of their
  // plans), and what they left unspent in a full buffer spilled, most of
  // the 4-13% the stream fell below its rate.
  const uint32_t type = ctx->cur_input->frame_type_code;
  // So may a second pass's P pictures, by two QPs at most: their plan is
  // the larger of sizes each meant as an upper bound (flower at 10
  // pictures a second, 100 kb/s in 50 kbit, four B pictures: they took 0.70
  // of their plans on average, and what they left in a full buffer spilled
  // during the B pictures after them).  The rows' predictions grow as 1/q
  // where the pictures grow faster: a P picture whose rows fell 3-4 QPs
  // below row 0, each row predicted at half the fill or less, took 2.3
  // times the last prediction and ran the buffer dry.  With only one of
  // the two limits, or with three QPs, 1-2 of 72 flower runs went below
  // empty; with both none of 96, and the rate rose by 2-3 points of the
  // target.
  const bool second_pass_p = rc->two_pass && type == TARNHEVCENC_TYPE_P;
  // The rows of a buffer of one picture, whose plan is the whole fill, fall
  // no more than 4 QPs below row 0, as far as its plan may go below where
  // its class was measured (vbv_plan.cpp, measured_step_floor): their 1/q
  // foretold too little of what the CTUs below took, and pictures whose
  // rows fell 6-8 QPs below row 0 took 1.01-1.07 times the fill (bus 240x160
  // at 2.5 and 25 pictures a second, two of the random cases that ran the
  // buffer dry; at 2 QPs they came 5-6 points further below the rate).
  // Among B pictures a second pass's P picture's rows may also fall by up to
  // four QPs below row 0 while the picture is predicted within what the buffer,
  // full again by the end of its B run, would spill (twopass.cpp, run_spend):
  // bits lost otherwise.  That spill is counted from the fill the rows know,
  // not the one the plan started from: from the plan's, a P picture of flower
  // 640x360 (90 kb/s in 45 kbit, three B pictures) took 32 kbit where 31 were
  // left.  Either way, while they fall the prediction grows as 1/q^1.5 from the
  // QP they fall from, as the plan grows such pictures.  Flower at 10 pictures
  // a second, 90 second passes in half a second's buffer: 0.7 points nearer the
  // rate, 0.03 dB more; grown as 1/q, one went 13% of the buffer below empty.
  const float one_picture_fall = rc->single_frame_vbv ? 4.0f : 1e9f;
  const bool below_row0 = rc->single_frame_vbv || second_pass_p ||
                          (rc->cbr && type != TARNHEVCENC_TYPE_B && type != TARNHEVCENC_TYPE_BREF);
  if (at_split) {
    const float fall_from = rc_qp2qscale_f(qp);
    const float spill = rc->run_spend - std::max(fill - pass2_known, 0.0f);
    for (;;) {
      const float before = qp;
      qp -= 0.5f;
      float b = vbv_predict_frame_bits(ctx, x, y, qp);
      if (second_pass_p) b *= std::sqrt(fall_from / rc_qp2qscale_f(qp));
      b += done;
      if (qp <= std::max(qmin, rc->qp_novbv) || (qp <= row0_qp && !below_row0)) break;
      const bool by_half = b <= 0.5f * fill && qp >= row0_qp - 2.0f;
      const bool by_spill = b <= spill && qp >= row0_qp - 4.0f;
      if (second_pass_p && !by_half && !by_spill) break;
      if (qp < row0_qp - one_picture_fall) break;
      if ((chained && b > chain_bound) || !((b < 0.8f * planned && qp < before) || b < f * headroom + b1)) break;
    }
    qp += 0.5f;
  }
  rec->row_qp[y].store(qp, relaxed);
  rec->row_qscale[y].store(rc_qp2qscale_f(qp), relaxed);
}

// Without B pictures, before row y's split column (x: the CTU coded last,
// -1 before its first), against the fill the rows know (chain_fill, each
// picture in flight at its overrun where nothing of it is known): the QP of
// the rest of the row rises while the picture is predicted past three
// quarters of that fill, or past what is left of it after half of what the
// plan leaves; it falls (by one step at most, never below the rate mode's
// QP) while the bits it adds would otherwise spill from a full buffer.  The
// rows have not measured this picture yet and predict it as its plan did:
// where the newest reference outgrew its plan, the rest is counted that
// much larger too (the pictures in flight share one stale model: where
// flower at 10 pictures a second turns, four P pictures in a row took
// 2.4-4.8 times their plans); and the picture is counted at no less than it
// expects to take from its own coded CTUs (expected_take).
// A P picture among B pictures is counted by its own coded CTUs alone, and
// rises only past what is left of the fill after half of what its plan
// leaves (as at its split columns).  Its rows' predictors, before its split
// columns, foretold 1.2-1.9 times what such pictures took (flower 640x360
// at 10 pictures a second, 100 kb/s in 50 kbit: 46-65 kbit for pictures
// planned at 34-37 that took 20-32), and its plan is the three quarters of
// the fill the rows held to: so held, 72 flower streams at 50-200 kb/s in
// half a second's buffer gave up 2.9 points of the rate on average (up to
// 10) and 0.15 dB (up to 0.4).  Its reference is often coded already when it
// starts, the B pictures between them in flight: the rows hold it then too,
// to the fill with those counted at their overruns.
// A second pass's rows (every picture type) rise only while the picture is
// predicted past the whole fill they know, and never fall here.  Its
// pictures are planned against the pictures in flight at their plans, which
// those took up to 2.5 times of (flower at 10 pictures a second, 40-300
// kb/s in half a second's buffer: 9 of 38 second passes ran the buffer dry,
// P pictures coded 10-18 QPs below their first pass, or B pictures beside a
// P picture, having taken 1.3-2.5 times their plans); so held, none, and
// the P picture's own check may let it reach past the fill (twopass.cpp).
// Held to half of what the plan leaves, as one pass's P pictures among B
// pictures, the default flower case in test_two_pass fell 3 points further
// below its rate.
void vbv_row_hold(encoder_t *ctx, int32_t x, int32_t y) {
  const ratecontrol_t *rc = ctx->rc;
  const param_t &p = ctx->param;
  frame_t *rec = ctx->cur_recon;
  const bool second_pass = rc->two_pass;
  if ((!rc->chain_on && !second_pass) || !rc->planned_valid || rc->planned_bits <= 0) return;
  const int32_t cols = ctx->ctu_cols;
  float done = bits_outside_ctus(ctx);
  for (int32_t r = y; r >= 0; r--) {
    const int32_t c = x + (y - r);
    if (c < 0) continue;
    done += static_cast<float>(c < cols ? rec->ctu_bits[r * cols + c].load(relaxed) : rec->row_bits[r].load(relaxed));
  }
  float ref_took = 1.0f;
  int32_t read = 0;
  const float known = chain_fill(ctx, std::max(x, 0), y, CHAIN_OVERRUN, &ref_took, &read);
  const bool among_b = p.bframes > 0;
  if (read == 0 && !among_b && !second_pass) return;
  const float planned = static_cast<float>(rc->planned_bits);
  const float half_left = hold_half_left(known, planned);
  const float bound = second_pass ? known : among_b ? half_left : std::min(half_left, 0.75f * known);
  const float scale = std::max(ref_took, 1.0f);
  // Before the row's first CTU, that CTU is left out of the prediction.
  const int32_t from = std::max(x, 0);
  // The rows' predictors learn from the CTUs right of the split columns,
  // whose QPs the re-decision has often raised far: below those QPs they
  // may foretell a fraction of what the picture takes.  The picture's own
  // coded CTUs against its plan (what it publishes for the pictures after
  // it) bound the rest too, the rest growing as 1/q from the plan's
  // qscale.  Flower 352x208 at 10 pictures a second, 60 kb/s in 30 kbit,
  // level 4: a P picture planned at 6.7 kbit, its rows predicting it under
  // 9 kbit at every CTU before their split columns where its coded CTUs
  // foretold 15-18, took 13.7 kbit and ran the buffer 6.5% of its size
  // below empty.
  const expected_take_t own = expected_take(ctx, x, y);
  const float plan_q = rc_qp2qscale_f(rc->frame_qp);
  auto predicted = [&](float q) {
    const float mine = own.take - own.rest_planned * own.took * (1.0f - plan_q / rc_qp2qscale_f(q));
    if (among_b) return mine;
    return std::max(vbv_predict_frame_bits(ctx, from, y, q, true) * scale + done, mine);
  };
  const float q0 = rec->row_qp[y].load(relaxed);
  const float qmax = std::min(q0 + static_cast<float>(p.qp_step), static_cast<float>(p.qp_max));
  float qp = q0;
  while (qp < qmax && predicted(qp) > bound) qp += 0.5f;
  // Constant bitrate's P picture before a key picture within the buffer's
  // span does not fall: its plan left that fill to the key picture.  Let
  // fall, one at 480x272 (10 pictures a second, 150 kb/s in 75 kbit, a key
  // picture every 20) took 1.2 times its plan, and the P picture after the
  // key picture ran the buffer 0.4% of its size dry while the rows counted
  // B pictures in flight at their class's overrun; since they count them as
  // after their split columns, the lowest fill comes to 0.05 (kept: 0.08).
  if (qp == q0 && !second_pass && !(rc->cbr && rc->key_ahead)) {
    const float qmin = std::max({q0 - static_cast<float>(p.qp_step), rc->qp_novbv, static_cast<float>(p.qp_min)});
    const float full = keep_full_fill(rc);
    while (qp - 0.5f >= qmin && known - predicted(qp - 0.5f) >= full) qp -= 0.5f;
  }
  if (qp == q0) return;
  rec->row_qp[y].store(qp, relaxed);
  rec->row_qscale[y].store(rc_qp2qscale_f(qp), relaxed);
}

// When the picture is collected: its slice type's row predictors learn from
// the parts of the rows that were predicted when they re-decided.  (Learning
// there rather than at the last CTU lets the learned pair travel on to the
// frame context that finishes next, as the picture predictors do.)
void vbv_learn_rows(encoder_t *ctx) {
  ratecontrol_t *rc = ctx->rc;
  const frame_t *rec = ctx->cur_recon;
  const frame_t *in = ctx->cur_input;
  const frame_t *ref = l0_reference(ctx);
  const int32_t cols = ctx->ctu_cols;
  ratecontrol_predictor_t *pair = rc->row_pred_init[picture_class(ctx)];
  // A picture one CTU wide taught its pair CTU by CTU while it was coded.
  if (cols == 1) {
    pair[0] = rc->row_pred_cur[0];
    pair[1] = rc->row_pred_cur[1];
    return;
  }
  for (int32_t r = 0; r < ctx->ctu_rows; r++) {
    const int32_t s = split_column(ctx, r);
    if (s >= cols - 1) continue;
    const int32_t n = cols - 1 - s;
    const float bits = static_cast<float>(rec->row_bits[r].load(relaxed) - rec->ctu_bits[r * cols + s].load(relaxed));
    const float q = rec->row_qscale[r].load(relaxed);
    const uint32_t cost = cost_right_of(in->lookahead_row_costs, in->lookahead_ctu_costs, cols, r, s);
    if (cost >= 10) ratecontrol_update_predictor(&pair[0], q, static_cast<float>(cost), bits, n);
    const uint32_t intra = cost_right_of(in->intra_row_costs, in->intra_ctu_costs, cols, r, s);
    if (ref && ref->row_qp[r].load(relaxed) > rc->frame_qp && intra >= 10)
      ratecontrol_update_predictor(&pair[1], q, static_cast<float>(intra), bits, n);
  }
}

// A picture one CTU wide or one CTU high is coded CTU after CTU (a row of
// one column waits for the whole row above).  Its rows have no split column
// inside them, or one row has a single split halfway, so a plan that the
// predictors got wrong (their first guesses, before any picture of the
// class returned) would run the buffer dry unchecked.  Such a picture
// learns from every CTU it has coded and decides again after each one: the
// rest of a one-row picture, the next row of a one-column picture.
bool coded_in_sequence(const encoder_t *ctx) { return ctx->ctu_cols == 1 || ctx->ctu_rows == 1; }

void vbv_sequence_step(encoder_t *ctx, int32_t bits) {
  const ratecontrol_t *rc = ctx->rc;
  const frame_t *in = ctx->cur_input;
  const frame_t *rec = ctx->cur_recon;
  const int32_t x = ctx->ctu_x, y = ctx->ctu_y, i = ctx->ctu_addr;
  if (i == ctx->ctu_count - 1) return;
  // One column: the picture's pair predicts the rows below; one row: the
  // row's own pair predicts the rest of it.
  ratecontrol_predictor_t *pr = ctx->ctu_cols == 1 ? rc->row_pred_cur : rc->row_preds + 2 * y;
  const float q = rec->row_qscale[y].load(relaxed);
  const uint32_t cost = in->lookahead_ctu_costs[i] - (x > 0 ? in->lookahead_ctu_costs[i - 1] : 0);
  if (cost >= 10) ratecontrol_update_predictor(&pr[0], q, static_cast<float>(cost), static_cast<float>(bits), 1.0f);
  const frame_t *ref = l0_reference(ctx);
  const uint32_t intra = in->intra_ctu_costs[i] - (x > 0 ? in->intra_ctu_costs[i - 1] : 0);
  if (ref && ref_row_qp(ctx, ref, x, y, y) > rec->row_qp[y].load(relaxed) && intra >= 10)
    ratecontrol_update_predictor(&pr[1], q, static_cast<float>(intra), static_cast<float>(bits), 1.0f);
  vbv_row_redecide(ctx, x, y, true);
}

// The CTU's share of the QP offsets.  The CU-tree leaves one offset per
// CTU, at its top-left block.  Adaptive quantisation measures every 16x16
// block; the CTU takes the mean over its blocks inside the picture, since one
// block of sixteen says little about the rest (a flat corner would lower
// the QP of a textured CTU by ten and more).
float aq_ctu_offset(const encoder_t *ctx) {
  const frame_t *in = ctx->cur_input;
  const int32_t stride = 4 * ctx->ctu_cols;
  const int32_t first = (4 * ctx->ctu_y) * stride + 4 * ctx->ctu_x;
  if (in->use_cutree_offsets) return in->aq_cutree_offsets[first];
  const int32_t m = std::min(4, (ctx->height - 64 * ctx->ctu_y + 15) / 16);
  const int32_t n = std::min(4, (ctx->width - 64 * ctx->ctu_x + 15) / 16);
  float sum = 0.0f;
  for (int32_t by = 0; by < m; by++)
    for (int32_t bx = 0; bx < n; bx++) sum += in->aq_offsets[first + by * stride + bx];
  return sum / static_cast<float>(m * n);
}

// Constant bitrate: whether a P picture costs under half of what its class
// last learned from, as one whose reference is a source picture or two away
// does where a looped clip turns back.  Its bits do not follow that cost:
// the model plans it far below its neighbours' QP and it takes as much as
// they do or more, so the class learns nothing from it, neither its cost
// nor its size.  Taken as the class's cost, the next P picture of an
// ordinary cost looked like a new scene and was planned on a guess at a
// quarter of the fill, held 7 QPs above the model's QP, and the buffer
// spilled 45 kbit in its group (flower 640x360 at 10 pictures a second,
// 100 kb/s).  Taught by its size (at 0.4 of the usual cost, 35-67 kbit at
// QP 19-21), the predictor sized the next P picture at twice what it takes,
// the buffer's plan held it 13 QPs above the model's QP, where flower's P
// pictures skip their texture, and it took 3 kbit: its second came to 0.35
// times the rate (flower 352x208 at 10 pictures a second, 100 and 150 kb/s
// in a buffer of one second).
bool cbr_cheap_p(const ratecontrol_t *rc, int32_t cls) {
  return rc->cbr && cls == RC_CLASS_P && 2.0f * static_cast<float>(rc->last_cost) < rc->frame_pred_cost[cls];
}

}  // namespace

void ratecontrol_update_predictor(ratecontrol_predictor_t *p, float q, float cost, float bits, float n) {
  const float old = p->coeff / p->count;
  const float fresh = bits * q / cost;
  const float clipped = std::clamp(fresh, old / 2.0f, 2.0f * old);
  float off = (bits * q - cost * clipped) / n;
  float coeff = clipped;
  if (off < 0.0f) {
    coeff = fresh;
    off = 0.0f;
  }
  p->count = p->count * p->decay + 1.0f;
  p->coeff = p->coeff * p->decay + coeff;
  p->offset = p->offset * p->decay + off;
}

void ratecontrol_ctu_start(encoder_t *ctx) {
  const ratecontrol_t *rc = ctx->rc;
  ratecontrol_ctu_factor(ctx);
  if (!rc->vbv || ctx->ctu_x != 0) return;
  const int32_t y = ctx->ctu_y;
  rc->row_preds[2 * y] = rc->row_pred_cur[0];
  rc->row_preds[2 * y + 1] = rc->row_pred_cur[1];
  frame_t *rec = ctx->cur_recon;
  // The rows of a one-column picture go on at the QP the row above decided.
  const float qp = ctx->ctu_cols == 1 && y > 0 ? rec->row_qp[y - 1].load(relaxed) : rc->frame_qp;
  rec->row_qp[y].store(qp, relaxed);
  rec->row_qscale[y].store(rc_qp2qscale_f(qp), relaxed);
  if (!coded_in_sequence(ctx) && split_column(ctx, y) > 0) vbv_row_hold(ctx, -1, y);
}

int32_t ratecontrol_ctu_qp(encoder_t *ctx) {
  const ratecontrol_t *rc = ctx->rc;
  const param_t &p = ctx->param;
  float qp = rc->frame_qp;
  if (rc->vbv) {
    qp = ctx->cur_recon->row_qp[ctx->ctu_y].load(relaxed);
    if (rc->cbr_vbv_steer > 0) {
      // A constant-bitrate picture planned blind steers its CTUs as without
      // a buffer (cbr_vbv_steer_plan says where), but only below the rows'
      // QP: the rows hold a picture that spends past its plan already, and
      // raised above them towards targets the start values set too low,
      // the first group of bus took 3 QPs more than its plan and bus lost
      // 0.3-0.6 dB (an intra picture that opens a scene and the pictures
      // after a cut steer either way, or where the buffer has no room only
      // above them: cbr_vbv_steer_plan).  Once the picture has spent twice
      // its target the rows' QP is its floor.
      const float steered = rc->cbr_steer_qp - cbr_ctu_qp_offset(ctx->cbr_ctu_factor);
      const double known = static_cast<double>(cbr_ctu_known_bits(rc->cbr_ctu_model, ctx->ctu_x, ctx->ctu_y));
      const float free = rc->cbr_steer_way == CBR_STEER_EITHER   ? steered
                         : rc->cbr_steer_way == CBR_STEER_COARSER ? std::max(qp, steered)
                                                                  : std::min(qp, steered);
      qp = known <= cbr_vbv_steer_bound * rc->cbr_vbv_steer ? free : std::max(qp, steered);
    }
  } else if (rc->cbr) {
    qp -= cbr_ctu_qp_offset(ctx->cbr_ctu_factor);
  } else if (ctx->aq_mode_active) {
    qp += aq_ctu_offset(ctx);
  }
  // The upper limit wins when the limits cross.
  const int32_t q = static_cast<int32_t>(
      std::min(std::max(qp + 0.5f, static_cast<float>(p.qp_min)), static_cast<float>(p.qp_max)));
  ctx->ctu_qp = q;
  ctx->cur_recon->ctu_qp[ctx->ctu_addr] = static_cast<uint8_t>(q);
  // Lambda rows: I, P (by type, also when coded as a B slice), then B by
  // pyramid level.
  int32_t row;
  if (ctx->slice_type_code == 2)
    row = 0;
  else if (ctx->cur_input->frame_type_code == TARNHEVCENC_TYPE_P)
    row = 1;
  else
    row = 1 + std::clamp<int32_t>(ctx->cur_input->b_level, 1, 3);
  // q is inside the limits already, for the B rows too.
  ctx->ctu_lambda_ssd = ctx->tables->lambda_ssd_table[row][q];
  ctx->ctu_lambda_sad = ctx->tables->lambda_sad_table[row][q];
  ctx->lambda_ssd = ctx->ctu_lambda_ssd / 256.0;
  ctx->lambda_sad = std::sqrt(ctx->lambda_ssd);
  return q;
}

void ratecontrol_ctu_end(encoder_t *ctx, int32_t bits) {
  const ratecontrol_t *rc = ctx->rc;
  frame_t *rec = ctx->cur_recon;
  const int32_t x = ctx->ctu_x, y = ctx->ctu_y, i = ctx->ctu_addr;
  ratecontrol_ctu_counts(ctx, bits);
  ctx->rc_qp_sum += rc->vbv ? rec->row_qp[y].load(relaxed) : rc->frame_qp;
  // The QP the CUs were coded with, per 16x16 block inside the picture.
  if (rc->cbr) {
    ctx->rc_coded_qp_sum += ctx->ctu_qp;
  } else if (!rc->abr && !rc->vbv && !ctx->aq_mode_active) {
    ctx->rc_coded_qp_sum += unit_qp(ctx->maps, 0);
  } else {
    const int32_t m = std::min(4, (ctx->height - 64 * y + 15) / 16), n = std::min(4, (ctx->width - 64 * x + 15) / 16);
    int32_t sum = 0;
    for (int32_t by = 0; by < m; by++)
      for (int32_t bx = 0; bx < n; bx++) sum += unit_qp(ctx->maps, zorder_of(4 * bx, 4 * by));
    ctx->rc_coded_qp_sum += static_cast<double>(sum) / (m * n);
  }
  if (!rc->vbv) return;
  const int32_t row_bits = rec->row_bits[y].load(relaxed) + bits;
  rec->row_bits[y].store(row_bits, relaxed);
  rec->ctu_bits[i].store(row_bits, relaxed);
  const int32_t cols = ctx->ctu_cols;
  if (coded_in_sequence(ctx)) {
    vbv_sequence_step(ctx, bits);
  } else if (x < split_column(ctx, y) - 1) {
    vbv_row_hold(ctx, x, y);
  } else if (x >= split_column(ctx, y) && x < cols - 1) {
    if (x == split_column(ctx, y)) {
      const frame_t *in = ctx->cur_input;
      ratecontrol_predictor_t *pr = rc->row_preds + 2 * y;
      const float q = rec->row_qscale[y].load(relaxed);
      const uint32_t cost = in->lookahead_ctu_costs[i];
      if (cost >= 10 && x > 0) ratecontrol_update_predictor(&pr[0], q, static_cast<float>(cost), row_bits, x);
      const frame_t *ref = l0_reference(ctx);
      const uint32_t intra = in->intra_ctu_costs[i];
      if (ref && ref_row_qp(ctx, ref, x, y, y) > rec->row_qp[y].load(relaxed) && intra >= 10 && x > 0)
        ratecontrol_update_predictor(&pr[1], q, static_cast<float>(intra), row_bits, x);
    }
    vbv_row_redecide(ctx, x, y, x == split_column(ctx, y));
  }
  if (rc->chain_read) vbv_publish(ctx, x, y);
}

void ratecontrol_ctu_coded_qps(encoder_t *ctx, int32_t prev_qp) {
  ctu_unit_maps_t *d = &ctx->maps->unit;
  const int32_t w = std::min(64, ctx->width - 64 * ctx->ctu_x), h = std::min(64, ctx->height - 64 * ctx->ctu_y);
  bool delta_sent = false;
  // The CTU is one quantisation group: CUs before the first with a coded
  // residual keep the predicted QP, which is the previous CU's (H.265
  // 8.6.1: neighbours outside the CTU count as that).
  auto walk = [&](auto &self, int32_t x, int32_t y, int32_t log2) -> void {
    if (x >= w || y >= h) return;
    const int32_t size = 1 << log2;
    const int32_t z = zorder_of(x >> 2, y >> 2);
    if (log2 > 3 && (x + size > w || y + size > h || d->cu_log2[z] < log2)) {
      const int32_t half = size >> 1;
      for (int32_t k = 0; k < 4; k++) self(self, x + (k & 1) * half, y + (k >> 1) * half, log2 - 1);
      return;
    }
    const int32_t units = 1 << (2 * (log2 - 2));
    for (int32_t u = z; u < z + units && !delta_sent; u++) delta_sent = (d->cbf[u] & 7) != 0;
    const int8_t qp = static_cast<int8_t>(delta_sent ? ctx->ctu_qp : prev_qp);
    for (int32_t u = z; u < z + units; u++) ctx->maps->qp[map8_of_z(u)] = qp;
  };
  walk(walk, 0, 0, 6);
}

int32_t ratecontrol_non_slice_bits(const encoder_t *ctx) {
  const nal_list_t *l = &ctx->nals;
  int32_t bytes = 0;
  for (int32_t i = 0; i < l->count; i++) {
    const nal_t &n = l->items[i];
    if (n.type >= NAL_VPS) bytes += static_cast<int32_t>(n.size) + (n.long_start_code ? 4 : 3);
  }
  return 8 * bytes;
}

void ratecontrol_accumulate_qp(ratecontrol_t *rc, double qp_sum, double coded_qp_sum) {
  rc->qp_sum += qp_sum;
  rc->coded_qp_sum += coded_qp_sum;
}

int32_t ratecontrol_frame_end(encoder_t *ctx, int64_t bits) {
  ratecontrol_t *rc = ctx->rc;
  const param_t &p = ctx->param;
  frame_t *rec = ctx->cur_recon;
  const frame_t *pic = ctx->cur_input;
  rc->qp_sum /= ctx->ctu_count;
  rc->coded_qp_sum /= ctx->ctu_count;
  rec->avg_qp = rc->qp_sum;
  rec->avg_coded_qp = rc->coded_qp_sum;
  const double q = rc_qp2qscale(rec->avg_qp);
  if (rc->vbv) {
    const int32_t cls = pic->frame_type_code == TARNHEVCENC_TYPE_BREF ? RC_CLASS_BREF
                        : pic->frame_type_code == TARNHEVCENC_TYPE_P  ? RC_CLASS_P
                                                                      : picture_class(ctx);
    const bool learns = ratecontrol_bits_follow_cost(ctx);
    if (learns && rc->last_cost >= ctx->ctu_count && rc->last_cost >= 10 && !cbr_cheap_p(rc, cls)) {
      ratecontrol_update_predictor(&rc->frame_pred[cls], static_cast<float>(q), static_cast<float>(rc->last_cost),
                                   static_cast<float>(bits), 1.0f);
      rc->frame_pred_q[cls] = static_cast<float>(q);
      rc->frame_pred_fixed[cls] = static_cast<float>(ratecontrol_non_slice_bits(ctx));
      rc->frame_pred_slices[cls] = static_cast<float>(bits) - rc->frame_pred_fixed[cls];
      rc->frame_pred_cost[cls] = static_cast<float>(rc->last_cost);
      if (cls == RC_CLASS_B || cls == RC_CLASS_BREF)
        rc->run_slices[std::min<int32_t>(pic->b_level, 3)] = rc->frame_pred_slices[cls];
    }
    // The guess's error on what it predicted: the slices.
    const int64_t predicted = static_cast<int64_t>(rc->planned_bits) - rc->planned_fixed;
    // How far the class's plans have lately run over: the largest ratio,
    // easing back towards 1 by a tenth per picture of the class.  A plan
    // smaller than a picture's refill counts its overrun in proportion:
    // a B picture planned at a seventh of the refill that took four times
    // its plan costs the buffer little, but as the class's overrun it
    // counted every B picture in flight four times over (flower at 10
    // pictures a second, 12 in flight: P pictures held 13 QPs up).
    if (learns && rc->planned_valid && predicted > 0 && !rc->planned_on_guess) {
      const float over = static_cast<float>(bits - rc->planned_fixed) / static_cast<float>(predicted);
      const float weight = std::min(1.0f, static_cast<float>(predicted) / static_cast<float>(std::max(rc->vbv_rate, 1)));
      float &e = rc->plan_overrun[rc->planned_class];
      e = std::max(1.0f + weight * (over - 1.0f), 1.0f + 0.9f * (std::max(e, 1.0f) - 1.0f));
      float &m = rc->plan_took[rc->planned_class];
      const float took = std::clamp(over, 0.25f, 4.0f);
      m = m > 0.0f ? std::exp(0.7f * std::log(m) + 0.3f * std::log(took)) : took;
    }
    if (learns && rc->planned_on_guess && predicted > 0)
      rc->guess_error[rc->planned_class] =
          static_cast<float>(bits - rc->planned_fixed) / static_cast<float>(predicted);
    if (learns) vbv_learn_rows(ctx);
    ratecontrol_t *inst = ctx->instance->rc;
    inst->vbv_fill = static_cast<int32_t>(
        std::min<int64_t>(inst->vbv_size, std::max<int64_t>(0, inst->vbv_fill - bits) + inst->vbv_rate));
  }
  // Pictures whose qscale did not come from a complexity (LQP, B pictures
  // before any P) leave the sum alone rather than divide by nothing.
  if (rc->abr && rc->last_cplx > 0.0) {
    const bool b = pic->frame_type_code == TARNHEVCENC_TYPE_B || pic->frame_type_code == TARNHEVCENC_TYPE_BREF;
    const double k = b ? std::fabs(p.pb_factor[rc_b_index(pic->b_level)]) : 1.0;
    rc->cplxr_sum = rc->decay * (rc->cplxr_sum + static_cast<double>(bits) * q / (k * rc->last_cplx));
    rc->wanted_bits_window =
        rc->decay * (rc->wanted_bits_window + rc->bitrate * static_cast<double>(p.fps_den) / p.fps_num);
  }
  if (rc->cbr) cbr_frame_end(ctx, bits);
  twopass_frame_end(ctx, bits);
  return 0;
}
