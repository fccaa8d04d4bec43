// Portable deblocking edge filters (H.265 8.7.2.5.3 decisions, 8.7.2.5.6 /
// 8.7.2.5.7 luma filters, 8.7.2.5.5 chroma filter) and the deblocking table
// setup.  One call filters an 8-line luma piece (two 4-line segments with
// their own tc) or 4 lines of Cb and 4 of Cr; pix points at q0 of the first
// line.
#include <algorithm>
#include <cstdlib>

#include "common/primitives.h"
#include "simd/x86/simd_install.h"

namespace {

inline int32_t clip_pixel(int32_t v) { return std::clamp(v, 0, 255); }

// Samples of one line across the edge: across = distance between p0 and q0
// neighbours (1 for a vertical edge, the stride for a horizontal one).
struct edge_line_t {
  uint8_t *q0;
  intptr_t across;
  int32_t p(int32_t k) const { return q0[-(k + 1) * across]; }
  int32_t q(int32_t k) const { return q0[k * across]; }
  void set_p(int32_t k, int32_t v) const { q0[-(k + 1) * across] = static_cast<uint8_t>(v); }
  void set_q(int32_t k, int32_t v) const { q0[k * across] = static_cast<uint8_t>(v); }
};

// Second-derivative activity of one side of a line.
inline int32_t side_activity_p(const edge_line_t &l) { return std::abs(l.p(2) - 2 * l.p(1) + l.p(0)); }
inline int32_t side_activity_q(const edge_line_t &l) { return std::abs(l.q(2) - 2 * l.q(1) + l.q(0)); }

// dSam of H.265 8.7.2.5.6: the strong filter is allowed on this line.
inline bool strong_line(const edge_line_t &l, int32_t dpq, int32_t beta, int32_t tc) {
  return 2 * dpq < (beta >> 2) && std::abs(l.p(3) - l.p(0)) + std::abs(l.q(0) - l.q(3)) < (beta >> 3) &&
         std::abs(l.p(0) - l.q(0)) < ((5 * tc + 1) >> 1);
}

void strong_filter(const edge_line_t &l, int32_t tc) {
  const int32_t p0 = l.p(0), p1 = l.p(1), p2 = l.p(2), p3 = l.p(3);
  const int32_t q0 = l.q(0), q1 = l.q(1), q2 = l.q(2), q3 = l.q(3);
  const int32_t t2 = 2 * tc;
  l.set_p(0, std::clamp((p2 + 2 * p1 + 2 * p0 + 2 * q0 + q1 + 4) >> 3, p0 - t2, p0 + t2));
  l.set_p(1, std::clamp((p2 + p1 + p0 + q0 + 2) >> 2, p1 - t2, p1 + t2));
  l.set_p(2, std::clamp((2 * p3 + 3 * p2 + p1 + p0 + q0 + 4) >> 3, p2 - t2, p2 + t2));
  l.set_q(0, std::clamp((p1 + 2 * p0 + 2 * q0 + 2 * q1 + q2 + 4) >> 3, q0 - t2, q0 + t2));
  l.set_q(1, std::clamp((p0 + q0 + q1 + q2 + 2) >> 2, q1 - t2, q1 + t2));
  l.set_q(2, std::clamp((p0 + q0 + q1 + 3 * q2 + 2 * q3 + 4) >> 3, q2 - t2, q2 + t2));
}

void normal_filter(const edge_line_t &l, int32_t tc, bool filter_p1, bool filter_q1) {
  const int32_t p0 = l.p(0), p1 = l.p(1), p2 = l.p(2);
  const int32_t q0 = l.q(0), q1 = l.q(1), q2 = l.q(2);
  int32_t delta = (9 * (q0 - p0) - 3 * (q1 - p1) + 8) >> 4;
  if (std::abs(delta) >= 10 * tc) return;
  delta = std::clamp(delta, -tc, tc);
  l.set_p(0, clip_pixel(p0 + delta));
  l.set_q(0, clip_pixel(q0 - delta));
  const int32_t tc2 = tc >> 1;
  if (filter_p1) l.set_p(1, clip_pixel(p1 + std::clamp((((p2 + p0 + 1) >> 1) - p1 + delta) >> 1, -tc2, tc2)));
  if (filter_q1) l.set_q(1, clip_pixel(q1 + std::clamp((((q2 + q0 + 1) >> 1) - q1 - delta) >> 1, -tc2, tc2)));
}

// along = distance between successive lines, across = between samples of a
// line.  Decisions of a segment read lines 0 and 3 before any line changes.
void luma_edge(uint8_t *pix, intptr_t along, intptr_t across, int32_t beta, const int32_t tc[2]) {
  for (int32_t seg = 0; seg < 2; seg++) {
    const int32_t t = tc[seg];
    if (t < 0) continue;
    uint8_t *first = pix + 4 * seg * along;
    const edge_line_t l0{first, across}, l3{first + 3 * along, across};
    const int32_t dp0 = side_activity_p(l0), dq0 = side_activity_q(l0);
    const int32_t dp3 = side_activity_p(l3), dq3 = side_activity_q(l3);
    if (dp0 + dq0 + dp3 + dq3 >= beta) continue;
    const bool strong = strong_line(l0, dp0 + dq0, beta, t) && strong_line(l3, dp3 + dq3, beta, t);
    const int32_t side_threshold = (beta + (beta >> 1)) >> 3;
    const bool filter_p1 = dp0 + dp3 < side_threshold, filter_q1 = dq0 + dq3 < side_threshold;
    for (int32_t i = 0; i < 4; i++) {
      const edge_line_t l{first + i * along, across};
      if (strong)
        strong_filter(l, t);
      else
        normal_filter(l, t, filter_p1, filter_q1);
    }
  }
}

void chroma_edge(uint8_t *cb, uint8_t *cr, intptr_t along, intptr_t across, const int32_t tc[2]) {
  uint8_t *const planes[2] = {cb, cr};
  for (int32_t c = 0; c < 2; c++) {
    if (tc[c] < 0) continue;
    for (int32_t i = 0; i < 4; i++) {
      const edge_line_t l{planes[c] + i * along, across};
      const int32_t p0 = l.p(0), p1 = l.p(1), q0 = l.q(0), q1 = l.q(1);
      const int32_t delta = std::clamp((((q0 - p0) * 4) + p1 - q1 + 4) >> 3, -tc[c], tc[c]);
      l.set_p(0, clip_pixel(p0 + delta));
      l.set_q(0, clip_pixel(q0 - delta));
    }
  }
}

void deblock_luma_ver_edge_c(uint8_t *pix, int32_t stride, int32_t beta, const int32_t tc[2]) {
  luma_edge(pix, stride, 1, beta, tc);
}
void deblock_luma_hor_edge_c(uint8_t *pix, int32_t stride, int32_t beta, const int32_t tc[2]) {
  luma_edge(pix, 1, stride, beta, tc);
}
void deblock_chroma_ver_edge_c(uint8_t *cb, uint8_t *cr, int32_t stride, const int32_t tc[2]) {
  chroma_edge(cb, cr, stride, 1, tc);
}
void deblock_chroma_hor_edge_c(uint8_t *cb, uint8_t *cr, int32_t stride, const int32_t tc[2]) {
  chroma_edge(cb, cr, 1, stride, tc);
}

}  // namespace

void setup_deblock_primitives(uint32_t cpu_flags, deblock_funcs_t *d) {
  d->deblock_luma_ver_edge = deblock_luma_ver_edge_c;
  d->deblock_luma_hor_edge = deblock_luma_hor_edge_c;
  d->deblock_chroma_ver_edge = deblock_chroma_ver_edge_c;
  d->deblock_chroma_hor_edge = deblock_chroma_hor_edge_c;
  if (cpu_flags & CPU_FLAG_SSSE3) install_deblock_ssse3(d);
  if (cpu_flags & CPU_FLAG_AVX2) install_deblock_avx2(d);
}
