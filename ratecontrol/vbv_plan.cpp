// VBV at the start of a picture: the buffer fill it starts with, counting
// every picture still in flight, and the one planning step that turns the
// rate mode's qscale into the qscale and size the buffer allows.
#include <algorithm>
#include <cmath>

#include "encoder/encoder.h"
#include "ratecontrol/cbr.h"
#include "ratecontrol/lookahead.h"
#include "ratecontrol/ratecontrol.h"

namespace {

// One pass whose stream is the one kept: not the first of two passes,
// whose pictures the second pass's plan is built on (its size model and
// margins were measured against first passes coded without the rules that
// ask this; coded with them, flower at 10 pictures a second without B
// pictures ran a second pass 2% of its buffer below empty).
bool one_pass_stream(const encoder_t *ctx) { return ctx->rc->abr && !ctx->param.stats_write; }

// A constant QP, which VBV may only raise.
bool constant_qp(const encoder_t *ctx) { return ctx->param.rcmode == TARNHEVCENC_RC_CQP; }

bool is_key_type(uint32_t t) {
  return t == TARNHEVCENC_TYPE_IDR || t == TARNHEVCENC_TYPE_CRA || t == TARNHEVCENC_TYPE_I;
}

// Whether a first reference of the picture was skipped through by speed
// mode 3 and may still show what its source has long left (the first
// pictures after a scene cut).
bool predicts_from_skipped(const encoder_t *ctx) {
  if (ctx->slice_type_code == 2) return false;
  for (int32_t l = 0; l < 2; l++)
    if (ctx->ref_count[l] > 0 && ctx->ref_list[l][0]->skipped_by_speed) return true;
  return false;
}

// A picture one CTU high or one CTU wide is coded CTU after CTU and can
// hardly correct its size while it is coded: a one-row picture 66 wide
// spends nearly all its bits in its first CTU, at the plan's QP.
bool one_ctu_across(const encoder_t *ctx) { return ctx->ctu_cols == 1 || ctx->ctu_rows == 1; }

// How far, at least, the overrun and worst fills count such a picture in
// flight over its plan once its class's plans have been checked.  All
// intra 66x34 at QP 4 in a 56 kbit buffer: the plans were within 15%, but
// at a low fill each picture may take three quarters of what is left, and
// four in flight each 15% over, counted at their plans, took the buffer 2%
// of its size below empty.
constexpr float ONE_CTU_OVERRUN = 1.25f;

// What VBV sizes a picture from: its lookahead cost with its class's
// predictor.  A P picture farther from its reference than the lookahead
// estimates (the P picture behind sixteen B pictures) has no cost, and a
// picture predicted from one that speed mode 3 skipped through codes what
// its reference lacks, which its cost against the sources does not see:
// both are sized as intra pictures of their intra cost, which bounds them.
struct vbv_basis_t {
  float cost;
  int32_t cls;
};

vbv_basis_t vbv_basis(const encoder_t *ctx) {
  const ratecontrol_t *rc = ctx->rc;
  if (rc->last_cost > 0 && !predicts_from_skipped(ctx))
    return {static_cast<float>(rc->last_cost), rc_class_of_type(ctx->cur_input->frame_type_code)};
  return {static_cast<float>(ctx->cur_input->intra_cost), RC_CLASS_I};
}

bool planned_by_guess(const ratecontrol_t *rc, const vbv_basis_t &basis);

// The power of the step below the learned qscale that the size model adds
// to the predictor's 1/q.
float below_learned_power(int32_t cls) { return cls == RC_CLASS_B || cls == RC_CLASS_BREF ? 1.0f : 0.4f; }

// What an intra picture of the picture's intra cost takes more at qscale q
// than at the coarser qscale ref_q: its class predictor's slices, as 1/q.
float intra_gain(const encoder_t *ctx, float q, float ref_q) {
  const ratecontrol_t *rc = ctx->rc;
  const float intra = static_cast<float>(ctx->cur_input->intra_cost);
  auto slices = [&](float x) {
    const float bits = ratecontrol_predict(&rc->frame_pred[RC_CLASS_I], intra, x, 1.0f);
    return std::max(bits - rc->frame_pred_fixed[RC_CLASS_I] * rc->frame_pred_q[RC_CLASS_I] / x, 0.0f);
  };
  return std::max(slices(q) - slices(ref_q), 0.0f);
}

// The size model: the bits a picture of this cost and class takes at q.
// The predictor learned the bits outside the slices of the picture it
// learned from as part of it and scales them as 1/q; they do not change
// with the qscale, and the picture planned now carries its own (parameter
// sets: with one in every picture, 91 of a 66x34 intra picture's 130 bytes
// at QP 51).  Below the qscale the predictor learned at, the slices grow
// faster than its 1/q: about as 1/q^2 for B pictures and 1/q^1.4 for P and
// I pictures (foreman, QP 22 against 31-36).  The predictor averages over
// many pictures; half the last picture of the class, scaled to this one's
// qscale, bounds the slices from below, whatever this picture's cost (the
// half-resolution cost tells sizes apart only roughly where the QP is low
// and texture takes the bits): a P picture that the lookahead costed at a
// tenth of its neighbours', planned 8 QPs below them, took three times its
// plan, the whole buffer.  Only half: bounded by the whole last picture,
// plans ran 16% above what P pictures took (flower at 10 pictures a
// second), where the predictor alone came within 9%, and the rows, which
// only raise a picture's QP, never gave those bits back.
float size_at(const encoder_t *ctx, const vbv_basis_t &basis, double q) {
  const ratecontrol_t *rc = ctx->rc;
  const int32_t c = basis.cls;
  const float qf = static_cast<float>(q);
  const float bits = ratecontrol_predict(&rc->frame_pred[c], basis.cost, qf, 1.0f);
  const float learned = rc->frame_pred_q[c];
  float slices = std::max(bits - rc->frame_pred_fixed[c] * learned / qf, 0.0f);
  if (learned > 0.0f) {
    const float like_last = rc->frame_pred_slices[c] * learned / qf;
    slices = std::max(slices, 0.5f * like_last);
  }
  if (learned > qf) slices *= std::pow(learned / qf, below_learned_power(c));
  // Constant bitrate: above that qscale the slices fall as the rate-lambda
  // model's class expects, faster than 1/q (P pictures as 1/q^1.4,
  // reference B pictures as 1/q^2, other B pictures as 1/q^2.7).  By 1/q a P picture of flower at 10
  // pictures a second, held 8 QPs above what the model asked because its
  // plan did not fit, took a fifth of that plan: the buffer spilled and the
  // stream fell a quarter below its rate.  Not on a guess: a new scene's
  // pictures (bus after foreman) fall as the last scene's did not.
  if (rc->cbr && c != RC_CLASS_I && learned > 0.0f && learned < qf && !planned_by_guess(rc, basis))
    slices *= std::pow(learned / qf, static_cast<float>(cbr_size_power(ctx)) - 1.0f);
  // A picture coded finer than its reference also codes what the coarser
  // reference lost: the first P picture after a key picture the buffer held
  // at QP 37, planned at QP 26, took 2.1 times its plan (about the square
  // root of the qscale ratio).  In one pass it grows with the whole ratio:
  // after key pictures held 8-12 QPs coarser (flower at 10 pictures a
  // second, 100-200 kb/s) such P pictures took 1.8-2.7 times plans made
  // with the square root, and 12 of 48 streams ran the buffer dry, the
  // worst 31% of its size below empty (with the whole ratio 6, the worst
  // 2.2%).  Constant bitrate keeps the square root: with the whole ratio
  // its flower streams at 10 pictures a second fell 4-8% below the rate
  // and one still ran dry.  So do both passes of two (one_pass_stream),
  // and one pass without B pictures, whose rows hold a P picture to what
  // the pictures in flight have coded (there the whole ratio cost 3.5-4.5
  // points of the rate with half a second's buffer and left as many
  // streams below empty).
  if (ctx->slice_type_code != 2 && ctx->ref_count[0] > 0) {
    const float ref_q = rc_qp2qscale_f(static_cast<float>(ctx->ref_list[0][0]->avg_qp));
    const bool whole = one_pass_stream(ctx) && ctx->param.bframes > 0;
    const float alike = slices;
    if (ref_q > qf) slices *= whole ? ref_q / qf : std::sqrt(ref_q / qf);
    // In one pass (an average bitrate or a capped rate factor) a P picture
    // coded finer than its reference codes at least what an intra picture of
    // its intra cost gains from the reference's qscale down to its own, on top
    // of what it takes after a reference as fine as itself.  Flower at 10
    // pictures a second, constant QP 28: the first P picture took 15.7 kbyte
    // after a key picture at QP 38, 1.9 after one at 28, and the key picture
    // itself 5.4 at 38 and 17.6 at 28.  Grown by the square root of the qscale
    // ratio, P pictures after key pictures the buffer held 8-15 QPs up took 2-4
    // times their plans, and P pictures the rate mode stepped down 4 QPs a
    // picture where the looped clip turns took 1.5-3 times theirs, four in
    // flight at once: without B pictures 18 of 46 flower and cut-clip streams
    // (40-400 kbit) ran the buffer dry, the worst by 45% of its size; so sized,
    // none, and the rate 0.5 points nearer the target.  With B pictures the
    // whole ratio alone left 9 of 88 such streams dry (by up to 4.3%); so
    // sized, none, for 0.65 points of the rate and 0.09 dB.  The intra picture
    // grows here as 1/q of its predictor, as on flower between QP 28 and 44;
    // with the steeper growth below the predictor's qscale the low rates fell 2
    // points further below the target.  Under a capped rate factor the buffer
    // holds flower's P pictures near QP 36, where they go from skipping their
    // texture to coding it (0.3-1.8 kbit at QP 36-37, 35 kbit at 35.7 with the
    // same cost): grown by the ratio alone, 10 of 42 such streams (CRF 14 and
    // 18 at 100-400 kb/s, with and without B pictures) ran the buffer dry, the
    // worst by 22%; so sized, 2, the worst by 6%, for 2.3 points of the rate.
    // Constant bitrate's P pictures too, on top of the square root: after
    // the key picture at 250 that the buffer held 10 QPs above the model's
    // QP (flower 640x360 at 10 pictures a second, 80 kb/s in 80 kbit), the
    // P picture took 3.2 times its plan and the buffer ran 23% of its size
    // below empty.  A constant QP's too, which the buffer raises as often:
    // with the square root alone, P pictures 4-8 QPs finer than the key or
    // P picture before them (carphone, bus 240x160 and foreman CIF at 40
    // kb/s in 10-40 kbit, a key picture every 3-8; 3-5 CTU rows, too few
    // to correct them) took 1.4-2.9 times their plans, and the buffer ran
    // 7.5-25% of its size below empty where the highest QP throughout kept
    // a sixth to two thirds of it.
    if (ref_q > qf && (one_pass_stream(ctx) || rc->cbr || constant_qp(ctx)) && c == RC_CLASS_P)
      slices = std::max(slices, alike + intra_gain(ctx, qf, ref_q));
    // A B picture coded far finer than its reference codes much of what
    // the reference lost, nearly as an intra picture would, which its cost
    // against the sources does not see.  While no B picture of its class
    // has returned, it is sized as no smaller than an intra picture of its
    // intra cost at its qscale: B pictures coded 10-35 QPs finer than their
    // references (a B factor of 0.01) took 3-18 times their first-guess
    // plans where pictures one CTU high cannot correct themselves (66x34:
    // three in flight ran the buffer 16-160% of its size below empty), and
    // 2.8-3.6 times where the rows correct too little too late (176x144, a
    // buffer started a tenth full: 5% below empty).  Only 6 QPs finer and
    // more, and not P pictures: P pictures planned finer than a key picture
    // the buffer raised came within their plans, and so held they lost
    // 12-30% of their bits (short narrow clips of qa's sweep).
    const bool b = c == RC_CLASS_B || c == RC_CLASS_BREF;
    if (b && ref_q > 2.0f * qf && rc->frame_pred[c].count < 1.25f) {
      const float intra = static_cast<float>(ctx->cur_input->intra_cost);
      const float as_intra = ratecontrol_predict(&rc->frame_pred[RC_CLASS_I], intra, qf, 1.0f) -
                             rc->frame_pred_fixed[RC_CLASS_I] * rc->frame_pred_q[RC_CLASS_I] / qf;
      slices = std::max(slices, as_intra);
    }
  }
  return slices + static_cast<float>(rc->planned_fixed);
}

// Display distance from this picture to the next key picture the encoder
// already knows of: one the lookahead has decided (a scene cut or a period's
// end among the pictures waiting to start), or the end of the key period
// that runs now.  0 when none is known.
int32_t known_key_distance(const encoder_t *ctx) {
  const lookahead_queue_t *q = ctx->instance->lookahead;
  const int32_t f = ctx->cur_input->frame_number;
  int32_t best = 0;
  for (int32_t i = 0; q && i < q->decided->count; i++) {
    const frame_t *d = static_cast<const frame_t *>(q->decided->items[i]);
    if (is_key_type(d->frame_type_code) && d->frame_number > f && (best == 0 || d->frame_number - f < best))
      best = d->frame_number - f;
  }
  const int32_t period = ctx->param.idr_period;
  if (q && period > 0 && q->last_key_frame_number <= f) {
    const int32_t due = q->last_key_frame_number + period - f;
    if (due > 0 && (best == 0 || due < best)) best = due;
  }
  return best;
}

// Whether a key picture d pictures after the picture (known_key_distance)
// comes within the buffer's span, or the next group.
bool key_in_span(const encoder_t *ctx, int32_t d) {
  const ratecontrol_t *rc = ctx->rc;
  const int32_t span = std::max(ctx->param.bframes + 1, rc->vbv_size / std::max(rc->vbv_rate, 1));
  return d > 0 && d <= span;
}

// Whether the picture's size is a guess: its class's predictor has not
// learned from a finished picture yet, or the picture costs more than
// twice the one it last learned from (a new scene, whose pictures the
// class's plans have not been checked on: at a cut into bus without a key
// picture, the first P picture took 2.1 times a plan of half the fill).
bool planned_by_guess(const ratecontrol_t *rc, const vbv_basis_t &basis) {
  const float seen = rc->frame_pred_cost[basis.cls];
  return rc->frame_pred[basis.cls].count < 1.25f || (seen > 0.0f && basis.cost > 2.0f * seen);
}

// What a picture of class c takes at the highest QP allowed: its class's
// predictor at the cost it last learned from; before the intra class has
// learned, the picture's own intra cost on that predictor's first guess
// (other classes: nothing known, 0).
float least_size(const encoder_t *ctx, int32_t c) {
  const ratecontrol_t *rc = ctx->rc;
  const float learned = rc->frame_pred_q[c];
  const float top = static_cast<float>(rc->lmax[c]);
  if (learned <= 0.0f) {
    if (c != RC_CLASS_I) return 0.0f;
    const float intra = static_cast<float>(ctx->cur_input->intra_cost);
    return ratecontrol_predict(&rc->frame_pred[c], intra, top, 1.0f) + static_cast<float>(rc->planned_fixed);
  }
  const float bits = ratecontrol_predict(&rc->frame_pred[c], rc->frame_pred_cost[c], top, 1.0f);
  return std::max(bits - rc->frame_pred_fixed[c] * learned / top, 0.0f) + rc->frame_pred_fixed[c];
}

// The fill the pictures after this one need even at the highest QP: over
// the buffer's span, key pictures (the next one known, then every key
// period) sized as intra pictures and the others as P pictures, each less
// its refill, at the point where the running sum is highest.  A plan takes
// its share of what is left above that.  Where a key picture at the highest
// QP takes more than the refill of its period, every picture before it
// otherwise spent as if the steady drain left room: constant QP 4 on
// carphone 176x144 at 120 pictures a second, a key picture every 2, 40
// kb/s in 40 kbit started full (333 bits a picture, 1.9 kbit an intra
// picture at QP 51): the first three pictures took 28 kbit and the buffer
// ran 27% of its size dry, where QP 51 throughout keeps 43% (bus 240x160
// at 300 a second, a key picture every 5: 1.3% dry; carphone all intra at
// QP 24, 40 in 40 kbit: 5% dry).  Where it binds at all on flower at 10
// pictures a second (640x360 at 50 kb/s in 25 kbit, whose intra pictures
// take 8 kbit at QP 51 against 5 kbit of refill: 12 of 72 streams), the
// rate moved 0.04 points on average.
float drain_reserve(const encoder_t *ctx) {
  const ratecontrol_t *rc = ctx->rc;
  const float key = least_size(ctx, RC_CLASS_I), other = least_size(ctx, RC_CLASS_P);
  const float rate = static_cast<float>(rc->vbv_rate);
  if (key <= rate && other <= rate) return 0.0f;
  const int32_t span = std::min(rc->vbv_size / std::max(rc->vbv_rate, 1), 4096);
  const int32_t first = known_key_distance(ctx), period = ctx->param.idr_period;
  float deficit = 0.0f, reserve = 0.0f;
  for (int32_t d = 1; d <= span; d++) {
    const bool is_key = first > 0 && (d == first || (d > first && period > 0 && (d - first) % period == 0));
    deficit += (is_key ? key : other) - rate;
    reserve = std::max(reserve, deficit);
  }
  return reserve;
}

// Constant bitrate's intra picture may take this share of the fill, and of
// the overrun fill, where its class's share is smaller.  The pictures after
// it predict from it: held to half the fill by a buffer of a second at 10
// pictures a second, flower's key pictures came 10-12 QPs above the P
// pictures, and the two seconds after each were 4-5 dB below the rest.  So
// it takes most of a full buffer, and the pictures of the next half second,
// which the buffer then holds at QPs where they code little more than
// skips, show the finer key picture (flower 352x208 to 640x360 at 10
// pictures a second, 60-400 kb/s in a second's buffer, 38 streams at levels
// 1 and 4: +0.06 to +0.47 dB, 0.25 on average, the rate 0.35 points nearer
// its target; 60-150 kb/s in three quarters of a second, 24 streams: +0.31
// dB; none below empty; at 30 pictures a second the model's own intra QP
// fits in half the fill, and foreman and the cut clip change by 0.02 dB at
// most).  Not at a scene cut: sized from the last scene's key picture, the
// new scene's outgrew that by a third, and at nine tenths of a half
// second's fill took more than the whole buffer (carphone, bus and carphone
// again at 176x144, 80-120 kb/s: 8 of 12 streams below empty, down to 15%
// of the buffer; at the class's share none, the lowest fill 0.19-0.32).
constexpr float CBR_INTRA_SHARE = 0.9f;

// The share of the fill a picture's plan may take (ratecontrol_vbv_share).
// In one pass with B pictures, a P picture's three quarters bound what it
// is expected to take, its plan times what its class's plans lately took
// (plan_took: against the plans, which this share does not scale, so the
// two do not feed back on each other), and its plan itself up to four
// fifths of the fill.  The size model is an upper bound: held to three
// quarters of a nearly full buffer, such P pictures took about half of
// that, and the refill of each run of B pictures spilled (flower at 10
// pictures a second, 50-200 kb/s in half a second's buffer: 51 of 72
// streams 20-38% below the rate).  Not further than four fifths: with the
// share's own bound alone (a plan running over as far as its class's
// lately did still leaves a tenth of the fill), P plans reached nine tenths
// of it, and B pictures in flight that took 2.5 times their plans ran the
// buffer below empty in 2 of 216 flower streams at 50-300 kb/s.  Not
// without B pictures, whose rows hold a P picture to what the pictures in
// flight have coded: there the same moved the rate either way by up to 3.5
// points.
float share_of_fill(const encoder_t *ctx, int32_t cls) {
  const ratecontrol_t *rc = ctx->rc;
  const float took = rc->plan_took[cls];
  const bool expected = cls == RC_CLASS_P && one_pass_stream(ctx) && ctx->param.bframes > 0 && took > 0.0f;
  return ratecontrol_vbv_share(rc, cls, expected ? std::clamp(0.75f / took, 0.75f, 0.8f) : 0.75f);
}

// The most bits the picture may take.  Three limits, the smallest holds:
// - Size errors: the picture takes no more of the expected fill than its
//   class's share (ratecontrol_vbv_share), and no more of the overrun fill
//   than its overrun share (ratecontrol_vbv_overrun_share); a quarter of
//   the fill where its size is a guess (planned_by_guess), since a whole
//   set of frame contexts may start on that guess.  Where intra pictures
//   in flight were planned on a first guess no finished picture has
//   checked, the buffer must also outlast them at twice their plans (bus
//   CIF all-intra took 1.3-1.55 times its plans): half of that fill.
//   The bits outside the slices (parameter sets) are known, not predicted.
// - An intra picture leaves room for the anchor coded after it, which
//   predicts from it at about 1/ip_factor of its size, and gains the refill
//   of the pictures up to that anchor.
// - A P picture shortly before a key picture the encoder knows of (within
//   the buffer's span, or the next group) leaves room for that picture,
//   sized as the P picture's intra cost at the intra qscale: the two share
//   the fill and the refill of the pictures up to the key picture (B
//   pictures take about a quarter of the rate).  Only then: reserving room
//   for an intra picture at every P picture, where one intra picture is
//   larger than the buffer, holds every P picture at its highest QP and
//   starves the stream.
float vbv_allowance(encoder_t *ctx, int32_t t, const vbv_basis_t &basis, double q) {
  const ratecontrol_t *rc = ctx->rc;
  const param_t &p = ctx->param;
  const float fixed = static_cast<float>(rc->planned_fixed);
  const float fill = std::max(static_cast<float>(rc->vbv_fill_start) - drain_reserve(ctx), 1.0f);
  const float rate = static_cast<float>(rc->vbv_rate);
  // Constant bitrate's intra picture on a guess takes its class's share:
  // its quarter held flower's first picture 13 QPs above the model's, the
  // buffer then spilled for a second (3% of the bits of 30 seconds).
  // It stays planned on a guess, and the pictures after it count it at
  // twice its plan while it is in flight (vbv_guess_risk).
  const bool guess = planned_by_guess(rc, basis) && !(rc->cbr && basis.cls == RC_CLASS_I);
  const bool cbr_intra = rc->cbr && t == RC_CLASS_I && !rc->cbr_window->at_cut;
  float share = guess ? 0.25f : share_of_fill(ctx, basis.cls);
  if (cbr_intra) share = std::max(share, CBR_INTRA_SHARE);
  float allowed = fixed + share * std::max(fill - fixed, 0.0f);
  const float over = std::max(fill - static_cast<float>(rc->vbv_overrun_risk), 1.0f);
  // A picture that cannot correct itself leaves room for running over as
  // far as the pictures in flight like it are counted to.
  float over_share = ratecontrol_vbv_overrun_share(rc, basis.cls);
  if (cbr_intra) over_share = std::max(over_share, CBR_INTRA_SHARE);
  if (one_ctu_across(ctx) && !guess && !rc->single_frame_vbv)
    over_share = std::min(over_share, 1.0f / (1.1f * ONE_CTU_OVERRUN));
  if (rc->vbv_overrun_risk > 0) allowed = std::min(allowed, fixed + over_share * std::max(over - fixed, 0.0f));
  if (rc->vbv_guess_risk > 0) {
    const float worst = std::max(over - static_cast<float>(rc->vbv_guess_risk), 1.0f);
    allowed = std::min(allowed, fixed + 0.5f * std::max(worst - fixed, 0.0f));
  }
  const float ipf = std::fabs(p.ip_factor);
  if (t == RC_CLASS_I) {
    const float room = fill + static_cast<float>(p.bframes + 1) * rate;
    allowed = std::min(allowed, room / (1.0f + 1.0f / ipf));
  } else if (t == RC_CLASS_P) {
    const int32_t d = known_key_distance(ctx);
    if (key_in_span(ctx, d)) {
      // The P picture and the key picture share the fill and the refill up
      // to the key picture, each in proportion to its size.
      const float intra = static_cast<float>(ratecontrol_get_intra_cost(ctx));
      const float key = ratecontrol_predict(&rc->frame_pred[RC_CLASS_I], intra, static_cast<float>(q) / ipf, 1.0f);
      const float own = size_at(ctx, basis, q);
      const float room = fill + (0.75f * static_cast<float>(d - 1) + 1.0f) * rate;
      if (own + key > room) allowed = std::min(allowed, room * own / (own + key));
    }
  }
  return std::max(allowed, fixed);
}

// What the fill a full buffer spills from is above the fill at the start:
// the likely fill's gain in one pass with B pictures, else the overrun
// fill's loss.  Not in the first of two passes, whose pictures the second
// pass's plan is built on (flower at 100 kb/s in 50 kbit: its second pass
// fell 1.6 points further below the rate); not without B pictures, whose rows
// hold each P picture to what the pictures in flight have coded (flower
// 352x208 at 60 kb/s in 30 kbit fell 4 points further below the rate).
float spill_fill_offset(const encoder_t *ctx) {
  const ratecontrol_t *rc = ctx->rc;
  const bool likely = one_pass_stream(ctx) && ctx->param.bframes > 0;
  return static_cast<float>(likely ? rc->vbv_likely_gain : -rc->vbv_overrun_risk);
}

// What a full buffer would spill by the end of the P picture's run of B
// pictures (those the lookahead decided before it in display order, coded
// after it), from the fill it starts with: their refill and its own, less
// what the last B picture of each one's pyramid level took, or of its
// class before one of the level has finished (0 without B pictures).  By
// the last of its class alone, the run's middle reference picture counted
// as whichever reference picture had finished last, and which one that is
// follows how many pictures are in flight: with seven B pictures, five
// frame contexts had seen a smaller one of the second level, seven the
// middle one, and the cut clip at 30 pictures a second (400 kb/s in a
// second's buffer, level 1) came 0.8% below its rate with one thread and
// 6.6% with four and eight.
float run_spill(const encoder_t *ctx) {
  const ratecontrol_t *rc = ctx->rc;
  const lookahead_queue_t *q = ctx->instance->lookahead;
  const int32_t f = ctx->cur_input->frame_number;
  float taken = 0.0f;
  int32_t n = 0;
  for (int32_t i = 0; q && i < q->decided->count; i++) {
    const frame_t *d = static_cast<const frame_t *>(q->decided->items[i]);
    if (d->frame_number >= f) continue;
    const int32_t c = d->frame_type_code == TARNHEVCENC_TYPE_BREF ? RC_CLASS_BREF : RC_CLASS_B;
    const float level = rc->run_slices[std::min<int32_t>(d->b_level, 3)];
    taken += std::max(level > 0.0f ? level : rc->frame_pred_slices[c], 0.0f) + static_cast<float>(rc->planned_fixed);
    n++;
  }
  if (n == 0) return 0.0f;
  return static_cast<float>(rc->vbv_fill_start) + static_cast<float>(n + 1) * static_cast<float>(rc->vbv_rate) -
         static_cast<float>(rc->vbv_size) - taken;
}

// How far a B picture takes the spill below its references: its own QP
// is theirs less their offsets, and a reference B picture held at the
// highest QP did not code its offset.  Where that puts it more than 4 QPs
// below the finest of its first references as coded, it is taken no
// further than 4 QPs below that reference, nor 4 below the QP its class's
// size was last measured at: from there the size model extrapolates, and
// B pictures finer than their references code what those lost.  Under a
// capped rate factor 28 with a B factor of 100 (flower 640x360 at 25
// pictures a second, 57 kb/s in 14 kbit, six B pictures) B pictures
// between references coded at QP 51 had their own at 38-44, and four in
// flight took the spill to QP 43-44; sized from B pictures at 51 that took
// 0.3 kbit (nearly all skipped), they took 6.6-9.7 kbit each and ran the
// buffer 88% of its size below empty (at QP 45, twice their refill each;
// at 47, 1.6-1.8 kbit, within it).  Bounded by the references alone,
// flower at 10 pictures a second with that B factor (100 kb/s in 50 kbit)
// still took B pictures 3-4 QPs finer than their references, sized from B
// pictures at QP 30-33 that took 0.5-1.9 kbit, to 33-55 kbit, and ran the
// buffer up to 138% of its size below empty.  A B picture's own QP is no
// more than the default B factor's offset, 2.3 QPs, below its finest
// reference, so there this never binds: bounded by the measured QP
// wherever the spill took a B picture finer than its references, flower
// streams at the default B factor moved 0.1-0.2 points further below the
// rate, and on one that a test checks the buffer ran dry.
constexpr double B_SPILL_STEP = 4.0;

double b_spill_floor(const encoder_t *ctx, double own, int32_t cls) {
  double finest = 0.0;
  for (int32_t l = 0; l < 2; l++) {
    if (ctx->ref_count[l] == 0) continue;
    const double r = rc_qp2qscale(ctx->ref_list[l][0]->avg_qp);
    finest = finest > 0.0 ? std::min(finest, r) : r;
  }
  const double step = std::exp2(B_SPILL_STEP / 6.0);
  if (own >= finest / step) return own;
  return std::max({finest / step, static_cast<double>(ctx->rc->frame_pred_q[cls]) / step});
}

// In a buffer of less than two pictures' refill every plan is most of the
// fill, and nothing after the picture can make up for its running over.
// There a P or intra picture goes no more than 4 QPs below the QP its
// class's size was last measured at: further down the size model only
// extrapolates, and from pictures the buffer held near the highest QP,
// which code little but skips, it foretells a fraction of what the picture
// takes.  Constant QP 34 and 43 on flower 640x360 at 25-30 pictures a
// second in 12-13 kbit: P pictures measured at QP 49 (0.4 kbit), planned
// at 41-43, took 12.1-14.8 kbit, more than the whole buffer.  Bounded so
// in every buffer where a third of the fill could not take the plan,
// flower at 10 pictures a second in half a second's buffer (ABR and capped
// CRF 18, 50-200 kb/s) fell 3 points further below its rate and 0.14 dB,
// where its shares and rows already kept the buffer filled.
constexpr double MEASURED_STEP = 4.0;

// The share of the fill a non-B picture's plan is in a buffer of about one
// picture, which its rows hold it to.  At the whole fill the rows rose only
// once the picture was predicted past all of it, and a picture three CTU
// rows high whose last row took more than they foretold ran the buffer dry
// (flower 322x186: an intra picture at one picture a second under constant
// bitrate took 100.1% of the fill, a P picture at 299 kb/s 105%); at nine
// tenths, the margin the rows' fall keeps below the fill too, neither did,
// nor any of the random cases in one picture's buffer that had.
constexpr float ONE_PICTURE_PLAN = 0.9f;

double measured_step_floor(const encoder_t *ctx, int32_t t, const vbv_basis_t &basis) {
  const ratecontrol_t *rc = ctx->rc;
  const double measured = rc->frame_pred_q[basis.cls];
  if (t == RC_CLASS_B || measured <= 0.0 || rc->vbv_size >= 2 * rc->vbv_rate) return 0.0;
  return measured / std::exp2(MEASURED_STEP / 6.0);
}

// The smallest qscale from q up to the highest allowed whose size fits.
double fit_qscale(const encoder_t *ctx, const vbv_basis_t &basis, double q, double top, float allowed) {
  if (size_at(ctx, basis, q) <= allowed) return q;
  if (size_at(ctx, basis, top) > allowed) return top;
  double lo = q, hi = top;
  for (int32_t k = 0; k < 24; k++) {
    const double mid = std::sqrt(lo * hi);
    (size_at(ctx, basis, mid) <= allowed ? hi : lo) = mid;
  }
  return hi;
}

// What a picture still in flight is counted to take of its plan, by how
// the fill is counted (fill_count_t).  The expected fill counts each at its
// plan, or at what the plans of its class lately took on average where
// that is more.  The overrun fill counts each at as much more as the plans
// of its class have lately run over (not their mean: most plans come in
// below and a few far above, and with twelve pictures in flight those few
// empty the buffer): the picture planned now must outlast that, but may
// take more of it than of the expected fill (vbv_allowance); a share of
// the overrun fill alone starved 8 threads (flower at 10 pictures a
// second, half a second's buffer: 30% below the rate, 1 thread 18%).  A
// plan made on its class predictor's first guess is off by about the
// error that guess showed in the last such picture that finished: every
// picture started before the first of them returned (a whole set of frame
// contexts) was planned on the same guess (bus CIF all-intra: each took
// 1.27-1.39 times its plan).  A picture one CTU wide or high, which can
// hardly correct itself while it is coded, counts at least twice its plan
// on a guess and, in the overrun and worst fills, a quarter over a checked
// plan (in a buffer of one picture its non-B plan is the whole refill).
// The worst fill counts intra plans at least twice while no such plan has
// returned.
// The rows' fill (FILL_ROWS) counts constant bitrate's B pictures in flight
// further over their plans than the overrun fill does, for the rows of the
// P or intra picture planned beside them (cbr_b_overrun).
// The likely fill (FILL_LIKELY) counts each at what the plans of its class
// lately took, below its plan too, and a plan on a first guess at the error
// that guess showed: not a bound but the fill a full buffer is most likely
// to spill from (in one pass with B pictures: spill_fill_offset).
// Counted from the overrun fill, the spill shrank with every picture in
// flight, each B picture counted at its plan or above where B plans lately
// took half of theirs: flower at 10 pictures a second with seven B
// pictures in half a second's buffer came 10-21% below its rate at
// 300-800 kb/s (now 7-18%), and with three under the capped rate factor 14
// at 400 kb/s 14.4% (now 10.6-12.5%).
enum fill_count_t { FILL_EXPECTED, FILL_OVERRUN, FILL_WORST, FILL_ROWS, FILL_LIKELY };

// Constant bitrate, for the rows of a P or intra picture from their split
// columns on (FILL_ROWS): the least a B picture in flight is counted to
// overrun its plan by.  The model codes B pictures at their references'
// QP or finer wherever the window gives them room, and where a looped clip
// turns back four B pictures in flight took 1.3-2.7 times their plans
// (flower 480x272 at 10 pictures a second, 150 kb/s): the P picture beside
// them came in below its plan and still took the buffer below empty.
// Counted so in the plan itself, or at 2.0-2.5 in the rows, the buffer
// spilled more and flower fell 1-4 points further below its rate.  The
// plan counts them at their class's overrun: counted there at 1.5 at least
// (a bound from when a B run spanned most of the buffer), 29 of 436
// streams under a buffer ran below empty, by as much in all, where 24 do
// so, and 148 missed a bar of the rate, its seconds or the buffer where
// 144 do (flower 352x208 to 768x576 at 10 pictures a second, 60-400 kb/s,
// also with a key picture every 20 or 50; foreman and the cut clip;
// buffers of half a second to two; levels 1-4; 1 and 8 threads).
float cbr_b_overrun(const encoder_t *ctx, int32_t cls, fill_count_t how) {
  const bool b = cls == RC_CLASS_B || cls == RC_CLASS_BREF;
  return ctx->rc->cbr && b && how == FILL_ROWS && !rc_b_type(ctx->cur_input->frame_type_code) ? 1.65f : 1.0f;
}

// One pass at an average bitrate or a rate factor, for a B picture: the
// least another B picture in flight is counted to overrun its plan by in
// the overrun and worst fills.  No row waits for a B picture that is no
// reference, so nothing shows what it takes until it returns; B plans are
// small against the refill and the class's overrun hardly counts theirs
// (ratecontrol_frame_end).  On the cut clip at 30 pictures a second, two
// such B pictures in flight took 1.4 and 1.7 times their plans, counted at
// 1.08, and the reference B picture planned beside them at three quarters
// of the fill took the buffer below empty.  For P pictures too, the same
// floor (1.25-1.5) cost up to 7 points of the rate with a second's buffer.
float b_overrun_in_one_pass(const encoder_t *ctx, int32_t cls, fill_count_t how) {
  const bool b = cls == RC_CLASS_B || cls == RC_CLASS_BREF;
  if (!ctx->rc->abr || !b || how == FILL_EXPECTED || !rc_b_type(ctx->cur_input->frame_type_code)) return 1.0f;
  return 1.15f;
}

// Constant bitrate, for a predicted picture: how many times its first-guess
// plan an intra picture in flight is counted to take in the worst fill.
// The model's intra picture on a guess takes half the fill and its rows
// hold it to that; counted at twice its plan it left the first P picture
// nothing (flower at 10 pictures a second held at QP 50 beside an intra
// picture at 40) and the buffer spilled through the first second, 3-4% of
// the rate of 30 seconds.  An intra picture planned after one keeps the
// factor of 2 (bus coded all intra took up to 1.55 times its plans).
float first_intra_factor(const encoder_t *ctx) {
  const bool predicted = ctx->slice_type_code != 2 && !is_key_type(ctx->cur_input->frame_type_code);
  return ctx->rc->cbr && predicted ? 1.5f : 2.0f;
}

float guess_factor(const encoder_t *ctx, const encoder_t *o, fill_count_t how) {
  const ratecontrol_t *orc = o->rc;
  const int32_t cls = orc->planned_class;
  const bool narrow = one_ctu_across(o);
  if (!orc->planned_on_guess) {
    const float least = narrow && how != FILL_EXPECTED && !ctx->rc->single_frame_vbv ? ONE_CTU_OVERRUN : 1.0f;
    const float overrun = std::max({ctx->rc->plan_overrun[cls], cbr_b_overrun(ctx, cls, how),
                                    b_overrun_in_one_pass(ctx, cls, how), least});
    const float took = ctx->rc->plan_took[cls];
    if (how == FILL_EXPECTED) return std::clamp(took, 1.0f, overrun);
    if (how == FILL_LIKELY) return took > 0.0f ? std::min(took, overrun) : 1.0f;
    // An intra picture in flight may run past its plan as far as its rows
    // let it (ratecontrol_vbv_tolerance), and nothing of it is known until
    // it returns (no row waits for it): it counts so.  Bus all intra at 25
    // pictures a second, 506 kb/s in 126 kbit, five frame contexts: four
    // intra pictures in flight, each planned at 30% of the buffer while
    // the plans of its class had kept to them, took 1.1-1.22 times their
    // plans, within what their rows allowed, and ran the buffer 13% of its
    // size below empty.  Counting P and B pictures in flight so too cost
    // the cut clip 5-9 points of its rate; counted so in a second pass,
    // flower with a key picture every 25 fell 1-2 points further below its
    // rate (the second pass plans its pictures against their first pass).
    if (o->slice_type_code == 2 && one_pass_stream(ctx)) {
      const float slices = static_cast<float>(std::max(orc->planned_bits - orc->planned_fixed, 1));
      return std::max(overrun, 1.0f + ratecontrol_vbv_tolerance(o) / slices);
    }
    return overrun;
  }
  float measured = ctx->rc->guess_error[cls];
  // B pictures whose first guess no finished picture has checked yet are
  // off as the other B class's first guess was: at the start of the cut
  // clip (30 pictures a second, seven B pictures) four B pictures in flight
  // on the first guess took 1.6-1.9 times their plans, counted at their
  // plans where the reference B picture's guess had shown 1.6, and the P
  // picture planned beside them ran the buffer dry.
  if (measured <= 0.0f && ctx->rc->abr && (cls == RC_CLASS_B || cls == RC_CLASS_BREF))
    measured = ctx->rc->guess_error[cls == RC_CLASS_B ? RC_CLASS_BREF : RC_CLASS_B];
  const bool intra = cls == RC_CLASS_I;
  if (how == FILL_LIKELY) return measured > 0.0f ? measured : 1.0f;
  if (narrow) return std::max(measured, 2.0f);
  if (how == FILL_WORST && intra && measured <= 0.0f) return first_intra_factor(ctx);
  return std::max(measured, 1.0f);
}

// What picture o, in flight, is counted to take: the guess's error is on
// its slices; the bits outside them are known.
int64_t inflight_take(const encoder_t *ctx, const encoder_t *o, fill_count_t how) {
  const float slices = static_cast<float>(std::max(o->rc->planned_bits - o->rc->planned_fixed, 0));
  return static_cast<int64_t>(slices * guess_factor(ctx, o, how)) + o->rc->planned_fixed;
}

bool refers_to(const encoder_t *ctx, const frame_t *f) {
  for (int32_t l = 0; l < 2; l++)
    for (int32_t i = 0; i < ctx->ref_count[l]; i++)
      if (ctx->ref_list[l][i] == f) return true;
  return false;
}

// What the rows count the pictures in flight with (ratecontrol_t::chain_fill
// and the fields after it), and the frame numbers of those pictures, which
// the picture publishes what it learns of with its own take.
void chain_start(encoder_t *ctx) {
  ratecontrol_t *rc = ctx->rc;
  const encoder_t *enc = ctx->instance;
  frame_t *rec = ctx->cur_recon;
  rc->chain_fill = enc->rc->vbv_fill;
  rc->chain_count = 0;
  rc->chain_prior = 1.0f;
  // A second pass's rows read them too, to hold their picture within the
  // fill they know (vbv_row_hold, vbv_row_redecide).
  rc->chain_read = rc->abr || constant_qp(ctx) || rc->cbr || rc->two_pass;
  // In one pass a P picture among B pictures is held before its split
  // columns too: there, on flower 352x208 (six CTUs by four), lie 14 of its
  // 24 CTUs and most of its bits, and unheld, P pictures planned at three
  // quarters of a full buffer took 1.3-1.8 times their plans and ran it up
  // to 41% of its size below empty (10 pictures a second, 50 kb/s in 25
  // kbit).  Not a first pass: held so, its second passes with three B
  // pictures ran their buffers up to 6.5% of their size dry (test_two_pass).
  // Constant bitrate's P pictures are held so too, with B pictures or
  // without: held only from their split columns on, to a fill that counted
  // the P picture in flight before them at its plan, two in a row took 1.25
  // and 1.4 times their plans where flower at 10 pictures a second turns,
  // and 41 of 88 flower streams at 60-200 kb/s in buffers of half a second
  // to one ran dry (by up to 46% of the buffer); so held, none, and the
  // rate came 0.9 points nearer the target on average (-7.8% to -6.9%).
  // A constant QP's rows are held as one pass's: its P pictures are
  // planned against those in flight counted at their plans, which they
  // took up to 3 times of, and unheld, constant QP 26 on flower 352x208 at
  // 10 pictures a second (50 kb/s in 25 kbit, no B pictures) ran the buffer
  // 37% of its size below empty; so held, none of 72 flower streams (QP 26
  // and 36, 50-200 kb/s in half a second's buffer, none, three and the
  // default B pictures) ran it dry where 8 did, and they gained 0.04 dB.
  const bool p = ctx->cur_input->frame_type_code == TARNHEVCENC_TYPE_P;
  const bool one_pass = rc->abr || constant_qp(ctx);
  const bool p_among_b = p && (one_pass_stream(ctx) || constant_qp(ctx));
  rc->chain_on = (one_pass && (ctx->param.bframes == 0 || p_among_b)) || (rc->cbr && p);
  if (!rc->chain_read) return;
  for (int32_t k = 0; k < enc->inflight_count && rc->chain_count < 16; k++) {
    const encoder_t *o = enc->inflight[k];
    if (o == ctx || !o->rc->planned_valid) continue;
    const int32_t n = rc->chain_count++;
    rc->chain_ref[n] = refers_to(ctx, o->cur_recon) ? o->cur_recon : nullptr;
    rec->vbv_ids[n] = o->cur_input->frame_number;
    // Constant bitrate's rows count what they know nothing of as its rows'
    // fill does, B pictures further over their plans (cbr_b_overrun): at
    // their class's overrun, a reference B picture in flight took 3.2 times
    // its plan beside a P picture held to its own, and flower 640x360 at
    // 100 kb/s in 75 kbit went 1.3% of the buffer below empty.
    rc->chain_take[n][0] = static_cast<int32_t>(inflight_take(ctx, o, FILL_EXPECTED));
    rc->chain_take[n][1] = static_cast<int32_t>(inflight_take(ctx, o, rc->cbr ? FILL_ROWS : FILL_OVERRUN));
  }
  rec->vbv_id_count = rc->chain_count;
}

}  // namespace

