// Portable forward and inverse transforms (H.265 8.6.4.2 and its forward
// counterpart), the reference results of every vector transform kernel.
#include <algorithm>
#include <array>
#include <cstdlib>

#include "common/dct_matrix.h"
#include "common/primitives.h"
#include "simd/x86/simd_install.h"

namespace {

template <int N>
constexpr const int16_t *dct_odd_rows() {
  if constexpr (N == 4) return &dct_odd_4[0][0];
  if constexpr (N == 8) return &dct_odd_8[0][0];
  if constexpr (N == 16) return &dct_odd_16[0][0];
  return &dct_odd_32[0][0];
}

// y[k] = sum_i M[k][i] x[i], exact.  Magnitudes stay below 2^27 for every
// input that the transforms pass in, so 32 bits suffice.
template <int N>
void dct_1d_fwd(const int32_t *x, int32_t *y) {
  if constexpr (N == 2) {
    y[0] = 64 * (x[0] + x[1]);
    y[1] = 64 * (x[0] - x[1]);
  } else {
    constexpr int h = N / 2;
    int32_t even[h], odd[h], even_out[h];
    for (int i = 0; i < h; i++) {
      even[i] = x[i] + x[N - 1 - i];
      odd[i] = x[i] - x[N - 1 - i];
    }
    dct_1d_fwd<h>(even, even_out);
    const int16_t *rows = dct_odd_rows<N>();
    for (int j = 0; j < h; j++) {
      int32_t s = 0;
      for (int i = 0; i < h; i++) s += rows[j * h + i] * odd[i];
      y[2 * j + 1] = s;
      y[2 * j] = even_out[j];
    }
  }
}

// x[i] = sum_k M[k][i] y[k], exact.
template <int N>
void dct_1d_inv(const int32_t *y, int32_t *x) {
  if constexpr (N == 2) {
    x[0] = 64 * (y[0] + y[1]);
    x[1] = 64 * (y[0] - y[1]);
  } else {
    constexpr int h = N / 2;
    int32_t even_in[h], even[h];
    for (int j = 0; j < h; j++) even_in[j] = y[2 * j];
    dct_1d_inv<h>(even_in, even);
    const int16_t *rows = dct_odd_rows<N>();
    for (int i = 0; i < h; i++) {
      int32_t odd = 0;
      for (int j = 0; j < h; j++) odd += rows[j * h + i] * y[2 * j + 1];
      x[i] = even[i] + odd;
      x[N - 1 - i] = even[i] - odd;
    }
  }
}

void dst_1d_fwd(const int32_t *x, int32_t *y) {
  for (int k = 0; k < 4; k++) {
    int32_t s = 0;
    for (int i = 0; i < 4; i++) s += dst_matrix_4[k][i] * x[i];
    y[k] = s;
  }
}

void dst_1d_inv(const int32_t *y, int32_t *x) {
  for (int i = 0; i < 4; i++) {
    int32_t s = 0;
    for (int k = 0; k < 4; k++) s += dst_matrix_4[k][i] * y[k];
    x[i] = s;
  }
}

using transform_1d = void (*)(const int32_t *in, int32_t *out);

inline int32_t round_shift(int32_t v, int shift) { return (v + (1 << (shift - 1))) >> shift; }
inline int32_t clip16(int32_t v) { return std::clamp<int32_t>(v, -32768, 32767); }

// Rows first (shift log2 N - 1), then columns (shift log2 N + 6); the result
// of each pass is held to int16 as the vector kernels hold it, which never
// bites for residuals of 8-bit samples.
void forward_2d(int32_t *out, const uint8_t *src, const uint8_t *pred, int log2, transform_1d rows, transform_1d cols) {
  const int n = 1 << log2;
  int32_t tmp[32 * 32], line[32], res[32];
  for (int y = 0; y < n; y++) {
    for (int x = 0; x < n; x++) line[x] = src[y * SRC_STRIDE + x] - pred[y * RECON_STRIDE + x];
    rows(line, res);
    for (int u = 0; u < n; u++) tmp[y * n + u] = clip16(round_shift(res[u], log2 - 1));
  }
  for (int u = 0; u < n; u++) {
    for (int y = 0; y < n; y++) line[y] = tmp[y * n + u];
    cols(line, res);
    for (int v = 0; v < n; v++) out[v * n + u] = clip16(round_shift(res[v], log2 + 6));
  }
}

// H.265 8.6.4.2: columns first (shift 7, the intermediate clipped to the
// int16 coefficient range), then rows (shift 12), then added to the
// prediction in place.
void inverse_2d_add(uint8_t *recon, const int16_t *coef, int log2, transform_1d cols, transform_1d rows) {
  const int n = 1 << log2;
  int32_t tmp[32 * 32], line[32], res[32];
  for (int u = 0; u < n; u++) {
    for (int v = 0; v < n; v++) line[v] = coef[v * n + u];
    cols(line, res);
    for (int y = 0; y < n; y++) tmp[y * n + u] = clip16(round_shift(res[y], 7));
  }
  for (int y = 0; y < n; y++) {
    rows(tmp + y * n, res);
    uint8_t *row = recon + y * RECON_STRIDE;
    for (int x = 0; x < n; x++)
      row[x] = static_cast<uint8_t>(std::clamp<int32_t>(row[x] + round_shift(res[x], 12), 0, 255));
  }
}

template <int LOG2>
void dct_fwd_c(int16_t *coef, const uint8_t *src, const uint8_t *pred) {
  constexpr int n = 1 << LOG2;
  int32_t out[n * n];
  forward_2d(out, src, pred, LOG2, dct_1d_fwd<n>, dct_1d_fwd<n>);
  for (int k = 0; k < n * n; k++) coef[k] = static_cast<int16_t>(out[k]);
}

// Writes only the K x K low-frequency corner; the rest of the block is left
// as the caller had it.
template <int LOG2, int K>
void dct_fwd_low_c(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t /*low_size*/) {
  constexpr int n = 1 << LOG2;
  int32_t out[n * n];
  forward_2d(out, src, pred, LOG2, dct_1d_fwd<n>, dct_1d_fwd<n>);
  for (int v = 0; v < K; v++)
    for (int u = 0; u < K; u++) coef[v * n + u] = static_cast<int16_t>(out[v * n + u]);
}

template <int LOG2>
void dct_inv_add_c(uint8_t *recon, const int16_t *coef) {
  inverse_2d_add(recon, coef, LOG2, dct_1d_inv<1 << LOG2>, dct_1d_inv<1 << LOG2>);
}

// Reads only the K x K corner; everything outside it counts as zero.
template <int LOG2, int K>
void dct_inv_add_low_c(uint8_t *recon, const int16_t *coef, int32_t /*low_size*/) {
  constexpr int n = 1 << LOG2;
  int16_t full[n * n] = {};
  for (int v = 0; v < K; v++)
    for (int u = 0; u < K; u++) full[v * n + u] = coef[v * n + u];
  inverse_2d_add(recon, full, LOG2, dct_1d_inv<n>, dct_1d_inv<n>);
}

void dct_fwd_4x4_c(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t mode) {
  int32_t out[16];
  forward_2d(out, src, pred, 2, dst_4x4_choice_rows[mode] ? dst_1d_fwd : dct_1d_fwd<4>,
             dst_4x4_choice_cols[mode] ? dst_1d_fwd : dct_1d_fwd<4>);
  for (int k = 0; k < 16; k++) coef[k] = static_cast<int16_t>(out[k]);
}

void dct_inv_add_4x4_c(uint8_t *recon, const int16_t *coef, int32_t mode) {
  inverse_2d_add(recon, coef, 2, dst_4x4_choice_cols[mode] ? dst_1d_inv : dct_1d_inv<4>,
                 dst_4x4_choice_rows[mode] ? dst_1d_inv : dct_1d_inv<4>);
}

// A rough rate proxy: one unit per 4x4 group, and for a group with any
// non-zero coefficient 16 more plus its magnitudes (-32768 counting 32768).
uint32_t coeff_cost_c(const int16_t *coef, int32_t log2_size) {
  const int n = 1 << log2_size;
  uint32_t cost = static_cast<uint32_t>(n * n / 16);
  for (int gy = 0; gy < n; gy += 4) {
    for (int gx = 0; gx < n; gx += 4) {
      uint32_t group = 0;
      bool nonzero = false;
      for (int y = 0; y < 4; y++) {
        for (int x = 0; x < 4; x++) {
          const int32_t c = coef[(gy + y) * n + gx + x];
          group += static_cast<uint32_t>(std::abs(c));
          nonzero |= c != 0;
        }
      }
      if (nonzero) cost += 16 + group;
    }
  }
  return cost;
}

}  // namespace

