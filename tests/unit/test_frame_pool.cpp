// The frame pool hands out the picture released last, so that pictures the
// encoder never needs at once stay untouched (and cost no resident memory);
// every picture and buffer made zeroed starts as zeros and 32-byte aligned.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <vector>

#include "common/memory.h"
#include "common/primitives.h"
#include "encoder/frame.h"
#include "ratecontrol/lookahead_frame.h"

TEST(FramePool, HandsOutThePictureReleasedLastOfItsKind) {
  frame_pool_t pool;
  ASSERT_EQ(frame_pool_init(&pool, 64, 64, 2, 4), 0);
  frame_t *a = frame_get_unused(&pool, 0);
  frame_t *b = frame_get_unused(&pool, 0);
  frame_t *in = frame_get_unused(&pool, 1);
  ASSERT_TRUE(a && b && in);
  EXPECT_TRUE(in->is_input);
  frame_release(&pool, a);
  frame_release(&pool, in);
  frame_release(&pool, b);
  // b went back last: it comes out first; then a; an input picture is never
  // handed out as a reconstruction.
  EXPECT_EQ(frame_get_unused(&pool, 0), b);
  EXPECT_EQ(frame_get_unused(&pool, 0), a);
  EXPECT_EQ(frame_get_unused(&pool, 1), in);
  // Cycling one picture keeps using the same one: the other two stay unused.
  std::set<frame_t *> seen;
  frame_t *c = frame_get_unused(&pool, 0);
  for (int i = 0; i < 8; i++) {
    frame_release(&pool, c);
    c = frame_get_unused(&pool, 0);
    seen.insert(c);
  }
  EXPECT_EQ(seen.size(), 1u);
  // Every one of the kind is in use: none is handed out.
  frame_t *d = frame_get_unused(&pool, 0);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(frame_get_unused(&pool, 0), nullptr);
  frame_pool_destroy(&pool);
}

TEST(FramePool, PlanesAndZeroedBlocksStartAsZerosAndAligned) {
  for (size_t n : {size_t(1), size_t(100), size_t(1) << 20, (size_t(1) << 22) + 3}) {
    uint8_t *p = static_cast<uint8_t *>(aligned_calloc(n));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 32, 0u) << n;
    size_t nonzero = 0;
    for (size_t i = 0; i < n; i++) nonzero += p[i] != 0;
    EXPECT_EQ(nonzero, 0u) << n;
    // Reused heap memory must come zeroed too.
    for (size_t i = 0; i < n; i++) p[i] = 0xa5;
    aligned_free(p);
    p = static_cast<uint8_t *>(aligned_calloc(n));
    ASSERT_NE(p, nullptr);
    nonzero = 0;
    for (size_t i = 0; i < n; i++) nonzero += p[i] != 0;
    EXPECT_EQ(nonzero, 0u) << n;
    aligned_free(p);
  }
  frame_t *f = frame_new(200, 136, 0);
  ASSERT_NE(f, nullptr);
  for (int c = 0; c < 3; c++) {
    const int32_t sh = c ? 1 : 0;
    for (int32_t y = 0; y < f->alloc_height >> sh; y++)
      for (int32_t x = 0; x < f->alloc_width >> sh; x++) {
        ASSERT_EQ(f->plane[c][y * f->stride[c] + x], 0) << c << " " << x << " " << y;
      }
  }
  frame_delete(f);
}

namespace {

// Input pictures share the pool's one set of half-resolution phase planes
// (written by the lookahead, read by nothing), each keeping its own
// half-resolution plane; reconstructions have none; building one picture's
// phases leaves every other picture's plane 0 alone.
TEST(FramePool, InputPicturesShareOnePhasePlaneSet) {
  frame_pool_t pool;
  ASSERT_EQ(frame_pool_init(&pool, 136, 72, 3, 2, 0, 1), 0);
  ASSERT_NE(pool.shared_lowres_phases, nullptr);
  std::vector<frame_t *> inputs;
  for (int32_t i = 0; i < 3; i++) inputs.push_back(frame_get_unused(&pool, 1));
  frame_t *rec = frame_get_unused(&pool, 0);
  ASSERT_NE(rec, nullptr);
  for (int32_t p = 1; p < 16; p++) EXPECT_EQ(rec->lowres_planes[p], nullptr);
  for (frame_t *f : inputs) {
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->lowres_phase_alloc, nullptr);
    for (int32_t p = 1; p < 16; p++) EXPECT_EQ(f->lowres_planes[p], inputs[0]->lowres_planes[p]) << p;
  }
  const std::set<uint8_t *> own = {inputs[0]->lowres_planes[0], inputs[1]->lowres_planes[0], inputs[2]->lowres_planes[0]};
  EXPECT_EQ(own.size(), 3u);
  mc_funcs_t mc;
  setup_mc_primitives(0, &mc);
  for (int32_t i = 0; i < 3; i++) {
    for (int32_t y = 0; y < 72; y++)
      for (int32_t x = 0; x < 192; x++) inputs[i]->plane[0][y * inputs[i]->stride[0] + x] = static_cast<uint8_t>(40 * i + x);
    lowres_build(mc, inputs[i], 1);
  }
  for (int32_t i = 0; i < 3; i++)
    EXPECT_EQ(inputs[i]->lowres_planes[0][5], static_cast<uint8_t>(40 * i + 11)) << "picture " << i;
  for (frame_t *f : inputs) frame_release(&pool, f);
  frame_release(&pool, rec);
  frame_pool_destroy(&pool);
}

}  // namespace
