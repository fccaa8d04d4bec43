#include "rdo/inter_pred.h"

#include <algorithm>
#include <cstring>

#include "bitstream/ctu_writer.h"
#include "common/rd_cost.h"
#include "encoder/encoder.h"
#include "encoder/ref_planes.h"
#include "rdo/block_coding.h"
#include "rdo/pred_cache.h"

namespace {

// A block whose every filter tap lies beyond a picture edge reads only
// replicated edge samples, wherever it is; moving it to the nearest such
// position keeps the prediction and keeps the reads inside the margins.
inline int32_t clamp_pos(int32_t p, int32_t size, int32_t limit, int32_t taps_before, int32_t taps_after) {
  const int32_t lo = -(size + taps_after - 1) - 0;  // last tap at or left of column 0
  const int32_t hi = limit - 1 + taps_before;       // first tap at or right of the last column
  return std::clamp(p, lo, hi);
}

}  // namespace

namespace {

// One list's intermediates of a bi-prediction, kept while the CTU's
// analysis runs: found, or made into a new slot.  Returns the slot (-1:
// nothing kept, the caller makes them itself) and its serial.
template <class Make>
int32_t kept_halves(encoder_t *ctx, const pred_half_t &k, int32_t x, int32_t y, int32_t w, int32_t h,
                    uint32_t *serial, Make make) {
  pred_cache_t *c = ctx->pred_cache;
  if (!pred_cache_on(c) || !c->on_halves) return -1;
  int32_t slot = pred_half_find(c, k, x, y, w, h);
  if (slot < 0) {
    slot = pred_half_take(c, k, x, y, w, h);
    make(slot);
  }
  *serial = pred_half_serial(c, slot);
  return slot;
}

void predict_luma(encoder_t *ctx, int32_t x, int32_t y, int32_t w, int32_t h, const int8_t ref[2], const mv_t mv[2]) {
  const mc_funcs_t &mc = ctx->mc;
  pred_cache_t *c = ctx->pred_cache;
  int32_t half_slot[2] = {-1, -1};
  uint32_t serial[2] = {0, 0};
  const uint8_t *made_from[2] = {nullptr, nullptr};
  const int32_t bi = ref[0] >= 0 && ref[1] >= 0;
  const int32_t px = ctx->ctu_x * 64 + x, py = ctx->ctu_y * 64 + y;
  alignas(32) int16_t tmp[2][64 * 64];
  const int16_t *ps[2] = {nullptr, nullptr};
  int32_t ps_stride[2] = {64, 64};
  // Both vectors on whole samples: the 16-bit predictions would be the
  // samples scaled by 64, whose rounded average is the samples' one.
  const bool full_luma = bi && ((mv_x(mv[0]) | mv_y(mv[0]) | mv_x(mv[1]) | mv_y(mv[1])) & 3) == 0;
  const uint8_t *full[2] = {nullptr, nullptr};
  int32_t full_stride[2] = {0, 0};
  // Luma: 8-tap filter, taps 3 before and 4 after the sample.
  for (int32_t list = 0; list < 2; list++) {
    if (ref[list] < 0) continue;
    const frame_t *f = ctx->ref_list[list][ref[list]];
    const int32_t mx = mv_x(mv[list]), my = mv_y(mv[list]);
    const int32_t ax = clamp_pos(px + (mx >> 2), w, f->width, 3, 4);
    const int32_t ay = clamp_pos(py + (my >> 2), h, f->height, 3, 4);
    const intptr_t at = static_cast<intptr_t>(ay) * f->stride[0] + ax;
    const uint8_t *src = f->plane[0] + at;
    // A reference's sub-pel planes give the same samples as the filters;
    // the clamped block lies inside the plane windows.
    const int32_t planes = ctx->param.subpel_planes ? f->planes_valid : 0;
    if (full_luma) {
      full[list] = src;
      full_stride[list] = f->stride[0];
    } else if (!bi) {
      // (The plane copy serves the power-of-two widths of the partitions.)
      // A search's final vector at the block's own position: its
      // prediction is kept.
      const uint8_t *kept = ax == px + (mx >> 2) && ay == py + (my >> 2)
                                ? me_kept_find(&ctx->me_kept, f->plane[0] + static_cast<intptr_t>(py) * f->stride[0] + px,
                                               w, h, 0, mv[list])
                                : nullptr;
      if (kept)
        mc.block_copy(ctu_rec_at(ctx, 0, x, y), RECON_STRIDE, kept, me_kept_t::STRIDE, w, h);
      else if (ref_planes_hold(planes, mx, my) && (w & (w - 1)) == 0)
        mc.subpel_plane_copy(ctu_rec_at(ctx, 0, x, y), RECON_STRIDE, f->subpel, f->stride[0], 4 * ax + (mx & 3),
                             4 * ay + (my & 3), w, h);
      else
        mc.mc_luma(ctu_rec_at(ctx, 0, x, y), RECON_STRIDE, src, nullptr, f->stride[0], mx & 3, my & 3, w, h);
    } else {
      const int16_t *hp[3] = {nullptr, nullptr, nullptr};
      const bool with_h = planes >= 2 || (planes == 1 && (mx & 3) == 2);
      if (with_h)
        for (int32_t k = 0; k < 3; k++) hp[k] = f->hplane[k] + at;
      // Filtered intermediates are kept; plane windows cost nothing.
      if (!with_h)
        half_slot[list] = kept_halves(ctx, pred_half_t{f, mv[list], false}, x, y, w, h, &serial[list], [&](int32_t slot) {
          int32_t stride;
          int16_t *dst = pred_half_samples(c, slot, 0, x, y, &stride);
          mc.mc_luma_ps(dst, &stride, src, nullptr, f->stride[0], mx & 3, my & 3, w, h);
        });
      if (half_slot[list] >= 0) {
        ps[list] = pred_half_samples(c, half_slot[list], 0, x, y, &ps_stride[list]);
        made_from[list] = src;
        continue;
      }
      ps_stride[list] = 64;
      ps[list] = mc.mc_luma_ps(tmp[list], &ps_stride[list], src, with_h ? hp : nullptr, f->stride[0], mx & 3, my & 3,
                               w, h);
    }
  }
  // A slot found for list 0 may have made room for list 1's: made again.
  for (int32_t list = 0; list < 2; list++)
    if (half_slot[list] >= 0 && !pred_half_live(c, half_slot[list], serial[list])) {
      ps_stride[list] = 64;
      ps[list] = mc.mc_luma_ps(tmp[list], &ps_stride[list], made_from[list], nullptr,
                               ctx->ref_list[list][ref[list]]->stride[0], mv_x(mv[list]) & 3, mv_y(mv[list]) & 3, w, h);
    }
  if (full_luma)
    mc.pixel_avg(ctu_rec_at(ctx, 0, x, y), RECON_STRIDE, full[0], full_stride[0], full[1], full_stride[1], w, h);
  else if (bi)
    mc.bipred_avg(ctu_rec_at(ctx, 0, x, y), RECON_STRIDE, ps[0], ps_stride[0], ps[1], ps_stride[1], w, h);
}

void predict_chroma(encoder_t *ctx, int32_t x, int32_t y, int32_t w, int32_t h, const int8_t ref[2],
                    const mv_t mv[2]) {
  const mc_funcs_t &mc = ctx->mc;
  pred_cache_t *c = ctx->pred_cache;
  const int32_t bi = ref[0] >= 0 && ref[1] >= 0;
  const int32_t px = ctx->ctu_x * 64 + x, py = ctx->ctu_y * 64 + y;
  const bool full_chroma = bi && ((mv_x(mv[0]) | mv_y(mv[0]) | mv_x(mv[1]) | mv_y(mv[1])) & 7) == 0;
  // Chroma: the luma vector in eighth samples, 4-tap filter (1 before, 2 after).
  const int32_t cw = w >> 1, ch = h >> 1, cx = px >> 1, cy = py >> 1;
  const uint8_t *src[2][2] = {{nullptr, nullptr}, {nullptr, nullptr}};  // [list][plane - 1]
  for (int32_t list = 0; list < 2; list++) {
    if (ref[list] < 0) continue;
    const frame_t *f = ctx->ref_list[list][ref[list]];
    const int32_t ax = clamp_pos(cx + (mv_x(mv[list]) >> 3), cw, f->width >> 1, 1, 2);
    const int32_t ay = clamp_pos(cy + (mv_y(mv[list]) >> 3), ch, f->height >> 1, 1, 2);
    for (int32_t plane = 1; plane <= 2; plane++) src[list][plane - 1] = f->plane[plane] + ay * f->stride[plane] + ax;
  }
  if (!bi || full_chroma) {
    for (int32_t plane = 1; plane <= 2; plane++) {
      uint8_t *dst = ctu_rec_at(ctx, plane, x >> 1, y >> 1);
      if (full_chroma) {
        mc.pixel_avg(dst, RECON_STRIDE, src[0][plane - 1], ctx->ref_list[0][ref[0]]->stride[plane], src[1][plane - 1],
                     ctx->ref_list[1][ref[1]]->stride[plane], cw, ch);
        continue;
      }
      const int32_t list = ref[0] >= 0 ? 0 : 1;
      mc.mc_chroma(dst, RECON_STRIDE, src[list][plane - 1], ctx->ref_list[list][ref[list]]->stride[plane],
                   mv_x(mv[list]) & 7, mv_y(mv[list]) & 7, cw, ch);
    }
    return;
  }
  alignas(32) int16_t tmp[2][2][32 * 32];  // [list][plane - 1]
  const int16_t *ps[2][2];
  int32_t ps_stride[2][2];
  int32_t kept[2];
  uint32_t serial[2] = {0, 0};
  // Both chroma blocks of one list into dst (strides ds).
  auto make = [&](int32_t list, int16_t *const dst[2], const int32_t ds[2]) {
    const frame_t *f = ctx->ref_list[list][ref[list]];
    for (int32_t p = 0; p < 2; p++)
      mc.mc_chroma_ps(dst[p], ds[p], src[list][p], f->stride[p + 1], mv_x(mv[list]) & 7, mv_y(mv[list]) & 7, cw, ch);
  };
  auto make_unkept = [&](int32_t list) {
    int16_t *dst[2] = {tmp[list][0], tmp[list][1]};
    const int32_t ds[2] = {32, 32};
    make(list, dst, ds);
    for (int32_t p = 0; p < 2; p++) {
      ps[list][p] = tmp[list][p];
      ps_stride[list][p] = 32;
    }
  };
  for (int32_t list = 0; list < 2; list++) {
    const pred_half_t k{ctx->ref_list[list][ref[list]], mv[list], true};
    kept[list] = kept_halves(ctx, k, x, y, w, h, &serial[list], [&](int32_t slot) {
      int16_t *dst[2];
      int32_t ds[2];
      for (int32_t p = 0; p < 2; p++) dst[p] = pred_half_samples(c, slot, p + 1, x, y, &ds[p]);
      make(list, dst, ds);
    });
    if (kept[list] < 0) make_unkept(list);
  }
  for (int32_t list = 0; list < 2; list++) {
    if (kept[list] < 0) continue;
    // A slot found for list 0 may have made room for list 1's: made again.
    if (!pred_half_live(c, kept[list], serial[list])) {
      make_unkept(list);
      continue;
    }
    for (int32_t p = 0; p < 2; p++) ps[list][p] = pred_half_samples(c, kept[list], p + 1, x, y, &ps_stride[list][p]);
  }
  for (int32_t plane = 1; plane <= 2; plane++)
    mc.bipred_avg(ctu_rec_at(ctx, plane, x >> 1, y >> 1), RECON_STRIDE, ps[0][plane - 1], ps_stride[0][plane - 1],
                  ps[1][plane - 1], ps_stride[1][plane - 1], cw, ch);
}

// The block's luma (and chroma) as kept: copied into the reconstruction.
void take_kept(encoder_t *ctx, const pred_cache_t *c, int32_t slot, int32_t x, int32_t y, int32_t w, int32_t h,
               bool chroma) {
  const auto copy = ctx->mc.block_copy;
  int32_t stride;
  const uint8_t *luma = pred_cache_luma(c, slot, x, y, &stride);
  copy(ctu_rec_at(ctx, 0, x, y), RECON_STRIDE, luma, stride, w, h);
  if (!chroma) return;
  for (int32_t p = 1; p <= 2; p++) {
    const uint8_t *kept = pred_cache_chroma(c, slot, p, x, y, &stride);
    copy(ctu_rec_at(ctx, p, x >> 1, y >> 1), RECON_STRIDE, kept, stride, w >> 1, h >> 1);
  }
}

// Keeps the block just predicted into the reconstruction.
void keep(encoder_t *ctx, pred_cache_t *c, const pred_motion_t &m, int32_t x, int32_t y, int32_t w, int32_t h,
          bool chroma) {
  const auto copy = ctx->mc.block_copy;
  const int32_t s = pred_cache_take(c, m, x, y, w, h, chroma);
  copy(pred_cache_slot_luma(c, s), w, ctu_rec_at(ctx, 0, x, y), RECON_STRIDE, w, h);
  if (!chroma) return;
  for (int32_t p = 1; p <= 2; p++)
    copy(pred_cache_slot_chroma(c, s, p), w >> 1, ctu_rec_at(ctx, p, x >> 1, y >> 1), RECON_STRIDE, w >> 1, h >> 1);
}

}  // namespace

