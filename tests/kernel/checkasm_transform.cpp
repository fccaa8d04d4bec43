// Every slot of transform_funcs_t, as installed for a set of CPU flags,
// against the portable table: forward transforms on random, flat and
// worst-case residuals, inverse transforms on sparse, dense and full-range
// coefficients, the coefficient cost on every size; blocks flush against
// guard pages at every pointer offset.
#include <algorithm>
#include <memory>

#include "checkasm.h"
#include "common/dct_matrix.h"
#include "common/primitives.h"

using namespace checkasm;

namespace {

struct slot_t {
  int32_t index, log2, corner;  // corner: side of the kept / read corner
  bool inverse, takes_arg;
};
constexpr slot_t SLOTS[14] = {{0, 2, 4, false, true},   {1, 2, 4, true, true},    {2, 3, 8, false, false},
                              {3, 3, 4, false, true},   {4, 3, 8, true, false},   {5, 3, 4, true, true},
                              {6, 4, 16, false, false}, {7, 4, 8, false, true},   {8, 4, 16, true, false},
                              {9, 4, 8, true, true},    {10, 5, 32, false, false}, {11, 5, 8, false, true},
                              {12, 5, 32, true, false}, {13, 5, 8, true, true}};

int32_t matrix_sign(int32_t log2, int32_t k, int32_t i) {
  switch (log2) {
    case 2: return dct_matrix<4>()[k * 4 + i] < 0 ? -1 : 1;
    case 3: return dct_matrix<8>()[k * 8 + i] < 0 ? -1 : 1;
    case 4: return dct_matrix<16>()[k * 16 + i] < 0 ? -1 : 1;
    default: return dct_matrix<32>()[k * 32 + i] < 0 ? -1 : 1;
  }
}

// Residual kinds of the forward tests.
enum class residual_kind { random, equal, plus255, minus255, sign_pattern, small, count };

// Source and prediction so that residual (y, x) follows the kind; the sign
// pattern of frequency (m, k) drives that coefficient to its maximum.
void fill_forward(guarded_block &src, guarded_block &pred, int32_t n, residual_kind kind, rng_t &r) {
  const int32_t m = r.range(0, n - 1) & (r.range(0, 1) ? 0 : ~0), k = r.range(0, 1) ? m : r.range(0, n - 1);
  for (int32_t y = 0; y < n; y++)
    for (int32_t x = 0; x < n; x++) {
      uint8_t &s = src.origin()[y * SRC_STRIDE + x], &p = pred.origin()[y * RECON_STRIDE + x];
      switch (kind) {
        case residual_kind::equal: s = p = r.byte(); break;
        case residual_kind::plus255: s = 255, p = 0; break;
        case residual_kind::minus255: s = 0, p = 255; break;
        case residual_kind::sign_pattern: {
          const bool plus = matrix_sign(n == 4 ? 2 : __builtin_ctz(n), m, y) * matrix_sign(n == 4 ? 2 : __builtin_ctz(n), k, x) > 0;
          s = plus ? 255 : 0, p = plus ? 0 : 255;
          break;
        }
        case residual_kind::small: s = static_cast<uint8_t>(128 + r.range(-3, 3)), p = 128; break;
        default: s = r.byte(), p = r.byte();
      }
    }
}

// Coefficient kinds of the inverse tests.
enum class coef_kind { sparse, dense_small, dense_2252, dense_6140, full, max, min, alternating, count };

int32_t coefficient(coef_kind kind, int32_t v, int32_t u, rng_t &r) {
  switch (kind) {
    case coef_kind::sparse: return r.range(0, 15) == 0 ? r.range(-32768, 32767) : 0;
    case coef_kind::dense_small: return r.range(-64, 64);
    case coef_kind::dense_2252: return r.range(-2252, 2252);
    case coef_kind::dense_6140: return r.range(-6140, 6140);
    case coef_kind::max: return 32767;
    case coef_kind::min: return -32768;
    case coef_kind::alternating: return ((v + u) & 1) ? -32768 : 32767;
    default: return r.range(-32768, 32767);
  }
}


class CheckasmTransform : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override {
    setup_transform_primitives(0, &ref_);
    setup_transform_primitives(GetParam(), &tst_);
  }
  transform_funcs_t ref_{}, tst_{};
};

