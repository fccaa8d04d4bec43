// The frame QP of each mode: constant QP by picture type, LQP, one-pass
// average bitrate and constant rate factor; under VBV each mode's qscale
// then goes through the buffer's plan (ratecontrol/vbv_plan.cpp).
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
  // Constant bitrate keeps its B pictures at or above their references' QP
  // itself; the offset on top held flower's B pictures 2-4 QPs above what
  // the rate gave them, 36% below the rate.
  if (t == RC_CLASS_B && ctx->ref_count[0] > 0 && !rc->cbr) {
    const double follow = ratecontrol_b_reference_qp(ctx) + rc->pb_offset[rc_b_index(ctx->cur_input->b_level)];
    qp = std::max(qp, static_cast<float>(follow));
  }
  const double q = ratecontrol_clip_qscale(ctx, t, rc_qp2qscale(qp));
  return static_cast<float>(rc_qscale2qp(q));
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

float ratecontrol_predict(const ratecontrol_predictor_t *p, float cost, float q, float n) {
  return (cost * p->coeff + n * p->offset) / (q * p->count);
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
      // Its own QP is its references': the buffer's plan lowers it that
      // far for bits the buffer would otherwise spill (ratecontrol_clip_qscale).
      rc->qp_novbv = static_cast<float>(rc->abr ? ratecontrol_b_reference_qp(ctx) : qp);
      // A second pass sizes it by its first pass against the plan's fill.
      const double q = rc->two_pass ? twopass_vbv_qscale(ctx, t, rc_qp2qscale(qp))
                                    : ratecontrol_clip_qscale(ctx, t, rc_qp2qscale(qp));
      qp = rc_qscale2qp(q);
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
    // Under VBV the qscale falls by one step at most: the buffer's plan
    // sizes the picture from pictures coded near the last qscale, and far
    // below it a picture grew up to 170 times while the QP fell by 14
    // (flower at 10 fps, P pictures only, whose texture is skipped at QP 35).
    double lmin = rc->last_qscale_for[t] / rc->lstep, lmax = rc->last_qscale_for[t] * rc->lstep;
    if (overflow > 1.1 && coded >= 4)
      lmax *= rc->lstep;
    else if (overflow < 0.9 && !rc->vbv)
      lmin /= rc->lstep;
    q = std::clamp(q, lmin, lmax);
  }
  // The latency tunes' steps come before the buffer's plan, which must
  // hold the picture at the qscale it is coded with.
  q = ratecontrol_latency_qscale(ctx, t, q);
  rc->qp_novbv = rc_qscale2qp_f(static_cast<float>(q));
  q = ratecontrol_clip_qscale(ctx, t, q);
  rc->last_qscale = q;
  rc->last_qscale_for[t] = q;
  if (pic->frame_number == 0) rc->last_qscale_for[RC_CLASS_P] = ipf * rc->last_qscale_for[t];
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
  rc->chain_count = 0;
  rc->chain_on = 0;
  rc->chain_read = 0;
  rc->key_ahead = 0;
  if (rc->vbv) {
    rc->planned_fixed = ratecontrol_non_slice_bits(ctx);
    ratecontrol_vbv_frame_start(ctx, reserved);
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
    if (rc->vbv) {
      qp = constant_qp_vbv(ctx, qp);
      cbr_vbv_steer_plan(ctx, qp);
    }
  } else if (rc->two_pass) {
    const float q = ratecontrol_estimate_qscale(ctx);
    rc->entry->new_qscale = q;
    qp = rc_qscale2qp_f(q);
  } else {
    qp = static_cast<float>(constant_qp(ctx));
    if (rc->vbv) qp = constant_qp_vbv(ctx, qp);
  }
  qp = std::clamp(qp, static_cast<float>(p.qp_min), static_cast<float>(p.qp_max));
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
