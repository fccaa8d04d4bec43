// A small rate-distortion decision, to be replaced by the full coding-tree
// search: per CU the skip, merge and one searched vector per list (and
// their bi-prediction) against intra 2Nx2N and NxN, then the split.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "analysis/analysis.h"
#include "analysis/decision_common.h"
#include "bitstream/ctu_writer.h"
#include "motion/mvp.h"
#include "rdo/block_coding.h"
#include "rdo/inter_pred.h"

namespace {

// Everything a CU trial changes, for putting the better trial back.
struct cu_snapshot_t {
  uint8_t rec_y[64 * 64];
  uint8_t rec_c[2][32 * 32];
  uint8_t units[9][256];
  int8_t qp[256];
  int16_t coef_y[64 * 64];
  int16_t coef_c[2][32 * 32];
  uint8_t map8[5][64];
  int8_t ref8[2][64];
  mv_t mv8[2][64];
  cabac_est_t est;
};

uint8_t *unit_array(ctu_decision_t *d, int32_t i) {
  uint8_t *a[9] = {d->cu_log2, d->part_nxn, d->pred_intra, d->luma_mode, d->chroma_syntax,
                   d->tu_log2, d->cbf, d->skip, d->part_mode};
  return a[i];
}
uint8_t *map8_array(ctu_maps_t *m, int32_t i) {
  uint8_t *a[5] = {m->flags, m->pred_intra, m->merge_flag, m->merge_idx, m->depth};
  return a[i];
}

template <bool save>
void snapshot_copy(encoder_t *ctx, cu_snapshot_t *s, int32_t x, int32_t y, int32_t log2_size, cabac_est_t *est) {
  auto copy = [](void *snap, void *live, size_t n) {
    if (save)
      std::memcpy(snap, live, n);
    else
      std::memcpy(live, snap, n);
  };
  const int32_t n = 1 << log2_size, z = zorder_of(x >> 2, y >> 2), units = n * n / 16;
  for (int32_t r = 0; r < n; r++) copy(s->rec_y + r * n, ctu_rec_at(ctx, 0, x, y + r), n);
  for (int32_t p = 0; p < 2; p++)
    for (int32_t r = 0; r < n / 2; r++) copy(s->rec_c[p] + r * n / 2, ctu_rec_at(ctx, p + 1, x / 2, y / 2 + r), n / 2);
  for (int32_t i = 0; i < 9; i++) copy(s->units[i], unit_array(ctx->dec, i) + z, units);
  copy(s->qp, ctx->dec->qp + z, units);
  copy(s->coef_y, ctx->dec->coef_y + 16 * z, sizeof(int16_t) * n * n);
  for (int32_t p = 0; p < 2; p++) copy(s->coef_c[p], ctx->dec->coef_c[p] + 4 * z, sizeof(int16_t) * n * n / 4);
  const int32_t n8 = n >= 8 ? n / 8 : 1;
  int32_t k = 0;
  for (int32_t y8 = 0; y8 < n8; y8++)
    for (int32_t x8 = 0; x8 < n8; x8++, k++) {
      const int32_t u = map8_index((x >> 3) + x8, (y >> 3) + y8);
      for (int32_t i = 0; i < 5; i++) copy(&s->map8[i][k], map8_array(ctx->maps, i) + u, 1);
      for (int32_t l = 0; l < 2; l++) {
        copy(&s->ref8[l][k], &ctx->maps->ref_idx[l][u], 1);
        copy(&s->mv8[l][k], &ctx->maps->mv[l][u], sizeof(mv_t));
      }
    }
  copy(&s->est, est, sizeof(cabac_est_t));
}

void set_cu(encoder_t *ctx, int32_t z, int32_t log2_size, int32_t intra, int32_t nxn) {
  ctu_decision_t *d = ctx->dec;
  fill_units(d->cu_log2, z, log2_size, static_cast<uint8_t>(log2_size));
  fill_units(d->part_nxn, z, log2_size, static_cast<uint8_t>(nxn));
  fill_units(d->pred_intra, z, log2_size, static_cast<uint8_t>(intra));
  fill_units(d->skip, z, log2_size, 0);
  fill_units(d->part_mode, z, log2_size, 0);
  fill_units(d->chroma_syntax, z, log2_size, 4);
  fill_units(d->tu_log2, z, log2_size, static_cast<uint8_t>(nxn ? 2 : std::min(log2_size, 5)));
  fill_units(reinterpret_cast<uint8_t *>(d->qp), z, log2_size, static_cast<uint8_t>(ctx->slice_qp));
  if (!intra) fill_units(d->luma_mode, z, log2_size, 1);
}

double cu_cost(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, uint32_t bits) {
  uint64_t sse[3];
  cu_distortion(ctx, x, y, log2_size, sse);
  return static_cast<double>(sse[0] + sse[1] + sse[2]) + ctx->lambda_ssd * bits / 256.0;
}

double cu_bits_cost(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, cabac_est_t *est) {
  uint32_t bits = split_flag_estimate(ctx, est, x, y, log2_size, 0);
  bits += cu_estimate_bits(ctx, est, x, y, log2_size);
  return cu_cost(ctx, x, y, log2_size, bits);
}

// ---------------------------------------------------------------- intra

// Best luma mode of the prediction block at (x, y) by SATD plus the mode's
// approximate signalling cost.
int32_t best_luma_mode(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size) {
  int32_t mpm[3];
  mpm_candidates(ctx, x, y, mpm);
  pixel_cost_fn satd = ctx->pixel.satd[6 - log2_size];
  double best_cost = 0;
  int32_t best = 0;
  intra_prepare_refs(ctx, 0, x, y, log2_size);
  for (int32_t mode = 0; mode < 35; mode++) {
    intra_predict_prepared(ctx, 0, x, y, log2_size, mode);
    const double bits = mode == mpm[0] ? 2 : (mode == mpm[1] || mode == mpm[2]) ? 3 : 6;
    const double cost = satd(ctu_src_at(ctx, 0, x, y), SRC_STRIDE, ctu_rec_at(ctx, 0, x, y), RECON_STRIDE) +
                        ctx->lambda_sad * bits;
    if (mode == 0 || cost < best_cost) {
      best_cost = cost;
      best = mode;
    }
  }
  return best;
}

const int8_t intra_refs[2] = {-2, -2};
const mv_t zero_mv[2] = {0, 0};

double try_intra_2nx2n(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, cabac_est_t *est) {
  const int32_t z = zorder_of(x >> 2, y >> 2), size = 1 << log2_size;
  set_cu(ctx, z, log2_size, 1, 0);
  set_maps(ctx, x, y, size, size, 1, 0, 0, intra_refs, zero_mv);
  fill_units(ctx->dec->luma_mode, z, log2_size, static_cast<uint8_t>(best_luma_mode(ctx, x, y, log2_size)));
  intra_cu_code(ctx, x, y, log2_size, ctx->slice_qp);
  return cu_bits_cost(ctx, x, y, log2_size, est);
}

double try_intra_nxn(encoder_t *ctx, int32_t x, int32_t y, cabac_est_t *est) {
  const int32_t z = zorder_of(x >> 2, y >> 2);
  set_cu(ctx, z, 3, 1, 1);
  set_maps(ctx, x, y, 8, 8, 1, 0, 0, intra_refs, zero_mv);
  // Each 4x4 block is predicted from the reconstruction of the ones before.
  for (int32_t k = 0; k < 4; k++) {
    const int32_t px = x + (k & 1) * 4, py = y + (k >> 1) * 4;
    const int32_t mode = best_luma_mode(ctx, px, py, 2);
    ctx->dec->luma_mode[z + k] = static_cast<uint8_t>(mode);
    intra_predict_block(ctx, 0, px, py, 2, mode);
    transform_block_code(ctx, 0, px, py, 2, ctx->slice_qp, 1, mode, ctx->dec->coef_y + 16 * (z + k));
  }
  intra_cu_code(ctx, x, y, 3, ctx->slice_qp);
  return cu_bits_cost(ctx, x, y, 3, est);
}

// ---------------------------------------------------------------- inter

// Approximate bits of a vector difference component (Exp-Golomb order 1).
inline int32_t mvd_bits(int32_t d) {
  uint32_t a = static_cast<uint32_t>(d < 0 ? -d : d);
  if (a == 0) return 1;
  int32_t n = 0;
  while ((a + 1) >> (n + 1)) n++;
  return 2 * n + 2;
}

struct search_t {
  encoder_t *ctx;
  int32_t x, y, size;  // block in the CTU
  const frame_t *ref;
  mv_t pred[2];
  int32_t pred_count;
  int32_t lo_x, hi_x, lo_y, hi_y;  // whole-sample vector window

