// The quad-tree bookkeeping of the decision: node numbering, the depth
// range taken from neighbouring CTUs, and what committing a decision
// writes into the CTU maps.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "analysis/ctu_analysis.h"
#include "analysis/decision_common.h"
#include "encoder/encoder.h"
#include "encoder/ctu_start.h"
#include "encoder/frame.h"
#include "rdo/block_coding.h"
#include "rdo/cu_commit.h"
#include "rdo/rd_cost.h"
#include "tests/unit/row_context.h"

namespace {

TEST(NodeNumbering, LevelsFollowEachOtherInZOrder) {
  EXPECT_EQ(node_index(0, 6), 0);
  const int32_t first32[4] = {0, 64, 128, 192};
  for (int32_t k = 0; k < 4; k++) EXPECT_EQ(node_index(first32[k], 5), 1 + k);
  EXPECT_EQ(node_index(0, 4), 5);
  EXPECT_EQ(node_index(0, 3), 21);
  EXPECT_EQ(node_index(0, 2), 85);
  EXPECT_EQ(node_index(255, 2), 340);
  // The four children of every node are consecutive, top-left first.
  for (int32_t s = 6; s > 2; s--)
    for (int32_t z = 0; z < 256; z += 1 << (2 * (s - 2)))
      for (int32_t k = 0; k < 4; k++)
        EXPECT_EQ(node_index(z + k * child_step(s), s - 1), node_index(z, s - 1) + k) << "size " << (1 << s);
}

TEST(DepthRange, FollowsTheNeighbours) {
  // No neighbour: depth 0.
  EXPECT_EQ(depth_range_min(nullptr, nullptr, 0, 0, 4), 0);
  // Only a left neighbour with minimum depth 2: one step shallower, e = 1.
  const int8_t left_min[1] = {2}, left_max[1] = {3};
  EXPECT_EQ(depth_range_min(left_min, left_max, 1, 1, 4), 0);
  // Four neighbours 1, 1, 2, 2, all deep, at level 4: one step deeper.
  const int8_t mn4[4] = {1, 1, 2, 2}, mx4[4] = {3, 3, 3, 3};
  EXPECT_EQ(depth_range_min(mn4, mx4, 4, 2, 4), 1);
  // Two neighbours: no adjustment; deep neighbours at 3 keep depth 2.
  const int8_t mn2[2] = {3, 3}, mx2[2] = {3, 3};
  EXPECT_EQ(depth_range_min(mn2, mx2, 2, 2, 4), 2);
  // Three shallow-but-split neighbours with few deep ones go shallower.
  const int8_t mn3[3] = {2, 3, 3}, mx3[3] = {1, 1, 3};
  EXPECT_EQ(depth_range_min(mn3, mx3, 3, 2, 4), 0);
}

struct CommitFixture : ::testing::Test {
  encoder_t *enc = nullptr;
  encoder_t *ctx = nullptr;
  cu_node_t *nodes = nullptr;

  void SetUp() override {
    // the second CTU column is half outside
    ctx = open_row_context(96, 64, &enc);
    ASSERT_NE(ctx, nullptr);
    nodes = ctx->nodes;
    std::memset(ctx->maps, 0, sizeof(ctu_maps_t));
    std::memset(&ctx->maps->unit, 0, sizeof(ctu_unit_maps_t));
    std::memset(static_cast<void *>(nodes), 0, sizeof(cu_node_t) * CU_NODE_COUNT);
    ctx->ctu_x = ctx->ctu_y = 0;
  }
  void TearDown() override { encoder_close(enc); }

