#include "bitstream/cabac.h"

// H.265 Table 9-46: rangeTabLps[pStateIdx][qRangeIdx].
static const uint8_t range_tab_lps[64][4] = {
    {128, 176, 208, 240}, {128, 167, 197, 227}, {128, 158, 187, 216}, {123, 150, 178, 205}, {116, 142, 169, 195},
    {111, 135, 160, 185}, {105, 128, 152, 175}, {100, 122, 144, 166}, {95, 116, 137, 158},  {90, 110, 130, 150},
    {85, 104, 123, 142},  {81, 99, 117, 135},   {77, 94, 111, 128},   {73, 89, 105, 122},   {69, 85, 100, 116},
    {66, 80, 95, 110},    {62, 76, 90, 104},    {59, 72, 86, 99},     {56, 69, 81, 94},     {53, 65, 77, 89},
    {51, 62, 73, 85},     {48, 59, 69, 80},     {46, 56, 66, 76},     {43, 53, 63, 72},     {41, 50, 59, 69},
    {39, 48, 56, 65},     {37, 45, 54, 62},     {35, 43, 51, 59},     {33, 41, 48, 56},     {32, 39, 46, 53},
    {30, 37, 43, 50},     {29, 35, 41, 48},     {27, 33, 39, 45},     {26, 31, 37, 43},     {24, 30, 35, 41},
    {23, 28, 33, 39},     {22, 27, 32, 37},     {21, 26, 30, 35},     {20, 24, 29, 33},     {19, 23, 27, 31},
    {18, 22, 26, 30},     {17, 21, 25, 28},     {16, 20, 23, 27},     {15, 19, 22, 25},     {14, 18, 21, 24},
    {14, 17, 20, 23},     {13, 16, 19, 22},     {12, 15, 18, 21},     {12, 14, 17, 20},     {11, 14, 16, 19},
    {11, 13, 15, 18},     {10, 12, 15, 17},     {10, 12, 14, 16},     {9, 11, 13, 15},      {9, 11, 12, 14},
    {8, 10, 12, 14},      {8, 9, 11, 13},       {7, 9, 11, 12},       {7, 9, 10, 12},       {7, 8, 10, 11},
    {6, 8, 9, 11},        {6, 7, 9, 10},        {6, 7, 8, 9},         {2, 2, 2, 2},
};

// The same rows in state-byte order.
static constexpr auto by_state() {
  struct table_t {
    uint8_t v[64][4];
  } t{};
  for (int32_t k = 0; k < 64; k++)
    for (int32_t q = 0; q < 4; q++) t.v[k][q] = range_tab_lps[63 - k][q];
  return t;
}
static constexpr auto lps_table = by_state();
const uint8_t cabac_lps_by_state[64][4] = {
#define ROW(k) {lps_table.v[k][0], lps_table.v[k][1], lps_table.v[k][2], lps_table.v[k][3]}
#define ROW8(k) ROW(k), ROW(k + 1), ROW(k + 2), ROW(k + 3), ROW(k + 4), ROW(k + 5), ROW(k + 6), ROW(k + 7)
    ROW8(0), ROW8(8), ROW8(16), ROW8(24), ROW8(32), ROW8(40), ROW8(48), ROW8(56),
#undef ROW8
#undef ROW
};

uint32_t cabac_lps_range(int32_t p_state, uint32_t range) { return range_tab_lps[p_state][(range >> 6) & 3]; }

void cabac_start(cabac_t *c, bitwriter_t *bw) {
  c->low = 0;
  c->range = 510;
  // The first position shifted out is the one the bit-serial coder drops:
  // it is always 0 and no carry reaches it, so it sits where a gathered
  // byte's carry would.
  c->queued = -9 + CABAC_OPEN_BIAS;
  c->held = 0;
  c->held_byte = 0;
  c->open = 1;
  c->bw = bw;
}

static void put_held(cabac_t *c, uint32_t carry) {
  if (!c->held) return;
  bw_write(c->bw, (c->held_byte + carry) & 0xff, 8);
  for (int32_t i = 1; i < c->held; i++) bw_write(c->bw, (0xffu + carry) & 0xff, 8);
}

void cabac_gather(cabac_t *c) {
  if (c->open) {
    // While every position so far is undecided, the low end lies within 512
    // below the first position's weight; leaving that band decides one.
    const int32_t queued = c->queued - CABAC_OPEN_BIAS;
    const int32_t positions = queued + 9;
    if (c->low >= (512u << positions) - 512 && c->low < (512u << positions)) return;
    c->open = 0;
    c->queued = queued;
    if (queued < 0) return;
  }
  // The byte above the ungathered rest, with the carry in bit 8.
  const int32_t below = 10 + c->queued;
  const uint32_t byte = c->low >> below;
  c->low &= (1u << below) - 1;
  c->queued -= 8;
  if (byte == 0xff) {
    // A later carry would turn it into 0x00 and reach the bytes before it.
    if (!c->held) c->held_byte = 0xff;
    c->held++;
    return;
  }
  put_held(c, byte >> 8);
  c->held_byte = byte & 0xff;
  c->held = 1;
}

void cabac_encode_bypass_bits(cabac_t *c, uint32_t value, int32_t n) {
  while (n > 0) {
    const int32_t k = n < 8 ? n : 8;
    n -= k;
    c->low = (c->low << k) + ((value >> n) & ((1u << k) - 1)) * c->range;
    c->queued += k;
    if (c->queued >= 0) cabac_gather(c);
  }
}

void cabac_encode_terminate(cabac_t *c, uint32_t bin) {
  c->range -= 2;
  if (bin) {
    c->low += c->range;
    c->range = 2;
  }
  cabac_shift(c, __builtin_clz(c->range) - 23);
}

void cabac_finish(cabac_t *c) {
  // H.265 9.3.4.3.5 encoder flush: after the terminate bin, the window's
  // two top bits and a 1, which doubles as rbsp_stop_one_bit; the rest of
  // the window is dropped.
  const int32_t queued = c->open ? c->queued - CABAC_OPEN_BIAS : c->queued;
  const int32_t rest = queued + 8 + 3;  // ungathered positions with the three
  const uint32_t v = (c->low | 0x80) >> 7;
  put_held(c, v >> rest);
  c->held = 0;
  bw_write(c->bw, v & ((1u << rest) - 1), rest);
}
