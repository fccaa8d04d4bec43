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

// What lookahead_picture_prepare does to an input picture that has just
// been loaded (its samples out to whole CTUs).
// Its edges into the margins (frame_extend_borders).
constexpr uint32_t PREPARE_EXTEND = 1;
// The half-resolution picture the analysis reads.
constexpr uint32_t PREPARE_LOWRES = 2;
// With PREPARE_LOWRES: the picture enters the lookahead (all phases when the
// search quality asks for them, and its cost records are reset).
constexpr uint32_t PREPARE_LOOKAHEAD = 4;
// Its adaptive-quantisation offsets (aq_compute_qp_offsets).
constexpr uint32_t PREPARE_AQ = 8;
// Set within: the build makes all phases.
constexpr uint32_t PREPARE_PHASES = 16;
// With lookahead pool threads a preparation that includes PREPARE_LOOKAHEAD
// runs there as a job and may still be running on
// return: lookahead_frame_wait before reading the picture's margins,
// half-resolution planes or AQ offsets (the cost estimates and the type
// decision do, and no picture starts before its type is decided).
// Otherwise it runs here.
void lookahead_picture_prepare(encoder_t *ctx, frame_t *f, uint32_t tasks);
// PREPARE_LOWRES, with PREPARE_LOOKAHEAD when full.
void lookahead_frame_init(encoder_t *ctx, frame_t *f, int32_t full);
// After the caller took an input picture from the pool: the pages of the
// next ones it will take, where never written yet, are mapped on the
// lookahead pool meanwhile (nothing without pool threads).
void lookahead_populate_ahead(encoder_t *ctx);

// The units of the pool's reconstructions, made with `units_later`, are set
// on the lookahead pool (here without pool threads): some 3500 page faults
// of a 1080p encoder's creation that thus overlap the reading of its first
// pictures.  lookahead_frame_wait, which every type decision runs before
// any picture starts, waits for them.
void lookahead_clear_recon_units(encoder_t *ctx);

// Returns once the preparations and mappings left on the pool (if any) have
// ended.
void lookahead_frame_wait(encoder_t *ctx);
