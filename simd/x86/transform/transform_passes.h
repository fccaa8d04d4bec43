// Building blocks of the SSSE3 transforms (128-bit passes with horizontal
// additions), and the residual of source minus prediction that the AVX2
// tier's forward slots take too; included by each tier's file and compiled
// with that tier's flags only (everything has internal linkage, so the
// tiers never share a compiled copy).
//
// Every transform is two "dot passes": out = sat16((sum_x in[y][x] * q[k][x]
// + round) >> shift), the 16-bit products summed in pairs into 32 bits by
// the multiply-add, rows finished by horizontal additions.  pass_t stores
// the result transposed (row k holds every y), pass_n in natural order (row
// y holds every k).  Forward: T' = pass_t(residual, M), coef = pass_t(T', M);
// inverse: G = pass_t(coef transposed, M'), residual = pass_n(G, M') with M'
// the transposed matrix.  The sums are exact in 32 bits (at most 32 products
// of an int16 value and a matrix entry of magnitude <= 90), and the
// saturating narrowing is the clip between the stages that the portable
// functions apply too, so every result equals theirs.
//
// Rows of fewer than 8 values (4x4 blocks, the 4x4 corner of 8x8) are
// padded with zeros to 8 in the scratch blocks and matrices; the zeros add
// nothing to any sum.
#pragma once

#include <tmmintrin.h>

#include <cstdint>
#include <cstring>

#include "common/dct_matrix.h"
#include "common/primitives.h"
#include "simd/x86/transpose8x8.h"

