// The CTU analysis drivers: per CTU the search limits, one quad-tree
// recursion from the 64x64 node, and the decision left committed.
#pragma once

#include <cstdint>

#include "analysis/cu_node.h"
#include "bitstream/cabac.h"
#include "motion/me_context.h"

struct encoder_t;

// The CTU's 32x32 block of the half-resolution picture and a motion-search
// context over the references' half-resolution pictures, for the CU search
// on them (the internal setting lowres_cu_search).
struct lowres_cu_search_t {
  alignas(32) uint8_t block[64 * 32];  // stride 64
  me_context_t me;
};

// Node array and half-resolution record of a frame or row context.
int32_t analysis_alloc(encoder_t *ctx);
void analysis_free(encoder_t *ctx);

// Fills the record for the current CTU: its source block and the search
// context at the CTU's half-resolution position.
void ctu_load_lowres_block(encoder_t *ctx, lowres_cu_search_t *lowres);

void analyse_ctu_intra_full(encoder_t *ctx);
void analyse_ctu_inter_full(encoder_t *ctx);
void analyse_ctu_fast(encoder_t *ctx);
// Runs the CTU's rate control, then sets its CU depth range from the
// neighbouring and co-located CTUs.
void ctu_predict_depth_range(encoder_t *ctx, cu_node_t *nodes);
// The depth range rule alone: min_depth/max_depth of up to four neighbours
// (left, above, co-located list 0, co-located list 1; count 0..4, the first
// `spatial` of them spatial).  Returns the minimum depth before the slice
// rules.
int32_t depth_range_min(const int8_t *min_depth, const int8_t *max_depth, int32_t count, int32_t spatial,
                        int32_t analysis_level);

// The quad-tree recursion of I slices at analysis levels 0-4, and the split
// decision of a node (flags: bit 0 right children inside, bit 1 lower
// children inside, bits 2-3 the node's split mode).
void analyse_cu_fast_intra(encoder_t *ctx, cu_node_t *nodes, lowres_cu_search_t *lowres, int32_t z, int32_t x,
                           int32_t y, int32_t log2_size);
void cu_decide_split(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                     int32_t flags);
// A node set up as the fast recursions do on entry.
void cu_node_reset(const encoder_t *ctx, cu_node_t *node);
// Copies of the first significance and greater-than-one contexts, which
// the quantiser adapts while a node is searched, into the spare state
// bytes.
void copy_spare_states(cabac_est_t *e);
// Luma SSD of the CTU's source against the reconstruction buffer plus the
// weighted chroma SSD (and the weighted 4x4 terms with distortion
// weighting, never below zero).
uint32_t ctu_weighted_distortion(encoder_t *ctx);
// The quad-tree recursion of P and B slices at analysis levels 0-4.
void analyse_cu_fast_inter(encoder_t *ctx, cu_node_t *nodes, lowres_cu_search_t *lowres, int32_t z, int32_t x,
                           int32_t y, int32_t log2_size);
// The four 32x32 transform blocks of a 64x64 CU: children of the node with
// unsplit transform trees and the node's QP, multipliers and intra fields.
void cu_tu_children_setup(cu_node_t *nodes, const cu_node_t *node);