  uint32_t mv_cost(mv_t mv) const {
    int32_t best = 1 << 30;
    for (int32_t i = 0; i < pred_count; i++) {
      const int32_t b = mvd_bits(mv_x(mv) - mv_x(pred[i])) + mvd_bits(mv_y(mv) - mv_y(pred[i]));
      best = std::min(best, b);
    }
    return static_cast<uint32_t>(ctx->lambda_sad * best);
  }
  uint32_t int_cost(int32_t ix, int32_t iy) const {
    const int32_t px = ctx->ctu_x * 64 + x + ix, py = ctx->ctu_y * 64 + y + iy;
    const uint8_t *r = ref->plane[0] + py * ref->stride[0] + px;
    return ctx->pixel.sad[6 - std::min(6, 31 - __builtin_clz(static_cast<uint32_t>(size)))](
               ctu_src_at(ctx, 0, x, y), SRC_STRIDE, r, ref->stride[0]) +
           mv_cost(mv_make(ix * 4, iy * 4));
  }
  uint32_t sub_cost(mv_t mv, uint8_t *buf) const {
    const int32_t px = ctx->ctu_x * 64 + x + (mv_x(mv) >> 2), py = ctx->ctu_y * 64 + y + (mv_y(mv) >> 2);
    const uint8_t *r = ref->plane[0] + py * ref->stride[0] + px;
    ctx->mc.mc_luma(buf, 64, r, nullptr, ref->stride[0], mv_x(mv) & 3, mv_y(mv) & 3, size, size);
    const int32_t c = 6 - (31 - __builtin_clz(static_cast<uint32_t>(size)));
    return ctx->pixel.satd[c](ctu_src_at(ctx, 0, x, y), SRC_STRIDE, buf, 64) + mv_cost(mv);
  }
};

// Integer search from the predictors (a sparse star of growing radius for
// larger motion, a small exhaustive square against the local minima of
// textured content, then a diamond descent), then half- and quarter-sample
// refinement by SATD.
mv_t motion_search(search_t &s, uint32_t *cost_out) {
  static const int8_t ring[8][2] = {{-1, -1}, {0, -1}, {1, -1}, {-1, 0}, {1, 0}, {-1, 1}, {0, 1}, {1, 1}};
  static const int8_t diamond[4][2] = {{0, -1}, {-1, 0}, {1, 0}, {0, 1}};
  int32_t bx = 0, by = 0;
  uint32_t best = s.int_cost(0, 0);
  auto try_point = [&](int32_t ix, int32_t iy) {
    if (ix < s.lo_x || ix > s.hi_x || iy < s.lo_y || iy > s.hi_y) return false;
    const uint32_t c = s.int_cost(ix, iy);
    if (c >= best) return false;
    best = c;
    bx = ix;
    by = iy;
    return true;
  };
  for (int32_t i = 0; i < s.pred_count; i++) try_point((mv_x(s.pred[i]) + 2) >> 2, (mv_y(s.pred[i]) + 2) >> 2);
  int32_t cx = bx, cy = by;
  for (int32_t r = 8; r <= 32; r *= 2)
    for (const auto &d : ring) try_point(cx + r * d[0], cy + r * d[1]);
  cx = bx;
  cy = by;
  for (int32_t dy = -4; dy <= 4; dy++)
    for (int32_t dx = -4; dx <= 4; dx++)
      if (dx || dy) try_point(cx + dx, cy + dy);
  for (int32_t iter = 0; iter < 64; iter++) {
    cx = bx;
    cy = by;
    bool moved = false;
    for (const auto &d : diamond) moved |= try_point(cx + d[0], cy + d[1]);
    if (!moved) break;
  }
  cx = bx;
  cy = by;
  for (const auto &d : ring) try_point(cx + d[0], cy + d[1]);

  alignas(32) uint8_t buf[64 * 64];
  mv_t mv = mv_make(bx * 4, by * 4);
  uint32_t cost = s.sub_cost(mv, buf);
  for (int32_t step = 2; step >= 1; step >>= 1) {
    const mv_t centre = mv;
    for (const auto &d : ring) {
      const mv_t cand = mv_make(mv_x(centre) + d[0] * step, mv_y(centre) + d[1] * step);
      const uint32_t c = s.sub_cost(cand, buf);
      if (c < cost) {
        cost = c;
        mv = cand;
      }
    }
  }
  *cost_out = cost;
  return mv;
}

struct inter_choice_t {
  int32_t merge, merge_idx;
  int8_t ref[2];
  mv_t mv[2];
  uint32_t cost;
};

uint32_t prediction_satd(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size) {
  return ctx->pixel.satd[6 - log2_size](ctu_src_at(ctx, 0, x, y), SRC_STRIDE, ctu_rec_at(ctx, 0, x, y),
                                        RECON_STRIDE);
}

// Chooses the PU motion of a 2Nx2N inter CU: the best merge candidate and
// the best searched vector (list 0, list 1 or both) by SATD.
void choose_inter(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, inter_choice_t *merge_best,
                  inter_choice_t *amvp_best) {
  const int32_t z = zorder_of(x >> 2, y >> 2), size = 1 << log2_size;
  merge_candidates_t mc;
  const int32_t count = mvp_get_merge_list(ctx, z, x, y, size, size, &mc);
  merge_best->cost = UINT32_MAX;
  for (int32_t i = 0; i < count; i++) {
    const int8_t ref[2] = {mc.ref_idx[0][i], mc.ref_idx[1][i]};
    const mv_t mv[2] = {mc.mv[0][i], mc.mv[1][i]};
    if (!motion_within_limits(ctx, ref, mv)) continue;
    inter_predict_pu(ctx, x, y, size, size, ref, mv);
    const uint32_t c = prediction_satd(ctx, x, y, log2_size) + static_cast<uint32_t>(ctx->lambda_sad * (i + 1));
    if (c < merge_best->cost) *merge_best = inter_choice_t{1, i, {ref[0], ref[1]}, {mv[0], mv[1]}, c};
  }

  const int32_t lists = ctx->slice_type_code == 0 ? 2 : 1;
  mv_t best_mv[2] = {0, 0};
  uint32_t best_cost[2] = {UINT32_MAX, UINT32_MAX};
  const int32_t px = ctx->ctu_x * 64 + x, py = ctx->ctu_y * 64 + y;
  for (int32_t l = 0; l < lists; l++) {
    int8_t ref[2] = {-1, -1};
    ref[l] = 0;
    set_maps(ctx, x, y, size, size, 0, 0, 0, ref, zero_mv);
    search_t s{};
    s.ctx = ctx;
    s.x = x;
    s.y = y;
    s.size = size;
    s.ref = ctx->ref_list[l][0];
    s.pred_count = mvp_get_amvp_candidates(ctx, z, x, y, size, size, 0, l, s.pred);
    // Keep every tap of the block inside the reference margins.
    const int32_t range = ctx->param.search_range;
    s.lo_x = std::max(-64 - px, -range);
    s.hi_x = std::min(ctx->width + 64 - size - px, range);
    s.lo_y = std::max(-64 - py, -range);
    // The sub-sample refinement may add three quarters below the limit.
    s.hi_y = std::min({ctx->height + 64 - size - py, range, ctx->param.mv_range_y - 1});
    best_mv[l] = motion_search(s, &best_cost[l]);
  }
  amvp_best->merge = 0;
  amvp_best->merge_idx = 0;
  amvp_best->cost = UINT32_MAX;
  for (int32_t l = 0; l < lists; l++) {
    if (best_cost[l] < amvp_best->cost) {
      *amvp_best = inter_choice_t{0, 0, {static_cast<int8_t>(l == 0 ? 0 : -1), static_cast<int8_t>(l == 1 ? 0 : -1)},
                                  {l == 0 ? best_mv[0] : 0, l == 1 ? best_mv[1] : 0}, best_cost[l]};
    }
  }
  if (lists == 2) {
    const int8_t ref[2] = {0, 0};
    inter_predict_pu(ctx, x, y, size, size, ref, best_mv);
    const uint32_t c = prediction_satd(ctx, x, y, log2_size) +
                       static_cast<uint32_t>(ctx->lambda_sad * 2 * (mvd_bits(0) + 4));
    if (c < amvp_best->cost) *amvp_best = inter_choice_t{0, 0, {0, 0}, {best_mv[0], best_mv[1]}, c};
  }
}

double try_inter(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, const inter_choice_t &ch, int32_t skip,
                 cabac_est_t *est) {
  const int32_t z = zorder_of(x >> 2, y >> 2), size = 1 << log2_size;
  set_cu(ctx, z, log2_size, 0, 0);
  fill_units(ctx->dec->skip, z, log2_size, static_cast<uint8_t>(skip));
  set_maps(ctx, x, y, size, size, 0, skip ? 0 : ch.merge, ch.merge_idx, ch.ref, ch.mv);
  const int32_t coded = inter_cu_code(ctx, x, y, log2_size, ctx->slice_qp, !skip);
  if (!skip && !coded && ch.merge) return 1e300;  // the skip trial covers it
  return cu_bits_cost(ctx, x, y, log2_size, est);
}

// ------------------------------------------------------------- recursion

struct best_t {
  double cost = 1e300;
  bool have = false;
};

double decide_cu(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, cabac_est_t *est) {
  const int32_t size = 1 << log2_size;
  const bool whole = block_in_picture(ctx, x + size - 1, y + size - 1);
  const bool inter = ctx->slice_type_code != 2;
  const bool can_stay = whole && (log2_size <= 5 || inter);
  const bool can_split = log2_size > 3;
  cu_snapshot_t *snap = new cu_snapshot_t;
  const cabac_est_t start = *est;
  best_t best;
  bool snap_is_last = false;  // the live state is the best trial's
  auto consider = [&](double cost) {
    if (cost < best.cost) {
      best.cost = cost;
      best.have = true;
      snapshot_copy<true>(ctx, snap, x, y, log2_size, est);
      snap_is_last = true;
    } else {
      snap_is_last = false;
    }
    *est = start;
  };
  if (can_stay) {
    if (inter) {
      inter_choice_t merge, amvp;
      choose_inter(ctx, x, y, log2_size, &merge, &amvp);
      if (merge.cost != UINT32_MAX) {
        consider(try_inter(ctx, x, y, log2_size, merge, 1, est));
        consider(try_inter(ctx, x, y, log2_size, merge, 0, est));
      }
      consider(try_inter(ctx, x, y, log2_size, amvp, 0, est));
    }
    if (log2_size <= 5) consider(try_intra_2nx2n(ctx, x, y, log2_size, est));
    if (log2_size == 3 && ctx->param.intra_nxn) consider(try_intra_nxn(ctx, x, y, est));
  }
  if (can_split) {
    // The children see this CU's area as not yet coded.
    grid_mark_unavailable(ctx, x, y, size, size);
    uint32_t flag_bits = split_flag_estimate(ctx, est, x, y, log2_size, 1);
    double split_cost = ctx->lambda_ssd * flag_bits / 256.0;
    const int32_t h = size >> 1;
    for (int32_t k = 0; k < 4 && split_cost < best.cost; k++) {
      const int32_t cx = x + (k & 1) * h, cy = y + (k >> 1) * h;
      if (block_in_picture(ctx, cx, cy)) split_cost += decide_cu(ctx, cx, cy, log2_size - 1, est);
    }
    if (split_cost < best.cost) {
      delete snap;
      return split_cost;  // the children's state is live
    }
    snap_is_last = false;
  }
  if (!snap_is_last) snapshot_copy<false>(ctx, snap, x, y, log2_size, est);
  else *est = snap->est;
  grid_mark_available(ctx, x, y, size, size);
  delete snap;
  return best.cost;
}

}  // namespace

void analyse_ctu_simple(encoder_t *ctx) {
  cabac_est_t est = ctx->cabac.est;
  decide_cu(ctx, 0, 0, 6, &est);
}
