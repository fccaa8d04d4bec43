// Deblocking edge filters of the AVX2 tier (H.265 8.7.2.5): 128-bit
// vectors of eight 16-bit lanes, one lane per line across the edge, so one
// pass filters both 4-line luma segments or both chroma planes.  Every
// filter is computed for all lanes and merged under lane masks; branches
// are taken only on whole-vector conditions.  With beta 0..64 and tc 0..24
// no intermediate value leaves the 16-bit range (the largest is a strong
// filter sum, 8 * 255 + 4).
//
// Memory: a luma call reads p3..q3 of its 8 lines and writes p2..q2 of the
// lines of segments that pass the edge decision; a chroma call reads p1..q1
// of its 4 lines per plane and writes p0 and q0.  A call whose two tc are
// both 0 or less changes nothing and touches nothing.
#include <immintrin.h>

#include <cstring>

#include "simd/x86/simd_install.h"
#include "simd/x86/transpose8x8.h"

namespace {

// Lanes 0-3 take a's value for the first segment, lanes 4-7 for the second:
// the decisions of a segment read its first (lane 0 / 4) and last (3 / 7)
// line.
inline __m128i first_line(__m128i v) {
  return _mm_shuffle_epi8(v, _mm_setr_epi8(0, 1, 0, 1, 0, 1, 0, 1, 8, 9, 8, 9, 8, 9, 8, 9));
}
inline __m128i last_line(__m128i v) {
  return _mm_shuffle_epi8(v, _mm_setr_epi8(6, 7, 6, 7, 6, 7, 6, 7, 14, 15, 14, 15, 14, 15, 14, 15));
}
inline __m128i segment_sum(__m128i v) { return _mm_add_epi16(first_line(v), last_line(v)); }

inline __m128i clamp(__m128i v, __m128i lo, __m128i hi) { return _mm_min_epi16(_mm_max_epi16(v, lo), hi); }
inline __m128i select(__m128i mask, __m128i yes, __m128i no) { return _mm_blendv_epi8(no, yes, mask); }

// One tc per segment (or plane): lanes 0-3 tc[0], lanes 4-7 tc[1].
inline __m128i lane_tc(const int32_t tc[2]) {
  return _mm_unpacklo_epi64(_mm_set1_epi16(static_cast<int16_t>(tc[0])), _mm_set1_epi16(static_cast<int16_t>(tc[1])));
}

// v[0..7] = p3, p2, p1, p0, q0, q1, q2, q3 of the 8 lines, filtered in
// place.  Returns the lane mask of the segments that pass the edge decision
// (0: nothing changed).
int luma_filter(__m128i *v, int32_t beta_arg, const int32_t tc_arg[2]) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i p3 = v[0], p2 = v[1], p1 = v[2], p0 = v[3], q0 = v[4], q1 = v[5], q2 = v[6], q3 = v[7];
  const __m128i beta = _mm_set1_epi16(static_cast<int16_t>(beta_arg)), tc = lane_tc(tc_arg);
  const __m128i dp = _mm_abs_epi16(_mm_add_epi16(_mm_sub_epi16(p2, _mm_add_epi16(p1, p1)), p0));
  const __m128i dq = _mm_abs_epi16(_mm_add_epi16(_mm_sub_epi16(q2, _mm_add_epi16(q1, q1)), q0));
  const __m128i dpq = _mm_add_epi16(dp, dq);
  // A segment with tc <= 0 changes nothing whatever the decisions say.
  const __m128i filtered = _mm_and_si128(_mm_cmpgt_epi16(beta, segment_sum(dpq)), _mm_cmpgt_epi16(tc, zero));
  const int filtered_bits = _mm_movemask_epi8(filtered);
  if (!filtered_bits) return 0;

