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
  int32_t dist_shift;  // 22 - 2 * log2_size: 18, 16, 14 or 12
  int64_t recip;       // 2^40 / scale rounded up
  int64_t weight;      // 1..4096, 256 = 1
};

// Distortion of a non-zero candidate level whose quantiser-unit error is
// err (|c| * scale - level << shift, below 2^30): taken back to coefficient
// units with 8 fractional bits through scale's reciprocal (err * recip stays
// below 2^57), e^2 stays within 2^49.
inline int64_t rdoq_level_dist(int64_t err, const rdoq_dist_params_t *p) {
  const int64_t e8 = ((err < 0 ? -err : err) * p->recip) >> 32;
  return (e8 * e8 * p->weight) >> p->dist_shift;
}

// With the level 0 the error is |c| * scale, and scale * recip = 2^40 + r
// with r < scale <= 2^15, so e8 = |c| * 2^8 + (|c| * r) >> 32 = |c| * 2^8
// exactly: the zero-level distortion is c^2 * weight * 2^16 >> dist_shift,
// with no product to round for any block from 8x8 on.
inline int64_t rdoq_zero_dist(int32_t c, const rdoq_dist_params_t *p) {
  return ((int64_t{c} * c * p->weight) << 16) >> p->dist_shift;
}

// Results of the first step, by raster position.  32-byte aligned so that
// the vector tiers store whole registers into it.  The three distortions of
// a position's candidate levels are what the decision reads of its
// coefficient: they hold at every position whose rounded level is not 0
// (a vector tier may fill more; nothing reads the others).
struct alignas(32) rdoq_prep_t {
  int16_t rounded[1024];    // min((|c| * scale + 2^(shift - 1)) >> shift, 32767)
  int64_t level_dist[1024]; // rdoq_level_dist of the rounded level
  int64_t below_dist[1024]; // rdoq_level_dist of one below it (a rounded level of 1: that of 0)
  int64_t zero_dist[1024];  // rdoq_zero_dist
  uint16_t group_map[64];   // [gy * (n / 4) + gx]: bit y * 4 + x, the group's rounded level at (x, y) is not 0
  uint64_t group_mask;      // bit gy * (n / 4) + gx: group_map is not 0
};

// The three candidate distortions of raster position i, whose rounded
// level is not 0.
inline void rdoq_candidate_dists(rdoq_prep_t *out, const int16_t *coef, int32_t i, const rdoq_dist_params_t *p) {
  const int64_t c = coef[i], scaled = (c < 0 ? -c : c) * p->scale, rounded = out->rounded[i];
  out->zero_dist[i] = rdoq_zero_dist(static_cast<int32_t>(c), p);
  out->level_dist[i] = rdoq_level_dist(scaled - (rounded << p->shift), p);
  out->below_dist[i] = rdoq_level_dist(scaled - ((rounded - 1) << p->shift), p);
}

using rdoq_prep_fn = void (*)(rdoq_prep_t *out, const int16_t *coef, const rdoq_dist_params_t *p);
void rdoq_prep_c(rdoq_prep_t *out, const int16_t *coef, const rdoq_dist_params_t *p);

// The sig_coeff_flag bits of a group's positions that keep the level 0
// whatever is chosen (the fast decision, whose states stay as they came in
// a block), summed from each position up: out[k] for k = 0..16 is the sum
// over the entries j >= k of `set` (bit j for entry j) of cost[inc[j]],
// inc[j] < 9.  A cost is at most 1469 (1/256 bit), so a group's sum stays
// below 2^15.
using rdoq_zero_sums_fn = void (*)(uint16_t *out, const uint8_t *inc, const uint16_t *cost, uint32_t set);
void rdoq_zero_sums_c(uint16_t *out, const uint8_t *inc, const uint16_t *cost, uint32_t set);

// The parts of the decision a tier may do its own way: every tier's
// functions give the same results.
struct rdoq_tier_t {
  rdoq_prep_fn prep;
  rdoq_zero_sums_fn zero_sums;
};

// The whole decision of slot rdoq (thorough = 0) or rdoq_alt (thorough = 1)
// with the tier's first step and sums.
// general: without the shortcuts (the fast decision's blocks whose levels
// lie in their first group and its levels of 1 and 2 priced from tables
// made once per block, the thorough one's second decision taking over
// the first one's levels or left out where a 4x4 block's refinement
// changes nothing, its refinement stopping a walk as soon as the level
// count no longer matters, and keeping the pricing of levels it leaves as
// they were), the same decision the long way (for tests that
// hold the two equal).
uint32_t rdoq_decide(const rdoq_request_t *req, int32_t thorough, const rdoq_tier_t &tier, bool general = false);
