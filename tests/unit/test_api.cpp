// The public interface as a program sees it: only tarnhevcenc.h is used.
// Bitstream correctness is the end-to-end scripts' business; here the
// contract of the eight functions is checked (size-prefixed records, header
// access, flushing, independence of encoder instances, refused settings).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tarnhevcenc.h"

namespace {

constexpr uint8_t CANARY = 0xA5;

using bytes_t = std::vector<uint8_t>;

// A raw 4:2:0 picture with smooth and noisy parts, different per index.
struct picture_t {
  int32_t width, height;
  bytes_t plane[3];
  int32_t stride[3];

  picture_t(int32_t w, int32_t h, uint32_t index) : width(w), height(h) {
    uint32_t rng = 0x12345u + index * 7919u;
    for (int c = 0; c < 3; c++) {
      const int32_t pw = c ? w / 2 : w, ph = c ? h / 2 : h;
      // Padding beyond the width: strides need not equal the width.
      stride[c] = pw + 5;
      plane[c].assign(static_cast<size_t>(stride[c]) * ph, 0xEE);
      for (int32_t y = 0; y < ph; y++)
        for (int32_t x = 0; x < pw; x++) {
          rng = rng * 1664525u + 1013904223u;
          const int32_t smooth = (x * 3 + y * 2 + static_cast<int32_t>(index) * 9 + c * 40) & 255;
          const int32_t noise = static_cast<int32_t>(rng >> 27) - 16;
          const int32_t v = smooth + ((x / 8 + y / 8) & 1 ? noise : 0);
          plane[c][static_cast<size_t>(y) * stride[c] + x] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
        }
    }
  }
  const uint8_t *planes[3] = {};
  const uint8_t *const *ptrs() {
    for (int c = 0; c < 3; c++) planes[c] = plane[c].data();
    return planes;
  }
};

tarnhevcenc_param_t default_param(int32_t w, int32_t h, int32_t qp) {
  tarnhevcenc_param_t p;
  std::memset(&p, 0, sizeof(p));
  p.size = sizeof(p);
  EXPECT_EQ(tarnhevcenc_default_param(&p), 0);
  p.width = w;
  p.height = h;
  p.rcmode = TARNHEVCENC_RC_CQP;
  p.qp = qp;
  p.log_level = 0;
  p.threads = 1;
  return p;
}

// Everything an encoder returns for `count` pictures (header first, then
// every coded picture including the flushed ones), or empty on an error.
struct encoder_run_t {
  tarnhevcenc_t *enc = nullptr;
  int32_t width = 0, height = 0;
  uint32_t next = 0;
  bytes_t stream;
  int32_t outputs = 0;
  uint32_t control = 0;  // the per-picture control word handed with every picture

