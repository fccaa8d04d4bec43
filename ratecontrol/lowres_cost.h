// Cost estimates of the lookahead on half-resolution pictures, computed by
// block rows on the job pool (or inline with one lookahead thread) and
// cached in the pictures.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "encoder/threadpool.h"
#include "motion/me_context.h"
#include "ratecontrol/lowres_data.h"

struct encoder_t;
struct frame_t;
struct mc_funcs_t;

// The preparation of entering pictures (margins, half-resolution planes),
// handed to the job pool so that the caller's thread goes on reading the
// next picture.  Jobs take the queued entries in order; the caller appends
// without waiting for the entries before it, and waits only when the queue
// is full.  Each build writes only its own picture, so up to
// LOWRES_BUILD_WORKERS jobs build side by side, except when the builds make
// all phases: those write the pool's one phase strip, and one job does them
// one after the other.  While the lookahead fills at the start, one job
// building alone (about half a millisecond per 720p picture) fell behind
// the caller's reading.
constexpr int32_t LOWRES_BUILD_QUEUE = 8;
constexpr int32_t LOWRES_BUILD_WORKERS = 3;
struct lowres_build_job_t;
struct lowres_build_worker_t {
  lowres_build_job_t *job;
  int32_t running;  // works the queue (cleared by the job as it ends; under the queue's mutex)
  int32_t pending;  // the job's record awaits threadpool_wait (caller's side)
};
struct lowres_build_job_t {
  encoder_t *enc;  // the instance, whose settings and kernels the work uses (under the mutex)
  pthread_mutex_t mutex;  // the queue, `enc` and the workers' `running`
  frame_t *queue[LOWRES_BUILD_QUEUE];
  uint32_t tasks[LOWRES_BUILD_QUEUE];  // PREPARE_* of lookahead_frame.h
  uint8_t built[LOWRES_BUILD_QUEUE];   // the entry's build has ended
  int32_t head, count;  // count includes the entries in progress or built but not yet retired
  int32_t claimed;      // entries from head on that a job has taken
  int32_t workers;      // jobs allowed to build at once (1 with phases)
  int32_t running;      // jobs working the queue
  // Entries ever queued (caller's side) and ever retired: entries are
  // retired in order, so every entry below `done` is built.
  int64_t queued, done;
  lowres_build_worker_t worker[LOWRES_BUILD_WORKERS];
};

// The pages of input pictures about to be taken mapped ahead, one job per
// picture (mapping a 1080p picture takes about as long as the caller takes
// to read one, so they run side by side), the first ones from creation on.
// Eight at a time: with four, while the lookahead filled at the start, the
// caller met unmapped pages in its own copies, which then took it about
// twice as long per picture.
constexpr int32_t LOOKAHEAD_POPULATE_SLOTS = 8;
struct populate_job_t {
  frame_t *f;
  int32_t pending;  // awaits threadpool_wait (caller's side)
  std::atomic<int32_t> ended;  // set by the job as it ends
};

// The intra estimates of entering pictures, made on the pool once their
// half-resolution picture is built (one job per picture, several side by
// side): they depend on the picture alone, so the type decisions that need
// them find them made while the caller was still reading.
constexpr int32_t LOOKAHEAD_INTRA_SLOTS = 8;
constexpr int32_t LOOKAHEAD_INTRA_WAITING = 2 * LOWRES_BUILD_QUEUE;
struct intra_job_t {
  encoder_t *ctx;
  frame_t *f;
  struct lookahead_slot_t *slot;  // its working buffers
  int32_t pending;                // awaits threadpool_wait (caller's side)
  std::atomic<int32_t> ended;     // set by the job as it ends
};

// One per lookahead thread: the sums of the rows it estimated and its
// working buffers.
struct lookahead_slot_t {
  uint64_t intra_sum, inter_sum, aq_intra_sum, aq_inter_sum;
  uint64_t *ctu_intra, *ctu_inter;  // per CTU
  alignas(32) uint8_t src[8 * 64];
  alignas(32) uint8_t pred[8 * 128];
  alignas(32) uint8_t nb[2][48];  // raw and smoothed intra neighbours
  me_context_t me;
};

