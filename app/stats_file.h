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

// The longest line of a statistics text, its line feed included: the
// library takes no longer header or picture line.  A file for n pictures
// is never longer than n + 1 such lines.
constexpr uint64_t stats_line_bytes = 256;

enum class stats_read_t {
  ok,
  unreadable,   // cannot be opened or read: errno says why
  not_regular,  // a pipe, a directory or a device: never read (a pipe nobody writes would block)
  too_long      // more than the limit: damaged, and not read past it
};

// Reads the whole file into text when it is a regular file of at most
// limit bytes.
stats_read_t read_stats_file(const std::string &path, uint64_t limit, std::string &text);

// The picture lines of a statistics text: the line feeds after the header
// line's (a last line without its line feed is not read).
int64_t stats_picture_lines(const std::string &text);

#endif
