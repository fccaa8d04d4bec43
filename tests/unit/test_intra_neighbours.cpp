// The intra neighbour array against a sample-by-sample reading of the
// rules: every block position and size of every CTU of a picture whose
// right and bottom CTUs are cut by its edges, luma and chroma, from the
// reconstruction and from the source.  Each buffer a sample can come from
// holds its own values, so a sample read from the wrong one shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "encoder/encoder.h"
#include "rdo/block_coding.h"
#include "tests/unit/row_context.h"

namespace {

constexpr int32_t kWidth = 200, kHeight = 136;  // 4 x 3 CTUs, the last column and row cut

enum buffer_t { IN_CTU_REC = 1, IN_CTU_SRC, PICTURE, KEPT_LINE };

uint8_t value(int32_t buffer, int32_t plane, int32_t x, int32_t y) {
  uint32_t s = static_cast<uint32_t>(x + 7) * 73856093u ^ static_cast<uint32_t>(y + 11) * 19349663u ^
               static_cast<uint32_t>(plane * 5 + buffer) * 83492791u;
  s ^= s >> 13;
  s *= 0x5bd1e995u;
  s ^= s >> 15;
  return static_cast<uint8_t>(s);
}

struct IntraNeighbours : ::testing::Test {
  row_context_holder_t held{kWidth, kHeight};
  encoder_t *ctx = held.ctx;

  void SetUp() override {
    ASSERT_NE(ctx, nullptr);
    frame_t *rec = held.rec;
    for (int32_t c = 0; c < 3; c++) {
      const int32_t w = c ? kWidth / 2 : kWidth, h = c ? kHeight / 2 : kHeight, s = c ? 32 : 64;
      for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x++) rec->work[c][y * rec->stride[c] + x] = value(PICTURE, c, x, y);
      for (int32_t row = 0; row < ctx->ctu_rows; row++)
        for (int32_t x = 0; x < ctx->ctu_cols * s; x++)
          ctx->intra_line[c][row * ctx->ctu_cols * s + x] = value(KEPT_LINE, c, x, row * s + s - 1);
    }
  }

  void start_ctu(int32_t col, int32_t row) {
    ctx->ctu_x = col;
    ctx->ctu_y = row;
    ctx->ctu_addr = row * ctx->ctu_cols + col;
    for (int32_t c = 0; c < 3; c++) {
      const int32_t s = c ? 32 : 64;
      for (int32_t y = 0; y < s; y++)
        for (int32_t x = 0; x < s; x++) {
          *ctu_rec_at(ctx, c, x, y) = value(IN_CTU_REC, c, col * s + x, row * s + y);
          *ctu_src_at(ctx, c, x, y) = value(IN_CTU_SRC, c, col * s + x, row * s + y);
        }
    }
  }

  // Only luma blocks wholly inside the picture are tried whole (CUs
  // crossing its edges split).
  bool inside(int32_t x, int32_t y, int32_t n) const {
    return ctx->ctu_x * 64 + x + n <= kWidth && ctx->ctu_y * 64 + y + n <= kHeight;
  }

  // Plane sample (x, y), CTU-relative, as decoding order makes it available
  // to the block whose first 4x4 luma unit has z-order number cur_z.
  bool available(int32_t plane, int32_t x, int32_t y, int32_t cur_z) const {
    const int32_t sh = plane ? 1 : 0, s = 64 >> sh;
    const int32_t px = ctx->ctu_x * s + x, py = ctx->ctu_y * s + y;
    if (px < 0 || py < 0 || (px << sh) >= ctx->width || (py << sh) >= ctx->height) return false;
    const int32_t addr = (py / s) * ctx->ctu_cols + px / s;
    if (addr != ctx->ctu_addr) return addr < ctx->ctu_addr;
    return zorder_of((x << sh) >> 2, (y << sh) >> 2) < cur_z;
  }
  uint8_t sample(int32_t plane, int32_t x, int32_t y, bool from_source) const {
    const int32_t s = plane ? 32 : 64;
    const int32_t px = ctx->ctu_x * s + x, py = ctx->ctu_y * s + y;
    if (x >= 0 && y >= 0 && x < s && y < s) return value(from_source ? IN_CTU_SRC : IN_CTU_REC, plane, px, py);
    if (y < 0) return value(KEPT_LINE, plane, px, py);
    return value(PICTURE, plane, px, py);
  }

