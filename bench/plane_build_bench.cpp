// CPU time of building the sub-sample planes of one reference picture
// (every window row, as the encoder builds them when the rows are final),
// per tier and picture size.
// usage: plane_build_bench [repetitions]
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>

#include "common/primitives.h"
#include "encoder/frame.h"
#include "encoder/param.h"
#include "encoder/ref_planes.h"

namespace {

double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

}  // namespace

int main(int argc, char **argv) {
  const int reps = argc > 1 ? std::atoi(argv[1]) : 20;
  const struct {
    const char *name;
    int32_t w, h;
  } sizes[] = {{"CIF 352x288", 352, 288}, {"720p 1280x720", 1280, 720}, {"1080p 1920x1080", 1920, 1080}};
  const uint32_t have = cpu_detect_flags();
  std::printf("%-16s %-10s %6s %12s\n", "picture", "tier", "mode", "ms/picture");
  for (const auto &s : sizes) {
    std::unique_ptr<frame_t, void (*)(frame_t *)> f(frame_new(s.w, s.h, 0, 1), frame_delete);
    if (!f) return 1;
    std::mt19937 r(1);
    for (int32_t y = 0; y < s.h; y++)
      for (int32_t x = 0; x < s.w; x++) f->plane[0][y * f->stride[0] + x] = static_cast<uint8_t>(r());
    frame_extend_borders(f.get());
    const int32_t rows = (s.h + 63) / 64;
    for (uint32_t flags : {0u, 2u, 6u}) {
      if ((flags & have) != flags) continue;
      mc_funcs_t mc;
      setup_mc_primitives(flags, &mc);
      for (int32_t half_only = 0; half_only < 2; half_only++) {
        const int n = flags ? reps : (reps + 9) / 10;
        ref_planes_build_rows(&mc, f.get(), 0, rows, half_only);  // warm
        const double t0 = cpu_seconds();
        for (int i = 0; i < n; i++) ref_planes_build_rows(&mc, f.get(), 0, rows, half_only);
        const double ms = 1e3 * (cpu_seconds() - t0) / n;
        std::printf("%-16s %-10s %6s %12.2f\n", s.name, flags == 0 ? "portable" : flags == 2 ? "SSSE3" : "AVX2",
                    half_only ? "half" : "all", ms);
      }
    }
  }
  return 0;
}
