// The coding-tree decision of P and B pictures on constructed content, run
// on a real row context through the fast CTU driver (the merge limits also
// through the thorough one): what it leaves in the CTU maps for a static
// scene, a shifted scene and a newly uncovered block, the early skip, and
// the candidates it may and may not choose.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

#include "analysis/analysis_tables.h"
#include "analysis/ctu_analysis.h"
#include "analysis/inter_common.h"
#include "encoder/ctu_start.h"
#include "encoder/encoder.h"
#include "motion/mvp.h"
#include "ratecontrol/lookahead_frame.h"
#include "ratecontrol/ratecontrol.h"
#include "rdo/block_coding.h"
#include "tests/unit/row_context.h"

namespace {

using picture_fn = std::function<uint8_t(int32_t plane, int32_t x, int32_t y)>;

constexpr int32_t kWidth = 192, kHeight = 192;

uint8_t texture(int32_t plane, int32_t x, int32_t y) {
  // Smooth enough for sub-sample interpolation to matter little, busy
  // enough for every shift to cost.
  uint32_t s = static_cast<uint32_t>(x / 2) * 73856093u ^ static_cast<uint32_t>(y / 2) * 19349663u ^
               static_cast<uint32_t>(plane) * 83492791u;
  s ^= s >> 13;
  s *= 0x5bd1e995u;
  s ^= s >> 15;
  return static_cast<uint8_t>(50 + (s & 63) + ((3 * x + 2 * y) & 63));
}
// Smooth waves: a motion search walks downhill to the true shift.
uint8_t waves(int32_t plane, int32_t x, int32_t y) {
  const double v = 128 + 50 * std::sin(x / 9.0 + y / 23.0 + plane) + 40 * std::cos(y / 7.0 - x / 31.0) +
                   12 * std::sin((x + 2 * y) / 4.0);
  return static_cast<uint8_t>(v);
}
uint8_t flat(int32_t plane, int32_t, int32_t) { return static_cast<uint8_t>(plane ? 128 : 90); }

struct InterDecision : ::testing::Test {
  encoder_t *enc = nullptr;
  encoder_t *ctx = nullptr;
  frame_t *in = nullptr, *rec = nullptr, *ref[2] = {nullptr, nullptr};

  void SetUp() override {
    ctx = open_row_context(kWidth, kHeight, &enc);
    ASSERT_NE(ctx, nullptr);
    in = frame_get_unused(enc->pool, 1);
    rec = frame_get_unused(enc->pool, 0);
    ref[0] = frame_get_unused(enc->pool, 0);
    ref[1] = frame_get_unused(enc->pool, 0);
    ASSERT_TRUE(in && rec && ref[0] && ref[1]);
  }
  void TearDown() override {
    for (frame_t *f : {in, rec, ref[0], ref[1]})
      if (f) frame_release(enc->pool, f);
    encoder_close(enc);
  }

  static void fill(frame_t *f, const picture_fn &p) {
    for (int32_t c = 0; c < 3; c++) {
      const int32_t w = c ? kWidth / 2 : kWidth, h = c ? kHeight / 2 : kHeight;
      for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x++) f->plane[c][y * f->stride[c] + x] = p(c, x, y);
    }
  }
  // A decoded reference: its planes with their margins, no sub-sample
  // planes, intra units (no temporal candidates) and no recorded depths or
  // distortions.
  void make_reference(frame_t *f, const picture_fn &p, int32_t poc) {
    fill(f, p);
    frame_extend_borders(f);
    f->planes_valid = 0;
    f->poc = poc;
    const int32_t units = (kWidth / 8) * (kHeight / 8);
    for (int32_t i = 0; i < units; i++) {
      f->units[i] = pic_unit_t{};
      f->units[i].intra = 1;
      f->units[i].ref_idx[0] = f->units[i].ref_idx[1] = -2;
      f->units[i].cu_log2 = 3;
    }
    std::memset(f->ctu_min_depth, 0, 9);
    std::memset(f->ctu_max_depth, 0, 9);
    std::memset(f->ctu_distortion, 0, 9 * sizeof(uint32_t));
  }