  bool start(tarnhevcenc_param_t p) {
    width = p.width;
    height = p.height;
    enc = tarnhevcenc_create(&p);
    if (!enc) return false;
    uint8_t header[4096];
    const int n = tarnhevcenc_get_header(enc, header, sizeof(header));
    if (n <= 0) return false;
    stream.insert(stream.end(), header, header + n);
    return true;
  }
  bool step() {
    picture_t pic(width, height, next);
    const uint8_t *out = nullptr;
    tarnhevcenc_frame_opts_t opts;
    std::memset(&opts, 0, sizeof(opts));
    opts.size = sizeof(opts);
    opts.control = control;
    const int n = tarnhevcenc_encode_frame(enc, pic.ptrs(), pic.stride, next, control ? &opts : nullptr, &out);
    next++;
    return take(n, out);
  }
  bool finish() {
    for (int guard = 0; guard < 100 && tarnhevcenc_is_encoding(enc); guard++) {
      const uint8_t *out = nullptr;
      // Two statements: `out` must be read after the call has set it.
      const int n = tarnhevcenc_encode_frame(enc, nullptr, nullptr, 0, nullptr, &out);
      if (!take(n, out)) return false;
    }
    tarnhevcenc_destroy(enc);
    enc = nullptr;
    return true;
  }
  bool take(int n, const uint8_t *out) {
    if (n < 0) return false;
    if (n > 0) {
      if (!out) return false;
      stream.insert(stream.end(), out, out + n);
      outputs++;
    }
    return true;
  }
  ~encoder_run_t() { tarnhevcenc_destroy(enc); }
};

bytes_t encode_alone(const tarnhevcenc_param_t &p, int32_t pictures) {
  encoder_run_t run;
  if (!run.start(p)) return {};
  for (int32_t i = 0; i < pictures; i++)
    if (!run.step()) return {};
  if (!run.finish()) return {};
  return run.stream;
}

// A record of `size` bytes at the start of a larger buffer full of canaries.
struct short_record_t {
  alignas(8) uint8_t buf[sizeof(tarnhevcenc_param_t) + 64];
  explicit short_record_t(size_t size) {
    std::memset(buf, CANARY, sizeof(buf));
    param()->size = static_cast<uint32_t>(size);
  }
  tarnhevcenc_param_t *param() { return reinterpret_cast<tarnhevcenc_param_t *>(buf); }
  // Index of the first byte from `from` on that is no longer a canary, or -1.
  ptrdiff_t first_touched(size_t from) const {
    for (size_t i = from; i < sizeof(buf); i++)
      if (buf[i] != CANARY) return static_cast<ptrdiff_t>(i);
    return -1;
  }
};

#define FIELD(name) \
  std::pair<const char *, size_t> { #name, offsetof(tarnhevcenc_param_t, name) }

const std::pair<const char *, size_t> record_cuts[] = {
    FIELD(width),  FIELD(fps_num), FIELD(compat),  FIELD(frame_contexts), FIELD(idr_period),
    FIELD(rcmode), FIELD(qp),      FIELD(crf),     FIELD(stats_in),       FIELD(search_range),
    FIELD(deblock), FIELD(random_decisions), FIELD(subpel_planes), FIELD(effective), FIELD(speed_mode_runs),
};

class ShortRecord : public ::testing::TestWithParam<std::pair<const char *, size_t>> {};

TEST_P(ShortRecord, DefaultParamFillsExactlyTheCoveredBytes) {
  const size_t size = GetParam().second;
  tarnhevcenc_param_t full;
  std::memset(&full, 0, sizeof(full));
  full.size = sizeof(full);
  ASSERT_EQ(tarnhevcenc_default_param(&full), 0);

  short_record_t rec(size);
  ASSERT_EQ(tarnhevcenc_default_param(rec.param()), 0);
  EXPECT_EQ(rec.param()->size, size) << "the caller's size must stay";
  EXPECT_EQ(rec.first_touched(size), -1) << "record cut before " << GetParam().first;
  // Bytes after the size field: the same defaults as a full record's.
  EXPECT_EQ(std::memcmp(rec.buf + 4, reinterpret_cast<const uint8_t *>(&full) + 4, size - 4), 0)
      << "record cut before " << GetParam().first;
}

TEST_P(ShortRecord, CreateNeitherReadsNorWritesBeyondTheSize) {
  const size_t size = GetParam().second;
  short_record_t rec(size);
  ASSERT_EQ(tarnhevcenc_default_param(rec.param()), 0);
  if (size < offsetof(tarnhevcenc_param_t, height) + sizeof(int32_t)) {
    // No room for the picture size: the default size (none) is refused.
    EXPECT_EQ(tarnhevcenc_create(rec.param()), nullptr);
    EXPECT_EQ(rec.first_touched(size), -1);
    return;
  }
  rec.param()->width = 48;
  rec.param()->height = 32;
  if (size >= offsetof(tarnhevcenc_param_t, log_level) + 4) rec.param()->log_level = 0;
  if (size >= offsetof(tarnhevcenc_param_t, threads) + 4) rec.param()->threads = 1;
  // The fields the record does not cover hold canaries (for instance a QP of
  // -1515870811, random decisions on, a wild stats_in pointer); reading any
  // of them would change the stream compared with the defaults.
  tarnhevcenc_param_t expect;
  std::memset(&expect, 0, sizeof(expect));
  expect.size = sizeof(expect);
  ASSERT_EQ(tarnhevcenc_default_param(&expect), 0);
  std::memcpy(&expect, rec.buf, size);
  expect.size = sizeof(expect);
  const bytes_t reference = encode_alone(expect, 2);
  ASSERT_FALSE(reference.empty());

  tarnhevcenc_t *enc = tarnhevcenc_create(rec.param());
  ASSERT_NE(enc, nullptr);
  EXPECT_EQ(rec.first_touched(size), -1) << "record cut before " << GetParam().first;
  tarnhevcenc_destroy(enc);

  const bytes_t got = encode_alone(*rec.param(), 2);
  EXPECT_TRUE(got == reference) << "a record cut before " << GetParam().first
                                << " must encode like the defaults for the rest (" << got.size() << " vs "
                                << reference.size() << " bytes)";
}

INSTANTIATE_TEST_SUITE_P(Api, ShortRecord, ::testing::ValuesIn(record_cuts),
                         [](const auto &info) { return std::string(info.param.first); });

TEST(Api, DefaultParamRefusesRecordsWithoutCpuFlags) {
  EXPECT_EQ(tarnhevcenc_default_param(nullptr), -1);
  for (uint32_t size : {0u, 4u, 7u}) {
    short_record_t rec(size);
    EXPECT_EQ(tarnhevcenc_default_param(rec.param()), -1) << "size " << size;
    EXPECT_EQ(rec.first_touched(4), -1) << "size " << size;
  }
}

TEST(Api, DefaultParamValues) {
  tarnhevcenc_param_t p;
  std::memset(&p, 0x5A, sizeof(p));
  p.size = sizeof(p);
  ASSERT_EQ(tarnhevcenc_default_param(&p), 0);
  EXPECT_EQ(p.size, sizeof(p));
  EXPECT_EQ(p.complexity, 4);
  EXPECT_EQ(p.compat, 120);
  EXPECT_EQ(p.rcmode, TARNHEVCENC_RC_CRF) << "a rate factor, whose base QP pays for the CU-tree's offsets";
  EXPECT_EQ(p.crf, 23.0f);
  EXPECT_EQ(p.aq_mode, TARNHEVCENC_AQ_AUTO);
  EXPECT_EQ(p.aq_strength, 0.5f);
  EXPECT_EQ(p.cutree, 1);
  EXPECT_EQ(p.qp, 27);
  EXPECT_EQ(p.qp_min, 0);
  EXPECT_EQ(p.qp_max, 51);
  EXPECT_EQ(p.wpp, 1);
  EXPECT_EQ(p.deblock, 1);
  EXPECT_EQ(p.sao, 1);
  EXPECT_EQ(p.random_decisions, 0);
  EXPECT_EQ(p.subpel_planes, -1) << "the preset decides";
  EXPECT_EQ(p.cpu_flags & ~7u, 0u) << "only the documented feature bits";
  // The AVX2 tier is built with BMI2 and POPCNT as well.
  const bool avx2_tier =
      __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
  EXPECT_EQ((p.cpu_flags & 4) != 0, avx2_tier);
  EXPECT_EQ(p.stats_in, nullptr);
}

TEST(Api, FrameOptsWrittenOnlyWhereTheSizeCovers) {
  tarnhevcenc_param_t p = default_param(64, 48, 30);
  tarnhevcenc_t *enc = tarnhevcenc_create(&p);
  ASSERT_NE(enc, nullptr);
  const size_t cuts[] = {offsetof(tarnhevcenc_frame_opts_t, pts), offsetof(tarnhevcenc_frame_opts_t, psnr),
                         offsetof(tarnhevcenc_frame_opts_t, frame_number), sizeof(tarnhevcenc_frame_opts_t)};
  uint32_t index = 0;
  for (size_t cut : cuts) {
    alignas(8) uint8_t buf[sizeof(tarnhevcenc_frame_opts_t) + 32];
    std::memset(buf, CANARY, sizeof(buf));
    auto *opts = reinterpret_cast<tarnhevcenc_frame_opts_t *>(buf);
    opts->size = static_cast<uint32_t>(cut);
    opts->frame_type_code = TARNHEVCENC_TYPE_AUTO;
    opts->options = 0;
    opts->control = 0;
    picture_t pic(64, 48, index);
    const uint8_t *out = nullptr;
    int n = tarnhevcenc_encode_frame(enc, pic.ptrs(), pic.stride, 1000 + index, opts, &out);
    // Pictures come back after the frame contexts fill; draining returns it.
    if (n == 0) n = tarnhevcenc_encode_frame(enc, nullptr, nullptr, 0, opts, &out);
    ASSERT_GT(n, 0) << "cut " << cut;
    for (size_t i = cut; i < sizeof(buf); i++) ASSERT_EQ(buf[i], CANARY) << "byte " << i << " with size " << cut;
    if (cut > offsetof(tarnhevcenc_frame_opts_t, pts)) {
      EXPECT_EQ(opts->pts, static_cast<int64_t>(1000 + index));
      EXPECT_NE(opts->recon[0], nullptr);
    }
    if (cut == sizeof(tarnhevcenc_frame_opts_t)) {
      EXPECT_EQ(opts->frame_number, static_cast<int32_t>(index));
    }
    index++;
  }
  tarnhevcenc_destroy(enc);
}

TEST(Api, CreateDestroyRepeatedly) {
  for (int i = 0; i < 50; i++) {
    tarnhevcenc_param_t p = default_param(16 + 2 * (i % 40), 8 + 2 * (i % 23), i % 52);
    p.threads = i % 4;  // 0 = as many as processors
    tarnhevcenc_t *enc = tarnhevcenc_create(&p);
    ASSERT_NE(enc, nullptr) << "iteration " << i;
    if (i % 3 == 0) {
      picture_t pic(p.width, p.height, static_cast<uint32_t>(i));
      const uint8_t *out = nullptr;
      int n = tarnhevcenc_encode_frame(enc, pic.ptrs(), pic.stride, i, nullptr, &out);
      if (n == 0) n = tarnhevcenc_encode_frame(enc, nullptr, nullptr, 0, nullptr, &out);
      EXPECT_GT(n, 0) << "iteration " << i;
    }
    // Every third one is destroyed with a picture still queued or in flight.
    if (i % 3 == 1) {
      picture_t pic(p.width, p.height, static_cast<uint32_t>(i));
      const uint8_t *out = nullptr;
      EXPECT_GE(tarnhevcenc_encode_frame(enc, pic.ptrs(), pic.stride, i, nullptr, &out), 0) << "iteration " << i;
    }
    tarnhevcenc_destroy(enc);
  }
  tarnhevcenc_destroy(nullptr);
}

TEST(Api, TwoEncodersInterleavedProduceWhatEachProducesAlone) {
  tarnhevcenc_param_t a = default_param(64, 48, 22);
  a.complexity = 2;
  tarnhevcenc_param_t b = default_param(130, 74, 37);
  b.cpu_flags = 0;
  b.random_decisions = 7;
  b.idr_period = 1;
  tarnhevcenc_param_t c = default_param(200, 66, 45);
  c.wpp = 0;
  c.sao = 0;
  c.threads = 3;
  const int32_t pictures = 4;
  const bytes_t alone_a = encode_alone(a, pictures);
  const bytes_t alone_b = encode_alone(b, pictures);
  const bytes_t alone_c = encode_alone(c, pictures);
  ASSERT_FALSE(alone_a.empty());
  ASSERT_FALSE(alone_b.empty());
  ASSERT_FALSE(alone_c.empty());

  encoder_run_t ra, rb, rc;
  ASSERT_TRUE(ra.start(a));
  ASSERT_TRUE(rb.start(b));
  for (int32_t i = 0; i < pictures; i++) {
    ASSERT_TRUE(ra.step());
    // The third one lives only for part of the others' life.
    if (i == 1) {
      ASSERT_TRUE(rc.start(c));
    }
    ASSERT_TRUE(rb.step());
    if (i >= 1) {
      ASSERT_TRUE(rc.step());
    }
  }
  ASSERT_TRUE(rc.step());
  ASSERT_TRUE(rc.finish());
  ASSERT_TRUE(rb.finish());
  ASSERT_TRUE(ra.finish());
  EXPECT_TRUE(ra.stream == alone_a) << ra.stream.size() << " vs " << alone_a.size() << " bytes";
  EXPECT_TRUE(rb.stream == alone_b) << rb.stream.size() << " vs " << alone_b.size() << " bytes";
  EXPECT_TRUE(rc.stream == alone_c) << rc.stream.size() << " vs " << alone_c.size() << " bytes";
}

bytes_t encode_with_control(const tarnhevcenc_param_t &p, int32_t pictures, uint32_t control) {
  encoder_run_t run;
  run.control = control;
  if (!run.start(p)) return {};
  for (int32_t i = 0; i < pictures; i++)
    if (!run.step()) return {};
  if (!run.finish()) return {};
  return run.stream;
}

// Control words 1 and 2 give their pictures the search without the
// multi-hexagon step; other words change nothing.  Complexity 1 has no
// multi-hexagon step to drop.
TEST(Api, ControlWordsOneAndTwoAskForTheFasterMotionSearch) {
  tarnhevcenc_param_t p = default_param(128, 96, 30);
  p.complexity = 5;
  const bytes_t plain = encode_with_control(p, 6, 0);
  const bytes_t fast1 = encode_with_control(p, 6, 1);
  ASSERT_FALSE(plain.empty());
  ASSERT_FALSE(fast1.empty());
  EXPECT_TRUE(fast1 != plain);
  EXPECT_TRUE(encode_with_control(p, 6, 2) == fast1);
  EXPECT_TRUE(encode_with_control(p, 6, 3) == plain);
  tarnhevcenc_param_t q = default_param(128, 96, 30);
  q.complexity = 1;
  EXPECT_TRUE(encode_with_control(q, 6, 1) == encode_with_control(q, 6, 0));
}

// Tune bits no tune owns are reported and ignored, never taken for a tune.
TEST(Api, UnknownTuneBitsAreIgnoredWithAMessage) {
  tarnhevcenc_param_t p = default_param(64, 48, 30);
  const bytes_t plain = encode_alone(p, 3);
  p.tune = 1 | 2 | 64;
  testing::internal::CaptureStderr();
  const bytes_t odd = encode_alone(p, 3);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("tune bits 0x43 unknown"), std::string::npos) << said;
  EXPECT_TRUE(odd == plain);
}

// Positions of the NAL units in Annex B data, with their types.
std::vector<std::pair<size_t, int>> nal_units(const uint8_t *data, size_t size) {
  std::vector<std::pair<size_t, int>> units;
  for (size_t i = 0; i + 4 < size; i++) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      units.emplace_back(i + 3, (data[i + 3] >> 1) & 63);
      i += 2;
    }
  }
  return units;
}

