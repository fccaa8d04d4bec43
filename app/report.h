// Quality measurement and the lines the program prints on stdout: settings,
// progress and the end report.
#ifndef ZIRAVOV_REPORT_H
#define ZIRAVOV_REPORT_H

#include <chrono>
#include <cstdint>
#include <string>

#include "cli_parse.h"

// PSNR against the source as a video tool would report it: the per-picture
// mean squared errors are averaged over the pictures first, and only the
// average is turned into decibels.
class psnr_meter_t {
public:
  // Adds one picture's errors, given as the library reports them (dB per
  // component, +infinity for none).
  void add(const double psnr_db[3]);
  int64_t pictures() const { return pictures_; }
  // PSNR of component c (0 Y, 1 Cb, 2 Cr) in dB; +infinity for no error.
  double psnr(int c) const;

private:
  int64_t pictures_ = 0;
  double mse_sum_[3] = {0, 0, 0};
};

// "inf" for an infinite PSNR, else two decimals.
std::string format_psnr(double db);

class progress_t {
public:
  explicit progress_t(frame_rate_t fps) : fps_(fps), start_(std::chrono::steady_clock::now()), last_(start_) {}
  // What the end report compares the output with: the average bitrate
  // (kbit/s, 0 none) and a VBV buffer (kbit/s and kbit, 0 none) starting at
  // init_fraction of its size, which the program follows picture by picture.
  void set_rate_targets(int32_t bitrate_kbps, int32_t vbv_maxrate_kbps, int32_t vbv_bufsize_kbit, double init_fraction);
  // Counts a returned picture; prints a progress line at most once a second.
  void picture_done(uint64_t bytes);
  void end_report(const psnr_meter_t &psnr, bool interrupted) const;

private:
  double seconds() const;
  double kbit_per_second() const;

  frame_rate_t fps_;
  std::chrono::steady_clock::time_point start_, last_;
  int64_t pictures_ = 0;
  uint64_t bytes_ = 0;
  int32_t target_kbps_ = 0;
  double vbv_size_ = 0, vbv_per_picture_ = 0;  // bits
  double vbv_fill_ = 0, vbv_lowest_ = 0;
};

#endif
