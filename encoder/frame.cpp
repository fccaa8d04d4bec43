#include "encoder/frame.h"

#include <algorithm>
#include <cstring>
#include <new>

#include <sys/mman.h>

#include "common/memory.h"
#include "encoder/threadpool.h"
#include "ratecontrol/lowres_data.h"

int frame_list_init(frame_list_t *l, int32_t capacity) {
  l->items = static_cast<void **>(aligned_malloc(sizeof(void *) * (capacity + 1)));
  if (!l->items) return -1;
  std::memset(l->items, 0, sizeof(void *) * (capacity + 1));
  l->count = 0;
  l->capacity = capacity;
  pthread_mutex_init(&l->mutex, nullptr);
  pthread_cond_init(&l->not_empty, nullptr);
  pthread_cond_init(&l->not_full, nullptr);
  return 0;
}

void frame_list_destroy(frame_list_t *l) {
  if (!l->items) return;
  aligned_free(l->items);
  l->items = nullptr;
  pthread_mutex_destroy(&l->mutex);
  pthread_cond_destroy(&l->not_empty);
  pthread_cond_destroy(&l->not_full);
}

void frame_list_push(frame_list_t *l, void *item) {
  if (l->count >= l->capacity) return;
  l->items[l->count++] = item;
  l->items[l->count] = nullptr;
}

void frame_list_push_front(frame_list_t *l, void *item) {
  if (l->count >= l->capacity) return;
  std::memmove(l->items + 1, l->items, sizeof(void *) * l->count);
  l->items[0] = item;
  l->items[++l->count] = nullptr;
}

void *frame_list_shift(frame_list_t *l) {
  if (l->count == 0) return nullptr;
  void *item = l->items[0];
  std::memmove(l->items, l->items + 1, sizeof(void *) * l->count);
  l->count--;
  return item;
}

void frame_list_push_wait(frame_list_t *l, void *item) {
  pthread_mutex_lock(&l->mutex);
  while (l->count >= l->capacity) pthread_cond_wait(&l->not_full, &l->mutex);
  frame_list_push(l, item);
  pthread_cond_broadcast(&l->not_empty);
  pthread_mutex_unlock(&l->mutex);
}

void *frame_list_shift_wait(frame_list_t *l) {
  pthread_mutex_lock(&l->mutex);
  while (l->count == 0) pthread_cond_wait(&l->not_empty, &l->mutex);
  void *item = frame_list_shift(l);
  pthread_cond_broadcast(&l->not_full);
  pthread_mutex_unlock(&l->mutex);
  return item;
}

// Bytes of one luma plane with its margins, and the offset of its origin.
static size_t luma_plane_bytes(const frame_t *f) {
  return static_cast<size_t>(f->stride[0]) * (f->alloc_height + 2 * FRAME_PAD_Y);
}

// Zeroed (untouched until a reference first builds into them).
static int planes_set_alloc(frame_planes_t *set, const frame_t *geometry) {
  const size_t luma_size = luma_plane_bytes(geometry);
  set->phases = static_cast<uint8_t *>(aligned_calloc(15 * luma_size));
  set->hplanes = static_cast<int16_t *>(aligned_calloc(3 * luma_size * sizeof(int16_t)));
  return set->phases && set->hplanes ? 0 : -1;
}

static void planes_set_free(frame_planes_t *set) {
  if (!set) return;
  aligned_free(set->phases);
  aligned_free(set->hplanes);
  set->phases = nullptr;
  set->hplanes = nullptr;
}

// Points the picture's sub-pel plane entries into `set` (NULL: none).
static void planes_bind(frame_t *f, frame_planes_t *set) {
  f->planes_set = set;
  if (!set) {
    for (int p = 1; p < 16; p++) f->subpel[p] = nullptr;
    for (int k = 0; k < 3; k++) f->hplane[k] = nullptr;
    f->subpel[0] = nullptr;
    f->planes_valid = 0;
    return;
  }
  const size_t luma_size = luma_plane_bytes(f);
  const size_t origin = static_cast<size_t>(f->plane[0] - f->alloc);
  f->subpel[0] = f->plane[0];
  for (int p = 1; p < 16; p++) f->subpel[p] = set->phases + (p - 1) * luma_size + origin;
  for (int k = 0; k < 3; k++) f->hplane[k] = set->hplanes + k * luma_size + origin;
}

