#include "ratecontrol/lowres_data.h"

#include <cstring>

#include "common/memory.h"

lowres_layout_t lowres_layout(int32_t width, int32_t height, int32_t bframes, int32_t row_arrays) {
  lowres_layout_t l{};
  l.ctu_cols = (width + 63) / 64;
  l.ctu_rows = (height + 63) / 64;
  l.block_cols = (width + 15) >> 4;
  l.block_rows = (height + 15) >> 4;
  l.block_stride = 4 * l.ctu_cols;
  l.block_count = l.ctu_cols * l.ctu_rows * 16;
  l.max_distance = bframes + 1 < LOWRES_DISTANCES - 1 ? bframes + 1 : LOWRES_DISTANCES - 1;
  l.lists = bframes > 0 ? 2 : 1;
  l.row_arrays = row_arrays;
  return l;
}

namespace {

// Every array of a picture's records is carved from one zeroed block, which
// comes untouched from the system: the picture pool makes every input
// picture's records when the encoder is created, and some fifty arrays of a
// few tens of KB each, cleared one by one by the C allocator, were a third
// of the creation time at 1080p.  Pages no estimate writes stay unmapped.
struct carver_t {
  uint8_t *base;
  size_t used;
  template <typename T>
  void take(T **p, int32_t count) {
    const size_t bytes = (sizeof(T) * static_cast<size_t>(count) + 63) & ~static_cast<size_t>(63);
    *p = base ? reinterpret_cast<T *>(base + used) : nullptr;
    used += bytes;
  }
};

// Points the arrays into c's block (or, with none, only sums their size).
void carve(lowres_data_t *d, carver_t &c) {
  const lowres_layout_t &l = d->layout;
  const int32_t ctus = l.ctu_cols * l.ctu_rows;
  for (int32_t i = 0; i <= l.max_distance; i++)
    for (int32_t j = 0; j <= l.max_distance; j++) {
      c.take(&d->block_costs[i][j], l.block_count);
      if (l.row_arrays) {
        c.take(&d->row_costs[i][j], l.ctu_rows);
        c.take(&d->ctu_costs[i][j], ctus);
      }
    }
  for (int32_t i = 0; i <= l.max_distance; i++) c.take(&d->block_hint[i], l.block_count);
  for (int32_t list = 0; list < l.lists; list++)
    for (int32_t i = 0; i < l.max_distance; i++) {
      c.take(&d->mvs[list][i], l.block_count);
      c.take(&d->mv_costs[list][i], l.block_count);
    }
  c.take(&d->propagate, l.block_count);
}

}  // namespace

lowres_data_t *lowres_data_new(const lowres_layout_t &l) {
  lowres_data_t *d = static_cast<lowres_data_t *>(aligned_malloc(sizeof(lowres_data_t)));
  if (!d) return nullptr;
  std::memset(d, 0, sizeof(*d));
  d->layout = l;
  carver_t sizing{nullptr, 0};
  carve(d, sizing);
  carver_t c{static_cast<uint8_t *>(aligned_calloc(sizing.used)), 0};
  if (!c.base) {
    aligned_free(d);
    return nullptr;
  }
  d->block = c.base;
  carve(d, c);
  d->intra_costs = d->block_costs[0][0];
  std::memset(d->intra_costs, 0xff, sizeof(uint32_t) * static_cast<size_t>(l.block_count));
  lowres_data_reset(d);
  return d;
}

void lowres_data_delete(lowres_data_t *d) {
  if (!d) return;
  aligned_free(d->block);
  aligned_free(d);
}

void lowres_data_reset(lowres_data_t *d) {
  std::memset(d->cost_cache, 0xff, sizeof(d->cost_cache));
  std::memset(d->aq_cost_cache, 0xff, sizeof(d->aq_cost_cache));
  std::memset(d->mvs_searched, 0, sizeof(d->mvs_searched));
  d->lookahead_cost = 0;
  d->lookahead_row_costs = d->lookahead_ctu_costs = nullptr;
}
