#include "stats_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool stats_writer_t::append(const char *text) {
  if (!file_ || !text || !*text)
    return true;
  const size_t n = std::strlen(text);
  return std::fwrite(text, 1, n, file_.get()) == n;
}

stats_read_t read_stats_file(const std::string &path, uint64_t limit, std::string &text) {
  // Without O_NONBLOCK opening a pipe waits for a writer that may never come.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return stats_read_t::unreadable;
  struct fd_closer_t {
    int fd;
    ~fd_closer_t() { ::close(fd); }
  } closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0)
    return stats_read_t::unreadable;
  if (!S_ISREG(st.st_mode))
    return stats_read_t::not_regular;
  if (static_cast<uint64_t>(st.st_size) > limit)
    return stats_read_t::too_long;
  text.clear();
  text.reserve(static_cast<size_t>(st.st_size));
  // The file may grow while it is read: one byte past the limit tells.
  char buf[65536];
  while (text.size() <= limit) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof(buf), limit + 1 - text.size()));
    const ssize_t n = ::read(fd, buf, want);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return stats_read_t::unreadable;
    if (n == 0)
      break;
    text.append(buf, static_cast<size_t>(n));
  }
  return text.size() > limit ? stats_read_t::too_long : stats_read_t::ok;
}

int64_t stats_picture_lines(const std::string &text) {
  const size_t header_end = text.find('\n');
  if (header_end == std::string::npos)
    return 0;
  return std::count(text.begin() + static_cast<std::ptrdiff_t>(header_end) + 1, text.end(), '\n');
}
