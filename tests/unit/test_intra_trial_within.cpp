// An intra mode trial that only has to cost no more than the best so far
// stops once it cannot: within its limit it costs and leaves everything
// exactly as coding and costing the CU whole does (its syntax counted in
// parts); above it, what it returns lies between the limit and the whole
// cost; and the best of several modes, each limited by the best so far
// (a tie going to the later mode), is the best of the same modes coded
// whole.  The level decision is on, so every estimation state the counting
// advances matters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "analysis/decision_common.h"
#include "rdo/block_coding.h"
#include "rdo/cu_commit.h"
#include "rdo/rd_cost.h"
#include "tests/unit/coding_outcome.h"
#include "tests/unit/row_context.h"

namespace {

// A CU of the tests: its CTU-relative luma place and size, QP, luma mode,
// chroma syntax (4: the luma's) and the spread of the source around a
// smooth picture.
struct intra_case_t {
  int32_t x, y, s, qp, mode, chroma, spread;
  int32_t z() const { return zorder_of(x >> 2, y >> 2); }
};
constexpr intra_case_t cases[] = {
    {32, 0, 5, 22, 0, 4, 40},  {16, 16, 4, 27, 26, 4, 30}, {48, 16, 4, 37, 10, 1, 60}, {8, 8, 3, 22, 1, 4, 20},
    {40, 56, 3, 32, 18, 0, 70}, {0, 32, 5, 32, 34, 4, 24},  {32, 48, 4, 22, 2, 3, 50}, {24, 8, 3, 27, 30, 2, 90},
    {32, 32, 5, 27, 7, 4, 12}, {48, 48, 4, 30, 22, 4, 36}};

struct IntraTrialWithin : ::testing::Test {
  row_context_holder_t holder{128, 64};
  encoder_t *ctx = holder.ctx;
  std::mt19937 rng{41};
  cabac_est_t start{};
  std::vector<uint8_t> picture;  // the CTU's reconstructed planes before the trial

  // A P picture, so that the CU's skip and prediction-mode flags count too.
  void SetUp() override {
    ASSERT_NE(ctx, nullptr);
    clear_first_ctu_thorough(ctx);
    ctx->slice_type_code = 1;
  }
  cu_node_t &node_of(const intra_case_t &c) { return ctx->nodes[node_index(c.z(), c.s)]; }

  // The CTU's reconstructed planes, read and written back.
  std::vector<uint8_t> planes() {
    std::vector<uint8_t> v;
    for (int32_t p = 0; p < 3; p++) {
      const int32_t w = p ? 32 : 64;
      for (int32_t j = 0; j < w; j++) {
        const uint8_t *row = ctu_rec_at(ctx, p, 0, j);
        v.insert(v.end(), row, row + w);
      }
    }
    return v;
  }
  void put_planes(const std::vector<uint8_t> &v) {
    size_t k = 0;
    for (int32_t p = 0; p < 3; p++) {
      const int32_t w = p ? 32 : 64;
      for (int32_t j = 0; j < w; j++, k += static_cast<size_t>(w))
        std::memcpy(ctu_rec_at(ctx, p, 0, j), v.data() + k, static_cast<size_t>(w));
    }
  }

  // The case's CU committed as an intra CU of one transform block with the
  // given luma mode; a fresh source (the case's spread unless another is
  // given), fresh neighbours and fresh valid states (2 * (63 - pStateIdx) +
  // valMps, the scratch copies among them).
  void set_up(const intra_case_t &c, int32_t spread = 0) {
    if (!spread) spread = c.spread;
    for (int32_t p = c.s + 1; p <= 6; p++) ctx->nodes[node_index(c.z(), p)].split = 1;
    for (int32_t p = 0; p < 3; p++) {
      const int32_t w = p ? 32 : 64;
      for (int32_t j = 0; j < w; j++)
        for (int32_t i = 0; i < w; i++) {
          const int32_t smooth = 60 + ((3 * i + 5 * j) >> (p ? 0 : 1)) + 20 * p;
          const int32_t v = static_cast<int32_t>(rng() % static_cast<uint32_t>(spread)) - spread / 2;
          ctu_src_at(ctx, p, i, j)[0] = static_cast<uint8_t>(std::clamp(smooth + v, 0, 255));
          ctu_rec_at(ctx, p, i, j)[0] = static_cast<uint8_t>(std::clamp(smooth + v / 2 + 3, 0, 255));
        }
    }
    picture = planes();
    for (int32_t i = 0; i < CABAC_NUM_CTX + 4; i++) start.state[i] = static_cast<uint8_t>(2 + rng() % 124);
    start.bits = 1234;
    commit(c, c.mode);
  }
  void commit(const intra_case_t &c, int32_t mode) {
    cu_node_t &n = node_of(c);
    n.split = 0;
    n.skip = 0;
    n.pred_intra = 1;
    n.part_mode = 0;
    n.tu_split = 0;
    n.luma_dir = mode;
    n.chroma_dir = c.chroma;
    n.qp = c.qp;
    // The chroma distortion's weight follows the CTU's QP.
    ctx->ctu_qp = c.qp;
    n.lambda_sad = 60;
    n.lambda_ssd = ctx->ctu_lambda_ssd;
    cu_commit(ctx, ctx->nodes, c.z(), c.x, c.y, c.s);
    cu_commit_transform_sizes(ctx, ctx->nodes, c.z(), c.s);
  }
  // The neighbours and the CU's samples back as before any trial, and the
  // states back at the start.
  void rewind() {
    put_planes(picture);
    ctx->cabac.est = start;
  }