  // The array as the rules build it one sample at a time; counts the arrays
  // with missing samples.
  int32_t substituted = 0;
  std::vector<uint8_t> reference(int32_t plane, int32_t x, int32_t y, int32_t n, bool from_source) {
    const int32_t sh = plane ? 1 : 0;
    const int32_t cur_z = zorder_of((x << sh) >> 2, (y << sh) >> 2);
    std::vector<uint8_t> nb(4 * n + 1, 0);
    std::vector<bool> have(4 * n + 1, false);
    auto fetch = [&](int32_t i, int32_t sx, int32_t sy) {
      have[i] = available(plane, sx, sy, cur_z);
      if (have[i]) nb[i] = sample(plane, sx, sy, from_source);
    };
    fetch(0, x - 1, y - 1);
    for (int32_t k = 0; k < 2 * n; k++) {
      fetch(1 + k, x + k, y - 1);
      fetch(2 * n + 1 + k, x - 1, y + k);
    }
    std::vector<int32_t> order;
    for (int32_t i = 4 * n; i > 2 * n; i--) order.push_back(i);
    order.push_back(0);
    for (int32_t i = 1; i <= 2 * n; i++) order.push_back(i);
    int32_t first = -1;
    substituted += std::find(have.begin(), have.end(), false) != have.end();
    for (int32_t i : order)
      if (have[i]) {
        first = i;
        break;
      }
    if (first < 0) return std::vector<uint8_t>(4 * n + 1, 128);
    if (!have[order[0]]) nb[order[0]] = nb[first];
    for (size_t j = 1; j < order.size(); j++)
      if (!have[order[j]]) nb[order[j]] = nb[order[j - 1]];
    return nb;
  }
};

TEST_F(IntraNeighbours, EveryBlockOfEveryCtuMatchesTheSampleBySampleRules) {
  int32_t checked = 0;
  for (int32_t row = 0; row < ctx->ctu_rows; row++)
    for (int32_t col = 0; col < ctx->ctu_cols; col++) {
      start_ctu(col, row);
      for (int32_t plane = 0; plane < 3; plane++) {
        const int32_t sh = plane ? 1 : 0, s = 64 >> sh;
        for (int32_t n = 4; n <= s; n *= 2)
          for (int32_t y = 0; y < s; y += n)
            for (int32_t x = 0; x < s; x += n) {
              // Only blocks that start inside the picture are predicted.
              if (((col * s + x) << sh) >= kWidth || ((row * s + y) << sh) >= kHeight) continue;
              for (const bool from_source : {false, true}) {
                const std::vector<uint8_t> want = reference(plane, x, y, n, from_source);
                uint8_t got[4 * 64 + 1 + 16];
                std::memset(got, 0xa5, sizeof(got));
                intra_build_neighbours(ctx, plane, x, y, n, from_source ? 1 : 0, got);
                ASSERT_EQ(0, std::memcmp(want.data(), got, want.size()))
                    << "CTU " << col << "," << row << " plane " << plane << " block " << x << "," << y << " size "
                    << n << (from_source ? " from source" : "");
                // Nothing is written past the array.
                ASSERT_EQ(got[want.size()], 0xa5);
                checked++;
              }
            }
      }
    }
  EXPECT_GT(checked, 5000);
  EXPECT_GT(substituted, checked / 4);  // many arrays needed substitution
}

