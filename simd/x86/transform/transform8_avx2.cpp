// The 8x8 forward and inverse DCT of the AVX2 tier with every multiply-add
// in the lane of its own output (no horizontal additions), two rows of the
// block to a 256-bit register where a row's outputs fill only half of one.
//
// Forward.  Rows (shift 2): a residual row becomes E[j] = r[j] + r[7-j] and
// O[j] = r[j] - r[7-j] (j < 4, exact in 16 bits), grouped as (E pair p,
// O pair p); broadcast over a register, a group puts E's pair in the lanes
// of the even frequencies and O's in the odd ones, and one multiply-add
// against (M[k][2p], M[k][2p+1]) in lane k adds pair p to all eight
// frequencies.  Columns (shift 9): two first-pass rows interleaved per
// frequency, one multiply-add against the broadcast pair (M[v][y],
// M[v][y+1]) adds both to the eight columns of output row v.
// Inverse.  Columns (shift 7): coefficient rows of one parity interleaved,
// (C[v][u], C[v'][u]) per lane; with M[v][7-y] = (-1)^v M[v][y] the even
// rows give E(y), the odd ones O(y), and G[y] = E + O, G[7-y] = E - O (y <
// 4).  Rows (shift 12): the intermediate rows y and 7-y share a register;
// their columns reordered to pairs of one parity, each pair is broadcast
// within its half against the weights of samples x < 4, and samples 7-x
// come from the differences, reversed.
// The sums are exact in 32 bits and the saturating narrowing after the
// first pass is the portable function's clip16 (after the second nothing
// reaches it), so every result equals the portable function's.
#include <immintrin.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "common/dct_matrix.h"
#include "common/primitives.h"
#include "simd/x86/transform/transform_kernels.h"
#include "simd/x86/transform/transform_rounds.h"
#include "simd/x86/transform/weight_pair.h"

namespace {

inline constexpr std::array<int16_t, 64> M8 = dct_matrix<8>();

// Forward row weights [p]: lane k holds (M[k][2p], M[k][2p+1]).
// Forward column weights [v][q]: (M[v][2q], M[v][2q+1]).
// Inverse column weights [pair][y], pairs (0, 2), (4, 6), (1, 3), (5, 7):
// (M[va][y], M[vb][y]).
// Inverse row weights [pair][lane]: lanes x and 4 + x hold (M[ua][x],
// M[ub][x]) for the same pairs of columns.
struct alignas(32) weights8_t {
  int32_t fwd_rows[2][8];
  int32_t fwd_cols[8][4];
  int32_t inv_cols[4][4];
  int32_t inv_rows[4][8];
};
constexpr int PAIR_A[4] = {0, 4, 1, 5}, PAIR_B[4] = {2, 6, 3, 7};
constexpr weights8_t make_weights8() {
  weights8_t t{};
  for (int p = 0; p < 2; p++)
    for (int k = 0; k < 8; k++) t.fwd_rows[p][k] = pair32(M8[k * 8 + 2 * p], M8[k * 8 + 2 * p + 1]);
  for (int v = 0; v < 8; v++)
    for (int q = 0; q < 4; q++) t.fwd_cols[v][q] = pair32(M8[v * 8 + 2 * q], M8[v * 8 + 2 * q + 1]);
  for (int i = 0; i < 4; i++)
    for (int y = 0; y < 4; y++) {
      t.inv_cols[i][y] = pair32(M8[PAIR_A[i] * 8 + y], M8[PAIR_B[i] * 8 + y]);
      t.inv_rows[i][y] = t.inv_rows[i][4 + y] = t.inv_cols[i][y];
    }
  return t;
}
inline constexpr weights8_t w8 = make_weights8();

inline __m256i load256(const void *p) { return _mm256_load_si256(reinterpret_cast<const __m256i *>(p)); }
inline __m128i load64(const void *p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)); }
inline __m128i load128(const void *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }

