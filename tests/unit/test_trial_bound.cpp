// An inter trial that stops once it cannot cost less than its bound must
// change nothing else: unstopped, it costs and leaves everything exactly as
// coding and costing the CU whole does (the parts of its syntax counted in
// another order); stopped, what it returns lies between the bound and the
// whole cost; and the best of several trials, each bounded by the best so
// far, is the best of the same trials coded whole.  The level decision is
// on, so every estimation state the counting advances matters.
#include <gtest/gtest.h>

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

// A CU of the tests: its place and size, QP, partition (0 2Nx2N merged,
// 1 2NxN with two merged units, 2 Nx2N, 3 2Nx2N merged with its transform
// tree split once) and the spread of the residual around the prediction.
struct trial_case_t {
  int32_t z, s, qp, shape, spread;
};
constexpr trial_case_t cases[] = {{0, 5, 22, 0, 40},  {64, 4, 27, 0, 24}, {80, 4, 37, 1, 40}, {4, 3, 22, 0, 12},
                                  {200, 3, 32, 2, 60}, {128, 5, 32, 3, 30}, {16, 4, 22, 3, 50}, {192, 5, 27, 1, 8},
                                  {96, 4, 30, 2, 30},  {8, 3, 27, 3, 70}};

struct TrialBound : ::testing::Test {
  row_context_holder_t holder{128, 64};
  encoder_t *ctx = nullptr;
  std::mt19937 rng{26};
  cabac_est_t start{};

  void SetUp() override {
    ctx = holder.ctx;
    ASSERT_NE(ctx, nullptr);
    clear_first_ctu_thorough(ctx);
    ctx->slice_type_code = 1;
  }

  cu_node_t &node(int32_t z, int32_t s) { return ctx->nodes[node_index(z, s)]; }
  static int32_t x_of(const trial_case_t &c) { return 4 * zorder_x(c.z); }
  static int32_t y_of(const trial_case_t &c) { return 4 * zorder_y(c.z); }

  // The case's CU committed, with merged units (merge index `merge_idx`)
  // and its transform tree; a fresh source around the prediction in place
  // (the case's spread unless another is given) and fresh valid states (2 * (63 - pStateIdx) + valMps, the scratch
  // copies among them).
  void set_up(const trial_case_t &c, int32_t merge_idx = 1, int32_t spread = 0) {
    if (!spread) spread = c.spread;
    for (int32_t p = c.s + 1; p <= 6; p++) node(c.z, p).split = 1;
    cu_node_t &n = node(c.z, c.s);
    n.split = 0;
    n.pred_intra = 0;
    n.skip = 0;
    n.qp = c.qp;
    n.lambda_sad = 60;
    n.lambda_ssd = ctx->ctu_lambda_ssd;
    n.part_mode = c.shape == 1 || c.shape == 2 ? static_cast<uint32_t>(c.shape) : 0;
    n.pu.p2n.merge_flag = 1;
    n.pu.p2n.merge_idx = static_cast<uint8_t>(merge_idx);
    n.merge_idx = static_cast<uint32_t>(merge_idx);
    n.pu.p2n.ref_idx[0] = 0;
    n.pu.p2n.ref_idx[1] = -2;
    n.pu.p2n.mv[0] = mv_make(5, -3);
    for (pu_pair_t *pp : {&n.pu.p2nxn, &n.pu.pnx2n})
      for (int32_t k = 0; k < 2; k++) {
        pp->merge_flag[k] = 1;
        pp->merge_idx[k] = static_cast<uint8_t>((merge_idx + k) % 5);
        pp->ref_idx[k][0] = 0;
        pp->ref_idx[k][1] = -2;
        pp->mv[k][0] = mv_make(static_cast<int16_t>(4 * k), -3);
        pp->mv[k][1] = 0;
      }
    n.tu_split = c.shape == 3 ? 1 : 0;
    for (int32_t k = 0; k < 4 && c.shape == 3; k++) {
      cu_node_t &t = node(c.z + k * child_step(c.s), c.s - 1);
      t.tu_split = 0;
    }
    cu_commit(ctx, ctx->nodes, c.z, x_of(c), y_of(c), c.s);
    cu_commit_transform_sizes(ctx, ctx->nodes, c.z, c.s);
    const int32_t size = 1 << c.s;
    for (int32_t p = 0; p < 3; p++) {
      const int32_t w = p ? size / 2 : size, px = p ? x_of(c) / 2 : x_of(c), py = p ? y_of(c) / 2 : y_of(c);
      for (int32_t j = 0; j < w; j++)
        for (int32_t i = 0; i < w; i++) {
          const int32_t v = static_cast<int32_t>(rng() % static_cast<uint32_t>(spread)) - spread / 2;
          const int32_t pred = 100 + ((i * 7 + j * 3) & 31);
          ctu_rec_at(ctx, p, px + i, py + j)[0] = static_cast<uint8_t>(pred);
          ctu_src_at(ctx, p, px + i, py + j)[0] = static_cast<uint8_t>(pred + v + (i < w / 2 ? 6 : -6));
        }
    }
    prediction = planes(c);
    for (int32_t i = 0; i < CABAC_NUM_CTX + 4; i++) start.state[i] = static_cast<uint8_t>(2 + rng() % 124);
    start.bits = 4321;
  }

