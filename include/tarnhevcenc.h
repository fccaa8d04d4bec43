/* tarnhevcenc: HEVC Main profile encoder library (8-bit 4:2:0, Annex B out).
 *
 * Both public records start with their own size in bytes.  The library reads
 * or writes a field only when that size covers it, so a program built against
 * an older, shorter record keeps working; records only ever grow at the end.
 */
#ifndef TARNHEVCENC_H
#define TARNHEVCENC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(TARNHEVCENC_BUILDING)
#define TARNHEVCENC_API __attribute__((visibility("default")))
#else
#define TARNHEVCENC_API
#endif

/* Picture types (frame_type_code). */
enum {
  TARNHEVCENC_TYPE_AUTO = 0, /* requests only: let the encoder decide */
  TARNHEVCENC_TYPE_IDR = 1,
  TARNHEVCENC_TYPE_CRA = 2,
  TARNHEVCENC_TYPE_I = 3, /* intra picture that is neither IDR nor CRA */
  TARNHEVCENC_TYPE_P = 4,
  TARNHEVCENC_TYPE_BREF = 5, /* B picture used as a reference */
  TARNHEVCENC_TYPE_B = 6
};

/* cpu_flags bits. */
enum {
  TARNHEVCENC_CPU_SSE41 = 1, /* detected, never consulted */
  TARNHEVCENC_CPU_SSSE3 = 2,
  TARNHEVCENC_CPU_AVX2 = 4 /* only when the OS saves the 256-bit registers */
};

/* Rate-control modes (rcmode). */
enum {
  TARNHEVCENC_RC_CQP = 0,
  TARNHEVCENC_RC_ABR = 1,
  TARNHEVCENC_RC_CBR = 2,
  TARNHEVCENC_RC_CRF = 3,
  TARNHEVCENC_RC_LQP = 4
};

/* aq_mode: by the rate mode (the default): TARNHEVCENC_AQ_DEFAULT_MODE under
 * CRF and ABR without VBV, where a rate factor balances AQ's and the CU-tree's
 * QP offsets; 0 under constant QP, LQP, CBR and VBV, whose CTU QPs do not
 * take them. */
enum {
  TARNHEVCENC_AQ_AUTO = -1,
  TARNHEVCENC_AQ_DEFAULT_MODE = 2
};

/* Tune bits (tune). */
enum {
  TARNHEVCENC_TUNE_ZEROLATENCY = 4,
  TARNHEVCENC_TUNE_LOWDELAY = 8
};

/* Limits of tarnhevcenc_create; callers can check their values against them.
 * The picture limits are those of the highest HEVC level (6.2): at most
 * 35651584 luma samples and no side above sqrt(8 x that). */
enum {
  TARNHEVCENC_MAX_LUMA_PICTURE_SIZE = 35651584,
  TARNHEVCENC_MAX_PICTURE_SIDE = 16888,
  TARNHEVCENC_MAX_KEYINT = 1 << 30 /* idr_period */
};

/* Test-only: the most runs of speed modes a parameter record holds. */
enum { TARNHEVCENC_SPEED_MODE_RUNS_MAX = 8 };

/* The settings an encoder runs with, as tarnhevcenc_create settled them:
 * automatic values filled in (threads 0, min_idr -1, the preset-driven fields
 * at -1), repairs made, tune overrides applied. */
typedef struct tarnhevcenc_effective_t {
  uint32_t cpu_flags;
  int32_t fps_num, fps_den;
  int32_t complexity;
  int32_t threads;
  int32_t wpp;
  int32_t idr_period, min_idr;
  int32_t bframes, hierarchy, lookahead;
  int32_t rcmode, qp, qp_min, qp_max;
  int32_t search_range, mv_range_y, subpel_level, early_skip, intra_fast_path;
  int32_t deblock, sao;
  int32_t subpel_planes;
  /* Rate control: vbv_bufsize raised to one picture's worth when smaller,
   * vbv_init as the fraction of the buffer it settled to. */
  int32_t bitrate;
  float crf;
  int32_t vbv_maxrate, vbv_bufsize;
  float vbv_init;
  int32_t qp_step, aq_mode;
} tarnhevcenc_effective_t;

