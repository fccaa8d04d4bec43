// The fast decision's own ways with blocks whose rounded levels all lie in
// their first group: a walk over one group's positions, and a block of one
// rounded level priced directly.
//
// Compiled within common/rdoq.cpp alone, so that the decision's functions
// inline into one another across its files as they did in one; nothing
// else includes it.
#pragma once

#include <algorithm>
#include <cstring>

#include "common/rdoq_block.h"

namespace {

// The fast decision of a block whose one rounded level lies at entry k of
// its first group (a third of the 4x4 blocks that round to anything): the
// level is the last position, whose flag is not coded, and the first the
// group codes, so it needs only the level bins' states of a fresh group,
// the flags of the entries below it (all 0) and its own last-position
// prefixes.  The level, the states and every tie come out as
// decide_first_group_fast's.
template <bool small>
uint32_t decide_lone_level_fast(const rdoq_request_t *req, const rdoq_prep_t &pre, const block_tables_t &bt,
                                int32_t k) {
  const int32_t chroma = req->plane > 0, scan_type = req->scan_type, log2 = small ? 2 : req->log2_size;
  const uint8_t *const est = req->est->state;
  const int64_t lambda = req->lambda;
  const uint16_t *const cost = cabac_bit_cost_table.data();
  const int32_t p = bt.scan[k], rounded = pre.rounded[p];
  // The greater1 flag with greater1Ctx 1 and the greater2 flag of context
  // set 0, then the remainder with Rice parameter 0.
  const uint8_t g1 = est[CTX_GREATER1 + (chroma ? 16 : 0) + 1], g2 = est[CTX_GREATER2 + (chroma ? 4 : 0)];
  auto bits_of = [&](int32_t a) {
    uint32_t bits = 256 + cost[g1 ^ (a > 1)];
    if (a > 1) bits += cost[g2 ^ (a > 2)];
    if (a > 2) bits += remaining_bits(static_cast<uint32_t>(a - 3), 0);
    return bits;
  };
  // Ties go to the larger level, so that lambda 0 keeps the rounding.
  int32_t a = rounded;
  int64_t best = pre.level_dist[p] + lambda * bits_of(rounded);
  if (rounded > 1) {
    const int64_t c = pre.below_dist[p] + lambda * bits_of(rounded - 1);
    if (c < best) {
      best = c;
      a = rounded - 1;
    }
  }
  if (rounded <= 2 && pre.zero_dist[p] < best) return 0;
  // The zero flags below it: entry 0's context is the copied one (the DC
  // context from 8x8 on), the others the layout's of no coded neighbours.
  const residual_ctx::group_sig_layout_t lay = residual_ctx::group_sig_layout(bt.scan, log2, chroma, scan_type, 0);
  const uint8_t *const inc = residual_ctx::scan_ctx_inc[scan_type][lay.pattern].data();
  const uint8_t sig0 = est[copy_slot[chroma]];
  uint32_t bits = k > 0 ? cost[sig0] : 0;
  for (int32_t j = 1; j < k; j++) bits += cost[est[lay.offset + inc[j]]];
  // The last position's prefixes (block_t::last_prefix_bits): a
  // coordinate c codes c ones and, below the largest prefix (3 in a 4x4
  // block), a zero.
  const int32_t offset = chroma ? 15 : 3 * (log2 - 2) + ((log2 - 1) >> 2);
  const int32_t sh = chroma ? log2 - 2 : (log2 + 1) >> 2;
  const uint32_t pf = bt.last_prefix[k];
  for (int32_t xy = 0; xy < 2; xy++) {
    const uint8_t *st = est + (xy ? CTX_LAST_Y_PREFIX : CTX_LAST_X_PREFIX) + offset;
    const int32_t c = xy ? static_cast<int32_t>(pf >> 8) : static_cast<int32_t>(pf & 255);
    for (int32_t i = 0; i < c; i++) bits += cost[st[i >> sh] ^ 1];
    if (!small || c < 3) bits += cost[st[c >> sh]];
  }
  // The block's cost against coding nothing, which the level also wins on
  // a tie.  The coded flag's costs are bounded like lambda.
  const int64_t cbf0 = lambda * std::min<uint32_t>(req->cbf_bits[0], 65535);
  const int64_t cbf1 = lambda * std::min<uint32_t>(req->cbf_bits[1], 65535);
  if (cbf1 + lambda * bits + (best - pre.zero_dist[p]) > cbf0) return 0;
  const int32_t negative = req->coef[p] >> 15;
  req->levels[p] = static_cast<int16_t>((a ^ negative) - negative);
  // The greater1 copy codes nothing (greater1Ctx is 1 at the group's only
  // level); entry 0's flag, a 0, is coded unless it is the last position.
  if (k > 0) req->est->state[copy_slot[chroma]] = cabac_transition_table[sig0 * 2];
  return 1;
}

// The fast decision of a block whose rounded levels all lie in its first
// group: every 4x4 block, the most frequent request, and about half the
// 8x8 ones.  One group, context set 0, no group flags.  One walk over the
// positions that round to a level decides each as decide_levels does and
// notes, for every chosen level the last-position search would try, the
// part of its cost that is not the same for all of them; the block's cost
// then follows from the levels' sum.  The few states it reads are taken
// once (the copies for the contexts they stand for) rather than the whole
// block's.  The levels, the states and every tie come out as
// decide_block<fast_variant>'s.
// small: a 4x4 block, whose layout and prefixes the compiler then knows.
template <bool small>
uint32_t decide_first_group_fast(const rdoq_request_t *req, const rdoq_prep_t &pre, rdoq_zero_sums_fn zero_sums) {
  const int32_t chroma = req->plane > 0, scan_type = req->scan_type, log2 = small ? 2 : req->log2_size;
  const block_tables_t &bt = block_tables().at[scan_type][log2 - 2];
  const uint16_t *const scan = bt.scan;
  const auto &to_scan = raster_to_scan[scan_type];
  const uint32_t map = to_scan[0][pre.group_map[0] & 255] | to_scan[1][pre.group_map[0] >> 8];  // bit k: entry k rounds to a level
  const int32_t last = 31 - __builtin_clz(map);
  if (!(map & (map - 1))) return decide_lone_level_fast<small>(req, pre, bt, last);
  const uint8_t *const est = req->est->state;
  const int64_t lambda = req->lambda;
  const uint16_t *const cost = cabac_bit_cost_table.data();
  // The sig_coeff_flag states by the index inc gives each entry: offset +
  // increment, and position 0's context, kept in its copy (index 9): the
  // DC context from 8x8 on, increment 0 of a 4x4 block.  No group after
  // the first is coded, so the layout is that of no coded neighbours.
  const residual_ctx::group_sig_layout_t lay = residual_ctx::group_sig_layout(scan, log2, chroma, scan_type, 0);
  const uint8_t *inc = residual_ctx::scan_ctx_inc[scan_type][lay.pattern].data();
  uint8_t sig[10], inc_dc[16];
  sig[9] = est[copy_slot[chroma]];
  for (int32_t v = small; v < 9; v++) sig[v] = est[lay.offset + v];
  if (lay.dc_ctx >= 0) {
    std::memcpy(inc_dc, inc, sizeof inc_dc);
    inc_dc[0] = 9;
    inc = inc_dc;
  } else {
    sig[0] = sig[9];
  }
  // greater1 of context set 0 by greater1Ctx (0 kept in its copy), greater2.
  uint8_t g1[4];
  const int32_t g1_base = CTX_GREATER1 + (chroma ? 16 : 0);
  g1[0] = est[copy_slot[2 + chroma]];
  for (int32_t c = 1; c < 4; c++) g1[c] = est[g1_base + c];
  const uint8_t g2 = est[CTX_GREATER2 + (chroma ? 4 : 0)];
  auto bin = [&](uint8_t state, int32_t b) -> uint32_t { return cost[state ^ b]; };
  // The last position's prefix bins (block_t::last_prefix_bits), of the
  // coordinates 0..3 the group holds, whose prefixes are themselves: a
  // coordinate c codes c ones (bins 0..c - 1) and, below the largest
  // prefix (3 in a 4x4 block), a zero (bin c).
  uint32_t prefix_bits[2][4];
  {
    const int32_t offset = chroma ? 15 : 3 * (log2 - 2) + ((log2 - 1) >> 2);
    const int32_t sh = chroma ? log2 - 2 : (log2 + 1) >> 2;
    for (int32_t xy = 0; xy < 2; xy++) {
      const uint8_t *st = est + (xy ? CTX_LAST_Y_PREFIX : CTX_LAST_X_PREFIX) + offset;
      uint32_t ones = 0;
      for (int32_t c = 0; c < 3; c++) {
        const uint8_t s = st[c >> sh];
        prefix_bits[xy][c] = ones + bin(s, 0);
        ones += bin(s, 1);
      }
      prefix_bits[xy][3] = ones + (small ? 0 : bin(st[3 >> sh], 0));
    }
  }
  int32_t level[16] = {};
  group_state_t gs{0, 1, 0, 0, 0};
  // The levels go out as they are chosen, and the copy of the greater1
  // context with greater1Ctx 0 advances over their flags as the coder will
  // code them (only greater1Ctx of the group state reaches it, up to the
  // eighth level): from the chosen last position on, which is nearly always
  // the first candidate, whose walk this is.
  uint8_t g1_copy = g1[0];
  // Bits of the zero flags of the positions that round to 0 (the last
  // position rounds to a level), summed from each entry up: the walk adds
  // those above the entry in hand without a loop whose length is as good
  // as random.  Entry 0's context (the copied one) is added apart, as it
  // has no increment of the layout's from 8x8 on.
  uint16_t zero_above[17], zero_cost[16] = {};  // the sums read sixteen costs
  {
    const uint32_t zeros = ~map & ((1u << last) - 1);
    for (int32_t v = 0; v < 9; v++) zero_cost[v] = static_cast<uint16_t>(bin(sig[v], 0));
    zero_sums(zero_above, residual_ctx::scan_ctx_inc[scan_type][lay.pattern].data(), zero_cost, zeros & ~1u);
    zero_above[0] = static_cast<uint16_t>(zero_above[1] + (zeros & 1 ? bin(sig[9], 0) : 0));
  }
  // Bits of the zero flags of the levels chosen 0 above the entry in hand.
  uint32_t zero_bits = 0;
  int64_t level_delta = 0;  // cost minus zero-level distortion of the levels so far
  // The last-position search stops at the first level above 1: the
  // candidates up to it, each by the part of its cost the others do not
  // share, in descending scan order.
  int64_t own_cost[16];
  int32_t cand_at[16], cands = 0;
  bool searching = true;
  for (uint32_t m = map; m;) {
    const int32_t k = 31 - __builtin_clz(m);
    m &= ~(1u << k);
    const int32_t p = scan[k], rounded = pre.rounded[p];
    const uint8_t ctx_state = sig[inc[k]];
    const bool is_last = k == last;
    const int64_t sig0 = is_last ? 0 : lambda * bin(ctx_state, 0);
    const int64_t sig1 = is_last ? 0 : lambda * bin(ctx_state, 1);
    auto bits_of = [&](int32_t a) {
      return level_bits_by(gs, a, [&](int32_t f) { return bin(g1[gs.c1], f); }, [&](int32_t f) { return bin(g2, f); });
    };
    // Ties go to the larger level, so that lambda 0 keeps the rounding.
    int32_t a = rounded;
    int64_t best = pre.level_dist[p] + sig1 + lambda * bits_of(rounded);
    if (rounded > 1) {
      const int64_t c = pre.below_dist[p] + sig1 + lambda * bits_of(rounded - 1);
      if (c < best) {
        best = c;
        a = rounded - 1;
      }
    }
    if (rounded <= 2 && pre.zero_dist[p] + sig0 < best) a = 0;
    level[k] = a;
    if (a) {
      if (searching) {
        const uint32_t pf = bt.last_prefix[k];
        own_cost[cands] = lambda * (prefix_bits[0][pf & 255] + prefix_bits[1][pf >> 8]) - sig1 -
                          (lambda * (zero_bits + zero_above[k + 1]) + level_delta);
        cand_at[cands++] = k;
        searching = a == 1;
      }
      level_delta += best - pre.zero_dist[p];
      // The coefficient's sign taken without a branch: it is as good as
      // random.
      if constexpr (small) {
        const int32_t negative = req->coef[p] >> 15;
        req->levels[p] = static_cast<int16_t>((a ^ negative) - negative);
        if (gs.c1 == 0 && gs.nz < 8) g1_copy = cabac_transition_table[g1_copy * 2 + (a > 1)];
      }
      group_advance(gs, a);
    } else if (!is_last) {
      zero_bits += bin(ctx_state, 0);
    }
  }
  zero_bits += zero_above[0];

  // The first candidate also wins a tie against coding nothing.  The coded
  // flag's costs are bounded like lambda, so that they stay below 2^48.
  const int64_t cbf0 = lambda * std::min<uint32_t>(req->cbf_bits[0], 65535);
  const int64_t cbf1 = lambda * std::min<uint32_t>(req->cbf_bits[1], 65535);
  const int64_t body = cbf1 + lambda * zero_bits + level_delta;
  int64_t best_cost = cbf0;
  int32_t chosen = -1;
  for (int32_t c = 0; c < cands; c++) {
    const int64_t cost_c = body + own_cost[c];
    if (cost_c < best_cost || (c == 0 && cost_c == best_cost)) {
      best_cost = cost_c;
      chosen = cand_at[c];
    }
  }
  if (!cands) return 0;
  uint32_t nonzero = static_cast<uint32_t>(gs.nz);
  if (!small || chosen != cand_at[0]) {
    // The levels up to the chosen last, in coding order, as above.  A 4x4
    // block's levels above it go back to 0.
    const uint32_t kept = chosen < 0 ? 0 : (2u << chosen) - 1;
    if constexpr (small)
      for (uint32_t m = map & ~kept; m; m &= m - 1) req->levels[scan[__builtin_ctz(m)]] = 0;
    if (chosen < 0) return 0;
    nonzero = 0;
    g1_copy = g1[0];
    int32_t c1 = 1;
    for (uint32_t m = map & kept; m;) {
      const int32_t k = 31 - __builtin_clz(m), a = level[k];
      m &= ~(1u << k);
      if (!a) continue;
      if constexpr (!small) {
        // The coefficient's sign taken without a branch: it is as good as
        // random.
        const int32_t p = scan[k], negative = req->coef[p] >> 15;
        req->levels[p] = static_cast<int16_t>((a ^ negative) - negative);
      }
      if (nonzero < 8) {
        if (c1 == 0) g1_copy = cabac_transition_table[g1_copy * 2 + (a > 1)];
        c1 = a > 1 ? 0 : c1 + (static_cast<uint32_t>(c1 - 1) < 2);
      }
      nonzero++;
    }
  }
  // Position 0 codes its flag unless it is the last position.
  uint8_t *const copies = req->est->state;
  copies[copy_slot[2 + chroma]] = g1_copy;
  if (chosen > 0) copies[copy_slot[chroma]] = cabac_transition_table[sig[9] * 2 + (level[0] != 0)];
  return nonzero;
}

}  // namespace
