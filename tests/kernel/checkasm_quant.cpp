// Every slot of quant_funcs_t, as installed for a set of CPU flags, against
// the portable table: quantisation and dequantisation of every block size at
// every QP with intra and inter rounding, both RDOQ variants over every
// size, scan, plane and QP with random estimation states, and sign hiding;
// coefficients random, realistic, all zero, one large value at every
// position, and the int16 extremes.  Inputs and outputs lie flush against guard pages, the
// outputs among canaries.
#include <cmath>
#include <functional>
#include <map>
#include <tuple>
#include <vector>
#include <memory>
#include <string>

#include "checkasm.h"
#include "common/cabac_tables.h"
#include "common/primitives.h"
#include "common/rdoq.h"
#include "common/residual_ctx.h"
#include "simd/x86/transform/quant_kernels.h"

using namespace checkasm;

namespace {

enum class coef_kind { random, decaying, sparse, zero, max, min, alternating, small, count };

int32_t coefficient(coef_kind kind, int32_t x, int32_t y, rng_t &r) {
  switch (kind) {
    case coef_kind::decaying: {
      // Large near the DC, small far from it, as a transform leaves them.
      const int32_t range = std::max(1, 4000 >> std::min(x + y, 12));
      return r.range(-range, range);
    }
    case coef_kind::sparse: return r.range(0, 11) == 0 ? r.range(-3000, 3000) : 0;
    case coef_kind::zero: return 0;
    case coef_kind::max: return 32767;
    case coef_kind::min: return -32768;
    case coef_kind::alternating: return ((x + y) & 1) ? -32768 : 32767;
    case coef_kind::small: return r.range(-40, 40);
    default: return r.range(-32768, 32767);
  }
}

// A block of `bytes` (even) against its guard page after or before it,
// made once per role and shape with random canaries around it (mapping and
// filling pages is slow under emulation); only the block itself is refilled
// with random values for every call.  A write outside the block is caught
// against the snapshot taken before the call.
guarded_block &guarded(int32_t role, int32_t bytes, bool before, rng_t &r) {
  static std::map<std::tuple<int32_t, int32_t, bool>, block_ptr> blocks;
  block_ptr &b = blocks[{role, bytes, before}];
  if (!b) {
    b = std::make_unique<guarded_block>(bytes, 1, bytes, guarded_block::margins_t{}, before);
    rng_t canaries(static_cast<uint64_t>(bytes) * 3 + role);
    b->fill(pattern::random, canaries);
  }
  b->fill16([&](int64_t, int64_t) { return static_cast<int32_t>(r.next()); });
  return *b;
}

// The n x n int16 input (role 0) or output (role 1) of a call.
guarded_block &int16_block(int32_t role, int32_t n, bool before, rng_t &r) { return guarded(role, 2 * n * n, before, r); }

void fill_block(guarded_block &b, int32_t n, coef_kind kind, rng_t &r) {
  int16_t *v = b.as<int16_t>();
  for (int32_t y = 0; y < n; y++)
    for (int32_t x = 0; x < n; x++) v[y * n + x] = static_cast<int16_t>(coefficient(kind, x, y, r));
}

// One value in an otherwise empty block: the largest magnitudes and a
// random one.
void fill_single(guarded_block &b, int32_t n, int32_t at, rng_t &r) {
  int16_t *v = b.as<int16_t>();
  for (int32_t i = 0; i < n * n; i++) v[i] = 0;
  const int32_t pick = r.range(0, 3);
  v[at] = static_cast<int16_t>(pick == 0 ? 32767 : pick == 1 ? -32768 : r.range(-32768, 32767));
}

class CheckasmQuant : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override {
    setup_quant_primitives(0, &ref_);
    setup_quant_primitives(GetParam(), &tst_);
  }
  quant_funcs_t ref_{}, tst_{};

