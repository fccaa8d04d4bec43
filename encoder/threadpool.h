// The job pool: worker threads that run submitted functions, each job
// carrying a 64-bit argument and leaving a 64-bit result to be collected by
// argument (the lookahead's cost jobs).
#pragma once

#include <pthread.h>
#include <semaphore.h>

#include <cstddef>
#include <cstdint>

constexpr int32_t THREADPOOL_MAX_THREADS = 8191;

// Stack of every thread the encoder starts.  The deepest call chain of a CTU
// job or a lookahead cost job (the CU recursion down to the quantiser's
// trellis, whose frame of about 64 KB is the largest) needs less than 128 KB:
// encodes at every complexity level and with random decisions run under a
// 128 KB stack limit and crash under 64 KB.  1 MB keeps eight times that, and
// every thread costs 1 MB of address space instead of the system's default
// (8 MB on most systems).  Sanitizer builds keep the default: their frames
// are several times larger.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t THREAD_STACK_BYTES = 0;
#else
constexpr size_t THREAD_STACK_BYTES = size_t{1} << 20;
#endif
// pthread_create with that stack size; 0 or the error number.
int thread_start(pthread_t *thread, void *(*main)(void *), void *arg);

struct threadpool_job_t {
  int64_t (*fn)(int64_t arg);
  int64_t arg;
  int64_t result;
  int32_t state;  // 0 free, 1 queued, 2 running, 3 finished
};

struct threadpool_t;

// A pool thread's own wake-up, as the row scheduler's workers have (see
// rowsched.h): an idle thread sleeps on its semaphore in a stack of
// sleepers, and a queued job posts one of them.
struct threadpool_sleeper_t {
  threadpool_t *pool;
  sem_t wake;
  int32_t index;
  int32_t next;  // the next sleeper in the stack; -1: none
};

struct threadpool_t {
  pthread_mutex_t mutex;
  pthread_cond_t finished;  // a job finished, or a record became free
  threadpool_job_t *jobs;
  int32_t job_count;
  pthread_t *threads;
  threadpool_sleeper_t *sleepers;  // one per thread
  int32_t sleeping;                // the thread last put to sleep; -1: none
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
