// The encoder context.  One instance per encoder; every frame context (and,
// with worker threads, every row context) is a copy of it with its own
// working buffers.
#pragma once

#include <cstdint>

#include "analysis/ctu_maps.h"
#include "bitstream/cabac.h"
#include "bitstream/nal.h"
#include "bitstream/param_sets.h"
#include "common/primitives.h"
#include "encoder/frame.h"
#include "encoder/param.h"
#include "motion/collocated_memo.h"
#include "motion/me_context.h"
#include "motion/me_kept.h"
#include "ratecontrol/lookahead.h"
#include "ratecontrol/rc_counts.h"

struct encoder_stats_t {
  int64_t frames;
  int64_t frames_by_type[7];
  int64_t bytes_by_type[7];
  int64_t bytes;
  double sse[3];        // summed squared error per component
  double mse_sum[3];    // summed per-picture MSE per component
  double qp_sum;
  // Time the caller's thread spent in the lookahead or waiting for it
  // (half-resolution pictures, estimates, decisions), the time the type
  // decisions took wherever they ran, and the time since the first picture
  // arrived.
  int64_t lookahead_ns;
  int64_t decision_ns;
  // Type decisions made, and how many of them ran on the lookahead pool
  // while the caller waited for a coded picture.
  int64_t decisions, decisions_behind;
  int64_t first_picture_ns;
};

// CTU rows of the tallest picture creation accepts (16888 luma rows): the
// bound of every array with one entry per CTU row that is not made at
// creation from the picture's own row count.
inline constexpr int32_t MAX_CTU_ROWS = (TARNHEVCENC_MAX_PICTURE_SIDE + 63) / 64;

struct encoder_t {
  param_t param;   // must stay first
  param_t param2;  // source of per-picture reconfiguration

  transform_funcs_t transform;
  quant_funcs_t quant;
  mc_funcs_t mc;
  deblock_funcs_t deblock;
  pixel_funcs_t pixel;
  intra_funcs_t intra;
  sao_funcs_t sao;
  const scan_tables_t *scan_tables;

  sps_t *sps;
  pps_t *pps;

  // Picture geometry: coded size (multiples of 8) and the CTU grid.
  int32_t width, height;
  int32_t ctu_cols, ctu_rows, ctu_count;

  // Current picture and CTU.
  int32_t slice_type_code;
  int32_t slice_qp;
  int32_t nal_type;
  frame_t *cur_input;
  frame_t *cur_recon;
  int32_t ctu_x, ctu_y, ctu_addr;
  int32_t prev_qp;  // QpY of the last CU in decoding order (qPY_PREV)
  double lambda_ssd;  // RD multiplier for squared errors of the current CTU
  double lambda_sad;  // for SATD costs
  uint32_t rng;       // random-decision state of the current CTU
  // Collocated vectors of the current CTU's blocks (motion/mvp.cpp): an
  // entry holds while its serial is collocated_serial, which moves on with
  // each CTU coded; 0 keeps nothing.
  uint32_t collocated_serial;
  mutable collocated_memo_t collocated_memo;

