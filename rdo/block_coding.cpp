#include "rdo/block_coding.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "analysis/analysis_tables.h"
#include "analysis/decision_common.h"
#include "encoder/encoder.h"
#include "rdo/quant_memo.h"
#include "rdo/zero_block.h"

namespace {
// chroma_weight within this file, where every transform block asks for it:
// the exported function is a call that the library's position-independent
// build never takes inline.
inline uint32_t chroma_weight_of(const analysis_tables_t *tables, int32_t qp) {
  return tables->chroma_weight_table[std::clamp(qp, 0, CHROMA_WEIGHT_COUNT - 1)];
}
}  // namespace

uint32_t chroma_weight(const analysis_tables_t *tables, int32_t qp) { return chroma_weight_of(tables, qp); }

int32_t chroma_qp(int32_t qpy) {
  static const uint8_t table[14] = {29, 30, 31, 32, 33, 33, 34, 34, 35, 35, 36, 36, 37, 37};
  int32_t qpi = qpy < 0 ? 0 : qpy > 57 ? 57 : qpy;
  if (qpi < 30) return qpi;
  if (qpi > 43) return qpi - 6;
  return table[qpi - 30];
}

int32_t chroma_mode_of(int32_t syntax, int32_t luma_mode) {
  static const uint8_t modes[4] = {0, 26, 10, 1};
  if (syntax == 4) return luma_mode;
  int32_t m = modes[syntax];
  return m == luma_mode ? 34 : m;
}

void intra_refs_keep_begin(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size) {
  ctx->refs_keep = 1;
  ctx->refs_x = x;
  ctx->refs_y = y;
  ctx->refs_log2 = log2_size;
  std::memset(ctx->refs_kept, 0, sizeof(ctx->refs_kept));
}

void intra_refs_keep_end(encoder_t *ctx) { ctx->refs_keep = 0; }

// An array of 4N + 1 samples (N = 4..32) in copies of fixed lengths, rounded
// up to 16 bytes: 32, 48, 80, 144 (every array holds 144, chroma's 96).
static void kept_copy(uint8_t *dst, const uint8_t *src, int32_t log2_size) {
  switch (log2_size) {
    case 2: std::memcpy(dst, src, 32); break;
    case 3: std::memcpy(dst, src, 48); break;
    case 4: std::memcpy(dst, src, 80); break;
    default: std::memcpy(dst, src, 144); break;
  }
}

bool intra_quarters_begin(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size) {
  if ((y == 0 && ctx->ctu_y == 0) || (x == 0 && ctx->ctu_x == 0)) return false;
  const int32_t d = ctx->quarter_depth++;
  ctx->quarter_x[d] = x;
  ctx->quarter_y[d] = y;
  ctx->quarter_log2[d] = log2_size;
  kept_copy(ctx->quarter_nb[d], ctx->nb_luma, log2_size);
  return true;
}

void intra_quarters_end(encoder_t *ctx) { ctx->quarter_depth--; }

// The array of quarter q of a block of size 2n whose own array is p (both
// of its edges exist).  Samples outside the block are p's: the same
// samples with the same availability (an edge's run is a prefix of its
// units, and the block's and the quarter's runs end at the same unit), and
// where missing the same substitute, the last sample present along that
// edge.  The others come from the quarters coded before it; the block of a
// quarter's size right of or below a quarter is never coded yet.
template <int N>
void quarter_neighbours(const uint8_t *p, const uint8_t *rec, int32_t q, uint8_t *nb) {
  // rec: the block's top-left sample; p: corner, 4N above, 4N left.
  const uint8_t *p_above = p + 1, *p_left = p + 4 * N + 1;
  uint8_t *above = nb + 1, *left = nb + 2 * N + 1;
  auto column = [rec](uint8_t *out, int32_t cx, int32_t cy) {
    for (int32_t j = 0; j < N; j++) out[j] = rec[(cy + j) * RECON_STRIDE + cx];
  };
  switch (q) {
    case 0:
      nb[0] = p[0];
      std::memcpy(above, p_above, 2 * N);
      std::memcpy(left, p_left, 2 * N);
      break;
    case 1:
      nb[0] = p_above[N - 1];
      std::memcpy(above, p_above + N, 2 * N);
      column(left, N - 1, 0);
      std::memset(left + N, left[N - 1], N);
      break;
    case 2:
      nb[0] = p_left[N - 1];
      std::memcpy(above, rec + (N - 1) * RECON_STRIDE, 2 * N);
      std::memcpy(left, p_left + N, 2 * N);
      break;
    default:
      nb[0] = rec[(N - 1) * RECON_STRIDE + N - 1];
      std::memcpy(above, rec + (N - 1) * RECON_STRIDE + N, N);
      std::memset(above + N, above[N - 1], N);
      column(left, N - 1, N);
      std::memset(left + N, left[N - 1], N);
      break;
  }
}

