// The motion search of CUs of 16x16 and larger on the half-resolution
// pictures: a quarter of the samples per point, and the full search's
// patterns reach twice as far in picture terms.  The references are the
// half-resolution pictures of their sources, which reconstructions carry
// when the search is on.
#include <algorithm>

#include "analysis/ctu_analysis.h"
#include "analysis/ctu_maps.h"
#include "analysis/inter_common.h"
#include "encoder/encoder.h"
#include "motion/me_common.h"
#include "motion/mvp.h"

void ctu_load_lowres_block(encoder_t *ctx, lowres_cu_search_t *lowres) {
  const frame_t *f = ctx->cur_input;
  me_context_t &me = lowres->me;
  me.luma_stride = f->lowres_stride;
  me.search_mode = ctx->me.search_mode;
  me.pic_width = static_cast<int16_t>(f->lowres_width);
  me.pic_height = static_cast<int16_t>(f->lowres_height);
  me.pixel_funcs = &ctx->pixel;
  me.mc_funcs = &ctx->mc;
  me.search_range = (ctx->ctu_search_range + 1) >> 1;
  me.list_count = 2;
  me.ctu_x = ctx->ctu_x * 32;
  me.ctu_y = ctx->ctu_y * 32;
  const intptr_t at = static_cast<intptr_t>(me.ctu_y) * f->lowres_stride + me.ctu_x;
  for (int32_t l = 0; l < 2; l++) {
    me.ref_count[l] = 0;
    for (int32_t r = 0; r < std::min(ctx->ref_count[l], ME_MAX_REFS); r++) {
      const frame_t *ref = ctx->ref_list[l][r];
      // A reference without its half-resolution picture ends the list.
      if (!ref->lowres_planes[0]) break;
      me.ref_planes[l][r] = ref->lowres_planes[0] + at;
      // Fractional positions are interpolated from the plane itself.
      me.ref_subpel_planes[l][r][1] = nullptr;
      me.ref_planes_valid[l][r] = 0;
      me.ref_count[l] = r + 1;
    }
  }
  me.src = lowres->block;
  ctx->mc.block_copy(lowres->block, 64, f->lowres_planes[0] + at, f->lowres_stride, 32, 32);
}

namespace {

// The list's reference-index map over the CU's 8x8 units.
void fill_ref_map(encoder_t *ctx, int32_t list, int32_t x, int32_t y, int32_t size, int32_t ref) {
  for (int32_t v = 0; v < size >> 3; v++)
    for (int32_t u = 0; u < size >> 3; u++)
      ctx->maps->ref_idx[list][map8_index((x >> 3) + u, (y >> 3) + v)] = static_cast<int8_t>(ref);
}

struct lowres_list_search_t {
  encoder_t *ctx;
  const me_context_t *me;
  const cu_node_t *node;
  int32_t z, x, y, size;

  // Every reference of the list on the half-resolution pictures; the best
  // to *best, in P pictures coded as B slices the runner-up to *other
  // (half-resolution costs and vectors).
  void run(int32_t list, me_result_t *best, me_result_t *other) const {
    // Under real-time pressure only the nearest reference.
    const int32_t refs = ctx->speed_mode == 0 ? me->ref_count[list] : std::min(1, me->ref_count[list]);
    for (int32_t r = 0; r < refs; r++) {
      fill_ref_map(ctx, list, x, y, size, r);
      me_request_t rq = me_request_for(x >> 1, y >> 1, size >> 1, size >> 1, list, r);
      mv_t amvp[2];
      rq.amvp_count = mvp_get_amvp_candidates(ctx, z, x, y, size, size, 0, list, amvp);
      for (int32_t i = 0; i < 2; i++) rq.amvp[i] = mv_make(mv_x(amvp[i]) >> 1, mv_y(amvp[i]) >> 1);
      me_result_t res;
      me_search(ctx, me, &res, &rq, node->qp, best->cost, 0, 1);
      if (res.cost < best->cost) {
        if (other) *other = *best;
        *best = res;
      } else if (other && res.cost < other->cost) {
        *other = res;
      }
    }
  }
};

}  // namespace

void lowres_motion_search(encoder_t *ctx, lowres_cu_search_t *lowres, cu_node_t *node, int32_t z, int32_t x,
                          int32_t y, int32_t log2_size, bool true_b, mv_t amvp[2][2], int32_t amvp_count[2]) {
  const int32_t size = 1 << log2_size;
  const lowres_list_search_t search{ctx, &lowres->me, node, z, x, y, size};
  me_result_t found[2];
  for (me_result_t &r : found) r.cost = r.second_cost = COST_NONE;
  const bool p_as_b = ctx->slice_type_code == 0 && !true_b;
  if (true_b) {
    search.run(0, &found[0], nullptr);
    search.run(1, &found[1], nullptr);
  } else {
    // List 0 alone; a P picture sent as a B slice keeps the best other
    // reference as the list-1 half (list 1 repeats list 0).
    search.run(0, &found[0], p_as_b ? &found[1] : nullptr);
  }
  // Full-resolution terms.  A doubled vector may point further out than a
  // full-resolution block may start: it is kept inside the CU's window,
  // whose samples the picture margins hold.
  const me_window_t win =
      me_window(ctx->ctu_x * 64 + x, ctx->ctu_y * 64 + y, ctx->width, ctx->height, ctx->param.mv_range_y);
  me_result_t *out[2] = {&node->me_best, &node->me_other};
  for (int32_t l = 0; l < 2; l++) {
    const me_result_t &h = found[l];
    if (h.cost >= COST_NONE) continue;
    me_result_t &o = *out[l];
    auto scaled = [](uint32_t c) {
      return static_cast<uint32_t>(std::min<uint64_t>(4 * static_cast<uint64_t>(c), COST_NONE - 1));
    };
    o.cost = scaled(h.cost);
    o.second_cost = h.second_cost < COST_NONE ? scaled(h.second_cost) : COST_NONE;
    o.mv = mv_make(std::clamp<int32_t>(2 * mv_x(h.mv), 4 * win.min_x, 4 * win.max_x),
                   std::clamp<int32_t>(2 * mv_y(h.mv), 4 * win.min_y, 4 * win.max_y));
    o.ref_idx = h.ref_idx;
    // The vector differences are taken against the chosen reference's
    // predictors.
    fill_ref_map(ctx, l, x, y, size, h.ref_idx);
    amvp_count[l] = mvp_get_amvp_candidates(ctx, z, x, y, size, size, 0, l, amvp[l]);
  }
}
