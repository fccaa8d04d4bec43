// Nanoseconds per call of every slot of the seven primitive tables, for the
// portable table and for the table installed for this processor, printed as
// one row per slot (the fastest repetition, in CPU time).  Google Benchmark
// options (--benchmark_filter=pixel/..., --benchmark_min_time=...,
// --benchmark_repetitions=...) pass through.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/kernel/sao_picture.h"

#include "checkasm_pixel_slots.h"
#include "common/cabac_tables.h"
#include "common/primitives.h"

namespace {

// KERNEL_BENCH_FLAGS=<mask> narrows the installed tiers (2: SSSE3 only).
uint32_t installed_flags() {
  uint32_t f = 0;
  __builtin_cpu_init();
  if (__builtin_cpu_supports("ssse3")) f |= 2;
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt")) f |= 4;
  if (const char *mask = std::getenv("KERNEL_BENCH_FLAGS")) f &= static_cast<uint32_t>(std::strtoul(mask, nullptr, 0));
  return f;
}

// Buffers shared by every call: a picture plane with wide margins, its 16
// phase planes and three 16-bit horizontal planes, block buffers at the
// encoder's strides, and coefficient blocks.
constexpr int32_t PLANE_STRIDE = 512, PLANE_ROWS = 512, ORIGIN = 128 * PLANE_STRIDE + 128;

struct arena_t {
  std::vector<uint8_t> plane, phase_storage, dst, src64, nb;
  std::vector<int16_t> hstorage, s16a, s16b, coef, levels;
  uint8_t *planes[16];
  const int16_t *hplanes[3];
  int16_t *hplanes_w[3];
  uint16_t scan[1024];

