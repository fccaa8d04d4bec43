// Most-significant-bit-first writer with a 32-bit cache; full words are
// stored big-endian, so bytes come out in stream order.
#pragma once

#include <cstdint>
#include <cstring>

struct bitwriter_t {
  uint8_t *buf;      // start of the output
  uint8_t *cur;      // next word store position
  uint8_t *end;      // end of the output capacity
  uint32_t cache;    // pending bits, left-aligned as they were written
  int32_t cache_bits;  // number of valid bits in cache (0..31)
  int32_t overflow;    // set when the capacity was exceeded (writes are dropped)
};

void bw_init(bitwriter_t *bw, uint8_t *buf, size_t capacity);
// Writes the n (0..32) low bits of value, most significant first.
void bw_write(bitwriter_t *bw, uint32_t value, int32_t n);
inline void bw_write1(bitwriter_t *bw, uint32_t bit) { bw_write(bw, bit & 1, 1); }
void bw_write_ue(bitwriter_t *bw, uint32_t value);
void bw_write_se(bitwriter_t *bw, int32_t value);
// rbsp_trailing_bits: a one bit, then zero bits to the byte boundary.
void bw_trailing_bits(bitwriter_t *bw);
// Zero bits up to the byte boundary.
void bw_align_zero(bitwriter_t *bw);
// Stores the cache; afterwards bw_bytes() is exact if the writer is aligned.
void bw_flush(bitwriter_t *bw);
inline int64_t bw_bits(const bitwriter_t *bw) { return (bw->cur - bw->buf) * 8 + bw->cache_bits; }
inline size_t bw_bytes(const bitwriter_t *bw) { return static_cast<size_t>(bw->cur - bw->buf); }
