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

// Zeroed arrays, which come untouched from the system: the picture pool
// makes every input picture's records when the encoder is created.
template <typename T>
bool make(T **p, int32_t count) {
  *p = static_cast<T *>(aligned_calloc(sizeof(T) * static_cast<size_t>(count)));
  return *p != nullptr;
}

}  // namespace

lowres_data_t *lowres_data_new(const lowres_layout_t &l) {
  lowres_data_t *d = static_cast<lowres_data_t *>(aligned_malloc(sizeof(lowres_data_t)));
  if (!d) return nullptr;
  std::memset(d, 0, sizeof(*d));
  d->layout = l;
  bool ok = true;
  const int32_t ctus = l.ctu_cols * l.ctu_rows;
  for (int32_t i = 0; i <= l.max_distance; i++)
    for (int32_t j = 0; j <= l.max_distance; j++) {
      ok = ok && make(&d->block_costs[i][j], l.block_count);
      if (l.row_arrays) ok = ok && make(&d->row_costs[i][j], l.ctu_rows) && make(&d->ctu_costs[i][j], ctus);
    }
  for (int32_t i = 0; i <= l.max_distance; i++) ok = ok && make(&d->block_hint[i], l.block_count);
  for (int32_t list = 0; list < l.lists; list++)
    for (int32_t i = 0; i < l.max_distance; i++)
      ok = ok && make(&d->mvs[list][i], l.block_count) && make(&d->mv_costs[list][i], l.block_count);
  ok = ok && make(&d->propagate, l.block_count);
  if (!ok) {
    lowres_data_delete(d);
    return nullptr;
  }
  d->intra_costs = d->block_costs[0][0];
  std::memset(d->intra_costs, 0xff, sizeof(uint32_t) * static_cast<size_t>(l.block_count));
  lowres_data_reset(d);
  return d;
}

void lowres_data_delete(lowres_data_t *d) {
  if (!d) return;
  for (int32_t i = 0; i < LOWRES_DISTANCES; i++) {
    for (int32_t j = 0; j < LOWRES_DISTANCES; j++) {
      aligned_free(d->block_costs[i][j]);
      aligned_free(d->row_costs[i][j]);
      aligned_free(d->ctu_costs[i][j]);
    }
    aligned_free(d->block_hint[i]);
  }
  for (int32_t list = 0; list < 2; list++)
    for (int32_t i = 0; i < LOWRES_DISTANCES - 1; i++) {
      aligned_free(d->mvs[list][i]);
      aligned_free(d->mv_costs[list][i]);
    }
  aligned_free(d->propagate);
  aligned_free(d);
}

void lowres_data_reset(lowres_data_t *d) {
  std::memset(d->cost_cache, 0xff, sizeof(d->cost_cache));
  std::memset(d->aq_cost_cache, 0xff, sizeof(d->aq_cost_cache));
  std::memset(d->mvs_searched, 0, sizeof(d->mvs_searched));
  d->lookahead_cost = 0;
  d->lookahead_row_costs = d->lookahead_ctu_costs = nullptr;
}