void frame_units_clear(frame_t *f) {
  pic_unit_t none{};
  none.ref_idx[0] = none.ref_idx[1] = -1;
  for (int32_t k = 0; k < 4; k++) none.luma_mode[k] = 1;
  const size_t units = static_cast<size_t>(f->units_stride) * (f->alloc_height / 8);
  for (size_t i = 0; i < units; i++) f->units[i] = none;
}

frame_t *frame_new(int32_t width, int32_t height, int32_t is_input, int32_t subpel, int32_t lowres_phases,
                   const lowres_layout_t *layout, bool units_later) {
  frame_t *f = static_cast<frame_t *>(aligned_malloc(sizeof(frame_t)));
  if (!f) return nullptr;
  std::memset(f, 0, sizeof(*f));
  int32_t ctu_cols = (width + 63) / 64, ctu_rows = (height + 63) / 64;
  f->width = width;
  f->height = height;
  f->alloc_width = ctu_cols * 64;
  f->alloc_height = ctu_rows * 64;
  f->stride[0] = ctu_cols * 64 + 2 * FRAME_PAD_X;
  f->stride[1] = f->stride[2] = f->stride[0] / 2;
  size_t luma_rows = static_cast<size_t>(f->alloc_height + 2 * FRAME_PAD_Y);
  size_t luma_size = static_cast<size_t>(f->stride[0]) * luma_rows;
  size_t chroma_size = static_cast<size_t>(f->stride[1]) * (luma_rows / 2);
  // Zeroed planes from aligned_calloc stay untouched (and not resident) until
  // the pool first hands the picture out.
  f->alloc = static_cast<uint8_t *>(aligned_calloc(luma_size + 2 * chroma_size));
  if (!f->alloc) {
    aligned_free(f);
    return nullptr;
  }
  f->plane[0] = f->alloc + FRAME_PAD_Y * f->stride[0] + FRAME_PAD_X;
  f->plane[1] = f->alloc + luma_size + (FRAME_PAD_Y / 2) * f->stride[1] + FRAME_PAD_X / 2;
  f->plane[2] = f->plane[1] + chroma_size;
  for (int c = 0; c < 3; c++) f->work[c] = f->plane[c];
  if (!is_input) {
    const size_t units = static_cast<size_t>(ctu_cols) * 8 * ctu_rows * 8;
    f->units = static_cast<pic_unit_t *>(aligned_malloc(units * sizeof(pic_unit_t)));
    if (!f->units) {
      frame_delete(f);
      return nullptr;
    }
    f->units_stride = ctu_cols * 8;
    if (!units_later) frame_units_clear(f);
  }
  if (!is_input && subpel) {
    f->planes_own = static_cast<frame_planes_t *>(aligned_malloc(sizeof(frame_planes_t)));
    if (!f->planes_own || planes_set_alloc(f->planes_own, f) < 0) {
      frame_delete(f);
      return nullptr;
    }
    planes_bind(f, f->planes_own);
  }
  if (!is_input) {
    const size_t ctus = static_cast<size_t>(ctu_cols) * ctu_rows;
    f->ctu_max_depth = static_cast<int8_t *>(aligned_malloc(ctus));
    f->ctu_min_depth = static_cast<int8_t *>(aligned_malloc(ctus));
    f->ctu_distortion = static_cast<uint32_t *>(aligned_malloc(ctus * sizeof(uint32_t)));
    if (!f->ctu_max_depth || !f->ctu_min_depth || !f->ctu_distortion) {
      frame_delete(f);
      return nullptr;
    }
    f->ctu_qp = static_cast<uint8_t *>(aligned_malloc(ctus));
    f->row_bits = static_cast<std::atomic<int32_t> *>(aligned_malloc(ctu_rows * sizeof(std::atomic<int32_t>)));
    f->row_qscale = static_cast<std::atomic<float> *>(aligned_malloc(ctu_rows * sizeof(std::atomic<float>)));
    f->row_qp = static_cast<std::atomic<float> *>(aligned_malloc(ctu_rows * sizeof(std::atomic<float>)));
    f->ctu_bits = static_cast<std::atomic<int32_t> *>(aligned_malloc(ctus * sizeof(std::atomic<int32_t>)));
    f->vbv_take = static_cast<std::atomic<float> *>(aligned_malloc(ctus * VBV_TAKES * sizeof(std::atomic<float>)));
    f->vbv_took = static_cast<std::atomic<float> *>(aligned_malloc(ctus * sizeof(std::atomic<float>)));
    if (!f->ctu_qp || !f->row_bits || !f->row_qscale || !f->row_qp || !f->ctu_bits || !f->vbv_take ||
        !f->vbv_took) {
      frame_delete(f);
      return nullptr;
    }
    std::memset(f->ctu_qp, 0, ctus);
    for (int32_t r = 0; r < ctu_rows; r++) {
      new (&f->row_bits[r]) std::atomic<int32_t>(0);
      new (&f->row_qscale[r]) std::atomic<float>(0.0f);
      new (&f->row_qp[r]) std::atomic<float>(0.0f);
    }
    for (size_t i = 0; i < ctus; i++) {
      new (&f->ctu_bits[i]) std::atomic<int32_t>(0);
      for (size_t k = 0; k < VBV_TAKES; k++) new (&f->vbv_take[i * VBV_TAKES + k]) std::atomic<float>(0.0f);
      new (&f->vbv_took[i]) std::atomic<float>(1.0f);
    }
    std::memset(f->ctu_max_depth, 0, ctus);
    std::memset(f->ctu_min_depth, 100, ctus);
    std::memset(f->ctu_distortion, 0, ctus * sizeof(uint32_t));
  }
  if (is_input) {
    if (frame_lowres_alloc(f, lowres_phases) < 0) {
      frame_delete(f);
      return nullptr;
    }
    if (layout) {
      f->la = lowres_data_new(*layout);
      if (!f->la) {
        frame_delete(f);
        return nullptr;
      }
    }
    const size_t ctus = static_cast<size_t>(ctu_cols) * ctu_rows;
    const size_t blocks = ctus * 16;
    f->aq_offsets = static_cast<float *>(aligned_malloc(blocks * sizeof(float)));
    f->aq_cutree_offsets = static_cast<float *>(aligned_malloc(blocks * sizeof(float)));
    f->aq_inv_qscale = static_cast<uint16_t *>(aligned_malloc(blocks * sizeof(uint16_t)));
    f->lookahead_row_costs = static_cast<uint32_t *>(aligned_malloc((2 * ctu_rows + 2 * ctus) * sizeof(uint32_t)));
    if (!f->aq_offsets || !f->aq_cutree_offsets || !f->aq_inv_qscale || !f->lookahead_row_costs) {
      frame_delete(f);
      return nullptr;
    }
    std::memset(f->aq_offsets, 0, blocks * sizeof(float));
    std::memset(f->aq_cutree_offsets, 0, blocks * sizeof(float));
    for (size_t i = 0; i < blocks; i++) f->aq_inv_qscale[i] = 256;
    std::memset(f->lookahead_row_costs, 0, (2 * ctu_rows + 2 * ctus) * sizeof(uint32_t));
    f->lookahead_ctu_costs = f->lookahead_row_costs + ctu_rows;
    f->intra_row_costs = f->lookahead_ctu_costs + ctus;
    f->intra_ctu_costs = f->intra_row_costs + ctu_rows;
  }
  f->refcount = 0;
  f->is_input = is_input;
  f->scenecut_candidate = 1;
  return f;
}

