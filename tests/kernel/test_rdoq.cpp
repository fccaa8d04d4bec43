// Rate-distortion optimised quantisation (quant_funcs_t slots rdoq and
// rdoq_alt) judged by what the encoder pays: the pixel error after the real
// dequantiser and inverse transform, and the bits of the chosen levels
// counted bin by bin from the residual syntax (H.265 7.3.8.11, contexts of
// 9.3.4.2) with the CABAC states adapting as the coder's do.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/cabac_tables.h"
#include "common/primitives.h"
#include "common/rdoq.h"
#include "common/residual_ctx.h"
#include "residual_syntax_count.h"

namespace {

// Equality checks draw a new seed each run.  The coding-gain checks assert
// a statistic with a threshold, so they start from a fixed seed by default:
// an unlucky draw of blocks must not turn CI red.  TARN_TEST_SEED overrides
// both, to reproduce a run or to explore other block sets.
uint64_t announce_seed(const char *what, bool fixed_by_default = false) {
  const char *env = std::getenv("TARN_TEST_SEED");
  const uint64_t seed = env                ? std::strtoull(env, nullptr, 0)
                        : fixed_by_default ? uint64_t{0x5eed0f0dd5eed5ull}
                                           : (uint64_t{std::random_device{}()} << 32) ^ std::random_device{}();
  std::printf("[ seed ] %s: TARN_TEST_SEED=%llu\n", what, static_cast<unsigned long long>(seed));
  return seed;
}

const char *current_test_name() { return ::testing::UnitTest::GetInstance()->current_test_info()->name(); }

const scan_tables_t &scans() {
  static scan_tables_t t;
  static const bool built = (scan_tables_init(&t), true);
  (void)built;
  return t;
}

// Contexts the quantiser reads from (and advances in) est->state[186..189].
constexpr int copied_ctx[4] = {CTX_SIG_COEFF, CTX_SIG_COEFF + 27, CTX_GREATER1, CTX_GREATER1 + 16};
constexpr int copy_slot[4] = {186, 187, 188, 189};

using namespace residual_syntax_count;

// ------------------------------------------------------------- test blocks

struct rd_setup_t {
  int log2, plane, intra, qp, scan_type;
  uint32_t lambda;  // lambda * 256
};

bool is_chroma(const rd_setup_t &s) { return s.plane > 0; }

// The encoder's lambda for squared errors at a QP, times 256.
uint32_t lambda_q8(int qp) { return static_cast<uint32_t>(0.57 * std::pow(2.0, (qp - 12) / 3.0) * 256.0); }

// A prediction and a source whose difference looks like a residual: a
// gradient the predictor missed plus noise of a random strength.
struct pixel_block_t {
  std::vector<uint8_t> src = std::vector<uint8_t>(SRC_STRIDE * 32);
  std::vector<uint8_t> pred = std::vector<uint8_t>(RECON_STRIDE * 32);
};

void make_pixels(std::mt19937_64 &rng, int n, pixel_block_t *b) {
  std::uniform_real_distribution<double> slope(-1.5, 1.5), base(60, 190);
  const double sigmas[5] = {1.0, 2.5, 5.0, 10.0, 20.0};
  const double sigma = sigmas[rng() % 5];
  std::normal_distribution<double> noise(0.0, sigma);
  const double p0 = base(rng), pgx = slope(rng), pgy = slope(rng);
  const double rgx = slope(rng) * sigma / 4, rgy = slope(rng) * sigma / 4;
  for (int y = 0; y < n; y++)
    for (int x = 0; x < n; x++) {
      const double p = p0 + pgx * x + pgy * y;
      const double r = rgx * (x - n / 2) + rgy * (y - n / 2) + noise(rng);
      b->pred[static_cast<size_t>(y * RECON_STRIDE + x)] = static_cast<uint8_t>(std::clamp(std::lround(p), 0L, 255L));
      b->src[static_cast<size_t>(y * SRC_STRIDE + x)] = static_cast<uint8_t>(std::clamp(std::lround(p + r), 0L, 255L));
    }
}

// Luma intra 4x4 blocks use the DST (mode 1 here); 35 selects the DCT.
int transform_arg(const rd_setup_t &s) { return s.log2 == 2 && s.plane == 0 && s.intra ? 1 : 35; }

void forward(const transform_funcs_t &t, const rd_setup_t &s, const pixel_block_t &b, int16_t *coef) {
  switch (s.log2) {
    case 2: t.dct_fwd_4x4(coef, b.src.data(), b.pred.data(), transform_arg(s)); break;
    case 3: t.dct_fwd_8x8(coef, b.src.data(), b.pred.data()); break;
    case 4: t.dct_fwd_16x16(coef, b.src.data(), b.pred.data()); break;
    default: t.dct_fwd_32x32(coef, b.src.data(), b.pred.data()); break;
  }
}

// Squared sample error of the reconstruction from the levels.
uint64_t pixel_ssd(const transform_funcs_t &t, const quant_funcs_t &f, const rd_setup_t &s, const pixel_block_t &b,
                   const int16_t *levels) {
  const int n = 1 << s.log2, count = n * n;
  std::vector<uint8_t> rec(b.pred);
  std::vector<int16_t> coef(static_cast<size_t>(count));
  const quant_params_t d = dequant_params(s.qp, s.log2);
  f.dequant(coef.data(), levels, count, d.scale, d.shift);
  switch (s.log2) {
    case 2: t.dct_inv_add_4x4(rec.data(), coef.data(), transform_arg(s)); break;
    case 3: t.dct_inv_add_8x8(rec.data(), coef.data()); break;
    case 4: t.dct_inv_add_16x16(rec.data(), coef.data()); break;
    default: t.dct_inv_add_32x32(rec.data(), coef.data()); break;
  }
  uint64_t ssd = 0;
  for (int y = 0; y < n; y++)
    for (int x = 0; x < n; x++) {
      const int e = b.src[static_cast<size_t>(y * SRC_STRIDE + x)] - rec[static_cast<size_t>(y * RECON_STRIDE + x)];
      ssd += static_cast<uint64_t>(e * e);
    }
  return ssd;
}

// Bits of a block as the coder spends them: its coded block flag, then the
// residual when there is one.
uint64_t block_bits(const cabac_est_t &est, const rd_setup_t &s, const int16_t *levels) {
  bin_count_t c;
  std::memcpy(c.st, est.state, sizeof c.st);
  const int count = 1 << (2 * s.log2);
  const bool coded = std::any_of(levels, levels + count, [](int16_t l) { return l != 0; });
  c.bin(is_chroma(s) ? CTX_CBF_CHROMA : CTX_CBF_LUMA + 1, coded);
  if (coded) count_residual(c, levels, s.log2, is_chroma(s), s.scan_type);
  return c.bits;
}

// States trained on the plainly quantised blocks given, starting
// equiprobable, with the copies equal to the contexts they stand for.
cabac_est_t trained_states(const transform_funcs_t &t, const quant_funcs_t &f, const rd_setup_t &s,
                           const std::vector<pixel_block_t> &blocks) {
  bin_count_t c;
  std::memset(c.st, 127, sizeof c.st);
  const int count = 1 << (2 * s.log2);
  const quant_params_t q = quant_params(s.qp, s.log2, s.intra);
  std::vector<int16_t> coef(static_cast<size_t>(count)), levels(static_cast<size_t>(count));
  for (const pixel_block_t &b : blocks) {
    forward(t, s, b, coef.data());
    const bool coded = f.quant(levels.data(), coef.data(), count, q.scale, q.shift, q.offset) != 0;
    c.bin(is_chroma(s) ? CTX_CBF_CHROMA : CTX_CBF_LUMA + 1, coded);
    if (coded) count_residual(c, levels.data(), s.log2, is_chroma(s), s.scan_type);
  }
  cabac_est_t est{};
  std::memcpy(est.state, c.st, sizeof est.state);
  for (int i = 0; i < 4; i++) est.state[copy_slot[i]] = est.state[copied_ctx[i]];
  return est;
}

std::vector<pixel_block_t> make_block_set(std::mt19937_64 &rng, int log2, size_t size) {
  std::vector<pixel_block_t> blocks(size);
  for (pixel_block_t &b : blocks) make_pixels(rng, 1 << log2, &b);
  return blocks;
}

rdoq_request_t make_request(const rd_setup_t &s, int16_t *levels, const int16_t *coef, int chroma_weight,
                            cabac_est_t *est) {
  rdoq_request_t req{};
  req.levels = levels;
  req.coef = coef;
  req.log2_size = s.log2;
  req.plane = s.plane;
  req.qp = s.qp;
  req.is_intra = s.intra;
  req.scan_type = s.scan_type;
  req.lambda = s.lambda;
  req.chroma_weight = chroma_weight;
  req.est = est;
  // The coded flag priced as block_bits counts it.
  const int cbf_ctx = is_chroma(s) ? CTX_CBF_CHROMA : CTX_CBF_LUMA + 1;
  for (int b = 0; b < 2; b++) req.cbf_bits[b] = cabac_bit_cost_table[est->state[cbf_ctx] ^ b];
  return req;
}

int64_t rounded_level(int16_t c, const quant_params_t &q) {
  const int64_t a = (std::abs(int64_t{c}) * q.scale + (int64_t{1} << (q.shift - 1))) >> q.shift;
  return c < 0 ? -a : a;
}

// Every size, plane and scan; QPs spread over 0..51.
std::vector<rd_setup_t> every_shape(std::mt19937_64 &rng) {
  std::vector<rd_setup_t> out;
  for (int log2 = 2; log2 <= 5; log2++)
    for (int plane = 0; plane < 3; plane++)
      for (int scan = 0; scan < 3; scan++)
        for (int intra = 0; intra < 2; intra++)
          out.push_back({log2, plane, intra, static_cast<int>(rng() % 52), scan, 0});
  return out;
}

void random_coefficients(std::mt19937_64 &rng, int count, int16_t *coef) {
  std::uniform_int_distribution<int> full(-32768, 32767), pick(0, 9);
  const int spread = 1 << (rng() % 14);
  std::uniform_int_distribution<int> small(-spread, spread);
  for (int k = 0; k < count; k++) {
    const int kind = pick(rng);
    coef[k] = static_cast<int16_t>(kind == 0 ? full(rng) : kind < 4 ? 0 : small(rng));
  }
}

struct slot_t {
  const char *name;
  rdoq_fn fn;
};

std::vector<slot_t> slots() {
  quant_funcs_t f;
  setup_quant_primitives(0, &f);
  return {{"rdoq", f.rdoq}, {"rdoq_alt", f.rdoq_alt}};
}

// ------------------------------------------------------------------ tests

TEST(Rdoq, LambdaZeroRoundsToNearest) {
  std::mt19937_64 rng(announce_seed(current_test_name()));
  for (const slot_t &slot : slots())
    for (int rep = 0; rep < 6; rep++)
      for (rd_setup_t s : every_shape(rng)) {
        const int count = 1 << (2 * s.log2);
        std::vector<int16_t> coef(static_cast<size_t>(count)), levels(static_cast<size_t>(count));
        random_coefficients(rng, count, coef.data());
        cabac_est_t est{};
        for (uint8_t &b : est.state) b = static_cast<uint8_t>(rng() % 128);
        rdoq_request_t req = make_request(s, levels.data(), coef.data(), 256 + 256 * (rng() % 2), &est);
        const uint32_t nz = slot.fn(&req);
        const quant_params_t q = quant_params(s.qp, s.log2, s.intra);
        uint32_t expect_nz = 0;
        for (int k = 0; k < count; k++) {
          const int64_t want = rounded_level(coef[static_cast<size_t>(k)], q);
          expect_nz += want != 0;
          ASSERT_EQ(levels[static_cast<size_t>(k)], want)
              << slot.name << " log2 " << s.log2 << " plane " << s.plane << " qp " << s.qp << " coef "
              << coef[static_cast<size_t>(k)] << " at " << k;
        }
        ASSERT_EQ(nz, expect_nz) << slot.name;
      }
}

// Random blocks of every shape at lambdas up to the largest the request can
// carry: every level keeps the coefficient's sign and stays within the
// plainly rounded level, the count is right, and of *est only the copies
// may change.
TEST(Rdoq, LevelsStayWithinRoundedLevelAndOnlyCopiesChange) {
  std::mt19937_64 rng(announce_seed(current_test_name()));
  const uint32_t lambdas[4] = {1, 300, 1u << 20, UINT32_MAX};
  for (const slot_t &slot : slots())
    for (int rep = 0; rep < 8; rep++)
      for (rd_setup_t s : every_shape(rng)) {
        const int count = 1 << (2 * s.log2);
        std::vector<int16_t> coef(static_cast<size_t>(count)), levels(static_cast<size_t>(count), 0x5555);
        random_coefficients(rng, count, coef.data());
        s.lambda = rep < 4 ? lambdas[rep] : lambda_q8(s.qp);
        cabac_est_t est{};
        est.bits = static_cast<uint32_t>(rng());
        for (uint8_t &b : est.state) b = static_cast<uint8_t>(rng() % 128);
        const cabac_est_t before = est;
        const int weights[3] = {256, 512, 1};
        rdoq_request_t req = make_request(s, levels.data(), coef.data(), weights[rng() % 3], &est);
        const uint32_t nz = slot.fn(&req);
        const quant_params_t q = quant_params(s.qp, s.log2, s.intra);
        uint32_t counted = 0;
        for (int k = 0; k < count; k++) {
          const int64_t l = levels[static_cast<size_t>(k)], bound = rounded_level(coef[static_cast<size_t>(k)], q);
          counted += l != 0;
          ASSERT_TRUE(l == 0 || (l < 0) == (bound < 0)) << slot.name << " level " << l << " bound " << bound;
          ASSERT_LE(std::abs(l), std::abs(bound)) << slot.name << " log2 " << s.log2 << " qp " << s.qp;
        }
        ASSERT_EQ(nz, counted) << slot.name;
        ASSERT_EQ(est.bits, before.bits) << slot.name;
        for (int i = 0; i < 192; i++)
          if (i < 186 || i > 189) {
            ASSERT_EQ(est.state[i], before.state[i]) << slot.name << " state byte " << i;
          }
      }
}

TEST(Rdoq, AllZeroBlocksCodeNothingAndKeepTheCopies) {
  std::mt19937_64 rng(announce_seed(current_test_name()));
  for (const slot_t &slot : slots())
    for (rd_setup_t s : every_shape(rng)) {
      const int count = 1 << (2 * s.log2);
      // Zeros, and coefficients too small to round to a level even at QP 0.
      for (int16_t value : {int16_t{0}, int16_t{1}, int16_t{-1}}) {
        std::vector<int16_t> coef(static_cast<size_t>(count), value), levels(static_cast<size_t>(count), 7);
        s.qp = 0;
        s.lambda = lambda_q8(s.qp);
        cabac_est_t est{};
        for (uint8_t &b : est.state) b = static_cast<uint8_t>(rng() % 128);
        const cabac_est_t before = est;
        rdoq_request_t req = make_request(s, levels.data(), coef.data(), 256, &est);
        EXPECT_EQ(slot.fn(&req), 0u) << slot.name << " log2 " << s.log2;
        EXPECT_TRUE(std::all_of(levels.begin(), levels.end(), [](int16_t l) { return l == 0; })) << slot.name;
        EXPECT_EQ(std::memcmp(&est, &before, sizeof est), 0) << slot.name;
      }
    }
}

// Full-scale coefficients of both signs at the extreme QPs: the largest
// levels and the longest escape codes must neither overflow nor leave the
// level bounds (the sanitizer build runs this too).
TEST(Rdoq, ExtremeCoefficientsKeepBoundedLevels) {
  std::mt19937_64 rng(announce_seed(current_test_name()));
  for (const slot_t &slot : slots())
    for (rd_setup_t s : every_shape(rng))
      for (int qp : {0, 51})
        for (int pattern = 0; pattern < 3; pattern++) {
          const int count = 1 << (2 * s.log2);
          std::vector<int16_t> coef(static_cast<size_t>(count)), levels(static_cast<size_t>(count));
          for (int k = 0; k < count; k++)
            coef[static_cast<size_t>(k)] = pattern == 0 ? 32767 : pattern == 1 ? (k & 1 ? -32768 : 32767) : -32767;
          s.qp = qp;
          for (uint32_t lambda : {0u, lambda_q8(qp), UINT32_MAX}) {
            s.lambda = lambda;
            cabac_est_t est{};
            for (uint8_t &b : est.state) b = static_cast<uint8_t>(rng() % 128);
            rdoq_request_t req = make_request(s, levels.data(), coef.data(), 512, &est);
            const uint32_t nz = slot.fn(&req);
            const quant_params_t q = quant_params(qp, s.log2, s.intra);
            for (int k = 0; k < count; k++) {
              const int64_t l = levels[static_cast<size_t>(k)], bound = rounded_level(coef[static_cast<size_t>(k)], q);
              ASSERT_LE(std::abs(l), std::abs(bound)) << slot.name << " qp " << qp << " log2 " << s.log2;
              if (lambda == 0) {
                ASSERT_EQ(l, bound) << slot.name << " qp " << qp << " log2 " << s.log2;
              }
            }
            if (lambda == 0) {
              ASSERT_EQ(nz, static_cast<uint32_t>(count));
            }
          }
        }
}

// The table-driven contexts the coder and the quantiser share select, for
// every group of every block size, scan, plane and neighbour pattern, the
// context of H.265 9.3.4.2.5 at each position.
TEST(Rdoq, GroupSigContextsFollowTheStandardsSelection) {
  for (int log2 = 2; log2 <= 5; log2++)
    for (int scan_type = 0; scan_type < 3; scan_type++)
      for (int chroma = 0; chroma < 2; chroma++)
        for (int prev = 0; prev < 4; prev++) {
          const int n = 1 << log2;
          const uint16_t *scan = scans().scan[scan_type][log2 - 2];
          for (int g = 0; g < n * n / 16; g++) {
            uint8_t ctx[16];
            residual_ctx::group_sig_ctx(ctx, scan + 16 * g, log2, chroma, scan_type, prev);
            for (int k = 0; k < 16; k++) {
              const int p = scan[16 * g + k];
              const int expected = CTX_SIG_COEFF + sig_ctx_inc(p % n, p / n, log2, chroma, scan_type, prev & 1, prev >> 1);
              ASSERT_EQ(ctx[k], expected) << "log2 " << log2 << " scan " << scan_type << " chroma " << chroma
                                          << " neighbours " << prev << " group " << g << " position " << k;
            }
          }
        }
}

// The copies advance exactly as the four contexts they stand for would over
// the chosen levels' bins, counted from the copies' starting values.
TEST(Rdoq, CopiesAdvanceOverTheChosenLevels) {
  std::mt19937_64 rng(announce_seed(current_test_name()));
  transform_funcs_t t;
  setup_transform_primitives(0, &t);
  for (const slot_t &slot : slots())
    for (int rep = 0; rep < 10; rep++)
      for (rd_setup_t s : every_shape(rng)) {
        s.qp = 22 + static_cast<int>(rng() % 16);
        s.lambda = lambda_q8(s.qp);
        const int count = 1 << (2 * s.log2);
        pixel_block_t b;
        make_pixels(rng, 1 << s.log2, &b);
        std::vector<int16_t> coef(static_cast<size_t>(count)), levels(static_cast<size_t>(count));
        forward(t, s, b, coef.data());
        cabac_est_t est{};
        for (uint8_t &v : est.state) v = static_cast<uint8_t>(rng() % 128);
        const cabac_est_t before = est;
        rdoq_request_t req = make_request(s, levels.data(), coef.data(), 256, &est);
        if (slot.fn(&req) == 0) {
          EXPECT_EQ(std::memcmp(&est, &before, sizeof est), 0) << slot.name;
          continue;
        }
        bin_count_t c;
        std::memcpy(c.st, before.state, sizeof c.st);
        for (int i = 0; i < 4; i++) c.st[copied_ctx[i]] = before.state[copy_slot[i]];
        count_residual(c, levels.data(), s.log2, is_chroma(s), s.scan_type);
        for (int i = 0; i < 4; i++)
          ASSERT_EQ(est.state[copy_slot[i]], c.st[copied_ctx[i]])
              << slot.name << " copy of context " << copied_ctx[i] << " log2 " << s.log2 << " plane " << s.plane;
      }
}

// Decides one block of side 2^log2 (a residual block's or random
// coefficients, states trained or random, luma or chroma, any QP, lambdas
// from 0 to the largest, as rep selects) with the variant's shortcuts and
// the long way, and holds the two equal: levels, count and every state
// byte.  Returns whether the block was coded.
// Which coefficients a drawn block keeps.
enum class keep_t { whole, corner_group, one_in_corner_group };

bool expect_shortcuts_decide_as_the_long_way(std::mt19937_64 &rng, const transform_funcs_t &t, int log2,
                                             int32_t thorough, int rep, keep_t keep = keep_t::whole) {
  const rdoq_tier_t portable = {rdoq_prep_c, rdoq_zero_sums_c};
  const uint32_t lambdas[3] = {0, 1, UINT32_MAX};
  const int count = 1 << (2 * log2);
  rd_setup_t s{log2, static_cast<int>(rng() % 3), static_cast<int>(rng() % 2), static_cast<int>(rng() % 52),
               static_cast<int>(rng() % 3), 0};
  s.lambda = rep % 10 < 3 ? lambdas[rep % 10] : lambda_q8(s.qp) * (1 + static_cast<uint32_t>(rng() % 2));
  int16_t coef[1024];
  if (rep % 2) {
    random_coefficients(rng, count, coef);
  } else {
    pixel_block_t b;
    make_pixels(rng, 1 << log2, &b);
    forward(t, s, b, coef);
  }
  // Only the corner group (the first in every scan) may hold levels.
  if (keep != keep_t::whole)
    for (int i = 0; i < count; i++)
      if ((i & ((1 << log2) - 1)) >= 4 || (i >> log2) >= 4) coef[i] = 0;
  // Or a single coefficient of it, of any size from one that rounds to 0
  // to the largest.
  if (keep == keep_t::one_in_corner_group) {
    const int at = static_cast<int>((rng() % 4) << log2) + static_cast<int>(rng() % 4);
    const int magnitude = 1 + static_cast<int>(rng() % (1u << (rng() % 16)));
    std::fill(coef, coef + count, int16_t{0});
    coef[at] = static_cast<int16_t>(rng() % 2 ? -magnitude : std::min(magnitude, 32767));
  }
  cabac_est_t est{};
  for (uint8_t &v : est.state) v = static_cast<uint8_t>(rep % 4 ? rng() % 128 : 63 + rng() % 3);
  cabac_est_t general_est = est;
  int16_t levels[1024], general_levels[1024];
  const int weight = static_cast<int>(64 + rng() % 1024);
  rdoq_request_t req = make_request(s, levels, coef, weight, &est);
  rdoq_request_t general_req = make_request(s, general_levels, coef, weight, &general_est);
  const uint32_t nz = rdoq_decide(&req, thorough, portable);
  const std::string where = "rep " + std::to_string(rep) + " log2 " + std::to_string(log2) + " qp " +
                            std::to_string(s.qp);
  EXPECT_EQ(nz, rdoq_decide(&general_req, thorough, portable, true)) << where;
  EXPECT_EQ(std::memcmp(levels, general_levels, sizeof(int16_t) * static_cast<size_t>(count)), 0) << where;
  EXPECT_EQ(std::memcmp(&est, &general_est, sizeof est), 0) << where;
  return nz != 0;
}

// The fast decision's own way through blocks of one group gives what the
// general decision gives: levels, count and every state byte, on residual
// blocks and on random coefficients (ties, lone large levels, levels
// reaching the Rice steps), with states trained or random and lambdas from
// 0 to the largest.
TEST(Rdoq, SmallFastBlocksDecideAsTheGeneralDecision) {
  std::mt19937_64 rng(announce_seed(current_test_name()));
  transform_funcs_t t;
  setup_transform_primitives(0, &t);
  int coded = 0;
  for (int rep = 0; rep < 3000 && !HasFailure(); rep++)
    coded += expect_shortcuts_decide_as_the_long_way(rng, t, 2, 0, rep);
  EXPECT_GT(coded, 1000);
}

// The same for 8x8 to 32x32 blocks whose levels all lie in the first group,
// which the fast decision takes the same way: the DC context, the layout
// of a group with no coded neighbours and the larger blocks' last-position
// prefixes; and for blocks of every size that hold one coefficient, in the
// corner group, which it takes a shorter way still when that rounds to a
// level: its prefixes, the zero flags below it, its level against 0 and
// against coding nothing, and the copy of entry 0's flag context.  A third
// of the blocks are drawn whole, so that the ways taken only where nothing
// rounds beyond the first group are held against the general decision
// too, and so is the walk of every group's levels, which prices levels of
// 1 and 2 from tables made once per block and context set (it fails with
// the greater2 flag's context of the groups after the first taken from
// the first group's context set).
TEST(Rdoq, FirstGroupFastBlocksDecideAsTheGeneralDecision) {
  std::mt19937_64 rng(announce_seed(current_test_name()));
  transform_funcs_t t;
  setup_transform_primitives(0, &t);
  constexpr keep_t kinds[3] = {keep_t::whole, keep_t::corner_group, keep_t::one_in_corner_group};
  int coded[3][4] = {};
  for (int rep = 0; rep < 14400 && !HasFailure(); rep++) {
    const int log2 = 2 + rep % 4, kind = (rep / 4) % 3;
    coded[kind][log2 - 2] += expect_shortcuts_decide_as_the_long_way(rng, t, log2, 0, rep / 12, kinds[kind]);
  }
  for (int kind = 0; kind < 3; kind++)
    for (int k = 0; k < 4; k++) EXPECT_GT(coded[kind][k], 300) << "kind " << kind << " log2 " << k + 2;
}

// The thorough decision's shortcuts give what the long way gives: the
// second pass from the last position the first one started from takes over
// the first pass's levels group by group until a refinement changes one,
// the refinement stops pricing a changed level's effect on the later ones
// once the count of levels can no longer reach 8 by the group's last, and
// a group whose refinement changes nothing keeps the states, list and
// costs of its choice instead of being priced again, and a 4x4 block whose
// last position stays and whose refinement changes nothing keeps its first
// decision without a second one (it fails when a change does not put the
// levels back, or the refinement starts from another context set or stops
// short of the last position).
// On 4x4 to 16x16 blocks drawn as above, most of them 8x8 (several groups
// refined one after another).
TEST(Rdoq, ThoroughShortcutsDecideAsTheGeneralDecision) {
  std::mt19937_64 rng(announce_seed(current_test_name()));
  transform_funcs_t t;
  setup_transform_primitives(0, &t);
  constexpr int sizes[5] = {2, 3, 3, 3, 4};
  int coded[3] = {};
  for (int rep = 0; rep < 6000 && !HasFailure(); rep++) {
    const int log2 = sizes[rep % 5];
    coded[log2 - 2] += expect_shortcuts_decide_as_the_long_way(rng, t, log2, 1, rep);
  }
  for (int k = 0; k < 3; k++) EXPECT_GT(coded[k], 500) << "log2 " << k + 2;
}

// The distortion the quantiser weighs in the coefficient domain stands for
// pixel error through the transform's scale of 2^(7 - log2 N): the sample
// error energy of a residual equals its coefficients' energy times
// 2^(2 log2 N - 14) within the integer transform's rounding.
TEST(Rdoq, CoefficientEnergyScalesToSampleEnergy) {
  std::mt19937_64 rng(announce_seed(current_test_name()));
  transform_funcs_t t;
  setup_transform_primitives(0, &t);
  for (int log2 = 2; log2 <= 5; log2++) {
    const rd_setup_t s{log2, 1, 0, 30, 0, 0};
    const int n = 1 << log2;
    double coef_energy = 0, sample_energy = 0;
    for (int it = 0; it < 50; it++) {
      pixel_block_t b;
      make_pixels(rng, n, &b);
      std::vector<int16_t> coef(static_cast<size_t>(n * n));
      forward(t, s, b, coef.data());
      for (int16_t c : coef) coef_energy += static_cast<double>(c) * c;
      for (int y = 0; y < n; y++)
        for (int x = 0; x < n; x++) {
          const int r = b.src[static_cast<size_t>(y * SRC_STRIDE + x)] - b.pred[static_cast<size_t>(y * RECON_STRIDE + x)];
          sample_energy += r * r;
        }
    }
    EXPECT_NEAR(coef_energy * std::ldexp(1.0, 2 * log2 - 14) / sample_energy, 1.0, 0.03) << "log2 " << log2;
  }
}

// Where the coded block flag is all but certain to be 0, coding a block
// costs several bits more than leaving it empty: neither slot may code a
// block whose levels, flag included, cost more than coding nothing.
// The first step's zero-level distortions in closed form (rdoq.h) against
// the error formula every other candidate goes through, term by term: every
// size and QP, weights of every residue mod 4 up to the largest, blocks of
// random, odd, extreme and sparse coefficients.
TEST(Rdoq, ZeroLevelDistortionsEqualTheErrorFormula) {
  std::mt19937_64 rng(announce_seed(current_test_name()));
  std::vector<int16_t> coef(1024);
  rdoq_prep_t prep;
  for (int log2 = 2; log2 <= 5; log2++)
    for (int qp = 0; qp <= 51; qp++)
      for (int64_t weight : {int64_t{1}, int64_t{2}, int64_t{3}, int64_t{255}, int64_t{256}, int64_t{257},
                             static_cast<int64_t>(1 + rng() % 4096), int64_t{4095}, int64_t{4096}}) {
        const quant_params_t q = quant_params(qp, log2, 1);
        const rdoq_dist_params_t p{log2, q.scale, q.shift, 22 - 2 * log2,
                                   ((int64_t{1} << 40) + q.scale - 1) / q.scale, weight};
        const int count = 1 << (2 * log2);
        for (int pattern = 0; pattern < 4; pattern++) {
          for (int k = 0; k < count; k++) {
            const int64_t r = static_cast<int64_t>(rng() % 65536) - 32768;
            coef[static_cast<size_t>(k)] = static_cast<int16_t>(
                pattern == 0 ? r : pattern == 1 ? (r | 1) : pattern == 2 ? (k & 1 ? 32767 : -32768) : (rng() % 7 ? 0 : r));
          }
          rdoq_prep_c(&prep, coef.data(), &p);
          for (int k = 0; k < count; k++) {
            const int64_t c = coef[static_cast<size_t>(k)];
            const int64_t e8 = ((c < 0 ? -c : c) * p.scale * p.recip) >> 32;
            const int64_t d = (e8 * e8 * weight) >> p.dist_shift;
            ASSERT_EQ(rdoq_zero_dist(static_cast<int32_t>(c), &p), d) << "log2 " << log2 << " qp " << qp << " c " << c;
            if (prep.rounded[k]) {
              ASSERT_EQ(prep.zero_dist[k], d) << "log2 " << log2 << " qp " << qp << " at " << k;
            }
          }
        }
      }
}

// coeff_abs_level_remaining's bins in closed form against the binarisation
// written out: a Rice prefix below 4 << rice, else four ones and
// Exp-Golomb of order rice + 1, whose prefix grows the step bin by bin.
TEST(Rdoq, RemainingLevelBinsEqualTheBinarisation) {
  for (int rice = 0; rice <= 4; rice++)
    for (uint32_t v = 0; v < (1u << 17); v++) {
      uint32_t bins;
      if (v < (4u << rice)) {
        bins = (v >> rice) + 1 + static_cast<uint32_t>(rice);
      } else {
        uint32_t u = v - (4u << rice), k = static_cast<uint32_t>(rice) + 1;
        bins = 4;
        while (u >= (1u << k)) {
          u -= 1u << k;
          k++;
          bins++;
        }
        bins += 1 + k;
      }
      ASSERT_EQ(residual_ctx::remaining_bins(v, rice), bins) << "v " << v << " rice " << rice;
    }
}

TEST(Rdoq, BlocksAreCodedOnlyWhenWorthTheirCodedFlag) {
  std::mt19937_64 rng(announce_seed(current_test_name(), true));
  transform_funcs_t t;
  setup_transform_primitives(0, &t);
  quant_funcs_t f;
  setup_quant_primitives(0, &f);
  for (const slot_t &slot : slots())
    for (int log2 = 2; log2 <= 4; log2++)
      for (int plane = 0; plane < 2; plane++) {
        const rd_setup_t s{log2, plane, 0, 32, 0, lambda_q8(32)};
        const int count = 1 << (2 * log2);
        int coded = 0, too_dear = 0;
        for (int it = 0; it < 300; it++) {
          pixel_block_t b;
          make_pixels(rng, 1 << log2, &b);
          std::vector<int16_t> coef(static_cast<size_t>(count)), levels(static_cast<size_t>(count));
          std::vector<int16_t> empty(static_cast<size_t>(count), 0);
          forward(t, s, b, coef.data());
          cabac_est_t est{};
          std::memset(est.state, 127, sizeof est.state);
          est.state[is_chroma(s) ? CTX_CBF_CHROMA : CTX_CBF_LUMA + 1] = 0;  // strongest state, MPS 0
          const cabac_est_t before = est;
          rdoq_request_t req = make_request(s, levels.data(), coef.data(), 256, &est);
          if (!slot.fn(&req)) continue;
          coded++;
          const double cost = static_cast<double>(pixel_ssd(t, f, s, b, levels.data())) +
                              static_cast<double>(block_bits(before, s, levels.data())) * s.lambda / 65536.0;
          const double empty_cost = static_cast<double>(pixel_ssd(t, f, s, b, empty.data())) +
                                    static_cast<double>(block_bits(before, s, empty.data())) * s.lambda / 65536.0;
          // Half a bit of slack for the integer transform's departure from
          // an orthonormal one.
          too_dear += cost > empty_cost + 0.5 * s.lambda / 256.0;
        }
        EXPECT_LE(too_dear, coded / 50) << slot.name << " log2 " << log2 << " plane " << plane << ": " << too_dear
                                        << " of " << coded << " coded blocks cost more than an empty one";
      }
}

// Plain quantisation and both slots over one set of realistic blocks: the
// cost D + lambda R and its parts, D the pixel SSD after the real
// dequantiser and inverse transform, R the counted bits (states trained on
// the plainly quantised set).  Chroma runs rdoq with weight w and rdoq_alt
// with 2w: both then minimise D * w / 256 + lambda R, the cost all three
// are judged by.
struct rd_totals_t {
  double cost[3] = {0, 0, 0}, ssd[3] = {0, 0, 0}, bits[3] = {0, 0, 0};
};

rd_totals_t run_block_set(const transform_funcs_t &t, const quant_funcs_t &f, const rd_setup_t &s, int weight,
                          const std::vector<pixel_block_t> &blocks) {
  const std::vector<pixel_block_t> training(blocks.begin(), blocks.begin() + std::min<ptrdiff_t>(60, ssize(blocks)));
  const cabac_est_t trained = trained_states(t, f, s, training);
  const int count = 1 << (2 * s.log2);
  const quant_params_t q = quant_params(s.qp, s.log2, s.intra);
  std::vector<int16_t> coef(static_cast<size_t>(count)), levels(static_cast<size_t>(count));
  rd_totals_t out;
  for (const pixel_block_t &b : blocks) {
    forward(t, s, b, coef.data());
    for (int m = 0; m < 3; m++) {
      cabac_est_t est = trained;
      const int w = is_chroma(s) ? (m == 2 ? 2 * weight : weight) : 256;
      rdoq_request_t req = make_request(s, levels.data(), coef.data(), w, &est);
      if (m == 0) f.quant(levels.data(), coef.data(), count, q.scale, q.shift, q.offset);
      if (m == 1) f.rdoq(&req);
      if (m == 2) f.rdoq_alt(&req);
      const double d = static_cast<double>(pixel_ssd(t, f, s, b, levels.data()));
      const double r = static_cast<double>(block_bits(trained, s, levels.data()));
      out.ssd[m] += d;
      out.bits[m] += r / 256;
      out.cost[m] += d * (is_chroma(s) ? weight : 256) / 256 + r * s.lambda / 65536.0;
    }
  }
  return out;
}

// Intra 4x4 (and luma 8x8) blocks take any of the three scans.
std::vector<int> scans_of(int log2, int plane, int intra) {
  if (intra && (log2 == 2 || (log2 == 3 && plane == 0))) return {0, 1, 2};
  return {0};
}

struct rd_case_t {
  int log2;
  int plane;
};

class RdoqRd : public ::testing::TestWithParam<rd_case_t> {};

TEST_P(RdoqRd, SlotsCostLessThanPlainQuantisation) {
  const rd_case_t rc = GetParam();
  std::mt19937_64 rng(announce_seed(current_test_name(), true));
  transform_funcs_t t;
  setup_transform_primitives(0, &t);
  quant_funcs_t f;
  setup_quant_primitives(0, &f);
  rd_totals_t sum;
  for (int qp : {22, 27, 32, 37})
    for (int intra = 0; intra < 2; intra++)
      for (int scan_type : scans_of(rc.log2, rc.plane, intra))
        for (int weight : {256, 512}) {
          if (rc.plane == 0 && weight != 256) continue;
          const rd_setup_t s{rc.log2, rc.plane, intra, qp, scan_type, lambda_q8(qp)};
          const rd_totals_t r = run_block_set(t, f, s, weight, make_block_set(rng, rc.log2, rc.log2 == 5 ? 80 : rc.log2 == 2 ? 2500 : 200));
          for (int m = 0; m < 3; m++) {
            sum.cost[m] += r.cost[m];
            sum.ssd[m] += r.ssd[m];
            sum.bits[m] += r.bits[m];
          }
        }
  const char *names[3] = {"plain", "rdoq", "rdoq_alt"};
  for (int m = 1; m < 3; m++)
    std::printf("[ rd ] %dx%d plane %d %s at the same QP: cost %+.2f%%, bits %+.2f%%, ssd %+.2f%% vs plain\n",
                1 << rc.log2, 1 << rc.log2, rc.plane, names[m], 100 * (sum.cost[m] / sum.cost[0] - 1),
                100 * (sum.bits[m] / sum.bits[0] - 1), 100 * (sum.ssd[m] / sum.ssd[0] - 1));
  EXPECT_LT(sum.cost[1], 0.98 * sum.cost[0]) << "rdoq " << sum.cost[1] << " plain " << sum.cost[0];
  EXPECT_LT(sum.cost[2], 0.98 * sum.cost[0]) << "rdoq_alt " << sum.cost[2] << " plain " << sum.cost[0];
  EXPECT_LE(sum.cost[2], sum.cost[1]) << "rdoq_alt " << sum.cost[2] << " rdoq " << sum.cost[1];
}

// Bits at equal quality: over one set of blocks plain quantisation runs a
// sweep of QPs (lambda following the QP) and each slot the middle of it,
// QP 22 to 36, where blocks still carry several levels.  The plain curve,
// log bits against log SSD, is interpolated at every slot point.  Returns
// the slot's mean relative bit saving.
struct curve_point_t {
  int qp;
  double ssd, bits;
};

double saving_at_equal_ssd(const std::vector<curve_point_t> &plain, const std::vector<curve_point_t> &slot) {
  double sum = 0;
  int used = 0;
  for (const curve_point_t &p : slot) {
    if (p.qp < 22 || p.qp > 36) continue;
    for (size_t i = 0; i + 1 < plain.size(); i++) {
      const curve_point_t &a = plain[i], &b = plain[i + 1];
      if (p.ssd < a.ssd || p.ssd > b.ssd || a.ssd == b.ssd) continue;
      const double w = std::log(p.ssd / a.ssd) / std::log(b.ssd / a.ssd);
      sum += 1 - p.bits / std::exp(std::log(a.bits) + w * std::log(b.bits / a.bits));
      used++;
      break;
    }
  }
  return used ? sum / used : 0;
}

TEST_P(RdoqRd, SlotsSaveBitsAtEqualQuality) {
  const rd_case_t rc = GetParam();
  std::mt19937_64 rng(announce_seed(current_test_name(), true));
  transform_funcs_t t;
  setup_transform_primitives(0, &t);
  quant_funcs_t f;
  setup_quant_primitives(0, &f);
  for (int intra = 0; intra < 2; intra++) {
    const std::vector<int> scan_types = scans_of(rc.log2, rc.plane, intra);
    std::vector<std::vector<pixel_block_t>> sets;
    for (size_t i = 0; i < scan_types.size(); i++)
      sets.push_back(make_block_set(rng, rc.log2, rc.log2 == 5 ? 120 : rc.log2 == 2 ? 600 : 200));
    std::vector<curve_point_t> curve[3];
    for (int qp = 14; qp <= 44; qp += 2) {
      curve_point_t point[3] = {{qp, 0, 0}, {qp, 0, 0}, {qp, 0, 0}};
      for (size_t i = 0; i < scan_types.size(); i++) {
        const rd_setup_t s{rc.log2, rc.plane, intra, qp, scan_types[i], lambda_q8(qp)};
        const rd_totals_t r = run_block_set(t, f, s, 256, sets[i]);
        for (int m = 0; m < 3; m++) {
          point[m].ssd += r.ssd[m];
          point[m].bits += r.bits[m];
        }
      }
      for (int m = 0; m < 3; m++) curve[m].push_back(point[m]);
    }
    const double fast = saving_at_equal_ssd(curve[0], curve[1]), alt = saving_at_equal_ssd(curve[0], curve[2]);
    std::printf("[ rd ] %dx%d plane %d %s: bits saved at equal SSD: rdoq %.2f%%, rdoq_alt %.2f%%\n", 1 << rc.log2,
                1 << rc.log2, rc.plane, intra ? "intra" : "inter", 100 * fast, 100 * alt);
    // The means over many seeds are 3 to 10 %; a single run's set of
    // blocks scatters the intra 32x32 figure most.
    EXPECT_GT(fast, 0.005) << (intra ? "intra" : "inter");
    EXPECT_GT(alt, 0.005) << (intra ? "intra" : "inter");
  }
}

INSTANTIATE_TEST_SUITE_P(AllSizes, RdoqRd,
                         ::testing::Values(rd_case_t{2, 0}, rd_case_t{3, 0}, rd_case_t{4, 0}, rd_case_t{5, 0},
                                           rd_case_t{2, 1}, rd_case_t{3, 1}, rd_case_t{4, 1}),
                         [](const ::testing::TestParamInfo<rd_case_t> &info) {
                           const int n = 1 << info.param.log2;
                           return std::string(info.param.plane ? "Chroma" : "Luma") + std::to_string(n) + "x" +
                                  std::to_string(n);
                         });

}  // namespace
