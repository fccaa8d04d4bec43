// Rate control: the per-frame-context record, the frame QP by mode, VBV,
// the per-CTU QP and the end-of-picture update.
#pragma once

#include <cmath>
#include <cstdint>

#include "ratecontrol/rc_counts.h"
#include "tarnhevcenc.h"

struct encoder_t;
struct frame_t;

// Predicts the bits of n CTUs (or a picture, n = 1) of cost c at qscale q
// as (c * coeff + n * offset) / (q * count).
struct ratecontrol_predictor_t {
  float coeff, count, decay, offset;
};

// Picture classes: the slice type codes, then Bref; a fifth slot exists for
// the arrays' shape only.
enum { RC_CLASS_B = 0, RC_CLASS_P = 1, RC_CLASS_I = 2, RC_CLASS_BREF = 3, RC_CLASS_COUNT = 5 };

struct ratecontrol_t {
  int32_t abr;       // ABR, CRF and LQP (one pass)
  int32_t cbr;       // constant bitrate (ratecontrol/cbr.h)
  int32_t two_pass;  // average bitrate following the plan made from a first pass's statistics
  int32_t lqp;
  int32_t vbv;
  double fps;
  double bitrate;  // bits per second
  double rate_tolerance;
  double qcompress;  // 1.0 whenever the CU-tree is on
  int32_t unit_count;
  int32_t cqp_p, cqp_i, cqp_b[3];
  int32_t frame_qp_int;
  float frame_qp;
  // Sums in double: a picture of equal CTU QPs averages to exactly that QP,
  // which B pictures of later frame contexts read.
  double qp_sum, coded_qp_sum;
  int32_t forced_qp;
  int32_t last_cost;
  double last_cplx;
  double cplxr_sum;
  double expected_bits_sum;
  double wanted_bits_window;
  double decay;
  double short_cplx_sum, short_cplx_count;
  double crf_rate_factor;
  double ip_offset;
  double pb_offset[3];
  int32_t planned_valid;
  int32_t vbv_size;  // bits
  int32_t vbv_rate;  // bits added per picture
  int32_t vbv_fill;
  int32_t vbv_fill_start;
  // How much lower the fill at the start would be if every picture in
  // flight ran over its plan as far as its class's plans lately did
  // (vbv_fill_start counts them at what such plans took on average).
  int32_t vbv_overrun_risk;
  // How much lower again if every intra picture in flight planned on a
  // first guess whose error no finished picture has shown yet took twice
  // its plan.
  int32_t vbv_guess_risk;
  // How much higher than the fill at the start it would be if every
  // picture in flight took what its class's plans lately took, below its
  // plan too: what a full buffer is likely to spill is reckoned from it.
  int32_t vbv_likely_gain;
  // Constant bitrate: how much lower than the fill at the start the rows of
  // a P or intra picture count it after their split columns, with the B
  // pictures in flight further over their plans (vbv_plan.cpp, FILL_ROWS).
  int32_t vbv_rows_risk;
  // A second pass's P picture among B pictures: what a full buffer would
  // spill by the end of its run of B pictures (ratecontrol_run_spill), which
  // its rows may spend (ratecontrol_ctu.cpp, vbv_row_redecide); 0 otherwise.
  float run_spend;
  // The fill as the picture's rows see it while they are coded: the fill
  // after the last picture collected when it started (chain_fill), less
  // each picture then in flight, in coding order, plus the refill of each.
  // A reference (chain_ref[k], else NULL) counts at what it expects to
  // take as far as its coded CTUs show (frame_t::vbv_take); another at
  // what a reference knows it takes, or else at chain_take[k][0] (what its
  // class's plans lately took) or chain_take[k][1] (their overrun).
  // Every picture of a rate mode in one pass or of constant bitrate
  // (chain_read) publishes what it expects to take and what it knows of the
  // others; in one pass B pictures' rows hold to that fill after their split
  // columns.  The rows' other rules on it (chain_on) hold pictures without B
  // pictures and P pictures among them; not B pictures, nor intra pictures
  // among B pictures (before P pictures among B pictures counted only their
  // own coded CTUs, those rules held them 2-5 QPs up and gave up 5-10% of
  // the rate).
  int32_t chain_read;
  int32_t chain_on;
  // A P picture whose plan knew of a key picture within the buffer's span
  // after it (vbv_plan.cpp, key_in_span).
  int32_t key_ahead;
  int32_t chain_fill;
  int32_t chain_count;
  const frame_t *chain_ref[16];
  int32_t chain_take[16][2];
  // What this picture is counted to take of its plan while none of it is
  // coded (as the pictures in flight are counted).
  float chain_prior;
  int32_t planned_bits;
  // planned_bits came from the first guess of the predictor of class
  // planned_class (it had learned from no finished picture yet).
  int32_t planned_on_guess;
  int32_t planned_class;
  // The bits of the picture outside its slices (its parameter sets), known
  // when it starts and part of planned_bits.
  int32_t planned_fixed;
  int32_t single_frame_vbv;
  float qp_novbv;
  ratecontrol_predictor_t row_pred_init[3][2];
  // The pair of row_pred_init of the picture's class as it started:
  // the rows read it while row_pred_init learns at the picture's end.
  ratecontrol_predictor_t row_pred_pic[2];
  ratecontrol_predictor_t *row_pred_cur;  // row_pred_pic
  ratecontrol_predictor_t *row_preds;     // two per CTU row (with VBV)
  ratecontrol_predictor_t frame_pred[4];
  // The qscale each picture predictor last learned at (0 before it has):
  // a plan below it grows as 1/q^2 (ratecontrol_frame.cpp).
  float frame_pred_q[4];
  // The bits of that picture outside its slices (parameter sets, SEI): they
  // do not fall as the qscale rises, where the predictor's 1/q has them do.
  float frame_pred_fixed[4];
  // That picture's slice bits (the size model also scales them to the
  // picture planned) and lookahead cost (ratecontrol/vbv_plan.cpp).
  float frame_pred_slices[4], frame_pred_cost[4];
  // The slice bits of the last B picture of each pyramid level that
  // finished (levels 3 and deeper share the last): a P picture's run of B
  // pictures is sized by them (ratecontrol/vbv_plan.cpp, run_spill).
  float run_slices[4];
  // By how much the last finished picture planned on its class's first
  // guess outgrew that plan (bits / plan; 0 before one has finished).
  float guess_error[4];
  // How far the plans of each class have lately run over (bits / plan of
  // the slices, the largest lately, a plan below the refill counting in
  // proportion; 0 before one has finished): the share
  // of the fill a plan may take leaves room for that, and pictures in
  // flight count that much over their plans (vbv_plan.cpp).
  float plan_overrun[4];
  // What the plans of each class took lately on average (the geometric
  // mean of bits / plan of the slices; 0 before one has finished): the
  // pictures in flight count that much of their plans (vbv_plan.cpp).
  float plan_took[4];
  double last_qscale;
  double last_qscale_for[RC_CLASS_COUNT];
  int32_t last_non_b_type;
  double accum_qp, accum_norm, last_accum_norm;
  double lmin[RC_CLASS_COUNT], lmax[RC_CLASS_COUNT];
  double lstep;

