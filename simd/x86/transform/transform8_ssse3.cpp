// The 8x8 forward and inverse DCT of the SSSE3 tier with every multiply-add
// in the lane of its own output (no horizontal additions): the AVX2 tier's
// scheme (transform8_avx2.cpp) with one row to a 128-bit register.
//
// Forward.  Rows (shift 2): a residual row becomes E[j] = r[j] + r[7-j] and
// O[j] = r[j] - r[7-j] (j < 4, exact in 16 bits), grouped as (E pair p,
// O pair p); doubled over a vector, a group puts E's pair in the lanes of
// the even frequencies and O's in the odd ones, and one multiply-add against
// (M[k][2p], M[k][2p+1]) in lane k adds pair p to four frequencies.
// Columns (shift 9): two first-pass rows interleaved per frequency, one
// multiply-add against the pair (M[v][y], M[v][y+1]) adds both to four
// columns of output row v.
// Inverse.  Columns (shift 7): coefficient rows of one parity interleaved,
// (C[v][u], C[v'][u]) per lane; with M[v][7-y] = (-1)^v M[v][y] the even
// rows give E(y), the odd ones O(y), and G[y] = E + O, G[7-y] = E - O (y <
// 4).  Rows (shift 12): each intermediate row's columns reordered to pairs
// of one parity, each pair broadcast against the weights of samples x < 4;
// samples 7-x come from the differences, reversed.
// The sums are exact in 32 bits and the saturating narrowing after the
// first pass is the portable function's clip16 (after the second nothing
// reaches it), so every result equals the portable function's.
#include <tmmintrin.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "common/dct_matrix.h"
#include "common/primitives.h"
#include "simd/x86/transform/transform_kernels.h"
#include "simd/x86/transform/weight_pair.h"

