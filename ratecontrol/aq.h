// Adaptive quantisation: a QP offset per 16x16 block from its AC energy.
#pragma once

#include <cstdint>

struct encoder_t;
struct frame_t;

// Fills the input picture's offsets and qscale factors (nothing with the AQ
// mode in effect 0).  Runs when the picture enters the encoder.
void aq_compute_qp_offsets(encoder_t *enc, frame_t *f);
// AC energy of 16x16 block (x, y): the luma block and both 8x8 chroma blocks.
uint32_t aq_block_energy(const encoder_t *enc, int32_t x, int32_t y, const frame_t *f);
uint32_t aq_plane_energy(const encoder_t *enc, int32_t x, int32_t y, const frame_t *f, int32_t plane);
// 256 * 2^(-x/6), saturating at 0 and 65535.
uint16_t exp2fix8(float x);
// log2(v) for v > 0 from tables, without a transcendental call.
float log2_int_f(int32_t v);
