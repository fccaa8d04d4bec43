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

inline deblock_edge_map_t *edge_map(encoder_t *ctx, int32_t addr) { return ctx->deblock_edges + addr; }
// Edge QPs of the CTU column; without cu_qp_delta every CU has the slice QP
// and column 0's block serves all CTUs.
inline const deblock_qp_map_t *qp_map(const encoder_t *ctx, int32_t ctu_x) {
  return ctx->deblock_qps + (ctx->pps->cu_qp_delta_enabled ? ctu_x : 0);
}

// The 8x8 unit (x8, y8) of the current CTU (-1: the left or above CTU)
// lies in the picture.  Without slices or tiles a unit in the picture is
// available to deblocking.
inline bool unit_available(const encoder_t *ctx, int32_t x8, int32_t y8) {
  return ctx->ctu_x * 8 + x8 >= 0 && ctx->ctu_y * 8 + y8 >= 0;
}
// What the CTU record says of the 8x8 unit (x8, y8).
inline bool intra_at(const ctu_maps_t *m, int32_t x8, int32_t y8) { return m->pred_intra[map8_index(x8, y8)] == 1; }
// Leaf-size entry of the unit: half the leaf's extent in 4-sample segments.
inline int32_t unit_leaf(const encoder_t *ctx, int32_t x8, int32_t y8) {
  const frame_t *f = ctx->cur_recon;
  return f->units[(ctx->ctu_y * 8 + y8) * f->units_stride + ctx->ctu_x * 8 + x8].leaf_size;
}
// Coefficient flag of 4x4 quadrant q (z-order) of the unit.
inline bool coded_at(const ctu_maps_t *m, int32_t x8, int32_t y8, int32_t q) {
  return (m->flags[map8_index(x8, y8)] >> (4 + q)) & 1;
}
inline int32_t qp_at(const ctu_maps_t *m, int32_t x8, int32_t y8) { return m->qp[map8_index(x8, y8)]; }

// The decided coding tree: a CU node is split when its units belong to
// smaller CUs (an NxN CU is a leaf whose transform tree splits); a
// transform node when its units belong to smaller transform blocks.
inline bool cu_split(const ctu_maps_t *m, int32_t z, int32_t log2_size) {
  return log2_size > 3 && m->unit.cu_log2[z] < log2_size;
}
inline bool tu_split(const ctu_maps_t *m, int32_t z, int32_t log2_size) { return m->unit.tu_log2[z] < log2_size; }

void set_coded(ctu_maps_t *m, int32_t x8, int32_t y8, int32_t n8, uint8_t bits) {
  for (int32_t j = 0; j < n8; j++)
    for (int32_t i = 0; i < n8; i++) m->flags[map8_index(x8 + i, y8 + j)] |= bits;
}

deblock_motion_t unit_motion(const encoder_t *ctx, int32_t x8, int32_t y8) {
  deblock_motion_t m{};
  const int32_t u = map8_index(x8, y8);
  for (int32_t l = 0; l < 2; l++) {
    const int8_t r = ctx->maps->ref_idx[l][u];
    m.pic[l] = r >= 0 ? ctx->ref_list[l][r] : nullptr;
    m.mv[l] = ctx->maps->mv[l][u];
  }
  return m;
}

