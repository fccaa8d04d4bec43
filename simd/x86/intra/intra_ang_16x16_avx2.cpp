// Angular intra prediction of 16x16 blocks, AVX2 tier, two rows per register.
//  - Vertical modes: row y reads ref[iIdx(y) + 1 .. iIdx(y) + 17]; the 16
//    samples and the 16 one further on are loaded for rows y (lower lane)
//    and y + 1 (upper lane) and interleaved into byte pairs.
//  - Horizontal modes 9 to 17: row y reads from a 16-byte window of the
//    left-based reference that starts y samples further on than row 0's; a
//    byte shuffle per column picks each sample's pair, so the rows come out
//    in memory order with no transposition.
//  - Modes 3 to 8, 32 and 33 share one body per angle: the lines of the
//    vertical computation against the above row (32, 33) or the left
//    column (3 to 8, whose lines are columns, transposed in registers).
// pmaddubsw weights the pairs by (32 - iFact, iFact) and pmulhrsw by 1024
// gives (sum + 16) >> 5 exactly (the sum is at most 32 * 255).  A positive
// angle reads its reference straight from the neighbour array; a negative
// one first assembles ref[-E .. 32] on the stack (projected side samples by
// one byte shuffle).  Reads only nb[0..64], writes only the 256 bytes of the
// block.
#include <immintrin.h>

#include <utility>

#include "simd/x86/intra/intra_ang_model.h"
#include "simd/x86/intra/intra_kernels.h"
#include "simd/x86/intra/intra_transpose.h"

namespace {

using namespace intra_model;

constexpr int32_t N = 16;

// Lowest iIdx over the lines of a horizontal mode: the window of row y
// starts at ref[y + lowest + 1].
constexpr int32_t lowest_idx(int32_t mode) {
  int32_t m = idx(mode, 0);
  for (int32_t i = 1; i < N; i++) m = idx(mode, i) < m ? idx(mode, i) : m;
  return m;
}

// Vertical modes: vectors 0..7 the weights of rows 2k (lower lane) and
// 2k + 1.  Horizontal modes: vectors 0 and 1 the pair selections of columns
// 0..7 and 8..15, vectors 2 and 3 their weights.  Vector 8: the gather of the
// projected samples (0x80 where nothing is projected).
template <int MODE>
constexpr vectors_t<9> make_tables() {
  vectors_t<9> t{};
  if constexpr (horizontal(MODE)) {
    const int32_t low = lowest_idx(MODE);
    for (int32_t x = 0; x < N; x++) {
      const int32_t at = 2 * (x % 8), v = x / 8;
      // Row 0's window starts at ref[low + 1].
      // A negative angle gives both lanes row 2k's window, so the upper
      // lane (row 2k + 1) selects one sample further on.
      for (int32_t lane = 0; lane < 2; lane++) {
        const int32_t on = intra_pred_angle[MODE] < 0 ? lane : 0;
        t.b[v][16 * lane + at] = static_cast<int8_t>(first_tap(MODE, x, 0) - low - 1 + on);
        t.b[v][16 * lane + at + 1] = static_cast<int8_t>(second_tap(MODE, x, 0) - low - 1 + on);
        t.b[2 + v][16 * lane + at] = static_cast<int8_t>(32 - fact(MODE, x));
        t.b[2 + v][16 * lane + at + 1] = static_cast<int8_t>(fact(MODE, x));
      }
    }
  } else {
    for (int32_t y = 0; y < N; y++)
      for (int32_t x = 0; x < 8; x++) {
        // The interleave puts columns 0..7 and 8..15 in separate registers
        // with the same per-row weights.
        t.b[y / 2][16 * (y % 2) + 2 * x] = static_cast<int8_t>(32 - fact(MODE, y));
        t.b[y / 2][16 * (y % 2) + 2 * x + 1] = static_cast<int8_t>(fact(MODE, y));
      }
  }
  for (int32_t i = 0; i < 32; i++) t.b[8][i] = static_cast<int8_t>(0x80);
  const int32_t angle = intra_pred_angle[MODE];
  const int32_t e = intra_ang_extension(angle, N);
  // ref[-E .. -1] into bytes 0 .. E - 1 of the head: from nb[0..15] for a
  // horizontal mode, which also gives the corner (byte E), from nb[32..47]
  // for a vertical one.
  for (int32_t k = 1; k <= e; k++) t.b[8][e - k] = static_cast<int8_t>(intra_ang_projected(angle, k));
  if (horizontal(MODE) && angle < 0) t.b[8][e] = 0;
  return t;
}

template <int MODE>
constexpr bool reads_in_range() {
  const vectors_t<9> t = make_tables<MODE>();
  const int32_t e = intra_ang_extension(intra_pred_angle[MODE], N);
  if (e > 15) return false;
  for (int32_t i = 0; i < 16; i++)
    if (t.b[8][i] > 15) return false;
  if (horizontal(MODE)) {
    for (int32_t v = 0; v < 2; v++)
      for (int32_t i = 0; i < 32; i++)
        if (t.b[v][i] < 0 || t.b[v][i] > 15) return false;
    // Positive: windows ref[low + 1 .. low + 31] inside nb[33..64].
    // Negative: windows start at ref[-E], the corner is in the head.
    if (intra_pred_angle[MODE] >= 0) return lowest_idx(MODE) + 1 >= 1 && lowest_idx(MODE) + 31 <= 32;
    return lowest_idx(MODE) + 1 == -e && e <= 14;
  }
  // Rows read ref[iIdx + 1 .. iIdx + 17]: nb[1..32] for a positive angle;
  // pairs 0 .. E + 15 of the extended reference for a negative one.
  for (int32_t y = 0; y < N; y++) {
    if (intra_pred_angle[MODE] >= 0 && (idx(MODE, y) + 1 < 1 || idx(MODE, y) + 17 > 32)) return false;
    if (intra_pred_angle[MODE] < 0 && (idx(MODE, y) + 1 + e < 0 || idx(MODE, y) + 1 + e > 8)) return false;
  }
  return true;
}

template <int MODE>
struct ang16_t {
  static_assert(reads_in_range<MODE>(), "every read of the mode must stay in the reference");
  static constexpr vectors_t<9> tab = make_tables<MODE>();
};

inline __m128i load16(const uint8_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
inline __m256i load32(const uint8_t *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }
inline __m256i table(const int8_t *p) { return _mm256_load_si256(reinterpret_cast<const __m256i *>(p)); }
// p0 in the lower lane, p1 in the upper.
inline __m256i load_lanes(const uint8_t *p0, const uint8_t *p1) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(load16(p0)), load16(p1), 1);
}
inline __m256i round_shift5(__m256i pairs, __m256i weights) {
  return _mm256_mulhrs_epi16(_mm256_maddubs_epi16(pairs, weights), _mm256_set1_epi16(1024));
}
inline void store_two_rows(uint8_t *dst, intptr_t stride, __m256i rows) {
  _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), _mm256_castsi256_si128(rows));
  _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + stride), _mm256_extracti128_si256(rows, 1));
}

