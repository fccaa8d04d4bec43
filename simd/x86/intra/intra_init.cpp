// Tier installers of the intra table.  SSSE3: the reference smoothing of
// 8x8 to 32x32 (cell 0, 4x4, stays portable: no caller smooths a 4x4 array).
// AVX2: the angular modes at each size that have a straight-line kernel;
// one kernel fills both the plain and the _filt cell of its mode.  Every
// other cell keeps the function the lower tier left.
#include "simd/x86/intra/intra_kernels.h"
#include "simd/x86/simd_install.h"

namespace {

void install_both(intra_funcs_t *t, int mode, int log2_size, intra_pred_fn fn) {
  t->pred[intra_cell(mode, 0, log2_size) - 4] = fn;
  t->pred[intra_cell(mode, 1, log2_size) - 4] = fn;
}

}  // namespace

void install_intra_ssse3(intra_funcs_t *t) {
  t->ref_filter[1] = intra_ref_filter_8x8_ssse3;
  t->ref_filter[2] = intra_ref_filter_16x16_ssse3;
  t->ref_filter[3] = intra_ref_filter_32x32_ssse3;
}

void install_intra_avx2(intra_funcs_t *t) {
  install_both(t, 3, 2, intra_ang_m3_4x4_avx2);
  install_both(t, 4, 2, intra_ang_m4_4x4_avx2);
  install_both(t, 5, 2, intra_ang_m5_4x4_avx2);
  install_both(t, 6, 2, intra_ang_m6_4x4_avx2);
  install_both(t, 7, 2, intra_ang_m7_4x4_avx2);
  install_both(t, 8, 2, intra_ang_m8_4x4_avx2);
  install_both(t, 9, 2, intra_ang_m9_4x4_avx2);
  install_both(t, 11, 2, intra_ang_m11_4x4_avx2);
  install_both(t, 12, 2, intra_ang_m12_4x4_avx2);
  install_both(t, 13, 2, intra_ang_m13_4x4_avx2);
  install_both(t, 14, 2, intra_ang_m14_4x4_avx2);
  install_both(t, 15, 2, intra_ang_m15_4x4_avx2);
  install_both(t, 16, 2, intra_ang_m16_4x4_avx2);
  install_both(t, 17, 2, intra_ang_m17_4x4_avx2);
  install_both(t, 19, 2, intra_ang_m19_4x4_avx2);
  install_both(t, 20, 2, intra_ang_m20_4x4_avx2);
  install_both(t, 21, 2, intra_ang_m21_4x4_avx2);
  install_both(t, 22, 2, intra_ang_m22_4x4_avx2);
  install_both(t, 23, 2, intra_ang_m23_4x4_avx2);
  install_both(t, 24, 2, intra_ang_m24_4x4_avx2);
  install_both(t, 25, 2, intra_ang_m25_4x4_avx2);
  install_both(t, 27, 2, intra_ang_m27_4x4_avx2);
  install_both(t, 28, 2, intra_ang_m28_4x4_avx2);
  install_both(t, 29, 2, intra_ang_m29_4x4_avx2);
  install_both(t, 30, 2, intra_ang_m30_4x4_avx2);
  install_both(t, 31, 2, intra_ang_m31_4x4_avx2);
  install_both(t, 32, 2, intra_ang_m32_4x4_avx2);
  install_both(t, 33, 2, intra_ang_m33_4x4_avx2);
  install_both(t, 2, 3, intra_ang_m2_8x8_avx2);
  install_both(t, 3, 3, intra_ang_m3_8x8_avx2);
  install_both(t, 4, 3, intra_ang_m4_8x8_avx2);
  install_both(t, 5, 3, intra_ang_m5_8x8_avx2);
  install_both(t, 6, 3, intra_ang_m6_8x8_avx2);
  install_both(t, 7, 3, intra_ang_m7_8x8_avx2);
  install_both(t, 8, 3, intra_ang_m8_8x8_avx2);
  install_both(t, 9, 3, intra_ang_m9_8x8_avx2);
  install_both(t, 11, 3, intra_ang_m11_8x8_avx2);
  install_both(t, 12, 3, intra_ang_m12_8x8_avx2);
  install_both(t, 13, 3, intra_ang_m13_8x8_avx2);
  install_both(t, 14, 3, intra_ang_m14_8x8_avx2);
  install_both(t, 15, 3, intra_ang_m15_8x8_avx2);
  install_both(t, 16, 3, intra_ang_m16_8x8_avx2);
  install_both(t, 17, 3, intra_ang_m17_8x8_avx2);
  install_both(t, 18, 3, intra_ang_m18_8x8_avx2);
  install_both(t, 19, 3, intra_ang_m19_8x8_avx2);
  install_both(t, 20, 3, intra_ang_m20_8x8_avx2);
  install_both(t, 21, 3, intra_ang_m21_8x8_avx2);
  install_both(t, 22, 3, intra_ang_m22_8x8_avx2);
  install_both(t, 23, 3, intra_ang_m23_8x8_avx2);
  install_both(t, 24, 3, intra_ang_m24_8x8_avx2);
  install_both(t, 25, 3, intra_ang_m25_8x8_avx2);
  install_both(t, 27, 3, intra_ang_m27_8x8_avx2);
  install_both(t, 28, 3, intra_ang_m28_8x8_avx2);
  install_both(t, 29, 3, intra_ang_m29_8x8_avx2);
  install_both(t, 30, 3, intra_ang_m30_8x8_avx2);
  install_both(t, 31, 3, intra_ang_m31_8x8_avx2);
  install_both(t, 32, 3, intra_ang_m32_8x8_avx2);
  install_both(t, 33, 3, intra_ang_m33_8x8_avx2);
  install_both(t, 3, 4, intra_ang_m3_16x16_avx2);
  install_both(t, 4, 4, intra_ang_m4_16x16_avx2);
  install_both(t, 5, 4, intra_ang_m5_16x16_avx2);
  install_both(t, 6, 4, intra_ang_m6_16x16_avx2);
  install_both(t, 7, 4, intra_ang_m7_16x16_avx2);
  install_both(t, 8, 4, intra_ang_m8_16x16_avx2);
  install_both(t, 9, 4, intra_ang_m9_16x16_avx2);
  install_both(t, 11, 4, intra_ang_m11_16x16_avx2);
  install_both(t, 12, 4, intra_ang_m12_16x16_avx2);
  install_both(t, 13, 4, intra_ang_m13_16x16_avx2);
  install_both(t, 14, 4, intra_ang_m14_16x16_avx2);
  install_both(t, 15, 4, intra_ang_m15_16x16_avx2);
  install_both(t, 16, 4, intra_ang_m16_16x16_avx2);
  install_both(t, 17, 4, intra_ang_m17_16x16_avx2);
  install_both(t, 22, 4, intra_ang_m22_16x16_avx2);
  install_both(t, 23, 4, intra_ang_m23_16x16_avx2);
  install_both(t, 24, 4, intra_ang_m24_16x16_avx2);
  install_both(t, 25, 4, intra_ang_m25_16x16_avx2);
  install_both(t, 27, 4, intra_ang_m27_16x16_avx2);
  install_both(t, 28, 4, intra_ang_m28_16x16_avx2);
  install_both(t, 29, 4, intra_ang_m29_16x16_avx2);
  install_both(t, 30, 4, intra_ang_m30_16x16_avx2);
  install_both(t, 31, 4, intra_ang_m31_16x16_avx2);
  install_both(t, 32, 4, intra_ang_m32_16x16_avx2);
  install_both(t, 33, 4, intra_ang_m33_16x16_avx2);
  install_both(t, 2, 5, intra_ang_m2_32x32_avx2);
  install_both(t, 26, 5, intra_ang_m26_32x32_avx2);
  install_both(t, 34, 5, intra_ang_m34_32x32_avx2);
}
