#include "output_files.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct pending_t {
  std::FILE *stream = nullptr;
  bool created = false;
  std::string target;  // the file a link led to, for removing it again
};

void give_up(std::vector<pending_t> &pending) {
  for (pending_t &p : pending) {
    std::fclose(p.stream);
    if (p.created)
      ::unlink(p.target.c_str());
  }
}

} // namespace

int open_outputs_together(std::vector<output_file_t> &files) {
  std::vector<pending_t> pending;
  for (size_t i = 0; i < files.size(); i++) {
    const char *path = files[i].path.c_str();
    struct stat st;
    pending_t p;
    // stat follows links: a link to a name that does not exist yet creates
    // its target, and that target is what to remove on failure.
    p.created = ::stat(path, &st) != 0;
    // No O_TRUNC yet: the content goes only once every file is open.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0 && p.created) {
      char resolved[PATH_MAX];
      if (::realpath(path, resolved))
        p.target = resolved;
      else
        p.created = false;  // cannot name it safely: leave it rather than guess
    }
    if (fd >= 0)
      p.stream = ::fdopen(fd, "wb");
    if (!p.stream) {
      const int err = errno;
      if (fd >= 0)
        ::close(fd);
      if (fd >= 0 && p.created)
        ::unlink(p.target.c_str());
      give_up(pending);
      errno = err;
      return static_cast<int>(i);
    }
    pending.push_back(std::move(p));
  }
  for (size_t i = 0; i < files.size(); i++) {
    struct stat st;
    const int fd = ::fileno(pending[i].stream);
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) {
      const int err = errno;
      give_up(pending);
      errno = err;
      return static_cast<int>(i);
    }
  }
  for (size_t i = 0; i < files.size(); i++)
    files[i].file.reset(pending[i].stream);
  return -1;
}
