// Bits of the residual syntax (H.265 7.3.8.11, contexts of 9.3.4.2) counted
// bin by bin the plain way, with the CABAC states adapting as the coder's
// do: the reference the quantiser's and the rate estimate's tests judge by.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

#include "common/cabac_tables.h"
#include "common/primitives.h"

namespace residual_syntax_count {

inline const scan_tables_t &reference_scans() {
  static scan_tables_t t;
  static const bool built = (scan_tables_init(&t), true);
  (void)built;
  return t;
}

// ------------------------------------------------------------ bin counter

struct bin_count_t {
  uint8_t st[192];
  uint64_t bits = 0;  // 1/256 bit
  void bin(int ctx, int b) {
    bits += cabac_bit_cost_table[st[ctx] ^ b];
    st[ctx] = cabac_transition_table[st[ctx] * 2 + b];
  }
  void bypass(int n) { bits += 256u * static_cast<unsigned>(n); }
};

// last_sig_coeff prefix of a coordinate: values 0..3 stand for themselves,
// then two prefixes per octave, the second for the octave's upper half.
inline int last_prefix_of(int v) {
  if (v < 4) return v;
  const int k = 31 - __builtin_clz(static_cast<unsigned>(v));
  return 2 * k + ((v >> (k - 1)) & 1);
}

inline void count_last_prefix(bin_count_t &c, int base, int prefix, int log2, bool chroma) {
  const int offset = chroma ? 15 : 3 * (log2 - 2) + ((log2 - 1) >> 2);
  const int shift = chroma ? log2 - 2 : (log2 + 1) >> 2;
  const int cmax = 2 * log2 - 1;
  for (int b = 0; b <= prefix && b < cmax; b++) c.bin(base + offset + (b >> shift), b < prefix);
}

// Truncated Rice prefix (at most four ones) and suffix, then Exp-Golomb of
// order rice + 1 for the excess.
inline void count_remaining(bin_count_t &c, int value, int rice) {
  const int cmax = 4 << rice;
  if (value < cmax) {
    c.bypass((value >> rice) + 1 + rice);
    return;
  }
  c.bypass(4);
  int rest = value - cmax, k = rice + 1;
  while (rest >= (1 << k)) {
    c.bypass(1);
    rest -= 1 << k;
    k++;
  }
  c.bypass(1 + k);
}

inline int sig_ctx_inc(int xc, int yc, int log2, bool chroma, int scan_type, int csbf_right, int csbf_below) {
  static const int ctx_idx_map[16] = {0, 1, 4, 5, 2, 3, 4, 5, 6, 6, 8, 8, 7, 7, 8, 8};
  int sig;
  if (log2 == 2) {
    sig = ctx_idx_map[(yc << 2) + xc];
  } else if (xc + yc == 0) {
    sig = 0;
  } else {
    const int xp = xc & 3, yp = yc & 3;
    if (!csbf_right && !csbf_below)
      sig = xp + yp == 0 ? 2 : xp + yp < 3 ? 1 : 0;
    else if (csbf_right && !csbf_below)
      sig = yp == 0 ? 2 : yp == 1 ? 1 : 0;
    else if (!csbf_right && csbf_below)
      sig = xp == 0 ? 2 : xp == 1 ? 1 : 0;
    else
      sig = 2;
    if (!chroma) {
      if ((xc >> 2) + (yc >> 2) > 0) sig += 3;
      sig += log2 == 3 ? (scan_type == 0 ? 9 : 15) : 21;
    } else {
      sig += log2 == 3 ? 9 : 12;
    }
  }
  return chroma ? 27 + sig : sig;
}

// residual_coding of a block with at least one non-zero level; with sign
// data hiding, a sub-block whose first and last non-zero levels are more
// than three scan positions apart sends one sign less.
inline void count_residual(bin_count_t &c, const int16_t *levels, int log2, bool chroma, int scan_type,
                           bool sign_hiding = false) {
  const int n = 1 << log2, count = n * n, sbs = n / 4;
  const uint16_t *scan = reference_scans().scan[scan_type][log2 - 2];
  int last = count - 1;
  while (levels[scan[last]] == 0) last--;
  int lx = scan[last] % n, ly = scan[last] / n;
  if (scan_type == 2) std::swap(lx, ly);
  const int px = last_prefix_of(lx), py = last_prefix_of(ly);
  count_last_prefix(c, CTX_LAST_X_PREFIX, px, log2, chroma);
  count_last_prefix(c, CTX_LAST_Y_PREFIX, py, log2, chroma);
  if (px > 3) c.bypass((px >> 1) - 1);
  if (py > 3) c.bypass((py >> 1) - 1);

  std::vector<int> csbf(static_cast<size_t>(sbs * sbs), 0);
  auto sb_x = [&](int i) { return (scan[16 * i] % n) / 4; };
  auto sb_y = [&](int i) { return (scan[16 * i] / n) / 4; };
  for (int k = 0; k <= last; k++)
    if (levels[scan[k]]) csbf[static_cast<size_t>(sb_y(k / 16) * sbs + sb_x(k / 16))] = 1;

  const int last_sb = last / 16;
  bool g1_seen = false;  // a greater1 flag was coded in an earlier sub-block
  int prev_g1_ctx = 1, prev_g1_flag = 0;
  for (int i = last_sb; i >= 0; i--) {
    const int xs = sb_x(i), ys = sb_y(i);
    const int right = xs + 1 < sbs ? csbf[static_cast<size_t>(ys * sbs + xs + 1)] : 0;
    const int below = ys + 1 < sbs ? csbf[static_cast<size_t>((ys + 1) * sbs + xs)] : 0;
    bool infer_dc = false;
    if (i < last_sb && i > 0) {
      c.bin(CTX_CODED_SUB_BLOCK + std::min(right + below, 1) + (chroma ? 2 : 0), csbf[static_cast<size_t>(ys * sbs + xs)]);
      infer_dc = true;
    }
    const bool coded = i == 0 || i == last_sb || csbf[static_cast<size_t>(ys * sbs + xs)];
    int abs_level[16] = {0};
    bool sig[16] = {false};
    for (int k = 15; k >= 0; k--) {
      if (16 * i + k > last) continue;
      abs_level[k] = std::abs(int{levels[scan[16 * i + k]]});
      sig[k] = abs_level[k] != 0;
    }
    if (coded) {
      for (int k = (i == last_sb ? last % 16 - 1 : 15); k >= 0; k--) {
        if (k == 0 && infer_dc) break;
        const int p = scan[16 * i + k];
        c.bin(CTX_SIG_COEFF + sig_ctx_inc(p % n, p / n, log2, chroma, scan_type, right, below), sig[k]);
        if (sig[k]) infer_dc = false;
      }
    }
    int num_g1 = 0, first_g1_pos = -1, sig_count = 0;
    int ctx_set = 0, g1_ctx = 1;
    for (int k = 15; k >= 0; k--) {
      if (!sig[k]) continue;
      sig_count++;
      if (num_g1 == 8) continue;
      const int flag = abs_level[k] > 1;
      if (num_g1 == 0) {
        ctx_set = (i == 0 || chroma) ? 0 : 2;
        int last_ctx = g1_seen ? prev_g1_ctx : 1;
        if (g1_seen && last_ctx > 0 && prev_g1_flag) last_ctx = 0;
        if (last_ctx == 0) ctx_set++;
        g1_ctx = 1;
      } else if (g1_ctx > 0) {
        g1_ctx = prev_g1_flag ? 0 : g1_ctx + 1;
      }
      c.bin(CTX_GREATER1 + (chroma ? 16 : 0) + ctx_set * 4 + std::min(3, g1_ctx), flag);
      prev_g1_ctx = g1_ctx;
      prev_g1_flag = flag;
      g1_seen = true;
      num_g1++;
      if (flag && first_g1_pos < 0) first_g1_pos = k;
    }
    if (first_g1_pos >= 0) c.bin(CTX_GREATER2 + (chroma ? 4 : 0) + ctx_set, abs_level[first_g1_pos] > 2);
    int first_sig = -1, last_sig = -1;
    for (int k = 0; k < 16; k++)
      if (sig[k]) {
        if (first_sig < 0) first_sig = k;
        last_sig = k;
      }
    c.bypass(sig_count - (sign_hiding && last_sig - first_sig > 3 ? 1 : 0));
    int coded_so_far = 0, last_abs = 0, last_rice = 0;
    for (int k = 15; k >= 0; k--) {
      if (!sig[k]) continue;
      const int g1 = coded_so_far < 8 ? abs_level[k] > 1 : 0;
      const int g2 = k == first_g1_pos ? abs_level[k] > 2 : 0;
      const int base = 1 + g1 + g2;
      const int threshold = coded_so_far < 8 ? (k == first_g1_pos ? 3 : 2) : 1;
      if (base == threshold) {
        const int rice = std::min(last_rice + (last_abs > 3 * (1 << last_rice) ? 1 : 0), 4);
        count_remaining(c, abs_level[k] - base, rice);
        last_abs = abs_level[k];
        last_rice = rice;
      }
      coded_so_far++;
    }
  }
}

}  // namespace residual_syntax_count
