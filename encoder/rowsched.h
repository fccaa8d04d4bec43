// The CTU-row scheduler: worker threads code one CTU at a time from the
// rows of every picture in flight, in wavefront order inside a picture and
// after the pictures it references.
#pragma once

#include <pthread.h>
#include <semaphore.h>

#include <cstdint>

struct encoder_t;
struct frame_t;

constexpr int32_t ROW_FINISHED = 10000;

struct rowsched_row_t {
  encoder_t *ctx;    // the row context
  int32_t progress;  // CTUs coded; ROW_FINISHED once the row is complete
  int32_t busy;      // a worker is coding one of its CTUs
  int32_t final;     // filtered and extended: readable by other pictures
  // Its left margin is extended: its first CTU is final (the row below has
  // coded two CTUs) and the row has more than two CTUs.
  int32_t left_final;
  // The same for the first CTU's top rows (this row has coded two CTUs).
  int32_t left_top;
};

struct rowsched_frame_t {
  encoder_t *fctx;  // frame context of the picture
  rowsched_row_t *rows;
  int32_t row_count;
  int32_t row_slots;  // row r starts once row r - row_slots is finished (its context is free)
  int32_t cols;
  int32_t rows_done;
  int32_t wavefront;  // 1: a row may run two CTUs behind the row above
  // Sub-pel planes this picture builds for the pictures that refer to it:
  // 0 none, 1 the half-sample ones, 2 all.  Window rows below `planes_next`
  // are claimed; one worker at a time builds them (`planes_busy`).
  int32_t planes;
  int32_t planes_next;
  int32_t planes_busy;
  frame_t *refs[32];  // reference pictures that must be finished first
  int32_t ref_count;
  int32_t active;    // 1 while in flight
  int32_t finished;  // all CTUs coded and the picture finished
  int32_t failed;
  pthread_mutex_t mutex;  // taken after the scheduler's; signals `finished`
  pthread_cond_t done;
};

struct rowsched_t;

// A worker's own wake-up: a worker without a task sleeps on its semaphore,
// and whoever finds a task for it takes it off the stack of sleeping workers
// and posts the semaphore.  A post is an atomic add and at most one wake-up
// call; a condition signal (glibc) also settles with the waiters that
// earlier signals woke, and on a busy machine it held the signalling worker,
// often on the critical path, for up to milliseconds.
struct rowsched_worker_t {
  rowsched_t *sched;
  sem_t wake;
  int32_t index;
  int32_t next;  // the next in the stack of sleepers, or in a waker's list; -1: none
};

struct rowsched_t {
  pthread_mutex_t mutex;
  rowsched_frame_t **frames;  // in flight, in coding order
  int32_t frame_count, frame_capacity;
  pthread_t *threads;
  rowsched_worker_t *workers;
  int32_t thread_count;
  int32_t stop;
  int32_t sleeping;  // the worker last put to sleep (top of the stack); -1: none
  int32_t idle;      // workers in that stack
  // Called outside the scheduler's lock: finalize_row once a CTU row and the
  // row below it are coded (the last row when it is coded; `left_done` when
  // extend_left ran for it), build_planes for the plane window rows
  // [w0, w1) once CTU rows 0 .. w1 - 1 are final, finish_picture once every
  // row is final and every plane window built; the latter returns 0 or -1.
  // Called with the lock held (it is short): extend_left once the top rows
  // (bottom 0) or the bottom rows (bottom 1) of a row's first CTU are final.
  void (*finalize_row)(encoder_t *fctx, int32_t row, int32_t left_done);
  void (*extend_left)(encoder_t *fctx, int32_t row, int32_t bottom);
  void (*build_planes)(encoder_t *fctx, int32_t w0, int32_t w1);
  int (*finish_picture)(encoder_t *fctx);
};

// The last CTU row of a reference that CTU row `ctu_row` of a picture may
// read (uncapped by the picture's height): its blocks end at luma row
// 64 * (ctu_row + 1) - 1 and their vectors reach at most `reach` rows and
// three quarters further down (the vector limit), whose interpolation taps
// read four rows more; the search, which may try a step of two samples
// beyond its window (its last whole-sample row `reach` - 1 further down),
// stays within that.  Two spare rows on top.  A bound one row lower than
// needed would let a picture read reference rows still being filtered;
// one row higher delays every picture that refers to another by a CTU row.
inline int32_t ref_rows_needed(int32_t ctu_row, int32_t reach) { return ((ctu_row + 1) * 64 + reach + 6) / 64; }

// The same bound counting only the top rows of each CTU row (all but the
// last 4 luma and 2 chroma rows, which the deblocking of the row below
// still changes): the last luma row read is 64 (ctu_row + 1) + reach + 3
// (as above, without spare rows), the last chroma row 32 (ctu_row + 1) + 1
// plus the whole part of the chroma vector, (4 reach + 3) / 8 eighths, with
// the 4-tap filter's two rows below.  With the presets' reaches (56 and
// 120) both end exactly at the last top row of a CTU row.
inline int32_t ref_top_rows_needed(int32_t ctu_row, int32_t reach) {
  const int32_t luma = (64 * (ctu_row + 1) + reach + 7) / 64;
  const int32_t chroma = (32 * (ctu_row + 1) + 3 + (4 * reach + 3) / 8) / 32;
  return luma > chroma ? luma : chroma;
}

struct rowsched_callbacks_t {
  void (*finalize_row)(encoder_t *, int32_t, int32_t);
  void (*extend_left)(encoder_t *, int32_t, int32_t);
  void (*build_planes)(encoder_t *, int32_t, int32_t);
  int (*finish_picture)(encoder_t *);
};
int rowsched_init(rowsched_t *s, int32_t threads, int32_t max_frames, const rowsched_callbacks_t &callbacks);
// Tells the workers to stop after the CTU they are coding, without waiting.
void rowsched_stop(rowsched_t *s);
// Stops the workers and joins them.
void rowsched_destroy(rowsched_t *s);
// Puts a picture in flight; its rows become ready as the rules allow.
void rowsched_submit(rowsched_t *s, rowsched_frame_t *f);
// Blocks until the picture is finished, then takes it out of flight.
// Returns 0, or -1 when coding it failed.
int rowsched_wait(rowsched_t *s, rowsched_frame_t *f);

// Row and picture coding, provided by the CTU job.
void row_begin(encoder_t *rctx, encoder_t *fctx, int32_t row);
int ctu_encode_next(rowsched_frame_t *f, int32_t row);
void row_finalize(encoder_t *fctx, int32_t row, int32_t left_done);
void row_extend_left(encoder_t *fctx, int32_t row, int32_t bottom);
void picture_build_planes(encoder_t *fctx, int32_t w0, int32_t w1);
