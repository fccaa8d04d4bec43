// The memo of recent luma residual estimates behind residual_bits (4x4 and
// 8x8 luma blocks at the slowest level): a block estimated again
// gives the bits and the states the syntax counted bin by bin gives, when
// it repeats on the same states, when only states outside the pieces the
// memo compares have changed (so every state the estimate reads or writes
// must lie in those pieces), and when one byte of a piece has changed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "bitstream/ctu_writer.h"
#include "bitstream/param_sets.h"
#include "common/memory.h"
#include "encoder/encoder.h"
#include "rdo/quant_memo.h"
#include "residual_syntax_count.h"

namespace {

using residual_syntax_count::bin_count_t;
using residual_syntax_count::count_residual;

struct memo_ctx_t {
  encoder_t *ctx;
  pps_t pps{};
  scan_tables_t scans{};
  quant_memo_t *memo;
  memo_ctx_t() {
    scan_tables_init(&scans);
    ctx = static_cast<encoder_t *>(aligned_malloc(sizeof(encoder_t)));
    std::memset(static_cast<void *>(ctx), 0, sizeof(encoder_t));
    memo = static_cast<quant_memo_t *>(aligned_malloc(sizeof(quant_memo_t)));
    std::memset(static_cast<void *>(memo), 0, sizeof(quant_memo_t));
    ctx->scan_tables = &scans;
    ctx->pps = &pps;
    ctx->quant_memo = memo;
    ctx->analysis_level = RESIDUAL_MEMO_MIN_LEVEL;
    setup_pixel_primitives(7, &ctx->pixel, 1);
  }
  ~memo_ctx_t() {
    aligned_free(memo);
    aligned_free(ctx);
  }
};

// Bytes of the state array inside the pieces of a luma block of 2^log2.
std::vector<bool> piece_bytes(int32_t log2) {
  std::vector<bool> in(192, false);
  auto mark = [&](const uint8_t *at, size_t count) {
    for (size_t i = 0; i < count; i++)
      for (int32_t b = 0; b < 8; b++) in[at[i] + b] = true;
  };
  if (log2 == 2)
    mark(residual_memo_pieces_t<4>::at, sizeof residual_memo_pieces_t<4>::at);
  else
    mark(residual_memo_pieces_t<8>::at, sizeof residual_memo_pieces_t<8>::at);
  return in;
}

struct block_t {
  int32_t log2, chroma, scan, hiding;
  std::vector<int16_t> levels;
  cabac_est_t est;
};

void make_block(std::mt19937_64 &rng, block_t &b) {
  b.log2 = 2 + static_cast<int32_t>(rng() % 2);
  b.chroma = rng() % 8 == 0;  // chroma goes past the memo and must not meet luma entries
  b.scan = static_cast<int32_t>(rng() % 3);
  if (b.log2 == 3 && b.chroma) b.scan = 0;
  b.hiding = static_cast<int32_t>(rng() % 2);
  const int32_t count = 1 << (2 * b.log2);
  b.levels.assign(static_cast<size_t>(count), 0);
  const int32_t density = static_cast<int32_t>(1 + rng() % 60);
  for (int16_t &l : b.levels) {
    if (static_cast<int32_t>(rng() % 100) >= density) continue;
    const uint64_t r = rng() % 100;
    const int32_t m = r < 60 ? 1 : r < 80 ? 2 : r < 97 ? 3 + static_cast<int32_t>(rng() % 40) : 1 + static_cast<int32_t>(rng() % 5000);
    l = static_cast<int16_t>(rng() & 1 ? -m : m);
  }
  if (rng() % 4 == 0) std::fill(b.levels.begin(), b.levels.end(), 0);
  if (std::all_of(b.levels.begin(), b.levels.end(), [](int16_t v) { return v == 0; }))
    b.levels[rng() % static_cast<size_t>(count)] = 1;
  for (uint8_t &s : b.est.state) s = static_cast<uint8_t>(rng() % 126);
  b.est.bits = static_cast<uint32_t>(rng());
}

TEST(ResidualMemo, RepeatedEstimatesMatchTheSyntaxCountedBinByBin) {
  const uint64_t seed = 0x26e;
  std::mt19937_64 rng(seed);
  memo_ctx_t m;
  std::vector<block_t> recent(6);
  for (block_t &b : recent) make_block(rng, b);
  int32_t repeats[3] = {0, 0, 0};
  for (int32_t trial = 0; trial < 20000; trial++) {
    block_t &b = recent[rng() % recent.size()];
    const int32_t change = static_cast<int32_t>(rng() % 6);
    if (change == 0) make_block(rng, b);
    cabac_est_t est = b.est;
    if (!b.chroma && change >= 3) {
      // The same levels again on changed states: outside the pieces, or
      // one byte inside them.
      const std::vector<bool> in = piece_bytes(b.log2);
      if (change == 3) {
        for (int32_t i = 0; i < 192; i++)
          if (!in[static_cast<size_t>(i)]) est.state[i] = static_cast<uint8_t>(rng() % 126);
      } else if (change == 4) {
        int32_t i;
        do i = static_cast<int32_t>(rng() % 192); while (!in[static_cast<size_t>(i)]);
        est.state[i] = static_cast<uint8_t>((est.state[i] + 1 + rng() % 125) % 126);
      }
      repeats[change - 3]++;
    }
    m.pps.sign_data_hiding = b.hiding;
    bin_count_t ref;
    std::memcpy(ref.st, est.state, sizeof ref.st);
    count_residual(ref, b.levels.data(), b.log2, b.chroma, b.scan, b.hiding);
    const uint32_t start = est.bits;
    const uint32_t bits = residual_bits(m.ctx, &est, b.levels.data(), b.log2, b.chroma, b.scan);
    ASSERT_EQ(bits, ref.bits) << "seed " << seed << " trial " << trial << " log2 " << b.log2 << " chroma " << b.chroma
                              << " scan " << b.scan << " change " << change;
    ASSERT_EQ(est.bits - start, bits) << "trial " << trial;
    for (int32_t i = 0; i < 192; i++)
      ASSERT_EQ(est.state[i], ref.st[i]) << "state " << i << ", seed " << seed << " trial " << trial << " log2 "
                                         << b.log2 << " change " << change;
    // The next repeat starts from these states unless changed.
    if (rng() % 2) b.est = est;
  }
  EXPECT_GT(repeats[0], 1000);
  EXPECT_GT(repeats[1], 1000);
  EXPECT_GT(repeats[2], 1000);
}

}  // namespace