// The array of a luma block that is a quarter of the innermost block whose
// quarters are tried, derived from that block's; false for any other block.
static bool quarter_from_parent(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, uint8_t *nb) {
  const int32_t d = ctx->quarter_depth - 1;
  if (d < 0 || ctx->quarter_log2[d] != log2_size + 1) return false;
  // Both offsets 0 or n (as unsigned, a negative one has other bits too).
  const uint32_t n = 1u << log2_size;
  const uint32_t dx = static_cast<uint32_t>(x - ctx->quarter_x[d]), dy = static_cast<uint32_t>(y - ctx->quarter_y[d]);
  if ((dx | dy) & ~n) return false;
  const int32_t q = static_cast<int32_t>((dx | dy << 1) >> log2_size);
  const uint8_t *rec = ctu_rec_at(ctx, 0, ctx->quarter_x[d], ctx->quarter_y[d]);
  switch (log2_size) {
    case 2: quarter_neighbours<4>(ctx->quarter_nb[d], rec, q, nb); break;
    case 3: quarter_neighbours<8>(ctx->quarter_nb[d], rec, q, nb); break;
    default: quarter_neighbours<16>(ctx->quarter_nb[d], rec, q, nb); break;
  }
  return true;
}

void intra_prepare_refs(encoder_t *ctx, int32_t plane, int32_t x, int32_t y, int32_t log2_size) {
  uint8_t *nb = plane == 0 ? ctx->nb_luma : ctx->nb_chroma[plane - 1];
  if (plane == 0 && ctx->quarter_depth && quarter_from_parent(ctx, x, y, log2_size, nb)) {
    if (log2_size > 2) ctx->intra.ref_filter[log2_size - 2](nb, ctx->nb_luma_smooth);
    return;
  }
  const bool smooth = plane == 0 && log2_size > 2;
  // A block at the corner of the region under trial sees only samples
  // outside it: its arrays are those built for the first trial.
  const int32_t sh = plane ? 1 : 0;
  const bool corner = ctx->refs_keep && x == ctx->refs_x >> sh && y == ctx->refs_y >> sh &&
                      log2_size <= (plane ? 4 : 5) && (plane == 0 || ctx->refs_log2 >= 3);
  uint8_t *kept = nullptr, *kept_smooth = nullptr;
  if (corner) {
    const int32_t i = log2_size - 2;
    kept = plane ? ctx->nb_kept_chroma[plane - 1][i] : ctx->nb_kept_luma[i];
    kept_smooth = ctx->nb_kept_luma_smooth[i];
    if (ctx->refs_kept[plane] >> i & 1) {
      kept_copy(nb, kept, log2_size);
      if (smooth) kept_copy(ctx->nb_luma_smooth, kept_smooth, log2_size);
      return;
    }
    ctx->refs_kept[plane] = static_cast<uint8_t>(ctx->refs_kept[plane] | 1 << i);
  }
  intra_build_neighbours(ctx, plane, x, y, 1 << log2_size, 0, nb);
  if (smooth) ctx->intra.ref_filter[log2_size - 2](nb, ctx->nb_luma_smooth);
  if (kept) {
    kept_copy(kept, nb, log2_size);
    if (smooth) kept_copy(kept_smooth, ctx->nb_luma_smooth, log2_size);
  }
}

namespace {

// Bit m of entry log2_size: luma mode m at that size predicts from the
// smoothed array (one look-up instead of the rule's arithmetic per call).
struct smoothing_masks_t {
  uint64_t by_size[8];
  constexpr smoothing_masks_t() : by_size{} {
    for (int32_t log2_size = 0; log2_size < 8; log2_size++)
      for (int32_t mode = 0; mode < 35; mode++)
        if (intra_needs_smoothing(mode, log2_size)) by_size[log2_size] |= uint64_t{1} << mode;
  }
};
constexpr smoothing_masks_t smoothing_masks;

}  // namespace

