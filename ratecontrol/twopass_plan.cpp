// The second pass's plan: a qscale for every picture of the first pass's
// statistics, found before the first picture is coded, so that the whole
// sequence meets the target bitrate and, with VBV, keeps the buffer between
// empty and full.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <vector>

#include "encoder/encoder.h"
#include "ratecontrol/ratecontrol.h"
#include "ratecontrol/twopass.h"

// How this encoder's pictures grow as the qscale falls, fitted to 4400
// pictures of second passes coded up to 10 QPs below and above their first
// pass (foreman, flower at 10 pictures a second, a clip with cuts, 40
// pictures with a cut; levels 1 and 4; with and without B pictures): an
// intra picture's texture grows as 1/q and its other bits as 1/q^0.5; a P
// picture's texture as 1/q^1.5 and its other bits (motion, modes, splits)
// as 1/q among B pictures, its texture as 1/q^2 where there are none (each
// P picture then predicts from the one before it, coded as fine); a B
// picture's texture as 1/q^2 and its other bits as 1/q^1.25 (coded finer,
// it codes motion and modes where its first pass skipped).  Per clip and
// class, the mean size in 4-QP bands from 6 below to 6 above is within 15%
// of what the pictures took, but for B pictures coded 2-6 QPs finer
// (foreman 1.27, flower 1.5 times the size); the earlier model (texture as
// 1/q^1.1, 1/q^1.5 and 1/q^2, motion bits as 1/sqrt(q), the rest fixed)
// sized those at 0.46-0.75 of what they took and P pictures without B
// pictures at 0.65-0.75, and a second pass of foreman at three times its
// first pass's rate landed 11-13% above its target.
namespace {

struct growth_t {
  double texture, rest;
};

growth_t growth(const ratecontrol_entry_t &e) {
  if (e.slice_type == RC_CLASS_I) return {1.0, 0.5};
  if (e.slice_type == RC_CLASS_P) return e.among_b ? growth_t{1.5, 1.0} : growth_t{2.0, 1.0};
  return {2.0, 1.25};
}

}  // namespace

double twopass_entry_bits(const ratecontrol_entry_t &e, double q) {
  // A predicted picture of speed mode 3 skips every CU that has a merge
  // candidate, whatever its QP, and a zero-latency second pass codes it in
  // that mode again: its bits do not follow the qscale (planned as if they
  // did, the pictures of a first pass that fell behind were planned at low
  // QPs they could not spend, and the second pass landed 19% low).
  if (e.speed_mode == 3 && e.slice_type != RC_CLASS_I) return static_cast<double>(e.tex_bits) + e.mv_bits + e.misc_bits;
  const growth_t g = growth(e);
  const double qq = std::max(q, 0.1);
  return (e.tex_bits + 0.1) * std::pow(e.qscale / qq, g.texture) +
         (static_cast<double>(e.mv_bits) + e.misc_bits) * std::pow(std::max(e.qscale, 1.0) / std::max(qq, 1.0), g.rest);
}

namespace {

// The bits of the texture and motion at qscale 1, which the plan's
// complexity blurs: the entry's size there without its other bits.
double entry_complexity(const ratecontrol_entry_t &e) {
  ratecontrol_entry_t without_misc = e;
  without_misc.misc_bits = 0;
  return twopass_entry_bits(without_misc, 1.0);
}

struct planner_t {
  encoder_t *enc;
  ratecontrol_t *rc;
  const param_t &p;
  ratecontrol_entry_t *entries;
  int32_t count;
  int64_t all_bits;
  // Per entry, the index of the B level whose pb_factor it takes.
  std::vector<int8_t> b_index;

  // The entries carry no B level; their coding order shows it.  A group is
  // coded anchor first, then its middle reference B picture (level 1), then
  // the quarter references (level 2) among the plain B pictures, which take
  // the whole ratio (the deepest level).
  void find_b_levels() {
    b_index.assign(count, 0);
    int32_t brefs = 0;
    for (int32_t i = 0; i < count; i++) {
      const ratecontrol_entry_t &e = entries[i];
      if (e.slice_type != RC_CLASS_B) {
        brefs = 0;
      } else if (e.frame_type == TARNHEVCENC_TYPE_BREF) {
        b_index[i] = static_cast<int8_t>(brefs++ == 0 ? 0 : 1);
      } else {
        b_index[i] = 2;
      }
    }
  }

