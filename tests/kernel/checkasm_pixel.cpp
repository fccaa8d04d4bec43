// Every slot of pixel_funcs_t, as installed for a set of CPU flags, against
// the portable table: same results on random and extreme blocks of every
// size and several strides, nothing read or written outside the blocks.
#include <algorithm>
#include <numeric>

#include "checkasm.h"
#include "checkasm_pixel_slots.h"
#include "common/primitives.h"

using namespace checkasm;

namespace {

struct pattern_pair_t {
  pattern a, b;
};
constexpr pattern_pair_t COST_PAIRS[] = {
    {pattern::random, pattern::random},      {pattern::zero, pattern::max},
    {pattern::max, pattern::zero},           {pattern::checker, pattern::inverse_checker},
    {pattern::columns, pattern::zero},       {pattern::small_noise, pattern::small_noise},
    {pattern::max, pattern::max},            {pattern::checker, pattern::zero},
};

using cost_fn = pixel_cost_fn;

observation_t run_cost(cost_fn f, rng_t &r, slot_shape_t s, pattern_pair_t pp, int32_t sa, int32_t sb, bool before) {
  guarded_block a(s.w, s.h, sa, {}, before), b(s.w, s.h, sb, {}, !before);
  a.fill(pp.a, r);
  b.fill(pp.b, r);
  const auto a0 = a.snapshot(), b0 = b.snapshot();
  observation_t o;
  o.add_value(f(a.origin(), sa, b.origin(), sb));
  EXPECT_TRUE(a.written_only_inside(a0, 0, 0));
  EXPECT_TRUE(b.written_only_inside(b0, 0, 0));
  return o;
}

// A block read from its bottom row upwards when the stride is negative.
struct strided_block {
  guarded_block b;
  int32_t h, stride;
  strided_block(slot_shape_t s, int32_t stride_, bool before, int32_t gap)
      : b(s.w, s.h, std::abs(stride_), {}, before, gap), h(s.h), stride(stride_) {}
  const uint8_t *start() const { return b.origin() + (stride < 0 ? static_cast<intptr_t>(h - 1) * -stride : 0); }
};

// Both blocks at byte offsets gap_a and gap_b from their guard pages.
observation_t run_cost_at(cost_fn f, rng_t &r, slot_shape_t s, int32_t sa, int32_t sb, bool before, int32_t gap_a,
                          int32_t gap_b) {
  strided_block a(s, sa, before, gap_a), b(s, sb, !before, gap_b);
  a.b.fill(pattern::random, r);
  b.b.fill(pattern::random, r);
  observation_t o;
  o.add_value(f(a.start(), sa, b.start(), sb));
  return o;
}

template <int N>
observation_t run_multi(void *fn, rng_t &r, slot_shape_t s, pattern_pair_t pp, int32_t ref_stride, bool before,
                        int32_t gap = 0) {
  guarded_block src(s.w, s.h, SRC_STRIDE, {}, before, gap);
  src.fill(pp.a, r);
  std::vector<std::unique_ptr<guarded_block>> refs;
  for (int32_t k = 0; k < N; k++) {
    refs.push_back(
        std::make_unique<guarded_block>(s.w, s.h, ref_stride, guarded_block::margins_t{}, !before, (gap + 7 * k) & 31));
    refs.back()->fill(k == 0 ? pp.b : pattern::random, r);
  }
  guarded_block out(4 * N, 1, 4 * N, {}, false);
  out.fill(pattern::random, r);
  const auto out0 = out.snapshot();
  uint32_t *o32 = out.as<uint32_t>();
  if constexpr (N == 4)
    reinterpret_cast<sad_x4_fn>(fn)(src.origin(), refs[0]->origin(), refs[1]->origin(), refs[2]->origin(),
                                    refs[3]->origin(), ref_stride, o32);
  else if constexpr (N == 3)
    reinterpret_cast<sad_x3_fn>(fn)(src.origin(), refs[0]->origin(), refs[1]->origin(), refs[2]->origin(), ref_stride,
                                    o32);
  else
    reinterpret_cast<sad_x2_fn>(fn)(src.origin(), refs[0]->origin(), refs[1]->origin(), ref_stride, o32);
  EXPECT_TRUE(out.written_only_inside(out0, 4 * N, 1));
  observation_t o;
  o.add(out.snapshot());
  return o;
}

// A kernel reading blocks a and b and writing up to 16 bytes of results:
// the output starts as noise at a random 4-byte offset against a guard
// page (on the side out_before says), and only its first out_bytes may
// change; a and b stay as they were.
template <typename Call>
observation_t run_into_noise(guarded_block &a, guarded_block &b, bool out_before, int32_t out_bytes, rng_t &r,
                             const std::string &name, Call call) {
  guarded_block out(16, 1, 16, {}, out_before, 4 * r.range(0, 7));
  out.fill(pattern::random, r);
  const auto a0 = a.snapshot(), b0 = b.snapshot(), out0 = out.snapshot();
  call(out.as<uint32_t>());
  EXPECT_TRUE(a.written_only_inside(a0, 0, 0)) << name;
  EXPECT_TRUE(b.written_only_inside(b0, 0, 0)) << name;
  EXPECT_TRUE(out.written_only_inside(out0, out_bytes, 1)) << name;
  observation_t o;
  o.add(out.snapshot());
  return o;
}

class CheckasmPixel : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override {
    setup_pixel_primitives(0, &ref_, 0);
    setup_pixel_primitives(GetParam(), &tst_, 0);
  }
  pixel_funcs_t ref_{}, tst_{};
};

