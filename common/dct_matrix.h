// The HEVC transform matrices (H.265 8.6.4.2), shared by the portable
// transforms and the vector kernels.
#pragma once

#include <array>
#include <cstdint>

// Odd rows of the HEVC DCT matrices: row j of size N holds basis 2j + 1
// over the first N / 2 samples.  Even rows are the matrix of half the size
// (with mirrored second half), which is what lets the 1-D transforms below
// recurse on the even part.
inline constexpr int16_t dct_odd_4[2][2] = {{83, 36}, {36, -83}};
inline constexpr int16_t dct_odd_8[4][4] = {{89, 75, 50, 18}, {75, -18, -89, -50}, {50, -89, 18, 75}, {18, -50, 75, -89}};
inline constexpr int16_t dct_odd_16[8][8] = {{90, 87, 80, 70, 57, 43, 25, 9},     {87, 57, 9, -43, -80, -90, -70, -25},
                                      {80, 9, -70, -87, -25, 57, 90, 43},  {70, -43, -87, 9, 90, 25, -80, -57},
                                      {57, -80, -25, 90, -9, -87, 43, 70}, {43, -90, 57, 25, -87, 70, 9, -80},
                                      {25, -70, 90, -80, 43, 9, -57, 87},  {9, -25, 43, -57, 70, -80, 87, -90}};
inline constexpr int16_t dct_odd_32[16][16] = {{90, 90, 88, 85, 82, 78, 73, 67, 61, 54, 46, 38, 31, 22, 13, 4},
                                        {90, 82, 67, 46, 22, -4, -31, -54, -73, -85, -90, -88, -78, -61, -38, -13},
                                        {88, 67, 31, -13, -54, -82, -90, -78, -46, -4, 38, 73, 90, 85, 61, 22},
                                        {85, 46, -13, -67, -90, -73, -22, 38, 82, 88, 54, -4, -61, -90, -78, -31},
                                        {82, 22, -54, -90, -61, 13, 78, 85, 31, -46, -90, -67, 4, 73, 88, 38},
                                        {78, -4, -82, -73, 13, 85, 67, -22, -88, -61, 31, 90, 54, -38, -90, -46},
                                        {73, -31, -90, -22, 78, 67, -38, -90, -13, 82, 61, -46, -88, -4, 85, 54},
                                        {67, -54, -78, 38, 85, -22, -90, 4, 90, 13, -88, -31, 82, 46, -73, -61},
                                        {61, -73, -46, 82, 31, -88, -13, 90, -4, -90, 22, 85, -38, -78, 54, 67},
                                        {54, -85, -4, 88, -46, -61, 82, 13, -90, 38, 67, -78, -22, 90, -31, -73},
                                        {46, -90, 38, 54, -90, 31, 61, -88, 22, 67, -85, 13, 73, -82, 4, 78},
                                        {38, -88, 73, -4, -67, 90, -46, -31, 85, -78, 13, 61, -90, 54, 22, -82},
                                        {31, -78, 90, -61, 4, 54, -88, 82, -38, -22, 73, -90, 67, -13, -46, 85},
                                        {22, -61, 85, -90, 73, -38, -4, 46, -78, 90, -82, 54, -13, -31, 67, -88},
                                        {13, -38, 61, -78, 88, -90, 85, -73, 54, -31, 4, 22, -46, 67, -82, 90},
                                        {4, -13, 22, -31, 38, -46, 54, -61, 67, -73, 78, -82, 85, -88, 90, -90}};

// H.265 8.6.4.2 4-point DST-VII, basis k in row k.
inline constexpr int16_t dst_matrix_4[4][4] = {{29, 55, 74, 84}, {74, 74, 0, -74}, {84, -29, -74, 55}, {55, -84, 74, -29}};

// Per-pass choice of the 4x4 transform by mode: DST-VII for the intra luma
// modes 0..34, the DCT for 35 (every other 4x4 block) and beyond.
constexpr std::array<int32_t, 40> make_dst_choice() {
  std::array<int32_t, 40> t{};
  for (int m = 0; m < 35; m++) t[m] = 1;
  return t;
}
inline constexpr std::array<int32_t, 40> dst_4x4_choice_rows = make_dst_choice();
inline constexpr std::array<int32_t, 40> dst_4x4_choice_cols = make_dst_choice();

// The whole N-point matrix, basis k in row k: odd rows from the tables
// above (second half mirrored with the sign flipped), even rows the
// half-size matrix with mirrored second half.
template <int N>
constexpr std::array<int16_t, N * N> dct_matrix() {
  std::array<int16_t, N * N> m{};
  if constexpr (N == 2) {
    m = {64, 64, 64, -64};
  } else {
    constexpr int h = N / 2;
    const std::array<int16_t, h * h> half = dct_matrix<h>();
    for (int j = 0; j < h; j++)
      for (int i = 0; i < h; i++) {
        int16_t odd = 0;
        if constexpr (N == 4) odd = dct_odd_4[j][i];
        if constexpr (N == 8) odd = dct_odd_8[j][i];
        if constexpr (N == 16) odd = dct_odd_16[j][i];
        if constexpr (N == 32) odd = dct_odd_32[j][i];
        m[(2 * j + 1) * N + i] = odd;
        m[(2 * j + 1) * N + N - 1 - i] = static_cast<int16_t>(-odd);
        m[2 * j * N + i] = half[j * h + i];
        m[2 * j * N + N - 1 - i] = half[j * h + i];
      }
  }
  return m;
}