  std::vector<uint8_t> prediction;
  std::vector<uint8_t> planes(const trial_case_t &c) {
    std::vector<uint8_t> v;
    const int32_t size = 1 << c.s;
    for (int32_t p = 0; p < 3; p++) {
      const int32_t w = p ? size / 2 : size, px = p ? x_of(c) / 2 : x_of(c), py = p ? y_of(c) / 2 : y_of(c);
      for (int32_t j = 0; j < w; j++) {
        const uint8_t *row = ctu_rec_at(ctx, p, px, py + j);
        v.insert(v.end(), row, row + w);
      }
    }
    return v;
  }
  // The prediction back in place and the states back at the start.
  void rewind(const trial_case_t &c) {
    const int32_t size = 1 << c.s;
    size_t k = 0;
    for (int32_t p = 0; p < 3; p++) {
      const int32_t w = p ? size / 2 : size, px = p ? x_of(c) / 2 : x_of(c), py = p ? y_of(c) / 2 : y_of(c);
      for (int32_t j = 0; j < w; j++, k += static_cast<size_t>(w))
        std::memcpy(ctu_rec_at(ctx, p, px, py + j), prediction.data() + k, static_cast<size_t>(w));
    }
    ctx->cabac.est = start;
  }

  using outcome_t = costed_outcome_t;
  outcome_t outcome(const trial_case_t &c, uint32_t cost) {
    return {cost, ctx->last_distortion,
            {ctx->cabac.est, planes(c), ctx->maps->unit, ctx->maps->cbf[node_index(c.z, c.s)]}};
  }
  static void expect_same(const outcome_t &a, const outcome_t &b) { expect_same_costed(a, b); }

  // The CU coded and costed whole over the prediction in place: a merged
  // 2Nx2N CU as the merge trials cost it (COST_NONE without a coded
  // level), any other as the partition trials do.
  outcome_t whole(const trial_case_t &c) {
    rewind(c);
    cu_node_t &n = node(c.z, c.s);
    const uint32_t cost =
        n.part_mode == 0 ? cu_rd_cost_residual(ctx, c.qp, &n.lambda_sad, c.z, x_of(c), y_of(c), c.s, true)
                         : cu_rd_cost_nopred(ctx, n.lambda_ssd, c.z, x_of(c), y_of(c), c.s, 0);
    return outcome(c, cost);
  }
  int32_t flags_of(const trial_case_t &c, bool head_first) {
    return (node(c.z, c.s).part_mode == 0 ? BOUNDED_NONE_IF_EMPTY : 0) | (head_first ? BOUNDED_HEAD_FIRST : 0);
  }
  uint32_t bounded(const trial_case_t &c, uint32_t bound, bool head_first, bool *cut) {
    rewind(c);
    return cu_rd_cost_bounded(ctx, node(c.z, c.s).lambda_ssd, c.z, x_of(c), y_of(c), c.s, c.qp, bound,
                              flags_of(c, head_first), cut);
  }
};

