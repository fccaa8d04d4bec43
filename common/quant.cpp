// Flat quantisation and dequantisation (no scaling lists), 8-bit video.
#include <algorithm>

#include "common/primitives.h"
#include "simd/x86/simd_install.h"

namespace {

// H.265 8.6.2 quantiser step ratios: quant_scale[k] * level_scale[k] ~ 2^20.
constexpr int32_t quant_scale[6] = {26214, 23302, 20560, 18396, 16384, 14564};
constexpr int32_t level_scale[6] = {40, 45, 51, 57, 64, 72};

inline int16_t clip16(int64_t v) { return static_cast<int16_t>(std::clamp<int64_t>(v, -32768, 32767)); }

}  // namespace

// |c| * scale reaches 2^34 at the largest scales, hence 64 bits.
uint32_t quant_c(int16_t *levels, const int16_t *coef, int32_t count, int32_t scale, int32_t shift, int32_t offset) {
  uint32_t nonzero = 0;
  for (int32_t k = 0; k < count; k++) {
    const int64_t c = coef[k];
    const int64_t magnitude = ((c < 0 ? -c : c) * scale + offset) >> shift;
    const int16_t level = clip16(c < 0 ? -magnitude : magnitude);
    levels[k] = level;
    nonzero += level != 0;
  }
  return nonzero;
}

// H.265 8.6.4.2 scaling with m = 16 folded into scale.
void dequant_c(int16_t *coef, const int16_t *levels, int32_t count, int32_t scale, int32_t shift) {
  const int64_t round = int64_t{1} << (shift - 1);
  for (int32_t k = 0; k < count; k++) coef[k] = clip16((levels[k] * int64_t{scale} + round) >> shift);
}

quant_params_t quant_params(int32_t qp, int32_t log2_size, int32_t is_intra) {
  quant_params_t q;
  q.scale = quant_scale[qp % 6];
  // The forward transform leaves 15 - bit depth - log2 size bits of headroom.
  q.shift = 14 + qp / 6 + (15 - 8 - log2_size);
  // Rounding offset of 1/3 (intra) or 1/6 (inter) of a step.
  q.offset = (is_intra ? 171 : 85) << (q.shift - 9);
  return q;
}

quant_params_t dequant_params(int32_t qp, int32_t log2_size) {
  quant_params_t q;
  q.scale = (16 * level_scale[qp % 6]) << (qp / 6);
  q.shift = 8 + log2_size - 5;
  q.offset = 1 << (q.shift - 1);
  return q;
}

void setup_quant_primitives(uint32_t cpu_flags, quant_funcs_t *q) {
  q->quant = quant_c;
  q->dequant = dequant_c;
  q->rdoq = rdoq_c;
  q->rdoq_alt = rdoq_alt_c;
  if (cpu_flags & CPU_FLAG_SSSE3) install_quant_ssse3(q);
  if (cpu_flags & CPU_FLAG_AVX2) install_quant_avx2(q);
}
