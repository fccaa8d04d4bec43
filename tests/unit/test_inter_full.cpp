// The P and B decisions of the full analysis (levels 5-7) on constructed
// content, judged by what the coded picture's units hold: a static picture
// is skipped, a shifted one is coded with the shift and without residual,
// a textured block that the reference does not have is coded intra, and a
// CU decided without residual is written without.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "analysis/ctu_maps.h"
#include "analysis/cu_node.h"
#include "encoder/encoder.h"
#include "encoder/frame.h"
#include "motion/mv.h"

namespace {

using sample_fn = std::function<uint8_t(int32_t plane, int32_t x, int32_t y)>;


uint8_t noise(int32_t plane, int32_t x, int32_t y) {
  uint32_t s = static_cast<uint32_t>(x / 2) * 73856093u ^ static_cast<uint32_t>(y / 2) * 19349663u ^
               static_cast<uint32_t>(plane) * 83492791u;
  s ^= s >> 13;
  s *= 0x5bd1e995u;
  s ^= s >> 15;
  return static_cast<uint8_t>(64 + (s & 63) + ((3 * x + 2 * y) & 63));
}

// The coded units of each picture in coding order, with its type.
struct coded_picture_t {
  uint32_t type;
  std::vector<pic_unit_t> units;  // 8x8 units, row by row
};

// Called with the encoder before it is closed.
using inspect_fn = std::function<void(const encoder_t *enc)>;

std::vector<coded_picture_t> encode(const std::vector<sample_fn> &pictures, int32_t level, int32_t bframes,
                                    int32_t qp = 27, int32_t kWidth = 192, int32_t kHeight = 128,
                                    const inspect_fn &inspect = nullptr) {
  tarnhevcenc_param_t p{};
  p.size = sizeof(p);
  EXPECT_EQ(tarnhevcenc_default_param(&p), 0);
  p.rcmode = TARNHEVCENC_RC_CQP;
  p.width = kWidth;
  p.height = kHeight;
  p.complexity = level;
  p.bframes = bframes;
  p.qp = qp;
  p.threads = 1;
  p.log_level = 0;
  p.scenecut = 0;
  p.idr_period = 0;
  encoder_t *enc = encoder_open(&p);
  EXPECT_NE(enc, nullptr);
  std::vector<coded_picture_t> coded;
  if (!enc) return coded;
  std::vector<uint8_t> planes[3];
  auto collect = [&]() {
    const frame_t *rec = enc->held_recon;
    coded_picture_t c{rec->frame_type_code, {}};
    for (int32_t y8 = 0; y8 < kHeight / 8; y8++)
      for (int32_t x8 = 0; x8 < kWidth / 8; x8++) c.units.push_back(rec->units[y8 * rec->units_stride + x8]);
    coded.push_back(c);
  };
  const uint8_t *out = nullptr;
  for (const sample_fn &f : pictures) {
    for (int32_t c = 0; c < 3; c++) {
      const int32_t w = c ? kWidth / 2 : kWidth, h = c ? kHeight / 2 : kHeight;
      planes[c].resize(static_cast<size_t>(w * h));
      for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x++) planes[c][y * w + x] = f(c, x, y);
    }
    const uint8_t *pl[3] = {planes[0].data(), planes[1].data(), planes[2].data()};
    const int32_t strides[3] = {kWidth, kWidth / 2, kWidth / 2};
    const int n = encoder_encode_frame(enc, pl, strides, static_cast<int64_t>(coded.size()), nullptr, &out);
    EXPECT_GE(n, 0);
    if (n > 0) collect();
  }
  for (;;) {
    const int n = encoder_encode_frame(enc, nullptr, nullptr, 0, nullptr, &out);
    if (n <= 0) break;
    collect();
  }
  if (inspect) inspect(enc);
  encoder_close(enc);
  EXPECT_EQ(coded.size(), pictures.size());
  return coded;
}

bool has_coefficients(const pic_unit_t &u) { return (u.flags >> 4) != 0; }

class InterFull : public ::testing::TestWithParam<int32_t> {};

TEST_P(InterFull, StaticPictureIsSkippedAlmostEverywhere) {
  for (const int32_t bframes : {0, 1}) {
    SCOPED_TRACE(testing::Message() << "bframes " << bframes);
    // The first CTU has no neighbour to merge with; enough CTUs make it one
    // of many.
    const std::vector<coded_picture_t> coded = encode({noise, noise, noise}, GetParam(), bframes, 27, 320, 192);
    for (size_t i = 1; i < coded.size(); i++) {
      int32_t skipped = 0;
      for (const pic_unit_t &u : coded[i].units) skipped += u.flags & 1;
      EXPECT_GT(skipped * 10, static_cast<int32_t>(coded[i].units.size()) * 9) << skipped
          << "picture " << i << " (type " << coded[i].type << ")";
    }
  }
}

