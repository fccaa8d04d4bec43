// The motion-compensation slots against a model written from H.265
// 8.5.3.3.3 (fractional sample interpolation) and 8.5.3.3.4.2 (default
// weighted prediction): per sample, reference samples addressed through the
// standard's Clip3 of the coordinates, 64-bit sums, no scratch rows.  The
// kernels instead read an edge-extended picture, which must give the same
// samples.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "checkasm.h"
#include "common/primitives.h"

namespace {

// Table 8-12: fL[xFrac][i], i = 0..7 for the samples xInt + i - 3.
constexpr int64_t FL[4][8] = {{0, 0, 0, 64, 0, 0, 0, 0},
                              {-1, 4, -10, 58, 17, -5, 1, 0},
                              {-1, 4, -11, 40, 40, -11, 4, -1},
                              {0, 1, -5, 17, 58, -10, 4, -1}};
// Table 8-13: fC[xFrac][i], i = 0..3 for the samples xInt + i - 1.
constexpr int64_t FC[8][4] = {{0, 64, 0, 0},    {-2, 58, 10, -2}, {-4, 54, 16, -2}, {-6, 46, 28, -4},
                              {-4, 36, 36, -4}, {-4, 28, 46, -6}, {-2, 16, 54, -4}, {-2, 10, 58, -2}};

constexpr int32_t PAD = 80;

// A picture and its edge-extended copy, as reference pictures are stored.
struct picture_t {
  int32_t w, h, stride;
  std::vector<uint8_t> samples, padded;
  picture_t(int32_t w_, int32_t h_, checkasm::rng_t &r, checkasm::pattern p)
      : w(w_), h(h_), stride(w_ + 2 * PAD), samples(size_t(w_) * h_), padded(size_t(w_ + 2 * PAD) * (h_ + 2 * PAD)) {
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++) samples[y * w + x] = checkasm::pattern_sample(p, x, y, r);
    for (int32_t y = -PAD; y < h + PAD; y++)
      for (int32_t x = -PAD; x < w + PAD; x++) padded[(y + PAD) * stride + x + PAD] = ref(x, y);
  }
  // refPicLX[Clip3(0, w - 1, x)][Clip3(0, h - 1, y)]
  int64_t ref(int32_t x, int32_t y) const { return samples[std::clamp(y, 0, h - 1) * w + std::clamp(x, 0, w - 1)]; }
  const uint8_t *at(int32_t x, int32_t y) const { return padded.data() + (y + PAD) * stride + x + PAD; }
};

// predSampleLX of 8.5.3.3.3.1 for 8-bit video: shift1 = 0, shift2 = 6,
// shift3 = 6.
int64_t luma_sample(const picture_t &p, int32_t x_int, int32_t y_int, int32_t x_frac, int32_t y_frac) {
  if (x_frac == 0 && y_frac == 0) return p.ref(x_int, y_int) << 6;
  if (y_frac == 0) {
    int64_t s = 0;
    for (int32_t i = 0; i < 8; i++) s += FL[x_frac][i] * p.ref(x_int + i - 3, y_int);
    return s;
  }
  if (x_frac == 0) {
    int64_t s = 0;
    for (int32_t i = 0; i < 8; i++) s += FL[y_frac][i] * p.ref(x_int, y_int + i - 3);
    return s;
  }
  int64_t s = 0;
  for (int32_t n = 0; n < 8; n++) {
    int64_t temp = 0;
    for (int32_t i = 0; i < 8; i++) temp += FL[x_frac][i] * p.ref(x_int + i - 3, y_int + n - 3);
    s += FL[y_frac][n] * temp;
  }
  return s >> 6;
}

// 8.5.3.3.3.2 with eighth-sample fractions.
int64_t chroma_sample(const picture_t &p, int32_t x_int, int32_t y_int, int32_t x_frac, int32_t y_frac) {
  if (x_frac == 0 && y_frac == 0) return p.ref(x_int, y_int) << 6;
  if (y_frac == 0) {
    int64_t s = 0;
    for (int32_t i = 0; i < 4; i++) s += FC[x_frac][i] * p.ref(x_int + i - 1, y_int);
    return s;
  }
  if (x_frac == 0) {
    int64_t s = 0;
    for (int32_t i = 0; i < 4; i++) s += FC[y_frac][i] * p.ref(x_int, y_int + i - 1);
    return s;
  }
  int64_t s = 0;
  for (int32_t n = 0; n < 4; n++) {
    int64_t temp = 0;
    for (int32_t i = 0; i < 4; i++) temp += FC[x_frac][i] * p.ref(x_int + i - 1, y_int + n - 1);
    s += FC[y_frac][n] * temp;
  }
  return s >> 6;
}

