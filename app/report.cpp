#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

void psnr_meter_t::add(const double psnr_db[3]) {
  // The library measures every picture it returns against the source it
  // copied in; the program keeps no copy of its own (at 1080p the copies
  // cost the reading thread a pass and fresh pages per picture, some 30 MB
  // resident per ten pictures in flight).  Back from decibels the mean
  // squared error is exact to a few units in the last place.
  for (int c = 0; c < 3; c++)
    mse_sum_[c] += std::isinf(psnr_db[c]) ? 0.0 : 255.0 * 255.0 / std::pow(10.0, psnr_db[c] / 10.0);
  pictures_++;
}

double psnr_meter_t::psnr(int c) const {
  if (pictures_ == 0)
    return 0.0;
  const double mse = mse_sum_[c] / static_cast<double>(pictures_);
  if (mse <= 0.0)
    return INFINITY;
  return 10.0 * std::log10(255.0 * 255.0 / mse);
}

std::string format_psnr(double db) {
  if (std::isinf(db))
    return "inf";
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%.2f", db);
  return buf;
}

double progress_t::seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

double progress_t::kbit_per_second() const {
  if (pictures_ == 0)
    return 0.0;
  const double duration = static_cast<double>(pictures_) * fps_.den / fps_.num;
  return static_cast<double>(bytes_) * 8.0 / 1000.0 / duration;
}

void progress_t::set_rate_targets(int32_t bitrate_kbps, int32_t vbv_maxrate_kbps, int32_t vbv_bufsize_kbit,
                                  double init_fraction) {
  target_kbps_ = bitrate_kbps;
  if (vbv_maxrate_kbps > 0 && vbv_bufsize_kbit > 0) {
    vbv_size_ = vbv_bufsize_kbit * 1000.0;
    vbv_per_picture_ = vbv_maxrate_kbps * 1000.0 * fps_.den / fps_.num;
    vbv_fill_ = vbv_lowest_ = init_fraction * vbv_size_;
  }
}

void progress_t::picture_done(uint64_t bytes) {
  pictures_++;
  bytes_ += bytes;
  if (vbv_size_ > 0) {
    // A decoder's buffer: the picture leaves at once, the rate refills it.
    vbv_fill_ -= static_cast<double>(bytes) * 8.0;
    vbv_lowest_ = std::min(vbv_lowest_, vbv_fill_);
    vbv_fill_ = std::min(vbv_size_, vbv_fill_ + vbv_per_picture_);
  }
  const auto now = std::chrono::steady_clock::now();
  if (now - last_ < std::chrono::seconds(1))
    return;
  last_ = now;
  const double t = seconds();
  std::printf("frames: %lld, %.2f fps, %.2f kb/s\n", static_cast<long long>(pictures_),
              t > 0 ? static_cast<double>(pictures_) / t : 0.0, kbit_per_second());
  std::fflush(stdout);
}

void progress_t::end_report(const psnr_meter_t &psnr, bool interrupted) const {
  const double t = seconds();
  std::printf("%sencoded %lld frames in %.2f s (%.2f fps), %.2f kb/s, %llu bytes\n",
              interrupted ? "interrupted: " : "", static_cast<long long>(pictures_), t,
              t > 0 ? static_cast<double>(pictures_) / t : 0.0, kbit_per_second(),
              static_cast<unsigned long long>(bytes_));
  if (target_kbps_ > 0 && pictures_ > 0)
    std::printf("bitrate %.2f kb/s, target %d kb/s (%+.2f%%)\n", kbit_per_second(), target_kbps_,
                100.0 * (kbit_per_second() / target_kbps_ - 1.0));
  if (vbv_size_ > 0 && pictures_ > 0)
    std::printf("VBV lowest fill %.0f of %.0f bits (%.1f%%)%s\n", vbv_lowest_, vbv_size_,
                100.0 * vbv_lowest_ / vbv_size_, vbv_lowest_ < 0 ? ": UNDERFLOW" : "");
  if (psnr.pictures() > 0)
    std::printf("PSNR y:%s u:%s v:%s\n", format_psnr(psnr.psnr(0)).c_str(), format_psnr(psnr.psnr(1)).c_str(),
                format_psnr(psnr.psnr(2)).c_str());
  std::fflush(stdout);
}