  // Per-CTU analysis state.
  int32_t analysis_level;
  int32_t speed_mode;           // 0-3: real-time pressure
  int32_t picture_speed_mode;   // the speed mode of the current picture's CTUs
  int32_t intra_rd_done;
  int32_t cu_min_depth, cu_max_depth;
  uint64_t split_threshold;
  int32_t ctu_left_similar, ctu_above_similar;
  // P/B set-up of the CTU: where a prediction unit's top-left sample may
  // lie (luma samples relative to the CTU origin), the vector limits
  // (quarter samples), whether B pictures try intra CUs, and the CTU's
  // copies of the sub-sample level, the early-skip mode and the search
  // range (the real-time speed modes lower the last two).
  int32_t pu_pos_min_x, pu_pos_max_x, pu_pos_min_y, pu_pos_max_y;
  int32_t mv_min, mv_max;
  int32_t b_intra_trial;
  int32_t ctu_subpel_level, ctu_early_skip, ctu_search_range;
  int32_t merge_res_flag;  // the CU evaluation costs the merge candidate with residual too
  struct {
    uint32_t sum[4];
    int8_t count[4];
  } depth_stats_prior, depth_stats;
  uint8_t *pred_work;           // prediction work buffer, stride 128 (64 rows)
  int32_t dist_weights[16][16]; // per 4x4 block of the CTU, signed
  uint8_t smallest_block;       // smallest coding or transform leaf of the CTU
  // Per CTU of the picture (frame contexts): the depth statistics stored
  // for the CTUs right of and below it.
  uint32_t (*ctu_depth_sum)[4];
  int8_t (*ctu_depth_count)[4];
  int32_t use_rdoq_alt;         // the thorough quantiser variant
  int32_t intra_refs_refresh;   // 0: predictions reuse the block's neighbour arrays
  int32_t ctu_encoder_flag_a, ctu_encoder_flag_b;
  int32_t ctu_qp;               // QP of the current CTU
  uint32_t ctu_lambda_ssd;      // lambda * 256 against squared errors
  uint32_t ctu_lambda_sad;      // sqrt(lambda) against SAD/SATD
  // Rate control: this frame context's record (row contexts share their
  // frame context's), the row's sums of chosen and coded CTU QPs, and the
  // AQ mode in effect.
  struct ratecontrol_t *rc;
  double rc_qp_sum, rc_coded_qp_sum;
  rc_picture_counts_t rc_counts;
  // CBR: the CTU's rate factor from the picture's CTU model (the mark is
  // 10000 once the model has set it).
  int32_t cbr_ctu_mark;
  double cbr_ctu_factor;
  int32_t aq_mode_active;
  uint32_t last_distortion;     // of the CU cu_rd_cost costed last
  struct cu_node_t *nodes;      // the quad-tree's 341 nodes
  struct lowres_cu_search_t *lowres;
  struct cu_snapshot_t *snapshots;  // per depth 0-4, then the trial slots (rd_cost.h)
  struct tu_state_t *tu_states;     // residual quad-tree trials, per block size
  cabac_est_t cabac_est_save[6];    // [0] the CTU save area, [1 + d] depth d
  ctu_gradients_t gradients;        // gradient sums of the CTU's luma source
  me_context_t me;                  // motion-search context of the current CTU
  me_kept_t me_kept;                // the searches' final predictions, for the rough bi-prediction cost

  // Reference structure of the current picture.
  frame_t *ref_list[2][16];  // list 0 before list 1
  int32_t ref_count[2];      // active counts
  int32_t col_from_l0;       // collocated_from_l0_flag
  int32_t max_merge_cand;
  // Short-term reference picture set of the current picture, as signalled.
  int32_t rps_count;
  int32_t rps_delta[16];  // POC differences to the current picture
  int32_t rps_used[16];   // used_by_curr_pic flags
  // The current CTU and its border; what neighbouring CTUs and later
  // pictures read goes to cur_recon->units when the CTU is committed.
  ctu_maps_t *maps;

  // CTU working buffers (per context).  Source copy, stride 64: luma rows
  // 0..63, then Cb at rows 64..95 columns 0..31 and Cr beside it at 32..63.
  // Prediction and reconstruction, stride 128: luma columns 0..63, Cb at
  // columns 64..95 and Cr at 96..127 of rows 0..31.
  uint8_t *ctu_src;
  uint8_t *ctu_rec;
  // The one block that holds every working buffer of a row context (see
  // ctx_alloc_ctu_arrays); none elsewhere.
  uint8_t *ctu_block;
  // Intra neighbour arrays: luma, its smoothed copy, Cb, Cr.
  alignas(16) uint8_t nb_luma[144];
  alignas(16) uint8_t nb_luma_smooth[144];
  alignas(16) uint8_t nb_chroma[2][96];
  // While refs_keep is set, a caller trying modes on one region (a CU or
  // a 4x4 prediction unit, luma samples at refs_x, refs_y, size
  // 1 << refs_log2) changes no sample outside it; the neighbours of a block
  // at the region's top-left corner all lie outside, so its arrays are
  // built once and kept, per plane and size (bit log2 - 2 of
  // refs_kept[plane]).  Chroma is kept for regions of 8x8 and above.
  int32_t refs_keep, refs_x, refs_y, refs_log2;
  uint8_t refs_kept[3];
  alignas(16) uint8_t nb_kept_luma[4][144];
  alignas(16) uint8_t nb_kept_luma_smooth[4][144];
  alignas(16) uint8_t nb_kept_chroma[2][3][96];
  // While a luma transform-tree search tries the quarters of a block (8x8
  // to 32x32, both of whose edges exist), the block's own neighbour array,
  // innermost last: the quarters' arrays follow from it and from the
  // quarters coded before them.
  int32_t quarter_depth;
  int32_t quarter_x[4], quarter_y[4], quarter_log2[4];
  alignas(16) uint8_t quarter_nb[4][144];
  // Deblocking: edge codes per CTU, edge QPs per CTU column.
  struct deblock_edge_map_t *deblock_edges;
  struct deblock_qp_map_t *deblock_qps;
  // The last reconstructed row of every CTU row before deblocking, which
  // intra prediction of the row below reads (luma, then Cb and Cr).
  uint8_t *intra_line[3];
  // SAO: the slice's enable word (bit 0 luma, bit 1 chroma), the records of
  // every CTU per plane, the merge mode per CTU, source-minus-deblocked
  // blocks and the statistics scratch.
  int32_t sao_enable;
  struct sao_param_t *sao_params[3];
  int32_t *sao_merge;
  int16_t *sao_diff[3];
  uint8_t *sao_scratch;
  int16_t *coef_tmp;  // transform scratch, 32x32
  int16_t *dq_tmp;    // dequantisation scratch, 32x32
  struct quant_memo_t *quant_memo;  // recent quantisations (none: each is decided)
  struct pred_cache_t *pred_cache;  // the CTU analysis's recent inter predictions

