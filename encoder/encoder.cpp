// Encoder lifecycle: creation, one picture per call, output assembly,
// flush and destruction.
#include "encoder/encoder.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <type_traits>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

#include "encoder/ctu_filter.h"
#include "encoder/ctu_start.h"
#include "common/memory.h"
#include "encoder/row_contexts.h"
#include "encoder/rowsched.h"
#include "encoder/sched_trace.h"
#include "encoder/threadpool.h"
#include "analysis/analysis_tables.h"
#include "filters/deblock.h"
#include "analysis/ctu_analysis.h"
#include "analysis/ctu_maps.h"
#include "analysis/cu_node.h"
#include "filters/sao.h"
#include "rdo/pred_cache.h"
#include "rdo/quant_memo.h"
#include "rdo/rd_cost.h"
#include "ratecontrol/lookahead_frame.h"
#include "ratecontrol/lowres_cost.h"
#include "ratecontrol/aq.h"
#include "ratecontrol/cutree.h"
#include "ratecontrol/ratecontrol.h"
#include "ratecontrol/twopass.h"

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
static size_t lay_out_ctu_arrays(uint8_t *base, row_buffers_t *b) {
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
  return at;
}

// One zeroed block for all the buffers, untouched until used: one mapping
// and one unmapping per row context where a dozen each (and the C
// allocator's heap growth for the small ones) took the system's memory map
// lock thousands of times while the row contexts were made beside the
// lookahead's page mapping, and again when they were given back.
int ctx_alloc_ctu_arrays(encoder_t *ctx) {
  row_buffers_t b{};
  uint8_t *block = static_cast<uint8_t *>(aligned_calloc(lay_out_ctu_arrays(nullptr, &b)));
  if (!block) return -1;
  lay_out_ctu_arrays(block, &b);
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
}

static void write_param_sets(encoder_t *ctx, nal_list_t *nals) {
  uint8_t buf[512];
  bitwriter_t bw;
  bw_init(&bw, buf, sizeof(buf));
  write_vps(&bw, ctx->sps);
  bw_flush(&bw);
  nal_list_add(nals, NAL_VPS, 1, buf, bw_bytes(&bw));
  bw_init(&bw, buf, sizeof(buf));
  write_sps(&bw, ctx->sps);
  bw_flush(&bw);
  nal_list_add(nals, NAL_SPS, 1, buf, bw_bytes(&bw));
  bw_init(&bw, buf, sizeof(buf));
  write_pps(&bw, ctx->pps);
  bw_flush(&bw);
  nal_list_add(nals, NAL_PPS, 1, buf, bw_bytes(&bw));
}

static encoder_t *encoder_make(const param_t &p, tarnhevcenc_param_t *pub);

// What creation reserved, by kind: the encoder's memory is fixed from here
// on, so this is its whole heap apart from the threads' stacks.
static void print_memory_account(const encoder_t *enc, const mem_account_t &account) {
  size_t total = 0;
  for (size_t b : account.bytes) total += b;
  const frame_pool_t *pool = enc->pool;
  int32_t rows = 0;
  for (int32_t i = 1; i <= enc->frame_ctx_count; i++) rows += enc->frame_ctx[i]->row_slots;
  std::fprintf(stderr,
               "tarnhevcenc: memory reserved at creation (%d input pictures, %d reconstructions, %d sub-pel plane "
               "sets, %d frame contexts, %d row contexts",
               pool->made[1], pool->made[0], pool->plane_set_count, enc->frame_ctx_count, rows);
  if (THREAD_STACK_BYTES) std::fprintf(stderr, "; besides, %zu KB of stack per thread", THREAD_STACK_BYTES >> 10);
  std::fprintf(stderr, ")\n");
  for (int k = 0; k < MEM_KINDS; k++)
    std::fprintf(stderr, "tarnhevcenc:   %-20s %10.1f MB\n", mem_kind_names[k], account.bytes[k] / 1048576.0);
  std::fprintf(stderr, "tarnhevcenc:   %-20s %10.1f MB\n", "total", total / 1048576.0);
}

