// CABAC arithmetic coder (H.265 9.3.4) and its context states.  A state
// byte holds 2 * (63 - pStateIdx) + valMps, in the coder and in every
// estimator.
#pragma once

#include <cstdint>

#include "bitstream/bitwriter.h"
#include "common/cabac_tables.h"

// The coder keeps the low end of its interval with the positions it has
// shifted out but not yet gathered into a byte above the 10-bit window, and
// gathers them a byte at a time.  A gathered byte is held back, with any
// 0xff bytes after it, until a later byte shows whether a carry reaches it.
struct cabac_t {
  uint32_t low;      // the window, the ungathered positions above it, a carry above those
  uint32_t range;
  int32_t queued;    // ungathered positions minus 8 (a byte is gathered from 0), plus CABAC_OPEN_BIAS while open
  int32_t held;      // bytes held back: the first is held_byte, the rest 0xff
  uint32_t held_byte;
  // Set until a shifted-out position is first decided by the bit-serial
  // rule (H.265 9.3.4.3.2), which drops the first bit then; the bit counts
  // follow that rule exactly.  At most 8 positions stay open.
  int32_t open;
  bitwriter_t *bw;
  cabac_est_t est;  // must stay last: copied whole at the wavefront handoff
};

// While open, every shift goes through the coder's slow path.
constexpr int32_t CABAC_OPEN_BIAS = 64;

// Initial states of every context for a slice (H.265 9.3.2.2).
// slice_type_code: 0 B, 1 P, 2 I; compat selects the HM 9.1 values below 100.
void cabac_init_contexts(cabac_est_t *est, int32_t slice_type_code, int32_t slice_qp, int32_t cabac_init_flag,
                         int32_t compat = 120);

void cabac_start(cabac_t *c, bitwriter_t *bw);
// The coder's least-probable-symbol sub-range at probability state
// `p_state` (0..63) and coding range `range` (256..510).
uint32_t cabac_lps_range(int32_t p_state, uint32_t range);
// Gathers a byte, or follows the open first positions.
void cabac_gather(cabac_t *c);

// rangeTabLps by state byte >> 1 (63 - pStateIdx), then by (range >> 6) & 3.
extern const uint8_t cabac_lps_by_state[64][4];

inline void cabac_shift(cabac_t *c, int32_t n) {
  c->low <<= n;
  c->range <<= n;
  c->queued += n;
  if (c->queued >= 0) cabac_gather(c);
}

inline void cabac_encode_bin(cabac_t *c, int32_t ctx, uint32_t bin) {
  const uint8_t s = c->est.state[ctx];
  const uint32_t lps = cabac_lps_by_state[s >> 1][(c->range >> 6) & 3];
  const uint32_t mps_range = c->range - lps;
  // Without a branch: which symbol comes is as good as random.
  const uint32_t is_lps = 0u - (bin ^ (s & 1u));
  c->low += mps_range & is_lps;
  c->range = mps_range ^ ((mps_range ^ lps) & is_lps);
  c->est.state[ctx] = cabac_transition_table[s * 2 + bin];
  // range is 2..510: shift it back to 256 or more.
  cabac_shift(c, __builtin_clz(c->range) - 23);
}

inline void cabac_encode_bypass(cabac_t *c, uint32_t bin) {
  c->low = (c->low << 1) + (bin ? c->range : 0u);
  c->queued += 1;
  if (c->queued >= 0) cabac_gather(c);
}

// n bypass bins, most significant first.
void cabac_encode_bypass_bits(cabac_t *c, uint32_t value, int32_t n);
void cabac_encode_terminate(cabac_t *c, uint32_t bin);
// After a terminate bin of 1: flush; the last bit written is the stop bit.
void cabac_finish(cabac_t *c);

// Bits the coder has produced since the writer's start, written or held,
// as the bit-serial coder counts them (its written bits plus its
// outstanding ones).
inline int64_t cabac_bits(const cabac_t *c) {
  const int32_t queued = c->open ? c->queued - CABAC_OPEN_BIAS : c->queued;
  return bw_bits(c->bw) + 8 * static_cast<int64_t>(c->held) + queued + 9 - (c->open ? 0 : 1);
}

// Rate estimation on the estimation state, advancing the state.
inline uint32_t cabac_est_bin(cabac_est_t *e, int32_t ctx, uint32_t bin) {
  uint8_t s = e->state[ctx];
  uint32_t cost = cabac_bit_cost_table[s ^ bin];
  e->state[ctx] = cabac_transition_table[s * 2 + bin];
  e->bits += cost;
  return cost;
}
