// Residual quad-tree search: for each transform block the cheaper of coding
// it whole and splitting it in four, with the winner's reconstruction,
// levels and estimation states left in place.
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "analysis/decision_common.h"
#include "common/memory.h"
#include "bitstream/ctu_writer.h"
#include "rdo/block_coding.h"
#include "rdo/cu_commit.h"
#include "rdo/rd_cost.h"

// Everything a trial of one transform block changes (luma up to 32x32 and
// its chroma), for putting the other trial back.
struct tu_state_t {
  alignas(32) uint8_t rec_y[32 * 32];
  uint8_t rec_c[2][16 * 16];
  int16_t coef_y[32 * 32];
  int16_t coef_c[2][16 * 16];
  // The decided sizes are the record's per-unit map; the nodes' tu_split
  // flags need no copy: a block put back gets tu_split 0 at once, and the
  // split trial sets every node it decides.
  uint8_t tu_log2[64], cbf[64];
  cabac_est_t est;
};

namespace {

// The first 4x4 quarter of an 8x8 intra CU's luma tree as each mode's split
// trial coded it, for the CU's first 4x4 prediction unit: the same block,
// predicted from the same samples with the same mode, is coded the same
// wherever the states its levels and bits are estimated from are the same.
// Those states differ from the unit's only in the 8x8 split flag's context,
// which the split trial estimated before the quarter and which coding the
// block does not read.
struct first_quarter_entry_t {
  cabac_est_t before, after;  // around the quarter's coding
  alignas(16) uint8_t rec[16];
  int16_t levels[16];
  uint32_t bits;
  uint32_t ctu_lambda;
  int32_t qp, rdoq_alt;
  uint8_t cbf;
};

struct first_quarters_t {
  int32_t ctu_x, ctu_y, x, y;  // the CU they belong to
  uint64_t kept;               // bit m: mode m's quarter is kept
  first_quarter_entry_t mode[35];
};

constexpr int32_t SPLIT_FLAG_8X8 = CTX_SPLIT_TRANSFORM + 5 - 3;

// A search level holds at most two states at once (the prediction and the
// whole block's result); one level per transform size 8x8..32x32.
constexpr int32_t tu_states_per_size = 2;
constexpr int32_t tu_state_count = 3 * tu_states_per_size;

tu_state_t *tu_state_slot(encoder_t *ctx, int32_t log2_size, int32_t which) {
  return ctx->tu_states + (log2_size - 3) * tu_states_per_size + which;
}

// Behind the states in the same allocation.
first_quarters_t *first_quarters(encoder_t *ctx) {
  return reinterpret_cast<first_quarters_t *>(ctx->tu_states + tu_state_count);
}

struct search_t {
  encoder_t *ctx;
  cu_node_t *nodes;
  uint32_t lambda;
  int32_t qp;
  int32_t intra;
  int32_t luma_mode;
  int32_t max_depth;
  // An intra block is predicted with its mode before it is coded; 0: the
  // prediction is already in the buffer.
  int32_t predict;
  // Keep the first 4x4 quarter of the tree rooted at z (an 8x8 intra CU).
  int32_t keep_first_quarter;
  // The neighbour arrays of the (single) block are in place.
  int32_t refs_prepared;
  // The unsplit root may take a kept trial's residual.
  int32_t take_kept_root;
  int32_t root_z;
};

// Every piece has a length fixed by the block size, so that each copy is a
// few moves inline rather than a call for a length known only at run time.
template <bool save, int32_t LOG2>
void tu_state_copy_sized(encoder_t *ctx, tu_state_t *t, int32_t z, int32_t x, int32_t y, bool chroma) {
  constexpr int32_t n = 1 << LOG2, units = n * n / 16;
  auto mv = [](void *kept, void *live, size_t bytes) {
    if (save)
      std::memcpy(kept, live, bytes);
    else
      std::memcpy(live, kept, bytes);
  };
  auto rows = [&](uint8_t *kept, uint8_t *live, auto width) {
    for (int32_t r = 0; r < width(); r++) mv(kept + r * width(), live + r * RECON_STRIDE, width());
  };
  rows(t->rec_y, ctu_rec_at(ctx, 0, x, y), std::integral_constant<int32_t, n>{});
  mv(t->coef_y, ctx->maps->unit.coef_y + 16 * z, sizeof(int16_t) * n * n);
  if (chroma)
    for (int32_t p = 0; p < 2; p++) {
      rows(t->rec_c[p], ctu_rec_at(ctx, p + 1, x / 2, y / 2), std::integral_constant<int32_t, n / 2>{});
      mv(t->coef_c[p], ctx->maps->unit.coef_c[p] + 4 * z, sizeof(int16_t) * n * n / 4);
    }
  mv(t->tu_log2, ctx->maps->unit.tu_log2 + z, units);
  mv(t->cbf, ctx->maps->unit.cbf + z, units);
  mv(&t->est, &ctx->cabac.est, sizeof(cabac_est_t));
}

// Blocks that keep a state are 8x8 .. 32x32.
template <bool save>
void tu_state_copy(search_t &s, tu_state_t *t, int32_t z, int32_t x, int32_t y, int32_t log2_size, bool chroma) {
  switch (log2_size) {
    case 3: return tu_state_copy_sized<save, 3>(s.ctx, t, z, x, y, chroma);
    case 4: return tu_state_copy_sized<save, 4>(s.ctx, t, z, x, y, chroma);
    default: return tu_state_copy_sized<save, 5>(s.ctx, t, z, x, y, chroma);
  }
}

// Every search below takes a bound.  A cost below it is the tree's exact
// cost with the tree left in place; one at or above it says only that the
// tree costs at least the bound: the search may have stopped part way,
// leaving blocks, levels, unit bytes, node flags and states as they were.
// A tree's cost is a sum of rounded non-negative parts (the split flag's,
// each quarter's), so the sum so far bounds it from below.
//
// The four quarters of a transform block, each searched by `search`, plus
// the split flag where it is coded.
template <class F>
uint32_t split_trial(search_t &s, int32_t z, int32_t x, int32_t y, int32_t log2_size, int32_t depth, bool flag_coded,
                     uint32_t bound, F search) {
  uint32_t bits = flag_coded ? cabac_est_bin(&s.ctx->cabac.est, CTX_SPLIT_TRANSFORM + 5 - log2_size, 1) : 0;
  uint32_t cost = rd_cost(0, bits, s.lambda);
  const int32_t h = 1 << (log2_size - 1), q = child_step(log2_size);
  for (int32_t k = 0; k < 4; k++) {
    if (cost >= bound) return cost;
    cost += search(s, z + k * q, x + (k & 1) * h, y + (k >> 1) * h, log2_size - 1, depth + 1, bound - cost);
  }
  s.nodes[node_index(z, log2_size)].tu_split = 1;
  return cost;
}

// Codes the block as a leaf; whether it has levels.
bool luma_leaf_block(search_t &s, int32_t z, int32_t x, int32_t y, int32_t log2_size) {
  encoder_t *ctx = s.ctx;
  if (s.intra && s.predict) {
    if (s.refs_prepared)
      intra_predict_prepared(ctx, 0, x, y, log2_size, s.luma_mode);
    else if (log2_size == 2)
      intra_predict_luma_4x4(ctx, x, y, s.luma_mode);
    else
      intra_predict_block(ctx, 0, x, y, log2_size, s.luma_mode);
  }
  const uint32_t nz =
      transform_block_code(ctx, 0, x, y, log2_size, s.qp, s.intra, s.luma_mode, ctx->maps->unit.coef_y + 16 * z);
  set_unit_bits(ctx->maps->unit.cbf, z, log2_size, 1, nz ? 1 : 0);
  // Every caller has made this block a leaf (tu_split 0, 32x32 at most).
  fill_units(ctx->maps->unit.tu_log2, z, log2_size, static_cast<uint8_t>(log2_size));
  return nz != 0;
}

uint32_t luma_cbf_bits(search_t &s, int32_t depth, bool nz) {
  return cabac_est_bin(&s.ctx->cabac.est, CTX_CBF_LUMA + (depth == 0 ? 1 : 0), nz ? 1u : 0u);
}

uint32_t luma_residual_bits(search_t &s, int32_t z, int32_t log2_size) {
  return residual_bits(s.ctx, &s.ctx->cabac.est, s.ctx->maps->unit.coef_y + 16 * z, log2_size, 0,
                       scan_idx_for(s.intra, s.luma_mode, log2_size, 0));
}

uint32_t luma_leaf_code(search_t &s, int32_t z, int32_t x, int32_t y, int32_t log2_size, int32_t depth) {
  const bool nz = luma_leaf_block(s, z, x, y, log2_size);
  const uint32_t bits = luma_cbf_bits(s, depth, nz);
  return nz ? bits + luma_residual_bits(s, z, log2_size) : bits;
}

// The leaf's cost, its flags before it counting `bits`: the residual's bits
// are estimated only while the distortion and the flags stay below the
// bound (at or above it the cost returned is that lower one).
uint32_t luma_leaf_cost(search_t &s, int32_t z, int32_t x, int32_t y, int32_t log2_size, int32_t depth,
                        uint32_t bits, uint32_t bound) {
  const bool nz = luma_leaf_block(s, z, x, y, log2_size);
  bits += luma_cbf_bits(s, depth, nz);
  const uint32_t distortion = block_distortion(s.ctx, x, y, log2_size, 1);
  if (nz) {
    const uint32_t least = rd_cost(distortion, bits, s.lambda);
    if (least >= bound) return least;
    // Past its reach the leaf has reached the bound, whatever the rest of
    // its residual costs.
    bits += residual_bits_within(s.ctx, &s.ctx->cabac.est, s.ctx->maps->unit.coef_y + 16 * z, log2_size, 0,
                                 scan_idx_for(s.intra, s.luma_mode, log2_size, 0),
                                 s.lambda, rd_cost_reach(distortion, bits, bound, s.lambda));
  }
  return rd_cost(distortion, bits, s.lambda);
}

// The first quarter (4x4, transform depth 1) of an 8x8 CU's luma tree,
// coded and kept for the mode.
uint32_t first_quarter_code(search_t &s, int32_t z, int32_t x, int32_t y) {
  encoder_t *ctx = s.ctx;
  first_quarters_t *fq = first_quarters(ctx);
  if (fq->ctu_x != ctx->ctu_x || fq->ctu_y != ctx->ctu_y || fq->x != x || fq->y != y) {
    fq->ctu_x = ctx->ctu_x;
    fq->ctu_y = ctx->ctu_y;
    fq->x = x;
    fq->y = y;
    fq->kept = 0;
  }
  first_quarter_entry_t &e = fq->mode[s.luma_mode];
  e.before = ctx->cabac.est;
  const uint32_t bits = luma_leaf_code(s, z, x, y, 2, 1);
  e.after = ctx->cabac.est;
  e.bits = bits;
  e.ctu_lambda = ctx->ctu_lambda_ssd;
  e.qp = s.qp;
  e.rdoq_alt = ctx->use_rdoq_alt;
  e.cbf = ctx->maps->unit.cbf[z] & 1;
  const uint8_t *rec = ctu_rec_at(ctx, 0, x, y);
  for (int32_t r = 0; r < 4; r++) std::memcpy(e.rec + 4 * r, rec + r * RECON_STRIDE, 4);
  std::memcpy(e.levels, ctx->maps->unit.coef_y + 16 * z, sizeof(e.levels));
  fq->kept |= uint64_t{1} << s.luma_mode;
  return bits;
}

// The 4x4 prediction unit at z as its CU's split trial coded the same
// block with the same mode, when that trial started from the same states;
// its bits, or false (nothing changed) when there is no such trial.
bool first_quarter_take(search_t &s, int32_t z, int32_t x, int32_t y, uint32_t *bits) {
  encoder_t *ctx = s.ctx;
  const first_quarters_t *fq = first_quarters(ctx);
  if (!(fq->kept >> s.luma_mode & 1) || fq->ctu_x != ctx->ctu_x || fq->ctu_y != ctx->ctu_y || fq->x != x ||
      fq->y != y)
    return false;
  const first_quarter_entry_t &e = fq->mode[s.luma_mode];
  cabac_est_t &est = ctx->cabac.est;
  if (e.qp != s.qp || e.ctu_lambda != ctx->ctu_lambda_ssd || e.rdoq_alt != ctx->use_rdoq_alt) return false;
  if (std::memcmp(e.before.state, est.state, SPLIT_FLAG_8X8) ||
      std::memcmp(e.before.state + SPLIT_FLAG_8X8 + 1, est.state + SPLIT_FLAG_8X8 + 1,
                  sizeof(est.state) - SPLIT_FLAG_8X8 - 1))
    return false;
  const uint8_t split_state = est.state[SPLIT_FLAG_8X8];
  const uint32_t bits_before = est.bits;
  est = e.after;
  est.state[SPLIT_FLAG_8X8] = split_state;
  est.bits = bits_before + (e.after.bits - e.before.bits);
  uint8_t *rec = ctu_rec_at(ctx, 0, x, y);
  for (int32_t r = 0; r < 4; r++) std::memcpy(rec + r * RECON_STRIDE, e.rec + 4 * r, 4);
  std::memcpy(ctx->maps->unit.coef_y + 16 * z, e.levels, sizeof(e.levels));
  set_unit_bits(ctx->maps->unit.cbf, z, 2, 1, e.cbf);
  ctx->maps->unit.tu_log2[z] = 2;
  *bits = e.bits;
  return true;
}

// Luma transform tree of an intra CU (each block predicted from the
// reconstruction of the blocks before it).
uint32_t luma_search(search_t &s, int32_t z, int32_t x, int32_t y, int32_t log2_size, int32_t depth, uint32_t bound) {
  encoder_t *ctx = s.ctx;
  cu_node_t *node = s.nodes + node_index(z, log2_size);
  const bool flag_coded = log2_size <= 5 && log2_size > 2 && depth < s.max_depth;
  const bool can_split = log2_size > 2 && depth < s.max_depth;
  auto quarters = [&](uint32_t b) { return split_trial(s, z, x, y, log2_size, depth, flag_coded, b, luma_search); };
  if (log2_size > 5) return quarters(bound);
  // The states the split trial starts from (a leaf has none to keep).
  cabac_est_t start;
  if (can_split) start = ctx->cabac.est;
  node->tu_split = 0;
  const uint32_t flag = flag_coded ? cabac_est_bin(&ctx->cabac.est, CTX_SPLIT_TRANSFORM + 5 - log2_size, 0) : 0;
  // A kept quarter is kept whole, whatever the bound.
  const uint32_t whole =
      log2_size == 2 && s.keep_first_quarter && z == s.root_z
          ? rd_cost(block_distortion(ctx, x, y, 2, 1), flag + first_quarter_code(s, z, x, y), s.lambda)
          : luma_leaf_cost(s, z, x, y, log2_size, depth, flag, bound);
  // A block that needs no coefficient is predicted well as a whole.
  if (!can_split || !(ctx->maps->unit.cbf[z] & 1)) return whole;
  tu_state_t *saved = tu_state_slot(ctx, log2_size, 0);
  tu_state_copy<true>(s, saved, z, x, y, log2_size, false);
  ctx->cabac.est = start;
  // The whole block's prediction left its neighbour array in place.
  const bool derived = s.predict && intra_quarters_begin(ctx, x, y, log2_size);
  // The split wins only below the whole block (a tie keeps the whole), and
  // matters only below the bound.
  const uint32_t split = quarters(std::min(bound, whole));
  if (derived) intra_quarters_end(ctx);
  if (split < whole) return split;
  tu_state_copy<false>(s, saved, z, x, y, log2_size, false);
  node->tu_split = 0;
  return whole;
}

// Chroma along the decided luma tree: per leaf the Cb and Cr blocks of half
// the size, or one 4x4 pair for four 4x4 luma blocks.
void chroma_code(search_t &s, int32_t z, int32_t x, int32_t y, int32_t log2_size, int32_t chroma_mode) {
  encoder_t *ctx = s.ctx;
  const bool split = log2_size > 5 || ctx->maps->unit.tu_log2[z] < log2_size;
  if (split && log2_size > 3) {
    const int32_t h = 1 << (log2_size - 1), q = child_step(log2_size);
    for (int32_t k = 0; k < 4; k++) chroma_code(s, z + k * q, x + (k & 1) * h, y + (k >> 1) * h, log2_size - 1, chroma_mode);
    return;
  }
  const int32_t log2_c = split ? 2 : log2_size - 1;
  uint8_t bits = 0;
  for (int32_t p = 1; p <= 2; p++) {
    if (s.intra && s.predict) intra_predict_block(ctx, p, x >> 1, y >> 1, log2_c, chroma_mode);
    if (transform_block_code(ctx, p, x >> 1, y >> 1, log2_c, chroma_qp(s.qp), s.intra, chroma_mode,
                             ctx->maps->unit.coef_c[p - 1] + 4 * z))
      bits |= static_cast<uint8_t>(1 << p);
  }
  set_unit_bits(ctx->maps->unit.cbf, z, log2_size, 6, bits);
}

// Bits of the chroma cbf flags and residuals of the tree, as the writer
// codes them.
uint32_t chroma_bits(search_t &s, int32_t z, int32_t log2_size, int32_t depth, int32_t parent_cb, int32_t parent_cr,
                     int32_t chroma_mode) {
  encoder_t *ctx = s.ctx;
  uint32_t bits = 0;
  const uint8_t v = block_cbf(ctx->maps->unit.cbf, z, log2_size);
  const int32_t cb = (v >> 1) & 1, cr = (v >> 2) & 1;
  if (depth == 0 || parent_cb) bits += cabac_est_bin(&ctx->cabac.est, CTX_CBF_CHROMA + depth, static_cast<uint32_t>(cb));
  if (depth == 0 || parent_cr) bits += cabac_est_bin(&ctx->cabac.est, CTX_CBF_CHROMA + depth, static_cast<uint32_t>(cr));
  const bool split = log2_size > 5 || ctx->maps->unit.tu_log2[z] < log2_size;
  if (split && log2_size > 3) {
    const int32_t q = child_step(log2_size);
    for (int32_t k = 0; k < 4; k++) bits += chroma_bits(s, z + k * q, log2_size - 1, depth + 1, cb, cr, chroma_mode);
    return bits;
  }
  const int32_t log2_c = split ? 2 : log2_size - 1;
  const int32_t sidx = scan_idx_for(s.intra, chroma_mode, log2_c, 1);
  if (cb) bits += residual_bits(ctx, &ctx->cabac.est, ctx->maps->unit.coef_c[0] + 4 * z, log2_c, 1, sidx);
  if (cr) bits += residual_bits(ctx, &ctx->cabac.est, ctx->maps->unit.coef_c[1] + 4 * z, log2_c, 2, sidx);
  return bits;
}

// Luma and chroma of an inter CU together; blocks stay 8x8 or larger so
// that every leaf carries its own chroma.
uint32_t joint_search(search_t &s, int32_t z, int32_t x, int32_t y, int32_t log2_size, int32_t depth, uint32_t bound) {
  encoder_t *ctx = s.ctx;
  cu_node_t *node = s.nodes + node_index(z, log2_size);
  const bool flag_coded = log2_size <= 5 && depth < s.max_depth;
  const bool can_split = log2_size > 3 && depth < s.max_depth;
  auto quarters = [&](uint32_t b) { return split_trial(s, z, x, y, log2_size, depth, flag_coded, b, joint_search); };
  if (log2_size > 5) return quarters(bound);
  const bool try_split = can_split;
  // The split trial starts again from the prediction.
  tu_state_t *pred = try_split ? tu_state_slot(ctx, log2_size, 0) : nullptr;
  if (pred) tu_state_copy<true>(s, pred, z, x, y, log2_size, true);
  node->tu_split = 0;
  cu_commit_transform_sizes(ctx, s.nodes, z, log2_size);
  uint32_t bits = flag_coded ? cabac_est_bin(&ctx->cabac.est, CTX_SPLIT_TRANSFORM + 5 - log2_size, 0) : 0;
  uint32_t nz;
  const bool taken = depth == 0 && s.take_kept_root &&
                     (cu_trial_residual_take(ctx, z, log2_size, TRIAL_MERGED) ||
                      cu_trial_residual_take(ctx, z, log2_size, TRIAL_CODED));
  if (taken) {
    nz = ctx->maps->unit.cbf[z] & 1;
  } else {
    chroma_code(s, z, x, y, log2_size, 0);
    nz = transform_block_code(ctx, 0, x, y, log2_size, s.qp, 0, 0, ctx->maps->unit.coef_y + 16 * z);
    set_unit_bits(ctx->maps->unit.cbf, z, log2_size, 1, nz ? 1 : 0);
  }
  const uint8_t v = ctx->maps->unit.cbf[z];
  bits += chroma_bits(s, z, log2_size, depth, 1, 1, 0);
  if (depth != 0 || (v & 6)) bits += cabac_est_bin(&ctx->cabac.est, CTX_CBF_LUMA + (depth == 0 ? 1 : 0), nz ? 1u : 0u);
  if (nz) bits += residual_bits(ctx, &ctx->cabac.est, ctx->maps->unit.coef_y + 16 * z, log2_size, 0, 0);
  const uint32_t whole = rd_cost(block_distortion(ctx, x, y, log2_size, 3), bits, s.lambda);
  if (!pred || !nz) return whole;
  tu_state_t *saved = tu_state_slot(ctx, log2_size, 1);
  tu_state_copy<true>(s, saved, z, x, y, log2_size, true);
  tu_state_copy<false>(s, pred, z, x, y, log2_size, true);
  const uint32_t split = quarters(std::min(bound, whole));
  if (split < whole) return split;
  tu_state_copy<false>(s, saved, z, x, y, log2_size, true);
  node->tu_split = 0;
  return whole;
}

search_t make_search(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t log2_size) {
  const cu_node_t *node = nodes + node_index(z, log2_size);
  search_t s{};
  s.ctx = ctx;
  s.nodes = nodes;
  s.lambda = node->lambda_ssd;
  s.qp = node->qp;
  s.intra = unit_intra(ctx->maps, z);
  s.luma_mode = ctx->maps->unit.luma_mode[z];
  s.max_depth = s.intra ? ctx->sps->max_tr_depth_intra : ctx->sps->max_tr_depth_inter;
  s.predict = 1;
  s.root_z = z;
  return s;
}

int32_t chroma_mode_at(const encoder_t *ctx, int32_t z) {
  const int32_t cz = z & ~3;
  return chroma_mode_of(ctx->maps->unit.chroma_syntax[cz], ctx->maps->unit.luma_mode[cz]);
}

}  // namespace

