// CTU syntax (H.265 7.3.8): SAO, coding quadtree, coding unit, prediction
// units, transform tree and residual coding, written into the CABAC coder
// or counted on an estimation state with exactly the same bins.
#pragma once

#include <cstdint>

#include "bitstream/cabac.h"

struct encoder_t;
struct ctu_maps_t;

// Writes the current CTU (ctx->maps and the picture maps) into ctx->cabac,
// followed by end_of_slice_segment_flag.
void ctu_write(encoder_t *ctx, int32_t last_in_slice);

// Bits (1/256) of one coding unit's syntax as committed in ctx->maps, counted on
// est, which advances as coding would.  QP deltas are not counted.
uint32_t cu_estimate_bits(encoder_t *ctx, cabac_est_t *est, int32_t x, int32_t y, int32_t log2_size);

// A committed inter CU that is not skipped, counted in parts as a trial
// codes it: INTER_CU_HEAD its syntax up to the prediction units, then
// INTER_CU_TAIL the rest; or the head, the luma residuals one by one
// through residual_bits, then INTER_CU_TAIL_BUT_LUMA (the rest without
// the luma residuals).  The parts share no context, so their sum and the
// final states are cu_estimate_bits's in any order.  INTRA_CU_SYNTAX
// counts a committed intra CU without its chroma cbf flags and without the
// residual_coding() of any block (the bins left share no context with
// those, so they too sum with them to cu_estimate_bits in any order).
constexpr int32_t INTER_CU_HEAD = 1, INTER_CU_TAIL = 2, INTER_CU_TAIL_BUT_LUMA = 3, INTRA_CU_SYNTAX = 4;
uint32_t inter_cu_part_estimate(encoder_t *ctx, cabac_est_t *est, int32_t x, int32_t y, int32_t log2_size,
                                int32_t part);

// Bits of one residual_coding() of the levels (row-major, stride N).
uint32_t residual_bits(const encoder_t *ctx, cabac_est_t *est, const int16_t *levels, int32_t log2_size,
                       int32_t plane, int32_t scan_idx);
// The same for a caller that only needs to know whether bits * lambda
// reaches `reach`: while it stays below, exactly residual_bits; once the
// bits counted reach it the count may stop part way, returning them (bits *
// lambda at least reach) with the states advanced that far.
uint32_t residual_bits_within(const encoder_t *ctx, cabac_est_t *est, const int16_t *levels, int32_t log2_size,
                              int32_t plane, int32_t scan_idx, uint32_t lambda, uint64_t reach);
// Bits of one prediction unit as committed in the CTU maps.
uint32_t prediction_unit_estimate(encoder_t *ctx, cabac_est_t *est, int32_t x, int32_t y, int32_t w, int32_t h,
                                  int32_t log2_cu);
// Bits of the transform tree of the CU at (x, y) as decided (QP deltas not counted).
uint32_t transform_tree_estimate(encoder_t *ctx, cabac_est_t *est, int32_t x, int32_t y, int32_t log2_size);
// Bits of the whole CTU's syntax (SAO, coding quadtree, QP deltas) as
// ctu_write would code them, without the end-of-slice flag.
uint32_t ctu_estimate_bits(encoder_t *ctx, cabac_est_t *est);

// H.265 8.4.2: the three most probable luma modes of the prediction block at
// CTU-relative (x, y), from the decided neighbours.
void mpm_candidates(const encoder_t *ctx, int32_t x, int32_t y, int32_t out[3]);

// H.265 8.6.1: qPY_PRED of the quantisation group at CTU-relative (x, y),
// given qPY_PREV; only the CTU's own QPs count.
int32_t qp_predict(const ctu_maps_t *maps, int32_t x, int32_t y, int32_t prev_qp);
