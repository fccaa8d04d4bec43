#include "filters/deblock.h"

#include <algorithm>
#include <cstring>

#include "encoder/encoder.h"
#include "rdo/block_coding.h"

const uint8_t deblock_beta_table[52] = {0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  6,  7,
                                        8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 20, 22, 24, 26, 28, 30, 32,
                                        34, 36, 38, 40, 42, 44, 46, 48, 50, 52, 54, 56, 58, 60, 62, 64};
const uint8_t deblock_tc_table[54] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0,  1,  1,  1,  1,  1,  1,  1,  1, 1,
                                      2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 5, 5, 6, 6, 7, 8, 9, 10, 11, 13, 14, 16, 18, 20, 22, 24};

namespace {

constexpr uint8_t NO_EDGE = 0xff;

// Edge map of a CTU: vertical edge column k (x = 8k), 4-line segment s at
// byte k * 16 + s; horizontal edge row k at 128 + k * 16 + s.  Values:
// NO_EDGE, or the boundary strength 0..2.
inline uint8_t *edge_map(encoder_t *ctx, int32_t addr) { return ctx->deblock_edges + 256 * addr; }
// QP map of a CTU: the vertical edge left of 8x8 block (c, r) at r * 8 + c,
// the horizontal edge above it at 64 + r * 8 + c.
inline uint8_t *qp_map(encoder_t *ctx, int32_t addr) { return ctx->deblock_qps + 128 * addr; }

struct unit_view_t {
  const encoder_t *ctx;
  int32_t idx4(int32_t px, int32_t py) const { return (py >> 2) * ctx->map_stride + (px >> 2); }
  int32_t idx8(int32_t px, int32_t py) const { return (py >> 3) * ctx->ctu_cols * 8 + (px >> 3); }
  bool intra(int32_t px, int32_t py) const { return ctx->map_intra[idx4(px, py)] != 0; }
  bool cbf(int32_t px, int32_t py) const { return ctx->map_cbf[idx4(px, py)] != 0; }
  int32_t qp(int32_t px, int32_t py) const { return ctx->map_qp[idx4(px, py)]; }
  int32_t cu_log2(int32_t px, int32_t py) const { return ctx->map_cu_log2[idx4(px, py)]; }
  int32_t tu_log2(int32_t px, int32_t py) const { return ctx->map_tu_log2[idx4(px, py)]; }
  int32_t part(int32_t px, int32_t py) const { return ctx->map_part[idx4(px, py)]; }
};

deblock_side_t side_at(const encoder_t *ctx, const unit_view_t &u, int32_t px, int32_t py) {
  deblock_side_t s{};
  s.intra = u.intra(px, py);
  s.coded = u.cbf(px, py);
  const int32_t i = u.idx8(px, py);
  for (int32_t l = 0; l < 2; l++) {
    const int8_t r = ctx->pic_ref[l][i];
    s.pic[l] = r >= 0 ? ctx->ref_list[l][r] : nullptr;
    s.mv[l] = ctx->pic_mv[l][i];
  }
  return s;
}

// Strength of the 4-sample segment whose q0 is at picture (qx, qy) and p0 at
// (px, py); transform_edge: the edge bounds a transform block.
uint8_t segment_strength(const encoder_t *ctx, const unit_view_t &u, int32_t px, int32_t py, int32_t qx, int32_t qy,
                         bool transform_edge) {
  return deblock_strength(side_at(ctx, u, px, py), side_at(ctx, u, qx, qy), transform_edge);
}

}  // namespace

uint8_t deblock_strength(const deblock_side_t &p, const deblock_side_t &q, bool transform_edge) {
  if (p.intra || q.intra) return 2;
  if (transform_edge && (p.coded || q.coded)) return 1;
  const void *pp[2], *qq[2];
  mv_t pm[2], qm[2];
  int32_t np = 0, nq = 0;
  for (int32_t l = 0; l < 2; l++) {
    if (p.pic[l]) {
      pp[np] = p.pic[l];
      pm[np++] = p.mv[l];
    }
    if (q.pic[l]) {
      qq[nq] = q.pic[l];
      qm[nq++] = q.mv[l];
    }
  }
  auto far = [](mv_t a, mv_t b) { return std::abs(mv_x(a) - mv_x(b)) >= 4 || std::abs(mv_y(a) - mv_y(b)) >= 4; };
  if (np != nq) return 1;
  if (np == 1) return (pp[0] != qq[0] || far(pm[0], qm[0])) ? 1 : 0;
  // Two vectors on each side: the same two pictures, or no filtering decision by motion.
  const bool same_set = (pp[0] == qq[0] && pp[1] == qq[1]) || (pp[0] == qq[1] && pp[1] == qq[0]);
  if (!same_set) return 1;
  if (pp[0] != pp[1]) {
    // Two different pictures: compare the vectors that refer to the same one.
    if (pp[0] == qq[0]) return (far(pm[0], qm[0]) || far(pm[1], qm[1])) ? 1 : 0;
    return (far(pm[0], qm[1]) || far(pm[1], qm[0])) ? 1 : 0;
  }
  // Both vectors of both sides refer to one picture: either pairing may match.
  return ((far(pm[0], qm[0]) || far(pm[1], qm[1])) && (far(pm[0], qm[1]) || far(pm[1], qm[0]))) ? 1 : 0;
}

