// RD costs of committed CUs, the split-flag cost, the texture split test
// and the block encoders.
#include "rdo/rd_cost.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "analysis/analysis_tables.h"
#include "analysis/decision_common.h"
#include "bitstream/ctu_writer.h"
#include "rdo/block_coding.h"
#include "rdo/cu_commit.h"
#include "rdo/inter_pred.h"

void ctu_map8_fill(uint8_t *first, int32_t w, int32_t h, uint8_t value) {
  // Rows of 1, 2, 4 or 8 bytes as single stores of that width (a memset
  // call per row cost more than the row).
  const uint64_t bytes = 0x0101010101010101ull * value;
  auto rows = [&](auto width) {
    for (int32_t j = 0; j < h; j++) std::memcpy(first + MAP8_STRIDE * j, &bytes, width);
  };
  switch (w) {
    case 8: rows(std::integral_constant<size_t, 8>{}); break;
    case 4: rows(std::integral_constant<size_t, 4>{}); break;
    case 2: rows(std::integral_constant<size_t, 2>{}); break;
    case 1: rows(std::integral_constant<size_t, 1>{}); break;
    default:
      for (int32_t j = 0; j < h; j++) std::memset(first + MAP8_STRIDE * j, value, static_cast<size_t>(w));
  }
}

void ctu_map32_fill(mv_t *first, int32_t w, int32_t h, mv_t value) {
  for (int32_t j = 0; j < h; j++)
    for (int32_t i = 0; i < w; i++) first[MAP8_STRIDE * j + i] = value;
}

namespace {

// Luma and chroma, or chroma alone.  The blocks are squares of 4x4 .. 64x64
// (chroma 4x4 .. 32x32): each size's own kernel, with no size dispatch.
[[gnu::noinline]] uint32_t distortion_with_chroma(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size,
                                                  int32_t planes) {
  uint32_t d = 0;
  if (planes & 1)
    d = ctx->pixel.ssd[6 - log2_size](ctu_src_at(ctx, 0, x, y), SRC_STRIDE, ctu_rec_at(ctx, 0, x, y), RECON_STRIDE);
  const int32_t log2_c = std::max(log2_size - 1, 2), c = 1 << log2_c;
  const int32_t cx = (x >> 1) & ~(c - 1), cy = (y >> 1) & ~(c - 1);
  const pixel_cost_fn ssd = ctx->pixel.ssd[6 - log2_c];
  uint64_t sc = 0;
  for (int32_t p = 1; p <= 2; p++)
    sc += ssd(ctu_src_at(ctx, p, cx, cy), SRC_STRIDE, ctu_rec_at(ctx, p, cx, cy), RECON_STRIDE);
  return d + static_cast<uint32_t>((sc * chroma_weight(ctx->tables, ctx->ctu_qp) + 128) >> 8);
}

}  // namespace

// Luma alone, the transform searches' case, is a jump to its kernel.
uint32_t block_distortion(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t planes) {
  if (planes == 1)
    return ctx->pixel.ssd[6 - log2_size](ctu_src_at(ctx, 0, x, y), SRC_STRIDE, ctu_rec_at(ctx, 0, x, y),
                                         RECON_STRIDE);
  if (!(planes & 2)) return 0;
  return distortion_with_chroma(ctx, x, y, log2_size, planes);
}

