// The intra alternative of a CU in a P or B picture.  Until the staged
// search with its inter-cost cut-offs arrives, a rough search: planar, DC,
// every fourth angular mode and the neighbours of the best, costed with
// the inter candidates' SATD; no RD trial (intra_rd_done stays 0), so the
// inter evaluation weighs the rough costs.
#include "analysis/cu_commit.h"
#include "analysis/decision_common.h"
#include "analysis/inter_common.h"
#include "analysis/intra_common.h"
#include "analysis/intra_decision.h"

void inter_picture_intra_trial(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y,
                               int32_t log2_size) {
  intra_cu_t cu;
  intra_cu_begin(&cu, ctx, nodes, z, x, y, log2_size);
  // Costed as the inter candidates are.
  cu.luma_cost = ctx->pixel.satd[6 - log2_size];
  cu_node_t *node = cu.node;
  node->luma_dir = 0;
  cu_commit(ctx, nodes, z, x, y, log2_size);
  intra_mpms(ctx, z, cu.mpm);
  ctx->intra_refs_refresh = 1;
  uint32_t best_cost = COST_NONE;
  int32_t best = 0;
  auto evaluate = [&](int32_t mode) {
    const uint32_t c = intra_rough_luma(&cu, mode);
    if (c < best_cost) {
      best_cost = c;
      best = mode;
    }
  };
  evaluate(0);
  evaluate(1);
  for (int32_t mode = 2; mode <= 34; mode += 4) evaluate(mode);
  if (best >= 2) {
    const int32_t centre = best;
    for (const int32_t m : {centre - 2, centre + 2}) if (m >= 2 && m <= 34) evaluate(m);
    const int32_t fine = best;
    for (const int32_t m : {fine - 1, fine + 1}) if (m >= 2 && m <= 34) evaluate(m);
  }
  ctx->intra_refs_refresh = 1;
  ctx->intra_rd_done = 0;
  node->intra_sad_cost = best_cost;
  node->luma_dir = best;
  node->chroma_dir = 4;
}
