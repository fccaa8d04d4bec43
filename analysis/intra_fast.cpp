// Fast intra evaluation of a CU: a staged angular search instead of the
// rough pass over all 35 modes, run on the half-resolution picture for CUs
// of 16x16 and larger, so that only the two or three best modes are
// predicted and costed at full size.
#include <algorithm>
#include <cstring>

#include "analysis/intra_common.h"
#include "analysis/intra_decision.h"
#include "encoder/encoder.h"
#include "rdo/block_coding.h"
#include "rdo/cu_commit.h"

namespace {

struct staged_search_t {
  const uint8_t *enabled;
  uint8_t visited[35];
  intra_list_t best;
};

template <typename Eval>
void try_mode(staged_search_t *s, int32_t mode, Eval &eval) {
  if (mode < 0 || mode > 34 || !s->enabled[mode] || s->visited[mode]) return;
  s->visited[mode] = 1;
  intra_list_insert(&s->best, mode, eval(mode));
}

// Planar, DC and five directions 8 apart, then three refinement levels
// (steps 4, 2, 1) around the two best directions.
template <typename Eval>
void coarse_search(staged_search_t *s, Eval &eval) {
  intra_list_init(&s->best, 2);
  for (const int32_t mode : {0, 1, 2, 10, 18, 26, 34}) try_mode(s, mode, eval);
  for (const int32_t step : {4, 2, 1}) {
    const intra_list_t level = s->best;
    for (int32_t i = 0; i < 2; i++) {
      const int32_t m = level.mode[i];
      if (m < 2) continue;
      for (int32_t k = std::max(m - step, 2); k <= std::min(m + step, 34); k += step) try_mode(s, k, eval);
    }
  }
}

// Planar, DC and every fourth direction into a list of four, then +-2
// around all four entries and +-1 around the two best.  *count receives the
// entries after the first pass, *angular whether it evaluated a direction.
template <typename Eval>
void step4_search(staged_search_t *s, Eval &eval, int32_t *count, bool *angular) {
  intra_list_init(&s->best, 4);
  try_mode(s, 0, eval);
  try_mode(s, 1, eval);
  *angular = false;
  for (int32_t mode = 2; mode <= 34; mode += 4) {
    *angular = *angular || (s->enabled[mode] && !s->visited[mode]);
    try_mode(s, mode, eval);
  }
  *count = intra_list_count(&s->best);
  intra_list_t pass = s->best;
  for (int32_t i = 0; i < 4; i++) {
    const int32_t m = pass.mode[i];
    if (m < 0) continue;
    if (m >= 5) try_mode(s, m - 2, eval);
    if (m <= 31) try_mode(s, m + 2, eval);
  }
  pass = s->best;
  for (int32_t i = 0; i < 2; i++) {
    const int32_t m = pass.mode[i];
    if (m < 0) continue;
    if (m >= 4) try_mode(s, m - 1, eval);
    if (m <= 32) try_mode(s, m + 1, eval);
  }
}

}  // namespace

void intra_half_neighbours(const intra_funcs_t &intra, const uint8_t *full, int32_t n, uint8_t *half,
                           uint8_t *half_smooth) {
  const int32_t hn = n >> 1;
  half[0] = full[0];
  for (int32_t i = 0; i < 2 * n; i++) half[1 + i] = static_cast<uint8_t>((full[1 + 2 * i] + full[2 + 2 * i] + 1) >> 1);
  if (hn == 8 || hn == 16)
    intra.ref_filter[hn == 8 ? 1 : 2](half, half_smooth);
  else
    std::memcpy(half_smooth, half, static_cast<size_t>(4 * hn + 1));
}

