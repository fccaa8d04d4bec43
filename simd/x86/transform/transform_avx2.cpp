// Forward and inverse transforms of the AVX2 tier: 256-bit multiply-adds
// and horizontal additions where a row holds 16 or more values, the
// 128-bit ones below (transform_passes.h); kernels whose shapes have no
// such rows use only 128-bit VEX instructions and are named _avx.  Slot 14 keeps the SSSE3 kernel:
// the AVX2 tier has none.
#include "simd/x86/simd_install.h"
#include "simd/x86/transform/transform_kernels.h"
#include "simd/x86/transform/transform_passes.h"

void dct_fwd_4x4_avx(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t mode) { dct_fwd_4x4_kernel<true>(coef, src, pred, mode); }
void dct_inv_add_4x4_avx(uint8_t *recon, const int16_t *coef, int32_t mode) { dct_inv_add_4x4_kernel<true>(recon, coef, mode); }
void dct_fwd_8x8_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred) { dct_fwd_kernel<true, 3>(coef, src, pred); }
void dct_fwd_low_8x8_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t low_size) { dct_fwd_low_kernel<true, 3, 4>(coef, src, pred, low_size); }
void dct_inv_add_8x8_avx(uint8_t *recon, const int16_t *coef) { dct_inv_add_kernel<true, 3>(recon, coef); }
void dct_inv_add_low_8x8_avx(uint8_t *recon, const int16_t *coef, int32_t low_size) { dct_inv_add_low_kernel<true, 3, 4>(recon, coef, low_size); }
void dct_fwd_16x16_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred) { dct_fwd_kernel<true, 4>(coef, src, pred); }
void dct_fwd_low_16x16_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t low_size) { dct_fwd_low_kernel<true, 4, 8>(coef, src, pred, low_size); }
void dct_inv_add_16x16_avx(uint8_t *recon, const int16_t *coef) { dct_inv_add_kernel<true, 4>(recon, coef); }
void dct_inv_add_low_16x16_avx(uint8_t *recon, const int16_t *coef, int32_t low_size) { dct_inv_add_low_kernel<true, 4, 8>(recon, coef, low_size); }
void dct_fwd_32x32_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred) { dct_fwd_kernel<true, 5>(coef, src, pred); }
void dct_fwd_low_32x32_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t low_size) { dct_fwd_low_kernel<true, 5, 8>(coef, src, pred, low_size); }
void dct_inv_add_32x32_avx2(uint8_t *recon, const int16_t *coef) { dct_inv_add_kernel<true, 5>(recon, coef); }
void dct_inv_add_low_32x32_avx(uint8_t *recon, const int16_t *coef, int32_t low_size) { dct_inv_add_low_kernel<true, 5, 8>(recon, coef, low_size); }

void install_transform_avx2(transform_funcs_t *t) {
  t->dct_fwd_4x4 = dct_fwd_4x4_avx;
  t->dct_inv_add_4x4 = dct_inv_add_4x4_avx;
  t->dct_fwd_8x8 = dct_fwd_8x8_avx2;
  t->dct_fwd_low_8x8 = dct_fwd_low_8x8_avx2;
  t->dct_inv_add_8x8 = dct_inv_add_8x8_avx;
  t->dct_inv_add_low_8x8 = dct_inv_add_low_8x8_avx;
  t->dct_fwd_16x16 = dct_fwd_16x16_avx2;
  t->dct_fwd_low_16x16 = dct_fwd_low_16x16_avx2;
  t->dct_inv_add_16x16 = dct_inv_add_16x16_avx;
  t->dct_inv_add_low_16x16 = dct_inv_add_low_16x16_avx;
  t->dct_fwd_32x32 = dct_fwd_32x32_avx2;
  t->dct_fwd_low_32x32 = dct_fwd_low_32x32_avx2;
  t->dct_inv_add_32x32 = dct_inv_add_32x32_avx2;
  t->dct_inv_add_low_32x32 = dct_inv_add_low_32x32_avx;
}