size_t frame_lowres_plane_bytes(const frame_t *f) {
  return static_cast<size_t>(f->lowres_stride) * (f->alloc_height / 2 + 2 * LOWRES_PAD_Y);
}

int frame_lowres_alloc(frame_t *f, int32_t phases) {
  f->lowres_stride = f->alloc_width / 2 + 2 * LOWRES_PAD_X;
  f->lowres_width = f->width / 2;
  f->lowres_height = f->height / 2;
  const size_t plane_size = frame_lowres_plane_bytes(f);
  const size_t origin = static_cast<size_t>(LOWRES_PAD_Y) * f->lowres_stride + LOWRES_PAD_X;
  f->lowres_alloc = static_cast<uint8_t *>(aligned_calloc(plane_size));
  if (phases) f->lowres_phase_alloc = static_cast<uint8_t *>(aligned_calloc(15 * plane_size));
  if (!f->lowres_alloc || (phases && !f->lowres_phase_alloc)) return -1;
  f->lowres_planes[0] = f->lowres_alloc + origin;
  if (phases)
    for (int32_t p = 1; p < 16; p++) f->lowres_planes[p] = f->lowres_phase_alloc + (p - 1) * plane_size + origin;
  f->lowres_luma = f->lowres_planes[0];
  return 0;
}

