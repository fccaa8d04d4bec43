// The lookahead's cost estimates and the CU-tree on an encoder's own
// pictures: cached estimates are not recomputed, shifted content is found
// by the half-resolution search, totals scale with the evaluation steps,
// the results do not depend on the number of pool threads (nor do the
// margins and half-resolution planes made on the pool), rate control
// gets the estimate of the references a picture is coded with, and the
// propagation distributes amounts as its weights say.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "encoder/encoder.h"
#include "ratecontrol/aq.h"
#include "ratecontrol/cutree.h"
#include "ratecontrol/lookahead_frame.h"
#include "ratecontrol/lowres_cost.h"
#include "ratecontrol/ratecontrol.h"
#include "encoder/threadpool.h"
#include "tarnhevcenc.h"

namespace {

constexpr int32_t W = 192, H = 128;

// Smooth texture with detail, moved `shift` samples right per picture.
uint8_t texture(int32_t x, int32_t y) {
  const double v = 128 + 60 * std::sin(x * 0.21) * std::cos(y * 0.17) + 30 * std::sin((x + 2 * y) * 0.05) +
                   ((x * 7 + y * 13) % 11) * 2;
  return static_cast<uint8_t>(std::lround(std::fmin(255, std::fmax(0, v))));
}

// Pool jobs that hold every pool thread until released.
std::atomic<int32_t> pool_held{0};
int64_t held_job(int64_t) {
  while (pool_held.load(std::memory_order_acquire)) std::this_thread::sleep_for(std::chrono::microseconds(50));
  return 0;
}
constexpr int64_t HELD_JOB_ARG = 1 << 20;

struct la_encoder_t {
  encoder_t *enc = nullptr;
  std::vector<frame_t *> frames;