void intra_predict_prepared(encoder_t *ctx, int32_t plane, int32_t x, int32_t y, int32_t log2_size, int32_t mode) {
  if (plane == 0) {
    // Reference smoothing applies to luma only in 4:2:0 (H.265 8.4.4.2.3).
    const uint8_t *ref = smoothing_masks.by_size[log2_size & 7] >> mode & 1 ? ctx->nb_luma_smooth : ctx->nb_luma;
    // The DC and pure horizontal/vertical edge filters: luma below 32x32 only.
    intra_predictor(ctx->intra, mode, log2_size < 5 ? 1 : 0, log2_size)(ctu_rec_at(ctx, 0, x, y), RECON_STRIDE, ref);
    return;
  }
  intra_predictor(ctx->intra, mode, 0, log2_size)(ctu_rec_at(ctx, plane, x, y), RECON_STRIDE,
                                                  ctx->nb_chroma[plane - 1]);
}

void intra_predict_block(encoder_t *ctx, int32_t plane, int32_t x, int32_t y, int32_t log2_size, int32_t mode) {
  intra_prepare_refs(ctx, plane, x, y, log2_size);
  intra_predict_prepared(ctx, plane, x, y, log2_size, mode);
}

// Out of line, so that the quick path below keeps a light frame.
[[gnu::noinline]] static void intra_predict_luma_4x4_built(encoder_t *ctx, int32_t x, int32_t y, int32_t mode) {
  intra_predict_block(ctx, 0, x, y, 2, mode);
}

[[gnu::flatten]] void intra_predict_luma_4x4(encoder_t *ctx, int32_t x, int32_t y, int32_t mode) {
  // Most 4x4 blocks a tree search codes are quarters of the 8x8 block whose
  // quarters it tries: their arrays come from that block's, without the
  // general path's checks for the kept corner arrays, the size and the
  // plane (4x4 luma arrays are never smoothed).
  const int32_t d = ctx->quarter_depth - 1;
  if (d < 0 || ctx->quarter_log2[d] != 3) return intra_predict_luma_4x4_built(ctx, x, y, mode);
  const uint32_t dx = static_cast<uint32_t>(x - ctx->quarter_x[d]), dy = static_cast<uint32_t>(y - ctx->quarter_y[d]);
  if ((dx | dy) & ~4u) return intra_predict_luma_4x4_built(ctx, x, y, mode);
  const int32_t q = static_cast<int32_t>((dx | dy << 1) >> 2);
  quarter_neighbours<4>(ctx->quarter_nb[d], ctu_rec_at(ctx, 0, ctx->quarter_x[d], ctx->quarter_y[d]), q, ctx->nb_luma);
  intra_predictor(ctx->intra, mode, 1, 2)(ctu_rec_at(ctx, 0, x, y), RECON_STRIDE, ctx->nb_luma);
}

void intra_predict_luma_64(encoder_t *ctx, int32_t x, int32_t y, int32_t mode, bool from_source) {
  for (int32_t k = 0; k < 4; k++) {
    const int32_t qx = x + (k & 1) * 32, qy = y + (k >> 1) * 32;
    if (!from_source) {
      intra_predict_block(ctx, 0, qx, qy, 5, mode);
      continue;
    }
    intra_build_neighbours(ctx, 0, qx, qy, 32, 1, ctx->nb_luma);
    ctx->intra.ref_filter[3](ctx->nb_luma, ctx->nb_luma_smooth);
    intra_predict_prepared(ctx, 0, qx, qy, 5, mode);
  }
}

void intra_predict_luma(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t mode) {
  if (log2_size == 6) return intra_predict_luma_64(ctx, x, y, mode, false);
  if (ctx->intra_refs_refresh) intra_prepare_refs(ctx, 0, x, y, log2_size);
  intra_predict_prepared(ctx, 0, x, y, log2_size, mode);
}

