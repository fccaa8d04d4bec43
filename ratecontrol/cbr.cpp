// Constant bitrate at picture level: the window's target becomes a lambda
// through the rate-lambda model of the picture's class, and the lambda the
// frame QP; after the picture the window and alpha learn.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "encoder/encoder.h"
#include "ratecontrol/cbr.h"
#include "ratecontrol/lowres_cost.h"
#include "ratecontrol/ratecontrol.h"

namespace {

// QP = 4.3281 ln(lambda) + 12.7034 and its inverse.
constexpr double lambda_qp_scale = 4.3281, lambda_qp_offset = 12.7034;
// The model's constants (the intra and high-cost lambdas, the cost limit)
// expect block costs about a third of the lookahead's SATDs: on those the
// first intra and P pictures of real clips land within a few QPs of the
// QP that takes their target.
constexpr uint32_t cbr_cost_scale = 3;
// A P picture's QP stays within this many of its reference's: as far up as
// down, so that a correction of the rate does not overshoot one way and
// crawl back the other.
constexpr double cbr_p_step = 3.0;

bool intra_picture(const encoder_t *ctx) {
  const uint32_t t = ctx->cur_input->frame_type_code;
  return ctx->slice_type_code == 2 || t == TARNHEVCENC_TYPE_IDR || t == TARNHEVCENC_TYPE_CRA ||
         t == TARNHEVCENC_TYPE_I;
}

bool intra_type(uint32_t t) {
  return t == TARNHEVCENC_TYPE_IDR || t == TARNHEVCENC_TYPE_CRA || t == TARNHEVCENC_TYPE_I;
}

int32_t cbr_class(const encoder_t *ctx) {
  const uint32_t t = ctx->cur_input->frame_type_code;
  if (ctx->slice_type_code == 2) return CBR_CLASS_IP;
  return t == TARNHEVCENC_TYPE_B ? CBR_CLASS_B : t == TARNHEVCENC_TYPE_BREF ? CBR_CLASS_BREF : CBR_CLASS_IP;
}

int32_t slot_of(const encoder_t *ctx) {
  return ctx->rc->coding_index % std::max(1, ctx->instance->frame_ctx_count);
}

// The picture's half-resolution block costs against the references it is
// coded with; the intra costs where that estimate was not made.
const uint32_t *estimated_block_costs(encoder_t *ctx) {
  frame_t *f = ctx->cur_input;
  lowres_data_t *d = f->la;
  if (!d) return nullptr;
  if (ctx->slice_type_code != 2 && f->lowres_l0_distance > 0) {
    const int32_t d0 = f->lowres_l0_distance, d1 = std::max<int32_t>(f->lowres_l1_distance, 0);
    if (lookahead_cached_cost(f, d0, d1, false) >= 0) return d->block_costs[d0][d1];
  }
  if (lookahead_cached_cost(f, 0, 0, false) < 0) {
    frame_t *self[1] = {f};
    lookahead_frame_cost(ctx, self, 0, 0, 0);
  }
  return lookahead_cached_cost(f, 0, 0, false) >= 0 ? d->intra_costs : nullptr;
}

// The bits the rate-lambda model expects of a picture of the given pixels
// coded at QP qp.
double model_bits(double qp, double alpha, double beta, double pixels) {
  return std::pow(std::exp((qp - lambda_qp_offset) / lambda_qp_scale) / alpha, 1.0 / beta) * pixels;
}

// The model's alpha is per unit of the lookahead's cost: at one lambda a
// picture of twice the cost takes about twice the bits.  The square root
// of the cost energy the CTU model reads was no such measure: its floor
// per block outweighed the costs of B pictures, whose bits at one QP then
// varied a hundredfold while their energies varied by a third, and the
// pictures in flight were counted at a sixth to six times what they took.
// A picture the lookahead finds free still takes its headers and skips.
constexpr double cbr_cost_floor = 0.1;  // per pixel
double cost_factor(int64_t cost_sum, double pixels, double beta) {
  return std::pow(std::max(static_cast<double>(cost_sum) / pixels, cbr_cost_floor), -beta);
}

// The slope of bits over QP per class: measured on looped foreman, flower
// and a clip with cuts, the bits of P pictures halve over 4 to 6 QPs, those
// of reference B pictures over 3 to 4 and those of B pictures over 2 to 3
// (they fall to skips once their QP passes their references').  The single
// slope of bits halving every 6 QPs held the B pictures' QPs near their
// references' while their bits swung far beyond the model's plans.
constexpr double cbr_class_beta[3] = {-1.4, -1.0, -0.75};
// alpha of each class before it has learned, and of intra pictures, whose
// bits halve every 6 QPs: the middle of what those clips and flower 720p
// took at 100-2000 kb/s, within a factor of 3 of each.  The fixed formulas
// on the cost energy they replace put the first pictures of flower 720p
// 6-8 QPs too high, and a second of 30 pictures landed a third low.
constexpr double cbr_start_alpha[3] = {1.5, 1.5, 3.0};
constexpr double cbr_intra_alpha = 0.5, cbr_intra_beta = -2.0;

// The pictures in flight are counted at what the model, as it has learned
// since they started, expects of their QPs: planned on what it knew a
// dozen pictures earlier, the B pictures of a clip whose QPs were falling
// took several times their plans, and the window spent the same bits
// twice.
void refresh_in_flight(encoder_t *ctx) {
  const encoder_t *enc = ctx->instance;
  const ratecontrol_t *rc = ctx->rc;
  const double pixels = static_cast<double>(ctx->param.width) * ctx->param.height;
  for (int32_t k = 0; k < enc->inflight_count; k++) {
    const ratecontrol_t *o = enc->inflight[k]->rc;
    if (enc->inflight[k] == ctx || o->cbr_planned_qp < 0.0) continue;
    const int32_t i = 3 * slot_of(ctx) + o->cbr_class;
    const double bits = model_bits(o->cbr_planned_qp, rc->cbr_alpha[i] * cost_factor(o->cbr_cost_sum, pixels, rc->cbr_beta[i]), rc->cbr_beta[i], pixels);
    rc->cbr_window->targets[o->cbr_slot] =
        static_cast<int32_t>(std::clamp(bits, static_cast<double>(ctx->ctu_count), 2e9));
  }
}

// Whether the picture is planned on what the model knew before its scene
// (its start values for the first): the intra picture that opens the
// scene (the intra model never learns), or a predicted picture of a class
// no picture of which coded in the scene has come back yet.
bool planned_blind(const encoder_t *ctx, int32_t c) {
  const cbr_window_t *w = ctx->rc->cbr_window;
  if (intra_picture(ctx)) return ctx->rc->coding_index == w->scene_from;
  return cbr_window_blind(w, c);
}

// The QP a picture counts at where the next ones step from it: the average
// its CTUs were coded at, or under a buffer the QP the model chose.  The
// buffer's plan raises a picture for the fill the pictures in flight may
// leave, not for the rate: stepping from the raised QP, the P pictures
// after an intra picture the plan held at QP 50 (the model's 25) came
// down 3 per group, five seconds of flower at 10 pictures a second at QP
// 35-50 and 4 dB lost.
double coded_qp(const ratecontrol_t *rc, const frame_t *f) { return rc->vbv ? f->cbr_qp : f->avg_qp; }

// Under a buffer that the pictures in flight, at their overruns, leave less
// than this share of, a B picture beside a later key picture is held
// between the key picture's coded QP and its other reference's (by display
// distance).  Held only at the other reference's QP, 6 QPs finer than the
// key picture the buffer had raised, the reference B pictures after a key
// picture of flower at 10 pictures a second took 3-4 times their plans and
// ran the buffer 4% of its size below empty (480x272, 80 kb/s).  Only where
// the buffer is low: held wherever it raised the key picture, the B
// pictures left bits that a full buffer spilled, and runs moved by up to 5
// points of the rate either way.  The first picture is left alone: its
// B pictures are the first of their classes and the model learns from them.
constexpr double cbr_key_b_low_fill = 0.3;

double beside_key_floor(const encoder_t *ctx, double other_qp) {
  const ratecontrol_t *rc = ctx->rc;
  if (!rc->vbv || static_cast<double>(rc->vbv_fill_start - rc->vbv_overrun_risk) >=
                      cbr_key_b_low_fill * static_cast<double>(rc->vbv_size))
    return other_qp;
  const frame_t *pic = ctx->cur_input;
  const frame_t *r0 = ctx->ref_list[0][0];
  const frame_t *r1 = ctx->ref_count[1] > 0 ? ctx->ref_list[1][0] : r0;
  const bool i0 = intra_type(r0->frame_type_code), i1 = intra_type(r1->frame_type_code);
  if (i0 == i1) return other_qp;
  const frame_t *key = i0 ? r0 : r1, *other = i0 ? r1 : r0;
  if (key->frame_number == 0) return other_qp;
  const double dk = std::abs(pic->poc - key->poc), d_other = std::abs(pic->poc - other->poc);
  if (dk + d_other <= 0) return other_qp;
  return std::max(other_qp, (d_other * key->avg_qp + dk * other_qp) / (dk + d_other));
}

}  // namespace

