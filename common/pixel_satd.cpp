// Hadamard-based costs (SATD, SA8D), the Hadamard AC energy and the CTU
// gradient pyramids.  All sums are exact: the largest, a 64x64 SATD, stays
// below 2^24.
#include <cstdlib>
#include <initializer_list>

#include "common/pixel_c.h"

namespace {

// In-place 4-point Walsh-Hadamard butterfly (unnormalised, natural order is
// irrelevant because only absolute sums are taken).
inline void wht4(int32_t &a, int32_t &b, int32_t &c, int32_t &d) {
  const int32_t s0 = a + b, d0 = a - b, s1 = c + d, d1 = c - d;
  a = s0 + s1;
  b = s0 - s1;
  c = d0 + d1;
  d = d0 - d1;
}

inline void wht8(int32_t *v, int32_t step) {
  int32_t t[8];
  for (int32_t i = 0; i < 8; i++) t[i] = v[i * step];
  for (int32_t len = 1; len < 8; len <<= 1)
    for (int32_t i = 0; i < 8; i += 2 * len)
      for (int32_t j = i; j < i + len; j++) {
        const int32_t x = t[j], y = t[j + len];
        t[j] = x + y;
        t[j + len] = x - y;
      }
  for (int32_t i = 0; i < 8; i++) v[i * step] = t[i];
}

// SATD of a w x h block (multiples of 4): half the absolute Hadamard sum of
// every 4x4 tile.  Each tile sum is even, so halving per tile, per 8x4 pair
// or over the whole block gives the same value.
template <int W, int H>
uint32_t satd_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  uint32_t sum = 0;
  for (int32_t y = 0; y < H; y += 4)
    for (int32_t x = 0; x < W; x += 4)
      sum += hadamard_abs_4x4(a + y * a_stride + x, a_stride, b + y * b_stride + x, b_stride) >> 1;
  return sum;
}

// SA8D of sizes from 16x16 upward: the sum of the rounded 16x16 results.
template <int W, int H>
uint32_t sa8d_big_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  uint32_t sum = 0;
  for (int32_t y = 0; y < H; y += 16)
    for (int32_t x = 0; x < W; x += 16)
      sum += sa8d_16x16_c(a + y * a_stride + x, a_stride, b + y * b_stride + x, b_stride);
  return sum;
}

uint32_t sa8d_16x8_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return (sa8d_raw_8x8_c(a, a_stride, b, b_stride) + sa8d_raw_8x8_c(a + 8, a_stride, b + 8, b_stride) + 2) >> 2;
}

uint32_t sa8d_8x16_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return sa8d_8x8_c(a, a_stride, b, b_stride) + sa8d_8x8_c(a + 8 * a_stride, a_stride, b + 8 * b_stride, b_stride);
}

uint32_t sa8d_32x16_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return sa8d_big_c<32, 16>(a, a_stride, b, b_stride);
}
uint32_t sa8d_64x32_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return sa8d_big_c<64, 32>(a, a_stride, b, b_stride);
}

// Every second row, doubled: the cost of the even rows as a block of half
// the height, read with doubled strides.
uint32_t sa8d_half_16x16_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return 2 * sa8d_16x8_c(a, 2 * a_stride, b, 2 * b_stride);
}
uint32_t sa8d_half_32x32_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return 2 * sa8d_32x16_c(a, 2 * a_stride, b, 2 * b_stride);
}
uint32_t sa8d_half_64x64_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return 2 * sa8d_64x32_c(a, 2 * a_stride, b, 2 * b_stride);
}

// Hadamard AC energy of two 4x4 source blocks side by side.
uint32_t hadamard_ac_8x8_c(const uint8_t *src, int32_t stride) {
  uint32_t packed = 0;
  for (int32_t half = 0; half < 2; half++) {
    int32_t m[4][4];
    for (int32_t y = 0; y < 4; y++)
      for (int32_t x = 0; x < 4; x++) m[y][x] = src[y * stride + 4 * half + x];
    for (int32_t y = 0; y < 4; y++) wht4(m[y][0], m[y][1], m[y][2], m[y][3]);
    for (int32_t x = 0; x < 4; x++) wht4(m[0][x], m[1][x], m[2][x], m[3][x]);
    uint32_t sum = 0;
    for (int32_t y = 0; y < 4; y++)
      for (int32_t x = 0; x < 4; x++) sum += static_cast<uint32_t>(std::abs(m[y][x]));
    // The DC coefficient is the (non-negative) sample sum; AC excludes it.
    const uint32_t ac = sum - static_cast<uint32_t>(m[0][0]);
    packed |= (ac >> 1) << (16 * half);
  }
  return packed;
}

// ----------------------------------------------------------- gradients
// Per-sample terms of the pyramids; a sample right of column 63 repeats
// column 63, so nothing outside the 64x64 source is read.
enum gradient_dir { GRAD_V = 0, GRAD_H = 1, GRAD_D1 = 2, GRAD_D2 = 3 };