  // The picture to code: `current` against list 0 (and in B pictures list
  // 1) made of the given pictures.
  void start_picture(const picture_fn &current, const picture_fn &l0, const picture_fn *l1, int32_t level,
                     int32_t qp) {
    fill(in, current);
    in->frame_type_code = l1 ? TARNHEVCENC_TYPE_B : TARNHEVCENC_TYPE_P;
    in->b_level = l1 ? 1 : 0;
    in->lowres_l0_distance = in->lowres_l1_distance = -1;
    in->poc = 1;
    make_reference(ref[0], l0, 0);
    if (l1) make_reference(ref[1], *l1, 2);
    ctx->cur_input = in;
    ctx->cur_recon = rec;
    picture_analysis_reset(ctx);
    ctx->slice_type_code = l1 ? 0 : 1;
    ctx->ref_list[0][0] = ref[0];
    ctx->ref_list[1][0] = ref[l1 ? 1 : 0];
    ctx->ref_count[0] = 1;
    ctx->ref_count[1] = l1 ? 1 : 0;
    ctx->max_merge_cand = 5;
    ctx->col_from_l0 = l1 ? 0 : 1;
    ctx->param.complexity = level;
    ctx->param.subpel_planes = 0;
    ctx->param.intra_trial_p = ctx->param.intra_trial_b = 1;
    ctx->picture_speed_mode = 0;
    ctx->aq_mode_active = 0;
    ctx->rc->frame_qp = static_cast<float>(qp);
    std::memset(ctx->ctu_depth_count, 0, 9 * sizeof(ctx->ctu_depth_count[0]));
  }

  // The CTUs before the coded one reconstructed perfectly, where intra
  // prediction reads them.
  void reconstructed_neighbours(const picture_fn &p) {
    for (int32_t c = 0; c < 3; c++) {
      const int32_t w = c ? kWidth / 2 : kWidth, h = c ? kHeight / 2 : kHeight, s = c ? 32 : 64;
      for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x++) rec->work[c][y * rec->stride[c] + x] = p(c, x, y);
      for (int32_t row = 0; row < kHeight / 64; row++)
        for (int32_t x = 0; x < w; x++) ctx->intra_line[c][row * ctx->ctu_cols * s + x] = p(c, x, row * s + s - 1);
    }
  }

  // One CTU as the CTU job runs it up to the analysis.
  void code_ctu(int32_t col, int32_t row) {
    ctx->ctu_x = col;
    ctx->ctu_y = row;
    ctx->ctu_addr = row * ctx->ctu_cols + col;
    for (int32_t y = 0; y < 64; y++)
      for (int32_t x = 0; x < 64; x++) ctx->ctu_src[y * SRC_STRIDE + x] = in->plane[0][(row * 64 + y) * in->stride[0] + col * 64 + x];
    for (int32_t c = 1; c <= 2; c++)
      for (int32_t y = 0; y < 32; y++)
        for (int32_t x = 0; x < 32; x++)
          *ctu_src_at(ctx, c, x, y) = in->plane[c][(row * 32 + y) * in->stride[c] + col * 32 + x];
    std::memset(ctx->maps, 0, sizeof(ctu_maps_t));
    std::memset(ctx->maps->intra_dir, 0xff, sizeof(ctx->maps->intra_dir));
    std::memset(ctx->maps->ref_idx, 0xff, sizeof(ctx->maps->ref_idx));
    cabac_init_contexts(&ctx->cabac.est, ctx->slice_type_code, 27, 0);
    ctx->intra_refs_refresh = 1;
    ctu_start(ctx);
    analyse_ctu_fast(ctx);
  }

  // CTU (1, 1) of a P picture set up once more after a first run (ctu_start
  // sets the vector limits; the evaluation reads them per CU), with the
  // lower limit above zero: every zero vector lies outside.
  void lower_limit_above_zero() {
    code_ctu(1, 1);
    ctx->mv_min = 1;
    std::memset(ctx->maps, 0, sizeof(ctu_maps_t));
    std::memset(ctx->maps->intra_dir, 0xff, sizeof(ctx->maps->intra_dir));
    std::memset(ctx->maps->ref_idx, 0xff, sizeof(ctx->maps->ref_idx));
    cabac_init_contexts(&ctx->cabac.est, 1, 27, 0);
  }

  // The CU search on half-resolution pictures switched on: the source and
  // the references get their half-resolution pictures, as the encoder
  // gives them when the setting is on.
  void search_on_half_resolution(bool b_picture) {
    ctx->param.lowres_cu_search = 1;
    frame_extend_borders(in);
    lowres_build(ctx->mc, in, 0);
    for (int32_t l = 0; l < (b_picture ? 2 : 1); l++) {
      if (!ref[l]->lowres_alloc) {
        ASSERT_EQ(frame_lowres_alloc(ref[l], 0), 0);
      }
      lowres_build(ctx->mc, ref[l], 0);
    }
  }

  int32_t units_where(const std::function<bool(int32_t)> &f) const {
    int32_t n = 0;
    for (int32_t y8 = 0; y8 < 8; y8++)
      for (int32_t x8 = 0; x8 < 8; x8++) n += f(map8_index(x8, y8));
    return n;
  }
};

