// The bit-level layer against independent truths: bit strings worked out by
// hand from H.265 9.2 (Exp-Golomb), the emulation-prevention rule of 7.4.2
// checked from the decoder's side, and a CABAC decoder written here from
// 9.3.4.3 with its own tables that must read back every bin the coder wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "bitstream/bitwriter.h"
#include "bitstream/cabac.h"
#include "bitstream/nal.h"

namespace {

// Seed of the random tests: TARN_TEST_SEED replays a reported failure.
uint32_t test_seed() {
  static const uint32_t seed = [] {
    const char *env = std::getenv("TARN_TEST_SEED");
    const uint32_t s = env ? static_cast<uint32_t>(std::strtoul(env, nullptr, 0)) : 20240611u;
    std::printf("bitstream tests: seed %u (set TARN_TEST_SEED to replay)\n", s);
    return s;
  }();
  return seed;
}

// The bytes of a '0'/'1' string, zero padded to whole bytes.
std::vector<uint8_t> bytes_of(const std::string &bits) {
  std::vector<uint8_t> out((bits.size() + 7) / 8, 0);
  for (size_t i = 0; i < bits.size(); i++)
    if (bits[i] == '1') out[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
  return out;
}

std::string bits_of(uint64_t value, int n) {
  std::string s;
  for (int i = n - 1; i >= 0; i--) s += ((value >> i) & 1) ? '1' : '0';
  return s;
}

struct writer_t {
  std::vector<uint8_t> buf;
  bitwriter_t bw;
  explicit writer_t(size_t capacity = 4096) : buf(capacity + 16, 0xCD) { bw_init(&bw, buf.data(), capacity); }
  std::vector<uint8_t> finish() {
    bw_flush(&bw);
    return std::vector<uint8_t>(buf.begin(), buf.begin() + static_cast<ptrdiff_t>(bw_bytes(&bw)));
  }
};

// ---------------------------------------------------------------- bit writer

struct golomb_case_t {
  bool is_signed;
  int64_t value;
  const char *bits;  // H.265 9.2, Table 9-2 and 9-3, worked out by hand
};

void PrintTo(const golomb_case_t &c, std::ostream *os) { *os << (c.is_signed ? "se(" : "ue(") << c.value << ")"; }

class ExpGolomb : public ::testing::TestWithParam<golomb_case_t> {};

TEST_P(ExpGolomb, MatchesHandWrittenBitString) {
  const golomb_case_t c = GetParam();
  // A 3-bit prefix puts the code at an odd bit position, and a suffix checks
  // that the code's length is right.
  writer_t w;
  bw_write(&w.bw, 5, 3);
  if (c.is_signed)
    bw_write_se(&w.bw, static_cast<int32_t>(c.value));
  else
    bw_write_ue(&w.bw, static_cast<uint32_t>(c.value));
  bw_write(&w.bw, 0x2D, 6);
  const std::string expect = std::string("101") + c.bits + "101101";
  EXPECT_EQ(bw_bits(&w.bw), static_cast<int64_t>(expect.size()));
  EXPECT_EQ(w.finish(), bytes_of(expect)) << (c.is_signed ? "se(" : "ue(") << c.value << ")";
}

INSTANTIATE_TEST_SUITE_P(
    BitWriter, ExpGolomb,
    ::testing::Values(golomb_case_t{false, 0, "1"}, golomb_case_t{false, 1, "010"}, golomb_case_t{false, 2, "011"},
                      golomb_case_t{false, 3, "00100"}, golomb_case_t{false, 6, "00111"},
                      golomb_case_t{false, 7, "0001000"}, golomb_case_t{false, 14, "0001111"},
                      golomb_case_t{false, 15, "000010000"}, golomb_case_t{false, 254, "000000011111111"},
                      golomb_case_t{false, 255, "00000000" "100000000"},
                      golomb_case_t{false, 65535, "0000000000000000" "10000000000000000"},
                      golomb_case_t{false, 0xFFFFFFFEll,
                                    "0000000000000000000000000000000"
                                    "11111111111111111111111111111111"},
                      golomb_case_t{false, 0xFFFFFFFFll,
                                    "00000000000000000000000000000000"
                                    "1"
                                    "00000000000000000000000000000000"},
                      golomb_case_t{true, 0, "1"}, golomb_case_t{true, 1, "010"}, golomb_case_t{true, -1, "011"},
                      golomb_case_t{true, 2, "00100"}, golomb_case_t{true, -2, "00101"},
                      golomb_case_t{true, 3, "00110"}, golomb_case_t{true, -3, "00111"},
                      golomb_case_t{true, 4, "0001000"}, golomb_case_t{true, -26, "00000" "110101"},
                      golomb_case_t{true, 2147483647,
                                    "0000000000000000000000000000000"
                                    "11111111111111111111111111111110"},
                      golomb_case_t{true, -2147483647,
                                    "0000000000000000000000000000000"
                                    "11111111111111111111111111111111"},
                      // -2^31 maps to 2^32, whose code needs 65 bits.
                      golomb_case_t{true, -2147483647 - 1,
                                    "00000000000000000000000000000000"
                                    "1"
                                    "00000000000000000000000000000001"}));

// Random field sequences across word boundaries against a string model.
TEST(BitWriter, RandomFieldsAcrossWordBoundaries) {
  std::mt19937 rng(test_seed());
  for (int round = 0; round < 300; round++) {
    writer_t w(8192);
    std::string model;
    const int fields = 1 + static_cast<int>(rng() % 400);
    for (int i = 0; i < fields; i++) {
      const int kind = static_cast<int>(rng() % 8);
      if (kind == 0) {
        const uint32_t v = rng() >> (rng() % 32);
        bw_write_ue(&w.bw, v);
        const uint64_t v1 = static_cast<uint64_t>(v) + 1;
        int len = 0;
        while ((v1 >> (len + 1)) != 0) len++;
        model += std::string(static_cast<size_t>(len), '0') + bits_of(v1, len + 1);
      } else if (kind == 1) {
        bw_align_zero(&w.bw);
        model += std::string((8 - model.size() % 8) % 8, '0');
      } else {
        const int n = static_cast<int>(rng() % 33);
        const uint32_t v = rng();
        // Bits above n must be ignored.
        bw_write(&w.bw, v, n);
        model += bits_of(v, n);
      }
      ASSERT_EQ(bw_bits(&w.bw), static_cast<int64_t>(model.size())) << "round " << round << " field " << i;
    }
    bw_trailing_bits(&w.bw);
    model += "1";
    model += std::string((8 - model.size() % 8) % 8, '0');
    EXPECT_EQ(w.bw.overflow, 0);
    ASSERT_EQ(w.finish(), bytes_of(model)) << "round " << round << ", seed " << test_seed();
  }
}

TEST(BitWriter, TrailingBitsAndAlignment) {
  for (int lead = 0; lead < 17; lead++) {
    writer_t w;
    bw_write(&w.bw, 0x1FFFF, lead);
    bw_trailing_bits(&w.bw);
    EXPECT_EQ(bw_bits(&w.bw) % 8, 0) << lead << " bits before";
    std::string model = std::string(static_cast<size_t>(lead), '1') + "1";
    model += std::string((8 - model.size() % 8) % 8, '0');
    EXPECT_EQ(w.finish(), bytes_of(model)) << lead << " bits before";
    // Aligned already: alignment adds nothing.
    writer_t a;
    bw_write(&a.bw, 0xAB, 8);
    bw_align_zero(&a.bw);
    EXPECT_EQ(bw_bits(&a.bw), 8);
  }
}

// Output that does not fit is flagged, nothing is stored past the capacity,
// and output that fits is complete.
TEST(BitWriter, CapacityIsNeverExceeded) {
  for (size_t capacity = 0; capacity <= 13; capacity++) {
    for (int bytes = 0; bytes <= 16; bytes++) {
      std::vector<uint8_t> buf(capacity + 8, 0xCD);
      bitwriter_t bw;
      bw_init(&bw, buf.data(), capacity);
      std::string model;
      for (int i = 0; i < bytes; i++) {
        // 8 bits in two unequal pieces so that words fill at odd places.
        bw_write(&bw, static_cast<uint32_t>(0x50 + i) >> 5, 3);
        bw_write(&bw, static_cast<uint32_t>(0x50 + i), 5);
        model += bits_of(static_cast<uint32_t>(0x50 + i), 8);
      }
      bw_flush(&bw);
      for (size_t i = capacity; i < buf.size(); i++)
        ASSERT_EQ(buf[i], 0xCD) << "byte " << i << " written, capacity " << capacity << ", " << bytes << " bytes";
      if (static_cast<size_t>(bytes) <= capacity) {
        EXPECT_EQ(bw.overflow, 0) << "capacity " << capacity << ", " << bytes << " bytes";
        EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + bytes), bytes_of(model));
      } else {
        EXPECT_EQ(bw.overflow, 1) << "capacity " << capacity << ", " << bytes << " bytes";
      }
    }
  }
}

