// Coding-tree search of intra pictures at analysis levels 5-7.  Each node
// tries the unsplit CU, whose luma modes the residual quad-tree search
// judges, against its split (at 8x8: four 4x4 prediction units); the
// cheaper one is left in place from its snapshot or as the children left
// it, so no CU is coded a second time after the decision.
#include "analysis/intra_full.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "analysis/ctu_analysis.h"
#include "analysis/decision_common.h"
#include "analysis/intra_common.h"
#include "motion/mvp.h"
#include "rdo/block_coding.h"
#include "rdo/cu_commit.h"
#include "rdo/rd_cost.h"

namespace {

constexpr int32_t MAX_CANDIDATES = 8 + 2;  // the rough list and the two MPMs behind it

// Split modes of a node.
constexpr int32_t SPLIT_NEVER = 0;
constexpr int32_t SPLIT_TRY = 1;
constexpr int32_t SPLIT_FORCED = 2;

thread_local const intra_full_probe_t *probe = nullptr;

uint32_t saturated(uint64_t v) { return static_cast<uint32_t>(std::min<uint64_t>(v, UINT32_MAX)); }

struct cu_t {
  encoder_t *ctx;
  cu_node_t *nodes;
  cu_node_t *node;
  int32_t z, x, y, log2_size, depth, size;
  int32_t inside;  // the whole CU lies in the picture
};

cu_t make_cu(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size) {
  cu_t cu{};
  cu.ctx = ctx;
  cu.nodes = nodes;
  cu.node = nodes + node_index(z, log2_size);
  cu.z = z;
  cu.x = x;
  cu.y = y;
  cu.log2_size = log2_size;
  cu.depth = 6 - log2_size;
  cu.size = 1 << log2_size;
  cu.inside = block_in_picture(ctx, x + cu.size - 1, y + cu.size - 1);
  return cu;
}

int32_t split_mode_of(const cu_t &cu) {
  const encoder_t *ctx = cu.ctx;
  if (!cu.inside) return SPLIT_FORCED;
  // 4x4 prediction units are tried only by the thorough presets, and only
  // when the user allows them.
  const int32_t smallest = min_cb_log2(ctx) - (ctx->param.complexity > 3 && ctx->param.intra_nxn ? 1 : 0);
  if (cu.log2_size <= smallest) return SPLIT_NEVER;
  int32_t mode = cu.log2_size == 6 && ctx->slice_type_code == 2 ? SPLIT_FORCED : SPLIT_TRY;
  if (mode == SPLIT_TRY && cu.depth < ctx->cu_min_depth) mode = SPLIT_FORCED;
  if (ctx->param.split_search_level < 3 && cu.depth >= ctx->cu_max_depth && mode != SPLIT_FORCED) mode = SPLIT_NEVER;
  return mode;
}

// split_cu_flag is coded only for CUs inside the picture (H.265 7.3.8.4);
// one crossing the edge splits without it.
uint32_t split_flag_cost(const cu_t &cu, int32_t flag) {
  if (!cu.inside) return 0;
  return split_cu_flag_cost(cu.ctx, cu.node->lambda_ssd, map8_index(cu.x >> 3, cu.y >> 3), cu.depth, flag);
}

void report_search(int32_t z, int32_t log2_size, int32_t mask, int32_t final) {
  if (probe && probe->tree_search)
    probe->tree_search(probe->user, z, log2_size,
                       mask & ~(TREE_KEEP_FIRST_QUARTER | TREE_TAKE_FIRST_QUARTER | TREE_REFS_PREPARED | TREE_PREDICTED),
                       final);
}

void tree_search(const cu_t &cu, int32_t z, int32_t x, int32_t y, int32_t log2_size, int32_t mask, int32_t final,
                 uint32_t bound = TREE_NO_BOUND) {
  report_search(z, log2_size, mask, final);
  transform_tree_search(cu.ctx, cu.nodes, z, x, y, log2_size, mask, final, bound);
}

// Every trial is costed from the states the node started with.  (The
// availability grid says which neighbours' motion can be predicted from;
// an intra picture has none, so its trials leave the grid alone.)
void begin_trial(const cu_t &cu) { cu.ctx->cabac.est = cu.ctx->cabac_est_save[1 + cu.depth]; }

// Residual quad-tree search of one luma mode plus its mode bits.  A trial
// that only has to cost less than beat gives up once it cannot, and then
// returns beat or more with the CU left part way.  Flags go to the 4x4
// unit's search.
uint32_t luma_trial(const cu_t &cu, int32_t mode, const int32_t mpm[3], int32_t final, uint32_t beat = UINT32_MAX,
                    int32_t flags = 0) {
  encoder_t *ctx = cu.ctx;
  cu.node->luma_dir = mode;
  if (cu.log2_size == 2)
    cu_commit_unit_luma_dir(ctx->maps, cu.z, mode);
  else
    cu_commit_luma_dir(ctx, cu.node, cu.z, cu.log2_size);
  // The mode's bits from the node's starting states (the one context they
  // read), before the states are set up for the trial.
  cabac_est_t bin;
  bin.bits = 0;
  bin.state[CTX_PREV_INTRA_LUMA_PRED] = ctx->cabac_est_save[1 + cu.depth].state[CTX_PREV_INTRA_LUMA_PRED];
  const uint32_t bits = intra_luma_mode_bits(&bin, mode, mpm);
  const uint32_t mode_cost = rd_cost(0, bits, cu.node->lambda_ssd);
  // The trial costs less than beat exactly when its tree costs less than
  // beat - mode_cost (none can when the mode alone costs that much).
  const uint32_t bound = beat > mode_cost ? beat - mode_cost : 0;
  if (bound == 0) {
    // Lost on its mode's bits: the search would give up before coding
    // anything (a tree bounded at 0 costs 0 so far), and the states it
    // would start from nobody reads before the next trial sets them again.
    report_search(cu.z, cu.log2_size, cu.log2_size == 2 ? 33 : 1, final);
    cu.node->tu_tree_cost = 0;
    return mode_cost;
  }
  begin_trial(cu);
  ctx->cabac.est.state[CTX_PREV_INTRA_LUMA_PRED] = bin.state[CTX_PREV_INTRA_LUMA_PRED];
  ctx->cabac.est.bits += bits;
  if (cu.log2_size == 2) {
    // The first 4x4 prediction unit of an 8x8 CU is the first quarter of
    // the CU's split trial of the same mode.  A unit's neighbour arrays are
    // prepared before its trials (decide_luma).
    const int32_t unit_flags = ((cu.z & 3) == 0 ? TREE_TAKE_FIRST_QUARTER : 0) | TREE_REFS_PREPARED | flags;
    report_search(cu.z, 2, 33 | unit_flags, final);
    tu_unit_search(ctx, cu.node, cu.z, cu.x, cu.y, mode, unit_flags, bound);
  } else {
    const bool keep_first_quarter =
        cu.log2_size == 3 && split_mode_of(cu) != SPLIT_NEVER && min_cb_log2(ctx) == 3;
    tree_search(cu, cu.z, cu.x, cu.y, cu.log2_size, keep_first_quarter ? 1 | TREE_KEEP_FIRST_QUARTER : 1, final, bound);
  }
  return saturated(static_cast<uint64_t>(cu.node->tu_tree_cost) + mode_cost);
}

// The best luma trial so far as its search left it (CUs up to 32x32 and 4x4
// prediction units), so that the winner is put back rather than searched
// again: the samples and levels of the CU, its units' cbf and transform
// sizes, the transform flags of the nodes below it, the states and the
// tree's cost.
struct luma_kept_t {
  alignas(32) uint8_t rec[32 * 32];
  alignas(32) int16_t coef[32 * 32];
  uint8_t cbf[64], tu_log2[64];
  int8_t tu_split[1 + 4 + 16 + 64];
  cabac_est_t est;
  uint32_t tree_cost;
};

// The samples, levels and unit bytes in copies of lengths fixed by the
// size (a call per row of a length known only at run time cost more than
// the row).
template <bool save, int32_t LOG2>
void luma_kept_copy_sized(const cu_t &cu, luma_kept_t *k) {
  constexpr int32_t n = 1 << LOG2, units = n * n / 16;
  auto move = [](void *kept, void *live, size_t bytes) {
    if (save)
      std::memcpy(kept, live, bytes);
    else
      std::memcpy(live, kept, bytes);
  };
  encoder_t *ctx = cu.ctx;
  uint8_t *rec = ctu_rec_at(ctx, 0, cu.x, cu.y);
  for (int32_t r = 0; r < n; r++) move(k->rec + r * n, rec + r * RECON_STRIDE, n);
  ctu_unit_maps_t *d = &ctx->maps->unit;
  move(k->coef, d->coef_y + 16 * cu.z, sizeof(int16_t) * n * n);
  move(k->cbf, d->cbf + cu.z, units);
  move(k->tu_log2, d->tu_log2 + cu.z, units);
  int32_t i = 0;
  for (int32_t s = LOG2, count = 1; s >= 2; s--, count *= 4)
    for (int32_t j = node_index(cu.z, s); j < node_index(cu.z, s) + count; j++, i++) {
      if (save)
        k->tu_split[i] = cu.nodes[j].tu_split;
      else
        cu.nodes[j].tu_split = k->tu_split[i];
    }
  move(&k->est, &ctx->cabac.est, sizeof(cabac_est_t));
  move(&k->tree_cost, &cu.node->tu_tree_cost, sizeof(uint32_t));
}

// CUs up to 32x32 and 4x4 prediction units.
template <bool save>
void luma_kept_copy(const cu_t &cu, luma_kept_t *k) {
  switch (cu.log2_size) {
    case 2: return luma_kept_copy_sized<save, 2>(cu, k);
    case 3: return luma_kept_copy_sized<save, 3>(cu, k);
    case 4: return luma_kept_copy_sized<save, 4>(cu, k);
    default: return luma_kept_copy_sized<save, 5>(cu, k);
  }
}

// The distinct predictions of a 4x4 unit's trials.  Two modes that predict
// the unit alike and scan its levels alike code the same residual (every
// intra 4x4 luma block takes the same transform) from the same states: the
// mode's own bin is a context no residual syntax reads.  So a repeated
// prediction's trial differs from the first one's only by its mode bits,
// and its tree's cost is known from that trial: exactly where that one
// came in below its bound, else bounded from below by the cost the search
// had reached when it stopped, which decides as well whether the trial
// could win.
class unit_predictions_t {
 public:
  struct entry_t {
    uint64_t lo, hi;  // the 16 predicted samples
    int32_t scan;
    uint32_t tree;  // the tree's cost, or where the search stopped at its bound a lower one
  };
  // The entry of the prediction in pred (16 bytes, rows of 4) and scan;
  // *fresh when there was none (its cost yet to be filled).
  entry_t *find(const uint8_t *pred, int32_t scan, bool *fresh) {
    uint64_t lo, hi;
    std::memcpy(&lo, pred, 8);
    std::memcpy(&hi, pred + 8, 8);
    const uint64_t h = lo * 0x9e3779b97f4a7c15ull ^ (hi + static_cast<uint64_t>(scan)) * 0xc2b2ae3d27d4eb4full;
    uint32_t i = static_cast<uint32_t>(h >> 58);
    for (; slot_[i]; i = (i + 1) & 63) {
      entry_t &e = entries_[slot_[i] - 1];
      if (e.lo == lo && e.hi == hi && e.scan == scan) {
        *fresh = false;
        return &e;
      }
    }
    entry_t &e = entries_[count_];
    slot_[i] = static_cast<uint8_t>(++count_);
    e.lo = lo;
    e.hi = hi;
    e.scan = scan;
    *fresh = true;
    return &e;
  }

