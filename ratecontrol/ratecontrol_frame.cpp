// The frame QP of each mode: constant QP by picture type, LQP, one-pass
// average bitrate and constant rate factor, and the VBV clipping of a
// picture's qscale.
#include <algorithm>
#include <cmath>

#include "encoder/encoder.h"
#include "ratecontrol/cbr.h"
#include "ratecontrol/ratecontrol.h"
#include "ratecontrol/twopass.h"

namespace {

// Rate control types a picture by what the lookahead decided, so that a P
// picture coded as a B slice is still a P picture and a B picture always
// has a pyramid level.
int32_t rc_slice_type(const encoder_t *ctx) {
  const uint32_t t = ctx->cur_input->frame_type_code;
  if (t == TARNHEVCENC_TYPE_B || t == TARNHEVCENC_TYPE_BREF) return RC_CLASS_B;
  if (t == TARNHEVCENC_TYPE_P) return RC_CLASS_P;
  return RC_CLASS_I;
}

bool is_intra_type(uint32_t t) {
  return t == TARNHEVCENC_TYPE_IDR || t == TARNHEVCENC_TYPE_CRA || t == TARNHEVCENC_TYPE_I;
}

float pred_f(const ratecontrol_predictor_t &p, float cost, float q) { return ratecontrol_predict(&p, cost, q, 1.0f); }

// The power of the step below the learned qscale that a plan adds to the
// predictor's 1/q.
float below_learned_power(int32_t cls) { return cls == RC_CLASS_B || cls == RC_CLASS_BREF ? 1.0f : 0.4f; }

// What VBV sizes a picture from: its lookahead cost with its class's
// predictor.  A P picture farther from its reference than the lookahead
// estimates (the P picture behind sixteen B pictures) has no cost; it is
// then sized as an intra picture of its intra cost, which bounds it, rather
// than left unplanned and unclipped (it took twice the buffer).
struct vbv_basis_t {
  float cost;
  int32_t cls;
};

// Whether a first reference of the picture was skipped through by speed
// mode 3 and may still show what its source has long left (the first
// pictures after a scene cut).
bool predicts_from_skipped(const encoder_t *ctx) {
  if (ctx->slice_type_code == 2) return false;
  for (int32_t l = 0; l < 2; l++)
    if (ctx->ref_count[l] > 0 && ctx->ref_list[l][0]->skipped_by_speed) return true;
  return false;
}

// A picture predicted from a picture skipped through by speed mode 3 codes
// what its reference lacks, which the lookahead's cost against the sources
// does not see: it too is sized by its intra cost (after a scene cut that
// speed mode 3 skipped over, the first picture coded again took 70 kbit of
// a 100 kbit buffer on a plan of a few).
vbv_basis_t vbv_basis(const encoder_t *ctx) {
  const ratecontrol_t *rc = ctx->rc;
  if (rc->last_cost > 0 && !predicts_from_skipped(ctx)) return {static_cast<float>(rc->last_cost), rc_class_of_type(ctx->cur_input->frame_type_code)};
  return {static_cast<float>(ctx->cur_input->intra_cost), RC_CLASS_I};
}

// The size a picture is planned to take under VBV: its slices as its
// class's predictor has them, and the bits outside them it carries.
float planned_size(const encoder_t *ctx, double q) {
  const ratecontrol_t *rc = ctx->rc;
  const auto [cost, cls] = vbv_basis(ctx);
  const float qf = static_cast<float>(q);
  const float bits = pred_f(rc->frame_pred[cls], cost, qf);
  // The predictor learned the bits outside the slices of the picture it
  // learned from as part of it, and scales them as 1/q; they do not
  // change with the qscale, and the picture planned now carries its own
  // (parameter sets: with one in every picture, 91 of a 66x34 intra
  // picture's 130 bytes at QP 51).  Its slices are the prediction without
  // them, and before the predictor has learned, its guess.
  const float learned = rc->frame_pred_q[cls];
  float slices = std::max(bits - rc->frame_pred_fixed[cls] * learned / qf, 0.0f);
  // Below the qscale the predictor learned at, the slices grow faster
  // than the predictor's 1/q: about as 1/q^2 for B pictures and 1/q^1.4 for
  // P and I pictures (foreman, QP 22 against 31-36).
  if (learned > qf) slices *= std::pow(learned / qf, below_learned_power(cls));
  return slices + static_cast<float>(rc->planned_fixed);
}

// Under VBV no picture, of whatever type, is planned to take more than half
// the fill it starts with: the pictures coded after it (a P picture's B
// pictures come after it in coding order) need the rest, and a plan that is
// off by up to a factor of two still leaves the buffer above zero.  While
// the class's predictor has not yet learned from a finished picture its
// coefficient is a guess (and a whole set of frame contexts may start on
// it before any picture returns), so the picture then takes at most a
// quarter.  The bits outside the slices (parameter sets) are known, not
// predicted: the fractions hold for the slices within the fill they leave.
// The planned size falls as 1/q, so the qscale that meets the limit is
// found in one step.
double vbv_fit_fill(const encoder_t *ctx, double q) {
  const ratecontrol_t *rc = ctx->rc;
  const vbv_basis_t basis = vbv_basis(ctx);
  if (!rc->vbv || basis.cost <= 0) return q;
  const bool learned = rc->frame_pred[basis.cls].count >= 1.25f;
  const float fixed = static_cast<float>(rc->planned_fixed);
  const float fill = static_cast<float>(std::max(rc->vbv_fill_start, 1));
  float limit = fixed + (learned ? 0.5f : 0.25f) * std::max(fill - fixed, 0.0f);
  // Intra pictures in flight planned on the intra predictor's first guess,
  // before any picture has shown how far off it is, are all off by about
  // the same factor: the buffer must also outlast them at twice their plans,
  // and this picture at twice its own.  That binds only once such plans
  // take more than about half the fill, where a whole set of frame contexts
  // starts intra pictures before the first returns (bus CIF all-intra: each
  // took 1.3-1.55 times its plan, and the buffer ran 36% dry at 8 threads).
  // The first guesses of the other classes are mostly long (B pictures took
  // a third of their plans) and are left to the quarter above.
  const float worst = std::max(fill - static_cast<float>(rc->vbv_guess_risk), 1.0f);
  limit = std::min(limit, fixed + 0.5f * std::max(worst - fixed, 0.0f));
  // Only the slices' part of the plan falls: faster than 1/q up to the
  // qscale learned at, then as 1/q.
  const float steeper = 1.0f / (1.0f + below_learned_power(basis.cls));
  for (int32_t k = 0; k < 3; k++) {
    const float bits = planned_size(ctx, q);
    if (bits <= limit) break;
    const float over = limit > fixed ? std::min((bits - fixed) / (limit - fixed), 1000.0f) : 1000.0f;
    if (q < rc->frame_pred_q[basis.cls]) {
      // A step past the learned qscale goes on from it, where the curve
      // changes.
      const double learned_q = rc->frame_pred_q[basis.cls];
      q = std::min(q * std::pow(over, steeper), learned_q);
    } else {
      q *= over;
    }
  }
  return q;
}

int32_t constant_qp(const encoder_t *ctx) {
  const ratecontrol_t *rc = ctx->rc;
  switch (rc_slice_type(ctx)) {
  case RC_CLASS_B:
    return rc->cqp_b[rc_b_index(ctx->cur_input->b_level)];
  case RC_CLASS_P:
    return rc->cqp_p;
  default:
    return rc->cqp_i;
  }
}

// Constant QP under VBV: the qscale clipped by the buffer, and the bits the
// picture is planned to take.
float constant_qp_vbv(encoder_t *ctx, float qp) {
  ratecontrol_t *rc = ctx->rc;
  const int32_t t = rc_slice_type(ctx);
  rc->last_cost = ratecontrol_get_lookahead_cost(ctx);
  rc->qp_novbv = qp;
  // A B picture follows its references where VBV has raised them above
  // their constant QPs, as it does in the modes that aim at a rate.  Its
  // own constant QP below them spends on a picture that predicts from
  // coarse references several times the bits its class's predictor
  // expects (the predictor learned at the raised QPs, and the size grows
  // faster than 1/q as the QP falls); the rows' re-decision lifts it only
  // from the split column on, after most of the picture is coded.
  if (t == RC_CLASS_B && ctx->ref_count[0] > 0) {
    const double follow = ratecontrol_b_reference_qp(ctx) + rc->pb_offset[rc_b_index(ctx->cur_input->b_level)];
    qp = std::max(qp, static_cast<float>(follow));
  }
  double q = rc_qp2qscale(qp);
  q = ratecontrol_clip_qscale(ctx, t, q);
  if (t != RC_CLASS_B && rc->single_frame_vbv)
    rc->planned_bits = rc->vbv_rate;
  else
    rc->planned_bits = static_cast<int32_t>(planned_size(ctx, q));
  rc->planned_valid = 1;
  return static_cast<float>(rc_qscale2qp(q));
}

// What a picture still in flight is counted to take of its plan.  A plan
// made on its class predictor's first guess is off by about the error that
// guess showed in the last such picture that finished: every picture
// started before the first of them returned (a whole set of frame
// contexts) was planned on the same guess (bus CIF all-intra: each took
// 1.27-1.39 times its plan; counted at their plans, the buffer estimate was
// 90 kbit where 50 were left, and the buffer ran dry).  A picture one CTU
// wide or high, which can hardly correct itself while it is coded, counts
// at least the factor of two that vbv_fit_fill allows for.  worst: the
// factor the buffer must outlast (vbv_fit_fill), at least two for intra
// plans while no such plan has returned.
float guess_factor(const encoder_t *ctx, const encoder_t *o, bool worst) {
  const ratecontrol_t *orc = o->rc;
  if (!orc->planned_on_guess) return 1.0f;
  const float measured = ctx->rc->guess_error[orc->planned_class];
  const bool intra = orc->planned_class == RC_CLASS_I;
  const float least = o->ctu_cols == 1 || o->ctu_rows == 1 || (worst && intra && measured <= 0.0f) ? 2.0f : 1.0f;
  return std::max(measured, least);
}

// VBV at the start of a picture: the row arrays, the row predictors of the
// picture's class (by type, whatever slice it is sent as), and the buffer fill expected when the picture starts (the
// pictures still in flight take their planned sizes).
void vbv_frame_start(encoder_t *ctx, int32_t reserved) {
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
  // Every picture started before this one and not yet collected leaves the
  // buffer first, in coding order.  (Choosing them by a display index below
  // this picture's coding number would skip the P picture coded ahead of its
  // B pictures, and every B picture would count on bits that are gone.)
  const encoder_t *enc = ctx->instance;
  int64_t fill = enc->rc->vbv_fill, worst = fill;
  for (int32_t k = 0; k < enc->inflight_count; k++) {
    const encoder_t *o = enc->inflight[k];
    if (o == ctx || !o->rc->planned_valid) continue;
    // The guess's error is on the slices; the bits outside them are known.
    const float slices = static_cast<float>(std::max(o->rc->planned_bits - o->rc->planned_fixed, 0));
    const int64_t planned = static_cast<int64_t>(slices * guess_factor(ctx, o, false)) + o->rc->planned_fixed;
    const int64_t planned_worst = static_cast<int64_t>(slices * guess_factor(ctx, o, true)) + o->rc->planned_fixed;
    fill = std::min<int64_t>(rc->vbv_size, std::max<int64_t>(0, fill - planned) + rc->vbv_rate);
    worst = std::min<int64_t>(rc->vbv_size, std::max<int64_t>(0, worst - planned_worst) + rc->vbv_rate);
  }
  rc->vbv_fill_start = static_cast<int32_t>(std::max<int64_t>(0, fill - reserved));
  rc->vbv_guess_risk = static_cast<int32_t>(std::max<int64_t>(0, fill - worst));
}

// qscale of a complexity at a rate factor; the last qscale of the class when
// the complexity is unknown.
double get_qscale(encoder_t *ctx, int32_t t, double blurred, int32_t tex_bits, double rate_factor) {
  ratecontrol_t *rc = ctx->rc;
  const param_t &p = ctx->param;
  double c = blurred;
  if (p.cutree) {
    const double d = static_cast<double>(p.fps_den) / static_cast<double>(p.fps_num);
    c = 0.04 / std::min(d, 1.0);
  }
  // The user's curve compression, not the 1.0 that the CU-tree makes the
  // record's: under the CU-tree the complexity is a constant whose power
  // sets the qscale the rate factors start from.
  c = std::pow(c, 1.0 - static_cast<double>(p.qcompress));
  if (!std::isfinite(c) || tex_bits == 0) return rc->last_qscale_for[t];
  rc->last_cplx = c;
  const double q = c / rate_factor;
  rc->last_qscale = q;
  return q;
}

}  // namespace

