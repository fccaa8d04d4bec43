// Wall time of the cost estimates one CU-tree walk asks for at 1080p (a
// 20-picture lookahead, P pictures alone or runs of 3 B pictures), made one
// by one as before and together, on the lookahead pool of 8 threads; the
// ways alternate, so all see the same machine load.  The pictures are a
// moving texture read through the encoder's own entry (planes extended,
// half-resolution pictures built); a third way keeps the intra estimates
// that the pool makes when a picture enters.
// usage: lookahead_bench [repetitions] [complexity]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "encoder/encoder.h"
#include "ratecontrol/lookahead_frame.h"
#include "ratecontrol/lowres_cost.h"
#include "tarnhevcenc.h"

namespace {

constexpr int32_t W = 1920, H = 1080, PICTURES = 21;

uint8_t texture(int32_t x, int32_t y) {
  const double v = 128 + 50 * std::sin(x * 0.045) * std::cos(y * 0.037) + 30 * std::sin((x + 2 * y) * 0.011) +
                   ((x * 7 + y * 13) % 17) * 2;
  return static_cast<uint8_t>(std::lround(std::fmin(255, std::fmax(0, v))));
}

// The estimates of the walk from the last anchor back: with B runs, each
// span's P estimate, its middle B and the outer B pictures.
std::vector<lookahead_request_t> walk(int32_t bframes) {
  std::vector<lookahead_request_t> r{{0, 0, 0}};
  const int32_t span = bframes + 1;
  for (int32_t p1 = (PICTURES - 1) / span * span; p1 > 0; p1 -= span) {
    const int32_t p0 = p1 - span;
    r.push_back({p0, p1, p1});
    if (bframes == 3) {
      const int32_t m = p0 + 2;
      r.push_back({p0, p1, m});
      r.push_back({m, p1, p1 - 1});
      r.push_back({p0, m, p0 + 1});
    }
  }
  return r;
}

double now_ms() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int main(int argc, char **argv) {
  const int reps = argc > 1 ? std::atoi(argv[1]) : 20;
  const int complexity = argc > 2 ? std::atoi(argv[2]) : 4;
  std::printf("1080p, complexity %d, 8 lookahead threads, %d repetitions\n", complexity, reps);
  std::printf("%-8s %14s %14s %14s %14s %14s %14s\n", "bframes", "one by one min", "together min", "one by one med",
              "together med", "intra made min", "intra made med");
  for (int32_t bframes : {0, 3}) {
    tarnhevcenc_param_t p;
    std::memset(&p, 0, sizeof(p));
    p.size = sizeof(p);
    tarnhevcenc_default_param(&p);
    p.rcmode = TARNHEVCENC_RC_CQP;
    p.width = W;
    p.height = H;
    p.threads = 8;
    p.complexity = complexity;
    p.bframes = bframes;
    p.log_level = 0;
    encoder_t *enc = encoder_open(&p);
    if (!enc || !enc->lookahead_engine) return 1;
    std::vector<frame_t *> frames;
    for (int32_t k = 0; k < PICTURES; k++) {
      frame_t *f = frame_get_unused(enc->pool, 1);
      if (!f) return 1;
      for (int32_t c = 0; c < 3; c++) {
        const int32_t w = c ? W / 2 : W, h = c ? H / 2 : H;
        for (int32_t y = 0; y < h; y++)
          for (int32_t x = 0; x < w; x++) f->plane[c][y * f->stride[c] + x] = c ? 128 : texture(x - 3 * k, y + k);
      }
      frame_extend_borders(f);
      f->frame_number = k;
      lookahead_frame_init(enc, f, 1);
      frames.push_back(f);
    }
    lookahead_frame_wait(enc);
    const std::vector<lookahead_request_t> list = walk(bframes);
    std::vector<double> t[3];
    for (int r = 0; r < reps; r++)
      for (int way = 0; way < 3; way++) {
        for (frame_t *f : frames) {
          lowres_data_reset(f->la);
          // Intra estimates too, though the pool made them on entry: a walk
          // from scratch; the third way keeps them as the entry made them
          // (the earlier walks left the same values), as the encoder does.
          f->intra_done = 0;
          f->intra_ready = way == 2;
        }
        const double t0 = now_ms();
        if (way == 0) {
          for (const lookahead_request_t &q : list) lookahead_frame_cost(enc, frames.data(), q.p0, q.p1, q.b);
        } else {
          lookahead_frame_costs(enc, frames.data(), list.data(), static_cast<int32_t>(list.size()));
        }
        t[way].push_back(now_ms() - t0);
      }
    for (auto &v : t) std::sort(v.begin(), v.end());
    std::printf("%-8d %14.2f %14.2f %14.2f %14.2f %14.2f %14.2f\n", bframes, t[0][0], t[1][0], t[0][t[0].size() / 2],
                t[1][t[1].size() / 2], t[2][0], t[2][t[2].size() / 2]);
    for (frame_t *f : frames) frame_release(enc->pool, f);
    encoder_close(enc);
  }
  return 0;
}
