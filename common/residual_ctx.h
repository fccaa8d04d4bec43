// Context selection of sig_coeff_flag (H.265 9.3.4.2.5) for the sixteen
// positions of one 4x4 coefficient group at a time, shared by the residual
// coder and the rate-distortion quantiser so that both price the same bins.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "common/cabac_tables.h"

namespace residual_ctx {

// Pattern of a group's position (y * 4 + x inside the group) by which of
// the right (bit 0) and lower (bit 1) neighbouring groups are coded.
constexpr std::array<std::array<uint8_t, 16>, 4> group_pattern = [] {
  std::array<std::array<uint8_t, 16>, 4> t{};
  for (int prev = 0; prev < 4; prev++)
    for (int pos = 0; pos < 16; pos++) {
      const int xp = pos & 3, yp = pos >> 2;
      int c;
      if (prev == 0)
        c = xp + yp == 0 ? 2 : xp + yp < 3 ? 1 : 0;
      else if (prev == 1)
        c = yp == 0 ? 2 : yp == 1 ? 1 : 0;
      else if (prev == 2)
        c = xp == 0 ? 2 : xp == 1 ? 1 : 0;
      else
        c = 2;
      t[prev][pos] = static_cast<uint8_t>(c);
    }
  return t;
}();

constexpr uint8_t map_4x4[16] = {0, 1, 4, 5, 2, 3, 4, 5, 6, 6, 8, 8, 7, 7, 8, 8};

// Every group of a block is visited in the 4x4 order of the block's scan
// type: the in-group position (y * 4 + x) of a group's k-th entry, by type
// (0 up-right diagonal, 1 horizontal, 2 vertical).
constexpr std::array<std::array<uint8_t, 16>, 3> inner_scan = [] {
  std::array<std::array<uint8_t, 16>, 3> t{};
  for (int type = 0; type < 3; type++) {
    int k = 0;
    if (type == 0) {
      for (int diag = 0; diag < 7; diag++)
        for (int y = diag, x = 0; y >= 0; y--, x++)
          if (x < 4 && y < 4) t[type][k++] = static_cast<uint8_t>(y * 4 + x);
    } else {
      for (int a = 0; a < 4; a++)
        for (int b = 0; b < 4; b++) t[type][k++] = static_cast<uint8_t>(type == 1 ? a * 4 + b : b * 4 + a);
    }
  }
  return t;
}();

// The context increments of group_pattern and map_4x4 in scan order:
// [type][prev_csbf][k], and [type][4][k] for 4x4 blocks.
constexpr std::array<std::array<std::array<uint8_t, 16>, 5>, 3> scan_ctx_inc = [] {
  std::array<std::array<std::array<uint8_t, 16>, 5>, 3> t{};
  for (int type = 0; type < 3; type++)
    for (int k = 0; k < 16; k++) {
      for (int prev = 0; prev < 4; prev++) t[type][prev][k] = group_pattern[prev][inner_scan[type][k]];
      t[type][4][k] = map_4x4[inner_scan[type][k]];
    }
  return t;
}();

// Positions of a group (bit k for its k-th scan entry) whose context
// increment is v: [type][pattern][v], pattern as in scan_ctx_inc.  A group
// whose contexts do not change while it is priced costs its zero flags as
// one product per increment.
constexpr std::array<std::array<std::array<uint16_t, 9>, 5>, 3> scan_ctx_masks = [] {
  std::array<std::array<std::array<uint16_t, 9>, 5>, 3> t{};
  for (int type = 0; type < 3; type++)
    for (int pattern = 0; pattern < 5; pattern++)
      for (int k = 0; k < 16; k++) t[type][pattern][scan_ctx_inc[type][pattern][k]] |= static_cast<uint16_t>(1 << k);
  return t;
}();

// A 4x4 block's non-zero map in scan order from its raster map: bit 15 - k
// for the k-th scan entry, as the OR of the entries of the raster map's low
// byte [type][0][byte] and high byte [type][1][byte].
constexpr std::array<std::array<std::array<uint16_t, 256>, 2>, 3> scan_map_4x4 = [] {
  std::array<std::array<std::array<uint16_t, 256>, 2>, 3> t{};
  for (int type = 0; type < 3; type++)
    for (int k = 0; k < 16; k++) {
      const int r = inner_scan[type][k];
      for (int b = 0; b < 256; b++)
        if ((b >> (r & 7)) & 1) t[type][r >> 3][b] |= static_cast<uint16_t>(1 << (15 - k));
    }
  return t;
}();

// Where the sig_coeff_flag contexts of a group come from: entry k takes
// offset + scan_ctx_inc[scan_type][pattern][k], but for the DC position,
// entry 0 of a block's first group from 8x8 on, which takes dc_ctx.
struct group_sig_layout_t {
  int32_t offset;
  int32_t pattern;  // prev_csbf, or 4 in 4x4 blocks
  int32_t dc_ctx;   // -1: no entry of its own
};

// The layout of the group whose first scan entry is `pos` (sixteen raster
// positions y * n + x of an n = 2^log2 block, in scan order); prev_csbf as
// in group_pattern.
constexpr group_sig_layout_t group_sig_layout(const uint16_t *pos, int32_t log2, int32_t chroma, int32_t scan_type,
                                              int32_t prev_csbf) {
  const int32_t base = CTX_SIG_COEFF + (chroma ? 27 : 0);
  if (log2 == 2) return {base, 4, -1};
  // Only the group at the block's corner starts at position 0.
  const int32_t first_group = pos[0] == 0;
  group_sig_layout_t l{0, prev_csbf, first_group ? base : -1};
  if (!chroma)
    l.offset = base + (first_group ? 0 : 3) + (log2 == 3 ? (scan_type == 0 ? 9 : 15) : 21);
  else
    l.offset = base + (log2 == 3 ? 9 : 12);
  return l;
}

// The sixteen contexts of every group layout, built once:
// [log2 - 2][chroma][scan type][first group][prev_csbf] (4x4 blocks have
// the same for every prev_csbf).
constexpr auto group_sig_table = [] {
  std::array<std::array<std::array<std::array<std::array<std::array<uint8_t, 16>, 4>, 2>, 3>, 2>, 4> t{};
  for (int32_t log2 = 2; log2 <= 5; log2++)
    for (int32_t chroma = 0; chroma < 2; chroma++)
      for (int32_t type = 0; type < 3; type++)
        for (int32_t first = 0; first < 2; first++)
          for (int32_t prev = 0; prev < 4; prev++) {
            const uint16_t pos0 = first ? 0 : 1;
            const group_sig_layout_t l = group_sig_layout(&pos0, log2, chroma, type, prev);
            auto &out = t[log2 - 2][chroma][type][first][prev];
            for (int32_t k = 0; k < 16; k++) out[k] = static_cast<uint8_t>(scan_ctx_inc[type][l.pattern][k] + l.offset);
            if (l.dc_ctx >= 0) out[0] = static_cast<uint8_t>(l.dc_ctx);
          }
  return t;
}();

// Contexts of the group whose first scan entry is `pos`, laid out as
// group_sig_layout says.
inline const uint8_t *group_sig_contexts(const uint16_t *pos, int32_t log2, int32_t chroma, int32_t scan_type,
                                         int32_t prev_csbf) {
  return group_sig_table[log2 - 2][chroma != 0][scan_type][pos[0] == 0][prev_csbf & 3].data();
}
// The one group of a 4x4 block (its first scan entry is position 0).
inline const uint8_t *sig_contexts_4x4(int32_t chroma, int32_t scan_type) {
  return group_sig_table[0][chroma != 0][scan_type][1][0].data();
}
inline void group_sig_ctx(uint8_t out[16], const uint16_t *pos, int32_t log2, int32_t chroma, int32_t scan_type,
                          int32_t prev_csbf) {
  std::memcpy(out, group_sig_contexts(pos, log2, chroma, scan_type, prev_csbf), 16);
}

// Bins of coeff_abs_level_remaining (H.265 9.3.3.11) for value v at Rice
// parameter rice: a prefix of v >> rice ones and a zero with rice suffix
// bits below 4 << rice; else four ones, then Exp-Golomb of order k = rice + 1
// of u = v - (4 << rice), whose p = floor(log2(u / 2^k + 1)) prefix ones
// each double the step: p ones, a zero and k + p suffix bits.
constexpr uint32_t remaining_bins(uint32_t v, int32_t rice) {
  if (v < (4u << rice)) return (v >> rice) + 1 + static_cast<uint32_t>(rice);
  const uint32_t k = static_cast<uint32_t>(rice) + 1;
  const uint32_t p = 31 - static_cast<uint32_t>(__builtin_clz(((v - (4u << rice)) >> k) + 1));
  return 5 + k + 2 * p;
}

// The Rice parameter after a level of magnitude a is coded at rice
// (H.265 9.3.3.11: up by one past 3 * 2^rice, at most 4).
constexpr int32_t rice_after(uint32_t a, int32_t rice) {
  return a > (3u << rice) && rice < 4 ? rice + 1 : rice;
}

// A level's remaining value priced in one look-up, for the magnitudes
// below REMAINING_STEP_LEVELS (nearly all): [rice][threshold][a] holds the
// bins of a - threshold at rice (threshold 1..3, a >= threshold) and
// rice_after(a, rice) << 8.
inline constexpr uint32_t REMAINING_STEP_LEVELS = 64;
constexpr std::array<std::array<std::array<uint16_t, REMAINING_STEP_LEVELS>, 4>, 5> remaining_steps = [] {
  std::array<std::array<std::array<uint16_t, REMAINING_STEP_LEVELS>, 4>, 5> t{};
  for (int32_t rice = 0; rice < 5; rice++)
    for (uint32_t threshold = 1; threshold < 4; threshold++)
      for (uint32_t a = threshold; a < REMAINING_STEP_LEVELS; a++)
        t[rice][threshold][a] =
            static_cast<uint16_t>(remaining_bins(a - threshold, rice) | rice_after(a, rice) << 8);
  return t;
}();

// Bits and final state of n sig_coeff_flag bins of 0 in a row on one
// context from state s: [s][n], bits in the low 24 bits, the state above.
// Where the states move as bins are priced, the zeros of a group between two
// coded levels are taken a context at a time: a context's zeros there follow
// each other in its state, whatever order the positions interleave in.
struct zero_runs_t {
  uint32_t run[128][17];
  zero_runs_t() {
    for (int32_t s = 0; s < 128; s++) {
      uint32_t bits = 0, st = static_cast<uint32_t>(s);
      for (int32_t n = 0; n <= 16; n++) {
        run[s][n] = bits | st << 24;
        bits += cabac_bit_cost_table[st];
        st = cabac_transition_table[st * 2];
      }
    }
  }
};

inline const zero_runs_t &zero_runs() {
  static const zero_runs_t runs;
  return runs;
}

constexpr std::array<uint8_t, 256> bit_count = [] {
  std::array<uint8_t, 256> t{};
  for (int v = 1; v < 256; v++) t[v] = static_cast<uint8_t>(t[v >> 1] + (v & 1));
  return t;
}();

// Set bits of a 16-bit map (no population-count instruction in the
// portable code).
inline int32_t count16(uint32_t v) { return bit_count[v & 255] + bit_count[(v >> 8) & 255]; }

// Bit i set where the 4x4 block's raster position i holds a level: four
// levels per 64-bit word, each lane's top bit set when its low fifteen bits
// carry into it or it was set already.  Word w's top bits are moved to bits
// 16 * j + 4 * w (j the lane) and the sixteen gathered to bits 48-63, at
// 48 + 4 * w + j, by one multiply: the product terms of other lanes fall
// below bit 48 on distinct bits (no carry) or past bit 63.
inline uint32_t nonzero_mask_4x4(const int16_t *levels) {
  const uint64_t low = 0x7fff7fff7fff7fffull;
  uint64_t spread = 0;
  for (int32_t w = 0; w < 4; w++) {
    uint64_t v;
    std::memcpy(&v, levels + 4 * w, sizeof v);
    spread |= ((((v & low) + low) | v) & ~low) >> (15 - 4 * w);
  }
  return static_cast<uint32_t>((spread * ((1ull << 48) | (1ull << 33) | (1ull << 18) | (1ull << 3))) >> 48);
}

// Prices and codes on states st the sig_coeff_flag bins of 0 of the
// entries in `set` (bit k for entry k) of a group laid out as `lay`, in
// runs per context; returns their bits (1/256).
inline uint32_t code_zero_flags(uint8_t *st, const group_sig_layout_t &lay, int32_t scan_type, uint32_t set) {
  uint32_t bits = 0;
  if (lay.dc_ctx >= 0 && (set & 1)) {
    uint8_t &s = st[lay.dc_ctx];
    bits += cabac_bit_cost_table[s];
    s = cabac_transition_table[s * 2];
    set &= ~1u;
  }
  const auto &masks = scan_ctx_masks[scan_type][lay.pattern];
  const int32_t increments = lay.pattern == 4 ? 9 : 3;
  const zero_runs_t &runs = zero_runs();
  for (int32_t v = 0; v < increments && set; v++) {
    const uint32_t of = set & masks[v];
    if (!of) continue;
    set &= ~of;
    uint8_t &s = st[lay.offset + v];
    const uint32_t e = runs.run[s][count16(of)];
    bits += e & 0xffffff;
    s = static_cast<uint8_t>(e >> 24);
  }
  return bits;
}

}  // namespace residual_ctx