  // Quantises (slot 0) or dequantises (slot 1) one block with the
  // parameters of qp, filled by `fill`; observes the output and result.
  template <typename Fill>
  void compare_block(int32_t slot, int32_t log2, int32_t qp, int32_t intra, uint64_t seed, Fill fill) {
    const int32_t n = 1 << log2, count = n * n;
    auto body = [&](void *fn, rng_t &r) {
      const bool before = r.range(0, 1);
      guarded_block &in = int16_block(0, n, before, r), &out = int16_block(1, n, !before, r);
      fill(in, r);
      const std::vector<uint8_t> canaries = out.snapshot();
      observation_t o;
      if (slot == 0) {
        const quant_params_t q = quant_params(qp, log2, intra);
        o.add_value(reinterpret_cast<quant_fn>(fn)(out.as<int16_t>(), in.as<int16_t>(), count, q.scale, q.shift,
                                                   q.offset));
      } else {
        const quant_params_t q = dequant_params(qp, log2);
        reinterpret_cast<dequant_fn>(fn)(out.as<int16_t>(), in.as<int16_t>(), count, q.scale, q.shift);
      }
      EXPECT_TRUE(out.written_only_inside(canaries, 2 * count, 1)) << (slot ? "dequant" : "quant");
      o.add(out.snapshot());
      return o;
    };
    const std::string name = std::string(slot ? "dequant" : "quant") + " " + std::to_string(n) + "x" +
                             std::to_string(n) + " qp " + std::to_string(qp) + (intra ? " intra" : " inter");
    compare_slot(name, slot_as<void *>(ref_, slot), slot_as<void *>(tst_, slot), seed, body);
  }
};

TEST_P(CheckasmQuant, EverySlotIsFilled) { EXPECT_EQ(first_empty_slot(tst_), slot_count<quant_funcs_t>()); }

TEST_P(CheckasmQuant, QuantAndDequantMatchPortableAtEveryQp) {
  const uint64_t seed = test_seed();
  for (int32_t slot = 0; slot < 2; slot++)
    for (int32_t log2 = 2; log2 <= 5; log2++)
      for (int32_t qp = 0; qp <= 51; qp++)
        for (int32_t kind = 0; kind < int32_t(coef_kind::count); kind++) {
          const int32_t intra = (qp + kind) & 1, n = 1 << log2;
          compare_block(slot, log2, qp, intra, seed + 100000 * slot + 1000 * log2 + 10 * qp + kind,
                        [&](guarded_block &b, rng_t &r) { fill_block(b, n, coef_kind(kind), r); });
        }
}

TEST_P(CheckasmQuant, QuantAndDequantMatchPortableForOneValueAtEveryPosition) {
  const uint64_t seed = test_seed();
  for (int32_t slot = 0; slot < 2; slot++)
    for (int32_t log2 = 2; log2 <= 5; log2++) {
      const int32_t n = 1 << log2;
      rng_t pick(seed + log2);
      for (int32_t at = 0; at < n * n; at++)
        compare_block(slot, log2, pick.range(0, 51), pick.range(0, 1), seed + at,
                      [&](guarded_block &b, rng_t &r) { fill_single(b, n, at, r); });
    }
}

// The dequantiser's routes hinge on the scale's power of two against the
// shift and on the factor that is left: scales that are exact multiples of
// 2^shift with factors at and past the 16-bit limit, ones just off such a
// multiple, and random ones, each with extreme and random levels.
TEST_P(CheckasmQuant, DequantMatchesPortableForAnyScaleAndShift) {
  const uint64_t seed = test_seed();
  rng_t pick(seed);
  struct params_t {
    int32_t scale, shift;
  };
  std::vector<params_t> params;
  for (int32_t shift = 1; shift <= 20; shift++)
    for (int32_t factor : {1, 2, 3, 32766, 32767, 32768, 40000})
      if (int64_t{factor} << shift <= INT32_MAX) {
        params.push_back({factor << shift, shift});
        params.push_back({(factor << shift) + 1, shift});
        params.push_back({(factor << shift) - (int32_t{1} << (shift - 1)), shift});
      }
  for (int32_t i = 0; i < 40; i++) params.push_back({pick.range(1, INT32_MAX), pick.range(1, 30)});
  for (int32_t log2 = 2; log2 <= 5; log2++) {
    const int32_t n = 1 << log2, count = n * n;
    for (const params_t &p : params)
      for (int32_t kind : {int32_t(coef_kind::random), int32_t(coef_kind::alternating), int32_t(coef_kind::small)}) {
        auto body = [&](void *fn, rng_t &r) {
          guarded_block &in = int16_block(0, n, false, r), &out = int16_block(1, n, true, r);
          fill_block(in, n, coef_kind(kind), r);
          const std::vector<uint8_t> canaries = out.snapshot();
          reinterpret_cast<dequant_fn>(fn)(out.as<int16_t>(), in.as<int16_t>(), count, p.scale, p.shift);
          EXPECT_TRUE(out.written_only_inside(canaries, 2 * count, 1)) << "dequant";
          observation_t o;
          o.add(out.snapshot());
          return o;
        };
        const std::string name = "dequant " + std::to_string(n) + "x" + std::to_string(n) + " scale " +
                                 std::to_string(p.scale) + " shift " + std::to_string(p.shift);
        compare_slot(name, slot_as<void *>(ref_, 1), slot_as<void *>(tst_, 1), seed + p.scale + kind, body);
      }
  }
}

