// The angular cells of 4x4 to 32x32 that the per-size kernels leave, AVX2
// tier, each line computed from a reference run as the portable predictor
// builds it:
//  - angle 0 (modes 10 and 26): rows of the left samples or copies of the
//    above run; their _filt cells (below 32x32) bend the first line towards
//    the side run's gradient afterwards.
//  - modes 2 and 34 (angle 32, iFact 0 on every line): rows copied from the
//    left run (mode 2's block is symmetric) or the above run; 4x4 mode 18
//    (angle -32) likewise copies its lines from the reference.
//  - other angles: the reference ref[-E .. N] assembled on the stack for a
//    negative angle (projected side samples behind the corner), read in
//    place for a positive one (ref[1 .. 2N] is the main run).  Line i
//    weights the pairs from ref[iIdx(i) + 1] by (32 - iFact, iFact):
//    pmaddubsw on the interleaved pairs, pmulhrsw by 1024 for
//    (sum + 16) >> 5 exactly; a line with iFact 0 is a copy, so no second
//    tap is read there (it could lie past the array).
//  - vertical modes store the lines as rows; horizontal ones (32x32 only)
//    compute them into a block on the stack and store it transposed, 16x16
//    at a time.
// Reads only nb[0 .. 4N], writes only the N x N block.
#include <immintrin.h>

#include <cstring>
#include <utility>

#include "simd/x86/intra/intra_ang_lines.h"
#include "simd/x86/intra/intra_ang_model.h"
#include "simd/x86/intra/intra_kernels.h"
#include "simd/x86/intra/intra_transpose.h"

namespace {

using namespace intra_model;

// N samples of one line from `row` (ref[iIdx + 1]) at weight F.
template <int N, int F>
inline void weighted_line(uint8_t *out, const uint8_t *row) {
  static_assert(F == 0 || N == 16 || N == 32);
  constexpr int16_t f = F;
  if constexpr (F == 0) {
    std::memcpy(out, row, N);
  } else if constexpr (N == 32) {
    const __m256i w = _mm256_set1_epi16(static_cast<int16_t>(f << 8 | (32 - f)));
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(row));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(row + 1));
    const __m256i round = _mm256_set1_epi16(1024);
    const __m256i lo = _mm256_mulhrs_epi16(_mm256_maddubs_epi16(_mm256_unpacklo_epi8(a, b), w), round);
    const __m256i hi = _mm256_mulhrs_epi16(_mm256_maddubs_epi16(_mm256_unpackhi_epi8(a, b), w), round);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), _mm256_packus_epi16(lo, hi));
  } else {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), weighted_16<F>(row));
  }
}

template <int N, int MODE>
void lines_of(uint8_t *dst, intptr_t stride, const uint8_t *nb) {
  constexpr int32_t angle = intra_pred_angle[MODE];
  static_assert(angle != 0);
  alignas(32) uint8_t storage[2 * N + 1];
  const uint8_t *ref = reference_of<N, MODE>(nb, storage);
  // Every line's offset and weight are constants.
  auto each_line = [&](auto line) {
    unroll([&](auto i) { line(i, ref + idx(MODE, decltype(i)::value) + 1); }, std::make_integer_sequence<int, N>());
  };
  if constexpr (!horizontal(MODE)) {
    each_line([&](auto y, const uint8_t *row) {
      weighted_line<N, fact(MODE, decltype(y)::value)>(dst + decltype(y)::value * stride, row);
    });
  } else {
    static_assert(N == 32);
    alignas(32) uint8_t lines[N * N];
    each_line([&](auto x, const uint8_t *row) {
      weighted_line<N, fact(MODE, decltype(x)::value)>(lines + decltype(x)::value * N, row);
    });
    // Line x is column x: quarter (i, j) of the block is the transpose of
    // lines 16j .. 16j + 15, bytes 16i .. 16i + 15.
    for (int32_t i = 0; i < 2; i++)
      for (int32_t j = 0; j < 2; j++) {
        __m128i quarter[16];
        for (int32_t k = 0; k < 16; k++)
          quarter[k] = _mm_load_si128(reinterpret_cast<const __m128i *>(lines + (16 * j + k) * N + 16 * i));
        store_transposed_16x16(dst + 16 * i * stride + 16 * j, stride, quarter);
      }
  }
}