double ratecontrol_b_reference_qp(const encoder_t *ctx) {
  const ratecontrol_t *rc = ctx->rc;
  const frame_t *pic = ctx->cur_input;
  const frame_t *r0 = ctx->ref_list[0][0];
  const frame_t *r1 = ctx->ref_count[1] > 0 ? ctx->ref_list[1][0] : r0;
  auto ref_qp = [&](const frame_t *r) {
    return r->avg_qp - (r->frame_type_code == TARNHEVCENC_TYPE_BREF ? rc->pb_offset[rc_b_index(r->b_level)] : 0.0);
  };
  const bool i0 = is_intra_type(r0->frame_type_code), i1 = is_intra_type(r1->frame_type_code);
  if (i0 && i1) return (ref_qp(r0) + ref_qp(r1)) / 2 + rc->ip_offset;
  if (i0 != i1) return i0 ? ref_qp(r1) : ref_qp(r0);
  const double d0 = std::abs(pic->poc - r0->poc), d1 = std::abs(pic->poc - r1->poc);
  return d0 + d1 > 0 ? (d1 * ref_qp(r0) + d0 * ref_qp(r1)) / (d0 + d1) : ref_qp(r0);
}

// Such a picture takes a few dozen bytes where its cost asks for thousands;
// learnt from, it lowered the predictions to nearly nothing, and the
// pictures of the lower modes planned on them after it (a zero-latency
// encode whose machine catches up again) emptied the buffer many times
// over.  Intra pictures of that mode (8x8 CUs throughout) still code their
// cost and teach as usual.
bool ratecontrol_bits_follow_cost(const encoder_t *ctx) {
  return !ctx->cur_recon->skipped_by_speed && !predicts_from_skipped(ctx);
}

