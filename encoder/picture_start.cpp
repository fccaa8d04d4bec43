// Starting a picture: its reference structure and lists, its speed mode,
// its NAL type and QP, and its place in the decoded picture buffer, on a
// free frame context handed to the row scheduler.

#include "encoder/lifecycle.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "encoder/ctu_filter.h"
#include "encoder/ctu_start.h"
#include "encoder/row_contexts.h"
#include "encoder/rowsched.h"
#include "encoder/sched_trace.h"
#include "ratecontrol/lowres_cost.h"
#include "ratecontrol/ratecontrol.h"
#include "ratecontrol/twopass.h"

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

// The speed mode of the picture about to start.  Under the zero-latency
// tune pictures start as fast as they are encoded (or as the input comes,
// whichever is slower): while they start further apart than the frame
// period the encoder falls behind the input and the mode steps up; once
// they start well within it the mode steps back down.  Elsewhere the mode
// stays 0 (or the forced one), so the output stays deterministic.
static int32_t picture_speed_mode(encoder_t *enc, const frame_t *pic) {
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
  // A first pass is not live: its stream is thrown away and the second
  // pass starts only after it.  Following the load there would only write
  // the load into the file, which the second pass replays: a first pass at
  // one thread and level 4 fell behind a 30 fps input into mode 3, which
  // skips whatever has a merge candidate, and both passes came out at
  // 13-22 dB where mode 0 gave 35.
  if (enc->param.stats_write) return 0;
  // A second pass codes each picture in the mode its first pass did, which
  // its plan is made from, whatever the load now.
  const int32_t planned = ratecontrol_2pass_speed_mode(enc, pic->frame_number);
  if (planned >= 0) return planned;
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

int start_picture(encoder_t *enc, frame_t *pic) {
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

  ctx->picture_speed_mode = picture_speed_mode(enc, pic);
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
