#include "bitstream/ctu_writer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "common/residual_ctx.h"
#include "encoder/encoder.h"
#include "filters/sao.h"
#include "motion/mvp.h"
#include "rdo/block_coding.h"

namespace {

struct sink_code {
  cabac_t *c;
  void bin(int32_t ctx, uint32_t b) { cabac_encode_bin(c, ctx, b); }
  void bypass(uint32_t b) { cabac_encode_bypass(c, b); }
  void bypass_bits(uint32_t v, int32_t n) { cabac_encode_bypass_bits(c, v, n); }
  // Bits produced so far, written or pending.
  int64_t bits() const { return cabac_bits(c); }
};

struct sink_estimate {
  cabac_est_t *e;
  void bin(int32_t ctx, uint32_t b) { cabac_est_bin(e, ctx, b); }
  void bypass(uint32_t) { e->bits += 256; }
  void bypass_bits(uint32_t, int32_t n) { e->bits += 256u * static_cast<uint32_t>(n); }
};

// A bin's cost and the state after it in one word, [state * 2 + bin]: the
// cost in the low 32 bits, the next state from bit 32 up.  A sum of such
// words holds the costs' sum in its low 32 bits (carries only go up), so
// one load serves both halves of a bin.
struct bin_steps_t {
  uint64_t step[256];
  bin_steps_t() {
    for (int32_t i = 0; i < 256; i++)
      step[i] = cabac_bit_cost_table[(i >> 1) ^ (i & 1)] | uint64_t{cabac_transition_table[i]} << 32;
  }
};

// Built before the encoder runs (the tables it reads are constants).
const bin_steps_t bin_steps;

// The residual estimate's own sink: the bit count stays in a register while
// the states are stored (a store through the state bytes may otherwise be a
// store to the count, which then goes through memory at every bin); the
// caller takes the low 32 bits of the sum and adds them to the estimation
// record at the end.
struct sink_residual_estimate {
  uint8_t *st;
  uint64_t sum;
  void bin(int32_t ctx, uint32_t b) {
    const uint64_t step = bin_steps.step[st[ctx] * 2 + b];
    sum += step;
    st[ctx] = static_cast<uint8_t>(step >> 32);
  }
  void bypass(uint32_t) { sum += 256; }
  void bypass_bits(uint32_t, int32_t n) { sum += 256u * static_cast<uint32_t>(n); }
};

// The same with a reach: an estimate whose bits times lambda reach it may
// stop there.
struct sink_residual_within : sink_residual_estimate {
  uint64_t lambda, reach;
};

template <class S>
constexpr bool estimates = std::is_same_v<S, sink_estimate> || std::is_same_v<S, sink_residual_estimate> ||
                           std::is_same_v<S, sink_residual_within>;

// Quantisation-group state of the writer.
struct qg_state_t {
  int32_t enabled;
  int32_t log2_qg;
  int32_t prev_qp;
  int32_t qp_pred;
  int32_t delta_coded;
};

// Decided values of the unit at CTU-relative luma (x, y): inside the CTU
// from its maps, outside from the picture's units.
inline const pic_unit_t &pic_unit_at(const encoder_t *ctx, int32_t x, int32_t y) {
  const frame_t *f = ctx->cur_recon;
  const int32_t px = ctx->ctu_x * 64 + x, py = ctx->ctu_y * 64 + y;
  return f->units[(py >> 3) * f->units_stride + (px >> 3)];
}
inline bool inside_ctu(int32_t x, int32_t y) { return x >= 0 && y >= 0 && x < 64 && y < 64; }

int32_t cu_log2_at(const encoder_t *ctx, int32_t x, int32_t y) {
  if (inside_ctu(x, y)) return ctx->maps->unit.cu_log2[zorder_of(x >> 2, y >> 2)];
  return pic_unit_at(ctx, x, y).cu_log2;
}
int32_t luma_mode_at(const encoder_t *ctx, int32_t x, int32_t y) {
  if (inside_ctu(x, y)) return ctx->maps->unit.luma_mode[zorder_of(x >> 2, y >> 2)];
  const int32_t px = ctx->ctu_x * 64 + x, py = ctx->ctu_y * 64 + y;
  return pic_unit_at(ctx, x, y).luma_mode[((py >> 2) & 1) * 2 + ((px >> 2) & 1)];
}
int32_t intra_at(const encoder_t *ctx, int32_t x, int32_t y) {
  if (inside_ctu(x, y)) return unit_intra(ctx->maps, zorder_of(x >> 2, y >> 2));
  return pic_unit_at(ctx, x, y).intra;
}
int32_t skip_at(const encoder_t *ctx, int32_t x, int32_t y) {
  if (inside_ctu(x, y)) return unit_skip(ctx->maps, zorder_of(x >> 2, y >> 2));
  return pic_unit_at(ctx, x, y).flags & 1;
}
bool in_picture(const encoder_t *ctx, int32_t x, int32_t y) {
  int32_t px = ctx->ctu_x * 64 + x, py = ctx->ctu_y * 64 + y;
  return px >= 0 && py >= 0 && px < ctx->width && py < ctx->height;
}

template <class S>
void write_split_cu_flag(S &s, const encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t split) {
  const int32_t depth = 6 - log2_size;
  int32_t inc = 0;
  if (in_picture(ctx, x - 1, y) && 6 - cu_log2_at(ctx, x - 1, y) > depth) inc++;
  if (in_picture(ctx, x, y - 1) && 6 - cu_log2_at(ctx, x, y - 1) > depth) inc++;
  s.bin(CTX_SPLIT_CU_FLAG + inc, static_cast<uint32_t>(split));
}

// k-th order Exp-Golomb, bypass coded (H.265 9.3.3.3).
template <class S>
void write_exp_golomb(S &s, uint32_t v, int32_t k) {
  while (v >= (1u << k)) {
    s.bypass(1);
    v -= 1u << k;
    k++;
  }
  s.bypass(0);
  s.bypass_bits(v, k);
}

// H.265 9.3.3.11 coeff_abs_level_remaining: a truncated Rice prefix of at
// most four ones, then k-th order Exp-Golomb with k = rice + 1 for the rest.
template <class S>
[[gnu::always_inline]] inline void write_level_remaining(S &s, uint32_t value, int32_t rice) {
  // An estimate needs only the count of bins.
  if constexpr (estimates<S>) {
    s.bypass_bits(0, static_cast<int32_t>(residual_ctx::remaining_bins(value, rice)));
    return;
  }
  const uint32_t prefix_limit = 4u << rice;
  if (value < prefix_limit) {
    uint32_t q = value >> rice;
    s.bypass_bits((1u << (q + 1)) - 2, static_cast<int32_t>(q + 1));  // q ones, then a zero
    if (rice) s.bypass_bits(value & ((1u << rice) - 1), rice);
    return;
  }
  s.bypass_bits(15, 4);
  write_exp_golomb(s, value - prefix_limit, rice + 1);
}

template <class S>
[[gnu::always_inline]] inline void write_last_pos_prefix(S &s, int32_t ctx_base, int32_t value, int32_t log2_size, int32_t chroma) {
  static const uint8_t group_idx[32] = {0, 1, 2, 3, 4, 4, 5, 5, 6, 6, 6, 6, 7, 7, 7, 7,
                                        8, 8, 8, 8, 8, 8, 8, 8, 9, 9, 9, 9, 9, 9, 9, 9};
  const int32_t prefix = group_idx[value];
  const int32_t offset = chroma ? 15 : 3 * (log2_size - 2) + ((log2_size - 1) >> 2);
  const int32_t shift = chroma ? log2_size - 2 : (log2_size + 1) >> 2;
  const int32_t cmax = (log2_size << 1) - 1;
  for (int32_t b = 0; b < prefix; b++) s.bin(ctx_base + offset + (b >> shift), 1);
  if (prefix < cmax) s.bin(ctx_base + offset + (prefix >> shift), 0);
}

template <class S>
[[gnu::always_inline]] inline void write_last_pos_suffix(S &s, int32_t value) {
  static const uint8_t group_idx[32] = {0, 1, 2, 3, 4, 4, 5, 5, 6, 6, 6, 6, 7, 7, 7, 7,
                                        8, 8, 8, 8, 8, 8, 8, 8, 9, 9, 9, 9, 9, 9, 9, 9};
  static const uint8_t min_in_group[10] = {0, 1, 2, 3, 4, 6, 8, 12, 16, 24};
  const int32_t prefix = group_idx[value];
  if (prefix > 3) s.bypass_bits(static_cast<uint32_t>(value - min_in_group[prefix]), (prefix >> 1) - 1);
}

// H.265 7.3.8.11 residual_coding with the context selection of 9.3.4.2.
// The non-zero count and the per-group significance maps come from the
// pixel table's count_nonzero and coeff_scan_groups, so that only non-zero
// levels are read again.  With fixed_log2 set the block size is that
// constant (4x4 blocks, the most frequent, lose their group bookkeeping and
// take map and non-zero levels in reading order from coeff_levels_4x4; 8x8
// blocks take them the same way a group at a time, from the last group down
// to the first, which spares the count and the scan of the whole block and
// never reads the groups below an all-zero tail twice).
template <int32_t fixed_log2, class S>
[[gnu::always_inline]] inline void write_residual_body(S &s, const encoder_t *ctx, const int16_t *levels,
                                                       int32_t any_log2, int32_t plane, int32_t scan_idx) {
  const int32_t log2_size = fixed_log2 ? fixed_log2 : any_log2;
  const int32_t n = 1 << log2_size;
  // Whether a bounded estimate has reached its reach (the bins counted only
  // ever add bits).
  auto spent = [&s] {
    if constexpr (std::is_same_v<S, sink_residual_within>)
      return static_cast<uint32_t>(s.sum) * s.lambda >= s.reach;
    else
      return false;
  };
  const int32_t sign_hiding = ctx->pps->sign_data_hiding;
  const int32_t chroma = plane > 0;
  const uint16_t *scan = ctx->scan_tables->scan[scan_idx][log2_size - 2];
  uint16_t signs[64], sigmap[64];
  uint8_t counts[64];
  // A 4x4 block's non-zero levels in reading order; an 8x8 block's per group.
  alignas(16) int16_t levels_4x4[fixed_log2 == 3 ? 4 : 1][16];
  // sigmap[g]: bit top - k for position k of group g, top being 15 but in
  // the last group, where it is the last position.
  int32_t last;
  if constexpr (fixed_log2 == 2) {
    const uint32_t map = ctx->pixel.coeff_levels_4x4(levels, scan_idx, levels_4x4[0]);
    last = map ? 15 - __builtin_ctz(map) : -1;
    sigmap[0] = static_cast<uint16_t>(map ? map >> __builtin_ctz(map) : 0);
  } else if constexpr (fixed_log2 == 3) {
    // Every scan enters a group at its top-left corner: its four rows of
    // four levels, gathered into a 4x4 block of their own.
    last = -1;
    for (int32_t g = 3; g >= 0; g--) {
      const int16_t *corner = levels + scan[16 * g];
      alignas(16) int16_t group[16];
      for (int32_t r = 0; r < 4; r++) std::memcpy(group + 4 * r, corner + 8 * r, 4 * sizeof(int16_t));
      const uint32_t map = ctx->pixel.coeff_levels_4x4(group, scan_idx, levels_4x4[g]);
      counts[g] = map != 0;
      sigmap[g] = static_cast<uint16_t>(map);
      if (last < 0 && map) {
        last = 16 * g + 15 - __builtin_ctz(map);
        sigmap[g] = static_cast<uint16_t>(map >> __builtin_ctz(map));
      }
    }
  } else {
    const int32_t nonzero = static_cast<int32_t>(ctx->pixel.count_nonzero(levels, log2_size));
    last = ctx->pixel.coeff_scan_groups(scan, levels, signs, sigmap, counts, nonzero,
                                        ctx->scan_tables->scan[scan_idx][0], n);
  }
  if (last < 0) last = 0;  // an empty block codes its first position as the last

  int32_t lx = scan[last] & (n - 1), ly = scan[last] >> log2_size;
  if (scan_idx == 2) {  // the vertical scan codes the coordinates swapped
    int32_t t = lx;
    lx = ly;
    ly = t;
  }
  if constexpr (fixed_log2 == 2) {
    // Both coordinates are below 4: no suffix, and the prefix is the value
    // itself in unary, on one context per bin, its zero left out at 3.
    auto prefix_4x4 = [&s](int32_t ctx, int32_t v) {
      if (v > 0) s.bin(ctx, 1);
      if (v > 1) s.bin(ctx + 1, 1);
      if (v > 2)
        s.bin(ctx + 2, 1);
      else
        s.bin(ctx + v, 0);
    };
    prefix_4x4(CTX_LAST_X_PREFIX + (chroma ? 15 : 0), lx);
    prefix_4x4(CTX_LAST_Y_PREFIX + (chroma ? 15 : 0), ly);
  } else {
    write_last_pos_prefix(s, CTX_LAST_X_PREFIX, lx, log2_size, chroma);
    write_last_pos_prefix(s, CTX_LAST_Y_PREFIX, ly, log2_size, chroma);
    write_last_pos_suffix(s, lx);
    write_last_pos_suffix(s, ly);
  }
  if (spent()) return;

  // Coded-sub-block flags over the group grid (a 4x4 block's one group has
  // no neighbours and is coded).
  const int32_t groups_per_row = n >> 2;
  const int32_t last_group = fixed_log2 == 2 ? 0 : last >> 4;
  // Bit gy * groups_per_row + gx: the group at (gx, gy) holds a level.
  uint64_t csbf = 0;
  if constexpr (fixed_log2 != 2) {
    for (int32_t g = 0; g <= last_group; g++) {
      const int32_t gp = scan[16 * g];
      csbf |= static_cast<uint64_t>(counts[g] > 0) << (((gp >> log2_size) >> 2) * groups_per_row + ((gp & (n - 1)) >> 2));
    }
  }

  int32_t c1 = 1;  // greater1 context state carried across groups
  for (int32_t g = last_group; g >= 0; g--) {
    if (g != last_group && spent()) return;
    const uint16_t *pos = scan + 16 * g;
    const int32_t gx = (pos[0] & (n - 1)) >> 2, gy = (pos[0] >> log2_size) >> 2;
    const int32_t at = gy * groups_per_row + gx;
    const int32_t right = gx + 1 < groups_per_row ? (csbf >> (at + 1)) & 1 : 0;
    const int32_t below = gy + 1 < groups_per_row ? (csbf >> (at + groups_per_row)) & 1 : 0;
    // The first and the last group are inferred coded.
    const int32_t coded_group = (g == 0 || g == last_group) ? 1 : (csbf >> at) & 1;
    int32_t infer_dc = 0;
    if (g < last_group && g > 0) {
      s.bin(CTX_CODED_SUB_BLOCK + (right | below) + (chroma ? 2 : 0), static_cast<uint32_t>(coded_group));
      infer_dc = 1;
    }
    if (!coded_group) continue;
    // Significance flags from entry top down (bit top - k of the map is
    // entry k).  The last position's flag is implied, and so is the DC flag
    // of a group where no other entry is significant.
    const int32_t top = g == last_group ? last & 15 : 15;
    const uint32_t map = sigmap[g];
    const uint8_t *sig_ctx = fixed_log2 == 2
                                 ? residual_ctx::sig_contexts_4x4(chroma, scan_idx)
                                 : residual_ctx::group_sig_contexts(pos, log2_size, chroma, scan_idx, right + 2 * below);
    const int32_t from = top - (g == last_group);
    // The map shifted along with k: bit 0 is always entry k's.
    uint32_t ahead = map >> (top - from);
    for (int32_t k = from; k > 0; k--, ahead >>= 1) s.bin(sig_ctx[k], ahead & 1);
    if (from >= 0 && !(infer_dc && (map & ((1u << top) - 1)) == 0)) s.bin(sig_ctx[0], (map >> top) & 1);
    if (spent()) return;
    // The non-zero levels in that order, the last position's first (an
    // empty block's last position counts, as it is coded).
    int32_t gathered[16];
    int32_t nz_count = 0;
    if constexpr (fixed_log2 == 2 || fixed_log2 == 3) {
      // An empty block's one coded level is its DC, 0 in the list; another
      // group without levels codes none.
      nz_count = map ? residual_ctx::count16(map) : g == last_group ? 1 : 0;
      if (nz_count == 0) continue;
    } else {
      for (uint32_t m = g == last_group ? map | 1 : map; m; m &= m - 1)
        gathered[nz_count++] = levels[pos[top - __builtin_ctz(m)]];
      if (nz_count == 0) continue;
    }
    auto value = [&](int32_t k) -> int32_t {
      if constexpr (fixed_log2 == 2)
        return levels_4x4[0][k];
      else if constexpr (fixed_log2 == 3)
        return levels_4x4[g][k];
      else
        return gathered[k];
    };

    // Greater-than-one and greater-than-two flags; the greater1 context
    // state c1 after a flag: 0 after a 1, else one up from 1 or 2.
    static constexpr uint8_t c1_next[2][4] = {{0, 2, 3, 3}, {0, 0, 0, 0}};
    int32_t ctx_set = (g == 0 || chroma) ? 0 : 2;
    if (c1 == 0) ctx_set++;
    c1 = 1;
    const int32_t g1_count = nz_count < 8 ? nz_count : 8;
    const int32_t g1_ctx = CTX_GREATER1 + (chroma ? 16 : 0) + ctx_set * 4;
    uint32_t above1 = 0;  // bit k: the k-th level (k < 8) is above 1
    for (int32_t k = 0; k < g1_count; k++) {
      const uint32_t flag = static_cast<uint32_t>(value(k) + 1) > 2;  // |value| > 1
      s.bin(g1_ctx + c1, flag);
      above1 |= flag << k;
      c1 = c1_next[flag][c1];
    }
    const int32_t first_g2 = above1 ? __builtin_ctz(above1) : -1;
    if (first_g2 >= 0) s.bin(CTX_GREATER2 + (chroma ? 4 : 0) + ctx_set, std::abs(value(first_g2)) > 2);
    // Signs; the first coefficient's sign is hidden when the group's
    // non-zero levels span more than three scan positions (sign data hiding).
    // The span is above 3 when the map reaches 16 times its lowest set bit;
    // an empty map's lowest bit is 0, and 0 * 16 - 1 wraps above any map.
    const uint32_t lowest = map & (0u - map);
    const int32_t hide = sign_hiding && map > lowest * 16 - 1;
    if constexpr (estimates<S>) {
      s.bypass_bits(0, nz_count - hide);
    } else {
      uint32_t sign_bits = 0;
      for (int32_t k = 0; k < nz_count - hide; k++) sign_bits = (sign_bits << 1) | (value(k) < 0);
      s.bypass_bits(sign_bits, nz_count - hide);
    }
    // Remaining levels with the Rice parameter update: coded for the levels
    // the flags leave open (the greater2 one from 3, the other flagged ones
    // from 2, those past the eighth from 1).  Up to eight levels of 1, the
    // most frequent group, code none.
    if (!above1 && nz_count <= 8) continue;
    // Of the first eight only those above 1 can; every later one does.
    int32_t rice = 0;
    uint32_t bins = 0;  // of the estimate's looked-up levels
    auto remaining = [&](int32_t a, int32_t threshold) {
      if constexpr (estimates<S>) {
        if (static_cast<uint32_t>(a) < residual_ctx::REMAINING_STEP_LEVELS) {
          const uint32_t step = residual_ctx::remaining_steps[rice][threshold][a];
          bins += step & 255;
          rice = static_cast<int32_t>(step >> 8);
          return;
        }
      }
      write_level_remaining(s, static_cast<uint32_t>(a - threshold), rice);
      rice = residual_ctx::rice_after(static_cast<uint32_t>(a), rice);
    };
    // The greater2 level (the first flagged) codes from 3 when above 2;
    // the other flagged ones are above 1 and code from 2.
    if (above1) {
      const int32_t a = std::abs(value(first_g2));
      if (a >= 3) remaining(a, 3);
    }
    for (uint32_t m = above1 & (above1 - 1); m; m &= m - 1) remaining(std::abs(value(__builtin_ctz(m))), 2);
    for (int32_t k = 8; k < nz_count; k++) remaining(std::abs(value(k)), 1);
    if constexpr (estimates<S>) s.bypass_bits(0, static_cast<int32_t>(bins));
  }
}

template <class S>
void write_residual(S &s, const encoder_t *ctx, const int16_t *levels, int32_t log2_size, int32_t plane,
                    int32_t scan_idx) {
  if constexpr (std::is_same_v<S, sink_estimate>) {
    residual_bits(ctx, s.e, levels, log2_size, plane, scan_idx);
  } else if (log2_size == 2) {
    write_residual_body<2>(s, ctx, levels, log2_size, plane, scan_idx);
  } else {
    write_residual_body<0>(s, ctx, levels, log2_size, plane, scan_idx);
  }
}

template <class S>
void write_cu_qp_delta(S &s, int32_t delta) {
  const int32_t a = delta < 0 ? -delta : delta;
  const int32_t prefix = a < 5 ? a : 5;
  for (int32_t b = 0; b < prefix; b++) s.bin(CTX_CU_QP_DELTA_ABS + (b ? 1 : 0), 1);
  if (prefix < 5) s.bin(CTX_CU_QP_DELTA_ABS + (prefix ? 1 : 0), 0);
  if (a >= 5) write_exp_golomb(s, static_cast<uint32_t>(a - 5), 0);
  if (a) s.bypass(delta < 0 ? 1u : 0u);
}

// H.265 7.3.8.9 mvd_coding.
template <class S>
void write_mvd(S &s, int32_t mx, int32_t my) {
  const uint32_t ax = static_cast<uint32_t>(mx < 0 ? -mx : mx), ay = static_cast<uint32_t>(my < 0 ? -my : my);
  s.bin(CTX_MVD_GREATER0, ax > 0);
  s.bin(CTX_MVD_GREATER0, ay > 0);
  if (ax) s.bin(CTX_MVD_GREATER1, ax > 1);
  if (ay) s.bin(CTX_MVD_GREATER1, ay > 1);
  if (ax) {
    if (ax > 1) write_exp_golomb(s, ax - 2, 1);
    s.bypass(mx < 0);
  }
  if (ay) {
    if (ay > 1) write_exp_golomb(s, ay - 2, 1);
    s.bypass(my < 0);
  }
}

// Truncated-rice index with its first bins context coded (ref_idx,
// merge_idx): value ones then a zero below cmax.
template <class S>
void write_truncated_index(S &s, int32_t value, int32_t cmax, int32_t ctx, int32_t ctx_bins) {
  for (int32_t b = 0; b < cmax; b++) {
    const uint32_t bin = b < value;
    if (b < ctx_bins)
      s.bin(ctx + b, bin);
    else
      s.bypass(bin);
    if (!bin) break;
  }
}

template <class S>
struct cu_writer {
  S &s;
  const encoder_t *ctx;
  qg_state_t *qg;
  int32_t cu_z;  // first unit of the CU being written
  int32_t mark_grid;  // mark written blocks in the availability grid
  // When set (coding only): the bits of prediction units and transform
  // trees are added here.
  rc_picture_counts_t *counts = nullptr;
  // Estimates only: the part of a CU counted (INTER_CU_*, INTRA_CU_SYNTAX),
  // or 0 for all of it.
  int32_t part = 0;

