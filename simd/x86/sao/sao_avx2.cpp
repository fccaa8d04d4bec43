// AVX2 tier of the SAO table: 32 samples per step, with 16-sample steps for
// a last strip of 16 columns and for blocks narrower than 32.  The band
// statistics keep the SSSE3 tier's kernels.  Slot 0 applies a CTU's offsets
// through the whole-block kernels below wherever the block does not touch
// the picture's border in the filter's direction, else through the same
// steps row by row around the border samples.
#include "simd/x86/sao/sao_avx2.h"

#include <algorithm>
#include <cstring>

#include "simd/x86/sao/sao_kernels.h"
#include "simd/x86/simd_install.h"

namespace {

// The kernels of sao_kernels.h at 32 samples per step, by name.
// Whole blocks by size (64x64 luma, 32x32 chroma); the slot functions pick
// the size from the luma flag.
void sao_diff_64x64_avx2(int16_t *diff, const uint8_t *rec, int32_t rec_stride, const uint8_t *src,
                         int32_t src_stride) {
  diff_k<v256, v128>(diff, rec, rec_stride, src, src_stride, 1);
}
void sao_diff_32x32_avx2(int16_t *diff, const uint8_t *rec, int32_t rec_stride, const uint8_t *src,
                         int32_t src_stride) {
  diff_k<v256, v128>(diff, rec, rec_stride, src, src_stride, 0);
}
void sao_diff_avx2(int16_t *diff, const uint8_t *rec, int32_t rec_stride, const uint8_t *src, int32_t src_stride,
                   int32_t is_luma) {
  (is_luma ? sao_diff_64x64_avx2 : sao_diff_32x32_avx2)(diff, rec, rec_stride, src, src_stride);
}
// The last 16-column strip of a partial block whose counted width is an
// odd multiple of 16, in 128-bit VEX code: differences, and the edge
// statistics of each class added to the block's totals.
void sao_diff_16xh_avx(int16_t *diff, const uint8_t *rec, int32_t rec_stride, const uint8_t *src, int32_t src_stride,
                       int32_t diff_stride, int32_t h) {
  diff_rows<v128>(diff, diff_stride, rec, rec_stride, src, src_stride, 16, h);
}
template <int CLASS>
void stats_eo_16xh_avx(eo_totals_t &t, const uint8_t *px, int32_t stride, const int16_t *diff, int32_t diff_stride,
                       int32_t h) {
  eo_stats_strip<v128>(t, px, stride, diff, diff_stride, 16, h, CLASS);
}
void sao_stats_eo0_16xh_avx(eo_totals_t &t, const uint8_t *px, int32_t s, const int16_t *d, int32_t ds, int32_t h) { stats_eo_16xh_avx<0>(t, px, s, d, ds, h); }
void sao_stats_eo1_16xh_avx(eo_totals_t &t, const uint8_t *px, int32_t s, const int16_t *d, int32_t ds, int32_t h) { stats_eo_16xh_avx<1>(t, px, s, d, ds, h); }
void sao_stats_eo2_16xh_avx(eo_totals_t &t, const uint8_t *px, int32_t s, const int16_t *d, int32_t ds, int32_t h) { stats_eo_16xh_avx<2>(t, px, s, d, ds, h); }
void sao_stats_eo3_16xh_avx(eo_totals_t &t, const uint8_t *px, int32_t s, const int16_t *d, int32_t ds, int32_t h) { stats_eo_16xh_avx<3>(t, px, s, d, ds, h); }

using eo_strip_fn = void (*)(eo_totals_t &, const uint8_t *, int32_t, const int16_t *, int32_t, int32_t);
constexpr eo_strip_fn EO_STRIP_16XH[4] = {sao_stats_eo0_16xh_avx, sao_stats_eo1_16xh_avx, sao_stats_eo2_16xh_avx,
                                          sao_stats_eo3_16xh_avx};

// Partial blocks: the counted columns in 32-sample steps, then the strip.
void sao_diff_wxh_avx2(int16_t *diff, const uint8_t *rec, int32_t rec_stride, const uint8_t *src, int32_t src_stride,
                    int32_t is_luma, int32_t w, int32_t h) {
  const int32_t n = block_side(is_luma), cols = counted_columns(w, is_luma), main = cols & ~31;
  h = counted_rows(h, is_luma);
  if (main) diff_rows<v256>(diff, n, rec, rec_stride, src, src_stride, main, h);
  if (cols > main) sao_diff_16xh_avx(diff + main, rec + main, rec_stride, src + main, src_stride, n, h);
}
template <int CLASS>
void stats_eo_wxh_avx2(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                       int32_t w, int32_t h) {
  eo_totals_t t{};
  const int32_t n = block_side(is_luma), cols = counted_columns(w, is_luma), main = cols & ~31;
  h = counted_rows(h, is_luma);
  if (h > 0 && main) eo_stats_strip<v256>(t, px, stride, diff, n, main, h, CLASS);
  if (h > 0 && cols > main) EO_STRIP_16XH[CLASS](t, px + main, stride, diff + main, n, h);
  write_eo_record(out, t);
}
void sao_stats_eo0_64x64_avx2(sao_stats_t *out, const uint8_t *px, int32_t stride, const int16_t *diff,
                              void *scratch) {
  stats_eo_k<v256, v128, 0>(out, px, stride, 1, diff, scratch);
}
void sao_stats_eo0_32x32_avx2(sao_stats_t *out, const uint8_t *px, int32_t stride, const int16_t *diff,
                              void *scratch) {
  stats_eo_k<v256, v128, 0>(out, px, stride, 0, diff, scratch);
}
void sao_stats_eo0_avx2(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                       void *scratch) {
  (is_luma ? sao_stats_eo0_64x64_avx2 : sao_stats_eo0_32x32_avx2)(out, px, stride, diff, scratch);
}
void sao_stats_eo0_wxh_avx2(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                         int32_t w, int32_t h, void *) {
  stats_eo_wxh_avx2<0>(out, px, stride, is_luma, diff, w, h);
}
void sao_stats_eo1_64x64_avx2(sao_stats_t *out, const uint8_t *px, int32_t stride, const int16_t *diff,
                              void *scratch) {
  stats_eo_k<v256, v128, 1>(out, px, stride, 1, diff, scratch);
}
void sao_stats_eo1_32x32_avx2(sao_stats_t *out, const uint8_t *px, int32_t stride, const int16_t *diff,
                              void *scratch) {
  stats_eo_k<v256, v128, 1>(out, px, stride, 0, diff, scratch);
}
void sao_stats_eo1_avx2(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                       void *scratch) {
  (is_luma ? sao_stats_eo1_64x64_avx2 : sao_stats_eo1_32x32_avx2)(out, px, stride, diff, scratch);
}
void sao_stats_eo1_wxh_avx2(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                         int32_t w, int32_t h, void *) {
  stats_eo_wxh_avx2<1>(out, px, stride, is_luma, diff, w, h);
}
void sao_stats_eo2_64x64_avx2(sao_stats_t *out, const uint8_t *px, int32_t stride, const int16_t *diff,
                              void *scratch) {
  stats_eo_k<v256, v128, 2>(out, px, stride, 1, diff, scratch);
}
void sao_stats_eo2_32x32_avx2(sao_stats_t *out, const uint8_t *px, int32_t stride, const int16_t *diff,
                              void *scratch) {
  stats_eo_k<v256, v128, 2>(out, px, stride, 0, diff, scratch);
}
void sao_stats_eo2_avx2(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                       void *scratch) {
  (is_luma ? sao_stats_eo2_64x64_avx2 : sao_stats_eo2_32x32_avx2)(out, px, stride, diff, scratch);
}
void sao_stats_eo2_wxh_avx2(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                         int32_t w, int32_t h, void *) {
  stats_eo_wxh_avx2<2>(out, px, stride, is_luma, diff, w, h);
}
void sao_stats_eo3_64x64_avx2(sao_stats_t *out, const uint8_t *px, int32_t stride, const int16_t *diff,
                              void *scratch) {
  stats_eo_k<v256, v128, 3>(out, px, stride, 1, diff, scratch);
}
void sao_stats_eo3_32x32_avx2(sao_stats_t *out, const uint8_t *px, int32_t stride, const int16_t *diff,
                              void *scratch) {
  stats_eo_k<v256, v128, 3>(out, px, stride, 0, diff, scratch);
}
void sao_stats_eo3_avx2(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                       void *scratch) {
  (is_luma ? sao_stats_eo3_64x64_avx2 : sao_stats_eo3_32x32_avx2)(out, px, stride, diff, scratch);
}
void sao_stats_eo3_wxh_avx2(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                         int32_t w, int32_t h, void *) {
  stats_eo_wxh_avx2<3>(out, px, stride, is_luma, diff, w, h);
}

// Whole-block kernels: rows from the top down, so the output may overlap the
// source 4 rows lower and 32 samples further right (see sao_apply_ctu_c).
template <int CLASS, int N>
void eo_block(uint8_t *dst, const uint8_t *src, const int8_t *offsets, uint32_t stride) {
  const int32_t s = static_cast<int32_t>(stride);
  apply_eo_rows<v256>(dst, s, src, s, offsets, CLASS, N, N);
}
template <int N>
void bo_block(uint8_t *dst, const uint8_t *src, const int8_t *offsets, uint32_t band_position, uint32_t stride) {
  const int32_t s = static_cast<int32_t>(stride);
  apply_bo_rows<v256>(dst, s, src, s, offsets, static_cast<int32_t>(band_position), N, N);
}

}  // namespace