void inter_predict_pu(encoder_t *ctx, int32_t x, int32_t y, int32_t w, int32_t h, const int8_t ref[2],
                      const mv_t mv[2], bool with_chroma) {
  pred_cache_t *c = ctx->pred_cache;
  // The luma of one list is a copy from the reference's sub-sample planes
  // or the search's kept prediction more often than not: not worth
  // keeping.
  const bool bi = ref[0] >= 0 && ref[1] >= 0;
  if (!pred_cache_on(c) || (!bi && !with_chroma)) {
    predict_luma(ctx, x, y, w, h, ref, mv);
    if (with_chroma) predict_chroma(ctx, x, y, w, h, ref, mv);
    return;
  }
  pred_motion_t m;
  for (int32_t l = 0; l < 2; l++) {
    m.ref[l] = ref[l] >= 0 ? ctx->ref_list[l][ref[l]] : nullptr;
    m.mv[l] = ref[l] >= 0 ? mv[l] : 0;
  }
  int32_t luma_only;
  const int32_t s = pred_cache_find(c, m, x, y, w, h, with_chroma, &luma_only);
  if (s >= 0) {
    take_kept(ctx, c, s, x, y, w, h, with_chroma);
    return;
  }
  if (luma_only >= 0)
    take_kept(ctx, c, luma_only, x, y, w, h, false);
  else
    predict_luma(ctx, x, y, w, h, ref, mv);
  if (with_chroma) predict_chroma(ctx, x, y, w, h, ref, mv);
  keep(ctx, c, m, x, y, w, h, with_chroma);
}

