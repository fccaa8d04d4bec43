// Transform-table installer of the AVX2 tier, and the low-frequency forward
// 16x16 and 32x32 slots: the residual of source minus prediction
// (transform_passes.h) handed to the corner cores.  Every kernel of the
// tier is lane-per-output 256-bit multiply-adds, each in its own file: 4x4
// (transform4_avx2.cpp), 8x8 (transform8_avx2.cpp), the whole forward
// 16x16 and 32x32, which read the source and prediction themselves
// (transform_fwd_full_avx2.cpp), their corners (transform_fwd_wide_avx2.cpp),
// the inverse 16x16 and 32x32 (transform_inv16_avx2.cpp,
// transform_inv32_avx2.cpp).  Slot 14 keeps the SSSE3 kernel: the AVX2 tier
// has none.
#include "simd/x86/simd_install.h"
#include "simd/x86/transform/transform_kernels.h"
#include "simd/x86/transform/transform_passes.h"

// The slot functions take their core inline (flatten), as the passes were
// before the cores had names of their own.
// The low-frequency slots write their own corner whatever low_size says.
__attribute__((flatten)) void dct_fwd_low_16x16_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t) { forward_by_core<16, dct_fwd_low_core_16x16_avx2>(coef, src, pred); }
__attribute__((flatten)) void dct_fwd_low_32x32_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t) { forward_by_core<32, dct_fwd_low_core_32x32_avx2>(coef, src, pred); }

void install_transform_avx2(transform_funcs_t *t) {
  t->dct_fwd_4x4 = dct_fwd_4x4_avx2;
  t->dct_inv_add_4x4 = dct_inv_add_4x4_avx2;
  t->dct_fwd_8x8 = dct_fwd_8x8_avx2;
  t->dct_fwd_low_8x8 = dct_fwd_low_8x8_avx2;
  t->dct_inv_add_8x8 = dct_inv_add_8x8_avx2;
  t->dct_inv_add_low_8x8 = dct_inv_add_low_8x8_avx2;
  t->dct_fwd_16x16 = dct_fwd_16x16_avx2;
  t->dct_fwd_low_16x16 = dct_fwd_low_16x16_avx2;
  t->dct_inv_add_16x16 = dct_inv_add_16x16_avx2;
  t->dct_inv_add_low_16x16 = dct_inv_add_low_16x16_avx2;
  t->dct_fwd_32x32 = dct_fwd_32x32_avx2;
  t->dct_fwd_low_32x32 = dct_fwd_low_32x32_avx2;
  t->dct_inv_add_32x32 = dct_inv_add_32x32_avx2;
  t->dct_inv_add_low_32x32 = dct_inv_add_low_32x32_avx2;
}
