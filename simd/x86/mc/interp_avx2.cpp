// AVX2 interpolation slots: luma and chroma to pixels and to 16-bit
// predictions, the luma pointer and plane-copy slots, and the block copy.
// The filter passes are the templates of mc_filter.h, compiled here with
// 256-bit column groups.
#include "simd/x86/mc/mc_filter.h"
#include "simd/x86/mc/mc_kernels.h"

namespace {

// h rows of w bytes in column groups of 32, 16, 8 or 4; false when w < 4.
bool copy_groups(uint8_t *dst, intptr_t dst_stride, const uint8_t *src, intptr_t src_stride, int32_t w, int32_t h) {
  return for_groups(w, 32, [&](int32_t x, int32_t n) {
    for (int32_t y = 0; y < h; y++) {
      const uint8_t *s = src + y * src_stride + x;
      uint8_t *d = dst + y * dst_stride + x;
      if (n == 32) store256(d, load256(s));
      else if (n == 16) store128(d, load128(s));
      else if (n == 8) store64(d, load64(s));
      else store32(d, load32(s));
    }
  });
}

// The row kernels of the three wide block widths: 16 bytes a row in one
// 128-bit move, 32 and 64 in 256-bit moves.
void block_copy_16xh_avx(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t h) { copy_groups(d, ds, s, ss, 16, h); }
void block_copy_32xh_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t h) { copy_groups(d, ds, s, ss, 32, h); }
void block_copy_64xh_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t h) { copy_groups(d, ds, s, ss, 64, h); }

}  // namespace

void block_copy_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t w, int32_t h) {
  if (w == 64) block_copy_64xh_avx2(dst, dst_stride, src, src_stride, h);
  else if (w == 32) block_copy_32xh_avx2(dst, dst_stride, src, src_stride, h);
  else if (w == 16) block_copy_16xh_avx(dst, dst_stride, src, src_stride, h);
  else if (!copy_groups(dst, dst_stride, src, src_stride, w, h)) block_copy_c(dst, dst_stride, src, src_stride, w, h);
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

using pp_1d_t = void (*)(uint8_t *, intptr_t, const uint8_t *, intptr_t, int32_t);
using pp_2d_t = void (*)(uint8_t *, intptr_t, const uint8_t *, intptr_t, int32_t, int32_t);
using ps_1d_t = void (*)(int16_t *, intptr_t, const uint8_t *, intptr_t, int32_t);
using ps_2d_t = void (*)(int16_t *, intptr_t, const uint8_t *, intptr_t, int32_t, int32_t);

// 8x8: every pass works on one 8-column group in 128-bit VEX code.
void interp_luma_h_pp_8x8_avx(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx) { interp_h<out_t::pixels, uint8_t, 8>(d, ds, s, ss, fx); }
void interp_luma_v_pp_8x8_avx(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy) { interp_v<out_t::pixels, uint8_t, 8>(d, ds, s, ss, fy); }
void interp_luma_hv_pp_8x8_avx(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx, int32_t fy) { interp_hv<out_t::pixels, uint8_t, 8>(d, ds, s, ss, fx, fy); }
void interp_luma_h_ps_8x8_avx(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx) { interp_h<out_t::words, int16_t, 8>(d, ds, s, ss, fx); }
void interp_luma_v_ps_8x8_avx(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy) { interp_v<out_t::words, int16_t, 8>(d, ds, s, ss, fy); }
void interp_luma_hv_ps_8x8_avx(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx, int32_t fy) { interp_hv<out_t::words, int16_t, 8>(d, ds, s, ss, fx, fy); }
void interp_luma_h_pp_16x16_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx) { interp_h<out_t::pixels, uint8_t, 16>(d, ds, s, ss, fx); }
void interp_luma_h_pp_32x32_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx) { interp_h<out_t::pixels, uint8_t, 32>(d, ds, s, ss, fx); }
void interp_luma_h_pp_64x64_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx) { interp_h<out_t::pixels, uint8_t, 64>(d, ds, s, ss, fx); }
void interp_luma_v_pp_16x16_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy) { interp_v<out_t::pixels, uint8_t, 16>(d, ds, s, ss, fy); }
void interp_luma_v_pp_32x32_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy) { interp_v<out_t::pixels, uint8_t, 32>(d, ds, s, ss, fy); }
void interp_luma_v_pp_64x64_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy) { interp_v<out_t::pixels, uint8_t, 64>(d, ds, s, ss, fy); }
void interp_luma_hv_pp_16x16_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx, int32_t fy) { interp_hv<out_t::pixels, uint8_t, 16>(d, ds, s, ss, fx, fy); }
void interp_luma_hv_pp_32x32_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx, int32_t fy) { interp_hv<out_t::pixels, uint8_t, 32>(d, ds, s, ss, fx, fy); }
void interp_luma_hv_pp_64x64_avx2(uint8_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx, int32_t fy) { interp_hv<out_t::pixels, uint8_t, 64>(d, ds, s, ss, fx, fy); }
void interp_luma_h_ps_16x16_avx2(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx) { interp_h<out_t::words, int16_t, 16>(d, ds, s, ss, fx); }
void interp_luma_h_ps_32x32_avx2(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx) { interp_h<out_t::words, int16_t, 32>(d, ds, s, ss, fx); }
void interp_luma_h_ps_64x64_avx2(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx) { interp_h<out_t::words, int16_t, 64>(d, ds, s, ss, fx); }
void interp_luma_v_ps_16x16_avx2(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy) { interp_v<out_t::words, int16_t, 16>(d, ds, s, ss, fy); }
void interp_luma_v_ps_32x32_avx2(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy) { interp_v<out_t::words, int16_t, 32>(d, ds, s, ss, fy); }
void interp_luma_v_ps_64x64_avx2(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fy) { interp_v<out_t::words, int16_t, 64>(d, ds, s, ss, fy); }
void interp_luma_hv_ps_16x16_avx2(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx, int32_t fy) { interp_hv<out_t::words, int16_t, 16>(d, ds, s, ss, fx, fy); }
void interp_luma_hv_ps_32x32_avx2(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx, int32_t fy) { interp_hv<out_t::words, int16_t, 32>(d, ds, s, ss, fx, fy); }
void interp_luma_hv_ps_64x64_avx2(int16_t *d, intptr_t ds, const uint8_t *s, intptr_t ss, int32_t fx, int32_t fy) { interp_hv<out_t::words, int16_t, 64>(d, ds, s, ss, fx, fy); }

