// Every slot of sao_funcs_t and deblock_funcs_t, as installed for a set of
// CPU flags, against the portable tables.
#include <algorithm>
#include <memory>

#include "checkasm.h"
#include "common/primitives.h"

using namespace checkasm;

namespace {

using block_ptr = std::unique_ptr<guarded_block>;

block_ptr make_block(int32_t w_bytes, int32_t h, int32_t stride, guarded_block::margins_t m, bool before, pattern p,
                     rng_t &r) {
  auto b = std::make_unique<guarded_block>(std::max(w_bytes, 1), std::max(h, 1), stride, m, before);
  b->fill(p, r);
  return b;
}

pattern pick_pattern(rng_t &r) { return ALL_PATTERNS[r.range(0, 6)]; }

class CheckasmSao : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override {
    setup_sao_primitives(0, &ref_);
    setup_sao_primitives(GetParam(), &tst_);
  }
  sao_funcs_t ref_{}, tst_{};
};

TEST_P(CheckasmSao, EverySlotIsFilled) { EXPECT_EQ(first_empty_slot(tst_), slot_count<sao_funcs_t>()); }

TEST_P(CheckasmSao, DiffSlotsMatchPortable) {
  const uint64_t seed = test_seed();
  for (int32_t t = 0; t < 80; t++) {
    const bool partial = t & 1;
    auto body = [&](auto f, rng_t &r) {
      const int32_t luma = r.range(0, 1), n = luma ? 64 : 32;
      const int32_t w = partial ? r.range(-2, n) : n, h = partial ? r.range(-2, n) : n;
      const int32_t rs = n + r.range(0, 9), ss = n + r.range(0, 9);
      auto rec = make_block(n, n, rs, {}, false, pick_pattern(r), r);
      auto src = make_block(n, n, ss, {}, true, pick_pattern(r), r);
      auto diff = make_block(2 * n, n, 2 * n, {}, r.range(0, 1), pattern::random, r);
      if constexpr (std::is_same_v<decltype(f), decltype(sao_funcs_t::sao_diff)>)
        f(diff->as<int16_t>(), rec->origin(), rs, src->origin(), ss, luma);
      else
        f(diff->as<int16_t>(), rec->origin(), rs, src->origin(), ss, luma, w, h);
      observation_t o;
      o.add(diff->snapshot());
      return o;
    };
    if (partial)
      compare_slot("sao_diff_wxh", ref_.sao_diff_wxh, tst_.sao_diff_wxh, seed + t, body);
    else
      compare_slot("sao_diff", ref_.sao_diff, tst_.sao_diff, seed + t, body);
  }
}

TEST_P(CheckasmSao, StatisticsSlotsMatchPortable) {
  const uint64_t seed = test_seed();
  for (int32_t slot = 3; slot < 13; slot++)
    for (int32_t t = 0; t < 12; t++) {
      const bool partial = slot >= 8;
      auto body = [&](void *fn, rng_t &r) {
        const int32_t luma = r.range(0, 1), n = luma ? 64 : 32;
        const int32_t w = partial ? r.range(0, n) : n, h = partial ? r.range(0, n) : n;
        const int32_t stride = n + 2 + r.range(0, 9);
        auto px = make_block(n, n, stride, {1, 1, 1, 1}, r.range(0, 1), pick_pattern(r), r);
        auto diff = make_block(2 * n, n, 2 * n, {}, r.range(0, 1), pattern::random, r);
        diff->fill16([&](int64_t, int64_t) { return r.range(-255, 255); });
        auto rec = make_block(sizeof(sao_stats_t), 1, sizeof(sao_stats_t), {}, true, pattern::random, r);
        std::vector<uint8_t> scratch(147456);
        sao_stats_t stats;
        std::memcpy(&stats, rec->origin(), sizeof(stats));
        if (partial)
          reinterpret_cast<sao_stats_wxh_fn>(fn)(&stats, px->origin(), stride, luma, diff->as<int16_t>(), w, h,
                                                 scratch.data());
        else
          reinterpret_cast<sao_stats_fn>(fn)(&stats, px->origin(), stride, luma, diff->as<int16_t>(), scratch.data());
        observation_t o;
        o.add(std::vector<uint8_t>(reinterpret_cast<uint8_t *>(&stats), reinterpret_cast<uint8_t *>(&stats + 1)));
        return o;
      };
      compare_slot("sao slot " + std::to_string(slot), slot_as<void *>(ref_, slot), slot_as<void *>(tst_, slot),
                   seed + 100 * slot + t, body);
    }
}

