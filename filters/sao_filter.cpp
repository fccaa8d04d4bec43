#include "common/primitives.h"
#include "encoder/encoder.h"
#include "filters/sao.h"

void sao_filter_ctu(encoder_t *ctx, int32_t ctu_x, int32_t ctu_y, int32_t part) {
  if (ctx->sao_enable & 1) ctx->sao.sao_apply_ctu(ctx, ctu_x, ctu_y, 0, 0, part);
  if (ctx->sao_enable & 2) {
    ctx->sao.sao_apply_ctu(ctx, ctu_x, ctu_y, 1, 0, part);
    ctx->sao.sao_apply_ctu(ctx, ctu_x, ctu_y, 2, 0, part);
  }
}
