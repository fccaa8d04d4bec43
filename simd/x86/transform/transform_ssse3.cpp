// Forward and inverse transforms of the SSSE3 tier: 128-bit multiply-adds
// and the SSSE3 horizontal addition (transform_passes.h).  The coefficient
// cost (slot 14) is coeff_cost_ssse3.cpp's.
#include "simd/x86/simd_install.h"
#include "simd/x86/transform/transform_kernels.h"
#include "simd/x86/transform/transform_passes.h"

void dct_fwd_4x4_ssse3(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t mode) { dct_fwd_4x4_kernel<false>(coef, src, pred, mode); }
void dct_inv_add_4x4_ssse3(uint8_t *recon, const int16_t *coef, int32_t mode) { dct_inv_add_4x4_kernel<false>(recon, coef, mode); }
void dct_fwd_8x8_ssse3(int16_t *coef, const uint8_t *src, const uint8_t *pred) { dct_fwd_kernel<false, 3>(coef, src, pred); }
void dct_fwd_low_8x8_ssse3(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t low_size) { dct_fwd_low_kernel<false, 3, 4>(coef, src, pred, low_size); }
void dct_inv_add_8x8_ssse3(uint8_t *recon, const int16_t *coef) { dct_inv_add_kernel<false, 3>(recon, coef); }
void dct_inv_add_low_8x8_ssse3(uint8_t *recon, const int16_t *coef, int32_t low_size) { dct_inv_add_low_kernel<false, 3, 4>(recon, coef, low_size); }
void dct_fwd_16x16_ssse3(int16_t *coef, const uint8_t *src, const uint8_t *pred) { dct_fwd_kernel<false, 4>(coef, src, pred); }
void dct_fwd_low_16x16_ssse3(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t low_size) { dct_fwd_low_kernel<false, 4, 8>(coef, src, pred, low_size); }
void dct_inv_add_16x16_ssse3(uint8_t *recon, const int16_t *coef) { dct_inv_add_kernel<false, 4>(recon, coef); }
void dct_inv_add_low_16x16_ssse3(uint8_t *recon, const int16_t *coef, int32_t low_size) { dct_inv_add_low_kernel<false, 4, 8>(recon, coef, low_size); }
void dct_fwd_32x32_ssse3(int16_t *coef, const uint8_t *src, const uint8_t *pred) { dct_fwd_kernel<false, 5>(coef, src, pred); }
void dct_fwd_low_32x32_ssse3(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t low_size) { dct_fwd_low_kernel<false, 5, 8>(coef, src, pred, low_size); }
void dct_inv_add_32x32_ssse3(uint8_t *recon, const int16_t *coef) { dct_inv_add_kernel<false, 5>(recon, coef); }
void dct_inv_add_low_32x32_ssse3(uint8_t *recon, const int16_t *coef, int32_t low_size) { dct_inv_add_low_kernel<false, 5, 8>(recon, coef, low_size); }

void install_transform_ssse3(transform_funcs_t *t) {
  t->dct_fwd_4x4 = dct_fwd_4x4_ssse3;
  t->dct_inv_add_4x4 = dct_inv_add_4x4_ssse3;
  t->dct_fwd_8x8 = dct_fwd_8x8_ssse3;
  t->dct_fwd_low_8x8 = dct_fwd_low_8x8_ssse3;
  t->dct_inv_add_8x8 = dct_inv_add_8x8_ssse3;
  t->dct_inv_add_low_8x8 = dct_inv_add_low_8x8_ssse3;
  t->dct_fwd_16x16 = dct_fwd_16x16_ssse3;
  t->dct_fwd_low_16x16 = dct_fwd_low_16x16_ssse3;
  t->dct_inv_add_16x16 = dct_inv_add_16x16_ssse3;
  t->dct_inv_add_low_16x16 = dct_inv_add_low_16x16_ssse3;
  t->dct_fwd_32x32 = dct_fwd_32x32_ssse3;
  t->dct_fwd_low_32x32 = dct_fwd_low_32x32_ssse3;
  t->dct_inv_add_32x32 = dct_inv_add_32x32_ssse3;
  t->dct_inv_add_low_32x32 = dct_inv_add_low_32x32_ssse3;
  t->coeff_cost = coeff_cost_nxn_ssse3;
}