  // qscale of an entry's complexity at a rate factor.
  double entry_qscale(const ratecontrol_entry_t &e, double rate_factor) {
    double c = e.blurred_complexity;
    if (p.cutree) c = 0.04 / std::min(static_cast<double>(p.fps_den) / p.fps_num, 1.0);
    c = std::pow(c, 1.0 - static_cast<double>(p.qcompress));
    // (Each count may reach 2^31 - 1: their sum would not fit.)
    if (!std::isfinite(c) || (e.tex_bits == 0 && e.mv_bits == 0)) return rc->last_qscale_for[e.slice_type];
    rc->last_cplx = c;
    rc->last_qscale = c / rate_factor;
    return rc->last_qscale;
  }

  double intra_share(const ratecontrol_entry_t &e) const {
    const float r = static_cast<float>(e.intra_count) / static_cast<float>(std::max(rc->unit_count, 1));
    return 1.0 - static_cast<double>(r * r);
  }

  // Temporal blur: each picture's complexity becomes a Gaussian-weighted
  // mean with its neighbours, cut where intra pictures break the chain.
  void blur() {
    std::vector<double> c(count);
    for (int32_t i = 0; i < count; i++) c[i] = entry_complexity(entries[i]);
    for (int32_t i = 0; i < count; i++) {
      double sum_c = 0.0, sum_g = 0.0, weight = 1.0;
      for (int32_t j = 1; j < 40 && i + j < count; j++) {
        weight *= intra_share(entries[i + j]);
        if (weight < 0.0001) break;
        const double g = weight * std::exp(-j * j / 200.0);
        sum_g += g;
        sum_c += g * c[i + j];
      }
      weight = 1.0;
      for (int32_t j = 0; j <= 40 && j <= i; j++) {
        const double g = weight * std::exp(-j * j / 200.0);
        sum_g += g;
        sum_c += g * c[i - j];
        weight *= intra_share(entries[i - j]);
        if (weight < 0.0001) break;
      }
      entries[i].blurred_complexity = static_cast<float>(sum_c / sum_g);
    }
  }

  double step_limit(double q, int32_t type) {
    q = std::clamp(q, rc->last_qscale_for[type] / rc->lstep, rc->last_qscale_for[type] * rc->lstep);
    rc->last_qscale_for[type] = q;
    return q;
  }

  // I pictures follow the recent P pictures' QP, B pictures the previous
  // anchor's, and P pictures move by at most one step per picture.
  double diff_limited(const ratecontrol_entry_t &e, double q) {
    const double ipf = std::fabs(p.ip_factor);
    if (e.slice_type == RC_CLASS_I) {
      if (rc->accum_norm > 0.0) {
        const double pq = rc_qp2qscale(rc->accum_qp / rc->accum_norm);
        if (p.ip_factor < 0)
          q = q / ipf;
        else if (rc->accum_norm >= 1.0)
          q = pq / ipf;
        else
          q = rc->accum_norm * pq / ipf + (1.0 - rc->accum_norm) * q;
      }
      if (rc->last_non_b_type == RC_CLASS_I && rc->last_accum_norm < 1.0) q = step_limit(q, RC_CLASS_I);
      rc->last_qscale_for[RC_CLASS_I] = q;
      rc->last_non_b_type = RC_CLASS_I;
      rc->last_accum_norm = rc->accum_norm;
      rc->accum_norm = 0.0;
      rc->accum_qp = 0.0;
    } else if (e.slice_type == RC_CLASS_B) {
      const double f = p.pb_factor[b_index[&e - entries]];
      const int32_t anchor = rc->last_non_b_type >= 0 ? rc->last_non_b_type : RC_CLASS_P;
      q = (f > 0 ? rc->last_qscale_for[anchor] : q) * std::fabs(f);
      rc->last_qscale_for[RC_CLASS_B] = q;
    } else {
      if (rc->last_non_b_type == RC_CLASS_P) {
        if (e.tex_bits == 0) q = rc->last_qscale_for[RC_CLASS_P];
        q = step_limit(q, RC_CLASS_P);
      } else {
        rc->last_qscale_for[RC_CLASS_P] = q;
      }
      rc->last_non_b_type = RC_CLASS_P;
      const double m = intra_share(e);
      rc->accum_qp = m * (rc_qscale2qp(q) + rc->accum_qp);
      rc->accum_norm = m * (rc->accum_norm + 1.0);
    }
    return q;
  }