  arena_t() {
    std::mt19937 rng(1234);
    auto fill8 = [&](std::vector<uint8_t> &v, size_t n) {
      v.resize(n);
      for (auto &x : v) x = static_cast<uint8_t>(rng());
    };
    fill8(plane, PLANE_STRIDE * PLANE_ROWS);
    fill8(phase_storage, 16 * size_t{PLANE_STRIDE} * PLANE_ROWS);
    fill8(dst, 256 * 256);
    fill8(src64, 64 * 64 * 2);
    fill8(nb, 1024);
    hstorage.resize(3 * size_t{PLANE_STRIDE} * PLANE_ROWS);
    for (auto &x : hstorage) x = static_cast<int16_t>(rng() % 20000 - 4000);
    for (auto *v : {&s16a, &s16b, &coef, &levels}) {
      v->resize(64 * 64 * 2);
      for (auto &x : *v) x = static_cast<int16_t>(rng() % 8000 - 4000);
    }
    for (int32_t p = 0; p < 16; p++) planes[p] = phase_storage.data() + p * size_t{PLANE_STRIDE} * PLANE_ROWS + ORIGIN;
    planes[0] = plane.data() + ORIGIN;
    for (int32_t f = 0; f < 3; f++) {
      hplanes_w[f] = hstorage.data() + f * size_t{PLANE_STRIDE} * PLANE_ROWS + ORIGIN;
      hplanes[f] = hplanes_w[f];
    }
    for (int32_t i = 0; i < 1024; i++) scan[i] = static_cast<uint16_t>(i);
  }
  uint8_t *pic() { return plane.data() + ORIGIN; }
  uint8_t *out() { return dst.data() + 64 * 256 + 64; }
};

arena_t &arena() {
  static arena_t a;
  return a;
}

struct entry_t {
  std::string table, slot;
  std::function<void()> portable, installed;
};

std::vector<entry_t> &entries() {
  static std::vector<entry_t> e;
  return e;
}

template <typename Table, typename MakeCall>
void add_table(const char *name, const Table &ref, const Table &tst, size_t slot, const std::string &label,
               MakeCall make) {
  char id[32];
  std::snprintf(id, sizeof(id), "%03zu ", slot);
  entries().push_back({name, id + label, make(ref), make(tst)});
}

// ------------------------------------------------------------------ pixel
void register_pixel(uint32_t flags) {
  static pixel_funcs_t ref, tst;
  setup_pixel_primitives(0, &ref, 1);
  setup_pixel_primitives(flags, &tst, 1);
  arena_t &a = arena();
  for (int32_t i = 0; i < 129; i++) {
    void *slot;
    std::memcpy(&slot, reinterpret_cast<const char *>(&ref) + i * sizeof(void *), sizeof(slot));
    if (!slot) continue;  // an empty slot (24) has nothing to time
    const checkasm::slot_shape_t s = checkasm::pixel_slot_shape(i);
    static const char *const families[21] = {
        "sad_half", "sad",       "sad_half_wide", "sad_half_tall", "sad_x4_half", "sad_x4_half_wide", "sad_x4_half_tall",
        "sad_x3_half", "sad_x2_half", "ssd",       "ssd_wide",      "ssd_tall",    "satd",             "satd_wide",
        "satd_tall",   "sa8d",       "sa8d_wide", "sa8d_tall",     "sa8d_half",   "block_cost",       "pixel_var"};
    static const char *const singles[19] = {"ssd_wxh 48x24", "hadamard_ac_8x8", "count_nonzero 16x16",
                                            "coeff_scan_groups 16x16", "sad_wxh 48x24", "ctu_gradient_pyramid",
                                            "ctu_gradient_dir4_pyramid", "ctu_gradient_hv_pyramid",
                                            "ctu_gradient_diag_pyramid", "copy_to_aligned_64x64",
                                            "copy_to_aligned_32x32", "copy_from_aligned_64x64",
                                            "copy_from_aligned_32x32", "coeff_levels_4x4", "satd_x4_4x4",
                                            "sa8d_blocks_16x16",       "sa8d_blocks_16x8",
                                            "sa8d_blocks_8x16",        "sa8d_blocks_8x8"};
    const std::string shape = std::to_string(s.w) + "x" + std::to_string(s.h);
    const std::string label = i < 105   ? std::string(families[i / 5]) + " " + shape
                              : i < 124 ? std::string(singles[i - 105])
                                        : "sad_x4_half_flat " + shape;
    add_table("pixel", ref, tst, static_cast<size_t>(i), label, [&, i, s](const pixel_funcs_t &t) -> std::function<void()> {
      uint8_t *p = a.pic(), *src = a.src64.data();
      void *fn;
      std::memcpy(&fn, reinterpret_cast<const char *>(&t) + i * sizeof(void *), sizeof(fn));
      switch (s.k) {
        case checkasm::kind::cost:
          return [=] { benchmark::DoNotOptimize(reinterpret_cast<pixel_cost_fn>(fn)(src, 64, p + 1, PLANE_STRIDE)); };
        case checkasm::kind::x4:
          return [=] {
            uint32_t out[4];
            reinterpret_cast<sad_x4_fn>(fn)(src, p, p + 1, p + 2, p + 3, PLANE_STRIDE, out);
            benchmark::DoNotOptimize(out);
          };
        case checkasm::kind::x3:
          return [=] {
            uint32_t out[3];
            reinterpret_cast<sad_x3_fn>(fn)(src, p, p + 1, p + 2, PLANE_STRIDE, out);
            benchmark::DoNotOptimize(out);
          };
        case checkasm::kind::x2:
          return [=] {
            uint32_t out[2];
            reinterpret_cast<sad_x2_fn>(fn)(src, p, p + 1, PLANE_STRIDE, out);
            benchmark::DoNotOptimize(out);
          };
        case checkasm::kind::var:
          return [=] { benchmark::DoNotOptimize(reinterpret_cast<pixel_var_fn>(fn)(p, PLANE_STRIDE)); };
        case checkasm::kind::wxh:
          return [=] { benchmark::DoNotOptimize(reinterpret_cast<ssd_wxh_fn>(fn)(src, 64, p, PLANE_STRIDE, 48, 24)); };
        case checkasm::kind::hadamard_ac:
          return [=] { benchmark::DoNotOptimize(reinterpret_cast<hadamard_ac_fn>(fn)(src, 64)); };
        case checkasm::kind::count_nonzero: {
          const int16_t *c = a.coef.data();
          return [=] { benchmark::DoNotOptimize(reinterpret_cast<count_nonzero_fn>(fn)(c, 4)); };
        }
        case checkasm::kind::scan_groups: {
          const int16_t *c = a.coef.data();
          const uint16_t *scan = a.scan;
          return [=] {
            uint16_t signs[64], sig[64];
            uint8_t counts[64];
            benchmark::DoNotOptimize(
                reinterpret_cast<coeff_scan_groups_fn>(fn)(scan, c, signs, sig, counts, 200, scan, 16));
          };
        }
        case checkasm::kind::satd_x4: {
          return [=] {
            uint32_t out[4];
            reinterpret_cast<satd_x4_fn>(fn)(src, 64, p + 1, PLANE_STRIDE, out);
            benchmark::DoNotOptimize(out);
          };
        }
        case checkasm::kind::sa8d_blocks: {
          return [=] {
            uint32_t raw[4];
            reinterpret_cast<sa8d_blocks_fn>(fn)(src, 64, p + 1, PLANE_STRIDE, raw);
            benchmark::DoNotOptimize(raw);
          };
        }
        case checkasm::kind::levels_4x4: {
          const int16_t *c = a.coef.data();
          return [=] {
            int16_t out[16];
            benchmark::DoNotOptimize(reinterpret_cast<coeff_levels_4x4_fn>(fn)(c, 0, out));
            benchmark::DoNotOptimize(out);
          };
        }
        case checkasm::kind::gradient:
          return [=] {
            static ctu_gradients_t g;
            benchmark::DoNotOptimize(reinterpret_cast<gradient_fn>(fn)(src, &g));
          };
        default: {
          uint8_t *d = a.out();
          return [=] { reinterpret_cast<copy_aligned_fn>(fn)(d, p, 256, PLANE_STRIDE); };
        }
      }
    });
  }
}

// --------------------------------------------------------------------- mc
void register_mc(uint32_t flags) {
  static mc_funcs_t ref, tst;
  setup_mc_primitives(0, &ref);
  setup_mc_primitives(flags, &tst);
  arena_t &a = arena();
  uint8_t *p = a.pic(), *d = a.out();
  int16_t *s16 = a.s16a.data(), *s16b = a.s16b.data();
  const int16_t *const *hp = a.hplanes;
  uint8_t *const *planes = a.planes;
  int16_t *const *hw = a.hplanes_w;
  uint8_t *blk = a.src64.data();
  using call = std::function<void()>;
  const std::vector<std::pair<std::string, std::function<call(const mc_funcs_t &)>>> slots = {
      {"mc_luma 16x16 hv", [=](const mc_funcs_t &t) { return call([=] { t.mc_luma(d, 256, p, nullptr, PLANE_STRIDE, 6, 10, 16, 16); }); }},
      {"mc_luma_ps 16x16 hv", [=](const mc_funcs_t &t) { return call([=] { int32_t st = 64; benchmark::DoNotOptimize(t.mc_luma_ps(s16, &st, p, nullptr, PLANE_STRIDE, 6, 10, 16, 16)); }); }},
      {"mc_chroma 8x8 hv", [=](const mc_funcs_t &t) { return call([=] { t.mc_chroma(d, 256, p, PLANE_STRIDE, 3, 5, 8, 8); }); }},
      {"mc_chroma_ps 8x8 hv", [=](const mc_funcs_t &t) { return call([=] { t.mc_chroma_ps(s16, 64, p, PLANE_STRIDE, 3, 5, 8, 8); }); }},
      {"bipred_avg 16x16", [=](const mc_funcs_t &t) { return call([=] { t.bipred_avg(d, 256, s16, 64, s16b, 64, 16, 16); }); }},
      {"luma_hfilter_planes 64x64", [=](const mc_funcs_t &t) { return call([=] { t.luma_hfilter_planes(hw[0], hw[1], hw[2], p, PLANE_STRIDE, 64, 64, 0); }); }},
      {"subpel_planes_build 64x64", [=](const mc_funcs_t &t) { return call([=] { t.subpel_planes_build(planes, p, hp, PLANE_STRIDE, 64, 64, 0); }); }},
      {"subpel_plane_copy 16x16", [=](const mc_funcs_t &t) { return call([=] { t.subpel_plane_copy(d, 256, planes, PLANE_STRIDE, 5, 7, 16, 16); }); }},
      {"subpel_plane_ptr", [=](const mc_funcs_t &t) { return call([=] { benchmark::DoNotOptimize(t.subpel_plane_ptr(planes, PLANE_STRIDE, 5, 7)); }); }},
      {"pixel_avg 16x16", [=](const mc_funcs_t &t) { return call([=] { t.pixel_avg(d, 256, p, PLANE_STRIDE, p + 1, PLANE_STRIDE, 16, 16); }); }},
      {"lowres_init 64x32", [=](const mc_funcs_t &t) { return call([=] { t.lowres_init(planes + 0, PLANE_STRIDE, p, PLANE_STRIDE, 64, 32); }); }},
      {"downscale_2x 64x32", [=](const mc_funcs_t &t) { return call([=] { t.downscale_2x(planes + 0, PLANE_STRIDE, p, PLANE_STRIDE, 64, 32); }); }},
      {"lowres_plane0 64x32", [=](const mc_funcs_t &t) { return call([=] { t.lowres_plane0(planes + 0, PLANE_STRIDE, p, PLANE_STRIDE, 64, 32); }); }},
      {"get_ref 16x16 hv", [=](const mc_funcs_t &t) { return call([=] { int32_t st = 64; benchmark::DoNotOptimize(t.get_ref(d, &st, p, nullptr, PLANE_STRIDE, 6, 10, 16, 16)); }); }},
      {"get_ref_bilinear 16x16 hv", [=](const mc_funcs_t &t) { return call([=] { int32_t st = 64; benchmark::DoNotOptimize(t.get_ref_bilinear(d, &st, p, PLANE_STRIDE, 6, 10, 16, 16)); }); }},
      {"chroma_fullpel_ptr", [=](const mc_funcs_t &t) { return call([=] { benchmark::DoNotOptimize(t.chroma_fullpel_ptr(p, PLANE_STRIDE, 24, 40)); }); }},
      {"mbtree_propagate_cost 64", [=](const mc_funcs_t &t) {
         return call([=] {
           static uint32_t inc[64], intra[64], cost[64];
           static uint16_t w[64];
           static int32_t out[64];
           for (int32_t i = 0; i < 64; i++) intra[i] = 1000 + i, cost[i] = 500 + i, w[i] = 256, inc[i] = i;
           t.mbtree_propagate_cost(out, inc, intra, cost, w, 64);
           benchmark::DoNotOptimize(out);
         });
       }},
      {"block_copy 16x16", [=](const mc_funcs_t &t) { return call([=] { t.block_copy(d, 256, p, PLANE_STRIDE, 16, 16); }); }},
      {"ctu_downscale_64x64", [=](const mc_funcs_t &t) { return call([=] { t.ctu_downscale_64x64(blk); }); }},
      {"ctu_border_downscale_64x64", [=](const mc_funcs_t &t) { return call([=] { t.ctu_border_downscale_64x64(d); }); }},
      {"ctu_downscale_32x32", [=](const mc_funcs_t &t) { return call([=] { t.ctu_downscale_32x32(blk); }); }},
      {"ctu_border_downscale_32x32", [=](const mc_funcs_t &t) { return call([=] { t.ctu_border_downscale_32x32(d); }); }},
      // The vertical passes by shape: from 8-bit samples (fx = 0) and over
      // a horizontal plane (fx, fy both fractional), as the searches call them.
      {"mc_luma 8x8 v", [=](const mc_funcs_t &t) { return call([=] { t.mc_luma(d, 256, p, nullptr, PLANE_STRIDE, 4, 10, 8, 8); }); }},
      {"mc_luma 8x16 v", [=](const mc_funcs_t &t) { return call([=] { t.mc_luma(d, 256, p, nullptr, PLANE_STRIDE, 4, 10, 8, 16); }); }},
      {"mc_luma 16x8 v", [=](const mc_funcs_t &t) { return call([=] { t.mc_luma(d, 256, p, nullptr, PLANE_STRIDE, 4, 10, 16, 8); }); }},
      {"mc_luma 32x32 v", [=](const mc_funcs_t &t) { return call([=] { t.mc_luma(d, 256, p, nullptr, PLANE_STRIDE, 4, 10, 32, 32); }); }},
      {"mc_luma 8x8 hv", [=](const mc_funcs_t &t) { return call([=] { t.mc_luma(d, 256, p, nullptr, PLANE_STRIDE, 6, 10, 8, 8); }); }},
      {"mc_luma 8x8 hv plane", [=](const mc_funcs_t &t) { return call([=] { t.mc_luma(d, 256, p, hp, PLANE_STRIDE, 6, 10, 8, 8); }); }},
      {"mc_luma 8x16 hv plane", [=](const mc_funcs_t &t) { return call([=] { t.mc_luma(d, 256, p, hp, PLANE_STRIDE, 6, 10, 8, 16); }); }},
      {"mc_luma 16x16 hv plane", [=](const mc_funcs_t &t) { return call([=] { t.mc_luma(d, 256, p, hp, PLANE_STRIDE, 6, 10, 16, 16); }); }},
      {"mc_luma 32x32 hv plane", [=](const mc_funcs_t &t) { return call([=] { t.mc_luma(d, 256, p, hp, PLANE_STRIDE, 6, 10, 32, 32); }); }},
      {"mc_luma_ps 8x8 hv plane", [=](const mc_funcs_t &t) { return call([=] { int32_t st = 64; benchmark::DoNotOptimize(t.mc_luma_ps(s16, &st, p, hp, PLANE_STRIDE, 6, 10, 8, 8)); }); }},
      // The shapes the level 4 and 7 refinements reach: the second pass
      // over the local sums (16x8), the sums themselves and the regions of
      // the half-sample phases (odd widths), a 16x8 unit, chroma units.
      {"mc_luma 16x8 hv plane", [=](const mc_funcs_t &t) { return call([=] { t.mc_luma(d, 256, p, hp, PLANE_STRIDE, 6, 10, 16, 8); }); }},
      {"mc_luma 17x17 hv plane", [=](const mc_funcs_t &t) { return call([=] { t.mc_luma(d, 256, p, hp, PLANE_STRIDE, 6, 10, 17, 17); }); }},
      {"mc_luma 18x17 v", [=](const mc_funcs_t &t) { return call([=] { t.mc_luma(d, 256, p, nullptr, PLANE_STRIDE, 4, 10, 18, 17); }); }},
      {"mc_luma_ps 10x17 h", [=](const mc_funcs_t &t) { return call([=] { int32_t st = 72; benchmark::DoNotOptimize(t.mc_luma_ps(s16, &st, p, nullptr, PLANE_STRIDE, 5, 0, 10, 17)); }); }},
      {"mc_luma_ps 18x25 h", [=](const mc_funcs_t &t) { return call([=] { int32_t st = 72; benchmark::DoNotOptimize(t.mc_luma_ps(s16, &st, p, nullptr, PLANE_STRIDE, 5, 0, 18, 25)); }); }},
      {"mc_luma_ps 16x8 hv", [=](const mc_funcs_t &t) { return call([=] { int32_t st = 64; benchmark::DoNotOptimize(t.mc_luma_ps(s16, &st, p, nullptr, PLANE_STRIDE, 6, 10, 16, 8)); }); }},
      {"mc_chroma_ps 4x4 hv", [=](const mc_funcs_t &t) { return call([=] { t.mc_chroma_ps(s16, 64, p, PLANE_STRIDE, 3, 5, 4, 4); }); }},
      {"mc_chroma_ps 8x4 hv", [=](const mc_funcs_t &t) { return call([=] { t.mc_chroma_ps(s16, 64, p, PLANE_STRIDE, 3, 5, 8, 4); }); }},
      {"mc_chroma_ps 4x8 hv", [=](const mc_funcs_t &t) { return call([=] { t.mc_chroma_ps(s16, 64, p, PLANE_STRIDE, 3, 5, 4, 8); }); }},
      {"mc_chroma_ps 8x8 h", [=](const mc_funcs_t &t) { return call([=] { t.mc_chroma_ps(s16, 64, p, PLANE_STRIDE, 3, 0, 8, 8); }); }},
      {"mc_luma_ps 16x16 v", [=](const mc_funcs_t &t) { return call([=] { int32_t st = 64; benchmark::DoNotOptimize(t.mc_luma_ps(s16, &st, p, nullptr, PLANE_STRIDE, 4, 10, 16, 16)); }); }},
      {"lowres_cost_energy 60x34", [=](const mc_funcs_t &t) {
         return call([=] {
           static uint32_t costs[64 * 34], out[16 * 9];
           benchmark::DoNotOptimize(t.lowres_cost_energy(out, costs, 60, 34, 64, 1));
         });
       }},
  };
  for (size_t i = 0; i < slots.size(); i++) add_table("mc", ref, tst, i, slots[i].first, slots[i].second);
}

// ---------------------------------------------------------------- deblock
void register_deblock(uint32_t flags) {
  static deblock_funcs_t ref, tst;
  setup_deblock_primitives(0, &ref);
  setup_deblock_primitives(flags, &tst);
  uint8_t *p = arena().pic();
  static const int32_t tc[2] = {6, 6};
  // A smooth ramp so that the decisions let the filters run.
  for (int32_t y = -8; y < 16; y++)
    for (int32_t x = -8; x < 16; x++) p[y * PLANE_STRIDE + x] = static_cast<uint8_t>(100 + (x >= 0 ? 6 : 0) + (y & 1));
  using call = std::function<void()>;
  add_table("deblock", ref, tst, 0, "luma_ver_edge", [=](const deblock_funcs_t &t) { return call([=] { t.deblock_luma_ver_edge(p, PLANE_STRIDE, 40, tc); }); });
  add_table("deblock", ref, tst, 1, "luma_hor_edge", [=](const deblock_funcs_t &t) { return call([=] { t.deblock_luma_hor_edge(p, PLANE_STRIDE, 40, tc); }); });
  add_table("deblock", ref, tst, 2, "chroma_ver_edge", [=](const deblock_funcs_t &t) { return call([=] { t.deblock_chroma_ver_edge(p, p + 64, PLANE_STRIDE, tc); }); });
  add_table("deblock", ref, tst, 3, "chroma_hor_edge", [=](const deblock_funcs_t &t) { return call([=] { t.deblock_chroma_hor_edge(p, p + 64, PLANE_STRIDE, tc); }); });
}

// -------------------------------------------------------------------- sao
void register_sao(uint32_t flags) {
  static sao_funcs_t ref, tst;
  setup_sao_primitives(0, &ref);
  setup_sao_primitives(flags, &tst);
  arena_t &a = arena();
  uint8_t *p = a.pic();
  int16_t *diff = a.s16a.data();
  static uint8_t scratch[147456];
  using call = std::function<void()>;
  add_table("sao", ref, tst, 1, "sao_diff 64x64", [=](const sao_funcs_t &t) { return call([=] { t.sao_diff(diff, p, PLANE_STRIDE, p + 1, PLANE_STRIDE, 1); }); });
  add_table("sao", ref, tst, 2, "sao_diff_wxh 48x40", [=](const sao_funcs_t &t) { return call([=] { t.sao_diff_wxh(diff, p, PLANE_STRIDE, p + 1, PLANE_STRIDE, 1, 48, 40); }); });
  for (int32_t c = 0; c < 4; c++) {
    add_table("sao", ref, tst, 3 + c, "sao_stats_eo" + std::to_string(c) + " 64x64", [=](const sao_funcs_t &t) {
      return call([=] { sao_stats_t s; t.sao_stats_eo[c](&s, p, PLANE_STRIDE, 1, diff, scratch); benchmark::DoNotOptimize(s); });
    });
    add_table("sao", ref, tst, 8 + c, "sao_stats_eo" + std::to_string(c) + "_wxh 48x40", [=](const sao_funcs_t &t) {
      return call([=] { sao_stats_t s; t.sao_stats_eo_wxh[c](&s, p, PLANE_STRIDE, 1, diff, 48, 40, scratch); benchmark::DoNotOptimize(s); });
    });
  }
  add_table("sao", ref, tst, 7, "sao_stats_bo 64x64", [=](const sao_funcs_t &t) {
    return call([=] { sao_stats_t s; t.sao_stats_bo(&s, p, PLANE_STRIDE, 1, diff, scratch); benchmark::DoNotOptimize(s); });
  });
  add_table("sao", ref, tst, 12, "sao_stats_bo_wxh 48x40", [=](const sao_funcs_t &t) {
    return call([=] { sao_stats_t s; t.sao_stats_bo_wxh(&s, p, PLANE_STRIDE, 1, diff, 48, 40, scratch); benchmark::DoNotOptimize(s); });
  });
  // Slot 0 on the middle CTU of a 3 x 3 CTU picture, whose luma block the
  // AVX2 driver hands whole to its kernels: edge class 2, band, copy.
  static checkasm::sao_picture_t pic(192, 192);
  for (size_t i = 0; i < pic.bytes; i++) pic.mem[i] = p[i % (PLANE_STRIDE * 64)];
  for (int32_t type : {2, 4, 5}) {
    add_table("sao", ref, tst, 0, "sao_apply_ctu 64x64 type " + std::to_string(type), [=](const sao_funcs_t &t) {
      return call([=] {
        pic.params[0][4] = sao_param_t{type, 12, {3, 1, -1, -3}};
        t.sao_apply_ctu(pic.ctx.get(), 1, 1, 0, 0, SAO_ROWS_ALL);
      });
    });
  }
  // Border CTUs, which the AVX2 driver works row by row: the top-left CTU
  // (first row and column without neighbours) and one of the right column,
  // 48 samples wide, of a 176 x 176 picture.
  static checkasm::sao_picture_t edge(176, 176);
  for (size_t i = 0; i < edge.bytes; i++) edge.mem[i] = p[i % (PLANE_STRIDE * 64)];
  for (int32_t type : {0, 2}) {
    add_table("sao", ref, tst, 0, "sao_apply_ctu 64x64 corner type " + std::to_string(type), [=](const sao_funcs_t &t) {
      return call([=] {
        edge.params[0][0] = sao_param_t{type, 12, {3, 1, -1, -3}};
        t.sao_apply_ctu(edge.ctx.get(), 0, 0, 0, 0, SAO_ROWS_ALL);
      });
    });
    add_table("sao", ref, tst, 0, "sao_apply_ctu 48x64 right type " + std::to_string(type), [=](const sao_funcs_t &t) {
      return call([=] {
        edge.params[0][5] = sao_param_t{type, 12, {3, 1, -1, -3}};
        t.sao_apply_ctu(edge.ctx.get(), 2, 1, 0, 0, SAO_ROWS_ALL);
      });
    });
  }
}

// -------------------------------------------------------------- transform
void register_transform(uint32_t flags) {
  static transform_funcs_t ref, tst;
  setup_transform_primitives(0, &ref);
  setup_transform_primitives(flags, &tst);
  arena_t &a = arena();
  uint8_t *src = a.src64.data(), *rec = a.dst.data();
  int16_t *coef = a.coef.data();
  static const char *const names[15] = {
      "dct_fwd_4x4",       "dct_inv_add_4x4",     "dct_fwd_8x8",       "dct_fwd_low_8x8",     "dct_inv_add_8x8",
      "dct_inv_add_low_8x8", "dct_fwd_16x16",     "dct_fwd_low_16x16", "dct_inv_add_16x16",   "dct_inv_add_low_16x16",
      "dct_fwd_32x32",     "dct_fwd_low_32x32",   "dct_inv_add_32x32", "dct_inv_add_low_32x32", "coeff_cost"};
  using call = std::function<void()>;
  for (int32_t i = 0; i < 15; i++)
    add_table("transform", ref, tst, static_cast<size_t>(i), names[i], [=](const transform_funcs_t &t) -> call {
      void *fn;
      std::memcpy(&fn, reinterpret_cast<const char *>(&t) + i * sizeof(void *), sizeof(fn));
      // Each slot gets its own coefficient block: forward slots overwrite it.
      static int16_t blocks[2][15][1024];
      int16_t *c = blocks[&t == &tst][i];
      std::memcpy(c, coef, sizeof(blocks[0][0]));
      // Inverse transforms alternate with forward ones in the table; the
      // low-frequency slots take the corner size, the 4x4 ones the mode.
      const bool inverse = i == 1 || i == 4 || i == 5 || i == 8 || i == 9 || i == 12 || i == 13;
      const bool has_arg = i == 0 || i == 1 || i == 3 || i == 5 || i == 7 || i == 9 || i == 11 || i == 13;
      const int32_t arg = i <= 1 ? 35 : (i <= 5 ? 4 : 8);
      if (i == 14) return [=] { benchmark::DoNotOptimize(reinterpret_cast<uint32_t (*)(const int16_t *, int32_t)>(fn)(c, 4)); };
      if (inverse && has_arg) return [=] { reinterpret_cast<dct_inv_arg_fn>(fn)(rec, c, arg); };
      if (inverse) return [=] { reinterpret_cast<dct_inv_fn>(fn)(rec, c); };
      if (has_arg) return [=] { reinterpret_cast<dct_fwd_arg_fn>(fn)(c, src, rec, arg); };
      return [=] { reinterpret_cast<dct_fwd_fn>(fn)(c, src, rec); };
    });
  // The whole-block inverses again with coded-like blocks: non-zero
  // coefficients only in the low-frequency 4x4 (8x8) or 8x8 corner.
  for (int32_t i : {4, 8, 12})
    add_table("transform", ref, tst, static_cast<size_t>(i), std::string(names[i]) + (i == 4 ? " 4x4 corner" : " 8x8 corner"),
              [=](const transform_funcs_t &t) -> call {
                static int16_t blocks[2][15][1024];
                int16_t *c = blocks[&t == &tst][i];
                const int32_t n = i == 4 ? 8 : i == 8 ? 16 : 32, k_side = i == 4 ? 4 : 8;
                for (int32_t k = 0; k < n * n; k++) c[k] = k % n < k_side && k / n < k_side ? coef[k] : 0;
                void *fn;
                std::memcpy(&fn, reinterpret_cast<const char *>(&t) + i * sizeof(void *), sizeof(fn));
                return [=] { reinterpret_cast<dct_inv_fn>(fn)(rec, c); };
              });
  // The 4x4 slots again with an intra luma mode, which takes the DST-VII.
  add_table("transform", ref, tst, 0, "dct_fwd_4x4 mode 0 (DST)", [=](const transform_funcs_t &t) -> call {
    static int16_t blocks[2][16];
    int16_t *c = blocks[&t == &tst];
    return [=] { t.dct_fwd_4x4(c, src, rec, 0); };
  });
  add_table("transform", ref, tst, 1, "dct_inv_add_4x4 mode 0 (DST)", [=](const transform_funcs_t &t) -> call {
    static int16_t blocks[2][16];
    int16_t *c = blocks[&t == &tst];
    std::memcpy(c, coef, sizeof(blocks[0]));
    return [=] { t.dct_inv_add_4x4(rec, c, 0); };
  });
}

// ------------------------------------------------------------------ quant
// Every block size at QP 32 with coefficients as a transform leaves them
// (large near the DC, small beyond, some exact zeros), the RDOQ slots
// pricing with mid-range states from a fresh copy each call, and sign
// hiding over the plainly quantised levels.
void register_quant(uint32_t flags) {
  static quant_funcs_t ref, tst;
  setup_quant_primitives(0, &ref);
  setup_quant_primitives(flags, &tst);
  static int16_t coef[4][1024], levels[4][1024], out[1024];
  static cabac_est_t est_template;
  std::mt19937 rng(77);
  for (auto &s : est_template.state) s = static_cast<uint8_t>(rng() % 60);
  for (int32_t c = 0; c < 4; c++) {
    const int32_t n = 4 << c;
    for (int32_t y = 0; y < n; y++)
      for (int32_t x = 0; x < n; x++) {
        const int32_t range = std::max(1, 3000 >> std::min(x + y, 11));
        coef[c][y * n + x] = static_cast<int16_t>(static_cast<int32_t>(rng() % (2 * range + 1)) - range);
      }
  }
  using call = std::function<void()>;
  for (int32_t c = 0; c < 4; c++) {
    const int32_t log2 = c + 2, count = 1 << (2 * log2);
    const std::string size = std::to_string(1 << log2) + "x" + std::to_string(1 << log2);
    const quant_params_t q = quant_params(32, log2, 1), dq = dequant_params(32, log2);
    const int16_t *cf = coef[c];
    int16_t *lv = levels[c];
    tst.quant(lv, cf, count, q.scale, q.shift, q.offset);
    add_table("quant", ref, tst, 0, "quant " + size, [=](const quant_funcs_t &t) {
      return call([=] { benchmark::DoNotOptimize(t.quant(out, cf, count, q.scale, q.shift, q.offset)); });
    });
    add_table("quant", ref, tst, 1, "dequant " + size, [=](const quant_funcs_t &t) {
      return call([=] { t.dequant(out, lv, count, dq.scale, dq.shift); });
    });
    for (int32_t slot = 2; slot < 4; slot++)
      add_table("quant", ref, tst, static_cast<size_t>(slot), (slot == 2 ? "rdoq " : "rdoq_alt ") + size,
                [=](const quant_funcs_t &t) {
                  const rdoq_fn fn = slot == 2 ? t.rdoq : t.rdoq_alt;
                  return call([=] {
                    static cabac_est_t est;
                    est = est_template;
                    const rdoq_request_t req{out, cf, log2, 0, 32, 1, 0, 30000, 256, &est, {100, 300}};
                    benchmark::DoNotOptimize(fn(&req));
                  });
                });
    // Sign hiding on a fresh copy of the plainly quantised levels (the copy
    // is timed on both sides), at an encode's rate weight for QP 32.
    uint32_t nonzero = 0;
    for (int32_t i = 0; i < count; i++) nonzero += lv[i] != 0;
    const double weight = 30000 / 256.0 * std::exp2(2.0 * q.shift) / std::exp2((32 - 4) / 3.0);
    add_table("quant", ref, tst, 4, "sign_hide " + size, [=](const quant_funcs_t &t) {
      return call([=] {
        std::memcpy(out, lv, sizeof(int16_t) * static_cast<size_t>(count));
        benchmark::DoNotOptimize(t.sign_hide(out, cf, log2, 0, nonzero, q.scale, q.shift, weight));
      });
    });
  }
}

// ------------------------------------------------------------------ intra
void register_intra(uint32_t flags) {
  static intra_funcs_t ref, tst;
  setup_intra_primitives(0, &ref);
  setup_intra_primitives(flags, &tst);
  arena_t &a = arena();
  const uint8_t *nb = a.nb.data();
  uint8_t *d = a.out(), *smoothed = a.nb.data() + 512;
  using call = std::function<void()>;
  for (int32_t c = 0; c < 4; c++)
    add_table("intra", ref, tst, static_cast<size_t>(c), "ref_filter " + std::to_string(4 << c),
              [=](const intra_funcs_t &t) { return call([=] { t.ref_filter[c](nb, smoothed); }); });
  for (int32_t cell = 4; cell < 284; cell++) {
    const int32_t mode = (cell - 4) / 8, filt = ((cell - 4) / 4) & 1, size = 4 << ((cell - 4) % 4);
    const std::string label = "mode " + std::to_string(mode) + (filt ? " filt " : " ") + std::to_string(size);
    add_table("intra", ref, tst, static_cast<size_t>(cell), label,
              [=](const intra_funcs_t &t) { return call([=] { t.pred[cell - 4](d, RECON_STRIDE, nb); }); });
  }
}

// Collects the per-benchmark times and prints portable and installed side
// by side instead of one line per benchmark.
class side_by_side_reporter : public benchmark::BenchmarkReporter {
 public:
  bool ReportContext(const Context &) override { return true; }
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs) {
      if (r.run_type != Run::RT_Iteration) continue;
      // The fastest repetition in CPU time: the machine may be shared.
      const std::string name = r.run_name.function_name;
      const double ns = r.GetAdjustedCPUTime();
      auto it = ns_.find(name);
      if (it == ns_.end() || ns < it->second) ns_[name] = ns;
    }
  }
  double get(const std::string &name) const {
    auto it = ns_.find(name);
    return it == ns_.end() ? -1.0 : it->second;
  }

 private:
  std::map<std::string, double> ns_;
};

}  // namespace

