// Tier installers of the pixel table.  No pixel kernel exists yet, so both
// tiers keep the portable functions.
#include "simd/x86/simd_install.h"

void install_pixel_ssse3(pixel_funcs_t *, int32_t) {}
void install_pixel_avx2(pixel_funcs_t *, int32_t) {}
