// Byte-vector operations shared by the SAO kernels of both tiers, so each
// kernel is written once as a template over the vector width: v128 (SSE2 and
// SSSE3 operations in legacy encoding when built with -mssse3) and v256
// (AVX2).  Everything here has internal linkage: a tier's file must never
// lend its instructions to another tier's file through a shared symbol.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace {

// 128-bit vectors: 16 samples per step.
struct v128 {
  using T = __m128i;
  static constexpr int32_t L = 16;
  static T load(const void *p) { return _mm_loadu_si128(static_cast<const T *>(p)); }
  static void store(void *p, T v) { _mm_storeu_si128(static_cast<T *>(p), v); }
  static T zero() { return _mm_setzero_si128(); }
  static T set8(int8_t c) { return _mm_set1_epi8(c); }
  static T set16(int16_t c) { return _mm_set1_epi16(c); }
  static T bxor(T a, T b) { return _mm_xor_si128(a, b); }
  static T band(T a, T b) { return _mm_and_si128(a, b); }
  static T add8(T a, T b) { return _mm_add_epi8(a, b); }
  static T sub8(T a, T b) { return _mm_sub_epi8(a, b); }
  static T gt8(T a, T b) { return _mm_cmpgt_epi8(a, b); }
  static T eq8(T a, T b) { return _mm_cmpeq_epi8(a, b); }
  static T min_u8(T a, T b) { return _mm_min_epu8(a, b); }
  static T adds_u8(T a, T b) { return _mm_adds_epu8(a, b); }
  static T subs_u8(T a, T b) { return _mm_subs_epu8(a, b); }
  static T srl16(T a, int n) { return _mm_srli_epi16(a, n); }
  static T add16(T a, T b) { return _mm_add_epi16(a, b); }
  static T sub16(T a, T b) { return _mm_sub_epi16(a, b); }
  static T add32(T a, T b) { return _mm_add_epi32(a, b); }
  static T add64(T a, T b) { return _mm_add_epi64(a, b); }
  // Pairs of 16-bit lanes summed into 32-bit lanes (exact).
  static T madd_ones(T a) { return _mm_madd_epi16(a, _mm_set1_epi16(1)); }
  // Unsigned byte lanes summed per 64-bit lane.
  static T sad0(T a) { return _mm_sad_epu8(a, _mm_setzero_si128()); }
  // Table lookup: idx bytes 0..15 select table bytes.
  static T lookup(T table, T idx) { return _mm_shuffle_epi8(table, idx); }
  static T table(const uint8_t t[16]) { return load(t); }
  // Bytes of a and b interleaved in sample order: lo holds samples 0..L/2-1.
  static void interleave(T a, T b, T &lo, T &hi) {
    lo = _mm_unpacklo_epi8(a, b);
    hi = _mm_unpackhi_epi8(a, b);
  }
  // The same interleave within each 128-bit half (here the whole vector),
  // and the 16-bit lanes of two vectors regrouped to match it.
  static void interleave_halves(T a, T b, T &lo, T &hi) { interleave(a, b, lo, hi); }
  static void match_halves(T a, T b, T &lo, T &hi) {
    lo = a;
    hi = b;
  }
  static int64_t total64(T a) { return _mm_cvtsi128_si64(a) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(a, a)); }
  static int32_t total32(T a) {
    const T s = _mm_add_epi32(a, _mm_shuffle_epi32(a, 0x4e));
    return _mm_cvtsi128_si32(_mm_add_epi32(s, _mm_shuffle_epi32(s, 0xb1)));
  }
};

