// The lookahead queues and the picture-type decision.
#pragma once

#include <cstdint>

#include "encoder/frame.h"

struct encoder_t;
struct param_t;

struct lookahead_queue_t {
  frame_list_t *input;    // pictures in display order, not yet decided
  frame_list_t *decided;  // decided pictures in coding order
  frame_t *pending;       // anchor of the previous group (referenced), or NULL
  int32_t last_key_frame_number;  // starts at -idr_period
  int32_t p_layer_base;           // starts at 0
  int32_t irap_count;             // starts at -1
};

// Longest group one decision can produce: bframes (at most 16 after
// param_build) B pictures and their anchor.
constexpr int32_t SLICETYPE_MAX_GROUP = 17;

// Puts the decision state at the start of a stream (no pending anchor,
// counters at their initial values).  The list pointers are left alone.
void lookahead_queue_start(lookahead_queue_t *q, const param_t *p);
// Drops the reference the queue holds on the pending anchor.
void lookahead_queue_drop_pending(frame_pool_t *pool, lookahead_queue_t *q);

// Decides the types of the next group of queued pictures (display order in
// the input queue) and moves it, in coding order with decoding time stamps,
// to the decided queue.  flush: the end of input has been reached (a queue
// of at most decision_delay pictures counts as the end as well).
// The input queue needs room for one more picture than it holds (the
// pending anchor goes back in front while deciding); the decided queue needs
// room for SLICETYPE_MAX_GROUP pictures.
void lookahead_slicetype_run(encoder_t *ctx, lookahead_queue_t *q, int32_t flush);
// The decision itself (types, B levels, P layers) over the input queue.
void lookahead_slicetype_decide(encoder_t *ctx, lookahead_queue_t *q, int32_t flush);

// The same on explicit settings: decision_delay is max(bframes, lookahead),
// pool is where the pending anchor's reference is taken and returned.
void lookahead_slicetype_run(const param_t *p, int32_t decision_delay, frame_pool_t *pool, lookahead_queue_t *q,
                             int32_t flush);
void lookahead_slicetype_decide(const param_t *p, int32_t decision_delay, lookahead_queue_t *q, int32_t flush);
