// Angular intra prediction, SSSE3 tier: every angular cell of 4x4 to 32x32,
// one kernel per mode and size (modes 10 and 26 below 32x32 have a _filt
// kernel of their own for the boundary filter; every other kernel serves
// both cells of its mode).  Each line is computed from the reference run as
// the portable predictor builds it (intra_ang_lines.h):
//  - 4x4: a line's four samples as words, the four lines packed into one
//    register (bytes 4i .. 4i + 3 hold line i); a horizontal mode's block
//    is transposed by one byte shuffle.
//  - 8x8: two lines per register; a horizontal mode's block is transposed
//    by three rounds of interleaving.
//  - 16x16 and 32x32: sixteen samples per register; a horizontal mode's
//    lines are transposed 16x16 at a time.
// Reads only nb[0 .. 4N], writes only the N x N block.
#include <tmmintrin.h>

#include <cstring>
#include <utility>

#include "simd/x86/intra/intra_ang_lines.h"
#include "simd/x86/intra/intra_ang_model.h"
#include "simd/x86/intra/intra_kernels.h"
#include "simd/x86/intra/intra_transpose.h"

namespace {

using namespace intra_model;

template <int W>
inline __m128i load_w(const uint8_t *p) {
  static_assert(W == 4 || W == 8);
  if constexpr (W == 4) {
    int32_t v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
  } else {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p));
  }
}

// The words of a line at weight F from its first taps `a` and second taps
// `b` (the low 4 or 8 bytes).
template <int F>
inline __m128i weighted_words(__m128i a, __m128i b) {
  if constexpr (F == 0) {
    return _mm_unpacklo_epi8(a, _mm_setzero_si128());
  } else {
    const __m128i w = _mm_set1_epi16(static_cast<int16_t>(F << 8 | (32 - F)));
    return _mm_mulhrs_epi16(_mm_maddubs_epi16(_mm_unpacklo_epi8(a, b), w), _mm_set1_epi16(1024));
  }
}

// For a negative angle at 4x4 and 8x8, ref[-E .. N] fits one register (E
// is at most N - 1): byte E + j holds ref[j], gathered from nb by a byte
// shuffle of nb[0 .. 15] and, at 8x8, of nb[16 .. 31].  Building it in a
// register spares the lines a load from bytes just stored one at a time.
struct gather_t {
  int8_t b[2][16];
};

template <int N, int MODE>
constexpr gather_t gather_tables() {
  constexpr int32_t angle = intra_pred_angle[MODE];
  constexpr int32_t e = intra_ang_extension(angle, N);
  gather_t t{};
  for (int32_t v = 0; v < 2; v++)
    for (int32_t i = 0; i < 16; i++) t.b[v][i] = static_cast<int8_t>(0x80);
  for (int32_t j = -e; j <= N; j++) {
    int32_t from = 0;  // the corner
    if (j > 0) from = horizontal(MODE) ? 2 * N + j : j;
    if (j < 0) from = (horizontal(MODE) ? 0 : 2 * N) + intra_ang_projected(angle, -j);
    t.b[from / 16][e + j] = static_cast<int8_t>(from % 16);
  }
  return t;
}

template <int N, int MODE>
inline __m128i reference_register(const uint8_t *nb) {
  static_assert(N == 4 || N == 8);
  static constexpr gather_t t = gather_tables<N, MODE>();
  const __m128i *sel = reinterpret_cast<const __m128i *>(t.b);
  __m128i r = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(nb)), _mm_loadu_si128(sel));
  if constexpr (N == 8)
    r = _mm_or_si128(r, _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(nb + 16)),
                                          _mm_loadu_si128(sel + 1)));
  return r;
}

// The words of line K of a 4x4 or 8x8 block (W = N samples).
template <int N, int MODE, int K>
inline __m128i line_words(const uint8_t *nb, const uint8_t *ref, __m128i reg) {
  constexpr int32_t F = fact(MODE, K), at = idx(MODE, K) + 1;
  if constexpr (intra_pred_angle[MODE] < 0) {
    constexpr int32_t e = intra_ang_extension(intra_pred_angle[MODE], N);
    (void)nb;
    (void)ref;
    return weighted_words<F>(_mm_srli_si128(reg, e + at), _mm_srli_si128(reg, e + at + 1));
  } else {
    (void)reg;
    // A line of weight 0 reads no second tap.
    const __m128i a = load_w<N>(ref + at);
    return weighted_words<F>(a, F ? load_w<N>(ref + at + 1) : a);
  }
}

