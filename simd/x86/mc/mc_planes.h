// Plane kernels of both tiers: the 16-bit horizontal planes and the 8-bit
// sub-sample planes of a reference picture, the sixteen phase planes of the
// half-resolution picture, and the in-place CTU downscales.  Built from the
// passes of mc_filter.h; every kernel writes exactly the extents of the
// portable function and reads only what it reads.
#pragma once

#include "simd/x86/mc/mc_filter.h"

namespace {

// Averages of 2n bytes' neighbour pairs: (v[2i] + v[2i + 1] + 1) >> 1 in
// the low byte of each 16-bit lane.
inline __m128i pair_avg(__m128i v) { return _mm_and_si128(_mm_avg_epu8(v, _mm_srli_epi16(v, 8)), _mm_set1_epi16(0xff)); }

inline void store_n(uint8_t *d, int32_t n, __m128i v) {
  if (n == 16) store128(d, v);
  else if (n == 8) store64(d, v);
  else store32(d, v);
}

// dst = avg(a, b) over `rows` rows of w bytes, all at one stride.
inline void avg_planes(uint8_t *dst, const uint8_t *a, const uint8_t *b, intptr_t stride, int32_t w, int32_t rows) {
  for_groups(w, 16, [&](int32_t x, int32_t n) {
    for (int32_t y = 0; y < rows; y++) {
      const intptr_t o = y * stride + x;
      store_n(dst + o, n, n == 16 ? _mm_avg_epu8(load128(a + o), load128(b + o))
                          : n == 8 ? _mm_avg_epu8(load64(a + o), load64(b + o))
                                   : _mm_avg_epu8(load32(a + o), load32(b + o)));
    }
  });
}

// The sixteen quarter phases of the half-resolution picture, each from the
// stored values of earlier phases, in the three passes of the portable
// function.
inline void lowres_init_body(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                             int32_t width, int32_t height) {
  if (height < 0 || width < 0) return;
  if (width < 4) {
    lowres_init_c(planes, dst_stride, src, src_stride, width, height);
    return;
  }
  const intptr_t ds = dst_stride, ss = src_stride;
  // Phases 0, 2, 8, 10 of rows 0..h, columns 0..w: averages of vertical
  // averages, whole samples and half a sample to the right, from row pairs
  // (2y, 2y + 1) and (2y + 1, 2y + 2).
  for_groups(width + 1, 16, [&](int32_t x, int32_t n) {
    for (int32_t y = 0; y <= height; y++) {
      const uint8_t *s0 = src + 2 * y * ss + 2 * x, *s1 = s0 + ss, *s2 = s1 + ss;
      const intptr_t o = y * ds + x;
      for (int32_t half = 0; half < 2; half++) {
        const uint8_t *a = half ? s1 : s0, *b = half ? s2 : s1;
        for (int32_t right = 0; right < 2; right++) {
          uint8_t *d = planes[8 * half + 2 * right] + o;
          const int32_t c = right;
          if (n == 16) {
            const __m128i v0 = _mm_avg_epu8(load128(a + c), load128(b + c));
            const __m128i v1 = _mm_avg_epu8(load128(a + c + 16), load128(b + c + 16));
            store128(d, _mm_packus_epi16(pair_avg(v0), pair_avg(v1)));
          } else {
            const __m128i v = n == 8 ? _mm_avg_epu8(load128(a + c), load128(b + c))
                                     : _mm_avg_epu8(load64(a + c), load64(b + c));
            store_n(d, n, _mm_packus_epi16(pair_avg(v), _mm_setzero_si128()));
          }
        }
      }
    }
  });
  // Quarter phases across (1, 3, 9, 11), rows 0..h, then down (4..7 and
  // 12..15), rows 0..h-1.
  auto P = [&](int32_t p) { return planes[p]; };
  avg_planes(P(1), P(0), P(2), ds, width, height + 1);
  avg_planes(P(3), P(2), P(0) + 1, ds, width, height + 1);
  avg_planes(P(9), P(8), P(10), ds, width, height + 1);
  avg_planes(P(11), P(10), P(8) + 1, ds, width, height + 1);
  for (int32_t p = 0; p < 4; p++) {
    avg_planes(P(4 + p), P(p), P(8 + p), ds, width, height);
    avg_planes(P(12 + p), P(8 + p), P(p) + ds, ds, width, height);
  }
}

// Phase 0 alone, rows 0..h-1 and columns 0..w-1, as the phase pass above
// makes it (vertical averages, then neighbour pairs, both rounding up): a
// group of n outputs reads 2n bytes of each of its two source rows; 32 at a
// time where the file is compiled for AVX2.
inline void lowres_plane0_body(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                               int32_t width, int32_t height) {
  if (width <= 0 || height <= 0) return;
  const intptr_t ds = dst_stride, ss = src_stride;
  const bool done = for_groups(width, WIDE_BYTES, [&](int32_t x, int32_t n) {
    for (int32_t y = 0; y < height; y++) {
      const uint8_t *s0 = src + 2 * y * ss + 2 * x, *s1 = s0 + ss;
      uint8_t *d = planes[0] + y * ds + x;
#ifdef __AVX2__
      if (n == 32) {
        const __m256i mask = _mm256_set1_epi16(0xff);
        auto pairs = [&](__m256i v) { return _mm256_and_si256(_mm256_avg_epu8(v, _mm256_srli_epi16(v, 8)), mask); };
        const __m256i v0 = _mm256_avg_epu8(load256(s0), load256(s1));
        const __m256i v1 = _mm256_avg_epu8(load256(s0 + 32), load256(s1 + 32));
        store256(d, _mm256_permute4x64_epi64(_mm256_packus_epi16(pairs(v0), pairs(v1)), 0xd8));
        continue;
      }
#endif
      if (n == 16) {
        const __m128i v0 = _mm_avg_epu8(load128(s0), load128(s1));
        const __m128i v1 = _mm_avg_epu8(load128(s0 + 16), load128(s1 + 16));
        store128(d, _mm_packus_epi16(pair_avg(v0), pair_avg(v1)));
      } else {
        const __m128i v = n == 8 ? _mm_avg_epu8(load128(s0), load128(s1)) : _mm_avg_epu8(load64(s0), load64(s1));
        store_n(d, n, _mm_packus_epi16(pair_avg(v), _mm_setzero_si128()));
      }
    }
  });
  if (!done) lowres_plane0_c(planes, dst_stride, src, src_stride, width, height);
}

// In place at stride 64: output row y (bytes 64y ..) is stored after its
// source rows 2y, 2y + 1 (bytes 128y ..) are loaded, and no later row reads
// it.
template <int N>
inline void ctu_downscale_body(uint8_t *block) {
  for (int32_t y = 0; y < N / 2; y++)
    for (int32_t x = 0; x < N / 2; x += 16) {
      const uint8_t *s = block + 128 * y + 2 * x;
      const __m128i top = _mm_packus_epi16(pair_avg(load128(s)), pair_avg(load128(s + 16)));
      const __m128i bottom = _mm_packus_epi16(pair_avg(load128(s + 64)), pair_avg(load128(s + 80)));
      store128(block + 64 * y + x, _mm_avg_epu8(top, bottom));
    }
}

// The above row in place at stride 128 (group i reads bytes 2i.. before it
// stores bytes i.., which no later group reads); the left column as the
// portable function.
template <int N>
inline void ctu_border_downscale_body(uint8_t *block) {
  uint8_t *above = block - 128;
  for (int32_t i = 0; i < 3 * N / 4; i += 16) {
    const int32_t n = 3 * N / 4 - i >= 16 ? 16 : 8;
    const uint8_t *s = above + 2 * i;
    const __m128i hi = n == 16 ? pair_avg(load128(s + 16)) : _mm_setzero_si128();
    store_n(above + i, n, _mm_packus_epi16(pair_avg(load128(s)), hi));
  }
  uint8_t *left = block - 1;
  for (int32_t k = 0; k < N / 2; k++) left[128 * k] = static_cast<uint8_t>((left[256 * k] + left[256 * k + 128] + 1) >> 1);
  for (int32_t k = N / 2; k < N; k++) left[128 * k] = left[128 * (N / 2 - 1)];
}

}  // namespace