  template <class F>
  void counted(int64_t rc_picture_counts_t::*field, F &&write) {
    if constexpr (requires(S &x) { x.bits(); }) {
      if (counts) {
        const int64_t before = s.bits();
        write();
        counts->*field += s.bits() - before;
        return;
      }
    }
    write();
  }

  int32_t cbf_or(int32_t z, int32_t log2_size, int32_t bit) const { return (block_cbf(ctx->maps->unit.cbf, z, log2_size) >> bit) & 1; }

  void transform_unit(int32_t x, int32_t y, int32_t xb, int32_t yb, int32_t log2_size, int32_t blk, int32_t cbf_l,
                      int32_t cbf_cb, int32_t cbf_cr) {
    const ctu_unit_maps_t *d = &ctx->maps->unit;
    // The intra syntax part ends before the residuals (and the QP delta,
    // which no estimate counts).
    if (!(cbf_l || cbf_cb || cbf_cr) || part == INTRA_CU_SYNTAX) return;
    if (qg && qg->enabled && !qg->delta_coded) {
      int32_t delta = unit_qp(ctx->maps, cu_z) - qg->qp_pred;
      // QpY wraps modulo 52, so any QP is reachable with a delta in -26..25.
      if (delta < -26) delta += 52;
      if (delta > 25) delta -= 52;
      write_cu_qp_delta(s, delta);
      qg->delta_coded = 1;
    }
    const int32_t z = zorder_of(x >> 2, y >> 2);
    const int32_t is_intra = unit_intra(ctx->maps, z);
    const int32_t luma_mode = d->luma_mode[z];
    if (cbf_l && part != INTER_CU_TAIL_BUT_LUMA)
      write_residual(s, ctx, d->coef_y + 16 * z, log2_size, 0, scan_idx_for(is_intra, luma_mode, log2_size, 0));
    int32_t cz = -1, log2_c = 0;
    if (log2_size > 2) {
      cz = z;
      log2_c = log2_size - 1;
    } else if (blk == 3) {
      cz = zorder_of(xb >> 2, yb >> 2);
      log2_c = 2;
    }
    if (cz >= 0) {
      const int32_t cmode = chroma_mode_of(d->chroma_syntax[cz], d->luma_mode[cz]);
      const int32_t sidx = scan_idx_for(is_intra, cmode, log2_c, 1);
      if (cbf_cb) write_residual(s, ctx, d->coef_c[0] + 4 * cz, log2_c, 1, sidx);
      if (cbf_cr) write_residual(s, ctx, d->coef_c[1] + 4 * cz, log2_c, 2, sidx);
    }
  }

