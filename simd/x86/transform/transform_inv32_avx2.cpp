// Inverse 32x32 DCT of the AVX2 tier with every multiply-add in the lane of
// its own output and both passes split by the matrix's symmetry.
//
// Columns (shift 7): G[y][u] = sum_v M[v][y] C[v][u].  Coefficient rows are
// interleaved in pairs of one symmetry class, each 32-bit lane holding
// (C[va][u], C[vb][u]); one multiply-add against the broadcast pair
// (M[va][y], M[vb][y]) adds both rows to eight columns.  With
// M[v][31-y] = (-1)^v M[v][y] and M[2j][15-y] = (-1)^j M[2j][y] (y < 16),
// the odd rows (O), the rows 2 mod 4 (EO) and 0 mod 4 (EE) give
// E(y) = EE + EO, E(15-y) = EE - EO, G[y] = E + O and G[31-y] = E - O, a
// third of the products of the direct sums.
// Rows (shift 12): the same split over u.  Each class pair of an
// intermediate row is broadcast and multiplied against the lanes
// (M[ua][x], M[ub][x]) of eight samples x; x < 16 come out directly, and
// 31-x, 15-x from the differences, reversed in their registers.
// Coefficient rows are loaded with their columns reordered so that the
// intermediate rows hold every class pair in one 32-bit lane (see col_at).
//
// Zero coefficient rows and columns add nothing: the block's extent (groups
// of eight rows with any non-zero coefficient, and groups of eight columns)
// picks passes that skip them.  Nothing is saturated or rounded differently:
// the sums are exact in 32 bits (at most 32 products of an int16 value and a
// weight of magnitude <= 90), the saturating narrowing after the columns is
// the portable function's clip16, and after the rows nothing reaches it.
#include <immintrin.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "common/dct_matrix.h"
#include "common/primitives.h"
#include "simd/x86/transform/transform_kernels.h"
#include "simd/x86/transform/weight_pair.h"

