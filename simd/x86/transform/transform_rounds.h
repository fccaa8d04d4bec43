// The rounding terms 2^(SH - 1) of the AVX2 transform passes, reached
// through a pointer the compiler cannot see through so that each is an
// operand in memory: as known constants the compiler rebuilds each at every
// call in three instructions (an immediate, a move to a vector register
// and a broadcast), a tenth of a 4x4 transform.  Internal linkage: compiled
// with the including tier's flags.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace {

struct alignas(32) pass_rounds_t {
  int32_t by_shift[13][8];
};
constexpr pass_rounds_t make_pass_rounds() {
  pass_rounds_t t{};
  for (int sh = 1; sh < 13; sh++)
    for (int i = 0; i < 8; i++) t.by_shift[sh][i] = 1 << (sh - 1);
  return t;
}
inline constexpr pass_rounds_t pass_rounds = make_pass_rounds();

inline const pass_rounds_t *opaque_rounds() {
  const pass_rounds_t *p = &pass_rounds;
  __asm__("" : "+r"(p));
  return p;
}

// (v + 2^(SH - 1)) >> SH in every 32-bit lane.
template <int SH>
inline __m256i round_shift_by(__m256i v, const pass_rounds_t *r) {
  static_assert(SH >= 1 && SH < 13);
  return _mm256_srai_epi32(_mm256_add_epi32(v, _mm256_load_si256(reinterpret_cast<const __m256i *>(r->by_shift[SH]))), SH);
}

}  // namespace