namespace {

constexpr int padded(int n) { return n < 8 ? 8 : n; }

// A matrix with rows padded to at least 8 entries, 32-byte aligned so that
// every row of 8 or 16 entries is an aligned vector.
template <int N>
struct alignas(32) padded_matrix_t {
  int16_t v[N][padded(N)];
};

// Forward matrix (basis k in row k) or, transposed, the inverse one (row y
// holds the weight of every basis at sample y).
template <int N>
constexpr padded_matrix_t<N> make_matrix(const std::array<int16_t, N * N> &m, bool transposed) {
  padded_matrix_t<N> t{};
  for (int k = 0; k < N; k++)
    for (int i = 0; i < N; i++) t.v[k][i] = transposed ? m[i * N + k] : m[k * N + i];
  return t;
}

template <int N>
constexpr padded_matrix_t<N> make_dct(bool transposed) {
  return make_matrix<N>(dct_matrix<N>(), transposed);
}

inline constexpr padded_matrix_t<4> fwd_dct4 = make_dct<4>(false), inv_dct4 = make_dct<4>(true);
inline constexpr padded_matrix_t<8> fwd_dct8 = make_dct<8>(false), inv_dct8 = make_dct<8>(true);
inline constexpr padded_matrix_t<16> fwd_dct16 = make_dct<16>(false), inv_dct16 = make_dct<16>(true);
inline constexpr padded_matrix_t<32> fwd_dct32 = make_dct<32>(false), inv_dct32 = make_dct<32>(true);

template <int N>
constexpr const int16_t *fwd_dct() {
  if constexpr (N == 4) return &fwd_dct4.v[0][0];
  if constexpr (N == 8) return &fwd_dct8.v[0][0];
  if constexpr (N == 16) return &fwd_dct16.v[0][0];
  return &fwd_dct32.v[0][0];
}
template <int N>
constexpr const int16_t *inv_dct() {
  if constexpr (N == 4) return &inv_dct4.v[0][0];
  if constexpr (N == 8) return &inv_dct8.v[0][0];
  if constexpr (N == 16) return &inv_dct16.v[0][0];
  return &inv_dct32.v[0][0];
}

// ------------------------------------------------------------ 128-bit passes
inline __m128i load128(const int16_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
inline void store128(int16_t *p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v); }
inline void store64(int16_t *p, __m128i v) { _mm_storel_epi64(reinterpret_cast<__m128i *>(p), v); }

// Four partial sums of the X-term dot product (X a multiple of 8).
template <int X>
inline __m128i dot128(const int16_t *a, const int16_t *q) {
  __m128i s = _mm_madd_epi16(load128(a), load128(q));
  for (int c = 8; c < X; c += 8) s = _mm_add_epi32(s, _mm_madd_epi16(load128(a + c), load128(q + c)));
  return s;
}

// The four dot products whose partial sums a..d hold, in lane order.
inline __m128i sum4(__m128i a, __m128i b, __m128i c, __m128i d) {
  return _mm_hadd_epi32(_mm_hadd_epi32(a, b), _mm_hadd_epi32(c, d));
}

template <int SH>
inline __m128i round128(__m128i v) {
  return _mm_srai_epi32(_mm_add_epi32(v, _mm_set1_epi32(1 << (SH - 1))), SH);
}

// out[k * os + y] for y < Y (4 or a multiple of 8), k < K.
template <int X, int Y, int K, int SH>
inline void pass_t128(const int16_t *in, int is, const int16_t *q, int qs, int16_t *out, int os) {
  for (int k = 0; k < K; k++) {
    const int16_t *qk = q + k * qs;
    for (int y = 0; y < Y; y += 8) {
      const int16_t *a = in + y * is;
      const __m128i lo = round128<SH>(
          sum4(dot128<X>(a, qk), dot128<X>(a + is, qk), dot128<X>(a + 2 * is, qk), dot128<X>(a + 3 * is, qk)));
      if constexpr (Y == 4) {
        store64(out + k * os, _mm_packs_epi32(lo, lo));
      } else {
        a += 4 * is;
        const __m128i hi = round128<SH>(
            sum4(dot128<X>(a, qk), dot128<X>(a + is, qk), dot128<X>(a + 2 * is, qk), dot128<X>(a + 3 * is, qk)));
        store128(out + k * os + y, _mm_packs_epi32(lo, hi));
      }
    }
  }
}

// out[y * os + k] for y < Y, k < K (4 or a multiple of 8).
template <int X, int Y, int K, int SH>
inline void pass_n128(const int16_t *in, int is, const int16_t *q, int qs, int16_t *out, int os) {
  for (int y = 0; y < Y; y++) {
    const int16_t *a = in + y * is;
    for (int k = 0; k < K; k += 8) {
      const int16_t *b = q + k * qs;
      const __m128i lo = round128<SH>(
          sum4(dot128<X>(a, b), dot128<X>(a, b + qs), dot128<X>(a, b + 2 * qs), dot128<X>(a, b + 3 * qs)));
      if constexpr (K == 4) {
        store64(out + y * os, _mm_packs_epi32(lo, lo));
      } else {
        b += 4 * qs;
        const __m128i hi = round128<SH>(
            sum4(dot128<X>(a, b), dot128<X>(a, b + qs), dot128<X>(a, b + 2 * qs), dot128<X>(a, b + 3 * qs)));
        store128(out + y * os + k, _mm_packs_epi32(lo, hi));
      }
    }
  }
}

template <int X, int Y, int K, int SH>
inline void pass_t(const int16_t *in, int is, const int16_t *q, int qs, int16_t *out, int os) {
  pass_t128<X, Y, K, SH>(in, is, q, qs, out, os);
}
template <int X, int Y, int K, int SH>
inline void pass_n(const int16_t *in, int is, const int16_t *q, int qs, int16_t *out, int os) {
  pass_n128<X, Y, K, SH>(in, is, q, qs, out, os);
}

// ------------------------------------------------- even/odd (butterfly) passes
// For N = 16 and 32 the inverse passes use the symmetry M[v][N-1-x] =
// (-1)^v M[v][x]: with rows of the input held as [even v | odd v], the even
// sum E and the odd sum O of output x give x as E + O and N-1-x as E - O,
// each rounded and narrowed on its own, so the results are those of the
// direct pass with half the products.  The table row x (x < N/2) holds
// [M[0][x], M[2][x], ..., M[1][x], M[3][x], ...].
template <int N>
struct alignas(32) eo_matrix_t {
  int16_t v[N / 2][N];
};
template <int N>
constexpr eo_matrix_t<N> make_inv_eo() {
  constexpr std::array<int16_t, N * N> m = dct_matrix<N>();
  eo_matrix_t<N> t{};
  for (int x = 0; x < N / 2; x++)
    for (int j = 0; j < N / 2; j++) {
      t.v[x][j] = m[(2 * j) * N + x];
      t.v[x][N / 2 + j] = m[(2 * j + 1) * N + x];
    }
  return t;
}
inline constexpr eo_matrix_t<16> inv_eo16 = make_inv_eo<16>();
inline constexpr eo_matrix_t<32> inv_eo32 = make_inv_eo<32>();
template <int N>
constexpr const int16_t *inv_eo() {
  if constexpr (N == 16) return &inv_eo16.v[0][0];
  return &inv_eo32.v[0][0];
}

// Reverses the eight 16-bit values of a vector (of each 128-bit half).
inline __m128i reverse8(__m128i v) {
  return _mm_shuffle_epi8(v, _mm_setr_epi8(14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1));
}

template <int SH>
inline __m128i round_pair128(__m128i e_lo, __m128i o_lo, __m128i e_hi, __m128i o_hi, bool minus) {
  if (minus) return _mm_packs_epi32(round128<SH>(_mm_sub_epi32(e_lo, o_lo)), round128<SH>(_mm_sub_epi32(e_hi, o_hi)));
  return _mm_packs_epi32(round128<SH>(_mm_add_epi32(e_lo, o_lo)), round128<SH>(_mm_add_epi32(e_hi, o_hi)));
}

// Pass 1 of the inverse: in rows (Y of them, [even | odd] halves of N/2)
// against table rows k < N/2; out[k][y] = E + O, out[N-1-k][y] = E - O.
template <int N, int Y, int SH>
inline void bfly_pass_t(const int16_t *in, const int16_t *q, int16_t *out) {
  constexpr int H = N / 2;
  for (int k = 0; k < H; k++) {
    const int16_t *qe = q + k * N, *qo = qe + H;
    for (int y = 0; y < Y; y += 8) {
      const int16_t *a = in + y * N;
      __m128i e[2], o[2];
      for (int h = 0; h < 2; h++) {
        const int16_t *b = a + 4 * h * N;
        e[h] = sum4(dot128<H>(b, qe), dot128<H>(b + N, qe), dot128<H>(b + 2 * N, qe), dot128<H>(b + 3 * N, qe));
        o[h] = sum4(dot128<H>(b + H, qo), dot128<H>(b + N + H, qo), dot128<H>(b + 2 * N + H, qo),
                    dot128<H>(b + 3 * N + H, qo));
      }
      store128(out + k * Y + y, round_pair128<SH>(e[0], o[0], e[1], o[1], false));
      store128(out + (N - 1 - k) * Y + y, round_pair128<SH>(e[0], o[0], e[1], o[1], true));
    }
  }
}

// Pass 2 of the inverse: each in row ([even | odd] halves) against table
// rows x < N/2; out[y][x] = E + O, out[y][N-1-x] = E - O.
template <int N, int SH>
inline void bfly_pass_n(const int16_t *in, const int16_t *q, int16_t *out, int os) {
  constexpr int H = N / 2;
  for (int y = 0; y < N; y++) {
    const int16_t *a = in + y * N;
    for (int x = 0; x < H; x += 8) {
      const int16_t *b = q + x * N;
      __m128i e[2], o[2];
      for (int h = 0; h < 2; h++) {
        const int16_t *c = b + 4 * h * N;
        e[h] = sum4(dot128<H>(a, c), dot128<H>(a, c + N), dot128<H>(a, c + 2 * N), dot128<H>(a, c + 3 * N));
        o[h] = sum4(dot128<H>(a + H, c + H), dot128<H>(a + H, c + N + H), dot128<H>(a + H, c + 2 * N + H),
                    dot128<H>(a + H, c + 3 * N + H));
      }
      store128(out + y * os + x, round_pair128<SH>(e[0], o[0], e[1], o[1], false));
      store128(out + y * os + N - 8 - x, reverse8(round_pair128<SH>(e[0], o[0], e[1], o[1], true)));
    }
  }
}

// Pass 1 of the forward transform with the input-side split: residual rows
// become [E | O], E[j] = r[j] + r[N-1-j] and O[j] = r[j] - r[N-1-j] (at most
// 510 in magnitude: exact in 16 bits); even frequencies take E, odd ones O.
template <int N, int K, int SH>
inline void bfly_forward_rows(const int16_t *res, int rs, const int16_t *m, int16_t *tt) {
  constexpr int H = N / 2;
  alignas(32) int16_t eo[N * N];
  for (int y = 0; y < N; y++)
    for (int c = 0; c < H; c += 8) {
      const __m128i a = load128(res + y * rs + c), b = reverse8(load128(res + y * rs + N - 8 - c));
      store128(eo + y * N + c, _mm_add_epi16(a, b));
      store128(eo + y * N + H + c, _mm_sub_epi16(a, b));
    }
  pass_t<H, N, (K + 1) / 2, SH>(eo, N, m, 2 * N, tt, 2 * N);
  pass_t<H, N, K / 2, SH>(eo + H, N, m + N, 2 * N, tt + N, 2 * N);
}

// ------------------------------------------------------- residual and add
inline __m128i load_bytes4(const uint8_t *p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return _mm_cvtsi32_si128(v);
}
inline __m128i load_bytes8(const uint8_t *p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)); }

