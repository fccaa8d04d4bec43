// Two-pass encoding through the library: the statistics text a first pass
// leaves (its format, read back by a second pass), every check of the
// reader with its message, crafted texts refused instead of read, and the
// plan meeting its target (also past 2^31 bits, with one picture, and under
// VBV).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "encoder/encoder.h"
#include "ratecontrol/ratecontrol.h"
#include "ratecontrol/twopass.h"

namespace {

struct api_deleter {
  void operator()(tarnhevcenc_t *e) const { tarnhevcenc_destroy(e); }
};
using api_ptr = std::unique_ptr<tarnhevcenc_t, api_deleter>;
struct encoder_deleter {
  void operator()(encoder_t *e) const { encoder_close(e); }
};
using encoder_ptr = std::unique_ptr<encoder_t, encoder_deleter>;

constexpr int32_t W = 128, H = 64;

tarnhevcenc_param_t base_param() {
  tarnhevcenc_param_t p{};
  p.size = sizeof(p);
  EXPECT_EQ(tarnhevcenc_default_param(&p), 0);
  p.width = W;
  p.height = H;
  p.fps_num = 25;
  p.fps_den = 1;
  p.threads = 1;
  p.log_level = 0;
  p.complexity = 0;
  p.bframes = 3;
  p.rcmode = TARNHEVCENC_RC_ABR;
  p.bitrate = 300;
  return p;
}

// Moving gradient pictures with some noise, so that every type costs bits.
struct picture_t {
  std::vector<uint8_t> y, u, v;
  int32_t stride[3] = {W, W / 2, W / 2};
  explicit picture_t(int32_t n) : y(W * H), u(W * H / 4, 128), v(W * H / 4, 128) {
    uint32_t seed = 12345u + static_cast<uint32_t>(n);
    for (int32_t i = 0; i < W * H; i++) {
      seed = seed * 1103515245u + 12345u;
      y[i] = static_cast<uint8_t>((i % W) * 2 + (i / W) + 3 * n + ((seed >> 16) & 15));
    }
  }
  const uint8_t *planes[3];
  const uint8_t *const *ptrs() {
    planes[0] = y.data();
    planes[1] = u.data();
    planes[2] = v.data();
    return planes;
  }
};

// Encodes `frames` pictures; returns the statistics text the library left
// after each returned picture (first pass), or "" otherwise.  -1 in *status
// when an encode call failed.
std::string encode(tarnhevcenc_param_t &p, int32_t frames, int *status = nullptr) {
  api_ptr enc(tarnhevcenc_create(&p));
  EXPECT_TRUE(enc);
  if (!enc) return "";
  std::string text;
  const uint8_t *out;
  int rc = 0;
  auto take = [&](int n) {
    if (n < 0) rc = -1;
    if (n > 0 && p.stats_out) text += p.stats_out;
  };
  for (int32_t i = 0; i < frames && rc == 0; i++) {
    picture_t pic(i);
    take(tarnhevcenc_encode_frame(enc.get(), pic.ptrs(), pic.stride, i, nullptr, &out));
  }
  while (rc == 0 && tarnhevcenc_is_encoding(enc.get())) take(tarnhevcenc_encode_frame(enc.get(), nullptr, nullptr, 0, nullptr, &out));
  if (status) *status = rc;
  return text;
}

std::string first_pass(int32_t frames = 9) {
  tarnhevcenc_param_t p = base_param();
  p.pass = 1;
  return encode(p, frames);
}

// Opens a second pass on text; returns the encoder (NULL when refused) and
// what the library printed.
encoder_ptr second_pass(const std::string &text, std::string *err, tarnhevcenc_param_t p = base_param(),
                        int refused_errno = EBADMSG) {
  p.pass = 2;
  p.stats_in = text.c_str();
  testing::internal::CaptureStderr();
  errno = 0;
  encoder_ptr enc(encoder_open(&p));
  const int e = errno;
  *err = testing::internal::GetCapturedStderr();
  if (!enc) {
    EXPECT_EQ(e, refused_errno) << *err;
  }
  return enc;
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

TEST(TwoPass, FirstPassTextHasTheFormatAndEveryPicture) {
  const std::string text = first_pass(9);
  const std::vector<std::string> lines = lines_of(text);
  ASSERT_EQ(lines.size(), 10u) << text;
  ASSERT_EQ(text.back(), '\n');
  const std::regex header(
      "width=128 height=64 idr-period=-?[0-9]+ opengop=[01] bframes=3 fps=25/1 lookahead=[0-9]+ scenecut=[0-9]+");
  EXPECT_TRUE(std::regex_match(lines[0], header)) << lines[0];
  const std::regex line(
      "([0-9]+) play:([0-9]+) qp:[0-9]+\\.[0-9]{2} [0-9]+\\.[0-9]{2} bits: [0-9]+ [0-9]+ [0-9]+ "
      "cu_count:([0-9]+) ([0-9]+) type:(idr|cra|i|p|bref|b)");
  std::vector<int> seen(9, 0);
  for (size_t i = 1; i < lines.size(); i++) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, line)) << lines[i];
    EXPECT_EQ(std::stoi(m[1]), static_cast<int>(i - 1)) << "coding order";
    seen.at(std::stoi(m[2]))++;
    EXPECT_LE(std::stoi(m[3]) + std::stoi(m[4]), (W / 8) * (H / 8)) << lines[i];
  }
  EXPECT_EQ(seen, std::vector<int>(9, 1));
  EXPECT_NE(lines[1].find("type:idr"), std::string::npos);
  // The text reads back.
  std::string err;
  auto enc = second_pass(text, &err);
  ASSERT_TRUE(enc) << err;
  EXPECT_EQ(enc->rc->two_pass, 1);
  EXPECT_EQ(enc->rc->entry_count, 9);
  EXPECT_EQ(ratecontrol_2pass_frame_type(enc.get(), 0, nullptr), TARNHEVCENC_TYPE_IDR);
}

