// CABAC arithmetic coder (H.265 9.3.4) and its context states.  A state
// byte holds 2 * (63 - pStateIdx) + valMps, in the coder and in every
// estimator.
#pragma once

#include <cstdint>

#include "bitstream/bitwriter.h"

constexpr int CABAC_NUM_CTX = 186;

// Context numbering of the coder.
enum cabac_ctx_t : int32_t {
  CTX_SPLIT_CU_FLAG = 0,         // 3
  CTX_CU_SKIP_FLAG = 3,          // 3
  CTX_PRED_MODE_FLAG = 6,        // 1
  CTX_PART_MODE = 7,             // 4
  CTX_CU_TRANSQUANT_BYPASS = 11, // 1
  CTX_MERGE_FLAG = 12,           // 1
  CTX_MERGE_IDX = 13,            // 1
  CTX_PREV_INTRA_LUMA_PRED = 14, // 1
  CTX_INTRA_CHROMA_PRED = 15,    // 1
  CTX_RQT_ROOT_CBF = 16,         // 1
  CTX_INTER_PRED_IDC = 17,       // 5
  CTX_REF_IDX = 22,              // 2
  CTX_MVP_FLAG = 24,             // 1
  CTX_MVD_GREATER0 = 25,         // 1
  CTX_MVD_GREATER1 = 26,         // 1
  CTX_SPLIT_TRANSFORM = 27,      // 3
  CTX_CBF_LUMA = 30,             // 2
  CTX_CBF_CHROMA = 32,           // 5
  CTX_CU_QP_DELTA_ABS = 37,      // 2
  CTX_TRANSFORM_SKIP = 39,       // 2
  CTX_SIG_COEFF = 47,            // 42: 27 luma, then 15 chroma (74)
  CTX_LAST_X_PREFIX = 89,        // 18
  CTX_LAST_Y_PREFIX = 107,       // 18
  CTX_CODED_SUB_BLOCK = 125,     // 4
  CTX_GREATER1 = 149,            // 24: 16 luma, then 8 chroma (165)
  CTX_GREATER2 = 173,            // 6: 4 luma, then 2 chroma
  CTX_SAO_MERGE = 181,           // 1
  CTX_SAO_TYPE_IDX = 182,        // 1
};

// Estimation part: bit counter in 1/256 bit, the context states, then spare
// bytes (186..189 are scratch copies used by the rate estimators).
struct cabac_est_t {
  uint32_t bits;
  uint8_t state[192];
};

struct cabac_t {
  uint32_t low;
  uint32_t range;
  int32_t outstanding;
  int32_t first_bit;
  bitwriter_t *bw;
  cabac_est_t est;  // must stay last: copied whole at the wavefront handoff
};

extern uint16_t cabac_bit_cost_table[128];    // [state ^ bin], 1/256 bit
extern uint8_t cabac_transition_table[256];   // [state * 2 + bin]
void cabac_tables_init();

// Initial states of every context for a slice (H.265 9.3.2.2).
// slice_type_code: 0 B, 1 P, 2 I.
void cabac_init_contexts(cabac_est_t *est, int32_t slice_type_code, int32_t slice_qp, int32_t cabac_init_flag);

void cabac_start(cabac_t *c, bitwriter_t *bw);
void cabac_encode_bin(cabac_t *c, int32_t ctx, uint32_t bin);
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
