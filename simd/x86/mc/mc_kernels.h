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
void lowres_plane0_ssse3(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                         int32_t width, int32_t height);
void downscale_2x_ssse3(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                        int32_t width, int32_t height);

// SSSE3-tier kernels below the slots (the AVX2 drivers borrow them too).
// Interpolation kernels take the source at the block's integer position;
// the fraction of a filtered axis is 1..7 (chroma) or 1..3 (luma), and an
// axis that is not filtered ignores its fraction.
void interp_chroma_v_pp_wxh_ssse3(uint8_t *dst, int32_t ds, const uint8_t *src, int32_t ss, int32_t fx, int32_t fy,
                                  int32_t w, int32_t h);
void interp_chroma_h_pp_wxh_ssse3(uint8_t *dst, int32_t ds, const uint8_t *src, int32_t ss, int32_t fx, int32_t fy,
                                  int32_t w, int32_t h);
void interp_chroma_hv_pp_wxh_ssse3(uint8_t *dst, int32_t ds, const uint8_t *src, int32_t ss, int32_t fx, int32_t fy,
                                   int32_t w, int32_t h);
void interp_chroma_v_ps_wxh_ssse3(int16_t *dst, int32_t ds, const uint8_t *src, int32_t ss, int32_t fx, int32_t fy,
                                  int32_t w, int32_t h);
void interp_chroma_h_ps_wxh_ssse3(int16_t *dst, int32_t ds, const uint8_t *src, int32_t ss, int32_t fx, int32_t fy,
                                  int32_t w, int32_t h);
void interp_chroma_hv_ps_wxh_ssse3(int16_t *dst, int32_t ds, const uint8_t *src, int32_t ss, int32_t fx, int32_t fy,
                                   int32_t w, int32_t h);
void interp_chroma_v_ps_4x4_ssse3(int16_t *dst, int32_t ds, const uint8_t *src, int32_t ss, uint32_t fy);
void interp_chroma_v_ps_8x8_ssse3(int16_t *dst, int32_t ds, const uint8_t *src, int32_t ss, uint32_t fy);
void interp_chroma_h_ps_4x4_ssse3(int16_t *dst, int32_t ds, const uint8_t *src, int32_t ss, uint32_t fx);
void interp_chroma_hv_ps_4x4_ssse3(int16_t *dst, int32_t ds, const uint8_t *src, int32_t ss, uint32_t fx, uint32_t fy);
void p2s_wxh_sse2(int16_t *dst, int32_t ds, const uint8_t *src, int32_t ss, int32_t w, int32_t h);
void interp_luma_v_pp_8xh_ssse3(uint8_t *dst, int32_t ds, const uint8_t *src, int32_t ss, int32_t fx, int32_t fy,
                                int32_t w, int32_t h);
void interp_luma_v_pp_16xh_ssse3(uint8_t *dst, int32_t ds, const uint8_t *src, int32_t ss, int32_t fx, int32_t fy,
                                 int32_t w, int32_t h);
void interp_luma_v_ps_8xh_ssse3(int16_t *dst, int32_t ds, const uint8_t *src, int32_t ss, int32_t fx, int32_t fy,
                                int32_t w, int32_t h);
void interp_luma_v_ps_16xh_ssse3(int16_t *dst, int32_t ds, const uint8_t *src, int32_t ss, int32_t fx, int32_t fy,
                                 int32_t w, int32_t h);
// Over one 16-bit horizontal plane (at the block; stride in elements).
void interp_luma_hv_pp_4xh_ssse3(uint8_t *dst, int32_t ds, const int16_t *plane, int32_t ps, int32_t fx, int32_t fy,
                                 int32_t w, int32_t h);
void interp_luma_hv_pp_wxh_ssse3(uint8_t *dst, int32_t ds, const int16_t *plane, int32_t ps, int32_t fx, int32_t fy,
                                 int32_t w, int32_t h);
