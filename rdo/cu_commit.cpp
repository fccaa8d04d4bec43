#include "rdo/cu_commit.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "analysis/decision_common.h"
#include "motion/mvp.h"
#include "rdo/rd_cost.h"

namespace {

// Transform leaves of the units below a leaf CU.
void fill_tu_sizes(encoder_t *ctx, const cu_node_t *nodes, int32_t z, int32_t log2_size) {
  if (log2_size > 5 || (log2_size > 2 && nodes[node_index(z, log2_size)].tu_split)) {
    const int32_t q = child_step(log2_size);
    for (int32_t k = 0; k < 4; k++) fill_tu_sizes(ctx, nodes, z + k * q, log2_size - 1);
    return;
  }
  fill_units(ctx->maps->unit.tu_log2, z, log2_size, static_cast<uint8_t>(log2_size));
}

// A W x H block of 8x8-unit map entries from `first`: each row one store of
// its width (the CU's size fixes the widths, so the commit of a CU takes
// them once instead of dispatching on them per map).
template <int32_t W, int32_t H>
inline void fill8(uint8_t *first, uint8_t value) {
  const uint64_t bytes = 0x0101010101010101ull * value;
  for (int32_t j = 0; j < H; j++) std::memcpy(first + MAP8_STRIDE * j, &bytes, W);
}
template <int32_t W, int32_t H>
inline void fill32(mv_t *first, mv_t value) {
  for (int32_t j = 0; j < H; j++)
    for (int32_t i = 0; i < W; i++) first[MAP8_STRIDE * j + i] = value;
}

template <int32_t W, int32_t H>
void commit_pu(ctu_maps_t *m, int32_t p, uint8_t merge, uint8_t merge_idx, const int8_t ref[2], const mv_t mv[2]) {
  fill8<W, H>(m->merge_flag + p, merge);
  if (merge) fill8<W, H>(m->merge_idx + p, merge_idx);
  for (int32_t l = 0; l < 2; l++) {
    fill8<W, H>(reinterpret_cast<uint8_t *>(m->ref_idx[l]) + p, static_cast<uint8_t>(ref[l]));
    if (l == 0 || ref[1] >= 0) fill32<W, H>(m->mv[l] + p, mv[l]);
  }
}

// Bit 0 of the flags of the W x W units from p: the skip flag.
template <int32_t W>
void commit_skip(ctu_maps_t *m, uint32_t skip, int32_t p) {
  const uint64_t keep = 0xfefefefefefefefeull, set = 0x0101010101010101ull * (skip & 1);
  for (int32_t j = 0; j < W; j++) {
    uint8_t *row = m->flags + p + MAP8_STRIDE * j;
    uint64_t v = 0;
    std::memcpy(&v, row, W);
    v = (v & keep) | set;
    std::memcpy(row, &v, W);
  }
}

// The skip flag, merge index and prediction units of an inter CU, over
// its W x W 8x8 units from p.
template <int32_t W>
void commit_motion(ctu_maps_t *m, const cu_node_t *node, int32_t p) {
  commit_skip<W>(m, node->skip, p);
  if (node->skip) fill8<W, W>(m->merge_idx + p, static_cast<uint8_t>(node->merge_idx));
  if (node->part_mode == 0) {
    const pu_single_t &pu = node->pu.p2n;
    commit_pu<W, W>(m, p, pu.merge_flag && !node->skip ? 1 : 0, pu.merge_idx, pu.ref_idx, pu.mv);
    return;
  }
  // An 8x8 CU's two units share its one map entry; the second is kept.
  constexpr int32_t HALF = W > 1 ? W / 2 : 1;
  const pu_pair_t &pp = node->part_mode == 1 ? node->pu.p2nxn : node->pu.pnx2n;
  for (int32_t k = 0; k < 2; k++) {
    if (node->part_mode == 1)
      commit_pu<W, HALF>(m, p + (k ? MAP8_STRIDE * (W >> 1) : 0), pp.merge_flag[k], pp.merge_idx[k], pp.ref_idx[k],
                         pp.mv[k]);
    else
      commit_pu<HALF, W>(m, p + (k ? W >> 1 : 0), pp.merge_flag[k], pp.merge_idx[k], pp.ref_idx[k], pp.mv[k]);
  }
}

// The 8x8-unit maps of a leaf CU of W x W units from p.
template <int32_t W>
void commit_leaf_maps(ctu_maps_t *m, const cu_node_t *node, int32_t p, int32_t log2_size) {
  fill8<W, W>(m->depth + p, static_cast<uint8_t>(6 - log2_size));
  fill8<W, W>(reinterpret_cast<uint8_t *>(m->qp) + p, static_cast<uint8_t>(node->qp));
  fill8<W, W>(m->pred_intra + p, static_cast<uint8_t>(node->pred_intra));
  if (!node->pred_intra) {
    commit_motion<W>(m, node, p);
    return;
  }
  fill8<W, W>(reinterpret_cast<uint8_t *>(m->ref_idx[0]) + p, static_cast<uint8_t>(-2));
  fill8<W, W>(reinterpret_cast<uint8_t *>(m->ref_idx[1]) + p, static_cast<uint8_t>(-2));
  fill8<W, W>(m->merge_flag + p, 0);
  commit_skip<W>(m, 0, p);
}

// The CU's width in 8x8 units (1 for 8x8 and below) picks the widths.
template <class F>
void by_width(int32_t w8, F f) {
  switch (w8) {
    case 1: f(std::integral_constant<int32_t, 1>{}); break;
    case 2: f(std::integral_constant<int32_t, 2>{}); break;
    case 4: f(std::integral_constant<int32_t, 4>{}); break;
    default: f(std::integral_constant<int32_t, 8>{}); break;
  }
}

// Rows of n4 bytes of a 4x4-unit map, each row one fixed-width store.
template <int32_t N4>
void fill_map4(uint8_t *first, uint8_t v) {
  uint8_t row[N4];
  std::memset(row, v, N4);
  for (int32_t r = 0; r < N4; r++) std::memcpy(first + r * MAP4_STRIDE, row, N4);
}

void set_luma_dir(encoder_t *ctx, int32_t z, int32_t log2_size, int32_t mode) {
  uint8_t *first = reinterpret_cast<uint8_t *>(ctx->maps->intra_dir) + map4_index(zorder_x(z), zorder_y(z));
  const uint8_t v = static_cast<uint8_t>(mode);
  switch (log2_size) {
    case 2: fill_map4<1>(first, v); break;
    case 3: fill_map4<2>(first, v); break;
    case 4: fill_map4<4>(first, v); break;
    case 5: fill_map4<8>(first, v); break;
    default: fill_map4<16>(first, v); break;
  }
  fill_units(ctx->maps->unit.luma_mode, z, log2_size, static_cast<uint8_t>(mode < 0 ? 1 : mode));
}

void set_chroma_dir(encoder_t *ctx, int32_t z, int32_t log2_size, int32_t mode) {
  const int32_t n8 = log2_size > 3 ? 1 << (log2_size - 3) : 1;
  const int32_t x8 = zorder_x(z) >> 1, y8 = zorder_y(z) >> 1;
  for (int32_t j = 0; j < n8; j++)
    for (int32_t i = 0; i < n8; i++) ctx->maps->intra_dir[chroma_dir_index(x8 + i, y8 + j)] = static_cast<int8_t>(mode);
  const int32_t first = log2_size >= 3 ? z : z & ~3;
  fill_units(ctx->maps->unit.chroma_syntax, first, std::max(log2_size, 3), static_cast<uint8_t>(mode));
}

}  // namespace

