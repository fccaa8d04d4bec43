// Portable motion compensation: H.265 8.5.3.3.3 fractional sample
// interpolation (8-tap luma, 4-tap chroma) to pixels and to 16-bit samples,
// the default weighted prediction of 8.5.3.3.4.2, and the encoder's helpers
// around them (sub-pel planes, bilinear search prediction, lookahead planes).
//
// For 8-bit video the first filter stage has shift1 = 0 and the second
// shift2 = 6, so a horizontal raw sum (-6120..22440) fits int16 while the
// two-dimensional value ((vertical sum of raw sums) >> 6) reaches 33150; the
// vertical sums are taken in 32 bits and stored in the modular 16-bit form
// described beside mc_funcs_t.
#include "common/mc.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "simd/x86/simd_install.h"

namespace {

// Tiles of the two-dimensional paths: the first stage keeps (tile rows + taps
// - 1) rows of raw sums, so any block size is served tile by tile.
constexpr int32_t TILE = 64;

inline uint8_t clip_pixel(int32_t v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

template <int TAPS, typename T>
inline int32_t filter_sum(const T *p, intptr_t step, const int16_t *c) {
  int32_t s = 0;
  for (int32_t k = 0; k < TAPS; k++) s += c[k] * static_cast<int32_t>(p[k * step]);
  return s;
}

// Two-dimensional separable filter over a block, tile by tile.  `first`
// points at the block's integer position; the store receives (x, y, vertical
// sum over the raw horizontal sums) in 32 bits.
template <int TAPS, typename Store>
void filter_2d(const uint8_t *first, int32_t stride, const int16_t *cx, const int16_t *cy, int32_t w, int32_t h,
               Store store) {
  constexpr int32_t BEFORE = TAPS / 2 - 1;
  int16_t tmp[(TILE + TAPS - 1) * TILE];
  for (int32_t y0 = 0; y0 < h; y0 += TILE)
    for (int32_t x0 = 0; x0 < w; x0 += TILE) {
      const int32_t tw = std::min(TILE, w - x0), th = std::min(TILE, h - y0);
      for (int32_t r = 0; r < th + TAPS - 1; r++) {
        const uint8_t *row = first + static_cast<intptr_t>(y0 + r - BEFORE) * stride + x0 - BEFORE;
        for (int32_t x = 0; x < tw; x++) tmp[r * TILE + x] = static_cast<int16_t>(filter_sum<TAPS>(row + x, 1, cx));
      }
      for (int32_t y = 0; y < th; y++)
        for (int32_t x = 0; x < tw; x++)
          store(x0 + x, y0 + y, filter_sum<TAPS>(tmp + y * TILE + x, TILE, cy));
    }
}

// The 16-bit form of a two-dimensional value (the vertical sum >> 6): its
// low 16 bits, read back by ps_value().
inline int16_t ps_store(int32_t v) { return static_cast<int16_t>(v); }

void subpel_plane_copy_c(uint8_t *dst, int32_t dst_stride, const uint8_t *const *planes, int32_t stride, int32_t mvx,
                         int32_t mvy, int32_t w, int32_t h) {
  block_copy_c(dst, dst_stride, planes[((mvy & 3) << 2) | (mvx & 3)] + vector_offset(mvx, mvy, stride, 2), stride, w,
               h);
}

const uint8_t *subpel_plane_ptr_c(const uint8_t *const *planes, int32_t stride, int32_t mvx, int32_t mvy) {
  return planes[((mvy & 3) << 2) | (mvx & 3)] + vector_offset(mvx, mvy, stride, 2);
}

const uint8_t *chroma_fullpel_ptr_c(const uint8_t *ref, int32_t stride, int32_t mvx, int32_t mvy) {
  return ref + vector_offset(mvx, mvy, stride, 3);
}

const uint8_t *get_ref_c(uint8_t *buf, int32_t *stride_io, const uint8_t *ref, const int16_t *const *hplanes,
                         int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h) {
  return get_ref_through<mc_luma_c>(buf, stride_io, ref, hplanes, ref_stride, mvx, mvy, w, h);
}

const uint8_t *get_ref_bilinear_c(uint8_t *buf, int32_t *stride_io, const uint8_t *ref, int32_t ref_stride,
                                  int32_t mvx, int32_t mvy, int32_t w, int32_t h) {
  if (((mvx | mvy) & 3) == 0) {
    *stride_io = ref_stride;
    return ref + vector_offset(mvx, mvy, ref_stride, 2);
  }
  mc_luma_bilinear_c(buf, *stride_io, ref, ref_stride, mvx, mvy, w, h);
  return buf;
}

void subpel_planes_build_c(uint8_t *const *planes, const uint8_t *src, const int16_t *const *hplanes, int32_t stride,
                           int32_t width, int32_t height, int32_t half_only) {
  for (int32_t p = 1; p < 16; p++) {
    if (half_only && p != 2 && p != 8 && p != 10) continue;
    mc_luma_c(planes[p], stride, src, hplanes, stride, p & 3, p >> 2, width, height);
  }
}

inline uint8_t avg_round_up(uint8_t a, uint8_t b) { return static_cast<uint8_t>((a + b + 1) >> 1); }

// In place at stride 64: output row y is written after its source rows 2y
// and 2y + 1 have been read, and no later row reads it.
template <int N>
void ctu_downscale_c(uint8_t *block) {
  for (int32_t y = 0; y < N / 2; y++)
    for (int32_t x = 0; x < N / 2; x++) {
      const uint8_t *s = block + 128 * y + 2 * x;
      block[64 * y + x] = avg_round_up(avg_round_up(s[0], s[1]), avg_round_up(s[64], s[65]));
    }
}

// Neighbours of the downscaled block at stride 128: 3N/4 above samples, N
// left samples whose lower half repeats the last downscaled one.
template <int N>
void ctu_border_downscale_c(uint8_t *block) {
  uint8_t *above = block - 128;
  for (int32_t i = 0; i < 3 * N / 4; i++) above[i] = avg_round_up(above[2 * i], above[2 * i + 1]);
  uint8_t *left = block - 1;
  for (int32_t k = 0; k < N / 2; k++) left[128 * k] = avg_round_up(left[256 * k], left[256 * k + 128]);
  for (int32_t k = N / 2; k < N; k++) left[128 * k] = left[128 * (N / 2 - 1)];
}

// CU-tree propagation amount per block.  The product of a 32-bit difference
// and a 40-bit sum needs more than 64 bits, so it is formed in 128; an intra
// cost of 0 propagates nothing, and the result saturates to int32.
void mbtree_propagate_cost_c(int32_t *out, const uint32_t *incoming, const uint32_t *intra, const uint32_t *costs,
                             const uint16_t *weights, int32_t count) {
  for (int32_t i = 0; i < count; i++) {
    if (intra[i] == 0) {
      out[i] = 0;
      continue;
    }
    const int64_t diff = static_cast<int64_t>(intra[i]) - (costs[i] & 0x0fffffffu);
    const int64_t amount = static_cast<int64_t>(incoming[i]) + ((static_cast<int64_t>(intra[i]) * weights[i] + 128) >> 8);
    const __int128 q = static_cast<__int128>(diff) * amount / intra[i];
    out[i] = static_cast<int32_t>(std::clamp<__int128>(q, INT32_MIN, INT32_MAX));
  }
}

// Per-CTU cost energies of a picture's half-resolution block costs: a block's
// energy is the sum over its 3x3 neighbourhood (inside the picture) of
// ((cost & 0x0fffffff)^2 >> 10), plus 1 in intra pictures (type 2) and 100
// in predicted ones.  out[ctu row * CTU columns + ctu column] receives the sum
// over the CTU's 4x4 blocks; entries and the returned total saturate to
// INT32_MAX because their readers hold them as i32.
uint32_t lowres_cost_energy_c(uint32_t *out, const uint32_t *block_costs, int32_t blocks_x, int32_t blocks_y,
                              int32_t stride, int32_t picture_type) {
  if (blocks_x <= 0 || blocks_y <= 0) return 0;
  const int32_t ctu_cols = (blocks_x + 3) / 4, ctu_rows = (blocks_y + 3) / 4;
  const uint64_t bias = picture_type == 2 ? 1 : 100;
  auto energy_of = [&](int32_t x, int32_t y) {
    const uint64_t c = block_costs[static_cast<intptr_t>(y) * stride + x] & 0x0fffffffu;
    return (c * c) >> 10;
  };
  uint64_t total = 0;
  for (int32_t cy = 0; cy < ctu_rows; cy++)
    for (int32_t cx = 0; cx < ctu_cols; cx++) {
      uint64_t ctu = 0;
      for (int32_t y = 4 * cy; y < std::min(4 * cy + 4, blocks_y); y++)
        for (int32_t x = 4 * cx; x < std::min(4 * cx + 4, blocks_x); x++) {
          uint64_t e = bias;
          for (int32_t ny = std::max(y - 1, 0); ny <= std::min(y + 1, blocks_y - 1); ny++)
            for (int32_t nx = std::max(x - 1, 0); nx <= std::min(x + 1, blocks_x - 1); nx++) e += energy_of(nx, ny);
          ctu += e;
        }
      out[cy * ctu_cols + cx] = static_cast<uint32_t>(std::min<uint64_t>(ctu, INT32_MAX));
      total += ctu;
    }
  return static_cast<uint32_t>(std::min<uint64_t>(total, INT32_MAX));
}

}  // namespace

void block_copy_c(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t w, int32_t h) {
  if (w <= 0) return;
  for (int32_t y = 0; y < h; y++)
    std::memcpy(dst + static_cast<intptr_t>(y) * dst_stride, src + static_cast<intptr_t>(y) * src_stride,
                static_cast<size_t>(w));
}

void mc_luma_c(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, const int16_t *const *hplanes,
               int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  const intptr_t off = vector_offset(mvx, mvy, ref_stride, 2);
  const int32_t fx = mvx & 3, fy = mvy & 3;
  const uint8_t *s = ref + off;
  auto out = [&](int32_t x, int32_t y) -> uint8_t & { return dst[static_cast<intptr_t>(y) * dst_stride + x]; };
  if (fx == 0 && fy == 0) {
    block_copy_c(dst, dst_stride, s, ref_stride, w, h);
  } else if (fx != 0 && hplanes != nullptr) {
    const int16_t *hp = hplanes[fx - 1] + off;
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++) {
        const int16_t *p = hp + static_cast<intptr_t>(y) * ref_stride + x;
        out(x, y) = fy == 0 ? clip_pixel((p[0] + 32) >> 6)
                            : clip_pixel((filter_sum<8>(p - 3 * static_cast<intptr_t>(ref_stride), ref_stride,
                                                        luma_filter_taps[fy]) + 2048) >> 12);
      }
  } else if (fy == 0) {
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++)
        out(x, y) = clip_pixel((filter_sum<8>(s + static_cast<intptr_t>(y) * ref_stride + x - 3, 1, luma_filter_taps[fx]) + 32) >> 6);
  } else if (fx == 0) {
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++)
        out(x, y) = clip_pixel((filter_sum<8>(s + static_cast<intptr_t>(y - 3) * ref_stride + x, ref_stride,
                                              luma_filter_taps[fy]) + 32) >> 6);
  } else {
    // ((v >> 6) + 32) >> 6 == (v + 2048) >> 12 for floor shifts.
    filter_2d<8>(s, ref_stride, luma_filter_taps[fx], luma_filter_taps[fy], w, h,
                 [&](int32_t x, int32_t y, int32_t v) { out(x, y) = clip_pixel((v + 2048) >> 12); });
  }
}

