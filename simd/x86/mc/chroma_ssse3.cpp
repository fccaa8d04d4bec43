// SSSE3 chroma interpolation slots: the filter passes of mc_filter.h with
// 128-bit column groups.
#include "simd/x86/mc/mc_filter.h"
#include "simd/x86/mc/mc_kernels.h"

void mc_chroma_ssse3(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx,
                     int32_t mvy, int32_t w, int32_t h) {
  chroma_to_pixels(block_copy_c, dst, dst_stride, ref, ref_stride, mvx, mvy, w, h);
}

void mc_chroma_ps_ssse3(int16_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx,
                        int32_t mvy, int32_t w, int32_t h) {
  chroma_to_words(dst, dst_stride, ref, ref_stride, mvx, mvy, w, h);
}
