// The full-sample column of the sub-sample plane build in 128-bit VEX code
// (the AVX2 build takes it for windows whose width is no multiple of 16):
// the three vertical planes fy = 1, 2, 3 from the 8-bit samples.
#include "simd/x86/mc/mc_filter.h"
#include "simd/x86/mc/mc_kernels.h"

void subpel_vplanes_fullx_avx(uint8_t *const *dst3, int32_t ds, const uint8_t *src, const int16_t *const *,
                              int32_t ss, int32_t mvx, int32_t mvy, int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  const uint8_t *s = src + vector_offset(mvx, mvy, ss, 2);
  for (int32_t fy = 1; fy <= 3; fy++)
    if (!filter_v<8, out_t::pixels>(dst3[fy - 1], ds, s, ss, fy, w, h))
      mc_luma_c(dst3[fy - 1], ds, s, nullptr, ss, 0, fy, w, h);
}
