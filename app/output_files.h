// The files a run writes (output, reconstruction, statistics) are opened all
// together or not at all: a name that cannot be opened must not cost an
// earlier one its old content, nor leave a new empty file behind.
#ifndef ZIRAVOV_OUTPUT_FILES_H
#define ZIRAVOV_OUTPUT_FILES_H

#include <string>
#include <vector>

#include "file_handle.h"

struct output_file_t {
  std::string path;
  file_ptr_t file;  // set when every file could be opened
};

// Opens each path for writing.  When all open, empties the regular files
// among them (pipes and devices are written as they are) and returns -1.
// Otherwise returns the index of the first path that could not be opened,
// with errno from that attempt; the files opened before it keep their
// content, and those this call created are removed again.  (A regular file
// that cannot be emptied, which takes an I/O error, is reported the same
// way; the files emptied before it then stay empty.)
int open_outputs_together(std::vector<output_file_t> &files);

#endif
