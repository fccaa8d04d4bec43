#include "encoder/ctu_filter.h"

#include "encoder/encoder.h"
#include "filters/sao.h"

void ctu_setup_pointers(encoder_t *ctx) {
  frame_t *rec = ctx->cur_recon;
  for (int32_t c = 0; c < 3; c++) {
    const bool sao = (ctx->sao_enable >> (c ? 1 : 0)) & 1;
    // Writing output sample (r, x) overwrites source sample (r - 4, x - 32),
    // which only output rows r - 5 to r - 3 read and which SAO, going down
    // the CTU and one CTU behind the deblocking, has written already.
    rec->work[c] = sao ? rec->plane[c] + 4 * rec->stride[c] + 32 : rec->plane[c];
  }
}

void ctu_post_filter(encoder_t *ctx) {
  if (!ctx->sao_enable) return;
  const int32_t x = ctx->ctu_x, y = ctx->ctu_y;
  const bool last_col = x == ctx->ctu_cols - 1, last_row = y == ctx->ctu_rows - 1;
  // The CTU left of this one (and this one in the last column): the bottom
  // rows of the one above it, which this row's deblocking finished, then its
  // own top rows, or all of them in the last row.  In this order each part
  // overwrites only source samples that the parts before it have read.
  for (int32_t cx = x - 1; cx <= x; cx++) {
    if (cx < 0 || (cx == x && !last_col)) continue;
    if (y >= 1) sao_filter_ctu(ctx, cx, y - 1, SAO_ROWS_BOTTOM);
    sao_filter_ctu(ctx, cx, y, last_row ? SAO_ROWS_ALL : SAO_ROWS_TOP);
  }
}
