// The block under decision, shared by the fast and the thorough decision
// (common/rdoq.cpp describes both): the tables of its scan and size, the
// variants' switches, its own copy of the context states, the bits of its
// level bins, the maps of its groups, and the scratch record of a decision.
//
// Compiled within common/rdoq.cpp alone, so that the decision's functions
// inline into one another across its files as they did in one; nothing
// else includes it.
#pragma once

#include <algorithm>
#include <array>
#include <cstring>

#include "common/cabac_tables.h"
#include "common/rdoq.h"
#include "common/residual_ctx.h"

namespace {

constexpr int32_t MAX_COEFS = 32 * 32;

// Spare estimator bytes that stand in for the first luma and chroma
// sig_coeff_flag and greater1 contexts while blocks are decided.
constexpr int32_t copied_ctx[4] = {CTX_SIG_COEFF, CTX_SIG_COEFF + 27, CTX_GREATER1, CTX_GREATER1 + 16};
constexpr int32_t copy_slot[4] = {186, 187, 188, 189};

constexpr uint8_t last_group_idx[32] = {0, 1, 2, 3, 4, 4, 5, 5, 6, 6, 6, 6, 7, 7, 7, 7,
                                        8, 8, 8, 8, 8, 8, 8, 8, 9, 9, 9, 9, 9, 9, 9, 9};

const scan_tables_t &scans() {
  static scan_tables_t tables;
  static const bool built = (scan_tables_init(&tables), true);
  (void)built;
  return tables;
}

// The last-position prefixes of every scan position, as coded (the
// vertical scan swaps the coordinates): [type][log2 - 2][i], the x prefix
// in the low byte, the y prefix above.
struct last_prefixes_t {
  uint16_t at[3][4][1024];
};

const last_prefixes_t &last_prefixes() {
  static const last_prefixes_t t = [] {
    last_prefixes_t o{};
    for (int32_t type = 0; type < 3; type++)
      for (int32_t l = 0; l < 4; l++) {
        const int32_t log2 = l + 2, n = 1 << log2;
        for (int32_t i = 0; i < n * n; i++) {
          const int32_t p = scans().scan[type][l][i];
          int32_t x = p & (n - 1), y = p >> log2;
          if (type == 2) std::swap(x, y);
          o.at[type][l][i] = static_cast<uint16_t>(last_group_idx[x] | last_group_idx[y] << 8);
        }
      }
    return o;
  }();
  return t;
}

// Groups by scan order and by place: [type][log2 - 2][g], at the raster
// index gy * (n / 4) + gx of the g-th group in scan order, order the other
// way round.
struct group_order_t {
  uint8_t at[3][4][64];
  uint8_t order[3][4][64];
};

const group_order_t &group_orders() {
  static const group_order_t t = [] {
    group_order_t o{};
    for (int32_t type = 0; type < 3; type++)
      for (int32_t l = 0; l < 4; l++) {
        const int32_t log2 = l + 2, n = 1 << log2, groups = n >> 2;
        for (int32_t g = 0; g < groups * groups; g++) {
          const int32_t p = scans().scan[type][l][16 * g];
          const int32_t at = ((p >> log2) >> 2) * groups + ((p & (n - 1)) >> 2);
          o.at[type][l][g] = static_cast<uint8_t>(at);
          o.order[type][l][at] = static_cast<uint8_t>(g);
        }
      }
    return o;
  }();
  return t;
}

// The tables of one scan and block size, found once per block.
struct block_tables_t {
  const uint16_t *scan, *last_prefix;
  const uint8_t *group_at, *group_order;
};

struct all_block_tables_t {
  block_tables_t at[3][4];  // [type][log2 - 2]
};

// Built when the library loads rather than behind a guard tested at every
// block: the tables it points into are built on their first use.
const all_block_tables_t block_tables_at_load = [] {
  all_block_tables_t o{};
  for (int32_t type = 0; type < 3; type++)
    for (int32_t l = 0; l < 4; l++)
      o.at[type][l] = {scans().scan[type][l], last_prefixes().at[type][l], group_orders().at[type][l],
                       group_orders().order[type][l]};
  return o;
}();

const all_block_tables_t &block_tables() { return block_tables_at_load; }

struct rdoq_variant_t {
  bool zero_any_level;    // weigh level 0 whatever the rounded level (else only up to 2)
  bool drop_groups;       // weigh dropping each coded group between the first and the last
  bool second_pass;       // decide again once the last position is known
  bool full_last_search;  // try every non-zero position as the last (else stop at the first level above 1)
  bool chroma_on_lambda;  // chroma weight divides lambda instead of multiplying the distortion
  bool adapt_states;      // advance the states over the bins decided so far in the block
  // Largest block (log2) whose groups' levels are revisited against the
  // whole group's cost; larger blocks gained nothing measurable from it at
  // twice the work.  0: never.
  int32_t refine_max_log2;
};

constexpr rdoq_variant_t fast_variant = {false, true, false, false, false, false, 0};
constexpr rdoq_variant_t thorough_variant = {true, true, true, true, true, true, 3};

// A context state byte of the block's own copy.  Not a character type, so
// that the compiler need not assume a state's update changes every other
// value of the decision held in memory.
enum class ctx_state_t : uint8_t {};

struct block_t {
  int32_t log2, n, chroma, scan_type;
  const uint16_t *scan;
  const uint8_t *group_at;  // group_order_t::at of the block's scan and size
  const uint8_t *group_order;  // group_order_t::order of the block's scan and size
  const uint16_t *last_prefix;  // last_prefixes_t::at of the block's scan and size
  int64_t lambda;
  int64_t cbf_cost[2];  // the block's coded flag as 0 and as 1
  ctx_state_t st[192];

