// Nanoseconds per residual rate estimate (residual_bits, the residual
// syntax counted bin by bin on an estimation state) of every block size,
// with the pixel table's non-zero count and group scan portable and as
// installed for this processor, next to RDOQ of the same blocks.  Levels
// come from RDOQ of coefficients shaped as a transform leaves them, at QP 27
// and 37.  KERNEL_BENCH_FLAGS=<mask> narrows the installed tiers.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "bitstream/ctu_writer.h"
#include "bitstream/param_sets.h"
#include "common/cabac_tables.h"
#include "common/memory.h"
#include "common/primitives.h"
#include "encoder/encoder.h"

namespace {

double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Fastest of five timings of `blocks` calls, in ns per call.
template <typename Fn>
double ns_per_call(int32_t blocks, Fn fn) {
  const int32_t reps = std::max(1, 200000 / blocks);
  double best = 1e30;
  for (int32_t t = 0; t < 5; t++) {
    const double t0 = cpu_seconds();
    for (int32_t r = 0; r < reps; r++)
      for (int32_t b = 0; b < blocks; b++) fn(b);
    best = std::min(best, (cpu_seconds() - t0) / (double(reps) * blocks));
  }
  return best * 1e9;
}

// A recorded residual_bits call: block size, plane, scan type, whether
// sign data hiding is on, the estimation state it started from and the
// levels.
struct recorded_call_t {
  int32_t log2, plane, scan, sign_hiding;
  cabac_est_t est;
  std::vector<int16_t> levels;
};

std::vector<recorded_call_t> read_calls(const char *path) {
  std::vector<recorded_call_t> calls;
  FILE *f = std::fopen(path, "rb");
  if (!f) return calls;
  for (;;) {
    recorded_call_t c{};
    int32_t hdr[4];
    if (std::fread(hdr, sizeof hdr, 1, f) != 1 || hdr[0] < 2 || hdr[0] > 5) break;
    c.log2 = hdr[0], c.plane = hdr[1], c.scan = hdr[2], c.sign_hiding = hdr[3];
    c.levels.resize(size_t(1) << (2 * c.log2));
    if (std::fread(&c.est, sizeof c.est, 1, f) != 1 ||
        std::fread(c.levels.data(), 2, c.levels.size(), f) != c.levels.size())
      break;
    calls.push_back(std::move(c));
  }
  std::fclose(f);
  return calls;
}

// Replays recorded calls on ctx: ns per call (best of five passes), and a
// checksum of every call's bits and final states, which two builds that
// estimate alike print equal.
int replay(encoder_t *ctx, pps_t *pps, const char *path) {
  const std::vector<recorded_call_t> calls = read_calls(path);
  if (calls.empty()) {
    std::fprintf(stderr, "%s: no recorded calls\n", path);
    return 1;
  }
  uint64_t sum = 0;
  for (const recorded_call_t &c : calls) {
    pps->sign_data_hiding = c.sign_hiding;
    cabac_est_t est = c.est;
    sum = sum * 1000003 + residual_bits(ctx, &est, c.levels.data(), c.log2, c.plane, c.scan);
    for (uint8_t v : est.state) sum = sum * 31 + v;
  }
  // Passes of at least 1e6 calls each.
  const int32_t reps = std::max<int32_t>(1, static_cast<int32_t>(1000000 / calls.size()));
  double best = 1e30;
  for (int32_t t = 0; t < 7; t++) {
    const double t0 = cpu_seconds();
    for (int32_t r = 0; r < reps; r++)
      for (const recorded_call_t &c : calls) {
        pps->sign_data_hiding = c.sign_hiding;
        cabac_est_t est = c.est;
        residual_bits(ctx, &est, c.levels.data(), c.log2, c.plane, c.scan);
      }
    best = std::min(best, (cpu_seconds() - t0) / reps);
  }
  std::printf("%s: %zu calls, %.1f ns per call, checksum %016llx\n", path, calls.size(), best * 1e9 / double(calls.size()),
              static_cast<unsigned long long>(sum));
  return 0;
}

}  // namespace

