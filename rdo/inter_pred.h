// Motion-compensated prediction and inter CU coding.
#pragma once

#include <cstdint>

#include "motion/mv.h"

struct encoder_t;

// Predicts the w x h luma block at CTU-relative (x, y) and its chroma from
// the references ref[0] (list 0) and ref[1] (list 1) (negative: list
// unused) into the reconstruction buffer, as H.265 8.5.3.3 does.  Vectors
// may point anywhere: reads beyond the picture see its replicated edge.
// Without with_chroma only the luma block is predicted (for costs that
// look at luma alone).
void inter_predict_pu(encoder_t *ctx, int32_t x, int32_t y, int32_t w, int32_t h, const int8_t ref[2],
                      const mv_t mv[2], bool with_chroma = true);

// Predicts every prediction unit of the inter CU at (x, y) from the CTU
// maps, then codes its transform tree as committed in ctx->maps (cbf bits
// written).  With code_residual 0 only the prediction is made and the cbf
// bits cleared.  Returns 1 when any coefficient is coded.
// Codes the transform tree of the inter CU at (x, y) with its prediction
// already in the buffer.  Returns 1 when any coefficient is coded.
int32_t inter_cu_residual(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t qp);
// What a residual trial has costed so far, a lower bound of its cost: the
// distortion of its coded luma blocks (and Cb blocks) and, once counted,
// the bits of the CU's syntax up to its prediction units, then, where the
// CU is one transform block, of its luma residual, counted on the live
// states as soon as it is coded: no quantisation reads the contexts of
// either but the luma block's own (with more luma blocks, the next one's
// would read the counted states).  The coding stops at the first luma or
// Cb block after which that cost reaches `bound`.
struct inter_trial_bound_t {
  int32_t x, y, log2_size;  // the CU
  uint32_t lambda;
  uint32_t bound;
  uint32_t chroma_weight;
  bool luma_counted;  // its luma residual counted as coded: one transform block
  uint32_t luma_distortion = 0;
  uint64_t cb_distortion = 0;
  uint32_t bits = 0;
  bool head_counted = false;
  bool cut = false;

  // The distortion part: the chroma distortion is weighed over the Cb and
  // Cr blocks together, which weighs no less than over Cb alone.
  uint32_t distortion() const {
    return luma_distortion + static_cast<uint32_t>((cb_distortion * chroma_weight + 128) >> 8);
  }
};
// Counts the CU's syntax up to its prediction units into the bound's bits,
// once (with the trial's first coded luma level, if not before).
void inter_trial_count_head(encoder_t *ctx, inter_trial_bound_t *b);
int32_t inter_cu_residual_bounded(encoder_t *ctx, int32_t qp, inter_trial_bound_t *b);
int32_t inter_cu_code(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t qp, int32_t code_residual);
