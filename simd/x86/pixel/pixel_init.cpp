// Tier installers of the pixel table.  The SSSE3 tier is written in legacy
// SSE encodings only, so everything it installs runs on any processor with
// SSSE3.  The AVX2 tier is one list of named kernels; the slots it does not
// name keep the lower tier's function.
#include "simd/x86/pixel/pixel_avx2.h"
#include "simd/x86/pixel/pixel_ssse3.h"
#include "simd/x86/simd_install.h"

// Slots this list does not name keep the portable functions: among them
// every 4x4 cost, the whole-row SADs, the two- and three-candidate SADs,
// sa8d_half and the rectangular SSDs and SATDs.
void install_pixel_ssse3(pixel_funcs_t *p, int32_t block_cost_level) {
  p->sad_half[0] = sad_half_64x64_sse2;
  p->sad_half[1] = sad_half_32x32_sse2;
  p->sad_half[2] = sad_half_16x16_sse2;
  p->sad_half[3] = sad_half_8x8_sse2;
  p->sad_half_wide[0] = sad_half_64x32_sse2;
  p->sad_half_wide[1] = sad_half_32x16_sse2;
  p->sad_half_wide[2] = sad_half_16x8_sse2;
  p->sad_half_wide[3] = sad_half_8x4_sse2;
  p->sad_half_tall[0] = sad_half_32x64_sse2;
  p->sad_half_tall[1] = sad_half_16x32_sse2;
  p->sad_half_tall[2] = sad_half_8x16_sse2;
  p->sad_half_tall[3] = sad_half_4x8_sse2;
  p->sad_x4_half[0] = sad_x4_half_64x64_ssse3;
  p->sad_x4_half[1] = sad_x4_half_32x32_ssse3;
  p->sad_x4_half[2] = sad_x4_half_16x16_ssse3;
  p->sad_x4_half[3] = sad_x4_half_8x8_ssse3;
  p->sad_x4_half_wide[0] = sad_x4_half_64x32_ssse3;
  p->sad_x4_half_wide[1] = sad_x4_half_32x16_ssse3;
  p->sad_x4_half_wide[2] = sad_x4_half_16x8_ssse3;
  p->sad_x4_half_wide[3] = sad_x4_half_8x4_ssse3;
  p->sad_x4_half_tall[0] = sad_x4_half_32x64_ssse3;
  p->sad_x4_half_tall[1] = sad_x4_half_16x32_ssse3;
  p->sad_x4_half_tall[2] = sad_x4_half_8x16_ssse3;
  p->sad_x4_half_tall[3] = sad_x4_half_4x8_ssse3;
  p->sad_x4_half_flat[0] = sad_x4_half_64x16_ssse3;
  p->sad_x4_half_flat[1] = sad_x4_half_32x8_ssse3;
  p->sad_x4_half_flat[2] = sad_x4_half_16x4_ssse3;
  p->ssd[0] = ssd_64x64_ssse3;
  p->ssd[1] = ssd_32x32_ssse3;
  p->ssd[2] = ssd_16x16_ssse3;
  p->ssd[3] = ssd_8x8_ssse3;
  p->ssd[4] = ssd_4x4_ssse3;
  p->ssd_wxh = ssd_wxh_ssse3;
  p->satd[0] = satd_64x64_ssse3;
  p->satd[1] = satd_32x32_ssse3;
  p->satd[2] = satd_16x16_ssse3;
  p->satd[3] = satd_8x8_ssse3;
  p->satd[4] = satd_4x4_ssse3;
  p->satd_x4_4x4 = satd_x4_4x4_ssse3;
  p->sa8d_blocks_16x16 = sa8d_blocks_16x16_ssse3;
  p->sa8d_blocks_16x8 = sa8d_blocks_16x8_ssse3;
  p->sa8d_blocks_8x16 = sa8d_blocks_8x16_ssse3;
  p->sa8d_blocks_8x8 = sa8d_blocks_8x8_ssse3;
  p->sa8d[0] = sa8d_64x64_ssse3;
  p->sa8d[1] = sa8d_32x32_ssse3;
  p->sa8d[2] = sa8d_16x16_ssse3;
  p->sa8d[3] = sa8d_8x8_ssse3;
  p->sa8d_wide[0] = sa8d_64x32_ssse3;
  p->sa8d_wide[1] = sa8d_32x16_ssse3;
  p->sa8d_wide[2] = sa8d_16x8_ssse3;
  p->sa8d_wide[3] = satd_8x4_ssse3;  // the 8x4 member is the SATD
  p->sa8d_tall[0] = sa8d_32x64_ssse3;
  p->sa8d_tall[1] = sa8d_16x32_ssse3;
  p->sa8d_tall[2] = sa8d_8x16_ssse3;
  p->sa8d_tall[3] = satd_4x8_ssse3;  // the 4x8 member is the SATD
  p->hadamard_ac_8x8 = hadamard_ac_8x8_ssse3;
  p->ctu_gradient_pyramid = ctu_gradient_pyramid_ssse3;
  p->ctu_gradient_dir4_pyramid = ctu_gradient_dir4_pyramid_ssse3;
  p->ctu_gradient_hv_pyramid = ctu_gradient_hv_pyramid_ssse3;
  p->ctu_gradient_diag_pyramid = ctu_gradient_diag_pyramid_ssse3;
  p->count_nonzero = count_nonzero_ssse3;
  p->coeff_scan_groups = coeff_scan_groups_ssse3;
  p->coeff_levels_4x4 = coeff_levels_4x4_ssse3;
  // The block cost follows its level's choice (half-row SAD or SA8D); the
  // 4x4 cost keeps the lower tier's function.
  if (block_cost_level < 1) {
    p->block_cost[0] = sad_half_64x64_sse2;
    p->block_cost[1] = sad_half_32x32_sse2;
    p->block_cost[2] = sad_half_16x16_sse2;
    p->block_cost[3] = sad_half_8x8_sse2;
  } else {
    p->block_cost[0] = sa8d_64x64_ssse3;
    p->block_cost[1] = sa8d_32x32_ssse3;
    p->block_cost[2] = sa8d_16x16_ssse3;
    p->block_cost[3] = sa8d_8x8_ssse3;
  }
}

