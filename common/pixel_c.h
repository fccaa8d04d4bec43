// Portable pixel-cost functions shared between the pixel source files and
// the table setup.  Callers outside common/ reach them through pixel_funcs_t.
#pragma once

#include "common/primitives.h"

// Sum of absolute 4x4 Walsh-Hadamard coefficients of a - b (always even).
uint32_t hadamard_abs_4x4(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
// Sum of absolute 8x8 Walsh-Hadamard coefficients of a - b.
uint32_t sa8d_raw_8x8_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);

// The gradient pyramid levels above the 8x8 one, each entry the sum of its
// four children; the combined record as H + V.
void gradient_sum_levels(gradient_record_t *r);
void gradient_combine(ctu_gradients_t *g);

void fill_satd_primitives(pixel_funcs_t *p);
void fill_gradient_primitives(pixel_funcs_t *p);

// The group scan of the coeff_scan_groups slot, position by position.
int32_t coeff_scan_groups_c(const uint16_t *scan, const int16_t *coef, uint16_t *signs, uint16_t *sigmap,
                            uint8_t *counts, int32_t nonzero, const uint16_t *scan4x4, int32_t width);

// The 4x4 levels of the coeff_levels_4x4 slot: the non-zero map a word at a
// time, then the levels it marks.
uint32_t coeff_levels_4x4_c(const int16_t *coef, int32_t scan_type, int16_t *out);

uint32_t satd_4x4_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
void satd_x4_4x4_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride, uint32_t out[4]);
uint32_t sa8d_8x8_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sa8d_16x16_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sa8d_32x32_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
uint32_t sa8d_64x64_c(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride);
