// Maps of the current CTU and its border, read by motion-vector prediction,
// the block encoders, deblocking and the syntax writer.
//
// 8x8-unit maps: 16 units per row, 10 rows; the CTU's unit (x8, y8) is at
// 24 + x8 + 16 * y8 (rows 1-8, columns 8-15), row 0 lies above the CTU and
// column 7 to its left; the unit above-right of the CTU, (8, -1), falls into
// column 0 of row 1.  4x4-unit maps: 32 per row, 18 rows; the CTU's unit
// (x4, y4) is at 48 + x4 + 32 * y4 (rows 1-16, columns 16-31); (16, -1)
// falls into column 0 of row 1.
#pragma once

#include <cstdint>
#include <cstring>

#include "common/quadtree.h"
#include "motion/mv.h"

constexpr int32_t MAP8_STRIDE = 16;
constexpr int32_t MAP4_STRIDE = 32;
inline constexpr int32_t map8_index(int32_t x8, int32_t y8) { return 24 + x8 + MAP8_STRIDE * y8; }
inline constexpr int32_t map4_index(int32_t x4, int32_t y4) { return 48 + x4 + MAP4_STRIDE * y4; }

// What the 8x8 maps and the per-node arrays cannot hold, per 4x4 unit of the
// CTU, indexed by the z-order number of the unit (0..255).  A block of size N at z covers the (N/4)^2
// consecutive numbers from z, so every CU and transform block is one
// contiguous run: saving, restoring and filling a block is one copy.
struct ctu_unit_maps_t {
  uint8_t cu_log2[256];       // log2 size of the coding unit covering the unit
  uint8_t part_nxn[256];      // 1: intra CU split into four 4x4 prediction units
  uint8_t luma_mode[256];     // IntraPredModeY of the unit
  uint8_t chroma_syntax[256]; // intra_chroma_pred_mode 0..4 of the CU
  uint8_t tu_log2[256];       // log2 size of the luma transform leaf covering the unit
  uint8_t cbf[256];           // bit 0 luma cbf of the leaf; bit 1 Cb, bit 2 Cr of its chroma leaf
  // Quantised levels: a luma transform block of size N at z stores its N*N
  // levels row-major from coef_y + 16 * z; a chroma block (N/2, or 4 for a
  // split 8x8) from coef_c[plane - 1] + 4 * z of its first luma unit.
  alignas(32) int16_t coef_y[64 * 64];
  alignas(32) int16_t coef_c[2][32 * 32];
};

struct ctu_maps_t {
  // 8x8-unit byte maps.
  uint8_t flags[160];      // bit 0: skip CU
  uint8_t depth[160];      // CU depth 0-3
  uint8_t deblock_flags[160];
  int8_t qp[160];
  uint8_t pred_intra[160];  // 1: intra
  uint8_t merge_flag[160];
  uint8_t merge_idx[160];
  int8_t ref_idx[2][160];   // negative: list unused; -2 for intra units
  // 8x8-unit vector maps.
  mv_t mv[2][160];
  // 4x4-unit maps.
  int8_t intra_dir[576];  // luma mode, -1 for inter units; chroma modes at chroma_dir_index
  uint8_t grid[576];      // availability: 1 coded and usable as a neighbour
  // Per quad-tree node (numbered as cu_node_t): the decided tree.
  uint32_t cu_split[341];
  uint32_t tu_split[341];
  uint32_t part_mode[341];
  uint8_t residual_mode[341];
  uint8_t cbf[341];  // bit 0 Y, bit 1 Cb, bit 2 Cr
  // Per 4x4 unit: what the coders, the syntax writer and deblocking read of
  // the decided units.
  ctu_unit_maps_t unit;
};

// The chroma intra mode (intra_chroma_pred_mode) of the CTU's 8x8 unit
// (x8, y8) lives in the direction map left of the CTU's own columns.
inline constexpr int32_t chroma_dir_index(int32_t x8, int32_t y8) { return 36 + x8 + MAP4_STRIDE * y8; }

