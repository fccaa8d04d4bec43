// The first step of RDOQ (common/rdoq.h) and the fast decision's zero-flag
// sums in the vector tiers, which their rdoq and rdoq_alt slots hand to the
// shared decision: named so that the harness holds each against its
// portable function directly (rdoq_prep_c, candidate distortions included;
// rdoq_zero_sums_c), and the sign-hiding slot's kernel.
#pragma once

#include <cstdint>

#include "common/rdoq.h"

void rdoq_prep_ssse3(rdoq_prep_t *out, const int16_t *coef, const rdoq_dist_params_t *p);
void rdoq_prep_avx2(rdoq_prep_t *out, const int16_t *coef, const rdoq_dist_params_t *p);
void rdoq_zero_sums_ssse3(uint16_t *out, const uint8_t *inc, const uint16_t *cost, uint32_t set);
void rdoq_zero_sums_avx2(uint16_t *out, const uint8_t *inc, const uint16_t *cost, uint32_t set);
uint32_t sign_hide_nxn_ssse3(int16_t *levels, const int16_t *coef, int32_t log2_size, int32_t scan_type,
                             uint32_t nonzero, int32_t scale, int32_t shift, double rate_weight);
uint32_t sign_hide_nxn_avx2(int16_t *levels, const int16_t *coef, int32_t log2_size, int32_t scan_type,
                            uint32_t nonzero, int32_t scale, int32_t shift, double rate_weight);
