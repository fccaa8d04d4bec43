// The rate-control records: set-up at open, release, and the hand-over of
// state between the frame contexts in flight.
#include "ratecontrol/ratecontrol.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "encoder/encoder.h"
#include "common/memory.h"
#include "ratecontrol/cbr.h"
#include "ratecontrol/twopass.h"

int32_t rc_class_of_type(uint32_t frame_type_code) {
  switch (frame_type_code) {
  case TARNHEVCENC_TYPE_P:
    return RC_CLASS_P;
  case TARNHEVCENC_TYPE_BREF:
    return RC_CLASS_BREF;
  case TARNHEVCENC_TYPE_B:
    return RC_CLASS_B;
  default:
    return RC_CLASS_I;
  }
}

// log2 as the set-up takes it: ln(x) * 1.442695 in single precision.
static double log2_single(float x) { return static_cast<double>(std::log(x) * 1.442695f); }

void ratecontrol_free(encoder_t *enc) {
  ratecontrol_t *all = enc->rc;
  if (!all) return;
  cbr_free(enc);
  twopass_free(all);
  for (int32_t k = 0; k <= enc->frame_ctx_count; k++) aligned_free(all[k].row_preds);
  aligned_free(all);
  enc->rc = nullptr;
  for (int32_t k = 1; enc->frame_ctx && k <= enc->frame_ctx_count; k++)
    if (enc->frame_ctx[k]) enc->frame_ctx[k]->rc = nullptr;
}

