// CABAC context numbering, estimation states and the per-state bit-cost and
// transition tables.  They live in common/ because the rate-distortion
// quantiser prices residual bins with them as the coder does, while the
// quantiser is built without the bitstream writer.
#pragma once

#include <array>
#include <cstdint>

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

// A state byte is 2 * (63 - pStateIdx) + valMps.
extern const std::array<uint16_t, 128> cabac_bit_cost_table;  // [state ^ bin], 1/256 bit
extern const std::array<uint8_t, 256> cabac_transition_table;  // [state * 2 + bin]