int frame_pool_add_recon_lowres(frame_pool_t *pool) {
  for (int32_t i = 0; i < pool->all_count; i++) {
    frame_t *f = pool->all[i];
    if (!f->is_input && !f->lowres_alloc && frame_lowres_alloc(f, 0) < 0) return -1;
  }
  return 0;
}

void frame_copy_lowres(frame_t *dst, const frame_t *src) {
  std::memcpy(dst->lowres_alloc, src->lowres_alloc, frame_lowres_plane_bytes(src));
}

void frame_delete(frame_t *f) {
  if (!f) return;
  aligned_free(f->units);
  aligned_free(f->alloc);
  planes_set_free(f->planes_own);
  aligned_free(f->planes_own);
  aligned_free(f->lowres_alloc);
  aligned_free(f->lowres_phase_alloc);
  lowres_data_delete(f->la);
  aligned_free(f->ctu_max_depth);
  aligned_free(f->ctu_min_depth);
  aligned_free(f->ctu_distortion);
  aligned_free(f->ctu_qp);
  aligned_free(f->row_bits);
  aligned_free(f->row_qscale);
  aligned_free(f->row_qp);
  aligned_free(f->ctu_bits);
  aligned_free(f->vbv_take);
  aligned_free(f->vbv_took);
  aligned_free(f->aq_offsets);
  aligned_free(f->aq_cutree_offsets);
  aligned_free(f->aq_inv_qscale);
  aligned_free(f->lookahead_row_costs);
  aligned_free(f);
}

void frame_extend_left(frame_t *f, int32_t y0, int32_t y1) {
  for (int p = 0; p < 3; p++) {
    const int32_t sx = p ? 1 : 0;
    const int32_t r0 = y0 >> sx, r1 = std::min(y1 >> sx, f->height >> sx);
    const int32_t left = FRAME_PAD_X >> sx;
    for (int32_t y = r0; y < r1; y++) {
      uint8_t *row = f->plane[p] + y * f->stride[p];
      std::memset(row - left, row[0], left);
    }
  }
}

void frame_extend_rows(frame_t *f, int32_t y0, int32_t y1, bool left_done, int32_t top_from) {
  // Prediction pads a reference picture beyond its coded size (H.265
  // 8.5.3.3.3.1 clamps sample positions into the picture), so everything
  // right of and below the coded area repeats its edge samples, out to the
  // end of the margins.
  for (int p = 0; p < 3; p++) {
    const int32_t sx = p ? 1 : 0;
    const int32_t w = f->width >> sx, h = f->height >> sx;
    const int32_t r0 = y0 >> sx, r1 = std::min(y1 >> sx, h);
    const int32_t left = FRAME_PAD_X >> sx, top = FRAME_PAD_Y >> sx;
    const int32_t right = ((f->alloc_width + FRAME_PAD_X) >> sx) - w;
    const int32_t bottom = ((f->alloc_height + FRAME_PAD_Y) >> sx) - h;
    const int32_t stride = f->stride[p];
    uint8_t *o = f->plane[p];
    for (int32_t y = r0; y < r1; y++) {
      uint8_t *row = o + y * stride;
      if (!left_done) std::memset(row - left, row[0], left);
      std::memset(row + w, row[w - 1], right);
    }
    if (r0 == 0) {
      const int32_t from = top_from > 0 ? top_from >> sx : -left;
      for (int32_t y = 1; y <= top; y++) std::memcpy(o - y * stride + from, o + from, right + w - from);
    }
    if (r1 == h)
      for (int32_t y = 0; y < bottom; y++)
        std::memcpy(o + (h + y) * stride - left, o + (h - 1) * stride - left, left + w + right);
  }
}