namespace {

// The coefficient column at position `pos` of a loaded row (and of an
// intermediate row).  A load shuffles each eight columns 8h..8h+7 to
// [+0, +4, +2, +6 | +1, +3, +5, +7]; the first 16 positions then take the
// first halves of the groups h in the order 0, 2 | 1, 3 (two per 128-bit
// lane), the last 16 their second halves.  So every 32-bit lane pairs two
// columns of one class: (8h, 8h+4) 0 mod 4, (8h+2, 8h+6) 2 mod 4, and the
// odd (8h+1, 8h+3), (8h+5, 8h+7).
constexpr int col_at(int pos) {
  constexpr int order[8] = {0, 4, 2, 6, 1, 3, 5, 7};
  const int second = pos / 16, lane = (pos % 16) / 8, qword = (pos % 8) / 4;
  return 8 * (lane + 2 * qword) + order[4 * second + pos % 4];
}
// The intermediate row's 32-bit lanes of each class, group h = 0..3 in turn.
constexpr int EE_LANES[4] = {0, 4, 2, 6}, EO_LANES[4] = {1, 5, 3, 7};
constexpr int O_LANES[8] = {8, 9, 12, 13, 10, 11, 14, 15};

// Column weights, [pair][y]: EE pairs e are rows (8e, 8e + 4), EO pairs
// (8e + 2, 8e + 6), O pairs o (4o + 1, 4o + 3).
struct col_weights_t {
  int32_t ee[4][8], eo[4][8], o[8][16];
};
constexpr col_weights_t make_col_weights() {
  constexpr std::array<int16_t, 1024> m = dct_matrix<32>();
  col_weights_t t{};
  for (int e = 0; e < 4; e++)
    for (int y = 0; y < 8; y++) {
      t.ee[e][y] = pair32(m[8 * e * 32 + y], m[(8 * e + 4) * 32 + y]);
      t.eo[e][y] = pair32(m[(8 * e + 2) * 32 + y], m[(8 * e + 6) * 32 + y]);
    }
  for (int o = 0; o < 8; o++)
    for (int y = 0; y < 16; y++) t.o[o][y] = pair32(m[(4 * o + 1) * 32 + y], m[(4 * o + 3) * 32 + y]);
  return t;
}
// Row weights, [lane of the intermediate row][xb]: lane x' holds the pair
// (M[ua][8xb + x'], M[ub][8xb + x']) of the lane's two columns.
struct alignas(32) row_weights_t {
  int32_t v[16][2][8];
};
constexpr row_weights_t make_row_weights() {
  constexpr std::array<int16_t, 1024> m = dct_matrix<32>();
  row_weights_t t{};
  for (int d = 0; d < 16; d++)
    for (int xb = 0; xb < 2; xb++)
      for (int l = 0; l < 8; l++)
        t.v[d][xb][l] = pair32(m[col_at(2 * d) * 32 + 8 * xb + l], m[col_at(2 * d + 1) * 32 + 8 * xb + l]);
  return t;
}
inline constexpr col_weights_t col_w = make_col_weights();
inline constexpr row_weights_t row_w = make_row_weights();

inline __m256i load256(const void *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }
inline __m128i load128(const void *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
inline __m256i madd(__m256i a, int32_t w) { return _mm256_madd_epi16(a, _mm256_set1_epi32(w)); }

// Coefficient row (its first 8 NH columns; the rest count as zero) in the
// order of col_at: p0 positions 0-15, p1 16-31.
template <int NH>
inline void load_row(const int16_t *row, __m256i &p0, __m256i &p1) {
  const __m256i shuf = _mm256_setr_epi8(0, 1, 8, 9, 4, 5, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15, 0, 1, 8, 9, 4, 5, 12,
                                        13, 2, 3, 6, 7, 10, 11, 14, 15);
  const __m128i z = _mm_setzero_si128();
  const __m256i a = NH >= 2 ? load256(row) : _mm256_set_m128i(z, load128(row));
  const __m256i b = NH == 4 ? load256(row + 16) : NH == 3 ? _mm256_set_m128i(z, load128(row + 16)) : _mm256_setzero_si256();
  const __m256i sa = _mm256_shuffle_epi8(a, shuf), sb = _mm256_shuffle_epi8(b, shuf);
  p0 = _mm256_unpacklo_epi64(sa, sb);
  p1 = _mm256_unpackhi_epi64(sa, sb);
}

// The column pass over the first 8 NV coefficient rows and 8 NH columns
// into g (every row, every position; positions of zero columns are zero).
// With NH <= 2 the columns 16-31 are zero, and the lanes that hold them
// (the high unpacks) are not computed.
template <int NV, int NH>
inline void columns(const int16_t *coef, int16_t (*g)[32]) {
  constexpr int UB = NH > 2 ? 4 : 2, NP = 4 * NV;
  // Pairs [EE 0..NV-1 | EO 0..NV-1 | O 0..2NV-1], interleaved.
  __m256i inter[NP][UB];
  auto pair_rows = [&](int idx, int va, int vb) {
    __m256i a0, a1, b0, b1;
    load_row<NH>(coef + 32 * va, a0, a1);
    load_row<NH>(coef + 32 * vb, b0, b1);
    if constexpr (UB == 4) {
      inter[idx][0] = _mm256_unpacklo_epi16(a0, b0);
      inter[idx][1] = _mm256_unpackhi_epi16(a0, b0);
      inter[idx][2] = _mm256_unpacklo_epi16(a1, b1);
      inter[idx][3] = _mm256_unpackhi_epi16(a1, b1);
    } else {
      inter[idx][0] = _mm256_unpacklo_epi16(a0, b0);
      inter[idx][1] = _mm256_unpacklo_epi16(a1, b1);
    }
  };
  for (int e = 0; e < NV; e++) {
    pair_rows(e, 8 * e, 8 * e + 4);
    pair_rows(NV + e, 8 * e + 2, 8 * e + 6);
  }
  for (int o = 0; o < 2 * NV; o++) pair_rows(2 * NV + o, 4 * o + 1, 4 * o + 3);

  // E(y) for y < 16.
  __m256i even[16][UB];
  for (int y = 0; y < 8; y++) {
    __m256i ee[UB], eo[UB];
    for (int ub = 0; ub < UB; ub++) {
      ee[ub] = madd(inter[0][ub], col_w.ee[0][y]);
      eo[ub] = madd(inter[NV][ub], col_w.eo[0][y]);
    }
    for (int e = 1; e < NV; e++)
      for (int ub = 0; ub < UB; ub++) {
        ee[ub] = _mm256_add_epi32(ee[ub], madd(inter[e][ub], col_w.ee[e][y]));
        eo[ub] = _mm256_add_epi32(eo[ub], madd(inter[NV + e][ub], col_w.eo[e][y]));
      }
    for (int ub = 0; ub < UB; ub++) {
      even[y][ub] = _mm256_add_epi32(ee[ub], eo[ub]);
      even[15 - y][ub] = _mm256_sub_epi32(ee[ub], eo[ub]);
    }
  }
  // O(y), two rows sharing each load, and the outputs y and 31 - y.
  const __m256i rnd = _mm256_set1_epi32(64), zero = _mm256_setzero_si256();
  for (int y = 0; y < 16; y += 2) {
    __m256i acc[2][UB];
    for (int i = 0; i < 2; i++)
      for (int ub = 0; ub < UB; ub++) acc[i][ub] = madd(inter[2 * NV][ub], col_w.o[0][y + i]);
    for (int o = 1; o < 2 * NV; o++)
      for (int i = 0; i < 2; i++)
        for (int ub = 0; ub < UB; ub++)
          acc[i][ub] = _mm256_add_epi32(acc[i][ub], madd(inter[2 * NV + o][ub], col_w.o[o][y + i]));
    for (int i = 0; i < 2; i++) {
      __m256i plus[UB], minus[UB];
      for (int ub = 0; ub < UB; ub++) {
        const __m256i e = _mm256_add_epi32(even[y + i][ub], rnd);
        plus[ub] = _mm256_srai_epi32(_mm256_add_epi32(e, acc[i][ub]), 7);
        minus[ub] = _mm256_srai_epi32(_mm256_sub_epi32(e, acc[i][ub]), 7);
      }
      // packs puts the unpacked lanes back in position order.
      int16_t *top = g[y + i], *bottom = g[31 - y - i];
      if constexpr (UB == 4) {
        _mm256_store_si256(reinterpret_cast<__m256i *>(top), _mm256_packs_epi32(plus[0], plus[1]));
        _mm256_store_si256(reinterpret_cast<__m256i *>(top + 16), _mm256_packs_epi32(plus[2], plus[3]));
        _mm256_store_si256(reinterpret_cast<__m256i *>(bottom), _mm256_packs_epi32(minus[0], minus[1]));
        _mm256_store_si256(reinterpret_cast<__m256i *>(bottom + 16), _mm256_packs_epi32(minus[2], minus[3]));
      } else {
        _mm256_store_si256(reinterpret_cast<__m256i *>(top), _mm256_packs_epi32(plus[0], zero));
        _mm256_store_si256(reinterpret_cast<__m256i *>(top + 16), _mm256_packs_epi32(plus[1], zero));
        _mm256_store_si256(reinterpret_cast<__m256i *>(bottom), _mm256_packs_epi32(minus[0], zero));
        _mm256_store_si256(reinterpret_cast<__m256i *>(bottom + 16), _mm256_packs_epi32(minus[1], zero));
      }
    }
  }
}

inline __m256i lane_of(const int16_t *row, int d) {
  int32_t v;
  std::memcpy(&v, row + 2 * d, 4);
  return _mm256_set1_epi32(v);
}
inline __m256i madd_lane(const int16_t *row, int d, int xb) {
  return _mm256_madd_epi16(lane_of(row, d), _mm256_load_si256(reinterpret_cast<const __m256i *>(row_w.v[d][xb])));
}

// The row pass over the lanes of the first 8 NH columns: out(y, samples
// 0-15, samples 16-31) for every row y.
template <int NH, typename Out>
inline void rows(const int16_t (*g)[32], Out out) {
  const __m256i reverse = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
  const __m256i reverse_in_lanes =
      _mm256_setr_epi8(14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1, 14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5,
                       2, 3, 0, 1);
  const __m256i rnd = _mm256_set1_epi32(2048);
  for (int y = 0; y < 32; y++) {
    const int16_t *r = g[y];
    __m256i ee = madd_lane(r, EE_LANES[0], 0), eo = madd_lane(r, EO_LANES[0], 0);
    __m256i o0 = madd_lane(r, O_LANES[0], 0), o1 = madd_lane(r, O_LANES[0], 1);
    for (int h = 1; h < NH; h++) {
      ee = _mm256_add_epi32(ee, madd_lane(r, EE_LANES[h], 0));
      eo = _mm256_add_epi32(eo, madd_lane(r, EO_LANES[h], 0));
    }
    for (int i = 1; i < 2 * NH; i++) {
      const __m256i b = lane_of(r, O_LANES[i]);
      o0 = _mm256_add_epi32(o0, _mm256_madd_epi16(b, _mm256_load_si256(reinterpret_cast<const __m256i *>(row_w.v[O_LANES[i]][0]))));
      o1 = _mm256_add_epi32(o1, _mm256_madd_epi16(b, _mm256_load_si256(reinterpret_cast<const __m256i *>(row_w.v[O_LANES[i]][1]))));
    }
    // Samples 0-7 and 8-15 (E(15 - x) = EE - EO, reversed).
    const __m256i e_lo = _mm256_add_epi32(_mm256_add_epi32(ee, eo), rnd);
    const __m256i e_hi = _mm256_add_epi32(_mm256_permutevar8x32_epi32(_mm256_sub_epi32(ee, eo), reverse), rnd);
    const __m256i a = _mm256_srai_epi32(_mm256_add_epi32(e_lo, o0), 12);
    const __m256i b = _mm256_srai_epi32(_mm256_add_epi32(e_hi, o1), 12);
    // Samples 31..24 and 23..16.
    const __m256i c = _mm256_srai_epi32(_mm256_sub_epi32(e_lo, o0), 12);
    const __m256i d = _mm256_srai_epi32(_mm256_sub_epi32(e_hi, o1), 12);
    const __m256i first = _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8);
    // packs: [31-28, 23-20 | 27-24, 19-16]; reversed in lanes: [20-23, 28-31
    // | 16-19, 24-27]; the quarters in order 2, 0, 3, 1.
    const __m256i second = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(_mm256_packs_epi32(c, d), reverse_in_lanes), 0x72);
    out(y, first, second);
  }
}

