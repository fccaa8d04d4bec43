// Read-only access to a file: a memory map of the bytes looked at in place
// (only the pages of the last view are mapped), and copies that read the
// file directly.
#ifndef ZIRAVOV_MAPPED_WINDOW_H
#define ZIRAVOV_MAPPED_WINDOW_H

#include <cstddef>
#include <cstdint>
#include <string>

class mapped_window_t {
public:
  mapped_window_t() = default;
  mapped_window_t(const mapped_window_t &) = delete;
  mapped_window_t &operator=(const mapped_window_t &) = delete;
  ~mapped_window_t();

  // Opens a regular file; on failure returns false with the reason in err.
  bool open(const std::string &path, std::string &err);
  uint64_t file_size() const { return file_size_; }
  // Checks the file's size again; true when it shrank since (another
  // process cut it), and then file_size() is the new size.
  bool shrank();
  // Pointer to bytes [offset, offset + length) of the file, valid until the
  // next call; nullptr when the range lies outside the file or mmap fails.
  const uint8_t *view(uint64_t offset, size_t length);

  enum class copy_result_t { ok, read_failed, cut };
  // Copies bytes [offset, offset + length) into dst with positioned reads,
  // not out of the map: a picture copied from the map costs a page fault
  // every few pages and a remap every few pictures, which made the reader
  // the slowest step while the lookahead fills (a third less time per
  // picture this way, more while other threads map memory).  A file that
  // another process cut short reads short, which is reported as cut (errno
  // untouched); read_failed leaves errno set.
  copy_result_t copy(uint64_t offset, size_t length, uint8_t *dst);

private:
  void unmap();

  int fd_ = -1;
  uint64_t file_size_ = 0;
  void *map_ = nullptr;
  uint64_t map_offset_ = 0;
  size_t map_length_ = 0;
};

#endif