// res[y * padded(N) + x] = src - pred, reading exactly N bytes of each row;
// a 4-wide row is padded with zeros.
template <int N>
inline void residual(int16_t *res, const uint8_t *src, const uint8_t *pred) {
  const __m128i zero = _mm_setzero_si128();
  constexpr int rs = padded(N);
  for (int y = 0; y < N; y++) {
    const uint8_t *s = src + y * SRC_STRIDE, *p = pred + y * RECON_STRIDE;
    int16_t *r = res + y * rs;
    if constexpr (N <= 8) {
      const __m128i a = N == 4 ? load_bytes4(s) : load_bytes8(s), b = N == 4 ? load_bytes4(p) : load_bytes8(p);
      store128(r, _mm_sub_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero)));
    } else {
      for (int x = 0; x < N; x += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + x));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + x));
        store128(r + x, _mm_sub_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero)));
        store128(r + x + 8, _mm_sub_epi16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero)));
      }
    }
  }
}

// recon = clip(recon + res, 0, 255) over N x N; the saturating 16-bit add
// and the unsigned narrowing clip exactly as the portable function does.
template <int N>
inline void add_residual(uint8_t *recon, const int16_t *res) {
  const __m128i zero = _mm_setzero_si128();
  for (int y = 0; y < N; y++) {
    uint8_t *d = recon + y * RECON_STRIDE;
    const int16_t *r = res + y * N;
    if constexpr (N == 4) {
      const __m128i v = _mm_adds_epi16(_mm_unpacklo_epi8(load_bytes4(d), zero),
                                       _mm_loadl_epi64(reinterpret_cast<const __m128i *>(r)));
      const int32_t out = _mm_cvtsi128_si32(_mm_packus_epi16(v, v));
      std::memcpy(d, &out, 4);
    } else if constexpr (N == 8) {
      const __m128i v = _mm_adds_epi16(_mm_unpacklo_epi8(load_bytes8(d), zero), load128(r));
      _mm_storel_epi64(reinterpret_cast<__m128i *>(d), _mm_packus_epi16(v, v));
    } else {
      for (int x = 0; x < N; x += 16) {
        const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i *>(d + x));
        const __m128i lo = _mm_adds_epi16(_mm_unpacklo_epi8(p, zero), load128(r + x));
        const __m128i hi = _mm_adds_epi16(_mm_unpackhi_epi8(p, zero), load128(r + x + 8));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + x), _mm_packus_epi16(lo, hi));
      }
    }
  }
}