void frame_extend_borders(frame_t *f) { frame_extend_rows(f, 0, f->height); }

void frame_extend_top(frame_t *f, int32_t x0, int32_t x1) {
  for (int p = 0; p < 3; p++) {
    const int32_t sx = p ? 1 : 0;
    const int32_t left = FRAME_PAD_X >> sx, top = FRAME_PAD_Y >> sx;
    const int32_t c0 = x0 >> sx, c1 = std::min(x1, f->width) >> sx;
    const int32_t stride = f->stride[p];
    uint8_t *o = f->plane[p];
    for (int32_t y = 1; y <= top; y++) {
      uint8_t *row = o - y * stride;
      // The corner repeats the first sample, as the first row's left margin
      // will once it is written.
      if (c0 == 0) std::memset(row - left, o[0], left);
      std::memcpy(row + c0, o + c0, c1 - c0);
    }
  }
}

int frame_pool_init(frame_pool_t *pool, int32_t width, int32_t height, int32_t inputs, int32_t recons,
                    int32_t plane_sets, int32_t lowres_phases, const lowres_layout_t *layout, bool units_later) {
  std::memset(pool, 0, sizeof(*pool));
  pool->width = width;
  pool->height = height;
  const int32_t capacity = inputs + recons;
  pool->all_capacity = capacity;
  pool->all = static_cast<frame_t **>(aligned_malloc(sizeof(frame_t *) * capacity));
  if (!pool->all || frame_list_init(&pool->unused, capacity) < 0) {
    aligned_free(pool->all);
    pool->all = nullptr;
    return -1;
  }
  pthread_mutex_init(&pool->mutex, nullptr);
  // An input picture is listed at most once while the input has ended.
  pool->returning = static_cast<frame_t **>(aligned_malloc(sizeof(frame_t *) * capacity));
  if (!pool->returning) return -1;
  // Every picture is made now: encoding only recycles them.
  for (int32_t i = 0; i < capacity; i++) {
    frame_t *f = frame_new(width, height, i < inputs ? 1 : 0, 0, 0, layout, units_later);
    if (!f) return -1;  // frame_pool_destroy frees what was made
    pool->all[pool->all_count++] = f;
    pool->made[f->is_input]++;
    frame_list_push(&pool->unused, f);
  }
  if (plane_sets > 0 && recons > 0) {
    pool->plane_sets = static_cast<frame_planes_t *>(aligned_calloc(sizeof(frame_planes_t) * plane_sets));
    pool->plane_free = static_cast<frame_planes_t **>(aligned_malloc(sizeof(frame_planes_t *) * plane_sets));
    if (!pool->plane_sets || !pool->plane_free) return -1;
    const frame_t *geometry = pool->all[inputs];
    for (int32_t i = 0; i < plane_sets; i++) {
      pool->plane_set_count++;
      if (planes_set_alloc(&pool->plane_sets[i], geometry) < 0) return -1;
      pool->plane_free[pool->plane_free_count++] = &pool->plane_sets[plane_sets - 1 - i];
    }
  }
  if (lowres_phases)
    for (int32_t i = 0; i < inputs; i++) pool->all[i]->lowres_plane0_phased = 1;
  return 0;
}

void frame_pool_clear_units(frame_pool_t *pool) {
  for (int32_t i = 0; i < pool->all_count; i++)
    if (!pool->all[i]->is_input) frame_units_clear(pool->all[i]);
}

namespace {

// One thread's share of the pool's pictures and plane sets: every n-th from k.
struct pool_share_t {
  frame_pool_t *pool;
  int32_t k, n;
};

void *free_share(void *arg) {
  const pool_share_t *s = static_cast<const pool_share_t *>(arg);
  frame_pool_free_share(s->pool, s->k, s->n);
  return nullptr;
}

}  // namespace

void frame_pool_free_share(frame_pool_t *pool, int32_t k, int32_t n) {
  for (int32_t i = k; i < pool->all_count; i += n) {
    frame_delete(pool->all[i]);
    pool->all[i] = nullptr;
  }
  for (int32_t i = k; i < pool->plane_set_count; i += n) planes_set_free(&pool->plane_sets[i]);
}