const int16_t *mc_luma_ps_c(int16_t *dst, int32_t *dst_stride, const uint8_t *ref, const int16_t *const *hplanes,
                            int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return dst;
  const intptr_t off = vector_offset(mvx, mvy, ref_stride, 2);
  const int32_t fx = mvx & 3, fy = mvy & 3;
  if (const int16_t *window = luma_ps_plane_window(hplanes, off, fx, fy, ref_stride, dst_stride)) return window;
  const uint8_t *s = ref + off;
  const int32_t ds = *dst_stride;
  auto out = [&](int32_t x, int32_t y) -> int16_t & { return dst[static_cast<intptr_t>(y) * ds + x]; };
  if (fx == 0 && fy == 0) {
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++) out(x, y) = static_cast<int16_t>(s[static_cast<intptr_t>(y) * ref_stride + x] << 6);
  } else if (fx != 0 && hplanes != nullptr) {
    const int16_t *hp = hplanes[fx - 1] + off;
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++)
        out(x, y) = ps_store(filter_sum<8>(hp + static_cast<intptr_t>(y - 3) * ref_stride + x, ref_stride,
                                           luma_filter_taps[fy]) >> 6);
  } else if (fy == 0) {
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++)
        out(x, y) = static_cast<int16_t>(filter_sum<8>(s + static_cast<intptr_t>(y) * ref_stride + x - 3, 1, luma_filter_taps[fx]));
  } else if (fx == 0) {
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++)
        out(x, y) = static_cast<int16_t>(filter_sum<8>(s + static_cast<intptr_t>(y - 3) * ref_stride + x, ref_stride,
                                                       luma_filter_taps[fy]));
  } else {
    filter_2d<8>(s, ref_stride, luma_filter_taps[fx], luma_filter_taps[fy], w, h,
                 [&](int32_t x, int32_t y, int32_t v) { out(x, y) = ps_store(v >> 6); });
  }
  return dst;
}

