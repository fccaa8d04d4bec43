// AVX2 interpolation slots: luma and chroma to pixels and to 16-bit
// predictions, the luma pointer and plane-copy slots, and the block copy.
// The filter passes are the templates of mc_filter.h, compiled here with
// 256-bit column groups.
#include <algorithm>

#include "simd/x86/mc/mc_copy.h"
#include "simd/x86/mc/mc_filter.h"
#include "simd/x86/mc/mc_kernels.h"

void block_copy_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t w, int32_t h) {
  copy_block(dst, dst_stride, src, src_stride, w, h);
}

namespace {

// The fixed-shape 8-tap kernels of the square blocks of 8, 16, 32 and 64
// samples: pp writes 8-bit samples, ps 16-bit ones; h, v and hv name the
// filtered axes.  The drivers below hand them the block origin.
template <out_t OUT, typename D, int N>
void interp_h(D *dst, intptr_t ds, const uint8_t *src, intptr_t ss, int32_t fx) {
  filter_h<8, OUT>(dst, ds, src, ss, fx, N, N);
}
template <out_t OUT, typename D, int N>
void interp_v(D *dst, intptr_t ds, const uint8_t *src, intptr_t ss, int32_t fy) {
  filter_v<8, OUT>(dst, ds, src, ss, fy, N, N);
}
template <out_t OUT, typename D, int N>
void interp_hv(D *dst, intptr_t ds, const uint8_t *src, intptr_t ss, int32_t fx, int32_t fy) {
  filter_hv<8, OUT>(dst, ds, src, ss, fx, fy, N, N);
}

// 8x8 with both fractions: the 15 rows of raw horizontal sums in a stack
// scratch, then the second stage two rows per 256-bit register.
template <out_t OUT, typename D>
void hv_8x8(D *dst, intptr_t ds, const uint8_t *src, intptr_t ss, int32_t fx, int32_t fy) {
  alignas(32) int16_t tmp[15 * 8];
  filter_h<8, out_t::words>(tmp, 8, src - 3 * ss, ss, fx, 8, 15);
  vw_column8<8, OUT>(dst, ds, tmp + 3 * 8, 8, taps_t<8>(fy), 8);
}

using pp_1d_t = void (*)(uint8_t *, intptr_t, const uint8_t *, intptr_t, int32_t);
using pp_2d_t = void (*)(uint8_t *, intptr_t, const uint8_t *, intptr_t, int32_t, int32_t);
using ps_1d_t = void (*)(int16_t *, intptr_t, const uint8_t *, intptr_t, int32_t);
using ps_2d_t = void (*)(int16_t *, intptr_t, const uint8_t *, intptr_t, int32_t, int32_t);

// 4x4: two rows per 256-bit register.
void interp_luma_h_pp_4x4_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx) { filter_rows2<8, out_t::pixels, axis_t::h, 4>(d, ds, s, ss, fx, 4); }
void interp_luma_v_pp_4x4_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy) { filter_rows2<8, out_t::pixels, axis_t::v, 4>(d, ds, s, ss, fy, 4); }

