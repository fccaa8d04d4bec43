// The coding-tree search of P and B pictures at the thorough analysis
// levels (5-7): every merge candidate is coded and costed as a skip CU (and
// from level 6 with residual), motion is searched per list and reference,
// bi-prediction, intra and at level 7 the 2NxN and Nx2N partitions are
// tried, the winner's transform tree is searched, and the split is tried
// with no early abort.
#pragma once

#include <cstdint>

#include "analysis/cu_node.h"

struct encoder_t;
struct lowres_cu_search_t;

// Searches the CU of log2 size 3..6 whose first 4x4 unit has z-order index
// z, at CTU-relative luma position (x, y), and its subtree; the record is
// handed on to the children unread.  The caller has set the node's parent
// up as split (or passes the 64x64 root).  At return the node's cost is
// that of its subtree with the split-flag cost of the chosen alternative,
// the decision is committed in the maps, its reconstruction and levels are
// in place and the live estimation state holds the states after coding it.
void analyse_cu_inter_full(encoder_t *ctx, cu_node_t *nodes, lowres_cu_search_t *lowres, int32_t z, int32_t x,
                           int32_t y, int32_t log2_size);