TEST_P(CheckasmPixel, EverySlotIsFilledAtEveryBlockCostLevel) {
  for (int32_t level : {-1, 0, 1, 2}) {
    pixel_funcs_t t{};
    setup_pixel_primitives(GetParam(), &t, level);
    // Slot 24 (four candidates of 4x4) and the flat halves below 16x4 have
    // no caller and stay empty.
    for (size_t i = 0; i < slot_count<pixel_funcs_t>(); i++)
      EXPECT_EQ(slot_as<void *>(t, i) == nullptr, pixel_slot_empty(static_cast<int32_t>(i)))
          << slot_label("pixel", i) << " level " << level;
  }
  EXPECT_EQ(slot_count<pixel_funcs_t>(), 129u);
}

TEST_P(CheckasmPixel, CostSlotsMatchPortableOnEveryPatternAndStride) {
  const uint64_t seed = test_seed();
  for (int32_t level : {0, 1}) {
    pixel_funcs_t ref{}, tst{};
    setup_pixel_primitives(0, &ref, level);
    setup_pixel_primitives(GetParam(), &tst, level);
    for (int32_t i = 0; i < 129; i++) {
      const slot_shape_t s = pixel_slot_shape(i);
      if (s.k != kind::cost || (level == 1 && (i < 95 || i > 99))) continue;
      int32_t variant = 0;
      for (const pattern_pair_t &pp : COST_PAIRS)
        for (int32_t stride : {s.w, s.w + 1, 2 * s.w + 35}) {
            const bool before = variant & 1;
            const std::string name = slot_label("pixel", i) + " level " + std::to_string(level) +
                                     " variant " + std::to_string(variant);
            compare_slot(name, slot_as<cost_fn>(ref, i), slot_as<cost_fn>(tst, i), seed + variant++,
                         [&](cost_fn f, rng_t &r) { return run_cost(f, r, s, pp, stride, stride + 3, before); });
          }
    }
  }
}

// Every address offset 0..31 of both blocks, strides of 4096, negative
// strides (blocks read upwards) and odd ones.
TEST_P(CheckasmPixel, CostSlotsMatchPortableAtEveryOffsetAndStrideSign) {
  const uint64_t seed = test_seed();
  for (int32_t i = 0; i < 100; i++) {
    const slot_shape_t s = pixel_slot_shape(i);
    if (s.k != kind::cost) continue;
    for (int32_t gap = 0; gap < 32; gap++) {
      const int32_t strides[] = {4096, -(s.w + gap), s.w + 2 * gap + 1};
      const int32_t sa = strides[gap % 3], sb = strides[(gap + 1) % 3];
      compare_slot(slot_label("pixel", i) + " offset " + std::to_string(gap) + " strides " +
                       std::to_string(sa) + ", " + std::to_string(sb),
                   slot_as<cost_fn>(ref_, i), slot_as<cost_fn>(tst_, i), seed + gap,
                   [&](cost_fn f, rng_t &r) { return run_cost_at(f, r, s, sa, sb, gap & 1, gap, 31 - gap); });
    }
  }
}