// Each operation, class and size under its own name.
void sao_apply_eo0_64x64_avx2(uint8_t *d, const uint8_t *s, const int8_t *o, uint32_t st) { eo_block<0, 64>(d, s, o, st); }
void sao_apply_eo1_64x64_avx2(uint8_t *d, const uint8_t *s, const int8_t *o, uint32_t st) { eo_block<1, 64>(d, s, o, st); }
void sao_apply_eo2_64x64_avx2(uint8_t *d, const uint8_t *s, const int8_t *o, uint32_t st) { eo_block<2, 64>(d, s, o, st); }
void sao_apply_eo3_64x64_avx2(uint8_t *d, const uint8_t *s, const int8_t *o, uint32_t st) { eo_block<3, 64>(d, s, o, st); }
void sao_apply_eo0_32x32_avx2(uint8_t *d, const uint8_t *s, const int8_t *o, uint32_t st) { eo_block<0, 32>(d, s, o, st); }
void sao_apply_eo1_32x32_avx2(uint8_t *d, const uint8_t *s, const int8_t *o, uint32_t st) { eo_block<1, 32>(d, s, o, st); }
void sao_apply_eo2_32x32_avx2(uint8_t *d, const uint8_t *s, const int8_t *o, uint32_t st) { eo_block<2, 32>(d, s, o, st); }
void sao_apply_eo3_32x32_avx2(uint8_t *d, const uint8_t *s, const int8_t *o, uint32_t st) { eo_block<3, 32>(d, s, o, st); }
void sao_apply_bo_64x64_avx2(uint8_t *d, const uint8_t *s, const int8_t *o, uint32_t band_position, uint32_t st) {
  bo_block<64>(d, s, o, band_position, st);
}
void sao_apply_bo_32x32_avx2(uint8_t *d, const uint8_t *s, const int8_t *o, uint32_t band_position, uint32_t st) {
  bo_block<32>(d, s, o, band_position, st);
}
void sao_copy_64x64_avx2(uint8_t *dst, const uint8_t *src, uint32_t stride) {
  copy_rows<v256>(dst, static_cast<int32_t>(stride), src, static_cast<int32_t>(stride), 64, 64);
}
void sao_copy_32x32_avx2(uint8_t *dst, const uint8_t *src, uint32_t stride) {
  copy_rows<v256>(dst, static_cast<int32_t>(stride), src, static_cast<int32_t>(stride), 32, 32);
}

