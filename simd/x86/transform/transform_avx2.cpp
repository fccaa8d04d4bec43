// Forward and inverse transforms of the AVX2 tier: 256-bit multiply-adds
// and horizontal additions where a row holds 16 or more values, the
// 128-bit ones below (transform_passes.h).
#include "simd/x86/simd_install.h"
#include "simd/x86/transform/transform_passes.h"

void install_transform_avx2(transform_funcs_t *t) { install_transform_kernels<true>(t); }
