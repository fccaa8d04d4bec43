// Sub-pel planes of a reconstructed picture, built window row by window row:
// every position a prediction or a search can read holds the filtered
// sample, whatever the picture size, the split into builds and the tier.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "common/mc.h"
#include "encoder/frame.h"
#include "encoder/param.h"
#include "encoder/ref_planes.h"

namespace {

struct frame_deleter {
  void operator()(frame_t *f) const { frame_delete(f); }
};

// Random samples with runs of the pattern that drives the half/half sum
// beyond int16 (0 under the negative taps, 255 under the positive ones).
void fill_picture(frame_t *f, uint32_t seed) {
  std::mt19937 r(seed);
  for (int32_t y = 0; y < f->height; y++)
    for (int32_t x = 0; x < f->width; x++) {
      uint8_t v = static_cast<uint8_t>(r());
      if ((y / 8 + x / 16) % 3 == 0) v = (x & 7) == 3 || (x & 7) == 4 || (x & 7) == 1 || (x & 7) == 6 ? 255 : 0;
      f->plane[0][y * f->stride[0] + x] = v;
    }
  frame_extend_borders(f);
}

// Columns -80 .. width + 79 and rows -76 .. height + 76 of every built plane
// equal the portable filter at that position; with `half_only` the
// whole/half planes only.  Returns the number of mismatches.
int32_t check_planes(const frame_t *f, int32_t half_only) {
  int32_t bad = 0;
  const int32_t stride = f->stride[0];
  alignas(32) uint8_t want[8];
  for (int32_t p = 1; p < 16; p++) {
    if (half_only && p != 2 && p != 8 && p != 10) continue;
    for (int32_t y = -76; y < f->height + 77; y++)
      for (int32_t x = -80; x < f->width + 80; x += 8) {
        const intptr_t at = static_cast<intptr_t>(y) * stride + x;
        mc_luma_c(want, 8, f->plane[0] + at, nullptr, stride, p & 3, p >> 2, 8, 1);
        for (int32_t k = 0; k < 8; k++)
          if (f->subpel[p][at + k] != want[k] && bad++ < 5)
            ADD_FAILURE() << "plane " << p << " at (" << x + k << ", " << y << "): " << int(f->subpel[p][at + k])
                          << " instead of " << int(want[k]);
      }
  }
  // The 16-bit planes hold the raw sums over the rows the vertical filter
  // of a 16-bit prediction reads.
  for (int32_t fx = 1; fx <= 3; fx++) {
    if (half_only && fx != 2) continue;
    for (int32_t y = -79; y < f->height + 80; y++)
      for (int32_t x = -80; x < f->width + 80; x++) {
        const intptr_t at = static_cast<intptr_t>(y) * stride + x;
        int32_t sum = 0;
        for (int32_t k = 0; k < 8; k++) sum += luma_filter_taps[fx][k] * f->plane[0][at + k - 3];
        if (f->hplane[fx - 1][at] != static_cast<int16_t>(sum) && bad++ < 5)
          ADD_FAILURE() << "16-bit plane " << fx << " at (" << x << ", " << y << ")";
      }
  }
  return bad;
}

TEST(RefPlanes, EveryReadablePositionHoldsTheFilteredSample) {
  const uint32_t have = cpu_detect_flags();
  struct size_t_ {
    int32_t w, h;
  } sizes[] = {{8, 8}, {72, 40}, {200, 136}, {64, 64}, {128, 72}};
  for (const auto &s : sizes)
    for (uint32_t flags : {0u, 2u, 6u}) {
      if ((flags & have) != flags) continue;
      mc_funcs_t mc;
      setup_mc_primitives(flags, &mc);
      for (int32_t half_only = 0; half_only < 2; half_only++) {
        std::unique_ptr<frame_t, frame_deleter> f(frame_new(s.w, s.h, 0, 1));
        ASSERT_TRUE(f && f->subpel[15] && f->hplane[2]);
        // A stale picture in the planes first, as a pooled picture has.
        fill_picture(f.get(), 7);
        ref_planes_build_rows(&mc, f.get(), 0, 100, half_only);
        fill_picture(f.get(), 11 + s.w);
        // Built as the rows become final: one window row, then the rest.
        const int32_t rows = (s.h + 63) / 64;
        ref_planes_build_rows(&mc, f.get(), 0, 1, half_only);
        ref_planes_build_rows(&mc, f.get(), 1, rows, half_only);
        SCOPED_TRACE(testing::Message() << s.w << "x" << s.h << " flags " << flags << " half_only " << half_only);
        EXPECT_EQ(check_planes(f.get(), half_only), 0);
      }
    }
}

// The windows a referring CTU row waits for cover the deepest rows its
// blocks and filter taps can read, and never more than the picture has.
TEST(RefPlanes, RowsNeededCoverTheVerticalReach) {
  for (int32_t reach : {8, 56, 120, 1024})
    for (int32_t rows : {1, 2, 5, 17, 40})
      for (int32_t r = 0; r < rows; r++) {
        const int32_t need = ref_planes_rows_needed(r, reach, rows);
        ASSERT_LE(need, rows - 1);
        if (need == rows - 1) continue;
        // Deepest 16-bit row read: the block's last row moved by the reach,
        // plus four taps.  The window row below `need` rewrites 16-bit rows
        // from 64 (need + 1) - 11 on, which must lie below it.
        const int32_t deepest = 64 * r + 63 + reach + 4;
        EXPECT_LT(deepest, 64 * (need + 1) - 11) << "row " << r << " reach " << reach;
        EXPECT_GE(deepest + 64, 64 * (need + 1) - 11) << "waits for more than it reads";
      }
}

TEST(RefPlanes, HalfSampleModeHoldsOnlyWholeAndHalfPhases) {
  EXPECT_TRUE(ref_planes_hold(2, 1, 3));
  EXPECT_TRUE(ref_planes_hold(1, 2, -6));
  EXPECT_TRUE(ref_planes_hold(1, 8, 4));
  EXPECT_FALSE(ref_planes_hold(1, 2, 1));
  EXPECT_FALSE(ref_planes_hold(1, -3, 0));
  EXPECT_FALSE(ref_planes_hold(0, 0, 0));
}

}  // namespace