TEST(Api, HeaderHoldsVpsSpsPps) {
  tarnhevcenc_param_t p = default_param(176, 144, 27);
  tarnhevcenc_t *enc = tarnhevcenc_create(&p);
  ASSERT_NE(enc, nullptr);
  uint8_t buf[1024];
  std::memset(buf, CANARY, sizeof(buf));
  const int n = tarnhevcenc_get_header(enc, buf, sizeof(buf));
  ASSERT_GT(n, 6);
  ASSERT_LT(n, 1024);
  const uint8_t vps_start[] = {0, 0, 0, 1, 0x40, 0x01};
  EXPECT_EQ(std::memcmp(buf, vps_start, sizeof(vps_start)), 0);
  const auto units = nal_units(buf, static_cast<size_t>(n));
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(units[0].second, 32);
  EXPECT_EQ(units[1].second, 33);
  EXPECT_EQ(units[2].second, 34);
  for (const auto &u : units) {
    // nuh_layer_id 0, nuh_temporal_id_plus1 1; parameter sets get 4-byte start codes.
    EXPECT_EQ(buf[u.first] & 0x81, 0);
    EXPECT_EQ(buf[u.first + 1], 1);
    EXPECT_EQ(buf[u.first - 4], 0);
  }
  EXPECT_NE(buf[n - 1], 0) << "a NAL unit never ends in a zero byte";
  EXPECT_EQ(buf[n], CANARY);

  // Exactly large enough works; one byte less is refused without writing.
  uint8_t exact[1024];
  EXPECT_EQ(tarnhevcenc_get_header(enc, exact, n), n);
  EXPECT_EQ(std::memcmp(exact, buf, static_cast<size_t>(n)), 0);
  uint8_t small[1024];
  std::memset(small, CANARY, sizeof(small));
  EXPECT_EQ(tarnhevcenc_get_header(enc, small, n - 1), -1);
  EXPECT_EQ(tarnhevcenc_get_header(enc, small, 0), -1);
  EXPECT_EQ(tarnhevcenc_get_header(enc, small, -5), -1);
  for (uint8_t v : small) ASSERT_EQ(v, CANARY);
  EXPECT_EQ(tarnhevcenc_get_header(nullptr, buf, sizeof(buf)), -1);
  tarnhevcenc_destroy(enc);
}