float ratecontrol_run_spill(const encoder_t *ctx) { return run_spill(ctx); }

float ratecontrol_vbv_size(const encoder_t *ctx, double q) { return size_at(ctx, vbv_basis(ctx), q); }

float ratecontrol_vbv_share(const ratecontrol_t *rc, int32_t cls, float top) {
  const float overrun = rc->plan_overrun[cls];
  return overrun > 0.0f ? std::clamp(1.0f / (1.1f * overrun), 0.4f, top) : 0.5f;
}

float ratecontrol_vbv_tolerance(const encoder_t *ctx) {
  const ratecontrol_t *rc = ctx->rc;
  const float left = std::max(static_cast<float>(rc->vbv_fill_start) - static_cast<float>(rc->planned_bits), 0.0f);
  const float tol = left / static_cast<float>(ctx->instance->frame_ctx_count) * static_cast<float>(rc->rate_tolerance);
  return ctx->slice_type_code != 2 ? 0.5f * tol : tol;
}

float ratecontrol_vbv_overrun_share(const ratecontrol_t *rc, int32_t cls) {
  const float overrun = rc->plan_overrun[cls];
  return overrun > 0.0f ? std::clamp(1.0f / (1.1f * overrun), 0.4f, 0.9f) : 0.5f;
}

bool ratecontrol_bits_follow_cost(const encoder_t *ctx) {
  return !ctx->cur_recon->skipped_by_speed && !predicts_from_skipped(ctx);
}

