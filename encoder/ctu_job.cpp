// Encoding of one CTU and of a whole picture.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "analysis/analysis.h"
#include "bitstream/ctu_writer.h"
#include "encoder/encoder.h"
#include "encoder/memory.h"

static void ctu_load_source(encoder_t *ctx) {
  // The input picture covers whole CTUs (edge samples replicated), so the
  // full block can be read at every CTU.
  const frame_t *f = ctx->cur_input;
  const uint8_t *y = f->plane[0] + ctx->ctu_y * 64 * f->stride[0] + ctx->ctu_x * 64;
  for (int32_t r = 0; r < 64; r++) std::memcpy(ctx->ctu_src + r * SRC_STRIDE, y + r * f->stride[0], 64);
  for (int32_t p = 1; p <= 2; p++) {
    const uint8_t *c = f->plane[p] + ctx->ctu_y * 32 * f->stride[p] + ctx->ctu_x * 32;
    uint8_t *dst = ctx->ctu_src + 64 * SRC_STRIDE + (p == 2 ? 32 : 0);
    for (int32_t r = 0; r < 32; r++) std::memcpy(dst + r * SRC_STRIDE, c + r * f->stride[p], 32);
  }
}

// Publishes the CTU's reconstruction and decisions to the picture, where
// later CTUs read their neighbours.
static void ctu_commit(encoder_t *ctx) {
  frame_t *f = ctx->cur_recon;
  const int32_t w = std::min(64, ctx->width - ctx->ctu_x * 64);
  const int32_t h = std::min(64, ctx->height - ctx->ctu_y * 64);
  uint8_t *y = f->plane[0] + ctx->ctu_y * 64 * f->stride[0] + ctx->ctu_x * 64;
  for (int32_t r = 0; r < h; r++) std::memcpy(y + r * f->stride[0], ctx->ctu_rec + r * RECON_STRIDE, w);
  for (int32_t p = 1; p <= 2; p++) {
    uint8_t *c = f->plane[p] + ctx->ctu_y * 32 * f->stride[p] + ctx->ctu_x * 32;
    const uint8_t *src = ctx->ctu_rec + (p == 2 ? 96 : 64);
    for (int32_t r = 0; r < h / 2; r++) std::memcpy(c + r * f->stride[p], src + r * RECON_STRIDE, w / 2);
  }
  const ctu_decision_t *d = ctx->dec;
  for (int32_t uy = 0; uy < h / 4; uy++)
    for (int32_t ux = 0; ux < w / 4; ux++) {
      const int32_t z = zorder_of(ux, uy);
      const int32_t i = (ctx->ctu_y * 16 + uy) * ctx->map_stride + ctx->ctu_x * 16 + ux;
      ctx->map_cu_log2[i] = d->cu_log2[z];
      ctx->map_luma_mode[i] = d->luma_mode[z];
      ctx->map_intra[i] = d->pred_intra[z];
      ctx->map_qp[i] = d->qp[z];
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
  ctu_load_source(ctx);
  const int32_t qp = ctx->slice_qp;
  ctx->lambda_ssd = 0.57 * std::pow(2.0, (qp - 12) / 3.0);
  ctx->lambda_sad = std::sqrt(ctx->lambda_ssd);
  const int32_t prev_qp = ctx->prev_qp;
  if (ctx->param.random_decisions) {
    ctx->rng = ctu_seed(ctx);
    analyse_ctu_random(ctx);
  } else {
    analyse_ctu_simple(ctx);
  }
  ctu_commit(ctx);
  // The writer derives the QP predictions again from the CTU's start.
  ctx->prev_qp = prev_qp;
  ctu_write(ctx, ctx->ctu_addr == ctx->ctu_count - 1);
}

int encode_picture(encoder_t *ctx) {
  cabac_init_contexts(&ctx->cabac.est, ctx->slice_type_code, ctx->slice_qp, 0);
  bw_init(&ctx->bw, ctx->slice_buf, ctx->slice_cap);
  cabac_start(&ctx->cabac, &ctx->bw);
  ctx->prev_qp = ctx->slice_qp;
  for (int32_t row = 0; row < ctx->ctu_rows; row++)
    for (int32_t col = 0; col < ctx->ctu_cols; col++) ctu_encode_job(ctx, col, row);
  cabac_finish(&ctx->cabac);
  bw_align_zero(&ctx->bw);
  bw_flush(&ctx->bw);
  if (ctx->bw.overflow) return -1;
  frame_extend_borders(ctx->cur_recon);

  uint8_t header[256];
  bitwriter_t hb;
  bw_init(&hb, header, sizeof(header));
  slice_header_t sh{};
  sh.nal_type = ctx->nal_type;
  sh.slice_type = ctx->slice_type_code;
  sh.poc = ctx->cur_input->poc;
  sh.slice_qp = ctx->slice_qp;
  write_slice_header(&hb, ctx->sps, ctx->pps, &sh);
  bw_flush(&hb);
  return nal_list_add2(&ctx->nals, static_cast<uint8_t>(ctx->nal_type), ctx->nals.count == 0, header,
                       bw_bytes(&hb), ctx->slice_buf, bw_bytes(&ctx->bw));
}