int32_t cbr_init(encoder_t *enc) {
  ratecontrol_t *rc = enc->rc;
  const param_t &p = enc->param;
  if (rc->abr || !rc->cbr) return 0;
  const int32_t threads = enc->frame_ctx_count;
  const int32_t n = threads + p.bframes;
  rc->cbr_window = cbr_window_create(static_cast<int32_t>(rc->bitrate / rc->fps),
                                     static_cast<int32_t>(p.cbr_maxrate * 1000.0 / rc->fps),
                                     static_cast<int32_t>(p.cbr_minrate * 1000.0 / rc->fps), p.cbr_span,
                                     n - n % (p.bframes + 1), threads, enc->ctu_count);
  if (rc->cbr_window) {
    rc->cbr_window->buffered = rc->vbv != 0;
    rc->cbr_window->per_second = static_cast<int32_t>(std::lround(rc->fps));
  }
  rc->cbr_ctu_model = cbr_ctu_model_create(enc->ctu_cols, enc->ctu_rows, static_cast<int32_t>(rc->bitrate / rc->fps));
  rc->cbr_alpha = static_cast<double *>(std::calloc(static_cast<size_t>(threads) * 3, sizeof(double)));
  rc->cbr_beta = static_cast<double *>(std::calloc(static_cast<size_t>(threads) * 3, sizeof(double)));
  if (!rc->cbr_window || !rc->cbr_ctu_model || !rc->cbr_alpha || !rc->cbr_beta) return -1;
  // Filled at the first intra picture; until then a model that cannot be
  // read wrongly.
  for (int32_t s = 0; s < threads; s++)
    for (int32_t c = 0; c < 3; c++) {
      rc->cbr_alpha[3 * s + c] = cbr_start_alpha[c];
      rc->cbr_beta[3 * s + c] = cbr_class_beta[c];
    }
  return 0;
}

