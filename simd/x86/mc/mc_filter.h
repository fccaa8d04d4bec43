// The interpolation kernels of both tiers, for the luma 8-tap and the chroma
// 4-tap filters of H.265 8.5.3.3.3 (one template per filter pass, TAPS 8 or
// 4).  Each tier's file includes this one; the anonymous namespace gives
// each tier's object file its own copy, compiled with that tier's
// instruction set only: 128-bit SSSE3 code everywhere, and 256-bit column
// groups where the file is compiled for AVX2.
//
// A block is covered by column groups of 32, 16, 8 or 4 (for_groups), so
// every kernel writes exactly the w x h block, reads exactly the filter
// window of the portable function and gives its bytes.  A block narrower
// than 4 samples, or a two-dimensional one larger than the 64x64 scratch,
// has no route: the slot functions pass it to the portable function.
//
// Every sum is exact: PMADDUBSW multiplies the unsigned samples by a signed
// tap pair, and a pair sum of 8-bit samples lies within -2805..14790, so it
// never saturates; the full 8-tap sum lies within -6120..22440 and wraps
// nowhere.  Sums over 16-bit values (second filter stage, planes) are taken
// in 32 bits with PMADDWD.
//
// Column groups read exactly the filter window of their columns: no load
// reaches a byte the portable function does not read.
#pragma once

#include <immintrin.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "common/mc.h"

// Forces the sliding filters' pieces inline: out of line, their 256-bit
// windows would pass through memory at every step.
#define ALWAYS_INLINE __attribute__((always_inline))

