// The transform kernels below the slots, each against the arithmetic of its
// contract written out with the standard's matrices: the AVX2 tier's cores
// (forward from a residual of any row stride, inverse to one) and the SSSE3
// tier's forward row passes and inverse second passes.  Inputs are 8-bit residuals (the extremes
// included) and any 16-bit coefficients; outputs sit among canaries.
#include <algorithm>
#include <array>
#include <vector>

#include "checkasm.h"
#include "common/dct_matrix.h"
#include "simd/x86/transform/transform_kernels.h"

using namespace checkasm;

namespace {

using core_fn = void (*)(const int16_t *, int16_t *, int32_t);

int32_t clip16(int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, -32768, 32767)); }

// Basis k in row k.
std::vector<int32_t> basis(int32_t n, bool dst) {
  std::vector<int32_t> m(n * n);
  for (int32_t k = 0; k < n; k++)
    for (int32_t x = 0; x < n; x++) {
      if (dst) m[k * n + x] = dst_matrix_4[k][x];
      else if (n == 4) m[k * n + x] = dct_matrix<4>()[k * 4 + x];
      else if (n == 8) m[k * n + x] = dct_matrix<8>()[k * 8 + x];
      else if (n == 16) m[k * n + x] = dct_matrix<16>()[k * 16 + x];
      else m[k * n + x] = dct_matrix<32>()[k * 32 + x];
    }
  return m;
}

int32_t log2_of(int32_t n) { return n == 4 ? 2 : n == 8 ? 3 : n == 16 ? 4 : 5; }

// Forward: rows (shift log2 N - 1), then columns (shift log2 N + 6), each
// held to 16 bits; only the K x K corner is written.
void forward_ref(const int16_t *res, int32_t rs, int16_t *coef, int32_t n, int32_t k_keep, bool dst) {
  const auto m = basis(n, dst);
  const int32_t l = log2_of(n);
  std::vector<int32_t> t(n * n);
  for (int32_t y = 0; y < n; y++)
    for (int32_t k = 0; k < n; k++) {
      int64_t s = 1 << (l - 2);
      for (int32_t x = 0; x < n; x++) s += static_cast<int64_t>(m[k * n + x]) * res[y * rs + x];
      t[y * n + k] = clip16(s >> (l - 1));
    }
  for (int32_t v = 0; v < k_keep; v++)
    for (int32_t k = 0; k < k_keep; k++) {
      int64_t s = 1 << (l + 5);
      for (int32_t y = 0; y < n; y++) s += static_cast<int64_t>(m[v * n + y]) * t[y * n + k];
      coef[v * n + k] = static_cast<int16_t>(clip16(s >> (l + 6)));
    }
}

// Inverse of the K x K corner (the rest of the block is not read): columns
// (shift 7, held to 16 bits), then rows (shift 12).
void inverse_ref(const int16_t *coef, int16_t *res, int32_t rs, int32_t n, int32_t k_keep, bool dst) {
  const auto m = basis(n, dst);
  std::vector<int32_t> t(n * n, 0);
  for (int32_t y = 0; y < n; y++)
    for (int32_t u = 0; u < k_keep; u++) {
      int64_t s = 64;
      for (int32_t v = 0; v < k_keep; v++) s += static_cast<int64_t>(m[v * n + y]) * coef[v * n + u];
      t[y * n + u] = clip16(s >> 7);
    }
  for (int32_t y = 0; y < n; y++)
    for (int32_t x = 0; x < n; x++) {
      int64_t s = 2048;
      for (int32_t u = 0; u < k_keep; u++) s += static_cast<int64_t>(m[u * n + x]) * t[y * n + u];
      res[y * rs + x] = static_cast<int16_t>(clip16(s >> 12));
    }
}

class CheckasmNamedTransform : public ::testing::TestWithParam<uint32_t> {};

struct core_t {
  const char *name;
  core_fn fn;
  int32_t n, k;
  bool dst;
};

// 8-bit residuals: random, the extremes, alternating extremes, small, and
// flat blocks of `level` (64..127 give a first-pass DC of 8192..16256 at
// every size: the sums of mirrored rows pass 16384 in both signs).
int16_t residual_value(int32_t kind, int64_t x, int64_t y, rng_t &r, int32_t level = 0) {
  switch (kind) {
    case 0: return static_cast<int16_t>(r.range(-255, 255));
    case 1: return 255;
    case 2: return -255;
    case 3: return ((x + y) & 1) ? 255 : -255;
    case 5: return static_cast<int16_t>(level);
    case 6: return static_cast<int16_t>(-level);
    default: return static_cast<int16_t>(r.range(-3, 3));
  }
}

