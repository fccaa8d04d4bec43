#include "motion/mvp.h"

#include <algorithm>
#include <cstring>

#include "encoder/encoder.h"

namespace {

constexpr std::array<int32_t, 65> make_dist_scale_table() {
  std::array<int32_t, 65> t{};
  for (int32_t td = -32; td <= 32; td++) {
    const int32_t abs_td = td < 0 ? -td : td;
    t[static_cast<size_t>(td + 32)] = td == 0 ? 0 : (16384 + abs_td / 2) / td;
  }
  return t;
}

int32_t clip_poc_distance(int64_t d) { return static_cast<int32_t>(std::clamp<int64_t>(d, -128, 127)); }

int16_t scale_component(int32_t factor, int16_t c) {
  const int32_t d = factor * c;  // |d| <= 4096 * 32768
  // Sign(d) * ((|d| + 127) >> 8) without the branch: an arithmetic shift of
  // d + 128 rounds the negative side the same way.
  const int32_t r = (d + 127 + (d < 0 ? 1 : 0)) >> 8;
  return static_cast<int16_t>(std::clamp<int32_t>(r, -32768, 32767));
}

// td: POC distance of the predicting block to its reference; tb: of the
// current picture to the target reference (both before clipping). Equal
// distances copy the vector (8.5.3.2.8; for spatial candidates clipped equal
// distances give distScaleFactor 256, the identity, anyway).
mv_t scale_by_poc(mv_t mv, int64_t td_raw, int64_t tb_raw) {
  if (td_raw == tb_raw) return mv;
  const int32_t td = clip_poc_distance(td_raw), tb = clip_poc_distance(tb_raw);
  const int32_t abs_td = td < 0 ? -td : td;
  // The table covers the usual distances; beyond it td is still nonzero.
  const int32_t tx = abs_td <= 32 ? mvp_dist_scale_table[static_cast<size_t>(td + 32)] : (16384 + abs_td / 2) / td;
  const int32_t factor = std::clamp<int32_t>((tb * tx + 32) >> 6, -4096, 4095);
  return mv_make(scale_component(factor, mv_x(mv)), scale_component(factor, mv_y(mv)));
}

// A spatial neighbour: its 8x8 motion-map index and its 4x4 grid index.
struct neighbour_t {
  int32_t m8, g4;
};

// H.265 8.5.3.2.3 / 8.5.3.2.7 positions A0, A1, B0, B1, B2. Motion is read
// at the block containing the standard's sample; availability at a 4x4 unit
// that a decoder has decoded exactly when it has decoded that sample (the
// left column and the row above a CU are decoded whole or not at all).
struct neighbours_t {
  neighbour_t a0, a1, b0, b1, b2;
};

neighbours_t neighbours_of(int32_t x, int32_t y, int32_t w, int32_t h) {
  neighbours_t n;
  n.a0 = {map8_index((x - 1) >> 3, (y + h) >> 3), map4_index((x - 4) >> 2, (y + h) >> 2)};
  n.a1 = {map8_index((x - 1) >> 3, (y + h - 1) >> 3), map4_index((x - 4) >> 2, y >> 2)};
  n.b0 = {map8_index((x + w) >> 3, (y - 1) >> 3), map4_index((x + w) >> 2, (y - 4) >> 2)};
  n.b1 = {map8_index((x + w - 1) >> 3, (y - 1) >> 3), map4_index(x >> 2, (y - 4) >> 2)};
  n.b2 = {map8_index((x - 1) >> 3, (y - 1) >> 3), map4_index((x - 4) >> 2, (y - 4) >> 2)};
  return n;
}

int32_t ref_poc(const encoder_t *ctx, int32_t list, int32_t ref) { return ctx->ref_list[list][ref & 15]->poc; }

// NoBackwardPredFlag of H.265 8.5.3.2.9: no reference of the slice follows
// the current picture in output order.
bool no_backward_prediction(const encoder_t *ctx, bool is_b) {
  const int32_t cur = ctx->cur_input->poc;
  for (int32_t l = 0; l < (is_b ? 2 : 1); l++)
    for (int32_t i = 0; i < ctx->ref_count[l]; i++)
      if (ctx->ref_list[l][i]->poc > cur) return false;
  return true;
}

// Motion of the collocated block covering picture sample (px, py), rounded
// to the 16x16 grid of the stored motion (8.5.3.2.9).
bool collocated_at(const encoder_t *ctx, const frame_t *col, int32_t px, int32_t py, int32_t list_x,
                   int32_t target_poc, bool is_b, mv_t *out) {
  const int32_t idx = ((py >> 4) << 1) * col->units_stride + ((px >> 4) << 1);
  int32_t r[2];
  for (int32_t l = 0; l < 2; l++) {
    r[l] = -1;
    const int32_t count = std::min(col->coded_ref_count[l], 16);
    if (col->units && count > 0) {
      r[l] = col->units[idx].ref_idx[l];
      if (r[l] >= count) r[l] = -1;
    }
  }
  int32_t list_col;
  if (r[0] < 0 && r[1] < 0) return false;  // intra, or no motion kept
  if (r[0] < 0) {
    list_col = 1;
  } else if (r[1] < 0) {
    list_col = 0;
  } else {
    // collocated_from_l0_flag is inferred 1 in P slices.
    const int32_t col_from_l0 = is_b ? (ctx->col_from_l0 ? 1 : 0) : 1;
    list_col = no_backward_prediction(ctx, is_b) ? list_x : col_from_l0;
  }
  const mv_t mv = col->units[idx].mv[list_col];
  const int64_t col_diff = static_cast<int64_t>(col->poc) - col->coded_ref_poc[list_col][r[list_col]];
  const int64_t cur_diff = static_cast<int64_t>(ctx->cur_input->poc) - target_poc;
  *out = scale_by_poc(mv, col_diff, cur_diff);
  return true;
}

// collocated_at of a sample of the current CTU or of the column right of
// it, kept for the CTU's coding: the collocated picture, its motion and the
// slice's references stay the same while it is coded.
bool collocated_kept(const encoder_t *ctx, const frame_t *col, int32_t px, int32_t py, int32_t list_x,
                     int32_t target_poc, bool is_b, mv_t *out) {
  const uint32_t serial = ctx->collocated_serial;
  if (!serial) return collocated_at(ctx, col, px, py, list_x, target_poc, is_b, out);
  const int32_t u = ((py - ctx->ctu_y * 64) >> 4) * 5 + ((px - ctx->ctu_x * 64) >> 4);
  collocated_memo_t::entry_t *e = ctx->collocated_memo.at[u][list_x][is_b ? 1 : 0];
  for (int32_t k = 0; k < collocated_memo_t::WAYS; k++)
    if (e[k].serial == serial && e[k].target_poc == target_poc) {
      if (e[k].found) *out = e[k].mv;
      return e[k].found != 0;
    }
  mv_t mv = 0;
  const bool found = collocated_at(ctx, col, px, py, list_x, target_poc, is_b, &mv);
  if (found) *out = mv;
  for (int32_t k = 0; k < collocated_memo_t::WAYS; k++)
    if (e[k].serial != serial) {
      e[k] = {serial, target_poc, mv, found ? 1 : 0};
      break;
    }
  return found;
}

// Temporal luma vector prediction (8.5.3.2.8): bottom-right block when it
// lies in the picture and in the same CTU row, else (or when that block has
// no motion) the centre block.
bool temporal_candidate(const encoder_t *ctx, int32_t x, int32_t y, int32_t w, int32_t h, int32_t list_x,
                        int32_t target_poc, bool is_b, mv_t *out) {
  const frame_t *col = (is_b && !ctx->col_from_l0 && ctx->ref_count[1] > 0) ? ctx->ref_list[1][0] : ctx->ref_list[0][0];
  if (!col) return false;
  const int32_t ox = ctx->ctu_x * 64, oy = ctx->ctu_y * 64;
  const int32_t bx = ox + x + w, by = oy + y + h;
  if (y + h < 64 && bx < ctx->width && by < ctx->height &&
      collocated_kept(ctx, col, bx, by, list_x, target_poc, is_b, out))
    return true;
  return collocated_kept(ctx, col, ox + x + w / 2, oy + y + h / 2, list_x, target_poc, is_b, out);
}

bool is_inter(const ctu_maps_t *m, int32_t u) { return m->ref_idx[0][u] >= 0 || m->ref_idx[1][u] >= 0; }

struct candidate_t {
  mv_t mv[2];
  int8_t ref[2];
};

candidate_t load_candidate(const ctu_maps_t *m, int32_t u) {
  return {{m->mv[0][u], m->mv[1][u]}, {m->ref_idx[0][u], m->ref_idx[1][u]}};
}

// "Same motion vectors and reference indices": unused lists (-1 or -2 in the
// maps) compare equal, their vectors are not looked at.
bool same_motion(const candidate_t &a, const candidate_t &b, int32_t lists) {
  for (int32_t l = 0; l < lists; l++) {
    const int32_t ra = a.ref[l] < 0 ? -1 : a.ref[l], rb = b.ref[l] < 0 ? -1 : b.ref[l];
    if (ra != rb) return false;
    if (ra >= 0 && a.mv[l] != b.mv[l]) return false;
  }
  return true;
}

constexpr int8_t COMB_L0[12] = {0, 1, 0, 2, 1, 2, 0, 3, 1, 3, 2, 3};
constexpr int8_t COMB_L1[12] = {1, 0, 2, 0, 2, 1, 3, 0, 3, 1, 3, 2};

// The merge list of 8.5.3.2.2 before truncation to MaxNumMergeCand. With
// l0_only the list is derived as in a P slice, list 0 alone.
int32_t build_merge_list(const encoder_t *ctx, int32_t x, int32_t y, int32_t w, int32_t h, bool l0_only,
                         candidate_t list[5], int32_t *temporal_index, uint32_t *mask) {
  const ctu_maps_t *m = ctx->maps;
  const bool is_b = !l0_only && ctx->slice_type_code == 0;
  const int32_t lists = l0_only ? 1 : 2;
  const neighbours_t nb = neighbours_of(x, y, w, h);
  auto inter = [&](const neighbour_t &n) {
    return m->grid[n.g4] == 1 && (l0_only ? m->ref_idx[0][n.m8] >= 0 : is_inter(m, n.m8));
  };
  int32_t n = 0;
  *temporal_index = -1;
  *mask = 0;

  // Second PU of Nx2N never takes A1, of 2NxN never B1 (8.5.3.2.3): that
  // motion would make the CU a 2Nx2N one.
  const bool second_vertical = w < h && x % h != 0;
  const bool second_horizontal = w > h && y % w != 0;
  candidate_t a1{}, b1{};
  const bool a1_ok = !second_vertical && inter(nb.a1);
  if (a1_ok) list[n++] = a1 = load_candidate(m, nb.a1.m8);
  const bool b1_ok = !second_horizontal && inter(nb.b1);
  if (b1_ok) {
    b1 = load_candidate(m, nb.b1.m8);
    if (!(a1_ok && same_motion(a1, b1, lists))) list[n++] = b1;
  }
  if (inter(nb.b0)) {
    const candidate_t c = load_candidate(m, nb.b0.m8);
    if (!(b1_ok && same_motion(b1, c, lists))) list[n++] = c;
  }
  if (inter(nb.a0)) {
    const candidate_t c = load_candidate(m, nb.a0.m8);
    if (!(a1_ok && same_motion(a1, c, lists))) list[n++] = c;
  }
  if (n < 4 && inter(nb.b2)) {
    const candidate_t c = load_candidate(m, nb.b2.m8);
    if (!(a1_ok && same_motion(a1, c, lists)) && !(b1_ok && same_motion(b1, c, lists))) list[n++] = c;
  }

  if (ctx->sps->temporal_mvp_enabled && ctx->ref_count[0] > 0) {
    candidate_t t{{0, 0}, {-2, -2}};
    bool found = false;
    for (int32_t l = 0; l < (is_b ? 2 : 1); l++) {
      if (temporal_candidate(ctx, x, y, w, h, l, ref_poc(ctx, l, 0), is_b, &t.mv[l])) {
        t.ref[l] = 0;
        found = true;
      }
    }
    if (found) {
      *temporal_index = n;
      *mask |= 1u << n;
      list[n++] = t;
    }
  }

  if (is_b && n >= 2 && n <= 4) {
    const int32_t num_orig = n;
    for (int32_t k = 0; k < num_orig * (num_orig - 1) && n < 5; k++) {
      const candidate_t &c0 = list[COMB_L0[k]], &c1 = list[COMB_L1[k]];
      if (c0.ref[0] < 0 || c1.ref[1] < 0) continue;
      if (ref_poc(ctx, 0, c0.ref[0]) == ref_poc(ctx, 1, c1.ref[1]) && c0.mv[0] == c1.mv[1]) continue;
      const candidate_t c{{c0.mv[0], c1.mv[1]}, {c0.ref[0], c1.ref[1]}};
      if (COMB_L0[k] == *temporal_index || COMB_L1[k] == *temporal_index) *mask |= 1u << n;
      list[n++] = c;
    }
  }

  // Zero candidates (8.5.3.2.5), one per reference index; the standard's
  // further repeats of index 0 are left out.
  const int32_t num_ref = is_b ? std::min(ctx->ref_count[0], ctx->ref_count[1]) : ctx->ref_count[0];
  for (int32_t zi = 0; zi < num_ref && n < 5; zi++)
    list[n++] = {{0, 0}, {static_cast<int8_t>(zi), static_cast<int8_t>(is_b ? zi : -2)}};
  return n;
}

}  // namespace

