#include "analysis/ctu_analysis.h"

#include <algorithm>
#include <cstring>

#include "analysis/analysis.h"
#include "analysis/analysis_tables.h"
#include "analysis/decision_common.h"
#include "analysis/inter_full.h"
#include "analysis/intra_full.h"
#include "common/memory.h"
#include "rdo/block_coding.h"
#include "rdo/pred_cache.h"
#include "rdo/rd_cost.h"
#include "ratecontrol/ratecontrol_ctu.h"
#include "rdo/cu_commit.h"

int32_t analysis_alloc(encoder_t *ctx) {
  // Zeroed by the system, untouched until a CTU job first uses them: every
  // frame context holds several row contexts, and clearing them all here
  // made the encoder's creation serial work of tens of milliseconds.
  ctx->nodes = static_cast<cu_node_t *>(aligned_calloc(CU_NODE_COUNT * sizeof(cu_node_t)));
  if (!ctx->nodes) return -1;
  ctx->lowres = static_cast<lowres_cu_search_t *>(aligned_calloc(sizeof(lowres_cu_search_t)));
  if (!ctx->lowres) return -1;
  return 0;
}

void analysis_free(encoder_t *ctx) {
  aligned_free(ctx->nodes);
  aligned_free(ctx->lowres);
  ctx->nodes = nullptr;
  ctx->lowres = nullptr;
}

int32_t depth_range_min(const int8_t *min_depth, const int8_t *max_depth, int32_t count, int32_t spatial,
                        int32_t analysis_level) {
  if (count == 0) return 0;
  int32_t mn = 100, deep = 0;
  for (int32_t i = 0; i < count; i++) {
    mn = std::min<int32_t>(mn, min_depth[i]);
    const int32_t t = i < spatial ? (analysis_level > 3 ? 1 : 0) : 1;
    deep += max_depth[i] > t;
  }
  int32_t a = 0;
  if (count == 1) {
    a = -1;
  } else if (count >= 3) {
    const int32_t threshold = count == 3 ? 2 : 2 + (analysis_level > 3);
    if (mn <= 1 && deep >= threshold)
      a = 1;
    else if (mn > 1 && deep <= 1)
      a = -1;
  }
  const int32_t e = mn + a;
  return e > 3 ? 3 : e <= 1 ? 0 : e - 1;
}

void ctu_predict_depth_range(encoder_t *ctx, cu_node_t *nodes) {
  (void)nodes;
  ratecontrol_ctu_qp(ctx);
  int8_t mn[4], mx[4];
  int32_t count = 0, spatial = 0;
  const frame_t *rec = ctx->cur_recon;
  if (ctx->ctu_x > 0) {
    mn[count] = rec->ctu_min_depth[ctx->ctu_addr - 1];
    mx[count++] = rec->ctu_max_depth[ctx->ctu_addr - 1];
  }
  if (ctx->ctu_y > 0) {
    mn[count] = rec->ctu_min_depth[ctx->ctu_addr - ctx->ctu_cols];
    mx[count++] = rec->ctu_max_depth[ctx->ctu_addr - ctx->ctu_cols];
  }
  spatial = count;
  for (int32_t l = 0; l < 2; l++)
    if (ctx->slice_type_code != 2 && ctx->ref_count[l] > 0 && (l == 0 || ctx->slice_type_code == 0)) {
      const frame_t *ref = ctx->ref_list[l][0];
      mn[count] = ref->ctu_min_depth[ctx->ctu_addr];
      mx[count++] = ref->ctu_max_depth[ctx->ctu_addr];
    }
  ctx->cu_min_depth = depth_range_min(mn, mx, count, spatial, ctx->analysis_level);
  ctx->cu_max_depth = 4;
  if (ctx->slice_type_code == 2) ctx->cu_min_depth = 1;
  if (ctx->speed_mode) {
    ctx->analysis_level = std::min(ctx->analysis_level, 3);
    if (ctx->ctu_early_skip > 0) ctx->ctu_early_skip = std::min(ctx->ctu_early_skip, 1);
    if (ctx->slice_type_code == 2) {
      ctx->cu_min_depth = ctx->speed_mode == 1 ? 2 : 3;
      if (ctx->speed_mode >= 2) ctx->cu_max_depth = 3;
    } else {
      ctx->ctu_search_range = 16;
      ctx->me.search_range = 16;
      ctx->cu_min_depth = ctx->cu_min_depth <= 0 ? ctx->cu_min_depth + 1 : 2;
    }
  }
}