namespace {

template <int TAPS>
constexpr const int16_t *filter_taps(int32_t frac) {
  return TAPS == 8 ? luma_filter_taps[frac] : chroma_filter_taps[frac];
}
template <int TAPS>
constexpr int32_t FRACTIONS = TAPS == 8 ? 4 : 8;

// Tap pairs (tap 2j, tap 2j + 1) per fraction: as the two signed bytes of a
// 16-bit lane for PMADDUBSW over interleaved samples, and as the two words
// of a 32-bit lane for PMADDWD over interleaved 16-bit sums.
template <int TAPS>
constexpr auto make_tap_pairs_i8() {
  std::array<std::array<int16_t, TAPS / 2>, FRACTIONS<TAPS>> t{};
  for (int32_t f = 0; f < FRACTIONS<TAPS>; f++)
    for (int32_t j = 0; j < TAPS / 2; j++)
      t[f][j] = static_cast<int16_t>((filter_taps<TAPS>(f)[2 * j] & 0xff) | (filter_taps<TAPS>(f)[2 * j + 1] << 8));
  return t;
}
template <int TAPS>
constexpr auto make_tap_pairs_i16() {
  std::array<std::array<int32_t, TAPS / 2>, FRACTIONS<TAPS>> t{};
  for (int32_t f = 0; f < FRACTIONS<TAPS>; f++)
    for (int32_t j = 0; j < TAPS / 2; j++)
      t[f][j] = static_cast<int32_t>((filter_taps<TAPS>(f)[2 * j] & 0xffff) |
                                     (static_cast<uint32_t>(filter_taps<TAPS>(f)[2 * j + 1]) << 16));
  return t;
}
template <int TAPS>
constexpr auto tap_pairs_i8 = make_tap_pairs_i8<TAPS>();
template <int TAPS>
constexpr auto tap_pairs_i16 = make_tap_pairs_i16<TAPS>();

// Byte layouts of the horizontal window in a vector.  Window sample r (r = 0
// at the first tap of output 0) sits at byte where(r):
//  - whole: one 16-byte load at r = 0;
//  - second: one 16-byte load at r = TAPS - 1, serving outputs 8..15;
//  - split: 8 (or, for chroma 4-wide, 4) bytes at r = 0 in the low half and
//    8 (or 4) bytes at r = TAPS - 1 in the high half, exactly the window of
//    8 (or 4) outputs.
enum class layout { whole, second, split8, split4 };

template <int TAPS>
constexpr int32_t where(layout l, int32_t r) {
  const int32_t low = l == layout::split4 && TAPS == 4 ? 4 : 8;
  switch (l) {
    case layout::whole: return r;
    case layout::second: return r - (TAPS - 1);
    default: return r < low ? r : r - (TAPS - 1) + 8;
  }
}

// PSHUFB patterns: pattern j puts the window pair (i + 2j, i + 2j + 1) of
// output i (i = 0..7, or 8..15 for the second layout) in 16-bit lane i.
template <int TAPS>
constexpr auto make_pair_masks(layout l) {
  std::array<std::array<int8_t, 16>, TAPS / 2> m{};
  const int32_t base = l == layout::second ? 8 : 0;
  for (int32_t j = 0; j < TAPS / 2; j++)
    for (int32_t i = 0; i < 8; i++)
      for (int32_t b = 0; b < 2; b++) {
        const int32_t at = where<TAPS>(l, base + i + 2 * j + b);
        m[j][2 * i + b] = static_cast<int8_t>(at >= 0 && at < 16 ? at : -1);
      }
  return m;
}
template <int TAPS, layout L>
alignas(16) constexpr auto pair_masks = make_pair_masks<TAPS>(L);

inline __m128i load128(const void *p) { return _mm_loadu_si128(static_cast<const __m128i *>(p)); }
inline __m128i load64(const void *p) { return _mm_loadl_epi64(static_cast<const __m128i *>(p)); }
inline __m128i load32(const void *p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return _mm_cvtsi32_si128(v);
}
inline void store128(void *p, __m128i v) { _mm_storeu_si128(static_cast<__m128i *>(p), v); }
inline void store64(void *p, __m128i v) { _mm_storel_epi64(static_cast<__m128i *>(p), v); }
inline void store32(void *p, __m128i v) {
  const int32_t x = _mm_cvtsi128_si32(v);
  std::memcpy(p, &x, 4);
}

// Tap pairs of one fraction, broadcast.
template <int TAPS>
struct taps128_t {
  __m128i b[TAPS / 2];  // byte pairs
  __m128i w[TAPS / 2];  // word pairs
  explicit taps128_t(int32_t frac) {
    for (int32_t j = 0; j < TAPS / 2; j++) {
      b[j] = _mm_set1_epi16(tap_pairs_i8<TAPS>[frac][j]);
      w[j] = _mm_set1_epi32(tap_pairs_i16<TAPS>[frac][j]);
    }
  }
};

template <int TAPS, layout L>
inline __m128i hsum_laid(__m128i v, const taps128_t<TAPS> &t) {
  const auto &m = pair_masks<TAPS, L>;
  __m128i s = _mm_maddubs_epi16(_mm_shuffle_epi8(v, load128(m[0].data())), t.b[0]);
  for (int32_t j = 1; j < TAPS / 2; j++)
    s = _mm_add_epi16(s, _mm_maddubs_epi16(_mm_shuffle_epi8(v, load128(m[j].data())), t.b[j]));
  return s;
}

// Raw horizontal sums of N = 4 or 8 outputs starting at p (the block
// column; the window starts TAPS / 2 - 1 samples before it).
template <int TAPS, int N>
inline __m128i hsum_narrow(const uint8_t *p, const taps128_t<TAPS> &t) {
  const uint8_t *w = p - (TAPS / 2 - 1);
  if constexpr (N == 8) {
    return hsum_laid<TAPS, layout::split8>(_mm_unpacklo_epi64(load64(w), load64(w + TAPS - 1)), t);
  } else {
    const __m128i lo = TAPS == 8 ? load64(w) : load32(w);
    return hsum_laid<TAPS, layout::split4>(_mm_unpacklo_epi64(lo, load32(w + TAPS - 1)), t);
  }
}

// Raw horizontal sums of 16 outputs: outputs 0..7 in a, 8..15 in b.
template <int TAPS>
inline void hsum_16(const uint8_t *p, const taps128_t<TAPS> &t, __m128i &a, __m128i &b) {
  const uint8_t *w = p - (TAPS / 2 - 1);
  a = hsum_laid<TAPS, layout::whole>(load128(w), t);
  b = hsum_laid<TAPS, layout::second>(load128(w + TAPS - 1), t);
}

// Raw vertical sums over 8-bit rows: N = 16 gives columns 0..7 in a and
// 8..15 in b; N = 8 or 4 gives them in a.
template <int TAPS, int N>
inline void vsum_bytes(const uint8_t *p, intptr_t stride, const taps128_t<TAPS> &t, __m128i &a, __m128i &b) {
  const uint8_t *r = p - (TAPS / 2 - 1) * stride;
  auto row = [&](int32_t k) {
    const uint8_t *q = r + k * stride;
    return N == 16 ? load128(q) : N == 8 ? load64(q) : load32(q);
  };
  a = b = _mm_setzero_si128();
  for (int32_t j = 0; j < TAPS / 2; j++) {
    const __m128i r0 = row(2 * j), r1 = row(2 * j + 1);
    a = _mm_add_epi16(a, _mm_maddubs_epi16(_mm_unpacklo_epi8(r0, r1), t.b[j]));
    if constexpr (N == 16) b = _mm_add_epi16(b, _mm_maddubs_epi16(_mm_unpackhi_epi8(r0, r1), t.b[j]));
  }
}

// 32-bit vertical sums over 16-bit rows: columns 0..3 in a, 4..7 in b
// (N = 8), or 0..3 in a (N = 4).
template <int TAPS, int N>
inline void vsum_words(const int16_t *p, intptr_t stride, const taps128_t<TAPS> &t, __m128i &a, __m128i &b) {
  const int16_t *r = p - (TAPS / 2 - 1) * stride;
  auto row = [&](int32_t k) { return N == 8 ? load128(r + k * stride) : load64(r + k * stride); };
  a = b = _mm_setzero_si128();
  for (int32_t j = 0; j < TAPS / 2; j++) {
    const __m128i r0 = row(2 * j), r1 = row(2 * j + 1);
    a = _mm_add_epi32(a, _mm_madd_epi16(_mm_unpacklo_epi16(r0, r1), t.w[j]));
    if constexpr (N == 8) b = _mm_add_epi32(b, _mm_madd_epi16(_mm_unpackhi_epi16(r0, r1), t.w[j]));
  }
}

// (s + 32) >> 6 for every 16-bit s: PMULHRSW by 512.
inline __m128i round6(__m128i s) { return _mm_mulhrs_epi16(s, _mm_set1_epi16(512)); }

// Second-stage results of 32-bit sums s: to pixels (s + 2048) >> 12, whose
// range (-264..518) fits 16 bits, or to the 16-bit prediction s >> 6 kept as
// its low 16 bits (the stored form ps_value reads back).
inline __m128i pixels_of_2d(__m128i a, __m128i b) {
  const __m128i k = _mm_set1_epi32(2048);
  return _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(a, k), 12), _mm_srai_epi32(_mm_add_epi32(b, k), 12));
}
inline __m128i low16(__m128i v) { return _mm_srai_epi32(_mm_slli_epi32(v, 16), 16); }
inline __m128i ps_of_2d(__m128i a, __m128i b) {
  return _mm_packs_epi32(low16(_mm_srai_epi32(a, 6)), low16(_mm_srai_epi32(b, 6)));
}