// One edge of an inter block: n segments from segment `first` of edge line
// `line` (vertical: bytes line * 16 + s, P left of Q; horizontal: 128 + ...,
// P above Q).
void mark_inter_edge(encoder_t *ctx, uint8_t *bytes, bool vertical, int32_t line, int32_t first, int32_t n,
                     bool transform_edge) {
  int32_t s = first;
  while (s < first + n) {
    const int32_t qx8 = vertical ? line : s >> 1, qy8 = vertical ? s >> 1 : line;
    const int32_t px8 = vertical ? qx8 - 1 : qx8, py8 = vertical ? qy8 : qy8 - 1;
    // A run never crosses a coding or transform leaf of either side, so its
    // first segment decides for all of it.
    // Beyond the picture's left or top edge only Q's leaf counts.
    const int32_t q_leaf = unit_leaf(ctx, qx8, qy8);
    const int32_t run = unit_available(ctx, px8, py8) ? std::min(q_leaf, unit_leaf(ctx, px8, py8)) : q_leaf;
    uint8_t *b = bytes + line * 16 + s;
    if (*b == EDGE_NONE) {
      const int32_t lower = s & 1;
      // The quadrants that adjoin the segment: Q's left (top) column or row,
      // P's right (bottom) one.
      const int32_t qq = vertical ? 2 * lower : lower, pq = vertical ? 2 * lower + 1 : lower + 2;
      uint8_t code;
      if (transform_edge && (coded_at(ctx->maps, qx8, qy8, qq) || coded_at(ctx->maps, px8, py8, pq)))
        code = EDGE_COEFFICIENTS;
      else
        code = deblock_motion_strength(unit_motion(ctx, px8, py8), unit_motion(ctx, qx8, qy8));
      std::memset(b, code, static_cast<size_t>(run));
    }
    s += run;
  }
}

}  // namespace

uint8_t deblock_motion_strength(const deblock_motion_t &p, const deblock_motion_t &q) {
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
  if (np != nq) return EDGE_MOTION;
  if (np == 1) return (pp[0] != qq[0] || far(pm[0], qm[0])) ? EDGE_MOTION : EDGE_UNFILTERED;
  // Two vectors on each side: the same two pictures, or filtered by motion.
  const bool same_set = (pp[0] == qq[0] && pp[1] == qq[1]) || (pp[0] == qq[1] && pp[1] == qq[0]);
  if (!same_set) return EDGE_MOTION;
  if (pp[0] != pp[1]) {
    // Two different pictures: compare the vectors that refer to the same one.
    if (pp[0] == qq[0]) return (far(pm[0], qm[0]) || far(pm[1], qm[1])) ? EDGE_MOTION : EDGE_UNFILTERED;
    return (far(pm[0], qm[1]) || far(pm[1], qm[0])) ? EDGE_MOTION : EDGE_UNFILTERED;
  }
  // Both vectors of both sides refer to one picture: either pairing may match.
  return ((far(pm[0], qm[0]) || far(pm[1], qm[1])) && (far(pm[0], qm[1]) || far(pm[1], qm[0]))) ? EDGE_MOTION
                                                                                               : EDGE_UNFILTERED;
}

void deblock_edge_strength(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int32_t w, int32_t h, int32_t edge_flags) {
  (void)z;
  uint8_t *e = edge_map(ctx, ctx->ctu_addr)->seg;
  uint8_t *left = e + (x >> 3) * 16 + (y >> 2), *top = e + 128 + (y >> 3) * 16 + (x >> 2);
  if (intra_at(ctx->maps, x >> 3, y >> 3)) {
    for (int32_t s = 0; s < h / 4; s++)
      if (left[s] == EDGE_NONE) left[s] = EDGE_INTRA_TRANSFORM;
    for (int32_t s = 0; s < w / 4; s++)
      if (top[s] == EDGE_NONE) top[s] = EDGE_INTRA_TRANSFORM;
    return;
  }
  mark_inter_edge(ctx, e, true, x >> 3, y >> 2, h / 4, edge_flags & 1);
  mark_inter_edge(ctx, e + 128, false, y >> 3, x >> 2, w / 4, (edge_flags >> 1) & 1);
}

void deblock_mark_tu_tree(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size) {
  const int32_t size = 1 << log2_size;
  const bool split = tu_split(ctx->maps, z, log2_size);
  if (split && log2_size >= 4) {
    const int32_t h = size / 2, q = 1 << (2 * (log2_size - 3));
    for (int32_t k = 0; k < 4; k++) deblock_mark_tu_tree(ctx, z + k * q, x + (k & 1) * h, y + (k >> 1) * h, log2_size - 1);
    return;
  }
  // The coefficient flags of the leaf's quadrants; the edges of 4x4
  // transform blocks lie off the 8x8 grid and are not filtered.
  if (split) {
    uint8_t bits = 0;
    for (int32_t k = 0; k < 4; k++)
      if (ctx->maps->unit.cbf[z + k] & 1) bits |= static_cast<uint8_t>(0x10 << k);
    set_coded(ctx->maps, x >> 3, y >> 3, 1, bits);
  } else if (ctx->maps->unit.cbf[z] & 1) {
    set_coded(ctx->maps, x >> 3, y >> 3, size >> 3, 0xf0);
  }
  deblock_edge_strength(ctx, z, x, y, size, size, 3);
}