TEST_P(CheckasmPixel, MultiCandidateSlotsMatchPortable) {
  const uint64_t seed = test_seed();
  for (int32_t i = 20; i < 129; i++) {
    if (!pixel_slot_multi(i) || pixel_slot_empty(i)) continue;
    const slot_shape_t s = pixel_slot_shape(i);
    int32_t variant = 0;
    // 32 variants: every source and candidate offset 0..31 (candidate k
    // sits 7k bytes further on), strides below the width, odd and 4096.
    for (const pattern_pair_t &pp : COST_PAIRS)
      for (int32_t stride : {12, 64, 65, 4096}) {
          const bool before = variant & 1;
          const int32_t gap = variant & 31;
          const std::string name = slot_label("pixel", i) + " variant " + std::to_string(variant);
          void *ref = slot_as<void *>(ref_, i), *tst = slot_as<void *>(tst_, i);
          compare_slot(name, ref, tst, seed + variant++, [&](void *f, rng_t &r) {
            if (s.k == kind::x4) return run_multi<4>(f, r, s, pp, stride, before, gap);
            if (s.k == kind::x3) return run_multi<3>(f, r, s, pp, stride, before, gap);
            return run_multi<2>(f, r, s, pp, stride, before, gap);
          });
        }
  }
}

// out[k] belongs to the k-th candidate argument whatever the order: every
// permutation of distinct candidates (one of them 255 against a source of 0,
// beyond any 16-bit lane) gives the portable single-candidate costs in the
// permuted order.
TEST_P(CheckasmPixel, MultiCandidateCostsFollowTheirArguments) {
  const uint64_t seed = test_seed();
  rng_t r(seed);
  for (int32_t i = 20; i < 129; i++) {
    if (!pixel_slot_multi(i) || pixel_slot_empty(i)) continue;
    const slot_shape_t s = pixel_slot_shape(i);
    const int32_t n = s.k == kind::x4 ? 4 : s.k == kind::x3 ? 3 : 2;
    // The single-candidate half-row SAD of the same shape; the flat halves
    // have none, their portable function given the one candidate four times
    // stands in.
    const int32_t single = i < 25 ? i - 20 : i < 30 ? i - 15 : i < 35 ? i - 15 : i < 40 ? i - 35 : i - 40;
    const pixel_cost_fn one = i < 124 ? slot_as<pixel_cost_fn>(ref_, static_cast<size_t>(single)) : nullptr;
    const sad_x4_fn flat = slot_as<sad_x4_fn>(ref_, static_cast<size_t>(i));
    auto cost = [&](const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) {
      if (one) return one(a, as, b, bs);
      uint32_t d[4];
      flat(a, b, b, b, b, bs, d);
      return d[0];
    };
    for (int32_t stride : {65, 4096}) {
      guarded_block src(s.w, s.h, SRC_STRIDE, {}, true);
      src.fill(pattern::zero, r);
      const pattern kinds[4] = {pattern::max, pattern::random, pattern::checker, pattern::small_noise};
      std::vector<block_ptr> cand;
      uint32_t expect[4];
      for (int32_t k = 0; k < n; k++) {
        cand.push_back(std::make_unique<guarded_block>(s.w, s.h, stride, guarded_block::margins_t{}, k & 1, 3 * k + 1));
        cand.back()->fill(kinds[k], r);
        expect[k] = cost(src.origin(), SRC_STRIDE, cand.back()->origin(), stride);
      }
      int32_t perm[4] = {0, 1, 2, 3};
      do {
        uint32_t out[4] = {0, 0, 0, 0};
        const uint8_t *p[4];
        for (int32_t k = 0; k < n; k++) p[k] = cand[static_cast<size_t>(perm[k])]->origin();
        void *f = slot_as<void *>(tst_, static_cast<size_t>(i));
        if (n == 4)
          reinterpret_cast<sad_x4_fn>(f)(src.origin(), p[0], p[1], p[2], p[3], stride, out);
        else if (n == 3)
          reinterpret_cast<sad_x3_fn>(f)(src.origin(), p[0], p[1], p[2], stride, out);
        else
          reinterpret_cast<sad_x2_fn>(f)(src.origin(), p[0], p[1], stride, out);
        for (int32_t k = 0; k < n; k++)
          EXPECT_EQ(out[k], expect[perm[k]]) << slot_label("pixel", i) << " argument " << k << " stride " << stride;
      } while (std::next_permutation(perm, perm + n));
    }
  }
}