#ifdef __AVX2__
// 256-bit vectors: 32 samples per step.
struct v256 {
  using T = __m256i;
  static constexpr int32_t L = 32;
  static T load(const void *p) { return _mm256_loadu_si256(static_cast<const T *>(p)); }
  static void store(void *p, T v) { _mm256_storeu_si256(static_cast<T *>(p), v); }
  static T zero() { return _mm256_setzero_si256(); }
  static T set8(int8_t c) { return _mm256_set1_epi8(c); }
  static T set16(int16_t c) { return _mm256_set1_epi16(c); }
  static T bxor(T a, T b) { return _mm256_xor_si256(a, b); }
  static T band(T a, T b) { return _mm256_and_si256(a, b); }
  static T add8(T a, T b) { return _mm256_add_epi8(a, b); }
  static T sub8(T a, T b) { return _mm256_sub_epi8(a, b); }
  static T gt8(T a, T b) { return _mm256_cmpgt_epi8(a, b); }
  static T eq8(T a, T b) { return _mm256_cmpeq_epi8(a, b); }
  static T min_u8(T a, T b) { return _mm256_min_epu8(a, b); }
  static T adds_u8(T a, T b) { return _mm256_adds_epu8(a, b); }
  static T subs_u8(T a, T b) { return _mm256_subs_epu8(a, b); }
  static T srl16(T a, int n) { return _mm256_srli_epi16(a, n); }
  static T add16(T a, T b) { return _mm256_add_epi16(a, b); }
  static T sub16(T a, T b) { return _mm256_sub_epi16(a, b); }
  static T add32(T a, T b) { return _mm256_add_epi32(a, b); }
  static T add64(T a, T b) { return _mm256_add_epi64(a, b); }
  static T madd_ones(T a) { return _mm256_madd_epi16(a, _mm256_set1_epi16(1)); }
  static T sad0(T a) { return _mm256_sad_epu8(a, _mm256_setzero_si256()); }
  // The byte shuffle works within each 128-bit half, so the 16-byte table
  // sits in both halves.
  static T lookup(T table, T idx) { return _mm256_shuffle_epi8(table, idx); }
  static T table(const uint8_t t[16]) { return _mm256_broadcastsi128_si256(v128::load(t)); }
  // The unpacks work within each half: reorder the 64-bit quarters first so
  // that lo holds samples 0..15 and hi samples 16..31.
  static void interleave(T a, T b, T &lo, T &hi) {
    const T ap = _mm256_permute4x64_epi64(a, 0xd8), bp = _mm256_permute4x64_epi64(b, 0xd8);
    lo = _mm256_unpacklo_epi8(ap, bp);
    hi = _mm256_unpackhi_epi8(ap, bp);
  }
  // Interleaved within each half: lo holds samples 0..7 and 16..23, hi
  // samples 8..15 and 24..31; match_halves puts the 16-bit lanes of a
  // (samples 0..15) and b (16..31) in that order.
  static void interleave_halves(T a, T b, T &lo, T &hi) {
    lo = _mm256_unpacklo_epi8(a, b);
    hi = _mm256_unpackhi_epi8(a, b);
  }
  static void match_halves(T a, T b, T &lo, T &hi) {
    lo = _mm256_permute2x128_si256(a, b, 0x20);
    hi = _mm256_permute2x128_si256(a, b, 0x31);
  }
  static int64_t total64(T a) {
    return v128::total64(_mm_add_epi64(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1)));
  }
  static int32_t total32(T a) {
    return v128::total32(_mm_add_epi32(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1)));
  }
};
#endif

// sign(a - b) per byte lane (-1, 0, +1) of unsigned samples, from signed
// compares of the samples biased by 0x80.
template <class V>
inline typename V::T sign_of(typename V::T a_biased, typename V::T b_biased) {
  return V::sub8(V::gt8(b_biased, a_biased), V::gt8(a_biased, b_biased));
}

// Edge category e + 2 (0..4) of the samples at p against the neighbours at
// p + oa and p + ob.
template <class V>
inline typename V::T edge_index(const uint8_t *p, intptr_t oa, intptr_t ob, typename V::T &s) {
  const auto bias = V::set8(static_cast<int8_t>(0x80));
  s = V::load(p);
  const auto sb = V::bxor(s, bias);
  const auto e = V::add8(sign_of<V>(sb, V::bxor(V::load(p + oa), bias)), sign_of<V>(sb, V::bxor(V::load(p + ob), bias)));
  return V::add8(e, V::set8(2));
}

// Neighbour offsets of edge class 0..3 (H.265 Table 8-14 hPos / vPos).
inline void edge_neighbours(int32_t eo_class, intptr_t stride, intptr_t &oa, intptr_t &ob) {
  static constexpr int8_t DX[4][2] = {{-1, 1}, {0, 0}, {-1, 1}, {1, -1}};
  static constexpr int8_t DY[4][2] = {{0, 0}, {-1, 1}, {-1, 1}, {-1, 1}};
  oa = DY[eo_class][0] * stride + DX[eo_class][0];
  ob = DY[eo_class][1] * stride + DX[eo_class][1];
}

inline int32_t min_i32(int32_t a, int32_t b) { return a < b ? a : b; }
inline int32_t max_i32(int32_t a, int32_t b) { return a > b ? a : b; }

}  // namespace