// 8.5.3.3.4.2: uni-prediction Clip3(0, 255, (p + 32) >> 6), bi-prediction
// Clip3(0, 255, (p0 + p1 + 64) >> 7).
uint8_t uni(int64_t p) { return static_cast<uint8_t>(std::clamp<int64_t>((p + 32) >> 6, 0, 255)); }
uint8_t bi(int64_t p0, int64_t p1) { return static_cast<uint8_t>(std::clamp<int64_t>((p0 + p1 + 64) >> 7, 0, 255)); }

struct McModel : ::testing::Test {
  void SetUp() override { setup_mc_primitives(0, &mc); }
  mc_funcs_t mc{};
};

// Horizontal 16-bit planes of the whole extended picture, as the reference
// pictures carry them.
struct hplanes_t {
  std::vector<int16_t> storage[3];
  const int16_t *p[3];
  hplanes_t(const mc_funcs_t &mc, const picture_t &pic) {
    for (auto &s : storage) s.assign(pic.padded.size(), 0);
    const int32_t x0 = -PAD + 3, y0 = -PAD + 3;
    auto at = [&](int32_t k) { return storage[k].data() + (y0 + PAD) * pic.stride + x0 + PAD; };
    mc.luma_hfilter_planes(at(0), at(1), at(2), pic.at(x0, y0), pic.stride, pic.w + 2 * PAD - 7, pic.h + 2 * PAD - 12, 0);
    for (int32_t k = 0; k < 3; k++) p[k] = storage[k].data() + PAD * pic.stride + PAD;
  }
};

TEST_F(McModel, LumaPredictionsEqualTheStandardOnRandomBlocks) {
  const uint64_t seed = checkasm::test_seed();
  checkasm::rng_t r(seed);
  int32_t blocks = 0;
  for (int32_t pic_i = 0; pic_i < 40; pic_i++) {
    const picture_t pic(r.range(8, 48), r.range(8, 40), r, checkasm::ALL_PATTERNS[pic_i % 7]);
    const hplanes_t hp(mc, pic);
    for (int32_t t = 0; t < 1000; t++, blocks++) {
      const int32_t w = r.range(1, 12), h = r.range(1, 12);
      const int32_t bx = r.range(-20, pic.w + 8), by = r.range(-20, pic.h + 8);
      const int32_t mvx = r.range(-100, 100), mvy = r.range(-100, 100);
      const int32_t mvx2 = r.range(-100, 100), mvy2 = r.range(-100, 100);
      const bool planes = r.range(0, 1);
      // The planes are passed at the block's position, like the reference.
      const intptr_t at_block = static_cast<intptr_t>(by) * pic.stride + bx;
      const int16_t *hp_block[3] = {hp.p[0] + at_block, hp.p[1] + at_block, hp.p[2] + at_block};
      const int16_t *const *hpl = planes ? hp_block : nullptr;
      uint8_t px[144];
      int16_t ps0[144], ps1[144];
      uint8_t both[144];
      mc.mc_luma(px, 12, pic.at(bx, by), hpl, pic.stride, mvx, mvy, w, h);
      int32_t s0 = 12, s1 = 12;
      const int16_t *a = mc.mc_luma_ps(ps0, &s0, pic.at(bx, by), hpl, pic.stride, mvx, mvy, w, h);
      const int16_t *b = mc.mc_luma_ps(ps1, &s1, pic.at(bx, by), hpl, pic.stride, mvx2, mvy2, w, h);
      mc.bipred_avg(both, 12, a, s0, b, s1, w, h);
      for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x++) {
          const int64_t p0 = luma_sample(pic, bx + x + (mvx >> 2), by + y + (mvy >> 2), mvx & 3, mvy & 3);
          const int64_t p1 = luma_sample(pic, bx + x + (mvx2 >> 2), by + y + (mvy2 >> 2), mvx2 & 3, mvy2 & 3);
          ASSERT_EQ(px[y * 12 + x], uni(p0)) << "mc_luma at " << x << "," << y << " mv " << mvx << "," << mvy
                                             << " planes " << planes << " seed " << seed;
          ASSERT_EQ(ps_value(a[y * s0 + x]), p0) << "mc_luma_ps mv " << mvx << "," << mvy << " seed " << seed;
          ASSERT_EQ(ps_value(b[y * s1 + x]), p1) << "mc_luma_ps mv " << mvx2 << "," << mvy2 << " planes " << planes
                                                 << " seed " << seed;
          ASSERT_EQ(both[y * 12 + x], bi(p0, p1)) << "bipred_avg seed " << seed;
        }
    }
  }
  EXPECT_GE(blocks, 40000);
}

