// The row contexts of the frame contexts: copies of their frame context with
// CTU working buffers of their own.  Making them is most of an encoder's
// creation (their buffers' mappings and first pages), and nothing needs them
// before the first picture starts, which waits for the lookahead to fill:
// with more than one thread they are made on a thread of their own meanwhile.
#pragma once

#include <climits>
#include <cstdint>

#include "common/memory.h"

struct encoder_t;

// Makes the row contexts of one frame context (whose per-picture arrays
// exist).  0, or -1 when memory ran out (what was made is freed with the
// frame context).
int ctx_alloc_row_contexts(encoder_t *ctx);

// At the end of creation, with every frame context made and set up: makes
// the row contexts of all of them, on a thread of its own when the encoder
// has more than one thread, else at once.  -1 when made at once and memory
// ran out.
int row_contexts_make(encoder_t *enc);
constexpr int32_t ROW_CONTEXTS_ALL = INT32_MAX;
// Waits until frame context `context` (1 .. count; ROW_CONTEXTS_ALL: every
// one, and the thread has ended) has its row contexts: 0, or -1 when memory
// ran out before.  A picture starts on a frame context only after this, and
// the frame contexts are freed only after waiting for them all.  Adds what
// the thread booked to `account`, when given, on the wait for all.
int row_contexts_wait(encoder_t *enc, int32_t context, mem_account_t *account = nullptr);
// Frees the CTU working buffers of a frame context's row contexts, keeping
// their records: most of the memory an encode touches besides the
// pictures, and most of the closing time once the pictures go on several
// threads.  Nothing reads the buffers across rows (which row context codes
// a row depends on the thread count), so buffers made again come to the
// same stream.  The frame context must have no picture in flight.
void row_contexts_release(encoder_t *fctx);
// Makes released buffers again, before a picture starts on the frame
// context: 0, or -1 when memory ran out.
int row_contexts_restore(encoder_t *fctx);
// Waits for them all, then frees the maker's record.
void row_contexts_free(encoder_t *enc);