#define TRACE_CASE(c, head_first)                                                                              \
  SCOPED_TRACE(testing::Message() << "CU " << (1 << (c).s) << " at unit " << (c).z << ", QP " << (c).qp       \
                                  << ", shape " << (c).shape << ", spread " << (c).spread << ", head first " \
                                  << (head_first))

TEST_F(TrialBound, UnboundedTrialCostsAndCodesAsTheWholeCoding) {
  int32_t coded = 0;
  for (const trial_case_t &c : cases)
    for (const bool head_first : {false, true}) {
      TRACE_CASE(c, head_first);
      set_up(c);
      const outcome_t w = whole(c);
      coded += w.cost < COST_NONE;
      bool cut = true;
      const uint32_t cost = bounded(c, COST_NONE, head_first, &cut);
      EXPECT_FALSE(cut);
      expect_same(outcome(c, cost), w);
    }
  EXPECT_GE(coded, 14) << "too few trials coded a level";
}

TEST_F(TrialBound, StopsOnlyWhereTheTrialCannotCostLessThanTheBound) {
  int32_t cuts = 0, runs = 0;
  for (const trial_case_t &c : cases)
    for (const bool head_first : {false, true}) {
      TRACE_CASE(c, head_first);
      set_up(c);
      const outcome_t w = whole(c);
      if (w.cost >= COST_NONE) continue;
      const uint32_t f = w.cost;
      for (const uint32_t bound : {0u, 1u, f / 4, f / 2, 3 * f / 4, 7 * f / 8, f - 1, f, f + 1, 2 * f}) {
        SCOPED_TRACE(testing::Message() << "bound " << bound << " of cost " << f);
        bool cut = false;
        const uint32_t cost = bounded(c, bound, head_first, &cut);
        runs++;
        if (cut) {
          cuts++;
          EXPECT_GE(cost, bound);
          EXPECT_LE(cost, f);
        } else {
          expect_same(outcome(c, cost), w);
        }
        // The first luma block of a residual that is not the prediction
        // already costs something.
        if (bound <= 1) {
          EXPECT_TRUE(cut);
        }
      }
    }
  EXPECT_GT(cuts, runs / 3);
}

// Trials of several candidates (merge indices, each with its own
// residual), the best kept by strict comparison: bounding each by the
// best so far finds the same candidate at the same cost.
TEST_F(TrialBound, BestOfBoundedTrialsIsTheBestOfWholeTrials) {
  int32_t stopped = 0;
  for (const trial_case_t &c : cases) {
    TRACE_CASE(c, false);
    std::mt19937 candidates{static_cast<uint32_t>(c.z * 7 + c.s)};
    int32_t best_whole = -1, best_bounded = -1;
    uint32_t cost_whole = COST_NONE, cost_bounded = COST_NONE;
    cabac_est_t first{};
    for (int32_t i = 0; i < 5; i++) {
      rng.seed(candidates());
      // Candidates from as good as the case to much worse, in no order.
      set_up(c, i, c.spread + 12 * ((3 * i) % 5));
      // Every candidate starts from the node's states.
      if (i == 0) first = start;
      start = first;
      const outcome_t w = whole(c);
      if (w.cost < cost_whole) {
        cost_whole = w.cost;
        best_whole = i;
      }
      bool cut = false;
      const uint32_t b = bounded(c, cost_bounded, false, &cut);
      stopped += cut;
      if (b < cost_bounded) {
        EXPECT_FALSE(cut);
        cost_bounded = b;
        best_bounded = i;
      }
    }
    EXPECT_EQ(best_bounded, best_whole);
    EXPECT_EQ(cost_bounded, cost_whole);
  }
  EXPECT_GT(stopped, 3) << "too few trials stopped";
}

}  // namespace
