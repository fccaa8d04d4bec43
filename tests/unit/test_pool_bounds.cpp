// The frame pool holds exactly the pictures and sub-pel plane sets an
// encode can need at once: whole encodes never ask for more than it made,
// the worst cases ask for every one of them, and with one taken away they
// fail loudly instead of coding on.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "encoder/encoder.h"

namespace {

struct settings_t {
  const char *name;
  int32_t threads, bframes, hierarchy, lookahead, complexity, subpel_planes, idr_period;
  // The kinds the settings need every one of: bit 0 reconstructions and
  // plane sets, bit 1 input pictures.
  int32_t fills;
};

// A 64x64 picture moving by a few samples a picture, with some texture, so
// that P and B pictures find references worth predicting from.
void fill_picture(std::vector<uint8_t> &y, std::vector<uint8_t> &c, int32_t n) {
  for (int32_t r = 0; r < 64; r++)
    for (int32_t x = 0; x < 64; x++)
      y[r * 64 + x] = static_cast<uint8_t>(((x + 3 * n) * 5 + r * 3) ^ ((x + 3 * n) * r >> 4));
  for (size_t i = 0; i < c.size(); i++) c[i] = static_cast<uint8_t>(128 + ((static_cast<int32_t>(i) + n) & 15));
}

encoder_t *open_encoder(const settings_t &s) {
  tarnhevcenc_param_t p{};
  p.size = sizeof(p);
  if (tarnhevcenc_default_param(&p) != 0) return nullptr;
  p.rcmode = TARNHEVCENC_RC_CQP;
  p.width = p.height = 64;
  p.threads = s.threads;
  p.bframes = s.bframes;
  p.hierarchy = s.hierarchy;
  p.lookahead = s.lookahead;
  p.complexity = s.complexity;
  p.subpel_planes = s.subpel_planes;
  p.idr_period = s.idr_period;
  p.qp = 32;
  p.log_level = 0;
  return encoder_open(&p);
}

// Feeds `pictures` pictures and drains; -1 at the first failing call.
int encode_all(encoder_t *enc, int32_t pictures) {
  std::vector<uint8_t> y(64 * 64), u(32 * 32), v(32 * 32);
  const int32_t strides[3] = {64, 32, 32};
  const uint8_t *out = nullptr;
  for (int32_t n = 0; n < pictures; n++) {
    fill_picture(y, u, n);
    v = u;
    const uint8_t *planes[3] = {y.data(), u.data(), v.data()};
    if (encoder_encode_frame(enc, planes, strides, n, nullptr, &out) < 0) return -1;
  }
  for (;;) {
    const int bytes = encoder_encode_frame(enc, nullptr, nullptr, 0, nullptr, &out);
    if (bytes < 0) return -1;
    if (bytes == 0 && enc->inflight_count == 0) return 0;
  }
}

constexpr int32_t PICTURES = 64;

// P pictures only at a level that keeps two references: every picture in
// flight is a reference, the buffer full.  B runs at least as long as the
// frame contexts: the lookahead's anchor is returned before the next
// decision while the queues are full.
const settings_t CASES[] = {
    {"P-only, 1 thread", 1, 0, 0, 6, 5, 2, 0, 1},
    {"P-only, 8 threads", 8, 0, 0, 6, 5, 2, 0, 1},
    {"B7 pyramid, lookahead 20, 1 thread", 1, 7, 2, 20, 4, 2, 0, 2},
    {"B16, 8 threads", 8, 16, 1, 16, 2, 1, 0, 2},
    {"B3 flat, 2 threads", 2, 3, 0, 4, 2, 2, 0, 0},
    {"B3, lookahead 10, 4 threads", 4, 3, 1, 10, 4, 1, 0, 0},
    {"key pictures every 5, B2", 8, 2, 1, 8, 3, 2, 5, 0},
    {"all intra", 8, 0, 0, 0, 4, 2, 1, 0},
    {"no planes", 3, 5, 2, 12, 1, 0, 0, 0},
};

TEST(PoolBounds, WholeEncodesStayWithinThePoolAndTheWorstCasesFillIt) {
  for (const settings_t &s : CASES) {
    encoder_t *enc = open_encoder(s);
    ASSERT_NE(enc, nullptr) << s.name;
    ASSERT_EQ(encode_all(enc, PICTURES), 0) << s.name;
    const frame_pool_t *pool = enc->pool;
    for (int32_t kind = 0; kind < 2; kind++) {
      const char *what = kind ? ": input pictures" : ": reconstructions";
      if (s.fills & (1 << kind))
        EXPECT_EQ(pool->peak[kind], pool->made[kind]) << s.name << what;
      else
        EXPECT_LE(pool->peak[kind], pool->made[kind]) << s.name << what;
    }
    EXPECT_EQ(pool->plane_set_count > 0, s.subpel_planes > 0 && s.idr_period != 1) << s.name;
    if (s.fills & 1)
      EXPECT_EQ(pool->plane_peak, pool->plane_set_count) << s.name << ": plane sets";
    else
      EXPECT_LE(pool->plane_peak, pool->plane_set_count) << s.name << ": plane sets";
    // Drained, the encoder holds only its decoded picture buffer (with their
    // planes), the lookahead's last anchor and the pictures returned last:
    // the rest went back.
    int32_t held = enc->held_recon ? 1 : 0, lent = 0;
    for (int32_t i = 0; i < enc->dpb_count; i++) {
      held += enc->dpb[i] != enc->held_recon;
      lent += enc->dpb[i]->planes_set != nullptr;
    }
    EXPECT_EQ(pool->in_use[0], held) << s.name;
    const frame_t *anchor = enc->lookahead->pending;
    EXPECT_EQ(pool->in_use[1], (enc->held_input ? 1 : 0) + (anchor && anchor != enc->held_input ? 1 : 0)) << s.name;
    EXPECT_EQ(pool->plane_set_count - pool->plane_free_count, lent) << s.name;
    encoder_close(enc);
  }
}

// Opens an encoder for the settings, takes one of `what` out of its pool
// for good (0 a reconstruction, 1 an input picture, 2 a sub-pel plane set)
// and encodes: what encode_all returns.
int encode_one_short(const settings_t &s, int32_t what) {
  encoder_t *enc = open_encoder(s);
  if (!enc) return -2;
  frame_pool_t *pool = enc->pool;
  frame_t *taken = nullptr;
  if (what < 2)
    taken = frame_get_unused(pool, what);
  else if (pool->plane_free_count > 0)
    pool->plane_free_count--;  // lent to nobody
  const int result = encode_all(enc, PICTURES);
  frame_release(pool, taken);
  encoder_close(enc);
  return result;
}

// An encode that needs one more than the pool holds fails and says why (a
// debug build stops there, in a child that makes its own encoder: the
// encoder's threads do not survive a fork).
TEST(PoolBounds, OneShortOfTheWorstCaseFailsLoudly) {
  static const char *const names[3] = {"reconstruction", "input picture", "sub-pel plane set"};
  for (const settings_t &s : CASES) {
    for (int32_t what = 0; what < 3; what++) {
      const bool fills = (s.fills & (what == 1 ? 2 : 1)) && (what < 2 || s.subpel_planes);
      if (!fills) continue;
      const std::string message = std::string("no ") + names[what] + " left";
#ifdef NDEBUG
      testing::internal::CaptureStderr();
      EXPECT_EQ(encode_one_short(s, what), -1) << s.name << ", one " << names[what] << " short";
      const std::string err = testing::internal::GetCapturedStderr();
      EXPECT_NE(err.find("internal error: " + message), std::string::npos) << s.name << ": " << err;
#else
      GTEST_FLAG_SET(death_test_style, "threadsafe");
      EXPECT_DEATH(encode_one_short(s, what), message) << s.name;
#endif
    }
  }
}

}  // namespace
