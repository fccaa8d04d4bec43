// Portable pixel-cost functions (SAD, SSD, variance, coefficient helpers,
// aligned copies) and the pixel table setup.  Costs are unsigned 32-bit and
// exact: the largest, a 64x64 SSD, is at most 4096 * 255^2 < 2^28.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/pixel_c.h"
#include "common/residual_ctx.h"
#include "simd/x86/simd_install.h"

namespace {

template <int W, int H>
uint32_t sad_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  uint32_t sum = 0;
  for (int32_t y = 0; y < H; y++, a += a_stride, b += b_stride)
    for (int32_t x = 0; x < W; x++) sum += static_cast<uint32_t>(std::abs(a[x] - b[x]));
  return sum;
}

// Rows 0, 2, 4, ... only, doubled: a search cost at half the reads.
template <int W, int H>
uint32_t sad_half_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  static_assert(H % 2 == 0);
  return 2 * sad_c<W, H / 2>(a, 2 * a_stride, b, 2 * b_stride);
}

// The multi-candidate forms read the source copy at its fixed stride 64.
template <int W, int H>
void sad_x4_half_c(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2, const uint8_t *r3,
                   int32_t ref_stride, uint32_t out[4]) {
  out[0] = sad_half_c<W, H>(src, SRC_STRIDE, r0, ref_stride);
  out[1] = sad_half_c<W, H>(src, SRC_STRIDE, r1, ref_stride);
  out[2] = sad_half_c<W, H>(src, SRC_STRIDE, r2, ref_stride);
  out[3] = sad_half_c<W, H>(src, SRC_STRIDE, r3, ref_stride);
}

template <int W, int H>
void sad_x3_half_c(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2, int32_t ref_stride,
                   uint32_t out[3]) {
  out[0] = sad_half_c<W, H>(src, SRC_STRIDE, r0, ref_stride);
  out[1] = sad_half_c<W, H>(src, SRC_STRIDE, r1, ref_stride);
  out[2] = sad_half_c<W, H>(src, SRC_STRIDE, r2, ref_stride);
}

template <int W, int H>
void sad_x2_half_c(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, int32_t ref_stride, uint32_t out[2]) {
  out[0] = sad_half_c<W, H>(src, SRC_STRIDE, r0, ref_stride);
  out[1] = sad_half_c<W, H>(src, SRC_STRIDE, r1, ref_stride);
}

template <int W, int H>
uint32_t ssd_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  uint32_t sum = 0;
  for (int32_t y = 0; y < H; y++, a += a_stride, b += b_stride)
    for (int32_t x = 0; x < W; x++) {
      const int32_t d = a[x] - b[x];
      sum += static_cast<uint32_t>(d * d);
    }
  return sum;
}

// Sum modulo 2^32; nothing is read for an empty block.
uint32_t ssd_wxh_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return 0;
  uint32_t sum = 0;
  for (int32_t y = 0; y < h; y++, a += a_stride, b += b_stride)
    for (int32_t x = 0; x < w; x++) {
      const int32_t d = a[x] - b[x];
      sum += static_cast<uint32_t>(d * d);
    }
  return sum;
}

uint32_t sad_wxh_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return 0;
  uint32_t sum = 0;
  for (int32_t y = 0; y < h; y++, a += a_stride, b += b_stride)
    for (int32_t x = 0; x < w; x++) sum += static_cast<uint32_t>(std::abs(a[x] - b[x]));
  return sum;
}

// Sum of the samples in the low 32 bits, sum of their squares in the high 32
// (64x64: at most 4096 * 65025 < 2^32, so neither half can carry).
template <int N>
uint64_t pixel_var_c(const uint8_t *pix, int32_t stride) {
  uint32_t sum = 0, sqr = 0;
  for (int32_t y = 0; y < N; y++, pix += stride)
    for (int32_t x = 0; x < N; x++) {
      sum += pix[x];
      sqr += static_cast<uint32_t>(pix[x]) * pix[x];
    }
  return (static_cast<uint64_t>(sqr) << 32) | sum;
}

// Any log2 size outside 2..5 counts nothing rather than reading past a
// 32x32 block.
uint32_t count_nonzero_c(const int16_t *coef, int32_t log2_size) {
  if (log2_size < 2 || log2_size > 5) return 0;
  const int32_t n = 1 << (2 * log2_size);
  uint32_t count = 0;
  for (int32_t i = 0; i < n; i++) count += coef[i] != 0;
  return count;
}

// A byte-exact copy of an N x N block.  Which side is the CTU's aligned
// working buffer matters only to the vector kernels of the four slots.
template <int N>
void copy_square_c(uint8_t *dst, const uint8_t *src, int32_t dst_stride, int32_t src_stride) {
  for (int32_t y = 0; y < N; y++) std::memcpy(dst + y * dst_stride, src + y * src_stride, N);
}