// A first pass starved by its buffer, whose random decisions do not answer
// to the rows' QPs, drives those QPs past the top: the text still holds QPs
// the reader takes (0..51), so the second pass starts.
TEST(TwoPass, StarvedFirstPassReadsBack) {
  tarnhevcenc_param_t p = base_param();
  p.bitrate = 1;
  p.vbv_maxrate = 1;
  p.vbv_bufsize = 1;
  p.tune = TARNHEVCENC_TUNE_ZEROLATENCY;
  p.speed_mode = 0;
  p.random_decisions = 1;  // blocks whose bits the rows' QPs cannot steer
  tarnhevcenc_param_t p1 = p;
  p1.pass = 1;
  const std::string text = encode(p1, 9);
  std::vector<std::string> lines = lines_of(text);
  ASSERT_EQ(lines.size(), 10u) << text;
  double highest = 0.0;
  for (size_t i = 1; i < lines.size(); i++) {
    float qp = -1.0f, coded_qp = -1.0f;
    ASSERT_EQ(std::sscanf(lines[i].c_str(), "%*d play:%*d qp:%f %f", &qp, &coded_qp), 2) << lines[i];
    EXPECT_TRUE(qp >= 0.0f && qp <= 51.0f && coded_qp >= 0.0f && coded_qp <= 51.0f) << lines[i];
    highest = std::max(highest, static_cast<double>(qp));
  }
  EXPECT_GE(highest, 50.0) << "the buffer should have starved the first pass";
  std::string err;
  auto enc = second_pass(text, &err, p, ERANGE);
  EXPECT_EQ(err.find("out of range"), std::string::npos) << err;
}

// Also a single picture, whose plan has no bits before its last entry.
TEST(TwoPass, SecondPassCodesEveryPicture) {
  for (const int32_t frames : {1, 9}) {
    const std::string text = first_pass(frames);
    tarnhevcenc_param_t p = base_param();
    p.pass = 2;
    p.stats_in = text.c_str();
    int status = 1;
    encode(p, frames, &status);
    EXPECT_EQ(status, 0) << frames << " pictures";
  }
}

