// Sample adaptive offset: the per-CTU decision with its rate estimate.
#pragma once

#include <cstdint>

struct encoder_t;
struct cabac_est_t;

// The SAO choice of one CTU for one plane.
struct sao_param_t {
  int32_t type;           // 0-3 edge offset of that class, 4 band offset, 5 not applied
  int32_t band_position;  // first of the four bands (band offset)
  int32_t offset[4];      // edge categories 1-4, or the four bands
};

enum sao_merge_t : int32_t { SAO_MERGE_NONE = 0, SAO_MERGE_LEFT = 1, SAO_MERGE_UP = 2 };

// Chooses the current CTU's records and merge mode from its deblocked
// samples (H.265 7.3.8.3 syntax, costs D + lambda R).
void sao_decide_ctu(encoder_t *ctx);
// Applies the decided SAO of one CTU (the rows `part` picks, see
// sao_apply_ctu_c) to the picture's planes: luma when bit 0 of the slice's
// SAO word is set, Cb and Cr when bit 1 is, through slot 0 of the SAO table
// (its only caller).
void sao_filter_ctu(encoder_t *ctx, int32_t ctu_x, int32_t ctu_y, int32_t part);
// Adds the estimated bits of one plane's SAO syntax (without merge flags).
void sao_param_bits(cabac_est_t *est, const sao_param_t *p, int32_t component);
