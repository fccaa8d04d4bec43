// Angular intra prediction of 4x4 blocks, AVX2 tier: the whole block in one
// register.  One 16-byte window of the neighbour array (nb[0..15] or
// nb[1..16], whichever holds every sample the mode reads) is broadcast to
// both lanes; a byte shuffle picks the reference pair of each sample (rows 0
// and 1 in the lower lane, 2 and 3 in the upper), pmaddubsw weights it by
// (32 - iFact, iFact) and pmulhrsw by 1024 gives (sum + 16) >> 5 exactly, as
// the sum is at most 32 * 255.  Horizontal modes come out transposed and are
// turned by one more shuffle.  Reads only nb[0..16], writes only the block.
#include <immintrin.h>

#include <cstring>

#include "simd/x86/intra/intra_ang_model.h"
#include "simd/x86/intra/intra_kernels.h"

namespace {

using namespace intra_model;

// nb position of ref[k] at 4x4: the main run, or the projected side sample.
constexpr int32_t nb_pos(int32_t mode, int32_t k) {
  const int32_t angle = intra_pred_angle[mode];
  if (k == 0) return 0;
  if (k > 0) return horizontal(mode) ? 8 + k : k;
  const int32_t j = intra_ang_projected(angle, -k);
  return horizontal(mode) ? j : 8 + j;
}

constexpr int32_t window_start(int32_t mode) {
  // A prediction line is computed per row r (= column for horizontal modes).
  for (int32_t r = 0; r < 4; r++)
    for (int32_t c = 0; c < 4; c++)
      if (nb_pos(mode, first_tap(mode, c, r)) == 16 || nb_pos(mode, second_tap(mode, c, r)) == 16) return 1;
  return 0;
}

// Vector 0: pair selections; vector 1: weights.  Prediction line r, sample c
// at bytes 16 * (r / 2) + 8 * (r % 2) + 2 * c.
template <int MODE>
constexpr vectors_t<2> make_tables() {
  vectors_t<2> t{};
  const int32_t s = window_start(MODE);
  for (int32_t r = 0; r < 4; r++)
    for (int32_t c = 0; c < 4; c++) {
      // Predict as a vertical mode on the mode's own reference: line r.
      const int32_t a = nb_pos(MODE, c + idx(MODE, r) + 1) - s;
      const int32_t f = fact(MODE, r);
      const int32_t b = f ? nb_pos(MODE, c + idx(MODE, r) + 2) - s : a;
      const int32_t at = 16 * (r / 2) + 8 * (r % 2) + 2 * c;
      t.b[0][at] = static_cast<int8_t>(a);
      t.b[0][at + 1] = static_cast<int8_t>(b);
      t.b[1][at] = static_cast<int8_t>(32 - f);
      t.b[1][at + 1] = static_cast<int8_t>(f);
    }
  return t;
}

template <int MODE>
constexpr bool tables_in_window() {
  const vectors_t<2> t = make_tables<MODE>();
  for (int32_t i = 0; i < 32; i++)
    if (t.b[0][i] < 0 || t.b[0][i] > 15) return false;
  return true;
}

template <int MODE>
struct ang4_t {
  static_assert(tables_in_window<MODE>(), "every sample of the mode must lie in one 16-byte window");
  static constexpr vectors_t<2> tab = make_tables<MODE>();
  static constexpr int32_t start = window_start(MODE);
};

inline void store4(uint8_t *p, int32_t v) { std::memcpy(p, &v, 4); }

template <int MODE>
void intra_ang_4x4(uint8_t *dst, intptr_t stride, const uint8_t *nb) {
  using T = ang4_t<MODE>;
  const __m256i w = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(nb + T::start)));
  const __m256i pairs = _mm256_shuffle_epi8(w, _mm256_load_si256(reinterpret_cast<const __m256i *>(T::tab.b[0])));
  __m256i v = _mm256_maddubs_epi16(pairs, _mm256_load_si256(reinterpret_cast<const __m256i *>(T::tab.b[1])));
  v = _mm256_mulhrs_epi16(v, _mm256_set1_epi16(1024));
  v = _mm256_packus_epi16(v, v);
  __m128i rows;
  if constexpr (horizontal(MODE)) {
    // Lines 0..3 side by side, byte 4 * x + y; the shuffle makes it 4 * y + x.
    const __m128i lines = _mm256_castsi256_si128(_mm256_permute4x64_epi64(v, 0x08));
    rows = _mm_shuffle_epi8(lines, _mm_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15));
  } else {
    rows = _mm256_castsi256_si128(_mm256_permute4x64_epi64(v, 0x08));
  }
  store4(dst, _mm_cvtsi128_si32(rows));
  store4(dst + stride, _mm_extract_epi32(rows, 1));
  store4(dst + 2 * stride, _mm_extract_epi32(rows, 2));
  store4(dst + 3 * stride, _mm_extract_epi32(rows, 3));
}

}  // namespace

void intra_ang_m3_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<3>(dst, stride, nb); }
void intra_ang_m4_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<4>(dst, stride, nb); }
void intra_ang_m5_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<5>(dst, stride, nb); }
void intra_ang_m6_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<6>(dst, stride, nb); }
void intra_ang_m7_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<7>(dst, stride, nb); }
void intra_ang_m8_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<8>(dst, stride, nb); }
void intra_ang_m9_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<9>(dst, stride, nb); }
void intra_ang_m11_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<11>(dst, stride, nb); }
void intra_ang_m12_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<12>(dst, stride, nb); }
void intra_ang_m13_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<13>(dst, stride, nb); }
void intra_ang_m14_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<14>(dst, stride, nb); }
void intra_ang_m15_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<15>(dst, stride, nb); }
void intra_ang_m16_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<16>(dst, stride, nb); }
void intra_ang_m17_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<17>(dst, stride, nb); }
void intra_ang_m19_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<19>(dst, stride, nb); }
void intra_ang_m20_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<20>(dst, stride, nb); }
void intra_ang_m21_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<21>(dst, stride, nb); }
void intra_ang_m22_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<22>(dst, stride, nb); }
void intra_ang_m23_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<23>(dst, stride, nb); }
void intra_ang_m24_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<24>(dst, stride, nb); }
void intra_ang_m25_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<25>(dst, stride, nb); }
void intra_ang_m27_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<27>(dst, stride, nb); }
void intra_ang_m28_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<28>(dst, stride, nb); }
void intra_ang_m29_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<29>(dst, stride, nb); }
void intra_ang_m30_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<30>(dst, stride, nb); }
void intra_ang_m31_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<31>(dst, stride, nb); }
void intra_ang_m32_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<32>(dst, stride, nb); }
void intra_ang_m33_4x4_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_4x4<33>(dst, stride, nb); }
