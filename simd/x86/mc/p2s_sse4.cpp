// Full-sample 16-bit predictions (sample << 6) of the 4x4 and 8x8 squares
// with the SSE4.1 zero-extending conversion; only the AVX2 drivers call
// them, so the instructions are always there.
#include <immintrin.h>

#include <cstring>

#include "simd/x86/mc/mc_kernels.h"

namespace {

template <int N>
inline void p2s_square(const uint8_t *src, int32_t ss, int16_t *dst, int32_t ds) {
  for (int32_t y = 0; y < N; y++) {
    const uint8_t *s = src + static_cast<intptr_t>(y) * ss;
    int16_t *d = dst + static_cast<intptr_t>(y) * ds;
    if constexpr (N == 8) {
      const __m128i v = _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(s)));
      _mm_storeu_si128(reinterpret_cast<__m128i *>(d), _mm_slli_epi16(v, 6));
    } else {
      int32_t bytes;
      std::memcpy(&bytes, s, 4);
      _mm_storel_epi64(reinterpret_cast<__m128i *>(d), _mm_slli_epi16(_mm_cvtepu8_epi16(_mm_cvtsi32_si128(bytes)), 6));
    }
  }
}

}  // namespace

void p2s_4x4_sse4(const uint8_t *src, int32_t ss, int16_t *dst, int32_t ds) { p2s_square<4>(src, ss, dst, ds); }
void p2s_8x8_sse4(const uint8_t *src, int32_t ss, int16_t *dst, int32_t ds) { p2s_square<8>(src, ss, dst, ds); }