void mc_chroma_c(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx, int32_t mvy,
                 int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  const uint8_t *s = ref + vector_offset(mvx, mvy, ref_stride, 3);
  const int32_t fx = mvx & 7, fy = mvy & 7;
  auto out = [&](int32_t x, int32_t y) -> uint8_t & { return dst[static_cast<intptr_t>(y) * dst_stride + x]; };
  if (fx == 0 && fy == 0) {
    block_copy_c(dst, dst_stride, s, ref_stride, w, h);
  } else if (fy == 0) {
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++)
        out(x, y) = clip_pixel((filter_sum<4>(s + static_cast<intptr_t>(y) * ref_stride + x - 1, 1, chroma_filter_taps[fx]) + 32) >> 6);
  } else if (fx == 0) {
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++)
        out(x, y) = clip_pixel((filter_sum<4>(s + static_cast<intptr_t>(y - 1) * ref_stride + x, ref_stride,
                                              chroma_filter_taps[fy]) + 32) >> 6);
  } else {
    filter_2d<4>(s, ref_stride, chroma_filter_taps[fx], chroma_filter_taps[fy], w, h,
                 [&](int32_t x, int32_t y, int32_t v) { out(x, y) = clip_pixel((v + 2048) >> 12); });
  }
}

// Chroma two-dimensional values lie in -5897..22216, so the plain int16 form
// holds them.
void mc_chroma_ps_c(int16_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx,
                    int32_t mvy, int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  const uint8_t *s = ref + vector_offset(mvx, mvy, ref_stride, 3);
  const int32_t fx = mvx & 7, fy = mvy & 7;
  auto out = [&](int32_t x, int32_t y) -> int16_t & { return dst[static_cast<intptr_t>(y) * dst_stride + x]; };
  if (fx == 0 && fy == 0) {
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++) out(x, y) = static_cast<int16_t>(s[static_cast<intptr_t>(y) * ref_stride + x] << 6);
  } else if (fy == 0) {
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++)
        out(x, y) = static_cast<int16_t>(filter_sum<4>(s + static_cast<intptr_t>(y) * ref_stride + x - 1, 1, chroma_filter_taps[fx]));
  } else if (fx == 0) {
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++)
        out(x, y) = static_cast<int16_t>(filter_sum<4>(s + static_cast<intptr_t>(y - 1) * ref_stride + x, ref_stride,
                                                       chroma_filter_taps[fy]));
  } else {
    filter_2d<4>(s, ref_stride, chroma_filter_taps[fx], chroma_filter_taps[fy], w, h,
                 [&](int32_t x, int32_t y, int32_t v) { out(x, y) = ps_store(v >> 6); });
  }
}