void copy_to_aligned_64x64_c(uint8_t *dst, const uint8_t *src, int32_t dst_stride, int32_t src_stride) {
  copy_square_c<64>(dst, src, dst_stride, src_stride);
}
void copy_to_aligned_32x32_c(uint8_t *dst, const uint8_t *src, int32_t dst_stride, int32_t src_stride) {
  copy_square_c<32>(dst, src, dst_stride, src_stride);
}
void copy_from_aligned_64x64_c(uint8_t *dst, const uint8_t *src, int32_t dst_stride, int32_t src_stride) {
  copy_square_c<64>(dst, src, dst_stride, src_stride);
}
void copy_from_aligned_32x32_c(uint8_t *dst, const uint8_t *src, int32_t dst_stride, int32_t src_stride) {
  copy_square_c<32>(dst, src, dst_stride, src_stride);
}

}  // namespace

uint32_t coeff_levels_4x4_c(const int16_t *coef, int32_t scan_type, int16_t *out) {
  const uint32_t raster = residual_ctx::nonzero_mask_4x4(coef);
  const auto &to_scan = residual_ctx::scan_map_4x4[scan_type];
  const uint32_t map = to_scan[0][raster & 255] | to_scan[1][raster >> 8];
  const auto &order = residual_ctx::inner_scan[scan_type];
  int32_t n = 0;
  for (uint32_t m = map; m; m &= m - 1) out[n++] = coef[order[15 - __builtin_ctz(m)]];
  std::memset(out + n, 0, sizeof(int16_t) * static_cast<size_t>(16 - n));
  return map;
}

// Walks the scan until `nonzero` coefficients have been seen, building per
// 4x4 group the sign bits, significance map and count in scan order.  The
// walk never passes the end of the width x width scan table, whatever count
// it is given; it returns the scan position of the last non-zero coefficient
// it met, or -1 when it met none.
int32_t coeff_scan_groups_c(const uint16_t *scan, const int16_t *coef, uint16_t *signs, uint16_t *sigmap,
                            uint8_t *counts, int32_t nonzero, const uint16_t * /*scan4x4*/, int32_t width) {
  std::memset(signs, 0, 64 * sizeof(uint16_t));
  std::memset(sigmap, 0, 64 * sizeof(uint16_t));
  std::memset(counts, 0, 64);
  const int32_t side = std::clamp(width, 0, 32);
  const int32_t positions = side * side;
  int32_t last = -1;
  for (int32_t p = 0; p < positions && nonzero > 0; p++) {
    const int16_t c = coef[scan[p]];
    const int32_t g = p >> 4;
    signs[g] = static_cast<uint16_t>(signs[g] + ((c < 0 ? 1u : 0u) << counts[g]));
    sigmap[g] = static_cast<uint16_t>(2 * sigmap[g] + (c != 0));
    if (c != 0) {
      counts[g]++;
      nonzero--;
      last = p;
    }
  }
  return last;
}