void cu_commit_transform_sizes(encoder_t *ctx, const cu_node_t *nodes, int32_t z, int32_t log2_size) {
  fill_tu_sizes(ctx, nodes, z, log2_size);
}

void cu_reload_transform_flags(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t log2_size) {
  const int32_t n = node_index(z, log2_size);
  const ctu_maps_t *m = ctx->maps;
  nodes[n].tu_split = static_cast<int8_t>(m->tu_split[n]);
  nodes[n].residual_mode = m->residual_mode[n];
  // The same descent as fill_tu_sizes: a 64x64 block is always four.
  if (log2_size > 5 || (log2_size > 2 && nodes[n].tu_split)) {
    const int32_t q = child_step(log2_size);
    for (int32_t k = 0; k < 4; k++) cu_reload_transform_flags(ctx, nodes, z + k * q, log2_size - 1);
  }
}

void cu_commit_luma_dir(encoder_t *ctx, const cu_node_t *node, int32_t z, int32_t log2_size) {
  set_luma_dir(ctx, z, log2_size, node->luma_dir);
}

void cu_commit_rough_luma_dir(encoder_t *ctx, const cu_node_t *node, int32_t z) {
  ctx->maps->intra_dir[map4_index(zorder_x(z), zorder_y(z))] = static_cast<int8_t>(node->luma_dir);
}