template <typename F, int... K>
inline void unroll(F f, std::integer_sequence<int, K...>) {
  (f(std::integral_constant<int, K>{}), ...);
}

// The head ref[-E .. 15 - E] of a negative angle: projected side samples,
// then the corner and the main run.
template <int MODE>
inline __m128i negative_head(const uint8_t *nb) {
  using T = ang16_t<MODE>;
  constexpr int32_t e = intra_ang_extension(intra_pred_angle[MODE], N);
  const __m128i gather = _mm_loadu_si128(reinterpret_cast<const __m128i *>(T::tab.b[8]));
  if constexpr (horizontal(MODE))
    return _mm_or_si128(_mm_shuffle_epi8(load16(nb), gather), _mm_slli_si128(load16(nb + 2 * N + 1), e + 1));
  else if constexpr (e == 0)
    return load16(nb);
  else
    return _mm_or_si128(_mm_shuffle_epi8(load16(nb + 2 * N), gather), _mm_slli_si128(load16(nb), e));
}

template <int MODE>
void intra_ang_16x16(uint8_t *dst, intptr_t stride, const uint8_t *nb) {
  using T = ang16_t<MODE>;
  constexpr int32_t angle = intra_pred_angle[MODE];
  constexpr int32_t e = intra_ang_extension(angle, N);
  if constexpr (horizontal(MODE)) {
    const __m256i sel_lo = table(T::tab.b[0]), sel_hi = table(T::tab.b[1]);
    const __m256i w_lo = table(T::tab.b[2]), w_hi = table(T::tab.b[3]);
    const auto rows = [&](__m256i window, int32_t y) {
      const __m256i lo = round_shift5(_mm256_shuffle_epi8(window, sel_lo), w_lo);
      const __m256i hi = round_shift5(_mm256_shuffle_epi8(window, sel_hi), w_hi);
      store_two_rows(dst + y * stride, stride, _mm256_packus_epi16(lo, hi));
    };
    if constexpr (angle >= 0) {
      // Row y's window is ref[y + low + 1 ..] = nb[2N + y + low + 1 ..].
      const uint8_t *ref = nb + 2 * N + lowest_idx(MODE) + 1;
      for (int32_t y = 0; y < N; y += 2) rows(load_lanes(ref + y, ref + y + 1), y);
    } else {
      // Rows 2k and 2k + 1 share the window ref[2k - E ..], the head and the
      // tail nb[48 - E .. 63 - E] aligned by 2k bytes.
      const __m256i head = _mm256_broadcastsi128_si256(negative_head<MODE>(nb));
      const __m256i tail = _mm256_broadcastsi128_si256(load16(nb + 3 * N - e));
      unroll(
          [&](auto k) {
            // A named constant: without optimisation the intrinsic takes
            // only a constant expression as its immediate, not k itself.
            constexpr int shift = 2 * decltype(k)::value;
            if constexpr (shift == 0)
              rows(head, 0);
            else
              rows(_mm256_alignr_epi8(tail, head, shift), shift);
          },
          std::make_integer_sequence<int, N / 2>());
    }
  } else if constexpr (angle >= 0) {
    for (int32_t y = 0; y < N; y += 2) {
      const uint8_t *r0 = nb + idx(MODE, y) + 1, *r1 = nb + idx(MODE, y + 1) + 1;
      const __m256i a = load_lanes(r0, r1), b = load_lanes(r0 + 1, r1 + 1);
      const __m256i w = table(T::tab.b[y / 2]);
      const __m256i lo = round_shift5(_mm256_unpacklo_epi8(a, b), w);
      const __m256i hi = round_shift5(_mm256_unpackhi_epi8(a, b), w);
      store_two_rows(dst + y * stride, stride, _mm256_packus_epi16(lo, hi));
    }
  } else {
    // Pairs P_i = (ref[i - E], ref[i - E + 1]): `first` holds P_0..7 | P_8..15,
    // `second` P_8..15 | P_16..23, so one alignment by 2j gives the sixteen
    // pairs of a row that starts at ref[j - E], columns 0..7 in the lower
    // lane and 8..15 in the upper.
    const __m128i head = negative_head<MODE>(nb), tail = load16(nb + N - e);
    const __m256i x0 = _mm256_inserti128_si256(_mm256_castsi128_si256(head), tail, 1);
    const __m256i x1 = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_alignr_epi8(tail, head, 1)),
                                                load16(nb + N + 1 - e), 1);
    const __m256i plo = _mm256_unpacklo_epi8(x0, x1), phi = _mm256_unpackhi_epi8(x0, x1);
    const __m256i first = _mm256_permute2x128_si256(plo, phi, 0x20);
    const __m256i second = _mm256_permute2x128_si256(phi, plo, 0x30);
    const auto row = [&](auto y) {
      constexpr int32_t j = idx(MODE, y) + 1 + e, f = fact(MODE, y);
      const __m256i pairs = j == 0 ? first : (j == 8 ? second : _mm256_alignr_epi8(second, first, (2 * j) & 15));
      return round_shift5(pairs, _mm256_set1_epi16(static_cast<int16_t>(f << 8 | (32 - f))));
    };
    unroll(
        [&](auto k) {
          constexpr int32_t y = 2 * k;
          // The pack interleaves lanes: rows y, y + 1 of columns 0..7, then
          // of columns 8..15; the permute restores row order.
          const __m256i packed = _mm256_packus_epi16(row(std::integral_constant<int, y>{}),
                                                     row(std::integral_constant<int, y + 1>{}));
          store_two_rows(dst + y * stride, stride, _mm256_permute4x64_epi64(packed, 0xd8));
        },
        std::make_integer_sequence<int, N / 2>());
  }
}

