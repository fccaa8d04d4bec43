// Context selection of sig_coeff_flag (H.265 9.3.4.2.5) for the sixteen
// positions of one 4x4 coefficient group at a time, shared by the residual
// coder and the rate-distortion quantiser so that both price the same bins.
#pragma once

#include <array>
#include <cstdint>

#include "common/cabac_tables.h"

namespace residual_ctx {

// Pattern of a group's position (y * 4 + x inside the group) by which of
// the right (bit 0) and lower (bit 1) neighbouring groups are coded.
constexpr std::array<std::array<uint8_t, 16>, 4> group_pattern = [] {
  std::array<std::array<uint8_t, 16>, 4> t{};
  for (int prev = 0; prev < 4; prev++)
    for (int pos = 0; pos < 16; pos++) {
      const int xp = pos & 3, yp = pos >> 2;
      int c;
      if (prev == 0)
        c = xp + yp == 0 ? 2 : xp + yp < 3 ? 1 : 0;
      else if (prev == 1)
        c = yp == 0 ? 2 : yp == 1 ? 1 : 0;
      else if (prev == 2)
        c = xp == 0 ? 2 : xp == 1 ? 1 : 0;
      else
        c = 2;
      t[prev][pos] = static_cast<uint8_t>(c);
    }
  return t;
}();

constexpr uint8_t map_4x4[16] = {0, 1, 4, 5, 2, 3, 4, 5, 6, 6, 8, 8, 7, 7, 8, 8};

// Contexts of the group whose first scan entry is `pos` (sixteen raster
// positions y * n + x of an n = 2^log2 block, in scan order); prev_csbf as
// in group_pattern.
inline void group_sig_ctx(uint8_t out[16], const uint16_t *pos, int32_t log2, int32_t chroma, int32_t scan_type,
                          int32_t prev_csbf) {
  const int32_t n = 1 << log2;
  const int32_t base = CTX_SIG_COEFF + (chroma ? 27 : 0);
  if (log2 == 2) {
    for (int32_t k = 0; k < 16; k++) out[k] = static_cast<uint8_t>(base + map_4x4[pos[k]]);
    return;
  }
  const int32_t first_group = (pos[0] & (n - 1)) < 4 && (pos[0] >> log2) < 4;
  int32_t offset;
  if (!chroma)
    offset = (first_group ? 0 : 3) + (log2 == 3 ? (scan_type == 0 ? 9 : 15) : 21);
  else
    offset = log2 == 3 ? 9 : 12;
  const uint8_t *pattern = group_pattern[prev_csbf].data();
  for (int32_t k = 0; k < 16; k++) {
    const int32_t p = pos[k];
    const int32_t in_group = ((p >> log2) & 3) * 4 + (p & 3);
    out[k] = static_cast<uint8_t>(base + (p == 0 ? 0 : offset + pattern[in_group]));
  }
}

}  // namespace residual_ctx