void cu_commit_chroma_dir(encoder_t *ctx, const cu_node_t *node, int32_t z, int32_t log2_size) {
  set_chroma_dir(ctx, z, log2_size, node->chroma_dir);
}

void cu_commit_pu_trial(encoder_t *ctx, int32_t x, int32_t y, int32_t w, int32_t h, int32_t merge, int32_t merge_idx,
                        const int8_t ref[2], const mv_t mv[2]) {
  ctu_maps_t *m = ctx->maps;
  for (int32_t y8 = y >> 3; y8 < (y + h) >> 3; y8++)
    for (int32_t x8 = x >> 3; x8 < (x + w) >> 3; x8++) {
      const int32_t u = map8_index(x8, y8);
      m->pred_intra[u] = 0;
      m->merge_flag[u] = static_cast<uint8_t>(merge);
      m->merge_idx[u] = static_cast<uint8_t>(merge_idx);
      for (int32_t l = 0; l < 2; l++) {
        m->ref_idx[l][u] = ref[l];
        if (ref[l] >= 0) m->mv[l][u] = mv[l];
      }
    }
}

void cu_commit_search_ref(encoder_t *ctx, int32_t x, int32_t y, int32_t n8, int32_t list, int32_t ref) {
  ctu_map8_fill(reinterpret_cast<uint8_t *>(ctx->maps->ref_idx[list]) + map8_index(x >> 3, y >> 3), n8, n8,
                static_cast<uint8_t>(ref));
}

void cu_commit_depth(encoder_t *ctx, int32_t z, int32_t log2_size) {
  const int32_t p = map8_of_z(z);
  if (log2_size >= 3) {
    const int32_t w8 = 1 << (log2_size - 3);
    ctu_map8_fill(ctx->maps->depth + p, w8, w8, static_cast<uint8_t>(6 - log2_size));
  } else if ((z & 3) == 0) {
    ctx->maps->depth[p] = 3;
  }
}

void cu_commit_cbf(encoder_t *ctx, int32_t z, int32_t log2_size, uint8_t cbf) {
  ctx->maps->cbf[node_index(z, log2_size)] = cbf;
}

void cu_commit_children_cbf(encoder_t *ctx, int32_t z, int32_t log2_size, uint32_t kids) {
  const int32_t first = node_index(z, log2_size - 1);
  uint8_t cbf = 0;
  for (int32_t k = 0; k < 4; k++)
    if (kids & (1u << k)) cbf |= ctx->maps->cbf[first + k];
  ctx->maps->cbf[node_index(z, log2_size)] = cbf;
}

void cu_commit_split(encoder_t *ctx, int32_t z, int32_t log2_size, uint32_t kids) {
  ctx->maps->cu_split[node_index(z, log2_size)] = 1;
  cu_commit_children_cbf(ctx, z, log2_size, kids);
}

void cu_commit_part_mode(encoder_t *ctx, const cu_node_t *node, int32_t z, int32_t log2_size) {
  ctx->maps->part_mode[node_index(z, log2_size)] = node->part_mode;
}

void cu_commit_no_residual(encoder_t *ctx, const cu_node_t *node, int32_t z, int32_t log2_size) {
  const int32_t n = node_index(z, log2_size);
  ctx->maps->residual_mode[n] = node->residual_mode;
  fill_units(ctx->maps->unit.cbf, z, log2_size, 0);
  ctx->maps->cbf[n] = 0;
}

void cu_commit_transform_flags(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y,
                               int32_t log2_size) {
  const int32_t n = node_index(z, log2_size);
  ctu_maps_t *m = ctx->maps;
  m->cu_split[n] = 0;
  m->tu_split[n] = static_cast<uint32_t>(static_cast<int32_t>(nodes[n].tu_split));
  m->residual_mode[n] = nodes[n].residual_mode;
  if (log2_size > 2 && nodes[n].tu_split) {
    const int32_t h = 1 << (log2_size - 1), q = child_step(log2_size);
    for (int32_t k = 0; k < 4; k++)
      cu_commit_transform_flags(ctx, nodes, z + k * q, x + (k & 1) * h, y + (k >> 1) * h, log2_size - 1);
  }
}

