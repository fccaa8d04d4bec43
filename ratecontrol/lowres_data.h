// The lookahead's records of one input picture: cost estimates of its
// half-resolution picture (8x8 blocks, one per 16x16 area of the picture)
// as an intra picture, as a P picture from an earlier picture and as a B
// picture between two, cached by the distances to those pictures, and the
// vectors, hints and propagated amounts derived from them.
#pragma once

#include <cstdint>

#include "motion/mv.h"

// Distances to the pictures an estimate refers to run 0..16.
constexpr int32_t LOWRES_DISTANCES = 17;
// block_costs: bits 0-27 the cost, bits 28-31 how the block is predicted.
constexpr uint32_t LOWRES_COST_MASK = 0x0fffffffu;
enum lowres_kind_t : uint32_t { LOWRES_INTRA = 0, LOWRES_L0 = 1, LOWRES_L1 = 2, LOWRES_BI = 3 };
// block_hint values: how inter prediction compares with intra.
enum lowres_hint_t : uint32_t { HINT_INTER_CLEAR = 0, HINT_INTER = 1, HINT_CLOSE = 3, HINT_INTRA_CLEAR = 6 };

// Sizes every array of the records follows.
struct lowres_layout_t {
  int32_t ctu_cols, ctu_rows;
  int32_t block_cols, block_rows;  // blocks over the coded picture
  int32_t block_stride;            // 4 x CTU columns
  int32_t block_count;             // CTU count x 16
  int32_t max_distance;            // bframes + 1: the farthest reference of an estimate
  int32_t lists;                   // 2 with B pictures, else 1
  int32_t row_arrays;              // per-row and per-CTU sums (VBV)
};
lowres_layout_t lowres_layout(int32_t width, int32_t height, int32_t bframes, int32_t row_arrays);

struct lowres_data_t {
  lowres_layout_t layout;
  // Whole-picture totals by [b - p0][p1 - b]; -1 not computed, [0][0] intra.
  int32_t cost_cache[LOWRES_DISTANCES][LOWRES_DISTANCES];
  int32_t aq_cost_cache[LOWRES_DISTANCES][LOWRES_DISTANCES];  // weighted by the AQ factors
  // Per CTU row, and per CTU as a running sum along its row (with VBV).
  uint32_t *row_costs[LOWRES_DISTANCES][LOWRES_DISTANCES];
  uint32_t *ctu_costs[LOWRES_DISTANCES][LOWRES_DISTANCES];
  // Per block: chosen cost and kind, by the same distances up to max_distance.
  uint32_t *block_costs[LOWRES_DISTANCES][LOWRES_DISTANCES];
  uint32_t *intra_costs;  // = block_costs[0][0]
  // Per block, by the distance to the earlier picture: inter against intra.
  uint32_t *block_hint[LOWRES_DISTANCES];
  // Per block, by [list][distance - 1]: the best vector (quarter samples of
  // the half-resolution picture) and its search cost, and whether searched.
  mv_t *mvs[2][LOWRES_DISTANCES - 1];
  uint32_t *mv_costs[2][LOWRES_DISTANCES - 1];
  uint8_t mvs_searched[2][LOWRES_DISTANCES - 1];
  // CU-tree: the amount later pictures take from each block (the offsets
  // go to the picture's aq_cutree_offsets).
  uint32_t *propagate;
  // The one block every array above lies in.
  uint8_t *block;
  // The estimate handed to rate control for the picture being coded.
  int32_t lookahead_cost;
  const uint32_t *lookahead_row_costs, *lookahead_ctu_costs;
};

// Every array made here, in one block; NULL when memory runs out.
lowres_data_t *lowres_data_new(const lowres_layout_t &layout);
void lowres_data_delete(lowres_data_t *d);
// A picture entering the lookahead: nothing computed, no vector searched.
void lowres_data_reset(lowres_data_t *d);
