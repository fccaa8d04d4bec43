// The scheduling trace for bench/thread_trace.py: built with
// -DTARN_SCHED_TRACE=ON, the encoder records when each CTU job, each row
// finalisation and each step of the caller's thread began and ended (and
// the CPU time of each CTU job), and at close writes them to the file that
// the environment variable TARN_TRACE names.  Otherwise every macro here is
// empty.
#pragma once

#include <cstdint>

#ifdef TARN_SCHED_TRACE
// Records one event from its construction to its end: its kind (a letter)
// and three numbers (picture, row, column or the like).
class sched_trace_scope {
 public:
  sched_trace_scope(char kind, int32_t a, int32_t b, int32_t c);
  ~sched_trace_scope();
  sched_trace_scope(const sched_trace_scope &) = delete;
  sched_trace_scope &operator=(const sched_trace_scope &) = delete;

 private:
  char kind_;
  int32_t a_, b_, c_;
  int64_t start_;
  int64_t cpu_start_;
};
void sched_trace_write();
#define SCHED_TRACE_SCOPE(kind, a, b, c) const sched_trace_scope sched_trace_scope_((kind), (a), (b), (c))
#define SCHED_TRACE_WRITE() sched_trace_write()
#else
#define SCHED_TRACE_SCOPE(kind, a, b, c) ((void)0)
#define SCHED_TRACE_WRITE() ((void)0)
#endif
