// Adaptive quantisation: flat blocks get a lower QP and textured ones a
// higher, where coarse quantisation is least visible.
#include "ratecontrol/aq.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "encoder/encoder.h"

namespace {

// Entry i: 256 * (2^(i/64) - 1), rounded.
const std::array<uint8_t, 64> &exp2_table() {
  static const std::array<uint8_t, 64> t = [] {
    std::array<uint8_t, 64> a{};
    for (int32_t i = 0; i < 64; i++) a[i] = static_cast<uint8_t>(std::lround(256.0 * (std::exp2(i / 64.0) - 1.0)));
    return a;
  }();
  return t;
}

// For the normalised top byte k = 128..255: log2(k / 128), and the slope to
// the next entry per unit of the 24 bits below it.
struct log2_tables_t {
  float base[128];
  float slope[128];
};
const log2_tables_t &log2_tables() {
  static const log2_tables_t t = [] {
    log2_tables_t a{};
    for (int32_t k = 0; k < 128; k++) {
      const double lo = std::log2((128.0 + k) / 128.0), hi = std::log2((129.0 + k) / 128.0);
      a.base[k] = static_cast<float>(lo);
      a.slope[k] = static_cast<float>((hi - lo) / 16777216.0);
    }
    return a;
  }();
  return t;
}

}  // namespace

uint16_t exp2fix8(float x) {
  const int32_t i = static_cast<int32_t>(x * -10.666667f + 512.0f + 0.5f);
  if (i < 0) return 0;
  if (i > 1023) return 65535;
  return static_cast<uint16_t>(((exp2_table()[i & 63] + 256u) << (i >> 6)) >> 8);
}

float log2_int_f(int32_t v) {
  const uint32_t u = static_cast<uint32_t>(v);
  const int32_t m = 31 - __builtin_clz(u);
  const uint32_t w = u << (31 - m);
  const uint32_t k = (w >> 24) - 128;
  const log2_tables_t &t = log2_tables();
  return static_cast<float>(w & 0xffffff) * t.slope[k] + t.base[k] + static_cast<float>(m);
}

uint32_t aq_plane_energy(const encoder_t *enc, int32_t x, int32_t y, const frame_t *f, int32_t plane) {
  const int32_t stride = f->stride[plane];
  if (plane == 0) {
    const uint64_t r = enc->pixel.pixel_var_16x16(f->plane[0] + 16 * y * stride + 16 * x, stride);
    const uint32_t sum = static_cast<uint32_t>(r), ssq = static_cast<uint32_t>(r >> 32);
    return ssq - ((sum * sum) >> 8);
  }
  const uint64_t r = enc->pixel.pixel_var_8x8(f->plane[plane] + 8 * y * stride + 8 * x, stride);
  const uint32_t sum = static_cast<uint32_t>(r), ssq = static_cast<uint32_t>(r >> 32);
  return ssq - ((sum * sum) >> 6);
}

uint32_t aq_block_energy(const encoder_t *enc, int32_t x, int32_t y, const frame_t *f) {
  return aq_plane_energy(enc, x, y, f, 0) + aq_plane_energy(enc, x, y, f, 1) + aq_plane_energy(enc, x, y, f, 2);
}

void aq_compute_qp_offsets(encoder_t *enc, frame_t *f) {
  const param_t &p = enc->param;
  const int32_t mode = enc->aq_mode_active;
  if (mode == 0) return;
  const int32_t stride = 4 * enc->ctu_cols;
  const size_t all = static_cast<size_t>(enc->ctu_count) * 16;
  if (p.aq_strength == 0.0f) {
    std::memset(f->aq_offsets, 0, all * sizeof(float));
    std::memset(f->aq_cutree_offsets, 0, all * sizeof(float));
    for (size_t i = 0; i < all; i++) f->aq_inv_qscale[i] = 256;
    return;
  }
  const int32_t bw = (p.width + 15) / 16, bh = (p.height + 15) / 16;
  float strength, centre = 0.0f;
  if (mode == 2) {
    // Mode 2 scales its offsets by the picture's own mean activity, kept in
    // aq_offsets until the offsets replace it.
    float s = 0.0f, s2 = 0.0f;
    for (int32_t y = 0; y < bh; y++)
      for (int32_t x = 0; x < bw; x++) {
        const float v = std::pow(static_cast<float>(aq_block_energy(enc, x, y, f)) + 1.0f, 0.125f);
        f->aq_offsets[y * stride + x] = v;
        s += v;
        s2 += v * v;
      }
    const float n = static_cast<float>(all);
    const float avg = s / n;
    strength = p.aq_strength * avg;
    centre = avg - 0.5f * (s2 / n - 14.0f) / avg;
  } else {
    strength = p.aq_strength * 1.0397f;
  }
  for (int32_t y = 0; y < bh; y++)
    for (int32_t x = 0; x < bw; x++) {
      const int32_t i = y * stride + x;
      float offset;
      if (mode == 2)
        offset = strength * (f->aq_offsets[i] - centre);
      else
        offset = strength * (log2_int_f(static_cast<int32_t>(std::max(aq_block_energy(enc, x, y, f), 1u))) - 14.427f);
      f->aq_offsets[i] = offset;
      f->aq_inv_qscale[i] = exp2fix8(offset);
    }
}
