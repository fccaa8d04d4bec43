// Inter coding through the public interface: a static scene must cost
// almost nothing after its first picture, and a moving one must be found by
// the motion search.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "tarnhevcenc.h"

namespace {

struct picture_t {
  int32_t w, h;
  std::vector<uint8_t> y, u, v;
};

// A textured picture whose content at (x, y) depends only on (x + dx, y + dy),
// so later pictures show the same scene moved.
picture_t textured(int32_t w, int32_t h, int32_t dx, int32_t dy) {
  picture_t p{w, h, std::vector<uint8_t>(w * h), std::vector<uint8_t>(w * h / 4), std::vector<uint8_t>(w * h / 4)};
  auto tex = [](int32_t x, int32_t y) {
    uint32_t s = static_cast<uint32_t>(x / 3) * 73856093u ^ static_cast<uint32_t>(y / 3) * 19349663u;
    s ^= s >> 13;
    s *= 0x5bd1e995u;
    return static_cast<uint8_t>(64 + ((s >> 16) & 127) + ((x + y) & 31));
  };
  for (int32_t y = 0; y < h; y++)
    for (int32_t x = 0; x < w; x++) p.y[y * w + x] = tex(x + dx, y + dy);
  for (int32_t y = 0; y < h / 2; y++)
    for (int32_t x = 0; x < w / 2; x++) {
      p.u[y * (w / 2) + x] = static_cast<uint8_t>(tex(2 * x + dx + 7, 2 * y + dy) / 2 + 64);
      p.v[y * (w / 2) + x] = static_cast<uint8_t>(tex(2 * x + dx, 2 * y + dy + 5) / 2 + 32);
    }
  return p;
}

// Encodes the pictures and returns the bytes of each returned picture in
// coding order.
std::vector<int32_t> encode_sizes(const std::vector<picture_t> &pics, int32_t bframes) {
  tarnhevcenc_param_t param;
  param.size = sizeof(param);
  tarnhevcenc_default_param(&param);
  param.rcmode = TARNHEVCENC_RC_CQP;
  param.width = pics[0].w;
  param.height = pics[0].h;
  param.qp = 27;
  param.bframes = bframes;
  param.log_level = 0;
  tarnhevcenc_t *enc = tarnhevcenc_create(&param);
  EXPECT_NE(enc, nullptr);
  std::vector<int32_t> sizes;
  if (!enc) return sizes;
  const uint8_t *out = nullptr;
  for (size_t i = 0; i <= pics.size(); i++) {
    const uint8_t *planes[3] = {nullptr, nullptr, nullptr};
    const int32_t strides[3] = {pics[0].w, pics[0].w / 2, pics[0].w / 2};
    if (i < pics.size()) {
      planes[0] = pics[i].y.data();
      planes[1] = pics[i].u.data();
      planes[2] = pics[i].v.data();
    }
    do {
      const int n = tarnhevcenc_encode_frame(enc, i < pics.size() ? planes : nullptr, strides,
                                             static_cast<int64_t>(i), nullptr, &out);
      EXPECT_GE(n, 0);
      if (n > 0) sizes.push_back(n);
      if (i < pics.size() || n <= 0) break;
    } while (true);
  }
  while (tarnhevcenc_is_encoding(enc)) {
    const int n = tarnhevcenc_encode_frame(enc, nullptr, nullptr, 0, nullptr, &out);
    if (n <= 0) break;
    sizes.push_back(n);
  }
  tarnhevcenc_destroy(enc);
  return sizes;
}

class InterCoding : public ::testing::TestWithParam<int32_t> {};

TEST_P(InterCoding, StaticSceneCostsAlmostNothingAfterTheFirstPicture) {
  std::vector<picture_t> pics(8, textured(192, 128, 0, 0));
  const std::vector<int32_t> sizes = encode_sizes(pics, GetParam());
  ASSERT_EQ(sizes.size(), pics.size());
  for (size_t i = 1; i < sizes.size(); i++)
    // Predicted pictures weigh bits less than the key picture, so the first
    // of them may still spend a little on refining it.
    EXPECT_LT(sizes[i], sizes[0] / 25) << "picture " << i << " in coding order, first " << sizes[0];
}

TEST_P(InterCoding, SearchFindsAMovingScene) {
  std::vector<picture_t> pics;
  for (int32_t i = 0; i < 6; i++) pics.push_back(textured(192, 128, 2 * i, 2 * i));
  const std::vector<int32_t> sizes = encode_sizes(pics, GetParam());
  ASSERT_EQ(sizes.size(), pics.size());
  for (size_t i = 1; i < sizes.size(); i++)
    EXPECT_LT(sizes[i], sizes[0] / 4) << "picture " << i << " in coding order, first " << sizes[0];
}

INSTANTIATE_TEST_SUITE_P(BFrames, InterCoding, ::testing::Values(0, 3));

}  // namespace
