// SSSE3-tier pixel kernels (legacy SSE encodings only, so that every one of
// them runs on any SSSE3 processor).  Each returns exactly what the portable
// function of its slot returns; install_pixel_ssse3 puts them in the table.
#pragma once

#include <cstdint>

#include "common/primitives.h"

void fill_sad_ssse3(pixel_funcs_t *p);
void fill_ssd_ssse3(pixel_funcs_t *p);
void fill_satd_ssse3(pixel_funcs_t *p);
void fill_gradient_ssse3(pixel_funcs_t *p);
