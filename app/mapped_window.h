// Read-only view of a file through a sliding memory map.  Only a window of a
// few pictures is mapped at a time, so inputs larger than memory (or than the
// address space one would like to spend) stream through with page-aligned
// remaps as reading advances.
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
  // Smallest span mapped at a time; views longer than it map more.
  void set_min_window(size_t bytes) { min_window_ = bytes; }
  // Pointer to bytes [offset, offset + length) of the file, valid until the
  // next call; nullptr when the range lies outside the file or mmap fails.
  const uint8_t *view(uint64_t offset, size_t length);

  enum class copy_result_t { ok, map_failed, cut };
  // Copies bytes [offset, offset + length) into dst.  A file cut short by
  // another process while it is mapped raises SIGBUS on the lost pages; that
  // is caught here and reported as cut.
  copy_result_t copy(uint64_t offset, size_t length, uint8_t *dst);

private:
  void unmap();

  int fd_ = -1;
  uint64_t file_size_ = 0;
  void *map_ = nullptr;
  uint64_t map_offset_ = 0;
  size_t map_length_ = 0;
  size_t min_window_ = size_t(8) << 20;
};

#endif
