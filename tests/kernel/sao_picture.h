// A picture laid out as the encoder's reconstructions are (luma stride 64 x
// CTU columns + 192, margins of 96 and 88 samples, the SAO source of each
// plane 4 rows lower and 32 samples further right in the plane's own
// allocation) and the few context fields that slot 0 of the SAO table
// reads, for driving the application CTU by CTU.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "encoder/encoder.h"
#include "filters/sao.h"

namespace checkasm {

struct sao_picture_t {
  int32_t width, height, cols, rows;
  size_t bytes = 0;
  uint8_t *mem = nullptr;  // the three planes, 32-byte aligned
  uint8_t *scratch = nullptr;
  frame_t frame{};
  std::vector<sao_param_t> params[3];
  std::unique_ptr<encoder_t> ctx;

  sao_picture_t(int32_t w, int32_t h) : width(w), height(h), cols((w + 63) / 64), rows((h + 63) / 64) {
    const int32_t stride = cols * 64 + 192, luma_rows = rows * 64 + 2 * 88;
    const size_t luma = static_cast<size_t>(stride) * luma_rows, chroma = static_cast<size_t>(stride / 2) * (luma_rows / 2);
    bytes = luma + 2 * chroma;
    mem = static_cast<uint8_t *>(std::aligned_alloc(32, (bytes + 31) & ~size_t{31}));
    scratch = static_cast<uint8_t *>(std::aligned_alloc(32, 147456));
    frame.stride[0] = stride;
    frame.stride[1] = frame.stride[2] = stride / 2;
    frame.plane[0] = mem + 88 * stride + 96;
    frame.plane[1] = mem + luma + 44 * (stride / 2) + 48;
    frame.plane[2] = frame.plane[1] + chroma;
    for (int32_t c = 0; c < 3; c++) {
      frame.work[c] = frame.plane[c] + 4 * frame.stride[c] + 32;
      params[c].assign(static_cast<size_t>(cols * rows), sao_param_t{5, 0, {0, 0, 0, 0}});
    }
    ctx = std::make_unique<encoder_t>();
    ctx->width = w;
    ctx->height = h;
    ctx->ctu_cols = cols;
    ctx->ctu_rows = rows;
    ctx->ctu_count = cols * rows;
    ctx->cur_recon = &frame;
    ctx->sao_scratch = scratch;
    ctx->sao_enable = 3;
    for (int32_t c = 0; c < 3; c++) ctx->sao_params[c] = params[c].data();
  }
  ~sao_picture_t() {
    std::free(mem);
    std::free(scratch);
  }
  sao_picture_t(const sao_picture_t &) = delete;
  sao_picture_t &operator=(const sao_picture_t &) = delete;

  // Source sample (x, y) of a plane, x from -1 to the block grid's width,
  // y likewise.
  uint8_t &src(int32_t c, int32_t x, int32_t y) { return frame.work[c][y * frame.stride[c] + x]; }
  uint8_t &out(int32_t c, int32_t x, int32_t y) { return frame.plane[c][y * frame.stride[c] + x]; }
  int32_t plane_w(int32_t c) const { return width >> (c ? 1 : 0); }
  int32_t plane_h(int32_t c) const { return height >> (c ? 1 : 0); }
  int32_t grid_w(int32_t c) const { return cols * (c ? 32 : 64); }
  int32_t grid_h(int32_t c) const { return rows * (c ? 32 : 64); }

  // Every CTU in raster order, each plane, as sao_filter_ctu calls slot 0
  // (the source a CTU's block and surround reads is overwritten only by the
  // output of CTUs before it in this order as in the encoder's).
  template <typename Fn>
  void apply_all(Fn fn, int32_t shift = 0) {
    for (int32_t y = 0; y < rows; y++)
      for (int32_t x = 0; x < cols; x++)
        for (int32_t c = 0; c < 3; c++) fn(ctx.get(), x, y, c, shift, SAO_ROWS_ALL);
  }
  // In parts, as ctu_post_filter calls slot 0: going along each CTU row,
  // the bottom rows of the CTU above, then the CTU's top rows (the last
  // row's CTUs whole).  The output must equal apply_all's.
  template <typename Fn>
  void apply_in_parts(Fn fn, int32_t shift = 0) {
    for (int32_t y = 0; y < rows; y++)
      for (int32_t x = 0; x < cols; x++)
        for (int32_t c = 0; c < 3; c++) {
          if (y > 0) fn(ctx.get(), x, y - 1, c, shift, SAO_ROWS_BOTTOM);
          fn(ctx.get(), x, y, c, shift, y == rows - 1 ? SAO_ROWS_ALL : SAO_ROWS_TOP);
        }
  }
};

}  // namespace checkasm