struct mismatch_case_t {
  const char *name;
  void (*change)(tarnhevcenc_param_t &);
  const char *message;
};

TEST(TwoPass, EveryMismatchIsReportedAndRefused) {
  const std::string text = first_pass(5);
  const mismatch_case_t cases[] = {
      {"size", [](tarnhevcenc_param_t &p) { p.width = 192; },
       "resolution does not match! Previous is 128x64, now is 192x64\n"},
      {"fps", [](tarnhevcenc_param_t &p) { p.fps_num = 30; }, "fps does not match!\n"},
      {"idr-period", [](tarnhevcenc_param_t &p) { p.idr_period = 17; }, "idr-period does not match! Previous is"},
      {"opengop", [](tarnhevcenc_param_t &p) { p.opengop = 1; }, "opengop does not match! Previous is 0, now is 1\n"},
      {"bframes", [](tarnhevcenc_param_t &p) { p.bframes = 2; }, "bframes does not match! Previous is 3, now is 2\n"},
      {"scenecut", [](tarnhevcenc_param_t &p) { p.scenecut = 7; }, "scenecut does not match! Previous is"},
  };
  for (const mismatch_case_t &c : cases) {
    tarnhevcenc_param_t p = base_param();
    c.change(p);
    std::string err;
    EXPECT_FALSE(second_pass(text, &err, p)) << c.name;
    EXPECT_NE(err.find(c.message), std::string::npos) << c.name << ": " << err;
  }
}

// A second pass plans an average bitrate: a constant rate factor is a
// setting it cannot follow, refused as a setting (EINVAL, naming the rate
// mode), not as a damaged statistics text (EBADMSG), also through the
// public call.
TEST(TwoPass, RateFactorModeIsRefusedAsASetting) {
  const std::string text = first_pass(5);
  tarnhevcenc_param_t p = base_param();
  p.rcmode = TARNHEVCENC_RC_CRF;
  std::string err;
  EXPECT_FALSE(second_pass(text, &err, p, EINVAL));
  EXPECT_NE(err.find("CRF"), std::string::npos) << err;
  EXPECT_EQ(err.find("damaged"), std::string::npos) << err;
  p.pass = 2;
  p.stats_in = text.c_str();
  testing::internal::CaptureStderr();
  errno = 0;
  api_ptr enc(tarnhevcenc_create(&p));
  const int e = errno;
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(enc);
  EXPECT_EQ(e, EINVAL);
}

TEST(TwoPass, HeaderLookaheadReplacesTheSetting) {
  std::string text = first_pass(5);
  const size_t at = text.find("lookahead=");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, text.find(' ', at) - at, "lookahead=3");
  tarnhevcenc_param_t p = base_param();
  p.lookahead = 20;
  std::string err;
  auto enc = second_pass(text, &err, p);
  ASSERT_TRUE(enc) << err;
  EXPECT_EQ(enc->param.lookahead, 3);
}

// Replaces field `field` (0-based, space-separated) of picture line `n`.
std::string with_field(std::string text, int n, int field, const std::string &value) {
  std::vector<std::string> lines = lines_of(text);
  std::istringstream in(lines.at(n + 1));
  std::vector<std::string> f;
  for (std::string w; in >> w;) f.push_back(w);
  f.at(field) = value;
  std::string l;
  for (size_t i = 0; i < f.size(); i++) l += (i ? " " : "") + f[i];
  lines[n + 1] = l;
  std::string out;
  for (const std::string &x : lines) out += x + "\n";
  return out;
}

