// Per-picture counts of what the CTUs coded, kept by each row context.
#pragma once

#include <cstdint>

// What the CTUs of a picture coded, for the statistics line of a first pass
// and the CBR model: bits of the prediction units (motion) and of the
// transform trees (texture), 8x8 units coded intra and skipped, and the sum
// of ln(lambda) over the CTUs.  Each row context keeps its own, added into
// the frame context's at the end of the picture.
struct rc_picture_counts_t {
  int64_t mv_bits, tex_bits;
  int32_t intra_units, skip_units;
  double ln_lambda_sum;
  int32_t lambda_count;
};

struct encoder_t;

// After a CTU is written (bits: its size): its 8x8 units coded intra and
// skipped and its lambda into the row context's counts; under CBR the
// picture's CTU model learns the CTU's bits.
void ratecontrol_ctu_counts(encoder_t *ctx, int32_t bits);
// Before a CTU is decided: under CBR its rate factor from the CTU model.
void ratecontrol_ctu_factor(encoder_t *ctx);
void rc_counts_add(rc_picture_counts_t *sum, const rc_picture_counts_t &row);
