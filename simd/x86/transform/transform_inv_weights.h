// Weight tables of the lane-per-output inverse 16x16 and 32x32 direct
// passes, shared by the SSSE3 (four 32-bit lanes) and AVX2 (eight) kernels.
// Built at compile time from the matrix; included by each tier's file
// (internal linkage).
#pragma once

#include <array>
#include <cstdint>

#include "common/dct_matrix.h"
#include "simd/x86/transform/weight_pair.h"

namespace {

// Column weights: [y][q] = (M[2q][y], M[2q + 1][y]).
template <int N>
struct inv_col_weights_t {
  int32_t v[N][N / 2];
};
template <int N>
constexpr inv_col_weights_t<N> make_inv_col_weights() {
  constexpr std::array<int16_t, N * N> m = dct_matrix<N>();
  inv_col_weights_t<N> t{};
  for (int y = 0; y < N; y++)
    for (int q = 0; q < N / 2; q++) t.v[y][q] = pair32(m[2 * q * N + y], m[(2 * q + 1) * N + y]);
  return t;
}
// Row weights for L lanes: [xb][p] holds in lane x' the pair (M[2p][L xb +
// x'], M[2p + 1][L xb + x']).
template <int N, int L>
struct alignas(32) inv_row_weights_t {
  int32_t v[N / L][N / 2][L];
};
template <int N, int L>
constexpr inv_row_weights_t<N, L> make_inv_row_weights() {
  constexpr std::array<int16_t, N * N> m = dct_matrix<N>();
  inv_row_weights_t<N, L> t{};
  for (int xb = 0; xb < N / L; xb++)
    for (int p = 0; p < N / 2; p++)
      for (int l = 0; l < L; l++) t.v[xb][p][l] = pair32(m[2 * p * N + L * xb + l], m[(2 * p + 1) * N + L * xb + l]);
  return t;
}

}  // namespace