namespace {

using eo_kernel_t = void (*)(uint8_t *, const uint8_t *, const int8_t *, uint32_t);
constexpr eo_kernel_t EO_64[4] = {sao_apply_eo0_64x64_avx2, sao_apply_eo1_64x64_avx2, sao_apply_eo2_64x64_avx2,
                                  sao_apply_eo3_64x64_avx2};
constexpr eo_kernel_t EO_32[4] = {sao_apply_eo0_32x32_avx2, sao_apply_eo1_32x32_avx2, sao_apply_eo2_32x32_avx2,
                                  sao_apply_eo3_32x32_avx2};

// The whole-block kernel serves an edge class when no sample of the block
// lacks a neighbour in the class's direction: w and h are then 64 (luma) or
// 32 (chroma), and the first column / row is not the picture's.
bool whole_block(const sao_ctu_block_t &b, int32_t eo_class, int32_t *size) {
  const bool cols = !b.fc && (b.w == 64 || b.w == 32);
  const bool rows = !b.fr && (b.h == 64 || b.h == 32);
  bool ok = false;
  if (eo_class == 0) {
    ok = cols;
    *size = b.w;
  } else if (eo_class == 1) {
    ok = rows;
    *size = b.h;
  } else {
    ok = cols && rows && b.w == b.h;
    *size = b.w;
  }
  return ok;
}

// A block at the picture's border, in the portable rows' order (each row
// reads the source rows beside it before the rows below are written, which
// the in-place layout needs): the samples without a neighbour copied, the
// filtered run of each row in 32-sample steps, or 16 for a run of 16 to 31,
// a narrower run sample by sample.
void sao_apply_eo_partial_avx2(const sao_ctu_block_t &b, int32_t eo_class) {
  const intptr_t s = b.stride;
  const int32_t n = b.n;
  const bool horizontal_taps = eo_class != 1, vertical_taps = eo_class != 0;
  const int32_t x0 = horizontal_taps ? b.fc : 0, x1 = horizontal_taps ? b.w : n;
  const int32_t y0 = std::max(vertical_taps ? b.fr : 0, b.y0), y1 = std::min(vertical_taps ? b.h : n, b.y1);
  offset_tables_t tb{};
  for (int32_t k : {0, 1, 3, 4}) tb.set(k, b.table[k]);
  intptr_t oa, ob;
  edge_neighbours(eo_class, s, oa, ob);
  const int32_t run = x1 - x0;
  auto vector_run = [&](auto v, uint8_t *d, const uint8_t *p) {
    using V = decltype(v);
    const auto pos = V::table(tb.pos), neg = V::table(tb.neg);
    for_columns<V>(run, [&](int32_t x) {
      typename V::T c;
      const auto idx = edge_index<V>(p + x, oa, ob, c);
      V::store(d + x, add_offset<V>(c, pos, neg, idx));
    });
  };
  if (vertical_taps && b.fr && b.y0 == 0) std::memcpy(b.dst, b.src, static_cast<size_t>(n));
  for (int32_t y = y0; y < y1; y++) {
    uint8_t *d = b.dst + y * s;
    const uint8_t *p = b.src + y * s;
    if (horizontal_taps && b.fc) d[0] = p[0];
    if (run >= 32) {
      vector_run(v256{}, d + x0, p + x0);
    } else if (run >= 16) {
      vector_run(v128{}, d + x0, p + x0);
    } else {
      for (int32_t x = x0; x < x1; x++) {
        const int32_t v = p[x];
        const int32_t e = (v > p[x + oa]) - (v < p[x + oa]) + (v > p[x + ob]) - (v < p[x + ob]);
        d[x] = static_cast<uint8_t>(std::clamp(v + b.table[e + 2], 0, 255));
      }
    }
    if (horizontal_taps && b.w < n) d[b.w] = p[b.w];
  }
  if (vertical_taps && b.h < n && b.h >= b.y0 && b.h < b.y1)
    std::memcpy(b.dst + b.h * s, b.src + b.h * s, static_cast<size_t>(n));
}

}  // namespace

