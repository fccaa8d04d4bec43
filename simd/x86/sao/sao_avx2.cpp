// AVX2 tier of the SAO table: 32 samples per step, with 16-sample steps for
// a last strip of 16 columns and for blocks narrower than 32.  The band
// statistics keep the SSSE3 tier's kernels.
#include "simd/x86/sao/sao_kernels.h"
#include "simd/x86/simd_install.h"

namespace {

// The kernels of sao_kernels.h at 32 samples per step, by name.
void sao_diff_ctu_avx2(int16_t *diff, const uint8_t *rec, int32_t rec_stride, const uint8_t *src, int32_t src_stride,
                    int32_t is_luma) {
  diff_k<v256, v128>(diff, rec, rec_stride, src, src_stride, is_luma);
}
void sao_diff_wxh_avx2(int16_t *diff, const uint8_t *rec, int32_t rec_stride, const uint8_t *src, int32_t src_stride,
                    int32_t is_luma, int32_t w, int32_t h) {
  diff_wxh_k<v256, v128>(diff, rec, rec_stride, src, src_stride, is_luma, w, h);
}
void sao_stats_eo0_ctu_avx2(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                         void *scratch) {
  stats_eo_k<v256, v128, 0>(out, px, stride, is_luma, diff, scratch);
}
void sao_stats_eo0_wxh_avx2(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                         int32_t w, int32_t h, void *scratch) {
  stats_eo_wxh_k<v256, v128, 0>(out, px, stride, is_luma, diff, w, h, scratch);
}
void sao_stats_eo1_ctu_avx2(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                         void *scratch) {
  stats_eo_k<v256, v128, 1>(out, px, stride, is_luma, diff, scratch);
}
void sao_stats_eo1_wxh_avx2(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                         int32_t w, int32_t h, void *scratch) {
  stats_eo_wxh_k<v256, v128, 1>(out, px, stride, is_luma, diff, w, h, scratch);
}
void sao_stats_eo2_ctu_avx2(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                         void *scratch) {
  stats_eo_k<v256, v128, 2>(out, px, stride, is_luma, diff, scratch);
}
void sao_stats_eo2_wxh_avx2(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                         int32_t w, int32_t h, void *scratch) {
  stats_eo_wxh_k<v256, v128, 2>(out, px, stride, is_luma, diff, w, h, scratch);
}
void sao_stats_eo3_ctu_avx2(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                         void *scratch) {
  stats_eo_k<v256, v128, 3>(out, px, stride, is_luma, diff, scratch);
}
void sao_stats_eo3_wxh_avx2(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                         int32_t w, int32_t h, void *scratch) {
  stats_eo_wxh_k<v256, v128, 3>(out, px, stride, is_luma, diff, w, h, scratch);
}
void sao_apply_eo_wxh_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, const int8_t off[5],
                         int32_t eo_class, int32_t w, int32_t h) {
  apply_eo_k<v256, v128>(dst, dst_stride, src, src_stride, off, eo_class, w, h);
}
void sao_apply_bo_wxh_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, const int8_t off[5],
                         int32_t band_position, int32_t w, int32_t h) {
  apply_bo_k<v256, v128>(dst, dst_stride, src, src_stride, off, band_position, w, h);
}
void sao_copy_wxh_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t w, int32_t h) {
  copy_k<v256, v128>(dst, dst_stride, src, src_stride, w, h);
}

}  // namespace

void install_sao_avx2(sao_funcs_t *s) {
  s->sao_diff = sao_diff_ctu_avx2;
  s->sao_diff_wxh = sao_diff_wxh_avx2;
  s->sao_stats_eo[0] = sao_stats_eo0_ctu_avx2;
  s->sao_stats_eo[1] = sao_stats_eo1_ctu_avx2;
  s->sao_stats_eo[2] = sao_stats_eo2_ctu_avx2;
  s->sao_stats_eo[3] = sao_stats_eo3_ctu_avx2;
  s->sao_stats_eo_wxh[0] = sao_stats_eo0_wxh_avx2;
  s->sao_stats_eo_wxh[1] = sao_stats_eo1_wxh_avx2;
  s->sao_stats_eo_wxh[2] = sao_stats_eo2_wxh_avx2;
  s->sao_stats_eo_wxh[3] = sao_stats_eo3_wxh_avx2;
  s->sao_apply_eo = sao_apply_eo_wxh_avx2;
  s->sao_apply_bo = sao_apply_bo_wxh_avx2;
  s->sao_copy = sao_copy_wxh_avx2;
}
