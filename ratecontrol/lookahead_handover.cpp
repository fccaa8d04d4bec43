// Rate control's view of the lookahead: when a picture starts, the estimate
// of the picture against the references it is coded with (intra pictures:
// their intra estimate) and its intra estimate, whole and, for the rows'
// re-decision under VBV, per CTU row and per CTU.
#include <algorithm>
#include <cstring>

#include "encoder/encoder.h"
#include "ratecontrol/lowres_cost.h"
#include "ratecontrol/lowres_data.h"
#include "ratecontrol/ratecontrol.h"

namespace {

void copy_or_clear(uint32_t *to, const uint32_t *from, int32_t n, bool have) {
  if (have)
    std::copy(from, from + n, to);
  else
    std::memset(to, 0, sizeof(uint32_t) * static_cast<size_t>(n));
}

}  // namespace

int32_t ratecontrol_get_lookahead_cost(encoder_t *ctx) {
  frame_t *f = ctx->cur_input;
  f->lookahead_cost = f->intra_cost = 0;
  lowres_data_t *d = f->la;
  if (!d) return 0;
  int32_t d0 = 0, d1 = 0;
  if (ctx->slice_type_code != 2 && ctx->ref_count[0] > 0) d0 = f->poc - ctx->ref_list[0][0]->poc;
  if (list1_is_future(ctx) && ctx->ref_count[1] > 0) d1 = ctx->ref_list[1][0]->poc - f->poc;
  // A reference farther than the estimates reach, or on the wrong side,
  // has no estimate: rate control then gets none (0) rather than a stale
  // or foreign one, and falls back on the class's last qscale.
  const bool inside = d0 >= 0 && d1 >= 0 && d0 < LOWRES_DISTANCES && d1 < LOWRES_DISTANCES;
  // The AQ-weighted totals follow the QPs AQ will give; the CU-tree's
  // offsets are not known to them, so with it the plain totals serve.  So
  // they do under a buffer and in constant bitrate, whose CTU QPs are the
  // rows' or the CBR model's, without AQ's offsets.
  const ratecontrol_t *rc = ctx->rc;
  const bool weighted = ctx->param.cutree == 0 && ctx->aq_mode_active != 0 && !rc->vbv && !rc->cbr;
  const auto &cache = weighted ? d->aq_cost_cache : d->cost_cache;
  const int32_t cost = inside ? cache[d0][d1] : -1;
  // Under VBV a picture without an estimate against its references is
  // sized by its intra estimate, made here when the lookahead did not.
  if (cost < 0 && cache[0][0] < 0 && rc->vbv) {
    frame_t *self[1] = {f};
    lookahead_frame_cost(ctx, self, 0, 0, 0);
  }
  const int32_t intra = cache[0][0];
  f->lookahead_cost = std::max(cost, 0);
  f->intra_cost = std::max(intra, 0);
  d->lookahead_cost = f->lookahead_cost;
  if (d->layout.row_arrays) {
    const int32_t rows = d->layout.ctu_rows, ctus = rows * d->layout.ctu_cols;
    copy_or_clear(f->lookahead_row_costs, cost >= 0 ? d->row_costs[d0][d1] : nullptr, rows, cost >= 0);
    copy_or_clear(f->lookahead_ctu_costs, cost >= 0 ? d->ctu_costs[d0][d1] : nullptr, ctus, cost >= 0);
    copy_or_clear(f->intra_row_costs, d->row_costs[0][0], rows, intra >= 0);
    copy_or_clear(f->intra_ctu_costs, d->ctu_costs[0][0], ctus, intra >= 0);
    d->lookahead_row_costs = f->lookahead_row_costs;
    d->lookahead_ctu_costs = f->lookahead_ctu_costs;
  }
  return f->lookahead_cost;
}

int32_t ratecontrol_get_intra_cost(encoder_t *ctx) { return ctx->cur_input->intra_cost; }
