// Half-resolution pictures of input pictures: every phase plane over the
// whole CTUs, margins that repeat the edges out to the allocation's end, the
// same planes from every processor tier, and no phase planes (nor their
// memory) unless asked for.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "common/primitives.h"
#include "encoder/frame.h"
#include "encoder/param.h"
#include "ratecontrol/lookahead_frame.h"

namespace {

uint8_t avg_up(int32_t a, int32_t b) { return static_cast<uint8_t>((a + b + 1) >> 1); }

struct lowres_pic_t {
  frame_t *f;
  lowres_pic_t(int32_t w, int32_t h, int32_t phases, uint32_t seed) : f(frame_new(w, h, 1, 0, phases)) {
    EXPECT_NE(f, nullptr);
    // Textured with the extremes: 0 and 255 side by side.
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++) {
        seed = seed * 1664525u + 1013904223u;
        const uint32_t r = seed >> 24;
        f->plane[0][y * f->stride[0] + x] = static_cast<uint8_t>(r < 40 ? 0 : r > 215 ? 255 : r);
      }
    frame_extend_borders(f);
  }
  ~lowres_pic_t() { frame_delete(f); }
  // The luma the planes are made from, with the margins' clamping.
  int32_t luma(int32_t x, int32_t y) const {
    return f->plane[0][y * f->stride[0] + x];
  }
  uint8_t at(int32_t p, int32_t x, int32_t y) const { return f->lowres_planes[p][y * f->lowres_stride + x]; }
};

// Expected phase value at half-resolution (x, y) from the full-resolution
// samples: vertical averages of row pairs, then horizontal averages, then
// the quarter phases between neighbouring half phases.
int32_t model_phase(const lowres_pic_t &pic, int32_t p, int32_t x, int32_t y) {
  auto v = [&](int32_t r, int32_t c) { return avg_up(pic.luma(c, r), pic.luma(c, r + 1)); };
  auto half = [&](int32_t hx, int32_t hy, int32_t xx, int32_t yy) {  // hx, hy in {0, 1}: phases 0 or 2
    const int32_t r = 2 * yy + hy, c = 2 * xx + hx;
    return avg_up(v(r, c), v(r, c + 1));
  };
  const int32_t fx = p & 3, fy = p >> 2;
  auto row_value = [&](int32_t hy, int32_t xx, int32_t yy) -> int32_t {
    switch (fx) {
      case 0: return half(0, hy, xx, yy);
      case 2: return half(1, hy, xx, yy);
      case 1: return avg_up(half(0, hy, xx, yy), half(1, hy, xx, yy));
      default: return avg_up(half(1, hy, xx, yy), half(0, hy, xx + 1, yy));
    }
  };
  switch (fy) {
    case 0: return row_value(0, x, y);
    case 2: return row_value(1, x, y);
    case 1: return avg_up(row_value(0, x, y), row_value(1, x, y));
    default: return avg_up(row_value(1, x, y), row_value(0, x, y + 1));
  }
}

// Every sample of the allocation outside the built area equals the nearest
// built sample.
void expect_margins_repeat_edges(const lowres_pic_t &pic, int32_t p) {
  const frame_t *f = pic.f;
  const int32_t w = f->alloc_width / 2, h = f->alloc_height / 2;
  int32_t bad = 0;
  for (int32_t y = -LOWRES_PAD_Y; y < h + LOWRES_PAD_Y; y++)
    for (int32_t x = -LOWRES_PAD_X; x < w + LOWRES_PAD_X; x++) {
      if (x >= 0 && x < w && y >= 0 && y < h) continue;
      const int32_t cx = x < 0 ? 0 : x >= w ? w - 1 : x, cy = y < 0 ? 0 : y >= h ? h - 1 : y;
      if (pic.at(p, x, y) != pic.at(p, cx, cy) && bad++ < 3)
        ADD_FAILURE() << "plane " << p << " margin (" << x << ", " << y << ")";
    }
  EXPECT_EQ(bad, 0) << "plane " << p;
}

TEST(LowresPictures, AllSixteenPhasesMatchTheModelAndFillTheMargins) {
  for (const auto &size : std::vector<std::pair<int32_t, int32_t>>{{8, 8}, {72, 40}, {136, 72}}) {
    SCOPED_TRACE(::testing::Message() << size.first << "x" << size.second);
    lowres_pic_t pic(size.first, size.second, 1, 7u + size.first);
    mc_funcs_t mc;
    setup_mc_primitives(0, &mc);
    lowres_build(mc, pic.f, 1);
    const int32_t w = pic.f->alloc_width / 2, h = pic.f->alloc_height / 2;
    EXPECT_EQ(pic.f->lowres_width, size.first / 2);
    EXPECT_EQ(pic.f->lowres_height, size.second / 2);
    for (int32_t p = 0; p < 16; p++) {
      int32_t bad = 0;
      for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x++)
          if (pic.at(p, x, y) != model_phase(pic, p, x, y) && bad++ < 3)
            ADD_FAILURE() << "phase " << p << " at (" << x << ", " << y << ")";
      EXPECT_EQ(bad, 0) << "phase " << p;
      expect_margins_repeat_edges(pic, p);
    }
  }
}

TEST(LowresPictures, DownscaleAloneRoundsTheLastStepDownAndLeavesNoPhasePlanes) {
  lowres_pic_t pic(72, 40, 0, 3u);
  EXPECT_EQ(pic.f->lowres_phase_alloc, nullptr);
  for (int32_t p = 1; p < 16; p++) EXPECT_EQ(pic.f->lowres_planes[p], nullptr);
  mc_funcs_t mc;
  setup_mc_primitives(0, &mc);
  lowres_build(mc, pic.f, 1);  // asks for the phases: there is no room, so plane 0 alone
  for (int32_t y = 0; y < pic.f->alloc_height / 2; y++)
    for (int32_t x = 0; x < pic.f->alloc_width / 2; x++) {
      const int32_t a = avg_up(pic.luma(2 * x, 2 * y), pic.luma(2 * x, 2 * y + 1));
      const int32_t b = avg_up(pic.luma(2 * x + 1, 2 * y), pic.luma(2 * x + 1, 2 * y + 1));
      ASSERT_EQ(pic.at(0, x, y), (a + b) >> 1) << x << ", " << y;
    }
  expect_margins_repeat_edges(pic, 0);
}

TEST(LowresPictures, EveryTierBuildsTheSameAllocation) {
  for (const int32_t phases : {0, 1}) {
    std::vector<uint8_t> first;
    for (const uint32_t flags : {0u, 2u, 7u}) {
      if ((flags & 4) && !(cpu_detect_flags() & 4)) continue;
      lowres_pic_t pic(200, 104, phases, 11u);
      mc_funcs_t mc;
      setup_mc_primitives(flags, &mc);
      lowres_build(mc, pic.f, phases);
      const size_t plane = static_cast<size_t>(pic.f->lowres_stride) * (pic.f->alloc_height / 2 + 2 * LOWRES_PAD_Y);
      std::vector<uint8_t> all(pic.f->lowres_alloc, pic.f->lowres_alloc + plane);
      if (phases) all.insert(all.end(), pic.f->lowres_phase_alloc, pic.f->lowres_phase_alloc + 15 * plane);
      if (first.empty())
        first = all;
      else
        EXPECT_TRUE(all == first) << "cpu flags " << flags << ", phases " << phases;
    }
  }
}

}  // namespace
