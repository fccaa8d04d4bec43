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

static inline int32_t p_state(uint8_t s) { return 63 - (s >> 1); }

uint32_t cabac_lps_range(int32_t p_state, uint32_t range) { return range_tab_lps[p_state][(range >> 6) & 3]; }

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
