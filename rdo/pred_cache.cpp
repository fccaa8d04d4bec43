#include "rdo/pred_cache.h"

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

template <class Ring>
void ring_clear(Ring *r) {
  for (auto &t : r->tag) t = 0;
  r->oldest = r->live = r->end = 0;
}

// Bit s set for every slot whose tag byte is `tag`: the lookups call
// this for every prediction a trial makes, and one compare and byte mask
// per 16 slots is most of what a miss costs.
uint64_t slots_tagged(const uint8_t (&tags)[64], uint8_t tag) {
#if defined(__SSE2__)
  const __m128i t = _mm_set1_epi8(static_cast<char>(tag));
  uint64_t bits = 0;
  for (int32_t g = 0; g < 4; g++) {
    const __m128i v = _mm_load_si128(reinterpret_cast<const __m128i *>(tags) + g);
    bits |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, t)))) << (16 * g);
  }
  return bits;
#else
  uint64_t bits = 0;
  for (int32_t s = 0; s < 64; s++) bits |= static_cast<uint64_t>(tags[s] == tag) << s;
  return bits;
#endif
}

// Calls found(slot) for every live slot of the tag whose motion is m and
// whose block holds the w x h block at (x, y), until it returns true; returns
// that slot or -1.
template <class Ring, class F>
int32_t ring_find(const Ring *r, const pred_motion_t &m, int32_t x, int32_t y, int32_t w, int32_t h,
                  F found) {
  const uint64_t tagged = slots_tagged(r->tag, m.tag());
  for (uint64_t bits = tagged; bits; bits &= bits - 1) {
    const int32_t s = __builtin_ctzll(bits);
    const kept_block_t &k = r->key[s];
    if (k.ref[0] != m.ref[0] || k.ref[1] != m.ref[1] || k.mv[0] != m.mv[0] || k.mv[1] != m.mv[1]) continue;
    if (k.x > x || k.y > y || k.x + k.w < x + w || k.y + k.h < y + h) continue;
    if (found(s)) return s;
  }
  return -1;
}

template <class Ring>
int32_t ring_take(Ring *r, const pred_motion_t &m, int32_t x, int32_t y, int32_t w, int32_t h, bool chroma,
                  int32_t bytes) {
  // The ring's blocks lie in the order they came, wrapping once: a new one
  // at the end (or back at 0) overwrites the oldest first.
  const bool wrap = r->end + bytes > Ring::BYTES;
  const int32_t at = wrap ? 0 : r->end;
  while (r->live > 0) {
    const kept_block_t &o = r->key[r->oldest];
    const bool overlaps = o.at < at + bytes && at < o.at + o.bytes;
    // Blocks beyond the old end are older than any block from 0 on.
    const bool beyond = wrap && o.at >= r->end;
    if (r->live < Ring::SLOTS && !overlaps && !beyond) break;
    r->tag[r->oldest] = 0;
    r->oldest = (r->oldest + 1) % Ring::SLOTS;
    r->live--;
  }
  const int32_t s = (r->oldest + r->live) % Ring::SLOTS;
  r->live++;
  r->end = at + bytes;
  kept_block_t &k = r->key[s];
  r->tag[s] = m.tag();
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
  k.serial = ++r->serial;
  return s;
}

// An intermediate is looked up as the motion of its list alone.
pred_motion_t half_motion(const pred_half_t &k) { return pred_motion_t{{k.ref, nullptr}, {k.mv, 0}}; }

}  // namespace

void pred_cache_start(pred_cache_t *c, bool halves) {
  ring_clear(&c->blocks);
  if (halves) ring_clear(&c->halves);
  c->on = true;
  c->on_halves = halves;
}

void pred_cache_stop(pred_cache_t *c) { c->on = c->on_halves = false; }

int32_t pred_cache_find(const pred_cache_t *c, const pred_motion_t &m, int32_t x, int32_t y, int32_t w, int32_t h,
                        bool chroma, int32_t *luma_only) {
  *luma_only = -1;
  return ring_find(&c->blocks, m, x, y, w, h, [&](int32_t s) {
    if (!chroma || c->blocks.key[s].chroma) return true;
    *luma_only = s;
    return false;
  });
}

const uint8_t *pred_cache_luma(const pred_cache_t *c, int32_t slot, int32_t x, int32_t y, int32_t *stride) {
  const kept_block_t &k = c->blocks.key[slot];
  *stride = k.w;
  return c->blocks.ring + k.at + (y - k.y) * k.w + (x - k.x);
}

const uint8_t *pred_cache_chroma(const pred_cache_t *c, int32_t slot, int32_t plane, int32_t x, int32_t y,
                                 int32_t *stride) {
  const kept_block_t &k = c->blocks.key[slot];
  *stride = k.w / 2;
  return c->blocks.ring + k.at + k.w * k.h + (plane - 1) * (k.w * k.h / 4) + ((y - k.y) >> 1) * (k.w / 2) +
         ((x - k.x) >> 1);
}

int32_t pred_cache_take(pred_cache_t *c, const pred_motion_t &m, int32_t x, int32_t y, int32_t w, int32_t h,
                        bool chroma) {
  return ring_take(&c->blocks, m, x, y, w, h, chroma, w * h + (chroma ? w * h / 2 : 0));
}

int32_t pred_half_find(const pred_cache_t *c, const pred_half_t &k, int32_t x, int32_t y, int32_t w, int32_t h) {
  return ring_find(&c->halves, half_motion(k), x, y, w, h,
                   [&](int32_t s) { return (c->halves.key[s].chroma != 0) == k.chroma; });
}

int32_t pred_half_take(pred_cache_t *c, const pred_half_t &k, int32_t x, int32_t y, int32_t w, int32_t h) {
  // 16-bit samples: luma w x h, or two chroma blocks of a quarter of that.
  return ring_take(&c->halves, half_motion(k), x, y, w, h, k.chroma, k.chroma ? w * h : 2 * w * h);
}

int16_t *pred_half_samples(pred_cache_t *c, int32_t slot, int32_t plane, int32_t x, int32_t y, int32_t *stride) {
  const kept_block_t &k = c->halves.key[slot];
  auto *first = reinterpret_cast<int16_t *>(c->halves.ring + k.at);
  if (plane == 0) {
    *stride = k.w;
    return first + (y - k.y) * k.w + (x - k.x);
  }
  *stride = k.w / 2;
  return first + (plane - 1) * (k.w * k.h / 4) + ((y - k.y) >> 1) * (k.w / 2) + ((x - k.x) >> 1);
}
