// The CTU analysis's kept inter predictions: a block predicted again, or
// inside a bigger block predicted with the same motion, gets exactly the
// samples predicting it afresh gives; nothing is served across CTUs or
// after the analysis switched the record off.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "encoder/frame.h"
#include "motion/pu_search.h"
#include "rdo/block_coding.h"
#include "rdo/inter_pred.h"
#include "rdo/pred_cache.h"
#include "row_context.h"

namespace {

struct frame_deleter {
  void operator()(frame_t *f) const { frame_delete(f); }
};

void fill_frame(frame_t *f, uint32_t seed) {
  std::mt19937 r(seed);
  for (int32_t p = 0; p < 3; p++) {
    const int32_t w = p ? f->width / 2 : f->width, h = p ? f->height / 2 : f->height;
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++)
        f->plane[p][y * f->stride[p] + x] = static_cast<uint8_t>(((x * 7 + y * 3) & 127) + (r() % 96));
  }
  frame_extend_borders(f);
}

struct prediction_t {
  int32_t x, y, w, h;
  int8_t ref[2];
  mv_t mv[2];
  bool chroma;
};

// Blocks of the partitions a CU trial predicts, with a few motions shared
// among them (some pointing far outside the picture), so that many lie
// inside an earlier one of the same motion.
std::vector<prediction_t> trial_sequence(uint32_t seed, int32_t count) {
  std::mt19937 r(seed);
  const mv_t motions[][2] = {{mv_make(5, -3), 0},           {0, mv_make(-8, 12)},     {mv_make(4, 4), mv_make(-7, 1)},
                             {mv_make(-2000, 9), mv_make(6, -1500)}, {mv_make(0, 0), mv_make(0, 0)},
                             {mv_make(13, 2), mv_make(2, 13)}};
  const int32_t uses[][2] = {{0, -1}, {-1, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}};
  std::vector<prediction_t> seq;
  for (int32_t i = 0; i < count; i++) {
    const int32_t s = 3 + static_cast<int32_t>(r() % 4), size = 1 << s;
    const int32_t x = static_cast<int32_t>(r() % (64 >> s)) * size, y = static_cast<int32_t>(r() % (64 >> s)) * size;
    const int32_t part = size >= 16 ? static_cast<int32_t>(r() % 5) : 0;
    prediction_t p{x, y, size, size, {-1, -1}, {0, 0}, (r() & 3) != 0};
    if (part == 1 || part == 2) {
      p.h = size / 2;
      p.y += part == 2 ? size / 2 : 0;
    } else if (part == 3 || part == 4) {
      p.w = size / 2;
      p.x += part == 4 ? size / 2 : 0;
    }
    const int32_t m = static_cast<int32_t>(r() % 6);
    for (int32_t l = 0; l < 2; l++) {
      p.ref[l] = static_cast<int8_t>(uses[m][l]);
      p.mv[l] = motions[m][l];
    }
    seq.push_back(p);
  }
  return seq;
}

struct PredCache : ::testing::Test {
  std::unique_ptr<row_context_holder_t> holder;
  std::unique_ptr<frame_t, frame_deleter> refs[2];
  encoder_t *ctx = nullptr;

  void SetUp() override {
    holder = std::make_unique<row_context_holder_t>(192, 128);
    ctx = holder->ctx;
    ASSERT_NE(ctx, nullptr);
    ASSERT_NE(ctx->pred_cache, nullptr);
    for (int32_t l = 0; l < 2; l++) {
      refs[l].reset(frame_new(192, 128, 0, 0));
      ASSERT_TRUE(refs[l]);
      fill_frame(refs[l].get(), 11 + l);
      ctx->ref_list[l][0] = refs[l].get();
    }
    ctx->ctu_x = 1;
    ctx->ctu_y = 1;
  }
  // The samples the prediction wrote: luma, then chroma when predicted.
  std::vector<uint8_t> predicted(const prediction_t &p) {
    std::vector<uint8_t> out;
    for (int32_t y = 0; y < p.h; y++)
      out.insert(out.end(), ctu_rec_at(ctx, 0, p.x, p.y + y), ctu_rec_at(ctx, 0, p.x, p.y + y) + p.w);
    if (p.chroma)
      for (int32_t c = 1; c <= 2; c++)
        for (int32_t y = 0; y < p.h / 2; y++)
          out.insert(out.end(), ctu_rec_at(ctx, c, p.x / 2, p.y / 2 + y), ctu_rec_at(ctx, c, p.x / 2, p.y / 2 + y) + p.w / 2);
    return out;
  }
  void run(const prediction_t &p) { inter_predict_pu(ctx, p.x, p.y, p.w, p.h, p.ref, p.mv, p.chroma); }
};

