// Encoding of one CTU and of a whole picture.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "analysis/analysis.h"
#include "analysis/analysis_tables.h"
#include "analysis/ctu_analysis.h"
#include "encoder/ctu_filter.h"
#include "encoder/ctu_start.h"
#include "ratecontrol/ratecontrol_ctu.h"
#include "bitstream/ctu_writer.h"
#include "encoder/encoder.h"
#include "common/memory.h"
#include "filters/deblock.h"
#include "filters/sao.h"
#include "encoder/rowsched.h"

static void ctu_commit_units(encoder_t *ctx, int32_t w, int32_t h);

static void ctu_load_source(encoder_t *ctx) {
  // The input picture covers whole CTUs (edge samples replicated), so the
  // full block can be read at every CTU.
  const frame_t *f = ctx->cur_input;
  const uint8_t *y = f->plane[0] + ctx->ctu_y * 64 * f->stride[0] + ctx->ctu_x * 64;
  ctx->pixel.copy_to_aligned_64x64(ctx->ctu_src, y, SRC_STRIDE, f->stride[0]);
  for (int32_t p = 1; p <= 2; p++) {
    const uint8_t *c = f->plane[p] + ctx->ctu_y * 32 * f->stride[p] + ctx->ctu_x * 32;
    ctx->pixel.copy_to_aligned_32x32(ctx->ctu_src + 64 * SRC_STRIDE + (p == 2 ? 32 : 0), c, SRC_STRIDE, f->stride[p]);
  }
}

// Publishes the CTU's reconstruction and decisions to the picture, where
// later CTUs read their neighbours.
static void ctu_commit(encoder_t *ctx) {
  frame_t *f = ctx->cur_recon;
  const int32_t w = std::min(64, ctx->width - ctx->ctu_x * 64);
  const int32_t h = std::min(64, ctx->height - ctx->ctu_y * 64);
  uint8_t *y = f->work[0] + ctx->ctu_y * 64 * f->stride[0] + ctx->ctu_x * 64;
  // A CTU cut by the picture's edge writes only its part inside.
  const bool whole = w == 64 && h == 64;
  if (whole)
    ctx->pixel.copy_from_aligned_64x64(y, ctx->ctu_rec, f->stride[0], RECON_STRIDE);
  else
    for (int32_t r = 0; r < h; r++) std::memcpy(y + r * f->stride[0], ctx->ctu_rec + r * RECON_STRIDE, w);
  for (int32_t p = 1; p <= 2; p++) {
    uint8_t *c = f->work[p] + ctx->ctu_y * 32 * f->stride[p] + ctx->ctu_x * 32;
    const uint8_t *src = ctx->ctu_rec + (p == 2 ? 96 : 64);
    if (whole)
      ctx->pixel.copy_from_aligned_32x32(c, src, f->stride[p], RECON_STRIDE);
    else
      for (int32_t r = 0; r < h / 2; r++) std::memcpy(c + r * f->stride[p], src + r * RECON_STRIDE, w / 2);
  }
  // Intra prediction of the CTU row below reads this row before deblocking.
  const int32_t line = ctx->ctu_y * ctx->ctu_cols * 64;
  std::memcpy(ctx->intra_line[0] + line + ctx->ctu_x * 64, ctx->ctu_rec + (h - 1) * RECON_STRIDE, w);
  for (int32_t p = 1; p <= 2; p++)
    std::memcpy(ctx->intra_line[p] + line / 2 + ctx->ctu_x * 32, ctx->ctu_rec + (h / 2 - 1) * RECON_STRIDE + (p == 2 ? 96 : 64),
                w / 2);
  ctu_commit_units(ctx, w, h);
}