  void transform_tree(int32_t x, int32_t y, int32_t xb, int32_t yb, int32_t log2_size, int32_t depth, int32_t blk,
                      int32_t parent_cb, int32_t parent_cr, int32_t max_depth, int32_t intra_split) {
    const ctu_unit_maps_t *d = &ctx->maps->unit;
    const int32_t z = zorder_of(x >> 2, y >> 2);
    const int32_t split = d->tu_log2[z] < log2_size;
    if (log2_size <= 5 && log2_size > 2 && depth < max_depth && !(intra_split && depth == 0))
      s.bin(CTX_SPLIT_TRANSFORM + 5 - log2_size, static_cast<uint32_t>(split));
    int32_t cbf_cb = parent_cb, cbf_cr = parent_cr;
    if (log2_size > 2) {
      cbf_cb = (depth == 0 || parent_cb) ? cbf_or(z, log2_size, 1) : 0;
      cbf_cr = (depth == 0 || parent_cr) ? cbf_or(z, log2_size, 2) : 0;
      if (part != INTRA_CU_SYNTAX) {
        if (depth == 0 || parent_cb) s.bin(CTX_CBF_CHROMA + depth, static_cast<uint32_t>(cbf_cb));
        if (depth == 0 || parent_cr) s.bin(CTX_CBF_CHROMA + depth, static_cast<uint32_t>(cbf_cr));
      }
    }
    if (split) {
      const int32_t h = 1 << (log2_size - 1);
      for (int32_t k = 0; k < 4; k++)
        transform_tree(x + (k & 1) * h, y + (k >> 1) * h, x, y, log2_size - 1, depth + 1, k, cbf_cb, cbf_cr,
                       max_depth, intra_split);
      return;
    }
    const int32_t cbf_l = d->cbf[z] & 1;
    if (unit_intra(ctx->maps, z) || depth != 0 || cbf_cb || cbf_cr)
      s.bin(CTX_CBF_LUMA + (depth == 0 ? 1 : 0), static_cast<uint32_t>(cbf_l));
    transform_unit(x, y, xb, yb, log2_size, blk, cbf_l, cbf_cb, cbf_cr);
  }

