// The 4x4 forward and inverse transforms of the AVX2 tier with the whole
// block in one 256-bit register: sixteen residuals or coefficients, rows in
// order, two rows to each 128-bit half.  Each pass is four multiply-adds
// against constant tables built from the pass's matrix, so the DCT, the
// DST-VII and a mode whose passes differ all take the same code.
//
// Two pass shapes, both out = sat16((sum_i w * in + round) >> shift):
// - along rows: out[y][k] = sum_x in[y][x] W[k][x].  Each row's pairs
//   (x0, x1) and (x2, x3) are broadcast over the four k of the row; the
//   multiply-adds against (W[k][0], W[k][1]) and (W[k][2], W[k][3]) sum to
//   the four outputs.
// - along columns: out[o][u] = sum_i W[o][i] in[i][u].  A shuffle pairs the
//   column values (in[0][u], in[1][u]) and (in[2][u], in[3][u]); each pair
//   set is copied to both halves, and the multiply-adds against (W[o][0],
//   W[o][1]) and (W[o][2], W[o][3]) give two output rows per register.
// The sums are exact in 32 bits (four products of an int16 value and a
// weight of magnitude <= 90), and the saturating narrowing is the clip the
// portable functions apply after each pass, so every result equals theirs.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "simd/x86/transform/transform4_matrices.h"
#include "simd/x86/transform/transform_kernels.h"
#include "simd/x86/transform/transform_rounds.h"

namespace {

// Weights of a row pass: lo[k] = (W[k][0], W[k][1]), hi[k] = (W[k][2],
// W[k][3]), the same in both halves.
struct alignas(32) row_weights_t {
  int16_t lo[16], hi[16];
};
constexpr row_weights_t make_row_weights(const mat4_t &w) {
  row_weights_t t{};
  for (int half = 0; half < 2; half++)
    for (int k = 0; k < 4; k++) {
      t.lo[8 * half + 2 * k] = w[k][0];
      t.lo[8 * half + 2 * k + 1] = w[k][1];
      t.hi[8 * half + 2 * k] = w[k][2];
      t.hi[8 * half + 2 * k + 1] = w[k][3];
    }
  return t;
}

// Weights of a column pass: register a makes output rows 0 | 2, register b
// rows 1 | 3; lo pairs inputs 0 and 1, hi inputs 2 and 3, repeated over the
// four columns.
struct alignas(32) col_weights_t {
  int16_t a_lo[16], a_hi[16], b_lo[16], b_hi[16];
};
constexpr col_weights_t make_col_weights(const mat4_t &w) {
  col_weights_t t{};
  for (int half = 0; half < 2; half++)
    for (int u = 0; u < 4; u++) {
      const int i = 8 * half + 2 * u, oa = 2 * half, ob = 2 * half + 1;
      t.a_lo[i] = w[oa][0], t.a_lo[i + 1] = w[oa][1];
      t.a_hi[i] = w[oa][2], t.a_hi[i + 1] = w[oa][3];
      t.b_lo[i] = w[ob][0], t.b_lo[i + 1] = w[ob][1];
      t.b_hi[i] = w[ob][2], t.b_hi[i + 1] = w[ob][3];
    }
  return t;
}

using tables = pass_tables4<row_weights_t, col_weights_t, make_row_weights, make_col_weights>;

// Each mode's four pass tables, so that a call finds its weights with one
// load per pass instead of testing the mode's choice.
struct mode_tables_t {
  const row_weights_t *fwd_rows[40], *inv_rows[40];
  const col_weights_t *fwd_cols[40], *inv_cols[40];
};
constexpr mode_tables_t make_mode_tables() {
  mode_tables_t t{};
  for (int m = 0; m < 40; m++) {
    const int r = dst_4x4_choice_rows[m] ? 1 : 0, c = dst_4x4_choice_cols[m] ? 1 : 0;
    t.fwd_rows[m] = &tables::fwd_rows[r];
    t.inv_rows[m] = &tables::inv_rows[r];
    t.fwd_cols[m] = &tables::fwd_cols[c];
    t.inv_cols[m] = &tables::inv_cols[c];
  }
  return t;
}
constexpr mode_tables_t by_mode = make_mode_tables();

inline __m256i load_w(const int16_t *p) { return _mm256_load_si256(reinterpret_cast<const __m256i *>(p)); }

// The sixteen outputs of a row pass, rows in order.
template <int SH>
inline __m256i row_pass(__m256i in, const row_weights_t &w, const pass_rounds_t *r) {
  const __m256i lo = load_w(w.lo), hi = load_w(w.hi);
  // Rows 0 | 2, then 1 | 3.
  const __m256i r02 = _mm256_add_epi32(_mm256_madd_epi16(_mm256_shuffle_epi32(in, 0x00), lo),
                                       _mm256_madd_epi16(_mm256_shuffle_epi32(in, 0x55), hi));
  const __m256i r13 = _mm256_add_epi32(_mm256_madd_epi16(_mm256_shuffle_epi32(in, 0xAA), lo),
                                       _mm256_madd_epi16(_mm256_shuffle_epi32(in, 0xFF), hi));
  return _mm256_packs_epi32(round_shift_by<SH>(r02, r), round_shift_by<SH>(r13, r));
}

// The sixteen outputs of a column pass, rows in order.
template <int SH>
inline __m256i col_pass(__m256i in, const col_weights_t &w, const pass_rounds_t *r) {
  // Per half: (row a, row b) of each column, the halves holding rows 0, 1
  // and rows 2, 3.
  const __m256i pairs = _mm256_shuffle_epi8(
      in, _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15, 0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12,
                           13, 6, 7, 14, 15));
  const __m256i p01 = _mm256_permute4x64_epi64(pairs, 0x44), p23 = _mm256_permute4x64_epi64(pairs, 0xEE);
  const __m256i a = _mm256_add_epi32(_mm256_madd_epi16(p01, load_w(w.a_lo)), _mm256_madd_epi16(p23, load_w(w.a_hi)));
  const __m256i b = _mm256_add_epi32(_mm256_madd_epi16(p01, load_w(w.b_lo)), _mm256_madd_epi16(p23, load_w(w.b_hi)));
  // a: rows 0 | 2, b: rows 1 | 3; the pack interleaves them back in order.
  return _mm256_packs_epi32(round_shift_by<SH>(a, r), round_shift_by<SH>(b, r));
}

