// Per-depth snapshots must give back exactly what a CU trial changed: the
// reconstruction, the levels, the decisions and maps of the CU and the whole
// CABAC state, without touching anything outside the CU.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "encoder/encoder.h"
#include "tests/unit/row_context.h"
#include "rdo/block_coding.h"
#include "rdo/rd_cost.h"

namespace {

struct Snapshots : ::testing::Test {
  encoder_t *enc = nullptr;
  encoder_t *ctx = nullptr;
  std::mt19937 rng{7};

  void SetUp() override {
    ctx = open_row_context(192, 128, &enc);
    ASSERT_NE(ctx, nullptr);
  }
  void TearDown() override { encoder_close(enc); }

  void scramble() {
    auto fill = [&](void *p, size_t n) {
      auto *b = static_cast<uint8_t *>(p);
      for (size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>(rng());
    };
    fill(ctx->ctu_rec, RECON_STRIDE * 64);
    fill(&ctx->maps->unit, sizeof(ctu_unit_maps_t));
    fill(ctx->maps, sizeof(ctu_maps_t));
    fill(&ctx->cabac.est, sizeof(cabac_est_t));
    ctx->cabac.low = rng();
    ctx->cabac.range = rng();
    // Transform flags as a commit writes them, in the record and (not in
    // agreement with it) in the nodes.
    for (int32_t i = 0; i < CU_NODE_COUNT; i++) {
      ctx->maps->tu_split[i] = rng() & 1;
      ctx->maps->residual_mode[i] = static_cast<uint8_t>(rng() & 3);
      ctx->nodes[i].tu_split = static_cast<int8_t>(rng() & 1);
      ctx->nodes[i].residual_mode = static_cast<uint8_t>(rng() & 3);
    }
  }

  // The nodes of the transform tree the record decides below node (z, s)
  // carry the record's flags, as a commit of the CU will read them.
  void expect_nodes_follow_record(int32_t z, int32_t s) {
    const int32_t n = node_index(z, s);
    ASSERT_EQ(ctx->nodes[n].tu_split, static_cast<int8_t>(ctx->maps->tu_split[n])) << "node " << n;
    ASSERT_EQ(ctx->nodes[n].residual_mode, ctx->maps->residual_mode[n]) << "node " << n;
    if (s > 2 && (s > 5 || ctx->nodes[n].tu_split))
      for (int32_t k = 0; k < 4; k++) expect_nodes_follow_record(z + k * child_step(s), s - 1);
  }

  struct image_t {
    std::vector<uint8_t> rec, dec, maps, est;
    std::vector<int8_t> tu_split;
  };
  image_t image() const {
    image_t m;
    m.rec.assign(ctx->ctu_rec, ctx->ctu_rec + RECON_STRIDE * 64);
    auto *d = reinterpret_cast<const uint8_t *>(&ctx->maps->unit);
    m.dec.assign(d, d + sizeof(ctu_unit_maps_t));
    auto *mp = reinterpret_cast<const uint8_t *>(ctx->maps);
    m.maps.assign(mp, mp + sizeof(ctu_maps_t));
    auto *e = reinterpret_cast<const uint8_t *>(&ctx->cabac.est);
    m.est.assign(e, e + sizeof(cabac_est_t));
    // Both transform flags of a node in the record, in one number.
    for (int32_t i = 0; i < CU_NODE_COUNT; i++)
      m.tu_split.push_back(static_cast<int8_t>(ctx->maps->tu_split[i] * 4 + ctx->maps->residual_mode[i]));
    return m;
  }
};

// The samples of the reconstruction buffer a CU of log2 size s at (x, y)
// owns: its luma block and its two chroma blocks.
bool in_cu_rec(int32_t i, int32_t x, int32_t y, int32_t s) {
  const int32_t n = 1 << s, r = i / RECON_STRIDE, c = i % RECON_STRIDE;
  if (c < 64) return r >= y && r < y + n && c >= x && c < x + n;
  const int32_t cc = (c - 64) % 32;
  return r >= y / 2 && r < (y + n) / 2 && cc >= x / 2 && cc < (x + n) / 2;
}

TEST_F(Snapshots, SnapshotRestoresTheCuAndTheWholeCoder) {
  const struct {
    int32_t x, y, s;
  } cus[] = {{0, 0, 6}, {32, 0, 5}, {16, 48, 4}, {40, 24, 3}, {8, 56, 3}};
  for (const auto &cu : cus) {
    scramble();
    const int32_t z = zorder_of(cu.x >> 2, cu.y >> 2);
    const image_t before = image();
    const cabac_t coder = ctx->cabac;
    cu_snapshot_save(ctx, ctx->nodes, z, cu.y, cu.s);
    scramble();
    const image_t scrambled = image();
    cu_snapshot_restore(ctx, ctx->nodes, z, cu.y, cu.s);
    const image_t after = image();
    SCOPED_TRACE(testing::Message() << "CU " << (1 << cu.s) << " at " << cu.x << "," << cu.y);
    EXPECT_EQ(after.est, before.est);
    EXPECT_EQ(std::memcmp(&ctx->cabac, &coder, sizeof(cabac_t)), 0);
    for (size_t i = 0; i < after.rec.size(); i++) {
      const bool inside = in_cu_rec(static_cast<int32_t>(i), cu.x, cu.y, cu.s);
      ASSERT_EQ(after.rec[i], inside ? before.rec[i] : scrambled.rec[i]) << "sample " << i;
    }
    // Decisions and levels of the CU's units.
    const int32_t units = 1 << (2 * (cu.s - 2));
    const ctu_unit_maps_t *a = reinterpret_cast<const ctu_unit_maps_t *>(after.dec.data());
    const ctu_unit_maps_t *b = reinterpret_cast<const ctu_unit_maps_t *>(before.dec.data());
    const ctu_unit_maps_t *sc = reinterpret_cast<const ctu_unit_maps_t *>(scrambled.dec.data());
    for (int32_t u = 0; u < 256; u++) {
      const bool inside = u >= z && u < z + units;
      const ctu_unit_maps_t *want = inside ? b : sc;
      ASSERT_EQ(a->cu_log2[u], want->cu_log2[u]);
      ASSERT_EQ(a->luma_mode[u], want->luma_mode[u]);
      ASSERT_EQ(a->tu_log2[u], want->tu_log2[u]);
      ASSERT_EQ(a->cbf[u], want->cbf[u]);
      ASSERT_EQ(std::memcmp(a->coef_y + 16 * u, want->coef_y + 16 * u, 32), 0);
      ASSERT_EQ(std::memcmp(a->coef_c[0] + 4 * u, want->coef_c[0] + 4 * u, 8), 0);
      ASSERT_EQ(std::memcmp(a->coef_c[1] + 4 * u, want->coef_c[1] + 4 * u, 8), 0);
    }
    // The 8x8 maps and the transform flags of the CU's subtree.
    const ctu_maps_t *ma = reinterpret_cast<const ctu_maps_t *>(after.maps.data());
    const ctu_maps_t *mb = reinterpret_cast<const ctu_maps_t *>(before.maps.data());
    const int32_t n8 = cu.s > 3 ? 1 << (cu.s - 3) : 1;
    for (int32_t j = 0; j < n8; j++)
      for (int32_t i = 0; i < n8; i++) {
        const int32_t u = map8_index((cu.x >> 3) + i, (cu.y >> 3) + j);
        EXPECT_EQ(ma->depth[u], mb->depth[u]);
        EXPECT_EQ(ma->flags[u], mb->flags[u]);
        EXPECT_EQ(ma->qp[u], mb->qp[u]);
        EXPECT_EQ(ma->pred_intra[u], mb->pred_intra[u]);
        EXPECT_EQ(ma->ref_idx[0][u], mb->ref_idx[0][u]);
        EXPECT_EQ(ma->mv[1][u], mb->mv[1][u]);
      }
    for (int32_t s = cu.s, count = 1; s >= 2; s--, count *= 4)
      for (int32_t k = node_index(z, s); k < node_index(z, s) + count; k++) {
        EXPECT_EQ(after.tu_split[k], before.tu_split[k]) << "node " << k;
        EXPECT_EQ(ma->cbf[k], mb->cbf[k]) << "node " << k;
        EXPECT_EQ(ma->cu_split[k], mb->cu_split[k]) << "node " << k;
      }
    expect_nodes_follow_record(z, cu.s);
  }
}

TEST_F(Snapshots, TransformTreeSlotsRoundTrip) {
  scramble();
  const int32_t z = zorder_of(4, 8), s = 4;
  const image_t before = image();
  transform_tree_save(ctx, ctx->nodes, z, s, 2);
  scramble();
  const image_t scrambled = image();
  const int8_t nodes_before_restore0 = ctx->nodes[0].tu_split;
  transform_tree_restore(ctx, ctx->nodes, z, s, 2);
  const image_t after = image();
  for (int32_t l = s, count = 1; l >= 2; l--, count *= 4)
    for (int32_t k = node_index(z, l); k < node_index(z, l) + count; k++)
      EXPECT_EQ(after.tu_split[k], before.tu_split[k]) << "node " << k;
  expect_nodes_follow_record(z, s);
  // The cbf bytes and unit maps of the block come back with the flags.
  const ctu_maps_t *ma = reinterpret_cast<const ctu_maps_t *>(after.maps.data());
  const ctu_maps_t *mb = reinterpret_cast<const ctu_maps_t *>(before.maps.data());
  EXPECT_EQ(ma->cbf[node_index(z, s)], mb->cbf[node_index(z, s)]);
  EXPECT_EQ(std::memcmp(ma->unit.tu_log2 + z, mb->unit.tu_log2 + z, 16), 0);
  // Nodes outside the subtree and the coder keep their current values.
  EXPECT_EQ(after.tu_split[0], scrambled.tu_split[0]);
  EXPECT_EQ(ctx->nodes[0].tu_split, nodes_before_restore0);
  EXPECT_EQ(after.est, scrambled.est);
}

// The recursion holds the snapshots of every depth at once (a 64x64 CU's,
// then its first 32x32 child's, ...): each depth's slot, sized for its CU,
// must keep its own state while the deeper ones are saved and restored.
TEST_F(Snapshots, NestedDepthsKeepTheirOwnStates) {
  std::vector<image_t> saved;
  std::vector<cabac_t> coders;
  for (int32_t s = 6; s >= 3; s--) {
    scramble();
    saved.push_back(image());
    coders.push_back(ctx->cabac);
    cu_snapshot_save(ctx, ctx->nodes, 0, 0, s);
    transform_tree_save(ctx, ctx->nodes, 0, s, 6 - s);
  }
  for (int32_t s = 3; s <= 6; s++) {
    scramble();
    cu_snapshot_restore(ctx, ctx->nodes, 0, 0, s);
    const image_t after = image();
    const image_t &want = saved[6 - s];
    SCOPED_TRACE(testing::Message() << "depth " << 6 - s);
    EXPECT_EQ(std::memcmp(&ctx->cabac, &coders[6 - s], sizeof(cabac_t)), 0);
    for (int32_t r = 0; r < (1 << s); r++)
      ASSERT_EQ(std::memcmp(&after.rec[r * RECON_STRIDE], &want.rec[r * RECON_STRIDE], 1u << s), 0) << "row " << r;
    const auto *a = reinterpret_cast<const ctu_maps_t *>(after.maps.data());
    const auto *b = reinterpret_cast<const ctu_maps_t *>(want.maps.data());
    const size_t units = static_cast<size_t>(1) << (2 * (s - 2));
    EXPECT_EQ(std::memcmp(a->unit.coef_y, b->unit.coef_y, sizeof(int16_t) * 16 * units), 0);
    EXPECT_EQ(std::memcmp(a->unit.tu_log2, b->unit.tu_log2, units), 0);
    for (int32_t l = s, count = 1; l >= 2; l--, count *= 4)
      for (int32_t k = node_index(0, l); k < node_index(0, l) + count; k++) {
        ASSERT_EQ(a->cu_split[k], b->cu_split[k]) << "node " << k;
        ASSERT_EQ(a->part_mode[k], b->part_mode[k]) << "node " << k;
        ASSERT_EQ(after.tu_split[k], want.tu_split[k]) << "node " << k;
      }
    // The transform slot of the depth, saved at the same time.
    scramble();
    transform_tree_restore(ctx, ctx->nodes, 0, s, 6 - s);
    const auto *t = ctx->maps;
    EXPECT_EQ(std::memcmp(t->unit.cbf, b->unit.cbf, units), 0);
    for (int32_t l = s, count = 1; l >= 2; l--, count *= 4)
      for (int32_t k = node_index(0, l); k < node_index(0, l) + count; k++) {
        ASSERT_EQ(t->tu_split[k], b->tu_split[k]) << "node " << k;
        ASSERT_EQ(t->cbf[k], b->cbf[k]) << "node " << k;
      }
  }
}

// The trial slots of a depth (the skip trial, the merged trial with
// residual) are kept beside its snapshot: a split decision may put back any
// of the three after deeper CUs used theirs, so no slot may share storage
// with another slot or depth.
TEST_F(Snapshots, TrialSlotsKeepTheirOwnStatesBesideTheDepths) {
  struct kept_t {
    image_t image;
    cabac_t coder;
  };
  const int32_t slots[3] = {0, TRIAL_SKIP, TRIAL_RESIDUAL};
  auto save = [&](int32_t slot, int32_t s) {
    if (slot == 0)
      cu_snapshot_save(ctx, ctx->nodes, 0, 0, s);
    else
      cu_trial_save(ctx, ctx->nodes, 0, s, slot);
  };
  auto restore = [&](int32_t slot, int32_t s) {
    if (slot == 0)
      cu_snapshot_restore(ctx, ctx->nodes, 0, 0, s);
    else
      cu_trial_restore(ctx, ctx->nodes, 0, s, slot);
  };
  std::vector<kept_t> kept;
  for (int32_t s = 6; s >= 3; s--)
    for (int32_t slot : slots) {
      scramble();
      kept.push_back({image(), ctx->cabac});
      save(slot, s);
    }
  size_t i = kept.size();
  for (int32_t s = 3; s <= 6; s++)
    for (int32_t j = 2; j >= 0; j--) {
      const kept_t &want = kept[--i];
      scramble();
      restore(slots[j], s);
      SCOPED_TRACE(testing::Message() << "CU " << (1 << s) << ", slot " << slots[j]);
      const image_t after = image();
      EXPECT_EQ(std::memcmp(&ctx->cabac, &want.coder, sizeof(cabac_t)), 0);
      for (int32_t r = 0; r < (1 << s); r++)
        ASSERT_EQ(std::memcmp(&after.rec[r * RECON_STRIDE], &want.image.rec[r * RECON_STRIDE], 1u << s), 0)
            << "row " << r;
      const auto *a = reinterpret_cast<const ctu_maps_t *>(after.maps.data());
      const auto *b = reinterpret_cast<const ctu_maps_t *>(want.image.maps.data());
      const size_t units = static_cast<size_t>(1) << (2 * (s - 2));
      EXPECT_EQ(std::memcmp(a->unit.coef_y, b->unit.coef_y, sizeof(int16_t) * 16 * units), 0);
      EXPECT_EQ(std::memcmp(a->unit.cbf, b->unit.cbf, units), 0);
      for (int32_t l = s, count = 1; l >= 2; l--, count *= 4)
        for (int32_t k = node_index(0, l); k < node_index(0, l) + count; k++) {
          ASSERT_EQ(a->cbf[k], b->cbf[k]) << "node " << k;
          ASSERT_EQ(after.tu_split[k], want.image.tu_split[k]) << "node " << k;
        }
      expect_nodes_follow_record(0, s);
    }
}

// A skip trial keeps only its prediction and states: they come back for
// the CU, and nothing else (levels, maps, samples outside the CU) moves.
TEST_F(Snapshots, PredictionSlotKeepsSamplesAndStatesOnly) {
  const struct {
    int32_t x, y, s;
  } cus[] = {{0, 0, 6}, {32, 32, 5}, {16, 0, 4}, {8, 40, 3}};
  for (const auto &cu : cus) {
    SCOPED_TRACE(testing::Message() << "CU " << (1 << cu.s) << " at " << cu.x << "," << cu.y);
    const int32_t z = zorder_of(cu.x >> 2, cu.y >> 2);
    scramble();
    const image_t before = image();
    cu_prediction_save(ctx, z, cu.s, TRIAL_SKIP);
    scramble();
    const image_t scrambled = image();
    cu_prediction_restore(ctx, z, cu.s, TRIAL_SKIP);
    const image_t after = image();
    EXPECT_EQ(after.est, before.est);
    for (size_t i = 0; i < after.rec.size(); i++) {
      const bool inside = in_cu_rec(static_cast<int32_t>(i), cu.x, cu.y, cu.s);
      ASSERT_EQ(after.rec[i], inside ? before.rec[i] : scrambled.rec[i]) << "sample " << i;
    }
    // Only the cbf bits of the CU's units and node change, to none, as
    // coding the CU without residual leaves them.
    image_t want = scrambled;
    auto *maps = reinterpret_cast<ctu_maps_t *>(want.maps.data());
    for (int32_t u = z; u < z + (1 << (2 * (cu.s - 2))); u++)
      maps->unit.cbf[u] = static_cast<uint8_t>(maps->unit.cbf[u] & ~7);
    maps->cbf[node_index(z, cu.s)] = 0;
    auto *unit = reinterpret_cast<const uint8_t *>(&maps->unit);
    want.dec.assign(unit, unit + sizeof(ctu_unit_maps_t));
    EXPECT_EQ(after.maps, want.maps);
    EXPECT_EQ(after.dec, want.dec);
  }
}

}  // namespace