// ------------------------------------------------------------------ forward
// rows(q): residual rows 2q and 2q + 1 as [row 2q | row 2q + 1].  Writes
// the K x K low-frequency corner (K 8 or 4) and nothing else.
// The column pass takes M[v][7-y] = (-1)^v M[v][y]: even v from E(y) =
// T[y] + T[7-y], odd v from O(y) = T[y] - T[7-y] (y < 4), half the
// products of the direct sums.  Rows 4-7 are interleaved in the swapped
// order (T[5], T[4]) and (T[7], T[6]), so that E and O of a pair of y are
// one add and one subtract of two interleaved registers.  E and O are
// exact in 16 bits while every |T| < 16384 (all but near-flat residuals of
// 128 and more); a block with a larger T takes the direct sums.
template <int K, typename Rows>
inline void forward8(Rows rows, int16_t *coef) {
  const pass_rounds_t *rounds = opaque_rounds();
  const __m256i reverse = _mm256_setr_epi8(14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1, 14, 15, 12, 13, 10,
                                           11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1);
  // packs leaves [row a k0-3, row b k0-3 | k4-7 likewise]; pairs per k,
  // row a first or row b first.
  const __m256i interleave = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15, 0, 1, 8, 9, 2, 3,
                                              10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
  const __m256i swapped = _mm256_setr_epi8(8, 9, 0, 1, 10, 11, 2, 3, 12, 13, 4, 5, 14, 15, 6, 7, 8, 9, 0, 1, 10, 11,
                                           2, 3, 12, 13, 4, 5, 14, 15, 6, 7);
  const __m256i w0 = load256(w8.fwd_rows[0]), w1 = load256(w8.fwd_rows[1]);
  __m256i inter[4], large = _mm256_setzero_si256();
  for (int q = 0; q < 4; q++) {
    const __m256i r = rows(q), rr = _mm256_shuffle_epi8(r, reverse);
    // Per half: [E0 E1, O0 O1, E2 E3, O2 O3].
    const __m256i groups = _mm256_unpacklo_epi32(_mm256_add_epi16(r, rr), _mm256_sub_epi16(r, rr));
    const __m256i t0 = round_shift_by<2>(_mm256_add_epi32(_mm256_madd_epi16(_mm256_permute4x64_epi64(groups, 0x00), w0),
                                                          _mm256_madd_epi16(_mm256_permute4x64_epi64(groups, 0x55), w1)),
                                         rounds);
    const __m256i t1 = round_shift_by<2>(_mm256_add_epi32(_mm256_madd_epi16(_mm256_permute4x64_epi64(groups, 0xAA), w0),
                                                          _mm256_madd_epi16(_mm256_permute4x64_epi64(groups, 0xFF), w1)),
                                         rounds);
    const __m256i packed = _mm256_packs_epi32(t0, t1);
    large = _mm256_or_si256(large, _mm256_abs_epi16(packed));
    inter[q] = _mm256_shuffle_epi8(packed, q < 2 ? interleave : swapped);
  }
  auto store_rows = [&](int v, __m256i a, __m256i b) {
    const __m256i out =
        _mm256_permute4x64_epi64(_mm256_packs_epi32(round_shift_by<9>(a, rounds), round_shift_by<9>(b, rounds)), 0xD8);
    if constexpr (K == 8) {
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(coef + 8 * v), out);
    } else {
      _mm_storel_epi64(reinterpret_cast<__m128i *>(coef + 8 * v), _mm256_castsi256_si128(out));
      _mm_storel_epi64(reinterpret_cast<__m128i *>(coef + 8 * v + 8), _mm256_extracti128_si256(out, 1));
    }
  };
  auto weight = [](int v, int q) { return _mm256_set1_epi32(w8.fwd_cols[v][q]); };
  // Bits 14 and 15 of |T| are clear exactly when |T| < 16384.
  if (_mm256_testz_si256(large, _mm256_set1_epi16(static_cast<int16_t>(0xC000)))) {
    const __m256i e01 = _mm256_add_epi16(inter[0], inter[3]), e23 = _mm256_add_epi16(inter[1], inter[2]);
    const __m256i o01 = _mm256_sub_epi16(inter[0], inter[3]), o23 = _mm256_sub_epi16(inter[1], inter[2]);
    for (int v = 0; v < K; v += 2)
      store_rows(v, _mm256_add_epi32(_mm256_madd_epi16(e01, weight(v, 0)), _mm256_madd_epi16(e23, weight(v, 1))),
                 _mm256_add_epi32(_mm256_madd_epi16(o01, weight(v + 1, 0)), _mm256_madd_epi16(o23, weight(v + 1, 1))));
  } else {
    // Rows 4-7 back in their own order.
    for (int q = 2; q < 4; q++) inter[q] = _mm256_shufflelo_epi16(_mm256_shufflehi_epi16(inter[q], 0xB1), 0xB1);
    for (int v = 0; v < K; v += 2) {
      __m256i acc[2];
      for (int i = 0; i < 2; i++) {
        acc[i] = _mm256_madd_epi16(inter[0], weight(v + i, 0));
        for (int q = 1; q < 4; q++) acc[i] = _mm256_add_epi32(acc[i], _mm256_madd_epi16(inter[q], weight(v + i, q)));
      }
      store_rows(v, acc[0], acc[1]);
    }
  }
  _mm256_zeroupper();
}

