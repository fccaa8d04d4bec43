// The memo of recent quantisations (rdo/quant_memo.h) behind
// transform_block_code: a block repeated with the same coefficients,
// parameters and residual context states gives what deciding it again
// gives (levels, count, every state byte, the reconstruction), and any
// change to what the quantiser reads (a residual context, a copied state,
// lambda, QP, plane, scan) is decided afresh rather than taken from the memo.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "analysis/analysis_tables.h"
#include "bitstream/cabac.h"
#include "encoder/encoder.h"
#include "rdo/block_coding.h"
#include "rdo/quant_memo.h"
#include "tests/unit/row_context.h"

namespace {

struct outcome_t {
  uint32_t nz;
  std::vector<int16_t> levels;
  std::vector<uint8_t> states, rec;
};

struct QuantMemo : ::testing::Test {
  encoder_t *enc = nullptr, *ctx = nullptr;
  std::mt19937 rng{2024};

  void SetUp() override {
    ctx = open_row_context(64, 64, &enc);
    ASSERT_NE(ctx, nullptr);
    ASSERT_NE(ctx->quant_memo, nullptr);
    ctx->param.complexity = QUANT_MEMO_MAX_COMPLEXITY;
    ctx->param.rdoq = 1;
    ctx->pps->sign_data_hiding = 1;
    ctx->use_rdoq_alt = 0;
    std::memset(ctx->maps, 0, sizeof(ctu_maps_t));
    cabac_init_contexts(&ctx->cabac.est, 2, 30, 0);
    for (int32_t y = 0; y < 96; y++)
      for (int32_t x = 0; x < SRC_STRIDE; x++) ctx->ctu_src[y * SRC_STRIDE + x] = static_cast<uint8_t>(rng());
  }
  void TearDown() override { encoder_close(enc); }

  // Codes the block at (x, y) of a prediction of `pred` with or without the
  // memo, from the same reconstruction and states, and returns what it left.
  outcome_t code(bool memo, int32_t plane, int32_t x, int32_t y, int32_t log2, int32_t qp, int32_t intra, int32_t mode,
                 const std::vector<uint8_t> &pred, const cabac_est_t &est) {
    std::memcpy(ctx->ctu_rec, pred.data(), pred.size());
    ctx->cabac.est = est;
    quant_memo_t *kept = ctx->quant_memo;
    if (!memo) ctx->quant_memo = nullptr;
    outcome_t o;
    o.levels.assign(size_t{1} << (2 * log2), 0);
    o.nz = transform_block_code(ctx, plane, x, y, log2, qp, intra, mode, o.levels.data());
    ctx->quant_memo = kept;
    o.states.assign(ctx->cabac.est.state, ctx->cabac.est.state + sizeof ctx->cabac.est.state);
    o.rec.assign(ctx->ctu_rec, ctx->ctu_rec + pred.size());
    return o;
  }
};

void expect_same(const outcome_t &a, const outcome_t &b, const char *what, int32_t trial) {
  EXPECT_EQ(a.nz, b.nz) << what << " trial " << trial;
  EXPECT_EQ(a.levels, b.levels) << what << " trial " << trial;
  EXPECT_EQ(a.states, b.states) << what << " trial " << trial;
  EXPECT_EQ(a.rec, b.rec) << what << " trial " << trial;
}

TEST_F(QuantMemo, RepeatsAndNearRepeatsGiveWhatDecidingGives) {
  std::vector<uint8_t> pred(static_cast<size_t>(RECON_STRIDE) * 64);
  cabac_est_t est = ctx->cabac.est;
  int32_t plane = 0, x = 0, y = 0, log2 = 2, qp = 30, intra = 1, mode = 10;
  int32_t repeats = 0;
  for (int32_t trial = 0; trial < 3000; trial++) {
    const int32_t change = static_cast<int32_t>(rng() % 10);
    if (trial == 0 || change == 0) {
      // A new block: its source, prediction and parameters.
      for (uint8_t &p : pred) p = static_cast<uint8_t>(rng());
      plane = static_cast<int32_t>(rng() % 3);
      log2 = 2 + static_cast<int32_t>(rng() % (plane ? 3 : 4));
      const int32_t n = 1 << log2, side = plane ? 32 : 64;
      x = static_cast<int32_t>(rng() % static_cast<uint32_t>(side / n)) * n;
      y = static_cast<int32_t>(rng() % static_cast<uint32_t>(side / n)) * n;
      qp = 22 + static_cast<int32_t>(rng() % 16);
      intra = static_cast<int32_t>(rng() % 2);
      mode = static_cast<int32_t>(rng() % 35);
      ctx->ctu_lambda_ssd = ctx->tables->lambda_ssd_table[0][qp];
    } else if (change == 1) {
      est.state[QUANT_MEMO_STATES_AT + rng() % QUANT_MEMO_STATES] ^= 2;  // a state the quantiser reads
    } else if (change == 2) {
      est.state[rng() % QUANT_MEMO_STATES_AT] ^= 2;  // one it does not read
    } else if (change == 3) {
      est.state[186 + rng() % 4] ^= 2;  // a copied state
    } else if (change == 4) {
      ctx->ctu_lambda_ssd += 1 + rng() % 50;
    } else if (change == 5) {
      qp = qp == 22 ? 23 : qp - 1;
    } else if (change == 6) {
      mode = (mode + 8) % 35;  // another scan for the intra 4x4 and 8x8 ones
    } else {
      repeats++;
    }
    const outcome_t want = code(false, plane, x, y, log2, qp, intra, mode, pred, est);
    const outcome_t got = code(true, plane, x, y, log2, qp, intra, mode, pred, est);
    expect_same(want, got, "memo against deciding", trial);
    if (HasFailure()) return;
  }
  EXPECT_GT(repeats, 500);
}

// Below the memo's complexities every block is decided: nothing is kept.
TEST_F(QuantMemo, LowComplexitiesKeepNothing) {
  ctx->param.complexity = QUANT_MEMO_MIN_COMPLEXITY - 1;
  std::memset(ctx->quant_memo, 0, sizeof(quant_memo_t));
  std::vector<int16_t> levels(16);
  transform_block_code(ctx, 0, 0, 0, 2, 30, 1, 10, levels.data());
  static const quant_memo_t empty{};
  EXPECT_EQ(std::memcmp(ctx->quant_memo, &empty, sizeof empty), 0);
  ctx->param.complexity = QUANT_MEMO_MIN_COMPLEXITY;
  transform_block_code(ctx, 0, 0, 0, 2, 30, 1, 10, levels.data());
  EXPECT_NE(std::memcmp(ctx->quant_memo, &empty, sizeof empty), 0);
}

// Above them too: the slowest complexities try too many distinct blocks.
TEST_F(QuantMemo, SlowestComplexitiesKeepNothing) {
  ctx->param.complexity = QUANT_MEMO_MAX_COMPLEXITY + 1;
  std::memset(ctx->quant_memo, 0, sizeof(quant_memo_t));
  std::vector<int16_t> levels(16);
  transform_block_code(ctx, 0, 0, 0, 2, 30, 1, 10, levels.data());
  static const quant_memo_t empty{};
  EXPECT_EQ(std::memcmp(ctx->quant_memo, &empty, sizeof empty), 0);
}

}  // namespace
