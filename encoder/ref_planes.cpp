#include "encoder/ref_planes.h"

#include "common/primitives.h"
#include "encoder/encoder.h"
#include "encoder/frame.h"
#include "encoder/rowsched.h"

void ref_planes_build_rows(const mc_funcs_t *mc, frame_t *f, int32_t w0, int32_t w1, int32_t half_only) {
  const int32_t rows = (f->height + 63) / 64;
  const int32_t stride = f->stride[0];
  const int32_t width = f->width + 160;
  for (int32_t w = w0; w < w1 && w < rows; w++) {
    const int32_t y0 = w == 0 ? -76 : 64 * w - 8;
    const int32_t y1 = w == rows - 1 ? f->height + 77 : 64 * w + 56;
    const intptr_t at = static_cast<intptr_t>(y0) * stride - 80;
    int16_t *h[3];
    for (int32_t k = 0; k < 3; k++) h[k] = f->hplane[k] + at;
    uint8_t *planes[16];
    for (int32_t p = 0; p < 16; p++) planes[p] = f->subpel[p] + at;
    const uint8_t *src = f->plane[0] + at;
    mc->luma_hfilter_planes(h[0], h[1], h[2], src, stride, width, y1 - y0, half_only);
    mc->subpel_planes_build(planes, src, h, stride, width, y1 - y0, half_only);
  }
}

void picture_build_planes(encoder_t *fctx, int32_t w0, int32_t w1) {
  frame_t *rec = fctx->cur_recon;
  ref_planes_build_rows(&fctx->mc, rec, w0, w1, rec->planes_valid == 1);
}
