#include "analysis/analysis_tables.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "encoder/encoder.h"
#include "common/memory.h"

namespace {

// Running products rather than pow() so that every platform rounds the
// same values the same way.
constexpr double kSqrtLambdaStep = 1.122462048309373;     // 2^(1/6): sqrt(lambda) doubles every 6 QP
constexpr double kLambdaStep = 1.2599210498948732;        // 2^(1/3): lambda doubles every 3 QP
constexpr double kRateControlSsdStep = 1.2636444922077779;

// Chroma distortion counts the same as luma on the fast levels and twice
// as much on the slower ones, where chroma artefacts are worth more bits.
constexpr std::array<uint16_t, CHROMA_WEIGHT_COUNT> make_chroma_weights(uint16_t w) {
  std::array<uint16_t, CHROMA_WEIGHT_COUNT> t{};
  for (uint16_t &v : t) v = w;
  return t;
}
constexpr std::array<uint16_t, CHROMA_WEIGHT_COUNT> kChromaWeightFlat = make_chroma_weights(256);
constexpr std::array<uint16_t, CHROMA_WEIGHT_COUNT> kChromaWeightDouble = make_chroma_weights(512);

void fill_rate_controlled_rows(analysis_tables_t *t) {
  // Rate control moves the QP itself, so every picture class shares one
  // multiplier per QP.
  double sad = 0.25;
  double ssd = 9.728;
  for (int32_t q = 0; q < LAMBDA_QP_COUNT; q++) {
    const uint16_t sad_q = static_cast<uint16_t>(sad + 0.5);
    const uint32_t ssd_q = static_cast<uint32_t>(ssd + 0.5);
    for (int32_t c = 0; c < LAMBDA_CLASS_COUNT; c++) {
      t->lambda_sad_table[c][q] = sad_q;
      t->lambda_ssd_table[c][q] = ssd_q;
    }
    sad *= kSqrtLambdaStep;
    ssd *= kRateControlSsdStep;
  }
}

void fill_constant_qp_rows(analysis_tables_t *t, int32_t bframes, int32_t hierarchy) {
  double f[LAMBDA_CLASS_COUNT];
  // I pictures are referenced by everything that follows, and the more B
  // pictures lean on them the cheaper their bits should look.
  const double b_share = 0.05 * bframes;
  f[0] = b_share <= 0 ? 0.57 : b_share < 0.5 ? (1 - b_share) * 0.57 : 0.285;
  f[1] = 0.442;
  f[2] = 0.3536;
  f[3] = 0.5;
  f[4] = 0.68;
  // A shallow pyramid has no levels beyond its depth: those rows get the
  // top level's weight.  The P row is never touched, whatever the depth.
  for (int32_t k = hierarchy + 2 > 2 ? hierarchy + 2 : 2; k <= 3; k++) f[k] = 0.68;

  for (int32_t c = 0; c < 2; c++) {
    double a = 16 * f[c];
    double b = 0.25 * std::sqrt(f[c]);
    for (int32_t q = 0; q < LAMBDA_QP_COUNT; q++) {
      t->lambda_ssd_table[c][q] = static_cast<uint32_t>(a + 0.5);
      t->lambda_sad_table[c][q] = static_cast<uint16_t>(b + 0.5);
      a *= kLambdaStep;
      b *= kSqrtLambdaStep;
    }
  }

  // B pictures: the multiplier grows by a further factor of 2..4 with the
  // QP, as high-QP B pictures contribute little that is referenced later.
  double m[LAMBDA_QP_COUNT];
  double s[LAMBDA_QP_COUNT];
  double base = 16;
  for (int32_t q = 0; q < LAMBDA_QP_COUNT; q++) {
    int32_t d = (q - 12) / 6;
    d = d < 2 ? 2 : d > 4 ? 4 : d;
    m[q] = d * base;
    s[q] = std::sqrt(m[q] / 256);
    base *= kLambdaStep;
  }
  for (int32_t c = 2; c < LAMBDA_CLASS_COUNT; c++) {
    const double root_f = std::sqrt(f[c]);
    for (int32_t q = 0; q < LAMBDA_QP_COUNT; q++) {
      t->lambda_ssd_table[c][q] = static_cast<uint32_t>(f[c] * m[q] + 0.5);
      t->lambda_sad_table[c][q] = static_cast<uint16_t>(root_f * s[q] + 0.5);
    }
  }
}

uint16_t saturate_cost(int64_t v) { return static_cast<uint16_t>(v < 0 ? 0 : v > 65535 ? 65535 : v); }

// Fills the costs of one array around its centre: zero MVD cheapest, then
// one step per doubling of |mvd|, as the exp-Golomb length of the MVD grows.
void fill_mvcost_array(uint16_t *centre, int32_t lambda_sad, float weight, int32_t limit) {
  const float l = static_cast<float>(lambda_sad);
  const int64_t c0 = static_cast<int64_t>(weight * l + 0.5f);
  const int64_t a = static_cast<int64_t>(0.347f * l + 0.5f);
  const int64_t L = lambda_sad;
  centre[0] = saturate_cost(c0);
  centre[1] = centre[-1] = saturate_cost(a + 2 * L - c0);
  for (int32_t j = 1; (int64_t{1} << j) <= limit; j++) {
    const uint16_t cost = saturate_cost(5 * L - c0 - a + 2 * L * (j - 1));
    const int64_t hi = (int64_t{2} << j) - 1 < limit ? (int64_t{2} << j) - 1 : limit;
    for (int64_t i = int64_t{1} << j; i <= hi; i++) centre[i] = centre[-i] = cost;
  }
}

}  // namespace

