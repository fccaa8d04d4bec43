// Per-CTU limits of the P and B decisions: where a prediction unit may be
// moved to, the vector range, the early-skip mode and the B-intra switch.
#pragma once

#include <algorithm>
#include <cstdint>

#include "encoder/encoder.h"
#include "motion/mv.h"

// A prediction unit whose top-left sample lies more than 71 samples left of
// (above) the picture or more than 7 beyond its right (bottom) edge reads
// only replicated edge samples, the same ones as at that limit; positions
// relative to the CTU origin.
inline int32_t pu_pos_min_x(const encoder_t *ctx) { return -64 * ctx->ctu_x - 71; }
inline int32_t pu_pos_max_x(const encoder_t *ctx) { return ctx->width - 64 * ctx->ctu_x + 7; }
inline int32_t pu_pos_min_y(const encoder_t *ctx) { return -64 * ctx->ctu_y - 71; }
inline int32_t pu_pos_max_y(const encoder_t *ctx) { return ctx->height - 64 * ctx->ctu_y + 7; }

// Vector limits (quarter samples, both components): -500 samples, and the
// rows below that a picture waits for in its references.
inline int32_t mv_min_qpel(const encoder_t *) { return -2000; }
inline int32_t mv_max_qpel(const encoder_t *ctx) { return 4 * ctx->param.mv_range_y + 3; }

// The vector of a prediction unit at (x, y) moved to the pu_pos limits: the
// prediction stays the same and every read stays inside the margins.
inline mv_t mv_clamp_to_picture(const encoder_t *ctx, int32_t x, int32_t y, mv_t mv) {
  const int32_t mx = std::clamp<int32_t>(mv_x(mv), 4 * (pu_pos_min_x(ctx) - x), 4 * (pu_pos_max_x(ctx) - x));
  const int32_t my = std::clamp<int32_t>(mv_y(mv), 4 * (pu_pos_min_y(ctx) - y), 4 * (pu_pos_max_y(ctx) - y));
  return mv_make(mx, my);
}
inline bool mv_in_range(const encoder_t *ctx, mv_t mv) {
  const int32_t lo = mv_min_qpel(ctx), hi = mv_max_qpel(ctx);
  return mv_x(mv) >= lo && mv_x(mv) <= hi && mv_y(mv) >= lo && mv_y(mv) <= hi;
}

// The CTU's early-skip mode: the real-time speed modes lower it to 1.
inline int32_t ctu_early_skip(const encoder_t *ctx) {
  const int32_t mode = ctx->param.early_skip;
  return ctx->speed_mode != 0 && mode > 1 ? 1 : mode;
}

// Whether B pictures try intra CUs: always from level 5 on, below as the
// settings say.
inline bool ctu_b_intra(const encoder_t *ctx) {
  const uint32_t type = ctx->cur_input->frame_type_code;
  const int32_t level = ctx->speed_mode == 3 ? 4 : ctx->param.complexity;
  if (level < 5 && (type == TARNHEVCENC_TYPE_BREF || type == TARNHEVCENC_TYPE_B))
    return ctx->param.intra_trial_b != 0;
  return true;
}
