// The seven function-pointer tables through which every sample-level
// operation of the encoder runs.  Each table is filled once at encoder
// creation: portable functions first, then the SSSE3 tier (cpu flag 2), then
// the AVX2 tier (cpu flag 4).  Call sites never test CPU flags.
#pragma once

#include <cstddef>
#include <cstdint>

struct encoder_t;
struct cabac_est_t;

// Working-buffer strides shared by every block function.
constexpr int SRC_STRIDE = 64;   // CTU source copy
constexpr int RECON_STRIDE = 128;  // prediction / reconstruction buffer

// ---------------------------------------------------------------- transform
// Forward: residual = src (stride 64) - pred (stride 128), coefficients
// row-major at stride N.  Inverse: recon holds the prediction (stride 128) on
// entry and receives prediction + residual clipped to 0..255.
// The 4x4 mode argument is the luma intra mode 0..34 (DST) or 35 (DCT).
using dct_fwd_fn = void (*)(int16_t *coef, const uint8_t *src, const uint8_t *pred);
using dct_fwd_arg_fn = void (*)(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t arg);
using dct_inv_fn = void (*)(uint8_t *recon, const int16_t *coef);
using dct_inv_arg_fn = void (*)(uint8_t *recon, const int16_t *coef, int32_t arg);

struct transform_funcs_t {
  dct_fwd_arg_fn dct_fwd_4x4;          // 0
  dct_inv_arg_fn dct_inv_add_4x4;      // 1
  dct_fwd_fn dct_fwd_8x8;              // 2
  dct_fwd_arg_fn dct_fwd_low_8x8;      // 3
  dct_inv_fn dct_inv_add_8x8;          // 4
  dct_inv_arg_fn dct_inv_add_low_8x8;  // 5
  dct_fwd_fn dct_fwd_16x16;            // 6
  dct_fwd_arg_fn dct_fwd_low_16x16;    // 7
  dct_inv_fn dct_inv_add_16x16;        // 8
  dct_inv_arg_fn dct_inv_add_low_16x16;  // 9
  dct_fwd_fn dct_fwd_32x32;            // 10
  dct_fwd_arg_fn dct_fwd_low_32x32;    // 11
  dct_inv_fn dct_inv_add_32x32;        // 12
  dct_inv_arg_fn dct_inv_add_low_32x32;  // 13
  uint32_t (*coeff_cost)(const int16_t *coef, int32_t log2_size);  // 14
};

void setup_transform_primitives(uint32_t cpu_flags, transform_funcs_t *t);

// ------------------------------------------------------------- quantisation
// Flat (no scaling list) quantisation of an n-coefficient block:
//   level = sign(c) * ((|c| * scale + offset) >> shift), clipped to int16.
// Returns the number of non-zero levels.
using quant_fn = uint32_t (*)(int16_t *levels, const int16_t *coef, int32_t count, int32_t scale,
                              int32_t shift, int32_t offset);
// Dequantisation, H.265 8.6.4.2 with m = 16 folded into scale:
//   c = clip16((level * scale + (1 << (shift - 1))) >> shift).
using dequant_fn = void (*)(int16_t *coef, const int16_t *levels, int32_t count, int32_t scale, int32_t shift);
uint32_t quant_c(int16_t *levels, const int16_t *coef, int32_t count, int32_t scale, int32_t shift, int32_t offset);
void dequant_c(int16_t *coef, const int16_t *levels, int32_t count, int32_t scale, int32_t shift);