// Stores the first N of the 16-bit values as pixels (clipped) or as words.
template <int N>
inline void store_pixels(uint8_t *d, __m128i a) {
  const __m128i v = _mm_packus_epi16(a, a);
  if constexpr (N == 8) store64(d, v);
  else store32(d, v);
}
template <int N>
inline void store_words(int16_t *d, __m128i a) {
  if constexpr (N == 8) store128(d, a);
  else store64(d, a);
}

// Sixteen outputs given as two vectors of 8 16-bit values: pixels rounded
// by (s + 32) >> 6 and clipped, or the raw values.
template <bool PIXELS, typename D>
inline void store16_of_pair(D *d, __m128i a, __m128i b) {
  if constexpr (PIXELS) {
    store128(d, _mm_packus_epi16(round6(a), round6(b)));
  } else {
    store128(d, a);
    store128(d + 8, b);
  }
}

// Covers columns 0..w-1 with groups of n columns, n the widest of 32, 16,
// 8, 4 (not above `widest`) that fits; the last group is moved left to end
// at w, so every column is computed (some twice, to the same value) and
// nothing beyond w is touched.  False when w < 4.
template <typename F>
inline bool for_groups(int32_t w, int32_t widest, F &&f) {
  int32_t n = widest;
  while (n > 4 && n > w) n >>= 1;
  if (w < n) return false;
  int32_t x = 0;
  for (; x + n <= w; x += n) f(x, n);
  if (x < w) f(w - n, n);
  return true;
}

