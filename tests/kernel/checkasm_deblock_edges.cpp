// The deblocking edge slots against the portable filters over the whole
// argument range the driver produces (beta 0..64, every tc pair 0..24), on
// lines built to reach every decision (strong, normal, |delta| at 10 tc, one
// side widened, clipping), both orientations, odd and 4096-byte strides and
// pointers at every offset against guard pages.
#include <algorithm>
#include <array>
#include <memory>

#include "checkasm.h"
#include "common/primitives.h"

using namespace checkasm;

namespace {

// The table has only an AVX2 tier; without it there is nothing to compare.
std::vector<uint32_t> deblock_flag_sets() {
  if (broken_table()) return {FLAG_TEST_TIER};
  return {supported_flags() & (FLAG_SSSE3 | FLAG_AVX2)};
}

using luma_fn = void (*)(uint8_t *, int32_t, int32_t, const int32_t *);
using chroma_fn = void (*)(uint8_t *, uint8_t *, int32_t, const int32_t *);

// One line across the edge: p side `a` and q side `a + step`, each side a
// ramp with its own curvature, so that the activity decisions vary; steps
// near 160 tc / 6 put |delta| at 10 tc.  depth samples on each side.
void fill_line(uint8_t *q0, intptr_t across, int32_t tc, rng_t &r, int32_t depth = 4) {
  const int32_t base = r.range(0, 3) == 0 ? (r.range(0, 1) ? r.range(0, 6) : r.range(249, 255)) : r.range(0, 255);
  int32_t step;
  switch (r.range(0, 4)) {
    case 0: step = r.range(-3, 3); break;
    case 1: step = (r.range(0, 1) ? 1 : -1) * ((160 * std::max(tc, 1) - 8) / 6 + r.range(0, 3)); break;
    case 2: step = r.range(-3 * tc - 3, 3 * tc + 3); break;
    default: step = r.range(-80, 80);
  }
  const int32_t slope_p = r.range(-2, 2), slope_q = r.range(-2, 2);
  const int32_t bend_p = r.range(0, 2) ? 0 : r.range(-6, 6), bend_q = r.range(0, 2) ? 0 : r.range(-6, 6);
  for (int32_t k = 0; k < depth; k++) {
    const int32_t p = base - slope_p * (k + 1) + (k == 1 ? bend_p : 0);
    const int32_t q = base + step + slope_q * k + (k == 1 ? bend_q : 0);
    q0[-(k + 1) * across] = static_cast<uint8_t>(std::clamp(p, 0, 255));
    q0[k * across] = static_cast<uint8_t>(std::clamp(q, 0, 255));
  }
}

// What the portable filter did to the lines, for the branch census.
struct census_t {
  int64_t strong = 0, normal_only = 0, p_side_only = 0, q_side_only = 0, at_limit = 0, clipped = 0;
};

// Sample k of a line: k < 0 is p(-k-1), k >= 0 is q(k).
void count_line(census_t &c, const uint8_t *before, const uint8_t *after, intptr_t across, int32_t tc) {
  auto old_at = [&](int32_t k) { return int32_t{before[k * across]}; };
  auto moved = [&](int32_t k) { return before[k * across] != after[k * across]; };
  const bool p2 = moved(-3), p1 = moved(-2), p0 = moved(-1), q0 = moved(0), q1 = moved(1), q2 = moved(2);
  c.strong += p2 || q2;
  c.normal_only += (p0 || q0) && !(p1 || q1 || p2 || q2);
  c.p_side_only += p1 && !q1 && !p2 && !q2;
  c.q_side_only += q1 && !p1 && !p2 && !q2;
  for (int32_t k = -3; k < 3; k++) c.clipped += moved(k) && (after[k * across] == 0 || after[k * across] == 255);
  const int32_t delta = (9 * (old_at(0) - old_at(-1)) - 3 * (old_at(1) - old_at(-2)) + 8) >> 4;
  c.at_limit += tc > 0 && std::abs(delta) == 10 * tc;
}

class CheckasmDeblockEdges : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override {
    if (!(GetParam() & (FLAG_AVX2 | FLAG_TEST_TIER))) GTEST_SKIP() << "no vector deblocking tier on this processor";
    setup_deblock_primitives(0, &ref_);
    setup_deblock_primitives(GetParam(), &tst_);
  }
  deblock_funcs_t ref_{}, tst_{};
};

// Every beta and tc pair, both luma orientations: the window after the call
// equals the portable one's, and the lines reach every branch.
TEST_P(CheckasmDeblockEdges, LumaSweepMatchesPortable) {
  rng_t r(test_seed());
  constexpr int32_t stride = 24;
  for (int32_t slot = 0; slot < 2; slot++) {
    const bool vertical = slot == 0;
    const intptr_t along = vertical ? stride : 1, across = vertical ? 1 : stride;
    const ptrdiff_t q0_at = vertical ? 2 * stride + 6 : 5 * stride + 3;
    census_t c;
    for (int32_t beta = 0; beta <= 64; beta++)
      for (int32_t tc0 = 0; tc0 <= 24; tc0++)
        for (int32_t tc1 = 0; tc1 <= 24; tc1++) {
          std::array<uint8_t, stride * 14> orig, a, b;
          for (auto &x : orig) x = r.byte();
          const int32_t tc[2] = {tc0, tc1};
          for (int32_t i = 0; i < 8; i++) fill_line(orig.data() + q0_at + i * along, across, tc[i / 4], r);
          a = b = orig;
          slot_as<luma_fn>(ref_, slot)(a.data() + q0_at, stride, beta, tc);
          slot_as<luma_fn>(tst_, slot)(b.data() + q0_at, stride, beta, tc);
          if (a != b) {
            ADD_FAILURE() << slot_label("deblock", slot) << " differs at beta " << beta << ", tc " << tc0 << "/" << tc1;
            return;
          }
          for (int32_t i = 0; i < 8; i++)
            count_line(c, orig.data() + q0_at + i * along, a.data() + q0_at + i * along, across, tc[i / 4]);
        }
    EXPECT_GT(c.strong, 0);
    EXPECT_GT(c.normal_only, 0);
    EXPECT_GT(c.p_side_only, 0);
    EXPECT_GT(c.q_side_only, 0);
    EXPECT_GT(c.at_limit, 0);
    EXPECT_GT(c.clipped, 0);
  }
}

