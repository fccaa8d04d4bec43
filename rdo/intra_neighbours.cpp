// The neighbour array of an intra block: which reference samples exist,
// where each run of them lives, and the substitution of the missing ones.
// Samples are read a 4x4 luma unit at a time (the granule availability is
// decided in), the row above as whole runs and the left column down its
// buffer, and the substitution fills whole missing units, so a block with
// every neighbour in place costs a few copies.
#include <cstring>

#include "analysis/ctu_maps.h"
#include "encoder/encoder.h"
#include "rdo/block_coding.h"

namespace {

// H.265 6.4.1: a neighbouring 4x4 luma unit is available when it lies in the
// picture and precedes the current block in decoding order (CTU raster
// order, then z-order inside the CTU).
bool unit_available(const encoder_t *ctx, int32_t lx, int32_t ly, int32_t cur_z) {
  const int32_t px = ctx->ctu_x * 64 + lx, py = ctx->ctu_y * 64 + ly;
  if (px < 0 || py < 0 || px >= ctx->width || py >= ctx->height) return false;
  const int32_t addr = (py >> 6) * ctx->ctu_cols + (px >> 6);
  if (addr != ctx->ctu_addr) return addr < ctx->ctu_addr;
  return zorder_of((lx >> 2) & 15, (ly >> 2) & 15) < cur_z;
}

// The bits of a 4x4 unit's column (0..15) spread to the even bits of its
// z-order number (the row's go to the odd bits).
inline int32_t spread_bits(int32_t v) {
  v &= 15;
  return (v & 1) | (v & 2) << 1 | (v & 4) << 2 | (v & 8) << 3;
}

// Where the samples of one edge come from.  Intra prediction uses samples
// before deblocking: the row above the CTU comes from the line kept for
// it, the left CTU's column from the picture (not yet filtered there);
// inside the CTU the reconstruction, or the source when asked.
struct sources_t {
  const uint8_t *inside;  // the CTU's plane origin
  intptr_t inside_stride;
  const uint8_t *line;  // the kept line at the CTU's first column
  const uint8_t *left;  // the picture at the left CTU's last column, CTU row's first row
  intptr_t left_stride;
};

sources_t sources_of(encoder_t *ctx, int32_t plane, int32_t from_source) {
  const int32_t s = plane ? 32 : 64;
  sources_t r;
  if (from_source) {
    r.inside = ctu_src_at(ctx, plane, 0, 0);
    r.inside_stride = SRC_STRIDE;
  } else {
    r.inside = ctu_rec_at(ctx, plane, 0, 0);
    r.inside_stride = RECON_STRIDE;
  }
  // Each only where the CTU row above, or the CTU to the left, exists.
  r.line = ctx->ctu_y > 0 ? ctx->intra_line[plane] + ((ctx->ctu_y - 1) * ctx->ctu_cols + ctx->ctu_x) * s : nullptr;
  r.left = nullptr;
  r.left_stride = 0;
  if (ctx->ctu_x > 0) {
    const frame_t *f = ctx->cur_recon;
    r.left_stride = f->stride[plane];
    r.left = f->work[plane] + static_cast<intptr_t>(ctx->ctu_y * s) * r.left_stride + ctx->ctu_x * s - 1;
  }
  return r;
}

template <int UNIT, int SH>
void build(encoder_t *ctx, int32_t plane, int32_t x, int32_t y, int32_t n, int32_t from_source, uint8_t *nb) {
  const int32_t cur_z = zorder_of(((x << SH) >> 2) & 15, ((y << SH) >> 2) & 15);
  const int32_t units = 2 * n / UNIT;  // per edge, at most 32
  const sources_t src = sources_of(ctx, plane, from_source);
  uint8_t *above = nb + 1;
  uint8_t *left = nb + 2 * n + 1;
  // Availability per unit along each edge: above left to right, left top
  // to bottom.
  uint64_t above_avail = 0, left_avail = 0;

  // The row above: one run of one buffer.  In the CTU row above every
  // unit inside the picture is available; in the CTU's own rows those of
  // the next CTU never are, its own ones by z-order.
  const int32_t ly_above = (y - 1) << SH;
  const uint8_t *row = y > 0 ? src.inside + (y - 1) * src.inside_stride : src.line;
  const int32_t py_above = ctx->ctu_y * 64 + ly_above;
  if (py_above >= 0 && py_above < ctx->height) {
    const int32_t z_row = spread_bits(ly_above >> 2) << 1;
    for (int32_t u = 0; u < units; u++) {
      const int32_t lx = (x + u * UNIT) << SH;
      if (ctx->ctu_x * 64 + lx >= ctx->width) break;
      if (ly_above >= 0 && (lx >= 64 || (spread_bits(lx >> 2) | z_row) >= cur_z)) continue;
      above_avail |= 1ull << u;
      std::memcpy(above + u * UNIT, row + x + u * UNIT, UNIT);
    }
  }
  // The left column: inside the CTU, or the left CTU's last column (below
  // the CTU nothing is available).
  const uint8_t *col;
  intptr_t col_stride;
  if (x > 0) {
    col = src.inside + (x - 1);
    col_stride = src.inside_stride;
  } else {
    col = src.left;
    col_stride = src.left_stride;
  }
  // The left CTU's units of the CTU's own rows are available (those below
  // it never); inside the CTU z-order decides.
  const int32_t lx_left = (x - 1) << SH;
  const int32_t px_left = ctx->ctu_x * 64 + lx_left;
  if (px_left >= 0 && px_left < ctx->width) {
    const int32_t z_col = spread_bits(lx_left >> 2);
    for (int32_t u = 0; u < units; u++) {
      const int32_t ly = (y + u * UNIT) << SH;
      if (ly >= 64 || ctx->ctu_y * 64 + ly >= ctx->height) break;
      if (lx_left >= 0 && (z_col | spread_bits(ly >> 2) << 1) >= cur_z) continue;
      left_avail |= 1ull << u;
      const uint8_t *p = col + (y + u * UNIT) * col_stride;
      for (int32_t k = 0; k < UNIT; k++) left[u * UNIT + k] = p[k * col_stride];
    }
  }
  // The corner: in the row above (the kept line, also left of the CTU) or
  // in the left column's buffer.
  const bool corner = unit_available(ctx, (x - 1) << SH, (y - 1) << SH, cur_z);
  if (corner) {
    if (y == 0)
      nb[0] = src.line[x - 1];
    else
      nb[0] = x > 0 ? src.inside[(y - 1) * src.inside_stride + x - 1] : src.left[(y - 1) * src.left_stride];
  }

  const uint64_t all = (1ull << units) - 1;
  if (corner && above_avail == all && left_avail == all) return;
  if (!corner && !above_avail && !left_avail) {
    std::memset(nb, 128, 4 * n + 1);
    return;
  }
  // Substitution order: left column bottom to top, the corner, the row
  // above left to right; a missing sample takes the previous one in order,
  // and missing samples before the first available one take that one.
  uint8_t v;
  if (left_avail)
    v = left[(63 - __builtin_clzll(left_avail)) * UNIT + UNIT - 1];
  else if (corner)
    v = nb[0];
  else
    v = above[__builtin_ctzll(above_avail) * UNIT];
  for (int32_t u = units - 1; u >= 0; u--) {
    if (left_avail >> u & 1)
      v = left[u * UNIT];
    else
      std::memset(left + u * UNIT, v, UNIT);
  }
  if (corner)
    v = nb[0];
  else
    nb[0] = v;
  for (int32_t u = 0; u < units; u++) {
    if (above_avail >> u & 1)
      v = above[u * UNIT + UNIT - 1];
    else
      std::memset(above + u * UNIT, v, UNIT);
  }
}

}  // namespace

void intra_build_neighbours(encoder_t *ctx, int32_t plane, int32_t x, int32_t y, int32_t n, int32_t from_source,
                            uint8_t *nb) {
  if (plane == 0)
    build<4, 0>(ctx, plane, x, y, n, from_source, nb);
  else
    build<2, 1>(ctx, plane, x, y, n, from_source, nb);
}
