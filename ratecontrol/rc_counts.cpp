// What each CTU coded, gathered for the first pass's statistics and the CBR
// models.
#include "ratecontrol/rc_counts.h"

#include <algorithm>

#include "analysis/ctu_maps.h"
#include "encoder/encoder.h"
#include "ratecontrol/cbr.h"
#include "ratecontrol/ratecontrol.h"

void ratecontrol_ctu_counts(encoder_t *ctx, int32_t bits) {
  const ratecontrol_t *rc = ctx->rc;
  rc_picture_counts_t &n = ctx->rc_counts;
  const int32_t w8 = (std::min(64, ctx->width - 64 * ctx->ctu_x) + 7) / 8;
  const int32_t h8 = (std::min(64, ctx->height - 64 * ctx->ctu_y) + 7) / 8;
  for (int32_t y = 0; y < h8; y++)
    for (int32_t x = 0; x < w8; x++) {
      const int32_t u = map8_index(x, y);
      n.intra_units += ctx->maps->pred_intra[u] != 0;
      n.skip_units += (ctx->maps->flags[u] & 1) != 0;
    }
  n.ln_lambda_sum += cbr_lambda_ln(ctx->ctu_qp);
  n.lambda_count++;
  if (rc->cbr_ctu_model && rc->cbr) cbr_ctu_update(rc->cbr_ctu_model, ctx->ctu_x, ctx->ctu_y, bits);
}

void ratecontrol_ctu_factor(encoder_t *ctx) {
  const ratecontrol_t *rc = ctx->rc;
  if (!rc->cbr || !rc->cbr_ctu_model) return;
  cbr_ctu_qp(rc->cbr_ctu_model, ctx->ctu_x, ctx->ctu_y, &ctx->cbr_ctu_mark, &ctx->cbr_ctu_factor);
}

void rc_counts_add(rc_picture_counts_t *sum, const rc_picture_counts_t &row) {
  sum->mv_bits += row.mv_bits;
  sum->tex_bits += row.tex_bits;
  sum->intra_units += row.intra_units;
  sum->skip_units += row.skip_units;
  sum->ln_lambda_sum += row.ln_lambda_sum;
  sum->lambda_count += row.lambda_count;
}