const std::array<int32_t, 65> mvp_dist_scale_table = make_dist_scale_table();

mv_t mvp_scale_mv(mv_t mv, int32_t td, int32_t tb) { return scale_by_poc(mv, td, tb); }

int32_t mvp_get_amvp_candidates(encoder_t *ctx, int32_t /*z*/, int32_t x, int32_t y, int32_t w, int32_t h,
                                int32_t /*unused*/, int32_t list, mv_t out[2]) {
  const ctu_maps_t *m = ctx->maps;
  const int32_t lx = list, ly = 1 - list;
  const bool use_ly = ctx->slice_type_code == 0;  // P slices have no list 1
  const int32_t ref = m->ref_idx[lx][map8_index(x >> 3, y >> 3)];
  const int32_t target_poc = ref_poc(ctx, lx, ref);
  const int64_t cur_poc = ctx->cur_input->poc;
  const neighbours_t nb = neighbours_of(x, y, w, h);

  // 8.5.3.2.7: a neighbour predicts without scaling when one of its lists
  // (X first) refers to the target picture.
  auto unscaled = [&](const neighbour_t &n, mv_t *mv) {
    if (m->grid[n.g4] != 1) return false;
    const int32_t rx = m->ref_idx[lx][n.m8];
    if (rx >= 0 && (rx == ref || ref_poc(ctx, lx, rx) == target_poc)) {
      *mv = m->mv[lx][n.m8];
      return true;
    }
    const int32_t ry = use_ly ? m->ref_idx[ly][n.m8] : -1;
    if (ry >= 0 && ref_poc(ctx, ly, ry) == target_poc) {
      *mv = m->mv[ly][n.m8];
      return true;
    }
    return false;
  };
  auto scaled = [&](const neighbour_t &n, mv_t *mv) {
    if (m->grid[n.g4] != 1) return false;
    const int32_t rx = m->ref_idx[lx][n.m8];
    const int32_t ry = use_ly ? m->ref_idx[ly][n.m8] : -1;
    const int32_t l = rx >= 0 ? lx : ly, r = rx >= 0 ? rx : ry;
    if (r < 0) return false;
    *mv = scale_by_poc(m->mv[l][n.m8], cur_poc - ref_poc(ctx, l, r), cur_poc - target_poc);
    return true;
  };

  mv_t cand[2];
  int32_t n = 0;
  mv_t mv;
  if (unscaled(nb.a0, &mv) || unscaled(nb.a1, &mv) || scaled(nb.a0, &mv) || scaled(nb.a1, &mv)) cand[n++] = mv;
  if (unscaled(nb.b0, &mv) || unscaled(nb.b1, &mv) || unscaled(nb.b2, &mv)) cand[n++] = mv;
  // isScaledFlagLX == 0: without an inter A neighbour the B candidate takes
  // A's place and B is derived again with scaling.
  const bool a_inter = (m->grid[nb.a0.g4] == 1 && is_inter(m, nb.a0.m8)) ||
                       (m->grid[nb.a1.g4] == 1 && is_inter(m, nb.a1.m8));
  if (!a_inter && n < 2 && (scaled(nb.b0, &mv) || scaled(nb.b1, &mv) || scaled(nb.b2, &mv))) cand[n++] = mv;
  if (n == 2 && cand[0] == cand[1]) n = 1;

  if (n < 2 && ctx->sps->temporal_mvp_enabled && temporal_candidate(ctx, x, y, w, h, lx, target_poc, use_ly, &mv))
    cand[n++] = mv;

  // The decoder pads mvpListLX with zero vectors; a zero vector already in
  // entry 0 makes entry 1 a duplicate not worth a trial.
  if (n == 0) {
    out[0] = out[1] = 0;
    return 1;
  }
  out[0] = cand[0];
  out[1] = n == 2 ? cand[1] : 0;
  return (n == 1 && cand[0] == 0) ? 1 : 2;
}

