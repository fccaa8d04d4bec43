#include "ratecontrol/lookahead_frame.h"

#include <algorithm>
#include <cstring>

#include "common/primitives.h"
#include "encoder/encoder.h"
#include "encoder/frame.h"
#include "encoder/sched_trace.h"
#include "ratecontrol/aq.h"
#include "ratecontrol/lowres_cost.h"
#include "ratecontrol/lowres_data.h"

namespace {

// Repeats the outermost samples of a w x h plane into its margins, the side
// columns first so that the rows above and below carry them too.
void extend_lowres_plane(uint8_t *o, int32_t stride, int32_t w, int32_t h) {
  for (int32_t y = 0; y < h; y++) {
    uint8_t *row = o + static_cast<intptr_t>(y) * stride;
    std::memset(row - LOWRES_PAD_X, row[0], LOWRES_PAD_X);
    std::memset(row + w, row[w - 1], LOWRES_PAD_X);
  }
  const int32_t full = w + 2 * LOWRES_PAD_X;
  uint8_t *first = o - LOWRES_PAD_X, *last = o + static_cast<intptr_t>(h - 1) * stride - LOWRES_PAD_X;
  for (int32_t y = 1; y <= LOWRES_PAD_Y; y++) {
    std::memcpy(first - static_cast<intptr_t>(y) * stride, first, full);
    std::memcpy(last + static_cast<intptr_t>(y) * stride, last, full);
  }
}

void prepare(encoder_t *enc, frame_t *f, uint32_t tasks) {
  if (tasks & PREPARE_AQ) aq_compute_qp_offsets(enc, f);
  if (tasks & PREPARE_EXTEND) frame_extend_borders(f);
  if (tasks & PREPARE_LOWRES) lowres_build(enc->mc, f, (tasks & PREPARE_PHASES) != 0);
}

// Takes the next entry not yet taken until none is left; a built entry is
// retired once every entry before it is (the intra estimates of an entry
// wait for `done` to pass it).
int64_t lowres_build_job(int64_t arg) {
  lowres_build_worker_t *w = reinterpret_cast<lowres_build_worker_t *>(arg);
  lowres_build_job_t *j = w->job;
  pthread_mutex_lock(&j->mutex);
  while (j->claimed < j->count) {
    const int32_t at = (j->head + j->claimed) % LOWRES_BUILD_QUEUE;
    j->claimed++;
    frame_t *f = j->queue[at];
    const uint32_t tasks = j->tasks[at];
    encoder_t *enc = j->enc;
    pthread_mutex_unlock(&j->mutex);
    {
      SCHED_TRACE_SCOPE('P', f->frame_number, static_cast<int32_t>(tasks), 0);
      prepare(enc, f, tasks);
    }
    pthread_mutex_lock(&j->mutex);
    j->built[at] = 1;
    while (j->count > 0 && j->built[j->head]) {
      j->built[j->head] = 0;
      j->head = (j->head + 1) % LOWRES_BUILD_QUEUE;
      j->count--;
      j->claimed--;
      j->done++;
    }
  }
  w->running = 0;
  j->running--;
  pthread_mutex_unlock(&j->mutex);
  return 0;
}

int64_t units_job(int64_t arg) {
  frame_pool_clear_units(reinterpret_cast<frame_pool_t *>(arg));
  return 0;
}

int64_t populate_job(int64_t arg) {
  populate_job_t *j = reinterpret_cast<populate_job_t *>(arg);
  frame_populate(j->f);
  j->ended.store(1, std::memory_order_release);
  return 0;
}

int64_t intra_job(int64_t arg) {
  intra_job_t *j = reinterpret_cast<intra_job_t *>(arg);
  SCHED_TRACE_SCOPE('T', j->f->frame_number, 0, 0);
  lookahead_intra_costs(j->ctx, j->slot, j->f);
  j->ended.store(1, std::memory_order_release);
  return 0;
}

// Takes an intra job's record back; its picture's estimates are complete.
void intra_collect(lookahead_engine_t *e, intra_job_t *j) {
  if (!j->pending) return;
  threadpool_wait(&e->pool, reinterpret_cast<int64_t>(j));
  j->f->intra_ready = 1;
  j->pending = 0;
}

// Starts the intra estimates of the waiting pictures whose build has ended
// on records that are free.  With `all` (the builds were waited for) every
// waiting picture, waiting for records; else the caller never waits here.
void intra_hand_out(encoder_t *ctx, bool all) {
  lookahead_engine_t *e = ctx->lookahead_engine;
  pthread_mutex_lock(&e->build.mutex);
  const int64_t built = e->build.done;
  pthread_mutex_unlock(&e->build.mutex);
  while (e->intra_waiting_count > 0) {
    const int32_t at = e->intra_waiting_head;
    if (!all && e->intra_waiting_entry[at] >= built) break;
    intra_job_t *j = nullptr;
    for (int32_t k = 0; k < LOOKAHEAD_INTRA_SLOTS && !j; k++) {
      intra_job_t *c = &e->intra[(e->intra_next + k) % LOOKAHEAD_INTRA_SLOTS];
      if (!c->pending || c->ended.load(std::memory_order_acquire)) j = c;
    }
    if (!j && !all) break;
    if (!j) j = &e->intra[e->intra_next];
    e->intra_next = static_cast<int32_t>(j - e->intra + 1) % LOOKAHEAD_INTRA_SLOTS;
    intra_collect(e, j);
    j->ended.store(0, std::memory_order_relaxed);
    j->ctx = ctx->instance;
    j->f = e->intra_waiting[at];
    j->slot = &e->intra_slots[j - e->intra];
    j->pending = 1;
    threadpool_run(&e->pool, intra_job, reinterpret_cast<int64_t>(j));
    e->intra_waiting_head = (at + 1) % LOOKAHEAD_INTRA_WAITING;
    e->intra_waiting_count--;
  }
}

// Appends an entry to the queue and starts one more job when fewer work it
// than may; returns the entry's number (entries count from 0).
int64_t enqueue(encoder_t *ctx, frame_t *f, uint32_t tasks) {
  lookahead_engine_t *e = ctx->lookahead_engine;
  lowres_build_job_t *j = &e->build;
  pthread_mutex_lock(&j->mutex);
  const bool queue_full = j->count == LOWRES_BUILD_QUEUE;
  pthread_mutex_unlock(&j->mutex);
  if (queue_full) lookahead_frame_wait(ctx);
  pthread_mutex_lock(&j->mutex);
  const int32_t at = (j->head + j->count) % LOWRES_BUILD_QUEUE;
  j->enc = ctx->instance;
  j->queue[at] = f;
  j->tasks[at] = tasks;
  j->built[at] = 0;
  j->count++;
  const int64_t entry = j->queued++;
  // Every job at work is busy with an entry (a job leaves once none is left
  // to take), so the new one waits for a free job unless one more starts.
  lowres_build_worker_t *w = nullptr;
  if (j->running < j->workers)
    for (lowres_build_worker_t &c : j->worker)
      if (!c.running) {
        w = &c;
        break;
      }
  if (w) {
    w->running = 1;
    j->running++;
  }
  pthread_mutex_unlock(&j->mutex);
  if (!w) return entry;
  // A job that found nothing left to take has ended or is ending: its
  // record is taken back before the next job goes in.
  if (w->pending) threadpool_wait(&e->pool, reinterpret_cast<int64_t>(w));
  w->pending = 1;
  threadpool_run(&e->pool, lowres_build_job, reinterpret_cast<int64_t>(w));
  return entry;
}

}  // namespace