TEST_F(InterDecision, StaticPictureIsSkippedAtEveryLevel) {
  for (int32_t level = 0; level <= 4; level++) {
    start_picture(texture, texture, nullptr, level, 27);
    code_ctu(1, 1);
    const int32_t skipped = units_where([&](int32_t u) { return (ctx->maps->flags[u] & 1) != 0; });
    EXPECT_GT(skipped, 64 * 9 / 10) << "level " << level;
  }
}

TEST_F(InterDecision, ShiftedPictureIsCodedWithItsVectorAndNoResidual) {
  const int32_t dx = 6, dy = -4;
  auto shifted = [&](int32_t c, int32_t x, int32_t y) { return waves(c, x + (c ? dx / 2 : dx), y + (c ? dy / 2 : dy)); };
  for (int32_t level : {1, 4}) {
    start_picture(shifted, waves, nullptr, level, 27);
    code_ctu(1, 1);
    // Every 8x8 unit predicts from (x + dx, y + dy) of the reference.
    const int32_t moved = units_where([&](int32_t u) {
      return ctx->maps->pred_intra[u] == 0 && ctx->maps->ref_idx[0][u] == 0 && ctx->maps->mv[0][u] == mv_make(4 * dx, 4 * dy);
    });
    EXPECT_EQ(moved, 64) << "level " << level;
    EXPECT_EQ(ctx->maps->cbf[0] & 1, 0) << "level " << level;
  }
}

// The half-resolution search has no early skip: every CU is searched, and
// its costs come from the half-size blocks (four times theirs).  A static
// picture still ends as skip CUs at zero motion.
TEST_F(InterDecision, HalfResolutionSearchSkipsAStaticPicture) {
  for (int32_t level : {0, 2, 4}) {
    start_picture(texture, texture, nullptr, level, 27);
    search_on_half_resolution(false);
    code_ctu(1, 1);
    const int32_t skipped = units_where([&](int32_t u) { return (ctx->maps->flags[u] & 1) != 0; });
    EXPECT_GT(skipped, 64 * 9 / 10) << "level " << level;
    const me_result_t &root = ctx->nodes[0].me_best;
    ASSERT_LT(root.cost, COST_NONE) << "level " << level;
    EXPECT_EQ(root.cost % 4, 0u) << "level " << level;
    EXPECT_EQ(root.mv, mv_make(0, 0)) << "level " << level;
  }
}

// A picture shifted by an even number of samples is the reference shifted
// by whole samples at half resolution too: P pictures, and B pictures
// whose two references are the same unshifted picture, find the shift in
// every CU (16x16 and larger on the half-resolution pictures) and need no
// residual.
TEST_F(InterDecision, HalfResolutionSearchFindsTheShift) {
  const int32_t dx = 6, dy = -4;
  auto shifted = [&](int32_t c, int32_t x, int32_t y) { return waves(c, x + (c ? dx / 2 : dx), y + (c ? dy / 2 : dy)); };
  const picture_fn reference = waves;
  for (int32_t level : {2, 4})
    for (bool b_picture : {false, true}) {
      start_picture(shifted, waves, b_picture ? &reference : nullptr, level, 27);
      search_on_half_resolution(b_picture);
      code_ctu(1, 1);
      const int32_t moved = units_where([&](int32_t u) {
        if (ctx->maps->pred_intra[u]) return false;
        bool any = false, all = true;
        for (int32_t l = 0; l < 2; l++) {
          if (ctx->maps->ref_idx[l][u] < 0) continue;
          any = true;
          all = all && ctx->maps->mv[l][u] == mv_make(4 * dx, 4 * dy);
        }
        return any && all;
      });
      EXPECT_EQ(moved, 64) << "level " << level << (b_picture ? ", B" : ", P");
      EXPECT_EQ(ctx->maps->cbf[0] & 1, 0) << "level " << level << (b_picture ? ", B" : ", P");
    }
}