void setup_transform_primitives(uint32_t cpu_flags, transform_funcs_t *t) {
  t->dct_fwd_4x4 = dct_fwd_4x4_c;
  t->dct_inv_add_4x4 = dct_inv_add_4x4_c;
  t->dct_fwd_8x8 = dct_fwd_c<3>;
  t->dct_fwd_low_8x8 = dct_fwd_low_c<3, 4>;
  t->dct_inv_add_8x8 = dct_inv_add_c<3>;
  t->dct_inv_add_low_8x8 = dct_inv_add_low_c<3, 4>;
  t->dct_fwd_16x16 = dct_fwd_c<4>;
  t->dct_fwd_low_16x16 = dct_fwd_low_c<4, 8>;
  t->dct_inv_add_16x16 = dct_inv_add_c<4>;
  t->dct_inv_add_low_16x16 = dct_inv_add_low_c<4, 8>;
  t->dct_fwd_32x32 = dct_fwd_c<5>;
  t->dct_fwd_low_32x32 = dct_fwd_low_c<5, 8>;
  t->dct_inv_add_32x32 = dct_inv_add_c<5>;
  t->dct_inv_add_low_32x32 = dct_inv_add_low_c<5, 8>;
  t->coeff_cost = coeff_cost_c;
  if (cpu_flags & CPU_FLAG_SSSE3) install_transform_ssse3(t);
  if (cpu_flags & CPU_FLAG_AVX2) install_transform_avx2(t);
}
