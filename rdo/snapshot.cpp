// Per-depth snapshots of a CU trial, so that the decision can put the
// better trial back instead of coding it again.
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "analysis/decision_common.h"
#include "common/memory.h"
#include "rdo/block_coding.h"
#include "rdo/cu_commit.h"
#include "rdo/rd_cost.h"

// The transform flags of a CU's subtree as the record holds them: per-node
// arrays (the subtree level by level) and per-unit maps.
struct tree_flags_t {
  uint32_t *tu_split;
  uint8_t *residual_mode, *cbf;
  uint8_t *unit_tu_log2, *unit_cbf;
};

// The snapshot of one depth.  Its arrays are carved from one block for all
// depths and hold a CU of that depth and no more; the per-node arrays hold
// the CU's subtree level by level.
struct cu_snapshot_t {
  uint8_t *rec_y, *rec_c[2];
  uint8_t *units[6];
  int16_t *coef_y, *coef_c[2];
  uint8_t *map8[9];
  mv_t *mv8[2];
  int8_t *dir4, *cdir;
  uint32_t *cu_split, *tu_split, *part_mode;
  uint8_t *residual_mode, *cbf;
  tree_flags_t tree;  // the transform-tree slot of the depth
  cabac_t cabac;
  // What a kept trial's coding read besides the CU's maps (cu_trial_keep):
  // the states it started from and the quantiser's parameters.
  cabac_est_t start;
  const frame_t *picture;
  int32_t frame_number, ctu_x, ctu_y, z, qp, rdoq_alt;
  uint32_t ctu_lambda;
  bool kept;
};