namespace {

// Codes the committed CU, its residual quantised at qp.
int32_t code_cu(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t predict, int32_t qp) {
  const ctu_maps_t *m = ctx->maps;
  const int32_t z = zorder_of(x >> 2, y >> 2);
  if (unit_intra(m, z)) return intra_cu_code(ctx, x, y, log2_size, qp);
  if (!predict) return unit_skip(m, z) ? 0 : inter_cu_residual(ctx, x, y, log2_size, qp);
  return inter_cu_code(ctx, x, y, log2_size, qp, !unit_skip(m, z));
}

uint32_t cost_in_place(encoder_t *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y, int32_t log2_size) {
  const uint32_t bits = cu_estimate_bits(ctx, &ctx->cabac.est, x, y, log2_size);
  const uint32_t dist = block_distortion(ctx, x, y, log2_size, 3);
  ctx->last_distortion = dist;
  ctx->maps->cbf[node_index(z, log2_size)] = block_cbf(ctx->maps->unit.cbf, z, log2_size);
  return rd_cost(dist, bits, lambda);
}

// Turns the committed inter CU into a skip CU with its merge candidate, and
// back; the node says so and the commit publishes it.
void make_skip(encoder_t *ctx, cu_node_t *node, int32_t z, int32_t x, int32_t y, int32_t log2_size) {
  node->skip = 1;
  node->merge_idx = node->pu.p2n.merge_idx;
  cu_commit(ctx, node - node_index(z, log2_size), z, x, y, log2_size);
}
void clear_skip(encoder_t *ctx, cu_node_t *node, int32_t z, int32_t x, int32_t y, int32_t log2_size) {
  node->skip = 0;
  cu_commit(ctx, node - node_index(z, log2_size), z, x, y, log2_size);
}

}  // namespace

uint32_t cu_rd_cost(encoder_t *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                    int32_t flag) {
  const int32_t coded = code_cu(ctx, x, y, log2_size, 1, unit_qp(ctx->maps, zorder_of(x >> 2, y >> 2)));
  if (flag && !coded) return COST_NONE;
  return cost_in_place(ctx, lambda, z, x, y, log2_size);
}

uint32_t cu_rd_cost_prediction(encoder_t *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y, int32_t log2_size) {
  inter_cu_code(ctx, x, y, log2_size, 0, 0);
  return cost_in_place(ctx, lambda, z, x, y, log2_size);
}

uint32_t cu_rd_cost_coded(encoder_t *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y, int32_t log2_size) {
  return cost_in_place(ctx, lambda, z, x, y, log2_size);
}

uint32_t cu_rd_cost_nopred(encoder_t *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                           int32_t flag) {
  const int32_t coded = code_cu(ctx, x, y, log2_size, 0, unit_qp(ctx->maps, zorder_of(x >> 2, y >> 2)));
  cu_node_t *node = ctx->nodes + node_index(z, log2_size);
  if (!coded && !unit_intra(ctx->maps, z) && node->part_mode == 0 && node->pu.p2n.merge_flag && !node->skip)
    make_skip(ctx, node, z, x, y, log2_size);
  if (flag && !coded) return COST_NONE;
  return cost_in_place(ctx, lambda, z, x, y, log2_size);
}

uint32_t cu_rd_cost_node(encoder_t *ctx, cu_node_t *node, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                         uint32_t pred_distortion, int32_t residual_slot) {
  const int32_t n = 1 << log2_size;
  const cabac_est_t start = ctx->cabac.est;
  const bool merge = node->part_mode == 0 && node->pu.p2n.merge_flag;
  // No residual: a merged 2Nx2N CU is then a skip CU.
  alignas(32) uint8_t pred[64 * 64 + 2 * 32 * 32];
  const auto copy = ctx->mc.block_copy;
  copy(pred, n, ctu_rec_at(ctx, 0, x, y), RECON_STRIDE, n, n);
  for (int32_t p = 1; p <= 2; p++)
    copy(pred + n * n + (p - 1) * n * n / 4, n / 2, ctu_rec_at(ctx, p, x / 2, y / 2), RECON_STRIDE, n / 2, n / 2);
  const uint32_t was_skip = node->skip;
  if (merge) make_skip(ctx, node, z, x, y, log2_size);
  fill_units(ctx->maps->unit.cbf, z, log2_size, 0);
  const uint32_t bits0 = cu_estimate_bits(ctx, &ctx->cabac.est, x, y, log2_size);
  const uint32_t cost0 = rd_cost(pred_distortion, bits0, node->lambda_ssd);
  const cabac_est_t after0 = ctx->cabac.est;
  ctx->cabac.est = start;
  if (merge) clear_skip(ctx, node, z, x, y, log2_size);
  uint32_t cost1 = COST_NONE;
  if (residual_slot) {
    cost1 = cu_rd_cost_kept(ctx, node - node_index(z, log2_size), z, x, y, log2_size, residual_slot, start);
  } else if (inter_cu_residual(ctx, x, y, log2_size, node->qp)) {
    cost1 = cost_in_place(ctx, node->lambda_ssd, z, x, y, log2_size);
  }
  if (cost1 < cost0) return cost1;
  // Back to the prediction without residual.
  copy(ctu_rec_at(ctx, 0, x, y), RECON_STRIDE, pred, n, n, n);
  for (int32_t p = 1; p <= 2; p++)
    copy(ctu_rec_at(ctx, p, x / 2, y / 2), RECON_STRIDE, pred + n * n + (p - 1) * n * n / 4, n / 2, n / 2, n / 2);
  fill_units(ctx->maps->unit.cbf, z, log2_size, 0);
  if (merge || was_skip) make_skip(ctx, node, z, x, y, log2_size);
  ctx->cabac.est = after0;
  ctx->maps->cbf[node_index(z, log2_size)] = 0;
  ctx->last_distortion = pred_distortion;
  return cost0;
}

