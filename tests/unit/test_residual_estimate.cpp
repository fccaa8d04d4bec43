// The residual rate estimate (residual_bits) against the residual syntax
// counted bin by bin the plain way: the same bits and the same final context
// states for every block size, scan, plane and sign-hiding setting, on every
// CPU tier of the pixel table whose group scan it reads.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "bitstream/ctu_writer.h"
#include "bitstream/param_sets.h"
#include "common/memory.h"
#include "common/rd_cost.h"
#include "common/residual_ctx.h"
#include "encoder/encoder.h"
#include "rdo/block_coding.h"
#include "residual_syntax_count.h"

namespace {

using residual_syntax_count::bin_count_t;
using residual_syntax_count::count_residual;

struct estimate_ctx_t {
  encoder_t *ctx;
  pps_t pps{};
  scan_tables_t scans{};
  explicit estimate_ctx_t(uint32_t cpu_flags) {
    scan_tables_init(&scans);
    ctx = static_cast<encoder_t *>(aligned_malloc(sizeof(encoder_t)));
    std::memset(static_cast<void *>(ctx), 0, sizeof(encoder_t));
    ctx->scan_tables = &scans;
    ctx->pps = &pps;
    setup_pixel_primitives(cpu_flags, &ctx->pixel, 1);
  }
  ~estimate_ctx_t() { aligned_free(ctx); }
};

// Levels of a few kinds: sparse or dense at random, groups whose only level
// is at their first scan position (the DC flag the decoder infers), one
// level anywhere, and magnitudes up to the int16 extremes.
void make_levels(std::mt19937_64 &rng, int kind, int log2, int scan_type, std::vector<int16_t> &levels) {
  const int n = 1 << log2, count = n * n;
  const uint16_t *scan = residual_syntax_count::reference_scans().scan[scan_type][log2 - 2];
  std::fill(levels.begin(), levels.end(), 0);
  auto magnitude = [&]() -> int {
    const uint64_t r = rng() % 100;
    if (r < 60) return 1;
    if (r < 80) return 2;
    if (r < 95) return 3 + static_cast<int>(rng() % 20);
    if (r < 98) return 1 + static_cast<int>(rng() % 32767);
    return 32767;
  };
  auto level = [&]() {
    const int m = magnitude();
    if (rng() & 1) return static_cast<int16_t>(m == 32767 && (rng() & 1) ? -32768 : -m);
    return static_cast<int16_t>(m);
  };
  switch (kind) {
    case 0: {  // sparse to dense
      const int density = static_cast<int>(1 + rng() % 100);
      for (int i = 0; i < count; i++)
        if (static_cast<int>(rng() % 100) < density) levels[i] = level();
      break;
    }
    case 1:  // only the first scan position of some groups
      for (int g = 0; g < count / 16; g++)
        if (rng() % 3 == 0) levels[scan[16 * g]] = level();
      break;
    default:  // one level
      levels[rng() % count] = level();
      break;
  }
  if (std::all_of(levels.begin(), levels.end(), [](int16_t v) { return v == 0; })) levels[scan[0]] = 1;
}

// f(log2, chroma, scan_type) for every block size, plane class and scan a
// block can have (horizontal and vertical scans exist for 4x4 blocks and
// 8x8 luma; chroma blocks stop at 16x16).
template <class F>
void each_block_kind(F f) {
  for (int log2 = 2; log2 <= 5; log2++)
    for (int chroma = 0; chroma < 2; chroma++) {
      if (chroma && log2 == 5) continue;
      for (int scan_type = 0; scan_type < 3; scan_type++)
        if (!scan_type || log2 == 2 || (log2 == 3 && !chroma)) f(log2, chroma, scan_type);
    }
}

// Estimation states at random and a bit count at random.
cabac_est_t random_states(std::mt19937_64 &rng) {
  cabac_est_t est{};
  for (uint8_t &s : est.state) s = static_cast<uint8_t>(rng() % 126);
  est.bits = static_cast<uint32_t>(rng());
  return est;
}

TEST(ResidualEstimate, MatchesTheSyntaxCountedBinByBin) {
  std::mt19937_64 rng(0x31e);
  uint32_t tiers[3] = {0, 2, 7};
  for (uint32_t flags : tiers) {
    estimate_ctx_t e(flags);
    each_block_kind([&](int log2, int chroma, int scan_type) {
      for (int sign_hiding = 0; sign_hiding < 2; sign_hiding++) {
        e.pps.sign_data_hiding = sign_hiding;
        std::vector<int16_t> levels(size_t{1} << (2 * log2));
        for (int trial = 0; trial < 60; trial++) {
          make_levels(rng, trial % 3, log2, scan_type, levels);
          cabac_est_t est = random_states(rng);
          bin_count_t ref;
          std::memcpy(ref.st, est.state, sizeof ref.st);
          count_residual(ref, levels.data(), log2, chroma, scan_type, sign_hiding);
          const uint32_t before = est.bits;
          const uint32_t bits = residual_bits(e.ctx, &est, levels.data(), log2, chroma, scan_type);
          ASSERT_EQ(bits, ref.bits) << "tier " << flags << " log2 " << log2 << " chroma " << chroma << " scan "
                                    << scan_type << " hiding " << sign_hiding << " trial " << trial;
          ASSERT_EQ(est.bits - before, bits);
          ASSERT_EQ(0, std::memcmp(est.state, ref.st, sizeof ref.st))
              << "states, tier " << flags << " log2 " << log2 << " trial " << trial;
        }
      }
    });
  }
}

}  // namespace

