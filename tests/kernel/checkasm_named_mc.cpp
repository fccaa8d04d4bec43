// The motion-compensation kernels below the slots, each called by itself
// against the portable function of its contract: the any-size chroma and
// luma filters, the fixed chroma blocks, the full-sample conversions, the
// passes over the 16-bit horizontal planes, the plane builders and the
// averages' width kernels.  Sources sit against guard pages with exactly
// the filter's margins readable; destinations are surrounded by canaries.
#include <cstdlib>
#include <functional>

#include "checkasm.h"
#include "common/mc.h"
#include "simd/x86/mc/mc_kernels.h"

using namespace checkasm;

namespace {

struct margins_t {
  int32_t left, right, top, bottom;
};
constexpr margins_t CHROMA = {1, 2, 1, 2}, LUMA = {3, 4, 3, 4}, NONE = {0, 0, 0, 0};

// An 8-bit source of w x h with margins against a guard page, the first
// readable byte `gap` bytes after it.
block_ptr source8(int32_t w, int32_t h, int32_t stride, margins_t m, int32_t gap, rng_t &r) {
  auto b = std::make_unique<guarded_block>(std::max(w, 1), std::max(h, 1), stride,
                                           guarded_block::margins_t{m.left, m.right, m.top, m.bottom}, true, gap);
  b->fill(pick_pattern(r), r);
  return b;
}

// A 16-bit plane of raw luma sums (their real range) with margins.
block_ptr source16(int32_t w, int32_t h, int32_t stride_elems, margins_t m, rng_t &r) {
  auto b = std::make_unique<guarded_block>(2 * std::max(w, 1), std::max(h, 1), 2 * stride_elems,
                                           guarded_block::margins_t{2 * m.left, 2 * m.right, m.top, m.bottom}, false);
  const int32_t kind = r.range(0, 2);
  b->fill16([&](int64_t, int64_t) { return kind == 0 ? r.range(-6120, 22440) : kind == 1 ? 22440 : -6120; });
  return b;
}

// Runs `call(dst, dst_stride)` on a canary-filled destination of w x h
// elements of `elem` bytes and returns what it wrote (and checks nothing
// else was).
template <typename Call>
observation_t into_dst(int32_t w, int32_t h, int32_t elem, rng_t &r, Call call) {
  const int32_t stride = elem * (std::max(w, 1) + 5);
  guarded_block dst(elem * std::max(w, 1), std::max(h, 1), stride, {}, r.range(0, 1));
  dst.fill(pattern::random, r);
  const auto before = dst.snapshot();
  call(dst.origin(), stride / elem);
  EXPECT_TRUE(dst.written_only_inside(before, elem * std::max(w, 0), std::max(h, 0)));
  observation_t o;
  o.add(dst.snapshot());
  return o;
}

using pp_fn = void (*)(uint8_t *, int32_t, const uint8_t *, int32_t, int32_t, int32_t, int32_t, int32_t);
using ps_fn = void (*)(int16_t *, int32_t, const uint8_t *, int32_t, int32_t, int32_t, int32_t, int32_t);
using plane_pp_fn = void (*)(uint8_t *, int32_t, const int16_t *, int32_t, int32_t, int32_t, int32_t, int32_t);
using plane_ps_fn = void (*)(int16_t *, int32_t, const int16_t *, int32_t, int32_t, int32_t, int32_t, int32_t);

// References: the portable functions at a zero integer offset.
void chroma_v_pp_ref(uint8_t *d, int32_t ds, const uint8_t *s, int32_t ss, int32_t, int32_t fy, int32_t w, int32_t h) { mc_chroma_c(d, ds, s, ss, 0, fy, w, h); }
void chroma_h_pp_ref(uint8_t *d, int32_t ds, const uint8_t *s, int32_t ss, int32_t fx, int32_t, int32_t w, int32_t h) { mc_chroma_c(d, ds, s, ss, fx, 0, w, h); }
void chroma_hv_pp_ref(uint8_t *d, int32_t ds, const uint8_t *s, int32_t ss, int32_t fx, int32_t fy, int32_t w, int32_t h) { mc_chroma_c(d, ds, s, ss, fx, fy, w, h); }
void chroma_v_ps_ref(int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, int32_t, int32_t fy, int32_t w, int32_t h) { mc_chroma_ps_c(d, ds, s, ss, 0, fy, w, h); }
void chroma_h_ps_ref(int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, int32_t fx, int32_t, int32_t w, int32_t h) { mc_chroma_ps_c(d, ds, s, ss, fx, 0, w, h); }
void chroma_hv_ps_ref(int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, int32_t fx, int32_t fy, int32_t w, int32_t h) { mc_chroma_ps_c(d, ds, s, ss, fx, fy, w, h); }
void luma_v_pp_ref(uint8_t *d, int32_t ds, const uint8_t *s, int32_t ss, int32_t, int32_t fy, int32_t w, int32_t h) { mc_luma_c(d, ds, s, nullptr, ss, 0, fy, w, h); }
void luma_v_ps_ref(int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, int32_t, int32_t fy, int32_t w, int32_t h) {
  mc_luma_ps_c(d, &ds, s, nullptr, ss, 0, fy, w, h);
}
void plane_pp_ref(uint8_t *d, int32_t ds, const int16_t *p, int32_t ps, int32_t, int32_t fy, int32_t w, int32_t h) {
  const int16_t *const planes[3] = {p, p, p};
  mc_luma_c(d, ds, reinterpret_cast<const uint8_t *>(p), planes, ps, 1, fy, w, h);
}
void plane_ps_ref(int16_t *d, int32_t ds, const int16_t *p, int32_t ps, int32_t, int32_t fy, int32_t w, int32_t h) {
  const int16_t *const planes[3] = {p, p, p};
  mc_luma_ps_c(d, &ds, reinterpret_cast<const uint8_t *>(p), planes, ps, 1, fy, w, h);
}

// A kernel of one width and any height (d, ds, s, ss, fy, h) in the
// any-size form of the sweeps.
template <auto K, typename D, typename S>
void fixed_width(D *d, int32_t ds, const S *s, int32_t ss, int32_t, int32_t fy, int32_t, int32_t h) {
  K(d, ds, s, ss, fy, h);
}

class CheckasmNamedMc : public ::testing::TestWithParam<uint32_t> {
 protected:
  bool ssse3() const { return GetParam() & FLAG_SSSE3; }
  bool avx2() const { return GetParam() & FLAG_AVX2; }
  int32_t variant_ = 0;
  const uint64_t seed_ = test_seed();