struct flush_case_t {
  int32_t bframes, lookahead, idr_period, pictures;
};

void PrintTo(const flush_case_t &c, std::ostream *os) {
  *os << "bframes " << c.bframes << ", lookahead " << c.lookahead << ", keyint " << c.idr_period << ", "
      << c.pictures << " pictures";
}

class Flush : public ::testing::TestWithParam<flush_case_t> {};

// Every picture given comes back exactly once, in display order with its
// time stamp, either while encoding or while flushing; then the encoder is
// idle and stays so.
TEST_P(Flush, EveryPictureComesBackOnce) {
  const flush_case_t fc = GetParam();
  tarnhevcenc_param_t p = default_param(96, 64, 32);
  p.bframes = fc.bframes;
  p.lookahead = fc.lookahead;
  p.idr_period = fc.idr_period;
  tarnhevcenc_t *enc = tarnhevcenc_create(&p);
  ASSERT_NE(enc, nullptr);
  EXPECT_EQ(tarnhevcenc_is_encoding(enc), 0);

  std::vector<picture_t> sources;
  for (int32_t i = 0; i < fc.pictures; i++) sources.emplace_back(96, 64, static_cast<uint32_t>(i));
  std::vector<int64_t> returned_pts;
  std::vector<int32_t> returned_numbers;
  auto check_output = [&](int n, const uint8_t *out, const tarnhevcenc_frame_opts_t &opts) {
    ASSERT_GE(n, 0);
    if (n == 0) return;
    ASSERT_NE(out, nullptr);
    const auto units = nal_units(out, static_cast<size_t>(n));
    int32_t first_slices = 0;
    for (const auto &u : units)
      if (u.second < 32 && (out[u.first + 2] & 0x80)) first_slices++;
    EXPECT_EQ(first_slices, 1) << "one coded picture per output";
    returned_pts.push_back(opts.pts);
    returned_numbers.push_back(opts.frame_number);
    ASSERT_GE(opts.frame_number, 0);
    ASSERT_LT(opts.frame_number, fc.pictures);
    // The reported PSNR is that of the returned reconstruction.
    const picture_t &src = sources[static_cast<size_t>(opts.frame_number)];
    for (int c = 0; c < 3; c++) {
      const int32_t w = c ? 48 : 96, h = c ? 32 : 64;
      uint64_t sse = 0;
      for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x++) {
          const int32_t d = src.plane[c][static_cast<size_t>(y) * src.stride[c] + x] -
                            opts.recon[c][static_cast<ptrdiff_t>(y) * opts.recon_stride[c] + x];
          sse += static_cast<uint64_t>(d * d);
        }
      const double mse = static_cast<double>(sse) / (w * h);
      const double psnr = mse > 0 ? 10.0 * std::log10(255.0 * 255.0 / mse) : INFINITY;
      if (std::isinf(psnr))
        EXPECT_TRUE(std::isinf(opts.psnr[c]));
      else
        EXPECT_NEAR(opts.psnr[c], psnr, 1e-6) << "picture " << opts.frame_number << " plane " << c;
    }
  };

  for (int32_t i = 0; i < fc.pictures; i++) {
    tarnhevcenc_frame_opts_t opts{};
    opts.size = sizeof(opts);
    const uint8_t *out = nullptr;
    const int n = tarnhevcenc_encode_frame(enc, sources[i].ptrs(), sources[i].stride, 100 * i + 7, &opts, &out);
    check_output(n, out, opts);
    EXPECT_EQ(tarnhevcenc_is_encoding(enc), static_cast<int>(returned_pts.size()) < i + 1 ? 1 : 0);
  }
  for (int guard = 0; tarnhevcenc_is_encoding(enc); guard++) {
    ASSERT_LT(guard, fc.pictures + 40) << "flushing never ends";
    tarnhevcenc_frame_opts_t opts{};
    opts.size = sizeof(opts);
    const uint8_t *out = nullptr;
    const int n = tarnhevcenc_encode_frame(enc, nullptr, nullptr, 0, &opts, &out);
    check_output(n, out, opts);
  }
  ASSERT_EQ(returned_pts.size(), static_cast<size_t>(fc.pictures));
  std::vector<int32_t> seen(static_cast<size_t>(fc.pictures), 0);
  for (int32_t i = 0; i < fc.pictures; i++) {
    seen[static_cast<size_t>(returned_numbers[i])]++;
    EXPECT_EQ(returned_pts[i], 100 * returned_numbers[i] + 7) << "output " << i;
    // Without B pictures coding order is display order.
    if (fc.bframes == 0) {
      EXPECT_EQ(returned_numbers[i], i);
    }
  }
  for (int32_t i = 0; i < fc.pictures; i++) EXPECT_EQ(seen[static_cast<size_t>(i)], 1) << "picture " << i;
  // Idle: further flush calls return nothing.
  const uint8_t *out = reinterpret_cast<const uint8_t *>(&p);
  EXPECT_EQ(tarnhevcenc_encode_frame(enc, nullptr, nullptr, 0, nullptr, &out), 0);
  EXPECT_EQ(tarnhevcenc_is_encoding(enc), 0);
  tarnhevcenc_destroy(enc);
}

INSTANTIATE_TEST_SUITE_P(Api, Flush,
                         ::testing::Values(flush_case_t{0, 0, 250, 5}, flush_case_t{0, 0, 1, 3},
                                           flush_case_t{0, 4, 250, 7}, flush_case_t{2, 0, 250, 6},
                                           flush_case_t{3, 8, 4, 2}, flush_case_t{0, 0, 250, 1}),
                         [](const auto &info) {
                           const flush_case_t &c = info.param;
                           char name[64];
                           std::snprintf(name, sizeof(name), "b%d_la%d_key%d_n%d", c.bframes, c.lookahead,
                                         c.idr_period, c.pictures);
                           return std::string(name);
                         });