TEST_P(CheckasmTransform, EverySlotIsFilled) {
  EXPECT_EQ(first_empty_slot(tst_), slot_count<transform_funcs_t>());
}

// An 8-bit block of n x n at `stride`, flush against a guard page after its
// last byte or, at pointer offset `offset`, before its first.
block_ptr pixel_block(int32_t n, int32_t stride, int32_t offset, bool before, rng_t &r) {
  auto b = std::make_unique<guarded_block>(n, n, stride, guarded_block::margins_t{before ? offset : 0, 0, 0, 0}, before);
  b->fill(pattern::random, r);
  return b;
}

TEST_P(CheckasmTransform, ForwardSlotsMatchPortable) {
  const uint64_t seed = test_seed();
  for (const slot_t &s : SLOTS) {
    if (s.inverse) continue;
    const int32_t n = 1 << s.log2;
    const int32_t modes = s.index == 0 ? 40 : 1;
    for (int32_t t = 0; t < 24 * modes; t++) {
      auto body = [&](void *fn, rng_t &r) {
        const bool before = t & 1;
        const int32_t offset = r.range(0, 31);
        auto src = pixel_block(n, SRC_STRIDE, offset, before, r);
        auto pred = pixel_block(n, RECON_STRIDE, offset ^ 5, !before, r);
        fill_forward(*src, *pred, n, static_cast<residual_kind>((t / modes) % int(residual_kind::count)), r);
        auto coef = std::make_unique<guarded_block>(2 * n, n, 2 * n, guarded_block::margins_t{}, r.range(0, 1));
        coef->fill(pattern::random, r);
        const std::vector<uint8_t> canaries = coef->snapshot();
        int16_t *c = coef->as<int16_t>();
        if (s.takes_arg)
          reinterpret_cast<dct_fwd_arg_fn>(fn)(c, src->origin(), pred->origin(), s.index == 0 ? t % modes : s.corner);
        else
          reinterpret_cast<dct_fwd_fn>(fn)(c, src->origin(), pred->origin());
        EXPECT_TRUE(coef->written_only_inside(canaries, 2 * s.corner, s.corner)) << slot_label("transform", s.index);
        observation_t o;
        o.add(coef->snapshot());
        return o;
      };
      compare_slot(slot_label("transform", s.index), slot_as<void *>(ref_, s.index),
                   slot_as<void *>(tst_, s.index), seed + 1000 * s.index + t, body);
    }
  }
}

TEST_P(CheckasmTransform, ForwardReachesTheLargestCoefficients) {
  // All +255 gives the DC 32640; the sign pattern of (1, 1) gives 26462 in
  // the 32x32 transform.  Nothing saturates on the way.
  alignas(32) uint8_t src[64 * 32], pred[128 * 32];
  alignas(32) int16_t coef[1024];
  std::fill(std::begin(src), std::end(src), 255);
  std::fill(std::begin(pred), std::end(pred), 0);
  tst_.dct_fwd_32x32(coef, src, pred);
  EXPECT_EQ(coef[0], 32640);
  for (int32_t y = 0; y < 32; y++)
    for (int32_t x = 0; x < 32; x++) {
      const bool plus = matrix_sign(5, 1, y) * matrix_sign(5, 1, x) > 0;
      src[y * 64 + x] = plus ? 255 : 0, pred[y * 128 + x] = plus ? 0 : 255;
    }
  tst_.dct_fwd_32x32(coef, src, pred);
  EXPECT_EQ(coef[33], 26462);
}

