#include "filters/sao.h"

#include <algorithm>
#include <cstring>

#include "bitstream/cabac.h"
#include "encoder/encoder.h"
#include "common/rd_cost.h"
#include "rdo/block_coding.h"

namespace {

constexpr int64_t COST_MAX = INT64_MAX / 4;

inline int32_t eo_offset(int32_t n, int32_t s, int64_t l, bool positive) {
  if (n == 0) return 0;
  // Closed-form minimiser of (N o^2 - 2 S o) + lambda * (|o| + 1), rounded.
  const int64_t num = positive ? 512LL * s - l + 256LL * n : 512LL * s + l - 256LL * n;
  const int64_t o = num / (512LL * n);
  return static_cast<int32_t>(positive ? std::clamp<int64_t>(o, 0, 7) : std::clamp<int64_t>(o, -7, 0));
}

inline int64_t delta_distortion(int32_t n, int32_t s, int32_t o) {
  return (static_cast<int64_t>(n) * o - 2LL * s) * o;
}

struct plane_ctx_t {
  uint8_t *deblocked;  // block origin in the deblocked plane
  const uint8_t *source;
  int32_t stride;
  int32_t w, h;  // part inside the picture
  bool whole;
  int16_t *diff;
  int32_t is_luma;
};

void gather(encoder_t *ctx, const plane_ctx_t &p, int32_t type, sao_stats_t *st) {
  const sao_funcs_t &f = ctx->sao;
  if (p.whole) {
    if (type < 4)
      f.sao_stats_eo[type](st, p.deblocked, p.stride, p.is_luma, p.diff, ctx->sao_scratch);
    else
      f.sao_stats_bo(st, p.deblocked, p.stride, p.is_luma, p.diff, ctx->sao_scratch);
  } else {
    if (type < 4)
      f.sao_stats_eo_wxh[type](st, p.deblocked, p.stride, p.is_luma, p.diff, p.w, p.h, ctx->sao_scratch);
    else
      f.sao_stats_bo_wxh(st, p.deblocked, p.stride, p.is_luma, p.diff, p.w, p.h, ctx->sao_scratch);
  }
}

// dD of a record on given statistics.
int64_t record_distortion(const sao_stats_t &st, const sao_param_t &r) {
  int64_t d = 0;
  if (r.type < 4) {
    static const int32_t idx[4] = {0, 1, 3, 4};
    for (int32_t k = 0; k < 4; k++) d += delta_distortion(st.count[idx[k]], st.sum[idx[k]], r.offset[k]);
  } else {
    for (int32_t k = 0; k < 4; k++) {
      const int32_t b = (r.band_position + k) & 31;
      d += delta_distortion(st.count[b], st.sum[b], r.offset[k]);
    }
  }
  return d;
}

// Offsets of a type from statistics; returns dD.
int64_t choose_offsets(const sao_stats_t &st, int32_t type, int64_t l, sao_param_t *r) {
  r->type = type;
  r->band_position = 0;
  if (type < 4) {
    static const int32_t idx[4] = {0, 1, 3, 4};
    for (int32_t k = 0; k < 4; k++) r->offset[k] = eo_offset(st.count[idx[k]], st.sum[idx[k]], l, k < 2);
    return record_distortion(st, *r);
  }
  int32_t off[32];
  int64_t cost[32], dd[32];
  for (int32_t b = 0; b < 32; b++) {
    off[b] = eo_offset(st.count[b], st.sum[b], l, st.sum[b] > 0);
    dd[b] = delta_distortion(st.count[b], st.sum[b], off[b]);
    cost[b] = off[b] == 0 ? l : (dd[b] << 8) + (std::abs(off[b]) + 1) * l;
  }
  int32_t best = 0;
  int64_t best_sum = COST_MAX;
  for (int32_t start = 0; start <= 28; start++) {
    const int64_t sum = cost[start] + cost[start + 1] + cost[start + 2] + cost[start + 3];
    if (sum < best_sum) {
      best_sum = sum;
      best = start;
    }
  }
  r->band_position = best;
  int64_t d = 0;
  for (int32_t k = 0; k < 4; k++) {
    r->offset[k] = off[best + k];
    d += dd[best + k];
  }
  return d;
}

const sao_param_t sao_off = {5, 0, {0, 0, 0, 0}};

}  // namespace

void sao_param_bits(cabac_est_t *est, const sao_param_t *p, int32_t component) {
  if (component < 2) {
    cabac_est_bin(est, CTX_SAO_TYPE_IDX, p->type != 5);
    if (p->type != 5) est->bits += 256;
  }
  if (p->type == 5) return;
  for (int32_t k = 0; k < 4; k++) {
    const int32_t a = std::abs(p->offset[k]);
    est->bits += 256u * static_cast<uint32_t>(a < 7 ? a + 1 : 7);
  }
  if (p->type == 4) {
    for (int32_t k = 0; k < 4; k++) est->bits += p->offset[k] ? 256 : 0;
    est->bits += 1280;
  } else if (component < 2) {
    est->bits += 512;
  }
}

