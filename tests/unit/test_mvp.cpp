// Motion-vector prediction against a model of the decoder written from
// H.265: a picture at 4x4 granularity with 6.4.1/6.4.2 availability in
// z-scan order, the merge list of 8.5.3.2.2-8.5.3.2.5, AMVP of
// 8.5.3.2.6/8.5.3.2.7 and the collocated vectors of 8.5.3.2.8/8.5.3.2.9.
// Random CTU situations fill an encoder context (maps, grid, reference
// lists, collocated motion) from the model; every prediction-unit shape of
// a random CU is then derived both ways. Cells the derivation must not read
// (undecoded units, vectors of unused lists, odd collocated units) carry
// random values.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bitstream/param_sets.h"
#include "encoder/encoder.h"
#include "common/memory.h"
#include "motion/mvp.h"

namespace {

uint32_t test_seed() {
  static const uint32_t seed = [] {
    const char *env = std::getenv("TARN_TEST_SEED");
    const uint32_t s = env ? static_cast<uint32_t>(std::strtoul(env, nullptr, 0)) : 20240917u;
    std::printf("mvp tests: seed %u (set TARN_TEST_SEED to replay)\n", s);
    return s;
  }();
  return seed;
}

std::string mv_str(mv_t m) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "(%d,%d)", mv_x(m), mv_y(m));
  return buf;
}

// ---------------------------------------------------------------------------
// The decoder model.

int64_t clip3(int64_t lo, int64_t hi, int64_t v) { return v < lo ? lo : v > hi ? hi : v; }

// 8.5.3.2.7 / 8.5.3.2.9 scaling with the distances as the standard writes
// them; a reference at the target distance keeps the vector as it is.
mv_t model_scale(mv_t mv, int64_t poc_diff_nb, int64_t poc_diff_cur) {
  if (poc_diff_nb == poc_diff_cur) return mv;
  const int64_t td = clip3(-128, 127, poc_diff_nb), tb = clip3(-128, 127, poc_diff_cur);
  const int64_t tx = (16384 + (std::llabs(td) >> 1)) / td;
  const int64_t f = clip3(-4096, 4095, (tb * tx + 32) >> 6);
  auto comp = [&](int64_t c) {
    const int64_t p = f * c;
    const int64_t sign = p < 0 ? -1 : (p > 0 ? 1 : 0);
    return clip3(-32768, 32767, sign * ((std::llabs(p) + 127) >> 8));
  };
  return mv_make(static_cast<int32_t>(comp(mv_x(mv))), static_cast<int32_t>(comp(mv_y(mv))));
}

struct motion_t {
  bool intra = false;
  int8_t ref[2] = {-1, -1};  // -1: predFlagLX 0
  mv_t mv[2] = {0, 0};
  bool from_col = false;  // merge candidates: Col or combined from Col
};

bool same_motion(const motion_t &a, const motion_t &b) {
  for (int l = 0; l < 2; l++) {
    if (a.ref[l] != b.ref[l]) return false;
    if (a.ref[l] >= 0 && a.mv[l] != b.mv[l]) return false;
  }
  return true;
}

enum part_t { PART_2Nx2N = 0, PART_2NxN = 1, PART_Nx2N = 2 };

struct pu_t {
  int32_t x, y, w, h;  // picture coordinates
  int32_t part_idx;
};

struct world_t {
  int32_t width = 0, height = 0, ctu_cols = 0, ctu_rows = 0, ctu_x = 0, ctu_y = 0;
  bool is_b = false;
  bool tmvp = false;
  int32_t col_from_l0 = 1;  // as coded; P slices infer 1
  int32_t max_merge = 5;
  int32_t cur_poc = 0;
  int32_t ref_count[2] = {0, 0};
  int32_t ref_poc[2][16] = {};
  std::vector<motion_t> motion;  // per 8x8 unit of the current picture
  // Collocated picture: motion per 16x16 block.
  bool col_has_motion = true;
  int32_t col_ref_count[2] = {0, 0};
  int32_t col_ref_poc[2][16] = {};
  std::vector<motion_t> col;
  // The current CU.
  int32_t xcb = 0, ycb = 0, size = 8;
  part_t part = PART_2Nx2N;

  motion_t &at(int32_t x, int32_t y) { return motion[static_cast<size_t>((y >> 3) * (ctu_cols * 8) + (x >> 3))]; }
  motion_t &col_at(int32_t x, int32_t y) { return col[static_cast<size_t>((y >> 4) * (ctu_cols * 4) + (x >> 4))]; }

  int32_t col_poc() const { return (is_b && col_from_l0 == 0) ? ref_poc[1][0] : ref_poc[0][0]; }

  pu_t pu(int32_t part_idx) const {
    const int32_t s = size;
    if (part == PART_2NxN) return {xcb, ycb + part_idx * s / 2, s, s / 2, part_idx};
    if (part == PART_Nx2N) return {xcb + part_idx * s / 2, ycb, s / 2, s, part_idx};
    return {xcb, ycb, s, s, 0};
  }

  // MinTbAddrZs at 4x4 granularity with 64x64 CTBs (6.5.2).
  int64_t zaddr(int32_t x, int32_t y) const {
    const int64_t ctb = static_cast<int64_t>(y >> 6) * ctu_cols + (x >> 6);
    const int32_t u = (x & 63) >> 2, v = (y & 63) >> 2;
    int32_t z = 0;
    for (int32_t b = 0; b < 4; b++) z |= (((u >> b) & 1) << (2 * b)) | (((v >> b) & 1) << (2 * b + 1));
    return ctb * 256 + z;
  }

  // 6.4.1: a single slice and tile.
  bool zscan_available(int32_t xc, int32_t yc, int32_t xn, int32_t yn) const {
    if (xn < 0 || yn < 0 || xn >= width || yn >= height) return false;
    return zaddr(xn, yn) <= zaddr(xc, yc);
  }

  // 6.4.2 prediction block availability, with the intra exclusion.
  bool pb_available(const pu_t &p, int32_t xn, int32_t yn) {
    const bool same_cb = xcb <= xn && xn < xcb + size && ycb <= yn && yn < ycb + size;
    bool avail;
    if (!same_cb)
      avail = zscan_available(p.x, p.y, xn, yn);
    else if ((p.w << 1) == size && (p.h << 1) == size && p.part_idx == 1 && ycb + p.h <= yn && xcb + p.w > xn)
      avail = false;
    else
      avail = true;
    if (avail && at(xn, yn).intra) avail = false;
    return avail;
  }

  // What the encoder's grid holds while it derives the lists of PU p.
  bool decoded(const pu_t &p, int32_t xn, int32_t yn) const {
    if (xn < 0 || yn < 0 || xn >= width || yn >= height) return false;
    if (zaddr(xn, yn) < zaddr(xcb, ycb)) return true;
    if (p.part_idx == 1) {
      const pu_t p0 = const_cast<world_t *>(this)->pu(0);
      return xn >= p0.x && xn < p0.x + p0.w && yn >= p0.y && yn < p0.y + p0.h;
    }
    return false;
  }

  bool no_backward_pred() const {
    for (int l = 0; l < (is_b ? 2 : 1); l++)
      for (int i = 0; i < ref_count[l]; i++)
        if (ref_poc[l][i] > cur_poc) return false;
    return true;
  }

