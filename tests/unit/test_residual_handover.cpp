// An inter CU's residual kept from its trial must be exactly what coding
// the CU again gives: the search of its transform tree, which takes the
// unsplit root from the trial, and the committed CU costed from the trial,
// against the same steps coding everything themselves, with the level
// decision on so that every estimation state matters.  The kept trial must
// refuse whatever its coding did not read the same way.  And an intra CU
// costed from the blocks its trials left must cost as coded again.
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

struct ResidualHandover : ::testing::Test {
  row_context_holder_t holder{128, 64};
  encoder_t *ctx = nullptr;
  std::mt19937 rng{11};
  cabac_est_t start{};
  std::vector<uint8_t> prediction;  // the CU's planes, as ctu_rec holds them

  void SetUp() override {
    ctx = holder.ctx;
    ASSERT_NE(ctx, nullptr);
    clear_first_ctu_thorough(ctx);
  }

  cu_node_t &node(int32_t z, int32_t s) { return ctx->nodes[node_index(z, s)]; }

  // An unsplit merged 2Nx2N CU at QP qp with one list-0 vector, committed;
  // source and prediction differ by a texture that leaves levels to code.
  void set_up_cu(int32_t z, int32_t s, int32_t qp) {
    for (int32_t p = s + 1; p <= 6; p++) node(z, p).split = 1;
    cu_node_t &n = node(z, s);
    n.split = 0;
    n.tu_split = 0;
    n.pred_intra = 0;
    n.part_mode = 0;
    n.skip = 0;
    n.qp = qp;
    n.lambda_sad = 60;
    n.lambda_ssd = ctx->ctu_lambda_ssd;
    n.pu.p2n.merge_flag = 1;
    n.pu.p2n.merge_idx = 1;
    n.merge_idx = 1;
    n.pu.p2n.ref_idx[0] = 0;
    n.pu.p2n.ref_idx[1] = -2;
    n.pu.p2n.mv[0] = mv_make(5, -3);
    const int32_t x = 4 * zorder_x(z), y = 4 * zorder_y(z), size = 1 << s;
    cu_commit(ctx, ctx->nodes, z, x, y, s);
    cu_commit_transform_sizes(ctx, ctx->nodes, z, s);
    for (int32_t p = 0; p < 3; p++) {
      const int32_t c = p ? size / 2 : size, px = p ? x / 2 : x, py = p ? y / 2 : y;
      for (int32_t j = 0; j < c; j++)
        for (int32_t i = 0; i < c; i++) {
          const int32_t v = static_cast<int32_t>(rng() % 40);
          ctu_rec_at(ctx, p, px + i, py + j)[0] = static_cast<uint8_t>(100 + ((i * 7 + j * 3) & 31));
          ctu_src_at(ctx, p, px + i, py + j)[0] = static_cast<uint8_t>(ctu_rec_at(ctx, p, px + i, py + j)[0] + v - 20);
        }
    }
    prediction = planes(z, s);
    // Valid states (2 * (63 - pStateIdx) + valMps), the scratch copies
    // among them.
    for (int32_t i = 0; i < CABAC_NUM_CTX + 4; i++) start.state[i] = static_cast<uint8_t>(2 + rng() % 124);
    start.bits = 12345;
  }

  std::vector<uint8_t> planes(int32_t z, int32_t s) {
    std::vector<uint8_t> v;
    const int32_t x = 4 * zorder_x(z), y = 4 * zorder_y(z), size = 1 << s;
    for (int32_t p = 0; p < 3; p++) {
      const int32_t c = p ? size / 2 : size, px = p ? x / 2 : x, py = p ? y / 2 : y;
      for (int32_t j = 0; j < c; j++) {
        const uint8_t *row = ctu_rec_at(ctx, p, px, py + j);
        v.insert(v.end(), row, row + c);
      }
    }
    return v;
  }
  void put_prediction(int32_t z, int32_t s) {
    const int32_t x = 4 * zorder_x(z), y = 4 * zorder_y(z), size = 1 << s;
    size_t k = 0;
    for (int32_t p = 0; p < 3; p++) {
      const int32_t c = p ? size / 2 : size, px = p ? x / 2 : x, py = p ? y / 2 : y;
      for (int32_t j = 0; j < c; j++, k += static_cast<size_t>(c))
        std::memcpy(ctu_rec_at(ctx, p, px, py + j), prediction.data() + k, static_cast<size_t>(c));
    }
  }

