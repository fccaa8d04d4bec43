#include "motion/pu_search.h"

#include <algorithm>

#include "encoder/encoder.h"
#include "rdo/block_coding.h"

namespace {

uint32_t satd_tiles(const encoder_t *ctx, const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride,
                    int32_t w, int32_t h) {
  if (w == h) return ctx->pixel.satd[6 - (31 - __builtin_clz(static_cast<uint32_t>(w)))](a, a_stride, b, b_stride);
  uint32_t sum = 0;
  for (int32_t y = 0; y < h; y += 4)
    for (int32_t x = 0; x < w; x += 4) sum += ctx->pixel.satd[4](a + y * a_stride + x, a_stride, b + y * b_stride + x, b_stride);
  return sum;
}

uint32_t mv_cost(const pu_search_t &s, mv_t mv) {
  int32_t best = 1 << 30;
  for (int32_t i = 0; i < s.pred_count; i++) {
    const int32_t b = mvd_bits(mv_x(mv) - mv_x(s.pred[i])) + mvd_bits(mv_y(mv) - mv_y(s.pred[i]));
    best = std::min(best, b);
  }
  return static_cast<uint32_t>(s.ctx->lambda_sad * best);
}

uint32_t int_cost(const pu_search_t &s, int32_t ix, int32_t iy) {
  const encoder_t *ctx = s.ctx;
  const int32_t px = ctx->ctu_x * 64 + s.x + ix, py = ctx->ctu_y * 64 + s.y + iy;
  const uint8_t *r = s.ref->plane[0] + py * s.ref->stride[0] + px;
  return ctx->pixel.sad_wxh(ctu_src_at(const_cast<encoder_t *>(ctx), 0, s.x, s.y), SRC_STRIDE, r, s.ref->stride[0],
                            s.w, s.h) +
         mv_cost(s, mv_make(ix * 4, iy * 4));
}

uint32_t sub_cost(const pu_search_t &s, mv_t mv, uint8_t *buf) {
  encoder_t *ctx = s.ctx;
  const int32_t px = ctx->ctu_x * 64 + s.x + (mv_x(mv) >> 2), py = ctx->ctu_y * 64 + s.y + (mv_y(mv) >> 2);
  const uint8_t *r = s.ref->plane[0] + py * s.ref->stride[0] + px;
  ctx->mc.mc_luma(buf, 64, r, nullptr, s.ref->stride[0], mv_x(mv) & 3, mv_y(mv) & 3, s.w, s.h);
  return satd_tiles(ctx, ctu_src_at(ctx, 0, s.x, s.y), SRC_STRIDE, buf, 64, s.w, s.h) + mv_cost(s, mv);
}

}  // namespace

int32_t mvd_bits(int32_t d) {
  uint32_t a = static_cast<uint32_t>(d < 0 ? -d : d);
  if (a == 0) return 1;
  int32_t n = 0;
  while ((a + 1) >> (n + 1)) n++;
  return 2 * n + 2;
}

uint32_t pu_prediction_satd(encoder_t *ctx, int32_t x, int32_t y, int32_t w, int32_t h) {
  return satd_tiles(ctx, ctu_src_at(ctx, 0, x, y), SRC_STRIDE, ctu_rec_at(ctx, 0, x, y), RECON_STRIDE, w, h);
}

void pu_search_window(pu_search_t *s) {
  const encoder_t *ctx = s->ctx;
  const int32_t px = ctx->ctu_x * 64 + s->x, py = ctx->ctu_y * 64 + s->y;
  const int32_t range = ctx->param.search_range;
  s->lo_x = std::max(-64 - px, -range);
  s->hi_x = std::min(ctx->width + 64 - s->w - px, range);
  s->lo_y = std::max(-64 - py, -range);
  // The sub-sample refinement may add three quarters below the limit.
  s->hi_y = std::min({ctx->height + 64 - s->h - py, range, ctx->param.mv_range_y - 1});
}

// Integer search from the predictors (a sparse star of growing radius for
// larger motion, a small exhaustive square against the local minima of
// textured content, then a diamond descent), then half- and quarter-sample
// refinement by SATD.
mv_t pu_motion_search(const pu_search_t *sp, uint32_t *cost_out) {
  const pu_search_t &s = *sp;
  static const int8_t ring[8][2] = {{-1, -1}, {0, -1}, {1, -1}, {-1, 0}, {1, 0}, {-1, 1}, {0, 1}, {1, 1}};
  static const int8_t diamond[4][2] = {{0, -1}, {-1, 0}, {1, 0}, {0, 1}};
  int32_t bx = 0, by = 0;
  uint32_t best = int_cost(s, 0, 0);
  auto try_point = [&](int32_t ix, int32_t iy) {
    if (ix < s.lo_x || ix > s.hi_x || iy < s.lo_y || iy > s.hi_y) return false;
    const uint32_t c = int_cost(s, ix, iy);
    if (c >= best) return false;
    best = c;
    bx = ix;
    by = iy;
    return true;
  };
  for (int32_t i = 0; i < s.pred_count; i++) try_point((mv_x(s.pred[i]) + 2) >> 2, (mv_y(s.pred[i]) + 2) >> 2);
  int32_t cx = bx, cy = by;
  for (int32_t r = 8; r <= 32; r *= 2)
    for (const auto &d : ring) try_point(cx + r * d[0], cy + r * d[1]);
  cx = bx;
  cy = by;
  for (int32_t dy = -4; dy <= 4; dy++)
    for (int32_t dx = -4; dx <= 4; dx++)
      if (dx || dy) try_point(cx + dx, cy + dy);
  for (int32_t iter = 0; iter < 64; iter++) {
    cx = bx;
    cy = by;
    bool moved = false;
    for (const auto &d : diamond) moved |= try_point(cx + d[0], cy + d[1]);
    if (!moved) break;
  }
  cx = bx;
  cy = by;
  for (const auto &d : ring) try_point(cx + d[0], cy + d[1]);

  alignas(32) uint8_t buf[64 * 64];
  mv_t mv = mv_make(bx * 4, by * 4);
  uint32_t cost = sub_cost(s, mv, buf);
  for (int32_t step = 2; step >= 1; step >>= 1) {
    const mv_t centre = mv;
    for (const auto &d : ring) {
      const mv_t cand = mv_make(mv_x(centre) + d[0] * step, mv_y(centre) + d[1] * step);
      const uint32_t c = sub_cost(s, cand, buf);
      if (c < cost) {
        cost = c;
        mv = cand;
      }
    }
  }
  *cost_out = cost;
  return mv;
}