// Rate-distortion optimised quantisation of one transform block: levels
// (row-major, never above the plainly rounded level) minimising pixel SSD +
// lambda * bits, the bits priced from est's context states, except that the
// first luma / chroma sig_coeff_flag and greater1 contexts (47, 74, 149,
// 165) are read from their copies in est->state[186..189], which are
// advanced over the chosen levels' bins; no other byte of *est changes.
// rdoq weighs chroma distortion by chroma_weight / 256; rdoq_alt instead
// takes (lambda << 9) / chroma_weight as chroma lambda, and searches more
// thoroughly (every candidate level and last position, adapting states,
// a second decision once the last position is known).  The bits of the
// block's coded flag for either outcome (cbf_bits) weigh coding the block
// against leaving it empty.  Lambda 0 gives rounding to nearest; without
// est both quantise plainly (offset of quant_params).  Returns the number
// of non-zero levels.
struct rdoq_request_t {
  int16_t *levels;
  const int16_t *coef;
  int32_t log2_size;
  int32_t plane;      // 0 luma, 1 Cb, 2 Cr
  int32_t qp;         // QP of the component
  int32_t is_intra;
  int32_t scan_type;  // 0 diagonal, 1 horizontal, 2 vertical
  uint32_t lambda;    // lambda_ssd (lambda * 256)
  int32_t chroma_weight;  // chroma_weight_table[QP], 1/256 units
  cabac_est_t *est;
  uint32_t cbf_bits[2];  // 1/256 bit: the block's coded flag as 0 (empty) and as 1
};
using rdoq_fn = uint32_t (*)(const rdoq_request_t *req);
uint32_t rdoq_c(const rdoq_request_t *req);
uint32_t rdoq_alt_c(const rdoq_request_t *req);

// Sign data hiding over a block of levels (row-major, stride 2^log2_size,
// each within +-32767, nonzero of them not 0) quantised from coef with the
// quantiser's scale (1..2^15) and shift (1..30): in every 4x4 group whose
// first and last levels in the scan order of scan_type lie more than 3
// entries apart and whose level sum's parity disagrees with the first
// level's sign, the one level change of least cost (squared error in
// quantiser units plus rate_weight times its rough bits; rate_weight finite,
// not negative) is made.  Returns the non-zero count after the changes.
using sign_hide_fn = uint32_t (*)(int16_t *levels, const int16_t *coef, int32_t log2_size, int32_t scan_type,
                                  uint32_t nonzero, int32_t scale, int32_t shift, double rate_weight);
uint32_t sign_hide_c(int16_t *levels, const int16_t *coef, int32_t log2_size, int32_t scan_type, uint32_t nonzero,
                     int32_t scale, int32_t shift, double rate_weight);

struct quant_funcs_t {
  quant_fn quant;          // 0
  dequant_fn dequant;      // 1
  rdoq_fn rdoq;            // 2
  rdoq_fn rdoq_alt;        // 3
  sign_hide_fn sign_hide;  // 4
};

void setup_quant_primitives(uint32_t cpu_flags, quant_funcs_t *q);

// Quantiser parameters of H.265 for a block of log2 size at QP (8-bit video).
struct quant_params_t {
  int32_t scale, shift, offset;
};
// Flat quantiser (H.265 8.6.2 step ratios, 8-bit video) of a QP and block
// size, inline: every transform block asks for both.
// quant_scale[k] * level_scale[k] ~ 2^20.  At namespace scope, so that a
// call reads them where they lie instead of building them on its stack.
inline constexpr int32_t quant_scale[6] = {26214, 23302, 20560, 18396, 16384, 14564};
inline constexpr int32_t level_scale[6] = {40, 45, 51, 57, 64, 72};
// qp / 6 and qp % 6, looked up for the QPs of 8-bit video rather than
// divided at every block; divided for any other.
struct qp_split_t {
  int32_t per, rem;
};
struct qp_split_table_t {
  int8_t per[64], rem[64];
};
inline constexpr qp_split_table_t qp_split_table = [] {
  qp_split_table_t t{};
  for (int32_t qp = 0; qp < 64; qp++) {
    t.per[qp] = static_cast<int8_t>(qp / 6);
    t.rem[qp] = static_cast<int8_t>(qp % 6);
  }
  return t;
}();
constexpr qp_split_t qp_split(int32_t qp) {
  if (static_cast<uint32_t>(qp) < 64) return {qp_split_table.per[qp], qp_split_table.rem[qp]};
  return {qp / 6, qp % 6};
}
constexpr quant_params_t quant_params(int32_t qp, int32_t log2_size, int32_t is_intra) {
  quant_params_t q{};
  const qp_split_t d = qp_split(qp);
  q.scale = quant_scale[d.rem];
  // The forward transform leaves 15 - bit depth - log2 size bits of headroom.
  q.shift = 14 + d.per + (15 - 8 - log2_size);
  // Rounding offset of 1/3 (intra) or 1/6 (inter) of a step.
  q.offset = (is_intra ? 171 : 85) << (q.shift - 9);
  return q;
}
constexpr quant_params_t dequant_params(int32_t qp, int32_t log2_size) {
  quant_params_t q{};
  const qp_split_t d = qp_split(qp);
  q.scale = (16 * level_scale[d.rem]) << d.per;
  q.shift = 8 + log2_size - 5;
  q.offset = 1 << (q.shift - 1);
  return q;
}

