#include "rdo/pred_cache.h"

#include <cstring>

void pred_cache_start(pred_cache_t *c) {
  for (auto &t : c->tag) t = 0;
  c->on = true;
  c->oldest = c->live = c->end = 0;
}

void pred_cache_stop(pred_cache_t *c) { c->on = false; }

int32_t pred_cache_find(const pred_cache_t *c, const pred_motion_t &m, int32_t x, int32_t y, int32_t w, int32_t h,
                        bool chroma, int32_t *luma_only) {
  const uint32_t tag = m.tag();
  // One byte per slot (a loop the compiler turns into vector compares),
  // read back eight slots at a time.
  uint8_t same[pred_cache_t::SLOTS];
  for (int32_t s = 0; s < pred_cache_t::SLOTS; s++) same[s] = c->tag[s] == tag ? 1 : 0;
  uint64_t groups[pred_cache_t::SLOTS / 8];
  std::memcpy(groups, same, sizeof groups);
  *luma_only = -1;
  for (int32_t g = 0; g < pred_cache_t::SLOTS / 8; g++)
  for (uint64_t bits = groups[g]; bits; bits &= bits - 1) {
    const int32_t s = 8 * g + (__builtin_ctzll(bits) >> 3);
    const pred_cache_t::key_t &k = c->key[s];
    if (k.ref[0] != m.ref[0] || k.ref[1] != m.ref[1] || k.mv[0] != m.mv[0] || k.mv[1] != m.mv[1]) continue;
    if (k.x > x || k.y > y || k.x + k.w < x + w || k.y + k.h < y + h) continue;
    if (!chroma || k.chroma) return s;
    *luma_only = s;
  }
  return -1;
}

const uint8_t *pred_cache_luma(const pred_cache_t *c, int32_t slot, int32_t x, int32_t y, int32_t *stride) {
  const pred_cache_t::key_t &k = c->key[slot];
  *stride = k.w;
  return c->ring + k.at + (y - k.y) * k.w + (x - k.x);
}

const uint8_t *pred_cache_chroma(const pred_cache_t *c, int32_t slot, int32_t plane, int32_t x, int32_t y,
                                 int32_t *stride) {
  const pred_cache_t::key_t &k = c->key[slot];
  *stride = k.w / 2;
  return c->ring + k.at + k.w * k.h + (plane - 1) * (k.w * k.h / 4) + ((y - k.y) >> 1) * (k.w / 2) +
         ((x - k.x) >> 1);
}

int32_t pred_cache_take(pred_cache_t *c, const pred_motion_t &m, int32_t x, int32_t y, int32_t w, int32_t h,
                        bool chroma) {
  const int32_t bytes = w * h + (chroma ? w * h / 2 : 0);
  // The ring's blocks lie in the order they came, wrapping once: a new one
  // at the end (or back at 0) overwrites the oldest first.
  const bool wrap = c->end + bytes > pred_cache_t::BYTES;
  const int32_t at = wrap ? 0 : c->end;
  while (c->live > 0) {
    const pred_cache_t::key_t &o = c->key[c->oldest];
    const bool overlaps = o.at < at + bytes && at < o.at + o.bytes;
    // Blocks beyond the old end are older than any block from 0 on.
    const bool beyond = wrap && o.at >= c->end;
    if (c->live < pred_cache_t::SLOTS && !overlaps && !beyond) break;
    c->tag[c->oldest] = 0;
    c->oldest = (c->oldest + 1) % pred_cache_t::SLOTS;
    c->live--;
  }
  const int32_t s = (c->oldest + c->live) % pred_cache_t::SLOTS;
  c->live++;
  c->end = at + bytes;
  pred_cache_t::key_t &k = c->key[s];
  c->tag[s] = m.tag();
  k.ref[0] = m.ref[0];
  k.ref[1] = m.ref[1];
  k.mv[0] = m.mv[0];
  k.mv[1] = m.mv[1];
  k.at = at;
  k.bytes = bytes;
  k.x = static_cast<uint8_t>(x);
  k.y = static_cast<uint8_t>(y);
  k.w = static_cast<uint8_t>(w);
  k.h = static_cast<uint8_t>(h);
  k.chroma = chroma ? 1 : 0;
  return s;
}
