// The per-encoder analysis tables against hand-worked reference values of
// the multiplier and MV cost models, together with properties any valid
// table keeps: sqrt(lambda) and lambda agree in constant-QP coding, costs
// are symmetric and grow with the MVD's code length, arrays end in zeros,
// and each encoder owns its own tables.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <set>

#include "analysis/analysis_tables.h"
#include "encoder/encoder.h"
#include "common/memory.h"
#include "encoder/param.h"
#include "ratecontrol/lowres_cost.h"

namespace {

struct settings_t {
  int32_t rcmode = 0;
  int32_t bframes = 7;
  int32_t hierarchy = 2;
  int32_t qp_min = 0;
  int32_t qp_max = 51;
  int32_t mv_range_y = 56;
  int32_t complexity = 4;
};

// An encoder context with only the settings the tables read, its tables
// created and the multipliers and chroma weights filled.
struct tables_ctx_t {
  encoder_t *ctx = nullptr;

  explicit tables_ctx_t(const settings_t &s) {
    ctx = static_cast<encoder_t *>(aligned_malloc(sizeof(encoder_t)));
    std::memset(static_cast<void *>(ctx), 0, sizeof(encoder_t));
    ctx->param.rcmode = s.rcmode;
    ctx->param.bframes = s.bframes;
    ctx->param.hierarchy = s.hierarchy;
    ctx->param.qp_min = s.qp_min;
    ctx->param.qp_max = s.qp_max;
    ctx->param.mv_range_y = s.mv_range_y;
    ctx->param.complexity = s.complexity;
    if (analysis_tables_create(ctx) == 0) {
      lambda_tables_init(ctx);
      chroma_weight_init(ctx);
    }
  }
  ~tables_ctx_t() {
    analysis_tables_destroy(ctx);
    aligned_free(ctx);
  }
  tables_ctx_t(const tables_ctx_t &) = delete;
  tables_ctx_t &operator=(const tables_ctx_t &) = delete;

