#include "motion/me_subpel_cache.h"

#include <algorithm>
#include <memory>

#include "common/memory.h"
#include "common/primitives.h"

namespace {

struct cache_free_t {
  void operator()(me_subpel_cache_t *c) const { aligned_free(c); }
};

}  // namespace

me_subpel_cache_t *me_subpel_cache_of_thread() {
  // Freed when the thread ends.
  thread_local std::unique_ptr<me_subpel_cache_t, cache_free_t> cache;
  if (!cache) {
    auto *c = static_cast<me_subpel_cache_t *>(aligned_malloc(sizeof(me_subpel_cache_t)));
    if (!c) return nullptr;
    c->gen = 0;
    for (auto &s : c->slot) {
      s.gen = 0;
      s.sums = c->sums;
      s.units.clear();
    }
    cache.reset(c);
  }
  return cache.get();
}

uint32_t me_subpel_cache_new_ctu(me_subpel_cache_t *c) {
  if (++c->gen == 0) {
    // The generation wrapped: no slot may claim the new value.
    for (auto &s : c->slot) {
      s.gen = 0;
      s.units.clear();
    }
    c->gen = 1;
  }
  return c->gen;
}

me_subpel_slot_t *me_subpel_cache_slot(me_subpel_cache_t *c, uint32_t gen, const uint8_t *ref, int32_t stride,
                                       int32_t reach) {
  using S = me_subpel_slot_t;
  me_subpel_slot_t *free_slot = nullptr;
  for (auto &s : c->slot) {
    if (s.gen == gen && s.ref == ref && s.stride == stride) return &s;
    if (s.gen != gen && !free_slot) free_slot = &s;
  }
  if (!free_slot) return nullptr;
  free_slot->gen = gen;
  free_slot->ref = ref;
  free_slot->stride = stride;
  // A fractional vector's block ends at most reach - 2 samples below (or
  // right of) the CTU's far edge and its taps read 4 more: tiles up to
  // reach - 2 samples beyond the edge read nothing those vectors cannot.
  free_slot->far = std::clamp(((reach - 2) / S::TILE) * S::TILE, 0, S::MARGIN);
  free_slot->far_x = std::min(free_slot->far, S::MARGIN_X);
  for (auto &v : free_slot->valid)
    for (auto &row : v) row = 0;
  return free_slot;
}

void me_unit_costs_t::clear() {
  for (auto &unit : entry)
    for (entry_t &e : unit) e.gen = 0;
}

namespace {

// The tile columns of `cols` missing from validity rows ty0..ty1, and the
// first and last rows that miss any.
uint32_t missing_tiles(const uint32_t *v, uint32_t cols, uint32_t ty0, uint32_t ty1, uint32_t *first, uint32_t *last) {
  uint32_t missing = 0;
  *first = ty1 + 1;
  *last = ty0;
  for (uint32_t t = ty0; t <= ty1; t++) {
    const uint32_t m = cols & ~v[t];
    if (m) {
      missing |= m;
      *first = std::min(*first, t);
      *last = t;
    }
  }
  return missing;
}

}  // namespace

void me_subpel_slot_t::fill(const mc_funcs_t *mc, uint32_t cols, uint32_t ty0, uint32_t ty1, int32_t phase) {
  // The bounding box of the tiles still to filter: filtering a tile again
  // writes the same bytes.  The phases of a horizontal fraction are filled
  // together, so they miss the same tiles.
  uint32_t my0, my1;
  const uint32_t missing = missing_tiles(valid[phase - 1], cols, ty0, ty1, &my0, &my1);
  const int32_t mx0 = __builtin_ctz(missing), mx1 = 31 - __builtin_clz(missing);
  const int32_t fx = phase & 3, fy = phase >> 2;
  const int32_t x0 = mx0 * TILE, x1 = (mx1 + 1) * TILE;
  const int32_t y0 = static_cast<int32_t>(my0) * TILE, y1 = static_cast<int32_t>(my1 + 1) * TILE;
  const uint32_t filled = ((2u << mx1) - 1) & ~((1u << mx0) - 1);
  if (fx != 0) {
    // In pieces of at most FILL_MAX x FILL_MAX, the sums' size: each
    // piece's sums from 3 rows above to 4 below it, then every vertical
    // phase's second stage over them (the rounding of them for vertical
    // fraction 0).
    const int16_t *hplanes[3] = {nullptr, nullptr, nullptr};
    for (int32_t py = y0; py < y1; py += FILL_MAX)
      for (int32_t px = x0; px < x1; px += FILL_MAX) {
        const int32_t pw = std::min(FILL_MAX, x1 - px), ph = std::min(FILL_MAX, y1 - py);
        const uint8_t *at = ref + static_cast<intptr_t>(py - 3 - MARGIN) * stride + (px - MARGIN_X);
        int32_t ds = pw;
        mc->mc_luma_ps(sums, &ds, at, nullptr, stride, fx, 0, pw, ph + 7);
        hplanes[fx - 1] = sums + 3 * pw;
        for (int32_t f = fx; f < 16; f += 4)
          mc->mc_luma(pix[f - 1] + py * SPAN + px, SPAN, ref, hplanes, pw, fx, f >> 2, pw, ph);
      }
    for (int32_t f = fx; f < 16; f += 4)
      for (uint32_t t = my0; t <= my1; t++) valid[f - 1][t] |= filled;
  } else {
    // In pieces of at most 64 x 64, the largest the tiers' kernels take.
    uint8_t *plane = pix[phase - 1];
    for (int32_t py = y0; py < y1; py += 64)
      for (int32_t px = x0; px < x1; px += 64) {
        const int32_t pw = std::min(64, x1 - px), ph = std::min(64, y1 - py);
        mc->mc_luma(plane + py * SPAN + px, SPAN, ref, nullptr, stride, 4 * (px - MARGIN_X), 4 * (py - MARGIN) + fy, pw,
                    ph);
      }
    for (uint32_t t = my0; t <= my1; t++) valid[phase - 1][t] |= filled;
  }
}
