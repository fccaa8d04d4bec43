#include "motion/me_context.h"

#include "analysis/analysis_tables.h"
#include "common/primitives.h"
#include "encoder/encoder.h"
#include "encoder/ref_planes.h"
#include "motion/me_common.h"
#include "motion/me_subpel_cache.h"

void me_setup_context(encoder_t *ctx, me_context_t *me) {
  me->luma_stride = ctx->cur_recon->stride[0];
  const uint32_t control = ctx->cur_input->control;
  me->search_mode = control == 1 || control == 2 ? 0 : ctx->param.multihex_search;
  me->pic_width = static_cast<int16_t>(ctx->width);
  me->pic_height = static_cast<int16_t>(ctx->height);
  me->pixel_funcs = &ctx->pixel;
  me->mc_funcs = &ctx->mc;
  me->search_range = ctx->ctu_search_range;
  me->list_count = ctx->slice_type_code == 0 ? 2 : 1;
  for (int32_t l = 0; l < 2; l++) me->ref_count[l] = ctx->ref_count[l];
}

void me_setup_refs(encoder_t *ctx, me_context_t *me) {
  me->ctu_x = ctx->ctu_x * 64;
  me->ctu_y = ctx->ctu_y * 64;
  for (int32_t l = 0; l < me->list_count; l++)
    for (int32_t r = 0; r < std::min(me->ref_count[l], ME_MAX_REFS); r++) {
      const frame_t *f = ctx->ref_list[l][r];
      const intptr_t at = static_cast<intptr_t>(me->ctu_y) * f->stride[0] + me->ctu_x;
      me->ref_planes[l][r] = f->plane[0] + at;
      // A pooled picture keeps stale planes unless it built them as a
      // reference; the pointers of a reference without them are cleared.
      if (!ctx->param.subpel_planes || !f->planes_valid) {
        me->ref_subpel_planes[l][r][1] = nullptr;
        continue;
      }
      me->ref_planes_valid[l][r] = f->planes_valid;
      for (int32_t k = 0; k < 3; k++) me->ref_hplanes[l][r][k] = f->hplane[k] + at;
      for (int32_t p = 0; p < 16; p++) me->ref_subpel_planes[l][r][p] = f->subpel[p] + at;
    }
  me->src = ctx->ctu_src;
  me_kept_new_ctu(&ctx->me_kept);
  // The refinements that share their first filter stage (level 4 on) cost
  // enough candidates for the cache to pay.
  me->subpel_cache = ctx->analysis_level >= 4 ? me_subpel_cache_of_thread() : nullptr;
  me->subpel_gen = me->subpel_cache ? me_subpel_cache_new_ctu(me->subpel_cache) : 0;
  me->vector_reach = ctx->param.mv_range_y;
}

me_window_t me_window(int32_t x, int32_t y, int32_t pic_width, int32_t pic_height, int32_t range) {
  me_window_t w;
  w.min_x = std::max(-63 - x, -500) + 1;
  w.min_y = std::max(-63 - y, -500) + 1;
  w.max_x = pic_width - x <= range ? pic_width - x - 2 : range - 1;
  w.max_y = pic_height - y <= range ? pic_height - y - 2 : range - 1;
  return w;
}

me_split_sad_t me_split_sad(const pixel_funcs_t &px, int32_t width, int32_t height, int32_t c, int32_t stride) {
  me_split_sad_t s;
  if (width == height) {
    s.whole = px.sad_x4_half[c];
    if (c <= 3) s.half = px.sad_x4_half_wide[c];
  } else if (width > height) {
    s.whole = px.sad_x4_half_wide[c];
    if (c <= 2) s.half = px.sad_x4_half_flat[c];
  } else {
    s.whole = px.sad_x4_half_tall[c];
    if (c <= 2) s.half = px.sad_x4_half[c + 1];
  }
  s.src_rest = static_cast<intptr_t>(height / 2) * SRC_STRIDE;
  s.ref_rest = static_cast<intptr_t>(height / 2) * stride;
  return s;
}

me_mvcost_t me_mvcost(const analysis_tables_t *t, int32_t qp, int32_t slot) {
  return me_mvcost_t{t->mvcost_table[qp][slot], 4 * t->mv_range + MVCOST_FILLED_MARGIN};
}