  void mark(int32_t x, int32_t y, int32_t w, int32_t h) {
    if (mark_grid) grid_mark_available(const_cast<encoder_t *>(ctx), x, y, w, h);
  }

  // H.265 7.3.8.6 prediction_unit; the vector predictors are derived again
  // here exactly as a decoder derives them.
  void prediction_unit(int32_t x, int32_t y, int32_t w, int32_t h, int32_t log2_cu) {
    const ctu_maps_t *m = ctx->maps;
    const int32_t u = map8_index(x >> 3, y >> 3);
    const int32_t z = zorder_of(x >> 2, y >> 2);
    s.bin(CTX_MERGE_FLAG, m->merge_flag[u]);
    if (m->merge_flag[u]) {
      if (ctx->max_merge_cand > 1) write_truncated_index(s, m->merge_idx[u], ctx->max_merge_cand - 1, CTX_MERGE_IDX, 1);
      return;
    }
    const int32_t r0 = m->ref_idx[0][u], r1 = m->ref_idx[1][u];
    if (ctx->slice_type_code == 0) {
      const int32_t bi = r0 >= 0 && r1 >= 0;
      if (w + h != 12) s.bin(CTX_INTER_PRED_IDC + 6 - log2_cu, static_cast<uint32_t>(bi));
      if (!bi) s.bin(CTX_INTER_PRED_IDC + 4, r1 >= 0 ? 1u : 0u);
    }
    for (int32_t list = 0; list < 2; list++) {
      const int32_t r = list ? r1 : r0;
      if (r < 0) continue;
      if (ctx->ref_count[list] > 1) write_truncated_index(s, r, ctx->ref_count[list] - 1, CTX_REF_IDX, 2);
      mv_t pred[2];
      const int32_t count = mvp_get_amvp_candidates(const_cast<encoder_t *>(ctx), z, x, y, w, h, r, list, pred);
      int16_t mvd[2];
      const int32_t idx = mvp_select_mvd(&m->mv[list][u], pred, count, mvd);
      write_mvd(s, mvd[0], mvd[1]);
      s.bin(CTX_MVP_FLAG, static_cast<uint32_t>(idx));
    }
  }