template <int N>
using lines_seq = std::make_integer_sequence<int, N>;

template <int N, int MODE>
void lines(uint8_t *dst, intptr_t stride, const uint8_t *nb) {
  static_assert(intra_pred_angle[MODE] != 0);
  constexpr bool hor = horizontal(MODE);
  constexpr bool in_register = N <= 8 && intra_pred_angle[MODE] < 0;
  alignas(16) uint8_t storage[2 * N + 1];
  const uint8_t *ref = in_register ? nullptr : reference_of<N, MODE>(nb, storage);
  __m128i reg = _mm_setzero_si128();
  if constexpr (in_register) reg = reference_register<N, MODE>(nb);
  if constexpr (N == 4) {
    __m128i w[4];
    unroll([&](auto i) { w[i] = line_words<4, MODE, decltype(i)::value>(nb, ref, reg); }, lines_seq<4>());
    __m128i p = _mm_packus_epi16(_mm_unpacklo_epi64(w[0], w[1]), _mm_unpacklo_epi64(w[2], w[3]));
    if constexpr (hor) p = _mm_shuffle_epi8(p, _mm_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15));
    for (int32_t y = 0; y < 4; y++) {
      const int32_t v = _mm_cvtsi128_si32(p);
      std::memcpy(dst + y * stride, &v, 4);
      p = _mm_srli_si128(p, 4);
    }
  } else if constexpr (N == 8) {
    // p[k]: lines 2k and 2k + 1.
    __m128i p[4];
    unroll([&](auto pair) {
      constexpr int k = 2 * decltype(pair)::value;
      p[k / 2] = _mm_packus_epi16(line_words<8, MODE, k>(nb, ref, reg), line_words<8, MODE, k + 1>(nb, ref, reg));
    }, lines_seq<4>());
    if constexpr (hor) {
      // Line x is column x: interleave bytes of lines 2k and 2k + 1, words
      // of the pairs, then double words, leaving rows 2k and 2k + 1 in p[k].
      __m128i a[4];
      for (int32_t k = 0; k < 4; k++) a[k] = _mm_unpacklo_epi8(p[k], _mm_srli_si128(p[k], 8));
      const __m128i b0 = _mm_unpacklo_epi16(a[0], a[1]), b1 = _mm_unpackhi_epi16(a[0], a[1]);
      const __m128i b2 = _mm_unpacklo_epi16(a[2], a[3]), b3 = _mm_unpackhi_epi16(a[2], a[3]);
      p[0] = _mm_unpacklo_epi32(b0, b2);
      p[1] = _mm_unpackhi_epi32(b0, b2);
      p[2] = _mm_unpacklo_epi32(b1, b3);
      p[3] = _mm_unpackhi_epi32(b1, b3);
    }
    for (int32_t k = 0; k < 4; k++) {
      _mm_storel_epi64(reinterpret_cast<__m128i *>(dst + 2 * k * stride), p[k]);
      _mm_storel_epi64(reinterpret_cast<__m128i *>(dst + (2 * k + 1) * stride), _mm_srli_si128(p[k], 8));
    }
  } else {
    static_assert(N == 16 || N == 32);
    // Quarter (i, j) of the block: bytes 16i .. 16i + 15 of lines 16j ..
    // 16j + 15 (rows of a vertical mode, columns of a horizontal one).
    unroll([&](auto i) {
      unroll([&](auto j) {
        __m128i q[16];
        unroll([&](auto k) {
          constexpr int line = 16 * decltype(j)::value + decltype(k)::value;
          q[k] = weighted_16<fact(MODE, line)>(ref + idx(MODE, line) + 1 + 16 * decltype(i)::value);
        }, lines_seq<16>());
        if constexpr (hor) {
          store_transposed_16x16(dst + 16 * i * stride + 16 * j, stride, q);
        } else {
          for (int32_t k = 0; k < 16; k++)
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + (16 * j + k) * stride + 16 * i), q[k]);
        }
      }, lines_seq<N / 16>());
    }, lines_seq<N / 16>());
  }
}

}  // namespace

