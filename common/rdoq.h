// The two steps of rate-distortion optimised quantisation, apart so that the
// vector tiers can replace the data-parallel first one: per coefficient the
// plainly rounded level and the distortion of quantising it to zero, then
// the sequential decision in scan order, which every tier shares.
#pragma once

#include <cstdint>

#include "common/primitives.h"

// What the first step needs of the block.  Distortion of a quantiser-unit
// error err (|c| * scale - level << shift, below 2^31):
//   e8 = (|err| * recip) >> 32, dist = (e8 * e8 * weight) >> dist_shift.
struct rdoq_dist_params_t {
  int32_t log2_size;   // 2..5
  int32_t scale;       // quantiser scale, 1..2^15
  int32_t shift;       // quantiser shift, 1..30
  int32_t dist_shift;  // 12..14
  int64_t recip;       // 2^40 / scale rounded up
  int64_t weight;      // 1..4096, 256 = 1
};

// Results of the first step, all by raster position.  32-byte aligned so
// that the vector tiers store whole registers into it.
struct alignas(32) rdoq_prep_t {
  int64_t zero_dist[1024];  // distortion with the level 0
  int16_t rounded[1024];    // min((|c| * scale + 2^(shift - 1)) >> shift, 32767)
  uint64_t group_mask;      // bit gy * (n / 4) + gx: the 4x4 group holds a non-zero rounded level
  int64_t zero_total;       // sum of zero_dist over the block
};

using rdoq_prep_fn = void (*)(rdoq_prep_t *out, const int16_t *coef, const rdoq_dist_params_t *p);
void rdoq_prep_c(rdoq_prep_t *out, const int16_t *coef, const rdoq_dist_params_t *p);

// The whole decision of slot rdoq (thorough = 0) or rdoq_alt (thorough = 1)
// with `prep` as its first step; every prep function gives the same result.
uint32_t rdoq_decide(const rdoq_request_t *req, int32_t thorough, rdoq_prep_fn prep);
