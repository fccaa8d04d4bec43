// Pixel helpers of every tier and the portable lookahead helpers against
// independent definitions:
// Hadamard costs by explicit matrix products, the gradient and AC energy
// values of known patterns, and the bounds the helpers must keep.
#include <gtest/gtest.h>

#include <cstdlib>
#include <numeric>
#include <vector>

#include "checkasm.h"
#include "checkasm_pixel_slots.h"
#include "common/primitives.h"

namespace {

// Sylvester Hadamard matrix entry of order n (a power of two).
int32_t hadamard(int32_t i, int32_t j) { return (__builtin_popcount(static_cast<uint32_t>(i & j)) & 1) ? -1 : 1; }

// Sum of |H D H^T| over an n x n block of differences, by matrix products.
int64_t abs_transform_sum(const std::vector<int32_t> &d, int32_t stride, int32_t x0, int32_t y0, int32_t n) {
  int64_t sum = 0;
  for (int32_t u = 0; u < n; u++)
    for (int32_t v = 0; v < n; v++) {
      int64_t c = 0;
      for (int32_t y = 0; y < n; y++)
        for (int32_t x = 0; x < n; x++) c += hadamard(u, y) * hadamard(v, x) * d[(y0 + y) * stride + x0 + x];
      sum += std::llabs(c);
    }
  return sum;
}

struct PixelCosts : ::testing::TestWithParam<uint32_t> {
  void SetUp() override { setup_pixel_primitives(GetParam(), &p, 1); }
  pixel_funcs_t p{};
};

TEST_P(PixelCosts, SatdAndSa8dEqualHadamardSumsWithoutSaturation) {
  checkasm::rng_t r(checkasm::test_seed());
  std::vector<uint8_t> a(64 * 64), b(64 * 64);
  for (int32_t trial = 0; trial < 6; trial++) {
    for (size_t i = 0; i < a.size(); i++) {
      // Extreme residuals (0 against 255 in a checkerboard) maximise every sum.
      a[i] = trial < 2 ? ((i + i / 64) & 1 ? 255 : 0) : r.byte();
      b[i] = trial < 2 ? ((i + i / 64) & 1 ? 0 : 255) : r.byte();
    }
    std::vector<int32_t> d(64 * 64);
    for (size_t i = 0; i < d.size(); i++) d[i] = a[i] - b[i];
    for (int32_t c = 0; c < 5; c++) {
      const int32_t n = 64 >> c;
      int64_t satd = 0;
      for (int32_t y = 0; y < n; y += 4)
        for (int32_t x = 0; x < n; x += 4) satd += abs_transform_sum(d, 64, x, y, 4);
      EXPECT_EQ(p.satd[c](a.data(), 64, b.data(), 64), satd / 2) << "satd " << n;
      if (n < 8) continue;
      int64_t sa8d = 0;
      if (n == 8) {
        sa8d = (abs_transform_sum(d, 64, 0, 0, 8) + 2) >> 2;
      } else {
        for (int32_t y = 0; y < n; y += 16)
          for (int32_t x = 0; x < n; x += 16) {
            int64_t raw = 0;
            for (int32_t k = 0; k < 4; k++) raw += abs_transform_sum(d, 64, x + 8 * (k & 1), y + 8 * (k >> 1), 8);
            sa8d += (raw + 2) >> 2;
          }
      }
      EXPECT_EQ(p.sa8d[c](a.data(), 64, b.data(), 64), sa8d) << "sa8d " << n;
      EXPECT_EQ(p.block_cost[c](a.data(), 64, b.data(), 64), sa8d) << "block cost " << n;
    }
  }
}

TEST_P(PixelCosts, HalfRowSadDoublesTheEvenRows) {
  std::vector<uint8_t> a(64 * 64, 0), b(64 * 64, 0);
  for (int32_t x = 0; x < 64; x++) {
    b[x] = 3;        // row 0 counts twice
    b[64 + x] = 200;  // row 1 is skipped
  }
  EXPECT_EQ(p.sad_half[0](a.data(), 64, b.data(), 64), 2u * 64 * 3);
  EXPECT_EQ(p.sad[0](a.data(), 64, b.data(), 64), 64u * 203);
  uint32_t out[4];
  p.sad_x4_half[1](a.data(), b.data(), b.data() + 1, a.data(), b.data() + 64, 64, out);
  EXPECT_EQ(out[0], 2u * 32 * 3);
  EXPECT_EQ(out[1], 2u * 32 * 3);
  EXPECT_EQ(out[2], 0u);
  EXPECT_EQ(out[3], 2u * 32 * 200);
}

TEST_P(PixelCosts, SsdOfAnySizeIsZeroForEmptyBlocks) {
  std::vector<uint8_t> a(64 * 64, 10), b(64 * 64, 13);
  for (int32_t w : {-5, 0, 1, 7, 64})
    for (int32_t h : {-5, 0, 1, 9, 64}) {
      const uint32_t expect = (w > 0 && h > 0) ? static_cast<uint32_t>(9 * w * h) : 0;
      EXPECT_EQ(p.ssd_wxh(a.data(), 64, b.data(), 64, w, h), expect) << w << "x" << h;
      EXPECT_EQ(p.sad_wxh(a.data(), 64, b.data(), 64, w, h), expect / 3) << w << "x" << h;
    }
  EXPECT_EQ(p.ssd[0](a.data(), 64, b.data(), 64), 9u * 4096);
}

TEST_P(PixelCosts, VarianceHoldsSumAndSumOfSquares) {
  std::vector<uint8_t> a(64 * 64, 255);
  const uint64_t v = p.pixel_var_64x64(a.data(), 64);
  EXPECT_EQ(v & 0xffffffffu, 4096u * 255);
  EXPECT_EQ(v >> 32, 4096u * 255 * 255);
}

TEST_P(PixelCosts, HadamardAcOfCheckerboardIs1020PerHalf) {
  uint8_t src[8 * 8];
  for (int32_t y = 0; y < 8; y++)
    for (int32_t x = 0; x < 8; x++) src[y * 8 + x] = y < 4 ? ((x + y) & 1 ? 0 : 255) : static_cast<uint8_t>(x * 31);
  EXPECT_EQ(p.hadamard_ac_8x8(src, 8), (1020u << 16) | 1020u);
  uint8_t flat[8 * 4];
  std::fill(flat, flat + 32, 77);
  EXPECT_EQ(p.hadamard_ac_8x8(flat, 8), 0u);
}

TEST_P(PixelCosts, GradientPyramidsOfKnownPatterns) {
  alignas(16) uint8_t cols[64 * 64], checker[64 * 64];
  for (int32_t y = 0; y < 64; y++)
    for (int32_t x = 0; x < 64; x++) {
      cols[y * 64 + x] = (x & 1) ? 255 : 0;
      checker[y * 64 + x] = ((x + y) & 1) ? 255 : 0;
    }
  ctu_gradients_t g{};
  p.ctu_gradient_dir4_pyramid(cols, &g);
  for (int32_t j = 0; j < 8; j++)
    for (int32_t i = 0; i < 8; i++) {
      const uint32_t h = i < 7 ? 14280 : 12495;
      EXPECT_EQ(g.dir[1].node[21 + 8 * j + i], h);
      EXPECT_EQ(g.dir[0].node[21 + 8 * j + i], 0u);
      EXPECT_EQ(g.dir[2].node[21 + 8 * j + i], h);
      EXPECT_EQ(g.dir[3].node[21 + 8 * j + i], h);
    }
  EXPECT_EQ(g.dir[1].node[0], 8u * (7 * 14280 + 12495));
  p.ctu_gradient_hv_pyramid(checker, &g);
  p.ctu_gradient_diag_pyramid(checker, &g);
  EXPECT_EQ(g.dir[0].node[21], 14280u);
  EXPECT_EQ(g.dir[2].node[21], 0u);
  EXPECT_EQ(g.dir[2].node[21 + 7], 1785u);
  EXPECT_EQ(g.combined.node[21], 14280u + 14280u);
  ctu_gradients_t c{};
  EXPECT_EQ(p.ctu_gradient_pyramid(checker, &c), g.combined.node[0]);
  for (int32_t k = 0; k < 85; k++) EXPECT_EQ(c.combined.node[k], g.combined.node[k]);
}

TEST_P(PixelCosts, CoefficientHelpersStayInsideTheirTables) {
  std::vector<int16_t> coef(16 * 16, 0);
  coef[5] = -3;
  coef[200] = 7;
  std::vector<uint16_t> scan(256);
  std::iota(scan.begin(), scan.end(), 0);
  uint16_t signs[64], sig[64];
  uint8_t counts[64];
  // A count far above the real number of coefficients stops at the table end.
  EXPECT_EQ(p.coeff_scan_groups(scan.data(), coef.data(), signs, sig, counts, 1 << 30, nullptr, 16), 200);
  EXPECT_EQ(counts[0], 1);
  EXPECT_EQ(signs[0], 1);
  EXPECT_EQ(counts[200 >> 4], 1);
  EXPECT_EQ(p.coeff_scan_groups(scan.data(), coef.data(), signs, sig, counts, 1, nullptr, 16), 5);
  EXPECT_EQ(sig[0], 1u);  // stopped right at position 5: bits for positions 0..5
  EXPECT_EQ(p.coeff_scan_groups(scan.data(), coef.data(), signs, sig, counts, 0, nullptr, 16), -1);
  EXPECT_EQ(p.count_nonzero(coef.data(), 4), 2u);
  EXPECT_EQ(p.count_nonzero(coef.data(), 9), 0u);
}

// Half-row SADs read the last sampled row (H - 2) and the last column, and
// never an odd row, for one and four candidates (also the flat halves).
TEST_P(PixelCosts, HalfRowSadsCountTheLastSampledRowAndColumnOnly) {
  for (int32_t i = 0; i < 129; i++) {
    if (i >= 35 && i < 124) continue;
    const checkasm::slot_shape_t s = checkasm::pixel_slot_shape(i);
    const bool full_sad = i >= 5 && i < 10;
    if (full_sad || s.w < 4 || s.h < 4 || (i >= 20 && s.k != checkasm::kind::x4) || checkasm::pixel_slot_empty(i))
      continue;
    std::vector<uint8_t> a(64 * 64, 50), b(64 * 64, 50);
    for (int32_t y = 1; y < s.h; y += 2) b[y * 64 + s.w - 1] = 250;  // odd rows: never read
    b[(s.h - 2) * 64 + s.w - 1] = 57;
    const void *fn = checkasm::slot_as<const void *>(p, static_cast<size_t>(i));
    if (s.k == checkasm::kind::x4) {
      uint32_t out[4];
      reinterpret_cast<sad_x4_fn>(fn)(a.data(), b.data(), a.data(), b.data(), a.data(), 64, out);
      EXPECT_EQ(out[0], 14u) << "slot " << i;
      EXPECT_EQ(out[1], 0u) << "slot " << i;
      EXPECT_EQ(out[2], 14u) << "slot " << i;
    } else {
      EXPECT_EQ(reinterpret_cast<pixel_cost_fn>(fn)(a.data(), 64, b.data(), 64), 14u) << "slot " << i;
    }
  }
}

// The values the kernels' maximum sums must reach without wrapping.
TEST_P(PixelCosts, ExtremeBlocksGiveTheLargestSums) {
  std::vector<uint8_t> hi(64 * 64, 255), lo(64 * 64, 0);
  const uint8_t *a = hi.data(), *b = lo.data();
  EXPECT_EQ(p.ssd[0](a, 64, b, 64), 266342400u);
  EXPECT_EQ(p.sa8d[3](a, 64, b, 64), 4080u);
  EXPECT_EQ(p.sa8d[2](a, 64, b, 64), 16320u);
  EXPECT_EQ(p.sa8d[0](a, 64, b, 64), 261120u);
  EXPECT_EQ(p.satd[4](a, 64, b, 64), 2040u);
  EXPECT_EQ(p.satd[3](a, 64, b, 64), 8160u);
  EXPECT_EQ(p.sad_half[0](a, 64, b, 64), 1044480u);
  EXPECT_EQ(p.sad_half[2](a, 64, b, 64), 65280u);
  EXPECT_EQ(p.sad_half_tall[3](a, 64, b, 64), 8160u);
  uint32_t out[4];
  p.sad_x4_half[0](a, b, b, b, b, 64, out);
  for (uint32_t v : out) EXPECT_EQ(v, 1044480u);
  // 255 times the 8x8 Hadamard matrix: every coefficient 2040, R = 130560.
  for (int32_t y = 0; y < 64; y++)
    for (int32_t x = 0; x < 64; x++) {
      const bool plus = hadamard(y & 7, x & 7) > 0;
      hi[y * 64 + x] = plus ? 255 : 0;
      lo[y * 64 + x] = plus ? 0 : 255;
    }
  EXPECT_EQ(p.sa8d[3](a, 64, b, 64), 32640u);
  EXPECT_EQ(p.sa8d[2](a, 64, b, 64), 130560u);
}

// Each 8x8 sum R = 282 (2 mod 4): the 16x16 unit rounds once, 2 below the
// sum of its four rounded 8x8 parts.
TEST_P(PixelCosts, Sa8dRoundsOncePer16x16Unit) {
  struct diff_t {
    int32_t y, x, d;
  };
  constexpr diff_t PATTERN[] = {{7, 5, 3}, {7, 2, -1}, {3, 3, 2}, {5, 0, 3}, {7, 1, 2}, {0, 6, -1}, {6, 4, 1}};
  std::vector<uint8_t> a(16 * 16, 100), b(16 * 16, 100);
  std::vector<int32_t> d(16 * 16, 0);
  for (int32_t k = 0; k < 4; k++)
    for (const diff_t &q : PATTERN) {
      const int32_t i = (8 * (k >> 1) + q.y) * 16 + 8 * (k & 1) + q.x;
      a[i] = static_cast<uint8_t>(100 + q.d);
      d[i] = q.d;
    }
  ASSERT_EQ(abs_transform_sum(d, 16, 0, 0, 8), 282);
  EXPECT_EQ(p.sa8d[3](a.data(), 16, b.data(), 16), 71u);
  EXPECT_EQ(p.sa8d[2](a.data(), 16, b.data(), 16), 282u);
  EXPECT_EQ(p.sa8d_wide[2](a.data(), 16, b.data(), 16), 141u);  // 16x8: (2 x 282 + 2) >> 2
  EXPECT_EQ(p.sa8d_tall[2](a.data(), 16, b.data(), 16), 142u);  // 8x16: two rounded 8x8
}

// A pattern of +-255 differences that puts 20400 into one class of pair
// values of every 8x8 block: four such blocks pass 65535 together, and every
// size gives the exact sum, never a clamped one.
TEST_P(PixelCosts, Sa8dClassSumsAreNotClamped) {
  // Sign of the difference by row (mod 4) and column (mod 8).
  constexpr int8_t SIGN[4][8] = {{-1, -1, 1, 1, -1, -1, 1, 1},
                                 {1, 1, -1, -1, 1, 1, -1, -1},
                                 {1, 1, -1, -1, 1, 1, -1, -1},
                                 {1, 1, 1, 1, 1, 1, 1, 1}};
  std::vector<uint8_t> a(64 * 64), b(64 * 64);
  std::vector<int32_t> d(64 * 64);
  for (int32_t y = 0; y < 64; y++)
    for (int32_t x = 0; x < 64; x++) {
      const bool plus = SIGN[y & 3][x & 7] > 0;
      a[y * 64 + x] = plus ? 255 : 0;
      b[y * 64 + x] = plus ? 0 : 255;
      d[y * 64 + x] = plus ? 255 : -255;
    }
  const int64_t raw8 = abs_transform_sum(d, 64, 0, 0, 8);
  EXPECT_EQ(p.sa8d[2](a.data(), 64, b.data(), 64), 40800u);
  EXPECT_EQ(p.sa8d[2](a.data(), 64, b.data(), 64), static_cast<uint32_t>((4 * raw8 + 2) >> 2));
  EXPECT_EQ(p.sa8d[1](a.data(), 64, b.data(), 64), 4 * 40800u);
  EXPECT_EQ(p.sa8d[0](a.data(), 64, b.data(), 64), 16 * 40800u);
  EXPECT_EQ(p.sa8d_wide[0](a.data(), 64, b.data(), 64), 8 * 40800u);
  EXPECT_EQ(p.sa8d_tall[0](a.data(), 64, b.data(), 64), 8 * 40800u);
  EXPECT_EQ(p.block_cost[1](a.data(), 64, b.data(), 64), 4 * 40800u);  // level 1: SA8D
}

// A full 1920x1080 plane whose true SSD passes 2^32 - 1 gives the sum modulo
// 2^32.
TEST_P(PixelCosts, SsdOfAWholePlaneWrapsModulo2To32) {
  std::vector<uint8_t> a(1920 * 1080, 255), b(1920 * 1080, 0);
  const uint64_t full = 1920ull * 1080 * 255 * 255;
  ASSERT_GT(full, 0xffffffffull);
  EXPECT_EQ(p.ssd_wxh(a.data(), 1920, b.data(), 1920, 1920, 1080), static_cast<uint32_t>(full));
  for (int32_t w : {23, 24})
    EXPECT_EQ(p.ssd_wxh(a.data(), 1920, b.data(), 1920, w, 3), static_cast<uint32_t>(w * 3 * 65025)) << w;
}

INSTANTIATE_TEST_SUITE_P(, PixelCosts, ::testing::ValuesIn(checkasm::flag_sets({0, 2, 3, 6, 7})),
                         checkasm::flags_name);

struct McHelpers : ::testing::Test {
  void SetUp() override { setup_mc_primitives(0, &mc); }
  mc_funcs_t mc{};
};

TEST_F(McHelpers, PropagateCostCannotOverflow) {
  const uint32_t incoming[3] = {0xffffffffu, 1000, 5};
  const uint32_t intra[3] = {0xffffffffu, 0, 100};
  const uint32_t costs[3] = {0, 5, 0x30000032u};  // kind bits above 28 are ignored
  const uint16_t weights[3] = {0xffff, 256, 256};
  int32_t out[3];
  mc.mbtree_propagate_cost(out, incoming, intra, costs, weights, 3);
  EXPECT_EQ(out[0], INT32_MAX);
  EXPECT_EQ(out[1], 0);
  EXPECT_EQ(out[2], (100 - 0x32) * (5 + 100) / 100);
}

TEST_F(McHelpers, BlockCopyHandlesEveryWidth) {
  for (int32_t w : {1, 3, 5, 17, 63, 65, 100})
    for (int32_t h : {1, 2, 7}) {
      std::vector<uint8_t> src(128 * 8), dst(128 * 8, 0);
      for (size_t i = 0; i < src.size(); i++) src[i] = static_cast<uint8_t>(i * 7 + 1);
      mc.block_copy(dst.data(), 128, src.data(), 128, w, h);
      for (int32_t y = 0; y < 8; y++)
        for (int32_t x = 0; x < 128; x++)
          ASSERT_EQ(dst[y * 128 + x], (x < w && y < h) ? src[y * 128 + x] : 0) << w << "x" << h;
    }
  uint8_t one = 9, dst = 0;
  mc.block_copy(&dst, 1, &one, 1, 0, 5);
  mc.block_copy(&dst, 1, &one, 1, 5, -1);
  EXPECT_EQ(dst, 0);
}

TEST_F(McHelpers, DownscalesRoundAsSpecified) {
  // 2x2 source 0 0 / 1 3: downscale rounds the last step down, lowres phase 0
  // rounds it up, and the CTU downscale averages horizontally first.
  std::vector<uint8_t> src(16 * 8, 0);
  src[16] = 1;
  src[17] = 3;
  uint8_t plane[16 * 4] = {};
  uint8_t *planes[16] = {plane};
  mc.downscale_2x(planes, 16, src.data(), 16, 1, 1);
  EXPECT_EQ(plane[0], 1);
  std::vector<std::vector<uint8_t>> lr(16, std::vector<uint8_t>(16 * 4));
  for (int32_t k = 0; k < 16; k++) planes[k] = lr[k].data();
  mc.lowres_init(planes, 16, src.data(), 16, 1, 1);
  EXPECT_EQ(lr[0][0], 2);
  // Plane 0 alone rounds as the phases do.
  uint8_t alone[16 * 4] = {};
  uint8_t *plane0[1] = {alone};
  mc.lowres_plane0(plane0, 16, src.data(), 16, 1, 1);
  EXPECT_EQ(alone[0], 2);
  std::vector<uint8_t> block(64 * 64, 0);
  block[64] = 1;
  block[65] = 3;
  mc.ctu_downscale_32x32(block.data());
  EXPECT_EQ(block[0], 1);
}

TEST_F(McHelpers, BilinearPredictionUsesItsRoundings) {
  // P = 0, Q = 2 (right) and 1 (below): (3P + Q + 2) >> 2 = 1 at quarter x.
  uint8_t src[4 * 4] = {0, 2, 0, 0, 1, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  uint8_t out = 0;
  int32_t stride = 1;
  mc.get_ref_bilinear(&out, &stride, src, 4, 1, 0, 1, 1);
  EXPECT_EQ(out, 1);
  // Both fractions 2: horizontal (0 + 2 + 1) >> 1 = 1 and (1 + 3 + 1) >> 1 = 2,
  // vertical (1 + 2 + 0) >> 1 = 1 (r = 0 for even vector components).
  mc.get_ref_bilinear(&out, &stride, src, 4, 2, 2, 1, 1);
  EXPECT_EQ(out, 1);
  // Whole-sample vectors return the reference itself with its stride.
  stride = 64;
  EXPECT_EQ(mc.get_ref_bilinear(&out, &stride, src, 4, 4, 4, 1, 1), src + 5);
  EXPECT_EQ(stride, 4);
}

TEST_F(McHelpers, LowresCostEnergySumsNeighbourhoodsPerCtu) {
  // 5 x 1 blocks of cost 64 (64^2 >> 10 = 4): interior blocks see 3
  // neighbours, the ends 2; CTU 0 holds blocks 0-3, CTU 1 block 4.
  const uint32_t costs[5] = {64, 64, 64, 64, 64 | 0x10000000u};
  uint32_t out[2];
  const uint32_t total = mc.lowres_cost_energy(out, costs, 5, 1, 5, 1);
  EXPECT_EQ(out[0], (8 + 12 + 12 + 12) + 4 * 100u);
  EXPECT_EQ(out[1], 8 + 100u);
  EXPECT_EQ(total, out[0] + out[1]);
}

}  // namespace