TEST_P(CheckasmPixel, VarianceSlotsMatchPortable) {
  const uint64_t seed = test_seed();
  for (int32_t i = 100; i < 105; i++) {
    const slot_shape_t s = pixel_slot_shape(i);
    int32_t variant = 0;
    for (pattern p : ALL_PATTERNS)
      for (int32_t stride : strides_for(s.w))
        for (bool before : {false, true})
          compare_slot(slot_label("pixel", i), slot_as<pixel_var_fn>(ref_, i),
                       slot_as<pixel_var_fn>(tst_, i), seed + variant++, [&](pixel_var_fn f, rng_t &r) {
                         guarded_block b(s.w, s.h, stride, {}, before);
                         b.fill(p, r);
                         observation_t o;
                         o.add_value(f(b.origin(), stride));
                         return o;
                       });
  }
}

TEST_P(CheckasmPixel, AnySizeSlotsMatchPortableIncludingEmptyBlocks) {
  const uint64_t seed = test_seed();
  for (int32_t i : {105, 109}) {
    for (int32_t trial = 0; trial < 300; trial++) {
      compare_slot(slot_label("pixel", i), slot_as<ssd_wxh_fn>(ref_, i), slot_as<ssd_wxh_fn>(tst_, i),
                   seed + trial, [&](ssd_wxh_fn f, rng_t &r) {
                     const int32_t w = r.range(-3, 130), h = r.range(-3, 70);
                     const int32_t bw = std::max(w, 1), bh = std::max(h, 1);
                     const int32_t stride = r.range(0, 7) ? bw + r.range(0, 40) : 4096;
                     const pattern_pair_t pp = COST_PAIRS[r.range(0, 7)];
                     const bool before = r.range(0, 1);
                     guarded_block a(bw, bh, stride, {}, before, r.range(0, 31)),
                         b(bw, bh, stride + 1, {}, !before, r.range(0, 31));
                     a.fill(pp.a, r);
                     b.fill(pp.b, r);
                     observation_t o;
                     o.add_value(f(a.origin(), stride, b.origin(), stride + 1, w, h));
                     return o;
                   });
    }
  }
}

TEST_P(CheckasmPixel, HadamardAcMatchesPortable) {
  const uint64_t seed = test_seed();
  int32_t variant = 0;
  for (pattern p : ALL_PATTERNS)
    for (int32_t stride : strides_for(8))
      for (bool before : {false, true})
        compare_slot("hadamard_ac_8x8", ref_.hadamard_ac_8x8, tst_.hadamard_ac_8x8, seed + variant++,
                     [&](hadamard_ac_fn f, rng_t &r) {
                       guarded_block b(8, 4, stride, {}, before, variant & 31);
                       b.fill(p, r);
                       observation_t o;
                       o.add_value(f(b.origin(), stride));
                       return o;
                     });
}

TEST_P(CheckasmPixel, CountNonzeroMatchesPortableForEveryLog2Size) {
  const uint64_t seed = test_seed();
  for (int32_t log2 = 1; log2 <= 6; log2++)
    for (int32_t density : {0, 1, 8, 64, 100}) {
      compare_slot("count_nonzero log2 " + std::to_string(log2), ref_.count_nonzero, tst_.count_nonzero,
                   seed + 100 * log2 + density, [&](count_nonzero_fn f, rng_t &r) {
                     // Sized for the block the argument names (none beyond 32x32).
                     const int32_t n = (log2 >= 2 && log2 <= 5) ? 1 << (2 * log2) : 1;
                     guarded_block b(2 * n, 1, 2 * n, {}, false);
                     b.fill16([&](int64_t, int64_t) {
                       return r.range(0, 99) < density ? r.range(-32768, 32767) : 0;
                     });
                     observation_t o;
                     o.add_value(f(b.as<int16_t>(), log2));
                     return o;
                   });
    }
}

