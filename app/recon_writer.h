// Reconstruction file: raw planar 4:2:0 pictures in display order.  The
// encoder returns pictures in coding order (B pictures after the pictures
// they reference), so early arrivals wait here until their turn.
#ifndef ZIRAVOV_RECON_WRITER_H
#define ZIRAVOV_RECON_WRITER_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "file_handle.h"

class recon_writer_t {
public:
  // Takes over a stream opened for writing.
  void open(file_ptr_t file, int32_t width, int32_t height);
  bool is_open() const { return static_cast<bool>(file_); }
  std::FILE *file() const { return file_.get(); }
  // Takes the visible width x height area of a returned picture; writes it
  // and every waiting successor that is now in order.  False on write error.
  bool add(int32_t display_number, const uint8_t *const planes[3], const int32_t strides[3]);
  // Writes what still waits (a gap means the encoder lost a picture, which is
  // reported) and closes the file.  False on write error.
  bool finish();
  int64_t written() const { return written_; }

private:
  bool write_picture(const std::vector<uint8_t> &picture);

  file_ptr_t file_;
  int32_t width_ = 0;
  int32_t height_ = 0;
  int32_t next_ = 0;
  int64_t written_ = 0;
  std::map<int32_t, std::vector<uint8_t>> waiting_;
};

#endif
