// Flat quantisation and dequantisation (no scaling lists), 8-bit video.
#include <algorithm>

#include "common/primitives.h"
#include "simd/x86/simd_install.h"

namespace {

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

void setup_quant_primitives(uint32_t cpu_flags, quant_funcs_t *q) {
  q->quant = quant_c;
  q->dequant = dequant_c;
  q->rdoq = rdoq_c;
  q->rdoq_alt = rdoq_alt_c;
  q->sign_hide = sign_hide_c;
  if (cpu_flags & CPU_FLAG_SSSE3) install_quant_ssse3(q);
  if (cpu_flags & CPU_FLAG_AVX2) install_quant_avx2(q);
}