TEST(Api, EncodeRefusesMissingArguments) {
  tarnhevcenc_param_t p = default_param(32, 32, 30);
  tarnhevcenc_t *enc = tarnhevcenc_create(&p);
  ASSERT_NE(enc, nullptr);
  picture_t pic(32, 32, 0);
  const uint8_t *out = nullptr;
  EXPECT_EQ(tarnhevcenc_encode_frame(enc, pic.ptrs(), pic.stride, 0, nullptr, nullptr), -1);
  EXPECT_EQ(tarnhevcenc_encode_frame(nullptr, pic.ptrs(), pic.stride, 0, nullptr, &out), -1);
  const uint8_t *partial[3] = {pic.plane[0].data(), nullptr, pic.plane[2].data()};
  EXPECT_EQ(tarnhevcenc_encode_frame(enc, partial, pic.stride, 0, nullptr, &out), -1);
  EXPECT_EQ(tarnhevcenc_encode_frame(enc, pic.ptrs(), nullptr, 0, nullptr, &out), -1);
  EXPECT_EQ(tarnhevcenc_is_encoding(nullptr), 0);
  // Still usable afterwards.
  int n = tarnhevcenc_encode_frame(enc, pic.ptrs(), pic.stride, 0, nullptr, &out);
  if (n == 0) n = tarnhevcenc_encode_frame(enc, nullptr, nullptr, 0, nullptr, &out);
  EXPECT_GT(n, 0);
  tarnhevcenc_destroy(enc);
}

// A stride below a plane's width would make the library read past the
// caller's rows; such a call fails and leaves the encoder usable.
class ShortStride : public ::testing::TestWithParam<std::array<int32_t, 3>> {};

TEST_P(ShortStride, EncodeRefuses) {
  tarnhevcenc_param_t p = default_param(32, 32, 30);
  tarnhevcenc_t *enc = tarnhevcenc_create(&p);
  ASSERT_NE(enc, nullptr);
  // Planes exactly as large as the short strides claim.
  const std::array<int32_t, 3> strides = GetParam();
  bytes_t planes[3];
  const uint8_t *ptrs[3];
  for (int c = 0; c < 3; c++) {
    planes[c].assign(static_cast<size_t>(std::abs(strides[c])) * (c ? 16 : 32), 0x80);
    ptrs[c] = planes[c].data() + (strides[c] < 0 ? planes[c].size() + strides[c] : 0);
  }
  const uint8_t *out = nullptr;
  EXPECT_EQ(tarnhevcenc_encode_frame(enc, ptrs, strides.data(), 0, nullptr, &out), -1);
  picture_t pic(32, 32, 0);
  int n = tarnhevcenc_encode_frame(enc, pic.ptrs(), pic.stride, 0, nullptr, &out);
  if (n == 0) n = tarnhevcenc_encode_frame(enc, nullptr, nullptr, 0, nullptr, &out);
  EXPECT_GT(n, 0);
  tarnhevcenc_destroy(enc);
}

INSTANTIATE_TEST_SUITE_P(Api, ShortStride,
                         ::testing::Values(std::array<int32_t, 3>{31, 16, 16}, std::array<int32_t, 3>{32, 15, 16},
                                           std::array<int32_t, 3>{32, 16, 8}, std::array<int32_t, 3>{0, 16, 16},
                                           std::array<int32_t, 3>{-32, 16, 16}));

// The encoder chooses every picture type: a request is not read, the caller
// hears so once, and the field reports the type actually coded.
TEST(Api, RequestedFrameTypeWarnsOnceAndReportsTheCodedType) {
  tarnhevcenc_param_t p = default_param(32, 32, 30);
  p.idr_period = 0;
  tarnhevcenc_t *enc = tarnhevcenc_create(&p);
  ASSERT_NE(enc, nullptr);
  std::vector<uint32_t> types;
  testing::internal::CaptureStderr();
  for (uint32_t i = 0; i < 4; i++) {
    picture_t pic(32, 32, i);
    tarnhevcenc_frame_opts_t opts;
    std::memset(&opts, 0, sizeof(opts));
    opts.size = sizeof(opts);
    opts.frame_type_code = TARNHEVCENC_TYPE_IDR;
    const uint8_t *out = nullptr;
    int n = tarnhevcenc_encode_frame(enc, pic.ptrs(), pic.stride, i, &opts, &out);
    ASSERT_GE(n, 0);
    if (n > 0) types.push_back(opts.frame_type_code);
  }
  for (int guard = 0; guard < 100 && tarnhevcenc_is_encoding(enc); guard++) {
    tarnhevcenc_frame_opts_t opts;
    std::memset(&opts, 0, sizeof(opts));
    opts.size = sizeof(opts);
    const uint8_t *out = nullptr;
    const int n = tarnhevcenc_encode_frame(enc, nullptr, nullptr, 0, &opts, &out);
    ASSERT_GE(n, 0);
    if (n > 0) types.push_back(opts.frame_type_code);
  }
  const std::string err = testing::internal::GetCapturedStderr();
  tarnhevcenc_destroy(enc);
  size_t warnings = 0;
  for (size_t at = err.find("frame_type_code"); at != std::string::npos; at = err.find("frame_type_code", at + 1))
    warnings++;
  EXPECT_EQ(warnings, 1u) << err;
  ASSERT_EQ(types.size(), 4u);
  EXPECT_EQ(types[0], static_cast<uint32_t>(TARNHEVCENC_TYPE_IDR));
  for (size_t i = 1; i < types.size(); i++) EXPECT_NE(types[i], static_cast<uint32_t>(TARNHEVCENC_TYPE_IDR)) << i;
}

// The documented way to read each picture's type back hands one record to
// every call: the type reported into it is no request and is not warned
// about, while a request written into that record afterwards still is.
TEST(Api, ReusedFrameOptsCarryNoRequest) {
  tarnhevcenc_param_t p = default_param(32, 32, 30);
  p.idr_period = 3;
  tarnhevcenc_frame_opts_t opts;
  std::memset(&opts, 0, sizeof(opts));
  opts.size = sizeof(opts);
  std::vector<uint32_t> types;
  const auto encode = [&](tarnhevcenc_t *enc, uint32_t pictures) {
    for (uint32_t i = 0; i < pictures; i++) {
      picture_t pic(32, 32, i);
      const uint8_t *out = nullptr;
      const int n = tarnhevcenc_encode_frame(enc, pic.ptrs(), pic.stride, i, &opts, &out);
      ASSERT_GE(n, 0);
      if (n > 0) types.push_back(opts.frame_type_code);
    }
    for (int guard = 0; guard < 100 && tarnhevcenc_is_encoding(enc); guard++) {
      const uint8_t *out = nullptr;
      const int n = tarnhevcenc_encode_frame(enc, nullptr, nullptr, 0, &opts, &out);
      ASSERT_GE(n, 0);
      if (n > 0) types.push_back(opts.frame_type_code);
    }
  };
  tarnhevcenc_t *enc = tarnhevcenc_create(&p);
  ASSERT_NE(enc, nullptr);
  testing::internal::CaptureStderr();
  encode(enc, 8);
  std::string err = testing::internal::GetCapturedStderr();
  tarnhevcenc_destroy(enc);
  EXPECT_EQ(err.find("frame_type_code"), std::string::npos) << err;
  ASSERT_EQ(types.size(), 8u);
  EXPECT_EQ(types[0], static_cast<uint32_t>(TARNHEVCENC_TYPE_IDR));
  EXPECT_EQ(types[4], static_cast<uint32_t>(TARNHEVCENC_TYPE_P));

  // The record still holds the last type; a different one is a request.
  enc = tarnhevcenc_create(&p);
  ASSERT_NE(enc, nullptr);
  opts.frame_type_code = TARNHEVCENC_TYPE_I;
  testing::internal::CaptureStderr();
  encode(enc, 2);
  err = testing::internal::GetCapturedStderr();
  tarnhevcenc_destroy(enc);
  EXPECT_NE(err.find("frame_type_code"), std::string::npos) << err;
}