  // The trial as the analysis runs it, kept in slot (the other slot
  // forgotten); its cost.
  uint32_t keep_trial(int32_t z, int32_t s, int32_t slot = TRIAL_MERGED) {
    cu_node_t &n = node(z, s);
    n.tu_split = 0;
    cu_commit_transform_sizes(ctx, ctx->nodes, z, s);
    put_prediction(z, s);
    ctx->cabac.est = start;
    const uint32_t r = cu_rd_cost_residual(ctx, n.qp, &n.lambda_sad, z, 4 * zorder_x(z), 4 * zorder_y(z), s, true);
    cu_trial_keep(ctx, ctx->nodes, z, s, slot, start);
    cu_trial_forget(ctx, s, slot == TRIAL_MERGED ? TRIAL_CODED : TRIAL_MERGED);
    return r;
  }

  struct outcome_t {
    uint32_t cost;
    int8_t tu_split;
    coding_outcome_t coding;
  };
  outcome_t outcome(int32_t z, int32_t s, uint32_t cost) {
    return {cost, node(z, s).tu_split,
            {ctx->cabac.est, planes(z, s), ctx->maps->unit, ctx->maps->cbf[node_index(z, s)]}};
  }
  static void expect_same(const outcome_t &a, const outcome_t &b) {
    EXPECT_EQ(a.cost, b.cost);
    EXPECT_EQ(a.tu_split, b.tu_split);
    expect_same_coding(a.coding, b.coding);
  }

  // The intra CU costed in place (with first_copies as given) against a
  // fresh coding from start.
  void expect_intra_in_place_as_coded_again(int32_t z, int32_t s, uint32_t lambda,
                                            const uint8_t *first_copies = nullptr) {
    const int32_t x = 4 * zorder_x(z), y = 4 * zorder_y(z);
    const uint32_t handed_cost = cu_rd_cost_intra_in_place(ctx, lambda, z, x, y, s, start, first_copies);
    const uint32_t handed_distortion = ctx->last_distortion;
    const outcome_t handed = outcome(z, s, handed_cost);
    ctx->cabac.est = start;
    const uint32_t fresh_cost = cu_rd_cost(ctx, lambda, z, x, y, s, 0);
    EXPECT_EQ(handed_distortion, ctx->last_distortion);
    expect_same(handed, outcome(z, s, fresh_cost));
  }
};

struct cu_case_t {
  int32_t z, s, qp;
};
constexpr cu_case_t cases[] = {{0, 5, 22}, {64, 4, 27}, {80, 4, 37}, {4, 3, 22}, {200, 3, 32}, {128, 5, 32}};

// Runs f(z, s, x, y, slot) on every case set up afresh, with either slot.
template <class F>
void for_each_case(ResidualHandover &t, F f) {
  for (const cu_case_t &c : cases)
    for (const int32_t slot : {TRIAL_MERGED, TRIAL_CODED}) {
      SCOPED_TRACE(testing::Message() << "CU " << (1 << c.s) << " at unit " << c.z << ", QP " << c.qp << ", slot "
                                      << slot);
      t.set_up_cu(c.z, c.s, c.qp);
      f(c.z, c.s, 4 * zorder_x(c.z), 4 * zorder_y(c.z), slot);
    }
}