  void coding_unit(int32_t x, int32_t y, int32_t log2_size) {
    const int32_t z = zorder_of(x >> 2, y >> 2);
    const int32_t size = 1 << log2_size;
    cu_z = z;
    if (part == INTER_CU_TAIL || part == INTER_CU_TAIL_BUT_LUMA) {
      inter_residual(x, y, log2_size, unit_part_mode(ctx->maps, z));
      return;
    }
    if (ctx->slice_type_code != 2) {
      int32_t inc = 0;
      if (in_picture(ctx, x - 1, y) && skip_at(ctx, x - 1, y)) inc++;
      if (in_picture(ctx, x, y - 1) && skip_at(ctx, x, y - 1)) inc++;
      s.bin(CTX_CU_SKIP_FLAG + inc, unit_skip(ctx->maps, z));
      if (unit_skip(ctx->maps, z)) {
        const int32_t u = map8_index(x >> 3, y >> 3);
        if (ctx->max_merge_cand > 1)
          write_truncated_index(s, ctx->maps->merge_idx[u], ctx->max_merge_cand - 1, CTX_MERGE_IDX, 1);
        mark(x, y, size, size);
        return;
      }
      s.bin(CTX_PRED_MODE_FLAG, unit_intra(ctx->maps, z));
    }
    if (unit_intra(ctx->maps, z)) {
      intra_coding_unit(x, y, log2_size);
      mark(x, y, size, size);
      return;
    }
    // Inter partitions without AMP: 2Nx2N "1", 2NxN "01", Nx2N "00".
    const int32_t pm = unit_part_mode(ctx->maps, z);
    s.bin(CTX_PART_MODE, pm == 0);
    if (pm) s.bin(CTX_PART_MODE + 1, pm == 1);
    const int32_t pw = pm == 2 ? size / 2 : size, ph = pm == 1 ? size / 2 : size;
    for (int32_t k = 0; k < (pm ? 2 : 1); k++) {
      const int32_t px = x + (pm == 2 ? k * pw : 0), py = y + (pm == 1 ? k * ph : 0);
      counted(&rc_picture_counts_t::mv_bits, [&] { prediction_unit(px, py, pw, ph, log2_size); });
      mark(px, py, pw, ph);
    }
    if (part != INTER_CU_HEAD) inter_residual(x, y, log2_size, pm);
  }