TEST_F(InterDecision, EarlySkipStopsTheSearchOnlyBelowItsThreshold) {
  // A static picture at level 1: the 64x64 skip costs almost nothing, far
  // below the QP 27 threshold, so neither a motion search nor a split runs.
  start_picture(texture, texture, nullptr, 1, 27);
  code_ctu(1, 1);
  const cu_node_t &root = ctx->nodes[0];
  EXPECT_EQ(root.skip, 1u);
  EXPECT_EQ(root.me_best.cost, COST_NONE);
  EXPECT_EQ(root.split, 0);
  EXPECT_LT(static_cast<int32_t>(root.skip_cost), EARLY_SKIP_THRESHOLD[root.qp][0]);
  // Noise that the reference does not hold: the skip costs more than the
  // threshold, so the CU is searched.
  auto noise = [](int32_t c, int32_t x, int32_t y) { return texture(c, 3 * x + 17, 5 * y + 11); };
  start_picture(noise, texture, nullptr, 1, 27);
  code_ctu(1, 1);
  EXPECT_GE(static_cast<int32_t>(ctx->nodes[0].skip_cost), EARLY_SKIP_THRESHOLD[ctx->nodes[0].qp][0]);
  EXPECT_LT(ctx->nodes[0].me_best.cost, COST_NONE);
}

TEST_F(InterDecision, NewlyUncoveredTexturedBlockIsCodedIntra) {
  // The reference is flat; the current picture shows vertical stripes
  // that no vector finds in it and that the row above predicts exactly.
  auto uncovered = [](int32_t c, int32_t x, int32_t y) {
    const int32_t lx = c ? 2 * x : x, ly = c ? 2 * y : y;
    if (c || lx < 64 || lx >= 128 || ly < 48) return flat(c, x, y);
    return static_cast<uint8_t>(40 + ((lx * 37) % 7) * 25);
  };
  start_picture(uncovered, flat, nullptr, 4, 27);
  reconstructed_neighbours(uncovered);
  code_ctu(1, 1);
  const int32_t intra = units_where([&](int32_t u) { return ctx->maps->pred_intra[u] != 0; });
  EXPECT_GT(intra, 64 * 9 / 10);
  // The same picture as its own reference needs no intra CU.
  start_picture(uncovered, uncovered, nullptr, 4, 27);
  reconstructed_neighbours(uncovered);
  code_ctu(1, 1);
  EXPECT_EQ(units_where([&](int32_t u) { return ctx->maps->pred_intra[u] != 0; }), 0);
}

TEST_F(InterDecision, BPictureUsesBothListsWhereTheAverageMatches) {
  // The current picture is the average of two references: bi-prediction
  // predicts it, each list alone does not.
  auto l0 = [](int32_t c, int32_t x, int32_t y) { return texture(c, x, y); };
  auto l1 = [](int32_t c, int32_t x, int32_t y) { return texture(c + 3, x, y); };
  auto mid = [&](int32_t c, int32_t x, int32_t y) { return static_cast<uint8_t>((l0(c, x, y) + l1(c, x, y) + 1) / 2); };
  const picture_fn second = l1;
  start_picture(mid, l0, &second, 4, 27);
  code_ctu(1, 1);
  const int32_t bi = units_where([&](int32_t u) {
    return ctx->maps->pred_intra[u] == 0 && ctx->maps->ref_idx[0][u] == 0 && ctx->maps->ref_idx[1][u] == 0;
  });
  EXPECT_GT(bi, 64 * 9 / 10);
}

TEST_F(InterDecision, MergeCandidatesOutsideTheLimitsAreNeverChosen) {
  // With the lower vector limit above zero every merge candidate (all of
  // them zero vectors here) is passed over: the CUs take searched motion,
  // and no CU is left intra without a direction.
  start_picture(texture, texture, nullptr, 2, 27);
  ctx->param.intra_trial_p = 0;
  lower_limit_above_zero();
  analyse_ctu_fast(ctx);
  EXPECT_EQ(ctx->nodes[0].skip_cost, COST_NONE);
  const int32_t inter = units_where([&](int32_t u) {
    return ctx->maps->pred_intra[u] == 0 && ctx->maps->flags[u] == 0 && ctx->maps->ref_idx[0][u] == 0;
  });
  EXPECT_EQ(inter, 64);
}