namespace {

constexpr int32_t SNAPSHOT_DEPTHS = 5;
constexpr int32_t SNAPSHOT_RECORDS = SNAPSHOT_DEPTHS * (1 + TRIAL_LUMA);

uint8_t *unit_array(ctu_unit_maps_t *d, int32_t i) {
  uint8_t *a[6] = {d->cu_log2, d->part_nxn, d->luma_mode, d->chroma_syntax, d->tu_log2, d->cbf};
  return a[i];
}
uint8_t *map8_array(ctu_maps_t *m, int32_t i) {
  uint8_t *a[9] = {m->flags, m->depth, m->deblock_flags, reinterpret_cast<uint8_t *>(m->qp), m->pred_intra,
                   m->merge_flag, m->merge_idx, reinterpret_cast<uint8_t *>(m->ref_idx[0]),
                   reinterpret_cast<uint8_t *>(m->ref_idx[1])};
  return a[i];
}

template <bool save>
inline void move(void *snap, void *live, size_t n) {
  if (save)
    std::memcpy(snap, live, n);
  else
    std::memcpy(live, snap, n);
}

// Calls f(first node, count, k) for every level of the subtree of the node,
// k counting the subtree's nodes before the level.
template <class F>
void for_subtree(int32_t z, int32_t log2_size, F f) {
  for (int32_t s = log2_size, count = 1, k = 0; s >= 2; k += count, s--, count *= 4) f(node_index(z, s), count, k);
}

// Nodes of the subtree of a block of log2 size s.
constexpr size_t subtree_nodes(int32_t log2_size) { return log2_size < 2 ? 0 : 1 + 4 * subtree_nodes(log2_size - 1); }

// Places the arrays of the depth's snapshot at `base` + offset and returns
// the bytes they take (with a null base it only measures).
size_t carve(cu_snapshot_t *s, uint8_t *base, int32_t depth) {
  const size_t n = static_cast<size_t>(64) >> depth, units = n * n / 16, n8 = n >= 8 ? n / 8 : 1, n4 = n / 4;
  const size_t nodes = subtree_nodes(6 - depth);
  size_t at = 0;
  auto take = [&](auto *&p, size_t count) {
    using T = std::remove_reference_t<decltype(*p)>;
    at = (at + 31) & ~static_cast<size_t>(31);
    p = base ? reinterpret_cast<T *>(base + at) : nullptr;
    at += count * sizeof(T);
  };
  take(s->rec_y, n * n);
  for (auto *&c : s->rec_c) take(c, n * n / 4);
  for (auto *&u : s->units) take(u, units);
  take(s->coef_y, n * n);
  for (auto *&c : s->coef_c) take(c, n * n / 4);
  for (auto *&m : s->map8) take(m, n8 * n8);
  for (auto *&v : s->mv8) take(v, n8 * n8);
  take(s->dir4, n4 * n4);
  take(s->cdir, n8 * n8);
  take(s->cu_split, nodes);
  take(s->tu_split, nodes);
  take(s->part_mode, nodes);
  take(s->residual_mode, nodes);
  take(s->cbf, nodes);
  take(s->tree.tu_split, nodes);
  take(s->tree.residual_mode, nodes);
  take(s->tree.cbf, nodes);
  take(s->tree.unit_tu_log2, units);
  take(s->tree.unit_cbf, units);
  return (at + 31) & ~static_cast<size_t>(31);
}

template <bool save>
void tree_copy(encoder_t *ctx, cu_node_t *nodes, tree_flags_t *t, int32_t z, int32_t log2_size) {
  ctu_maps_t *m = ctx->maps;
  for_subtree(z, log2_size, [&](int32_t first, int32_t count, int32_t k) {
    move<save>(t->tu_split + k, m->tu_split + first, sizeof(uint32_t) * count);
    move<save>(t->residual_mode + k, m->residual_mode + first, static_cast<size_t>(count));
    move<save>(t->cbf + k, m->cbf + first, static_cast<size_t>(count));
  });
  const size_t units = static_cast<size_t>(1) << (2 * (log2_size - 2));
  move<save>(t->unit_tu_log2, m->unit.tu_log2 + z, units);
  move<save>(t->unit_cbf, m->unit.cbf + z, units);
  // The nodes follow the record they were committed to.
  if (!save) cu_reload_transform_flags(ctx, nodes, z, log2_size);
}

// One body per CU size, so that every row and run has a constant length
// and is copied inline rather than through a library call each.
template <bool save, int LOG2>
void snapshot_copy_of_size(encoder_t *ctx, cu_node_t *nodes, cu_snapshot_t *s, int32_t z) {
  constexpr int32_t log2_size = LOG2, n = 1 << LOG2;
  const int32_t x = 4 * zorder_x(z), y = 4 * zorder_y(z);
  const size_t units = static_cast<size_t>(n) * n / 16;
  for (int32_t r = 0; r < n; r++) move<save>(s->rec_y + r * n, ctu_rec_at(ctx, 0, x, y + r), n);
  for (int32_t p = 0; p < 2; p++)
    for (int32_t r = 0; r < n / 2; r++)
      move<save>(s->rec_c[p] + r * n / 2, ctu_rec_at(ctx, p + 1, x / 2, y / 2 + r), n / 2);
  ctu_unit_maps_t *d = &ctx->maps->unit;
  for (int32_t i = 0; i < 6; i++) move<save>(s->units[i], unit_array(d, i) + z, units);
  move<save>(s->coef_y, d->coef_y + 16 * z, sizeof(int16_t) * n * n);
  for (int32_t p = 0; p < 2; p++) move<save>(s->coef_c[p], d->coef_c[p] + 4 * z, sizeof(int16_t) * n * n / 4);
  ctu_maps_t *m = ctx->maps;
  constexpr int32_t n8 = n >= 8 ? n / 8 : 1, n4 = n / 4;
  // Each row of the CU's 8x8 units is one run in every map.
  for (int32_t j = 0; j < n8; j++) {
    const int32_t u = map8_index(x >> 3, (y >> 3) + j), k = j * n8;
    for (int32_t a = 0; a < 9; a++) move<save>(&s->map8[a][k], map8_array(m, a) + u, static_cast<size_t>(n8));
    for (int32_t l = 0; l < 2; l++) move<save>(&s->mv8[l][k], &m->mv[l][u], sizeof(mv_t) * n8);
    move<save>(&s->cdir[k], &m->intra_dir[chroma_dir_index(x >> 3, (y >> 3) + j)], static_cast<size_t>(n8));
  }
  for (int32_t j = 0; j < n4; j++) move<save>(s->dir4 + j * n4, &m->intra_dir[map4_index(x >> 2, (y >> 2) + j)], n4);
  for_subtree(z, log2_size, [&](int32_t first, int32_t count, int32_t k) {
    move<save>(s->cu_split + k, m->cu_split + first, sizeof(uint32_t) * count);
    move<save>(s->tu_split + k, m->tu_split + first, sizeof(uint32_t) * count);
    move<save>(s->part_mode + k, m->part_mode + first, sizeof(uint32_t) * count);
    move<save>(s->residual_mode + k, m->residual_mode + first, static_cast<size_t>(count));
    move<save>(s->cbf + k, m->cbf + first, static_cast<size_t>(count));
  });
  move<save>(&s->cabac, &ctx->cabac, sizeof(cabac_t));
  // The transform flags are the record's, in the runs above; the nodes,
  // which the next commit reads, follow the record put back.
  if (!save) cu_reload_transform_flags(ctx, nodes, z, log2_size);
}

template <bool save>
void snapshot_copy(encoder_t *ctx, cu_node_t *nodes, cu_snapshot_t *s, int32_t z, int32_t log2_size) {
  switch (log2_size) {
    case 2: return snapshot_copy_of_size<save, 2>(ctx, nodes, s, z);
    case 3: return snapshot_copy_of_size<save, 3>(ctx, nodes, s, z);
    case 4: return snapshot_copy_of_size<save, 4>(ctx, nodes, s, z);
    case 5: return snapshot_copy_of_size<save, 5>(ctx, nodes, s, z);
    default: return snapshot_copy_of_size<save, 6>(ctx, nodes, s, z);
  }
}

cu_snapshot_t *trial_slot(encoder_t *ctx, int32_t log2_size, int32_t slot) {
  return ctx->snapshots + SNAPSHOT_DEPTHS * slot + (6 - log2_size);
}

// Whether coding the CU at z with one unsplit transform block per plane,
// over the prediction its committed motion makes, from the live states,
// gives exactly what the slot's kept trial gave.
bool trial_repeats(encoder_t *ctx, const cu_snapshot_t *s, int32_t z, int32_t log2_size) {
  const ctu_maps_t *m = ctx->maps;
  const cabac_est_t &est = ctx->cabac.est;
  // The same CU coded with one unsplit transform block per plane...
  if (log2_size > 5 || !s->kept || s->picture != ctx->cur_input || s->frame_number != ctx->cur_input->frame_number ||
      s->ctu_x != ctx->ctu_x || s->ctu_y != ctx->ctu_y || s->z != z || s->units[4][0] != log2_size ||
      m->unit.tu_log2[z] != log2_size)
    return false;
  // ...at the same QP, lambda and quantiser...
  if (s->qp != unit_qp(m, z) || s->rdoq_alt != ctx->use_rdoq_alt || s->ctu_lambda != ctx->ctu_lambda_ssd) return false;
  // ...from the same states (the transform split flag's contexts, which
  // the search codes first, are read by no block)...
  constexpr int32_t flag_ctx = CTX_SPLIT_TRANSFORM, after_flag = CTX_SPLIT_TRANSFORM + 3;
  if (std::memcmp(s->start.state, est.state, flag_ctx) ||
      std::memcmp(s->start.state + after_flag, est.state + after_flag, CABAC_NUM_CTX + 4 - after_flag))
    return false;
  // ...and the same prediction: the same partition and motion in every
  // 8x8 unit.
  const int32_t n8 = std::max((1 << log2_size) / 8, 1);
  const int32_t x = 4 * zorder_x(z), y = 4 * zorder_y(z);
  if (s->part_mode[0] != m->part_mode[node_index(z, log2_size)]) return false;
  for (int32_t j = 0; j < n8; j++) {
    const int32_t u = map8_index(x >> 3, (y >> 3) + j), k = j * n8;
    if (std::memcmp(&s->map8[4][k], m->pred_intra + u, static_cast<size_t>(n8)) ||
        std::memcmp(&s->map8[7][k], m->ref_idx[0] + u, static_cast<size_t>(n8)) ||
        std::memcmp(&s->map8[8][k], m->ref_idx[1] + u, static_cast<size_t>(n8)))
      return false;
    for (int32_t l = 0; l < 2; l++)
      if (std::memcmp(&s->mv8[l][k], &m->mv[l][u], sizeof(mv_t) * n8)) return false;
  }
  return true;
}

}  // namespace

