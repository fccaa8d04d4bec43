// Every slot of sao_funcs_t, as installed for a set of CPU flags, against the
// portable table: random and extreme samples, every CTU block and the partial
// blocks at the picture's right and bottom edges, heights that are 0,
// negative or no multiple of 4, odd strides and 4096, every pointer offset
// 0..31, guard pages on both sides and canaries around every output.
#include <algorithm>
#include <memory>

#include "checkasm.h"
#include "common/primitives.h"
#include "sao_picture.h"
#include "simd/x86/sao/sao_avx2.h"

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

// Slots 0 to 12 are filled; 13 to 15 are reserved and stay empty.
TEST_P(CheckasmSao, EverySlotIsFilled) {
  EXPECT_EQ(first_empty_slot(tst_), 13);
  for (int32_t i = 13; i < static_cast<int32_t>(slot_count<sao_funcs_t>()); i++) EXPECT_EQ(slot_as<void *>(tst_, i), nullptr) << i;
}

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

// Slot 0 over whole pictures laid out as the encoder's reconstructions, the
// source overlapping the output 4 rows lower and 32 samples further right:
// sizes with partial CTUs at the right and bottom, single CTU columns and
// rows, every type (also invalid ones), offsets of the decision's range and
// of the whole byte range, shift 0 and 1, whole blocks and parts of them.  The whole allocation is compared,
// so samples written or left alone outside the picture count too.
TEST_P(CheckasmSao, ApplySlotMatchesPortableOverWholePictures) {
  const uint64_t seed = test_seed();
  for (int32_t t = 0; t < 60; t++) {
    auto body = [&](void *fn, rng_t &r) {
      const int32_t w = 8 * r.range(1, t % 3 == 0 ? 8 : 30), h = 8 * r.range(1, t % 4 == 0 ? 8 : 20);
      sao_picture_t pic(w, h);
      const pattern pat = pick_pattern(r);
      for (size_t i = 0; i < pic.bytes; i++)
        pic.mem[i] = pattern_sample(pat, static_cast<int64_t>(i % 97), static_cast<int64_t>(i / 97), r);
      const bool wide = r.range(0, 3) == 0;
      for (int32_t c = 0; c < 3; c++)
        for (sao_param_t &p : pic.params[c]) {
          p.type = r.range(0, 15) ? r.range(0, 5) : r.range(-1, 6);
          p.band_position = r.range(0, 31);
          for (int32_t k = 0; k < 4; k++)
            p.offset[k] = wide ? r.range(-128, 127) : k < 2 ? r.range(0, 7) : r.range(-7, 0);
        }
      // Odd rounds in parts (top rows, later bottom rows), as the encoder
      // applies them.
      const auto slot = reinterpret_cast<decltype(ref_.sao_apply_ctu)>(fn);
      const int32_t shift = r.range(0, 3) == 0 ? 1 : 0;
      if (t % 2)
        pic.apply_in_parts(slot, shift);
      else
        pic.apply_all(slot, shift);
      observation_t o;
      o.add(std::vector<uint8_t>(pic.mem, pic.mem + pic.bytes));
      return o;
    };
    compare_slot(slot_label("sao", 0), slot_as<void *>(ref_, 0), slot_as<void *>(tst_, 0), seed + t, body);
  }
}

// A type above 5 or negative writes nothing.
TEST_P(CheckasmSao, ApplySlotWritesNothingForAnInvalidType) {
  rng_t r(test_seed());
  sao_picture_t pic(136, 72);
  for (size_t i = 0; i < pic.bytes; i++) pic.mem[i] = r.byte();
  for (int32_t c = 0; c < 3; c++)
    for (size_t k = 0; k < pic.params[c].size(); k++) pic.params[c][k] = sao_param_t{k & 1 ? 6 : -1, 3, {1, 2, -3, -4}};
  const std::vector<uint8_t> before(pic.mem, pic.mem + pic.bytes);
  pic.apply_all(tst_.sao_apply_ctu);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), pic.mem));
}

// Every alignment of every pointer: blocks placed at offsets 0..31 from a
// 32-byte boundary in buffers whose bytes around the block are canaries
// (the application's kernels: WholeBlockKernelsAtEveryPointerOffset).
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
      const int32_t luma = off & 1;
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