typedef struct tarnhevcenc_param_t {
  uint32_t size;      /* sizeof(tarnhevcenc_param_t) as the caller knows it */
  uint32_t cpu_flags; /* filled by tarnhevcenc_default_param; clear bits to force portable code */

  /* Input picture. */
  int32_t width;   /* luma samples, > 0, even, within the limits above */
  int32_t height;  /* luma samples, > 0, even, within the limits above */
  int32_t fps_num; /* frame rate numerator, > 0 */
  int32_t fps_den; /* frame rate denominator, > 0 */

  /* Speed and quality. */
  int32_t complexity; /* preset 0 (fastest) .. 7 (best); default 4 */
  int32_t tune;       /* TARNHEVCENC_TUNE_* bits; default 0 */
  int32_t log_level;  /* bit 0: end statistics on stderr; bit 1: per-picture lines and the memory
                         reserved at creation by kind */
  int32_t compat;     /* HM compatibility x10: 91, 100 or 120 (default); others become 91 */

  /* Threads. */
  int32_t threads;        /* working threads; 0 = number of processors */
  int32_t frame_contexts; /* 0 = automatic; the effective count is written back */
  int32_t wpp;            /* wavefront parallel processing, default 1 */

  /* Picture structure. */
  int32_t idr_period;     /* key-picture interval (--keyint); 1 = all intra; 0 = only the first */
  int32_t min_idr;        /* minimum key-picture interval for scene cuts (--min-keyint) */
  int32_t bframes;        /* consecutive B pictures, 0..16 */
  int32_t hierarchy;      /* B pyramid: 0 none, 1, 2 */
  int32_t opengop;        /* 1: CRA key pictures with leading pictures */
  int32_t scenecut;       /* scene-cut sensitivity, 0 = off */
  int32_t lookahead;      /* lookahead depth in pictures */

  /* Rate control. */
  int32_t rcmode;        /* TARNHEVCENC_RC_*, default CRF */
  int32_t qp;            /* constant QP 0..51 of CQP and LQP, default 27; outside [qp_min, qp_max] it becomes the
                            nearer limit */
  int32_t bitrate;       /* kbit/s for ABR and CBR */
  float crf;             /* constant rate factor, default 23.0 (about the rate of QP 27) */
  int32_t qp_min;        /* default 0; outside 0..51 the nearer end; above qp_max it becomes qp_max */
  int32_t qp_max;        /* default 51; outside 0..51 the nearer end */
  int32_t vbv_maxrate;   /* kbit/s, 0 = no VBV */
  int32_t vbv_bufsize;   /* kbit, 0 = no VBV */
  float vbv_init;        /* initial buffer fullness, fraction, default 0.9 */
  float ip_factor;       /* qscale ratio of P to I pictures, default 1.4 (I QP about 3 below P) */
  float pb_factor;       /* qscale ratio of B to P pictures, default 1.3 (the deepest B level; reference B levels get shares) */
  int32_t aq_mode;       /* adaptive quantisation: 0 off, 1 by block energy, 2 by energy around the picture's mean;
                            default TARNHEVCENC_AQ_AUTO (the effective record gives the mode chosen) */
  float aq_strength;     /* 0..3, default 0.5 */
  int32_t cutree;        /* CU-tree QP offsets, default 1 */
  int32_t pass;          /* 0 single pass, 1 first pass, 2 second pass (rcmode ABR, same settings as the first) */
  const char *stats_in;  /* second pass: whole statistics text, NUL-terminated; read only by tarnhevcenc_create */
  /* Out, first pass: tarnhevcenc_create points it at a library-owned text
   * that each tarnhevcenc_encode_frame call leaves holding the statistics of
   * the picture it returned (the header line before the first), "" when it
   * returned none; append it to the statistics file.  NULL in other passes. */
  const char *stats_out;

  /* Analysis. */
  int32_t search_range;    /* motion-search range in samples */
  int32_t mv_range_y;      /* vertical vector limit in samples */
  int32_t subpel_level;    /* 0 full, 1 half, 2 quarter samples */
  int32_t early_skip;      /* early-skip mode */
  int32_t intra_nxn;       /* allow 4x4 intra prediction units, default 1 */
  int32_t intra_fast_path; /* fast intra evaluation; preset-dependent */
  int32_t rdoq;            /* rate-distortion optimised quantisation, default 1 */
  int32_t sign_hiding;     /* sign data hiding, default 1 */

  /* In-loop filters. */
  int32_t deblock; /* default 1 */
  int32_t sao;     /* default 1 */

  /* Test-only: non-zero makes every coding decision at random from this seed. */
  int32_t random_decisions;
  /* Test-only: with log_level bit 2, each picture's line also gives the slice
   * data bits the rate estimator predicted for the final decisions. */
  int32_t estimate_check;
  /* Test-only: 0-3 forces the real-time speed mode of every CTU; -1
   * (default) lets the zero-latency tune raise it while encoding falls
   * behind the frame rate. */
  int32_t speed_mode;
  /* Precomputed sub-sample planes of reference pictures, which motion
   * search and prediction read instead of filtering (the same samples, so
   * the stream does not change): -1 (default) the preset's choice, 0 none,
   * 1 the half-sample planes only, 2 all fifteen.  Each reference picture
   * then holds, while it can be predicted from, 15 more luma-sized planes
   * and 3 of 16-bit values. */
  int32_t subpel_planes;

  /* Rate control, continued. */
  float qcompress; /* quantiser curve compression 0..1, default 0.6 (1: constant quality per picture) */
  int32_t qp_step; /* largest QP change between pictures of one type, 1..51, default 4 */

  /* Out only, never read: written by tarnhevcenc_create when the record's
   * size covers all of it. */
  tarnhevcenc_effective_t effective;

  /* Test-only: with speed_mode_runs 1..TARNHEVCENC_SPEED_MODE_RUNS_MAX
   * (default 0, none), the real-time speed mode of the pictures in coding
   * order instead of speed_mode: speed_mode_run_length[k] pictures
   * (1..65535) of mode speed_mode_run_mode[k] (0-3) for each run k, the
   * runs repeated from the first when they end. */
  int32_t speed_mode_runs;
  int32_t speed_mode_run_mode[TARNHEVCENC_SPEED_MODE_RUNS_MAX];
  int32_t speed_mode_run_length[TARNHEVCENC_SPEED_MODE_RUNS_MAX];
} tarnhevcenc_param_t;

