// SSSE3 interpolation kernels (legacy SSE encodings, so the AVX2 driver may
// borrow them too): chroma and luma filters of any width and height, the
// fixed 4x4 and 8x8 chroma kernels, the full-sample conversion, and the
// routines over the 16-bit horizontal planes.  Each writes exactly its
// w x h block with the column groups of mc_filter.h and hands a shape they
// have no route for (narrower than 4 columns, two-dimensional above 64) to
// the portable function, which gives the same bytes.
#include "simd/x86/mc/mc_filter.h"
#include "simd/x86/mc/mc_kernels.h"

namespace {

// The portable result over one 16-bit plane: rounded (fy = 0) or filtered
// vertically to pixels, or filtered vertically to 16-bit samples.  The plane
// stands in for all three, so fraction 1 selects it.
void plane_pixels_c(uint8_t *dst, int32_t ds, const int16_t *plane, int32_t ps, int32_t fy, int32_t w, int32_t h) {
  const int16_t *const planes[3] = {plane, plane, plane};
  mc_luma_c(dst, ds, reinterpret_cast<const uint8_t *>(plane), planes, ps, 1, fy, w, h);
}
void plane_words_c(int16_t *dst, int32_t ds, const int16_t *plane, int32_t ps, int32_t fy, int32_t w, int32_t h) {
  const int16_t *const planes[3] = {plane, plane, plane};
  int32_t stride = ds;
  mc_luma_ps_c(dst, &stride, reinterpret_cast<const uint8_t *>(plane), planes, ps, 1, fy, w, h);
}

}  // namespace

// Chroma to pixels.  The fraction of each filtered axis is 1..7; the other
// one is not read.
void interp_chroma_v_pp_wxh_ssse3(uint8_t *dst, int32_t ds, const uint8_t *src, int32_t ss, int32_t, int32_t fy,
                                  int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  if (!filter_v<4, out_t::pixels>(dst, ds, src, ss, fy, w, h)) mc_chroma_c(dst, ds, src, ss, 0, fy, w, h);
}
void interp_chroma_h_pp_wxh_ssse3(uint8_t *dst, int32_t ds, const uint8_t *src, int32_t ss, int32_t fx, int32_t,
                                  int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  if (!filter_h<4, out_t::pixels>(dst, ds, src, ss, fx, w, h)) mc_chroma_c(dst, ds, src, ss, fx, 0, w, h);
}
void interp_chroma_hv_pp_wxh_ssse3(uint8_t *dst, int32_t ds, const uint8_t *src, int32_t ss, int32_t fx, int32_t fy,
                                   int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  if (!filter_hv<4, out_t::pixels>(dst, ds, src, ss, fx, fy, w, h)) mc_chroma_c(dst, ds, src, ss, fx, fy, w, h);
}

// Chroma to 16-bit samples (destination stride in elements).
void interp_chroma_v_ps_wxh_ssse3(int16_t *dst, int32_t ds, const uint8_t *src, int32_t ss, int32_t, int32_t fy,
                                  int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  if (!filter_v<4, out_t::words>(dst, ds, src, ss, fy, w, h)) mc_chroma_ps_c(dst, ds, src, ss, 0, fy, w, h);
}
void interp_chroma_h_ps_wxh_ssse3(int16_t *dst, int32_t ds, const uint8_t *src, int32_t ss, int32_t fx, int32_t,
                                  int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  if (!filter_h<4, out_t::words>(dst, ds, src, ss, fx, w, h)) mc_chroma_ps_c(dst, ds, src, ss, fx, 0, w, h);
}
void interp_chroma_hv_ps_wxh_ssse3(int16_t *dst, int32_t ds, const uint8_t *src, int32_t ss, int32_t fx, int32_t fy,
                                   int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  if (!filter_hv<4, out_t::words>(dst, ds, src, ss, fx, fy, w, h)) mc_chroma_ps_c(dst, ds, src, ss, fx, fy, w, h);
}

