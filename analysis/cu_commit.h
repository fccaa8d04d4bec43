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
// Writes the luma mode of a block into the direction map and the decision.
void set_luma_dir(encoder_t *ctx, int32_t z, int32_t log2_size, int32_t mode);
// Writes the chroma mode (intra_chroma_pred_mode) of the 8x8 units of a block.
void set_chroma_dir(encoder_t *ctx, int32_t z, int32_t log2_size, int32_t mode);
