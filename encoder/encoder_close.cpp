// The end: the statistics printed, and the memory given back, much of it
// on helper threads beside the caller's; and the jobs that give input
// pictures' pages and row contexts' buffers back early, once the input has
// ended.

#include "encoder/lifecycle.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "analysis/analysis_tables.h"
#include "common/memory.h"
#include "encoder/row_contexts.h"
#include "encoder/rowsched.h"
#include "encoder/sched_trace.h"
#include "encoder/threadpool.h"
#include "ratecontrol/lookahead_frame.h"
#include "ratecontrol/lowres_cost.h"
#include "ratecontrol/ratecontrol.h"

static void print_end_statistics(const encoder_t *enc) {
  const encoder_stats_t *s = enc->stats;
  if (!(enc->param.log_level & 1) || s->frames == 0) return;
  static const char *names[7] = {"", "IDR", "CRA", "I", "P", "Bref", "B"};
  for (int t = 1; t < 7; t++) {
    if (!s->frames_by_type[t]) continue;
    std::fprintf(stderr, "tarnhevcenc: %-4s frames %6lld  avg size %10.1f bytes\n", names[t],
                 static_cast<long long>(s->frames_by_type[t]),
                 static_cast<double>(s->bytes_by_type[t]) / static_cast<double>(s->frames_by_type[t]));
  }
  const double fps = static_cast<double>(enc->param.fps_num) / enc->param.fps_den;
  const double kbps = s->bytes * 8.0 * fps / static_cast<double>(s->frames) / 1000.0;
  double psnr[3];
  for (int p = 0; p < 3; p++) {
    const double mse = s->mse_sum[p] / static_cast<double>(s->frames);
    psnr[p] = mse > 0 ? 10.0 * std::log10(255.0 * 255.0 / mse) : INFINITY;
  }
  std::fprintf(stderr, "tarnhevcenc: %lld frames, %.2f kb/s, avg QP %.2f, PSNR Y %.3f U %.3f V %.3f\n",
               static_cast<long long>(s->frames), kbps, s->qp_sum / static_cast<double>(s->frames), psnr[0],
               psnr[1], psnr[2]);
  if (s->first_picture_ns > 0) {
    const double total = static_cast<double>(now_ns() - s->first_picture_ns);
    const double frames = static_cast<double>(s->frames);
    std::fprintf(stderr,
                 "tarnhevcenc: lookahead %.2f ms per picture on the caller's thread, %.1f%% of the encoding time "
                 "(type decisions %.2f ms per picture in all, %lld of %lld behind the caller)\n",
                 static_cast<double>(s->lookahead_ns) / 1e6 / frames,
                 total > 0 ? 100.0 * static_cast<double>(s->lookahead_ns) / total : 0.0,
                 static_cast<double>(s->decision_ns) / 1e6 / frames, static_cast<long long>(s->decisions_behind),
                 static_cast<long long>(s->decisions));
  }
  if (enc->param.rcmode == TARNHEVCENC_RC_ABR && enc->param.bitrate > 0)
    std::fprintf(stderr, "tarnhevcenc: bitrate %.2f kb/s against a target of %d kb/s (%+.1f%%)\n", kbps,
                 enc->param.bitrate, 100.0 * (kbps / enc->param.bitrate - 1.0));
}

static void encoder_free(encoder_t *enc);

static int64_t page_return_job(int64_t arg) {
  frame_pool_t *pool = reinterpret_cast<encoder_t::page_return_t *>(arg)->pool;
  while (frame_t *f = frame_pool_next_returning(pool)) frame_return_pages(f);
  return 0;
}

// Takes back the record of a job left on the lookahead pool, if one is.
static void pool_job_wait(encoder_t *enc, const void *record, int32_t *pending) {
  if (!*pending) return;
  threadpool_wait(&enc->lookahead_engine->pool, reinterpret_cast<int64_t>(record));
  *pending = 0;
}

void page_return_wait(encoder_t *enc) { pool_job_wait(enc, &enc->page_return, &enc->page_return.pending); }

