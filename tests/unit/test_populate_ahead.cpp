// The pages of the next input pictures are mapped on the lookahead pool, the
// first ones from creation on, and the caller never waits for that: with
// every pool thread held up, taking pictures and asking for more pages ahead
// still returns, the pictures whose job could not start are left for a later
// call, and once the pool runs again a later call maps them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "encoder/encoder.h"
#include "encoder/frame.h"
#include "encoder/threadpool.h"
#include "ratecontrol/lookahead_frame.h"
#include "ratecontrol/lowres_cost.h"
#include "tarnhevcenc.h"

namespace {

std::atomic<int32_t> hold{0};

int64_t held_job(int64_t) {
  while (hold.load(std::memory_order_acquire)) std::this_thread::sleep_for(std::chrono::microseconds(100));
  return 0;
}

encoder_t *open_encoder() {
  tarnhevcenc_param_t p;
  std::memset(&p, 0, sizeof(p));
  p.size = sizeof(p);
  EXPECT_EQ(tarnhevcenc_default_param(&p), 0);
  p.rcmode = TARNHEVCENC_RC_CQP;
  p.width = 128;
  p.height = 64;
  p.qp = 30;
  p.log_level = 0;
  p.threads = 2;
  p.bframes = 3;
  p.scenecut = 40;
  return encoder_open(&p);
}

TEST(PopulateAhead, TheCallerGoesOnWhileThePoolIsHeldAndTheSkippedPicturesAreMappedLater) {
  encoder_t *enc = open_encoder();
  ASSERT_NE(enc, nullptr);
  lookahead_engine_t *e = enc->lookahead_engine;
  ASSERT_NE(e, nullptr);
  ASSERT_TRUE(e->pool_ready);
  lookahead_frame_wait(enc);

  // Every pool thread runs a job that does not end until released.
  hold.store(1, std::memory_order_release);
  const int32_t threads = e->pool.thread_count;
  for (int32_t t = 0; t < threads; t++) threadpool_run(&e->pool, held_job, 1000 + t);

  // More pictures are taken than there are mapping jobs, so with jobs that
  // block, a later call finds every job record it uses still at work.
  std::vector<frame_t *> taken;
  auto caller = std::async(std::launch::async, [&] {
    for (int32_t k = 0; k < 2 * LOOKAHEAD_POPULATE_SLOTS; k++) {
      frame_t *f = frame_get_unused(enc->pool, 1);
      if (!f) break;
      f->pages_ready = 1;
      taken.push_back(f);
      lookahead_populate_ahead(enc);
    }
  });
  const bool returned = caller.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  hold.store(0, std::memory_order_release);
  caller.wait();
  for (int32_t t = 0; t < threads; t++) threadpool_wait(&e->pool, 1000 + t);
  EXPECT_TRUE(returned) << "the caller waited for a mapping job while the pool was held";
  EXPECT_EQ(taken.size(), static_cast<size_t>(2 * LOOKAHEAD_POPULATE_SLOTS));

  // Pictures beyond those the jobs took are still to be mapped ...
  lookahead_frame_wait(enc);
  int32_t unmapped = 0;
  for (int32_t k = 0; k < LOOKAHEAD_POPULATE_SLOTS; k++) {
    const frame_t *next = frame_peek_unused(enc->pool, 1, k);
    if (next && !next->pages_ready) unmapped++;
  }
  EXPECT_GT(unmapped, 0);
  // ... and the next call, with the pool free, maps them all.
  lookahead_populate_ahead(enc);
  lookahead_frame_wait(enc);
  for (int32_t k = 0; k < LOOKAHEAD_POPULATE_SLOTS; k++) {
    const frame_t *next = frame_peek_unused(enc->pool, 1, k);
    if (next) {
      EXPECT_TRUE(next->pages_ready) << "picture " << k << " ahead";
    }
  }
  for (frame_t *f : taken) frame_release(enc->pool, f);
  encoder_close(enc);
}

// The first input pictures' pages are mapped from creation on, before the
// first picture enters.
TEST(PopulateAhead, TheFirstPicturesAreMappedAtCreation) {
  encoder_t *enc = open_encoder();
  ASSERT_NE(enc, nullptr);
  ASSERT_NE(enc->lookahead_engine, nullptr);
  ASSERT_TRUE(enc->lookahead_engine->pool_ready);
  lookahead_frame_wait(enc);
  for (int32_t k = 0; k < LOOKAHEAD_POPULATE_SLOTS; k++) {
    const frame_t *next = frame_peek_unused(enc->pool, 1, k);
    ASSERT_NE(next, nullptr);
    EXPECT_TRUE(next->pages_ready) << "picture " << k;
  }
  encoder_close(enc);
}

}  // namespace
