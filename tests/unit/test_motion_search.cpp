// The motion searches on synthetic pictures: shifted content is found
// exactly, every vector stays inside its window whatever the picture size
// and the predictors, and the range and stop rules change what is tried.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "analysis/analysis_tables.h"
#include "common/mc.h"
#include "motion/me_common.h"
#include "motion/me_subpel_cache.h"
#include "encoder/param.h"
#include "simd/x86/simd_install.h"
#include "row_context.h"

namespace {

// A picture with the encoder's margins, sized exactly so that a read outside
// them leaves the allocation (the sanitizer build reports it).
struct plane_t {
  int32_t w, h, stride;
  std::vector<uint8_t> buf;
  plane_t(int32_t w_, int32_t h_) : w(w_), h(h_), stride(w_ + 2 * 96), buf(size_t(w_ + 192) * (h_ + 176)) {}
  uint8_t *at(int32_t x, int32_t y) { return buf.data() + static_cast<intptr_t>(y + 88) * stride + x + 96; }
  // Fills the picture from f(x, y) and repeats its edges into the margins.
  template <typename F>
  void fill(F f) {
    for (int32_t y = -88; y < h + 88; y++)
      for (int32_t x = -96; x < w + 96; x++)
        *at(x, y) = static_cast<uint8_t>(std::clamp(f(std::clamp(x, 0, w - 1), std::clamp(y, 0, h - 1)), 0, 255));
  }
};

// Texture at two scales: a coarse random grid, bilinearly interpolated over
// cells wider than the search range, so that costs fall toward the true
// match from afar, and fine random detail that makes every quarter-sample
// misalignment cost more than its vector bits.
struct texture_t {
  std::vector<int32_t> coarse, fine;
  static constexpr int32_t N = 80, FINE_CELL = 8;
  texture_t(uint32_t seed, int32_t coarse_cell) : cell(coarse_cell) {
    std::mt19937 r(seed);
    coarse.resize(N * N);
    fine.resize(N * N);
    for (auto &g : coarse) g = 20 + static_cast<int32_t>(r() % 216);
    for (auto &g : fine) g = static_cast<int32_t>(r() % 64);
  }
  int32_t cell;
  static int32_t lerp(const std::vector<int32_t> &g, int32_t c, int32_t x, int32_t y) {
    const int32_t gx = x / c, gy = y / c, fx = x % c, fy = y % c;
    auto at = [&](int32_t i, int32_t j) { return g[size_t(std::min(j, N - 1)) * N + std::min(i, N - 1)]; };
    const int32_t top = at(gx, gy) * (c - fx) + at(gx + 1, gy) * fx;
    const int32_t bot = at(gx, gy + 1) * (c - fx) + at(gx + 1, gy + 1) * fx;
    return (top * (c - fy) + bot * fy) / (c * c);
  }
  int32_t operator()(int32_t x, int32_t y) const { return lerp(coarse, cell, x, y) + lerp(fine, FINE_CELL, x, y); }
};

struct MotionSearch : ::testing::Test {
  encoder_t *enc = nullptr, *ctx = nullptr;
  frame_t cur{};
  me_context_t me{};
  alignas(32) uint8_t src[64 * 64];

  void open(int32_t w, int32_t h) {
    ctx = open_row_context(w, h, &enc);
    ASSERT_NE(ctx, nullptr);
    ctx->cur_input = &cur;
    ctx->param.subpel_level = 2;
    ctx->param.mv_range_y = 120;
    me.luma_stride = w + 192;
    me.pic_width = static_cast<int16_t>(w);
    me.pic_height = static_cast<int16_t>(h);
    me.pixel_funcs = &ctx->pixel;
    me.mc_funcs = &ctx->mc;
    me.list_count = 1;
    me.ref_count[0] = 1;
    me.src = src;
  }
  // A w x h picture searched with the thread's phase cache.
  me_subpel_cache_t *open_cached(int32_t w, int32_t h) {
    open(w, h);
    return me_subpel_cache_of_thread();
  }
  // The textured reference of the shift tests, searched at this level.
  void textured(plane_t &ref, int32_t level, int32_t mode, int32_t range, uint32_t seed = 7) {
    ref.fill(texture_t(seed, 48));
    ctx->analysis_level = level;
    me.search_mode = mode;
    me.search_range = range;
  }
  void TearDown() override {
    if (enc) encoder_close(enc);
  }
  // The CTU at (cx, cy) of the picture, its source block taken from the
  // reference moved by (mvx, mvy) quarter samples.
  void place(plane_t &ref, int32_t cx, int32_t cy, int32_t mvx, int32_t mvy) {
    me.ctu_x = cx;
    me.ctu_y = cy;
    me.ref_planes[0][0] = ref.at(cx, cy);
    mc_luma_c(src, 64, ref.at(cx, cy), nullptr, ref.stride, mvx, mvy, 64, 64);
    ctx->pixel.ctu_gradient_pyramid(src, &ctx->gradients);
  }
  static me_request_t request(int32_t x, int32_t y, int32_t w, int32_t h, mv_t pred) {
    me_request_t rq = me_request_for(x, y, w, h, 0, 0);
    rq.amvp_count = 1;
    rq.amvp[0] = rq.amvp[1] = pred;
    return rq;
  }
};

struct shift_case_t {
  const char *name;
  int32_t search;  // 0 me_search, 1 me_search_fast
  int32_t level, mode, range;
};

struct SyntheticShift : MotionSearch, ::testing::WithParamInterface<shift_case_t> {};

// Integer, half and quarter shifts in all eight directions: up to a quarter
// of the search range from a zero predictor, out to the range's end from a
// predictor a few samples off.  The lowest levels refine with one half-sample
// pass and no diagonal steps, so from an integer vector a sample off
// diagonally they cannot reach every quarter position: there integer shifts
// must be exact and fractional ones within a quarter sample.
TEST_P(SyntheticShift, FoundExactly) {
  const shift_case_t c = GetParam();
  open(320, 256);
  plane_t ref(320, 256);
  textured(ref, c.level, c.mode, c.range);
  int32_t tried = 0;
  for (int32_t dir = 0; dir < 8; dir++)
    for (int32_t mag : {0, 3, c.range / 4, c.range / 2, c.range - 3})
      for (int32_t frac : {0, 2, 1, 3}) {
        static const int32_t DX[8] = {1, 1, 0, -1, -1, -1, 0, 1}, DY[8] = {0, 1, 1, 1, 0, -1, -1, -1};
        const int32_t mvx = DX[dir] * (4 * mag + frac), mvy = DY[dir] * (4 * mag + frac);
        place(ref, 128, 128, mvx, mvy);
        for (int32_t size : {16, 32}) {
          const mv_t pred = mag <= 3 ? 0 : mv_make(mvx + 12, mvy - 8);
          me_request_t rq = request(16, 16, size, size, pred);
          me_result_t r{};
          ctx->ctu_qp = 22;
          if (c.search == 0)
            me_search(ctx, &me, &r, &rq, 12, ME_COST_NONE, 0, 1);
          else
            me_search_fast(ctx, &me, &r, &rq, 12, ME_COST_NONE, 0, 1);
          const int32_t slack = c.level < 4 && frac != 0 ? 1 : 0;
          EXPECT_LE(std::abs(mv_x(r.mv) - mvx), slack) << c.name << " size " << size << " shift " << mvx << "," << mvy;
          EXPECT_LE(std::abs(mv_y(r.mv) - mvy), slack) << c.name << " size " << size << " shift " << mvx << "," << mvy;
          EXPECT_EQ(r.second_cost, ME_COST_NONE);
          tried++;
        }
      }
  EXPECT_EQ(tried, 8 * 5 * 4 * 2);
}

// At levels 0-2 the fast search refines one vector with one half-sample
// pass and quarter-sample steps along the axes only, level 0 toward the
// cheaper member of each half-sample pair.  From the true vector's
// whole-sample neighbour (the predictor is the true vector, so its bits are
// the fewest) every half and quarter shift along an axis is reached
// exactly, on several textures.
TEST_F(MotionSearch, FastRefinementReachesEveryPhaseAlongTheAxesAtLevels0To2) {
  open(320, 256);
  plane_t ref(320, 256);
  int32_t tried = 0;
  for (uint32_t seed : {7u, 19u, 23u, 31u})
    for (int32_t level = 0; level < 3; level++) {
      textured(ref, level, 0, 16, seed);
      for (int32_t dir = 0; dir < 4; dir++)
        for (int32_t mag : {0, 5})
          for (int32_t frac : {1, 2, 3}) {
            static const int32_t DX[4] = {1, 0, -1, 0}, DY[4] = {0, 1, 0, -1};
            const int32_t mvx = DX[dir] * (4 * mag + frac), mvy = DY[dir] * (4 * mag + frac);
            place(ref, 128, 128, mvx, mvy);
            for (int32_t size : {16, 32}) {
              me_request_t rq = request(16, 16, size, size, mv_make(mvx, mvy));
              me_result_t r{};
              me_search_fast(ctx, &me, &r, &rq, 12, ME_COST_NONE, 0, 1);
              EXPECT_EQ(r.mv, mv_make(mvx, mvy)) << "level " << level << " seed " << seed << " size " << size
                                                 << " shift " << mvx << "," << mvy << " found " << mv_x(r.mv) << ","
                                                 << mv_y(r.mv);
              tried++;
            }
          }
    }
  EXPECT_EQ(tried, 4 * 3 * 4 * 2 * 3 * 2);
}

INSTANTIATE_TEST_SUITE_P(Searches, SyntheticShift,
                         ::testing::Values(shift_case_t{"full_multihex_l7", 0, 7, 1, 32},
                                           shift_case_t{"full_hexagon_l6", 0, 6, 0, 24},
                                           shift_case_t{"fast_multihex_l4", 1, 4, 1, 32},
                                           shift_case_t{"fast_hexagon_l1", 1, 1, 0, 24},
                                           shift_case_t{"fast_hexagon_l0", 1, 0, 0, 16}),
                         [](const auto &i) { return std::string(i.param.name); });

}  // namespace

