// Tier installers of the intra table.  SSSE3: the reference smoothing of
// 8x8 to 32x32 (cell 0, 4x4, stays portable: no caller smooths a 4x4 array).
// AVX2: planar at every size, one kernel for both cells; the angular modes
// at each size that have a straight-line kernel, one kernel filling both
// the plain and the _filt cell of its mode, then every other angular cell
// through a reference run (modes 10 and 26 below 32x32 with a kernel per
// cell).  DC keeps the portable function.
#include "simd/x86/intra/intra_kernels.h"
#include "simd/x86/simd_install.h"

namespace {

// The cell of a mode at size 2^log2_size, plain (filt 0) or _filt (1).
intra_pred_fn &cell(intra_funcs_t *t, int mode, int filt, int log2_size) {
  return t->pred[intra_cell(mode, filt, log2_size) - 4];
}

}  // namespace

void install_intra_ssse3(intra_funcs_t *t) {
  t->ref_filter[1] = intra_ref_filter_8x8_ssse3;
  t->ref_filter[2] = intra_ref_filter_16x16_ssse3;
  t->ref_filter[3] = intra_ref_filter_32x32_ssse3;
}

void install_intra_avx2(intra_funcs_t *t) {
  cell(t, 0, 0, 2) = cell(t, 0, 1, 2) = intra_planar_4x4_avx2;
  cell(t, 0, 0, 3) = cell(t, 0, 1, 3) = intra_planar_8x8_avx2;
  cell(t, 0, 0, 4) = cell(t, 0, 1, 4) = intra_planar_16x16_avx2;
  cell(t, 0, 0, 5) = cell(t, 0, 1, 5) = intra_planar_32x32_avx2;
  cell(t, 3, 0, 2) = cell(t, 3, 1, 2) = intra_ang_m3_4x4_avx2;
  cell(t, 4, 0, 2) = cell(t, 4, 1, 2) = intra_ang_m4_4x4_avx2;
  cell(t, 5, 0, 2) = cell(t, 5, 1, 2) = intra_ang_m5_4x4_avx2;
  cell(t, 6, 0, 2) = cell(t, 6, 1, 2) = intra_ang_m6_4x4_avx2;
  cell(t, 7, 0, 2) = cell(t, 7, 1, 2) = intra_ang_m7_4x4_avx2;
  cell(t, 8, 0, 2) = cell(t, 8, 1, 2) = intra_ang_m8_4x4_avx2;
  cell(t, 9, 0, 2) = cell(t, 9, 1, 2) = intra_ang_m9_4x4_avx2;
  cell(t, 11, 0, 2) = cell(t, 11, 1, 2) = intra_ang_m11_4x4_avx2;
  cell(t, 12, 0, 2) = cell(t, 12, 1, 2) = intra_ang_m12_4x4_avx2;
  cell(t, 13, 0, 2) = cell(t, 13, 1, 2) = intra_ang_m13_4x4_avx2;
  cell(t, 14, 0, 2) = cell(t, 14, 1, 2) = intra_ang_m14_4x4_avx2;
  cell(t, 15, 0, 2) = cell(t, 15, 1, 2) = intra_ang_m15_4x4_avx2;
  cell(t, 16, 0, 2) = cell(t, 16, 1, 2) = intra_ang_m16_4x4_avx2;
  cell(t, 17, 0, 2) = cell(t, 17, 1, 2) = intra_ang_m17_4x4_avx2;
  cell(t, 19, 0, 2) = cell(t, 19, 1, 2) = intra_ang_m19_4x4_avx2;
  cell(t, 20, 0, 2) = cell(t, 20, 1, 2) = intra_ang_m20_4x4_avx2;
  cell(t, 21, 0, 2) = cell(t, 21, 1, 2) = intra_ang_m21_4x4_avx2;
  cell(t, 22, 0, 2) = cell(t, 22, 1, 2) = intra_ang_m22_4x4_avx2;
  cell(t, 23, 0, 2) = cell(t, 23, 1, 2) = intra_ang_m23_4x4_avx2;
  cell(t, 24, 0, 2) = cell(t, 24, 1, 2) = intra_ang_m24_4x4_avx2;
  cell(t, 25, 0, 2) = cell(t, 25, 1, 2) = intra_ang_m25_4x4_avx2;
  cell(t, 27, 0, 2) = cell(t, 27, 1, 2) = intra_ang_m27_4x4_avx2;
  cell(t, 28, 0, 2) = cell(t, 28, 1, 2) = intra_ang_m28_4x4_avx2;
  cell(t, 29, 0, 2) = cell(t, 29, 1, 2) = intra_ang_m29_4x4_avx2;
  cell(t, 30, 0, 2) = cell(t, 30, 1, 2) = intra_ang_m30_4x4_avx2;
  cell(t, 31, 0, 2) = cell(t, 31, 1, 2) = intra_ang_m31_4x4_avx2;
  cell(t, 32, 0, 2) = cell(t, 32, 1, 2) = intra_ang_m32_4x4_avx2;
  cell(t, 33, 0, 2) = cell(t, 33, 1, 2) = intra_ang_m33_4x4_avx2;
  cell(t, 2, 0, 3) = cell(t, 2, 1, 3) = intra_ang_m2_8x8_avx2;
  cell(t, 3, 0, 3) = cell(t, 3, 1, 3) = intra_ang_m3_8x8_avx2;
  cell(t, 4, 0, 3) = cell(t, 4, 1, 3) = intra_ang_m4_8x8_avx2;
  cell(t, 5, 0, 3) = cell(t, 5, 1, 3) = intra_ang_m5_8x8_avx2;
  cell(t, 6, 0, 3) = cell(t, 6, 1, 3) = intra_ang_m6_8x8_avx2;
  cell(t, 7, 0, 3) = cell(t, 7, 1, 3) = intra_ang_m7_8x8_avx2;
  cell(t, 8, 0, 3) = cell(t, 8, 1, 3) = intra_ang_m8_8x8_avx2;
  cell(t, 9, 0, 3) = cell(t, 9, 1, 3) = intra_ang_m9_8x8_avx2;
  cell(t, 11, 0, 3) = cell(t, 11, 1, 3) = intra_ang_m11_8x8_avx2;
  cell(t, 12, 0, 3) = cell(t, 12, 1, 3) = intra_ang_m12_8x8_avx2;
  cell(t, 13, 0, 3) = cell(t, 13, 1, 3) = intra_ang_m13_8x8_avx2;
  cell(t, 14, 0, 3) = cell(t, 14, 1, 3) = intra_ang_m14_8x8_avx2;
  cell(t, 15, 0, 3) = cell(t, 15, 1, 3) = intra_ang_m15_8x8_avx2;
  cell(t, 16, 0, 3) = cell(t, 16, 1, 3) = intra_ang_m16_8x8_avx2;
  cell(t, 17, 0, 3) = cell(t, 17, 1, 3) = intra_ang_m17_8x8_avx2;
  cell(t, 18, 0, 3) = cell(t, 18, 1, 3) = intra_ang_m18_8x8_avx2;
  cell(t, 19, 0, 3) = cell(t, 19, 1, 3) = intra_ang_m19_8x8_avx2;
  cell(t, 20, 0, 3) = cell(t, 20, 1, 3) = intra_ang_m20_8x8_avx2;
  cell(t, 21, 0, 3) = cell(t, 21, 1, 3) = intra_ang_m21_8x8_avx2;
  cell(t, 22, 0, 3) = cell(t, 22, 1, 3) = intra_ang_m22_8x8_avx2;
  cell(t, 23, 0, 3) = cell(t, 23, 1, 3) = intra_ang_m23_8x8_avx2;
  cell(t, 24, 0, 3) = cell(t, 24, 1, 3) = intra_ang_m24_8x8_avx2;
  cell(t, 25, 0, 3) = cell(t, 25, 1, 3) = intra_ang_m25_8x8_avx2;
  cell(t, 27, 0, 3) = cell(t, 27, 1, 3) = intra_ang_m27_8x8_avx2;
  cell(t, 28, 0, 3) = cell(t, 28, 1, 3) = intra_ang_m28_8x8_avx2;
  cell(t, 29, 0, 3) = cell(t, 29, 1, 3) = intra_ang_m29_8x8_avx2;
  cell(t, 30, 0, 3) = cell(t, 30, 1, 3) = intra_ang_m30_8x8_avx2;
  cell(t, 31, 0, 3) = cell(t, 31, 1, 3) = intra_ang_m31_8x8_avx2;
  cell(t, 32, 0, 3) = cell(t, 32, 1, 3) = intra_ang_m32_8x8_avx2;
  cell(t, 33, 0, 3) = cell(t, 33, 1, 3) = intra_ang_m33_8x8_avx2;
  cell(t, 3, 0, 4) = cell(t, 3, 1, 4) = intra_ang_m3_16x16_avx2;
  cell(t, 4, 0, 4) = cell(t, 4, 1, 4) = intra_ang_m4_16x16_avx2;
  cell(t, 5, 0, 4) = cell(t, 5, 1, 4) = intra_ang_m5_16x16_avx2;
  cell(t, 6, 0, 4) = cell(t, 6, 1, 4) = intra_ang_m6_16x16_avx2;
  cell(t, 7, 0, 4) = cell(t, 7, 1, 4) = intra_ang_m7_16x16_avx2;
  cell(t, 8, 0, 4) = cell(t, 8, 1, 4) = intra_ang_m8_16x16_avx2;
  cell(t, 9, 0, 4) = cell(t, 9, 1, 4) = intra_ang_m9_16x16_avx2;
  cell(t, 11, 0, 4) = cell(t, 11, 1, 4) = intra_ang_m11_16x16_avx2;
  cell(t, 12, 0, 4) = cell(t, 12, 1, 4) = intra_ang_m12_16x16_avx2;
  cell(t, 13, 0, 4) = cell(t, 13, 1, 4) = intra_ang_m13_16x16_avx2;
  cell(t, 14, 0, 4) = cell(t, 14, 1, 4) = intra_ang_m14_16x16_avx2;
  cell(t, 15, 0, 4) = cell(t, 15, 1, 4) = intra_ang_m15_16x16_avx2;
  cell(t, 16, 0, 4) = cell(t, 16, 1, 4) = intra_ang_m16_16x16_avx2;
  cell(t, 17, 0, 4) = cell(t, 17, 1, 4) = intra_ang_m17_16x16_avx2;
  cell(t, 22, 0, 4) = cell(t, 22, 1, 4) = intra_ang_m22_16x16_avx2;
  cell(t, 23, 0, 4) = cell(t, 23, 1, 4) = intra_ang_m23_16x16_avx2;
  cell(t, 24, 0, 4) = cell(t, 24, 1, 4) = intra_ang_m24_16x16_avx2;
  cell(t, 25, 0, 4) = cell(t, 25, 1, 4) = intra_ang_m25_16x16_avx2;
  cell(t, 27, 0, 4) = cell(t, 27, 1, 4) = intra_ang_m27_16x16_avx2;
  cell(t, 28, 0, 4) = cell(t, 28, 1, 4) = intra_ang_m28_16x16_avx2;
  cell(t, 29, 0, 4) = cell(t, 29, 1, 4) = intra_ang_m29_16x16_avx2;
  cell(t, 30, 0, 4) = cell(t, 30, 1, 4) = intra_ang_m30_16x16_avx2;
  cell(t, 31, 0, 4) = cell(t, 31, 1, 4) = intra_ang_m31_16x16_avx2;
  cell(t, 32, 0, 4) = cell(t, 32, 1, 4) = intra_ang_m32_16x16_avx2;
  cell(t, 33, 0, 4) = cell(t, 33, 1, 4) = intra_ang_m33_16x16_avx2;
  cell(t, 2, 0, 5) = cell(t, 2, 1, 5) = intra_ang_m2_32x32_avx2;
  cell(t, 26, 0, 5) = cell(t, 26, 1, 5) = intra_ang_m26_32x32_avx2;
  cell(t, 34, 0, 5) = cell(t, 34, 1, 5) = intra_ang_m34_32x32_avx2;
  // The cells left above, through a reference run.
  cell(t, 2, 0, 2) = cell(t, 2, 1, 2) = intra_ang_m2_4x4_avx2;
  cell(t, 10, 0, 2) = intra_ang_m10_4x4_avx2;
  cell(t, 10, 1, 2) = intra_ang_m10_filt_4x4_avx2;
  cell(t, 18, 0, 2) = cell(t, 18, 1, 2) = intra_ang_m18_4x4_avx2;
  cell(t, 26, 0, 2) = intra_ang_m26_4x4_avx2;
  cell(t, 26, 1, 2) = intra_ang_m26_filt_4x4_avx2;
  cell(t, 34, 0, 2) = cell(t, 34, 1, 2) = intra_ang_m34_4x4_avx2;
  cell(t, 10, 0, 3) = intra_ang_m10_8x8_avx2;
  cell(t, 10, 1, 3) = intra_ang_m10_filt_8x8_avx2;
  cell(t, 26, 0, 3) = intra_ang_m26_8x8_avx2;
  cell(t, 26, 1, 3) = intra_ang_m26_filt_8x8_avx2;
  cell(t, 34, 0, 3) = cell(t, 34, 1, 3) = intra_ang_m34_8x8_avx2;
  cell(t, 2, 0, 4) = cell(t, 2, 1, 4) = intra_ang_m2_16x16_avx2;
  cell(t, 10, 0, 4) = intra_ang_m10_16x16_avx2;
  cell(t, 10, 1, 4) = intra_ang_m10_filt_16x16_avx2;
  cell(t, 18, 0, 4) = cell(t, 18, 1, 4) = intra_ang_m18_16x16_avx2;
  cell(t, 19, 0, 4) = cell(t, 19, 1, 4) = intra_ang_m19_16x16_avx2;
  cell(t, 20, 0, 4) = cell(t, 20, 1, 4) = intra_ang_m20_16x16_avx2;
  cell(t, 21, 0, 4) = cell(t, 21, 1, 4) = intra_ang_m21_16x16_avx2;
  cell(t, 26, 0, 4) = intra_ang_m26_16x16_avx2;
  cell(t, 26, 1, 4) = intra_ang_m26_filt_16x16_avx2;
  cell(t, 34, 0, 4) = cell(t, 34, 1, 4) = intra_ang_m34_16x16_avx2;
  cell(t, 3, 0, 5) = cell(t, 3, 1, 5) = intra_ang_m3_32x32_avx2;
  cell(t, 4, 0, 5) = cell(t, 4, 1, 5) = intra_ang_m4_32x32_avx2;
  cell(t, 5, 0, 5) = cell(t, 5, 1, 5) = intra_ang_m5_32x32_avx2;
  cell(t, 6, 0, 5) = cell(t, 6, 1, 5) = intra_ang_m6_32x32_avx2;
  cell(t, 7, 0, 5) = cell(t, 7, 1, 5) = intra_ang_m7_32x32_avx2;
  cell(t, 8, 0, 5) = cell(t, 8, 1, 5) = intra_ang_m8_32x32_avx2;
  cell(t, 9, 0, 5) = cell(t, 9, 1, 5) = intra_ang_m9_32x32_avx2;
  cell(t, 10, 0, 5) = cell(t, 10, 1, 5) = intra_ang_m10_32x32_avx2;
  cell(t, 11, 0, 5) = cell(t, 11, 1, 5) = intra_ang_m11_32x32_avx2;
  cell(t, 12, 0, 5) = cell(t, 12, 1, 5) = intra_ang_m12_32x32_avx2;
  cell(t, 13, 0, 5) = cell(t, 13, 1, 5) = intra_ang_m13_32x32_avx2;
  cell(t, 14, 0, 5) = cell(t, 14, 1, 5) = intra_ang_m14_32x32_avx2;
  cell(t, 15, 0, 5) = cell(t, 15, 1, 5) = intra_ang_m15_32x32_avx2;
  cell(t, 16, 0, 5) = cell(t, 16, 1, 5) = intra_ang_m16_32x32_avx2;
  cell(t, 17, 0, 5) = cell(t, 17, 1, 5) = intra_ang_m17_32x32_avx2;
  cell(t, 18, 0, 5) = cell(t, 18, 1, 5) = intra_ang_m18_32x32_avx2;
  cell(t, 19, 0, 5) = cell(t, 19, 1, 5) = intra_ang_m19_32x32_avx2;
  cell(t, 20, 0, 5) = cell(t, 20, 1, 5) = intra_ang_m20_32x32_avx2;
  cell(t, 21, 0, 5) = cell(t, 21, 1, 5) = intra_ang_m21_32x32_avx2;
  cell(t, 22, 0, 5) = cell(t, 22, 1, 5) = intra_ang_m22_32x32_avx2;
  cell(t, 23, 0, 5) = cell(t, 23, 1, 5) = intra_ang_m23_32x32_avx2;
  cell(t, 24, 0, 5) = cell(t, 24, 1, 5) = intra_ang_m24_32x32_avx2;
  cell(t, 25, 0, 5) = cell(t, 25, 1, 5) = intra_ang_m25_32x32_avx2;
  cell(t, 27, 0, 5) = cell(t, 27, 1, 5) = intra_ang_m27_32x32_avx2;
  cell(t, 28, 0, 5) = cell(t, 28, 1, 5) = intra_ang_m28_32x32_avx2;
  cell(t, 29, 0, 5) = cell(t, 29, 1, 5) = intra_ang_m29_32x32_avx2;
  cell(t, 30, 0, 5) = cell(t, 30, 1, 5) = intra_ang_m30_32x32_avx2;
  cell(t, 31, 0, 5) = cell(t, 31, 1, 5) = intra_ang_m31_32x32_avx2;
  cell(t, 32, 0, 5) = cell(t, 32, 1, 5) = intra_ang_m32_32x32_avx2;
  cell(t, 33, 0, 5) = cell(t, 33, 1, 5) = intra_ang_m33_32x32_avx2;
}
