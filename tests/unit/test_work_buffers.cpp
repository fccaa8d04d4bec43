// The CTU working buffers the vector kernels read and write start on 32-byte
// boundaries in every context, so that every block at a multiple of its size
// in them is 32-byte aligned too.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <set>

#include "encoder/encoder.h"
#include "encoder/row_contexts.h"
#include "encoder/rowsched.h"
#include "analysis/ctu_analysis.h"
#include "rdo/pred_cache.h"
#include "rdo/quant_memo.h"
#include "rdo/rd_cost.h"
#include "tests/unit/row_context.h"

namespace {

bool aligned32(const void *p) { return (reinterpret_cast<uintptr_t>(p) & 31) == 0; }

void expect_aligned(const encoder_t *c, const char *which) {
  EXPECT_TRUE(aligned32(c->ctu_src)) << which << " ctu_src";
  EXPECT_TRUE(aligned32(c->ctu_rec)) << which << " ctu_rec";
  EXPECT_TRUE(aligned32(c->pred_work)) << which << " pred_work";
  EXPECT_TRUE(aligned32(c->coef_tmp)) << which << " coef_tmp";
  EXPECT_TRUE(aligned32(c->dq_tmp)) << which << " dq_tmp";
  EXPECT_TRUE(aligned32(c->maps->unit.coef_y)) << which << " coef_y";
  for (int32_t p = 0; p < 3; p++) EXPECT_TRUE(aligned32(c->sao_diff[p])) << which << " sao_diff " << p;
}

TEST(WorkBuffers, CtuBuffersAre32ByteAlignedInEveryContext) {
  encoder_t *enc = nullptr;
  encoder_t *row = open_row_context(200, 136, &enc);
  ASSERT_NE(row, nullptr);
  expect_aligned(row, "row context");
  for (int32_t f = 1; f < enc->frame_ctx_count; f++) {
    const encoder_t *fc = enc->frame_ctx[f];
    for (int32_t r = 0; r < fc->row_slots; r++) expect_aligned(fc->row_ctx[r], "frame context row");
  }
  encoder_close(enc);
}

// Row contexts exist only for the rows that can be in flight: with wavefront
// substreams two more than the workers, with one stream two (a row reads the
// coder of the row above); never more than the picture's rows.  Row r codes
// in context r modulo their number.  No row context has a substream buffer:
// the frame context's unit arena has a slot of a row's bound for every row.
TEST(WorkBuffers, RowContextsOnlyForTheRowsInFlight) {
  struct shape_t {
    int32_t height, threads, wpp, slots;
  };
  for (const shape_t &c : {shape_t{1024, 2, 1, 4}, shape_t{1024, 1, 1, 3}, shape_t{1024, 8, 0, 2},
                           shape_t{128, 8, 1, 2}, shape_t{64, 4, 0, 1}}) {
    tarnhevcenc_param_t p{};
    p.size = sizeof(p);
    ASSERT_EQ(tarnhevcenc_default_param(&p), 0);
    p.width = 64;
    p.height = c.height;
    p.threads = c.threads;
    p.wpp = c.wpp;
    p.log_level = 0;
    encoder_t *enc = encoder_open(&p);
    ASSERT_NE(enc, nullptr);
    ASSERT_EQ(row_contexts_wait(enc, ROW_CONTEXTS_ALL), 0);
    for (int32_t f = 1; f <= enc->frame_ctx_count; f++) {
      const encoder_t *fc = enc->frame_ctx[f];
      ASSERT_EQ(fc->row_slots, c.slots) << c.height << " rows, " << c.threads << " threads, wpp " << c.wpp;
      for (int32_t r = 0; r < fc->ctu_rows; r++) ASSERT_EQ(fc->sched_entry->rows[r].ctx, fc->row_ctx[r % c.slots]);
      const size_t data = c.wpp ? substream_slot_bytes(fc) * static_cast<size_t>(fc->ctu_rows)
                                : coded_bytes_bound(fc, fc->ctu_count);
      EXPECT_GE(fc->nals.arena_capacity, SLICE_HEADER_ROOM + data);
      EXPECT_EQ(substream_slot_bytes(fc), coded_bytes_bound(fc, fc->ctu_cols));
    }
    encoder_close(enc);
  }
}

// The row contexts are made after creation has set up the frame contexts
// (on a thread of their own with several threads): each is a copy of its
// frame context as set up, rate control's record and settings included,
// with working buffers no other context has.
TEST(WorkBuffers, RowContextsCopyTheFrameContextsAsSetUp) {
  for (const int32_t threads : {1, 4}) {
    tarnhevcenc_param_t p{};
    p.size = sizeof(p);
    ASSERT_EQ(tarnhevcenc_default_param(&p), 0);
    p.width = 200;
    p.height = 264;
    p.threads = threads;
    p.aq_mode = 1;
    p.log_level = 0;
    encoder_t *enc = encoder_open(&p);
    ASSERT_NE(enc, nullptr);
    ASSERT_EQ(row_contexts_wait(enc, ROW_CONTEXTS_ALL), 0);
    std::set<const void *> buffers;
    for (int32_t f = 1; f <= enc->frame_ctx_count; f++) {
      const encoder_t *fc = enc->frame_ctx[f];
      for (int32_t r = 0; r < fc->row_slots; r++) {
        const encoder_t *rc = fc->row_ctx[r];
        ASSERT_NE(rc, nullptr) << threads << " threads, frame context " << f << " row " << r;
        EXPECT_EQ(rc->rc, fc->rc);
        EXPECT_EQ(rc->aq_mode_active, fc->aq_mode_active);
        EXPECT_EQ(std::memcmp(&rc->param, &fc->param, sizeof(param_t)), 0);
        EXPECT_NE(rc->nodes, fc->nodes);
        EXPECT_TRUE(buffers.insert(rc->ctu_src).second && buffers.insert(rc->nodes).second);
      }
    }
    encoder_close(enc);
  }
}

// Each row context's working buffers are laid out in one block of its own:
// no two buffers of any row contexts share a byte over the extents their
// users write (the CTU source 64 x 96, prediction and reconstruction
// 128 x 64, transform scratch 32 x 32, SAO differences per plane and its
// 144 KB statistics scratch, one record each of the rest), and that holds
// again for buffers given back and made anew.
TEST(WorkBuffers, RowContextBuffersNeverOverlap) {
  tarnhevcenc_param_t p{};
  p.size = sizeof(p);
  ASSERT_EQ(tarnhevcenc_default_param(&p), 0);
  p.width = 200;
  p.height = 264;
  p.threads = 3;
  p.log_level = 0;
  encoder_t *enc = encoder_open(&p);
  ASSERT_NE(enc, nullptr);
  ASSERT_EQ(row_contexts_wait(enc, ROW_CONTEXTS_ALL), 0);
  row_contexts_release(enc->frame_ctx[2]);
  for (int32_t r = 0; r < enc->frame_ctx[2]->row_slots; r++) EXPECT_EQ(enc->frame_ctx[2]->row_ctx[r]->ctu_src, nullptr);
  ASSERT_EQ(row_contexts_restore(enc->frame_ctx[2]), 0);
  std::map<uintptr_t, std::pair<uintptr_t, const char *>> extents;  // start -> end, name
  auto add = [&](const void *at, size_t bytes, const char *name) {
    ASSERT_NE(at, nullptr) << name;
    const uintptr_t a = reinterpret_cast<uintptr_t>(at);
    extents[a] = {a + bytes, name};
  };
  size_t buffers = 0;
  for (int32_t f = 1; f <= enc->frame_ctx_count; f++) {
    const encoder_t *fc = enc->frame_ctx[f];
    for (int32_t r = 0; r < fc->row_slots; r++) {
      const encoder_t *c = fc->row_ctx[r];
      add(c->ctu_src, 64 * 96, "ctu_src");
      add(c->ctu_rec, 128 * 64, "ctu_rec");
      add(c->pred_work, 128 * 64, "pred_work");
      add(c->maps, sizeof(ctu_maps_t), "maps");
      add(c->snapshots, snapshots_bytes(), "snapshots");
      add(c->tu_states, tu_states_bytes(), "tu_states");
      add(c->nodes, sizeof(cu_node_t) * CU_NODE_COUNT, "nodes");
      add(c->lowres, sizeof(lowres_cu_search_t), "lowres");
      add(c->coef_tmp, 2 * 32 * 32, "coef_tmp");
      add(c->dq_tmp, 2 * 32 * 32, "dq_tmp");
      add(c->quant_memo, sizeof(quant_memo_t), "quant_memo");
      add(c->pred_cache, sizeof(pred_cache_t), "pred_cache");
      for (int32_t k = 0; k < 3; k++) add(c->sao_diff[k], k ? 2 * 32 * 32 : 2 * 64 * 64, "sao_diff");
      add(c->sao_scratch, 147456, "sao_scratch");
      buffers += 16;
    }
  }
  EXPECT_EQ(extents.size(), buffers);
  uintptr_t end = 0;
  const char *last = "";
  for (const auto &[start, e] : extents) {
    EXPECT_LE(end, start) << e.second << " starts inside " << last;
    end = e.first;
    last = e.second;
  }
  encoder_close(enc);
}

}  // namespace
