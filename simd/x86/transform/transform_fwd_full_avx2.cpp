// Forward 16x16 and 32x32 DCT cores of the AVX2 tier: two passes of one
// line transform, line_pass, which sets eight lines side by side, one line
// per 32-bit lane, so that every butterfly is an add or subtract of whole
// registers and every multiply-add serves eight lines with one broadcast
// pair of weights.
//
// line_pass(src)[k][l] = clip16((sum_x M[k][x] src[l][x] + 2^(SH-1)) >> SH)
// is stored as row k with line l in column l: over the residual rows it
// gives the first pass transposed (T^T), over T^T's rows the coefficients
// in their natural order.
//
// Even/odd levels: E^0 is the line, E^L[x] = E^(L-1)[x] + E^(L-1)[n-1-x]
// and O^L[x] = E^(L-1)[x] - E^(L-1)[n-1-x] for n = N >> (L-1), x < n/2.
// M[k][n-1-x] = +-M[k][x] within each level, so output k = 2^(L-1) mod 2^L
// is sum_x M[k][x] O^L[x] over x < N >> L, and at depth D the outputs k = 0
// mod 2^D come from E^D.  Samples are kept in pairs, position j of a level
// holding sample j ^ ((j >> 1) & 1) (every second pair swapped): then the
// pair in dword d and the one in dword n/2-1-d hold x and n-1-x in the same
// order at every level, so a level is whole-register arithmetic.
//
// A level-L value sums 2^L inputs, exact in 16 bits while 2^L times the
// largest input magnitude stays below 2^15: residuals (at most 255) take
// every level; the second pass takes as many as the first pass's largest
// magnitude leaves room for, down to none (direct sums, products of the
// stored values, exact in 32 bits).  The saturating narrowing of each pass
// is the portable function's clip16, so the results equal its.
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstdint>

#include "common/dct_matrix.h"
#include "common/primitives.h"
#include "simd/x86/transform/transform_kernels.h"
#include "simd/x86/transform/weight_pair.h"