// ct[u * padded(K) + v] = coef[v * cs + u] for the K x K corner, reading
// nothing outside it; padding columns of ct are zero.
template <int K>
inline void transpose_corner(int16_t *ct, const int16_t *coef, int cs) {
  if constexpr (K == 4) {
    const __m128i r0 = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(coef));
    const __m128i r1 = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(coef + cs));
    const __m128i r2 = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(coef + 2 * cs));
    const __m128i r3 = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(coef + 3 * cs));
    const __m128i a = _mm_unpacklo_epi16(r0, r1), b = _mm_unpacklo_epi16(r2, r3);
    const __m128i c01 = _mm_unpacklo_epi32(a, b), c23 = _mm_unpackhi_epi32(a, b);
    const __m128i zero = _mm_setzero_si128();
    store128(ct, _mm_unpacklo_epi64(c01, zero));
    store128(ct + 8, _mm_unpackhi_epi64(c01, zero));
    store128(ct + 16, _mm_unpacklo_epi64(c23, zero));
    store128(ct + 24, _mm_unpackhi_epi64(c23, zero));
  } else {
    for (int by = 0; by < K; by += 8)
      for (int bx = 0; bx < K; bx += 8) {
        __m128i a[8];
        for (int i = 0; i < 8; i++) a[i] = load128(coef + (by + i) * cs + bx);
        transpose8x8_epi16(a);
        for (int i = 0; i < 8; i++) store128(ct + (bx + i) * K + by, a[i]);
      }
  }
}

