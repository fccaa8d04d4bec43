#include "recon_writer.h"

#include <cstdio>
#include <cstring>
#include <utility>

void recon_writer_t::open(file_ptr_t file, int32_t width, int32_t height) {
  file_ = std::move(file);
  width_ = width;
  height_ = height;
}

bool recon_writer_t::write_picture(const std::vector<uint8_t> &picture) {
  written_++;
  return std::fwrite(picture.data(), 1, picture.size(), file_.get()) == picture.size();
}

bool recon_writer_t::add(int32_t display_number, const uint8_t *const planes[3], const int32_t strides[3]) {
  if (!file_)
    return true;
  const size_t luma = static_cast<size_t>(width_) * static_cast<size_t>(height_);
  std::vector<uint8_t> picture(luma + luma / 2);
  uint8_t *dst = picture.data();
  for (int c = 0; c < 3; c++) {
    const int32_t w = c ? width_ / 2 : width_;
    const int32_t h = c ? height_ / 2 : height_;
    for (int32_t y = 0; y < h; y++) {
      std::memcpy(dst, planes[c] + static_cast<int64_t>(y) * strides[c], static_cast<size_t>(w));
      dst += w;
    }
  }
  if (display_number != next_) {
    waiting_[display_number] = std::move(picture);
    return true;
  }
  bool ok = write_picture(picture);
  next_++;
  for (auto it = waiting_.find(next_); it != waiting_.end(); it = waiting_.find(next_)) {
    ok &= write_picture(it->second);
    waiting_.erase(it);
    next_++;
  }
  return ok;
}

bool recon_writer_t::finish() {
  if (!file_)
    return true;
  bool ok = true;
  if (!waiting_.empty())
    std::fprintf(stderr, "ziravov: warning: reconstruction lacks picture %d; later pictures written after the gap\n",
                 next_);
  for (auto &[number, picture] : waiting_)
    ok &= write_picture(picture);
  waiting_.clear();
  return close_checked(file_) && ok;
}