uint32_t cu_rd_cost_in_place(encoder_t *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                             const cabac_est_t &start) {
  uint8_t scratch[4];
  std::memcpy(scratch, ctx->cabac.est.state + CABAC_NUM_CTX, sizeof(scratch));
  ctx->cabac.est = start;
  std::memcpy(ctx->cabac.est.state + CABAC_NUM_CTX, scratch, sizeof(scratch));
  return cost_in_place(ctx, lambda, z, x, y, log2_size);
}

uint32_t cu_rd_cost_intra_in_place(encoder_t *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y,
                                   int32_t log2_size, const cabac_est_t &start, const uint8_t *first_copies) {
  if (ctx->maps->unit.tu_log2[z] != log2_size) {
    // The chroma sig_coeff_flag and greater1 copies stay as the chroma
    // blocks left them.
    const uint8_t sig = ctx->cabac.est.state[CABAC_NUM_CTX + 1], g1 = ctx->cabac.est.state[CABAC_NUM_CTX + 3];
    ctx->cabac.est = start;
    ctx->cabac.est.state[CABAC_NUM_CTX + 1] = sig;
    ctx->cabac.est.state[CABAC_NUM_CTX + 3] = g1;
    const int32_t qp = unit_qp(ctx->maps, z);
    if (first_copies)
      intra_cu_code_luma_after_first(ctx, x, y, log2_size, qp, first_copies);
    else
      intra_cu_code_luma(ctx, x, y, log2_size, qp);
  }
  return cu_rd_cost_in_place(ctx, lambda, z, x, y, log2_size, start);
}

uint32_t cu_rd_cost_kept(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                         int32_t slot, const cabac_est_t &start) {
  // The levels and reconstruction the coding would make again; the
  // decision's own syntax is committed back over the trial's.
  cu_trial_restore(ctx, nodes, z, log2_size, slot);
  cu_commit(ctx, nodes, z, x, y, log2_size);
  // The contexts as before the coding, the estimators' scratch copies
  // past them as the coding left them (counting the syntax keeps those).
  return cu_rd_cost_in_place(ctx, nodes[node_index(z, log2_size)].lambda_ssd, z, x, y, log2_size, start);
}