TEST_F(McModel, ChromaPredictionsEqualTheStandardOnRandomBlocks) {
  const uint64_t seed = checkasm::test_seed() + 1;
  checkasm::rng_t r(seed);
  int32_t blocks = 0;
  for (int32_t pic_i = 0; pic_i < 60; pic_i++) {
    const picture_t pic(r.range(4, 32), r.range(4, 24), r, checkasm::ALL_PATTERNS[pic_i % 7]);
    for (int32_t t = 0; t < 1000; t++, blocks++) {
      const int32_t w = r.range(1, 10), h = r.range(1, 10);
      const int32_t bx = r.range(-16, pic.w + 6), by = r.range(-16, pic.h + 6);
      const int32_t mvx = r.range(-200, 200), mvy = r.range(-200, 200);
      const int32_t mvx2 = r.range(-200, 200), mvy2 = r.range(-200, 200);
      uint8_t px[100], both[100];
      int16_t ps0[100], ps1[100];
      mc.mc_chroma(px, 10, pic.at(bx, by), pic.stride, mvx, mvy, w, h);
      mc.mc_chroma_ps(ps0, 10, pic.at(bx, by), pic.stride, mvx, mvy, w, h);
      mc.mc_chroma_ps(ps1, 10, pic.at(bx, by), pic.stride, mvx2, mvy2, w, h);
      mc.bipred_avg(both, 10, ps0, 10, ps1, 10, w, h);
      for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x++) {
          const int64_t p0 = chroma_sample(pic, bx + x + (mvx >> 3), by + y + (mvy >> 3), mvx & 7, mvy & 7);
          const int64_t p1 = chroma_sample(pic, bx + x + (mvx2 >> 3), by + y + (mvy2 >> 3), mvx2 & 7, mvy2 & 7);
          ASSERT_EQ(px[y * 10 + x], uni(p0)) << "mc_chroma mv " << mvx << "," << mvy << " seed " << seed;
          ASSERT_EQ(ps_value(ps0[y * 10 + x]), p0) << "mc_chroma_ps mv " << mvx << "," << mvy << " seed " << seed;
          ASSERT_EQ(both[y * 10 + x], bi(p0, p1)) << "bipred_avg seed " << seed;
        }
    }
  }
  EXPECT_GE(blocks, 60000);
}

// The half-half luma position over the pattern that puts 255 wherever the
// product of the two taps is positive reaches (88^2 + 24^2) * 255 >> 6 =
// 33150, above int16; the inverse pattern reaches the minimum, -16830.
TEST_F(McModel, HalfHalfExtremesSurviveTheSixteenBitForm) {
  checkasm::rng_t r(1);
  for (bool maximise : {true, false}) {
    std::vector<uint8_t> buf(64 * 64);
    for (int32_t y = 0; y < 64; y++)
      for (int32_t x = 0; x < 64; x++) {
        const bool positive = (FL[2][x % 8] > 0) == (FL[2][y % 8] > 0);
        buf[y * 64 + x] = positive == maximise ? 255 : 0;
      }
    // Output (0, 0) at integer position (3, 3) sees taps 0..7 on both axes.
    const uint8_t *at = buf.data() + 3 * 64 + 3;
    const int32_t expected = maximise ? 33150 : -16830;
    int16_t ps[64];
    int32_t stride = 8;
    const int16_t *out = mc.mc_luma_ps(ps, &stride, at, nullptr, 64, 2, 2, 8, 8);
    EXPECT_EQ(ps_value(out[0]), expected);
    // Same through the horizontal planes.
    std::vector<int16_t> planes[3];
    for (auto &p : planes) p.assign(buf.size(), 0);
    mc.luma_hfilter_planes(planes[0].data() + 3 * 64 + 3, planes[1].data() + 3 * 64 + 3, planes[2].data() + 3 * 64 + 3,
                           at, 64, 50, 50, 0);
    const int16_t *hp[3] = {planes[0].data() + 3 * 64 + 3, planes[1].data() + 3 * 64 + 3, planes[2].data() + 3 * 64 + 3};
    stride = 8;
    out = mc.mc_luma_ps(ps, &stride, at, hp, 64, 2, 2, 8, 8);
    EXPECT_EQ(ps_value(out[0]), expected);
    uint8_t px[64];
    mc.mc_luma(px, 8, at, nullptr, 64, 2, 2, 8, 8);
    EXPECT_EQ(px[0], maximise ? 255 : 0);
  }
  // Combined with each other: (33150 - 16830 + 64) >> 7 = 128; a saturated
  // 32767 would give 125 and a wrapped value 0.
  int16_t hi = static_cast<int16_t>(33150 - 65536), lo = -16830;
  uint8_t out = 0;
  mc.bipred_avg(&out, 1, &hi, 1, &lo, 1, 1, 1);
  EXPECT_EQ(out, 128);
}

