// Compile-time model of the angular predictor (H.265 8.4.4.2.6) from which
// the vector kernels derive their byte-pair selections and weights, so every
// constant vector follows from the same formula as the portable predictor.
#pragma once

#include <cstdint>

#include "common/intra_angles.h"

namespace intra_model {

// Line i (row of a vertical mode, column of a horizontal one) reads the
// reference pair starting at ref[k + idx(i) + 1], weighted (32 - fact, fact).
constexpr int32_t idx(int32_t mode, int32_t i) { return ((i + 1) * intra_pred_angle[mode]) >> 5; }
constexpr int32_t fact(int32_t mode, int32_t i) { return ((i + 1) * intra_pred_angle[mode]) & 31; }
constexpr bool horizontal(int32_t mode) { return mode < 18; }

// Reference index of the first and of the second sample that sample (x, y)
// of an N x N block weights.  With fact 0 the second sample carries weight 0
// and the first is returned again, so no selection leaves the reference.
constexpr int32_t first_tap(int32_t mode, int32_t x, int32_t y) {
  return horizontal(mode) ? y + idx(mode, x) + 1 : x + idx(mode, y) + 1;
}
constexpr int32_t weight(int32_t mode, int32_t x, int32_t y) {
  return horizontal(mode) ? fact(mode, x) : fact(mode, y);
}
constexpr int32_t second_tap(int32_t mode, int32_t x, int32_t y) {
  return first_tap(mode, x, y) + (weight(mode, x, y) ? 1 : 0);
}

// 32 constant bytes per vector, K vectors.
template <int K>
struct alignas(32) vectors_t {
  int8_t b[K][32];
};

}  // namespace intra_model
