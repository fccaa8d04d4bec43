// Rate-distortion optimised quantisation of one transform block.
//
// Every coefficient, visited in reverse scan order as the residual coder
// visits it, takes the level among the plainly rounded one, one below it
// and zero that minimises distortion + lambda * bits, the bits priced with
// the coder's own context states and the context selection of H.265 9.3.4.2
// (sig_coeff_flag, greater1 set and counter, greater2, the Rice parameter of
// coeff_abs_level_remaining, one bypass bin per sign).  The block then
// chooses its last significant position by the same cost, in which leaving
// the block empty saves the coded flag's 1 and pays its 0.
//
// rdoq (fast) weighs level 0 only against rounded levels up to 2, drops
// a coefficient group between the first and the last where coding nothing
// in it is cheaper, and stops the last-position search at the first level
// above 1.  rdoq_alt (thorough) weighs every candidate and every last
// position, advances the context states over the bins as it decides them,
// and decides a second time once the last position is known, so that no
// group is mistaken for a middle one; in blocks up to 8x8 it then also
// revisits each level against its whole group's cost.
//
// Costs are in 1/65536 of a squared sample error: the forward transform
// scales coefficients by 2^(7 - log2 N) over an orthonormal transform, so a
// coefficient error e is worth e^2 * 2^(2 log2 N - 14) squared sample
// errors, and lambda (lambda * 256) times bits in 1/256 is already in that
// unit.  Every cost counts from the distortion of the block left empty,
// which every choice pays alike and which therefore never needs summing: a
// level adds what it changes of it, a position left 0 only its flag's bits.
//
// The work of a block is bounded by its last rounded level, not its size:
// nothing beyond that position is visited again after the first step;
// groups between the first and the last that round to nothing are settled
// without pricing their positions.
#include "common/rdoq.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "common/rdoq_block.h"
#include "common/rdoq_fast.h"
#include "common/rdoq_walk.h"

namespace {

uint32_t quantise_plainly(const rdoq_request_t *req, const quant_params_t &q) {
  const int32_t count = 1 << (2 * req->log2_size);
  uint32_t nonzero = 0;
  for (int32_t k = 0; k < count; k++) {
    const int64_t c = req->coef[k];
    const int64_t a = std::min<int64_t>(((c < 0 ? -c : c) * q.scale + q.offset) >> q.shift, 32767);
    req->levels[k] = static_cast<int16_t>(c < 0 ? -a : a);
    nonzero += a != 0;
  }
  return nonzero;
}

}  // namespace

void rdoq_prep_c(rdoq_prep_t *out, const int16_t *coef, const rdoq_dist_params_t *p) {
  const int32_t log2 = p->log2_size, n = 1 << log2, groups = n >> 2;
  const int64_t half = int64_t{1} << (p->shift - 1);
  uint64_t mask = 0;
  for (int32_t y = 0; y < n; y++)
    for (int32_t x = 0; x < n; x++) {
      const int32_t i = y * n + x;
      const int64_t c = coef[i];
      const int64_t rounded = std::min<int64_t>(((c < 0 ? -c : c) * p->scale + half) >> p->shift, 32767);
      out->rounded[i] = static_cast<int16_t>(rounded);
      if (rounded) mask |= uint64_t{1} << ((y >> 2) * groups + (x >> 2));
    }
  out->group_mask = mask;
  for (int32_t g = 0; g < groups * groups; g++) {
    if (!((mask >> g) & 1)) continue;
    const int32_t at = (g / groups) * 4 * n + (g % groups) * 4;
    uint32_t map = 0;
    for (int32_t k = 0; k < 16; k++) {
      const int32_t i = at + (k >> 2) * n + (k & 3);
      if (!out->rounded[i]) continue;
      map |= 1u << k;
      rdoq_candidate_dists(out, coef, i, p);
    }
    out->group_map[g] = static_cast<uint16_t>(map);
  }
}

// The block's levels cleared with a size the compiler knows, which it
// writes in place rather than through a call.
void clear_levels(int16_t *levels, int32_t log2) {
  switch (log2) {
    case 2: std::memset(levels, 0, 2 * 16); break;
    case 3: std::memset(levels, 0, 2 * 64); break;
    case 4: std::memset(levels, 0, 2 * 256); break;
    default: std::memset(levels, 0, 2 * 1024); break;
  }
}

// 2^40 / scale rounded up for the quantiser scale of qp, which depends only
// on qp % 6: six divisions made when compiling rather than one per block.
constexpr std::array<int64_t, 6> scale_reciprocals = [] {
  std::array<int64_t, 6> r{};
  for (int32_t k = 0; k < 6; k++) {
    const int64_t scale = quant_params(k, 2, 0).scale;
    r[static_cast<size_t>(k)] = ((int64_t{1} << 40) + scale - 1) / scale;
  }
  return r;
}();