  // Strong filter where lines a and b of the segment both allow it.
  const __m128i abs_pq0 = _mm_abs_epi16(_mm_sub_epi16(p0, q0));
  const __m128i tc5 = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(tc, 2), tc), _mm_set1_epi16(1)), 1);
  const __m128i flat =
      _mm_add_epi16(_mm_abs_epi16(_mm_sub_epi16(p3, p0)), _mm_abs_epi16(_mm_sub_epi16(q0, q3)));
  __m128i line_strong = _mm_cmpgt_epi16(_mm_srai_epi16(beta, 2), _mm_add_epi16(dpq, dpq));
  line_strong = _mm_and_si128(line_strong, _mm_cmpgt_epi16(_mm_srai_epi16(beta, 3), flat));
  line_strong = _mm_and_si128(line_strong, _mm_cmpgt_epi16(tc5, abs_pq0));
  const __m128i strong = _mm_and_si128(filtered, _mm_and_si128(first_line(line_strong), last_line(line_strong)));
  const int strong_bits = _mm_movemask_epi8(strong);

  if (strong_bits) {
    const __m128i tc2 = _mm_add_epi16(tc, tc), four = _mm_set1_epi16(4), two = _mm_set1_epi16(2);
    const __m128i pq0 = _mm_add_epi16(p0, q0);
    auto limit = [&](__m128i sum, int shift, __m128i x) {
      const __m128i r = shift == 3 ? _mm_srai_epi16(sum, 3) : _mm_srai_epi16(sum, 2);
      return select(strong, clamp(r, _mm_sub_epi16(x, tc2), _mm_add_epi16(x, tc2)), x);
    };
    // 2p3 + 3p2 + p1 + p0 + q0 + 4
    const __m128i np2 = limit(
        _mm_add_epi16(_mm_add_epi16(_mm_add_epi16(_mm_add_epi16(p3, p3), _mm_add_epi16(_mm_add_epi16(p2, p2), p2)),
                                    _mm_add_epi16(p1, pq0)),
                      four),
        3, p2);
    // p2 + p1 + p0 + q0 + 2
    const __m128i np1 = limit(_mm_add_epi16(_mm_add_epi16(p2, p1), _mm_add_epi16(pq0, two)), 2, p1);
    // p2 + 2p1 + 2p0 + 2q0 + q1 + 4
    const __m128i np0 = limit(
        _mm_add_epi16(_mm_add_epi16(_mm_add_epi16(p2, q1), _mm_slli_epi16(_mm_add_epi16(p1, pq0), 1)), four), 3, p0);
    // p1 + 2p0 + 2q0 + 2q1 + q2 + 4
    const __m128i nq0 = limit(
        _mm_add_epi16(_mm_add_epi16(_mm_add_epi16(p1, q2), _mm_slli_epi16(_mm_add_epi16(q1, pq0), 1)), four), 3, q0);
    // p0 + q0 + q1 + q2 + 2
    const __m128i nq1 = limit(_mm_add_epi16(_mm_add_epi16(q2, q1), _mm_add_epi16(pq0, two)), 2, q1);
    // p0 + q0 + q1 + 3q2 + 2q3 + 4
    const __m128i nq2 = limit(
        _mm_add_epi16(_mm_add_epi16(_mm_add_epi16(_mm_add_epi16(q3, q3), _mm_add_epi16(_mm_add_epi16(q2, q2), q2)),
                                    _mm_add_epi16(q1, pq0)),
                      four),
        3, q2);
    v[1] = np2, v[2] = np1, v[3] = np0, v[4] = nq0, v[5] = nq1, v[6] = nq2;
  }
  if (strong_bits == filtered_bits) return filtered_bits;

  // Normal filter on the other lines of filtered segments (old samples).
  __m128i delta = _mm_sub_epi16(_mm_add_epi16(_mm_slli_epi16(_mm_sub_epi16(q0, p0), 3), _mm_sub_epi16(q0, p0)),
                                _mm_add_epi16(_mm_add_epi16(_mm_sub_epi16(q1, p1), _mm_sub_epi16(q1, p1)),
                                              _mm_sub_epi16(q1, p1)));
  delta = _mm_srai_epi16(_mm_add_epi16(delta, _mm_set1_epi16(8)), 4);
  const __m128i tc10 = _mm_mullo_epi16(tc, _mm_set1_epi16(10));
  const __m128i normal =
      _mm_andnot_si128(strong, _mm_and_si128(filtered, _mm_cmpgt_epi16(tc10, _mm_abs_epi16(delta))));
  if (!_mm_movemask_epi8(normal)) return filtered_bits;
  delta = clamp(delta, _mm_sub_epi16(zero, tc), tc);
  v[3] = select(normal, _mm_add_epi16(p0, delta), v[3]);
  v[4] = select(normal, _mm_sub_epi16(q0, delta), v[4]);

  const __m128i side = _mm_srai_epi16(_mm_add_epi16(beta, _mm_srai_epi16(beta, 1)), 3);
  const __m128i half_tc = _mm_srai_epi16(tc, 1), minus_half_tc = _mm_sub_epi16(zero, half_tc);
  const __m128i widen_p = _mm_and_si128(normal, _mm_cmpgt_epi16(side, segment_sum(dp)));
  const __m128i widen_q = _mm_and_si128(normal, _mm_cmpgt_epi16(side, segment_sum(dq)));
  if (_mm_movemask_epi8(widen_p)) {
    // ((p2 + p0 + 1) >> 1) - p1 + delta, halved and limited to tc / 2.
    const __m128i d = _mm_srai_epi16(_mm_add_epi16(_mm_sub_epi16(_mm_avg_epu16(p2, p0), p1), delta), 1);
    v[2] = select(widen_p, _mm_add_epi16(p1, clamp(d, minus_half_tc, half_tc)), v[2]);
  }
  if (_mm_movemask_epi8(widen_q)) {
    const __m128i d = _mm_srai_epi16(_mm_sub_epi16(_mm_sub_epi16(_mm_avg_epu16(q2, q0), q1), delta), 1);
    v[5] = select(widen_q, _mm_add_epi16(q1, clamp(d, minus_half_tc, half_tc)), v[5]);
  }
  return filtered_bits;
}

