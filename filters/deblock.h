// Deblocking (H.265 8.7.2) of one CTU right after it is coded, giving the
// same samples as the standard's picture-wide order (all vertical edges,
// then all horizontal edges).
#pragma once

#include <cstdint>

#include "motion/mv.h"

struct encoder_t;

// Edge codes of the 4-sample segments of a CTU's 8x8 edge grid.  Bytes
// 0-127: vertical edge line x = 8k, segment starting at row 4s, at k * 16 + s
// (k = 0 is the boundary to the left CTU); bytes 128-255 likewise for the
// horizontal edge line y = 8k and the segment starting at column 4s.
enum deblock_edge_code_t : uint8_t {
  EDGE_NONE = 0xff,         // not a block edge
  EDGE_UNFILTERED = 0,      // an edge, not filtered
  EDGE_MOTION = 1,          // prediction differs (bS 1)
  EDGE_COEFFICIENTS = 2,    // coefficients beside a transform edge (bS 1)
  EDGE_INTRA_TRANSFORM = 3, // transform edge inside an intra CU (bS 2)
  EDGE_INTRA_CU = 4,        // CU boundary with an intra CU on either side (bS 2)
};
struct deblock_edge_map_t {
  uint8_t seg[256];
};
// Edge QPs of one CTU column: the vertical edge left of 8x8 block (c, r) at
// r * 8 + c, the horizontal edge above it at 64 + r * 8 + c.
struct deblock_qp_map_t {
  int8_t qp[128];
};

// Edge codes and QPs of the current CTU, from its coding and transform trees
// and the CTU maps.
void deblock_ctu_prepare(encoder_t *ctx);
// Recursive walks of the coding tree and of one leaf CU's transform tree;
// x, y are CTU-relative luma positions.
void deblock_mark_cu_tree(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size);
void deblock_mark_tu_tree(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size);
// Marks the left and top edges of one w x h block whose first 4x4 unit is z;
// edge_flags bit 0: the left edge is a transform edge, bit 1: the top edge.
void deblock_edge_strength(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int32_t w, int32_t h, int32_t edge_flags);
// Filters the current CTU's vertical edges, the horizontal-edge columns the
// CTU to its left left open, and its own horizontal edges except the last
// four luma (two chroma) columns, which the right neighbour's vertical
// boundary still changes; the last CTU of a row filters all of them.
void deblock_ctu(encoder_t *ctx, int32_t ctu_x, int32_t ctu_y);

// The prediction of one side of an edge, as the motion rule sees it.
struct deblock_motion_t {
  const void *pic[2];  // reference picture per list, nullptr when unused
  mv_t mv[2];
};
// H.265 8.7.2.4 for two inter blocks: 1 when they use different reference
// pictures or numbers of vectors, or a vector pair differs by 4 quarter
// samples or more in a component; else 0.  Pictures are compared as
// pictures, whatever list holds them.
uint8_t deblock_motion_strength(const deblock_motion_t &p, const deblock_motion_t &q);

// H.265 Table 8-12.
extern const uint8_t deblock_beta_table[52];
extern const uint8_t deblock_tc_table[54];
