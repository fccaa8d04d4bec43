// Internal settings record.  Every encoder_t starts with one; a second copy
// follows it as the source of per-picture reconfiguration.
#pragma once

#include <cstdint>

#include "tarnhevcenc.h"

struct param_t {
  uint32_t cpu_flags;  // must stay first: the table setups read it
  int32_t width, height;
  int32_t fps_num, fps_den;
  int32_t complexity;
  int32_t tune;
  int32_t log_level;
  int32_t compat;
  int32_t threads;
  int32_t frame_contexts;
  int32_t wpp;
  int32_t idr_period;
  int32_t min_idr;
  int32_t bframes;
  int32_t hierarchy;
  int32_t opengop;
  int32_t scenecut;
  int32_t lookahead;
  int32_t rcmode;
  int32_t qp;
  int32_t bitrate;
  float crf;
  int32_t qp_min, qp_max;
  int32_t vbv_maxrate, vbv_bufsize;
  float vbv_init;
  float ip_factor;
  // B pictures' qscale ratio to P by pyramid level 1..3: the caller's
  // pb_factor for the deepest level in use, shares of its offset above.
  float pb_factor[3];
  float qcompress;  // the caller's: rate control forces its own copy to 1.0 under the CU-tree
  int32_t qp_step;  // largest QP step between pictures of one class, and of a row's VBV re-decision
  int32_t aq_mode;
  float aq_strength;
  int32_t cutree;
  int32_t pass;
  // Two passes: the first leaves a statistics line per picture, the second
  // reads the whole text (valid only while the encoder is created) and
  // plans every picture from it.
  int32_t stats_write, stats_read;
  const char *stats_in;
  // Constant bitrate: the rates (kbit/s) a window of cbr_span pictures may
  // reach and must keep.
  int32_t cbr_maxrate, cbr_minrate, cbr_span;
  int32_t search_range;
  int32_t mv_range_y;
  int32_t subpel_level;
  int32_t early_skip;
  int32_t intra_nxn;
  int32_t intra_fast_path;
  int32_t rdoq;
  int32_t estimate_check;
  int32_t sign_hiding;
  int32_t deblock;
  int32_t sao;
  int32_t random_decisions;
  int32_t speed_mode;  // -1 real-time pressure (zero-latency tune only), 0-3 forced
  // Forced runs of speed modes in coding order (test only; 0 runs: none).
  int32_t speed_mode_runs;
  int32_t speed_mode_run_mode[TARNHEVCENC_SPEED_MODE_RUNS_MAX];
  int32_t speed_mode_run_length[TARNHEVCENC_SPEED_MODE_RUNS_MAX];

  // Settings with no public field (preset- or tune-driven).
  int32_t latency_mode;  // 0 zerolatency, 1 lowdelay, 9 none
  int32_t multihex_search;
  int32_t search_quality;
  int32_t lookahead_step_x, lookahead_step_y;
  int32_t intra_source_refs;
  int32_t intra_trial_p, intra_trial_b;
  int32_t lowres_cu_search;
  // Test-only (ziravov_internal): each whole CTU of a P or B picture goes
  // as one 64x64 skip CU with merge candidate 0 (analyse_ctu_merge_only).
  int32_t merge_only_ctus;
  // Test-only (ziravov_internal): a worker pauses up to this many
  // microseconds, at random, before each CTU it codes, so that a test can
  // shuffle the rows' timing and see the stream stay the same.
  int32_t row_jitter_us;
  // P pictures are sent as B slices whose list 1 repeats list 0 (levels 3-7
  // without a latency tune): their CUs then get the B-slice evaluation.
  int32_t p_as_b_slice;
  int32_t split_search_level;
  int32_t distortion_weighting;
  int32_t subpel_planes;
  int32_t subpel_build_mode;
  int32_t bilinear_qpel;
  int32_t block_cost_level;
  int32_t prefs;  // references searched by P pictures
  int32_t brefs;  // references per list of B pictures
  float rate_tolerance;
};

// Preset values of one complexity level; all presets live in one table.
struct preset_t {
  int32_t multihex_search;
  int32_t search_quality;
  int32_t lookahead_step_x, lookahead_step_y;
  int32_t intra_fast_path;
  int32_t search_range;
  int32_t subpel_level;
  int32_t early_skip;
  int32_t split_search_level;
  int32_t block_cost_level;
  int32_t prefs, brefs;
};
extern const preset_t complexity_presets[8];

// Processor features as cpu_flags bits (SSE4.1 1, SSSE3 2, AVX2 4).
uint32_t cpu_detect_flags();

// Base defaults of the public record, for the fields its size covers.
void param_public_defaults(tarnhevcenc_param_t *pub);
// Builds the internal record in the fixed order: base defaults, complexity
// preset, tunes, the caller's fields; then fills automatic values, validates
// and repairs (one message on stderr per repair).  Returns -1 on a
// structural error that no repair can fix.
int param_build(param_t *p, const tarnhevcenc_param_t *pub);
// Test and bench programs only: when set, param_build hands it the finished
// record, so settings that no public field reaches (lowres_cu_search) can be
// switched on to be checked and measured.  The library never sets it.
extern void (*param_internal_override)(param_t *p);
// Writes the effective compat and frame_contexts into the caller's record
// and every effective value into its `effective` block (only where its size
// covers them); no other field of the caller's is touched.
void param_write_back(tarnhevcenc_param_t *pub, const param_t &p);
// Frame-context count for the working threads, fewer where the pictures in
// flight would take too large a share of a rate buffer.
int32_t param_frame_contexts(const param_t &p);