void luma_hplane_round_8nxh_ssse3(uint8_t *dst, int32_t ds, const int16_t *plane, int32_t ps, int32_t w, int32_t h);
void luma_hplane_round_16nxh_ssse3(uint8_t *dst, int32_t ds, const int16_t *plane, int32_t ps, int32_t w, int32_t h);
void mc_luma_ps_from_hplanes_4xh_sse2(int16_t *dst, int32_t ds, const int16_t *plane, int32_t ps, int32_t fx,
                                      int32_t fy, int32_t w, int32_t h);
void mc_luma_ps_from_hplanes_8xh_sse2(int16_t *dst, int32_t ds, const int16_t *plane, int32_t ps, int32_t fx,
                                      int32_t fy, int32_t w, int32_t h);
void mc_luma_from_hplanes_ssse3(uint8_t *dst, int32_t ds, const uint8_t *src, const int16_t *const *hplanes,
                                int32_t ss, int32_t mvx, int32_t mvy, int32_t w, int32_t h);
void mc_luma_ssse3(uint8_t *dst, int32_t ds, const uint8_t *src, const int16_t *const *hplanes, int32_t ss,
                   int32_t mvx, int32_t mvy, int32_t w, int32_t h);
const int16_t *mc_luma_ps_ssse3(int16_t *dst, int32_t *dst_stride, const uint8_t *ref, const int16_t *const *hplanes,
                                int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h);
const uint8_t *get_ref_ssse3(uint8_t *buf, int32_t *stride_io, const uint8_t *ref, const int16_t *const *hplanes,
                             int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h);
// Raw horizontal sums of fraction phase + 1 for rows -3 .. height + 3.
void interp_luma_h_ps_8xh_ssse3(int16_t *dst, const uint8_t *src, int32_t stride, int32_t width, int32_t height,
                                int32_t phase);
void interp_luma_h_ps_16xh_ssse3(int16_t *dst, const uint8_t *src, int32_t stride, int32_t width, int32_t height,
                                 int32_t phase);
// The averages' width kernels: rows 0..h-1 in steps of 4, 8 or 16 columns
// (other widths take the column groups).
void bipred_avg_4xh_ssse3(uint8_t *dst, int32_t ds, const int16_t *a, int32_t as, const int16_t *b, int32_t bs,
                          int32_t w, int32_t h);
void bipred_avg_8xh_ssse3(uint8_t *dst, int32_t ds, const int16_t *a, int32_t as, const int16_t *b, int32_t bs,
                          int32_t w, int32_t h);
void bipred_avg_16nxh_ssse3(uint8_t *dst, int32_t ds, const int16_t *a, int32_t as, const int16_t *b, int32_t bs,
                            int32_t w, int32_t h);
void pixel_avg_8xh_sse2(uint8_t *dst, int32_t ds, const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs, int32_t w,
                        int32_t h);
void pixel_avg_16xh_sse2(uint8_t *dst, int32_t ds, const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs,
                         int32_t w, int32_t h);
// Full-sample squares of 4 and 8 (SSE4.1 zero-extending loads; the AVX2
// driver's only) and of the AVX2 tier: source, its stride, destination, its
// stride in elements.
void p2s_4x4_sse4(const uint8_t *src, int32_t ss, int16_t *dst, int32_t ds);
void p2s_8x8_sse4(const uint8_t *src, int32_t ss, int16_t *dst, int32_t ds);
void p2s_16x16_avx2(const uint8_t *src, int32_t ss, int16_t *dst, int32_t ds);
void p2s_32x32_avx2(const uint8_t *src, int32_t ss, int16_t *dst, int32_t ds);
void p2s_64x64_avx2(const uint8_t *src, int32_t ss, int16_t *dst, int32_t ds);
// The AVX2 chroma kernels of blocks 16 and 32 wide (any height) and of
// the 8x8 to 32x32 squares; fractions 0..7.
void interp_chroma_v_pp_16xh_avx2(uint8_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fy, uint32_t h);
void interp_chroma_v_pp_32xh_avx2(uint8_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fy, uint32_t h);
void interp_chroma_h_pp_16xh_avx2(uint8_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fx, uint32_t h);
void interp_chroma_h_pp_32xh_avx2(uint8_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fx, uint32_t h);
void interp_chroma_hv_pp_16xh_avx2(uint8_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fx, uint32_t fy,
                                   uint32_t h);