// Creation writes only compat, frame_contexts and the `effective` block of
// the caller's record, so the record reused for a second encoder with one
// field changed codes exactly like a fresh record with the same fields.
TEST(Api, ReusedParamRecordCodesLikeAFreshOne) {
  using edit_t = void (*)(tarnhevcenc_param_t &);
  struct case_t {
    const char *what;
    edit_t first, second;
  };
  const case_t cases[] = {
      {"complexity 0, then 7", [](auto &r) { r.complexity = 0; }, [](auto &r) { r.complexity = 7; }},
      {"complexity 7, then 2", [](auto &r) { r.complexity = 7; }, [](auto &r) { r.complexity = 2; }},
      {"zero latency over bframes, then no tune",
       [](auto &r) {
         r.tune = TARNHEVCENC_TUNE_ZEROLATENCY;
         r.bframes = 3;
       },
       [](auto &r) { r.tune = 0; }},
      {"qp below qp_min, then a lower qp_min",
       [](auto &r) {
         r.qp_min = 33;
         r.qp = 24;
       },
       [](auto &r) { r.qp_min = 0; }},
  };
  for (const case_t &c : cases) {
    tarnhevcenc_param_t rec = default_param(64, 64, 27);
    c.first(rec);
    tarnhevcenc_param_t before;
    std::memcpy(&before, &rec, sizeof(rec));
    testing::internal::CaptureStderr();
    tarnhevcenc_t *enc = tarnhevcenc_create(&rec);
    testing::internal::GetCapturedStderr();
    ASSERT_NE(enc, nullptr) << c.what;
    tarnhevcenc_destroy(enc);
    tarnhevcenc_param_t untouched;
    std::memcpy(&untouched, &rec, sizeof(rec));
    untouched.compat = before.compat;
    untouched.frame_contexts = before.frame_contexts;
    std::memcpy(&untouched.effective, &before.effective, sizeof(before.effective));
    EXPECT_EQ(std::memcmp(&untouched, &before, sizeof(before)), 0) << c.what << ": a field of the caller's changed";

    c.second(rec);
    tarnhevcenc_param_t fresh = default_param(64, 64, 27);
    c.first(fresh);
    c.second(fresh);
    testing::internal::CaptureStderr();
    const bytes_t reused = encode_alone(rec, 3), anew = encode_alone(fresh, 3);
    testing::internal::GetCapturedStderr();
    ASSERT_FALSE(anew.empty()) << c.what;
    EXPECT_TRUE(reused == anew) << c.what << ": " << reused.size() << " against " << anew.size() << " bytes";
  }
}

// The effective block reports what creation settled on: presets, automatic
// values, repairs and tune overrides.
TEST(Api, EffectiveSettingsReported) {
  tarnhevcenc_param_t p = default_param(64, 64, 60);
  p.complexity = 7;
  p.threads = 0;
  p.tune = TARNHEVCENC_TUNE_ZEROLATENCY;
  p.bframes = 4;
  p.idr_period = 50;
  testing::internal::CaptureStderr();
  tarnhevcenc_t *enc = tarnhevcenc_create(&p);
  testing::internal::GetCapturedStderr();
  ASSERT_NE(enc, nullptr);
  tarnhevcenc_destroy(enc);
  const tarnhevcenc_effective_t &e = p.effective;
  EXPECT_EQ(e.complexity, 7);
  EXPECT_EQ(e.search_range, 124) << "the preset's range";
  EXPECT_EQ(e.qp, 51) << "repaired";
  EXPECT_EQ(e.bframes, 0) << "the tune's override";
  EXPECT_GE(e.threads, 1) << "the processors counted";
  EXPECT_EQ(e.min_idr, 5) << "a tenth of the key interval";
  EXPECT_EQ(p.qp, 60) << "the caller's own field stays";
  EXPECT_EQ(p.bframes, 4);
  EXPECT_EQ(p.threads, 0);
  EXPECT_EQ(p.search_range, -1);
}

// The default AQ mode follows the rate mode: on where a rate factor balances
// the offsets it and the CU-tree put on the CTU QPs, off where the CTU QPs
// are constant or set by CBR or VBV; a mode the caller gives is kept.
TEST(Api, DefaultAqModeFollowsTheRateMode) {
  struct case_t {
    int32_t rcmode, bitrate, vbv, aq_mode, want;
  };
  const int32_t on = TARNHEVCENC_AQ_DEFAULT_MODE;
  const case_t cases[] = {
      {TARNHEVCENC_RC_CRF, 0, 0, TARNHEVCENC_AQ_AUTO, on}, {TARNHEVCENC_RC_ABR, 500, 0, TARNHEVCENC_AQ_AUTO, on},
      {TARNHEVCENC_RC_CQP, 0, 0, TARNHEVCENC_AQ_AUTO, 0},  {TARNHEVCENC_RC_LQP, 0, 0, TARNHEVCENC_AQ_AUTO, 0},
      {TARNHEVCENC_RC_CBR, 500, 0, TARNHEVCENC_AQ_AUTO, 0}, {TARNHEVCENC_RC_CRF, 0, 500, TARNHEVCENC_AQ_AUTO, 0},
      {TARNHEVCENC_RC_ABR, 500, 500, TARNHEVCENC_AQ_AUTO, 0},
      // An ABR without a bitrate falls back to constant QP, and so does AQ.
      {TARNHEVCENC_RC_ABR, 0, 0, TARNHEVCENC_AQ_AUTO, 0},
      {TARNHEVCENC_RC_CQP, 0, 0, 1, 1}, {TARNHEVCENC_RC_CRF, 0, 0, 0, 0}, {TARNHEVCENC_RC_CBR, 500, 500, 2, 2},
  };
  for (const case_t &c : cases) {
    tarnhevcenc_param_t p = default_param(64, 64, 30);
    p.rcmode = c.rcmode;
    p.bitrate = c.bitrate;
    p.vbv_maxrate = c.vbv;
    p.vbv_bufsize = c.vbv;
    p.aq_mode = c.aq_mode;
    testing::internal::CaptureStderr();
    tarnhevcenc_t *enc = tarnhevcenc_create(&p);
    testing::internal::GetCapturedStderr();
    ASSERT_NE(enc, nullptr);
    tarnhevcenc_destroy(enc);
    EXPECT_EQ(p.effective.aq_mode, c.want) << "rcmode " << c.rcmode << " bitrate " << c.bitrate << " vbv " << c.vbv
                                           << " aq_mode " << c.aq_mode;
    EXPECT_EQ(p.aq_mode, c.aq_mode) << "the caller's own field stays";
  }
}

