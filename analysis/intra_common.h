// Pieces every intra evaluation shares: the most probable modes from the
// direction map, the rough mode penalty, the exact mode bits on the live
// estimation state, and the block encoder of a size.
#pragma once

#include <cstdint>

#include "bitstream/cabac.h"
#include "common/quadtree.h"

struct encoder_t;

// H.265 8.4.2 from the direction-map entries left of and above the block's
// first 4x4 unit (negative: not intra, counted as DC; the row above the CTU
// reads as not intra, as the standard asks).
void intra_mpms(const encoder_t *ctx, int32_t z, int32_t mpm[3]);
// Rough-pass penalty: lambda_sad times 2 (MPM0), 3 (MPM1, MPM2) or 6.
// Inline: every rough mode trial adds it.
inline uint32_t intra_mode_penalty(uint32_t lambda_sad, int32_t mode, const int32_t mpm[3]) {
  if (mode == mpm[0]) return 2 * lambda_sad;
  if (mode == mpm[1] || mode == mpm[2]) return 3 * lambda_sad;
  return 6 * lambda_sad;
}
// Bits (1/256) of prev_intra_luma_pred_flag with its bypass bins, and of
// intra_chroma_pred_mode, added to est's counter with the context advanced.
// The luma one inline: every mode trial counts it.
inline uint32_t intra_luma_mode_bits(cabac_est_t *est, int32_t mode, const int32_t mpm[3]) {
  // The bypass bins count as a whole bit each.
  uint32_t bypass = 1280;
  uint32_t bits;
  if (mode == mpm[0] || mode == mpm[1] || mode == mpm[2]) {
    bits = cabac_est_bin(est, CTX_PREV_INTRA_LUMA_PRED, 1);
    bypass = mode == mpm[0] ? 256 : 512;
  } else {
    bits = cabac_est_bin(est, CTX_PREV_INTRA_LUMA_PRED, 0);
  }
  est->bits += bypass;
  return bits + bypass;
}
uint32_t intra_chroma_mode_bits(cabac_est_t *est, int32_t chroma_mode);
// encode_tu_4x4 .. encode_cu_64x64 by log2 size.
void encode_block_of_size(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size, int8_t qp,
                          int32_t do_prediction, int32_t code_residual, uint32_t flags);
