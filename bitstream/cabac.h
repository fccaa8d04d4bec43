// CABAC arithmetic coder (H.265 9.3.4) and its context states.  A state
// byte holds 2 * (63 - pStateIdx) + valMps, in the coder and in every
// estimator.
#pragma once

#include <cstdint>

#include "bitstream/bitwriter.h"
#include "common/cabac_tables.h"

struct cabac_t {
  uint32_t low;
  uint32_t range;
  int32_t outstanding;
  int32_t first_bit;
  bitwriter_t *bw;
  cabac_est_t est;  // must stay last: copied whole at the wavefront handoff
};

// Initial states of every context for a slice (H.265 9.3.2.2).
// slice_type_code: 0 B, 1 P, 2 I; compat selects the HM 9.1 values below 100.
void cabac_init_contexts(cabac_est_t *est, int32_t slice_type_code, int32_t slice_qp, int32_t cabac_init_flag,
                         int32_t compat = 120);

void cabac_start(cabac_t *c, bitwriter_t *bw);
void cabac_encode_bin(cabac_t *c, int32_t ctx, uint32_t bin);
// The coder's least-probable-symbol sub-range at probability state
// `p_state` (0..63) and coding range `range` (256..510).
uint32_t cabac_lps_range(int32_t p_state, uint32_t range);
void cabac_encode_bypass(cabac_t *c, uint32_t bin);
// n bypass bins, most significant first.
void cabac_encode_bypass_bits(cabac_t *c, uint32_t value, int32_t n);
void cabac_encode_terminate(cabac_t *c, uint32_t bin);
// After a terminate bin of 1: flush; the last bit written is the stop bit.
void cabac_finish(cabac_t *c);

// Rate estimation on the estimation state, advancing the state.
inline uint32_t cabac_est_bin(cabac_est_t *e, int32_t ctx, uint32_t bin) {
  uint8_t s = e->state[ctx];
  uint32_t cost = cabac_bit_cost_table[s ^ bin];
  e->state[ctx] = cabac_transition_table[s * 2 + bin];
  e->bits += cost;
  return cost;
}
