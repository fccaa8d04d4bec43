#include "encoder/sched_trace.h"

#ifdef TARN_SCHED_TRACE

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

struct event_t {
  char kind;
  int32_t thread, a, b, c;
  int64_t start, end;
  int64_t cpu;  // the thread's CPU time within a CTU job, else 0
};

constexpr int32_t EVENT_CAPACITY = 1 << 21;
std::atomic<int32_t> event_count{0};
std::atomic<int32_t> thread_count{0};
thread_local int32_t thread_id = -1;

// Made by the first event (a trace build only).
event_t *buffer() {
  static event_t *const events = static_cast<event_t *>(std::calloc(EVENT_CAPACITY, sizeof(event_t)));
  return events;
}

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A CTU job's own CPU time, beside its wall time: on a loaded machine the
// wall time also counts the time the system ran other programs, which
// bench/thread_trace.py --cpu leaves out of its replays.
int64_t thread_cpu_ns() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

sched_trace_scope::sched_trace_scope(char kind, int32_t a, int32_t b, int32_t c)
    : kind_(kind), a_(a), b_(b), c_(c), start_(now_ns()), cpu_start_(kind == 'C' ? thread_cpu_ns() : 0) {}

sched_trace_scope::~sched_trace_scope() {
  const int64_t cpu = kind_ == 'C' ? thread_cpu_ns() - cpu_start_ : 0;
  event_t *events = buffer();
  if (thread_id < 0) thread_id = thread_count++;
  const int32_t i = event_count++;
  if (events && i < EVENT_CAPACITY) events[i] = event_t{kind_, thread_id, a_, b_, c_, start_, now_ns(), cpu};
}

void sched_trace_write() {
  const char *path = std::getenv("TARN_TRACE");
  const event_t *events = buffer();
  FILE *f = path && events ? std::fopen(path, "w") : nullptr;
  if (!f) return;
  const int32_t n = std::min(event_count.load(), EVENT_CAPACITY);
  for (int32_t i = 0; i < n; i++) {
    const event_t &e = events[i];
    std::fprintf(f, "%c %d %d %d %d %lld %lld %lld\n", e.kind, e.thread, e.a, e.b, e.c,
                 static_cast<long long>(e.start), static_cast<long long>(e.end), static_cast<long long>(e.cpu));
  }
  std::fclose(f);
}

#endif