// 8x8: the horizontal pass works on one 8-column group in 128-bit VEX
// code; the vertical passes take two rows per 256-bit register.
void interp_luma_h_pp_8x8_avx(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx) { interp_h<out_t::pixels, uint8_t, 8>(d, ds, s, ss, fx); }
void interp_luma_v_pp_8x8_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy) { v_column_rows2<8, out_t::pixels, 8>(d, ds, s, ss, taps_t<8>(fy), 8); }
void interp_luma_hv_pp_8x8_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx, int32_t fy) { hv_8x8<out_t::pixels>(d, ds, s, ss, fx, fy); }
void interp_luma_h_ps_8x8_avx(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx) { interp_h<out_t::words, int16_t, 8>(d, ds, s, ss, fx); }
void interp_luma_v_ps_8x8_avx2(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy) { v_column_rows2<8, out_t::words, 8>(d, ds, s, ss, taps_t<8>(fy), 8); }
void interp_luma_hv_ps_8x8_avx2(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx, int32_t fy) { hv_8x8<out_t::words>(d, ds, s, ss, fx, fy); }
void interp_luma_h_pp_16x16_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx) { interp_h<out_t::pixels, uint8_t, 16>(d, ds, s, ss, fx); }
void interp_luma_h_pp_32x32_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx) { interp_h<out_t::pixels, uint8_t, 32>(d, ds, s, ss, fx); }
void interp_luma_h_pp_64x64_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx) { interp_h<out_t::pixels, uint8_t, 64>(d, ds, s, ss, fx); }
void interp_luma_v_pp_16x16_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy) { v_column_rows2<8, out_t::pixels, 16>(d, ds, s, ss, taps_t<8>(fy), 16); }
void interp_luma_v_pp_32x32_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy) { interp_v<out_t::pixels, uint8_t, 32>(d, ds, s, ss, fy); }
void interp_luma_v_pp_64x64_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy) { interp_v<out_t::pixels, uint8_t, 64>(d, ds, s, ss, fy); }
void interp_luma_hv_pp_16x16_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx, int32_t fy) { interp_hv<out_t::pixels, uint8_t, 16>(d, ds, s, ss, fx, fy); }
void interp_luma_hv_pp_32x32_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx, int32_t fy) { interp_hv<out_t::pixels, uint8_t, 32>(d, ds, s, ss, fx, fy); }
void interp_luma_hv_pp_64x64_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx, int32_t fy) { interp_hv<out_t::pixels, uint8_t, 64>(d, ds, s, ss, fx, fy); }
void interp_luma_h_ps_16x16_avx2(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx) { interp_h<out_t::words, int16_t, 16>(d, ds, s, ss, fx); }
void interp_luma_h_ps_32x32_avx2(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx) { interp_h<out_t::words, int16_t, 32>(d, ds, s, ss, fx); }
void interp_luma_h_ps_64x64_avx2(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx) { interp_h<out_t::words, int16_t, 64>(d, ds, s, ss, fx); }
void interp_luma_v_ps_16x16_avx2(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy) { v_column_rows2<8, out_t::words, 16>(d, ds, s, ss, taps_t<8>(fy), 16); }
void interp_luma_v_ps_32x32_avx2(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy) { interp_v<out_t::words, int16_t, 32>(d, ds, s, ss, fy); }
void interp_luma_v_ps_64x64_avx2(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy) { interp_v<out_t::words, int16_t, 64>(d, ds, s, ss, fy); }
void interp_luma_hv_ps_16x16_avx2(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx, int32_t fy) { interp_hv<out_t::words, int16_t, 16>(d, ds, s, ss, fx, fy); }
void interp_luma_hv_ps_32x32_avx2(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx, int32_t fy) { interp_hv<out_t::words, int16_t, 32>(d, ds, s, ss, fx, fy); }
void interp_luma_hv_ps_64x64_avx2(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx, int32_t fy) { interp_hv<out_t::words, int16_t, 64>(d, ds, s, ss, fx, fy); }

constexpr pp_1d_t H_PP[4] = {interp_luma_h_pp_8x8_avx, interp_luma_h_pp_16x16_avx2, interp_luma_h_pp_32x32_avx2,
                             interp_luma_h_pp_64x64_avx2};
constexpr pp_1d_t V_PP[4] = {interp_luma_v_pp_8x8_avx2, interp_luma_v_pp_16x16_avx2, interp_luma_v_pp_32x32_avx2,
                             interp_luma_v_pp_64x64_avx2};
constexpr pp_2d_t HV_PP[4] = {interp_luma_hv_pp_8x8_avx2, interp_luma_hv_pp_16x16_avx2, interp_luma_hv_pp_32x32_avx2,
                              interp_luma_hv_pp_64x64_avx2};
constexpr ps_1d_t H_PS[4] = {interp_luma_h_ps_8x8_avx, interp_luma_h_ps_16x16_avx2, interp_luma_h_ps_32x32_avx2,
                             interp_luma_h_ps_64x64_avx2};
constexpr ps_1d_t V_PS[4] = {interp_luma_v_ps_8x8_avx2, interp_luma_v_ps_16x16_avx2, interp_luma_v_ps_32x32_avx2,
                             interp_luma_v_ps_64x64_avx2};
constexpr ps_2d_t HV_PS[4] = {interp_luma_hv_ps_8x8_avx2, interp_luma_hv_ps_16x16_avx2, interp_luma_hv_ps_32x32_avx2,
                              interp_luma_hv_ps_64x64_avx2};

}  // namespace

