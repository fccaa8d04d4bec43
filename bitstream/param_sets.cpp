#include "bitstream/param_sets.h"

#include <algorithm>
#include <utility>

#include "bitstream/nal.h"
#include "encoder/param.h"

namespace {

struct level_limit_t {
  int32_t idc;  // level * 30
  int64_t max_luma_ps;
  int64_t max_luma_sr;
};

// H.265 Table A.6/A.8 (Main tier).
const level_limit_t level_limits[] = {
    {30, 36864, 552960},          {60, 122880, 3686400},        {63, 245760, 7372800},
    {90, 552960, 16588800},       {93, 983040, 33177600},       {120, 2228224, 66846720},
    {123, 2228224, 133693440},    {150, 8912896, 267386880},    {153, 8912896, 534773760},
    {156, 8912896, 1069547520},   {180, 35651584, 1069547520},  {183, 35651584, 2139095040},
    {186, 35651584, 4278190080LL},
};

// VUI timing from the frame rate and nothing else.  HM 9.1 keeps the timing
// inside an HRD block (with no NAL or VCL parameters), has no display-window
// offsets and codes poc_proportional_to_timing_flag outside the timing.
void write_vui(bitwriter_t *bw, const sps_t *sps) {
  bw_write(bw, 0, 1);  // aspect_ratio_info_present_flag
  bw_write(bw, 0, 1);  // overscan_info_present_flag
  bw_write(bw, 0, 1);  // video_signal_type_present_flag
  bw_write(bw, 0, 1);  // chroma_loc_info_present_flag
  bw_write(bw, 0, 1);  // neutral_chroma_indication_flag
  bw_write(bw, 0, 1);  // field_seq_flag: both old decoders refuse fields
  if (sps->compat < 100) {
    bw_write(bw, 0, 1);  // default_display_window_flag
    bw_write(bw, 0, 1);  // pic_struct_present_flag
    bw_write(bw, 1, 1);  // hrd_parameters_present_flag
    bw_write(bw, 1, 1);  // timing_info_present_flag
    bw_write(bw, sps->fps_den, 32);  // num_units_in_tick
    bw_write(bw, sps->fps_num, 32);  // time_scale
    bw_write(bw, 0, 1);  // nal_hrd_parameters_present_flag
    bw_write(bw, 0, 1);  // vcl_hrd_parameters_present_flag
    // One sub-layer.
    bw_write(bw, 0, 1);  // fixed_pic_rate_flag
    bw_write(bw, 0, 1);  // low_delay_hrd_flag
    bw_write_ue(bw, 0);  // cpb_cnt_minus1
    bw_write(bw, 0, 1);  // poc_proportional_to_timing_flag
  } else {
    bw_write(bw, 0, 1);  // frame_field_info_present_flag
    bw_write(bw, 0, 1);  // default_display_window_flag
    bw_write(bw, 1, 1);  // vui_timing_info_present_flag
    bw_write(bw, sps->fps_den, 32);  // vui_num_units_in_tick
    bw_write(bw, sps->fps_num, 32);  // vui_time_scale
    bw_write(bw, 0, 1);  // vui_poc_proportional_to_timing_flag
    bw_write(bw, 0, 1);  // vui_hrd_parameters_present_flag
  }
  bw_write(bw, 0, 1);  // bitstream_restriction_flag
}

}  // namespace

