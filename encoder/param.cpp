#include "encoder/param.h"

#include <cpuid.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>

// Presets by complexity level 0 (fastest) .. 7 (best).
const preset_t complexity_presets[8] = {
    // multihex quality step_x step_y fast_intra range subpel early_skip split_level block_cost prefs brefs
    // (references: P pictures gain from each of up to three; B pictures code
    // better with one per list, the nearest before and after, than with
    // both in each list; quarter-sample vectors at every level: the fast
    // search's cheapest level has its own two-point quarter-sample step)
    {0, 0, 4, 4, 1, 16, 2, 2, 0, 0, 1, 1},
    {0, 0, 4, 2, 1, 24, 2, 2, 0, 0, 1, 1},
    {0, 0, 2, 2, 1, 32, 2, 2, 1, 0, 1, 1},
    {1, 3, 2, 2, 0, 48, 2, 1, 1, 1, 2, 1},
    {1, 3, 2, 1, 0, 57, 2, 1, 2, 1, 2, 1},
    {1, 3, 1, 1, 0, 57, 2, 0, 2, 1, 3, 1},
    {1, 5, 1, 1, 0, 92, 2, 0, 3, 1, 3, 1},
    {1, 5, 1, 1, 0, 124, 2, 0, 3, 1, 3, 1},
};

static uint64_t read_xcr0() {
  uint32_t lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (static_cast<uint64_t>(hi) << 32) | lo;
}

uint32_t cpu_detect_flags() {
  unsigned a, b, c, d;
  uint32_t flags = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return 0;
  if (c & bit_SSE4_1) flags |= TARNHEVCENC_CPU_SSE41;
  if (c & bit_SSSE3) flags |= TARNHEVCENC_CPU_SSSE3;
  const bool osxsave = (c & bit_OSXSAVE) != 0;
  const bool avx = (c & bit_AVX) != 0;
  const bool popcnt = (c & bit_POPCNT) != 0;
  // AVX2 is usable only when the OS saves the XMM and YMM state (XCR0 bits 1,
  // 2).  The AVX2 tier's files are built with BMI2 and POPCNT as well, so a
  // processor without either keeps the lower tier.
  if (osxsave && avx && popcnt && (read_xcr0() & 6) == 6) {
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2) && (b & bit_BMI2)) flags |= TARNHEVCENC_CPU_AVX2;
  }
  return flags;
}

int32_t param_frame_contexts(const param_t &p) {
  const int32_t contexts = p.threads >= 8 ? 12 : p.threads >= 2 ? p.threads + 4 : 5;
  // A picture in flight is planned before rate control has seen the sizes
  // of the ones ahead of it.  Under a buffer (VBV's, or CBR's window of
  // about a second) they may span at most a quarter of its duration, but
  // never fewer than the five of one thread: twelve at 10 pictures a second
  // are 1.2 s, more than a whole buffer of 0.5 s, and the stream then
  // followed the thread count (flower at 400 kb/s in 200 kbit: 368 kb/s at
  // 1 thread, 315 at 8).  A stream under a buffer depends on the count
  // only, so where the cap is 5 every thread count codes the same bytes.
  const bool vbv = p.vbv_maxrate > 0 && p.vbv_bufsize > 0;
  if (!vbv && p.rcmode != TARNHEVCENC_RC_CBR) return contexts;
  const double seconds = vbv ? static_cast<double>(p.vbv_bufsize) / p.vbv_maxrate : 1.0;
  const double span = static_cast<double>(p.fps_num) / p.fps_den * seconds / 4.0;
  return std::min(contexts, std::max(5, static_cast<int32_t>(std::min(span, 64.0))));
}

#define PUB_HAS(pub, field) \
  ((pub)->size >= offsetof(tarnhevcenc_param_t, field) + sizeof((pub)->field))

