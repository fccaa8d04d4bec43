// AVX2 bilinear quarter-sample luma prediction for the fast search: byte
// averages only.  With avg(p, q) = (p + q + 1) >> 1 (PAVGB) and the
// truncating tavg(p, q) = avg(p, q) - ((p ^ q) & 1), each closed form of
// the portable engine is a chain of two averages: (3P + Q + 2) >> 2 =
// avg(P, tavg(P, Q)), (3p + q + 1) >> 2 = tavg(p, avg(p, q)), and so on, so
// every sample is the portable one.  Any block of width 4 or more; rows are
// loaded once (the lower row of a step is the upper row of the next).
#include "simd/x86/mc/mc_filter.h"
#include "simd/x86/mc/mc_kernels.h"

namespace {

inline __m128i avg(__m128i a, __m128i b) { return _mm_avg_epu8(a, b); }
inline __m256i avg(__m256i a, __m256i b) { return _mm256_avg_epu8(a, b); }
inline __m128i tavg(__m128i a, __m128i b) {
  return _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1)));
}
inline __m256i tavg(__m256i a, __m256i b) {
  return _mm256_sub_epi8(_mm256_avg_epu8(a, b), _mm256_and_si256(_mm256_xor_si256(a, b), _mm256_set1_epi8(1)));
}

// One-dimensional fraction between P and its neighbour Q.
template <typename V>
inline V one_dim(V p, V q, int32_t frac) {
  return frac == 2 ? avg(p, q) : frac == 1 ? avg(p, tavg(p, q)) : avg(tavg(p, q), q);
}
// Horizontal stage of the two-dimensional case: quarter positions add 1.
template <typename V>
inline V first_stage(V p, V q, int32_t fx) {
  return fx == 2 ? avg(p, q) : fx == 1 ? tavg(p, avg(p, q)) : tavg(avg(p, q), q);
}
// Vertical stage with the rounding term r = (fx & 1) + (fy & 1): the
// averages round up where r is the larger of its two values.
template <typename V>
inline V second_stage(V h0, V h1, int32_t fx, int32_t fy) {
  const bool odd_x = fx & 1;
  if (fy == 2) return odd_x ? avg(h0, h1) : tavg(h0, h1);
  if (fy == 1) return odd_x ? avg(h0, tavg(h0, h1)) : tavg(h0, avg(h0, h1));
  return odd_x ? avg(tavg(h0, h1), h1) : tavg(avg(h0, h1), h1);
}

struct cols32 {
  static __m256i load(const uint8_t *p) { return load256(p); }
  static void store(uint8_t *d, __m256i v) { store256(d, v); }
};
template <int N>
struct cols_narrow {
  static __m128i load(const uint8_t *p) { return N == 16 ? load128(p) : N == 8 ? load64(p) : load32(p); }
  static void store(uint8_t *d, __m128i v) { N == 16 ? store128(d, v) : N == 8 ? store64(d, v) : store32(d, v); }
};

template <typename C>
void bilinear_group(uint8_t *dst, intptr_t ds, const uint8_t *src, intptr_t ss, int32_t fx, int32_t fy, int32_t h) {
  if (fy == 0) {
    for (int32_t y = 0; y < h; y++) {
      const uint8_t *s = src + y * ss;
      C::store(dst + y * ds, one_dim(C::load(s), C::load(s + 1), fx));
    }
    return;
  }
  auto row = [&](int32_t y) {
    const uint8_t *s = src + y * ss;
    return fx == 0 ? C::load(s) : first_stage(C::load(s), C::load(s + 1), fx);
  };
  auto upper = row(0);
  for (int32_t y = 0; y < h; y++) {
    const auto lower = row(y + 1);
    C::store(dst + y * ds, fx == 0 ? one_dim(upper, lower, fy) : second_stage(upper, lower, fx, fy));
    upper = lower;
  }
}

// Columns 0..w-1 in groups of 32, 16, 8 or 4; false when w < 4.
bool bilinear_groups(uint8_t *dst, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx, int32_t fy, int32_t w,
                     int32_t h) {
  return for_groups(w, 32, [&](int32_t x, int32_t n) {
    if (n == 32) bilinear_group<cols32>(dst + x, ds, s + x, ss, fx, fy, h);
    else if (n == 16) bilinear_group<cols_narrow<16>>(dst + x, ds, s + x, ss, fx, fy, h);
    else if (n == 8) bilinear_group<cols_narrow<8>>(dst + x, ds, s + x, ss, fx, fy, h);
    else bilinear_group<cols_narrow<4>>(dst + x, ds, s + x, ss, fx, fy, h);
  });
}

