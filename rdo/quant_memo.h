// The recent quantisations of a working context, for repeating one exactly
// without deciding it again.  The analysis quantises the same coefficients
// with the same parameters and residual context states again now and then
// (an eighth of the requests at complexity 5, nearly all within the last
// few dozen blocks); what the quantiser and sign hiding then give depends on
// nothing else, so the kept outcome is the outcome.
#pragma once

#include <cstdint>
#include <cstring>

// The estimation states a block's quantisation reads (the residual
// contexts and the copies the quantiser keeps of four of them,
// est->state[186..189], which are all it writes): state bytes from
// QUANT_MEMO_STATES_AT on.  Whole 16-byte pieces.
inline constexpr int32_t QUANT_MEMO_STATES_AT = 46, QUANT_MEMO_STATES = 144;
inline constexpr int32_t QUANT_MEMO_MIN_COMPLEXITY = 5, QUANT_MEMO_MAX_COMPLEXITY = 5;

// Everything else a block's quantisation reads besides its coefficients,
// packed; 0 marks an empty entry (log2_size is at least 2).
struct quant_memo_key_t {
  uint64_t rate;    // lambda, then the coded flag's two bit costs (each below 2^16)
  uint64_t params;  // log2_size, plane, scan, intra, thorough, sign hiding, qp, chroma weight

  bool operator==(const quant_memo_key_t &o) const { return rate == o.rate && params == o.params; }
};

// Each value within its field: log2_size 2..5, plane and scan 0..2, qp
// 0..255, the coded flag's bit costs below 2^16 (as the cost table's are).
inline quant_memo_key_t quant_memo_key(int32_t log2_size, int32_t plane, int32_t scan_type, int32_t is_intra,
                                       int32_t thorough, int32_t sign_hiding, int32_t qp, int32_t chroma_weight,
                                       uint32_t lambda, const uint32_t cbf_bits[2]) {
  const uint32_t small = static_cast<uint32_t>(log2_size | plane << 3 | scan_type << 5 | (is_intra != 0) << 7 |
                                               (thorough != 0) << 8 | (sign_hiding != 0) << 9 | qp << 10);
  return {uint64_t{lambda} | uint64_t{cbf_bits[0]} << 32 | uint64_t{cbf_bits[1]} << 48,
          uint64_t{small} | uint64_t{static_cast<uint32_t>(chroma_weight)} << 32};
}

// One kept quantisation of a block of N x N coefficients.
template <int32_t N>
struct alignas(16) quant_memo_entry_t {
  quant_memo_key_t key;
  uint8_t state[QUANT_MEMO_STATES];
  int16_t coef[N * N];
  int16_t levels[N * N];
  uint8_t copies[4];  // est->state[186..189] after
  uint32_t nonzero;
};

// Direct-mapped by a hash of the coefficients: 4x4 and 8x8 blocks, the
// ones that repeat (larger ones repeat too seldom to be worth their copies).
// The repeats come from complexity 5's trials (an eighth of its
// requests); at 4 and below too few repeat, and at 6 and 7 the many more
// distinct blocks of their extra trials cost more to keep than the repeats
// save (since the first 4x4 intra unit takes its block from the 8x8 split
// trial instead of coding it again).
struct quant_memo_t {
  quant_memo_entry_t<4> q4[256];
  quant_memo_entry_t<8> q8[64];
};

// The slot of a block's coefficients among `slots` (a power of 2), from
// its first sixteen: any spread will do, the whole block is compared.
inline uint32_t quant_memo_slot(const int16_t *coef, uint32_t slots) {
  uint64_t w[4];
  std::memcpy(w, coef, sizeof w);
  const uint64_t h = (w[0] * 0x9e3779b97f4a7c15ull) ^ (w[1] * 0xc2b2ae3d27d4eb4full) ^
                     (w[2] * 0x165667b19e3779f9ull) ^ (w[3] * 0xd6e8feb86659fd93ull);
  return static_cast<uint32_t>(h >> 40) & (slots - 1);
}

// Whether `bytes` (a multiple of 8) bytes at a and b are equal, without a
// call.
template <size_t bytes>
inline bool quant_memo_same(const void *a, const void *b) {
  uint64_t diff = 0;
  for (size_t i = 0; i < bytes; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, static_cast<const uint8_t *>(a) + i, 8);
    std::memcpy(&y, static_cast<const uint8_t *>(b) + i, 8);
    diff |= x ^ y;
  }
  return diff == 0;
}
