// The 4x4 forward and inverse transforms of the SSSE3 tier: the block in two
// 128-bit registers (rows 0-1 and rows 2-3), every multiply-add in the lane
// of its own output (no horizontal additions).  Each pass is eight
// multiply-adds against constant tables built from the pass's matrix, so the
// DCT, the DST-VII and a mode whose passes differ all take the same code.
//
// Two pass shapes, both out = sat16((sum_i w * in + round) >> shift):
// - along rows: out[y][k] = sum_x in[y][x] W[k][x].  Each row's pairs
//   (x0, x1) and (x2, x3) are broadcast over the four k of the row; the
//   multiply-adds against (W[k][0], W[k][1]) and (W[k][2], W[k][3]) sum to
//   the four outputs.
// - along columns: out[o][u] = sum_i W[o][i] in[i][u].  A shuffle pairs the
//   column values (in[0][u], in[1][u]) and (in[2][u], in[3][u]); the
//   multiply-adds against (W[o][0], W[o][1]) and (W[o][2], W[o][3]) give
//   output row o.
// The sums are exact in 32 bits (four products of an int16 value and a
// weight of magnitude <= 90), and the saturating narrowing is the clip the
// portable functions apply after each pass, so every result equals theirs.
#include <tmmintrin.h>

#include <cstdint>
#include <cstring>

#include "simd/x86/transform/transform4_matrices.h"
#include "simd/x86/transform/transform_kernels.h"

namespace {

// Weights of a row pass: lo[k] = (W[k][0], W[k][1]), hi[k] = (W[k][2],
// W[k][3]).
struct alignas(16) row_weights_t {
  int16_t lo[8], hi[8];
};
constexpr row_weights_t make_row_weights(const mat4_t &w) {
  row_weights_t t{};
  for (int k = 0; k < 4; k++) {
    t.lo[2 * k] = w[k][0], t.lo[2 * k + 1] = w[k][1];
    t.hi[2 * k] = w[k][2], t.hi[2 * k + 1] = w[k][3];
  }
  return t;
}

// Weights of a column pass: [o][0] pairs inputs 0 and 1, [o][1] inputs 2
// and 3, for output row o, repeated over the four columns.
struct alignas(16) col_weights_t {
  int16_t v[4][2][8];
};
constexpr col_weights_t make_col_weights(const mat4_t &w) {
  col_weights_t t{};
  for (int o = 0; o < 4; o++)
    for (int u = 0; u < 4; u++)
      for (int h = 0; h < 2; h++) {
        t.v[o][h][2 * u] = w[o][2 * h];
        t.v[o][h][2 * u + 1] = w[o][2 * h + 1];
      }
  return t;
}

using tables = pass_tables4<row_weights_t, col_weights_t, make_row_weights, make_col_weights>;

inline __m128i load_w(const int16_t *p) { return _mm_load_si128(reinterpret_cast<const __m128i *>(p)); }

template <int SH>
inline __m128i round_shift(__m128i v) {
  return _mm_srai_epi32(_mm_add_epi32(v, _mm_set1_epi32(1 << (SH - 1))), SH);
}

// Rows 0-1 and 2-3 of a block.
struct block4_t {
  __m128i r01, r23;
};

// The two rows of `in` through a row pass, in order.
template <int SH>
inline __m128i row_pair(__m128i in, __m128i lo, __m128i hi) {
  const __m128i a = _mm_add_epi32(_mm_madd_epi16(_mm_shuffle_epi32(in, 0x00), lo),
                                  _mm_madd_epi16(_mm_shuffle_epi32(in, 0x55), hi));
  const __m128i b = _mm_add_epi32(_mm_madd_epi16(_mm_shuffle_epi32(in, 0xAA), lo),
                                  _mm_madd_epi16(_mm_shuffle_epi32(in, 0xFF), hi));
  return _mm_packs_epi32(round_shift<SH>(a), round_shift<SH>(b));
}
template <int SH>
inline block4_t row_pass(block4_t in, const row_weights_t &w) {
  const __m128i lo = load_w(w.lo), hi = load_w(w.hi);
  return {row_pair<SH>(in.r01, lo, hi), row_pair<SH>(in.r23, lo, hi)};
}

// The four rows of a column pass, in order.
template <int SH>
inline block4_t col_pass(block4_t in, const col_weights_t &w) {
  // (row a, row b) of each column.
  const __m128i pair = _mm_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
  const __m128i p01 = _mm_shuffle_epi8(in.r01, pair), p23 = _mm_shuffle_epi8(in.r23, pair);
  __m128i out[4];
  for (int o = 0; o < 4; o++)
    out[o] = round_shift<SH>(
        _mm_add_epi32(_mm_madd_epi16(p01, load_w(w.v[o][0])), _mm_madd_epi16(p23, load_w(w.v[o][1]))));
  return {_mm_packs_epi32(out[0], out[1]), _mm_packs_epi32(out[2], out[3])};
}

// Four rows of four bytes, rows `stride` apart, as sixteen 16-bit values
// (each row by a 32-bit move: a vector built from scalars in memory would
// wait on the stores).
inline __m128i load_bytes4(const uint8_t *p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return _mm_cvtsi32_si128(v);
}
inline block4_t load_rows4(const uint8_t *p, int32_t stride) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i r01 = _mm_unpacklo_epi32(load_bytes4(p), load_bytes4(p + stride));
  const __m128i r23 = _mm_unpacklo_epi32(load_bytes4(p + 2 * stride), load_bytes4(p + 3 * stride));
  return {_mm_unpacklo_epi8(r01, zero), _mm_unpacklo_epi8(r23, zero)};
}

}  // namespace

void dct_fwd_4x4_ssse3(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t mode) {
  const block4_t s = load_rows4(src, SRC_STRIDE), p = load_rows4(pred, RECON_STRIDE);
  const block4_t t = row_pass<1>({_mm_sub_epi16(s.r01, p.r01), _mm_sub_epi16(s.r23, p.r23)},
                                 tables::fwd_rows[dst_4x4_choice_rows[mode] ? 1 : 0]);
  const block4_t c = col_pass<8>(t, tables::fwd_cols[dst_4x4_choice_cols[mode] ? 1 : 0]);
  _mm_storeu_si128(reinterpret_cast<__m128i *>(coef), c.r01);
  _mm_storeu_si128(reinterpret_cast<__m128i *>(coef + 8), c.r23);
}

void dct_inv_add_4x4_ssse3(uint8_t *recon, const int16_t *coef, int32_t mode) {
  const block4_t c = {_mm_loadu_si128(reinterpret_cast<const __m128i *>(coef)),
                      _mm_loadu_si128(reinterpret_cast<const __m128i *>(coef + 8))};
  const block4_t g = col_pass<7>(c, tables::inv_cols[dst_4x4_choice_cols[mode] ? 1 : 0]);
  const block4_t res = row_pass<12>(g, tables::inv_rows[dst_4x4_choice_rows[mode] ? 1 : 0]);
  // The saturating add and the unsigned narrowing clip as the portable
  // function's clamp does.
  const block4_t p = load_rows4(recon, RECON_STRIDE);
  __m128i bytes = _mm_packus_epi16(_mm_adds_epi16(p.r01, res.r01), _mm_adds_epi16(p.r23, res.r23));
  for (int y = 0; y < 4; y++, bytes = _mm_srli_si128(bytes, 4)) {
    const int32_t row = _mm_cvtsi128_si32(bytes);
    std::memcpy(recon + y * RECON_STRIDE, &row, 4);
  }
}