namespace {
constexpr int32_t DEFAULT_BFRAMES = 7;
constexpr int32_t DEFAULT_LOOKAHEAD = 20;
constexpr float DEFAULT_CRF = 23.0f;
constexpr float DEFAULT_AQ_STRENGTH = 0.5f;

// The forced runs of speed modes, all checked: a list with a bad entry is
// dropped as a whole (one repaired entry would leave a pattern nobody asked
// for).
void speed_mode_runs_build(param_t *p, const tarnhevcenc_param_t &in) {
  const int32_t n = in.speed_mode_runs;
  bool ok = n >= 0 && n <= TARNHEVCENC_SPEED_MODE_RUNS_MAX;
  for (int32_t k = 0; ok && k < n; k++)
    ok = in.speed_mode_run_mode[k] >= 0 && in.speed_mode_run_mode[k] <= 3 && in.speed_mode_run_length[k] >= 1 &&
         in.speed_mode_run_length[k] <= 65535;
  if (!ok) {
    std::fprintf(stderr, "tarnhevcenc: speed_mode runs invalid (1..%d runs of modes 0-3, 1..65535 pictures each), "
                 "not used\n", TARNHEVCENC_SPEED_MODE_RUNS_MAX);
    return;
  }
  p->speed_mode_runs = n;
  for (int32_t k = 0; k < n; k++) {
    p->speed_mode_run_mode[k] = in.speed_mode_run_mode[k];
    p->speed_mode_run_length[k] = in.speed_mode_run_length[k];
  }
}
}  // namespace

void param_public_defaults(tarnhevcenc_param_t *pub) {
  tarnhevcenc_param_t d;
  std::memset(&d, 0, sizeof(d));
  d.cpu_flags = cpu_detect_flags();
  d.fps_num = 25;
  d.fps_den = 1;
  d.complexity = 4;
  d.log_level = 1;
  d.compat = 120;
  d.threads = 0;
  d.wpp = 1;
  d.idr_period = 250;
  d.min_idr = -1;
  // B pictures, their pyramid and the lookahead depth were chosen by
  // BD-rate and speed on foreman and flower: runs of 7 B pictures with three
  // levels cost 12-20% fewer bits than P pictures alone at the same speed,
  // and a lookahead of 20 pictures lets scene cuts be found at any place of
  // a run.
  d.bframes = DEFAULT_BFRAMES;
  d.hierarchy = 2;
  d.opengop = 0;
  d.scenecut = 40;
  d.lookahead = DEFAULT_LOOKAHEAD;
  // A plain run gets the encoder's best quality per bit: a constant rate
  // factor, whose base QP rises by the CU-tree's strength in return for the
  // CU-tree's offsets (at a constant QP nothing pays for them), with AQ at
  // half strength, which keeps most of what the CU-tree alone saves in luma
  // PSNR and most of what full strength saves in SSIM.  Factor 23 lands at
  // about the rate of constant QP 27 at 25-30 pictures a second.
  d.rcmode = TARNHEVCENC_RC_CRF;
  d.qp = 27;
  d.crf = DEFAULT_CRF;
  d.qp_min = 0;
  d.qp_max = 51;
  d.vbv_init = 0.9f;
  d.ip_factor = 1.4f;
  d.pb_factor = 1.3f;
  d.aq_mode = TARNHEVCENC_AQ_AUTO;
  d.aq_strength = DEFAULT_AQ_STRENGTH;
  d.cutree = 1;
  // Preset-driven fields start at -1 (automatic) so that the preset chosen at
  // creation decides them unless the caller sets them.
  d.search_range = -1;
  d.mv_range_y = -1;
  d.subpel_level = -1;
  d.early_skip = -1;
  d.intra_nxn = 1;
  d.intra_fast_path = -1;
  d.rdoq = 1;
  d.sign_hiding = 1;
  d.deblock = 1;
  d.sao = 1;
  d.random_decisions = 0;
  d.estimate_check = 0;
  d.speed_mode = -1;
  d.subpel_planes = -1;
  d.qcompress = 0.6f;
  d.qp_step = 4;
  // Copy only what the caller's record covers.
  uint32_t size = pub->size;
  size_t n = size < sizeof(d) ? size : sizeof(d);
  d.size = size;
  std::memcpy(pub, &d, n);
}

