// CU-tree: how much of each block later pictures take through motion
// compensation, propagated back over the lookahead queue, turned into QP
// offsets per CTU of the pictures others refer to.
#pragma once

#include <cstdint>

struct encoder_t;
struct frame_t;

// Propagates the amounts of frames[b] (its own propagated amounts when
// referenced, else none) into frames[p0] (list 0) and frames[p1] (list 1)
// along b's half-resolution vectors of the B (or P, b == p1) estimate.
void cutree_propagate(encoder_t *ctx, frame_t *const *frames, int32_t p0, int32_t p1, int32_t b, int32_t referenced);
// QP offset per CTU from a picture's intra costs and propagated amounts:
// -strength * log2((intra + propagated) / intra).
void cutree_compute_qp_offsets(encoder_t *ctx, frame_t *frame);

// The propagation over the typed queue frames[0 .. n-1] (types set,
// frames[start] the first picture of the range), and the offsets of the
// group's anchor and its reference B pictures.
void cutree_run(encoder_t *ctx, frame_t *const *frames, int32_t n, int32_t start);

// The mean of a picture's CU-tree offsets over its CTUs (0 when it carries
// none), for the per-picture log.
float cutree_mean_offset(const encoder_t *ctx, const frame_t *frame);

// log2 of a non-zero value by 128 linear pieces per octave.
float cutree_log2(uint32_t x);
