// Every slot of mc_funcs_t, as installed for a set of CPU flags, against the
// portable table: random and extreme pictures, every fraction, prediction
// unit shapes and arbitrary ones, odd strides, guard pages on both sides.
#include <algorithm>
#include <cstring>
#include <memory>

#include "checkasm.h"
#include "common/mc.h"
#include "common/primitives.h"

using namespace checkasm;

namespace {

using margins = guarded_block::margins_t;

// Prediction unit shapes (luma 8..64 with 2NxN and Nx2N, chroma halves) and
// arbitrary ones.
void pick_shape(rng_t &r, int32_t &w, int32_t &h) {
  static constexpr int32_t PU[][2] = {{4, 4},  {8, 8},   {16, 16}, {32, 32}, {64, 64}, {8, 4},  {4, 8},
                                      {16, 8}, {8, 16},  {32, 16}, {16, 32}, {64, 32}, {32, 64}, {2, 4},
                                      {4, 2},  {12, 16}, {24, 32}, {48, 64}, {64, 16}, {16, 64}};
  if (r.range(0, 1)) {
    const auto &s = PU[r.range(0, 19)];
    w = s[0];
    h = s[1];
  } else {
    w = r.range(1, 70);
    h = r.range(1, 70);
  }
}

// Samples that drive the two-dimensional half-sample luma value to its
// extremes: at columns and rows = 3 (mod 8) every positive tap of the (2, 2)
// filter sees the maximum and every negative one the minimum (33150 after
// the first shift), or the reverse on the inverted rows (-16830 reached
// through the other phase).
void fill_half_extreme(guarded_block &b, int32_t w, int32_t h, guarded_block::margins_t m) {
  static constexpr uint8_t POS[8] = {0, 1, 0, 1, 1, 0, 1, 0};  // positive taps of fraction 2
  for (int32_t y = -m.top; y < h + m.bottom; y++)
    for (int32_t x = -m.left; x < w + m.right; x++) {
      const bool hi = POS[(x + 8) & 7] == POS[(y + 8) & 7];
      b.origin()[static_cast<intptr_t>(y) * b.stride() + x] = hi ? 255 : 0;
    }
}

// Reference strides: odd, even, and the 4096 of a wide picture.
int32_t pick_ref_stride(rng_t &r, int32_t w) {
  switch (r.range(0, 3)) {
    case 0: return 4096;
    case 1: return (w + r.range(13, 60)) | 1;
    default: return w + r.range(13, 60);
  }
}

// Random 16-bit horizontal planes over the same window as an 8-bit block.
// With `src`, each plane holds the true raw sums of the luma filter over it
// wherever the 8-tap window lies inside src's margins, as the plane builder
// would give; elsewhere random values of the same range.
struct hplanes_t {
  block_ptr b[3];
  const int16_t *p[3];
  hplanes_t(int32_t w, int32_t h, int32_t stride, margins m, rng_t &r, const guarded_block *src = nullptr) {
    const margins m2{2 * m.left, 2 * m.right, m.top, m.bottom};
    for (int32_t k = 0; k < 3; k++) {
      b[k] = std::make_unique<guarded_block>(2 * w, h, 2 * stride, m2, k & 1);
      b[k]->fill16([&](int64_t x, int64_t y) {
        if (!src || x - 3 < -m.left || x + 4 >= w + m.right) return r.range(-6120, 22440);
        int32_t s = 0;
        for (int32_t t = 0; t < 8; t++) s += luma_filter_taps[k + 1][t] * src->origin()[y * stride + x - 3 + t];
        return s;
      });
      p[k] = b[k]->as<int16_t>();
    }
  }
};

// Observes a 2-D result through a pointer that may be the caller's buffer or
// a position in a reference.
template <typename T>
std::vector<uint8_t> read_block(const T *p, int32_t stride, int32_t w, int32_t h) {
  std::vector<uint8_t> out;
  for (int32_t y = 0; y < h; y++) {
    const uint8_t *row = reinterpret_cast<const uint8_t *>(p + static_cast<intptr_t>(y) * stride);
    out.insert(out.end(), row, row + w * sizeof(T));
  }
  return out;
}

class CheckasmMc : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override {
    setup_mc_primitives(0, &ref_);
    setup_mc_primitives(GetParam(), &tst_);
  }
  template <typename Fn, typename Body>
  void run(const char *name, Fn mc_funcs_t::*slot, int32_t trials, Body body) {
    const uint64_t seed = test_seed();
    for (int32_t t = 0; t < trials; t++)
      compare_slot(std::string(name) + " trial " + std::to_string(t), ref_.*slot, tst_.*slot, seed + 7919 * t, body);
  }
  mc_funcs_t ref_{}, tst_{};
};