// The AVX2 whole-block kernels of slot 0 against the standard's formula
// (H.265 8.7.3) at every pointer offset 0..31, in place (output overlapping
// the source 4 rows lower and 32 samples further right, as the encoder calls
// them) and apart, with canaries around the output: offsets of the whole
// byte range, every band position, flat and noisy content.
uint8_t model_sample(const uint8_t *s, intptr_t stride, int32_t kind, const int8_t *t, int32_t band_position) {
  const int32_t v = s[0];
  auto sign = [](int32_t d) { return (d > 0) - (d < 0); };
  auto clip = [](int32_t x) { return static_cast<uint8_t>(std::clamp(x, 0, 255)); };
  if (kind == 5) return s[0];
  if (kind == 4) {
    const int32_t k = ((v >> 3) - band_position) & 31;
    static constexpr int32_t ENTRY[4] = {0, 1, 3, 4};
    return k < 4 ? clip(v + t[ENTRY[k]]) : s[0];
  }
  static constexpr int32_t DX[4][2] = {{-1, 1}, {0, 0}, {-1, 1}, {1, -1}}, DY[4][2] = {{0, 0}, {-1, 1}, {-1, 1}, {-1, 1}};
  const int32_t e = sign(v - s[DY[kind][0] * stride + DX[kind][0]]) + sign(v - s[DY[kind][1] * stride + DX[kind][1]]);
  return e == 0 ? s[0] : clip(v + t[e + 2]);  // entry 2 is never read
}

TEST_P(CheckasmSao, WholeBlockKernelsAtEveryPointerOffset) {
  if (!(GetParam() & FLAG_AVX2)) GTEST_SKIP() << "no AVX2 tier in this flag set";
  rng_t r(test_seed());
  constexpr int32_t STRIDE = 256, ROWS = 150;
  std::vector<uint8_t> buf(STRIDE * ROWS + 64), src_copy(STRIDE * ROWS + 64);
  for (int32_t n : {64, 32})
    for (int32_t kind = 0; kind < 6; kind++)
      for (int32_t off = 0; off < 32; off++)
        for (int32_t overlap = 0; overlap < 2; overlap++) {
          const pattern pat = pick_pattern(r);
          for (size_t i = 0; i < buf.size(); i++) buf[i] = pattern_sample(pat, static_cast<int64_t>(i % STRIDE), static_cast<int64_t>(i / STRIDE), r);
          int8_t t[5];
          for (auto &v : t) v = static_cast<int8_t>(r.range(0, 2) ? r.range(-7, 7) : r.range(-128, 127));
          const int32_t band_position = r.range(0, 31);
          uint8_t *dst = buf.data() + 2 * STRIDE + off;
          const uint8_t *src = overlap ? dst + 4 * STRIDE + 32 : dst + (n + 4) * STRIDE + (off & 1);
          if (!overlap && (src - buf.data()) + (n + 1) * STRIDE + n + 1 > static_cast<intptr_t>(buf.size())) continue;
          src_copy = buf;
          const uint8_t *model_src = src_copy.data() + (src - buf.data());
          const uint32_t s = STRIDE;
          switch (kind) {
            case 4: (n == 64 ? sao_apply_bo_64x64_avx2 : sao_apply_bo_32x32_avx2)(dst, src, t, band_position, s); break;
            case 5: (n == 64 ? sao_copy_64x64_avx2 : sao_copy_32x32_avx2)(dst, src, s); break;
            default: {
              using k_t = void (*)(uint8_t *, const uint8_t *, const int8_t *, uint32_t);
              const k_t k64[4] = {sao_apply_eo0_64x64_avx2, sao_apply_eo1_64x64_avx2, sao_apply_eo2_64x64_avx2,
                                  sao_apply_eo3_64x64_avx2};
              const k_t k32[4] = {sao_apply_eo0_32x32_avx2, sao_apply_eo1_32x32_avx2, sao_apply_eo2_32x32_avx2,
                                  sao_apply_eo3_32x32_avx2};
              (n == 64 ? k64 : k32)[kind](dst, src, t, s);
            }
          }
          const intptr_t d0 = dst - buf.data();
          for (intptr_t i = 0; i < static_cast<intptr_t>(buf.size()); i++) {
            const intptr_t y = (i - d0) / STRIDE, x = (i - d0) - y * STRIDE;
            const bool inside = i >= d0 && y < n && x >= 0 && x < n;
            // Outside the block: untouched (in place, the source below it
            // keeps what the block's own rows left of it; those are compared
            // as output where they fall inside the block).
            const uint8_t want = inside ? model_sample(model_src + y * STRIDE + x, STRIDE, kind, t, band_position)
                                        : src_copy[static_cast<size_t>(i)];
            ASSERT_EQ(buf[static_cast<size_t>(i)], want)
                << "n " << n << " kind " << kind << " offset " << off << (overlap ? " in place" : " apart") << " at ("
                << x << ", " << y << ") seed " << test_seed();
          }
        }
}

INSTANTIATE_TEST_SUITE_P(, CheckasmSao, ::testing::ValuesIn(flag_sets()), flags_name);

}  // namespace
