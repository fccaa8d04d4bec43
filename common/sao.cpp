// Portable sample adaptive offset functions (H.265 8.7.3): the source minus
// deblocked differences and the per-category statistics of the SAO decision,
// and the block-level application of edge and band offsets.
#include <algorithm>
#include <cstring>

#include "common/primitives.h"
#include "encoder/encoder.h"
#include "filters/sao.h"
#include "simd/x86/simd_install.h"

namespace {

// Neighbour offsets (dx, dy) of the two samples compared in each edge class
// (H.265 Table 8-14 hPos / vPos).
constexpr int32_t EO_DX[4][2] = {{-1, 1}, {0, 0}, {-1, 1}, {1, -1}};
constexpr int32_t EO_DY[4][2] = {{0, 0}, {-1, 1}, {-1, 1}, {-1, 1}};

inline int32_t sign_of(int32_t v) { return (v > 0) - (v < 0); }

// Edge value e = sign(s - a) + sign(s - b), -2..2.
inline int32_t edge_value(const uint8_t *p, int32_t stride, int32_t eo_class) {
  const int32_t s = p[0];
  const int32_t a = p[EO_DY[eo_class][0] * stride + EO_DX[eo_class][0]];
  const int32_t b = p[EO_DY[eo_class][1] * stride + EO_DX[eo_class][1]];
  return sign_of(s - a) + sign_of(s - b);
}

inline int32_t block_side(int32_t is_luma) { return is_luma ? 64 : 32; }

// Columns of a partial block that the statistics cover: whole strips of 16
// inside the block.
inline int32_t counted_columns(int32_t w, int32_t is_luma) { return std::min(std::max(w, 0), block_side(is_luma)) & ~15; }
inline int32_t counted_rows(int32_t h, int32_t is_luma) { return std::min(h, block_side(is_luma)); }

void diff_block(int16_t *diff, int32_t diff_stride, const uint8_t *rec, int32_t rec_stride, const uint8_t *src,
                int32_t src_stride, int32_t w, int32_t h) {
  for (int32_t y = 0; y < h; y++)
    for (int32_t x = 0; x < w; x++)
      diff[y * diff_stride + x] = static_cast<int16_t>(src[static_cast<intptr_t>(y) * src_stride + x] -
                                                       rec[static_cast<intptr_t>(y) * rec_stride + x]);
}

void sao_diff_c(int16_t *diff, const uint8_t *rec, int32_t rec_stride, const uint8_t *src, int32_t src_stride,
                int32_t is_luma) {
  const int32_t n = block_side(is_luma);
  diff_block(diff, n, rec, rec_stride, src, src_stride, n, n);
}

// Partial blocks are measured in whole strips of 16 columns, the unit of
// the vector kernels; the columns past the last strip are left out of the
// statistics (the decision is an estimate; the offsets still apply to them).
// A width or height beyond the block is cut to the block.
void sao_diff_wxh_c(int16_t *diff, const uint8_t *rec, int32_t rec_stride, const uint8_t *src, int32_t src_stride,
                    int32_t is_luma, int32_t w, int32_t h) {
  diff_block(diff, block_side(is_luma), rec, rec_stride, src, src_stride, counted_columns(w, is_luma), counted_rows(h, is_luma));
}

void stats_eo(sao_stats_t *out, const uint8_t *deblocked, int32_t stride, int32_t is_luma, const int16_t *diff,
              int32_t w, int32_t h, int32_t eo_class) {
  std::memset(out, 0, sizeof(*out));
  const int32_t d = block_side(is_luma);
  for (int32_t y = 0; y < h; y++)
    for (int32_t x = 0; x < w; x++) {
      const int32_t k = edge_value(deblocked + static_cast<intptr_t>(y) * stride + x, stride, eo_class) + 2;
      out->count[k]++;
      out->sum[k] += diff[y * d + x];
    }
}

void stats_bo(sao_stats_t *out, const uint8_t *deblocked, int32_t stride, int32_t is_luma, const int16_t *diff,
              int32_t w, int32_t h) {
  std::memset(out, 0, sizeof(*out));
  const int32_t d = block_side(is_luma);
  for (int32_t y = 0; y < h; y++)
    for (int32_t x = 0; x < w; x++) {
      const int32_t band = deblocked[static_cast<intptr_t>(y) * stride + x] >> 3;
      out->count[band]++;
      out->sum[band] += diff[y * d + x];
    }
}

template <int CLASS>
void sao_stats_eo_c(sao_stats_t *out, const uint8_t *deblocked, int32_t stride, int32_t is_luma, const int16_t *diff,
                    void *) {
  const int32_t n = block_side(is_luma);
  stats_eo(out, deblocked, stride, is_luma, diff, n, n, CLASS);
}

template <int CLASS>
void sao_stats_eo_wxh_c(sao_stats_t *out, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                        const int16_t *diff, int32_t w, int32_t h, void *) {
  stats_eo(out, deblocked, stride, is_luma, diff, counted_columns(w, is_luma), counted_rows(h, is_luma), CLASS);
}

void sao_stats_bo_c(sao_stats_t *out, const uint8_t *deblocked, int32_t stride, int32_t is_luma, const int16_t *diff,
                    void *) {
  const int32_t n = block_side(is_luma);
  stats_bo(out, deblocked, stride, is_luma, diff, n, n);
}

void sao_stats_bo_wxh_c(sao_stats_t *out, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                        const int16_t *diff, int32_t w, int32_t h, void *) {
  stats_bo(out, deblocked, stride, is_luma, diff, counted_columns(w, is_luma), counted_rows(h, is_luma));
}

void sao_copy_c(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t w, int32_t h) {
  if (w <= 0) return;
  for (int32_t y = 0; y < h; y++)
    std::memcpy(dst + static_cast<intptr_t>(y) * dst_stride, src + static_cast<intptr_t>(y) * src_stride,
                static_cast<size_t>(w));
}

}  // namespace