// Fills the CTU maps' border (the units above, above-right and left of the
// CTU) from the picture's decided motion, and clears the CTU itself.
static void ctu_maps_setup(encoder_t *ctx) {
  ctu_maps_t *m = ctx->maps;
  std::memset(m->flags, 0, sizeof(m->flags));
  std::memset(m->pred_intra, 0, sizeof(m->pred_intra));
  std::memset(m->merge_flag, 0, sizeof(m->merge_flag));
  std::memset(m->merge_idx, 0, sizeof(m->merge_idx));
  std::memset(m->ref_idx, 0xff, sizeof(m->ref_idx));
  std::memset(m->mv, 0, sizeof(m->mv));
  std::memset(m->grid, 0, sizeof(m->grid));
  std::memset(m->depth, 0, sizeof(m->depth));
  std::memset(m->intra_dir, 0xff, sizeof(m->intra_dir));
  const frame_t *f = ctx->cur_recon;
  auto load8 = [&](int32_t x8, int32_t y8) {
    const int32_t px8 = ctx->ctu_x * 8 + x8, py8 = ctx->ctu_y * 8 + y8;
    if (px8 < 0 || py8 < 0 || px8 * 8 >= ctx->width || py8 * 8 >= ctx->height) return;
    const int32_t i = map8_index(x8, y8);
    const pic_unit_t &u = f->units[py8 * f->units_stride + px8];
    for (int32_t l = 0; l < 2; l++) {
      m->ref_idx[l][i] = u.ref_idx[l];
      m->mv[l][i] = u.mv[l];
    }
    m->flags[i] = u.flags;
    m->qp[i] = u.qp;
    m->pred_intra[i] = u.intra;
    m->depth[i] = static_cast<uint8_t>(6 - u.cu_log2);
  };
  for (int32_t x8 = -1; x8 <= 8; x8++) load8(x8, -1);
  for (int32_t y8 = 0; y8 < 8; y8++) load8(-1, y8);
  auto avail4 = [&](int32_t u, int32_t v) {
    const int32_t px = ctx->ctu_x * 64 + 4 * u, py = ctx->ctu_y * 64 + 4 * v;
    const bool inside = px >= 0 && py >= 0 && px < ctx->width && py < ctx->height;
    m->grid[map4_index(u, v)] = inside;
    if (inside && v >= 0) {
      const pic_unit_t &pu = f->units[(py >> 3) * f->units_stride + (px >> 3)];
      const int32_t k = ((py >> 2) & 1) * 2 + ((px >> 2) & 1);
      m->intra_dir[map4_index(u, v)] = pu.intra ? static_cast<int8_t>(pu.luma_mode[k]) : -1;
    }
  };
  for (int32_t u = -1; u <= 16; u++) avail4(u, -1);
  for (int32_t v = 0; v < 16; v++) avail4(-1, v);
}

// Publishes the CTU's decisions to the picture's units: the neighbours of
// later CTUs and the motion that later pictures predict from.  The leaf
// sizes are stored by cu_tree_store_flags, the coefficient flags by
// deblocking.
static void ctu_commit_units(encoder_t *ctx, int32_t w, int32_t h) {
  const ctu_maps_t *m = ctx->maps;
  frame_t *f = ctx->cur_recon;
  for (int32_t y8 = 0; y8 < h / 8; y8++)
    for (int32_t x8 = 0; x8 < w / 8; x8++) {
      const int32_t i = map8_index(x8, y8), z = zorder_of(2 * x8, 2 * y8);
      pic_unit_t &u = f->units[(ctx->ctu_y * 8 + y8) * f->units_stride + ctx->ctu_x * 8 + x8];
      const uint8_t intra = m->pred_intra[i];
      for (int32_t l = 0; l < 2; l++) {
        u.ref_idx[l] = intra ? -2 : m->ref_idx[l][i];
        u.mv[l] = m->mv[l][i];
      }
      u.qp = m->qp[i];
      u.cu_log2 = m->unit.cu_log2[z];
      u.intra = intra;
      u.flags = m->flags[i] & 1;
      for (int32_t k = 0; k < 4; k++) u.luma_mode[k] = m->unit.luma_mode[z + k];
    }
}

