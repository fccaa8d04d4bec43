#include "motion/me_context.h"

#include "analysis/analysis_tables.h"
#include "encoder/encoder.h"
#include "encoder/ref_planes.h"
#include "motion/me_common.h"

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
}

me_window_t me_window(int32_t x, int32_t y, int32_t pic_width, int32_t pic_height, int32_t range) {
  me_window_t w;
  w.min_x = std::max(-63 - x, -500) + 1;
  w.min_y = std::max(-63 - y, -500) + 1;
  w.max_x = pic_width - x <= range ? pic_width - x - 2 : range - 1;
  w.max_y = pic_height - y <= range ? pic_height - y - 2 : range - 1;
  return w;
}

me_mvcost_t me_mvcost(const analysis_tables_t *t, int32_t qp, int32_t slot) {
  return me_mvcost_t{t->mvcost_table[qp][slot], 4 * t->mv_range + MVCOST_FILLED_MARGIN};
}

void me_predictor_init(me_predictor_t *p, int32_t subpel_planes, const me_context_t *me, const me_request_t *rq,
                       int32_t bilinear, uint8_t *buf) {
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
}

const uint8_t *me_predictor_t::predict(int32_t mvx, int32_t mvy, int32_t *out_stride) const {
  if (ref_planes_hold(use_planes, mvx, mvy)) {
    *out_stride = stride;
    return mc->subpel_plane_ptr(planes, stride, mvx, mvy);
  }
  *out_stride = 64;
  if (bilinear) return mc->get_ref_bilinear(buf, out_stride, ref, stride, mvx, mvy, width, height);
  return mc->get_ref(buf, out_stride, ref, nullptr, stride, mvx, mvy, width, height);
}
