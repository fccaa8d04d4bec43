// Forward and inverse transforms of the AVX2 tier: 256-bit multiply-adds
// and horizontal additions where a row holds 16 or more values, the
// 128-bit ones below (transform_passes.h); kernels whose shapes have no
// such rows use only 128-bit VEX instructions and are named _avx.  Slot 14 keeps the SSSE3 kernel:
// the AVX2 tier has none.
#include "simd/x86/simd_install.h"
#include "simd/x86/transform/transform_kernels.h"
#include "simd/x86/transform/transform_passes.h"

// The cores: forward from a residual (rows `stride` elements apart) to the
// coefficients (row stride N), inverse from the coefficients to a residual;
// the slot functions form the residual or add it to the prediction around
// them.  The 256-bit ones are named avx2; the shapes whose passes have no
// row of 16 values are 128-bit VEX code, named avx.
void dct_fwd_core_4x4_avx(const int16_t *res, int16_t *coef, int32_t stride) {
  alignas(32) int16_t padded8[32];
  pad_rows4(padded8, res, stride);
  forward_core<true, 2, 4>(padded8, 8, coef, &fwd_dct4.v[0][0], &fwd_dct4.v[0][0]);
}
void dst_fwd_core_4x4_avx(const int16_t *res, int16_t *coef, int32_t stride) {
  alignas(32) int16_t padded8[32];
  pad_rows4(padded8, res, stride);
  forward_core<true, 2, 4>(padded8, 8, coef, &fwd_dst4.v[0][0], &fwd_dst4.v[0][0]);
}
// The 8x8 forward and inverse cores and slots (whole and corner) are lane-per-output
// multiply-adds in transform8_avx2.cpp.
// The forward 16x16 and 32x32 cores (and their corners) are lane-per-output
// multiply-adds without horizontal additions: transform_fwd_wide_avx2.cpp.

void dct_inv_core_4x4_avx(const int16_t *coef, int16_t *res, int32_t stride) { inverse_core<true, 2, 4>(coef, res, stride, &inv_dct4.v[0][0], &inv_dct4.v[0][0]); }
void dst_inv_core_4x4_avx(const int16_t *coef, int16_t *res, int32_t stride) { inverse_core<true, 2, 4>(coef, res, stride, &inv_dst4.v[0][0], &inv_dst4.v[0][0]); }
// The 16x16 inverse cores and slots (whole and corner) are lane-per-output
// multiply-adds in transform_inv16_avx2.cpp.
// The 32x32 inverse cores and slots (whole and corner) are lane-per-output
// multiply-adds in transform_inv32_avx2.cpp.

namespace {

// Source minus prediction of an N x N block, rows N apart.
template <int N>
inline void residual_of(int16_t *res, const uint8_t *src, const uint8_t *pred) {
  if constexpr (N == 4) {
    // residual<4> writes rows of 8 (the last 4 zero).
    alignas(32) int16_t r8[32];
    residual<4>(r8, src, pred);
    for (int y = 0; y < 4; y++) std::memcpy(res + 4 * y, r8 + 8 * y, 8);
  } else {
    residual<N>(res, src, pred);
  }
}

using fwd_core_fn = void (*)(const int16_t *, int16_t *, int32_t);
using inv_core_fn = void (*)(const int16_t *, int16_t *, int32_t);

template <int N, fwd_core_fn CORE>
inline void forward_by(int16_t *coef, const uint8_t *src, const uint8_t *pred) {
  alignas(32) int16_t res[N * N];
  residual_of<N>(res, src, pred);
  CORE(res, coef, N);
}
template <int N, inv_core_fn CORE>
inline void inverse_by(uint8_t *recon, const int16_t *coef) {
  alignas(32) int16_t res[N * N];
  CORE(coef, res, N);
  add_residual<N>(recon, res);
}

}  // namespace

// The slot functions take their core inline (flatten), as the passes were
// before the cores had names of their own.
// The low-frequency slots write their own corner whatever low_size says.
__attribute__((flatten)) void dct_fwd_16x16_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred) { forward_by<16, dct_fwd_core_16x16_avx2>(coef, src, pred); }
__attribute__((flatten)) void dct_fwd_low_16x16_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t) { forward_by<16, dct_fwd_low_core_16x16_avx2>(coef, src, pred); }
__attribute__((flatten)) void dct_fwd_32x32_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred) { forward_by<32, dct_fwd_core_32x32_avx2>(coef, src, pred); }
__attribute__((flatten)) void dct_fwd_low_32x32_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t) { forward_by<32, dct_fwd_low_core_32x32_avx2>(coef, src, pred); }

void install_transform_avx2(transform_funcs_t *t) {
  t->dct_fwd_4x4 = dct_fwd_4x4_avx2;
  t->dct_inv_add_4x4 = dct_inv_add_4x4_avx2;
  t->dct_fwd_8x8 = dct_fwd_8x8_avx2;
  t->dct_fwd_low_8x8 = dct_fwd_low_8x8_avx2;
  t->dct_inv_add_8x8 = dct_inv_add_8x8_avx2;
  t->dct_inv_add_low_8x8 = dct_inv_add_low_8x8_avx2;
  t->dct_fwd_16x16 = dct_fwd_16x16_avx2;
  t->dct_fwd_low_16x16 = dct_fwd_low_16x16_avx2;
  t->dct_inv_add_16x16 = dct_inv_add_16x16_avx2;
  t->dct_inv_add_low_16x16 = dct_inv_add_low_16x16_avx2;
  t->dct_fwd_32x32 = dct_fwd_32x32_avx2;
  t->dct_fwd_low_32x32 = dct_fwd_low_32x32_avx2;
  t->dct_inv_add_32x32 = dct_inv_add_32x32_avx2;
  t->dct_inv_add_low_32x32 = dct_inv_add_low_32x32_avx2;
}