void cu_commit(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size) {
  const int32_t n = node_index(z, log2_size);
  cu_node_t *node = nodes + n;
  ctu_maps_t *m = ctx->maps;
  ctu_unit_maps_t *d = &ctx->maps->unit;
  const int32_t w_left = ctx->width - ctx->ctu_x * 64, h_left = ctx->height - ctx->ctu_y * 64;
  uint32_t t = 0;
  if (node->split) {
    const int32_t h = 1 << (log2_size - 1), q = child_step(log2_size);
    const bool right = x + h < w_left, below = y + h < h_left;
    cu_commit(ctx, nodes, z, x, y, log2_size - 1);
    if (right) cu_commit(ctx, nodes, z + q, x + h, y, log2_size - 1);
    if (below) cu_commit(ctx, nodes, z + 2 * q, x, y + h, log2_size - 1);
    if (right && below) cu_commit(ctx, nodes, z + 3 * q, x + h, y + h, log2_size - 1);
    t = static_cast<uint32_t>(static_cast<int32_t>(node->tu_split));
  } else {
    set_luma_dir(ctx, z, log2_size, node->pred_intra ? node->luma_dir : -1);
    if (node->pred_intra && (log2_size > 2 || (z & 3) == 3)) set_chroma_dir(ctx, z, log2_size, node->chroma_dir);
    if (node->tu_split) {
      cu_commit_transform_flags(ctx, nodes, z, x, y, log2_size);
      t = static_cast<uint32_t>(static_cast<int32_t>(node->tu_split));
    }
  }
  const bool nxn = node->split && log2_size == min_cb_log2(ctx);
  if (nxn) {
    node->part_mode = 3;
    m->cu_split[n] = 0;
    m->tu_split[n] = 1;
    m->residual_mode[n] = node->residual_mode;
  } else if (node->split) {
    m->cu_split[n] = 1;
    m->tu_split[n] = t;
    m->residual_mode[n] = node->residual_mode;
    return;
  } else {
    m->cu_split[n] = 0;
    m->tu_split[n] = t;
    m->residual_mode[n] = node->residual_mode;
  }
  if (log2_size < min_cb_log2(ctx)) return;
  m->part_mode[n] = node->part_mode;
  if (log2_size < 6) {
    const int32_t parent = node_index(z, log2_size + 1);
    if (nodes[parent].split != 1) return;
  }

  // The per-unit decision read by the coders and the syntax writer.
  fill_units(d->cu_log2, z, log2_size, static_cast<uint8_t>(log2_size));
  fill_units(d->part_nxn, z, log2_size, nxn ? 1 : 0);
  if (nxn)
    fill_units(d->tu_log2, z, log2_size, 2);
  else
    fill_tu_sizes(ctx, nodes, z, log2_size);

  const int32_t p = map8_of_z(z);
  by_width(1 << (log2_size - 3), [&](auto w) { commit_leaf_maps<w()>(m, node, p, log2_size); });
}

void cu_commit_motion(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t log2_size) {
  if (log2_size < 6 && nodes[node_index(z, log2_size + 1)].split != 1) return;
  const cu_node_t *node = nodes + node_index(z, log2_size);
  by_width(1 << (log2_size - 3), [&](auto w) { commit_motion<w()>(ctx->maps, node, map8_of_z(z)); });
}

void cu_commit_skip_flag(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t log2_size) {
  if (log2_size < 6 && nodes[node_index(z, log2_size + 1)].split != 1) return;
  const cu_node_t *node = nodes + node_index(z, log2_size);
  const pu_single_t &pu = node->pu.p2n;
  const int32_t p = map8_of_z(z), w8 = 1 << (log2_size - 3);
  // The merge index map holds the skip's index, or the merged unit's: the
  // same one.
  const bool motion = node->part_mode != 0 || !pu.merge_flag || pu.merge_idx != node->merge_idx;
  by_width(w8, [&](auto w) {
    if (motion) {
      commit_motion<w()>(ctx->maps, node, p);
      return;
    }
    commit_skip<w()>(ctx->maps, node->skip, p);
    fill8<w(), w()>(ctx->maps->merge_flag + p, node->skip ? 0 : 1);
  });
}
