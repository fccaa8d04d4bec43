// The intra evaluators of the coding-tree search on a real row context:
// which modes the rough passes look at, how many candidates reach the
// residual coder, how ties are broken, and what each evaluator leaves in the
// node and the maps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "analysis/analysis_tables.h"
#include "analysis/ctu_analysis.h"
#include "analysis/intra_decision.h"
#include "encoder/encoder.h"
#include "ratecontrol/ratecontrol.h"
#include "tests/unit/row_context.h"
#include "rdo/block_coding.h"
#include "rdo/cu_commit.h"
#include "rdo/rd_cost.h"

namespace {

using picture_fn = std::function<uint8_t(int32_t plane, int32_t x, int32_t y)>;
using evaluator_fn = void (*)(encoder_t *, cu_node_t *, int32_t, int32_t, int32_t, int32_t);

constexpr int32_t kWidth = 192, kHeight = 128, kQp = 30;
constexpr uint32_t kUnset = 0xffffffffu;

uint8_t texture(int32_t plane, int32_t x, int32_t y) {
  uint32_t s = static_cast<uint32_t>(x) * 73856093u ^ static_cast<uint32_t>(y) * 19349663u ^
               static_cast<uint32_t>(plane) * 83492791u;
  s ^= s >> 13;
  s *= 0x5bd1e995u;
  s ^= s >> 15;
  return static_cast<uint8_t>(40 + (s & 127) + ((x + 2 * y) & 63));
}
// Columns of strongly differing values: constant down every column.
uint8_t column_stripes(int32_t x) { return static_cast<uint8_t>(30 + ((x * 37) % 7) * 30); }

struct IntraDecision : ::testing::Test {
  encoder_t *enc = nullptr;
  encoder_t *ctx = nullptr;
  frame_t *in = nullptr;
  frame_t *rec = nullptr;
  picture_fn picture;

  void SetUp() override {
    ctx = open_row_context(kWidth, kHeight, &enc);
    ASSERT_NE(ctx, nullptr);
    in = frame_get_unused(enc->pool, 1);
    rec = frame_get_unused(enc->pool, 0);
    ASSERT_NE(in, nullptr);
    ASSERT_NE(rec, nullptr);
  }
  void TearDown() override {
    if (in) frame_release(enc->pool, in);
    if (rec) frame_release(enc->pool, rec);
    encoder_close(enc);
  }

  // The picture as source, as the reconstruction every neighbour reads and
  // as the half-resolution plane (2x2 averages).
  void load_picture(const picture_fn &f) {
    picture = f;
    for (int32_t c = 0; c < 3; c++) {
      const int32_t w = c ? kWidth / 2 : kWidth, h = c ? kHeight / 2 : kHeight;
      for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x++) {
          in->plane[c][y * in->stride[c] + x] = f(c, x, y);
          rec->work[c][y * rec->stride[c] + x] = f(c, x, y);
        }
      const int32_t s = c ? 32 : 64;
      for (int32_t row = 0; row < kHeight / 64; row++)
        for (int32_t x = 0; x < w; x++)
          ctx->intra_line[c][row * ctx->ctu_cols * s + x] = f(c, x, row * s + s - 1);
    }
    for (int32_t y = 0; y < kHeight / 2; y++)
      for (int32_t x = 0; x < kWidth / 2; x++)
        in->lowres_luma[y * in->lowres_stride + x] =
            static_cast<uint8_t>((f(0, 2 * x, 2 * y) + f(0, 2 * x + 1, 2 * y) + f(0, 2 * x, 2 * y + 1) +
                                  f(0, 2 * x + 1, 2 * y + 1) + 2) >> 2);
  }

  // A CTU of an I slice set up as the CTU driver does, with the CUs before
  // any evaluated one reconstructed perfectly.
  void start_ctu(int32_t col, int32_t row, int32_t level, int32_t speed = 0) {
    ctx->ctu_x = col;
    ctx->ctu_y = row;
    ctx->ctu_addr = row * ctx->ctu_cols + col;
    ctx->cur_input = in;
    ctx->cur_recon = rec;
    ctx->slice_type_code = 2;
    for (int32_t y = 0; y < 64; y++)
      for (int32_t x = 0; x < 64; x++) {
        const uint8_t v = picture(0, col * 64 + x, row * 64 + y);
        ctx->ctu_src[y * SRC_STRIDE + x] = v;
        ctx->ctu_rec[y * RECON_STRIDE + x] = v;
      }
    for (int32_t c = 1; c <= 2; c++)
      for (int32_t y = 0; y < 32; y++)
        for (int32_t x = 0; x < 32; x++) {
          const uint8_t v = picture(c, col * 32 + x, row * 32 + y);
          *ctu_src_at(ctx, c, x, y) = v;
          *ctu_rec_at(ctx, c, x, y) = v;
        }
    std::memset(ctx->maps, 0, sizeof(ctu_maps_t));
    std::memset(ctx->maps->intra_dir, 0xff, sizeof(ctx->maps->intra_dir));
    std::memset(&ctx->maps->unit, 0, sizeof(ctu_unit_maps_t));
    // The drivers take the CTU QP from rate control's picture QP.
    ctx->rc->frame_qp = static_cast<float>(ctx->slice_qp);
    ctx->ctu_qp = kQp;
    ctx->ctu_lambda_ssd = ctx->tables->lambda_ssd_table[0][kQp];
    ctx->ctu_lambda_sad = ctx->tables->lambda_sad_table[0][kQp];
    ctx->prev_qp = kQp;
    ctx->analysis_level = level;
    ctx->speed_mode = speed;
    ctx->use_rdoq_alt = 0;
    ctx->intra_refs_refresh = 1;
    ctx->intra_rd_done = 0;
    ctx->param.intra_nxn = 1;
    ctx->param.intra_source_refs = 0;
    cabac_init_contexts(&ctx->cabac.est, 2, kQp, 0);
    ctx->pixel.ctu_gradient_hv_pyramid(ctx->ctu_src, &ctx->gradients);
    ctx->gradients.dir[2].node[0] = 0xffffffffu;  // diagonal sums not computed yet
    for (int32_t i = 0; i < CU_NODE_COUNT; i++) reset(ctx->nodes[i]);
  }