void sao_apply_ctu_avx2(encoder_t *ctx, int32_t ctu_x, int32_t ctu_y, int32_t plane, int32_t shift, int32_t part) {
  sao_ctu_block_t b;
  if (!sao_ctu_block_setup(ctx, ctu_x, ctu_y, plane, shift, part, &b)) return;
  const uint32_t stride = static_cast<uint32_t>(b.stride);
  if (b.y0 != 0 || b.y1 != b.n) {
    // Part of the block's rows: the same steps over those rows only.
    const int32_t s = b.stride, rows = b.y1 - b.y0;
    uint8_t *dst = b.dst + static_cast<intptr_t>(b.y0) * s;
    const uint8_t *src = b.src + static_cast<intptr_t>(b.y0) * s;
    int32_t size = 0;
    if (b.type == 4) {
      apply_bo_rows<v256>(dst, s, src, s, b.table, b.band_position, b.n, rows);
    } else if (b.type == 5) {
      copy_rows<v256>(dst, s, src, s, b.n, rows);
    } else if (whole_block(b, b.type, &size)) {
      apply_eo_rows<v256>(dst, s, src, s, b.table, b.type, size, rows);
    } else {
      sao_apply_eo_partial_avx2(b, b.type);
    }
    return;
  }
  if (b.type == 4) {
    (b.n == 64 ? sao_apply_bo_64x64_avx2 : sao_apply_bo_32x32_avx2)(b.dst, b.src, b.table,
                                                                   static_cast<uint32_t>(b.band_position), stride);
    return;
  }
  if (b.type == 5) {
    (b.n == 64 ? sao_copy_64x64_avx2 : sao_copy_32x32_avx2)(b.dst, b.src, stride);
    return;
  }
  int32_t size = 0;
  if (whole_block(b, b.type, &size)) {
    (size == 64 ? EO_64 : EO_32)[b.type](b.dst, b.src, b.table, stride);
    return;
  }
  sao_apply_eo_partial_avx2(b, b.type);
}

void install_sao_avx2(sao_funcs_t *s) {
  s->sao_apply_ctu = sao_apply_ctu_avx2;
  s->sao_diff = sao_diff_avx2;
  s->sao_diff_wxh = sao_diff_wxh_avx2;
  s->sao_stats_eo[0] = sao_stats_eo0_avx2;
  s->sao_stats_eo[1] = sao_stats_eo1_avx2;
  s->sao_stats_eo[2] = sao_stats_eo2_avx2;
  s->sao_stats_eo[3] = sao_stats_eo3_avx2;
  s->sao_stats_eo_wxh[0] = sao_stats_eo0_wxh_avx2;
  s->sao_stats_eo_wxh[1] = sao_stats_eo1_wxh_avx2;
  s->sao_stats_eo_wxh[2] = sao_stats_eo2_wxh_avx2;
  s->sao_stats_eo_wxh[3] = sao_stats_eo3_wxh_avx2;
}