TEST_F(PredCache, KeptSamplesEqualFreshPredictions) {
  const std::vector<prediction_t> seq = trial_sequence(5, 400);
  std::vector<std::vector<uint8_t>> fresh;
  for (const auto &p : seq) {
    run(p);
    fresh.push_back(predicted(p));
  }
  pred_cache_start(ctx->pred_cache);
  int32_t served = 0;
  for (size_t i = 0; i < seq.size(); i++) {
    const prediction_t &p = seq[i];
    int32_t luma_only = -1;
    pred_motion_t m;
    for (int32_t l = 0; l < 2; l++) {
      m.ref[l] = p.ref[l] >= 0 ? refs[l].get() : nullptr;
      m.mv[l] = p.ref[l] >= 0 ? p.mv[l] : 0;
    }
    served += pred_cache_find(ctx->pred_cache, m, p.x, p.y, p.w, p.h, p.chroma, &luma_only) >= 0;
    // Something else in the buffer first: a served block must overwrite it.
    for (int32_t y = 0; y < 64; y++) std::memset(ctu_rec_at(ctx, 0, 0, y), 0x5a, 64);
    run(p);
    ASSERT_EQ(predicted(p), fresh[i]) << "prediction " << i << " at (" << p.x << ", " << p.y << ") " << p.w << "x"
                                      << p.h;
  }
  pred_cache_stop(ctx->pred_cache);
  // The sequence repeats motions over overlapping blocks: most are served.
  EXPECT_GT(served, 100);
}

TEST_F(PredCache, ServesContainedBlocksOfTheSameMotionWithinOneCtu) {
  pred_cache_t *c = ctx->pred_cache;
  pred_motion_t a{{refs[0].get(), refs[1].get()}, {mv_make(3, 1), mv_make(-2, 5)}};
  pred_motion_t b = a;
  b.mv[1] = mv_make(-2, 6);
  int32_t luma_only = -1;
  // Switched off: nothing is kept.
  const int8_t ref[2] = {0, 0};
  inter_predict_pu(ctx, 0, 0, 32, 32, ref, a.mv, true);
  pred_cache_start(c);
  EXPECT_EQ(pred_cache_find(c, a, 0, 0, 32, 32, false, &luma_only), -1);
  inter_predict_pu(ctx, 0, 0, 32, 32, ref, a.mv, false);  // luma only
  EXPECT_GE(pred_cache_find(c, a, 8, 16, 16, 8, false, &luma_only), 0);
  EXPECT_EQ(pred_cache_find(c, a, 8, 16, 16, 8, true, &luma_only), -1);
  EXPECT_GE(luma_only, 0);
  EXPECT_EQ(pred_cache_find(c, b, 8, 16, 16, 8, false, &luma_only), -1);
  EXPECT_EQ(pred_cache_find(c, a, 24, 16, 16, 8, false, &luma_only), -1);  // reaches outside
  inter_predict_pu(ctx, 16, 0, 16, 32, ref, a.mv, true);  // luma taken, chroma made and kept
  EXPECT_GE(pred_cache_find(c, a, 16, 8, 16, 16, true, &luma_only), 0);
  // A new CTU's analysis: the entries of the last one serve no more.
  pred_cache_stop(c);
  pred_cache_start(c);
  EXPECT_EQ(pred_cache_find(c, a, 16, 8, 16, 16, false, &luma_only), -1);
  EXPECT_EQ(luma_only, -1);
  // Older entries make room for newer ones.
  for (int32_t i = 0; i <= pred_cache_t::SLOTS; i++) {
    const mv_t mv[2] = {mv_make(4 * i, 0), mv_make(0, 4 * i)};
    inter_predict_pu(ctx, 0, 0, 8, 8, ref, mv, false);
  }
  const pred_motion_t first{{refs[0].get(), refs[1].get()}, {mv_make(0, 0), mv_make(0, 0)}};
  const pred_motion_t last{{refs[0].get(), refs[1].get()},
                           {mv_make(4 * pred_cache_t::SLOTS, 0), mv_make(0, 4 * pred_cache_t::SLOTS)}};
  EXPECT_EQ(pred_cache_find(c, first, 0, 0, 8, 8, false, &luma_only), -1);
  EXPECT_GE(pred_cache_find(c, last, 0, 0, 8, 8, false, &luma_only), 0);
  // Large blocks fill the ring of samples before the slots run out; it
  // wraps and the oldest go first.
  const int32_t big = pred_cache_t::BYTES / (64 * 64 * 3 / 2) + 3;
  for (int32_t i = 0; i < big; i++) {
    const mv_t mv[2] = {mv_make(4 * i + 1, 0), mv_make(0, 4 * i + 1)};
    inter_predict_pu(ctx, 0, 0, 64, 64, ref, mv, true);
  }
  auto motion = [&](int32_t i) {
    return pred_motion_t{{refs[0].get(), refs[1].get()}, {mv_make(4 * i + 1, 0), mv_make(0, 4 * i + 1)}};
  };
  EXPECT_EQ(pred_cache_find(c, motion(0), 0, 0, 64, 64, true, &luma_only), -1);
  EXPECT_EQ(pred_cache_find(c, motion(2), 0, 0, 64, 64, true, &luma_only), -1);
  EXPECT_GE(pred_cache_find(c, motion(big - 1), 0, 0, 64, 64, true, &luma_only), 0);
  EXPECT_GE(pred_cache_find(c, motion(big - 8), 32, 32, 32, 32, true, &luma_only), 0);
  pred_cache_stop(c);
}

