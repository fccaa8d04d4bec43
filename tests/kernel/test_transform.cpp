// Portable transforms against a direct matrix model: the HEVC matrices are
// generated here from the cosine symmetry of the 32-point matrix and applied
// as plain sums in 64 bits, with the two-stage scaling of H.265 8.6.4.2.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/primitives.h"

namespace {

uint64_t announce_seed(const char *what) {
  const char *env = std::getenv("TARN_TEST_SEED");
  const uint64_t seed =
      env ? std::strtoull(env, nullptr, 0) : (uint64_t{std::random_device{}()} << 32) ^ std::random_device{}();
  std::printf("[ seed ] %s: TARN_TEST_SEED=%llu\n", what, static_cast<unsigned long long>(seed));
  return seed;
}

const char *current_test_name() { return ::testing::UnitTest::GetInstance()->current_test_info()->name(); }

// Entry (k, i) of the 32-point matrix is the integer approximation of
// 64 * sqrt(2) * cos(pi * k * (2i + 1) / 64); the standard's integers for
// the angles j * pi / 64, j = 0..32, are these magnitudes (j = 0 is the DC
// row, where the sqrt(2) is absent).  Every other angle folds onto them.
const int cos_magnitude[33] = {64, 90, 90, 90, 89, 88, 87, 85, 83, 82, 80, 78, 75, 73, 70, 67, 64,
                               61, 57, 54, 50, 46, 43, 38, 36, 31, 25, 22, 18, 13, 9,  4,  0};

int folded_cos(int j) {
  j %= 128;
  if (j <= 32) return cos_magnitude[j];
  if (j <= 64) return -cos_magnitude[64 - j];
  if (j <= 96) return -cos_magnitude[j - 64];
  return cos_magnitude[128 - j];
}

// The N-point matrix is every (32 / N)-th row of the 32-point one, first N
// columns: H.265 8.6.4.2 takes transMatrix rows at that step.
int dct_entry(int n, int k, int i) { return folded_cos(k * (32 / n) * (2 * i + 1)); }

const int dst_entry[4][4] = {{29, 55, 74, 84}, {74, 74, 0, -74}, {84, -29, -74, 55}, {55, -84, 74, -29}};

struct matrix {
  int n;
  std::vector<int> m;  // m[k * n + i]: basis k at sample i
  int operator()(int k, int i) const { return m[k * n + i]; }
};

matrix make_matrix(int n, bool dst) {
  matrix t{n, std::vector<int>(n * n)};
  for (int k = 0; k < n; k++)
    for (int i = 0; i < n; i++) t.m[k * n + i] = dst ? dst_entry[k][i] : dct_entry(n, k, i);
  return t;
}

int64_t round_shift(int64_t v, int shift) { return (v + (int64_t{1} << (shift - 1))) >> shift; }

// coef[v * n + u]; rows first with shift log2 - 1, then columns with log2 + 6.
std::vector<int64_t> model_forward(const matrix &t, const std::vector<int> &res, int log2) {
  const int n = t.n;
  std::vector<int64_t> mid(n * n), out(n * n);
  for (int y = 0; y < n; y++)
    for (int u = 0; u < n; u++) {
      int64_t s = 0;
      for (int x = 0; x < n; x++) s += int64_t{t(u, x)} * res[y * n + x];
      mid[y * n + u] = round_shift(s, log2 - 1);
    }
  for (int u = 0; u < n; u++)
    for (int v = 0; v < n; v++) {
      int64_t s = 0;
      for (int y = 0; y < n; y++) s += int64_t{t(v, y)} * mid[y * n + u];
      out[v * n + u] = round_shift(s, log2 + 6);
    }
  return out;
}

// H.265 8.6.4.2 for 8-bit video: vertical stage, (e + 64) >> 7 clipped to
// the coefficient range, horizontal stage, (g + 2048) >> 12, then 8.6.7's
// Clip1(pred + r).
void model_inverse_add(const matrix &t, const int16_t *coef, std::vector<uint8_t> &recon) {
  const int n = t.n;
  std::vector<int64_t> g(n * n);
  for (int x = 0; x < n; x++)
    for (int y = 0; y < n; y++) {
      int64_t e = 0;
      for (int v = 0; v < n; v++) e += int64_t{t(v, y)} * coef[v * n + x];
      g[y * n + x] = std::clamp<int64_t>((e + 64) >> 7, -32768, 32767);
    }
  for (int y = 0; y < n; y++)
    for (int x = 0; x < n; x++) {
      int64_t s = 0;
      for (int u = 0; u < n; u++) s += int64_t{t(u, x)} * g[y * n + u];
      const int64_t r = (s + 2048) >> 12;
      uint8_t &p = recon[y * RECON_STRIDE + x];
      p = static_cast<uint8_t>(std::clamp<int64_t>(p + r, 0, 255));
    }
}

TEST(TransformMatrix, GeneratedMatricesAgreeWithTheStandardsPrintedRows) {
  // Rows as printed for the 4-, 8- and 16-point transforms.
  const int dct4[4][4] = {{64, 64, 64, 64}, {83, 36, -36, -83}, {64, -64, -64, 64}, {36, -83, 83, -36}};
  const int dct8[8][8] = {{64, 64, 64, 64, 64, 64, 64, 64},     {89, 75, 50, 18, -18, -50, -75, -89},
                          {83, 36, -36, -83, -83, -36, 36, 83}, {75, -18, -89, -50, 50, 89, 18, -75},
                          {64, -64, -64, 64, 64, -64, -64, 64}, {50, -89, 18, 75, -75, -18, 89, -50},
                          {36, -83, 83, -36, -36, 83, -83, 36}, {18, -50, 75, -89, 89, -75, 50, -18}};
  const int dct16_row1[16] = {90, 87, 80, 70, 57, 43, 25, 9, -9, -25, -43, -57, -70, -80, -87, -90};
  const int dct32_row1[16] = {90, 90, 88, 85, 82, 78, 73, 67, 61, 54, 46, 38, 31, 22, 13, 4};
  for (int k = 0; k < 4; k++)
    for (int i = 0; i < 4; i++) EXPECT_EQ(dct_entry(4, k, i), dct4[k][i]);
  for (int k = 0; k < 8; k++)
    for (int i = 0; i < 8; i++) EXPECT_EQ(dct_entry(8, k, i), dct8[k][i]);
  for (int i = 0; i < 16; i++) EXPECT_EQ(dct_entry(16, 1, i), dct16_row1[i]);
  for (int i = 0; i < 16; i++) {
    EXPECT_EQ(dct_entry(32, 1, i), dct32_row1[i]);
    EXPECT_EQ(dct_entry(32, 1, 31 - i), -dct32_row1[i]);
  }
  // The integer basis is close to orthogonal with row norm 64^2 * 32 (the
  // design target of the HEVC matrices); a mistyped magnitude breaks this.
  const matrix t = make_matrix(32, false);
  for (int a = 0; a < 32; a++)
    for (int b = 0; b < 32; b++) {
      int64_t dot = 0;
      for (int i = 0; i < 32; i++) dot += int64_t{t(a, i)} * t(b, i);
      if (a == b)
        EXPECT_NEAR(static_cast<double>(dot), 131072.0, 131072.0 * 0.0015) << "row " << a;
      else
        EXPECT_LE(std::llabs(dot), 400) << "rows " << a << ", " << b;
    }
}

// Residual patterns: uniform, the two saturated flats, a +-255 checkerboard,
// +-255 matched to one basis pair (the largest value one coefficient can
// take), random extremes, and small noise.
void make_residual(std::mt19937_64 &rng, int pattern, const matrix &t, uint8_t *src, uint8_t *pred) {
  const int n = t.n;
  std::uniform_int_distribution<int> byte(0, 255);
  const int bu = byte(rng) % n, bv = byte(rng) % n;
  for (int y = 0; y < n; y++)
    for (int x = 0; x < n; x++) {
      int s = 0, p = 0;
      switch (pattern) {
        case 0:
          s = byte(rng);
          p = byte(rng);
          break;
        case 1:
          s = 255;
          p = 0;
          break;
        case 2:
          s = 0;
          p = 255;
          break;
        case 3:
          s = ((x + y) & 1) ? 255 : 0;
          p = 255 - s;
          break;
        case 4:
          s = (int64_t{t(bu, x)} * t(bv, y) >= 0) ? 255 : 0;
          p = 255 - s;
          break;
        case 5:
          s = (byte(rng) & 1) ? 255 : 0;
          p = (byte(rng) & 1) ? 255 : 0;
          break;
        default:
          p = byte(rng);
          s = std::clamp(p + byte(rng) % 7 - 3, 0, 255);
          break;
      }
      src[y * SRC_STRIDE + x] = static_cast<uint8_t>(s);
      pred[y * RECON_STRIDE + x] = static_cast<uint8_t>(p);
    }
}

// Coefficient patterns: full int16 range (drives the first-stage clip),
// only the extremes, sparse small levels, low frequencies only, all zero and
// one extreme coefficient.
void make_coefficients(std::mt19937_64 &rng, int pattern, int n, int16_t *coef) {
  std::uniform_int_distribution<int> full(-32768, 32767);
  std::uniform_int_distribution<int> small(-600, 600);
  std::uniform_int_distribution<int> any(0, n * n - 1);
  std::memset(coef, 0, sizeof(int16_t) * n * n);
  switch (pattern) {
    case 0:
      for (int k = 0; k < n * n; k++) coef[k] = static_cast<int16_t>(full(rng));
      break;
    case 1:
      for (int k = 0; k < n * n; k++) coef[k] = static_cast<int16_t>((full(rng) & 1) ? 32767 : -32768);
      break;
    case 2:
      for (int j = any(rng) % 8; j >= 0; j--) coef[any(rng)] = static_cast<int16_t>(small(rng));
      break;
    case 3:
      for (int v = 0; v < std::min(n, 4); v++)
        for (int u = 0; u < std::min(n, 4); u++) coef[v * n + u] = static_cast<int16_t>(small(rng) * 8);
      break;
    case 4:
      break;
    default:
      coef[any(rng)] = static_cast<int16_t>((full(rng) & 1) ? 32767 : -32768);
      break;
  }
}

void make_prediction(std::mt19937_64 &rng, int n, std::vector<uint8_t> &recon) {
  std::uniform_int_distribution<int> byte(0, 255);
  const int flat = byte(rng) % 4;  // a quarter of the blocks sit at 0 or 255
  for (int y = 0; y < n; y++)
    for (int x = 0; x < n; x++)
      recon[y * RECON_STRIDE + x] = static_cast<uint8_t>(flat == 0 ? 0 : (flat == 1 ? 255 : byte(rng)));
}

struct transform_slots {
  dct_fwd_arg_fn fwd_4x4;
  dct_inv_arg_fn inv_4x4;
  dct_fwd_fn fwd;
  dct_fwd_arg_fn fwd_low;
  dct_inv_fn inv;
  dct_inv_arg_fn inv_low;
  int low_size;
};

transform_slots slots_for(const transform_funcs_t &t, int log2) {
  switch (log2) {
    case 2:
      return {t.dct_fwd_4x4, t.dct_inv_add_4x4, nullptr, nullptr, nullptr, nullptr, 0};
    case 3:
      return {nullptr, nullptr, t.dct_fwd_8x8, t.dct_fwd_low_8x8, t.dct_inv_add_8x8, t.dct_inv_add_low_8x8, 4};
    case 4:
      return {nullptr, nullptr, t.dct_fwd_16x16, t.dct_fwd_low_16x16, t.dct_inv_add_16x16, t.dct_inv_add_low_16x16, 8};
    default:
      return {nullptr, nullptr, t.dct_fwd_32x32, t.dct_fwd_low_32x32, t.dct_inv_add_32x32, t.dct_inv_add_low_32x32, 8};
  }
}

// Blocks per size and direction: about 10^5 blocks over the whole suite.
int iterations_for(int log2) { return log2 == 2 ? 32000 : (log2 == 3 ? 8000 : (log2 == 4 ? 3000 : 1200)); }

class Transform : public ::testing::TestWithParam<int> {};

TEST_P(Transform, ForwardMatchesMatrixModel) {
  const int log2 = GetParam();
  const int n = 1 << log2;
  std::mt19937_64 rng(announce_seed(current_test_name()));
  transform_funcs_t t;
  setup_transform_primitives(0, &t);
  const transform_slots s = slots_for(t, log2);
  const matrix dct = make_matrix(n, false), dst = make_matrix(4, true);
  std::vector<uint8_t> src(SRC_STRIDE * n), pred(RECON_STRIDE * n);
  std::vector<int16_t> coef(n * n), low(n * n);
  std::vector<int> res(n * n);
  for (int it = 0; it < iterations_for(log2); it++) {
    const int mode = it % 40;  // 4x4: DST-VII at 0..34, DCT at 35..39
    const matrix &m = (log2 == 2 && mode < 35) ? dst : dct;
    make_residual(rng, (it / 40 + it) % 7, m, src.data(), pred.data());
    for (int y = 0; y < n; y++)
      for (int x = 0; x < n; x++) res[y * n + x] = src[y * SRC_STRIDE + x] - pred[y * RECON_STRIDE + x];
    const std::vector<int64_t> expect = model_forward(m, res, log2);
    if (log2 == 2)
      s.fwd_4x4(coef.data(), src.data(), pred.data(), mode);
    else
      s.fwd(coef.data(), src.data(), pred.data());
    for (int k = 0; k < n * n; k++)
      ASSERT_EQ(coef[k], expect[k]) << n << "x" << n << " mode " << mode << " at v=" << k / n << " u=" << k % n
                                    << " iteration " << it;
    if (log2 == 2) continue;
    std::fill(low.begin(), low.end(), int16_t{0x7A5A});
    s.fwd_low(low.data(), src.data(), pred.data(), s.low_size);
    for (int v = 0; v < n; v++)
      for (int u = 0; u < n; u++) {
        const bool corner = v < s.low_size && u < s.low_size;
        ASSERT_EQ(low[v * n + u], corner ? expect[v * n + u] : int64_t{0x7A5A})
            << "low " << n << "x" << n << " at v=" << v << " u=" << u << " iteration " << it;
      }
  }
}

TEST_P(Transform, InverseAddMatchesStandardIncludingIntermediateClip) {
  const int log2 = GetParam();
  const int n = 1 << log2;
  std::mt19937_64 rng(announce_seed(current_test_name()));
  transform_funcs_t t;
  setup_transform_primitives(0, &t);
  const transform_slots s = slots_for(t, log2);
  const matrix dct = make_matrix(n, false), dst = make_matrix(4, true);
  std::vector<int16_t> coef(n * n), corner(n * n);
  std::vector<uint8_t> recon(RECON_STRIDE * n), expect(RECON_STRIDE * n);
  for (int it = 0; it < iterations_for(log2); it++) {
    const int mode = it % 40;
    const matrix &m = (log2 == 2 && mode < 35) ? dst : dct;
    make_coefficients(rng, (it / 40 + it) % 6, n, coef.data());
    make_prediction(rng, n, recon);
    expect = recon;
    model_inverse_add(m, coef.data(), expect);
    if (log2 == 2)
      s.inv_4x4(recon.data(), coef.data(), mode);
    else
      s.inv(recon.data(), coef.data());
    for (int y = 0; y < n; y++)
      for (int x = 0; x < n; x++)
        ASSERT_EQ(recon[y * RECON_STRIDE + x], expect[y * RECON_STRIDE + x])
            << n << "x" << n << " mode " << mode << " at x=" << x << " y=" << y << " iteration " << it;
    ASSERT_EQ(std::memcmp(recon.data() + n, expect.data() + n, RECON_STRIDE - n), 0) << "wrote right of the block";
    if (log2 == 2) continue;
    // The low variant sees junk outside the corner and must ignore it.
    make_prediction(rng, n, recon);
    expect = recon;
    std::fill(corner.begin(), corner.end(), int16_t{0});
    for (int v = 0; v < s.low_size; v++)
      for (int u = 0; u < s.low_size; u++) corner[v * n + u] = coef[v * n + u];
    model_inverse_add(m, corner.data(), expect);
    for (int k = 0; k < n * n; k++)
      if (k / n >= s.low_size || k % n >= s.low_size) coef[k] = static_cast<int16_t>(rng());
    s.inv_low(recon.data(), coef.data(), s.low_size);
    for (int y = 0; y < n; y++)
      for (int x = 0; x < n; x++)
        ASSERT_EQ(recon[y * RECON_STRIDE + x], expect[y * RECON_STRIDE + x])
            << "low " << n << "x" << n << " at x=" << x << " y=" << y << " iteration " << it;
  }
}

INSTANTIATE_TEST_SUITE_P(TransformAllSizes, Transform, ::testing::Range(2, 6),
                         [](const ::testing::TestParamInfo<int> &info) {
                           const int n = 1 << info.param;
                           return std::to_string(n) + "x" + std::to_string(n);
                         });

// The cost as its rule reads, computed in 64 bits and reduced mod 2^32.
uint32_t model_coeff_cost(const int16_t *coef, int log2) {
  const int n = 1 << log2;
  int64_t cost = n * n / 16;
  for (int gy = 0; gy < n / 4; gy++)
    for (int gx = 0; gx < n / 4; gx++) {
      int64_t sum = 0;
      int nonzero = 0;
      for (int k = 0; k < 16; k++) {
        const int c = coef[(gy * 4 + k / 4) * n + gx * 4 + k % 4];
        sum += std::abs(c);
        nonzero += c != 0;
      }
      if (nonzero) cost += 16 + sum;
    }
  return static_cast<uint32_t>(cost);
}

TEST(TransformCoeffCost, MatchesGroupRuleOnEverySize) {
  transform_funcs_t t;
  setup_transform_primitives(0, &t);
  int16_t block[1024] = {};
  EXPECT_EQ(t.coeff_cost(block, 2), 1u);
  EXPECT_EQ(t.coeff_cost(block, 5), 64u);
  block[5] = -5;
  EXPECT_EQ(t.coeff_cost(block, 2), 22u);
  EXPECT_EQ(t.coeff_cost(block, 3), 4u + 21u);
  std::mt19937_64 rng(announce_seed("CoeffCost"));
  for (int it = 0; it < 8000; it++) {
    const int log2 = 2 + it % 4;
    make_coefficients(rng, it % 6, 1 << log2, block);
    ASSERT_EQ(t.coeff_cost(block, log2), model_coeff_cost(block, log2)) << "log2 " << log2 << " iteration " << it;
  }
}

}  // namespace