void intra_ang_m2_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { diagonal<4, 2>(dst, stride, nb); }
void intra_ang_m3_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 3>(dst, stride, nb); }
void intra_ang_m4_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 4>(dst, stride, nb); }
void intra_ang_m5_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 5>(dst, stride, nb); }
void intra_ang_m6_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 6>(dst, stride, nb); }
void intra_ang_m7_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 7>(dst, stride, nb); }
void intra_ang_m8_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 8>(dst, stride, nb); }
void intra_ang_m9_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 9>(dst, stride, nb); }
void intra_ang_m10_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<4, 10, false>(dst, stride, nb); }
void intra_ang_m10_filt_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<4, 10, true>(dst, stride, nb); }
void intra_ang_m11_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 11>(dst, stride, nb); }
void intra_ang_m12_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 12>(dst, stride, nb); }
void intra_ang_m13_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 13>(dst, stride, nb); }
void intra_ang_m14_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 14>(dst, stride, nb); }
void intra_ang_m15_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 15>(dst, stride, nb); }
void intra_ang_m16_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 16>(dst, stride, nb); }
void intra_ang_m17_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 17>(dst, stride, nb); }
void intra_ang_m18_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 18>(dst, stride, nb); }
void intra_ang_m19_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 19>(dst, stride, nb); }
void intra_ang_m20_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 20>(dst, stride, nb); }
void intra_ang_m21_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 21>(dst, stride, nb); }
void intra_ang_m22_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 22>(dst, stride, nb); }
void intra_ang_m23_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 23>(dst, stride, nb); }
void intra_ang_m24_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 24>(dst, stride, nb); }
void intra_ang_m25_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 25>(dst, stride, nb); }
void intra_ang_m26_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<4, 26, false>(dst, stride, nb); }
void intra_ang_m26_filt_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<4, 26, true>(dst, stride, nb); }
void intra_ang_m27_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 27>(dst, stride, nb); }
void intra_ang_m28_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 28>(dst, stride, nb); }
void intra_ang_m29_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 29>(dst, stride, nb); }
void intra_ang_m30_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 30>(dst, stride, nb); }
void intra_ang_m31_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 31>(dst, stride, nb); }
void intra_ang_m32_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 32>(dst, stride, nb); }
void intra_ang_m33_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<4, 33>(dst, stride, nb); }
void intra_ang_m34_4x4_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { diagonal<4, 34>(dst, stride, nb); }
void intra_ang_m2_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { diagonal<8, 2>(dst, stride, nb); }
void intra_ang_m3_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 3>(dst, stride, nb); }
void intra_ang_m4_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 4>(dst, stride, nb); }
void intra_ang_m5_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 5>(dst, stride, nb); }
void intra_ang_m6_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 6>(dst, stride, nb); }
void intra_ang_m7_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 7>(dst, stride, nb); }
void intra_ang_m8_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 8>(dst, stride, nb); }
void intra_ang_m9_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 9>(dst, stride, nb); }
void intra_ang_m10_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<8, 10, false>(dst, stride, nb); }
void intra_ang_m10_filt_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<8, 10, true>(dst, stride, nb); }
void intra_ang_m11_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 11>(dst, stride, nb); }
void intra_ang_m12_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 12>(dst, stride, nb); }
void intra_ang_m13_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 13>(dst, stride, nb); }
void intra_ang_m14_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 14>(dst, stride, nb); }
void intra_ang_m15_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 15>(dst, stride, nb); }
void intra_ang_m16_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 16>(dst, stride, nb); }
void intra_ang_m17_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 17>(dst, stride, nb); }
void intra_ang_m18_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 18>(dst, stride, nb); }
void intra_ang_m19_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 19>(dst, stride, nb); }
void intra_ang_m20_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 20>(dst, stride, nb); }
void intra_ang_m21_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 21>(dst, stride, nb); }
void intra_ang_m22_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 22>(dst, stride, nb); }
void intra_ang_m23_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 23>(dst, stride, nb); }
void intra_ang_m24_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 24>(dst, stride, nb); }
void intra_ang_m25_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 25>(dst, stride, nb); }
void intra_ang_m26_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<8, 26, false>(dst, stride, nb); }
void intra_ang_m26_filt_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<8, 26, true>(dst, stride, nb); }
void intra_ang_m27_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 27>(dst, stride, nb); }
void intra_ang_m28_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 28>(dst, stride, nb); }
void intra_ang_m29_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 29>(dst, stride, nb); }
void intra_ang_m30_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 30>(dst, stride, nb); }
void intra_ang_m31_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 31>(dst, stride, nb); }
void intra_ang_m32_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 32>(dst, stride, nb); }
void intra_ang_m33_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<8, 33>(dst, stride, nb); }
void intra_ang_m34_8x8_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { diagonal<8, 34>(dst, stride, nb); }
void intra_ang_m2_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { diagonal<16, 2>(dst, stride, nb); }
void intra_ang_m3_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 3>(dst, stride, nb); }
void intra_ang_m4_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 4>(dst, stride, nb); }
void intra_ang_m5_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 5>(dst, stride, nb); }
void intra_ang_m6_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 6>(dst, stride, nb); }
void intra_ang_m7_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 7>(dst, stride, nb); }
void intra_ang_m8_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 8>(dst, stride, nb); }
void intra_ang_m9_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 9>(dst, stride, nb); }
void intra_ang_m10_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<16, 10, false>(dst, stride, nb); }
void intra_ang_m10_filt_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<16, 10, true>(dst, stride, nb); }
void intra_ang_m11_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 11>(dst, stride, nb); }
void intra_ang_m12_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 12>(dst, stride, nb); }
void intra_ang_m13_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 13>(dst, stride, nb); }
void intra_ang_m14_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 14>(dst, stride, nb); }
void intra_ang_m15_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 15>(dst, stride, nb); }
void intra_ang_m16_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 16>(dst, stride, nb); }
void intra_ang_m17_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 17>(dst, stride, nb); }
void intra_ang_m18_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 18>(dst, stride, nb); }
void intra_ang_m19_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 19>(dst, stride, nb); }
void intra_ang_m20_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 20>(dst, stride, nb); }
void intra_ang_m21_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 21>(dst, stride, nb); }
void intra_ang_m22_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 22>(dst, stride, nb); }
void intra_ang_m23_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 23>(dst, stride, nb); }
void intra_ang_m24_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 24>(dst, stride, nb); }
void intra_ang_m25_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 25>(dst, stride, nb); }
void intra_ang_m26_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<16, 26, false>(dst, stride, nb); }
void intra_ang_m26_filt_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<16, 26, true>(dst, stride, nb); }
void intra_ang_m27_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 27>(dst, stride, nb); }
void intra_ang_m28_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 28>(dst, stride, nb); }
void intra_ang_m29_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 29>(dst, stride, nb); }
void intra_ang_m30_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 30>(dst, stride, nb); }
void intra_ang_m31_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 31>(dst, stride, nb); }
void intra_ang_m32_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 32>(dst, stride, nb); }
void intra_ang_m33_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<16, 33>(dst, stride, nb); }
void intra_ang_m34_16x16_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { diagonal<16, 34>(dst, stride, nb); }
void intra_ang_m2_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { diagonal<32, 2>(dst, stride, nb); }
void intra_ang_m3_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 3>(dst, stride, nb); }
void intra_ang_m4_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 4>(dst, stride, nb); }
void intra_ang_m5_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 5>(dst, stride, nb); }
void intra_ang_m6_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 6>(dst, stride, nb); }
void intra_ang_m7_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 7>(dst, stride, nb); }
void intra_ang_m8_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 8>(dst, stride, nb); }
void intra_ang_m9_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 9>(dst, stride, nb); }
void intra_ang_m10_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<32, 10, false>(dst, stride, nb); }
void intra_ang_m11_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 11>(dst, stride, nb); }
void intra_ang_m12_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 12>(dst, stride, nb); }
void intra_ang_m13_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 13>(dst, stride, nb); }
void intra_ang_m14_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 14>(dst, stride, nb); }
void intra_ang_m15_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 15>(dst, stride, nb); }
void intra_ang_m16_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 16>(dst, stride, nb); }
void intra_ang_m17_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 17>(dst, stride, nb); }
void intra_ang_m18_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 18>(dst, stride, nb); }
void intra_ang_m19_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 19>(dst, stride, nb); }
void intra_ang_m20_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 20>(dst, stride, nb); }
void intra_ang_m21_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 21>(dst, stride, nb); }
void intra_ang_m22_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 22>(dst, stride, nb); }
void intra_ang_m23_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 23>(dst, stride, nb); }
void intra_ang_m24_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 24>(dst, stride, nb); }
void intra_ang_m25_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 25>(dst, stride, nb); }
void intra_ang_m26_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<32, 26, false>(dst, stride, nb); }
void intra_ang_m27_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 27>(dst, stride, nb); }
void intra_ang_m28_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 28>(dst, stride, nb); }
void intra_ang_m29_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 29>(dst, stride, nb); }
void intra_ang_m30_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 30>(dst, stride, nb); }
void intra_ang_m31_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 31>(dst, stride, nb); }
void intra_ang_m32_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 32>(dst, stride, nb); }
void intra_ang_m33_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { lines<32, 33>(dst, stride, nb); }
void intra_ang_m34_32x32_ssse3(uint8_t *dst, intptr_t stride, const uint8_t *nb) { diagonal<32, 34>(dst, stride, nb); }