// Passes over the horizontal plane fx-1 for blocks more than 8 samples
// wide: the rounding to pixels (fy = 0), by 16 samples up to 16 wide and by
// 32 (two 256-bit rows packed in order) beyond; the vertical pass to pixels
// and to 16-bit samples, in 16-column groups (a block below 16 wide takes
// 8-column ones).
void luma_hplane_round_16nxh_avx2(uint8_t *d, intptr_t ds, const int16_t *p, intptr_t ps, int32_t w, int32_t h) {
  if (!plane_round(d, ds, p, ps, w, h)) luma_hplane_round_8nxh_ssse3(d, ds, p, ps, w, h);
}
void luma_hplane_round_32nxh_avx2(uint8_t *d, intptr_t ds, const int16_t *p, intptr_t ps, int32_t w, int32_t h) {
  const int32_t w32 = w & ~31;
  for (int32_t y = 0; y < h; y++)
    for (int32_t x = 0; x < w32; x += 32) {
      const int16_t *s = p + y * ps + x;
      store256(d + y * ds + x, _mm256_permute4x64_epi64(
                                   _mm256_packus_epi16(round6_256(load256(s)), round6_256(load256(s + 16))), 0xd8));
    }
  // The last columns as 16-sample groups reaching back into the ones done
  // (same values), so that a tail of 1 to 3 columns has a group too.
  if (w32 < w) {
    const int32_t x0 = w - w32 >= 16 ? w32 : std::max(0, w - 16);
    if (!plane_round(d + x0, ds, p + x0, ps, w - x0, h)) luma_hplane_round_8nxh_ssse3(d, ds, p, ps, w, h);
  }
}
void interp_luma_hv_pp_16nxh_avx2(uint8_t *d, intptr_t ds, const int16_t *p, intptr_t ps, int32_t fy, int32_t w,
                                  int32_t h) {
  // Blocks of 16 rows and more over a plane (the phase cache's tiles, the
  // refinement's local sums) amortise the sliding window's start.
  const bool done = h >= 16 ? filter_v_words<8, out_t::pixels, uint8_t, true>(d, ds, p, ps, fy, w, h)
                            : filter_v_words<8, out_t::pixels>(d, ds, p, ps, fy, w, h);
  if (!done) interp_luma_hv_pp_4xh_ssse3(d, ds, p, ps, 1, fy, w, h);
}

// Blocks exactly 8 wide over the horizontal plane, to pixels and to 16-bit
// samples, and from 8-bit samples, 8 and 16 wide, any height: two rows per
// 256-bit register, each interleaved row pair kept for the four output
// rows that use it.
void interp_luma_hv_pp_8xh_avx2(uint8_t *d, intptr_t ds, const int16_t *p, intptr_t ps, int32_t fy, int32_t h) {
  vw_column8<8, out_t::pixels>(d, ds, p, ps, taps_t<8>(fy), h);
}
void mc_luma_ps_from_hplanes_8xh_avx2(int16_t *d, intptr_t ds, const int16_t *p, intptr_t ps, int32_t fy, int32_t h) {
  vw_column8<8, out_t::words>(d, ds, p, ps, taps_t<8>(fy), h);
}
void interp_luma_v_pp_8xh_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy, int32_t h) {
  v_column_rows2<8, out_t::pixels, 8>(d, ds, s, ss, taps_t<8>(fy), h);
}
void interp_luma_v_pp_16xh_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy, int32_t h) {
  v_column_rows2<8, out_t::pixels, 16>(d, ds, s, ss, taps_t<8>(fy), h);
}
void interp_luma_v_ps_8xh_avx2(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy, int32_t h) {
  v_column_rows2<8, out_t::words, 8>(d, ds, s, ss, taps_t<8>(fy), h);
}
void interp_luma_v_ps_16xh_avx2(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy, int32_t h) {
  v_column_rows2<8, out_t::words, 16>(d, ds, s, ss, taps_t<8>(fy), h);
}

