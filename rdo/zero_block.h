// Residuals too small for any coefficient to round to a level, told from
// their energy alone, before the forward transform: most chroma residuals
// of inter and intra trials are that small, and their transform and
// quantisation would only find them empty.
#pragma once

#include <array>
#include <cstdint>

#include "common/dct_matrix.h"
#include "common/primitives.h"

namespace zero_block_detail {

// For the N-point matrix M: the largest squared norm of a row and the
// largest sum of magnitudes of a row.
template <int N>
constexpr std::array<int64_t, 2> row_norms() {
  const std::array<int16_t, N * N> m = dct_matrix<N>();
  int64_t norm2 = 0, sum = 0;
  for (int k = 0; k < N; k++) {
    int64_t n2 = 0, s = 0;
    for (int i = 0; i < N; i++) {
      const int64_t v = m[static_cast<size_t>(k * N + i)];
      n2 += v * v;
      s += v < 0 ? -v : v;
    }
    norm2 = n2 > norm2 ? n2 : norm2;
    sum = s > sum ? s : sum;
  }
  return {norm2, sum};
}

// The largest SSE of an N x N residual whose every coefficient rounds to 0
// at qp, plus 1 (0: none is known to).
//
// The rows pass gives X / 2^s1 + e and the columns pass Y / 2^s2 + e', with
// s1 = log2 - 1, s2 = log2 + 6 and |e|, |e'| <= 1/2 (round half up; with
// residuals of 8-bit samples neither pass clips).  So a coefficient is
// m_v' R m_u / 2^(s1 + s2) plus at most rowsum / 2^(s2 + 1) + 1/2, and
// |m_v' R m_u| <= |m_v| |m_u| |R|_F = |m_v| |m_u| sqrt(SSE).  The rounding
// the quantiser's first step uses, (|c| scale + 2^(shift - 1)) >> shift,
// is 0 for |c| <= cmax = (2^(shift - 1) - 1) / scale, which every
// coefficient meets when
//   2 norm2 sqrt(SSE) < K = (2 cmax + 1) 2^(s1 + s2) - rowsum 2^s1,
// that is 4 norm2^2 SSE < K^2.  The plain quantiser's offsets are below
// half a step, so it rounds such coefficients to 0 as well.
template <int N>
constexpr uint32_t sse_limit(int32_t log2, int32_t qp) {
  const std::array<int64_t, 2> rn = row_norms<N>();
  const quant_params_t q = quant_params(qp, log2, 0);
  const int64_t cmax = ((int64_t{1} << (q.shift - 1)) - 1) / q.scale;
  const int32_t s1 = log2 - 1, s2 = log2 + 6;
  const int64_t k = (2 * cmax + 1) * (int64_t{1} << (s1 + s2)) - rn[1] * (int64_t{1} << s1);
  if (k <= 0) return 0;
  return static_cast<uint32_t>((k * k - 1) / (4 * rn[0] * rn[0]) + 1);
}

inline constexpr int32_t QP_COUNT = 64;

struct sse_limits_t {
  uint32_t by_size[4][QP_COUNT];  // [log2 - 2][qp]
};

constexpr sse_limits_t make_sse_limits() {
  sse_limits_t t{};
  for (int32_t qp = 0; qp < QP_COUNT; qp++) {
    t.by_size[0][qp] = sse_limit<4>(2, qp);
    t.by_size[1][qp] = sse_limit<8>(3, qp);
    t.by_size[2][qp] = sse_limit<16>(4, qp);
    t.by_size[3][qp] = sse_limit<32>(5, qp);
  }
  return t;
}

inline constexpr sse_limits_t sse_limits = make_sse_limits();

}  // namespace zero_block_detail

// Whether every DCT coefficient of an N x N residual (N = 2^log2_size,
// 4..32) with this SSE rounds to 0 at qp, so that any quantisation of the
// block, rate-distortion optimised or plain, leaves it empty.
inline bool residual_rounds_to_zero(uint32_t sse, int32_t log2_size, int32_t qp) {
  if (static_cast<uint32_t>(qp) >= static_cast<uint32_t>(zero_block_detail::QP_COUNT)) return false;
  return sse < zero_block_detail::sse_limits.by_size[log2_size - 2][qp];
}