// The residual out to rows `stride` apart.
struct to_residual {
  int16_t *res;
  int32_t stride;
  void operator()(int y, __m256i first, __m256i second) const {
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(res + y * stride), first);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(res + y * stride + 16), second);
  }
};
// Added to the prediction in place: the saturating 16-bit add and the
// unsigned narrowing clip as the portable function's clamp does.
struct to_recon {
  uint8_t *recon;
  void operator()(int y, __m256i first, __m256i second) const {
    uint8_t *d = recon + y * RECON_STRIDE;
    const __m256i s0 = _mm256_adds_epi16(_mm256_cvtepu8_epi16(load128(d)), first);
    const __m256i s1 = _mm256_adds_epi16(_mm256_cvtepu8_epi16(load128(d + 16)), second);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(d), _mm256_permute4x64_epi64(_mm256_packus_epi16(s0, s1), 0xD8));
  }
};

template <int NV, int NH, typename Out>
void inverse32(const int16_t *coef, Out out) {
  alignas(32) int16_t g[32][32];
  columns<NV, NH>(coef, g);
  rows<NH>(g, out);
  _mm256_zeroupper();
}

// Groups of eight rows and of eight columns up to the last that holds a
// non-zero coefficient (rows 0 when the block is empty).
inline void extent(const int16_t *coef, int &nv, int &nh) {
  __m256i left = _mm256_setzero_si256(), right = _mm256_setzero_si256();
  nv = 0;
  for (int gr = 0; gr < 4; gr++) {
    __m256i l = load256(coef + 256 * gr), rt = load256(coef + 256 * gr + 16);
    for (int i = 1; i < 8; i++) {
      l = _mm256_or_si256(l, load256(coef + 256 * gr + 32 * i));
      rt = _mm256_or_si256(rt, load256(coef + 256 * gr + 32 * i + 16));
    }
    const __m256i any = _mm256_or_si256(l, rt);
    if (!_mm256_testz_si256(any, any)) nv = gr + 1;
    left = _mm256_or_si256(left, l);
    right = _mm256_or_si256(right, rt);
  }
  const __m256i zero = _mm256_setzero_si256();
  const uint32_t zl = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(left, zero)));
  const uint32_t zr = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(right, zero)));
  nh = (zr >> 16) != 0xFFFF ? 4 : (zr & 0xFFFF) != 0xFFFF ? 3 : (zl >> 16) != 0xFFFF ? 2 : 1;
}