inline uint32_t gradient_term(const uint8_t *p, int32_t x, int32_t y, int32_t dir) {
  const int32_t xr = x < 63 ? x + 1 : 63;
  const uint8_t *row = p + y * 64, *next = p + (y + 1) * 64;
  int32_t d = 0;
  switch (dir) {
    case GRAD_V: d = row[x] - next[x]; break;
    case GRAD_H: d = row[x] - row[xr]; break;
    case GRAD_D1: d = row[x] - next[xr]; break;
    default: d = row[xr] - next[x]; break;
  }
  return static_cast<uint32_t>(std::abs(d));
}

// Leaves from the 8x8 level, then every parent as the sum of its children.
void gradient_fill(const uint8_t *src, gradient_record_t *r, int32_t dir) {
  for (int32_t j = 0; j < 8; j++)
    for (int32_t i = 0; i < 8; i++) {
      uint32_t sum = 0;
      for (int32_t y = 8 * j; y < 8 * j + 7; y++)
        for (int32_t x = 8 * i; x < 8 * i + 8; x++) sum += gradient_term(src, x, y, dir);
      r->node[21 + 8 * j + i] = sum;
    }
}

uint32_t ctu_gradient_pyramid_c(const uint8_t *src, ctu_gradients_t *g) {
  gradient_record_t h, v;
  gradient_fill(src, &h, GRAD_H);
  gradient_fill(src, &v, GRAD_V);
  for (int32_t k = 21; k < 85; k++) g->combined.node[k] = h.node[k] + v.node[k];
  gradient_sum_levels(&g->combined);
  return g->combined.node[0];
}

uint32_t ctu_gradient_hv_pyramid_c(const uint8_t *src, ctu_gradients_t *g) {
  for (int32_t d : {GRAD_V, GRAD_H}) {
    gradient_fill(src, &g->dir[d], d);
    gradient_sum_levels(&g->dir[d]);
  }
  gradient_combine(g);
  return g->dir[GRAD_V].node[0];
}

uint32_t ctu_gradient_diag_pyramid_c(const uint8_t *src, ctu_gradients_t *g) {
  for (int32_t d : {GRAD_D1, GRAD_D2}) {
    gradient_fill(src, &g->dir[d], d);
    gradient_sum_levels(&g->dir[d]);
  }
  return g->dir[GRAD_D2].node[0];
}

uint32_t ctu_gradient_dir4_pyramid_c(const uint8_t *src, ctu_gradients_t *g) {
  for (int32_t d = 0; d < 4; d++) {
    gradient_fill(src, &g->dir[d], d);
    gradient_sum_levels(&g->dir[d]);
  }
  return g->dir[GRAD_D2].node[0];
}

}  // namespace

void gradient_sum_levels(gradient_record_t *r) {
  for (int32_t j = 0; j < 4; j++)
    for (int32_t i = 0; i < 4; i++) {
      const uint32_t *c = r->node + 21 + 16 * j + 2 * i;
      r->node[5 + 4 * j + i] = c[0] + c[1] + c[8] + c[9];
    }
  for (int32_t j = 0; j < 2; j++)
    for (int32_t i = 0; i < 2; i++) {
      const uint32_t *c = r->node + 5 + 8 * j + 2 * i;
      r->node[1 + 2 * j + i] = c[0] + c[1] + c[4] + c[5];
    }
  r->node[0] = r->node[1] + r->node[2] + r->node[3] + r->node[4];
}

void gradient_combine(ctu_gradients_t *g) {
  for (int32_t k = 0; k < 85; k++) g->combined.node[k] = g->dir[GRAD_H].node[k] + g->dir[GRAD_V].node[k];
}

uint32_t hadamard_abs_4x4(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  int32_t m[4][4];
  for (int32_t y = 0; y < 4; y++)
    for (int32_t x = 0; x < 4; x++) m[y][x] = a[y * a_stride + x] - b[y * b_stride + x];
  for (int32_t y = 0; y < 4; y++) wht4(m[y][0], m[y][1], m[y][2], m[y][3]);
  for (int32_t x = 0; x < 4; x++) wht4(m[0][x], m[1][x], m[2][x], m[3][x]);
  uint32_t sum = 0;
  for (int32_t y = 0; y < 4; y++)
    for (int32_t x = 0; x < 4; x++) sum += static_cast<uint32_t>(std::abs(m[y][x]));
  return sum;
}

uint32_t sa8d_raw_8x8_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  int32_t m[64];
  for (int32_t y = 0; y < 8; y++)
    for (int32_t x = 0; x < 8; x++) m[8 * y + x] = a[y * a_stride + x] - b[y * b_stride + x];
  for (int32_t y = 0; y < 8; y++) wht8(m + 8 * y, 1);
  for (int32_t x = 0; x < 8; x++) wht8(m + x, 8);
  uint32_t sum = 0;
  for (int32_t v : m) sum += static_cast<uint32_t>(std::abs(v));
  return sum;
}