  void reset(cu_node_t &n) {
    std::memset(n.mode_costs, 0xff, sizeof(n.mode_costs));
    std::memset(n.chroma_costs, 0xff, sizeof(n.chroma_costs));
    n.split = 0;
    n.tu_split = 0;
    n.residual_mode = 0;
    n.recode = 0;
    n.skip = 0;
    n.intra_sad_cost = n.intra_cost = n.inter_sad_cost = n.cost = COST_NONE;
    n.luma_dir = n.parent_dir = -1;
    n.pred_intra = 1;
    n.part_mode = 0;
    n.chroma_dir = 4;
    n.qp = ctx->ctu_qp;
    n.lambda_sad = ctx->ctu_lambda_sad;
    n.lambda_ssd = ctx->ctu_lambda_ssd;
    n.visited = 1;
  }

  cu_node_t &node(int32_t x, int32_t y, int32_t s) { return ctx->nodes[node_index(zorder_of(x >> 2, y >> 2), s)]; }

  // The node set up by the recursion just before it calls an evaluator:
  // its ancestors split and searched, the states saved at its depth.
  cu_node_t &enter(int32_t x, int32_t y, int32_t s) {
    for (int32_t p = s + 1; p <= 6; p++) node(x, y, p).split = 1;
    cu_node_t &n = node(x, y, s);
    reset(n);
    cabac_est_t *e = &ctx->cabac.est;
    e->state[186] = e->state[CTX_SIG_COEFF];
    e->state[187] = e->state[CTX_SIG_COEFF + 27];
    e->state[188] = e->state[CTX_GREATER1];
    e->state[189] = e->state[CTX_GREATER1 + 16];
    ctx->cabac_est_save[1 + 6 - s] = *e;
    return n;
  }

  void run(evaluator_fn f, int32_t x, int32_t y, int32_t s) {
    f(ctx, ctx->nodes, zorder_of(x >> 2, y >> 2), x, y, s);
  }

  void set_neighbour_dirs(int32_t x, int32_t y, int32_t left, int32_t above) {
    ctx->maps->intra_dir[map4_index((x >> 2) - 1, y >> 2)] = static_cast<int8_t>(left);
    ctx->maps->intra_dir[map4_index(x >> 2, (y >> 2) - 1)] = static_cast<int8_t>(above);
  }

  std::vector<int32_t> modes_with_costs(const cu_node_t &n, uint32_t missing) const {
    std::vector<int32_t> v;
    for (int32_t m = 0; m < 35; m++)
      if (n.mode_costs[m] != missing) v.push_back(m);
    return v;
  }
};

// ------------------------------------------------------------ rough pass

class CornerCu : public IntraDecision, public ::testing::WithParamInterface<int32_t> {};

TEST_P(CornerCu, PredictsOnlyPlanarDcAndModes2And26) {
  const int32_t s = GetParam();
  load_picture(texture);
  start_ctu(0, 0, 3);
  cu_node_t &n = enter(0, 0, s);
  run(analyse_intra_cu, 0, 0, s);
  const uint32_t *c = n.mode_costs;
  for (int32_t m = 3; m < 35; m++)
    if (m != 26) {
      EXPECT_EQ(c[m], c[2]) << "mode " << m;
    }
  // No neighbour exists: every prediction is the flat 128, so the costs
  // differ by the mode-bit penalties of the MPMs planar, DC and 26 alone.
  const uint32_t lambda = n.lambda_sad;
  EXPECT_EQ(c[1] - c[0], lambda);
  EXPECT_EQ(c[26], c[1]);
  EXPECT_EQ(c[2] - c[0], 4 * lambda);
  // The residual coder may still prefer another of the four (its scan).
  EXPECT_TRUE(n.luma_dir == 0 || n.luma_dir == 1 || n.luma_dir == 2 || n.luma_dir == 26) << n.luma_dir;
  EXPECT_LT(n.intra_cost, COST_NONE);
}

INSTANTIATE_TEST_SUITE_P(Sizes, CornerCu, ::testing::Values(3, 4, 5));

TEST_F(IntraDecision, FlatCuAtLowLevelsTriesPlanarDcMpmsAndParentOnly) {
  load_picture([](int32_t c, int32_t, int32_t) { return static_cast<uint8_t>(c ? 120 : 90); });
  for (const int32_t level : {2, 3}) {
    SCOPED_TRACE(testing::Message() << "analysis level " << level);
    start_ctu(1, 1, level);
    set_neighbour_dirs(16, 16, 10, 18);  // MPMs 10, 18, planar
    cu_node_t &parent = node(16, 16, 5);
    parent.luma_dir = 30;
    cu_node_t &n = enter(16, 16, 4);
    run(analyse_intra_cu, 16, 16, 4);
    EXPECT_EQ(n.parent_dir, 30);
    const std::vector<int32_t> tried = modes_with_costs(n, COST_NONE);
    if (level == 2)
      EXPECT_EQ(tried, (std::vector<int32_t>{0, 1, 10, 18, 30}));
    else
      EXPECT_EQ(tried.size(), 35u);
  }
}