float ratecontrol_predict(const ratecontrol_predictor_t *p, float cost, float q, float n) {
  return (cost * p->coeff + n * p->offset) / (q * p->count);
}

double ratecontrol_clip_qscale(encoder_t *ctx, int32_t t, double q) {
  ratecontrol_t *rc = ctx->rc;
  const param_t &p = ctx->param;
  const double lmin = rc->lmin[t], lmax = rc->lmax[t];
  const vbv_basis_t basis = vbv_basis(ctx);
  if (rc->vbv && basis.cost > 0) {
    const float intra = static_cast<float>(ratecontrol_get_intra_cost(ctx));
    float bits = pred_f(rc->frame_pred[basis.cls], basis.cost, static_cast<float>(q));
    const float ipf = std::fabs(p.ip_factor);
    if (t == RC_CLASS_P && rc->last_cost > 0) {
      const float bits_i = pred_f(rc->frame_pred[RC_CLASS_I], intra, static_cast<float>(q) / ipf);
      const float room = (0.75f * static_cast<float>(p.bframes) + 1.0f) * static_cast<float>(rc->vbv_rate) +
                         static_cast<float>(rc->vbv_fill_start);
      if (bits + bits_i > room) {
        const float r = std::clamp((bits + bits_i) / room, 1.0f, 10.0f);
        q *= r;
        bits /= r;
      }
    } else if (t == RC_CLASS_I) {
      const float need = bits / ipf + bits;
      const float room = static_cast<float>((p.bframes + 1) * static_cast<int64_t>(rc->vbv_rate) + rc->vbv_fill_start);
      if (need > room) {
        const float r = std::clamp(need / room, 1.0f, 10.0f);
        bits /= r;
        q *= r;
      }
    }
    // A picture predicted well below the rate may spend more of it only
    // where the rate is the goal (average bitrate).  A constant QP or rate
    // factor is the caller's quality, which VBV caps but does not exceed;
    // lowering a small B picture's QP by up to twenty on a size prediction
    // that grows only as 1/q ran the buffer dry.
    const float k = rc->single_frame_vbv ? 1.0f : 2.0f;
    const bool rate_is_goal = rc->abr && !rc->lqp && p.rcmode != TARNHEVCENC_RC_CRF;
    if (rate_is_goal && bits < static_cast<float>(rc->vbv_rate) / k)
      q *= std::clamp(bits * k / static_cast<float>(rc->vbv_rate), 0.1f, 1.0f);
    // A P picture keeps its reference's QP rather than drop below it when,
    // coded intra (as at a scene cut), it would not fit the buffer.  Against
    // one picture's worth of rate instead, which any intra picture exceeds,
    // the P QP could never fall again once raised.
    if (t == RC_CLASS_P && ctx->ref_count[0] > 0) {
      const double qr = rc_qp2qscale(ctx->ref_list[0][0]->avg_qp);
      if (q < qr &&
          pred_f(rc->frame_pred[RC_CLASS_I], intra, static_cast<float>(q)) > static_cast<float>(rc->vbv_fill_start))
        q = qr;
    }
    q = vbv_fit_fill(ctx, q);
  }
  if (lmin == lmax) return lmin;
  if (lmax <= lmin) return lmax;
  return std::clamp(q, lmin, lmax);
}