  // as_encoder: each picture enters as the encoder takes it in (pages of the
  // next ones mapped ahead, margins extended with the half-resolution build,
  // on the pool when there is one) rather than extended here first.
  // hold_builds: the pool's threads are held while the first pictures fill
  // the build queue, so that its jobs then start on a full queue at once.
  la_encoder_t(int32_t threads, int32_t complexity, int32_t pictures, int32_t shift, bool vbv = false,
               bool as_encoder = false, int32_t aq_mode = 0, bool hold_builds = false, int32_t bframes = 3) {
    tarnhevcenc_param_t p;
    std::memset(&p, 0, sizeof(p));
    p.size = sizeof(p);
    EXPECT_EQ(tarnhevcenc_default_param(&p), 0);
    p.rcmode = TARNHEVCENC_RC_CQP;
    p.width = W;
    p.height = H;
    p.qp = 30;
    p.log_level = 0;
    p.threads = threads;
    p.complexity = complexity;
    p.bframes = bframes;
    p.scenecut = 40;
    p.aq_mode = aq_mode;
    if (vbv) {
      p.vbv_maxrate = 500;
      p.vbv_bufsize = 1000;
    }
    enc = encoder_open(&p);
    EXPECT_NE(enc, nullptr);
    if (!enc) return;
    EXPECT_NE(enc->lookahead_engine, nullptr);
    const bool hold = as_encoder && hold_builds && enc->lookahead_engine && enc->lookahead_engine->pool_ready;
    threadpool_t *pool = hold ? &enc->lookahead_engine->pool : nullptr;
    const int32_t held = hold ? pool->thread_count : 0;
    pool_held.store(held > 0, std::memory_order_release);
    for (int32_t t = 0; t < held; t++) threadpool_run(pool, held_job, HELD_JOB_ARG + t);
    for (int32_t k = 0; k < pictures; k++) {
      frame_t *f = frame_get_unused(enc->pool, 1);
      EXPECT_NE(f, nullptr);
      if (as_encoder) lookahead_populate_ahead(enc);
      for (int32_t c = 0; c < 3; c++) {
        const int32_t w = c ? W / 2 : W, h = c ? H / 2 : H;
        for (int32_t y = 0; y < h; y++)
          for (int32_t x = 0; x < w; x++)
            f->plane[c][y * f->stride[c] + x] = c ? 128 : texture(x - shift * k + 40, y + 8);
      }
      f->frame_number = k;
      if (as_encoder) {
        lookahead_picture_prepare(enc, f, PREPARE_AQ | PREPARE_EXTEND | PREPARE_LOWRES | PREPARE_LOOKAHEAD);
        // The queue is full: the next picture would wait for its builds.
        if (held > 0 && k == LOWRES_BUILD_QUEUE - 1) {
          pool_held.store(0, std::memory_order_release);
          for (int32_t t = 0; t < held; t++) threadpool_wait(pool, HELD_JOB_ARG + t);
        }
      } else {
        aq_compute_qp_offsets(enc, f);
        frame_extend_borders(f);
        lookahead_frame_init(enc, f, 1);
      }
      frames.push_back(f);
    }
  }
  ~la_encoder_t() {
    if (!enc) return;
    for (frame_t *f : frames) frame_release(enc->pool, f);
    encoder_close(enc);
  }
  const lowres_layout_t &layout() const { return enc->lookahead_engine->layout; }
  void cost(int32_t p0, int32_t p1, int32_t b) { lookahead_frame_cost(enc, frames.data(), p0, p1, b); }
  lowres_data_t *la(int32_t i) { return frames[i]->la; }
  // The instance codes picture cur with slice type `type` from ref0 (list
  // 0) and ref1 (list 1); -1: no reference in that list.
  void code_as(int32_t cur, int32_t type, int32_t ref0, int32_t ref1) {
    enc->cur_input = frames[cur];
    enc->slice_type_code = type;
    enc->ref_count[0] = enc->ref_count[1] = 0;
    if (ref0 >= 0) enc->ref_list[0][enc->ref_count[0]++] = frames[ref0];
    if (ref1 >= 0) enc->ref_list[1][enc->ref_count[1]++] = frames[ref1];
  }
};

TEST(LookaheadCosts, EstimatesAreCachedAndIntraIsKeptOnlyAfterAnIntraOrPEstimate) {
  la_encoder_t e(1, 5, 3, 4);
  ASSERT_NE(e.enc, nullptr);
  const int32_t blocks = e.layout().block_count;
  e.cost(0, 2, 1);  // B estimate
  EXPECT_GE(e.la(1)->cost_cache[1][1], 0);
  EXPECT_GE(e.la(1)->cost_cache[0][0], 0);
  EXPECT_EQ(e.frames[1]->intra_done, 0);
  e.cost(0, 1, 1);  // P estimate
  EXPECT_EQ(e.frames[1]->intra_done, 1);
  const int32_t cached = e.la(1)->cost_cache[1][0];
  std::vector<uint32_t> costs(e.la(1)->block_costs[1][0], e.la(1)->block_costs[1][0] + blocks);
  // Spoil the picture: a repeated request must not look at it again.
  std::memset(e.frames[1]->lowres_planes[0], 0, 16);
  e.cost(0, 1, 1);
  EXPECT_EQ(e.la(1)->cost_cache[1][0], cached);
  EXPECT_TRUE(std::equal(costs.begin(), costs.end(), e.la(1)->block_costs[1][0]));
  // Intra costs of the picture are now fixed: a new estimate sums the same.
  const int32_t intra = e.la(1)->cost_cache[0][0];
  e.cost(1, 1, 1);
  EXPECT_EQ(e.la(1)->cost_cache[0][0], intra);
}

TEST(LookaheadCosts, AShiftedPictureIsPredictedAlongItsHalfResolutionShift) {
  la_encoder_t e(1, 5, 2, 4);  // 4 samples: 2 half-resolution samples
  ASSERT_NE(e.enc, nullptr);
  e.cost(0, 1, 1);
  const lowres_layout_t &l = e.layout();
  int32_t found = 0, inner = 0;
  for (int32_t y = 1; y < l.block_rows - 1; y++)
    for (int32_t x = 1; x < l.block_cols - 1; x++) {
      const int32_t k = y * l.block_stride + x;
      inner++;
      const mv_t v = e.la(1)->mvs[0][0][k];
      found += mv_x(v) == -8 && mv_y(v) == 0;
      EXPECT_NE(e.la(1)->block_costs[1][0][k] >> 28, static_cast<uint32_t>(LOWRES_INTRA)) << x << ", " << y;
      EXPECT_LT(e.la(1)->block_hint[1][k], static_cast<uint32_t>(HINT_CLOSE)) << x << ", " << y;
    }
  EXPECT_GE(found, inner * 9 / 10);
  EXPECT_LT(e.la(1)->cost_cache[1][0] * 3, e.la(1)->cost_cache[0][0]);
}

TEST(LookaheadCosts, TotalsScaleWithTheEvaluationSteps) {
  // Complexity 2 evaluates every second block of every second row.
  la_encoder_t e(1, 2, 2, 4);
  ASSERT_NE(e.enc, nullptr);
  ASSERT_EQ(e.enc->param.lookahead_step_x, 2);
  ASSERT_EQ(e.enc->param.lookahead_step_y, 2);
  e.cost(0, 0, 0);
  const lowres_layout_t &l = e.layout();
  int64_t sum = 0;
  for (int32_t y = 0; y < l.block_rows; y += 2)
    for (int32_t x = 0; x < l.block_cols; x += 2) sum += e.la(0)->intra_costs[y * l.block_stride + x];
  EXPECT_EQ(e.la(0)->cost_cache[0][0], 4 * sum);
  EXPECT_EQ(e.la(0)->cost_cache[1][0], -1);
}

TEST(LookaheadCosts, OneAndEightPoolThreadsGiveTheSameEstimates) {
  la_encoder_t a(1, 4, 5, 3), b(8, 4, 5, 3);
  ASSERT_NE(a.enc, nullptr);
  ASSERT_NE(b.enc, nullptr);
  ASSERT_EQ(b.enc->lookahead_engine->threads, 8);
  for (la_encoder_t *e : {&a, &b}) {
    e->cost(0, 4, 4);
    e->cost(0, 4, 2);
    e->cost(0, 2, 1);
    e->cost(2, 4, 3);
  }
  const int32_t blocks = a.layout().block_count;
  for (int32_t i = 0; i < 5; i++)
    for (int32_t d0 = 0; d0 < 5; d0++)
      for (int32_t d1 = 0; d1 < 5; d1++) {
        EXPECT_EQ(a.la(i)->cost_cache[d0][d1], b.la(i)->cost_cache[d0][d1]) << i << " " << d0 << " " << d1;
        if (a.la(i)->cost_cache[d0][d1] >= 0) {
          EXPECT_TRUE(std::equal(a.la(i)->block_costs[d0][d1], a.la(i)->block_costs[d0][d1] + blocks,
                                 b.la(i)->block_costs[d0][d1]));
        }
      }
}

// Estimates asked together equal those made one by one in the same order,
// on one thread and on eight, with the row and CTU sums of VBV: the list
// holds B estimates that read the vectors of an anchor estimated just
// before, one listed before the anchor's estimate (it must not see them),
// two estimates of one picture sharing a list-0 search, a repeat, and
// independent groups that run at once.
TEST(LookaheadCosts, EstimatesAskedTogetherEqualThoseMadeOneByOne) {
  const lookahead_request_t list[] = {{4, 8, 6}, {0, 4, 4}, {0, 4, 2}, {0, 2, 1}, {2, 4, 3}, {4, 8, 8},
                                      {4, 8, 6}, {4, 6, 5}, {6, 8, 7}, {0, 2, 2}, {8, 8, 8}, {0, 0, 0}};
  const int32_t count = static_cast<int32_t>(sizeof(list) / sizeof(list[0]));
  la_encoder_t one(1, 4, 9, 3, true), each(8, 4, 9, 3, true), together(8, 4, 9, 3, true);
  for (la_encoder_t *e : {&one, &each, &together}) ASSERT_NE(e->enc, nullptr);
  for (const lookahead_request_t &r : list) {
    one.cost(r.p0, r.p1, r.b);
    each.cost(r.p0, r.p1, r.b);
  }
  lookahead_frame_costs(together.enc, together.frames.data(), list, count);
  const lowres_layout_t &l = one.layout();
  const int32_t blocks = l.block_count, ctus = l.ctu_cols * l.ctu_rows;
  for (la_encoder_t *e : {&each, &together})
    for (int32_t i = 0; i < 9; i++) {
      const lowres_data_t *x = one.la(i), *y = e->la(i);
      EXPECT_EQ(one.frames[i]->intra_done, e->frames[i]->intra_done) << i;
      for (int32_t d0 = 0; d0 < LOWRES_DISTANCES; d0++)
        for (int32_t d1 = 0; d1 < LOWRES_DISTANCES; d1++) {
          EXPECT_EQ(x->cost_cache[d0][d1], y->cost_cache[d0][d1]) << i << " " << d0 << " " << d1;
          EXPECT_EQ(x->aq_cost_cache[d0][d1], y->aq_cost_cache[d0][d1]) << i << " " << d0 << " " << d1;
          if (x->cost_cache[d0][d1] < 0) continue;
          EXPECT_TRUE(std::equal(x->block_costs[d0][d1], x->block_costs[d0][d1] + blocks, y->block_costs[d0][d1]));
          EXPECT_TRUE(std::equal(x->row_costs[d0][d1], x->row_costs[d0][d1] + l.ctu_rows, y->row_costs[d0][d1]));
          EXPECT_TRUE(std::equal(x->ctu_costs[d0][d1], x->ctu_costs[d0][d1] + ctus, y->ctu_costs[d0][d1]));
        }
      for (int32_t list_ = 0; list_ < 2; list_++)
        for (int32_t d = 0; d < l.max_distance; d++) {
          EXPECT_EQ(x->mvs_searched[list_][d], y->mvs_searched[list_][d]) << i << " " << list_ << " " << d;
          if (x->mvs_searched[list_][d] != 2) continue;
          EXPECT_TRUE(std::equal(x->mvs[list_][d], x->mvs[list_][d] + blocks, y->mvs[list_][d])) << i << " " << d;
          EXPECT_TRUE(std::equal(x->mv_costs[list_][d], x->mv_costs[list_][d] + blocks, y->mv_costs[list_][d]));
        }
    }
  EXPECT_GE(together.la(6)->cost_cache[2][2], 0);
  // The order kept: one picture twice; a B estimate and the estimate of its
  // later picture, either way round.  Pictures that share only a reference
  // plane are free.
  EXPECT_TRUE(lookahead_estimates_conflict(0, 4, 2, 0, 2, 2));
  EXPECT_TRUE(lookahead_estimates_conflict(0, 4, 2, 0, 4, 4));
  EXPECT_TRUE(lookahead_estimates_conflict(0, 4, 4, 0, 4, 2));
  EXPECT_FALSE(lookahead_estimates_conflict(0, 4, 4, 4, 8, 8));
  EXPECT_FALSE(lookahead_estimates_conflict(0, 4, 2, 4, 8, 6));
  EXPECT_FALSE(lookahead_estimates_conflict(0, 4, 4, 0, 2, 2));
  EXPECT_FALSE(lookahead_estimates_conflict(0, 2, 1, 2, 4, 3));
}

// With pool threads the margins and half-resolution builds run on the pool
// behind the caller's back after the AQ offsets (at complexity 7 one after
// the other, as they share the phase strip; without the phases several side
// by side), while the pages of the next pictures are mapped and the intra
// estimates of the built ones made beside them: more pictures than the build
// queue holds, so that the caller also waits for a full queue once.
void expect_pool_preparation_equals_inline(int32_t complexity, int32_t build_workers, bool hold_builds) {
  constexpr int32_t pictures = LOWRES_BUILD_QUEUE + 3;
  la_encoder_t a(1, complexity, pictures, 3, false, false, 2),
      b(8, complexity, pictures, 3, false, true, 2, hold_builds);
  ASSERT_NE(a.enc, nullptr);
  ASSERT_NE(b.enc, nullptr);
  ASSERT_TRUE(b.enc->lookahead_engine->pool_ready);
  EXPECT_EQ(b.enc->lookahead_engine->build.workers, build_workers);
  lookahead_frame_wait(b.enc);
  for (const lowres_build_worker_t &w : b.enc->lookahead_engine->build.worker) EXPECT_EQ(w.pending, 0);
  EXPECT_EQ(b.enc->lookahead_engine->build.done, pictures);
  ASSERT_EQ(b.frames.size(), static_cast<size_t>(pictures));
  for (int32_t i = 0; i < pictures; i++) {
    const frame_t *fa = a.frames[i], *fb = b.frames[i];
    ASSERT_EQ(fa->lowres_stride, fb->lowres_stride);
    const int32_t w = fa->alloc_width / 2 + 2 * LOWRES_PAD_X;
    for (int32_t y = -LOWRES_PAD_Y; y < fa->alloc_height / 2 + LOWRES_PAD_Y; y++) {
      const intptr_t at = static_cast<intptr_t>(y) * fa->lowres_stride - LOWRES_PAD_X;
      ASSERT_EQ(std::memcmp(fa->lowres_planes[0] + at, fb->lowres_planes[0] + at, w), 0) << i << " row " << y;
    }
    for (int32_t c = 0; c < 3; c++) {
      const int32_t sh = c ? 1 : 0;
      const int32_t px = FRAME_PAD_X >> sh, py = FRAME_PAD_Y >> sh, wc = (fa->alloc_width >> sh) + 2 * px;
      for (int32_t y = -py; y < (fa->alloc_height >> sh) + py; y++) {
        const intptr_t at = static_cast<intptr_t>(y) * fa->stride[c] - px;
        ASSERT_EQ(std::memcmp(fa->plane[c] + at, fb->plane[c] + at, wc), 0) << i << " plane " << c << " row " << y;
      }
    }
  }
  for (const populate_job_t &j : b.enc->lookahead_engine->populate) EXPECT_EQ(j.pending, 0);
  // AQ offsets measured there equal those measured on the caller's thread.
  const size_t aq_blocks = static_cast<size_t>(a.enc->ctu_count) * 16;
  for (int32_t i = 0; i < pictures; i++) {
    EXPECT_TRUE(std::equal(a.frames[i]->aq_offsets, a.frames[i]->aq_offsets + aq_blocks, b.frames[i]->aq_offsets));
    EXPECT_TRUE(
        std::equal(a.frames[i]->aq_inv_qscale, a.frames[i]->aq_inv_qscale + aq_blocks, b.frames[i]->aq_inv_qscale));
  }
  // The intra estimates made on entry give the estimates made without them.
  for (int32_t i = 0; i < pictures; i++) {
    EXPECT_EQ(a.frames[i]->intra_ready, 0);
    EXPECT_EQ(b.frames[i]->intra_ready, 1) << i;
  }
  for (int32_t i = 1; i < pictures; i++) {
    const int32_t p0 = i - 1, p1 = std::min(i + 1, pictures - 1);
    a.cost(p0, p1, i);
    b.cost(p0, p1, i);
    const int32_t d0 = i - p0, d1 = p1 - i;
    EXPECT_EQ(a.la(i)->cost_cache[d0][d1], b.la(i)->cost_cache[d0][d1]) << i;
    EXPECT_EQ(a.la(i)->cost_cache[0][0], b.la(i)->cost_cache[0][0]) << i;
    EXPECT_EQ(a.la(i)->aq_cost_cache[d0][d1], b.la(i)->aq_cost_cache[d0][d1]) << i;
    EXPECT_TRUE(std::equal(a.la(i)->block_costs[d0][d1], a.la(i)->block_costs[d0][d1] + a.layout().block_count,
                           b.la(i)->block_costs[d0][d1]))
        << i;
  }
  // A second wait, and estimates made after it, find nothing pending.
  lookahead_frame_wait(b.enc);
  b.cost(0, 1, 1);
  EXPECT_GE(b.la(1)->cost_cache[1][0], 0);
}

TEST(LookaheadCosts, PicturesPreparedOnThePoolEqualTheInlinePreparation) {
  expect_pool_preparation_equals_inline(7, 1, false);
}

// Without the phases the builds run side by side: held back until the
// queue is full, its jobs then take the entries at once and end them out of
// order.
TEST(LookaheadCosts, PicturesBuiltSideBySideOnThePoolEqualTheInlinePreparation) {
  expect_pool_preparation_equals_inline(2, LOWRES_BUILD_WORKERS, false);
  expect_pool_preparation_equals_inline(2, LOWRES_BUILD_WORKERS, true);
}

TEST(LookaheadCosts, APictureFindsItsEstimateOnlyWhereOneWasMade) {
  la_encoder_t e(1, 5, 3, 4);
  ASSERT_NE(e.enc, nullptr);
  for (int32_t i = 0; i < 3; i++) e.frames[i]->poc = i;
  encoder_t *ctx = e.enc;
  auto start = [&](int32_t cur, int32_t type, int32_t ref0, int32_t ref1) {
    e.code_as(cur, type, ref0, ref1);
    lookahead_picture_start(ctx);
    return std::make_pair(e.frames[cur]->lowres_l0_distance, e.frames[cur]->lowres_l1_distance);
  };
  using d_t = std::pair<int16_t, int16_t>;
  EXPECT_EQ(start(2, 1, 0, -1), d_t(-1, -1));  // P from 0: not estimated yet
  e.cost(0, 2, 2);
  EXPECT_EQ(start(2, 1, 0, -1), d_t(2, -1));
  EXPECT_EQ(start(2, 1, 1, -1), d_t(-1, -1));  // from 1: another distance
  EXPECT_EQ(start(1, 0, 0, 2), d_t(-1, -1));
  e.cost(0, 2, 1);
  EXPECT_EQ(start(1, 0, 0, 2), d_t(1, 1));
  EXPECT_EQ(start(1, 2, -1, -1), d_t(-1, -1));  // intra
  // A P picture sent as a B slice, its list 1 repeating list 0, has only
  // the estimate from its past reference.
  e.frames[2]->frame_type_code = TARNHEVCENC_TYPE_P;
  EXPECT_EQ(start(2, 0, 0, 0), d_t(2, -1));
}

// Rate control takes the estimate under the distances to the references
// the picture is coded with, whole and per CTU row and CTU (with VBV), and
// nothing where no estimate was made.
TEST(LookaheadCosts, RateControlGetsTheEstimateOfTheReferencesThePictureIsCodedWith) {
  la_encoder_t e(1, 5, 3, 4, true);
  ASSERT_NE(e.enc, nullptr);
  const lowres_layout_t &l = e.layout();
  ASSERT_TRUE(l.row_arrays);
  for (int32_t i = 0; i < 3; i++) e.frames[i]->poc = i;
  encoder_t *ctx = e.enc;
  auto start = [&](int32_t cur, int32_t type, int32_t ref0, int32_t ref1) {
    e.code_as(cur, type, ref0, ref1);
    return ratecontrol_get_lookahead_cost(ctx);
  };
  const int32_t ctus = l.ctu_rows * l.ctu_cols;
  // The picture's arrays hold exactly the estimate's (d0, d1) and intra ones.
  auto rows_are = [&](int32_t cur, int32_t d0, int32_t d1) {
    const frame_t *f = e.frames[cur];
    const lowres_data_t *d = f->la;
    int64_t sum = 0;
    for (int32_t r = 0; r < l.ctu_rows; r++) {
      EXPECT_EQ(f->lookahead_row_costs[r], d->row_costs[d0][d1][r]) << r;
      EXPECT_EQ(f->intra_row_costs[r], d->row_costs[0][0][r]) << r;
      EXPECT_EQ(f->lookahead_ctu_costs[(r + 1) * l.ctu_cols - 1], f->lookahead_row_costs[r]) << r;
      sum += f->lookahead_row_costs[r];
    }
    EXPECT_TRUE(std::equal(f->lookahead_ctu_costs, f->lookahead_ctu_costs + ctus, d->ctu_costs[d0][d1]));
    EXPECT_EQ(sum, f->lookahead_cost);
  };
  // Nothing estimated yet: no inter estimate; under VBV (as here) the intra
  // estimate is made then, to size the picture by.
  EXPECT_EQ(start(2, 1, 0, -1), 0);
  EXPECT_EQ(ratecontrol_get_intra_cost(ctx), e.la(2)->cost_cache[0][0]);
  EXPECT_GT(ratecontrol_get_intra_cost(ctx), 0);
  EXPECT_EQ(e.frames[2]->lookahead_row_costs[0], 0u);
  e.cost(0, 2, 2);
  e.cost(0, 2, 1);
  EXPECT_EQ(start(2, 1, 0, -1), e.la(2)->cost_cache[2][0]);
  EXPECT_EQ(ratecontrol_get_intra_cost(ctx), e.la(2)->cost_cache[0][0]);
  EXPECT_GT(ratecontrol_get_intra_cost(ctx), e.frames[2]->lookahead_cost);
  rows_are(2, 2, 0);
  EXPECT_EQ(start(1, 0, 0, 2), e.la(1)->cost_cache[1][1]);
  rows_are(1, 1, 1);
  EXPECT_EQ(start(2, 2, -1, -1), e.la(2)->cost_cache[0][0]);  // intra
  rows_are(2, 0, 0);
  // A P picture sent as a B slice (list 1 repeats list 0): its P estimate.
  e.frames[2]->frame_type_code = TARNHEVCENC_TYPE_P;
  EXPECT_EQ(start(2, 0, 0, 0), e.la(2)->cost_cache[2][0]);
  rows_are(2, 2, 0);
  // From picture 1 nothing was estimated: none, and no stale rows.
  EXPECT_EQ(start(2, 1, 1, -1), 0);
  for (int32_t r = 0; r < l.ctu_rows; r++) EXPECT_EQ(e.frames[2]->lookahead_row_costs[r], 0u);
  // With AQ and without the CU-tree, the totals weighted by the AQ factors
  // (here one half for every block).
  ctx->aq_mode_active = 1;
  ctx->param.cutree = 0;
  for (int32_t i = 0; i < 3; i++) std::fill(e.frames[i]->aq_inv_qscale, e.frames[i]->aq_inv_qscale + l.block_count, 128);
  e.cost(1, 2, 2);
  const int32_t plain = e.la(2)->cost_cache[1][0], weighted = e.la(2)->aq_cost_cache[1][0];
  EXPECT_NEAR(weighted, plain / 2, plain / 100);
  // Under VBV (as here) and in CBR the CTUs take QPs without AQ's offsets:
  // the plain totals size the picture.
  EXPECT_EQ(start(2, 1, 1, -1), plain);
  ctx->rc->vbv = 0;
  EXPECT_EQ(start(2, 1, 1, -1), weighted);
  ctx->rc->cbr = 1;
  EXPECT_EQ(start(2, 1, 1, -1), plain);
  ctx->rc->cbr = 0;
  ctx->param.cutree = 1;
  EXPECT_EQ(start(2, 1, 1, -1), plain);
  ctx->rc->vbv = 1;
  ctx->cur_input = nullptr;
  ctx->ref_count[0] = ctx->ref_count[1] = 0;
}

// ---------------------------------------------------------------------------
// CU-tree propagation on made-up costs: picture 1 predicted from picture 0.

struct cutree_case_t {
  la_encoder_t e{1, 5, 2, 0};
  lowres_layout_t l;
  cutree_case_t() {
    l = e.layout();
    for (int32_t i = 0; i < 2; i++) {
      std::fill(e.la(i)->intra_costs, e.la(i)->intra_costs + l.block_count, 1000u);
      std::memset(e.la(i)->propagate, 0, sizeof(uint32_t) * l.block_count);
    }
    // Every block of picture 1: list 0, cost 200, no vector.
    std::fill(e.la(1)->block_costs[1][0], e.la(1)->block_costs[1][0] + l.block_count, 200u | (LOWRES_L0 << 28));
    std::fill(e.la(1)->mvs[0][0], e.la(1)->mvs[0][0] + l.block_count, 0u);
  }
  uint32_t *costs() { return e.la(1)->block_costs[1][0]; }
  mv_t *mvs() { return e.la(1)->mvs[0][0]; }
  uint32_t target(int32_t x, int32_t y) { return e.la(0)->propagate[y * l.block_stride + x]; }
  void run(int32_t referenced) { cutree_propagate(e.enc, e.frames.data(), 0, 1, 1, referenced); }
};

TEST(CuTree, AmountsFollowTheVectorsWithTheirWeights) {
  cutree_case_t c;
  ASSERT_NE(c.e.enc, nullptr);
  const int32_t s = c.l.block_stride;
  // Each block gives (1000 - 200) * (0 + 1000) / 1000 = 800 when nothing
  // comes in from later pictures.
  c.costs()[1 * s + 1] = 200u | (LOWRES_INTRA << 28);  // intra: gives nothing
  c.mvs()[1 * s + 3] = mv_make(16, 0);                   // half a block right
  c.mvs()[2 * s + 2] = mv_make(-64, -64);                // two blocks up and left
  c.mvs()[0 * s + 0] = mv_make(-16, 0);                  // half outside: that half is lost
  c.costs()[3 * s + 4] = 200u | (LOWRES_BI << 28);     // both lists: half each
  c.run(0);
  EXPECT_EQ(c.target(1, 1), 0u);
  EXPECT_EQ(c.target(2, 1), 800u);
  EXPECT_EQ(c.target(3, 1), 400u);
  EXPECT_EQ(c.target(4, 1), 800u + 400u);
  EXPECT_EQ(c.target(2, 2), 0u);
  EXPECT_EQ(c.target(0, 0), 800u + 400u);
  EXPECT_EQ(c.target(4, 3), 400u);

  // Offsets: the referenced picture's CTUs get -2 x log2((I + P) / I) with
  // the default strength, the unreferenced one none.
  cutree_compute_qp_offsets(c.e.enc, c.e.frames[0]);
  cutree_compute_qp_offsets(c.e.enc, c.e.frames[1]);
  double intra = 0, prop = 0;
  for (int32_t y = 4; y < 8; y++)
    for (int32_t x = 4; x < 8; x++) {
      intra += 1000;
      prop += c.target(x, y);
    }
  EXPECT_NEAR(c.e.frames[0]->aq_cutree_offsets[4 * s + 4], -2.0 * std::log2((intra + prop) / intra), 1e-3);
  EXPECT_LT(c.e.frames[0]->aq_cutree_offsets[4 * s + 4], -1.0f);
  EXPECT_EQ(c.e.frames[1]->aq_cutree_offsets[4 * s + 4], 0.0f);
  EXPECT_EQ(c.e.frames[0]->use_cutree_offsets, 1);
  // The strength is the caller's 5 x (1 - qcompress), whatever rate
  // control keeps for itself: at 1.0 no offsets.
  c.e.enc->param.qcompress = 1.0f;
  cutree_compute_qp_offsets(c.e.enc, c.e.frames[0]);
  EXPECT_EQ(c.e.frames[0]->aq_cutree_offsets[4 * s + 4], 0.0f);
}

// A block's worth to later pictures is its intra cost weighed by AQ's
// factor for it (a block AQ quantises finer is worth more), only while an
// AQ mode is in effect.
TEST(CuTree, AmountsWeighTheBlocksAqFactor) {
  cutree_case_t c;
  ASSERT_NE(c.e.enc, nullptr);
  const int32_t s = c.l.block_stride;
  uint16_t *w = c.e.frames[1]->aq_inv_qscale;
  w[1 * s + 2] = 512;  // twice as fine: (1000 - 200) * (0 + 2000) / 1000
  w[1 * s + 3] = 128;  // half: (1000 - 200) * 500 / 1000
  c.e.enc->aq_mode_active = 2;
  c.run(0);
  EXPECT_EQ(c.target(2, 1), 1600u);
  EXPECT_EQ(c.target(3, 1), 400u);
  EXPECT_EQ(c.target(4, 1), 800u);
  std::memset(c.e.la(0)->propagate, 0, sizeof(uint32_t) * c.l.block_count);
  c.e.enc->aq_mode_active = 0;
  c.run(0);
  EXPECT_EQ(c.target(2, 1), 800u);
  EXPECT_EQ(c.target(3, 1), 800u);
}

// With every second block column and row estimated (the faster levels),
// only the estimated blocks give, and what lands on a block in between goes
// to the estimated block it belongs to, whose costs and offsets are read.
TEST(CuTree, AmountsLandOnTheEstimatedBlocks) {
  cutree_case_t c;
  ASSERT_NE(c.e.enc, nullptr);
  c.e.enc->param.lookahead_step_x = 2;
  c.e.enc->param.lookahead_step_y = 2;
  const int32_t s = c.l.block_stride;
  c.mvs()[2 * s + 2] = mv_make(32, 32);  // one block right and down: (3, 3)
  c.mvs()[2 * s + 4] = mv_make(16, 0);   // half on (4, 2), half on (5, 2)
  c.run(0);
  EXPECT_EQ(c.target(0, 0), 800u);
  EXPECT_EQ(c.target(1, 1), 0u);  // not estimated: gives and gets nothing
  EXPECT_EQ(c.target(2, 2), 800u);
  EXPECT_EQ(c.target(3, 3), 0u);
  EXPECT_EQ(c.target(4, 2), 800u);
  EXPECT_EQ(c.target(5, 2), 0u);
}

TEST(CuTree, PropagatedAmountsSaturate) {
  cutree_case_t c;
  ASSERT_NE(c.e.enc, nullptr);
  std::fill(c.e.la(1)->propagate, c.e.la(1)->propagate + c.l.block_count, 0xffffffu);
  c.run(1);
  // 800 x (16777215 + 1000) / 1000 = 13422572: below the limit once...
  EXPECT_EQ(c.target(5, 5), 13422572u);
  c.run(1);
  // ...and held at it the second time.
  EXPECT_EQ(c.target(5, 5), 0xffffffu);
}

// The walk over a typed queue whose estimates are replaced by made-up
// costs: every block of every picture costs 1000 as intra and is coded
// intra, except block (5, 5), which copies() makes a picture take from its
// references with a zero vector.  The first walk makes the estimates it
// needs; they stay cached, so run() propagates the costs written over them.
struct typed_queue_t {
  la_encoder_t e;
  int32_t n, block = 0;
  typed_queue_t(const std::vector<int32_t> &types, int32_t bframes)
      : e(1, 5, static_cast<int32_t>(types.size()), 0, false, false, 0, false, bframes),
        n(static_cast<int32_t>(types.size())) {
    if (!e.enc) return;
    const lowres_layout_t &l = e.layout();
    EXPECT_EQ(e.enc->param.lookahead_step_x, 1);
    EXPECT_EQ(e.enc->param.lookahead_step_y, 1);
    EXPECT_GE(l.block_cols, 8);
    EXPECT_GE(l.block_rows, 8);
    for (int32_t i = 0; i < n; i++) e.frames[i]->frame_type_code = types[i];
    cutree_run(e.enc, e.frames.data(), n, 1);
    block = 5 * l.block_stride + 5;
    for (int32_t i = 0; i < n; i++) {
      lowres_data_t *d = e.la(i);
      for (int32_t d0 = 0; d0 <= l.max_distance; d0++)
        for (int32_t d1 = 0; d1 <= l.max_distance; d1++)
          if (d->block_costs[d0][d1]) std::fill_n(d->block_costs[d0][d1], l.block_count, 1000u | (LOWRES_INTRA << 28));
      for (int32_t list = 0; list < 2; list++)
        for (int32_t k = 0; k < l.max_distance; k++)
          if (d->mvs[list][k]) std::fill_n(d->mvs[list][k], l.block_count, 0u);
      std::fill_n(d->propagate, l.block_count, 0xabcdu);  // the walk must clear what it reads
      e.frames[i]->use_cutree_offsets = 0;
    }
  }
  void copies(int32_t pic, int32_t d0, int32_t d1, uint32_t cost, uint32_t kind) {
    ASSERT_NE(e.la(pic)->block_costs[d0][d1], nullptr) << pic;
    e.la(pic)->block_costs[d0][d1][block] = cost | (kind << 28);
  }
  void run() { cutree_run(e.enc, e.frames.data(), n, 1); }
  uint32_t propagated(int32_t pic) { return e.la(pic)->propagate[block]; }
  // Nothing but block (5, 5) took anything in these pictures.
  void only_the_block(std::initializer_list<int32_t> pics) {
    for (int32_t i : pics)
      for (int32_t k = 0; k < e.layout().block_count; k++) {
        if (k == block) continue;
        ASSERT_EQ(e.la(i)->propagate[k], 0u) << "picture " << i << " block " << k;
      }
  }
  // The offset of the CTU holding block (5, 5), and of the first CTU.
  float offset(int32_t pic) { return e.frames[pic]->aq_cutree_offsets[4 * e.layout().block_stride + 4]; }
  float first_offset(int32_t pic) { return e.frames[pic]->aq_cutree_offsets[0]; }
};
// The offset of a CTU of 4 x 4 blocks of intra cost 1000 each that took P:
// -2 x log2((16000 + P) / 16000) at the default strength 5 x (1 - 0.6).
double ctu_offset(double propagated) { return -2.0 * std::log2((16000.0 + propagated) / 16000.0); }

// I B Bref B P B Bref B P (two groups of three B pictures, whose middle one
// is a reference), decided from picture 1, block (5, 5) copied thus:
//   7 from 6 (list 0) 200: gives 6  (1000 - 200) x (0 + 1000) / 1000 = 800
//   5 from 6 (list 1) 200: gives 6  800                        -> 6 holds 1600
//   6 from 4 and 8 (both) 200: (1000 - 200) x (1600 + 1000) / 1000 = 2080,
//     half each: 4 gets 1040, 8 gets 1040
//   8 from 4 (P) 500: (1000 - 500) x (1040 + 1000) / 1000 = 1020 -> 4 holds 2060
//   3 from 4 (list 1) 200: gives 4  800                        -> 4 holds 2860
//   1 from 2 (list 1) 200: gives 2  800                        -> 2 holds 800
//   2 from 0 (list 0) 200: (1000 - 200) x (800 + 1000) / 1000 = 1440 -> 0
// The anchor 4 and the middle picture 2 get the offsets of their CTUs.
TEST(CuTree, WalkPropagatesThroughTheMiddlePictureAndThePAnchor) {
  typed_queue_t q({TARNHEVCENC_TYPE_I, TARNHEVCENC_TYPE_B, TARNHEVCENC_TYPE_BREF, TARNHEVCENC_TYPE_B,
                   TARNHEVCENC_TYPE_P, TARNHEVCENC_TYPE_B, TARNHEVCENC_TYPE_BREF, TARNHEVCENC_TYPE_B,
                   TARNHEVCENC_TYPE_P},
                  3);
  ASSERT_NE(q.e.enc, nullptr);
  q.copies(7, 1, 1, 200, LOWRES_L0);
  q.copies(5, 1, 1, 200, LOWRES_L1);
  q.copies(6, 2, 2, 200, LOWRES_BI);
  q.copies(8, 4, 0, 500, LOWRES_L0);
  q.copies(3, 1, 1, 200, LOWRES_L1);
  q.copies(1, 1, 1, 200, LOWRES_L1);
  q.copies(2, 2, 2, 200, LOWRES_L0);
  q.run();
  EXPECT_EQ(q.propagated(6), 1600u);
  EXPECT_EQ(q.propagated(4), 2860u);
  EXPECT_EQ(q.propagated(2), 800u);
  EXPECT_EQ(q.propagated(0), 1440u);
  EXPECT_EQ(q.propagated(8), 1040u);
  q.only_the_block({0, 2, 4, 6});
  EXPECT_NEAR(q.offset(4), ctu_offset(2860), 1e-4);
  EXPECT_NEAR(q.offset(2), ctu_offset(800), 1e-4);
  EXPECT_EQ(q.first_offset(4), 0.0f);
  EXPECT_EQ(q.first_offset(2), 0.0f);
  // Only the group's anchor and its reference B picture get offsets.
  for (int32_t i = 0; i < 9; i++) EXPECT_EQ(q.e.frames[i]->use_cutree_offsets, i == 2 || i == 4) << i;
}

// I and seven B pictures and P: a deeper pyramid, middle 4, quarters 2 and 6,
// decided from picture 1, block (5, 5) copied thus:
//   1 from 2 (list 1) 200, 3 from 2 (list 0) 200: 2 holds 1600
//   2 from 4 (list 1, of 0 and 4) 200: 800 x (1600 + 1000) / 1000 = 2080 -> 4
//   5 from 6 (list 1) 500: gives 6 500
//   6 from 4 (list 0, of 4 and 8) 200: 800 x (500 + 1000) / 1000 = 1200 -> 4 holds 3280
//   4 from 0 (list 0, of 0 and 8) 200: 800 x (3280 + 1000) / 1000 = 3424 -> 0
// The anchor 8 took nothing; the middle and both quarters get their offsets.
TEST(CuTree, WalkPropagatesThroughBothLevelsOfADeeperPyramid) {
  typed_queue_t q({TARNHEVCENC_TYPE_I, TARNHEVCENC_TYPE_B, TARNHEVCENC_TYPE_BREF, TARNHEVCENC_TYPE_B,
                   TARNHEVCENC_TYPE_BREF, TARNHEVCENC_TYPE_B, TARNHEVCENC_TYPE_BREF, TARNHEVCENC_TYPE_B,
                   TARNHEVCENC_TYPE_P},
                  7);
  ASSERT_NE(q.e.enc, nullptr);
  ASSERT_EQ(q.e.enc->param.hierarchy, 2);
  q.copies(1, 1, 1, 200, LOWRES_L1);
  q.copies(3, 1, 1, 200, LOWRES_L0);
  q.copies(2, 2, 2, 200, LOWRES_L1);
  q.copies(5, 1, 1, 500, LOWRES_L1);
  q.copies(6, 2, 2, 200, LOWRES_L0);
  q.copies(4, 4, 4, 200, LOWRES_L0);
  q.run();
  EXPECT_EQ(q.propagated(2), 1600u);
  EXPECT_EQ(q.propagated(6), 500u);
  EXPECT_EQ(q.propagated(4), 3280u);
  EXPECT_EQ(q.propagated(0), 3424u);
  EXPECT_EQ(q.propagated(8), 0u);
  q.only_the_block({0, 2, 4, 6, 8});
  EXPECT_NEAR(q.offset(4), ctu_offset(3280), 1e-4);
  EXPECT_NEAR(q.offset(2), ctu_offset(1600), 1e-4);
  EXPECT_NEAR(q.offset(6), ctu_offset(500), 1e-4);
  EXPECT_EQ(q.offset(8), 0.0f);
  for (int32_t i = 0; i < 9; i++)
    EXPECT_EQ(q.e.frames[i]->use_cutree_offsets, i == 2 || i == 4 || i == 6 || i == 8) << i;
}

TEST(CuTree, FastLogarithmFollowsLog2) {
  for (uint32_t x : {1u, 2u, 3u, 9u, 1000u, 12345u, 65536u, 999999u, 16777215u, 0x80000000u, 0xffffffffu})
    EXPECT_NEAR(cutree_log2(x), std::log2(static_cast<double>(x)), 2e-5 * std::max(1.0, std::log2(x))) << x;
  for (int32_t e = 0; e < 32; e++) EXPECT_EQ(cutree_log2(1u << e), static_cast<float>(e));
}

}  // namespace