struct window_case_t {
  const char *name;
  picture_fn luma;
  int32_t first, last;     // the window
  int32_t first2, last2;   // a second range (or none)
};

class GradientWindow : public IntraDecision, public ::testing::WithParamInterface<window_case_t> {};

TEST_P(GradientWindow, KeepsTheDirectionsAlongTheTexture) {
  const window_case_t &w = GetParam();
  load_picture([&](int32_t c, int32_t x, int32_t y) { return c ? static_cast<uint8_t>(128) : w.luma(0, x, y); });
  start_ctu(1, 1, 2);
  cu_node_t &n = enter(16, 16, 4);
  run(analyse_intra_cu, 16, 16, 4);
  // No neighbour is intra: the MPMs are planar, DC and 26.
  std::vector<int32_t> want;
  for (int32_t m = 0; m < 35; m++)
    if (m == 0 || m == 1 || m == 26 || (m >= w.first && m <= w.last) || (m >= w.first2 && m <= w.last2))
      want.push_back(m);
  EXPECT_EQ(modes_with_costs(n, COST_NONE), want);
}

INSTANTIATE_TEST_SUITE_P(
    Directions, GradientWindow,
    ::testing::Values(
        window_case_t{"Vertical", [](int32_t, int32_t x, int32_t) { return column_stripes(x); }, 22, 30, -1, -1},
        window_case_t{"Horizontal", [](int32_t, int32_t, int32_t y) { return column_stripes(y); }, 6, 14, -1, -1},
        window_case_t{"DownLeft", [](int32_t, int32_t x, int32_t y) { return column_stripes(x + y); }, 2, 6, 30, 34},
        window_case_t{"DownRight", [](int32_t, int32_t x, int32_t y) { return column_stripes(x - y + 128); }, 14,
                      21, 34, 34}),
    [](const testing::TestParamInfo<window_case_t> &i) { return std::string(i.param.name); });

TEST_F(IntraDecision, StripesContinuedFromTheNeighboursAreFoundByEveryEvaluator) {
  load_picture([](int32_t c, int32_t x, int32_t y) {
    return c ? texture(c, x, y) : column_stripes(x);
  });
  const struct {
    const char *name;
    evaluator_fn f;
    int32_t level;
  } evaluators[] = {{"analyse_intra_cu", analyse_intra_cu, 2},
                    {"analyse_intra_cu", analyse_intra_cu, 4},
                    {"intra_mode_decision", intra_mode_decision, 4},
                    {"analyse_intra_cu_fast", analyse_intra_cu_fast, 1},
                    {"analyse_intra_cu_fast", analyse_intra_cu_fast, 3}};
  for (const auto &e : evaluators)
    for (int32_t s = 3; s <= 6; s++) {
      SCOPED_TRACE(testing::Message() << e.name << " level " << e.level << " size " << (1 << s));
      start_ctu(1, 1, e.level);
      // Inside the CTU with coded CUs to the left and above, where possible.
      const int32_t pos[4][2] = {{24, 40}, {16, 32}, {32, 32}, {0, 0}};
      const int32_t x = pos[s - 3][0], y = pos[s - 3][1];
      cu_node_t &n = enter(x, y, s);
      run(e.f, x, y, s);
      EXPECT_EQ(n.luma_dir, 26);
      EXPECT_LT(n.intra_cost, COST_NONE);
      EXPECT_EQ(ctx->intra_refs_refresh, 1);
      // The maps hold the decision over the whole CU.
      for (int32_t j = 0; j < (1 << s); j += 4)
        for (int32_t i = 0; i < (1 << s); i += 4)
          ASSERT_EQ(ctx->maps->intra_dir[map4_index((x + i) >> 2, (y + j) >> 2)], 26) << i << "," << j;
      for (int32_t j = 0; j < (1 << s); j += 8)
        for (int32_t i = 0; i < (1 << s); i += 8)
          ASSERT_EQ(ctx->maps->intra_dir[chroma_dir_index((x + i) >> 3, (y + j) >> 3)], n.chroma_dir);
      EXPECT_EQ(n.cbf_intra, ctx->maps->cbf[node_index(zorder_of(x >> 2, y >> 2), s)] & 7);
    }
}

