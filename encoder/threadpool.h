// The job pool: worker threads that run submitted functions, each job
// carrying a 64-bit argument and leaving a 64-bit result to be collected by
// argument (the lookahead's cost jobs).
#pragma once

#include <pthread.h>

#include <cstdint>

constexpr int32_t THREADPOOL_MAX_THREADS = 8191;

struct threadpool_job_t {
  int64_t (*fn)(int64_t arg);
  int64_t arg;
  int64_t result;
  int32_t state;  // 0 free, 1 queued, 2 running, 3 finished
};

struct threadpool_t {
  pthread_mutex_t mutex;
  pthread_cond_t work;      // a job was queued, or the pool stops
  pthread_cond_t finished;  // a job finished, or a record became free
  threadpool_job_t *jobs;
  int32_t job_count;
  pthread_t *threads;
  int32_t thread_count;
  int32_t stop;
  int32_t waiters;  // threads blocked on `finished`
};

// Returns 0, or -1 (with nothing left to destroy) when threads or memory are
// missing; threads is clamped to 1..THREADPOOL_MAX_THREADS.
int threadpool_init(threadpool_t *pool, int32_t threads, int32_t job_records);
// Lets running jobs end, drops queued ones, joins the threads.
void threadpool_destroy(threadpool_t *pool);
// Queues fn(arg); blocks while every job record is in use.
void threadpool_run(threadpool_t *pool, int64_t (*fn)(int64_t), int64_t arg);
// Blocks until a finished job with this argument exists, frees its record and
// returns its result.
int64_t threadpool_wait(threadpool_t *pool, int64_t arg);