void lowres_build(const mc_funcs_t &mc, frame_t *f, int32_t all_phases) {
  // The whole CTUs, not just the coded size: the analysis reads the
  // half-resolution picture of every CTU it codes.
  const int32_t w = f->alloc_width / 2, h = f->alloc_height / 2;
  const bool phases = all_phases && f->lowres_planes[1];
  if (all_phases && !phases && f->lowres_plane0_phased) {
    // Plane 0 as the phases make it, without them.
    mc.lowres_plane0(f->lowres_planes, f->lowres_stride, f->plane[0], f->stride[0], w, h);
  } else if (phases) {
    mc.lowres_init(f->lowres_planes, f->lowres_stride, f->plane[0], f->stride[0], w, h);
  } else {
    mc.downscale_2x(f->lowres_planes, f->lowres_stride, f->plane[0], f->stride[0], w, h);
  }
  for (int32_t p = 0; p < (phases ? 16 : 1); p++) extend_lowres_plane(f->lowres_planes[p], f->lowres_stride, w, h);
}

bool lookahead_enabled(const encoder_t *ctx) {
  const param_t &p = ctx->param;
  // The CU-tree too, so that it does not stop with scene-cut detection in
  // constant-QP mode.
  return p.rcmode != 0 || p.vbv_bufsize != 0 || p.scenecut != 0 || p.cutree != 0;
}

