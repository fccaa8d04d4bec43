// Frame rates at the ends of what the parameter record holds: rate control
// must neither overflow nor size its buffers by absurd counts, and a rate
// whose share of one picture passes the largest buffer is refused.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "encoder/encoder.h"
#include "ratecontrol/cbr.h"
#include "ratecontrol/ratecontrol.h"

namespace {

struct encoder_deleter {
  void operator()(encoder_t *e) const { encoder_close(e); }
};
using encoder_ptr = std::unique_ptr<encoder_t, encoder_deleter>;

tarnhevcenc_param_t rate_param(int32_t num, int32_t den) {
  tarnhevcenc_param_t p{};
  p.size = sizeof(p);
  EXPECT_EQ(tarnhevcenc_default_param(&p), 0);
  p.width = 64;
  p.height = 48;
  p.threads = 1;
  p.log_level = 0;
  p.fps_num = num;
  p.fps_den = den;
  return p;
}

TEST(FrameRates, ConstantBitrateWindowStaysAboutASecondAtMostAThousandPictures) {
  struct case_t {
    int32_t num, den, bitrate, want_span;
  };
  for (const case_t c : {case_t{2147483647, 1, 2000000, 1000}, case_t{2147483647, 2147483647, 1000000, 8},
                         case_t{60000, 1001, 2000, 60}, case_t{1, 7, 40, 8}}) {
    tarnhevcenc_param_t p = rate_param(c.num, c.den);
    p.rcmode = TARNHEVCENC_RC_CBR;
    p.bitrate = c.bitrate;
    encoder_ptr enc(encoder_open(&p));
    ASSERT_TRUE(enc) << c.num << "/" << c.den;
    ASSERT_TRUE(enc->rc->cbr_window);
    EXPECT_EQ(enc->rc->cbr_window->span, c.want_span) << c.num << "/" << c.den;
    EXPECT_LE(enc->rc->cbr_window->ring_size, 1000);
  }
}

TEST(FrameRates, PictureShareAboveTheLargestBufferIsRefused) {
  struct case_t {
    int32_t num, den, rcmode, bitrate, vbv_maxrate, vbv_bufsize;
    bool refused;
  };
  const case_t cases[] = {
      {1, 1000000, TARNHEVCENC_RC_CQP, 0, 100, 50, true},        // 100000000 kbit a picture
      {1, 1000000, TARNHEVCENC_RC_ABR, 100, 0, 0, true},
      {1, 7, TARNHEVCENC_RC_CBR, 2000000, 0, 0, true},            // the ceiling: 1.5 x 14000000
      {1, 7, TARNHEVCENC_RC_ABR, 285714, 0, 0, false},           // 1999998 kbit
      {1, 1000000, TARNHEVCENC_RC_CRF, 100, 0, 0, false},        // the bitrate is not used
      {1, 2147483647, TARNHEVCENC_RC_CQP, 0, 0, 0, false},
  };
  for (const case_t &c : cases) {
    tarnhevcenc_param_t p = rate_param(c.num, c.den);
    p.rcmode = c.rcmode;
    p.bitrate = c.bitrate;
    p.vbv_maxrate = c.vbv_maxrate;
    p.vbv_bufsize = c.vbv_bufsize;
    testing::internal::CaptureStderr();
    errno = 0;
    encoder_ptr enc(encoder_open(&p));
    const int e = errno;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(!enc, c.refused) << c.num << "/" << c.den << " rate " << c.bitrate << "/" << c.vbv_maxrate << ": " << err;
    if (c.refused) {
      EXPECT_EQ(e, EINVAL);
      EXPECT_NE(err.find("more than 2000000 kbit"), std::string::npos) << err;
    }
  }
}

// A buffer raised to one picture's refill at a low frame rate: 40 kbit/s at
// one picture in seven seconds is 280 kbit.
TEST(FrameRates, BufferRaisedToOnePictureAtALowRate) {
  tarnhevcenc_param_t p = rate_param(1, 7);
  p.rcmode = TARNHEVCENC_RC_ABR;
  p.bitrate = 40;
  p.vbv_maxrate = 40;
  p.vbv_bufsize = 10;
  testing::internal::CaptureStderr();
  encoder_ptr enc(encoder_open(&p));
  testing::internal::GetCapturedStderr();
  ASSERT_TRUE(enc);
  EXPECT_EQ(enc->rc->vbv_size, 280000);
  EXPECT_GE(enc->rc->vbv_size, enc->rc->vbv_rate);
}

}  // namespace
