// Quantiser, dequantiser and coefficient scan orders against direct
// constructions from H.265 (8.6.2, 8.6.4.2, 6.5.3 to 6.5.5).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <random>
#include <string>
#include <tuple>
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

// The quantiser's step doubles every 6 QP; within an octave each forward
// scale times its dequantiser levelScale is 2^20 within rounding.
const int model_quant_scale[6] = {26214, 23302, 20560, 18396, 16384, 14564};
const int model_level_scale[6] = {40, 45, 51, 57, 64, 72};  // H.265 8.6.2 levelScale

TEST(QuantParams, MatchesReferenceQuantiserForEveryQpAndSize) {
  for (int qp = 0; qp <= 51; qp++)
    for (int log2 = 2; log2 <= 5; log2++)
      for (int intra = 0; intra <= 1; intra++) {
        const quant_params_t q = quant_params(qp, log2, intra);
        const int shift = 14 + qp / 6 + 15 - 8 - log2;  // QUANT_SHIFT + per + transform headroom
        EXPECT_EQ(q.scale, model_quant_scale[qp % 6]);
        EXPECT_EQ(q.shift, shift);
        // Rounding offsets of 171/512 (intra) and 85/512 (inter) of a step.
        EXPECT_EQ(int64_t{q.offset} * 512, int64_t{intra ? 171 : 85} << shift) << "qp " << qp << " log2 " << log2;
      }
  for (int k = 0; k < 6; k++) {
    const quant_params_t q = quant_params(k, 2, 0), d = dequant_params(k, 2);
    EXPECT_NEAR(static_cast<double>(q.scale) * (d.scale / 16), 1 << 20, 64) << "qp % 6 = " << k;
  }
  // A spot value worked by hand: QP 22 at 8x8 intra.
  const quant_params_t q = quant_params(22, 3, 1);
  EXPECT_EQ(q.scale, 16384);
  EXPECT_EQ(q.shift, 21);
  EXPECT_EQ(q.offset, 171 << 12);
}

TEST(QuantParams, DequantScalingIsTheStandardsLevelScaleWithFlatMatrix) {
  for (int qp = 0; qp <= 51; qp++)
    for (int log2 = 2; log2 <= 5; log2++) {
      const quant_params_t d = dequant_params(qp, log2);
      // H.265 8.6.4.2 with m = 16 (no scaling list) and bdShift = 8 + log2 - 5.
      EXPECT_EQ(d.scale, 16 * model_level_scale[qp % 6] * (1 << (qp / 6))) << "qp " << qp;
      EXPECT_EQ(d.shift, 8 + log2 - 5) << "log2 " << log2;
    }
}

// Coefficients spread over the full int16 range, with every block carrying
// the extremes and values around the dead zone.
void make_coefficients(std::mt19937_64 &rng, int count, int16_t *coef) {
  std::uniform_int_distribution<int> full(-32768, 32767), small(-300, 300), pick(0, 9);
  for (int k = 0; k < count; k++) {
    const int kind = pick(rng);
    coef[k] = static_cast<int16_t>(kind < 4 ? full(rng) : (kind < 8 ? small(rng) : (kind == 8 ? -32768 : 32767)));
  }
}

class Quant : public ::testing::TestWithParam<int> {};

