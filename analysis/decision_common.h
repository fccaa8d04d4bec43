// Helpers shared by the CTU decision drivers.
#pragma once

#include <cstdint>
#include <cstring>

#include "encoder/encoder.h"

inline bool block_in_picture(const encoder_t *ctx, int32_t x, int32_t y) {
  return ctx->ctu_x * 64 + x < ctx->width && ctx->ctu_y * 64 + y < ctx->height;
}

// Sets a per-unit decision array over the block of log2 size at z.
inline void fill_units(uint8_t *a, int32_t z, int32_t log2_size, uint8_t v) {
  std::memset(a + z, v, static_cast<size_t>(1) << (2 * (log2_size - 2)));
}