int32_t analysis_tables_create(encoder_t *ctx) {
  if (!ctx) return -1;
  analysis_tables_t *t = static_cast<analysis_tables_t *>(aligned_malloc(sizeof(analysis_tables_t)));
  if (!t) return -1;
  std::memset(static_cast<void *>(t), 0, sizeof(*t));
  ctx->tables = t;
  return 0;
}

void lambda_tables_init(encoder_t *ctx) {
  if (!ctx || !ctx->tables) return;
  const param_t &p = ctx->param;
  if (p.rcmode != 0)
    fill_rate_controlled_rows(ctx->tables);
  else
    fill_constant_qp_rows(ctx->tables, p.bframes, p.hierarchy);
}

void chroma_weight_init(encoder_t *ctx) {
  if (!ctx || !ctx->tables) return;
  ctx->tables->chroma_weight_table =
      ctx->param.complexity < 3 ? kChromaWeightFlat.data() : kChromaWeightDouble.data();
}

int32_t mvcost_table_init(encoder_t *ctx, int32_t qp) {
  if (!ctx) return -1;
  return mvcost_table_init(ctx->param, ctx->tables, qp);
}

int32_t mvcost_table_init(const param_t &p, analysis_tables_t *t, int32_t qp) {
  if (!t || qp < 0 || qp >= MVCOST_QP_COUNT) return -1;
  if (t->mvcost_block[qp]) return 0;
  if (analysis_tables_validate(&p) < 0) return -1;
  // The search window runs from -500 to mv_range_y whole samples in both
  // directions; R is its span.  Every QP shares the R of the first one built.
  if (t->mv_range == 0) {
    const int64_t span = static_cast<int64_t>(p.mv_range_y) + 500;
    if (span < 1 || span > (INT32_MAX - 2 * MVCOST_MARGIN) / 8) return -1;
    t->mv_range = static_cast<int32_t>(span);
  }
  const int32_t r = t->mv_range;
  const size_t array_len = static_cast<size_t>(8) * r + 2 * MVCOST_MARGIN;
  const int32_t arrays = p.rcmode != 0 ? 1 : p.hierarchy + 2;

  uint16_t *block = static_cast<uint16_t *>(aligned_malloc(arrays * array_len * sizeof(uint16_t)));
  if (!block) return -1;
  std::memset(block, 0, arrays * array_len * sizeof(uint16_t));
  const int32_t limit = 4 * r + MVCOST_FILLED_MARGIN;
  for (int32_t k = 0; k < arrays; k++) {
    uint16_t *centre = block + k * array_len + 4 * static_cast<size_t>(r) + MVCOST_MARGIN;
    fill_mvcost_array(centre, t->lambda_sad_table[k + 1][qp], k == 0 ? 0.653f : 0.5f, limit);
    t->mvcost_table[qp][k] = centre;
  }
  for (int32_t k = arrays; k < MVCOST_SLOT_COUNT; k++) t->mvcost_table[qp][k] = t->mvcost_table[qp][0];
  t->mvcost_block[qp] = block;
  return 0;
}

int32_t mvcost_tables_build(encoder_t *ctx) {
  if (!ctx) return -1;
  return mvcost_tables_build(ctx->param, ctx->tables);
}

int32_t mvcost_tables_build(const param_t &p, analysis_tables_t *t) {
  if (!t) return -1;
  bool ok = true;
  if (12 < p.qp_min || 12 > p.qp_max) ok = mvcost_table_init(p, t, 12) == 0;
  for (int32_t qp = p.qp_min; ok && qp <= p.qp_max; qp++) ok = mvcost_table_init(p, t, qp) == 0;
  if (ok) return 0;
  mvcost_tables_free(t);
  return -1;
}

void mvcost_tables_free(encoder_t *ctx) {
  if (ctx) mvcost_tables_free(ctx->tables);
}

void mvcost_tables_free(analysis_tables_t *t) {
  if (!t) return;
  for (int32_t qp = 0; qp < MVCOST_QP_COUNT; qp++) {
    aligned_free(t->mvcost_block[qp]);
    t->mvcost_block[qp] = nullptr;
    for (uint16_t *&slot : t->mvcost_table[qp]) slot = nullptr;
  }
  t->mv_range = 0;
}

void analysis_tables_destroy(encoder_t *ctx) {
  if (!ctx || !ctx->tables) return;
  mvcost_tables_free(ctx);
  aligned_free(ctx->tables);
  ctx->tables = nullptr;
}

int32_t analysis_tables_validate(const param_t *p) {
  if (!p || p->hierarchy < 0 || p->hierarchy > 2) return -1;
  return 0;
}