// An RDOQ request of the given shape with random states, lambda, weight
// and coded-flag bits drawn from r.
struct rdoq_case_t {
  int32_t log2, scan, plane, qp, intra;
  bool with_states;
};

observation_t run_rdoq(rdoq_fn fn, const rdoq_case_t &c, rng_t &r, const std::function<void(guarded_block &, rng_t &)> &fill) {
  const int32_t n = 1 << c.log2, count = n * n;
  const bool before = r.range(0, 1);
  guarded_block &in = int16_block(0, n, before, r), &out = int16_block(1, n, !before, r);
  guarded_block &est_block = guarded(2, int32_t(sizeof(cabac_est_t)), before, r);
  fill(in, r);
  cabac_est_t *est = est_block.as<cabac_est_t>();
  est->bits = static_cast<uint32_t>(r.next());
  // Mostly probable states, or all near the equiprobable ones.
  const int32_t top = r.range(0, 2) ? 125 : 12;
  for (uint8_t &s : est->state) s = static_cast<uint8_t>(r.range(0, top));
  rdoq_request_t req{};
  req.levels = out.as<int16_t>();
  req.coef = in.as<int16_t>();
  req.log2_size = c.log2;
  req.plane = c.plane;
  req.qp = c.qp;
  req.is_intra = c.intra;
  req.scan_type = c.scan;
  const int32_t lambda_kind = r.range(0, 19);
  req.lambda = lambda_kind == 0 ? 0
               : lambda_kind == 1 ? UINT32_MAX
                                  : static_cast<uint32_t>(std::exp2(c.qp / 3.0) * r.range(20, 400) / 10.0);
  req.chroma_weight = r.range(0, 9) ? r.range(60, 1200) : r.range(-5, 0);
  req.est = c.with_states ? est : nullptr;
  req.cbf_bits[0] = static_cast<uint32_t>(r.range(0, 3000));
  req.cbf_bits[1] = static_cast<uint32_t>(r.range(0, 3000));
  const std::vector<uint8_t> canaries = out.snapshot(), est_before = est_block.snapshot();
  observation_t o;
  o.add_value(fn(&req));
  EXPECT_TRUE(out.written_only_inside(canaries, 2 * count, 1)) << "rdoq levels";
  EXPECT_TRUE(est_block.written_only_inside(est_before, int32_t(sizeof(cabac_est_t)), 1)) << "rdoq states";
  o.add(out.snapshot());
  o.add(est_block.snapshot());
  return o;
}

TEST_P(CheckasmQuant, RdoqSlotsMatchPortable) {
  const uint64_t seed = test_seed();
  for (int32_t slot = 2; slot < 4; slot++)
    for (int32_t log2 = 2; log2 <= 5; log2++)
      for (int32_t scan = 0; scan < 3; scan++)
        for (int32_t kind = 0; kind < int32_t(coef_kind::count); kind++)
          for (int32_t t = 0; t < 8; t++) {
            rng_t pick(seed + 7 * t + 131 * kind + 1031 * scan + 7919 * log2);
            const rdoq_case_t c{log2, scan, pick.range(0, 2), pick.range(0, 51), pick.range(0, 1), t != 7};
            const int32_t n = 1 << log2;
            auto body = [&](rdoq_fn fn, rng_t &r) {
              return run_rdoq(fn, c, r, [&](guarded_block &b, rng_t &rr) { fill_block(b, n, coef_kind(kind), rr); });
            };
            compare_slot(std::string(slot == 2 ? "rdoq" : "rdoq_alt") + " " + std::to_string(n) + "x" +
                             std::to_string(n) + " scan " + std::to_string(scan) + " qp " + std::to_string(c.qp),
                         slot_as<rdoq_fn>(ref_, slot), slot_as<rdoq_fn>(tst_, slot), pick.next(), body);
          }
}