TEST_P(CheckasmMc, EverySlotIsFilled) { EXPECT_EQ(first_empty_slot(tst_), slot_count<mc_funcs_t>()); }

// Luma reads 3 samples before and 4 after the block, displaced by up to 3
// whole samples by the vector.
constexpr margins LUMA_MARGINS{6, 7, 6, 7};
constexpr margins CHROMA_MARGINS{4, 6, 4, 6};

TEST_P(CheckasmMc, LumaToPixelsMatchesPortable) {
  run("mc_luma", &mc_funcs_t::mc_luma, 300, [](auto f, rng_t &r) {
    int32_t w, h;
    pick_shape(r, w, h);
    const int32_t rs = pick_ref_stride(r, w), ds = w + r.range(0, 9);
    const int32_t mvx = r.range(-12, 12), mvy = r.range(-12, 12);
    auto ref = make_block(w, h, rs, LUMA_MARGINS, r.range(0, 1), pick_pattern(r), r);
    if (r.range(0, 3) == 0) fill_half_extreme(*ref, w, h, LUMA_MARGINS);
    auto dst = make_block(w, h, ds, {}, r.range(0, 1), pattern::random, r);
    std::unique_ptr<hplanes_t> hp;
    if (r.range(0, 1)) hp = std::make_unique<hplanes_t>(w, h, rs, LUMA_MARGINS, r, r.range(0, 1) ? ref.get() : nullptr);
    const auto d0 = dst->snapshot();
    f(dst->origin(), ds, ref->origin(), hp ? hp->p : nullptr, rs, mvx, mvy, w, h);
    EXPECT_TRUE(dst->written_only_inside(d0, w, h));
    observation_t o;
    o.add(dst->snapshot());
    return o;
  });
}

TEST_P(CheckasmMc, LumaTo16BitMatchesPortable) {
  run("mc_luma_ps", &mc_funcs_t::mc_luma_ps, 300, [](auto f, rng_t &r) {
    int32_t w, h;
    pick_shape(r, w, h);
    const int32_t rs = pick_ref_stride(r, w);
    int32_t ds = std::max(w, 64) + r.range(0, 9);
    const int32_t mvx = r.range(-12, 12), mvy = r.range(-12, 12);
    auto ref = make_block(w, h, rs, LUMA_MARGINS, r.range(0, 1), pick_pattern(r), r);
    if (r.range(0, 3) == 0) fill_half_extreme(*ref, w, h, LUMA_MARGINS);
    auto dst = make_block(2 * w, h, 2 * ds, {}, r.range(0, 1), pattern::random, r);
    std::unique_ptr<hplanes_t> hp;
    if (r.range(0, 1)) hp = std::make_unique<hplanes_t>(w, h, rs, LUMA_MARGINS, r, r.range(0, 1) ? ref.get() : nullptr);
    const auto d0 = dst->snapshot();
    const int16_t *out = f(dst->as<int16_t>(), &ds, ref->origin(), hp ? hp->p : nullptr, rs, mvx, mvy, w, h);
    EXPECT_TRUE(dst->written_only_inside(d0, 2 * w, h)) << w << "x" << h << " mv " << mvx << "," << mvy << " ds " << ds << " planes " << !!hp;
    observation_t o;
    o.add_value(out == dst->as<int16_t>());
    o.add_value(static_cast<uint32_t>(ds));
    o.add(read_block(out, ds, w, h));
    return o;
  });
}