// H.265 8.5.3.3.4.2 with shift2 = 7 and offset2 = 64 for 8-bit video.
void bipred_avg_c(uint8_t *dst, int32_t dst_stride, const int16_t *a, int32_t a_stride, const int16_t *b,
                  int32_t b_stride, int32_t w, int32_t h) {
  for (int32_t y = 0; y < h; y++)
    for (int32_t x = 0; x < w; x++)
      dst[static_cast<intptr_t>(y) * dst_stride + x] =
          clip_pixel((ps_value(a[static_cast<intptr_t>(y) * a_stride + x]) +
                      ps_value(b[static_cast<intptr_t>(y) * b_stride + x]) + 64) >> 7);
}

void pixel_avg_c(uint8_t *dst, int32_t dst_stride, const uint8_t *a, int32_t a_stride, const uint8_t *b,
                 int32_t b_stride, int32_t w, int32_t h) {
  for (int32_t y = 0; y < h; y++)
    for (int32_t x = 0; x < w; x++)
      dst[static_cast<intptr_t>(y) * dst_stride + x] =
          avg_round_up(a[static_cast<intptr_t>(y) * a_stride + x], b[static_cast<intptr_t>(y) * b_stride + x]);
}

// Search-only prediction: cheaper than the 8-tap filter and never used for
// reconstruction.  The two-dimensional rounding term r = (mvx & 1) +
// (mvy & 1) is part of the cost model the search was tuned with.
void mc_luma_bilinear_c(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t mvx,
                        int32_t mvy, int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  const uint8_t *s = src + vector_offset(mvx, mvy, src_stride, 2);
  const int32_t fx = mvx & 3, fy = mvy & 3;
  if (fx == 0 && fy == 0) {
    block_copy_c(dst, dst_stride, s, src_stride, w, h);
    return;
  }
  // Weights of the first and second sample for fractions 1, 2, 3, with the
  // shift: (3, 1) >> 2, (1, 1) >> 1, (1, 3) >> 2.
  static constexpr int32_t W0[4] = {0, 3, 1, 1}, W1[4] = {0, 1, 1, 3}, SH[4] = {0, 2, 1, 2};
  auto lerp = [](int32_t p, int32_t q, int32_t f, int32_t r) { return (W0[f] * p + W1[f] * q + r) >> SH[f]; };
  for (int32_t y = 0; y < h; y++) {
    const uint8_t *r0 = s + static_cast<intptr_t>(y) * src_stride, *r1 = r0 + src_stride;
    uint8_t *d = dst + static_cast<intptr_t>(y) * dst_stride;
    for (int32_t x = 0; x < w; x++) {
      int32_t v;
      if (fy == 0) {
        v = lerp(r0[x], r0[x + 1], fx, SH[fx] == 2 ? 2 : 1);
      } else if (fx == 0) {
        v = lerp(r0[x], r1[x], fy, SH[fy] == 2 ? 2 : 1);
      } else {
        const int32_t h0 = lerp(r0[x], r0[x + 1], fx, 1), h1 = lerp(r1[x], r1[x + 1], fx, 1);
        v = lerp(h0, h1, fy, (mvx & 1) + (mvy & 1));
      }
      d[x] = static_cast<uint8_t>(v);
    }
  }
}