// The CU's cost counted on the blocks its luma and chroma trials left or
// kept is what coding the decided CU again from the node's states gives:
// the cost, every estimation state, the reconstruction and the unit maps.
TEST_F(IntraDecision, CuCostFromTheTrialsBlocksCostsAsCodedAgain) {
  load_picture(texture);
  const struct {
    const char *name;
    evaluator_fn f;
  } evaluators[] = {{"analyse_intra_cu", analyse_intra_cu}, {"analyse_intra_cu_fast", analyse_intra_cu_fast}};
  const int32_t pos[3][2] = {{24, 40}, {16, 32}, {32, 32}};
  for (const auto &e : evaluators)
    for (const int32_t level : {2, 3})
      for (int32_t s = 3; s <= 5; s++) {
        SCOPED_TRACE(testing::Message() << e.name << " level " << level << " size " << (1 << s));
        start_ctu(1, 1, level);
        ctx->param.rdoq = 1;
        // The trials' quantiser also costs the CU (at level 3 too).
        ctx->param.latency_mode = 0;
        const int32_t x = pos[s - 3][0], y = pos[s - 3][1], z = zorder_of(x >> 2, y >> 2), n = node_index(z, s);
        cu_node_t &cu = enter(x, y, s);
        run(e.f, x, y, s);
        const uint32_t cost = cu.intra_cost;
        const cabac_est_t est = ctx->cabac.est;
        const std::vector<uint8_t> recon(ctx->ctu_rec, ctx->ctu_rec + RECON_STRIDE * 64);
        const ctu_unit_maps_t units = ctx->maps->unit;
        const uint8_t cbf = ctx->maps->cbf[n];
        const cabac_est_t &start = ctx->cabac_est_save[1 + 6 - s];
        ctx->cabac.est = start;
        cu_commit(ctx, ctx->nodes, z, x, y, s);
        EXPECT_EQ(cost, cu_rd_cost(ctx, cu.lambda_ssd, z, x, y, s, 0));
        EXPECT_EQ(est.bits, ctx->cabac.est.bits);
        for (int32_t i = 0; i < CABAC_NUM_CTX + 4; i++)
          ASSERT_EQ(est.state[i], ctx->cabac.est.state[i]) << "state " << i;
        EXPECT_TRUE(recon == std::vector<uint8_t>(ctx->ctu_rec, ctx->ctu_rec + RECON_STRIDE * 64));
        EXPECT_EQ(std::memcmp(&units, &ctx->maps->unit, sizeof(units)), 0);
        EXPECT_EQ(cbf, ctx->maps->cbf[n]);
      }
}

// A 4x4 prediction unit whose winning luma trial was not the last one is
// left as that trial left the unit and the states: as trying the winner
// again from the node's states leaves them.
TEST_F(IntraDecision, PredictionUnitLeftAsItsWinningTrialCodedIt) {
  load_picture(texture);
  for (const int32_t level : {2, 3, 4})
    for (const int32_t k : {0, 1, 2}) {
      SCOPED_TRACE(testing::Message() << "level " << level << " unit " << k);
      start_ctu(1, 1, level);
      ctx->param.rdoq = 1;
      const int32_t x = 24 + 4 * (k & 1), y = 40 + 4 * (k >> 1), z = zorder_of(x >> 2, y >> 2);
      cu_node_t &pu = enter(x, y, 2);
      run(analyse_intra_cu, x, y, 2);
      const int32_t mode = pu.luma_dir;
      const cabac_est_t est = ctx->cabac.est;
      const std::vector<uint8_t> recon(ctx->ctu_rec, ctx->ctu_rec + RECON_STRIDE * 64);
      const ctu_unit_maps_t unit_maps = ctx->maps->unit;
      const uint8_t cbf = ctx->maps->cbf[node_index(z, 2)];
      intra_cu_t again;
      intra_cu_begin(&again, ctx, ctx->nodes, z, x, y, 2);
      uint8_t luma_cbf = 0;
      intra_luma_trial(&again, mode, &luma_cbf);
      EXPECT_EQ(std::memcmp(&est, &ctx->cabac.est, sizeof(est)), 0) << "states";
      EXPECT_TRUE(recon == std::vector<uint8_t>(ctx->ctu_rec, ctx->ctu_rec + RECON_STRIDE * 64));
      EXPECT_EQ(std::memcmp(&unit_maps, &ctx->maps->unit, sizeof(unit_maps)), 0);
      EXPECT_EQ(cbf, ctx->maps->cbf[node_index(z, 2)]);
    }
}

// ------------------------------------------------- candidates and ties

TEST_F(IntraDecision, EverySpeedModeTriesTheBestListedChromaMode) {
  // Luma along columns, chroma along rows: the derived chroma mode (26) is
  // the worst choice and horizontal (intra_chroma_pred_mode 2) the best.
  load_picture([](int32_t c, int32_t x, int32_t y) { return c ? column_stripes(y) : column_stripes(x); });
  for (const int32_t speed : {1, 3}) {
    SCOPED_TRACE(testing::Message() << "speed mode " << speed);
    start_ctu(1, 1, 3, speed);
    cu_node_t &n = enter(16, 16, 4);
    run(analyse_intra_cu, 16, 16, 4);
    EXPECT_EQ(n.luma_dir, 26);
    for (int32_t cm = 0; cm < 4; cm++) EXPECT_NE(n.chroma_costs[cm], kUnset) << "chroma mode " << cm;
    EXPECT_EQ(n.chroma_dir, 2);
  }
}

TEST_F(IntraDecision, SpeedModeThreeCodesTheRoughBestOrTheParentsMode) {
  load_picture([](int32_t c, int32_t x, int32_t y) { return c ? texture(c, x, y) : column_stripes(x); });
  for (const int32_t parent_dir : {-1, 26}) {
    SCOPED_TRACE(testing::Message() << "parent direction " << parent_dir);
    start_ctu(1, 1, 3, 3);
    // Mode bits dominate the rough pass (so MPM0, horizontal, ranks
    // first), distortion alone the RD pass (where vertical is perfect).
    ctx->ctu_lambda_sad = 1u << 20;
    ctx->ctu_lambda_ssd = 0;
    set_neighbour_dirs(16, 16, 10, 10);
    node(16, 16, 5).luma_dir = parent_dir;
    cu_node_t &n = enter(16, 16, 4);
    run(analyse_intra_cu, 16, 16, 4);
    EXPECT_EQ(n.luma_dir, parent_dir < 0 ? 10 : 26);
  }
}