void frame_pool_destroy(frame_pool_t *pool, int32_t threads) {
  if (!pool->all) return;
  // Giving the pages back is most of it (some 30 ms of one thread for a
  // 1080p encode's pictures), and the system frees them for several
  // threads at once.
  constexpr int32_t MAX_SHARES = 4;
  const int32_t n = std::clamp(threads, 1, MAX_SHARES);
  pool_share_t shares[MAX_SHARES];
  pthread_t ids[MAX_SHARES];
  bool started[MAX_SHARES] = {};
  for (int32_t k = 0; k < n; k++) shares[k] = pool_share_t{pool, k, n};
  for (int32_t k = 1; k < n; k++) started[k] = thread_start(&ids[k], free_share, &shares[k]) == 0;
  free_share(&shares[0]);
  for (int32_t k = 1; k < n; k++) {
    if (started[k])
      pthread_join(ids[k], nullptr);
    else
      free_share(&shares[k]);
  }
  aligned_free(pool->plane_sets);
  aligned_free(pool->plane_free);
  aligned_free(pool->returning);
  aligned_free(pool->all);
  pool->all = nullptr;
  frame_list_destroy(&pool->unused);
  pthread_mutex_destroy(&pool->mutex);
}

frame_t *frame_get_unused(frame_pool_t *pool, int32_t is_input) {
  pthread_mutex_lock(&pool->mutex);
  frame_t *f = nullptr;
  // Prefer a recycled picture of the same kind.
  for (int32_t i = 0; i < pool->unused.count; i++) {
    frame_t *c = static_cast<frame_t *>(pool->unused.items[i]);
    if (c->is_input == is_input) {
      f = c;
      std::memmove(pool->unused.items + i, pool->unused.items + i + 1, sizeof(void *) * (pool->unused.count - i));
      pool->unused.count--;
      break;
    }
  }
  if (f) {
    f->refcount = 1;
    f->recon_done = 0;
    f->final_rows = 0;
    f->planes_valid = 0;
    f->plane_rows = 0;
    f->intra_done = 0;
    f->intra_ready = 0;
    f->scenecut_candidate = 1;
    const int32_t kind = is_input ? 1 : 0;
    pool->peak[kind] = std::max(pool->peak[kind], ++pool->in_use[kind]);
  }
  pthread_mutex_unlock(&pool->mutex);
  return f;
}

// Gives a borrowed plane set back; the pool's lock is held.
static void planes_return_locked(frame_pool_t *pool, frame_t *f) {
  if (!f->planes_set || f->planes_set == f->planes_own) return;
  pool->plane_free[pool->plane_free_count++] = f->planes_set;
  planes_bind(f, nullptr);
  f->plane_holds = 0;
}

static void release_locked(frame_pool_t *pool, frame_t *f) {
  // The picture released last is handed out first: pictures the encoder
  // never needs at once stay untouched, so the resident size follows the
  // pictures really in use rather than the pool's worst case.
  if (--f->refcount == 0) {
    // Nothing can predict from a picture nobody holds.
    planes_return_locked(pool, f);
    pool->in_use[f->is_input ? 1 : 0]--;
    frame_list_push_front(&pool->unused, f);
    if (pool->input_ended && (f->is_input || pool->starts_ended) && pool->returning)
      pool->returning[pool->returning_count++] = f;
  }
}

frame_t *frame_peek_unused(frame_pool_t *pool, int32_t is_input, int32_t skip) {
  pthread_mutex_lock(&pool->mutex);
  frame_t *f = nullptr;
  for (int32_t i = 0; i < pool->unused.count && !f; i++) {
    frame_t *c = static_cast<frame_t *>(pool->unused.items[i]);
    if (c->is_input == is_input && skip-- == 0) f = c;
  }
  pthread_mutex_unlock(&pool->mutex);
  return f;
}

void frame_populate(frame_t *f) {
#ifdef MADV_POPULATE_WRITE
  const size_t luma = luma_plane_bytes(f);
  const uintptr_t page = 4096;
  const uintptr_t from = (reinterpret_cast<uintptr_t>(f->alloc) + page - 1) & ~(page - 1);
  const uintptr_t to = (reinterpret_cast<uintptr_t>(f->alloc) + luma + luma / 2) & ~(page - 1);
  if (to > from) madvise(reinterpret_cast<void *>(from), to - from, MADV_POPULATE_WRITE);
#else
  (void)f;
#endif
}

