// The thorough intra coding-tree search: which CUs it evaluates, how many
// residual searches the exhaustive level spends, the 2Nx2N alternative of
// four equal 4x4 modes, the tie rules, and that what it leaves in place is
// exactly the coding of the tree it committed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "analysis/analysis_tables.h"
#include "analysis/intra_common.h"
#include "analysis/intra_full.h"
#include "encoder/encoder.h"
#include "tests/unit/row_context.h"
#include "rdo/block_coding.h"
#include "rdo/cu_commit.h"
#include "rdo/rd_cost.h"

namespace {

using source_fn = std::function<uint8_t(int32_t plane, int32_t x, int32_t y)>;

struct search_call_t {
  int32_t z, log2_size, mask, final, luma_mode;
};
struct decision_t {
  int32_t z, log2_size;
  uint32_t unsplit, split;
  int32_t kind;
};

struct IntraFull : ::testing::Test {
  encoder_t *enc = nullptr;
  encoder_t *ctx = nullptr;
  frame_t *input = nullptr, *recon = nullptr;
  std::vector<search_call_t> searches;
  std::vector<decision_t> decisions;
  intra_full_probe_t probe{};
  // First 4x4 prediction units: forget the quarters kept by their CU's
  // split trials before each search, or count the searches that took one
  // (they leave the transform scratch as the probe filled it).
  bool forget_first_quarters = false;
  bool watching_scratch = false;
  int32_t taken_first_quarters = 0;
  std::vector<cabac_est_t> states_at_searches;  // as each search (but the first) found them

  void TearDown() override {
    intra_full_set_probe(nullptr);
    if (!enc) return;
    if (input) frame_release(enc->pool, input);
    if (recon) frame_release(enc->pool, recon);
    encoder_close(enc);
  }

  void open(int32_t width, int32_t height) {
    ctx = open_row_context(width, height, &enc);
    ASSERT_NE(ctx, nullptr);
    input = frame_get_unused(enc->pool, 1);
    recon = frame_get_unused(enc->pool, 0);
    ASSERT_NE(input, nullptr);
    ASSERT_NE(recon, nullptr);
    ctx->cur_input = input;
    ctx->cur_recon = recon;
    probe.user = this;
    probe.tree_search = [](void *u, int32_t z, int32_t log2_size, int32_t mask, int32_t final) {
      auto *t = static_cast<IntraFull *>(u);
      t->searches.push_back({z, log2_size, mask, final, t->ctx->maps->unit.luma_mode[z]});
      t->states_at_searches.push_back(t->ctx->cabac.est);
      int16_t *scratch = t->ctx->coef_tmp;
      if (t->watching_scratch && std::all_of(scratch, scratch + 16, [](int16_t v) { return v == 0x7ff1; }))
        t->taken_first_quarters++;
      t->watching_scratch = false;
      if (mask != 33 || (z & 3) != 0) return;
      if (t->forget_first_quarters) {
        tu_first_quarters_forget(t->ctx);
      } else {
        std::fill(scratch, scratch + 16, int16_t{0x7ff1});
        t->watching_scratch = true;
      }
    };
    probe.decision = [](void *u, int32_t z, int32_t log2_size, uint32_t unsplit, uint32_t split, int32_t kind) {
      static_cast<IntraFull *>(u)->decisions.push_back({z, log2_size, unsplit, split, kind});
    };
    intra_full_set_probe(&probe);
  }

  // The whole picture from f; the reconstruction around the CTU (what its
  // neighbours predict from) is the source itself.
  void fill_picture(const source_fn &f) {
    for (int32_t p = 0; p < 3; p++) {
      const int32_t w = p ? ctx->width / 2 : ctx->width, h = p ? ctx->height / 2 : ctx->height;
      const int32_t aw = p ? input->alloc_width / 2 : input->alloc_width;
      const int32_t ah = p ? input->alloc_height / 2 : input->alloc_height;
      for (int32_t y = 0; y < ah; y++)
        for (int32_t x = 0; x < aw; x++) {
          const uint8_t v = f(p, std::min(x, w - 1), std::min(y, h - 1));
          input->plane[p][y * input->stride[p] + x] = v;
          recon->work[p][y * recon->stride[p] + x] = v;
        }
      const int32_t s = p ? 32 : 64;
      for (int32_t row = 0; row < ctx->ctu_rows; row++)
        for (int32_t x = 0; x < ctx->ctu_cols * s; x++)
          ctx->intra_line[p][row * ctx->ctu_cols * s + x] = f(p, std::min(x, w - 1), std::min((row + 1) * s - 1, h - 1));
    }
  }

