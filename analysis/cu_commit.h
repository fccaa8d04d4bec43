// Writing a decided (trial or final) coding tree into the CTU maps and the
// per-unit decision that the coders, the predictors, deblocking and the
// syntax writer read.
#pragma once

#include <cstdint>

#include "analysis/cu_node.h"

struct encoder_t;

void cu_commit(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size);
// The transform tree below a leaf CU.
void cu_commit_transform_flags(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y,
                               int32_t log2_size);
// The transform tree below the node, as its nodes' tu_split flags decide it,
// in the per-unit transform sizes the coders and the rate estimate read; for
// the transform search, which decides one block at a time.
void cu_commit_transform_sizes(encoder_t *ctx, const cu_node_t *nodes, int32_t z, int32_t log2_size);
// Trials publish the intra mode they try through the node: the search sets
// the node's luma_dir or chroma_dir and commits that field alone, where the
// predictors, the block coders and the rate estimate read it.
void cu_commit_luma_dir(encoder_t *ctx, const cu_node_t *node, int32_t z, int32_t log2_size);
// The mode in the block's first 4x4 unit only, all that a prediction of the
// block reads: for the rough passes over many modes, whose winner an RD
// trial or the commit then publishes over the whole block.
void cu_commit_rough_luma_dir(encoder_t *ctx, const cu_node_t *node, int32_t z);
// intra_chroma_pred_mode of the 8x8 units of the block (of the 8x8 area for
// a 4x4 prediction unit).
void cu_commit_chroma_dir(encoder_t *ctx, const cu_node_t *node, int32_t z, int32_t log2_size);
