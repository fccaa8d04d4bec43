// The job pool: every job runs once, results come back by argument, callers
// block while all job records are taken, and destruction joins the threads.
#include <gtest/gtest.h>

#include <pthread.h>

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

// Every thread the encoder starts has the stack the encoder chose, not the
// system's default (which the process's stack limit sets): the job pool's
// and, through the same function, the row scheduler's.
int64_t own_stack_size(int64_t) {
  pthread_attr_t attr;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return -1;
  pthread_attr_getstacksize(&attr, &size);
  pthread_attr_destroy(&attr);
  return static_cast<int64_t>(size);
}

TEST(ThreadPoolLimits, ThreadsRunOnTheChosenStackSize) {
  if (THREAD_STACK_BYTES == 0) GTEST_SKIP() << "sanitizer build: the system's default stack";
  threadpool_t pool;
  ASSERT_EQ(threadpool_init(&pool, 2, 2), 0);
  threadpool_run(&pool, own_stack_size, 1);
  const int64_t size = threadpool_wait(&pool, 1);
  threadpool_destroy(&pool);
  // The system may round the size up to whole pages.
  EXPECT_GE(size, static_cast<int64_t>(THREAD_STACK_BYTES));
  EXPECT_LT(size, static_cast<int64_t>(THREAD_STACK_BYTES) + 65536);
}

}  // namespace
