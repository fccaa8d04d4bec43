// The estimate of one picture: every evaluated 8x8 block of its
// half-resolution picture gets an intra cost (SATD of the best of a few
// predictions) and, against the earlier and the later picture, the cost of
// the best whole-sample vector of each list and of their average.  Jobs
// take block rows from a shared counter; a block reads only its left
// neighbour (same row, same job) and vectors of other pictures that are
// already final, so the results do not depend on which job took a row.
#include "ratecontrol/lowres_cost.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "common/memory.h"
#include "encoder/encoder.h"
#include "ratecontrol/lookahead_frame.h"
#include "tarnhevcenc.h"

namespace {

constexpr int32_t SIZE_8X8 = 3;  // size row of the pixel table
constexpr int32_t LOG2_8X8 = 3;

// One estimate of a batch.  state: waiting, started (rows being handed
// out) or complete.
enum estimate_state_t : int32_t { EST_WAITING, EST_STARTED, EST_COMPLETE };
struct lookahead_job_arg_t {
  encoder_t *ctx;
  frame_t *const *frames;
  int32_t p0, p1, b;
  int32_t do_search[2];
  int32_t state;
  int32_t next_row, rows_done, rows_total;
  uint64_t after;  // the earlier estimates of the batch it must follow
};

// The estimates of one call, in the order asked, and the jobs' progress
// through them (under the engine's job mutex).
struct lookahead_batch_t {
  lookahead_job_arg_t *est;
  int32_t count;
  uint64_t complete;  // one bit per estimate (at most 64 of them)
  uint64_t awaited;   // estimates that a later one must follow
  int32_t job_counter;
  pthread_cond_t progress;  // an estimate completed
};

int32_t log2_of(int32_t v) { return 31 - __builtin_clz(static_cast<uint32_t>(v)); }

uint32_t weighted(const uint16_t *weights, int32_t k, uint32_t cost) {
  return weights ? (static_cast<uint32_t>(weights[k]) * cost + 128) >> 8 : cost;
}


// Scales a temporal vector component to the distance of list 0 (s) and
// derives both candidates, rounded to whole samples.
int16_t round_whole(int32_t c) { return static_cast<int16_t>((c + 2) & ~3); }

void append_candidate(mv_t *list, int32_t *count, mv_t v) {
  if (v == 0 && *count > 0) return;
  list[(*count)++] = v;
}

uint32_t intra_cost(const encoder_t *ctx, lookahead_slot_t *s, const uint8_t *pix, int32_t stride) {
  uint8_t *raw = s->nb[0], *smooth = s->nb[1];
  raw[0] = pix[-stride - 1];
  for (int32_t i = 0; i < 16; i++) raw[1 + i] = pix[-stride + i];
  for (int32_t i = 0; i < 16; i++) raw[17 + i] = pix[static_cast<intptr_t>(i) * stride - 1];
  ctx->intra.ref_filter[LOG2_8X8 - 2](raw, smooth);
  const pixel_cost_fn satd = ctx->pixel.satd[SIZE_8X8];
  auto cost_of = [&](int32_t mode, const uint8_t *nb) {
    intra_predictor(ctx->intra, mode, 0, LOG2_8X8)(s->pred, 128, nb);
    return satd(s->src, 64, s->pred, 128);
  };
  uint32_t best = std::min<uint32_t>(cost_of(0, smooth), 0x1fffffff);
  best = std::min(best, cost_of(1, raw));
  best = std::min(best, cost_of(26, raw));
  best = std::min(best, cost_of(10, raw));
  const int32_t quality = ctx->param.search_quality;
  if (quality > 2) {
    const int32_t step = 1 << std::max(0, 5 - quality);
    for (int32_t mode = 2; mode <= 34; mode += step) {
      if (mode == 10 || mode == 26) continue;
      const bool smoothed = mode == 2 || mode == 18 || mode == 34;
      best = std::min(best, cost_of(mode, smoothed ? smooth : raw));
    }
  }
  return best + 9;
}

void estimate_block(lookahead_job_arg_t *a, lookahead_slot_t *s, int32_t x, int32_t y) {
  encoder_t *ctx = a->ctx;
  const lookahead_engine_t *e = ctx->lookahead_engine;
  const lowres_layout_t &l = e->layout;
  frame_t *fb = a->frames[a->b];
  lowres_data_t *db = fb->la;
  const int32_t p0 = a->p0, p1 = a->p1, b = a->b, d0 = b - p0, d1 = p1 - b;
  const int32_t stride = fb->lowres_stride;
  const int32_t k = y * l.block_stride + x;
  const intptr_t o = 8 * x + static_cast<intptr_t>(8 * y) * stride;
  ctx->mc.block_copy(s->src, 64, fb->lowres_planes[0] + o, stride, 8, 8);

  uint32_t inter = 0x1fffffff, kind = LOWRES_INTRA;
  if (p0 != p1) {
    me_context_t &me = s->me;
    me.ctu_x = 8 * x;
    me.ctu_y = 8 * y;
    mv_t cand[2][3];
    int32_t count[2] = {0, 0};
    const int32_t lists = b < p1 ? 2 : 1;
    if (x >= ctx->param.lookahead_step_x) {
      cand[0][count[0]++] = db->mvs[0][d0 - 1][k - ctx->param.lookahead_step_x];
      if (lists == 2) cand[1][count[1]++] = db->mvs[1][d1 - 1][k - ctx->param.lookahead_step_x];
    }
    if (lists == 2) {
      // The later picture's vector towards the earlier one, scaled to each
      // distance; only once that picture's vectors have been searched.
      const lowres_data_t *d_p1 = a->frames[p1]->la;
      const int32_t dist = p1 - p0;
      // Vectors are kept up to max_distance only: an anchor 17 pictures back
      // (16 B pictures between) has none to lend.
      const bool kept = dist <= l.max_distance;
      const mv_t v = kept && d_p1->mvs_searched[0][dist - 1] == 2 ? d_p1->mvs[0][dist - 1][k] : 0;
      if (v != 0) {
        int32_t c0[2], c1[2];
        const int32_t comp[2] = {mv_x(v), mv_y(v)};
        for (int32_t i = 0; i < 2; i++) {
          const int32_t m = std::abs(comp[i]);
          int32_t sc = (m * d0 + dist / 2) / dist;
          if (comp[i] < 0) sc = -sc;
          c0[i] = round_whole(sc);
          c1[i] = round_whole(static_cast<int16_t>(sc - comp[i]));
        }
        append_candidate(cand[0], &count[0], mv_make(c0[0], c0[1]));
        append_candidate(cand[1], &count[1], mv_make(c1[0], c1[1]));
      }
    }
    for (int32_t list = 0; list < lists; list++)
      if (count[list] == 0 || (count[list] == 1 && cand[list][0] != 0)) cand[list][count[list]++] = 0;

    uint32_t best = UINT32_MAX;
    mv_t best_mv[2] = {0, 0};
    for (int32_t list = 0; list < lists; list++) {
      const frame_t *ref = a->frames[list == 0 ? p0 : p1];
      const int32_t d = list == 0 ? d0 : d1;
      me.ref_planes[list][0] = ref->lowres_planes[0];
      mv_t *mvs = db->mvs[list][d - 1];
      uint32_t *costs = db->mv_costs[list][d - 1];
      if (a->do_search[list]) {
        // Two predictors reach the request; the zero vector, the third
        // candidate when there are three, is always tried as a start.
        me_request_t rq = me_request_for(0, 0, 8, 8, list, 0);
        rq.amvp_count = std::min(count[list], 2);
        for (int32_t i = 0; i < rq.amvp_count; i++) rq.amvp[i] = cand[list][i];
        me_result_t r{};
        me_search_lowres(ctx, &me, &r, &rq, 12);
        mvs[k] = r.mv;
        costs[k] = r.cost;
      }
      best_mv[list] = mvs[k];
      if (costs[k] < best) {
        best = costs[k];
        kind = list == 0 ? LOWRES_L0 : LOWRES_L1;
      }
    }
    if (lists == 2) {
      const uint8_t *planes0[16], *planes1[16];
      for (auto &q : planes0) q = me.ref_planes[0][0] + o;
      for (auto &q : planes1) q = me.ref_planes[1][0] + o;
      const uint8_t *a0 = ctx->mc.subpel_plane_ptr(planes0, stride, mv_x(best_mv[0]), mv_y(best_mv[0]));
      const uint8_t *a1 = ctx->mc.subpel_plane_ptr(planes1, stride, mv_x(best_mv[1]), mv_y(best_mv[1]));
      ctx->mc.pixel_avg(s->pred, 128, a0, stride, a1, stride, 8, 8);
      const uint32_t bi = ctx->pixel.satd[SIZE_8X8](s->src, 64, s->pred, 128);
      if (bi < best) {
        best = bi;
        kind = LOWRES_BI;
      }
    }
    inter = best + 4;
  }

  uint32_t intra;
  if (fb->intra_done || fb->intra_ready) {
    intra = db->intra_costs[k];
  } else {
    intra = intra_cost(ctx, s, fb->lowres_planes[0] + o, stride);
    db->intra_costs[k] = intra;
  }
  const uint64_t inter2 = 2ull * inter;
  db->block_hint[d0][k] = inter2 < intra                           ? HINT_INTER_CLEAR
                          : inter < intra                          ? HINT_INTER
                          : 2ull * intra < inter                   ? HINT_INTRA_CLEAR
                                                                   : HINT_CLOSE;
  const uint16_t *w = lookahead_aq_weights(ctx, fb);
  const int32_t ctu = (y >> 2) * l.ctu_cols + (x >> 2);
  s->intra_sum += intra;
  s->ctu_intra[ctu] += intra;
  s->aq_intra_sum += weighted(w, k, intra);
  uint32_t chosen = intra;
  if (inter <= intra) {
    chosen = inter;
  } else {
    kind = LOWRES_INTRA;
  }
  if (p0 != p1) {
    s->inter_sum += chosen;
    s->ctu_inter[ctu] += chosen;
    s->aq_inter_sum += weighted(w, k, chosen);
  }
  db->block_costs[d0][d1][k] = std::min(chosen, LOWRES_COST_MASK) | (kind << 28);
}

int32_t saturate(uint64_t v) { return static_cast<int32_t>(std::min<uint64_t>(v, INT32_MAX)); }

// Adds the sums of one block row into the cache cell and, with row arrays,
// into its CTU row's per-row and running per-CTU sums.  Every term is
// non-negative, so the totals do not depend on the order rows come in.
void add_row_totals(const lowres_layout_t &l, lowres_data_t *d, int32_t d0, int32_t d1, uint64_t sum,
                    uint64_t aq_sum, const uint64_t *per_ctu, int32_t ctu_row, int32_t shift) {
  d->cost_cache[d0][d1] = saturate(static_cast<uint64_t>(d->cost_cache[d0][d1]) + (sum << shift));
  d->aq_cost_cache[d0][d1] = saturate(static_cast<uint64_t>(d->aq_cost_cache[d0][d1]) + (aq_sum << shift));
  if (!l.row_arrays) return;
  uint64_t run = 0;
  for (int32_t c = 0; c < l.ctu_cols; c++) {
    const int32_t i = ctu_row * l.ctu_cols + c;
    run += per_ctu[i] << shift;
    d->ctu_costs[d0][d1][i] = static_cast<uint32_t>(std::min<uint64_t>(d->ctu_costs[d0][d1][i] + run, UINT32_MAX));
  }
  d->row_costs[d0][d1][ctu_row] =
      static_cast<uint32_t>(std::min<uint64_t>(d->row_costs[d0][d1][ctu_row] + run, UINT32_MAX));
}

// What lookahead_frame_cost did before its jobs ran: the cache cells and
// vector flags of the estimate.  false when nothing is left to estimate.
bool estimate_begin(lookahead_job_arg_t *a, const lowres_layout_t &l) {
  frame_t *fb = a->frames[a->b];
  lowres_data_t *d = fb->la;
  const int32_t d0 = a->b - a->p0, d1 = a->p1 - a->b;
  if (d0 < 0 || d1 < 0 || d0 > l.max_distance || d1 > l.max_distance) return false;
  if (d->cost_cache[d0][d1] >= 0) return false;
  // 1: being searched; 2 (set at the end): searched, readable by other
  // pictures.
  a->do_search[0] = a->b != a->p0 && !d->mvs_searched[0][d0 - 1];
  a->do_search[1] = a->b != a->p1 && !d->mvs_searched[1][d1 - 1];
  for (int32_t list = 0; list < 2; list++)
    if (a->do_search[list]) d->mvs_searched[list][(list ? d1 : d0) - 1] = 1;
  if (!fb->intra_done) d->cost_cache[0][0] = d->aq_cost_cache[0][0] = 0;
  d->cost_cache[d0][d1] = d->aq_cost_cache[d0][d1] = 0;
  if (l.row_arrays) {
    auto clear = [&](int32_t i, int32_t j) {
      std::memset(d->row_costs[i][j], 0, sizeof(uint32_t) * l.ctu_rows);
      std::memset(d->ctu_costs[i][j], 0, sizeof(uint32_t) * l.ctu_rows * l.ctu_cols);
    };
    clear(d0, d1);
    if (!fb->intra_done && a->b != a->p0) clear(0, 0);
  }
  return true;
}

void estimate_end(lookahead_job_arg_t *a) {
  frame_t *fb = a->frames[a->b];
  const int32_t d0 = a->b - a->p0, d1 = a->p1 - a->b;
  for (int32_t list = 0; list < 2; list++)
    if (a->do_search[list]) fb->la->mvs_searched[list][(list ? d1 : d0) - 1] = 2;
  if (a->b == a->p1) fb->intra_done = 1;
}

void prepare_search(const encoder_t *ctx, lookahead_slot_t *s, const lookahead_job_arg_t *a) {
  const frame_t *fb = a->frames[a->b];
  me_context_t &me = s->me;
  std::memset(&me, 0, sizeof(me));
  me.luma_stride = fb->lowres_stride;
  me.search_mode = 2;
  me.pic_width = static_cast<int16_t>(fb->lowres_width);
  me.pic_height = static_cast<int16_t>(fb->lowres_height);
  me.pixel_funcs = &ctx->pixel;
  me.mc_funcs = &ctx->mc;
  me.search_range = (ctx->param.search_range + 2) / 2;
  me.list_count = a->b < a->p1 ? 2 : 1;
  me.ref_count[0] = me.ref_count[1] = 1;
  me.src = s->src;
}

// Under the job mutex: the next block row to estimate, starting estimates
// in the order asked once every earlier one they must follow is complete.
// Rows of estimates that others wait for go first (the P estimates whose
// vectors the B estimates borrow), then the others, each in list order.
// NULL when none is ready now.
lookahead_job_arg_t *take_row(lookahead_batch_t *bt, const lowres_layout_t &l, int32_t step_y, int32_t *y) {
  for (int32_t pass = 0; pass < 2; pass++)
    for (int32_t i = 0; i < bt->count; i++) {
      lookahead_job_arg_t *a = &bt->est[i];
      if (pass == 0 && !(bt->awaited >> i & 1)) continue;
      if (a->state == EST_WAITING) {
        if (a->after & ~bt->complete) continue;
        a->state = EST_STARTED;
        a->next_row = a->rows_done = 0;
        a->rows_total = (l.block_rows + step_y - 1) / step_y;
        const bool begun = estimate_begin(a, l);
        if (!begun || a->rows_total == 0) {
          if (begun) estimate_end(a);
          a->state = EST_COMPLETE;
          bt->complete |= 1ull << i;
          pthread_cond_broadcast(&bt->progress);
          continue;
        }
      }
      if (a->state == EST_STARTED && a->next_row < l.block_rows) {
        *y = a->next_row;
        a->next_row += step_y;
        return a;
      }
    }
  return nullptr;
}

int64_t lookahead_cost_job(int64_t arg) {
  lookahead_batch_t *bt = reinterpret_cast<lookahead_batch_t *>(arg);
  encoder_t *ctx = bt->est[0].ctx;
  lookahead_engine_t *e = ctx->lookahead_engine;
  const lowres_layout_t &l = e->layout;
  const int32_t step_x = ctx->param.lookahead_step_x, step_y = ctx->param.lookahead_step_y;
  const int32_t shift = log2_of(step_x) + log2_of(step_y);
  pthread_mutex_lock(&e->job_mutex);
  lookahead_slot_t *s = &e->slots[bt->job_counter++];
  const lookahead_job_arg_t *prepared = nullptr;
  for (;;) {
    int32_t y = 0;
    lookahead_job_arg_t *a = take_row(bt, l, step_y, &y);
    if (!a) {
      // Rows come only from estimates still waiting for others: with none
      // left, the job has nothing more to do.
      bool waiting = false;
      for (int32_t i = 0; i < bt->count && !waiting; i++) waiting = bt->est[i].state == EST_WAITING;
      if (!waiting) break;
      pthread_cond_wait(&bt->progress, &e->job_mutex);
      continue;
    }
    pthread_mutex_unlock(&e->job_mutex);
    if (a != prepared) prepare_search(ctx, s, a);
    prepared = a;
    s->intra_sum = s->inter_sum = s->aq_intra_sum = s->aq_inter_sum = 0;
    const int32_t ctu_row = y >> 2;
    std::memset(s->ctu_intra + ctu_row * l.ctu_cols, 0, sizeof(uint64_t) * static_cast<size_t>(l.ctu_cols));
    std::memset(s->ctu_inter + ctu_row * l.ctu_cols, 0, sizeof(uint64_t) * static_cast<size_t>(l.ctu_cols));
    for (int32_t x = 0; x < l.block_cols; x += step_x) estimate_block(a, s, x, y);
    frame_t *f = a->frames[a->b];
    pthread_mutex_lock(&e->total_mutex);
    if (!f->intra_done) add_row_totals(l, f->la, 0, 0, s->intra_sum, s->aq_intra_sum, s->ctu_intra, ctu_row, shift);
    if (a->p0 != a->p1)
      add_row_totals(l, f->la, a->b - a->p0, a->p1 - a->b, s->inter_sum, s->aq_inter_sum, s->ctu_inter, ctu_row,
                     shift);
    pthread_mutex_unlock(&e->total_mutex);
    pthread_mutex_lock(&e->job_mutex);
    if (++a->rows_done == a->rows_total) {
      estimate_end(a);
      a->state = EST_COMPLETE;
      bt->complete |= 1ull << (a - bt->est);
      pthread_cond_broadcast(&bt->progress);
    }
  }
  pthread_mutex_unlock(&e->job_mutex);
  return 0;
}

}  // namespace