void sao_decide_ctu(encoder_t *ctx) {
  const int32_t enabled = ctx->sao_enable;  // bit 0 luma, bit 1 chroma
  const int32_t addr = ctx->ctu_addr;
  sao_param_t *rec[3] = {&ctx->sao_params[0][addr], &ctx->sao_params[1][addr], &ctx->sao_params[2][addr]};
  for (int32_t c = 0; c < 3; c++) *rec[c] = sao_off;
  ctx->sao_merge[addr] = SAO_MERGE_NONE;
  if (!enabled) return;
  const int64_t l = static_cast<int64_t>(ctx->lambda_ssd * 256.0);
  // Chroma errors weigh as in the block decisions (the QP's chroma weight,
  // 256 = 1.0): the offsets trade luma error for chroma error, so the same
  // exchange rate has to hold here as where the residuals were chosen.
  const int64_t w_chroma = chroma_weight(ctx->tables, ctx->ctu_qp);
  const int32_t types = ctx->param.complexity < 3 ? 2 : ctx->param.complexity == 3 ? (ctx->param.latency_mode == 0 ? 4 : 5) : 5;

  // Under real-time pressure (and at mode 2 in B pictures, whose quality
  // matters least) no search: SAO stays off, merged from a neighbour that is
  // off too so the merge flag is all that is coded.
  const int32_t ftype = ctx->cur_input->frame_type_code;
  if (ctx->speed_mode > 2 || (ctx->speed_mode == 2 && (ftype == 5 || ftype == 6))) {
    auto all_off = [&](int32_t nb) {
      return (!(enabled & 1) || ctx->sao_params[0][nb].type == 5) && (!(enabled & 2) || ctx->sao_params[1][nb].type == 5);
    };
    if (ctx->ctu_x > 0 && all_off(addr - 1))
      ctx->sao_merge[addr] = SAO_MERGE_LEFT;
    else if (ctx->ctu_y > 0 && all_off(addr - ctx->ctu_cols))
      ctx->sao_merge[addr] = SAO_MERGE_UP;
    return;
  }

  // Planes, and the samples just outside the CTU replicated from its edge.
  frame_t *f = ctx->cur_recon;
  plane_ctx_t pl[3];
  for (int32_t c = 0; c < 3; c++) {
    const int32_t n = c ? 32 : 64, sh = c ? 1 : 0;
    const int32_t x0 = ctx->ctu_x * n, y0 = ctx->ctu_y * n;
    pl[c].stride = f->stride[c];
    pl[c].deblocked = f->work[c] + y0 * f->stride[c] + x0;
    pl[c].source = ctx->cur_input->plane[c] + y0 * ctx->cur_input->stride[c] + x0;
    pl[c].w = std::min(n, (ctx->width >> sh) - x0);
    pl[c].h = std::min(n, (ctx->height >> sh) - y0);
    pl[c].whole = pl[c].w == n && pl[c].h == n;
    pl[c].diff = ctx->sao_diff[c];
    pl[c].is_luma = c == 0;
    if (!((c == 0 && (enabled & 1)) || (c > 0 && (enabled & 2)))) continue;
    uint8_t *b = pl[c].deblocked;
    const int32_t s = pl[c].stride, w = pl[c].w, h = pl[c].h;
    for (int32_t y = 0; y < h; y++) {
      if (ctx->ctu_x == 0) b[y * s - 1] = b[y * s];
      b[y * s + w] = b[y * s + w - 1];
    }
    std::memcpy(b + h * s - 1, b + (h - 1) * s - 1, n + 2);
    if (ctx->ctu_y == 0) std::memcpy(b - s - 1, b - 1, n + 2);
    if (pl[c].whole)
      ctx->sao.sao_diff(pl[c].diff, b, s, pl[c].source, ctx->cur_input->stride[c], c == 0);
    else
      ctx->sao.sao_diff_wxh(pl[c].diff, b, s, pl[c].source, ctx->cur_input->stride[c], c == 0, w, h);
  }

  cabac_est_t est = ctx->cabac.est;  // scratch: the real coding state stays as found
  bool examined[2][5] = {{false}, {false}};
  auto merge_cost = [&](int32_t nb_addr, uint32_t flag_bits) -> int64_t {
    int64_t d = 0;
    for (int32_t g = 0; g < 2; g++) {
      if (!(enabled & (1 << g))) continue;
      for (int32_t c = g ? 1 : 0; c <= (g ? 2 : 0); c++) {
        const sao_param_t &nr = ctx->sao_params[c][nb_addr];
        if (nr.type == 5) continue;
        sao_stats_t st;
        gather(ctx, pl[c], nr.type, &st);
        examined[g][nr.type] = true;
        const int64_t dd = record_distortion(st, nr);
        d += c ? (dd * w_chroma + 128) >> 8 : dd;
      }
    }
    return rd_cost<int64_t>(d, flag_bits, l);
  };
  int64_t j_left = COST_MAX, j_up = COST_MAX;
  if (ctx->ctu_x > 0) {
    cabac_est_t e = est;
    e.bits = 0;
    cabac_est_bin(&e, CTX_SAO_MERGE, 1);
    j_left = merge_cost(addr - 1, e.bits);
  }
  if (ctx->ctu_y > 0) {
    cabac_est_t e = est;
    e.bits = 0;
    if (ctx->ctu_x > 0) cabac_est_bin(&e, CTX_SAO_MERGE, 0);
    cabac_est_bin(&e, CTX_SAO_MERGE, 1);
    j_up = merge_cost(addr - ctx->ctu_cols, e.bits);
  }
  cabac_est_t flags = est;
  flags.bits = 0;
  if (ctx->ctu_x > 0) cabac_est_bin(&flags, CTX_SAO_MERGE, 0);
  if (ctx->ctu_y > 0) cabac_est_bin(&flags, CTX_SAO_MERGE, 0);
  const int64_t j_flags = rd_cost<int64_t>(0, flags.bits, l);
  // Type bins continue from the state after the merge flags.
  cabac_est_t after = flags;

  sao_param_t best_rec[3] = {sao_off, sao_off, sao_off};
  int64_t j_luma = 0, j_chroma = 0;
  if (enabled & 1) {
    cabac_est_t e = after;
    e.bits = 0;
    sao_param_bits(&e, &sao_off, 0);
    const int64_t j_off = rd_cost<int64_t>(0, e.bits, l);
    j_luma = COST_MAX;
    for (int32_t t = 0; t < types; t++) {
      if (examined[0][t]) continue;
      sao_stats_t st;
      gather(ctx, pl[0], t, &st);
      sao_param_t r;
      const int64_t d = choose_offsets(st, t, l, &r);
      if (!r.offset[0] && !r.offset[1] && !r.offset[2] && !r.offset[3]) continue;
      cabac_est_t eb = after;
      eb.bits = 0;
      sao_param_bits(&eb, &r, 0);
      const int64_t j = rd_cost<int64_t>(d, eb.bits, l);
      if (j < j_luma) {
        j_luma = j;
        best_rec[0] = r;
      }
    }
    // Off wins only when strictly cheaper than the best type.
    if (j_off < j_luma) {
      j_luma = j_off;
      best_rec[0] = sao_off;
    }
  }
  if (enabled & 2) {
    cabac_est_t e = after;
    e.bits = 0;
    sao_param_bits(&e, &sao_off, 1);
    const int64_t j_off = rd_cost<int64_t>(0, e.bits, l);
    j_chroma = COST_MAX;
    for (int32_t t = 0; t < types; t++) {
      if (examined[1][t]) continue;
      sao_param_t r[2];
      int64_t d = 0;
      for (int32_t c = 1; c <= 2; c++) {
        sao_stats_t st;
        gather(ctx, pl[c], t, &st);
        d += (choose_offsets(st, t, l, &r[c - 1]) * w_chroma + 128) >> 8;
      }
      cabac_est_t eb = after;
      eb.bits = 0;
      sao_param_bits(&eb, &r[0], 1);
      sao_param_bits(&eb, &r[1], 2);
      const int64_t j = rd_cost<int64_t>(d, eb.bits, l);
      if (j < j_chroma) {
        j_chroma = j;
        best_rec[1] = r[0];
        best_rec[2] = r[1];
      }
    }
    if (j_off < j_chroma) {
      j_chroma = j_off;
      best_rec[1] = best_rec[2] = sao_off;
    }
  }
  const int64_t j_new = j_luma + j_flags + j_chroma;
  if (std::min(j_left, j_up) <= j_new) {
    const int32_t from = j_left >= j_up ? addr - ctx->ctu_cols : addr - 1;
    ctx->sao_merge[addr] = j_left >= j_up ? SAO_MERGE_UP : SAO_MERGE_LEFT;
    for (int32_t c = 0; c < 3; c++)
      if ((c == 0 && (enabled & 1)) || (c > 0 && (enabled & 2))) *rec[c] = ctx->sao_params[c][from];
    return;
  }
  for (int32_t c = 0; c < 3; c++) *rec[c] = best_rec[c];
}
