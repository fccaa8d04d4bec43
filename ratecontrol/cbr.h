// Constant bitrate in the lambda domain: a window model spreads the bits
// over the pictures of a sliding window by picture class, a rate-lambda
// model (lambda = alpha * bpp^beta) turns a picture's target into its QP,
// and a CTU model steers each CTU's QP by the share of bits spent against
// the share of cost covered.
#pragma once

#include <cmath>
#include <cstdint>

struct encoder_t;

// Picture classes of the window: I and P, reference B, B; 3 marks an empty
// slot.
enum { CBR_CLASS_IP = 0, CBR_CLASS_BREF = 1, CBR_CLASS_B = 2, CBR_CLASS_EMPTY = 3 };

struct cbr_window_t {
  int32_t avg_bits, max_bits, min_bits;  // per picture
  int32_t ctu_count;
  int32_t span;  // window length in pictures
  // Bounds of the level (bits under-spent): near and far, low and high.
  int64_t low_near, low, high_near, high;
  int32_t ring_size;
  int32_t threads;
  int32_t pos;          // slot of the next target
  int32_t since_reset;  // pictures since the last intra reset, from -2
  int32_t *targets;
  int64_t level;  // sum of (avg_bits - actual bits)
  int32_t count;  // pictures predicted
  int32_t done_pos;  // slot of the next coded picture
  int64_t class_bits[3];
  int32_t class_count[4];
  uint8_t *flags;  // slot counted in its class
  int32_t *actual;
  uint8_t *classes;
  double weights[3];
  // Pictures of each class the rate-lambda model has learned from (the
  // window is the one CBR record every frame context shares).
  int32_t learned[3];
  // Pictures predicted per class.
  int32_t predicted[3];
  // Average QP of the last P picture coded (0 before the first).
  double last_p_qp;
  // Pictures of the input from the next target on, that one included, once
  // the input's end is known; 0 before.
  int32_t to_come;
  // Display number of the last intra picture (-1 before the first); coding
  // index from which the model plans a new scene (the first picture's, or
  // a scene cut's); per class, coding index of the last picture it learned
  // from (-1 before the first).
  int32_t intra_frame;
  int32_t scene_from;
  int32_t learned_at[3];
  // Per class, pictures coded in the current scene it has learned from.
  int32_t scene_learned[3];
  // The window, with the pictures in flight at their targets, had
  // under-spent past its near bound when it predicted its last picture.
  bool under_spent;
  // The window raised the target of the picture it predicted last to its
  // floor: its pictures so far fall short of the floor rate.
  bool at_floor;
  // The second of the stream (pictures in coding order from the first,
  // per_second at a time; 0: unknown) the picture predicted last falls in
  // came, with the pictures in flight and that one at their targets, past
  // the window's ceiling rate.
  bool second_full;
  // The last intra picture started a new scene before its period ended.
  bool at_cut;
  // A buffer's plan bounds the pictures besides the window; pictures a
  // second, at most the window's length (set after create).
  bool buffered;
  int32_t per_second;
};

cbr_window_t *cbr_window_create(int32_t avg, int32_t max, int32_t min, int32_t span, int32_t group, int32_t threads,
                                int32_t ctu_count);
void cbr_window_free(cbr_window_t *w);
void cbr_window_reset(cbr_window_t *w);
// Target, upper and lower bound of the next picture of class c.
void cbr_window_predict(cbr_window_t *w, int32_t c, int32_t out[3]);
// The target of an intra picture that would take `bits` of a window that
// runs its whole length, for the pictures that are left of the input.
int32_t cbr_window_intra_target(const cbr_window_t *w, int32_t bits);
// The ceiling of a periodic key picture (not the first, not a scene cut)
// of a key period of `key_period` pictures; 0 where it keeps the window's.
int32_t cbr_window_key_ceiling(const cbr_window_t *w, int32_t key_period);
// An intra picture of display number `frame` and coding index `index`
// starts: one nearer the last than the key period (0: only the first is
// periodic) opens a new scene.
void cbr_window_intra(cbr_window_t *w, int32_t index, int32_t frame, int32_t key_period);
// A picture of class c and coding index `index` taught the model.
void cbr_window_learned(cbr_window_t *w, int32_t c, int32_t index);
// Whether a predicted picture of class c is planned on what the model
// knew before its scene: no picture of the class coded in the scene has
// come back yet.
bool cbr_window_blind(const cbr_window_t *w, int32_t c);
// Replaces the target of the picture predicted last.
void cbr_window_store(cbr_window_t *w, int32_t bits);
void cbr_window_update(cbr_window_t *w, int32_t bits, int32_t c, int32_t counted);

