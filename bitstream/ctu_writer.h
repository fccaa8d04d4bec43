// CTU syntax (H.265 7.3.8): SAO, coding quadtree, coding unit, prediction
// units, transform tree and residual coding, written into the CABAC coder
// or counted on an estimation state with exactly the same bins.
#pragma once

#include <cstdint>

#include "bitstream/cabac.h"

struct encoder_t;

// Writes the current CTU (ctx->dec and the picture maps) into ctx->cabac,
// followed by end_of_slice_segment_flag.
void ctu_write(encoder_t *ctx, int32_t last_in_slice);

// Bits (1/256) of one coding unit's syntax as decided in ctx->dec, counted on
// est, which advances as coding would.  QP deltas are not counted.
uint32_t cu_estimate_bits(encoder_t *ctx, cabac_est_t *est, int32_t x, int32_t y, int32_t log2_size);
// Bits of split_cu_flag at a node (0 when the flag is not coded there).
uint32_t split_flag_estimate(encoder_t *ctx, cabac_est_t *est, int32_t x, int32_t y, int32_t log2_size,
                             int32_t split);

// H.265 8.4.2: the three most probable luma modes of the prediction block at
// CTU-relative (x, y), from the decided neighbours.
void mpm_candidates(const encoder_t *ctx, int32_t x, int32_t y, int32_t out[3]);

// H.265 8.6.1: qPY_PRED of the quantisation group at CTU-relative (x, y),
// given qPY_PREV.
int32_t qp_predict(const encoder_t *ctx, int32_t x, int32_t y, int32_t prev_qp);
