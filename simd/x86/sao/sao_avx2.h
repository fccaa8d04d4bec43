// The AVX2 application of SAO: slot 0's driver and the whole-block kernels
// it calls (N x N blocks, dst and src sharing one stride; offsets is the
// five-byte table of slot 0, entry e + 2 for edge value e, bands 0, 1, 3, 4;
// band_position 0 to 31).
#pragma once

#include <cstdint>

#include "common/primitives.h"

void sao_apply_ctu_avx2(encoder_t *ctx, int32_t ctu_x, int32_t ctu_y, int32_t plane, int32_t shift, int32_t part);

void sao_apply_eo0_64x64_avx2(uint8_t *dst, const uint8_t *src, const int8_t *offsets, uint32_t stride);
void sao_apply_eo1_64x64_avx2(uint8_t *dst, const uint8_t *src, const int8_t *offsets, uint32_t stride);
void sao_apply_eo2_64x64_avx2(uint8_t *dst, const uint8_t *src, const int8_t *offsets, uint32_t stride);
void sao_apply_eo3_64x64_avx2(uint8_t *dst, const uint8_t *src, const int8_t *offsets, uint32_t stride);
void sao_apply_eo0_32x32_avx2(uint8_t *dst, const uint8_t *src, const int8_t *offsets, uint32_t stride);
void sao_apply_eo1_32x32_avx2(uint8_t *dst, const uint8_t *src, const int8_t *offsets, uint32_t stride);
void sao_apply_eo2_32x32_avx2(uint8_t *dst, const uint8_t *src, const int8_t *offsets, uint32_t stride);
void sao_apply_eo3_32x32_avx2(uint8_t *dst, const uint8_t *src, const int8_t *offsets, uint32_t stride);
void sao_apply_bo_64x64_avx2(uint8_t *dst, const uint8_t *src, const int8_t *offsets, uint32_t band_position,
                             uint32_t stride);
void sao_apply_bo_32x32_avx2(uint8_t *dst, const uint8_t *src, const int8_t *offsets, uint32_t band_position,
                             uint32_t stride);
void sao_copy_64x64_avx2(uint8_t *dst, const uint8_t *src, uint32_t stride);
void sao_copy_32x32_avx2(uint8_t *dst, const uint8_t *src, uint32_t stride);