TEST_F(IntraDecision, EqualRdCostsKeepTheBetterRankedLumaModeAndChromaModeFour) {
  // Flat grey in the picture corner: every prediction is exact, and with a
  // zero RD multiplier every trial costs nothing.
  load_picture([](int32_t, int32_t, int32_t) { return static_cast<uint8_t>(128); });
  for (const int32_t s : {3, 4}) {
    start_ctu(0, 0, 3, 1);
    ctx->ctu_lambda_ssd = 0;
    cu_node_t &n = enter(0, 0, s);
    run(analyse_intra_cu, 0, 0, s);
    EXPECT_EQ(n.luma_dir, 0) << "size " << (1 << s);
    EXPECT_EQ(n.chroma_dir, 4) << "size " << (1 << s);
    EXPECT_EQ(n.intra_cost, 0u);
  }
}

TEST_F(IntraDecision, EqualRdCostsInTheFullAnalysisGoToTheLaterTrial) {
  load_picture([](int32_t, int32_t, int32_t) { return static_cast<uint8_t>(128); });
  start_ctu(1, 1, 6);
  ctx->ctu_lambda_ssd = 0;
  // MPMs 10, 9, 11: the rough list ends as (10, 9) on mode bits alone, and
  // the second entry, tried last, costs what the first does.
  set_neighbour_dirs(16, 16, 10, 10);
  cu_node_t &n = enter(16, 16, 4);
  run(intra_mode_decision, 16, 16, 4);
  EXPECT_EQ(n.intra_sad_cost, 2 * n.lambda_sad);
  EXPECT_EQ(n.luma_dir, 9);
  EXPECT_EQ(n.intra_cost, 0u);
  EXPECT_EQ(n.chroma_dir, 4);
  EXPECT_EQ(ctx->intra_rd_done, 1);
  EXPECT_EQ(ctx->maps->intra_dir[map4_index(4, 4)], 9);
}

TEST_F(IntraDecision, FullAnalysisPredictsFromTheSourceForTheSlicesThatAskForIt) {
  load_picture([](int32_t c, int32_t x, int32_t y) { return c ? texture(c, x, y) : column_stripes(x); });
  for (const int32_t mask : {0, 4, 3}) {
    SCOPED_TRACE(testing::Message() << "source-neighbour mask " << mask);
    start_ctu(1, 1, 4);
    ctx->param.intra_source_refs = mask;
    // The CU above was coded badly: only the source still shows the stripes.
    for (int32_t y = 0; y < 16; y++) std::memset(ctu_rec_at(ctx, 0, 16, y), 0, 16);
    cu_node_t &n = enter(16, 16, 4);
    run(intra_mode_decision, 16, 16, 4);
    const bool from_source = (mask >> 2) & 1;  // I slices are slice type 2
    if (from_source) {
      EXPECT_EQ(n.intra_sad_cost, 3 * n.lambda_sad);  // exact vertical prediction, an MPM2 penalty
      EXPECT_EQ(n.luma_dir, 26);
    } else {
      EXPECT_GT(n.intra_sad_cost, 100 * n.lambda_sad);
    }
  }
}

// ------------------------------------------------------------ NxN PUs

TEST_F(IntraDecision, OnlyTheFourthPredictionUnitDecidesChroma) {
  load_picture(texture);
  start_ctu(1, 1, 3);
  const int32_t x0 = 24, y0 = 40, z0 = zorder_of(x0 >> 2, y0 >> 2);
  cu_node_t &cu = enter(x0, y0, 3);
  cu.split = 1;  // the NxN trial of the 8x8 CU
  cu_commit(ctx, ctx->nodes, z0, x0, y0, 3);
  int8_t &chroma_cell = ctx->maps->intra_dir[chroma_dir_index(x0 >> 3, y0 >> 3)];
  chroma_cell = 99;
  ctx->maps->depth[map8_index(x0 >> 3, y0 >> 3)] = 0;
  for (int32_t k = 0; k < 4; k++) {
    SCOPED_TRACE(testing::Message() << "PU " << k);
    const int32_t x = x0 + (k & 1) * 4, y = y0 + (k >> 1) * 4;
    cu_node_t &pu = enter(x, y, 2);
    cu.split = 1;
    run(analyse_intra_cu, x, y, 2);
    EXPECT_EQ(ctx->maps->depth[map8_index(x0 >> 3, y0 >> 3)], 3);
    EXPECT_GE(pu.luma_dir, 0);
    EXPECT_LT(pu.intra_cost, COST_NONE);
    EXPECT_EQ(ctx->maps->intra_dir[map4_index(x >> 2, y >> 2)], pu.luma_dir);
    if (k < 3) {
      EXPECT_EQ(chroma_cell, 99);
      for (int32_t cm = 0; cm < 4; cm++) EXPECT_EQ(pu.chroma_costs[cm], kUnset);
    } else {
      EXPECT_GE(pu.chroma_dir, 0);
      EXPECT_LE(pu.chroma_dir, 4);
      EXPECT_EQ(chroma_cell, pu.chroma_dir);
      for (int32_t cm = 0; cm < 4; cm++) EXPECT_NE(pu.chroma_costs[cm], kUnset);
      EXPECT_EQ(ctx->maps->cbf[node_index(zorder_of(x >> 2, y >> 2), 2)], pu.cbf_intra);
    }
  }
}

// ------------------------------------------- intra in inter pictures