static uint32_t ctu_seed(const encoder_t *ctx) {
  uint32_t h = static_cast<uint32_t>(ctx->param.random_decisions) * 2654435761u;
  h ^= static_cast<uint32_t>(ctx->cur_input->frame_number) * 40503u + 0x9e3779b9u;
  h ^= static_cast<uint32_t>(ctx->ctu_addr) * 2246822519u;
  h ^= h >> 15;
  return h ? h : 1;
}

static void ctu_encode_job(encoder_t *ctx, int32_t col, int32_t row) {
  ctx->ctu_x = col;
  ctx->ctu_y = row;
  ctx->ctu_addr = row * ctx->ctu_cols + col;
  // The collocated vectors kept belong to the CTU before.
  if (++ctx->collocated_serial == 0) {
    std::memset(&ctx->collocated_memo, 0, sizeof(ctx->collocated_memo));
    ctx->collocated_serial = 1;
  }
  ctu_load_source(ctx);
  ctu_maps_setup(ctx);
  ctu_start(ctx);
  ratecontrol_ctu_start(ctx);
  ctx->intra_refs_refresh = 1;
  const int32_t prev_qp = ctx->prev_qp;
  if (ctx->param.random_decisions) {
    ratecontrol_ctu_qp(ctx);
    ctx->rng = ctu_seed(ctx);
    analyse_ctu_random(ctx);
  } else if (ctx->param.merge_only_ctus && analyse_ctu_merge_only(ctx)) {
    // Test-only: the CTU went as one merged skip CU.
  } else if (ctx->analysis_level > 4 && ctx->cur_input->frame_type_code >= 1 && ctx->cur_input->frame_type_code <= 3) {
    analyse_ctu_intra_full(ctx);
  } else if (ctx->analysis_level > 4) {
    analyse_ctu_inter_full(ctx);
  } else {
    analyse_ctu_fast(ctx);
  }
  if (ctx->pps->cu_qp_delta_enabled && !ctx->param.random_decisions) ratecontrol_ctu_coded_qps(ctx, prev_qp);
  cu_tree_finalize_qp(ctx);
  cu_tree_store_flags(ctx);
  ctu_save_neighbour_data(ctx);
  ctu_commit(ctx);
  if (!ctx->pps->deblocking_disabled) {
    deblock_ctu_prepare(ctx);
    deblock_ctu(ctx, col, row);
  }
  if (ctx->sao_enable) sao_decide_ctu(ctx);
  // The writer derives the QP predictions again from the CTU's start.
  ctx->prev_qp = prev_qp;
  if (ctx->param.estimate_check) {
    cabac_est_t e = ctx->cabac.est;
    ctx->est_bits += ctu_estimate_bits(ctx, &e);
    // A substream ends with the terminating bin, the coder's flush and the
    // byte alignment: about two bytes.
    const bool row_end = col == ctx->ctu_cols - 1 && (ctx->pps->entropy_coding_sync || row == ctx->ctu_rows - 1);
    if (row_end) ctx->est_bits += 16 * 256;
    ctx->prev_qp = prev_qp;
  }
  const int64_t bits_before = cabac_bits(&ctx->cabac);
  ctu_write(ctx, ctx->ctu_addr == ctx->ctu_count - 1);
  ratecontrol_ctu_end(ctx, static_cast<int32_t>(cabac_bits(&ctx->cabac) - bits_before));
  ctu_post_filter(ctx);
  // The top rows of the CTU left of this one are final now (see
  // rowsched.cpp): in the first row, the margin above it can be read by
  // later pictures before the row is finalized.  The last column's waits
  // for the row's right margin.
  if (row == 0 && col > 0) frame_extend_top(ctx->cur_recon, 64 * (col - 1), 64 * col);
}

// Copies the picture state of the frame context into a row context, keeping
// the row context's own working buffers.
static void row_copy_picture_state(encoder_t *rctx, const encoder_t *fctx) {
  row_buffers_t own;
  row_buffers_save(rctx, &own);
  std::memcpy(static_cast<void *>(rctx), fctx, sizeof(encoder_t));
  row_buffers_restore(rctx, &own);
}

