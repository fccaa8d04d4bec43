#include "ratecontrol/ratecontrol_ctu.h"

#include <algorithm>
#include <cmath>

#include "analysis/analysis_tables.h"
#include "encoder/encoder.h"

void ratecontrol_ctu_qp(encoder_t *ctx) {
  const int32_t qp = ctx->slice_qp;
  // Rows: I pictures, P pictures, then B pictures by pyramid level.
  const int32_t cls = ctx->slice_type_code == 2   ? 0
                      : ctx->slice_type_code == 1 ? 1
                                                  : 1 + std::clamp<int32_t>(ctx->cur_input->b_level, 1, 3);
  ctx->ctu_qp = qp;
  ctx->ctu_lambda_ssd = ctx->tables->lambda_ssd_table[cls][qp];
  ctx->ctu_lambda_sad = ctx->tables->lambda_sad_table[cls][qp];
  ctx->lambda_ssd = ctx->ctu_lambda_ssd / 256.0;
  ctx->lambda_sad = std::sqrt(ctx->lambda_ssd);
}
