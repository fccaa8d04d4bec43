// The frame pool hands out the picture released last, so that pictures the
// encoder never needs at once stay untouched (and cost no resident memory);
// every picture and buffer made zeroed starts as zeros and 32-byte aligned.
#include <gtest/gtest.h>

#include <algorithm>

#include <cstdint>
#include <set>
#include <thread>
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

// Looking ahead names the pictures in the order they are handed out, and
// mapping a picture's pages ahead keeps what it holds.
TEST(FramePool, PeekedPicturesComeOutInOrderAndPopulatingKeepsTheirSamples) {
  frame_pool_t pool;
  ASSERT_EQ(frame_pool_init(&pool, 96, 64, 3, 2), 0);
  frame_t *in = frame_get_unused(&pool, 1);
  ASSERT_NE(in, nullptr);
  frame_release(&pool, in);
  frame_t *next[3] = {frame_peek_unused(&pool, 1, 0), frame_peek_unused(&pool, 1, 1), frame_peek_unused(&pool, 1, 2)};
  EXPECT_EQ(frame_peek_unused(&pool, 1, 3), nullptr);
  EXPECT_EQ(next[0], in);
  for (int32_t c = 0; c < 3; c++)
    for (int32_t y = 0; y < 32; y++) in->plane[c][y * in->stride[c]] = static_cast<uint8_t>(y * 7 + c);
  for (frame_t *f : next) {
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(f->is_input);
    frame_populate(f);
    EXPECT_EQ(frame_get_unused(&pool, 1), f);
  }
  for (int32_t c = 0; c < 3; c++)
    for (int32_t y = 0; y < 32; y++) EXPECT_EQ(in->plane[c][y * in->stride[c]], static_cast<uint8_t>(y * 7 + c));
  EXPECT_EQ(next[1]->plane[0][0], 0);
  EXPECT_EQ(frame_peek_unused(&pool, 1, 0), nullptr);
  EXPECT_NE(frame_peek_unused(&pool, 0, 1), nullptr);
  for (frame_t *f : next) frame_release(&pool, f);
  frame_pool_destroy(&pool);
}

// Freed on several threads (the sanitizer builds check that every block is
// freed once): more shares than pictures, and pictures with plane sets.
TEST(FramePool, DestroyedOnSeveralThreads) {
  for (int32_t threads : {1, 3, 4, 100}) {
    frame_pool_t pool;
    ASSERT_EQ(frame_pool_init(&pool, 72, 40, 1, 2, 2), 0);
    frame_t *rec = frame_get_unused(&pool, 0);
    ASSERT_NE(rec, nullptr);
    ASSERT_EQ(frame_planes_attach(&pool, rec), 0);
    std::fill(rec->plane[0], rec->plane[0] + 16, 9);
    frame_release(&pool, rec);
    frame_pool_destroy(&pool, threads);
    EXPECT_EQ(pool.all, nullptr);
  }
}

// Freed in shares on threads of the caller's (the encoder's close runs them
// on its lookahead pool), then destroyed: the destroy frees only what the
// shares left, every block once.
TEST(FramePool, FreedInSharesThenDestroyed) {
  for (int32_t shares : {1, 2, 4, 9}) {
    frame_pool_t pool;
    ASSERT_EQ(frame_pool_init(&pool, 72, 40, 3, 4, 2), 0);
    frame_t *rec = frame_get_unused(&pool, 0);
    ASSERT_NE(rec, nullptr);
    ASSERT_EQ(frame_planes_attach(&pool, rec), 0);
    frame_release(&pool, rec);
    std::vector<std::thread> threads;
    for (int32_t k = shares - 1; k > 0; k--) threads.emplace_back(frame_pool_free_share, &pool, k, shares);
    frame_pool_free_share(&pool, 0, shares);
    for (std::thread &t : threads) t.join();
    for (int32_t i = 0; i < pool.all_count; i++) EXPECT_EQ(pool.all[i], nullptr) << shares << " shares, picture " << i;
    for (int32_t i = 0; i < pool.plane_set_count; i++) EXPECT_EQ(pool.plane_sets[i].phases, nullptr) << i;
    frame_pool_destroy(&pool, 2);
    EXPECT_EQ(pool.all, nullptr);
  }
}

// The pictures whose pages go back to the system beside the last pictures'
// coding: after the input has ended, input pictures as they are released;
// once every picture has started, every reconstruction nobody holds, each
// listed once (unused then, or released later); input coming again forgets
// the list and the reconstructions are kept again.
std::set<frame_t *> take_returning(frame_pool_t *pool) {
  std::set<frame_t *> listed;
  if (!frame_pool_returning_job_due(pool)) return listed;
  while (frame_t *f = frame_pool_next_returning(pool)) EXPECT_TRUE(listed.insert(f).second);
  return listed;
}

