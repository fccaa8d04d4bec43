// The levels of a 4x4 block in the residual syntax's reading order, SSSE3:
// the block put in reversed scan order by byte shuffles of its two halves,
// the non-zero map from one compare per half, and each half's non-zero
// levels moved to its front by a shuffle looked up by its 8-bit map.
#include <tmmintrin.h>

#include <array>

#include "common/residual_ctx.h"
#include "simd/x86/pixel/coeff_levels_tables.h"
#include "simd/x86/pixel/pixel_ssse3.h"

namespace {

// [scan type][output half][source half]: the shuffle that puts lane i of the
// reversed scan (entry 15 - i) from the raster half holding it; lanes the
// other half holds are zeroed (0x80), so that the two shuffles OR together.
alignas(16) constexpr auto reverse_scan = [] {
  std::array<std::array<std::array<bytes16, 2>, 2>, 3> t{};
  for (int type = 0; type < 3; type++)
    for (int i = 0; i < 16; i++) {
      const int r = residual_ctx::inner_scan[type][15 - i];
      for (int src = 0; src < 2; src++) {
        const bool here = (r >> 3) == src;
        t[type][i >> 3][src][2 * (i & 7)] = here ? static_cast<uint8_t>(2 * (r & 7)) : 0x80;
        t[type][i >> 3][src][2 * (i & 7) + 1] = here ? static_cast<uint8_t>(2 * (r & 7) + 1) : 0x80;
      }
    }
  return t;
}();

inline __m128i load(const bytes16 &b) { return _mm_load_si128(reinterpret_cast<const __m128i *>(b.data())); }

}  // namespace

uint32_t coeff_levels_4x4_ssse3(const int16_t *coef, int32_t scan_type, int16_t *out) {
  const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i *>(coef));
  const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i *>(coef + 8));
  const auto &c = reverse_scan[scan_type];
  const __m128i r0 = _mm_or_si128(_mm_shuffle_epi8(lo, load(c[0][0])), _mm_shuffle_epi8(hi, load(c[0][1])));
  const __m128i r1 = _mm_or_si128(_mm_shuffle_epi8(lo, load(c[1][0])), _mm_shuffle_epi8(hi, load(c[1][1])));
  const __m128i zero = _mm_setzero_si128();
  const uint32_t zeros = static_cast<uint32_t>(
      _mm_movemask_epi8(_mm_packs_epi16(_mm_cmpeq_epi16(r0, zero), _mm_cmpeq_epi16(r1, zero))));
  const uint32_t map = ~zeros & 0xffff;
  const uint32_t m0 = map & 255, m1 = map >> 8;
  // The upper half first cleared, then each half's levels at the end of the
  // ones before: out[n..16) end up 0.
  _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 8), zero);
  _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_shuffle_epi8(r0, load(compact_lanes[m0])));
  _mm_storeu_si128(reinterpret_cast<__m128i *>(out + residual_ctx::bit_count[m0]),
                   _mm_shuffle_epi8(r1, load(compact_lanes[m1])));
  return map;
}