// The thorough levels decide through their own merge trials: there too a
// candidate beyond the vector limits (here every candidate, zero vectors or
// the searched zero vectors of the CUs before, with the lower limit above
// zero) is never coded, as skip or as merge.
TEST_F(InterDecision, MergeCandidatesOutsideTheLimitsAreNeverChosenAtTheThoroughLevels) {
  for (int32_t level : {5, 7}) {
    SCOPED_TRACE(level);
    start_picture(texture, texture, nullptr, level, 27);
    ctx->param.intra_trial_p = 0;
    lower_limit_above_zero();
    analyse_ctu_inter_full(ctx);
    const int32_t inter = units_where([&](int32_t u) { return ctx->maps->ref_idx[0][u] == 0; });
    EXPECT_EQ(inter, 64);
    const int32_t merged = units_where([&](int32_t u) { return (ctx->maps->flags[u] & 1) || ctx->maps->merge_flag[u]; });
    EXPECT_EQ(merged, 0);
  }
}


// The merge evaluation keeps each list prediction it makes for the later
// candidates that take the same vector of the same picture (the combined
// candidates pair earlier ones' lists).  Candidates that share vectors
// across the two pictures and within one list must each cost what a fresh
// prediction of theirs costs: the best and the runner-up come out as from
// fresh costs.
TEST_F(InterDecision, MergeEvaluationCostsEveryCandidateAsAFreshPrediction) {
  auto l0 = [](int32_t c, int32_t x, int32_t y) { return waves(c, x, y); };
  auto l1 = [](int32_t c, int32_t x, int32_t y) { return texture(c, x, y); };
  auto mid = [&](int32_t c, int32_t x, int32_t y) { return static_cast<uint8_t>((l0(c, x, y) + l1(c, x, y) + 1) / 2); };
  const picture_fn second = l1;
  start_picture(mid, l0, &second, 4, 27);
  code_ctu(1, 1);
  // The neighbours of the 16x16 CU at (16, 16): a vector in both lists, and
  // the same vectors again in other pairings.
  const mv_t a = mv_make(6, -2), b = mv_make(-4, 8), c = mv_make(2, 2);
  auto set = [&](int32_t x8, int32_t y8, int8_t r0, mv_t m0, int8_t r1, mv_t m1) {
    const int32_t u = map8_index(x8, y8);
    ctx->maps->pred_intra[u] = 0;
    ctx->maps->ref_idx[0][u] = r0;
    ctx->maps->ref_idx[1][u] = r1;
    ctx->maps->mv[0][u] = m0;
    ctx->maps->mv[1][u] = m1;
  };
  set(1, 3, 0, a, 0, a);   // left
  set(3, 1, 0, b, 0, a);   // above
  set(4, 1, 0, c, -1, 0);  // above right
  set(1, 4, 0, b, 0, c);   // below left
  set(1, 1, -1, 0, 0, b);  // above left
  grid_mark_available(ctx, 0, 0, 64, 64);
  grid_mark_unavailable(ctx, 16, 16, 16, 16);
  const int32_t x = 16, y = 16, s = 4, z = zorder_of(x >> 2, y >> 2);
  merge_eval_t got;
  merge_evaluate(ctx, z, x, y, s, true, false, &got);
  merge_candidates_t mc;
  const int32_t count = mvp_get_merge_list(ctx, z, x, y, 16, 16, &mc);
  ASSERT_EQ(count, got.count);
  int32_t shared = 0;
  for (int32_t i = 0; i < count; i++)
    for (int32_t j = 0; j < i; j++)
      for (int32_t l = 0; l < 2; l++)
        shared += mc.ref_idx[l][i] >= 0 && mc.ref_idx[l][i] == mc.ref_idx[l][j] && mc.mv[l][i] == mc.mv[l][j];
  EXPECT_GE(shared, 2);
  // Fresh costs of the candidates the evaluation may cost (vectors inside
  // the limits, no temporal candidate, fractions as the CTU allows).
  std::vector<uint32_t> fresh(static_cast<size_t>(count), COST_NONE);
  for (int32_t i = 0; i < count; i++) {
    const int8_t ref[2] = {mc.ref_idx[0][i], mc.ref_idx[1][i]};
    const mv_t mv[2] = {mc.mv[0][i], mc.mv[1][i]};
    bool odd = false, fractional = false;
    for (int32_t l = 0; l < 2; l++)
      if (ref[l] >= 0) {
        fractional = fractional || (mv[l] & 0x00030003u) != 0;
        odd = odd || (mv[l] & 0x00010001u) != 0;
      }
    if ((ctx->ctu_subpel_level == 0 && fractional) || (ctx->ctu_subpel_level == 1 && odd)) continue;
    inter_rough_predict(ctx, x, y, s, ref, mv, false);
    fresh[i] = inter_rough_cost(ctx, x, y, s, false) + ctx->ctu_lambda_sad * static_cast<uint32_t>(std::min(i + 1, 4));
  }
  ASSERT_GE(got.best, 0);
  ASSERT_GE(got.second, 0);
  EXPECT_EQ(got.best_cost, fresh[got.best]);
  EXPECT_EQ(got.second_cost, fresh[got.second]);
  // Nothing is cheaper than the best, nor than the runner-up but the best
  // and its repeats (which are passed over).
  for (int32_t i = 0; i < count; i++) {
    bool repeat = true;
    for (int32_t l = 0; l < 2 && repeat; l++)
      repeat = mc.ref_idx[l][i] == mc.ref_idx[l][got.best] && (mc.ref_idx[l][i] < 0 || mc.mv[l][i] == mc.mv[l][got.best]);
    EXPECT_GE(fresh[i], got.best_cost) << "candidate " << i;
    if (!repeat) {
      EXPECT_GE(fresh[i], got.second_cost) << "candidate " << i;
    }
  }
}

