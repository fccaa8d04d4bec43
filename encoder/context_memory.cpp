// The memory of the encoder's contexts: the arrays each frame context codes
// a picture with, the working buffers of each row context, the most coded
// bytes a picture can take, and how many pictures the picture pool makes.

#include "encoder/lifecycle.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <type_traits>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

#include "analysis/ctu_analysis.h"
#include "common/memory.h"
#include "encoder/row_contexts.h"
#include "encoder/rowsched.h"
#include "filters/deblock.h"
#include "filters/sao.h"
#include "rdo/pred_cache.h"
#include "rdo/quant_memo.h"
#include "rdo/rd_cost.h"

// Zero-filled arrays come untouched from the system (see aligned_calloc).
template <class T>
static T *alloc_array(size_t count, int fill) {
  if (fill == 0) return static_cast<T *>(aligned_calloc(sizeof(T) * count));
  T *p = static_cast<T *>(aligned_malloc(sizeof(T) * count));
  if (p) std::memset(static_cast<void *>(p), fill, sizeof(T) * count);
  return p;
}

// The most coded slice data of `ctus` CTUs, proven for the syntax this
// encoder writes (8-bit 4:2:0, no PCM, no transform skip or bypass):
// - CABAC: a stream's bits are its renormalisation shifts plus its bypass
//   bins plus the flush (a few bytes).  A context-coded bin coded at range
//   R into sub-range r shifts log2(R'/r) times (R' the range after it), so
//   the shifts of a stream add up to the sum of log2(R/r) over its bins
//   plus at most 1.  Bounding log2(R/r) over every range by state and bin
//   makes each context a walk on the 63 probability states; the walk that
//   costs most per bin in the long run costs 1.3175 bits a bin (its maximum
//   mean cycle), and any walk at most that per bin plus 14.8 bits (the
//   spread of the cycle's potential): at most 1.32 bits per context-coded
//   bin and 186 x 15 bits (350 bytes) per stream.  A bypass bin is 1 bit,
//   an end-of-slice bin of 0 under 0.02.
// - Levels: the forward transform of residuals within +-255 stays within
//   +-32640 (no row of a transform matrix of size N sums to more than 64 N
//   in magnitude, and the two stages shift by log2 N - 1 and log2 N + 6),
//   so a level at QP 0, the finest step, is at most 408 N, one more after
//   rate-distortion quantisation and sign hiding: under 410 N.  Its
//   remaining part then takes at most 24, 26, 28 and 30 bypass bins in
//   4x4 .. 32x32 blocks, for any Rice parameter.
// - Residual, per coefficient position of a block of size N: at most 1.625
//   context bins of coded 4x4 groups (significance; 8 greater-than-1, one
//   greater-than-2 and one group flag per group), a sign, the remaining
//   level, and per block the last position (2 (2 log2 N - 1) context bins
//   and up to 6 bypass bins) and one coded-block flag.  The most is in
//   32x32 blocks: (1683 x 1.32 + 1024 + 1024 x 30 + 6) / 1024 = 33.2 bits;
//   1.5 coefficient positions per luma sample: 49.8 bits, 6.23 bytes.
// - Coding-unit syntax of an 8x8 CU (64 luma samples), counting 6 bits for
//   every context-coded bin: at worst two predicted parts with four motion
//   vector differences of 43 bits (two context bins, a first-order
//   Exp-Golomb code of up to 30 bins and a sign) and 89 bits of merge,
//   direction, reference and predictor syntax each, split, skip, mode and
//   part flags, the QP delta (42 bits) and the transform tree's flags (42):
//   649 bits, 1.27 bytes per luma sample.
// - SAO per CTU: merge flags and three planes' type, four offsets, signs and
//   band or class: 144 bits; the end-of-slice bin: 1 bit.  Within 64 bytes.
// So 7.5 bytes per luma sample of whole CTUs, 64 bytes per CTU and 64 KB
// per stream.  Noise coded at QP 0 takes about 2.2 bytes per luma sample
// (the memory-account test codes it at every complexity).  Only address
// space is reserved for the bound: the pages are touched as data is
// written.  Should a stream not fit anyway, the bit writer drops what
// overflows and the picture ends in an error.
size_t coded_bytes_bound(const encoder_t *, int64_t ctus) {
  return static_cast<size_t>(ctus) * (CODED_BYTES_PER_LUMA_SAMPLE_X2 * 64 * 64 / 2 + 64) + 65536;
}

