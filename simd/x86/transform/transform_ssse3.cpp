// Forward and inverse transforms of the SSSE3 tier: 128-bit multiply-adds
// and the SSSE3 horizontal addition (transform_passes.h).  The low-frequency
// forward kernels run the full row pass through a routine of its own, then
// the column pass over the columns they keep, and the low-frequency inverse
// ones their full second pass; the full 32x32 kernels keep the even/odd
// passes, which need half the products.  The coefficient
// cost (slot 14) is coeff_cost_ssse3.cpp's.
#include "simd/x86/simd_install.h"
#include "simd/x86/transform/transform_kernels.h"
#include "simd/x86/transform/transform_passes.h"

void dct_fwd_1d_8_ssse3(int16_t *out, const int16_t *in) { pass_n<8, 8, 8, 2>(in, 8, fwd_dct<8>(), 8, out, 8); }
void dct_fwd_1d_16_ssse3(int16_t *out, const int16_t *in) { pass_n<16, 16, 16, 3>(in, 16, fwd_dct<16>(), 16, out, 16); }
void dct_fwd_1d_32_ssse3(int16_t *out, const int16_t *in) { pass_n<32, 32, 32, 4>(in, 32, fwd_dct<32>(), 32, out, 32); }
void dct_inv_1d_8_ssse3(int16_t *out, const int16_t *in) { pass_n<8, 8, 8, 12>(in, 8, inv_dct<8>(), 8, out, 8); }
void dct_inv_1d_16_ssse3(int16_t *out, const int16_t *in) { pass_n<16, 16, 16, 12>(in, 16, inv_dct<16>(), 16, out, 16); }
void dct_inv_1d_32_ssse3(int16_t *out, const int16_t *in) { pass_n<32, 32, 32, 12>(in, 32, inv_dct<32>(), 32, out, 32); }

namespace {

// The row pass by its routine (natural order), the first K columns of its
// result transposed, then the column pass of the K x K corner.
template <int LOG2, int K>
void forward_by_rows(void (*row_pass)(int16_t *, const int16_t *), int16_t *coef, const uint8_t *src,
                     const uint8_t *pred) {
  constexpr int N = 1 << LOG2;
  alignas(32) int16_t res[N * N], t[N * N], tt[(K < 8 ? 8 : K) * N];
  residual<N>(res, src, pred);
  row_pass(t, res);
  for (int by = 0; by < N; by += 8)
    for (int bx = 0; bx < K; bx += 8) {
      __m128i a[8];
      for (int i = 0; i < 8; i++) a[i] = load128(t + (by + i) * N + bx);
      transpose8x8_epi16(a);
      for (int i = 0; i < (K < 8 ? K : 8); i++) store128(tt + (bx + i) * N + by, a[i]);
    }
  pass_t<N, K, K, LOG2 + 6>(tt, N, fwd_dct<N>(), N, coef, N);
}

// The column pass of the K x K corner into the first K columns of an N x N
// block whose other columns are zero, then the full row pass by its
// routine, then the add.
template <int LOG2, int K>
void inverse_by_rows(void (*row_pass)(int16_t *, const int16_t *), uint8_t *recon, const int16_t *coef) {
  constexpr int N = 1 << LOG2, KP = padded(K);
  alignas(32) int16_t ct[K * KP], g[N * N], res[N * N];
  std::memset(g, 0, sizeof(g));
  transpose_corner<K>(ct, coef, N);
  pass_t<KP, K, N, 7>(ct, KP, inv_dct<N>(), N, g, N);
  row_pass(res, g);
  add_residual<N>(recon, res);
}

}  // namespace

__attribute__((flatten)) void dct_fwd_low_8x8_ssse3(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t) { forward_by_rows<3, 4>(dct_fwd_1d_8_ssse3, coef, src, pred); }
__attribute__((flatten)) void dct_inv_add_low_8x8_ssse3(uint8_t *recon, const int16_t *coef, int32_t) { inverse_by_rows<3, 4>(dct_inv_1d_8_ssse3, recon, coef); }
__attribute__((flatten)) void dct_fwd_16x16_ssse3(int16_t *coef, const uint8_t *src, const uint8_t *pred) { forward_by_core<16, dct_fwd_core_16x16_ssse3>(coef, src, pred); }
__attribute__((flatten)) void dct_fwd_low_16x16_ssse3(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t) { forward_by_rows<4, 8>(dct_fwd_1d_16_ssse3, coef, src, pred); }
__attribute__((flatten)) void dct_fwd_32x32_ssse3(int16_t *coef, const uint8_t *src, const uint8_t *pred) { forward_by_core<32, dct_fwd_core_32x32_ssse3>(coef, src, pred); }
__attribute__((flatten)) void dct_fwd_low_32x32_ssse3(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t) { forward_by_rows<5, 8>(dct_fwd_1d_32_ssse3, coef, src, pred); }

void install_transform_ssse3(transform_funcs_t *t) {
  t->dct_fwd_4x4 = dct_fwd_4x4_ssse3;
  t->dct_inv_add_4x4 = dct_inv_add_4x4_ssse3;
  t->dct_fwd_8x8 = dct_fwd_8x8_ssse3;
  t->dct_fwd_low_8x8 = dct_fwd_low_8x8_ssse3;
  t->dct_inv_add_8x8 = dct_inv_add_8x8_ssse3;
  t->dct_inv_add_low_8x8 = dct_inv_add_low_8x8_ssse3;
  t->dct_fwd_16x16 = dct_fwd_16x16_ssse3;
  t->dct_fwd_low_16x16 = dct_fwd_low_16x16_ssse3;
  t->dct_inv_add_16x16 = dct_inv_add_16x16_ssse3;
  t->dct_inv_add_low_16x16 = dct_inv_add_low_16x16_ssse3;
  t->dct_fwd_32x32 = dct_fwd_32x32_ssse3;
  t->dct_fwd_low_32x32 = dct_fwd_low_32x32_ssse3;
  t->dct_inv_add_32x32 = dct_inv_add_32x32_ssse3;
  t->dct_inv_add_low_32x32 = dct_inv_add_low_32x32_ssse3;
  t->coeff_cost = coeff_cost_nxn_ssse3;
}