void me_predictor_init(me_predictor_t *p, int32_t subpel_planes, const me_context_t *me, const me_request_t *rq,
                       int32_t bilinear, uint8_t *buf, me_local_planes_t *local) {
  p->mc = me->mc_funcs;
  p->stride = me->luma_stride;
  const intptr_t at = static_cast<intptr_t>(rq->y) * p->stride + rq->x;
  p->ref = me->ref_planes[rq->list][rq->ref_idx] + at;
  p->use_planes = subpel_planes && me->ref_subpel_planes[rq->list][rq->ref_idx][1] != nullptr
                      ? me->ref_planes_valid[rq->list][rq->ref_idx]
                      : 0;
  if (p->use_planes)
    for (int32_t k = 0; k < 16; k++) p->planes[k] = me->ref_subpel_planes[rq->list][rq->ref_idx][k] + at;
  p->width = rq->width;
  p->height = rq->height;
  p->bilinear = bilinear;
  p->buf = buf;
  // The planes or the bilinear filter leave nothing to share.
  p->local = p->use_planes >= 2 || bilinear ? nullptr : local;
  p->x = rq->x;
  p->y = rq->y;
  p->cache = p->local && me->subpel_cache
                 ? me_subpel_cache_slot(me->subpel_cache, me->subpel_gen, me->ref_planes[rq->list][rq->ref_idx],
                                        me->luma_stride, me->vector_reach)
                 : nullptr;
  constexpr me_predictor_t::region_t none{0, -1, 0, -1};
  for (int32_t f = 0; f < 3; f++) p->want[f] = p->have[f] = none;
  for (int32_t k = 0; k < 2; k++) p->want_pix[k] = p->have_pix[k] = none;
}

void me_refine_costs_t::share_units(const pixel_funcs_t &px, const me_request_t *rq) {
  const int32_t w = rq->width, h = rq->height, c = rq->size_class;
  if (!pred->cache || c < 0 || c > 3) return;
  if (w <= 16 && h <= 16 && w * h < 256) {
    // Only the SA8D of the shape follows from the 8x8 blocks' sums.
    const int32_t bx = (rq->x >> 3) & 1, by = (rq->y >> 3) & 1;
    if (w == 16 && h == 8 && (rq->x & 15) == 0 && (rq->y & 7) == 0 && cost == px.sa8d_wide[2]) {
      part = PART_WIDE;
      part_first = 2 * by;
      part_mask = 3u << part_first;
      part_blocks = px.sa8d_blocks_16x8;
    } else if (w == 8 && h == 16 && (rq->x & 7) == 0 && (rq->y & 15) == 0 && cost == px.sa8d_tall[2]) {
      part = PART_TALL;
      part_first = bx;
      part_mask = 5u << part_first;
      part_blocks = px.sa8d_blocks_8x16;
    } else if (w == 8 && h == 8 && ((rq->x | rq->y) & 7) == 0 && cost == px.sa8d[3]) {
      part = PART_QUARTER;
      part_first = 2 * by + bx;
      part_mask = 1u << part_first;
      part_blocks = px.sa8d_blocks_8x8;
    } else {
      return;
    }
  } else {
    if (((rq->x | rq->y) & 15) != 0 || w < 16 || h < 16) return;
    // Only the SA8D of the shape is the sum of its units' SA8Ds.
    const int32_t side = 64 >> c;
    pixel_cost_fn shape = nullptr;
    if (w == side && h == side) shape = px.sa8d[c];
    if (w == side && h == side / 2) shape = px.sa8d_wide[c];
    if (w == side / 2 && h == side) shape = px.sa8d_tall[c];
    if (!shape || cost != shape) return;
  }
  units = pred->cache;
  unit_blocks = px.sa8d_blocks_16x16;
  ux = rq->x >> 4;
  uy = rq->y >> 4;
  uw = std::max(w >> 4, 1);
  uh = std::max(h >> 4, 1);
}

namespace {

// The SA8D of a unit from its four blocks' sums, rounded once.
uint32_t unit_sa8d(const uint32_t *raw) { return (raw[0] + raw[1] + raw[2] + raw[3] + 2) >> 2; }

}  // namespace

