#include "bitstream/cabac.h"

#include <cmath>
#include <mutex>

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

// H.265 Table 9-47: transIdxLps.
static const uint8_t trans_idx_lps[64] = {
    0,  0,  1,  2,  2,  4,  4,  5,  6,  7,  8,  9,  9,  11, 11, 12, 13, 13, 15, 15, 16, 16,
    18, 18, 19, 19, 21, 21, 22, 22, 23, 24, 24, 25, 26, 26, 27, 27, 28, 29, 29, 30, 30, 30,
    31, 32, 32, 33, 33, 33, 34, 34, 35, 35, 35, 36, 36, 36, 37, 37, 37, 38, 38, 63,
};

uint16_t cabac_bit_cost_table[128];
uint8_t cabac_transition_table[256];

static inline int32_t p_state(uint8_t s) { return 63 - (s >> 1); }
static inline uint8_t make_state(int32_t p, int32_t mps) { return static_cast<uint8_t>(2 * (63 - p) + mps); }

static void build_tables() {
  // Probability of the LPS in state p: 0.5 * alpha^p with alpha^63 = 0.01875 / 0.5.
  const double alpha = std::pow(0.01875 / 0.5, 1.0 / 63.0);
  for (int s = 0; s < 128; s++) {
    int p = p_state(static_cast<uint8_t>(s));
    double plps = 0.5 * std::pow(alpha, p);
    // Low bit of (state ^ bin) is 0 when the bin is the MPS.
    double bits = (s & 1) ? -std::log2(plps) : -std::log2(1.0 - plps);
    cabac_bit_cost_table[s] = static_cast<uint16_t>(std::lround(bits * 256.0));
  }
  for (int s = 0; s < 128; s++) {
    int p = p_state(static_cast<uint8_t>(s));
    int mps = s & 1;
    for (int bin = 0; bin < 2; bin++) {
      uint8_t next;
      if (bin == mps) {
        next = make_state(p < 62 ? p + 1 : p, mps);
      } else {
        next = make_state(trans_idx_lps[p], p == 0 ? 1 - mps : mps);
      }
      cabac_transition_table[s * 2 + bin] = next;
    }
  }
}

void cabac_tables_init() {
  static std::once_flag once;
  std::call_once(once, build_tables);
}

void cabac_start(cabac_t *c, bitwriter_t *bw) {
  c->low = 0;
  c->range = 510;
  c->outstanding = 0;
  c->first_bit = 1;
  c->bw = bw;
}

static inline void put_bit(cabac_t *c, uint32_t b) {
  if (c->first_bit) {
    c->first_bit = 0;
  } else {
    bw_write1(c->bw, b);
  }
  while (c->outstanding > 0) {
    int32_t n = c->outstanding > 32 ? 32 : c->outstanding;
    bw_write(c->bw, b ? 0u : 0xffffffffu, n);
    c->outstanding -= n;
  }
}

static inline void renorm(cabac_t *c) {
  while (c->range < 256) {
    if (c->low < 256) {
      put_bit(c, 0);
    } else if (c->low >= 512) {
      c->low -= 512;
      put_bit(c, 1);
    } else {
      c->low -= 256;
      c->outstanding++;
    }
    c->range <<= 1;
    c->low <<= 1;
  }
}

void cabac_encode_bin(cabac_t *c, int32_t ctx, uint32_t bin) {
  uint8_t s = c->est.state[ctx];
  int32_t p = p_state(s);
  uint32_t mps = s & 1;
  uint32_t lps = range_tab_lps[p][(c->range >> 6) & 3];
  c->range -= lps;
  if (bin != mps) {
    c->low += c->range;
    c->range = lps;
  }
  c->est.state[ctx] = cabac_transition_table[s * 2 + bin];
  renorm(c);
}

void cabac_encode_bypass(cabac_t *c, uint32_t bin) {
  c->low <<= 1;
  if (bin) c->low += c->range;
  if (c->low >= 1024) {
    put_bit(c, 1);
    c->low -= 1024;
  } else if (c->low < 512) {
    put_bit(c, 0);
  } else {
    c->low -= 512;
    c->outstanding++;
  }
}

void cabac_encode_bypass_bits(cabac_t *c, uint32_t value, int32_t n) {
  for (int32_t i = n - 1; i >= 0; i--) cabac_encode_bypass(c, (value >> i) & 1);
}

void cabac_encode_terminate(cabac_t *c, uint32_t bin) {
  c->range -= 2;
  if (bin) {
    c->low += c->range;
    c->range = 2;
  }
  renorm(c);
}

void cabac_finish(cabac_t *c) {
  // H.265 9.3.4.3.5 encoder flush: after the terminate bin, two more bits;
  // the final 1 doubles as rbsp_stop_one_bit.
  put_bit(c, (c->low >> 9) & 1);
  bw_write(c->bw, ((c->low >> 7) & 3) | 1, 2);
}