namespace {

void mc_luma_ps_from_hplanes_avx2(int16_t *d, intptr_t ds, const int16_t *p, intptr_t ps, int32_t fy, int32_t w,
                                  int32_t h) {
  filter_v_words<8, out_t::words>(d, ds, p, ps, fy, w, h);
}

// The fixed-shape kernel of a square block of 8, 16, 32 or 64 samples,
// else -1.
inline int32_t square_kernel(int32_t w, int32_t h) {
  if (w != h) return -1;
  return w == 8 ? 0 : w == 16 ? 1 : w == 32 ? 2 : w == 64 ? 3 : -1;
}

// Rounding of, or vertical pass over, the horizontal plane at p to pixels,
// by width.
void luma_from_plane(uint8_t *dst, int32_t ds, const int16_t *p, int32_t ps, int32_t fx, int32_t fy, int32_t w,
                     int32_t h) {
  if (fy == 0) {
    if (w <= 8) luma_hplane_round_8nxh_ssse3(dst, ds, p, ps, w, h);
    else if (w <= 16) luma_hplane_round_16nxh_avx2(dst, ds, p, ps, w, h);
    else luma_hplane_round_32nxh_avx2(dst, ds, p, ps, w, h);
  } else {
    if (w <= 4) interp_luma_hv_pp_4xh_ssse3(dst, ds, p, ps, fx, fy, w, h);
    else if (w == 8) interp_luma_hv_pp_8xh_avx2(dst, ds, p, ps, fy, h);
    else if (w < 8) interp_luma_hv_pp_wxh_ssse3(dst, ds, p, ps, fx, fy, w, h);
    else interp_luma_hv_pp_16nxh_avx2(dst, ds, p, ps, fy, w, h);
  }
}

}  // namespace

void mc_luma_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, const int16_t *const *hplanes,
                  int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  const intptr_t off = vector_offset(mvx, mvy, ref_stride, 2);
  const int32_t fx = mvx & 3, fy = mvy & 3;
  const uint8_t *s = ref + off;
  bool done;
  if (fx == 0 && fy == 0) {
    block_copy_avx2(dst, dst_stride, s, ref_stride, w, h);
    return;
  } else if (fx != 0 && hplanes != nullptr) {
    luma_from_plane(dst, dst_stride, hplanes[fx - 1] + off, ref_stride, fx, fy, w, h);
    return;
  } else if (w == 4 && h == 4 && (fx == 0 || fy == 0)) {
    if (fy == 0) interp_luma_h_pp_4x4_avx2(dst, dst_stride, s, ref_stride, fx);
    else interp_luma_v_pp_4x4_avx2(dst, dst_stride, s, ref_stride, fy);
    return;
  } else if (const int32_t k = square_kernel(w, h); k >= 0) {
    if (fy == 0) H_PP[k](dst, dst_stride, s, ref_stride, fx);
    else if (fx == 0) V_PP[k](dst, dst_stride, s, ref_stride, fy);
    else HV_PP[k](dst, dst_stride, s, ref_stride, fx, fy);
    return;
  } else if (fx == 0 && (w == 8 || w == 16)) {
    (w == 8 ? interp_luma_v_pp_8xh_avx2 : interp_luma_v_pp_16xh_avx2)(dst, dst_stride, s, ref_stride, fy, h);
    return;
  } else if (fx == 0 && w <= 16) {
    (w <= 8 ? interp_luma_v_pp_8xh_ssse3 : interp_luma_v_pp_16xh_ssse3)(dst, dst_stride, s, ref_stride, 0, fy, w, h);
    return;
  } else if (fy == 0) {
    done = filter_h<8, out_t::pixels>(dst, dst_stride, s, ref_stride, fx, w, h);
  } else if (fx == 0) {
    done = filter_v<8, out_t::pixels>(dst, dst_stride, s, ref_stride, fy, w, h);
  } else {
    done = filter_hv<8, out_t::pixels>(dst, dst_stride, s, ref_stride, fx, fy, w, h);
  }
  if (!done) mc_luma_c(dst, dst_stride, ref, hplanes, ref_stride, mvx, mvy, w, h);
}

const uint8_t *get_ref_avx2(uint8_t *buf, int32_t *stride_io, const uint8_t *ref, const int16_t *const *hplanes,
                            int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h) {
  return get_ref_through<mc_luma_avx2>(buf, stride_io, ref, hplanes, ref_stride, mvx, mvy, w, h);
}

void subpel_plane_copy_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *const *planes, int32_t stride,
                            int32_t mvx, int32_t mvy, int32_t w, int32_t h) {
  block_copy_avx2(dst, dst_stride, planes[((mvy & 3) << 2) | (mvx & 3)] + vector_offset(mvx, mvy, stride, 2), stride, w,
                  h);
}