  // The qscale limits as a smooth squash: a plan never sits hard on them.
  double clip(double q, int32_t type) const {
    const double lmin = rc->lmin[type], lmax = rc->lmax[type];
    if (lmin >= lmax) return lmax;
    const double a = std::log(lmin), b = std::log(lmax);
    return std::exp(a + (b - a) / (1.0 + std::exp(-4.0 * ((std::log(q) - a) / (b - a) - 0.5))));
  }

  double total_bits() const {
    double sum = 0.0;
    for (int32_t i = 0; i < count; i++) sum += twopass_entry_bits(entries[i], entries[i].new_qscale);
    return sum;
  }

  // The bits of every picture at one rate factor, after the type relations,
  // the step limits and a light smoothing between pictures of one type.
  double plan_at(double rate_factor, std::vector<double> &q, std::vector<double> &blurred) {
    rc->last_non_b_type = -1;
    rc->accum_norm = 0.0;
    rc->last_accum_norm = 1.0;
    for (int32_t i = 0; i < count; i++) {
      q[i] = entry_qscale(entries[i], rate_factor);
      rc->last_qscale_for[entries[i].slice_type] = q[i];
    }
    for (int32_t i = count - 1; i >= 0; i--) q[i] = diff_limited(entries[i], q[i]);
    for (int32_t i = 0; i < count; i++) {
      double sum = 0.0, norm = 0.0;
      for (int32_t j = -1; j <= 1; j++) {
        const int32_t k = i + j;
        if (k < 0 || k >= count || entries[k].slice_type != entries[i].slice_type) continue;
        const double g = std::exp(-4.0 * j * j);
        sum += q[k] * g;
        norm += g;
      }
      blurred[i] = sum / norm;
    }
    double expected = 0.0;
    for (int32_t i = 0; i < count; i++) {
      entries[i].new_qscale = clip(blurred[i], entries[i].slice_type);
      expected += twopass_entry_bits(entries[i], entries[i].new_qscale);
    }
    return expected;
  }

  // VBV: the buffer is followed picture by picture; a span from a fill
  // below 10% back up to 90% is scaled (underflow: cheaper, overflow:
  // dearer) until the buffer holds.
  bool find_span(std::vector<double> &fills, int32_t *t0, int32_t *t1, bool underflow) const {
    double fill = fills[*t0];  // fills[i + 1] is the fill after entry i
    const double size = rc->vbv_size, rate = rc->vbv_rate, s = underflow ? 1.0 : -1.0;
    int32_t start = -1, end = -1;
    for (int32_t i = *t0; i < count; i++) {
      fill += s * (rate - twopass_entry_bits(entries[i], entries[i].new_qscale));
      fill = std::clamp(fill, 0.0, size);
      fills[i + 1] = fill;
      if (fill < 0.1 * size || i == 0) {
        if (end >= 0) break;
        start = i;
      } else if (fill >= 0.9 * size && start >= 0) {
        end = i;
      }
    }
    *t0 = start;
    *t1 = end;
    return start >= 0 && end >= 0;
  }

  bool scale_span(double factor, int32_t t0, int32_t t1) {
    const double qmin = rc_qp2qscale(p.qp_min), qmax = rc_qp2qscale(p.qp_max);
    bool changed = false;
    for (int32_t i = t0 >= 1 ? t0 + 1 : t0; i <= t1; i++) {
      const double q0 = std::clamp(entries[i].new_qscale, qmin, qmax);
      entries[i].new_qscale = std::clamp(q0 * factor, qmin, qmax);
      changed |= entries[i].new_qscale != q0;
    }
    return changed;
  }

