// AVX2 tier of the SAO table: 32 samples per step, with 16-sample steps for
// a last strip of 16 columns and for blocks narrower than 32.  The band
// statistics keep the SSSE3 tier's kernels.
#include "simd/x86/sao/sao_kernels.h"
#include "simd/x86/simd_install.h"

void install_sao_avx2(sao_funcs_t *s) { install_sao_kernels<v256, v128>(s); }