TEST_F(ResidualHandover, SearchTakingTheKeptRootSearchesAsCodingItAgain) {
  int32_t coded = 0;
  for_each_case(*this, [&](int32_t z, int32_t s, int32_t x, int32_t y, int32_t slot) {
    outcome_t o[2];
    for (int32_t take = 0; take < 2; take++) {
      if (take) {
        coded += keep_trial(z, s, slot) < COST_NONE;
      } else {
        cu_trial_forget(ctx, s, TRIAL_MERGED);
        cu_trial_forget(ctx, s, TRIAL_CODED);
      }
      put_prediction(z, s);
      node(z, s).tu_split = 0;
      cu_commit_transform_sizes(ctx, ctx->nodes, z, s);
      ctx->cabac.est = start;
      EXPECT_EQ(cu_trial_residual_kept(ctx, z, s, slot), take != 0);
      transform_tree_search(ctx, ctx->nodes, z, x, y, s, 3 | TREE_TAKE_KEPT_ROOT, 1);
      o[take] = outcome(z, s, node(z, s).tu_tree_cost);
    }
    expect_same(o[1], o[0]);
  });
  EXPECT_GE(coded, 8) << "too few trials coded a residual";
}

TEST_F(ResidualHandover, CuCostedFromTheKeptTrialCostsAsCodedAgain) {
  for_each_case(*this, [&](int32_t z, int32_t s, int32_t x, int32_t y, int32_t slot) {
    cu_node_t &n = node(z, s);
    if (keep_trial(z, s, slot) >= COST_NONE) return;
    // The decision differs from the trial in syntax the coding does not
    // read: the searched tree's residual mode.
    n.residual_mode = 2;
    cu_commit(ctx, ctx->nodes, z, x, y, s);
    put_prediction(z, s);
    ctx->cabac.est = start;
    const uint32_t fresh_cost = cu_rd_cost_nopred(ctx, n.lambda_ssd, z, x, y, s, 0);
    const uint32_t fresh_distortion = ctx->last_distortion;
    const outcome_t fresh = outcome(z, s, fresh_cost);
    // Anything left in the buffer is put back by the kept trial.
    put_prediction(z, s);
    ctx->cabac.est = start;
    ASSERT_TRUE(cu_trial_residual_kept(ctx, z, s, slot));
    const uint32_t kept_cost = cu_rd_cost_kept(ctx, ctx->nodes, z, x, y, s, slot, start);
    EXPECT_EQ(ctx->last_distortion, fresh_distortion);
    expect_same(outcome(z, s, kept_cost), fresh);
  });
}

// Each thing the coding reads, changed after the trial, makes the kept
// trial useless; the transform split flag's contexts, which no block reads,
// do not.
TEST_F(ResidualHandover, KeptTrialRefusesWhatItsCodingDidNotRead) {
  const int32_t z = 64, s = 4, x = 32, y = 0;
  set_up_cu(z, s, 27);
  ASSERT_LT(keep_trial(z, s), COST_NONE);
  cu_node_t &n = node(z, s);
  auto kept = [&]() {
    ctx->cabac.est = start;
    return cu_trial_residual_kept(ctx, z, s, TRIAL_MERGED);
  };
  ASSERT_TRUE(kept());
  auto refuses_state = [&](int32_t i) {
    const uint8_t was = start.state[i];
    start.state[i] = static_cast<uint8_t>(was ^ 2);
    const bool k = kept();
    start.state[i] = was;
    return !k;
  };
  for (const int32_t i : {+CTX_CBF_LUMA, CTX_CBF_LUMA + 1, +CTX_CBF_CHROMA, CTX_SIG_COEFF + 9, CTX_LAST_X_PREFIX + 2,
                          CTX_CODED_SUB_BLOCK + 1, CTX_GREATER1 + 17, CTX_GREATER2 + 5, CABAC_NUM_CTX + 2})
    EXPECT_TRUE(refuses_state(i)) << "state " << i;
  for (int32_t i = CTX_SPLIT_TRANSFORM; i < CTX_SPLIT_TRANSFORM + 3; i++)
    EXPECT_FALSE(refuses_state(i)) << "transform split flag state " << i;
  ASSERT_TRUE(kept());

  n.pu.p2n.mv[0] = mv_make(5, -2);
  cu_commit(ctx, ctx->nodes, z, x, y, s);
  EXPECT_FALSE(kept()) << "another vector";
  n.pu.p2n.mv[0] = mv_make(5, -3);
  n.pu.p2n.ref_idx[1] = 0;
  cu_commit(ctx, ctx->nodes, z, x, y, s);
  EXPECT_FALSE(kept()) << "bi-prediction";
  n.pu.p2n.ref_idx[1] = -2;
  n.qp = 28;
  cu_commit(ctx, ctx->nodes, z, x, y, s);
  EXPECT_FALSE(kept()) << "another QP";
  n.qp = 27;
  cu_commit(ctx, ctx->nodes, z, x, y, s);
  ASSERT_TRUE(kept());

  ctx->use_rdoq_alt = 0;
  EXPECT_FALSE(kept()) << "the other level decision";
  ctx->use_rdoq_alt = 1;
  ctx->ctu_lambda_ssd++;
  EXPECT_FALSE(kept()) << "another lambda";
  ctx->ctu_lambda_ssd--;
  ctx->ctu_x = 1;
  EXPECT_FALSE(kept()) << "another CTU";
  ctx->ctu_x = 0;
  ctx->cur_input->frame_number++;
  EXPECT_FALSE(kept()) << "another picture";
  ctx->cur_input->frame_number--;
  EXPECT_FALSE(cu_trial_residual_kept(ctx, z + 16, s, TRIAL_MERGED)) << "another CU";
  node(z, s).tu_split = 1;
  cu_commit_transform_sizes(ctx, ctx->nodes, z, s);
  EXPECT_FALSE(kept()) << "a split transform tree";
  node(z, s).tu_split = 0;
  cu_commit_transform_sizes(ctx, ctx->nodes, z, s);
  ASSERT_TRUE(kept());
  cu_trial_forget(ctx, s, TRIAL_MERGED);
  EXPECT_FALSE(kept()) << "forgotten";
}