uint32_t me_refine_costs_t::unit_sum(mv_t v) {
  last = nullptr;
  uint32_t sum = 0;
  for (int32_t j = 0; j < uh; j++)
    for (int32_t i = 0; i < uw; i++) {
      me_unit_costs_t::entry_t &e = units->unit(ux + i, uy + j, v);
      if (e.known != 15) {
        if (!last) last = pred->predict(mv_x(v), mv_y(v), &last_stride);
        e.known = 15;
        unit_blocks(src + 16 * (j * 64 + i), 64, last + 16 * (j * last_stride + i), last_stride, e.raw);
        e.cost = unit_sa8d(e.raw);
      }
      sum += e.cost;
    }
  return sum;
}

uint32_t me_refine_costs_t::part_fill(me_unit_costs_t::entry_t &e, mv_t v) {
  uint32_t *raw = e.raw + part_first;
  last = pred->predict(mv_x(v), mv_y(v), &last_stride);
  if (part == PART_TALL) {
    uint32_t pair[2];
    part_blocks(src, 64, last, last_stride, pair);
    raw[0] = pair[0];
    raw[2] = pair[1];
  } else {
    // The wide half's two blocks and the quarter's one lie in order.
    part_blocks(src, 64, last, last_stride, raw);
  }
  e.known |= part_mask;
  if (e.known == 15) e.cost = unit_sa8d(e.raw);
  return part_sa8d(raw);
}

namespace {

// Whole-sample offsets of the vectors of phase f (0..3) within [c - reach,
// c + reach] quarter samples, limited to [lo, hi]: empty (first > last)
// when there is none.
void phase_offsets(int32_t c, int32_t reach, int32_t f, int32_t lo, int32_t hi, int32_t *first, int32_t *last) {
  const int32_t a = c - reach + ((f - (c - reach)) & 3), b = c + reach - ((c + reach - f) & 3);
  *first = a <= b ? std::max(a >> 2, lo) : 1;
  *last = a <= b ? std::min(b >> 2, hi) : 0;
}

// The region, or none when its w x h block does not fit the scratch.
me_predictor_t::region_t fitting(me_predictor_t::region_t r, int32_t w, int32_t h, int32_t max_w, int32_t max_h) {
  if (r.x1 - r.x0 + w > max_w || r.y1 - r.y0 + h > max_h) return {0, -1, 0, -1};
  return r;
}

}  // namespace

void me_predictor_t::expect(mv_t centre, int32_t reach, const me_window_t &win) {
  if (!local) return;
  const int32_t cx = mv_x(centre), cy = mv_y(centre);
  // The CTU's phase cache serves every block within reach: no sums.
  if (cache && cache->holds(x + ((cx - reach) >> 2), y + ((cy - reach) >> 2), x + ((cx + reach) >> 2) + 1 + width,
                            y + ((cy + reach) >> 2) + 1 + height)) {
    constexpr region_t none{0, -1, 0, -1};
    for (int32_t f = 0; f < 3; f++) want[f] = none;
    for (int32_t k = 0; k < 2; k++) want_pix[k] = none;
    return;
  }
  // Vectors with a fraction lie strictly inside the window's quarter-sample
  // bounds, so their whole-sample offsets stay below its far edges: the
  // regions read no sample their candidates' direct filters would not.
  // Vertically every fraction reads the sums of its rows (the vertical taps
  // add 3 rows above and 4 below, built with them); horizontally a
  // fraction's vectors are the ones of its phase.
  using L = me_local_planes_t;
  region_t rows{0, -1, 0, -1};
  rows.y0 = std::max((cy - reach) >> 2, win.min_y);
  rows.y1 = std::min((cy + reach) >> 2, win.max_y - 1);
  for (int32_t f = 1; f < 4; f++) {
    region_t r = rows;
    phase_offsets(cx, reach, f, win.min_x, win.max_x - 1, &r.x0, &r.x1);
    want[f - 1] = fitting(r, width, height + 7, L::STRIDE, L::ROWS);
  }
  for (int32_t k = 0; k < 2; k++) {
    region_t r;
    phase_offsets(cx, reach, 2 * k, win.min_x, k == 0 ? win.max_x : win.max_x - 1, &r.x0, &r.x1);
    phase_offsets(cy, reach, 2, win.min_y, win.max_y - 1, &r.y0, &r.y1);
    want_pix[k] = fitting(r, width, height, L::PIX_STRIDE, L::PIX_ROWS);
  }
}

