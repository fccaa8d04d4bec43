// Motion search of one prediction unit (any w x h block of the CTU) against
// one reference picture, from its AMVP predictors.
#pragma once

#include <cstdint>

#include "motion/mv.h"

struct encoder_t;
struct frame_t;

struct pu_search_t {
  encoder_t *ctx;
  int32_t x, y, w, h;  // block in the CTU
  const frame_t *ref;
  mv_t pred[2];
  int32_t pred_count;
  int32_t lo_x, hi_x, lo_y, hi_y;  // whole-sample vector window
};

// Sets the window so that every tap of the block stays inside the
// reference margins and the vertical reach of the picture's references.
void pu_search_window(pu_search_t *s);
// Integer search from the predictors, then half- and quarter-sample
// refinement by SATD; returns the vector and its cost (SATD plus the
// vector's approximate bits times sqrt(lambda)).
mv_t pu_motion_search(const pu_search_t *s, uint32_t *cost_out);
// SATD of the source block against the prediction in the reconstruction
// buffer, over any w x h of 4x4 tiles.
uint32_t pu_prediction_satd(encoder_t *ctx, int32_t x, int32_t y, int32_t w, int32_t h);
// Approximate bits of a vector difference component (Exp-Golomb order 1).
int32_t mvd_bits(int32_t d);