uint32_t cu_rd_cost_bounded(encoder_t *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                            int32_t qp, uint32_t bound, int32_t flags, bool *cut) {
  if (flags & BOUNDED_PREDICT) inter_cu_code(ctx, x, y, log2_size, qp, 0);
  inter_trial_bound_t b{x, y, log2_size, lambda, bound, chroma_weight(ctx->tables, ctx->ctu_qp),
                        ctx->maps->unit.tu_log2[z] == log2_size};
  if (flags & BOUNDED_HEAD_FIRST) inter_trial_count_head(ctx, &b);
  const int32_t coded = inter_cu_residual_bounded(ctx, qp, &b);
  *cut = b.cut;
  if (b.cut) return rd_cost(b.distortion(), b.bits, lambda);
  if ((flags & BOUNDED_NONE_IF_EMPTY) && !coded) return COST_NONE;
  inter_trial_count_head(ctx, &b);
  const uint32_t bits = b.bits + inter_cu_part_estimate(ctx, &ctx->cabac.est, x, y, log2_size,
                                                        b.luma_counted ? INTER_CU_TAIL_BUT_LUMA : INTER_CU_TAIL);
  const uint32_t dist = b.luma_distortion + distortion_with_chroma(ctx, x, y, log2_size, 2);
  ctx->last_distortion = dist;
  ctx->maps->cbf[node_index(z, log2_size)] = block_cbf(ctx->maps->unit.cbf, z, log2_size);
  return rd_cost(dist, bits, lambda);
}

uint32_t cu_rd_cost_intra_within(encoder_t *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                                 uint32_t limit) {
  ctu_unit_maps_t *d = &ctx->maps->unit;
  if (limit >= COST_NONE || d->tu_log2[z] != log2_size || log2_size < 3 || log2_size > 5)
    return cu_rd_cost(ctx, lambda, z, x, y, log2_size, 0);
  // A cost reaching bound is above the limit.
  const uint32_t bound = limit + 1;
  const int32_t qp = unit_qp(ctx->maps, z);
  const bool luma_coded = intra_cu_code_luma(ctx, x, y, log2_size, qp) != 0;
  const uint32_t luma_distortion = block_distortion(ctx, x, y, log2_size, 1);
  // Counted on a copy: the chroma blocks are decided from the live states
  // as the luma block left them.  The parts share no context, so their
  // sum and final states are those of counting the CU at once.
  cabac_est_t est = ctx->cabac.est;
  uint32_t bits = inter_cu_part_estimate(ctx, &est, x, y, log2_size, INTRA_CU_SYNTAX);
  uint32_t least = rd_cost(luma_distortion, bits, lambda);
  if (least >= bound) return least;
  if (luma_coded) {
    const int32_t scan = scan_idx_for(1, d->luma_mode[z], log2_size, 0);
    bits += residual_bits_within(ctx, &est, d->coef_y + 16 * z, log2_size, 0, scan, lambda,
                                 rd_cost_reach(luma_distortion, bits, bound, lambda));
    least = rd_cost(luma_distortion, bits, lambda);
    if (least >= bound) return least;
  }
  // Cb, then Cr: their cbf flags share a context, counted in that order
  // (the residuals' contexts are their own); the weighted distortion of
  // Cb alone is no more than that of both.
  const int32_t log2_c = log2_size - 1;
  const int32_t scan_c = scan_idx_for(1, chroma_mode_of(d->chroma_syntax[z], d->luma_mode[z]), log2_c, 1);
  const uint64_t weight = chroma_weight(ctx->tables, ctx->ctu_qp);
  const pixel_cost_fn ssd = ctx->pixel.ssd[6 - log2_c];
  uint64_t chroma_ssd = 0;
  uint32_t dist = luma_distortion;
  for (int32_t p = 1; p <= 2; p++) {
    const bool coded = intra_leaf_code_chroma(ctx, p, x, y, log2_size, qp);
    bits += cabac_est_bin(&est, CTX_CBF_CHROMA, coded ? 1u : 0u);
    if (coded) bits += residual_bits(ctx, &est, d->coef_c[p - 1] + 4 * z, log2_c, p, scan_c);
    chroma_ssd += ssd(ctu_src_at(ctx, p, x >> 1, y >> 1), SRC_STRIDE, ctu_rec_at(ctx, p, x >> 1, y >> 1), RECON_STRIDE);
    dist = luma_distortion + static_cast<uint32_t>((chroma_ssd * weight + 128) >> 8);
    if (p == 1 && rd_cost(dist, bits, lambda) >= bound) return rd_cost(dist, bits, lambda);
  }
  // The live scratch states are as the quantiser left them.
  std::memcpy(est.state + CABAC_NUM_CTX, ctx->cabac.est.state + CABAC_NUM_CTX, sizeof(est.state) - CABAC_NUM_CTX);
  ctx->cabac.est = est;
  ctx->last_distortion = dist;
  ctx->maps->cbf[node_index(z, log2_size)] = block_cbf(d->cbf, z, log2_size);
  return rd_cost(dist, bits, lambda);
}

