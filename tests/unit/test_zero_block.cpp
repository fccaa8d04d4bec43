// Residuals told empty from their energy (rdo/zero_block.h): every DCT
// coefficient of a residual below the limit rounds to 0, checked on the
// residuals the limit is tightest for (scaled basis images) and on random
// and single-sample ones, with the portable transforms and this machine's;
// the limit is also near what the transform allows (a basis image a little
// stronger keeps a level), and a chroma block below it is coded as the
// quantiser would code it: empty, its levels cleared, nothing else touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "analysis/analysis_tables.h"
#include "bitstream/cabac.h"
#include "common/dct_matrix.h"
#include "encoder/encoder.h"
#include "encoder/param.h"
#include "rdo/block_coding.h"
#include "rdo/zero_block.h"
#include "tests/unit/row_context.h"

namespace {

struct residual_t {
  std::vector<uint8_t> src, pred;  // SRC_STRIDE and RECON_STRIDE rows
  uint32_t sse = 0;
};

// A residual given as differences, written as source minus prediction.
residual_t make_residual(const std::vector<int32_t> &r, int32_t n) {
  residual_t out;
  out.src.assign(static_cast<size_t>(SRC_STRIDE) * n, 0);
  out.pred.assign(static_cast<size_t>(RECON_STRIDE) * n, 0);
  for (int32_t y = 0; y < n; y++)
    for (int32_t x = 0; x < n; x++) {
      const int32_t d = r[static_cast<size_t>(y * n + x)];
      out.src[static_cast<size_t>(y * SRC_STRIDE + x)] = static_cast<uint8_t>(std::max(d, 0));
      out.pred[static_cast<size_t>(y * RECON_STRIDE + x)] = static_cast<uint8_t>(std::max(-d, 0));
      out.sse += static_cast<uint32_t>(d * d);
    }
  return out;
}

std::vector<int16_t> matrix(int32_t n) {
  std::vector<int16_t> m;
  auto take = [&](const auto &a) { m.assign(a.begin(), a.end()); };
  if (n == 4) take(dct_matrix<4>());
  if (n == 8) take(dct_matrix<8>());
  if (n == 16) take(dct_matrix<16>());
  if (n == 32) take(dct_matrix<32>());
  return m;
}

// The basis image of rows v (down) and u (across), times alpha, rounded.
std::vector<int32_t> basis_image(const std::vector<int16_t> &m, int32_t n, int32_t v, int32_t u, double alpha) {
  std::vector<int32_t> r(static_cast<size_t>(n * n));
  for (int32_t y = 0; y < n; y++)
    for (int32_t x = 0; x < n; x++) {
      const double d = alpha * m[static_cast<size_t>(v * n + y)] * m[static_cast<size_t>(u * n + x)];
      r[static_cast<size_t>(y * n + x)] = std::clamp(static_cast<int32_t>(std::lround(d)), -255, 255);
    }
  return r;
}

// The strongest basis image (v, u) whose SSE stays below sse_below.
std::vector<int32_t> strongest_below(const std::vector<int16_t> &m, int32_t n, int32_t v, int32_t u,
                                     uint32_t sse_below) {
  double lo = 0, hi = 1.0 / 64;
  for (int32_t i = 0; i < 60; i++) {
    const double mid = (lo + hi) / 2;
    if (make_residual(basis_image(m, n, v, u, mid), n).sse < sse_below)
      lo = mid;
    else
      hi = mid;
  }
  return basis_image(m, n, v, u, lo);
}

void forward(const transform_funcs_t &t, int32_t log2, const residual_t &r, int16_t *coef) {
  if (log2 == 2) t.dct_fwd_4x4(coef, r.src.data(), r.pred.data(), 35);
  if (log2 == 3) t.dct_fwd_8x8(coef, r.src.data(), r.pred.data());
  if (log2 == 4) t.dct_fwd_16x16(coef, r.src.data(), r.pred.data());
  if (log2 == 5) t.dct_fwd_32x32(coef, r.src.data(), r.pred.data());
}

// The largest coefficient magnitude as a multiple of the rounding
// threshold: below 1, every coefficient rounds to 0.
double peak_over_threshold(const transform_funcs_t &t, int32_t log2, int32_t qp, const residual_t &r) {
  int16_t coef[32 * 32];
  forward(t, log2, r, coef);
  const quant_params_t q = quant_params(qp, log2, 0);
  int32_t peak = 0;
  for (int32_t k = 0; k < (1 << (2 * log2)); k++) peak = std::max(peak, std::abs(int32_t{coef[k]}));
  return static_cast<double>(peak) * q.scale / std::ldexp(1.0, q.shift - 1);
}

uint32_t limit_of(int32_t log2, int32_t qp) { return zero_block_detail::sse_limits.by_size[log2 - 2][qp]; }

TEST(ZeroBlock, ResidualsBelowTheLimitRoundEveryCoefficientToZero) {
  transform_funcs_t portable{}, tier{};
  setup_transform_primitives(0, &portable);
  setup_transform_primitives(cpu_detect_flags(), &tier);
  std::mt19937 rng(7);
  for (int32_t log2 = 2; log2 <= 5; log2++) {
    const int32_t n = 1 << log2;
    const std::vector<int16_t> m = matrix(n);
    for (int32_t qp = 0; qp <= 51; qp++) {
      const uint32_t limit = limit_of(log2, qp);
      if (limit == 0) continue;
      std::vector<residual_t> cases;
      // The first rows carry the largest norms; the last ones the largest
      // magnitude sums.
      for (int32_t v : {0, 1, n / 2, n - 1})
        for (int32_t u : {0, 1, n - 1}) cases.push_back(make_residual(strongest_below(m, n, v, u, limit), n));
      for (int32_t k = 0; k < 4; k++) {
        std::vector<int32_t> r(static_cast<size_t>(n * n));
        for (int32_t &d : r) d = static_cast<int32_t>(rng() % 511) - 255;
        // Scaled down until below the limit.
        while (make_residual(r, n).sse >= limit)
          for (int32_t &d : r) d = static_cast<int32_t>(d * 0.9);
        cases.push_back(make_residual(r, n));
      }
      std::vector<int32_t> spike(static_cast<size_t>(n * n), 0);
      spike[static_cast<size_t>(rng() % static_cast<uint32_t>(n * n))] =
          std::min(255, static_cast<int32_t>(std::sqrt(static_cast<double>(limit - 1))));
      cases.push_back(make_residual(spike, n));
      for (size_t c = 0; c < cases.size(); c++) {
        ASSERT_TRUE(residual_rounds_to_zero(cases[c].sse, log2, qp));
        EXPECT_LT(peak_over_threshold(portable, log2, qp, cases[c]), 1.0)
            << "portable, size " << n << " qp " << qp << " case " << c << " sse " << cases[c].sse << " limit " << limit;
        EXPECT_LT(peak_over_threshold(tier, log2, qp, cases[c]), 1.0)
            << "tier, size " << n << " qp " << qp << " case " << c << " sse " << cases[c].sse << " limit " << limit;
      }
    }
  }
}

TEST(ZeroBlock, ABasisImageALittleAboveTheLimitKeepsALevel) {
  transform_funcs_t t{};
  setup_transform_primitives(0, &t);
  for (int32_t log2 = 2; log2 <= 5; log2++) {
    const int32_t n = 1 << log2;
    const std::vector<int16_t> m = matrix(n);
    for (int32_t qp = 22; qp <= 51; qp++) {
      const uint32_t limit = limit_of(log2, qp);
      // Where the rounding of the image's samples is small beside it.
      if (limit < 200) continue;
      double peak = 0;
      for (int32_t v : {0, 1})
        for (int32_t u : {0, 1})
          peak = std::max(peak, peak_over_threshold(t, log2, qp,
                                                    make_residual(strongest_below(m, n, v, u, limit * 3 / 2), n)));
      EXPECT_GE(peak, 1.0) << "size " << n << " qp " << qp << " limit " << limit;
    }
  }
}

TEST(ZeroBlock, AChromaBlockBelowTheLimitIsCodedEmptyAsTheQuantiserWouldCodeIt) {
  row_context_holder_t h(64, 64);
  encoder_t *ctx = h.ctx;
  ASSERT_NE(ctx, nullptr);
  std::mt19937 rng(11);
  clear_first_ctu_thorough(ctx);
  cabac_init_contexts(&ctx->cabac.est, 1, 30, 0);
  for (int32_t rdoq = 0; rdoq <= 1; rdoq++)
    for (int32_t log2 = 2; log2 <= 4; log2++)
      for (int32_t qp : {22, 30, 37}) {
        ctx->param.rdoq = rdoq;
        ctx->use_rdoq_alt = qp == 30;
        const int32_t n = 1 << log2, limit = static_cast<int32_t>(limit_of(log2, qp));
        ASSERT_GT(limit, 1);
        // A residual of one sample, just below the limit, and the same
        // block with a strong residual: empty, and coded.
        for (int32_t strong = 0; strong <= 1; strong++) {
          uint8_t *src = ctu_src_at(ctx, 1, 0, 0), *rec = ctu_rec_at(ctx, 1, 0, 0);
          for (int32_t y = 0; y < n; y++)
            for (int32_t x = 0; x < n; x++) {
              src[y * SRC_STRIDE + x] = static_cast<uint8_t>(100 + (strong ? rng() % 100 : 0));
              rec[y * RECON_STRIDE + x] = 100;
            }
          src[0] = static_cast<uint8_t>(100 + std::min(100, static_cast<int32_t>(std::sqrt(limit - 1.0))));
          std::vector<uint8_t> rec_before(rec, rec + n * RECON_STRIDE);
          const cabac_est_t est_before = ctx->cabac.est;
          std::vector<int16_t> levels(static_cast<size_t>(n * n), 77);
          const uint32_t nz = transform_block_code(ctx, 1, 0, 0, log2, qp, 0, 0, levels.data());
          if (strong) {
            EXPECT_GT(nz, 0u) << "size " << n << " qp " << qp;
            continue;
          }
          EXPECT_EQ(nz, 0u) << "size " << n << " qp " << qp << " rdoq " << rdoq;
          EXPECT_EQ(levels, std::vector<int16_t>(static_cast<size_t>(n * n), 0)) << "size " << n << " qp " << qp;
          EXPECT_EQ(std::vector<uint8_t>(rec, rec + n * RECON_STRIDE), rec_before) << "size " << n << " qp " << qp;
          EXPECT_EQ(std::memcmp(&ctx->cabac.est, &est_before, sizeof est_before), 0) << "size " << n << " qp " << qp;
        }
      }
}

}  // namespace
