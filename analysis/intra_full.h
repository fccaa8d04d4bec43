// The coding-tree search of intra pictures at the thorough analysis levels
// (5-7): every candidate luma mode is judged by the residual quad-tree
// search, so the transform split of each trial is chosen along with it.
#pragma once

#include <cstdint>

#include "analysis/cu_node.h"

struct encoder_t;

// Searches the CU of log2 size 2..6 whose first 4x4 unit has z-order index
// z, at CTU-relative luma position (x, y), and its subtree.  The caller
// (the CTU driver) has set the node's parent up as split, or passes the
// 64x64 root.  At return the subtree's decision is committed into the maps
// and the per-unit decision, its reconstruction and levels are in place,
// the live estimation state holds the winner's coding, and the node's
// intra_cost is the subtree's cost including the split-flag cost of the
// chosen alternative.  intra_refs_refresh is 1.
void analyse_cu_intra_full(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size);

// What the search at an 8x8 CU or above put against the unsplit CU.
enum intra_full_split_kind_t : int32_t {
  INTRA_FULL_SPLIT_CHILDREN = 0,   // four CUs of half the size
  INTRA_FULL_SPLIT_NXN = 1,        // four 4x4 prediction units
  INTRA_FULL_SPLIT_COMMON_2NX2N = 2,  // 2Nx2N with the PUs' common mode and a split transform
};

// Observer of the search, for tests: told of every residual quad-tree
// search it starts (before the search) and of every split decision
// (unsplit_cost COST_NONE when the split was forced).  Either pointer may
// be null.
struct intra_full_probe_t {
  void *user;
  void (*tree_search)(void *user, int32_t z, int32_t log2_size, int32_t mask, int32_t final);
  void (*decision)(void *user, int32_t z, int32_t log2_size, uint32_t unsplit_cost, uint32_t split_cost,
                   int32_t kind);
  // Search every mode of a 4x4 prediction unit, also those whose trial
  // repeats an earlier one's prediction (the result is the same).
  bool every_trial;
};
// Installs the observer for searches running on the calling thread; null
// removes it.
void intra_full_set_probe(const intra_full_probe_t *probe);
