// The pixel kernels that no slot holds by themselves: the width kernels
// with a height (or a width and a height) that the size entries call, the
// row pieces of the any-size SSD, and the kernels installed nowhere.  Each
// against a portable reference of its own contract, on every pattern, odd
// and wide strides, offsets 0..31 and guard pages, with heights that are
// 0, negative or not a multiple of any step.
#include <cstdlib>
#include <type_traits>

#include "checkasm.h"
#include "common/pixel_c.h"
#include "common/primitives.h"
#include "simd/x86/pixel/pixel_avx2.h"
#include "simd/x86/pixel/pixel_ssse3.h"

using namespace checkasm;

namespace {

using sad_h_fn = uint32_t (*)(const uint8_t *, int32_t, const uint8_t *, int32_t, int32_t);
using wxh_fn = uint32_t (*)(const uint8_t *, int32_t, const uint8_t *, int32_t, int32_t, int32_t);
using x4_h_fn = void (*)(const uint8_t *, const uint8_t *, const uint8_t *, const uint8_t *, const uint8_t *, int32_t,
                         uint32_t *, int32_t);
using row_fn = uint32_t (*)(const uint8_t *, const uint8_t *);
using row_n_fn = uint32_t (*)(const uint8_t *, const uint8_t *, int32_t);

inline intptr_t row_at(int32_t y, int32_t stride) { return static_cast<intptr_t>(y) * stride; }

// Rows 0, 2, 4, ... below h, doubled.
template <int W>
uint32_t sad_half_xh_ref(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs, int32_t h) {
  uint32_t s = 0;
  for (int32_t y = 0; y < h; y += 2)
    for (int32_t x = 0; x < W; x++) s += static_cast<uint32_t>(std::abs(a[row_at(y, as) + x] - b[row_at(y, bs) + x]));
  return 2 * s;
}

template <int W>
void sad_x4_half_xh_ref(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2, const uint8_t *r3,
                        int32_t rs, uint32_t *out, int32_t h) {
  const uint8_t *ref[4] = {r0, r1, r2, r3};
  for (int32_t k = 0; k < 4; k++) out[k] = sad_half_xh_ref<W>(src, SRC_STRIDE, ref[k], rs, h);
}

uint32_t ssd_ref(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs, int32_t w, int32_t h) {
  uint32_t s = 0;
  for (int32_t y = 0; y < h; y++)
    for (int32_t x = 0; x < w; x++) {
      const int32_t d = a[row_at(y, as) + x] - b[row_at(y, bs) + x];
      s += static_cast<uint32_t>(d * d);
    }
  return s;
}

template <int N>
uint32_t ssd_row_ref(const uint8_t *a, const uint8_t *b) {
  return ssd_ref(a, 0, b, 0, N, 1);
}
uint32_t ssd_row_n_ref(const uint8_t *a, const uint8_t *b, int32_t len) { return ssd_ref(a, 0, b, 0, len, 1); }

template <int N>
uint32_t ssd_square_ref(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) {
  return ssd_ref(a, as, b, bs, N, N);
}

uint32_t hadamard_cost_16w_ref(const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs) {
  return sa8d_raw_8x8_c(a, as, b, bs) + sa8d_raw_8x8_c(a + 8, as, b + 8, bs);
}

constexpr int32_t HEIGHTS[] = {-5, 0, 1, 2, 3, 5, 8, 15, 16, 31, 32, 64};

// Blocks of w x h (at least one row) at byte offset `gap` from their guard
// pages, the first block after the page and the second before.
observation_t run_wxh(wxh_fn f, rng_t &r, int32_t w, int32_t h, int32_t sa, int32_t sb, int32_t gap) {
  const int32_t rows = std::max(h, 1), cols = std::max(w, 1);
  guarded_block a(cols, rows, sa, {}, true, gap), b(cols, rows, sb, {}, false, (gap * 7) & 31);
  const pattern p = pick_pattern(r);
  a.fill(p, r);
  b.fill(p == pattern::random ? pattern::random : pick_pattern(r), r);
  observation_t o;
  o.add_value(f(a.origin(), sa, b.origin(), sb, w, h));
  return o;
}

class CheckasmNamedPixel : public ::testing::TestWithParam<uint32_t> {
 protected:
  bool ssse3() const { return GetParam() & FLAG_SSSE3; }
  bool avx2() const { return GetParam() & FLAG_AVX2; }
};

TEST_P(CheckasmNamedPixel, HalfRowWidthKernelsTakeAnyHeight) {
  struct named_t {
    const char *name;
    sad_h_fn ref, tst;
    int32_t w;
    bool avx2;
  };
  const named_t kernels[] = {
      {"sad_half_64xh_sse2", sad_half_xh_ref<64>, sad_half_64xh_sse2, 64, false},
      {"sad_half_32xh_sse2", sad_half_xh_ref<32>, sad_half_32xh_sse2, 32, false},
      {"sad_half_16xh_sse2", sad_half_xh_ref<16>, sad_half_16xh_sse2, 16, false},
      {"sad_half_8xh_sse2", sad_half_xh_ref<8>, sad_half_8xh_sse2, 8, false},
      {"sad_half_64xh_avx2", sad_half_xh_ref<64>, sad_half_64xh_avx2, 64, true},
      {"sad_half_32xh_avx2", sad_half_xh_ref<32>, sad_half_32xh_avx2, 32, true},
  };
  const uint64_t seed = test_seed();
  for (const named_t &k : kernels) {
    if (k.avx2 ? !avx2() : !ssse3()) continue;
    int32_t variant = 0;
    for (int32_t h : HEIGHTS)
      for (int32_t gap : {0, 1, 13, 31}) {
        const int32_t sa = gap == 13 ? 4096 : k.w + gap, sb = k.w + 2 * gap + 1;
        compare_slot(std::string(k.name) + " h " + std::to_string(h) + " offset " + std::to_string(gap), k.ref, k.tst,
                     seed + variant++, [&](sad_h_fn f, rng_t &r) {
                       const int32_t rows = std::max(h, 1);
                       guarded_block a(k.w, rows, sa, {}, true, gap), b(k.w, rows, sb, {}, false, 31 - gap);
                       a.fill(pick_pattern(r), r);
                       b.fill(pick_pattern(r), r);
                       observation_t o;
                       o.add_value(f(a.origin(), sa, b.origin(), sb, h));
                       return o;
                     });
      }
  }
}

TEST_P(CheckasmNamedPixel, FourCandidateWidthKernelsTakeAnyHeight) {
  struct named_t {
    const char *name;
    x4_h_fn ref, tst;
    int32_t w;
    bool avx2;
  };
  const named_t kernels[] = {
      {"sad_x4_half_64xh_ssse3", sad_x4_half_xh_ref<64>, sad_x4_half_64xh_ssse3, 64, false},
      {"sad_x4_half_32xh_ssse3", sad_x4_half_xh_ref<32>, sad_x4_half_32xh_ssse3, 32, false},
      {"sad_x4_half_16xh_ssse3", sad_x4_half_xh_ref<16>, sad_x4_half_16xh_ssse3, 16, false},
      {"sad_x4_half_8xh_ssse3", sad_x4_half_xh_ref<8>, sad_x4_half_8xh_ssse3, 8, false},
      {"sad_x4_half_64xh_avx2", sad_x4_half_xh_ref<64>, sad_x4_half_64xh_avx2, 64, true},
      {"sad_x4_half_32xh_avx2", sad_x4_half_xh_ref<32>, sad_x4_half_32xh_avx2, 32, true},
  };
  const uint64_t seed = test_seed();
  for (const named_t &k : kernels) {
    if (k.avx2 ? !avx2() : !ssse3()) continue;
    int32_t variant = 0;
    for (int32_t h : HEIGHTS)
      for (int32_t ref_stride : {k.w, k.w + 3, 4096}) {
        compare_slot(std::string(k.name) + " h " + std::to_string(h) + " stride " + std::to_string(ref_stride), k.ref,
                     k.tst, seed + variant++, [&](x4_h_fn f, rng_t &r) {
                       const int32_t rows = std::max(h, 1);
                       // The source copy is 32-byte aligned with stride 64.
                       guarded_block src(SRC_STRIDE, rows, SRC_STRIDE, {}, true);
                       src.fill(pick_pattern(r), r);
                       std::vector<block_ptr> refs;
                       for (int32_t c = 0; c < 4; c++)
                         refs.push_back(make_block(k.w, rows, ref_stride, {}, c & 1, pick_pattern(r), r));
                       guarded_block out(16, 1, 16, {}, false);
                       out.fill(pattern::random, r);
                       const auto out0 = out.snapshot();
                       f(src.origin(), refs[0]->origin(), refs[1]->origin(), refs[2]->origin(), refs[3]->origin(),
                         ref_stride, out.as<uint32_t>(), h);
                       EXPECT_TRUE(out.written_only_inside(out0, 16, 1)) << k.name;
                       observation_t o;
                       o.add(out.snapshot());
                       return o;
                     });
      }
  }
}

TEST_P(CheckasmNamedPixel, SizedSsdKernelsMatchForAnyWidthAndHeight) {
  struct named_t {
    const char *name;
    wxh_fn tst;
    bool avx2;
  };
  const named_t kernels[] = {
      {"ssd_8nxh_ssse3", ssd_8nxh_ssse3, false},
      {"ssd_16nxh_avx2", ssd_16nxh_avx2, true},
      {"ssd_wxh_prefetch_avx2", ssd_wxh_prefetch_avx2, true},
  };
  const uint64_t seed = test_seed();
  for (const named_t &k : kernels) {
    if (k.avx2 ? !avx2() : !ssse3()) continue;
    int32_t variant = 0;
    for (int32_t w : {-1, 0, 1, 3, 7, 8, 12, 16, 24, 32, 40, 48, 64, 65, 80, 100, 128, 200})
      for (int32_t h : {-2, 0, 1, 3, 8, 17})
        for (int32_t gap : {0, 5, 31}) {
          const int32_t cols = std::max(w, 1), sa = gap == 5 ? 4096 : cols + gap, sb = cols + 2 * gap + 1;
          compare_slot(std::string(k.name) + " " + std::to_string(w) + "x" + std::to_string(h) + " offset " +
                           std::to_string(gap),
                       ssd_ref, k.tst, seed + variant++,
                       [&](wxh_fn f, rng_t &r) { return run_wxh(f, r, w, h, sa, sb, gap); });
        }
  }
}

// The pieces of one row, and the squares installed nowhere, at every offset.
TEST_P(CheckasmNamedPixel, SsdRowPiecesAndUnusedSquaresMatch) {
  const uint64_t seed = test_seed();
  int32_t variant = 0;
  auto row_body = [&](int32_t n) {
    return [n](auto f, rng_t &r, int32_t gap) {
      guarded_block a(n, 1, n, {}, true, gap), b(n, 1, n, {}, false, 31 - gap);
      a.fill(pick_pattern(r), r);
      b.fill(pick_pattern(r), r);
      observation_t o;
      if constexpr (std::is_same_v<decltype(f), row_n_fn>)
        o.add_value(f(a.origin(), b.origin(), n));
      else
        o.add_value(f(a.origin(), b.origin()));
      return o;
    };
  };
  if (avx2()) {
    struct named_t {
      const char *name;
      row_fn ref, tst;
      int32_t n;
    };
    const named_t rows[] = {{"ssd_row_32_avx2", ssd_row_ref<32>, ssd_row_32_avx2, 32},
                            {"ssd_row_16_avx", ssd_row_ref<16>, ssd_row_16_avx, 16},
                            {"ssd_row_8_avx", ssd_row_ref<8>, ssd_row_8_avx, 8},
                            {"ssd_row_4_avx", ssd_row_ref<4>, ssd_row_4_avx, 4}};
    for (const named_t &k : rows)
      for (int32_t gap = 0; gap < 32; gap++) {
        const auto body = row_body(k.n);
        compare_slot(std::string(k.name) + " offset " + std::to_string(gap), k.ref, k.tst, seed + variant++,
                     [&](row_fn f, rng_t &r) { return body(f, r, gap); });
      }
    for (int32_t len : {64, 128, 192, 1920})
      for (int32_t gap : {0, 9, 31}) {
        const auto body = row_body(len);
        compare_slot("ssd_row_64n_avx2 length " + std::to_string(len) + " offset " + std::to_string(gap),
                     ssd_row_n_ref, ssd_row_64n_avx2, seed + variant++,
                     [&](row_n_fn f, rng_t &r) { return body(f, r, gap); });
      }
  }
  struct square_t {
    const char *name;
    pixel_cost_fn ref, tst;
    int32_t n;
    bool avx2;
  };
  const square_t squares[] = {
      {"ssd_4x4_ssse3", ssd_square_ref<4>, ssd_4x4_ssse3, 4, false},
      {"hadamard_cost_16w_unused_ssse3", hadamard_cost_16w_ref, hadamard_cost_16w_unused_ssse3, 16, false},
      {"ssd_64x64_unused_avx2", ssd_square_ref<64>, ssd_64x64_unused_avx2, 64, true},
      {"ssd_32x32_unused_avx2", ssd_square_ref<32>, ssd_32x32_unused_avx2, 32, true},
      {"ssd_16x16_unused_avx2", ssd_square_ref<16>, ssd_16x16_unused_avx2, 16, true},
  };
  for (const square_t &k : squares) {
    if (k.avx2 ? !avx2() : !ssse3()) continue;
    const int32_t h = k.n == 16 && !k.avx2 ? 8 : k.n;  // the Hadamard pair is 16x8
    for (int32_t gap = 0; gap < 32; gap++) {
      const int32_t sa = gap % 3 == 0 ? 4096 : k.n + gap, sb = k.n + 2 * gap + 1;
      compare_slot(std::string(k.name) + " offset " + std::to_string(gap), k.ref, k.tst, seed + variant++,
                   [&](pixel_cost_fn f, rng_t &r) {
                     guarded_block a(k.n, h, sa, {}, gap & 1, gap), b(k.n, h, sb, {}, !(gap & 1), 31 - gap);
                     a.fill(pick_pattern(r), r);
                     b.fill(pick_pattern(r), r);
                     observation_t o;
                     o.add_value(f(a.origin(), sa, b.origin(), sb));
                     return o;
                   });
    }
  }
}

TEST_P(CheckasmNamedPixel, UnusedFourCandidateSquaresEqualThePortableSlots) {
  if (!avx2()) return;
  pixel_funcs_t ref{};
  setup_pixel_primitives(0, &ref, 0);
  const uint64_t seed = test_seed();
  struct named_t {
    const char *name;
    sad_x4_fn ref, tst;
    int32_t n;
  };
  const named_t kernels[] = {{"sad_x4_half_64x64_unused_avx2", ref.sad_x4_half[0], sad_x4_half_64x64_unused_avx2, 64},
                             {"sad_x4_half_32x32_unused_avx2", ref.sad_x4_half[1], sad_x4_half_32x32_unused_avx2, 32}};
  int32_t variant = 0;
  for (const named_t &k : kernels)
    for (int32_t ref_stride : {k.n, k.n + 1, 4096})
      compare_slot(std::string(k.name) + " stride " + std::to_string(ref_stride), k.ref, k.tst, seed + variant++,
                   [&](sad_x4_fn f, rng_t &r) {
                     guarded_block src(SRC_STRIDE, k.n, SRC_STRIDE, {}, true);
                     src.fill(pick_pattern(r), r);
                     std::vector<block_ptr> refs;
                     for (int32_t c = 0; c < 4; c++)
                       refs.push_back(make_block(k.n, k.n, ref_stride, {}, c & 1, pick_pattern(r), r));
                     uint32_t out[4] = {};
                     f(src.origin(), refs[0]->origin(), refs[1]->origin(), refs[2]->origin(), refs[3]->origin(),
                       ref_stride, out);
                     observation_t o;
                     for (uint32_t v : out) o.add_value(v);
                     return o;
                   });
}

INSTANTIATE_TEST_SUITE_P(, CheckasmNamedPixel, ::testing::ValuesIn(flag_sets()), flags_name);

}  // namespace