// Full-sample squares of 16, 32 and 64: 16 samples zero-extended to one
// 256-bit register per step.
template <int N>
inline void p2s_square_avx2(const uint8_t *src, int32_t ss, int16_t *dst, int32_t ds) {
  for (int32_t y = 0; y < N; y++)
    for (int32_t x = 0; x < N; x += 16)
      store256(dst + static_cast<intptr_t>(y) * ds + x,
               _mm256_slli_epi16(_mm256_cvtepu8_epi16(load128(src + static_cast<intptr_t>(y) * ss + x)), 6));
}
void p2s_16x16_avx2(const uint8_t *src, int32_t ss, int16_t *dst, int32_t ds) { p2s_square_avx2<16>(src, ss, dst, ds); }
void p2s_32x32_avx2(const uint8_t *src, int32_t ss, int16_t *dst, int32_t ds) { p2s_square_avx2<32>(src, ss, dst, ds); }
void p2s_64x64_avx2(const uint8_t *src, int32_t ss, int16_t *dst, int32_t ds) { p2s_square_avx2<64>(src, ss, dst, ds); }

const int16_t *mc_luma_ps_avx2(int16_t *dst, int32_t *dst_stride, const uint8_t *ref, const int16_t *const *hplanes,
                               int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return dst;
  const intptr_t off = vector_offset(mvx, mvy, ref_stride, 2);
  const int32_t fx = mvx & 3, fy = mvy & 3;
  if (const int16_t *window = luma_ps_plane_window(hplanes, off, fx, fy, ref_stride, dst_stride)) return window;
  const uint8_t *s = ref + off;
  const int32_t ds = *dst_stride;
  const int32_t k = square_kernel(w, h);
  bool done = true;
  if (fx == 0 && fy == 0) {
    if (k == 0) p2s_8x8_sse4(s, ref_stride, dst, ds);
    else if (k == 1) p2s_16x16_avx2(s, ref_stride, dst, ds);
    else if (k == 2) p2s_32x32_avx2(s, ref_stride, dst, ds);
    else if (k == 3) p2s_64x64_avx2(s, ref_stride, dst, ds);
    else p2s_wxh_sse2(dst, ds, s, ref_stride, w, h);
  } else if (fx != 0 && hplanes != nullptr) {
    const int16_t *p = hplanes[fx - 1] + off;
    if (w <= 4) mc_luma_ps_from_hplanes_4xh_sse2(dst, ds, p, ref_stride, fx, fy, w, h);
    else if (w == 8) mc_luma_ps_from_hplanes_8xh_avx2(dst, ds, p, ref_stride, fy, h);
    else if (w < 8) mc_luma_ps_from_hplanes_8xh_sse2(dst, ds, p, ref_stride, fx, fy, w, h);
    else mc_luma_ps_from_hplanes_avx2(dst, ds, p, ref_stride, fy, w, h);
  } else if (k >= 0) {
    if (fy == 0) H_PS[k](dst, ds, s, ref_stride, fx);
    else if (fx == 0) V_PS[k](dst, ds, s, ref_stride, fy);
    else HV_PS[k](dst, ds, s, ref_stride, fx, fy);
  } else if (fx == 0 && (w == 8 || w == 16)) {
    (w == 8 ? interp_luma_v_ps_8xh_avx2 : interp_luma_v_ps_16xh_avx2)(dst, ds, s, ref_stride, fy, h);
  } else if (fx == 0 && w <= 16) {
    (w <= 8 ? interp_luma_v_ps_8xh_ssse3 : interp_luma_v_ps_16xh_ssse3)(dst, ds, s, ref_stride, 0, fy, w, h);
  } else if (fy == 0) done = filter_h<8, out_t::words>(dst, ds, s, ref_stride, fx, w, h);
  else if (fx == 0) done = filter_v<8, out_t::words>(dst, ds, s, ref_stride, fy, w, h);
  else done = filter_hv<8, out_t::words>(dst, ds, s, ref_stride, fx, fy, w, h);
  return done ? dst : mc_luma_ps_c(dst, dst_stride, ref, hplanes, ref_stride, mvx, mvy, w, h);
}