typedef struct tarnhevcenc_frame_opts_t {
  uint32_t size;            /* sizeof(tarnhevcenc_frame_opts_t) as the caller knows it */
  uint32_t frame_type_code; /* out: type of the returned picture; the encoder chooses every type, so a
                               request set here is not read (it gets a warning once).  A record handed
                               to every call still holds the type reported last: that is no request */
  uint32_t options;         /* in: option word (reserved, 0) */
  uint32_t control;         /* in: control word (1, 2: faster motion search for this picture) */
  /* Out: the returned (coded) picture. */
  int64_t pts;                 /* time stamp given with the picture */
  const uint8_t *recon[3];     /* reconstructed planes, valid until the next call */
  int32_t recon_stride[3];     /* their strides in bytes */
  double psnr[3];              /* Y, U, V against the source, dB */
  double avg_qp;               /* average QP of the picture */
  int32_t frame_number;        /* display number of the returned picture */
} tarnhevcenc_frame_opts_t;

typedef struct tarnhevcenc_t tarnhevcenc_t;

/* Version text, for example "0.1.0". */
TARNHEVCENC_API const char *tarnhevcenc_version(void);
/* Compiler and build settings as text. */
TARNHEVCENC_API const char *tarnhevcenc_buildinfo(void);
/* Fills every field the record's size covers with defaults (cpu_flags from
 * CPUID).  Returns 0, or -1 when param is NULL or its size is too small. */
TARNHEVCENC_API int tarnhevcenc_default_param(tarnhevcenc_param_t *param);
/* Builds an encoder.  Repairable settings are repaired with a message on
 * stderr.  Of the caller's fields only compat and frame_contexts are written
 * (their effective values), and the out-only stats_out, so a record reused
 * for another encoder gives the same encoder as a fresh record with the same
 * fields set; the values the encoder runs with are reported in `effective`.
 * Returns NULL with errno EINVAL when the settings cannot be repaired (a
 * missing record, a picture size outside the limits, a second pass with
 * rcmode CRF, which it cannot plan), with errno EBADMSG
 * when a second pass's stats_in is missing, damaged or was written with
 * other settings (the message on stderr says which), or with errno ENOMEM
 * when memory (or a worker thread) could not be had. */
TARNHEVCENC_API tarnhevcenc_t *tarnhevcenc_create(tarnhevcenc_param_t *param);
/* Writes VPS, SPS and PPS as Annex B into buf; returns the byte count, or -1
 * when the buffer is too small. */
TARNHEVCENC_API int tarnhevcenc_get_header(tarnhevcenc_t *enc, uint8_t *buf, int32_t buf_size);
/* Encodes one picture (planes[3] with strides[3], width x height luma) or,
 * with planes == NULL, flushes.  Returns the byte count of the Annex B data
 * of one coded picture placed in *out (valid until the next call), 0 when
 * nothing is ready yet, -1 on error: a missing plane or stride array, a
 * stride smaller than its plane's width, or (errno ENOMEM, with a message on
 * stderr) memory for the rows' working contexts, which an encoder of more
 * than one thread makes in the background from its creation until the first
 * picture starts, could not be had, or a picture could not be started or
 * coded (a second pass's picture without a line in stats_in: "Incomplete
 * 2pass log" on stderr).  After such a failure (not after a bad argument)
 * no picture starts any more: a later call with a picture returns -1, and
 * flushing returns the pictures started before it, one per call, then 0;
 * tarnhevcenc_is_encoding is 0 once they are back, and tarnhevcenc_destroy
 * may be called at any point.  opts may be NULL. */
TARNHEVCENC_API int tarnhevcenc_encode_frame(tarnhevcenc_t *enc, const uint8_t *const planes[3],
                                             const int32_t strides[3], int64_t pts,
                                             tarnhevcenc_frame_opts_t *opts, const uint8_t **out);
/* 1 while pictures are queued or in flight (after a failed
 * tarnhevcenc_encode_frame: in flight), else 0. */
TARNHEVCENC_API int tarnhevcenc_is_encoding(tarnhevcenc_t *enc);
/* Stops the workers, prints the end statistics (log_level bit 0) and frees
 * everything.  NULL is allowed. */
TARNHEVCENC_API void tarnhevcenc_destroy(tarnhevcenc_t *enc);

#ifdef __cplusplus
}
#endif

#endif