void row_begin(encoder_t *rctx, encoder_t *fctx, int32_t row) {
  if (rctx != fctx) row_copy_picture_state(rctx, fctx);
  rctx->row_index = row;
  rctx->est_bits = 0;
  rctx->rc_qp_sum = rctx->rc_coded_qp_sum = 0.0;
  rctx->rc_counts = {};
  if (fctx->pps->entropy_coding_sync) {
    // Each row is a substream: the contexts come from the row above after
    // its second CTU (H.265 9.3.1), the QP prediction restarts.  It is
    // written into its own slot of the unit arena (see encoder.h).
    const size_t slot = substream_slot_bytes(fctx);
    bw_init(&rctx->bw, fctx->nals.arena + fctx->slice_data_at + static_cast<size_t>(row) * slot, slot);
    cabac_start(&rctx->cabac, &rctx->bw);
    // The row above began before this one, and its context serves no later
    // row before this one has begun (row_slots is at least 2).
    if (row > 0 && fctx->ctu_cols > 1)
      rctx->cabac.est = fctx->row_ctx[(row - 1) % fctx->row_slots]->wpp_saved;
    else
      cabac_init_contexts(&rctx->cabac.est, fctx->slice_type_code, fctx->slice_qp, 0, fctx->param.compat);
    rctx->prev_qp = fctx->slice_qp;
  } else if (row == 0) {
    bw_init(&fctx->bw, fctx->nals.arena + fctx->slice_data_at, fctx->nals.arena_capacity - fctx->slice_data_at);
    cabac_init_contexts(&rctx->cabac.est, fctx->slice_type_code, fctx->slice_qp, 0, fctx->param.compat);
    cabac_start(&rctx->cabac, &fctx->bw);
    rctx->prev_qp = fctx->slice_qp;
  } else {
    // One stream: the coder continues where the row above ended.
    const encoder_t *above = fctx->row_ctx[(row - 1) % fctx->row_slots];
    rctx->cabac = above->cabac;
    rctx->prev_qp = above->prev_qp;
  }
}

int ctu_encode_next(rowsched_frame_t *f, int32_t row) {
  encoder_t *fctx = f->fctx;
  encoder_t *rctx = f->rows[row].ctx;
  const int32_t col = f->rows[row].progress;
  ctu_encode_job(rctx, col, row);
  const bool last_of_picture = rctx->ctu_addr == fctx->ctu_count - 1;
  if (fctx->pps->entropy_coding_sync) {
    if (col == 1) rctx->wpp_saved = rctx->cabac.est;
    if (col == fctx->ctu_cols - 1) {
      // End of the row's substream: end_of_subset_one_bit, then the flush
      // whose last bit starts the byte alignment.
      if (!last_of_picture) cabac_encode_terminate(&rctx->cabac, 1);
      cabac_finish(&rctx->cabac);
      bw_align_zero(&rctx->bw);
      bw_flush(&rctx->bw);
      if (rctx->bw.overflow) return -1;
      // Down from its slot to behind the substreams of the rows above, which
      // all ended (and moved) before this one could.  No row above took
      // more than its slot, so it moves down or stays; the rows below write
      // only into their slots, further on.
      const size_t bytes = bw_bytes(&rctx->bw);
      const uint8_t *data = rctx->bw.buf;
      const size_t at = row > 0 ? fctx->row_results[row - 1].stream_end : fctx->slice_data_at;
      fctx->row_results[row].entry_size =
          entry_point_bytes(fctx->param.compat, data, static_cast<uint32_t>(bytes));
      std::memmove(fctx->nals.arena + at, data, bytes);
      fctx->row_results[row].stream_end = at + bytes;
    }
  } else if (last_of_picture) {
    cabac_finish(&rctx->cabac);
    bw_align_zero(&fctx->bw);
    bw_flush(&fctx->bw);
    if (fctx->bw.overflow) return -1;
  }
  if (col == fctx->ctu_cols - 1) {
    // The row context may serve another row from here on.
    row_result_t &out = fctx->row_results[row];
    out.est_bits = rctx->est_bits;
    out.qp_sum = rctx->rc_qp_sum;
    out.coded_qp_sum = rctx->rc_coded_qp_sum;
    out.counts = rctx->rc_counts;
  }
  return 0;
}

