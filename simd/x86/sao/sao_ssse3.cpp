// SSSE3 tier of the SAO table: 16 samples per step, legacy SSE encodings
// only (built with -mssse3), so it runs on every processor that sets the
// flag.
#include "simd/x86/sao/sao_kernels.h"
#include "simd/x86/simd_install.h"

namespace {

// Band statistics: the counting is a histogram, which vectors do not speed
// up, but a row's bands are found 16 at a time first.  Each sample makes
// one addition, count and difference packed in one 64-bit entry (count <<
// 32 plus the difference, whose total stays within +-2^31), and four
// interleaved histograms keep consecutive samples of one band from waiting
// on each other's additions.  cols is at most 64.
void bo_stats_rows(sao_stats_t *out, const uint8_t *px, int32_t stride, const int16_t *diff, int32_t dstride,
                   int32_t cols, int32_t h) {
  int64_t acc[4][32] = {};
  alignas(16) uint8_t band[64];
  const auto b31 = v128::set8(31);
  for (int32_t y = 0; y < h; y++) {
    const uint8_t *p = px + static_cast<intptr_t>(y) * stride;
    const int16_t *d = diff + static_cast<intptr_t>(y) * dstride;
    // Bytes shifted in 16-bit lanes, the bits from the neighbouring byte
    // masked off.
    for (int32_t x = 0; x < cols; x += 16) v128::store(band + x, v128::band(v128::srl16(v128::load(p + x), 3), b31));
    for (int32_t x = 0; x < cols; x += 4)
      for (int32_t j = 0; j < 4; j++) acc[j][band[x + j]] += (int64_t{1} << 32) + d[x + j];
  }
  std::memset(out, 0, sizeof(*out));
  for (int32_t b = 0; b < 32; b++) {
    const int64_t t = acc[0][b] + acc[1][b] + acc[2][b] + acc[3][b];
    const int32_t sum = static_cast<int32_t>(static_cast<uint32_t>(t));
    out->count[b] = static_cast<uint16_t>((t - sum) >> 32);
    out->sum[b] = sum;
  }
}

void sao_stats_bo_wxh_ssse3(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                  int32_t w, int32_t h, void *) {
  bo_stats_rows(out, px, stride, diff, block_side(is_luma), counted_columns(w, is_luma),
                counted_rows(h, is_luma));
}

void sao_stats_bo_ssse3(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff, void *) {
  const int32_t n = block_side(is_luma);
  bo_stats_rows(out, px, stride, diff, n, n, n);
}


// The kernels of sao_kernels.h at 16 samples per step, by name.
void sao_diff_ssse3(int16_t *diff, const uint8_t *rec, int32_t rec_stride, const uint8_t *src, int32_t src_stride,
                    int32_t is_luma) {
  diff_k<v128, v128>(diff, rec, rec_stride, src, src_stride, is_luma);
}
void sao_diff_wxh_ssse3(int16_t *diff, const uint8_t *rec, int32_t rec_stride, const uint8_t *src, int32_t src_stride,
                    int32_t is_luma, int32_t w, int32_t h) {
  diff_wxh_k<v128, v128>(diff, rec, rec_stride, src, src_stride, is_luma, w, h);
}
void sao_stats_eo0_ssse3(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                         void *scratch) {
  stats_eo_k<v128, v128, 0>(out, px, stride, is_luma, diff, scratch);
}
void sao_stats_eo0_wxh_ssse3(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                         int32_t w, int32_t h, void *scratch) {
  stats_eo_wxh_k<v128, v128, 0>(out, px, stride, is_luma, diff, w, h, scratch);
}
void sao_stats_eo1_ssse3(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                         void *scratch) {
  stats_eo_k<v128, v128, 1>(out, px, stride, is_luma, diff, scratch);
}
void sao_stats_eo1_wxh_ssse3(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                         int32_t w, int32_t h, void *scratch) {
  stats_eo_wxh_k<v128, v128, 1>(out, px, stride, is_luma, diff, w, h, scratch);
}
void sao_stats_eo2_ssse3(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                         void *scratch) {
  stats_eo_k<v128, v128, 2>(out, px, stride, is_luma, diff, scratch);
}
void sao_stats_eo2_wxh_ssse3(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                         int32_t w, int32_t h, void *scratch) {
  stats_eo_wxh_k<v128, v128, 2>(out, px, stride, is_luma, diff, w, h, scratch);
}
void sao_stats_eo3_ssse3(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                         void *scratch) {
  stats_eo_k<v128, v128, 3>(out, px, stride, is_luma, diff, scratch);
}
void sao_stats_eo3_wxh_ssse3(sao_stats_t *out, const uint8_t *px, int32_t stride, int32_t is_luma, const int16_t *diff,
                         int32_t w, int32_t h, void *scratch) {
  stats_eo_wxh_k<v128, v128, 3>(out, px, stride, is_luma, diff, w, h, scratch);
}
}  // namespace

void install_sao_ssse3(sao_funcs_t *s) {
  s->sao_diff = sao_diff_ssse3;
  s->sao_diff_wxh = sao_diff_wxh_ssse3;
  s->sao_stats_eo[0] = sao_stats_eo0_ssse3;
  s->sao_stats_eo[1] = sao_stats_eo1_ssse3;
  s->sao_stats_eo[2] = sao_stats_eo2_ssse3;
  s->sao_stats_eo[3] = sao_stats_eo3_ssse3;
  s->sao_stats_eo_wxh[0] = sao_stats_eo0_wxh_ssse3;
  s->sao_stats_eo_wxh[1] = sao_stats_eo1_wxh_ssse3;
  s->sao_stats_eo_wxh[2] = sao_stats_eo2_wxh_ssse3;
  s->sao_stats_eo_wxh[3] = sao_stats_eo3_wxh_ssse3;
  s->sao_stats_bo = sao_stats_bo_ssse3;
  s->sao_stats_bo_wxh = sao_stats_bo_wxh_ssse3;
}