size_t substream_slot_bytes(const encoder_t *ctx) { return coded_bytes_bound(ctx, ctx->ctu_cols); }

int ctx_alloc_picture_arrays(encoder_t *ctx) {
  const size_t ctus = static_cast<size_t>(ctx->ctu_count);
  const size_t line = static_cast<size_t>(ctx->ctu_cols) * 64 * ctx->ctu_rows;
  ctx->deblock_edges = alloc_array<deblock_edge_map_t>(ctus, 0);
  ctx->deblock_qps = alloc_array<deblock_qp_map_t>(static_cast<size_t>(ctx->ctu_cols), 0);
  ctx->intra_line[0] = alloc_array<uint8_t>(line, 0);
  ctx->intra_line[1] = alloc_array<uint8_t>(line / 2, 0);
  ctx->intra_line[2] = alloc_array<uint8_t>(line / 2, 0);
  for (int c = 0; c < 3; c++) ctx->sao_params[c] = alloc_array<sao_param_t>(ctus, 0);
  ctx->sao_merge = alloc_array<int32_t>(ctus, 0);
  // The picture's units: parameter sets (each under 512 bytes) and the slice
  // (its header, then the slice data written in place: see encoder.h).
  {
    const mem_kind_guard kind(MEM_BITSTREAM);
    const size_t data_cap = ctx->param.wpp ? substream_slot_bytes(ctx) * static_cast<size_t>(ctx->ctu_rows)
                                           : coded_bytes_bound(ctx, ctx->ctu_count);
    nal_list_init(&ctx->nals);
    if (nal_list_reserve(&ctx->nals, 4, 3 * 512 + SLICE_HEADER_ROOM + data_cap) < 0) return -1;
  }
  // Rows in flight: one picture's rows never outnumber its workers by more
  // than the rows that wait on the row above, so two beyond the worker count
  // keep every worker busy; the scheduler starts row r only when row
  // r - row_slots is finished.  A single stream codes one row at a time, and
  // each row reads the coder of the row above when it starts: two.
  ctx->row_slots = std::min(ctx->ctu_rows, ctx->param.wpp ? std::max(ctx->param.threads, 1) + 2 : 2);
  ctx->row_ctx = alloc_array<encoder_t *>(static_cast<size_t>(ctx->row_slots), 0);
  ctx->row_results = alloc_array<row_result_t>(static_cast<size_t>(ctx->ctu_rows), 0);
  if (!ctx->row_results) return -1;
  ctx->sched_entry = alloc_array<rowsched_frame_t>(1, 0);
  ctx->ctu_depth_sum = reinterpret_cast<uint32_t(*)[4]>(alloc_array<uint32_t>(static_cast<size_t>(ctus) * 4, 0));
  ctx->ctu_depth_count = reinterpret_cast<int8_t(*)[4]>(alloc_array<int8_t>(static_cast<size_t>(ctus) * 4, 0));
  if (!ctx->ctu_depth_sum || !ctx->ctu_depth_count) return -1;
  if (!ctx->deblock_edges || !ctx->deblock_qps || !ctx->intra_line[0] || !ctx->intra_line[1] ||
      !ctx->intra_line[2] || !ctx->sao_params[0] || !ctx->sao_params[1] || !ctx->sao_params[2] || !ctx->sao_merge ||
      !ctx->row_ctx || !ctx->sched_entry)
    return -1;
  rowsched_frame_t *f = ctx->sched_entry;
  f->fctx = ctx;
  f->row_count = ctx->ctu_rows;
  f->row_slots = ctx->row_slots;
  f->cols = ctx->ctu_cols;
  f->rows = alloc_array<rowsched_row_t>(static_cast<size_t>(ctx->ctu_rows), 0);
  if (!f->rows) return -1;
  pthread_mutex_init(&f->mutex, nullptr);
  pthread_cond_init(&f->done, nullptr);
  // The row contexts come later (row_contexts_make).
  return 0;
}

