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
// AVX2 tier: 256-bit passes where a row holds 16 or more values (suffix
// avx2); the shapes without such rows are the SSSE3 arithmetic in 128-bit
// VEX encodings (suffix avx).
void dct_fwd_4x4_avx(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t mode);
void dct_inv_add_4x4_avx(uint8_t *recon, const int16_t *coef, int32_t mode);
void dct_fwd_8x8_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred);
void dct_fwd_low_8x8_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t low_size);
void dct_inv_add_8x8_avx(uint8_t *recon, const int16_t *coef);
void dct_inv_add_low_8x8_avx(uint8_t *recon, const int16_t *coef, int32_t low_size);
void dct_fwd_16x16_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred);
void dct_fwd_low_16x16_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t low_size);
void dct_inv_add_16x16_avx(uint8_t *recon, const int16_t *coef);
void dct_inv_add_low_16x16_avx(uint8_t *recon, const int16_t *coef, int32_t low_size);
void dct_fwd_32x32_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred);
void dct_fwd_low_32x32_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t low_size);
void dct_inv_add_32x32_avx2(uint8_t *recon, const int16_t *coef);
void dct_inv_add_low_32x32_avx(uint8_t *recon, const int16_t *coef, int32_t low_size);