// The whole N x N block transposed for the butterfly passes: ct row r
// holds coefficient column u = 2r (r < N/2) or 2(r - N/2) + 1, its values
// ordered [v = 0, 2, 4, ... | v = 1, 3, 5, ...].
template <int N>
inline void transpose_even_odd(int16_t *ct, const int16_t *coef) {
  constexpr int H = N / 2;
  for (int by = 0; by < N; by += 8)
    for (int bx = 0; bx < N; bx += 8) {
      __m128i a[8];
      for (int i = 0; i < 8; i++) {
        const int idx = by + i, v = idx < H ? 2 * idx : 2 * (idx - H) + 1;
        a[i] = load128(coef + v * N + bx);
      }
      transpose8x8_epi16(a);
      for (int i = 0; i < 8; i++) {
        const int u = bx + i;
        store128(ct + ((u & 1) ? H + u / 2 : u / 2) * N + by, a[i]);
      }
    }
}

// ------------------------------------------------------------ the drivers
// Forward N x N transform of a residual keeping the K x K low corner (K =
// N: all of it); rows with matrix mr, columns with mc (both padded forward
// matrices).  Residual rows lie rs elements apart; a 4-wide row is read as
// 8 values whose last 4 are zero.
template <int LOG2, int K>
inline void forward_core(const int16_t *res, int rs, int16_t *coef, const int16_t *mr, const int16_t *mc) {
  constexpr int N = 1 << LOG2, XP = padded(N);
  alignas(32) int16_t tt[K * XP];
  if constexpr (N == 4) std::memset(tt, 0, sizeof(tt));
  if constexpr (N >= 16)
    bfly_forward_rows<N, K, LOG2 - 1>(res, rs, mr, tt);
  else
    pass_t<XP, N, K, LOG2 - 1>(res, rs, mr, XP, tt, XP);
  pass_t<XP, K, K, LOG2 + 6>(tt, XP, mc, XP, coef, N);
}

