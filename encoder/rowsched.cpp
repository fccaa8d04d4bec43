#include "encoder/rowsched.h"

#include <time.h>

#include <algorithm>
#include <cstring>

#include "common/memory.h"
#include "encoder/encoder.h"
#include "encoder/ref_planes.h"
#include "encoder/sched_trace.h"
#include "encoder/threadpool.h"

namespace {

// Whether a reference is final enough for the CTU at column x of row r,
// which reads its rows down to the top rows of row `top`
// (ref_top_rows_needed): its blocks and vectors reach as far right as down
// (the same limit and taps), so the columns up to the one ref_rows_needed
// gives for x.  SAO filters a CTU's top rows once the CTU right of it is
// coded, and the bottom rows once the row below has coded the CTU right of
// it (ctu_post_filter); the rows above `top` are further along (wavefront),
// so row `top` having coded two CTUs past that column covers them all.
// Margins: the left one of a CTU row's top and bottom rows is written as
// they are filtered in its first CTU, the one above the first row CTU by
// CTU (ctu_encode_job); the right margin, like the margin below the last
// row, comes only with the whole row.  Columns left of the picture (a block
// reaches at most 500 samples and the taps leftwards) need the left
// margins.  Random decisions bound only the vertical component of their
// vectors: their blocks may read anywhere in a row.
bool ref_final_enough(const rowsched_frame_t *f, const frame_t *ref, int32_t r, int32_t x, int32_t reach) {
  if (f->fctx->param.random_decisions) return false;
  const rowsched_frame_t *g = ref->sched;
  const int32_t last_col = ref_rows_needed(x, reach), top = ref_top_rows_needed(r, reach);
  if (top >= g->row_count - 1 || last_col >= g->cols - 1) return false;
  if (x * 64 < 512 && !g->rows[top].left_top) return false;
  return g->rows[top].progress >= last_col + 2;
}

// CTU row r of a picture may read its references down to the rows that the
// vertical reach of its vectors (plus the interpolation taps) covers, and,
// from a reference with sub-pel planes, the plane windows over them; x is
// the column of the CTU the row codes next.
bool refs_ready(const rowsched_frame_t *f, int32_t r, int32_t x) {
  const int32_t reach = f->fctx->param.mv_range_y;
  const int32_t need = std::min(f->row_count - 1, ref_rows_needed(r, reach));
  const int32_t need_planes = ref_planes_rows_needed(r, reach, f->row_count);
  for (int32_t i = 0; i < f->ref_count; i++) {
    const frame_t *ref = f->refs[i];
    if (ref->recon_done) continue;
    if (ref->planes_valid) {
      if (ref->final_rows <= need || ref->plane_rows <= need_planes) return false;
    } else if (ref->final_rows <= need && !ref_final_enough(f, ref, r, x, reach)) {
      return false;
    }
  }
  return true;
}

// Builds the plane windows over the final rows of the picture, one worker
// at a time and in order; entered and left with the scheduler's lock held.
void build_ready_planes(rowsched_t *s, rowsched_frame_t *f) {
  frame_t *rec = f->fctx->cur_recon;
  while (f->planes && !f->planes_busy && f->planes_next < rec->final_rows) {
    const int32_t w0 = f->planes_next, w1 = rec->final_rows;
    f->planes_next = w1;
    f->planes_busy = 1;
    pthread_mutex_unlock(&s->mutex);
    {
      SCHED_TRACE_SCOPE('B', f->fctx->cur_input->frame_number, w0, w1);
      s->build_planes(f->fctx, w0, w1);
    }
    pthread_mutex_lock(&s->mutex);
    f->planes_busy = 0;
    rec->plane_rows = w1;
  }
}

// The row may code its next CTU: the row above is more than one CTU ahead
// (wavefront) or finished.
bool row_ready(const rowsched_frame_t *f, int32_t r) {
  const rowsched_row_t &row = f->rows[r];
  if (row.busy || row.progress >= f->cols) return false;
  if (row.progress == 0 && f->row_slots > 0 && r >= f->row_slots &&
      f->rows[r - f->row_slots].progress != ROW_FINISHED) return false;
  if (r == 0) return true;
  const int32_t above = f->rows[r - 1].progress;
  if (above == ROW_FINISHED) return true;
  return f->wavefront && above > row.progress + 1;
}

bool find_task(rowsched_t *s, rowsched_frame_t **out_f, int32_t *out_r) {
  for (int32_t i = 0; i < s->frame_count; i++) {
    rowsched_frame_t *f = s->frames[i];
    if (!f->active || f->finished || f->failed) continue;
    for (int32_t r = 0; r < f->row_count; r++) {
      if (row_ready(f, r) && refs_ready(f, r, f->rows[r].progress)) {
        *out_f = f;
        *out_r = r;
        return true;
      }
    }
  }
  return false;
}

// How many rows of the pictures in flight, other than row r of f, may code
// their next CTU; counting stops at `limit`.
int32_t tasks_ready(const rowsched_t *s, const rowsched_frame_t *f, int32_t r, int32_t limit) {
  int32_t n = 0;
  for (int32_t i = 0; i < s->frame_count && n < limit; i++) {
    const rowsched_frame_t *g = s->frames[i];
    if (!g->active || g->finished || g->failed) continue;
    for (int32_t k = 0; k < g->row_count && n < limit; k++)
      if ((g != f || k != r) && row_ready(g, k) && refs_ready(g, k, g->rows[k].progress)) n++;
  }
  return n;
}

// Takes up to n workers off the stack of sleeping ones (all of them for
// WAKE_ALL) and puts them in front of the list `head` of workers to post;
// the scheduler's lock is held.  Taken off, a worker counts as awake.
constexpr int32_t WAKE_ALL = -1;
constexpr int32_t NO_WORKER = -1;
int32_t take_sleepers(rowsched_t *s, int32_t n, int32_t head) {
  for (int32_t k = 0; (n == WAKE_ALL || k < n) && s->sleeping != NO_WORKER; k++) {
    rowsched_worker_t &w = s->workers[s->sleeping];
    s->sleeping = w.next;
    s->idle--;
    w.next = head;
    head = w.index;
  }
  return head;
}

// Wakes the listed workers; called after the scheduler's lock is let go, so
// that a woken worker does not block on the lock its waker holds.  Each
// worker of the list sleeps until this posts it (nobody else can: it is off
// the stack), so its link is read before.
void post_sleepers(rowsched_t *s, int32_t head) {
  while (head != NO_WORKER) {
    rowsched_worker_t &w = s->workers[head];
    head = w.next;
    sem_post(&w.wake);
  }
}

// Adds to the list `head` the idle workers to wake for the tasks that are
// ready once a worker has coded a CTU of row r of f, one worker per task:
// the task goes to whichever worker the system runs first.  The worker
// itself keeps row r when it may go on, or else takes one of the tasks.  A
// failed picture wakes them all (they leave its rows).
int32_t wakes_after_ctu(rowsched_t *s, const rowsched_frame_t *f, int32_t r, bool continues, int32_t head) {
  if (s->idle <= 0) return head;
  if (f->failed) return take_sleepers(s, WAKE_ALL, head);
  const int32_t wanted = tasks_ready(s, f, r, s->idle + (continues ? 0 : 1)) - (continues ? 0 : 1);
  return wanted > 0 ? take_sleepers(s, wanted, head) : head;
}

// The test setting row_jitter_us: a pause of a random length before the
// worker's next CTU (a rate control that reads what another picture or row
// has coded so far then differs from run to run).  Each worker draws from
// its own generator, seeded by the clock, so no two runs share a schedule.
void jitter_pause(int32_t most_us, int32_t worker, uint64_t *state) {
  if (*state == 0) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    *state = (static_cast<uint64_t>(now.tv_nsec) ^ (0x9e3779b97f4a7c15ULL * static_cast<uint64_t>(worker + 1))) | 1;
  }
  *state ^= *state << 13;
  *state ^= *state >> 7;
  *state ^= *state << 17;
  const int64_t ns = static_cast<int64_t>(*state % static_cast<uint64_t>(most_us)) * 1000;
  const timespec pause{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  nanosleep(&pause, nullptr);
}

void *worker_main(void *arg) {
  rowsched_worker_t *self = static_cast<rowsched_worker_t *>(arg);
  rowsched_t *s = self->sched;
  int32_t wakes = NO_WORKER;  // workers taken off the stack under the lock, posted once it is let go
  uint64_t jitter = 0;        // row_jitter_us's generator
  pthread_mutex_lock(&s->mutex);
  for (;;) {
    rowsched_frame_t *f = nullptr;
    int32_t r = 0;
    while (!s->stop && !find_task(s, &f, &r)) {
      if (wakes != NO_WORKER) {
        // Before sleeping: the wake-ups owed go out first.
        pthread_mutex_unlock(&s->mutex);
        post_sleepers(s, wakes);
        wakes = NO_WORKER;
        pthread_mutex_lock(&s->mutex);
        continue;
      }
      self->next = s->sleeping;
      s->sleeping = self->index;
      s->idle++;
      pthread_mutex_unlock(&s->mutex);
      while (sem_wait(&self->wake) != 0) {
      }
      pthread_mutex_lock(&s->mutex);
    }
    if (s->stop) break;
    // The worker keeps its row while the row may go on, without searching
    // the pictures in flight again for every CTU.
    for (;;) {
      rowsched_row_t &row = f->rows[r];
      row.busy = 1;
      const int32_t starting = row.progress == 0;
      pthread_mutex_unlock(&s->mutex);
      {
        SCHED_TRACE_SCOPE('y', f->fctx->cur_input->frame_number, r, 0);
        post_sleepers(s, wakes);
      }
      wakes = NO_WORKER;

      if (f->fctx->param.row_jitter_us > 0) jitter_pause(f->fctx->param.row_jitter_us, self->index, &jitter);
      int ok = 0;
      {
        SCHED_TRACE_SCOPE('C', f->fctx->cur_input->frame_number, r, row.progress);
        if (starting) row_begin(row.ctx, f->fctx, r);
        ok = ctu_encode_next(f, r);
      }

      {
        SCHED_TRACE_SCOPE('k', f->fctx->cur_input->frame_number, r, 0);
        pthread_mutex_lock(&s->mutex);
      }
      row.busy = 0;
      if (ok < 0) f->failed = 1;
      bool last = false;
      int32_t fin0 = -1, fin1 = -1;  // rows this worker finalizes
      // Once this row has coded two CTUs, SAO has filtered the bottom rows of
      // the row above's first CTU and the top rows of its own: their left
      // margin can be read by other pictures (the last row's comes whole).
      if (ok >= 0 && row.progress == 1 && f->cols > 2) {
        if (r > 0) {
          s->extend_left(f->fctx, r - 1, 1);
          f->rows[r - 1].left_final = 1;
        }
        if (r < f->row_count - 1) {
          s->extend_left(f->fctx, r, 0);
          row.left_top = 1;
        }
      }
      if (ok >= 0 && ++row.progress == f->cols) {
        row.progress = ROW_FINISHED;
        f->rows_done++;
        // The row above can be filtered and read now that this one, which
        // still deblocked its bottom lines, is coded; the last row at once.
        const bool bottom = r == f->row_count - 1;
        fin0 = r > 0 ? r - 1 : (bottom ? r : -1);
        fin1 = bottom ? r : fin0;
      }
      if (fin0 >= 0) {
        pthread_mutex_unlock(&s->mutex);
        // Each row is finalized exactly once: by the worker that finishes the
        // row below it, or, for the bottom row, by the one that finishes it.
        for (int32_t k = fin0; k <= fin1; k++) {
          SCHED_TRACE_SCOPE('R', f->fctx->cur_input->frame_number, k, 0);
          s->finalize_row(f->fctx, k, f->rows[k].left_final);
        }
        pthread_mutex_lock(&s->mutex);
        for (int32_t k = fin0; k <= fin1; k++) f->rows[k].final = 1;
        frame_t *rec = f->fctx->cur_recon;
        while (rec->final_rows < f->row_count && f->rows[rec->final_rows].final) rec->final_rows++;
        build_ready_planes(s, f);
        // Whoever completes the last row or the last plane window finishes.
        last = rec->final_rows == f->row_count && (!f->planes || rec->plane_rows == f->row_count) && !f->finished;
        if (last) f->finished = -1;  // claimed: one worker finishes the picture
      }
      if (last) {
        pthread_mutex_unlock(&s->mutex);
        int fin = 0;
        {
          SCHED_TRACE_SCOPE('X', f->fctx->cur_input->frame_number, 0, 0);
          fin = s->finish_picture(f->fctx);
        }
        pthread_mutex_lock(&s->mutex);
        if (fin < 0) f->failed = 1;
        f->finished = 1;
        f->fctx->cur_recon->recon_done = 1;
      }
      if (last || f->failed) {
        pthread_mutex_lock(&f->mutex);
        pthread_cond_broadcast(&f->done);
        pthread_mutex_unlock(&f->mutex);
      }
      const bool continues =
          !s->stop && !last && !f->failed && !f->finished && row_ready(f, r) && refs_ready(f, r, row.progress);
      wakes = wakes_after_ctu(s, f, r, continues, wakes);
      if (!continues) break;
    }
  }
  pthread_mutex_unlock(&s->mutex);
  post_sleepers(s, wakes);
  return nullptr;
}

}  // namespace