  // 8.5.3.2.9 for the block covering (x, y) of the collocated picture.
  bool col_mv(int32_t x, int32_t y, int32_t lx, int32_t ref_idx, mv_t *out) {
    if (!col_has_motion) return false;
    const motion_t &c = col_at((x >> 4) << 4, (y >> 4) << 4);
    if (c.intra) return false;
    int32_t list_col;
    if (c.ref[0] < 0)
      list_col = 1;
    else if (c.ref[1] < 0)
      list_col = 0;
    else
      list_col = no_backward_pred() ? lx : (is_b ? col_from_l0 : 1);
    const int64_t col_diff = static_cast<int64_t>(col_poc()) - col_ref_poc[list_col][c.ref[list_col]];
    const int64_t cur_diff = static_cast<int64_t>(cur_poc) - ref_poc[lx][ref_idx];
    *out = model_scale(c.mv[list_col], col_diff, cur_diff);
    return true;
  }

  // 8.5.3.2.8.
  bool temporal(const pu_t &p, int32_t lx, int32_t ref_idx, mv_t *out) {
    if (!tmvp) return false;
    const int32_t xbr = p.x + p.w, ybr = p.y + p.h;
    if ((p.y >> 6) == (ybr >> 6) && ybr < height && xbr < width && col_mv(xbr, ybr, lx, ref_idx, out)) return true;
    return col_mv(p.x + (p.w >> 1), p.y + (p.h >> 1), lx, ref_idx, out);
  }

  // 8.5.3.2.6/8.5.3.2.7: the whole mvpListLX and the candidates standing
  // before the zero fill.
  void amvp(const pu_t &p, int32_t lx, int32_t ref_idx, mv_t list[2], int32_t *num_before_fill) {
    const int32_t ly = 1 - lx;
    const int32_t target = ref_poc[lx][ref_idx];
    auto pf = [&](const motion_t &m, int32_t l) { return m.ref[l] >= 0 && (l == 0 || is_b); };
    auto poc_of = [&](int32_t l, int32_t r) { return ref_poc[l][r]; };
    const int32_t xa[2] = {p.x - 1, p.x - 1}, ya[2] = {p.y + p.h, p.y + p.h - 1};
    bool avail_a[2];
    for (int k = 0; k < 2; k++) avail_a[k] = pb_available(p, xa[k], ya[k]);
    const bool is_scaled = avail_a[0] || avail_a[1];
    bool flag_a = false;
    mv_t mva = 0;
    for (int k = 0; k < 2; k++) {
      if (!avail_a[k] || flag_a) continue;
      const motion_t &m = at(xa[k], ya[k]);
      if (pf(m, lx) && poc_of(lx, m.ref[lx]) == target) {
        flag_a = true;
        mva = m.mv[lx];
      } else if (pf(m, ly) && poc_of(ly, m.ref[ly]) == target) {
        flag_a = true;
        mva = m.mv[ly];
      }
    }
    for (int k = 0; k < 2; k++) {
      if (!avail_a[k] || flag_a) continue;
      const motion_t &m = at(xa[k], ya[k]);
      int32_t l = -1;
      if (pf(m, lx))
        l = lx;
      else if (pf(m, ly))
        l = ly;
      if (l < 0) continue;
      flag_a = true;
      mva = model_scale(m.mv[l], static_cast<int64_t>(cur_poc) - poc_of(l, m.ref[l]),
                        static_cast<int64_t>(cur_poc) - target);
    }
    const int32_t xb[3] = {p.x + p.w, p.x + p.w - 1, p.x - 1}, yb[3] = {p.y - 1, p.y - 1, p.y - 1};
    bool avail_b[3];
    for (int k = 0; k < 3; k++) avail_b[k] = pb_available(p, xb[k], yb[k]);
    bool flag_b = false;
    mv_t mvb = 0;
    for (int k = 0; k < 3; k++) {
      if (!avail_b[k] || flag_b) continue;
      const motion_t &m = at(xb[k], yb[k]);
      if (pf(m, lx) && poc_of(lx, m.ref[lx]) == target) {
        flag_b = true;
        mvb = m.mv[lx];
      } else if (pf(m, ly) && poc_of(ly, m.ref[ly]) == target) {
        flag_b = true;
        mvb = m.mv[ly];
      }
    }
    if (!is_scaled && flag_b) {
      flag_a = true;
      mva = mvb;
    }
    if (!is_scaled) {
      flag_b = false;
      for (int k = 0; k < 3; k++) {
        if (!avail_b[k] || flag_b) continue;
        const motion_t &m = at(xb[k], yb[k]);
        int32_t l = -1;
        if (pf(m, lx))
          l = lx;
        else if (pf(m, ly))
          l = ly;
        if (l < 0) continue;
        flag_b = true;
        mvb = model_scale(m.mv[l], static_cast<int64_t>(cur_poc) - poc_of(l, m.ref[l]),
                          static_cast<int64_t>(cur_poc) - target);
      }
    }
    bool flag_col = false;
    mv_t mvcol = 0;
    if (!(flag_a && flag_b && mva != mvb)) flag_col = temporal(p, lx, ref_idx, &mvcol);
    std::vector<mv_t> l;
    if (flag_a) l.push_back(mva);
    if (flag_b) l.push_back(mvb);
    if (l.size() == 2 && l[0] == l[1]) l.pop_back();
    if (flag_col) l.push_back(mvcol);
    if (l.size() > 2) l.resize(2);
    *num_before_fill = static_cast<int32_t>(l.size());
    while (l.size() < 2) l.push_back(0);
    list[0] = l[0];
    list[1] = l[1];
  }