  void vbv_adjust() {
    std::vector<double> fills(count + 1);
    double expected = 0.0, prev;
    bool overflow_fixed = true;
    do {
      prev = expected;
      if (expected != 0.0) {
        const double adj = std::clamp(expected / static_cast<double>(all_bits), 0.9, 0.999);
        fills[0] = rc->vbv_size * static_cast<double>(p.vbv_init);
        int32_t t0 = 0, t1;
        while (find_span(fills, &t0, &t1, true)) {
          if (!scale_span(adj, t0, t1)) break;
          t0 = t1;
        }
      }
      fills[0] = rc->vbv_size * (1.0 - static_cast<double>(p.vbv_init));
      int32_t t0 = 0, t1;
      overflow_fixed = true;
      while (find_span(fills, &t0, &t1, false)) {
        // The next search starts where this span started.
        if (!scale_span(1.001, t0, t1)) {
          overflow_fixed = false;
          break;
        }
      }
      expected = total_bits();
    } while (expected < 0.995 * static_cast<double>(all_bits) &&
             static_cast<int64_t>(expected + 0.5) > static_cast<int64_t>(prev + 0.5));
    if (!overflow_fixed) std::fprintf(stderr, "vbv-maxrate issue, qpmax or vbv-maxrate too low\n");
    for (int32_t i = 0; i < count; i++) entries[i].expected_vbv = rc->vbv_size - fills[i + 1];
  }
};

}  // namespace

int32_t twopass_plan(encoder_t *enc) {
  ratecontrol_t *rc = enc->rc;
  if (enc->param.rcmode == TARNHEVCENC_RC_CQP) return 0;
  planner_t pl{enc, rc, enc->param, rc->entries, rc->entry_count, 0, {}};
  // The target of the whole sequence in 64 bits: long or fast sequences
  // pass 2^31 bits.
  double seconds = 0.0;
  int64_t misc = 0;
  for (int32_t i = 0; i < pl.count; i++) {
    seconds += pl.entries[i].duration;
    misc += pl.entries[i].misc_bits;
  }
  pl.all_bits = static_cast<int64_t>(seconds * rc->bitrate + 0.5);
  if (misc > pl.all_bits) {
    std::fprintf(stderr, "target bitrate is too low\n");
    // The file is sound: the target, not the text, is refused.
    errno = ERANGE;
    return -1;
  }
  bool among_b = false;
  for (int32_t i = 0; i < pl.count; i++) among_b |= pl.entries[i].slice_type == RC_CLASS_B;
  for (int32_t i = 0; i < pl.count; i++) pl.entries[i].among_b = among_b;
  pl.find_b_levels();
  pl.blur();
  double expected = 1.0;
  for (int32_t i = 0; i < pl.count; i++) {
    const double q = pl.entry_qscale(pl.entries[i], 1.0);
    rc->last_qscale_for[pl.entries[i].slice_type] = q;
    expected += twopass_entry_bits(pl.entries[i], q);
  }
  const double step_mult = static_cast<double>(pl.all_bits) / expected;
  std::vector<double> q(pl.count), blurred(pl.count);
  // Bisection on the rate factor: the largest one whose plan stays within
  // the target.
  double rate_factor = 0.0;
  for (double step = 10000.0 * step_mult; step > 1e-7 * step_mult; step *= 0.5) {
    rate_factor += step;
    if (pl.plan_at(rate_factor, q, blurred) > static_cast<double>(pl.all_bits)) rate_factor -= step;
  }
  // The entries hold the plan of the last trial; make them the chosen one.
  pl.plan_at(rate_factor, q, blurred);
  if (rc->vbv) pl.vbv_adjust();
  double sum = 0.0;
  for (int32_t i = 0; i < pl.count; i++) {
    pl.entries[i].expected_bits = static_cast<uint64_t>(sum);
    sum += twopass_entry_bits(pl.entries[i], pl.entries[i].new_qscale);
  }
  return 0;
}
