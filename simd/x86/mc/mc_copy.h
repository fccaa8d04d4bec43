// The block copy of both tiers: rows in column groups of 16, 8 or 4 bytes
// (SSE2 moves), and of 32 where the including file is compiled for AVX2.
#pragma once

#include "simd/x86/mc/mc_filter.h"

namespace {

// h rows of w bytes; false (nothing written) when w < 4.
inline bool copy_groups(uint8_t *dst, intptr_t dst_stride, const uint8_t *src, intptr_t src_stride, int32_t w,
                        int32_t h) {
  return for_groups(w, WIDE_BYTES, [&](int32_t x, int32_t n) {
    for (int32_t y = 0; y < h; y++) {
      const uint8_t *s = src + y * src_stride + x;
      uint8_t *d = dst + y * dst_stride + x;
#ifdef __AVX2__
      if (n == 32) {
        store256(d, load256(s));
        continue;
      }
#endif
      if (n == 16) store128(d, load128(s));
      else if (n == 8) store64(d, load64(s));
      else store32(d, load32(s));
    }
  });
}

}  // namespace
