// Weight tables of the lane-per-output forward 16x16 and 32x32 transforms,
// shared by the SSSE3 (four 32-bit lanes) and AVX2 (eight) kernels.  Built
// at compile time from the matrix; included by each tier's file (internal
// linkage: no tier runs another tier's compiled code).
#pragma once

#include <array>
#include <cstdint>

#include "common/dct_matrix.h"
#include "simd/x86/transform/weight_pair.h"

namespace {

// Row weights for L output lanes: entry [kb][p] is the 16-bit vector whose
// lane k' holds (M[L kb + k'][2p], M[L kb + k'][2p + 1]).
template <int N, int L>
struct alignas(32) row_weights_t {
  int16_t v[N / L][N / 4][2 * L];
};
template <int N, int L>
constexpr row_weights_t<N, L> make_row_weights() {
  constexpr std::array<int16_t, N * N> m = dct_matrix<N>();
  row_weights_t<N, L> t{};
  for (int kb = 0; kb < N / L; kb++)
    for (int p = 0; p < N / 4; p++)
      for (int l = 0; l < L; l++) {
        t.v[kb][p][2 * l] = m[(L * kb + l) * N + 2 * p];
        t.v[kb][p][2 * l + 1] = m[(L * kb + l) * N + 2 * p + 1];
      }
  return t;
}

// Column weights: [v][q] is the pair (M[v][2q], M[v][2q + 1]) as one 32-bit
// value, low half first.
template <int N>
struct col_weights_t {
  int32_t v[N][N / 2];
};
template <int N>
constexpr col_weights_t<N> make_col_weights() {
  constexpr std::array<int16_t, N * N> m = dct_matrix<N>();
  col_weights_t<N> t{};
  for (int v = 0; v < N; v++)
    for (int q = 0; q < N / 2; q++)
      t.v[v][q] = pair32(m[v * N + 2 * q], m[v * N + 2 * q + 1]);
  return t;
}

inline constexpr col_weights_t<16> col_w16 = make_col_weights<16>();
inline constexpr col_weights_t<32> col_w32 = make_col_weights<32>();
template <int N>
constexpr const col_weights_t<N> &col_w() {
  if constexpr (N == 16) return col_w16;
  else return col_w32;
}

}  // namespace