void analyse_intra_cu_fast(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size) {
  intra_cu_t cu;
  intra_cu_begin(&cu, ctx, nodes, z, x, y, log2_size);
  cu_node_t *node = cu.node;
  const int32_t level = ctx->analysis_level;
  const int32_t n = !ctx->param.intra_nxn ? 1 : level > 1 ? 3 : 2;
  intra_list_t cand;
  intra_list_init(&cand, n);
  cu_commit(ctx, nodes, z, x, y, log2_size);
  intra_mpms(ctx, z, cu.mpm);
  intra_enable_modes(&cu, -1);
  ctx->intra_refs_refresh = 1;

  staged_search_t s{};
  s.enabled = cu.enabled;
  if (log2_size >= 4) {
    // The neighbours are built once at full size and averaged down in pairs.
    alignas(16) uint8_t full64[4 * 64 + 16];
    const uint8_t *full = full64;
    if (log2_size <= 5) {
      intra_prepare_refs(ctx, 0, x, y, log2_size);
      full = ctx->nb_luma;
    } else {
      intra_build_neighbours(ctx, 0, x, y, 64, 0, full64);
    }
    alignas(16) uint8_t half[144], half_smooth[144];
    intra_half_neighbours(ctx->intra, full, 1 << log2_size, half, half_smooth);
    const int32_t hl = log2_size - 1;
    const pixel_cost_fn kernel = level > 2 ? ctx->pixel.block_cost[6 - hl] : ctx->pixel.sa8d_half[6 - hl];
    const frame_t *f = ctx->cur_input;
    const uint8_t *lowres =
        f->lowres_luma + (ctx->ctu_y * 32 + (y >> 1)) * f->lowres_stride + ctx->ctu_x * 32 + (x >> 1);
    auto eval = [&](int32_t mode) -> uint32_t {
      const bool smooth = mode == 0 || (mode > 1 && intra_needs_smoothing(mode, hl));
      intra_predictor(ctx->intra, mode, 1, hl)(ctx->pred_work, RECON_STRIDE, smooth ? half_smooth : half);
      return kernel(lowres, f->lowres_stride, ctx->pred_work, RECON_STRIDE) +
             intra_mode_penalty(node->lambda_sad, mode, cu.mpm);
    };
    int32_t proceed = 2;
    if (level < 2) {
      coarse_search(&s, eval);
    } else {
      int32_t count = 0;
      bool angular = false;
      step4_search(&s, eval, &count, &angular);
      proceed = angular ? 3 : 2;
    }
    for (int32_t i = 0; i < proceed && s.best.mode[i] >= 0; i++) {
      const int32_t mode = s.best.mode[i];
      const uint32_t cost = intra_rough_luma(&cu, mode);
      node->mode_costs[mode] = cost;
      intra_list_insert(&cand, mode, cost);
    }
  } else {
    auto eval = [&](int32_t mode) -> uint32_t { return intra_rough_luma(&cu, mode); };
    int32_t k = 2;
    if (level == 0) {
      coarse_search(&s, eval);
    } else {
      bool angular = false;
      step4_search(&s, eval, &k, &angular);
    }
    for (int32_t i = 0; i < std::min(n, k) && s.best.mode[i] >= 0; i++) {
      cand.mode[i] = s.best.mode[i];
      cand.cost[i] = s.best.cost[i];
      node->mode_costs[cand.mode[i]] = cand.cost[i];
    }
  }

  if (!ctx->param.intra_nxn) {
    intra_finish_without_rd(&cu, cand.mode[0]);
    return;
  }
  uint32_t best_cost = COST_NONE;
  uint8_t best_cbf = 0;
  const int32_t best = intra_luma_rd_pass(&cu, &cand, &best_cost, &best_cbf);
  intra_take_luma(&cu, cand.mode[best], best_cost, best_cbf);

  // One listed chroma mode, the cheapest rough one, against mode 4.
  int32_t chroma = -1;
  uint32_t chroma_rough = 0;
  for (int32_t cm = 0; cm < 4; cm++) {
    const uint32_t cost = intra_rough_chroma(&cu, cm);
    node->chroma_costs[cm] = cost;
    if (chroma < 0 || cost < chroma_rough) {
      chroma = cm;
      chroma_rough = cost;
    }
  }
  uint8_t cbf = 0;
  const uint32_t chroma_cost = intra_chroma_trial(&cu, chroma, &cbf);
  chroma = intra_chroma_mode4(&cu, chroma, chroma_cost);
  intra_cu_cost(&cu, best == 0, chroma);
}