namespace {

// The cbf bytes of a block's units (1, 4, 16, 64 or 256 in z-order), eight
// at a time where there are as many.
void set_cbf(ctu_unit_maps_t *d, int32_t z, int32_t units, uint8_t mask, uint8_t bits) {
  uint8_t *p = d->cbf + z;
  if (units < 8) {
    for (int32_t i = 0; i < units; i++) p[i] = static_cast<uint8_t>((p[i] & ~mask) | bits);
    return;
  }
  const uint64_t keep = ~(0x0101010101010101ull * mask), set = 0x0101010101010101ull * bits;
  for (int32_t i = 0; i < units; i += 8) {
    uint64_t v;
    std::memcpy(&v, p + i, sizeof(v));
    v = (v & keep) | set;
    std::memcpy(p + i, &v, sizeof(v));
  }
}

// Whether the trial has reached its bound with the luma block just coded.
// Its syntax is counted with its first coded level at the latest: a trial
// that codes none may not be costed at all.
bool reaches_bound(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, uint32_t nz, const int16_t *levels,
                   inter_trial_bound_t *b) {
  b->luma_distortion +=
      ctx->pixel.ssd[6 - log2_size](ctu_src_at(ctx, 0, x, y), SRC_STRIDE, ctu_rec_at(ctx, 0, x, y), RECON_STRIDE);
  if (nz) {
    inter_trial_count_head(ctx, b);
    // The residual's bits only as far as the bound needs them: past what the
    // distortion and the bits so far leave to it, the trial is cut anyway.
    if (b->luma_counted)
      b->bits += residual_bits_within(ctx, &ctx->cabac.est, levels, log2_size, 0, 0, b->lambda,
                                      rd_cost_reach(b->luma_distortion, b->bits, b->bound, b->lambda));
  }
  b->cut = rd_cost(b->luma_distortion, b->bits, b->lambda) >= b->bound;
  return b->cut;
}

// The same with the Cb block just coded: its distortion counts too.  Its
// bits cannot be counted yet: the Cr block's quantisation reads the chroma
// contexts.
bool cb_reaches_bound(encoder_t *ctx, int32_t cx, int32_t cy, int32_t log2_c, inter_trial_bound_t *b) {
  b->cb_distortion +=
      ctx->pixel.ssd[6 - log2_c](ctu_src_at(ctx, 1, cx, cy), SRC_STRIDE, ctu_rec_at(ctx, 1, cx, cy), RECON_STRIDE);
  b->cut = rd_cost(b->distortion(), b->bits, b->lambda) >= b->bound;
  return b->cut;
}

// Bounded: a trial that stops at its bound; the other codings test nothing.
template <bool Bounded>
int32_t inter_tree_code(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t qp,
                        inter_trial_bound_t *b = nullptr) {
  ctu_unit_maps_t *d = &ctx->maps->unit;
  const int32_t z = zorder_of(x >> 2, y >> 2);
  const int32_t units = 1 << (2 * (log2_size - 2));
  if (d->tu_log2[z] < log2_size) {
    const int32_t h = 1 << (log2_size - 1);
    int32_t coded = 0;
    for (int32_t k = 0; k < 4; k++) {
      coded |= inter_tree_code<Bounded>(ctx, x + (k & 1) * h, y + (k >> 1) * h, log2_size - 1, qp, b);
      if (Bounded && b->cut) return coded;
    }
    if (log2_size == 3) {  // the chroma of four 4x4 luma blocks
      uint8_t bits = 0;
      for (int32_t p = 1; p <= 2; p++)
        if (transform_block_code(ctx, p, x >> 1, y >> 1, 2, chroma_qp(qp), 0, 0, d->coef_c[p - 1] + 4 * z))
          bits |= static_cast<uint8_t>(1 << p);
      set_cbf(d, z, units, 6, bits);
      coded |= bits != 0;
    }
    return coded;
  }
  const uint32_t nz = transform_block_code(ctx, 0, x, y, log2_size, qp, 0, 0, d->coef_y + 16 * z);
  set_cbf(d, z, units, 1, nz ? 1 : 0);
  int32_t coded = nz != 0;
  if (Bounded && reaches_bound(ctx, x, y, log2_size, nz, d->coef_y + 16 * z, b)) return coded;
  if (log2_size > 2) {
    uint8_t bits = 0;
    for (int32_t p = 1; p <= 2; p++) {
      if (transform_block_code(ctx, p, x >> 1, y >> 1, log2_size - 1, chroma_qp(qp), 0, 0, d->coef_c[p - 1] + 4 * z))
        bits |= static_cast<uint8_t>(1 << p);
      if (Bounded && p == 1 && cb_reaches_bound(ctx, x >> 1, y >> 1, log2_size - 1, b)) return coded | (bits != 0);
    }
    set_cbf(d, z, units, 6, bits);
    coded |= bits != 0;
  }
  return coded;
}

}  // namespace