// The fixed chroma blocks the AVX2 driver takes from this tier.
void interp_chroma_v_ps_4x4_ssse3(int16_t *dst, int32_t ds, const uint8_t *src, int32_t ss, uint32_t fy) {
  filter_v<4, out_t::words>(dst, ds, src, ss, static_cast<int32_t>(fy & 7), 4, 4);
}
void interp_chroma_v_ps_8x8_ssse3(int16_t *dst, int32_t ds, const uint8_t *src, int32_t ss, uint32_t fy) {
  filter_v<4, out_t::words>(dst, ds, src, ss, static_cast<int32_t>(fy & 7), 8, 8);
}
void interp_chroma_h_ps_4x4_ssse3(int16_t *dst, int32_t ds, const uint8_t *src, int32_t ss, uint32_t fx) {
  filter_h<4, out_t::words>(dst, ds, src, ss, static_cast<int32_t>(fx & 7), 4, 4);
}
void interp_chroma_hv_ps_4x4_ssse3(int16_t *dst, int32_t ds, const uint8_t *src, int32_t ss, uint32_t fx,
                                   uint32_t fy) {
  filter_hv<4, out_t::words>(dst, ds, src, ss, static_cast<int32_t>(fx & 7), static_cast<int32_t>(fy & 7), 4, 4);
}

// Full-sample 16-bit prediction, sample << 6, of any w x h.
void p2s_wxh_sse2(int16_t *dst, int32_t ds, const uint8_t *src, int32_t ss, int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  if (!fullpel_words(dst, ds, src, ss, w, h)) mc_chroma_ps_c(dst, ds, src, ss, 0, 0, w, h);
}

void mc_chroma_ssse3(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx,
                     int32_t mvy, int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  const uint8_t *s = ref + vector_offset(mvx, mvy, ref_stride, 3);
  const int32_t fx = mvx & 7, fy = mvy & 7;
  if (fx == 0 && fy == 0) block_copy_c(dst, dst_stride, s, ref_stride, w, h);
  else if (fx == 0) interp_chroma_v_pp_wxh_ssse3(dst, dst_stride, s, ref_stride, 0, fy, w, h);
  else if (fy == 0) interp_chroma_h_pp_wxh_ssse3(dst, dst_stride, s, ref_stride, fx, 0, w, h);
  else interp_chroma_hv_pp_wxh_ssse3(dst, dst_stride, s, ref_stride, fx, fy, w, h);
}

void mc_chroma_ps_ssse3(int16_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx,
                        int32_t mvy, int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  const uint8_t *s = ref + vector_offset(mvx, mvy, ref_stride, 3);
  const int32_t fx = mvx & 7, fy = mvy & 7;
  if (fx == 0 && fy == 0) p2s_wxh_sse2(dst, dst_stride, s, ref_stride, w, h);
  else if (fx == 0) interp_chroma_v_ps_wxh_ssse3(dst, dst_stride, s, ref_stride, 0, fy, w, h);
  else if (fy == 0) interp_chroma_h_ps_wxh_ssse3(dst, dst_stride, s, ref_stride, fx, 0, w, h);
  else interp_chroma_hv_ps_wxh_ssse3(dst, dst_stride, s, ref_stride, fx, fy, w, h);
}

// Luma vertical filters from 8-bit samples (fy 1..3; fx not read), to
// pixels and to 16-bit samples: the 8-wide ones serve widths up to 8, the
// 16-wide ones widths 9 to 16.
void interp_luma_v_pp_8xh_ssse3(uint8_t *dst, int32_t ds, const uint8_t *src, int32_t ss, int32_t, int32_t fy,
                                int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  if (!filter_v<8, out_t::pixels>(dst, ds, src, ss, fy, w, h)) mc_luma_c(dst, ds, src, nullptr, ss, 0, fy, w, h);
}
void interp_luma_v_pp_16xh_ssse3(uint8_t *dst, int32_t ds, const uint8_t *src, int32_t ss, int32_t fx, int32_t fy,
                                 int32_t w, int32_t h) {
  interp_luma_v_pp_8xh_ssse3(dst, ds, src, ss, fx, fy, w, h);
}
void interp_luma_v_ps_8xh_ssse3(int16_t *dst, int32_t ds, const uint8_t *src, int32_t ss, int32_t, int32_t fy,
                                int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  int32_t stride = ds;
  if (!filter_v<8, out_t::words>(dst, ds, src, ss, fy, w, h)) mc_luma_ps_c(dst, &stride, src, nullptr, ss, 0, fy, w, h);
}
void interp_luma_v_ps_16xh_ssse3(int16_t *dst, int32_t ds, const uint8_t *src, int32_t ss, int32_t fx, int32_t fy,
                                 int32_t w, int32_t h) {
  interp_luma_v_ps_8xh_ssse3(dst, ds, src, ss, fx, fy, w, h);
}