// The shared body of one positive angle, that of vertical mode VMODE: the
// sixteen lines against ref[k] = base[k] (k = 1 .. 32), line i weighting
// the pairs from ref[iIdx(i) + 1] by (32 - iFact(i), iFact(i)).  A vertical
// mode stores the lines as rows; a horizontal one (base at the left column)
// as columns, transposed in registers.
template <int VMODE>
inline void ang_body_16x16(const uint8_t *base, bool vertical, uint8_t *dst, intptr_t stride) {
  using T = ang16_t<VMODE>;
  static_assert(!horizontal(VMODE) && intra_pred_angle[VMODE] >= 0);
  __m128i lines[16];
  for (int32_t y = 0; y < N; y += 2) {
    const uint8_t *r0 = base + idx(VMODE, y) + 1, *r1 = base + idx(VMODE, y + 1) + 1;
    const __m256i a = load_lanes(r0, r1), b = load_lanes(r0 + 1, r1 + 1);
    const __m256i w = table(T::tab.b[y / 2]);
    const __m256i two = _mm256_packus_epi16(round_shift5(_mm256_unpacklo_epi8(a, b), w),
                                            round_shift5(_mm256_unpackhi_epi8(a, b), w));
    if (vertical) {
      store_two_rows(dst + y * stride, stride, two);
    } else {
      lines[y] = _mm256_castsi256_si128(two);
      lines[y + 1] = _mm256_extracti128_si256(two, 1);
    }
  }
  if (!vertical) store_transposed_16x16(dst, stride, lines);
}