// The 4x4 block's non-zero map read four levels a word: the levels that
// carry into or already hold a lane's top bit (1, -1, 0x4000, the extremes)
// and zeros around them, against the map read level by level.
TEST(ResidualEstimate, NonzeroMapOfA4x4BlockFindsEveryLevel) {
  const int16_t values[] = {0, 1, -1, 2, 0x4000, 0x7fff, -32768, 0x100, -0x100, 0x8000 >> 1};
  std::mt19937 rng(31);
  for (int32_t trial = 0; trial < 4000; trial++) {
    int16_t levels[16];
    for (int16_t &l : levels)
      l = trial < 2000 ? values[rng() % (sizeof values / sizeof *values)] : static_cast<int16_t>(rng() % 3 ? 0 : rng());
    if (trial < 16) {  // one level alone at each position
      std::memset(levels, 0, sizeof levels);
      levels[trial] = trial & 1 ? -32768 : 1;
    }
    uint32_t plain = 0;
    for (int32_t i = 0; i < 16; i++) plain |= static_cast<uint32_t>(levels[i] != 0) << i;
    ASSERT_EQ(residual_ctx::nonzero_mask_4x4(levels), plain) << "trial " << trial;
  }
}

// A bounded estimate is the estimate wherever its bits times lambda stay
// below its reach, and reports bits that reach it (never more than the whole
// estimate, moving no state but the residual contexts') wherever the whole
// estimate's do: reaches that the fewest bits 0, 1, one below, at and one
// above the block's bits and a random count meet, under lambdas from 1 up,
// and an unreachable one, for every block size, plane and scan.
TEST(ResidualEstimate, WithinAReachStopsOnlyOnceItIsReached) {
  const uint64_t seed = 0x5eed;
  std::mt19937_64 rng(seed);
  estimate_ctx_t e(7);
  int32_t stopped = 0;
  each_block_kind([&](int log2, int chroma, int scan_type) {
    e.pps.sign_data_hiding = scan_type != 1;
    std::vector<int16_t> levels(size_t{1} << (2 * log2));
    for (int trial = 0; trial < 40; trial++) {
      make_levels(rng, trial % 3, log2, scan_type, levels);
      const cabac_est_t start = random_states(rng);
      cabac_est_t whole = start;
      const uint64_t all = residual_bits(e.ctx, &whole, levels.data(), log2, chroma, scan_type);
      const uint32_t lambdas[] = {1, 3, 977, 60000};
      const uint32_t lambda = lambdas[trial % 4];
      const uint64_t fewest[] = {0, 1, all - 1, all, all + 1, rng() % (all + 1)};
      std::vector<uint64_t> reaches{UINT64_MAX};
      // The reaches whose fewest bits are n: (n - 1) * lambda + 1 .. n * lambda.
      for (const uint64_t n : fewest) reaches.push_back(n ? n * lambda - rng() % lambda : 0);
      for (const uint64_t reach : reaches) {
        cabac_est_t est = start;
        const uint64_t bits = residual_bits_within(e.ctx, &est, levels.data(), log2, chroma, scan_type, lambda, reach);
        ASSERT_EQ(est.bits - start.bits, bits);
        if (all * lambda < reach) {
          ASSERT_EQ(bits, all) << "seed " << seed << " log2 " << log2 << " trial " << trial << " reach " << reach;
          ASSERT_EQ(0, std::memcmp(est.state, whole.state, sizeof est.state));
          continue;
        }
        ASSERT_GE(bits * lambda, reach) << "seed " << seed << " log2 " << log2 << " trial " << trial;
        ASSERT_LE(bits, all) << "seed " << seed << " log2 " << log2 << " trial " << trial;
        stopped += bits < all;
        // Only residual contexts move.
        for (int32_t i = 0; i < static_cast<int32_t>(sizeof est.state); i++)
          if (est.state[i] != start.state[i]) {
            ASSERT_TRUE(i >= CTX_SIG_COEFF && i < CTX_SAO_MERGE) << i;
          }
      }
    }
  });
  EXPECT_GT(stopped, 100);  // the reaches do stop estimates part way
}