// The half/half position on the extreme pattern, for every prediction unit
// shape, with planes absent and present: the 16-bit predictions keep the
// values beyond int16 in their stored form, and the combine reads them back
// to the standard's samples.
TEST_P(CheckasmMc, HalfHalfExtremesMatchPortableOnEveryShape) {
  static constexpr int32_t SHAPES[][2] = {{4, 8},   {8, 4},   {8, 8},   {16, 8},  {8, 16},  {16, 16}, {32, 16},
                                          {16, 32}, {32, 32}, {64, 32}, {32, 64}, {64, 64}, {24, 32}, {48, 64}};
  rng_t r(test_seed());
  for (const auto &shape : SHAPES)
    for (int32_t with_planes = 0; with_planes < 2; with_planes++) {
      const int32_t w = shape[0], h = shape[1], rs = 4096;
      auto ref = make_block(w, h, rs, LUMA_MARGINS, with_planes, pattern::zero, r);
      fill_half_extreme(*ref, w, h, LUMA_MARGINS);
      hplanes_t hp(w, h, rs, LUMA_MARGINS, r, ref.get());
      const int16_t *const *planes = with_planes ? hp.p : nullptr;
      int16_t pred[2][2][64 * 64] = {};
      uint8_t out[2][64 * 64] = {};
      const mc_funcs_t *tables[2] = {&ref_, &tst_};
      for (int32_t k = 0; k < 2; k++) {
        const int16_t *ps[2];
        int32_t st[2] = {64, 64};
        ps[0] = tables[k]->mc_luma_ps(pred[k][0], &st[0], ref->origin(), planes, rs, 2, 2, w, h);
        ps[1] = tables[k]->mc_luma_ps(pred[k][1], &st[1], ref->origin(), planes, rs, 6, -2, w, h);
        tables[k]->bipred_avg(out[k], 64, ps[0], st[0], ps[1], st[1], w, h);
      }
      EXPECT_EQ(0, std::memcmp(pred[0], pred[1], sizeof(pred[0]))) << w << "x" << h << " planes " << with_planes;
      EXPECT_EQ(0, std::memcmp(out[0], out[1], sizeof(out[0]))) << w << "x" << h << " planes " << with_planes;
      const int16_t *p0 = pred[0][0];
      EXPECT_TRUE(std::any_of(p0, p0 + 64 * h, [](int16_t v) { return ps_value(v) > 32767; }))
          << "the pattern must reach beyond int16 at " << w << "x" << h;
    }
}

TEST_P(CheckasmMc, ChromaToPixelsAnd16BitMatchPortable) {
  run("mc_chroma", &mc_funcs_t::mc_chroma, 250, [](auto f, rng_t &r) {
    int32_t w, h;
    pick_shape(r, w, h);
    const int32_t rs = pick_ref_stride(r, w), ds = w + r.range(0, 9);
    auto ref = make_block(w, h, rs, CHROMA_MARGINS, r.range(0, 1), pick_pattern(r), r);
    auto dst = make_block(w, h, ds, {}, r.range(0, 1), pattern::random, r);
    const auto d0 = dst->snapshot();
    f(dst->origin(), ds, ref->origin(), rs, r.range(-24, 24), r.range(-24, 24), w, h);
    EXPECT_TRUE(dst->written_only_inside(d0, w, h));
    observation_t o;
    o.add(dst->snapshot());
    return o;
  });
  run("mc_chroma_ps", &mc_funcs_t::mc_chroma_ps, 250, [](auto f, rng_t &r) {
    int32_t w, h;
    pick_shape(r, w, h);
    const int32_t rs = pick_ref_stride(r, w), ds = std::max(w, 64) + r.range(0, 9);
    auto ref = make_block(w, h, rs, CHROMA_MARGINS, r.range(0, 1), pick_pattern(r), r);
    auto dst = make_block(2 * w, h, 2 * ds, {}, r.range(0, 1), pattern::random, r);
    const auto d0 = dst->snapshot();
    f(dst->as<int16_t>(), ds, ref->origin(), rs, r.range(-24, 24), r.range(-24, 24), w, h);
    EXPECT_TRUE(dst->written_only_inside(d0, 2 * w, h));
    observation_t o;
    o.add(dst->snapshot());
    return o;
  });
}