  // Two passes (ratecontrol/twopass.h).  The entries, the order array and
  // the statistics text buffers belong to the instance's record; the others
  // point at them.
  struct ratecontrol_entry_t *entry;  // of the picture being coded
  int32_t entry_count;
  struct ratecontrol_entry_t *entries;  // in coding order
  int32_t *entry_order;                 // coding index by display index
  char *stats_header;                   // first pass, until the first line is written
  char *stats_out;                      // first pass: the text left for the caller
  // What the picture's CTUs coded, summed from the row contexts.
  rc_picture_counts_t pic_counts;
  int32_t coding_index;  // of the picture being coded

  // Constant bitrate (ratecontrol/cbr.h).  alpha and beta: three classes per
  // frame-context slot, shared by every record, like the window model.
  double *cbr_alpha, *cbr_beta;
  struct cbr_window_t *cbr_window;
  struct cbr_ctu_model_t *cbr_ctu_model;  // this frame context's own
  int32_t cbr_target, cbr_max, cbr_min;
  int32_t cbr_cost;
  // The window slot and class of this context's picture and the frame QP
  // it was planned at, while it is in flight.
  int32_t cbr_slot, cbr_class;
  double cbr_planned_qp;
  int64_t cbr_cost_sum;  // the lookahead's cost of the picture (sum of its block costs)
  // Under a buffer: the picture's CTUs steer towards this many bits (0: the
  // rows alone decide), from this QP, and which way of the rows' QP
  // (cbr_steer_way_t).
  int32_t cbr_vbv_steer;
  float cbr_steer_qp;
  int32_t cbr_steer_way;
};