int main(int argc, char **argv) {
  const uint32_t flags = installed_flags();
  register_pixel(flags);
  register_mc(flags);
  register_deblock(flags);
  register_sao(flags);
  register_transform(flags);
  register_quant(flags);
  register_intra(flags);
  for (const entry_t &e : entries())
    for (const char *which : {"portable", "installed"}) {
      const std::function<void()> &fn = std::string(which) == "portable" ? e.portable : e.installed;
      benchmark::RegisterBenchmark((e.table + "/" + e.slot + "/" + which).c_str(), [fn](benchmark::State &st) {
        for (auto _ : st) fn();
      })->Unit(benchmark::kNanosecond);
    }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  side_by_side_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("cpu_flags %u\n%-10s %-36s %14s %14s %8s\n", flags, "table", "slot", "portable ns", "installed ns",
              "speedup");
  for (const entry_t &e : entries()) {
    const double p = reporter.get(e.table + "/" + e.slot + "/portable");
    const double i = reporter.get(e.table + "/" + e.slot + "/installed");
    if (p < 0 && i < 0) continue;
    std::printf("%-10s %-36s %14.1f %14.1f %8.2f\n", e.table.c_str(), e.slot.c_str(), p, i, i > 0 ? p / i : 0.0);
  }
  benchmark::Shutdown();
  return 0;
}