void intra_rough_luma_costs(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, pixel_cost_fn kernel,
                            const uint8_t *modes, int32_t count, uint32_t *costs) {
  const uint8_t *src = ctu_src_at(ctx, 0, x, y);
  uint8_t *dst = ctu_rec_at(ctx, 0, x, y);
  if (log2_size == 6) {
    for (int32_t i = 0; i < count; i++) {
      intra_predict_luma_64(ctx, x, y, modes[i], false);
      costs[i] = kernel(src, SRC_STRIDE, dst, RECON_STRIDE);
      ctx->intra_refs_refresh = 0;
    }
    return;
  }
  if (count > 0 && ctx->intra_refs_refresh) intra_prepare_refs(ctx, 0, x, y, log2_size);
  if (log2_size == 2 && kernel == ctx->pixel.satd[4]) {
    // Four predictions side by side, costed by one call; the last one is
    // then copied where predicting it in place would have put it.
    alignas(16) uint8_t four[4 * 16] = {};
    int32_t i = 0;
    for (; i + 4 <= count; i += 4) {
      for (int32_t k = 0; k < 4; k++) intra_predictor(ctx->intra, modes[i + k], 1, 2)(four + 4 * k, 16, ctx->nb_luma);
      ctx->pixel.satd_x4_4x4(src, SRC_STRIDE, four, 16, costs + i);
    }
    if (i < count) {
      for (int32_t k = 0; i + k < count; k++) intra_predictor(ctx->intra, modes[i + k], 1, 2)(four + 4 * k, 16, ctx->nb_luma);
      uint32_t c[4];
      ctx->pixel.satd_x4_4x4(src, SRC_STRIDE, four, 16, c);
      for (int32_t k = 0; i + k < count; k++) costs[i + k] = c[k];
    }
    if (count > 0) {
      const uint8_t *last = four + 4 * ((count - 1) & 3);
      for (int32_t r = 0; r < 4; r++) std::memcpy(dst + r * RECON_STRIDE, last + 16 * r, 4);
      ctx->intra_refs_refresh = 0;
    }
    return;
  }
  // The per-mode choices of intra_predict_prepared, taken once for the size.
  const uint64_t smoothed = smoothing_masks.by_size[log2_size & 7];
  const int32_t edge_filter = log2_size < 5 ? 1 : 0;
  for (int32_t i = 0; i < count; i++) {
    const int32_t mode = modes[i];
    const uint8_t *ref = smoothed >> mode & 1 ? ctx->nb_luma_smooth : ctx->nb_luma;
    intra_predictor(ctx->intra, mode, edge_filter, log2_size)(dst, RECON_STRIDE, ref);
    costs[i] = kernel(src, SRC_STRIDE, dst, RECON_STRIDE);
  }
  if (count > 0) ctx->intra_refs_refresh = 0;
}

namespace {

// The squared quantiser step 2^((qp - 4) / 3) and a level step's squared
// error scale 2^(2 * shift) of the sign-hiding rate weight, computed once
// with the same function rather than per block.
struct sign_hiding_powers_t {
  double qstep2[64];
  double level_step2[32];
  sign_hiding_powers_t() {
    for (int32_t qp = 0; qp < 64; qp++) qstep2[qp] = std::exp2((qp - 4) / 3.0);
    for (int32_t shift = 0; shift < 32; shift++) level_step2[shift] = std::exp2(2.0 * shift);
  }
};

// Built before the encoder runs: no guarded first use on every block.
const sign_hiding_powers_t sign_hiding_powers;

}  // namespace

