#include "mapped_window.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

mapped_window_t::~mapped_window_t() {
  unmap();
  if (fd_ >= 0)
    ::close(fd_);
}

bool mapped_window_t::open(const std::string &path, std::string &err) {
  if (::access(path.c_str(), F_OK) != 0) {
    err = std::strerror(errno);
    return false;
  }
  // Without O_NONBLOCK, opening a FIFO waits for a writer forever; only a
  // regular file can be mapped anyway, which fstat checks next.
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd_ < 0) {
    err = std::strerror(errno);
    return false;
  }
  struct stat st;
  if (::fstat(fd_, &st) != 0) {
    err = std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    err = S_ISFIFO(st.st_mode) ? "a pipe, not a regular file (the input is memory-mapped)"
          : S_ISDIR(st.st_mode) ? "a directory, not a regular file"
                                : "not a regular file";
    return false;
  }
  file_size_ = static_cast<uint64_t>(st.st_size);
  return true;
}

void mapped_window_t::unmap() {
  if (map_)
    ::munmap(map_, map_length_);
  map_ = nullptr;
  map_length_ = 0;
}

const uint8_t *mapped_window_t::view(uint64_t offset, size_t length) {
  if (fd_ < 0 || length == 0 || offset > file_size_ || length > file_size_ - offset)
    return nullptr;
  if (map_ && offset >= map_offset_ && offset + length <= map_offset_ + map_length_)
    return static_cast<const uint8_t *>(map_) + (offset - map_offset_);

  unmap();
  // mmap offsets must be multiples of the page size.
  const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  const uint64_t start = offset - offset % page;
  uint64_t want = (offset - start) + length;
  if (want < min_window_)
    want = min_window_;
  if (want > file_size_ - start)
    want = file_size_ - start;
  void *p = ::mmap(nullptr, static_cast<size_t>(want), PROT_READ, MAP_PRIVATE, fd_, static_cast<off_t>(start));
  if (p == MAP_FAILED)
    return nullptr;
  ::madvise(p, static_cast<size_t>(want), MADV_SEQUENTIAL);
  map_ = p;
  map_offset_ = start;
  map_length_ = static_cast<size_t>(want);
  return static_cast<const uint8_t *>(map_) + (offset - map_offset_);
}
