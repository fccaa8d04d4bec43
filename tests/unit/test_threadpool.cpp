// The job pool: every job runs once, results come back by argument, callers
// block while all job records are taken, and destruction joins the threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "encoder/threadpool.h"

namespace {

std::atomic<int32_t> runs{0};

int64_t square(int64_t x) {
  runs++;
  return x * x;
}

class ThreadPool : public ::testing::TestWithParam<std::pair<int32_t, int32_t>> {};

TEST_P(ThreadPool, EveryJobRunsOnceAndReturnsItsResultByArgument) {
  const auto [threads, records] = GetParam();
  threadpool_t pool;
  ASSERT_EQ(threadpool_init(&pool, threads, records), 0);
  runs = 0;
  const int64_t jobs = 200;
  // More jobs than records: submitting blocks until results are collected,
  // so collect in submission windows no larger than the record count.
  for (int64_t base = 0; base < jobs; base += records) {
    const int64_t end = std::min<int64_t>(jobs, base + records);
    for (int64_t a = base; a < end; a++) threadpool_run(&pool, square, a + 1000000007LL);
    // Collect in reverse order: results are found by argument, not order.
    for (int64_t a = end - 1; a >= base; a--) EXPECT_EQ(threadpool_wait(&pool, a + 1000000007LL), (a + 1000000007LL) * (a + 1000000007LL));
  }
  EXPECT_EQ(runs.load(), jobs);
  threadpool_destroy(&pool);
}

INSTANTIATE_TEST_SUITE_P(Shapes, ThreadPool,
                         ::testing::Values(std::make_pair(1, 1), std::make_pair(1, 8), std::make_pair(4, 3),
                                           std::make_pair(8, 16), std::make_pair(0, 4)));

TEST(ThreadPoolLimits, ThreadCountIsClampedAndDestroyIsSafeTwice) {
  threadpool_t pool;
  ASSERT_EQ(threadpool_init(&pool, -5, 0), 0);
  EXPECT_EQ(pool.thread_count, 1);
  threadpool_run(&pool, square, 3);
  EXPECT_EQ(threadpool_wait(&pool, 3), 9);
  threadpool_destroy(&pool);
  threadpool_destroy(&pool);
}

// A submitter blocked on the only record must be woken by the collector
// that frees it, from another thread, round after round (a missed wake-up
// hangs here).
TEST(ThreadPoolLimits, BlockedSubmitterWakesWhenAnotherThreadCollects) {
  threadpool_t pool;
  ASSERT_EQ(threadpool_init(&pool, 2, 1), 0);
  const int64_t jobs = 300;
  std::thread submitter([&] {
    for (int64_t a = 1; a <= jobs; a++) threadpool_run(&pool, square, a);
  });
  for (int64_t a = 1; a <= jobs; a++) EXPECT_EQ(threadpool_wait(&pool, a), a * a);
  submitter.join();
  threadpool_destroy(&pool);
}

}  // namespace