TEST_P(CheckasmPixel, CoeffScanGroupsMatchesPortableForAnyCount) {
  const uint64_t seed = test_seed();
  for (int32_t trial = 0; trial < 400; trial++) {
    compare_slot("coeff_scan_groups", ref_.coeff_scan_groups, tst_.coeff_scan_groups, seed + trial,
                 [&](coeff_scan_groups_fn f, rng_t &r) {
                   const int32_t width = 4 << r.range(0, 3), n = width * width;
                   std::vector<uint16_t> scan(static_cast<size_t>(n));
                   std::iota(scan.begin(), scan.end(), 0);
                   for (int32_t k = n - 1; k > 0; k--) std::swap(scan[k], scan[r.range(0, k)]);
                   guarded_block scan_buf(2 * n, 1, 2 * n, {}, false), coef(2 * n, 1, 2 * n, {}, true);
                   std::memcpy(scan_buf.origin(), scan.data(), 2 * static_cast<size_t>(n));
                   const int32_t density = r.range(0, 100);
                   int32_t actual = 0;
                   coef.fill16([&](int64_t, int64_t) {
                     const int32_t v = r.range(0, 99) < density ? r.range(-300, 300) : 0;
                     actual += v != 0;
                     return v;
                   });
                   // The count may be exact, short, too large or absurd.
                   const int32_t counts[] = {actual, r.range(0, actual), actual + r.range(1, 50), -1, 1 << 20};
                   const int32_t count = counts[r.range(0, 4)];
                   guarded_block signs(128, 1, 128, {}, false), sigmap(128, 1, 128, {}, true), cnt(64, 1, 64, {}, false);
                   for (guarded_block *g : {&signs, &sigmap, &cnt}) g->fill(pattern::random, r);
                   observation_t o;
                   o.add_value(static_cast<uint32_t>(f(scan_buf.as<uint16_t>(), coef.as<int16_t>(), signs.as<uint16_t>(),
                                                       sigmap.as<uint16_t>(), cnt.origin(), count, nullptr, width)));
                   for (guarded_block *g : {&signs, &sigmap, &cnt}) o.add(g->snapshot());
                   return o;
                 });
  }
}

// The encoder's own scan tables (organised by 4x4 groups) with their 4x4
// order, every type and size, counts exact, short, too large, zero and
// negative, coefficients up to the int16 limits.
TEST_P(CheckasmPixel, CoeffScanGroupsMatchesPortableOnTheScanTables) {
  const uint64_t seed = test_seed();
  static scan_tables_t tables;
  scan_tables_init(&tables);
  int32_t variant = 0;
  for (int32_t type = 0; type < 3; type++)
    for (int32_t log2 = 2; log2 <= 5; log2++)
      for (int32_t trial = 0; trial < 24; trial++) {
        const int32_t width = 1 << log2, n = width * width;
        const std::string name = "coeff_scan_groups type " + std::to_string(type) + " width " + std::to_string(width);
        compare_slot(name, ref_.coeff_scan_groups, tst_.coeff_scan_groups, seed + variant++,
                     [&](coeff_scan_groups_fn f, rng_t &r) {
                       guarded_block coef(2 * n, 1, 2 * n, {}, trial & 1, 2 * r.range(0, 15));
                       const int32_t density = trial < 4 ? 100 : r.range(0, 30);
                       const int16_t extremes[] = {1, -1, 256, -256, -32768, 32767};
                       int32_t actual = 0;
                       coef.fill16([&](int64_t, int64_t) -> int32_t {
                         if (r.range(0, 99) >= density) return 0;
                         actual++;
                         return r.range(0, 3) ? r.range(-300, 300) | 1 : extremes[r.range(0, 5)];
                       });
                       const int32_t counts[] = {actual, actual, r.range(0, actual), actual + r.range(1, 50), 0, -5};
                       const int32_t count = counts[trial % 6];
                       guarded_block signs(128, 1, 128, {}, false), sigmap(128, 1, 128, {}, true),
                           cnt(64, 1, 64, {}, false);
                       for (guarded_block *g : {&signs, &sigmap, &cnt}) g->fill(pattern::random, r);
                       observation_t o;
                       o.add_value(static_cast<uint32_t>(f(tables.scan[type][log2 - 2], coef.as<int16_t>(),
                                                           signs.as<uint16_t>(), sigmap.as<uint16_t>(), cnt.origin(),
                                                           count, tables.scan[type][0], width)));
                       for (guarded_block *g : {&signs, &sigmap, &cnt}) o.add(g->snapshot());
                       return o;
                     });
      }
}