TEST_P(CheckasmMc, AveragingSlotsMatchPortableOnAnyShape) {
  run("bipred_avg", &mc_funcs_t::bipred_avg, 200, [](auto f, rng_t &r) {
    int32_t w, h;
    pick_shape(r, w, h);
    if (r.range(0, 9) == 0) w = r.range(-2, 0);
    const int32_t as = std::max(w, 64) + r.range(0, 5), bs = std::max(w, 64) + r.range(0, 5), ds = 128 + r.range(0, 3);
    auto a = make_block(2 * w, h, 2 * as, {}, false, pattern::random, r);
    auto b = make_block(2 * w, h, 2 * bs, {}, true, pattern::random, r);
    // Extremes of the 16-bit values and realistic ones.
    const int32_t lo = r.range(0, 1) ? -32768 : -16830, hi = r.range(0, 1) ? 32767 : 22440;
    a->fill16([&](int64_t, int64_t) { return r.range(lo, hi); });
    b->fill16([&](int64_t, int64_t) { return r.range(lo, hi); });
    auto dst = make_block(w, h, ds, {}, r.range(0, 1), pattern::random, r);
    const auto d0 = dst->snapshot();
    f(dst->origin(), ds, a->as<int16_t>(), as, b->as<int16_t>(), bs, w, h);
    EXPECT_TRUE(dst->written_only_inside(d0, std::max(w, 0), h));
    observation_t o;
    o.add(dst->snapshot());
    return o;
  });
  run("pixel_avg", &mc_funcs_t::pixel_avg, 200, [](auto f, rng_t &r) {
    int32_t w, h;
    pick_shape(r, w, h);
    if (r.range(0, 9) == 0) h = r.range(-2, 0);
    const int32_t as = w + r.range(0, 7), bs = w + r.range(0, 7), ds = w + r.range(0, 7);
    auto a = make_block(w, h, as, {}, false, pick_pattern(r), r);
    auto b = make_block(w, h, bs, {}, true, pick_pattern(r), r);
    auto dst = make_block(w, h, ds, {}, r.range(0, 1), pattern::random, r);
    const auto d0 = dst->snapshot();
    f(dst->origin(), ds, a->origin(), as, b->origin(), bs, w, h);
    EXPECT_TRUE(dst->written_only_inside(d0, w, std::max(h, 0)));
    observation_t o;
    o.add(dst->snapshot());
    return o;
  });
}