namespace {

// Plane 0 of the half-resolution picture: the vertical averages of each
// source column pair round up, the horizontal step adds ROUND before it
// halves.
template <int32_t ROUND>
void halve_2x(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t width,
              int32_t height) {
  for (int32_t y = 0; y < height; y++) {
    const uint8_t *s0 = src + static_cast<intptr_t>(2 * y) * src_stride, *s1 = s0 + src_stride;
    uint8_t *d = planes[0] + static_cast<intptr_t>(y) * dst_stride;
    for (int32_t x = 0; x < width; x++)
      d[x] = static_cast<uint8_t>(
          (avg_round_up(s0[2 * x], s1[2 * x]) + avg_round_up(s0[2 * x + 1], s1[2 * x + 1]) + ROUND) >> 1);
  }
}

}  // namespace

// Plane 0 only; the vertical averages round up and the horizontal step
// rounds down, unlike phase 0 of lowres_init.
void downscale_2x_c(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t width,
                    int32_t height) {
  halve_2x<0>(planes, dst_stride, src, src_stride, width, height);
}

void luma_hfilter_planes_c(int16_t *q, int16_t *hp, int16_t *tq, const uint8_t *src, int32_t stride, int32_t width,
                           int32_t height, int32_t half_only) {
  int16_t *const planes[3] = {q, hp, tq};
  // Half plane first: it is the only one the half-only mode needs.
  for (int32_t f : {2, 1, 3}) {
    if (half_only && f != 2) continue;
    for (int32_t y = -3; y < height + 4; y++) {
      const uint8_t *row = src + static_cast<intptr_t>(y) * stride - 3;
      int16_t *out = planes[f - 1] + static_cast<intptr_t>(y) * stride;
      for (int32_t x = 0; x < width; x++) out[x] = static_cast<int16_t>(filter_sum<8>(row + x, 1, luma_filter_taps[f]));
    }
  }
}

