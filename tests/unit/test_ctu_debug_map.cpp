// The per-CTU debug byte map: every row context has one byte per CTU of the
// picture, what is printed reads back the same, and a file that is missing
// or not such a record is refused with a message, the map left as it was
// and the program's standard input untouched.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "analysis/ctu_debug_map.h"
#include "encoder/encoder.h"
#include "tests/unit/row_context.h"

namespace {

// A scratch file of the test, removed when it goes.
struct scratch_file_t {
  std::string path;
  scratch_file_t() {
    char name[] = "/tmp/ctu_debug_map_XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    path = name;
  }
  ~scratch_file_t() { std::remove(path.c_str()); }
  void write(const std::string &text) const {
    FILE *f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(text.c_str(), f);
    std::fclose(f);
  }
};

std::vector<int8_t> map_of(const encoder_t *ctx) {
  return std::vector<int8_t>(ctx->ctu_debug_map, ctx->ctu_debug_map + ctx->ctu_count);
}

// 200x136: a grid of 4 x 3 CTUs, the last column and row partial.
constexpr int32_t WIDTH = 200, HEIGHT = 136;

TEST(CtuDebugMap, EveryRowContextHasAZeroedByteForEachCtu) {
  row_context_holder_t h(WIDTH, HEIGHT);
  ASSERT_NE(h.ctx, nullptr);
  ASSERT_EQ(h.ctx->ctu_count, 12);
  ASSERT_NE(h.ctx->ctu_debug_map, nullptr);
  for (int8_t b : map_of(h.ctx)) EXPECT_EQ(b, 0);
  // Every byte may be written (the address sanitizer guards the gap after
  // each working buffer), and the buffers kept for another row carry it.
  for (int32_t i = 0; i < h.ctx->ctu_count; i++) h.ctx->ctu_debug_map[i] = -1;
  row_buffers_t kept{};
  row_buffers_save(h.ctx, &kept);
  EXPECT_EQ(kept.ctu_debug_map, h.ctx->ctu_debug_map);
}

TEST(CtuDebugMap, DumpThenLoadGivesTheSameMapOfEachPicture) {
  row_context_holder_t h(WIDTH, HEIGHT);
  ASSERT_NE(h.ctx, nullptr);
  encoder_t *ctx = h.ctx;
  scratch_file_t file;
  FILE *out = std::fopen(file.path.c_str(), "w");
  ASSERT_NE(out, nullptr);
  // Three pictures whose bytes differ, the extremes among them.
  std::vector<std::vector<int8_t>> maps;
  for (int32_t pic = 0; pic < 3; pic++) {
    for (int32_t i = 0; i < ctx->ctu_count; i++)
      ctx->ctu_debug_map[i] = static_cast<int8_t>(i == 0 ? -128 : i == 1 ? 127 : (pic * 37 + i * 11) % 256 - 128);
    maps.push_back(map_of(ctx));
    ASSERT_EQ(debug_dump_ctu_map(ctx, out, pic, 1000 * pic - 7), 0);
  }
  std::fclose(out);
  for (int32_t pic : {2, 0, 1}) {
    std::fill(ctx->ctu_debug_map, ctx->ctu_debug_map + ctx->ctu_count, 0);
    int32_t value = 0;
    ASSERT_EQ(debug_load_ctu_map(ctx, file.path.c_str(), pic, &value), 0) << "picture " << pic;
    EXPECT_EQ(map_of(ctx), maps[static_cast<size_t>(pic)]) << "picture " << pic;
    EXPECT_EQ(value, 1000 * pic - 7);
  }
  // The text is the documented layout: the picture's line, then a line of
  // "%d " per CTU row.
  FILE *in = std::fopen(file.path.c_str(), "r");
  ASSERT_NE(in, nullptr);
  char line[256];
  ASSERT_NE(std::fgets(line, sizeof line, in), nullptr);
  EXPECT_STREQ(line, "0 -7\n");
  ASSERT_NE(std::fgets(line, sizeof line, in), nullptr);
  EXPECT_STREQ(line, "-128 127 -106 -95 \n");
  std::fclose(in);
}

struct damage_t {
  const char *name;
  const char *text;  // nullptr: no file at all
  const char *said;  // part of the message
};

void PrintTo(const damage_t &d, std::ostream *os) { *os << d.name; }

class CtuDebugMapRefuses : public testing::TestWithParam<damage_t> {};

// A good record of picture 0 is "0 5\n" and three rows of four bytes.
TEST_P(CtuDebugMapRefuses, AFileThatIsNotTheRecordOfThePicture) {
  const damage_t &d = GetParam();
  row_context_holder_t h(WIDTH, HEIGHT);
  ASSERT_NE(h.ctx, nullptr);
  encoder_t *ctx = h.ctx;
  // Bytes no record below holds, so that a record taken in part shows.
  for (int32_t i = 0; i < ctx->ctu_count; i++) ctx->ctu_debug_map[i] = static_cast<int8_t>(-1 - i);
  const std::vector<int8_t> before = map_of(ctx);
  scratch_file_t file;
  std::string path = file.path;
  if (d.text)
    file.write(d.text);
  else
    path += ".absent";
  struct stat stdin_before {};
  ASSERT_EQ(fstat(STDIN_FILENO, &stdin_before), 0);
  int32_t value = 99;
  testing::internal::CaptureStderr();
  const int result = debug_load_ctu_map(ctx, path.c_str(), 0, &value);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, -1);
  EXPECT_NE(said.find(path), std::string::npos) << said;
  EXPECT_NE(said.find(d.said), std::string::npos) << said;
  EXPECT_EQ(map_of(ctx), before);
  EXPECT_EQ(value, 99);
  // Read from the file it was given, not from a replaced standard input.
  struct stat stdin_after {};
  ASSERT_EQ(fstat(STDIN_FILENO, &stdin_after), 0);
  EXPECT_EQ(stdin_after.st_ino, stdin_before.st_ino);
  EXPECT_EQ(stdin_after.st_dev, stdin_before.st_dev);
}

