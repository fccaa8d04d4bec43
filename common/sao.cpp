// Portable sample adaptive offset functions (H.265 8.7.3): the source minus
// deblocked differences and the per-category statistics of the SAO decision,
// and the application of one CTU's decided offsets.
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

}  // namespace

bool sao_ctu_block_setup(encoder_t *ctx, int32_t ctu_x, int32_t ctu_y, int32_t plane, int32_t shift, int32_t part,
                         sao_ctu_block_t *b) {
  const frame_t *f = ctx->cur_recon;
  const sao_param_t &r = ctx->sao_params[plane][ctu_y * ctx->ctu_cols + ctu_x];
  b->n = plane ? 32 : 64;
  b->stride = f->stride[plane];
  const int32_t at = (ctu_y * b->stride + ctu_x) * b->n;
  b->dst = f->plane[plane] + at;
  b->src = f->work[plane] + at;
  b->type = r.type;
  b->band_position = r.band_position;
  // Entry e + 2 for edge value e (e = 0 carries none); bands use 0, 1, 3, 4.
  b->table = reinterpret_cast<int8_t *>(ctx->sao_scratch) + SAO_OFFSET_TABLE_AT;
  const int32_t sh = shift & 31;
  b->table[0] = static_cast<int8_t>(static_cast<uint32_t>(r.offset[0]) << sh);
  b->table[1] = static_cast<int8_t>(static_cast<uint32_t>(r.offset[1]) << sh);
  b->table[2] = 0;
  b->table[3] = static_cast<int8_t>(static_cast<uint32_t>(r.offset[2]) << sh);
  b->table[4] = static_cast<int8_t>(static_cast<uint32_t>(r.offset[3]) << sh);
  // The edge filter stops at the picture's right and bottom edges: in the
  // last column w is the index of the picture's last column in the block,
  // likewise h; the first column and row have no left and upper neighbour.
  const int32_t p = plane ? 1 : 0;
  const int32_t last_col = ctu_x == ctx->ctu_cols - 1, last_row = ctu_y == ctx->ctu_rows - 1;
  b->fc = ctu_x == 0;
  b->fr = ctu_y == 0;
  b->w = (std::min(ctx->width - 64 * ctu_x, 64) - last_col) >> p;
  b->h = (std::min(ctx->height - 64 * ctu_y, 64) - last_row) >> p;
  const int32_t top = b->n - (b->n >> 4);
  b->y0 = part == SAO_ROWS_BOTTOM ? top : 0;
  b->y1 = part == SAO_ROWS_TOP ? top : b->n;
  return static_cast<uint32_t>(b->type) <= 5;
}

namespace {

inline uint8_t clip_u8(int32_t v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

inline uint8_t edge_filtered(const uint8_t *s, intptr_t a, intptr_t b, const int8_t *table) {
  const int32_t v = s[0];
  return clip_u8(v + table[sign_of(v - s[a]) + sign_of(v - s[b]) + 2]);
}

}  // namespace

// Rows top to bottom, so that output row r, which overwrites source row
// r - 4 (32 samples to the left), lands on samples already used.
void sao_apply_edge_rows(const sao_ctu_block_t &b, int32_t eo_class) {
  const intptr_t s = b.stride;
  const int32_t n = b.n;
  if (eo_class == 0) {
    for (int32_t y = b.y0; y < b.y1; y++) {
      uint8_t *d = b.dst + y * s;
      const uint8_t *p = b.src + y * s;
      if (b.fc) d[0] = p[0];
      for (int32_t x = b.fc; x < b.w; x++) d[x] = edge_filtered(p + x, -1, 1, b.table);
      if (b.w < n) d[b.w] = p[b.w];
    }
    return;
  }
  if (b.fr && b.y0 == 0) std::memcpy(b.dst, b.src, static_cast<size_t>(n));
  const intptr_t oa = eo_class == 1 ? -s : eo_class == 2 ? -s - 1 : -s + 1;
  for (int32_t y = std::max(b.fr, b.y0); y < std::min(b.h, b.y1); y++) {
    uint8_t *d = b.dst + y * s;
    const uint8_t *p = b.src + y * s;
    if (eo_class == 1) {
      for (int32_t x = 0; x < n; x++) d[x] = edge_filtered(p + x, oa, -oa, b.table);
      continue;
    }
    if (b.fc) d[0] = p[0];
    for (int32_t x = b.fc; x < b.w; x++) d[x] = edge_filtered(p + x, oa, -oa, b.table);
    if (b.w < n) d[b.w] = p[b.w];
  }
  if (b.h < n && b.h >= b.y0 && b.h < b.y1) std::memcpy(b.dst + b.h * s, b.src + b.h * s, static_cast<size_t>(n));
}

// Slot 0, portable: every sample the AVX2 driver writes, from the same
// source samples; band offset through a 256-entry table in the scratch block.
void sao_apply_ctu_c(encoder_t *ctx, int32_t ctu_x, int32_t ctu_y, int32_t plane, int32_t shift, int32_t part) {
  sao_ctu_block_t b;
  if (!sao_ctu_block_setup(ctx, ctu_x, ctu_y, plane, shift, part, &b)) return;
  const intptr_t s = b.stride;
  if (b.type < 4) {
    sao_apply_edge_rows(b, b.type);
    return;
  }
  if (b.type == 5) {
    for (int32_t y = b.y0; y < b.y1; y++) std::memcpy(b.dst + y * s, b.src + y * s, static_cast<size_t>(b.n));
    return;
  }
  uint8_t *bands = ctx->sao_scratch + SAO_BAND_TABLE_AT;
  static constexpr int32_t ENTRY[4] = {0, 1, 3, 4};
  for (int32_t v = 0; v < 256; v++) {
    const int32_t k = ((v >> 3) - b.band_position) & 31;
    bands[v] = clip_u8(v + (k < 4 ? b.table[ENTRY[k]] : 0));
  }
  for (int32_t y = b.y0; y < b.y1; y++)
    for (int32_t x = 0; x < b.n; x++) b.dst[y * s + x] = bands[b.src[y * s + x]];
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

  if (cpu_flags & CPU_FLAG_SSSE3) install_sao_ssse3(s);
  if (cpu_flags & CPU_FLAG_AVX2) install_sao_avx2(s);
}