// Forward transform of source minus prediction.
template <int LOG2, int K>
inline void forward(int16_t *coef, const uint8_t *src, const uint8_t *pred, const int16_t *mr, const int16_t *mc) {
  constexpr int N = 1 << LOG2, XP = padded(N);
  alignas(32) int16_t res[N * XP];
  residual<N>(res, src, pred);
  forward_core<LOG2, K>(res, XP, coef, mr, mc);
}

// Inverse N x N transform of the K x K corner into a residual of rows rs
// elements apart; columns with mc, rows with mr (both padded inverse, that
// is transposed, matrices).
template <int LOG2, int K>
inline void inverse_core(const int16_t *coef, int16_t *res, int rs, const int16_t *mc, const int16_t *mr) {
  constexpr int N = 1 << LOG2, MP = padded(N), KP = padded(K);
  alignas(32) int16_t ct[K * KP];
  alignas(32) int16_t g[N * KP];
  if constexpr (K < 8) std::memset(g, 0, sizeof(g));
  if constexpr (K == N && N >= 16) {
    // mc and mr are the DCT's: the butterfly passes have their own table.
    transpose_even_odd<N>(ct, coef);
    bfly_pass_t<N, N, 7>(ct, inv_eo<N>(), g);
    bfly_pass_n<N, 12>(g, inv_eo<N>(), res, rs);
  } else {
    transpose_corner<K>(ct, coef, N);
    pass_t<KP, K, N, 7>(ct, KP, mc, MP, g, KP);
    pass_n<KP, N, N, 12>(g, KP, mr, MP, res, rs);
  }
}

// The inverse plus the add to the prediction in place.
template <int LOG2, int K>
inline void inverse(uint8_t *recon, const int16_t *coef, const int16_t *mc, const int16_t *mr) {
  constexpr int N = 1 << LOG2;
  alignas(32) int16_t res[N * N];
  inverse_core<LOG2, K>(coef, res, N, mc, mr);
  add_residual<N>(recon, res);
}

// The core of the N x N block (residual rows N apart) after the residual.
template <int N, void (*CORE)(const int16_t *, int16_t *, int32_t)>
inline void forward_by_core(int16_t *coef, const uint8_t *src, const uint8_t *pred) {
  alignas(32) int16_t res[N * N];
  residual<N>(res, src, pred);
  CORE(res, coef, N);
}

// ------------------------------------------------------------ slot functions

template <int LOG2>
void dct_fwd_kernel(int16_t *coef, const uint8_t *src, const uint8_t *pred) {
  forward<LOG2, 1 << LOG2>(coef, src, pred, fwd_dct<1 << LOG2>(), fwd_dct<1 << LOG2>());
}
// Every tier takes the corner side from the slot and does not read the
// argument, as the portable function does: whatever a caller passes, the
// slot writes its own corner and nothing else.
template <int LOG2, int K>
void dct_fwd_low_kernel(int16_t *coef, const uint8_t *src, const uint8_t *pred, int32_t) {
  forward<LOG2, K>(coef, src, pred, fwd_dct<1 << LOG2>(), fwd_dct<1 << LOG2>());
}

template <int LOG2>
void dct_inv_add_kernel(uint8_t *recon, const int16_t *coef) {
  inverse<LOG2, 1 << LOG2>(recon, coef, inv_dct<1 << LOG2>(), inv_dct<1 << LOG2>());
}
// Every tier ignores the corner argument here: the corner is the slot's.
template <int LOG2, int K>
void dct_inv_add_low_kernel(uint8_t *recon, const int16_t *coef, int32_t) {
  inverse<LOG2, K>(recon, coef, inv_dct<1 << LOG2>(), inv_dct<1 << LOG2>());
}


}  // namespace