int32_t ratecontrol_init(encoder_t *enc) {
  param_t &p = enc->param;
  const int32_t contexts = enc->frame_ctx_count;
  const size_t bytes = sizeof(ratecontrol_t) * static_cast<size_t>(contexts + 1);
  ratecontrol_t *all = static_cast<ratecontrol_t *>(aligned_malloc(bytes));
  if (!all) return -1;
  std::memset(static_cast<void *>(all), 0, bytes);
  enc->rc = all;
  ratecontrol_t *rc = all;

  rc->lqp = p.rcmode == TARNHEVCENC_RC_LQP;
  rc->cbr = p.rcmode == TARNHEVCENC_RC_CBR;
  rc->two_pass = p.stats_read && p.rcmode == TARNHEVCENC_RC_ABR;
  rc->abr = !p.stats_read && p.rcmode != TARNHEVCENC_RC_CQP && p.rcmode != TARNHEVCENC_RC_CBR;
  rc->vbv = p.vbv_bufsize > 0 && p.vbv_maxrate > 0;
  if (p.fps_num < 1 || p.fps_den < 1) {
    std::fprintf(stderr, "ratecontrol : fps is not set\n");
    ratecontrol_free(enc);
    return -1;
  }
  rc->fps = static_cast<double>(static_cast<float>(p.fps_num) / static_cast<float>(p.fps_den));
  rc->qcompress = p.cutree ? 1.0 : static_cast<double>(p.qcompress);
  rc->last_non_b_type = -1;
  rc->unit_count = ((p.width + 7) / 8) * ((p.height + 7) / 8);
  rc->rate_tolerance = std::max(static_cast<double>(p.rate_tolerance), 0.01);
  rc->bitrate = static_cast<double>(p.bitrate) * 1000.0;
  rc->decay = 1.0;
  if (p.rcmode == TARNHEVCENC_RC_CRF) {
    const double blocks = static_cast<double>(((p.width / 2 + 7) >> 3) * ((p.height / 2 + 7) >> 3));
    // Under the CU-tree the curve compression comes from its offsets; the
    // factor moves by the part of it that they take over.
    const double o = p.cutree ? (1.0 - static_cast<double>(p.qcompress)) * 13.5 : 0.0;
    rc->crf_rate_factor = std::pow((p.bframes ? 120.0 : 80.0) * blocks, 1.0 - rc->qcompress) /
                          rc_qp2qscale(static_cast<double>(p.crf) + o);
  }
  enc->aq_mode_active = p.aq_mode;
  if (cbr_init(enc) < 0) {
    ratecontrol_free(enc);
    return -1;
  }
  if (rc->abr) {
    rc->accum_norm = 0.01;
    rc->accum_qp = p.rcmode == TARNHEVCENC_RC_CRF ? static_cast<double>(p.crf) * 0.01 : 0.24;
    rc->last_non_b_type = RC_CLASS_I;
    const double b16 = static_cast<double>(((p.width + 15) / 16) * ((p.height + 15) / 16));
    rc->cplxr_sum = (p.cutree ? 1.4 : 1.0) * std::pow(700000.0, rc->qcompress) * 0.004 * std::sqrt(b16);
    rc->wanted_bits_window = rc->bitrate / rc->fps;
  }
  rc->ip_offset = 6.0 * log2_single(p.ip_factor);
  for (int32_t k = 0; k < 3; k++) {
    rc->pb_offset[k] = 6.0 * log2_single(p.pb_factor[k]);
    rc->cqp_b[k] = std::clamp(static_cast<int32_t>(p.qp + rc->pb_offset[k] + 0.5), 0, 51);
  }
  rc->cqp_p = p.qp;
  rc->cqp_i = std::clamp(static_cast<int32_t>(p.qp - rc->ip_offset + 0.5), 0, 51);
  rc->lstep = std::exp2(p.qp_step / 6.0);
  rc->last_qscale = rc_qp2qscale(26);
  for (int32_t c = 0; c < RC_CLASS_COUNT; c++) {
    rc->last_qscale_for[c] = rc_qp2qscale(p.rcmode == TARNHEVCENC_RC_CRF ? static_cast<double>(p.crf) : 24.0);
    rc->lmin[c] = rc_qp2qscale(p.qp_min);
    rc->lmax[c] = rc_qp2qscale(p.qp_max);
  }
  if (rc->vbv) {
    // Rounded up: a buffer smaller than one picture's refill (40 kbit/s at
    // 25 fps is 1.6 kbit) could never hold what the rate brings in.
    const int32_t one_picture = static_cast<int32_t>(std::ceil(p.vbv_maxrate / rc->fps));
    if (p.vbv_bufsize < one_picture) {
      p.vbv_bufsize = one_picture;
      std::fprintf(stderr, "VBV buffer size cannot be smaller than one frame, using %d kbit\n", p.vbv_bufsize);
    }
    rc->vbv_size = p.vbv_bufsize * 1000;
    rc->vbv_rate = static_cast<int32_t>(p.vbv_maxrate * 1000.0 / rc->fps);
    rc->single_frame_vbv = static_cast<float>(rc->vbv_size) < 1.1f * static_cast<float>(rc->vbv_rate);
    float init = p.vbv_init;
    if (init > 1.0f) init = std::clamp(init / static_cast<float>(p.vbv_bufsize), 0.0f, 1.0f);
    init = std::clamp(std::max(init, static_cast<float>(rc->vbv_rate / rc->vbv_size)), 0.0f, 1.0f);
    p.vbv_init = init;
    rc->vbv_fill = static_cast<int32_t>(init * static_cast<float>(rc->vbv_size));
    const bool flat = rc->qcompress >= 0.8;
    const float coeff[4] = {0.5f, flat ? 0.6f : 0.75f, flat ? 0.75f : 0.9f, flat ? 0.5f : 0.6f};
    for (int32_t c = 0; c < 4; c++) rc->frame_pred[c] = {coeff[c], 1.0f, 0.5f, 0.0f};
    // A row's cost is its share of the picture's cost, so until the rows
    // have learned, their lookahead-cost predictor starts from the
    // picture predictor of the slice type: the rows then expect the size
    // the picture was planned with, and raise the QP when the bits already
    // spent run ahead of it.
    for (int32_t t = 0; t < 3; t++) {
      rc->row_pred_init[t][0] = {coeff[t], 1.0f, 0.5f, 0.0f};
      rc->row_pred_init[t][1] = {0.25f, 1.0f, 0.5f, 0.0f};
    }
  }
  if (twopass_init(enc) < 0) {
    ratecontrol_free(enc);
    return -1;
  }
  // Every frame context starts from the same state, with its own row
  // predictors, and sees the settings the set-up repaired.
  for (int32_t k = 1; k <= contexts; k++) {
    all[k] = all[0];
    encoder_t *fc = enc->frame_ctx[k];
    fc->rc = &all[k];
    fc->param = p;
    fc->aq_mode_active = enc->aq_mode_active;
    // Row contexts take the frame context's state at every row start; until
    // then they point at the same record.
    for (int32_t r = 0; fc->row_ctx && r < fc->row_slots; r++)
      if (fc->row_ctx[r]) {
        fc->row_ctx[r]->rc = fc->rc;
        fc->row_ctx[r]->param = p;
        fc->row_ctx[r]->aq_mode_active = enc->aq_mode_active;
      }
  }
  if (cbr_init_contexts(enc) < 0) {
    ratecontrol_free(enc);
    return -1;
  }
  if (rc->vbv) {
    const size_t n = static_cast<size_t>(enc->ctu_rows) * 2;
    for (int32_t k = 0; k <= contexts; k++) {
      all[k].row_preds = static_cast<ratecontrol_predictor_t *>(aligned_malloc(n * sizeof(ratecontrol_predictor_t)));
      if (!all[k].row_preds) {
        ratecontrol_free(enc);
        return -1;
      }
      for (size_t i = 0; i < n; i++) all[k].row_preds[i] = all[k].row_pred_init[0][0];
      all[k].row_pred_pic[0] = all[k].row_pred_pic[1] = all[k].row_pred_init[0][0];
      all[k].row_pred_cur = all[k].row_pred_pic;
    }
  }
  return 0;
}

