// The block copy of both tiers: rows in column groups of 16, 8 or 4 bytes
// (SSE2 moves), and of 32 where the including file is compiled for AVX2.
#pragma once

#include "simd/x86/mc/mc_filter.h"

namespace {

// h rows of one move each (move(d, s) copies a row's group), two rows to a
// step so that a step's pointer and counter updates serve two moves (with
// four the strides' multiples no longer fit the scratch registers and the
// call saves some); nothing is written for h <= 0.
template <typename Move>
inline void copy_rows(uint8_t *dst, intptr_t dst_stride, const uint8_t *src, intptr_t src_stride, int32_t h, Move move) {
  if (h <= 0) return;
  // The odd row first: the loop's pointers are then not needed after it.
  if (h & 1) {
    move(dst, src);
    dst += dst_stride;
    src += src_stride;
  }
  for (int32_t pairs = h >> 1; pairs > 0; pairs--, dst += 2 * dst_stride, src += 2 * src_stride) {
    move(dst, src);
    move(dst + dst_stride, src + src_stride);
  }
}

// One column group of n bytes (a width the group sizes cover).
inline void copy_column(uint8_t *dst, intptr_t dst_stride, const uint8_t *src, intptr_t src_stride, int32_t n,
                        int32_t h) {
#ifdef __AVX2__
  if (n == 32) return copy_rows(dst, dst_stride, src, src_stride, h, [](uint8_t *d, const uint8_t *s) { store256(d, load256(s)); });
#endif
  if (n == 16) return copy_rows(dst, dst_stride, src, src_stride, h, [](uint8_t *d, const uint8_t *s) { store128(d, load128(s)); });
  if (n == 8) return copy_rows(dst, dst_stride, src, src_stride, h, [](uint8_t *d, const uint8_t *s) { store64(d, load64(s)); });
  copy_rows(dst, dst_stride, src, src_stride, h, [](uint8_t *d, const uint8_t *s) { store32(d, load32(s)); });
}

// Any other width: column groups from 4 bytes up, the portable function
// below that.  Out of line, so that the prediction widths' routes below
// save no registers for it and reach it by a jump.
__attribute__((noinline)) void copy_other_width(uint8_t *dst, int32_t dst_stride, const uint8_t *src,
                                                int32_t src_stride, int32_t w, int32_t h) {
  const intptr_t ds = dst_stride, ss = src_stride;
  if (!for_groups(w, WIDE_BYTES, [&](int32_t x, int32_t n) { copy_column(dst + x, ds, src + x, ss, n, h); }))
    block_copy_c(dst, dst_stride, src, src_stride, w, h);
}

// h rows of w bytes.  The widths of the prediction blocks take their one
// column group (or, at 64 with 256-bit moves, two per row) directly, the
// most frequent ones tested first.
inline void copy_block(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t w, int32_t h) {
  const intptr_t ds = dst_stride, ss = src_stride;
  if (w == 8 || w == 16 || w == 4) return copy_column(dst, ds, src, ss, w, h);
#ifdef __AVX2__
  if (w == 32) return copy_column(dst, ds, src, ss, w, h);
  if (w == 64)
    return copy_rows(dst, ds, src, ss, h, [](uint8_t *d, const uint8_t *s) {
      const __m256i a = load256(s), b = load256(s + 32);
      store256(d, a);
      store256(d + 32, b);
    });
#endif
  copy_other_width(dst, dst_stride, src, src_stride, w, h);
}

}  // namespace
