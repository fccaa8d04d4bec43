// SSSE3-tier plane slots: horizontal and sub-sample planes, the
// half-resolution phases and the CTU downscales (kept under AVX2 too).
#include "simd/x86/mc/mc_kernels.h"
#include "simd/x86/mc/mc_planes.h"

// Each horizontal plane by the kernel of its window's width.
void luma_hfilter_planes_ssse3(int16_t *q, int16_t *hp, int16_t *tq, const uint8_t *src, int32_t stride, int32_t width,
                               int32_t height, int32_t half_only) {
  int16_t *const planes[3] = {q, hp, tq};
  for (int32_t phase = 0; phase < 3; phase++)
    if (!half_only || phase == 1)
      (width <= 8 ? interp_luma_h_ps_8xh_ssse3 : interp_luma_h_ps_16xh_ssse3)(planes[phase], src, stride, width, height,
                                                                             phase);
}

// Planes 1..15 (2, 8 and 10 in half-only mode), one prediction each.
void subpel_planes_build_ssse3(uint8_t *const *planes, const uint8_t *src, const int16_t *const *hplanes,
                               int32_t stride, int32_t width, int32_t height, int32_t half_only) {
  for (int32_t p = 1; p < 16; p++)
    if (!half_only || p == 2 || p == 8 || p == 10)
      mc_luma_from_hplanes_ssse3(planes[p], stride, src, hplanes, stride, p & 3, p >> 2, width, height);
}

void lowres_init_ssse3(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                       int32_t width, int32_t height) {
  lowres_init_body(planes, dst_stride, src, src_stride, width, height);
}

void lowres_plane0_ssse3(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                         int32_t width, int32_t height) {
  lowres_plane0_body(planes, dst_stride, src, src_stride, width, height);
}

void ctu_downscale_64x64_ssse3(uint8_t *block) { ctu_downscale_body<64>(block); }
void ctu_border_downscale_64x64_ssse3(uint8_t *block) { ctu_border_downscale_body<64>(block); }
void ctu_downscale_32x32_ssse3(uint8_t *block) { ctu_downscale_body<32>(block); }
void ctu_border_downscale_32x32_ssse3(uint8_t *block) { ctu_border_downscale_body<32>(block); }
