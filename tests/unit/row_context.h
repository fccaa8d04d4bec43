// A one-thread encoder of the given picture size and the row context of its
// first CTU row, for tests that drive the decision and the coders directly.
#pragma once

#include <cstring>

#include "analysis/ctu_maps.h"
#include "analysis/cu_node.h"
#include "encoder/encoder.h"
#include "encoder/frame.h"

inline encoder_t *open_row_context(int32_t width, int32_t height, encoder_t **enc) {
  tarnhevcenc_param_t p{};
  p.size = sizeof(p);
  if (tarnhevcenc_default_param(&p) != 0) return nullptr;
  p.rcmode = TARNHEVCENC_RC_CQP;
  p.width = width;
  p.height = height;
  p.threads = 1;
  p.log_level = 0;
  // The multipliers the decision tests work out follow the P-only picture
  // structure (B pictures change the intra pictures' lambdas).
  p.bframes = 0;
  p.scenecut = 0;
  *enc = encoder_open(&p);
  return *enc ? (*enc)->frame_ctx[1]->row_ctx[0] : nullptr;
}

// A source and a reconstruction picture from the encoder's pool, set as the
// context's current pictures as the CTU job has them; give them back with
// release_pictures before closing the encoder.
inline bool take_pictures(encoder_t *enc, encoder_t *ctx, frame_t **in, frame_t **rec) {
  *in = frame_get_unused(enc->pool, 1);
  *rec = frame_get_unused(enc->pool, 0);
  ctx->cur_input = *in;
  ctx->cur_recon = *rec;
  return *in && *rec;
}
inline void release_pictures(encoder_t *enc, frame_t *in, frame_t *rec) {
  if (in) frame_release(enc->pool, in);
  if (rec) frame_release(enc->pool, rec);
}

// The encoder, its first row context and the two current pictures, given
// back and closed when the holder goes; ctx is null when any of them could
// not be made.
struct row_context_holder_t {
  encoder_t *enc = nullptr;
  encoder_t *ctx = nullptr;
  frame_t *in = nullptr;
  frame_t *rec = nullptr;
  row_context_holder_t(int32_t width, int32_t height) {
    ctx = open_row_context(width, height, &enc);
    if (ctx && !take_pictures(enc, ctx, &in, &rec)) ctx = nullptr;
  }
  ~row_context_holder_t() {
    if (!enc) return;
    release_pictures(enc, in, rec);
    encoder_close(enc);
  }
  row_context_holder_t(const row_context_holder_t &) = delete;
  row_context_holder_t &operator=(const row_context_holder_t &) = delete;
};

// The first CTU with its maps, unit maps and nodes cleared and the
// thorough level decision on (lambda 9000), so that every estimation state
// a coding reads matters: the set-up of the tests that code CUs directly.
inline void clear_first_ctu_thorough(encoder_t *ctx) {
  std::memset(ctx->maps, 0, sizeof(ctu_maps_t));
  std::memset(&ctx->maps->unit, 0, sizeof(ctu_unit_maps_t));
  std::memset(static_cast<void *>(ctx->nodes), 0, sizeof(cu_node_t) * CU_NODE_COUNT);
  ctx->ctu_x = ctx->ctu_y = 0;
  ctx->param.rdoq = 1;
  ctx->use_rdoq_alt = 1;
  ctx->ctu_lambda_ssd = 9000;
}