inline __m128i widen8(const uint8_t *p) {
  return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)), _mm_setzero_si128());
}

// Line i's segment passed the decision (bits 2i, 2i+1 of the byte mask).
inline bool line_filtered(int bits, int i) { return (bits >> (2 * i)) & 1; }

void deblock_luma_ver_edge_avx(uint8_t *pix, int32_t stride, int32_t beta, const int32_t tc[2]) {
  if (tc[0] <= 0 && tc[1] <= 0) return;
  __m128i v[8];
  for (int i = 0; i < 8; i++) v[i] = widen8(pix + i * stride - 4);
  transpose8x8_epi16(v);
  const int bits = luma_filter(v, beta, tc);
  if (!bits) return;
  transpose8x8_epi16(v);
  // Values past 0..255 are clipped by the unsigned narrowing.
  for (int i = 0; i < 8; i++) {
    if (!line_filtered(bits, i)) continue;
    const uint64_t row = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_packus_epi16(v[i], v[i])));
    std::memcpy(pix + i * stride - 3, reinterpret_cast<const uint8_t *>(&row) + 1, 6);
  }
}

void deblock_luma_hor_edge_avx(uint8_t *pix, int32_t stride, int32_t beta, const int32_t tc[2]) {
  if (tc[0] <= 0 && tc[1] <= 0) return;
  __m128i v[8];
  for (int k = 0; k < 8; k++) v[k] = widen8(pix + (k - 4) * stride);
  const int bits = luma_filter(v, beta, tc);
  if (!bits) return;
  // Columns 0-3 and 4-7 are the two segments.
  const int first = line_filtered(bits, 0), second = line_filtered(bits, 4);
  for (int k = 1; k < 7; k++) {
    const uint64_t row = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_packus_epi16(v[k], v[k])));
    uint8_t *d = pix + (k - 4) * stride;
    if (first && second)
      std::memcpy(d, &row, 8);
    else if (first)
      std::memcpy(d, &row, 4);
    else
      std::memcpy(d + 4, reinterpret_cast<const uint8_t *>(&row) + 4, 4);
  }
}

// Delta of the chroma filter, limited to [-tc, tc] with tc per plane.
inline __m128i chroma_delta(__m128i p1, __m128i p0, __m128i q0, __m128i q1, const int32_t tc_arg[2]) {
  const __m128i tc = _mm_max_epi16(lane_tc(tc_arg), _mm_setzero_si128());
  __m128i d = _mm_add_epi16(_mm_slli_epi16(_mm_sub_epi16(q0, p0), 2), _mm_sub_epi16(p1, q1));
  d = _mm_srai_epi16(_mm_add_epi16(d, _mm_set1_epi16(4)), 3);
  return clamp(d, _mm_sub_epi16(_mm_setzero_si128(), tc), tc);
}

