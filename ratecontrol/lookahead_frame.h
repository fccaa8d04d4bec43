// What an input picture carries for the lookahead: its half-resolution
// planes, made when the picture enters.
#pragma once

#include <cstdint>

struct encoder_t;
struct frame_t;
struct mc_funcs_t;

// Builds the half-resolution picture of f's luma plane over the whole CTUs
// and extends it into its margins: all 16 quarter-sample phases when
// all_phases is set and the picture has room for them, else the picture
// alone (the 2:1 downscale).  The luma plane must already be extended.
void lowres_build(const mc_funcs_t &mc, frame_t *f, int32_t all_phases);

// Whether the encoder runs the lookahead analysis on every input picture:
// rate control other than constant QP, a VBV buffer or scene-cut detection
// reads its costs.
bool lookahead_enabled(const encoder_t *ctx);

// On entry of an input picture.  full = 1: the picture enters the lookahead
// (all phases when the search quality asks for them, and its cost records
// are reset); full = 0: only the half-resolution picture the analysis reads.
// With lookahead pool threads a full build runs there as a job and may still
// be running on return: lookahead_frame_wait before reading the picture's
// half-resolution planes (the cost estimates and the type decision do).
void lookahead_frame_init(encoder_t *ctx, frame_t *f, int32_t full);

// Returns once the half-resolution build lookahead_frame_init left on the
// pool (if any) has ended.
void lookahead_frame_wait(encoder_t *ctx);
