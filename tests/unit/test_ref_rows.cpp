// What a picture may read of a reference still being coded: the CTU rows
// its vectors reach, and margins written piecewise that end up exactly as
// when written at once.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "encoder/frame.h"
#include "encoder/rowsched.h"

namespace {

struct frame_deleter {
  void operator()(frame_t *f) const { frame_delete(f); }
};
using frame_ptr = std::unique_ptr<frame_t, frame_deleter>;

void fill_pattern(frame_t *f) {
  for (int p = 0; p < 3; p++) {
    const int32_t w = f->width >> (p ? 1 : 0), h = f->height >> (p ? 1 : 0);
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++) f->plane[p][y * f->stride[p] + x] = static_cast<uint8_t>(x * 7 + y * 13 + p * 50);
  }
}

size_t alloc_bytes(const frame_t *f) {
  const size_t luma = static_cast<size_t>(f->stride[0]) * (f->alloc_height + 2 * FRAME_PAD_Y);
  return luma + 2 * static_cast<size_t>(f->stride[1]) * ((f->alloc_height + 2 * FRAME_PAD_Y) / 2);
}

TEST(RefRows, MarginsExtendedLeftFirstMatchOneExtension) {
  // Widths and heights not multiples of 64, as the row scheduler extends
  // them: the margin above each CTU of the first row but the last one's
  // (when there is a second row), the left margin of every CTU row but the
  // last, then each row without them.
  for (const auto &[w, h] : {std::pair{200, 136}, std::pair{448, 200}, std::pair{72, 64}, std::pair{64, 128}}) {
    frame_ptr whole(frame_new(w, h, 0)), piecewise(frame_new(w, h, 0));
    ASSERT_TRUE(whole && piecewise);
    fill_pattern(whole.get());
    fill_pattern(piecewise.get());
    frame_extend_borders(whole.get());
    const int32_t rows = (h + 63) / 64, cols = (w + 63) / 64;
    const int32_t top_from = rows > 1 ? 64 * (cols - 1) : 0;
    for (int32_t x = 0; x < top_from / 64; x++) frame_extend_top(piecewise.get(), 64 * x, 64 * (x + 1));
    for (int32_t r = 0; r + 1 < rows; r++) frame_extend_left(piecewise.get(), r * 64, std::min((r + 1) * 64, h));
    for (int32_t r = 0; r < rows; r++)
      frame_extend_rows(piecewise.get(), r * 64, std::min((r + 1) * 64, h), r + 1 < rows, r == 0 ? top_from : 0);
    EXPECT_EQ(std::memcmp(whole->alloc, piecewise->alloc, alloc_bytes(whole.get())), 0) << w << "x" << h;
  }
}

TEST(RefRows, MarginAboveAColumnIsItsFirstSampleRepeated) {
  // Written alone, before anything else of the margins: the columns asked
  // for and the corner with the first column, nothing else.
  frame_ptr f(frame_new(200, 136, 0));
  ASSERT_TRUE(f);
  fill_pattern(f.get());
  for (int p = 0; p < 3; p++) {
    const int32_t sx = p ? 1 : 0, stride = f->stride[p];
    uint8_t *o = f->plane[p];
    for (int32_t y = 1; y <= FRAME_PAD_Y >> sx; y++) std::memset(o - y * stride - (FRAME_PAD_X >> sx), 0xee, stride);
  }
  frame_extend_top(f.get(), 0, 64);
  frame_extend_top(f.get(), 128, 192);
  for (int p = 0; p < 3; p++) {
    const int32_t sx = p ? 1 : 0, stride = f->stride[p];
    const uint8_t *o = f->plane[p];
    for (int32_t y = 1; y <= FRAME_PAD_Y >> sx; y++)
      for (int32_t x = -(FRAME_PAD_X >> sx); x < (200 >> sx) + 8; x++) {
        const int32_t lx = x << sx;
        const bool written = lx < 64 || (lx >= 128 && lx < 192);
        const uint8_t want = written ? o[std::max(x, 0)] : 0xee;
        ASSERT_EQ(o[-y * stride + x], want) << p << " " << y << " " << x;
      }
  }
}

TEST(RefRows, BoundCoversTheVectorReachWithoutAWholeRowToSpare) {
  // A CTU row's blocks end at 64 (r + 1) - 1; a vector of up to reach + 3/4
  // rows with the 8-tap filter reads 4 rows further: the bound must cover
  // that row, and stay within the CTU row that holds it plus the spare.
  for (int32_t reach = 8; reach <= 1024; reach++)
    for (int32_t r = 0; r < 4; r++) {
      const int32_t last_read = 64 * (r + 1) - 1 + reach + 4;
      const int32_t bound = ref_rows_needed(r, reach);
      EXPECT_GE(bound * 64 + 63, last_read) << reach << " " << r;
      EXPECT_LE(bound * 64, last_read + 3) << reach << " " << r;
    }
  // The presets' reaches (56 below complexity 4, 120 from it) need one and
  // two CTU rows below the row being coded.
  EXPECT_EQ(ref_rows_needed(0, 56), 1);
  EXPECT_EQ(ref_rows_needed(3, 120), 5);
}

TEST(RefRows, TopRowBoundCoversTheReachOfLumaAndChroma) {
  // A vector of up to reach + 3/4 rows: luma taps read 4 rows below its
  // whole part, chroma (half the rows, the vector in eighths) 2.  The row
  // found must hold both in its top rows (all but the last 4 luma and 2
  // chroma rows), and the row above it must not.
  for (int32_t reach = 8; reach <= 1024; reach++)
    for (int32_t r = 0; r < 4; r++) {
      const int32_t luma = 64 * (r + 1) - 1 + reach + 4;
      const int32_t chroma = 32 * (r + 1) - 1 + (4 * reach + 3) / 8 + 2;
      const int32_t top = ref_top_rows_needed(r, reach);
      EXPECT_GE(64 * top + 59, luma) << reach << " " << r;
      EXPECT_GE(32 * top + 29, chroma) << reach << " " << r;
      EXPECT_TRUE(64 * (top - 1) + 59 < luma || 32 * (top - 1) + 29 < chroma) << reach << " " << r;
      EXPECT_LE(top, ref_rows_needed(r, reach) + 1) << reach << " " << r;
    }
  // The presets' reaches end exactly on a top row, in luma and chroma.
  EXPECT_EQ(ref_top_rows_needed(0, 56), 1);
  EXPECT_EQ(ref_top_rows_needed(3, 120), 5);
}

}  // namespace
