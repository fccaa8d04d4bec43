// One node of a CTU's coding quad-tree (64x64 down to 4x4) and the
// numbering of the 341 nodes.  Below a leaf CU the nodes describe its
// transform tree.
#pragma once

#include <cstdint>

#include "common/quadtree.h"
#include "motion/me_context.h"
#include "motion/mv.h"

// A cost that was not evaluated; four of them still add up below 2^32.
constexpr uint32_t COST_NONE = 0x1fffffff;
constexpr int32_t CU_NODE_COUNT = 341;


// Motion data of a 2Nx2N prediction unit.
struct pu_single_t {
  uint8_t merge_flag;
  uint8_t merge_idx;
  mv_t mv[2];         // L0, L1
  int8_t ref_idx[2];  // negative: list unused
};
// Motion data of the two prediction units of a 2NxN or Nx2N CU.
struct pu_pair_t {
  uint8_t merge_flag[2];
  uint8_t merge_idx[2];
  mv_t mv[2][2];         // [PU][list]
  int8_t ref_idx[2][2];  // [PU][list]
};

struct cu_node_t {
  uint8_t split;          // coded as four children (at the minimum CU size: NxN)
  int8_t tu_split;        // the transform tree splits here
  uint8_t residual_mode;  // 3: no residual
  uint8_t split_mode;     // 0 split not tried, 1 both tried, 2 split forced
  uint8_t visited;
  uint32_t part_mode;  // 0 2Nx2N, 1 2NxN, 2 Nx2N, 3 NxN
  uint32_t recode;     // the buffers do not hold this node's decision
  uint32_t lowres_cost;
  uint8_t cbf_saved;
  uint8_t cbf_intra;
  uint8_t no_early_stop;
  uint8_t tu_saved;
  uint8_t held;  // 0, or the trial slot holding the decision as coding it again would leave it
  uint32_t mode_costs[35];
  uint32_t chroma_costs[5];
  uint32_t intra_sad_cost;
  uint32_t intra_cost;
  me_result_t me_best, me_other;
  uint32_t skip_cost, merge_res_cost, inter_sad_cost;
  uint32_t cost;
  uint32_t split_flag_cost[2];
  uint32_t skip;
  uint32_t merge_idx;
  struct {
    pu_single_t p2n;
    pu_pair_t p2nxn;  // 2NxN
    pu_pair_t pnx2n;  // Nx2N
  } pu;
  int32_t qp;
  uint32_t lambda_sad;
  uint32_t lambda_ssd;
  uint32_t pred_intra;
  int32_t luma_dir;    // -1: none
  int32_t parent_dir;  // -1: none
  int32_t chroma_dir;  // intra_chroma_pred_mode; 4 = derived from luma
  uint32_t tu_tree_cost;  // cost of the transform tree left by the last search
};

// Node of the block of log2 size s whose first 4x4 unit has z-order index z.
inline constexpr int32_t node_index(int32_t z, int32_t log2_size) {
  return (z >> (2 * (log2_size - 2))) + QUADTREE_LEVEL_FIRST[6 - log2_size];
}
// z-order step between the four children of a node of log2 size s.
inline constexpr int32_t child_step(int32_t log2_size) { return 1 << (2 * (log2_size - 3)); }
