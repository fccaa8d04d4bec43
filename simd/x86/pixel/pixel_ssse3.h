// SSSE3-tier pixel kernels (legacy SSE encodings only, so that every one of
// them runs on any SSSE3 processor), installed by name in
// install_pixel_ssse3.  Each returns exactly what the portable function of
// its slot returns.
#pragma once

#include <cstdint>

#include "common/primitives.h"

// Half-row SAD: rows 0, 2, 4, ... doubled; alone (SSE2 instructions only)
// and for four candidates.
uint32_t sad_half_64x64_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sad_half_32x32_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sad_half_16x16_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sad_half_8x8_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sad_half_64x32_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sad_half_32x16_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sad_half_16x8_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sad_half_8x4_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sad_half_32x64_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sad_half_16x32_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sad_half_8x16_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sad_half_4x8_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
// The width kernels the size entries above call: rows 0, 2, 4, ... below h
// (any h; 0 for h of 0 or less).
uint32_t sad_half_64xh_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t h);
uint32_t sad_half_32xh_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t h);
uint32_t sad_half_16xh_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t h);
uint32_t sad_half_8xh_sse2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t h);
void sad_x4_half_64x64_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_32x32_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_16x16_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_8x8_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_64x32_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_32x16_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_16x8_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_8x4_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_32x64_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_16x32_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_8x16_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_4x8_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_64x16_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_32x8_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_16x4_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
// The four-candidate width kernels: rows 0, 2, 4, ... below h (four zeros
// for h of 0 or less).
void sad_x4_half_64xh_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                            const uint8_t *r3, int32_t ref_stride, uint32_t out[4], int32_t h);
void sad_x4_half_32xh_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                            const uint8_t *r3, int32_t ref_stride, uint32_t out[4], int32_t h);
void sad_x4_half_16xh_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                            const uint8_t *r3, int32_t ref_stride, uint32_t out[4], int32_t h);
void sad_x4_half_8xh_ssse3(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4], int32_t h);
// Sum of squared differences.  The square entries call ssd_8nxh_ssse3,
// which takes any w x h (0 when either is below 1).  ssd_4x4_ssse3 is the
// legacy-encoded 4x4 SSD of this tier's 4x4 slot (ssd_4x4_avx2 under AVX2).
uint32_t ssd_8nxh_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t w, int32_t h);
uint32_t ssd_4x4_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t ssd_64x64_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t ssd_32x32_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t ssd_16x16_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t ssd_8x8_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t ssd_wxh_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t w, int32_t h);
// Hadamard sums: SATD of 4x4 tiles, SA8D of 8x8 tiles.
uint32_t satd_8x8_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t satd_16x16_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t satd_32x32_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t satd_64x64_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t satd_4x4_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
void satd_x4_4x4_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, uint32_t out[4]);
uint32_t satd_8x4_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t satd_4x8_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sa8d_64x64_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sa8d_32x32_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sa8d_16x16_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sa8d_8x8_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sa8d_64x32_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sa8d_32x16_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sa8d_16x8_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sa8d_32x64_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sa8d_16x32_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sa8d_8x16_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
void sa8d_blocks_16x16_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, uint32_t *raw);
void sa8d_blocks_16x8_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, uint32_t *raw);
void sa8d_blocks_8x16_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, uint32_t *raw);
void sa8d_blocks_8x8_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, uint32_t *raw);
// R left + R right of a 16x8 block, R the unrounded 8x8 Hadamard sum that
// the SA8D kernels round; installed nowhere (sa8d_16x8_ssse3 rounds the
// same sum).
uint32_t hadamard_cost_16w_unused_ssse3(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t hadamard_ac_8x8_ssse3(const uint8_t *src, int32_t stride);
// Gradient pyramids of a CTU.
uint32_t ctu_gradient_pyramid_ssse3(const uint8_t *src, ctu_gradients_t *g);
uint32_t ctu_gradient_dir4_pyramid_ssse3(const uint8_t *src, ctu_gradients_t *g);
uint32_t ctu_gradient_hv_pyramid_ssse3(const uint8_t *src, ctu_gradients_t *g);
uint32_t ctu_gradient_diag_pyramid_ssse3(const uint8_t *src, ctu_gradients_t *g);
// Coefficient helpers (coeff_ssse3.cpp): the non-zero count by block size
// and the scan of the 4x4 groups.
uint32_t count_nonzero_ssse3(const int16_t *coef, int32_t log2_size);
uint32_t count_nonzero_4x4_ssse3(const int16_t *coef);
uint32_t count_nonzero_8x8_ssse3(const int16_t *coef);
uint32_t count_nonzero_16x16_ssse3(const int16_t *coef);
uint32_t count_nonzero_32x32_ssse3(const int16_t *coef);
// The levels of a 4x4 block in reading order (coeff_levels_ssse3.cpp).
uint32_t coeff_levels_4x4_ssse3(const int16_t *coef, int32_t scan_type, int16_t *out);
int32_t coeff_scan_groups_ssse3(const uint16_t *scan, const int16_t *coef, uint16_t *signs, uint16_t *sigmap,
                                uint8_t *counts, int32_t nonzero, const uint16_t *scan4x4, int32_t width);