struct from_residual {
  const int16_t *res;
  int32_t stride;
  __m256i operator()(int q) const {
    return _mm256_set_m128i(load128(res + (2 * q + 1) * stride), load128(res + 2 * q * stride));
  }
};
struct from_source {
  const uint8_t *src, *pred;
  __m256i operator()(int q) const {
    const __m128i s = _mm_unpacklo_epi64(load64(src + 2 * q * SRC_STRIDE), load64(src + (2 * q + 1) * SRC_STRIDE));
    const __m128i p = _mm_unpacklo_epi64(load64(pred + 2 * q * RECON_STRIDE), load64(pred + (2 * q + 1) * RECON_STRIDE));
    return _mm256_sub_epi16(_mm256_cvtepu8_epi16(s), _mm256_cvtepu8_epi16(p));
  }
};

// ------------------------------------------------------------------ inverse
// out(y, [samples of row y | samples of row 7 - y]) for y < 4, from the
// K x K corner (K 8 or 4; with 4, nothing outside it is read and the pairs
// of rows and columns 4-7 are left out).
template <int K, typename Out>
inline void inverse8(const int16_t *coef, Out out) {
  const pass_rounds_t *rounds = opaque_rounds();
  __m256i inter[4];
  for (int i = 0; i < 4; i++) {
    if (K == 4 && (i & 1)) {
      inter[i] = _mm256_setzero_si256();
      continue;
    }
    if constexpr (K == 8) {
      const __m128i a = load128(coef + 8 * PAIR_A[i]), b = load128(coef + 8 * PAIR_B[i]);
      inter[i] = _mm256_set_m128i(_mm_unpackhi_epi16(a, b), _mm_unpacklo_epi16(a, b));
    } else {
      const __m128i a = load64(coef + 8 * PAIR_A[i]), b = load64(coef + 8 * PAIR_B[i]);
      inter[i] = _mm256_set_m128i(_mm_setzero_si128(), _mm_unpacklo_epi16(a, b));
    }
  }
  // Columns in the order 0, 2, 4, 6 | 1, 3, 5, 7 within each half.
  const __m256i parity = _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15, 0, 1, 4, 5, 8, 9, 12,
                                          13, 2, 3, 6, 7, 10, 11, 14, 15);
  const __m256i r0 = load256(w8.inv_rows[0]), r1 = load256(w8.inv_rows[1]);
  const __m256i r2 = load256(w8.inv_rows[2]), r3 = load256(w8.inv_rows[3]);
  for (int y = 0; y < 4; y++) {
    __m256i e = _mm256_madd_epi16(inter[0], _mm256_set1_epi32(w8.inv_cols[0][y]));
    __m256i o = _mm256_madd_epi16(inter[2], _mm256_set1_epi32(w8.inv_cols[2][y]));
    if constexpr (K == 8) {
      e = _mm256_add_epi32(e, _mm256_madd_epi16(inter[1], _mm256_set1_epi32(w8.inv_cols[1][y])));
      o = _mm256_add_epi32(o, _mm256_madd_epi16(inter[3], _mm256_set1_epi32(w8.inv_cols[3][y])));
    }
    // [G row y | G row 7 - y], columns by parity.
    const __m256i g = _mm256_shuffle_epi8(
        _mm256_permute4x64_epi64(
            _mm256_packs_epi32(round_shift_by<7>(_mm256_add_epi32(e, o), rounds), round_shift_by<7>(_mm256_sub_epi32(e, o), rounds)), 0xD8),
        parity);
    __m256i re = _mm256_madd_epi16(_mm256_shuffle_epi32(g, 0x00), r0);
    __m256i ro = _mm256_madd_epi16(_mm256_shuffle_epi32(g, 0xAA), r2);
    if constexpr (K == 8) {
      re = _mm256_add_epi32(re, _mm256_madd_epi16(_mm256_shuffle_epi32(g, 0x55), r1));
      ro = _mm256_add_epi32(ro, _mm256_madd_epi16(_mm256_shuffle_epi32(g, 0xFF), r3));
    }
    // Samples 0-3, then 4-7 (7 - x from the difference at x, reversed).
    const __m256i first = round_shift_by<12>(_mm256_add_epi32(re, ro), rounds);
    const __m256i second = round_shift_by<12>(_mm256_shuffle_epi32(_mm256_sub_epi32(re, ro), 0x1B), rounds);
    out(y, _mm256_packs_epi32(first, second));
  }
  _mm256_zeroupper();
}

