// Deblocking (H.265 8.7.2) of one CTU right after it is coded, giving the
// same samples as the standard's picture-wide order (all vertical edges,
// then all horizontal edges).
#pragma once

#include <cstdint>

#include "motion/mv.h"

struct encoder_t;

// Boundary strengths and QPs of the current CTU's edges on the 8x8 grid,
// from the decisions already published to the picture maps.
void deblock_ctu_prepare(encoder_t *ctx);
// Filters the current CTU's vertical edges, the horizontal-edge columns the
// CTU to its left left open, and its own horizontal edges except the last
// four luma (two chroma) columns, which the right neighbour's vertical
// boundary still changes; the last CTU of a row filters all of them.
void deblock_ctu(encoder_t *ctx, int32_t ctu_x, int32_t ctu_y);

// One side of an edge segment, as the boundary-strength rule sees it.
struct deblock_side_t {
  bool intra;
  bool coded;             // the transform block holds luma coefficients
  const void *pic[2];     // reference picture per list, nullptr when unused
  mv_t mv[2];
};
// H.265 8.7.2.4: 2 when either side is intra, 1 for coefficients on either
// side of a transform edge or for differing prediction, else 0.  Reference
// pictures are compared as pictures, whatever list holds them.
uint8_t deblock_strength(const deblock_side_t &p, const deblock_side_t &q, bool transform_edge);

// H.265 Table 8-12.
extern const uint8_t deblock_beta_table[52];
extern const uint8_t deblock_tc_table[54];
