// The portable deblocking filters against a model of H.265 8.7.2.5.3,
// 8.7.2.5.5-8.7.2.5.7 written over arrays of lines, and the SAO application
// and statistics against direct evaluations of 8.7.3.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>

#include "checkasm.h"
#include "common/primitives.h"
#include "sao_picture.h"

namespace {

using line_t = std::array<int32_t, 8>;  // p3 p2 p1 p0 q0 q1 q2 q3

int32_t clip3(int32_t lo, int32_t hi, int32_t v) { return v < lo ? lo : v > hi ? hi : v; }

// One 4-line segment: decisions of 8.7.2.5.3, filters of 8.7.2.5.7.
void model_luma_segment(std::array<line_t, 4> &s, int32_t beta, int32_t tc) {
  auto P = [&](int32_t line, int32_t i) { return s[line][3 - i]; };
  auto Q = [&](int32_t line, int32_t i) { return s[line][4 + i]; };
  const int32_t dp0 = std::abs(P(0, 2) - 2 * P(0, 1) + P(0, 0)), dp3 = std::abs(P(3, 2) - 2 * P(3, 1) + P(3, 0));
  const int32_t dq0 = std::abs(Q(0, 2) - 2 * Q(0, 1) + Q(0, 0)), dq3 = std::abs(Q(3, 2) - 2 * Q(3, 1) + Q(3, 0));
  const int32_t dpq0 = dp0 + dq0, dpq3 = dp3 + dq3, dp = dp0 + dp3, dq = dq0 + dq3, d = dpq0 + dpq3;
  if (d >= beta) return;
  auto dsam = [&](int32_t k, int32_t dpq) {
    return 2 * dpq < (beta >> 2) && std::abs(P(k, 3) - P(k, 0)) + std::abs(Q(k, 0) - Q(k, 3)) < (beta >> 3) &&
           std::abs(P(k, 0) - Q(k, 0)) < ((5 * tc + 1) >> 1);
  };
  const int32_t dE = dsam(0, dpq0) && dsam(3, dpq3) ? 2 : 1;
  const bool dEp = dp < ((beta + (beta >> 1)) >> 3), dEq = dq < ((beta + (beta >> 1)) >> 3);
  for (line_t &l : s) {
    const int32_t p0 = l[3], p1 = l[2], p2 = l[1], p3 = l[0], q0 = l[4], q1 = l[5], q2 = l[6], q3 = l[7];
    if (dE == 2) {
      l[3] = clip3(p0 - 2 * tc, p0 + 2 * tc, (p2 + 2 * p1 + 2 * p0 + 2 * q0 + q1 + 4) >> 3);
      l[2] = clip3(p1 - 2 * tc, p1 + 2 * tc, (p2 + p1 + p0 + q0 + 2) >> 2);
      l[1] = clip3(p2 - 2 * tc, p2 + 2 * tc, (2 * p3 + 3 * p2 + p1 + p0 + q0 + 4) >> 3);
      l[4] = clip3(q0 - 2 * tc, q0 + 2 * tc, (p1 + 2 * p0 + 2 * q0 + 2 * q1 + q2 + 4) >> 3);
      l[5] = clip3(q1 - 2 * tc, q1 + 2 * tc, (p0 + q0 + q1 + q2 + 2) >> 2);
      l[6] = clip3(q2 - 2 * tc, q2 + 2 * tc, (p0 + q0 + q1 + 3 * q2 + 2 * q3 + 4) >> 3);
    } else {
      int32_t delta = (9 * (q0 - p0) - 3 * (q1 - p1) + 8) >> 4;
      if (std::abs(delta) * 1 >= tc * 10) continue;
      delta = clip3(-tc, tc, delta);
      l[3] = clip3(0, 255, p0 + delta);
      l[4] = clip3(0, 255, q0 - delta);
      if (dEp) l[2] = clip3(0, 255, p1 + clip3(-(tc >> 1), tc >> 1, (((p2 + p0 + 1) >> 1) - p1 + delta) >> 1));
      if (dEq) l[5] = clip3(0, 255, q1 + clip3(-(tc >> 1), tc >> 1, (((q2 + q0 + 1) >> 1) - q1 - delta) >> 1));
    }
  }
}

struct DeblockModel : ::testing::TestWithParam<bool> {};  // true: vertical edge

TEST_P(DeblockModel, LumaEdgeEqualsTheStandardOnRandomSegments) {
  const bool vertical = GetParam();
  deblock_funcs_t d;
  setup_deblock_primitives(0, &d);
  const uint64_t seed = checkasm::test_seed();
  checkasm::rng_t r(seed);
  int32_t strong = 0, normal = 0;
  for (int32_t t = 0; t < 20000; t++) {
    std::array<std::array<line_t, 4>, 2> seg;
    const int32_t base = r.range(0, 255), step = r.range(-40, 40), noise = r.range(0, 3), slope = r.range(-2, 2);
    for (auto &sg : seg)
      for (line_t &l : sg)
        for (int32_t k = 0; k < 8; k++)
          l[k] = clip3(0, 255, base + (k >= 4 ? step : 0) + slope * k + r.range(-noise, noise));
    const int32_t beta = r.range(0, 64), tc[2] = {r.range(-1, 24), r.range(0, 24)};
    // 8 lines of 8 samples; q0 of line i at column 4 (vertical) or row 4.
    uint8_t pix[8 * 8];
    for (int32_t i = 0; i < 8; i++)
      for (int32_t k = 0; k < 8; k++) pix[vertical ? i * 8 + k : k * 8 + i] = static_cast<uint8_t>(seg[i / 4][i % 4][k]);
    const auto before = seg;
    if (vertical)
      d.deblock_luma_ver_edge(pix + 4, 8, beta, tc);
    else
      d.deblock_luma_hor_edge(pix + 32, 8, beta, tc);
    for (int32_t s = 0; s < 2; s++)
      if (tc[s] >= 0) model_luma_segment(seg[s], beta, tc[s]);
    for (int32_t i = 0; i < 8; i++) {
      for (int32_t k = 0; k < 8; k++)
        ASSERT_EQ(pix[vertical ? i * 8 + k : k * 8 + i], seg[i / 4][i % 4][k])
            << "line " << i << " sample " << k << " beta " << beta << " tc " << tc[i / 4] << " seed " << seed;
      if (seg[i / 4][i % 4][1] != before[i / 4][i % 4][1]) {
        strong++;
      } else if (seg[i / 4][i % 4][3] != before[i / 4][i % 4][3]) {
        normal++;
      }
    }
  }
  // Both filters were exercised.
  EXPECT_GT(strong, 1000);
  EXPECT_GT(normal, 1000);
}

TEST_P(DeblockModel, ChromaEdgeEqualsTheStandard) {
  const bool vertical = GetParam();
  deblock_funcs_t d;
  setup_deblock_primitives(0, &d);
  checkasm::rng_t r(checkasm::test_seed());
  for (int32_t t = 0; t < 5000; t++) {
    uint8_t cb[4 * 4], cr[4 * 4];
    for (auto &v : cb) v = r.byte();
    for (auto &v : cr) v = r.byte();
    const int32_t tc[2] = {r.range(0, 26), r.range(0, 26)};
    uint8_t ecb[16], ecr[16];
    std::copy(cb, cb + 16, ecb);
    std::copy(cr, cr + 16, ecr);
    // 8.7.2.5.5 per line: delta = Clip3(-tC, tC, ((((q0 - p0) << 2) + p1 - q1 + 4) >> 3)).
    for (int32_t c = 0; c < 2; c++)
      for (int32_t i = 0; i < 4; i++) {
        uint8_t *pl = c ? ecr : ecb;
        auto at = [&](int32_t k) -> uint8_t & { return pl[vertical ? i * 4 + k : k * 4 + i]; };
        const int32_t p1 = at(0), p0 = at(1), q0 = at(2), q1 = at(3);
        const int32_t delta = clip3(-tc[c], tc[c], ((((q0 - p0) * 4) + p1 - q1 + 4) >> 3));
        at(1) = static_cast<uint8_t>(clip3(0, 255, p0 + delta));
        at(2) = static_cast<uint8_t>(clip3(0, 255, q0 - delta));
      }
    if (vertical)
      d.deblock_chroma_ver_edge(cb + 2, cr + 2, 4, tc);
    else
      d.deblock_chroma_hor_edge(cb + 8, cr + 8, 4, tc);
    ASSERT_TRUE(std::equal(cb, cb + 16, ecb) && std::equal(cr, cr + 16, ecr)) << "trial " << t;
  }
}

TEST(DeblockEdge, ZeroTcOrNegativeTcLeavesSamplesUntouched) {
  deblock_funcs_t d;
  setup_deblock_primitives(0, &d);
  uint8_t pix[64];
  for (int32_t i = 0; i < 64; i++) pix[i] = static_cast<uint8_t>(100 + (i % 8 >= 4 ? 20 : 0));
  uint8_t copy[64];
  std::copy(pix, pix + 64, copy);
  for (int32_t tc0 : {-1, 0}) {
    const int32_t tc[2] = {tc0, tc0};
    d.deblock_luma_ver_edge(pix + 4, 8, 64, tc);
    d.deblock_chroma_ver_edge(pix + 4, pix + 36, 8, tc);
    EXPECT_TRUE(std::equal(pix, pix + 64, copy));
  }
}

INSTANTIATE_TEST_SUITE_P(, DeblockModel, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "vertical" : "horizontal"; });

