// Tier installers of the mc table.  Slots a tier does not name keep the
// lower tier's function.
#include "simd/x86/mc/mc_kernels.h"
#include "simd/x86/simd_install.h"

void install_mc_ssse3(mc_funcs_t *m) {
  m->mc_chroma = mc_chroma_ssse3;
  m->mc_chroma_ps = mc_chroma_ps_ssse3;
  m->bipred_avg = bipred_avg_ssse3;
  m->pixel_avg = pixel_avg_sse2;
  m->downscale_2x = downscale_2x_ssse3;
}

void install_mc_avx2(mc_funcs_t *m) {
  m->mc_luma = mc_luma_avx2;
  m->mc_luma_ps = mc_luma_ps_avx2;
  m->mc_chroma = mc_chroma_avx2;
  m->mc_chroma_ps = mc_chroma_ps_avx2;
  m->bipred_avg = bipred_avg_avx2;
  m->subpel_plane_copy = subpel_plane_copy_avx2;
  m->pixel_avg = pixel_avg_avx2;
  m->downscale_2x = downscale_2x_avx2;
  m->get_ref = get_ref_avx2;
  m->block_copy = block_copy_avx2;
}
