// The walk both decisions share: the levels chosen in coding order group
// by group, the last position chosen by cost, a block decided from its
// first step, and the states the chosen levels leave.
//
// Compiled within common/rdoq.cpp alone, so that the decision's functions
// inline into one another across its files as they did in one; nothing
// else includes it.
#pragma once

#include <cstring>
#include <type_traits>

#include "common/rdoq_block.h"
#include "common/rdoq_refine.h"

namespace {

// Of the states a block's bins advance, only the copies in the spare bytes
// outlive the call: the sig_coeff_flag context of scan position 0 (no other
// position of any block size selects it) and the greater1 context with
// ctxInc 0 (context set 0 after a level above 1 in the group).  This
// advances those two over the bins the coder will code for the chosen
// levels (a[] by scan position, last the last scan position), exactly as it
// will code them.  Luma groups other than the first never take context set
// 0 or 1: of them only the greater1 state left by the nearest coded one
// matters, which sets the first group's context set.
void advance_copies(block_t &b, const int32_t *a, const uint16_t *rounded_map, int32_t last, uint64_t scan_groups) {
  const int32_t last_group = last >> 4;
  const int32_t g1_ctx = CTX_GREATER1 + (b.chroma ? 16 : 0);
  // Walks group g's levels with greater1 state c1_carry before it, coding
  // the copied context's bins; returns whether it holds a level.  Of the
  // group's state only greater1Ctx and the count of levels reach the
  // copies.
  auto walk = [&](int32_t g, int32_t &c1_carry) {
    // Middle groups where nothing rounds to a level hold none.
    if (g > 0 && g < last_group && !((scan_groups >> g) & 1)) return false;
    const bool copied = group_ctx_set(g, b.chroma, c1_carry) == 0;
    // Only positions that round to a level can hold one.
    uint32_t map = rounded_map[g];
    if (g == last_group) map &= (2u << (last & 15)) - 1;
    int32_t c1 = 1, nz = 0;
    while (map && nz < 8) {
      const int32_t k = 31 - __builtin_clz(map);
      map &= ~(1u << k);
      const int32_t v = a[16 * g + k];
      if (!v) continue;
      if (c1 == 0) {
        // greater1Ctx stays 0 to the group's end: outside the copied
        // context set nothing more can change.
        if (!copied) break;
        b.code(g1_ctx, v > 1);
      }
      c1 = v > 1 ? 0 : c1 + (static_cast<uint32_t>(c1 - 1) < 2);
      nz++;
    }
    if (nz) c1_carry = c1;
    return nz > 0;
  };
  int32_t c1_carry = 1;
  if (b.chroma) {
    for (int32_t g = last_group; g >= 0; g--) walk(g, c1_carry);
  } else {
    for (int32_t g = 1; g <= last_group; g++)
      if (walk(g, c1_carry)) break;
    walk(0, c1_carry);
  }
  // Position 0 codes its flag unless it is the last position.
  if (last > 0) b.code(CTX_SIG_COEFF + (b.chroma ? 27 : 0), a[0] != 0);
}

// Chooses every level up to scan position last in coding order, each given
// the context state its predecessors leave.  The final pass also weighs
// dropping each group between the first and the last whole and, where the
// variant says so, refines each group's levels.  Returns whether a final
// pass would have dropped a group that this one kept.
//
// small: a 4x4 block, of one group.
// repeat: a final pass from the last position the previous pass started
// from, which dropped nothing and would have dropped nothing: each group
// meets the states, neighbours and greater1 context the previous pass met
// there until a refinement changes a level, so its first choice of levels
// would come out as that pass's, which w->level still holds.
template <const rdoq_variant_t &V, bool small = false>
bool decide_levels(const block_t &block, bool final_pass, int32_t last, work_t *w, bool repeat = false) {
  // Only a decision that advances the states works on a copy of them.
  std::conditional_t<V.adapt_states, block_t, const block_t &> b = block;
  uint8_t csbf[64] = {0};
  const int32_t groups = small ? 1 : b.n >> 2, last_group = small ? 0 : last >> 4;
  const int32_t g1_base = CTX_GREATER1 + (b.chroma ? 16 : 0), g2_base = CTX_GREATER2 + (b.chroma ? 4 : 0);
  int32_t c1_carry = 1;
  bool coded_after = false, would_drop = false;
  // The zero-flag costs of the groups after the first, by context
  // increment (the fast decision, whose states stay as they came).
  uint16_t later_cost[16] = {};
  bool later_cost_made = false;
  // The fast decision's prices of levels 1 and 2 by context set, level and
  // greater1Ctx (lambda times bits; where they hold, see the walk), made on
  // a context set's first group (bit ctx_set of level_costs_made).
  int64_t level_costs[4][2][4];
  uint32_t level_costs_made = 0;
  // The groups' sig_coeff_flag layouts differ only in their pattern (that
  // of a 4x4 block's one group stays), but for the first, which alone
  // holds position 0.
  const residual_ctx::group_sig_layout_t first_layout =
      residual_ctx::group_sig_layout(b.scan, b.log2, b.chroma, b.scan_type, 0);
  const residual_ctx::group_sig_layout_t later_layout =
      b.log2 == 2 ? first_layout : residual_ctx::group_sig_layout(b.scan + 16, b.log2, b.chroma, b.scan_type, 0);
  const auto &sig_contexts = residual_ctx::group_sig_table[b.log2 - 2][b.chroma][b.scan_type];
  w->coded_count = 0;
  w->states_as_coded = V.adapt_states;
  for (int32_t g = last_group; g >= 0; g--) {
    int32_t gx, gy;
    b.group_xy(g, &gx, &gy);
    const int32_t middle = g > 0 && g < last_group;
    w->coded_begin[g] = w->coded_count;
    if (middle && !((w->scan_groups >> g) & 1)) {
      // Every level rounds to 0: the group stays empty and codes only its
      // flag, whatever its positions' flags would have cost.
      std::memset(w->level + 16 * g, 0, 16 * sizeof(int32_t));
      w->group_delta[g] = 0;
      const int32_t fctx = b.group_flag_ctx(b.neighbour_flags(csbf, gx, gy));
      w->group_flag_cost[g] = b.lambda * b.bin(fctx, 0);
      if constexpr (V.adapt_states) b.code(fctx, 0);
      w->coded_end[g] = w->coded_count;
      continue;
    }
    const int32_t prev_csbf = b.neighbour_flags(csbf, gx, gy);
    // The flags' contexts are offset + 0..increments - 1 and the DC one.
    residual_ctx::group_sig_layout_t lay = g ? later_layout : first_layout;
    if (b.log2 > 2) lay.pattern = prev_csbf;
    const uint8_t *const sctx = sig_contexts[g == 0][prev_csbf].data();
    const int32_t top = g == last_group ? last & 15 : 15;
    // The state at the group's start is made afresh where needed rather than
    // copied from one held in memory, so that the walk's state can live in
    // registers.
    const int32_t ctx_set = group_ctx_set(g, b.chroma, c1_carry);
    auto fresh = [ctx_set] { return group_state_t{ctx_set, 1, 0, 0, 0}; };
    // The group codes only its positions' flags and the level flags of its
    // context set: those states are all it can change.
    const int32_t increments = lay.pattern == 4 ? 9 : 3;
    auto save_states = [&](ctx_state_t *sig, ctx_state_t *lvl) {
      std::memcpy(sig, b.st + lay.offset, 9);
      if (lay.dc_ctx >= 0) sig[9] = b.st[lay.dc_ctx];
      for (int32_t k = 0; k < 4; k++) lvl[k] = b.st[g1_base + ctx_set * 4 + k];
      lvl[4] = b.st[g2_base + ctx_set];
    };
    auto put_states = [&](const ctx_state_t *sig, const ctx_state_t *lvl) {
      if constexpr (V.adapt_states) {
        std::memcpy(b.st + lay.offset, sig, static_cast<size_t>(increments));
        if (lay.dc_ctx >= 0) b.st[lay.dc_ctx] = sig[9];
        for (int32_t k = 0; k < 4; k++) b.st[g1_base + ctx_set * 4 + k] = lvl[k];
        b.st[g2_base + ctx_set] = lvl[4];
      }
    };
    ctx_state_t saved_sig[10], saved_lvl[5];
    if constexpr (V.adapt_states) save_states(saved_sig, saved_lvl);
    auto restore = [&] { put_states(saved_sig, saved_lvl); };
    // Whether this pass takes the previous pass's choice of the group's
    // levels rather than choosing them.
    bool taken = false;

    group_state_t gs = fresh();
    int64_t delta = 0;
    int64_t level_delta = 0;  // cost minus zero-level distortion of the levels so far
    // Keeps level a at position i, whose cost with it is `cost` (sig1 of
    // which its flag's 1) and with the level 0 zero_dist plus its flag's 0,
    // after flags of 0 worth zero_bits above it; only non-zero levels are
    // listed, for the last-position choice.  Advances the states over the
    // position's bins where the variant adapts them.
    auto keep = [&](int32_t i, int32_t ctx, int32_t a, int64_t cost, int64_t sig1, uint32_t zero_bits,
                    int64_t zero_dist) {
      w->level[i] = a;
      if (a) {
        w->coded[w->coded_count++] = {i, a, sig1 + b.lambda * zero_bits + level_delta};
        level_delta += cost - zero_dist;
      }
      if constexpr (V.adapt_states) {
        if (i != last) b.code(ctx, a != 0);
        if (a && gs.nz < 8) {
          b.code(g1_base + gs.ctx_set * 4 + gs.c1, a > 1);
          if (a > 1 && !gs.g2_done) b.code(g2_base + gs.ctx_set, a > 2);
        }
      }
      group_advance(gs, a);
    };
    // Chooses the level of position i (which rounds to a level) among the
    // rounded one, one below it and 0, by its cost with the group state so
    // far, and keeps it; returns the bits of its flag if it is 0.
    auto choose = [&](int32_t i, int32_t ctx, uint32_t zero_bits) -> uint32_t {
      const int32_t p = b.scan[i], rounded = w->pre->rounded[p];
      const int64_t sig0 = i == last ? 0 : b.lambda * b.bin(ctx, 0);
      const int64_t sig1 = i == last ? 0 : b.lambda * b.bin(ctx, 1);
      const int64_t zero_dist = w->pre->zero_dist[p];
      // Ties go to the larger level, so that lambda 0 keeps the rounding.
      int32_t level = rounded;
      int64_t best = w->pre->level_dist[p] + sig1 + b.lambda * level_bits(b, gs, rounded);
      if (rounded > 1) {
        const int64_t c = w->pre->below_dist[p] + sig1 + b.lambda * level_bits(b, gs, rounded - 1);
        if (c < best) {
          best = c;
          level = rounded - 1;
        }
      }
      if ((V.zero_any_level || rounded <= 2) && zero_dist + sig0 < best) level = 0;
      // Without a branch: whether the level is 0 is as good as random.
      const uint32_t own = b.bin(ctx, 0) & (0u - static_cast<uint32_t>((level == 0) & (i != last)));
      keep(i, ctx, level, best, sig1, zero_bits, zero_dist);
      return own;
    };
    const uint32_t span = (2u << top) - 1;
    // Positions that round to 0 keep it (not the last, which rounds to a
    // level).
    uint32_t zero_rounded = ~static_cast<uint32_t>(w->rounded_map[g]) & span;
    if (last >> 4 == g) zero_rounded &= ~(1u << (last & 15));
    auto start_pass = [&] {
      w->coded_count = w->coded_begin[g];
      level_delta = 0;
      std::memset(w->level + 16 * g, 0, 16 * sizeof(int32_t));
    };
    if constexpr (!V.adapt_states) {
      // Without states that move, the flags of the positions that round to
      // 0 cost what they cost whatever is chosen around them: their sums
      // from each position up, and the walk visits only the positions that
      // round to a level.
      start_pass();
      // Every entry but the DC one takes its context from the layout's
      // increments: their flags' costs are looked up once per block for the
      // groups after the first (which share their contexts) and once for
      // the first.
      uint16_t zero_above[17];  // [k]: bits of those flags at entries from k up
      uint16_t first_cost[16] = {};
      const bool first_group = g == 0;
      uint16_t *cost = first_group ? first_cost : later_cost;
      if (first_group || !later_cost_made) {
        for (int32_t v = 0; v < increments; v++) cost[v] = static_cast<uint16_t>(b.bin(lay.offset + v, 0));
        later_cost_made |= !first_group;
      }
      w->zero_sums(zero_above, residual_ctx::scan_ctx_inc[b.scan_type][lay.pattern].data(), cost, zero_rounded);
      if (lay.dc_ctx >= 0 && (zero_rounded & 1))
        zero_above[0] = static_cast<uint16_t>(zero_above[1] + b.bin(lay.dc_ctx, 0));
      if (w->general) {
        // The long way: every level priced from the context states.
        uint32_t chosen_zero_bits = 0;
        for (uint32_t map = w->rounded_map[g] & span; map;) {
          const int32_t k = 31 - __builtin_clz(map);
          map &= ~(1u << k);
          chosen_zero_bits += choose(16 * g + k, sctx[k], chosen_zero_bits + zero_above[k + 1]);
        }
        delta = b.lambda * (chosen_zero_bits + zero_above[0]) + level_delta;
      } else {
        // With fewer than 8 levels before it in the group and the Rice
        // parameter still 0 (no level above 3 yet), a level of 1 or 2 costs
        // bits that depend only on greater1Ctx, which is 0 exactly when a
        // level above 1 has spent the greater2 flag: priced once per block
        // and context set, so that the walk looks them up by greater1Ctx.
        int64_t(*const simple)[4] = level_costs[ctx_set];
        if (!((level_costs_made >> ctx_set) & 1)) {
          level_costs_made |= 1u << ctx_set;
          const uint8_t g2 = static_cast<uint8_t>(b.st[g2_base + ctx_set]);
          for (int32_t c = 0; c < 4; c++) {
            const uint8_t g1 = static_cast<uint8_t>(b.st[g1_base + ctx_set * 4 + c]);
            simple[0][c] = b.lambda * (256 + cabac_bit_cost_table[g1]);
            // After the greater2 flag, level 2 codes a remainder of 0: one bin.
            simple[1][c] = b.lambda * (256 + cabac_bit_cost_table[g1 ^ 1] + (c ? cabac_bit_cost_table[g2] : 256u));
          }
        }
        // choose and keep as one walk that holds its state in registers (its
        // own copy of the group state, which the lambdas above take by
        // reference): the levels go straight to the group's entries and the
        // list.  run: the cost so far minus the zero-level distortion, of
        // the levels and the flags of those chosen 0.
        group_state_t walk_gs = gs;
        int64_t run = 0;
        const rdoq_prep_t &pre = *w->pre;
        const int32_t base = 16 * g, last_k = g == last_group ? last & 15 : -1;
        const uint16_t *const group_scan = b.scan + base;
        int32_t *const group_level = w->level + base;
        coded_level_t *listed = w->coded + w->coded_count;
        for (uint32_t map = w->rounded_map[g] & span; map;) {
          const int32_t k = 31 - __builtin_clz(map);
          map &= ~(1u << k);
          const int32_t p = group_scan[k], rounded = pre.rounded[p];
          const uint8_t state = static_cast<uint8_t>(b.st[sctx[k]]);
          // The last position codes no flag.
          const uint32_t flag_coded = 0u - static_cast<uint32_t>(k != last_k);
          const int64_t sig0 = b.lambda * (cabac_bit_cost_table[state] & flag_coded);
          const int64_t sig1 = b.lambda * (cabac_bit_cost_table[state ^ 1] & flag_coded);
          int64_t here, below;  // lambda times the bits of the rounded level and of one below it
          if (rounded <= 2 && walk_gs.nz < 8 && walk_gs.rice == 0) {
            here = simple[rounded - 1][walk_gs.c1];
            below = simple[0][walk_gs.c1];
          } else {
            here = b.lambda * level_bits_two(b, walk_gs, rounded);
            below = rounded > 1 ? b.lambda * level_bits_two(b, walk_gs, rounded - 1) : 0;
          }
          // Ties go to the larger level, so that lambda 0 keeps the rounding.
          int32_t a = rounded;
          int64_t best = pre.level_dist[p] + sig1 + here;
          if (rounded > 1) {
            const int64_t c = pre.below_dist[p] + sig1 + below;
            if (c < best) {
              best = c;
              a = rounded - 1;
            }
          }
          if (rounded <= 2 && pre.zero_dist[p] + sig0 < best) a = 0;
          group_level[k] = a;
          if (a) {
            *listed++ = {base + k, a, sig1 + b.lambda * zero_above[k + 1] + run};
            run += best - pre.zero_dist[p];
            group_advance(walk_gs, a);
          } else {
            run += sig0;
          }
        }
        w->coded_count = static_cast<int32_t>(listed - w->coded);
        gs = walk_gs;
        delta = run + b.lambda * zero_above[0];
      }
    } else if (repeat && final_pass && b.log2 <= V.refine_max_log2 &&
               group_holds_level(w->level + 16 * g, w->rounded_map[g] & span)) {
      // The previous pass's levels, refined below from the group's start;
      // the states are still those at its start.
      gs.nz = 1;
      taken = true;
    } else {
      // With states that move, the flags of positions that round to 0
      // between two that round to a level are coded as runs per context: a
      // context's zeros there follow each other in its state, whatever
      // order the positions interleave in.
      start_pass();
      uint32_t zero_bits = 0, zero_left = zero_rounded;
      // Most positions that round to a level follow another directly.
      auto code_zeros = [&](uint32_t set) {
        if (set) zero_bits += residual_ctx::code_zero_flags(reinterpret_cast<uint8_t *>(b.st), lay, b.scan_type, set);
      };
      for (uint32_t map = w->rounded_map[g] & span; map;) {
        const int32_t k = 31 - __builtin_clz(map);
        map &= ~(1u << k);
        const uint32_t above = zero_left & ~((2u << k) - 1);
        code_zeros(above);
        zero_left &= ~above;
        zero_bits += choose(16 * g + k, sctx[k], zero_bits);
      }
      code_zeros(zero_left);
      delta = b.lambda * zero_bits + level_delta;
    }
    if constexpr (V.adapt_states) {
      if (b.log2 <= V.refine_max_log2 && !taken) {
        save_states(w->chosen_sig[g], w->chosen_lvl[g]);
        w->chosen_c1[g] = gs.c1;
      }
    }
    bool refined_alike = false;
    if (final_pass && b.log2 <= V.refine_max_log2 && gs.nz > 0) {
      if constexpr (V.adapt_states) restore();
      // Levels refined otherwise than before leave the later groups other
      // states.
      if (refine_group(b, w, g, top, sctx, last, fresh()))
        repeat = false;
      else
        refined_alike = V.adapt_states && !w->general;
    }
    if (refined_alike) {
      // The levels as chosen, priced as when they were chosen: pricing
      // them again in coding order would give the same states, list and
      // costs.  Those of a choice taken over are the previous pass's.
      put_states(w->chosen_sig[g], w->chosen_lvl[g]);
      if (taken) {
        w->coded_count = w->coded_end[g];
        delta = w->group_delta[g];
        gs.c1 = w->chosen_c1[g];
      }
    } else if (final_pass && b.log2 <= V.refine_max_log2 && gs.nz > 0) {
      // The group priced again with its refined levels, in coding order.
      gs = fresh();
      w->coded_count = w->coded_begin[g];
      level_delta = 0;
      uint32_t zero_bits = 0;
      for (int32_t k = top; k >= 0; k--) {
        const int32_t i = 16 * g + k, ctx = sctx[k], a = w->level[i];
        if (a == 0) {
          if (i != last) {
            zero_bits += b.bin(ctx, 0);
            if constexpr (V.adapt_states) b.code(ctx, 0);
          }
          continue;
        }
        const int64_t sig1 = i == last ? 0 : b.lambda * b.bin(ctx, 1);
        keep(i, ctx, a, w->level_dist(i, a) + sig1 + b.lambda * level_bits(b, gs, a), sig1, zero_bits,
             w->zero_dist(i));
      }
      delta = b.lambda * zero_bits + level_delta;
    }

    // Only groups between the first and the last have a flag; an empty one
    // codes nothing for its coefficients.  A group with no coded group
    // after it would become the last one, whose flag and trailing zeros
    // cost nothing: the last-position choice weighs dropping that one.
    // Kept, the group costs its flag's 1 and delta above dropped, which
    // costs its flag's 0.
    // The neighbours' flags are as they were at the group's start.
    const int32_t fctx = b.group_flag_ctx(prev_csbf);
    bool coded = gs.nz > 0;
    if (coded && middle && coded_after && V.drop_groups && !would_drop) {
      const int64_t kept = b.lambda * b.bin(fctx, 1) + delta, dropped = b.lambda * b.bin(fctx, 0);
      if (final_pass)
        coded = dropped >= kept;
      else
        would_drop = dropped < kept;
    }
    if (coded) {
      // The coder infers the flag of a middle group's first position when
      // it holds the group's only level; this pass coded it.
      if (middle && w->coded_count - w->coded_begin[g] == 1 && w->coded[w->coded_begin[g]].i == 16 * g)
        w->states_as_coded = false;
      csbf[gy * groups + gx] = 1;
      c1_carry = gs.c1;
      coded_after = true;
    } else if (middle) {
      std::memset(w->level + 16 * g, 0, 16 * sizeof(int32_t));
      delta = 0;
      w->coded_count = w->coded_begin[g];
      if constexpr (V.adapt_states) restore();
    }
    w->group_delta[g] = delta;
    w->coded_end[g] = w->coded_count;
    w->group_flag_cost[g] = middle ? b.lambda * b.bin(fctx, coded) : 0;
    if constexpr (V.adapt_states)
      if (middle) b.code(fctx, coded);
  }
  if constexpr (V.adapt_states) std::memcpy(w->states, b.st, sizeof b.st);
  return would_drop;
}

struct last_choice_t {
  int32_t last;  // -1: no level is worth coding
  int64_t cost;
  int32_t entry;  // its entry of work_t::coded
};

// Cost with the last position at scan position i: everything up to i as
// decided but i's own sig_coeff_flag, the flags of the groups before i's
// group, the last position's bins and the block's coded flag (positions
// beyond keep the distortion the costs count from).  Only the chosen non-zero levels can be the
// last; the costs of the positions between them come as group sums.
template <bool small>
last_choice_t choose_last(const block_t &b, const uint32_t (*prefix_bits)[10], bool full_search, int32_t last,
                          const work_t *w) {
  const int32_t last_group = small ? 0 : last >> 4;
  int64_t body = b.cbf_cost[1], flags = 0;
  const int64_t uncoded = b.cbf_cost[0];
  for (int32_t g = 0; g <= last_group; g++) body += w->group_delta[g];
  for (int32_t g = 1; g < last_group; g++) flags += w->group_flag_cost[g];
  last_choice_t best{-1, uncoded, 0};
  bool first = true;
  for (int32_t g = last_group; g >= 0; g--) {
    flags -= w->group_flag_cost[g];
    for (int32_t e = w->coded_begin[g]; e < w->coded_end[g]; e++) {
      const coded_level_t &c = w->coded[e];
      const uint32_t prefixes = b.last_prefix[c.i];
      const int64_t cost =
          body - c.dropped + flags + b.lambda * (prefix_bits[0][prefixes & 255] + prefix_bits[1][prefixes >> 8]);
      // The first candidate also wins a tie against coding nothing.
      if (cost < best.cost || (first && cost == best.cost)) best = {c.i, cost, e};
      first = false;
      if (!full_search && c.level > 1) return best;
    }
    body -= w->group_delta[g];
  }
  return best;
}

// The decision of a block with at least one rounded level, after its first
// step.
// small as in decide_levels.
// general: the second decision decides every group afresh.
template <const rdoq_variant_t &V, bool small = false>
uint32_t decide_block(const rdoq_request_t *req, block_t &b, const rdoq_prep_t &pre, rdoq_zero_sums_fn zero_sums,
                      bool general) {
  work_t w;
  w.zero_sums = zero_sums;
  w.general = general;
  int32_t max_gx = 0, max_gy = 0;
  w.scan_groups = small ? 1 : scan_groups(b, pre.group_mask, &max_gx, &max_gy);
  // Only positions that round to a level can be the last: the prefixes of
  // the coordinates up to the last column and row of such groups.
  uint32_t prefix_bits[2][10];
  const int32_t top_x = last_group_idx[4 * max_gx + 3], top_y = last_group_idx[4 * max_gy + 3];
  b.last_prefix_bits(CTX_LAST_X_PREFIX, b.scan_type == 2 ? top_y : top_x, prefix_bits[0]);
  b.last_prefix_bits(CTX_LAST_Y_PREFIX, b.scan_type == 2 ? top_x : top_y, prefix_bits[1]);
  // The last scan position whose rounded level is not 0.
  const int32_t last_group = small ? 0 : 63 - __builtin_clzll(w.scan_groups);
  const int32_t last = 16 * last_group + 31 - __builtin_clz(scan_map(b, pre, last_group));
  w.pre = &pre;
  w.scan = b.scan;
  // The groups that round to nothing in between are settled by their flag
  // alone and never read; the first is always read.
  w.rounded_map[0] = 0;
  for (uint64_t m = w.scan_groups; m; m &= m - 1) {
    const int32_t g = __builtin_ctzll(m);
    w.rounded_map[g] = static_cast<uint16_t>(scan_map(b, pre, g));
  }

  const bool would_drop = decide_levels<V, small>(b, !V.second_pass, last, &w);
  last_choice_t choice = choose_last<small>(b, prefix_bits, V.full_last_search, last, &w);
  // A second decision from the chosen last position keeps groups that
  // would end up the last from being weighed as middle ones.  From the same
  // last position, without groups to refine or to drop, it would repeat the
  // first one.
  const bool repeats = choice.last == last && !would_drop && b.log2 > V.refine_max_log2;
  // Whether the last decision's states are the coder's: decided from the
  // last position chosen, and its levels kept.
  bool as_coded = choice.last == last, levels_listed = true;
  // A 4x4 block whose last position stays has one group, which the second
  // decision would take over from the first and refine from the same
  // states: where the refinement changes no level, that decision would
  // price the same levels the same and end where the first one did, whose
  // list and states then stand (a change puts the levels back for it).
  bool refined_alike = false;
  if constexpr (small && V.second_pass && V.refine_max_log2 >= 2) {
    if (choice.last == last && !general) {
      int32_t kept[16];
      std::memcpy(kept, w.level, sizeof kept);
      uint8_t sctx[16];
      b.group_sig_ctx(sctx, residual_ctx::group_sig_layout(b.scan, b.log2, b.chroma, b.scan_type, 0));
      refined_alike = !refine_group(b, &w, 0, last, sctx, last, group_state_t{group_ctx_set(0, b.chroma, 1), 1, 0, 0, 0});
      if (!refined_alike) std::memcpy(w.level, kept, sizeof kept);
    }
  }
  if (V.second_pass && choice.last >= 0 && !repeats && !refined_alike) {
    int32_t kept[MAX_COEFS];
    std::memcpy(kept, w.level, sizeof(int32_t) * static_cast<size_t>(choice.last + 1));
    decide_levels<V, small>(b, true, choice.last, &w, choice.last == last && !would_drop && !general);
    const last_choice_t second = choose_last<small>(b, prefix_bits, V.full_last_search, choice.last, &w);
    as_coded = second.cost < choice.cost && second.last == choice.last;
    if (second.cost < choice.cost)
      choice = second;
    else
      std::memcpy(w.level, kept, sizeof(int32_t) * static_cast<size_t>(choice.last + 1));
    levels_listed = second.cost < choice.cost;
  }
  if (choice.last < 0) return 0;

  // Only positions that round to a level can hold one; the rest stay as
  // cleared.  The last decision's list of chosen levels (in descending
  // scan order) is the final one unless its levels were put back.
  uint32_t nonzero = 0;
  int16_t *const levels = req->levels;
  const int16_t *const coef = req->coef;
  // The coefficient's sign taken without a branch: it is as good as random.
  auto put = [&](int32_t p, int32_t a) {
    const int32_t negative = coef[p] >> 15;
    levels[p] = static_cast<int16_t>((a ^ negative) - negative);
  };
  if (levels_listed) {
    // The list descends in scan order: the chosen last level's entry and
    // those after it are the levels up to it.
    for (int32_t e = choice.entry; e < w.coded_count; e++) put(b.scan[w.coded[e].i], w.coded[e].level);
    nonzero = static_cast<uint32_t>(w.coded_count - choice.entry);
  } else {
    for (int32_t g = 0; g <= choice.last >> 4; g++) {
      if (g > 0 && !((w.scan_groups >> g) & 1)) continue;
      uint32_t map = w.rounded_map[g];
      if (g == choice.last >> 4) map &= (2u << (choice.last & 15)) - 1;
      for (; map; map &= map - 1) {
        const int32_t i = 16 * g + __builtin_ctz(map), a = w.level[i];
        if (!a) continue;
        put(b.scan[i], a);
        nonzero++;
      }
    }
  }
  if (as_coded && w.states_as_coded) {
    std::memcpy(b.st, w.states, sizeof b.st);
  } else {
    advance_copies(b, w.level, w.rounded_map, choice.last, w.scan_groups);
  }
  for (int32_t i = 0; i < 4; i++) req->est->state[copy_slot[i]] = static_cast<uint8_t>(b.st[copied_ctx[i]]);
  return nonzero;
}

}  // namespace