uint32_t cu_rd_cost_residual(encoder_t *ctx, int32_t qp, const uint32_t *lambdas, int32_t z, int32_t x, int32_t y,
                             int32_t log2_size, bool predicted) {
  const int32_t coded = code_cu(ctx, x, y, log2_size, predicted ? 0 : 1, qp);
  if (!coded) return COST_NONE;
  return cost_in_place(ctx, lambdas[1], z, x, y, log2_size);
}

uint32_t inter_cu_rd_cost(encoder_t *ctx, cu_node_t *node, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                          int32_t flag, int32_t residual_slot) {
  if (node->pred_intra || flag) return cu_rd_cost(ctx, node->lambda_ssd, z, x, y, log2_size, flag);
  inter_cu_code(ctx, x, y, log2_size, node->qp, 0);
  const uint32_t pred_distortion = block_distortion(ctx, x, y, log2_size, 3);
  return cu_rd_cost_node(ctx, node, z, x, y, log2_size, pred_distortion, residual_slot);
}

uint32_t split_cu_flag_cost(encoder_t *ctx, uint32_t lambda, int32_t map8_pos, int32_t depth, int32_t flag) {
  if (depth > 2) return 0;
  const ctu_maps_t *m = ctx->maps;
  const int32_t inc = (m->depth[map8_pos - 1] > depth) + (m->depth[map8_pos - MAP8_STRIDE] > depth);
  const uint32_t bits = cabac_est_bin(&ctx->cabac.est, CTX_SPLIT_CU_FLAG + inc, static_cast<uint32_t>(flag));
  return rd_cost(0u, bits, lambda);
}

int32_t cu_split_texture_test(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size) {
  (void)z;
  (void)log2_size;
  // Second differences of samples two apart: strong or widespread local
  // structure inside a 16x16 block is better served by smaller CUs.
  const uint8_t *s = ctu_src_at(ctx, 0, x, y);
  const int32_t t = std::min(ctx->maps->qp[map8_index(x >> 3, y >> 3)] >> 1, 25);
  int32_t many = 0;
  for (int32_t cy = 2; cy <= 12; cy += 2)
    for (int32_t cx = 2; cx <= 12; cx += 2) {
      const uint8_t *c = s + cy * SRC_STRIDE + cx;
      const int32_t v = c[-2 * SRC_STRIDE] + c[2 * SRC_STRIDE] + c[-2] + c[2] - 4 * c[0];
      if (v > 3 * t || v < -3 * t) return 1;
      many += v >= t;
    }
  return many > 8;
}

uint32_t prediction_unit_bits(encoder_t *ctx, int32_t x, int32_t y, int32_t w, int32_t h, int32_t log2_cu) {
  return prediction_unit_estimate(ctx, &ctx->cabac.est, x, y, w, h, log2_cu);
}

uint32_t transform_tree_bits(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size) {
  return transform_tree_estimate(ctx, &ctx->cabac.est, x, y, log2_size);
}

// ------------------------------------------------------------ block encoders