void lookahead_intra_costs(const encoder_t *ctx, lookahead_slot_t *s, frame_t *f) {
  const lowres_layout_t &l = f->la->layout;
  const int32_t stride = f->lowres_stride;
  for (int32_t y = 0; y < l.block_rows; y += ctx->param.lookahead_step_y)
    for (int32_t x = 0; x < l.block_cols; x += ctx->param.lookahead_step_x) {
      const intptr_t o = 8 * x + static_cast<intptr_t>(8 * y) * stride;
      ctx->mc.block_copy(s->src, 64, f->lowres_planes[0] + o, stride, 8, 8);
      f->la->intra_costs[y * l.block_stride + x] = intra_cost(ctx, s, f->lowres_planes[0] + o, stride);
    }
}

const uint16_t *lookahead_aq_weights(const encoder_t *ctx, const frame_t *f) {
  return ctx->aq_mode_active ? f->aq_inv_qscale : nullptr;
}

// The caller's setting: rate control's own copy is 1.0 under the CU-tree,
// which would make every offset 0.
float lookahead_qcompress(const encoder_t *ctx) { return ctx->param.qcompress; }

lookahead_engine_t *lookahead_engine_new(const encoder_t *enc, int32_t threads) {
  lookahead_engine_t *e = static_cast<lookahead_engine_t *>(aligned_malloc(sizeof(lookahead_engine_t)));
  if (!e) return nullptr;
  std::memset(static_cast<void *>(e), 0, sizeof(*e));
  e->layout = lowres_layout(enc->width, enc->height, enc->param.bframes, enc->param.vbv_maxrate != 0);
  e->threads = std::max(threads, 1);
  pthread_mutex_init(&e->job_mutex, nullptr);
  pthread_mutex_init(&e->total_mutex, nullptr);
  pthread_mutex_init(&e->build.mutex, nullptr);
  e->build.workers = enc->param.search_quality > 2 ? 1 : std::min(LOWRES_BUILD_WORKERS, e->threads);
  for (lowres_build_worker_t &w : e->build.worker) w.job = &e->build;
  const int32_t ctus = e->layout.ctu_cols * e->layout.ctu_rows;
  e->slots = static_cast<lookahead_slot_t *>(aligned_malloc(sizeof(lookahead_slot_t) * e->threads));
  e->intra_slots = static_cast<lookahead_slot_t *>(aligned_calloc(sizeof(lookahead_slot_t) * LOOKAHEAD_INTRA_SLOTS));
  e->cutree_row = static_cast<int32_t *>(aligned_malloc(sizeof(int32_t) * e->layout.block_stride));
  e->zero_row = static_cast<uint32_t *>(aligned_malloc(sizeof(uint32_t) * e->layout.block_stride));
  e->unit_weights = static_cast<uint16_t *>(aligned_malloc(sizeof(uint16_t) * e->layout.block_stride));
  if (!e->slots || !e->intra_slots || !e->cutree_row || !e->zero_row || !e->unit_weights) {
    lookahead_engine_delete(e);
    return nullptr;
  }
  std::memset(static_cast<void *>(e->slots), 0, sizeof(lookahead_slot_t) * e->threads);
  std::memset(e->zero_row, 0, sizeof(uint32_t) * e->layout.block_stride);
  for (int32_t i = 0; i < e->layout.block_stride; i++) e->unit_weights[i] = 256;
  for (int32_t i = 0; i < e->threads; i++) {
    e->slots[i].ctu_intra = static_cast<uint64_t *>(aligned_malloc(sizeof(uint64_t) * ctus));
    e->slots[i].ctu_inter = static_cast<uint64_t *>(aligned_malloc(sizeof(uint64_t) * ctus));
    if (!e->slots[i].ctu_intra || !e->slots[i].ctu_inter) {
      lookahead_engine_delete(e);
      return nullptr;
    }
  }
  if (e->threads > 1) {
    // One thread more than the cost jobs need, for the type decision that
    // runs there behind the caller and waits for its cost jobs; job records
    // for those, the decision, the half-resolution builds, the mapping of
    // pictures ahead, the intra estimates of entering pictures, the
    // reconstructions' units after creation, and the input pictures' pages
    // and the row contexts' buffers given back after the input has ended.
    if (threadpool_init(&e->pool, e->threads + 1,
                        e->threads + 4 + LOWRES_BUILD_WORKERS + LOOKAHEAD_POPULATE_SLOTS + LOOKAHEAD_INTRA_SLOTS) <
        0) {
      lookahead_engine_delete(e);
      return nullptr;
    }
    e->pool_ready = 1;
  }
  return e;
}

