#include "encoder/row_contexts.h"

#include <pthread.h>

#include <cstring>

#include "encoder/encoder.h"
#include "encoder/rowsched.h"
#include "encoder/sched_trace.h"
#include "encoder/threadpool.h"

// The thread making the row contexts, frame context after frame context in
// the order pictures take them, and how far it got.
struct row_maker_t {
  pthread_t thread;
  int32_t running;  // the thread is not joined yet
  pthread_mutex_t mutex;
  pthread_cond_t made_more;
  int32_t made;    // frame contexts 1 .. made have their row contexts
  int32_t failed;  // memory ran out at frame context made + 1
  mem_account_t account;
};

int ctx_alloc_row_contexts(encoder_t *ctx) {
  const mem_kind_guard kind(MEM_ROW_CTX);
  for (int32_t r = 0; r < ctx->row_slots; r++) {
    encoder_t *rc = static_cast<encoder_t *>(aligned_malloc(sizeof(encoder_t)));
    if (!rc) return -1;
    std::memcpy(static_cast<void *>(rc), ctx, sizeof(encoder_t));
    // None of the copied buffer pointers is the row's own: should making
    // them fail half-way, freeing the row must not free the frame's.
    const row_buffers_t none{};
    row_buffers_restore(rc, &none);
    ctx->row_ctx[r] = rc;
    if (ctx_alloc_ctu_arrays(rc) < 0) return -1;
  }
  rowsched_frame_t *f = ctx->sched_entry;
  for (int32_t r = 0; r < ctx->ctu_rows; r++) f->rows[r].ctx = ctx->row_ctx[r % ctx->row_slots];
  return 0;
}

void row_contexts_release(encoder_t *fctx) {
  const row_buffers_t none{};
  for (int32_t r = 0; r < fctx->row_slots; r++) {
    encoder_t *rc = fctx->row_ctx[r];
    if (!rc || !rc->ctu_src) continue;
    ctx_free_ctu_arrays(rc);
    row_buffers_restore(rc, &none);
  }
}

int row_contexts_restore(encoder_t *fctx) {
  const mem_kind_guard kind(MEM_ROW_CTX);
  for (int32_t r = 0; r < fctx->row_slots; r++) {
    encoder_t *rc = fctx->row_ctx[r];
    if (rc && !rc->ctu_src && ctx_alloc_ctu_arrays(rc) < 0) return -1;
  }
  return 0;
}

namespace {

void make_all(encoder_t *enc) {
  row_maker_t *m = enc->row_maker;
  SCHED_TRACE_SCOPE('G', 6, 0, 0);
  for (int32_t i = 1; i <= enc->frame_ctx_count; i++) {
    const int ok = ctx_alloc_row_contexts(enc->frame_ctx[i]);
    pthread_mutex_lock(&m->mutex);
    if (ok == 0)
      m->made = i;
    else
      m->failed = 1;
    pthread_cond_broadcast(&m->made_more);
    pthread_mutex_unlock(&m->mutex);
    if (ok < 0) return;
  }
}

// A frame context is read or written by nothing else until the caller has
// seen it made: a picture starts on it only after row_contexts_wait.
void *maker_main(void *arg) {
  encoder_t *enc = static_cast<encoder_t *>(arg);
  mem_account_open(&enc->row_maker->account);
  make_all(enc);
  mem_account_close();
  return nullptr;
}

}  // namespace

int row_contexts_make(encoder_t *enc) {
  row_maker_t *m = static_cast<row_maker_t *>(aligned_malloc(sizeof(row_maker_t)));
  if (!m) return -1;
  std::memset(static_cast<void *>(m), 0, sizeof(*m));
  pthread_mutex_init(&m->mutex, nullptr);
  pthread_cond_init(&m->made_more, nullptr);
  enc->row_maker = m;
  if (enc->param.threads > 1 && thread_start(&m->thread, maker_main, enc) == 0) {
    m->running = 1;
    return 0;
  }
  make_all(enc);
  return m->failed ? -1 : 0;
}

int row_contexts_wait(encoder_t *enc, int32_t context, mem_account_t *account) {
  row_maker_t *m = enc->row_maker;
  if (!m) return 0;
  if (context > enc->frame_ctx_count) {
    if (m->running) {
      pthread_join(m->thread, nullptr);
      m->running = 0;
      if (account) {
        for (int k = 0; k < MEM_KINDS; k++) account->bytes[k] += m->account.bytes[k];
        account->blocks += m->account.blocks;
      }
    }
    return m->failed ? -1 : 0;
  }
  pthread_mutex_lock(&m->mutex);
  while (m->made < context && !m->failed) pthread_cond_wait(&m->made_more, &m->mutex);
  const int result = m->made >= context ? 0 : -1;
  pthread_mutex_unlock(&m->mutex);
  return result;
}

void row_contexts_free(encoder_t *enc) {
  row_maker_t *m = enc->row_maker;
  if (!m) return;
  row_contexts_wait(enc, ROW_CONTEXTS_ALL);
  pthread_mutex_destroy(&m->mutex);
  pthread_cond_destroy(&m->made_more);
  aligned_free(m);
  enc->row_maker = nullptr;
}