TEST(TwoPass, CraftedTextsAreRefusedWithAMessage) {
  const std::string text = first_pass(5);
  struct crafted_t {
    const char *name;
    std::string text;
    const char *message;
  };
  const std::string long_line = text + std::string(300, '7') + " play:1\n";
  const crafted_t cases[] = {
      {"long type word", with_field(text, 2, 10, "type:brefbrefbrefbrefbrefbrefbrefbrefbref"), "no known picture type"},
      {"type word with tail", with_field(text, 2, 10, "type:bx"), "no known picture type"},
      {"empty type word", with_field(text, 2, 10, "type:"), "no known picture type"},
      {"duplicate display index", with_field(text, 3, 1, "play:0"), "display index 0 appears twice"},
      {"display index out of range", with_field(text, 3, 1, "play:9"), "outside the 5 pictures"},
      {"duplicate coding index", with_field(text, 3, 0, "0"), "coding index 0 appears twice"},
      {"negative bits", with_field(text, 1, 5, "-5"), "out of range"},
      {"over-long line", long_line, "is too long"},
      {"no header", text.substr(text.find('\n') + 1), "no statistics header"},
  };
  for (const crafted_t &c : cases) {
    std::string err;
    EXPECT_FALSE(second_pass(c.text, &err)) << c.name;
    EXPECT_NE(err.find(c.message), std::string::npos) << c.name << ": " << err;
  }
}

TEST(TwoPass, LastLineWithoutLineFeedIsNotRead) {
  const std::string text = first_pass(5);
  std::string err;
  // Garbage without its line feed is no picture line.
  auto enc = second_pass(text + "17 play:99 qp:nonsense type:zzz", &err);
  ASSERT_TRUE(enc) << err;
  EXPECT_EQ(enc->rc->entry_count, 5);
  // Without the last line feed the last picture is not read: its display
  // index is then outside the pictures that are.
  std::string cut = text.substr(0, text.size() - 1);
  EXPECT_FALSE(second_pass(cut, &err));
}

TEST(TwoPass, IntraPictureOfTypeThreeReadsBack) {
  std::string text = first_pass(5);
  text = with_field(text, 0, 10, "type:i");
  std::string err;
  auto enc = second_pass(text, &err);
  ASSERT_TRUE(enc) << err;
  int32_t coding = -1;
  EXPECT_EQ(ratecontrol_2pass_frame_type(enc.get(), 0, &coding), TARNHEVCENC_TYPE_I);
  EXPECT_EQ(coding, 0);
  EXPECT_EQ(enc->rc->entries[0].slice_type, 2);
}

// A stream cut short: a second pass with more pictures than the text
// stops at the first picture without an entry.
TEST(TwoPass, TruncatedTextStopsTheSecondPass) {
  std::string text = first_pass(5);
  text = text.substr(0, text.find('\n', text.find('\n') + 1) + 1);  // header + the first picture
  tarnhevcenc_param_t p = base_param();
  p.pass = 2;
  p.stats_in = text.c_str();
  int status = 0;
  testing::internal::CaptureStderr();
  encode(p, 5, &status);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, -1);
  EXPECT_NE(err.find("Incomplete 2pass log\n"), std::string::npos) << err;
}

// After a call that failed (a picture without a line), every later call
// fails again or returns what was coded before the failure, and the
// encoder ends cleanly, whether flushed to the end first or destroyed at
// once (the sanitizer build checks that nothing is touched after release
// or leaked).
TEST(TwoPass, CallsAfterAFailedOneNeitherCrashNorHang) {
  std::string text = first_pass(9);
  text = text.substr(0, text.find('\n', text.find('\n') + 1) + 1);  // header + the first picture
  for (const int32_t threads : {1, 4})
  for (const int32_t fed : {9, 40})
  for (const bool flush_after : {true, false}) {
    SCOPED_TRACE(::testing::Message() << threads << " threads, " << fed << " pictures, "
                                      << (flush_after ? "flushed after the failure" : "destroyed after the failure"));
    tarnhevcenc_param_t p = base_param();
    p.threads = threads;
    p.pass = 2;
    p.stats_in = text.c_str();
    testing::internal::CaptureStderr();
    api_ptr enc(tarnhevcenc_create(&p));
    ASSERT_TRUE(enc);
    const uint8_t *out = nullptr;
    bool failed = false;
    for (int32_t i = 0; i < fed && !failed; i++) {
      picture_t pic(i);
      failed = tarnhevcenc_encode_frame(enc.get(), pic.ptrs(), pic.stride, i, nullptr, &out) < 0;
    }
    for (int32_t k = 0; k < 50 && !failed; k++)
      failed = tarnhevcenc_encode_frame(enc.get(), nullptr, nullptr, 0, nullptr, &out) < 0;
    EXPECT_TRUE(failed);
    if (flush_after) {
      picture_t pic(fed);
      EXPECT_EQ(tarnhevcenc_encode_frame(enc.get(), pic.ptrs(), pic.stride, fed, nullptr, &out), -1);
      int32_t calls = 0, returned = 0;
      for (; calls < 100 && tarnhevcenc_is_encoding(enc.get()); calls++) {
        const int n = tarnhevcenc_encode_frame(enc.get(), nullptr, nullptr, 0, nullptr, &out);
        EXPECT_GE(n, -1);
        returned += n > 0;
      }
      EXPECT_LT(calls, 100) << "still encoding after 100 flushes";
      EXPECT_EQ(returned, 1) << "the first picture, coded before the failure";
      EXPECT_LE(tarnhevcenc_encode_frame(enc.get(), nullptr, nullptr, 0, nullptr, &out), 0);
    }
    enc.reset();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Incomplete 2pass log\n"), std::string::npos) << err;
    EXPECT_EQ(err.find("internal error"), std::string::npos) << err;
  }
}