// Applies the CTU's decided offsets of one plane from the deblocked samples
// (frame work planes) to the output plane (H.265 8.7.3).  Edge-offset
// samples whose neighbour lies outside the picture keep their value.
void sao_apply_ctu_c(encoder_t *ctx, int32_t col, int32_t row, int32_t plane, int32_t) {
  const frame_t *f = ctx->cur_recon;
  const int32_t n = plane ? 32 : 64, sh = plane ? 1 : 0;
  const int32_t x0 = col * n, y0 = row * n;
  const int32_t pw = ctx->width >> sh, ph = ctx->height >> sh;
  const int32_t w = std::min(n, pw - x0), h = std::min(n, ph - y0);
  const int32_t stride = f->stride[plane];
  const uint8_t *src = f->work[plane] + y0 * stride + x0;
  uint8_t *dst = f->plane[plane] + y0 * stride + x0;
  if (src == dst) return;
  const bool on = plane == 0 ? (ctx->sao_enable & 1) : (ctx->sao_enable & 2);
  const sao_param_t &r = ctx->sao_params[plane][row * ctx->ctu_cols + col];
  const sao_funcs_t &k = ctx->sao;
  if (!on || r.type == 5) {
    k.sao_copy(dst, stride, src, stride, w, h);
    return;
  }
  const int8_t offsets[5] = {static_cast<int8_t>(r.offset[0]), static_cast<int8_t>(r.offset[1]), 0,
                             static_cast<int8_t>(r.offset[2]), static_cast<int8_t>(r.offset[3])};
  if (r.type == 4) {
    k.sao_apply_bo(dst, stride, src, stride, offsets, r.band_position, w, h);
    return;
  }
  // Picture edges: the class's neighbour is missing, so the first or last
  // column or row is copied and the filter covers the samples between.
  const bool horizontal = r.type != 1, vertical = r.type != 0;
  const int32_t l = horizontal && x0 == 0, rt = horizontal && x0 + w == pw;
  const int32_t t = vertical && y0 == 0, b = vertical && y0 + h == ph;
  if (l) k.sao_copy(dst, stride, src, stride, 1, h);
  if (rt) k.sao_copy(dst + w - 1, stride, src + w - 1, stride, 1, h);
  if (t) k.sao_copy(dst, stride, src, stride, w, 1);
  if (b) k.sao_copy(dst + (h - 1) * stride, stride, src + (h - 1) * stride, stride, w, 1);
  const intptr_t inner = static_cast<intptr_t>(t) * stride + l;
  k.sao_apply_eo(dst + inner, stride, src + inner, stride, offsets, r.type, w - l - rt, h - t - b);
}

void sao_apply_eo_c(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                    const int8_t offsets[5], int32_t eo_class, int32_t w, int32_t h) {
  if (eo_class < 0 || eo_class > 3) return;
  for (int32_t y = 0; y < h; y++)
    for (int32_t x = 0; x < w; x++) {
      const uint8_t *p = src + static_cast<intptr_t>(y) * src_stride + x;
      const int32_t e = edge_value(p, src_stride, eo_class);
      // e = 0 is the edge category that carries no offset (H.265 8.7.3).
      const int32_t off = e == 0 ? 0 : offsets[e + 2];
      dst[static_cast<intptr_t>(y) * dst_stride + x] = static_cast<uint8_t>(std::clamp(p[0] + off, 0, 255));
    }
}

void sao_apply_bo_c(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                    const int8_t offsets[5], int32_t band_position, int32_t w, int32_t h) {
  // Table entry of each of the four signalled bands, in band order.
  static constexpr int32_t ENTRY[4] = {0, 1, 3, 4};
  for (int32_t y = 0; y < h; y++)
    for (int32_t x = 0; x < w; x++) {
      const int32_t s = src[static_cast<intptr_t>(y) * src_stride + x];
      const int32_t k = ((s >> 3) - band_position) & 31;
      const int32_t off = k < 4 ? offsets[ENTRY[k]] : 0;
      dst[static_cast<intptr_t>(y) * dst_stride + x] = static_cast<uint8_t>(std::clamp(s + off, 0, 255));
    }
}

void setup_sao_primitives(uint32_t cpu_flags, sao_funcs_t *s) {
  *s = sao_funcs_t{};
  s->sao_apply_ctu = sao_apply_ctu_c;
  s->sao_diff = sao_diff_c;
  s->sao_diff_wxh = sao_diff_wxh_c;
  s->sao_stats_eo[0] = sao_stats_eo_c<0>;
  s->sao_stats_eo[1] = sao_stats_eo_c<1>;
  s->sao_stats_eo[2] = sao_stats_eo_c<2>;
  s->sao_stats_eo[3] = sao_stats_eo_c<3>;
  s->sao_stats_bo = sao_stats_bo_c;
  s->sao_stats_eo_wxh[0] = sao_stats_eo_wxh_c<0>;
  s->sao_stats_eo_wxh[1] = sao_stats_eo_wxh_c<1>;
  s->sao_stats_eo_wxh[2] = sao_stats_eo_wxh_c<2>;
  s->sao_stats_eo_wxh[3] = sao_stats_eo_wxh_c<3>;
  s->sao_stats_bo_wxh = sao_stats_bo_wxh_c;
  s->sao_apply_eo = sao_apply_eo_c;
  s->sao_apply_bo = sao_apply_bo_c;
  s->sao_copy = sao_copy_c;

  if (cpu_flags & CPU_FLAG_SSSE3) install_sao_ssse3(s);
  if (cpu_flags & CPU_FLAG_AVX2) install_sao_avx2(s);
}