// The row's CTUs have all been filtered by now (by the CTUs of the row below,
// or by its own in the last row): only the margins remain.
void row_finalize(encoder_t *fctx, int32_t row, int32_t left_done) {
  frame_t *f = fctx->cur_recon;
  // Above the first row, its CTUs extended all but the last column's part
  // (ctu_encode_job).
  const int32_t top_from = row == 0 ? 64 * (fctx->ctu_cols - 1) : 0;
  frame_extend_rows(f, row * 64, std::min((row + 1) * 64, f->height), left_done != 0, top_from);
}

void row_extend_left(encoder_t *fctx, int32_t row, int32_t bottom) {
  // The part of the row's first CTU that SAO has filtered: its top rows
  // (all but the last 4, chroma 2), later the bottom ones (ctu_post_filter).
  frame_t *f = fctx->cur_recon;
  const int32_t split = row * 64 + 60;
  if (bottom)
    frame_extend_left(f, split, std::min((row + 1) * 64, f->height));
  else
    frame_extend_left(f, row * 64, std::min(split, f->height));
}

int picture_finish(encoder_t *ctx) {
  // The slice data lies in the unit arena already (see encoder.h): the row
  // substreams one after another, their sizes giving the entry points, or
  // the one stream.
  int32_t entries = 0;
  size_t data_size = 0;
  if (ctx->pps->entropy_coding_sync) {
    // Creation refuses pictures taller than the entry point array allows.
    if (ctx->ctu_rows > MAX_CTU_ROWS) return -1;
    entries = ctx->ctu_rows - 1;
    for (int32_t r = 0; r < entries; r++) ctx->entry_sizes[r] = ctx->row_results[r].entry_size;
    data_size = ctx->row_results[ctx->ctu_rows - 1].stream_end - ctx->slice_data_at;
  } else {
    data_size = bw_bytes(&ctx->bw);
  }
  ctx->pic_data_bits = 8 * static_cast<uint64_t>(data_size);
  ctx->pic_est_bits = 0;
  for (int32_t r = 0; r < ctx->ctu_rows; r++) {
    const row_result_t &rr = ctx->row_results[r];
    ctx->pic_est_bits += rr.est_bits;
    // Row by row in order, so the sums do not depend on which row ended last.
    ratecontrol_accumulate_qp(ctx->rc, rr.qp_sum, rr.coded_qp_sum);
    rc_counts_add(&ctx->rc->pic_counts, rr.counts);
  }
  uint8_t header[SLICE_HEADER_ROOM];
  bitwriter_t hb;
  bw_init(&hb, header, sizeof(header));
  slice_header_t sh{};
  sh.nal_type = ctx->nal_type;
  sh.slice_type = ctx->slice_type_code;
  sh.poc = ctx->cur_input->poc;
  sh.slice_qp = ctx->slice_qp;
  sh.sao_luma = ctx->sao_enable & 1;
  sh.sao_chroma = (ctx->sao_enable >> 1) & 1;
  sh.rps_count = ctx->rps_count;
  sh.rps_delta = ctx->rps_delta;
  sh.rps_used = ctx->rps_used;
  sh.num_ref_active[0] = ctx->ref_count[0];
  sh.num_ref_active[1] = ctx->ref_count[1];
  sh.col_from_l0 = ctx->col_from_l0;
  sh.max_merge_cand = ctx->max_merge_cand;
  sh.num_entry_points = entries;
  sh.entry_point_sizes = ctx->entry_sizes;
  write_slice_header(&hb, ctx->sps, ctx->pps, &sh);
  bw_flush(&hb);
  if (hb.overflow) return -1;
  return nal_list_add_in_place(&ctx->nals, static_cast<uint8_t>(ctx->nal_type), ctx->nals.count == 0, header,
                               bw_bytes(&hb), ctx->slice_data_at, data_size);
}
