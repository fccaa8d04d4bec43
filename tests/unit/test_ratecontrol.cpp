// Rate control: what each mode does to a picture's QP, the per-type
// constant QPs, the CTU QP and its rounding, the size predictor, the state
// handed between frame contexts, and adaptive quantisation.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

#include "analysis/analysis_tables.h"
#include "analysis/ctu_maps.h"
#include "encoder/encoder.h"
#include "ratecontrol/aq.h"
#include "ratecontrol/cbr.h"
#include "ratecontrol/lowres_data.h"
#include "ratecontrol/ratecontrol.h"

namespace {

struct encoder_deleter {
  void operator()(encoder_t *e) const { encoder_close(e); }
};
using encoder_ptr = std::unique_ptr<encoder_t, encoder_deleter>;

tarnhevcenc_param_t base_param(int32_t w = 128, int32_t h = 64) {
  tarnhevcenc_param_t p{};
  p.size = sizeof(p);
  EXPECT_EQ(tarnhevcenc_default_param(&p), 0);
  p.rcmode = TARNHEVCENC_RC_CQP;
  p.width = w;
  p.height = h;
  p.threads = 1;
  p.log_level = 0;
  return p;
}

encoder_ptr open(tarnhevcenc_param_t &p) { return encoder_ptr(encoder_open(&p)); }

// A P picture from the encoder's pool that `ctx` codes, with its
// reconstruction; both go back to the pool at the end of the test.
struct p_picture_t {
  encoder_t *enc, *ctx;
  frame_t *in, *rec;
  p_picture_t(encoder_t *e, encoder_t *c)
      : enc(e), ctx(c), in(frame_get_unused(e->pool, 1)), rec(frame_get_unused(e->pool, 0)) {
    if (!in || !rec) return;
    in->frame_type_code = TARNHEVCENC_TYPE_P;
    ctx->cur_input = in;
    ctx->cur_recon = rec;
    ctx->slice_type_code = 1;
  }
  ~p_picture_t() {
    ctx->cur_input = ctx->cur_recon = nullptr;
    if (in) frame_release(enc->pool, in);
    if (rec) frame_release(enc->pool, rec);
  }
};

// Class cls as if a finished picture of cost 1e6 at qscale 1 had taken
// what its predictor expected and its plans had held (share 75%).
void learn_as_checked(ratecontrol_t *rc, int32_t cls) {
  ratecontrol_predictor_t *pr = &rc->frame_pred[cls];
  ratecontrol_update_predictor(pr, 1.0f, 1e6f, 1e6f * pr->coeff / pr->count, 1.0f);
  rc->plan_overrun[cls] = 1.0f;
}

// A buffer of 1000 kbit filled at 1000 kbit/s, with B pictures.
tarnhevcenc_param_t vbv_param() {
  tarnhevcenc_param_t p = base_param();
  p.vbv_maxrate = 1000;
  p.vbv_bufsize = 1000;
  p.bframes = 3;
  return p;
}

TEST(RateControl, QscaleAndQpAreInverse) {
  EXPECT_DOUBLE_EQ(rc_qp2qscale(12), 0.85);
  EXPECT_NEAR(rc_qp2qscale(18), 1.7, 1e-12);  // six QPs double the step
  for (int qp = 0; qp <= 51; qp++) {
    EXPECT_NEAR(rc_qscale2qp(rc_qp2qscale(qp)), qp, 1e-9) << "qp " << qp;
    EXPECT_NEAR(rc_qscale2qp_f(rc_qp2qscale_f(static_cast<float>(qp))), qp, 1e-4) << "qp " << qp;
  }
}

// P pictures on the frame contexts of one encoder in a rate mode (QP 30,
// CRF 23, CU-tree off, so that the estimated cost reaches the QP): start_p
// starts a P picture of the given lookahead cost on ctx as the picture
// coded after `coded` others and returns its QP; end_p ends it as coded in
// `bits` bits, at that QP in every CTU.
struct rc_contexts_t {
  encoder_ptr enc;
  explicit rc_contexts_t(int32_t rcmode = TARNHEVCENC_RC_ABR, int32_t bitrate = 50) {
    tarnhevcenc_param_t p = base_param();
    p.rcmode = rcmode;
    p.bitrate = bitrate;
    p.qp = 30;
    p.crf = 23.0f;
    p.cutree = 0;
    p.aq_mode = 0;  // the costs set below are the unweighted ones
    p.bframes = 0;
    enc = open(p);
  }
  encoder_t *at(int32_t k) const { return enc->frame_ctx[k]; }
  float start_p(encoder_t *ctx, int32_t cost, int32_t coded) {
    p_picture_t pic(enc.get(), ctx);
    EXPECT_TRUE(pic.in && pic.rec && pic.in->la);
    if (!pic.in || !pic.rec || !pic.in->la) return -1.0f;
    frame_t ref{};
    pic.in->poc = 1;
    pic.in->la->cost_cache[1][0] = cost;
    ctx->ref_list[0][0] = &ref;
    ctx->ref_count[0] = 1;
    enc->coding_number = coded;
    EXPECT_EQ(ratecontrol_frame_start(ctx, 0, 0), 0);
    ctx->ref_count[0] = 0;
    return ctx->rc->frame_qp;
  }
  void end_p(encoder_t *ctx, int64_t bits) {
    p_picture_t pic(enc.get(), ctx);
    ASSERT_TRUE(pic.in && pic.rec);
    ctx->rc->qp_sum = ctx->rc->frame_qp * ctx->ctu_count;
    EXPECT_EQ(ratecontrol_frame_end(ctx, bits), 0);
  }
};

// What each mode does to a P picture's QP, from the picture's estimated
// cost (its lookahead estimate) and the rate asked for.  Constant QP and
// LQP code the set QP whatever the cost; CRF follows the cost and not the
// rate; ABR follows both (a harder picture, or a lower rate, a higher QP).
// The pictures are the fourth coded, except ABR's, which are the first,
// whose QP no step limit from an earlier picture holds.
float p_picture_qp(int32_t rcmode, int32_t bitrate, int32_t cost) {
  rc_contexts_t e(rcmode, bitrate);
  EXPECT_TRUE(e.enc);
  if (!e.enc) return -1.0f;
  return e.start_p(e.at(1), cost, rcmode == TARNHEVCENC_RC_ABR ? 0 : 3);
}

TEST(RateControl, EachModeSetsAPictureQpFromWhatItFollows) {
  for (const int32_t mode : {TARNHEVCENC_RC_CQP, TARNHEVCENC_RC_LQP}) {
    EXPECT_EQ(p_picture_qp(mode, 500, 2000), 30.0f) << "mode " << mode;
    EXPECT_EQ(p_picture_qp(mode, 500, 200000), 30.0f) << "mode " << mode;
    EXPECT_EQ(p_picture_qp(mode, 50, 2000), 30.0f) << "mode " << mode;
  }
  const float crf_easy = p_picture_qp(TARNHEVCENC_RC_CRF, 500, 2000);
  const float crf_hard = p_picture_qp(TARNHEVCENC_RC_CRF, 500, 200000);
  EXPECT_GT(crf_hard, crf_easy + 3.0f);
  EXPECT_EQ(p_picture_qp(TARNHEVCENC_RC_CRF, 50, 2000), crf_easy);
  const float abr_easy = p_picture_qp(TARNHEVCENC_RC_ABR, 500, 2000);
  EXPECT_GT(p_picture_qp(TARNHEVCENC_RC_ABR, 500, 200000), abr_easy + 3.0f);
  // A tenth of the rate: a coarser step by about 6 log2(10) = 20 QPs.
  EXPECT_GT(p_picture_qp(TARNHEVCENC_RC_ABR, 50, 2000), abr_easy + 10.0f);
  // Every frame context keeps a record of its own.
  tarnhevcenc_param_t p = base_param();
  auto enc = open(p);
  ASSERT_TRUE(enc);
  for (int32_t k = 1; k <= enc->frame_ctx_count; k++) EXPECT_EQ(enc->frame_ctx[k]->rc, enc->rc + k);
}

TEST(RateControl, ConstantQpsPerType) {
  tarnhevcenc_param_t p = base_param();
  p.qp = 30;
  p.ip_factor = 1.414f;  // 6 * log2(1.414) = 2.9997: three QPs
  p.pb_factor = 1.3f;
  p.hierarchy = 2;
  auto enc = open(p);
  ASSERT_TRUE(enc);
  const ratecontrol_t *rc = enc->rc;
  EXPECT_EQ(rc->cqp_p, 30);
  EXPECT_EQ(rc->cqp_i, 27);
  // The deepest B level takes the whole ratio (+2.27), the reference levels
  // above it a third (+0.76) and two thirds (+1.51) of it.
  EXPECT_EQ(rc->cqp_b[2], 32);
  EXPECT_EQ(rc->cqp_b[1], 32);
  EXPECT_EQ(rc->cqp_b[0], 31);
  EXPECT_LT(rc->pb_offset[0], rc->pb_offset[1]);
  EXPECT_LT(rc->pb_offset[1], rc->pb_offset[2]);
}

TEST(RateControl, CrfUnderCuTreeHasUnitNumerator) {
  tarnhevcenc_param_t p = base_param();
  p.rcmode = TARNHEVCENC_RC_CRF;
  p.crf = 23.0f;
  p.cutree = 1;
  auto enc = open(p);
  ASSERT_TRUE(enc);
  EXPECT_EQ(enc->rc->qcompress, 1.0);
  // The CU-tree takes the curve compression over: the factor moves by
  // (1 - 0.6) * 13.5 QPs.
  EXPECT_NEAR(enc->rc->crf_rate_factor, 1.0 / rc_qp2qscale(23.0 + 0.4 * 13.5), 1e-6);
}

TEST(RateControl, VbvSizesAndInitialFill) {
  struct vbv_case_t {
    int32_t maxrate, bufsize;
    float init;
    int32_t want_size, want_fill;
  };
  // 25 pictures per second: 1000 kbit/s adds 40000 bits a picture.
  for (const vbv_case_t c : {vbv_case_t{1000, 1000, 0.9f, 1000000, 900000},
                             vbv_case_t{1000, 1000, 500.0f, 1000000, 500000},  // above 1: kbit
                             vbv_case_t{1000, 10, 0.9f, 40000, 40000},        // raised to one picture
                             vbv_case_t{40, 1, 0.9f, 2000, 1800}}) {          // 1.6 kbit a picture: 2 kbit
    tarnhevcenc_param_t p = base_param();
    p.rcmode = TARNHEVCENC_RC_ABR;
    p.bitrate = 1000;
    p.vbv_maxrate = c.maxrate;
    p.vbv_bufsize = c.bufsize;
    p.vbv_init = c.init;
    auto enc = open(p);
    ASSERT_TRUE(enc);
    const ratecontrol_t *rc = enc->rc;
    EXPECT_EQ(rc->vbv, 1);
    EXPECT_EQ(rc->vbv_size, c.want_size) << "bufsize " << c.bufsize;
    EXPECT_EQ(rc->vbv_rate, c.maxrate * 40);
    EXPECT_NEAR(rc->vbv_fill, c.want_fill, 2) << "init " << c.init;
    // The settled values are reported to the caller.
    EXPECT_EQ(p.effective.vbv_bufsize * 1000, c.want_size);
    EXPECT_LE(p.effective.vbv_init, 1.0f);
    EXPECT_NEAR(p.effective.vbv_init * c.want_size, c.want_fill, 2);
    EXPECT_EQ(rc->single_frame_vbv, c.want_size * 10 < c.maxrate * 40 * 11);
  }
}

// A learning predictor settles on the bits it keeps seeing.
TEST(RateControl, PredictorLearnsASteadyRate) {
  ratecontrol_predictor_t pr{0.25f, 1.0f, 0.5f, 0.0f};
  const float q = 3.0f, cost = 1000.0f, bits = 5000.0f;
  for (int i = 0; i < 20; i++) ratecontrol_update_predictor(&pr, q, cost, bits, 1.0f);
  EXPECT_NEAR(ratecontrol_predict(&pr, cost, q, 1.0f), bits, bits * 0.01f);
  // Twice the qscale halves the prediction.
  EXPECT_NEAR(ratecontrol_predict(&pr, cost, 2 * q, 1.0f), bits / 2, bits * 0.01f);
}

// The CTU QP adds the AQ offset of its first block and rounds half up;
// the upper limit wins when the limits cross.
TEST(RateControl, CtuQpRoundsAndClamps) {
  tarnhevcenc_param_t p = base_param();
  p.aq_mode = 1;
  auto enc = open(p);
  ASSERT_TRUE(enc);
  encoder_t *ctx = enc->frame_ctx[1];
  p_picture_t pic(enc.get(), ctx);
  ASSERT_TRUE(pic.in && pic.rec);
  frame_t *in = pic.in, *rec = pic.rec;
  ctx->ctu_x = ctx->ctu_y = ctx->ctu_addr = 0;
  ctx->rc->frame_qp = 24.0f;
  struct round_case_t {
    float offset;
    int32_t qp_min, qp_max, want;
  };
  for (const round_case_t c : {round_case_t{0.4f, 0, 51, 24}, round_case_t{0.5f, 0, 51, 25},
                               round_case_t{-30.0f, 10, 51, 10}, round_case_t{0.0f, 30, 20, 20}}) {
    std::fill_n(in->aq_offsets, enc->ctu_count * 16, c.offset);
    ctx->param.qp_min = c.qp_min;
    ctx->param.qp_max = c.qp_max;
    EXPECT_EQ(ratecontrol_ctu_qp(ctx), c.want) << "offset " << c.offset;
    EXPECT_EQ(ctx->ctu_qp, c.want);
    EXPECT_EQ(rec->ctu_qp[0], c.want);
    EXPECT_EQ(ctx->ctu_lambda_ssd, ctx->tables->lambda_ssd_table[1][c.want]);
  }
  // Marked CU-tree offsets replace the AQ ones.
  ctx->param.qp_min = 0;
  ctx->param.qp_max = 51;
  in->aq_cutree_offsets[0] = -3.0f;
  in->use_cutree_offsets = 1;
  EXPECT_EQ(ratecontrol_ctu_qp(ctx), 21);
}

// With AQ the CTU takes the mean offset of its 16x16 blocks inside the
// picture: a 100x40 picture's right CTU has 3 x 3 of them.
TEST(RateControl, AqCtuOffsetIsTheMeanOfItsBlocks) {
  tarnhevcenc_param_t p = base_param(100, 40);
  p.aq_mode = 1;
  auto enc = open(p);
  ASSERT_TRUE(enc);
  encoder_t *ctx = enc->frame_ctx[1];
  p_picture_t pic(enc.get(), ctx);
  ASSERT_TRUE(pic.in && pic.rec);
  frame_t *in = pic.in;
  ctx->rc->frame_qp = 30.0f;
  const int32_t stride = 4 * enc->ctu_cols;
  // Blocks outside the picture hold what they may; they must not count.
  std::fill_n(in->aq_offsets, enc->ctu_count * 16, 40.0f);
  for (int32_t by = 0; by < 3; by++)
    for (int32_t bx = 0; bx < 3; bx++) in->aq_offsets[by * stride + 4 + bx] = 1.0f;
  in->aq_offsets[4] = -8.0f;  // one flat block of nine: mean (8 - 8) / 9 = 0
  ctx->ctu_x = ctx->ctu_addr = 1;
  ctx->ctu_y = 0;
  EXPECT_EQ(ratecontrol_ctu_qp(ctx), 30);
  in->aq_offsets[4] = -26.0f;  // mean (8 - 26) / 9 = -2
  EXPECT_EQ(ratecontrol_ctu_qp(ctx), 28);
}

// Under VBV a picture of any type, B pictures too, is planned to take at
// most half the fill it starts with, a quarter while its class's predictor
// has not learned from a finished picture; a small picture keeps its
// constant QP (VBV only caps it); a plan far below the qscale learned at
// grows faster than the predictor's 1/q.
TEST(RateControl, VbvPlanTakesAtMostHalfTheFill) {
  tarnhevcenc_param_t p = vbv_param();
  auto enc = open(p);
  ASSERT_TRUE(enc);
  encoder_t *ctx = enc->frame_ctx[1];
  frame_t cur{};
  cur.frame_type_code = TARNHEVCENC_TYPE_B;
  cur.b_level = 2;
  ctx->cur_input = &cur;
  ctx->slice_type_code = 0;
  ratecontrol_t *rc = ctx->rc;
  rc->vbv_fill_start = 200000;
  rc->last_cost = 1000000;
  const float cost = static_cast<float>(rc->last_cost);
  ratecontrol_predictor_t *pred = &rc->frame_pred[RC_CLASS_B];
  const double q20 = rc_qp2qscale(20.0);
  double q = ratecontrol_clip_qscale(ctx, RC_CLASS_B, q20);
  EXPECT_GT(q, q20);
  EXPECT_NEAR(2.0f * ratecontrol_predict(pred, cost, static_cast<float>(q), 1.0f), 100000.0f, 100.0f);
  // Learning once, with the coefficient it had, allows the half.
  ratecontrol_update_predictor(pred, 1.0f, cost, cost * pred->coeff / pred->count, 1.0f);
  q = ratecontrol_clip_qscale(ctx, RC_CLASS_B, q20);
  EXPECT_NEAR(ratecontrol_predict(pred, cost, static_cast<float>(q), 1.0f), 100000.0f, 100.0f);
  rc->last_cost = 100;
  EXPECT_EQ(ratecontrol_clip_qscale(ctx, RC_CLASS_B, q20), q20);
  // Below the qscale the predictor learned at, the plan grows as 1/q^2:
  // from a predictor that learned at QP 34, a B picture at QP 20 is held to
  // half the fill by that plan, not by the predictor's 1/q alone (which let
  // P and B pictures far below the QPs learned at take twice their plans,
  // and with twelve pictures in flight the buffer ran dry).  Above the
  // learned qscale the plan is the predictor's.
  rc->last_cost = 1000000;
  const float q34 = static_cast<float>(rc_qp2qscale(34.0));
  rc->frame_pred_q[RC_CLASS_B] = q34;
  const float qa = static_cast<float>(ratecontrol_clip_qscale(ctx, RC_CLASS_B, q20));
  ASSERT_LT(qa, q34);
  EXPECT_NEAR(ratecontrol_predict(pred, cost, qa, 1.0f) * q34 / qa, 100000.0f, 1000.0f);
  rc->vbv_fill_start = 20000;
  const float qb = static_cast<float>(ratecontrol_clip_qscale(ctx, RC_CLASS_B, q20));
  ASSERT_GT(qb, q34);
  EXPECT_NEAR(ratecontrol_predict(pred, cost, qb, 1.0f), 10000.0f, 100.0f);
  // The bits outside the slices (parameter sets) do not fall with the
  // qscale, and each picture carries its own: the predictor's size holds a
  // quarter of such bits of the picture it learned from.  A picture carrying
  // as many keeps them and may take half of what they leave of the fill
  // for its slices: from half the learned size, three quarters of it slices,
  // an eighth is left for them, at six times the learned qscale (four by
  // 1/q alone).  A picture without parameter sets takes half the fill in
  // slices, at three times.
  const float at_learned = ratecontrol_predict(pred, cost, q34, 1.0f);
  rc->frame_pred_fixed[RC_CLASS_B] = 0.25f * at_learned;
  rc->planned_fixed = static_cast<int32_t>(0.25f * at_learned);
  rc->vbv_fill_start = static_cast<int32_t>(0.5f * at_learned);
  const float qf = static_cast<float>(ratecontrol_clip_qscale(ctx, RC_CLASS_B, q20));
  EXPECT_NEAR(qf / q34, 6.0f, 0.01f);
  rc->planned_fixed = 0;
  EXPECT_NEAR(ratecontrol_clip_qscale(ctx, RC_CLASS_B, q20) / q34, 3.0, 0.01);
  rc->frame_pred_fixed[RC_CLASS_B] = 0.0f;
  EXPECT_NEAR(ratecontrol_clip_qscale(ctx, RC_CLASS_B, q20) / q34, 4.0, 0.01);
  // A P picture's size grows less steeply there: as 1/q^1.4.
  cur.frame_type_code = TARNHEVCENC_TYPE_P;
  ctx->slice_type_code = 1;
  rc->vbv_fill_start = 200000;
  ratecontrol_predictor_t *pp = &rc->frame_pred[RC_CLASS_P];
  ratecontrol_update_predictor(pp, 1.0f, cost, cost * pp->coeff / pp->count, 1.0f);
  rc->frame_pred_q[RC_CLASS_P] = q34;
  const float qc = static_cast<float>(ratecontrol_clip_qscale(ctx, RC_CLASS_P, q20));
  ASSERT_LT(qc, q34);
  EXPECT_NEAR(ratecontrol_predict(pp, cost, qc, 1.0f) * std::pow(q34 / qc, 0.4f), 100000.0f, 1000.0f);
  ctx->cur_input = nullptr;
}

// Under VBV an intra picture leaves room for the anchor coded after it
// (about 1/ip_factor of its size) within the fill and the refill up to that
// anchor, where that is less than its class's share of the fill; and a P
// picture just before a key picture the encoder knows of shares the fill
// and the refill up to it with the key picture in proportion to their
// sizes, while one far from a key picture keeps its share.
TEST(RateControl, VbvPlanLeavesRoomAroundKeyPictures) {
  tarnhevcenc_param_t p = vbv_param();
  auto enc = open(p);
  ASSERT_TRUE(enc);
  encoder_t *ctx = enc->frame_ctx[1];
  p_picture_t pic(enc.get(), ctx);
  ASSERT_TRUE(pic.in && pic.rec);
  ratecontrol_t *rc = ctx->rc;
  const float ipf = std::fabs(ctx->param.ip_factor);
  const double rate = rc->vbv_rate, q4 = rc_qp2qscale(4.0);  // far more than any fill at QP 4
  auto learned = [&](int32_t cls) { learn_as_checked(rc, cls); };
  rc->last_cost = 1000000;
  rc->vbv_fill_start = 800000;
  // The intra picture: (800 + 4 x 40 kbit) / (1 + 1 / 1.4), not 600 kbit.
  pic.in->frame_type_code = TARNHEVCENC_TYPE_IDR;
  ctx->slice_type_code = 2;
  learned(RC_CLASS_I);
  ratecontrol_clip_qscale(ctx, RC_CLASS_I, q4);
  EXPECT_NEAR(rc->planned_bits, (800000.0 + 4.0 * rate) / (1.0 + 1.0 / ipf), 2000.0);
  rc->vbv_fill_start = 200000;  // now the share binds: 150 kbit
  ratecontrol_clip_qscale(ctx, RC_CLASS_I, q4);
  EXPECT_NEAR(rc->planned_bits, 150000, 1000);
  // A P picture one picture before the end of the key period, whose intra
  // cost at the intra qscale predicts as much as its own cost does: the
  // two share 200 kbit and one picture's refill.
  pic.in->frame_type_code = TARNHEVCENC_TYPE_P;
  ctx->slice_type_code = 1;
  learned(RC_CLASS_P);
  rc->frame_pred[RC_CLASS_I] = rc->frame_pred[RC_CLASS_P];
  pic.in->intra_cost = static_cast<int32_t>(1000000 / ipf);
  ctx->param.idr_period = 25;
  enc->lookahead->last_key_frame_number = 0;
  pic.in->frame_number = 24;
  ratecontrol_clip_qscale(ctx, RC_CLASS_P, q4);
  EXPECT_NEAR(rc->planned_bits, 0.5 * (200000.0 + rate), 1000.0);
  // Far from the key picture it takes its share of the fill.
  pic.in->frame_number = 2;
  ratecontrol_clip_qscale(ctx, RC_CLASS_P, q4);
  EXPECT_NEAR(rc->planned_bits, 150000, 1000);
}

// Two pictures in flight (frame contexts 1 and 2, planned at the given
// sizes) in front of a P picture that frame context 3 starts, with a fill
// of 900 kbit after the last picture collected.
struct two_in_flight_t {
  encoder_t *enc, *a, *b, *ctx;
  frame_t pa{}, pb{};
  p_picture_t pic;
  two_in_flight_t(encoder_t *e, int32_t plan_a, int32_t plan_b)
      : enc(e), a(e->frame_ctx[1]), b(e->frame_ctx[2]), ctx(e->frame_ctx[3]), pic(e, e->frame_ctx[3]) {
    a->cur_input = &pa;
    b->cur_input = &pb;
    a->rc->planned_bits = plan_a;
    b->rc->planned_bits = plan_b;
    a->rc->planned_valid = b->rc->planned_valid = 1;
    enc->inflight[0] = a;
    enc->inflight[1] = b;
    enc->inflight_count = 2;
    enc->coding_number = 2;
    enc->rc->vbv_fill = 900000;
  }
  ~two_in_flight_t() {
    enc->inflight_count = 0;
    a->cur_input = b->cur_input = nullptr;
  }
};

// The fill a picture starts with counts every picture still in flight, in
// coding order: also the P picture coded ahead of this B picture, whose
// display index lies beyond this picture's coding number.
TEST(RateControl, VbvFillCountsEveryPictureInFlight) {
  tarnhevcenc_param_t p = vbv_param();
  auto enc = open(p);
  ASSERT_TRUE(enc);
  two_in_flight_t f(enc.get(), 300000, 200000);
  ASSERT_TRUE(f.pic.in && f.pic.rec);
  f.pa.frame_number = 0;  // the I picture
  f.pb.frame_number = 4;  // the P picture coded next
  f.pic.in->frame_number = 1;  // coded as P: no reference QPs to read
  ASSERT_EQ(ratecontrol_frame_start(f.ctx, 0, 0), 0);
  const int32_t rate = f.ctx->rc->vbv_rate;
  EXPECT_EQ(f.ctx->rc->vbv_fill_start, 900000 - 300000 + rate - 200000 + rate);
}

// The fill a picture starts with counts each picture in flight at its plan,
// or at what its class's plans lately took on average where that is more;
// the overrun fill at its class's recent overrun.  A picture then takes at
// most its class's share of the first and its overrun share (up to 90%) of
// the second.
TEST(RateControl, VbvPlanOutlastsTheOverrunsOfPicturesInFlight) {
  tarnhevcenc_param_t p = vbv_param();
  p.width = 256;  // pictures of one CTU row count a quarter over at least
  p.height = 128;
  auto enc = open(p);
  ASSERT_TRUE(enc);
  {
    two_in_flight_t f(enc.get(), 300000, 200000);
    ASSERT_TRUE(f.pic.in && f.pic.rec);
    f.pa.frame_number = 4;
    f.pb.frame_number = 2;
    f.pic.in->frame_number = 1;
    f.a->rc->planned_class = RC_CLASS_P;
    f.b->rc->planned_class = RC_CLASS_BREF;
    ratecontrol_t *rc = f.ctx->rc;
    const int32_t rate = rc->vbv_rate;
    rc->plan_overrun[RC_CLASS_P] = 1.5f;
    rc->plan_took[RC_CLASS_P] = 0.8f;  // below their plans: counted at them
    rc->plan_overrun[RC_CLASS_BREF] = 1.0f;
    ASSERT_EQ(ratecontrol_frame_start(f.ctx, 0, 0), 0);
    EXPECT_EQ(rc->vbv_fill_start, 900000 - 300000 + rate - 200000 + rate);
    EXPECT_EQ(rc->vbv_overrun_risk, 150000);
    rc->plan_took[RC_CLASS_P] = 1.2f;
    ASSERT_EQ(ratecontrol_frame_start(f.ctx, 0, 0), 0);
    EXPECT_EQ(rc->vbv_fill_start, 900000 - 360000 + rate - 200000 + rate);
    EXPECT_EQ(rc->vbv_overrun_risk, 90000);
  }
  encoder_t *ctx = enc->frame_ctx[1];
  p_picture_t pic(enc.get(), ctx);
  ASSERT_TRUE(pic.in && pic.rec);
  ratecontrol_t *rc = ctx->rc;
  learn_as_checked(rc, RC_CLASS_P);
  rc->last_cost = 1000000;
  const double q4 = rc_qp2qscale(4.0);  // far more than any fill at QP 4
  rc->vbv_fill_start = 200000;
  rc->vbv_overrun_risk = 0;
  ratecontrol_clip_qscale(ctx, RC_CLASS_P, q4);
  EXPECT_NEAR(rc->planned_bits, 150000, 1000);  // 75% of the fill
  rc->vbv_overrun_risk = 20000;  // 90% of 180 kbit: the share still binds
  ratecontrol_clip_qscale(ctx, RC_CLASS_P, q4);
  EXPECT_NEAR(rc->planned_bits, 150000, 1000);
  rc->vbv_overrun_risk = 100000;  // 90% of 100 kbit
  ratecontrol_clip_qscale(ctx, RC_CLASS_P, q4);
  EXPECT_NEAR(rc->planned_bits, 90000, 300);
  rc->plan_overrun[RC_CLASS_P] = 1.25f;  // 1 / (1.1 x 1.25) of 100 kbit
  ratecontrol_clip_qscale(ctx, RC_CLASS_P, q4);
  EXPECT_NEAR(rc->planned_bits, 100000 / 1.375, 1000);
}

// An intra picture in flight counts, in the overrun and worst fills, at its
// plan and as far past it as its rows let it run (a frame context's part of
// what its plan left of its fill; no row waits for it, so nothing of it is
// known before it returns); a P picture at its class's overrun.  Four intra
// pictures of bus in flight, each 1.1-1.22 times its plan, within what its
// rows allowed, ran a buffer of 126 kbit 13% below empty.  (One pass at a
// rate; a second pass plans against its first.)
TEST(RateControl, VbvIntraPicturesInFlightCountAsFarAsTheirRowsLetThemRun) {
  tarnhevcenc_param_t p = vbv_param();
  p.height = 128;  // two CTU rows: no quarter over for pictures one row high
  p.rcmode = TARNHEVCENC_RC_ABR;
  p.bitrate = 1000;
  auto enc = open(p);
  ASSERT_TRUE(enc);
  two_in_flight_t f(enc.get(), 300000, 100000);
  ASSERT_TRUE(f.pic.in && f.pic.rec);
  f.a->rc->planned_class = RC_CLASS_I;
  f.b->rc->planned_class = RC_CLASS_P;
  f.ctx->rc->plan_overrun[RC_CLASS_I] = f.ctx->rc->plan_overrun[RC_CLASS_P] = 1.0f;
  ASSERT_EQ(f.a->rc->rate_tolerance, 1.0);
  const int32_t rate = f.ctx->rc->vbv_rate, contexts = enc->frame_ctx_count;
  for (const int32_t type : {1, 2}) {
    f.a->slice_type_code = type;
    f.a->rc->vbv_fill_start = 900000;  // its plan left 600 kbit
    const int32_t over = type == 2 ? 600000 / contexts : 0;
    int32_t overrun_fill = 0, worst_fill = 0;
    EXPECT_EQ(ratecontrol_fill_ahead(f.ctx, &overrun_fill, &worst_fill), 900000 - 400000 + 2 * rate) << type;
    EXPECT_NEAR(overrun_fill, 900000 - 400000 + 2 * rate - over, 1) << type;
    EXPECT_NEAR(worst_fill, overrun_fill, 1) << type;
  }
}

// Pictures one CTU high (128x64 here) cannot correct their size while they
// are coded.  The checked plans of such pictures in flight count a quarter
// over in the overrun and worst fills, however well their class's plans
// lately did (all intra 66x34: plans within 15%, four in flight each 15%
// over took the buffer below empty).  Pictures of several rows count at
// their class's overrun.
TEST(RateControl, VbvPicturesOfOneCtuRowInFlightCountAQuarterOver) {
  for (const int32_t height : {64, 128}) {
    tarnhevcenc_param_t p = vbv_param();
    p.height = height;
    auto enc = open(p);
    ASSERT_TRUE(enc);
    two_in_flight_t f(enc.get(), 200000, 100000);
    ASSERT_TRUE(f.pic.in && f.pic.rec);
    f.a->rc->planned_class = f.b->rc->planned_class = RC_CLASS_P;
    f.ctx->rc->plan_overrun[RC_CLASS_P] = 1.0f;
    const int32_t rate = f.ctx->rc->vbv_rate;
    const int32_t over = height == 64 ? 50000 + 25000 : 0;
    int32_t overrun_fill = 0, worst_fill = 0;
    EXPECT_EQ(ratecontrol_fill_ahead(f.ctx, &overrun_fill, &worst_fill), 900000 - 300000 + 2 * rate);
    EXPECT_EQ(overrun_fill, 900000 - 300000 + 2 * rate - over) << height;
    EXPECT_EQ(worst_fill, overrun_fill);
    // A class that ran over by more counts that.
    f.ctx->rc->plan_overrun[RC_CLASS_P] = 1.5f;
    ratecontrol_fill_ahead(f.ctx, &overrun_fill, &worst_fill);
    EXPECT_EQ(overrun_fill, 900000 - 450000 + 2 * rate);
  }
  // In a buffer of one picture each non-B plan is the whole refill, as
  // much as the rows let the picture take: counted at it.
  tarnhevcenc_param_t p = vbv_param();
  p.vbv_maxrate = 990;  // 39.6 kbit a picture at 25 per second
  p.vbv_bufsize = 40;
  auto enc = open(p);
  ASSERT_TRUE(enc);
  two_in_flight_t f(enc.get(), 39600, 39600);
  ASSERT_TRUE(f.pic.in && f.pic.rec);
  ASSERT_EQ(f.ctx->rc->single_frame_vbv, 1);
  f.a->rc->planned_class = f.b->rc->planned_class = RC_CLASS_P;
  f.ctx->rc->plan_overrun[RC_CLASS_P] = 1.0f;
  enc->rc->vbv_fill = 40000;
  int32_t overrun_fill = 0;
  EXPECT_EQ(ratecontrol_fill_ahead(f.ctx, &overrun_fill, nullptr), 40000);
  EXPECT_EQ(overrun_fill, 40000);
}

// A picture one CTU high takes at most 1 / (1.1 x 1.25) of the overrun
// fill, as far as its like in flight are counted to run over; in a buffer
// of one picture (each non-B plan is the whole refill) its class's share.
TEST(RateControl, VbvPlanOfAPictureOfOneCtuRow) {
  for (const bool one_picture : {false, true}) {
    tarnhevcenc_param_t p = vbv_param();
    if (one_picture) p.vbv_bufsize = 40;  // 40 kbit a picture at 25 per second
    auto enc = open(p);
    ASSERT_TRUE(enc);
    encoder_t *ctx = enc->frame_ctx[1];
    ASSERT_EQ(ctx->rc->single_frame_vbv, one_picture ? 1 : 0);
    p_picture_t pic(enc.get(), ctx);
    ASSERT_TRUE(pic.in && pic.rec);
    ratecontrol_t *rc = ctx->rc;
    learn_as_checked(rc, RC_CLASS_P);
    rc->last_cost = 1000000;
    const double q4 = rc_qp2qscale(4.0);
    rc->vbv_fill_start = 30000;
    rc->vbv_overrun_risk = 10000;
    const double q = ratecontrol_clip_qscale(ctx, RC_CLASS_P, q4);
    const float size = ratecontrol_predict(&rc->frame_pred[RC_CLASS_P], 1e6f, static_cast<float>(q), 1.0f);
    EXPECT_NEAR(size, one_picture ? 20000.0f * 0.9f : 20000.0f / 1.375f, 100.0f);
  }
}

// In a buffer of one picture a non-B picture's plan, which its rows hold it
// to, is nine tenths of the refill, but no more than nine tenths of the
// fill it starts with (a buffer started at 0.9 of its size: the first
// picture of bus all intra, planned at the refill, took 19.2 kbit of 18.9;
// a picture three CTU rows high planned at the whole fill took 100.1% of
// it).
TEST(RateControl, VbvPlanInABufferOfOnePictureIsAtMostTheFill) {
  tarnhevcenc_param_t p = vbv_param();
  p.vbv_bufsize = 40;  // 40 kbit a picture at 25 per second
  auto enc = open(p);
  ASSERT_TRUE(enc);
  encoder_t *ctx = enc->frame_ctx[1];
  ASSERT_EQ(ctx->rc->single_frame_vbv, 1);
  p_picture_t pic(enc.get(), ctx);
  ASSERT_TRUE(pic.in && pic.rec);
  ratecontrol_t *rc = ctx->rc;
  learn_as_checked(rc, RC_CLASS_P);
  rc->last_cost = 1000000;
  for (const int32_t fill : {36000, 40000}) {
    rc->vbv_fill_start = fill;
    rc->vbv_overrun_risk = 0;
    ratecontrol_clip_qscale(ctx, RC_CLASS_P, rc_qp2qscale(30.0));
    EXPECT_NEAR(rc->planned_bits, 0.9 * std::min(fill, rc->vbv_rate), 1.0) << "fill " << fill;
  }
}

// A B picture coded 6 QPs and more finer than its reference, before its
// class has learned, is sized as no smaller than an intra picture of its
// intra cost at its qscale: so sized, it is held where that intra size
// fits a quarter of the fill (B pictures of 66x34 coded 10-35 QPs finer
// than their references took 3-18 times their first-guess plans, of
// 176x144 2.8-3.6 times).  A P picture is not: it takes only what an
// intra picture gains from its reference's qscale down to its own, on top
// of its class's guess, and comes finer than that intra size would hold it.
TEST(RateControl, VbvFineBPictureOnAFirstGuessIsSizedAsIntra) {
  for (const int32_t height : {64, 128}) {
    tarnhevcenc_param_t p = vbv_param();
    p.height = height;
    auto enc = open(p);
    ASSERT_TRUE(enc);
    encoder_t *ctx = enc->frame_ctx[1];
    frame_t cur{}, r0{}, r1{};
    cur.frame_type_code = TARNHEVCENC_TYPE_B;
    cur.b_level = 1;
    cur.intra_cost = 1000000;
    r0.frame_type_code = r1.frame_type_code = TARNHEVCENC_TYPE_P;
    r0.avg_qp = r1.avg_qp = 51.0;
    ctx->cur_input = &cur;
    ctx->slice_type_code = 0;
    ctx->ref_list[0][0] = &r0;
    ctx->ref_list[1][0] = &r1;
    ctx->ref_count[0] = ctx->ref_count[1] = 1;
    ratecontrol_t *rc = ctx->rc;
    rc->last_cost = 1000;
    rc->vbv_fill_start = 200000;
    const float q = static_cast<float>(ratecontrol_clip_qscale(ctx, RC_CLASS_B, rc_qp2qscale(10.0)));
    const float as_intra = ratecontrol_predict(&rc->frame_pred[RC_CLASS_I], 1e6f, q, 1.0f);
    EXPECT_NEAR(as_intra, 50000.0f, 100.0f) << height;
    // References at QP 40: so sized up to 6 QPs below them (where the
    // intra size would still be above the quarter), by its guess above.
    r0.avg_qp = r1.avg_qp = 40.0;
    const double qb = ratecontrol_clip_qscale(ctx, RC_CLASS_B, rc_qp2qscale(10.0));
    EXPECT_NEAR(rc_qscale2qp(qb), 34.0, 0.05) << height;
    cur.frame_type_code = TARNHEVCENC_TYPE_P;
    ctx->slice_type_code = 1;
    ctx->ref_count[1] = 0;
    const float qp = static_cast<float>(ratecontrol_clip_qscale(ctx, RC_CLASS_P, rc_qp2qscale(10.0)));
    EXPECT_GT(ratecontrol_predict(&rc->frame_pred[RC_CLASS_I], 1e6f, qp, 1.0f), 1.5f * as_intra);
    ctx->ref_count[0] = ctx->ref_count[1] = 0;
    ctx->cur_input = nullptr;
  }
}

// One pass at an average bitrate or a capped rate factor, with or without
// B pictures, and a constant QP: a P picture coded finer than its
// reference is sized as it would be after a reference as fine as itself,
// plus what an intra picture of its intra cost gains between the two
// qscales (as 1/q of the intra predictor), where that is more than the
// qscale ratio's growth; by the square root of the ratio alone, P pictures
// after key pictures the buffer held 8-15 QPs up took 2-4 times their
// plans, and among B pictures the whole ratio still left some to run the
// buffer dry.
TEST(RateControl, VbvPFinerThanItsReferenceAddsWhatAnIntraPictureGains) {
  for (const int32_t bframes : {0, 3, -1, -2}) {  // -1: a capped rate factor, -2: a constant QP
    tarnhevcenc_param_t p = vbv_param();
    p.rcmode = bframes == -1 ? TARNHEVCENC_RC_CRF : bframes == -2 ? TARNHEVCENC_RC_CQP : TARNHEVCENC_RC_ABR;
    p.bitrate = 1000;
    p.bframes = std::max(bframes, 0);
    auto enc = open(p);
    ASSERT_TRUE(enc);
    encoder_t *ctx = enc->frame_ctx[1];
    p_picture_t pic(enc.get(), ctx);
    ASSERT_TRUE(pic.in && pic.rec);
    frame_t ref{};
    ref.frame_type_code = TARNHEVCENC_TYPE_I;
    ctx->ref_list[0][0] = &ref;
    ctx->ref_count[0] = 1;
    pic.in->intra_cost = 10000000;
    ratecontrol_t *rc = ctx->rc;
    rc->last_cost = 100000;
    rc->planned_fixed = 0;
    const float q = static_cast<float>(rc_qp2qscale(29.0)), ref_q = static_cast<float>(rc_qp2qscale(44.0));
    ref.avg_qp = 29.0;
    const float alike = ratecontrol_vbv_size(ctx, q);
    ref.avg_qp = 44.0;
    const float finer = ratecontrol_vbv_size(ctx, q);
    const ratecontrol_predictor_t *ip = &rc->frame_pred[RC_CLASS_I];
    const float gain = ratecontrol_predict(ip, 1e7f, q, 1.0f) - ratecontrol_predict(ip, 1e7f, ref_q, 1.0f);
    ASSERT_GT(alike, 0.0f);
    ASSERT_GT(gain, alike * (ref_q / q));  // the gain decides here
    const float expected = alike + gain;
    EXPECT_NEAR(finer, expected, 1e-3f * expected) << bframes;
    ctx->ref_count[0] = 0;
  }
}

// Half the class's last picture, scaled to the qscale planned, bounds a
// plan from below whatever the picture's cost: the whole of it left P
// pictures 16% below what they took.
TEST(RateControl, VbvPlanIsAtLeastHalfTheClassLastPicture) {
  tarnhevcenc_param_t p = vbv_param();
  auto enc = open(p);
  ASSERT_TRUE(enc);
  encoder_t *ctx = enc->frame_ctx[1];
  p_picture_t pic(enc.get(), ctx);
  ASSERT_TRUE(pic.in && pic.rec);
  ratecontrol_t *rc = ctx->rc;
  rc->last_cost = 10;  // next to nothing by its cost
  rc->planned_fixed = 0;
  const float q = static_cast<float>(rc_qp2qscale(30.0));
  rc->frame_pred_q[RC_CLASS_P] = q;
  rc->frame_pred_fixed[RC_CLASS_P] = 0.0f;
  rc->frame_pred_slices[RC_CLASS_P] = 100000.0f;
  EXPECT_NEAR(ratecontrol_vbv_size(ctx, q), 50000.0f, 500.0f);
  EXPECT_NEAR(ratecontrol_vbv_size(ctx, 2.0 * q), 25000.0f, 250.0f);
}

// Constant bitrate under a buffer.  Above the qscale its class predictor
// learned at, a CBR picture's size falls as the rate-lambda model's class
// slope has it (P pictures as 1/q^(2/1.4)), not as 1/q: a P picture held
// far above the model's QP took a fifth of a 1/q plan.  A picture on a
// guess (a new scene) keeps 1/q.  An intra picture on a guess is planned at
// its class's share of the fill, not a quarter, and stays marked as a guess
// for the pictures after it; a P picture on a guess keeps the quarter.
// Constant bitrate at 1000 kb/s under vbv_param's buffer, and a P picture
// on its first frame context.
encoder_ptr open_cbr_vbv() {
  tarnhevcenc_param_t p = vbv_param();
  p.rcmode = TARNHEVCENC_RC_CBR;
  p.bitrate = 1000;
  return open(p);
}
struct cbr_vbv_picture_t {
  encoder_ptr enc = open_cbr_vbv();
  p_picture_t pic{enc.get(), enc->frame_ctx[1]};
  bool ok() const { return pic.in && pic.rec && pic.ctx->rc->cbr && pic.ctx->rc->vbv; }
};

TEST(RateControl, VbvPlanOfAConstantBitratePicture) {
  cbr_vbv_picture_t t;
  ASSERT_TRUE(t.ok());
  encoder_t *ctx = t.pic.ctx;
  p_picture_t &pic = t.pic;
  ratecontrol_t *rc = ctx->rc;
  rc->planned_fixed = 0;
  rc->last_cost = 1000000;
  const float q = static_cast<float>(rc_qp2qscale(30.0));
  ratecontrol_predictor_t *pr = &rc->frame_pred[RC_CLASS_P];
  ratecontrol_update_predictor(pr, q, 1e6f, 50000.0f * q, 1.0f);
  rc->frame_pred_q[RC_CLASS_P] = q;
  rc->frame_pred_fixed[RC_CLASS_P] = 0.0f;
  rc->frame_pred_slices[RC_CLASS_P] = 0.0f;
  rc->frame_pred_cost[RC_CLASS_P] = 1e6f;
  const float at = ratecontrol_vbv_size(ctx, q);
  EXPECT_NEAR(ratecontrol_vbv_size(ctx, 2.0 * q), at / std::pow(2.0f, 2.0f / 1.4f), 0.01f * at);
  rc->last_cost = 3000000;  // three times the cost learned from: a guess
  EXPECT_NEAR(ratecontrol_vbv_size(ctx, 2.0 * q), ratecontrol_vbv_size(ctx, q) / 2.0f, 0.01f * at);
  // On a guess of a predictor that has learned nothing: P a quarter of the
  // fill, intra constant bitrate's nine tenths (the pictures after it
  // predict from it).
  const double q4 = rc_qp2qscale(4.0);
  rc->frame_pred_cost[RC_CLASS_P] = 0.0f;
  rc->frame_pred[RC_CLASS_P] = rc->frame_pred[RC_CLASS_B];
  rc->vbv_fill_start = 200000;
  ratecontrol_clip_qscale(ctx, RC_CLASS_P, q4);
  EXPECT_NEAR(rc->planned_bits, 50000, 500);
  EXPECT_EQ(rc->planned_on_guess, 1);
  pic.in->frame_type_code = TARNHEVCENC_TYPE_IDR;
  ctx->slice_type_code = 2;
  ASSERT_LT(rc->frame_pred[RC_CLASS_I].count, 1.25f);
  ratecontrol_clip_qscale(ctx, RC_CLASS_I, q4);
  EXPECT_NEAR(rc->planned_bits, 180000, 1800);
  EXPECT_EQ(rc->planned_on_guess, 1);
}

// Constant bitrate under a buffer: the window pays back only the
// under-spend the buffer still holds, its finished fill less a fifth of it;
// what a full buffer spilled is gone.  Chased, it planned the next P
// picture of a full buffer far below its predecessors and the buffer ran
// dry.  An over-spend stays as it is.
TEST(RateControl, ConstantBitrateWindowUnderABufferChasesOnlyWhatTheBufferHolds) {
  cbr_vbv_picture_t t;
  ASSERT_TRUE(t.ok());
  encoder_t *ctx = t.pic.ctx;
  ratecontrol_t *rc = ctx->rc, *inst = ctx->instance->rc;
  ASSERT_TRUE(rc->cbr_window);
  inst->vbv_fill = inst->vbv_size / 2;
  rc->cbr_window->level = 10 * static_cast<int64_t>(inst->vbv_size);
  cbr_estimate_qp(ctx);
  EXPECT_EQ(rc->cbr_window->level, inst->vbv_fill - inst->vbv_size / 5);
  rc->cbr_window->level = -static_cast<int64_t>(inst->vbv_size);
  cbr_estimate_qp(ctx);
  EXPECT_EQ(rc->cbr_window->level, -static_cast<int64_t>(inst->vbv_size));
}

// Constant bitrate under a buffer: a picture the model planned blind steers
// its CTUs from the QP the buffer's plan gave it, by the CTU model's
// factor, where the buffer has room for its target: the plan did not raise
// it, the buffer holds sixteen pictures of the rate or more, and it stays
// half full with the pictures in flight at their overruns (the first
// intra picture whatever its plan).  The buffer
// counts it at its target.  Its CTUs steer only below the rows' QP until
// the CTUs coded before one have spent twice the target; from there the
// rows' QP bounds it from below.  An intra picture that opens a scene (the
// first, or one at a cut), and a picture after a cut planned on what its
// class learned before it, steer either way of the rows, and where the
// buffer has no room for the target still steer above them, counted at
// their plans.
TEST(RateControl, ConstantBitrateUnderABufferSteersBlindPicturesWhereItHasRoom) {
  cbr_vbv_picture_t t;
  ASSERT_TRUE(t.ok());
  encoder_t *ctx = t.pic.ctx;
  ratecontrol_t *rc = ctx->rc;
  const int32_t size = rc->vbv_size, target = 20000;
  auto plan = [&](float qp, int32_t risk, int32_t rate) {
    rc->planned_valid = 1;
    rc->planned_bits = 1000;
    rc->qp_novbv = 30.0f;
    rc->vbv_fill_start = size;
    rc->vbv_overrun_risk = risk;
    rc->vbv_rate = rate;
    rc->cbr_vbv_steer = target;
    cbr_vbv_steer_plan(ctx, qp);
    return rc->cbr_vbv_steer;
  };
  EXPECT_EQ(plan(30.0f, 0, size / 30), target);
  EXPECT_EQ(rc->planned_bits, target);
  EXPECT_EQ(rc->cbr_steer_qp, 30.0f);
  EXPECT_EQ(plan(30.4f, size / 2 - target - 1000, size / 16), target);
  EXPECT_EQ(plan(31.0f, 0, size / 30), 0);  // the plan raised it
  EXPECT_EQ(rc->planned_bits, 1000);
  EXPECT_EQ(plan(30.0f, 0, size / 10), 0);                       // ten pictures
  EXPECT_EQ(plan(30.0f, 0, 1500000000), 0);  // sixteen such pictures pass 2^31
  EXPECT_EQ(plan(30.0f, size / 2 - target + 1000, size / 30), 0);  // below half after it
  EXPECT_EQ(rc->cbr_steer_way, CBR_STEER_FINER);
  // The first intra picture steers whatever its plan, a later one not.
  t.pic.in->frame_type_code = TARNHEVCENC_TYPE_IDR;
  ctx->slice_type_code = 2;
  rc->coding_index = 0;
  EXPECT_EQ(plan(31.0f, 0, size / 30), target);
  EXPECT_EQ(rc->cbr_steer_way, CBR_STEER_EITHER);
  // Without room for its target: above the rows only, counted at its plan.
  EXPECT_EQ(plan(31.0f, size / 2 - target + 1000, size / 30), target);
  EXPECT_EQ(rc->cbr_steer_way, CBR_STEER_COARSER);
  EXPECT_EQ(rc->planned_bits, 1000);
  rc->coding_index = 9;
  EXPECT_EQ(plan(31.0f, 0, size / 30), 0);
  // An intra picture at a cut steers as the first, where its plan did not
  // raise it.
  rc->cbr_window->scene_from = 9;
  EXPECT_EQ(plan(30.0f, 0, size / 30), target);
  EXPECT_EQ(rc->cbr_steer_way, CBR_STEER_EITHER);
  EXPECT_EQ(plan(31.0f, 0, size / 30), target);
  EXPECT_EQ(rc->cbr_steer_way, CBR_STEER_COARSER);
  rc->cbr_window->scene_from = 0;
  t.pic.in->frame_type_code = TARNHEVCENC_TYPE_P;
  ctx->slice_type_code = 1;
  EXPECT_EQ(plan(30.0f, 0, size / 30), target);
  EXPECT_EQ(rc->cbr_steer_way, CBR_STEER_FINER);
  // A P picture after a cut, planned on what its class learned of the last
  // scene, steers either way too, and without room above the rows only;
  // once its class has learned in the scene, as before.
  rc->cbr_window->learned[CBR_CLASS_IP] = 3;
  EXPECT_EQ(plan(30.0f, 0, size / 30), target);
  EXPECT_EQ(rc->cbr_steer_way, CBR_STEER_EITHER);
  EXPECT_EQ(plan(31.0f, 0, size / 30), target);
  EXPECT_EQ(rc->cbr_steer_way, CBR_STEER_COARSER);
  rc->cbr_window->learned_at[CBR_CLASS_IP] = 0;
  EXPECT_EQ(plan(31.0f, 0, size / 30), 0);
  EXPECT_EQ(plan(30.0f, 0, size / 30), target);
  EXPECT_EQ(rc->cbr_steer_way, CBR_STEER_FINER);
  rc->cbr_window->learned[CBR_CLASS_IP] = 0;
  rc->cbr_window->learned_at[CBR_CLASS_IP] = -1;
  // Two CTUs in a row: the second steers 6 below the plan's QP at a factor
  // of 2, under rows that rose to 36, until the first has spent twice the
  // target.
  ASSERT_EQ(ctx->ctu_cols, 2);
  const int32_t triple[3] = {target, 4 * target, target / 4};
  rc->frame_qp = 30.0f;
  ctx->cur_recon->row_qp[0].store(36.0f);
  auto second_ctu_qp = [&](int32_t first_bits) {
    cbr_ctu_model_init(rc->cbr_ctu_model, triple, 2, 0);
    cbr_ctu_update(rc->cbr_ctu_model, 0, 0, first_bits);
    ctx->ctu_x = 1;
    ctx->ctu_y = 0;
    ctx->ctu_addr = 1;
    ctx->cbr_ctu_factor = 2.0;
    return ratecontrol_ctu_qp(ctx);
  };
  EXPECT_EQ(second_ctu_qp(2 * target), 24);
  EXPECT_EQ(second_ctu_qp(2 * target + 1), 36);
  // Over its share: up from the plan's QP, but above the rows only once
  // the picture has spent twice its target.
  ctx->cbr_ctu_factor = 0.25;
  EXPECT_EQ(ratecontrol_ctu_qp(ctx), 42);
  ctx->cur_recon->row_qp[0].store(30.0f);
  EXPECT_EQ(ratecontrol_ctu_qp(ctx), 42);
  cbr_ctu_model_init(rc->cbr_ctu_model, triple, 2, 0);
  cbr_ctu_update(rc->cbr_ctu_model, 0, 0, target);
  EXPECT_EQ(ratecontrol_ctu_qp(ctx), 30);
  rc->cbr_steer_way = CBR_STEER_EITHER;  // an intra picture opening a scene
  EXPECT_EQ(ratecontrol_ctu_qp(ctx), 42);
  ctx->cbr_ctu_factor = 2.0;
  EXPECT_EQ(ratecontrol_ctu_qp(ctx), 24);
  rc->cbr_steer_way = CBR_STEER_COARSER;  // ... without room in the buffer
  EXPECT_EQ(ratecontrol_ctu_qp(ctx), 30);
  ctx->cbr_ctu_factor = 0.25;
  EXPECT_EQ(ratecontrol_ctu_qp(ctx), 42);
  rc->cbr_steer_way = CBR_STEER_FINER;
  rc->cbr_vbv_steer = 0;  // not steered: the row's QP
  EXPECT_EQ(second_ctu_qp(0), 30);
}

// A P picture of 10 x 4 CTUs planned at `plan` whose CTUs each take 2.5
// times what the row predictors expect at its QP (those past the split
// columns bits_after_split): the rows raise their QP at their split columns
// towards the plan, and after each later CTU again only while the picture
// is predicted past the fill counted at the overrun less half of what the
// plan leaves.  Returns, per row, the QP chosen at the split column and the
// QP the row ended at.
struct rows_run_t {
  std::vector<float> at_start, at_split, at_end;
};
// setup: changes the record once the picture's plan is set.
rows_run_t code_rows(encoder_t *enc, int32_t fill, int32_t overrun_risk, int32_t plan = 40000,
                     int32_t bits_after_split = 2500, const std::function<void(ratecontrol_t *)> &setup = {}) {
  rows_run_t out;
  encoder_t *ctx = enc->frame_ctx[1];
  p_picture_t pic(enc, ctx);
  if (!pic.in || !pic.rec) return out;
  ctu_maps_t maps{};
  ctu_maps_t *const old_maps = ctx->maps;
  ctx->maps = &maps;
  const int32_t cols = ctx->ctu_cols, rows = ctx->ctu_rows;
  for (int32_t r = 0; r < rows; r++) {
    pic.in->lookahead_row_costs[r] = 1000 * cols;
    pic.in->intra_row_costs[r] = 1000 * cols;
    for (int32_t c = 0; c < cols; c++) {
      pic.in->lookahead_ctu_costs[r * cols + c] = 1000 * (c + 1);
      pic.in->intra_ctu_costs[r * cols + c] = 1000 * (c + 1);
    }
  }
  ratecontrol_t *rc = ctx->rc;
  const float q = static_cast<float>(rc_qp2qscale(30.0));
  // 1000 bits a CTU at QP 30 by the predictors; each takes 2500
  for (auto &pair : rc->row_pred_init) pair[0] = pair[1] = {q, 1.0f, 0.5f, 0.0f};
  ratecontrol_vbv_frame_start(ctx, 0);
  rc->frame_qp = 30.0f;
  rc->qp_novbv = 30.0f;
  rc->planned_valid = 1;
  rc->planned_fixed = 0;
  rc->planned_bits = plan;
  rc->vbv_fill_start = fill;
  rc->vbv_overrun_risk = overrun_risk;
  if (setup) setup(rc);
  for (int32_t y = 0; y < rows; y++) {
    for (int32_t x = 0; x < cols; x++) {
      ctx->ctu_x = x;
      ctx->ctu_y = y;
      ctx->ctu_addr = y * cols + x;
      ratecontrol_ctu_start(ctx);
      if (x == 0) out.at_start.push_back(pic.rec->row_qp[y].load());
      ctx->ctu_qp = static_cast<int32_t>(pic.rec->row_qp[y].load() + 0.5f);
      const int32_t split = (cols + rows) / 2 - y - 1;
      ratecontrol_ctu_end(ctx, x > split ? bits_after_split : 2500);
      if (x == split) out.at_split.push_back(pic.rec->row_qp[y].load());
    }
    out.at_end.push_back(pic.rec->row_qp[y].load());
  }
  ctx->maps = old_maps;
  return out;
}

// A VBV encoder whose pictures are ten CTUs wide in four rows.
encoder_ptr open_rows_encoder() {
  tarnhevcenc_param_t p = vbv_param();
  p.width = 640;
  p.height = 256;
  return open(p);
}

TEST(RateControl, VbvRowsRiseAfterTheirSplitColumnOnlyForTheBuffer) {
  auto enc = open_rows_encoder();
  ASSERT_TRUE(enc);
  ASSERT_EQ(enc->frame_ctx[1]->ctu_cols, 10);
  ASSERT_EQ(enc->frame_ctx[1]->ctu_rows, 4);
  // The plan (40 kbit) leaves 160 kbit of the fill: the rows rise at their
  // split columns towards the plan, and not after them while the picture
  // is predicted below the fill less half of what the plan leaves.
  const rows_run_t roomy = code_rows(enc.get(), 200000, 0);
  ASSERT_EQ(roomy.at_end.size(), 4u);
  ASSERT_EQ(roomy.at_split.size(), 4u);
  EXPECT_GT(roomy.at_split[1], 33.0f);
  for (int32_t y = 0; y < 4; y++) EXPECT_EQ(roomy.at_end[y], roomy.at_split[y]) << "row " << y;
  // Counted at their overruns, the pictures in flight leave 140 kbit: the
  // last row goes on rising after its split column.
  const rows_run_t tight = code_rows(enc.get(), 200000, 60000);
  ASSERT_EQ(tight.at_end.size(), 4u);
  EXPECT_EQ(tight.at_split[3], roomy.at_split[3]);
  EXPECT_GT(tight.at_end[3], tight.at_split[3] + 4.0f);
  // CTUs past the split columns that take next to nothing do not lower the
  // rows again (a plan of 80 kbit in 100: lowered, the last row fell 2.5
  // QPs below its split column's choice): the split column alone decides
  // towards the plan.
  const rows_run_t cheap = code_rows(enc.get(), 100000, 0, 80000, 100);
  ASSERT_EQ(cheap.at_end.size(), 4u);
  EXPECT_GT(cheap.at_split[3], 32.0f);
  for (int32_t y = 0; y < 4; y++) EXPECT_EQ(cheap.at_end[y], cheap.at_split[y]) << "row " << y;
}

// Without B pictures the rows count a reference in flight at the bits it
// published it expects to take (at the CTU their wait makes certain), and
// before their split columns rise where that leaves the buffer short, fall
// (to the rate mode's QP at most, one step at most) into bits a full buffer
// would spill, and otherwise keep the frame's QP; a picture in flight that is no
// reference counts at what the reference knows of it.
TEST(RateControl, VbvRowsWithoutBPicturesCountTheirReferencesCodedBits) {
  auto enc = open_rows_encoder();
  ASSERT_TRUE(enc);
  const encoder_t *ctx = enc->frame_ctx[1];
  frame_t *ref = frame_get_unused(enc->pool, 0);
  ASSERT_TRUE(ref);
  const int32_t rate = ctx->rc->vbv_rate, size = ctx->rc->vbv_size;
  // takes: the reference's own, then what it knows of the picture before it
  // (-1: nothing); other: that picture's count at its plan.
  auto run = [&](float take, float known_other, int32_t other, float novbv) {
    for (int32_t i = 0; i < ctx->ctu_count; i++) {
      ref->vbv_take[i * VBV_TAKES].store(take);
      ref->vbv_take[i * VBV_TAKES + 1].store(known_other);
      ref->vbv_took[i].store(1.0f);
    }
    ref->vbv_ids[0] = 7;
    ref->vbv_id_count = 1;
    return code_rows(enc.get(), 200000, 0, 40000, 2500, [&](ratecontrol_t *rc) {
      rc->chain_on = 1;
      rc->chain_fill = 200000;
      rc->chain_count = 2;
      ctx->cur_recon->vbv_ids[0] = 7;  // the picture before the reference
      rc->chain_ref[0] = nullptr;
      rc->chain_take[0][0] = rc->chain_take[0][1] = other;
      rc->chain_ref[1] = ref;
      rc->qp_novbv = novbv;
    });
  };
  // 200 kbit less 20 and 10, each with its refill: room for the plan's
  // 40 kbit; the rows keep QP 30 until their split columns.
  const rows_run_t roomy = run(20000.0f, -1.0f, 10000, 30.0f);
  ASSERT_EQ(roomy.at_start.size(), 4u);
  for (int32_t y = 0; y < 4; y++) EXPECT_EQ(roomy.at_start[y], 30.0f) << "row " << y;
  // The reference takes 240 kbit: the first row rises before it codes a CTU.
  const rows_run_t short_of_it = run(240000.0f, -1.0f, 10000, 30.0f);
  ASSERT_EQ(short_of_it.at_start.size(), 4u);
  EXPECT_GT(short_of_it.at_start[0], 30.0f);
  // The picture before it at its plan is 10 kbit, but the reference knows it
  // takes 220: short again.
  const rows_run_t second_hand = run(20000.0f, 220000.0f, 10000, 30.0f);
  ASSERT_EQ(second_hand.at_start.size(), 4u);
  EXPECT_GT(second_hand.at_start[0], 30.0f);
  // A full buffer that would spill what a picture of a quarter of its
  // refill leaves: the rows fall towards the rate mode's QP (26), a step
  // at most.  A picture of the whole refill, which would take bits the
  // pictures after it counted on, keeps QP 30; so does one whose rows
  // foretell a quarter of the refill where its plan is the whole.
  auto in_full = [&](float per_ctu, int32_t plan) {
    const float q30 = static_cast<float>(rc_qp2qscale(30.0));
    return code_rows(enc.get(), size, 0, plan, 2500, [&](ratecontrol_t *rc) {
      rc->chain_on = 1;
      rc->chain_fill = size;
      rc->chain_count = 1;
      rc->chain_ref[0] = ref;
      rc->qp_novbv = 26.0f;
      rc->row_pred_pic[0] = {q30 * per_ctu / 1000.0f, 1.0f, 0.5f, 0.0f};
      for (int32_t i = 0; i < ctx->ctu_count; i++) ref->vbv_take[i * VBV_TAKES].store(static_cast<float>(rate) / 4);
    });
  };
  ASSERT_EQ(rate, 40000);
  const rows_run_t small = in_full(250.0f, rate / 4);
  ASSERT_EQ(small.at_start.size(), 4u);
  EXPECT_EQ(small.at_start[0], 26.0f);
  const rows_run_t whole = in_full(1000.0f, rate);
  ASSERT_EQ(whole.at_start.size(), 4u);
  EXPECT_EQ(whole.at_start[0], 30.0f);
  const rows_run_t planned_whole = in_full(250.0f, rate);
  ASSERT_EQ(planned_whole.at_start.size(), 4u);
  EXPECT_EQ(planned_whole.at_start[0], 30.0f);
  // Rows whose predictors foretell a quarter of what the CTUs take (250
  // bits a CTU, 10 kbit in all, as planned) in 60 kbit of fill: once the
  // coded CTUs show the picture at several times its plan, the next rows
  // rise before their split columns, though the rows' own prediction
  // stays below the fill less half of what the plan leaves (35 kbit).
  const rows_run_t outgrown = code_rows(enc.get(), 60000, 0, rate / 4, 2500, [&](ratecontrol_t *rc) {
    rc->chain_on = 1;
    rc->chain_fill = 60000;
    rc->chain_count = 1;
    rc->chain_ref[0] = ref;
    rc->row_pred_pic[0] = {static_cast<float>(rc_qp2qscale(30.0)) / 4.0f, 1.0f, 0.5f, 0.0f};
    for (int32_t i = 0; i < ctx->ctu_count; i++) ref->vbv_take[i * VBV_TAKES].store(static_cast<float>(rate));
  });
  ASSERT_EQ(outgrown.at_start.size(), 4u);
  EXPECT_EQ(outgrown.at_start[0], 30.0f);
  EXPECT_GT(outgrown.at_start[3], 30.0f);
  frame_release(enc->pool, ref);
}

// With B pictures, a B picture's rows hold after their split columns to the
// fill counted with what its reference in flight published it takes (the
// reference's own plan counted it far smaller); a P picture's rows do not
// read it, nor a B picture's whose reference keeps to its plan.
TEST(RateControl, VbvBPictureRowsHoldToTheFillTheirReferenceShows) {
  auto enc = open_rows_encoder();
  ASSERT_TRUE(enc);
  encoder_t *ctx = enc->frame_ctx[1];
  frame_t *ref = frame_get_unused(enc->pool, 0);
  ASSERT_TRUE(ref);
  auto run = [&](uint32_t type, float take) {
    for (int32_t i = 0; i < ctx->ctu_count; i++) {
      ref->vbv_take[i * VBV_TAKES].store(take);
      ref->vbv_took[i].store(1.0f);
    }
    ref->vbv_id_count = 0;
    return code_rows(enc.get(), 200000, 0, 40000, 2500, [&](ratecontrol_t *rc) {
      ctx->cur_input->frame_type_code = type;
      rc->chain_read = 1;
      rc->chain_on = 0;
      rc->chain_fill = 200000;
      rc->chain_count = 1;
      rc->chain_ref[0] = ref;
      rc->chain_take[0][0] = rc->chain_take[0][1] = 20000;
    });
  };
  // The reference takes 20 kbit, as counted: room for the plan.
  const rows_run_t kept = run(TARNHEVCENC_TYPE_B, 20000.0f);
  // It takes 170 kbit: 70 kbit of fill are left, and the rows rise on
  // after their split columns.
  const rows_run_t held = run(TARNHEVCENC_TYPE_B, 170000.0f);
  const rows_run_t p_rows = run(TARNHEVCENC_TYPE_P, 170000.0f);
  ASSERT_EQ(kept.at_end.size(), 4u);
  ASSERT_EQ(held.at_end.size(), 4u);
  ASSERT_EQ(p_rows.at_end.size(), 4u);
  for (int32_t y = 0; y < 4; y++) {
    EXPECT_EQ(kept.at_end[y], kept.at_split[y]) << "row " << y;
    EXPECT_EQ(p_rows.at_end[y], kept.at_end[y]) << "row " << y;
  }
  EXPECT_GT(held.at_end[3], kept.at_end[3] + 2.0f);
  frame_release(enc->pool, ref);
}

// A finished picture's overrun of its plan counts in its class's overrun in
// proportion to the plan's share of a picture's refill, up to the whole:
// a B picture planned at an eighth of the refill that took four times its
// plan raises the class's overrun to 1.375, not 4; a plan of the whole
// refill that ran over by half, to 1.5.
TEST(RateControl, VbvOverrunOfASmallPlanCountsInProportion) {
  tarnhevcenc_param_t p = vbv_param();
  auto enc = open(p);
  ASSERT_TRUE(enc);
  encoder_t *ctx = enc->frame_ctx[1];
  p_picture_t pic(enc.get(), ctx);
  ASSERT_TRUE(pic.in && pic.rec);
  pic.in->frame_type_code = TARNHEVCENC_TYPE_B;
  // No row costs: the rows' predictors learn nothing either.
  std::fill_n(pic.in->lookahead_row_costs, 2 * ctx->ctu_rows + 2 * ctx->ctu_count, 0u);
  for (int32_t r = 0; r < ctx->ctu_rows; r++) pic.rec->row_bits[r].store(0);
  for (int32_t i = 0; i < ctx->ctu_count; i++) pic.rec->ctu_bits[i].store(0);
  ratecontrol_t *rc = ctx->rc;
  const int32_t rate = rc->vbv_rate;
  auto finish = [&](int32_t plan, int64_t bits) {
    rc->planned_valid = 1;
    rc->planned_on_guess = 0;
    rc->planned_class = RC_CLASS_B;
    rc->planned_fixed = 0;
    rc->planned_bits = plan;
    rc->qp_sum = 30.0 * ctx->ctu_count;
    rc->last_cost = 0;  // the size predictor does not learn here
    EXPECT_EQ(ratecontrol_frame_end(ctx, bits), 0);
  };
  finish(rate / 8, 4 * static_cast<int64_t>(rate / 8));
  EXPECT_NEAR(rc->plan_overrun[RC_CLASS_B], 1.375f, 0.01f);
  rc->plan_overrun[RC_CLASS_B] = 0.0f;
  finish(rate, rate + rate / 2);
  EXPECT_NEAR(rc->plan_overrun[RC_CLASS_B], 1.5f, 0.01f);
}

// Intra pictures in flight planned on the intra predictor's first guess,
// before one has returned, count twice their plans in the fill the buffer
// must outlast (all may be off by the same factor); a picture then takes at
// most half of that fill.  Other classes' guesses, and intra guesses once
// one has shown its error, do not.
TEST(RateControl, VbvIntraGuessesInFlightMustBeOutlastedTwice) {
  tarnhevcenc_param_t p = vbv_param();
  p.width = 256;  // pictures of one CTU row count twice their plans anyway
  p.height = 128;
  auto enc = open(p);
  ASSERT_TRUE(enc);
  {
    two_in_flight_t f(enc.get(), 200000, 100000);
    ASSERT_TRUE(f.pic.in && f.pic.rec);
    for (encoder_t *o : {f.a, f.b}) {
      o->rc->planned_on_guess = 1;
      o->rc->planned_class = RC_CLASS_I;
    }
    f.pic.in->frame_number = 2;
    ratecontrol_t *rc = f.ctx->rc;
    const int32_t rate = rc->vbv_rate;
    ASSERT_EQ(ratecontrol_frame_start(f.ctx, 0, 0), 0);
    EXPECT_EQ(rc->vbv_fill_start, 900000 - 200000 + rate - 100000 + rate);
    EXPECT_EQ(rc->vbv_guess_risk, 300000);
    f.a->rc->planned_class = RC_CLASS_P;
    ASSERT_EQ(ratecontrol_frame_start(f.ctx, 0, 0), 0);
    EXPECT_EQ(rc->vbv_guess_risk, 100000);
    // Once an intra plan has returned 1.2 times over, the rest count that.
    rc->guess_error[RC_CLASS_I] = 1.2f;
    ASSERT_EQ(ratecontrol_frame_start(f.ctx, 0, 0), 0);
    EXPECT_EQ(rc->vbv_guess_risk, 0);
    EXPECT_EQ(rc->vbv_fill_start, 900000 - 200000 + rate - 120000 + rate);
  }
  // The plan: half of what the fill would be at twice those plans, where
  // that is less than the half (learned) of the fill at the plans.
  encoder_t *ctx = enc->frame_ctx[3];
  ratecontrol_t *rc = ctx->rc;
  frame_t cur{};
  cur.frame_type_code = TARNHEVCENC_TYPE_B;
  cur.b_level = 2;
  ctx->cur_input = &cur;
  ctx->slice_type_code = 0;
  rc->last_cost = 1000000;
  ratecontrol_predictor_t *pred = &rc->frame_pred[RC_CLASS_B];
  ratecontrol_update_predictor(pred, 1.0f, 1e6f, 1e6f * pred->coeff / pred->count, 1.0f);
  const double q20 = rc_qp2qscale(20.0);
  rc->vbv_fill_start = 200000;
  rc->vbv_guess_risk = 40000;
  double q = ratecontrol_clip_qscale(ctx, RC_CLASS_B, q20);
  EXPECT_NEAR(ratecontrol_predict(pred, 1e6f, static_cast<float>(q), 1.0f), 80000.0f, 100.0f);
  rc->vbv_guess_risk = 150000;
  q = ratecontrol_clip_qscale(ctx, RC_CLASS_B, q20);
  EXPECT_NEAR(ratecontrol_predict(pred, 1e6f, static_cast<float>(q), 1.0f), 25000.0f, 100.0f);
  ctx->cur_input = nullptr;
}

// One pass at a rate, with B pictures in flight: a B picture counts the
// other B pictures in flight at 1.15 times their plans at least in the
// overrun fill (a P picture at their class's overrun), and B pictures
// planned on a first guess no finished picture of their class has checked
// at the error the other B class's first guess showed.
TEST(RateControl, VbvBPicturesInFlightCountTheirLikelyOverrun) {
  tarnhevcenc_param_t p = vbv_param();
  p.rcmode = TARNHEVCENC_RC_ABR;
  p.bitrate = 1000;
  p.width = 256;  // pictures of one CTU row count twice their guesses
  p.height = 128;
  auto enc = open(p);
  ASSERT_TRUE(enc);
  two_in_flight_t f(enc.get(), 100000, 100000);
  ASSERT_TRUE(f.pic.in && f.pic.rec);
  ASSERT_TRUE(f.ctx->rc->abr);
  ratecontrol_t *rc = f.ctx->rc;
  const int32_t rate = rc->vbv_rate;
  for (encoder_t *o : {f.a, f.b}) o->rc->planned_class = RC_CLASS_B;
  f.pa.frame_type_code = f.pb.frame_type_code = TARNHEVCENC_TYPE_B;
  auto fills = [&](uint32_t type) {
    f.pic.in->frame_type_code = type;
    int32_t over = 0, worst = 0;
    const int32_t expected = ratecontrol_fill_ahead(f.ctx, &over, &worst);
    return std::array<int32_t, 2>{expected, over};
  };
  const int32_t at_plans = 900000 - 100000 + rate - 100000 + rate;
  for (uint32_t type : {TARNHEVCENC_TYPE_B, TARNHEVCENC_TYPE_BREF}) {
    const auto b = fills(type);
    EXPECT_EQ(b[0], at_plans);
    EXPECT_EQ(b[1], 900000 - 115000 + rate - 115000 + rate);
  }
  const auto p_fills = fills(TARNHEVCENC_TYPE_P);
  EXPECT_EQ(p_fills[0], at_plans);
  EXPECT_EQ(p_fills[1], at_plans);
  // On a first guess: at the plans while no B guess has returned, then at
  // what the reference B picture's guess took.
  for (encoder_t *o : {f.a, f.b}) o->rc->planned_on_guess = 1;
  EXPECT_EQ(fills(TARNHEVCENC_TYPE_P)[0], at_plans);
  rc->guess_error[RC_CLASS_BREF] = 1.6f;
  EXPECT_EQ(fills(TARNHEVCENC_TYPE_P)[0], 900000 - 160000 + rate - 160000 + rate);
  rc->guess_error[RC_CLASS_B] = 1.2f;
  EXPECT_EQ(fills(TARNHEVCENC_TYPE_P)[0], 900000 - 120000 + rate - 120000 + rate);
  rc->guess_error[RC_CLASS_B] = rc->guess_error[RC_CLASS_BREF] = 0.0f;
  f.pic.in->frame_type_code = TARNHEVCENC_TYPE_P;
}

// A P picture sent as a B slice (list 1 repeating list 0) is still a P
// picture to rate control: its rows start from the P pictures' predictors.
TEST(RateControl, APPictureSentAsABSliceKeepsItsClass) {
  tarnhevcenc_param_t p = vbv_param();
  auto enc = open(p);
  ASSERT_TRUE(enc);
  encoder_t *ctx = enc->frame_ctx[1];
  p_picture_t pic(enc.get(), ctx);
  ASSERT_TRUE(pic.in && pic.rec);
  frame_t r0{};
  ctx->ref_list[0][0] = ctx->ref_list[1][0] = &r0;
  ctx->ref_count[0] = ctx->ref_count[1] = 1;
  ratecontrol_t *rc = ctx->rc;
  for (int32_t cls = 0; cls < 3; cls++) rc->row_pred_init[cls][0].coeff = static_cast<float>(cls + 1);
  for (int32_t slice : {1, 0}) {
    ctx->slice_type_code = slice;
    ASSERT_EQ(ratecontrol_frame_start(ctx, 0, 0), 0);
    EXPECT_EQ(rc->row_pred_pic[0].coeff, static_cast<float>(RC_CLASS_P + 1)) << "slice type " << slice;
  }
  ctx->ref_count[0] = ctx->ref_count[1] = 0;
}

// A B picture's QP lies between its references' (on the P scale), nearer
// the closer one; two intra references count ip_offset above their mean.
TEST(RateControl, BPictureQpFromItsReferences) {
  tarnhevcenc_param_t p = base_param();
  p.rcmode = TARNHEVCENC_RC_CRF;
  p.bframes = 3;
  auto enc = open(p);
  ASSERT_TRUE(enc);
  encoder_t *ctx = enc->frame_ctx[1];
  frame_t cur{}, r0{}, r1{};
  cur.frame_type_code = TARNHEVCENC_TYPE_B;
  cur.b_level = 1;
  cur.poc = 1;
  r0.poc = 0;
  r1.poc = 4;
  ctx->cur_input = &cur;
  ctx->slice_type_code = 0;
  ctx->ref_list[0][0] = &r0;
  ctx->ref_list[1][0] = &r1;
  ctx->ref_count[0] = ctx->ref_count[1] = 1;
  const ratecontrol_t *rc = ctx->rc;
  struct b_case_t {
    uint32_t t0, t1;
    double want;
  };
  r0.avg_qp = 20.0;
  r1.avg_qp = 28.0;
  for (const b_case_t c :
       {b_case_t{TARNHEVCENC_TYPE_IDR, TARNHEVCENC_TYPE_I, 24.0 + rc->ip_offset + rc->pb_offset[0]},
        // Distances 1 and 3: three quarters of the way to the near one.
        b_case_t{TARNHEVCENC_TYPE_P, TARNHEVCENC_TYPE_P, 22.0 + rc->pb_offset[0]},
        b_case_t{TARNHEVCENC_TYPE_IDR, TARNHEVCENC_TYPE_P, 28.0 + rc->pb_offset[0]}}) {
    r0.frame_type_code = c.t0;
    r1.frame_type_code = c.t1;
    EXPECT_NEAR(rc_qscale2qp(ratecontrol_estimate_qscale(ctx)), c.want, 1e-3) << c.t0 << " " << c.t1;
  }
  // Reference B pictures are taken back to the P scale by their own level's
  // offset.
  r0.frame_type_code = r1.frame_type_code = TARNHEVCENC_TYPE_BREF;
  r0.b_level = 2;
  r1.b_level = 1;
  r0.avg_qp = 20.0 + rc->pb_offset[1];
  r1.avg_qp = 28.0 + rc->pb_offset[0];
  EXPECT_NEAR(rc_qscale2qp(ratecontrol_estimate_qscale(ctx)), 22.0 + rc->pb_offset[0], 1e-3);
  ctx->cur_input = nullptr;
}

// Under VBV a B picture of constant QP or LQP follows references that the
// buffer raised above their constant QP, as in the modes aiming at a rate;
// below them it keeps its own constant QP.  (Coded at its own QP between
// references at 40, it took five times the rate and emptied the buffer.)
TEST(RateControl, ConstantQpBPictureFollowsRaisedReferencesUnderVbv) {
  for (const bool lqp : {false, true}) {
    tarnhevcenc_param_t p = vbv_param();
    p.qp = 22;
    if (lqp) p.rcmode = TARNHEVCENC_RC_LQP;
    auto enc = open(p);
    ASSERT_TRUE(enc);
    encoder_t *ctx = enc->frame_ctx[1];
    frame_t *in = frame_get_unused(enc->pool, 1);
    frame_t *rec = frame_get_unused(enc->pool, 0);
    ASSERT_TRUE(in && rec);
    frame_t r0{}, r1{};
    in->frame_type_code = TARNHEVCENC_TYPE_B;
    in->b_level = 1;
    in->poc = 2;
    r0.poc = 0;
    r1.poc = 4;
    r0.frame_type_code = r1.frame_type_code = TARNHEVCENC_TYPE_P;
    ctx->cur_input = in;
    ctx->cur_recon = rec;
    ctx->slice_type_code = 0;
    ctx->ref_list[0][0] = &r0;
    ctx->ref_list[1][0] = &r1;
    ctx->ref_count[0] = ctx->ref_count[1] = 1;
    const ratecontrol_t *rc = ctx->rc;
    r0.avg_qp = 40.0;
    r1.avg_qp = 42.0;
    ASSERT_EQ(ratecontrol_frame_start(ctx, 0, 0), 0);
    EXPECT_GE(rc->frame_qp, 41.0f + static_cast<float>(rc->pb_offset[0]) - 0.01f) << "lqp " << lqp;
    EXPECT_EQ(rc->qp_novbv, static_cast<float>(rc->cqp_b[0])) << "lqp " << lqp;
    r0.avg_qp = r1.avg_qp = 22.0;
    ASSERT_EQ(ratecontrol_frame_start(ctx, 0, 0), 0);
    EXPECT_EQ(rc->frame_qp_int, rc->cqp_b[0]) << "lqp " << lqp;
    ctx->ref_count[0] = ctx->ref_count[1] = 0;
    ctx->cur_input = ctx->cur_recon = nullptr;
    frame_release(enc->pool, in);
    frame_release(enc->pool, rec);
  }
}

// The reconstruction of every coded picture carries the picture's B level:
// rate control reads a reference B picture's level from it.
TEST(RateControl, ReconstructionsCarryTheBLevel) {
  tarnhevcenc_param_t p = base_param(64, 64);
  p.rcmode = TARNHEVCENC_RC_CRF;
  p.bframes = 7;
  p.complexity = 0;
  p.scenecut = 0;
  auto enc = open(p);
  ASSERT_TRUE(enc);
  std::vector<uint8_t> planes[3];
  const uint8_t *out = nullptr;
  int32_t brefs = 0, pictures = 0;
  auto check = [&]() {
    const frame_t *rec = enc->held_recon, *in = enc->held_input;
    EXPECT_EQ(rec->b_level, in->b_level) << "picture " << in->frame_number;
    brefs += rec->frame_type_code == TARNHEVCENC_TYPE_BREF && rec->b_level >= 1;
    pictures++;
  };
  for (int32_t i = 0; i < 9; i++) {
    for (int32_t c = 0; c < 3; c++) {
      const int32_t w = c ? 32 : 64;
      planes[c].resize(static_cast<size_t>(w * w));
      for (int32_t y = 0; y < w; y++)
        for (int32_t x = 0; x < w; x++) planes[c][y * w + x] = static_cast<uint8_t>((x * 7 + y * 3 + i * 5) * (c + 1));
    }
    const uint8_t *pl[3] = {planes[0].data(), planes[1].data(), planes[2].data()};
    const int32_t strides[3] = {64, 32, 32};
    if (encoder_encode_frame(enc.get(), pl, strides, i, nullptr, &out) > 0) check();
  }
  while (encoder_encode_frame(enc.get(), nullptr, nullptr, 0, nullptr, &out) > 0) check();
  EXPECT_EQ(pictures, 9);
  EXPECT_EQ(brefs, 3);  // levels 1, 2 and 2 around the P picture at 8
}

// Under the CU-tree the complexity of a picture is the constant
// (0.04 / duration) raised to 1 - the user's qcompress (not the 1.0 that the
// CU-tree makes the record's): a CRF P picture comes out at
// crf + 13.5 (1 - qcompress) + 6 log2 of that constant.
TEST(RateControl, CrfUnderCuTreeUsesTheUsersCompression) {
  tarnhevcenc_param_t p = base_param();
  p.rcmode = TARNHEVCENC_RC_CRF;
  p.crf = 23.0f;
  p.qcompress = 0.6f;
  p.fps_num = 50;
  p.fps_den = 1;
  p.bframes = 0;
  auto enc = open(p);
  ASSERT_TRUE(enc);
  encoder_t *ctx = enc->frame_ctx[1];
  p_picture_t pic(enc.get(), ctx);
  ASSERT_TRUE(pic.in && pic.rec && pic.in->la);
  frame_t ref{};
  ref.poc = 0;
  pic.in->poc = 1;
  pic.in->la->cost_cache[1][0] = 5000;
  ctx->ref_list[0][0] = &ref;
  ctx->ref_count[0] = 1;
  enc->coding_number = 3;
  const double constant = std::pow(0.04 * 50.0, 0.4);
  EXPECT_NEAR(rc_qscale2qp(ratecontrol_estimate_qscale(ctx)), 23.0 + 0.4 * 13.5 + 6.0 * std::log2(constant), 1e-3);
  enc->coding_number = -1;
}

// What a picture's start leaves in its context goes on to the context that
// starts the next picture: after a hard picture at a high QP on one context,
// an easy picture on another is held within the step limit of that QP (a
// fresh context would give it a far lower one).
TEST(RateControl, NextPictureStartSeesTheLastStart) {
  rc_contexts_t fresh, e;
  ASSERT_TRUE(fresh.enc && e.enc);
  ASSERT_GE(e.enc->frame_ctx_count, 3);
  const float easy_fresh = fresh.start_p(fresh.at(2), 2000, 3);
  const float hard = e.start_p(e.at(1), 4000000, 0);
  ASSERT_GT(hard, easy_fresh + 12.0f);
  ratecontrol_sync_state(e.at(2), e.at(1), e.at(3));  // 2 starts after 1; 3 finishes next
  const float easy = e.start_p(e.at(2), 2000, 3);
  EXPECT_GE(easy, hard - static_cast<float>(e.enc->param.qp_step) - 0.01f);
  EXPECT_LT(easy, hard);
}

// What a picture's end leaves in its context goes on to the context that
// finishes next: a picture that took ten times the bits raises the QP of
// the next one there (ABR takes back the overspend).
TEST(RateControl, NextPictureSeesTheLastEnd) {
  float qp[2];
  for (int32_t big = 0; big < 2; big++) {
    rc_contexts_t e;
    ASSERT_TRUE(e.enc);
    ASSERT_GE(e.enc->frame_ctx_count, 3);
    e.start_p(e.at(2), 20000, 0);
    e.end_p(e.at(2), big ? 40000 : 4000);
    ratecontrol_sync_state(e.at(2), e.at(2), e.at(3));  // 2 has just finished; 3 finishes next
    qp[big] = e.start_p(e.at(3), 20000, 0);
  }
  EXPECT_GT(qp[1], qp[0] + 3.0f);
}

TEST(AdaptiveQuant, FixedPointHelpers) {
  EXPECT_EQ(exp2fix8(0.0f), 256);
  EXPECT_EQ(exp2fix8(6.0f), 128);
  EXPECT_EQ(exp2fix8(-6.0f), 512);
  EXPECT_EQ(exp2fix8(-12.0f), 1024);
  EXPECT_EQ(exp2fix8(-48.0f), 65535);
  EXPECT_EQ(exp2fix8(200.0f), 0);
  for (float x = -40.0f; x <= 40.0f; x += 0.7f)
    EXPECT_NEAR(exp2fix8(x), 256.0 * std::exp2(-x / 6.0), 256.0 * std::exp2(-x / 6.0) * 0.012 + 1) << "x " << x;
  EXPECT_EQ(log2_int_f(1), 0.0f);
  EXPECT_EQ(log2_int_f(256), 8.0f);
  for (int32_t v : {3, 100, 1000, 65535, 1 << 20, 123456789})
    EXPECT_NEAR(log2_int_f(v), std::log2(static_cast<double>(v)), 1e-4) << "v " << v;
}

// Offsets worked out by hand on a 96x64 picture (two CTUs, 6 x 4 blocks
// inside a grid of 8 x 4): the left three block columns flat (energy 0),
// the right three with one sample 16 above the rest (energy 256 - 1 = 255).
// Mode 1 centres log2 of the energy on 14.427; mode 2 takes v = (energy +
// 1)^(1/8), 1 and 2 here, and measures against its mean over the whole
// CTU grid, blocks outside the picture counting as nothing: S = 36, S2 =
// 60, N = 32, so strength = 0.5 x 1.125 and centre = 1.125 - 0.5 x
// (60 / 32 - 14) / 1.125.
TEST(AdaptiveQuant, OffsetsOfAHandWorkedPicture) {
  for (int32_t mode : {1, 2}) {
    tarnhevcenc_param_t p = base_param(96, 64);
    p.aq_mode = mode;
    p.aq_strength = 0.5f;
    auto enc = open(p);
    ASSERT_TRUE(enc);
    p_picture_t pic(enc.get(), enc->frame_ctx[1]);
    frame_t *f = pic.in;
    ASSERT_TRUE(f && pic.rec);
    for (int32_t c = 0; c < 3; c++)
      for (int32_t y = 0; y < (c ? 32 : 64); y++)
        for (int32_t x = 0; x < (c ? 48 : 96); x++) f->plane[c][y * f->stride[c] + x] = 128;
    for (int32_t by = 0; by < 4; by++)
      for (int32_t bx = 3; bx < 6; bx++) f->plane[0][16 * by * f->stride[0] + 16 * bx] = 144;
    aq_compute_qp_offsets(enc.get(), f);
    const double centre = 1.125 - 0.5 * (60.0 / 32.0 - 14.0) / 1.125;
    const double flat = mode == 1 ? 0.5 * 1.0397 * -14.427 : 0.5 * 1.125 * (1.0 - centre);
    const double textured = mode == 1 ? 0.5 * 1.0397 * (std::log2(255.0) - 14.427) : 0.5 * 1.125 * (2.0 - centre);
    const int32_t stride = 4 * enc->ctu_cols;
    for (int32_t by = 0; by < 4; by++)
      for (int32_t bx = 0; bx < 6; bx++)
        EXPECT_NEAR(f->aq_offsets[by * stride + bx], bx < 3 ? flat : textured, 1e-3)
            << "mode " << mode << " block " << bx << "," << by;
  }
}

// A picture whose left CTU is flat and right CTU textured: mode 1 gives the
// flat blocks lower offsets; strength 0 gives no offset at all.
// A picture whose left CTU is flat and right CTU textured: the blocks'
// offsets differ, and so do the two CTUs' QPs; with AQ off in effect both
// CTUs take the picture's QP.
TEST(AdaptiveQuant, FlatAndTexturedHalvesGetDifferentOffsets) {
  for (int32_t mode : {1, 2}) {
    tarnhevcenc_param_t p = base_param(128, 64);
    p.aq_mode = mode;
    auto enc = open(p);
    ASSERT_TRUE(enc);
    encoder_t *ctx = enc->frame_ctx[1];
    p_picture_t pic(enc.get(), ctx);
    frame_t *f = pic.in;
    ASSERT_TRUE(f && pic.rec);
    uint32_t rng = 1;
    for (int32_t c = 0; c < 3; c++)
      for (int32_t y = 0; y < (c ? 32 : 64); y++)
        for (int32_t x = 0; x < (c ? 64 : 128); x++) {
          rng = rng * 1664525u + 1013904223u;
          f->plane[c][y * f->stride[c] + x] = x < (c ? 32 : 64) ? 128 : static_cast<uint8_t>(rng >> 24);
        }
    aq_compute_qp_offsets(enc.get(), f);
    const int32_t stride = 4 * enc->ctu_cols;
    for (int32_t by = 0; by < 4; by++)
      for (int32_t bx = 0; bx < 4; bx++) {
        const float flat = f->aq_offsets[by * stride + bx], textured = f->aq_offsets[by * stride + bx + 4];
        EXPECT_LT(flat + 3.0f, textured) << "mode " << mode << " block " << bx << "," << by;
        EXPECT_EQ(f->aq_inv_qscale[by * stride + bx], exp2fix8(flat));
      }
    ctx->rc->frame_qp = 30.0f;
    auto ctu_qp = [&](int32_t x) {
      ctx->ctu_x = ctx->ctu_addr = x;
      ctx->ctu_y = 0;
      return ratecontrol_ctu_qp(ctx);
    };
    EXPECT_LT(ctu_qp(0) + 3, ctu_qp(1)) << "mode " << mode;
    ctx->aq_mode_active = 0;
    EXPECT_EQ(ctu_qp(0), 30);
    EXPECT_EQ(ctu_qp(1), 30);
    enc->param.aq_strength = 0.0f;
    aq_compute_qp_offsets(enc.get(), f);
    for (int32_t i = 0; i < enc->ctu_count * 16; i++) {
      EXPECT_EQ(f->aq_offsets[i], 0.0f);
      EXPECT_EQ(f->aq_inv_qscale[i], 256);
    }
  }
}

}  // namespace
