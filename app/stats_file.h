// Two-pass statistics file: the first pass appends the text the library
// leaves after each returned picture; the second pass hands the whole file
// to the library before the encoder is created.
#ifndef ZIRAVOV_STATS_FILE_H
#define ZIRAVOV_STATS_FILE_H

#include <cstdint>
#include <string>

#include "file_handle.h"

class stats_writer_t {
public:
  // Takes over a stream opened for writing.
  void open(file_ptr_t file) { file_ = std::move(file); }
  // Appends text (may be NULL or empty); false on write error.
  bool append(const char *text);
  bool close() { return close_checked(file_); }
  std::FILE *file() const { return file_.get(); }

private:
  file_ptr_t file_;
};

enum class stats_read_t {
  ok,
  unreadable,   // cannot be opened or read: errno says why
  not_regular   // a pipe, a directory or a device: never read (a pipe nobody writes would block)
};

// Reads the whole file into text when it is a regular file.
stats_read_t read_stats_file(const std::string &path, std::string &text);

#endif