#ifdef __AVX2__
// 256-bit pieces: lane 0 holds the horizontal window of outputs 0..7, lane 1
// that of outputs 8..15.
inline __m256i load256(const void *p) { return _mm256_loadu_si256(static_cast<const __m256i *>(p)); }
inline void store256(void *p, __m256i v) { _mm256_storeu_si256(static_cast<__m256i *>(p), v); }
inline __m256i pair128(__m128i lo, __m128i hi) { return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1); }
inline __m256i round6_256(__m256i s) { return _mm256_mulhrs_epi16(s, _mm256_set1_epi16(512)); }
inline __m256i low16_256(__m256i v) { return _mm256_srai_epi32(_mm256_slli_epi32(v, 16), 16); }
// 16 in-order 16-bit values to 16 clipped pixels.
inline void store_pixels16(uint8_t *d, __m256i v) {
  store128(d, _mm_packus_epi16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
}
constexpr int32_t WIDE_BYTES = 32, WIDE_WORDS = 16;
#else
constexpr int32_t WIDE_BYTES = 16, WIDE_WORDS = 8;
#endif

template <int TAPS>
struct taps_t {
  taps128_t<TAPS> x;
#ifdef __AVX2__
  __m256i b[TAPS / 2], w[TAPS / 2], m[TAPS / 2];
#endif
  explicit taps_t(int32_t frac) : x(frac) {
#ifdef __AVX2__
    for (int32_t j = 0; j < TAPS / 2; j++) {
      b[j] = _mm256_broadcastsi128_si256(x.b[j]);
      w[j] = _mm256_broadcastsi128_si256(x.w[j]);
      m[j] = pair128(load128(pair_masks<TAPS, layout::whole>[j].data()),
                     load128(pair_masks<TAPS, layout::second>[j].data()));
    }
#endif
  }
};

enum class out_t { pixels, words };

// Sixteen horizontal outputs at p, as pixels or raw sums.
template <int TAPS, out_t OUT, typename D>
inline void h_group16(D *d, const uint8_t *p, const taps_t<TAPS> &t) {
#ifdef __AVX2__
  const uint8_t *w = p - (TAPS / 2 - 1);
  const __m256i v = pair128(load128(w), load128(w + TAPS - 1));
  __m256i s = _mm256_maddubs_epi16(_mm256_shuffle_epi8(v, t.m[0]), t.b[0]);
  for (int32_t j = 1; j < TAPS / 2; j++)
    s = _mm256_add_epi16(s, _mm256_maddubs_epi16(_mm256_shuffle_epi8(v, t.m[j]), t.b[j]));
  if constexpr (OUT == out_t::pixels) store_pixels16(d, round6_256(s));
  else store256(d, s);
#else
  __m128i a, b;
  hsum_16<TAPS>(p, t.x, a, b);
  store16_of_pair<OUT == out_t::pixels>(d, a, b);
#endif
}

// The widest vertical group over 8-bit rows (32 columns with AVX2, else 16).
template <int TAPS, out_t OUT, typename D>
inline void v_group_wide(D *d, const uint8_t *p, intptr_t stride, const taps_t<TAPS> &t) {
#ifdef __AVX2__
  // Columns 0-7 | 16-23 in a, 8-15 | 24-31 in b: the in-lane order of the
  // byte unpacks, which the pack to bytes undoes.
  const uint8_t *r = p - (TAPS / 2 - 1) * stride;
  __m256i a = _mm256_setzero_si256(), b = a;
  for (int32_t j = 0; j < TAPS / 2; j++) {
    const __m256i r0 = load256(r + 2 * j * stride), r1 = load256(r + (2 * j + 1) * stride);
    a = _mm256_add_epi16(a, _mm256_maddubs_epi16(_mm256_unpacklo_epi8(r0, r1), t.b[j]));
    b = _mm256_add_epi16(b, _mm256_maddubs_epi16(_mm256_unpackhi_epi8(r0, r1), t.b[j]));
  }
  if constexpr (OUT == out_t::pixels) {
    store256(d, _mm256_packus_epi16(round6_256(a), round6_256(b)));
  } else {
    store256(d, _mm256_permute2x128_si256(a, b, 0x20));
    store256(d + 16, _mm256_permute2x128_si256(a, b, 0x31));
  }
#else
  __m128i a, b;
  vsum_bytes<TAPS, 16>(p, stride, t.x, a, b);
  store16_of_pair<OUT == out_t::pixels>(d, a, b);
#endif
}

// The widest vertical group over 16-bit rows (16 columns with AVX2, else 8):
// pixels (s + 2048) >> 12, or words s >> 6 kept as their low 16 bits.
template <int TAPS, out_t OUT, typename D>
inline void vw_group_wide(D *d, const int16_t *p, intptr_t stride, const taps_t<TAPS> &t) {
#ifdef __AVX2__
  // Columns 0-3 | 8-11 in a, 4-7 | 12-15 in b; the 32-to-16 pack restores
  // the order.
  const int16_t *r = p - (TAPS / 2 - 1) * stride;
  __m256i a = _mm256_setzero_si256(), b = a;
  for (int32_t j = 0; j < TAPS / 2; j++) {
    const __m256i r0 = load256(r + 2 * j * stride), r1 = load256(r + (2 * j + 1) * stride);
    a = _mm256_add_epi32(a, _mm256_madd_epi16(_mm256_unpacklo_epi16(r0, r1), t.w[j]));
    b = _mm256_add_epi32(b, _mm256_madd_epi16(_mm256_unpackhi_epi16(r0, r1), t.w[j]));
  }
  if constexpr (OUT == out_t::pixels) {
    const __m256i k = _mm256_set1_epi32(2048);
    store_pixels16(d, _mm256_packs_epi32(_mm256_srai_epi32(_mm256_add_epi32(a, k), 12),
                                         _mm256_srai_epi32(_mm256_add_epi32(b, k), 12)));
  } else {
    store256(d, _mm256_packs_epi32(low16_256(_mm256_srai_epi32(a, 6)), low16_256(_mm256_srai_epi32(b, 6))));
  }
#else
  __m128i a, b;
  vsum_words<TAPS, 8>(p, stride, t.x, a, b);
  if constexpr (OUT == out_t::pixels) store_pixels<8>(d, pixels_of_2d(a, b));
  else store_words<8>(d, ps_of_2d(a, b));
#endif
}

template <int N, typename D>
inline void store_narrow(D *d, __m128i v) {
  if constexpr (sizeof(D) == 1) store_pixels<N>(d, v);
  else store_words<N>(d, v);
}

#ifdef __AVX2__
// Two rows per 256-bit register, row y in the low lane and row y + 1 in the
// high one, for the narrow blocks: per lane exactly the operations of
// hsum_narrow (N = 4 or 8 columns) and vsum_bytes (N = 4, 8 or 16), so the
// sums are the same.
template <int TAPS, int N>
inline __m256i hsum_rows2(const uint8_t *p, intptr_t stride, const taps_t<TAPS> &t) {
  auto window = [](const uint8_t *w) {
    if constexpr (N == 8) return _mm_unpacklo_epi64(load64(w), load64(w + TAPS - 1));
    else return _mm_unpacklo_epi64(TAPS == 8 ? load64(w) : load32(w), load32(w + TAPS - 1));
  };
  const uint8_t *w = p - (TAPS / 2 - 1);
  const __m256i v = pair128(window(w), window(w + stride));
  const auto &m = pair_masks<TAPS, N == 8 ? layout::split8 : layout::split4>;
  __m256i s = _mm256_setzero_si256();
  for (int32_t j = 0; j < TAPS / 2; j++)
    s = _mm256_add_epi16(s, _mm256_maddubs_epi16(_mm256_shuffle_epi8(v, _mm256_broadcastsi128_si256(load128(m[j].data()))),
                                                 t.b[j]));
  return s;
}

// Columns 0..7 of rows y | y + 1 in a, columns 8..15 in b (N = 16).
template <int TAPS, int N>
inline void vsum_rows2(const uint8_t *p, intptr_t stride, const taps_t<TAPS> &t, __m256i &a, __m256i &b) {
  const uint8_t *r = p - (TAPS / 2 - 1) * stride;
  auto row = [&](int32_t k) {
    const uint8_t *q = r + k * stride;
    return N == 16 ? load128(q) : N == 8 ? load64(q) : load32(q);
  };
  a = b = _mm256_setzero_si256();
  for (int32_t j = 0; j < TAPS / 2; j++) {
    const __m256i r0 = pair128(row(2 * j), row(2 * j + 1)), r1 = pair128(row(2 * j + 1), row(2 * j + 2));
    a = _mm256_add_epi16(a, _mm256_maddubs_epi16(_mm256_unpacklo_epi8(r0, r1), t.b[j]));
    if constexpr (N == 16) b = _mm256_add_epi16(b, _mm256_maddubs_epi16(_mm256_unpackhi_epi8(r0, r1), t.b[j]));
  }
}

// Stores the first N values of each lane of a (and b, N = 16) to rows y and
// y + 1: pixels rounded by (s + 32) >> 6 and clipped, or the raw sums.
template <int N, out_t OUT, typename D>
inline void store_rows2(D *d, intptr_t ds, __m256i a, __m256i b) {
  const __m128i a0 = _mm256_castsi256_si128(a), a1 = _mm256_extracti128_si256(a, 1);
  if constexpr (N == 16) {
    const __m128i b0 = _mm256_castsi256_si128(b), b1 = _mm256_extracti128_si256(b, 1);
    store16_of_pair<OUT == out_t::pixels>(d, a0, b0);
    store16_of_pair<OUT == out_t::pixels>(d + ds, a1, b1);
  } else if constexpr (OUT == out_t::pixels) {
    store_pixels<N>(reinterpret_cast<uint8_t *>(d), round6(a0));
    store_pixels<N>(reinterpret_cast<uint8_t *>(d + ds), round6(a1));
  } else {
    store_words<N>(reinterpret_cast<int16_t *>(d), a0);
    store_words<N>(reinterpret_cast<int16_t *>(d + ds), a1);
  }
}

enum class axis_t { h, v };

// An N-column block of h rows, two rows per pass; an odd last row takes the
// 128-bit pass.  Writes nothing for h of 0 or less.
template <int TAPS, out_t OUT, axis_t AXIS, int N, typename D>
inline void filter_rows2(D *dst, intptr_t ds, const uint8_t *src, intptr_t ss, int32_t frac, int32_t h) {
  const taps_t<TAPS> t(frac);
  int32_t y = 0;
  for (; y + 1 < h; y += 2) {
    __m256i a, b = _mm256_setzero_si256();
    if constexpr (AXIS == axis_t::h) a = hsum_rows2<TAPS, N>(src + y * ss, ss, t);
    else vsum_rows2<TAPS, N>(src + y * ss, ss, t, a, b);
    store_rows2<N, OUT>(dst + y * ds, ds, a, b);
  }
  if (y < h) {
    const uint8_t *s = src + y * ss;
    D *d = dst + y * ds;
    __m128i a, b;
    if constexpr (AXIS == axis_t::h) {
      a = hsum_narrow<TAPS, N>(s, t.x);
    } else {
      vsum_bytes<TAPS, N>(s, ss, t.x, a, b);
      if constexpr (N == 16) {
        store16_of_pair<OUT == out_t::pixels>(d, a, b);
        return;
      }
    }
    if constexpr (N != 16) store_narrow<N>(d, OUT == out_t::pixels ? round6(a) : a);
  }
}

// Vertical filters by a sliding window.  Output row y takes the row pairs
// (y + 2j, y + 2j + 1), j = 0 .. TAPS/2 - 1, of the window; row y + 2 takes
// the same pairs but the first and one more, so each pair is interleaved
// once and kept in registers for TAPS/2 output rows instead of being loaded
// and interleaved again for each.  `make(k)` interleaves pair k (rows
// counted from the first tap row), `emit(y, window)` filters and stores
// output row y (or rows y and y + 1); the rows y0, y0 + 2, ... below y_end
// are emitted.  Per lane the sums are those of the row-by-row groups.
struct pair_regs_t {
  __m256i lo, hi;  // the unpacks' low and high halves of one row pair
};
// The window is a ring of TAPS/2 entries: the loop is unrolled TAPS/2
// times so that each step's slots are constants and the ring stays in
// registers (the new pair takes the slot of the one that left).
template <int TAPS, typename Make, typename Emit>
ALWAYS_INLINE inline void slide_rows(int32_t y0, int32_t y_end, Make make, Emit emit) {
  constexpr int32_t K = TAPS / 2;
  if (y0 >= y_end) return;
  pair_regs_t win[K];
  for (int32_t j = 0; j < K; j++) win[j] = make(y0 + 2 * j);
  int32_t y = y0;
  auto step = [&](auto phase) ALWAYS_INLINE {
    constexpr int32_t P = decltype(phase)::value;
    emit(y, [&](int32_t j) ALWAYS_INLINE -> const pair_regs_t & { return win[(P + j) % K]; });
    if (y + 2 >= y_end) return false;
    win[P] = make(y + TAPS);
    y += 2;
    return true;
  };
  if constexpr (K == 4) {
    while (step(std::integral_constant<int32_t, 0>{}) && step(std::integral_constant<int32_t, 1>{}) &&
           step(std::integral_constant<int32_t, 2>{}) && step(std::integral_constant<int32_t, 3>{})) {
    }
  } else {
    while (step(std::integral_constant<int32_t, 0>{}) && step(std::integral_constant<int32_t, 1>{})) {
    }
  }
}

// Sums of one window: PMADDWD over interleaved 16-bit rows (32-bit sums),
// or PMADDUBSW over interleaved 8-bit rows (16-bit sums).
template <int TAPS, typename At>
ALWAYS_INLINE inline void window_sums_words(At win, const taps_t<TAPS> &t, __m256i &a, __m256i &b) {
  a = _mm256_madd_epi16(win(0).lo, t.w[0]);
  b = _mm256_madd_epi16(win(0).hi, t.w[0]);
  for (int32_t j = 1; j < TAPS / 2; j++) {
    a = _mm256_add_epi32(a, _mm256_madd_epi16(win(j).lo, t.w[j]));
    b = _mm256_add_epi32(b, _mm256_madd_epi16(win(j).hi, t.w[j]));
  }
}
// (HI: the high halves too.)
template <int TAPS, bool HI, typename At>
ALWAYS_INLINE inline void window_sums_bytes(At win, const taps_t<TAPS> &t, __m256i &a, __m256i &b) {
  a = _mm256_maddubs_epi16(win(0).lo, t.b[0]);
  b = HI ? _mm256_maddubs_epi16(win(0).hi, t.b[0]) : _mm256_setzero_si256();
  for (int32_t j = 1; j < TAPS / 2; j++) {
    a = _mm256_add_epi16(a, _mm256_maddubs_epi16(win(j).lo, t.b[j]));
    if constexpr (HI) b = _mm256_add_epi16(b, _mm256_maddubs_epi16(win(j).hi, t.b[j]));
  }
}

// Second-stage results of 32-bit sums (columns 0-3 | 8-11 of the lanes in
// a, 4-7 | 12-15 in b): 16-bit pixels before the clip, or the stored 16-bit
// prediction, in column order per lane.
template <out_t OUT>
ALWAYS_INLINE inline __m256i words_of_2d(__m256i a, __m256i b) {
  if constexpr (OUT == out_t::pixels) {
    const __m256i k = _mm256_set1_epi32(2048);
    return _mm256_packs_epi32(_mm256_srai_epi32(_mm256_add_epi32(a, k), 12),
                              _mm256_srai_epi32(_mm256_add_epi32(b, k), 12));
  } else {
    return _mm256_packs_epi32(low16_256(_mm256_srai_epi32(a, 6)), low16_256(_mm256_srai_epi32(b, 6)));
  }
}

// 16-bit rows, 8 columns, two output rows per 256-bit register (row y in
// the low lane, y + 1 in the high one); an odd last row takes the 128-bit
// group.
template <int TAPS, out_t OUT, typename D>
ALWAYS_INLINE inline void vw_column8(D *d, intptr_t ds, const int16_t *p, intptr_t ps, const taps_t<TAPS> &t, int32_t h) {
  const int16_t *r = p - (TAPS / 2 - 1) * ps;
  auto row = [&](int32_t k) ALWAYS_INLINE { return load128(r + k * ps); };
  slide_rows<TAPS>(0, h - 1, [&](int32_t k) ALWAYS_INLINE {
    const __m128i r1 = row(k + 1);
    const __m256i p0 = pair128(row(k), r1), p1 = pair128(r1, row(k + 2));
    return pair_regs_t{_mm256_unpacklo_epi16(p0, p1), _mm256_unpackhi_epi16(p0, p1)};
  }, [&](int32_t y, auto win) ALWAYS_INLINE {
    __m256i a, b;
    window_sums_words<TAPS>(win, t, a, b);
    const __m256i v = words_of_2d<OUT>(a, b);
    if constexpr (OUT == out_t::pixels) {
      const __m256i px = _mm256_packus_epi16(v, v);
      store64(d + y * ds, _mm256_castsi256_si128(px));
      store64(d + (y + 1) * ds, _mm256_extracti128_si256(px, 1));
    } else {
      store128(d + y * ds, _mm256_castsi256_si128(v));
      store128(d + (y + 1) * ds, _mm256_extracti128_si256(v, 1));
    }
  });
  if (h > 0 && (h & 1)) {
    __m128i a, b;
    vsum_words<TAPS, 8>(p + (h - 1) * ps, ps, t.x, a, b);
    store_narrow<8>(d + (h - 1) * ds, OUT == out_t::pixels ? pixels_of_2d(a, b) : ps_of_2d(a, b));
  }
}

// 8-bit rows, 8 or 16 columns (N), two output rows per 256-bit register:
// columns 0-7 of rows y | y + 1 in a, 8-15 in b.  An odd last row takes
// the 128-bit group.
template <int TAPS, out_t OUT, int N, typename D>
ALWAYS_INLINE inline void v_column_rows2(D *d, intptr_t ds, const uint8_t *p, intptr_t ss, const taps_t<TAPS> &t, int32_t h) {
  const uint8_t *r = p - (TAPS / 2 - 1) * ss;
  auto row = [&](int32_t k) ALWAYS_INLINE { return N == 16 ? load128(r + k * ss) : load64(r + k * ss); };
  slide_rows<TAPS>(0, h - 1, [&](int32_t k) ALWAYS_INLINE {
    const __m128i r1 = row(k + 1);
    const __m256i p0 = pair128(row(k), r1), p1 = pair128(r1, row(k + 2));
    return pair_regs_t{_mm256_unpacklo_epi8(p0, p1),
                                N == 16 ? _mm256_unpackhi_epi8(p0, p1) : _mm256_setzero_si256()};
  }, [&](int32_t y, auto win) ALWAYS_INLINE {
    __m256i a, b;
    window_sums_bytes<TAPS, N == 16>(win, t, a, b);
    store_rows2<N, OUT>(d + y * ds, ds, a, b);
  });
  if (h > 0 && (h & 1)) {
    const uint8_t *s = p + (h - 1) * ss;
    D *o = d + (h - 1) * ds;
    __m128i a, b;
    vsum_bytes<TAPS, N>(s, ss, t.x, a, b);
    if constexpr (N == 16) store16_of_pair<OUT == out_t::pixels>(o, a, b);
    else store_narrow<N>(o, OUT == out_t::pixels ? round6(a) : a);
  }
}

// 16-bit rows, 16 columns, one output row per 256-bit register: the even
// output rows by one sliding window, the odd ones by another, so that each
// output row interleaves one new row pair instead of four.
template <int TAPS, out_t OUT, typename D>
ALWAYS_INLINE inline void vw_column16(D *d, intptr_t ds, const int16_t *p, intptr_t ps, const taps_t<TAPS> &t,
                                      int32_t h) {
  const int16_t *r = p - (TAPS / 2 - 1) * ps;
  auto make = [&](int32_t k) ALWAYS_INLINE {
    const __m256i r0 = load256(r + k * ps), r1 = load256(r + (k + 1) * ps);
    return pair_regs_t{_mm256_unpacklo_epi16(r0, r1), _mm256_unpackhi_epi16(r0, r1)};
  };
  auto emit = [&](int32_t y, auto win) ALWAYS_INLINE {
    __m256i a, b;
    window_sums_words<TAPS>(win, t, a, b);
    const __m256i v = words_of_2d<OUT>(a, b);
    if constexpr (OUT == out_t::pixels) store_pixels16(d + y * ds, v);
    else store256(d + y * ds, v);
  };
  slide_rows<TAPS>(0, h, make, emit);
  slide_rows<TAPS>(1, h, make, emit);
}

#endif

// The passes over a block.  Each returns false when the block is narrower
// than a group.
// The rows of one column group, the group's width chosen once for all of
// them: tested in the loop, the width took a compare and a branch per row,
// a third of the work of a 16-sample row.
template <typename Row>
ALWAYS_INLINE inline void group_rows(int32_t h, Row row) {
  for (int32_t y = 0; y < h; y++) row(y);
}

template <int TAPS, out_t OUT, typename D>
bool filter_h(D *dst, intptr_t ds, const uint8_t *src, intptr_t ss, int32_t frac, int32_t w, int32_t h) {
  const taps_t<TAPS> t(frac);
  return for_groups(w, 16, [&](int32_t x, int32_t n) {
    const uint8_t *s = src + x;
    D *d = dst + x;
    auto narrow = [&](auto width) ALWAYS_INLINE {
      constexpr int32_t N = decltype(width)::value;
      group_rows(h, [&](int32_t y) ALWAYS_INLINE {
        const __m128i v = hsum_narrow<TAPS, N>(s + y * ss, t.x);
        store_narrow<N>(d + y * ds, OUT == out_t::pixels ? round6(v) : v);
      });
    };
    if (n == 16) group_rows(h, [&](int32_t y) ALWAYS_INLINE { h_group16<TAPS, OUT>(d + y * ds, s + y * ss, t); });
    else if (n == 8) narrow(std::integral_constant<int32_t, 8>{});
    else narrow(std::integral_constant<int32_t, 4>{});
  });
}

template <int TAPS, out_t OUT, typename D>
bool filter_v(D *dst, intptr_t ds, const uint8_t *src, intptr_t ss, int32_t frac, int32_t w, int32_t h) {
  const taps_t<TAPS> t(frac);
  return for_groups(w, WIDE_BYTES, [&](int32_t x, int32_t n) {
    const uint8_t *s = src + x;
    D *d = dst + x;
    auto narrow = [&](auto width) ALWAYS_INLINE {
      constexpr int32_t N = decltype(width)::value;
      group_rows(h, [&](int32_t y) ALWAYS_INLINE {
        __m128i a, b;
        vsum_bytes<TAPS, N>(s + y * ss, ss, t.x, a, b);
        store_narrow<N>(d + y * ds, OUT == out_t::pixels ? round6(a) : a);
      });
    };
    if (n == WIDE_BYTES) {
      group_rows(h, [&](int32_t y) ALWAYS_INLINE { v_group_wide<TAPS, OUT>(d + y * ds, s + y * ss, ss, t); });
    } else if (n == 16) {  // AVX2 only: there the widest group is 32
      group_rows(h, [&](int32_t y) ALWAYS_INLINE {
        __m128i a, b;
        vsum_bytes<TAPS, 16>(s + y * ss, ss, t.x, a, b);
        store16_of_pair<OUT == out_t::pixels>(d + y * ds, a, b);
      });
    } else if (n == 8) {
      narrow(std::integral_constant<int32_t, 8>{});
    } else {
      narrow(std::integral_constant<int32_t, 4>{});
    }
  });
}

// Second stage over 16-bit raw horizontal sums (a scratch or a plane).
// SLIDE: the full column groups by the sliding windows (vw_column16), which
// read the same rows; their start costs about what they save on a block of
// a few rows, so they pay from about 16 rows on.
template <int TAPS, out_t OUT, typename D, bool SLIDE = false>
bool filter_v_words(D *dst, intptr_t ds, const int16_t *src, intptr_t ss, int32_t frac, int32_t w, int32_t h) {
  const taps_t<TAPS> t(frac);
  return for_groups(w, WIDE_WORDS, [&](int32_t x, int32_t n) {
#ifdef __AVX2__
    if (SLIDE && n == WIDE_WORDS) return vw_column16<TAPS, OUT>(dst + x, ds, src + x, ss, t, h);
#endif
    const int16_t *s = src + x;
    D *d = dst + x;
    auto narrow = [&](auto width) ALWAYS_INLINE {
      constexpr int32_t N = decltype(width)::value;
      group_rows(h, [&](int32_t y) ALWAYS_INLINE {
        __m128i a, b;
        vsum_words<TAPS, N>(s + y * ss, ss, t.x, a, b);
        store_narrow<N>(d + y * ds, OUT == out_t::pixels ? pixels_of_2d(a, b) : ps_of_2d(a, b));
      });
    };
    if (n == WIDE_WORDS) group_rows(h, [&](int32_t y) ALWAYS_INLINE { vw_group_wide<TAPS, OUT>(d + y * ds, s + y * ss, ss, t); });
    else if (n == 8) narrow(std::integral_constant<int32_t, 8>{});
    else narrow(std::integral_constant<int32_t, 4>{});
  });
}

// Both fractions: raw horizontal sums of rows -(TAPS/2 - 1) .. h + TAPS/2
// into a stack scratch, then the second stage over it.
constexpr int32_t SCRATCH_W = 64;

template <int TAPS, out_t OUT, typename D>
bool filter_hv(D *dst, intptr_t ds, const uint8_t *src, intptr_t ss, int32_t fx, int32_t fy, int32_t w, int32_t h) {
  if (w > SCRATCH_W || h > 64) return false;
  alignas(32) int16_t tmp[(64 + TAPS - 1) * SCRATCH_W];
  constexpr int32_t BEFORE = TAPS / 2 - 1;
  if (!filter_h<TAPS, out_t::words>(tmp, SCRATCH_W, src - BEFORE * ss, ss, fx, w, h + TAPS - 1)) return false;
  return filter_v_words<TAPS, OUT>(dst, ds, tmp + BEFORE * SCRATCH_W, SCRATCH_W, fy, w, h);
}

// Full-sample 16-bit prediction: sample << 6.
inline bool fullpel_words(int16_t *dst, intptr_t ds, const uint8_t *src, intptr_t ss, int32_t w, int32_t h) {
  return for_groups(w, 16, [&](int32_t x, int32_t n) {
    const __m128i zero = _mm_setzero_si128();
    for (int32_t y = 0; y < h; y++) {
      const uint8_t *s = src + y * ss + x;
      int16_t *d = dst + y * ds + x;
      if (n == 16) {
        const __m128i v = load128(s);
        store128(d, _mm_slli_epi16(_mm_unpacklo_epi8(v, zero), 6));
        store128(d + 8, _mm_slli_epi16(_mm_unpackhi_epi8(v, zero), 6));
      } else {
        const __m128i v = _mm_slli_epi16(_mm_unpacklo_epi8(n == 8 ? load64(s) : load32(s), zero), 6);
        n == 8 ? store_words<8>(d, v) : store_words<4>(d, v);
      }
    }
  });
}

// (v + 32) >> 6 of a plane of raw horizontal sums, clipped.
inline bool plane_round(uint8_t *dst, intptr_t ds, const int16_t *src, intptr_t ss, int32_t w, int32_t h) {
  return for_groups(w, 16, [&](int32_t x, int32_t n) {
    for (int32_t y = 0; y < h; y++) {
      const int16_t *s = src + y * ss + x;
      uint8_t *d = dst + y * ds + x;
#ifdef __AVX2__
      if (n == 16) store_pixels16(d, round6_256(load256(s)));
#else
      if (n == 16) store16_of_pair<true>(d, load128(s), load128(s + 8));
#endif
      else if (n == 8) store_pixels<8>(d, round6(load128(s)));
      else store_pixels<4>(d, round6(load64(s)));
    }
  });
}

// The chroma slot bodies, shared by both tiers; `copy` is the tier's block
// copy.
template <typename Copy>
void chroma_to_pixels(Copy copy, uint8_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride,
                      int32_t mvx, int32_t mvy, int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  const uint8_t *s = ref + vector_offset(mvx, mvy, ref_stride, 3);
  const int32_t fx = mvx & 7, fy = mvy & 7;
  bool done;
  if (fx == 0 && fy == 0) {
    copy(dst, dst_stride, s, ref_stride, w, h);
    return;
  } else if (fy == 0) {
    done = filter_h<4, out_t::pixels>(dst, dst_stride, s, ref_stride, fx, w, h);
  } else if (fx == 0) {
    done = filter_v<4, out_t::pixels>(dst, dst_stride, s, ref_stride, fy, w, h);
  } else {
    done = filter_hv<4, out_t::pixels>(dst, dst_stride, s, ref_stride, fx, fy, w, h);
  }
  if (!done) mc_chroma_c(dst, dst_stride, ref, ref_stride, mvx, mvy, w, h);
}

inline void chroma_to_words(int16_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx,
                            int32_t mvy, int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  const uint8_t *s = ref + vector_offset(mvx, mvy, ref_stride, 3);
  const int32_t fx = mvx & 7, fy = mvy & 7;
  bool done;
  if (fx == 0 && fy == 0) done = fullpel_words(dst, dst_stride, s, ref_stride, w, h);
  else if (fy == 0) done = filter_h<4, out_t::words>(dst, dst_stride, s, ref_stride, fx, w, h);
  else if (fx == 0) done = filter_v<4, out_t::words>(dst, dst_stride, s, ref_stride, fy, w, h);
  else done = filter_hv<4, out_t::words>(dst, dst_stride, s, ref_stride, fx, fy, w, h);
  if (!done) mc_chroma_ps_c(dst, dst_stride, ref, ref_stride, mvx, mvy, w, h);
}

}  // namespace