// QP and qscale: qscale = 0.85 * 2^((QP - 12) / 6).
inline double rc_qp2qscale(double qp) { return 0.85 * std::exp2((qp - 12.0) / 6.0); }
inline double rc_qscale2qp(double q) { return 12.0 + 6.0 * std::log2(q / 0.85); }
inline float rc_qp2qscale_f(float qp) { return 0.85f * std::exp2((qp - 12.0f) / 6.0f); }
inline float rc_qscale2qp_f(float q) { return 12.0f + 6.0f * std::log2(q / 0.85f); }

// Set-up at open (after the frame contexts exist): one record per frame
// context, entry 0 the instance's.  0 or -1.
int32_t ratecontrol_init(encoder_t *enc);
void ratecontrol_free(encoder_t *enc);
// Hands the state forward when a picture starts on new: what frame starts
// update travels from previous to new, what frame ends update from new to
// next (the context collected next).
void ratecontrol_sync_state(encoder_t *new_ctx, encoder_t *previous_ctx, encoder_t *next_ctx);

// Frame level, on the caller's thread.  forced: QP + 1 (0 none); reserved:
// bits taken from the VBV fill before the picture.
int32_t ratecontrol_frame_start(encoder_t *ctx, int32_t forced, int32_t reserved);
int32_t ratecontrol_frame_qp(const encoder_t *ctx);
float ratecontrol_estimate_qscale(encoder_t *ctx);
// Under VBV, the buffer's plan of the picture: the qscale the rate mode
// chose, raised until the picture's predicted size fits what the buffer
// allows it (ratecontrol/vbv_plan.cpp), then kept within the QP limits;
// the planned size is left in planned_bits.  Without VBV only the limits.
double ratecontrol_clip_qscale(encoder_t *ctx, int32_t slice_type, double q);
// At frame start under VBV: the row arrays, the row predictors of the
// picture's class and the fill the picture starts with (less reserved).
void ratecontrol_vbv_frame_start(encoder_t *ctx, int32_t reserved);
// The buffer fill expected when the picture set up on ctx starts: the fill
// after the last picture collected, less every picture still in flight at
// its planned size times what its class's plans lately took (or the error
// its size predictor's first guess showed), plus the refill of each.
// overrun_fill (may be NULL): the same with each plan times the overrun its
// class's plans lately showed; worst_fill (may be NULL): that with intra
// plans on an unchecked first guess counted at twice their size;
// rows_fill (may be NULL): the overrun fill with constant bitrate's B
// pictures in flight further over their plans (ratecontrol_t::vbv_rows_risk);
// likely_fill (may be NULL): each plan times what its class's plans lately
// took, below 1 too (ratecontrol_t::vbv_likely_gain).
int32_t ratecontrol_fill_ahead(const encoder_t *ctx, int32_t *overrun_fill, int32_t *worst_fill,
                              int32_t *rows_fill = nullptr, int32_t *likely_fill = nullptr);