int rowsched_init(rowsched_t *s, int32_t threads, int32_t max_frames, const rowsched_callbacks_t &callbacks) {
  std::memset(s, 0, sizeof(*s));
  s->finalize_row = callbacks.finalize_row;
  s->extend_left = callbacks.extend_left;
  s->build_planes = callbacks.build_planes;
  s->finish_picture = callbacks.finish_picture;
  s->sleeping = NO_WORKER;
  pthread_mutex_init(&s->mutex, nullptr);
  s->frame_capacity = max_frames;
  s->frames = static_cast<rowsched_frame_t **>(aligned_malloc(sizeof(rowsched_frame_t *) * max_frames));
  s->threads = static_cast<pthread_t *>(aligned_malloc(sizeof(pthread_t) * threads));
  s->workers = static_cast<rowsched_worker_t *>(aligned_malloc(sizeof(rowsched_worker_t) * threads));
  if (!s->frames || !s->threads || !s->workers) return -1;
  for (int32_t i = 0; i < threads; i++) {
    rowsched_worker_t &w = s->workers[i];
    w.sched = s;
    w.index = i;
    w.next = NO_WORKER;
    if (sem_init(&w.wake, 0, 0) != 0) return -1;
    if (thread_start(&s->threads[i], worker_main, &w) != 0) {
      sem_destroy(&w.wake);
      return -1;
    }
    s->thread_count++;
  }
  return 0;
}