  analysis_tables_t &t() const { return *ctx->tables; }
};

settings_t constant_qp(int32_t bframes, int32_t hierarchy) {
  settings_t s;
  s.bframes = bframes;
  s.hierarchy = hierarchy;
  return s;
}

settings_t rate_controlled() {
  settings_t s;
  s.rcmode = 1;
  return s;
}

// ---------------------------------------------------------------------------
// Lagrange multipliers

TEST(LambdaTables, ConstantQpRowsMatchReferenceValues) {
  tables_ctx_t e(constant_qp(7, 2));
  ASSERT_NE(e.ctx->tables, nullptr);
  const uint32_t ssd32[5] = {9636, 11496, 27589, 39012, 53056};
  const uint16_t sad32[5] = {6, 7, 10, 12, 14};
  const uint32_t ssd12[5] = {95, 113, 181, 256, 348};
  for (int32_t c = 0; c < 5; c++) {
    EXPECT_EQ(e.t().lambda_ssd_table[c][32], ssd32[c]) << "row " << c;
    EXPECT_EQ(e.t().lambda_sad_table[c][32], sad32[c]) << "row " << c;
    EXPECT_EQ(e.t().lambda_ssd_table[c][12], ssd12[c]) << "row " << c;
    EXPECT_EQ(e.t().lambda_sad_table[c][12], 1) << "row " << c;
  }
}

// Constant-QP B rows are f * d * 16 * 2^(QP/3) with the step d = (QP - 12)
// / 6 held to 2..4; the level-2 row (f = 1/2) shows each step exactly.
TEST(LambdaTables, ConstantQpBRowsStepWithQp) {
  tables_ctx_t e(constant_qp(7, 2));
  ASSERT_NE(e.ctx->tables, nullptr);
  struct point_t {
    int32_t qp;
    uint32_t ssd;
  };
  for (const point_t &pt : {point_t{0, 16}, point_t{24, 4096}, point_t{30, 24576}, point_t{36, 131072},
                            point_t{42, 524288}, point_t{48, 2097152}})
    EXPECT_EQ(e.t().lambda_ssd_table[3][pt.qp], pt.ssd) << "QP " << pt.qp;
  // QP 42: d * 16 * 2^14 / 256 = 4096, so sqrt(lambda) is 64 sqrt(f).
  const uint32_t ssd42[3] = {370776, 524288, 713032};
  const uint16_t sad42[3] = {38, 45, 53};
  for (int32_t c = 2; c < 5; c++) {
    EXPECT_EQ(e.t().lambda_ssd_table[c][42], ssd42[c - 2]) << "row " << c;
    EXPECT_EQ(e.t().lambda_sad_table[c][42], sad42[c - 2]) << "row " << c;
  }
}

TEST(LambdaTables, RateControlledRowsAreSharedByEveryClass) {
  tables_ctx_t e(rate_controlled());
  ASSERT_NE(e.ctx->tables, nullptr);
  for (int32_t c = 0; c < 5; c++) {
    EXPECT_EQ(e.t().lambda_ssd_table[c][32], 17379u) << "row " << c;
    EXPECT_EQ(e.t().lambda_sad_table[c][32], 10) << "row " << c;
    EXPECT_EQ(e.t().lambda_ssd_table[c][0], 10u) << "row " << c;
    EXPECT_EQ(e.t().lambda_sad_table[c][0], 0) << "row " << c;
    for (int32_t q = 0; q < 64; q++) {
      EXPECT_EQ(e.t().lambda_ssd_table[c][q], e.t().lambda_ssd_table[0][q]) << "row " << c << " QP " << q;
      EXPECT_EQ(e.t().lambda_sad_table[c][q], e.t().lambda_sad_table[0][q]) << "row " << c << " QP " << q;
    }
  }
}

struct intra_case_t {
  int32_t bframes;
  uint32_t ssd36;  // 16 f 2^12, rounded
  uint16_t sad36;  // 0.25 sqrt(f) 2^6, rounded
};

class IntraRowByBframes : public ::testing::TestWithParam<intra_case_t> {};

// The I-picture factor is 0.57, cut by 5% per B picture, never below half.
TEST_P(IntraRowByBframes, FactorFollowsTheBframeCount) {
  const intra_case_t c = GetParam();
  tables_ctx_t e(constant_qp(c.bframes, 2));
  ASSERT_NE(e.ctx->tables, nullptr);
  EXPECT_EQ(e.t().lambda_ssd_table[0][36], c.ssd36) << "bframes " << c.bframes;
  EXPECT_EQ(e.t().lambda_sad_table[0][36], c.sad36) << "bframes " << c.bframes;
}

INSTANTIATE_TEST_SUITE_P(LambdaTables, IntraRowByBframes,
                         ::testing::Values(intra_case_t{0, 37356, 12},    // f 0.57
                                           intra_case_t{5, 28017, 10},    // f 0.4275
                                           intra_case_t{10, 18678, 9},    // f 0.285
                                           intra_case_t{16, 18678, 9}));  // still 0.285

TEST(LambdaTables, ShallowPyramidGivesMissingLevelsTheTopWeight) {
  tables_ctx_t deep(constant_qp(7, 2));
  tables_ctx_t one(constant_qp(7, 1));
  tables_ctx_t flat(constant_qp(7, 0));
  ASSERT_TRUE(deep.ctx->tables && one.ctx->tables && flat.ctx->tables);
  for (int32_t q = 0; q < 64; q++) {
    for (int32_t c = 0; c < 2; c++) {
      EXPECT_EQ(one.t().lambda_ssd_table[c][q], deep.t().lambda_ssd_table[c][q]) << "row " << c << " QP " << q;
      EXPECT_EQ(flat.t().lambda_ssd_table[c][q], deep.t().lambda_ssd_table[c][q]) << "row " << c << " QP " << q;
    }
    EXPECT_EQ(one.t().lambda_ssd_table[2][q], deep.t().lambda_ssd_table[2][q]) << "QP " << q;
    for (int32_t c = 2; c < 5; c++) {
      if (c > 2) {
        EXPECT_EQ(one.t().lambda_ssd_table[c][q], deep.t().lambda_ssd_table[4][q]) << "row " << c << " QP " << q;
      }
      EXPECT_EQ(flat.t().lambda_ssd_table[c][q], deep.t().lambda_ssd_table[4][q]) << "row " << c << " QP " << q;
      EXPECT_EQ(flat.t().lambda_sad_table[c][q], deep.t().lambda_sad_table[4][q]) << "row " << c << " QP " << q;
    }
  }
}

// In constant-QP coding the SAD multiplier is the square root of the SSD
// one (which is scaled by 256), up to the rounding of both.
TEST(ChromaWeights, DoubleFromComplexityThree) {
  for (int32_t complexity = 0; complexity <= 7; complexity++) {
    settings_t s;
    s.complexity = complexity;
    tables_ctx_t e(s);
    ASSERT_NE(e.ctx->tables, nullptr);
    ASSERT_NE(e.t().chroma_weight_table, nullptr);
    const uint16_t expect = complexity < 3 ? 256 : 512;
    for (int32_t q = 0; q < 58; q++)
      EXPECT_EQ(e.t().chroma_weight_table[q], expect) << "complexity " << complexity << " QP " << q;
  }
}

// ---------------------------------------------------------------------------
// Motion-vector costs

TEST(MvCostTables, PArrayMatchesReferenceCosts) {
  tables_ctx_t e(constant_qp(7, 2));
  ASSERT_NE(e.ctx->tables, nullptr);
  ASSERT_EQ(e.t().lambda_sad_table[1][32], 7);  // L = 7, P weight 0.653
  ASSERT_EQ(mvcost_table_init(e.ctx, 32), 0);
  const uint16_t *p = e.t().mvcost_table[32][0];
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[0], 5);
  struct band_t {
    int32_t lo, hi;
    uint16_t cost;
  };
  for (const band_t &b : {band_t{1, 1, 11}, band_t{2, 3, 28}, band_t{4, 7, 42}, band_t{8, 15, 56}})
    for (int32_t i = b.lo; i <= b.hi; i++) {
      EXPECT_EQ(p[i], b.cost) << "mvd " << i;
      EXPECT_EQ(p[-i], b.cost) << "mvd " << -i;
    }
}