  // 8.5.3.2.2-8.5.3.2.5: the merge list of MaxNumMergeCand entries; also the
  // number standing before the zero candidates.
  std::vector<motion_t> merge(const pu_t &p, int32_t max_num, int32_t *num_before_zero) {
    std::vector<motion_t> list;
    auto cand_at = [&](int32_t x, int32_t y) {
      motion_t m = at(x, y);
      if (!is_b) m.ref[1] = -1;
      m.from_col = false;
      return m;
    };
    const int32_t xa1 = p.x - 1, ya1 = p.y + p.h - 1;
    bool avail_a1 = pb_available(p, xa1, ya1);
    if (part == PART_Nx2N && p.part_idx == 1) avail_a1 = false;
    const int32_t xb1 = p.x + p.w - 1, yb1 = p.y - 1;
    bool avail_b1 = pb_available(p, xb1, yb1);
    if (part == PART_2NxN && p.part_idx == 1) avail_b1 = false;
    const int32_t xb0 = p.x + p.w, yb0 = p.y - 1;
    const bool avail_b0 = pb_available(p, xb0, yb0);
    const int32_t xa0 = p.x - 1, ya0 = p.y + p.h;
    const bool avail_a0 = pb_available(p, xa0, ya0);
    const int32_t xb2 = p.x - 1, yb2 = p.y - 1;
    const bool avail_b2 = pb_available(p, xb2, yb2);
    motion_t a1, b1, b0, a0, b2;
    if (avail_a1) a1 = cand_at(xa1, ya1);
    if (avail_b1) b1 = cand_at(xb1, yb1);
    if (avail_b0) b0 = cand_at(xb0, yb0);
    if (avail_a0) a0 = cand_at(xa0, ya0);
    if (avail_b2) b2 = cand_at(xb2, yb2);
    const bool flag_a1 = avail_a1;
    const bool flag_b1 = avail_b1 && !(avail_a1 && same_motion(a1, b1));
    const bool flag_b0 = avail_b0 && !(avail_b1 && same_motion(b1, b0));
    const bool flag_a0 = avail_a0 && !(avail_a1 && same_motion(a1, a0));
    const bool flag_b2 = avail_b2 && !(avail_a1 && same_motion(a1, b2)) && !(avail_b1 && same_motion(b1, b2)) &&
                         (flag_a0 + flag_a1 + flag_b0 + flag_b1) != 4;
    motion_t colc;
    colc.from_col = true;
    bool flag_col = temporal(p, 0, 0, &colc.mv[0]);
    if (flag_col) colc.ref[0] = 0;
    if (is_b && temporal(p, 1, 0, &colc.mv[1])) {
      colc.ref[1] = 0;
      flag_col = true;
    }
    if (flag_a1) list.push_back(a1);
    if (flag_b1) list.push_back(b1);
    if (flag_b0) list.push_back(b0);
    if (flag_a0) list.push_back(a0);
    if (flag_b2) list.push_back(b2);
    if (flag_col) list.push_back(colc);
    const int32_t num_orig = static_cast<int32_t>(list.size());
    static const int l0_idx[12] = {0, 1, 0, 2, 1, 2, 0, 3, 1, 3, 2, 3};
    static const int l1_idx[12] = {1, 0, 2, 0, 2, 1, 3, 0, 3, 1, 3, 2};
    if (is_b && num_orig > 1 && num_orig < max_num) {
      for (int comb = 0;; comb++) {
        const motion_t c0 = list[static_cast<size_t>(l0_idx[comb])], c1 = list[static_cast<size_t>(l1_idx[comb])];
        if (c0.ref[0] >= 0 && c1.ref[1] >= 0 &&
            (ref_poc[0][c0.ref[0]] != ref_poc[1][c1.ref[1]] || c0.mv[0] != c1.mv[1])) {
          motion_t k;
          k.ref[0] = c0.ref[0];
          k.ref[1] = c1.ref[1];
          k.mv[0] = c0.mv[0];
          k.mv[1] = c1.mv[1];
          k.from_col = c0.from_col || c1.from_col;
          list.push_back(k);
        }
        if (comb + 1 == num_orig * (num_orig - 1) || static_cast<int32_t>(list.size()) == max_num) break;
      }
    }
    *num_before_zero = std::min<int32_t>(static_cast<int32_t>(list.size()), max_num);
    const int32_t num_ref = is_b ? std::min(ref_count[0], ref_count[1]) : ref_count[0];
    for (int32_t zero = 0; static_cast<int32_t>(list.size()) < max_num; zero++) {
      motion_t z;
      z.ref[0] = static_cast<int8_t>(zero < num_ref ? zero : 0);
      z.ref[1] = static_cast<int8_t>(is_b ? (zero < num_ref ? zero : 0) : -1);
      list.push_back(z);
    }
    list.resize(static_cast<size_t>(max_num));
    return list;
  }
};

// ---------------------------------------------------------------------------
// Random worlds.

mv_t random_mv(std::mt19937 &rng) {
  // Small vectors repeat often (pruning, equal predictors); some are large
  // enough that scaling clips.
  switch (rng() % 4) {
    case 0: return mv_make(static_cast<int32_t>(rng() % 5) - 2, static_cast<int32_t>(rng() % 5) - 2);
    case 1: return mv_make(static_cast<int32_t>(rng() % 129) - 64, static_cast<int32_t>(rng() % 129) - 64);
    case 2: return mv_make(static_cast<int32_t>(rng() % 65536) - 32768, static_cast<int32_t>(rng() % 65536) - 32768);
    default: return 0;
  }
}

motion_t random_inter(std::mt19937 &rng, const int32_t ref_count[2], bool is_b) {
  motion_t m;
  const uint32_t kind = is_b ? rng() % 3 : 0;  // 0 L0, 1 L1, 2 bi
  if (kind != 1) m.ref[0] = static_cast<int8_t>(rng() % static_cast<uint32_t>(ref_count[0]));
  if (kind != 0) m.ref[1] = static_cast<int8_t>(rng() % static_cast<uint32_t>(ref_count[1]));
  for (int l = 0; l < 2; l++) m.mv[l] = random_mv(rng);
  return m;
}

int32_t random_poc_distance(std::mt19937 &rng, bool far) {
  static const int32_t far_set[] = {33, 40, 63, 64, 70, 100, 127, 128, 129, 200, 1000};
  if (far && rng() % 3 == 0) return far_set[rng() % (sizeof(far_set) / sizeof(far_set[0]))];
  return 1 + static_cast<int32_t>(rng() % 8);
}

world_t random_world(std::mt19937 &rng, bool is_b, bool tmvp) {
  world_t w;
  w.is_b = is_b;
  w.tmvp = tmvp;
  w.width = 8 * (8 + static_cast<int32_t>(rng() % 33));   // 64..320
  w.height = 8 * (8 + static_cast<int32_t>(rng() % 25));  // 64..256
  w.ctu_cols = (w.width + 63) / 64;
  w.ctu_rows = (w.height + 63) / 64;
  w.ctu_x = static_cast<int32_t>(rng() % static_cast<uint32_t>(w.ctu_cols));
  w.ctu_y = static_cast<int32_t>(rng() % static_cast<uint32_t>(w.ctu_rows));
  w.cur_poc = static_cast<int32_t>(rng() % 200) - 20;
  const bool far = rng() % 4 == 0;
  // Mostly past references in P slices and both directions in B slices;
  // either may have the other kind (NoBackwardPredFlag both ways).
  const bool low_delay = is_b ? rng() % 4 == 0 : rng() % 4 != 0;
  // A pool of distinct reference POCs; lists draw from it with repeats.
  std::vector<int32_t> pool;
  while (pool.size() < 6) {
    const int32_t d = random_poc_distance(rng, far);
    const int32_t poc = (low_delay || rng() % 2) ? w.cur_poc - d : w.cur_poc + d;
    if (std::find(pool.begin(), pool.end(), poc) == pool.end()) pool.push_back(poc);
  }
  for (int l = 0; l < (is_b ? 2 : 1); l++) {
    w.ref_count[l] = 1 + static_cast<int32_t>(rng() % 4);
    for (int i = 0; i < w.ref_count[l]; i++) w.ref_poc[l][i] = pool[rng() % (rng() % 3 == 0 ? 2 : pool.size())];
  }
  w.col_from_l0 = static_cast<int32_t>(rng() % 2);  // P slices must ignore it
  w.max_merge = 1 + static_cast<int32_t>(rng() % 5);

  const int32_t units = w.ctu_cols * 8 * w.ctu_rows * 8;
  w.motion.resize(static_cast<size_t>(units));
  const int32_t u8w = w.ctu_cols * 8;
  for (int32_t i = 0; i < units; i++) {
    motion_t &m = w.motion[static_cast<size_t>(i)];
    const uint32_t r = rng() % 10;
    if (r < 2) {
      m.intra = true;
    } else if (r < 5 && i % u8w > 0) {
      m = w.motion[static_cast<size_t>(i - 1)];  // the same motion as the left unit
    } else if (r < 7 && i >= u8w) {
      m = w.motion[static_cast<size_t>(i - u8w)];
    } else {
      m = random_inter(rng, w.ref_count, is_b);
    }
  }

  w.col_has_motion = rng() % 8 != 0;
  const bool col_is_p = rng() % 3 == 0;
  const int32_t col_poc = w.col_poc();
  for (int l = 0; l < 2; l++) {
    w.col_ref_count[l] = (l == 1 && col_is_p) ? 0 : 1 + static_cast<int32_t>(rng() % 4);
    for (int i = 0; i < 16; i++) {
      const int32_t d = random_poc_distance(rng, far);
      w.col_ref_poc[l][i] = rng() % 2 ? col_poc - d : col_poc + d;
    }
  }
  w.col.resize(static_cast<size_t>(w.ctu_cols * 4 * w.ctu_rows * 4));
  for (motion_t &c : w.col) {
    if (rng() % 5 == 0) {
      c.intra = true;
      continue;
    }
    c = random_inter(rng, w.col_ref_count, !col_is_p);
  }
  return w;
}

