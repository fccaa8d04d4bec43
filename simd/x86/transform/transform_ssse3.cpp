// Forward and inverse transforms of the SSSE3 tier: 128-bit multiply-adds
// and the SSSE3 horizontal addition (transform_passes.h).
#include "simd/x86/simd_install.h"
#include "simd/x86/transform/transform_passes.h"

void install_transform_ssse3(transform_funcs_t *t) { install_transform_kernels<false>(t); }
