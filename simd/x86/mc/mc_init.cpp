// Tier installers of the mc table.  No mc kernel exists yet, so both
// tiers keep the portable functions.
#include "simd/x86/simd_install.h"

void install_mc_ssse3(mc_funcs_t *) {}
void install_mc_avx2(mc_funcs_t *) {}
