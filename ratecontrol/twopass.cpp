// The second pass while it codes: each picture's entry, its qscale from the
// plan corrected by what the pictures so far have taken, and the running
// sums; the first pass's statistics line at each picture's end.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "encoder/encoder.h"
#include "ratecontrol/ratecontrol.h"
#include "ratecontrol/twopass.h"

namespace {

int32_t slice_type_of(uint32_t frame_type) {
  if (frame_type == TARNHEVCENC_TYPE_B || frame_type == TARNHEVCENC_TYPE_BREF) return RC_CLASS_B;
  return frame_type == TARNHEVCENC_TYPE_P ? RC_CLASS_P : RC_CLASS_I;
}

char type_letter(int32_t slice_type) { return slice_type == RC_CLASS_I ? 'i' : slice_type == RC_CLASS_P ? 'p' : 'b'; }

}  // namespace

int32_t twopass_frame_start(encoder_t *ctx) {
  ratecontrol_t *rc = ctx->rc;
  const ratecontrol_t *inst = ctx->instance->rc;
  rc->coding_index = ctx->instance->coding_number;
  rc->pic_counts = {};
  rc->entry = nullptr;
  if (!inst->entries) return 0;
  const int32_t d = ctx->cur_input->frame_number;
  if (d < 0 || d >= inst->entry_count) {
    std::fprintf(stderr, "Incomplete 2pass log\n");
    return -1;
  }
  rc->entry = &inst->entries[inst->entry_order[d]];
  rc->entry->worst_bits = 0.0;
  const int32_t t = slice_type_of(ctx->cur_input->frame_type_code);
  if (rc->two_pass && rc->entry->slice_type != t)
    std::fprintf(stderr, "frame %d: Frame type of 2nd pass stats is %c. Use %c instead!\n", d,
                 type_letter(rc->entry->slice_type), type_letter(t));
  return 0;
}

namespace {

// The plan's qscale of the current picture, corrected by what the pictures
// so far took against it.
double planned_qscale(encoder_t *ctx) {
  ratecontrol_t *rc = ctx->rc;
  const encoder_t *enc = ctx->instance;
  const ratecontrol_t *inst = enc->rc;
  const ratecontrol_entry_t &e = *rc->entry;
  const double total = static_cast<double>(enc->stats->bytes) * 8.0;
  const int32_t coded = enc->coding_number, count = inst->entry_count;
  const int32_t in_flight = std::min(coded, enc->frame_ctx_count - 1);
  double abr_buffer = 2.0 * rc->rate_tolerance * rc->bitrate;
  if (coded < count) {
    // The buffer narrows as the end of the sequence nears.  One entry plans
    // no bits before it: nothing is left to divide by.
    const double last = static_cast<double>(inst->entries[count - 1].expected_bits);
    const double done = last > 0.0 ? static_cast<double>(e.expected_bits) / last : 0.0;
    const double s = std::sqrt(std::max(0.0, (1.0 - done) * count));
    abr_buffer *= s <= 0.5 ? 0.25 : 0.5 * s;
  }
  const double predicted = static_cast<double>(static_cast<int64_t>(rc->bitrate * in_flight / rc->fps + 0.5)) + total;
  double q = e.new_qscale /
             std::clamp((abr_buffer - (predicted - static_cast<double>(e.expected_bits))) / abr_buffer, 0.5, 2.0);
  if (coded + 1 - enc->frame_ctx_count >= rc->fps && rc->expected_bits_sum > 0.0) {
    const double w = std::clamp(static_cast<double>(coded) / count * 100.0, 0.0, 1.0);
    q *= std::pow(total / rc->expected_bits_sum, w);
  }
  return q;
}

// The fill the picture starts with where every picture in flight runs over
// its plan as far as its class's plans lately did, up to the most its plan
// allowed it: the check that keeps the buffer from running dry counts them
// as it counts the picture itself.  Counted at their plans, a P picture in
// flight that took 1.3-1.8 times its plan (within what its plan allowed)
// left the next P picture, planned beside three B pictures against a full
// buffer, a buffer a fifth lower, and that one ran it dry (flower at 10
// pictures a second, 80-120 kb/s in half a second's buffer, three B
// pictures and a key picture every 50).  Counted at the most their plans
// allowed whatever the class showed, the same streams came 2-5 points
// further below their rate, for up to 0.4 dB less.
//
// Among the sequence's last pictures a P or intra picture in flight counts
// at the most its plan allowed.  There the plan's correction, its buffer
// narrowed to the few pictures left, asks for the finest QPs of the
// sequence, and the last P picture follows the one before it while that
// one is still in flight: of 28 runs that a change to the sizes took below
// empty (flower at 10 pictures a second, 60-140 kb/s in half a second's
// buffer), 14 went at the last picture, which had counted the fill at up
// to 0.99 of the buffer where 0.36-0.84 was left.  The rate this costs is
// a tenth of a point.
double worst_fill(const encoder_t *ctx) {
  const encoder_t *enc = ctx->instance;
  const ratecontrol_t *inst = enc->rc;
  const bool ending = ctx->rc->entry && ctx->rc->entry - inst->entries >= inst->entry_count - enc->frame_ctx_count - 1;
  double fill = ctx->rc->vbv_fill_start;
  for (int32_t k = 0; k < enc->inflight_count; k++) {
    const ratecontrol_t *o = enc->inflight[k]->rc;
    if (enc->inflight[k] == ctx || !o->planned_valid || !o->entry) continue;
    const double over = o->planned_bits * std::max(ctx->rc->plan_overrun[o->planned_class] - 1.0, 0.0);
    const double beyond = std::max(o->entry->worst_bits - o->planned_bits, 0.0);
    const bool anchor = o->planned_class == RC_CLASS_P || o->planned_class == RC_CLASS_I;
    fill -= ending && anchor ? beyond : std::min(beyond, over);
  }
  return std::max(fill, 0.0);
}

}  // namespace

