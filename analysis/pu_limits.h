// The CTU's limits on where a prediction unit's block may start and on
// its vectors, checked for every merge candidate and searched vector that
// an inter trial costs (inline: the checks are a few compares, and the
// trials make millions of them).
#pragma once

#include <algorithm>
#include <cstdint>

#include "encoder/encoder.h"
#include "motion/mv.h"

// A vector clamped so the block at CTU-relative (x, y) starts inside the
// CTU's prediction-unit limits.
inline mv_t clamp_to_pu_limits(const encoder_t *ctx, mv_t mv, int32_t x, int32_t y) {
  const int32_t mx = std::clamp<int32_t>(mv_x(mv), 4 * (ctx->pu_pos_min_x - x), 4 * (ctx->pu_pos_max_x - x));
  const int32_t my = std::clamp<int32_t>(mv_y(mv), 4 * (ctx->pu_pos_min_y - y), 4 * (ctx->pu_pos_max_y - y));
  return mv_make(mx, my);
}

// Both components of a (clamped) vector inside the CTU's vector limits.
inline bool mv_in_limits(const encoder_t *ctx, mv_t mv) {
  return mv_x(mv) >= ctx->mv_min && mv_x(mv) <= ctx->mv_max && mv_y(mv) >= ctx->mv_min && mv_y(mv) <= ctx->mv_max;
}
