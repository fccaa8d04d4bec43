// Intra prediction kernels of the vector tiers; simd/x86/intra/intra_init.cpp
// installs them into intra_funcs_t.
#pragma once

#include <cstdint>

// [1 2 1] reference smoothing, SSSE3 tier: cells 1 to 3.
void intra_ref_filter_8x8_ssse3(const uint8_t *src, uint8_t *dst);
void intra_ref_filter_16x16_ssse3(const uint8_t *src, uint8_t *dst);
void intra_ref_filter_32x32_ssse3(const uint8_t *src, uint8_t *dst);

// Planar predictors, AVX2 tier, each serving both cells of its size.
void intra_planar_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_planar_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_planar_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_planar_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);

// Angular predictors, AVX2 tier; each serves its mode's plain and _filt cell
// (none of these modes has a boundary filter at its size).
void intra_ang_m3_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m4_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m5_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m6_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m7_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m8_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m9_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m11_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m12_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m13_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m14_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m15_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m16_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m17_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m19_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m20_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m21_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m22_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m23_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m24_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m25_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m27_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m28_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m29_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m30_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m31_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m32_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m33_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m2_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m3_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m4_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m5_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m6_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m7_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m8_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m9_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m11_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m12_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m13_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m14_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m15_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m16_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m17_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m18_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m19_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m20_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m21_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m22_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m23_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m24_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m25_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m27_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m28_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m29_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m30_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m31_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m32_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m33_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m3_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m4_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m5_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m6_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m7_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m8_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m9_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m11_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m12_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m13_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m14_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m15_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m16_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m17_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m22_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m23_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m24_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m25_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m27_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m28_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m29_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m30_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m31_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m32_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m33_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m2_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m26_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m34_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);

// Through a reference run (intra_ang_ref_avx2.cpp): the remaining angular
// cells of 4x4 to 32x32; modes 10 and 26 below 32x32 have a _filt kernel
// of their own for the boundary filter, every other kernel serves both cells.
void intra_ang_m2_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m10_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m10_filt_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m18_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m26_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m26_filt_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m34_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m10_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m10_filt_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m26_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m26_filt_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m34_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m2_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m10_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m10_filt_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m18_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m19_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m20_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m21_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m26_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m26_filt_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m34_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m3_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m4_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m5_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m6_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m7_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m8_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m9_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m10_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m11_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m12_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m13_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m14_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m15_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m16_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m17_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m18_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m19_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m20_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m21_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m22_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m23_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m24_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m25_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m27_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m28_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m29_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m30_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m31_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m32_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
void intra_ang_m33_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb);