void ratecontrol_vbv_frame_start(encoder_t *ctx, int32_t reserved) {
  ratecontrol_t *rc = ctx->rc;
  frame_t *rec = ctx->cur_recon;
  for (int32_t r = 0; r < ctx->ctu_rows; r++) {
    rec->row_bits[r].store(0, std::memory_order_relaxed);
    rec->row_qscale[r].store(0.0f, std::memory_order_relaxed);
    rec->row_qp[r].store(0.0f, std::memory_order_relaxed);
  }
  const ratecontrol_predictor_t *pair = rc->row_pred_init[picture_class(ctx)];
  rc->row_pred_pic[0] = pair[0];
  rc->row_pred_pic[1] = pair[1];
  rc->row_pred_cur = rc->row_pred_pic;
  int32_t over = 0, worst = 0, rows = 0, likely = 0;
  const int32_t fill = ratecontrol_fill_ahead(ctx, &over, &worst, &rows, &likely);
  rc->vbv_fill_start = std::max(0, fill - reserved);
  rc->vbv_overrun_risk = std::max(0, fill - over);
  rc->vbv_guess_risk = std::max(0, over - worst);
  rc->vbv_rows_risk = std::max(0, fill - rows);
  rc->vbv_likely_gain = std::max(0, likely - fill);
  chain_start(ctx);
}