int32_t cbr_init_contexts(encoder_t *enc) {
  const ratecontrol_t *rc = enc->rc;
  // The copies of the first record share everything but the CTU model.
  for (int32_t k = 1; k <= enc->frame_ctx_count; k++) enc->rc[k].cbr_ctu_model = nullptr;
  if (!rc->cbr_window) return 0;
  for (int32_t k = 1; k <= enc->frame_ctx_count; k++) {
    enc->rc[k].cbr_ctu_model =
        cbr_ctu_model_create(enc->ctu_cols, enc->ctu_rows, static_cast<int32_t>(rc->bitrate / rc->fps));
    if (!enc->rc[k].cbr_ctu_model) return -1;
  }
  return 0;
}

void cbr_free(encoder_t *enc) {
  ratecontrol_t *rc = enc->rc;
  for (int32_t k = 0; k <= enc->frame_ctx_count; k++) {
    cbr_ctu_model_free(rc[k].cbr_ctu_model);
    rc[k].cbr_ctu_model = nullptr;
  }
  cbr_window_free(rc->cbr_window);
  std::free(rc->cbr_alpha);
  std::free(rc->cbr_beta);
  rc->cbr_window = nullptr;
  rc->cbr_alpha = rc->cbr_beta = nullptr;
}

void cbr_reset_intra_model(encoder_t *ctx) {
  ratecontrol_t *rc = ctx->rc;
  cbr_window_reset(rc->cbr_window);
  // A class the model has learned keeps what it learned: the bits a QP
  // takes change at a scene cut, but far less than a start from the fixed
  // values assumes, and a reset at every intra picture kept alpha from ever
  // leaving them.
  for (int32_t c = 0; c < 3; c++) {
    if (rc->cbr_window->learned[c] > 0) continue;
    for (int32_t s = 0; s < ctx->instance->frame_ctx_count; s++) {
      rc->cbr_alpha[3 * s + c] = cbr_start_alpha[c];
      rc->cbr_beta[3 * s + c] = cbr_class_beta[c];
    }
  }
}