// The instance's lookahead machinery (shared by every frame context).
struct lookahead_engine_t {
  lowres_layout_t layout;
  pthread_mutex_t job_mutex;    // job and row counters
  pthread_mutex_t total_mutex;  // adding a job's sums into the picture
  lookahead_slot_t *slots;
  int32_t threads;
  threadpool_t pool;
  int32_t pool_ready;
  int32_t *cutree_row;    // one propagated row, i32 per block column
  uint32_t *zero_row;     // incoming amounts of unreferenced pictures
  uint16_t *unit_weights; // a row of 1.0 (256) weights, without AQ
  lowres_build_job_t build;
  populate_job_t populate[LOOKAHEAD_POPULATE_SLOTS];
  int32_t populate_next;
  // The job setting the reconstructions' units after creation (the pool to
  // set; awaits threadpool_wait while pending).
  struct frame_pool_t *units_pool;
  int32_t units_pending;
  intra_job_t intra[LOOKAHEAD_INTRA_SLOTS];
  lookahead_slot_t *intra_slots;
  int32_t intra_next;
  // Pictures queued for a build whose intra estimates are still to be
  // handed out (caller's side), with the build entry each waits for.
  frame_t *intra_waiting[LOOKAHEAD_INTRA_WAITING];
  int64_t intra_waiting_entry[LOOKAHEAD_INTRA_WAITING];
  int32_t intra_waiting_head, intra_waiting_count;
};

// Made at creation when the lookahead runs; -1 when memory or threads are
// missing (then delete it).
lookahead_engine_t *lookahead_engine_new(const encoder_t *enc, int32_t threads);
void lookahead_engine_delete(lookahead_engine_t *e);

// The AQ factors of a picture's blocks (1/256) when adaptive quantisation
// makes them, else NULL.
const uint16_t *lookahead_aq_weights(const encoder_t *ctx, const frame_t *f);
// How strongly rate control compresses complexity (the CU-tree strength is
// 5 x (1 - this)).
float lookahead_qcompress(const encoder_t *ctx);

// Makes sure the estimate of picture frames[b] against frames[p0] (earlier)
// and frames[p1] (later) is in its cost cache: p0 == b == p1 intra only,
// b == p1 > p0 a P estimate, p0 < b < p1 a B estimate.  Distances above the
// layout's max_distance are not estimated.
void lookahead_frame_cost(encoder_t *ctx, frame_t *const *frames, int32_t p0, int32_t p1, int32_t b);

// Several estimates with the results of lookahead_frame_cost called for
// each in turn: estimates of different pictures whose vectors none of them
// reads run at once, the block rows of all of them shared by the jobs, so
// the jobs wait for each other once per call rather than once per estimate.
struct lookahead_request_t {
  int32_t p0, p1, b;
};
constexpr int32_t LOOKAHEAD_BATCH_MAX = 64;  // one bit each in a 64-bit mask
// Whether the estimates (p0, p1, b) and (q0, q1, c) must keep their order:
// each writes its own picture's records, and a B estimate reads the
// vectors of its later picture.  Others may run in either order, or at once.
bool lookahead_estimates_conflict(int32_t p0, int32_t p1, int32_t b, int32_t q0, int32_t q1, int32_t c);
void lookahead_frame_costs(encoder_t *ctx, frame_t *const *frames, const lookahead_request_t *requests,
                           int32_t count);

// The intra estimate of every evaluated block of f into its intra_costs,
// with s's working buffers (f->intra_ready is set by the caller once this
// has ended).
void lookahead_intra_costs(const encoder_t *ctx, lookahead_slot_t *s, frame_t *f);

// The cached total of an estimate, or -1 when it was not computed (or the
// distances lie outside the cache).
int32_t lookahead_cached_cost(const frame_t *f, int32_t d0, int32_t d1, bool weighted);

// At the start of a picture, once its references are set: the distances
// under which the analysis finds the lookahead's block costs, vectors and
// hints (lowres_l0_distance, lowres_l1_distance), -1 where none exist.
void lookahead_picture_start(encoder_t *ctx);