// The merge candidate list of a prediction unit.
struct merge_candidates_t {
  mv_t mv[2][5];
  int8_t ref_idx[2][5];  // negative: list unused (-2 for lists a temporal or zero candidate does not use)
  uint32_t temporal_mask;  // bit i: candidate i is temporal or built from it
};

// Coded-block flags of the block of log2 size at z: the OR of the cbf bytes
// of its units (bit 0 Y, bit 1 Cb, bit 2 Cr).
inline uint8_t block_cbf(const uint8_t *cbf, int32_t z, int32_t log2_size) {
  if (log2_size == 2) return cbf[z] & 7;
  // 4, 16, 64 or 256 bytes: a word at a time.
  uint64_t v = 0;
  if (log2_size == 3) {
    uint32_t w;
    std::memcpy(&w, cbf + z, 4);
    v = w;
  } else {
    for (int32_t i = 0; i < (1 << (2 * (log2_size - 2))); i += 8) {
      uint64_t w;
      std::memcpy(&w, cbf + z + i, 8);
      v |= w;
    }
  }
  v |= v >> 32;
  v |= v >> 16;
  v |= v >> 8;
  return static_cast<uint8_t>(v & 7);
}

// The z-order number of every unit position (y4 * 16 + x4) and the
// position of every z-order number (x4 + 16 * y4): nearly every map access
// of the analysis and the coders goes through one, and a look-up is a few
// instructions where interleaving the bits takes thirty.
struct zorder_tables_t {
  uint8_t z[256];
  uint8_t xy[256];
};
inline constexpr zorder_tables_t zorder_tables = [] {
  zorder_tables_t t{};
  for (int32_t i = 0; i < 256; i++) {
    int32_t z = 0, x = 0, y = 0;
    for (int32_t b = 0; b < 4; b++) {
      z |= ((i >> b) & 1) << (2 * b) | ((i >> (4 + b)) & 1) << (2 * b + 1);
      x |= ((i >> (2 * b)) & 1) << b;
      y |= ((i >> (2 * b + 1)) & 1) << b;
    }
    t.z[i] = static_cast<uint8_t>(z);
    t.xy[i] = static_cast<uint8_t>(x | y << 4);
  }
  return t;
}();

// z-order number of the 4x4 unit at (x4, y4) inside a CTU (0..15 each).
inline constexpr int32_t zorder_of(int32_t x4, int32_t y4) { return zorder_tables.z[(y4 & 15) << 4 | (x4 & 15)]; }
inline constexpr int32_t zorder_x(int32_t z) { return zorder_tables.xy[z & 255] & 15; }
inline constexpr int32_t zorder_y(int32_t z) { return zorder_tables.xy[z & 255] >> 4; }

// 8x8-map position of the unit with z-order number z.
inline constexpr int32_t map8_of_z(int32_t z) { return map8_index(zorder_x(z) >> 1, zorder_y(z) >> 1); }

// The committed CU covering the CTU's 4x4 unit z, as the 8x8 maps and the
// per-node arrays hold it.
inline bool unit_intra(const ctu_maps_t *m, int32_t z) { return m->pred_intra[map8_of_z(z)] != 0; }
inline int32_t unit_qp(const ctu_maps_t *m, int32_t z) { return m->qp[map8_of_z(z)]; }
inline bool unit_skip(const ctu_maps_t *m, int32_t z) { return (m->flags[map8_of_z(z)] & 1) != 0; }
// Inter partition of the CU (0 2Nx2N, 1 2NxN, 2 Nx2N); 0 for intra CUs.
inline int32_t unit_part_mode(const ctu_maps_t *m, int32_t z) {
  const int32_t s = m->unit.cu_log2[z];
  // Units of a CTU that reach past the picture's edge belong to no CU.
  if (unit_intra(m, z) || s < 3) return 0;
  return static_cast<int32_t>(m->part_mode[(z >> (2 * (s - 2))) + QUADTREE_LEVEL_FIRST[6 - s]]);
}
