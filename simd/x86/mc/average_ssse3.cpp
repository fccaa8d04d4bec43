// SSSE3-tier averaging slots (the pixel average needs only SSE2).
#include "simd/x86/mc/mc_average.h"
#include "simd/x86/mc/mc_kernels.h"

void bipred_avg_ssse3(uint8_t *dst, int32_t dst_stride, const int16_t *a, int32_t a_stride, const int16_t *b,
                      int32_t b_stride, int32_t w, int32_t h) {
  bipred_body(dst, dst_stride, a, a_stride, b, b_stride, w, h);
}

void pixel_avg_sse2(uint8_t *dst, int32_t dst_stride, const uint8_t *a, int32_t a_stride, const uint8_t *b,
                    int32_t b_stride, int32_t w, int32_t h) {
  pixel_avg_body(dst, dst_stride, a, a_stride, b, b_stride, w, h);
}

void downscale_2x_ssse3(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                        int32_t width, int32_t height) {
  downscale_2x_body(planes, dst_stride, src, src_stride, width, height);
}