double ratecontrol_latency_qscale(const encoder_t *ctx, int32_t t, double q) {
  const param_t &p = ctx->param;
  if (p.latency_mode != 0 && p.latency_mode != 1) return q;
  if (ctx->instance->coding_number == 0) q /= std::fabs(p.ip_factor);
  if (t == RC_CLASS_I)
    q -= 0.5 * ctx->rc->ip_offset;
  else if (p.latency_mode == 0 && ctx->cur_input->p_layer == 0)
    q -= 1.0;
  // These steps subtract from the qscale: where the rate is far above what
  // the pictures need (a small picture, a high bitrate, a low rate factor)
  // q reaches zero or below, which has no QP (NaN); the lowest QP allowed
  // is as far as it may go.
  return std::max(q, ctx->rc->lmin[t]);
}

float ratecontrol_estimate_qscale(encoder_t *ctx) {
  ratecontrol_t *rc = ctx->rc;
  const param_t &p = ctx->param;
  const encoder_t *enc = ctx->instance;
  const frame_t *pic = ctx->cur_input;
  const int32_t t = rc_slice_type(ctx);
  const float ipf = std::fabs(p.ip_factor);

  if (t == RC_CLASS_B) {
    double qp = ratecontrol_b_reference_qp(ctx) + rc->pb_offset[rc_b_index(pic->b_level)];
    if (rc->vbv) {
      rc->last_cost = ratecontrol_get_lookahead_cost(ctx);
      rc->qp_novbv = static_cast<float>(qp);
      qp = std::min(rc_qscale2qp(vbv_fit_fill(ctx, rc_qp2qscale(qp))), static_cast<double>(p.qp_max));
      rc->planned_bits = static_cast<int32_t>(planned_size(ctx, rc_qp2qscale(qp)));
      rc->planned_valid = 1;
    }
    return static_cast<float>(rc_qp2qscale(qp));
  }

  if (rc->two_pass) return twopass_estimate_qscale(ctx, t);
  const double abr_buffer = 2.0 * rc->rate_tolerance * rc->bitrate;
  const double total = static_cast<double>(enc->stats->bytes) * 8.0;
  const int32_t coded = enc->coding_number;
  const bool crf = p.rcmode == TARNHEVCENC_RC_CRF;
  rc->last_cost = ratecontrol_get_lookahead_cost(ctx);
  // Costs count per 1/25 s of the picture's duration: fps_den / fps_num,
  // not 1 / fps_num, which at 30000/1001 would make every picture 3.3
  // times as complex as at 30/1 (about 4 QPs more under CRF).
  const double duration = static_cast<double>(p.fps_den) / static_cast<double>(p.fps_num);
  rc->short_cplx_sum = 0.5 * rc->short_cplx_sum + rc->last_cost / (std::clamp(duration, 0.01, 1.0) / 0.04);
  rc->short_cplx_count = 0.5 * rc->short_cplx_count + 1.0;
  const double blurred = static_cast<double>(static_cast<float>(rc->short_cplx_sum / rc->short_cplx_count));
  double q, overflow = 1.0;
  if (crf) {
    q = get_qscale(ctx, t, blurred, rc->last_cost, rc->crf_rate_factor);
  } else {
    q = get_qscale(ctx, t, blurred, rc->last_cost, rc->wanted_bits_window / rc->cplxr_sum);
    // The pictures in flight have not been counted yet.
    const double time = (coded + 1 - enc->frame_ctx_count) / rc->fps;
    const double wanted = time * rc->bitrate;
    if (rc->last_cost != 0 && wanted > 0) {
      overflow = std::clamp(1.0 + (total - wanted) / (std::max(1.0, std::sqrt(time)) * abr_buffer), 0.5, 2.0);
      q *= overflow;
    }
  }
  if (t == RC_CLASS_I && crf && p.cutree) {
    q /= ipf;
  } else if (t == RC_CLASS_I && p.idr_period >= 2 && rc->last_non_b_type != RC_CLASS_I) {
    q = rc_qp2qscale(rc->accum_qp / rc->accum_norm) / ipf;
  } else if (coded == 0) {
    if (crf && rc->qcompress != 1.0) q = rc_qp2qscale(p.crf) / ipf;
  } else if (!crf) {
    // The step limit of one class between pictures, wider while far off.
    double lmin = rc->last_qscale_for[t] / rc->lstep, lmax = rc->last_qscale_for[t] * rc->lstep;
    if (overflow > 1.1 && coded >= 4)
      lmax *= rc->lstep;
    else if (overflow < 0.9)
      lmin /= rc->lstep;
    q = std::clamp(q, lmin, lmax);
  }
  rc->qp_novbv = rc_qscale2qp_f(static_cast<float>(q));
  const double q_abr = q;
  q = ratecontrol_clip_qscale(ctx, t, q);
  q = ratecontrol_latency_qscale(ctx, t, q);
  rc->last_qscale = q;
  // The step limit between pictures of a class follows the average-bitrate
  // choice, not what VBV made of it: a picture that VBV held back (at a
  // scene cut, or while the predictors are still learning) would otherwise
  // keep its class's qscale up for many pictures after the buffer has filled
  // again, and the bits of a full buffer are lost.
  rc->last_qscale_for[t] = rc->vbv && !crf ? q_abr : q;
  if (pic->frame_number == 0) rc->last_qscale_for[RC_CLASS_P] = ipf * rc->last_qscale_for[t];
  if (rc->vbv) {
    rc->planned_bits = rc->single_frame_vbv ? rc->vbv_rate : static_cast<int32_t>(planned_size(ctx, q));
    rc->planned_valid = 1;
  }
  return static_cast<float>(q);
}

