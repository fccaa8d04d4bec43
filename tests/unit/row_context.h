// A one-thread encoder of the given picture size and the row context of its
// first CTU row, for tests that drive the decision and the coders directly.
#pragma once

#include "encoder/encoder.h"

inline encoder_t *open_row_context(int32_t width, int32_t height, encoder_t **enc) {
  tarnhevcenc_param_t p{};
  p.size = sizeof(p);
  if (tarnhevcenc_default_param(&p) != 0) return nullptr;
  p.width = width;
  p.height = height;
  p.threads = 1;
  p.log_level = 0;
  *enc = encoder_open(&p);
  return *enc ? (*enc)->frame_ctx[1]->row_ctx[0] : nullptr;
}