void write_profile_tier_level(bitwriter_t *bw, int32_t level_idc, int32_t max_sub_layers_minus1, int32_t compat) {
  bw_write(bw, 0, 2);  // general_profile_space
  bw_write(bw, 0, 1);  // general_tier_flag: Main tier
  bw_write(bw, 1, 5);  // general_profile_idc: Main
  // Compatible with Main (1) and Main 10 (2).
  bw_write(bw, 0x60000000u, 32);
  if (compat < 100) {
    // HM 9.1 knows neither the source nor the constraint flags.
    bw_write(bw, 0, 16);  // reserved zero bits
    bw_write(bw, static_cast<uint32_t>(level_idc), 8);
    // Per sub-layer, interleaved: profile and level present flags.
    for (int32_t i = 0; i < max_sub_layers_minus1; i++) bw_write(bw, 0, 2);
    return;
  }
  bw_write(bw, 1, 1);  // general_progressive_source_flag
  bw_write(bw, 0, 1);  // general_interlaced_source_flag
  bw_write(bw, 0, 1);  // general_non_packed_constraint_flag
  bw_write(bw, 1, 1);  // general_frame_only_constraint_flag
  bw_write(bw, 0, 32);  // 44 reserved zero bits
  bw_write(bw, 0, 12);
  bw_write(bw, static_cast<uint32_t>(level_idc), 8);
  // All flag pairs first, then padding up to eight sub-layers.
  for (int32_t i = 0; i < max_sub_layers_minus1; i++) bw_write(bw, 0, 2);
  if (max_sub_layers_minus1 > 0)
    for (int32_t i = max_sub_layers_minus1; i < 8; i++) bw_write(bw, 0, 2);  // reserved_zero_2bits
}

int32_t level_for(int32_t width, int32_t height, uint32_t fps_num, uint32_t fps_den) {
  int64_t ps = static_cast<int64_t>(width) * height;
  int64_t sr = fps_den ? ps * fps_num / fps_den : ps;
  int64_t maxdim = width > height ? width : height;
  for (const level_limit_t &l : level_limits) {
    // Neither dimension may exceed sqrt(8 * MaxLumaPs).
    if (ps <= l.max_luma_ps && maxdim * maxdim <= 8 * l.max_luma_ps && sr <= l.max_luma_sr) return l.idc;
  }
  return 186;
}

void sps_init(sps_t *sps, const param_t *p) {
  *sps = sps_t{};
  sps->pic_width = (p->width + 7) & ~7;
  sps->pic_height = (p->height + 7) & ~7;
  sps->conf_win_right = (sps->pic_width - p->width) / 2;
  sps->conf_win_bottom = (sps->pic_height - p->height) / 2;
  sps->log2_min_cb = 3;
  sps->log2_ctb = 6;
  sps->log2_min_tb = 2;
  sps->log2_max_tb = 5;
  sps->max_tr_depth_intra = 4;
  sps->max_tr_depth_inter = 4;
  sps->log2_max_poc_lsb = 8;
  // Reordering depth of the B pyramid; the buffer holds the two anchors,
  // the pyramid's references, the current picture and those awaiting output.
  sps->max_num_reorder = p->bframes ? std::min(p->bframes, p->hierarchy + 1) : 0;
  const int32_t brefs = p->bframes < 2 ? 0 : p->hierarchy == 1 ? 1 : p->hierarchy == 2 ? 3 : 0;
  sps->max_dec_pic_buffering = std::min(16, 3 + brefs + sps->max_num_reorder);
  sps->amp_enabled = 0;
  sps->sao_enabled = p->sao;
  sps->temporal_mvp_enabled = 1;
  sps->strong_intra_smoothing = 0;
  sps->fps_num = static_cast<uint32_t>(p->fps_num);
  sps->fps_den = static_cast<uint32_t>(p->fps_den);
  sps->level_idc = level_for(sps->pic_width, sps->pic_height, sps->fps_num, sps->fps_den);
  sps->compat = p->compat;
}