// --------------------------------------------------------- intra prediction
// Neighbour array of an N x N block (4N + 1 samples): [0] corner,
// [1..2N] above then above-right, [2N+1..4N] left then below-left.
using intra_pred_fn = void (*)(uint8_t *dst, intptr_t dst_stride, const uint8_t *nb);
using intra_ref_filter_fn = void (*)(const uint8_t *src, uint8_t *dst);

// 284 cells: 0..3 reference smoothing 4x4..32x32, then the predictor of mode m
// (0 planar, 1 DC, 2..34 angular) for size 2^log2 at cell
// 4 + 8 * m + 4 * f + (log2 - 2); f = 1 is the cell with the standard's
// boundary filter (DC, modes 10 and 26 below 32x32).
struct intra_funcs_t {
  intra_ref_filter_fn ref_filter[4];
  intra_pred_fn pred[280];
};
constexpr int intra_cell(int mode, int filt, int log2_size) {
  return 4 + 8 * mode + 4 * filt + (log2_size - 2);
}
inline intra_pred_fn intra_predictor(const intra_funcs_t &t, int mode, int filt, int log2_size) {
  return t.pred[intra_cell(mode, filt, log2_size) - 4];
}

void setup_intra_primitives(uint32_t cpu_flags, intra_funcs_t *t);
// The portable angular predictor (H.265 8.4.4.2.6), mode 2..34.
void intra_ang_c(uint8_t *dst, intptr_t dst_stride, const uint8_t *nb, int32_t mode, int32_t size,
                 int32_t edge_filter);
// H.265 8.4.4.2.3 filterFlag of a luma block (strong smoothing off): whether
// mode m at 2^log2_size predicts from the [1,2,1]-smoothed neighbours.
// Inline: every luma prediction asks (constexpr: tables are built from it).
constexpr bool intra_needs_smoothing(int mode, int log2_size) {
  // Planar counts as mode 0.
  if (log2_size <= 2 || log2_size > 5 || mode == 1) return false;
  const int d26 = mode > 26 ? mode - 26 : 26 - mode, d10 = mode > 10 ? mode - 10 : 10 - mode;
  const int dist = d26 < d10 ? d26 : d10;
  const int threshold = log2_size == 3 ? 7 : (log2_size == 4 ? 1 : 0);
  return dist > threshold;
}

// ------------------------------------------------------- motion compensation
// 16-bit predictions (mc_luma_ps, mc_chroma_ps, bipred_avg) hold H.265's
// 14-bit intermediate values modulo 2^16: the two-dimensional luma value
// reaches 33150, beyond int16, so a stored s stands for s + 65536 when
// s < PS_VALUE_MIN.  Every value H.265 produces lies in
// [PS_VALUE_MIN, PS_VALUE_MIN + 65535].
constexpr int32_t PS_VALUE_MIN = -24576;
inline int32_t ps_value(int16_t s) { return s < PS_VALUE_MIN ? s + 65536 : s; }