struct layout_case_t {
  settings_t s;
  int32_t arrays;  // slots with an array of their own
};

class MvCostLayout : public ::testing::TestWithParam<layout_case_t> {};

// Every slot of every built QP holds a usable array: symmetric, one cost per
// power-of-two band of |mvd|, each band 2L dearer than the one before, costs
// up to 4R + 272 and zeros in the margin after it.
TEST_P(MvCostLayout, EverySlotHoldsAWellFormedArray) {
  const layout_case_t c = GetParam();
  tables_ctx_t e(c.s);
  ASSERT_NE(e.ctx->tables, nullptr);
  ASSERT_EQ(mvcost_tables_build(e.ctx), 0);
  const int32_t r = c.s.mv_range_y + 500;
  ASSERT_EQ(e.t().mv_range, r);
  const int32_t filled = 4 * r + 272;
  const int32_t half = 4 * r + 280;  // entries either side of the centre

  for (int32_t qp = 0; qp < 52; qp++) {
    std::set<const uint16_t *> distinct;
    for (int32_t k = 0; k < 4; k++) {
      const uint16_t *p = e.t().mvcost_table[qp][k];
      ASSERT_NE(p, nullptr) << "QP " << qp << " slot " << k;
      distinct.insert(p);
      if (k >= c.arrays) {
        EXPECT_EQ(p, e.t().mvcost_table[qp][0]) << "QP " << qp << " slot " << k;
        continue;
      }
      const int32_t l = e.t().lambda_sad_table[k + 1][qp];
      for (int32_t i = 1; i <= filled; i++) ASSERT_EQ(p[i], p[-i]) << "QP " << qp << " slot " << k << " mvd " << i;
      int32_t band_start = 2;
      for (int32_t i = 3; i <= filled; i++) {
        if ((i & (i - 1)) == 0) {
          ASSERT_EQ(p[i] - p[band_start], 2 * l) << "QP " << qp << " slot " << k << " band at " << i;
          band_start = i;
        } else {
          ASSERT_EQ(p[i], p[band_start]) << "QP " << qp << " slot " << k << " mvd " << i;
        }
      }
      if (l > 0) {
        EXPECT_LE(p[0], p[1]) << "QP " << qp << " slot " << k;  // equal when L is 1
        EXPECT_LT(p[1], p[2]) << "QP " << qp << " slot " << k;
        EXPECT_GT(p[filled], 0) << "QP " << qp << " slot " << k;
      }
      for (int32_t i = filled + 1; i < half; i++) EXPECT_EQ(p[i], 0) << "QP " << qp << " slot " << k << " mvd " << i;
      for (int32_t i = filled + 1; i <= half; i++) EXPECT_EQ(p[-i], 0) << "QP " << qp << " slot " << k << " mvd " << -i;
    }
    EXPECT_EQ(static_cast<int32_t>(distinct.size()), c.arrays) << "QP " << qp;
  }
}

settings_t with_range(settings_t s, int32_t mv_range_y) {
  s.mv_range_y = mv_range_y;
  return s;
}

