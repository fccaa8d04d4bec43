// Cost estimates of a picture for rate control, measured when it enters:
// per 16x16 luma block the cheaper of an intra estimate (its SAD against its
// own mean, taken from its AC energy) and the SAD against the previous input
// picture.  The sums per CTU row and the running sums per CTU feed the size
// predictors, which learn their scale per picture type.
#include <algorithm>
#include <cmath>

#include "encoder/encoder.h"
#include "ratecontrol/aq.h"
#include "ratecontrol/ratecontrol.h"

void lookahead_estimate_costs(encoder_t *enc, frame_t *f, const frame_t *previous) {
  const int32_t cols = enc->ctu_cols;
  const int32_t bw = (enc->param.width + 15) / 16, bh = (enc->param.height + 15) / 16;
  const int32_t stride = f->stride[0];
  int64_t total = 0, total_intra = 0;
  for (int32_t r = 0; r < enc->ctu_rows; r++) {
    uint32_t run = 0, run_intra = 0;
    for (int32_t c = 0; c < cols; c++) {
      uint32_t cost = 0, intra = 0;
      for (int32_t by = 4 * r; by < std::min(4 * r + 4, bh); by++)
        for (int32_t bx = 4 * c; bx < std::min(4 * c + 4, bw); bx++) {
          // The SAD of a block against its mean is about 0.8 x 256 standard
          // deviations, and sqrt(energy) is 16 of them.
          const uint32_t e = aq_plane_energy(enc, bx, by, f, 0);
          const uint32_t i = static_cast<uint32_t>(12.8 * std::sqrt(static_cast<double>(e)));
          uint32_t best = i;
          if (previous) {
            const int32_t off = 16 * by * stride + 16 * bx;
            best = std::min(best, enc->pixel.sad[2](f->plane[0] + off, stride, previous->plane[0] + off, stride));
          }
          // Half-resolution units, as the lookahead's estimates are.
          cost += best / 4;
          intra += i / 4;
        }
      run += cost;
      run_intra += intra;
      f->lookahead_ctu_costs[r * cols + c] = run;
      f->intra_ctu_costs[r * cols + c] = run_intra;
    }
    f->lookahead_row_costs[r] = run;
    f->intra_row_costs[r] = run_intra;
    total += run;
    total_intra += run_intra;
  }
  f->lookahead_cost = static_cast<int32_t>(std::min<int64_t>(total, INT32_MAX));
  f->intra_cost = static_cast<int32_t>(std::min<int64_t>(total_intra, INT32_MAX));
}

int32_t ratecontrol_get_lookahead_cost(encoder_t *ctx) {
  frame_t *f = ctx->cur_input;
  if (ctx->slice_type_code != 2) return f->lookahead_cost;
  // An intra picture costs what its intra estimates say, row by row too.
  const size_t rows = static_cast<size_t>(ctx->ctu_rows), ctus = static_cast<size_t>(ctx->ctu_count);
  std::copy(f->intra_row_costs, f->intra_row_costs + rows, f->lookahead_row_costs);
  std::copy(f->intra_ctu_costs, f->intra_ctu_costs + ctus, f->lookahead_ctu_costs);
  return f->intra_cost;
}

int32_t ratecontrol_get_intra_cost(encoder_t *ctx) { return ctx->cur_input->intra_cost; }
