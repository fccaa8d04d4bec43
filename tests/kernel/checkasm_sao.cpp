// Every slot of sao_funcs_t, as installed for a set of CPU flags, against the
// portable table: random and extreme samples, every CTU block and the partial
// blocks at the picture's right and bottom edges, heights that are 0,
// negative or no multiple of 4, odd strides and 4096, every pointer offset
// 0..31, guard pages on both sides and canaries around every output.
#include <algorithm>
#include <memory>

#include "checkasm.h"
#include "common/primitives.h"

using namespace checkasm;

namespace {

int32_t pick_stride(rng_t &r, int32_t min_bytes) {
  switch (r.range(0, 3)) {
    case 0: return min_bytes;
    case 1: return min_bytes + 2 * r.range(0, 20) + 1;  // odd distances between rows
    case 2: return 4096;
    default: return min_bytes + r.range(0, 40);
  }
}

// A partial block's width or height at the picture edge (a multiple of 8
// luma, 4 chroma), or anything in -2..n + 16 including values a kernel must
// treat as nothing or as the whole block.
int32_t pick_extent(rng_t &r, int32_t n) {
  if (r.range(0, 1)) return r.range(1, n / (n == 64 ? 8 : 4)) * (n == 64 ? 8 : 4);
  return r.range(-2, n + 16);
}

observation_t record_of(const sao_stats_t &s) {
  observation_t o;
  o.add(std::vector<uint8_t>(reinterpret_cast<const uint8_t *>(&s), reinterpret_cast<const uint8_t *>(&s + 1)));
  return o;
}

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
  for (int32_t t = 0; t < 120; t++) {
    const bool partial = t & 1;
    auto body = [&](auto f, rng_t &r) {
      const int32_t luma = r.range(0, 1), n = luma ? 64 : 32;
      const int32_t w = partial ? pick_extent(r, n) : n, h = partial ? pick_extent(r, n) : n;
      const int32_t rows = std::clamp(h, 1, n);
      const int32_t rs = pick_stride(r, n), ss = pick_stride(r, n);
      auto rec = make_block(n, rows, rs, {}, r.range(0, 1), pick_pattern(r), r);
      auto src = make_block(n, rows, ss, {}, r.range(0, 1), pick_pattern(r), r);
      auto diff = make_block(2 * n, n, 2 * n, {}, r.range(0, 1), pattern::random, r);
      const auto before = diff->snapshot();
      if constexpr (std::is_same_v<decltype(f), decltype(sao_funcs_t::sao_diff)>)
        f(diff->as<int16_t>(), rec->origin(), rs, src->origin(), ss, luma);
      else
        f(diff->as<int16_t>(), rec->origin(), rs, src->origin(), ss, luma, w, h);
      EXPECT_TRUE(diff->written_only_inside(before, 2 * n, n));
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

// Statistics read the block's counted columns and rows and the one-sample
// ring around them, nothing more: the guard page touches that ring.
TEST_P(CheckasmSao, StatisticsSlotsMatchPortable) {
  const uint64_t seed = test_seed();
  for (int32_t slot = 3; slot < 13; slot++)
    for (int32_t t = 0; t < 40; t++) {
      const bool partial = slot >= 8;
      auto body = [&](void *fn, rng_t &r) {
        const int32_t luma = r.range(0, 1), n = luma ? 64 : 32;
        const int32_t w = partial ? pick_extent(r, n) : n, h = partial ? pick_extent(r, n) : n;
        const int32_t cols = std::max(std::min(std::max(w, 0), n) & ~15, 1), rows = std::clamp(h, 1, n);
        const int32_t stride = pick_stride(r, cols + 2);
        auto px = make_block(cols, rows, stride, {1, 1, 1, 1}, r.range(0, 1), pick_pattern(r), r);
        auto diff = make_block(2 * n, n, 2 * n, {}, r.range(0, 1), pattern::random, r);
        const int32_t dmax = r.range(0, 3) ? 255 : r.range(0, 3);
        diff->fill16([&](int64_t, int64_t) { return r.range(-dmax, dmax); });
        std::vector<uint8_t> scratch(147456);
        sao_stats_t stats;
        for (size_t i = 0; i < sizeof(stats); i++) reinterpret_cast<uint8_t *>(&stats)[i] = r.byte();
        if (partial)
          reinterpret_cast<sao_stats_wxh_fn>(fn)(&stats, px->origin(), stride, luma, diff->as<int16_t>(), w, h,
                                                 scratch.data());
        else
          reinterpret_cast<sao_stats_fn>(fn)(&stats, px->origin(), stride, luma, diff->as<int16_t>(), scratch.data());
        return record_of(stats);
      };
      compare_slot(slot_label("sao", slot), slot_as<void *>(ref_, slot), slot_as<void *>(tst_, slot),
                   seed + 1000 * slot + t, body);
    }
}

// The largest sums a CTU can reach: alternating columns put every sample of
// a 64x64 block into edge category 0 or 4 (classes 0, 2, 3) with a
// difference of +-255, and one band holds all 4096 samples.  No tier may
// saturate.
TEST_P(CheckasmSao, StatisticsStayExactAtTheLargestSums) {
  rng_t r(1);
  for (const int32_t luma : {1, 0})
    for (const int32_t d : {255, -255}) {
      const int32_t n = luma ? 64 : 32, stride = n + 2;
      auto px = make_block(n, n, stride, {1, 1, 1, 1}, true, pattern::columns, r);
      auto diff = make_block(2 * n, n, 2 * n, {}, false, pattern::zero, r);
      diff->fill16([&](int64_t, int64_t) { return d; });
      const int32_t half = n * n / 2;
      for (int32_t c = 0; c < 4; c++) {
        sao_stats_t a, b;
        ref_.sao_stats_eo[c](&a, px->origin(), stride, luma, diff->as<int16_t>(), nullptr);
        tst_.sao_stats_eo[c](&b, px->origin(), stride, luma, diff->as<int16_t>(), nullptr);
        EXPECT_EQ(0, std::memcmp(&a, &b, sizeof(a))) << "class " << c;
        if (c == 1) continue;  // above and below equal the sample
        EXPECT_EQ(b.count[0], half);
        EXPECT_EQ(b.count[4], half);
        EXPECT_EQ(b.sum[0], half * d);
        EXPECT_EQ(b.sum[4], half * d);
      }
      auto flat = make_block(n, n, stride, {1, 1, 1, 1}, false, pattern::max, r);
      sao_stats_t a, b;
      ref_.sao_stats_bo(&a, flat->origin(), stride, luma, diff->as<int16_t>(), nullptr);
      tst_.sao_stats_bo(&b, flat->origin(), stride, luma, diff->as<int16_t>(), nullptr);
      EXPECT_EQ(0, std::memcmp(&a, &b, sizeof(a)));
      EXPECT_EQ(b.count[31], n * n);
      EXPECT_EQ(b.sum[31], n * n * d);
    }
}

// Application and copy: any width 1..64 (the driver passes the block less
// the columns it copies at the picture edge), any offsets, also invalid
// classes; src is read one sample around the block, dst written only inside.
TEST_P(CheckasmSao, ApplySlotsMatchPortable) {
  const uint64_t seed = test_seed();
  for (int32_t slot = 13; slot < 16; slot++)
    for (int32_t t = 0; t < 150; t++) {
      auto body = [&](void *fn, rng_t &r) {
        const int32_t n = r.range(0, 1) ? 64 : 32;
        const int32_t w = r.range(0, 2) ? r.range(1, n) : n - r.range(0, 2);
        const int32_t h = r.range(0, 5) ? r.range(1, n) : r.range(-2, 0);
        const int32_t ss = pick_stride(r, w + 2), ds = pick_stride(r, w);
        auto src = make_block(w, h, ss, {1, 1, 1, 1}, r.range(0, 1), pick_pattern(r), r);
        auto dst = make_block(w, h, ds, {}, r.range(0, 1), pattern::random, r);
        int8_t offsets[5];
        const bool wide = r.range(0, 3) == 0;
        for (int32_t k = 0; k < 5; k++)
          offsets[k] = static_cast<int8_t>(wide ? r.range(-128, 127) : k < 2 ? r.range(0, 7) : r.range(-7, 0));
        const auto before = dst->snapshot();
        if (slot == 13)
          reinterpret_cast<decltype(ref_.sao_apply_eo)>(fn)(dst->origin(), ds, src->origin(), ss, offsets,
                                                            r.range(0, 9) ? r.range(0, 3) : r.range(-1, 4), w, h);
        else if (slot == 14)
          reinterpret_cast<decltype(ref_.sao_apply_bo)>(fn)(dst->origin(), ds, src->origin(), ss, offsets,
                                                            r.range(0, 31), w, h);
        else
          reinterpret_cast<decltype(ref_.sao_copy)>(fn)(dst->origin(), ds, src->origin(), ss, w, h);
        EXPECT_TRUE(dst->written_only_inside(before, std::max(w, 0), std::max(h, 0)));
        observation_t o;
        o.add(dst->snapshot());
        return o;
      };
      compare_slot(slot_label("sao", slot), slot_as<void *>(ref_, slot), slot_as<void *>(tst_, slot),
                   seed + 1000 * slot + t, body);
    }
}

// Every alignment of every pointer: blocks placed at offsets 0..31 from a
// 32-byte boundary in buffers whose bytes around the block are canaries.
TEST_P(CheckasmSao, EveryPointerOffset) {
  const uint64_t seed = test_seed();
  constexpr int32_t STRIDE = 200, ROWS = 70;
  struct buffers_t {
    alignas(32) uint8_t src[ROWS * STRIDE + 64];
    alignas(32) uint8_t dst[ROWS * STRIDE + 64];
    alignas(32) int16_t diff[64 * 64 + 32];
    sao_stats_t stats;
  };
  auto b = std::make_unique<buffers_t>();
  for (int32_t off = 0; off < 32; off++) {
    auto body = [&](const sao_funcs_t &f, rng_t &r) {
      for (auto &v : b->src) v = r.byte();
      for (auto &v : b->dst) v = r.byte();
      for (auto &v : b->diff) v = static_cast<int16_t>(r.range(-255, 255));
      uint8_t *src = b->src + off + STRIDE + 1, *dst = b->dst + off;
      int16_t *diff = b->diff + (off & 15);
      const int8_t offsets[5] = {5, 2, 0, -3, -6};
      const int32_t luma = off & 1, w = luma ? 64 - (off & 7) : 32 - (off & 3);
      f.sao_apply_eo(dst, STRIDE, src, STRIDE, offsets, off & 3, w, 33 + off);
      f.sao_apply_bo(dst + STRIDE * 40, STRIDE, src, STRIDE, offsets, off, w, 20);
      f.sao_copy(dst + 100, STRIDE, src, STRIDE, w, 16);
      f.sao_diff(diff, src, STRIDE, dst, STRIDE, luma);
      observation_t o;
      for (int32_t c = 0; c < 4; c++) {
        f.sao_stats_eo[c](&b->stats, src, STRIDE, luma, diff, nullptr);
        o.add(record_of(b->stats).bytes);
      }
      f.sao_stats_bo(&b->stats, src, STRIDE, luma, diff, nullptr);
      o.add(record_of(b->stats).bytes);
      o.add(std::vector<uint8_t>(b->dst, b->dst + sizeof(b->dst)));
      o.add(std::vector<uint8_t>(reinterpret_cast<uint8_t *>(b->diff), reinterpret_cast<uint8_t *>(b->diff + 64 * 64 + 32)));
      return o;
    };
    rng_t r1(seed + off), r2(seed + off);
    const observation_t a = body(ref_, r1), c = body(tst_, r2);
    EXPECT_TRUE(a.bytes == c.bytes) << "pointer offset " << off << " (seed " << seed << ")";
  }
}

INSTANTIATE_TEST_SUITE_P(, CheckasmSao, ::testing::ValuesIn(flag_sets()), flags_name);

}  // namespace