TEST_P(CheckasmSao, ApplySlotsMatchPortable) {
  const uint64_t seed = test_seed();
  for (int32_t slot = 13; slot < 16; slot++)
    for (int32_t t = 0; t < 60; t++) {
      auto body = [&](void *fn, rng_t &r) {
        const int32_t n = r.range(0, 1) ? 64 : 32;
        const int32_t w = r.range(0, 3) ? n : r.range(1, n), h = r.range(0, 3) ? n : r.range(1, n);
        const int32_t ss = w + 2 + r.range(0, 9), ds = w + r.range(0, 9);
        auto src = make_block(w, h, ss, {1, 1, 1, 1}, r.range(0, 1), pick_pattern(r), r);
        auto dst = make_block(w, h, ds, {}, r.range(0, 1), pattern::random, r);
        const int8_t offsets[5] = {static_cast<int8_t>(r.range(0, 7)), static_cast<int8_t>(r.range(0, 7)),
                                   static_cast<int8_t>(r.range(-128, 127)), static_cast<int8_t>(r.range(-7, 0)),
                                   static_cast<int8_t>(r.range(-7, 0))};
        const auto d0 = dst->snapshot();
        if (slot == 13)
          reinterpret_cast<decltype(ref_.sao_apply_eo)>(fn)(dst->origin(), ds, src->origin(), ss, offsets,
                                                            r.range(0, 3), w, h);
        else if (slot == 14)
          reinterpret_cast<decltype(ref_.sao_apply_bo)>(fn)(dst->origin(), ds, src->origin(), ss, offsets,
                                                            r.range(0, 31), w, h);
        else
          reinterpret_cast<decltype(ref_.sao_copy)>(fn)(dst->origin(), ds, src->origin(), ss, w, h);
        EXPECT_TRUE(dst->written_only_inside(d0, w, h));
        observation_t o;
        o.add(dst->snapshot());
        return o;
      };
      compare_slot("sao slot " + std::to_string(slot), slot_as<void *>(ref_, slot), slot_as<void *>(tst_, slot),
                   seed + 100 * slot + t, body);
    }
}

INSTANTIATE_TEST_SUITE_P(, CheckasmSao, ::testing::ValuesIn(flag_sets()), flags_name);

class CheckasmDeblock : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override {
    setup_deblock_primitives(0, &ref_);
    setup_deblock_primitives(GetParam(), &tst_);
  }
  deblock_funcs_t ref_{}, tst_{};
};

TEST_P(CheckasmDeblock, EverySlotIsFilled) { EXPECT_EQ(first_empty_slot(tst_), slot_count<deblock_funcs_t>()); }

// Edges that are smooth on each side with a step across them make every
// decision branch (strong, normal with and without p1/q1, none) reachable.
void fill_edge(guarded_block &b, bool vertical, int32_t lines, int32_t depth, rng_t &r) {
  const int32_t base = r.range(0, 255), step = r.range(-60, 60), noise = r.range(0, 4) == 0 ? 40 : r.range(0, 3);
  const int32_t slope = r.range(-3, 3);
  for (int32_t i = 0; i < lines; i++)
    for (int32_t k = -depth; k < depth; k++) {
      const int32_t v = std::clamp(base + (k >= 0 ? step : 0) + slope * k + r.range(-noise, noise), 0, 255);
      uint8_t *q0 = b.origin() + (vertical ? i * b.stride() : i);
      q0[vertical ? k : k * b.stride()] = static_cast<uint8_t>(v);
    }
}

TEST_P(CheckasmDeblock, EdgeFiltersMatchPortable) {
  const uint64_t seed = test_seed();
  for (int32_t slot = 0; slot < 4; slot++)
    for (int32_t t = 0; t < 500; t++) {
      const bool vertical = (slot & 1) == 0, luma = slot < 2;
      auto body = [&](void *fn, rng_t &r) {
        const int32_t lines = luma ? 8 : 4, depth = luma ? 4 : 2;
        const int32_t stride = (vertical ? 8 : lines) + r.range(0, 9);
        // The block is the q side; the margins hold the p side.
        const guarded_block::margins_t m =
            vertical ? guarded_block::margins_t{depth, 0, 0, 0} : guarded_block::margins_t{0, 0, depth, 0};
        const int32_t w = vertical ? depth : lines, h = vertical ? lines : depth;
        auto a = make_block(w, h, stride, m, r.range(0, 1), pattern::random, r);
        auto b = make_block(w, h, stride, m, r.range(0, 1), pattern::random, r);
        if (r.range(0, 5)) {
          fill_edge(*a, vertical, lines, depth, r);
          fill_edge(*b, vertical, lines, depth, r);
        }
        const int32_t tc[2] = {r.range(-1, 24), r.range(-1, 24)};
        const int32_t beta = r.range(0, 64);
        if (luma)
          reinterpret_cast<void (*)(uint8_t *, int32_t, int32_t, const int32_t *)>(fn)(a->origin(), stride, beta, tc);
        else
          reinterpret_cast<void (*)(uint8_t *, uint8_t *, int32_t, const int32_t *)>(fn)(a->origin(), b->origin(),
                                                                                         stride, tc);
        observation_t o;
        o.add(a->snapshot());
        o.add(b->snapshot());
        return o;
      };
      compare_slot("deblock slot " + std::to_string(slot), slot_as<void *>(ref_, slot), slot_as<void *>(tst_, slot),
                   seed + 10000 * slot + t, body);
    }
}

INSTANTIATE_TEST_SUITE_P(, CheckasmDeblock, ::testing::ValuesIn(flag_sets()), flags_name);

}  // namespace