// Chroma of the AVX2 tier: blocks 16 and 32 wide by their kernels (two
// rows per 256-bit register for the 16-wide vertical filter, 16-sample
// 256-bit groups otherwise), fractions 0..7 of the filtered axes.
void interp_chroma_v_pp_16xh_avx2(uint8_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fy, uint32_t h) {
  filter_rows2<4, out_t::pixels, axis_t::v, 16>(d, ds, s, ss, static_cast<int32_t>(fy & 7), static_cast<int32_t>(h));
}
void interp_chroma_v_pp_32xh_avx2(uint8_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fy, uint32_t h) {
  filter_v<4, out_t::pixels>(d, ds, s, ss, static_cast<int32_t>(fy & 7), 32, static_cast<int32_t>(h));
}
void interp_chroma_h_pp_16xh_avx2(uint8_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fx, uint32_t h) {
  filter_h<4, out_t::pixels>(d, ds, s, ss, static_cast<int32_t>(fx & 7), 16, static_cast<int32_t>(h));
}
void interp_chroma_h_pp_32xh_avx2(uint8_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fx, uint32_t h) {
  filter_h<4, out_t::pixels>(d, ds, s, ss, static_cast<int32_t>(fx & 7), 32, static_cast<int32_t>(h));
}
void interp_chroma_hv_pp_16xh_avx2(uint8_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fx, uint32_t fy,
                                   uint32_t h) {
  // The two-stage scratch holds 64 rows; taller blocks take the portable path.
  const int32_t x = static_cast<int32_t>(fx & 7), y = static_cast<int32_t>(fy & 7), n = static_cast<int32_t>(h);
  if (!filter_hv<4, out_t::pixels>(d, ds, s, ss, x, y, 16, n)) mc_chroma_c(d, ds, s, ss, x, y, 16, n);
}
void interp_chroma_hv_pp_32xh_avx2(uint8_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fx, uint32_t fy,
                                   uint32_t h) {
  // The two-stage scratch holds 64 rows; taller blocks take the portable path.
  const int32_t x = static_cast<int32_t>(fx & 7), y = static_cast<int32_t>(fy & 7), n = static_cast<int32_t>(h);
  if (!filter_hv<4, out_t::pixels>(d, ds, s, ss, x, y, 32, n)) mc_chroma_c(d, ds, s, ss, x, y, 32, n);
}
void interp_chroma_v_ps_16x16_avx2(int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fy) {
  filter_rows2<4, out_t::words, axis_t::v, 16>(d, ds, s, ss, static_cast<int32_t>(fy & 7), 16);
}
void interp_chroma_v_ps_32x32_avx2(int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fy) {
  filter_v<4, out_t::words>(d, ds, s, ss, static_cast<int32_t>(fy & 7), 32, 32);
}
void interp_chroma_h_ps_8x8_avx2(int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fx) {
  filter_rows2<4, out_t::words, axis_t::h, 8>(d, ds, s, ss, static_cast<int32_t>(fx & 7), 8);
}
void interp_chroma_h_ps_16x16_avx2(int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fx) {
  filter_h<4, out_t::words>(d, ds, s, ss, static_cast<int32_t>(fx & 7), 16, 16);
}
void interp_chroma_h_ps_32x32_avx2(int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fx) {
  filter_h<4, out_t::words>(d, ds, s, ss, static_cast<int32_t>(fx & 7), 32, 32);
}
void interp_chroma_hv_ps_16x16_avx2(int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fx, uint32_t fy) {
  filter_hv<4, out_t::words>(d, ds, s, ss, static_cast<int32_t>(fx & 7), static_cast<int32_t>(fy & 7), 16, 16);
}
void interp_chroma_hv_ps_32x32_avx2(int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fx, uint32_t fy) {
  filter_hv<4, out_t::words>(d, ds, s, ss, static_cast<int32_t>(fx & 7), static_cast<int32_t>(fy & 7), 32, 32);
}