void deblock_ctu_prepare(encoder_t *ctx) {
  const unit_view_t u{ctx};
  uint8_t *edges = edge_map(ctx, ctx->ctu_addr);
  uint8_t *qps = qp_map(ctx, ctx->ctu_addr);
  std::memset(edges, NO_EDGE, 256);
  const int32_t x0 = ctx->ctu_x * 64, y0 = ctx->ctu_y * 64;
  for (int32_t k = 0; k < 8; k++)
    for (int32_t s = 0; s < 16; s++) {
      // Vertical edge at x = x0 + 8k, rows y0 + 4s .. +3.
      const int32_t x = x0 + 8 * k, y = y0 + 4 * s;
      if (x > 0 && x < ctx->width && y < ctx->height) {
        const int32_t tsize = 1 << u.tu_log2(x, y), csize = 1 << u.cu_log2(x, y);
        const bool tu_edge = (x & (tsize - 1)) == 0;
        // Nx2N splits an inter CU at its middle column.
        const bool pu_edge = !u.intra(x, y) && u.part(x, y) == 2 && (x & (csize - 1)) == csize / 2;
        if (tu_edge || pu_edge) edges[k * 16 + s] = segment_strength(ctx, u, x - 1, y, x, y, tu_edge);
      }
      // Horizontal edge at y = y0 + 8k, columns x0 + 4s .. +3.
      const int32_t hx = x0 + 4 * s, hy = y0 + 8 * k;
      if (hy > 0 && hy < ctx->height && hx < ctx->width) {
        const int32_t tsize = 1 << u.tu_log2(hx, hy), csize = 1 << u.cu_log2(hx, hy);
        const bool tu_edge = (hy & (tsize - 1)) == 0;
        const bool pu_edge = !u.intra(hx, hy) && u.part(hx, hy) == 1 && (hy & (csize - 1)) == csize / 2;
        if (tu_edge || pu_edge) edges[128 + k * 16 + s] = segment_strength(ctx, u, hx, hy - 1, hx, hy, tu_edge);
      }
    }
  for (int32_t r = 0; r < 8; r++)
    for (int32_t c = 0; c < 8; c++) {
      const int32_t x = x0 + 8 * c, y = y0 + 8 * r;
      if (x >= ctx->width || y >= ctx->height) continue;
      const int32_t q = u.qp(x, y);
      qps[r * 8 + c] = static_cast<uint8_t>(x > 0 ? (q + u.qp(x - 1, y) + 1) >> 1 : q);
      qps[64 + r * 8 + c] = static_cast<uint8_t>(y > 0 ? (q + u.qp(x, y - 1) + 1) >> 1 : q);
    }
}