void lookahead_engine_delete(lookahead_engine_t *e) {
  if (!e) return;
  for (lowres_build_worker_t &w : e->build.worker)
    if (e->pool_ready && w.pending) threadpool_wait(&e->pool, reinterpret_cast<int64_t>(&w));
  if (e->pool_ready && e->units_pending) threadpool_wait(&e->pool, reinterpret_cast<int64_t>(e->units_pool));
  for (populate_job_t &j : e->populate)
    if (e->pool_ready && j.pending) threadpool_wait(&e->pool, reinterpret_cast<int64_t>(&j));
  for (intra_job_t &j : e->intra)
    if (e->pool_ready && j.pending) threadpool_wait(&e->pool, reinterpret_cast<int64_t>(&j));
  if (e->pool_ready) threadpool_destroy(&e->pool);
  if (e->slots)
    for (int32_t i = 0; i < e->threads; i++) {
      aligned_free(e->slots[i].ctu_intra);
      aligned_free(e->slots[i].ctu_inter);
    }
  aligned_free(e->slots);
  aligned_free(e->intra_slots);
  aligned_free(e->cutree_row);
  aligned_free(e->zero_row);
  aligned_free(e->unit_weights);
  pthread_mutex_destroy(&e->job_mutex);
  pthread_mutex_destroy(&e->total_mutex);
  pthread_mutex_destroy(&e->build.mutex);
  aligned_free(e);
}