  // Rows of the picture (frame contexts): row contexts for the rows that
  // can be in flight at once (row r codes in row_ctx[r % row_slots]), what
  // each CTU row leaves for the end of the picture, and the picture's entry
  // in the row scheduler.
  encoder_t **row_ctx;
  int32_t row_slots;
  struct row_result_t *row_results;
  struct rowsched_frame_t *sched_entry;
  int32_t row_index;       // row contexts: the CTU row being coded
  cabac_est_t wpp_saved;   // row contexts: states after the row's second CTU
  uint32_t entry_sizes[MAX_CTU_ROWS];  // frame contexts: the slice's entry points
  uint64_t est_bits;    // row contexts: estimated bits of the row's CTUs
  uint64_t pic_est_bits, pic_data_bits;  // the picture's estimate and coded slice data

  // Entropy coding of the current picture.  The slice data goes straight
  // into the frame context's unit arena at slice_data_at, behind the room
  // for the slice header: the one stream as it is written, or the row
  // substreams.  Row r writes its substream into the r-th slot of
  // substream_slot_bytes from there, and moves it down behind the rows
  // above when it ends (rows end in order), so no row needs a buffer of
  // its own.
  cabac_t cabac;
  bitwriter_t bw;
  size_t slice_data_at;
  nal_list_t nals;

  // Instance-owned shared state (the same pointers in every copy).
  encoder_t *instance;
  encoder_t **frame_ctx;  // entry 0 = the instance
  int32_t frame_ctx_count;
  struct row_maker_t *row_maker;  // the instance: makes the row contexts (row_contexts.h)
  // The instance, once the input has ended: a lookahead-pool job gives back
  // the pages of the input pictures nobody holds any more (frame.h), while
  // the last pictures are coded rather than all at close.
  struct page_return_t {
    struct frame_pool_t *pool;
    int32_t pending;  // the job was started and not waited for
  } page_return;
  // The same for the row contexts' CTU buffers of a frame context that has
  // nothing left to code once the input has ended (row_contexts.h).
  struct row_release_t {
    encoder_t *fctx;
    int32_t pending;  // the job was started and not waited for
  } row_release;
  int32_t input_ended;
  int32_t frame_ctx_next;
  frame_pool_t *pool;
  lookahead_queue_t *lookahead;
  int32_t decision_delay;  // D = max(bframes, lookahead)
  // Cost estimates on the job pool; NULL when no setting reads them.
  struct lookahead_engine_t *lookahead_engine;
  // Decoded picture buffer of the coded stream: the reconstructed pictures
  // kept for reference (each holds a reference count).
  frame_t *dpb[16];
  int32_t dpb_count;
  int32_t idr_frame_number;  // POC origin
  int32_t irap_poc;          // POC of the latest key picture (leading pictures precede it)
  int32_t anchor_poc[2];     // POCs of the latest two anchors (key or P), newest first
  int32_t coding_number;   // pictures coded so far (-1 before the first)
  encoder_t *last_started;  // the frame context that started the latest picture
  // Real-time pressure: the speed mode of the next picture and when the
  // last picture started.
  int32_t speed_pressure;
  int64_t last_start_ns;
  int32_t frames_received;
  // Pictures the input held, once a flush has told its end (0 until then
  // and again once input follows it): constant bitrate spends the bits of
  // the pictures that are left, not of a window that runs on.
  int32_t input_length;
  uint8_t *out_buf;
  size_t out_cap;
  struct rowsched_t *sched;
  encoder_t *inflight[16];  // frame contexts with a picture in flight, in coding order
  int32_t inflight_count;
  // A picture failed to start or to be coded: none starts any more (the
  // stream would miss it), and flushing hands back those in flight.
  int32_t failed;
  frame_t *held_recon;  // returned to the caller, valid until the next call
  int32_t type_request_warned;  // a caller's frame_type_code request was reported
  // The per-picture record the encoder last reported a type into, and that
  // type: a record handed back unchanged carries no request.
  const tarnhevcenc_frame_opts_t *type_reported_to;
  uint32_t type_reported;
  frame_t *held_input;
  encoder_stats_t *stats;
  // Lagrange multipliers, chroma weights and motion-vector cost arrays,
  // built at open and shared by every frame and row context of this
  // instance (never by other instances).
  struct analysis_tables_t *tables;
  // One signed byte per CTU of the picture, in raster order, for the
  // debugging helpers that print it and read it back
  // (analysis/ctu_debug_map.h); no encode reads or writes it.
  int8_t *ctu_debug_map;
};