  // rqt_root_cbf and the transform tree of an inter CU.
  void inter_residual(int32_t x, int32_t y, int32_t log2_size, int32_t pm) {
    const int32_t z = zorder_of(x >> 2, y >> 2);
    const int32_t root_cbf = block_cbf(ctx->maps->unit.cbf, z, log2_size) != 0;
    // A merged 2Nx2N CU that is not skipped always carries a residual.
    if (!(pm == 0 && ctx->maps->merge_flag[map8_index(x >> 3, y >> 3)]))
      s.bin(CTX_RQT_ROOT_CBF, static_cast<uint32_t>(root_cbf));
    if (root_cbf)
      counted(&rc_picture_counts_t::tex_bits,
              [&] { transform_tree(x, y, x, y, log2_size, 0, 0, 0, 0, ctx->sps->max_tr_depth_inter, 0); });
  }

  void intra_coding_unit(int32_t x, int32_t y, int32_t log2_size) {
    const ctu_unit_maps_t *d = &ctx->maps->unit;
    const int32_t z = zorder_of(x >> 2, y >> 2);
    const int32_t nxn = d->part_nxn[z];
    if (log2_size == 3) s.bin(CTX_PART_MODE, nxn ? 0u : 1u);
    const int32_t parts = nxn ? 4 : 1;
    const int32_t pu = nxn ? (1 << (log2_size - 1)) : (1 << log2_size);
    int32_t mpm_idx[4], rem[4];
    for (int32_t k = 0; k < parts; k++) {
      const int32_t px = x + (k & 1) * pu, py = y + (k >> 1) * pu;
      const int32_t mode = d->luma_mode[zorder_of(px >> 2, py >> 2)];
      int32_t cand[3];
      mpm_candidates(ctx, px, py, cand);
      mpm_idx[k] = -1;
      for (int32_t i = 0; i < 3; i++)
        if (cand[i] == mode) mpm_idx[k] = i;
      if (mpm_idx[k] < 0) {
        int32_t r = mode;
        for (int32_t i = 0; i < 3; i++) r -= cand[i] < mode;
        rem[k] = r;
      }
      s.bin(CTX_PREV_INTRA_LUMA_PRED, mpm_idx[k] >= 0 ? 1u : 0u);
    }
    for (int32_t k = 0; k < parts; k++) {
      if (mpm_idx[k] >= 0) {
        s.bypass(mpm_idx[k] > 0);
        if (mpm_idx[k] > 0) s.bypass(mpm_idx[k] > 1);
      } else {
        s.bypass_bits(static_cast<uint32_t>(rem[k]), 5);
      }
    }
    const int32_t cs = d->chroma_syntax[z];
    s.bin(CTX_INTRA_CHROMA_PRED, cs != 4 ? 1u : 0u);
    if (cs != 4) s.bypass_bits(static_cast<uint32_t>(cs), 2);
    counted(&rc_picture_counts_t::tex_bits,
            [&] { transform_tree(x, y, x, y, log2_size, 0, 0, 0, 0, ctx->sps->max_tr_depth_intra + nxn, nxn); });
  }