// ------------------------------------------------------ emulation prevention

// What a decoder does (H.265 7.3.1.1): drop every 0x03 that follows 00 00.
std::vector<uint8_t> unescape(const std::vector<uint8_t> &ebsp) {
  std::vector<uint8_t> out;
  int zeros = 0;
  for (uint8_t b : ebsp) {
    if (zeros >= 2 && b == 3) {
      zeros = 0;
      continue;
    }
    out.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return out;
}

std::vector<uint8_t> escape(const std::vector<uint8_t> &rbsp) {
  std::vector<uint8_t> out(rbsp.size() * 3 / 2 + 4, 0xCD);
  const size_t n = nal_escape(out.data(), rbsp.data(), rbsp.size());
  EXPECT_LE(n, rbsp.size() + rbsp.size() / 2 + 1);
  out.resize(n);
  return out;
}

struct escape_case_t {
  std::vector<uint8_t> rbsp, escaped;
};

void PrintTo(const escape_case_t &c, std::ostream *os) {
  *os << "{";
  for (uint8_t b : c.rbsp) *os << " " << static_cast<int>(b);
  *os << " }";
}

class Escape : public ::testing::TestWithParam<escape_case_t> {};

TEST_P(Escape, InsertsPreventionBytesExactlyWhereNeeded) {
  const escape_case_t &c = GetParam();
  EXPECT_EQ(escape(c.rbsp), c.escaped);
  EXPECT_EQ(nal_count_epb(c.rbsp.data(), c.rbsp.size()), c.escaped.size() - c.rbsp.size());
}

INSTANTIATE_TEST_SUITE_P(
    Nal, Escape,
    ::testing::Values(escape_case_t{{0, 0, 0}, {0, 0, 3, 0}}, escape_case_t{{0, 0, 1}, {0, 0, 3, 1}},
                      escape_case_t{{0, 0, 2}, {0, 0, 3, 2}}, escape_case_t{{0, 0, 3}, {0, 0, 3, 3}},
                      escape_case_t{{0, 0, 4}, {0, 0, 4}}, escape_case_t{{0, 0, 0xFF}, {0, 0, 0xFF}},
                      escape_case_t{{0, 1, 0, 2}, {0, 1, 0, 2}}, escape_case_t{{0, 0}, {0, 0}},
                      escape_case_t{{}, {}}, escape_case_t{{0x80}, {0x80}},
                      // A run of zeros: one prevention byte after every two zeros.
                      escape_case_t{{0, 0, 0, 0, 0, 0x80}, {0, 0, 3, 0, 0, 3, 0, 0x80}},
                      escape_case_t{{0, 0, 0, 0, 0, 0, 0x80}, {0, 0, 3, 0, 0, 3, 0, 0, 0x80}},
                      // The inserted 03 restarts the count: 00 00 03 | 00 00 03 03.
                      escape_case_t{{0, 0, 3, 0, 0, 3}, {0, 0, 3, 3, 0, 0, 3, 3}},
                      escape_case_t{{1, 0, 0, 1, 0, 0, 0, 1}, {1, 0, 0, 3, 1, 0, 0, 3, 0, 1}},
                      escape_case_t{{0xFF, 0, 0, 0xFF, 0, 0, 0, 0x7F}, {0xFF, 0, 0, 0xFF, 0, 0, 3, 0, 0x7F}},
                      escape_case_t{{0, 0, 2, 0, 0, 4, 0, 0, 1}, {0, 0, 3, 2, 0, 0, 4, 0, 0, 3, 1}}));

// Random payloads rich in zeros and small values: the escaped bytes never
// contain 00 00 00/01/02 or an unescaped 00 00 03, a decoder gets the
// payload back, and nal_count_epb agrees with the escaping.
TEST(Nal, RandomPayloadsSurviveUnescaping) {
  std::mt19937 rng(test_seed() + 1);
  for (int round = 0; round < 2000; round++) {
    std::vector<uint8_t> rbsp(rng() % 200);
    for (uint8_t &b : rbsp) {
      const uint32_t r = rng() % 10;
      b = r < 5 ? 0 : r < 8 ? static_cast<uint8_t>(rng() % 4) : static_cast<uint8_t>(rng());
    }
    if (!rbsp.empty()) rbsp.back() = 0x80;  // an RBSP ends in its stop bit
    const std::vector<uint8_t> ebsp = escape(rbsp);
    for (size_t i = 0; i + 2 < ebsp.size(); i++) {
      ASSERT_FALSE(ebsp[i] == 0 && ebsp[i + 1] == 0 && ebsp[i + 2] <= 2)
          << "start code emulation at " << i << ", round " << round << ", seed " << test_seed() + 1;
    }
    ASSERT_EQ(unescape(ebsp), rbsp) << "round " << round << ", seed " << test_seed() + 1;
    ASSERT_EQ(nal_count_epb(rbsp.data(), rbsp.size()), ebsp.size() - rbsp.size()) << "round " << round;
  }
}

// A unit whose data was written into the arena ahead of time: the data moves
// down behind the head, earlier units stay, and data outside the arena or in
// front of the head's room is refused.
TEST(Nal, AddInPlaceMovesTheDataBehindTheHead) {
  nal_list_t list;
  nal_list_init(&list);
  ASSERT_EQ(nal_list_reserve(&list, 3, 256), 0);
  const std::vector<uint8_t> vps = {0x0C, 0x01, 0x80};
  ASSERT_EQ(nal_list_add(&list, NAL_VPS, 1, vps.data(), vps.size()), 0);
  const size_t at = list.arena_used + 64;
  const std::vector<uint8_t> data = {0xAA, 0, 0, 1, 0x80};
  std::memcpy(list.arena + at, data.data(), data.size());
  const std::vector<uint8_t> head = {0x26, 0x01, 0xFF};
  EXPECT_EQ(nal_list_add_in_place(&list, NAL_TRAIL_R, 0, head.data(), head.size(), 2, data.size()), -1)
      << "data in front of the head's room";
  EXPECT_EQ(nal_list_add_in_place(&list, NAL_TRAIL_R, 0, head.data(), head.size(), list.arena_capacity - 2, data.size()), -1)
      << "data past the arena";
  ASSERT_EQ(nal_list_add_in_place(&list, NAL_TRAIL_R, 0, head.data(), head.size(), at, data.size()), 0);
  ASSERT_EQ(list.count, 2);
  EXPECT_EQ(std::vector<uint8_t>(list.items[0].payload, list.items[0].payload + list.items[0].size), vps);
  std::vector<uint8_t> want = head;
  want.insert(want.end(), data.begin(), data.end());
  EXPECT_EQ(std::vector<uint8_t>(list.items[1].payload, list.items[1].payload + list.items[1].size), want);
  EXPECT_EQ(list.arena_used, vps.size() + want.size());
  // A full unit array refuses too.
  ASSERT_EQ(nal_list_add(&list, NAL_VPS, 1, vps.data(), vps.size()), 0);
  EXPECT_EQ(nal_list_add_in_place(&list, NAL_TRAIL_R, 0, head.data(), head.size(), list.arena_used + 8, 1), -1);
  nal_list_free(&list);
}

TEST(Nal, PackWritesStartCodesHeadersAndEscapedPayloads) {
  nal_list_t list;
  nal_list_init(&list);
  const std::vector<uint8_t> vps = {0x0C, 0x01, 0, 0, 0, 0x80};
  const std::vector<uint8_t> slice_a = {0xAF, 0, 0};
  const std::vector<uint8_t> slice_b = {1, 0, 0, 0, 0x80};
  ASSERT_EQ(nal_list_add(&list, NAL_VPS, 1, vps.data(), vps.size()), 0);
  ASSERT_EQ(nal_list_add2(&list, NAL_IDR_N_LP, 0, slice_a.data(), slice_a.size(), slice_b.data(), slice_b.size()),
            0);
  // Many more units than the first allocation holds, and a payload larger
  // than the first arena: earlier payloads must survive the moves.
  std::vector<uint8_t> big(100000, 0);
  big.back() = 0x80;
  for (int i = 0; i < 40; i++) ASSERT_EQ(nal_list_add(&list, NAL_TRAIL_R, 0, vps.data(), vps.size()), 0);
  ASSERT_EQ(nal_list_add(&list, NAL_TRAIL_N, 0, big.data(), big.size()), 0);
  ASSERT_EQ(list.count, 43);

  std::vector<uint8_t> out(nal_list_packed_bound(&list) + 16, 0xCD);
  const size_t n = nal_list_pack(&list, out.data());
  ASSERT_LE(n, nal_list_packed_bound(&list));
  for (size_t i = n; i < out.size(); i++) ASSERT_EQ(out[i], 0xCD);

  std::vector<uint8_t> expect = {0, 0, 0, 1, 0x40, 0x01, 0x0C, 0x01, 0, 0, 3, 0, 0x80,
                                 0, 0, 1, 0x28, 0x01, 0xAF, 0, 0, 3, 1, 0, 0, 3, 0, 0x80};
  ASSERT_GE(n, expect.size());
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + static_cast<ptrdiff_t>(expect.size())), expect);
  const std::vector<uint8_t> trail = {0, 0, 1, 0x02, 0x01, 0x0C, 0x01, 0, 0, 3, 0, 0x80};
  size_t pos = expect.size();
  for (int i = 0; i < 40; i++, pos += trail.size())
    ASSERT_EQ(std::vector<uint8_t>(out.begin() + static_cast<ptrdiff_t>(pos),
                                   out.begin() + static_cast<ptrdiff_t>(pos + trail.size())),
              trail)
        << "unit " << i + 2;
  ASSERT_EQ(out[pos + 3], 0x00);  // TRAIL_N
  const std::vector<uint8_t> tail(out.begin() + static_cast<ptrdiff_t>(pos + 5),
                                  out.begin() + static_cast<ptrdiff_t>(n));
  EXPECT_EQ(unescape(tail), big);
  nal_list_free(&list);
}