  // Any-size filters from 8-bit samples: every width and height up to
  // `max`, a random fraction of each axis (1..frac_max), odd and wide
  // source strides and offsets.
  // `only_w`: the kernel's one width (0: any).
  template <typename Fn>
  void sweep(const char *name, Fn ref, Fn tst, margins_t m, int32_t frac_max, int32_t max, bool words,
             int32_t only_w = 0) {
    for (int32_t w : {1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48, 64})
      for (int32_t h : {-1, 0, 1, 2, 3, 5, 8, 16, 32, 64}) {
        if (w > max || h > max || (only_w && w != only_w)) continue;
        compare_slot(std::string(name) + " " + std::to_string(w) + "x" + std::to_string(h), ref, tst,
                     seed_ + variant_++, [&](Fn f, rng_t &r) {
                       const int32_t ss = w + m.left + m.right + r.range(0, 1) * 37, gap = r.range(0, 31);
                       const int32_t fx = r.range(1, frac_max), fy = r.range(1, frac_max);
                       auto src = source8(w, h, ss, m, gap, r);
                       return into_dst(w, h, words ? 2 : 1, r, [&](uint8_t *d, int32_t ds) {
                         if constexpr (std::is_same_v<Fn, ps_fn>)
                           f(reinterpret_cast<int16_t *>(d), ds, src->origin(), ss, fx, fy, w, h);
                         else
                           f(d, ds, src->origin(), ss, fx, fy, w, h);
                       });
                     });
      }
  }