  void coding_quadtree(int32_t x, int32_t y, int32_t log2_size) {
    const ctu_unit_maps_t *d = &ctx->maps->unit;
    const int32_t size = 1 << log2_size;
    const int32_t z = zorder_of(x >> 2, y >> 2);
    int32_t split;
    if (in_picture(ctx, x + size - 1, y + size - 1) && log2_size > 3) {
      split = d->cu_log2[z] < log2_size;
      write_split_cu_flag(s, ctx, x, y, log2_size, split);
    } else {
      split = log2_size > 3;
    }
    if (qg->enabled && log2_size >= qg->log2_qg) {
      qg->delta_coded = 0;
      qg->qp_pred = qp_predict(ctx->maps, x, y, qg->prev_qp);
    }
    if (split) {
      const int32_t h = size >> 1;
      for (int32_t k = 0; k < 4; k++) {
        const int32_t cx = x + (k & 1) * h, cy = y + (k >> 1) * h;
        if (in_picture(ctx, cx, cy)) coding_quadtree(cx, cy, log2_size - 1);
      }
      return;
    }
    coding_unit(x, y, log2_size);
    qg->prev_qp = unit_qp(ctx->maps, z);
  }
};

// H.265 7.3.8.3 sao(): merge flags, then per plane the type, the offsets and
// the band position or edge class.
template <class S>
void write_sao(S &s, const encoder_t *ctx) {
  const int32_t addr = ctx->ctu_addr;
  const int32_t merge = ctx->sao_merge[addr];
  if (ctx->ctu_x > 0) {
    s.bin(CTX_SAO_MERGE, merge == SAO_MERGE_LEFT);
    if (merge == SAO_MERGE_LEFT) return;
  }
  if (ctx->ctu_y > 0) {
    s.bin(CTX_SAO_MERGE, merge == SAO_MERGE_UP);
    if (merge == SAO_MERGE_UP) return;
  }
  for (int32_t c = 0; c < 3; c++) {
    if (!(ctx->sao_enable & (c ? 2 : 1))) continue;
    const sao_param_t &r = ctx->sao_params[c][addr];
    if (c < 2) {
      s.bin(CTX_SAO_TYPE_IDX, r.type != 5);
      if (r.type != 5) s.bypass(r.type < 4 ? 1u : 0u);  // edge "11", band "10"
    }
    if (r.type == 5) continue;
    for (int32_t k = 0; k < 4; k++) {
      const int32_t a = std::abs(r.offset[k]);
      for (int32_t b = 0; b < a; b++) s.bypass(1);
      if (a < 7) s.bypass(0);
    }
    if (r.type == 4) {
      for (int32_t k = 0; k < 4; k++)
        if (r.offset[k]) s.bypass(r.offset[k] < 0 ? 1u : 0u);
      s.bypass_bits(static_cast<uint32_t>(r.band_position), 5);
    } else if (c < 2) {
      s.bypass_bits(static_cast<uint32_t>(r.type), 2);
    }
  }
}

}  // namespace

void mpm_candidates(const encoder_t *ctx, int32_t x, int32_t y, int32_t out[3]) {
  // Unavailable, non-intra and above-CTU neighbours count as DC.
  int32_t a = 1, b = 1;
  if (in_picture(ctx, x - 1, y) && intra_at(ctx, x - 1, y)) a = luma_mode_at(ctx, x - 1, y);
  if (y > 0 && in_picture(ctx, x, y - 1) && intra_at(ctx, x, y - 1)) b = luma_mode_at(ctx, x, y - 1);
  if (a == b) {
    if (a < 2) {
      out[0] = 0;
      out[1] = 1;
      out[2] = 26;
    } else {
      out[0] = a;
      out[1] = 2 + ((a + 29) % 32);
      out[2] = 2 + ((a - 2 + 1) % 32);
    }
  } else {
    out[0] = a;
    out[1] = b;
    out[2] = (a != 0 && b != 0) ? 0 : (a != 1 && b != 1) ? 1 : 26;
  }
}

int32_t qp_predict(const ctu_maps_t *maps, int32_t x, int32_t y, int32_t prev_qp) {
  // Neighbouring groups count only inside the current CTU.
  int32_t qa = prev_qp, qb = prev_qp;
  if (x > 0) qa = unit_qp(maps, zorder_of((x - 1) >> 2, y >> 2));
  if (y > 0) qb = unit_qp(maps, zorder_of(x >> 2, (y - 1) >> 2));
  return (qa + qb + 1) >> 1;
}

namespace {

// Quantisation groups of a CTU start from the QP of the CU coded last.
qg_state_t qg_start(const encoder_t *ctx) {
  qg_state_t qg{};
  qg.enabled = ctx->pps->cu_qp_delta_enabled;
  qg.log2_qg = 6 - ctx->pps->diff_cu_qp_delta_depth;
  qg.prev_qp = ctx->prev_qp;
  return qg;
}

}  // namespace

void ctu_write(encoder_t *ctx, int32_t last_in_slice) {
  sink_code s{&ctx->cabac};
  qg_state_t qg = qg_start(ctx);
  if (ctx->sao_enable) write_sao(s, ctx);
  grid_clear_ctu(ctx);
  cu_writer<sink_code> w{s, ctx, &qg, 0, 1, &ctx->rc_counts};
  w.coding_quadtree(0, 0, 6);
  ctx->prev_qp = qg.prev_qp;
  cabac_encode_terminate(&ctx->cabac, last_in_slice ? 1u : 0u);
}

