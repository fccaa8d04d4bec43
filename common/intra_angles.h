// The angle tables of H.265 angular intra prediction (8.4.4.2.6), shared by
// the portable predictor and the vector kernels, whose constant vectors are
// derived from them at compile time.
#pragma once

#include <array>
#include <cstdint>

// Table 8-4, indexed by mode (planar and DC have no angle).
inline constexpr std::array<int8_t, 35> intra_pred_angle = {0,  0,  32,  26,  21,  17,  13,  9,   5,   2,   0,   -2,
                                                            -5, -9, -13, -17, -21, -26, -32, -26, -21, -17, -13, -9,
                                                            -5, -2, 0,   2,   5,   9,   13,  17,  21,  26,  32};

// Table 8-5 magnitudes of invAngle for the negative angles.
constexpr int32_t intra_inv_angle_magnitude(int32_t angle) {
  switch (angle) {
    case -2:
      return 4096;
    case -5:
      return 1638;
    case -9:
      return 910;
    case -13:
      return 630;
    case -17:
      return 482;
    case -21:
      return 390;
    case -26:
      return 315;
    default:
      return 256;  // -32
  }
}

// Number of samples projected behind the main reference (ref[-1 .. -E]) that
// an N x N block can read; 0 for a non-negative angle.
constexpr int32_t intra_ang_extension(int32_t angle, int32_t n) { return angle < 0 ? -1 - ((n * angle) >> 5) : 0; }

// Position in the side run (1-based, 0 the corner) that ref[-k] is projected from.
constexpr int32_t intra_ang_projected(int32_t angle, int32_t k) {
  return (k * intra_inv_angle_magnitude(angle) + 128) >> 8;
}