// Lines of n pictures at fps: an IDR, then P pictures.
std::string synthetic_text(int32_t n, int32_t fps, int32_t tex, int32_t misc) {
  std::string t = "width=128 height=64 idr-period=250 opengop=0 bframes=0 fps=" + std::to_string(fps) +
                  "/1 lookahead=20 scenecut=40\n";
  for (int32_t i = 0; i < n; i++)
    t += std::to_string(i) + " play:" + std::to_string(i) + " qp:30.00 30.00 bits: " + std::to_string(tex) + " " +
         std::to_string(tex / 10) + " " + std::to_string(misc) + " cu_count:" + (i ? "10 20" : "128 0") +
         " type:" + (i ? "p" : "idr") + "\n";
  return t;
}

tarnhevcenc_param_t synthetic_param(int32_t fps, int32_t kbps) {
  tarnhevcenc_param_t p = base_param();
  p.fps_num = fps;
  p.bframes = 0;
  p.bitrate = kbps;
  return p;
}

// A log whose plan can be worked out by hand: an IDR picture of `idr_misc`
// other bits, then P pictures of `mv` motion and `misc` other bits and no
// texture, all at first-pass QP 30 (qscale 0.85 x 2^3 = 6.8), each coded
// intra throughout by its count (which keeps every picture's complexity
// its own).  Without B pictures a P picture's bits other than texture grow
// as 1/q, an intra picture's as 1/sqrt(q) (q >= 1): equal P pictures get
// one qscale q, at which they take (mv + misc) x 6.8 / q bits each.
std::string motion_only_text(int32_t n, int32_t fps, int32_t idr_misc, int32_t mv, int32_t misc) {
  std::string t = "width=128 height=64 idr-period=250 opengop=0 bframes=0 fps=" + std::to_string(fps) +
                  "/1 lookahead=20 scenecut=40\n";
  for (int32_t i = 0; i < n; i++)
    t += std::to_string(i) + " play:" + std::to_string(i) + " qp:30.00 30.00 bits: 0 " + std::to_string(i ? mv : 0) +
         " " + std::to_string(i ? misc : idr_misc) + " cu_count:128 0 type:" + (i ? "p" : "idr") + "\n";
  return t;
}
constexpr double FIRST_PASS_QSCALE = 6.8;
// The qscale at which a P picture of `rest` bits other than texture takes
// `bits`.
double p_qscale(double rest, double bits) { return FIRST_PASS_QSCALE * rest / bits; }
// The bits an intra picture of `rest` bits other than texture takes at q.
double intra_bits(double rest, double q) { return rest * std::sqrt(FIRST_PASS_QSCALE / std::max(q, 1.0)); }