template <int N, int MODE>
void angular(uint8_t *dst, intptr_t stride, const uint8_t *nb) {
  if constexpr (MODE == 2 || MODE == 34)
    diagonal<N, MODE>(dst, stride, nb);
  else
    lines_of<N, MODE>(dst, stride, nb);
}

}  // namespace

void intra_ang_m2_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<4, 2>(dst, stride, nb); }
void intra_ang_m10_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<4, 10, false>(dst, stride, nb); }
void intra_ang_m10_filt_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<4, 10, true>(dst, stride, nb); }
void intra_ang_m18_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<4, 18>(dst, stride, nb); }
void intra_ang_m26_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<4, 26, false>(dst, stride, nb); }
void intra_ang_m26_filt_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<4, 26, true>(dst, stride, nb); }
void intra_ang_m34_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<4, 34>(dst, stride, nb); }

void intra_ang_m10_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<8, 10, false>(dst, stride, nb); }
void intra_ang_m10_filt_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<8, 10, true>(dst, stride, nb); }
void intra_ang_m26_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<8, 26, false>(dst, stride, nb); }
void intra_ang_m26_filt_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<8, 26, true>(dst, stride, nb); }
void intra_ang_m34_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<8, 34>(dst, stride, nb); }

void intra_ang_m2_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<16, 2>(dst, stride, nb); }
void intra_ang_m10_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<16, 10, false>(dst, stride, nb); }
void intra_ang_m10_filt_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<16, 10, true>(dst, stride, nb); }
void intra_ang_m18_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<16, 18>(dst, stride, nb); }
void intra_ang_m19_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<16, 19>(dst, stride, nb); }
void intra_ang_m20_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<16, 20>(dst, stride, nb); }
void intra_ang_m21_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<16, 21>(dst, stride, nb); }
void intra_ang_m26_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<16, 26, false>(dst, stride, nb); }
void intra_ang_m26_filt_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<16, 26, true>(dst, stride, nb); }
void intra_ang_m34_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<16, 34>(dst, stride, nb); }

void intra_ang_m3_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 3>(dst, stride, nb); }
void intra_ang_m4_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 4>(dst, stride, nb); }
void intra_ang_m5_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 5>(dst, stride, nb); }
void intra_ang_m6_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 6>(dst, stride, nb); }
void intra_ang_m7_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 7>(dst, stride, nb); }
void intra_ang_m8_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 8>(dst, stride, nb); }
void intra_ang_m9_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 9>(dst, stride, nb); }
void intra_ang_m10_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { straight<32, 10, false>(dst, stride, nb); }
void intra_ang_m11_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 11>(dst, stride, nb); }
void intra_ang_m12_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 12>(dst, stride, nb); }
void intra_ang_m13_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 13>(dst, stride, nb); }
void intra_ang_m14_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 14>(dst, stride, nb); }
void intra_ang_m15_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 15>(dst, stride, nb); }
void intra_ang_m16_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 16>(dst, stride, nb); }
void intra_ang_m17_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 17>(dst, stride, nb); }
void intra_ang_m18_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 18>(dst, stride, nb); }
void intra_ang_m19_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 19>(dst, stride, nb); }
void intra_ang_m20_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 20>(dst, stride, nb); }
void intra_ang_m21_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 21>(dst, stride, nb); }
void intra_ang_m22_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 22>(dst, stride, nb); }
void intra_ang_m23_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 23>(dst, stride, nb); }
void intra_ang_m24_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 24>(dst, stride, nb); }
void intra_ang_m25_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 25>(dst, stride, nb); }
void intra_ang_m27_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 27>(dst, stride, nb); }
void intra_ang_m28_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 28>(dst, stride, nb); }
void intra_ang_m29_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 29>(dst, stride, nb); }
void intra_ang_m30_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 30>(dst, stride, nb); }
void intra_ang_m31_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 31>(dst, stride, nb); }
void intra_ang_m32_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 32>(dst, stride, nb); }
void intra_ang_m33_32x32_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { angular<32, 33>(dst, stride, nb); }
