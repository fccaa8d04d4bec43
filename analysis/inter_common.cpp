#include "analysis/inter_common.h"

#include <algorithm>

#include "analysis/decision_common.h"
#include "analysis/pu_limits.h"
#include "encoder/encoder.h"
#include "motion/me_common.h"
#include "motion/mvp.h"
#include "ratecontrol/lowres_data.h"
#include "rdo/block_coding.h"

// clang-format off
const int32_t SPLIT_STOP_COST[52][3] = {
    {2947, 466, 28},  // 0
    {2956, 475, 33},  // 1
    {2967, 485, 40},  // 2
    {2979, 498, 48},  // 3
    {2994, 513, 57},  // 4
    {3011, 530, 68},  // 5
    {3032, 551, 81},  // 6
    {3057, 575, 96},  // 7
    {3085, 604, 114},  // 8
    {3119, 638, 135},  // 9
    {3159, 678, 160},  // 10
    {3207, 725, 190},  // 11
    {3262, 780, 225},  // 12
    {3328, 846, 266},  // 13
    {3406, 924, 315},  // 14
    {3498, 1015, 372},  // 15
    {3606, 1123, 439},  // 16
    {3734, 1250, 519},  // 17
    {3884, 1400, 613},  // 18
    {4062, 1578, 724},  // 19
    {4272, 1787, 855},  // 20
    {4519, 2034, 1010},  // 21
    {4811, 2325, 1193},  // 22
    {5156, 2669, 1408},  // 23
    {5563, 3074, 1662},  // 24
    {6042, 3553, 1962},  // 25
    {6609, 4118, 2316},  // 26
    {7277, 4784, 2733},  // 27
    {8065, 5570, 3226},  // 28
    {8996, 6498, 3807},  // 29
    {10093, 7593, 4493},  // 30
    {11389, 8885, 5302},  // 31
    {12918, 10409, 6257},  // 32
    {14721, 12208, 7384},  // 33
    {16850, 14331, 8714},  // 34
    {19361, 16836, 10283},  // 35
    {22325, 19791, 12135},  // 36
    {25822, 23279, 14320},  // 37
    {29949, 27395, 16898},  // 38
    {34818, 32251, 19940},  // 39
    {40564, 37981, 23530},  // 40
    {47344, 44743, 27767},  // 41
    {55344, 52722, 32765},  // 42
    {64785, 62137, 38664},  // 43
    {75925, 73247, 45624},  // 44
    {89070, 86356, 53837},  // 45
    {104581, 101826, 63528},  // 46
    {122884, 120079, 74964},  // 47
    {144482, 141619, 88458},  // 48
    {169967, 167035, 104381},  // 49
    {200040, 197027, 123170},  // 50
    {235526, 232417, 145341},  // 51
};
const int32_t EARLY_SKIP_THRESHOLD[52][4] = {
    {2412, 61, -307, -168},  // 0
    {2422, 67, -304, -166},  // 1
    {2433, 73, -301, -164},  // 2
    {2446, 81, -297, -162},  // 3
    {2461, 90, -292, -159},  // 4
    {2479, 100, -287, -156},  // 5
    {2500, 112, -281, -153},  // 6
    {2525, 127, -274, -149},  // 7
    {2554, 143, -265, -144},  // 8
    {2587, 163, -255, -138},  // 9
    {2627, 186, -243, -131},  // 10
    {2673, 213, -230, -123},  // 11
    {2727, 244, -214, -114},  // 12
    {2790, 281, -195, -103},  // 13
    {2863, 324, -173, -91},  // 14
    {2950, 374, -147, -76},  // 15
    {3051, 432, -117, -58},  // 16
    {3169, 501, -82, -38},  // 17
    {3307, 582, -41, -15},  // 18
    {3469, 676, 6, 12},  // 19
    {3658, 786, 63, 45},  // 20
    {3879, 914, 129, 83},  // 21
    {4139, 1065, 206, 127},  // 22
    {4442, 1241, 296, 179},  // 23
    {4796, 1448, 402, 240},  // 24
    {5211, 1689, 525, 311},  // 25
    {5697, 1971, 670, 394},  // 26
    {6265, 2301, 839, 491},  // 27
    {6929, 2688, 1037, 605},  // 28
    {7706, 3140, 1268, 738},  // 29
    {8616, 3669, 1539, 894},  // 30
    {9680, 4288, 1856, 1077},  // 31
    {10926, 5012, 2226, 1290},  // 32
    {12382, 5859, 2660, 1540},  // 33
    {14087, 6851, 3167, 1832},  // 34
    {16081, 8011, 3761, 2174},  // 35
    {18415, 9368, 4456, 2573},  // 36
    {21145, 10955, 5268, 3041},  // 37
    {24339, 12813, 6219, 3589},  // 38
    {28076, 14986, 7332, 4229},  // 39
    {32449, 17529, 8633, 4978},  // 40
    {37564, 20504, 10156, 5855},  // 41
    {43550, 23985, 11938, 6881},  // 42
    {50553, 28058, 14023, 8081},  // 43
    {58746, 32823, 16462, 9485},  // 44
    {68333, 38398, 19316, 11128},  // 45
    {79549, 44920, 22655, 13050},  // 46
    {92672, 52552, 26561, 15299},  // 47
    {108025, 61481, 31132, 17930},  // 48
    {125989, 71928, 36480, 21009},  // 49
    {147007, 84151, 42736, 24610},  // 50
    {171598, 98452, 50057, 28825},  // 51
};
const int32_t INTER_RESIDUAL_THRESHOLD[52] = {
    -18120, -17730, -17293, -16804, -16256, -15642, -14955, -14185,
    -13323, -12357, -11276, -10064, -8708, -7188, -5486, -3580,
    -1446, 944, 3622, 6621, 9980, 13742, 17955, 22675,
    27960, 33880, 40510, 47935, 56252, 65567, 75999, 87684,
    100770, 115427, 131843, 150228, 170820, 193883, 219713, 248643,
    281045, 317335, 357980, 403502, 454486, 511589, 575544, 647174,
    727399, 817252, 917887, 1030597,
};
const int32_t B_NORESIDUAL_THRESHOLD[52] = {
    1309, 1436, 1575, 1727, 1895, 2078, 2279, 2500,
    2742, 3008, 3299, 3618, 3969, 4353, 4774, 5236,
    5743, 6300, 6910, 7579, 8312, 9117, 10000, 10968,
    12030, 13195, 14473, 15874, 17411, 19097, 20946, 22974,
    25198, 27638, 30314, 33250, 36469, 40000, 43873, 48121,
    52780, 57891, 63496, 69644, 76387, 83784, 91896, 100794,
    110553, 121257, 132998, 145876,
};
// clang-format on

