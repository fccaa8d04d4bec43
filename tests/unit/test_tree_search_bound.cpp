// A residual quad-tree search given a bound either leaves exactly what the
// search without one leaves (tree, cost, reconstruction, levels, unit
// bytes, states), when the tree costs less than the bound, or reports that
// it costs at least the bound.  Bounds one above the tree's cost drive every
// node on the decided path to its tightest bound, so a bound off by one
// anywhere on it (or in the tie between a block and its quarters) shows.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "analysis/decision_common.h"
#include "rdo/block_coding.h"
#include "rdo/cu_commit.h"
#include "rdo/rd_cost.h"
#include "tests/unit/row_context.h"

namespace {

struct tree_case_t {
  int32_t z, log2_size, qp;
  uint32_t lambda;
};
// Low lambdas at low QPs, where the trees split; tiny ones at tiny QPs,
// where a block and its quarters often cost the same or one apart.
constexpr tree_case_t cases[] = {{0, 5, 22, 300},  {64, 4, 22, 300},   {80, 4, 37, 9000},  {4, 3, 22, 300},
                                 {200, 3, 32, 2500}, {128, 5, 32, 2500}, {176, 3, 27, 900},  {240, 4, 27, 900},
                                 {16, 4, 4, 1},     {32, 3, 2, 0},       {64, 5, 6, 2},      {96, 4, 0, 0}};

struct TreeSearchBound : ::testing::Test {
  row_context_holder_t holder{128, 64};
  encoder_t *ctx = nullptr;
  std::mt19937 rng{5};
  cabac_est_t start{};
  std::vector<uint8_t> before;  // the CU's planes before the search
  ctu_unit_maps_t units_before{};

  void SetUp() override {
    ctx = holder.ctx;
    ASSERT_NE(ctx, nullptr);
    std::memset(ctx->maps, 0, sizeof(ctu_maps_t));
    std::memset(static_cast<void *>(ctx->nodes), 0, sizeof(cu_node_t) * CU_NODE_COUNT);
    ctx->ctu_x = ctx->ctu_y = 0;
    ctx->param.rdoq = 1;
    ctx->use_rdoq_alt = 1;
  }

  cu_node_t &node(int32_t z, int32_t s) { return ctx->nodes[node_index(z, s)]; }

  // An unsplit 2Nx2N CU, intra with the given mode or inter (mode < 0),
  // committed over a textured source whose prediction leaves levels to code.
  void set_up_cu(const tree_case_t &c, int32_t mode) {
    for (int32_t p = c.log2_size + 1; p <= 6; p++) node(c.z, p).split = 1;
    cu_node_t &n = node(c.z, c.log2_size);
    n.split = 0;
    n.tu_split = 0;
    n.pred_intra = mode >= 0;
    n.luma_dir = mode >= 0 ? mode : 0;
    n.chroma_dir = 4;
    n.part_mode = 0;
    n.skip = 0;
    n.qp = c.qp;
    n.lambda_ssd = ctx->ctu_lambda_ssd = c.lambda;
    n.pu.p2n.merge_flag = mode < 0;
    n.pu.p2n.ref_idx[0] = mode < 0 ? 0 : -2;
    n.pu.p2n.ref_idx[1] = -2;
    const int32_t x = 4 * zorder_x(c.z), y = 4 * zorder_y(c.z), size = 1 << c.log2_size;
    cu_commit(ctx, ctx->nodes, c.z, x, y, c.log2_size);
    cu_commit_transform_sizes(ctx, ctx->nodes, c.z, c.log2_size);
    // The residual lies in a few 4x4 blocks, so that quarters differ and
    // trees split.
    uint8_t spread[16][16];
    for (auto &row : spread)
      for (uint8_t &v : row) v = rng() % 4 ? 1 : static_cast<uint8_t>(24 + rng() % 64);
    for (int32_t p = 0; p < 3; p++) {
      const int32_t w = p ? size / 2 : size, px = p ? x / 2 : x, py = p ? y / 2 : y;
      for (int32_t j = 0; j < w; j++)
        for (int32_t i = 0; i < w; i++) {
          const int32_t a = spread[j / 4][i / 4];
          const int32_t v = static_cast<int32_t>(rng() % static_cast<uint32_t>(a)) - a / 2;
          const int32_t base = 90 + ((i * 5 + j * 9) & 63);
          ctu_rec_at(ctx, p, px + i, py + j)[0] = static_cast<uint8_t>(base);
          ctu_src_at(ctx, p, px + i, py + j)[0] = static_cast<uint8_t>(base + v);
        }
    }
    before = planes(c);
    units_before = ctx->maps->unit;
    for (int32_t i = 0; i < CABAC_NUM_CTX + 4; i++) start.state[i] = static_cast<uint8_t>(2 + rng() % 124);
    start.bits = 777;
  }