// The sub-sample planes of a reference picture, built as the encoder builds
// them (horizontal sums first, then the fifteen phases), equal the standard's
// interpolation at every phase and every position of the built window: on
// the patterns that drive the half/half value to its two extremes and on
// random samples.
TEST_F(McModel, SubpelPlanesEqualTheStandardAtEveryPhase) {
  const uint64_t seed = checkasm::test_seed() + 2;
  checkasm::rng_t r(seed);
  for (int32_t kind = 0; kind < 3; kind++) {
    picture_t pic(40, 24, r, checkasm::ALL_PATTERNS[0]);
    for (int32_t y = 0; y < pic.h; y++)
      for (int32_t x = 0; x < pic.w; x++) {
        const bool positive = (FL[2][x % 8] > 0) == (FL[2][y % 8] > 0);
        pic.samples[y * pic.w + x] = kind == 2 ? static_cast<uint8_t>(r.range(0, 255)) : (positive == (kind == 0)) * 255;
      }
    for (int32_t y = -PAD; y < pic.h + PAD; y++)
      for (int32_t x = -PAD; x < pic.w + PAD; x++)
        pic.padded[(y + PAD) * pic.stride + x + PAD] = static_cast<uint8_t>(pic.ref(x, y));
    // The window keeps every tap of its rows -3..h+3 inside the padding.
    const int32_t x0 = -PAD + 3, y0 = -PAD + 3, ww = pic.w + 2 * PAD - 8, wh = pic.h + 2 * PAD - 7;
    const intptr_t origin = static_cast<intptr_t>(y0 + PAD) * pic.stride + x0 + PAD;
    std::vector<int16_t> h16[3];
    int16_t *hw[3];
    for (int32_t k = 0; k < 3; k++) {
      h16[k].assign(pic.padded.size(), 0);
      hw[k] = h16[k].data() + origin;
    }
    std::vector<uint8_t> planes8(16 * pic.padded.size(), 0);
    uint8_t *pw[16];
    for (int32_t p = 0; p < 16; p++) pw[p] = planes8.data() + p * pic.padded.size() + origin;
    const int16_t *hr[3] = {hw[0], hw[1], hw[2]};
    mc.luma_hfilter_planes(hw[0], hw[1], hw[2], pic.at(x0, y0), pic.stride, ww, wh, 0);
    mc.subpel_planes_build(pw, pic.at(x0, y0), hr, pic.stride, ww, wh, 0);
    for (int32_t p = 1; p < 16; p++)
      for (int32_t y = 0; y < wh; y++)
        for (int32_t x = 0; x < ww; x++) {
          const uint8_t want = uni(luma_sample(pic, x0 + x, y0 + y, p & 3, p >> 2));
          ASSERT_EQ(pw[p][static_cast<intptr_t>(y) * pic.stride + x], want)
              << "plane " << p << " at " << x0 + x << "," << y0 + y << " kind " << kind << " seed " << seed;
        }
  }
}

TEST_F(McModel, BipredCombineEdgeValues) {
  struct {
    int32_t a, b, expected;
  } cases[] = {{16320, 16320, 255}, {6400, 6464, 101}, {63, 0, 0},         {64, 0, 1},    {191, 0, 1},
               {192, 0, 2},         {32575, 0, 254},  {22440, 22440, 255}, {-6120, -6120, 0}, {-16830, 0, 0}};
  for (const auto &c : cases) {
    const int16_t a = static_cast<int16_t>(c.a), b = static_cast<int16_t>(c.b);
    uint8_t out = 7;
    mc.bipred_avg(&out, 1, &a, 1, &b, 1, 1, 1);
    EXPECT_EQ(out, c.expected) << c.a << " + " << c.b;
  }
}

}  // namespace