void interp_chroma_hv_pp_32xh_avx2(uint8_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fx, uint32_t fy,
                                   uint32_t h);
void interp_chroma_v_ps_16x16_avx2(int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fy);
void interp_chroma_v_ps_32x32_avx2(int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fy);
void interp_chroma_h_ps_8x8_avx2(int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fx);
void interp_chroma_h_ps_16x16_avx2(int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fx);
void interp_chroma_h_ps_32x32_avx2(int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fx);
void interp_chroma_hv_ps_16x16_avx2(int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fx, uint32_t fy);
void interp_chroma_hv_ps_32x32_avx2(int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fx, uint32_t fy);
// The luma passes over the horizontal planes for blocks wider than 8, and
// the horizontal plane pass in groups of up to 32 columns.
void luma_hplane_round_16nxh_avx2(uint8_t *d, intptr_t ds, const int16_t *p, intptr_t ps, int32_t w, int32_t h);
void luma_hplane_round_32nxh_avx2(uint8_t *d, intptr_t ds, const int16_t *p, intptr_t ps, int32_t w, int32_t h);
void interp_luma_hv_pp_16nxh_avx2(uint8_t *d, intptr_t ds, const int16_t *p, intptr_t ps, int32_t fy, int32_t w,
                                  int32_t h);
// Exactly 8 wide over the horizontal plane, and 8 or 16 wide from 8-bit
// samples (fy 1..3), any height: two rows per 256-bit register.
void interp_luma_hv_pp_8xh_avx2(uint8_t *d, intptr_t ds, const int16_t *p, intptr_t ps, int32_t fy, int32_t h);
void mc_luma_ps_from_hplanes_8xh_avx2(int16_t *d, intptr_t ds, const int16_t *p, intptr_t ps, int32_t fy, int32_t h);
void interp_luma_v_pp_8xh_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy, int32_t h);
void interp_luma_v_pp_16xh_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy, int32_t h);
void interp_luma_v_ps_8xh_avx2(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy, int32_t h);
void interp_luma_v_ps_16xh_avx2(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy, int32_t h);
void interp_luma_h_ps_32xh_avx2(int16_t *dst, const uint8_t *src, int32_t stride, int32_t width, int32_t height,
                                int32_t phase);
// The three vertical planes (fy = 1, 2, 3) of one horizontal fraction of
// the sub-sample plane build: mvx & 3 picks the source (0 the samples, else
// horizontal plane (mvx & 3) - 1), mvx >> 2 moves it right.  The fullx
// form (128-bit VEX code) takes the samples moved by mvx and mvy.
void subpel_vplanes_avx2(uint8_t *const *dst3, int32_t ds, const uint8_t *src, const int16_t *const *hplanes,
                         int32_t ss, int32_t mvx, int32_t w, int32_t h);
void subpel_vplanes_fullx_avx(uint8_t *const *dst3, int32_t ds, const uint8_t *src, const int16_t *const *hplanes,
                              int32_t ss, int32_t mvx, int32_t mvy, int32_t w, int32_t h);

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
void lowres_plane0_avx2(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                        int32_t width, int32_t height);
void downscale_2x_avx2(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                       int32_t width, int32_t height);
const uint8_t *get_ref_avx2(uint8_t *buf, int32_t *stride_io, const uint8_t *ref, const int16_t *const *hplanes,
                            int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h);
const uint8_t *get_ref_bilinear_avx2(uint8_t *buf, int32_t *stride_io, const uint8_t *ref, int32_t ref_stride,
                                     int32_t mvx, int32_t mvy, int32_t w, int32_t h);
void block_copy_ssse3(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t w, int32_t h);
void block_copy_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t w, int32_t h);