struct mc_funcs_t {
  void (*mc_luma)(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, const int16_t *const *hplanes,
                  int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h);  // 0
  const int16_t *(*mc_luma_ps)(int16_t *dst, int32_t *dst_stride, const uint8_t *ref,
                               const int16_t *const *hplanes, int32_t ref_stride, int32_t mvx, int32_t mvy,
                               int32_t w, int32_t h);  // 1
  void (*mc_chroma)(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx,
                    int32_t mvy, int32_t w, int32_t h);  // 2
  void (*mc_chroma_ps)(int16_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx,
                       int32_t mvy, int32_t w, int32_t h);  // 3
  void (*bipred_avg)(uint8_t *dst, int32_t dst_stride, const int16_t *a, int32_t a_stride, const int16_t *b,
                     int32_t b_stride, int32_t w, int32_t h);  // 4
  void (*luma_hfilter_planes)(int16_t *q, int16_t *h, int16_t *tq, const uint8_t *src, int32_t stride,
                              int32_t width, int32_t height, int32_t half_only);  // 5
  void (*subpel_planes_build)(uint8_t *const *planes, const uint8_t *src, const int16_t *const *hplanes,
                              int32_t stride, int32_t width, int32_t height, int32_t half_only);  // 6
  void (*subpel_plane_copy)(uint8_t *dst, int32_t dst_stride, const uint8_t *const *planes, int32_t stride,
                            int32_t mvx, int32_t mvy, int32_t w, int32_t h);  // 7
  const uint8_t *(*subpel_plane_ptr)(const uint8_t *const *planes, int32_t stride, int32_t mvx,
                                     int32_t mvy);  // 8
  void (*pixel_avg)(uint8_t *dst, int32_t dst_stride, const uint8_t *a, int32_t a_stride, const uint8_t *b,
                    int32_t b_stride, int32_t w, int32_t h);  // 9
  void (*lowres_init)(uint8_t *const *planes, int32_t lowres_stride, const uint8_t *src, int32_t src_stride,
                      int32_t width, int32_t height);  // 10
  void (*downscale_2x)(uint8_t *const *planes, int32_t lowres_stride, const uint8_t *src, int32_t src_stride,
                       int32_t width, int32_t height);  // 11
  const uint8_t *(*get_ref)(uint8_t *buf, int32_t *stride_io, const uint8_t *ref, const int16_t *const *hplanes,
                            int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h);  // 12
  const uint8_t *(*get_ref_bilinear)(uint8_t *buf, int32_t *stride_io, const uint8_t *ref, int32_t ref_stride,
                                     int32_t mvx, int32_t mvy, int32_t w, int32_t h);  // 13
  const uint8_t *(*chroma_fullpel_ptr)(const uint8_t *ref, int32_t stride, int32_t mvx, int32_t mvy);  // 14
  void (*mbtree_propagate_cost)(int32_t *out, const uint32_t *incoming, const uint32_t *intra,
                                const uint32_t *costs, const uint16_t *weights, int32_t count);  // 15
  void (*block_copy)(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t w,
                     int32_t h);  // 16
  void (*ctu_downscale_64x64)(uint8_t *block);         // 17
  void (*ctu_border_downscale_64x64)(uint8_t *block);  // 18
  void (*ctu_downscale_32x32)(uint8_t *block);         // 19
  void (*ctu_border_downscale_32x32)(uint8_t *block);  // 20
  uint32_t (*lowres_cost_energy)(uint32_t *out, const uint32_t *block_costs, int32_t blocks_x,
                                 int32_t blocks_y, int32_t stride, int32_t picture_type);  // 21
  // Plane 0 of lowres_init alone (both averages round up), planes[0] only.
  void (*lowres_plane0)(uint8_t *const *planes, int32_t lowres_stride, const uint8_t *src, int32_t src_stride,
                        int32_t width, int32_t height);  // 22
};
static_assert(sizeof(mc_funcs_t) == 23 * sizeof(void *));

void setup_mc_primitives(uint32_t cpu_flags, mc_funcs_t *m);

// ------------------------------------------------------------------ deblock
struct deblock_funcs_t {
  void (*deblock_luma_ver_edge)(uint8_t *pix, int32_t stride, int32_t beta, const int32_t tc[2]);  // 0
  void (*deblock_luma_hor_edge)(uint8_t *pix, int32_t stride, int32_t beta, const int32_t tc[2]);  // 1
  void (*deblock_chroma_ver_edge)(uint8_t *cb, uint8_t *cr, int32_t stride, const int32_t tc[2]);  // 2
  void (*deblock_chroma_hor_edge)(uint8_t *cb, uint8_t *cr, int32_t stride, const int32_t tc[2]);  // 3
};

void setup_deblock_primitives(uint32_t cpu_flags, deblock_funcs_t *d);