namespace {

// Per-4x4 weights from the AC energy of the source: flat blocks, where
// errors show most, weigh more.
void distortion_weights(encoder_t *ctx) {
  for (int32_t r = 0; r < 16; r++)
    for (int32_t c = 0; c < 8; c++) {
      const uint32_t e = ctx->pixel.hadamard_ac_8x8(ctx->ctu_src + 4 * r * SRC_STRIDE + 8 * c, SRC_STRIDE);
      const int32_t energy[2] = {static_cast<int32_t>(e & 0xffff), static_cast<int32_t>(e >> 16)};
      for (int32_t k = 0; k < 2; k++) ctx->dist_weights[r][2 * c + k] = energy[k] > 63 ? -1024 : (32 - energy[k]) * 32;
    }
}

// The distortion of the CTU's final reconstruction, which the predicted
// pictures that follow compare their skip costs with.
void record_ctu_distortion(encoder_t *ctx) {
  frame_t *rec = ctx->cur_recon;
  const bool whole = (ctx->ctu_x + 1) * 64 <= ctx->width && (ctx->ctu_y + 1) * 64 <= ctx->height;
  rec->ctu_distortion[ctx->ctu_addr] = whole ? ctu_weighted_distortion(ctx) : 0;
}

}  // namespace

uint32_t ctu_weighted_distortion(encoder_t *ctx) {
  uint64_t d = ctx->pixel.ssd[0](ctx->ctu_src, SRC_STRIDE, ctx->ctu_rec, RECON_STRIDE);
  const uint64_t c = static_cast<uint64_t>(ctx->pixel.ssd[1](ctu_src_at(ctx, 1, 0, 0), SRC_STRIDE,
                                                             ctu_rec_at(ctx, 1, 0, 0), RECON_STRIDE)) +
                     ctx->pixel.ssd[1](ctu_src_at(ctx, 2, 0, 0), SRC_STRIDE, ctu_rec_at(ctx, 2, 0, 0), RECON_STRIDE);
  d += (c * chroma_weight(ctx->tables, ctx->ctu_qp) + 128) >> 8;
  if (ctx->param.distortion_weighting) {
    // Weights are signed: textured blocks lower the record, but never
    // below the plain distortion.
    int64_t w = 0;
    for (int32_t r = 0; r < 16; r++)
      for (int32_t k = 0; k < 16; k++) {
        const int64_t s = ctx->pixel.ssd[4](ctx->ctu_src + 4 * r * SRC_STRIDE + 4 * k, SRC_STRIDE,
                                            ctx->ctu_rec + 4 * r * RECON_STRIDE + 4 * k, RECON_STRIDE);
        w += (s * ctx->param.distortion_weighting * ctx->dist_weights[r][k] + 32768) >> 16;
      }
    d += static_cast<uint64_t>(std::max<int64_t>(w >> 2, 0));
  }
  return static_cast<uint32_t>(std::min<uint64_t>(d, UINT32_MAX));
}

void analyse_ctu_intra_full(encoder_t *ctx) {
  ctx->ctu_encoder_flag_a = 1;
  ctx->ctu_encoder_flag_b = 1;
  const int32_t prev_qp = ctx->prev_qp;
  if (ctx->param.distortion_weighting)
    distortion_weights(ctx);
  else
    std::memset(ctx->dist_weights, 0, sizeof(ctx->dist_weights));
  ctx->cabac_est_save[0] = ctx->cabac.est;
  ctu_predict_depth_range(ctx, ctx->nodes);
  analyse_cu_intra_full(ctx, ctx->nodes, 0, 0, 0, 6);
  ctx->cabac.est = ctx->cabac_est_save[0];
  cu_commit(ctx, ctx->nodes, 0, 0, 0, 6);
  ctx->prev_qp = prev_qp;
}

// The motion-search context of the CTU and the source gradients that the
// fast search's refinement gate reads.
static void motion_search_setup(encoder_t *ctx) {
  me_setup_context(ctx, &ctx->me);
  me_setup_refs(ctx, &ctx->me);
  ctx->pixel.ctu_gradient_pyramid(ctx->ctu_src, &ctx->gradients);
}