namespace {

constexpr int pair_pos(int j) { return j ^ ((j >> 1) & 1); }

// Weights [k][d]: (M[k][a], M[k][b]) for the samples (a, b) in dword d of
// k's source, paired in order (FOLD false: the line itself) or as above.
template <int N>
struct alignas(32) line_weights_t {
  int32_t v[N][N / 2];
};
template <int N, bool FOLD>
constexpr line_weights_t<N> make_line_weights() {
  constexpr std::array<int16_t, N * N> m = dct_matrix<N>();
  line_weights_t<N> t{};
  for (int k = 0; k < N; k++)
    for (int d = 0; d < N / 2; d++) {
      const int a = FOLD ? pair_pos(2 * d) : 2 * d, b = FOLD ? pair_pos(2 * d + 1) : 2 * d + 1;
      t.v[k][d] = pair32(m[k * N + a], m[k * N + b]);
    }
  return t;
}
// The mirror symmetries the levels rest on.
template <int N>
constexpr bool levels_hold() {
  constexpr std::array<int16_t, N * N> m = dct_matrix<N>();
  for (int step = 1, n = N; n >= 2; step *= 2, n /= 2)
    for (int k = 0; k < N; k += step)
      for (int x = 0; x < n / 2; x++)
        if (m[k * N + n - 1 - x] != (((k / step) & 1) ? -m[k * N + x] : m[k * N + x])) return false;
  return true;
}
static_assert(levels_hold<16>() && levels_hold<32>());

inline constexpr line_weights_t<16> fold_w16 = make_line_weights<16, true>();
inline constexpr line_weights_t<16> direct_w16 = make_line_weights<16, false>();
inline constexpr line_weights_t<32> fold_w32 = make_line_weights<32, true>();
inline constexpr line_weights_t<32> direct_w32 = make_line_weights<32, false>();
template <int N, bool FOLD>
constexpr const line_weights_t<N> &line_w() {
  if constexpr (N == 16) return FOLD ? fold_w16 : direct_w16;
  else return FOLD ? fold_w32 : direct_w32;
}

// pshufb controls, the same in both 128-bit lanes: `ordered` puts a
// half-line's samples in pair order, `mirrored` puts sample 7 - P(j) of its
// lane at position j.
struct alignas(32) line_shuffles_t {
  uint8_t ordered[32], mirrored[32];
};
constexpr line_shuffles_t make_line_shuffles() {
  line_shuffles_t t{};
  for (int i = 0; i < 16; i++) {
    const int j = i & 7;
    t.ordered[2 * i] = static_cast<uint8_t>(2 * pair_pos(j));
    t.ordered[2 * i + 1] = static_cast<uint8_t>(2 * pair_pos(j) + 1);
    t.mirrored[2 * i] = static_cast<uint8_t>(2 * (7 - pair_pos(j)));
    t.mirrored[2 * i + 1] = static_cast<uint8_t>(2 * (7 - pair_pos(j)) + 1);
  }
  return t;
}
inline constexpr line_shuffles_t line_shuffles = make_line_shuffles();

inline __m256i load256(const void *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }

// r[i] holds eight dwords of line i on entry, dword i of the eight lines on
// exit.
inline void transpose8x8_epi32(__m256i *r) {
  __m256i t[8], u[8];
  for (int i = 0; i < 8; i += 2) {
    t[i] = _mm256_unpacklo_epi32(r[i], r[i + 1]);
    t[i + 1] = _mm256_unpackhi_epi32(r[i], r[i + 1]);
  }
  for (int i = 0; i < 8; i += 4) {
    u[i] = _mm256_unpacklo_epi64(t[i], t[i + 2]);
    u[i + 1] = _mm256_unpackhi_epi64(t[i], t[i + 2]);
    u[i + 2] = _mm256_unpacklo_epi64(t[i + 1], t[i + 3]);
    u[i + 3] = _mm256_unpackhi_epi64(t[i + 1], t[i + 3]);
  }
  for (int i = 0; i < 4; i++) {
    r[i] = _mm256_permute2x128_si256(u[i], u[i + 4], 0x20);
    r[i + 4] = _mm256_permute2x128_si256(u[i], u[i + 4], 0x31);
  }
}

// The same within each 128-bit lane for four dwords: lane 0 of r[i] holds
// line i, lane 1 line i + 4.
inline void transpose4x4_epi32_lanes(__m256i *r) {
  const __m256i t0 = _mm256_unpacklo_epi32(r[0], r[1]), t1 = _mm256_unpackhi_epi32(r[0], r[1]);
  const __m256i t2 = _mm256_unpacklo_epi32(r[2], r[3]), t3 = _mm256_unpackhi_epi32(r[2], r[3]);
  r[0] = _mm256_unpacklo_epi64(t0, t2);
  r[1] = _mm256_unpackhi_epi64(t0, t2);
  r[2] = _mm256_unpacklo_epi64(t1, t3);
  r[3] = _mm256_unpackhi_epi64(t1, t3);
}

// Eight lines, line(l, half) giving samples 16 half .. 16 half + 15 of
// line l, into slots in[s][b]: at depth 0 the lines' dwords in order; else
// O^1 .. O^D and E^D, O^L from slot N/2 - (N >> L), E^D from N/2 - (N >>
// (D + 1)).
template <int N, int D, int NB, typename Line>
inline void line_block(Line line, __m256i (*in)[NB], int b) {
  const __m256i ordered = _mm256_load_si256(reinterpret_cast<const __m256i *>(line_shuffles.ordered));
  const __m256i mirrored = _mm256_load_si256(reinterpret_cast<const __m256i *>(line_shuffles.mirrored));
  __m256i e[N / 4], o[N / 4];
  if constexpr (N == 32) {
    for (int l = 0; l < 8; l++) {
      const __m256i lo = line(l, 0), hi = line(l, 1);
      if constexpr (D == 0) {
        e[l] = lo;
        o[l] = hi;
      } else {
        const __m256i a = _mm256_shuffle_epi8(lo, ordered);
        const __m256i m = _mm256_shuffle_epi8(_mm256_permute4x64_epi64(hi, 0x4E), mirrored);
        e[l] = _mm256_add_epi16(a, m);
        o[l] = _mm256_sub_epi16(a, m);
      }
    }
    transpose8x8_epi32(e);
    transpose8x8_epi32(o);
  } else {
    for (int l = 0; l < 4; l++) {
      const __m256i p = line(l, 0), q = line(l + 4, 0);
      const __m256i lo = _mm256_permute2x128_si256(p, q, 0x20), hi = _mm256_permute2x128_si256(p, q, 0x31);
      if constexpr (D == 0) {
        e[l] = lo;
        o[l] = hi;
      } else {
        const __m256i a = _mm256_shuffle_epi8(lo, ordered), m = _mm256_shuffle_epi8(hi, mirrored);
        e[l] = _mm256_add_epi16(a, m);
        o[l] = _mm256_sub_epi16(a, m);
      }
    }
    transpose4x4_epi32_lanes(e);
    transpose4x4_epi32_lanes(o);
  }
  if constexpr (D == 0) {
    for (int d = 0; d < N / 4; d++) {
      in[d][b] = e[d];
      in[N / 4 + d][b] = o[d];
    }
  } else {
    for (int d = 0; d < N / 4; d++) in[d][b] = o[d];
    for (int level = 2, n = N / 2; level <= D; level++, n /= 2)
      for (int d = 0; d < n / 4; d++) {
        const __m256i x = e[d], y = e[n / 2 - 1 - d];
        in[N / 2 - (N >> level) + d][b] = _mm256_sub_epi16(x, y);
        e[d] = _mm256_add_epi16(x, y);
      }
    for (int d = 0; d < (N >> (D + 1)); d++) in[N / 2 - (N >> (D + 1)) + d][b] = e[d];
  }
}

template <int SH>
inline __m256i round_shift(__m256i v) {
  return _mm256_srai_epi32(_mm256_add_epi32(v, _mm256_set1_epi32(1 << (SH - 1))), SH);
}

// Outputs k = K0, K0 + KSTEP, ... (NK of them) from the CNT dwords at in:
// VB outputs at a time, each loaded dword serving all of them.  Rows of
// out are N apart; mag gathers the outputs' magnitudes when TRACK.
template <int N, int SH, bool FOLD, bool TRACK, int CNT, int K0, int KSTEP, int NK>
inline void source_outputs(const __m256i (*in)[N / 8], int16_t *out, __m256i &mag) {
  constexpr int NB = N / 8, VB = std::min(NK, N == 32 ? 2 : 4);
  const line_weights_t<N> &w = line_w<N, FOLD>();
  for (int i0 = 0; i0 < NK; i0 += VB) {
    __m256i acc[VB][NB];
    for (int i = 0; i < VB; i++) {
      const __m256i wd = _mm256_set1_epi32(w.v[K0 + KSTEP * (i0 + i)][0]);
      for (int b = 0; b < NB; b++) acc[i][b] = _mm256_madd_epi16(in[0][b], wd);
    }
#pragma GCC unroll 16
    for (int d = 1; d < CNT; d++) {
      for (int i = 0; i < VB; i++) {
        const __m256i wd = _mm256_set1_epi32(w.v[K0 + KSTEP * (i0 + i)][d]);
        for (int b = 0; b < NB; b++) acc[i][b] = _mm256_add_epi32(acc[i][b], _mm256_madd_epi16(in[d][b], wd));
      }
      // Keeps the sums accumulating in registers, dword by dword: left
      // free, the compiler forms every product first and spills them.
      for (int i = 0; i < VB; i++)
        for (int b = 0; b < NB; b++) __asm__("" : "+x"(acc[i][b]));
    }
    for (int i = 0; i < VB; i++) {
      int16_t *row = out + (K0 + KSTEP * (i0 + i)) * N;
      for (int b = 0; b < NB; b += 2) {
        // packs leaves [b lines 0-3, b+1 lines 0-3 | b 4-7, b+1 4-7].
        const __m256i v = _mm256_permute4x64_epi64(
            _mm256_packs_epi32(round_shift<SH>(acc[i][b]), round_shift<SH>(acc[i][b + 1])), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(row + 8 * b), v);
        if constexpr (TRACK) mag = _mm256_or_si256(mag, _mm256_abs_epi16(v));
      }
    }
  }
}

// The odd sources O^L .. O^D, then E^D.
template <int N, int SH, int D, bool TRACK, int L>
inline void level_outputs(const __m256i (*in)[N / 8], int16_t *out, __m256i &mag) {
  if constexpr (L <= D) {
    source_outputs<N, SH, true, TRACK, (N >> (L + 1)), (1 << (L - 1)), (1 << L), (N >> L)>(in + N / 2 - (N >> L), out, mag);
    level_outputs<N, SH, D, TRACK, L + 1>(in, out, mag);
  } else {
    source_outputs<N, SH, true, TRACK, (N >> (D + 1)), 0, (1 << D), (N >> D)>(in + N / 2 - (N >> (D + 1)), out, mag);
  }
}

// One pass over the N lines that line(l, half) gives into out (rows N
// apart); returns the OR of the outputs' magnitudes when TRACK.
template <int N, int SH, int D, bool TRACK, typename Line>
inline __m256i line_pass(Line line, int16_t *out) {
  constexpr int NB = N / 8;
  alignas(32) __m256i in[N / 2][NB];
  for (int b = 0; b < NB; b++)
    line_block<N, D, NB>([&](int l, int half) { return line(8 * b + l, half); }, in, b);
  __m256i mag = _mm256_setzero_si256();
  if constexpr (D == 0) source_outputs<N, SH, false, TRACK, N / 2, 0, 1, N>(in, out, mag);
  else level_outputs<N, SH, D, TRACK, 1>(in, out, mag);
  return mag;
}

// Rows of 16-bit values `stride` apart.
inline auto word_lines(const int16_t *p, intptr_t stride) {
  return [p, stride](int l, int half) { return load256(p + l * stride + 16 * half); };
}

// The whole N x N forward DCT of the residual that first_lines gives: the
// first pass at full depth, the second as deep as the first's largest
// magnitude allows.
template <int N, typename Line>
inline void forward_full(Line first_lines, int16_t *coef) {
  constexpr int LOG2 = N == 16 ? 4 : 5, SH1 = LOG2 - 1, SH2 = LOG2 + 6, DMAX = LOG2 - 1;
  alignas(32) int16_t tt[N * N];
  const __m256i mag = line_pass<N, SH1, DMAX, true>(first_lines, tt);
  __m128i m = _mm_or_si128(_mm256_castsi256_si128(mag), _mm256_extracti128_si256(mag, 1));
  m = _mm_or_si128(m, _mm_srli_si128(m, 8));
  m = _mm_or_si128(m, _mm_srli_si128(m, 4));
  m = _mm_or_si128(m, _mm_srli_si128(m, 2));
  const uint32_t largest = static_cast<uint32_t>(_mm_cvtsi128_si32(m)) & 0xffff;
  // Inputs below 2^bits: 2^L of them sum exactly in 16 bits for L <= 15 - bits.
  const int bits = largest ? 32 - __builtin_clz(largest) : 0;
  const auto second = word_lines(tt, N);
  switch (std::clamp(15 - bits, 0, DMAX)) {
    case 0: line_pass<N, SH2, 0, false>(second, coef); break;
    case 1: line_pass<N, SH2, 1, false>(second, coef); break;
    case 2: line_pass<N, SH2, 2, false>(second, coef); break;
    case 3: line_pass<N, SH2, 3, false>(second, coef); break;
    default:
      if constexpr (DMAX >= 4) line_pass<N, SH2, 4, false>(second, coef);
      break;
  }
  _mm256_zeroupper();
}

// The residual of the CTU source copy less the prediction, widened as the
// rows are read (no residual block in between).
inline auto residual_lines(const uint8_t *src, const uint8_t *pred) {
  return [src, pred](int l, int half) {
    const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + l * SRC_STRIDE + 16 * half));
    const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pred + l * RECON_STRIDE + 16 * half));
    return _mm256_sub_epi16(_mm256_cvtepu8_epi16(s), _mm256_cvtepu8_epi16(p));
  };
}

}  // namespace

void dct_fwd_core_16x16_avx2(const int16_t *res, int16_t *coef, int32_t stride) { forward_full<16>(word_lines(res, stride), coef); }
void dct_fwd_core_32x32_avx2(const int16_t *res, int16_t *coef, int32_t stride) { forward_full<32>(word_lines(res, stride), coef); }
void dct_fwd_16x16_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred) { forward_full<16>(residual_lines(src, pred), coef); }
void dct_fwd_32x32_avx2(int16_t *coef, const uint8_t *src, const uint8_t *pred) { forward_full<32>(residual_lines(src, pred), coef); }