// With --replay FILE..., times instead the calls a build configured with
// -DTARN_RECORD_RESIDUAL_CALLS=ON recorded in an encode (ziravov --threads 1
// with TARN_RECORD_RESIDUAL_CALLS=FILE in the environment); the checksum
// tells whether two builds estimate those calls alike.
int main(int argc, char **argv) {
  uint32_t flags = 0;
  __builtin_cpu_init();
  if (__builtin_cpu_supports("ssse3")) flags |= 2;
  if (__builtin_cpu_supports("avx2")) flags |= 4;
  if (const char *mask = std::getenv("KERNEL_BENCH_FLAGS")) flags &= static_cast<uint32_t>(std::strtoul(mask, nullptr, 0));

  static scan_tables_t scans;
  scan_tables_init(&scans);
  static pps_t pps{};
  pps.sign_data_hiding = 1;
  // Only the fields the residual writer reads are set.
  encoder_t *ctx[2];
  for (int32_t k = 0; k < 2; k++) {
    ctx[k] = static_cast<encoder_t *>(aligned_malloc(sizeof(encoder_t)));
    std::memset(static_cast<void *>(ctx[k]), 0, sizeof(encoder_t));
    ctx[k]->scan_tables = &scans;
    ctx[k]->pps = &pps;
    setup_pixel_primitives(k ? flags : 0, &ctx[k]->pixel, 1);
    setup_quant_primitives(k ? flags : 0, &ctx[k]->quant);
  }
  if (argc > 2 && std::string(argv[1]) == "--replay") {
    int rc = 0;
    for (int i = 2; i < argc; i++) rc |= replay(ctx[1], &pps, argv[i]);
    for (encoder_t *c : ctx) aligned_free(c);
    return rc;
  }
  cabac_est_t est0{};
  std::mt19937 rng(31);
  for (auto &s : est0.state) s = static_cast<uint8_t>(rng() % 60);

  std::printf("cpu_flags %u\n%-8s %4s %10s %14s %14s %8s %14s %14s %8s\n", flags, "size", "qp", "non-zero",
              "estimate port", "estimate inst", "speedup", "rdoq_alt port", "rdoq_alt inst", "speedup");
  for (int32_t log2 = 2; log2 <= 5; log2++)
    for (int32_t qp : {27, 37}) {
      const int32_t n = 1 << log2, count = n * n, blocks = 64;
      std::vector<int16_t> coef(size_t(blocks) * count), levels(size_t(blocks) * count);
      uint64_t nonzero = 0;
      for (int32_t b = 0; b < blocks; b++) {
        for (int32_t y = 0; y < n; y++)
          for (int32_t x = 0; x < n; x++) {
            const int32_t range = std::max(1, 3000 >> std::min(x + y, 11));
            coef[size_t(b) * count + y * n + x] = static_cast<int16_t>(static_cast<int32_t>(rng() % (2 * range + 1)) - range);
          }
        cabac_est_t est = est0;
        const rdoq_request_t req{levels.data() + size_t(b) * count, coef.data() + size_t(b) * count, log2, 0, qp, 1, 0,
                                 static_cast<uint32_t>(256 * 0.57 * std::exp2((qp - 12) / 3.0)), 256, &est, {100, 300}};
        nonzero += ctx[0]->quant.rdoq_alt(&req);
      }
      double est_ns[2], rdoq_ns[2];
      for (int32_t k = 0; k < 2; k++) {
        est_ns[k] = ns_per_call(blocks, [&](int32_t b) {
          cabac_est_t est = est0;
          residual_bits(ctx[k], &est, levels.data() + size_t(b) * count, log2, 0, 0);
        });
        std::vector<int16_t> out(count);
        rdoq_ns[k] = ns_per_call(blocks, [&](int32_t b) {
          cabac_est_t est = est0;
          const rdoq_request_t req{out.data(), coef.data() + size_t(b) * count, log2, 0, qp, 1, 0, 30000, 256, &est, {100, 300}};
          ctx[k]->quant.rdoq_alt(&req);
        });
      }
      std::printf("%-8s %4d %10.1f %14.1f %14.1f %8.2f %14.1f %14.1f %8.2f\n",
                  (std::to_string(n) + "x" + std::to_string(n)).c_str(), qp, double(nonzero) / blocks, est_ns[0], est_ns[1],
                  est_ns[0] / est_ns[1], rdoq_ns[0], rdoq_ns[1], rdoq_ns[0] / rdoq_ns[1]);
    }
  for (encoder_t *c : ctx) aligned_free(c);
  return 0;
}