bool me_predictor_t::sums_for(int32_t f, int32_t x, int32_t y) {
  region_t &h = have[f - 1];
  if (!h.holds(x, y) && want[f - 1].holds(x, y)) {
    // Raw horizontal sums of the region's rows and the taps' rows around
    // them: the 16-bit prediction of a horizontal-only fraction.
    h = want[f - 1];
    int32_t ds = me_local_planes_t::STRIDE;
    const uint8_t *at = ref + static_cast<intptr_t>(h.y0 - 3) * stride + h.x0;
    mc->mc_luma_ps(local->sum[f - 1], &ds, at, nullptr, stride, f, 0, h.x1 - h.x0 + width, h.y1 - h.y0 + height + 7);
  }
  return h.holds(x, y);
}

const uint8_t *me_predictor_t::half_pixels(int32_t k, int32_t x, int32_t y) {
  region_t &h = have_pix[k];
  if (!h.holds(x, y) && want_pix[k].holds(x, y)) {
    const region_t r = want_pix[k];
    const int32_t w = r.x1 - r.x0 + width, hh = r.y1 - r.y0 + height;
    if (k == 0) {
      mc->mc_luma(local->pix[0], me_local_planes_t::PIX_STRIDE, ref, nullptr, stride, 4 * r.x0, 4 * r.y0 + 2, w, hh);
    } else {
      // From the sums of the half fraction, which the same reach covers.
      if (!sums_for(2, r.x0, r.y0) || !have[1].holds(r.x1, r.y1)) return nullptr;
      const int16_t *hplanes[3] = {nullptr, local->sum[1] + 3 * me_local_planes_t::STRIDE, nullptr};
      mc->mc_luma(local->pix[1], me_local_planes_t::PIX_STRIDE, ref, hplanes, me_local_planes_t::STRIDE,
                  4 * (r.x0 - have[1].x0) + 2, 4 * (r.y0 - have[1].y0) + 2, w, hh);
    }
    h = r;
  }
  if (!h.holds(x, y)) return nullptr;
  return local->pix[k] + (y - h.y0) * me_local_planes_t::PIX_STRIDE + (x - h.x0);
}

const uint8_t *me_predictor_t::predict_filtered(int32_t mvx, int32_t mvy, int32_t *out_stride) {
  if (ref_planes_hold(use_planes, mvx, mvy)) {
    *out_stride = stride;
    return mc->subpel_plane_ptr(planes, stride, mvx, mvy);
  }
  *out_stride = 64;
  if (bilinear) return mc->get_ref_bilinear(buf, out_stride, ref, stride, mvx, mvy, width, height);
  const int32_t fx = mvx & 3, fy = mvy & 3, ix = mvx >> 2, iy = mvy >> 2;
  if (cache && (fx | fy) != 0) {
    if (const uint8_t *p = cache->block(mc, x + ix, y + iy, width, height, (fy << 2) | fx)) {
      *out_stride = me_subpel_slot_t::SPAN;
      return p;
    }
  }
  if (local && fy == 2 && (fx & 1) == 0) {
    if (const uint8_t *p = half_pixels(fx >> 1, ix, iy)) {
      *out_stride = me_local_planes_t::PIX_STRIDE;
      return p;
    }
  }
  if (local && fx != 0 && sums_for(fx, ix, iy)) {
    // The sums stand in for the reference's horizontal plane of this
    // fraction, the vector taken relative to the region's first sample.
    const int16_t *hplanes[3] = {nullptr, nullptr, nullptr};
    hplanes[fx - 1] = local->sum[fx - 1] + 3 * me_local_planes_t::STRIDE;
    return mc->get_ref(buf, out_stride, ref, hplanes, me_local_planes_t::STRIDE, mvx - 4 * have[fx - 1].x0,
                       mvy - 4 * have[fx - 1].y0, width, height);
  }
  return mc->get_ref(buf, out_stride, ref, nullptr, stride, mvx, mvy, width, height);
}
