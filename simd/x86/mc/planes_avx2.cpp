// AVX2-tier plane slots: the horizontal and sub-sample planes with 256-bit
// column groups.
#include "simd/x86/mc/mc_kernels.h"
#include "simd/x86/mc/mc_planes.h"

void luma_hfilter_planes_avx2(int16_t *q, int16_t *hp, int16_t *tq, const uint8_t *src, int32_t stride, int32_t width,
                              int32_t height, int32_t half_only) {
  hfilter_planes_body(q, hp, tq, src, stride, width, height, half_only);
}

void subpel_planes_build_avx2(uint8_t *const *planes, const uint8_t *src, const int16_t *const *hplanes, int32_t stride,
                              int32_t width, int32_t height, int32_t half_only) {
  subpel_planes_build_body(planes, src, hplanes, stride, width, height, half_only);
}
