// Owning wrappers for stdio streams: every early return closes its files.
#ifndef ZIRAVOV_FILE_HANDLE_H
#define ZIRAVOV_FILE_HANDLE_H

#include <cstdio>
#include <memory>

struct file_closer_t {
  void operator()(std::FILE *f) const {
    if (f)
      std::fclose(f);
  }
};
using file_ptr_t = std::unique_ptr<std::FILE, file_closer_t>;

// Flushes and closes; false when any buffered write failed (disk full shows
// up only here for the last block).
inline bool close_checked(file_ptr_t &f) {
  if (!f)
    return true;
  std::FILE *raw = f.release();
  bool ok = std::ferror(raw) == 0;
  if (std::fclose(raw) != 0)
    ok = false;
  return ok;
}

#endif