namespace {

// Luma piece of 8 lines: returns false when nothing can change.
bool luma_params(const uint8_t *edges, int32_t first, int32_t qp, int32_t *beta, int32_t tc[2], bool second_open) {
  const int8_t b0 = static_cast<int8_t>(edges[first]), b1 = static_cast<int8_t>(edges[first + 1]);
  if ((b0 < 1 && (b1 < 1 || !second_open)) || qp < 16) return false;
  *beta = deblock_beta_table[qp];
  tc[0] = b0 >= 1 ? deblock_tc_table[std::min(53, qp + (b0 == 2 ? 2 : 0))] : -1;
  tc[1] = (second_open && b1 >= 1) ? deblock_tc_table[std::min(53, qp + (b1 == 2 ? 2 : 0))] : -1;
  return true;
}

// Chroma piece of 4 chroma lines: intra edges only (bS 2).
bool chroma_params(const uint8_t *edges, int32_t first, int32_t qp, int32_t tc[2]) {
  if (edges[first] != 2) return false;
  const int32_t qpc = chroma_qp(std::clamp(qp, 0, 57));
  if (qpc + 2 < 18) return false;
  tc[0] = tc[1] = deblock_tc_table[std::min(53, qpc + 2)];
  return true;
}

void horizontal_pieces(encoder_t *ctx, int32_t addr, int32_t cx, int32_t cy, int32_t first_piece, int32_t last_piece,
                       bool last_second_open, int32_t chroma_pieces) {
  const frame_t *f = ctx->cur_recon;
  const uint8_t *edges = edge_map(ctx, addr) + 128;
  const uint8_t *qps = qp_map(ctx, addr);
  for (int32_t k = 0; k < 8; k++) {
    for (int32_t c = first_piece; c <= last_piece; c++) {
      int32_t beta, tc[2];
      const bool open = c != last_piece || last_second_open;
      if (!luma_params(edges, k * 16 + 2 * c, qps[64 + k * 8 + c], &beta, tc, open)) continue;
      uint8_t *pix = f->work[0] + (cy * 64 + 8 * k) * f->stride[0] + cx * 64 + 8 * c;
      ctx->deblock.deblock_luma_hor_edge(pix, f->stride[0], beta, tc);
    }
    if (k & 1) continue;
    for (int32_t c = first_piece; c < first_piece + chroma_pieces; c++) {
      int32_t tc[2];
      if (!chroma_params(edges, k * 16 + 2 * c, qps[64 + k * 8 + c], tc)) continue;
      const int32_t off = (cy * 32 + 4 * k) * f->stride[1] + cx * 32 + 4 * c;
      ctx->deblock.deblock_chroma_hor_edge(f->work[1] + off, f->work[2] + off, f->stride[1], tc);
    }
  }
}

}  // namespace

void deblock_ctu(encoder_t *ctx, int32_t ctu_x, int32_t ctu_y) {
  const frame_t *f = ctx->cur_recon;
  const int32_t addr = ctu_y * ctx->ctu_cols + ctu_x;
  const uint8_t *edges = edge_map(ctx, addr);
  const uint8_t *qps = qp_map(ctx, addr);
  // Vertical edges, column by column.
  for (int32_t k = 0; k < 8; k++) {
    for (int32_t r = 0; r < 8; r++) {
      int32_t beta, tc[2];
      if (!luma_params(edges, k * 16 + 2 * r, qps[r * 8 + k], &beta, tc, true)) continue;
      uint8_t *pix = f->work[0] + (ctu_y * 64 + 8 * r) * f->stride[0] + ctu_x * 64 + 8 * k;
      ctx->deblock.deblock_luma_ver_edge(pix, f->stride[0], beta, tc);
    }
    if (k & 1) continue;  // chroma edges lie on the 8x8 chroma grid
    for (int32_t r = 0; r < 8; r++) {
      int32_t tc[2];
      if (!chroma_params(edges, k * 16 + 2 * r, qps[r * 8 + k], tc)) continue;
      const int32_t off = (ctu_y * 32 + 4 * r) * f->stride[1] + ctu_x * 32 + 4 * k;
      ctx->deblock.deblock_chroma_ver_edge(f->work[1] + off, f->work[2] + off, f->stride[1], tc);
    }
  }
  // The left CTU's last luma columns 60..63 and chroma columns 28..31: the
  // piece at 56..63 with only its second segment (the first was filtered).
  if (ctu_x > 0) {
    const int32_t left = addr - 1;
    const uint8_t *le = edge_map(ctx, left) + 128;
    const uint8_t *lq = qp_map(ctx, left);
    for (int32_t k = 0; k < 8; k++) {
      int32_t beta, tc[2];
      // Segment 15 alone: pass it as the first segment of a piece at 60..67
      // whose second half (the current CTU's columns 64..67) stays closed.
      const uint8_t pair[2] = {le[k * 16 + 15], NO_EDGE};
      if (luma_params(pair, 0, lq[64 + k * 8 + 7], &beta, tc, false)) {
        uint8_t *pix = f->work[0] + (ctu_y * 64 + 8 * k) * f->stride[0] + ctu_x * 64 - 4;
        ctx->deblock.deblock_luma_hor_edge(pix, f->stride[0], beta, tc);
      }
      if (k & 1) continue;
      if (chroma_params(le, k * 16 + 14, lq[64 + k * 8 + 7], tc)) {
        const int32_t off = (ctu_y * 32 + 4 * k) * f->stride[1] + ctu_x * 32 - 4;
        ctx->deblock.deblock_chroma_hor_edge(f->work[1] + off, f->work[2] + off, f->stride[1], tc);
      }
    }
  }
  // The current CTU's horizontal edges.
  if (ctu_x == ctx->ctu_cols - 1)
    horizontal_pieces(ctx, addr, ctu_x, ctu_y, 0, 7, true, 8);
  else
    horizontal_pieces(ctx, addr, ctu_x, ctu_y, 0, 7, false, 7);
}
