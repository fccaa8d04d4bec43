// The thorough decision's refinement: each level of a group of a small
// block revisited against the whole group's cost.
//
// Compiled within common/rdoq.cpp alone, so that the decision's functions
// inline into one another across its files as they did in one; nothing
// else includes it.
#pragma once

#include <algorithm>
#include <cstring>

#include "common/rdoq_block.h"

namespace {

// Group states that code every later level of the group alike, `later`
// levels in all: the count of levels so far matters only as far as it
// reaches 8 by the last of them (strict: as far as it reaches 8 at all).
bool same_future(const group_state_t &a, const group_state_t &b, int32_t later, bool strict) {
  return a.ctx_set == b.ctx_set && a.c1 == b.c1 && a.g2_done == b.g2_done && a.rice == b.rice &&
         (std::min(a.nz, 8) == std::min(b.nz, 8) || (!strict && std::max(a.nz, b.nz) + later <= 8));
}

// Revisits each level of group g (positions top..0) against the cost of
// the group from it on, since a level also sets the greater1 context, the
// greater2 budget and the Rice parameter of the levels coded after it.
// The states of b are those at the start of the group, held fixed.  Only
// positions that round to a level have candidates, and only those hold one:
// the walks go through the group's maps of them rather than test every
// position (the tests are as good as random).  Returns whether a level
// changed.
bool refine_group(const block_t &b, work_t *w, int32_t g, int32_t top, const uint8_t *sctx, int32_t last,
                  const group_state_t &start) {
  int32_t *level = w->level + 16 * g;
  const uint32_t rounded_set = w->rounded_map[g] & ((2u << top) - 1);
  int64_t sig[16][2], zero_cost[16];
  for (int32_t k = 0; k <= top; k++) {
    const int32_t i = 16 * g + k;
    sig[k][0] = i == last ? 0 : b.lambda * b.bin(sctx[k], 0);
    sig[k][1] = i == last ? 0 : b.lambda * b.bin(sctx[k], 1);
    zero_cost[k] = w->zero_dist(i) + sig[k][0];
  }
  auto cost_at = [&](int32_t k, const group_state_t &gs, int32_t a) {
    const int32_t i = 16 * g + k;
    return w->level_dist(i, a) + sig[k][a != 0] + (a ? b.lambda * level_bits(b, gs, a) : 0);
  };
  // For the levels as they stand: the group state before each position
  // that rounds to a level, the cost of positions k..0, and which positions
  // hold a level.  Positions with the level 0 cost the same whatever the
  // group's state and do not change it, so the walks below step over them
  // by their costs' sum.
  group_state_t before[16];
  int64_t tail[16];
  uint32_t coded_set = 0;
  int32_t coded_total = 0;  // the group's levels, start's count included
  auto trace = [&] {
    int64_t c[16];
    std::memcpy(c, zero_cost, sizeof c);
    group_state_t gs = start;
    coded_set = 0;
    for (uint32_t m = rounded_set; m;) {
      const int32_t k = 31 - __builtin_clz(m);
      m &= ~(1u << k);
      before[k] = gs;
      if (const int32_t a = level[k]) {
        c[k] = cost_at(k, gs, a);
        group_advance(gs, a);
        coded_set |= 1u << k;
      }
    }
    coded_total = gs.nz;
    tail[0] = c[0];
    for (int32_t k = 1; k <= top; k++) tail[k] = tail[k - 1] + c[k];
  };
  trace();
  bool changed = false;
  for (uint32_t m = rounded_set; m;) {
    const int32_t k = 31 - __builtin_clz(m);
    m &= ~(1u << k);
    const int32_t i = 16 * g + k, rounded = w->rounded(i);
    // One that rounds to 1 has two candidates, 1 and 0.
    const int32_t candidates[3] = {rounded, rounded - 1, 0};
    const int32_t count = rounded == 1 ? 2 : 3;
    for (int32_t n = 0; n < count; n++) {
      const int32_t a = candidates[n];
      // The last position keeps a level; the last-position choice moves it.
      if (a == level[k] || (a == 0 && i == last)) continue;
      group_state_t gs = before[k];
      int64_t c = cost_at(k, gs, a);
      group_advance(gs, a);
      // The positions below k: those with the level 0 between two with a
      // level by their sum, until the state is one the levels as they
      // stand also had there.
      int32_t above = k;  // positions above..k - 1 are yet to be added
      bool rest = true;
      for (uint32_t below = coded_set & ((1u << k) - 1); below;) {
        const int32_t j = 31 - __builtin_clz(below);
        below &= ~(1u << j);
        c += tail[above - 1] - tail[j];
        // Levels from j down: those counted by the end but not before j.
        if (same_future(gs, before[j], coded_total - before[j].nz, w->general)) {
          c += tail[j];
          rest = false;
          break;
        }
        c += cost_at(j, gs, level[j]);
        group_advance(gs, level[j]);
        above = j;
      }
      if (rest && above > 0) c += tail[above - 1];
      if (c < tail[k]) {
        level[k] = a;
        changed = true;
        trace();
      }
    }
  }
  return changed;
}

// Whether any of a group's positions in set (bit k for entry k) holds a
// level.
inline bool group_holds_level(const int32_t *level, uint32_t set) {
  for (; set; set &= set - 1)
    if (level[__builtin_ctz(set)]) return true;
  return false;
}

}  // namespace