static void repair_int(const char *name, int32_t *v, int32_t lo, int32_t hi) {
  if (*v < lo || *v > hi) {
    int32_t r = *v < lo ? lo : hi;
    std::fprintf(stderr, "tarnhevcenc: %s %d out of range %d..%d, using %d\n", name, *v, lo, hi, r);
    *v = r;
  }
}

static void repair_float(const char *name, float *v, float lo, float hi, float fallback) {
  if (!(*v >= lo && *v <= hi)) {
    const float r = *v < lo ? lo : *v > hi ? hi : fallback;  // NaN takes the default
    std::fprintf(stderr, "tarnhevcenc: %s %g out of range %g..%g, using %g\n", name, static_cast<double>(*v),
                 static_cast<double>(lo), static_cast<double>(hi), static_cast<double>(r));
    *v = r;
  }
}

constexpr int64_t CBR_SPAN_MAX = 1000;

// Rate control counts a picture's share of a rate in 32 bits: at a low
// frame rate a high rate gives one picture more than the largest buffer
// (2,000,000 kbit) holds, which cannot be followed and is refused.
static bool rates_fit_a_picture(const param_t &p) {
  const double seconds = static_cast<double>(p.fps_den) / p.fps_num;
  const bool bitrate_used = p.rcmode == TARNHEVCENC_RC_ABR || p.rcmode == TARNHEVCENC_RC_CBR || p.pass != 0;
  const bool vbv_used = p.vbv_maxrate > 0 && p.vbv_bufsize > 0;
  const struct {
    const char *name;
    int32_t kbps;
    bool used;
  } rates[] = {{"bitrate", p.bitrate, bitrate_used},
               {"vbv_maxrate", p.vbv_maxrate, vbv_used},
               {"constant bitrate's ceiling", p.cbr_maxrate, p.rcmode == TARNHEVCENC_RC_CBR}};
  for (const auto &r : rates) {
    if (r.used && r.kbps * seconds > 2000000.0) {
      std::fprintf(stderr,
                   "tarnhevcenc: %s %d kbit/s at %d/%d pictures per second gives one picture more than 2000000 "
                   "kbit\n",
                   r.name, r.kbps, p.fps_num, p.fps_den);
      return false;
    }
  }
  return true;
}