  cu_node_t &node(int32_t z, int32_t s) { return nodes[node_index(z, s)]; }
  // A parent chain split down to the node, so that it is a CU of the tree.
  void split_parents(int32_t z, int32_t s) {
    for (int32_t p = s + 1; p <= 6; p++) node(z, p).split = 1;
  }
  // An unsplit CU at QP 27 in a tree split down to it: 64x64, or 32x32 or
  // 8x8 in the CTU's second 32x32; its first unit z and column x (row 0).
  cu_node_t &unsplit_cu(int32_t s, int32_t *z, int32_t *x) {
    *z = s == 6 ? 0 : 64 + (s == 3 ? 4 : 0);
    *x = *z == 0 ? 0 : 32 + (s == 3 ? 8 : 0);
    split_parents(*z, s);
    cu_node_t &n = node(*z, s);
    n.split = 0;
    n.qp = 27;
    return n;
  }
  // The node as an unsplit intra CU with the luma mode and derived chroma.
  cu_node_t &intra_cu(int32_t z, int32_t s, int32_t luma_dir) {
    cu_node_t &n = node(z, s);
    n.split = 0;
    n.pred_intra = 1;
    n.luma_dir = luma_dir;
    n.chroma_dir = 4;
    return n;
  }
};

TEST_F(CommitFixture, IntraCuIsNotInterInTheMaps) {
  split_parents(0, 4);
  cu_node_t &n = intra_cu(0, 4, 26);
  n.qp = 30;
  n.skip = 1;       // left over from an inter trial
  n.part_mode = 2;  // likewise
  ctx->maps->flags[map8_index(0, 0)] = 1;
  cu_commit(ctx, nodes, 0, 0, 0, 4);
  for (int32_t u : {map8_index(0, 0), map8_index(1, 1)}) {
    EXPECT_EQ(ctx->maps->ref_idx[0][u], -2);
    EXPECT_EQ(ctx->maps->ref_idx[1][u], -2);
    EXPECT_EQ(ctx->maps->flags[u] & 1, 0);
    EXPECT_EQ(ctx->maps->qp[u], 30);
    EXPECT_EQ(ctx->maps->depth[u], 2);
  }
  EXPECT_EQ(ctx->maps->intra_dir[map4_index(3, 3)], 26);
  EXPECT_EQ(ctx->maps->unit.cu_log2[15], 4);
  // What the coders and the writer read of every unit of the CU.
  for (int32_t z = 0; z < 16; z++) {
    EXPECT_TRUE(unit_intra(ctx->maps, z));
    EXPECT_FALSE(unit_skip(ctx->maps, z));
    EXPECT_EQ(unit_qp(ctx->maps, z), 30);
    EXPECT_EQ(unit_part_mode(ctx->maps, z), 0);
  }
  EXPECT_FALSE(unit_intra(ctx->maps, 16));
}

TEST_F(CommitFixture, SkipCuCarriesItsMergeIndexWithoutMergeFlag) {
  split_parents(0, 5);
  cu_node_t &n = node(0, 5);
  n.skip = 1;
  n.merge_idx = 3;
  n.pu.p2n = pu_single_t{1, 3, {mv_make(4, -8), 0}, {0, -1}};
  cu_commit(ctx, nodes, 0, 0, 0, 5);
  const int32_t u = map8_index(3, 3);
  EXPECT_EQ(ctx->maps->merge_flag[u], 0);
  EXPECT_EQ(ctx->maps->merge_idx[u], 3);
  EXPECT_EQ(ctx->maps->flags[u] & 1, 1);
  EXPECT_EQ(ctx->maps->mv[0][u], mv_make(4, -8));
  EXPECT_TRUE(unit_skip(ctx->maps, 63));
}

TEST_F(CommitFixture, ListOneVectorOnlyForPusUsingIt) {
  split_parents(0, 4);
  cu_node_t &n = node(0, 4);
  n.part_mode = 1;  // 2NxN: PU 0 list 0 only, PU 1 both lists
  n.pu.p2nxn.ref_idx[0][0] = 0;
  n.pu.p2nxn.ref_idx[0][1] = -1;
  n.pu.p2nxn.ref_idx[1][0] = 0;
  n.pu.p2nxn.ref_idx[1][1] = 0;
  n.pu.p2nxn.mv[0][1] = mv_make(100, 100);
  n.pu.p2nxn.mv[1][1] = mv_make(-4, 4);
  const mv_t old = mv_make(7, 7);
  for (int32_t u : {map8_index(0, 0), map8_index(1, 0), map8_index(0, 1), map8_index(1, 1)}) ctx->maps->mv[1][u] = old;
  cu_commit(ctx, nodes, 0, 0, 0, 4);
  EXPECT_EQ(ctx->maps->mv[1][map8_index(1, 0)], old);           // upper PU keeps the previous vector
  EXPECT_EQ(ctx->maps->ref_idx[1][map8_index(1, 0)], -1);
  EXPECT_EQ(ctx->maps->mv[1][map8_index(1, 1)], mv_make(-4, 4));  // lower PU uses list 1
  // Every unit of the 2NxN CU, in both prediction units, reads the CU's partition.
  for (int32_t z = 0; z < 16; z++) EXPECT_EQ(unit_part_mode(ctx->maps, z), 1) << "unit " << z;
}

// The merge trials switch motion and the skip flag of a committed CU by
// cu_commit_motion: the maps must read as a whole commit of the new state.
TEST_F(CommitFixture, MotionCommitMatchesAWholeCommit) {
  struct state_t {
    uint32_t skip, merge_idx;
    pu_single_t pu;
  };
  const state_t states[] = {
      {1, 2, pu_single_t{1, 2, {mv_make(4, -8), mv_make(-3, 5)}, {0, 1}}},
      {0, 2, pu_single_t{1, 2, {mv_make(4, -8), mv_make(-3, 5)}, {0, 1}}},
      {1, 0, pu_single_t{1, 0, {mv_make(12, 0), 0}, {1, -1}}},
      {0, 4, pu_single_t{1, 4, {0, mv_make(-40, 9)}, {-1, 0}}},
      {0, 4, pu_single_t{0, 0, {mv_make(1, 1), mv_make(2, 2)}, {0, 0}}},
  };
  for (int32_t s : {6, 5, 3}) {
    int32_t z, x;
    const int32_t y = 0;
    cu_node_t &n = unsplit_cu(s, &z, &x);
    n.skip = 0;
    n.pu.p2n = pu_single_t{1, 1, {mv_make(8, 8), mv_make(16, 16)}, {0, 0}};
    cu_commit(ctx, nodes, z, x, y, s);
    for (const state_t &st : states) {
      n.skip = st.skip;
      n.merge_idx = st.merge_idx;
      n.pu.p2n = st.pu;
      cu_commit_motion(ctx, nodes, z, s);
      ctu_maps_t fast;
      std::memcpy(&fast, ctx->maps, sizeof fast);
      cu_commit(ctx, nodes, z, x, y, s);
      EXPECT_EQ(std::memcmp(&fast, ctx->maps, sizeof fast), 0) << "size " << (1 << s) << " skip " << st.skip;
    }
  }
}

// A merge candidate's trial with residual follows its skip trial with
// only the skip flag changed; the commit of that flag alone must leave the
// maps as a whole commit would, also where the unit's merge index is not
// the skip's or the unit is not merged (then everything is written).
TEST_F(CommitFixture, SkipFlagCommitMatchesAWholeCommit) {
  struct state_t {
    uint32_t merge_idx;
    pu_single_t pu;
  };
  const state_t states[] = {
      {2, pu_single_t{1, 2, {mv_make(4, -8), mv_make(-3, 5)}, {0, 1}}},
      {0, pu_single_t{1, 0, {mv_make(12, 0), 0}, {1, -1}}},
      {4, pu_single_t{1, 4, {0, mv_make(-40, 9)}, {-1, 0}}},
      {3, pu_single_t{1, 1, {mv_make(1, 1), mv_make(2, 2)}, {0, 0}}},
      {4, pu_single_t{0, 4, {mv_make(1, 1), mv_make(2, 2)}, {0, 0}}},
  };
  for (int32_t s : {6, 5, 3}) {
    int32_t z, x;
    const int32_t y = 0;
    cu_node_t &n = unsplit_cu(s, &z, &x);
    for (const state_t &st : states)
      for (uint32_t first : {1u, 0u}) {
        n.skip = first;
        n.merge_idx = st.merge_idx;
        n.pu.p2n = st.pu;
        cu_commit(ctx, nodes, z, x, y, s);
        n.skip = first ^ 1;
        cu_commit_skip_flag(ctx, nodes, z, s);
        ctu_maps_t fast;
        std::memcpy(&fast, ctx->maps, sizeof fast);
        cu_commit(ctx, nodes, z, x, y, s);
        EXPECT_EQ(std::memcmp(&fast, ctx->maps, sizeof fast), 0)
            << "size " << (1 << s) << " skip " << first << " -> " << (first ^ 1) << " merge index " << st.merge_idx;
      }
  }
}

// Every 8x8 unit of a committed inter CU holds the motion of the
// prediction unit covering it (an 8x8 CU's two units share its one entry:
// the second's), its skip bit and merge flag and index; the other bits of
// its flags and every unit outside the CU keep what they held.
TEST_F(CommitFixture, UnitsHoldTheMotionOfThePredictionUnitCoveringThem) {
  const mv_t guard_mv = mv_make(-99, 77);
  const pu_single_t pus[2] = {pu_single_t{0, 0, {mv_make(4, -8), mv_make(-3, 5)}, {0, 1}},
                              pu_single_t{1, 3, {mv_make(-12, 20), mv_make(9, 9)}, {1, -1}}};
  for (int32_t s : {6, 5, 4, 3})
    for (uint32_t pm = 0; pm <= 2; pm++)
      for (uint32_t skip = 0; skip <= (pm == 0 ? 1u : 0u); skip++) {
        std::memset(static_cast<void *>(nodes), 0, sizeof(cu_node_t) * CU_NODE_COUNT);
        int32_t z, x;
        cu_node_t &n = unsplit_cu(s, &z, &x);
        ctu_maps_t *m = ctx->maps;
        for (int32_t u = 0; u < 160; u++) {
          m->flags[u] = 0xaa;
          m->merge_flag[u] = m->merge_idx[u] = 0x55;
          m->ref_idx[0][u] = m->ref_idx[1][u] = 7;
          m->mv[0][u] = m->mv[1][u] = guard_mv;
        }
        n.part_mode = pm;
        n.skip = skip;
        n.merge_idx = 2;
        n.pu.p2n = pu_single_t{1, 2, {mv_make(16, -4), mv_make(0, 8)}, {0, 0}};
        pu_pair_t &pp = pm == 1 ? n.pu.p2nxn : n.pu.pnx2n;
        for (int32_t k = 0; k < 2; k++) {
          pp.merge_flag[k] = pus[k].merge_flag;
          pp.merge_idx[k] = pus[k].merge_idx;
          for (int32_t l = 0; l < 2; l++) {
            pp.mv[k][l] = pus[k].mv[l];
            pp.ref_idx[k][l] = pus[k].ref_idx[l];
          }
        }
        cu_commit(ctx, nodes, z, x, 0, s);
        const int32_t w8 = 1 << (s - 3), x8 = x / 8;
        for (int32_t v = 0; v < 8; v++)
          for (int32_t h = 0; h < 8; h++) {
            const int32_t u = map8_index(h, v);
            const std::string at = "size " + std::to_string(1 << s) + " part mode " + std::to_string(pm) + " skip " +
                                   std::to_string(skip) + " unit (" + std::to_string(h) + ", " + std::to_string(v) + ")";
            if (h < x8 || h >= x8 + w8 || v >= w8) {
              EXPECT_EQ(m->flags[u], 0xaa) << at;
              EXPECT_EQ(m->merge_flag[u], 0x55) << at;
              EXPECT_EQ(m->ref_idx[1][u], 7) << at;
              EXPECT_EQ(m->mv[0][u], guard_mv) << at;
              EXPECT_EQ(m->mv[1][u], guard_mv) << at;
              continue;
            }
            const int32_t k = w8 == 1 ? 1 : pm == 1 ? (2 * v >= w8) : (2 * (h - x8) >= w8);
            const pu_single_t &pu = pm == 0 ? n.pu.p2n : pus[k];
            // A list-1 vector is written only by a unit using the list.
            mv_t mv1 = guard_mv;
            for (int32_t j = w8 == 1 && pm ? 0 : k; j <= k; j++) {
              const pu_single_t &writer = pm == 0 ? n.pu.p2n : pus[j];
              if (writer.ref_idx[1] >= 0) mv1 = writer.mv[1];
            }
            EXPECT_EQ(m->flags[u], 0xaa | skip) << at;
            EXPECT_EQ(m->merge_flag[u], pu.merge_flag && !skip ? 1 : 0) << at;
            if (skip || pu.merge_flag) {
              EXPECT_EQ(m->merge_idx[u], pu.merge_idx) << at;
            }
            for (int32_t l = 0; l < 2; l++) EXPECT_EQ(m->ref_idx[l][u], pu.ref_idx[l]) << at;
            EXPECT_EQ(m->mv[0][u], pu.mv[0]) << at;
            EXPECT_EQ(m->mv[1][u], mv1) << at;
          }
      }
}

TEST_F(CommitFixture, NxnCuWritesFourLumaDirectionsAndOneChroma) {
  split_parents(0, 3);
  cu_node_t &cu = node(0, 3);
  cu.split = 1;
  cu.pred_intra = 1;
  for (int32_t k = 0; k < 4; k++) {
    cu_node_t &pu = node(k, 2);
    pu.pred_intra = 1;
    pu.luma_dir = 10 + k;
    pu.chroma_dir = k == 3 ? 2 : 0;  // only the fourth PU's chroma counts
  }
  cu_commit(ctx, nodes, 0, 0, 0, 3);
  const int32_t n = node_index(0, 3);
  EXPECT_EQ(ctx->maps->part_mode[n], 3u);
  EXPECT_EQ(ctx->maps->cu_split[n], 0u);
  EXPECT_EQ(ctx->maps->tu_split[n], 1u);
  for (int32_t k = 0; k < 4; k++) EXPECT_EQ(ctx->maps->intra_dir[map4_index(k & 1, k >> 1)], 10 + k);
  EXPECT_EQ(ctx->maps->intra_dir[chroma_dir_index(0, 0)], 2);
  EXPECT_EQ(ctx->maps->unit.part_nxn[0], 1);
  EXPECT_EQ(ctx->maps->unit.tu_log2[3], 2);
  // Part mode 3 of the node is no inter partition.
  EXPECT_EQ(unit_part_mode(ctx->maps, 3), 0);
}

TEST_F(CommitFixture, ChildrenOutsideThePictureAreNotCommitted) {
  ctx->ctu_x = 1;  // columns 64..127 of a 96-wide picture: the right half is outside
  cu_node_t &root = node(0, 6);
  root.split = 1;
  for (int32_t k = 0; k < 4; k++) {
    cu_node_t &c = node(k * 64, 5);
    c.pred_intra = 1;
    c.luma_dir = 5 + k;
    c.qp = 20 + k;
  }
  std::memset(ctx->maps->qp, 99, sizeof(ctx->maps->qp));
  cu_commit(ctx, nodes, 0, 0, 0, 6);
  EXPECT_EQ(ctx->maps->qp[map8_index(0, 0)], 20);
  EXPECT_EQ(ctx->maps->qp[map8_index(0, 4)], 22);
  EXPECT_EQ(ctx->maps->qp[map8_index(4, 0)], 99);  // right children lie outside
  EXPECT_EQ(ctx->maps->qp[map8_index(4, 4)], 99);
}

// The transform search publishes the tree its nodes decide: a 32x32 block
// split once, its second quarter split again.
TEST_F(CommitFixture, TransformSizesFollowTheNodesSplitFlags) {
  std::memset(ctx->maps->unit.tu_log2, 9, sizeof(ctx->maps->unit.tu_log2));
  node(0, 5).tu_split = 1;
  node(16, 4).tu_split = 1;
  node(20, 3).tu_split = 1;  // an 8x8 split into 4x4 blocks
  cu_commit_transform_sizes(ctx, nodes, 0, 5);
  EXPECT_EQ(ctx->maps->unit.tu_log2[0], 4);
  EXPECT_EQ(ctx->maps->unit.tu_log2[15], 4);
  EXPECT_EQ(ctx->maps->unit.tu_log2[16], 3);
  EXPECT_EQ(ctx->maps->unit.tu_log2[20], 2);
  EXPECT_EQ(ctx->maps->unit.tu_log2[24], 3);
  EXPECT_EQ(ctx->maps->unit.tu_log2[63], 4);
  EXPECT_EQ(ctx->maps->unit.tu_log2[64], 9);  // outside the block
  // A 64x64 block always splits into 32x32 transform blocks.
  cu_commit_transform_sizes(ctx, nodes, 0, 6);
  EXPECT_EQ(ctx->maps->unit.tu_log2[200], 5);
}

// A CU's snapshot keeps its transform tree in the record; the split trial
// rewrites the children's nodes, and the commit after the restore must still
// write the CU's own tree, not the children's leftovers.
TEST_F(CommitFixture, CommitAfterSnapshotRestoreWritesTheSavedTransformTree) {
  split_parents(0, 5);
  cu_node_t &cu = intra_cu(0, 5, 26);
  cu.tu_split = 1;
  node(0, 4).tu_split = 1;  // upper-left 16x16 quarter in 8x8 blocks
  node(16, 4).tu_split = 0;
  node(32, 4).tu_split = 0;
  node(48, 4).tu_split = 0;
  for (int32_t k = 0; k < 4; k++) node(4 * k, 3).tu_split = 0;
  cu_commit(ctx, nodes, 0, 0, 0, 5);
  uint8_t tu_before[64];
  std::memcpy(tu_before, ctx->maps->unit.tu_log2, sizeof(tu_before));
  ASSERT_EQ(tu_before[0], 3);
  ASSERT_EQ(tu_before[20], 4);
  cu_snapshot_save(ctx, nodes, 0, 0, 5);

  // The split trial: four 16x16 CUs with transform trees of their own.
  cu.split = 1;
  for (int32_t k = 0; k < 4; k++) {
    intra_cu(16 * k, 4, 10).tu_split = k == 2 ? 1 : 0;
    for (int32_t j = 0; j < 4; j++) node(16 * k + 4 * j, 3).tu_split = 1;
    cu_commit(ctx, nodes, 16 * k, 16 * (k & 1), 16 * (k >> 1), 4);
  }

  // The unsplit CU wins.
  cu.split = 0;
  cu_snapshot_restore(ctx, nodes, 0, 0, 5);
  cu_commit(ctx, nodes, 0, 0, 0, 5);
  EXPECT_EQ(std::memcmp(ctx->maps->unit.tu_log2, tu_before, sizeof(tu_before)), 0);
  EXPECT_EQ(ctx->maps->tu_split[node_index(0, 4)], 1u);
  EXPECT_EQ(ctx->maps->tu_split[node_index(32, 4)], 0u);
  EXPECT_EQ(ctx->maps->intra_dir[map4_index(0, 0)], 26);
  EXPECT_EQ(node(32, 4).tu_split, 0);
}

// A merged 2Nx2N CU left without residual is turned into a skip CU, in the
// node and, through the commit, in the record.
TEST_F(CommitFixture, MergeCuWithoutResidualBecomesSkipInNodeAndRecord) {
  split_parents(0, 4);
  cu_node_t &n = node(0, 4);
  n.qp = 30;
  n.pu.p2n = pu_single_t{1, 2, {mv_make(8, 4), 0}, {0, -1}};
  cu_commit(ctx, nodes, 0, 0, 0, 4);
  ASSERT_EQ(ctx->maps->merge_flag[map8_index(1, 1)], 1);
  // Source and prediction agree (both empty): nothing to code.
  cu_rd_cost_nopred(ctx, n.lambda_ssd, 0, 0, 0, 4, 0);
  EXPECT_EQ(n.skip, 1u);
  EXPECT_EQ(n.merge_idx, 2u);
  for (int32_t u : {map8_index(0, 0), map8_index(1, 1)}) {
    EXPECT_EQ(ctx->maps->flags[u] & 1, 1);
    EXPECT_EQ(ctx->maps->merge_flag[u], 0);
    EXPECT_EQ(ctx->maps->merge_idx[u], 2);
  }
  EXPECT_TRUE(unit_skip(ctx->maps, 15));
}

// An intra 16x16 CU in DC mode at the picture's corner, where the
// prediction is flat 128, over the given source.
struct IntraCuCost : CommitFixture {
  void commit_dc_cu(int32_t qp, int32_t (*sample)(int32_t x, int32_t y)) {
    split_parents(0, 4);
    cu_node_t &n = node(0, 4);
    n.pred_intra = 1;
    n.luma_dir = 1;
    n.chroma_dir = 4;
    n.qp = qp;
    n.lambda_ssd = 2000;
    cu_commit(ctx, nodes, 0, 0, 0, 4);
    for (int32_t y = 0; y < 16; y++)
      for (int32_t x = 0; x < 16; x++) ctu_src_at(ctx, 0, x, y)[0] = static_cast<uint8_t>(sample(x, y));
    for (int32_t p = 1; p <= 2; p++)
      for (int32_t y = 0; y < 8; y++)
        for (int32_t x = 0; x < 8; x++) ctu_src_at(ctx, p, x, y)[0] = 128;
  }
};

// flag 1 predicts the block first; flag 0 codes it against the prediction
// already in the buffer, here the source itself, which leaves nothing to code.
TEST_F(IntraCuCost, LumaEncodeCostPredictsOnlyWithItsFlag) {
  commit_dc_cu(30, [](int32_t, int32_t) { return 200; });
  const cabac_est_t start = ctx->cabac.est;
  const uint32_t predicted = tu_luma_encode_cost(ctx, 2000, 0, 0, 0, 4, 1);
  EXPECT_EQ(ctx->maps->unit.cbf[0] & 1, 1) << "200 against the flat 128 needs coefficients";
  ctx->cabac.est = start;
  for (int32_t y = 0; y < 16; y++) std::memcpy(ctu_rec_at(ctx, 0, 0, y), ctu_src_at(ctx, 0, 0, y), 16);
  const uint32_t in_place = tu_luma_encode_cost(ctx, 2000, 0, 0, 0, 4, 0);
  EXPECT_EQ(ctx->maps->unit.cbf[0] & 1, 0);
  EXPECT_EQ(ctu_rec_at(ctx, 0, 15, 15)[0], 200);
  EXPECT_LT(in_place, predicted);
}

// The residual is quantised at the QP given, not at the CU's QP in the maps.
TEST_F(IntraCuCost, ResidualCostQuantisesAtTheGivenQp) {
  commit_dc_cu(30, [](int32_t x, int32_t y) { return 128 + (((x + y) & 1) ? 3 : -3); });
  const uint32_t lambdas[3] = {2000, 2000, 2000};
  const cabac_est_t start = ctx->cabac.est;
  EXPECT_EQ(cu_rd_cost_residual(ctx, 51, lambdas, 0, 0, 0, 4), COST_NONE) << "QP 51 keeps nothing of +-3";
  ctx->cabac.est = start;
  EXPECT_NE(cu_rd_cost_residual(ctx, 0, lambdas, 0, 0, 0, 4), COST_NONE) << "QP 0 codes +-3";
}

}  // namespace

