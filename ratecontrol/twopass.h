// Two-pass encoding: the statistics text a first pass leaves per picture,
// and the second pass's reading, checking and planning of it.
#pragma once

#include <cstdint>

struct encoder_t;
struct param_t;
struct ratecontrol_t;

// One picture of the first pass, in coding order.
struct ratecontrol_entry_t {
  int32_t slice_type;  // 2 I, 1 P, 0 B
  int32_t frame_type;  // frame_type_code
  int32_t kept_as_ref;
  double qscale;      // of the first pass's QP
  double new_qscale;  // planned
  int32_t mv_bits;
  int32_t tex_bits;
  int32_t misc_bits;
  float coded_qp;
  uint64_t expected_bits;  // planned bits of every earlier entry
  int32_t new_qp;          // the QP the second pass coded it with
  int32_t intra_count;     // 8x8 units coded intra
  int32_t skip_count;      // 8x8 units coded skip
  float blurred_complexity;
  float duration;  // seconds
  double expected_vbv;  // planned buffer fill after the picture
  int32_t speed_mode;   // zero latency: the first pass's speed mode (-1: not recorded)
  bool among_b;         // the sequence has B pictures (its P pictures grow more slowly)
  double worst_bits;    // second pass under VBV: the most its plan allows it to take
};

// Bits an entry is expected to take at qscale q: texture scales almost
// inversely with the qscale, motion bits with its square root.
double twopass_entry_bits(const ratecontrol_entry_t &e, double q);

// Before anything is sized by it: a second pass's statistics header may set
// the lookahead depth the first pass ran with.
void twopass_header_settings(param_t *p);

// At open, inside the rate-control set-up.  First pass: the header line.
// Second pass: reads and checks the text and plans every picture; -1 (with
// a message for every check that has one) fails the open.
int32_t twopass_init(encoder_t *enc);
void twopass_free(ratecontrol_t *rc);

// The plan itself (exposed for tests): the entries' blurred complexities,
// planned qscales and expected bits and buffer fills.  -1 when the target
// cannot even carry the bits that do not scale.
int32_t twopass_plan(encoder_t *enc);

// Frame start of a second pass: the picture's entry (-1, "Incomplete 2pass
// log", when it has none).
int32_t twopass_frame_start(encoder_t *ctx);
// The qscale of a P or I picture in the second pass.
float twopass_estimate_qscale(encoder_t *ctx, int32_t slice_type);
// The second pass under VBV: the qscale q raised until the buffer after the
// picture stays near the plan's fill and never below empty; sets the
// picture's planned size for the buffer's accounting.
double twopass_vbv_qscale(encoder_t *ctx, int32_t slice_type, double q);
// The first pass's line of the picture (bits: its whole size) into the text
// left for the caller, after the header when it is the first.
void twopass_write_line(encoder_t *ctx, int64_t bits);
// Frame end: the first pass's statistics line; the second pass's running
// sum of planned bits.
void twopass_frame_end(encoder_t *ctx, int64_t bits);

// Type of the picture shown at display_index in the first pass (its coding
// index through coding_index); -1 when the statistics have no such picture.
int32_t ratecontrol_2pass_frame_type(const encoder_t *enc, int32_t display_index, int32_t *coding_index);
// The speed mode the first pass coded the picture shown at display_index
// with (zero latency), or -1 where the statistics have none.
int32_t ratecontrol_2pass_speed_mode(const encoder_t *enc, int32_t display_index);