// An intra CU's decided chroma put back from its trials (or left by its
// one search), and its luma left by the search where it is one block
// (coded again alone otherwise), costs as coding the whole CU again: the
// order of the analysis (the luma search, the derived chroma mode's trial
// kept, another mode's trial) then the CU costed in place, against a fresh
// coding from the same states.
TEST_F(ResidualHandover, IntraCuFromItsTrialsCostsAsCodedAgain) {
  constexpr cu_case_t intra_cases[] = {{48, 4, 22}, {48, 4, 37}, {176, 3, 27}, {180, 3, 37},
                                       {192, 5, 32}, {192, 5, 22}, {60, 3, 22}, {240, 4, 30}};
  int32_t one_block = 0, split = 0;
  for (const cu_case_t &c : intra_cases)
    for (const int32_t mode : {0, 1, 10, 26, 7, 18}) {
      // Two chroma trials as the intra analysis runs them, or (odd modes)
      // one search of the decided chroma mode as the inter analysis does.
      const bool trials = mode % 2 == 0;
      SCOPED_TRACE(testing::Message() << "CU " << (1 << c.s) << " at unit " << c.z << ", QP " << c.qp << ", mode "
                                      << mode);
      set_up_cu(c.z, c.s, c.qp);
      const int32_t x = 4 * zorder_x(c.z), y = 4 * zorder_y(c.z);
      cu_node_t &n = node(c.z, c.s);
      // A low lambda at the low QPs, where the luma tree then splits.
      ctx->ctu_lambda_ssd = n.lambda_ssd = c.qp < 30 ? 300 : 9000;
      n.pred_intra = 1;
      n.luma_dir = mode;
      n.chroma_dir = 4;
      n.pu.p2n.merge_flag = 0;
      cu_commit(ctx, ctx->nodes, c.z, x, y, c.s);
      ctx->cabac.est = start;
      transform_tree_search(ctx, ctx->nodes, c.z, x, y, c.s, 1, 0);
      const cabac_est_t after_luma = ctx->cabac.est;
      for (const int32_t chroma : {4, 2}) {
        if (chroma != 4 && !trials) break;
        ctx->cabac.est = after_luma;
        n.chroma_dir = chroma;
        cu_commit_chroma_dir(ctx, &n, c.z, c.s);
        transform_tree_search(ctx, ctx->nodes, c.z, x, y, c.s, 2, 0);
        if (chroma == 4) cu_chroma_keep(ctx, c.z, c.s);
      }
      n.chroma_dir = 4;
      cu_commit(ctx, ctx->nodes, c.z, x, y, c.s);
      if (trials) cu_chroma_put_back(ctx, c.z, c.s);
      if (!n.tu_split && ctx->maps->unit.tu_log2[c.z] == c.s)
        one_block++;
      else
        split++;
      expect_intra_in_place_as_coded_again(c.z, c.s, n.lambda_ssd);
    }
  EXPECT_GT(one_block, 4);
  EXPECT_GT(split, 4);
}

