// AVX2-tier averaging slots.
#include "simd/x86/mc/mc_average.h"
#include "simd/x86/mc/mc_kernels.h"

namespace {

// The square kernels of both averages.  Rows of 4 and 8 samples (and of 16
// bytes in the pixel average) are 128-bit VEX code, suffix avx; the wider
// ones 256-bit, suffix avx2.
void bipred_avg_4x4_avx(uint8_t *d, int32_t ds, const int16_t *a, int32_t as, const int16_t *b, int32_t bs) { bipred_body(d, ds, a, as, b, bs, 4, 4); }
void bipred_avg_8x8_avx(uint8_t *d, int32_t ds, const int16_t *a, int32_t as, const int16_t *b, int32_t bs) { bipred_body(d, ds, a, as, b, bs, 8, 8); }
void bipred_avg_16x16_avx2(uint8_t *d, int32_t ds, const int16_t *a, int32_t as, const int16_t *b, int32_t bs) { bipred_body(d, ds, a, as, b, bs, 16, 16); }
void bipred_avg_32x32_avx2(uint8_t *d, int32_t ds, const int16_t *a, int32_t as, const int16_t *b, int32_t bs) { bipred_body(d, ds, a, as, b, bs, 32, 32); }
void bipred_avg_64x64_avx2(uint8_t *d, int32_t ds, const int16_t *a, int32_t as, const int16_t *b, int32_t bs) { bipred_body(d, ds, a, as, b, bs, 64, 64); }

void pixel_avg_8x8_avx(uint8_t *d, int32_t ds, const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { pixel_avg_body(d, ds, a, as, b, bs, 8, 8); }
void pixel_avg_16x16_avx(uint8_t *d, int32_t ds, const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { pixel_avg_body(d, ds, a, as, b, bs, 16, 16); }
void pixel_avg_32x32_avx2(uint8_t *d, int32_t ds, const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { pixel_avg_body(d, ds, a, as, b, bs, 32, 32); }
void pixel_avg_64x64_avx2(uint8_t *d, int32_t ds, const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) { pixel_avg_body(d, ds, a, as, b, bs, 64, 64); }

}  // namespace

// Square blocks go to their kernels, the narrow ones of other shapes to the
// SSSE3 width kernels, every other shape to the column groups.
void bipred_avg_avx2(uint8_t *dst, int32_t dst_stride, const int16_t *a, int32_t a_stride, const int16_t *b,
                      int32_t b_stride, int32_t w, int32_t h) {
  if (w == h && w == 4) bipred_avg_4x4_avx(dst, dst_stride, a, a_stride, b, b_stride);
  else if (w == h && w == 8) bipred_avg_8x8_avx(dst, dst_stride, a, a_stride, b, b_stride);
  else if (w == h && w == 16) bipred_avg_16x16_avx2(dst, dst_stride, a, a_stride, b, b_stride);
  else if (w == h && w == 32) bipred_avg_32x32_avx2(dst, dst_stride, a, a_stride, b, b_stride);
  else if (w == h && w == 64) bipred_avg_64x64_avx2(dst, dst_stride, a, a_stride, b, b_stride);
  else if (w == 4) bipred_avg_4xh_ssse3(dst, dst_stride, a, a_stride, b, b_stride, w, h);
  else if (w == 8) bipred_avg_8xh_ssse3(dst, dst_stride, a, a_stride, b, b_stride, w, h);
  else bipred_body(dst, dst_stride, a, a_stride, b, b_stride, w, h);
}

void pixel_avg_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *a, int32_t a_stride, const uint8_t *b,
                    int32_t b_stride, int32_t w, int32_t h) {
  if (w == h && w == 4) pixel_avg_8xh_sse2(dst, dst_stride, a, a_stride, b, b_stride, 4, 4);
  else if (w == h && w == 8) pixel_avg_8x8_avx(dst, dst_stride, a, a_stride, b, b_stride);
  else if (w == h && w == 16) pixel_avg_16x16_avx(dst, dst_stride, a, a_stride, b, b_stride);
  else if (w == h && w == 32) pixel_avg_32x32_avx2(dst, dst_stride, a, a_stride, b, b_stride);
  else if (w == h && w == 64) pixel_avg_64x64_avx2(dst, dst_stride, a, a_stride, b, b_stride);
  else if (w == 16) pixel_avg_16xh_sse2(dst, dst_stride, a, a_stride, b, b_stride, w, h);
  else if (w == 4 || w == 8) pixel_avg_8xh_sse2(dst, dst_stride, a, a_stride, b, b_stride, w, h);
  else pixel_avg_body(dst, dst_stride, a, a_stride, b, b_stride, w, h);
}

void downscale_2x_avx2(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                        int32_t width, int32_t height) {
  downscale_2x_body(planes, dst_stride, src, src_stride, width, height);
}