void lookahead_picture_prepare(encoder_t *ctx, frame_t *f, uint32_t tasks) {
  const bool full = (tasks & PREPARE_LOWRES) && (tasks & PREPARE_LOOKAHEAD);
  if (full && ctx->param.search_quality > 2) tasks |= PREPARE_PHASES;
  if (full && f->la) lowres_data_reset(f->la);
  lookahead_engine_t *e = ctx->lookahead_engine;
  // The pool is idle between the caller's calls (its cost jobs and type
  // decisions run only while the caller waits for them), so the work
  // overlaps the caller's reading of the next pictures and its wait for
  // coded pictures.
  if (!e || !e->pool_ready || !full) {
    prepare(ctx->instance, f, tasks);
    return;
  }
  const int64_t entry = enqueue(ctx, f, tasks);
  // With the CU-tree every queued picture gets an estimate, and with it an
  // intra estimate, before it is coded.
  if (!ctx->param.cutree) return;
  if (e->intra_waiting_count == LOOKAHEAD_INTRA_WAITING) lookahead_frame_wait(ctx);
  const int32_t at = (e->intra_waiting_head + e->intra_waiting_count) % LOOKAHEAD_INTRA_WAITING;
  e->intra_waiting[at] = f;
  e->intra_waiting_entry[at] = entry;
  e->intra_waiting_count++;
  intra_hand_out(ctx, false);
}

void lookahead_frame_init(encoder_t *ctx, frame_t *f, int32_t full) {
  lookahead_picture_prepare(ctx, f, PREPARE_LOWRES | (full ? PREPARE_LOOKAHEAD : 0));
}

void lookahead_populate_ahead(encoder_t *ctx) {
  lookahead_engine_t *e = ctx->lookahead_engine;
  if (!e || !e->pool_ready) return;
  for (int32_t k = 0; k < LOOKAHEAD_POPULATE_SLOTS; k++) {
    frame_t *next = frame_peek_unused(ctx->pool, 1, k);
    if (!next || next->pages_ready) continue;
    populate_job_t *j = &e->populate[e->populate_next];
    // The caller never waits for a job still mapping pages: the picture
    // that job would have made room for gets its pages when the caller
    // writes it, or from a later call.  While the lookahead fills, the page
    // mapping of the row contexts, the half-resolution builds and these jobs
    // crowd the machine's memory, and such waits held the caller before the
    // first decision by milliseconds, longer than faulting the pages itself.
    if (j->pending && !j->ended.load(std::memory_order_acquire)) return;
    next->pages_ready = 1;
    e->populate_next = (e->populate_next + 1) % LOOKAHEAD_POPULATE_SLOTS;
    if (j->pending) threadpool_wait(&e->pool, reinterpret_cast<int64_t>(j));
    j->f = next;
    j->ended.store(0, std::memory_order_relaxed);
    j->pending = 1;
    threadpool_run(&e->pool, populate_job, reinterpret_cast<int64_t>(j));
  }
}

void lookahead_clear_recon_units(encoder_t *ctx) {
  lookahead_engine_t *e = ctx->lookahead_engine;
  if (!e || !e->pool_ready) {
    frame_pool_clear_units(ctx->pool);
    return;
  }
  e->units_pool = ctx->pool;
  e->units_pending = 1;
  threadpool_run(&e->pool, units_job, reinterpret_cast<int64_t>(ctx->pool));
}

void lookahead_frame_wait(encoder_t *ctx) {
  lookahead_engine_t *e = ctx->lookahead_engine;
  if (!e) return;
  if (e->units_pending) {
    threadpool_wait(&e->pool, reinterpret_cast<int64_t>(e->units_pool));
    e->units_pending = 0;
  }
  // Pages mapped ahead belong to pictures of the pool, which must outlast
  // the mapping.
  for (populate_job_t &j : e->populate)
    if (j.pending) {
      threadpool_wait(&e->pool, reinterpret_cast<int64_t>(&j));
      j.pending = 0;
    }
  // Only the caller's side appends to the queue, and not while it waits
  // here (or while a type decision waits here for it); a job leaves once
  // every entry is taken, and each finishes the one it took, so once all
  // have ended the queue is empty.
  for (lowres_build_worker_t &w : e->build.worker)
    if (w.pending) {
      threadpool_wait(&e->pool, reinterpret_cast<int64_t>(&w));
      w.pending = 0;
    }
  // Then every built picture's intra estimates.
  if (!e->pool_ready) return;
  intra_hand_out(ctx, true);
  for (intra_job_t &j : e->intra) intra_collect(e, &j);
}
