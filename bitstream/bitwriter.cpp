#include "bitstream/bitwriter.h"

void bw_init(bitwriter_t *bw, uint8_t *buf, size_t capacity) {
  bw->buf = buf;
  bw->cur = buf;
  bw->end = buf + capacity;
  bw->cache = 0;
  bw->cache_bits = 0;
  bw->overflow = 0;
}

static void store_word(bitwriter_t *bw, uint32_t w) {
  if (bw->end - bw->cur < 4) {
    bw->overflow = 1;
    return;
  }
  bw->cur[0] = static_cast<uint8_t>(w >> 24);
  bw->cur[1] = static_cast<uint8_t>(w >> 16);
  bw->cur[2] = static_cast<uint8_t>(w >> 8);
  bw->cur[3] = static_cast<uint8_t>(w);
  bw->cur += 4;
}

void bw_write(bitwriter_t *bw, uint32_t value, int32_t n) {
  if (n <= 0) return;
  if (n < 32) value &= (1u << n) - 1;
  int32_t free_bits = 32 - bw->cache_bits;
  if (n < free_bits) {
    bw->cache |= value << (free_bits - n);
    bw->cache_bits += n;
    return;
  }
  // Fill the cache to a whole word, store it, keep the rest.
  int32_t rest = n - free_bits;
  uint32_t word = bw->cache | (rest < 32 ? (value >> rest) : 0);
  store_word(bw, word);
  bw->cache = rest ? value << (32 - rest) : 0;
  bw->cache_bits = rest;
}

static void write_ue64(bitwriter_t *bw, uint64_t value) {
  uint64_t v = value + 1;
  int32_t len = 0;
  while ((v >> len) > 1) len++;
  bw_write(bw, 0, len);
  if (len + 1 > 32) {
    bw_write(bw, static_cast<uint32_t>(v >> 32), len + 1 - 32);
    bw_write(bw, static_cast<uint32_t>(v), 32);
  } else {
    bw_write(bw, static_cast<uint32_t>(v), len + 1);
  }
}

void bw_write_ue(bitwriter_t *bw, uint32_t value) { write_ue64(bw, value); }

void bw_write_se(bitwriter_t *bw, int32_t value) {
  // Mapped in 64 bits: -2^31 maps to 2^32, beyond 32 bits.
  const int64_t v = value;
  write_ue64(bw, v > 0 ? static_cast<uint64_t>(2 * v - 1) : static_cast<uint64_t>(-2 * v));
}

void bw_align_zero(bitwriter_t *bw) {
  int32_t r = bw->cache_bits & 7;
  if (r) bw_write(bw, 0, 8 - r);
}

void bw_trailing_bits(bitwriter_t *bw) {
  bw_write1(bw, 1);
  bw_align_zero(bw);
}

void bw_flush(bitwriter_t *bw) {
  // Store whole cached bytes; a partial byte is stored with zero padding.
  int32_t bytes = (bw->cache_bits + 7) >> 3;
  for (int32_t i = 0; i < bytes; i++) {
    if (bw->cur >= bw->end) {
      bw->overflow = 1;
      break;
    }
    *bw->cur++ = static_cast<uint8_t>(bw->cache >> (24 - 8 * i));
  }
  bw->cache = 0;
  bw->cache_bits = 0;
}