template <int NV, typename Out>
inline void inverse32_nv(int nh, const int16_t *coef, Out out) {
  switch (nh) {
    case 1: return inverse32<NV, 1>(coef, out);
    case 2: return inverse32<NV, 2>(coef, out);
    case 3: return inverse32<NV, 3>(coef, out);
    default: return inverse32<NV, 4>(coef, out);
  }
}
// Returns false for an empty block.
template <typename Out>
inline bool inverse32_any(const int16_t *coef, Out out) {
  int nv, nh;
  extent(coef, nv, nh);
  switch (nv) {
    case 0: _mm256_zeroupper(); return false;
    case 1: inverse32_nv<1>(nh, coef, out); break;
    case 2: inverse32_nv<2>(nh, coef, out); break;
    case 3: inverse32_nv<3>(nh, coef, out); break;
    default: inverse32_nv<4>(nh, coef, out); break;
  }
  return true;
}

}  // namespace

void dct_inv_core_32x32_avx2(const int16_t *coef, int16_t *res, int32_t stride) {
  if (inverse32_any(coef, to_residual{res, stride})) return;
  for (int y = 0; y < 32; y++) std::memset(res + y * stride, 0, 64);
}
// The 8x8 corner: nothing outside it is read.
void dct_inv_low_core_32x32_avx2(const int16_t *coef, int16_t *res, int32_t stride) {
  inverse32<1, 1>(coef, to_residual{res, stride});
}
// An empty block leaves the prediction as it is.
void dct_inv_add_32x32_avx2(uint8_t *recon, const int16_t *coef) { inverse32_any(coef, to_recon{recon}); }
void dct_inv_add_low_32x32_avx2(uint8_t *recon, const int16_t *coef, int32_t) { inverse32<1, 1>(coef, to_recon{recon}); }