void pps_init(pps_t *pps, const param_t *p, const sps_t *) {
  *pps = pps_t{};
  pps->sign_data_hiding = p->sign_hiding;
  pps->cabac_init_present = 0;
  pps->num_ref_idx_l0_default = 1;
  pps->num_ref_idx_l1_default = 1;
  pps->init_qp = 26;
  // Per-CU QP changes are signalled when anything varies the QP inside a picture.
  pps->cu_qp_delta_enabled =
      (p->random_decisions || p->aq_mode || p->rcmode != 0 || (p->vbv_bufsize > 0 && p->vbv_maxrate > 0)) ? 1 : 0;
  pps->diff_cu_qp_delta_depth = p->random_decisions ? 3 : 0;
  pps->entropy_coding_sync = p->wpp;
  pps->deblocking_disabled = p->deblock ? 0 : 1;
  pps->loop_filter_across_slices = 0;
  pps->compat = p->compat;
}

void write_vps(bitwriter_t *bw, const sps_t *sps) {
  const bool hm91 = sps->compat < 100;
  bw_write(bw, 0, 4);  // vps_video_parameter_set_id
  if (hm91) {
    bw_write(bw, 1, 1);  // vps_temporal_id_nesting_flag
    bw_write(bw, 3, 2);  // vps_reserved_three_2bits
    bw_write(bw, 0, 6);  // vps_reserved_zero_6bits
    bw_write(bw, 0, 3);  // vps_max_sub_layers_minus1
  } else {
    bw_write(bw, 3, 2);  // vps_base_layer_internal_flag, vps_base_layer_available_flag
    bw_write(bw, 0, 6);  // vps_max_layers_minus1
    bw_write(bw, 0, 3);  // vps_max_sub_layers_minus1
    bw_write(bw, 1, 1);  // vps_temporal_id_nesting_flag
  }
  bw_write(bw, 0xffff, 16);  // vps_reserved_0xffff_16bits
  write_profile_tier_level(bw, sps->level_idc, 0, sps->compat);
  if (hm91) bw_write(bw, 0, 2);  // bit_rate_info_present_flag, pic_rate_info_present_flag
  bw_write(bw, 1, 1);  // vps_sub_layer_ordering_info_present_flag
  bw_write_ue(bw, static_cast<uint32_t>(sps->max_dec_pic_buffering - 1));
  bw_write_ue(bw, static_cast<uint32_t>(sps->max_num_reorder));
  bw_write_ue(bw, 0);  // vps_max_latency_increase_plus1
  if (hm91) {
    // No timing here; HRD parameters are not read and must be absent.
    bw_write_ue(bw, 0);  // vps_num_hrd_parameters
    bw_write(bw, 0, 6);  // vps_max_nuh_reserved_zero_layer_id
  } else {
    bw_write(bw, 0, 6);  // vps_max_layer_id
    bw_write_ue(bw, 0);  // vps_num_layer_sets_minus1
    bw_write(bw, 1, 1);  // vps_timing_info_present_flag
    bw_write(bw, sps->fps_den, 32);
    bw_write(bw, sps->fps_num, 32);
    bw_write(bw, 0, 1);  // vps_poc_proportional_to_timing_flag
    // HM 10.0 misreads VPS HRD parameters, so there are none.
    bw_write_ue(bw, 0);  // vps_num_hrd_parameters
  }
  bw_write(bw, 0, 1);  // vps_extension_flag
  bw_trailing_bits(bw);
}

