// Constant bitrate: the CTU model's rate factors (the first CTUs, the 5%
// limit against the reference neighbour, regions without bits or far from
// their share, one-CTU pictures) and the window's targets (bounds, the pull
// of the level, class weights that follow what the classes took, an input
// that ends within the window).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <random>
#include <vector>

#include "ratecontrol/cbr.h"

namespace {

struct model_deleter {
  void operator()(cbr_ctu_model_t *m) const { cbr_ctu_model_free(m); }
};
using model_ptr = std::unique_ptr<cbr_ctu_model_t, model_deleter>;
struct window_deleter {
  void operator()(cbr_window_t *w) const { cbr_window_free(w); }
};
using window_ptr = std::unique_ptr<cbr_window_t, window_deleter>;

// Codes a cols x rows picture in wavefront order (row by row is one valid
// order: every CTU's left and above-right neighbours are done before it),
// with energies and bits from the generator; returns the factors.
template <class Bits>
std::vector<double> code_picture(cbr_ctu_model_t *m, const int32_t triple[3], uint32_t seed, Bits bits_of) {
  const int32_t n = m->cols * m->rows;
  std::mt19937 rng(seed);
  int64_t total = 0;
  for (int32_t i = 0; i < n; i++) total += m->energy[i] = 100 + rng() % 5000;
  cbr_ctu_model_init(m, triple, total + 1, 0);
  std::vector<double> factor(n);
  for (int32_t y = 0; y < m->rows; y++)
    for (int32_t x = 0; x < m->cols; x++) {
      int32_t mark = 0;
      cbr_ctu_qp(m, x, y, &mark, &factor[y * m->cols + x]);
      cbr_ctu_update(m, x, y, bits_of(x, y, factor[y * m->cols + x], rng));
    }
  return factor;
}

// The neighbour whose factor a CTU's may move 5% from.
int32_t reference_of(int32_t cols, int32_t x, int32_t y) {
  if (y == 0 || x > 0) return y * cols + x - 1;
  return cols == 1 ? (y - 1) * cols : (y - 1) * cols + 1;
}

TEST(CbrCtuModel, FactorsStartAtOneAndMoveAtMostFivePercent) {
  for (const uint32_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    for (const int32_t cols : {1, 2, 7}) {
      model_ptr m(cbr_ctu_model_create(cols, 5, 20000));
      ASSERT_TRUE(m);
      const int32_t triple[3] = {20000, 40000, 5000};
      // Bits far from the costs' shares, either way.
      const std::vector<double> f = code_picture(m.get(), triple, seed, [](int32_t, int32_t, double, std::mt19937 &r) {
        return static_cast<int32_t>(r() % 3 == 0 ? 0 : r() % 4000);
      });
      for (int32_t y = 0; y < 5; y++)
        for (int32_t x = 0; x < cols; x++) {
          const double v = f[y * cols + x];
          ASSERT_TRUE(std::isfinite(v) && v > 0.0) << x << "," << y;
          if (x + 2 * y < 3) {
            EXPECT_EQ(v, 1.0) << x << "," << y;
            continue;
          }
          const double r = f[reference_of(cols, x, y)];
          EXPECT_GE(v, 0.95 * r * (1 - 1e-12)) << x << "," << y << " cols " << cols;
          EXPECT_LE(v, 1.05 * r * (1 + 1e-12)) << x << "," << y << " cols " << cols;
        }
    }
  }
}

// A picture whose CTUs spend nothing is under its budget: the factors rise
// (lower QPs) instead of being held at 0.
TEST(CbrCtuModel, RegionsWithoutBitsRaiseTheFactors) {
  model_ptr m(cbr_ctu_model_create(8, 4, 20000));
  ASSERT_TRUE(m);
  const int32_t triple[3] = {20000, 30000, 10000};
  const std::vector<double> f =
      code_picture(m.get(), triple, 7, [](int32_t, int32_t, double, std::mt19937 &) { return 0; });
  EXPECT_GT(f.back(), 1.5);
  for (size_t i = 1; i < f.size(); i++) EXPECT_GE(f[i], 1.0) << i;
  // And one that spends far beyond its share lowers them.
  const std::vector<double> g =
      code_picture(m.get(), triple, 7, [](int32_t, int32_t, double, std::mt19937 &) { return 20000; });
  EXPECT_LT(g.back(), 0.7);
}

// The bits of CTU (x, y) at `spend` times its cost's share of a plan of
// 20000 bits.
auto share_bits(const cbr_ctu_model_t *m, double spend) {
  return [m, spend](int32_t x, int32_t y, double, std::mt19937 &) {
    return static_cast<int32_t>(spend * 20000.0 * m->energy[y * m->cols + x] / m->total);
  };
}

// However far the window's bounds lie, with a band of 2 a picture whose
// CTUs spend more than twice their cost's share of its plan raises the QPs
// of those after them (factors below 1), less than half lowers them, and
// one within 1.5 times either way is left alone; without a band all of
// them are left alone.
TEST(CbrCtuModel, ARegionFarFromItsShareOfThePlanSteersWhateverTheBounds) {
  const int32_t triple[3] = {20000, 400000, 500};
  for (const double spend : {2.5, 0.4, 1.5, 0.67}) {
    SCOPED_TRACE("spent " + std::to_string(spend) + " times the share");
    model_ptr m(cbr_ctu_model_create(8, 4, 20000));
    ASSERT_TRUE(m);
    const auto bits = share_bits(m.get(), spend);
    m->band = 0.0;
    for (const double v : code_picture(m.get(), triple, 5, bits)) EXPECT_EQ(v, 1.0);
    m->band = 2.0;
    const std::vector<double> f = code_picture(m.get(), triple, 5, bits);
    if (spend > 2.0) {
      EXPECT_LT(f.back(), 0.8);
    } else if (spend < 0.5) {
      EXPECT_GT(f.back(), 1.25);
    } else {
      for (const double v : f) EXPECT_EQ(v, 1.0);
    }
  }
}

// The largest move, in the log domain, of an 8x4 picture's factors from
// their reference neighbours'.
double largest_move(const std::vector<double> &f) {
  double largest = 0.0;
  for (int32_t i = 0; i < 32; i++)
    if (i % 8 + 2 * (i / 8) >= 3) largest = std::max(largest, std::abs(std::log(f[i] / f[reference_of(8, i % 8, i / 8)])));
  return largest;
}

// How each picture steers: an I or P picture the model has learned keeps
// its CTUs at the picture's QP within the window's bounds, a B picture
// steers only far from its share and 5% a CTU, and a picture planned on
// what the model knew before its scene (blind) steers once it strays 5% and
// by up to 15% a CTU (a B picture 12%), on the start values themselves half
// as fast again.
TEST(CbrCtuModel, PicturesPlannedOnTheStartValuesSteerSoonerAndFaster) {
  const int32_t triple[3] = {20000, 400000, 500};
  for (const double spend : {2.5, 0.4, 1.2, 0.83}) {
    SCOPED_TRACE("spent " + std::to_string(spend) + " times the share");
    model_ptr m(cbr_ctu_model_create(8, 4, 20000));
    ASSERT_TRUE(m);
    const auto bits = share_bits(m.get(), spend);
    const bool far = spend > 2.0 || spend < 0.5;
    for (const int32_t c : {CBR_CLASS_IP, CBR_CLASS_BREF, CBR_CLASS_B}) {
      SCOPED_TRACE("class " + std::to_string(c));
      cbr_ctu_model_steer(m.get(), c, CBR_PLAN_LEARNED);
      const std::vector<double> learned = code_picture(m.get(), triple, 5, bits);
      double largest_step = largest_move(learned);
      EXPECT_LE(largest_step, -std::log(0.95) + 1e-9);
      if (c == CBR_CLASS_IP || !far) {
        for (const double v : learned) EXPECT_EQ(v, 1.0);
      } else {
        EXPECT_NE(learned.back(), 1.0);
      }
      cbr_ctu_model_steer(m.get(), c, CBR_PLAN_BLIND);
      const std::vector<double> blind = code_picture(m.get(), triple, 5, bits);
      largest_step = largest_move(blind);
      EXPECT_GT(largest_step, std::log(1.1));
      EXPECT_LE(largest_step, -std::log(0.85) + 1e-9);
      if (spend > 1.0)
        EXPECT_LT(blind.back(), 1.0 / spend + 0.05);
      else
        EXPECT_GT(blind.back(), 1.0 / spend - 0.05);
      // On the start values themselves half as fast again (far from the
      // share, where the step is what limits the factors).
      cbr_ctu_model_steer(m.get(), c, CBR_PLAN_START);
      const std::vector<double> start = code_picture(m.get(), triple, 5, bits);
      const double start_step = largest_move(start);
      if (far) {
        EXPECT_GT(start_step, 1.3 * largest_step);
      }
      EXPECT_LE(start_step, -std::log(1.0 - 1.5 * 0.15) + 1e-9);
    }
  }
}

// Codes a picture whose top two rows of CTUs spend `top` times their
// cost's share of a plan of 20000 bits and the rest `rest` times.
std::vector<double> code_top_and_rest(cbr_ctu_model_t *m, const int32_t triple[3], double top, double rest) {
  const auto high = share_bits(m, top), low = share_bits(m, rest);
  return code_picture(m, triple, 5, [&](int32_t x, int32_t y, double f, std::mt19937 &r) {
    return y < 2 ? high(x, y, f, r) : low(x, y, f, r);
  });
}

// An I or P picture the model has learned, which otherwise keeps its CTUs
// at its QP within the window's bounds, steers finer once a region has
// spent less than a third of its share (where a looped clip turns, a P
// picture takes a third of what its half-resolution cost plans), by up to
// 10% a CTU there (5% where the stream's second is full already), never
// coarser within the bounds, and comes back to the picture's QP once the
// region spends past its share: cheap at its top and dear below, it would
// otherwise go on finer to its end.
TEST(CbrCtuModel, ALearnedPictureFarBelowItsShareStepsFinerAndBackOnceItSpends) {
  const int32_t triple[3] = {20000, 400000, 500};
  model_ptr m(cbr_ctu_model_create(8, 4, 20000));
  ASSERT_TRUE(m);
  cbr_ctu_model_steer(m.get(), CBR_CLASS_IP, CBR_PLAN_LEARNED);
  const std::vector<double> cheap = code_picture(m.get(), triple, 5, share_bits(m.get(), 0.25));
  EXPECT_GT(cheap.back(), 1.6);
  for (const double v : cheap) EXPECT_GE(v, 1.0);
  EXPECT_GT(largest_move(cheap), std::log(1.08));
  EXPECT_LE(largest_move(cheap), std::log(1.1) + 1e-9);
  m->step_under = 0.0;
  const std::vector<double> held = code_picture(m.get(), triple, 5, share_bits(m.get(), 0.25));
  EXPECT_GT(held.back(), 1.25);
  EXPECT_LT(held.back(), cheap.back());
  EXPECT_LE(largest_move(held), -std::log(0.95) + 1e-9);
  cbr_ctu_model_steer(m.get(), CBR_CLASS_IP, CBR_PLAN_LEARNED);
  const std::vector<double> turned = code_top_and_rest(m.get(), triple, 0.1, 4.0);
  EXPECT_GT(*std::max_element(turned.begin(), turned.end()), 1.25);
  EXPECT_EQ(turned.back(), 1.0);
  for (const double v : turned) EXPECT_GE(v, 1.0);
}

// The same picture planned near the window's ceiling steers coarser once a
// region's bits foretell more than the ceiling, and comes back to the
// picture's QP once the region has spent less than its share: dear at its
// top and cheap below, it would otherwise be coded coarser than its plan
// to its end, and what it left went to the B pictures.
TEST(CbrCtuModel, ALearnedPictureNearItsCeilingStepsCoarserAndBackOnceUnderItsShare) {
  const int32_t triple[3] = {20000, 22000, 500};
  model_ptr m(cbr_ctu_model_create(8, 6, 20000));
  ASSERT_TRUE(m);
  cbr_ctu_model_steer(m.get(), CBR_CLASS_IP, CBR_PLAN_LEARNED);
  const std::vector<double> f = code_top_and_rest(m.get(), triple, 1.5, 0.1);
  EXPECT_LT(*std::min_element(f.begin(), f.end()), 0.8);
  EXPECT_EQ(f.back(), 1.0);
  for (const double v : f) EXPECT_LE(v, 1.0);
}

TEST(CbrCtuModel, OneCtuPictureAndEmptyBounds) {
  model_ptr m(cbr_ctu_model_create(1, 1, 0));
  ASSERT_TRUE(m);
  const int32_t zero[3] = {0, 0, 0};
  const std::vector<double> f =
      code_picture(m.get(), zero, 1, [](int32_t, int32_t, double, std::mt19937 &) { return 0; });
  EXPECT_EQ(f[0], 1.0);
  EXPECT_TRUE(std::isfinite(m->ratio_hi) && std::isfinite(m->ratio_lo));
}

TEST(CbrWindow, TargetsKeepTheirBoundsAndFollowTheLevel) {
  // 40000 bits a picture, between 20000 and 60000, a window of 25.
  window_ptr w(cbr_window_create(40000, 60000, 20000, 25, 8, 1, 10));
  ASSERT_TRUE(w);
  int32_t t[3];
  cbr_window_predict(w.get(), CBR_CLASS_IP, t);
  // The first picture: its class weight, but at least the lower rate over
  // the six pictures the window starts with.
  EXPECT_EQ(t[0], 20000 * 6);
  cbr_window_update(w.get(), t[0], CBR_CLASS_IP, 0);
  // Pictures that keep spending half their target leave bits over: the
  // targets rise, by at most 80% of their class's share of the rate (a
  // window of one class shares out the whole rate).
  int32_t last = 0;
  for (int32_t i = 0; i < 40; i++) {
    cbr_window_predict(w.get(), CBR_CLASS_B, t);
    // While the window grows the ceiling is the whole length's, the
    // pictures before the first counted at the average (six pictures'
    // less the first would leave 240000).
    if (i == 0) {
      EXPECT_EQ(t[1], 60000 * 25 - 120000 - 40000 * 23);
    }
    EXPECT_GE(t[0], 10);
    EXPECT_LE(t[0], t[1]);
    cbr_window_update(w.get(), t[0] / 2, CBR_CLASS_B, 0);
    last = t[0];
  }
  EXPECT_GT(w->level, 0);
  EXPECT_GT(last, 40000);
  EXPECT_LE(last, static_cast<int32_t>(40000 * 1.8) + 1);
}

TEST(CbrWindow, ClassWeightsFollowWhatTheClassesTookAndRestartAtAnIntraPicture) {
  window_ptr w(cbr_window_create(40000, 60000, 20000, 16, 8, 1, 10));
  ASSERT_TRUE(w);
  int32_t t[3];
  // P pictures taking 50000 and B pictures 30000: on average the rate, so
  // the level stays at zero and the targets are the classes' shares.
  for (int32_t i = 0; i < 20; i++) {
    const int32_t c = i % 2 ? CBR_CLASS_B : CBR_CLASS_IP;
    cbr_window_predict(w.get(), c, t);
    cbr_window_update(w.get(), c == CBR_CLASS_B ? 30000 : 50000, c, 1);
  }
  ASSERT_EQ(w->level, 0);
  cbr_window_predict(w.get(), CBR_CLASS_IP, t);
  EXPECT_NEAR(w->weights[CBR_CLASS_IP], 1.25, 1e-9);
  EXPECT_NEAR(w->weights[CBR_CLASS_B], 0.75, 1e-9);
  EXPECT_EQ(t[0], 50000);
  cbr_window_update(w.get(), 50000, CBR_CLASS_IP, 1);
  cbr_window_predict(w.get(), CBR_CLASS_B, t);
  cbr_window_update(w.get(), 30000, CBR_CLASS_B, 1);
  ASSERT_EQ(w->level, 0);
  // An intra picture restarts the weights at 1.8 for P and 0.6 for B, which
  // the next P picture's target shows, and the learned weights come back
  // only once the pictures since the reset have returned: two more
  // predictions with one picture in flight.
  cbr_window_reset(w.get());
  cbr_window_predict(w.get(), CBR_CLASS_IP, t);
  EXPECT_EQ(t[0], 72000);
  cbr_window_update(w.get(), 50000, CBR_CLASS_IP, 1);
  cbr_window_predict(w.get(), CBR_CLASS_B, t);
  cbr_window_update(w.get(), 30000, CBR_CLASS_B, 1);
  ASSERT_EQ(w->level, 0);
  cbr_window_predict(w.get(), CBR_CLASS_IP, t);
  EXPECT_EQ(t[0], 50000);
}

// A window of `span` pictures at 40000 bits a picture (20000-60000) whose
// reference B pictures took their share, the last `over` bits more.
window_ptr overspent_window(int32_t span, int32_t group, int32_t over) {
  window_ptr w(cbr_window_create(40000, 60000, 20000, span, group, 1, 10));
  if (!w) return w;
  int32_t t[3];
  for (int32_t i = 0; i < span; i++) {
    cbr_window_predict(w.get(), CBR_CLASS_BREF, t);
    cbr_window_update(w.get(), i == span - 1 ? 40000 + over : 40000, CBR_CLASS_BREF, 1);
  }
  EXPECT_EQ(w->level, -over);
  return w;
}

// An over-spent window lowers the targets of the pictures after it, but the
// pictures in flight count at their targets: however many are started before
// the first returns, together they correct the shortfall at most once.
TEST(CbrWindow, PicturesInFlightDoNotCorrectTheSameShortfallTwice) {
  for (const int32_t in_flight : {4, 12, 30}) {
    window_ptr w = overspent_window(8, 32, 80000);
    ASSERT_TRUE(w);
    int32_t t[3];
    // Reference B pictures' share: the rate (weight 1.0).
    const int32_t share = 40000;
    int64_t corrected = 0;
    int32_t first = 0;
    for (int32_t i = 0; i < in_flight; i++) {
      cbr_window_predict(w.get(), CBR_CLASS_BREF, t);
      if (i == 0) first = t[0];
      corrected += share - t[0];
    }
    SCOPED_TRACE("in flight " + std::to_string(in_flight));
    // The first takes an eighth of the shortfall (the window's length) ...
    EXPECT_EQ(first, share - 80000 / 8);
    // ... and all of them together no more than the whole of it.
    EXPECT_GT(corrected, 0);
    EXPECT_LE(corrected, 80000);
  }
}

// A window that knows the input ends within it pays its level back over
// the pictures that are left, and an intra picture there takes its weight
// of what the input has left rather than of a window that runs on.
TEST(CbrWindow, AnInputThatEndsSoonerPaysBackBeforeItsEnd) {
  for (const int32_t left : {0, 30, 12, 4}) {
    SCOPED_TRACE("pictures left " + std::to_string(left));
    window_ptr w = overspent_window(24, 8, 96000);
    ASSERT_TRUE(w);
    int32_t t[3];
    w->to_come = left;
    cbr_window_predict(w.get(), CBR_CLASS_BREF, t);
    // Over the window's 24 pictures, or the 12 or 4 that are left; the level
    // lies between the near and far bounds, so at most half the share.
    const int32_t over = left > 0 && left < 24 ? left : 24;
    EXPECT_EQ(t[0], 40000 - std::min(96000 / over, 20000));
  }
  window_ptr w(cbr_window_create(40000, 60000, 20000, 30, 8, 1, 10));
  ASSERT_TRUE(w);
  const int32_t intra = 8 * 40000;
  // Unknown end, or a whole window left: as planned.
  EXPECT_EQ(cbr_window_intra_target(w.get(), intra), intra);
  w->to_come = 30;
  EXPECT_EQ(cbr_window_intra_target(w.get(), intra), intra);
  // A lone picture takes the rate; 16 pictures share their 16 pictures'
  // bits at the window's weights: the other 29 pictures of a window share
  // 22 pictures' bits, so the intra picture weighs 8 / (22 / 29).
  w->to_come = 1;
  EXPECT_EQ(cbr_window_intra_target(w.get(), intra), 40000);
  w->to_come = 16;
  const double r = 8.0 / (22.0 / 29.0);
  EXPECT_NEAR(cbr_window_intra_target(w.get(), intra), r * 16 * 40000 / (r + 15), 1.0);
  EXPECT_LT(cbr_window_intra_target(w.get(), intra), intra);
}

// A window of 10 pictures of 40000 bits (20000-60000 a picture), under a
// buffer or not, after ten pictures of class c: the last of `last` bits,
// the others of `rest`.
window_ptr window_of_ten(bool buffered, int32_t c, int32_t rest, int32_t last) {
  window_ptr w(cbr_window_create(40000, 60000, 20000, 10, 8, 1, 10));
  if (!w) return w;
  w->buffered = buffered;
  int32_t t[3];
  for (int32_t i = 0; i < 10; i++) {
    cbr_window_predict(w.get(), c, t);
    cbr_window_update(w.get(), i == 9 ? last : rest, c, 1);
  }
  return w;
}

// A picture that takes the window past its ceiling by itself leaves the
// pictures after it their share at the floor rate as a ceiling, and their
// targets the level's payback, without a buffer; under one the ceiling
// holds them at the fewest bits.  And a window whose pictures took less
// than its floor rate raises the next target to that floor and says so.
TEST(CbrWindow, APictureOverTheWholeCeilingLeavesTheNextTheirFloorShare) {
  for (const bool buffered : {false, true}) {
    SCOPED_TRACE(buffered ? "under a buffer" : "without a buffer");
    // A window whose ceiling is 600000: nine pictures at the rate, then one
    // of 700000.
    window_ptr w = window_of_ten(buffered, CBR_CLASS_BREF, 40000, 700000);
    ASSERT_TRUE(w);
    int32_t t[3];
    cbr_window_predict(w.get(), CBR_CLASS_BREF, t);
    // The level lies past its far bound: 80% of the share paid back.
    EXPECT_EQ(t[0], buffered ? 10 : 40000 - 32000);
    EXPECT_EQ(t[1], buffered ? 160 : 20000);
    EXPECT_FALSE(w->at_floor);
  }
  window_ptr w = window_of_ten(false, CBR_CLASS_BREF, 40000, 40000);
  ASSERT_TRUE(w);
  int32_t t[3];
  // Then pictures of 1000 bits: once the window's own fall short of its
  // floor (200000 over 10) the target rises to what they leave.
  bool raised = false;
  for (int32_t i = 0; i < 10; i++) {
    cbr_window_predict(w.get(), CBR_CLASS_BREF, t);
    if (w->at_floor) {
      raised = true;
      int64_t used = 0;
      for (int32_t k = 0; k < 9; k++) used += k < i ? 1000 : 40000;
      EXPECT_EQ(t[0], 200000 - used) << i;
    }
    cbr_window_update(w.get(), 1000, CBR_CLASS_BREF, 1);
  }
  EXPECT_TRUE(raised);
}

// Without a buffer a periodic key picture may take the window's whole
// ceiling, however much of the sliding window the pictures before it
// took; under a buffer, whose plan bounds it, it keeps the window's own,
// and a short key period caps it at an eighth of the period's bits.
TEST(CbrWindow, AKeyPictureWithoutABufferMayTakeTheWholeCeiling) {
  for (const bool buffered : {false, true}) {
    SCOPED_TRACE(buffered ? "under a buffer" : "without a buffer");
    // Ten pictures at the ceiling leave the next its floor share at most.
    window_ptr w = window_of_ten(buffered, CBR_CLASS_IP, 60000, 60000);
    ASSERT_TRUE(w);
    int32_t t[3];
    cbr_window_predict(w.get(), CBR_CLASS_IP, t);
    EXPECT_LT(t[1], 100000);
    EXPECT_EQ(cbr_window_key_ceiling(w.get(), 250), buffered ? 0 : 600000);
    EXPECT_EQ(cbr_window_key_ceiling(w.get(), 20), buffered ? 0 : 100000);
    EXPECT_EQ(cbr_window_key_ceiling(w.get(), 0), 0);
  }
}

// The second of the stream a picture falls in runs from the first
// picture, per_second pictures at a time, the picture and those in flight
// at their targets: once they take it past the window's ceiling rate the
// second is full, up to its last picture; the next second starts empty.
// Without per_second no second is ever full.
TEST(CbrWindow, TheSecondAPictureFallsInIsFullPastTheCeilingRate) {
  // The pictures (of 25, each coded as soon as it is predicted) whose
  // second is full, where picture 3 takes 480000 and the others 40000:
  // 600000 with the three before it, past the ceiling with picture 4 at
  // its target.
  auto full_ones = [](int32_t per_second) {
    std::vector<int32_t> full;
    window_ptr w(cbr_window_create(40000, 60000, 20000, 10, 8, 1, 10));
    if (!w) return std::vector<int32_t>{-1};
    w->per_second = per_second;
    int32_t t[3];
    for (int32_t i = 0; i < 25; i++) {
      cbr_window_predict(w.get(), CBR_CLASS_BREF, t);
      if (w->second_full) full.push_back(i);
      cbr_window_update(w.get(), i == 3 ? 480000 : 40000, CBR_CLASS_BREF, 1);
    }
    return full;
  };
  EXPECT_EQ(full_ones(10), (std::vector<int32_t>{4, 5, 6, 7, 8, 9}));
  EXPECT_TRUE(full_ones(0).empty());
  // Pictures in flight count at their targets: four of 150000 in flight.
  window_ptr w(cbr_window_create(40000, 60000, 20000, 10, 8, 4, 10));
  ASSERT_TRUE(w);
  w->per_second = 10;
  int32_t t[3];
  for (int32_t i = 0; i < 4; i++) {
    cbr_window_predict(w.get(), CBR_CLASS_BREF, t);
    EXPECT_FALSE(w->second_full);
    cbr_window_store(w.get(), 150000);
  }
  cbr_window_predict(w.get(), CBR_CLASS_BREF, t);
  EXPECT_TRUE(w->second_full);
}

// A class is planned blind until a picture of it coded in the current
// scene has come back: at the start, and again after an intra picture
// nearer the last than the key period (a scene cut), but not after one the
// period placed; a picture coded before the cut that returns after it
// teaches the old scene.
TEST(CbrWindow, AClassIsBlindUntilAPictureOfItsSceneHasComeBack) {
  window_ptr w(cbr_window_create(40000, 60000, 20000, 30, 8, 12, 100));
  ASSERT_TRUE(w);
  cbr_window_intra(w.get(), 0, 0, 250);
  for (const int32_t c : {CBR_CLASS_IP, CBR_CLASS_BREF, CBR_CLASS_B}) EXPECT_TRUE(cbr_window_blind(w.get(), c));
  cbr_window_learned(w.get(), CBR_CLASS_IP, 1);
  cbr_window_learned(w.get(), CBR_CLASS_B, 4);
  EXPECT_FALSE(cbr_window_blind(w.get(), CBR_CLASS_IP));
  EXPECT_TRUE(cbr_window_blind(w.get(), CBR_CLASS_BREF));
  EXPECT_FALSE(cbr_window_blind(w.get(), CBR_CLASS_B));
  EXPECT_EQ(w->learned[CBR_CLASS_IP], 1);
  // The period's intra picture (display 250, coding 250) keeps the scene.
  cbr_window_intra(w.get(), 250, 250, 250);
  EXPECT_FALSE(cbr_window_blind(w.get(), CBR_CLASS_IP));
  EXPECT_FALSE(cbr_window_blind(w.get(), CBR_CLASS_B));
  // A cut 60 pictures later opens a new scene.
  cbr_window_intra(w.get(), 310, 310, 250);
  EXPECT_TRUE(cbr_window_blind(w.get(), CBR_CLASS_IP));
  EXPECT_TRUE(cbr_window_blind(w.get(), CBR_CLASS_B));
  EXPECT_EQ(w->scene_learned[CBR_CLASS_IP], 0);
  cbr_window_learned(w.get(), CBR_CLASS_IP, 305);
  EXPECT_TRUE(cbr_window_blind(w.get(), CBR_CLASS_IP));
  cbr_window_learned(w.get(), CBR_CLASS_IP, 311);
  EXPECT_FALSE(cbr_window_blind(w.get(), CBR_CLASS_IP));
  EXPECT_TRUE(cbr_window_blind(w.get(), CBR_CLASS_B));
  // Of the scene's pictures a class has learned from, the one coded before
  // the cut does not count.
  EXPECT_EQ(w->scene_learned[CBR_CLASS_IP], 1);
  cbr_window_learned(w.get(), CBR_CLASS_IP, 319);
  EXPECT_EQ(w->scene_learned[CBR_CLASS_IP], 2);
  EXPECT_EQ(w->scene_learned[CBR_CLASS_B], 0);
  // Without a key period (only the first picture periodic) every later
  // intra picture is a cut.
  cbr_window_learned(w.get(), CBR_CLASS_B, 315);
  cbr_window_intra(w.get(), 900, 900, 0);
  EXPECT_TRUE(cbr_window_blind(w.get(), CBR_CLASS_B));
}

// The rate-lambda model learns: from any start, a run of pictures whose
// bits follow one alpha, at rates above and below each other, brings alpha
// to it; the first picture of a class fits it at once.
TEST(CbrModel, AlphaLearnsTheBitsThePicturesTook) {
  const double truth = 3.0, beta = -2.0;
  for (const double start : {0.1, 0.035, 40.0}) {
    double alpha = start;
    for (int32_t i = 0; i < 12; i++) {
      const double bpp = i % 2 ? 0.02 : 0.3;
      const double ln_lambda = std::log(truth * std::pow(bpp, beta));
      const double before = std::abs(std::log(alpha / truth));
      alpha = cbr_learn_alpha(alpha, beta, ln_lambda, bpp, false);
      // Every picture moves it closer, never past.
      EXPECT_LT(std::abs(std::log(alpha / truth)), before) << start << " picture " << i;
    }
    EXPECT_NEAR(alpha, truth, 0.05 * truth) << "from " << start;
    EXPECT_NEAR(cbr_learn_alpha(start, beta, std::log(truth * std::pow(0.1, beta)), 0.1, true), truth, 1e-9);
  }
  // A picture that took more bits than the model expected at its lambda
  // raises alpha (the same bits then need a higher lambda), fewer lower it.
  EXPECT_GT(cbr_learn_alpha(1.0, beta, std::log(1.0 * std::pow(0.1, beta)), 0.2, false), 1.0);
  EXPECT_LT(cbr_learn_alpha(1.0, beta, std::log(1.0 * std::pow(0.1, beta)), 0.05, false), 1.0);
}

}  // namespace
