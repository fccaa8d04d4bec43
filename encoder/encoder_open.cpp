// Creation: the settings checked, the tables, the picture pool, the frame
// and row contexts and the worker threads made, the memory they took
// accounted; and the parameter sets the stream starts with.

#include "encoder/lifecycle.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "analysis/analysis_tables.h"
#include "common/memory.h"
#include "encoder/row_contexts.h"
#include "encoder/rowsched.h"
#include "encoder/sched_trace.h"
#include "encoder/threadpool.h"
#include "ratecontrol/lookahead_frame.h"
#include "ratecontrol/lowres_cost.h"
#include "ratecontrol/ratecontrol.h"
#include "ratecontrol/twopass.h"

void write_param_sets(encoder_t *ctx, nal_list_t *nals) {
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
    // A statistics text that cannot be used, a target it cannot meet, or a
    // rate mode a second pass cannot take is no lack of memory.
    errno = errno == EBADMSG || errno == ERANGE || errno == EINVAL ? errno : ENOMEM;
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