void write_sps(bitwriter_t *bw, const sps_t *sps) {
  bw_write(bw, 0, 4);  // sps_video_parameter_set_id
  bw_write(bw, 0, 3);  // sps_max_sub_layers_minus1
  bw_write(bw, 1, 1);  // sps_temporal_id_nesting_flag
  write_profile_tier_level(bw, sps->level_idc, 0, sps->compat);
  bw_write_ue(bw, 0);  // sps_seq_parameter_set_id
  bw_write_ue(bw, 1);  // chroma_format_idc 4:2:0
  bw_write_ue(bw, static_cast<uint32_t>(sps->pic_width));
  bw_write_ue(bw, static_cast<uint32_t>(sps->pic_height));
  int32_t window = sps->conf_win_right || sps->conf_win_bottom;
  bw_write(bw, static_cast<uint32_t>(window), 1);
  if (window) {
    bw_write_ue(bw, 0);
    bw_write_ue(bw, static_cast<uint32_t>(sps->conf_win_right));
    bw_write_ue(bw, 0);
    bw_write_ue(bw, static_cast<uint32_t>(sps->conf_win_bottom));
  }
  bw_write_ue(bw, 0);  // bit_depth_luma_minus8
  bw_write_ue(bw, 0);  // bit_depth_chroma_minus8
  bw_write_ue(bw, static_cast<uint32_t>(sps->log2_max_poc_lsb - 4));
  bw_write(bw, 1, 1);  // sps_sub_layer_ordering_info_present_flag
  bw_write_ue(bw, static_cast<uint32_t>(sps->max_dec_pic_buffering - 1));
  bw_write_ue(bw, static_cast<uint32_t>(sps->max_num_reorder));
  bw_write_ue(bw, 0);  // sps_max_latency_increase_plus1
  bw_write_ue(bw, static_cast<uint32_t>(sps->log2_min_cb - 3));
  bw_write_ue(bw, static_cast<uint32_t>(sps->log2_ctb - sps->log2_min_cb));
  bw_write_ue(bw, static_cast<uint32_t>(sps->log2_min_tb - 2));
  bw_write_ue(bw, static_cast<uint32_t>(sps->log2_max_tb - sps->log2_min_tb));
  bw_write_ue(bw, static_cast<uint32_t>(sps->max_tr_depth_inter));
  bw_write_ue(bw, static_cast<uint32_t>(sps->max_tr_depth_intra));
  bw_write(bw, 0, 1);  // scaling_list_enabled_flag
  bw_write(bw, static_cast<uint32_t>(sps->amp_enabled), 1);
  bw_write(bw, static_cast<uint32_t>(sps->sao_enabled), 1);
  bw_write(bw, 0, 1);  // pcm_enabled_flag
  bw_write_ue(bw, 0);  // num_short_term_ref_pic_sets: every slice carries its own
  bw_write(bw, 0, 1);  // long_term_ref_pics_present_flag
  bw_write(bw, static_cast<uint32_t>(sps->temporal_mvp_enabled), 1);
  bw_write(bw, static_cast<uint32_t>(sps->strong_intra_smoothing), 1);
  bw_write(bw, 1, 1);  // vui_parameters_present_flag
  write_vui(bw, sps);
  bw_write(bw, 0, 1);  // sps_extension_present_flag
  bw_trailing_bits(bw);
}

