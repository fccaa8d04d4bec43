// Block copy (slot block_copy, portable block_copy_c) in the SSSE3 tier:
// each row in 16-, 8- and 4-byte moves, the last group of a row moved left
// to end at the block's edge, so nothing beyond the w x h block is read or
// written; a block narrower than 4 goes to the portable function.
#include "simd/x86/mc/mc_copy.h"
#include "simd/x86/mc/mc_kernels.h"

void block_copy_ssse3(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t w, int32_t h) {
  copy_block(dst, dst_stride, src, src_stride, w, h);
}