// Starts the job when input pictures wait for it and none takes them.
void page_return_start(encoder_t *enc) {
  if (!enc->input_ended || !frame_pool_returning_job_due(enc->pool)) return;
  // A job that found the list empty has ended or is ending: its record is
  // taken back before the next one goes in.
  page_return_wait(enc);
  enc->page_return.pool = enc->pool;
  enc->page_return.pending = 1;
  threadpool_run(&enc->lookahead_engine->pool, page_return_job, reinterpret_cast<int64_t>(&enc->page_return));
}

static int64_t row_release_job(int64_t arg) {
  SCHED_TRACE_SCOPE('z', 5, 0, 0);
  row_contexts_release(reinterpret_cast<encoder_t::row_release_t *>(arg)->fctx);
  return 0;
}

void row_release_wait(encoder_t *enc) { pool_job_wait(enc, &enc->row_release, &enc->row_release.pending); }

// Once the input has ended and every picture has started, a frame context
// whose picture was collected codes nothing more unless input comes again:
// its row contexts' buffers go back beside the last pictures' coding, one
// frame context at a time (a collect every few milliseconds, each release
// a few), instead of at close, where they were most of the closing time.
void row_release_start(encoder_t *enc, encoder_t *fctx) {
  const lookahead_queue_t *q = enc->lookahead;
  if (!enc->input_ended || q->input->count > 0 || q->decided->count > 0) return;
  row_release_wait(enc);
  enc->row_release.fctx = fctx;
  enc->row_release.pending = 1;
  threadpool_run(&enc->lookahead_engine->pool, row_release_job, reinterpret_cast<int64_t>(&enc->row_release));
}

// Whether the input's end lets input pictures give their pages back early:
// with a lookahead pool to do it beside the workers.
bool pages_return_early(const encoder_t *enc) {
  return enc->param.threads > 1 && enc->lookahead_engine && enc->lookahead_engine->pool_ready;
}

void encoder_close(encoder_t *enc) {
  if (!enc) return;
  {
    SCHED_TRACE_SCOPE('Z', 0, 0, 0);
    encoder_free(enc);
  }
  SCHED_TRACE_WRITE();
}

static void *free_frame_contexts(void *arg) {
  encoder_t *enc = static_cast<encoder_t *>(arg);
  if (!enc->frame_ctx) return nullptr;
  SCHED_TRACE_SCOPE('z', 2, 0, 0);
  for (int32_t i = 1; i <= enc->frame_ctx_count; i++) {
    if (!enc->frame_ctx[i]) continue;
    ctx_free_picture_arrays(enc->frame_ctx[i]);
    aligned_free(enc->frame_ctx[i]);
  }
  aligned_free(enc->frame_ctx);
  enc->frame_ctx = nullptr;
  return nullptr;
}

// Most of the closing time: the frame contexts on a thread of their own
// while the caller's and up to three more threads free the pool.
static void free_on_own_threads(encoder_t *enc) {
  pthread_t contexts_thread;
  const bool contexts_apart =
      enc->frame_ctx && enc->param.threads > 1 && thread_start(&contexts_thread, free_frame_contexts, enc) == 0;
  if (!contexts_apart) free_frame_contexts(enc);
  {
    SCHED_TRACE_SCOPE('z', 3, 0, 0);
    if (enc->pool) frame_pool_destroy(enc->pool, enc->param.threads);
  }
  if (contexts_apart) pthread_join(contexts_thread, nullptr);
}

// A part of the closing that runs on the lookahead pool: the frame contexts
// (share < 0) or a share of the picture pool.
struct close_job_t {
  encoder_t *enc;
  int32_t share, shares;
};

static int64_t close_job(int64_t arg) {
  const close_job_t *job = reinterpret_cast<const close_job_t *>(arg);
  if (job->share < 0)
    free_frame_contexts(job->enc);
  else
    frame_pool_free_share(job->enc->pool, job->share, job->shares);
  return 0;
}