// The intra alternative of a CU in a P or B picture after the inter
// evaluation found an inter rough cost.
struct IntraInInter : IntraDecision {
  cu_node_t &prepare(int32_t x, int32_t y, int32_t s, uint32_t type, int32_t level, uint32_t inter) {
    start_ctu(1, 1, level);
    in->frame_type_code = type;
    ctx->ctu_early_skip = 1;  // the CTU's copy, as its set-up leaves it
    ctx->param.latency_mode = 9;
    ctx->intra_rd_done = 1;  // left over from an earlier CU
    cu_node_t &n = enter(x, y, s);
    n.inter_sad_cost = inter;
    return n;
  }
  // The rough cost of predicting the block by flat grey, as a reference
  // picture without the block's texture would.
  uint32_t flat_prediction_cost(int32_t x, int32_t y, int32_t s) {
    alignas(32) uint8_t grey[64 * 64];
    std::memset(grey, 128, sizeof(grey));
    return ctx->pixel.satd[6 - s](ctu_src_at(ctx, 0, x, y), SRC_STRIDE, grey, 64);
  }
};

TEST_F(IntraInInter, GoodInterPredictionEndsTheSearchAfterPlanar) {
  load_picture([](int32_t c, int32_t x, int32_t y) { return c ? texture(c, x, y) : column_stripes(x); });
  for (const uint32_t inter : {0u, 100u}) {
    cu_node_t &n = prepare(16, 16, 4, TARNHEVCENC_TYPE_P, 4, inter);
    run(analyse_intra_cu_pb, 16, 16, 4);
    EXPECT_EQ(modes_with_costs(n, kUnset), std::vector<int32_t>{0}) << "inter cost " << inter;
    EXPECT_EQ(n.intra_sad_cost, n.mode_costs[0]);
    EXPECT_EQ(n.luma_dir, 0);
    EXPECT_EQ(n.chroma_dir, 4);
    EXPECT_EQ(n.intra_cost, COST_NONE);  // untouched
    EXPECT_EQ(ctx->intra_rd_done, 0);
    EXPECT_EQ(ctx->intra_refs_refresh, 1);
  }
}

TEST_F(IntraInInter, NewlyUncoveredTexturedBlockIsCodedIntraWhereThePictureAllows) {
  // Vertical stripes the references do not have: inter can only offer a
  // flat prediction, and intra finds the stripes' direction.
  load_picture([](int32_t c, int32_t x, int32_t y) { return c ? texture(c, x, y) : column_stripes(x); });
  const struct {
    uint32_t type;
    int32_t level, log2_size, speed, latency;
    bool rd;
  } cases[] = {
      {TARNHEVCENC_TYPE_P, 4, 4, 0, 9, true},     {TARNHEVCENC_TYPE_P, 4, 5, 1, 9, true},
      {TARNHEVCENC_TYPE_P, 4, 3, 0, 0, true},     {TARNHEVCENC_TYPE_P, 3, 4, 0, 0, false},
      {TARNHEVCENC_TYPE_P, 3, 4, 0, 1, true},     {TARNHEVCENC_TYPE_P, 1, 4, 0, 9, false},
      {TARNHEVCENC_TYPE_P, 4, 4, 2, 9, false},    {TARNHEVCENC_TYPE_BREF, 4, 4, 0, 9, true},
      {TARNHEVCENC_TYPE_BREF, 4, 5, 0, 9, false}, {TARNHEVCENC_TYPE_B, 4, 3, 0, 9, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << " level " << c.level << " size " << (1 << c.log2_size)
                                    << " speed " << c.speed << " latency " << c.latency);
    const int32_t x = 32, y = 32;
    cu_node_t &n = prepare(x, y, c.log2_size, c.type, c.level, 0);
    n.inter_sad_cost = flat_prediction_cost(x, y, c.log2_size);
    ctx->speed_mode = c.speed;
    ctx->param.latency_mode = c.latency;
    run(analyse_intra_cu_pb, x, y, c.log2_size);
    EXPECT_EQ(n.luma_dir, 26);
    EXPECT_LT(n.intra_sad_cost, n.inter_sad_cost / 4);
    EXPECT_EQ(ctx->intra_rd_done, c.rd ? 1 : 0);
    EXPECT_EQ(n.intra_cost < COST_NONE, c.rd);
    if (c.rd && c.latency == 0) {
      // One RD coding only: the maps hold its result.
      EXPECT_EQ(n.cbf_intra, ctx->maps->cbf[node_index(zorder_of(x >> 2, y >> 2), c.log2_size)]);
      EXPECT_EQ(ctx->maps->intra_dir[map4_index(x >> 2, y >> 2)], 26);
    }
  }
}

TEST_F(IntraInInter, CoarseDirectionFarBehindInterHidesTheNextOne) {
  // Noise: every direction costs about what planar does.
  load_picture(texture);
  const int32_t x = 16, y = 16, s = 4;
  cu_node_t &all = prepare(x, y, s, TARNHEVCENC_TYPE_P, 3, COST_NONE);
  run(analyse_intra_cu_pb, x, y, s);
  const std::vector<uint32_t> cost(all.mode_costs, all.mode_costs + 35);
  for (int32_t m = 2; m <= 34; m += 8) EXPECT_NE(cost[m], kUnset) << "mode " << m;
  // The smallest inter cost that still lets planar and DC pass: every
  // direction is then more than twice behind it, and too far behind for a
  // refinement.
  const uint32_t inter = std::max((cost[0] + 3) / 4, (std::min(cost[0], cost[1]) + 2) / 3);
  uint32_t cheapest = COST_NONE;
  for (const uint32_t c : cost)
    if (c != kUnset) cheapest = std::min(cheapest, c);
  ASSERT_GT(cheapest, 2 * inter);
  cu_node_t &n = prepare(x, y, s, TARNHEVCENC_TYPE_P, 3, inter);
  run(analyse_intra_cu_pb, x, y, s);
  EXPECT_EQ(modes_with_costs(n, kUnset), (std::vector<int32_t>{0, 1, 2, 18, 34}));
}