  using outcome_t = costed_outcome_t;
  outcome_t outcome(const intra_case_t &c, uint32_t cost) {
    return {cost, ctx->last_distortion,
            {ctx->cabac.est, planes(), ctx->maps->unit, ctx->maps->cbf[node_index(c.z(), c.s)]}};
  }

  outcome_t whole(const intra_case_t &c) {
    rewind();
    const uint32_t cost = cu_rd_cost(ctx, node_of(c).lambda_ssd, c.z(), c.x, c.y, c.s, 0);
    return outcome(c, cost);
  }
  uint32_t within(const intra_case_t &c, uint32_t limit) {
    rewind();
    return cu_rd_cost_intra_within(ctx, node_of(c).lambda_ssd, c.z(), c.x, c.y, c.s, limit);
  }
};

#define TRACE_CASE(c)                                                                                     \
  SCOPED_TRACE(testing::Message() << "CU " << (1 << (c).s) << " at " << (c).x << "," << (c).y << ", QP " << (c).qp \
                                  << ", mode " << (c).mode << ", chroma " << (c).chroma << ", spread "   \
                                  << (c).spread)

TEST_F(IntraTrialWithin, TrialWithinItsLimitCostsAndCodesAsTheWholeCoding) {
  int32_t chroma_coded = 0;
  for (const intra_case_t &c : cases) {
    TRACE_CASE(c);
    set_up(c);
    const outcome_t w = whole(c);
    ASSERT_LT(w.cost, COST_NONE);
    chroma_coded += (ctx->maps->unit.cbf[c.z()] & 6) != 0;
    for (const uint32_t limit : {w.cost, w.cost + 1, 2 * w.cost, COST_NONE - 1, COST_NONE}) {
      SCOPED_TRACE(testing::Message() << "limit " << limit << " of cost " << w.cost);
      const uint32_t cost = within(c, limit);
      expect_same_costed(outcome(c, cost), w);
    }
  }
  EXPECT_GE(chroma_coded, 5) << "too few trials coded a chroma level";
}

TEST_F(IntraTrialWithin, TrialAboveItsLimitReturnsACostBetweenTheLimitAndItsOwn) {
  int32_t stopped = 0, runs = 0;
  for (const intra_case_t &c : cases) {
    TRACE_CASE(c);
    set_up(c);
    const uint32_t f = whole(c).cost;
    for (const uint32_t limit : {0u, f / 4, f / 2, 3 * f / 4, 7 * f / 8, f - 1}) {
      SCOPED_TRACE(testing::Message() << "limit " << limit << " of cost " << f);
      const uint32_t cost = within(c, limit);
      runs++;
      EXPECT_GT(cost, limit);
      EXPECT_LE(cost, f);
      stopped += cost < f;
    }
  }
  EXPECT_GT(stopped, runs / 2) << "too few trials stopped early";
}

// Without lambda and with flat chroma a trial costs its luma distortion
// alone, all of it known before the chroma blocks are coded: one whose
// limit is exactly that cost may still win, so it is coded whole.
TEST_F(IntraTrialWithin, TrialCostingExactlyItsLimitIsCodedWhole) {
  for (const intra_case_t &c : cases) {
    TRACE_CASE(c);
    set_up(c);
    for (int32_t p = 1; p < 3; p++)
      for (int32_t j = 0; j < 32; j++)
        for (int32_t i = 0; i < 32; i++) ctu_src_at(ctx, p, i, j)[0] = ctu_rec_at(ctx, p, i, j)[0] = 90;
    picture = planes();
    ctx->ctu_lambda_ssd = 0;
    commit(c, c.mode);
    const outcome_t w = whole(c);
    ASSERT_EQ(w.cost, w.distortion);
    expect_same_costed(outcome(c, within(c, w.cost)), w);
    ctx->ctu_lambda_ssd = 9000;
  }
}

// Several modes tried one after another, each winning at a cost no higher
// than the best so far: limiting each trial by that best finds the same
// mode at the same cost.
TEST_F(IntraTrialWithin, BestOfLimitedTrialsIsTheBestOfWholeTrials) {
  int32_t stopped = 0;
  for (const intra_case_t &c : cases) {
    TRACE_CASE(c);
    set_up(c);
    int32_t best_whole = -1, best_within = -1;
    uint32_t cost_whole = COST_NONE, cost_within = COST_NONE;
    for (const int32_t mode : {c.mode, 0, 1, 10, 26, 18, 2, 34, c.mode}) {
      commit(c, mode);
      const uint32_t w = whole(c).cost;
      if (best_whole < 0 || w <= cost_whole) {
        cost_whole = w;
        best_whole = mode;
      }
      const uint32_t b = best_within < 0 ? within(c, COST_NONE) : within(c, cost_within);
      if (best_within < 0 || b <= cost_within) {
        EXPECT_EQ(b, w) << "mode " << mode;
        cost_within = b;
        best_within = mode;
      } else {
        stopped += b < w;
      }
    }
    EXPECT_EQ(best_within, best_whole);
    EXPECT_EQ(cost_within, cost_whole);
  }
  EXPECT_GE(stopped, 4) << "too few trials stopped";
}

}  // namespace