void cu_snapshot_save(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t y, int32_t log2_size) {
  (void)y;
  snapshot_copy<true>(ctx, nodes, ctx->snapshots + (6 - log2_size), z, log2_size);
}

void cu_snapshot_restore(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t y, int32_t log2_size) {
  (void)y;
  snapshot_copy<false>(ctx, nodes, ctx->snapshots + (6 - log2_size), z, log2_size);
}

void transform_tree_save(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t log2_size, int32_t slot) {
  tree_copy<true>(ctx, nodes, &ctx->snapshots[slot].tree, z, log2_size);
}

void transform_tree_restore(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t log2_size, int32_t slot) {
  tree_copy<false>(ctx, nodes, &ctx->snapshots[slot].tree, z, log2_size);
}

void cu_trial_save(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t log2_size, int32_t slot) {
  snapshot_copy<true>(ctx, nodes, trial_slot(ctx, log2_size, slot), z, log2_size);
}

void cu_trial_restore(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t log2_size, int32_t slot) {
  snapshot_copy<false>(ctx, nodes, trial_slot(ctx, log2_size, slot), z, log2_size);
}

void cu_trial_keep(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t log2_size, int32_t slot,
                   const cabac_est_t &start) {
  cu_snapshot_t *s = trial_slot(ctx, log2_size, slot);
  snapshot_copy<true>(ctx, nodes, s, z, log2_size);
  s->start = start;
  s->picture = ctx->cur_input;
  s->frame_number = ctx->cur_input->frame_number;
  s->ctu_x = ctx->ctu_x;
  s->ctu_y = ctx->ctu_y;
  s->z = z;
  s->qp = unit_qp(ctx->maps, z);
  s->rdoq_alt = ctx->use_rdoq_alt;
  s->ctu_lambda = ctx->ctu_lambda_ssd;
  s->kept = true;
}

