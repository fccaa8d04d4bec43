// The neighbour array of an intra block: which reference samples exist,
// where each run of them lives, and the substitution of the missing ones.
// Samples are read a 4x4 luma unit at a time (the granule availability is
// decided in), the row above as whole runs and the left column down its
// buffer, and the substitution fills whole missing units, so a block with
// every neighbour in place costs a few copies.
#include <algorithm>
#include <cstring>

#include "analysis/ctu_maps.h"
#include "encoder/encoder.h"
#include "rdo/block_coding.h"

namespace {

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

// Counts of available units along the two edges of a block aligned to its
// size n: the n samples straight above and straight left always precede it
// in decoding order when they exist; the n beyond them (above right, below
// left) form one aligned block of size n, which either precedes it whole or
// not at all.  Inside the CTU z-order decides; the CTU row above is coded
// whole, the left CTU too, but nothing below the CTU is.  The picture's
// edges cut each run.
// N is the block size: the copies and walks of whole runs have fixed lengths.
template <int UNIT, int SH, int N>
void build(encoder_t *ctx, int32_t plane, int32_t x, int32_t y, int32_t from_source, uint8_t *nb) {
  constexpr int32_t n = N;
  const int32_t cur_z = zorder_of(((x << SH) >> 2) & 15, ((y << SH) >> 2) & 15);
  const int32_t units = 2 * n / UNIT;  // per edge, at most 32
  const int32_t half = units >> 1;
  const sources_t src = sources_of(ctx, plane, from_source);
  uint8_t *above = nb + 1;
  uint8_t *left = nb + 2 * n + 1;
  // Plane samples of the picture right of and below the CTU's origin.
  const int32_t room_x = (ctx->width - ctx->ctu_x * 64 + SH) >> SH;
  const int32_t room_y = (ctx->height - ctx->ctu_y * 64 + SH) >> SH;
  const int32_t ctu = 64 >> SH;

  // The row above: one run of one buffer.
  int32_t above_units = 0;
  const uint8_t *row = y > 0 ? src.inside + (y - 1) * src.inside_stride : src.line;
  if (y > 0 || ctx->ctu_y > 0) {
    above_units = half;
    const int32_t xr = x + n;
    // Above right: in the CTU row above, coded whole; in the CTU's own rows
    // inside it and earlier in z-order.
    if (y == 0 || (xr < ctu && zorder_of((xr << SH) >> 2, ((y - 1) << SH) >> 2) < cur_z)) above_units = units;
    above_units = std::min(above_units, (room_x - x + UNIT - 1) / UNIT);
    if (above_units == units)
      std::memcpy(above, row + x, 2 * N);
    else
      std::memcpy(above, row + x, static_cast<size_t>(above_units * UNIT));
  }
  // The left column: inside the CTU, or the left CTU's last column.
  int32_t left_units = 0;
  const uint8_t *col = nullptr;
  intptr_t col_stride = 0;
  if (x > 0 || ctx->ctu_x > 0) {
    if (x > 0) {
      col = src.inside + (x - 1);
      col_stride = src.inside_stride;
    } else {
      col = src.left;
      col_stride = src.left_stride;
    }
    left_units = half;
    const int32_t yb = y + n;
    // Below left: never below the CTU; in the left CTU coded, inside the CTU
    // earlier in z-order.
    if (yb < ctu && (x == 0 || zorder_of(((x - 1) << SH) >> 2, (yb << SH) >> 2) < cur_z)) left_units = units;
    left_units = std::min(left_units, (room_y - y + UNIT - 1) / UNIT);
    const uint8_t *p = col + y * col_stride;
    if (left_units == units)
      for (int32_t k = 0; k < 2 * N; k++) left[k] = p[k * col_stride];
    else
      for (int32_t k = 0; k < left_units * UNIT; k++) left[k] = p[k * col_stride];
  }
  const uint64_t above_avail = (1ull << above_units) - 1;
  const uint64_t left_avail = (1ull << left_units) - 1;
  // The corner: in the row above (the kept line, also left of the CTU) or
  // in the left column's buffer.
  // Above left of an aligned block: whenever both edges exist.
  const bool corner = (y > 0 || ctx->ctu_y > 0) && (x > 0 || ctx->ctu_x > 0);
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
  if (plane == 0) {
    switch (n) {
      case 4: return build<4, 0, 4>(ctx, plane, x, y, from_source, nb);
      case 8: return build<4, 0, 8>(ctx, plane, x, y, from_source, nb);
      case 16: return build<4, 0, 16>(ctx, plane, x, y, from_source, nb);
      case 32: return build<4, 0, 32>(ctx, plane, x, y, from_source, nb);
      default: return build<4, 0, 64>(ctx, plane, x, y, from_source, nb);
    }
  }
  switch (n) {
    case 4: return build<2, 1, 4>(ctx, plane, x, y, from_source, nb);
    case 8: return build<2, 1, 8>(ctx, plane, x, y, from_source, nb);
    case 16: return build<2, 1, 16>(ctx, plane, x, y, from_source, nb);
    default: return build<2, 1, 32>(ctx, plane, x, y, from_source, nb);
  }
}