// Over one 16-bit horizontal plane (fx chose the plane; it is not read
// here): the vertical filter to pixels, (s + 2048) >> 12 clipped, for
// widths up to 4 and 5 to 8; the rounding (v + 32) >> 6 clipped; and the
// vertical filter to 16-bit samples, s >> 6 kept as its low 16 bits.
void interp_luma_hv_pp_4xh_ssse3(uint8_t *dst, int32_t ds, const int16_t *plane, int32_t ps, int32_t, int32_t fy,
                                 int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  if (!filter_v_words<8, out_t::pixels>(dst, ds, plane, ps, fy, w, h)) plane_pixels_c(dst, ds, plane, ps, fy, w, h);
}
void interp_luma_hv_pp_wxh_ssse3(uint8_t *dst, int32_t ds, const int16_t *plane, int32_t ps, int32_t fx, int32_t fy,
                                 int32_t w, int32_t h) {
  interp_luma_hv_pp_4xh_ssse3(dst, ds, plane, ps, fx, fy, w, h);
}
void luma_hplane_round_8nxh_ssse3(uint8_t *dst, int32_t ds, const int16_t *plane, int32_t ps, int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  if (!plane_round(dst, ds, plane, ps, w, h)) plane_pixels_c(dst, ds, plane, ps, 0, w, h);
}
void luma_hplane_round_16nxh_ssse3(uint8_t *dst, int32_t ds, const int16_t *plane, int32_t ps, int32_t w, int32_t h) {
  luma_hplane_round_8nxh_ssse3(dst, ds, plane, ps, w, h);
}
void mc_luma_ps_from_hplanes_4xh_sse2(int16_t *dst, int32_t ds, const int16_t *plane, int32_t ps, int32_t, int32_t fy,
                                      int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  if (!filter_v_words<8, out_t::words>(dst, ds, plane, ps, fy, w, h)) plane_words_c(dst, ds, plane, ps, fy, w, h);
}
void mc_luma_ps_from_hplanes_8xh_sse2(int16_t *dst, int32_t ds, const int16_t *plane, int32_t ps, int32_t fx,
                                      int32_t fy, int32_t w, int32_t h) {
  mc_luma_ps_from_hplanes_4xh_sse2(dst, ds, plane, ps, fx, fy, w, h);
}

// Luma prediction to pixels (the mc_luma slot of this tier): over the
// horizontal plane of a fractional x when there are planes, else by the
// filter passes from the samples.
void mc_luma_ssse3(uint8_t *dst, int32_t ds, const uint8_t *src, const int16_t *const *hplanes, int32_t ss,
                   int32_t mvx, int32_t mvy, int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  const intptr_t off = vector_offset(mvx, mvy, ss, 2);
  const int32_t fx = mvx & 3, fy = mvy & 3;
  const uint8_t *s = src + off;
  bool done;
  if (fx == 0 && fy == 0) {
    block_copy_c(dst, ds, s, ss, w, h);
    return;
  } else if (fx == 0) {
    interp_luma_v_pp_8xh_ssse3(dst, ds, s, ss, 0, fy, w, h);
    return;
  } else if (hplanes != nullptr) {
    if (fy == 0) luma_hplane_round_8nxh_ssse3(dst, ds, hplanes[fx - 1] + off, ss, w, h);
    else interp_luma_hv_pp_4xh_ssse3(dst, ds, hplanes[fx - 1] + off, ss, fx, fy, w, h);
    return;
  } else if (fy == 0) {
    done = filter_h<8, out_t::pixels>(dst, ds, s, ss, fx, w, h);
  } else {
    done = filter_hv<8, out_t::pixels>(dst, ds, s, ss, fx, fy, w, h);
  }
  if (!done) mc_luma_c(dst, ds, src, hplanes, ss, mvx, mvy, w, h);
}