INSTANTIATE_TEST_SUITE_P(MvCostTables, MvCostLayout,
                         ::testing::Values(layout_case_t{constant_qp(7, 2), 4},
                                           layout_case_t{constant_qp(3, 1), 3},
                                           layout_case_t{with_range(constant_qp(0, 0), 1024), 2},
                                           layout_case_t{with_range(rate_controlled(), 8), 1}));

struct range_case_t {
  int32_t qp_min, qp_max;
};

class MvCostBuildRange : public ::testing::TestWithParam<range_case_t> {};

TEST_P(MvCostBuildRange, BuildsTheQpRangeAndQp12AndNothingElse) {
  const range_case_t c = GetParam();
  settings_t s;
  s.qp_min = c.qp_min;
  s.qp_max = c.qp_max;
  tables_ctx_t e(s);
  ASSERT_NE(e.ctx->tables, nullptr);
  ASSERT_EQ(mvcost_tables_build(e.ctx), 0);
  for (int32_t qp = 0; qp < 52; qp++) {
    const bool want = qp == 12 || (qp >= c.qp_min && qp <= c.qp_max);
    EXPECT_EQ(e.t().mvcost_block[qp] != nullptr, want) << "QP " << qp;
    for (int32_t k = 0; k < 4; k++) EXPECT_EQ(e.t().mvcost_table[qp][k] != nullptr, want) << "QP " << qp << " slot " << k;
  }
  // A QP that already has its arrays keeps them.
  uint16_t *const block12 = e.t().mvcost_block[12];
  uint16_t *const slot12 = e.t().mvcost_table[12][1];
  EXPECT_EQ(mvcost_table_init(e.ctx, 12), 0);
  EXPECT_EQ(e.t().mvcost_block[12], block12);
  EXPECT_EQ(e.t().mvcost_table[12][1], slot12);
}

INSTANTIATE_TEST_SUITE_P(MvCostTables, MvCostBuildRange,
                         ::testing::Values(range_case_t{10, 51}, range_case_t{20, 51}, range_case_t{0, 5},
                                           range_case_t{12, 12}, range_case_t{13, 13}));

// A multiplier far beyond any the encoder produces: the costs stop at the
// top of their 16-bit field instead of wrapping round to cheap values.
TEST(MvCostTables, RejectsWhatCannotBeBuilt) {
  tables_ctx_t e(constant_qp(7, 2));
  ASSERT_NE(e.ctx->tables, nullptr);
  EXPECT_EQ(mvcost_table_init(e.ctx, -1), -1);
  EXPECT_EQ(mvcost_table_init(e.ctx, 52), -1);
  e.ctx->param.hierarchy = 3;  // more levels than there are slots
  EXPECT_EQ(mvcost_table_init(e.ctx, 30), -1);
  EXPECT_EQ(mvcost_tables_build(e.ctx), -1);
  for (int32_t qp = 0; qp < 52; qp++) EXPECT_EQ(e.t().mvcost_block[qp], nullptr) << "QP " << qp;

  encoder_t *bare = static_cast<encoder_t *>(aligned_malloc(sizeof(encoder_t)));
  ASSERT_NE(bare, nullptr);
  std::memset(static_cast<void *>(bare), 0, sizeof(encoder_t));
  EXPECT_EQ(mvcost_table_init(bare, 30), -1);  // no tables created
  EXPECT_EQ(mvcost_tables_build(bare), -1);
  aligned_free(bare);
}

// ---------------------------------------------------------------------------
// Ownership

TEST(AnalysisTables, EachEncoderKeepsItsOwnTables) {
  tables_ctx_t a(constant_qp(7, 2));
  ASSERT_NE(a.ctx->tables, nullptr);
  ASSERT_EQ(mvcost_tables_build(a.ctx), 0);
  const uint16_t *a32 = a.t().mvcost_table[32][0];
  {
    settings_t s = rate_controlled();
    s.complexity = 1;
    s.mv_range_y = 1024;
    tables_ctx_t b(s);
    ASSERT_NE(b.ctx->tables, nullptr);
    ASSERT_NE(b.ctx->tables, a.ctx->tables);
    ASSERT_EQ(mvcost_tables_build(b.ctx), 0);
    EXPECT_EQ(b.t().lambda_ssd_table[0][32], 17379u);
    EXPECT_EQ(b.t().chroma_weight_table[0], 256);
    EXPECT_EQ(b.t().mv_range, 1524);
    EXPECT_NE(b.t().mvcost_table[32][0], a32);
  }  // b is destroyed; a's tables must be untouched
  EXPECT_EQ(a.t().lambda_ssd_table[0][32], 9636u);
  EXPECT_EQ(a.t().lambda_sad_table[1][32], 7);
  EXPECT_EQ(a.t().chroma_weight_table[0], 512);
  EXPECT_EQ(a.t().mv_range, 556);
  EXPECT_EQ(a.t().mvcost_table[32][0], a32);
  EXPECT_EQ(a32[0], 5);
  EXPECT_EQ(a32[-1], 11);
  EXPECT_EQ(a32[15], 56);
}