// Half-resolution planes at the 16 quarter phases, each phase from the
// stored 8-bit values of earlier ones so the rounding carries over.
void lowres_init_c(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t width,
                   int32_t height) {
  if (height < 0 || width < 0) return;
  auto at = [&](int32_t p, int32_t y) { return planes[p] + static_cast<intptr_t>(y) * dst_stride; };
  for (int32_t y = 0; y <= height; y++) {
    const uint8_t *s0 = src + static_cast<intptr_t>(2 * y) * src_stride;
    const uint8_t *s1 = s0 + src_stride, *s2 = s1 + src_stride;
    for (int32_t x = 0; x <= width; x++) {
      const int32_t c = 2 * x;
      const uint8_t v0a = avg_round_up(s0[c], s1[c]), v0b = avg_round_up(s0[c + 1], s1[c + 1]),
                    v0c = avg_round_up(s0[c + 2], s1[c + 2]);
      const uint8_t v1a = avg_round_up(s1[c], s2[c]), v1b = avg_round_up(s1[c + 1], s2[c + 1]),
                    v1c = avg_round_up(s1[c + 2], s2[c + 2]);
      at(0, y)[x] = avg_round_up(v0a, v0b);
      at(2, y)[x] = avg_round_up(v0b, v0c);
      at(8, y)[x] = avg_round_up(v1a, v1b);
      at(10, y)[x] = avg_round_up(v1b, v1c);
    }
  }
  for (int32_t y = 0; y <= height; y++)
    for (int32_t x = 0; x < width; x++) {
      at(1, y)[x] = avg_round_up(at(0, y)[x], at(2, y)[x]);
      at(3, y)[x] = avg_round_up(at(2, y)[x], at(0, y)[x + 1]);
      at(9, y)[x] = avg_round_up(at(8, y)[x], at(10, y)[x]);
      at(11, y)[x] = avg_round_up(at(10, y)[x], at(8, y)[x + 1]);
    }
  for (int32_t y = 0; y < height; y++)
    for (int32_t x = 0; x < width; x++) {
      for (int32_t p = 0; p < 4; p++) {
        at(4 + p, y)[x] = avg_round_up(at(p, y)[x], at(8 + p, y)[x]);
        at(12 + p, y)[x] = avg_round_up(at(8 + p, y)[x], at(p, y + 1)[x]);
      }
    }
}

// Phase 0 of lowres_init alone, rows 0..h-1 and columns 0..w-1: the phase
// planes cost fifteen times more and the lookahead keeps only this one.
void lowres_plane0_c(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t width,
                     int32_t height) {
  halve_2x<1>(planes, dst_stride, src, src_stride, width, height);
}

void setup_mc_primitives(uint32_t cpu_flags, mc_funcs_t *m) {
  m->mc_luma = mc_luma_c;
  m->mc_luma_ps = mc_luma_ps_c;
  m->mc_chroma = mc_chroma_c;
  m->mc_chroma_ps = mc_chroma_ps_c;
  m->bipred_avg = bipred_avg_c;
  m->luma_hfilter_planes = luma_hfilter_planes_c;
  m->subpel_planes_build = subpel_planes_build_c;
  m->subpel_plane_copy = subpel_plane_copy_c;
  m->subpel_plane_ptr = subpel_plane_ptr_c;
  m->pixel_avg = pixel_avg_c;
  m->lowres_init = lowres_init_c;
  m->downscale_2x = downscale_2x_c;
  m->lowres_plane0 = lowres_plane0_c;
  m->get_ref = get_ref_c;
  m->get_ref_bilinear = get_ref_bilinear_c;
  m->chroma_fullpel_ptr = chroma_fullpel_ptr_c;
  m->mbtree_propagate_cost = mbtree_propagate_cost_c;
  m->block_copy = block_copy_c;
  m->ctu_downscale_64x64 = ctu_downscale_c<64>;
  m->ctu_border_downscale_64x64 = ctu_border_downscale_c<64>;
  m->ctu_downscale_32x32 = ctu_downscale_c<32>;
  m->ctu_border_downscale_32x32 = ctu_border_downscale_c<32>;
  m->lowres_cost_energy = lowres_cost_energy_c;

  if (cpu_flags & CPU_FLAG_SSSE3) install_mc_ssse3(m);
  if (cpu_flags & CPU_FLAG_AVX2) install_mc_avx2(m);
}
