// Rough cost of a prediction unit's prediction, for the choices between
// merge, uni- and bi-prediction of the rectangular partitions.
#pragma once

#include <cstdint>

struct encoder_t;

// SATD of the source block against the prediction in the reconstruction
// buffer, over any w x h of 4x4 tiles.
uint32_t pu_prediction_satd(encoder_t *ctx, int32_t x, int32_t y, int32_t w, int32_t h);
