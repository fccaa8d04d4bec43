// Tier installers of the sao table.  No sao kernel exists yet, so both
// tiers keep the portable functions.
#include "simd/x86/simd_install.h"

void install_sao_ssse3(sao_funcs_t *) {}
void install_sao_avx2(sao_funcs_t *) {}