// QP limits at and past the ends of 0..51, crossed (qp_max wins), and a QP
// outside them: creation repairs each with a message, never refuses, and
// every picture (P pictures search motion with the cost table of their QP)
// is coded at the QP the repaired limits allow.
TEST(Api, QpOutsideOrAcrossItsLimitsIsRepaired) {
  int32_t combinations = 0;
  for (int32_t qp : {-1, 0, 27, 45, 51, 52})
    for (int32_t qp_min : {-1, 0, 30, 51, 60})
      for (int32_t qp_max : {-1, 0, 40, 51, 60}) {
        const std::string what = "qp " + std::to_string(qp) + ", qp_min " + std::to_string(qp_min) + ", qp_max " +
                                 std::to_string(qp_max);
        int32_t lo = std::clamp(qp_min, 0, 51), hi = std::clamp(qp_max, 0, 51);
        lo = std::min(lo, hi);
        const int32_t used = std::clamp(qp, lo, hi);
        const bool repaired = lo != qp_min || hi != qp_max || used != qp;

        tarnhevcenc_param_t p = default_param(32, 32, qp);
        p.qp_min = qp_min;
        p.qp_max = qp_max;
        p.idr_period = 0;
        p.ip_factor = 1.0f;  // the I picture takes the P pictures' QP
        testing::internal::CaptureStderr();
        tarnhevcenc_t *enc = tarnhevcenc_create(&p);
        std::vector<double> qps;
        for (uint32_t i = 0; enc && i < 2; i++) {
          picture_t pic(32, 32, i);
          tarnhevcenc_frame_opts_t opts;
          std::memset(&opts, 0, sizeof(opts));
          opts.size = sizeof(opts);
          const uint8_t *out = nullptr;
          const int n = tarnhevcenc_encode_frame(enc, pic.ptrs(), pic.stride, i, &opts, &out);
          if (n > 0) qps.push_back(opts.avg_qp);
        }
        for (int guard = 0; enc && guard < 100 && tarnhevcenc_is_encoding(enc); guard++) {
          tarnhevcenc_frame_opts_t opts;
          std::memset(&opts, 0, sizeof(opts));
          opts.size = sizeof(opts);
          const uint8_t *out = nullptr;
          const int n = tarnhevcenc_encode_frame(enc, nullptr, nullptr, 0, &opts, &out);
          if (n > 0) qps.push_back(opts.avg_qp);
        }
        tarnhevcenc_destroy(enc);
        const std::string err = testing::internal::GetCapturedStderr();
        ASSERT_NE(enc, nullptr) << what;
        ASSERT_EQ(qps.size(), 2u) << what;
        for (double q : qps) EXPECT_EQ(q, used) << what;
        EXPECT_EQ(err.find("qp") != std::string::npos, repaired) << what << ": " << err;
        combinations++;
      }
  EXPECT_EQ(combinations, 150);
}

class InvalidSize : public ::testing::TestWithParam<std::pair<int32_t, int32_t>> {};

TEST_P(InvalidSize, CreateReturnsNull) {
  tarnhevcenc_param_t p = default_param(GetParam().first, GetParam().second, 27);
  errno = 0;
  EXPECT_EQ(tarnhevcenc_create(&p), nullptr) << GetParam().first << "x" << GetParam().second;
  // Refused settings, told apart from memory running out (ENOMEM).
  EXPECT_EQ(errno, EINVAL) << GetParam().first << "x" << GetParam().second;
}

INSTANTIATE_TEST_SUITE_P(Api, InvalidSize,
                         ::testing::Values(std::pair{0, 64}, std::pair{64, 0}, std::pair{0, 0}, std::pair{33, 32},
                                           std::pair{32, 33}, std::pair{1, 1}, std::pair{-64, 64},
                                           std::pair{64, -2}, std::pair{16890, 64}, std::pair{64, 16890},
                                           // two rows more than the largest HEVC picture (level 6.2) holds
                                           std::pair{8192, 4354}));

TEST(Api, SmallestAndLargeEvenSizesAccepted) {
  for (auto [w, h] : {std::pair{2, 2}, std::pair{2, 130}, std::pair{8, 8}, std::pair{4096, 2}, std::pair{16888, 2}}) {
    tarnhevcenc_param_t p = default_param(w, h, 27);
    tarnhevcenc_t *enc = tarnhevcenc_create(&p);
    EXPECT_NE(enc, nullptr) << w << "x" << h;
    tarnhevcenc_destroy(enc);
  }
}

// Memory that runs out at creation is told apart from refused settings: a
// child process under an address-space limit too small for a full HD
// encoder (AddressSanitizer cannot live under such a limit).
TEST(Api, CreateReportsMemoryRunningOut) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // Their own allocators run out first under the limit.
  GTEST_SKIP() << "address-space limits and the address and thread sanitizers do not mix";
#else
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit limit{64u << 20, 64u << 20};
    setrlimit(RLIMIT_AS, &limit);
    tarnhevcenc_param_t p = default_param(1920, 1080, 27);
    p.log_level = 0;
    errno = 0;
    tarnhevcenc_t *enc = tarnhevcenc_create(&p);
    const int err = errno;
    _exit(enc ? 1 : err == ENOMEM ? 0 : 2);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child ended by a signal";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: created under 64 MB; 2: NULL without ENOMEM";
#endif
}

// Input pictures let go after a flush give their pages back (with several
// threads), and so do the row contexts of the frame contexts left with
// nothing to code; pictures given after the flush reuse the pictures,
// written whole again, and row contexts made again: the stream is the
// one-thread stream, whose pictures and row contexts keep their pages.
TEST(Api, PicturesAfterAFlushCodeAsWithOneThread) {
  auto run = [](int32_t threads) {
    tarnhevcenc_param_t p = default_param(128, 96, 30);
    p.threads = threads;
    p.bframes = 2;
    p.lookahead = 4;
    tarnhevcenc_t *enc = tarnhevcenc_create(&p);
    bytes_t stream;
    if (!enc) return stream;
    uint32_t index = 0;
    for (int32_t part = 0; part < 3; part++) {
      for (int32_t i = 0; i < 9; i++, index++) {
        picture_t pic(128, 96, index);
        const uint8_t *out = nullptr;
        const int n = tarnhevcenc_encode_frame(enc, pic.ptrs(), pic.stride, index, nullptr, &out);
        if (n < 0) break;
        stream.insert(stream.end(), out, out + n);
      }
      for (int guard = 0; guard < 40 && tarnhevcenc_is_encoding(enc); guard++) {
        const uint8_t *out = nullptr;
        const int n = tarnhevcenc_encode_frame(enc, nullptr, nullptr, 0, nullptr, &out);
        if (n < 0) break;
        stream.insert(stream.end(), out, out + n);
      }
    }
    tarnhevcenc_destroy(enc);
    return stream;
  };
  const bytes_t one = run(1);
  ASSERT_GT(one.size(), 1000u);
  EXPECT_TRUE(run(4) == one) << "4 threads";
}