TEST_P(InterFull, ShiftedPictureIsCodedWithTheShiftAndNoResidual) {
  // The second picture shows the first moved 5 samples left and 3 up.
  const int32_t dx = 5, dy = 3;
  const sample_fn shifted = [](int32_t c, int32_t x, int32_t y) {
    return c ? noise(c, x + (dx + 1) / 2, y + (dy + 1) / 2) : noise(0, x + dx, y + dy);
  };
  // Chroma moves by half the luma shift rounded: keep it flat so that only
  // the luma motion matters.
  const sample_fn first = [](int32_t c, int32_t x, int32_t y) { return c ? static_cast<uint8_t>(128) : noise(0, x, y); };
  const sample_fn second = [&](int32_t c, int32_t x, int32_t y) { return c ? static_cast<uint8_t>(128) : shifted(0, x, y); };
  const std::vector<coded_picture_t> coded = encode({first, second}, GetParam(), 0, 32);
  ASSERT_EQ(coded.size(), 2u);
  const int32_t kWidth = 192, kHeight = 128;
  int32_t interior = 0, right = 0;
  for (int32_t y8 = 1; y8 < kHeight / 8 - 1; y8++)
    for (int32_t x8 = 1; x8 < kWidth / 8 - 1; x8++) {
      const pic_unit_t &u = coded[1].units[y8 * (kWidth / 8) + x8];
      interior++;
      right += !u.intra && u.ref_idx[0] == 0 && u.mv[0] == mv_make(4 * dx, 4 * dy) && !has_coefficients(u);
    }
  EXPECT_GT(right * 10, interior * 9) << right << " of " << interior << " units";
}

TEST_P(InterFull, NewlyUncoveredTexturedBlockIsCodedIntra) {
  // A flat picture; in the next one a band of vertical stripes appears
  // that no reference holds.  Below its first rows intra prediction
  // continues the stripes from the rows coded above; inter can only offer
  // the flat picture.
  const sample_fn flat = [](int32_t, int32_t, int32_t) { return static_cast<uint8_t>(100); };
  const sample_fn uncovered = [](int32_t c, int32_t x, int32_t y) {
    if (c == 0 && x >= 64 && x < 128 && y >= 16 && y < 112) return static_cast<uint8_t>(30 + ((x * 37) % 7) * 30);
    return static_cast<uint8_t>(100);
  };
  const std::vector<coded_picture_t> coded = encode({flat, uncovered}, GetParam(), 0, 27);
  ASSERT_EQ(coded.size(), 2u);
  const int32_t kWidth = 192;
  for (int32_t y8 = 6; y8 < 14; y8++)
    for (int32_t x8 = 8; x8 < 16; x8++) {
      const pic_unit_t &u = coded[1].units[y8 * (kWidth / 8) + x8];
      EXPECT_TRUE(u.intra) << "unit " << x8 << "," << y8;
      EXPECT_EQ(u.luma_mode[0], 26) << "unit " << x8 << "," << y8;
    }
}

// The inter CUs with their own motion (2Nx2N, no merge) in the decided
// tree below node (z, s) of the CTU the context coded last whose decision
// found the prediction alone cheapest (cbf byte 0): counted, and those of
// them written with coefficients counted apart.
void count_no_residual_cus(const encoder_t *ctx, int32_t z, int32_t s, int32_t *decided, int32_t *written_with) {
  const cu_node_t &n = ctx->nodes[node_index(z, s)];
  if (n.split) {
    for (int32_t k = 0; k < 4; k++) count_no_residual_cus(ctx, z + k * child_step(s), s - 1, decided, written_with);
    return;
  }
  if (n.pred_intra || n.skip || n.part_mode != 0 || n.pu.p2n.merge_flag || n.cbf_saved != 0) return;
  (*decided)++;
  *written_with += block_cbf(ctx->maps->unit.cbf, z, s) != 0;
}

TEST_P(InterFull, CuDecidedWithoutResidualIsWrittenWithout) {
  // Each 32x32 quarter of one CTU moves by its own vector, which no merge
  // candidate offers at first, and brightens a little: worth a
  // coefficient or two to the quantiser, but often not the CU's cost of
  // coding any.
  int32_t decided = 0, written_with = 0;
  const sample_fn first = [](int32_t c, int32_t x, int32_t y) { return c ? static_cast<uint8_t>(128) : noise(0, x, y); };
  for (const int32_t brighter : {1, 2, 3})
    for (const int32_t qp : {22, 27, 32, 37}) {
      const sample_fn second = [brighter](int32_t c, int32_t x, int32_t y) {
        static const int32_t shift[4][2] = {{5, 3}, {-3, 2}, {2, -5}, {-4, -1}};
        const int32_t *v = shift[(x >= 32) + 2 * (y >= 32)];
        return c ? static_cast<uint8_t>(128) : static_cast<uint8_t>(noise(0, x + v[0], y + v[1]) + brighter);
      };
      encode({first, second}, GetParam(), 0, qp, 64, 64, [&](const encoder_t *enc) {
        // The row context that coded the P picture's only CTU.
        for (int32_t f = 1; f < enc->frame_ctx_count; f++) {
          const encoder_t *ctx = enc->frame_ctx[f]->row_ctx[0];
          if (ctx->slice_type_code != 2 && ctx->analysis_level == GetParam())
            count_no_residual_cus(ctx, 0, 6, &decided, &written_with);
        }
      });
    }
  EXPECT_GT(decided, 0) << "the case never arose";
  EXPECT_EQ(written_with, 0) << "of " << decided << " CUs decided without residual";
}

INSTANTIATE_TEST_SUITE_P(Levels, InterFull, ::testing::Values(5, 6, 7),
                         [](const testing::TestParamInfo<int32_t> &i) { return "Level" + std::to_string(i.param); });

}  // namespace
