// AVX2-tier pixel kernels, installed by name in install_pixel_avx2.  Each
// returns exactly what the portable function of its slot returns, for every
// input the slot takes: any stride (odd, 4096, negative), any alignment.
// Every load is unaligned and reads only the samples of the block, so no
// caller has to align or pad anything for them.  The files are built with
// -mavx2 -mbmi2, so the tier runs only where AVX2, BMI2 and POPCNT are all
// present (cpu_detect_flags).  Suffix: avx2 for 256-bit code, avx for
// 128-bit VEX code, bmi2 where the bit-manipulation instructions carry it.
#pragma once

#include <cstdint>

#include "common/primitives.h"

// Whole-row SAD.
uint32_t sad_64x64_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sad_32x32_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sad_16x16_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sad_8x8_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sad_4x4_avx(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
// Half-row SAD: rows 0, 2, 4, ... doubled.
uint32_t sad_half_64x64_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sad_half_32x32_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sad_half_16x16_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sad_half_8x8_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sad_half_4x4_avx(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sad_half_64x32_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sad_half_32x16_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sad_half_32x64_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
// Any height (rows 0, 2, 4, ... below it; 0 for h of 0 or less): the
// 64-wide one serves sad_half_64x32_avx2 and the 64x64 block cost, the
// 32-wide one is installed nowhere.
uint32_t sad_half_64xh_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t h);
uint32_t sad_half_32xh_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t h);
// The block-cost slots' own names for the two large half-row SADs (the
// block-cost level below 1); same value as sad_half_64x64_avx2/32x32.
uint32_t block_cost_sad_half_64x64_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t block_cost_sad_half_32x32_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
// Half-row SAD of two, three or four candidates against the source copy.
void sad_x4_half_64x64_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                            const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_32x32_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                            const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_64x32_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                            const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_32x16_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                            const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_32x64_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                            const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_16x16_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                            const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_8x8_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                          const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_16x8_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_16x32_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                            const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_8x16_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_8x4_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_64x16_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_32x8_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_16x4_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
// Installed nowhere: four candidates with any height (the even rows below
// it, four zeros for h of 0 or less) and two fixed sizes of the same design.
void sad_x4_half_64xh_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4], int32_t h);
void sad_x4_half_32xh_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4], int32_t h);
void sad_x4_half_64x64_unused_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                                   const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x4_half_32x32_unused_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                                   const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
void sad_x3_half_64x64_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                            int32_t ref_stride, uint32_t out[3]);
void sad_x3_half_32x32_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                            int32_t ref_stride, uint32_t out[3]);
void sad_x3_half_16x16_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                            int32_t ref_stride, uint32_t out[3]);
void sad_x3_half_8x8_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                          int32_t ref_stride, uint32_t out[3]);
void sad_x3_half_4x4_avx(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                         int32_t ref_stride, uint32_t out[3]);
void sad_x2_half_64x64_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, int32_t ref_stride,
                            uint32_t out[2]);
void sad_x2_half_32x32_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, int32_t ref_stride,
                            uint32_t out[2]);
void sad_x2_half_16x16_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, int32_t ref_stride,
                            uint32_t out[2]);
void sad_x2_half_8x8_avx2(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, int32_t ref_stride,
                          uint32_t out[2]);
void sad_x2_half_4x4_avx(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, int32_t ref_stride,
                         uint32_t out[2]);