uint32_t satd_4x4_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return hadamard_abs_4x4(a, a_stride, b, b_stride) >> 1;
}

void satd_x4_4x4_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, uint32_t out[4]) {
  for (int32_t k = 0; k < 4; k++) out[k] = satd_4x4_c(a, a_stride, b + 4 * k, b_stride);
}

uint32_t sa8d_8x8_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return (sa8d_raw_8x8_c(a, a_stride, b, b_stride) + 2) >> 2;
}

template <int W, int H>
void sa8d_blocks_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, uint32_t *raw) {
  for (int32_t y = 0; y < H; y += 8)
    for (int32_t x = 0; x < W; x += 8)
      *raw++ = sa8d_raw_8x8_c(a + y * a_stride + x, a_stride, b + y * b_stride + x, b_stride);
}

uint32_t sa8d_16x16_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  uint32_t raw = 0;
  for (int32_t y = 0; y < 16; y += 8)
    for (int32_t x = 0; x < 16; x += 8) raw += sa8d_raw_8x8_c(a + y * a_stride + x, a_stride, b + y * b_stride + x, b_stride);
  return (raw + 2) >> 2;
}

uint32_t sa8d_32x32_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return sa8d_big_c<32, 32>(a, a_stride, b, b_stride);
}
uint32_t sa8d_64x64_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  return sa8d_big_c<64, 64>(a, a_stride, b, b_stride);
}

void fill_satd_primitives(pixel_funcs_t *p) {
  p->satd[0] = satd_c<64, 64>;
  p->satd[1] = satd_c<32, 32>;
  p->satd[2] = satd_c<16, 16>;
  p->satd[3] = satd_c<8, 8>;
  p->satd[4] = satd_4x4_c;
  p->satd_x4_4x4 = satd_x4_4x4_c;
  p->sa8d_blocks_16x16 = sa8d_blocks_c<16, 16>;
  p->sa8d_blocks_16x8 = sa8d_blocks_c<16, 8>;
  p->sa8d_blocks_8x16 = sa8d_blocks_c<8, 16>;
  p->sa8d_blocks_8x8 = sa8d_blocks_c<8, 8>;
  p->satd_wide[0] = satd_c<64, 32>;
  p->satd_wide[1] = satd_c<32, 16>;
  p->satd_wide[2] = satd_c<16, 8>;
  p->satd_wide[3] = satd_c<8, 4>;
  p->satd_wide[4] = satd_4x4_c;
  p->satd_tall[0] = satd_c<32, 64>;
  p->satd_tall[1] = satd_c<16, 32>;
  p->satd_tall[2] = satd_c<8, 16>;
  p->satd_tall[3] = satd_c<4, 8>;
  p->satd_tall[4] = satd_4x4_c;

  p->sa8d[0] = sa8d_64x64_c;
  p->sa8d[1] = sa8d_32x32_c;
  p->sa8d[2] = sa8d_16x16_c;
  p->sa8d[3] = sa8d_8x8_c;
  p->sa8d[4] = satd_4x4_c;
  p->sa8d_wide[0] = sa8d_64x32_c;
  p->sa8d_wide[1] = sa8d_32x16_c;
  p->sa8d_wide[2] = sa8d_16x8_c;
  p->sa8d_wide[3] = satd_c<8, 4>;
  p->sa8d_wide[4] = satd_4x4_c;
  p->sa8d_tall[0] = sa8d_big_c<32, 64>;
  p->sa8d_tall[1] = sa8d_big_c<16, 32>;
  p->sa8d_tall[2] = sa8d_8x16_c;
  p->sa8d_tall[3] = satd_c<4, 8>;
  p->sa8d_tall[4] = satd_4x4_c;
  p->sa8d_half[0] = sa8d_half_64x64_c;
  p->sa8d_half[1] = sa8d_half_32x32_c;
  p->sa8d_half[2] = sa8d_half_16x16_c;
  p->sa8d_half[3] = sa8d_8x8_c;  // the 8x8 member is the full SA8D
  p->sa8d_half[4] = satd_4x4_c;
  p->hadamard_ac_8x8 = hadamard_ac_8x8_c;
}

void fill_gradient_primitives(pixel_funcs_t *p) {
  p->ctu_gradient_pyramid = ctu_gradient_pyramid_c;
  p->ctu_gradient_dir4_pyramid = ctu_gradient_dir4_pyramid_c;
  p->ctu_gradient_hv_pyramid = ctu_gradient_hv_pyramid_c;
  p->ctu_gradient_diag_pyramid = ctu_gradient_diag_pyramid_c;
}
