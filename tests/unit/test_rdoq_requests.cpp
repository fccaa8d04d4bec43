// The vector tiers' RDOQ slots on the requests real encodes make: their
// estimation states, lambdas, chroma weights, coded-flag bits and blocks of
// every size, luma and chroma, intra and inter, which the harness's random
// requests only approximate.  Every call of both slots is answered again by
// the portable function on copies and must give the same levels, count
// and states.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <utility>
#include <vector>

#include "common/cabac_tables.h"
#include "encoder/encoder.h"
#include "encoder/param.h"

namespace {

quant_funcs_t portable, installed;
std::atomic<int64_t> calls[2], mismatches[2];

uint32_t checked(const rdoq_request_t *req, int32_t slot) {
  const int32_t count = 1 << (2 * req->log2_size);
  int16_t levels[1024];
  cabac_est_t est;
  rdoq_request_t copy = *req;
  copy.levels = levels;
  if (req->est) {
    est = *req->est;
    copy.est = &est;
  }
  const uint32_t want = (slot ? portable.rdoq_alt : portable.rdoq)(&copy);
  const uint32_t got = (slot ? installed.rdoq_alt : installed.rdoq)(req);
  calls[slot]++;
  if (got != want || std::memcmp(levels, req->levels, sizeof(int16_t) * static_cast<size_t>(count)) != 0 ||
      (req->est && std::memcmp(est.state, req->est->state, sizeof est.state) != 0))
    mismatches[slot]++;
  return got;
}

uint32_t checked_rdoq(const rdoq_request_t *req) { return checked(req, 0); }
uint32_t checked_rdoq_alt(const rdoq_request_t *req) { return checked(req, 1); }

// A textured picture moving by (t, t / 2): gradients, edges and noise, so
// that blocks of every size keep coefficients at every QP tried.
uint8_t sample(int32_t plane, int32_t x, int32_t y, int32_t t) {
  const int32_t u = x + t, v = y + t / 2;
  uint32_t h = static_cast<uint32_t>(u) * 73856093u ^ static_cast<uint32_t>(v) * 19349663u ^
               static_cast<uint32_t>(plane) * 83492791u;
  h ^= h >> 13;
  const int32_t texture = ((u * 5 + v * 3) & 127) + ((u / 8 + v / 8) & 1) * 60 + static_cast<int32_t>(h % 40);
  return static_cast<uint8_t>(plane ? 128 + (texture - 100) / 3 : texture);
}

void encode_checked(uint32_t flags, int32_t level, int32_t qp) {
  // The exhaustive level makes ten times the requests: fewer pictures.
  constexpr int32_t width = 192, height = 128;
  const int32_t pictures = level >= 7 ? 3 : 6;
  tarnhevcenc_param_t p{};
  p.size = sizeof(p);
  ASSERT_EQ(tarnhevcenc_default_param(&p), 0);
  p.rcmode = TARNHEVCENC_RC_CQP;
  p.width = width;
  p.height = height;
  p.complexity = level;
  p.bframes = 3;
  p.qp = qp;
  p.threads = 1;
  p.log_level = 0;
  p.cpu_flags = flags;
  encoder_t *enc = encoder_open(&p);
  ASSERT_NE(enc, nullptr);
  setup_quant_primitives(0, &portable);
  installed = enc->quant;
  // Frame contexts copy the instance's tables when it opens, row contexts
  // theirs for every job.
  for (int32_t i = 0; i < enc->frame_ctx_count; i++) {
    enc->frame_ctx[i]->quant.rdoq = checked_rdoq;
    enc->frame_ctx[i]->quant.rdoq_alt = checked_rdoq_alt;
  }
  std::vector<uint8_t> planes[3];
  const uint8_t *out = nullptr;
  for (int32_t t = 0; t <= pictures; t++) {
    if (t == pictures) {
      while (encoder_encode_frame(enc, nullptr, nullptr, 0, nullptr, &out) > 0) {
      }
      break;
    }
    for (int32_t c = 0; c < 3; c++) {
      const int32_t w = c ? width / 2 : width, h = c ? height / 2 : height;
      planes[c].resize(static_cast<size_t>(w * h));
      for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x++) planes[c][static_cast<size_t>(y * w + x)] = sample(c, x, y, t);
    }
    const uint8_t *pl[3] = {planes[0].data(), planes[1].data(), planes[2].data()};
    const int32_t strides[3] = {width, width / 2, width / 2};
    EXPECT_GE(encoder_encode_frame(enc, pl, strides, t, nullptr, &out), 0);
  }
  encoder_close(enc);
}

TEST(RdoqRequests, InstalledSlotsAnswerEveryRequestOfRealEncodesAsThePortableOnes) {
  const uint32_t detected = cpu_detect_flags();
  for (const uint32_t flags : {uint32_t{TARNHEVCENC_CPU_SSSE3}, uint32_t{TARNHEVCENC_CPU_SSSE3 | TARNHEVCENC_CPU_AVX2}}) {
    if ((detected & flags) != flags) continue;
    // Level 4 runs both variants, the exhaustive level 7 (ten times the
    // requests) only the fast one.
    for (const auto &[level, qp] : {std::pair{4, 22}, std::pair{4, 37}, std::pair{7, 30}}) {
      SCOPED_TRACE(testing::Message() << "cpu flags " << flags << " level " << level << " qp " << qp);
      for (int32_t s = 0; s < 2; s++) calls[s] = mismatches[s] = 0;
      encode_checked(flags, level, qp);
      EXPECT_GT(calls[0] + calls[1], 1000);
      EXPECT_EQ(mismatches[0], 0) << "rdoq, of " << calls[0] << " requests";
      EXPECT_EQ(mismatches[1], 0) << "rdoq_alt, of " << calls[1] << " requests";
    }
  }
}

}  // namespace
