// One picture per call: the caller's picture loaded into the pool, types
// decided and decided pictures started while frame contexts are free, and
// the oldest picture in flight collected as Annex B bytes.

#include "encoder/lifecycle.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "encoder/rowsched.h"
#include "encoder/sched_trace.h"
#include "encoder/threadpool.h"
#include "ratecontrol/cutree.h"
#include "ratecontrol/lookahead_frame.h"
#include "ratecontrol/lowres_cost.h"
#include "ratecontrol/ratecontrol.h"

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
  if (!packable) {
    enc->failed = 1;
    return -1;
  }
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
  if (enc->failed) {
    if (enc->held_recon) frame_release(enc->pool, enc->held_recon);
    if (enc->held_input) frame_release(enc->pool, enc->held_input);
    enc->held_recon = enc->held_input = nullptr;
    if (planes || enc->inflight_count == 0) return planes ? -1 : 0;
    return collect_picture(enc, opts, out, OLDEST_NOT_AWAITED);
  }
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
  enc->input_length = planes ? 0 : enc->frames_received;
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
    if (fill_behind_oldest(enc, flush, &oldest_status) < 0) enc->failed = 1;
  } else {
    fill_job_t job{enc, flush, 0, 0, 0};
    const int64_t failed = fill_pipeline(reinterpret_cast<int64_t>(&job));
    enc->stats->lookahead_ns += job.decide_ns;
    enc->stats->decision_ns += job.decide_ns;
    enc->stats->decisions += job.decisions;
    if (failed) enc->failed = 1;
  }
  if (enc->failed) return -1;
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