TEST_P(CheckasmTransform, InverseSlotsMatchPortable) {
  const uint64_t seed = test_seed();
  for (const slot_t &s : SLOTS) {
    if (!s.inverse) continue;
    const int32_t n = 1 << s.log2;
    const int32_t modes = s.index == 1 ? 40 : 1;
    for (int32_t t = 0; t < 24 * modes; t++) {
      auto body = [&](void *fn, rng_t &r) {
        const bool before = t & 1;
        auto rec = pixel_block(n, RECON_STRIDE, r.range(0, 31), before, r);
        rec->fill(ALL_PATTERNS[r.range(0, 6)], r);
        // The coefficients that a low slot reads lie in its corner; the
        // rest is garbage, which must not change the result.
        auto coef = std::make_unique<guarded_block>(2 * n, n, 2 * n, guarded_block::margins_t{}, !before);
        const auto kind = static_cast<coef_kind>((t / modes) % int(coef_kind::count));
        coef->fill16([&](int64_t u, int64_t v) { return coefficient(kind, int32_t(v), int32_t(u), r); });
        const std::vector<uint8_t> canaries = rec->snapshot();
        if (s.takes_arg)
          reinterpret_cast<dct_inv_arg_fn>(fn)(rec->origin(), coef->as<int16_t>(), s.index == 1 ? t % modes : s.corner);
        else
          reinterpret_cast<dct_inv_fn>(fn)(rec->origin(), coef->as<int16_t>());
        EXPECT_TRUE(rec->written_only_inside(canaries, n, n)) << slot_label("transform", s.index);
        observation_t o;
        o.add(rec->snapshot());
        return o;
      };
      compare_slot(slot_label("transform", s.index), slot_as<void *>(ref_, s.index),
                   slot_as<void *>(tst_, s.index), seed + 1000 * s.index + t, body);
    }
  }
}

TEST_P(CheckasmTransform, LowInverseIgnoresCoefficientsOutsideTheCorner) {
  rng_t r(test_seed());
  for (const slot_t &s : SLOTS) {
    if (!s.inverse || !s.takes_arg || s.index == 1) continue;
    const int32_t n = 1 << s.log2;
    alignas(32) int16_t garbage[1024], clean[1024] = {};
    alignas(32) uint8_t a[128 * 32], b[128 * 32];
    for (int32_t i = 0; i < n * n; i++) garbage[i] = static_cast<int16_t>(r.next());
    for (int32_t v = 0; v < s.corner; v++)
      for (int32_t u = 0; u < s.corner; u++) clean[v * n + u] = garbage[v * n + u] = static_cast<int16_t>(r.range(-900, 900));
    for (int32_t i = 0; i < 128 * 32; i++) a[i] = b[i] = r.byte();
    reinterpret_cast<dct_inv_arg_fn>(slot_as<void *>(tst_, s.index))(a, garbage, s.corner);
    reinterpret_cast<dct_inv_arg_fn>(slot_as<void *>(tst_, s.index))(b, clean, s.corner);
    EXPECT_EQ(0, std::memcmp(a, b, sizeof(a))) << slot_label("transform", s.index);
  }
}

// Blocks whose non-zero coefficients end at every row and column (a kernel
// may skip the zero rows and columns beyond them): each extent, with the
// first-stage clip driven or not, against the portable function.
TEST_P(CheckasmTransform, InverseMatchesPortableForEveryExtent) {
  rng_t r(test_seed());
  for (const slot_t &s : SLOTS) {
    if (!s.inverse || s.takes_arg) continue;
    const int32_t n = 1 << s.log2;
    alignas(32) int16_t coef[1024];
    alignas(32) uint8_t want[RECON_STRIDE * 32], got[RECON_STRIDE * 32];
    for (int32_t rows = 1; rows <= n; rows++)
      for (int32_t cols = 1; cols <= n; cols++) {
        const int32_t range = (rows + cols) & 1 ? 32767 : 900;
        for (int32_t v = 0; v < n; v++)
          for (int32_t u = 0; u < n; u++)
            coef[v * n + u] = static_cast<int16_t>(v < rows && u < cols && r.range(0, 2) ? r.range(-range, range) : 0);
        // The last row and column hold a coefficient each.
        coef[(rows - 1) * n + r.range(0, cols - 1)] = static_cast<int16_t>(r.range(1, range));
        coef[r.range(0, rows - 1) * n + cols - 1] = static_cast<int16_t>(-r.range(1, range));
        for (int32_t i = 0; i < RECON_STRIDE * 32; i++) want[i] = got[i] = r.byte();
        reinterpret_cast<dct_inv_fn>(slot_as<void *>(ref_, s.index))(want, coef);
        reinterpret_cast<dct_inv_fn>(slot_as<void *>(tst_, s.index))(got, coef);
        ASSERT_EQ(0, std::memcmp(want, got, sizeof(want)))
            << slot_label("transform", s.index) << " rows " << rows << " columns " << cols;
      }
  }
}

