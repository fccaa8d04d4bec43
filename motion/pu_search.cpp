#include "motion/pu_search.h"

#include "encoder/encoder.h"
#include "rdo/block_coding.h"

namespace {

inline int32_t size_class(int32_t n) { return 6 - (31 - __builtin_clz(static_cast<uint32_t>(n))); }

uint32_t satd_tiles(const pixel_funcs_t &px, const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride,
                    int32_t w, int32_t h) {
  if (w == h) return px.satd[size_class(w)](a, a_stride, b, b_stride);
  // The SATD is a sum over 4x4 tiles: a partition's half of a square CU is
  // two squares of its short side.
  if (w == 2 * h) {
    const pixel_cost_fn f = px.satd[size_class(h)];
    return f(a, a_stride, b, b_stride) + f(a + h, a_stride, b + h, b_stride);
  }
  if (h == 2 * w) {
    const pixel_cost_fn f = px.satd[size_class(w)];
    return f(a, a_stride, b, b_stride) + f(a + w * a_stride, a_stride, b + w * b_stride, b_stride);
  }
  uint32_t sum = 0;
  for (int32_t y = 0; y < h; y += 4)
    for (int32_t x = 0; x < w; x += 4) sum += px.satd[4](a + y * a_stride + x, a_stride, b + y * b_stride + x, b_stride);
  return sum;
}

}  // namespace

uint32_t pu_prediction_satd(encoder_t *ctx, int32_t x, int32_t y, int32_t w, int32_t h) {
  return satd_tiles(ctx->pixel, ctu_src_at(ctx, 0, x, y), SRC_STRIDE, ctu_rec_at(ctx, 0, x, y), RECON_STRIDE, w, h);
}