  // Kernels over one 16-bit plane.
  template <typename Fn>
  void sweep_plane(const char *name, Fn ref, Fn tst, int32_t max_w, bool round, int32_t only_w = 0) {
    for (int32_t w : {1, 2, 3, 4, 5, 8, 12, 16, 24, 33, 64})
      for (int32_t h : {0, 1, 2, 3, 8, 17, 64}) {
        if (w > max_w || (only_w && w != only_w)) continue;
        compare_slot(std::string(name) + " " + std::to_string(w) + "x" + std::to_string(h), ref, tst,
                     seed_ + variant_++, [&](Fn f, rng_t &r) {
                       const int32_t ps = w + 7 + r.range(0, 1) * 31, fy = round ? 0 : r.range(1, 3);
                       auto plane = source16(w, h, ps, round ? NONE : LUMA, r);
                       const bool words = std::is_same_v<Fn, plane_ps_fn>;
                       return into_dst(w, h, words ? 2 : 1, r, [&](uint8_t *d, int32_t ds) {
                         if constexpr (std::is_same_v<Fn, plane_ps_fn>)
                           f(reinterpret_cast<int16_t *>(d), ds, plane->as<int16_t>(), ps, 1, fy, w, h);
                         else
                           f(d, ds, plane->as<int16_t>(), ps, 1, fy, w, h);
                       });
                     });
      }
  }
};

TEST_P(CheckasmNamedMc, AnySizeFiltersMatchPortable) {
  if (!ssse3()) return;
  sweep<pp_fn>("interp_chroma_v_pp_wxh_ssse3", chroma_v_pp_ref, interp_chroma_v_pp_wxh_ssse3, CHROMA, 7, 64, false);
  sweep<pp_fn>("interp_chroma_h_pp_wxh_ssse3", chroma_h_pp_ref, interp_chroma_h_pp_wxh_ssse3, CHROMA, 7, 64, false);
  sweep<pp_fn>("interp_chroma_hv_pp_wxh_ssse3", chroma_hv_pp_ref, interp_chroma_hv_pp_wxh_ssse3, CHROMA, 7, 32, false);
  sweep<ps_fn>("interp_chroma_v_ps_wxh_ssse3", chroma_v_ps_ref, interp_chroma_v_ps_wxh_ssse3, CHROMA, 7, 64, true);
  sweep<ps_fn>("interp_chroma_h_ps_wxh_ssse3", chroma_h_ps_ref, interp_chroma_h_ps_wxh_ssse3, CHROMA, 7, 64, true);
  sweep<ps_fn>("interp_chroma_hv_ps_wxh_ssse3", chroma_hv_ps_ref, interp_chroma_hv_ps_wxh_ssse3, CHROMA, 7, 32, true);
  sweep<pp_fn>("interp_luma_v_pp_8xh_ssse3", luma_v_pp_ref, interp_luma_v_pp_8xh_ssse3, LUMA, 3, 64, false);
  sweep<pp_fn>("interp_luma_v_pp_16xh_ssse3", luma_v_pp_ref, interp_luma_v_pp_16xh_ssse3, LUMA, 3, 64, false);
  sweep<ps_fn>("interp_luma_v_ps_8xh_ssse3", luma_v_ps_ref, interp_luma_v_ps_8xh_ssse3, LUMA, 3, 64, true);
  sweep<ps_fn>("interp_luma_v_ps_16xh_ssse3", luma_v_ps_ref, interp_luma_v_ps_16xh_ssse3, LUMA, 3, 64, true);
  if (!avx2()) return;
  // The fixed-width AVX2 vertical filters, in the any-size form.
  sweep<pp_fn>("interp_luma_v_pp_8xh_avx2", luma_v_pp_ref, fixed_width<interp_luma_v_pp_8xh_avx2>, LUMA, 3, 64, false, 8);
  sweep<pp_fn>("interp_luma_v_pp_16xh_avx2", luma_v_pp_ref, fixed_width<interp_luma_v_pp_16xh_avx2>, LUMA, 3, 64, false, 16);
  sweep<ps_fn>("interp_luma_v_ps_8xh_avx2", luma_v_ps_ref, fixed_width<interp_luma_v_ps_8xh_avx2>, LUMA, 3, 64, true, 8);
  sweep<ps_fn>("interp_luma_v_ps_16xh_avx2", luma_v_ps_ref, fixed_width<interp_luma_v_ps_16xh_avx2>, LUMA, 3, 64, true, 16);
}

TEST_P(CheckasmNamedMc, PlanePassesMatchPortable) {
  if (!ssse3()) return;
  sweep_plane<plane_pp_fn>("interp_luma_hv_pp_4xh_ssse3", plane_pp_ref, interp_luma_hv_pp_4xh_ssse3, 64, false);
  sweep_plane<plane_pp_fn>("interp_luma_hv_pp_wxh_ssse3", plane_pp_ref, interp_luma_hv_pp_wxh_ssse3, 64, false);
  sweep_plane<plane_ps_fn>("mc_luma_ps_from_hplanes_4xh_sse2", plane_ps_ref, mc_luma_ps_from_hplanes_4xh_sse2, 64, false);
  sweep_plane<plane_ps_fn>("mc_luma_ps_from_hplanes_8xh_sse2", plane_ps_ref, mc_luma_ps_from_hplanes_8xh_sse2, 64, false);
  // The rounding kernels take (dst, ds, plane, ps, w, h): adapted to the
  // plane form, fractions unused.
  sweep_plane<plane_pp_fn>(
      "luma_hplane_round_8nxh_ssse3", plane_pp_ref,
      [](uint8_t *d, int32_t ds, const int16_t *p, int32_t ps, int32_t, int32_t, int32_t w, int32_t h) {
        luma_hplane_round_8nxh_ssse3(d, ds, p, ps, w, h);
      },
      64, true);
  sweep_plane<plane_pp_fn>(
      "luma_hplane_round_16nxh_ssse3", plane_pp_ref,
      [](uint8_t *d, int32_t ds, const int16_t *p, int32_t ps, int32_t, int32_t, int32_t w, int32_t h) {
        luma_hplane_round_16nxh_ssse3(d, ds, p, ps, w, h);
      },
      64, true);
  if (!avx2()) return;
  sweep_plane<plane_pp_fn>(
      "luma_hplane_round_16nxh_avx2", plane_pp_ref,
      [](uint8_t *d, int32_t ds, const int16_t *p, int32_t ps, int32_t, int32_t, int32_t w, int32_t h) {
        luma_hplane_round_16nxh_avx2(d, ds, p, ps, w, h);
      },
      64, true);
  sweep_plane<plane_pp_fn>(
      "luma_hplane_round_32nxh_avx2", plane_pp_ref,
      [](uint8_t *d, int32_t ds, const int16_t *p, int32_t ps, int32_t, int32_t, int32_t w, int32_t h) {
        luma_hplane_round_32nxh_avx2(d, ds, p, ps, w, h);
      },
      64, true);
  sweep_plane<plane_pp_fn>("interp_luma_hv_pp_8xh_avx2", plane_pp_ref, fixed_width<interp_luma_hv_pp_8xh_avx2>, 64,
                           false, 8);
  sweep_plane<plane_ps_fn>("mc_luma_ps_from_hplanes_8xh_avx2", plane_ps_ref,
                           fixed_width<mc_luma_ps_from_hplanes_8xh_avx2>, 64, false, 8);
  sweep_plane<plane_pp_fn>(
      "interp_luma_hv_pp_16nxh_avx2", plane_pp_ref,
      [](uint8_t *d, int32_t ds, const int16_t *p, int32_t ps, int32_t, int32_t fy, int32_t w, int32_t h) {
        interp_luma_hv_pp_16nxh_avx2(d, ds, p, ps, fy, w, h);
      },
      64, false);
}

// Fixed chroma squares and the 16- and 32-wide kernels, every fraction.
TEST_P(CheckasmNamedMc, FixedChromaKernelsMatchPortable) {
  if (!ssse3()) return;
  struct fixed_t {
    const char *name;
    std::function<void(int16_t *, int32_t, const uint8_t *, int32_t, uint32_t, uint32_t)> tst;
    int32_t n;
    int32_t axes;  // 1 vertical, 2 horizontal, 3 both
    bool avx2;
  };
  const fixed_t kernels[] = {
      {"interp_chroma_v_ps_4x4_ssse3", [](int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t, uint32_t fy) { interp_chroma_v_ps_4x4_ssse3(d, ds, s, ss, fy); }, 4, 1, false},
      {"interp_chroma_v_ps_8x8_ssse3", [](int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t, uint32_t fy) { interp_chroma_v_ps_8x8_ssse3(d, ds, s, ss, fy); }, 8, 1, false},
      {"interp_chroma_h_ps_4x4_ssse3", [](int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fx, uint32_t) { interp_chroma_h_ps_4x4_ssse3(d, ds, s, ss, fx); }, 4, 2, false},
      {"interp_chroma_hv_ps_4x4_ssse3", interp_chroma_hv_ps_4x4_ssse3, 4, 3, false},
      {"interp_chroma_v_ps_16x16_avx2", [](int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t, uint32_t fy) { interp_chroma_v_ps_16x16_avx2(d, ds, s, ss, fy); }, 16, 1, true},
      {"interp_chroma_v_ps_32x32_avx2", [](int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t, uint32_t fy) { interp_chroma_v_ps_32x32_avx2(d, ds, s, ss, fy); }, 32, 1, true},
      {"interp_chroma_h_ps_8x8_avx2", [](int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fx, uint32_t) { interp_chroma_h_ps_8x8_avx2(d, ds, s, ss, fx); }, 8, 2, true},
      {"interp_chroma_h_ps_16x16_avx2", [](int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fx, uint32_t) { interp_chroma_h_ps_16x16_avx2(d, ds, s, ss, fx); }, 16, 2, true},
      {"interp_chroma_h_ps_32x32_avx2", [](int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fx, uint32_t) { interp_chroma_h_ps_32x32_avx2(d, ds, s, ss, fx); }, 32, 2, true},
      {"interp_chroma_hv_ps_16x16_avx2", interp_chroma_hv_ps_16x16_avx2, 16, 3, true},
      {"interp_chroma_hv_ps_32x32_avx2", interp_chroma_hv_ps_32x32_avx2, 32, 3, true},
  };
  for (const fixed_t &k : kernels) {
    if (k.avx2 && !avx2()) continue;
    for (uint32_t f = 0; f < 8; f++) {
      const uint32_t fx = k.axes & 2 ? f : 0, fy = k.axes & 1 ? (k.axes == 3 ? 7 - f : f) : 0;
      rng_t r1(seed_ + variant_), r2(seed_ + variant_++);
      auto run = [&](rng_t &r, bool reference) {
        const int32_t ss = k.n + 3 + r.range(0, 1) * 29;
        auto src = source8(k.n, k.n, ss, CHROMA, r.range(0, 31), r);
        return into_dst(k.n, k.n, 2, r, [&](uint8_t *d, int32_t ds) {
          if (reference) mc_chroma_ps_c(reinterpret_cast<int16_t *>(d), ds, src->origin(), ss, fx, fy, k.n, k.n);
          else k.tst(reinterpret_cast<int16_t *>(d), ds, src->origin(), ss, fx, fy);
        });
      };
      const observation_t a = run(r1, true), b = run(r2, false);
      EXPECT_EQ(a.bytes, b.bytes) << k.name << " fractions " << fx << "," << fy;
    }
  }
  if (!avx2()) return;
  struct wide_t {
    const char *name;
    std::function<void(uint8_t *, int32_t, const uint8_t *, int32_t, uint32_t, uint32_t, uint32_t)> tst;
    int32_t n, axes;
  };
  const wide_t wide[] = {
      {"interp_chroma_v_pp_16xh_avx2", [](uint8_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t, uint32_t fy, uint32_t h) { interp_chroma_v_pp_16xh_avx2(d, ds, s, ss, fy, h); }, 16, 1},
      {"interp_chroma_v_pp_32xh_avx2", [](uint8_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t, uint32_t fy, uint32_t h) { interp_chroma_v_pp_32xh_avx2(d, ds, s, ss, fy, h); }, 32, 1},
      {"interp_chroma_h_pp_16xh_avx2", [](uint8_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fx, uint32_t, uint32_t h) { interp_chroma_h_pp_16xh_avx2(d, ds, s, ss, fx, h); }, 16, 2},
      {"interp_chroma_h_pp_32xh_avx2", [](uint8_t *d, int32_t ds, const uint8_t *s, int32_t ss, uint32_t fx, uint32_t, uint32_t h) { interp_chroma_h_pp_32xh_avx2(d, ds, s, ss, fx, h); }, 32, 2},
      {"interp_chroma_hv_pp_16xh_avx2", interp_chroma_hv_pp_16xh_avx2, 16, 3},
      {"interp_chroma_hv_pp_32xh_avx2", interp_chroma_hv_pp_32xh_avx2, 32, 3},
  };
  for (const wide_t &k : wide)
    for (int32_t h : {0, 1, 2, 3, 4, 7, 8, 16, 32})
      for (uint32_t f = 1; f < 8; f += 3) {
        const uint32_t fx = k.axes & 2 ? f : 0, fy = k.axes & 1 ? f : 0;
        rng_t r1(seed_ + variant_), r2(seed_ + variant_++);
        auto run = [&](rng_t &r, bool reference) {
          const int32_t ss = k.n + 3 + r.range(0, 1) * 29;
          auto src = source8(k.n, h, ss, CHROMA, r.range(0, 31), r);
          return into_dst(k.n, h, 1, r, [&](uint8_t *d, int32_t ds) {
            if (reference) mc_chroma_c(d, ds, src->origin(), ss, fx, fy, k.n, h);
            else k.tst(d, ds, src->origin(), ss, fx, fy, static_cast<uint32_t>(h));
          });
        };
        const observation_t a = run(r1, true), b = run(r2, false);
        EXPECT_EQ(a.bytes, b.bytes) << k.name << " h " << h << " fractions " << fx << "," << fy;
      }
}

TEST_P(CheckasmNamedMc, FullSampleConversionsMatchPortable) {
  if (!ssse3()) return;
  using p2s_sq = void (*)(const uint8_t *, int32_t, int16_t *, int32_t);
  struct square_t {
    const char *name;
    p2s_sq tst;
    int32_t n;
    bool avx2;
  };
  // The SSE4.1 squares run only where AVX2 is (their callers are AVX2).
  const square_t squares[] = {{"p2s_4x4_sse4", p2s_4x4_sse4, 4, true},
                              {"p2s_8x8_sse4", p2s_8x8_sse4, 8, true},
                              {"p2s_16x16_avx2", p2s_16x16_avx2, 16, true},
                              {"p2s_32x32_avx2", p2s_32x32_avx2, 32, true},
                              {"p2s_64x64_avx2", p2s_64x64_avx2, 64, true}};
  for (const square_t &k : squares) {
    if (k.avx2 && !avx2()) continue;
    for (int32_t gap : {0, 1, 15, 31}) {
      rng_t r1(seed_ + variant_), r2(seed_ + variant_++);
      auto run = [&](rng_t &r, bool reference) {
        const int32_t ss = k.n + gap;
        auto src = source8(k.n, k.n, ss, NONE, gap, r);
        return into_dst(k.n, k.n, 2, r, [&](uint8_t *d, int32_t ds) {
          if (reference) mc_chroma_ps_c(reinterpret_cast<int16_t *>(d), ds, src->origin(), ss, 0, 0, k.n, k.n);
          else k.tst(src->origin(), ss, reinterpret_cast<int16_t *>(d), ds);
        });
      };
      const observation_t a = run(r1, true), b = run(r2, false);
      EXPECT_EQ(a.bytes, b.bytes) << k.name << " offset " << gap;
    }
  }
  sweep<ps_fn>(
      "p2s_wxh_sse2",
      [](int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, int32_t, int32_t, int32_t w, int32_t h) {
        mc_chroma_ps_c(d, ds, s, ss, 0, 0, w, h);
      },
      [](int16_t *d, int32_t ds, const uint8_t *s, int32_t ss, int32_t, int32_t, int32_t w, int32_t h) {
        p2s_wxh_sse2(d, ds, s, ss, w, h);
      },
      NONE, 1, 64, true);
}

// The horizontal plane pass (rows -3 .. h + 3), the per-plane prediction of
// the SSSE3 plane build, and the AVX2 build's vertical triples.
TEST_P(CheckasmNamedMc, PlaneBuildingKernelsMatchPortable) {
  if (!ssse3()) return;
  using hps_fn = void (*)(int16_t *, const uint8_t *, int32_t, int32_t, int32_t, int32_t);
  std::vector<std::pair<const char *, hps_fn>> hkernels = {{"interp_luma_h_ps_8xh_ssse3", interp_luma_h_ps_8xh_ssse3},
                                                           {"interp_luma_h_ps_16xh_ssse3", interp_luma_h_ps_16xh_ssse3}};
  if (avx2()) hkernels.push_back({"interp_luma_h_ps_32xh_avx2", interp_luma_h_ps_32xh_avx2});
  for (const auto &[name, fn] : hkernels)
    for (int32_t w : {0, 1, 3, 4, 8, 13, 16, 40, 64})
      for (int32_t h : {-7, -6, 0, 1, 5, 16})
        for (int32_t phase = 0; phase < 3; phase++) {
          const int32_t stride = w + 16;
          rng_t r(seed_ + variant_++);
          // Source rows -3 .. h + 3 with columns -3 .. w + 3; planes of the
          // same layout, the reference writing all three.
          const int32_t rows = std::max(h + 7, 1);
          guarded_block src(std::max(w, 1) + 7, rows, stride, {}, true, r.range(0, 31));
          src.fill(pick_pattern(r), r);
          const uint8_t *s = src.origin() + 3 + 3 * static_cast<intptr_t>(stride);
          std::vector<int16_t> ref(3 * static_cast<size_t>(stride) * (rows + 1), 0x5a5a), out(ref.size() / 3, 0x5a5a);
          const size_t plane = out.size();
          const intptr_t o = 3 * static_cast<intptr_t>(stride);
          luma_hfilter_planes_c(ref.data() + o, ref.data() + plane + o, ref.data() + 2 * plane + o, s, stride, w, h, 0);
          fn(out.data() + o, s, stride, w, h, phase);
          const std::vector<int16_t> want(ref.begin() + phase * plane, ref.begin() + (phase + 1) * plane);
          EXPECT_EQ(want, out) << name << " " << w << "x" << h << " phase " << phase;
        }
  for (int32_t w : {4, 8, 12, 16, 24, 64})
    for (int32_t h : {1, 4, 9, 16}) {
      rng_t r(seed_ + variant_++);
      const int32_t stride = w + 8 + 16;
      guarded_block src(w + 7, h + 7, stride, {}, true);
      src.fill(pick_pattern(r), r);
      const uint8_t *s = src.origin() + 3 + 3 * static_cast<intptr_t>(stride);
      std::vector<int16_t> planes(3 * static_cast<size_t>(stride) * (h + 8));
      const size_t plane = planes.size() / 3;
      const intptr_t o = 3 * static_cast<intptr_t>(stride);
      luma_hfilter_planes_c(planes.data() + o, planes.data() + plane + o, planes.data() + 2 * plane + o, s, stride, w,
                            h, 0);
      const int16_t *hp[3] = {planes.data() + o, planes.data() + plane + o, planes.data() + 2 * plane + o};
      for (int32_t p = 1; p < 16; p++) {
        std::vector<uint8_t> want(static_cast<size_t>(stride) * h, 7), got(want);
        mc_luma_c(want.data(), stride, s, hp, stride, p & 3, p >> 2, w, h);
        mc_luma_from_hplanes_ssse3(got.data(), stride, s, hp, stride, p & 3, p >> 2, w, h);
        EXPECT_EQ(want, got) << "mc_luma_from_hplanes_ssse3 " << w << "x" << h << " plane " << p;
      }
      if (!avx2()) continue;
      for (int32_t fx = 0; fx < 4; fx++) {
        std::vector<uint8_t> want(3 * static_cast<size_t>(stride) * h, 7), got(want);
        uint8_t *const w3[3] = {want.data(), want.data() + stride * h, want.data() + 2 * stride * h};
        uint8_t *const g3[3] = {got.data(), got.data() + stride * h, got.data() + 2 * stride * h};
        for (int32_t fy = 1; fy <= 3; fy++) mc_luma_c(w3[fy - 1], stride, s, hp, stride, fx, fy, w, h);
        if (fx == 0) subpel_vplanes_fullx_avx(g3, stride, s, hp, stride, 0, 0, w, h);
        else subpel_vplanes_avx2(g3, stride, s, hp, stride, fx, w, h);
        EXPECT_EQ(want, got) << (fx ? "subpel_vplanes_avx2 " : "subpel_vplanes_fullx_avx ") << w << "x" << h << " fx "
                             << fx;
      }
    }
}

TEST_P(CheckasmNamedMc, AverageWidthKernelsMatchPortable) {
  if (!ssse3()) return;
  using bi_fn = void (*)(uint8_t *, int32_t, const int16_t *, int32_t, const int16_t *, int32_t, int32_t, int32_t);
  using avg_fn = void (*)(uint8_t *, int32_t, const uint8_t *, int32_t, const uint8_t *, int32_t, int32_t, int32_t);
  const std::pair<const char *, bi_fn> bi[] = {{"bipred_avg_4xh_ssse3", bipred_avg_4xh_ssse3},
                                               {"bipred_avg_8xh_ssse3", bipred_avg_8xh_ssse3},
                                               {"bipred_avg_16nxh_ssse3", bipred_avg_16nxh_ssse3}};
  const std::pair<const char *, avg_fn> px[] = {{"pixel_avg_8xh_sse2", pixel_avg_8xh_sse2},
                                                {"pixel_avg_16xh_sse2", pixel_avg_16xh_sse2}};
  for (int32_t w : {1, 2, 4, 6, 8, 12, 16, 24, 32, 64})
    for (int32_t h : {-1, 0, 1, 3, 8, 64}) {
      for (const auto &[name, fn] : bi)
        compare_slot(std::string(name) + " " + std::to_string(w) + "x" + std::to_string(h), bipred_avg_c, fn,
                     seed_ + variant_++, [&](bi_fn f, rng_t &r) {
                       const int32_t as = w + r.range(0, 9), bs = w + r.range(0, 9);
                       guarded_block a(2 * std::max(w, 1), std::max(h, 1), 2 * as, {}, true),
                           b(2 * std::max(w, 1), std::max(h, 1), 2 * bs, {}, false);
                       const int32_t kind = r.range(0, 2);
                       auto gen = [&](int64_t, int64_t) {
                         return kind == 0 ? r.range(-32768, 32767) : kind == 1 ? r.range(0, 16320) : 32767;
                       };
                       a.fill16(gen);
                       b.fill16(gen);
                       return into_dst(w, h, 1, r, [&](uint8_t *d, int32_t ds) {
                         f(d, ds, a.as<int16_t>(), as, b.as<int16_t>(), bs, w, h);
                       });
                     });
      for (const auto &[name, fn] : px)
        compare_slot(std::string(name) + " " + std::to_string(w) + "x" + std::to_string(h), pixel_avg_c, fn,
                     seed_ + variant_++, [&](avg_fn f, rng_t &r) {
                       const int32_t as = w + r.range(0, 9), bs = w + r.range(0, 9);
                       auto a = make_block(w, h, as, {}, true, pick_pattern(r), r);
                       auto b = make_block(w, h, bs, {}, false, pick_pattern(r), r);
                       return into_dst(w, h, 1, r, [&](uint8_t *d, int32_t ds) {
                         f(d, ds, a->origin(), as, b->origin(), bs, w, h);
                       });
                     });
    }
}

INSTANTIATE_TEST_SUITE_P(, CheckasmNamedMc, ::testing::ValuesIn(flag_sets()), flags_name);

}  // namespace
