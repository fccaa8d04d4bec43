// CTU gradient pyramids: per 8x8 block, the sums over its seven upper rows
// of |p - neighbour| to the right (H), below (V), below-right (D1) and of the
// right neighbour against the one below (D2).  One SAD instruction over a
// 16-sample segment gives the sums of two blocks side by side.  The last
// segment's right neighbours come from a byte shuffle that repeats column
// 63, so nothing outside the 64x64 source is read; the parent levels are
// summed as the portable functions do.
#include "common/pixel_c.h"
#include "simd/x86/pixel/pixel_ssse3.h"
#include "simd/x86/pixel/vector_ssse3.h"

namespace {

enum : uint32_t { WANT_V = 1, WANT_H = 2, WANT_D1 = 4, WANT_D2 = 8 };

// Samples x + 1 of a segment at column x (column 63 repeated at the end).
inline __m128i right_of(const uint8_t *row, int32_t x) {
  if (x < 48) return load128(row + x + 1);
  return _mm_shuffle_epi8(load128(row + x), _mm_setr_epi8(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 15));
}

// The two 64-bit block sums of a SAD result as two 32-bit lanes.
inline __m128i pack_pair(__m128i a, __m128i b) {
  return _mm_unpacklo_epi64(_mm_shuffle_epi32(a, _MM_SHUFFLE(3, 3, 2, 0)), _mm_shuffle_epi32(b, _MM_SHUFFLE(3, 3, 2, 0)));
}

// The 8x8 level of the records `want` names (V, H, D1, D2 order in dir[]);
// with `combined` the H + V entries go to g->combined instead of dir[].
template <uint32_t WANT, bool COMBINED>
void gradient_leaves(const uint8_t *src, ctu_gradients_t *g) {
  for (int32_t j = 0; j < 8; j++) {
    __m128i acc[4][4];  // [direction][segment]
    for (auto &d : acc)
      for (auto &s : d) s = _mm_setzero_si128();
    for (int32_t y = 8 * j; y < 8 * j + 7; y++) {
      const uint8_t *row = src + y * SRC_STRIDE, *next = row + SRC_STRIDE;
      for (int32_t s = 0; s < 4; s++) {
        const int32_t x = 16 * s;
        const __m128i cur = load128(row + x), below = load128(next + x);
        if constexpr ((WANT & WANT_V) != 0) acc[0][s] = _mm_add_epi64(acc[0][s], _mm_sad_epu8(cur, below));
        if constexpr ((WANT & (WANT_H | WANT_D2)) != 0) {
          const __m128i right = right_of(row, x);
          if constexpr ((WANT & WANT_H) != 0) acc[1][s] = _mm_add_epi64(acc[1][s], _mm_sad_epu8(cur, right));
          if constexpr ((WANT & WANT_D2) != 0) acc[3][s] = _mm_add_epi64(acc[3][s], _mm_sad_epu8(right, below));
        }
        if constexpr ((WANT & WANT_D1) != 0)
          acc[2][s] = _mm_add_epi64(acc[2][s], _mm_sad_epu8(cur, right_of(next, x)));
      }
    }
    for (int32_t d = 0; d < 4; d++) {
      if (!(WANT & (1u << d))) continue;
      for (int32_t half = 0; half < 2; half++) {
        __m128i four = pack_pair(acc[d][2 * half], acc[d][2 * half + 1]);
        uint32_t *out = g->dir[d].node + 21 + 8 * j + 4 * half;
        if (COMBINED) {
          if (d != 0) continue;
          four = _mm_add_epi32(four, pack_pair(acc[1][2 * half], acc[1][2 * half + 1]));
          out = g->combined.node + 21 + 8 * j + 4 * half;
        }
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), four);
      }
    }
  }
}

}  // namespace

uint32_t ctu_gradient_pyramid_ssse3(const uint8_t *src, ctu_gradients_t *g) {
  gradient_leaves<WANT_V | WANT_H, true>(src, g);
  gradient_sum_levels(&g->combined);
  return g->combined.node[0];
}

uint32_t ctu_gradient_hv_pyramid_ssse3(const uint8_t *src, ctu_gradients_t *g) {
  gradient_leaves<WANT_V | WANT_H, false>(src, g);
  gradient_sum_levels(&g->dir[0]);
  gradient_sum_levels(&g->dir[1]);
  gradient_combine(g);
  return g->dir[0].node[0];
}

uint32_t ctu_gradient_diag_pyramid_ssse3(const uint8_t *src, ctu_gradients_t *g) {
  gradient_leaves<WANT_D1 | WANT_D2, false>(src, g);
  gradient_sum_levels(&g->dir[2]);
  gradient_sum_levels(&g->dir[3]);
  return g->dir[3].node[0];
}

uint32_t ctu_gradient_dir4_pyramid_ssse3(const uint8_t *src, ctu_gradients_t *g) {
  gradient_leaves<WANT_V | WANT_H | WANT_D1 | WANT_D2, false>(src, g);
  for (gradient_record_t &r : g->dir) gradient_sum_levels(&r);
  return g->dir[3].node[0];
}