TEST(Api, CreateRefusesNull) {
  errno = 0;
  EXPECT_EQ(tarnhevcenc_create(nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
}

class Compat : public ::testing::TestWithParam<std::pair<int32_t, int32_t>> {};

TEST_P(Compat, EffectiveValueWrittenBack) {
  tarnhevcenc_param_t p = default_param(64, 64, 27);
  p.compat = GetParam().first;
  tarnhevcenc_t *enc = tarnhevcenc_create(&p);
  ASSERT_NE(enc, nullptr);
  EXPECT_EQ(p.compat, GetParam().second) << "asked for " << GetParam().first;
  tarnhevcenc_destroy(enc);
}

INSTANTIATE_TEST_SUITE_P(Api, Compat,
                         ::testing::Values(std::pair{91, 91}, std::pair{100, 100}, std::pair{120, 120},
                                           std::pair{0, 91}, std::pair{90, 91}, std::pair{110, 91},
                                           std::pair{121, 91}, std::pair{-120, 91}, std::pair{12, 91}));

TEST(Api, FrameContextsWrittenBack) {
  for (int32_t threads : {1, 2, 5, 16}) {
    for (int32_t asked : {0, 3, -7}) {
      tarnhevcenc_param_t p = default_param(64, 64, 27);
      p.threads = threads;
      p.frame_contexts = asked;
      tarnhevcenc_t *enc = tarnhevcenc_create(&p);
      ASSERT_NE(enc, nullptr);
      EXPECT_GE(p.frame_contexts, 1) << "threads " << threads << ", asked " << asked;
      EXPECT_LE(p.frame_contexts, 64) << "threads " << threads << ", asked " << asked;
      tarnhevcenc_destroy(enc);
    }
  }
}

// Under a rate buffer the pictures in flight, planned before the sizes of
// those ahead are known, span at most a quarter of the buffer (CBR's window:
// a second), but never fewer than the five of one thread.
TEST(Api, FrameContextsKeepInFlightWithinAQuarterOfTheBuffer) {
  struct case_t {
    const char *what;
    int32_t threads, fps, rcmode, maxrate, bufsize, contexts;
  };
  const case_t cases[] = {
      {"no buffer", 16, 10, TARNHEVCENC_RC_ABR, 0, 0, 12},
      {"10 fps, half a second", 16, 10, TARNHEVCENC_RC_ABR, 400, 200, 5},
      {"10 fps, a second, 2 threads", 2, 10, TARNHEVCENC_RC_CRF, 400, 400, 5},
      {"30 fps, a second", 16, 30, TARNHEVCENC_RC_ABR, 400, 400, 7},
      {"30 fps, a second, 4 threads", 4, 30, TARNHEVCENC_RC_ABR, 400, 400, 7},
      {"30 fps, two seconds, 3 threads", 3, 30, TARNHEVCENC_RC_ABR, 400, 800, 7},
      {"60 fps, a second", 16, 60, TARNHEVCENC_RC_ABR, 400, 400, 12},
      {"constant QP under a buffer", 16, 25, TARNHEVCENC_RC_CQP, 400, 400, 6},
      {"CBR without a buffer, 10 fps", 16, 10, TARNHEVCENC_RC_CBR, 0, 0, 5},
      {"CBR without a buffer, 60 fps", 8, 60, TARNHEVCENC_RC_CBR, 0, 0, 12},
      {"CBR, 30 fps, two seconds", 16, 30, TARNHEVCENC_RC_CBR, 400, 800, 12},
      {"one thread", 1, 100, TARNHEVCENC_RC_ABR, 400, 400, 5},
  };
  for (const case_t &c : cases) {
    tarnhevcenc_param_t p = default_param(64, 64, 27);
    p.threads = c.threads;
    p.fps_num = c.fps;
    p.fps_den = 1;
    p.rcmode = c.rcmode;
    p.bitrate = 400;
    p.vbv_maxrate = c.maxrate;
    p.vbv_bufsize = c.bufsize;
    tarnhevcenc_t *enc = tarnhevcenc_create(&p);
    ASSERT_NE(enc, nullptr) << c.what;
    EXPECT_EQ(p.frame_contexts, c.contexts) << c.what;
    tarnhevcenc_destroy(enc);
  }
}

// Under a buffer a B run and the anchor closing it span at most the
// buffer's duration: the anchor, coded first, is paid from one buffer.
TEST(Api, BRunsUnderABufferSpanAtMostItsDuration) {
  struct case_t {
    const char *what;
    int32_t fps, bframes, maxrate, bufsize, effective;
  };
  const case_t cases[] = {
      {"no buffer, 10 fps", 10, 7, 0, 0, 7},
      {"10 fps, half a second", 10, 7, 400, 200, 4},
      {"10 fps, half a second, a shorter run asked", 10, 3, 400, 200, 3},
      {"10 fps, a second", 10, 7, 400, 400, 7},
      {"10 fps, a fifth of a second", 10, 7, 400, 80, 1},
      {"10 fps, a tenth of a second", 10, 7, 400, 40, 0},
      {"30 fps, half a second", 30, 16, 400, 200, 14},
  };
  for (const case_t &c : cases) {
    tarnhevcenc_param_t p = default_param(64, 64, 27);
    p.fps_num = c.fps;
    p.fps_den = 1;
    p.bframes = c.bframes;
    p.rcmode = TARNHEVCENC_RC_ABR;
    p.bitrate = 400;
    p.vbv_maxrate = c.maxrate;
    p.vbv_bufsize = c.bufsize;
    tarnhevcenc_t *enc = tarnhevcenc_create(&p);
    ASSERT_NE(enc, nullptr) << c.what;
    EXPECT_EQ(p.effective.bframes, c.effective) << c.what;
    tarnhevcenc_destroy(enc);
  }
}

TEST(Api, VersionAndBuildInfo) {
  ASSERT_NE(tarnhevcenc_version(), nullptr);
  EXPECT_STRNE(tarnhevcenc_version(), "");
  ASSERT_NE(tarnhevcenc_buildinfo(), nullptr);
  EXPECT_STRNE(tarnhevcenc_buildinfo(), "");
}

}  // namespace
