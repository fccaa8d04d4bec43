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
int32_t inter_cu_code(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t qp, int32_t code_residual);