TEST_P(CheckasmNamedTransform, ForwardCoresMatchTheirArithmetic) {
  // The SSSE3 cores under the SSSE3 bit alone, the AVX2 ones with AVX2.
  const bool avx2 = GetParam() & FLAG_AVX2;
  if (!(GetParam() & FLAG_SSSE3)) return;
  const std::vector<core_t> cores =
      avx2 ? std::vector<core_t>{{"dct_fwd_core_8x8_avx2", dct_fwd_core_8x8_avx2, 8, 8, false},
                                 {"dct_fwd_low_core_8x8_avx2", dct_fwd_low_core_8x8_avx2, 8, 4, false},
                                 {"dct_fwd_core_16x16_avx2", dct_fwd_core_16x16_avx2, 16, 16, false},
                                 {"dct_fwd_low_core_16x16_avx2", dct_fwd_low_core_16x16_avx2, 16, 8, false},
                                 {"dct_fwd_core_32x32_avx2", dct_fwd_core_32x32_avx2, 32, 32, false},
                                 {"dct_fwd_low_core_32x32_avx2", dct_fwd_low_core_32x32_avx2, 32, 8, false}}
           : std::vector<core_t>{{"dct_fwd_core_16x16_ssse3", dct_fwd_core_16x16_ssse3, 16, 16, false},
                                 {"dct_fwd_core_32x32_ssse3", dct_fwd_core_32x32_ssse3, 32, 32, false}};
  rng_t r(test_seed());
  for (const core_t &c : cores)
    for (int32_t kind = 0; kind < 7; kind++)
      for (int32_t extra : {0, 3, 8, 40}) {
        const int32_t rs = c.n + extra;
        guarded_block res(2 * c.n, c.n, 2 * rs, {}, kind & 1);
        const int32_t level = r.range(64, 127);
        res.fill16([&](int64_t x, int64_t y) { return residual_value(kind, x, y, r, level); });
        guarded_block out(2 * c.n, c.n, 2 * c.n, {}, !(kind & 1)), want(2 * c.n, c.n, 2 * c.n, {}, false);
        out.fill(pattern::random, r);
        std::memcpy(want.origin(), out.origin(), 2 * c.n * c.n);
        const auto before = res.snapshot();
        c.fn(res.as<int16_t>(), out.as<int16_t>(), rs);
        forward_ref(res.as<int16_t>(), rs, want.as<int16_t>(), c.n, c.k, c.dst);
        EXPECT_EQ(0, std::memcmp(want.origin(), out.origin(), 2 * c.n * c.n))
            << c.name << " residual kind " << kind << " stride " << rs;
        EXPECT_TRUE(res.written_only_inside(before, 0, 0)) << c.name;
      }
}

// Blocks of one level, flat or with rows of alternating sign, at every
// level: the first pass's largest magnitude (128 times the level at 16x16
// and 32x32) passes each power of two from 2^7 to 2^15, where the cores
// choose how many even/odd levels the second pass can sum in 16 bits.
TEST_P(CheckasmNamedTransform, ForwardCoresMatchAtEveryLevelOfFlatBlocks) {
  if (!(GetParam() & FLAG_SSSE3)) return;
  const bool avx2 = GetParam() & FLAG_AVX2;
  const std::vector<core_t> cores =
      avx2 ? std::vector<core_t>{{"dct_fwd_core_16x16_avx2", dct_fwd_core_16x16_avx2, 16, 16, false},
                                 {"dct_fwd_core_32x32_avx2", dct_fwd_core_32x32_avx2, 32, 32, false}}
           : std::vector<core_t>{{"dct_fwd_core_16x16_ssse3", dct_fwd_core_16x16_ssse3, 16, 16, false},
                                 {"dct_fwd_core_32x32_ssse3", dct_fwd_core_32x32_ssse3, 32, 32, false}};
  for (const core_t &c : cores)
    for (int32_t alternate = 0; alternate < 2; alternate++)
      for (int32_t level = -255; level <= 255; level++) {
        guarded_block res(2 * c.n, c.n, 2 * c.n, {}, false), out(2 * c.n, c.n, 2 * c.n, {}, false);
        res.fill16([&](int64_t, int64_t y) { return static_cast<int16_t>(alternate && (y & 1) ? -level : level); });
        std::vector<int16_t> want(c.n * c.n);
        c.fn(res.as<int16_t>(), out.as<int16_t>(), c.n);
        forward_ref(res.as<int16_t>(), c.n, want.data(), c.n, c.k, c.dst);
        ASSERT_EQ(0, std::memcmp(want.data(), out.origin(), 2 * c.n * c.n))
            << c.name << " level " << level << (alternate ? " alternating rows" : " flat");
      }
}