// An NxN 8x8 CU whose first unit's block is in place as that unit's search
// left it (coded from the CU's starting states, as coding the CU codes it)
// is costed in place with the quantiser's scratch states that coding left,
// and costs as coding the whole CU again, whatever states the other units'
// searches left behind.
TEST_F(ResidualHandover, NxnCuWithItsFirstBlockInPlaceCostsAsCodedAgain) {
  constexpr cu_case_t nxn_cases[] = {{4, 3, 22}, {200, 3, 32}, {60, 3, 27}, {176, 3, 37}, {0, 3, 22}, {12, 3, 30}};
  int32_t moved = 0;
  for (const cu_case_t &c : nxn_cases)
    for (const int32_t mode : {0, 1, 10, 26, 7, 18}) {
      SCOPED_TRACE(testing::Message() << "CU at unit " << c.z << ", QP " << c.qp << ", first mode " << mode);
      set_up_cu(c.z, c.s, c.qp);
      const int32_t x = 4 * zorder_x(c.z), y = 4 * zorder_y(c.z);
      cu_node_t &n = node(c.z, c.s);
      ctx->ctu_lambda_ssd = n.lambda_ssd = c.qp < 30 ? 300 : 9000;
      n.pred_intra = 1;
      n.split = 1;
      n.luma_dir = mode;
      n.chroma_dir = 4;
      for (int32_t k = 0; k < 4; k++) {
        cu_node_t &u = node(c.z + k, 2);
        u.split = 0;
        u.tu_split = 0;
        u.pred_intra = 1;
        u.part_mode = 0;
        u.luma_dir = (mode + 9 * k) % 35;
        u.chroma_dir = 4;
        u.qp = c.qp;
        u.lambda_ssd = n.lambda_ssd;
      }
      cu_commit(ctx, ctx->nodes, c.z, x, y, c.s);
      ASSERT_EQ(ctx->maps->unit.tu_log2[c.z], 2);
      // The chroma as coding the CU leaves it (the analysis puts its trial
      // back), with its scratch states.
      ctx->cabac.est = start;
      intra_cu_code(ctx, x, y, c.s, c.qp);
      uint8_t chroma_copies[2] = {ctx->cabac.est.state[CABAC_NUM_CTX + 1], ctx->cabac.est.state[CABAC_NUM_CTX + 3]};
      // The first unit searched from the CU's starting states, the others
      // from states of their own.
      ctx->cabac.est = start;
      tu_unit_search(ctx, &node(c.z, 2), c.z, x, y, node(c.z, 2).luma_dir, 0, TREE_NO_BOUND);
      const uint8_t first_copies[2] = {ctx->cabac.est.state[CABAC_NUM_CTX], ctx->cabac.est.state[CABAC_NUM_CTX + 2]};
      moved += first_copies[0] != start.state[CABAC_NUM_CTX] || first_copies[1] != start.state[CABAC_NUM_CTX + 2];
      for (int32_t k = 1; k < 4; k++) {
        for (int32_t i = 0; i < CABAC_NUM_CTX + 4; i++) ctx->cabac.est.state[i] = static_cast<uint8_t>(2 + rng() % 124);
        tu_unit_search(ctx, &node(c.z + k, 2), c.z + k, x + (k & 1) * 4, y + (k >> 1) * 4, node(c.z + k, 2).luma_dir,
                       0, TREE_NO_BOUND);
      }
      ctx->cabac.est.state[CABAC_NUM_CTX + 1] = chroma_copies[0];
      ctx->cabac.est.state[CABAC_NUM_CTX + 3] = chroma_copies[1];
      expect_intra_in_place_as_coded_again(c.z, c.s, n.lambda_ssd, first_copies);
    }
  EXPECT_GT(moved, 10);  // first blocks whose coding moved the scratch states
}

}  // namespace