namespace {

// Quantises coef into levels (plainly or rate-distortion optimised, then
// sign hiding where the picture uses it); returns the non-zero count.
// rdoq: ctx->param.rdoq, which the caller has tested already.
template <bool rdoq>
[[gnu::always_inline]] inline uint32_t quantise_block(encoder_t *ctx, int32_t log2_size, int32_t qp, int32_t is_intra,
                        int32_t scan_idx, const rdoq_request_t &req, int16_t *levels, const int16_t *coef) {
  const int32_t count = 1 << (2 * log2_size);
  uint32_t nz;
  if constexpr (rdoq)
    nz = (ctx->use_rdoq_alt ? ctx->quant.rdoq_alt : ctx->quant.rdoq)(&req);
  else {
    const quant_params_t qpar = quant_params(qp, log2_size, is_intra);
    nz = ctx->quant.quant(levels, coef, count, qpar.scale, qpar.shift, qpar.offset);
  }
  // A lone level spans nothing: sign hiding needs two levels in a group.
  if (nz >= 2 && ctx->pps->sign_data_hiding) {
    const quant_params_t qpar = quant_params(qp, log2_size, is_intra);
    // One level step is 2^shift in err units and Qstep^2 in squared
    // sample error; lambda weighs a bit against the latter.
    double rate_weight = 0;
    if constexpr (rdoq) {
      const sign_hiding_powers_t &pw = sign_hiding_powers;
      const double qstep2 = qp >= 0 && qp < 64 ? pw.qstep2[qp] : std::exp2((qp - 4) / 3.0);
      const double step2 = qpar.shift >= 0 && qpar.shift < 32 ? pw.level_step2[qpar.shift] : std::exp2(2.0 * qpar.shift);
      rate_weight = ctx->ctu_lambda_ssd / 256.0 * step2 / qstep2;
    }
    nz = ctx->quant.sign_hide(levels, coef, log2_size, scan_idx, nz, qpar.scale, qpar.shift, rate_weight);
  }
  return nz;
}

// quantise_block through the memo's table of N x N blocks: the kept
// outcome where the coefficients, parameters and read states are those of
// an entry, else decided and kept in the coefficients' slot.
template <int32_t N, int32_t SLOTS>
[[gnu::always_inline]] inline uint32_t quantise_block_memo(quant_memo_entry_t<N> (&table)[SLOTS], const quant_memo_key_t &key, encoder_t *ctx,
                             int32_t log2_size, int32_t qp, int32_t is_intra, int32_t scan_idx,
                             const rdoq_request_t &req, int16_t *levels, const int16_t *coef) {
  constexpr size_t bytes = sizeof(int16_t) * N * N;
  quant_memo_entry_t<N> &e = table[quant_memo_slot(coef, SLOTS)];
  uint8_t *const st = ctx->cabac.est.state;
  uint8_t *const copies = st + 186;
  if (e.key == key && quant_memo_same<bytes>(e.coef, coef) &&
      quant_memo_same<QUANT_MEMO_STATES>(e.state, st + QUANT_MEMO_STATES_AT)) {
    std::memcpy(levels, e.levels, bytes);
    std::memcpy(copies, e.copies, sizeof e.copies);
    return e.nonzero;
  }
  e.key = {};
  std::memcpy(e.state, st + QUANT_MEMO_STATES_AT, QUANT_MEMO_STATES);
  std::memcpy(e.coef, coef, bytes);
  const uint32_t nz = quantise_block<true>(ctx, log2_size, qp, is_intra, scan_idx, req, levels, coef);
  std::memcpy(e.levels, levels, bytes);
  std::memcpy(e.copies, copies, sizeof e.copies);
  e.nonzero = nz;
  e.key = key;
  return nz;
}

// The memo's lookup (complexity 5's 4x4 and 8x8 blocks) and the plain
// quantiser, out of line: inlined, their copies and key crowded the
// registers of the common path, rate-distortion optimised without the memo.
[[gnu::noinline]] uint32_t quantise_block_memo_of(encoder_t *ctx, int32_t log2_size, int32_t qp, int32_t is_intra,
                                                  int32_t scan_idx, const rdoq_request_t &req, int16_t *levels,
                                                  const int16_t *coef) {
  quant_memo_t *memo = ctx->quant_memo;
  const quant_memo_key_t key = quant_memo_key(log2_size, req.plane, scan_idx, is_intra, ctx->use_rdoq_alt,
                                              ctx->pps->sign_data_hiding, qp, req.chroma_weight, req.lambda,
                                              req.cbf_bits);
  return log2_size == 2
             ? quantise_block_memo(memo->q4, key, ctx, log2_size, qp, is_intra, scan_idx, req, levels, coef)
             : quantise_block_memo(memo->q8, key, ctx, log2_size, qp, is_intra, scan_idx, req, levels, coef);
}

[[gnu::noinline]] uint32_t quantise_block_plain(encoder_t *ctx, int32_t log2_size, int32_t qp, int32_t is_intra,
                                                int32_t scan_idx, int16_t *levels, const int16_t *coef) {
  return quantise_block<false>(ctx, log2_size, qp, is_intra, scan_idx, rdoq_request_t{}, levels, coef);
}

}  // namespace

