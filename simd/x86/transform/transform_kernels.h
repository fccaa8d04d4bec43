// Transform-table kernels of the vector tiers, installed by name in
// install_transform_ssse3 and install_transform_avx2.  Each returns exactly
// what the portable function of its slot returns.
#pragma once

#include <cstdint>

#include "common/primitives.h"

// SSSE3: 128-bit multiply-adds and horizontal additions.
void dct_fwd_4x4_ssse3(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t mode);
void dct_inv_add_4x4_ssse3(uint8_t *recon, const int16_t *coef, int32_t mode);
void dct_fwd_8x8_ssse3(int16_t *coef, const uint8_t *src, const uint8_t *pred);
void dct_fwd_low_8x8_ssse3(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t low_size);
void dct_inv_add_8x8_ssse3(uint8_t *recon, const int16_t *coef);
void dct_inv_add_low_8x8_ssse3(uint8_t *recon, const int16_t *coef, int32_t low_size);
void dct_fwd_16x16_ssse3(int16_t *coef, const uint8_t *src, const uint8_t *pred);
void dct_fwd_low_16x16_ssse3(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t low_size);
void dct_inv_add_16x16_ssse3(uint8_t *recon, const int16_t *coef);
void dct_inv_add_low_16x16_ssse3(uint8_t *recon, const int16_t *coef, int32_t low_size);
void dct_fwd_32x32_ssse3(int16_t *coef, const uint8_t *src, const uint8_t *pred);
void dct_fwd_low_32x32_ssse3(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t low_size);
void dct_inv_add_32x32_ssse3(uint8_t *recon, const int16_t *coef);
void dct_inv_add_low_32x32_ssse3(uint8_t *recon, const int16_t *coef, int32_t low_size);
uint32_t coeff_cost_nxn_ssse3(const int16_t *coef, int32_t log2_size);
// The sizes the coefficient-cost entry hands its block to.
uint32_t coeff_cost_4x4_ssse3(const int16_t *coef);
uint32_t coeff_cost_8x8_ssse3(const int16_t *coef);
uint32_t coeff_cost_16x16_ssse3(const int16_t *coef);
uint32_t coeff_cost_32x32_ssse3(const int16_t *coef);
// AVX2 tier: lane-per-output 256-bit multiply-adds; the 4x4 ones hold the
// whole block in one 256-bit register (transform4_avx2.cpp).
void dct_fwd_4x4_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t mode);
void dct_inv_add_4x4_avx2(uint8_t *recon, const int16_t *coef, int32_t mode);
void dct_fwd_8x8_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred);
void dct_fwd_low_8x8_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t low_size);
void dct_inv_add_8x8_avx2(uint8_t *recon, const int16_t *coef);
void dct_inv_add_low_8x8_avx2(uint8_t *recon, const int16_t *coef, int32_t low_size);
void dct_fwd_16x16_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred);
void dct_fwd_low_16x16_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t low_size);
void dct_inv_add_16x16_avx2(uint8_t *recon, const int16_t *coef);
void dct_inv_add_low_16x16_avx2(uint8_t *recon, const int16_t *coef, int32_t low_size);
void dct_fwd_32x32_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred);
void dct_fwd_low_32x32_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t low_size);
void dct_inv_add_32x32_avx2(uint8_t *recon, const int16_t *coef);
void dct_inv_add_low_32x32_avx2(uint8_t *recon, const int16_t *coef, int32_t low_size);
// The AVX2 tier's cores (residual rows `stride` elements apart,
// coefficient rows N apart): forward from a residual, inverse to one.
void dct_fwd_core_8x8_avx2(const int16_t *res, int16_t *coef, int32_t stride);
void dct_fwd_low_core_8x8_avx2(const int16_t *res, int16_t *coef, int32_t stride);
void dct_fwd_core_16x16_avx2(const int16_t *res, int16_t *coef, int32_t stride);
void dct_fwd_low_core_16x16_avx2(const int16_t *res, int16_t *coef, int32_t stride);
void dct_fwd_core_32x32_avx2(const int16_t *res, int16_t *coef, int32_t stride);
void dct_fwd_low_core_32x32_avx2(const int16_t *res, int16_t *coef, int32_t stride);
void dct_inv_core_8x8_avx2(const int16_t *coef, int16_t *res, int32_t stride);
void dct_inv_low_core_8x8_avx2(const int16_t *coef, int16_t *res, int32_t stride);
void dct_inv_core_16x16_avx2(const int16_t *coef, int16_t *res, int32_t stride);
void dct_inv_low_core_16x16_avx2(const int16_t *coef, int16_t *res, int32_t stride);
void dct_inv_core_32x32_avx2(const int16_t *coef, int16_t *res, int32_t stride);
void dct_inv_low_core_32x32_avx2(const int16_t *coef, int16_t *res, int32_t stride);
// The SSSE3 tier's forward 16x16 and 32x32 cores (residual rows `stride`
// elements apart, coefficient rows N apart): lane-per-output 128-bit
// multiply-adds (transform_fwd_wide_ssse3.cpp).
void dct_fwd_core_16x16_ssse3(const int16_t *res, int16_t *coef, int32_t stride);
void dct_fwd_core_32x32_ssse3(const int16_t *res, int16_t *coef, int32_t stride);
// The SSSE3 tier's forward row pass of N-point DCT rows (every output of
// each of the N rows, shift log2 N - 1; rows N apart in and out, natural
// order), used by the low-frequency kernels; and the inverse second pass
// (every row's N inputs, shift 12), used by the low-frequency inverse ones.
void dct_fwd_1d_8_ssse3(int16_t *out, const int16_t *in);
void dct_fwd_1d_16_ssse3(int16_t *out, const int16_t *in);
void dct_fwd_1d_32_ssse3(int16_t *out, const int16_t *in);
void dct_inv_1d_8_ssse3(int16_t *out, const int16_t *in);
void dct_inv_1d_16_ssse3(int16_t *out, const int16_t *in);
void dct_inv_1d_32_ssse3(int16_t *out, const int16_t *in);
