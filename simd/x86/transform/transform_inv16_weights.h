// Weight tables of the lane-per-output inverse 16x16 transform, shared by
// the SSSE3 (four 32-bit lanes) and AVX2 (eight) kernels.  Built at compile
// time from the matrix; included by each tier's file (internal linkage).
#pragma once

#include <array>
#include <cstdint>

#include "common/dct_matrix.h"

namespace {

constexpr int32_t inv16_pair(int16_t lo, int16_t hi) {
  return static_cast<int32_t>(static_cast<uint16_t>(lo) | (static_cast<uint32_t>(static_cast<uint16_t>(hi)) << 16));
}

// Column weights: [y][q] = (M[2q][y], M[2q + 1][y]).
struct inv16_col_weights_t {
  int32_t v[16][8];
};
constexpr inv16_col_weights_t make_inv16_col_weights() {
  constexpr std::array<int16_t, 256> m = dct_matrix<16>();
  inv16_col_weights_t t{};
  for (int y = 0; y < 16; y++)
    for (int q = 0; q < 8; q++) t.v[y][q] = inv16_pair(m[2 * q * 16 + y], m[(2 * q + 1) * 16 + y]);
  return t;
}
// Row weights for L lanes: [xb][p] holds in lane x' the pair (M[2p][L xb +
// x'], M[2p + 1][L xb + x']).
template <int L>
struct alignas(32) inv16_row_weights_t {
  int32_t v[16 / L][8][L];
};
template <int L>
constexpr inv16_row_weights_t<L> make_inv16_row_weights() {
  constexpr std::array<int16_t, 256> m = dct_matrix<16>();
  inv16_row_weights_t<L> t{};
  for (int xb = 0; xb < 16 / L; xb++)
    for (int p = 0; p < 8; p++)
      for (int l = 0; l < L; l++)
        t.v[xb][p][l] = inv16_pair(m[2 * p * 16 + L * xb + l], m[(2 * p + 1) * 16 + L * xb + l]);
  return t;
}

}  // namespace