void ctx_free_picture_arrays(encoder_t *ctx) {
  if (ctx->row_ctx) {
    for (int32_t r = 0; r < ctx->row_slots; r++) {
      if (!ctx->row_ctx[r]) continue;
      ctx_free_ctu_arrays(ctx->row_ctx[r]);
      aligned_free(ctx->row_ctx[r]);
    }
  }
  if (ctx->sched_entry && ctx->sched_entry->rows) {
    aligned_free(ctx->sched_entry->rows);
    pthread_mutex_destroy(&ctx->sched_entry->mutex);
    pthread_cond_destroy(&ctx->sched_entry->done);
  }
  aligned_free(ctx->sched_entry);
  aligned_free(ctx->row_ctx);
  aligned_free(ctx->row_results);
  aligned_free(ctx->deblock_edges);
  aligned_free(ctx->deblock_qps);
  for (int p = 0; p < 3; p++) {
    aligned_free(ctx->intra_line[p]);
    aligned_free(ctx->sao_params[p]);
  }
  aligned_free(ctx->sao_merge);
  aligned_free(ctx->ctu_depth_sum);
  aligned_free(ctx->ctu_depth_count);
  nal_list_free(&ctx->nals);
}

// Lays the working buffers of a row context out one after the other from
// `base` (nothing but the size with base null): 64-byte steps with a gap of
// at least 64 bytes after each buffer, which address-sanitizer builds mark
// unreadable so that they still catch a kernel reading past its buffer.
static size_t lay_out_ctu_arrays(uint8_t *base, row_buffers_t *b, int32_t ctus) {
  constexpr size_t GAP = 64;
  size_t at = 0;
  auto take = [&](auto *&p, size_t count) {
    using T = std::remove_reference_t<decltype(*p)>;
    const size_t bytes = sizeof(T) * count;
    p = base ? reinterpret_cast<T *>(base + at) : nullptr;
    if (base) ASAN_POISON_MEMORY_REGION(base + at + bytes, ((bytes + 63) & ~size_t{63}) + GAP - bytes);
    at += ((bytes + 63) & ~size_t{63}) + GAP;
  };
  take(b->ctu_src, SRC_STRIDE * 96);
  take(b->ctu_rec, RECON_STRIDE * 64);
  take(b->maps, 1);
  uint8_t *snapshots = nullptr, *tu_states = nullptr;
  take(snapshots, snapshots_bytes());
  b->snapshots = reinterpret_cast<cu_snapshot_t *>(snapshots);
  take(tu_states, tu_states_bytes());
  b->tu_states = reinterpret_cast<tu_state_t *>(tu_states);
  take(b->nodes, CU_NODE_COUNT);
  take(b->lowres, 1);
  take(b->pred_work, RECON_STRIDE * 64);
  take(b->coef_tmp, 32 * 32);
  take(b->dq_tmp, 32 * 32);
  take(b->quant_memo, 1);
  take(b->pred_cache, 1);
  for (int c = 0; c < 3; c++) take(b->sao_diff[c], c ? 32 * 32 : 64 * 64);
  take(b->sao_scratch, 147456);
  take(b->ctu_debug_map, static_cast<size_t>(ctus));
  return at;
}

// One zeroed block for all the buffers, untouched until used: one mapping
// and one unmapping per row context where a dozen each (and the C
// allocator's heap growth for the small ones) took the system's memory map
// lock thousands of times while the row contexts were made beside the
// lookahead's page mapping, and again when they were given back.
int ctx_alloc_ctu_arrays(encoder_t *ctx) {
  row_buffers_t b{};
  uint8_t *block = static_cast<uint8_t *>(aligned_calloc(lay_out_ctu_arrays(nullptr, &b, ctx->ctu_count)));
  if (!block) return -1;
  lay_out_ctu_arrays(block, &b, ctx->ctu_count);
  b.ctu_block = block;
  row_buffers_restore(ctx, &b);
  snapshots_lay_out(ctx);
  tu_first_quarters_forget(ctx);
  return 0;
}

void ctx_free_ctu_arrays(encoder_t *ctx) {
  aligned_free(ctx->ctu_block);
  const row_buffers_t none{};
  row_buffers_restore(ctx, &none);
}

void row_buffers_save(const encoder_t *ctx, row_buffers_t *b) {
  b->ctu_block = ctx->ctu_block;
  b->ctu_src = ctx->ctu_src;
  b->ctu_rec = ctx->ctu_rec;
  b->maps = ctx->maps;
  b->nodes = ctx->nodes;
  b->snapshots = ctx->snapshots;
  b->tu_states = ctx->tu_states;
  b->pred_work = ctx->pred_work;
  b->lowres = ctx->lowres;
  b->coef_tmp = ctx->coef_tmp;
  b->dq_tmp = ctx->dq_tmp;
  b->quant_memo = ctx->quant_memo;
  b->pred_cache = ctx->pred_cache;
  for (int c = 0; c < 3; c++) b->sao_diff[c] = ctx->sao_diff[c];
  b->sao_scratch = ctx->sao_scratch;
  b->ctu_debug_map = ctx->ctu_debug_map;
}