constexpr pp_1d_t H_PP[4] = {interp_luma_h_pp_8x8_avx, interp_luma_h_pp_16x16_avx2, interp_luma_h_pp_32x32_avx2,
                             interp_luma_h_pp_64x64_avx2};
constexpr pp_1d_t V_PP[4] = {interp_luma_v_pp_8x8_avx, interp_luma_v_pp_16x16_avx2, interp_luma_v_pp_32x32_avx2,
                             interp_luma_v_pp_64x64_avx2};
constexpr pp_2d_t HV_PP[4] = {interp_luma_hv_pp_8x8_avx, interp_luma_hv_pp_16x16_avx2, interp_luma_hv_pp_32x32_avx2,
                              interp_luma_hv_pp_64x64_avx2};
constexpr ps_1d_t H_PS[4] = {interp_luma_h_ps_8x8_avx, interp_luma_h_ps_16x16_avx2, interp_luma_h_ps_32x32_avx2,
                             interp_luma_h_ps_64x64_avx2};
constexpr ps_1d_t V_PS[4] = {interp_luma_v_ps_8x8_avx, interp_luma_v_ps_16x16_avx2, interp_luma_v_ps_32x32_avx2,
                             interp_luma_v_ps_64x64_avx2};
constexpr ps_2d_t HV_PS[4] = {interp_luma_hv_ps_8x8_avx, interp_luma_hv_ps_16x16_avx2, interp_luma_hv_ps_32x32_avx2,
                              interp_luma_hv_ps_64x64_avx2};

// Passes over the horizontal planes for blocks 16 or more samples wide,
// whose column groups are all 16 wide (256-bit rows): the rounding of
// plane fx-1 to pixels (fy = 0) and the 16-bit vertical pass over it.
void luma_hplane_round_16nxh_avx2(uint8_t *d, intptr_t ds, const int16_t *p, intptr_t ps, int32_t w, int32_t h) {
  plane_round(d, ds, p, ps, w, h);
}
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

}  // namespace