void deblock_mark_cu_tree(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size) {
  const int32_t size = 1 << log2_size;
  if (cu_split(ctx->maps, z, log2_size)) {
    const int32_t h = size / 2, q = 1 << (2 * (log2_size - 3));
    const int32_t w_left = ctx->width - ctx->ctu_x * 64, h_left = ctx->height - ctx->ctu_y * 64;
    for (int32_t k = 0; k < 4; k++) {
      const int32_t cx = x + (k & 1) * h, cy = y + (k >> 1) * h;
      if (cx < w_left && cy < h_left) deblock_mark_cu_tree(ctx, z + k * q, cx, cy, log2_size - 1);
    }
    return;
  }
  uint8_t *e = edge_map(ctx, ctx->ctu_addr)->seg;
  const int32_t x8 = x >> 3, y8 = y >> 3, n8 = size >> 3;
  const bool intra = intra_at(ctx->maps, x8, y8);
  // CU boundaries with an intra CU on either side (H.265 8.7.2.4: bS 2).
  if (unit_available(ctx, x8 - 1, y8))
    for (int32_t j = 0; j < n8; j++)
      if (intra || intra_at(ctx->maps, x8 - 1, y8 + j)) std::memset(e + x8 * 16 + 2 * (y8 + j), EDGE_INTRA_CU, 2);
  if (unit_available(ctx, x8, y8 - 1))
    for (int32_t i = 0; i < n8; i++)
      if (intra || intra_at(ctx->maps, x8 + i, y8 - 1)) std::memset(e + 128 + y8 * 16 + 2 * (x8 + i), EDGE_INTRA_CU, 2);
  const int32_t part = unit_part_mode(ctx->maps, z);
  if (intra || part == 0 || log2_size < 4 || tu_split(ctx->maps, z, log2_size)) {
    deblock_mark_tu_tree(ctx, z, x, y, log2_size);
    return;
  }
  // An inter CU of two or four prediction units over one transform block:
  // the PU edges inside it are motion edges only.
  if (ctx->maps->unit.cbf[z] & 1) set_coded(ctx->maps, x8, y8, n8, 0xf0);
  const int32_t h = size / 2;
  if (part == 1) {
    deblock_edge_strength(ctx, z, x, y, size, h, 3);
    deblock_edge_strength(ctx, z, x, y + h, size, h, 1);
  } else if (part == 2) {
    deblock_edge_strength(ctx, z, x, y, h, size, 3);
    deblock_edge_strength(ctx, z, x + h, y, h, size, 2);
  } else {
    deblock_edge_strength(ctx, z, x, y, h, h, 3);
    deblock_edge_strength(ctx, z, x + h, y, h, h, 2);
    deblock_edge_strength(ctx, z, x, y + h, h, h, 1);
    deblock_edge_strength(ctx, z, x + h, y + h, h, h, 0);
  }
}