int32_t ratecontrol_frame_start(encoder_t *ctx, int32_t forced, int32_t reserved) {
  ratecontrol_t *rc = ctx->rc;
  const param_t &p = ctx->param;
  rc->forced_qp = forced;
  if (twopass_frame_start(ctx) < 0) return -1;
  rc->planned_valid = 0;
  rc->planned_on_guess = 0;
  rc->planned_fixed = 0;
  if (rc->vbv) {
    rc->planned_fixed = ratecontrol_non_slice_bits(ctx);
    vbv_frame_start(ctx, reserved);
  }
  float qp;
  if (forced) {
    qp = static_cast<float>(forced - 1);
  } else if (rc->lqp) {
    qp = static_cast<float>(constant_qp(ctx));
    // LQP plans its pictures under VBV as constant QP does, so the rows'
    // re-decision has a plan to hold them to.
    if (rc->vbv) qp = constant_qp_vbv(ctx, qp);
  } else if (rc->abr) {
    qp = rc_qscale2qp_f(ratecontrol_estimate_qscale(ctx));
  } else if (rc->cbr) {
    qp = static_cast<float>(cbr_estimate_qp(ctx));
    // Under VBV the model's QP is planned and clipped by the buffer as a
    // constant QP is: the model holds pictures near the rate only on
    // average, and without a plan the rows had nothing to hold them to
    // (a P picture of five times the rate emptied a buffer of 7.5).
    if (rc->vbv) qp = constant_qp_vbv(ctx, qp);
  } else if (rc->two_pass) {
    const float q = ratecontrol_estimate_qscale(ctx);
    rc->entry->new_qscale = q;
    qp = rc_qscale2qp_f(q);
  } else {
    qp = static_cast<float>(constant_qp(ctx));
    if (rc->vbv) qp = constant_qp_vbv(ctx, qp);
  }
  qp = std::clamp(qp, static_cast<float>(p.qp_min), static_cast<float>(p.qp_max));
  if (rc->vbv && rc->planned_valid) {
    const vbv_basis_t basis = vbv_basis(ctx);
    rc->planned_on_guess = basis.cost > 0 && rc->frame_pred[basis.cls].count < 1.25f;
    rc->planned_class = basis.cls;
  }
  rc->qp_sum = rc->coded_qp_sum = 0.0;
  rc->frame_qp_int = std::clamp(static_cast<int32_t>(qp + 0.5f), 0, 51);
  rc->frame_qp = qp;
  if (rc->entry) rc->entry->new_qp = rc->frame_qp_int;
  frame_t *rec = ctx->cur_recon;
  rec->avg_qp = rec->avg_coded_qp = qp;
  const int32_t t = rc_slice_type(ctx);
  rc->accum_qp = 0.95 * rc->accum_qp + rc->frame_qp_int + (t == RC_CLASS_I ? rc->ip_offset : 0.0);
  rc->accum_norm = 0.95 * rc->accum_norm + 1.0;
  if (t != RC_CLASS_B) rc->last_non_b_type = t;
  rec->row_qp[0].store(qp, std::memory_order_relaxed);
  return 0;
}

int32_t ratecontrol_frame_qp(const encoder_t *ctx) {
  const param_t &p = ctx->param;
  return std::clamp(static_cast<int32_t>(ctx->rc->frame_qp + 0.5f), p.qp_min, p.qp_max);
}