// Sums of squared differences.
uint32_t ssd_64x64_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t ssd_32x32_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t ssd_16x16_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t ssd_8x8_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t ssd_4x4_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t ssd_wxh_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t w, int32_t h);
// The row pieces ssd_wxh_avx2 strings along each row: 64n bytes (len a
// positive multiple of 64), 32, 16, 8 and 4 bytes.
uint32_t ssd_row_64n_avx2(const uint8_t *a, const uint8_t *b, int32_t len);
uint32_t ssd_row_32_avx2(const uint8_t *a, const uint8_t *b);
uint32_t ssd_row_16_avx(const uint8_t *a, const uint8_t *b);
uint32_t ssd_row_8_avx(const uint8_t *a, const uint8_t *b);
uint32_t ssd_row_4_avx(const uint8_t *a, const uint8_t *b);
// Installed nowhere: SSD of width a positive multiple of 16 (other widths
// take ssd_wxh_avx2's route; 0 for h of 0 or less), of any width with a
// prefetch of each next row, and three squares in 16-sample steps.
uint32_t ssd_16nxh_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t w, int32_t h);
uint32_t ssd_wxh_prefetch_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t w,
                               int32_t h);
uint32_t ssd_64x64_unused_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t ssd_32x32_unused_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t ssd_16x16_unused_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
// SATD (4x4 Hadamard) and SA8D (8x8 Hadamard) costs, exact at every size.
uint32_t satd_64x64_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t satd_32x32_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t satd_16x16_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t satd_8x8_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t satd_4x4_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
void satd_x4_4x4_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, uint32_t out[4]);
uint32_t sa8d_64x64_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sa8d_32x32_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sa8d_16x16_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sa8d_8x8_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sa8d_64x32_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sa8d_32x16_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sa8d_16x8_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sa8d_32x64_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sa8d_16x32_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sa8d_8x16_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
void sa8d_blocks_16x16_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, uint32_t *raw);
void sa8d_blocks_16x8_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, uint32_t *raw);
void sa8d_blocks_8x16_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, uint32_t *raw);
void sa8d_blocks_8x8_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, uint32_t *raw);
// SA8D of the even rows, doubled.
uint32_t sa8d_half_64x64_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sa8d_half_32x32_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sa8d_half_16x16_avx2(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
// Sum of the samples (low 32 bits) and of their squares (high 32 bits).
uint64_t pixel_var_64x64_avx2(const uint8_t *p, int32_t stride);
uint64_t pixel_var_32x32_avx2(const uint8_t *p, int32_t stride);
uint64_t pixel_var_16x16_avx2(const uint8_t *p, int32_t stride);
uint64_t pixel_var_8x8_avx2(const uint8_t *p, int32_t stride);
// Non-zero count of a 2^log2 x 2^log2 coefficient block (log2 2..5; 0 for
// any other size, as the portable function gives) and its kernels.
uint32_t count_nonzero_avx2(const int16_t *coef, int32_t log2_size);
uint32_t count_nonzero_4x4_avx2(const int16_t *coef);
uint32_t count_nonzero_8x8_avx2(const int16_t *coef);
uint32_t count_nonzero_16x16_avx2(const int16_t *coef);
uint32_t count_nonzero_32x32_avx2(const int16_t *coef);
// Sign bits, significance map and count of every 4x4 group up to the last
// non-zero coefficient; the scan position of that coefficient.
int32_t coeff_scan_groups_bmi2(const uint16_t *scan, const int16_t *coef, uint16_t *signs, uint16_t *sigmap,
                               uint8_t *counts, int32_t nonzero, const uint16_t *scan4x4, int32_t width);
// The levels of a 4x4 block in reading order (coeff_levels_avx2.cpp).
uint32_t coeff_levels_4x4_avx2(const int16_t *coef, int32_t scan_type, int16_t *out);
// Copies of a CTU block into and out of the working buffers.
void copy_to_aligned_64x64_avx2(uint8_t *dst, const uint8_t *src, int32_t dst_stride, int32_t src_stride);
void copy_to_aligned_32x32_avx2(uint8_t *dst, const uint8_t *src, int32_t dst_stride, int32_t src_stride);
void copy_from_aligned_64x64_avx2(uint8_t *dst, const uint8_t *src, int32_t dst_stride, int32_t src_stride);
void copy_from_aligned_32x32_avx2(uint8_t *dst, const uint8_t *src, int32_t dst_stride, int32_t src_stride);
