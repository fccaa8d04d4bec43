#include "analysis/analysis.h"
#include "analysis/decision_common.h"
#include "bitstream/ctu_writer.h"
#include "rdo/block_coding.h"

namespace {

uint32_t next_random(encoder_t *ctx) {
  // xorshift32: deterministic per CTU whatever thread codes it.
  uint32_t x = ctx->rng;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  ctx->rng = x;
  return x;
}

struct qg_t {
  int32_t enabled, log2_qg;
  int32_t target, pred, delta_coded;
};

void random_tu_tree(encoder_t *ctx, int32_t z, int32_t log2_size, int32_t depth, int32_t max_depth, int32_t nxn) {
  const bool forced = log2_size > 5 || (nxn && depth == 0);
  const bool allowed = log2_size > 2 && depth < max_depth;
  const bool split = forced || (allowed && (next_random(ctx) % 3) == 0);
  if (!split) {
    fill_units(ctx->dec->tu_log2, z, log2_size, static_cast<uint8_t>(log2_size));
    return;
  }
  const int32_t child_units = 1 << (2 * (log2_size - 3));
  for (int32_t k = 0; k < 4; k++) random_tu_tree(ctx, z + k * child_units, log2_size - 1, depth + 1, max_depth, nxn);
}

void random_cu(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, qg_t *qg) {
  ctu_decision_t *d = ctx->dec;
  const int32_t size = 1 << log2_size;
  const int32_t z = zorder_of(x >> 2, y >> 2);
  const bool crosses = !block_in_picture(ctx, x + size - 1, y + size - 1);
  if (qg->enabled && log2_size >= qg->log2_qg) {
    qg->target = static_cast<int32_t>(next_random(ctx) % 52);
    qg->pred = qp_predict(ctx, x, y, ctx->prev_qp);
    qg->delta_coded = 0;
  }
  const bool split = log2_size > 3 && (crosses || (next_random(ctx) % 4) < (log2_size == 6 ? 3u : 2u));
  if (split) {
    const int32_t h = size >> 1;
    for (int32_t k = 0; k < 4; k++) {
      const int32_t cx = x + (k & 1) * h, cy = y + (k >> 1) * h;
      if (block_in_picture(ctx, cx, cy)) random_cu(ctx, cx, cy, log2_size - 1, qg);
    }
    return;
  }
  const int32_t nxn = log2_size == 3 && (next_random(ctx) & 1);
  fill_units(d->cu_log2, z, log2_size, static_cast<uint8_t>(log2_size));
  fill_units(d->part_nxn, z, log2_size, static_cast<uint8_t>(nxn));
  fill_units(d->pred_intra, z, log2_size, 1);
  fill_units(d->chroma_syntax, z, log2_size, static_cast<uint8_t>(next_random(ctx) % 5));
  if (nxn) {
    for (int32_t k = 0; k < 4; k++) d->luma_mode[z + k] = static_cast<uint8_t>(next_random(ctx) % 35);
  } else {
    fill_units(d->luma_mode, z, log2_size, static_cast<uint8_t>(next_random(ctx) % 35));
  }
  random_tu_tree(ctx, z, log2_size, 0, ctx->sps->max_tr_depth_intra + nxn, nxn);
  const int32_t qp = qg->enabled ? qg->target : ctx->slice_qp;
  const int32_t coded = intra_cu_code(ctx, x, y, log2_size, qp);
  // The QP a decoder derives: the group's predicted QP until its delta has
  // been sent, the target from then on.
  int32_t qpy = ctx->slice_qp;
  if (qg->enabled) {
    if (coded) qg->delta_coded = 1;
    qpy = qg->delta_coded ? qg->target : qg->pred;
  }
  fill_units(reinterpret_cast<uint8_t *>(d->qp), z, log2_size, static_cast<uint8_t>(qpy));
  ctx->prev_qp = qpy;
}

}  // namespace

void analyse_ctu_random(encoder_t *ctx) {
  qg_t qg{};
  qg.enabled = ctx->pps->cu_qp_delta_enabled;
  qg.log2_qg = 6 - ctx->pps->diff_cu_qp_delta_depth;
  random_cu(ctx, 0, 0, 6, &qg);
}
