// Every cell of intra_funcs_t that a vector tier replaces, against the
// portable table: neighbour arrays of random, extreme and alternating
// samples placed flush against a guard page (after nb[4N] or before nb[0])
// or at any offset 0..31, destinations at odd strides and 4096 and at any
// offset, with canaries around the block and the array checked unchanged.
#include <memory>
#include <string>

#include "checkasm.h"
#include "common/primitives.h"

using namespace checkasm;

namespace {

// Neighbour patterns: those of the harness along the array, and a ramp that
// makes every reference position distinct.
uint8_t neighbour_sample(int32_t pattern_index, int32_t k, rng_t &r) {
  if (pattern_index == 7) return static_cast<uint8_t>(k * 7 + 3);
  return pattern_sample(ALL_PATTERNS[pattern_index], k, 0, r);
}

// The array of `len` bytes: flush against a guard page after it (t % 3 == 0)
// or before it (t % 3 == 1), or t % 32 bytes past a 32-byte boundary.
struct neighbours_t {
  block_ptr guarded;
  std::vector<uint8_t> storage;
  uint8_t *p = nullptr;
  neighbours_t(int32_t len, int32_t t, int32_t pattern_index, rng_t &r) {
    if (t % 3 < 2) {
      guarded = std::make_unique<guarded_block>(len, 1, len, guarded_block::margins_t{}, t % 3 == 1);
      guarded->fill(pattern::random, r);
      p = guarded->origin();
    } else {
      storage.resize(static_cast<size_t>(len) + 96);
      for (uint8_t &b : storage) b = r.byte();
      uint8_t *aligned = storage.data() + (32 - reinterpret_cast<uintptr_t>(storage.data()) % 32) % 32;
      p = aligned + t % 32;
    }
    for (int32_t k = 0; k < len; k++) p[k] = neighbour_sample(pattern_index, k, r);
  }
};

class CheckasmIntra : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override {
    setup_intra_primitives(0, &ref_);
    setup_intra_primitives(GetParam(), &tst_);
  }
  intra_funcs_t ref_{}, tst_{};
};

// Patterns 0..6 of the harness and the ramp, cycled so that every cell sees
// each of them on both guard sides and at several offsets.
constexpr int32_t TRIALS = 48;

TEST_P(CheckasmIntra, PredictorsMatchPortable) {
  const uint64_t seed = test_seed();
  int32_t tested = 0;
  for (int32_t cell = 4; cell < 284; cell++) {
    const intra_pred_fn ref = ref_.pred[cell - 4], tst = tst_.pred[cell - 4];
    if (ref == tst) continue;
    tested++;
    const int32_t mode = (cell - 4) / 8, filt = ((cell - 4) / 4) & 1, n = 4 << ((cell - 4) % 4);
    const std::string name = "mode " + std::to_string(mode) + (filt ? " filt " : " ") + std::to_string(n) + "x" +
                             std::to_string(n);
    for (int32_t t = 0; t < TRIALS; t++) {
      compare_slot(name + " trial " + std::to_string(t), ref, tst, seed + 7919 * t + cell, [&](intra_pred_fn f, rng_t &r) {
        const int32_t pattern_index = t % 8 == 7 ? 7 : static_cast<int32_t>(t % 8);
        neighbours_t nb(4 * n + 1, t, pattern_index, r);
        const std::vector<uint8_t> nb_before(nb.p, nb.p + 4 * n + 1);
        static constexpr int32_t EXTRA[] = {0, 1, 17, 128 - 1, 4096 - 1};
        const int32_t stride = n + EXTRA[t % 5] + (t % 5 == 3 || t % 5 == 4 ? 1 - n : 0);
        // Destination: flush against the guard after its last row, or t % 32
        // bytes into the page after the guard before it.
        guarded_block::margins_t m{};
        const bool before = t & 1;
        if (before) m.left = t % 32;
        guarded_block dst(n, n, stride, m, before);
        dst.fill(pattern::random, r);
        const auto d0 = dst.snapshot();
        f(dst.origin(), stride, nb.p);
        EXPECT_TRUE(dst.written_only_inside(d0, n, n)) << name << " stride " << stride;
        EXPECT_TRUE(std::equal(nb_before.begin(), nb_before.end(), nb.p)) << name << ": neighbours changed";
        observation_t o;
        o.add(dst.snapshot());
        return o;
      });
      if (HasFailure()) return;
    }
  }
  RecordProperty("cells", tested);
}

TEST_P(CheckasmIntra, ReferenceSmoothingMatchesPortable) {
  const uint64_t seed = test_seed();
  for (int32_t c = 0; c < 4; c++) {
    if (ref_.ref_filter[c] == tst_.ref_filter[c]) continue;
    const int32_t n = 4 << c, len = 4 * n + 1;
    for (int32_t t = 0; t < TRIALS; t++) {
      compare_slot("ref_filter " + std::to_string(n) + " trial " + std::to_string(t), ref_.ref_filter[c],
                   tst_.ref_filter[c], seed + 104729 * t + c, [&](intra_ref_filter_fn f, rng_t &r) {
                     const int32_t pattern_index = static_cast<int32_t>(t % 8);
                     neighbours_t src(len, t, pattern_index, r);
                     const std::vector<uint8_t> src_before(src.p, src.p + len);
                     guarded_block dst(len, 1, len, guarded_block::margins_t{}, t & 1);
                     dst.fill(pattern::random, r);
                     const auto d0 = dst.snapshot();
                     f(src.p, dst.origin());
                     EXPECT_TRUE(dst.written_only_inside(d0, len, 1));
                     EXPECT_TRUE(std::equal(src_before.begin(), src_before.end(), src.p));
                     observation_t o;
                     o.add(dst.snapshot());
                     return o;
                   });
      if (HasFailure()) return;
    }
  }
}

// The tiers replace exactly the cells they own: otherwise a missing kernel
// would pass the comparisons above unnoticed.
TEST_P(CheckasmIntra, TiersReplaceTheirCellsOnly) {
  const uint32_t flags = GetParam();
  EXPECT_EQ(ref_.ref_filter[0], tst_.ref_filter[0]);
  for (int32_t c = 1; c < 4; c++) EXPECT_EQ(ref_.ref_filter[c] != tst_.ref_filter[c], (flags & FLAG_SSSE3) != 0) << c;
  for (int32_t mode = 0; mode <= 34; mode++)
    for (int32_t log2 = 2; log2 <= 5; log2++) {
      // Planar and the angular modes; DC stays portable.
      const bool vector = mode != 1 && (flags & (FLAG_SSSE3 | FLAG_AVX2));
      for (int32_t filt = 0; filt < 2; filt++) {
        const int32_t i = intra_cell(mode, filt, log2) - 4;
        EXPECT_EQ(ref_.pred[i] != tst_.pred[i], vector) << "mode " << mode << " log2 " << log2 << " filt " << filt;
      }
      // One kernel serves both cells where the boundary filter does not
      // apply (it does for modes 10 and 26 below 32x32).
      const bool filtered = (mode == 10 || mode == 26) && log2 < 5;
      if (vector) {
        EXPECT_EQ(tst_.pred[intra_cell(mode, 0, log2) - 4] == tst_.pred[intra_cell(mode, 1, log2) - 4], !filtered)
            << "mode " << mode << " log2 " << log2;
      }
    }
}

INSTANTIATE_TEST_SUITE_P(, CheckasmIntra, ::testing::ValuesIn(flag_sets()), flags_name);

}  // namespace