// ------------------------------------------------------------------- SAO
// SaoTypeIdx 2 (edge): edgeIdx = 2 + Sign(s - a) + Sign(s - b), remapped by
// {1, 2, 0, 3, 4} so that 0 means no offset; the table of offsets here is
// indexed like the application's: [e + 2].  Applied CTU by CTU through slot
// 0 on pictures laid out as the encoder's (the source overlapping the
// output), every sample inside the picture must be the standard's: filtered
// where both neighbours lie inside the picture, else unchanged.
TEST(SaoApply, EdgeOffsetFollowsTheNeighbourSignsOfEachClass) {
  checkasm::rng_t r(checkasm::test_seed());
  const int32_t hpos[4][2] = {{-1, 1}, {0, 0}, {-1, 1}, {1, -1}}, vpos[4][2] = {{0, 0}, {-1, 1}, {-1, 1}, {-1, 1}};
  // Partial CTUs (200 = 3 x 64 + 8: luma w 7, chroma 3 in the last column),
  // a single CTU column and row, a 1080-line picture's last row (h 55 / 27).
  for (auto [w, h] : {std::pair{200, 136}, std::pair{64, 64}, std::pair{72, 8}, std::pair{8, 72}, std::pair{128, 1080 - 960}}) {
    checkasm::sao_picture_t pic(w, h);
    for (size_t i = 0; i < pic.bytes; i++) pic.mem[i] = r.range(0, 3) ? r.byte() : 128;
    std::vector<std::vector<uint8_t>> before(3);
    for (int32_t c = 0; c < 3; c++) {
      for (int32_t y = -1; y <= pic.grid_h(c); y++)
        for (int32_t x = -1; x <= pic.grid_w(c); x++) before[c].push_back(pic.src(c, x, y));
      for (sao_param_t &p : pic.params[c])
        p = sao_param_t{r.range(0, 3), 0, {r.range(0, 7), r.range(0, 7), -r.range(0, 7), -r.range(0, 7)}};
    }
    pic.apply_all(sao_apply_ctu_c);
    for (int32_t c = 0; c < 3; c++) {
      const int32_t n = c ? 32 : 64, gw = pic.grid_w(c) + 2;
      auto old = [&](int32_t x, int32_t y) { return static_cast<int32_t>(before[c][(y + 1) * gw + x + 1]); };
      for (int32_t y = 0; y < pic.plane_h(c); y++)
        for (int32_t x = 0; x < pic.plane_w(c); x++) {
          const sao_param_t &p = pic.params[c][(y / n) * pic.cols + x / n];
          const int32_t cls = p.type, s = old(x, y);
          const int32_t ax = x + hpos[cls][0], ay = y + vpos[cls][0], bx = x + hpos[cls][1], by = y + vpos[cls][1];
          int32_t expect = s;
          if (std::min({ax, bx, ay, by}) >= 0 && std::max(ax, bx) < pic.plane_w(c) && std::max(ay, by) < pic.plane_h(c)) {
            const int32_t a = old(ax, ay), b = old(bx, by);
            const int32_t e = (s > a) - (s < a) + (s > b) - (s < b);
            const int32_t off[5] = {p.offset[0], p.offset[1], 0, p.offset[2], p.offset[3]};
            expect = clip3(0, 255, s + off[e + 2]);
          }
          ASSERT_EQ(pic.out(c, x, y), expect) << w << "x" << h << " plane " << c << " class " << cls << " at " << x << "," << y;
        }
    }
  }
}