namespace {

// The block record of a decision from its request (weight as
// decide_variant forms it).
block_t make_block(const rdoq_request_t *req, const rdoq_variant_t &v, int64_t weight) {
  block_t b;
  b.log2 = req->log2_size;
  b.n = 1 << b.log2;
  b.chroma = req->plane > 0;
  b.scan_type = req->scan_type;
  const block_tables_t &bt = block_tables().at[req->scan_type][b.log2 - 2];
  b.scan = bt.scan;
  b.group_at = bt.group_at;
  b.group_order = bt.group_order;
  b.last_prefix = bt.last_prefix;
  b.lambda = req->lambda;
  if (b.chroma && v.chroma_on_lambda) b.lambda = std::min<int64_t>((b.lambda << 9) / weight, UINT32_MAX);
  // Bounded like lambda, so that the flag's cost stays below 2^48.
  for (int32_t k = 0; k < 2; k++) b.cbf_cost[k] = b.lambda * std::min<uint32_t>(req->cbf_bits[k], 65535);
  std::memcpy(b.st, req->est->state, sizeof b.st);
  for (int32_t i = 0; i < 4; i++) b.st[copied_ctx[i]] = ctx_state_t{req->est->state[copy_slot[i]]};
  return b;
}

// The fast decision of a block whose rounded levels reach beyond its first
// group, after its first step: apart, so that the requests the entry
// settles (most of them) pay neither its frame nor the registers it saves,
// and with the whole decision taken in place.
[[gnu::noinline, gnu::flatten]] uint32_t decide_groups_fast(const rdoq_request_t *req, const rdoq_prep_t &pre,
                                                            const rdoq_tier_t &tier, bool general) {
  block_t b = make_block(req, fast_variant, 256);
  return decide_block<fast_variant>(req, b, pre, tier.zero_sums, general);
}

// rdoq_decide of one variant: each compiled with only its own paths.
template <bool thorough>
uint32_t decide_variant(const rdoq_request_t *req, const rdoq_tier_t &tier, bool general) {
  const rdoq_variant_t &v = thorough ? thorough_variant : fast_variant;
  const int32_t log2 = req->log2_size, chroma = req->plane > 0;
  const quant_params_t q = quant_params(req->qp, log2, req->is_intra);
  // Without estimation states there is no rate to weigh.
  if (!req->est) return quantise_plainly(req, q);

  // An unset (non-positive) chroma weight counts as 1; the clamps keep
  // every cost sum of a block below 2^60.
  const int64_t weight = req->chroma_weight > 0 ? std::min<int64_t>(req->chroma_weight, 4096) : 256;
  // Only what the first step needs is formed before it: most blocks end
  // with it.
  rdoq_prep_t pre;
  const rdoq_dist_params_t dp{log2, q.scale, q.shift, 22 - 2 * log2, scale_reciprocals[static_cast<size_t>(qp_split(req->qp).rem)],
                              chroma && !v.chroma_on_lambda ? weight : 256};
  tier.prep(&pre, req->coef, &dp);
  clear_levels(req->levels, log2);
  // Most blocks of a real encode round to nothing at all.
  if (!pre.group_mask) return 0;
  if constexpr (thorough) {
    block_t b = make_block(req, v, weight);
    return b.log2 == 2 ? decide_block<thorough_variant, true>(req, b, pre, tier.zero_sums, general)
                       : decide_block<thorough_variant>(req, b, pre, tier.zero_sums, general);
  } else {
    if (!general && pre.group_mask == 1)
      return log2 == 2 ? decide_first_group_fast<true>(req, pre, tier.zero_sums)
                       : decide_first_group_fast<false>(req, pre, tier.zero_sums);
    return decide_groups_fast(req, pre, tier, general);
  }
}

// The fast decision of a 4x4 block, the most frequent request, as
// decide_variant<false> takes it, with the block size known: one group,
// decided by decide_first_group_fast.  Apart, so that it neither sets up
// the larger blocks' decision nor saves the registers it needs.
[[gnu::flatten]] uint32_t decide_4x4_fast(const rdoq_request_t *req, const rdoq_tier_t &tier) {
  const quant_params_t q = quant_params(req->qp, 2, req->is_intra);
  // Without estimation states there is no rate to weigh.
  if (!req->est) return quantise_plainly(req, q);
  const int64_t weight = req->chroma_weight > 0 ? std::min<int64_t>(req->chroma_weight, 4096) : 256;
  rdoq_prep_t pre;
  const rdoq_dist_params_t dp{2, q.scale, q.shift, 18, scale_reciprocals[static_cast<size_t>(qp_split(req->qp).rem)],
                              req->plane > 0 ? weight : 256};
  tier.prep(&pre, req->coef, &dp);
  clear_levels(req->levels, 2);
  if (!pre.group_mask) return 0;
  return decide_first_group_fast<true>(req, pre, tier.zero_sums);
}

}  // namespace

uint32_t rdoq_decide(const rdoq_request_t *req, int32_t thorough, const rdoq_tier_t &tier, bool general) {
  if (thorough) return decide_variant<true>(req, tier, general);
  return req->log2_size == 2 && !general ? decide_4x4_fast(req, tier) : decide_variant<false>(req, tier, general);
}

void rdoq_zero_sums_c(uint16_t *out, const uint8_t *inc, const uint16_t *cost, uint32_t set) {
  out[16] = 0;
  for (int32_t k = 15; k >= 0; k--) out[k] = static_cast<uint16_t>(out[k + 1] + (((set >> k) & 1) ? cost[inc[k]] : 0));
}

namespace {

constexpr rdoq_tier_t portable_tier = {rdoq_prep_c, rdoq_zero_sums_c};

}  // namespace

uint32_t rdoq_c(const rdoq_request_t *req) { return rdoq_decide(req, 0, portable_tier); }

uint32_t rdoq_alt_c(const rdoq_request_t *req) { return rdoq_decide(req, 1, portable_tier); }
