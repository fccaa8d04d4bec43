// Portable motion-compensation functions.  The encoder reaches them through
// mc_funcs_t; they are named here because the sub-pel plane builder and the
// tests call them directly.
#pragma once

#include "common/primitives.h"

// H.265 Table 8-12 (luma, quarter fractions 0..3, tap k weighs the sample at
// offset k - 3) and Table 8-13 (chroma, eighth fractions 0..7, tap k weighs
// offset k - 1).
extern const int16_t luma_filter_taps[4][8];
extern const int16_t chroma_filter_taps[8][4];

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