// Picks a CU inside the picture in the current CTU. 8x8 CUs are 2Nx2N.
void random_cu(std::mt19937 &rng, world_t &w) {
  for (;;) {
    w.size = 8 << (rng() % 4);
    const int32_t n = 64 / w.size;
    w.xcb = w.ctu_x * 64 + static_cast<int32_t>(rng() % static_cast<uint32_t>(n)) * w.size;
    w.ycb = w.ctu_y * 64 + static_cast<int32_t>(rng() % static_cast<uint32_t>(n)) * w.size;
    if (w.xcb + w.size <= w.width && w.ycb + w.size <= w.height) break;
  }
  w.part = w.size == 8 ? PART_2Nx2N : static_cast<part_t>(rng() % 3);
  // The current CU is inter.
  for (int32_t y = w.ycb; y < w.ycb + w.size; y += 8)
    for (int32_t x = w.xcb; x < w.xcb + w.size; x += 8)
      if (w.at(x, y).intra) w.at(x, y) = random_inter(rng, w.ref_count, w.is_b);
}

// ---------------------------------------------------------------------------
// The encoder context built from a world.

struct encoder_fixture_t {
  encoder_t *ctx = nullptr;
  ctu_maps_t *maps = nullptr;
  sps_t sps{};
  std::map<int32_t, frame_t> frames;  // one picture per POC
  frame_t cur{};
  std::vector<pic_unit_t> col_units;

  encoder_fixture_t() {
    ctx = static_cast<encoder_t *>(aligned_malloc(sizeof(encoder_t)));
    std::memset(static_cast<void *>(ctx), 0, sizeof(encoder_t));
    maps = static_cast<ctu_maps_t *>(aligned_malloc(sizeof(ctu_maps_t)));
    std::memset(static_cast<void *>(maps), 0, sizeof(ctu_maps_t));
  }
  ~encoder_fixture_t() {
    aligned_free(maps);
    aligned_free(ctx);
  }
  encoder_fixture_t(const encoder_fixture_t &) = delete;
  encoder_fixture_t &operator=(const encoder_fixture_t &) = delete;

  frame_t *picture(int32_t poc) {
    frame_t &f = frames[poc];
    f.poc = poc;
    return &f;
  }

  // Slice-level state; the maps and the grid follow with load_pu.
  void load_slice(std::mt19937 &rng, world_t &w) {
    frames.clear();
    sps = sps_t{};
    sps.temporal_mvp_enabled = w.tmvp ? 1 : 0;
    ctx->sps = &sps;
    ctx->width = w.width;
    ctx->height = w.height;
    ctx->ctu_cols = w.ctu_cols;
    ctx->ctu_rows = w.ctu_rows;
    ctx->ctu_x = w.ctu_x;
    ctx->ctu_y = w.ctu_y;
    ctx->slice_type_code = w.is_b ? 0 : 1;
    cur = frame_t{};
    cur.poc = w.cur_poc;
    cur.frame_type_code = w.is_b ? 6 : 4;
    ctx->cur_input = &cur;
    ctx->col_from_l0 = w.col_from_l0;
    ctx->max_merge_cand = w.max_merge;
    ctx->maps = maps;
    for (int l = 0; l < 2; l++) {
      ctx->ref_count[l] = w.ref_count[l];
      for (int i = 0; i < 16; i++) ctx->ref_list[l][i] = nullptr;
      for (int i = 0; i < w.ref_count[l]; i++) ctx->ref_list[l][i] = picture(w.ref_poc[l][i]);
    }
    if (!w.is_b) {
      // Leftovers of an earlier B slice that a P slice must not read.
      ctx->ref_count[1] = 2;
      ctx->ref_list[1][0] = ctx->ref_list[1][1] = picture(w.cur_poc + 1);
    }
    frame_t *col = picture(w.col_poc());
    for (int l = 0; l < 2; l++) {
      col->coded_ref_count[l] = w.col_ref_count[l];
      for (int i = 0; i < 16; i++) col->coded_ref_poc[l][i] = w.col_ref_poc[l][i];
    }
    col->units = nullptr;
    if (!w.col_has_motion) return;
    const int32_t stride = w.ctu_cols * 8, rows = w.ctu_rows * 8;
    col_units.assign(static_cast<size_t>(stride * rows), pic_unit_t{});
    for (int l = 0; l < 2; l++) {
      for (int32_t v = 0; v < rows; v++)
        for (int32_t u = 0; u < stride; u++) {
          pic_unit_t &cu = col_units[static_cast<size_t>(v * stride + u)];
          // Odd units are never read: random references and vectors.
          cu.mv[l] = random_mv(rng);
          cu.ref_idx[l] = static_cast<int8_t>(rng() % 4);
          if ((u | v) & 1) continue;
          const motion_t &c = w.col_at(u * 8, v * 8);
          if (c.intra) {
            cu.ref_idx[l] = -2;
          } else if (c.ref[l] < 0) {
            // A list the picture has no references in may hold anything.
            cu.ref_idx[l] = w.col_ref_count[l] == 0 ? static_cast<int8_t>(rng() % 3) : -1;
          } else {
            cu.ref_idx[l] = c.ref[l];
            cu.mv[l] = c.mv[l];
          }
        }
    }
    col->units = col_units.data();
    col->units_stride = stride;
  }

  // CTU maps and grid as the encoder holds them while it derives the lists
  // of PU p; ref_target[l] is written at the PU's first 8x8 unit.
  void load_pu(std::mt19937 &rng, world_t &w, const pu_t &p, const int32_t ref_target[2]) {
    const int32_t ox = w.ctu_x * 64, oy = w.ctu_y * 64;
    for (int32_t i = 0; i < 160; i++) {
      const int32_t row = i / MAP8_STRIDE, colm = i % MAP8_STRIDE;
      int32_t x8, y8;
      if (colm >= 7) {
        x8 = colm - 8;
        y8 = row - 1;
      } else if (colm == 0 && row >= 1) {
        x8 = 8;
        y8 = row - 2;
      } else {
        x8 = y8 = -100;
      }
      const int32_t ax = ox + x8 * 8, ay = oy + y8 * 8;
      motion_t m;
      const bool inside = x8 > -100 && ax >= 0 && ay >= 0 && ax < w.width && ay < w.height;
      if (inside && (w.decoded(p, ax, ay) || rng() % 2)) {
        m = w.at(ax, ay);
      } else {
        m = random_inter(rng, w.ref_count, w.is_b);
        if (rng() % 4 == 0) m.intra = true;
      }
      maps->pred_intra[i] = m.intra ? 1 : 0;
      for (int l = 0; l < 2; l++) {
        if (m.intra) {
          maps->ref_idx[l][i] = -2;
          maps->mv[l][i] = random_mv(rng);
        } else if (m.ref[l] < 0) {
          // Unused lists: -1, or -2 left by a temporal or zero merge candidate.
          maps->ref_idx[l][i] = static_cast<int8_t>(rng() % 2 ? -1 : -2);
          maps->mv[l][i] = random_mv(rng);
        } else {
          maps->ref_idx[l][i] = m.ref[l];
          maps->mv[l][i] = m.mv[l];
        }
      }
    }
    const int32_t first = map8_index((p.x - ox) >> 3, (p.y - oy) >> 3);
    for (int l = 0; l < 2; l++) maps->ref_idx[l][first] = static_cast<int8_t>(ref_target[l]);
    for (uint8_t &g : maps->grid) g = static_cast<uint8_t>(rng() % 2);
    for (int32_t v = -1; v <= 16; v++)
      for (int32_t u = -1; u <= 16; u++)
        if (map4_index(u, v) < 576) maps->grid[map4_index(u, v)] = w.decoded(p, ox + u * 4, oy + v * 4) ? 1 : 0;
  }
};