double cbr_estimate_qp(encoder_t *ctx) {
  ratecontrol_t *rc = ctx->rc;
  const frame_t *pic = ctx->cur_input;
  const int32_t c = cbr_class(ctx), s = slot_of(ctx);
  const double pixels = static_cast<double>(ctx->param.width) * ctx->param.height;
  const bool intra = intra_picture(ctx);
  if (intra) {
    cbr_reset_intra_model(ctx);
    cbr_window_intra(rc->cbr_window, rc->coding_index, pic->frame_number, ctx->param.idr_period);
  }
  refresh_in_flight(ctx);
  int32_t triple[3];
  rc->cbr_slot = rc->cbr_window->pos;
  rc->cbr_class = c;
  rc->cbr_planned_qp = -1.0;
  // Once the input has ended the window knows how many pictures are left
  // (rc->coding_index counts from 0).
  const int32_t length = ctx->instance->input_length;
  rc->cbr_window->to_come = length > 0 ? std::max(length - rc->coding_index, 1) : 0;
  if (rc->vbv) {
    // Under a buffer the under-spend counts only as far as the buffer holds
    // it: bits it spilled while full are gone, and chased they drove the
    // pictures of a full buffer down to QPs where a P picture took 1.5-2
    // times its plan and the next one ran the buffer dry (flower at 10
    // pictures a second).  A fifth of the buffer stays unspent by the
    // payback.
    const ratecontrol_t *inst = ctx->instance->rc;
    const int64_t room = std::max<int64_t>(inst->vbv_fill - inst->vbv_size / 5, 0);
    rc->cbr_window->level = std::min(rc->cbr_window->level, room);
  }
  cbr_window_predict(rc->cbr_window, c, triple);
  rc->cbr_target = triple[0];
  rc->cbr_max = triple[1];
  rc->cbr_min = triple[2];
  cbr_ctu_model_t *model = rc->cbr_ctu_model;
  const uint32_t *estimated = estimated_block_costs(ctx);
  if (estimated) {
    // The lookahead may estimate only every step_x-th block of every
    // step_y-th row; the others take the cost of the estimated block they
    // share a step with (what lies there otherwise is stale).
    const lowres_layout_t &l = pic->la->layout;
    const int32_t sx = std::max(1, ctx->param.lookahead_step_x), sy = std::max(1, ctx->param.lookahead_step_y);
    uint32_t *costs = model->block_costs;
    rc->cbr_cost_sum = 0;
    for (int32_t y = 0; y < l.block_rows; y++)
      for (int32_t x = 0; x < l.block_cols; x++) {
        const uint32_t cost = estimated[(y - y % sy) * l.block_stride + (x - x % sx)] & LOWRES_COST_MASK;
        rc->cbr_cost_sum += cost;
        costs[y * l.block_stride + x] = cost / cbr_cost_scale;
      }
    rc->cbr_cost = static_cast<int32_t>(ctx->mc.lowres_cost_energy(model->energy, costs, l.block_cols, l.block_rows,
                                                                   l.block_stride, intra ? 2 : 1));
  } else {
    // No estimate at all: every CTU counts the same.
    std::fill(model->energy, model->energy + ctx->ctu_count, 1u);
    rc->cbr_cost = ctx->ctu_count;
    rc->cbr_cost_sum = static_cast<int64_t>(pixels);
  }
  const double beta = rc->cbr_beta[3 * s + c], alpha = rc->cbr_alpha[3 * s + c] * cost_factor(rc->cbr_cost_sum, pixels, beta);
  double lambda;
  if (intra) {
    int32_t bits = std::min(static_cast<int32_t>(0.85 * rc->cbr_max), 5 * rc->cbr_target);
    const int32_t key = planned_blind(ctx, c) ? 0 : cbr_window_key_ceiling(rc->cbr_window, ctx->param.idr_period);
    if (key > rc->cbr_max) {
      rc->cbr_max = key;
      bits = std::max(bits, static_cast<int32_t>(0.85 * key));
    }
    rc->cbr_target = cbr_window_intra_target(rc->cbr_window, bits);
    cbr_window_store(rc->cbr_window, rc->cbr_target);
    lambda = cbr_intra_alpha * cost_factor(rc->cbr_cost_sum, pixels, cbr_intra_beta) *
             std::pow(rc->cbr_target / pixels, cbr_intra_beta);
  } else {
    lambda = alpha * std::pow(rc->cbr_target / pixels, beta);
  }
  double qp = lambda_qp_scale * std::log(lambda) + lambda_qp_offset;
  const int32_t window_target = rc->cbr_target;
  if (intra && rc->cbr_window->last_p_qp > 0.0) {
    // A later intra picture stays near the QP the P pictures have settled
    // at: its QP from its cost alone knows nothing of the rate the clip has
    // shown, and the P pictures after it, held near it, took seconds to
    // come back (flower at 10 pictures a second: from QP 22 to 30 and back).
    // Upwards it may go twice as far: at a low frame rate an intra picture
    // at the P pictures' QP takes more than the window's whole ceiling
    // (flower at 10 pictures a second and 80 kb/s: 1.4 seconds of the
    // rate), and the second after it, paying that back with its P picture
    // held within a step, came to 0.36 times the rate.
    const double anchor = rc->cbr_window->last_p_qp - rc->ip_offset;
    qp = std::clamp(qp, anchor - cbr_p_step, anchor + 2.0 * cbr_p_step);
  }
  if (!intra && c == CBR_CLASS_IP && ctx->ref_count[0] > 0 && rc->cbr_window->learned[c] > 0) {
    // A P picture stays near its reference's QP once the model has learned
    // P pictures, at first twice as far.  The first takes its model's QP:
    // the QP of the intra picture before it says little of what a P
    // picture of the clip takes (bus: 17 pictures 65% above the rate, every
    // P picture held 6 QPs below its model's), and a step of 3 from there
    // left flower 720p's one second a quarter below the rate.
    // After a scene cut the P pictures step twice as far again until two of
    // the scene have come back: the intra picture at the cut is held near
    // the last scene's P pictures, and from foreman's QP 29 bus's pictures
    // climbed 3 a group, 60 pictures cut from foreman to bus 14-21% above
    // the rate.  Not further: untaught by the new scene, the model's own
    // QP swung 10 either way (40 pictures from bus to foreman 44% low).
    // Not one: the first moves alpha by half its miss, and the P picture
    // after it, stepping 3 from that first one's blind QP where its model
    // asked for 7 more, took 43 kbit of a 9.7 kbit target; with one thread
    // every P picture after the first came back so, with eight none, and
    // 40 pictures across the cut from foreman to bus at 400 kb/s came
    // 11.1% above the rate at one thread and 4.3% at eight (now 7.5% and
    // 3.1%, 0.5 dB lower).
    const frame_t *r = ctx->ref_list[0][0];
    const double ref = coded_qp(rc, r) + (intra_type(r->frame_type_code) ? rc->ip_offset : 0.0);
    const bool early = rc->cbr_window->learned[c] < 4 || rc->cbr_window->scene_learned[c] < 2;
    const double step = early ? 2.0 * cbr_p_step : cbr_p_step;
    // Nor finer than its reference where it lies nearer that reference
    // than half a group (the P picture that closes a group short of a key
    // picture): its cost is a fraction of its class's, so its class's share
    // took it to the step's bound, where it coded again what its reference
    // had lost (flower at 10 pictures a second, 80 kb/s: P picture 249, one
    // from its reference and predicted from by none, at QP 22.7 where its
    // reference was at 25.7, took 58 kbit, 0.7 seconds of the rate).
    // Not under a buffer: there the picture before a cut's intra picture,
    // held coarse, left the intra picture fill it took whole, and the group
    // after the cut ran the buffer dry (176x144, seven B pictures, 120 kb/s
    // in 60 kbit: 6 pictures below empty).
    const int32_t d0 = pic->lowres_l0_distance;
    const bool near = !rc->vbv && d0 > 0 && d0 <= ctx->param.bframes / 2;
    qp = std::clamp(qp, near ? ref : ref - step, ref + step);
  } else if (!intra && c != CBR_CLASS_IP && ctx->ref_count[0] > 0) {
    // A B picture takes its target's QP, at most its level's offset either
    // side of its references' QP plus that offset.  Held at the offset
    // whenever its bits fitted the window's upper bound (always), the B
    // pictures spent what their references' QP gave, the one P picture of
    // a group carried every correction, and a falling QP left them taking
    // four to six times their plans (foreman, 60 pictures: 17% above the
    // rate).
    // Without a buffer it stays at least that offset above them, up to three
    // offsets: the class weights follow what the classes took, so B pictures
    // let fall to their references' QP took a large share, were weighed by it
    // and given targets that held them there (flower at 10 pictures a second,
    // 100 kb/s: B pictures no picture predicts from took 12% of the bits at 2.8
    // QPs above the P pictures', where one pass at the same average bitrate
    // gives them 2% at 7 above; now 6% at 5.6, and 0.2 dB more).  They may
    // still fall to their references' QP where what they leave would not be
    // paid back: over the input's last window, and while the window is
    // under-spent past its near bound (bus at 1000 kb/s, 17 pictures and looped
    // to 60: 7.1% and 6.0% below the rate with the floor throughout, 4.3% and
    // 3.6% so let fall), and while the window's pictures fall short of its
    // floor rate (after a key picture at 10 pictures a second, paid back
    // where the looped clip turns and its pictures nearly repeat their
    // references, B pictures given 12-30 kbit each took 0.5-3.5 held an
    // offset or more above their references, and the second came to
    // 0.14-0.4 times the rate).  Under a buffer too: at 10 pictures a
    // second a P picture takes most of the buffer, and what B pictures leave
    // spills from it while full (the floor there cost 4-9% of the rate, more
    // than it gained).
    const double r = ratecontrol_b_reference_qp(ctx);
    const double off = rc->pb_offset[rc_b_index(pic->b_level)];
    const int32_t to_come = rc->cbr_window->to_come;
    const bool ending = to_come > 0 && to_come < rc->cbr_window->span;
    const bool coarse = !rc->vbv && !ending && !rc->cbr_window->under_spent && !rc->cbr_window->at_floor;
    const double lo = beside_key_floor(ctx, coarse ? r + off : r);
    qp = std::clamp(qp, lo, std::max(r + (coarse ? 3.0 : 2.0) * off, lo));
  }
  if (!intra) {
    // The picture is planned at what the model expects of the QP it takes,
    // which the limits above may have moved from the target: the window
    // counts the picture at that while it is in flight, and the CTUs steer
    // towards it (towards the target instead, a picture held at its
    // reference's QP drove its CTUs' QPs a dozen steps further).
    const double planned = std::clamp(model_bits(qp, alpha, beta, pixels), static_cast<double>(ctx->ctu_count),
                                      static_cast<double>(rc->cbr_max));
    rc->cbr_target = static_cast<int32_t>(planned);
    cbr_window_store(rc->cbr_window, rc->cbr_target);
    rc->cbr_planned_qp = qp;
  }
  // A picture planned on the model's start values steers its CTUs towards
  // what the window asks of it: what the model expects at the QP the limits
  // above gave is the same start values' guess (foreman, 24 pictures at
  // eight threads: B pictures steered to it left the stream 17% below the
  // rate, where the window's targets leave it 6.5% below).
  const bool blind = planned_blind(ctx, c);
  // So do the last pictures of the input, as many as there are frame
  // contexts: all of them start before the first comes back, and no
  // picture after them pays back what they miss.  Left to the model, whose
  // B pictures there took 60% of their plans, short clips ended 7-10% below
  // the rate (foreman, 24 pictures at four threads: 9%; bus, 17: 10%).
  const int32_t to_come = rc->cbr_window->to_come;
  const bool last = to_come > 0 && to_come <= ctx->instance->frame_ctx_count;
  const bool steered = blind || last;
  const int32_t model_triple[3] = {steered && !intra ? window_target : rc->cbr_target, rc->cbr_max, rc->cbr_min};
  // The first picture and a class that has learned nothing yet are planned
  // on the start values themselves.
  const bool start = intra ? rc->coding_index == 0 : rc->cbr_window->learned[c] == 0;
  cbr_ctu_model_steer(model, c, !steered ? CBR_PLAN_LEARNED : start ? CBR_PLAN_START : CBR_PLAN_BLIND);
  // Not in a second the pictures so far, at their targets, have taken past
  // the window's ceiling rate: there the turn's P picture after a key
  // picture took its floor share and the key picture's second came to 2.01
  // times the rate (flower 480x272 at 60 kb/s, level 4).
  if (rc->cbr_window->second_full) model->step_under = 0.0;
  ctx->cur_recon->cbr_qp = qp;
  rc->cbr_vbv_steer = rc->vbv && steered && (!intra || blind) ? model_triple[0] : 0;
  cbr_ctu_model_init(model, model_triple, static_cast<int64_t>(rc->cbr_cost) + 1, pic->frame_number);
  return qp;
}

