// Writing a decided (trial or final) coding tree into the CTU maps and the
// per-unit decision that the coders, the predictors, deblocking and the
// syntax writer read.  It lies below the decision, beside the costs: a
// trial's cost is counted from what the commit wrote, so the cost functions
// commit as the decision does.
#pragma once

#include <cstdint>

#include "analysis/ctu_maps.h"
#include "analysis/cu_node.h"

struct encoder_t;

void cu_commit(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size);
// An unsplit 2Nx2N inter CU committed since with cu_commit whose skip flag,
// merge index or motion alone changed: those maps only.
void cu_commit_motion(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t log2_size);
// The same when the skip flag alone changed, on a 2Nx2N merged CU whose
// skip merge index is its unit's: the skip and merge flags only.
void cu_commit_skip_flag(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t log2_size);
// The transform tree below a leaf CU.
void cu_commit_transform_flags(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y,
                               int32_t log2_size);
// After a snapshot has put a CU's record back, the nodes of its transform
// tree take their tu_split and residual_mode from the record again, so that
// the next commit of the CU (nodes to record) writes what the record holds.
// Only the nodes the commit reads are visited: the tree as its split flags
// decide it.
void cu_reload_transform_flags(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t log2_size);
// The transform tree below the node, as its nodes' tu_split flags decide it,
// in the per-unit transform sizes the coders and the rate estimate read; for
// the transform search, which decides one block at a time.
void cu_commit_transform_sizes(encoder_t *ctx, const cu_node_t *nodes, int32_t z, int32_t log2_size);
// Trials publish the intra mode they try through the node: the search sets
// the node's luma_dir or chroma_dir and commits that field alone, where the
// predictors, the block coders and the rate estimate read it.
void cu_commit_luma_dir(encoder_t *ctx, const cu_node_t *node, int32_t z, int32_t log2_size);
// The same for a 4x4 prediction unit's mode, inline: each of a unit's many
// trials publishes its mode.
inline void cu_commit_unit_luma_dir(ctu_maps_t *maps, int32_t z, int32_t mode) {
  maps->intra_dir[map4_index(zorder_x(z), zorder_y(z))] = static_cast<int8_t>(mode);
  maps->unit.luma_mode[z] = static_cast<uint8_t>(mode);
}
// The mode in the block's first 4x4 unit only, all that a prediction of the
// block reads: for the rough passes over many modes, whose winner an RD
// trial or the commit then publishes over the whole block.
void cu_commit_rough_luma_dir(encoder_t *ctx, const cu_node_t *node, int32_t z);
// intra_chroma_pred_mode of the 8x8 units of the block (of the 8x8 area for
// a 4x4 prediction unit).
void cu_commit_chroma_dir(encoder_t *ctx, const cu_node_t *node, int32_t z, int32_t log2_size);
// An inter prediction unit of w x h at (x, y) that a partition search tries
// before the CU is committed, in the 8x8 maps that the vector predictors of
// the next unit read: inter, merge flag and index, both reference indices,
// and the vector of each list in use (the others keep theirs).
void cu_commit_pu_trial(encoder_t *ctx, int32_t x, int32_t y, int32_t w, int32_t h, int32_t merge, int32_t merge_idx,
                        const int8_t ref[2], const mv_t mv[2]);
// The reference index a motion search tries, where the vector predictors
// read it: the AMVP list of a reference is derived from the index the
// list's map holds at the PU's first unit.  Fills n8 x n8 8x8 units from
// the unit at luma (x, y) of the CTU.
void cu_commit_search_ref(encoder_t *ctx, int32_t x, int32_t y, int32_t n8, int32_t list, int32_t ref);
// The CU depth map over the block (depth 6 - log2 size), set when a trial
// starts so that the split-flag contexts of later blocks read it; the four
// 4x4 prediction units of an NxN CU share their 8x8 cell, which the first
// sets to depth 3.
void cu_commit_depth(encoder_t *ctx, int32_t z, int32_t log2_size);
// The node's coded-block-flag byte (bit 0 Y, bit 1 Cb, bit 2 Cr) for a
// trial whose flags are known without coding it again.
void cu_commit_cbf(encoder_t *ctx, int32_t z, int32_t log2_size, uint8_t cbf);
// A node coded as its children (or as four 4x4 prediction units): its cbf
// byte is the OR of the bytes of the children in `kids` (bit k: child k,
// the children inside the picture).
void cu_commit_children_cbf(encoder_t *ctx, int32_t z, int32_t log2_size, uint32_t kids);
// The split decision of a node above the minimum CU size: CU split 1 and
// the children's cbf bytes ORed; the children are committed already.
void cu_commit_split(encoder_t *ctx, int32_t z, int32_t log2_size, uint32_t kids);
// The partition of an NxN CU that won against the 2Nx2N CU.
void cu_commit_part_mode(encoder_t *ctx, const cu_node_t *node, int32_t z, int32_t log2_size);
// An inter CU coded without residual: the node's residual mode (3) and no
// coded block in the node's byte or its units.
void cu_commit_no_residual(encoder_t *ctx, const cu_node_t *node, int32_t z, int32_t log2_size);