struct to_residual {
  int16_t *res;
  int32_t stride;
  void operator()(int y, __m256i rows) const {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(res + y * stride), _mm256_castsi256_si128(rows));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(res + (7 - y) * stride), _mm256_extracti128_si256(rows, 1));
  }
};
// The saturating 16-bit add and the unsigned narrowing clip as the portable
// function's clamp does.
struct to_recon {
  uint8_t *recon;
  void operator()(int y, __m256i rows) const {
    uint8_t *a = recon + y * RECON_STRIDE, *b = recon + (7 - y) * RECON_STRIDE;
    const __m256i s = _mm256_adds_epi16(_mm256_cvtepu8_epi16(_mm_unpacklo_epi64(load64(a), load64(b))), rows);
    const __m256i p = _mm256_packus_epi16(s, s);
    _mm_storel_epi64(reinterpret_cast<__m128i *>(a), _mm256_castsi256_si128(p));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(b), _mm256_extracti128_si256(p, 1));
  }
};

}  // namespace

void dct_fwd_core_8x8_avx2(const int16_t *res, int16_t *coef, int32_t stride) { forward8<8>(from_residual{res, stride}, coef); }
void dct_fwd_low_core_8x8_avx2(const int16_t *res, int16_t *coef, int32_t stride) { forward8<4>(from_residual{res, stride}, coef); }
void dct_fwd_8x8_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred) { forward8<8>(from_source{src, pred}, coef); }
// The low-frequency slots write (read) their own corner whatever the
// argument says, as the portable functions do.
void dct_fwd_low_8x8_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t) { forward8<4>(from_source{src, pred}, coef); }
void dct_inv_core_8x8_avx2(const int16_t *coef, int16_t *res, int32_t stride) { inverse8<8>(coef, to_residual{res, stride}); }
void dct_inv_low_core_8x8_avx2(const int16_t *coef, int16_t *res, int32_t stride) { inverse8<4>(coef, to_residual{res, stride}); }
// A block whose non-zero coefficients all lie in the 4x4 corner (most coded
// ones) takes the corner's passes: the zeros outside add nothing.
void dct_inv_add_8x8_avx2(uint8_t *recon, const int16_t *coef) {
  const __m256i r01 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(coef));
  const __m256i r23 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(coef + 16));
  const __m256i r45 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(coef + 32));
  const __m256i r67 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(coef + 48));
  // Columns 4-7 of rows 0-3, and rows 4-7 whole.
  const __m256i right = _mm256_setr_epi16(0, 0, 0, 0, -1, -1, -1, -1, 0, 0, 0, 0, -1, -1, -1, -1);
  const __m256i outside = _mm256_or_si256(_mm256_and_si256(_mm256_or_si256(r01, r23), right), _mm256_or_si256(r45, r67));
  if (_mm256_testz_si256(outside, outside))
    inverse8<4>(coef, to_recon{recon});
  else
    inverse8<8>(coef, to_recon{recon});
}
void dct_inv_add_low_8x8_avx2(uint8_t *recon, const int16_t *coef, int32_t) { inverse8<4>(coef, to_recon{recon}); }