// The same on the lookahead pool's threads, idle by now: threads started
// here each waited for the memory-map lock that the others' unmapping held,
// a millisecond and more on the caller's thread per start on a loaded
// machine.
static void free_beside_lookahead_pool(encoder_t *enc) {
  constexpr int32_t POOL_SHARES = 4;
  threadpool_t *helpers = &enc->lookahead_engine->pool;
  const int32_t shares = enc->pool && enc->pool->all ? std::clamp(enc->param.threads, 1, POOL_SHARES) : 0;
  close_job_t jobs[POOL_SHARES];
  jobs[0] = close_job_t{enc, -1, 0};
  for (int32_t k = 1; k < shares; k++) jobs[k] = close_job_t{enc, k, shares};
  const bool contexts = enc->frame_ctx != nullptr;
  if (contexts) threadpool_run(helpers, close_job, reinterpret_cast<int64_t>(&jobs[0]));
  for (int32_t k = 1; k < shares; k++) threadpool_run(helpers, close_job, reinterpret_cast<int64_t>(&jobs[k]));
  {
    SCHED_TRACE_SCOPE('z', 3, 0, 0);
    if (shares > 0) frame_pool_free_share(enc->pool, 0, shares);
    for (int32_t k = 1; k < shares; k++) threadpool_wait(helpers, reinterpret_cast<int64_t>(&jobs[k]));
    if (enc->pool) frame_pool_destroy(enc->pool);
  }
  if (contexts) threadpool_wait(helpers, reinterpret_cast<int64_t>(&jobs[0]));
}

static void encoder_free(encoder_t *enc) {
  // The pages go back before the pool and its pictures go, the row
  // contexts' buffers before the frame contexts.
  if (enc->lookahead_engine && enc->lookahead_engine->pool_ready) {
    page_return_wait(enc);
    row_release_wait(enc);
  }
  // The row contexts are made into the frame contexts.
  row_contexts_free(enc);
  // A half-resolution build left on the lookahead pool writes into a picture
  // of the frame pool.
  if (enc->lookahead_engine) lookahead_frame_wait(enc);
  // The workers stop after the CTU they are coding; nothing runs afterwards.
  // With no picture in flight they touch nothing more than the scheduler's
  // own records: told to stop now, they end while the memory goes back and
  // are joined last (each one's end waits for the system to run it, which
  // on a loaded machine took milliseconds).
  const bool workers_idle = enc->inflight_count == 0;
  if (enc->sched && enc->sched->threads) {
    SCHED_TRACE_SCOPE('z', 1, 0, 0);
    if (workers_idle)
      rowsched_stop(enc->sched);
    else
      rowsched_destroy(enc->sched);
  }
  if (enc->rc && enc->last_started) {
    ratecontrol_sync_state(enc, enc->last_started, enc);
    ratecontrol_sync_state(enc->last_started, enc->last_started, enc);
  }
  print_end_statistics(enc);
  ratecontrol_free(enc);
  // The frame contexts are freed beside the pool's pictures, and those in
  // shares at once: both are mostly pages given back to the system, which
  // frees them for several threads at once.  Queued, referenced and held
  // pictures all belong to the pool, which frees every picture it ever made.
  if (enc->lookahead_engine && enc->lookahead_engine->pool_ready)
    free_beside_lookahead_pool(enc);
  else
    free_on_own_threads(enc);
  if (enc->sched) {
    SCHED_TRACE_SCOPE('z', 1, 1, 0);
    if (enc->sched->threads) rowsched_destroy(enc->sched);
    aligned_free(enc->sched);
  }
  {
    SCHED_TRACE_SCOPE('z', 4, 0, 0);
    lookahead_engine_delete(enc->lookahead_engine);
  }
  if (enc->lookahead) {
    frame_list_destroy(enc->lookahead->input);
    frame_list_destroy(enc->lookahead->decided);
    aligned_free(enc->lookahead->input);
  }
  nal_list_free(&enc->nals);
  aligned_free(const_cast<scan_tables_t *>(enc->scan_tables));
  aligned_free(enc->sps);
  aligned_free(enc->pps);
  aligned_free(enc->stats);
  aligned_free(enc->pool);
  aligned_free(enc->lookahead);
  aligned_free(enc->out_buf);
  analysis_tables_destroy(enc);
  aligned_free(enc);
}