  // What the CTU job sets up before an analysis driver runs.
  void setup_ctu(int32_t col, int32_t row, int32_t level, int32_t qp) {
    ctx->ctu_x = col;
    ctx->ctu_y = row;
    ctx->ctu_addr = row * ctx->ctu_cols + col;
    for (int32_t r = 0; r < 64; r++)
      std::memcpy(ctx->ctu_src + r * SRC_STRIDE, input->plane[0] + (row * 64 + r) * input->stride[0] + col * 64, 64);
    for (int32_t p = 1; p <= 2; p++)
      for (int32_t r = 0; r < 32; r++)
        std::memcpy(ctx->ctu_src + (64 + r) * SRC_STRIDE + (p == 2 ? 32 : 0),
                    input->plane[p] + (row * 32 + r) * input->stride[p] + col * 32, 32);
    ctu_maps_t *m = ctx->maps;
    std::memset(m, 0, sizeof(ctu_maps_t));
    std::memset(m->ref_idx, 0xff, sizeof(m->ref_idx));
    std::memset(m->intra_dir, 0xff, sizeof(m->intra_dir));
    std::memset(&ctx->maps->unit, 0, sizeof(ctu_unit_maps_t));
    std::memset(ctx->ctu_rec, 0, RECON_STRIDE * 64);
    ctx->slice_type_code = 2;
    ctx->slice_qp = qp;
    ctx->prev_qp = qp;
    ctx->ctu_qp = qp;
    ctx->ctu_lambda_ssd = ctx->tables->lambda_ssd_table[0][qp];
    ctx->ctu_lambda_sad = ctx->tables->lambda_sad_table[0][qp];
    ctx->lambda_ssd = ctx->ctu_lambda_ssd / 256.0;
    ctx->lambda_sad = ctx->ctu_lambda_sad;
    ctx->param.complexity = level;
    ctx->param.split_search_level = level >= 6 ? 3 : 2;
    ctx->param.rdoq = 0;  // levels that do not depend on the estimation state
    ctx->analysis_level = level;
    ctx->use_rdoq_alt = 0;
    ctx->cu_min_depth = 1;
    ctx->cu_max_depth = 4;
    ctx->intra_refs_refresh = 1;
    cabac_init_contexts(&ctx->cabac.est, 2, qp, 0);
  }

  // The CTU driver's part: the states around the search, the final commit.
  void run_ctu() {
    searches.clear();
    decisions.clear();
    ctx->cabac_est_save[0] = ctx->cabac.est;
    analyse_cu_intra_full(ctx, ctx->nodes, 0, 0, 0, 6);
    ctx->cabac.est = ctx->cabac_est_save[0];
    cu_commit(ctx, ctx->nodes, 0, 0, 0, 6);
  }

  int32_t inside_w() const { return std::min(64, ctx->width - 64 * ctx->ctu_x); }
  int32_t inside_h() const { return std::min(64, ctx->height - 64 * ctx->ctu_y); }
  bool unit_inside(int32_t z) const { return 4 * zorder_x(z) < inside_w() && 4 * zorder_y(z) < inside_h(); }