  uint32_t bin(int32_t ctx, int32_t b) const { return cabac_bit_cost_table[static_cast<uint8_t>(st[ctx]) ^ b]; }
  void code(int32_t ctx, int32_t b) {
    st[ctx] = ctx_state_t{cabac_transition_table[static_cast<uint8_t>(st[ctx]) * 2 + b]};
  }

  // sig_coeff_flag contexts of a group's sixteen positions as lay places
  // them, from the layout the decision needs anyway.
  void group_sig_ctx(uint8_t out[16], const residual_ctx::group_sig_layout_t &lay) const {
    uint8_t add[16];
    std::memcpy(add, residual_ctx::scan_ctx_inc[scan_type][lay.pattern].data(), sizeof add);
    for (int32_t k = 0; k < 16; k++) add[k] = static_cast<uint8_t>(add[k] + lay.offset);
    std::memcpy(out, add, sizeof add);
    if (lay.dc_ctx >= 0) out[0] = static_cast<uint8_t>(lay.dc_ctx);
  }

  // Bits of the last_sig_coeff_{x,y}_prefix bins (contexts of H.265
  // 9.3.4.2.3) plus the bypass suffix, for every prefix value up to top
  // (within those the block allows); a coordinate c codes
  // out[last_group_idx[c]] (lambda times them is what the last-position
  // choice weighs, formed for the few positions it tries).
  // The largest prefix codes no terminating 0, and adds no 1 for a larger
  // one.
  void last_prefix_bits(int32_t ctx_base, int32_t top, uint32_t out[10]) const {
    // The bypass suffix of each prefix value: (prefix >> 1) - 1 bits from 4 on.
    static constexpr uint32_t suffix_bits[10] = {0, 0, 0, 0, 256, 256, 512, 512, 768, 768};
    const int32_t offset = chroma ? 15 : 3 * (log2 - 2) + ((log2 - 1) >> 2);
    const int32_t sh = chroma ? log2 - 2 : (log2 + 1) >> 2;
    const int32_t cmax = 2 * log2 - 1, end = std::min(top, cmax - 1);
    const ctx_state_t *const states = st + ctx_base + offset;
    uint32_t ones = 0;
    for (int32_t prefix = 0; prefix <= end; prefix++) {
      const uint8_t s = static_cast<uint8_t>(states[prefix >> sh]);
      out[prefix] = ones + cabac_bit_cost_table[s] + suffix_bits[prefix];
      ones += cabac_bit_cost_table[s ^ 1];
    }
    if (top >= cmax) out[cmax] = ones + suffix_bits[cmax];
  }


  // coded_sub_block_flag's context from the group's neighbour_flags.
  int32_t group_flag_ctx(int32_t neighbours) const {
    return CTX_CODED_SUB_BLOCK + (neighbours ? 1 : 0) + (chroma ? 2 : 0);
  }

  void group_xy(int32_t g, int32_t *gx, int32_t *gy) const {
    const int32_t at = group_at[g];
    *gx = at & ((n >> 2) - 1);
    *gy = at >> (log2 - 2);
  }