void mc_luma_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, const int16_t *const *hplanes,
                  int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  const intptr_t off = offset_of(mvx, mvy, ref_stride, 2);
  const int32_t fx = mvx & 3, fy = mvy & 3;
  const uint8_t *s = ref + off;
  bool done;
  if (fx == 0 && fy == 0) {
    block_copy_avx2(dst, dst_stride, s, ref_stride, w, h);
    return;
  } else if (fx != 0 && hplanes != nullptr) {
    const int16_t *p = hplanes[fx - 1] + off;
    if (fy == 0 && w >= 16) {
      luma_hplane_round_16nxh_avx2(dst, dst_stride, p, ref_stride, w, h);
      return;
    }
    done = fy == 0 ? plane_round(dst, dst_stride, p, ref_stride, w, h)
                   : filter_v_words<8, out_t::pixels>(dst, dst_stride, p, ref_stride, fy, w, h);
  } else if (const int32_t k = square_kernel(w, h); k >= 0) {
    if (fy == 0) H_PP[k](dst, dst_stride, s, ref_stride, fx);
    else if (fx == 0) V_PP[k](dst, dst_stride, s, ref_stride, fy);
    else HV_PP[k](dst, dst_stride, s, ref_stride, fx, fy);
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
  if (((mvx | mvy) & 3) == 0) {
    *stride_io = ref_stride;
    return ref + offset_of(mvx, mvy, ref_stride, 2);
  }
  mc_luma_avx2(buf, *stride_io, ref, hplanes, ref_stride, mvx, mvy, w, h);
  return buf;
}

void subpel_plane_copy_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *const *planes, int32_t stride,
                            int32_t mvx, int32_t mvy, int32_t w, int32_t h) {
  block_copy_avx2(dst, dst_stride, planes[((mvy & 3) << 2) | (mvx & 3)] + offset_of(mvx, mvy, stride, 2), stride, w,
                  h);
}

const int16_t *mc_luma_ps_avx2(int16_t *dst, int32_t *dst_stride, const uint8_t *ref, const int16_t *const *hplanes,
                               int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return dst;
  const intptr_t off = offset_of(mvx, mvy, ref_stride, 2);
  const int32_t fx = mvx & 3, fy = mvy & 3;
  const uint8_t *s = ref + off;
  if (fx != 0 && fy == 0 && hplanes != nullptr) {
    *dst_stride = ref_stride;
    return hplanes[fx - 1] + off;
  }
  const int32_t ds = *dst_stride;
  bool done;
  if (fx == 0 && fy == 0) done = fullpel_words(dst, ds, s, ref_stride, w, h);
  else if (fx != 0 && hplanes != nullptr && w >= 16) {
    mc_luma_ps_from_hplanes_avx2(dst, ds, hplanes[fx - 1] + off, ref_stride, fy, w, h);
    return dst;
  } else if (fx != 0 && hplanes != nullptr)
    done = filter_v_words<8, out_t::words>(dst, ds, hplanes[fx - 1] + off, ref_stride, fy, w, h);
  else if (const int32_t k = square_kernel(w, h); k >= 0) {
    if (fy == 0) H_PS[k](dst, ds, s, ref_stride, fx);
    else if (fx == 0) V_PS[k](dst, ds, s, ref_stride, fy);
    else HV_PS[k](dst, ds, s, ref_stride, fx, fy);
    return dst;
  } else if (fy == 0) done = filter_h<8, out_t::words>(dst, ds, s, ref_stride, fx, w, h);
  else if (fx == 0) done = filter_v<8, out_t::words>(dst, ds, s, ref_stride, fy, w, h);
  else done = filter_hv<8, out_t::words>(dst, ds, s, ref_stride, fx, fy, w, h);
  return done ? dst : mc_luma_ps_c(dst, dst_stride, ref, hplanes, ref_stride, mvx, mvy, w, h);
}

void mc_chroma_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx, int32_t mvy,
                    int32_t w, int32_t h) {
  chroma_to_pixels(block_copy_avx2, dst, dst_stride, ref, ref_stride, mvx, mvy, w, h);
}

void mc_chroma_ps_avx2(int16_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx,
                       int32_t mvy, int32_t w, int32_t h) {
  chroma_to_words(dst, dst_stride, ref, ref_stride, mvx, mvy, w, h);
}
