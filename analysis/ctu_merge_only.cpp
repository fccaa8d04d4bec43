// A CTU decided without any search: one 64x64 skip CU that takes merge
// candidate 0.  For tests only: it codes the merge list, the skip syntax and
// the motion-compensated prediction of a whole CTU in isolation, so that a
// decoder's reading of them can be checked on its own.
#include <cstdint>

#include "analysis/analysis.h"
#include "analysis/ctu_analysis.h"
#include "analysis/decision_common.h"
#include "motion/mvp.h"
#include "ratecontrol/ratecontrol.h"
#include "rdo/cu_commit.h"
#include "rdo/rd_cost.h"

bool analyse_ctu_merge_only(encoder_t *ctx) {
  // Intra slices have no merge candidates; a CTU crossing the picture's
  // edge must split.
  if (ctx->slice_type_code == 2 || !block_in_picture(ctx, 63, 63)) return false;
  mv_t mv[2][5];
  int8_t ref[2][5];
  uint32_t temporal = 0;
  if (mvp_get_merge_candidates(ctx, 0, 0, 0, 64, 64, 0, mv[0], mv[1], ref[0], ref[1], &temporal) < 1) return false;
  const int8_t ref0[2] = {ref[0][0], ref[1][0]};
  const mv_t mv0[2] = {mv[0][0], mv[1][0]};
  // The row scheduler lets this CTU start once its references have
  // reconstructed the rows the vector limits reach; a candidate beyond
  // them would predict from rows that may not be final yet.
  if (!motion_within_limits(ctx, ref0, mv0)) return false;

  ratecontrol_ctu_qp(ctx);
  cu_commit_depth(ctx, 0, 6);
  cu_node_t *node = ctx->nodes + node_index(0, 6);
  cu_node_reset(ctx, node);
  node->split = 0;
  node->part_mode = 0;
  node->pred_intra = 0;
  node->skip = 1;
  node->merge_idx = 0;
  node->pu.p2n = pu_single_t{1, 0, {mv0[0], mv0[1]}, {ref0[0], ref0[1]}};
  cu_commit(ctx, ctx->nodes, 0, 0, 0, 6);
  encode_cu_64x64(ctx, 0, 0, 0, static_cast<int8_t>(node->qp), 1, 0, 3);
  grid_mark_available(ctx, 0, 0, 64, 64);
  // Later pictures compare their skip costs with this CTU's distortion, as
  // after any other driver.
  if (ctx->cur_recon->record_distortion) ctx->cur_recon->ctu_distortion[ctx->ctu_addr] = ctu_weighted_distortion(ctx);
  return true;
}