namespace {

inline constexpr std::array<int16_t, 64> M8 = dct_matrix<8>();

// Forward row weights [p][half]: lane k of half h holds (M[4h + k][2p],
// M[4h + k][2p+1]).  Forward column weights [v][q]: (M[v][2q], M[v][2q+1]).
// Inverse weights [pair][y], pairs (0, 2), (4, 6), (1, 3), (5, 7):
// (M[va][y], M[vb][y]); the columns' pairs are the same, so one table
// serves both passes.
struct alignas(16) weights8_t {
  int32_t fwd_rows[2][2][4];
  int32_t fwd_cols[8][4];
  int32_t inv[4][4];
};
constexpr int PAIR_A[4] = {0, 4, 1, 5}, PAIR_B[4] = {2, 6, 3, 7};
constexpr weights8_t make_weights8() {
  weights8_t t{};
  for (int p = 0; p < 2; p++)
    for (int k = 0; k < 8; k++) t.fwd_rows[p][k / 4][k % 4] = pair32(M8[k * 8 + 2 * p], M8[k * 8 + 2 * p + 1]);
  for (int v = 0; v < 8; v++)
    for (int q = 0; q < 4; q++) t.fwd_cols[v][q] = pair32(M8[v * 8 + 2 * q], M8[v * 8 + 2 * q + 1]);
  for (int i = 0; i < 4; i++)
    for (int y = 0; y < 4; y++) t.inv[i][y] = pair32(M8[PAIR_A[i] * 8 + y], M8[PAIR_B[i] * 8 + y]);
  return t;
}
inline constexpr weights8_t w8 = make_weights8();

inline __m128i load_aligned(const void *p) { return _mm_load_si128(reinterpret_cast<const __m128i *>(p)); }
inline __m128i load64(const void *p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)); }
inline __m128i load128(const void *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
template <int SH>
inline __m128i round_shift(__m128i v) {
  return _mm_srai_epi32(_mm_add_epi32(v, _mm_set1_epi32(1 << (SH - 1))), SH);
}

// ------------------------------------------------------------------ forward
// The first pass of residual row r (8 values): T[0..7], rounded.
inline __m128i forward_row(__m128i r) {
  const __m128i rr = _mm_shuffle_epi8(r, _mm_setr_epi8(14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1));
  // [E0 E1, O0 O1, E2 E3, O2 O3].
  const __m128i groups = _mm_unpacklo_epi32(_mm_add_epi16(r, rr), _mm_sub_epi16(r, rr));
  const __m128i p0 = _mm_unpacklo_epi64(groups, groups), p1 = _mm_unpackhi_epi64(groups, groups);
  const __m128i lo = _mm_add_epi32(_mm_madd_epi16(p0, load_aligned(w8.fwd_rows[0][0])),
                                   _mm_madd_epi16(p1, load_aligned(w8.fwd_rows[1][0])));
  const __m128i hi = _mm_add_epi32(_mm_madd_epi16(p0, load_aligned(w8.fwd_rows[0][1])),
                                   _mm_madd_epi16(p1, load_aligned(w8.fwd_rows[1][1])));
  return _mm_packs_epi32(round_shift<2>(lo), round_shift<2>(hi));
}

// The whole 8x8 forward transform of residual rows row(0..7).
template <typename Row>
inline void forward8(Row row, int16_t *coef) {
  // inter[q][h]: (T[2q][k], T[2q+1][k]) for k = 4h..4h+3.
  __m128i inter[4][2];
  for (int q = 0; q < 4; q++) {
    const __m128i t0 = forward_row(row(2 * q)), t1 = forward_row(row(2 * q + 1));
    inter[q][0] = _mm_unpacklo_epi16(t0, t1);
    inter[q][1] = _mm_unpackhi_epi16(t0, t1);
  }
  for (int v = 0; v < 8; v++) {
    __m128i w = _mm_set1_epi32(w8.fwd_cols[v][0]);
    __m128i lo = _mm_madd_epi16(inter[0][0], w), hi = _mm_madd_epi16(inter[0][1], w);
    for (int q = 1; q < 4; q++) {
      w = _mm_set1_epi32(w8.fwd_cols[v][q]);
      lo = _mm_add_epi32(lo, _mm_madd_epi16(inter[q][0], w));
      hi = _mm_add_epi32(hi, _mm_madd_epi16(inter[q][1], w));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i *>(coef + 8 * v), _mm_packs_epi32(round_shift<9>(lo), round_shift<9>(hi)));
  }
}

// ------------------------------------------------------------------ inverse
// out(y, row) for every y, from the K x K corner (K 8 or 4; with 4, nothing
// outside it is read and the pairs of rows and columns 4-7 are left out).
template <int K, typename Out>
inline void inverse8(const int16_t *coef, Out out) {
  // inter[i][h]: (C[va][u], C[vb][u]) for u = 4h..4h+3.
  __m128i inter[4][2];
  for (int i = 0; i < 4; i += (K == 4 ? 2 : 1)) {
    if constexpr (K == 8) {
      const __m128i a = load128(coef + 8 * PAIR_A[i]), b = load128(coef + 8 * PAIR_B[i]);
      inter[i][0] = _mm_unpacklo_epi16(a, b);
      inter[i][1] = _mm_unpackhi_epi16(a, b);
    } else {
      inter[i][0] = _mm_unpacklo_epi16(load64(coef + 8 * PAIR_A[i]), load64(coef + 8 * PAIR_B[i]));
    }
  }
  constexpr int H = K == 8 ? 2 : 1;
  // Columns in the order 0, 2, 4, 6, 1, 3, 5, 7.
  const __m128i parity = _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15);
  const __m128i r0 = load_aligned(w8.inv[0]), r1 = load_aligned(w8.inv[1]);
  const __m128i r2 = load_aligned(w8.inv[2]), r3 = load_aligned(w8.inv[3]);
  auto row_pass = [&](int y, __m128i g) {
    g = _mm_shuffle_epi8(g, parity);
    __m128i re = _mm_madd_epi16(_mm_shuffle_epi32(g, 0x00), r0);
    __m128i ro = _mm_madd_epi16(_mm_shuffle_epi32(g, 0xAA), r2);
    if constexpr (K == 8) {
      re = _mm_add_epi32(re, _mm_madd_epi16(_mm_shuffle_epi32(g, 0x55), r1));
      ro = _mm_add_epi32(ro, _mm_madd_epi16(_mm_shuffle_epi32(g, 0xFF), r3));
    }
    // Samples 0-3, then 4-7 (7 - x from the difference at x, reversed).
    out(y, _mm_packs_epi32(round_shift<12>(_mm_add_epi32(re, ro)),
                           round_shift<12>(_mm_shuffle_epi32(_mm_sub_epi32(re, ro), 0x1B))));
  };
  for (int y = 0; y < 4; y++) {
    __m128i e[2], o[2];
    for (int h = 0; h < H; h++) {
      e[h] = _mm_madd_epi16(inter[0][h], _mm_set1_epi32(w8.inv[0][y]));
      o[h] = _mm_madd_epi16(inter[2][h], _mm_set1_epi32(w8.inv[2][y]));
      if constexpr (K == 8) {
        e[h] = _mm_add_epi32(e[h], _mm_madd_epi16(inter[1][h], _mm_set1_epi32(w8.inv[1][y])));
        o[h] = _mm_add_epi32(o[h], _mm_madd_epi16(inter[3][h], _mm_set1_epi32(w8.inv[3][y])));
      }
    }
    if constexpr (K == 8) {
      row_pass(y, _mm_packs_epi32(round_shift<7>(_mm_add_epi32(e[0], o[0])), round_shift<7>(_mm_add_epi32(e[1], o[1]))));
      row_pass(7 - y,
               _mm_packs_epi32(round_shift<7>(_mm_sub_epi32(e[0], o[0])), round_shift<7>(_mm_sub_epi32(e[1], o[1]))));
    } else {
      // Columns 4-7 are zero.
      const __m128i zero = _mm_setzero_si128();
      row_pass(y, _mm_packs_epi32(round_shift<7>(_mm_add_epi32(e[0], o[0])), zero));
      row_pass(7 - y, _mm_packs_epi32(round_shift<7>(_mm_sub_epi32(e[0], o[0])), zero));
    }
  }
}

