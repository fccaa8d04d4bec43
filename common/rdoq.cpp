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
#include <type_traits>

#include "common/cabac_tables.h"
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