int32_t mvp_get_merge_candidates(encoder_t *ctx, int32_t /*z*/, int32_t x, int32_t y, int32_t w, int32_t h,
                                 int32_t /*unused*/, mv_t mv_l0[5], mv_t mv_l1[5], int8_t ref_l0[5],
                                 int8_t ref_l1[5], uint32_t *mask) {
  candidate_t list[5];
  int32_t temporal_index;
  const int32_t n = build_merge_list(ctx, x, y, w, h, false, list, &temporal_index, mask);
  const int32_t count = std::min(n, ctx->max_merge_cand);
  for (int32_t i = 0; i < count; i++) {
    mv_l0[i] = list[i].mv[0];
    mv_l1[i] = list[i].mv[1];
    ref_l0[i] = list[i].ref[0];
    ref_l1[i] = list[i].ref[1];
  }
  *mask &= (1u << count) - 1;
  return count;
}

int32_t mvp_get_merge_list(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int32_t w, int32_t h,
                           merge_candidates_t *out) {
  return mvp_get_merge_candidates(ctx, z, x, y, w, h, 0, out->mv[0], out->mv[1], out->ref_idx[0], out->ref_idx[1],
                                  &out->temporal_mask);
}

int32_t mvp_get_merge_candidates_l0(encoder_t *ctx, int32_t /*z*/, int32_t x, int32_t y, int32_t w, int32_t h,
                                    mv_t mv_l0[5], int8_t ref_l0[5], int32_t *temporal_index) {
  candidate_t list[5];
  uint32_t mask;
  const int32_t n = build_merge_list(ctx, x, y, w, h, true, list, temporal_index, &mask);
  const int32_t count = std::min(n, ctx->max_merge_cand);
  for (int32_t i = 0; i < count; i++) {
    mv_l0[i] = list[i].mv[0];
    ref_l0[i] = list[i].ref[0];
  }
  if (*temporal_index >= count) *temporal_index = -1;
  return count;
}

void grid_fill_rect(uint8_t *first, int32_t width_units, int32_t height_units, uint8_t value) {
  if (width_units != 1 && width_units != 2 && width_units != 4 && width_units != 8 && width_units != 16) return;
  for (int32_t r = 0; r < height_units; r++) std::memset(first + r * MAP4_STRIDE, value, static_cast<size_t>(width_units));
}

void grid_mark_available(encoder_t *ctx, int32_t x, int32_t y, int32_t w, int32_t h) {
  grid_fill_rect(&ctx->maps->grid[map4_index(x >> 2, y >> 2)], w >> 2, h >> 2, 1);
}

void grid_mark_unavailable(encoder_t *ctx, int32_t x, int32_t y, int32_t w, int32_t h) {
  grid_fill_rect(&ctx->maps->grid[map4_index(x >> 2, y >> 2)], w >> 2, h >> 2, 0);
}

void grid_clear_ctu(encoder_t *ctx) { grid_fill_rect(&ctx->maps->grid[map4_index(0, 0)], 16, 16, 0); }