const uint32_t *lookahead_blocks(const encoder_t *ctx, int32_t d0, int32_t d1) {
  const lowres_data_t *la = ctx->cur_input->la;
  if (!la || d0 < 0 || d1 < 0 || d0 >= LOWRES_DISTANCES || d1 >= LOWRES_DISTANCES) return nullptr;
  if (d0 > la->layout.max_distance || d1 > la->layout.max_distance) return nullptr;
  return la->block_costs[d0][d1];
}

int32_t lookahead_block_index(const encoder_t *ctx, int32_t x, int32_t y) {
  const lowres_layout_t &l = ctx->cur_input->la->layout;
  auto inner = [](int32_t v, int32_t n) { return n >= 3 ? std::clamp(v, 1, n - 2) : std::clamp(v, 0, n - 1); };
  return inner(y / 16 + 4 * ctx->ctu_y, l.block_rows) * l.block_stride + inner(x / 16 + 4 * ctx->ctu_x, l.block_cols);
}

uint32_t cu_lowres_cost(const encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size) {
  const frame_t *f = ctx->cur_input;
  // 8x8 CUs cover no whole block of the lookahead's grid.
  if (f->frame_type_code != TARNHEVCENC_TYPE_P || f->lowres_l0_distance <= 0 || log2_size < 4 || log2_size > 5)
    return 0;
  const lowres_layout_t &l = f->la->layout;
  if (f->lowres_l0_distance > l.max_distance) return 0;
  // Per block 0 (inter clearly better) .. 6 (intra clearly better).
  const uint32_t *costs = f->la->block_hint[f->lowres_l0_distance];
  // The border blocks of the lookahead's picture are left out: their
  // estimates see the replicated edge.
  const int32_t n = 1 << (log2_size - 4), cx = 4 * ctx->ctu_x + x / 16, cy = 4 * ctx->ctu_y + y / 16;
  auto range = [](int32_t c, int32_t n16, int32_t last) {
    return std::make_pair(std::max(1, std::min(c, last - 1)), std::max(1, std::min(c + n16, last - 1)));
  };
  const auto [x0, x1] = range(cx, n, l.block_cols);
  const auto [y0, y1] = range(cy, n, l.block_rows);
  uint64_t sum = 0;
  uint32_t units = 0;
  for (int32_t by = y0; by < y1; by++)
    for (int32_t bx = x0; bx < x1; bx++, units++) sum += costs[by * l.block_stride + bx];
  if (units == 0) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>((sum << 7) / units, UINT32_MAX));
}