void deblock_ctu_prepare(encoder_t *ctx) {
  // Edge QPs: the mean of the two sides' QpY (H.265 8.7.2.5.3).
  if (ctx->pps->cu_qp_delta_enabled) {
    int8_t *q = ctx->deblock_qps[ctx->ctu_x].qp;
    for (int32_t r = 0; r < 8; r++)
      for (int32_t c = 0; c < 8; c++) {
        const int32_t here = qp_at(ctx->maps, c, r);
        q[r * 8 + c] = static_cast<int8_t>((here + qp_at(ctx->maps, c - 1, r) + 1) >> 1);
        q[64 + r * 8 + c] = static_cast<int8_t>((here + qp_at(ctx->maps, c, r - 1) + 1) >> 1);
      }
  } else if (ctx->ctu_addr == 0) {
    // Written once per picture: later CTU rows run beside rows still
    // reading it.
    std::memset(ctx->deblock_qps[0].qp, qp_at(ctx->maps, 0, 0), sizeof(deblock_qp_map_t));
  }
  uint8_t *e = edge_map(ctx, ctx->ctu_addr)->seg;
  std::memset(e, EDGE_NONE, sizeof(deblock_edge_map_t));
  // CTU boundaries towards the picture edge are never filtered.
  if (!unit_available(ctx, -1, 0)) std::memset(e, EDGE_UNFILTERED, 16);
  if (!unit_available(ctx, 0, -1)) std::memset(e + 128, EDGE_UNFILTERED, 16);
  deblock_mark_cu_tree(ctx, 0, 0, 0, 6);
  // The coefficient flags serve the CTUs right of and below this one.
  const int32_t w8 = std::min(8, (ctx->width - ctx->ctu_x * 64) >> 3), h8 = std::min(8, (ctx->height - ctx->ctu_y * 64) >> 3);
  frame_t *f = ctx->cur_recon;
  for (int32_t y8 = 0; y8 < h8; y8++)
    for (int32_t x8 = 0; x8 < w8; x8++)
      f->units[(ctx->ctu_y * 8 + y8) * f->units_stride + ctx->ctu_x * 8 + x8].flags |=
          ctx->maps->flags[map8_index(x8, y8)] & 0xf0;
}

namespace {

// Luma piece of 8 lines: returns false when nothing can change.
bool luma_params(const uint8_t *edges, int32_t first, int32_t qp, int32_t *beta, int32_t tc[2], bool second_open) {
  const int8_t b0 = static_cast<int8_t>(edges[first]), b1 = static_cast<int8_t>(edges[first + 1]);
  if ((b0 < 1 && (b1 < 1 || !second_open)) || qp < 16) return false;
  *beta = deblock_beta_table[qp];
  // Codes 3 and 4 are bS 2, which filters with tC' two QPs higher.
  tc[0] = b0 >= 1 ? deblock_tc_table[std::min(53, qp + (b0 >= 3 ? 2 : 0))] : -1;
  tc[1] = (second_open && b1 >= 1) ? deblock_tc_table[std::min(53, qp + (b1 >= 3 ? 2 : 0))] : -1;
  return true;
}

// Chroma piece of 4 chroma lines: intra edges only (bS 2).
bool chroma_params(const uint8_t *edges, int32_t first, int32_t qp, int32_t tc[2]) {
  if (edges[first] != EDGE_INTRA_TRANSFORM && edges[first] != EDGE_INTRA_CU) return false;
  const int32_t qpc = chroma_qp(std::clamp(qp, 0, 57));
  if (qpc + 2 < 18) return false;
  tc[0] = tc[1] = deblock_tc_table[std::min(53, qpc + 2)];
  return true;
}

void horizontal_pieces(encoder_t *ctx, int32_t addr, int32_t cx, int32_t cy, int32_t first_piece, int32_t last_piece,
                       bool last_second_open, int32_t chroma_pieces) {
  const frame_t *f = ctx->cur_recon;
  const uint8_t *edges = edge_map(ctx, addr)->seg + 128;
  const int8_t *qps = qp_map(ctx, cx)->qp;
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
  const uint8_t *edges = edge_map(ctx, addr)->seg;
  const int8_t *qps = qp_map(ctx, ctu_x)->qp;
  // Vertical edges, column by column; every edge lies on a multiple of the
  // CTU's smallest block, so the columns between hold none.
  const int32_t step = std::max(1, ctx->smallest_block / 8);
  for (int32_t k = 0; k < 8; k += step) {
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
    const uint8_t *le = edge_map(ctx, left)->seg + 128;
    const int8_t *lq = qp_map(ctx, ctu_x - 1)->qp;
    for (int32_t k = 0; k < 8; k++) {
      int32_t beta, tc[2];
      // Segment 15 alone: pass it as the first segment of a piece at 60..67
      // whose second half (the current CTU's columns 64..67) stays closed.
      const uint8_t pair[2] = {le[k * 16 + 15], EDGE_NONE};
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