// The standard only defines dequantisation; the model of the quantiser is
// the flat dead-zone rule written with explicit sign and magnitude in 64 bits.
TEST_P(Quant, QuantAndDequantMatchDirectFormulaOverAllQps) {
  const int log2 = GetParam();
  const int count = 1 << (2 * log2);
  std::mt19937_64 rng(announce_seed(current_test_name()));
  quant_funcs_t f;
  setup_quant_primitives(0, &f);
  std::vector<int16_t> coef(count), levels(count), recon(count);
  const int blocks = log2 == 2 ? 40000 : (log2 == 3 ? 20000 : (log2 == 4 ? 8000 : 3000));
  for (int it = 0; it < blocks; it++) {
    const int qp = it % 52, intra = (it / 52) & 1;
    make_coefficients(rng, count, coef.data());
    const quant_params_t q = quant_params(qp, log2, intra);
    const uint32_t nz = f.quant(levels.data(), coef.data(), count, q.scale, q.shift, q.offset);
    uint32_t expect_nz = 0;
    for (int k = 0; k < count; k++) {
      const int64_t a = std::abs(int64_t{coef[k]});
      int64_t l = (a * q.scale + q.offset) >> q.shift;
      if (coef[k] < 0) l = -l;
      l = std::min<int64_t>(32767, std::max<int64_t>(-32768, l));
      expect_nz += l != 0;
      ASSERT_EQ(levels[k], l) << "qp " << qp << " coef " << coef[k] << " iteration " << it;
    }
    ASSERT_EQ(nz, expect_nz);

    // Dequantise levels over the full int16 range, not only quantiser output.
    make_coefficients(rng, count, levels.data());
    const quant_params_t d = dequant_params(qp, log2);
    f.dequant(recon.data(), levels.data(), count, d.scale, d.shift);
    const int bd_shift = 8 + log2 - 5;
    for (int k = 0; k < count; k++) {
      const int64_t scaled = (int64_t{levels[k]} * 16 * model_level_scale[qp % 6] * (int64_t{1} << (qp / 6)) +
                              (int64_t{1} << (bd_shift - 1))) >>
                             bd_shift;
      ASSERT_EQ(recon[k], std::clamp<int64_t>(scaled, -32768, 32767))
          << "qp " << qp << " level " << levels[k] << " iteration " << it;
    }
  }
}