std::string describe(const world_t &w, const pu_t &p) {
  char buf[256];
  std::snprintf(buf, sizeof buf, "%s slice, tmvp %d, pic %dx%d, CTU (%d,%d), CU %d at (%d,%d) part %d, PU %d: %dx%d at (%d,%d)",
                w.is_b ? "B" : "P", w.tmvp, w.width, w.height, w.ctu_x, w.ctu_y, w.size, w.xcb, w.ycb, w.part,
                p.part_idx, p.w, p.h, p.x, p.y);
  return buf;
}

// Checks both derivations of every PU of the world's CU.
void check_world(std::mt19937 &rng, world_t &w, encoder_fixture_t &fx) {
  fx.load_slice(rng, w);
  const int32_t ox = w.ctu_x * 64, oy = w.ctu_y * 64;
  for (int32_t k = 0; k < (w.part == PART_2Nx2N ? 1 : 2); k++) {
    const pu_t p = w.pu(k);
    const int32_t x = p.x - ox, y = p.y - oy;
    int32_t target[2] = {static_cast<int32_t>(rng() % static_cast<uint32_t>(w.ref_count[0])),
                         w.is_b ? static_cast<int32_t>(rng() % static_cast<uint32_t>(w.ref_count[1])) : -1};
    fx.load_pu(rng, w, p, target);
    SCOPED_TRACE(describe(w, p));

    for (int32_t list = 0; list < (w.is_b ? 2 : 1); list++) {
      mv_t expect[2];
      int32_t standing;
      w.amvp(p, list, target[list], expect, &standing);
      mv_t got[2] = {0x12345678u, 0x12345678u};
      const int32_t count = mvp_get_amvp_candidates(fx.ctx, 0, x, y, p.w, p.h, target[list], list, got);
      const int32_t expect_count = standing == 2 ? 2 : (standing == 1 && expect[0] != 0 ? 2 : 1);
      ASSERT_EQ(count, expect_count) << "AMVP list " << list << " ref " << target[list];
      for (int i = 0; i < 2; i++)
        ASSERT_EQ(got[i], expect[i]) << "AMVP list " << list << " ref " << target[list] << " entry " << i << ": "
                                     << mv_str(got[i]) << " expected " << mv_str(expect[i]);
    }

    for (int32_t max_merge = 1; max_merge <= 5; max_merge++) {
      w.max_merge = max_merge;
      fx.ctx->max_merge_cand = max_merge;
      int32_t before_zero5;
      w.merge(p, 5, &before_zero5);
      const int32_t num_ref = w.is_b ? std::min(w.ref_count[0], w.ref_count[1]) : w.ref_count[0];
      const int32_t expect_count = std::min(max_merge, before_zero5 + std::min(num_ref, 5 - before_zero5));
      int32_t unused;
      const std::vector<motion_t> expect = w.merge(p, max_merge, &unused);
      merge_candidates_t got;
      std::memset(&got, 0x5a, sizeof got);
      const int32_t count = mvp_get_merge_list(fx.ctx, 0, x, y, p.w, p.h, &got);
      ASSERT_EQ(count, expect_count) << "merge, max " << max_merge;
      for (int32_t i = 0; i < count; i++) {
        const motion_t &e = expect[static_cast<size_t>(i)];
        for (int l = 0; l < 2; l++) {
          ASSERT_EQ(got.ref_idx[l][i] >= 0, e.ref[l] >= 0) << "merge cand " << i << " list " << l;
          if (e.ref[l] < 0) continue;
          ASSERT_EQ(got.ref_idx[l][i], e.ref[l]) << "merge cand " << i << " list " << l;
          ASSERT_EQ(got.mv[l][i], e.mv[l])
              << "merge cand " << i << " list " << l << ": " << mv_str(got.mv[l][i]) << " expected " << mv_str(e.mv[l]);
        }
        ASSERT_EQ((got.temporal_mask >> i) & 1, e.from_col ? 1u : 0u) << "merge cand " << i << " temporal mask";
      }
      if (!w.is_b) {
        mv_t mv0[5];
        int8_t ref0[5];
        int32_t tidx = 77;
        const int32_t c0 = mvp_get_merge_candidates_l0(fx.ctx, 0, x, y, p.w, p.h, mv0, ref0, &tidx);
        ASSERT_EQ(c0, count) << "list-0 merge, max " << max_merge;
        int32_t expect_tidx = -1;
        for (int32_t i = 0; i < c0; i++) {
          ASSERT_EQ(ref0[i], got.ref_idx[0][i]) << "list-0 merge cand " << i;
          ASSERT_EQ(mv0[i], got.mv[0][i]) << "list-0 merge cand " << i;
          if (expect[static_cast<size_t>(i)].from_col) expect_tidx = i;
        }
        ASSERT_EQ(tidx, expect_tidx) << "list-0 merge temporal index";
      }
    }
  }
}

struct slice_case_t {
  bool is_b;
  bool tmvp;
};

class MvpRandomCtu : public ::testing::TestWithParam<slice_case_t> {};