// Applied in parts, top rows of each CTU before the bottom rows of the one
// above as the encoder goes along a CTU row, every type: the same allocation
// bytes as whole blocks in raster order, margins included.
TEST(SaoApply, PartsInTheEncodersOrderWriteWhatWholeBlocksWrite) {
  checkasm::rng_t r(checkasm::test_seed());
  for (auto [w, h] : {std::pair{200, 136}, std::pair{64, 128}, std::pair{72, 8}, std::pair{136, 200}, std::pair{256, 192}})
    for (int32_t round = 0; round < 4; round++) {
      checkasm::sao_picture_t whole(w, h), parts(w, h);
      for (size_t i = 0; i < whole.bytes; i++) whole.mem[i] = parts.mem[i] = r.range(0, 3) ? r.byte() : 128;
      for (int32_t c = 0; c < 3; c++)
        for (size_t k = 0; k < whole.params[c].size(); k++) {
          sao_param_t p{r.range(0, 5), r.range(0, 31), {r.range(0, 7), r.range(0, 7), -r.range(0, 7), -r.range(0, 7)}};
          whole.params[c][k] = parts.params[c][k] = p;
        }
      whole.apply_all(sao_apply_ctu_c);
      parts.apply_in_parts(sao_apply_ctu_c);
      ASSERT_TRUE(std::equal(whole.mem, whole.mem + whole.bytes, parts.mem)) << w << "x" << h << " round " << round;
    }
}