 private:
  uint8_t slot_[64] = {};  // 1 + entry, open addressing by hash
  entry_t entries_[35];
  int32_t count_ = 0;
};

// Rough pass over all 35 modes, then the shortlist for the residual coder:
// the cheapest modes by rough cost and the first two MPMs.
int32_t rough_candidates(const cu_t &cu, const int32_t mpm[3], int32_t list[MAX_CANDIDATES]) {
  encoder_t *ctx = cu.ctx;
  cu_node_t *node = cu.node;
  const pixel_cost_fn kernel = cu.log2_size == 2 ? ctx->pixel.satd[4] : ctx->pixel.block_cost[6 - cu.log2_size];
  static constexpr std::array<uint8_t, 35> every_mode = [] {
    std::array<uint8_t, 35> m{};
    for (int32_t i = 0; i < 35; i++) m[i] = static_cast<uint8_t>(i);
    return m;
  }();
  intra_rough_luma_costs(ctx, cu.x, cu.y, cu.log2_size, kernel, every_mode.data(), 35, node->mode_costs);
  node->luma_dir = 34;
  cu_commit_rough_luma_dir(ctx, node, cu.z);
  ctx->intra_refs_refresh = 1;

  const int32_t size = cu.log2_size <= 3 ? 8 : 3;
  int32_t count = 0;
  uint32_t costs[MAX_CANDIDATES];
  for (int32_t mode = 0; mode < 35; mode++) {
    const uint32_t c = saturated(static_cast<uint64_t>(node->mode_costs[mode]) +
                                 intra_mode_penalty(node->lambda_sad, mode, mpm));
    node->mode_costs[mode] = c;
    // A newcomer goes before the first strictly dearer entry.
    int32_t pos = count;
    while (pos > 0 && costs[pos - 1] > c) pos--;
    if (pos >= size) continue;
    const int32_t last = std::min(count, size - 1);
    for (int32_t i = last; i > pos; i--) {
      list[i] = list[i - 1];
      costs[i] = costs[i - 1];
    }
    list[pos] = mode;
    costs[pos] = c;
    count = std::min(count + 1, size);
  }
  for (int32_t k = 0; k < 2; k++)
    if (std::find(list, list + count, mpm[k]) == list + count) list[count++] = mpm[k];
  return count;
}

// Luma mode of the unsplit CU (or of one 4x4 prediction unit), left coded
// in place with its transform tree.
void decide_luma(const cu_t &cu) {
  encoder_t *ctx = cu.ctx;
  cu_node_t *node = cu.node;
  node->split = 0;
  node->pred_intra = 1;
  node->part_mode = 0;
  node->chroma_dir = 4;
  cu_commit_cbf(ctx, cu.z, cu.log2_size, 0);
  cu_commit(ctx, cu.nodes, cu.z, cu.x, cu.y, cu.log2_size);
  int32_t mpm[3];
  intra_mpms(ctx, cu.z, mpm);

  int32_t best_mode = 0;
  uint32_t best = UINT32_MAX;
  luma_kept_t kept;
  int32_t kept_mode = -1;
  auto consider = [&](int32_t mode, int32_t flags = 0) {
    const uint32_t c = luma_trial(cu, mode, mpm, 0, best, flags);
    if (c < best) {
      best = c;
      best_mode = mode;
      if (cu.log2_size <= 5) {
        luma_kept_copy<true>(cu, &kept);
        kept_mode = mode;
      }
    }
  };
  // A 4x4 unit's trials all predict from its reconstruction's arrays,
  // built once before them: nothing between them predicts a luma block.
  const auto prepare_unit = [&]() {
    if (cu.log2_size == 2) intra_prepare_refs(ctx, 0, cu.x, cu.y, 2);
  };
  const bool exhaustive = ctx->analysis_level >= 7 && cu.log2_size <= min_cb_log2(ctx);
  if (exhaustive) prepare_unit();
  if (exhaustive && cu.log2_size == 2 && !(probe && probe->every_trial)) {
    unit_predictions_t seen;
    const cabac_est_t &start = ctx->cabac_est_save[1 + cu.depth];
    uint8_t *rec = ctu_rec_at(ctx, 0, cu.x, cu.y);
    // Each mode's prediction first (from the unsmoothed array with the edge
    // filters, as every 4x4 luma block): one repeated is costed from its
    // first trial's tree, a fresh one put where its trial would predict it.
    for (int32_t mode = 0; mode < 35; mode++) {
      alignas(16) uint8_t pred[16];
      intra_predictor(ctx->intra, mode, 1, 2)(pred, 4, ctx->nb_luma);
      bool fresh;
      unit_predictions_t::entry_t *e = seen.find(pred, scan_idx_for(1, mode, 2, 0), &fresh);
      if (!fresh) {
        // The trial's mode bits from the unit's starting states (the one
        // context they read).
        cabac_est_t bin;
        bin.bits = 0;
        bin.state[CTX_PREV_INTRA_LUMA_PRED] = start.state[CTX_PREV_INTRA_LUMA_PRED];
        const uint32_t mode_cost = rd_cost(0, intra_luma_mode_bits(&bin, mode, mpm), cu.node->lambda_ssd);
        // Its tree would have to cost less than this to win.  Below it the
        // trial wins or may: it is coded, so that a winner is the one kept.
        const uint32_t bound = best > mode_cost ? best - mode_cost : 0;
        if (e->tree >= bound) continue;
      }
      for (int32_t r = 0; r < 4; r++) std::memcpy(rec + r * RECON_STRIDE, pred + 4 * r, 4);
      consider(mode, TREE_PREDICTED);
      e->tree = cu.node->tu_tree_cost;
    }
  } else if (exhaustive) {
    for (int32_t mode = 0; mode < 35; mode++) consider(mode);
  } else {
    int32_t list[MAX_CANDIDATES];
    const int32_t count = rough_candidates(cu, mpm, list);
    prepare_unit();
    for (int32_t i = 0; i < count; i++) consider(list[i]);
  }

  node->intra_cost = best;
  node->luma_dir = best_mode;
  ctx->intra_refs_refresh = 1;
  node->split = 0;
  cu_commit(ctx, cu.nodes, cu.z, cu.x, cu.y, cu.log2_size);
  cu_commit_cbf(ctx, cu.z, cu.log2_size, 0);
  // The winner's reconstruction is what the next block predicts from: put
  // back as its search left it, the search's other effects as it makes them.
  if (kept_mode != best_mode) {
    luma_trial(cu, best_mode, mpm, cu.log2_size == 2 ? 0 : 1);
    return;
  }
  begin_trial(cu);
  cu_commit_luma_dir(ctx, node, cu.z, cu.log2_size);
  luma_kept_copy<false>(cu, &kept);
  node->residual_mode = 2;
  ctx->maps->cbf[node_index(cu.z, cu.log2_size)] = block_cbf(ctx->maps->unit.cbf, cu.z, cu.log2_size);
}

// intra_chroma_pred_mode of the CU, or of the 8x8 area of four 4x4
// prediction units when called for the fourth.  With keep the derived
// mode's trial is kept (cu_chroma_keep).
void decide_chroma(const cu_t &cu, bool keep) {
  encoder_t *ctx = cu.ctx;
  cu_node_t *node = cu.node;
  const bool pu = cu.log2_size == 2;
  const int32_t az = pu ? cu.z & ~3 : cu.z, ax = pu ? cu.x & ~7 : cu.x, ay = pu ? cu.y & ~7 : cu.y;
  const int32_t area_log2 = std::max(cu.log2_size, min_cb_log2(ctx));
  const pixel_cost_fn kernel = area_log2 == 3 ? ctx->pixel.satd[4] : ctx->pixel.block_cost[7 - area_log2];
  const uint64_t penalty = 3 * static_cast<uint64_t>(node->lambda_sad);

  int32_t listed = 0;
  uint32_t listed_cost = UINT32_MAX;
  ctx->intra_refs_refresh = 1;
  for (int32_t mode = 0; mode < 4; mode++) {
    node->chroma_dir = mode;
    cu_commit_chroma_dir(ctx, node, cu.z, cu.log2_size);
    intra_predict_cu_chroma(ctx, cu.z, cu.x, cu.y, cu.log2_size);
    uint64_t c = penalty;
    for (int32_t p = 1; p <= 2; p++)
      c += kernel(ctu_src_at(ctx, p, ax >> 1, ay >> 1), SRC_STRIDE, ctu_rec_at(ctx, p, ax >> 1, ay >> 1),
                  RECON_STRIDE);
    node->chroma_costs[mode] = saturated(c);
    if (node->chroma_costs[mode] < listed_cost) {
      listed_cost = node->chroma_costs[mode];
      listed = mode;
    }
    ctx->intra_refs_refresh = 0;
  }
  ctx->intra_refs_refresh = 1;

  const cabac_est_t start = ctx->cabac.est;
  const cu_node_t *area = cu.nodes + node_index(az, area_log2);
  auto trial = [&](int32_t mode) {
    ctx->cabac.est = start;
    node->chroma_dir = mode;
    cu_commit_chroma_dir(ctx, node, cu.z, cu.log2_size);
    const uint32_t bits = intra_chroma_mode_bits(&ctx->cabac.est, mode);
    tree_search(cu, az, ax, ay, area_log2, 2, 0);
    return saturated(static_cast<uint64_t>(area->tu_tree_cost) + rd_cost(0, bits, node->lambda_ssd));
  };
  const uint32_t derived = trial(4);
  if (keep) cu_chroma_keep(ctx, az, area_log2);
  const uint32_t other = trial(listed);
  node->chroma_dir = derived < other ? 4 : listed;
  cu_commit_chroma_dir(ctx, node, cu.z, cu.log2_size);
}

// The unsplit CU (or 4x4 prediction unit): its modes, then its cost from
// the node's starting states.
void evaluate_unsplit(const cu_t &cu) {
  encoder_t *ctx = cu.ctx;
  cu_node_t *node = cu.node;
  cu_commit_depth(ctx, cu.z, cu.log2_size);

  // Every trial below codes the CU alone.
  intra_refs_keep_begin(ctx, cu.x, cu.y, cu.log2_size);
  decide_luma(cu);
  // The CU's chroma trials code its chroma blocks as coding the CU from
  // its starting states would (chroma blocks read no context the luma
  // blocks change), so the decided mode's blocks are put back rather than
  // coded again: the derived mode's, overwritten by the other trial, kept.
  // Where the luma is one transform block, the search coded it first from
  // those states too (but for the mode and split flag contexts, which no
  // block reads) and nothing is coded again.
  const bool coded = cu.log2_size >= min_cb_log2(ctx);
  const bool in_place = coded && cu.log2_size <= 5;
  // The fourth 4x4 prediction unit decides the chroma of the 8x8 area
  // (which the NxN CU then takes back in the same way).
  if (coded || (cu.z & 3) == 3) decide_chroma(cu, cu.log2_size <= 5);
  cu_commit(ctx, cu.nodes, cu.z, cu.x, cu.y, cu.log2_size);
  const cabac_est_t &start = ctx->cabac_est_save[1 + cu.depth];
  if (in_place) {
    if (node->chroma_dir == 4) cu_chroma_put_back(ctx, cu.z, cu.log2_size);
    node->intra_cost = cu_rd_cost_intra_in_place(ctx, node->lambda_ssd, cu.z, cu.x, cu.y, cu.log2_size, start);
  } else if (coded) {
    ctx->cabac.est = start;
    node->intra_cost = cu_rd_cost(ctx, node->lambda_ssd, cu.z, cu.x, cu.y, cu.log2_size, 0);
  }
  intra_refs_keep_end(ctx);
  node->split_flag_cost[0] = split_flag_cost(cu, 0);
}

// Strong or widespread local structure of a 16x16 source block asks for
// the split at the lowest thorough level.
bool split_worth_trying(const cu_t &cu) {
  encoder_t *ctx = cu.ctx;
  if (ctx->analysis_level == 5 && ctx->slice_type_code == 2 && cu.log2_size == 4)
    return cu_split_texture_test(ctx, cu.z, cu.x, cu.y, cu.log2_size) != 0;
  return true;
}

void report_decision(const cu_t &cu, uint32_t unsplit, uint32_t split, int32_t kind) {
  if (probe && probe->decision) probe->decision(probe->user, cu.z, cu.log2_size, unsplit, split, kind);
}

// The 8x8 CU against its four 4x4 prediction units: as NxN, or, when all
// four chose one mode other than the CU's, as a 2Nx2N CU of that mode whose
// transform splits into the same four blocks.  The first unit's block is
// in place as coding the CU codes it (its search started from the CU's
// starting states but for the mode's and split flags' contexts, which no
// block reads), and first_copies are the quantiser's luma scratch states
// its coding left.
uint32_t nxn_alternative(const cu_t &cu, bool evaluated, int32_t unsplit_mode, const uint8_t first_copies[2],
                         int32_t *kind) {
  encoder_t *ctx = cu.ctx;
  cu_node_t *node = cu.node;
  const cu_node_t *pus = cu.nodes + node_index(cu.z, 2);
  const int32_t common = pus[0].luma_dir;
  bool same = true;
  for (int32_t k = 1; k < 4; k++) same &= pus[k].luma_dir == common;
  if (evaluated && same && common != unsplit_mode) {
    *kind = INTRA_FULL_SPLIT_COMMON_2NX2N;
    node->split = 0;
    node->part_mode = 0;
    node->luma_dir = common;
    node->chroma_dir = pus[3].chroma_dir;
    node->tu_split = 1;
  } else {
    *kind = INTRA_FULL_SPLIT_NXN;
    node->split = 1;
  }
  cu_commit(ctx, cu.nodes, cu.z, cu.x, cu.y, cu.log2_size);
  // Either way the chroma is the fourth unit's decision, whose trials left
  // it as coding the CU from its starting states would (see
  // evaluate_unsplit); the live states still hold their scratch states.
  if (pus[3].chroma_dir == 4) cu_chroma_put_back(ctx, cu.z, cu.log2_size);
  return cu_rd_cost_intra_in_place(ctx, node->lambda_ssd, cu.z, cu.x, cu.y, cu.log2_size,
                                   ctx->cabac_est_save[1 + cu.depth], first_copies);
}

// Makes the units of an 8x8 CU that was never tried unsplit intra units, as
// the searches of its 4x4 prediction units expect.
void prepare_forced_nxn(const cu_t &cu) {
  cu_node_t *node = cu.node;
  node->split = 0;
  node->pred_intra = 1;
  node->part_mode = 0;
  node->luma_dir = 1;
  node->chroma_dir = 4;
  cu_commit(cu.ctx, cu.nodes, cu.z, cu.x, cu.y, cu.log2_size);
}

}  // namespace

