// The levels of a 4x4 block in the residual syntax's reading order, AVX2:
// the whole block in one register, put in reversed scan order by two byte
// shuffles, one of the block and one of its halves exchanged, whose lanes
// the other zeroes; the non-zero map from one compare, its byte mask
// gathered to one bit a lane (BMI2); each half's non-zero levels moved to
// its front by the shuffle its 8-bit map looks up, as in the SSSE3 kernel.
#include <immintrin.h>

#include <array>

#include "common/residual_ctx.h"
#include "simd/x86/pixel/coeff_levels_tables.h"
#include "simd/x86/pixel/pixel_avx2.h"

namespace {

// [scan type][source]: the shuffle that puts lane i of the reversed scan
// (entry 15 - i) from the block (source 0) or from the block with its
// halves exchanged (source 1), whichever holds that raster position in
// lane i's half; the other source's byte is zeroed (0x80).
struct alignas(32) reverse_scan_t {
  uint8_t b[3][2][32];
};
constexpr reverse_scan_t reverse_scan = [] {
  reverse_scan_t t{};
  for (int type = 0; type < 3; type++)
    for (int i = 0; i < 16; i++) {
      const int r = residual_ctx::inner_scan[type][15 - i];
      const int src = (r >> 3) == (i >> 3) ? 0 : 1;
      for (int s = 0; s < 2; s++) {
        t.b[type][s][2 * i] = s == src ? static_cast<uint8_t>(2 * (r & 7)) : 0x80;
        t.b[type][s][2 * i + 1] = s == src ? static_cast<uint8_t>(2 * (r & 7) + 1) : 0x80;
      }
    }
  return t;
}();

inline __m128i load(const bytes16 &b) { return _mm_load_si128(reinterpret_cast<const __m128i *>(b.data())); }

}  // namespace

uint32_t coeff_levels_4x4_avx2(const int16_t *coef, int32_t scan_type, int16_t *out) {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(coef));
  const auto &c = reverse_scan.b[scan_type];
  const __m256i r = _mm256_or_si256(
      _mm256_shuffle_epi8(v, _mm256_load_si256(reinterpret_cast<const __m256i *>(c[0]))),
      _mm256_shuffle_epi8(_mm256_permute4x64_epi64(v, 0x4E), _mm256_load_si256(reinterpret_cast<const __m256i *>(c[1]))));
  const uint32_t zeros = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(r, _mm256_setzero_si256())));
  const uint32_t map = _pext_u32(~zeros, 0x55555555u);
  const uint32_t m0 = map & 255, m1 = map >> 8;
  // The upper half first cleared, then each half's levels at the end of the
  // ones before: out[n..16) end up 0.
  _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 8), _mm_setzero_si128());
  _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_shuffle_epi8(_mm256_castsi256_si128(r), load(compact_lanes[m0])));
  _mm_storeu_si128(reinterpret_cast<__m128i *>(out + residual_ctx::bit_count[m0]),
                   _mm_shuffle_epi8(_mm256_extracti128_si256(r, 1), load(compact_lanes[m1])));
  _mm256_zeroupper();
  return map;
}