void ratecontrol_sync_state(encoder_t *new_ctx, encoder_t *previous_ctx, encoder_t *next_ctx) {
  ratecontrol_t *n = new_ctx->rc;
  if (new_ctx != previous_ctx) {
    const ratecontrol_t *p = previous_ctx->rc;
    n->accum_qp = p->accum_qp;
    n->accum_norm = p->accum_norm;
    n->last_cost = p->last_cost;
    n->last_cplx = p->last_cplx;
    std::copy(p->last_qscale_for, p->last_qscale_for + RC_CLASS_COUNT, n->last_qscale_for);
    n->last_non_b_type = p->last_non_b_type;
    n->short_cplx_sum = p->short_cplx_sum;
    n->short_cplx_count = p->short_cplx_count;
    n->decay = p->decay;
    n->crf_rate_factor = p->crf_rate_factor;
    n->bitrate = p->bitrate;
    n->vbv_size = p->vbv_size;
    n->vbv_rate = p->vbv_rate;
    n->single_frame_vbv = p->single_frame_vbv;
  }
  if (new_ctx != next_ctx) {
    ratecontrol_t *x = next_ctx->rc;
    x->cplxr_sum = n->cplxr_sum;
    x->expected_bits_sum = n->expected_bits_sum;
    x->wanted_bits_window = n->wanted_bits_window;
    // The size predictors learn at every frame end too: left in each
    // context, each would see one picture in every frame-context count.
    std::copy(n->frame_pred, n->frame_pred + 4, x->frame_pred);
    std::copy(n->frame_pred_q, n->frame_pred_q + 4, x->frame_pred_q);
    std::copy(n->frame_pred_fixed, n->frame_pred_fixed + 4, x->frame_pred_fixed);
    std::copy(n->frame_pred_slices, n->frame_pred_slices + 4, x->frame_pred_slices);
    std::copy(n->frame_pred_cost, n->frame_pred_cost + 4, x->frame_pred_cost);
    std::copy(n->run_slices, n->run_slices + 4, x->run_slices);
    std::copy(n->guess_error, n->guess_error + 4, x->guess_error);
    std::copy(n->plan_overrun, n->plan_overrun + 4, x->plan_overrun);
    std::copy(n->plan_took, n->plan_took + 4, x->plan_took);
    std::copy(&n->row_pred_init[0][0], &n->row_pred_init[0][0] + 6, &x->row_pred_init[0][0]);
  }
}
