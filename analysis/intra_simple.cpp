#include <cmath>
#include <cstring>

#include "analysis/analysis.h"
#include "analysis/decision_common.h"
#include "bitstream/ctu_writer.h"
#include "rdo/block_coding.h"

namespace {

// Everything a CU trial changes, for putting the better trial back.
struct cu_snapshot_t {
  uint8_t rec_y[32 * 32];
  uint8_t rec_c[2][16 * 16];
  uint8_t units[8][64];
  int8_t qp[64];
  int16_t coef_y[32 * 32];
  int16_t coef_c[2][16 * 16];
  cabac_est_t est;
};

uint8_t *unit_arrays(ctu_decision_t *d, int32_t i) {
  uint8_t *a[8] = {d->cu_log2, d->part_nxn, d->pred_intra, d->luma_mode, d->chroma_syntax, d->tu_log2, d->cbf,
                   d->skip};
  return a[i];
}

void snapshot_save(encoder_t *ctx, cu_snapshot_t *s, int32_t x, int32_t y, int32_t log2_size, const cabac_est_t *est) {
  const int32_t n = 1 << log2_size, z = zorder_of(x >> 2, y >> 2), units = n * n / 16;
  for (int32_t r = 0; r < n; r++) std::memcpy(s->rec_y + r * n, ctu_rec_at(ctx, 0, x, y + r), n);
  for (int32_t p = 0; p < 2; p++)
    for (int32_t r = 0; r < n / 2; r++)
      std::memcpy(s->rec_c[p] + r * n / 2, ctu_rec_at(ctx, p + 1, x / 2, y / 2 + r), n / 2);
  for (int32_t i = 0; i < 8; i++) std::memcpy(s->units[i], unit_arrays(ctx->dec, i) + z, units);
  std::memcpy(s->qp, ctx->dec->qp + z, units);
  std::memcpy(s->coef_y, ctx->dec->coef_y + 16 * z, sizeof(int16_t) * n * n);
  for (int32_t p = 0; p < 2; p++) std::memcpy(s->coef_c[p], ctx->dec->coef_c[p] + 4 * z, sizeof(int16_t) * n * n / 4);
  s->est = *est;
}

void snapshot_restore(encoder_t *ctx, const cu_snapshot_t *s, int32_t x, int32_t y, int32_t log2_size,
                      cabac_est_t *est) {
  const int32_t n = 1 << log2_size, z = zorder_of(x >> 2, y >> 2), units = n * n / 16;
  for (int32_t r = 0; r < n; r++) std::memcpy(ctu_rec_at(ctx, 0, x, y + r), s->rec_y + r * n, n);
  for (int32_t p = 0; p < 2; p++)
    for (int32_t r = 0; r < n / 2; r++)
      std::memcpy(ctu_rec_at(ctx, p + 1, x / 2, y / 2 + r), s->rec_c[p] + r * n / 2, n / 2);
  for (int32_t i = 0; i < 8; i++) std::memcpy(unit_arrays(ctx->dec, i) + z, s->units[i], units);
  std::memcpy(ctx->dec->qp + z, s->qp, units);
  std::memcpy(ctx->dec->coef_y + 16 * z, s->coef_y, sizeof(int16_t) * n * n);
  for (int32_t p = 0; p < 2; p++) std::memcpy(ctx->dec->coef_c[p] + 4 * z, s->coef_c[p], sizeof(int16_t) * n * n / 4);
  *est = s->est;
}

// Best luma mode of the prediction block at (x, y) by SATD plus the mode's
// approximate signalling cost.
int32_t best_luma_mode(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size) {
  int32_t mpm[3];
  mpm_candidates(ctx, x, y, mpm);
  const int32_t n = 1 << log2_size;
  pixel_cost_fn satd = ctx->pixel.satd[6 - log2_size];
  double best_cost = 0;
  int32_t best = 0;
  intra_prepare_refs(ctx, 0, x, y, log2_size);
  for (int32_t mode = 0; mode < 35; mode++) {
    intra_predict_prepared(ctx, 0, x, y, log2_size, mode);
    double bits = mode == mpm[0] ? 2 : (mode == mpm[1] || mode == mpm[2]) ? 3 : 6;
    double cost = satd(ctu_src_at(ctx, 0, x, y), SRC_STRIDE, ctu_rec_at(ctx, 0, x, y), RECON_STRIDE) +
                  ctx->lambda_sad * bits;
    if (mode == 0 || cost < best_cost) {
      best_cost = cost;
      best = mode;
    }
  }
  (void)n;
  return best;
}

double cu_cost(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, uint32_t bits) {
  uint64_t sse[3];
  cu_distortion(ctx, x, y, log2_size, sse);
  return static_cast<double>(sse[0] + sse[1] + sse[2]) + ctx->lambda_ssd * bits / 256.0;
}

void set_cu(encoder_t *ctx, int32_t z, int32_t log2_size, int32_t nxn) {
  ctu_decision_t *d = ctx->dec;
  fill_units(d->cu_log2, z, log2_size, static_cast<uint8_t>(log2_size));
  fill_units(d->part_nxn, z, log2_size, static_cast<uint8_t>(nxn));
  fill_units(d->pred_intra, z, log2_size, 1);
  fill_units(d->skip, z, log2_size, 0);
  fill_units(d->chroma_syntax, z, log2_size, 4);
  fill_units(d->tu_log2, z, log2_size, static_cast<uint8_t>(nxn ? 2 : log2_size));
  fill_units(reinterpret_cast<uint8_t *>(d->qp), z, log2_size, static_cast<uint8_t>(ctx->slice_qp));
}

double try_cu_2nx2n(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, cabac_est_t *est) {
  const int32_t z = zorder_of(x >> 2, y >> 2);
  set_cu(ctx, z, log2_size, 0);
  fill_units(ctx->dec->luma_mode, z, log2_size, static_cast<uint8_t>(best_luma_mode(ctx, x, y, log2_size)));
  intra_cu_code(ctx, x, y, log2_size, ctx->slice_qp);
  uint32_t bits = split_flag_estimate(ctx, est, x, y, log2_size, 0);
  bits += cu_estimate_bits(ctx, est, x, y, log2_size);
  return cu_cost(ctx, x, y, log2_size, bits);
}

double try_cu_nxn(encoder_t *ctx, int32_t x, int32_t y, cabac_est_t *est) {
  const int32_t z = zorder_of(x >> 2, y >> 2);
  set_cu(ctx, z, 3, 1);
  // Each 4x4 block is predicted from the reconstruction of the ones before.
  for (int32_t k = 0; k < 4; k++) {
    const int32_t px = x + (k & 1) * 4, py = y + (k >> 1) * 4;
    const int32_t mode = best_luma_mode(ctx, px, py, 2);
    ctx->dec->luma_mode[z + k] = static_cast<uint8_t>(mode);
    intra_predict_block(ctx, 0, px, py, 2, mode);
    transform_block_code(ctx, 0, px, py, 2, ctx->slice_qp, 1, mode, ctx->dec->coef_y + 16 * (z + k));
  }
  intra_cu_code(ctx, x, y, 3, ctx->slice_qp);
  uint32_t bits = split_flag_estimate(ctx, est, x, y, 3, 0);
  bits += cu_estimate_bits(ctx, est, x, y, 3);
  return cu_cost(ctx, x, y, 3, bits);
}

double decide_cu(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, cabac_est_t *est) {
  const int32_t size = 1 << log2_size;
  const bool whole = block_in_picture(ctx, x + size - 1, y + size - 1);
  // 64x64 CUs are always split: prediction blocks stop at 32x32.
  const bool can_stay = whole && log2_size <= 5;
  const bool can_split = log2_size > 3;
  cu_snapshot_t snap;
  double best = 0;
  bool have = false;
  const cabac_est_t start = *est;
  if (can_stay) {
    best = try_cu_2nx2n(ctx, x, y, log2_size, est);
    have = true;
    if (log2_size == 3 && ctx->param.intra_nxn) {
      snapshot_save(ctx, &snap, x, y, log2_size, est);
      *est = start;
      double c = try_cu_nxn(ctx, x, y, est);
      if (c < best)
        best = c;
      else
        snapshot_restore(ctx, &snap, x, y, log2_size, est);
    }
  }
  if (!can_split) return best;
  if (have) snapshot_save(ctx, &snap, x, y, log2_size, est);
  *est = start;
  uint32_t flag_bits = split_flag_estimate(ctx, est, x, y, log2_size, 1);
  double split_cost = ctx->lambda_ssd * flag_bits / 256.0;
  const int32_t h = size >> 1;
  for (int32_t k = 0; k < 4; k++) {
    const int32_t cx = x + (k & 1) * h, cy = y + (k >> 1) * h;
    if (block_in_picture(ctx, cx, cy)) split_cost += decide_cu(ctx, cx, cy, log2_size - 1, est);
    // Stop early once the split already costs more than staying whole.
    if (have && split_cost >= best) break;
  }
  if (have && split_cost >= best) {
    snapshot_restore(ctx, &snap, x, y, log2_size, est);
    return best;
  }
  return split_cost;
}

}  // namespace

void analyse_ctu_simple(encoder_t *ctx) {
  cabac_est_t est = ctx->cabac.est;
  decide_cu(ctx, 0, 0, 6, &est);
}