void cbr_vbv_steer_plan(encoder_t *ctx, float qp) {
  ratecontrol_t *rc = ctx->rc;
  const int32_t target = rc->cbr_vbv_steer;
  rc->cbr_vbv_steer = 0;
  if (target <= 0 || !rc->planned_valid) return;
  // Under a buffer a picture the model planned blind steers its CTUs as it
  // does without one, where the buffer leaves room for it: its plan did not
  // raise the picture above the model's QP, the buffer holds at least
  // cbr_vbv_steer_pictures pictures of the rate, and with the pictures in
  // flight at their overruns and this one at its target it stays at least
  // half full.  Left to the rows, which hold B pictures at or above their
  // references' QP, the first group of flower 720p took a third of its
  // targets, and its one second came 8-18% below the rate with the buffer
  // never below two thirds.  With a buffer of fewer pictures a group spans
  // most of it: B pictures of flower at 10 pictures a second, steered to
  // their targets, took twice those, and the P picture after them, held
  // at QP 40 by the buffer, left a second at 0.08 times the rate.
  // The first intra picture steers whatever its plan, and either way of
  // the rows: its plan is the fill's share for the class on the start
  // values, which put bus's first picture at QP 24 where the CTUs steered
  // it to 29.5 without a buffer, and its 17 pictures came 14-36% above
  // the rate (now 3-20%; short clips at levels 1 and 4 miss by 4.9% on
  // average, 7.0% before).
  // An intra picture at a scene cut, held near the last scene's P pictures'
  // QP, knows as little of its scene and steers so too, as do the pictures
  // after it planned on what their classes learned of the last scene (not
  // those planned on the start values: raised above the rows towards the
  // targets these set, bus lost 0.3-0.6 dB).  Where the buffer leaves no
  // room for that, these still steer to coarser QPs than their rows', which
  // cannot take the buffer lower.  Across the cut from foreman to bus, left
  // to the rows, bus's intra picture took a third of the buffer at
  // foreman's QP and its first P and reference B pictures 32-48 kbit each
  // at QPs 3-4 finer than without a buffer: 40 pictures across the cut at
  // 400 kb/s came 12-22% above the rate, now 3-11% as without a buffer
  // (4-11%), their Y-PSNR 0.5-0.8 dB lower, near what they have without
  // one (level 4 at 8 threads: 31.7 dB, without a buffer 31.9).
  const bool opens = intra_picture(ctx) && planned_blind(ctx, CBR_CLASS_IP);
  const int32_t cls = cbr_class(ctx);
  const bool after_cut = !intra_picture(ctx) && planned_blind(ctx, cls) && rc->cbr_window->learned[cls] > 0;
  const bool first = opens && rc->coding_index == 0;
  const double over = static_cast<double>(rc->vbv_fill_start) - rc->vbv_overrun_risk;
  const bool room = (qp <= rc->qp_novbv + 0.5f || first) && over - target >= 0.5 * rc->vbv_size;
  if (rc->vbv_size < int64_t{cbr_vbv_steer_pictures} * rc->vbv_rate || (!room && !opens && !after_cut)) return;
  // The buffer and the pictures in flight count the picture at what it
  // steers towards.
  if (room) rc->planned_bits = std::max(rc->planned_bits, target);
  rc->cbr_vbv_steer = target;
  rc->cbr_steer_qp = qp;
  rc->cbr_steer_way = !room ? CBR_STEER_COARSER : opens || after_cut ? CBR_STEER_EITHER : CBR_STEER_FINER;
}

