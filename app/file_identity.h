// Which files the program writes must never be the input or one another:
// truncating the mapped input ends in SIGBUS, and two outputs on one file
// interleave.  Files are compared by device and inode, so links and other
// spellings of one path are caught too.
#ifndef ZIRAVOV_FILE_IDENTITY_H
#define ZIRAVOV_FILE_IDENTITY_H

#include <string>
#include <vector>

struct named_file_t {
  const char *role;  // "output", "reconstruction file", ...
  std::string path;
};

// Empty when every output is distinct from the input and from each other,
// else the message naming the clash.  Checks names only; opens nothing.
std::string check_distinct_files(const named_file_t &input, const std::vector<named_file_t> &outputs);

#endif