void intra_predict_cu_chroma(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size) {
  // Chroma of a 4x4 PU belongs to its 8x8 area.
  const int32_t cz = log2_size == 2 ? z & ~3 : z;
  const int32_t log2_c = log2_size == 2 ? 2 : log2_size - 1;
  const int32_t cx = log2_size == 2 ? x & ~7 : x, cy = log2_size == 2 ? y & ~7 : y;
  const int32_t luma = ctx->maps->intra_dir[map4_index(zorder_x(cz), zorder_y(cz))];
  const int32_t syntax = ctx->maps->intra_dir[chroma_dir_index(zorder_x(cz) >> 1, zorder_y(cz) >> 1)];
  const int32_t mode = chroma_mode_of(syntax, luma);
  for (int32_t p = 1; p <= 2; p++) {
    if (log2_c == 5) {
      for (int32_t k = 0; k < 4; k++) {
        intra_prepare_refs(ctx, p, (k & 1) * 16 + (cx >> 1), (k >> 1) * 16 + (cy >> 1), 4);
        intra_predict_prepared(ctx, p, (k & 1) * 16 + (cx >> 1), (k >> 1) * 16 + (cy >> 1), 4, mode);
      }
      continue;
    }
    if (ctx->intra_refs_refresh) intra_prepare_refs(ctx, p, cx >> 1, cy >> 1, log2_c);
    intra_predict_prepared(ctx, p, cx >> 1, cy >> 1, log2_c, mode);
  }
}

namespace {

void predict_intra_luma(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size) {
  intra_predict_luma(ctx, x, y, log2_size, ctx->maps->intra_dir[map4_index(zorder_x(z), zorder_y(z))]);
}

void encode_block(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size, int8_t qp, int32_t do_prediction,
                  int32_t code_residual, uint32_t flags) {
  const bool intra = unit_intra(ctx->maps, z);
  if (code_residual) {
    if (intra)
      intra_cu_code(ctx, x, y, log2_size, qp);
    else
      inter_cu_code(ctx, x, y, log2_size, qp, !unit_skip(ctx->maps, z));
    return;
  }
  if (!do_prediction) return;
  if (!intra) {
    inter_cu_code(ctx, x, y, log2_size, qp, 0);
    return;
  }
  if (flags & 1) predict_intra_luma(ctx, z, x, y, log2_size);
  if (flags & 2) intra_predict_cu_chroma(ctx, z, x, y, log2_size);
}

}  // namespace

void encode_tu_4x4(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int8_t qp, int32_t do_prediction,
                   int32_t code_residual, uint32_t flags) {
  if (code_residual) {
    // A 4x4 PU codes its luma block; its chroma belongs to the 8x8 area.
    const int32_t mode = ctx->maps->intra_dir[map4_index(zorder_x(z), zorder_y(z))];
    if (do_prediction) predict_intra_luma(ctx, z, x, y, 2);
    const uint32_t nz = transform_block_code(ctx, 0, x, y, 2, qp, 1, mode, ctx->maps->unit.coef_y + 16 * z);
    ctx->maps->unit.cbf[z] = static_cast<uint8_t>((ctx->maps->unit.cbf[z] & ~1) | (nz ? 1 : 0));
    return;
  }
  if (!do_prediction) return;
  if (flags & 1) predict_intra_luma(ctx, z, x, y, 2);
  if (flags & 2) intra_predict_cu_chroma(ctx, z, x, y, 2);
}
void encode_cu_8x8(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int8_t qp, int32_t do_prediction,
                   int32_t code_residual, uint32_t flags) {
  encode_block(ctx, z, x, y, 3, qp, do_prediction, code_residual, flags);
}
void encode_cu_16x16(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int8_t qp, int32_t do_prediction,
                     int32_t code_residual, uint32_t flags) {
  encode_block(ctx, z, x, y, 4, qp, do_prediction, code_residual, flags);
}
void encode_cu_32x32(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int8_t qp, int32_t do_prediction,
                     int32_t code_residual, uint32_t flags) {
  encode_block(ctx, z, x, y, 5, qp, do_prediction, code_residual, flags);
}
void encode_cu_64x64(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int8_t qp, int32_t do_prediction,
                     int32_t code_residual, uint32_t flags) {
  encode_block(ctx, z, x, y, 6, qp, do_prediction, code_residual, flags);
}