// Every scan type on blocks from empty to full, lone levels at every
// position, the int16 extremes (which a narrowing to bytes would keep
// non-zero but whose value must come through whole), the input and output
// against guard pages on either side at every 2-byte offset, and an output
// first filled with noise that the slot must overwrite with zeros.
TEST_P(CheckasmPixel, CoeffLevels4x4MatchesPortable) {
  const uint64_t seed = test_seed();
  int32_t variant = 0;
  for (int32_t type = 0; type < 3; type++)
    for (int32_t trial = 0; trial < 120; trial++) {
      const std::string name = "coeff_levels_4x4 type " + std::to_string(type) + " trial " + std::to_string(trial);
      compare_slot(name, ref_.coeff_levels_4x4, tst_.coeff_levels_4x4, seed + variant++,
                   [&](coeff_levels_4x4_fn f, rng_t &r) {
                     guarded_block coef(32, 1, 32, {}, trial & 1, 2 * r.range(0, 15));
                     guarded_block out(32, 1, 32, {}, !(trial & 1), 2 * r.range(0, 15));
                     const int16_t extremes[] = {1, -1, 256, -256, -32768, 32767, 0x100, -0x80};
                     const int32_t density = trial < 16 ? 0 : trial < 24 ? 100 : r.range(0, 100);
                     coef.fill16([&](int64_t x, int64_t) -> int32_t {
                       if (trial < 16) return x == trial ? (trial & 2 ? -32768 : 1) : 0;
                       if (r.range(0, 99) >= density) return 0;
                       return r.range(0, 3) ? r.range(-300, 300) : extremes[r.range(0, 7)];
                     });
                     out.fill(pattern::random, r);
                     const auto out0 = out.snapshot();
                     observation_t o;
                     o.add_value(f(coef.as<int16_t>(), type, out.as<int16_t>()));
                     EXPECT_TRUE(out.written_only_inside(out0, 32, 1)) << name;
                     o.add(out.snapshot());
                     return o;
                   });
    }
}

// One block against four candidates side by side: every pattern pair, with
// the candidates apart from the first each of their own pattern (so that a
// kernel mixing up the candidates' columns or their order gives other
// values), the candidates' rows at the narrowest stride (16) and wider odd
// ones, the block at odd strides and the 4096 of a picture, every pointer
// offset against a guard page on either side, and an output first filled
// with noise of which exactly 16 bytes must change.
TEST_P(CheckasmPixel, SatdX4MatchesPortable) {
  const uint64_t seed = test_seed();
  int32_t variant = 0;
  for (const pattern_pair_t pp : COST_PAIRS)
    for (int32_t sa : {4, 5, 67, 4096})
      for (int32_t sb : {16, 17, 51, 4096})
        for (bool before : {false, true}) {
          const std::string name = "satd_x4_4x4 strides " + std::to_string(sa) + "/" + std::to_string(sb);
          compare_slot(name, ref_.satd_x4_4x4, tst_.satd_x4_4x4, seed + variant++, [&](satd_x4_fn f, rng_t &r) {
            guarded_block a(4, 4, sa, {}, before, r.range(0, 31)), b(16, 4, sb, {}, !before, r.range(0, 31));
            a.fill(pp.a, r);
            b.fill(pp.b, r);
            for (int32_t k = 1; k < 4; k++) {
              const pattern p = pick_pattern(r);
              for (int32_t y = 0; y < 4; y++)
                for (int32_t x = 0; x < 4; x++) b.origin()[y * sb + 4 * k + x] = pattern_sample(p, x, y, r);
            }
            return run_into_noise(a, b, !before, 16, r, name,
                                  [&](uint32_t *out) { f(a.origin(), sa, b.origin(), sb, out); });
          });
        }
}