int32_t tu_states_alloc(encoder_t *ctx) {
  static_assert(sizeof(tu_state_t) % alignof(first_quarters_t) == 0);
  ctx->tu_states = static_cast<tu_state_t *>(aligned_malloc(tu_states_bytes()));
  if (!ctx->tu_states) return -1;
  tu_first_quarters_forget(ctx);
  return 0;
}

size_t tu_states_bytes() { return tu_state_count * sizeof(tu_state_t) + sizeof(first_quarters_t); }

void tu_first_quarters_forget(encoder_t *ctx) {
  first_quarters_t *fq = first_quarters(ctx);
  fq->kept = 0;
  fq->ctu_x = fq->ctu_y = fq->x = fq->y = -1;
}

void tu_states_free(encoder_t *ctx) {
  aligned_free(ctx->tu_states);
  ctx->tu_states = nullptr;
}

bool transform_tree_search(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                           int32_t mask, int32_t final, uint32_t bound) {
  (void)final;
  cu_node_t *node = nodes + node_index(z, log2_size);
  // No tree costs less than nothing: one bound at 0 (a trial whose mode
  // alone costs what it has to beat) has lost before it is coded.
  if (bound == 0) {
    node->tu_tree_cost = 0;
    return false;
  }
  search_t s = make_search(ctx, nodes, z, log2_size);
  s.keep_first_quarter = (mask & TREE_KEEP_FIRST_QUARTER) && log2_size == 3;
  s.take_kept_root = (mask & TREE_TAKE_KEPT_ROOT) != 0;
  const int32_t flags = mask & (TREE_TAKE_FIRST_QUARTER | TREE_REFS_PREPARED | TREE_PREDICTED);
  mask &= ~(TREE_KEEP_FIRST_QUARTER | TREE_TAKE_FIRST_QUARTER | TREE_REFS_PREPARED | TREE_TAKE_KEPT_ROOT |
            TREE_PREDICTED);
  uint32_t cost = 0;
  if (mask == 33) {
    return tu_unit_search(ctx, node, z, x, y, s.luma_mode, flags, bound) < bound;
  } else if (mask == 1) {
    cost = luma_search(s, z, x, y, log2_size, 0, bound);
  } else if (mask == 2) {
    const cabac_est_t start = ctx->cabac.est;
    (void)start;
    const int32_t mode = chroma_mode_at(ctx, z);
    chroma_code(s, z, x, y, log2_size, mode);
    const uint32_t bits = chroma_bits(s, z, log2_size, 0, 1, 1, mode);
    cost = rd_cost(block_distortion(ctx, x, y, std::max(log2_size, 3), 2), bits, s.lambda);
  } else {
    cost = joint_search(s, z, x, y, log2_size, 0, bound);
  }
  node->residual_mode = 2;
  node->tu_tree_cost = cost;
  ctx->maps->cbf[node_index(z, log2_size)] = block_cbf(ctx->maps->unit.cbf, z, log2_size);
  return cost < bound;
}

