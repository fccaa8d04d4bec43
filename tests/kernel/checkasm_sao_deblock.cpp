// Every slot of deblock_funcs_t, as installed for a set of CPU flags, against
// the portable table (the SAO table has checkasm_sao.cpp).
#include <algorithm>
#include <memory>

#include "checkasm.h"
#include "common/primitives.h"

using namespace checkasm;

namespace {

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
      compare_slot(slot_label("deblock", slot), slot_as<void *>(ref_, slot), slot_as<void *>(tst_, slot),
                   seed + 10000 * slot + t, body);
    }
}

INSTANTIATE_TEST_SUITE_P(, CheckasmDeblock, ::testing::ValuesIn(flag_sets()), flags_name);

}  // namespace
