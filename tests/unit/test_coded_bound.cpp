// The two facts the bound on a picture's coded size rests on, checked
// against the coder's own tables: no sequence of context-coded bins costs
// more than 1.32 bits a bin in the long run (plus a fixed amount per
// context), and no transform row sums to more than 64 N in magnitude, so
// levels stay under 410 N.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "bitstream/cabac.h"
#include "common/dct_matrix.h"
#include "encoder/encoder.h"

namespace {

struct edge_t {
  int32_t from, to;
  double bits;  // the most log2(range / sub-range) over every coding range
};

// The states of one context (state bytes 2 .. 127; 0 and 1 are the
// terminating state) with an edge per bin value.
std::vector<edge_t> context_walks() {
  std::vector<edge_t> edges;
  for (int32_t s = 2; s < 128; s++) {
    const int32_t p = 63 - (s >> 1);
    const uint32_t mps = static_cast<uint32_t>(s & 1);
    for (uint32_t bin = 0; bin < 2; bin++) {
      double most = 0;
      for (uint32_t range = 256; range <= 510; range++) {
        const uint32_t lps = cabac_lps_range(p, range);
        const uint32_t sub = bin == mps ? range - lps : lps;
        most = std::max(most, std::log2(static_cast<double>(range) / sub));
      }
      edges.push_back({s, cabac_transition_table[s * 2 + bin], most});
    }
  }
  return edges;
}

TEST(CodedBound, ContextBinsCostAtMost132HundredthsOfABitInTheLongRun) {
  const std::vector<edge_t> edges = context_walks();
  constexpr int32_t N = 128;
  // Karp: the maximum mean cycle from the heaviest walks of every length.
  const double none = -1e300;
  std::vector<std::vector<double>> most(N + 1, std::vector<double>(N, none));
  for (int32_t v = 2; v < N; v++) most[0][v] = 0;
  for (int32_t k = 1; k <= N; k++)
    for (const edge_t &e : edges)
      if (most[k - 1][e.from] > none) most[k][e.to] = std::max(most[k][e.to], most[k - 1][e.from] + e.bits);
  double cycle = none;
  for (int32_t v = 2; v < N; v++) {
    if (most[N][v] <= none) continue;
    double low = 1e300;
    for (int32_t k = 0; k < N; k++)
      if (most[k][v] > none) low = std::min(low, (most[N][v] - most[k][v]) / (N - k));
    cycle = std::max(cycle, low);
  }
  EXPECT_LE(cycle, 1.3175);
  EXPECT_GE(cycle, 1.3);  // a state near 1/2 coding its less probable bin again and again
  // A potential with bits <= 1.32 + phi(from) - phi(to) on every edge bounds
  // any walk by 1.32 bits a bin plus the potential's spread.
  std::vector<double> phi(N, 0.0);
  bool settled = false;
  for (int32_t round = 0; round < 10 * N && !settled; round++) {
    settled = true;
    for (const edge_t &e : edges)
      if (phi[e.from] + e.bits - 1.32 > phi[e.to] + 1e-12) {
        phi[e.to] = phi[e.from] + e.bits - 1.32;
        settled = false;
      }
  }
  ASSERT_TRUE(settled);
  const auto [lo, hi] = std::minmax_element(phi.begin() + 2, phi.end());
  EXPECT_LE(*hi - *lo, 14.8);
}

// Row sums of magnitudes of the size-N DCT: even rows are those of half the
// size over each half, odd rows the odd table over each half.
std::vector<int32_t> dct_row_sums(int32_t n) {
  if (n == 2) return {128, 128};
  const std::vector<int32_t> half = dct_row_sums(n / 2);
  std::vector<int32_t> rows(n);
  for (int32_t j = 0; j < n / 2; j++) {
    rows[2 * j] = 2 * half[j];
    int32_t odd = 0;
    for (int32_t i = 0; i < n / 2; i++) {
      const int32_t c = n == 4    ? dct_odd_4[j][i]
                        : n == 8  ? dct_odd_8[j][i]
                        : n == 16 ? dct_odd_16[j][i]
                                  : dct_odd_32[j][i];
      odd += std::abs(c);
    }
    rows[2 * j + 1] = 2 * odd;
  }
  return rows;
}

TEST(CodedBound, TransformRowsSumToAtMost64NSoLevelsStayUnder410N) {
  for (int32_t log2 = 2; log2 <= 5; log2++) {
    const int32_t n = 1 << log2;
    const std::vector<int32_t> rows = dct_row_sums(n);
    EXPECT_EQ(*std::max_element(rows.begin(), rows.end()), 64 * n) << n;  // the DC row
    // Residuals of +-255 through both stages with their rounding shifts.
    const int64_t first = (int64_t{255} * 64 * n + (1 << (log2 - 2))) >> (log2 - 1);
    const int64_t coef = (first * 64 * n + (int64_t{1} << (log2 + 5))) >> (log2 + 6);
    EXPECT_EQ(coef, 32640) << n;
    // QP 0: scale 26214, shift 21 - log2 N, any rounding offset below one
    // step; one more from rate-distortion quantisation or sign hiding.
    const int64_t level = ((coef * 26214) >> (21 - log2)) + 1 + 1;
    EXPECT_LT(level, 410 * n) << n;
  }
  for (const auto &row : dst_matrix_4) {
    int32_t sum = 0;
    for (int16_t c : row) sum += std::abs(c);
    EXPECT_LE(sum, 256);
  }
}

}  // namespace