TEST_P(CheckasmTransform, CoefficientCostMatchesPortable) {
  const uint64_t seed = test_seed();
  for (int32_t t = 0; t < 400; t++) {
    auto body = [&](uint32_t (*fn)(const int16_t *, int32_t), rng_t &r) {
      const int32_t log2 = 2 + t % 4, n = 1 << log2;
      auto coef = std::make_unique<guarded_block>(2 * n, n, 2 * n, guarded_block::margins_t{}, r.range(0, 1));
      const auto kind = static_cast<coef_kind>((t / 4) % int(coef_kind::count));
      const int32_t empty_groups = r.range(0, 2);  // 0: none forced empty
      coef->fill16([&](int64_t u, int64_t v) {
        if (empty_groups && ((u / 4 + v / 4 + empty_groups) & 1)) return 0;
        return coefficient(kind, int32_t(v), int32_t(u), r);
      });
      observation_t o;
      o.add_value(fn(coef->as<int16_t>(), log2));
      return o;
    };
    compare_slot("coeff_cost", ref_.coeff_cost, tst_.coeff_cost, seed + t, body);
  }
}

TEST_P(CheckasmTransform, CoefficientCostCountsEveryMagnitudeInFull) {
  alignas(32) int16_t block[1024] = {};
  EXPECT_EQ(tst_.coeff_cost(block, 5), 64u);
  block[0] = -32768;
  EXPECT_EQ(tst_.coeff_cost(block, 2), 1u + 16u + 32768u);
  std::fill(block, block + 1024, int16_t{-32768});
  EXPECT_EQ(tst_.coeff_cost(block, 5), 64u * (17u + 16u * 32768u));
  EXPECT_EQ(tst_.coeff_cost(block, 3), 4u * (17u + 16u * 32768u));
}

// The corner of a low-frequency slot is the slot's own: a kernel that read
// the argument (writing nothing, or another corner, for a side the callers
// do not pass today) would part from the portable function.
TEST_P(CheckasmTransform, LowForwardMatchesPortableForEveryCornerArgument) {
  rng_t r(test_seed());
  alignas(32) uint8_t src[64 * 32], pred[128 * 32];
  alignas(32) int16_t want[1024], got[1024];
  for (const slot_t &s : SLOTS) {
    if (s.inverse || !s.takes_arg || s.index == 0) continue;
    for (int32_t low_size : {-1, 0, 1, 3, 4, 5, 7, 8, 9, 16, 32, 64, 1 << 30}) {
      for (uint8_t &b : src) b = r.byte();
      for (uint8_t &b : pred) b = r.byte();
      for (int16_t &c : want) c = static_cast<int16_t>(r.next());
      std::copy(std::begin(want), std::end(want), std::begin(got));
      reinterpret_cast<dct_fwd_arg_fn>(slot_as<void *>(ref_, s.index))(want, src, pred, low_size);
      reinterpret_cast<dct_fwd_arg_fn>(slot_as<void *>(tst_, s.index))(got, src, pred, low_size);
      EXPECT_TRUE(std::equal(std::begin(want), std::end(want), std::begin(got)))
          << slot_label("transform", s.index) << " low_size " << low_size;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(, CheckasmTransform, ::testing::ValuesIn(flag_sets({2, 3, 6, 7})), flags_name);

}  // namespace