TEST_P(CheckasmMc, SubpelPlaneSlotsMatchPortable) {
  run("luma_hfilter_planes", &mc_funcs_t::luma_hfilter_planes, 60, [](auto f, rng_t &r) {
    const int32_t w = r.range(1, 80), h = r.range(1, 40), stride = w + r.range(8, 40);
    const int32_t half_only = r.range(0, 1);
    auto src = make_block(w, h, stride, {3, 4, 3, 4}, r.range(0, 1), pick_pattern(r), r);
    block_ptr out[3];
    std::vector<uint8_t> before[3];
    for (int32_t k = 0; k < 3; k++) {
      out[k] = make_block(2 * w, h + 7, 2 * stride, {}, k & 1, pattern::random, r);
      before[k] = out[k]->snapshot();
    }
    auto row3 = [&](int32_t k) { return out[k]->as<int16_t>() + 3 * stride; };
    f(row3(0), row3(1), row3(2), src->origin(), stride, w, h, half_only);
    observation_t o;
    for (int32_t k = 0; k < 3; k++) {
      EXPECT_TRUE(out[k]->written_only_inside(before[k], 2 * w, h + 7));
      o.add(out[k]->snapshot());
    }
    return o;
  });
  run("subpel_planes_build", &mc_funcs_t::subpel_planes_build, 40, [](auto f, rng_t &r) {
    const int32_t w = r.range(1, 72), h = r.range(1, 40), stride = w + r.range(8, 40);
    auto src = make_block(w, h, stride, {3, 4, 3, 4}, r.range(0, 1), pick_pattern(r), r);
    hplanes_t hp(w, h, stride, {0, 0, 3, 4}, r);
    block_ptr planes[16];
    uint8_t *table[16];
    std::vector<uint8_t> before[16];
    table[0] = src->origin();
    for (int32_t k = 1; k < 16; k++) {
      planes[k] = make_block(w, h, stride, {}, k & 1, pattern::random, r);
      table[k] = planes[k]->origin();
      before[k] = planes[k]->snapshot();
    }
    f(table, src->origin(), hp.p, stride, w, h, r.range(0, 1));
    observation_t o;
    for (int32_t k = 1; k < 16; k++) {
      EXPECT_TRUE(planes[k]->written_only_inside(before[k], w, h));
      o.add(planes[k]->snapshot());
    }
    return o;
  });
  run("subpel_plane_copy", &mc_funcs_t::subpel_plane_copy, 200, [](auto f, rng_t &r) {
    int32_t w, h;
    pick_shape(r, w, h);
    const int32_t stride = w + r.range(8, 30), ds = w + r.range(0, 5);
    block_ptr planes[16];
    const uint8_t *table[16];
    for (int32_t k = 0; k < 16; k++) {
      planes[k] = make_block(w, h, stride, {3, 3, 3, 3}, k & 1, pattern::random, r);
      table[k] = planes[k]->origin();
    }
    auto dst = make_block(w, h, ds, {}, r.range(0, 1), pattern::random, r);
    const auto d0 = dst->snapshot();
    f(dst->origin(), ds, table, stride, r.range(-12, 12), r.range(-12, 12), w, h);
    EXPECT_TRUE(dst->written_only_inside(d0, w, h));
    observation_t o;
    o.add(dst->snapshot());
    return o;
  });
}

TEST_P(CheckasmMc, PointerSlotsMatchPortable) {
  // The pointer slots only do arithmetic: compare the returned offsets into
  // one shared set of planes.
  std::vector<uint8_t> storage(16 * 4096);
  const uint8_t *table[16];
  for (int32_t k = 0; k < 16; k++) table[k] = storage.data() + 4096 * k + 2048;
  run("subpel_plane_ptr", &mc_funcs_t::subpel_plane_ptr, 300, [&](auto f, rng_t &r) {
    observation_t o;
    o.add_value(static_cast<uint64_t>(f(table, r.range(1, 40), r.range(-40, 40), r.range(-40, 40)) - storage.data()));
    return o;
  });
  run("chroma_fullpel_ptr", &mc_funcs_t::chroma_fullpel_ptr, 300, [&](auto f, rng_t &r) {
    observation_t o;
    o.add_value(static_cast<uint64_t>(f(table[8], r.range(1, 40), r.range(-80, 80), r.range(-80, 80)) - storage.data()));
    return o;
  });
}

TEST_P(CheckasmMc, GetRefSlotsMatchPortable) {
  run("get_ref", &mc_funcs_t::get_ref, 200, [](auto f, rng_t &r) {
    int32_t w, h;
    pick_shape(r, w, h);
    const int32_t rs = pick_ref_stride(r, w);
    int32_t cell = std::max(w, 64);
    auto ref = make_block(w, h, rs, LUMA_MARGINS, r.range(0, 1), pick_pattern(r), r);
    auto buf = make_block(w, h, cell, {}, r.range(0, 1), pattern::random, r);
    const auto b0 = buf->snapshot(), r0 = ref->snapshot();
    const uint8_t *out = f(buf->origin(), &cell, ref->origin(), nullptr, rs, r.range(-12, 12), r.range(-12, 12), w, h);
    // The block lands in the caller's buffer or is read in place; nothing
    // else changes, in the buffer or the reference.
    EXPECT_TRUE(buf->written_only_inside(b0, w, h));
    EXPECT_TRUE(ref->snapshot() == r0) << "reference written";
    observation_t o;
    o.add_value(out == buf->origin());
    o.add(read_block(out, cell, w, h));
    return o;
  });
  run("get_ref_bilinear", &mc_funcs_t::get_ref_bilinear, 200, [](auto f, rng_t &r) {
    int32_t w, h;
    pick_shape(r, w, h);
    const int32_t rs = pick_ref_stride(r, w);
    int32_t cell = std::max(w, 64);
    auto ref = make_block(w, h, rs, {3, 4, 3, 4}, r.range(0, 1), pick_pattern(r), r);
    auto buf = make_block(w, h, cell, {}, r.range(0, 1), pattern::random, r);
    const auto b0 = buf->snapshot(), r0 = ref->snapshot();
    const uint8_t *out = f(buf->origin(), &cell, ref->origin(), rs, r.range(-12, 12), r.range(-12, 12), w, h);
    // The block lands in the caller's buffer or is read in place; nothing
    // else changes, in the buffer or the reference.
    EXPECT_TRUE(buf->written_only_inside(b0, w, h));
    EXPECT_TRUE(ref->snapshot() == r0) << "reference written";
    observation_t o;
    o.add_value(out == buf->origin());
    o.add(read_block(out, cell, w, h));
    return o;
  });
}

