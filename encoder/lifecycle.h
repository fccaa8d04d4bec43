// What the encoder's creation, per-picture steps and end share among their
// files, and nothing the rest of the encoder calls.
#pragma once

#include <chrono>
#include <cstdint>

#include "encoder/encoder.h"

// A monotonic clock for the statistics and the zero-latency speed mode.
inline int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The VPS, SPS and PPS, as units appended to `nals`.
void write_param_sets(encoder_t *ctx, nal_list_t *nals);

// Sets the next picture in coding order up on a free frame context and puts
// it in flight; -1 when it cannot start.
int start_picture(encoder_t *enc, frame_t *pic);

// The jobs on the lookahead pool that give memory back once the input has
// ended: input pictures' pages (page_return_*) and a collected frame
// context's row buffers (row_release_*).  *_wait takes a job's record back.
bool pages_return_early(const encoder_t *enc);
void page_return_start(encoder_t *enc);
void page_return_wait(encoder_t *enc);
void row_release_start(encoder_t *enc, encoder_t *fctx);
void row_release_wait(encoder_t *enc);