// Not replaced here: the half-row SADs of 16x8, 8x4, 16x32, 8x16 and 4x8,
// the four-candidate 16x16, 8x8, 16x8, 8x4, 16x32, 8x16 and 4x8 ones, and the
// rectangular SSDs and SATDs.  Slot 24 (four candidates, 4x4) stays
// empty: no search scores four 4x4 points.
void install_pixel_avx2(pixel_funcs_t *p, int32_t block_cost_level) {
  p->sad_half[0] = sad_half_64x64_avx2;
  p->sad_half[1] = sad_half_32x32_avx2;
  p->sad_half[2] = sad_half_16x16_avx2;
  p->sad_half[3] = sad_half_8x8_avx2;
  p->sad_half[4] = sad_half_4x4_avx;
  p->sad[0] = sad_64x64_avx2;
  p->sad[1] = sad_32x32_avx2;
  p->sad[2] = sad_16x16_avx2;
  p->sad[3] = sad_8x8_avx2;
  p->sad[4] = sad_4x4_avx;
  p->sad_half_wide[0] = sad_half_64x32_avx2;
  p->sad_half_wide[1] = sad_half_32x16_avx2;
  p->sad_half_tall[0] = sad_half_32x64_avx2;
  p->sad_x4_half[0] = sad_x4_half_64x64_avx2;
  p->sad_x4_half[1] = sad_x4_half_32x32_avx2;
  p->sad_x4_half_wide[0] = sad_x4_half_64x32_avx2;
  p->sad_x4_half_wide[1] = sad_x4_half_32x16_avx2;
  p->sad_x4_half_tall[0] = sad_x4_half_32x64_avx2;
  p->sad_x4_half[2] = sad_x4_half_16x16_avx2;
  p->sad_x4_half[3] = sad_x4_half_8x8_avx2;
  p->sad_x4_half_wide[2] = sad_x4_half_16x8_avx2;
  p->sad_x4_half_tall[1] = sad_x4_half_16x32_avx2;
  p->sad_x4_half_tall[2] = sad_x4_half_8x16_avx2;
  p->sad_x4_half_wide[3] = sad_x4_half_8x4_avx2;
  p->sad_x4_half_flat[0] = sad_x4_half_64x16_avx2;
  p->sad_x4_half_flat[1] = sad_x4_half_32x8_avx2;
  p->sad_x4_half_flat[2] = sad_x4_half_16x4_avx2;
  p->sad_x3_half[0] = sad_x3_half_64x64_avx2;
  p->sad_x3_half[1] = sad_x3_half_32x32_avx2;
  p->sad_x3_half[2] = sad_x3_half_16x16_avx2;
  p->sad_x3_half[3] = sad_x3_half_8x8_avx2;
  p->sad_x3_half[4] = sad_x3_half_4x4_avx;
  p->sad_x2_half[0] = sad_x2_half_64x64_avx2;
  p->sad_x2_half[1] = sad_x2_half_32x32_avx2;
  p->sad_x2_half[2] = sad_x2_half_16x16_avx2;
  p->sad_x2_half[3] = sad_x2_half_8x8_avx2;
  p->sad_x2_half[4] = sad_x2_half_4x4_avx;
  p->ssd[0] = ssd_64x64_avx2;
  p->ssd[1] = ssd_32x32_avx2;
  p->ssd[2] = ssd_16x16_avx2;
  p->ssd[3] = ssd_8x8_avx2;
  p->ssd[4] = ssd_4x4_avx2;
  p->ssd_wxh = ssd_wxh_avx2;
  p->satd[0] = satd_64x64_avx2;
  p->satd[1] = satd_32x32_avx2;
  p->satd[2] = satd_16x16_avx2;
  p->satd[3] = satd_8x8_avx2;
  p->satd[4] = satd_4x4_avx2;
  p->satd_x4_4x4 = satd_x4_4x4_avx2;
  p->sa8d_blocks_16x16 = sa8d_blocks_16x16_avx2;
  p->sa8d_blocks_16x8 = sa8d_blocks_16x8_avx2;
  p->sa8d_blocks_8x16 = sa8d_blocks_8x16_avx2;
  p->sa8d_blocks_8x8 = sa8d_blocks_8x8_avx2;
  p->sa8d[0] = sa8d_64x64_avx2;
  p->sa8d[1] = sa8d_32x32_avx2;
  p->sa8d[2] = sa8d_16x16_avx2;
  p->sa8d[3] = sa8d_8x8_avx2;
  p->sa8d_wide[0] = sa8d_64x32_avx2;
  p->sa8d_wide[1] = sa8d_32x16_avx2;
  p->sa8d_wide[2] = sa8d_16x8_avx2;
  p->sa8d_tall[0] = sa8d_32x64_avx2;
  p->sa8d_tall[1] = sa8d_16x32_avx2;
  p->sa8d_tall[2] = sa8d_8x16_avx2;
  p->sa8d_half[0] = sa8d_half_64x64_avx2;
  p->sa8d_half[1] = sa8d_half_32x32_avx2;
  p->sa8d_half[2] = sa8d_half_16x16_avx2;
  p->sa8d_half[3] = sa8d_8x8_avx2;  // the 8x8 member is the full SA8D
  p->pixel_var_64x64 = pixel_var_64x64_avx2;
  p->pixel_var_32x32 = pixel_var_32x32_avx2;
  p->pixel_var_16x16 = pixel_var_16x16_avx2;
  p->pixel_var_8x8 = pixel_var_8x8_avx2;
  p->count_nonzero = count_nonzero_avx2;
  p->coeff_scan_groups = coeff_scan_groups_bmi2;
  p->coeff_levels_4x4 = coeff_levels_4x4_avx2;
  p->copy_to_aligned_64x64 = copy_to_aligned_64x64_avx2;
  p->copy_to_aligned_32x32 = copy_to_aligned_32x32_avx2;
  p->copy_from_aligned_64x64 = copy_from_aligned_64x64_avx2;
  p->copy_from_aligned_32x32 = copy_from_aligned_32x32_avx2;
  if (block_cost_level < 1) {
    // The two large block costs are the half-row SADs of their size; the
    // 16x16 and 8x8 ones keep the lower tier's.
    p->block_cost[0] = block_cost_sad_half_64x64_avx2;
    p->block_cost[1] = block_cost_sad_half_32x32_avx2;
  } else {
    p->block_cost[0] = sa8d_64x64_avx2;
    p->block_cost[1] = sa8d_32x32_avx2;
    p->block_cost[2] = sa8d_16x16_avx2;
    p->block_cost[3] = sa8d_8x8_avx2;
  }
}