void cbr_frame_end(encoder_t *ctx, int64_t bits) {
  ratecontrol_t *rc = ctx->rc;
  const uint32_t t = ctx->cur_input->frame_type_code;
  const int32_t c = t == TARNHEVCENC_TYPE_B ? CBR_CLASS_B : t == TARNHEVCENC_TYPE_BREF ? CBR_CLASS_BREF : CBR_CLASS_IP;
  const int32_t b = static_cast<int32_t>(std::min<int64_t>(bits, INT32_MAX));
  // Every picture but an intra one enters its class's share: the class
  // weights must add up to the rate over the pictures they are given to,
  // and counting only the B pictures coded at one QP throughout left P
  // pictures weighing 1.0.  An intra picture, three times a P picture's
  // size, would give the P pictures after it twice their share.
  cbr_window_update(rc->cbr_window, b, c, !intra_picture(ctx));
  const int32_t triple[3] = {rc->cbr_target, rc->cbr_max, rc->cbr_min};
  cbr_ctu_model_noop(rc->cbr_ctu_model, triple);
  const double bpp = static_cast<double>(bits) / ctx->param.width / ctx->param.height;
  const rc_picture_counts_t &n = rc->pic_counts;
  if (!intra_picture(ctx) && c == CBR_CLASS_IP) rc->cbr_window->last_p_qp = coded_qp(rc, ctx->cur_recon);
  // A picture of almost no bits (a still scene's B pictures) says little of
  // the bits a QP takes; below a hundredth of a bit per pixel, which these
  // B pictures always were, the class never learned at all.
  if (intra_picture(ctx) || bpp <= 0.0005 || n.lambda_count == 0) return;
  // Nor does a picture its references nearly repeat (a repeated picture, a
  // clip turning back): the model reads its cost at the floor, while its
  // bits are what its references lost at their coarser QPs.  Such a
  // reference B picture, the first of its class, set alpha thirty times
  // too high, the pictures in flight were counted at two million bits each
  // and the window's ceiling held the next second at its floor (bus
  // turning back before a cut to foreman: 19% below the rate).
  const double pixels = static_cast<double>(ctx->param.width) * ctx->param.height;
  if (static_cast<double>(rc->cbr_cost_sum) < cbr_cost_floor * pixels) return;
  // alpha learns from the lambdas the CTUs were coded with; beta stays.
  const int32_t k = 3 * slot_of(ctx) + c;
  const double cf = cost_factor(rc->cbr_cost_sum, pixels, rc->cbr_beta[k]);
  const double alpha = cbr_learn_alpha(rc->cbr_alpha[k] * cf, rc->cbr_beta[k], n.ln_lambda_sum / n.lambda_count, bpp,
                                       rc->cbr_window->learned[c] == 0) / cf;
  // What one picture taught reaches the next picture of its class on
  // whatever frame context it starts: learned per slot, each slot saw one
  // picture in every frame-context count, and the pictures in flight
  // decided the result.
  for (int32_t s = 0; s < ctx->instance->frame_ctx_count; s++) rc->cbr_alpha[3 * s + c] = alpha;
  cbr_window_learned(rc->cbr_window, c, rc->coding_index);
}

double cbr_learn_alpha(double alpha, double beta, double mean_ln_lambda, double bpp, bool first) {
  const double miss = mean_ln_lambda - std::log(alpha * std::pow(bpp, beta));
  // The first picture of a class fits alpha; later ones move it by half
  // their miss in the log domain (at most a factor of e each way).  The
  // fixed starting values are a factor of 30 off on real clips, which a
  // tenth of the miss per picture took a hundred pictures to cross.
  if (first)
    alpha *= std::exp(miss);
  else
    alpha *= std::exp(0.5 * std::clamp(miss, -2.0, 2.0));
  // Kept above zero, where a picture of no bits would leave it.
  return std::max(alpha, 1e-4);
}

double cbr_size_power(const encoder_t *ctx) {
  const double beta = intra_picture(ctx) ? cbr_intra_beta : ctx->rc->cbr_beta[3 * slot_of(ctx) + cbr_class(ctx)];
  // lambda ~ qscale^2 and lambda ~ bpp^beta.
  return -2.0 / beta;
}

double cbr_lambda_ln(int32_t qp) { return (qp - lambda_qp_offset) / lambda_qp_scale; }
