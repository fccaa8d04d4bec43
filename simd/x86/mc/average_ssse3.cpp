// SSSE3-tier averaging slots (the pixel average needs only SSE2) and the
// width kernels they, and the AVX2 dispatchers for narrow blocks, hand rows
// to.  A width kernel walks rows 0..h-1 in steps of its column count; a
// width that is not a multiple of the step takes the column groups, which
// write exactly the block too.
#include "simd/x86/mc/mc_average.h"
#include "simd/x86/mc/mc_kernels.h"

namespace {

template <int N>
inline void bipred_steps(uint8_t *dst, int32_t ds, const int16_t *a, int32_t as, const int16_t *b, int32_t bs,
                         int32_t w, int32_t h) {
  if (w <= 0 || w % N) return bipred_body(dst, ds, a, as, b, bs, w, h);
  for (int32_t y = 0; y < h; y++)
    for (int32_t x = 0; x < w; x += N) {
      const int16_t *pa = a + static_cast<intptr_t>(y) * as + x, *pb = b + static_cast<intptr_t>(y) * bs + x;
      uint8_t *d = dst + static_cast<intptr_t>(y) * ds + x;
      if constexpr (N == 16)
        store128(d, _mm_packus_epi16(bipred8(load128(pa), load128(pb)), bipred8(load128(pa + 8), load128(pb + 8))));
      else if constexpr (N == 8)
        store_pixels<8>(d, bipred8(load128(pa), load128(pb)));
      else
        store_pixels<4>(d, bipred8(load64(pa), load64(pb)));
    }
}

// Steps of 16 or 8 bytes; the 8-wide kernel also takes a 4-wide block.
template <int N>
inline void avg_steps(uint8_t *dst, int32_t ds, const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs, int32_t w,
                      int32_t h) {
  const int32_t step = N == 8 && w == 4 ? 4 : N;
  if (w <= 0 || w % step) return pixel_avg_body(dst, ds, a, as, b, bs, w, h);
  for (int32_t y = 0; y < h; y++)
    for (int32_t x = 0; x < w; x += step) {
      const uint8_t *pa = a + static_cast<intptr_t>(y) * as + x, *pb = b + static_cast<intptr_t>(y) * bs + x;
      uint8_t *d = dst + static_cast<intptr_t>(y) * ds + x;
      if constexpr (N == 16) store128(d, _mm_avg_epu8(load128(pa), load128(pb)));
      else if (step == 8) store64(d, _mm_avg_epu8(load64(pa), load64(pb)));
      else store32(d, _mm_avg_epu8(load32(pa), load32(pb)));
    }
}

}  // namespace

void bipred_avg_4xh_ssse3(uint8_t *dst, int32_t ds, const int16_t *a, int32_t as, const int16_t *b, int32_t bs,
                          int32_t w, int32_t h) {
  bipred_steps<4>(dst, ds, a, as, b, bs, w, h);
}
void bipred_avg_8xh_ssse3(uint8_t *dst, int32_t ds, const int16_t *a, int32_t as, const int16_t *b, int32_t bs,
                          int32_t w, int32_t h) {
  bipred_steps<8>(dst, ds, a, as, b, bs, w, h);
}
void bipred_avg_16nxh_ssse3(uint8_t *dst, int32_t ds, const int16_t *a, int32_t as, const int16_t *b, int32_t bs,
                            int32_t w, int32_t h) {
  bipred_steps<16>(dst, ds, a, as, b, bs, w, h);
}
void pixel_avg_8xh_sse2(uint8_t *dst, int32_t ds, const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs, int32_t w,
                        int32_t h) {
  avg_steps<8>(dst, ds, a, as, b, bs, w, h);
}
void pixel_avg_16xh_sse2(uint8_t *dst, int32_t ds, const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs,
                         int32_t w, int32_t h) {
  avg_steps<16>(dst, ds, a, as, b, bs, w, h);
}

// By width: up to 4, 5 to 8, wider.
void bipred_avg_ssse3(uint8_t *dst, int32_t dst_stride, const int16_t *a, int32_t a_stride, const int16_t *b,
                      int32_t b_stride, int32_t w, int32_t h) {
  if (w <= 4) bipred_avg_4xh_ssse3(dst, dst_stride, a, a_stride, b, b_stride, w, h);
  else if (w <= 8) bipred_avg_8xh_ssse3(dst, dst_stride, a, a_stride, b, b_stride, w, h);
  else bipred_avg_16nxh_ssse3(dst, dst_stride, a, a_stride, b, b_stride, w, h);
}

// Up to 8 wide in one step per row, wider in 16-byte steps.
void pixel_avg_sse2(uint8_t *dst, int32_t dst_stride, const uint8_t *a, int32_t a_stride, const uint8_t *b,
                    int32_t b_stride, int32_t w, int32_t h) {
  if (w <= 8) pixel_avg_8xh_sse2(dst, dst_stride, a, a_stride, b, b_stride, w, h);
  else pixel_avg_16xh_sse2(dst, dst_stride, a, a_stride, b, b_stride, w, h);
}

void downscale_2x_ssse3(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                        int32_t width, int32_t height) {
  downscale_2x_body(planes, dst_stride, src, src_stride, width, height);
}