// ---------------------------------------------------------------- CABAC

// H.265 Table 9-46 (rangeTabLps) and Table 9-47 (transIdxLps), typed in for
// this decoder.
constexpr uint8_t lps_range[64][4] = {
    {128, 176, 208, 240}, {128, 167, 197, 227}, {128, 158, 187, 216}, {123, 150, 178, 205},
    {116, 142, 169, 195}, {111, 135, 160, 185}, {105, 128, 152, 175}, {100, 122, 144, 166},
    {95, 116, 137, 158},  {90, 110, 130, 150},  {85, 104, 123, 142},  {81, 99, 117, 135},
    {77, 94, 111, 128},   {73, 89, 105, 122},   {69, 85, 100, 116},   {66, 80, 95, 110},
    {62, 76, 90, 104},    {59, 72, 86, 99},     {56, 69, 81, 94},     {53, 65, 77, 89},
    {51, 62, 73, 85},     {48, 59, 69, 80},     {46, 56, 66, 76},     {43, 53, 63, 72},
    {41, 50, 59, 69},     {39, 48, 56, 65},     {37, 45, 54, 62},     {35, 43, 51, 59},
    {33, 41, 48, 56},     {32, 39, 46, 53},     {30, 37, 43, 50},     {29, 35, 41, 48},
    {27, 33, 39, 45},     {26, 31, 37, 43},     {24, 30, 35, 41},     {23, 28, 33, 39},
    {22, 27, 32, 37},     {21, 26, 30, 35},     {20, 24, 29, 33},     {19, 23, 27, 31},
    {18, 22, 26, 30},     {17, 21, 25, 28},     {16, 20, 23, 27},     {15, 19, 22, 25},
    {14, 18, 21, 24},     {14, 17, 20, 23},     {13, 16, 19, 22},     {12, 15, 18, 21},
    {12, 14, 17, 20},     {11, 14, 16, 19},     {11, 13, 15, 18},     {10, 12, 15, 17},
    {10, 12, 14, 16},     {9, 11, 13, 15},      {9, 11, 12, 14},      {8, 10, 12, 14},
    {8, 9, 11, 13},       {7, 9, 11, 12},       {7, 9, 10, 12},       {7, 8, 10, 11},
    {6, 8, 9, 11},        {6, 7, 9, 10},        {6, 7, 8, 9},         {2, 2, 2, 2},
};
constexpr uint8_t lps_next[64] = {
    0,  0,  1,  2,  2,  4,  4,  5,  6,  7,  8,  9,  9,  11, 11, 12, 13, 13, 15, 15, 16, 16,
    18, 18, 19, 19, 21, 21, 22, 22, 23, 24, 24, 25, 26, 26, 27, 27, 28, 29, 29, 30, 30, 30,
    31, 32, 32, 33, 33, 33, 34, 34, 35, 35, 35, 36, 36, 36, 37, 37, 37, 38, 38, 63,
};