void lookahead_frame_costs(encoder_t *ctx, frame_t *const *frames, const lookahead_request_t *requests,
                           int32_t count) {
  // The newest picture's half-resolution planes may still be in the making.
  lookahead_frame_wait(ctx);
  lookahead_engine_t *e = ctx->lookahead_engine;
  const lowres_layout_t &l = e->layout;
  lookahead_job_arg_t est[LOOKAHEAD_BATCH_MAX];
  lookahead_batch_t bt{};
  bt.est = est;
  auto run = [&] {
    if (bt.count == 0) return;
    pthread_cond_init(&bt.progress, nullptr);
    const int64_t arg = reinterpret_cast<int64_t>(&bt);
    if (e->threads == 1) {
      lookahead_cost_job(arg);
    } else {
      for (int32_t i = 0; i < e->threads; i++) threadpool_run(&e->pool, lookahead_cost_job, arg);
      for (int32_t i = 0; i < e->threads; i++) threadpool_wait(&e->pool, arg);
    }
    pthread_cond_destroy(&bt.progress);
    bt.count = bt.job_counter = 0;
    bt.complete = bt.awaited = 0;
  };
  for (int32_t i = 0; i < count; i++) {
    const lookahead_request_t &r = requests[i];
    const int32_t d0 = r.b - r.p0, d1 = r.p1 - r.b;
    // Estimates already made, or out of reach, stay as they are whatever
    // runs before them: no job is started for them.
    if (d0 < 0 || d1 < 0 || d0 > l.max_distance || d1 > l.max_distance) continue;
    if (frames[r.b]->la->cost_cache[d0][d1] >= 0) continue;
    lookahead_job_arg_t &a = est[bt.count++];
    a = lookahead_job_arg_t{};
    a.ctx = ctx;
    a.frames = frames;
    a.p0 = r.p0;
    a.p1 = r.p1;
    a.b = r.b;
    a.state = EST_WAITING;
    for (int32_t j = 0; j < bt.count - 1; j++)
      if (lookahead_estimates_conflict(a.p0, a.p1, a.b, est[j].p0, est[j].p1, est[j].b)) a.after |= 1ull << j;
    bt.awaited |= a.after;
    // Longer lists go in parts, one after the other, which keeps their
    // order.
    if (bt.count == LOOKAHEAD_BATCH_MAX) run();
  }
  run();
}

