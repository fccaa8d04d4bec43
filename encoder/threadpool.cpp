#include "encoder/threadpool.h"

#include <algorithm>
#include <cstring>

#include "common/memory.h"

namespace {

constexpr int32_t NO_SLEEPER = -1;

// Takes the thread put to sleep last off the stack (the lock is held);
// NO_SLEEPER when every thread is awake.
int32_t take_sleeper(threadpool_t *pool) {
  const int32_t top = pool->sleeping;
  if (top != NO_SLEEPER) pool->sleeping = pool->sleepers[top].next;
  return top;
}

void *pool_main(void *p) {
  threadpool_sleeper_t *self = static_cast<threadpool_sleeper_t *>(p);
  threadpool_t *pool = self->pool;
  // Wake-ups go out after the lock is let go (see rowsched.cpp): a thread
  // woken while the lock is held would only block on it again.
  bool notify = false;  // a job ended while someone waited for one
  pthread_mutex_lock(&pool->mutex);
  for (;;) {
    threadpool_job_t *job = nullptr;
    while (!pool->stop) {
      for (int32_t i = 0; i < pool->job_count && !job; i++)
        if (pool->jobs[i].state == 1) job = &pool->jobs[i];
      if (job) break;
      if (notify) {
        pthread_mutex_unlock(&pool->mutex);
        pthread_cond_broadcast(&pool->finished);
        notify = false;
        pthread_mutex_lock(&pool->mutex);
        continue;
      }
      self->next = pool->sleeping;
      pool->sleeping = self->index;
      pthread_mutex_unlock(&pool->mutex);
      while (sem_wait(&self->wake) != 0) {
      }
      pthread_mutex_lock(&pool->mutex);
    }
    if (pool->stop) break;
    job->state = 2;
    pthread_mutex_unlock(&pool->mutex);
    if (notify) pthread_cond_broadcast(&pool->finished);
    notify = false;
    const int64_t result = job->fn(job->arg);
    pthread_mutex_lock(&pool->mutex);
    job->result = result;
    job->state = 3;
    // Most jobs end while nobody waits for them: no wake-up then.
    notify = pool->waiters != 0;
  }
  pthread_mutex_unlock(&pool->mutex);
  if (notify) pthread_cond_broadcast(&pool->finished);
  return nullptr;
}

}  // namespace

int thread_start(pthread_t *thread, void *(*main)(void *), void *arg) {
  if (THREAD_STACK_BYTES == 0) return pthread_create(thread, nullptr, main, arg);
  pthread_attr_t attr;
  int err = pthread_attr_init(&attr);
  if (err != 0) return err;
  err = pthread_attr_setstacksize(&attr, THREAD_STACK_BYTES);
  if (err == 0) err = pthread_create(thread, &attr, main, arg);
  pthread_attr_destroy(&attr);
  return err;
}

int threadpool_init(threadpool_t *pool, int32_t threads, int32_t job_records) {
  std::memset(pool, 0, sizeof(*pool));
  threads = std::clamp(threads, 1, THREADPOOL_MAX_THREADS);
  job_records = std::max(job_records, 1);
  pool->jobs = static_cast<threadpool_job_t *>(aligned_malloc(sizeof(threadpool_job_t) * job_records));
  pool->threads = static_cast<pthread_t *>(aligned_malloc(sizeof(pthread_t) * threads));
  pool->sleepers = static_cast<threadpool_sleeper_t *>(aligned_malloc(sizeof(threadpool_sleeper_t) * threads));
  if (!pool->jobs || !pool->threads || !pool->sleepers) {
    aligned_free(pool->jobs);
    aligned_free(pool->threads);
    aligned_free(pool->sleepers);
    pool->jobs = nullptr;
    return -1;
  }
  std::memset(pool->jobs, 0, sizeof(threadpool_job_t) * job_records);
  pool->job_count = job_records;
  pool->sleeping = NO_SLEEPER;
  pthread_mutex_init(&pool->mutex, nullptr);
  pthread_cond_init(&pool->finished, nullptr);
  for (int32_t i = 0; i < threads; i++) {
    threadpool_sleeper_t &w = pool->sleepers[i];
    w.pool = pool;
    w.index = i;
    w.next = NO_SLEEPER;
    if (sem_init(&w.wake, 0, 0) != 0) break;
    if (thread_start(&pool->threads[i], pool_main, &w) != 0) {
      sem_destroy(&w.wake);
      break;
    }
    pool->thread_count++;
  }
  if (pool->thread_count == 0) {
    threadpool_destroy(pool);
    return -1;
  }
  return 0;
}

void threadpool_destroy(threadpool_t *pool) {
  if (!pool->jobs) return;
  pthread_mutex_lock(&pool->mutex);
  pool->stop = 1;
  int32_t asleep = NO_SLEEPER;
  while (pool->sleeping != NO_SLEEPER) {
    const int32_t w = take_sleeper(pool);
    pool->sleepers[w].next = asleep;
    asleep = w;
  }
  pthread_mutex_unlock(&pool->mutex);
  while (asleep != NO_SLEEPER) {
    threadpool_sleeper_t &w = pool->sleepers[asleep];
    asleep = w.next;
    sem_post(&w.wake);
  }
  for (int32_t i = 0; i < pool->thread_count; i++) pthread_join(pool->threads[i], nullptr);
  for (int32_t i = 0; i < pool->thread_count; i++) sem_destroy(&pool->sleepers[i].wake);
  pthread_mutex_destroy(&pool->mutex);
  pthread_cond_destroy(&pool->finished);
  aligned_free(pool->jobs);
  aligned_free(pool->threads);
  aligned_free(pool->sleepers);
  pool->jobs = nullptr;
  pool->threads = nullptr;
  pool->sleepers = nullptr;
}

void threadpool_run(threadpool_t *pool, int64_t (*fn)(int64_t), int64_t arg) {
  pthread_mutex_lock(&pool->mutex);
  for (;;) {
    for (int32_t i = 0; i < pool->job_count; i++) {
      threadpool_job_t &j = pool->jobs[i];
      if (j.state != 0) continue;
      j.fn = fn;
      j.arg = arg;
      j.state = 1;
      // One sleeping thread for the job, if every thread sleeps; an awake
      // one finds it when it looks for work next.
      const int32_t w = take_sleeper(pool);
      pthread_mutex_unlock(&pool->mutex);
      if (w != NO_SLEEPER) sem_post(&pool->sleepers[w].wake);
      return;
    }
    pool->waiters++;
    pthread_cond_wait(&pool->finished, &pool->mutex);
    pool->waiters--;
  }
}

int64_t threadpool_wait(threadpool_t *pool, int64_t arg) {
  pthread_mutex_lock(&pool->mutex);
  for (;;) {
    for (int32_t i = 0; i < pool->job_count; i++) {
      threadpool_job_t &j = pool->jobs[i];
      if (j.state == 3 && j.arg == arg) {
        const int64_t result = j.result;
        j.state = 0;
        // A record became free for a blocked threadpool_run.
        const bool notify = pool->waiters != 0;
        pthread_mutex_unlock(&pool->mutex);
        if (notify) pthread_cond_broadcast(&pool->finished);
        return result;
      }
    }
    pool->waiters++;
    pthread_cond_wait(&pool->finished, &pool->mutex);
    pool->waiters--;
  }
}