struct cbr_ctu_model_t {
  int32_t cols, rows;
  int32_t target, max, min;
  double ratio_hi, ratio_lo;
  // Above 1: the factors move once the bits spent so far are more than
  // band or less than 1/band times the share of the plan (set before init).
  double band;
  // Above 1 where there is no band: the factors rise (finer QPs) once the
  // bits spent so far are less than 1/band_under times the share of the
  // plan, and fall back to 1 once the region spends past its share; below
  // 1 only at the window's bounds, and back to 1 once the region has spent
  // less than its share (set before init).
  double band_under;
  // How far a CTU's factor may move from its reference neighbour's, as a
  // fraction (set before init; 0 counts as 5%).
  double step;
  // Where there is no band: how far it may move from its left neighbour's
  // while the region has spent less than 1/band_under times its share (set
  // before init; 0: as step).
  double step_under;
  int32_t display_index;
  uint32_t *energy;  // per CTU, filled by the picture's cost energies
  uint32_t *block_costs;  // per block (16 per CTU): the costs the energies come from
  int64_t total;     // picture energy + 1
  int64_t threshold;
  // Per CTU: its bits; cost and bits of the region coded before and
  // including it in wavefront order; running sums along its row; its rate
  // factor.
  int32_t *bits;
  int64_t *region_cost, *region_bits, *row_cost, *row_bits;
  double *rate;
};

cbr_ctu_model_t *cbr_ctu_model_create(int32_t cols, int32_t rows, int32_t picture_bits);
void cbr_ctu_model_free(cbr_ctu_model_t *m);
// For a picture: its target triple and cost energies (in m->energy).
void cbr_ctu_model_init(cbr_ctu_model_t *m, const int32_t triple[3], int64_t total, int32_t display_index);
// The rate factor of CTU (x, y): out_mark = 10000, *out_factor the factor.
void cbr_ctu_qp(cbr_ctu_model_t *m, int32_t x, int32_t y, int32_t *out_mark, double *out_factor);
// The QP a CTU's rate factor takes off the picture's: 6 per doubling.
inline float cbr_ctu_qp_offset(double factor) {
  return 6.0f * static_cast<float>(std::log(factor) * 1.4426950408889634);
}
void cbr_ctu_update(cbr_ctu_model_t *m, int32_t x, int32_t y, int32_t bits);
// The bits of the CTUs coded before CTU (x, y) in every wavefront order:
// those of its row to its left and the region of the row above.
int64_t cbr_ctu_known_bits(const cbr_ctu_model_t *m, int32_t x, int32_t y);
void cbr_ctu_model_noop(cbr_ctu_model_t *m, const int32_t triple[3]);
// What a picture was planned on: what the model has learned of its scene;
// only what it learned before the scene (blind); its fixed start values.
enum { CBR_PLAN_LEARNED = 0, CBR_PLAN_BLIND = 1, CBR_PLAN_START = 2 };
// Sets the band and step (before init) for a picture of class c planned on
// `plan`.
void cbr_ctu_model_steer(cbr_ctu_model_t *m, int32_t c, int32_t plan);

// Rate control's CBR parts: set-up (window, alpha and beta, every frame
// context's CTU model), release, the frame QP, and the updates after a
// picture.  0 or -1.
int32_t cbr_init(encoder_t *enc);
int32_t cbr_init_contexts(encoder_t *enc);
void cbr_free(encoder_t *enc);
void cbr_reset_intra_model(encoder_t *ctx);
double cbr_estimate_qp(encoder_t *ctx);
// Under a buffer, after the buffer's plan set the picture's QP to qp:
// whether the picture steers its CTUs towards its target (left in
// rc->cbr_vbv_steer, 0 where the rows alone decide).
void cbr_vbv_steer_plan(encoder_t *ctx, float qp);
// The fewest pictures of the rate a buffer holds for pictures under it to
// steer their CTUs.
constexpr int32_t cbr_vbv_steer_pictures = 16;
// Which way of its rows' QP a steered picture's CTUs may go.
enum cbr_steer_way_t { CBR_STEER_FINER, CBR_STEER_EITHER, CBR_STEER_COARSER };
// A steered picture's CTUs leave the QP to the rows once it has spent this
// many times its target.
constexpr double cbr_vbv_steer_bound = 2.0;
void cbr_frame_end(encoder_t *ctx, int64_t bits);
// alpha after a picture of bpp bits per pixel coded at a mean ln(lambda):
// moved towards the alpha that would have predicted it (set to it when
// first).
double cbr_learn_alpha(double alpha, double beta, double mean_ln_lambda, double bpp, bool first);
// The power of the qscale by which the rate-lambda model expects the bits of
// the picture being coded to fall (bits ~ qscale^-power), from its class.
double cbr_size_power(const encoder_t *ctx);
// ln(lambda) of a CTU QP on the model's QP-lambda line.
double cbr_lambda_ln(int32_t qp);