void lookahead_frame_cost(encoder_t *ctx, frame_t *const *frames, int32_t p0, int32_t p1, int32_t b) {
  const lookahead_request_t r{p0, p1, b};
  lookahead_frame_costs(ctx, frames, &r, 1);
}

bool lookahead_estimates_conflict(int32_t p0, int32_t p1, int32_t b, int32_t q0, int32_t q1, int32_t c) {
  (void)p0;
  (void)q0;
  return b == c || (b < p1 && p1 == c) || (c < q1 && q1 == b);
}

int32_t lookahead_cached_cost(const frame_t *f, int32_t d0, int32_t d1, bool weighted_cost) {
  if (!f->la || d0 < 0 || d1 < 0 || d0 >= LOWRES_DISTANCES || d1 >= LOWRES_DISTANCES) return -1;
  return weighted_cost ? f->la->aq_cost_cache[d0][d1] : f->la->cost_cache[d0][d1];
}

void lookahead_picture_start(encoder_t *ctx) {
  frame_t *f = ctx->cur_input;
  f->lowres_l0_distance = f->lowres_l1_distance = -1;
  if (!f->la || ctx->slice_type_code == 2) return;
  const int32_t d0 = ctx->ref_count[0] > 0 ? f->poc - ctx->ref_list[0][0]->poc : 0;
  const int32_t d1 = list1_is_future(ctx) && ctx->ref_count[1] > 0 ? ctx->ref_list[1][0]->poc - f->poc : 0;
  // The per-block arrays hold the estimate of these distances only when it
  // was made.
  if (lookahead_cached_cost(f, d0, d1, false) < 0) return;
  if (d0 > 0) f->lowres_l0_distance = static_cast<int16_t>(d0);
  if (d1 > 0) f->lowres_l1_distance = static_cast<int16_t>(d1);
}
