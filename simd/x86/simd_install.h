// Installers of the SIMD tiers, one per table and tier.  Each overwrites the
// slots for which its tier has a kernel and leaves every other slot as the
// lower tier set it; every kernel returns exactly what the portable function
// of its slot returns.
#pragma once

#include "common/primitives.h"

// cpu_flags bits that select a tier.
constexpr uint32_t CPU_FLAG_SSE41 = 1;
constexpr uint32_t CPU_FLAG_SSSE3 = 2;
constexpr uint32_t CPU_FLAG_AVX2 = 4;

void install_pixel_ssse3(pixel_funcs_t *p, int32_t block_cost_level);
void install_pixel_avx2(pixel_funcs_t *p, int32_t block_cost_level);
void install_mc_ssse3(mc_funcs_t *m);
void install_mc_avx2(mc_funcs_t *m);
void install_sao_ssse3(sao_funcs_t *s);
void install_sao_avx2(sao_funcs_t *s);
void install_deblock_ssse3(deblock_funcs_t *d);
void install_deblock_avx2(deblock_funcs_t *d);
void install_transform_ssse3(transform_funcs_t *t);
void install_transform_avx2(transform_funcs_t *t);
void install_quant_ssse3(quant_funcs_t *q);
void install_quant_avx2(quant_funcs_t *q);
void install_intra_ssse3(intra_funcs_t *t);
void install_intra_avx2(intra_funcs_t *t);
