// AVX2-tier plane slots: the horizontal and sub-sample planes with 256-bit
// column groups.
#include "simd/x86/mc/mc_kernels.h"
#include "simd/x86/mc/mc_planes.h"

// Raw horizontal sums of fraction phase + 1 for rows -3 .. height + 3 in
// column groups of up to 32 (two 16-sample halves of 256 bits); narrower
// than 4 columns takes the portable pass.
void interp_luma_h_ps_32xh_avx2(int16_t *dst, const uint8_t *src, int32_t stride, int32_t width, int32_t height,
                                int32_t phase) {
  if (width <= 0 || height + 7 <= 0) return;
  const intptr_t back = 3 * static_cast<intptr_t>(stride);
  if (!filter_h<8, out_t::words>(dst - back, stride, src - back, stride, phase + 1, width, height + 7))
    interp_luma_h_ps_8xh_ssse3(dst, src, stride, width, height, phase);
}

void luma_hfilter_planes_avx2(int16_t *q, int16_t *hp, int16_t *tq, const uint8_t *src, int32_t stride, int32_t width,
                              int32_t height, int32_t half_only) {
  int16_t *const planes[3] = {q, hp, tq};
  for (int32_t phase = 0; phase < 3; phase++)
    if (!half_only || phase == 1) interp_luma_h_ps_32xh_avx2(planes[phase], src, stride, width, height, phase);
}

// Source fraction mvx & 3 (0: the samples; else its horizontal plane),
// moved right by mvx >> 2; without the plane it needs, the portable
// prediction.
void subpel_vplanes_avx2(uint8_t *const *dst3, int32_t ds, const uint8_t *src, const int16_t *const *hplanes,
                         int32_t ss, int32_t mvx, int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  const int32_t fx = mvx & 3;
  const intptr_t off = mvx >> 2;
  for (int32_t fy = 1; fy <= 3; fy++) {
    bool done = false;
    if (fx == 0) done = filter_v<8, out_t::pixels>(dst3[fy - 1], ds, src + off, ss, fy, w, h);
    else if (hplanes) done = filter_v_words<8, out_t::pixels>(dst3[fy - 1], ds, hplanes[fx - 1] + off, ss, fy, w, h);
    if (!done) mc_luma_c(dst3[fy - 1], ds, src, hplanes, ss, mvx, fy, w, h);
  }
}

// Planes 1, 2, 3 by the luma prediction, then the vertical triples of each
// horizontal fraction; half-only mode builds planes 2, 8 and 10 alone.
void subpel_planes_build_avx2(uint8_t *const *planes, const uint8_t *src, const int16_t *const *hplanes, int32_t stride,
                              int32_t width, int32_t height, int32_t half_only) {
  if (half_only) {
    mc_luma_avx2(planes[2], stride, src, hplanes, stride, 2, 0, width, height);
    mc_luma_avx2(planes[8], stride, src, hplanes, stride, 0, 2, width, height);
    mc_luma_avx2(planes[10], stride, src, hplanes, stride, 2, 2, width, height);
    return;
  }
  for (int32_t fx = 1; fx <= 3; fx++) mc_luma_avx2(planes[fx], stride, src, hplanes, stride, fx, 0, width, height);
  for (int32_t fx = 0; fx <= 3; fx++) {
    uint8_t *const dst3[3] = {planes[4 + fx], planes[8 + fx], planes[12 + fx]};
    if (fx == 0 && (width & 15)) subpel_vplanes_fullx_avx(dst3, stride, src, hplanes, stride, 0, 0, width, height);
    else subpel_vplanes_avx2(dst3, stride, src, hplanes, stride, fx, width, height);
  }
}

void lowres_plane0_avx2(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                        int32_t width, int32_t height) {
  lowres_plane0_body(planes, dst_stride, src, src_stride, width, height);
}
