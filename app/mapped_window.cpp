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
  // The pictures are read front to back: a file not yet in memory gets the
  // larger read-ahead.
  ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
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
  const uint64_t want = (offset - start) + length;
  void *p = ::mmap(nullptr, static_cast<size_t>(want), PROT_READ, MAP_PRIVATE, fd_, static_cast<off_t>(start));
  if (p == MAP_FAILED)
    return nullptr;
  map_ = p;
  map_offset_ = start;
  map_length_ = static_cast<size_t>(want);
  return static_cast<const uint8_t *>(map_) + (offset - map_offset_);
}

bool mapped_window_t::shrank() {
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0 || static_cast<uint64_t>(st.st_size) >= file_size_)
    return false;
  file_size_ = static_cast<uint64_t>(st.st_size);
  unmap();
  return true;
}

mapped_window_t::copy_result_t mapped_window_t::copy(uint64_t offset, size_t length, uint8_t *dst) {
  if (fd_ < 0 || offset > file_size_ || length > file_size_ - offset) {
    errno = EINVAL;
    return copy_result_t::read_failed;
  }
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd_, dst + done, length - done, static_cast<off_t>(offset + done));
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0) {
      return copy_result_t::cut;
    } else if (errno != EINTR) {
      return copy_result_t::read_failed;
    }
  }
  return copy_result_t::ok;
}