struct ctx_model_t {
  int32_t p_state;  // pStateIdx
  int32_t mps;      // valMps
};

// The coder keeps a context as one byte, 2 * (63 - pStateIdx) + valMps.
uint8_t coder_state(ctx_model_t m) { return static_cast<uint8_t>(2 * (63 - m.p_state) + m.mps); }
ctx_model_t model_of(uint8_t s) { return {63 - (s >> 1), s & 1}; }

// H.265 9.3.4.3 arithmetic decoding engine.
struct cabac_decoder_t {
  const std::vector<uint8_t> &data;
  size_t bit_pos = 0;
  uint32_t range = 510, offset = 0;

  explicit cabac_decoder_t(const std::vector<uint8_t> &d) : data(d) { offset = read_bits(9); }
  uint32_t read_bit() {
    const size_t byte = bit_pos / 8;
    const uint32_t b = byte < data.size() ? (data[byte] >> (7 - bit_pos % 8)) & 1 : 0;
    bit_pos++;
    return b;
  }
  uint32_t read_bits(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; i++) v = (v << 1) | read_bit();
    return v;
  }
  void renorm() {
    while (range < 256) {
      range <<= 1;
      offset = (offset << 1) | read_bit();
    }
  }
  uint32_t decision(ctx_model_t &m) {
    const uint32_t lps = lps_range[m.p_state][(range >> 6) & 3];
    range -= lps;
    uint32_t bin;
    if (offset >= range) {
      bin = 1 - static_cast<uint32_t>(m.mps);
      offset -= range;
      range = lps;
      if (m.p_state == 0) m.mps = 1 - m.mps;
      m.p_state = lps_next[m.p_state];
    } else {
      bin = static_cast<uint32_t>(m.mps);
      if (m.p_state < 62) m.p_state++;
    }
    renorm();
    return bin;
  }
  uint32_t bypass() {
    offset = (offset << 1) | read_bit();
    if (offset >= range) {
      offset -= range;
      return 1;
    }
    return 0;
  }
  uint32_t terminate() {
    range -= 2;
    if (offset >= range) return 1;  // no renormalisation: decoding ends
    renorm();
    return 0;
  }
};