// Up to 8 wide: the SSSE3 kernels; 16 and 32 wide: the kernels above;
// other widths: the column groups.
void mc_chroma_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx, int32_t mvy,
                    int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  const uint8_t *s = ref + vector_offset(mvx, mvy, ref_stride, 3);
  const int32_t fx = mvx & 7, fy = mvy & 7;
  const uint32_t uh = static_cast<uint32_t>(h);
  if (fx == 0 && fy == 0) block_copy_avx2(dst, dst_stride, s, ref_stride, w, h);
  else if (w <= 8) {
    if (fx == 0) interp_chroma_v_pp_wxh_ssse3(dst, dst_stride, s, ref_stride, 0, fy, w, h);
    else if (fy == 0) interp_chroma_h_pp_wxh_ssse3(dst, dst_stride, s, ref_stride, fx, 0, w, h);
    else interp_chroma_hv_pp_wxh_ssse3(dst, dst_stride, s, ref_stride, fx, fy, w, h);
  } else if (w == 16 || w == 32) {
    const bool n16 = w == 16;
    if (fx == 0) (n16 ? interp_chroma_v_pp_16xh_avx2 : interp_chroma_v_pp_32xh_avx2)(dst, dst_stride, s, ref_stride, fy, uh);
    else if (fy == 0) (n16 ? interp_chroma_h_pp_16xh_avx2 : interp_chroma_h_pp_32xh_avx2)(dst, dst_stride, s, ref_stride, fx, uh);
    else (n16 ? interp_chroma_hv_pp_16xh_avx2 : interp_chroma_hv_pp_32xh_avx2)(dst, dst_stride, s, ref_stride, fx, fy, uh);
  } else {
    chroma_to_pixels(block_copy_avx2, dst, dst_stride, ref, ref_stride, mvx, mvy, w, h);
  }
}

// Squares of 4, 8, 16 and 32 by their kernels; other shapes up to 8 wide by
// the SSSE3 kernels, wider ones by the column groups.
void mc_chroma_ps_avx2(int16_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx,
                       int32_t mvy, int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  const uint8_t *s = ref + vector_offset(mvx, mvy, ref_stride, 3);
  const int32_t fx = mvx & 7, fy = mvy & 7;
  const uint32_t ux = static_cast<uint32_t>(fx), uy = static_cast<uint32_t>(fy);
  if (w == h && (w == 4 || w == 8 || w == 16 || w == 32)) {
    if (fx == 0 && fy == 0) {
      if (w == 4) p2s_4x4_sse4(s, ref_stride, dst, dst_stride);
      else if (w == 8) p2s_8x8_sse4(s, ref_stride, dst, dst_stride);
      else if (w == 16) p2s_16x16_avx2(s, ref_stride, dst, dst_stride);
      else p2s_32x32_avx2(s, ref_stride, dst, dst_stride);
    } else if (fx == 0) {
      if (w == 4) interp_chroma_v_ps_4x4_ssse3(dst, dst_stride, s, ref_stride, uy);
      else if (w == 8) interp_chroma_v_ps_8x8_ssse3(dst, dst_stride, s, ref_stride, uy);
      else if (w == 16) interp_chroma_v_ps_16x16_avx2(dst, dst_stride, s, ref_stride, uy);
      else interp_chroma_v_ps_32x32_avx2(dst, dst_stride, s, ref_stride, uy);
    } else if (fy == 0) {
      if (w == 4) interp_chroma_h_ps_4x4_ssse3(dst, dst_stride, s, ref_stride, ux);
      else if (w == 8) interp_chroma_h_ps_8x8_avx2(dst, dst_stride, s, ref_stride, ux);
      else if (w == 16) interp_chroma_h_ps_16x16_avx2(dst, dst_stride, s, ref_stride, ux);
      else interp_chroma_h_ps_32x32_avx2(dst, dst_stride, s, ref_stride, ux);
    } else {
      if (w == 4) interp_chroma_hv_ps_4x4_ssse3(dst, dst_stride, s, ref_stride, ux, uy);
      else if (w == 8) interp_chroma_hv_ps_wxh_ssse3(dst, dst_stride, s, ref_stride, fx, fy, 8, 8);
      else if (w == 16) interp_chroma_hv_ps_16x16_avx2(dst, dst_stride, s, ref_stride, ux, uy);
      else interp_chroma_hv_ps_32x32_avx2(dst, dst_stride, s, ref_stride, ux, uy);
    }
  } else if (w <= 8) {
    if (fx == 0 && fy == 0) p2s_wxh_sse2(dst, dst_stride, s, ref_stride, w, h);
    else if (fx == 0) interp_chroma_v_ps_wxh_ssse3(dst, dst_stride, s, ref_stride, 0, fy, w, h);
    else if (fy == 0) interp_chroma_h_ps_wxh_ssse3(dst, dst_stride, s, ref_stride, fx, 0, w, h);
    else interp_chroma_hv_ps_wxh_ssse3(dst, dst_stride, s, ref_stride, fx, fy, w, h);
  } else {
    chroma_to_words(dst, dst_stride, ref, ref_stride, mvx, mvy, w, h);
  }
}
