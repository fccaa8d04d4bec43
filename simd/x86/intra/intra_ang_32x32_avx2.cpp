// The 32x32 angular predictors without arithmetic, AVX2 tier: modes 2 and 34
// (intraPredAngle 32, iFact 0 on every line) and 26 (pure vertical; at 32x32
// it has no boundary filter).  Mode 34's row y is ref[y + 2 .. y + 33] of the
// above run; mode 2's sample (x, y) is ref[x + y + 2] of the left run, which
// makes the block symmetric, so its row y is a copy of the left run too.
// Each row is one unaligned 32-byte load and store; the loads stay inside
// nb[0..128].
#include <immintrin.h>

#include "simd/x86/intra/intra_kernels.h"

namespace {

inline void copy_row(uint8_t *dst, const uint8_t *src) {
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst), _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src)));
}

}  // namespace

void intra_ang_m2_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) {
  for (int32_t y = 0; y < 32; y++) copy_row(dst + y * stride, nb + 64 + y + 2);
}

void intra_ang_m26_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) {
  const __m256i above = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(nb + 1));
  for (int32_t y = 0; y < 32; y++) _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + y * stride), above);
}

void intra_ang_m34_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) {
  for (int32_t y = 0; y < 32; y++) copy_row(dst + y * stride, nb + y + 2);
}
