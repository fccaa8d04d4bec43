// Parameter sets and slice segment header.
#pragma once

#include <cstdint>

#include "bitstream/bitwriter.h"

struct param_t;

struct sps_t {
  int32_t pic_width, pic_height;  // coded size, multiples of the minimum CU size
  int32_t conf_win_right, conf_win_bottom;  // in chroma samples (4:2:0: luma / 2)
  int32_t log2_min_cb;        // 3
  int32_t log2_ctb;           // 6
  int32_t log2_min_tb;        // 2
  int32_t log2_max_tb;        // 5
  int32_t max_tr_depth_intra;
  int32_t max_tr_depth_inter;
  int32_t log2_max_poc_lsb;
  int32_t max_dec_pic_buffering;
  int32_t max_num_reorder;
  int32_t amp_enabled;
  int32_t sao_enabled;
  int32_t temporal_mvp_enabled;
  int32_t strong_intra_smoothing;  // always 0: references are smoothed by [1,2,1] only
  int32_t level_idc;
  uint32_t fps_num, fps_den;
  int32_t compat;  // HM compatibility x10 (91, 100, 120): selects the layouts written
};

struct pps_t {
  int32_t sign_data_hiding;
  int32_t cabac_init_present;
  int32_t num_ref_idx_l0_default, num_ref_idx_l1_default;
  int32_t init_qp;
  int32_t cu_qp_delta_enabled;
  int32_t diff_cu_qp_delta_depth;
  int32_t entropy_coding_sync;
  int32_t deblocking_disabled;
  int32_t loop_filter_across_slices;
  int32_t compat;
};

// Smallest level whose picture-size and sample-rate limits hold the stream.
int32_t level_for(int32_t width, int32_t height, uint32_t fps_num, uint32_t fps_den);

void sps_init(sps_t *sps, const param_t *p);
void pps_init(pps_t *pps, const param_t *p, const sps_t *sps);

// profile_tier_level with every sub-layer flag 0; the layout follows compat.
void write_profile_tier_level(bitwriter_t *bw, int32_t level_idc, int32_t max_sub_layers_minus1, int32_t compat);
void write_vps(bitwriter_t *bw, const sps_t *sps);
void write_sps(bitwriter_t *bw, const sps_t *sps);
void write_pps(bitwriter_t *bw, const pps_t *pps);

struct slice_header_t {
  int32_t nal_type;
  int32_t slice_type;  // slice_type_code: 0 B, 1 P, 2 I
  int32_t poc;
  int32_t slice_qp;
  int32_t sao_luma, sao_chroma;
  // Short-term reference picture set (explicit in the slice header).
  int32_t rps_count;
  const int32_t *rps_delta;  // POC differences to the current picture
  const int32_t *rps_used;
  int32_t num_ref_active[2];
  int32_t col_from_l0;
  int32_t max_merge_cand;
  int32_t num_entry_points;
  // Bytes of substreams 0..n-1 as entry points count them (entry_point_bytes).
  const uint32_t *entry_point_sizes;
};
void write_slice_header(bitwriter_t *bw, const sps_t *sps, const pps_t *pps, const slice_header_t *sh);

// What an entry point counts of a substream of `size` RBSP bytes: the bytes
// it occupies after emulation prevention, as the final standard counts; the
// HM 9.1 and 10.0 decoders cut the unescaped slice data and count RBSP
// bytes.  A substream ends in a byte holding a 1 bit, so no prevention byte
// straddles two substreams and each one is counted on its own.
uint32_t entry_point_bytes(int32_t compat, const uint8_t *substream, uint32_t size);