void analyse_ctu_inter_full(encoder_t *ctx) {
  ctx->ctu_encoder_flag_a = 1;
  ctx->ctu_encoder_flag_b = 1;
  const int32_t prev_qp = ctx->prev_qp;
  motion_search_setup(ctx);
  ctx->cabac_est_save[0] = ctx->cabac.est;
  ctu_predict_depth_range(ctx, ctx->nodes);
  pred_cache_start(ctx->pred_cache);
  analyse_cu_inter_full(ctx, ctx->nodes, ctx->lowres, 0, 0, 0, 6);
  pred_cache_stop(ctx->pred_cache);
  ctx->cabac.est = ctx->cabac_est_save[0];
  cu_commit(ctx, ctx->nodes, 0, 0, 0, 6);
  if (ctx->cur_recon->record_distortion) record_ctu_distortion(ctx);
  ctx->prev_qp = prev_qp;
}

void analyse_ctu_fast(encoder_t *ctx) {
  const int32_t prev_qp = ctx->prev_qp, rdoq_alt = ctx->use_rdoq_alt, level = ctx->analysis_level;
  std::memset(ctx->dist_weights, 0, sizeof(ctx->dist_weights));
  if (ctx->slice_type_code != 2) {
    ctx->ctu_encoder_flag_a = ctx->analysis_level > 2;
    ctx->ctu_encoder_flag_b = ctx->param.latency_mode > 1;
    me_setup_context(ctx, &ctx->me);
    me_setup_refs(ctx, &ctx->me);
    if (ctx->analysis_level < 3) {
      ctx->pixel.ctu_gradient_hv_pyramid(ctx->ctu_src, &ctx->gradients);
      ctx->gradients.dir[2].node[0] = 0xffffffffu;  // the diagonals only when an intra search asks
    } else {
      ctx->pixel.ctu_gradient_pyramid(ctx->ctu_src, &ctx->gradients);
    }
    ctx->cabac_est_save[0] = ctx->cabac.est;
    ctu_predict_depth_range(ctx, ctx->nodes);
    if (ctx->param.lowres_cu_search) ctu_load_lowres_block(ctx, ctx->lowres);
    // The fastest levels predict too little twice to pay for keeping.
    const bool keep_predictions = ctx->analysis_level > 2;
    if (keep_predictions) pred_cache_start(ctx->pred_cache, false);
    analyse_cu_fast_inter(ctx, ctx->nodes, ctx->lowres, 0, 0, 0, 6);
    if (keep_predictions) pred_cache_stop(ctx->pred_cache);
    ctx->cabac.est = ctx->cabac_est_save[0];
  } else {
    const int32_t l = level > 0 && ctx->param.latency_mode == 0 ? level - 1 : level;
    ctx->analysis_level = l;
    ctx->ctu_encoder_flag_a = l > 2;
    ctx->ctu_encoder_flag_b = ctx->param.latency_mode > 1;
    if (l < 3) ctx->pixel.ctu_gradient_dir4_pyramid(ctx->ctu_src, &ctx->gradients);
    ctx->use_rdoq_alt = ctx->analysis_level > 3;
    ctx->cabac_est_save[0] = ctx->cabac.est;
    ctu_predict_depth_range(ctx, ctx->nodes);
    if (ctx->analysis_level < 3) {
      // 64-bit: the product passes 2^31 from QP 45 on.
      const int64_t t = (static_cast<int64_t>(8000 - 100 * (ctx->ctu_qp / 6)) * ctx->ctu_lambda_ssd + 32768) >> 14;
      ctx->split_threshold = static_cast<uint64_t>(std::max<int64_t>(t, 0));
    }
    analyse_cu_fast_intra(ctx, ctx->nodes, ctx->lowres, 0, 0, 0, 6);
    ctx->cabac.est = ctx->cabac_est_save[0];
  }
  if (ctx->cur_recon->record_distortion) record_ctu_distortion(ctx);
  ctx->analysis_level = level;
  ctx->use_rdoq_alt = rdoq_alt;
  ctx->prev_qp = prev_qp;
}
