// Tier installers of the pixel table.  The SSSE3 tier is written in legacy
// SSE encodings only, so everything it installs runs on any processor with
// SSSE3; no AVX2 pixel kernel exists yet.
#include "simd/x86/pixel/pixel_ssse3.h"
#include "simd/x86/simd_install.h"

void install_pixel_ssse3(pixel_funcs_t *p, int32_t block_cost_level) {
  fill_sad_ssse3(p);
  fill_ssd_ssse3(p);
  fill_satd_ssse3(p);
  fill_gradient_ssse3(p);
  // The block cost follows its level's choice (half-row SAD or SA8D); the
  // 4x4 cost keeps the lower tier's function.
  for (int32_t c = 0; c < 4; c++) p->block_cost[c] = block_cost_level < 1 ? p->sad_half[c] : p->sa8d[c];
}

void install_pixel_avx2(pixel_funcs_t *, int32_t) {}