// How many pictures of each kind the frame pool makes, and how many sets of
// sub-pel planes (the derivation is at the definition).
struct pool_bounds_t {
  int32_t inputs, recons, plane_sets;
};
pool_bounds_t picture_pool_bounds(const param_t &p, int32_t decision_delay, int32_t contexts, int32_t dpb_size);
// The pool ran short of `what`, which its bounds exclude: says so, and stops
// a debug build.
void pool_exhausted(const encoder_t *enc, const char *what);

// Lifecycle (the public functions wrap these).
encoder_t *encoder_open(tarnhevcenc_param_t *pub);
void encoder_close(encoder_t *enc);
int encoder_encode_frame(encoder_t *enc, const uint8_t *const planes[3], const int32_t strides[3], int64_t pts,
                         tarnhevcenc_frame_opts_t *opts, const uint8_t **out);
int encoder_get_header(encoder_t *enc, uint8_t *buf, int32_t buf_size);

// Per-picture arrays of a frame context, and the working buffers that every
// row context has of its own.
int ctx_alloc_picture_arrays(encoder_t *ctx);
void ctx_free_picture_arrays(encoder_t *ctx);
int ctx_alloc_ctu_arrays(encoder_t *ctx);
void ctx_free_ctu_arrays(encoder_t *ctx);

// What a finished CTU row leaves for the end of its picture, once its row
// context serves another row: where its substream ends in the unit arena
// (it lies there already) and its entry point size, the estimated bits and
// the rate control's QP sums.  Kept apart from the frame context, which
// rows starting meanwhile copy.
struct row_result_t {
  size_t stream_end;
  uint32_t entry_size;
  uint64_t est_bits;
  double qp_sum, coded_qp_sum;
  rc_picture_counts_t counts;
};

struct row_buffers_t {
  uint8_t *ctu_block;
  uint8_t *ctu_src, *ctu_rec;
  ctu_maps_t *maps;
  struct cu_node_t *nodes;
  struct cu_snapshot_t *snapshots;
  struct tu_state_t *tu_states;
  uint8_t *pred_work;
  struct lowres_cu_search_t *lowres;
  int16_t *coef_tmp, *dq_tmp;
  struct quant_memo_t *quant_memo;
  struct pred_cache_t *pred_cache;
  int16_t *sao_diff[3];
  uint8_t *sao_scratch;
  int8_t *ctu_debug_map;
};
// Twice the most coded bytes per luma sample that coded_bytes_bound allows
// (its derivation is at its definition).
inline constexpr int32_t CODED_BYTES_PER_LUMA_SAMPLE_X2 = 15;
// The most coded slice data `ctus` CTUs of `ctx`'s picture width can take
// (one wavefront substream is a CTU row of them); the derivation is at the
// definition.
size_t coded_bytes_bound(const encoder_t *ctx, int64_t ctus);
// The room of one row's substream in the unit arena: the bound of a row.
size_t substream_slot_bytes(const encoder_t *ctx);
// Room for the slice header in front of the slice data.
constexpr size_t SLICE_HEADER_ROOM = 4096;
void row_buffers_save(const encoder_t *ctx, row_buffers_t *b);
void row_buffers_restore(encoder_t *ctx, const row_buffers_t *b);

// Whether list 1 holds the pictures after this one (B and reference-B
// pictures); a P picture sent as a B slice repeats list 0 there instead.
inline bool list1_is_future(const encoder_t *ctx) {
  return ctx->slice_type_code == 0 && ctx->cur_input->frame_type_code != TARNHEVCENC_TYPE_P;
}
// The picture's class for rate control, by its type whatever slice it is
// sent as: 0 B, 1 P, 2 intra (also a P picture left without references).
inline int32_t picture_class(const encoder_t *ctx) {
  if (ctx->slice_type_code == 2) return 2;
  return ctx->cur_input->frame_type_code == TARNHEVCENC_TYPE_P ? 1 : 0;
}

// After the last CTU of the picture set up in ctx: the slice NAL unit (from
// the row substreams), SAO application and border extension.
int picture_finish(encoder_t *ctx);