TEST(FramePool, ReconstructionsGiveTheirPagesBackOnceEveryPictureStarted) {
  frame_pool_t pool;
  ASSERT_EQ(frame_pool_init(&pool, 72, 40, 2, 3), 0);
  frame_t *in = frame_get_unused(&pool, 1);
  frame_t *rec = frame_get_unused(&pool, 0);
  ASSERT_TRUE(in && rec);
  frame_pool_input_ended(&pool, 1);
  frame_release(&pool, rec);
  frame_release(&pool, in);
  EXPECT_EQ(take_returning(&pool), std::set<frame_t *>{in});
  frame_t *held = frame_get_unused(&pool, 0);
  ASSERT_EQ(held, rec);
  held->plane[0][0] = 9;
  frame_pool_starts_ended(&pool);
  frame_pool_starts_ended(&pool);
  std::set<frame_t *> recons = take_returning(&pool);
  EXPECT_EQ(recons.size(), 2u);
  EXPECT_EQ(recons.count(held), 0u);
  frame_release(&pool, held);
  EXPECT_EQ(take_returning(&pool), std::set<frame_t *>{held});
  frame_return_pages(held);
  EXPECT_EQ(held->plane[0][0], 0);
  frame_pool_input_ended(&pool, 0);
  held = frame_get_unused(&pool, 0);
  frame_release(&pool, held);
  EXPECT_TRUE(take_returning(&pool).empty());
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

// Input pictures of a pool that wants the half-resolution phases have no
// phase planes (the lookahead reads none) but build plane 0 the way the
// phases round it; reconstructions do not.  That plane 0, margins
// included, equals plane 0 of a picture that keeps its full phase planes,
// for every tier and for odd heights.
TEST(FramePool, InputPicturesBuildPlaneZeroAsThePhasesRoundIt) {
  for (int32_t height : {72, 200, 136 + 8})
    for (uint32_t flags : {0u, 2u, 6u}) {
      frame_pool_t pool;
      ASSERT_EQ(frame_pool_init(&pool, 136, height, 2, 1, 0, 1), 0);
      frame_t *a = frame_get_unused(&pool, 1), *b = frame_get_unused(&pool, 1), *rec = frame_get_unused(&pool, 0);
      ASSERT_TRUE(a && b && rec);
      EXPECT_TRUE(a->lowres_plane0_phased && b->lowres_plane0_phased);
      EXPECT_FALSE(rec->lowres_plane0_phased);
      for (int32_t p = 1; p < 16; p++) EXPECT_EQ(a->lowres_planes[p], nullptr);
      frame_t *own = frame_new(136, height, 1, 0, 1);
      ASSERT_NE(own, nullptr);
      mc_funcs_t mc;
      setup_mc_primitives(flags, &mc);
      uint32_t seed = 12345 + static_cast<uint32_t>(height);
      for (frame_t *f : {a, own}) {
        uint32_t r = seed;
        for (int32_t y = -FRAME_PAD_Y; y < f->alloc_height + FRAME_PAD_Y; y++)
          for (int32_t x = -FRAME_PAD_X; x < f->alloc_width + FRAME_PAD_X; x++) {
            r = r * 1664525u + 1013904223u;
            f->plane[0][y * f->stride[0] + x] = static_cast<uint8_t>(r >> 24);
          }
        lowres_build(mc, f, 1);
      }
      const size_t plane_bytes = static_cast<size_t>(a->lowres_stride) * (a->alloc_height / 2 + 2 * LOWRES_PAD_Y);
      const uint8_t *pa = a->lowres_planes[0] - LOWRES_PAD_Y * a->lowres_stride - LOWRES_PAD_X;
      const uint8_t *po = own->lowres_planes[0] - LOWRES_PAD_Y * own->lowres_stride - LOWRES_PAD_X;
      EXPECT_TRUE(std::equal(pa, pa + plane_bytes, po)) << "height " << height << " flags " << flags;
      frame_delete(own);
      frame_release(&pool, a);
      frame_release(&pool, b);
      frame_release(&pool, rec);
      frame_pool_destroy(&pool);
    }
}

}  // namespace

// Reconstructions whose units are set after creation (on the lookahead pool
// while the first pictures are read) hold the same units as those set when
// made: every unit "none", over whole CTUs, input pictures untouched.
TEST(FramePool, UnitsSetLaterMatchUnitsSetWhenMade) {
  for (const int32_t height : {64, 72, 136}) {
    frame_pool_t now, later;
    ASSERT_EQ(frame_pool_init(&now, 200, height, 1, 2), 0);
    ASSERT_EQ(frame_pool_init(&later, 200, height, 1, 2, 0, 0, nullptr, true), 0);
    frame_pool_clear_units(&later);
    for (int32_t i = 0; i < now.all_count; i++) {
      const frame_t *a = now.all[i], *b = later.all[i];
      ASSERT_EQ(a->is_input, b->is_input);
      if (a->is_input) {
        EXPECT_EQ(b->units, nullptr);
        continue;
      }
      const size_t units = static_cast<size_t>(a->units_stride) * (a->alloc_height / 8);
      ASSERT_EQ(a->units_stride, 4 * 8);
      ASSERT_EQ(units, static_cast<size_t>(a->units_stride) * ((height + 63) / 64 * 8));
      for (size_t k = 0; k < units; k++) {
        const pic_unit_t &u = b->units[k], &v = a->units[k];
        for (int32_t l = 0; l < 2; l++) {
          ASSERT_EQ(u.mv[l], v.mv[l]) << "unit " << k;
          ASSERT_EQ(u.ref_idx[l], -1) << "unit " << k;
          ASSERT_EQ(v.ref_idx[l], -1) << "unit " << k;
        }
        ASSERT_EQ(u.qp, v.qp);
        ASSERT_EQ(u.cu_log2, v.cu_log2);
        ASSERT_EQ(u.flags, v.flags);
        ASSERT_EQ(u.leaf_size, v.leaf_size);
        ASSERT_EQ(u.intra, v.intra);
        for (int32_t q = 0; q < 4; q++) ASSERT_EQ(u.luma_mode[q], 1) << "unit " << k;
      }
    }
    frame_pool_destroy(&now);
    frame_pool_destroy(&later, 3);
  }
}
