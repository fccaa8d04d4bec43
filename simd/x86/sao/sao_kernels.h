// The SAO kernels of both vector tiers, written once over the vector width
// (see sao_vec.h).  V does the columns in steps of V::L samples; Tail, the
// narrower vector, does a last strip of 16 columns or a block narrower than
// V::L.  Every kernel returns exactly what the portable function of its slot
// returns; each reads only the samples that the portable function reads and
// writes only its block.
#pragma once

#include <cstring>

#include "common/primitives.h"
#include "simd/x86/sao/sao_vec.h"

namespace {

inline int32_t block_side(int32_t is_luma) { return is_luma ? 64 : 32; }

// Columns that a partial block's statistics cover: whole strips of 16 inside
// the block.
inline int32_t counted_columns(int32_t w, int32_t is_luma) {
  return min_i32(max_i32(w, 0), block_side(is_luma)) & ~15;
}
inline int32_t counted_rows(int32_t h, int32_t is_luma) { return min_i32(h, block_side(is_luma)); }

// ------------------------------------------------------------ differences
template <class V>
void diff_rows(int16_t *diff, int32_t dstride, const uint8_t *rec, int32_t rec_stride, const uint8_t *src,
               int32_t src_stride, int32_t cols, int32_t h) {
  const auto z = V::zero();
  for (int32_t y = 0; y < h; y++) {
    const uint8_t *r = rec + static_cast<intptr_t>(y) * rec_stride;
    const uint8_t *s = src + static_cast<intptr_t>(y) * src_stride;
    int16_t *d = diff + static_cast<intptr_t>(y) * dstride;
    for (int32_t x = 0; x < cols; x += V::L) {
      typename V::T slo, shi, rlo, rhi;
      V::interleave(V::load(s + x), z, slo, shi);
      V::interleave(V::load(r + x), z, rlo, rhi);
      V::store(d + x, V::sub16(slo, rlo));
      V::store(d + x + V::L / 2, V::sub16(shi, rhi));
    }
  }
}

template <class V, class Tail>
void diff_wxh_k(int16_t *diff, const uint8_t *rec, int32_t rec_stride, const uint8_t *src, int32_t src_stride,
                int32_t is_luma, int32_t w, int32_t h) {
  const int32_t n = block_side(is_luma), cols = counted_columns(w, is_luma), main = cols & ~(V::L - 1);
  h = counted_rows(h, is_luma);
  if (main) diff_rows<V>(diff, n, rec, rec_stride, src, src_stride, main, h);
  if (cols > main) diff_rows<Tail>(diff + main, n, rec + main, rec_stride, src + main, src_stride, cols - main, h);
}

template <class V, class Tail>
void diff_k(int16_t *diff, const uint8_t *rec, int32_t rec_stride, const uint8_t *src, int32_t src_stride,
            int32_t is_luma) {
  const int32_t n = block_side(is_luma);
  diff_wxh_k<V, Tail>(diff, rec, rec_stride, src, src_stride, is_luma, n, n);
}

// ------------------------------------------------- edge-offset statistics
// Exact totals per category e + 2; entry 2 gathers every sample.
struct eo_totals_t {
  int64_t count[5];
  int64_t sum[5];
};

// Adds the statistics of cols x h samples (cols a multiple of V::L).  Counts
// gather in byte lanes and sums in 16-bit lanes for at most 8 rows, then
// widen exactly: a byte lane gains at most 4 per row and a 16-bit lane at
// most 8 differences of magnitude 255 per row, so neither can wrap.
template <class V>
void eo_stats_strip(eo_totals_t &t, const uint8_t *px, int32_t stride, const int16_t *diff, int32_t dstride,
                    int32_t cols, int32_t h, int32_t eo_class) {
  using T = typename V::T;
  static constexpr int8_t CATEGORY[4] = {0, 1, 3, 4};
  intptr_t oa, ob;
  edge_neighbours(eo_class, stride, oa, ob);
  T cnt64[4], sum32[4], all32 = V::zero();
  for (int32_t c = 0; c < 4; c++) cnt64[c] = sum32[c] = V::zero();
  for (int32_t y0 = 0; y0 < h; y0 += 8) {
    const int32_t y1 = min_i32(y0 + 8, h);
    T cnt8[4], sum16[4], all16 = V::zero();
    for (int32_t c = 0; c < 4; c++) cnt8[c] = sum16[c] = V::zero();
    for (int32_t y = y0; y < y1; y++) {
      const uint8_t *p = px + static_cast<intptr_t>(y) * stride;
      const int16_t *d = diff + static_cast<intptr_t>(y) * dstride;
      for (int32_t x = 0; x < cols; x += V::L) {
        T s;
        const T k = edge_index<V>(p + x, oa, ob, s);
        // The differences in the order of a mask interleaved within halves,
        // which then needs no lane crossing per category.
        T d0, d1;
        V::match_halves(V::load(d + x), V::load(d + x + V::L / 2), d0, d1);
        all16 = V::add16(all16, V::add16(d0, d1));
        for (int32_t c = 0; c < 4; c++) {
          const T m = V::eq8(k, V::set8(CATEGORY[c]));
          cnt8[c] = V::sub8(cnt8[c], m);  // wrapping byte add of 1
          T mlo, mhi;
          V::interleave_halves(m, m, mlo, mhi);
          sum16[c] = V::add16(sum16[c], V::add16(V::band(d0, mlo), V::band(d1, mhi)));
        }
      }
    }
    for (int32_t c = 0; c < 4; c++) {
      cnt64[c] = V::add64(cnt64[c], V::sad0(cnt8[c]));
      sum32[c] = V::add32(sum32[c], V::madd_ones(sum16[c]));
    }
    all32 = V::add32(all32, V::madd_ones(all16));
  }
  for (int32_t c = 0; c < 4; c++) {
    t.count[CATEGORY[c]] += V::total64(cnt64[c]);
    t.sum[CATEGORY[c]] += V::total32(sum32[c]);
  }
  t.count[2] += static_cast<int64_t>(cols) * (h > 0 ? h : 0);
  t.sum[2] += V::total32(all32);
}

// The record as the portable function leaves it: entry 2 holds the samples
// of edge value 0, every other entry past 4 is zero.
inline void write_eo_record(sao_stats_t *out, const eo_totals_t &t) {
  std::memset(out, 0, sizeof(*out));
  int64_t n2 = t.count[2], s2 = t.sum[2];
  for (int32_t k = 0; k < 5; k++) {
    if (k == 2) continue;
    out->count[k] = static_cast<uint16_t>(t.count[k]);
    out->sum[k] = static_cast<int32_t>(t.sum[k]);
    n2 -= t.count[k];
    s2 -= t.sum[k];
  }
  out->count[2] = static_cast<uint16_t>(n2);
  out->sum[2] = static_cast<int32_t>(s2);
}

template <class V, class Tail, int CLASS>
void stats_eo_wxh_k(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                    int32_t w, int32_t h, void *) {
  eo_totals_t t{};
  const int32_t n = block_side(is_luma), cols = counted_columns(w, is_luma), main = cols & ~(V::L - 1);
  h = counted_rows(h, is_luma);
  if (h > 0 && main) eo_stats_strip<V>(t, px, stride, diff, n, main, h, CLASS);
  if (h > 0 && cols > main) eo_stats_strip<Tail>(t, px + main, stride, diff + main, n, cols - main, h, CLASS);
  write_eo_record(out, t);
}

template <class V, class Tail, int CLASS>
void stats_eo_k(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                void *scratch) {
  const int32_t n = block_side(is_luma);
  stats_eo_wxh_k<V, Tail, CLASS>(out, px, stride, is_luma, diff, n, n, scratch);
}

// ------------------------------------------------------------ application
// dst = clip(s + offset): the positive part added and the negative part
// subtracted with unsigned saturation, which is the clip to 0..255.
struct offset_tables_t {
  alignas(16) uint8_t pos[16];
  alignas(16) uint8_t neg[16];
  void set(int32_t index, int8_t o) {
    pos[index] = static_cast<uint8_t>(o > 0 ? o : 0);
    neg[index] = static_cast<uint8_t>(o < 0 ? -o : 0);
  }
};

template <class V>
inline typename V::T add_offset(typename V::T s, typename V::T pos, typename V::T neg, typename V::T idx) {
  return V::subs_u8(V::adds_u8(s, V::lookup(pos, idx)), V::lookup(neg, idx));
}

// Runs body(x) over the columns of a row of w >= V::L samples in steps of
// V::L; the last step is moved left to end at column w (it rewrites some
// outputs with the same values where dst and src do not overlap; the
// application's whole blocks are multiples of V::L, where nothing is
// rewritten).
template <class V, typename Body>
inline void for_columns(int32_t w, Body body) {
  for (int32_t x = 0;; x += V::L) {
    const int32_t xx = min_i32(x, w - V::L);
    body(xx);
    if (xx + V::L >= w) return;
  }
}

// The widest vector route that a row of w samples fits, else `narrow`
// (rows narrower than 16 samples: the portable function's work).
template <class V, class Tail, typename Rows, typename Narrow>
inline void by_width(int32_t w, Rows rows, Narrow narrow) {
  if (w >= V::L)
    rows(V{});
  else if (w >= Tail::L)
    rows(Tail{});
  else
    narrow();
}

template <class V>
void apply_eo_rows(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, const int8_t off[5],
                   int32_t eo_class, int32_t w, int32_t h) {
  offset_tables_t tb{};
  tb.set(0, off[0]);  // e = 0 (index 2) carries no offset
  tb.set(1, off[1]);
  tb.set(3, off[3]);
  tb.set(4, off[4]);
  const auto pos = V::table(tb.pos), neg = V::table(tb.neg);
  intptr_t oa, ob;
  edge_neighbours(eo_class, src_stride, oa, ob);
  for (int32_t y = 0; y < h; y++) {
    const uint8_t *s = src + static_cast<intptr_t>(y) * src_stride;
    uint8_t *d = dst + static_cast<intptr_t>(y) * dst_stride;
    for_columns<V>(w, [&](int32_t x) {
      typename V::T v;
      const auto idx = edge_index<V>(s + x, oa, ob, v);
      V::store(d + x, add_offset<V>(v, pos, neg, idx));
    });
  }
}


// Band offset: k = (band - band_position) & 31, clamped to 4 so that every
// band outside the four looks up a zero offset.
template <class V>
void apply_bo_rows(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, const int8_t off[5],
                   int32_t band_position, int32_t w, int32_t h) {
  offset_tables_t tb{};
  tb.set(0, off[0]);
  tb.set(1, off[1]);
  tb.set(2, off[3]);
  tb.set(3, off[4]);
  const auto pos = V::table(tb.pos), neg = V::table(tb.neg);
  const auto b31 = V::set8(31), bp = V::set8(static_cast<int8_t>(band_position & 31)), four = V::set8(4);
  for (int32_t y = 0; y < h; y++) {
    const uint8_t *s = src + static_cast<intptr_t>(y) * src_stride;
    uint8_t *d = dst + static_cast<intptr_t>(y) * dst_stride;
    for_columns<V>(w, [&](int32_t x) {
      const auto v = V::load(s + x);
      const auto band = V::band(V::srl16(v, 3), b31);
      const auto idx = V::min_u8(V::band(V::sub8(band, bp), b31), four);
      V::store(d + x, add_offset<V>(v, pos, neg, idx));
    });
  }
}


template <class V>
void copy_rows(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t w, int32_t h) {
  for (int32_t y = 0; y < h; y++) {
    const uint8_t *s = src + static_cast<intptr_t>(y) * src_stride;
    uint8_t *d = dst + static_cast<intptr_t>(y) * dst_stride;
    for_columns<V>(w, [&](int32_t x) { V::store(d + x, V::load(s + x)); });
  }
}

}  // namespace