TEST_P(CheckasmMc, BlockCopyMatchesPortableOnAnyShape) {
  run("block_copy", &mc_funcs_t::block_copy, 200, [](auto f, rng_t &r) {
    const int32_t w = r.range(-2, 130), h = r.range(-2, 70);
    const int32_t ss = std::max(w, 1) + r.range(0, 9), ds = std::max(w, 1) + r.range(0, 9);
    auto src = make_block(w, h, ss, {}, r.range(0, 1), pattern::random, r);
    auto dst = make_block(w, h, ds, {}, r.range(0, 1), pattern::random, r);
    const auto d0 = dst->snapshot();
    f(dst->origin(), ds, src->origin(), ss, w, h);
    EXPECT_TRUE(dst->written_only_inside(d0, std::max(w, 0), std::max(h, 0)));
    observation_t o;
    o.add(dst->snapshot());
    return o;
  });
}

// The prediction widths take their own routes, rows four at a time: every
// such width with every height up to 17 (each remainder of four), the
// largest, and the empty and negative ones.
TEST_P(CheckasmMc, BlockCopyMatchesPortableAtThePredictionWidths) {
  for (int32_t w : {4, 8, 16, 32, 64})
    for (int32_t h = -1; h <= 18; h++) {
      const int32_t rows = h == 18 ? 64 : h;
      const std::string name = "block_copy " + std::to_string(w) + "x" + std::to_string(rows);
      run(name.c_str(), &mc_funcs_t::block_copy, 2,
          [&](auto f, rng_t &r) {
            const int32_t ss = w + r.range(0, 40), ds = w + r.range(0, 40);
            auto src = make_block(w, rows, ss, {}, r.range(0, 1), pattern::random, r);
            auto dst = make_block(w, rows, ds, {}, r.range(0, 1), pattern::random, r);
            const auto d0 = dst->snapshot();
            f(dst->origin(), ds, src->origin(), ss, w, rows);
            EXPECT_TRUE(dst->written_only_inside(d0, w, std::max(rows, 0)));
            observation_t o;
            o.add(dst->snapshot());
            return o;
          });
    }
}

TEST_P(CheckasmMc, LowResolutionSlotsMatchPortable) {
  for (auto slot : {&mc_funcs_t::lowres_init, &mc_funcs_t::downscale_2x, &mc_funcs_t::lowres_plane0})
    run(slot == &mc_funcs_t::lowres_init    ? "lowres_init"
        : slot == &mc_funcs_t::downscale_2x ? "downscale_2x"
                                            : "lowres_plane0",
        slot, 60, [&](auto f, rng_t &r) {
      const int32_t w = r.range(1, 72), h = r.range(0, 24), ss = 2 * w + r.range(3, 40), ds = w + r.range(1, 20);
      auto src = make_block(2 * w + 3, 2 * h + 3, ss, {}, r.range(0, 1), pick_pattern(r), r);
      block_ptr planes[16];
      uint8_t *table[16];
      std::vector<uint8_t> before[16];
      for (int32_t k = 0; k < 16; k++) {
        planes[k] = make_block(w + 1, h + 1, ds, {}, k & 1, pattern::random, r);
        table[k] = planes[k]->origin();
        before[k] = planes[k]->snapshot();
      }
      f(table, ds, src->origin(), ss, w, h);
      observation_t o;
      for (int32_t k = 0; k < 16; k++) {
        EXPECT_TRUE(planes[k]->written_only_inside(before[k], w + 1, h + 1));
        o.add(planes[k]->snapshot());
      }
      return o;
    });
}