// The abort rules of the split trial in B pictures at levels 0-2: once the
// first children searched alone cost more than two thirds of the whole CU,
// the others are not searched (their costs stay unset).  The CU is the
// CTU's 64x64 CU, coded whole as four 32x32 transform blocks.  The picture
// matches both references except in its first one or two 32x32 quarters,
// which add a smooth ripple (coded at QP 27) and noise (which stays), so
// those quarters carry nearly all of the cost, whole or split.
TEST_F(InterDecision, BSplitTrialStopsWhenTheFirstChildrenCostTwoThirds) {
  auto disturbed = [](int32_t quarters, double ripple, int32_t noise) {
    return [=](int32_t c, int32_t x, int32_t y) {
      const int32_t qx = (x - 64) / 32, qy = (y - 64) / 32;
      const uint8_t v = waves(c, x, y);
      if (c || x < 64 || y < 64 || qy != 0 || qx >= quarters) return v;
      uint32_t h = static_cast<uint32_t>(x) * 0x9e3779b1u + static_cast<uint32_t>(y) * 0x85ebca6bu;
      h ^= h >> 16;
      h *= 0x7feb352du;
      h ^= h >> 15;
      const int32_t n = static_cast<int32_t>(h % static_cast<uint32_t>(2 * noise + 1)) - noise;
      return static_cast<uint8_t>(v + n + std::lround(ripple * std::sin(x / 4.0) * std::cos(y / 5.0)));
    };
  };
  const picture_fn reference = waves;
  auto searched = [&](int32_t k) { return ctx->nodes[node_index(64 * k, 5)].cost < COST_NONE; };
  struct case_t {
    int32_t quarters;
    double ripple;
    int32_t noise, level;
    bool b_picture;
    int32_t want[4];  // 1 searched, 0 not, -1 either
  } cases[] = {
      // Disturbed first child: the rule stops after it.
      {1, 7, 5, 2, true, {1, 0, 0, 0}},
      {1, 7, 5, 0, true, {1, 0, 0, 0}},
      // The first two: the first alone is half the cost, the first two
      // stop the search.
      {2, 5, 4, 2, true, {1, 1, 0, 0}},
      // No such rule in P pictures (whose sum rule may still stop before
      // the last child), nor any rule from level 3 on.
      {1, 7, 5, 2, false, {1, 1, 1, -1}},
      {1, 7, 5, 3, true, {1, 1, 1, 1}},
  };
  for (const case_t &c : cases) {
    start_picture(disturbed(c.quarters, c.ripple, c.noise), waves, c.b_picture ? &reference : nullptr, c.level, 27);
    code_ctu(1, 1);
    ASSERT_EQ(ctx->nodes[0].split_mode, 1) << "the split of the 64x64 CU was not tried";
    for (int32_t k = 0; k < 4; k++) {
      if (c.want[k] < 0) continue;
      EXPECT_EQ(searched(k), c.want[k] == 1) << "child " << k << ", " << c.quarters << " quarters, level "
                                             << c.level << (c.b_picture ? ", B" : ", P");
    }
  }
}

}  // namespace