TEST_P(Quant, RdoqSlotsQuantisePlainlyWithRequestParameters) {
  const int log2 = GetParam();
  const int count = 1 << (2 * log2);
  std::mt19937_64 rng(announce_seed(current_test_name()));
  quant_funcs_t f;
  setup_quant_primitives(0, &f);
  std::vector<int16_t> coef(count), plain(count), levels(count);
  for (int it = 0; it < 2000; it++) {
    const int qp = it % 52, intra = (it / 52) & 1;
    make_coefficients(rng, count, coef.data());
    const quant_params_t q = quant_params(qp, log2, intra);
    const uint32_t nz = f.quant(plain.data(), coef.data(), count, q.scale, q.shift, q.offset);
    for (const rdoq_fn slot : {f.rdoq, f.rdoq_alt}) {
      rdoq_request_t req{};
      req.levels = levels.data();
      req.coef = coef.data();
      req.log2_size = log2;
      req.qp = qp;
      req.is_intra = intra;
      std::fill(levels.begin(), levels.end(), int16_t{0x1234});
      ASSERT_EQ(slot(&req), nz);
      ASSERT_EQ(levels, plain) << "qp " << qp << " intra " << intra;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(QuantAllSizes, Quant, ::testing::Range(2, 6), [](const ::testing::TestParamInfo<int> &info) {
  const int n = 1 << info.param;
  return std::to_string(n) + "x" + std::to_string(n);
});

TEST(Quant, ExtremeCoefficientsClipToLevelRange) {
  quant_funcs_t f;
  setup_quant_primitives(0, &f);
  // QP 0 at 32x32 has the smallest step: |c| * 26214 >> 16 stays below the
  // clip, so push with a hand-picked large scale to reach it.
  const int16_t coef[4] = {-32768, 32767, 1, 0};
  int16_t levels[4];
  EXPECT_EQ(f.quant(levels, coef, 4, 1 << 20, 4, 0), 3u);
  EXPECT_EQ(levels[0], -32768);
  EXPECT_EQ(levels[1], 32767);
  EXPECT_EQ(levels[2], 32767);  // (1 << 20) >> 4 = 65536
  EXPECT_EQ(levels[3], 0);
  const quant_params_t q = quant_params(0, 5, 1);
  EXPECT_EQ(f.quant(levels, coef, 4, q.scale, q.shift, q.offset), 2u);
  EXPECT_EQ(levels[0], -((32768LL * 26214 + (171 << 7)) >> 16));
  EXPECT_EQ(levels[1], (32767LL * 26214 + (171 << 7)) >> 16);
  // Dequantising the largest levels at QP 51 saturates both ways.
  const quant_params_t d = dequant_params(51, 2);
  int16_t out[4];
  f.dequant(out, coef, 4, d.scale, d.shift);
  EXPECT_EQ(out[0], -32768);
  EXPECT_EQ(out[1], 32767);
  EXPECT_EQ(out[2], (d.scale + 16) >> 5);
  EXPECT_EQ(out[3], 0);
}

// ---------------------------------------------------------------- scans

// Brute force: sort every position by (sub-block key, key within the
// sub-block), where the key of (x, y) in an s x s grid is, for the up-right
// diagonal, the anti-diagonal and then the column (each diagonal runs from
// bottom-left to top-right); for horizontal the row then the column; for
// vertical the column then the row.
std::vector<uint16_t> brute_force_scan(int type, int n) {
  const auto key = [type](int x, int y) {
    if (type == 0) return std::make_tuple(x + y, x);
    if (type == 1) return std::make_tuple(y, x);
    return std::make_tuple(x, y);
  };
  std::vector<uint16_t> pos(n * n);
  for (int k = 0; k < n * n; k++) pos[k] = static_cast<uint16_t>(k);
  std::sort(pos.begin(), pos.end(), [&](uint16_t a, uint16_t b) {
    const int ax = a % n, ay = a / n, bx = b % n, by = b / n;
    return std::make_tuple(key(ax / 4, ay / 4), key(ax % 4, ay % 4)) <
           std::make_tuple(key(bx / 4, by / 4), key(bx % 4, by % 4));
  });
  return pos;
}

class Scan : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(Scan, TableIsPermutationInStandardOrder) {
  const int type = std::get<0>(GetParam());
  const int log2 = std::get<1>(GetParam());
  const int n = 1 << log2;
  auto t = std::make_unique<scan_tables_t>();
  scan_tables_init(t.get());
  const uint16_t *scan = t->scan[type][log2 - 2];
  ASSERT_GE(scan, t->storage);
  ASSERT_LE(scan + n * n, t->storage + sizeof(t->storage) / sizeof(t->storage[0]));
  std::vector<int> seen(n * n, 0);
  for (int k = 0; k < n * n; k++) {
    ASSERT_LT(scan[k], n * n);
    seen[scan[k]]++;
  }
  for (int k = 0; k < n * n; k++) ASSERT_EQ(seen[k], 1) << "position " << k;
  // Every run of 16 stays inside one 4x4 coefficient group.
  for (int k = 0; k < n * n; k++) {
    const int g0 = (scan[k & ~15] % n) / 4 + (scan[k & ~15] / n) / 4 * 64;
    ASSERT_EQ((scan[k] % n) / 4 + (scan[k] / n) / 4 * 64, g0) << "scan index " << k;
  }
  const std::vector<uint16_t> expect = brute_force_scan(type, n);
  for (int k = 0; k < n * n; k++) ASSERT_EQ(scan[k], expect[k]) << "type " << type << " size " << n << " index " << k;
}

INSTANTIATE_TEST_SUITE_P(ScanAllTypes, Scan, ::testing::Combine(::testing::Range(0, 3), ::testing::Range(2, 6)));

TEST(Scan, FourByFourDiagonalIsTheStandardsOrder) {
  // H.265 6.5.3 for blkSize 4, written out.
  const uint16_t expect[16] = {0, 4, 1, 8, 5, 2, 12, 9, 6, 3, 13, 10, 7, 14, 11, 15};
  auto t = std::make_unique<scan_tables_t>();
  scan_tables_init(t.get());
  for (int k = 0; k < 16; k++) EXPECT_EQ(t->scan[0][0][k], expect[k]) << "index " << k;
  // 8x8 horizontal: the sub-blocks go left, right on the top row first.
  EXPECT_EQ(t->scan[1][1][16], 4);
  EXPECT_EQ(t->scan[1][1][32], 32);
  EXPECT_EQ(t->scan[2][1][16], 32);
}

}  // namespace
