// Portable intra predictors and reference smoothing: the cells every vector
// tier must reproduce bit for bit.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <utility>

#include "common/intra_angles.h"
#include "common/primitives.h"
#include "simd/x86/simd_install.h"

namespace {

inline uint8_t clip_pixel(int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// H.265 8.4.4.2.3 smoothing; the corner blends the first above and the first
// left sample, and the far ends of both runs pass through unfiltered.
template <int N>
void intra_ref_filter_c(const uint8_t *src, uint8_t *dst) {
  dst[0] = static_cast<uint8_t>((src[1] + 2 * src[0] + src[2 * N + 1] + 2) >> 2);
  for (int k = 1; k < 2 * N; k++) dst[k] = static_cast<uint8_t>((src[k - 1] + 2 * src[k] + src[k + 1] + 2) >> 2);
  dst[2 * N] = src[2 * N];
  dst[2 * N + 1] = static_cast<uint8_t>((src[0] + 2 * src[2 * N + 1] + src[2 * N + 2] + 2) >> 2);
  for (int k = 2 * N + 2; k < 4 * N; k++)
    dst[k] = static_cast<uint8_t>((src[k - 1] + 2 * src[k] + src[k + 1] + 2) >> 2);
  dst[4 * N] = src[4 * N];
}

void intra_ref_filter_4x4_c(const uint8_t *src, uint8_t *dst) { intra_ref_filter_c<4>(src, dst); }
void intra_ref_filter_8x8_c(const uint8_t *src, uint8_t *dst) { intra_ref_filter_c<8>(src, dst); }
void intra_ref_filter_16x16_c(const uint8_t *src, uint8_t *dst) { intra_ref_filter_c<16>(src, dst); }
void intra_ref_filter_32x32_c(const uint8_t *src, uint8_t *dst) { intra_ref_filter_c<32>(src, dst); }

// H.265 8.4.4.2.5.
template <int LOG2>
void intra_planar_c(uint8_t *dst, intptr_t stride, const uint8_t *nb) {
  constexpr int n = 1 << LOG2;
  const uint8_t *above = nb + 1;
  const uint8_t *left = nb + 2 * n + 1;
  const int32_t top_right = above[n];
  const int32_t bottom_left = left[n];
  for (int y = 0; y < n; y++) {
    for (int x = 0; x < n; x++) {
      const int32_t v =
          (n - 1 - x) * left[y] + (x + 1) * top_right + (n - 1 - y) * above[x] + (y + 1) * bottom_left + n;
      dst[y * stride + x] = static_cast<uint8_t>(v >> (LOG2 + 1));
    }
  }
}

// H.265 8.4.4.2.6 (DC); the boundary smoothing of the first row and column
// is only defined for luma below 32x32, and the caller picks the cell.
template <int LOG2, int FILT>
void intra_dc_c(uint8_t *dst, intptr_t stride, const uint8_t *nb) {
  constexpr int n = 1 << LOG2;
  const uint8_t *above = nb + 1;
  const uint8_t *left = nb + 2 * n + 1;
  int32_t sum = n;
  for (int k = 0; k < n; k++) sum += above[k] + left[k];
  const int32_t dc = sum >> (LOG2 + 1);
  for (int y = 0; y < n; y++)
    for (int x = 0; x < n; x++) dst[y * stride + x] = static_cast<uint8_t>(dc);
  if (FILT && n < 32) {
    dst[0] = static_cast<uint8_t>((left[0] + 2 * dc + above[0] + 2) >> 2);
    for (int x = 1; x < n; x++) dst[x] = static_cast<uint8_t>((above[x] + 3 * dc + 2) >> 2);
    for (int y = 1; y < n; y++) dst[y * stride] = static_cast<uint8_t>((left[y] + 3 * dc + 2) >> 2);
  }
}

template <int MODE, int LOG2, int FILT>
void intra_ang_cell_c(uint8_t *dst, intptr_t stride, const uint8_t *nb) {
  intra_ang_c(dst, stride, nb, MODE, 1 << LOG2, FILT);
}

// Cell k of the angular range covers mode 2 + k / 4 at log2 size 2 + k % 4.
template <std::size_t... K>
constexpr std::array<intra_pred_fn, sizeof...(K)> angular_plain_cells(std::index_sequence<K...>) {
  return {&intra_ang_cell_c<2 + K / 4, 2 + K % 4, 0>...};
}
// Only the pure horizontal and vertical modes below 32x32 have an edge filter.
constexpr int edge_filtered(std::size_t k) {
  const std::size_t mode = 2 + k / 4, log2 = 2 + k % 4;
  return (mode == 10 || mode == 26) && log2 < 5 ? 1 : 0;
}
template <std::size_t... K>
constexpr std::array<intra_pred_fn, sizeof...(K)> angular_filt_cells(std::index_sequence<K...>) {
  return {&intra_ang_cell_c<2 + K / 4, 2 + K % 4, edge_filtered(K)>...};
}

}  // namespace

void intra_ang_c(uint8_t *dst, intptr_t dst_stride, const uint8_t *nb, int32_t mode, int32_t size,
                 int32_t edge_filter) {
  const int n = size;
  const bool horizontal = mode < 18;
  const int32_t angle = intra_pred_angle[mode];
  // Horizontal modes predict the transposed block from the left column, so
  // both directions share one loop: "main" is the run the angle walks along,
  // "side" the run that negative angles project onto it.
  const uint8_t *main_run = horizontal ? nb + 2 * n : nb;  // main_run[1..2N]
  const uint8_t *side_run = horizontal ? nb : nb + 2 * n;  // side_run[1..2N]

  // ref[-32 .. 64]: at most 2N samples ahead, at most N - 1 projected behind.
  uint8_t ref_storage[32 + 2 * 32 + 1];
  uint8_t *ref = ref_storage + 32;
  ref[0] = nb[0];
  for (int k = 1; k <= 2 * n; k++) ref[k] = main_run[k];
  if (angle < 0) {
    const int32_t extension = intra_ang_extension(angle, n);
    for (int k = 1; k <= extension; k++) ref[-k] = side_run[intra_ang_projected(angle, k)];
  }

  for (int r = 0; r < n; r++) {
    const int32_t pos = (r + 1) * angle;
    const int32_t idx = pos >> 5;
    const int32_t fact = pos & 31;
    const uint8_t *base = ref + idx + 1;
    for (int c = 0; c < n; c++) {
      // With fact 0 the second tap may lie one past the reference run.
      const uint8_t v = fact ? static_cast<uint8_t>(((32 - fact) * base[c] + fact * base[c + 1] + 16) >> 5) : base[c];
      if (horizontal)
        dst[c * dst_stride + r] = v;
      else
        dst[r * dst_stride + c] = v;
    }
  }

  if (edge_filter) {
    // H.265 8.4.4.2.6: modes 10 and 26 bend the first line across the
    // prediction direction towards the gradient of the side run.
    for (int r = 0; r < n; r++) {
      const uint8_t v = clip_pixel(main_run[1] + ((side_run[1 + r] - nb[0]) >> 1));
      if (horizontal)
        dst[r] = v;
      else
        dst[r * dst_stride] = v;
    }
  }
}

void setup_intra_primitives(uint32_t cpu_flags, intra_funcs_t *t) {
  t->ref_filter[0] = intra_ref_filter_4x4_c;
  t->ref_filter[1] = intra_ref_filter_8x8_c;
  t->ref_filter[2] = intra_ref_filter_16x16_c;
  t->ref_filter[3] = intra_ref_filter_32x32_c;

  const auto slot = [t](int mode, int filt, int log2) -> intra_pred_fn & {
    return t->pred[intra_cell(mode, filt, log2) - 4];
  };
  constexpr std::array<intra_pred_fn, 4> planar = {intra_planar_c<2>, intra_planar_c<3>, intra_planar_c<4>,
                                                   intra_planar_c<5>};
  constexpr std::array<intra_pred_fn, 4> dc = {intra_dc_c<2, 0>, intra_dc_c<3, 0>, intra_dc_c<4, 0>, intra_dc_c<5, 0>};
  constexpr std::array<intra_pred_fn, 4> dc_filt = {intra_dc_c<2, 1>, intra_dc_c<3, 1>, intra_dc_c<4, 1>,
                                                    intra_dc_c<5, 0>};
  constexpr auto ang = angular_plain_cells(std::make_index_sequence<33 * 4>());
  constexpr auto ang_filt = angular_filt_cells(std::make_index_sequence<33 * 4>());
  for (int log2 = 2; log2 <= 5; log2++) {
    const int s = log2 - 2;
    slot(0, 0, log2) = planar[s];
    slot(0, 1, log2) = planar[s];
    slot(1, 0, log2) = dc[s];
    slot(1, 1, log2) = dc_filt[s];
    for (int mode = 2; mode <= 34; mode++) {
      slot(mode, 0, log2) = ang[(mode - 2) * 4 + s];
      slot(mode, 1, log2) = ang_filt[(mode - 2) * 4 + s];
    }
  }
  if (cpu_flags & CPU_FLAG_SSSE3) install_intra_ssse3(t);
  if (cpu_flags & CPU_FLAG_AVX2) install_intra_avx2(t);
}
