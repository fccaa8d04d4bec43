// Motion-vector prediction: the AMVP predictor list (H.265 8.5.3.2.6), the
// merge candidate list (8.5.3.2.2), the choice of predictor for a coded
// vector and the 4x4 availability grid of the CTU.
//
// The lists equal those a decoder derives for the same prediction unit as
// long as the CTU maps and the grid describe the decoder's view:
// - Inter prediction units are never 8x4 or 4x8 (8x8 CUs are 2Nx2N only
//   for inter), so the 8x8-unit motion maps of ctu_maps_t hold the motion of
//   every neighbouring prediction block exactly.
// - A grid byte is 1 exactly for the 4x4 units a decoder has decoded before
//   the prediction unit (6.4.1 z-scan order, inside the picture) and for the
//   first prediction unit of the same CU once it is decided: the standard's
//   6.4.2 counts a neighbour inside the current CU as available, which AMVP
//   of the second prediction unit uses.
// - The CTU is 64x64, the parallel merge level is 4x4 (no shared merge
//   lists) and every reference picture is short-term.
// - Reference-list entries that name the same picture carry the same POC;
//   "same picture" comparisons go by POC as the standard's DiffPicOrderCnt.
//
// Positions x, y, w, h are luma samples relative to the CTU; the z-order
// argument and the further i32 are accepted for the callers' convenience and
// not read.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>

#include "analysis/ctu_maps.h"
#include "motion/mv.h"

struct encoder_t;

// tx of H.265 8.5.3.2.7 for td = -32..32 at index td + 32:
// (16384 + |td| / 2) / td truncated toward zero, 0 at td = 0.
extern const std::array<int32_t, 65> mvp_dist_scale_table;

// Scales a vector by the POC distances tb (current picture to target
// reference) and td (neighbour or collocated picture to its reference), both
// taken as given (unclipped); H.265 8.5.3.2.7/8.5.3.2.8 with td and tb
// clipped to [-128, 127].
mv_t mvp_scale_mv(mv_t mv, int32_t td, int32_t tb);

// AMVP predictors of list `list` for the reference index stored in
// maps->ref_idx[list] at the PU's top-left 8x8 unit. Returns 1 or 2; out[1]
// is always written (the zero vector when the count is 1), so out[0..1] is
// the decoder's whole mvpListLX.
int32_t mvp_get_amvp_candidates(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int32_t w, int32_t h,
                                int32_t unused, int32_t list, mv_t out[2]);

// Writes mv - predictors[i] into mvd and returns i, the predictor with the
// smaller sum of absolute differences (ties and count < 2 give 0).  Inline:
// the motion searches call it for every candidate that may win.
inline int32_t mvp_select_mvd(const mv_t *mv, const mv_t *predictors, int32_t count, int16_t mvd[2]) {
  const int16_t dx0 = static_cast<int16_t>(mv_x(*mv) - mv_x(predictors[0]));
  const int16_t dy0 = static_cast<int16_t>(mv_y(*mv) - mv_y(predictors[0]));
  mvd[0] = dx0;
  mvd[1] = dy0;
  if (count < 2) return 0;
  const int16_t dx1 = static_cast<int16_t>(mv_x(*mv) - mv_x(predictors[1]));
  const int16_t dy1 = static_cast<int16_t>(mv_y(*mv) - mv_y(predictors[1]));
  const int32_t cost0 = std::abs(static_cast<int32_t>(dx0)) + std::abs(static_cast<int32_t>(dy0));
  const int32_t cost1 = std::abs(static_cast<int32_t>(dx1)) + std::abs(static_cast<int32_t>(dy1));
  if (cost0 <= cost1) return 0;
  mvd[0] = dx1;
  mvd[1] = dy1;
  return 1;
}

// Merge candidates of P and B slices. Returns min(candidates, max_merge_cand);
// bit i of *mask: candidate i is the temporal candidate or built from it.
int32_t mvp_get_merge_candidates(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int32_t w, int32_t h,
                                 int32_t unused, mv_t mv_l0[5], mv_t mv_l1[5], int8_t ref_l0[5], int8_t ref_l1[5],
                                 uint32_t *mask);
// The same list in a merge_candidates_t.
int32_t mvp_get_merge_list(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int32_t w, int32_t h,
                           merge_candidates_t *out);
// List 0 only, as in P slices; *temporal_index is the temporal candidate's
// position or -1.
int32_t mvp_get_merge_candidates_l0(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int32_t w, int32_t h,
                                    mv_t mv_l0[5], int8_t ref_l0[5], int32_t *temporal_index);

// Availability grid (ctu_maps_t::grid, 4x4 units, stride 32). grid_fill_rect
// also serves the intra-direction map of the same layout; widths other than
// 1, 2, 4, 8 and 16 units, or heights below 1, write nothing.
void grid_fill_rect(uint8_t *first, int32_t width_units, int32_t height_units, uint8_t value);
void grid_mark_available(encoder_t *ctx, int32_t x, int32_t y, int32_t w, int32_t h);
void grid_mark_unavailable(encoder_t *ctx, int32_t x, int32_t y, int32_t w, int32_t h);
void grid_clear_ctu(encoder_t *ctx);