int32_t ratecontrol_fill_ahead(const encoder_t *ctx, int32_t *overrun_fill, int32_t *worst_fill, int32_t *rows_fill,
                              int32_t *likely_fill) {
  const ratecontrol_t *rc = ctx->rc;
  // Every picture started before this one and not yet collected leaves the
  // buffer first, in coding order.  (Choosing them by a display index below
  // this picture's coding number would skip the P picture coded ahead of its
  // B pictures, and every B picture would count on bits that are gone.)
  const encoder_t *enc = ctx->instance;
  int64_t fill[FILL_LIKELY + 1];
  std::fill(fill, fill + FILL_LIKELY + 1, static_cast<int64_t>(enc->rc->vbv_fill));
  for (int32_t k = 0; k < enc->inflight_count; k++) {
    const encoder_t *o = enc->inflight[k];
    if (o == ctx || !o->rc->planned_valid) continue;
    for (int32_t h = FILL_EXPECTED; h <= FILL_LIKELY; h++) {
      const int64_t planned = inflight_take(ctx, o, static_cast<fill_count_t>(h));
      fill[h] = std::min<int64_t>(rc->vbv_size, std::max<int64_t>(0, fill[h] - planned) + rc->vbv_rate);
    }
  }
  if (overrun_fill) *overrun_fill = static_cast<int32_t>(fill[FILL_OVERRUN]);
  if (worst_fill) *worst_fill = static_cast<int32_t>(fill[FILL_WORST]);
  if (rows_fill) *rows_fill = static_cast<int32_t>(fill[FILL_ROWS]);
  if (likely_fill) *likely_fill = static_cast<int32_t>(fill[FILL_LIKELY]);
  return static_cast<int32_t>(fill[FILL_EXPECTED]);
}

