// Block shape of every pixel_funcs_t slot, shared by the verification
// harness and the benchmarks.
#pragma once

#include <cstdint>

namespace checkasm {

enum class kind {
  cost,
  x4,
  x3,
  x2,
  var,
  wxh,
  hadamard_ac,
  count_nonzero,
  scan_groups,
  gradient,
  copy,
  levels_4x4,
  satd_x4,
  sa8d_blocks
};

struct slot_shape_t {
  kind k;
  int32_t w, h;
};

// The slots that hold no function in any tier: four candidates of 4x4 and
// the flat halves below 16x4.
inline bool pixel_slot_empty(int32_t i) { return i == 24 || i == 127 || i == 128; }

// The two-, three- and four-candidate slots.
inline bool pixel_slot_multi(int32_t i) { return (i >= 20 && i < 45) || (i >= 124 && i < 129); }

// Block shape of each slot, by the numbering of pixel_funcs_t.
inline slot_shape_t pixel_slot_shape(int32_t i) {
  const int32_t c = i % 5;
  const int32_t sq = 64 >> c;
  const slot_shape_t square{kind::cost, sq, sq}, wide{kind::cost, 64 >> c, 32 >> c}, tall{kind::cost, 32 >> c, 64 >> c};
  const slot_shape_t four{kind::cost, 4, 4};
  if (i < 5) return square;                                   // sad_half
  if (i < 10) return square;                                  // sad
  if (i < 15) return wide;                                    // sad_half_wide
  if (i < 20) return tall;                                    // sad_half_tall
  if (i < 25) return {kind::x4, sq, sq};
  if (i < 30) return {kind::x4, wide.w, wide.h};
  if (i < 35) return {kind::x4, tall.w, tall.h};
  if (i < 40) return {kind::x3, sq, sq};
  if (i < 45) return {kind::x2, sq, sq};
  if (i < 50) return square;                                  // ssd
  if (i < 55) return wide;
  if (i < 60) return tall;
  if (i < 65) return square;                                  // satd
  if (i < 70) return c == 4 ? four : wide;
  if (i < 75) return c == 4 ? four : tall;
  if (i < 80) return square;                                  // sa8d (79: satd_4x4)
  if (i < 85) return c == 4 ? four : wide;
  if (i < 90) return c == 4 ? four : tall;
  if (i < 100) return square;                                 // sa8d_half, block_cost
  if (i < 105) return {kind::var, sq, sq};
  if (i == 105 || i == 109) return {kind::wxh, 0, 0};
  if (i == 106) return {kind::hadamard_ac, 8, 4};
  if (i == 107) return {kind::count_nonzero, 0, 0};
  if (i == 108) return {kind::scan_groups, 0, 0};
  if (i < 114) return {kind::gradient, 64, 64};
  if (i == 118) return {kind::levels_4x4, 4, 4};
  if (i == 119) return {kind::satd_x4, 4, 4};
  if (i >= 120 && i < 124) return {kind::sa8d_blocks, i < 122 ? 16 : 8, i == 120 || i == 122 ? 16 : 8};
  if (i >= 124 && i < 129) return {kind::x4, 64 >> (i - 124), 16 >> (i - 124)};  // sad_x4_half_flat
  return {kind::copy, (i & 1) ? 32 : 64, (i & 1) ? 32 : 64};
}

}  // namespace checkasm