TEST_P(CheckasmQuant, RdoqSlotsMatchPortableForOneValueAtEveryPosition) {
  const uint64_t seed = test_seed();
  for (int32_t slot = 2; slot < 4; slot++)
    for (int32_t log2 = 2; log2 <= 5; log2++) {
      const int32_t n = 1 << log2;
      rng_t pick(seed + 17 * log2 + slot);
      for (int32_t at = 0; at < n * n; at++) {
        const rdoq_case_t c{log2, log2 <= 3 ? pick.range(0, 2) : 0, pick.range(0, 2), pick.range(0, 51),
                            pick.range(0, 1), true};
        auto body = [&](rdoq_fn fn, rng_t &r) {
          return run_rdoq(fn, c, r, [&](guarded_block &b, rng_t &rr) { fill_single(b, n, at, rr); });
        };
        compare_slot(std::string(slot == 2 ? "rdoq" : "rdoq_alt") + " single at " + std::to_string(at),
                     slot_as<rdoq_fn>(ref_, slot), slot_as<rdoq_fn>(tst_, slot), seed + at, body);
      }
    }
}

// Sign hiding (slot 4) over levels quantised from every kind of block at
// every QP, then stirred: single levels far from the rest, the largest
// levels (+-32767, which may only go down), runs of ones, and blocks of
// random levels; rate weights of 0, of an encode's size and huge; the
// quantiser's own scales and shifts and the extremes 1 and 2^15, 1 and 30.
// The levels are changed in place inside their guarded block.
struct hide_case_t {
  int32_t log2, scan, qp, stir, weight_kind;
  coef_kind kind;
};

observation_t run_sign_hide(sign_hide_fn fn, const hide_case_t &c, rng_t &r) {
  const int32_t n = 1 << c.log2, count = n * n;
  const bool before = r.range(0, 1);
  guarded_block &in = int16_block(0, n, before, r), &out = int16_block(1, n, !before, r);
  fill_block(in, n, c.kind, r);
  int16_t *levels = out.as<int16_t>();
  const int16_t *coef = in.as<int16_t>();
  quant_params_t q = quant_params(c.qp, c.log2, r.range(0, 1));
  if (c.stir == 4) q = {r.range(0, 1) ? 1 : 32768, r.range(0, 1) ? 1 : 30, 0};
  for (int32_t i = 0; i < count; i++) {
    const int64_t v = coef[i], a = std::min<int64_t>(((v < 0 ? -v : v) * q.scale + q.offset) >> q.shift, 32767);
    levels[i] = static_cast<int16_t>(v < 0 ? -a : a);
  }
  for (int32_t i = 0; i < count; i++) {
    const int32_t roll = r.range(0, 15);
    if (c.stir == 1 && roll == 0) levels[i] = static_cast<int16_t>(r.range(-2, 2));
    if (c.stir == 2 && roll < 3) levels[i] = static_cast<int16_t>(r.range(0, 1) ? 32767 : -32767);
    if (c.stir == 3) levels[i] = static_cast<int16_t>(roll < 8 ? 0 : roll < 13 ? r.range(-1, 1) : r.range(-32767, 32767));
  }
  uint32_t nonzero = 0;
  for (int32_t i = 0; i < count; i++) nonzero += levels[i] != 0;
  const double qstep2 = std::exp2((c.qp - 4) / 3.0), step2 = std::exp2(2.0 * q.shift);
  const double weight = c.weight_kind == 0   ? 0.0
                        : c.weight_kind == 1 ? std::exp2(c.qp / 3.0) * r.range(20, 400) / 2560.0 * step2 / qstep2
                                             : 1e30;
  const std::vector<uint8_t> canaries = out.snapshot();
  observation_t o;
  o.add_value(fn(levels, coef, c.log2, c.scan, nonzero, q.scale, q.shift, weight));
  EXPECT_TRUE(out.written_only_inside(canaries, 2 * count, 1)) << "sign_hide levels";
  o.add(out.snapshot());
  return o;
}