namespace {

struct split_case_t {
  const char *name;
  uint32_t unsplit, children[4];
  int32_t flags;  // bit 0 right children inside, bit 1 lower, bits 2-3 split mode
  int32_t expect_split;
  uint32_t expect_cost;
};

class DecideSplit : public CommitFixture, public ::testing::WithParamInterface<split_case_t> {};

// A 32x32 node of an I slice with split-flag costs 10 (unsplit) and 20
// (split): the split wins only when strictly cheaper, or when forced;
// children outside the picture do not count.
TEST_P(DecideSplit, KeepsTheUnsplitCuOnTiesAndObeysAForcedSplit) {
  const split_case_t &c = GetParam();
  // I slices compare the intra costs, P and B slices the inter ones.
  for (const int32_t slice : {2, 1, 0}) {
    SCOPED_TRACE(slice);
    ctx->slice_type_code = slice;
    ctx->analysis_level = 4;
    split_parents(0, 5);
    cu_node_t &n = node(0, 5);
    uint32_t &cost = slice == 2 ? n.intra_cost : n.cost;
    cost = c.unsplit;
    n.split_flag_cost[0] = 10;
    n.split_flag_cost[1] = 20;
    n.recode = 0;
    n.pred_intra = 1;
    n.qp = 30;
    for (int32_t k = 0; k < 4; k++) (slice == 2 ? node(k * 16, 4).intra_cost : node(k * 16, 4).cost) = c.children[k];
    ctx->maps->cu_split[node_index(0, 5)] = 0;
    cu_decide_split(ctx, nodes, 0, 0, 0, 5, c.flags);
    EXPECT_EQ(n.split, c.expect_split) << c.name;
    EXPECT_EQ(cost, c.expect_cost) << c.name;
    if (c.expect_split) {
      EXPECT_EQ(ctx->maps->cu_split[node_index(0, 5)], 1u) << c.name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Costs, DecideSplit,
    ::testing::Values(split_case_t{"tie keeps the unsplit CU", 1000, {250, 250, 250, 240}, 4 | 3, 0, 1010},
                      split_case_t{"one less splits", 1000, {250, 250, 250, 239}, 4 | 3, 1, 1009},
                      split_case_t{"forced split wins when dearer", 100, {245, 245, 245, 245}, 8 | 3, 1, 1000},
                      split_case_t{"outside children are left out", 1000, {400, 0x1fffffff, 500, 0x1fffffff}, 4 | 2, 1,
                                   920}));

}  // namespace

namespace {

// The per-CTU depth range that later CTUs and pictures predict from: the
// deepest and shallowest CU of the decided tree, over the part of the CTU
// inside the picture, gathered over every tree the CTU finalises in the
// picture.
TEST_F(CommitFixture, FinalisedTreeKeepsTheCtusDepthRangeInsideThePicture) {
  frame_t *rec = frame_get_unused(enc->pool, 0);
  ASSERT_NE(rec, nullptr);
  ctx->cur_recon = rec;
  picture_analysis_reset(ctx);
  auto tree = [&](int32_t inside_log2, int32_t outside_log2) {
    // Columns 0..31 of the second CTU lie inside the 96-wide picture.
    for (int32_t y4 = 0; y4 < 16; y4++)
      for (int32_t x4 = 0; x4 < 16; x4++)
        ctx->maps->unit.cu_log2[zorder_of(x4, y4)] = static_cast<uint8_t>(x4 < 8 ? inside_log2 : outside_log2);
  };
  ctx->ctu_x = 1;
  ctx->ctu_addr = 1;
  tree(5, 3);  // 32x32 CUs inside; what lies outside does not count
  cu_tree_finalize_qp(ctx);
  EXPECT_EQ(rec->ctu_max_depth[1], 1);
  EXPECT_EQ(rec->ctu_min_depth[1], 1);
  tree(3, 6);  // a second tree widens the range, it does not replace it
  cu_tree_finalize_qp(ctx);
  EXPECT_EQ(rec->ctu_max_depth[1], 3);
  EXPECT_EQ(rec->ctu_min_depth[1], 1);
  // A whole CTU with 64x64 down to 8x8 quadrants; its neighbour untouched.
  ctx->ctu_x = 0;
  ctx->ctu_addr = 0;
  for (int32_t y4 = 0; y4 < 16; y4++)
    for (int32_t x4 = 0; x4 < 16; x4++)
      ctx->maps->unit.cu_log2[zorder_of(x4, y4)] = static_cast<uint8_t>(y4 < 8 ? (x4 < 8 ? 5 : 4) : 3);
  cu_tree_finalize_qp(ctx);
  EXPECT_EQ(rec->ctu_max_depth[0], 3);
  EXPECT_EQ(rec->ctu_min_depth[0], 1);
  EXPECT_EQ(rec->ctu_max_depth[1], 3);
  // A new picture starts both again: the minimum from 100.
  picture_analysis_reset(ctx);
  EXPECT_EQ(rec->ctu_max_depth[0], 0);
  EXPECT_EQ(rec->ctu_min_depth[0], 100);
  frame_release(enc->pool, rec);
}

}  // namespace
