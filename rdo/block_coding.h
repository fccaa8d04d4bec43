// Prediction, transform, quantisation and reconstruction of the blocks of
// one CTU in the context's working buffers.
#pragma once

#include <cstdint>

#include "encoder/encoder.h"

struct analysis_tables_t;

// Plane buffers of the current CTU at a block position (plane samples,
// CTU-relative); inline, as every trial of the analysis asks for them.
inline uint8_t *ctu_src_at(encoder_t *ctx, int32_t plane, int32_t x, int32_t y) {
  if (plane == 0) return ctx->ctu_src + y * SRC_STRIDE + x;
  return ctx->ctu_src + (64 + y) * SRC_STRIDE + (plane == 2 ? 32 : 0) + x;
}
inline uint8_t *ctu_rec_at(encoder_t *ctx, int32_t plane, int32_t x, int32_t y) {
  if (plane == 0) return ctx->ctu_rec + y * RECON_STRIDE + x;
  return ctx->ctu_rec + y * RECON_STRIDE + (plane == 2 ? 96 : 64) + x;
}

// H.265 8.6.1: QpC from QpY without offsets (4:2:0 table).
int32_t chroma_qp(int32_t qpy);
// H.265 7.4.9.11: scanIdx of a transform block (0 diagonal, 1 horizontal, 2 vertical).
// The scan of each intra mode on the blocks whose scan follows the mode:
// vertical around the horizontal modes 6..14, horizontal around the
// vertical modes 22..30 (one load instead of two range tests per block).
struct intra_scan_table_t {
  uint8_t of_mode[64];
  constexpr intra_scan_table_t() : of_mode{} {
    for (int32_t m = 6; m <= 14; m++) of_mode[m] = 2;
    for (int32_t m = 22; m <= 30; m++) of_mode[m] = 1;
  }
};
inline constexpr intra_scan_table_t intra_scan_table;
inline int32_t scan_idx_for(int32_t is_intra, int32_t pred_mode, int32_t log2_size, int32_t plane) {
  if (!is_intra) return 0;
  if (log2_size == 2 || (log2_size == 3 && plane == 0)) return intra_scan_table.of_mode[pred_mode & 63];
  return 0;
}
// H.265 8.4.3: chroma prediction mode from intra_chroma_pred_mode and the luma mode.
int32_t chroma_mode_of(int32_t syntax, int32_t luma_mode);

// Builds the neighbour array of an intra block (H.265 8.4.4.2.2 availability
// and substitution), smooths it when the luma filter rule asks for it
// (8.4.4.2.3) and predicts into the reconstruction buffer.
void intra_predict_block(encoder_t *ctx, int32_t plane, int32_t x, int32_t y, int32_t log2_size, int32_t mode);
// The neighbour array of an N x N block (N up to 64; 4N + 1 samples, the
// layout of the predictors); with from_source the samples inside the CTU
// are taken from its source instead of its reconstruction.
void intra_build_neighbours(encoder_t *ctx, int32_t plane, int32_t x, int32_t y, int32_t n, int32_t from_source,
                            uint8_t *nb);
// The two halves of intra_predict_block, for trying many modes on one block:
// the neighbour array (and, for luma, its smoothed copy) once, then any
// number of predictions from it.
void intra_prepare_refs(encoder_t *ctx, int32_t plane, int32_t x, int32_t y, int32_t log2_size);
// Mode trials on one region (a CU or a 4x4 prediction unit at CTU-relative
// luma position x, y) that change no sample outside it: between begin and
// end, the arrays of blocks at the region's top-left corner (every size,
// luma, and chroma for regions of 8x8 and above) are built once and kept.
void intra_refs_keep_begin(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size);
void intra_refs_keep_end(encoder_t *ctx);
// A luma tree search about to try the four quarters of the block at x, y
// (log2 size 3..5) whose neighbour array ctx->nb_luma holds: while they are
// tried, their arrays are derived from it (begin returns false, and end
// need not be called, where it cannot serve: an edge of the block is
// missing).  Nests, innermost last.
bool intra_quarters_begin(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size);
void intra_quarters_end(encoder_t *ctx);
void intra_predict_prepared(encoder_t *ctx, int32_t plane, int32_t x, int32_t y, int32_t log2_size, int32_t mode);
// intra_predict_block of a 4x4 luma block, quicker for a quarter of the
// innermost 8x8 block whose quarters are tried.
void intra_predict_luma_4x4(encoder_t *ctx, int32_t x, int32_t y, int32_t mode);

// Chroma distortion weight of a QP (1/256 units).
uint32_t chroma_weight(const analysis_tables_t *tables, int32_t qp);

// A 64x64 luma block is predicted per 32x32 transform block in z-order,
// each from the blocks before it; with from_source the neighbours inside the
// CTU are source samples, so the earlier quadrants' predictions do not matter.
void intra_predict_luma_64(encoder_t *ctx, int32_t x, int32_t y, int32_t mode, bool from_source);
// The luma prediction of a mode trial on an intra block of any size: its
// neighbour array first where ctx->intra_refs_refresh asks for it (the
// trials after the first reuse it), a 64x64 block as intra_predict_luma_64.
void intra_predict_luma(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t mode);
// Rough costs of luma modes on one block (log2 size 2..6): modes[i]
// predicted as intra_predict_luma predicts it and costed against the source
// by kernel into costs[i].  The reconstruction is left holding the last
// mode's prediction, as predicting the modes one after another leaves it.
void intra_rough_luma_costs(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, pixel_cost_fn kernel,
                            const uint8_t *modes, int32_t count, uint32_t *costs);

// Transforms source minus the prediction in place, quantises at qp into
// levels (row-major, stride N), applies sign hiding when enabled, and adds
// the reconstructed residual to the prediction.  Returns the non-zero count.
uint32_t transform_block_code(encoder_t *ctx, int32_t plane, int32_t x, int32_t y, int32_t log2_size, int32_t qp,
                              int32_t is_intra, int32_t pred_mode, int16_t *levels);

// Codes an intra CU as committed in ctx->maps (modes, transform leaves) at
// CTU-relative luma position (x, y): prediction and residual of every
// transform block in decoding order; writes the cbf bits.  Returns 1 when
// any block has a coded coefficient.
int32_t intra_cu_code(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t qp);
// The same for its luma blocks alone (the chroma blocks, which read and
// change nothing the luma blocks do, left as they are).
int32_t intra_cu_code_luma(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t qp);
// The same but for the first luma block, left as it is (coded in place from
// the same states): the quantiser's luma scratch states are set as coding
// it would leave them, the two bytes at copies.
int32_t intra_cu_code_luma_after_first(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t qp,
                                       const uint8_t *copies);
// One block (plane 1 Cb, 2 Cr) of the chroma pair of the intra luma
// transform block (log2 size 3..5) at (x, y), as intra_cu_code codes it
// after that block (Cb, then Cr); writes its cbf bit and returns whether
// it has a coded coefficient.
bool intra_leaf_code_chroma(encoder_t *ctx, int32_t plane, int32_t x, int32_t y, int32_t log2_size, int32_t qp);