// A bi-prediction averages one 16-bit intermediate per list; those are
// kept too, and serve any later pairing of the same list vector over the
// same samples.  The second pass takes its list-0 intermediate from the
// record every time while the list-1 ones fill the ring: the found one is
// the oldest and is overwritten by the next, so it must be made again.
// With whole-sample luma vectors whose chroma is fractional, only chroma
// intermediates are kept, and the chroma pair alone meets that.
TEST_F(PredCache, IntermediatesServeOtherPairingsAndSurviveTheirOwnEviction) {
  pred_cache_t *c = ctx->pred_cache;
  const int8_t ref[2] = {0, 0};
  const int32_t count = pred_cache_t::HALF_BYTES / (64 * 64) + 4;
  struct block_t {
    int32_t x, y, w, h;
  };
  const block_t blocks[] = {{0, 0, 64, 64}, {16, 32, 16, 16}, {32, 0, 32, 64}};
  for (int32_t whole_luma = 0; whole_luma < 2; whole_luma++)
  for (const block_t &b : blocks) {
    std::vector<std::vector<uint8_t>> fresh;
    const mv_t fixed = whole_luma ? mv_make(4, -12) : mv_make(5, -3);
    auto pairing = [&](int32_t i) {
      const mv_t other = whole_luma ? mv_make(4 * (2 * i - 5), 4 * (2 * i + 1)) : mv_make(3 - 2 * i, 1 + 3 * i);
      return prediction_t{b.x, b.y, b.w, b.h, {0, 0}, {fixed, other}, true};
    };
    for (int32_t i = 0; i < count; i++) {
      run(pairing(i));
      fresh.push_back(predicted(pairing(i)));
    }
    pred_cache_start(c);
    int32_t served = 0;
    for (int32_t i = 0; i < count; i++) {
      const prediction_t p = pairing(i);
      served += pred_half_find(c, pred_half_t{refs[0].get(), fixed, true}, p.x, p.y, p.w, p.h) >= 0;
      for (int32_t y = 0; y < 64; y++) std::memset(ctu_rec_at(ctx, 0, 0, y), 0x5a, 64);
      for (int32_t y = 0; y < 32; y++) std::memset(ctu_rec_at(ctx, 1, 0, y), 0x5a, 32);
      inter_predict_pu(ctx, p.x, p.y, p.w, p.h, ref, p.mv, true);
      ASSERT_EQ(predicted(p), fresh[i]) << "pairing " << i << " of block at (" << b.x << ", " << b.y << ") " << b.w
                                        << "x" << b.h << (whole_luma ? ", whole-sample luma" : "");
    }
    pred_cache_stop(c);
    EXPECT_GE(served, count / 2);
  }
  // Switched on without intermediates: none is kept.
  pred_cache_start(c, false);
  const mv_t mv[2] = {mv_make(1, 2), mv_make(3, 1)};
  inter_predict_pu(ctx, 0, 0, 16, 16, ref, mv, true);
  EXPECT_EQ(pred_half_find(c, pred_half_t{refs[0].get(), mv[0], false}, 0, 0, 16, 16), -1);
  pred_cache_stop(c);
}