TEST_P(MvpRandomCtu, ListsEqualDecoderModel) {
  const slice_case_t c = GetParam();
  const uint32_t seed = test_seed() + (c.is_b ? 1000u : 0u) + (c.tmvp ? 1u : 0u);
  std::printf("MvpRandomCtu %s tmvp %d: seed %u\n", c.is_b ? "B" : "P", c.tmvp, seed);
  std::mt19937 rng(seed);
  encoder_fixture_t fx;
  for (int32_t iter = 0; iter < 4000; iter++) {
    world_t w = random_world(rng, c.is_b, c.tmvp);
    random_cu(rng, w);
    SCOPED_TRACE("iteration " + std::to_string(iter));
    check_world(rng, w, fx);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Mvp, MvpRandomCtu,
                         ::testing::Values(slice_case_t{false, false}, slice_case_t{false, true},
                                           slice_case_t{true, false}, slice_case_t{true, true}),
                         [](const ::testing::TestParamInfo<slice_case_t> &i) {
                           return std::string(i.param.is_b ? "B" : "P") + (i.param.tmvp ? "Tmvp" : "NoTmvp");
                         });

// The same with the collocated vectors kept while a CTU is coded: each
// world is the coding of a CTU of its own (a serial of its own), whose
// vector predictor and merge lists ask for collocated units again with other
// lists and target pictures.
TEST(MvpKeptCollocated, ListsEqualDecoderModel) {
  for (const bool is_b : {false, true}) {
    const uint32_t seed = test_seed() + (is_b ? 2001u : 2000u);
    std::printf("MvpKeptCollocated %s: seed %u\n", is_b ? "B" : "P", seed);
    std::mt19937 rng(seed);
    encoder_fixture_t fx;
    for (int32_t iter = 0; iter < 4000; iter++) {
      world_t w = random_world(rng, is_b, true);
      random_cu(rng, w);
      SCOPED_TRACE(std::string(is_b ? "B" : "P") + " iteration " + std::to_string(iter));
      fx.ctx->collocated_serial = static_cast<uint32_t>(iter + 1);
      check_world(rng, w, fx);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

// ---------------------------------------------------------------------------
// Scaling.

TEST(MvpScale, TableHoldsStandardDistanceFactors) {
  EXPECT_EQ(mvp_dist_scale_table[0], -512);
  EXPECT_EQ(mvp_dist_scale_table[31], -16384);
  EXPECT_EQ(mvp_dist_scale_table[32], 0);
  EXPECT_EQ(mvp_dist_scale_table[33], 16384);
  EXPECT_EQ(mvp_dist_scale_table[35], 5461);  // (16384 + 1) / 3
  EXPECT_EQ(mvp_dist_scale_table[64], 512);
  for (int32_t td = -32; td <= 32; td++) {
    if (td == 0) continue;
    const int32_t a = td < 0 ? -td : td;
    // tx * td is within |td| / 2 of 16384 (the rounding of the division).
    const int32_t prod = mvp_dist_scale_table[static_cast<size_t>(td + 32)] * td;
    EXPECT_LE(std::abs(prod - 16384), a) << "td " << td;
  }
}

TEST(MvpScale, MatchesStandardFormulaForAllDistances) {
  std::mt19937 rng(test_seed() + 7u);
  std::printf("MvpScale: seed %u\n", test_seed() + 7u);
  const int32_t special[] = {-100000, -1000, -129, -128, -127, -64, -33, -32, -31, -1,
                             1,       2,     31,   32,   33,   63,  64,  120, 127, 128, 129, 5000};
  const mv_t mvs[] = {0, mv_make(1, -1), mv_make(-32768, 32767), mv_make(32767, -32768), mv_make(-5, 300)};
  for (int32_t td : special)
    for (int32_t tb : special)
      for (mv_t mv : mvs)
        ASSERT_EQ(mvp_scale_mv(mv, td, tb), model_scale(mv, td, tb)) << "td " << td << " tb " << tb << " mv " << mv_str(mv);
  for (int i = 0; i < 200000; i++) {
    int32_t td = static_cast<int32_t>(rng() % 601) - 300, tb = static_cast<int32_t>(rng() % 601) - 300;
    if (td == 0) td = 1;
    const mv_t mv = random_mv(rng);
    ASSERT_EQ(mvp_scale_mv(mv, td, tb), model_scale(mv, td, tb)) << "td " << td << " tb " << tb << " mv " << mv_str(mv);
  }
}

// ---------------------------------------------------------------------------
// Edge cases in hand-made worlds: a 256x192 picture, current CTU (1, 1),
// everything around it intra unless a test places motion.

world_t plain_world(bool is_b, bool tmvp) {
  world_t w;
  w.is_b = is_b;
  w.tmvp = tmvp;
  w.width = 256;
  w.height = 192;
  w.ctu_cols = 4;
  w.ctu_rows = 3;
  w.ctu_x = 1;
  w.ctu_y = 1;
  w.cur_poc = 8;
  w.ref_count[0] = 1;
  w.ref_poc[0][0] = 4;
  if (is_b) {
    w.ref_count[1] = 1;
    w.ref_poc[1][0] = 12;
  }
  w.col_from_l0 = is_b ? 0 : 1;
  w.motion.assign(static_cast<size_t>(4 * 8 * 3 * 8), motion_t{});
  for (motion_t &m : w.motion) m.intra = true;
  w.col_has_motion = true;
  w.col_ref_count[0] = 1;
  w.col_ref_poc[0][0] = 0;
  w.col_ref_count[1] = is_b ? 1 : 0;
  w.col_ref_poc[1][0] = 16;
  w.col.assign(static_cast<size_t>(4 * 4 * 3 * 4), motion_t{});
  for (motion_t &c : w.col) c.intra = true;
  // A 16x16 CU at (0, 16) in the CTU: its left and above neighbours,
  // above-right included, are decoded.
  w.xcb = 64;
  w.ycb = 80;
  w.size = 16;
  w.part = PART_2Nx2N;
  w.at(w.xcb, w.ycb) = motion_t{};
  return w;
}

void set_inter(world_t &w, int32_t x, int32_t y, int8_t r0, mv_t mv0, int8_t r1 = -1, mv_t mv1 = 0) {
  motion_t m;
  m.ref[0] = r0;
  m.mv[0] = mv0;
  m.ref[1] = r1;
  m.mv[1] = mv1;
  w.at(x, y) = m;
}

struct run_t {
  std::mt19937 rng{1};
  encoder_fixture_t fx;
  world_t *w;
  pu_t p;
  explicit run_t(world_t &world, int32_t part_idx = 0, int32_t target0 = 0, int32_t target1 = 0) : w(&world) {
    p = world.pu(part_idx);
    fx.load_slice(rng, world);
    const int32_t t[2] = {target0, world.is_b ? target1 : -1};
    fx.load_pu(rng, world, p, t);
  }
  int32_t amvp(int32_t list, mv_t out[2]) {
    return mvp_get_amvp_candidates(fx.ctx, 0, p.x - w->ctu_x * 64, p.y - w->ctu_y * 64, p.w, p.h, 0, list, out);
  }
  int32_t merge(merge_candidates_t *m) {
    return mvp_get_merge_list(fx.ctx, 0, p.x - w->ctu_x * 64, p.y - w->ctu_y * 64, p.w, p.h, m);
  }
};

TEST(AmvpEdge, TopLeftCornerOfPPictureGivesOneZeroPredictor) {
  world_t w = plain_world(false, false);
  w.ctu_x = w.ctu_y = 0;
  w.xcb = w.ycb = 0;
  w.at(0, 0) = motion_t{};
  w.at(0, 0).ref[0] = 0;
  run_t r(w);
  mv_t out[2] = {1, 1};
  EXPECT_EQ(r.amvp(0, out), 1);
  EXPECT_EQ(out[0], 0u);
}

TEST(AmvpEdge, EqualSpatialCandidatesCountOnceAndTemporalJoinsUncompared) {
  world_t w = plain_world(false, true);
  set_inter(w, w.xcb - 1, w.ycb + 15, 0, mv_make(4, 4));  // A1
  set_inter(w, w.xcb + 15, w.ycb - 1, 0, mv_make(4, 4));  // B1
  // Collocated block at the bottom-right (80, 96) with the same distance:
  // its vector (4, 4) is taken as it is and stands beside the equal A.
  motion_t c;
  c.ref[0] = 0;
  c.mv[0] = mv_make(4, 4);
  w.col_ref_poc[0][0] = 0;  // col POC 4 - 0 = 4 = 8 - 4
  w.col_at(80, 96) = c;
  run_t r(w);
  mv_t out[2];
  EXPECT_EQ(r.amvp(0, out), 2);
  EXPECT_EQ(out[0], mv_make(4, 4));
  EXPECT_EQ(out[1], mv_make(4, 4));
}

TEST(AmvpEdge, BNeighboursAreScaledWhenNoAIsInter) {
  world_t w = plain_world(true, false);
  w.ref_count[0] = 2;
  w.ref_poc[0][1] = 6;  // target of list 0 index 1: distance 2
  // B0 refers to POC 4 (distance 4): no unscaled match; B1 refers to the
  // target: the unscaled candidate. The scaled pass takes B0 and halves it.
  set_inter(w, w.xcb + 16, w.ycb - 1, 0, mv_make(40, -20));  // B0
  set_inter(w, w.xcb + 15, w.ycb - 1, 1, mv_make(3, 3));     // B1
  run_t r(w, 0, 1, 0);
  mv_t out[2];
  EXPECT_EQ(r.amvp(0, out), 2);
  EXPECT_EQ(out[0], mv_make(3, 3));
  EXPECT_EQ(out[1], mv_make(20, -10));
  // An inter A1 stops the scaled B pass: A1 (scaled) and B1 remain.
  set_inter(w, w.xcb - 1, w.ycb + 15, 0, mv_make(8, 8));
  run_t r2(w, 0, 1, 0);
  EXPECT_EQ(r2.amvp(0, out), 2);
  EXPECT_EQ(out[0], mv_make(4, 4));
  EXPECT_EQ(out[1], mv_make(3, 3));
}

TEST(AmvpEdge, BottomOfCtuTakesCollocatedCentre) {
  world_t w = plain_world(false, true);
  w.ycb = 64 + 48;  // y + h = 64 inside the CTU
  w.at(w.xcb, w.ycb) = motion_t{};
  motion_t br, ctr;
  br.ref[0] = ctr.ref[0] = 0;
  br.mv[0] = mv_make(100, 0);
  ctr.mv[0] = mv_make(-7, 9);
  w.col_at(80, 128) = br;  // below the CTU row: must not be used
  w.col_at(72, 120) = ctr;
  run_t r(w);
  mv_t out[2];
  EXPECT_EQ(r.amvp(0, out), 2);
  EXPECT_EQ(out[0], mv_make(-7, 9));
}

TEST(MvpSelectMvd, TiesKeepFirstPredictorAndOneCountIgnoresSecond) {
  const mv_t mv = mv_make(10, 10);
  const mv_t two[2] = {mv_make(8, 10), mv_make(10, 12)};
  int16_t mvd[2];
  EXPECT_EQ(mvp_select_mvd(&mv, two, 2, mvd), 0);
  EXPECT_EQ(mvd[0], 2);
  EXPECT_EQ(mvd[1], 0);
  const mv_t better[2] = {mv_make(0, 0), mv_make(10, 9)};
  EXPECT_EQ(mvp_select_mvd(&mv, better, 2, mvd), 1);
  EXPECT_EQ(mvd[0], 0);
  EXPECT_EQ(mvd[1], 1);
  // One predictor: the array has one entry (the sanitizers would see a
  // second read) and the result is 0.
  const std::vector<mv_t> one{mv_make(0, 0)};
  EXPECT_EQ(mvp_select_mvd(&mv, one.data(), 1, mvd), 0);
  EXPECT_EQ(mvd[0], 10);
  // Differences wrap in 16 bits.
  const mv_t far = mv_make(32767, -32768), back = mv_make(-32768, 32767);
  EXPECT_EQ(mvp_select_mvd(&far, &back, 1, mvd), 0);
  EXPECT_EQ(mvd[0], -1);
  EXPECT_EQ(mvd[1], 1);
}

TEST(GridFill, OnlyPowerOfTwoWidthsUpToSixteenAreWritten) {
  for (int32_t width : {1, 2, 3, 4, 5, 8, 12, 16, 32}) {
    std::array<uint8_t, 576> g{};
    grid_fill_rect(&g[static_cast<size_t>(map4_index(2, 3))], width, 2, 7);
    const bool written = width == 1 || width == 2 || width == 4 || width == 8 || width == 16;
    int32_t count = 0;
    for (int32_t i = 0; i < 576; i++) count += g[static_cast<size_t>(i)] == 7;
    EXPECT_EQ(count, written ? 2 * width : 0) << "width " << width;
    if (written) {
      EXPECT_EQ(g[static_cast<size_t>(map4_index(2, 3))], 7);
      EXPECT_EQ(g[static_cast<size_t>(map4_index(2 + width - 1, 4))], 7);
    }
  }
  std::array<uint8_t, 576> g{};
  grid_fill_rect(g.data() + 100, 4, 0, 1);
  for (uint8_t b : g) EXPECT_EQ(b, 0);
}

TEST(GridFill, MarkAndClearCoverTheirBlocksOnly) {
  encoder_fixture_t fx;
  fx.ctx->maps = fx.maps;
  std::memset(fx.maps->grid, 9, sizeof fx.maps->grid);
  grid_clear_ctu(fx.ctx);
  for (int32_t i = 0; i < 576; i++) {
    const int32_t row = i / 32, col = i % 32;
    EXPECT_EQ(fx.maps->grid[i], (row >= 1 && row <= 16 && col >= 16) ? 0 : 9) << i;
  }
  grid_mark_available(fx.ctx, 16, 32, 32, 16);
  for (int32_t v = 0; v < 16; v++)
    for (int32_t u = 0; u < 16; u++)
      EXPECT_EQ(fx.maps->grid[map4_index(u, v)], (u >= 4 && u < 12 && v >= 8 && v < 12) ? 1 : 0);
  grid_mark_unavailable(fx.ctx, 24, 32, 8, 8);
  EXPECT_EQ(fx.maps->grid[map4_index(6, 8)], 0);
  EXPECT_EQ(fx.maps->grid[map4_index(5, 8)], 1);
  EXPECT_EQ(fx.maps->grid[map4_index(8, 8)], 1);
}

TEST(MergeEdge, SecondPuSkipsTheNeighbourInsideItsCu) {
  // Nx2N: A1 of PU 1 lies in PU 0, which would be taken otherwise.
  world_t w = plain_world(false, false);
  w.part = PART_Nx2N;
  set_inter(w, w.xcb, w.ycb, 0, mv_make(5, 5));  // PU 0
  set_inter(w, w.xcb, w.ycb + 8, 0, mv_make(5, 5));
  run_t r(w, 1);
  merge_candidates_t m;
  EXPECT_EQ(r.merge(&m), 1);
  EXPECT_EQ(m.mv[0][0], 0u);  // the zero candidate only
  // 2NxN: B1 of PU 1 is PU 0; B0 (right of the CU) is not decoded; the
  // left neighbours give the list.
  world_t h = plain_world(false, false);
  h.part = PART_2NxN;
  set_inter(h, h.xcb, h.ycb, 0, mv_make(5, 5));
  set_inter(h, h.xcb + 8, h.ycb, 0, mv_make(5, 5));
  set_inter(h, h.xcb - 1, h.ycb + 15, 0, mv_make(1, 2));  // A1 of PU 1
  run_t r2(h, 1);
  EXPECT_EQ(r2.merge(&m), 2);
  EXPECT_EQ(m.mv[0][0], mv_make(1, 2));
  EXPECT_EQ(m.mv[0][1], 0u);
  EXPECT_EQ(m.ref_idx[0][1], 0);
}

TEST(MergeEdge, B0OfSecondHorizontalPuIsAppendedWithoutComparison) {
  // B1 of the lower PU of a 2NxN CU is never examined, so a B0 with the same
  // motion is not pruned. (A decoder never sees that B0 decoded; the grid is
  // set by hand to show the rule.)
  world_t w = plain_world(false, false);
  w.part = PART_2NxN;
  set_inter(w, w.xcb, w.ycb, 0, mv_make(2, 2));  // PU 0 = B1 of PU 1
  set_inter(w, w.xcb + 8, w.ycb, 0, mv_make(2, 2));
  set_inter(w, w.xcb + 16, w.ycb, 0, mv_make(2, 2));  // B0 of PU 1
  run_t r(w, 1);
  r.fx.maps->grid[map4_index(4, 5)] = 1;
  r.fx.maps->ref_idx[0][map8_index(2, 2)] = 0;
  r.fx.maps->ref_idx[1][map8_index(2, 2)] = -1;
  r.fx.maps->mv[0][map8_index(2, 2)] = mv_make(2, 2);
  merge_candidates_t m;
  EXPECT_EQ(r.merge(&m), 2);
  EXPECT_EQ(m.mv[0][0], mv_make(2, 2));
  EXPECT_EQ(m.mv[0][1], 0u);
  // For PU 0 the same B0 position is pruned against its B1 with equal motion.
  world_t v = plain_world(false, false);
  set_inter(v, v.xcb + 15, v.ycb - 1, 0, mv_make(6, 6));  // B1
  set_inter(v, v.xcb + 16, v.ycb - 1, 0, mv_make(6, 6));  // B0
  run_t r2(v, 0);
  EXPECT_EQ(r2.merge(&m), 2);  // B1 and the zero candidate
  EXPECT_EQ(m.mv[0][0], mv_make(6, 6));
}

TEST(MergeEdge, FourSpatialCandidatesLeaveB2Out) {
  world_t w = plain_world(true, false);
  w.ref_count[0] = 2;
  w.ref_poc[0][1] = 6;
  set_inter(w, w.xcb - 1, w.ycb + 15, 0, mv_make(1, 0));  // A1
  set_inter(w, w.xcb + 15, w.ycb - 1, 0, mv_make(2, 0));  // B1
  set_inter(w, w.xcb + 16, w.ycb - 1, 0, mv_make(3, 0));  // B0
  set_inter(w, w.xcb - 1, w.ycb + 16, 0, mv_make(4, 0));  // A0
  set_inter(w, w.xcb - 1, w.ycb - 1, 1, mv_make(5, 0));   // B2
  w.max_merge = 5;
  run_t r(w);
  merge_candidates_t m;
  EXPECT_EQ(r.merge(&m), 5);
  EXPECT_EQ(m.mv[0][0], mv_make(1, 0));
  EXPECT_EQ(m.mv[0][3], mv_make(4, 0));
  // No combined candidate (no list-1 motion): the fifth is a zero one.
  EXPECT_EQ(m.mv[0][4], 0u);
  EXPECT_EQ(m.ref_idx[0][4], 0);
  EXPECT_EQ(m.ref_idx[1][4], 0);
}

TEST(MergeEdge, CombinedCandidatesFromTwoTryOnlyBothOrders) {
  world_t w = plain_world(true, false);
  set_inter(w, w.xcb - 1, w.ycb + 15, 0, mv_make(1, 1), 0, mv_make(2, 2));   // A1, bi
  set_inter(w, w.xcb + 15, w.ycb - 1, 0, mv_make(3, 3), 0, mv_make(4, 4));   // B1, bi
  w.max_merge = 5;
  run_t r(w);
  merge_candidates_t m;
  EXPECT_EQ(r.merge(&m), 5);
  // (0,1): L0 of A1 with L1 of B1; (1,0): L0 of B1 with L1 of A1.
  EXPECT_EQ(m.mv[0][2], mv_make(1, 1));
  EXPECT_EQ(m.mv[1][2], mv_make(4, 4));
  EXPECT_EQ(m.mv[0][3], mv_make(3, 3));
  EXPECT_EQ(m.mv[1][3], mv_make(2, 2));
  EXPECT_EQ(m.mv[0][4], 0u);  // zero candidate, reference 0 in both lists
  EXPECT_EQ(m.ref_idx[1][4], 0);
}

TEST(MergeEdge, CombinedCandidateOfOnePictureWithEqualVectorsIsDropped) {
  world_t w = plain_world(true, false);
  w.ref_poc[1][0] = 4;  // both lists start with POC 4
  set_inter(w, w.xcb - 1, w.ycb + 15, 0, mv_make(7, 7));        // A1, L0
  set_inter(w, w.xcb + 15, w.ycb - 1, -1, 0, 0, mv_make(7, 7));  // B1, L1 same picture and vector
  set_inter(w, w.xcb + 16, w.ycb - 1, -1, 0, 0, mv_make(9, 9));  // B0, L1
  w.max_merge = 5;
  run_t r(w);
  merge_candidates_t m;
  EXPECT_EQ(r.merge(&m), 5);
  // A1, B1, B0: (0,1) is dropped, (1,0), (2,0), (1,2), (2,1) lack a list-0
  // vector; only (0,2) = A1 L0 with B0 L1 is kept, then one zero candidate.
  EXPECT_EQ(m.ref_idx[0][3], 0);
  EXPECT_EQ(m.mv[0][3], mv_make(7, 7));
  EXPECT_EQ(m.mv[1][3], mv_make(9, 9));
  EXPECT_EQ(m.mv[0][4], 0u);
}

TEST(MergeEdge, PSliceWithOneReferenceHasOneZeroCandidate) {
  world_t w = plain_world(false, false);
  run_t r(w);
  merge_candidates_t m;
  r.fx.ctx->max_merge_cand = 5;
  EXPECT_EQ(r.merge(&m), 1);
  EXPECT_EQ(m.ref_idx[0][0], 0);
  EXPECT_LT(m.ref_idx[1][0], 0);
  EXPECT_EQ(m.temporal_mask, 0u);
}

TEST(MergeEdge, TemporalMaskMarksTemporalAndItsCombinations) {
  world_t w = plain_world(true, true);
  w.max_merge = 5;
  set_inter(w, w.xcb - 1, w.ycb + 15, 0, mv_make(1, 1), 0, mv_make(2, 2));  // A1, bi
  motion_t c;
  c.ref[0] = 0;
  c.mv[0] = mv_make(8, 0);
  w.col_at(80, 96) = c;  // bottom-right of the 16x16 PU at (64, 80)
  run_t r(w);
  merge_candidates_t m;
  EXPECT_EQ(r.merge(&m), 5);
  EXPECT_EQ(m.temporal_mask & 2u, 2u);  // the temporal candidate at index 1
  EXPECT_EQ(m.temporal_mask & 1u, 0u);
  // Combined (0,1) and (1,0) both involve index 1.
  EXPECT_EQ(m.temporal_mask, 2u | 4u | 8u);
  world_t off = w;
  off.tmvp = false;
  run_t r2(off);
  r2.merge(&m);
  EXPECT_EQ(m.temporal_mask, 0u);
}

}  // namespace
