// SSSE3-tier plane slots: horizontal and sub-sample planes, the
// half-resolution phases and the CTU downscales (kept under AVX2 too).
#include "simd/x86/mc/mc_kernels.h"
#include "simd/x86/mc/mc_planes.h"

void luma_hfilter_planes_ssse3(int16_t *q, int16_t *hp, int16_t *tq, const uint8_t *src, int32_t stride, int32_t width,
                               int32_t height, int32_t half_only) {
  hfilter_planes_body(q, hp, tq, src, stride, width, height, half_only);
}

void subpel_planes_build_ssse3(uint8_t *const *planes, const uint8_t *src, const int16_t *const *hplanes,
                               int32_t stride, int32_t width, int32_t height, int32_t half_only) {
  subpel_planes_build_body(planes, src, hplanes, stride, width, height, half_only);
}

void lowres_init_ssse3(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                       int32_t width, int32_t height) {
  lowres_init_body(planes, dst_stride, src, src_stride, width, height);
}

void ctu_downscale_64x64_ssse3(uint8_t *block) { ctu_downscale_body<64>(block); }
void ctu_border_downscale_64x64_ssse3(uint8_t *block) { ctu_border_downscale_body<64>(block); }
void ctu_downscale_32x32_ssse3(uint8_t *block) { ctu_downscale_body<32>(block); }
void ctu_border_downscale_32x32_ssse3(uint8_t *block) { ctu_border_downscale_body<32>(block); }