int32_t inter_cu_code(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t qp, int32_t code_residual) {
  ctu_unit_maps_t *d = &ctx->maps->unit;
  const ctu_maps_t *m = ctx->maps;
  const int32_t z = zorder_of(x >> 2, y >> 2);
  const int32_t size = 1 << log2_size;
  const int32_t pm = unit_part_mode(m, z);
  const int32_t pw = pm == 2 ? size / 2 : size, ph = pm == 1 ? size / 2 : size;
  for (int32_t k = 0; k < (pm ? 2 : 1); k++) {
    const int32_t px = x + (pm == 2 ? k * pw : 0), py = y + (pm == 1 ? k * ph : 0);
    const int32_t u = map8_index(px >> 3, py >> 3);
    const int8_t ref[2] = {m->ref_idx[0][u], m->ref_idx[1][u]};
    const mv_t mv[2] = {m->mv[0][u], m->mv[1][u]};
    inter_predict_pu(ctx, px, py, pw, ph, ref, mv);
  }
  if (!code_residual) {
    set_cbf(d, z, 1 << (2 * (log2_size - 2)), 7, 0);
    return 0;
  }
  return inter_tree_code<false>(ctx, x, y, log2_size, qp);
}

int32_t inter_cu_residual(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t qp) {
  return inter_tree_code<false>(ctx, x, y, log2_size, qp);
}

void inter_trial_count_head(encoder_t *ctx, inter_trial_bound_t *b) {
  if (b->head_counted) return;
  b->head_counted = true;
  b->bits += inter_cu_part_estimate(ctx, &ctx->cabac.est, b->x, b->y, b->log2_size, INTER_CU_HEAD);
}

int32_t inter_cu_residual_bounded(encoder_t *ctx, int32_t qp, inter_trial_bound_t *b) {
  return inter_tree_code<true>(ctx, b->x, b->y, b->log2_size, qp, b);
}
