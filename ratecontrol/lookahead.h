// The lookahead queues and the picture-type decision.
#pragma once

#include <cstdint>

#include "encoder/frame.h"
#include "ratecontrol/key_picture.h"

struct encoder_t;
struct param_t;

struct lookahead_queue_t {
  frame_list_t *input;    // pictures in display order, not yet decided
  frame_list_t *decided;  // decided pictures in coding order
  frame_t *pending;       // anchor of the previous group (referenced), or NULL
  int32_t last_key_frame_number;  // starts at -idr_period
  int32_t p_layer_base;           // starts at 0
  int32_t irap_count;             // starts at -1
  key_picture_history_t key_history;  // the decided pictures, in coding order
};

// Longest group one decision can produce: bframes (at most 16 after
// param_build) B pictures and their anchor.
constexpr int32_t SLICETYPE_MAX_GROUP = 17;

// Puts the decision state at the start of a stream (no pending anchor,
// counters at their initial values).  The list pointers are left alone.
void lookahead_queue_start(lookahead_queue_t *q, const param_t *p);
// Drops the reference the queue holds on the pending anchor.
void lookahead_queue_drop_pending(frame_pool_t *pool, lookahead_queue_t *q);

// How the B pictures between two anchors p0 < p1 refer to each other: flat
// (levels 0), through the middle m (levels 1: hierarchy 1 or fewer than 4 B
// pictures, at least 2), or also through the quarter points q1 and q2
// (levels 2).  The estimates and the CU-tree follow the same structure.
struct b_pyramid_t {
  int32_t levels;
  int32_t m, q1, q2;
};
b_pyramid_t b_pyramid(int32_t hierarchy, int32_t p0, int32_t p1);
// The two pictures B picture b is predicted from: the nearest of p0, q1, m,
// q2 and p1 (those the pyramid has) on either side.
void b_pyramid_refs(const b_pyramid_t &py, int32_t p0, int32_t p1, int32_t b, int32_t *lo, int32_t *hi);
// Whether b is one of the pyramid's reference B pictures.
bool b_pyramid_is_ref(const b_pyramid_t &py, int32_t b);

// What the decision asks of the lookahead's cost analysis.  frames is the
// input queue (index 0 the pending anchor while deciding).
struct lookahead_costs_t {
  void *user;
  // Intra and P-from-p0 totals of frames[p1] (computed if needed); -1 for
  // a total that is not available.
  void (*p_costs)(void *user, frame_t *const *frames, int32_t p0, int32_t p1, int32_t *intra, int32_t *inter);
  // Makes the estimate (p0, p1, b) that rate control will read.
  void (*estimate)(void *user, frame_t *const *frames, int32_t p0, int32_t p1, int32_t b);
  // CU-tree propagation over frames[0 .. n-1], the range starting at start.
  void (*cutree)(void *user, frame_t *const *frames, int32_t n, int32_t start);
  // A second pass: the type the first pass gave the picture of that display
  // number (0 when it has none, or without statistics).  Types it gives are
  // taken as they are, and scene cuts are not searched.
  uint32_t (*planned_type)(void *user, int32_t frame_number) = nullptr;
};

// Scene cuts with the costs of `costs`: whether frames[p1] starts a new
// scene after frames[p0], with the threshold graded by the distance to the
// last key picture (graded) or a fixed one.
bool scenecut_check(const param_t *p, const lookahead_queue_t *q, const lookahead_costs_t *costs, int32_t p0,
                    int32_t p1, int32_t graded);
// The same after flash suppression over the next pictures (count queued).
bool scenecut_detect(const param_t *p, const lookahead_queue_t *q, const lookahead_costs_t *costs, int32_t p0,
                     int32_t p1, int32_t graded, int32_t count);

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
// costs: NULL decides without any cost analysis (no scene cuts).
void lookahead_slicetype_run(const param_t *p, int32_t decision_delay, frame_pool_t *pool, lookahead_queue_t *q,
                             int32_t flush, const lookahead_costs_t *costs = nullptr);
void lookahead_slicetype_decide(const param_t *p, int32_t decision_delay, lookahead_queue_t *q, int32_t flush,
                                const lookahead_costs_t *costs = nullptr);