struct from_source {
  const uint8_t *src, *pred;
  __m128i operator()(int y) const {
    const __m128i zero = _mm_setzero_si128();
    return _mm_sub_epi16(_mm_unpacklo_epi8(load64(src + y * SRC_STRIDE), zero),
                         _mm_unpacklo_epi8(load64(pred + y * RECON_STRIDE), zero));
  }
};
// The saturating 16-bit add and the unsigned narrowing clip as the portable
// function's clamp does.
struct to_recon {
  uint8_t *recon;
  void operator()(int y, __m128i row) const {
    uint8_t *d = recon + y * RECON_STRIDE;
    const __m128i s = _mm_adds_epi16(_mm_unpacklo_epi8(load64(d), _mm_setzero_si128()), row);
    _mm_storel_epi64(reinterpret_cast<__m128i *>(d), _mm_packus_epi16(s, s));
  }
};

}  // namespace

void dct_fwd_8x8_ssse3(int16_t *coef, const uint8_t *src, const uint8_t *pred) { forward8(from_source{src, pred}, coef); }
// A block whose non-zero coefficients all lie in the 4x4 corner (most coded
// ones) takes the corner's passes: the zeros outside add nothing.
void dct_inv_add_8x8_ssse3(uint8_t *recon, const int16_t *coef) {
  const __m128i right = _mm_setr_epi16(0, 0, 0, 0, -1, -1, -1, -1);
  __m128i outside = _mm_setzero_si128();
  for (int y = 0; y < 4; y++) outside = _mm_or_si128(outside, _mm_and_si128(load128(coef + 8 * y), right));
  for (int y = 4; y < 8; y++) outside = _mm_or_si128(outside, load128(coef + 8 * y));
  if (_mm_movemask_epi8(_mm_cmpeq_epi8(outside, _mm_setzero_si128())) == 0xFFFF)
    inverse8<4>(coef, to_recon{recon});
  else
    inverse8<8>(coef, to_recon{recon});
}