// The square kernels, by filtered axis: rows of 8 and 16 samples are
// 128-bit VEX code (suffix avx), rows of 32 and 64 256-bit (avx2).
void interp_bilinear_h_8x8_avx(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx) { bilinear_groups(d, ds, s, ss, fx, 0, 8, 8); }
void interp_bilinear_h_16x16_avx(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx) { bilinear_groups(d, ds, s, ss, fx, 0, 16, 16); }
void interp_bilinear_h_32x32_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx) { bilinear_groups(d, ds, s, ss, fx, 0, 32, 32); }
void interp_bilinear_h_64x64_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx) { bilinear_groups(d, ds, s, ss, fx, 0, 64, 64); }
void interp_bilinear_v_8x8_avx(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy) { bilinear_groups(d, ds, s, ss, 0, fy, 8, 8); }
void interp_bilinear_v_16x16_avx(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy) { bilinear_groups(d, ds, s, ss, 0, fy, 16, 16); }
void interp_bilinear_v_32x32_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy) { bilinear_groups(d, ds, s, ss, 0, fy, 32, 32); }
void interp_bilinear_v_64x64_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy) { bilinear_groups(d, ds, s, ss, 0, fy, 64, 64); }
void interp_bilinear_hv_8x8_avx(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx, int32_t fy) { bilinear_groups(d, ds, s, ss, fx, fy, 8, 8); }
void interp_bilinear_hv_16x16_avx(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx, int32_t fy) { bilinear_groups(d, ds, s, ss, fx, fy, 16, 16); }
void interp_bilinear_hv_32x32_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx, int32_t fy) { bilinear_groups(d, ds, s, ss, fx, fy, 32, 32); }
void interp_bilinear_hv_64x64_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx, int32_t fy) { bilinear_groups(d, ds, s, ss, fx, fy, 64, 64); }

using bilinear_1d_t = void (*)(uint8_t *, intptr_t, const uint8_t *, intptr_t, int32_t);
using bilinear_2d_t = void (*)(uint8_t *, intptr_t, const uint8_t *, intptr_t, int32_t, int32_t);
constexpr bilinear_1d_t BILINEAR_H[4] = {interp_bilinear_h_8x8_avx, interp_bilinear_h_16x16_avx,
                                         interp_bilinear_h_32x32_avx2, interp_bilinear_h_64x64_avx2};
constexpr bilinear_1d_t BILINEAR_V[4] = {interp_bilinear_v_8x8_avx, interp_bilinear_v_16x16_avx,
                                         interp_bilinear_v_32x32_avx2, interp_bilinear_v_64x64_avx2};
constexpr bilinear_2d_t BILINEAR_HV[4] = {interp_bilinear_hv_8x8_avx, interp_bilinear_hv_16x16_avx,
                                          interp_bilinear_hv_32x32_avx2, interp_bilinear_hv_64x64_avx2};

void mc_luma_bilinear_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t mvx,
                           int32_t mvy, int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  const uint8_t *s = src + vector_offset(mvx, mvy, src_stride, 2);
  const int32_t fx = mvx & 3, fy = mvy & 3;
  const int32_t k = w != h ? -1 : w == 8 ? 0 : w == 16 ? 1 : w == 32 ? 2 : w == 64 ? 3 : -1;
  if (k >= 0 && (fx | fy) != 0) {
    if (fy == 0) BILINEAR_H[k](dst, dst_stride, s, src_stride, fx);
    else if (fx == 0) BILINEAR_V[k](dst, dst_stride, s, src_stride, fy);
    else BILINEAR_HV[k](dst, dst_stride, s, src_stride, fx, fy);
    return;
  }
  if (!bilinear_groups(dst, dst_stride, s, src_stride, fx, fy, w, h))
    mc_luma_bilinear_c(dst, dst_stride, src, src_stride, mvx, mvy, w, h);
}

}  // namespace

const uint8_t *get_ref_bilinear_avx2(uint8_t *buf, int32_t *stride_io, const uint8_t *ref, int32_t ref_stride,
                                     int32_t mvx, int32_t mvy, int32_t w, int32_t h) {
  if (((mvx | mvy) & 3) == 0) {
    *stride_io = ref_stride;
    return ref + vector_offset(mvx, mvy, ref_stride, 2);
  }
  mc_luma_bilinear_avx2(buf, *stride_io, ref, ref_stride, mvx, mvy, w, h);
  return buf;
}