uint32_t cu_estimate_bits(encoder_t *ctx, cabac_est_t *est, int32_t x, int32_t y, int32_t log2_size) {
  return inter_cu_part_estimate(ctx, est, x, y, log2_size, 0);
}

uint32_t inter_cu_part_estimate(encoder_t *ctx, cabac_est_t *est, int32_t x, int32_t y, int32_t log2_size,
                                int32_t part) {
  sink_estimate s{est};
  const uint32_t before = est->bits;
  qg_state_t qg{};
  cu_writer<sink_estimate> w{s, ctx, &qg, 0, 0};
  w.part = part;
  w.coding_unit(x, y, log2_size);
  return est->bits - before;
}

#ifdef TARN_RECORD_RESIDUAL_CALLS
namespace {
// Builds with TARN_RECORD_RESIDUAL_CALLS append every estimate's arguments
// to the file that the environment variable of that name gives, in the
// format bench/residual_bench --replay reads: block size, plane, scan type,
// sign hiding (four i32), the starting estimation state, the levels.  One
// encoder thread.
void record_residual_call(const encoder_t *ctx, const cabac_est_t *est, const int16_t *levels, int32_t log2_size,
                          int32_t plane, int32_t scan_idx) {
  static FILE *out = std::getenv("TARN_RECORD_RESIDUAL_CALLS")
                         ? std::fopen(std::getenv("TARN_RECORD_RESIDUAL_CALLS"), "wb")
                         : nullptr;
  if (!out) return;
  const int32_t head[4] = {log2_size, plane, scan_idx, ctx->pps->sign_data_hiding};
  std::fwrite(head, sizeof head, 1, out);
  std::fwrite(est, sizeof *est, 1, out);
  std::fwrite(levels, sizeof *levels, size_t{1} << (2 * log2_size), out);
}
}  // namespace
#endif

namespace {

// The residual counted on the estimate's sink r (the bodies are expanded in
// the estimates' entry points, where nearly every estimate comes in), its
// bits added to est.
template <class S>
[[gnu::always_inline]] inline uint32_t count_residual(S &r, const encoder_t *ctx, cabac_est_t *est,
                                                      const int16_t *levels, int32_t log2_size, int32_t plane,
                                                      int32_t scan_idx) {
  // 8x8 blocks, a sixth of the estimates, also get a body of their own.
  if (log2_size == 2)
    write_residual_body<2>(r, ctx, levels, log2_size, plane, scan_idx);
  else if (log2_size == 3)
    write_residual_body<3>(r, ctx, levels, log2_size, plane, scan_idx);
  else
    write_residual_body<0>(r, ctx, levels, log2_size, plane, scan_idx);
  const uint32_t bits = static_cast<uint32_t>(r.sum);
  est->bits += bits;
  return bits;
}

}  // namespace

// Kept whole and apart: residual_bits runs the same body, so that the two
// estimates, which the searches call in turn, share their code in the
// instruction cache.  Optimised as at -O2: the searches call it between
// the quantiser's decisions and the transforms, which evict it, so most
// calls fetch the lines they run afresh, and at -O3 its bodies take 15.7 KB
// against 7.3 KB (a few more instructions per call, far fewer fetches).
[[gnu::noinline, gnu::noclone, gnu::optimize("O2")]] uint32_t residual_bits_within(const encoder_t *ctx, cabac_est_t *est,
                                                              const int16_t *levels, int32_t log2_size, int32_t plane,
                                                              int32_t scan_idx, uint32_t lambda, uint64_t reach) {
  sink_residual_within r{{est->state, 0}, lambda, reach};
  return count_residual(r, ctx, est, levels, log2_size, plane, scan_idx);
}

uint32_t residual_bits(const encoder_t *ctx, cabac_est_t *est, const int16_t *levels, int32_t log2_size,
                       int32_t plane, int32_t scan_idx) {
#ifdef TARN_RECORD_RESIDUAL_CALLS
  record_residual_call(ctx, est, levels, log2_size, plane, scan_idx);
#endif
  // Bits times lambda 0 never reach 1: the whole count.
  return residual_bits_within(ctx, est, levels, log2_size, plane, scan_idx, 0, 1);
}

uint32_t prediction_unit_estimate(encoder_t *ctx, cabac_est_t *est, int32_t x, int32_t y, int32_t w, int32_t h,
                                  int32_t log2_cu) {
  sink_estimate s{est};
  const uint32_t before = est->bits;
  cu_writer<sink_estimate> wr{s, ctx, nullptr, zorder_of(x >> 2, y >> 2), 0};
  wr.prediction_unit(x, y, w, h, log2_cu);
  return est->bits - before;
}

uint32_t transform_tree_estimate(encoder_t *ctx, cabac_est_t *est, int32_t x, int32_t y, int32_t log2_size) {
  sink_estimate s{est};
  const uint32_t before = est->bits;
  const int32_t z = zorder_of(x >> 2, y >> 2);
  cu_writer<sink_estimate> wr{s, ctx, nullptr, z, 0};
  const int32_t intra = unit_intra(ctx->maps, z), nxn = intra ? ctx->maps->unit.part_nxn[z] : 0;
  const int32_t max_depth = intra ? ctx->sps->max_tr_depth_intra + nxn : ctx->sps->max_tr_depth_inter;
  wr.transform_tree(x, y, x, y, log2_size, 0, 0, 0, 0, max_depth, nxn);
  return est->bits - before;
}

uint32_t ctu_estimate_bits(encoder_t *ctx, cabac_est_t *est) {
  sink_estimate s{est};
  const uint32_t before = est->bits;
  qg_state_t qg = qg_start(ctx);
  if (ctx->sao_enable) write_sao(s, ctx);
  // The vector predictors depend on what is coded before them, as in ctu_write.
  grid_clear_ctu(ctx);
  cu_writer<sink_estimate> w{s, ctx, &qg, 0, 1};
  w.coding_quadtree(0, 0, 6);
  return est->bits - before;
}