// Rate-control settings: ranges, the modes that cannot run, and the B
// pictures' qscale ratio per pyramid level.
static void rate_control_repairs(param_t *p, const tarnhevcenc_param_t &in) {
  repair_int("bitrate", &p->bitrate, 0, 2000000);
  if (p->rcmode == TARNHEVCENC_RC_ABR && p->bitrate <= 0) {
    std::fprintf(stderr, "tarnhevcenc: average bitrate needs a bitrate above 0, using constant QP\n");
    p->rcmode = TARNHEVCENC_RC_CQP;
  }
  if (p->rcmode == TARNHEVCENC_RC_CBR && p->bitrate <= 0) {
    std::fprintf(stderr, "tarnhevcenc: constant bitrate needs a bitrate above 0, using constant QP\n");
    p->rcmode = TARNHEVCENC_RC_CQP;
  }
  // A CBR window of about one second may run between half and one and a
  // half times the rate, or up to a higher VBV rate.  A VBV rate at the
  // target as the ceiling let the window only ever spend below the rate
  // (foreman with a buffer of one second at the rate: 14% below); the
  // buffer's plan, not the window, keeps the pictures within the buffer.
  p->cbr_maxrate = std::max(p->vbv_maxrate, p->bitrate + p->bitrate / 2);
  p->cbr_minrate = p->bitrate / 2;
  // At most a thousand pictures: the window's rings hold one slot each (at
  // 2^31 pictures a second they took gigabytes).
  const int64_t per_second = (int64_t(p->fps_num) + p->fps_den / 2) / std::max(1, p->fps_den);
  p->cbr_span = static_cast<int32_t>(std::clamp<int64_t>(per_second, 8, CBR_SPAN_MAX));
  int32_t pass = in.pass;
  repair_int("pass", &pass, 0, 2);
  p->pass = pass;
  p->stats_write = pass == 1;
  p->stats_read = pass == 2;
  p->stats_in = in.stats_in;
  repair_float("crf", &p->crf, 0.0f, 51.0f, DEFAULT_CRF);
  repair_int("vbv_maxrate", &p->vbv_maxrate, 0, 2000000);
  repair_int("vbv_bufsize", &p->vbv_bufsize, 0, 2000000);
  repair_float("vbv_init", &p->vbv_init, 0.0f, 2000000.0f, 0.9f);
  repair_float("ip_factor", &p->ip_factor, 0.01f, 100.0f, 1.4f);
  float pb = in.pb_factor;
  repair_float("pb_factor", &pb, 0.01f, 100.0f, 1.3f);
  repair_float("qcompress", &p->qcompress, 0.0f, 1.0f, 0.6f);
  repair_int("qp_step", &p->qp_step, 1, 51);
  repair_int("aq_mode", &p->aq_mode, TARNHEVCENC_AQ_AUTO, 2);
  // AQ's offsets, and the CU-tree's that travel with them, reach the CTU QPs
  // only where a rate factor balances them: at a constant QP they lower the
  // QP of whole pictures and cost 9-23% more bits at the same luma PSNR, and
  // CBR and VBV set their CTUs' QPs themselves, so there AQ would only
  // reweigh the lookahead's costs.
  if (p->aq_mode == TARNHEVCENC_AQ_AUTO) {
    const bool balanced = p->rcmode == TARNHEVCENC_RC_ABR || p->rcmode == TARNHEVCENC_RC_CRF;
    const bool vbv = p->vbv_maxrate > 0 && p->vbv_bufsize > 0;
    p->aq_mode = balanced && !vbv ? TARNHEVCENC_AQ_DEFAULT_MODE : 0;
  }
  repair_float("aq_strength", &p->aq_strength, 0.0f, 3.0f, DEFAULT_AQ_STRENGTH);
  p->cutree = p->cutree ? 1 : 0;
  // The deepest level in use takes the whole ratio; reference levels above
  // it, used by more pictures, take even shares of its QP offset.
  const int32_t deepest = p->hierarchy + 1;
  for (int32_t k = 1; k <= 3; k++)
    p->pb_factor[k - 1] = k >= deepest ? pb : std::pow(pb, static_cast<float>(k) / static_cast<float>(deepest));
}

void (*param_internal_override)(param_t *p) = nullptr;