void cu_trial_forget(encoder_t *ctx, int32_t log2_size, int32_t slot) {
  trial_slot(ctx, log2_size, slot)->kept = false;
}

bool cu_trial_residual_kept(encoder_t *ctx, int32_t z, int32_t log2_size, int32_t slot) {
  return log2_size <= 5 && trial_repeats(ctx, trial_slot(ctx, log2_size, slot), z, log2_size);
}

bool cu_trial_residual_take(encoder_t *ctx, int32_t z, int32_t log2_size, int32_t slot) {
  if (!cu_trial_residual_kept(ctx, z, log2_size, slot)) return false;
  const cu_snapshot_t *s = trial_slot(ctx, log2_size, slot);
  const int32_t n = 1 << log2_size, x = 4 * zorder_x(z), y = 4 * zorder_y(z);
  ctx->mc.block_copy(ctu_rec_at(ctx, 0, x, y), RECON_STRIDE, s->rec_y, n, n, n);
  for (int32_t p = 0; p < 2; p++)
    ctx->mc.block_copy(ctu_rec_at(ctx, p + 1, x / 2, y / 2), RECON_STRIDE, s->rec_c[p], n / 2, n / 2, n / 2);
  ctu_unit_maps_t *d = &ctx->maps->unit;
  std::memcpy(d->coef_y + 16 * z, s->coef_y, sizeof(int16_t) * n * n);
  for (int32_t p = 0; p < 2; p++) std::memcpy(d->coef_c[p] + 4 * z, s->coef_c[p], sizeof(int16_t) * n * n / 4);
  const uint8_t *cbf = s->units[5];
  for (int32_t i = 0; i < n * n / 16; i++) d->cbf[z + i] = static_cast<uint8_t>((d->cbf[z + i] & ~7) | (cbf[i] & 7));
  // The quantiser's scratch copies as the coding left them.
  std::memcpy(ctx->cabac.est.state + CABAC_NUM_CTX, s->cabac.est.state + CABAC_NUM_CTX, 4);
  return true;
}

namespace {

// The luma block (or the two chroma blocks) of a CU as a trial coded them:
// samples, levels, the units' cbf bits of the plane and the quantiser's
// scratch states of the plane (sig_coeff_flag and greater1 copies).
template <bool save>
void blocks_copy(encoder_t *ctx, int32_t z, int32_t log2_size, bool chroma) {
  cu_snapshot_t *s = trial_slot(ctx, log2_size, chroma ? TRIAL_CHROMA : TRIAL_LUMA);
  const int32_t sh = chroma ? 1 : 0, n = 1 << (log2_size - sh);
  const int32_t x = (4 >> sh) * zorder_x(z), y = (4 >> sh) * zorder_y(z);
  ctu_unit_maps_t *d = &ctx->maps->unit;
  for (int32_t p = sh; p <= 2 * sh; p++) {
    uint8_t *kept = p ? s->rec_c[p - 1] : s->rec_y, *live = ctu_rec_at(ctx, p, x, y);
    if (save)
      ctx->mc.block_copy(kept, n, live, RECON_STRIDE, n, n);
    else
      ctx->mc.block_copy(live, RECON_STRIDE, kept, n, n, n);
    move<save>(p ? s->coef_c[p - 1] : s->coef_y, p ? d->coef_c[p - 1] + 4 * z : d->coef_y + 16 * z,
               sizeof(int16_t) * n * n);
  }
  const uint8_t mask = chroma ? 6 : 1;
  uint8_t *kept = s->units[5], *cbf = d->cbf + z;
  for (int32_t i = 0; i < (1 << (2 * (log2_size - 2))); i++) {
    if (save)
      kept[i] = cbf[i];
    else
      cbf[i] = static_cast<uint8_t>((cbf[i] & ~mask) | (kept[i] & mask));
  }
  uint8_t *st = ctx->cabac.est.state + CABAC_NUM_CTX + sh, *kst = s->cabac.est.state + CABAC_NUM_CTX + sh;
  for (const int32_t i : {0, 2}) move<save>(kst + i, st + i, 1);
}

}  // namespace