TEST_P(CheckasmMc, CtuDownscaleSlotsMatchPortable) {
  for (auto slot : {&mc_funcs_t::ctu_downscale_64x64, &mc_funcs_t::ctu_downscale_32x32})
    run("ctu_downscale", slot, 20, [&](auto f, rng_t &r) {
      const int32_t n = slot == &mc_funcs_t::ctu_downscale_64x64 ? 64 : 32;
      auto b = make_block(n, n, 64, {}, r.range(0, 1), pick_pattern(r), r);
      const auto b0 = b->snapshot();
      f(b->origin());
      EXPECT_TRUE(b->written_only_inside(b0, n / 2, n / 2));
      observation_t o;
      o.add(b->snapshot());
      return o;
    });
  for (auto slot : {&mc_funcs_t::ctu_border_downscale_64x64, &mc_funcs_t::ctu_border_downscale_32x32})
    run("ctu_border_downscale", slot, 20, [&](auto f, rng_t &r) {
      const int32_t n = slot == &mc_funcs_t::ctu_border_downscale_64x64 ? 64 : 32;
      auto b = make_block(3 * n / 2, n, 128, {1, 0, 1, 0}, r.range(0, 1), pick_pattern(r), r);
      f(b->origin());
      observation_t o;
      o.add(b->snapshot());
      return o;
    });
}

TEST_P(CheckasmMc, LookaheadCostSlotsMatchPortableOnExtremeCosts) {
  run("mbtree_propagate_cost", &mc_funcs_t::mbtree_propagate_cost, 300, [](auto f, rng_t &r) {
    const int32_t n = r.range(0, 100);
    const bool extreme = r.range(0, 1);
    std::vector<uint32_t> inc(n), intra(n), cost(n);
    std::vector<uint16_t> w(n);
    for (int32_t i = 0; i < n; i++) {
      inc[i] = extreme ? static_cast<uint32_t>(r.next()) : r.range(0, 100000);
      intra[i] = extreme ? static_cast<uint32_t>(r.next()) >> r.range(0, 32) % 32 : r.range(0, 50000);
      cost[i] = extreme ? static_cast<uint32_t>(r.next()) : r.range(0, 60000);
      w[i] = extreme ? static_cast<uint16_t>(r.next()) : static_cast<uint16_t>(r.range(64, 1024));
    }
    auto out = make_block(4 * n, 1, 4 * n, {}, true, pattern::random, r);
    const auto o0 = out->snapshot();
    f(out->as<int32_t>(), inc.data(), intra.data(), cost.data(), w.data(), n);
    EXPECT_TRUE(out->written_only_inside(o0, 4 * n, 1));
    observation_t o;
    o.add(out->snapshot());
    return o;
  });
  run("lowres_cost_energy", &mc_funcs_t::lowres_cost_energy, 100, [](auto f, rng_t &r) {
    const int32_t bx = r.range(1, 40), by = r.range(1, 30), stride = bx + r.range(0, 5);
    const int32_t ctus = ((bx + 3) / 4) * ((by + 3) / 4);
    auto costs = make_block(4 * bx, by, 4 * stride, {}, false, pattern::random, r);
    auto out = make_block(4 * ctus, 1, 4 * ctus, {}, true, pattern::random, r);
    const auto o0 = out->snapshot();
    observation_t o;
    o.add_value(f(out->as<uint32_t>(), costs->as<uint32_t>(), bx, by, stride, r.range(0, 2)));
    EXPECT_TRUE(out->written_only_inside(o0, 4 * ctus, 1));
    o.add(out->snapshot());
    return o;
  });
}

INSTANTIATE_TEST_SUITE_P(, CheckasmMc, ::testing::ValuesIn(flag_sets()), flags_name);

}  // namespace
