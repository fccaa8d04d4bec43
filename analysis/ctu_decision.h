// The coding decisions of one CTU, indexed by the z-order number of the
// CTU's 4x4 units (0..255).  A block of size N at z covers the (N/4)^2
// consecutive numbers from z, so every CU and transform block is one
// contiguous run: saving, restoring and filling a block is one copy.
#pragma once

#include <cstdint>

struct ctu_decision_t {
  uint8_t cu_log2[256];       // log2 size of the coding unit covering the unit
  uint8_t part_nxn[256];      // 1: intra CU split into four 4x4 prediction units
  uint8_t pred_intra[256];    // 1: intra coding unit
  uint8_t luma_mode[256];     // IntraPredModeY of the unit
  uint8_t chroma_syntax[256]; // intra_chroma_pred_mode 0..4 of the CU
  uint8_t tu_log2[256];       // log2 size of the luma transform leaf covering the unit
  uint8_t cbf[256];           // bit 0 luma cbf of the leaf; bit 1 Cb, bit 2 Cr of its chroma leaf
  int8_t qp[256];             // QpY of the CU
  uint8_t skip[256];          // 1: skipped CU (merge, no residual)
  uint8_t part_mode[256];     // inter partition: 0 2Nx2N, 1 2NxN, 2 Nx2N
  // Quantised levels: a luma transform block of size N at z stores its N*N
  // levels row-major from coef_y + 16 * z; a chroma block (N/2, or 4 for a
  // split 8x8) from coef_c[plane - 1] + 4 * z of its first luma unit.
  alignas(32) int16_t coef_y[64 * 64];
  alignas(32) int16_t coef_c[2][32 * 32];
};

// Coded-block flags of the block of log2 size at z: the OR of the cbf bytes
// of its units (bit 0 Y, bit 1 Cb, bit 2 Cr).
inline uint8_t block_cbf(const uint8_t *cbf, int32_t z, int32_t log2_size) {
  uint8_t v = 0;
  for (int32_t i = 0; i < (1 << (2 * (log2_size - 2))); i++) v |= cbf[z + i];
  return v & 7;
}

// z-order number of the 4x4 unit at (x4, y4) inside a CTU (0..15 each).
inline int32_t zorder_of(int32_t x4, int32_t y4) {
  int32_t z = 0;
  for (int32_t b = 0; b < 4; b++) z |= (((x4 >> b) & 1) << (2 * b)) | (((y4 >> b) & 1) << (2 * b + 1));
  return z;
}
inline int32_t zorder_x(int32_t z) {
  int32_t x = 0;
  for (int32_t b = 0; b < 4; b++) x |= ((z >> (2 * b)) & 1) << b;
  return x;
}
inline int32_t zorder_y(int32_t z) {
  int32_t y = 0;
  for (int32_t b = 0; b < 4; b++) y |= ((z >> (2 * b + 1)) & 1) << b;
  return y;
}