namespace {

pixel_cost_fn rough_kernel(const encoder_t *ctx, int32_t log2_size, bool lowres) {
  const int32_t c = 6 - log2_size;
  // The evaluation on half-resolution pictures compares by transform above
  // level 2 at every size.
  if (lowres) return ctx->analysis_level > 2 ? ctx->pixel.block_cost[c] : ctx->pixel.satd[c];
  if (ctx->analysis_level > 4) return ctx->pixel.block_cost[c];
  return log2_size == 6 ? ctx->pixel.sad[0] : ctx->pixel.satd[c];
}

// The luma prediction of one list, as a pointer into the reference's phase
// planes or the reference itself, or interpolated into buf (stride 64).
const uint8_t *list_prediction(encoder_t *ctx, int32_t x, int32_t y, int32_t size, int32_t list, int32_t ref,
                               mv_t mv, bool lowres, uint8_t *buf, int32_t *stride) {
  const me_request_t rq = me_request_for(x, y, size, size, list, ref);
  me_predictor_t p;
  me_predictor_init(&p, ctx->param.subpel_planes, &ctx->me, &rq, lowres ? 0 : ctx->param.bilinear_qpel, buf);
  const mv_t c = clamp_to_pu_limits(ctx, mv, x, y);
  // A search's final vector: its prediction is kept.
  if (const uint8_t *k = me_kept_find(&ctx->me_kept, p.ref, size, size, p.bilinear, c)) {
    *stride = me_kept_t::STRIDE;
    return k;
  }
  return p.predict(mv_x(c), mv_y(c), stride);
}

// The list predictions of one merge evaluation, kept for the candidates
// that take the same vector of a list again: the combined bi-predictive
// candidates pair the lists of the candidates before them.
struct list_predictions_t {
  static constexpr int32_t MAX = 6;
  const uint8_t *plane[MAX];
  mv_t mv[MAX];
  const uint8_t *pred[MAX];
  int32_t stride[MAX];
  int32_t count = 0;
  alignas(32) uint8_t buf[MAX][64 * 64];
};

// inter_rough_predict, taking and keeping list predictions in `kept` when
// given.
void rough_predict(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, const int8_t ref[2], const mv_t mv[2],
                   bool lowres, list_predictions_t *kept) {
  const int32_t size = 1 << log2_size;
  alignas(32) uint8_t buf[2][64 * 64];
  const uint8_t *p[2] = {nullptr, nullptr};
  int32_t stride[2] = {64, 64};
  for (int32_t l = 0; l < 2; l++) {
    if (ref[l] < 0) continue;
    const uint8_t *plane = ref[l] < ME_MAX_REFS ? ctx->me.ref_planes[l][ref[l]] : nullptr;
    int32_t k = -1;
    if (kept && plane)
      for (int32_t i = 0; i < kept->count && k < 0; i++)
        if (kept->plane[i] == plane && kept->mv[i] == mv[l]) k = i;
    if (k >= 0) {
      p[l] = kept->pred[k];
      stride[l] = kept->stride[k];
      continue;
    }
    const bool keep = kept && plane && kept->count < list_predictions_t::MAX;
    uint8_t *into = keep ? kept->buf[kept->count] : buf[l];
    p[l] = list_prediction(ctx, x, y, size, l, ref[l], mv[l], lowres, into, &stride[l]);
    if (!keep) continue;
    const int32_t i = kept->count++;
    kept->plane[i] = plane;
    kept->mv[i] = mv[l];
    kept->pred[i] = p[l];
    kept->stride[i] = stride[l];
  }
  uint8_t *dst = ctu_rec_at(ctx, 0, x, y);
  if (p[0] && p[1])
    ctx->mc.pixel_avg(dst, RECON_STRIDE, p[0], stride[0], p[1], stride[1], size, size);
  else
    ctx->mc.block_copy(dst, RECON_STRIDE, p[0] ? p[0] : p[1], p[0] ? stride[0] : stride[1], size, size);
}

}  // namespace