// Four rows of four bytes, rows `stride` apart, as sixteen 16-bit values.
inline __m256i load_rows4(const uint8_t *p, int32_t stride) {
  int32_t r[4];
  for (int y = 0; y < 4; y++) std::memcpy(&r[y], p + y * stride, 4);
  const __m128i v = _mm_setr_epi32(r[0], r[1], r[2], r[3]);
  return _mm256_cvtepu8_epi16(v);
}

}  // namespace

void dct_fwd_4x4_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t mode) {
  const __m256i res = _mm256_sub_epi16(load_rows4(src, SRC_STRIDE), load_rows4(pred, RECON_STRIDE));
  const pass_rounds_t *r = opaque_rounds();
  const __m256i t = row_pass<1>(res, *by_mode.fwd_rows[mode], r);
  const __m256i c = col_pass<8>(t, *by_mode.fwd_cols[mode], r);
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(coef), c);
}

void dct_inv_add_4x4_avx2(uint8_t *recon, const int16_t *coef, int32_t mode) {
  const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(coef));
  const pass_rounds_t *r = opaque_rounds();
  const __m256i g = col_pass<7>(c, *by_mode.inv_cols[mode], r);
  const __m256i res = row_pass<12>(g, *by_mode.inv_rows[mode], r);
  // The saturating add and the unsigned narrowing clip as the portable
  // function's clamp does.
  const __m256i sum = _mm256_adds_epi16(load_rows4(recon, RECON_STRIDE), res);
  const __m128i bytes = _mm_packus_epi16(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
  const int32_t rows[4] = {_mm_cvtsi128_si32(bytes), _mm_extract_epi32(bytes, 1), _mm_extract_epi32(bytes, 2),
                     _mm_extract_epi32(bytes, 3)};
  for (int y = 0; y < 4; y++) std::memcpy(recon + y * RECON_STRIDE, &rows[y], 4);
}
