// Portable motion-compensation functions.  The encoder reaches them through
// mc_funcs_t; they are named here because the sub-pel plane builder and the
// tests call them directly.
#pragma once

#include "common/primitives.h"

// Block offset of a vector: integer part by arithmetic shift (toward minus
// infinity), in pointer-width arithmetic so no product can overflow.
inline intptr_t vector_offset(int32_t mvx, int32_t mvy, int32_t stride, int32_t frac_bits) {
  return static_cast<intptr_t>(mvy >> frac_bits) * stride + (mvx >> frac_bits);
}

// The mc_luma_ps contract of every tier: a horizontal-only fraction is a
// window of the horizontal plane itself (its stride handed back), so nothing
// is filtered; null when the samples must be filtered into dst.
inline const int16_t *luma_ps_plane_window(const int16_t *const *hplanes, intptr_t off, int32_t fx, int32_t fy,
                                           int32_t ref_stride, int32_t *dst_stride) {
  if (fx == 0 || fy != 0 || hplanes == nullptr) return nullptr;
  *dst_stride = ref_stride;
  return hplanes[fx - 1] + off;
}

// The get_ref contract of every tier: a whole-sample vector reads the
// reference in place (its stride handed back); any other is filtered into buf
// by the tier's own luma filter.
template <auto mc_luma>
inline const uint8_t *get_ref_through(uint8_t *buf, int32_t *stride_io, const uint8_t *ref,
                                      const int16_t *const *hplanes, int32_t ref_stride, int32_t mvx, int32_t mvy,
                                      int32_t w, int32_t h) {
  if (((mvx | mvy) & 3) == 0) {
    *stride_io = ref_stride;
    return ref + vector_offset(mvx, mvy, ref_stride, 2);
  }
  mc_luma(buf, *stride_io, ref, hplanes, ref_stride, mvx, mvy, w, h);
  return buf;
}

// H.265 Table 8-12 (luma, quarter fractions 0..3, tap k weighs the sample at
// offset k - 3) and Table 8-13 (chroma, eighth fractions 0..7, tap k weighs
// offset k - 1).
// The vector kernels derive their tap-pair tables from these at compile time.
inline constexpr int16_t luma_filter_taps[4][8] = {
    {0, 0, 0, 64, 0, 0, 0, 0},
    {-1, 4, -10, 58, 17, -5, 1, 0},
    {-1, 4, -11, 40, 40, -11, 4, -1},
    {0, 1, -5, 17, 58, -10, 4, -1},
};
inline constexpr int16_t chroma_filter_taps[8][4] = {
    {0, 64, 0, 0},    {-2, 58, 10, -2}, {-4, 54, 16, -2}, {-6, 46, 28, -4},
    {-4, 36, 36, -4}, {-4, 28, 46, -6}, {-2, 16, 54, -4}, {-2, 10, 58, -2},
};

void block_copy_c(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t w, int32_t h);
void mc_luma_c(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, const int16_t *const *hplanes,
               int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h);
const int16_t *mc_luma_ps_c(int16_t *dst, int32_t *dst_stride, const uint8_t *ref, const int16_t *const *hplanes,
                            int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h);
void mc_chroma_c(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx, int32_t mvy,
                 int32_t w, int32_t h);
void mc_chroma_ps_c(int16_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx,
                    int32_t mvy, int32_t w, int32_t h);
void bipred_avg_c(uint8_t *dst, int32_t dst_stride, const int16_t *a, int32_t a_stride, const int16_t *b,
                  int32_t b_stride, int32_t w, int32_t h);
void pixel_avg_c(uint8_t *dst, int32_t dst_stride, const uint8_t *a, int32_t a_stride, const uint8_t *b,
                 int32_t b_stride, int32_t w, int32_t h);
void mc_luma_bilinear_c(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t mvx,
                        int32_t mvy, int32_t w, int32_t h);
void downscale_2x_c(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t width,
                    int32_t height);
void luma_hfilter_planes_c(int16_t *q, int16_t *hp, int16_t *tq, const uint8_t *src, int32_t stride, int32_t width,
                           int32_t height, int32_t half_only);
void lowres_init_c(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t width,
                   int32_t height);
void lowres_plane0_c(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t width,
                     int32_t height);