void frame_return_pages(frame_t *f) {
  const size_t luma = luma_plane_bytes(f);
  const uintptr_t page = 4096;
  const uintptr_t from = (reinterpret_cast<uintptr_t>(f->alloc) + page - 1) & ~(page - 1);
  const uintptr_t to = (reinterpret_cast<uintptr_t>(f->alloc) + luma + luma / 2) & ~(page - 1);
  if (to > from) madvise(reinterpret_cast<void *>(from), to - from, MADV_DONTNEED);
  f->pages_ready = 0;
}

void frame_pool_input_ended(frame_pool_t *pool, int32_t ended) {
  pthread_mutex_lock(&pool->mutex);
  pool->input_ended = ended;
  pool->starts_ended = 0;
  pool->returning_count = 0;
  pthread_mutex_unlock(&pool->mutex);
}

void frame_pool_starts_ended(frame_pool_t *pool) {
  pthread_mutex_lock(&pool->mutex);
  if (pool->input_ended && !pool->starts_ended && pool->returning) {
    pool->starts_ended = 1;
    // Each picture is listed once: unused now, or released later.
    for (int32_t i = 0; i < pool->unused.count; i++) {
      frame_t *f = static_cast<frame_t *>(pool->unused.items[i]);
      if (!f->is_input) pool->returning[pool->returning_count++] = f;
    }
  }
  pthread_mutex_unlock(&pool->mutex);
}

bool frame_pool_returning_job_due(frame_pool_t *pool) {
  pthread_mutex_lock(&pool->mutex);
  const bool due = pool->returning_count > 0 && !pool->returning_busy;
  if (due) pool->returning_busy = 1;
  pthread_mutex_unlock(&pool->mutex);
  return due;
}

frame_t *frame_pool_next_returning(frame_pool_t *pool) {
  pthread_mutex_lock(&pool->mutex);
  frame_t *f = nullptr;
  if (pool->returning_count > 0)
    f = pool->returning[--pool->returning_count];
  else
    pool->returning_busy = 0;
  pthread_mutex_unlock(&pool->mutex);
  return f;
}

void frame_release(frame_pool_t *pool, frame_t *f) {
  if (!f) return;
  pthread_mutex_lock(&pool->mutex);
  release_locked(pool, f);
  pthread_mutex_unlock(&pool->mutex);
}

void frame_addref(frame_pool_t *pool, frame_t *f) {
  pthread_mutex_lock(&pool->mutex);
  f->refcount++;
  pthread_mutex_unlock(&pool->mutex);
}

int frame_planes_attach(frame_pool_t *pool, frame_t *f) {
  pthread_mutex_lock(&pool->mutex);
  int result = -1;
  if (f->planes_set) {
    result = 0;
  } else if (pool->plane_free_count > 0) {
    planes_bind(f, pool->plane_free[--pool->plane_free_count]);
    pool->plane_peak = std::max(pool->plane_peak, pool->plane_set_count - pool->plane_free_count);
    result = 0;
  }
  if (result == 0) f->plane_holds = 1;
  pthread_mutex_unlock(&pool->mutex);
  return result;
}

void frame_ref_hold(frame_pool_t *pool, frame_t *f) {
  pthread_mutex_lock(&pool->mutex);
  f->refcount++;
  if (f->planes_set) f->plane_holds++;
  pthread_mutex_unlock(&pool->mutex);
}

static void planes_drop_locked(frame_pool_t *pool, frame_t *f) {
  if (f->planes_set && --f->plane_holds <= 0) planes_return_locked(pool, f);
}

void frame_ref_drop(frame_pool_t *pool, frame_t *f) {
  if (!f) return;
  pthread_mutex_lock(&pool->mutex);
  planes_drop_locked(pool, f);
  release_locked(pool, f);
  pthread_mutex_unlock(&pool->mutex);
}

void frame_planes_coded(frame_pool_t *pool, frame_t *f) {
  pthread_mutex_lock(&pool->mutex);
  planes_drop_locked(pool, f);
  pthread_mutex_unlock(&pool->mutex);
}