// The rectangular partitions' units are costed by the luma SATD of their
// two square halves, each measured once per motion and taken by the other
// partition's unit that covers it: a half predicted alone must give the
// samples the whole unit's prediction gives there, whether predictions are
// kept or not, and the halves' SATDs must add up to the unit's.
TEST_F(PredCache, SquareHalvesOfAUnitPredictAndMeasureAsTheUnit) {
  std::mt19937 r(17);
  for (int32_t y = 0; y < 64; y++)
    for (int32_t x = 0; x < 64; x++) ctu_src_at(ctx, 0, x, y)[0] = static_cast<uint8_t>(r());
  const mv_t motions[][2] = {{mv_make(5, -3), 0},           {0, mv_make(-8, 12)},     {mv_make(4, 4), mv_make(-7, 1)},
                             {mv_make(-2000, 9), mv_make(6, -1500)}, {mv_make(8, -4), mv_make(-12, 4)},
                             {mv_make(13, 2), mv_make(2, 13)}};
  const int8_t uses[][2] = {{0, -1}, {-1, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}};
  struct unit_t {
    int32_t x, y, w, h;
  };
  const unit_t units[] = {{0, 0, 64, 32}, {32, 0, 32, 64}, {16, 24, 16, 8}, {40, 32, 8, 16}, {0, 48, 32, 16}};
  for (int32_t keep = 0; keep < 2; keep++)
    for (const unit_t &u : units)
      for (int32_t m = 0; m < 6; m++) {
        const prediction_t whole{u.x, u.y, u.w, u.h, {uses[m][0], uses[m][1]}, {motions[m][0], motions[m][1]}, false};
        run(whole);
        const std::vector<uint8_t> samples = predicted(whole);
        const uint32_t satd = pu_prediction_satd(ctx, u.x, u.y, u.w, u.h);
        if (keep) pred_cache_start(ctx->pred_cache);
        const int32_t n = std::min(u.w, u.h);
        uint32_t sum = 0;
        for (int32_t k = 0; k < 2; k++) {
          prediction_t half = whole;
          half.x += u.w > u.h ? k * n : 0;
          half.y += u.h > u.w ? k * n : 0;
          half.w = half.h = n;
          for (int32_t y = 0; y < 64; y++) std::memset(ctu_rec_at(ctx, 0, 0, y), 0x5a, 64);
          run(half);
          const std::vector<uint8_t> got = predicted(half);
          for (int32_t y = 0; y < n; y++)
            for (int32_t x = 0; x < n; x++)
              ASSERT_EQ(got[y * n + x], samples[(half.y - u.y + y) * u.w + half.x - u.x + x])
                  << "half " << k << " of the " << u.w << "x" << u.h << " unit at (" << u.x << ", " << u.y
                  << "), motion " << m << (keep ? ", kept" : "") << ", sample (" << x << ", " << y << ")";
          sum += pu_prediction_satd(ctx, half.x, half.y, n, n);
        }
        if (keep) pred_cache_stop(ctx->pred_cache);
        EXPECT_EQ(sum, satd) << u.w << "x" << u.h << " unit at (" << u.x << ", " << u.y << "), motion " << m;
      }
}

// Every slot of a full record is found at its own place and nowhere else,
// with the same few motions kept at many places all over the record (a
// lookup then meets several slots of its motion, in every group of slots).
TEST_F(PredCache, EveryLiveSlotIsFoundByItsMotionAndPlace) {
  pred_cache_t *c = ctx->pred_cache;
  pred_cache_start(c);
  auto motion = [&](int32_t i) {
    return pred_motion_t{{refs[0].get(), i % 2 ? refs[1].get() : nullptr}, {mv_make(i % 5, -(i % 5)), 0}};
  };
  auto half = [&](int32_t i) { return pred_half_t{refs[i % 2].get(), mv_make(i % 5, 3), false}; };
  int32_t slot[pred_cache_t::SLOTS], half_slot[pred_cache_t::SLOTS];
  for (int32_t i = 0; i < pred_cache_t::SLOTS; i++) {
    slot[i] = pred_cache_take(c, motion(i), 8 * (i % 8), 8 * (i / 8), 8, 8, false);
    half_slot[i] = pred_half_take(c, half(i), 8 * (i % 8), 8 * (i / 8), 8, 8);
  }
  for (int32_t i = 0; i < pred_cache_t::SLOTS; i++) {
    const int32_t x = 8 * (i % 8), y = 8 * (i / 8);
    int32_t luma_only = -1;
    EXPECT_EQ(pred_cache_find(c, motion(i), x, y, 8, 8, false, &luma_only), slot[i]) << "block " << i;
    EXPECT_EQ(pred_cache_find(c, motion(i), x + 4, y, 4, 8, false, &luma_only), slot[i]) << "block " << i;
    EXPECT_EQ(pred_half_find(c, half(i), x, y + 4, 8, 4), half_slot[i]) << "block " << i;
    // Across two blocks of the same motion: no one block holds it.
    if (i % 8 < 3) {
      EXPECT_EQ(pred_cache_find(c, motion(i), x + 4, y, 8, 8, false, &luma_only), -1) << "block " << i;
    }
    // The same place with a motion kept elsewhere only.
    EXPECT_EQ(pred_cache_find(c, motion(i + 1), x, y, 8, 8, false, &luma_only), -1) << "block " << i;
    EXPECT_EQ(pred_half_find(c, half(i + 1), x, y, 8, 8), -1) << "block " << i;
  }
  pred_cache_stop(c);
}

}  // namespace
