#include "ratecontrol/lookahead_frame.h"

#include <algorithm>
#include <cstring>

#include "common/primitives.h"
#include "encoder/encoder.h"
#include "encoder/frame.h"
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

void prepare(const mc_funcs_t &mc, frame_t *f, uint32_t tasks, int32_t all_phases) {
  if (tasks & PREPARE_EXTEND) frame_extend_borders(f);
  if (tasks & PREPARE_LOWRES) lowres_build(mc, f, all_phases);
}

// Works through the queued entries in order until the queue is empty.
int64_t lowres_build_job(int64_t arg) {
  lowres_build_job_t *j = reinterpret_cast<lowres_build_job_t *>(arg);
  for (;;) {
    pthread_mutex_lock(&j->mutex);
    if (j->count == 0) {
      j->running = 0;
      pthread_mutex_unlock(&j->mutex);
      return 0;
    }
    frame_t *f = j->queue[j->head];
    const uint32_t tasks = j->tasks[j->head];
    pthread_mutex_unlock(&j->mutex);
    prepare(*j->mc, f, tasks, (tasks & PREPARE_PHASES) != 0);
    pthread_mutex_lock(&j->mutex);
    j->head = (j->head + 1) % LOWRES_BUILD_QUEUE;
    j->count--;
    pthread_mutex_unlock(&j->mutex);
  }
}

int64_t populate_job(int64_t arg) {
  frame_populate(reinterpret_cast<populate_job_t *>(arg)->f);
  return 0;
}

// Appends an entry to the job's queue and starts the job when it is idle.
void enqueue(encoder_t *ctx, frame_t *f, uint32_t tasks) {
  lookahead_engine_t *e = ctx->lookahead_engine;
  lowres_build_job_t *j = &e->build;
  pthread_mutex_lock(&j->mutex);
  const bool queue_full = j->count == LOWRES_BUILD_QUEUE;
  pthread_mutex_unlock(&j->mutex);
  if (queue_full) lookahead_frame_wait(ctx);
  pthread_mutex_lock(&j->mutex);
  const int32_t at = (j->head + j->count) % LOWRES_BUILD_QUEUE;
  j->queue[at] = f;
  j->tasks[at] = tasks;
  j->count++;
  const bool start = !j->running;
  j->running = 1;
  pthread_mutex_unlock(&j->mutex);
  if (!start) return;
  // A job that found the queue empty has ended or is ending: its record is
  // taken back before the next job goes in.
  if (j->pending) threadpool_wait(&e->pool, reinterpret_cast<int64_t>(j));
  j->mc = &ctx->mc;
  j->pending = 1;
  threadpool_run(&e->pool, lowres_build_job, reinterpret_cast<int64_t>(j));
}

}  // namespace

void lowres_build(const mc_funcs_t &mc, frame_t *f, int32_t all_phases) {
  // The whole CTUs, not just the coded size: the analysis reads the
  // half-resolution picture of every CTU it codes.
  const int32_t w = f->alloc_width / 2, h = f->alloc_height / 2;
  const bool phases = all_phases && f->lowres_planes[1];
  if (all_phases && !phases && f->lowres_phase_strip) {
    // Plane 0 as the phases make it, band by band, the phases going to the
    // pool's strip: every row of a plane comes from two source rows alone.
    const size_t band = lowres_phase_band_bytes(f->lowres_stride);
    uint8_t *planes[16];
    for (int32_t p = 1; p < 16; p++) planes[p] = f->lowres_phase_strip + (p - 1) * band;
    for (int32_t y0 = 0; y0 < h; y0 += LOWRES_PHASE_STRIP_ROWS) {
      planes[0] = f->lowres_planes[0] + static_cast<intptr_t>(y0) * f->lowres_stride;
      mc.lowres_init(planes, f->lowres_stride, f->plane[0] + static_cast<intptr_t>(2 * y0) * f->stride[0],
                     f->stride[0], w, std::min(LOWRES_PHASE_STRIP_ROWS, h - y0));
    }
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
  const lookahead_engine_t *e = ctx->lookahead_engine;
  // The pool is idle between the caller's calls (its cost jobs and type
  // decisions run only while the caller waits for them), so the work
  // overlaps the caller's reading of the next pictures and its wait for
  // coded pictures.
  if (e && e->pool_ready && full)
    enqueue(ctx, f, tasks);
  else
    prepare(ctx->mc, f, tasks, (tasks & PREPARE_PHASES) != 0);
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
    next->pages_ready = 1;
    populate_job_t *j = &e->populate[e->populate_next];
    e->populate_next = (e->populate_next + 1) % LOOKAHEAD_POPULATE_SLOTS;
    if (j->pending) threadpool_wait(&e->pool, reinterpret_cast<int64_t>(j));
    j->f = next;
    j->pending = 1;
    threadpool_run(&e->pool, populate_job, reinterpret_cast<int64_t>(j));
  }
}

void lookahead_frame_wait(encoder_t *ctx) {
  lookahead_engine_t *e = ctx->lookahead_engine;
  if (!e) return;
  // Pages mapped ahead belong to pictures of the pool, which must outlast
  // the mapping.
  for (populate_job_t &j : e->populate)
    if (j.pending) {
      threadpool_wait(&e->pool, reinterpret_cast<int64_t>(&j));
      j.pending = 0;
    }
  // Only the caller's side appends to the queue, and not while it waits
  // here (or while a type decision waits here for it), so the job ends
  // with the queue empty.
  if (!e->build.pending) return;
  threadpool_wait(&e->pool, reinterpret_cast<int64_t>(&e->build));
  e->build.pending = 0;
}