// Band offset: the four bands from the band position on (wrapping at 32) get
// offsets 0 to 3; every other sample keeps its value, and the whole CTU
// block is written, also past the picture's right and bottom edges.
TEST(SaoApply, BandOffsetTouchesOnlyTheFourBandsWrappingAt32) {
  const int32_t off[4] = {-5, 3, 7, -2};
  for (int32_t band_position : {0, 13, 29, 30, 31}) {
    checkasm::sao_picture_t pic(72, 40);
    for (int32_t c = 0; c < 3; c++) {
      for (int32_t y = 0; y < pic.grid_h(c); y++)
        for (int32_t x = 0; x < pic.grid_w(c); x++) pic.src(c, x, y) = static_cast<uint8_t>(x * 4 + y);
      for (sao_param_t &p : pic.params[c]) p = sao_param_t{4, band_position, {off[0], off[1], off[2], off[3]}};
    }
    pic.apply_all(sao_apply_ctu_c);
    for (int32_t c = 0; c < 3; c++)
      for (int32_t y = 0; y < pic.grid_h(c); y++)
        for (int32_t x = 0; x < pic.grid_w(c); x++) {
          const int32_t v = static_cast<uint8_t>(x * 4 + y);
          const int32_t k = ((v >> 3) - band_position + 32) % 32;
          const int32_t expect = k < 4 ? clip3(0, 255, v + off[k]) : v;
          ASSERT_EQ(pic.out(c, x, y), expect) << "sample " << v << " band position " << band_position;
        }
  }
}

TEST(SaoStats, EdgeAndBandStatisticsCountEverySampleOnce) {
  sao_funcs_t s;
  setup_sao_primitives(0, &s);
  checkasm::rng_t r(checkasm::test_seed());
  const int32_t stride = 66;
  std::vector<uint8_t> px(static_cast<size_t>(stride) * 66);
  for (auto &v : px) v = r.byte();
  std::vector<int16_t> diff(64 * 64);
  for (auto &v : diff) v = static_cast<int16_t>(r.range(-255, 255));
  const uint8_t *blk = px.data() + stride + 1;
  std::vector<uint8_t> scratch(147456);
  int64_t total = 0;
  for (int16_t v : diff) total += v;
  for (int32_t cls = 0; cls < 5; cls++) {
    sao_stats_t st;
    std::memset(&st, 0xab, sizeof(st));
    if (cls < 4) {
      s.sao_stats_eo[cls](&st, blk, stride, 1, diff.data(), scratch.data());
    } else {
      s.sao_stats_bo(&st, blk, stride, 1, diff.data(), scratch.data());
    }
    int64_t n = 0, sum = 0;
    for (int32_t k = 0; k < 32; k++) {
      n += st.count[k];
      sum += st.sum[k];
      if (cls < 4 && k > 4) {
        EXPECT_EQ(st.count[k], 0);
      }
    }
    EXPECT_EQ(n, 4096) << "class " << cls;
    EXPECT_EQ(sum, total) << "class " << cls;
  }
  // Partial blocks are measured in whole 16-column strips.
  sao_stats_t st;
  s.sao_stats_bo_wxh(&st, blk, stride, 1, diff.data(), 40, 8, scratch.data());
  int64_t n = 0;
  for (uint16_t c : st.count) n += c;
  EXPECT_EQ(n, 32 * 8);
}

}  // namespace