INSTANTIATE_TEST_SUITE_P(
    Damages, CtuDebugMapRefuses,
    testing::Values(damage_t{"missing", nullptr, "cannot open"}, damage_t{"empty", "", "no record of picture 0"},
                    damage_t{"other_picture", "1 5\n1 2 3 4 \n5 6 7 8 \n9 10 11 12 \n", "no record of picture 0"},
                    damage_t{"head_one_field", "0\n1 2 3 4 \n5 6 7 8 \n9 10 11 12 \n", "line 1"},
                    damage_t{"head_words", "picture 0\n1 2 3 4 \n5 6 7 8 \n9 10 11 12 \n", "not a number"},
                    damage_t{"byte_128", "0 5\n1 2 3 4 \n5 128 7 8 \n9 10 11 12 \n", "outside -128..127"},
                    damage_t{"byte_minus_129", "0 5\n1 2 3 4 \n5 6 7 8 \n9 10 11 -129 \n", "line 4"},
                    damage_t{"huge_number", "0 5\n1 2 3 99999999999999999999 \n5 6 7 8 \n9 10 11 12 \n", "line 2"},
                    damage_t{"glued_text", "0 5\n1 2 3 4 \n5 6x 7 8 \n9 10 11 12 \n", "not a number"},
                    damage_t{"short_row", "0 5\n1 2 3 4 \n5 6 7 \n9 10 11 12 \n", "too few fields"},
                    damage_t{"long_row", "0 5\n1 2 3 4 5 \n5 6 7 8 \n9 10 11 12 \n", "more fields"},
                    damage_t{"cut_short", "0 5\n1 2 3 4 \n5 6 7 8 \n", "ends before its last row"},
                    // A damaged record before the picture's is not skipped.
                    damage_t{"damage_before", "1 5\n1 2 3 4 \n5 6 7 \n9 10 11 12 \n0 5\n1 2 3 4 \n5 6 7 8 \n9 10 11 12 \n",
                             "line 3"}),
    [](const testing::TestParamInfo<damage_t> &i) { return std::string(i.param.name); });

}  // namespace
