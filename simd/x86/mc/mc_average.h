// Averaging kernels of both tiers: the bi-prediction combine, the pixel
// average and the 2:1 downscale, with 128-bit SSSE3 column groups and, where
// the including file is compiled for AVX2, 256-bit ones (see mc_filter.h).
#pragma once

#include "simd/x86/mc/mc_filter.h"

namespace {

// H.265 8.5.3.3.4.2 default weighted prediction, clip((A + B + 64) >> 7),
// over the stored 16-bit form.  u = s - PS_VALUE_MIN (mod 2^16) is
// ps_value(s) - PS_VALUE_MIN as an unsigned word, so with S = ua + ub,
// (A + B + 64) >> 7 = ((S >> 1) - K) >> 6 for K = -PS_VALUE_MIN - 32, and
// S >> 1 = PAVGW(ua, ub) - ((ua ^ ub) & 1).  The saturating subtract of K
// clips at 0 and the pack to bytes at 255.
constexpr int16_t BIPRED_BIAS = static_cast<int16_t>(-PS_VALUE_MIN);
constexpr int16_t BIPRED_K = static_cast<int16_t>(-PS_VALUE_MIN - 32);

inline __m128i bipred8(__m128i a, __m128i b) {
  const __m128i bias = _mm_set1_epi16(BIPRED_BIAS);
  const __m128i ua = _mm_add_epi16(a, bias), ub = _mm_add_epi16(b, bias);
  const __m128i half = _mm_sub_epi16(_mm_avg_epu16(ua, ub), _mm_and_si128(_mm_xor_si128(ua, ub), _mm_set1_epi16(1)));
  return _mm_srli_epi16(_mm_subs_epu16(half, _mm_set1_epi16(BIPRED_K)), 6);
}

// Two rows averaged, then each even/odd pair of the average summed (PMADDUBSW
// by ones, at most 510) and halved: (avg(s0[2x], s1[2x]) +
// avg(s0[2x + 1], s1[2x + 1])) >> 1.
inline __m128i downscale8(__m128i r0, __m128i r1) {
  return _mm_srli_epi16(_mm_maddubs_epi16(_mm_avg_epu8(r0, r1), _mm_set1_epi8(1)), 1);
}

#ifdef __AVX2__
inline __m256i bipred16(__m256i a, __m256i b) {
  const __m256i bias = _mm256_set1_epi16(BIPRED_BIAS);
  const __m256i ua = _mm256_add_epi16(a, bias), ub = _mm256_add_epi16(b, bias);
  const __m256i half =
      _mm256_sub_epi16(_mm256_avg_epu16(ua, ub), _mm256_and_si256(_mm256_xor_si256(ua, ub), _mm256_set1_epi16(1)));
  return _mm256_srli_epi16(_mm256_subs_epu16(half, _mm256_set1_epi16(BIPRED_K)), 6);
}
inline __m256i downscale16(__m256i r0, __m256i r1) {
  return _mm256_srli_epi16(_mm256_maddubs_epi16(_mm256_avg_epu8(r0, r1), _mm256_set1_epi8(1)), 1);
}
// Two in-lane packs of 16 words each to 32 bytes in order.
inline __m256i pack_ordered(__m256i a, __m256i b) {
  return _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xd8);
}
#endif

