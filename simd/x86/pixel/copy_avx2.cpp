// Copies of a CTU block into and out of the encoder's working buffers, one
// 32-byte piece at a time with unaligned moves (on the aligned side they cost
// what aligned moves cost), exactly the block's bytes.
#include <immintrin.h>

#include "simd/x86/pixel/pixel_avx2.h"

namespace {

// Batches of 16 pieces (8 rows of 64, 16 rows of 32): every load of a
// batch before its stores, so that no load waits behind a store to an
// address that only looks alike (source and destination rows may lie a
// multiple of 4096 bytes apart).
template <int N>
inline void copy_block(uint8_t *dst, const uint8_t *src, int32_t dst_stride, int32_t src_stride) {
  static_assert(N % 32 == 0);
  constexpr int32_t PIECES = N / 32, ROWS = 16 / PIECES;
  const intptr_t ds = dst_stride, ss = src_stride;
  for (int32_t y = 0; y < N; y += ROWS, dst += ROWS * ds, src += ROWS * ss) {
    __m256i v[ROWS][PIECES];
    for (int32_t r = 0; r < ROWS; r++)
      for (int32_t k = 0; k < PIECES; k++)
        v[r][k] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + r * ss + 32 * k));
    for (int32_t r = 0; r < ROWS; r++)
      for (int32_t k = 0; k < PIECES; k++) _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + r * ds + 32 * k), v[r][k]);
  }
}

}  // namespace

void copy_to_aligned_64x64_avx2(uint8_t *dst, const uint8_t *src, int32_t dst_stride, int32_t src_stride) {
  copy_block<64>(dst, src, dst_stride, src_stride);
}
void copy_to_aligned_32x32_avx2(uint8_t *dst, const uint8_t *src, int32_t dst_stride, int32_t src_stride) {
  copy_block<32>(dst, src, dst_stride, src_stride);
}
void copy_from_aligned_64x64_avx2(uint8_t *dst, const uint8_t *src, int32_t dst_stride, int32_t src_stride) {
  copy_block<64>(dst, src, dst_stride, src_stride);
}
void copy_from_aligned_32x32_avx2(uint8_t *dst, const uint8_t *src, int32_t dst_stride, int32_t src_stride) {
  copy_block<32>(dst, src, dst_stride, src_stride);
}