void intra_full_set_probe(const intra_full_probe_t *p) { probe = p; }

void analyse_cu_intra_full(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size) {
  const cu_t cu = make_cu(ctx, nodes, z, x, y, log2_size);
  cu_node_t *node = cu.node;
  cu_node_reset(ctx, node);
  // Quarters kept for a CU at this place before are not this CU's.
  if (log2_size == 3) tu_first_quarters_forget(ctx);
  const int32_t mode = split_mode_of(cu);
  ctx->cabac_est_save[1 + cu.depth] = ctx->cabac.est;

  const bool evaluated = mode != SPLIT_FORCED;
  if (evaluated) evaluate_unsplit(cu);
  if (mode == SPLIT_NEVER || (mode == SPLIT_TRY && !split_worth_trying(cu))) {
    node->intra_cost = saturated(static_cast<uint64_t>(node->intra_cost) + node->split_flag_cost[0]);
    cu_commit(ctx, nodes, z, x, y, log2_size);
    return;
  }

  // Split trial, with the unsplit result kept aside.
  if (evaluated) cu_snapshot_save(ctx, nodes, z, y, log2_size);
  const cu_node_t unsplit = *node;
  const uint32_t unsplit_cost =
      evaluated ? saturated(static_cast<uint64_t>(node->intra_cost) + node->split_flag_cost[0]) : COST_NONE;
  begin_trial(cu);
  if (log2_size == min_cb_log2(ctx) && !evaluated) prepare_forced_nxn(cu);
  node->split = 1;
  const int32_t h = cu.size >> 1, q = child_step(log2_size);
  const bool right = block_in_picture(ctx, x + h, y), below = block_in_picture(ctx, x, y + h);
  const bool inside[4] = {true, right, below, right && below};
  const int32_t first_child = node_index(z, log2_size - 1);
  // Four CUs cost the sum of their costs and the split flag's: they only
  // have to cost less than the unsplit CU, so once the CUs searched so far
  // cost that much the rest are left alone (the unsplit CU is put back from
  // its snapshot, and a CU not searched leaves nothing anyone reads).
  const bool children = log2_size > min_cb_log2(ctx);
  uint64_t children_cost = 0;
  // As the first prediction unit's decided trial left them.
  uint8_t first_copies[2] = {};
  for (int32_t k = 0; k < 4; k++) {
    if (!inside[k]) continue;
    if (children && evaluated && children_cost >= unsplit_cost) break;
    analyse_cu_intra_full(ctx, nodes, z + k * q, x + (k & 1) * h, y + (k >> 1) * h, log2_size - 1);
    children_cost += nodes[first_child + k].intra_cost;
    if (k == 0 && !children) {
      first_copies[0] = ctx->cabac.est.state[CABAC_NUM_CTX];
      first_copies[1] = ctx->cabac.est.state[CABAC_NUM_CTX + 2];
    }
  }
  node->split_flag_cost[1] = split_flag_cost(cu, 1);

  int32_t kind = INTRA_FULL_SPLIT_CHILDREN;
  uint32_t split_cost;
  if (children) {
    split_cost = saturated(node->split_flag_cost[1] + children_cost);
  } else {
    split_cost = nxn_alternative(cu, evaluated, unsplit.luma_dir, first_copies, &kind);
  }
  report_decision(cu, unsplit_cost, split_cost, kind);

  if (!evaluated || split_cost < unsplit_cost) {
    node->intra_cost = split_cost;
    uint32_t kids = 0;
    for (int32_t k = 0; k < 4; k++) {
      if (!inside[k]) continue;
      kids |= 1u << k;
      // The prediction units' own bytes are those of the CU just coded.
      if (log2_size == min_cb_log2(ctx)) cu_commit_cbf(ctx, z + k, 2, ctx->maps->unit.cbf[z + k] & 7);
    }
    cu_commit_children_cbf(ctx, z, log2_size, kids);
  } else {
    cu_snapshot_restore(ctx, nodes, z, y, log2_size);
    const uint32_t flag1 = node->split_flag_cost[1];
    *node = unsplit;
    node->split = 0;
    node->split_flag_cost[1] = flag1;
    node->intra_cost = unsplit_cost;
  }
  cu_commit(ctx, nodes, z, x, y, log2_size);
  ctx->intra_refs_refresh = 1;
}
