// The first step of RDOQ (common/rdoq.h) in the vector tiers, which their
// rdoq and rdoq_alt slots hand to the shared decision: named so that the
// harness holds each against rdoq_prep_c directly, candidate distortions
// included.
#pragma once

#include <cstdint>

#include "common/rdoq.h"

void rdoq_prep_ssse3(rdoq_prep_t *out, const int16_t *coef, const rdoq_dist_params_t *p);
void rdoq_prep_avx2(rdoq_prep_t *out, const int16_t *coef, const rdoq_dist_params_t *p);