encoder_t *encoder_open(tarnhevcenc_param_t *pub) {
  SCHED_TRACE_SCOPE('A', 0, 0, 0);
  param_t p;
  if (param_build(&p, pub) < 0) {
    errno = EINVAL;
    return nullptr;
  }
  // The lookahead depth sizes the queues and the picture pool.
  twopass_header_settings(&p);
  // The settings are sound from here on: only memory (or the threads'
  // stacks) can run out.
  mem_account_t account{};
  mem_account_open(&account);
  errno = 0;
  encoder_t *enc = encoder_make(p, pub);
  mem_account_close();
  if (!enc) {
    // A statistics text that cannot be used, or a target it cannot meet, is
    // no lack of memory.
    errno = errno == EBADMSG || errno == ERANGE ? errno : ENOMEM;
    return nullptr;
  }
  if (p.log_level & 2) {
    if (row_contexts_wait(enc, ROW_CONTEXTS_ALL, &account) < 0) {
      encoder_close(enc);
      errno = ENOMEM;
      return nullptr;
    }
    print_memory_account(enc, account);
  }
  return enc;
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

struct mvcost_job_t {
  param_t param;
  analysis_tables_t *tables;
};

static int64_t mvcost_job(int64_t arg) {
  const mvcost_job_t *job = reinterpret_cast<const mvcost_job_t *>(arg);
  return mvcost_tables_build(job->param, job->tables);
}

static encoder_t *encoder_make(const param_t &p, tarnhevcenc_param_t *pub) {
  encoder_t *enc = static_cast<encoder_t *>(aligned_malloc(sizeof(encoder_t)));
  if (!enc) return nullptr;
  std::memset(enc, 0, sizeof(*enc));
  enc->param = p;
  enc->param2 = p;
  enc->instance = enc;

  setup_transform_primitives(p.cpu_flags, &enc->transform);
  setup_quant_primitives(p.cpu_flags, &enc->quant);
  setup_mc_primitives(p.cpu_flags, &enc->mc);
  setup_deblock_primitives(p.cpu_flags, &enc->deblock);
  setup_pixel_primitives(p.cpu_flags, &enc->pixel, p.block_cost_level);
  setup_intra_primitives(p.cpu_flags, &enc->intra);
  setup_sao_primitives(p.cpu_flags, &enc->sao);

  scan_tables_t *scans = static_cast<scan_tables_t *>(aligned_malloc(sizeof(scan_tables_t)));
  enc->sps = static_cast<sps_t *>(aligned_malloc(sizeof(sps_t)));
  enc->pps = static_cast<pps_t *>(aligned_malloc(sizeof(pps_t)));
  enc->stats = static_cast<encoder_stats_t *>(aligned_malloc(sizeof(encoder_stats_t)));
  enc->pool = static_cast<frame_pool_t *>(aligned_malloc(sizeof(frame_pool_t)));
  enc->lookahead = static_cast<lookahead_queue_t *>(aligned_malloc(sizeof(lookahead_queue_t)));
  frame_list_t *lists = static_cast<frame_list_t *>(aligned_malloc(2 * sizeof(frame_list_t)));
  if (enc->lookahead) {
    std::memset(enc->lookahead, 0, sizeof(lookahead_queue_t));
    enc->lookahead->input = lists;
    enc->lookahead->decided = lists ? lists + 1 : nullptr;
    if (lists) std::memset(lists, 0, 2 * sizeof(frame_list_t));
  }
  if (!scans || !enc->sps || !enc->pps || !enc->stats || !enc->pool || !enc->lookahead || !lists) {
    aligned_free(lists);
    aligned_free(scans);
    aligned_free(enc->sps);
    aligned_free(enc->pps);
    aligned_free(enc->stats);
    aligned_free(enc->pool);
    aligned_free(enc->lookahead);
    aligned_free(enc);
    return nullptr;
  }
  scan_tables_init(scans);
  enc->scan_tables = scans;
  sps_init(enc->sps, &enc->param);
  pps_init(enc->pps, &enc->param, enc->sps);
  std::memset(enc->stats, 0, sizeof(encoder_stats_t));
  std::memset(enc->pool, 0, sizeof(frame_pool_t));

  enc->width = enc->sps->pic_width;
  enc->height = enc->sps->pic_height;
  enc->ctu_cols = (enc->width + 63) / 64;
  enc->ctu_rows = (enc->height + 63) / 64;
  enc->ctu_count = enc->ctu_cols * enc->ctu_rows;
  enc->decision_delay = p.bframes > p.lookahead ? p.bframes : p.lookahead;
  enc->coding_number = -1;
  enc->lookahead->last_key_frame_number = -(p.idr_period > 0 ? p.idr_period : 1);
  enc->lookahead->p_layer_base = 0;
  enc->lookahead->irap_count = -1;
  key_picture_history_start(&enc->lookahead->key_history);
  enc->anchor_poc[0] = enc->anchor_poc[1] = INT32_MIN;
  nal_list_init(&enc->nals);
  // The tables exist before the contexts are cloned, which share them.
  if (analysis_tables_validate(&enc->param) < 0 || analysis_tables_create(enc) < 0) {
    encoder_close(enc);
    return nullptr;
  }
  lambda_tables_init(enc);
  chroma_weight_init(enc);

  const int32_t contexts = p.frame_contexts;
  const pool_bounds_t bounds = picture_pool_bounds(p, enc->decision_delay, contexts, enc->sps->max_dec_pic_buffering);
  // With the lookahead, every input picture carries its cost records, and
  // the estimates run on a job pool of their own.
  const bool with_lookahead = lookahead_enabled(enc);
  const lowres_layout_t layout = lowres_layout(enc->width, enc->height, p.bframes, p.vbv_maxrate != 0);
  if (with_lookahead) {
    SCHED_TRACE_SCOPE('G', 1, 0, 0);
    enc->lookahead_engine = lookahead_engine_new(enc, std::min(p.threads, 8));
  }
  bool ok = !with_lookahead || enc->lookahead_engine;
  // With a lookahead pool the MV cost tables are filled there while the
  // rest is made (1-2 ms of the creation, most of it the first writes to
  // their 2 MB), from the settings as they stand here.
  mvcost_job_t mvcost{enc->param, enc->tables};
  const bool mvcost_apart = ok && enc->lookahead_engine && enc->lookahead_engine->pool_ready;
  if (mvcost_apart)
    threadpool_run(&enc->lookahead_engine->pool, mvcost_job, reinterpret_cast<int64_t>(&mvcost));
  else
    ok = ok && mvcost_tables_build(mvcost.param, mvcost.tables) == 0;
  if (ok) {
    const mem_kind_guard kind(MEM_PICTURES);
    SCHED_TRACE_SCOPE('G', 2, 0, 0);
    ok = frame_pool_init(enc->pool, enc->width, enc->height, bounds.inputs, bounds.recons, bounds.plane_sets,
                         with_lookahead && p.search_quality > 2, with_lookahead ? &layout : nullptr, true) == 0;
    if (ok) lookahead_clear_recon_units(enc);
    if (ok && p.lowres_cu_search) ok = frame_pool_add_recon_lowres(enc->pool) == 0;
    // The first input pictures' pages are mapped on the lookahead pool
    // while the rest of the encoder is made.
    if (ok) lookahead_populate_ahead(enc);
  }
  ok = ok && frame_list_init(enc->lookahead->input, enc->decision_delay + 3) == 0 &&
            frame_list_init(enc->lookahead->decided, enc->decision_delay + 3) == 0;
  enc->frame_ctx = static_cast<encoder_t **>(aligned_malloc(sizeof(encoder_t *) * (contexts + 1)));
  ok = ok && enc->frame_ctx;
  if (ok) {
    std::memset(enc->frame_ctx, 0, sizeof(encoder_t *) * (contexts + 1));
    enc->frame_ctx[0] = enc;
    enc->frame_ctx_count = contexts;
    enc->frame_ctx_next = 1;
  }
  // Frame contexts are copies of the instance with their own buffers.
  for (int32_t i = 1; ok && i <= contexts; i++) {
    const mem_kind_guard kind(MEM_FRAME_CTX);
    encoder_t *c = static_cast<encoder_t *>(aligned_malloc(sizeof(encoder_t)));
    if (!c) {
      ok = false;
      break;
    }
    std::memcpy(static_cast<void *>(c), enc, sizeof(encoder_t));
    enc->frame_ctx[i] = c;
    SCHED_TRACE_SCOPE('G', 3, i, 0);
    if (ctx_alloc_picture_arrays(c) < 0) ok = false;
  }
  {
    SCHED_TRACE_SCOPE('G', 4, 0, 0);
    ok = ok && ratecontrol_init(enc) == 0;
  }
  if (ok) {
    // Room for the largest picture any frame context can produce (its NAL
    // list is reserved for the worst case), escaped.
    enc->out_cap = nal_list_packed_bound_max(&enc->frame_ctx[1]->nals);
    const mem_kind_guard kind(MEM_BITSTREAM);
    enc->out_buf = static_cast<uint8_t *>(aligned_malloc(enc->out_cap));
    ok = enc->out_buf != nullptr;
  }
  if (ok) {
    enc->sched = static_cast<rowsched_t *>(aligned_malloc(sizeof(rowsched_t)));
    const rowsched_callbacks_t callbacks{row_finalize, row_extend_left, picture_build_planes, picture_finish};
    SCHED_TRACE_SCOPE('G', 5, 0, 0);
    ok = enc->sched && rowsched_init(enc->sched, p.threads, contexts, callbacks) == 0;
  }
  // Last: the frame contexts are set up from here on, and are copied.
  ok = ok && row_contexts_make(enc) == 0;
  if (mvcost_apart && threadpool_wait(&enc->lookahead_engine->pool, reinterpret_cast<int64_t>(&mvcost)) < 0)
    ok = false;
  if (!ok) {
    encoder_close(enc);
    return nullptr;
  }
  // Rate control may have raised the VBV buffer and settled its initial fill.
  param_write_back(pub, enc->param);
  if (pub->size >= offsetof(tarnhevcenc_param_t, stats_out) + sizeof(pub->stats_out)) pub->stats_out = enc->rc->stats_out;
  return enc;
}

static int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

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

static void page_return_wait(encoder_t *enc) { pool_job_wait(enc, &enc->page_return, &enc->page_return.pending); }

// Starts the job when input pictures wait for it and none takes them.
static void page_return_start(encoder_t *enc) {
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

static void row_release_wait(encoder_t *enc) { pool_job_wait(enc, &enc->row_release, &enc->row_release.pending); }

// Once the input has ended and every picture has started, a frame context
// whose picture was collected codes nothing more unless input comes again:
// its row contexts' buffers go back beside the last pictures' coding, one
// frame context at a time (a collect every few milliseconds, each release
// a few), instead of at close, where they were most of the closing time.
static void row_release_start(encoder_t *enc, encoder_t *fctx) {
  const lookahead_queue_t *q = enc->lookahead;
  if (!enc->input_ended || q->input->count > 0 || q->decided->count > 0) return;
  row_release_wait(enc);
  enc->row_release.fctx = fctx;
  enc->row_release.pending = 1;
  threadpool_run(&enc->lookahead_engine->pool, row_release_job, reinterpret_cast<int64_t>(&enc->row_release));
}

// Whether the input's end lets input pictures give their pages back early:
// with a lookahead pool to do it beside the workers.
static bool pages_return_early(const encoder_t *enc) {
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

int encoder_get_header(encoder_t *enc, uint8_t *buf, int32_t buf_size) {
  nal_list_t nals;
  nal_list_init(&nals);
  write_param_sets(enc, &nals);
  int result = -1;
  const size_t bound = nal_list_packed_bound(&nals);
  uint8_t *tmp = static_cast<uint8_t *>(aligned_malloc(bound));
  if (tmp) {
    const size_t n = nal_list_pack(&nals, tmp);
    if (buf && buf_size >= 0 && n <= static_cast<size_t>(buf_size)) {
      std::memcpy(buf, tmp, n);
      result = static_cast<int>(n);
    }
  }
  aligned_free(tmp);
  nal_list_free(&nals);
  return result;
}

// Copies a caller picture into a pool picture covering whole CTUs, with the
// area beyond the picture filled by edge replication (the margins are left
// to lookahead_picture_prepare).
static void load_picture(frame_t *f, const param_t *p, const uint8_t *const planes[3], const int32_t strides[3]) {
  for (int32_t c = 0; c < 3; c++) {
    const int32_t sh = c ? 1 : 0;
    const int32_t w = p->width >> sh, h = p->height >> sh;
    const int32_t aw = f->alloc_width >> sh, ah = f->alloc_height >> sh;
    uint8_t *dst = f->plane[c];
    for (int32_t y = 0; y < h; y++) {
      uint8_t *row = dst + y * f->stride[c];
      std::memcpy(row, planes[c] + static_cast<int64_t>(y) * strides[c], w);
      std::memset(row + w, row[w - 1], aw - w);
    }
    for (int32_t y = h; y < ah; y++) std::memcpy(dst + y * f->stride[c], dst + (h - 1) * f->stride[c], aw);
  }
}

// Through the any-size SSD in bands whose sum fits its 32 bits (65025 per
// sample): the picture sums in 64 bits.
static double plane_mse(const encoder_t *enc, const frame_t *a, const frame_t *b, int32_t c, int32_t w, int32_t h) {
  const int32_t band = std::max<int32_t>(1, static_cast<int32_t>(UINT32_MAX / (255u * 255u)) / std::max(w, 1));
  uint64_t sse = 0;
  for (int32_t y = 0; y < h; y += band) {
    const int32_t rows = std::min(band, h - y);
    sse += enc->pixel.ssd_wxh(a->plane[c] + static_cast<intptr_t>(y) * a->stride[c], a->stride[c],
                              b->plane[c] + static_cast<intptr_t>(y) * b->stride[c], b->stride[c], w, rows);
  }
  return static_cast<double>(sse) / (static_cast<double>(w) * h);
}

// Reference structure of the next picture in coding order (H.265 8.3.2):
// the pictures kept are the references from the anchor before the current
// group on; P pictures use those before them, B pictures all of them.
struct rps_t {
  int32_t count;
  int32_t delta[16];  // POC - current POC
  int32_t used[16];
  frame_t *pic[16];
};

static void build_reference_structure(encoder_t *enc, encoder_t *ctx, frame_t *pic, rps_t *rps) {
  const uint32_t type = pic->frame_type_code;
  const bool anchor = type == TARNHEVCENC_TYPE_IDR || type == TARNHEVCENC_TYPE_CRA || type == TARNHEVCENC_TYPE_I ||
                      type == TARNHEVCENC_TYPE_P;
  // P pictures searching more than one reference reach back to the anchor
  // before the previous one (which the B pictures between kept), but never
  // behind their key picture (H.265 8.3.2: a trailing picture's reference
  // set holds nothing before its IRAP picture).
  const bool deep = type == TARNHEVCENC_TYPE_P && enc->param.prefs > 1;
  const int32_t keep_from =
      !anchor ? enc->anchor_poc[1] : deep ? std::max(enc->anchor_poc[1], enc->irap_poc) : enc->anchor_poc[0];
  rps->count = 0;
  if (type != TARNHEVCENC_TYPE_IDR) {
    for (int32_t i = 0; i < enc->dpb_count && rps->count < 16; i++) {
      frame_t *r = enc->dpb[i];
      if (r->poc < keep_from) continue;
      const int32_t k = rps->count++;
      rps->pic[k] = r;
      rps->delta[k] = r->poc - pic->poc;
      const bool intra = type == TARNHEVCENC_TYPE_CRA || type == TARNHEVCENC_TYPE_I;
      rps->used[k] = !intra && (type != TARNHEVCENC_TYPE_P || r->poc < pic->poc);
    }
  }
  // Lists: the used pictures before (closest first), then after (closest first).
  frame_t *before[16], *after[16];
  int32_t nb = 0, na = 0;
  for (int32_t i = 0; i < rps->count; i++) {
    if (!rps->used[i]) continue;
    if (rps->delta[i] < 0)
      before[nb++] = rps->pic[i];
    else
      after[na++] = rps->pic[i];
  }
  auto by_poc = [](frame_t **a, int32_t n, bool descending) {
    for (int32_t i = 1; i < n; i++)
      for (int32_t j = i; j > 0 && (descending ? a[j]->poc > a[j - 1]->poc : a[j]->poc < a[j - 1]->poc); j--) {
        frame_t *t = a[j];
        a[j] = a[j - 1];
        a[j - 1] = t;
      }
  };
  by_poc(before, nb, true);
  by_poc(after, na, false);
  ctx->ref_count[0] = ctx->ref_count[1] = 0;
  const int32_t total = nb + na;
  if (type == TARNHEVCENC_TYPE_P && total > 0) {
    for (int32_t i = 0; i < nb; i++) ctx->ref_list[0][i] = before[i];
    ctx->ref_count[0] = std::min(nb, enc->param.prefs);
    if (enc->param.p_as_b_slice && ctx->ref_count[0] > 0) {
      // Sent as a B slice: list 1 is built as a decoder builds it, the
      // pictures after (there are none before a P picture's display time)
      // and then those before, so it repeats list 0.
      int32_t k = 0;
      for (int32_t i = 0; i < na; i++) ctx->ref_list[1][k++] = after[i];
      for (int32_t i = 0; i < nb; i++) ctx->ref_list[1][k++] = before[i];
      ctx->ref_count[1] = ctx->ref_count[0];
    }
  } else if ((type == TARNHEVCENC_TYPE_BREF || type == TARNHEVCENC_TYPE_B) && total > 0) {
    int32_t k = 0;
    for (int32_t i = 0; i < nb; i++) ctx->ref_list[0][k++] = before[i];
    for (int32_t i = 0; i < na; i++) ctx->ref_list[0][k++] = after[i];
    k = 0;
    for (int32_t i = 0; i < na; i++) ctx->ref_list[1][k++] = after[i];
    for (int32_t i = 0; i < nb; i++) ctx->ref_list[1][k++] = before[i];
    ctx->ref_count[0] = ctx->ref_count[1] = std::min(total, enc->param.brefs);
  }
}

// Sets the next picture in coding order up on a free frame context and puts
// it in flight.
// The speed mode of the picture about to start.  Under the zero-latency
// tune pictures start as fast as they are encoded (or as the input comes,
// whichever is slower): while they start further apart than the frame
// period the encoder falls behind the input and the mode steps up; once
// they start well within it the mode steps back down.  Elsewhere the mode
// stays 0 (or the forced one), so the output stays deterministic.
static int32_t picture_speed_mode(encoder_t *enc) {
  const param_t &p = enc->param;
  if (p.speed_mode_runs > 0) {
    // Forced runs, repeated in coding order (coding_number is this
    // picture's, from 0).
    int64_t cycle = 0;
    for (int32_t k = 0; k < p.speed_mode_runs; k++) cycle += p.speed_mode_run_length[k];
    int64_t at = enc->coding_number % cycle;
    int32_t k = 0;
    while (at >= p.speed_mode_run_length[k]) at -= p.speed_mode_run_length[k++];
    return p.speed_mode_run_mode[k];
  }
  if (p.speed_mode >= 0) return p.speed_mode;
  if (enc->param.latency_mode != 0) return 0;
  const int64_t now = now_ns();
  const int64_t period = 1000000000LL * enc->param.fps_den / std::max(1, enc->param.fps_num);
  if (enc->last_start_ns != 0) {
    const int64_t interval = now - enc->last_start_ns;
    if (interval > period)
      enc->speed_pressure = std::min(enc->speed_pressure + 1, 3);
    else if (interval < period * 3 / 4)
      enc->speed_pressure = std::max(enc->speed_pressure - 1, 0);
  }
  enc->last_start_ns = now;
  return enc->speed_pressure;
}

static int start_picture(encoder_t *enc, frame_t *pic) {
  SCHED_TRACE_SCOPE('S', pic->frame_number, static_cast<int32_t>(pic->frame_type_code), 0);
  if (row_contexts_wait(enc, enc->frame_ctx_next) < 0 || row_contexts_restore(enc->frame_ctx[enc->frame_ctx_next]) < 0) {
    std::fprintf(stderr, "tarnhevcenc: memory ran out while making the row contexts\n");
    errno = ENOMEM;
    return -1;
  }
  encoder_t *ctx = enc->frame_ctx[enc->frame_ctx_next];
  enc->frame_ctx_next = enc->frame_ctx_next % enc->frame_ctx_count + 1;
  enc->coding_number++;

  const uint32_t type = pic->frame_type_code;
  if (type == TARNHEVCENC_TYPE_IDR) {
    enc->idr_frame_number = pic->frame_number;
    for (int32_t i = 0; i < enc->dpb_count; i++) frame_ref_drop(enc->pool, enc->dpb[i]);
    enc->dpb_count = 0;
    enc->anchor_poc[0] = enc->anchor_poc[1] = INT32_MIN;
  }
  pic->poc = pic->frame_number - enc->idr_frame_number;
  const bool key = type == TARNHEVCENC_TYPE_IDR || type == TARNHEVCENC_TYPE_CRA;
  const bool anchor = key || type == TARNHEVCENC_TYPE_I || type == TARNHEVCENC_TYPE_P;
  const bool reference = type != TARNHEVCENC_TYPE_B;
  if (key) enc->irap_poc = pic->poc;

  ctx->picture_speed_mode = picture_speed_mode(enc);
  rps_t rps;
  build_reference_structure(enc, ctx, pic, &rps);
  ctx->cur_input = pic;
  ctx->cur_recon = frame_get_unused(enc->pool, 0);
  if (!ctx->cur_recon) {
    pool_exhausted(enc, "reconstruction");
    return -1;
  }
  frame_t *rec = ctx->cur_recon;
  picture_analysis_reset(ctx);
  ctx->sao_enable = enc->param.sao ? 3 : 0;
  ctu_setup_pointers(ctx);
  rec->frame_number = pic->frame_number;
  rec->poc = pic->poc;
  // The CU search on half-resolution pictures searches the references'
  // source pictures at half resolution, which outlive their inputs here.
  if (enc->param.lowres_cu_search) frame_copy_lowres(rec, pic);
  // Predicted pictures compare their skip costs with the distortion of
  // their references' CTUs.
  rec->record_distortion = reference;
  rec->pts = pic->pts;
  rec->frame_type_code = type;
  // Rate control reads a reference B picture's level from its
  // reconstruction to take the level's QP offset off its QP.
  rec->b_level = pic->b_level;
  for (int32_t l = 0; l < 2; l++) {
    rec->coded_ref_count[l] = ctx->ref_count[l];
    for (int32_t i = 0; i < ctx->ref_count[l]; i++) rec->coded_ref_poc[l][i] = ctx->ref_list[l][i]->poc;
  }
  ctx->slice_type_code = (type == TARNHEVCENC_TYPE_P && ctx->ref_count[0]) ? (enc->param.p_as_b_slice ? 0 : 1)
                         : ((type == TARNHEVCENC_TYPE_B || type == TARNHEVCENC_TYPE_BREF) && ctx->ref_count[0]) ? 0
                                                                                                             : 2;
  ctx->col_from_l0 = ctx->slice_type_code == 0 ? 0 : 1;
  rec->skipped_by_speed = ctx->picture_speed_mode == 3 && ctx->slice_type_code != 2;
  lookahead_picture_start(ctx);
  ctx->max_merge_cand = 5;
  nal_list_clear(&ctx->nals);
  // Parameter sets precede the first picture and every IDR picture.  A CRA
  // picture does not repeat them: libde265 empties its reference pictures
  // when a sequence parameter set arrives, which would lose the references
  // of the CRA picture's leading pictures.  (Written before the picture's
  // QP is chosen: VBV plans the picture with their size.)
  if (type == TARNHEVCENC_TYPE_IDR || enc->coding_number == 0) write_param_sets(ctx, &ctx->nals);
  // Rate-control state arrives from the context that started the picture
  // before; the sums frame ends update go on to the one collected next.
  encoder_t *previous = enc->last_started ? enc->last_started : ctx;
  ratecontrol_sync_state(ctx, previous, enc->inflight_count > 0 ? enc->inflight[0] : ctx);
  enc->last_started = ctx;
  if (ratecontrol_frame_start(ctx, 0, 0) != 0) return -1;
  ctx->slice_qp = ratecontrol_frame_qp(ctx);
  if (type == TARNHEVCENC_TYPE_IDR)
    ctx->nal_type = NAL_IDR_N_LP;
  else if (type == TARNHEVCENC_TYPE_CRA)
    ctx->nal_type = NAL_CRA;
  else if (pic->poc < enc->irap_poc)  // leading picture of an open-GOP key picture
    ctx->nal_type = reference ? NAL_RASL_R : NAL_RASL_N;
  else
    ctx->nal_type = reference ? NAL_TRAIL_R : NAL_TRAIL_N;
  ctx->nal_type = nal_type_for_compat(enc->param.compat, static_cast<uint8_t>(ctx->nal_type));

  ctx->slice_data_at = ctx->nals.arena_used + SLICE_HEADER_ROOM;
  ctx->rps_count = rps.count;
  for (int32_t i = 0; i < rps.count; i++) {
    ctx->rps_delta[i] = rps.delta[i];
    ctx->rps_used[i] = rps.used[i];
  }

  // The decoded picture buffer now holds what the RPS kept, plus this
  // picture when later pictures may refer to it (the scheduler holds them
  // back until it is finished).
  int32_t kept = 0;
  for (int32_t i = 0; i < enc->dpb_count; i++) {
    bool in_rps = false;
    for (int32_t k = 0; k < rps.count; k++) in_rps |= rps.pic[k] == enc->dpb[i];
    if (in_rps)
      enc->dpb[kept++] = enc->dpb[i];
    else
      frame_ref_drop(enc->pool, enc->dpb[i]);
  }
  enc->dpb_count = kept;
  // A reference carries sub-pel planes, built as its rows are final, from
  // the pool's sets (those of the pictures just dropped are back).
  const bool with_planes = reference && enc->pool->plane_set_count > 0;
  if (with_planes && frame_planes_attach(enc->pool, rec) < 0) {
    pool_exhausted(enc, "sub-pel plane set");
    return -1;
  }
  if (reference && enc->dpb_count < 16) {
    frame_ref_hold(enc->pool, rec);
    enc->dpb[enc->dpb_count++] = rec;
  }
  if (anchor) {
    enc->anchor_poc[1] = enc->anchor_poc[0];
    enc->anchor_poc[0] = pic->poc;
  }

  // The picture holds its references until it is collected: a later
  // picture's reference set may drop them from the buffer before then.
  rowsched_frame_t *f = ctx->sched_entry;
  f->wavefront = ctx->pps->entropy_coding_sync;
  rec->sched = f;
  rec->planes_valid = with_planes ? std::min(enc->param.subpel_build_mode, 2) : 0;
  rec->plane_rows = 0;
  f->planes = rec->planes_valid;
  f->ref_count = 0;
  for (int32_t l = 0; l < 2; l++)
    for (int32_t i = 0; i < ctx->ref_count[l]; i++) {
      frame_t *r = ctx->ref_list[l][i];
      bool seen = false;
      for (int32_t k = 0; k < f->ref_count; k++) seen |= f->refs[k] == r;
      if (seen) continue;
      frame_ref_hold(enc->pool, r);
      f->refs[f->ref_count++] = r;
      SCHED_TRACE_SCOPE('r', pic->frame_number, r->frame_number, 0);
    }
  enc->inflight[enc->inflight_count++] = ctx;
  rowsched_submit(enc->sched, f);
  return 0;
}

// The oldest picture in flight has not been waited for yet.
constexpr int OLDEST_NOT_AWAITED = 1;

// Pictures wait for a type decision when none is left decided and the
// lookahead holds its full depth (or the input has ended).
static bool decision_due(const encoder_t *enc, int32_t flush) {
  const lookahead_queue_t *q = enc->lookahead;
  return q->decided->count == 0 && q->input->count > 0 && (flush || q->input->count > enc->decision_delay);
}

// Whether fill_pipeline will decide types in this call and the call then
// collects the oldest picture in flight.  The loop starts the decided
// pictures while frame contexts are free and decides once none is left
// (the end of input, or a full lookahead); a decision gives at least one
// picture, so one free context left is filled.
static bool decides_then_collects(const encoder_t *enc, int32_t flush) {
  const lookahead_queue_t *q = enc->lookahead;
  const int32_t free_contexts = enc->frame_ctx_count - enc->inflight_count;
  const bool decides = q->input->count > 0 && (flush || q->input->count > enc->decision_delay) &&
                       q->decided->count <= free_contexts;
  return decides && enc->inflight_count > 0 && (flush || free_contexts - q->decided->count <= 1);
}

struct fill_job_t {
  encoder_t *enc;
  int32_t flush;
  int64_t decide_ns;   // time in the type decisions
  int64_t decide_end;  // when the last decision ended (0: none)
  int32_t decisions;
};

// Decides types when due and puts decided pictures in flight while frame
// contexts are free; 1 when a picture failed to start (it is released).
// Runs on the caller's thread, or as a job of the lookahead pool while the
// caller waits for the oldest picture in flight (and for nothing else).
static int64_t fill_pipeline(int64_t arg) {
  fill_job_t *job = reinterpret_cast<fill_job_t *>(arg);
  encoder_t *enc = job->enc;
  lookahead_queue_t *q = enc->lookahead;
  for (;;) {
    if (decision_due(enc, job->flush)) {
      const int64_t t0 = now_ns();
      {
        SCHED_TRACE_SCOPE('L', enc->coding_number, 0, 0);
        lookahead_slicetype_run(enc, q, job->flush);
      }
      job->decide_end = now_ns();
      job->decide_ns += job->decide_end - t0;
      job->decisions++;
    }
    if (q->decided->count == 0 || enc->inflight_count >= enc->frame_ctx_count) break;
    frame_t *pic = static_cast<frame_t *>(frame_list_shift(q->decided));
    if (start_picture(enc, pic) < 0) {
      frame_release(enc->pool, pic);
      return 1;
    }
  }
  return 0;
}

// The decision and the starts behind it run on the lookahead pool while the
// caller waits for the oldest picture in flight, which this call collects.
// Every step that rate control or the picture pool sees keeps its order
// (the starts come before the oldest picture's end, as on the caller's
// thread), so the stream is the same; only the waits overlap.  The caller
// is blocked by the lookahead for the part of the decisions that outlasts
// the oldest picture.
static int fill_behind_oldest(encoder_t *enc, int32_t flush, int *oldest_status) {
  threadpool_t *pool = &enc->lookahead_engine->pool;
  rowsched_frame_t *oldest = enc->inflight[0]->sched_entry;
  fill_job_t job{enc, flush, 0, 0, 0};
  const int64_t arg = reinterpret_cast<int64_t>(&job);
  threadpool_run(pool, fill_pipeline, arg);
  {
    SCHED_TRACE_SCOPE('W', enc->inflight[0]->cur_input->frame_number, 1, 0);
    *oldest_status = rowsched_wait(enc->sched, oldest);
  }
  const int64_t waited = now_ns();
  const int64_t failed = threadpool_wait(pool, arg);
  enc->stats->decision_ns += job.decide_ns;
  enc->stats->decisions += job.decisions;
  enc->stats->decisions_behind += job.decisions;
  if (job.decide_end > waited) enc->stats->lookahead_ns += std::min(job.decide_end - waited, job.decide_ns);
  return failed ? -1 : 0;
}

// Waits for the oldest picture in flight and returns its Annex B bytes.
// oldest_status: what rowsched_wait returned for it, or OLDEST_NOT_AWAITED.
static int collect_picture(encoder_t *enc, tarnhevcenc_frame_opts_t *opts, const uint8_t **out, int oldest_status) {
  encoder_t *ctx = enc->inflight[0];
  enc->inflight_count--;
  std::memmove(enc->inflight, enc->inflight + 1, sizeof(encoder_t *) * enc->inflight_count);
  int status = oldest_status;
  if (oldest_status == OLDEST_NOT_AWAITED) {
    SCHED_TRACE_SCOPE('W', ctx->cur_input->frame_number, 0, 0);
    status = rowsched_wait(enc->sched, ctx->sched_entry);
  }
  SCHED_TRACE_SCOPE('O', ctx->cur_input->frame_number, 0, 0);
  for (int32_t k = 0; k < ctx->sched_entry->ref_count; k++) frame_ref_drop(enc->pool, ctx->sched_entry->refs[k]);
  ctx->sched_entry->ref_count = 0;
  frame_t *pic = ctx->cur_input;
  frame_t *rec = ctx->cur_recon;
  // Its planes are built (the scheduler finishes a picture only then); they
  // stay lent while later pictures may predict from it.
  frame_planes_coded(enc->pool, rec);
  enc->held_recon = rec;
  enc->held_input = pic;
  const bool packable = status >= 0 && nal_list_packed_bound(&ctx->nals) <= enc->out_cap;
  const size_t bytes = packable ? nal_list_pack(&ctx->nals, enc->out_buf) : 0;
  if (packable) ratecontrol_frame_end(ctx, static_cast<int64_t>(bytes) * 8);
  ctx->cur_recon = nullptr;
  ctx->cur_input = nullptr;
  row_release_start(enc, ctx);
  if (!packable) return -1;
  const uint32_t type = pic->frame_type_code;

  // Statistics and the returned record.
  encoder_stats_t *s = enc->stats;
  double mse[3];
  for (int32_t c = 0; c < 3; c++)
    mse[c] = plane_mse(enc, pic, rec, c, enc->param.width >> (c ? 1 : 0), enc->param.height >> (c ? 1 : 0));
  s->frames++;
  s->frames_by_type[type]++;
  s->bytes_by_type[type] += static_cast<int64_t>(bytes);
  s->bytes += static_cast<int64_t>(bytes);
  for (int32_t c = 0; c < 3; c++) s->mse_sum[c] += mse[c];
  s->qp_sum += rec->avg_coded_qp;
  if (enc->param.log_level & 2) {
    std::fprintf(stderr, "frame %d type %u qp %d bytes %zu", pic->frame_number, type, ctx->slice_qp, bytes);
    if (enc->param.estimate_check)
      std::fprintf(stderr, " est-bits %.0f data-bits %llu", ctx->pic_est_bits / 256.0,
                   static_cast<unsigned long long>(ctx->pic_data_bits));
    if (enc->pps->cu_qp_delta_enabled) std::fprintf(stderr, " avg-qp %.2f", rec->avg_coded_qp);
    // Whether and how far the CU-tree lowered this picture's CTU QPs.
    if (pic->use_cutree_offsets && ctx->aq_mode_active)
      std::fprintf(stderr, " cutree %.2f", cutree_mean_offset(enc, pic));
    std::fprintf(stderr, "\n");
  }
  if (opts) {
    const size_t sz = opts->size;
    auto covers = [sz](size_t off, size_t len) { return sz >= off + len; };
    if (covers(offsetof(tarnhevcenc_frame_opts_t, frame_type_code), 4)) {
      opts->frame_type_code = type;
      enc->type_reported_to = opts;
      enc->type_reported = type;
    }
    if (covers(offsetof(tarnhevcenc_frame_opts_t, pts), 8)) opts->pts = pic->pts;
    if (covers(offsetof(tarnhevcenc_frame_opts_t, recon_stride), sizeof(opts->recon_stride))) {
      for (int32_t c = 0; c < 3; c++) {
        opts->recon[c] = rec->plane[c];
        opts->recon_stride[c] = rec->stride[c];
      }
    }
    if (covers(offsetof(tarnhevcenc_frame_opts_t, psnr), sizeof(opts->psnr)))
      for (int32_t c = 0; c < 3; c++) opts->psnr[c] = mse[c] > 0 ? 10.0 * std::log10(255.0 * 255.0 / mse[c]) : INFINITY;
    if (covers(offsetof(tarnhevcenc_frame_opts_t, avg_qp), sizeof(double))) opts->avg_qp = rec->avg_coded_qp;
    if (covers(offsetof(tarnhevcenc_frame_opts_t, frame_number), 4)) opts->frame_number = pic->frame_number;
  }
  *out = enc->out_buf;
  return static_cast<int>(bytes);
}

int encoder_encode_frame(encoder_t *enc, const uint8_t *const planes[3], const int32_t strides[3], int64_t pts,
                         tarnhevcenc_frame_opts_t *opts, const uint8_t **out) {
  *out = nullptr;
  // The statistics text holds the line of the picture this call returns.
  if (enc->rc->stats_out) enc->rc->stats_out[0] = 0;
  // The end of the input (a flush): input pictures whose last holder lets
  // them go from here on give their pages back.  Input again after it: the
  // pages returned so far are back to be written, the rest keep theirs.
  if (!planes && !enc->input_ended && pages_return_early(enc)) {
    frame_pool_input_ended(enc->pool, 1);
    enc->input_ended = 1;
  } else if (planes && enc->input_ended) {
    page_return_wait(enc);
    row_release_wait(enc);
    frame_pool_input_ended(enc->pool, 0);
    enc->input_ended = 0;
  }
  // What the previous call returned is no longer needed.
  if (enc->held_recon) frame_release(enc->pool, enc->held_recon);
  if (enc->held_input) frame_release(enc->pool, enc->held_input);
  enc->held_recon = enc->held_input = nullptr;

  lookahead_queue_t *q = enc->lookahead;
  if (planes) {
    if (!planes[0] || !planes[1] || !planes[2] || !strides) return -1;
    // A row shorter than the picture would make the copy read past the
    // caller's planes.
    for (int32_t c = 0; c < 3; c++)
      if (strides[c] < enc->param.width >> (c ? 1 : 0)) return -1;
    // The lookahead decides every type itself; a request would go unheard.
    // A record reused as documented still holds the type reported into it,
    // which is no request.
    if (opts && opts->size >= offsetof(tarnhevcenc_frame_opts_t, frame_type_code) + sizeof(opts->frame_type_code) &&
        opts->frame_type_code != TARNHEVCENC_TYPE_AUTO && !enc->type_request_warned &&
        !(opts == enc->type_reported_to && opts->frame_type_code == enc->type_reported)) {
      std::fprintf(stderr, "tarnhevcenc: warning: frame_type_code requests are not read; the encoder chooses "
                           "every picture type (the field only reports it)\n");
      enc->type_request_warned = 1;
    }
    frame_t *f = frame_get_unused(enc->pool, 1);
    if (!f) {
      pool_exhausted(enc, "input picture");
      return -1;
    }
    SCHED_TRACE_SCOPE('I', enc->frames_received, 0, 0);
    load_picture(f, &enc->param, planes, strides);
    f->pages_ready = 1;
    lookahead_populate_ahead(enc);
    // AQ offsets are measured on entry: the lookahead and the CTU QPs read
    // them later.  The half-resolution picture is made once, on entry:
    // rebuilding it when the picture starts would make the lookahead's
    // later estimates depend on how many pictures are in flight, and so on
    // the threads.
    f->use_cutree_offsets = 0;
    if (lookahead_enabled(enc)) {
      const int64_t t0 = now_ns();
      if (enc->stats->first_picture_ns == 0) enc->stats->first_picture_ns = t0;
      lookahead_picture_prepare(enc, f, PREPARE_AQ | PREPARE_EXTEND | PREPARE_LOWRES | PREPARE_LOOKAHEAD);
      enc->stats->lookahead_ns += now_ns() - t0;
    } else {
      const bool lowres = enc->param.intra_fast_path || enc->param.lowres_cu_search;
      lookahead_picture_prepare(enc, f, PREPARE_AQ | PREPARE_EXTEND | (lowres ? PREPARE_LOWRES : 0));
    }
    f->pts = pts;
    f->frame_number = enc->frames_received++;
    f->control = opts && opts->size >= offsetof(tarnhevcenc_frame_opts_t, control) + sizeof(opts->control) ? opts->control : 0;
    f->frame_type_code = 0;
    frame_list_push(q->input, f);
  }
  const int32_t flush = planes ? 0 : 1;
  // A call that decides types and then collects the oldest picture in
  // flight runs the decision (and the starts around it) on the lookahead
  // pool while the caller waits for that picture.
  const bool behind = decides_then_collects(enc, flush) && enc->lookahead_engine && enc->lookahead_engine->pool_ready;
  int oldest_status = OLDEST_NOT_AWAITED;
  if (behind) {
    if (fill_behind_oldest(enc, flush, &oldest_status) < 0) return -1;
  } else {
    fill_job_t job{enc, flush, 0, 0, 0};
    const int64_t failed = fill_pipeline(reinterpret_cast<int64_t>(&job));
    enc->stats->lookahead_ns += job.decide_ns;
    enc->stats->decision_ns += job.decide_ns;
    enc->stats->decisions += job.decisions;
    if (failed) return -1;
  }
  // Once the input has ended and every picture has started, the
  // reconstructions nobody holds give their pages back too, beside the last
  // pictures' coding instead of at close.
  if (enc->input_ended && q->input->count == 0 && q->decided->count == 0) frame_pool_starts_ended(enc->pool);
  // Hand back the oldest picture once every frame context is busy, or when
  // draining at the end.
  page_return_start(enc);
  if (enc->inflight_count == 0) return 0;
  if (!flush && enc->inflight_count < enc->frame_ctx_count) return 0;
  return collect_picture(enc, opts, out, oldest_status);
}