void row_buffers_restore(encoder_t *ctx, const row_buffers_t *b) {
  ctx->ctu_block = b->ctu_block;
  ctx->ctu_src = b->ctu_src;
  ctx->ctu_rec = b->ctu_rec;
  ctx->maps = b->maps;
  ctx->nodes = b->nodes;
  ctx->snapshots = b->snapshots;
  ctx->tu_states = b->tu_states;
  ctx->pred_work = b->pred_work;
  ctx->lowres = b->lowres;
  ctx->coef_tmp = b->coef_tmp;
  ctx->dq_tmp = b->dq_tmp;
  ctx->quant_memo = b->quant_memo;
  ctx->pred_cache = b->pred_cache;
  for (int c = 0; c < 3; c++) ctx->sao_diff[c] = b->sao_diff[c];
  ctx->sao_scratch = b->sao_scratch;
  ctx->ctu_debug_map = b->ctu_debug_map;
}

pool_bounds_t picture_pool_bounds(const param_t &p, int32_t decision_delay, int32_t contexts, int32_t dpb_size) {
  // The most pictures alive at once, from how encoder_encode_frame moves
  // them (D = decision_delay, C = contexts, M = dpb_size, the decoded
  // picture buffer's size with the current picture, as the SPS states it).
  //
  // Input pictures.  A call first lets go of the picture it returned last
  // time, then takes one for the new input.  At the end of every call the
  // input and decided lists hold at most D pictures together: a call that
  // starts a picture moves one out of them after its one came in, and one
  // that starts none found the decided list empty and the input list at
  // most D long (the decision runs as soon as it is longer).  Every call
  // starts one when it can, so at most C - 1 frame contexts are busy when
  // it takes its picture (it collected one last time, or some were idle).
  // Besides, the lookahead keeps the last group's anchor for the next
  // decision, which may have been returned already: only once C - 1
  // pictures started after it, and between two decisions only those of its
  // group start, so only when a group (B run and anchor) can be C long.
  // Taking its picture, a call thus holds at most D + 1 queued, C - 1 in
  // flight and that anchor; starting, deciding and collecting only move
  // pictures between holders.
  //
  // Reconstructions.  A picture takes its reconstruction when it starts on
  // a free frame context; the one returned last is let go by then.  Alive
  // are the pictures in flight (at most C - 1 others), those in the
  // buffer, and those the pictures in flight predict from.  Let o be the
  // oldest picture in flight: every buffer since holds only what o's
  // reference set kept (at most M - 1 pictures) and pictures started after
  // it, all of which are still in flight; what a picture in flight predicts
  // from lay in the buffer when it started.  So at most M - 1 + C - 1 + 1.
  //
  // Sub-pel plane sets: only references borrow one, from when they start
  // until nothing may predict from them (the same pictures as above), so
  // the same count bounds them; a picture can be in flight for every
  // context while all of them are references (P pictures only).
  //
  // encoder_open's test of these bounds takes one picture or set out of a
  // pool so made and encodes until the encoder runs short (exactly the
  // worst cases named above), which fails loudly (pool_exhausted).
  pool_bounds_t b{};
  b.inputs = decision_delay + contexts + (p.bframes + 1 >= contexts ? 1 : 0);
  b.recons = dpb_size + contexts - 1;
  // Sub-pel planes only when some picture may be predicted.
  const bool subpel = p.subpel_planes && p.subpel_build_mode > 0 && p.idr_period != 1;
  b.plane_sets = subpel ? b.recons : 0;
  return b;
}

void pool_exhausted(const encoder_t *enc, const char *what) {
  const frame_pool_t *pool = enc->pool;
  std::fprintf(stderr,
               "tarnhevcenc: internal error: no %s left in the picture pool (made for %d input pictures, %d "
               "reconstructions and %d sub-pel plane sets): its bound is wrong\n",
               what, pool->made[1], pool->made[0], pool->plane_set_count);
  assert(!"the picture pool's bound is wrong");
}