  // f(row, width) on every row of the CU in its three planes, in order.
  template <class F>
  void each_row(const tree_case_t &c, F f) {
    const int32_t size = 1 << c.log2_size;
    for (int32_t p = 0; p < 3; p++) {
      const int32_t w = p ? size / 2 : size, sh = p ? 1 : 0;
      for (int32_t j = 0; j < w; j++) f(ctu_rec_at(ctx, p, 4 * zorder_x(c.z) >> sh, (4 * zorder_y(c.z) >> sh) + j), w);
    }
  }
  std::vector<uint8_t> planes(const tree_case_t &c) {
    std::vector<uint8_t> v;
    each_row(c, [&](const uint8_t *row, int32_t w) { v.insert(v.end(), row, row + w); });
    return v;
  }

  // The CU as before any search: planes, unit bytes, states.
  void restore(const tree_case_t &c) {
    size_t k = 0;
    each_row(c, [&](uint8_t *row, int32_t w) {
      std::memcpy(row, before.data() + k, static_cast<size_t>(w));
      k += static_cast<size_t>(w);
    });
    ctx->maps->unit = units_before;
    node(c.z, c.log2_size).tu_split = 0;
    ctx->cabac.est = start;
  }

  // The decided tree's split flags, root first.
  void tree_flags(int32_t z, int32_t s, std::vector<int8_t> *out) {
    const int8_t f = node(z, s).tu_split;
    out->push_back(f);
    if (!f || s <= 2) return;
    for (int32_t k = 0; k < 4; k++) tree_flags(z + k * child_step(s), s - 1, out);
  }

  struct outcome_t {
    uint32_t cost;
    std::vector<int8_t> flags;
    cabac_est_t est;
    std::vector<uint8_t> rec;
    ctu_unit_maps_t maps;
    uint8_t node_cbf;
  };
  outcome_t outcome(const tree_case_t &c) {
    outcome_t o{node(c.z, c.log2_size).tu_tree_cost, {}, ctx->cabac.est, planes(c), ctx->maps->unit,
                ctx->maps->cbf[node_index(c.z, c.log2_size)]};
    tree_flags(c.z, c.log2_size, &o.flags);
    return o;
  }
};

TEST_F(TreeSearchBound, BelowTheBoundAsWithoutItAtTheBoundReportedLost) {
  int32_t split_trees = 0, deep_trees = 0, units = 0;
  for (const tree_case_t &cu : cases)
    for (const int32_t mode : {-1, 0, 1, 10, 26, 2, 18, 34})
      // An 8x8 intra CU also as the search of its first 4x4 prediction unit.
      for (const bool unit : {false, true}) {
        if (unit && (mode < 0 || cu.log2_size != 3)) continue;
        const tree_case_t c = unit ? tree_case_t{cu.z, 2, cu.qp, cu.lambda} : cu;
        const int32_t mask = unit ? 33 : mode < 0 ? 3 : 1;
        SCOPED_TRACE(testing::Message() << "block " << (1 << c.log2_size) << " at unit " << c.z << ", QP " << c.qp
                                        << ", " << (mode < 0 ? "inter" : "intra mode ") << mode);
        set_up_cu(cu, mode);
        const int32_t x = 4 * zorder_x(c.z), y = 4 * zorder_y(c.z);
        restore(c);
        ASSERT_TRUE(transform_tree_search(ctx, ctx->nodes, c.z, x, y, c.log2_size, mask, 0));
        const outcome_t free = outcome(c);
        const uint32_t cost = free.cost;
        split_trees += free.flags.size() > 1;
        deep_trees += free.flags.size() > 5;
        units += unit && (ctx->maps->unit.cbf[c.z] & 1);
        for (const uint32_t bound : {cost + 1, cost + 2, cost + 5000, cost, cost - 1, cost / 2, 1u, 0u}) {
          SCOPED_TRACE(testing::Message() << "cost " << cost << ", bound " << bound);
          restore(c);
          const bool below = transform_tree_search(ctx, ctx->nodes, c.z, x, y, c.log2_size, mask, 0, bound);
          if (bound > cost) {
            ASSERT_TRUE(below);
            const outcome_t o = outcome(c);
            EXPECT_EQ(o.cost, cost);
            EXPECT_EQ(o.flags, free.flags) << "transform tree";
            EXPECT_EQ(o.est.bits, free.est.bits);
            EXPECT_EQ(std::memcmp(o.est.state, free.est.state, sizeof(o.est.state)), 0) << "states";
            EXPECT_TRUE(o.rec == free.rec) << "reconstruction";
            EXPECT_EQ(std::memcmp(&o.maps, &free.maps, sizeof(ctu_unit_maps_t)), 0) << "levels and unit bytes";
            EXPECT_EQ(o.node_cbf, free.node_cbf);
          } else {
            EXPECT_FALSE(below);
            EXPECT_GE(node(c.z, c.log2_size).tu_tree_cost, bound);
          }
        }
      }
  // The bounds must have reached into split trees, some of them two deep.
  EXPECT_GT(split_trees, 12);
  EXPECT_GT(deep_trees, 3);
  EXPECT_GT(units, 8) << "too few prediction units coded levels";
}

}  // namespace
