// Tier installers of the mc table.  Slots a tier does not name keep the
// lower tier's function: lowres_init and the CTU downscales stay SSSE3 under
// AVX2; subpel_plane_ptr, chroma_fullpel_ptr, mbtree_propagate_cost and
// lowres_cost_energy stay portable.
#include "simd/x86/mc/mc_kernels.h"
#include "simd/x86/simd_install.h"

void install_mc_ssse3(mc_funcs_t *m) {
  m->mc_luma = mc_luma_ssse3;
  m->mc_luma_ps = mc_luma_ps_ssse3;
  m->get_ref = get_ref_ssse3;
  m->mc_chroma = mc_chroma_ssse3;
  m->mc_chroma_ps = mc_chroma_ps_ssse3;
  m->bipred_avg = bipred_avg_ssse3;
  m->luma_hfilter_planes = luma_hfilter_planes_ssse3;
  m->subpel_planes_build = subpel_planes_build_ssse3;
  m->pixel_avg = pixel_avg_sse2;
  m->lowres_init = lowres_init_ssse3;
  m->lowres_plane0 = lowres_plane0_ssse3;
  m->downscale_2x = downscale_2x_ssse3;
  m->ctu_downscale_64x64 = ctu_downscale_64x64_ssse3;
  m->ctu_border_downscale_64x64 = ctu_border_downscale_64x64_ssse3;
  m->ctu_downscale_32x32 = ctu_downscale_32x32_ssse3;
  m->ctu_border_downscale_32x32 = ctu_border_downscale_32x32_ssse3;
  m->block_copy = block_copy_ssse3;
}

void install_mc_avx2(mc_funcs_t *m) {
  m->mc_luma = mc_luma_avx2;
  m->mc_luma_ps = mc_luma_ps_avx2;
  m->mc_chroma = mc_chroma_avx2;
  m->mc_chroma_ps = mc_chroma_ps_avx2;
  m->bipred_avg = bipred_avg_avx2;
  m->luma_hfilter_planes = luma_hfilter_planes_avx2;
  m->subpel_planes_build = subpel_planes_build_avx2;
  m->subpel_plane_copy = subpel_plane_copy_avx2;
  m->pixel_avg = pixel_avg_avx2;
  m->downscale_2x = downscale_2x_avx2;
  m->lowres_plane0 = lowres_plane0_avx2;
  m->get_ref = get_ref_avx2;
  m->get_ref_bilinear = get_ref_bilinear_avx2;
  m->block_copy = block_copy_avx2;
}
