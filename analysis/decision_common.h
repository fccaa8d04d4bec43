// Helpers shared by the CTU decision drivers.
#pragma once

#include <cstdint>
#include <cstring>

#include "encoder/encoder.h"

// log2 of the smallest CU the sequence allows.
inline int32_t min_cb_log2(const encoder_t *ctx) { return ctx->sps->log2_min_cb; }

inline bool block_in_picture(const encoder_t *ctx, int32_t x, int32_t y) {
  return ctx->ctu_x * 64 + x < ctx->width && ctx->ctu_y * 64 + y < ctx->height;
}

// Vertical vector limits: -500 samples up, mv_range_y down (quarter samples);
// pictures that refer to a picture wait only for the rows this covers.
inline bool mv_within_limits(const encoder_t *ctx, mv_t mv) {
  const int32_t y = mv_y(mv);
  return y >= -2000 && y <= 4 * ctx->param.mv_range_y + 3;
}
inline bool motion_within_limits(const encoder_t *ctx, const int8_t ref[2], const mv_t mv[2]) {
  for (int32_t l = 0; l < 2; l++)
    if (ref[l] >= 0 && !mv_within_limits(ctx, mv[l])) return false;
  return true;
}

// Sets the bits `mask` of a per-unit decision array over the block of log2
// size at z to `bits`: the four units of an 8x8 block as one word, larger
// blocks eight units a word (the trials set them by the million).
inline void set_unit_bits(uint8_t *a, int32_t z, int32_t log2_size, uint8_t mask, uint8_t bits) {
  if (log2_size <= 2) {
    a[z] = static_cast<uint8_t>((a[z] & ~mask) | bits);
    return;
  }
  constexpr uint64_t ones = 0x0101010101010101ull;
  if (log2_size == 3) {
    uint32_t w;
    std::memcpy(&w, a + z, sizeof w);
    w = (w & ~(static_cast<uint32_t>(ones) * mask)) | static_cast<uint32_t>(ones) * bits;
    std::memcpy(a + z, &w, sizeof w);
    return;
  }
  for (int32_t i = 0; i < (1 << (2 * (log2_size - 2))); i += 8) {
    uint64_t w;
    std::memcpy(&w, a + z + i, sizeof w);
    w = (w & ~(ones * mask)) | ones * bits;
    std::memcpy(a + z + i, &w, sizeof w);
  }
}

// Sets a per-unit decision array over the block of log2 size at z; each
// size its own fixed-length fill (the trials set small blocks by the
// million, where a call of memset costs more than the bytes).
inline void fill_units(uint8_t *a, int32_t z, int32_t log2_size, uint8_t v) {
  switch (log2_size) {
    case 2: a[z] = v; break;
    case 3: std::memset(a + z, v, 4); break;
    case 4: std::memset(a + z, v, 16); break;
    case 5: std::memset(a + z, v, 64); break;
    default: std::memset(a + z, v, 256); break;
  }
}