TEST(TwoPass, PlanMeetsItsTargetPastThirtyOneBits) {
  // 2000 pictures at one per second and 2000000 kbit/s: 4e12 bits, of which
  // the IDR picture's, and 1999 P pictures sharing the rest.
  const std::string text = motion_only_text(2000, 1, 1000000, 1500000000, 1000000);
  std::string err;
  auto enc = second_pass(text, &err, synthetic_param(1, 2000000));
  ASSERT_TRUE(enc) << err;
  const ratecontrol_entry_t *e = enc->rc->entries;
  const double idr = intra_bits(1e6, e[0].new_qscale);
  const double each = (4e12 - idr) / 1999;
  const double q = p_qscale(1.501e9, each);
  ASSERT_GT(q, 1.0);
  for (int32_t i : {1, 2, 1000, 1999}) EXPECT_NEAR(e[i].new_qscale, q, q * 1e-4) << i;
  // expected_bits: the bits planned before the picture.
  EXPECT_EQ(e[0].expected_bits, 0u);
  EXPECT_NEAR(static_cast<double>(e[1].expected_bits), idr, 2.0);
  EXPECT_NEAR(static_cast<double>(e[1999].expected_bits), idr + 1998 * each, 1998 * each * 1e-4);
  EXPECT_GT(e[1999].expected_bits, uint64_t{1} << 40);
}

TEST(TwoPass, PlanOfOnePictureAndTooLowATarget) {
  // One IDR picture of 8000 motion and 1000 other bits at 300 kbit/s and 25
  // pictures a second: 12000 bits, at qscale 6.8 x (9000 / 12000)^2.
  std::string err;
  const std::string one_text = "width=128 height=64 idr-period=250 opengop=0 bframes=0 fps=25/1 lookahead=20 "
                               "scenecut=40\n0 play:0 qp:30.00 30.00 bits: 0 8000 1000 cu_count:128 0 type:idr\n";
  auto one = second_pass(one_text, &err, synthetic_param(25, 300));
  ASSERT_TRUE(one) << err;
  EXPECT_NEAR(one->rc->entries[0].new_qscale, FIRST_PASS_QSCALE * 0.75 * 0.75, 1e-3);
  // Other bits above the whole target: the target is refused (ERANGE), not
  // the file (EBADMSG, "damaged").
  EXPECT_FALSE(second_pass(synthetic_text(10, 25, 50000, 200000), &err, synthetic_param(25, 300), ERANGE));
  EXPECT_NE(err.find("target bitrate is too low\n"), std::string::npos) << err;
}

// Texture and motion bits near the top of their 32-bit fields in every
// line: the plan's arithmetic stays defined (the sanitizer build stops at
// an overflow) and plans a finite qscale for every picture.
TEST(TwoPass, PlanOfHugeBitCountsStaysDefined) {
  std::string text = synthetic_text(3, 1, 2000000000, 1000);
  for (int k : {0, 1, 2}) text = with_field(text, k, 6, "2000000000");
  std::string err;
  auto enc = second_pass(text, &err, synthetic_param(1, 2000000));
  ASSERT_TRUE(enc) << err;
  for (int32_t i = 0; i < 3; i++) EXPECT_TRUE(std::isfinite(enc->rc->entries[i].new_qscale)) << i;
}

// Five pictures at 25 a second and 300 kbit/s: 60000 bits, the IDR
// picture's and four P pictures sharing the rest, each of 2000 other bits
// and 10000 motion bits at qscale 6.8 (QP 30).
TEST(TwoPass, PlanOfAShortLogByHand) {
  std::string err;
  auto enc = second_pass(motion_only_text(5, 25, 4000, 10000, 2000), &err, synthetic_param(25, 300));
  ASSERT_TRUE(enc) << err;
  const ratecontrol_entry_t *e = enc->rc->entries;
  const double idr = intra_bits(4000, e[0].new_qscale);
  const double each = (60000 - idr) / 4;
  const double q = p_qscale(12000, each);
  for (int32_t i = 1; i < 5; i++) {
    EXPECT_NEAR(e[i].new_qscale, q, q * 1e-4) << i;
    EXPECT_NEAR(static_cast<double>(e[i].expected_bits), idr + each * (i - 1), 2.0) << i;
  }
  // At half the rate the P pictures share 30000 bits less the IDR's.
  auto half = second_pass(motion_only_text(5, 25, 4000, 10000, 2000), &err, synthetic_param(25, 150));
  ASSERT_TRUE(half) << err;
  const double q_half = p_qscale(12000, (30000 - intra_bits(4000, half->rc->entries[0].new_qscale)) / 4);
  EXPECT_NEAR(half->rc->entries[3].new_qscale, q_half, q_half * 1e-4);
}