namespace {

// The window from the values that define it: blocks may start up to 62
// samples above or left of the picture and at most 499 samples from their
// position; below and right at most 2 samples before the far edge, or R - 1
// samples from their position while the edge is farther than R.
TEST(MotionWindow, EdgesAndLimits) {
  struct {
    int32_t x, y, w, h, r;
    me_window_t want;
  } cases[] = {
      {0, 0, 64, 64, 56, {-62, 55, -62, 55}},          // top-left CTU, edges beyond R
      {8, 16, 64, 64, 56, {-70, 54, -78, 46}},         // W - X = 56 = R: the edge rule
      {40, 48, 64, 64, 56, {-102, 22, -110, 14}},      // close to the right and bottom edges
      {600, 700, 2000, 2000, 120, {-499, 119, -499, 119}},  // far from the origin: -500 + 1
      {436, 100, 500, 200, 120, {-498, 62, -162, 98}},
      {0, 0, 8, 8, 56, {-62, 6, -62, 6}},              // an 8x8 picture
  };
  for (const auto &c : cases) {
    const me_window_t w = me_window(c.x, c.y, c.w, c.h, c.r);
    EXPECT_EQ(w.min_x, c.want.min_x) << c.x << "," << c.y;
    EXPECT_EQ(w.max_x, c.want.max_x) << c.x << "," << c.y;
    EXPECT_EQ(w.min_y, c.want.min_y) << c.x << "," << c.y;
    EXPECT_EQ(w.max_y, c.want.max_y) << c.x << "," << c.y;
  }
}

// The cross and the rings cost four candidates in two halves: whenever the
// costing says one of them may be kept its distortions are exactly those of
// the block's own kernel, and it stops early only when none of them is
// below the bound, for every shape, in every tier, on random samples, the
// extremes and bounds around the distortions themselves.  Every block from
// 8x8 on (square, wide or tall) does stop after the top half.
TEST(SplitSad, HalvesAddUpToTheWholeBlockAndStopOnlyWhereNoneIsKept) {
  struct shape_t {
    int32_t w, h;
    bool halves;  // stops after the top half
  } shapes[] = {{64, 64, true}, {64, 32, true}, {32, 64, true}, {32, 32, true}, {32, 16, true}, {16, 32, true},
                {16, 16, true}, {16, 8, true},  {8, 16, true},  {8, 8, true},  {8, 4, false},  {4, 8, false}};
  constexpr int32_t W = 160, H = 144;
  plane_t ref(W, H);
  alignas(32) uint8_t src[64 * 64];
  std::mt19937 r(4242);
  for (uint32_t flags : {0u, CPU_FLAG_SSSE3, CPU_FLAG_SSSE3 | CPU_FLAG_AVX2}) {
    pixel_funcs_t px;
    setup_pixel_primitives(flags & cpu_detect_flags(), &px, 1);
    for (const auto [w, h, halves] : shapes) {
      const int32_t c = me_request_for(0, 0, w, h, 0, 0).size_class;
      const sad_x4_fn whole = w == h ? px.sad_x4_half[c] : w > h ? px.sad_x4_half_wide[c] : px.sad_x4_half_tall[c];
      const me_split_sad_t split = me_split_sad(px, w, h, c, ref.stride);
      int32_t stopped = 0, kept = 0;
      for (int32_t round = 0; round < 40; round++) {
        // Random samples, then the extremes: a flat source against a flat
        // or a checkered reference.
        ref.fill([&](int32_t x, int32_t y) {
          if (round == 38) return 255;
          if (round == 39) return ((x ^ y) & 1) * 255;
          return static_cast<int32_t>(r() % 256);
        });
        for (uint8_t &v : src) v = static_cast<uint8_t>(round >= 38 ? 0 : r() % 256);
        for (int32_t t = 0; t < 8; t++) {
          const uint8_t *p[4];
          for (auto &q : p) q = ref.at(static_cast<int32_t>(r() % (W - w + 1)), static_cast<int32_t>(r() % (H - h + 1)));
          if (t == 1) p[2] = p[3] = p[1];  // a group of two, as the batches pad it
          uint32_t want[4];
          whole(src, p[0], p[1], p[2], p[3], ref.stride, want);
          const uint32_t low = *std::min_element(want, want + 4), high = *std::max_element(want, want + 4);
          const uint32_t bounds[] = {0, low, low + 1, low / 2 + 1, high + 1, static_cast<uint32_t>(r() % (high + 2))};
          for (const uint32_t bound : bounds) {
            uint32_t d[4];
            const bool any = split(src, p, ref.stride, bound, d);
            if (any) {
              for (int32_t k = 0; k < 4; k++)
                ASSERT_EQ(d[k], want[k]) << w << "x" << h << " flags " << flags << " round " << round << " candidate "
                                         << k << " bound " << bound;
              kept++;
            } else {
              ASSERT_GE(low, bound) << w << "x" << h << " flags " << flags << " round " << round;
              stopped += !std::equal(d, d + 4, want);  // only the top half costed
            }
          }
        }
      }
      EXPECT_GT(kept, 0) << w << "x" << h;
      EXPECT_EQ(stopped > 0, halves) << w << "x" << h << " flags " << flags;
    }
  }
}

// The refinement's shared first filter stage: for every shape of block,
// every centre (also at the window's edges of a small picture, whose
// allocation ends at its margins so the sanitizer build sees any read
// beyond them) and every vector within reach of it, in any order, the
// predictor with local sums gives exactly the bytes of the one without, in
// every tier, on random samples and on the extremes that drive the sums to
// their limits.
TEST_F(MotionSearch, LocalSumsPredictExactlyAsTheDirectFilter) {
  std::mt19937 r(99);
  open(96, 72);
  plane_t ref(96, 72);
  const std::pair<int32_t, int32_t> shapes[] = {{8, 8},  {16, 16}, {32, 32}, {64, 64}, {8, 4},   {4, 8},
                                                {16, 4}, {12, 16}, {32, 24}, {64, 16}, {16, 64}, {48, 64}};
  int32_t compared = 0;
  for (int32_t content = 0; content < 3; content++) {
    ref.fill([&](int32_t x, int32_t y) {
      if (content == 0) return static_cast<int32_t>(r() % 256);
      return ((x + y) & 1) == (content == 1) ? 255 : 0;  // alternating extremes, both phases
    });
    for (uint32_t flags : {0u, CPU_FLAG_SSSE3, CPU_FLAG_SSSE3 | CPU_FLAG_AVX2}) {
      mc_funcs_t mc;
      setup_mc_primitives(flags & cpu_detect_flags(), &mc);
      me.mc_funcs = &mc;
      for (auto [w, h] : shapes)
        for (int32_t t = 0; t < 6; t++) {
          // Blocks at the picture's corners and inside it.
          const int32_t bx = t < 2 ? 0 : t < 4 ? std::max(0, 96 - w) : static_cast<int32_t>(r() % (97 - std::min(w, 96)));
          const int32_t by = t % 2 == 0 ? 0 : std::max(0, 72 - h);
          me.ctu_x = 0;
          me.ctu_y = 0;
          me.ref_planes[0][0] = ref.at(0, 0);
          const me_request_t rq = me_request_for(bx, by, w, h, 0, 0);
          const me_window_t win = me_window(bx, by, 96, 72, 120);
          alignas(32) uint8_t buf_a[64 * 64], buf_b[64 * 64];
          me_local_planes_t local;
          me_predictor_t a, b;
          me_predictor_init(&a, 0, &me, &rq, 0, buf_a, &local);
          me_predictor_init(&b, 0, &me, &rq, 0, buf_b, nullptr);
          for (int32_t c = 0; c < 4; c++) {
            // A whole-sample centre anywhere in the window (its corners
            // first), then a quarter-sample one next to it.
            const int32_t cx = c == 0 ? win.min_x : c == 1 ? win.max_x : win.min_x + static_cast<int32_t>(r() % (win.max_x - win.min_x + 1));
            const int32_t cy = c == 0 ? win.max_y : c == 1 ? win.min_y : win.min_y + static_cast<int32_t>(r() % (win.max_y - win.min_y + 1));
            for (int32_t stage = 0; stage < 2; stage++) {
              const int32_t reach = stage == 0 ? 4 : 1;
              const mv_t centre = stage == 0 ? mv_make(4 * cx, 4 * cy)
                                             : mv_make(4 * cx + static_cast<int32_t>(r() % 5) - 2, 4 * cy + static_cast<int32_t>(r() % 5) - 2);
              a.expect(centre, reach, win);
              // Candidates also beyond the reach (the direct filter serves them).
              for (int32_t k = 0; k < 24; k++) {
                const int32_t mvx = mv_x(centre) + static_cast<int32_t>(r() % 15) - 7;
                const int32_t mvy = mv_y(centre) + static_cast<int32_t>(r() % 15) - 7;
                if (!win.contains_qpel(mvx, mvy)) continue;
                int32_t sa = 0, sb = 0;
                const uint8_t *pa = a.predict(mvx, mvy, &sa), *pb = b.predict(mvx, mvy, &sb);
                for (int32_t y = 0; y < h; y++)
                  ASSERT_EQ(std::memcmp(pa + y * sa, pb + y * sb, size_t(w)), 0)
                      << w << "x" << h << " at " << bx << "," << by << " mv " << mvx << "," << mvy << " flags " << flags;
                compared++;
              }
            }
          }
        }
    }
  }
  EXPECT_GT(compared, 3000);
}

// With the CTU's phase cache, the predictor gives exactly the bytes of the
// direct filter: blocks of every shape anywhere in the CTU, vectors anywhere
// in their windows (the cache serves those whose block lies in its area),
// tiles filtered by one block and read by the next, small downward limits
// (the cached area shrinks to what the vectors may read; the sanitizer
// build checks that no read leaves the planes' margins), and new content
// under the same planes in the next CTU generation, in every tier.
TEST_F(MotionSearch, SubpelCachePredictsExactlyAsTheDirectFilter) {
  const uint32_t seed = 4242;
  std::mt19937 r(seed);
  constexpr int32_t W = 200, H = 136;
  me_subpel_cache_t *cache = open_cached(W, H);
  ASSERT_NE(cache, nullptr);
  plane_t ref(W, H);
  const std::pair<int32_t, int32_t> shapes[] = {{8, 8},  {16, 16}, {32, 32}, {64, 64}, {8, 4},  {4, 8},
                                                {16, 8}, {8, 16},  {32, 16}, {16, 32}, {64, 48}, {16, 64}};
  int32_t compared = 0, cached = 0;
  for (int32_t round = 0; round < 8; round++) {
    ref.fill([&](int32_t x, int32_t y) {
      if (round % 4 == 3) return ((x + y) & 1) ? 255 : 0;  // extremes: the sums at their limits
      return static_cast<int32_t>(r() % 256);
    });
    const int32_t reach = round < 2 ? 120 : round < 4 ? 8 + static_cast<int32_t>(r() % 40) : 10;
    me.ctu_x = 64 * static_cast<int32_t>(r() % 4);
    me.ctu_y = 64 * static_cast<int32_t>(r() % 3);
    me.ref_planes[0][0] = ref.at(me.ctu_x, me.ctu_y);
    me.subpel_cache = cache;
    me.subpel_gen = me_subpel_cache_new_ctu(cache);
    me.vector_reach = reach;
    // Every tier fills the cache (its second stage reads the kept sums).
    static const uint32_t tiers[3] = {0u, CPU_FLAG_SSSE3, CPU_FLAG_SSSE3 | CPU_FLAG_AVX2};
    mc_funcs_t mc;
    setup_mc_primitives(tiers[round % 3] & cpu_detect_flags(), &mc);
    me.mc_funcs = &mc;
    for (int32_t t = 0; t < 60; t++) {
      const auto [w, h] = shapes[r() % std::size(shapes)];
      const int32_t bx = w * static_cast<int32_t>(r() % (64 / w)), by = h * static_cast<int32_t>(r() % (64 / h));
      if (me.ctu_x + bx + w > W || me.ctu_y + by + h > H) continue;
      const me_request_t rq = me_request_for(bx, by, w, h, 0, 0);
      const me_window_t win = me_window(me.ctu_x + bx, me.ctu_y + by, W, H, reach);
      alignas(32) uint8_t buf_a[64 * 64], buf_b[64 * 64];
      me_local_planes_t local;
      me_predictor_t a, b;
      me_predictor_init(&a, 0, &me, &rq, 0, buf_a, &local);
      me_predictor_init(&b, 0, &me, &rq, 0, buf_b, nullptr);
      ASSERT_NE(a.cache, nullptr);
      EXPECT_EQ(b.cache, nullptr);
      for (int32_t k = 0; k < 40; k++) {
        // Mostly near the CTU, some anywhere in the window.
        const bool near = k % 4 != 0;
        const int32_t mvx = near ? static_cast<int32_t>(r() % 161) - 80
                                 : 4 * win.min_x + static_cast<int32_t>(r() % (4 * (win.max_x - win.min_x) + 1));
        const int32_t mvy = near ? static_cast<int32_t>(r() % 161) - 80
                                 : 4 * win.min_y + static_cast<int32_t>(r() % (4 * (win.max_y - win.min_y) + 1));
        if (!win.contains_qpel(mvx, mvy)) continue;
        int32_t sa = 0, sb = 0;
        const uint8_t *pa = a.predict(mvx, mvy, &sa), *pb = b.predict(mvx, mvy, &sb);
        for (int32_t y = 0; y < h; y++)
          ASSERT_EQ(std::memcmp(pa + y * sa, pb + y * sb, size_t(w)), 0)
              << "seed " << seed << " round " << round << " " << w << "x" << h << " at " << bx << "," << by
              << " ctu " << me.ctu_x << "," << me.ctu_y << " mv " << mvx << "," << mvy << " reach " << reach;
        compared++;
        cached += sa == me_subpel_slot_t::SPAN;
      }
    }
  }
  EXPECT_GT(compared, 5000);
  EXPECT_GT(cached, compared / 3);
  me.subpel_cache = nullptr;
  me.subpel_gen = 0;
  me.mc_funcs = &ctx->mc;
}

// The SA8D of a block costed from the CTU's 16x16 unit costs equals the
// SA8D of its direct prediction: blocks of every shape of 16x16 or larger,
// and the 16x8, 8x16 and 8x8 blocks inside one unit, reuse the units and
// 8x8 blocks that bigger, smaller and rectangular blocks costed with the
// same vector before them (a half or a quarter leaves the unit's other
// blocks to be costed later), vectors that meet in a unit's table replace
// each other, and new content under the same plane in the next CTU
// generation is costed anew, in every tier.  Shapes the units do not make
// up, blocks across units, and costs other than the shape's SA8D take
// nothing from the units.
TEST_F(MotionSearch, UnitCostsGiveEveryBlockItsOwnSa8d) {
  const std::pair<int32_t, int32_t> shapes[] = {{64, 64}, {64, 32}, {32, 64}, {32, 32}, {32, 16},
                                                 {16, 32}, {16, 16}, {16, 8},  {8, 16},  {8, 8}};
  constexpr int32_t W = 200, H = 136;
  me_subpel_cache_t *cache = open_cached(W, H);
  ASSERT_NE(cache, nullptr);
  plane_t ref(W, H);
  const uint32_t seed = 5151;
  std::mt19937 r(seed);
  int32_t compared = 0, from_units = 0;
  for (int32_t round = 0; round < 6; round++) {
    ref.fill([&](int32_t x, int32_t y) {
      if (round == 5) return ((x + y) & 1) ? 255 : 0;
      return static_cast<int32_t>(r() % 256);
    });
    for (uint8_t &v : src) v = static_cast<uint8_t>(round == 5 ? 0 : r() % 256);
    // The same plane and CTU every round: only the generation tells the
    // old costs from the new.
    me.ctu_x = 64;
    me.ctu_y = 64;
    me.ref_planes[0][0] = ref.at(me.ctu_x, me.ctu_y);
    me.subpel_cache = cache;
    me.subpel_gen = me_subpel_cache_new_ctu(cache);
    me.vector_reach = 120;
    static const uint32_t tiers[3] = {0u, CPU_FLAG_SSSE3, CPU_FLAG_SSSE3 | CPU_FLAG_AVX2};
    pixel_funcs_t px;
    setup_pixel_primitives(tiers[round % 3] & cpu_detect_flags(), &px, 1);
    // A few motion centres, so that the blocks' candidates meet.
    const mv_t centres[3] = {mv_make(0, 0), mv_make(-9, 6), mv_make(13, -22)};
    for (int32_t t = 0; t < 120; t++) {
      const auto [w, h] = shapes[r() % std::size(shapes)];
      const int32_t bx = w * static_cast<int32_t>(r() % (64 / w)), by = h * static_cast<int32_t>(r() % (64 / h));
      const me_request_t rq = me_request_for(bx, by, w, h, 0, 0);
      const int32_t c = rq.size_class;
      const pixel_cost_fn sa8d = w == h ? px.sa8d[c] : w > h ? px.sa8d_wide[c] : px.sa8d_tall[c];
      alignas(32) uint8_t buf[64 * 64];
      me_local_planes_t local;
      me_predictor_t pred;
      me_predictor_init(&pred, 0, &me, &rq, 0, buf, &local);
      me_refine_costs_t costs{&pred, sa8d, src + by * 64 + bx};
      costs.share_units(px, &rq);
      ASSERT_NE(costs.units, nullptr) << w << "x" << h;
      for (int32_t k = 0; k < 12; k++) {
        const mv_t centre = centres[r() % 3];
        const int32_t mvx = mv_x(centre) + static_cast<int32_t>(r() % 9) - 4;
        const int32_t mvy = mv_y(centre) + static_cast<int32_t>(r() % 9) - 4;
        const uint32_t got = costs(mv_make(mvx, mvy));
        from_units += costs.last == nullptr;
        alignas(32) uint8_t want[64 * 64];
        mc_luma_c(want, 64, ref.at(me.ctu_x + bx, me.ctu_y + by), nullptr, ref.stride, mvx, mvy, w, h);
        ASSERT_EQ(got, sa8d(src + by * 64 + bx, 64, want, 64))
            << "seed " << seed << " round " << round << " " << w << "x" << h << " at " << bx << "," << by << " mv "
            << mvx << "," << mvy;
        compared++;
      }
    }
    // Not made of units or of one unit's 8x8 blocks: every vector costed
    // by the function itself.
    const int32_t others[][4] = {{0, 16, 32, 8}, {8, 16, 16, 8}, {8, 8, 8, 16}, {4, 8, 8, 8}, {0, 16, 8, 4}};
    for (auto [x, y, w, h] : others) {
      const me_request_t rq = me_request_for(x, y, w, h, 0, 0);
      const int32_t c = rq.size_class;
      me_predictor_t pred;
      alignas(32) uint8_t buf[64 * 64];
      me_local_planes_t local;
      me_predictor_init(&pred, 0, &me, &rq, 0, buf, &local);
      me_refine_costs_t costs{&pred, w == h ? px.sa8d[c] : w > h ? px.sa8d_wide[c] : px.sa8d_tall[c], src};
      costs.share_units(px, &rq);
      EXPECT_EQ(costs.units, nullptr) << w << "x" << h;
    }
    for (auto [w, h] : {std::pair{16, 16}, std::pair{16, 8}, std::pair{8, 8}}) {
      const me_request_t rq = me_request_for(16, 16, w, h, 0, 0);
      me_predictor_t pred;
      alignas(32) uint8_t buf[64 * 64];
      me_local_planes_t local;
      me_predictor_init(&pred, 0, &me, &rq, 0, buf, &local);
      me_refine_costs_t satd{&pred, w == h ? px.satd[rq.size_class] : px.satd_wide[rq.size_class], src};
      satd.share_units(px, &rq);
      EXPECT_EQ(satd.units, nullptr) << w << "x" << h;
    }
  }
  EXPECT_GT(from_units, compared / 10);
  me.subpel_cache = nullptr;
  me.subpel_gen = 0;
}

// A slot serves one reference plane in one CTU generation; the planes of a
// CTU beyond the slots get none (their candidates are filtered directly),
// and a new generation frees every slot.
TEST(SubpelCache, SlotsServeOnePlaneInOneGeneration) {
  me_subpel_cache_t *c = me_subpel_cache_of_thread();
  ASSERT_NE(c, nullptr);
  static const uint8_t planes[me_subpel_cache_t::SLOTS + 1][1] = {};
  const uint32_t g = me_subpel_cache_new_ctu(c);
  me_subpel_slot_t *s[me_subpel_cache_t::SLOTS];
  for (int32_t i = 0; i < me_subpel_cache_t::SLOTS; i++) {
    s[i] = me_subpel_cache_slot(c, g, planes[i], 400, 120);
    ASSERT_NE(s[i], nullptr);
    for (int32_t j = 0; j < i; j++) EXPECT_NE(s[i], s[j]);
  }
  EXPECT_EQ(me_subpel_cache_slot(c, g, planes[1], 400, 120), s[1]);
  EXPECT_EQ(me_subpel_cache_slot(c, g, planes[me_subpel_cache_t::SLOTS], 400, 120), nullptr);
  const uint32_t g2 = me_subpel_cache_new_ctu(c);
  EXPECT_NE(g2, g);
  me_subpel_slot_t *n = me_subpel_cache_slot(c, g2, planes[me_subpel_cache_t::SLOTS], 400, 120);
  ASSERT_NE(n, nullptr);
  // A fresh slot holds no tile of the CTU before.
  for (const auto &phase : n->valid)
    for (uint32_t row : phase) EXPECT_EQ(row, 0u);
  // The far edge: every fractional vector of a block inside the CTU reads at
  // most reach + 2 samples beyond it.
  EXPECT_EQ(me_subpel_cache_slot(c, g2, planes[0], 400, 9)->far, 0);
  EXPECT_EQ(me_subpel_cache_slot(c, g2, planes[1], 400, 20)->far, 16);
  EXPECT_EQ(me_subpel_cache_slot(c, g2, planes[2], 400, 120)->far, me_subpel_slot_t::MARGIN);
  // Sideways the area ends at the narrower margin, or nearer for short
  // reaches.
  EXPECT_EQ(me_subpel_cache_slot(c, g2, planes[0], 400, 9)->far_x, 0);
  EXPECT_EQ(me_subpel_cache_slot(c, g2, planes[2], 400, 120)->far_x, me_subpel_slot_t::MARGIN_X);
  const me_subpel_slot_t *wide = me_subpel_cache_slot(c, g2, planes[2], 400, 120);
  const int32_t mx = me_subpel_slot_t::MARGIN_X, my = me_subpel_slot_t::MARGIN;
  EXPECT_TRUE(wide->holds(-mx, -my, 64 + mx, 64 + my));
  EXPECT_FALSE(wide->holds(-mx - 1, 0, 8, 8));
  EXPECT_FALSE(wide->holds(56, 0, 64 + mx + 1, 8));
}

// A block read in a phase with a horizontal fraction leaves the same tiles
// filtered in that fraction's three other vertical phases (they share one
// pass of horizontal sums), with exactly the bytes of the direct filter,
// and no tile of another fraction; a phase without a horizontal fraction
// fills only itself.  In every tier.
TEST(SubpelCache, FillsAHorizontalFractionsFourPhasesTogether) {
  me_subpel_cache_t *c = me_subpel_cache_of_thread();
  ASSERT_NE(c, nullptr);
  constexpr int32_t W = 256, H = 192;
  plane_t ref(W, H);
  const uint32_t seed = 6262;
  std::mt19937 r(seed);
  ref.fill([&](int32_t, int32_t) { return static_cast<int32_t>(r() % 256); });
  using S = me_subpel_slot_t;
  static const uint32_t tiers[3] = {0u, CPU_FLAG_SSSE3, CPU_FLAG_SSSE3 | CPU_FLAG_AVX2};
  for (int32_t round = 0; round < 12; round++) {
    mc_funcs_t mc;
    setup_mc_primitives(tiers[round % 3] & cpu_detect_flags(), &mc);
    const int32_t phase = 1 + round % 15 + (round == 11 ? 3 : 0);  // 1..11, then 15
    const int32_t fx = phase & 3;
    const int32_t w = 8 << (round % 4), h = 64 >> (round % 4);
    const int32_t x = static_cast<int32_t>(r() % (2 * S::MARGIN_X)) - S::MARGIN_X;
    const int32_t y = static_cast<int32_t>(r() % (2 * S::MARGIN)) - S::MARGIN;
    const int32_t cx = 64, cy = 64;
    const uint32_t g = me_subpel_cache_new_ctu(c);
    S *s = me_subpel_cache_slot(c, g, ref.at(cx, cy), ref.stride, 120);
    ASSERT_NE(s, nullptr);
    ASSERT_NE(s->block(&mc, x, y, w, h, phase), nullptr);
    const int32_t tx0 = (x + S::MARGIN_X) / S::TILE, tx1 = (x + w - 1 + S::MARGIN_X) / S::TILE;
    const int32_t ty0 = (y + S::MARGIN) / S::TILE, ty1 = (y + h - 1 + S::MARGIN) / S::TILE;
    for (int32_t p = 1; p < 16; p++) {
      const bool sibling = p == phase || (fx != 0 && (p & 3) == fx);
      for (int32_t ty = ty0; ty <= ty1; ty++)
        for (int32_t tx = tx0; tx <= tx1; tx++)
          EXPECT_EQ((s->valid[p - 1][ty] >> tx) & 1, sibling ? 1u : 0u)
              << "seed " << seed << " round " << round << " phase " << phase << " tile " << tx << "," << ty
              << " of phase " << p;
      if (!sibling) continue;
      alignas(32) uint8_t want[64 * 64];
      mc_luma_c(want, 64, ref.at(cx + x, cy + y), nullptr, ref.stride, p & 3, p >> 2, w, h);
      const uint8_t *got = s->pix[p - 1] + (y + S::MARGIN) * S::SPAN + x + S::MARGIN_X;
      for (int32_t j = 0; j < h; j++)
        ASSERT_EQ(std::memcmp(got + j * S::SPAN, want + j * 64, size_t(w)), 0)
            << "seed " << seed << " round " << round << " phase " << phase << " row " << j << " of phase " << p;
    }
  }
}

// A search that ends on a fractional vector leaves that vector's prediction
// for the rough costs and the prediction after it: exactly the direct
// interpolation, found only for the same plane, block, vector and filter in
// the same CTU.  Both searches (the fast one takes squares only), fast and
// full levels, several sizes and shifts.
TEST_F(MotionSearch, FinalPredictionIsKeptForTheSameBlockAndVectorOnly) {
  open(320, 256);
  plane_t ref(320, 256);
  textured(ref, 7, 1, 16);
  int32_t kept = 0;
  const std::pair<int32_t, int32_t> shapes[] = {{8, 8}, {16, 16}, {32, 32}, {16, 8}, {8, 32}};
  // Without and with the CTU's phase cache (its predictions are copied only
  // when the search ends).
  for (int32_t cached = 0; cached < 2; cached++)
    for (int32_t search = 0; search < 2; search++)
      for (int32_t level : {4, 7})
        for (auto [w, h] : shapes)
          for (int32_t frac : {1, 2, 3}) {
            if (search == 1 && w != h) continue;
            ctx->analysis_level = level;
            me_kept_new_ctu(&ctx->me_kept);
            me.subpel_cache = cached ? me_subpel_cache_of_thread() : nullptr;
            me.subpel_gen = cached ? me_subpel_cache_new_ctu(me.subpel_cache) : 0;
            me.vector_reach = 120;
            place(ref, 128, 128, 4 * 3 + frac, -(4 * 2 + (frac ^ 1)));
            me_request_t rq = request(16, 16, w, h, 0);
            me_result_t r{};
            if (search == 0)
              me_search(ctx, &me, &r, &rq, 12, ME_COST_NONE, 0, 1);
            else
              me_search_fast(ctx, &me, &r, &rq, 12, ME_COST_NONE, 0, 1);
            const std::string what = "search " + std::to_string(search) + " level " + std::to_string(level) + " " +
                                     std::to_string(w) + "x" + std::to_string(h);
            const uint8_t *at = ref.at(128 + 16, 128 + 16);
            if ((r.mv & 0x00030003u) == 0) {
              // Whole-sample vectors are read in place: nothing kept.
              EXPECT_EQ(me_kept_find(&ctx->me_kept, at, w, h, 0, r.mv), nullptr) << what;
              continue;
            }
            const uint8_t *k = me_kept_find(&ctx->me_kept, at, w, h, 0, r.mv);
            ASSERT_NE(k, nullptr) << what;
            alignas(32) uint8_t want[64 * 64];
            mc_luma_c(want, 64, at, nullptr, ref.stride, mv_x(r.mv), mv_y(r.mv), w, h);
            for (int32_t y = 0; y < h; y++)
              ASSERT_EQ(std::memcmp(k + y * me_kept_t::STRIDE, want + y * 64, size_t(w)), 0) << what << " row " << y;
            kept++;
            EXPECT_EQ(me_kept_find(&ctx->me_kept, at, w, h, 0, r.mv + 1), nullptr);
            EXPECT_EQ(me_kept_find(&ctx->me_kept, at + 1, w, h, 0, r.mv), nullptr);
            EXPECT_EQ(me_kept_find(&ctx->me_kept, at, w, h, 1, r.mv), nullptr);
            EXPECT_EQ(me_kept_find(&ctx->me_kept, at, h, w == h ? w / 2 : w, 0, r.mv), nullptr);
            me_kept_new_ctu(&ctx->me_kept);
            EXPECT_EQ(me_kept_find(&ctx->me_kept, at, w, h, 0, r.mv), nullptr);
          }
  EXPECT_GE(kept, 80);  // of 96 searches, most end on fractional vectors
  me.subpel_cache = nullptr;
  me.subpel_gen = 0;
}

// The rectangular partitions take list 1's search of a reference from list
// 0's when list 1 holds the same picture at the same index and the
// predictors and bound are the same (a P picture coded as a B slice): the
// search must not depend on the list it was asked for, nor on what earlier
// searches kept.
TEST_F(MotionSearch, ListOfTheRequestDoesNotChangeTheSearch) {
  open(320, 256);
  plane_t ref(320, 256), other(320, 256);
  textured(ref, 7, 1, 16);
  other.fill(texture_t(9, 48));
  me.list_count = 2;
  me.ref_count[0] = me.ref_count[1] = 2;
  const std::pair<int32_t, int32_t> shapes[] = {{16, 16}, {32, 16}, {16, 32}, {64, 32}, {8, 16}};
  int32_t searched = 0;
  for (int32_t level : {5, 7})
    for (auto [w, h] : shapes)
      for (int32_t r = 0; r < 2; r++)
        for (uint32_t bound : {ME_COST_NONE, 2000u, 300u}) {
          ctx->analysis_level = level;
          place(ref, 128, 96, 4 * 3 + 1, -(4 * 2 + 3));
          for (int32_t l = 0; l < 2; l++) {
            me.ref_planes[l][0] = ref.at(128, 96);
            me.ref_planes[l][1] = other.at(128, 96);
          }
          me_request_t rq[2];
          for (int32_t l = 0; l < 2; l++) {
            rq[l] = request(16, 0, w, h, mv_make(9, -7));
            rq[l].list = static_cast<int8_t>(l);
            rq[l].ref_idx = static_cast<int8_t>(r);
            rq[l].amvp_count = 2;
            rq[l].amvp[1] = mv_make(-4, 2);
          }
          me_result_t got[3]{};
          me_kept_new_ctu(&ctx->me_kept);
          me_search(ctx, &me, &got[0], &rq[0], 27, bound, 0, 1);
          me_search(ctx, &me, &got[1], &rq[1], 27, bound, 0, 1);
          me_kept_new_ctu(&ctx->me_kept);
          me_search(ctx, &me, &got[2], &rq[1], 27, bound, 0, 1);
          const std::string what = "level " + std::to_string(level) + " " + std::to_string(w) + "x" +
                                   std::to_string(h) + " ref " + std::to_string(r) + " bound " + std::to_string(bound);
          for (int32_t k = 1; k < 3; k++) {
            EXPECT_EQ(got[k].cost, got[0].cost) << what;
            EXPECT_EQ(got[k].second_cost, got[0].second_cost) << what;
            EXPECT_EQ(got[k].mv, got[0].mv) << what;
            EXPECT_EQ(got[k].ref_idx, got[0].ref_idx) << what;
          }
          searched += got[0].cost < ME_COST_NONE;
        }
  EXPECT_GE(searched, 30);
}

// Whatever the picture size, the block and the predictors, every vector
// stays in its window and within the vector limits, and no search reads
// outside the reference (the sanitizer build checks the reads: the planes
// are allocated with the margins only).
TEST_F(MotionSearch, VectorsStayInTheWindowOnSmallPictures) {
  const uint64_t seed = 12345;
  std::mt19937 r(seed);
  for (auto [w, h] : {std::pair{8, 8}, {72, 40}, {24, 16}, {136, 8}, {8, 72}}) {
    open(w, h);
    plane_t ref(w, h);
    ref.fill([&](int32_t, int32_t) { return static_cast<int32_t>(r() % 256); });
    for (int32_t t = 0; t < 300; t++) {
      const int32_t log2 = 3 + static_cast<int32_t>(r() % 4), size = 1 << log2;
      const int32_t cols = (w + 63) / 64, rows = (h + 63) / 64;
      const int32_t cx = 64 * static_cast<int32_t>(r() % cols), cy = 64 * static_cast<int32_t>(r() % rows);
      const int32_t bx = size * static_cast<int32_t>(r() % (64 / size)), by = size * static_cast<int32_t>(r() % (64 / size));
      if (cx + bx >= w || cy + by >= h) continue;
      place(ref, cx, cy, 0, 0);
      for (auto &p : src) p = static_cast<uint8_t>(r());
      auto rnd = [&] { return static_cast<int32_t>(r() % 16384) - 8192; };
      me_request_t rq = request(bx, by, size, size, mv_make(rnd(), rnd()));
      rq.amvp_count = 2;
      rq.amvp[1] = mv_make(rnd(), rnd());
      rq.extra_count = 1;
      rq.extra[0] = mv_make(rnd(), rnd());
      ctx->analysis_level = static_cast<int32_t>(r() % 8);
      me.search_mode = static_cast<int32_t>(r() % 2);
      me.search_range = static_cast<int32_t>(r() % 64);
      ctx->param.mv_range_y = 8 + static_cast<int32_t>(r() % 120);
      ctx->param.bilinear_qpel = static_cast<int32_t>(r() % 2);
      const me_window_t win = me_window(cx + bx, cy + by, w, h, ctx->param.mv_range_y);
      me_result_t res{};
      const bool fast = r() % 2;
      const bool inside = cx + bx + size <= w && cy + by + size <= h;
      if (fast)
        me_search_fast(ctx, &me, &res, &rq, 30, ME_COST_NONE, 0, static_cast<int32_t>(r() % 2));
      else
        me_search(ctx, &me, &res, &rq, 30, ME_COST_NONE, 0, static_cast<int32_t>(r() % 2));
      if (!fast && !inside) {
        EXPECT_EQ(res.cost, ME_COST_NONE);
        continue;
      }
      ASSERT_LT(res.cost, ME_COST_NONE) << w << "x" << h << " trial " << t;
      EXPECT_TRUE(win.contains_qpel(mv_x(res.mv), mv_y(res.mv)))
          << w << "x" << h << " block " << cx + bx << "," << cy + by << " mv " << mv_x(res.mv) << "," << mv_y(res.mv);
      EXPECT_GE(mv_y(res.mv), -2000);
      EXPECT_LE(mv_y(res.mv), 4 * ctx->param.mv_range_y + 3);
    }
    encoder_close(enc);
    enc = nullptr;
  }
}

// Kernel calls counted, to see which stages a search runs.
int32_t one_calls, four_calls;
pixel_cost_fn real_one;
sad_x4_fn real_four;
uint32_t counted_one(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) {
  one_calls++;
  return real_one(a, as, b, bs);
}
void counted_four(const uint8_t *s, const uint8_t *a, const uint8_t *b, const uint8_t *c, const uint8_t *d, int32_t st,
                  uint32_t out[4]) {
  four_calls++;
  real_four(s, a, b, c, d, st, out);
}
// The long cross and the rings cost a 16x16 group by its top half (16x8)
// first and the bottom half only where the top leaves a candidate that may
// be kept: a group costed counts once, at its top half, whose source is the
// block's own (top_src).
sad_x4_fn real_half;
const uint8_t *top_src;
void counted_half(const uint8_t *s, const uint8_t *a, const uint8_t *b, const uint8_t *c, const uint8_t *d, int32_t st,
                  uint32_t out[4]) {
  four_calls += s == top_src;
  real_half(s, a, b, c, d, st, out);
}

struct MotionStages : MotionSearch {
  pixel_funcs_t counted{};
  void count_16x16() {
    counted = ctx->pixel;
    real_one = counted.sad_half[2];
    real_four = counted.sad_x4_half[2];
    real_half = counted.sad_x4_half_wide[2];
    counted.sad_half[2] = counted_one;
    counted.sad_x4_half[2] = counted_four;
    counted.sad_x4_half_wide[2] = counted_half;
    me.pixel_funcs = &counted;
    one_calls = four_calls = 0;
  }
};

// A multi-hexagon search whose start is already exact and cheaper than
// 9000 >> 4 stops after the two small groups around it: one start point,
// the zero vector's neighbours, the distance-2 cross and the diagonals.  A
// start costing more than 36000 >> 4 runs the long cross instead.
TEST_F(MotionStages, StopThresholds) {
  open(320, 256);
  plane_t ref(320, 256);
  textured(ref, 7, 1, 32);
  place(ref, 128, 128, 0, 0);
  count_16x16();
  me_request_t rq = request(16, 16, 16, 16, 0);
  top_src = src + 16 * 64 + 16;
  me_result_t r{};
  me_search(ctx, &me, &r, &rq, 12, ME_COST_NONE, 0, 1);
  EXPECT_EQ(r.mv, 0u);
  EXPECT_EQ(one_calls, 1);
  EXPECT_EQ(four_calls, 3);

  // Unrelated content: every cost is far above the threshold.
  for (auto &p : src) p = static_cast<uint8_t>((&p - src) * 37 % 251);
  one_calls = four_calls = 0;
  me_search(ctx, &me, &r, &rq, 12, ME_COST_NONE, 0, 1);
  // The cross from 3 tries 14 points horizontally and 6 vertically, four
  // to a costing (five groups); the multi-hexagon grid and the walks take
  // the other groups, and the single-point kernel is left to the start
  // points and a cross's remainder.
  EXPECT_EQ(one_calls, 3);
  EXPECT_EQ(four_calls, 46);
}

// Every point of every multi-hexagon ring is costed at its own offset, also
// the rings beyond 127 samples of a range above 131 (--merange): flat
// content whose every candidate costs the same keeps the zero vector the
// best, so the rings are centred on it, and the kernel's pointers give the
// offsets tried.  Both searches.
std::vector<intptr_t> four_offsets;
const uint8_t *four_centre;
void recording_four(const uint8_t *s, const uint8_t *a, const uint8_t *b, const uint8_t *c, const uint8_t *d,
                    int32_t st, uint32_t out[4]) {
  for (const uint8_t *p : {a, b, c, d}) four_offsets.push_back(p - four_centre);
  real_four(s, a, b, c, d, st, out);
}
void recording_half(const uint8_t *s, const uint8_t *a, const uint8_t *b, const uint8_t *c, const uint8_t *d,
                    int32_t st, uint32_t out[4]) {
  if (s == top_src)
    for (const uint8_t *p : {a, b, c, d}) four_offsets.push_back(p - four_centre);
  real_half(s, a, b, c, d, st, out);
}
// A level 7 multi-hexagon search of range `range` over flat content, the
// CTU at (x, y), its four-candidate kernels of 16x16 recording the offsets
// from the CTU's origin (the top half's for the groups costed in halves).
void flat_recorded(MotionStages &t, plane_t &ref, int32_t x, int32_t y, int32_t range) {
  ref.fill([](int32_t, int32_t) { return 0; });
  t.ctx->analysis_level = 7;
  t.me.search_mode = 1;
  t.me.search_range = range;
  t.place(ref, x, y, 0, 0);
  std::memset(t.src, 255, sizeof(t.src));
  t.count_16x16();
  t.counted.sad_x4_half[2] = recording_four;
  t.counted.sad_x4_half_wide[2] = recording_half;
  top_src = t.src;
  four_centre = ref.at(x, y);
}
TEST_F(MotionStages, RingsBeyond127SamplesAreCostedWhereTheyLie) {
  open(320, 320);
  plane_t ref(320, 320);
  ctx->param.mv_range_y = 200;
  flat_recorded(*this, ref, 128, 128, 160);
  for (int32_t fast : {0, 1}) {
    four_offsets.clear();
    me_request_t rq = request(0, 0, 16, 16, 0);
    me_result_t r{};
    if (fast)
      me_search_fast(ctx, &me, &r, &rq, 12, ME_COST_NONE, 0, 1);
    else
      me_search(ctx, &me, &r, &rq, 12, ME_COST_NONE, 0, 1);
    // The 16 points of a ring, scaled by its number, in the order costed.
    static constexpr int8_t RING[16][2] = {{0, -4}, {0, 4},  {-2, -3}, {2, -3}, {-4, -2}, {4, -2}, {-4, -1}, {4, -1},
                                           {-4, 0}, {4, 0},  {-4, 1},  {4, 1},  {-4, 2},  {4, 2},  {-2, 3},  {2, 3}};
    auto offset = [&](int32_t ring, int32_t k) {
      return static_cast<intptr_t>(ring * RING[k][1]) * ref.stride + ring * RING[k][0];
    };
    int32_t missing = 0;
    for (int32_t ring = 1; ring < 160 / 4; ring++)
      for (int32_t k = 0; k < 16; k++)
        if (std::find(four_offsets.begin(), four_offsets.end(), offset(ring, k)) == four_offsets.end()) missing++;
    EXPECT_EQ(missing, 0) << fast;
    // Each ring's points are costed in that order, one ring after another.
    for (int32_t ring : {1, 2, 17, 39}) {
      const auto first = std::find(four_offsets.begin(), four_offsets.end(), offset(ring, 0));
      ASSERT_LE(first + 16, four_offsets.end()) << fast << " ring " << ring;
      for (int32_t k = 0; k < 16; k++) EXPECT_EQ(first[k], offset(ring, k)) << fast << " ring " << ring << " point " << k;
    }
  }
}

// The long cross of a block at the picture's top left corner, whose window
// cuts its leftward and upward runs short: every point of all four runs
// that lies in the window is costed, by the four-candidate costing or, for
// a run's last single point, by the one-candidate kernel (their pointers
// give the offsets tried).  Flat content whose every candidate costs the same
// keeps the zero vector the best, so the cross is centred on it.
std::vector<intptr_t> one_offsets;
uint32_t recording_one(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) {
  one_offsets.push_back(b - four_centre);
  return real_one(a, as, b, bs);
}
TEST_F(MotionStages, LongCrossAtTheWindowEdgeCostsEveryPointInside) {
  open(320, 256);
  plane_t ref(320, 256);
  flat_recorded(*this, ref, 0, 0, 128);
  counted.sad_half[2] = recording_one;
  four_offsets.clear();
  one_offsets.clear();
  me_request_t rq = request(0, 0, 16, 16, 0);
  me_result_t r{};
  me_search(ctx, &me, &r, &rq, 12, ME_COST_NONE, 0, 1);
  EXPECT_EQ(r.mv, 0u);
  const me_window_t win = me_window(0, 0, 320, 256, ctx->param.mv_range_y);
  auto tried = [&](int32_t x, int32_t y) {
    const intptr_t o = static_cast<intptr_t>(y) * ref.stride + x;
    return std::find(four_offsets.begin(), four_offsets.end(), o) != four_offsets.end() ||
           std::find(one_offsets.begin(), one_offsets.end(), o) != one_offsets.end();
  };
  // The cross from 3 in steps of 2: below the range horizontally, below
  // half of it vertically, and strictly inside the window.
  int32_t expected = 0, missing = 0;
  for (int32_t i = 3; i < 128; i += 2)
    for (int32_t sign : {-1, 1}) {
      if (win.contains(sign * i, 0) && sign * i != win.min_x && sign * i != win.max_x) {
        expected++;
        missing += !tried(sign * i, 0);
      }
      if (i < 64 && win.contains(0, sign * i) && sign * i != win.min_y && sign * i != win.max_y) {
        expected++;
        missing += !tried(0, sign * i);
      }
    }
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(expected, 30 + 58 + 30 + 31);
}

// likely_ref 0 divides the range by 3 and walks the hexagon: on content
// that falls steadily toward a shift of 24 samples the walk of range 16
// gets further than the one of range 5 (three steps of two samples and a
// final square step).
TEST_F(MotionStages, UnlikelyReferenceSearchesAThirdOfTheRange) {
  open(320, 256);
  plane_t ref(320, 256);
  ref.fill([](int32_t x, int32_t y) { return x + (y & 1); });
  ctx->analysis_level = 7;
  me.search_mode = 0;
  me.search_range = 16;
  place(ref, 64, 64, 4 * 24, 0);
  for (int32_t likely : {1, 0}) {
    me_request_t rq = request(0, 0, 16, 16, 0);
    me_result_t r{};
    me_search(ctx, &me, &r, &rq, 12, ME_COST_NONE, 0, likely);
    if (likely)
      EXPECT_GE(mv_x(r.mv), 4 * 16) << "likely";
    else
      EXPECT_LE(mv_x(r.mv), 4 * 7 + 3) << "unlikely";
  }
  // The multi-hexagon mode is not used for an unlikely reference either:
  // its grid would reach the shift.
  me.search_mode = 1;
  me_request_t rq = request(0, 0, 16, 16, 0);
  me_result_t r{};
  me_search(ctx, &me, &r, &rq, 12, ME_COST_NONE, 0, 0);
  EXPECT_LE(mv_x(r.mv), 4 * 7 + 3);
}

// Every whole-sample point a 16x16 search costs, as (x, y) offsets from the
// block's own position, from the pointers its one-, three- and
// four-candidate kernels (and the top halves of the split costings) get.
std::vector<std::pair<int32_t, int32_t>> costed_points;
const uint8_t *costed_origin;
int32_t costed_stride;
sad_x3_fn real_three;
void note_point(const uint8_t *p) {
  const intptr_t o = p - costed_origin;
  const int32_t y = static_cast<int32_t>((o + (o >= 0 ? costed_stride / 2 : -costed_stride / 2)) / costed_stride);
  costed_points.emplace_back(static_cast<int32_t>(o - static_cast<intptr_t>(y) * costed_stride), y);
}
uint32_t noting_one(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) {
  note_point(b);
  return real_one(a, as, b, bs);
}
void noting_three(const uint8_t *s, const uint8_t *a, const uint8_t *b, const uint8_t *c, int32_t st, uint32_t out[3]) {
  for (const uint8_t *p : {a, b, c}) note_point(p);
  real_three(s, a, b, c, st, out);
}
void noting_four(const uint8_t *s, const uint8_t *a, const uint8_t *b, const uint8_t *c, const uint8_t *d, int32_t st,
                 uint32_t out[4]) {
  for (const uint8_t *p : {a, b, c, d}) note_point(p);
  real_four(s, a, b, c, d, st, out);
}
void noting_half(const uint8_t *s, const uint8_t *a, const uint8_t *b, const uint8_t *c, const uint8_t *d, int32_t st,
                 uint32_t out[4]) {
  if (s == top_src)
    for (const uint8_t *p : {a, b, c, d}) note_point(p);
  real_half(s, a, b, c, d, st, out);
}

// The 16x16 kernels of t note the points they cost, from the CTU at (x, y).
void note_points(MotionStages &t, plane_t &ref, int32_t x, int32_t y) {
  t.count_16x16();
  real_three = t.counted.sad_x3_half[2];
  t.counted.sad_half[2] = noting_one;
  t.counted.sad_x3_half[2] = noting_three;
  t.counted.sad_x4_half[2] = noting_four;
  t.counted.sad_x4_half_wide[2] = noting_half;
  top_src = t.src;
  costed_origin = ref.at(x, y);
  costed_stride = ref.stride;
}

// The fast search of an unlikely reference walks the hexagon over a third
// of the range, in either mode.  The content falls steadily toward a shift
// of 24 samples to the right, so each hexagon step moves the centre 2
// samples right and the walk runs until its counter (0, 2, 4, ...) plus 4
// reaches the range.  Range 16 / 3 = 5: steps at counters 0 and 2 move the
// centre to (4, 0), and the square around it costs (5, 0) last, so no point
// right of x = 5 is costed.  Range 16: steps at counters 0 to 12 move it to
// (14, 0) and the square reaches x = 15.
TEST_F(MotionStages, FastSearchOfAnUnlikelyReferenceCostsPointsWithinAThirdOfTheRange) {
  open(320, 256);
  plane_t ref(320, 256);
  ref.fill([](int32_t x, int32_t y) { return x + (y & 1); });
  ctx->analysis_level = 4;
  me.search_range = 16;
  place(ref, 64, 64, 4 * 24, 0);
  note_points(*this, ref, 64, 64);
  for (int32_t mode : {0, 1})
    for (int32_t likely : {1, 0}) {
      costed_points.clear();
      me.search_mode = mode;
      me_request_t rq = request(0, 0, 16, 16, 0);
      me_result_t r{};
      me_search_fast(ctx, &me, &r, &rq, 12, ME_COST_NONE, 0, likely);
      ASSERT_FALSE(costed_points.empty());
      int32_t right = 0, left = 0, reach_y = 0;
      for (const auto &[x, y] : costed_points) {
        right = std::max(right, x);
        left = std::min(left, x);
        reach_y = std::max(reach_y, std::abs(y));
      }
      if (likely) {
        // The multi-hexagon mode's long cross and grid reach further still.
        EXPECT_GE(right, 15) << "mode " << mode;
        continue;
      }
      EXPECT_EQ(right, 5) << "mode " << mode;
      EXPECT_EQ(left, -2) << "mode " << mode;   // the first hexagon around (0, 0)
      EXPECT_EQ(reach_y, 2) << "mode " << mode;  // the hexagons' top and bottom points
      EXPECT_EQ(r.mv >> 16, 0u);
      EXPECT_LE(std::abs(mv_x(r.mv) - 4 * 5), 3) << "mode " << mode;
    }
}

// A reference other than the first takes the hexagon walk in the
// multi-hexagon mode too: the fast search of reference 1 in mode 1 costs
// exactly the points that reference 0 costs in mode 0 (the long cross and
// the rings of mode 1 cost others).
TEST_F(MotionStages, FastSearchOfALaterReferenceWalksTheHexagon) {
  open(320, 256);
  plane_t ref(320, 256);
  ref.fill([](int32_t x, int32_t y) { return x + (y & 1); });
  ctx->analysis_level = 4;
  me.search_range = 16;
  place(ref, 64, 64, 4 * 24, 0);
  me.ref_planes[0][1] = me.ref_planes[0][0];
  me.ref_count[0] = 2;
  note_points(*this, ref, 64, 64);
  auto points_of = [&](int32_t mode, int32_t ref_idx) {
    costed_points.clear();
    me.search_mode = mode;
    me_request_t rq = request(0, 0, 16, 16, 0);
    rq.ref_idx = static_cast<int8_t>(ref_idx);
    me_result_t r{};
    me_search_fast(ctx, &me, &r, &rq, 12, ME_COST_NONE, 0, 1);
    return costed_points;
  };
  const auto walk = points_of(0, 0);
  EXPECT_EQ(points_of(1, 1), walk);
  EXPECT_NE(points_of(1, 0), walk);
}

// At levels 0 to 2 the fast search keeps the integer vector of an unlikely
// reference, which it refines from level 3 on: on a half-sample shift of
// textured content the likely reference finds the half sample at every
// level, the unlikely one only from level 3.
TEST_F(MotionSearch, FastSearchOfAnUnlikelyReferenceStaysIntegerAtLevels0To2) {
  open(320, 256);
  plane_t ref(320, 256);
  for (int32_t level = 0; level <= 3; level++) {
    textured(ref, level, 0, 16);
    const int32_t mvx = 4 * 3 + 2, mvy = -4 * 2;
    place(ref, 128, 128, mvx, mvy);
    for (int32_t likely : {1, 0}) {
      me_request_t rq = request(16, 16, 16, 16, mv_make(mvx, mvy));
      me_result_t r{};
      me_search_fast(ctx, &me, &r, &rq, 12, ME_COST_NONE, 0, likely);
      if (likely || level == 3)
        EXPECT_EQ(r.mv, mv_make(mvx, mvy)) << "level " << level << " likely " << likely;
      else
        EXPECT_EQ(mv_x(r.mv) & 3, 0) << "level " << level;
      EXPECT_EQ(mv_y(r.mv), mvy) << "level " << level << " likely " << likely;
    }
  }
}

// The cost a search reports for a vector it cannot better, worked out from
// the refinement kernel's distortion and the vector-bit table of the
// picture's level: the source is the reference moved by (mvx, mvy), so the
// true vector predicts it exactly (distortion 0), and the predictor lies
// 3 samples right of and 2 above it.  The fast search counts the integer
// vector's bits twice and a fractional vector's once; the full search
// counts them once for both.
TEST_F(MotionSearch, RefinedCostIsTheDistortionPlusTheVectorBitsCountedAsTheSearchMeans) {
  open(320, 256);
  plane_t ref(320, 256);
  textured(ref, 4, 1, 16);
  const uint16_t *bits = ctx->tables->mvcost_table[12][0];  // QP 12, a P picture (level 0)
  const int32_t d_x = -12, d_y = 8;                          // vector minus predictor, quarter samples
  const uint32_t once = bits[d_x] + bits[d_y];
  ASSERT_GT(once, 0u);
  struct {
    int32_t mvx, mvy;
    int32_t fast;
    uint32_t want;
  } cases[] = {
      {4 * 5, 4 * -3, 1, 2 * once},     // integer, fast: twice
      {4 * 5 + 2, 4 * -3, 1, once},     // half sample, fast: once
      {4 * 5 + 1, 4 * -3 - 3, 1, once}, // quarter samples, fast: once
      {4 * 5, 4 * -3, 0, once},         // integer, full search: once
      {4 * 5 + 1, 4 * -3 - 3, 0, once}, // quarter samples, full search: once
  };
  for (const auto &c : cases) {
    place(ref, 128, 128, c.mvx, c.mvy);
    me_request_t rq = request(16, 16, 16, 16, mv_make(c.mvx - d_x, c.mvy - d_y));
    me_result_t r{};
    if (c.fast)
      me_search_fast(ctx, &me, &r, &rq, 12, ME_COST_NONE, 0, 1);
    else
      me_search(ctx, &me, &r, &rq, 12, ME_COST_NONE, 0, 1);
    EXPECT_EQ(r.mv, mv_make(c.mvx, c.mvy)) << c.fast << " " << c.mvx << "," << c.mvy;
    EXPECT_EQ(r.cost, c.want) << c.fast << " " << c.mvx << "," << c.mvy;
  }
}

// An AMVP entry equal to the first extra vector takes that vector out of
// the request, once per equal entry and never below none.
TEST_F(MotionSearch, FastSearchDropsAnExtraVectorEqualToAPredictor) {
  open(320, 256);
  plane_t ref(320, 256);
  textured(ref, 4, 1, 16);
  place(ref, 128, 128, 8, 4);
  struct {
    mv_t amvp0, amvp1, extra;
    int32_t want;
  } cases[] = {{8, 8, 8, 0}, {8, 20, 20, 0}, {8, 20, 36, 1}, {8, 8, 36, 1}};
  for (const auto &c : cases) {
    me_request_t rq = request(0, 0, 32, 32, c.amvp0);
    rq.amvp_count = 2;
    rq.amvp[1] = c.amvp1;
    rq.extra_count = 1;
    rq.extra[0] = c.extra;
    me_result_t r{};
    me_search_fast(ctx, &me, &r, &rq, 12, ME_COST_NONE, 0, 1);
    EXPECT_EQ(rq.extra_count, c.want) << c.amvp0 << " " << c.amvp1 << " " << c.extra;
    EXPECT_EQ(r.mv, mv_make(8, 4));
  }
}

// The low-resolution search: whole-sample shifts of an 8x8 block found by
// the diamond walk, the blocks it may not search, and search range 0.  The
// block sits in the middle of a bowl, so that its cost falls monotonically
// toward the match along both axes (the walk never turns back).
TEST_F(MotionSearch, LowresFindsWholeSampleShifts) {
  open(320, 256);
  plane_t ref(160, 128);
  ref.fill([](int32_t x, int32_t y) { return ((2 * x - 135) * (2 * x - 135) + (2 * y - 103) * (2 * y - 103)) * 5 / 8; });
  me.luma_stride = ref.stride;
  me.pic_width = 160;
  me.pic_height = 128;
  me.search_mode = 2;
  me.search_range = 16;
  me.ref_planes[0][0] = ref.at(0, 0);
  for (int32_t dy = -3; dy <= 3; dy++)
    for (int32_t dx = -3; dx <= 3; dx++) {
      me.ctu_x = 64;
      me.ctu_y = 48;
      for (int32_t y = 0; y < 8; y++) std::memcpy(src + 64 * y, ref.at(64 + dx, 48 + dy + y), 8);
      me_request_t rq = request(0, 0, 8, 8, 0);
      rq.size_class = 3;
      me_result_t r{};
      me_search_lowres(ctx, &me, &r, &rq, 12);
      EXPECT_EQ(r.mv, mv_make(4 * dx, 4 * dy)) << dx << "," << dy;
      EXPECT_EQ(r.second_cost, ME_COST_NONE);
    }
  // Range 0: the rounded predictor, costed by SATD and twice its vector
  // bits.
  me.search_range = 0;
  for (int32_t y = 0; y < 8; y++) std::memcpy(src + 64 * y, ref.at(64 + 2, 48 - 1 + y), 8);
  me_request_t rq = request(0, 0, 8, 8, mv_make(9, -6));
  rq.size_class = 3;
  me_result_t r{};
  me_search_lowres(ctx, &me, &r, &rq, 12);
  EXPECT_EQ(r.mv, mv_make(8, -4));
  const me_mvcost_t mc = me_mvcost(ctx->tables, 12, 1);
  EXPECT_EQ(r.cost, 2 * mc.of(mv_make(8, -4), mv_make(9, -6)));
  // A block reaching below the picture is not searched.
  me.ctu_y = 124;
  rq.amvp[0] = mv_make(5, 7);
  me_search_lowres(ctx, &me, &r, &rq, 12);
  EXPECT_EQ(r.cost, ME_COST_NONE);
  EXPECT_EQ(r.mv, mv_make(5, 7));
}

}  // namespace