  // Coding the committed tree again from its decision must give back what
  // the search left in place: reconstruction, levels and coded flags.
  void expect_in_place_coding_matches_decision() {
    const ctu_unit_maps_t *d = &ctx->maps->unit;
    const std::vector<uint8_t> rec(ctx->ctu_rec, ctx->ctu_rec + RECON_STRIDE * 64);
    const ctu_unit_maps_t before = *d;
    for (int32_t z = 0; z < 256;) {
      if (!unit_inside(z)) {
        z++;
        continue;
      }
      const int32_t s = d->cu_log2[z];
      ASSERT_GE(s, 3) << "unit " << z;
      ASSERT_LE(s, 6) << "unit " << z;
      ASSERT_EQ(z % (1 << (2 * (s - 2))), 0) << "CU of size " << (1 << s) << " misaligned at unit " << z;
      intra_cu_code(ctx, 4 * zorder_x(z), 4 * zorder_y(z), s, unit_qp(ctx->maps, z));
      z += 1 << (2 * (s - 2));
    }
    for (int32_t y = 0; y < inside_h(); y++)
      for (int32_t x = 0; x < inside_w(); x++)
        ASSERT_EQ(ctx->ctu_rec[y * RECON_STRIDE + x], rec[y * RECON_STRIDE + x]) << "luma " << x << "," << y;
    for (int32_t y = 0; y < inside_h() / 2; y++)
      for (int32_t x = 0; x < inside_w() / 2; x++)
        for (int32_t c = 64; c <= 96; c += 32)
          ASSERT_EQ(ctx->ctu_rec[y * RECON_STRIDE + c + x], rec[y * RECON_STRIDE + c + x])
              << "chroma " << c << " " << x << "," << y;
    for (int32_t z = 0; z < 256; z++) {
      if (!unit_inside(z)) continue;
      ASSERT_EQ(d->cbf[z], before.cbf[z]) << "unit " << z;
      ASSERT_EQ(std::memcmp(d->coef_y + 16 * z, before.coef_y + 16 * z, 32), 0) << "luma levels of unit " << z;
      for (int32_t c = 0; c < 2; c++)
        ASSERT_EQ(std::memcmp(d->coef_c[c] + 4 * z, before.coef_c[c] + 4 * z, 8), 0) << "chroma levels of unit " << z;
    }
    // The depth map describes the same tree.
    for (int32_t y8 = 0; y8 < (inside_h() + 7) / 8; y8++)
      for (int32_t x8 = 0; x8 < (inside_w() + 7) / 8; x8++) {
        const int32_t z = zorder_of(2 * x8, 2 * y8);
        EXPECT_EQ(ctx->maps->depth[map8_index(x8, y8)], 6 - d->cu_log2[z]) << "8x8 unit " << x8 << "," << y8;
      }
  }
};

uint32_t hash(uint32_t v) {
  v ^= v >> 16;
  v *= 0x7feb352d;
  v ^= v >> 15;
  v *= 0x846ca68b;
  return v ^ (v >> 16);
}

// Natural-looking content: smooth gradients, oriented stripes, sharp edges
// and some noise, different in each region.
source_fn textured(uint32_t seed) {
  return [seed](int32_t p, int32_t x, int32_t y) {
    const uint32_t region = hash(seed + static_cast<uint32_t>((x >> 4) * 131 + (y >> 4) * 977 + p * 7));
    int32_t v = 0;
    switch (region % 4) {
      case 0: v = 60 + x + 2 * y; break;
      case 1: v = ((x + 2 * y) / 3) % 8 < 4 ? 40 : 200; break;
      case 2: v = (x * 3 - y) % 16 < 8 ? 90 : 150; break;
      default: v = 128 + static_cast<int32_t>(hash(seed ^ static_cast<uint32_t>(x * 1000 + y + p * 99991)) % 41) - 20;
    }
    v += static_cast<int32_t>(hash(static_cast<uint32_t>(x * 7919 + y * 104729 + p) ^ seed) % 7) - 3;
    return static_cast<uint8_t>(std::clamp(v, 0, 255));
  };
}

source_fn flat(uint8_t v) {
  return [v](int32_t, int32_t, int32_t) { return v; };
}

// The same split decisions at the same costs, in the same order.
void expect_same_decisions(const std::vector<decision_t> &x, const std::vector<decision_t> &y) {
  ASSERT_EQ(x.size(), y.size());
  for (size_t i = 0; i < x.size(); i++) {
    const decision_t &a = x[i], &b = y[i];
    ASSERT_EQ(a.z, b.z) << "decision " << i;
    ASSERT_EQ(a.log2_size, b.log2_size) << "decision " << i;
    EXPECT_EQ(a.unsplit, b.unsplit) << "unsplit cost at unit " << a.z << ", size " << (1 << a.log2_size);
    EXPECT_EQ(a.split, b.split) << "split cost at unit " << a.z << ", size " << (1 << a.log2_size);
    EXPECT_EQ(a.kind, b.kind) << "decision " << i;
  }
}

int32_t count_searches(const std::vector<search_call_t> &s, int32_t z, int32_t log2_size, int32_t mask, int32_t final) {
  int32_t n = 0;
  for (const auto &c : s) n += c.z == z && c.log2_size == log2_size && c.mask == mask && c.final == final;
  return n;
}

// ------------------------------------------------------------ picture edges

TEST_F(IntraFull, CornerCtuEvaluatesOnlyCusInsideAndSplitsTheCrossingOnes) {
  open(232, 152);  // the last CTU keeps 40 x 24 samples
  fill_picture(textured(11));
  setup_ctu(ctx->ctu_cols - 1, ctx->ctu_rows - 1, 6, 30);
  ASSERT_EQ(inside_w(), 40);
  ASSERT_EQ(inside_h(), 24);
  std::memset(static_cast<void *>(ctx->nodes), 0xa5, sizeof(cu_node_t) * CU_NODE_COUNT);
  cu_node_t untouched;
  std::memset(static_cast<void *>(&untouched), 0xa5, sizeof(untouched));
  run_ctu();

  auto origin_inside = [&](int32_t z) { return unit_inside(z); };
  auto fits = [&](int32_t z, int32_t s) {
    return 4 * zorder_x(z) + (1 << s) <= inside_w() && 4 * zorder_y(z) + (1 << s) <= inside_h();
  };
  // No residual search touches a block that is not wholly in the picture.
  for (const auto &c : searches) {
    const int32_t s = c.mask == 2 ? std::max(c.log2_size, 3) : c.log2_size;
    EXPECT_TRUE(fits(c.z, s)) << "search of a " << (1 << s) << " block at unit " << c.z;
  }
  for (int32_t s = 3; s <= 6; s++)
    for (int32_t z = 0; z < 256; z += 1 << (2 * (s - 2))) {
      const cu_node_t &n = ctx->nodes[node_index(z, s)];
      SCOPED_TRACE(testing::Message() << "CU " << (1 << s) << " at unit " << z);
      if (!origin_inside(z)) {
        EXPECT_EQ(std::memcmp(&n, &untouched, sizeof(n)), 0) << "a CU outside the picture was set up";
      } else if (!fits(z, s)) {
        EXPECT_EQ(n.split, 1);
        EXPECT_EQ(n.luma_dir, -1) << "a CU crossing the edge was evaluated unsplit";
      }
    }
  // Crossing CUs report a forced split; every decided CU fits.
  for (const auto &d : decisions)
    if (!fits(d.z, d.log2_size)) {
      EXPECT_EQ(d.unsplit, COST_NONE);
    }
  for (int32_t z = 0; z < 256; z++)
    if (unit_inside(z)) {
      const int32_t s = ctx->maps->unit.cu_log2[z], first = z & ~((1 << (2 * (s - 2))) - 1);
      EXPECT_TRUE(fits(first, s)) << "unit " << z << " in a CU of size " << (1 << s);
    }
  expect_in_place_coding_matches_decision();
}

// ------------------------------------------------------- exhaustive level

TEST_F(IntraFull, Level7SearchesAll35ModesFor2Nx2NAndEachPredictionUnit) {
  open(64, 64);
  fill_picture(textured(5));
  setup_ctu(0, 0, 7, 32);
  // Also the units' modes that repeat an earlier mode's prediction.
  probe.every_trial = true;
  // Only 8x8 CUs: the CTU's minimum depth forces the larger ones to split.
  ctx->cu_min_depth = 3;
  run_ctu();
  for (int32_t z = 0; z < 256; z += 4) {
    SCOPED_TRACE(testing::Message() << "8x8 CU at unit " << z);
    std::vector<int32_t> modes;
    for (const auto &c : searches)
      if (c.z == z && c.log2_size == 3 && c.mask == 1 && c.final == 0) modes.push_back(c.luma_mode);
    ASSERT_EQ(modes.size(), 35u);
    for (int32_t m = 0; m < 35; m++) EXPECT_EQ(modes[m], m) << "trial " << m;
    // The winner's transform tree is put back as its trial left it, not
    // searched again (the in-place check below holds it to the decision).
    EXPECT_EQ(count_searches(searches, z, 3, 1, 1), 0) << "the winner's transform tree searched again";
    for (int32_t k = 0; k < 4; k++) {
      std::vector<int32_t> pu;
      for (const auto &c : searches)
        if (c.z == z + k && c.log2_size == 2 && c.mask == 33) pu.push_back(c.luma_mode);
      ASSERT_EQ(pu.size(), 35u) << "PU " << k;
      for (int32_t m = 0; m < 35; m++) EXPECT_EQ(pu[m], m) << "PU " << k << " trial " << m;
    }
  }
  expect_in_place_coding_matches_decision();
}

// The first 4x4 prediction unit of an 8x8 CU, where taken from the CU's
// split trial of the same mode, is what coding it again gives: every cost
// the search compares, and the reconstruction, levels and flags it leaves,
// equal those of a search that codes each unit itself.  With the residual
// coder's level decision on, so that the estimation states matter.
TEST_F(IntraFull, FirstPredictionUnitTakenFromTheSplitTrialCostsAsCodedAgain) {
  open(128, 128);
  fill_picture(textured(21));
  struct outcome_t {
    std::vector<decision_t> decisions;
    std::vector<cabac_est_t> states;
    std::vector<uint8_t> rec;
    ctu_unit_maps_t maps;
    int32_t taken;
  };
  for (const int32_t qp : {22, 34})
    for (const int32_t col : {0, 1}) {
      SCOPED_TRACE(testing::Message() << "qp " << qp << ", CTU column " << col);
      outcome_t o[2];
      for (int32_t forget = 0; forget < 2; forget++) {
        setup_ctu(col, 1, 7, qp);
        ctx->param.rdoq = 1;
        ctx->cu_min_depth = 2;
        forget_first_quarters = forget != 0;
        taken_first_quarters = 0;
        states_at_searches.clear();
        run_ctu();
        o[forget] = {decisions, states_at_searches, std::vector<uint8_t>(ctx->ctu_rec, ctx->ctu_rec + RECON_STRIDE * 64),
                     ctx->maps->unit, taken_first_quarters};
      }
      EXPECT_GT(o[0].taken, 0) << "no unit took its quarter";
      EXPECT_EQ(o[1].taken, 0);
      expect_same_decisions(o[0].decisions, o[1].decisions);
      ASSERT_EQ(o[0].states.size(), o[1].states.size());
      for (size_t i = 0; i < o[0].states.size(); i++)
        ASSERT_EQ(std::memcmp(&o[0].states[i], &o[1].states[i], sizeof(cabac_est_t)), 0)
            << "estimation states at search " << i << " (unit " << searches[i].z << ", size "
            << (1 << searches[i].log2_size) << ")";
      EXPECT_TRUE(o[0].rec == o[1].rec) << "reconstruction";
      EXPECT_EQ(std::memcmp(&o[0].maps, &o[1].maps, sizeof(ctu_unit_maps_t)), 0) << "unit maps";
    }
}

// A 4x4 unit's mode whose prediction repeats an earlier mode's (and scans
// alike) is costed from that mode's trial instead of searched: the
// decisions, every cost they compare, and the reconstruction, levels and
// flags left in place are those of searching every mode.  On flat areas,
// gentle slopes and flat blocks with a dot, where many modes predict alike,
// with the residual coder's level decision on so that the estimation states
// matter.
TEST_F(IntraFull, RepeatedUnitPredictionsDecideAsSearchingEveryMode) {
  open(128, 128);
  const source_fn rough = textured(33);
  fill_picture([&](int32_t p, int32_t x, int32_t y) {
    switch (hash(static_cast<uint32_t>((x >> 3) * 31 + (y >> 3) * 17 + p)) % 6) {
      case 0: return static_cast<uint8_t>(90 + p * 20);
      case 1: return static_cast<uint8_t>(80 + x / 5 + y / 7);
      case 2: return static_cast<uint8_t>(150 - x / 9 + (y / 3) % 3);
      // A dot inside each 4x4 block, none on the rows and columns its
      // neighbours predict from: a residual under many equal predictions.
      case 3: return static_cast<uint8_t>((x & 3) == 1 && (y & 3) == 2 ? 160 : 100);
      // A column inside each 4x4 block: the modes that read only the
      // (flat) left neighbours predict alike, in two scans.
      case 4: return static_cast<uint8_t>((x & 3) == 1 ? 150 : 100);
      default: return rough(p, x, y);
    }
  });
  struct outcome_t {
    std::vector<decision_t> decisions;
    std::vector<uint8_t> rec;
    ctu_unit_maps_t maps;
    size_t searches;
  };
  for (const int32_t qp : {22, 30, 37})
    for (const int32_t col : {0, 1}) {
      SCOPED_TRACE(testing::Message() << "qp " << qp << ", CTU column " << col);
      outcome_t o[2];
      for (int32_t every = 0; every < 2; every++) {
        setup_ctu(col, 1, 7, qp);
        ctx->param.rdoq = 1;
        ctx->cu_min_depth = 2;
        probe.every_trial = every != 0;
        run_ctu();
        o[every] = {decisions, std::vector<uint8_t>(ctx->ctu_rec, ctx->ctu_rec + RECON_STRIDE * 64), ctx->maps->unit,
                    searches.size()};
      }
      EXPECT_LT(o[0].searches, o[1].searches) << "no repeated prediction was left unsearched";
      expect_same_decisions(o[0].decisions, o[1].decisions);
      EXPECT_TRUE(o[0].rec == o[1].rec) << "reconstruction";
      for (int32_t z = 0; z < 256; z++) {
        EXPECT_EQ(o[0].maps.luma_mode[z], o[1].maps.luma_mode[z]) << "luma mode of unit " << z;
        EXPECT_EQ(o[0].maps.cbf[z], o[1].maps.cbf[z]) << "cbf of unit " << z;
      }
      EXPECT_EQ(std::memcmp(&o[0].maps, &o[1].maps, sizeof(ctu_unit_maps_t)), 0) << "unit maps";
    }
}

TEST_F(IntraFull, Level6ShortlistsByRoughCostAndAddsTheFirstTwoMpms) {
  open(64, 64);
  fill_picture(textured(5));
  setup_ctu(0, 0, 6, 32);
  ctx->cu_min_depth = 3;
  run_ctu();
  for (int32_t z = 0; z < 256; z += 4) {
    std::vector<int32_t> modes;
    for (const auto &c : searches)
      if (c.z == z && c.log2_size == 3 && c.mask == 1 && c.final == 0) modes.push_back(c.luma_mode);
    SCOPED_TRACE(testing::Message() << "8x8 CU at unit " << z);
    ASSERT_GE(modes.size(), 8u);
    EXPECT_LE(modes.size(), 10u);
    // The neighbours the MPMs come from were final when the CU was searched.
    int32_t mpm[3];
    intra_mpms(ctx, z, mpm);
    for (int32_t k = 0; k < 2; k++) EXPECT_NE(std::find(modes.begin(), modes.end(), mpm[k]), modes.end()) << "MPM" << k;
    for (size_t i = 8; i < modes.size(); i++) EXPECT_TRUE(modes[i] == mpm[0] || modes[i] == mpm[1]) << modes[i];
    // The shortlist is in rough-cost order, and every mode outside it is no
    // cheaper than its last rough entry.
    const cu_node_t &n = ctx->nodes[node_index(z, 3)];
    for (size_t i = 1; i < 8; i++) EXPECT_LE(n.mode_costs[modes[i - 1]], n.mode_costs[modes[i]]);
    for (int32_t m = 0; m < 35; m++)
      if (std::find(modes.begin(), modes.begin() + 8, m) == modes.begin() + 8) {
        EXPECT_GE(n.mode_costs[m], n.mode_costs[modes[7]]) << "mode " << m;
      }
  }
}

// ----------------------------------------------------- 2Nx2N alternative

TEST_F(IntraFull, FourEqualPuModesBecomeA2Nx2NCuWithSplitTransformWhenCheaper) {
  // Content where many 8x8 CUs meet the case, at several QPs.
  int32_t taken = 0;
  open(64, 64);
  for (uint32_t seed = 1; seed <= 6 && taken == 0; seed++)
    for (int32_t qp : {22, 37}) {
      fill_picture(textured(seed * 17));
      setup_ctu(0, 0, 6, qp);
      ctx->cu_min_depth = 3;
      run_ctu();
      for (const auto &d : decisions) {
        if (d.log2_size != 3) continue;
        const cu_node_t &n = ctx->nodes[node_index(d.z, 3)];
        const cu_node_t *pu = ctx->nodes + node_index(d.z, 2);
        const bool common = pu[0].luma_dir == pu[1].luma_dir && pu[0].luma_dir == pu[2].luma_dir &&
                            pu[0].luma_dir == pu[3].luma_dir;
        SCOPED_TRACE(testing::Message() << "seed " << seed << " QP " << qp << " CU at unit " << d.z);
        if (d.kind == INTRA_FULL_SPLIT_NXN) {
          // Only when the PUs disagree, or agree with the 2Nx2N mode.
          if (common) {
            EXPECT_EQ(n.luma_dir, pu[0].luma_dir);
          }
          continue;
        }
        ASSERT_EQ(d.kind, INTRA_FULL_SPLIT_COMMON_2NX2N);
        ASSERT_TRUE(common);
        if (d.split < d.unsplit) {
          taken++;
          EXPECT_EQ(n.split, 0);
          EXPECT_EQ(n.part_mode, 0u);
          EXPECT_EQ(n.tu_split, 1);
          EXPECT_EQ(n.luma_dir, pu[0].luma_dir);
          EXPECT_EQ(n.chroma_dir, pu[3].chroma_dir);
          EXPECT_EQ(n.intra_cost, d.split);
          for (int32_t k = 0; k < 4; k++) {
            EXPECT_EQ(ctx->maps->unit.part_nxn[d.z + k], 0);
            EXPECT_EQ(ctx->maps->unit.tu_log2[d.z + k], 2);
            EXPECT_EQ(ctx->maps->unit.luma_mode[d.z + k], pu[0].luma_dir);
          }
        } else {
          EXPECT_NE(n.luma_dir, pu[0].luma_dir) << "the unsplit CU keeps its own mode";
          EXPECT_EQ(n.intra_cost, d.unsplit);
        }
      }
      expect_in_place_coding_matches_decision();
    }
  EXPECT_GT(taken, 0) << "no content met the case";
}

// ---------------------------------------------------------- split cut-off

// A CU's split into four CUs only has to cost less than the unsplit CU:
// its CUs are searched in order until the ones searched cost that much.
// Every split that won searched all four; every split that lost searched
// the shortest run of them whose costs reach the unsplit CU's (or all four).
TEST_F(IntraFull, SplitStopsOnceItsCusCostAsMuchAsTheUnsplitCu) {
  open(128, 128);
  int32_t cut = 0, won = 0;
  for (const int32_t qp : {22, 32, 42})
    for (const int32_t level : {6, 7}) {
      fill_picture(textured(static_cast<uint32_t>(qp * 3 + level)));
      setup_ctu(1, 1, level, qp);
      run_ctu();
      SCOPED_TRACE(testing::Message() << "level " << level << " QP " << qp);
      // What each CU decided costs: the cheaper alternative (a split one
      // when forced).
      auto cost_of = [&](int32_t z, int32_t log2_size, bool *found) {
        for (const auto &d : decisions)
          if (d.z == z && d.log2_size == log2_size) {
            *found = true;
            return d.split < d.unsplit ? d.split : d.unsplit;
          }
        *found = false;
        return 0u;
      };
      for (const auto &d : decisions) {
        if (d.kind != INTRA_FULL_SPLIT_CHILDREN || d.log2_size < 4 || d.unsplit == COST_NONE) continue;
        SCOPED_TRACE(testing::Message() << "CU " << (1 << d.log2_size) << " at unit " << d.z);
        uint64_t so_far = 0;
        int32_t searched = 0;
        for (int32_t k = 0; k < 4; k++) {
          bool found = false;
          const uint32_t c = cost_of(d.z + k * child_step(d.log2_size), d.log2_size - 1, &found);
          if (!found) break;
          ASSERT_LT(so_far, d.unsplit) << "CU " << k << " searched after the split had lost";
          so_far += c;
          searched++;
        }
        if (d.split < d.unsplit) {
          EXPECT_EQ(searched, 4);
          won++;
        } else if (searched < 4) {
          EXPECT_GE(so_far, d.unsplit) << "the split stopped before it had lost";
          cut++;
        }
      }
    }
  EXPECT_GT(cut, 3);
  EXPECT_GT(won, 3);
}

// ------------------------------------------------------------------ ties

// With both lambdas zero every cost of a flat block without neighbours is
// 0: whatever wins is what the tie rules keep.
class IntraFullTies : public IntraFull, public ::testing::WithParamInterface<int32_t> {};

TEST_P(IntraFullTies, EqualCostsKeepUnsplitEarlierLumaModeAndListedChroma) {
  const int32_t level = GetParam();
  open(64, 64);
  fill_picture(flat(128));
  for (int32_t min_depth : {1, 3}) {
    setup_ctu(0, 0, level, 30);
    ctx->cu_min_depth = min_depth;
    ctx->ctu_lambda_ssd = 0;
    ctx->ctu_lambda_sad = 0;
    run_ctu();
    SCOPED_TRACE(testing::Message() << "level " << level << ", minimum depth " << min_depth);
    int32_t ties = 0;
    for (const auto &d : decisions)
      if (d.unsplit != COST_NONE) {
        EXPECT_EQ(d.unsplit, 0u);
        EXPECT_EQ(d.split, 0u);
        ties++;
      }
    EXPECT_GT(ties, 0);
    const int32_t cu_log2 = min_depth == 3 ? 3 : 5;
    for (int32_t z = 0; z < 256; z++) {
      ASSERT_EQ(ctx->maps->unit.cu_log2[z], cu_log2) << "unit " << z;
      ASSERT_EQ(ctx->maps->unit.part_nxn[z], 0) << "unit " << z;
      ASSERT_EQ(ctx->maps->unit.luma_mode[z], 0) << "unit " << z;
      ASSERT_EQ(ctx->maps->unit.chroma_syntax[z], 0) << "unit " << z;
      ASSERT_EQ(ctx->maps->unit.tu_log2[z], cu_log2) << "unit " << z;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, IntraFullTies, ::testing::Values(5, 6, 7));

// ---------------------------------------------------- split trial choice

TEST_F(IntraFull, PredictionUnitsOnlyAtThoroughPresetsAndWhenAllowed) {
  open(64, 64);
  fill_picture(textured(3));
  struct {
    int32_t complexity, intra_nxn, min_depth;
    bool expect_pus, expect_all_nxn;
  } cases[] = {{6, 1, 3, true, false}, {6, 0, 3, false, false}, {3, 1, 3, false, false}, {6, 1, 4, true, true}};
  for (const auto &c : cases) {
    setup_ctu(0, 0, 6, 30);
    ctx->param.complexity = c.complexity;
    ctx->param.intra_nxn = c.intra_nxn;
    ctx->cu_min_depth = c.min_depth;
    run_ctu();
    SCOPED_TRACE(testing::Message() << "complexity " << c.complexity << ", intra_nxn " << c.intra_nxn
                                    << ", minimum depth " << c.min_depth);
    int32_t pu_searches = 0, nxn = 0;
    for (const auto &s : searches) pu_searches += s.mask == 33;
    for (int32_t z = 0; z < 256; z++) nxn += ctx->maps->unit.part_nxn[z];
    EXPECT_EQ(pu_searches > 0, c.expect_pus);
    if (!c.expect_pus) {
      EXPECT_EQ(nxn, 0);
    }
    if (c.expect_all_nxn) {
      // A depth limit below 8x8 leaves nothing but 4x4 prediction units.
      EXPECT_EQ(nxn, 256);
      for (int32_t z = 0; z < 256; z += 4) EXPECT_EQ(ctx->maps->part_mode[node_index(z, 3)], 3u) << "unit " << z;
    }
    expect_in_place_coding_matches_decision();
  }
}

TEST_F(IntraFull, Level5SplitsA16x16OnlyWhenItsTextureAsks) {
  open(64, 64);
  for (int32_t level : {5, 6}) {
    fill_picture(flat(90));
    setup_ctu(0, 0, level, 30);
    run_ctu();
    const int32_t small = count_searches(searches, 0, 3, 1, 0) + count_searches(searches, 0, 2, 33, 0);
    if (level == 5)
      EXPECT_EQ(small, 0) << "a flat 16x16 CU was split at level 5";
    else
      EXPECT_GT(small, 0) << "level 6 tries every split";
  }
  // A sharp edge through the block asks for the split even at level 5.
  fill_picture([](int32_t, int32_t x, int32_t y) { return static_cast<uint8_t>(x + y < 20 ? 30 : 220); });
  setup_ctu(0, 0, 5, 30);
  run_ctu();
  EXPECT_GT(count_searches(searches, 0, 3, 1, 0), 0);
}

// --------------------------------------- whole CTUs, extreme quantisers

class IntraFullCtu : public IntraFull, public ::testing::WithParamInterface<std::tuple<int32_t, int32_t>> {};

TEST_P(IntraFullCtu, LeavesTheCodingOfTheCommittedTreeInPlace) {
  const auto [level, qp] = GetParam();
  open(128, 128);
  fill_picture(textured(static_cast<uint32_t>(level * 100 + qp)));
  setup_ctu(1, 1, level, qp);
  ctx->param.rdoq = 0;
  run_ctu();
  SCOPED_TRACE(testing::Message() << "level " << level << " QP " << qp);
  const cu_node_t &root = ctx->nodes[0];
  EXPECT_EQ(root.split, 1) << "the 64x64 CU of an I slice always splits";
  EXPECT_LT(root.intra_cost, COST_NONE);
  EXPECT_EQ(ctx->intra_refs_refresh, 1);
  // The live states are the driver's again.
  EXPECT_EQ(std::memcmp(&ctx->cabac.est, &ctx->cabac_est_save[0], sizeof(cabac_est_t)), 0);
  expect_in_place_coding_matches_decision();
}

INSTANTIATE_TEST_SUITE_P(LevelsAndQps, IntraFullCtu,
                         ::testing::Combine(::testing::Values(5, 6, 7), ::testing::Values(0, 30, 51)));

}  // namespace
