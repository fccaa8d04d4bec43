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
  for (auto &v : free_slot->valid)
    for (auto &row : v) row = 0;
  for (auto &v : free_slot->sum_valid)
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

void me_subpel_slot_t::fill_sums(const mc_funcs_t *mc, int32_t fx, uint32_t cols, uint32_t ty0, uint32_t ty1) {
  uint32_t *v = sum_valid[fx - 1];
  uint32_t my0, my1;
  const uint32_t missing = missing_tiles(v, cols, ty0, ty1, &my0, &my1);
  if (!missing) return;
  // The bounding box of what is missing: rows shared by neighbouring tile
  // rows, or summed again, get the same values.
  const int32_t mx0 = __builtin_ctz(missing), mx1 = 31 - __builtin_clz(missing);
  const int32_t x0 = mx0 * TILE, r0 = static_cast<int32_t>(my0) * TILE - 3;
  const uint8_t *at = ref + static_cast<intptr_t>(r0 - MARGIN) * stride + (x0 - MARGIN);
  int32_t ds = SPAN;
  mc->mc_luma_ps(sums[fx - 1] + (r0 + 3) * SPAN + x0, &ds, at, nullptr, stride, fx, 0, (mx1 + 1 - mx0) * TILE,
                 static_cast<int32_t>(my1 + 1 - my0) * TILE + 7);
  const uint32_t filled = ((2u << mx1) - 1) & ~((1u << mx0) - 1);
  for (uint32_t t = my0; t <= my1; t++) v[t] |= filled;
}

void me_subpel_slot_t::fill(const mc_funcs_t *mc, uint32_t cols, uint32_t ty0, uint32_t ty1, int32_t phase) {
  uint32_t *v = valid[phase - 1];
  // The bounding box of the tiles still to filter: filtering a tile again
  // writes the same bytes.
  uint32_t my0, my1;
  const uint32_t missing = missing_tiles(v, cols, ty0, ty1, &my0, &my1);
  const int32_t mx0 = __builtin_ctz(missing), mx1 = 31 - __builtin_clz(missing);
  const int32_t fx = phase & 3, fy = phase >> 2;
  const int32_t x0 = mx0 * TILE, x1 = (mx1 + 1) * TILE;
  const int32_t y0 = static_cast<int32_t>(my0) * TILE, y1 = static_cast<int32_t>(my1 + 1) * TILE;
  uint8_t *plane = pix[phase - 1];
  if (fx != 0) {
    // The second stage over the fraction's sums (the rounding of them for
    // vertical fraction 0).
    fill_sums(mc, fx, ((2u << mx1) - 1) & ~((1u << mx0) - 1), my0, my1);
    const int16_t *hplanes[3] = {nullptr, nullptr, nullptr};
    hplanes[fx - 1] = sums[fx - 1] + 3 * SPAN;
    mc->mc_luma(plane + y0 * SPAN + x0, SPAN, ref, hplanes, SPAN, 4 * x0 + fx, 4 * y0 + fy, x1 - x0, y1 - y0);
  } else {
    // In pieces of at most 64 x 64, the largest the tiers' kernels take.
    for (int32_t py = y0; py < y1; py += 64)
      for (int32_t px = x0; px < x1; px += 64) {
        const int32_t pw = std::min(64, x1 - px), ph = std::min(64, y1 - py);
        mc->mc_luma(plane + py * SPAN + px, SPAN, ref, nullptr, stride, 4 * (px - MARGIN), 4 * (py - MARGIN) + fy, pw,
                    ph);
      }
  }
  const uint32_t filled = ((2u << mx1) - 1) & ~((1u << mx0) - 1);
  for (uint32_t t = my0; t <= my1; t++) v[t] |= filled;
}
