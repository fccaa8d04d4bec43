// Context initialisation values of H.265 9.3.2.2 (Tables 9-5 to 9-37), laid
// out in the coder's context numbering, one row per initType.
#include <cstring>

#include "bitstream/cabac.h"

namespace {

struct ctx_init_t {
  int32_t first;
  int32_t count;
  uint8_t values[3][42];  // [initType][ctx]
};

// Contexts that no syntax element of ours uses stay at 154 (equiprobable).
const ctx_init_t init_values[] = {
    {CTX_SPLIT_CU_FLAG, 3, {{139, 141, 157}, {107, 139, 126}, {107, 139, 126}}},
    {CTX_CU_SKIP_FLAG, 3, {{154, 154, 154}, {197, 185, 201}, {197, 185, 201}}},
    {CTX_PRED_MODE_FLAG, 1, {{154}, {149}, {134}}},
    {CTX_PART_MODE, 4, {{184, 154, 154, 154}, {154, 139, 154, 154}, {154, 139, 154, 154}}},
    {CTX_CU_TRANSQUANT_BYPASS, 1, {{154}, {154}, {154}}},
    {CTX_MERGE_FLAG, 1, {{154}, {110}, {154}}},
    {CTX_MERGE_IDX, 1, {{154}, {122}, {137}}},
    {CTX_PREV_INTRA_LUMA_PRED, 1, {{184}, {154}, {183}}},
    {CTX_INTRA_CHROMA_PRED, 1, {{63}, {152}, {152}}},
    {CTX_RQT_ROOT_CBF, 1, {{154}, {79}, {79}}},
    {CTX_INTER_PRED_IDC, 5, {{154, 154, 154, 154, 154}, {95, 79, 63, 31, 31}, {95, 79, 63, 31, 31}}},
    {CTX_REF_IDX, 2, {{154, 154}, {153, 153}, {153, 153}}},
    {CTX_MVP_FLAG, 1, {{154}, {168}, {168}}},
    {CTX_MVD_GREATER0, 1, {{154}, {140}, {169}}},
    {CTX_MVD_GREATER1, 1, {{154}, {198}, {198}}},
    {CTX_SPLIT_TRANSFORM, 3, {{153, 138, 138}, {124, 138, 94}, {224, 167, 122}}},
    {CTX_CBF_LUMA, 2, {{111, 141}, {153, 111}, {153, 111}}},
    {CTX_CBF_CHROMA, 5, {{94, 138, 182, 154, 154}, {149, 107, 167, 154, 154}, {149, 92, 167, 154, 154}}},
    {CTX_CU_QP_DELTA_ABS, 2, {{154, 154}, {154, 154}, {154, 154}}},
    {CTX_TRANSFORM_SKIP, 2, {{139, 139}, {139, 139}, {139, 139}}},
    {CTX_SIG_COEFF, 42,
     {{111, 111, 125, 110, 110, 94,  124, 108, 124, 107, 125, 141, 179, 153, 125, 107, 125, 141, 179, 153, 125,
       107, 125, 141, 179, 153, 125, 140, 139, 182, 182, 152, 136, 152, 136, 153, 136, 139, 111, 136, 139, 111},
      {155, 154, 139, 153, 139, 123, 123, 63,  153, 166, 183, 140, 136, 153, 154, 166, 183, 140, 136, 153, 154,
       166, 183, 140, 136, 153, 154, 170, 153, 123, 123, 107, 121, 107, 121, 167, 151, 183, 140, 151, 183, 140},
      {170, 154, 139, 153, 139, 123, 123, 63,  124, 166, 183, 140, 136, 153, 154, 166, 183, 140, 136, 153, 154,
       166, 183, 140, 136, 153, 154, 170, 153, 138, 138, 122, 121, 122, 121, 167, 151, 183, 140, 151, 183, 140}}},
    {CTX_LAST_X_PREFIX, 18,
     {{110, 110, 124, 125, 140, 153, 125, 127, 140, 109, 111, 143, 127, 111, 79, 108, 123, 63},
      {125, 110, 94, 110, 95, 79, 125, 111, 110, 78, 110, 111, 111, 95, 94, 108, 123, 108},
      {125, 110, 124, 110, 95, 94, 125, 111, 111, 79, 125, 126, 111, 111, 79, 108, 123, 93}}},
    {CTX_LAST_Y_PREFIX, 18,
     {{110, 110, 124, 125, 140, 153, 125, 127, 140, 109, 111, 143, 127, 111, 79, 108, 123, 63},
      {125, 110, 94, 110, 95, 79, 125, 111, 110, 78, 110, 111, 111, 95, 94, 108, 123, 108},
      {125, 110, 124, 110, 95, 94, 125, 111, 111, 79, 125, 126, 111, 111, 79, 108, 123, 93}}},
    {CTX_CODED_SUB_BLOCK, 4, {{91, 171, 134, 141}, {121, 140, 61, 154}, {121, 140, 61, 154}}},
    {CTX_GREATER1, 24,
     {{140, 92, 137, 138, 140, 152, 138, 139, 153, 74, 149, 92, 139, 107, 122, 152,
       140, 179, 166, 182, 140, 227, 122, 197},
      {154, 196, 196, 167, 154, 152, 167, 182, 182, 134, 149, 136, 153, 121, 136, 137,
       169, 194, 166, 167, 154, 167, 137, 182},
      {154, 196, 167, 167, 154, 152, 167, 182, 182, 134, 149, 136, 153, 121, 136, 122,
       169, 208, 166, 167, 154, 152, 167, 182}}},
    {CTX_GREATER2, 6, {{138, 153, 136, 167, 152, 152}, {107, 167, 91, 122, 107, 167}, {107, 167, 91, 107, 107, 167}}},
    {CTX_SAO_MERGE, 1, {{153}, {153}, {153}}},
    {CTX_SAO_TYPE_IDX, 1, {{200}, {185}, {160}}},
};

uint8_t init_state(int32_t init_value, int32_t qp) {
  int32_t slope = init_value >> 4;
  int32_t offset = init_value & 15;
  int32_t m = slope * 5 - 45;
  int32_t n = (offset << 3) - 16;
  int32_t q = qp < 0 ? 0 : qp > 51 ? 51 : qp;
  int32_t pre = ((m * q) >> 4) + n;
  pre = pre < 1 ? 1 : pre > 126 ? 126 : pre;
  int32_t mps = pre <= 63 ? 0 : 1;
  int32_t p = mps ? pre - 64 : 63 - pre;
  return static_cast<uint8_t>(2 * (63 - p) + mps);
}

}  // namespace

void cabac_init_contexts(cabac_est_t *est, int32_t slice_type_code, int32_t slice_qp, int32_t cabac_init_flag,
                         int32_t compat) {
  // initType (9.3.2.2): I 0; P 1 (2 with cabac_init_flag); B 2 (1 with it).
  int32_t init_type = 0;
  if (slice_type_code == 1) init_type = cabac_init_flag ? 2 : 1;
  if (slice_type_code == 0) init_type = cabac_init_flag ? 1 : 2;
  uint8_t neutral = init_state(154, slice_qp);
  std::memset(est->state, neutral, sizeof(est->state));
  for (const ctx_init_t &ci : init_values) {
    // HM 9.1 has the I and B rows of these two elements exchanged.
    const bool swapped = compat < 100 && (ci.first == CTX_SAO_TYPE_IDX || ci.first == CTX_SPLIT_TRANSFORM);
    const int32_t row = swapped ? 2 - init_type : init_type;
    for (int32_t i = 0; i < ci.count; i++) est->state[ci.first + i] = init_state(ci.values[row][i], slice_qp);
  }
  est->bits = 0;
}