// H.265 9.3.4.3 arithmetic encoding engine as written there: one bit at a
// time, PutBit dropping the first bit, outstanding bits resolved by the next
// decided one.  The coder under test gathers bytes instead and must give the
// same bytes, and count the same bits (written plus outstanding) after every
// bin, which the rate control reads.
struct bit_serial_coder_t {
  std::vector<uint8_t> bits;  // written bits, one per entry
  uint32_t low = 0, range = 510;
  int32_t outstanding = 0, max_outstanding = 0;
  bool first = true;

  void put_bit(uint32_t b) {
    if (first)
      first = false;
    else
      bits.push_back(static_cast<uint8_t>(b));
    for (; outstanding > 0; outstanding--) bits.push_back(static_cast<uint8_t>(1 - b));
  }
  void renorm() {
    while (range < 256) {
      if (low < 256) {
        put_bit(0);
      } else if (low >= 512) {
        low -= 512;
        put_bit(1);
      } else {
        low -= 256;
        max_outstanding = std::max(max_outstanding, ++outstanding);
      }
      range <<= 1;
      low <<= 1;
    }
  }
  void decision(ctx_model_t &m, uint32_t bin) {
    const uint32_t lps = lps_range[m.p_state][(range >> 6) & 3];
    range -= lps;
    if (bin != static_cast<uint32_t>(m.mps)) {
      low += range;
      range = lps;
      if (m.p_state == 0) m.mps = 1 - m.mps;
      m.p_state = lps_next[m.p_state];
    } else if (m.p_state < 62) {
      m.p_state++;
    }
    renorm();
  }
  void bypass(uint32_t bin) {
    low = (low << 1) + (bin ? range : 0);
    if (low >= 1024) {
      put_bit(1);
      low -= 1024;
    } else if (low < 512) {
      put_bit(0);
    } else {
      low -= 512;
      max_outstanding = std::max(max_outstanding, ++outstanding);
    }
  }
  void terminate(uint32_t bin) {
    range -= 2;
    if (bin) {
      low += range;
      range = 2;
    }
    renorm();
  }
  void finish() {
    put_bit((low >> 9) & 1);
    bits.push_back(static_cast<uint8_t>((low >> 8) & 1));
    bits.push_back(1);
  }
  int64_t count() const { return static_cast<int64_t>(bits.size()) + outstanding; }
  // Whole bytes, the last padded with zeros.
  std::vector<uint8_t> bytes() const {
    std::vector<uint8_t> out((bits.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits.size(); i++) out[i / 8] |= static_cast<uint8_t>(bits[i] << (7 - i % 8));
    return out;
  }
};

enum class bin_kind_t { context, bypass, bypass_bits, terminate };

struct bin_t {
  bin_kind_t kind;
  int32_t ctx;     // context index (context bins)
  uint32_t value;  // bin, or the value of bypass_bits
  int32_t n;       // bypass_bits count
};

// Encodes `bins` (the last one a terminate 1) with the coder under test,
// beside the bit-serial coder: after every bin both count the same bits, and
// at the end both give the same bytes.  `start_bits` bits are written before
// the coder starts, so the coded bytes need not start on a byte boundary.
std::vector<uint8_t> encode_bins(const std::vector<bin_t> &bins, const std::vector<ctx_model_t> &init,
                                 std::vector<ctx_model_t> *final_states, int32_t start_bits = 0,
                                 int32_t *max_held = nullptr, int32_t *max_outstanding = nullptr) {
  std::vector<uint8_t> buf(bins.size() * 8 + 64, 0);
  bitwriter_t bw;
  bw_init(&bw, buf.data(), buf.size());
  bit_serial_coder_t ref;
  for (int32_t i = 0; i < start_bits; i++) {
    bw_write1(&bw, static_cast<uint32_t>(i & 1));
    ref.bits.push_back(static_cast<uint8_t>(i & 1));
  }
  std::vector<ctx_model_t> models = init;
  cabac_t c;
  std::memset(&c, 0, sizeof(c));
  for (size_t i = 0; i < init.size(); i++) c.est.state[i] = coder_state(init[i]);
  cabac_start(&c, &bw);
  ref.first = true;
  const int64_t ref_start = ref.count();
  EXPECT_EQ(cabac_bits(&c), ref.count());
  int32_t held = 0;
  for (size_t i = 0; i < bins.size(); i++) {
    const bin_t &b = bins[i];
    switch (b.kind) {
    case bin_kind_t::context:
      cabac_encode_bin(&c, b.ctx, b.value);
      ref.decision(models[static_cast<size_t>(b.ctx)], b.value);
      break;
    case bin_kind_t::bypass:
      cabac_encode_bypass(&c, b.value);
      ref.bypass(b.value);
      break;
    case bin_kind_t::bypass_bits:
      cabac_encode_bypass_bits(&c, b.value, b.n);
      for (int32_t k = b.n - 1; k >= 0; k--) ref.bypass((b.value >> k) & 1);
      break;
    case bin_kind_t::terminate:
      cabac_encode_terminate(&c, b.value);
      ref.terminate(b.value);
      break;
    }
    held = std::max(held, c.held);
    // Stop at the first difference: one wrong count makes every later one wrong.
    if (cabac_bits(&c) != ref.count()) {
      ADD_FAILURE() << "bin " << i << " of " << bins.size() << ": counted " << cabac_bits(&c) - ref_start
                    << " bits, the bit-serial coder " << ref.count() - ref_start;
      break;
    }
  }
  cabac_finish(&c);
  ref.finish();
  bw_align_zero(&bw);
  bw_flush(&bw);
  EXPECT_EQ(bw.overflow, 0);
  buf.resize(bw_bytes(&bw));
  EXPECT_EQ(buf, ref.bytes()) << "the bytes differ from the bit-serial coder's";
  if (max_held) *max_held = held;
  if (max_outstanding) *max_outstanding = ref.max_outstanding;
  if (final_states)
    for (size_t i = 0; i < init.size(); i++) final_states->push_back(model_of(c.est.state[i]));
  return buf;
}

// Decodes every bin back, asserting each; the final terminate 1 must consume
// the stream exactly up to the stop bit, followed only by alignment zeros.
void decode_and_check(const std::vector<uint8_t> &data, const std::vector<bin_t> &bins,
                      std::vector<ctx_model_t> models, const std::vector<ctx_model_t> &coder_final,
                      const std::string &what) {
  cabac_decoder_t d(data);
  for (size_t i = 0; i < bins.size(); i++) {
    const bin_t &b = bins[i];
    uint32_t got = 0;
    switch (b.kind) {
    case bin_kind_t::context: got = d.decision(models[static_cast<size_t>(b.ctx)]); break;
    case bin_kind_t::bypass: got = d.bypass(); break;
    case bin_kind_t::bypass_bits:
      for (int k = 0; k < b.n; k++) got = (got << 1) | d.bypass();
      break;
    case bin_kind_t::terminate: got = d.terminate(); break;
    }
    ASSERT_EQ(got, b.value) << what << ": bin " << i << " of " << bins.size() << " (kind "
                            << static_cast<int>(b.kind) << ", ctx " << b.ctx << ")";
  }
  // The last bit the decoder read is rbsp_stop_one_bit (9.3.4.3.5).
  ASSERT_GT(d.bit_pos, 0u);
  const size_t stop = d.bit_pos - 1;
  ASSERT_LT(stop / 8, data.size()) << what << ": decoder read past the end";
  EXPECT_EQ((data[stop / 8] >> (7 - stop % 8)) & 1, 1) << what << ": stop bit";
  EXPECT_EQ(data.size(), stop / 8 + 1) << what << ": bytes after the stop bit's byte";
  EXPECT_EQ(data.back() & ((1u << (7 - stop % 8)) - 1), 0u) << what << ": alignment bits";
  // The coder's context states evolve as the standard's.
  for (size_t i = 0; i < models.size(); i++) {
    EXPECT_EQ(coder_final[i].p_state, models[i].p_state) << what << ": context " << i;
    EXPECT_EQ(coder_final[i].mps, models[i].mps) << what << ": context " << i;
  }
}

class CabacRoundTrip : public ::testing::TestWithParam<int> {};

// Random bin sequences: contexts with strongly skewed or even statistics,
// bypass runs, terminate zeros between them (end_of_slice_segment_flag 0).
TEST_P(CabacRoundTrip, DecoderReadsBackEveryBin) {
  const uint32_t seed = test_seed() + 100u + static_cast<uint32_t>(GetParam());
  std::mt19937 rng(seed);
  const int32_t contexts = 1 + static_cast<int32_t>(rng() % CABAC_NUM_CTX);
  std::vector<ctx_model_t> init(static_cast<size_t>(contexts));
  std::vector<uint32_t> p_one(static_cast<size_t>(contexts));  // probability of a 1, in 1/1024
  const uint32_t skews[] = {0, 8, 100, 512, 924, 1016, 1024};
  for (int32_t i = 0; i < contexts; i++) {
    init[static_cast<size_t>(i)] = {static_cast<int32_t>(rng() % 63), static_cast<int32_t>(rng() & 1)};
    p_one[static_cast<size_t>(i)] = skews[rng() % 7];
  }
  const size_t count = GetParam() < 4 ? static_cast<size_t>(GetParam()) : 1 + rng() % 30000;
  std::vector<bin_t> bins;
  while (bins.size() < count) {
    const uint32_t r = rng() % 100;
    if (r < 60) {
      const int32_t ctx = static_cast<int32_t>(rng() % static_cast<uint32_t>(contexts));
      bins.push_back({bin_kind_t::context, ctx, (rng() % 1024) < p_one[static_cast<size_t>(ctx)] ? 1u : 0u, 0});
    } else if (r < 85) {
      bins.push_back({bin_kind_t::bypass, -1, static_cast<uint32_t>(rng() & 1), 0});
    } else if (r < 95) {
      const int32_t n = 1 + static_cast<int32_t>(rng() % 32);
      const uint32_t v = static_cast<uint32_t>(rng());
      bins.push_back({bin_kind_t::bypass_bits, -1, n == 32 ? v : v & ((1u << n) - 1), n});
    } else {
      bins.push_back({bin_kind_t::terminate, -1, 0, 0});
    }
  }
  bins.push_back({bin_kind_t::terminate, -1, 1, 0});
  std::vector<ctx_model_t> coder_final;
  const std::vector<uint8_t> data = encode_bins(bins, init, &coder_final);
  decode_and_check(data, bins, init, coder_final, "seed " + std::to_string(seed));
}

INSTANTIATE_TEST_SUITE_P(Cabac, CabacRoundTrip, ::testing::Range(0, 120));

// Bypass bins chosen to keep the bit-serial coder's low in the middle band,
// so that a single bit stays undecided for hundreds of bins (outstanding
// bits far beyond one 32-bit word), then resolved either way.  The coder
// under test then holds back a run of 0xff bytes for the carry.
TEST(Cabac, LongOutstandingRunsResolve) {
  for (uint32_t last : {0u, 1u}) {
    for (int32_t run : {31, 32, 33, 64, 65, 500}) {
      bit_serial_coder_t steer;
      std::vector<bin_t> bins;
      std::vector<ctx_model_t> init = {{0, 0}};
      // Bypass bins leave range at 510.  Of the bins whose doubled low lands
      // in [512, 1024), take the one that lands nearer the band's middle
      // (a 1 when neither does, to leave low = 0).
      for (int32_t i = 0; i < run; i++) {
        const int64_t lands[2] = {2 * static_cast<int64_t>(steer.low), 2 * static_cast<int64_t>(steer.low) + steer.range};
        auto miss = [](int64_t v) { return v < 512 || v >= 1024 ? 100000 : (v > 768 ? v - 768 : 768 - v); };
        const uint32_t bin = miss(lands[1]) <= miss(lands[0]) ? 1u : 0u;
        steer.bypass(bin);
        bins.push_back({bin_kind_t::bypass, -1, bin, 0});
      }
      for (int32_t i = 0; i < 12; i++) bins.push_back({bin_kind_t::bypass, -1, last, 0});
      bins.push_back({bin_kind_t::terminate, -1, 1, 0});
      std::vector<ctx_model_t> coder_final;
      int32_t max_held = 0, max_outstanding = 0;
      const std::vector<uint8_t> buf = encode_bins(bins, init, &coder_final, 0, &max_held, &max_outstanding);
      EXPECT_GE(max_outstanding, run / 2) << "the steering did not build up outstanding bits";
      EXPECT_GE(max_held, run / 16) << "the coder did not hold back a run of bytes";
      decode_and_check(buf, bins, init, coder_final,
                       "run " + std::to_string(run) + " resolved by " + std::to_string(last));
    }
  }
}

// Short bin sequences from every start position within a byte: the first
// positions stay undecided for a few bins in many of them, and the coder's
// bit count must follow the bit-serial coder's dropped first bit there too
// (checked after every bin inside encode_bins).
TEST(Cabac, ShortSequencesCountAndWriteAsTheBitSerialCoder) {
  std::mt19937 rng(test_seed() + 7u);
  for (int32_t t = 0; t < 4000; t++) {
    std::vector<ctx_model_t> init(4);
    for (auto &m : init) m = {static_cast<int32_t>(rng() % 63), static_cast<int32_t>(rng() & 1)};
    std::vector<bin_t> bins;
    const int32_t count = static_cast<int32_t>(rng() % 12);
    for (int32_t i = 0; i < count; i++) {
      const uint32_t r = rng() % 10;
      if (r < 6)
        bins.push_back({bin_kind_t::context, static_cast<int32_t>(rng() % 4), static_cast<uint32_t>(rng() & 1), 0});
      else if (r < 8)
        bins.push_back({bin_kind_t::bypass, -1, static_cast<uint32_t>(rng() & 1), 0});
      else if (r < 9)
        bins.push_back({bin_kind_t::bypass_bits, -1, static_cast<uint32_t>(rng() & 0x3ff), 10});
      else
        bins.push_back({bin_kind_t::terminate, -1, 0, 0});
    }
    bins.push_back({bin_kind_t::terminate, -1, 1, 0});
    const int32_t start_bits = static_cast<int32_t>(rng() % 8);
    encode_bins(bins, init, nullptr, start_bits);
    if (::testing::Test::HasFailure()) {
      ADD_FAILURE() << "sequence " << t << " (seed " << test_seed() << ")";
      break;
    }
  }
}

// One terminate bin of 1 and nothing else: the shortest slice data.
TEST(Cabac, TerminateOnly) {
  const std::vector<bin_t> bins = {{bin_kind_t::terminate, -1, 1, 0}};
  std::vector<ctx_model_t> none;
  const std::vector<uint8_t> data = encode_bins(bins, none, nullptr);
  decode_and_check(data, bins, none, none, "terminate only");
}

// ----------------------------------------------------- context initialisation

struct init_case_t {
  const char *what;
  int32_t ctx;
  int32_t slice_type_code;  // 0 B, 1 P, 2 I
  int32_t cabac_init_flag;
  int32_t qp;
  ctx_model_t expect;  // worked out by hand from H.265 9.3.2.2 (9-6)
};

void PrintTo(const init_case_t &c, std::ostream *os) { *os << c.what; }

class ContextInit : public ::testing::TestWithParam<init_case_t> {};

TEST_P(ContextInit, StateFromInitValueAndQp) {
  const init_case_t c = GetParam();
  cabac_est_t est;
  std::memset(&est, 0xEE, sizeof(est));
  cabac_init_contexts(&est, c.slice_type_code, c.qp, c.cabac_init_flag);
  const ctx_model_t got = model_of(est.state[c.ctx]);
  EXPECT_EQ(got.p_state, c.expect.p_state) << c.what;
  EXPECT_EQ(got.mps, c.expect.mps) << c.what;
  EXPECT_EQ(est.bits, 0u);
}

// slopeIdx = v >> 4, offsetIdx = v & 15, m = 5 * slopeIdx - 45,
// n = 8 * offsetIdx - 16, pre = Clip3(1, 126, ((m * qp) >> 4) + n);
// pre <= 63: valMps 0, pStateIdx 63 - pre; else valMps 1, pStateIdx pre - 64.
INSTANTIATE_TEST_SUITE_P(
    Cabac, ContextInit,
    ::testing::Values(
        // split_cu_flag, I, 139 at QP 26: m -5, n 72, (-130 >> 4) = -9, pre 63.
        init_case_t{"split_cu_flag I 139 qp26", CTX_SPLIT_CU_FLAG, 2, 0, 26, {0, 0}},
        // 141 at QP 0: m -5, n 88 -> pre 88.
        init_case_t{"split_cu_flag I 141 qp0", CTX_SPLIT_CU_FLAG + 1, 2, 0, 0, {24, 1}},
        // 157 at QP 51: m 0, n 88 -> pre 88.
        init_case_t{"split_cu_flag I 157 qp51", CTX_SPLIT_CU_FLAG + 2, 2, 0, 51, {24, 1}},
        // sao_type_idx, I, 200 at QP 51: m 15, n 48, 765 >> 4 = 47, pre 95.
        init_case_t{"sao_type_idx I 200 qp51", CTX_SAO_TYPE_IDX, 2, 0, 51, {31, 1}},
        // intra_chroma_pred_mode, I, 63: m -30, n 104; QP 0 pre 104, QP 51 (-1530 >> 4) = -96, pre 8.
        init_case_t{"intra_chroma_pred_mode I 63 qp0", CTX_INTRA_CHROMA_PRED, 2, 0, 0, {40, 1}},
        init_case_t{"intra_chroma_pred_mode I 63 qp51", CTX_INTRA_CHROMA_PRED, 2, 0, 51, {55, 0}},
        // prev_intra_luma_pred_flag, I, 184 at QP 22: m 10, n 48, 220 >> 4 = 13, pre 61.
        init_case_t{"prev_intra_luma_pred_flag I 184 qp22", CTX_PREV_INTRA_LUMA_PRED, 2, 0, 22, {2, 0}},
        // coeff_abs_level_greater1_flag ctx 0, I, 140 at QP 32: m -5, n 80, -160 >> 4 = -10, pre 70.
        init_case_t{"greater1 I 140 qp32", CTX_GREATER1, 2, 0, 32, {6, 1}},
        // cu_skip_flag, P (initType 1), 197 at QP 37: m 15, n 24, 555 >> 4 = 34, pre 58.
        init_case_t{"cu_skip_flag P 197 qp37", CTX_CU_SKIP_FLAG, 1, 0, 37, {5, 0}},
        // merge_flag: 110 for initType 1 (P, or B with cabac_init_flag), 154 for initType 2.
        // 110 at QP 30: m -15, n 96, (-450 >> 4) = -29, pre 67.  154: m 0, n 64, pre 64.
        init_case_t{"merge_flag P 110 qp30", CTX_MERGE_FLAG, 1, 0, 30, {3, 1}},
        init_case_t{"merge_flag B+init 110 qp30", CTX_MERGE_FLAG, 0, 1, 30, {3, 1}},
        init_case_t{"merge_flag B 154 qp30", CTX_MERGE_FLAG, 0, 0, 30, {0, 1}},
        init_case_t{"merge_flag P+init 154 qp30", CTX_MERGE_FLAG, 1, 1, 30, {0, 1}},
        // split_cu_flag ctx 2, B (initType 2), 126 at QP 40: m -10, n 96, -400 >> 4 = -25, pre 71.
        init_case_t{"split_cu_flag B 126 qp40", CTX_SPLIT_CU_FLAG + 2, 0, 0, 40, {7, 1}},
        // last_sig_coeff_x_prefix ctx 17, I, 63 at QP 51 as above.
        init_case_t{"last_x_prefix[17] I 63 qp51", CTX_LAST_X_PREFIX + 17, 2, 0, 51, {55, 0}},
        // cbf_cb/cr ctx 0, I, 94 at QP 45: m -20, n 96, (-900 >> 4) = -57, pre 39.
        init_case_t{"cbf_chroma I 94 qp45", CTX_CBF_CHROMA, 2, 0, 45, {24, 0}},
        // sig_coeff_flag ctx 0, I, 111 at QP 12: m -15, n 104, (-180 >> 4) = -12, pre 92.
        init_case_t{"sig_coeff I 111 qp12", CTX_SIG_COEFF, 2, 0, 12, {28, 1}}));

}  // namespace