// The scan of a block: an intra 4x4 block, or an intra luma 8x8 block,
// whose mode lies within four of horizontal (10) is scanned vertically,
// within four of vertical (26) horizontally; every other block, and every
// inter block, diagonally.
TEST(ResidualEstimate, ScanFollowsTheIntraModeOfSmallBlocksOnly) {
  for (int32_t intra = 0; intra <= 1; intra++)
    for (int32_t log2_size = 2; log2_size <= 5; log2_size++)
      for (int32_t plane = 0; plane <= 2; plane++)
        for (int32_t mode = 0; mode <= 34; mode++) {
          const bool follows = intra && (log2_size == 2 || (log2_size == 3 && plane == 0));
          const int32_t expected = !follows ? 0 : std::abs(mode - 10) <= 4 ? 2 : std::abs(mode - 26) <= 4 ? 1 : 0;
          ASSERT_EQ(scan_idx_for(intra, mode, log2_size, plane), expected)
              << "intra " << intra << " log2 " << log2_size << " plane " << plane << " mode " << mode;
        }
}

// A cost below its bound reaches it by further bits exactly when their
// bits times lambda reach rd_cost_reach: around the fewest such bits, at 0
// and at random, for lambdas from 0 up; a cost at the bound has nothing
// left to reach.
TEST(RdCostReach, FurtherBitsReachTheBoundExactlyWhenTheirWeightReachesIt) {
  const uint64_t seed = 0x4eac4;
  std::mt19937_64 rng(seed);
  for (int32_t trial = 0; trial < 20000; trial++) {
    const uint64_t lambda = trial % 7 == 0 ? 0 : 1 + rng() % (trial % 2 ? 300 : 1u << 20);
    const uint32_t bound = static_cast<uint32_t>(1 + rng() % 2000000);
    const uint32_t distortion = static_cast<uint32_t>(rng() % (uint64_t{bound} + 50));
    const uint32_t bits = static_cast<uint32_t>(rng() % 100000);
    const uint64_t reach = rd_cost_reach(distortion, bits, bound, lambda);
    if (rd_cost(distortion, bits, lambda) >= bound) {
      ASSERT_EQ(reach, 0u) << "seed " << seed << " trial " << trial;
      continue;
    }
    const uint64_t fewest = lambda ? (reach + lambda - 1) / lambda : 0;
    for (const uint64_t extra : {uint64_t{0}, fewest ? fewest - 1 : 0, fewest, fewest + 1, rng() % 200000}) {
      if (extra > 100000000) continue;
      const bool reached = rd_cost(distortion, static_cast<uint32_t>(bits + extra), lambda) >= bound;
      ASSERT_EQ(reached, extra * lambda >= reach)
          << "seed " << seed << " trial " << trial << " lambda " << lambda << " extra " << extra;
    }
  }
}
