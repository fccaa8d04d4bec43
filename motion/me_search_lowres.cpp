// Whole-sample motion search of one block of a half-resolution picture:
// predictors rounded to whole samples, a diamond walk that never steps back
// where it came from, and a final SATD with the vector cost.
#include <algorithm>

#include "encoder/encoder.h"
#include "motion/me_common.h"
#include "motion/mvp.h"

namespace {

// Directions 1 up, 2 down, 4 left, 8 right; after a move the direction
// back is not tried.
constexpr int8_t DIRECTION[4][2] = {{0, -1}, {0, 1}, {-1, 0}, {1, 0}};
constexpr uint32_t ALLOWED_AFTER[4] = {13, 14, 7, 11};

}  // namespace

void me_search_lowres(encoder_t *ctx, const me_context_t *me, me_result_t *result, const me_request_t *rq,
                      int32_t qp) {
  const int32_t bx = me->ctu_x + rq->x, by = me->ctu_y + rq->y, w = rq->width, h = rq->height;
  result->cost = ME_COST_NONE;
  result->second_cost = ME_COST_NONE;
  result->ref_idx = static_cast<uint8_t>(rq->ref_idx);
  if (me->pic_width < bx + w || me->pic_height < by + h) {
    result->mv = rq->amvp_count > 0 ? rq->amvp[0] : 0;
    return;
  }
  const int32_t range_limit = ctx->param.mv_range_y;
  const me_window_t win = me_window(bx, by, me->pic_width, me->pic_height, range_limit);
  const pixel_funcs_t &px = *me->pixel_funcs;
  const int32_t c = rq->size_class, stride = me->luma_stride;
  const uint8_t *src = me->src + rq->y * 64 + rq->x;
  const uint8_t *ref = me->ref_planes[rq->list][rq->ref_idx] + static_cast<intptr_t>(by) * stride + bx;
  auto at = [&](int32_t x, int32_t y) { return ref + static_cast<intptr_t>(y) * stride + x; };

  // Start: the predictor (or the zero vector) with the lowest SAD.
  int32_t sx = 0, sy = 0;
  mv_t best = MV_NONE;
  uint32_t best_sad = ME_COST_NONE;
  auto start = [&](mv_t v) {
    int32_t x, y;
    me_round_start(v, win, &x, &y);
    if (mv_make(4 * x, 4 * y) == best) return;
    const uint32_t d = px.sad_half[c](src, 64, at(x, y), stride);
    if (d < best_sad) {
      best_sad = d;
      best = mv_make(4 * x, 4 * y);
      sx = x;
      sy = y;
    }
  };
  for (int32_t i = 0; i < rq->amvp_count; i++) start(rq->amvp[i]);
  start(0);

  const mv_t zero[2] = {0, 0};
  const mv_t *preds = rq->amvp_count > 0 ? rq->amvp : zero;
  int16_t mvd[2];
  const mv_t p = preds[mvp_select_mvd(&best, preds, std::max(rq->amvp_count, 1), mvd)];
  const me_mvcost_t mvcost = me_mvcost(ctx->tables, qp, 1);
  auto bits = [&](int32_t x, int32_t y) { return mvcost.of(mv_make(4 * x, 4 * y), p); };

  if (me->search_mode == 2 && me->search_range >= 1) {
    uint32_t cost = best_sad + bits(sx, sy);
    uint32_t mask = 15, last = 15;
    for (int32_t step = 0; step < me->search_range; step++) {
      int32_t dirs[4], n = 0;
      for (int32_t k = 0; k < 4; k++)
        if ((mask & (1u << k)) && win.contains(sx + DIRECTION[k][0], sy + DIRECTION[k][1])) dirs[n++] = k;
      if (n == 0) break;
      const uint8_t *r[4];
      for (int32_t i = 0; i < n; i++) r[i] = at(sx + DIRECTION[dirs[i]][0], sy + DIRECTION[dirs[i]][1]);
      uint32_t d[4];
      if (n == 4)
        px.sad_x4_half[c](src, r[0], r[1], r[2], r[3], stride, d);
      else if (n == 3)
        px.sad_x3_half[c](src, r[0], r[1], r[2], stride, d);
      else if (n == 2)
        px.sad_x2_half[c](src, r[0], r[1], stride, d);
      else
        d[0] = px.sad_half[c](src, 64, r[0], stride);
      int32_t moved = -1;
      for (int32_t i = 0; i < n; i++) {
        const uint32_t ci = d[i] + bits(sx + DIRECTION[dirs[i]][0], sy + DIRECTION[dirs[i]][1]);
        if (ci < cost) {
          cost = ci;
          moved = dirs[i];
        }
      }
      if (moved < 0) break;
      sx += DIRECTION[moved][0];
      sy += DIRECTION[moved][1];
      mask = last & ALLOWED_AFTER[moved];
      last = ALLOWED_AFTER[moved];
    }
  }
  const uint8_t *planes[16];
  for (auto &q : planes) q = ref;
  const uint8_t *pred = me->mc_funcs->subpel_plane_ptr(planes, stride, 4 * sx, 4 * sy);
  result->cost = px.satd[c](src, 64, pred, stride) + 2 * bits(sx, sy);
  result->mv = mv_make(4 * sx, 4 * sy);
}