void cu_chroma_keep(encoder_t *ctx, int32_t z, int32_t log2_size) { blocks_copy<true>(ctx, z, log2_size, true); }
void cu_chroma_put_back(encoder_t *ctx, int32_t z, int32_t log2_size) { blocks_copy<false>(ctx, z, log2_size, true); }
void cu_luma_keep(encoder_t *ctx, int32_t z, int32_t log2_size) {
  blocks_copy<true>(ctx, z, log2_size, false);
  trial_slot(ctx, log2_size, TRIAL_LUMA)->cabac.est = ctx->cabac.est;
}
void cu_luma_put_back(encoder_t *ctx, int32_t z, int32_t log2_size) { blocks_copy<false>(ctx, z, log2_size, false); }
void cu_luma_trial_put_back(encoder_t *ctx, int32_t z, int32_t log2_size) {
  blocks_copy<false>(ctx, z, log2_size, false);
  ctx->cabac.est = trial_slot(ctx, log2_size, TRIAL_LUMA)->cabac.est;
}

void cu_prediction_save(encoder_t *ctx, int32_t z, int32_t log2_size, int32_t slot) {
  cu_snapshot_t *s = trial_slot(ctx, log2_size, slot);
  const int32_t n = 1 << log2_size, x = 4 * zorder_x(z), y = 4 * zorder_y(z);
  ctx->mc.block_copy(s->rec_y, n, ctu_rec_at(ctx, 0, x, y), RECON_STRIDE, n, n);
  for (int32_t p = 0; p < 2; p++)
    ctx->mc.block_copy(s->rec_c[p], n / 2, ctu_rec_at(ctx, p + 1, x / 2, y / 2), RECON_STRIDE, n / 2, n / 2);
  s->cabac.est = ctx->cabac.est;
}

void cu_prediction_restore(encoder_t *ctx, int32_t z, int32_t log2_size, int32_t slot) {
  const cu_snapshot_t *s = trial_slot(ctx, log2_size, slot);
  const int32_t n = 1 << log2_size, x = 4 * zorder_x(z), y = 4 * zorder_y(z);
  ctx->mc.block_copy(ctu_rec_at(ctx, 0, x, y), RECON_STRIDE, s->rec_y, n, n, n);
  for (int32_t p = 0; p < 2; p++)
    ctx->mc.block_copy(ctu_rec_at(ctx, p + 1, x / 2, y / 2), RECON_STRIDE, s->rec_c[p], n / 2, n / 2, n / 2);
  ctx->cabac.est = s->cabac.est;
  // No residual in any unit, as coding the CU without one leaves them.
  uint8_t *cbf = ctx->maps->unit.cbf + z;
  for (int32_t i = 0; i < (1 << (2 * (log2_size - 2))); i++) cbf[i] = static_cast<uint8_t>(cbf[i] & ~7);
  ctx->maps->cbf[node_index(z, log2_size)] = 0;
}

namespace {

// The records (the depth snapshots, then the trial slots of each kind) come
// first in the block, then the arrays of each record, sized for its CU.
size_t snapshot_records_bytes() {
  return (SNAPSHOT_RECORDS * sizeof(cu_snapshot_t) + 31) & ~static_cast<size_t>(31);
}

}  // namespace

size_t snapshots_bytes() {
  cu_snapshot_t measure{};
  size_t total = snapshot_records_bytes();
  for (int32_t r = 0; r < SNAPSHOT_RECORDS; r++) total += carve(&measure, nullptr, r % SNAPSHOT_DEPTHS);
  return total;
}

void snapshots_lay_out(encoder_t *ctx) {
  auto *block = reinterpret_cast<uint8_t *>(ctx->snapshots);
  size_t at = snapshot_records_bytes();
  for (int32_t r = 0; r < SNAPSHOT_RECORDS; r++) at += carve(ctx->snapshots + r, block + at, r % SNAPSHOT_DEPTHS);
}

int32_t snapshots_alloc(encoder_t *ctx) {
  // Zeroed by the system and left untouched until used (see analysis_alloc).
  ctx->snapshots = static_cast<cu_snapshot_t *>(aligned_calloc(snapshots_bytes()));
  if (!ctx->snapshots) return -1;
  snapshots_lay_out(ctx);
  return 0;
}

void snapshots_free(encoder_t *ctx) {
  aligned_free(ctx->snapshots);
  ctx->snapshots = nullptr;
}