void intra_ang_m3_m33_body_16x16_avx2(const uint8_t *base, bool vertical, uint8_t *dst, intptr_t stride) { ang_body_16x16<33>(base, vertical, dst, stride); }
void intra_ang_m4_m32_body_16x16_avx2(const uint8_t *base, bool vertical, uint8_t *dst, intptr_t stride) { ang_body_16x16<32>(base, vertical, dst, stride); }
void intra_ang_m5_body_16x16_avx2(const uint8_t *base, bool vertical, uint8_t *dst, intptr_t stride) { ang_body_16x16<31>(base, vertical, dst, stride); }
void intra_ang_m6_body_16x16_avx2(const uint8_t *base, bool vertical, uint8_t *dst, intptr_t stride) { ang_body_16x16<30>(base, vertical, dst, stride); }
void intra_ang_m7_body_16x16_avx2(const uint8_t *base, bool vertical, uint8_t *dst, intptr_t stride) { ang_body_16x16<29>(base, vertical, dst, stride); }
void intra_ang_m8_body_16x16_avx2(const uint8_t *base, bool vertical, uint8_t *dst, intptr_t stride) { ang_body_16x16<28>(base, vertical, dst, stride); }

}  // namespace

// Modes 3 to 8, 32 and 33 through the shared bodies: the horizontal ones
// against the left column (nb + 2N), the vertical ones against the above row.
__attribute__((flatten)) void intra_ang_m3_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_m3_m33_body_16x16_avx2(nb + 2 * N, false, dst, stride); }
__attribute__((flatten)) void intra_ang_m4_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_m4_m32_body_16x16_avx2(nb + 2 * N, false, dst, stride); }
__attribute__((flatten)) void intra_ang_m5_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_m5_body_16x16_avx2(nb + 2 * N, false, dst, stride); }
__attribute__((flatten)) void intra_ang_m6_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_m6_body_16x16_avx2(nb + 2 * N, false, dst, stride); }
__attribute__((flatten)) void intra_ang_m7_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_m7_body_16x16_avx2(nb + 2 * N, false, dst, stride); }
__attribute__((flatten)) void intra_ang_m8_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_m8_body_16x16_avx2(nb + 2 * N, false, dst, stride); }
__attribute__((flatten)) void intra_ang_m32_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_m4_m32_body_16x16_avx2(nb, true, dst, stride); }
__attribute__((flatten)) void intra_ang_m33_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_m3_m33_body_16x16_avx2(nb, true, dst, stride); }

void intra_ang_m9_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_16x16<9>(dst, stride, nb); }
void intra_ang_m11_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_16x16<11>(dst, stride, nb); }
void intra_ang_m12_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_16x16<12>(dst, stride, nb); }
void intra_ang_m13_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_16x16<13>(dst, stride, nb); }
void intra_ang_m14_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_16x16<14>(dst, stride, nb); }
void intra_ang_m15_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_16x16<15>(dst, stride, nb); }
void intra_ang_m16_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_16x16<16>(dst, stride, nb); }
void intra_ang_m17_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_16x16<17>(dst, stride, nb); }
void intra_ang_m22_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_16x16<22>(dst, stride, nb); }
void intra_ang_m23_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_16x16<23>(dst, stride, nb); }
void intra_ang_m24_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_16x16<24>(dst, stride, nb); }
void intra_ang_m25_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_16x16<25>(dst, stride, nb); }
void intra_ang_m27_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_16x16<27>(dst, stride, nb); }
void intra_ang_m28_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_16x16<28>(dst, stride, nb); }
void intra_ang_m29_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_16x16<29>(dst, stride, nb); }
void intra_ang_m30_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_16x16<30>(dst, stride, nb); }
void intra_ang_m31_16x16_avx2(uint8_t *dst, intptr_t stride, const uint8_t *nb) { intra_ang_16x16<31>(dst, stride, nb); }
