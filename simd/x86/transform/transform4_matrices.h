// The 4x4 DCT and DST-VII matrices as 4x4 arrays (basis k in row k), and
// their transposes, from which each tier's 4x4 kernels build the weight
// tables of their passes at compile time.  Internal linkage: each tier's
// file keeps its own copy.
#pragma once

#include <array>
#include <cstdint>

#include "common/dct_matrix.h"

namespace {

using mat4_t = std::array<std::array<int16_t, 4>, 4>;

constexpr mat4_t dct4_matrix() {
  const std::array<int16_t, 16> m = dct_matrix<4>();
  mat4_t t{};
  for (int k = 0; k < 4; k++)
    for (int i = 0; i < 4; i++) t[k][i] = m[k * 4 + i];
  return t;
}
constexpr mat4_t dst4_matrix() {
  mat4_t t{};
  for (int k = 0; k < 4; k++)
    for (int i = 0; i < 4; i++) t[k][i] = dst_matrix_4[k][i];
  return t;
}
constexpr mat4_t transposed(const mat4_t &m) {
  mat4_t t{};
  for (int k = 0; k < 4; k++)
    for (int i = 0; i < 4; i++) t[i][k] = m[k][i];
  return t;
}

// A tier's four pass tables from its own row and column weight builders.
// Forward: rows with the matrix, then columns with it.  Inverse: columns
// with the transposed matrix (output y weighs input v by M[v][y]), then rows
// with it (output x weighs input u by M[u][x]).  Index 0 the DCT, 1 the DST.
template <class RowW, class ColW, RowW (*ROW)(const mat4_t &), ColW (*COL)(const mat4_t &)>
struct pass_tables4 {
  static constexpr RowW fwd_rows[2] = {ROW(dct4_matrix()), ROW(dst4_matrix())};
  static constexpr ColW fwd_cols[2] = {COL(dct4_matrix()), COL(dst4_matrix())};
  static constexpr ColW inv_cols[2] = {COL(transposed(dct4_matrix())), COL(transposed(dst4_matrix()))};
  static constexpr RowW inv_rows[2] = {ROW(transposed(dct4_matrix())), ROW(transposed(dst4_matrix()))};
};

}  // namespace