uint32_t tu_unit_search(encoder_t *ctx, cu_node_t *node, int32_t z, int32_t x, int32_t y, int32_t mode, int32_t flags,
                        uint32_t bound) {
  if (bound == 0) {
    node->tu_tree_cost = 0;
    return 0;
  }
  // One 4x4 PU of an NxN CU: its single luma block (transform depth 1),
  // with what the leaf's coding reads of a search.
  search_t s{};
  s.ctx = ctx;
  s.lambda = node->lambda_ssd;
  s.qp = node->qp;
  s.intra = 1;
  s.luma_mode = mode;
  s.predict = !(flags & TREE_PREDICTED);
  s.refs_prepared = (flags & TREE_REFS_PREPARED) != 0;
  node->tu_split = 0;
  uint32_t bits, cost;
  if ((flags & TREE_TAKE_FIRST_QUARTER) && first_quarter_take(s, z, x, y, &bits))
    cost = rd_cost(block_distortion(ctx, x, y, 2, 1), bits, s.lambda);
  else
    cost = luma_leaf_cost(s, z, x, y, 2, 1, 0, bound);
  node->residual_mode = 2;
  node->tu_tree_cost = cost;
  ctx->maps->cbf[node_index(z, 2)] = block_cbf(ctx->maps->unit.cbf, z, 2);
  return cost;
}

