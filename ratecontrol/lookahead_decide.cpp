// The encoder's picture-type decision: the position rules of slicetype.cpp
// with the lookahead's cost estimates behind scene cuts, the CU-tree and
// the estimates rate control reads.
#include "encoder/encoder.h"
#include "ratecontrol/cutree.h"
#include "ratecontrol/lookahead_frame.h"
#include "ratecontrol/lookahead.h"
#include "ratecontrol/lowres_cost.h"
#include "ratecontrol/twopass.h"

namespace {

void p_costs(void *user, frame_t *const *frames, int32_t p0, int32_t p1, int32_t *intra, int32_t *inter) {
  encoder_t *ctx = static_cast<encoder_t *>(user);
  lookahead_frame_cost(ctx, frames, p0, p1, p1);
  *intra = lookahead_cached_cost(frames[p1], 0, 0, false);
  *inter = lookahead_cached_cost(frames[p1], p1 - p0, 0, false);
  // A picture under 16 samples high or wide has no block the half-resolution
  // search can place: its P estimate is its intra estimate, which says
  // nothing about a change of scene.
  if (frames[p1]->lowres_width < 8 || frames[p1]->lowres_height < 8) *inter = -1;
}

void estimate(void *user, frame_t *const *frames, int32_t p0, int32_t p1, int32_t b) {
  lookahead_frame_cost(static_cast<encoder_t *>(user), frames, p0, p1, b);
}

void cutree(void *user, frame_t *const *frames, int32_t n, int32_t start) {
  cutree_run(static_cast<encoder_t *>(user), frames, n, start);
}

uint32_t planned_type(void *user, int32_t frame_number) {
  const int32_t t = ratecontrol_2pass_frame_type(static_cast<encoder_t *>(user), frame_number, nullptr);
  return t > 0 ? static_cast<uint32_t>(t) : 0;
}

lookahead_costs_t costs_of(encoder_t *ctx) { return lookahead_costs_t{ctx, p_costs, estimate, cutree, planned_type}; }

}  // namespace

void lookahead_slicetype_decide(encoder_t *ctx, lookahead_queue_t *q, int32_t flush) {
  lookahead_frame_wait(ctx);
  const lookahead_costs_t costs = costs_of(ctx);
  lookahead_slicetype_decide(&ctx->param, ctx->decision_delay, q, flush, ctx->lookahead_engine ? &costs : nullptr);
}

void lookahead_slicetype_run(encoder_t *ctx, lookahead_queue_t *q, int32_t flush) {
  // Every picture it decides may start at once, and its analysis reads the
  // half-resolution planes.
  lookahead_frame_wait(ctx);
  const lookahead_costs_t costs = costs_of(ctx);
  lookahead_slicetype_run(&ctx->param, ctx->decision_delay, ctx->pool, q, flush,
                          ctx->lookahead_engine ? &costs : nullptr);
}