// The per-plane function of the sub-sample plane build.
void mc_luma_from_hplanes_ssse3(uint8_t *dst, int32_t ds, const uint8_t *src, const int16_t *const *hplanes,
                                int32_t ss, int32_t mvx, int32_t mvy, int32_t w, int32_t h) {
  mc_luma_ssse3(dst, ds, src, hplanes, ss, mvx, mvy, w, h);
}

const uint8_t *get_ref_ssse3(uint8_t *buf, int32_t *stride_io, const uint8_t *ref, const int16_t *const *hplanes,
                             int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h) {
  return get_ref_through<mc_luma_ssse3>(buf, stride_io, ref, hplanes, ref_stride, mvx, mvy, w, h);
}

// Luma prediction to 16-bit samples (the mc_luma_ps slot of this tier): the
// horizontal plane itself for a horizontal-only fraction, else as above.
const int16_t *mc_luma_ps_ssse3(int16_t *dst, int32_t *dst_stride, const uint8_t *ref, const int16_t *const *hplanes,
                                int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return dst;
  const intptr_t off = vector_offset(mvx, mvy, ref_stride, 2);
  const int32_t fx = mvx & 3, fy = mvy & 3;
  if (const int16_t *window = luma_ps_plane_window(hplanes, off, fx, fy, ref_stride, dst_stride)) return window;
  const uint8_t *s = ref + off;
  const int32_t ds = *dst_stride;
  bool done;
  if (fx == 0 && fy == 0) done = fullpel_words(dst, ds, s, ref_stride, w, h);
  else if (fx != 0 && hplanes != nullptr)
    done = filter_v_words<8, out_t::words>(dst, ds, hplanes[fx - 1] + off, ref_stride, fy, w, h);
  else if (fy == 0) done = filter_h<8, out_t::words>(dst, ds, s, ref_stride, fx, w, h);
  else if (fx == 0) done = filter_v<8, out_t::words>(dst, ds, s, ref_stride, fy, w, h);
  else done = filter_hv<8, out_t::words>(dst, ds, s, ref_stride, fx, fy, w, h);
  return done ? dst : mc_luma_ps_c(dst, dst_stride, ref, hplanes, ref_stride, mvx, mvy, w, h);
}

// Raw horizontal sums of phase + 1 for rows -3 .. height + 3 (the plane
// layout); nothing for a width below 1 or a height below -6.
void interp_luma_h_ps_8xh_ssse3(int16_t *dst, const uint8_t *src, int32_t stride, int32_t width, int32_t height,
                                int32_t phase) {
  if (width <= 0 || height + 7 <= 0) return;
  const intptr_t back = 3 * static_cast<intptr_t>(stride);
  if (!filter_h<8, out_t::words>(dst - back, stride, src - back, stride, phase + 1, width, height + 7))
    for (int32_t y = -3; y < height + 4; y++)
      for (int32_t x = 0; x < width; x++) {
        const uint8_t *s = src + static_cast<intptr_t>(y) * stride + x - 3;
        int32_t sum = 0;
        for (int32_t k = 0; k < 8; k++) sum += luma_filter_taps[phase + 1][k] * s[k];
        dst[static_cast<intptr_t>(y) * stride + x] = static_cast<int16_t>(sum);
      }
}
void interp_luma_h_ps_16xh_ssse3(int16_t *dst, const uint8_t *src, int32_t stride, int32_t width, int32_t height,
                                 int32_t phase) {
  interp_luma_h_ps_8xh_ssse3(dst, src, stride, width, height, phase);
}