TEST_P(CheckasmNamedTransform, InverseCoresMatchTheirArithmetic) {
  if (!(GetParam() & FLAG_AVX2)) return;
  const core_t cores[] = {{"dct_inv_core_8x8_avx2", dct_inv_core_8x8_avx2, 8, 8, false},
                          {"dct_inv_low_core_8x8_avx2", dct_inv_low_core_8x8_avx2, 8, 4, false},
                          {"dct_inv_core_16x16_avx2", dct_inv_core_16x16_avx2, 16, 16, false},
                          {"dct_inv_low_core_16x16_avx2", dct_inv_low_core_16x16_avx2, 16, 8, false},
                          {"dct_inv_core_32x32_avx2", dct_inv_core_32x32_avx2, 32, 32, false},
                          {"dct_inv_low_core_32x32_avx2", dct_inv_low_core_32x32_avx2, 32, 8, false}};
  rng_t r(test_seed() + 1);
  for (const core_t &c : cores)
    for (int32_t kind = 0; kind < 5; kind++)
      for (int32_t extra : {0, 8, 24}) {
        const int32_t rs = c.n + extra;
        guarded_block coef(2 * c.n, c.n, 2 * c.n, {}, kind & 1);
        coef.fill16([&](int64_t x, int64_t y) {
          switch (kind) {
            case 0: return r.range(-32768, 32767);
            case 1: return x == 0 && y == 0 ? 32767 : 0;
            case 2: return x == 0 ? -32768 : 0;
            case 3: return ((x + y) & 1) ? 32767 : -32768;
            default: return r.range(-200, 200);
          }
        });
        guarded_block out(2 * c.n, c.n, 2 * rs, {}, !(kind & 1));
        out.fill(pattern::random, r);
        const auto before = out.snapshot();
        std::vector<int16_t> want(static_cast<size_t>(rs) * c.n);
        c.fn(coef.as<int16_t>(), out.as<int16_t>(), rs);
        inverse_ref(coef.as<int16_t>(), want.data(), rs, c.n, c.k, c.dst);
        EXPECT_TRUE(out.written_only_inside(before, 2 * c.n, c.n)) << c.name << " stride " << rs;
        for (int32_t y = 0; y < c.n; y++)
          EXPECT_EQ(0, std::memcmp(want.data() + y * rs, out.as<int16_t>() + y * rs, 2 * c.n))
              << c.name << " coefficient kind " << kind << " stride " << rs << " row " << y;
      }
}

TEST_P(CheckasmNamedTransform, ForwardRowPassesMatchTheirArithmetic) {
  if (!(GetParam() & FLAG_SSSE3)) return;
  using row_fn = void (*)(int16_t *, const int16_t *);
  const std::pair<row_fn, int32_t> passes[] = {
      {dct_fwd_1d_8_ssse3, 8}, {dct_fwd_1d_16_ssse3, 16}, {dct_fwd_1d_32_ssse3, 32}};
  rng_t r(test_seed() + 2);
  for (const auto &[fn, n] : passes)
    for (int32_t kind = 0; kind < 5; kind++) {
      guarded_block in(2 * n, n, 2 * n, {}, true), out(2 * n, n, 2 * n, {}, false);
      in.fill16([&](int64_t x, int64_t y) { return residual_value(kind, x, y, r); });
      out.fill(pattern::random, r);
      const auto before = out.snapshot();
      fn(out.as<int16_t>(), in.as<int16_t>());
      const auto m = basis(n, false);
      const int32_t l = log2_of(n);
      for (int32_t y = 0; y < n; y++)
        for (int32_t k = 0; k < n; k++) {
          int64_t s = 1 << (l - 2);
          for (int32_t x = 0; x < n; x++) s += static_cast<int64_t>(m[k * n + x]) * in.as<int16_t>()[y * n + x];
          ASSERT_EQ(clip16(s >> (l - 1)), out.as<int16_t>()[y * n + k]) << "dct_fwd_1d_" << n << "_ssse3 row " << y;
        }
      EXPECT_TRUE(out.written_only_inside(before, 2 * n, n));
    }
}

// The inverse second pass of any 16-bit input: every row's N inputs.
TEST_P(CheckasmNamedTransform, InverseRowPassesMatchTheirArithmetic) {
  if (!(GetParam() & FLAG_SSSE3)) return;
  using row_fn = void (*)(int16_t *, const int16_t *);
  const std::pair<row_fn, int32_t> passes[] = {
      {dct_inv_1d_8_ssse3, 8}, {dct_inv_1d_16_ssse3, 16}, {dct_inv_1d_32_ssse3, 32}};
  rng_t r(test_seed() + 3);
  for (const auto &[fn, n] : passes)
    for (int32_t kind = 0; kind < 3; kind++) {
      guarded_block in(2 * n, n, 2 * n, {}, true), out(2 * n, n, 2 * n, {}, false);
      in.fill16([&](int64_t x, int64_t y) {
        return kind == 0 ? r.range(-32768, 32767) : kind == 1 ? (((x + y) & 1) ? 32767 : -32768) : r.range(-9, 9);
      });
      out.fill(pattern::random, r);
      const auto before = out.snapshot();
      fn(out.as<int16_t>(), in.as<int16_t>());
      const auto m = basis(n, false);
      for (int32_t y = 0; y < n; y++)
        for (int32_t x = 0; x < n; x++) {
          int64_t s = 2048;
          for (int32_t u = 0; u < n; u++) s += static_cast<int64_t>(m[u * n + x]) * in.as<int16_t>()[y * n + u];
          ASSERT_EQ(clip16(s >> 12), out.as<int16_t>()[y * n + x]) << "dct_inv_1d_" << n << "_ssse3 row " << y;
        }
      EXPECT_TRUE(out.written_only_inside(before, 2 * n, n));
    }
}

INSTANTIATE_TEST_SUITE_P(, CheckasmNamedTransform, ::testing::ValuesIn(flag_sets()), flags_name);

}  // namespace