void rowsched_stop(rowsched_t *s) {
  pthread_mutex_lock(&s->mutex);
  s->stop = 1;
  const int32_t all = take_sleepers(s, WAKE_ALL, NO_WORKER);
  pthread_mutex_unlock(&s->mutex);
  post_sleepers(s, all);
}

void rowsched_destroy(rowsched_t *s) {
  rowsched_stop(s);
  for (int32_t i = 0; i < s->thread_count; i++) pthread_join(s->threads[i], nullptr);
  for (int32_t i = 0; i < s->thread_count; i++) sem_destroy(&s->workers[i].wake);
  aligned_free(s->workers);
  aligned_free(s->threads);
  aligned_free(s->frames);
  pthread_mutex_destroy(&s->mutex);
  s->workers = nullptr;
  s->threads = nullptr;
  s->frames = nullptr;
}

void rowsched_submit(rowsched_t *s, rowsched_frame_t *f) {
  pthread_mutex_lock(&s->mutex);
  f->active = 1;
  f->finished = 0;
  f->failed = 0;
  f->rows_done = 0;
  f->planes_next = 0;
  f->planes_busy = 0;
  for (int32_t r = 0; r < f->row_count; r++) {
    f->rows[r].progress = 0;
    f->rows[r].busy = 0;
    f->rows[r].final = 0;
    f->rows[r].left_final = 0;
    f->rows[r].left_top = 0;
  }
  if (s->frame_count < s->frame_capacity) s->frames[s->frame_count++] = f;
  const int32_t all = take_sleepers(s, WAKE_ALL, NO_WORKER);
  pthread_mutex_unlock(&s->mutex);
  post_sleepers(s, all);
}

int rowsched_wait(rowsched_t *s, rowsched_frame_t *f) {
  pthread_mutex_lock(&s->mutex);
  for (;;) {
    bool busy = false;
    for (int32_t r = 0; r < f->row_count; r++) busy |= f->rows[r].busy != 0;
    busy |= f->planes_busy != 0;
    if (f->finished == 1 || (f->failed && !busy)) break;
    // Wait on the picture's own condition; the scheduler's lock comes first.
    pthread_mutex_lock(&f->mutex);
    pthread_mutex_unlock(&s->mutex);
    pthread_cond_wait(&f->done, &f->mutex);
    pthread_mutex_unlock(&f->mutex);
    pthread_mutex_lock(&s->mutex);
  }
  const int result = f->failed ? -1 : 0;
  f->active = 0;
  for (int32_t i = 0; i < s->frame_count; i++)
    if (s->frames[i] == f) {
      std::memmove(s->frames + i, s->frames + i + 1, sizeof(rowsched_frame_t *) * (s->frame_count - i - 1));
      s->frame_count--;
      break;
    }
  pthread_mutex_unlock(&s->mutex);
  return result;
}