// ---------------------------------------------------------- fast path

struct fast_case_t {
  int32_t log2_size, level;
  size_t costed;  // modes costed at full size
};

class FastPath : public IntraDecision, public ::testing::WithParamInterface<fast_case_t> {};

TEST_P(FastPath, KeepsCostsOfTheModesCostedAtFullSizeOnly) {
  const fast_case_t &c = GetParam();
  load_picture(texture);
  start_ctu(1, 1, c.level);
  cu_node_t &n = enter(0, 0, c.log2_size);
  run(analyse_intra_cu_fast, 0, 0, c.log2_size);
  const std::vector<int32_t> costed = modes_with_costs(n, kUnset);
  EXPECT_EQ(costed.size(), c.costed);
  EXPECT_NE(std::find(costed.begin(), costed.end(), n.luma_dir), costed.end());
  EXPECT_LT(n.intra_cost, COST_NONE);
}

INSTANTIATE_TEST_SUITE_P(SizesAndLevels, FastPath,
                         ::testing::Values(fast_case_t{6, 1, 2}, fast_case_t{6, 3, 3}, fast_case_t{5, 0, 2},
                                           fast_case_t{4, 4, 3}, fast_case_t{3, 0, 2}, fast_case_t{3, 1, 2},
                                           fast_case_t{3, 3, 3}),
                         [](const testing::TestParamInfo<fast_case_t> &i) {
                           return "Size" + std::to_string(1 << i.param.log2_size) + "Level" +
                                  std::to_string(i.param.level);
                         });

// The standard's [1,2,1] smoothing of a neighbour array (H.265 8.4.4.2.3),
// both ends of the run kept.
std::vector<uint8_t> smoothed(const std::vector<uint8_t> &a, int32_t n) {
  std::vector<uint8_t> f(a);
  f[0] = static_cast<uint8_t>((a[1] + 2 * a[0] + a[2 * n + 1] + 2) >> 2);
  for (int32_t i = 1; i < 2 * n; i++)
    f[i] = static_cast<uint8_t>(((i == 1 ? a[0] : a[i - 1]) + 2 * a[i] + a[i + 1] + 2) >> 2);
  for (int32_t i = 2 * n + 1; i < 4 * n; i++)
    f[i] = static_cast<uint8_t>(((i == 2 * n + 1 ? a[0] : a[i - 1]) + 2 * a[i] + a[i + 1] + 2) >> 2);
  return f;
}

TEST_F(IntraDecision, HalfSizeNeighboursAreSmoothedOnlyAt8And16) {
  for (const int32_t n : {16, 32, 64}) {
    SCOPED_TRACE(testing::Message() << "CU " << n);
    std::vector<uint8_t> full(4 * n + 1);
    for (size_t i = 0; i < full.size(); i++) full[i] = texture(0, static_cast<int32_t>(i), n);
    std::vector<uint8_t> half(144), half_smooth(144);
    intra_half_neighbours(ctx->intra, full.data(), n, half.data(), half_smooth.data());
    const int32_t hn = n / 2;
    std::vector<uint8_t> want(4 * hn + 1);
    want[0] = full[0];
    for (int32_t i = 0; i < 4 * hn; i++) want[1 + i] = static_cast<uint8_t>((full[1 + 2 * i] + full[2 + 2 * i] + 1) / 2);
    half.resize(want.size());
    half_smooth.resize(want.size());
    EXPECT_EQ(half, want);
    // A 64x64 CU's 32x32 half-size predictions never use smoothed samples.
    EXPECT_EQ(half_smooth, hn == 32 ? want : smoothed(want, hn));
  }
}

// --------------------------------------------------- without NxN PUs

class WithoutNxn : public IntraDecision, public ::testing::WithParamInterface<int32_t> {};

TEST_P(WithoutNxn, OneCandidateIsCostedByCodingTheCuOnce) {
  const int32_t s = GetParam();
  load_picture(texture);
  for (const bool fast : {false, true}) {
    SCOPED_TRACE(testing::Message() << (fast ? "fast" : "full") << " rough pass, size " << (1 << s));
    start_ctu(1, 1, 2);
    ctx->param.intra_nxn = 0;
    const int32_t x = 32, y = 32, z = zorder_of(x >> 2, y >> 2);
    cu_node_t &n = enter(x, y, s);
    run(fast ? analyse_intra_cu_fast : analyse_intra_cu, x, y, s);
    // The rough pass alone picks the mode: the cheapest cost it recorded.
    int32_t rough_best = -1;
    for (int32_t m = 0; m < 35; m++)
      if (n.mode_costs[m] < COST_NONE && (rough_best < 0 || n.mode_costs[m] < n.mode_costs[rough_best])) rough_best = m;
    EXPECT_EQ(n.luma_dir, rough_best);
    EXPECT_EQ(n.chroma_dir, 4);
    // Coding that decision once from the depth's saved states costs exactly
    // what the evaluator reported.
    const uint32_t reported = n.intra_cost;
    const uint8_t cbf = n.cbf_intra;
    ctx->cabac.est = ctx->cabac_est_save[1 + 6 - s];
    cu_commit(ctx, ctx->nodes, z, x, y, s);
    EXPECT_EQ(cu_rd_cost(ctx, n.lambda_ssd, z, x, y, s, 0), reported);
    EXPECT_EQ(ctx->maps->cbf[node_index(z, s)], cbf);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, WithoutNxn, ::testing::Values(3, 4, 5));

}  // namespace