namespace {

// The coding of a block of one plane class: luma (chroma 0), the most
// frequent, without any of the plane tests of the block's buffers, transform
// and contexts.
template <int32_t chroma>
[[gnu::always_inline]] inline uint32_t code_block(encoder_t *ctx, int32_t plane, int32_t x, int32_t y,
                                                  int32_t log2_size, int32_t qp, int32_t is_intra, int32_t pred_mode,
                                                  int16_t *levels) {
  if constexpr (!chroma) plane = 0;
  const int32_t count = 1 << (2 * log2_size);
  uint8_t *src = ctu_src_at(ctx, plane, x, y);
  uint8_t *rec = ctu_rec_at(ctx, plane, x, y);
  int16_t *coef = ctx->coef_tmp;
  const transform_funcs_t &t = ctx->transform;
  if constexpr (chroma) {
    // Most chroma residuals are too small to keep any level: such a block
    // is left empty as the quantiser would leave it, without transforming it.
    if (residual_rounds_to_zero(ctx->pixel.ssd[6 - log2_size](src, SRC_STRIDE, rec, RECON_STRIDE), log2_size, qp)) {
      // Chroma blocks are 4x4 to 16x16: stores of a known size.
      switch (log2_size) {
        case 2: std::memset(levels, 0, 2 * 16); break;
        case 3: std::memset(levels, 0, 2 * 64); break;
        default: std::memset(levels, 0, 2 * 256); break;
      }
      return 0;
    }
  }
  // Only intra luma 4x4 blocks use the DST; 35 selects the DCT.
  const int32_t dst_mode = (is_intra && !chroma) ? pred_mode : 35;
  // By frequency: 4x4 blocks are most of the calls.
  if (log2_size == 2)
    t.dct_fwd_4x4(coef, src, rec, dst_mode);
  else if (log2_size == 3)
    t.dct_fwd_8x8(coef, src, rec);
  else if (log2_size == 4)
    t.dct_fwd_16x16(coef, src, rec);
  else
    t.dct_fwd_32x32(coef, src, rec);
  const int32_t scan_idx = scan_idx_for(is_intra, pred_mode, log2_size, chroma);
  uint32_t nz;
  if (ctx->param.rdoq) {
    // A block left empty also spares its cbf, which decides whether a lone
    // small level is worth coding.  Its context follows the block's depth
    // below the committed CU.
    const int32_t sh = chroma;
    const int32_t cu_log2 = ctx->maps->unit.cu_log2[zorder_of(((x << sh) >> 2) & 15, ((y << sh) >> 2) & 15)];
    const int32_t depth = std::max(cu_log2 - std::max(log2_size + sh, 3), 0);
    const int32_t cbf_ctx = chroma ? CTX_CBF_CHROMA + std::min(depth, 4) : CTX_CBF_LUMA + (depth == 0 ? 1 : 0);
    const uint8_t cbf_state = ctx->cabac.est.state[cbf_ctx];
    const rdoq_request_t req{levels,
                             coef,
                             log2_size,
                             plane,
                             qp,
                             is_intra,
                             scan_idx,
                             ctx->ctu_lambda_ssd,
                             // Luma distortion is never weighted.
                             chroma ? static_cast<int32_t>(chroma_weight_of(ctx->tables, qp)) : 0,
                             &ctx->cabac.est,
                             {cabac_bit_cost_table[cbf_state], cabac_bit_cost_table[cbf_state ^ 1]}};
    // The complexity first: it rules the memo out at most levels.
    if (ctx->param.complexity <= QUANT_MEMO_MAX_COMPLEXITY && ctx->param.complexity >= QUANT_MEMO_MIN_COMPLEXITY &&
        ctx->quant_memo && log2_size <= 3)
      nz = quantise_block_memo_of(ctx, log2_size, qp, is_intra, scan_idx, req, levels, coef);
    else
      nz = quantise_block<true>(ctx, log2_size, qp, is_intra, scan_idx, req, levels, coef);
  } else {
    nz = quantise_block_plain(ctx, log2_size, qp, is_intra, scan_idx, levels, coef);
  }
  if (!nz) return 0;
  const quant_params_t dq = dequant_params(qp, log2_size);
  ctx->quant.dequant(ctx->dq_tmp, levels, count, dq.scale, dq.shift);
  if (log2_size == 2)
    t.dct_inv_add_4x4(rec, ctx->dq_tmp, dst_mode);
  else if (log2_size == 3)
    t.dct_inv_add_8x8(rec, ctx->dq_tmp);
  else if (log2_size == 4)
    t.dct_inv_add_16x16(rec, ctx->dq_tmp);
  else
    t.dct_inv_add_32x32(rec, ctx->dq_tmp);
  return nz;
}

}  // namespace

uint32_t transform_block_code(encoder_t *ctx, int32_t plane, int32_t x, int32_t y, int32_t log2_size, int32_t qp,
                              int32_t is_intra, int32_t pred_mode, int16_t *levels) {
  if (plane == 0) return code_block<0>(ctx, 0, x, y, log2_size, qp, is_intra, pred_mode, levels);
  return code_block<1>(ctx, plane, x, y, log2_size, qp, is_intra, pred_mode, levels);
}

