// Copies of a CTU block into and out of the encoder's working buffers, one
// 32-byte piece at a time with unaligned moves (on the aligned side they cost
// what aligned moves cost), exactly the block's bytes.
#include <immintrin.h>

#include "simd/x86/pixel/pixel_avx2.h"

namespace {

template <int N>
inline void copy_block(uint8_t *dst, const uint8_t *src, int32_t dst_stride, int32_t src_stride) {
  static_assert(N % 32 == 0);
  const intptr_t ds = dst_stride, ss = src_stride;
  for (int32_t y = 0; y < N; y++, dst += ds, src += ss)
    for (int32_t x = 0; x < N; x += 32)
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + x),
                          _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + x)));
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