float twopass_estimate_qscale(encoder_t *ctx, int32_t t) {
  ratecontrol_t *rc = ctx->rc;
  double q = planned_qscale(ctx);
  rc->qp_novbv = rc_qscale2qp_f(static_cast<float>(q));
  if (rc->vbv) {
    // The latency tunes' steps come first: the buffer must hold the
    // picture at the qscale it is coded with (a first intra picture
    // checked at QP 21, then lowered to 17 by the zero-latency steps, took
    // 336 kbit of a 211 kbit buffer).
    q = twopass_vbv_qscale(ctx, t, ratecontrol_latency_qscale(ctx, t, q));
  } else {
    q = ratecontrol_latency_qscale(ctx, t, std::clamp(q, rc->lmin[t], rc->lmax[t]));
  }
  rc->last_qscale = q;
  rc->last_qscale_for[t] = q;
  return static_cast<float>(q);
}

double twopass_vbv_qscale(encoder_t *ctx, int32_t t, double q) {
  ratecontrol_t *rc = ctx->rc;
  ratecontrol_entry_t &e = *rc->entry;
  // The class the predictors and the in-flight accounting know it by.
  const int32_t cls = rc_class_of_type(ctx->cur_input->frame_type_code);
  auto bits_at = [&](double qs) { return twopass_entry_bits(e, qs); };
  // A picture whose first pass coded neither texture nor motion (skipped
  // throughout at a high QP) has no size there that a lower qscale could
  // scale, and the plan puts it far below, where it codes texture after all
  // (at 40 kb/s with --ipratio 0.01, P pictures of 416 bits in the first
  // pass took 7-8 kbit of a 10 kbit buffer).  The buffer check then sizes
  // it as its plan does, by the larger of that and its class predictor's
  // size for its lookahead cost.  (For the other pictures the first pass's
  // size is the better one: checked by the predictor's first guess too,
  // second passes lost up to half their bits and 17 dB.)
  const bool blind = e.tex_bits == 0 && e.mv_bits == 0;
  // A B picture comes at its references' QPs plus its offset.  Where the
  // buffer held those references above their plan, it need not follow them
  // all the way up: it comes back towards its own plan (with the
  // correction for what the pictures so far took), by one QP at most.
  // Coded finer than that, B pictures take far more than either size says
  // (flower at 10 pictures a second, 100 kb/s in 50 kbit, seven B pictures:
  // B pictures 2 QPs finer ran the buffer dry three times; at their plan,
  // 6-10 QPs finer, eleven times).  Now that the buffer's check sizes what
  // a picture finer than its reference codes again, B pictures back at
  // their plan no longer run it dry, but the bits they take come out of
  // the P pictures they predict from: at their plan, flower with seven B
  // pictures took 27% more bits for 0.9 dB less, with three 4% fewer for
  // 1.5 dB less, than with one QP.
  if (t == RC_CLASS_B) q = std::max(std::min(q, planned_qscale(ctx)), q / std::exp2(1.0 / 6.0));
  rc->last_cost = ratecontrol_get_lookahead_cost(ctx);
  auto predicted_at = [&](double qs) { return static_cast<double>(ratecontrol_vbv_size(ctx, qs)); };
  // Six QPs and more below the first pass's qscale its size says little
  // either, above all where the first pass coded almost nothing but
  // parameter sets and headers: a picture of a few hundred texture bits at
  // QP 42 took 626 kbit of a 211 kbit buffer at QP 8, where the first
  // pass's curve gave 164.  There too the larger of the two sizes counts.
  // Once the class's predictor has learned from a picture of this pass,
  // its size (bounded by the class's last picture) counts everywhere: the
  // last picture of flower, a P picture one picture after its reference
  // whose first pass coded 1.9 kbit of texture at QP 26, was planned at
  // QP 17 and took 205 kbit of a 200 kbit buffer.
  const bool learned = rc->frame_pred[cls].count >= 1.25f;
  // A picture coded finer than its finer reference codes again what that
  // reference lost to its coarser quantisation: about what the picture
  // would take as an intra picture at its own qscale less at the
  // reference's (the intra predictor of this pass sizes both).  Neither the
  // first pass, whose references sat at other QPs, nor the class predictor
  // sees it.  Flower at 10 pictures a second, 100 kb/s in 50 kbit: P
  // pictures stepping down 3-4 QPs a picture from a key picture the buffer
  // held up took 2-4 times their sizes (16-46 kbit), 36 ran the buffer dry
  // without B pictures and 3 with three.  Without B pictures each P picture
  // predicts from the one just before it, whose own size says nothing of
  // this: the two add up.  Among B pictures the P picture's size already
  // grew with its distance from its reference; the larger of the two holds
  // (added up there too, flower with seven B pictures fell from 49% to 56%
  // below its rate).
  double ref_q = 0.0;
  for (int32_t l = 0; l < 2 && t != RC_CLASS_I; l++) {
    if (ctx->ref_count[l] <= 0) continue;
    const double r = rc_qp2qscale(ctx->ref_list[l][0]->avg_qp);
    ref_q = ref_q > 0.0 ? std::min(ref_q, r) : r;
  }
  const ratecontrol_predictor_t *intra_pred = &rc->frame_pred[RC_CLASS_I];
  const float intra_cost = static_cast<float>(ratecontrol_get_intra_cost(ctx));
  auto refine_at = [&](double qs) {
    if (qs >= ref_q || intra_pred->count < 1.25f) return 0.0;
    return static_cast<double>(ratecontrol_predict(intra_pred, intra_cost, static_cast<float>(qs), 1.0f) -
                               ratecontrol_predict(intra_pred, intra_cost, static_cast<float>(ref_q), 1.0f));
  };
  // A P picture that predicts from a key picture is sized by its class's
  // predictor alone once the class has learned.  The first pass ran under
  // the same buffer, which held its key picture coarse, and the P picture
  // after it, coded a few QPs finer, spent most of its bits coding that
  // key picture's detail again (flower at 10 pictures a second, 100 kb/s in
  // 50 kbit, three B pictures and a key picture every 25: a key picture at
  // QP 43, the P picture after it at 38.7 with 27 kbit of texture).  Where
  // this pass codes the key picture at the P picture's QP there is little
  // left to code again: such P pictures took a third of the first pass's
  // size on average (an eighth where that pass had coded them 4 QPs and more
  // finer than their key picture) and 0.41-0.54 of the predictor's, and
  // checked by the first pass's size the buffer held them at the key
  // picture's QP for nothing.
  bool after_key = false;
  for (int64_t j = (&e - ctx->instance->rc->entries) - 1; j >= 0 && t == RC_CLASS_P; j--) {
    const int32_t type = ctx->instance->rc->entries[j].slice_type;
    if (type == RC_CLASS_B) continue;
    after_key = type == RC_CLASS_I;
    break;
  }
  auto own_at = [&](double qs) {
    if (after_key && learned) return predicted_at(qs);
    const bool far_below = qs * 2.0 < e.qscale;
    return blind || far_below || learned ? std::max(predicted_at(qs), bits_at(qs)) : bits_at(qs);
  };
  auto size_at = [&](double qs) {
    const double own = own_at(qs);
    return e.among_b ? std::max(own, refine_at(qs)) : own + refine_at(qs);
  };
  // The two added up bound what such a picture takes from above.  Among B
  // pictures the larger holds for the plan, but where both are large the
  // picture takes more than either: flower at 10 pictures a second, 100 kb/s
  // in 50 kbit, three B pictures and a key picture every 25, P pictures 2-4
  // QPs finer than the P picture before them, each term 34-37 kbit, took
  // 42-51 kbit of a full buffer and ran it dry.  The sum stays within a
  // fifth over the fill, counted with the pictures in flight at theirs
  // (worst_fill): the rows hold the picture to the fill they know as it is
  // coded, with what the references of the pictures in flight have coded of
  // them (vbv_row_hold), and those pictures themselves overran what this
  // fill counts them at (flower at 10 pictures a second, 40-300 kb/s in half
  // a second's buffer, levels 1 and 4: 9 of 38 second passes below empty,
  // P and B pictures in flight having taken 1.3-2.5 times their plans).
  // With the rows' hold the sum held to the fill itself left those streams
  // about 0.7 points further below their rate; a fifth over it, 1.3 points
  // nearer it than before, for 0.03 dB more, and none below empty.  Without the
  // rows' hold, let the sum reach the fill and one picture's refill and the
  // same clip at 80 kb/s in 40 kbit went below empty (the picture leaves
  // before the refill comes).
  auto worst_at = [&](double qs) { return own_at(qs) + refine_at(qs); };
  {
    // Raise the qscale until the buffer after the picture stays near its
    // plan, and never below empty.  The picture leaves the buffer before the
    // rate refills it: a plan that lets it take the fill and the refill
    // (the plan follows the buffer a picture at a time, net of the refill)
    // empties the buffer by up to one picture's rate, which at a low
    // frame rate is most of it.
    auto fill_after = [&](double qs) { return rc->vbv_fill_start + rc->vbv_rate - size_at(qs); };
    // The picture coded just before an intra picture leaves the buffer at
    // the plan's fill, not below it: the plan left that fill for the intra
    // picture (flower at 10 pictures a second, 100 kb/s in 50 kbit: the P
    // picture before the key picture at 250, planned at 3 kbit, was coded at
    // QP 25 and took 34 kbit of the full buffer, the key picture then came
    // at QP 43 and the fifty pictures after it at 43-45; at four threads the
    // key picture ran the buffer dry).  Let the picture before it fall
    // like any other and the key pictures come coarse: flower with seven,
    // three and no B pictures lost 0.6-0.8 dB at about the same rate.
    const ratecontrol_t *inst = ctx->instance->rc;
    const int64_t at = &e - inst->entries;
    const bool before_intra = at + 1 < inst->entry_count && inst->entries[at + 1].slice_type == RC_CLASS_I;
    const double full = before_intra ? 0.0 : e.expected_vbv / rc->vbv_size;
    const double qmax = full < 0.05 ? rc->lmax[t] : std::min(std::max(q * (2.0 - full), e.new_qscale), rc->lmax[t]);
    double ev = fill_after(q);
    // Where the class predictor sizes the picture before it has learned
    // from any, its first guess may be off by a factor of two and more, as
    // in one pass: the picture then takes at most a quarter of the fill (a
    // P picture 22 QPs below its first pass, sized by the guess at the
    // whole of a one-picture buffer, took 1.4 times it).
    const bool guessed = rc->frame_pred[cls].count < 1.25f;
    auto guess_fits = [&](double qs) {
      const bool by_guess = guessed && (blind || qs * 2.0 < e.qscale) && predicted_at(qs) > bits_at(qs);
      return !by_guess || size_at(qs) <= 0.25 * rc->vbv_fill_start;
    };
    // Never more of the fill than a size off by as much as the class's
    // sizes lately were still leaves (as in one pass).  Not for a P picture
    // among B pictures: the sum of its two sizes, each an upper bound, is
    // held to the fill below, and a share of the fill on top of that held
    // it to about two thirds of a full buffer.  Flower at 10 pictures a
    // second, 100 kb/s in 50 kbit, four B pictures: its P pictures took
    // 0.68 of their sizes on average, the B run after each refilled the
    // buffer and 30% of the rate spilled; without the share 25% spills, for
    // 0.2 dB more.  (B pictures let down to the spill's size took it from
    // the next P picture and lost 0.4 dB.)
    const bool by_sum_only = e.among_b && t == RC_CLASS_P;
    const double worst = worst_fill(ctx);
    const double room = ratecontrol_vbv_share(rc, cls) * rc->vbv_fill_start;
    while ((ev < e.expected_vbv / (1.0 + full) && q < qmax) || (!by_sum_only && size_at(q) > room && q < rc->lmax[t]) ||
           (!guess_fits(q) && q < rc->lmax[t]) ||
           (worst_at(q) > 1.2 * worst && q < rc->lmax[t])) {
      q *= 1.05;
      ev = fill_after(q);
    }
    q = std::clamp(q, rc->lmin[t], rc->lmax[t]);
  }
  // What the buffer, full again by the end of this P picture's B run,
  // would spill: its rows may spend it (vbv_row_redecide).  Not what the
  // pictures in flight likely leave above the fill counted as well:
  // counted with it, flower second passes went up to 11% of the buffer
  // below empty.
  rc->run_spend = t == RC_CLASS_P && e.among_b ? std::max(ratecontrol_run_spill(ctx), 0.0f) : 0.0f;
  rc->planned_bits = rc->single_frame_vbv
                         ? std::min(rc->vbv_rate, rc->vbv_fill_start)
                         : static_cast<int32_t>(std::max({predicted_at(q), bits_at(q), size_at(q)}));
  e.worst_bits = std::max(worst_at(q), static_cast<double>(rc->planned_bits));
  rc->planned_valid = 1;
  rc->planned_class = cls;
  return q;
}

void twopass_frame_end(encoder_t *ctx, int64_t bits) {
  ratecontrol_t *rc = ctx->rc;
  if (ctx->instance->rc->stats_out) twopass_write_line(ctx, bits);
  if (rc->entry) rc->expected_bits_sum += twopass_entry_bits(*rc->entry, rc_qp2qscale(rc->entry->new_qp));
}

int32_t ratecontrol_2pass_frame_type(const encoder_t *enc, int32_t display_index, int32_t *coding_index) {
  const ratecontrol_t *rc = enc->instance->rc;
  if (!rc || !rc->entries || display_index < 0 || display_index >= rc->entry_count) return -1;
  const int32_t c = rc->entry_order[display_index];
  if (coding_index) *coding_index = c;
  return rc->entries[c].frame_type;
}

int32_t ratecontrol_2pass_speed_mode(const encoder_t *enc, int32_t display_index) {
  const ratecontrol_t *rc = enc->instance->rc;
  if (!rc || !rc->entries || !rc->two_pass || display_index < 0 || display_index >= rc->entry_count) return -1;
  return rc->entries[rc->entry_order[display_index]].speed_mode;
}