double ratecontrol_clip_qscale(encoder_t *ctx, int32_t t, double q) {
  ratecontrol_t *rc = ctx->rc;
  const param_t &p = ctx->param;
  const double lmin = rc->lmin[t], lmax = rc->lmax[t];
  const vbv_basis_t basis = vbv_basis(ctx);
  const bool plan = rc->vbv && basis.cost > 0;
  if (plan) {
    // Where the rate is the goal (average bitrate), an anchor picture
    // predicted well below the rate may spend more of it.  A constant QP or
    // rate factor is the caller's quality, which VBV caps but does not
    // exceed; B pictures follow their references.
    const float rate = static_cast<float>(rc->vbv_rate);
    const float k = rc->single_frame_vbv ? 1.0f : 2.0f;
    const bool rate_is_goal = rc->abr && !rc->lqp && p.rcmode != TARNHEVCENC_RC_CRF && t != RC_CLASS_B;
    const float bits = size_at(ctx, basis, q);
    if (rate_is_goal && bits < rate / k) q *= std::clamp(bits * k / rate, 0.1f, 1.0f);
    const float allowed = vbv_allowance(ctx, t, basis, q);
    q = fit_qscale(ctx, basis, q, std::max(q, lmax), allowed);
    // What the buffer would spill after the picture (the pictures in flight
    // counted at what their classes' plans lately took: the likely fill)
    // costs it nothing: a picture planned smaller takes it, down to its rate
    // mode's own qscale (a B picture: its references' QP, without its
    // offset), still held to what the overrun fill allows.  Spilled, a
    // buffer of a second stood full for 40 of the first 60 pictures of
    // foreman with seven B pictures, and the cut clip came 11.7% below its
    // rate (now 9.8%).  Further down, to what the references' rate mode
    // chose, B pictures coded 5 QPs finer than their references took 3-4
    // times their plans and ran the buffer dry.
    const float from = static_cast<float>(rc->vbv_fill_start) + spill_fill_offset(ctx);
    const float spill = std::min(from + static_cast<float>(rc->vbv_rate - rc->vbv_size), allowed);
    double own = std::max(rc_qp2qscale(rc->qp_novbv), lmin);
    if (t == RC_CLASS_B) own = b_spill_floor(ctx, own, basis.cls);
    if (rc->abr && !rc->lqp && own < q && spill > size_at(ctx, basis, q)) q = fit_qscale(ctx, basis, own, q, spill);
    // A P picture's B pictures come after it, each with its refill: what the
    // buffer would likely spill by the end of that run, the B pictures taking
    // what the last of their pyramid level took (run_spill), the P picture
    // may take too, down to 6 QPs below its rate mode's qscale.  Counted to
    // its own refill alone, the spill of a full buffer ran on through every
    // run of easy pictures: the cut clip of 300 pictures (seven B pictures)
    // came 9-18% below its rate with half a second's or a second's buffer
    // (now 0-7%).
    if (rate_is_goal && t == RC_CLASS_P && one_pass_stream(ctx)) {
      const float after_run = run_spill(ctx) + spill_fill_offset(ctx);
      const double floor_q = std::max(own / 2.0, lmin);
      if (after_run > size_at(ctx, basis, q) && floor_q < q)
        q = fit_qscale(ctx, basis, floor_q, q, std::min(after_run, allowed));
    }
    q = std::max(q, measured_step_floor(ctx, t, basis));
    rc->planned_on_guess = basis.cost > 0 && planned_by_guess(rc, basis);
    rc->planned_class = basis.cls;
    rc->key_ahead = t == RC_CLASS_P && key_in_span(ctx, known_key_distance(ctx));
  }
  if (lmin == lmax)
    q = lmin;
  else if (lmax <= lmin)
    q = lmax;
  else
    q = std::clamp(q, lmin, lmax);
  if (rc->vbv) {
    // In a buffer of about one picture a non-B picture's plan is most of
    // the refill, but no more than most of the fill it starts with: planned
    // at the refill, the first picture of bus (all intra, QP 38, 506 kb/s in
    // a buffer started at 0.9 of its 21 kbit) was held to 20.2 kbit and took
    // 19.2 of 18.9 (ONE_PICTURE_PLAN).
    const bool whole_buffer = rc->single_frame_vbv && t != RC_CLASS_B;
    const int32_t most = static_cast<int32_t>(ONE_PICTURE_PLAN * static_cast<float>(std::min(rc->vbv_rate, rc->vbv_fill_start)));
    rc->planned_bits = whole_buffer ? most : static_cast<int32_t>(size_at(ctx, basis, q));
    rc->planned_valid = 1;
    rc->chain_prior = guess_factor(ctx, ctx, FILL_EXPECTED);
  }
  return q;
}
