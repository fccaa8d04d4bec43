// Planar intra prediction, SSSE3 tier (the code needs only SSE2), 4x4 to
// 32x32, each kernel serving both cells of its size: the 128-bit rows of
// intra_planar_rows.h.
#include "simd/x86/intra/intra_kernels.h"
#include "simd/x86/intra/intra_planar_rows.h"

void intra_planar_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { planar_4(dst, stride, nb); }
void intra_planar_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { planar_8(dst, stride, nb); }
void intra_planar_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { planar_eights<4>(dst, stride, nb); }
void intra_planar_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { planar_eights<5>(dst, stride, nb); }
