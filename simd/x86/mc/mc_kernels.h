// The motion-compensation kernels of the SIMD tiers, one per slot and tier;
// mc_init.cpp installs them and the kernel tests reach them through the
// table.
#pragma once

#include "common/primitives.h"

void mc_chroma_ssse3(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx,
                     int32_t mvy, int32_t w, int32_t h);
void mc_chroma_ps_ssse3(int16_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx,
                        int32_t mvy, int32_t w, int32_t h);
void bipred_avg_ssse3(uint8_t *dst, int32_t dst_stride, const int16_t *a, int32_t a_stride, const int16_t *b,
                      int32_t b_stride, int32_t w, int32_t h);
void pixel_avg_sse2(uint8_t *dst, int32_t dst_stride, const uint8_t *a, int32_t a_stride, const uint8_t *b,
                    int32_t b_stride, int32_t w, int32_t h);
void luma_hfilter_planes_ssse3(int16_t *q, int16_t *hp, int16_t *tq, const uint8_t *src, int32_t stride, int32_t width,
                               int32_t height, int32_t half_only);
void subpel_planes_build_ssse3(uint8_t *const *planes, const uint8_t *src, const int16_t *const *hplanes,
                               int32_t stride, int32_t width, int32_t height, int32_t half_only);
void lowres_init_ssse3(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                       int32_t width, int32_t height);
void ctu_downscale_64x64_ssse3(uint8_t *block);
void ctu_border_downscale_64x64_ssse3(uint8_t *block);
void ctu_downscale_32x32_ssse3(uint8_t *block);
void ctu_border_downscale_32x32_ssse3(uint8_t *block);
void downscale_2x_ssse3(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                        int32_t width, int32_t height);

void mc_luma_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, const int16_t *const *hplanes,
                  int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h);
const int16_t *mc_luma_ps_avx2(int16_t *dst, int32_t *dst_stride, const uint8_t *ref, const int16_t *const *hplanes,
                               int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h);
void mc_chroma_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx, int32_t mvy,
                    int32_t w, int32_t h);
void mc_chroma_ps_avx2(int16_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx,
                       int32_t mvy, int32_t w, int32_t h);
void bipred_avg_avx2(uint8_t *dst, int32_t dst_stride, const int16_t *a, int32_t a_stride, const int16_t *b,
                     int32_t b_stride, int32_t w, int32_t h);
void luma_hfilter_planes_avx2(int16_t *q, int16_t *hp, int16_t *tq, const uint8_t *src, int32_t stride, int32_t width,
                              int32_t height, int32_t half_only);
void subpel_planes_build_avx2(uint8_t *const *planes, const uint8_t *src, const int16_t *const *hplanes, int32_t stride,
                              int32_t width, int32_t height, int32_t half_only);
void subpel_plane_copy_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *const *planes, int32_t stride,
                            int32_t mvx, int32_t mvy, int32_t w, int32_t h);
void pixel_avg_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *a, int32_t a_stride, const uint8_t *b,
                    int32_t b_stride, int32_t w, int32_t h);
void downscale_2x_avx2(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                       int32_t width, int32_t height);
const uint8_t *get_ref_avx2(uint8_t *buf, int32_t *stride_io, const uint8_t *ref, const int16_t *const *hplanes,
                            int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h);
const uint8_t *get_ref_bilinear_avx2(uint8_t *buf, int32_t *stride_io, const uint8_t *ref, int32_t ref_stride,
                                     int32_t mvx, int32_t mvy, int32_t w, int32_t h);
void block_copy_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t w, int32_t h);