void write_pps(bitwriter_t *bw, const pps_t *pps) {
  bw_write_ue(bw, 0);  // pps_pic_parameter_set_id
  bw_write_ue(bw, 0);  // pps_seq_parameter_set_id
  bw_write(bw, 0, 1);  // dependent_slice_segments_enabled_flag
  // HM 9.1 has the next two fields further down.
  const bool hm91 = pps->compat < 100;
  if (!hm91) {
    bw_write(bw, 0, 1);  // output_flag_present_flag
    bw_write(bw, 0, 3);  // num_extra_slice_header_bits
  }
  bw_write(bw, static_cast<uint32_t>(pps->sign_data_hiding), 1);
  bw_write(bw, static_cast<uint32_t>(pps->cabac_init_present), 1);
  bw_write_ue(bw, static_cast<uint32_t>(pps->num_ref_idx_l0_default - 1));
  bw_write_ue(bw, static_cast<uint32_t>(pps->num_ref_idx_l1_default - 1));
  bw_write_se(bw, pps->init_qp - 26);
  bw_write(bw, 0, 1);  // constrained_intra_pred_flag
  bw_write(bw, 0, 1);  // transform_skip_enabled_flag
  bw_write(bw, static_cast<uint32_t>(pps->cu_qp_delta_enabled), 1);
  if (pps->cu_qp_delta_enabled) bw_write_ue(bw, static_cast<uint32_t>(pps->diff_cu_qp_delta_depth));
  bw_write_se(bw, 0);  // pps_cb_qp_offset
  bw_write_se(bw, 0);  // pps_cr_qp_offset
  bw_write(bw, 0, 1);  // pps_slice_chroma_qp_offsets_present_flag
  bw_write(bw, 0, 1);  // weighted_pred_flag
  bw_write(bw, 0, 1);  // weighted_bipred_flag
  if (hm91) bw_write(bw, 0, 1);  // output_flag_present_flag
  bw_write(bw, 0, 1);  // transquant_bypass_enabled_flag
  bw_write(bw, 0, 1);  // tiles_enabled_flag
  bw_write(bw, static_cast<uint32_t>(pps->entropy_coding_sync), 1);
  bw_write(bw, static_cast<uint32_t>(pps->loop_filter_across_slices), 1);
  bw_write(bw, 1, 1);  // deblocking_filter_control_present_flag
  bw_write(bw, 0, 1);  // deblocking_filter_override_enabled_flag
  bw_write(bw, static_cast<uint32_t>(pps->deblocking_disabled), 1);
  if (!pps->deblocking_disabled) {
    bw_write_se(bw, 0);  // pps_beta_offset_div2
    bw_write_se(bw, 0);  // pps_tc_offset_div2
  }
  bw_write(bw, 0, 1);  // pps_scaling_list_data_present_flag
  bw_write(bw, 0, 1);  // lists_modification_present_flag
  bw_write_ue(bw, 0);  // log2_parallel_merge_level_minus2
  if (hm91) bw_write(bw, 0, 3);  // num_extra_slice_header_bits
  bw_write(bw, 0, 1);  // slice_segment_header_extension_present_flag
  bw_write(bw, 0, 1);  // pps_extension_present_flag
  bw_trailing_bits(bw);
}