int param_build(param_t *p, const tarnhevcenc_param_t *pub) {
  // 1. Base defaults (the public defaults plus the internal-only settings).
  tarnhevcenc_param_t base;
  std::memset(&base, 0, sizeof(base));
  base.size = sizeof(base);
  param_public_defaults(&base);
  std::memset(p, 0, sizeof(*p));
  p->latency_mode = 9;
  p->intra_source_refs = 0;
  p->intra_trial_p = 1;
  p->intra_trial_b = 1;
  p->lowres_cu_search = 0;
  p->merge_only_ctus = 0;
  p->row_jitter_us = 0;
  p->distortion_weighting = 0;
  p->subpel_planes = 0;
  p->subpel_build_mode = 2;
  p->bilinear_qpel = 0;
  p->rate_tolerance = 1.0f;

  // Caller's fields over the base defaults (only what its size covers).
  tarnhevcenc_param_t in = base;
  if (pub->size < offsetof(tarnhevcenc_param_t, cpu_flags) + sizeof(uint32_t)) {
    std::fprintf(stderr, "tarnhevcenc: parameter record too small (%u bytes)\n", pub->size);
    return -1;
  }
  std::memcpy(&in, pub, pub->size < sizeof(in) ? pub->size : sizeof(in));
  in.size = sizeof(in);

  p->cpu_flags = in.cpu_flags & cpu_detect_flags();
  if (in.cpu_flags != p->cpu_flags)
    std::fprintf(stderr, "tarnhevcenc: cpu_flags %u not supported here, using %u\n", in.cpu_flags, p->cpu_flags);

  // 2. Complexity preset.
  int32_t complexity = in.complexity;
  repair_int("complexity", &complexity, 0, 7);
  p->complexity = complexity;
  const preset_t &pre = complexity_presets[complexity];
  p->multihex_search = pre.multihex_search;
  p->search_quality = pre.search_quality;
  p->lookahead_step_x = pre.lookahead_step_x;
  p->lookahead_step_y = pre.lookahead_step_y;
  p->intra_fast_path = pre.intra_fast_path;
  p->search_range = pre.search_range;
  p->subpel_level = pre.subpel_level;
  p->early_skip = pre.early_skip;
  p->split_search_level = pre.split_search_level;
  p->block_cost_level = pre.block_cost_level;
  p->prefs = pre.prefs;
  p->brefs = pre.brefs;

  // 3. Tunes.
  constexpr int32_t known_tunes = TARNHEVCENC_TUNE_ZEROLATENCY | TARNHEVCENC_TUNE_LOWDELAY;
  if (in.tune & ~known_tunes) {
    std::fprintf(stderr, "tarnhevcenc: tune bits 0x%x unknown, ignored\n", static_cast<unsigned>(in.tune & ~known_tunes));
    in.tune &= known_tunes;
  }
  p->tune = in.tune;
  // A tune outranks the caller's fields it governs; overriding one the
  // caller set is reported like any repair.
  // (A value equal to the default is taken as not set.)
  auto tune_override = [](const char *tune, const char *name, int32_t *v, int32_t by_default) {
    if (*v != 0 && *v != by_default)
      std::fprintf(stderr, "tarnhevcenc: %s tune: %s %d overridden, using 0\n", tune, name, *v);
    *v = 0;
  };
  if (in.tune & TARNHEVCENC_TUNE_ZEROLATENCY) {
    p->latency_mode = 0;
    tune_override("zerolatency", "bframes", &in.bframes, DEFAULT_BFRAMES);
    tune_override("zerolatency", "lookahead", &in.lookahead, DEFAULT_LOOKAHEAD);
  } else if (in.tune & TARNHEVCENC_TUNE_LOWDELAY) {
    p->latency_mode = 1;
    tune_override("lowdelay", "bframes", &in.bframes, DEFAULT_BFRAMES);
  }
  p->p_as_b_slice = p->complexity >= 3 && p->latency_mode == 9;

  // 4. The caller's fields.
  p->width = in.width;
  p->height = in.height;
  p->fps_num = in.fps_num;
  p->fps_den = in.fps_den;
  p->log_level = in.log_level;
  p->compat = in.compat;
  p->threads = in.threads;
  p->frame_contexts = in.frame_contexts;
  p->wpp = in.wpp;
  p->idr_period = in.idr_period;
  p->min_idr = in.min_idr;
  p->bframes = in.bframes;
  p->hierarchy = in.hierarchy;
  p->opengop = in.opengop;
  p->scenecut = in.scenecut;
  p->lookahead = in.lookahead;
  p->rcmode = in.rcmode;
  p->qp = in.qp;
  p->bitrate = in.bitrate;
  p->crf = in.crf;
  p->qp_min = in.qp_min;
  p->qp_max = in.qp_max;
  p->vbv_maxrate = in.vbv_maxrate;
  p->vbv_bufsize = in.vbv_bufsize;
  p->vbv_init = in.vbv_init;
  p->ip_factor = in.ip_factor;
  p->qcompress = in.qcompress;
  p->qp_step = in.qp_step;
  p->aq_mode = in.aq_mode;
  p->aq_strength = in.aq_strength;
  p->cutree = in.cutree;
  p->pass = in.pass;
  if (in.search_range >= 0) p->search_range = in.search_range;
  p->mv_range_y = in.mv_range_y;
  if (in.subpel_level >= 0) p->subpel_level = in.subpel_level;
  if (in.early_skip >= 0) p->early_skip = in.early_skip;
  p->intra_nxn = in.intra_nxn;
  if (in.intra_fast_path >= 0) p->intra_fast_path = in.intra_fast_path;
  p->rdoq = in.rdoq;
  p->sign_hiding = in.sign_hiding;
  p->deblock = in.deblock;
  p->sao = in.sao;
  p->random_decisions = in.random_decisions;
  p->estimate_check = in.estimate_check;
  if (in.subpel_planes >= 0) {
    int32_t planes = in.subpel_planes;
    repair_int("subpel_planes", &planes, 0, 2);
    p->subpel_planes = planes > 0;
    p->subpel_build_mode = planes > 0 ? planes : p->subpel_build_mode;
  }
  int32_t speed_mode = in.speed_mode;
  repair_int("speed_mode", &speed_mode, -1, 3);
  p->speed_mode = speed_mode;
  speed_mode_runs_build(p, in);

  // 5. Structural checks: nothing sensible can replace a bad picture size.
  if (p->width <= 0 || p->height <= 0 || (p->width & 1) || (p->height & 1) ||
      p->width > TARNHEVCENC_MAX_PICTURE_SIDE || p->height > TARNHEVCENC_MAX_PICTURE_SIDE ||
      int64_t(p->width) * p->height > TARNHEVCENC_MAX_LUMA_PICTURE_SIZE) {
    std::fprintf(stderr,
                 "tarnhevcenc: picture size %dx%d invalid (even, sides 2..%d, at most %d luma samples as in "
                 "HEVC level 6.2)\n",
                 p->width, p->height, TARNHEVCENC_MAX_PICTURE_SIDE, TARNHEVCENC_MAX_LUMA_PICTURE_SIZE);
    return -1;
  }

  // 6. Automatic values and repairs.
  if (p->compat != 91 && p->compat != 100 && p->compat != 120) {
    std::fprintf(stderr, "tarnhevcenc: compat %d unknown, using 91\n", p->compat);
    p->compat = 91;
  }
  if (p->fps_num <= 0 || p->fps_den <= 0) {
    std::fprintf(stderr, "tarnhevcenc: frame rate %d/%d invalid, using 25/1\n", p->fps_num, p->fps_den);
    p->fps_num = 25;
    p->fps_den = 1;
  }
  // Every QP the encoder codes lies in [qp_min, qp_max] (motion-cost tables
  // exist only there), so the limits are repaired first, and the QP into them.
  repair_int("qp_min", &p->qp_min, 0, 51);
  repair_int("qp_max", &p->qp_max, 0, 51);
  if (p->qp_min > p->qp_max) {
    // Rate control lets qp_max win where the limits cross.
    std::fprintf(stderr, "tarnhevcenc: qp_min %d above qp_max %d, using %d\n", p->qp_min, p->qp_max, p->qp_max);
    p->qp_min = p->qp_max;
  }
  repair_int("qp", &p->qp, p->qp_min, p->qp_max);
  repair_int("bframes", &p->bframes, 0, 16);
  repair_int("hierarchy", &p->hierarchy, 0, 2);
  repair_int("idr_period", &p->idr_period, 0, TARNHEVCENC_MAX_KEYINT);
  repair_int("lookahead", &p->lookahead, 0, 250);
  repair_int("scenecut", &p->scenecut, 0, 100);
  repair_int("rcmode", &p->rcmode, 0, 4);
  rate_control_repairs(p, in);
  if (!rates_fit_a_picture(*p)) return -1;
  // Under a buffer, a B run and the anchor that closes it span at most the
  // buffer's duration.  The anchor is coded first and carries the change
  // over the whole run, paid from one buffer's bits, while the run's B
  // pictures take little: with seven B pictures at 10 pictures a second in
  // half a second's buffer the anchor could take only what the buffer held,
  // the B pictures refilled it within three or four pictures, and the rest
  // spilled (flower at 400 kb/s in 200 kbit: 245 kb/s; with four, 333).
  // Constant bitrate spans at most half the buffer: its anchor, planned at
  // most three quarters of the fill, came in at 0.8 of its plan on average
  // and the buffer spilled what the run's B pictures did not take.  With
  // seven B pictures at 10 pictures a second in a buffer of one second,
  // flower 480x272 and 640x360 at 150-300 kb/s came 4-9% below the rate;
  // with four, 0.5-3.5% (and 0.3-0.6 dB more).
  if (p->vbv_maxrate > 0 && p->vbv_bufsize > 0) {
    const double share = p->rcmode == TARNHEVCENC_RC_CBR ? 0.5 : 1.0;
    const double pictures =
        share * static_cast<double>(p->fps_num) / std::max(1, p->fps_den) * p->vbv_bufsize / p->vbv_maxrate;
    p->bframes = std::min(p->bframes, std::max(0, static_cast<int32_t>(std::min(pictures, 64.0)) - 1));
  }
  repair_int("subpel_level", &p->subpel_level, 0, 2);
  repair_int("search_range", &p->search_range, 4, 512);
  // Downward reach of motion vectors in samples; pictures that refer to a
  // picture wait only for the rows this reach covers.
  if (p->mv_range_y <= 0) p->mv_range_y = p->complexity < 4 ? 56 : 120;
  repair_int("mv_range_y", &p->mv_range_y, 8, 1024);
  if (p->min_idr < 0) p->min_idr = p->idr_period > 0 ? (p->idr_period / 10 > 1 ? p->idr_period / 10 : 1) : 25;
  if (p->threads <= 0) {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    p->threads = n > 0 ? static_cast<int32_t>(n) : 1;
  }
  repair_int("threads", &p->threads, 1, 8191);
  p->frame_contexts = param_frame_contexts(*p);
  p->wpp = p->wpp ? 1 : 0;
  p->intra_nxn = p->intra_nxn ? 1 : 0;
  p->sign_hiding = p->sign_hiding ? 1 : 0;
  p->deblock = p->deblock ? 1 : 0;
  p->sao = p->sao ? 1 : 0;
  p->opengop = p->opengop ? 1 : 0;
  p->cutree = p->cutree ? 1 : 0;
  if (param_internal_override) param_internal_override(p);
  return 0;
}