uint32_t inter_rough_cost(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, bool lowres) {
  return rough_kernel(ctx, log2_size, lowres)(ctu_src_at(ctx, 0, x, y), SRC_STRIDE, ctu_rec_at(ctx, 0, x, y), RECON_STRIDE);
}

void inter_rough_predict(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, const int8_t ref[2],
                         const mv_t mv[2], bool lowres) {
  rough_predict(ctx, x, y, log2_size, ref, mv, lowres, nullptr);
}

void merge_evaluate(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size, bool two_lists, bool lowres,
                    merge_eval_t *out) {
  const int32_t size = 1 << log2_size;
  merge_candidates_t &mc = out->list;
  if (two_lists || lowres) {
    out->count = mvp_get_merge_list(ctx, z, x, y, size, size, &mc);
    if (!two_lists)
      for (int32_t i = 0; i < 5; i++) mc.ref_idx[1][i] = -2;
  } else {
    int32_t temporal = -1;
    out->count = mvp_get_merge_candidates_l0(ctx, z, x, y, size, size, mc.mv[0], mc.ref_idx[0], &temporal);
    for (int32_t i = 0; i < 5; i++) mc.ref_idx[1][i] = -2;
    mc.temporal_mask = temporal >= 0 ? 1u << temporal : 0;
  }
  out->best = out->second = -1;
  out->best_cost = out->second_cost = COST_NONE;
  const int32_t subpel = ctx->ctu_subpel_level;
  const pixel_cost_fn kernel = rough_kernel(ctx, log2_size, lowres);
  const uint8_t *src = ctu_src_at(ctx, 0, x, y);
  list_predictions_t kept;
  for (int32_t i = 0; i < out->count; i++) {
    const int8_t ref[2] = {mc.ref_idx[0][i], mc.ref_idx[1][i]};
    const mv_t mv[2] = {mc.mv[0][i], mc.mv[1][i]};
    bool pass = false, fractional = false, odd = false;
    for (int32_t l = 0; l < 2; l++) {
      if (ref[l] < 0) continue;
      const mv_t c = clamp_to_pu_limits(ctx, mv[l], x, y);
      pass = pass || !mv_in_limits(ctx, c);
      fractional = fractional || ((mv[l] & 0x00030003u) != 0);
      odd = odd || ((mv[l] & 0x00010001u) != 0);
    }
    if (pass) continue;
    if (out->best >= 0) {
      const int32_t b = out->best;
      bool same = ref[0] == mc.ref_idx[0][b] && ref[1] == mc.ref_idx[1][b];
      for (int32_t l = 0; l < 2 && same; l++) same = ref[l] < 0 || mv[l] == mc.mv[l][b];
      if (same) continue;
    }
    // Fractional motion only down to the CTU's sub-sample level; a
    // temporal candidate's vector is scaled, and fractional ones of it
    // seldom pay.
    if ((subpel == 0 && fractional) || (subpel == 1 && odd)) continue;
    if (!lowres && ((mc.temporal_mask >> i) & 1) && fractional) continue;
    rough_predict(ctx, x, y, log2_size, ref, mv, lowres, &kept);
    const uint32_t cost = kernel(src, SRC_STRIDE, ctu_rec_at(ctx, 0, x, y), RECON_STRIDE) +
                          ctx->ctu_lambda_sad * static_cast<uint32_t>(std::min(i + 1, 4));
    if (cost < out->best_cost) {
      out->second = out->best;
      out->second_cost = out->best_cost;
      out->best = i;
      out->best_cost = cost;
    } else if (cost < out->second_cost) {
      out->second = i;
      out->second_cost = cost;
    }
  }
}