// -------------------------------------------------------------- pixel costs
using pixel_cost_fn = uint32_t (*)(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
using sad_x4_fn = void (*)(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           const uint8_t *r3, int32_t ref_stride, uint32_t out[4]);
using sad_x3_fn = void (*)(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, const uint8_t *r2,
                           int32_t ref_stride, uint32_t out[3]);
using sad_x2_fn = void (*)(const uint8_t *src, const uint8_t *r0, const uint8_t *r1, int32_t ref_stride,
                           uint32_t out[2]);
using pixel_var_fn = uint64_t (*)(const uint8_t *pix, int32_t stride);
using ssd_wxh_fn = uint32_t (*)(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, int32_t w,
                                int32_t h);
using hadamard_ac_fn = uint32_t (*)(const uint8_t *src, int32_t stride);
// Gradient pyramids of a CTU's 64x64 luma source: u32[85] per record, indexed
// by quad-tree node level by level (0 the CTU, 1-4 the 32x32 quadrants, 5-20
// the 16x16 blocks, 21-84 the 8x8 blocks, each level in raster order).  The
// padding puts the 32x32, 16x16 and 8x8 levels on 16-byte boundaries.
struct gradient_record_t {
  uint32_t pad[3];
  uint32_t node[85];
};
struct alignas(16) ctu_gradients_t {
  gradient_record_t combined;  // H + V
  gradient_record_t dir[4];    // V, H, down-right diagonal, down-left diagonal
};
// (CTU source at stride 64, records of the calling context) -> the 64x64
// entry of the last record written.
using gradient_fn = uint32_t (*)(const uint8_t *src, ctu_gradients_t *g);
using count_nonzero_fn = uint32_t (*)(const int16_t *coef, int32_t log2_size);
using coeff_scan_groups_fn = int32_t (*)(const uint16_t *scan, const int16_t *coef, uint16_t *signs,
                                         uint16_t *sigmap, uint8_t *counts, int32_t nonzero,
                                         const uint16_t *scan4x4, int32_t width);
using copy_aligned_fn = void (*)(uint8_t *dst, const uint8_t *src, int32_t dst_stride, int32_t src_stride);
// The levels of a 4x4 block (raster order, 16 values) in the order the
// residual syntax reads them: the non-zero ones from the last entry of the
// 4x4 scan of scan_type (0 up-right diagonal, 1 horizontal, 2 vertical) down
// to the first, into out[0..n); out[n..16) are set to 0.  Returns the map of
// the non-zero entries, bit 15 - k for scan entry k.  Reads coef[0..16) and
// writes out[0..16) only.
using coeff_levels_4x4_fn = uint32_t (*)(const int16_t *coef, int32_t scan_type, int16_t *out);
// SATD of the 4x4 block a against each of four 4x4 blocks side by side in b
// (block k at b + 4k; rows of 16 bytes at b_stride) into out[0..4): the
// satd_4x4 of each pair, for trying four predictions of one block at once.
// Reads 4 bytes of each row of a and 16 of each row of b.
using satd_x4_fn = void (*)(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, uint32_t out[4]);
// The unrounded SA8D sums (sa8d_raw_8x8 of each pair) of the 8x8 blocks of
// a - b in raster order into raw[0..n), n the block's count of 8x8 blocks:
// every SA8D of the block or of a part of it made of whole 8x8 blocks
// follows from them, so the motion refinement keeps them per 8x8 block and
// vector.  Reads the block only.
using sa8d_blocks_fn = void (*)(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, uint32_t *raw);

// 129 slots; numbers in the comments are the slot numbers.  Size classes
// c = 0..4 are 64x64, 32x32, 16x16, 8x8, 4x4.
struct pixel_funcs_t {
  pixel_cost_fn sad_half[5];        // 0-4    sad_half_64x64 .. sad_half_4x4
  pixel_cost_fn sad[5];             // 5-9    sad_64x64 .. sad_4x4
  pixel_cost_fn sad_half_wide[5];   // 10-13  sad_half_64x32 .. sad_half_8x4 (14 unused)
  pixel_cost_fn sad_half_tall[5];   // 15-18  sad_half_32x64 .. sad_half_4x8 (19 unused)
  sad_x4_fn sad_x4_half[5];         // 20-23
  sad_x4_fn sad_x4_half_wide[5];    // 25-28
  sad_x4_fn sad_x4_half_tall[5];    // 30-33
  sad_x3_fn sad_x3_half[5];         // 35-39
  sad_x2_fn sad_x2_half[5];         // 40-44
  pixel_cost_fn ssd[5];             // 45-49  ssd_64x64 .. ssd_4x4
  pixel_cost_fn ssd_wide[5];        // 50-54  ssd_64x32 .. ssd_4x2
  pixel_cost_fn ssd_tall[5];        // 55-59  ssd_32x64 .. ssd_2x4
  pixel_cost_fn satd[5];            // 60-64  satd_64x64 .. satd_4x4
  pixel_cost_fn satd_wide[5];       // 65-69  satd_64x32 .. satd_8x4, satd_4x4 (no 4x2 SATD)
  pixel_cost_fn satd_tall[5];       // 70-74  satd_32x64 .. satd_4x8, satd_4x4 (no 2x4 SATD)
  // Cell 4 of the SA8D rows holds satd_4x4 (no SA8D below 8x8).
  pixel_cost_fn sa8d[5];            // 75-78  sa8d_64x64 .. sa8d_8x8 (79 satd_4x4)
  pixel_cost_fn sa8d_wide[5];       // 80-83  sa8d_64x32, sa8d_32x16, sa8d_16x8, satd_8x4
  pixel_cost_fn sa8d_tall[5];       // 85-88  sa8d_32x64, sa8d_16x32, sa8d_8x16, satd_4x8
  pixel_cost_fn sa8d_half[5];       // 90-93  sa8d_half_64x64 .. sa8d_half_8x8
  pixel_cost_fn block_cost[5];      // 95-98  (99: the 4x4 cost of the same choice)
  pixel_var_fn pixel_var_64x64;     // 100
  pixel_var_fn pixel_var_32x32;     // 101
  pixel_var_fn pixel_var_16x16;     // 102
  pixel_var_fn pixel_var_8x8;       // 103
  pixel_var_fn pixel_var_4x4;       // 104
  ssd_wxh_fn ssd_wxh;               // 105
  hadamard_ac_fn hadamard_ac_8x8;   // 106
  count_nonzero_fn count_nonzero;   // 107
  coeff_scan_groups_fn coeff_scan_groups;  // 108
  ssd_wxh_fn sad_wxh;               // 109  SAD of any w x h block, 0 when w or h <= 0
  gradient_fn ctu_gradient_pyramid;        // 110
  gradient_fn ctu_gradient_dir4_pyramid;   // 111
  gradient_fn ctu_gradient_hv_pyramid;     // 112
  gradient_fn ctu_gradient_diag_pyramid;   // 113
  copy_aligned_fn copy_to_aligned_64x64;   // 114
  copy_aligned_fn copy_to_aligned_32x32;   // 115
  copy_aligned_fn copy_from_aligned_64x64;  // 116
  copy_aligned_fn copy_from_aligned_32x32;  // 117
  coeff_levels_4x4_fn coeff_levels_4x4;     // 118
  satd_x4_fn satd_x4_4x4;                   // 119
  sa8d_blocks_fn sa8d_blocks_16x16;         // 120  four sums
  sa8d_blocks_fn sa8d_blocks_16x8;          // 121  two, left and right
  sa8d_blocks_fn sa8d_blocks_8x16;          // 122  two, upper and lower
  sa8d_blocks_fn sa8d_blocks_8x8;           // 123  one
  // The top or bottom half of a wide block, for costing a search's four
  // candidates half by half: 64x16, 32x8, 16x4 (the 8x8 block's halves take
  // sad_x4_half_wide[3]; 127-128 unused).
  sad_x4_fn sad_x4_half_flat[5];            // 124-126
};
static_assert(sizeof(pixel_funcs_t) == 129 * sizeof(void *));
static_assert(offsetof(pixel_funcs_t, ssd) == 45 * sizeof(void *));
static_assert(offsetof(pixel_funcs_t, satd) == 60 * sizeof(void *));
static_assert(offsetof(pixel_funcs_t, block_cost) == 95 * sizeof(void *));
static_assert(offsetof(pixel_funcs_t, ssd_wxh) == 105 * sizeof(void *));
static_assert(offsetof(pixel_funcs_t, ctu_gradient_pyramid) == 110 * sizeof(void *));
static_assert(offsetof(pixel_funcs_t, pixel_var_16x16) == 102 * sizeof(void *));
static_assert(offsetof(gradient_record_t, node[1]) % 16 == 0);

void setup_pixel_primitives(uint32_t cpu_flags, pixel_funcs_t *p, int32_t block_cost_level);

// --------------------------------------------------------------------- SAO
struct sao_stats_t {
  uint16_t count[32];
  int32_t sum[32];
};
static_assert(sizeof(sao_stats_t) == 192);

using sao_stats_fn = void (*)(sao_stats_t *out, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                              const int16_t *diff, void *scratch);
using sao_stats_wxh_fn = void (*)(sao_stats_t *out, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                                  const int16_t *diff, int32_t w, int32_t h, void *scratch);

struct sao_funcs_t {
  void (*sao_apply_ctu)(encoder_t *ctx, int32_t col, int32_t row, int32_t plane, int32_t shift, int32_t part);  // 0
  void (*sao_diff)(int16_t *diff, const uint8_t *rec, int32_t rec_stride, const uint8_t *src, int32_t src_stride,
                   int32_t is_luma);  // 1
  void (*sao_diff_wxh)(int16_t *diff, const uint8_t *rec, int32_t rec_stride, const uint8_t *src,
                       int32_t src_stride, int32_t is_luma, int32_t w, int32_t h);  // 2
  sao_stats_fn sao_stats_eo[4];          // 3-6
  sao_stats_fn sao_stats_bo;             // 7
  sao_stats_wxh_fn sao_stats_eo_wxh[4];  // 8-11
  sao_stats_wxh_fn sao_stats_bo_wxh;     // 12
  void *reserved[3];                     // 13-15
};
static_assert(sizeof(sao_funcs_t) == 16 * sizeof(void *));

void setup_sao_primitives(uint32_t cpu_flags, sao_funcs_t *s);

// Slot 0 (H.265 8.7.3 for one CTU and one plane): reads the deblocked block
// and one sample around it from the SAO source plane (frame_t::work) and
// writes the filtered block into the output plane, rows from the top down,
// which the source overlaps 4 rows lower and 32 samples further right.
// Edge offset filters the samples whose neighbours lie inside the picture
// and copies the picture's first and last column and row; band offset and
// "not applied" write the whole block, also past the picture's edges; edge
// classes write the rows and columns past the edge that the whole-block
// kernels of the vector tier write.  Type above 5: nothing.  `part` picks
// the block's rows: all of them (SAO_ROWS_ALL), the top ones whose filtered
// samples the deblocking of the CTU row below does not change (SAO_ROWS_TOP:
// all but the last n / 16), or those last rows (SAO_ROWS_BOTTOM); the two
// parts, top then bottom, write what the whole block writes.
enum sao_rows_t : int32_t { SAO_ROWS_ALL = 0, SAO_ROWS_TOP = 1, SAO_ROWS_BOTTOM = 2 };
void sao_apply_ctu_c(encoder_t *ctx, int32_t ctu_x, int32_t ctu_y, int32_t plane, int32_t shift, int32_t part);

// One CTU block of one plane as slot 0 sees it: block side n, output and
// source origins sharing one stride, the record's type and band, the
// offset table (entry e + 2 for edge value e, entry 2 zero; bands use 0, 1,
// 3, 4), fc / fr set in the first column / row, and the filtered extent w x
// h (n, or in the last column the index of the picture's last column in the
// block, likewise h); rows y0 .. y1 - 1 of the block are written.
struct sao_ctu_block_t {
  uint8_t *dst;
  const uint8_t *src;
  int32_t stride, n, type, band_position, fc, fr, w, h, y0, y1;
  int8_t *table;
};
// Where slot 0 keeps its offset table and band table in the scratch block.
constexpr int32_t SAO_OFFSET_TABLE_AT = 160;
constexpr int32_t SAO_BAND_TABLE_AT = 256;
// Fills the block record and writes the offset table into the context's
// scratch block (offsets shifted left by shift & 31, as bytes); false when
// the type is above 5 or negative.
bool sao_ctu_block_setup(encoder_t *ctx, int32_t ctu_x, int32_t ctu_y, int32_t plane, int32_t shift, int32_t part,
                         sao_ctu_block_t *b);
// The scalar edge-offset rows of slot 0 for edge class 0 to 3.
void sao_apply_edge_rows(const sao_ctu_block_t &b, int32_t eo_class);

// ------------------------------------------------------------ scan orders
// Coefficient scan positions (y * N + x) of square blocks 4x4..32x32 in
// diagonal, horizontal and vertical order, grouped by 4x4 sub-blocks: each
// run of 16 positions lies in one coefficient group, and the groups follow
// the same scan over the sub-block grid.
struct scan_tables_t {
  uint16_t *scan[3][4];  // [scan type][log2 size - 2]
  uint16_t storage[3 * (16 + 64 + 256 + 1024)];
};
void scan_tables_init(scan_tables_t *t);