void write_slice_header(bitwriter_t *bw, const sps_t *sps, const pps_t *pps, const slice_header_t *sh) {
  bw_write(bw, 1, 1);  // first_slice_segment_in_pic_flag
  const bool irap = sh->nal_type >= 16 && sh->nal_type <= 23;
  const bool idr = sh->nal_type == NAL_IDR_W_RADL || sh->nal_type == NAL_IDR_N_LP;
  const bool hm91 = sps->compat < 100;
  const uint32_t tmvp = sh->slice_type != 2 ? 1u : 0u;
  if (irap) bw_write(bw, 0, 1);  // no_output_of_prior_pics_flag
  bw_write_ue(bw, 0);            // slice_pic_parameter_set_id
  bw_write_ue(bw, static_cast<uint32_t>(sh->slice_type));
  if (!idr) {
    bw_write(bw, static_cast<uint32_t>(sh->poc) & ((1u << sps->log2_max_poc_lsb) - 1),
             sps->log2_max_poc_lsb);
    bw_write(bw, 0, 1);  // short_term_ref_pic_set_sps_flag: the set is sent here
    // st_ref_pic_set: pictures before the current one, closest first, then
    // the ones after it, closest first.
    int32_t neg[16], pos[16], neg_used[16], pos_used[16], nn = 0, np = 0;
    for (int32_t i = 0; i < sh->rps_count; i++) {
      if (sh->rps_delta[i] < 0) {
        neg[nn] = sh->rps_delta[i];
        neg_used[nn++] = sh->rps_used[i];
      } else {
        pos[np] = sh->rps_delta[i];
        pos_used[np++] = sh->rps_used[i];
      }
    }
    for (int32_t i = 1; i < nn; i++)
      for (int32_t j = i; j > 0 && neg[j] > neg[j - 1]; j--) {
        std::swap(neg[j], neg[j - 1]);
        std::swap(neg_used[j], neg_used[j - 1]);
      }
    for (int32_t i = 1; i < np; i++)
      for (int32_t j = i; j > 0 && pos[j] < pos[j - 1]; j--) {
        std::swap(pos[j], pos[j - 1]);
        std::swap(pos_used[j], pos_used[j - 1]);
      }
    bw_write_ue(bw, static_cast<uint32_t>(nn));
    bw_write_ue(bw, static_cast<uint32_t>(np));
    int32_t prev = 0;
    for (int32_t i = 0; i < nn; i++) {
      bw_write_ue(bw, static_cast<uint32_t>(prev - neg[i] - 1));
      bw_write1(bw, static_cast<uint32_t>(neg_used[i]));
      prev = neg[i];
    }
    prev = 0;
    for (int32_t i = 0; i < np; i++) {
      bw_write_ue(bw, static_cast<uint32_t>(pos[i] - prev - 1));
      bw_write1(bw, static_cast<uint32_t>(pos_used[i]));
      prev = pos[i];
    }
    if (sps->temporal_mvp_enabled && !hm91) bw_write1(bw, tmvp);  // slice_temporal_mvp_enabled_flag
  }
  if (sps->sao_enabled) {
    bw_write(bw, static_cast<uint32_t>(sh->sao_luma), 1);
    bw_write(bw, static_cast<uint32_t>(sh->sao_chroma), 1);
  }
  // HM 9.1 reads the temporal MVP flag after the SAO flags, on the same
  // condition (so also in the I slices of CRA pictures).
  if (!idr && sps->temporal_mvp_enabled && hm91) bw_write1(bw, tmvp);
  if (sh->slice_type != 2) {
    bw_write1(bw, 1);  // num_ref_idx_active_override_flag
    bw_write_ue(bw, static_cast<uint32_t>(sh->num_ref_active[0] - 1));
    if (sh->slice_type == 0) bw_write_ue(bw, static_cast<uint32_t>(sh->num_ref_active[1] - 1));
    if (sh->slice_type == 0) bw_write1(bw, 0);  // mvd_l1_zero_flag
    if (pps->cabac_init_present) bw_write1(bw, 0);
    if (sps->temporal_mvp_enabled) {
      if (sh->slice_type == 0) bw_write1(bw, static_cast<uint32_t>(sh->col_from_l0));
      const int32_t n = sh->col_from_l0 ? sh->num_ref_active[0] : sh->num_ref_active[1];
      if (n > 1) bw_write_ue(bw, 0);  // collocated_ref_idx
    }
    bw_write_ue(bw, static_cast<uint32_t>(5 - sh->max_merge_cand));
  }
  bw_write_se(bw, sh->slice_qp - pps->init_qp);
  if (pps->loop_filter_across_slices && (sh->sao_luma || sh->sao_chroma || !pps->deblocking_disabled))
    bw_write(bw, 1, 1);  // slice_loop_filter_across_slices_enabled_flag
  if (pps->entropy_coding_sync) {
    bw_write_ue(bw, static_cast<uint32_t>(sh->num_entry_points));
    if (sh->num_entry_points > 0) {
      // entry_point_offset_minus1; HM 9.1 reads the size itself.
      const uint32_t minus = hm91 ? 0 : 1;
      uint32_t max_value = 1;
      for (int32_t i = 0; i < sh->num_entry_points; i++)
        max_value = std::max(max_value, sh->entry_point_sizes[i] - minus);
      int32_t len = 1;
      while (len < 32 && (max_value >> len)) len++;
      bw_write_ue(bw, static_cast<uint32_t>(len - 1));  // offset_len_minus1
      for (int32_t i = 0; i < sh->num_entry_points; i++) bw_write(bw, sh->entry_point_sizes[i] - minus, len);
    }
  }
  // byte_alignment()
  bw_write1(bw, 1);
  bw_align_zero(bw);
}

uint32_t entry_point_bytes(int32_t compat, const uint8_t *substream, uint32_t size) {
  return compat >= 120 ? size + nal_count_epb(substream, size) : size;
}