TEST_P(CheckasmQuant, SignHideMatchesPortable) {
  const uint64_t seed = test_seed();
  for (int32_t log2 = 2; log2 <= 5; log2++)
    for (int32_t scan = 0; scan < 3; scan++)
      for (int32_t kind = 0; kind < int32_t(coef_kind::count); kind++)
        for (int32_t stir = 0; stir < 5; stir++)
          for (int32_t t = 0; t < (log2 == 5 ? 3 : 6); t++) {
            rng_t pick(seed + 3 * t + 37 * stir + 211 * kind + 1699 * scan + 9973 * log2);
            const hide_case_t c{log2, scan, pick.range(0, 51), stir, t % 3, coef_kind(kind)};
            compare_slot("sign_hide " + std::to_string(1 << log2) + " scan " + std::to_string(scan) + " kind " +
                             std::to_string(kind) + " stir " + std::to_string(stir) + " qp " + std::to_string(c.qp),
                         slot_as<sign_hide_fn>(ref_, 4), slot_as<sign_hide_fn>(tst_, 4), pick.next(),
                         [&](sign_hide_fn fn, rng_t &r) { return run_sign_hide(fn, c, r); });
          }
}

// The RDOQ first step of the highest tier in the flags against
// rdoq_prep_c: every rounded level, the group maps, the zero-level total,
// and the three candidate distortions wherever the rounded level is not 0
// (all the decision reads).  Parameters as the slots form them at every QP
// and size, with the chroma weights the fast variant multiplies by (1,
// 4096, the neutral 256 and random ones), and a scale too small for the
// vector products, which takes the scalar route.
struct prep_kernel_t {
  const char *name;
  rdoq_prep_fn fn;
};

prep_kernel_t prep_kernel(uint32_t flags) {
  if (flags & FLAG_AVX2) return {"rdoq_prep_avx2", rdoq_prep_avx2};
  if (flags & FLAG_SSSE3) return {"rdoq_prep_ssse3", rdoq_prep_ssse3};
  return {nullptr, nullptr};
}

rdoq_dist_params_t prep_params(int32_t log2, int32_t qp, int64_t weight) {
  const quant_params_t q = quant_params(qp, log2, 0);
  return {log2, q.scale, q.shift, 22 - 2 * log2, ((int64_t{1} << 40) + q.scale - 1) / q.scale, weight};
}

void expect_prep_equal(const prep_kernel_t &k, const int16_t *coef, const rdoq_dist_params_t &p, const std::string &what) {
  static rdoq_prep_t want, got;
  rdoq_prep_c(&want, coef, &p);
  k.fn(&got, coef, &p);
  const int32_t n = 1 << p.log2_size, groups = n / 4;
  const std::string label = std::string(k.name) + " " + std::to_string(n) + "x" + std::to_string(n) + " scale " +
                            std::to_string(p.scale) + " shift " + std::to_string(p.shift) + " weight " +
                            std::to_string(p.weight) + " " + what;
  ASSERT_EQ(want.group_mask, got.group_mask) << label;
  for (int32_t g = 0; g < groups * groups; g++) {
    if ((want.group_mask >> g) & 1) {
      ASSERT_EQ(want.group_map[g], got.group_map[g]) << label << " group " << g;
    }
  }
  for (int32_t i = 0; i < n * n; i++) {
    ASSERT_EQ(want.rounded[i], got.rounded[i]) << label << " at " << i;
    if (!want.rounded[i]) continue;
    ASSERT_EQ(want.level_dist[i], got.level_dist[i]) << label << " rounded level at " << i;
    ASSERT_EQ(want.below_dist[i], got.below_dist[i]) << label << " one below at " << i;
    ASSERT_EQ(want.zero_dist[i], got.zero_dist[i]) << label << " zero at " << i;
  }
}

