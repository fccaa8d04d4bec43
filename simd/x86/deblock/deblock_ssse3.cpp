// SSSE3 tier of the deblocking table: no kernel.  The edge filters are
// short and branchy; only the AVX2 tier (VEX-encoded 128-bit code) gained
// over the portable functions, which this tier keeps.
#include "simd/x86/simd_install.h"

void install_deblock_ssse3(deblock_funcs_t *) {}