inline void bipred_body(uint8_t *dst, int32_t ds, const int16_t *a, int32_t as, const int16_t *b, int32_t bs,
                        int32_t w, int32_t h) {
  // The group's width chosen once for all its rows (group_rows).
  const bool done = for_groups(w, WIDE_BYTES, [&](int32_t x, int32_t n) {
    const int16_t *ca = a + x, *cb = b + x;
    uint8_t *cd = dst + x;
    auto rows = [&](auto row) ALWAYS_INLINE {
      group_rows(h, [&](int32_t y) ALWAYS_INLINE {
        row(cd + static_cast<intptr_t>(y) * ds, ca + static_cast<intptr_t>(y) * as, cb + static_cast<intptr_t>(y) * bs);
      });
    };
#ifdef __AVX2__
    if (n == 32) {
      rows([](uint8_t *d, const int16_t *pa, const int16_t *pb) ALWAYS_INLINE {
        store256(d, pack_ordered(bipred16(load256(pa), load256(pb)), bipred16(load256(pa + 16), load256(pb + 16))));
      });
    } else if (n == 16) {
      rows([](uint8_t *d, const int16_t *pa, const int16_t *pb) ALWAYS_INLINE {
        store_pixels16(d, bipred16(load256(pa), load256(pb)));
      });
    }
#else
    if (n == 16) {
      rows([](uint8_t *d, const int16_t *pa, const int16_t *pb) ALWAYS_INLINE {
        store128(d, _mm_packus_epi16(bipred8(load128(pa), load128(pb)), bipred8(load128(pa + 8), load128(pb + 8))));
      });
    }
#endif
    else if (n == 8) {
      rows([](uint8_t *d, const int16_t *pa, const int16_t *pb) ALWAYS_INLINE {
        store_pixels<8>(d, bipred8(load128(pa), load128(pb)));
      });
    } else {
      rows([](uint8_t *d, const int16_t *pa, const int16_t *pb) ALWAYS_INLINE {
        store_pixels<4>(d, bipred8(load64(pa), load64(pb)));
      });
    }
  });
  if (!done) bipred_avg_c(dst, ds, a, as, b, bs, w, h);
}

inline void pixel_avg_body(uint8_t *dst, int32_t ds, const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs,
                           int32_t w, int32_t h) {
  const bool done = for_groups(w, WIDE_BYTES, [&](int32_t x, int32_t n) {
    for (int32_t y = 0; y < h; y++) {
      const uint8_t *pa = a + static_cast<intptr_t>(y) * as + x, *pb = b + static_cast<intptr_t>(y) * bs + x;
      uint8_t *d = dst + static_cast<intptr_t>(y) * ds + x;
#ifdef __AVX2__
      if (n == 32) {
        store256(d, _mm256_avg_epu8(load256(pa), load256(pb)));
        continue;
      }
#endif
      if (n == 16) store128(d, _mm_avg_epu8(load128(pa), load128(pb)));
      else if (n == 8) store64(d, _mm_avg_epu8(load64(pa), load64(pb)));
      else store32(d, _mm_avg_epu8(load32(pa), load32(pb)));
    }
  });
  if (!done) pixel_avg_c(dst, ds, a, as, b, bs, w, h);
}

// Plane 0 of the half-resolution picture; a group of n outputs reads 2n
// bytes of each of its two source rows.
inline void downscale_2x_body(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                              int32_t width, int32_t height) {
  if (width <= 0 || height <= 0) return;
  const bool done = for_groups(width, WIDE_BYTES, [&](int32_t x, int32_t n) {
    for (int32_t y = 0; y < height; y++) {
      const uint8_t *s0 = src + static_cast<intptr_t>(2 * y) * src_stride + 2 * x, *s1 = s0 + src_stride;
      uint8_t *d = planes[0] + static_cast<intptr_t>(y) * dst_stride + x;
#ifdef __AVX2__
      if (n == 32) {
        store256(d, pack_ordered(downscale16(load256(s0), load256(s1)), downscale16(load256(s0 + 32), load256(s1 + 32))));
        continue;
      }
#endif
      if (n == 16) {
        store128(d, _mm_packus_epi16(downscale8(load128(s0), load128(s1)), downscale8(load128(s0 + 16), load128(s1 + 16))));
      } else if (n == 8) {
        store_pixels<8>(d, downscale8(load128(s0), load128(s1)));
      } else {
        store_pixels<4>(d, downscale8(load64(s0), load64(s1)));
      }
    }
  });
  if (!done) downscale_2x_c(planes, dst_stride, src, src_stride, width, height);
}

}  // namespace