// An encoder with a lookahead pool fills its MV cost tables there while the
// rest of it is made: once open it has every array of every QP it codes
// with (and QP 12), the same as a fill from its settings on one thread.
TEST(AnalysisTables, AnOpenEncoderHasEveryMvCostArrayOfItsSettings) {
  for (const int32_t rcmode : {TARNHEVCENC_RC_CQP, TARNHEVCENC_RC_ABR}) {
    tarnhevcenc_param_t pub{};
    pub.size = sizeof(pub);
    ASSERT_EQ(tarnhevcenc_default_param(&pub), 0);
    pub.width = 200;
    pub.height = 136;
    pub.threads = 4;
    pub.bframes = 3;
    pub.rcmode = rcmode;
    pub.bitrate = 500;
    pub.qp_min = 20;
    pub.qp_max = 40;
    pub.log_level = 0;
    encoder_t *enc = encoder_open(&pub);
    ASSERT_NE(enc, nullptr);
    ASSERT_NE(enc->lookahead_engine, nullptr);
    ASSERT_TRUE(enc->lookahead_engine->pool_ready);
    settings_t s;
    s.rcmode = enc->param.rcmode;
    s.bframes = enc->param.bframes;
    s.hierarchy = enc->param.hierarchy;
    s.qp_min = enc->param.qp_min;
    s.qp_max = enc->param.qp_max;
    s.mv_range_y = enc->param.mv_range_y;
    s.complexity = enc->param.complexity;
    tables_ctx_t ref(s);
    ASSERT_EQ(mvcost_tables_build(ref.ctx), 0);
    const analysis_tables_t &t = *enc->tables;
    ASSERT_EQ(t.mv_range, ref.t().mv_range);
    const size_t reach = 4 * static_cast<size_t>(t.mv_range) + MVCOST_MARGIN;
    for (int32_t qp = 0; qp < MVCOST_QP_COUNT; qp++) {
      const bool coded = qp == 12 || (qp >= s.qp_min && qp <= s.qp_max);
      for (int32_t k = 0; k < MVCOST_SLOT_COUNT; k++) {
        const uint16_t *a = t.mvcost_table[qp][k], *b = ref.t().mvcost_table[qp][k];
        ASSERT_EQ(a != nullptr, coded) << "rc " << rcmode << " qp " << qp << " slot " << k;
        if (coded) {
          ASSERT_EQ(std::memcmp(a - reach, b - reach, 2 * reach * sizeof(uint16_t)), 0) << qp;
        }
      }
    }
    encoder_close(enc);
  }
}

TEST(AnalysisTables, TeardownIsSafeOnAnyState) {
  encoder_t *ctx = static_cast<encoder_t *>(aligned_malloc(sizeof(encoder_t)));
  ASSERT_NE(ctx, nullptr);
  std::memset(static_cast<void *>(ctx), 0, sizeof(encoder_t));
  ctx->param.mv_range_y = 56;
  analysis_tables_destroy(nullptr);
  analysis_tables_destroy(ctx);  // never created
  mvcost_tables_free(ctx);

  ASSERT_EQ(analysis_tables_create(ctx), 0);
  analysis_tables_destroy(ctx);  // created only
  EXPECT_EQ(ctx->tables, nullptr);

  ASSERT_EQ(analysis_tables_create(ctx), 0);
  lambda_tables_init(ctx);
  ASSERT_EQ(mvcost_table_init(ctx, 40), 0);  // partly built
  mvcost_tables_free(ctx);
  mvcost_tables_free(ctx);
  EXPECT_EQ(ctx->tables->mvcost_table[40][0], nullptr);
  ASSERT_EQ(mvcost_tables_build(ctx), 0);  // rebuilt after a free
  analysis_tables_destroy(ctx);
  analysis_tables_destroy(ctx);
  EXPECT_EQ(ctx->tables, nullptr);
  aligned_free(ctx);
}

}  // namespace