TEST_P(CheckasmQuant, RdoqFirstStepKernelsMatchPortable) {
  const prep_kernel_t k = prep_kernel(GetParam());
  if (!k.fn) return;
  rng_t r(test_seed() + 5);
  for (int32_t log2 = 2; log2 <= 5; log2++) {
    const int32_t n = 1 << log2;
    for (int32_t kind = 0; kind < int32_t(coef_kind::count); kind++)
      for (int32_t qp = 0; qp <= 51; qp++)
        for (int64_t weight : {int64_t{256}, int64_t{1}, int64_t{4096}, int64_t{r.range(60, 1200)}}) {
          guarded_block &in = int16_block(0, n, (qp + kind) & 1, r);
          fill_block(in, n, coef_kind(kind), r);
          expect_prep_equal(k, in.as<int16_t>(), prep_params(log2, qp, weight),
                            "kind " + std::to_string(kind) + " qp " + std::to_string(qp));
          if (HasFatalFailure()) return;
        }
    for (int32_t at = 0; at < n * n; at++) {
      guarded_block &in = int16_block(0, n, at & 1, r);
      fill_single(in, n, at, r);
      expect_prep_equal(k, in.as<int16_t>(), prep_params(log2, r.range(0, 51), r.range(0, 1) ? 256 : r.range(1, 4096)),
                        "single at " + std::to_string(at));
      if (HasFatalFailure()) return;
    }
    // recip = 2^40 / 100 is beyond 32 bits.
    for (int32_t shift = 14; shift <= 20; shift++) {
      guarded_block &in = int16_block(0, n, shift & 1, r);
      fill_block(in, n, coef_kind::random, r);
      rdoq_dist_params_t p = prep_params(log2, 0, r.range(1, 4096));
      p.scale = 100;
      p.shift = shift;
      p.recip = ((int64_t{1} << 40) + 99) / 100;
      expect_prep_equal(k, in.as<int16_t>(), p, "scalar route");
      if (HasFatalFailure()) return;
    }
  }
}

// The fast decision's zero-flag sums of the highest tier in the flags
// against rdoq_zero_sums_c: sets of a group's entries (each entry alone
// and each left out, none, all, random ones) with the increments of every
// scan and pattern, random costs, the largest cost everywhere (the largest
// sums) and costs of 0; nothing written outside the seventeen sums.
TEST_P(CheckasmQuant, RdoqZeroSumsKernelsMatchPortable) {
  const uint32_t flags = GetParam();
  const char *name = flags & FLAG_AVX2 ? "rdoq_zero_sums_avx2" : "rdoq_zero_sums_ssse3";
  const rdoq_zero_sums_fn fn = flags & FLAG_AVX2    ? rdoq_zero_sums_avx2
                               : flags & FLAG_SSSE3 ? rdoq_zero_sums_ssse3
                                                    : nullptr;
  if (!fn) return;
  rng_t r(test_seed() + 11);
  constexpr uint16_t canary = 0xa5c3;
  for (int32_t type = 0; type < 3; type++)
    for (int32_t pattern = 0; pattern < 5; pattern++)
      for (int32_t costs = 0; costs < 3; costs++) {
        uint16_t cost[16];
        for (int32_t v = 0; v < 16; v++)
          cost[v] = static_cast<uint16_t>(costs == 0 ? r.range(0, 1469) : costs == 1 ? 1469 : 0);
        const uint8_t *inc = residual_ctx::scan_ctx_inc[type][pattern].data();
        // Every single entry in and out, nothing, everything, random sets.
        std::vector<uint32_t> sets = {0, 0xffff};
        for (int32_t k = 0; k < 16; k++) {
          sets.push_back(1u << k);
          sets.push_back(0xffff & ~(1u << k));
        }
        for (int32_t i = 0; i < 1000; i++) sets.push_back(static_cast<uint32_t>(r.range(0, 0xffff)));
        for (const uint32_t set : sets) {
          uint16_t want[17], got[33];
          for (uint16_t &g : got) g = canary;
          rdoq_zero_sums_c(want, inc, cost, set);
          fn(got + 8, inc, cost, set);
          // Formed only for a failure.
          auto label = [&] {
            return std::string(name) + " scan " + std::to_string(type) + " pattern " + std::to_string(pattern) +
                   " set " + std::to_string(set);
          };
          for (int32_t k = 0; k < 8; k++) ASSERT_EQ(got[k], canary) << label() << " wrote before its sums";
          for (int32_t k = 0; k <= 16; k++) ASSERT_EQ(want[k], got[8 + k]) << label() << " at " << k;
          for (int32_t k = 25; k < 33; k++) ASSERT_EQ(got[k], canary) << label() << " wrote after its sums";
        }
      }
}

INSTANTIATE_TEST_SUITE_P(, CheckasmQuant, ::testing::ValuesIn(flag_sets({0, 2, 3, 6, 7})), flags_name);

}  // namespace