namespace {

// ------------------------------------------------------------ split rules

uint8_t flat(int32_t, int32_t, int32_t) { return 128; }
uint8_t constant_blocks(int32_t plane, int32_t x, int32_t y, int32_t log2) {
  const uint32_t s = static_cast<uint32_t>(x >> log2) * 2654435761u ^ static_cast<uint32_t>(y >> log2) * 40503u ^
                     static_cast<uint32_t>(plane) * 97u;
  return static_cast<uint8_t>(20 + (s * 2246822519u >> 24) % 216);
}

struct tree_t {
  int32_t min_depth = 9, max_depth = -1, nxn = 0;
};

struct SplitRules : IntraDecision {
  tree_t analyse(const picture_fn &f, int32_t level, int32_t qp) {
    load_picture(f);
    ctx->slice_qp = qp;
    start_ctu(1, 0, level);
    ctx->param.latency_mode = 0;
    analyse_ctu_fast(ctx);
    tree_t t;
    for (int32_t z = 0; z < 256; z++) {
      const int32_t d = 6 - ctx->maps->unit.cu_log2[z];
      t.min_depth = std::min(t.min_depth, d);
      t.max_depth = std::max(t.max_depth, d);
      t.nxn += ctx->maps->unit.part_nxn[z];
    }
    return t;
  }
};

picture_fn blocks_of(int32_t log2) {
  return [log2](int32_t c, int32_t x, int32_t y) { return constant_blocks(c, x, y, log2); };
}

// Levels as the CTU's setting: I slices are analysed one level lower.
TEST_F(SplitRules, FlatCtuIsSplitOnceAndStopsAt32x32) {
  for (int32_t level = 1; level <= 5; level++) {
    const tree_t t = analyse(flat, level, 30);
    EXPECT_EQ(t.min_depth, 1) << "level " << level;
    EXPECT_EQ(t.max_depth, 1) << "level " << level;
    EXPECT_EQ(ctx->nodes[0].split_mode, 2) << "level " << level;
  }
}

TEST_F(SplitRules, ConstantEightByEightBlocksGiveEightByEightCus) {
  for (int32_t level = 1; level <= 5; level++) {
    const tree_t t = analyse(blocks_of(3), level, 37);
    EXPECT_EQ(t.min_depth, 3) << "level " << level;
    EXPECT_EQ(t.max_depth, 3) << "level " << level;
    EXPECT_EQ(t.nxn, 0) << "level " << level;
  }
}

TEST_F(SplitRules, FourByFourPredictionUnitsOnlyFromAnalysisLevelThree) {
  // Constant 4x4 blocks want 4x4 prediction units; below analysis level 3
  // (settings 1-3 for I slices) an 8x8 CU is never split.
  for (int32_t level = 1; level <= 5; level++) {
    const tree_t t = analyse(blocks_of(2), level, 30);
    EXPECT_EQ(t.min_depth, 3) << "level " << level;
    if (level <= 3)
      EXPECT_EQ(t.nxn, 0) << "level " << level;
    else
      EXPECT_GT(t.nxn, 0) << "level " << level;
  }
  // Nor without the NxN setting.
  load_picture(blocks_of(2));
  ctx->slice_qp = 30;
  start_ctu(1, 0, 5);
  ctx->param.intra_nxn = 0;
  analyse_ctu_fast(ctx);
  for (int32_t z = 0; z < 256; z++) ASSERT_EQ(ctx->maps->unit.part_nxn[z], 0) << z;
}

TEST_F(SplitRules, SplitThresholdGrowsWithoutWrappingUpToQp51) {
  // The product of the QP factor and lambda passes 2^31 from QP 45 on.
  int64_t previous = 0;
  for (int32_t qp = 45; qp <= 51; qp++) {
    analyse(blocks_of(2), 2, qp);
    const int64_t want =
        ((8000 - 100 * (qp / 6)) * static_cast<int64_t>(ctx->ctu_lambda_ssd) + 32768) >> 14;
    EXPECT_EQ(ctx->split_threshold, static_cast<uint64_t>(want)) << "QP " << qp;
    EXPECT_GT(want, previous) << "QP " << qp;
    EXPECT_GT(want, int64_t{1} << 17) << "QP " << qp;
    previous = want;
  }
}

TEST_F(SplitRules, BelowAreaPlusThresholdNoSplitIsTried) {
  // Below analysis level 3 a CU is tried split only when its unsplit cost
  // reaches its area plus the threshold: with a threshold above every cost
  // the forced split of the 64x64 CU is all that remains.
  for (uint64_t threshold : {uint64_t{0}, uint64_t{1} << 40}) {
    load_picture(blocks_of(2));
    ctx->slice_qp = 30;
    start_ctu(1, 0, 2);
    ctx->cu_min_depth = 1;
    ctx->cu_max_depth = 4;
    ctx->cabac_est_save[0] = ctx->cabac.est;
    ctx->split_threshold = threshold;
    analyse_cu_fast_intra(ctx, ctx->nodes, ctx->lowres, 0, 0, 0, 6);
    int32_t deepest = 0;
    for (int32_t z = 0; z < 256; z++) deepest = std::max(deepest, 6 - ctx->maps->unit.cu_log2[z]);
    EXPECT_EQ(deepest, threshold ? 1 : 3) << "threshold " << threshold;
  }
}

}  // namespace