// The most of the fill a picture of class cls may be planned to take: what
// a plan that runs over by as much as the class's plans lately did, and a
// tenth more, still leaves (40% to 75%; half before a plan of the class
// has been checked).  top: the most, 75% unless the caller knows the plans
// of the class run below what they take.
float ratecontrol_vbv_share(const ratecontrol_t *rc, int32_t cls, float top = 0.75f);
// What a full buffer would spill by the end of the P picture's run of B
// pictures, from the fill it starts with (0 without B pictures before it).
float ratecontrol_run_spill(const encoder_t *ctx);
// The most of the fill counted at the overrun (ratecontrol_fill_ahead) a
// picture of class cls may be planned to take: what a plan that runs over
// as far as its class's did lately, and a tenth more, still leaves (40% to
// 90%; half before a plan of the class has been checked).
float ratecontrol_vbv_overrun_share(const ratecontrol_t *rc, int32_t cls);

// How far past its plan a picture's rows let it run at their split columns:
// a frame context's part of what the plan leaves of the fill it started
// with, half that for a predicted picture.
float ratecontrol_vbv_tolerance(const encoder_t *ctx);
// One pass's size model: the bits the picture set up on ctx is predicted
// to take at qscale q (its lookahead cost with its class's predictor,
// bounded below by the class's last picture; last_cost must be set).
float ratecontrol_vbv_size(const encoder_t *ctx, double q);
// The QP of a B picture's references on the P scale: between the QPs of its
// two first references, nearer the closer one; reference B pictures less
// their level's offset, two intra references their mean plus the I offset.
double ratecontrol_b_reference_qp(const encoder_t *ctx);
// The latency tunes' steps on a non-B picture's qscale (the first picture
// divided by the I factor, I pictures less half the I offset, under
// zerolatency the lowest temporal layer less 1), kept at the lowest QP's.
double ratecontrol_latency_qscale(const encoder_t *ctx, int32_t slice_type, double q);
int32_t ratecontrol_frame_end(encoder_t *ctx, int64_t bits);
// Whether a finished picture's bits say what its cost takes at its qscale,
// so that the size predictors may learn from it: not for a predicted
// picture of real-time speed mode 3, which skips every CU with a merge
// candidate whatever its cost.
bool ratecontrol_bits_follow_cost(const encoder_t *ctx);

// CTU level, on the worker threads.
void ratecontrol_ctu_start(encoder_t *ctx);
int32_t ratecontrol_ctu_qp(encoder_t *ctx);
void ratecontrol_ctu_end(encoder_t *ctx, int32_t bits);
// The bits of the picture's units other than its slices so far, start codes
// included (before emulation prevention, which parameter sets hardly need).
int32_t ratecontrol_non_slice_bits(const encoder_t *ctx);
// Adds a finished row's QP sums (in row order, at the end of the picture).
void ratecontrol_accumulate_qp(ratecontrol_t *rc, double qp_sum, double coded_qp_sum);
// After the CTU's decision, with one delta-QP group per CTU: the QP each CU
// is coded with (the CTU QP from the first CU with a residual on, the QP of
// the CU coded before the CTU until then).
void ratecontrol_ctu_coded_qps(encoder_t *ctx, int32_t prev_qp);
void ratecontrol_update_predictor(ratecontrol_predictor_t *p, float q, float cost, float bits, float n);
float ratecontrol_predict(const ratecontrol_predictor_t *p, float cost, float q, float n);

// The lookahead's estimate of the picture being coded against the
// references it is coded with, once they are set (0 where the lookahead
// made none); also fills the picture's per-row and per-CTU cost arrays
// (with VBV) and its intra cost, which ratecontrol_get_intra_cost returns
// afterwards.
int32_t ratecontrol_get_lookahead_cost(encoder_t *ctx);
int32_t ratecontrol_get_intra_cost(encoder_t *ctx);

// Picture class of a frame_type_code (Bref for 5, B for 6, P for 4, else I).
int32_t rc_class_of_type(uint32_t frame_type_code);
// Whether a picture of this type code is a B picture, a reference or not.
inline bool rc_b_type(uint32_t t) { return t == TARNHEVCENC_TYPE_B || t == TARNHEVCENC_TYPE_BREF; }
// Per-B-level values are indexed by level - 1; levels outside 1..3 (a B
// slice of a picture typed P) take the nearest.
inline int32_t rc_b_index(int32_t b_level) { return b_level < 1 ? 0 : b_level > 3 ? 2 : b_level - 1; }