void param_write_back(tarnhevcenc_param_t *pub, const param_t &p) {
  // The only two fields of the caller's own that creation writes: both are
  // idempotent, so a reused record still means what it meant.
  if (PUB_HAS(pub, compat)) pub->compat = p.compat;
  if (PUB_HAS(pub, frame_contexts)) pub->frame_contexts = p.frame_contexts;
  if (!PUB_HAS(pub, effective)) return;
  tarnhevcenc_effective_t &e = pub->effective;
  e.cpu_flags = p.cpu_flags;
  e.fps_num = p.fps_num;
  e.fps_den = p.fps_den;
  e.complexity = p.complexity;
  e.threads = p.threads;
  e.wpp = p.wpp;
  e.idr_period = p.idr_period;
  e.min_idr = p.min_idr;
  e.bframes = p.bframes;
  e.hierarchy = p.hierarchy;
  e.lookahead = p.lookahead;
  e.rcmode = p.rcmode;
  e.qp = p.qp;
  e.qp_min = p.qp_min;
  e.qp_max = p.qp_max;
  e.search_range = p.search_range;
  e.mv_range_y = p.mv_range_y;
  e.subpel_level = p.subpel_level;
  e.early_skip = p.early_skip;
  e.intra_fast_path = p.intra_fast_path;
  e.deblock = p.deblock;
  e.sao = p.sao;
  e.subpel_planes = p.subpel_planes ? p.subpel_build_mode : 0;
  e.bitrate = p.bitrate;
  e.crf = p.crf;
  e.vbv_maxrate = p.vbv_maxrate;
  e.vbv_bufsize = p.vbv_bufsize;
  e.vbv_init = p.vbv_init;
  e.qp_step = p.qp_step;
  e.aq_mode = p.aq_mode;
}