inline __m128i load4(const uint8_t *p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return _mm_cvtsi32_si128(v);
}

void deblock_chroma_ver_edge_avx(uint8_t *cb, uint8_t *cr, int32_t stride, const int32_t tc[2]) {
  if (tc[0] <= 0 && tc[1] <= 0) return;
  // Lines 0-3 of Cb then of Cr, 4 bytes each (p1 p0 q0 q1), grouped by
  // position: bytes of p1, p0, q0, q1 in turn, four lines each.
  const __m128i by_position = _mm_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
  __m128i planes[2];
  uint8_t *const base[2] = {cb, cr};
  for (int c = 0; c < 2; c++) {
    const uint8_t *s = base[c] - 2;
    const __m128i l01 = _mm_unpacklo_epi32(load4(s), load4(s + stride));
    const __m128i l23 = _mm_unpacklo_epi32(load4(s + 2 * stride), load4(s + 3 * stride));
    planes[c] = _mm_shuffle_epi8(_mm_unpacklo_epi64(l01, l23), by_position);
  }
  const __m128i zero = _mm_setzero_si128();
  const __m128i p = _mm_unpacklo_epi32(planes[0], planes[1]), q = _mm_unpackhi_epi32(planes[0], planes[1]);
  const __m128i p1 = _mm_unpacklo_epi8(p, zero), p0 = _mm_unpackhi_epi8(p, zero);
  const __m128i q0 = _mm_unpacklo_epi8(q, zero), q1 = _mm_unpackhi_epi8(q, zero);
  const __m128i delta = chroma_delta(p1, p0, q0, q1, tc);
  const __m128i out = _mm_packus_epi16(_mm_add_epi16(p0, delta), _mm_sub_epi16(q0, delta));
  const __m128i pairs = _mm_unpacklo_epi8(out, _mm_srli_si128(out, 8));  // p0 q0 of lane 0, 1, ...
  alignas(16) uint16_t w[8];
  _mm_store_si128(reinterpret_cast<__m128i *>(w), pairs);
  for (int i = 0; i < 8; i++) std::memcpy(base[i >> 2] + (i & 3) * stride - 1, &w[i], 2);
}

void deblock_chroma_hor_edge_avx(uint8_t *cb, uint8_t *cr, int32_t stride, const int32_t tc[2]) {
  if (tc[0] <= 0 && tc[1] <= 0) return;
  const __m128i zero = _mm_setzero_si128();
  // Row k (-2..1) of Cb in lanes 0-3, of Cr in lanes 4-7.
  auto row = [&](int k) {
    return _mm_unpacklo_epi8(_mm_unpacklo_epi32(load4(cb + k * stride), load4(cr + k * stride)), zero);
  };
  const __m128i p1 = row(-2), p0 = row(-1), q0 = row(0), q1 = row(1);
  const __m128i delta = chroma_delta(p1, p0, q0, q1, tc);
  const __m128i np0 = _mm_packus_epi16(_mm_add_epi16(p0, delta), zero);
  const __m128i nq0 = _mm_packus_epi16(_mm_sub_epi16(q0, delta), zero);
  const int32_t out[4] = {_mm_cvtsi128_si32(np0), _mm_cvtsi128_si32(_mm_srli_si128(np0, 4)), _mm_cvtsi128_si32(nq0),
                          _mm_cvtsi128_si32(_mm_srli_si128(nq0, 4))};
  std::memcpy(cb - stride, &out[0], 4);
  std::memcpy(cr - stride, &out[1], 4);
  std::memcpy(cb, &out[2], 4);
  std::memcpy(cr, &out[3], 4);
}

}  // namespace

void install_deblock_avx2(deblock_funcs_t *d) {
  d->deblock_luma_ver_edge = deblock_luma_ver_edge_avx;
  d->deblock_luma_hor_edge = deblock_luma_hor_edge_avx;
  d->deblock_chroma_ver_edge = deblock_chroma_ver_edge_avx;
  d->deblock_chroma_hor_edge = deblock_chroma_hor_edge_avx;
}