  // Bit 0: the group to the right is coded; bit 1: the group below.
  int32_t neighbour_flags(const uint8_t *csbf, int32_t gx, int32_t gy) const {
    const int32_t groups = n >> 2;
    const int32_t right = gx + 1 < groups ? csbf[gy * groups + gx + 1] : 0;
    const int32_t below = gy + 1 < groups ? csbf[(gy + 1) * groups + gx] : 0;
    return right + 2 * below;
  }
};

inline uint32_t remaining_bits(uint32_t v, int32_t rice) { return 256u * residual_ctx::remaining_bins(v, rice); }

// What the level bins of a group depend on, in coding order.
struct group_state_t {
  int32_t ctx_set;
  int32_t c1;       // greater1Ctx
  int32_t nz;       // non-zero levels so far
  int32_t g2_done;  // the greater2 flag has been spent
  int32_t rice;
};

// The context set of group g's greater1 flags (H.265 9.3.4.2.6), c1_carry
// the greater1Ctx the last coded group left.  Formed in one expression: a
// field stored alone and the state then copied whole cost a failed store
// forwarding per group.
inline int32_t group_ctx_set(int32_t g, int32_t chroma, int32_t c1_carry) {
  return ((g == 0 || chroma) ? 0 : 2) + (c1_carry == 0);
}

// Bits of a non-zero level a after its sig_coeff_flag; g1_bin(flag) and
// g2_bin(flag) price the greater1 and greater2 flags in the contexts the
// group state selects.
template <class G1, class G2>
[[gnu::always_inline]] inline uint32_t level_bits_by(const group_state_t &g, int32_t a, G1 g1_bin, G2 g2_bin) {
  uint32_t bits = 256;  // sign
  if (g.nz >= 8) return bits + remaining_bits(static_cast<uint32_t>(a - 1), g.rice);
  bits += g1_bin(a > 1);
  if (a == 1) return bits;
  if (g.g2_done) return bits + remaining_bits(static_cast<uint32_t>(a - 2), g.rice);
  bits += g2_bin(a > 2);
  return a > 2 ? bits + remaining_bits(static_cast<uint32_t>(a - 3), g.rice) : bits;
}

// level_bits_by for the fast decision's walk over a group, where the
// levels its tables do not price are as often 1 as 2: the bins past the
// greater1 flag of a 2 (its greater2 flag, or once that is spent a
// remainder of 0) are counted for both and kept for a 2 without a branch.
// Elsewhere the early return for a 1 costs less.
template <class G1, class G2>
[[gnu::always_inline]] inline uint32_t level_bits_two_by(const group_state_t &g, int32_t a, G1 g1_bin, G2 g2_bin) {
  uint32_t bits = 256;  // sign
  if (g.nz >= 8) return bits + remaining_bits(static_cast<uint32_t>(a - 1), g.rice);
  bits += g1_bin(a > 1);
  if (a > 2) {
    if (g.g2_done) return bits + remaining_bits(static_cast<uint32_t>(a - 2), g.rice);
    return bits + g2_bin(1) + remaining_bits(static_cast<uint32_t>(a - 3), g.rice);
  }
  const uint32_t two = g.g2_done ? remaining_bits(0, g.rice) : g2_bin(0);
  return bits + (two & (0u - static_cast<uint32_t>(a == 2)));
}

inline uint32_t level_bits(const block_t &b, const group_state_t &g, int32_t a) {
  return level_bits_by(
      g, a, [&](int32_t f) { return b.bin(CTX_GREATER1 + (b.chroma ? 16 : 0) + g.ctx_set * 4 + g.c1, f); },
      [&](int32_t f) { return b.bin(CTX_GREATER2 + (b.chroma ? 4 : 0) + g.ctx_set, f); });
}

// level_bits for the fast decision's walk over a group.
inline uint32_t level_bits_two(const block_t &b, const group_state_t &g, int32_t a) {
  return level_bits_two_by(
      g, a, [&](int32_t f) { return b.bin(CTX_GREATER1 + (b.chroma ? 16 : 0) + g.ctx_set * 4 + g.c1, f); },
      [&](int32_t f) { return b.bin(CTX_GREATER2 + (b.chroma ? 4 : 0) + g.ctx_set, f); });
}

inline void group_advance(group_state_t &g, int32_t a) {
  if (a == 0) return;
  int32_t remaining_coded = 1;
  if (g.nz < 8) {
    if (a > 1) {
      remaining_coded = g.g2_done || a > 2;
      g.g2_done = 1;
      g.c1 = 0;
    } else {
      remaining_coded = 0;
      g.c1 += static_cast<uint32_t>(g.c1 - 1) < 2;  // 1 or 2 step up, without a branch
    }
  }
  if (remaining_coded && a > (3 << g.rice) && g.rice < 4) g.rice++;
  g.nz++;
}

// A group's map of rounded levels in raster order (bit y * 4 + x) taken to
// scan order (bit k for entry k), a byte at a time: [type][byte][value].
constexpr std::array<std::array<std::array<uint16_t, 256>, 2>, 3> raster_to_scan = [] {
  std::array<std::array<std::array<uint16_t, 256>, 2>, 3> t{};
  for (int type = 0; type < 3; type++)
    for (int k = 0; k < 16; k++) {
      const int r = residual_ctx::inner_scan[type][k];
      for (int v = 0; v < 256; v++)
        if ((v >> (r & 7)) & 1) t[type][r >> 3][v] |= static_cast<uint16_t>(1 << k);
    }
  return t;
}();

// Group g's (scan order) map of rounded levels in scan order; the group
// holds a rounded level.
uint32_t scan_map(const block_t &b, const rdoq_prep_t &prep, int32_t g) {
  const uint32_t m = prep.group_map[b.group_at[g]];
  const auto &t = raster_to_scan[b.scan_type];
  return t[0][m & 255] | t[1][m >> 8];
}

// The groups of the first step's mask (by place) in scan order, and the
// largest group column and row among them.
uint64_t scan_groups(const block_t &b, uint64_t mask, int32_t *max_gx, int32_t *max_gy) {
  const uint8_t *order = b.group_order;
  uint64_t groups = 0;
  int32_t gx = 0, gy = 0;
  for (; mask; mask &= mask - 1) {
    const int32_t at = __builtin_ctzll(mask);
    groups |= uint64_t{1} << order[at];
    gx = std::max(gx, at & ((b.n >> 2) - 1));
    gy = std::max(gy, at >> (b.log2 - 2));
  }
  *max_gx = gx;
  *max_gy = gy;
  return groups;
}

// A chosen non-zero level as the last-position search reads it.
struct coded_level_t {
  int32_t i;       // scan position
  int32_t level;   // > 0
  // The part of its cost its sig_coeff_flag takes plus the cost minus
  // zero-level distortion of the group's positions after it: what the
  // block's cost loses with it as the last position, beyond its prefixes.
  int64_t dropped;
};

// Scratch of one block's decision, by scan position.  Only groups that
// hold a rounded level (and the first group) are filled; nothing beyond the
// last rounded level is written or read.  Positions that keep the level 0
// add just their flags' bits to the costs, which count from the block left
// empty.  Rounded levels and candidate distortions are read from the first step's
// record by raster position.
struct work_t {
  const rdoq_prep_t *pre;
  rdoq_zero_sums_fn zero_sums;
  const uint16_t *scan;
  int32_t level[MAX_COEFS];       // chosen |level|
  uint16_t rounded_map[64];       // by group in scan order: bit k, entry k's rounded level is not 0
  int64_t group_delta[64];        // by group in scan order: cost minus zero-level distortion, as chosen
  int64_t group_flag_cost[64];    // coded_sub_block_flag as decided
  int32_t coded_begin[64], coded_end[64];  // the group's entries of coded[], in descending scan order
  int32_t coded_count;
  coded_level_t coded[MAX_COEFS];
  // The states after the last decision, and whether they are those the
  // coder leaves after coding its levels from its last position (all but
  // the last position's bins).
  uint8_t states[192];
  bool states_as_coded;
  uint64_t scan_groups;           // bit g: group g (in scan order) holds a non-zero rounded level
  bool general;                   // no shortcuts (rdoq_decide's general)
  // By group, where the levels are refined: the states the group's bins
  // touch and its greater1 context after the last choice of its levels.
  ctx_state_t chosen_sig[64][10], chosen_lvl[64][5];
  int32_t chosen_c1[64];

  // Plainly rounded |level| at scan position i.
  int32_t rounded(int32_t i) const { return pre->rounded[scan[i]]; }
  // Distortion with the level 0; 0 where the rounded level is 0, as only
  // the refinement reads there, on both sides of each comparison.
  int64_t zero_dist(int32_t i) const {
    const int32_t p = scan[i];
    return pre->rounded[p] ? pre->zero_dist[p] : 0;
  }
  // a is one of the candidates: the rounded level, one below it, or 0.
  int64_t level_dist(int32_t i, int32_t a) const {
    const int32_t p = scan[i];
    if (a == 0) return pre->rounded[p] ? pre->zero_dist[p] : 0;
    return a == pre->rounded[p] ? pre->level_dist[p] : pre->below_dist[p];
  }
};

}  // namespace
