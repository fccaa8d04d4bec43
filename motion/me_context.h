// The records of every motion search: the per-CTU context, the request of
// one prediction unit against one reference, and the result.
#pragma once

#include <cstdint>

#include "motion/mv.h"

struct encoder_t;
struct pixel_funcs_t;
struct mc_funcs_t;
struct me_subpel_cache_t;

// A cost that was not evaluated.
constexpr uint32_t ME_COST_NONE = 0x1fffffff;
// Entries of the per-list reference arrays; the encoder uses at most four.
constexpr int32_t ME_MAX_REFS = 17;

struct me_context_t {
  int32_t luma_stride;
  int32_t search_mode;  // 1 multi-hexagon, 0 hexagon; 2 the low-resolution diamond
  int16_t pic_width, pic_height;
  const pixel_funcs_t *pixel_funcs;
  const mc_funcs_t *mc_funcs;
  int32_t search_range;  // whole samples
  int32_t list_count;
  int32_t ref_count[2];
  int32_t ctu_x, ctu_y;  // luma position of the CTU (or block origin)
  // Per list and reference, at the CTU's top-left sample: the luma plane,
  // the three 16-bit horizontal planes and the 16 quarter-sample phase
  // planes ((fy << 2) | fx); the last two only with sub-pel planes.
  const uint8_t *ref_planes[2][ME_MAX_REFS];
  const int16_t *ref_hplanes[2][ME_MAX_REFS][3];
  const uint8_t *ref_subpel_planes[2][ME_MAX_REFS][16];
  // Which phase planes hold values: 1 the whole- and half-sample ones, 2
  // all (the reference's `planes_valid`); read only with the planes above.
  int32_t ref_planes_valid[2][ME_MAX_REFS];
  const uint8_t *src;  // 64x64 source block, stride 64
  // The worker thread's fractional-phase cache and the CTU's generation in
  // it (nullptr, 0: every candidate is filtered by itself); the downward
  // vector limit bounds what it may read.
  me_subpel_cache_t *subpel_cache;
  uint32_t subpel_gen;
  int32_t vector_reach;
};

constexpr int32_t ME_MAX_EXTRA = 4;

struct me_request_t {
  int16_t x, y;  // relative to the context's origin
  int16_t width, height;
  int32_t size_class;  // 0 64x64 CU .. 3 8x8 CU
  int32_t list;
  int32_t amvp_count;
  int8_t ref_idx;
  int8_t extra_count;
  mv_t amvp[2];
  mv_t extra[ME_MAX_EXTRA];
};

// A request for the w x h prediction unit at (x, y) of the CTU against
// reference ref_idx of the list, in a CU as large as its longer side; no
// predictors yet.
inline me_request_t me_request_for(int32_t x, int32_t y, int32_t w, int32_t h, int32_t list, int32_t ref_idx) {
  me_request_t rq{};
  rq.x = static_cast<int16_t>(x);
  rq.y = static_cast<int16_t>(y);
  rq.width = static_cast<int16_t>(w);
  rq.height = static_cast<int16_t>(h);
  rq.size_class = __builtin_clz(static_cast<uint32_t>(w > h ? w : h)) - 25;  // 64 -> 0 .. 8 -> 3
  rq.list = list;
  rq.ref_idx = static_cast<int8_t>(ref_idx);
  return rq;
}

struct me_result_t {
  uint32_t cost;
  uint32_t second_cost;
  mv_t mv;
  uint8_t ref_idx;
};

// Picture-level fields of the context of a P or B slice's CTU.
void me_setup_context(encoder_t *ctx, me_context_t *me);
// CTU-level fields: origin, reference planes at the CTU, source block.
void me_setup_refs(encoder_t *ctx, me_context_t *me);

// Full search (integer patterns, half and quarter refinement of the best two
// vectors).  cost_bound: the best search cost the caller holds for the CU;
// likely_ref: 1 for the references the caller expects to matter.
void me_search(encoder_t *ctx, const me_context_t *me, me_result_t *result, const me_request_t *request, int32_t qp,
               uint32_t cost_bound, int32_t reserved, int32_t likely_ref);
// Cheaper search of square prediction units: one best vector, one fixed
// predictor, a gated refinement.  May lower request->extra_count.
void me_search_fast(encoder_t *ctx, const me_context_t *me, me_result_t *result, me_request_t *request, int32_t qp,
                    uint32_t cost_bound, int32_t reserved, int32_t likely_ref);
// Whole-sample diamond search of one block of a half-resolution picture.
void me_search_lowres(encoder_t *ctx, const me_context_t *me, me_result_t *result, const me_request_t *request,
                      int32_t qp);
