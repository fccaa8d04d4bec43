// Tier installer of the deblocking table (AVX2 only: the table has no SSSE3
// tier).  No deblocking kernel exists yet, so the portable filters stay.
#include "simd/x86/simd_install.h"

void install_deblock_avx2(deblock_funcs_t *) {}