// One chroma block of an intra leaf at luma (x, y), predicted and coded
// into the levels of unit z; whether it has levels.
static bool code_chroma_block(encoder_t *ctx, int32_t p, int32_t x, int32_t y, int32_t log2_c, int32_t z,
                              int32_t cmode, int32_t qpc) {
  intra_predict_block(ctx, p, x >> 1, y >> 1, log2_c, cmode);
  return transform_block_code(ctx, p, x >> 1, y >> 1, log2_c, qpc, 1, cmode, ctx->maps->unit.coef_c[p - 1] + 4 * z) != 0;
}

static int32_t code_chroma_pair(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_c, int32_t z, int32_t log2_luma,
                                int32_t qp, int32_t luma_mode) {
  ctu_unit_maps_t *d = &ctx->maps->unit;
  const int32_t cmode = chroma_mode_of(d->chroma_syntax[z], luma_mode);
  const int32_t qpc = chroma_qp(qp);
  uint8_t bits = 0;
  for (int32_t p = 1; p <= 2; p++)
    if (code_chroma_block(ctx, p, x, y, log2_c, z, cmode, qpc)) bits |= static_cast<uint8_t>(1 << p);
  set_unit_bits(d->cbf, z, log2_luma, 6, bits);
  return bits != 0;
}

// With first_copies the first luma block is in place already: only the
// quantiser's luma scratch states are set as its coding left them.
static int32_t intra_tree_code(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t qp, bool chroma,
                               const uint8_t *first_copies = nullptr) {
  ctu_unit_maps_t *d = &ctx->maps->unit;
  const int32_t z = zorder_of(x >> 2, y >> 2);
  int32_t coded = 0;
  if (d->tu_log2[z] < log2_size) {
    const int32_t h = 1 << (log2_size - 1);
    for (int32_t k = 0; k < 4; k++)
      coded |= intra_tree_code(ctx, x + (k & 1) * h, y + (k >> 1) * h, log2_size - 1, qp, chroma,
                               k == 0 ? first_copies : nullptr);
    // Four 4x4 luma blocks carry their chroma as one 4x4 pair at the parent.
    if (log2_size == 3 && chroma) coded |= code_chroma_pair(ctx, x, y, 2, z, log2_size, qp, d->luma_mode[z]);
    return coded;
  }
  const int32_t mode = d->luma_mode[z];
  if (first_copies) {
    ctx->cabac.est.state[CABAC_NUM_CTX] = first_copies[0];
    ctx->cabac.est.state[CABAC_NUM_CTX + 2] = first_copies[1];
    coded |= d->cbf[z] & 1;
  } else {
    intra_predict_block(ctx, 0, x, y, log2_size, mode);
    const uint32_t nz = transform_block_code(ctx, 0, x, y, log2_size, qp, 1, mode, d->coef_y + 16 * z);
    set_unit_bits(d->cbf, z, log2_size, 1, nz ? 1 : 0);
    coded |= nz != 0;
  }
  if (log2_size > 2 && chroma) coded |= code_chroma_pair(ctx, x, y, log2_size - 1, z, log2_size, qp, mode);
  return coded;
}

int32_t intra_cu_code(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t qp) {
  return intra_tree_code(ctx, x, y, log2_size, qp, true);
}

int32_t intra_cu_code_luma(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t qp) {
  return intra_tree_code(ctx, x, y, log2_size, qp, false);
}

int32_t intra_cu_code_luma_after_first(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t qp,
                                       const uint8_t *copies) {
  return intra_tree_code(ctx, x, y, log2_size, qp, false, copies);
}

bool intra_leaf_code_chroma(encoder_t *ctx, int32_t plane, int32_t x, int32_t y, int32_t log2_size, int32_t qp) {
  ctu_unit_maps_t *d = &ctx->maps->unit;
  const int32_t z = zorder_of(x >> 2, y >> 2);
  const int32_t cmode = chroma_mode_of(d->chroma_syntax[z], d->luma_mode[z]);
  const bool coded = code_chroma_block(ctx, plane, x, y, log2_size - 1, z, cmode, chroma_qp(qp));
  const uint8_t bit = static_cast<uint8_t>(1 << plane);
  set_unit_bits(d->cbf, z, log2_size, bit, coded ? bit : 0);
  return coded;
}