uint32_t tu_luma_encode_cost(encoder_t *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                             int32_t flag) {
  search_t s = make_search(ctx, ctx->nodes, z, log2_size);
  s.lambda = lambda;
  s.luma_mode = ctx->maps->intra_dir[map4_index(zorder_x(z), zorder_y(z))];
  // A 64x64 block is four blocks, each predicted from the one before.
  if (log2_size > 5) return luma_search(s, z, x, y, log2_size, 0, TREE_NO_BOUND);
  s.predict = flag;
  ctx->nodes[node_index(z, log2_size)].tu_split = 0;
  const uint32_t bits = luma_leaf_code(s, z, x, y, log2_size, log2_size == 2 ? 1 : 0);
  ctx->maps->cbf[node_index(z, log2_size)] = block_cbf(ctx->maps->unit.cbf, z, log2_size);
  return rd_cost(block_distortion(ctx, x, y, log2_size, 1), bits, lambda);
}

uint32_t tu_chroma_encode_cost(encoder_t *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                               int32_t flag) {
  // A 4x4 PU carries the chroma of its 8x8 area.
  if (log2_size == 2) {
    z &= ~3;
    x &= ~7;
    y &= ~7;
    log2_size = 3;
  }
  search_t s = make_search(ctx, ctx->nodes, z, log2_size);
  s.lambda = lambda;
  const int32_t luma = ctx->maps->intra_dir[map4_index(zorder_x(z), zorder_y(z))];
  const int32_t syntax = ctx->maps->intra_dir[chroma_dir_index(zorder_x(z) >> 1, zorder_y(z) >> 1)];
  const int32_t mode = chroma_mode_of(syntax, luma);
  s.predict = flag;
  chroma_code(s, z, x, y, log2_size, mode);
  const uint32_t bits = chroma_bits(s, z, log2_size, 0, 1, 1, mode);
  ctx->maps->cbf[node_index(z, log2_size)] = block_cbf(ctx->maps->unit.cbf, z, log2_size);
  return rd_cost(block_distortion(ctx, x, y, log2_size, 2), bits, lambda);
}