// The unrounded 8x8 sums of each block shape: every pattern pair (the
// extremes give the largest sums a 16-bit lane could carry), odd strides
// and the 4096 of a picture for either block, every pointer offset 0..31
// against a guard page on either side, and an output first filled with
// noise of which exactly the shape's sums must change.  Each sum must also
// be the sum of its own 8x8 block, which catches two blocks' sums swapped.
TEST_P(CheckasmPixel, Sa8dBlocksMatchPortable) {
  const uint64_t seed = test_seed();
  for (int32_t i = 120; i < 124; i++) {
    const slot_shape_t s = pixel_slot_shape(i);
    const int32_t n = (s.w / 8) * (s.h / 8);
    int32_t variant = 0;
    for (const pattern_pair_t pp : COST_PAIRS)
      for (int32_t sa : {s.w, s.w + 3, 4096})
        for (int32_t sb : {s.w + 1, 64, 4096})
          for (bool before : {false, true}) {
            const std::string name = slot_label("pixel", i) + " strides " + std::to_string(sa) + "/" + std::to_string(sb);
            const int32_t gap = variant % 32;
            compare_slot(name, slot_as<sa8d_blocks_fn>(ref_, i), slot_as<sa8d_blocks_fn>(tst_, i), seed + variant++,
                         [&](sa8d_blocks_fn f, rng_t &r) {
                           guarded_block a(s.w, s.h, sa, {}, before, gap), b(s.w, s.h, sb, {}, !before, 31 - gap);
                           a.fill(pp.a, r);
                           b.fill(pp.b, r);
                           return run_into_noise(a, b, !before, 4 * n, r, name, [&](uint32_t *out) {
                             f(a.origin(), sa, b.origin(), sb, out);
                             for (int32_t k = 0; k < n; k++) {
                               const int32_t x = 8 * (k % (s.w / 8)), y = 8 * (k / (s.w / 8));
                               uint32_t own;
                               ref_.sa8d_blocks_8x8(a.origin() + y * sa + x, sa, b.origin() + y * sb + x, sb, &own);
                               EXPECT_EQ(out[k], own) << name << " block " << k;
                             }
                           });
                         });
          }
  }
}

TEST_P(CheckasmPixel, GradientSlotsMatchPortableInEveryRecord) {
  const uint64_t seed = test_seed();
  for (int32_t i = 110; i < 114; i++) {
    int32_t variant = 0;
    for (pattern p : ALL_PATTERNS)
      compare_slot(slot_label("pixel", i), slot_as<gradient_fn>(ref_, i), slot_as<gradient_fn>(tst_, i),
                   seed + variant++, [&](gradient_fn f, rng_t &r) {
                     guarded_block src(64, 64, SRC_STRIDE, {}, variant & 1, 5 * variant & 31);
                     src.fill(p, r);
                     // The slot writes the record in place, as the analysis reads it from the
                     // context: flush against a guard page on either side, at both 16-byte
                     // phases of a 32-byte line (the context only promises 16), with canaries
                     // around it that a write past either end would change.
                     static_assert(sizeof(ctu_gradients_t) % 16 == 0);
                     guarded_block rec(sizeof(ctu_gradients_t), 1, sizeof(ctu_gradients_t), {}, variant & 2,
                                       variant & 4 ? 16 : 0);
                     rec.fill(pattern::random, r);
                     const std::vector<uint8_t> before = rec.snapshot();
                     EXPECT_EQ(reinterpret_cast<uintptr_t>(rec.origin()) % 16, 0u);
                     observation_t o;
                     o.add_value(f(src.origin(), rec.as<ctu_gradients_t>()));
                     EXPECT_TRUE(rec.written_only_inside(before, sizeof(ctu_gradients_t), 1)) << slot_label("pixel", i);
                     o.add(rec.snapshot());
                     return o;
                   });
  }
}

TEST_P(CheckasmPixel, AlignedCopySlotsMatchPortable) {
  const uint64_t seed = test_seed();
  for (int32_t i = 114; i < 118; i++) {
    const slot_shape_t s = pixel_slot_shape(i);
    int32_t variant = 0;
    for (int32_t sstride : {s.w, s.w + 1, 128})
      for (int32_t dstride : {s.w, 64, 131})
        for (bool before : {false, true})
          compare_slot(slot_label("pixel", i), slot_as<copy_aligned_fn>(ref_, i),
                       slot_as<copy_aligned_fn>(tst_, i), seed + variant++, [&](copy_aligned_fn f, rng_t &r) {
                         guarded_block src(s.w, s.h, sstride, {}, before), dst(s.w, s.h, dstride, {}, !before);
                         src.fill(pattern::random, r);
                         dst.fill(pattern::random, r);
                         const auto d0 = dst.snapshot();
                         f(dst.origin(), src.origin(), dstride, sstride);
                         EXPECT_TRUE(dst.written_only_inside(d0, s.w, s.h));
                         observation_t o;
                         o.add(dst.snapshot());
                         return o;
                       });
  }
}

INSTANTIATE_TEST_SUITE_P(, CheckasmPixel, ::testing::ValuesIn(flag_sets({2, 3, 6, 7})), flags_name);

}  // namespace
