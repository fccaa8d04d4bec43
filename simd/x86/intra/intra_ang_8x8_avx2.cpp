// Angular intra prediction of 8x8 blocks, AVX2 tier.  Every sample of an 8x8
// block in the modes served here reads from 16 consecutive positions of the
// mode's reference (ref[1..16] for a positive angle, ref[-E..15-E] for a
// negative one), so the kernel builds that window once, broadcasts it to
// both lanes and produces two rows per register: a byte shuffle selects each
// sample's reference pair (rows 2k and 2k + 1 in the lower and upper lane;
// for a horizontal mode the pair depends on the column, so the rows come out
// in memory order without a transposition), pmaddubsw weights it by
// (32 - iFact, iFact) and pmulhrsw by 1024 gives (sum + 16) >> 5 exactly.
// Reads only nb[0..32], writes only the 64 bytes of the block.
#include <immintrin.h>

#include "simd/x86/intra/intra_ang_model.h"
#include "simd/x86/intra/intra_kernels.h"

namespace {

using namespace intra_model;

constexpr int32_t N = 8;

// Reference index held in byte 0 of the window.
constexpr int32_t window_base(int32_t mode) {
  const int32_t angle = intra_pred_angle[mode];
  return angle < 0 ? -intra_ang_extension(angle, N) : 1;
}

// Vectors 0..3: pair selections of rows 2k (lower lane) and 2k + 1;
// vectors 4..7: their weights; vector 8: the gather of the projected samples
// (and the corner) into the low bytes of the window, 0x80 elsewhere.
template <int MODE>
constexpr vectors_t<9> make_tables() {
  vectors_t<9> t{};
  const int32_t base = window_base(MODE);
  for (int32_t y = 0; y < N; y++)
    for (int32_t x = 0; x < N; x++) {
      const int32_t at = 16 * (y % 2) + 2 * x;
      t.b[y / 2][at] = static_cast<int8_t>(first_tap(MODE, x, y) - base);
      t.b[y / 2][at + 1] = static_cast<int8_t>(second_tap(MODE, x, y) - base);
      t.b[4 + y / 2][at] = static_cast<int8_t>(32 - weight(MODE, x, y));
      t.b[4 + y / 2][at + 1] = static_cast<int8_t>(weight(MODE, x, y));
    }
  const int32_t angle = intra_pred_angle[MODE];
  const int32_t e = intra_ang_extension(angle, N);
  for (int32_t i = 0; i < 32; i++) t.b[8][i] = static_cast<int8_t>(0x80);
  for (int32_t k = 1; k <= e; k++) t.b[8][e - k] = static_cast<int8_t>(intra_ang_projected(angle, k));
  // The horizontal gather reads nb[0..15], which holds the corner too.
  if (horizontal(MODE) && angle < 0) t.b[8][e] = 0;
  return t;
}

template <int MODE>
constexpr bool selections_in_window() {
  const vectors_t<9> t = make_tables<MODE>();
  for (int32_t v = 0; v < 4; v++)
    for (int32_t i = 0; i < 32; i++)
      if (t.b[v][i] < 0 || t.b[v][i] > 15) return false;
  for (int32_t i = 0; i < 16; i++)
    if (t.b[8][i] > 15) return false;
  return true;
}

template <int MODE>
struct ang8_t {
  static_assert(selections_in_window<MODE>(), "every sample of the mode must lie in one 16-byte window");
  static constexpr vectors_t<9> tab = make_tables<MODE>();
  static constexpr int32_t e = intra_ang_extension(intra_pred_angle[MODE], N);
};

inline __m128i load16(const uint8_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
inline __m256i table(const int8_t *p) { return _mm256_load_si256(reinterpret_cast<const __m256i *>(p)); }

// ref[base .. base + 15] of the mode.
template <int MODE>
__m128i reference_window(const uint8_t *nb) {
  using T = ang8_t<MODE>;
  constexpr int32_t e = T::e;
  if constexpr (intra_pred_angle[MODE] >= 0) {
    return load16(horizontal(MODE) ? nb + 2 * N + 1 : nb + 1);
  } else if constexpr (e == 0 && !horizontal(MODE)) {
    return load16(nb);
  } else {
    const __m128i gather = _mm_loadu_si128(reinterpret_cast<const __m128i *>(T::tab.b[8]));
    if constexpr (horizontal(MODE)) {
      // Projected above samples and the corner from nb[0..15], then the left run.
      const __m128i behind = _mm_shuffle_epi8(load16(nb), gather);
      return _mm_or_si128(behind, _mm_slli_si128(load16(nb + 2 * N + 1), e + 1));
    } else {
      // Projected left samples from nb[16..31], then the corner and the above run.
      const __m128i behind = _mm_shuffle_epi8(load16(nb + 2 * N), gather);
      return _mm_or_si128(behind, _mm_slli_si128(load16(nb), e));
    }
  }
}

template <int MODE>
inline __m256i two_rows(__m256i window, int32_t k) {
  using T = ang8_t<MODE>;
  const __m256i pairs = _mm256_shuffle_epi8(window, table(T::tab.b[k]));
  return _mm256_mulhrs_epi16(_mm256_maddubs_epi16(pairs, table(T::tab.b[4 + k])), _mm256_set1_epi16(1024));
}

inline void store_four_rows(uint8_t *dst, intptr_t stride, __m256i rows_02_13) {
  // Lower lane: rows 0 and 2; upper lane: rows 1 and 3.
  const __m128i lo = _mm256_castsi256_si128(rows_02_13), hi = _mm256_extracti128_si256(rows_02_13, 1);
  _mm_storel_epi64(reinterpret_cast<__m128i *>(dst), lo);
  _mm_storel_epi64(reinterpret_cast<__m128i *>(dst + stride), hi);
  // movq of the upper halves: an unaligned 8-byte store (a double store
  // would claim 8-byte alignment the rows do not have).
  _mm_storel_epi64(reinterpret_cast<__m128i *>(dst + 2 * stride), _mm_unpackhi_epi64(lo, lo));
  _mm_storel_epi64(reinterpret_cast<__m128i *>(dst + 3 * stride), _mm_unpackhi_epi64(hi, hi));
}

template <int MODE>
void intra_ang_8x8(uint8_t *dst, intptr_t stride, const uint8_t *nb) {
  const __m256i w = _mm256_broadcastsi128_si256(reference_window<MODE>(nb));
  store_four_rows(dst, stride, _mm256_packus_epi16(two_rows<MODE>(w, 0), two_rows<MODE>(w, 1)));
  store_four_rows(dst + 4 * stride, stride, _mm256_packus_epi16(two_rows<MODE>(w, 2), two_rows<MODE>(w, 3)));
}

}  // namespace

void intra_ang_m2_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<2>(dst, stride, nb); }
void intra_ang_m3_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<3>(dst, stride, nb); }
void intra_ang_m4_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<4>(dst, stride, nb); }
void intra_ang_m5_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<5>(dst, stride, nb); }
void intra_ang_m6_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<6>(dst, stride, nb); }
void intra_ang_m7_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<7>(dst, stride, nb); }
void intra_ang_m8_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<8>(dst, stride, nb); }
void intra_ang_m9_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<9>(dst, stride, nb); }
void intra_ang_m11_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<11>(dst, stride, nb); }
void intra_ang_m12_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<12>(dst, stride, nb); }
void intra_ang_m13_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<13>(dst, stride, nb); }
void intra_ang_m14_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<14>(dst, stride, nb); }
void intra_ang_m15_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<15>(dst, stride, nb); }
void intra_ang_m16_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<16>(dst, stride, nb); }
void intra_ang_m17_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<17>(dst, stride, nb); }
void intra_ang_m18_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<18>(dst, stride, nb); }
void intra_ang_m19_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<19>(dst, stride, nb); }
void intra_ang_m20_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<20>(dst, stride, nb); }
void intra_ang_m21_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<21>(dst, stride, nb); }
void intra_ang_m22_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<22>(dst, stride, nb); }
void intra_ang_m23_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<23>(dst, stride, nb); }
void intra_ang_m24_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<24>(dst, stride, nb); }
void intra_ang_m25_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<25>(dst, stride, nb); }
void intra_ang_m27_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<27>(dst, stride, nb); }
void intra_ang_m28_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<28>(dst, stride, nb); }
void intra_ang_m29_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<29>(dst, stride, nb); }
void intra_ang_m30_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<30>(dst, stride, nb); }
void intra_ang_m31_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<31>(dst, stride, nb); }
void intra_ang_m32_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<32>(dst, stride, nb); }
void intra_ang_m33_8x8_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_8x8<33>(dst, stride, nb); }