void setup_pixel_primitives(uint32_t cpu_flags, pixel_funcs_t *p, int32_t block_cost_level) {
  *p = pixel_funcs_t{};
  p->sad_half[0] = sad_half_c<64, 64>;
  p->sad_half[1] = sad_half_c<32, 32>;
  p->sad_half[2] = sad_half_c<16, 16>;
  p->sad_half[3] = sad_half_c<8, 8>;
  p->sad_half[4] = sad_half_c<4, 4>;
  p->sad[0] = sad_c<64, 64>;
  p->sad[1] = sad_c<32, 32>;
  p->sad[2] = sad_c<16, 16>;
  p->sad[3] = sad_c<8, 8>;
  p->sad[4] = sad_c<4, 4>;
  p->sad_half_wide[0] = sad_half_c<64, 32>;
  p->sad_half_wide[1] = sad_half_c<32, 16>;
  p->sad_half_wide[2] = sad_half_c<16, 8>;
  p->sad_half_wide[3] = sad_half_c<8, 4>;
  p->sad_half_wide[4] = sad_half_c<4, 2>;
  p->sad_half_tall[0] = sad_half_c<32, 64>;
  p->sad_half_tall[1] = sad_half_c<16, 32>;
  p->sad_half_tall[2] = sad_half_c<8, 16>;
  p->sad_half_tall[3] = sad_half_c<4, 8>;
  p->sad_half_tall[4] = sad_half_c<2, 4>;
  p->sad_x4_half[0] = sad_x4_half_c<64, 64>;
  p->sad_x4_half[1] = sad_x4_half_c<32, 32>;
  p->sad_x4_half[2] = sad_x4_half_c<16, 16>;
  p->sad_x4_half[3] = sad_x4_half_c<8, 8>;
  p->sad_x4_half[4] = nullptr;  // no search scores four 4x4 points
  p->sad_x4_half_wide[0] = sad_x4_half_c<64, 32>;
  p->sad_x4_half_wide[1] = sad_x4_half_c<32, 16>;
  p->sad_x4_half_wide[2] = sad_x4_half_c<16, 8>;
  p->sad_x4_half_wide[3] = sad_x4_half_c<8, 4>;
  p->sad_x4_half_wide[4] = sad_x4_half_c<4, 2>;
  p->sad_x4_half_tall[0] = sad_x4_half_c<32, 64>;
  p->sad_x4_half_tall[1] = sad_x4_half_c<16, 32>;
  p->sad_x4_half_tall[2] = sad_x4_half_c<8, 16>;
  p->sad_x4_half_tall[3] = sad_x4_half_c<4, 8>;
  p->sad_x4_half_tall[4] = sad_x4_half_c<2, 4>;
  p->sad_x4_half_flat[0] = sad_x4_half_c<64, 16>;
  p->sad_x4_half_flat[1] = sad_x4_half_c<32, 8>;
  p->sad_x4_half_flat[2] = sad_x4_half_c<16, 4>;
  p->sad_x4_half_flat[3] = nullptr;  // no block is costed by 8x2 halves
  p->sad_x4_half_flat[4] = nullptr;
  p->sad_x3_half[0] = sad_x3_half_c<64, 64>;
  p->sad_x3_half[1] = sad_x3_half_c<32, 32>;
  p->sad_x3_half[2] = sad_x3_half_c<16, 16>;
  p->sad_x3_half[3] = sad_x3_half_c<8, 8>;
  p->sad_x3_half[4] = sad_x3_half_c<4, 4>;
  p->sad_x2_half[0] = sad_x2_half_c<64, 64>;
  p->sad_x2_half[1] = sad_x2_half_c<32, 32>;
  p->sad_x2_half[2] = sad_x2_half_c<16, 16>;
  p->sad_x2_half[3] = sad_x2_half_c<8, 8>;
  p->sad_x2_half[4] = sad_x2_half_c<4, 4>;
  p->ssd[0] = ssd_c<64, 64>;
  p->ssd[1] = ssd_c<32, 32>;
  p->ssd[2] = ssd_c<16, 16>;
  p->ssd[3] = ssd_c<8, 8>;
  p->ssd[4] = ssd_c<4, 4>;
  p->ssd_wide[0] = ssd_c<64, 32>;
  p->ssd_wide[1] = ssd_c<32, 16>;
  p->ssd_wide[2] = ssd_c<16, 8>;
  p->ssd_wide[3] = ssd_c<8, 4>;
  p->ssd_wide[4] = ssd_c<4, 2>;
  p->ssd_tall[0] = ssd_c<32, 64>;
  p->ssd_tall[1] = ssd_c<16, 32>;
  p->ssd_tall[2] = ssd_c<8, 16>;
  p->ssd_tall[3] = ssd_c<4, 8>;
  p->ssd_tall[4] = ssd_c<2, 4>;
  fill_satd_primitives(p);
  fill_gradient_primitives(p);
  p->pixel_var_64x64 = pixel_var_c<64>;
  p->pixel_var_32x32 = pixel_var_c<32>;
  p->pixel_var_16x16 = pixel_var_c<16>;
  p->pixel_var_8x8 = pixel_var_c<8>;
  p->pixel_var_4x4 = pixel_var_c<4>;
  p->ssd_wxh = ssd_wxh_c;
  p->sad_wxh = sad_wxh_c;
  p->count_nonzero = count_nonzero_c;
  p->coeff_scan_groups = coeff_scan_groups_c;
  p->coeff_levels_4x4 = coeff_levels_4x4_c;
  p->copy_to_aligned_64x64 = copy_to_aligned_64x64_c;
  p->copy_to_aligned_32x32 = copy_to_aligned_32x32_c;
  p->copy_from_aligned_64x64 = copy_from_aligned_64x64_c;
  p->copy_from_aligned_32x32 = copy_from_aligned_32x32_c;

  // The block cost is the search's rough cost of a whole block: half-row SAD
  // for the fast levels, SA8D from level 1 on.
  for (int32_t c = 0; c < 5; c++) p->block_cost[c] = block_cost_level < 1 ? p->sad_half[c] : p->sa8d[c];

  if (cpu_flags & CPU_FLAG_SSSE3) install_pixel_ssse3(p, block_cost_level);
  if (cpu_flags & CPU_FLAG_AVX2) install_pixel_avx2(p, block_cost_level);
}