// Under VBV the planned sizes keep a buffer followed from them between
// empty and full, where the target alone would not.
TEST(TwoPass, VbvPlanKeepsTheBuffer) {
  std::string text = synthetic_text(50, 25, 40000, 2000);
  for (int k : {20, 21, 22}) text = with_field(text, k, 5, "400000");  // a burst
  tarnhevcenc_param_t p = synthetic_param(25, 400);
  p.vbv_maxrate = 400;
  p.vbv_bufsize = 200;
  std::string err;
  auto enc = second_pass(text, &err, p);
  ASSERT_TRUE(enc) << err;
  const ratecontrol_t *rc = enc->rc;
  double fill = rc->vbv_size * static_cast<double>(enc->param.vbv_init);
  for (int32_t i = 0; i < rc->entry_count; i++) {
    fill += rc->vbv_rate - twopass_entry_bits(rc->entries[i], rc->entries[i].new_qscale);
    EXPECT_GE(fill, -0.02 * rc->vbv_size) << "picture " << i;
    fill = std::min(fill, static_cast<double>(rc->vbv_size));
  }
}

// B entries carry no level: the plan reads it from the coding order (the
// first reference B picture after an anchor is the middle one, level 1, the
// later ones level 2, plain B pictures the deepest level) and plans each at
// its level's ratio to the anchor, as the second pass codes them.
TEST(TwoPass, PlanGivesReferenceBPicturesTheirLevelsRatio) {
  std::string t = "width=128 height=64 idr-period=250 opengop=0 bframes=7 fps=25/1 lookahead=20 scenecut=40\n";
  auto line = [&](int32_t c, int32_t d, const char *type) {
    t += std::to_string(c) + " play:" + std::to_string(d) + " qp:30.00 30.00 bits: 20000 2000 1000 cu_count:" +
         (c ? "10 20" : "128 0") + " type:" + type + "\n";
  };
  line(0, 0, "idr");
  const int32_t order[8] = {8, 4, 2, 1, 3, 6, 5, 7};
  const char *types[8] = {"p", "bref", "bref", "b", "b", "bref", "b", "b"};
  for (int32_t g = 0; g < 3; g++)
    for (int32_t k = 0; k < 8; k++) line(1 + 8 * g + k, 8 * g + order[k], types[k]);
  tarnhevcenc_param_t p = synthetic_param(25, 300);
  p.bframes = 7;
  p.hierarchy = 2;
  std::string err;
  auto enc = second_pass(t, &err, p);
  ASSERT_TRUE(enc) << err;
  const float *pb = enc->param.pb_factor;
  ASSERT_GT(pb[1] / pb[0], 1.05f);
  const ratecontrol_entry_t *e = enc->rc->entries;
  // The squash into the QP limits shrinks every step between qscales by
  // about the same factor: compare the steps from the level-1 picture.
  auto step = [&](int32_t i, int32_t j) { return std::log(e[j].new_qscale / e[i].new_qscale); };
  const double level2 = std::log(pb[1] / pb[0]) / std::log(pb[2] / pb[0]);
  for (int32_t g = 0; g < 2; g++) {
    const int32_t a = 1 + 8 * g;
    SCOPED_TRACE(::testing::Message() << "group " << g);
    ASSERT_GT(step(a + 1, a + 3), 0.1);
    EXPECT_NEAR(step(a + 1, a + 2) / step(a + 1, a + 3), level2, 0.05);
    EXPECT_NEAR(step(a + 1, a + 5) / step(a + 1, a + 3), level2, 0.05);
  }
}

}  // namespace