// Every tc pair (and -1, which the portable filters skip) for both chroma
// orientations.
TEST_P(CheckasmDeblockEdges, ChromaSweepMatchesPortable) {
  rng_t r(test_seed());
  constexpr int32_t stride = 11;
  for (int32_t slot = 2; slot < 4; slot++) {
    const bool vertical = slot == 2;
    const intptr_t along = vertical ? stride : 1, across = vertical ? 1 : stride;
    const ptrdiff_t q0_at = vertical ? 2 * stride + 4 : 4 * stride + 2;
    for (int32_t rep = 0; rep < 8; rep++)
      for (int32_t tc0 = -1; tc0 <= 24; tc0++)
        for (int32_t tc1 = -1; tc1 <= 24; tc1++) {
          std::array<uint8_t, stride * 10> cb, cr;
          for (auto *plane : {&cb, &cr}) {
            for (auto &x : *plane) x = r.byte();
            for (int32_t i = 0; i < 4; i++) fill_line(plane->data() + q0_at + i * along, across, std::max(tc0, tc1), r);
          }
          auto cb2 = cb, cr2 = cr;
          const int32_t tc[2] = {tc0, tc1};
          slot_as<chroma_fn>(ref_, slot)(cb.data() + q0_at, cr.data() + q0_at, stride, tc);
          slot_as<chroma_fn>(tst_, slot)(cb2.data() + q0_at, cr2.data() + q0_at, stride, tc);
          if (cb != cb2 || cr != cr2) {
            ADD_FAILURE() << slot_label("deblock", slot) << " differs at tc " << tc0 << "/" << tc1;
            return;
          }
        }
  }
}

// Windows flush against guard pages (reads past p3 / q3, or p1 / q1 for
// chroma, fault), every pointer offset, odd strides and 4096.
TEST_P(CheckasmDeblockEdges, GuardedWindowsAtEveryOffsetAndStride) {
  const uint64_t seed = test_seed();
  for (int32_t slot = 0; slot < 4; slot++)
    for (int32_t t = 0; t < 128; t++) {
      auto body = [&](void *fn, rng_t &r) {
        const bool vertical = (slot & 1) == 0, luma = slot < 2;
        const int32_t lines = luma ? 8 : 4, depth = luma ? 4 : 2;
        const int32_t strides[4] = {lines + depth + 1, 4096, 33 + 2 * r.range(0, 40), 64 + r.range(0, 31)};
        const int32_t stride = strides[t % 4];
        const int32_t offset = t % 32;
        const bool before = (t / 4) & 1;
        const int32_t w = vertical ? depth : lines, h = vertical ? lines : depth;
        const guarded_block::margins_t m = vertical ? guarded_block::margins_t{depth + (before ? offset : 0), 0, 0, 0}
                                                    : guarded_block::margins_t{before ? offset : 0, 0, depth, 0};
        std::unique_ptr<guarded_block> planes[2];
        const int32_t tc[2] = {r.range(0, 24), r.range(0, 24)};
        for (auto &p : planes) {
          p = std::make_unique<guarded_block>(w, h, stride, m, before);
          p->fill(pattern::random, r);
          for (int32_t i = 0; i < lines; i++)
            fill_line(p->origin() + i * (vertical ? stride : 1), vertical ? 1 : stride, std::max(tc[0], tc[1]), r, depth);
        }
        if (luma)
          reinterpret_cast<luma_fn>(fn)(planes[0]->origin(), stride, r.range(0, 64), tc);
        else
          reinterpret_cast<chroma_fn>(fn)(planes[0]->origin(), planes[1]->origin(), stride, tc);
        observation_t o;
        o.add(planes[0]->snapshot());
        o.add(planes[1]->snapshot());
        return o;
      };
      compare_slot(slot_label("deblock", slot), slot_as<void *>(ref_, slot), slot_as<void *>(tst_, slot),
                   seed + 1000 * slot + t, body);
    }
}

// With both tc 0 the vector filters change nothing and so touch nothing:
// the window lies in memory that may be neither read nor written.
TEST_P(CheckasmDeblockEdges, ZeroTcTouchesNothing) {
  if (!(GetParam() & FLAG_AVX2)) GTEST_SKIP() << "the portable filters read the window";
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void *map = mmap(nullptr, 4 * page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  uint8_t *mid = static_cast<uint8_t *>(map) + 2 * page;
  const int32_t tc[2] = {0, 0};
  tst_.deblock_luma_ver_edge(mid, 64, 40, tc);
  tst_.deblock_luma_hor_edge(mid, 64, 40, tc);
  tst_.deblock_chroma_ver_edge(mid, mid + 32, 64, tc);
  tst_.deblock_chroma_hor_edge(mid, mid + 32, 64, tc);
  munmap(map, 4 * page);
}

INSTANTIATE_TEST_SUITE_P(, CheckasmDeblockEdges, ::testing::ValuesIn(deblock_flag_sets()), flags_name);

}  // namespace