// A tree search trying the quarters of a block derives their arrays from
// the block's own: the same arrays as the rules give, with the smoothed
// copy, for every quarter of every luma block of 8x8 to 32x32 both of whose
// edges exist, nested down to 4x4 quarters as the search nests.
TEST_F(IntraNeighbours, QuartersOfATriedBlockGetTheRulesArrays) {
  int32_t derived = 0, declined = 0;
  std::function<void(int32_t, int32_t, int32_t)> quarters = [&](int32_t x, int32_t y, int32_t log2) {
    if (!intra_quarters_begin(ctx, x, y, log2)) {
      declined++;
      return;
    }
    const int32_t n = 1 << (log2 - 1);
    for (int32_t q = 0; q < 4; q++) {
      const int32_t qx = x + (q & 1) * n, qy = y + (q >> 1) * n;
      std::memset(ctx->nb_luma, 0xa5, sizeof(ctx->nb_luma));
      intra_prepare_refs(ctx, 0, qx, qy, log2 - 1);
      const std::vector<uint8_t> want = reference(0, qx, qy, n, false);
      ASSERT_EQ(0, std::memcmp(want.data(), ctx->nb_luma, want.size()))
          << "CTU " << ctx->ctu_x << "," << ctx->ctu_y << " quarter " << q << " of " << x << "," << y << " size "
          << (2 * n);
      if (n > 4) {
        uint8_t smooth[144];
        ctx->intra.ref_filter[log2 - 3](want.data(), smooth);
        ASSERT_EQ(0, std::memcmp(smooth, ctx->nb_luma_smooth, want.size()));
      }
      derived++;
      // The quarter's own quarters, tried with its array in place.
      if (n > 4 && inside(qx, qy, n)) quarters(qx, qy, log2 - 1);
      if (HasFatalFailure()) return;
    }
    intra_quarters_end(ctx);
  };
  for (int32_t row = 0; row < ctx->ctu_rows; row++)
    for (int32_t col = 0; col < ctx->ctu_cols; col++) {
      start_ctu(col, row);
      for (int32_t y = 0; y < 64; y += 32)
        for (int32_t x = 0; x < 64; x += 32) {
          if (!inside(x, y, 32)) continue;
          // The search has just predicted the whole block.
          intra_build_neighbours(ctx, 0, x, y, 32, 0, ctx->nb_luma);
          quarters(x, y, 5);
          ASSERT_EQ(ctx->quarter_depth, 0);
          if (HasFatalFailure()) return;
        }
    }
  EXPECT_GT(derived, 1000);
  EXPECT_GT(declined, 5);  // blocks on the picture's top or left edge
}

// A 4x4 luma block predicted by intra_predict_luma_4x4 gets every mode's
// prediction from the rules' array: as a quarter of an 8x8 block whose
// quarters are tried (its array derived from the block's), and through the
// general path where no such block is tried (none, or a 16x16 one) or its
// edge declines the derivation.
TEST_F(IntraNeighbours, A4x4BlockPredictsFromTheRulesArrayWithOrWithoutItsTriedBlock) {
  int32_t quick = 0, general = 0;
  auto check = [&](int32_t x, int32_t y) {
    const std::vector<uint8_t> want = reference(0, x, y, 4, false);
    uint8_t *rec = ctu_rec_at(ctx, 0, x, y);
    uint8_t kept[4][4];
    for (int32_t r = 0; r < 4; r++) std::memcpy(kept[r], rec + r * RECON_STRIDE, 4);
    for (int32_t mode = 0; mode < 35; mode++) {
      uint8_t pred[16];
      intra_predictor(ctx->intra, mode, 1, 2)(pred, 4, want.data());
      intra_predict_luma_4x4(ctx, x, y, mode);
      for (int32_t r = 0; r < 4; r++)
        ASSERT_EQ(0, std::memcmp(pred + 4 * r, rec + r * RECON_STRIDE, 4))
            << "CTU " << ctx->ctu_x << "," << ctx->ctu_y << " block " << x << "," << y << " mode " << mode
            << " row " << r;
      // Later blocks read the samples the rules' array was made from.
      for (int32_t r = 0; r < 4; r++) std::memcpy(rec + r * RECON_STRIDE, kept[r], 4);
    }
  };
  for (int32_t row = 0; row < ctx->ctu_rows; row++)
    for (int32_t col = 0; col < ctx->ctu_cols; col++) {
      start_ctu(col, row);
      for (int32_t y = 0; y < 64; y += 16)
        for (int32_t x = 0; x < 64; x += 16) {
          if (!inside(x, y, 16)) continue;
          intra_build_neighbours(ctx, 0, x, y, 16, 0, ctx->nb_luma);
          const bool outer = intra_quarters_begin(ctx, x, y, 4);
          for (int32_t q8 = 0; q8 < 4; q8++) {
            const int32_t x8 = x + (q8 & 1) * 8, y8 = y + (q8 >> 1) * 8;
            // The first 8x8 quarter's blocks with only the 16x16 block tried.
            const bool tried = q8 > 0;
            if (tried) intra_build_neighbours(ctx, 0, x8, y8, 8, 0, ctx->nb_luma);
            const bool begun = tried && intra_quarters_begin(ctx, x8, y8, 3);
            for (int32_t q = 0; q < 4; q++) {
              check(x8 + (q & 1) * 4, y8 + (q >> 1) * 4);
              if (HasFatalFailure()) return;
              (begun ? quick : general)++;
            }
            if (begun) intra_quarters_end(ctx);
          }
          if (outer) intra_quarters_end(ctx);
          ASSERT_EQ(ctx->quarter_depth, 0);
        }
    }
  EXPECT_GT(quick, 500);
  EXPECT_GT(general, 200);
}

}  // namespace
