// Which files the program writes must never be the input or one another:
// truncating the mapped input ends in SIGBUS, and two outputs on one file
// interleave.  Files are compared by device and inode, so links and other
// spellings of one path are caught too, and so are links to a name that does
// not exist yet.
#ifndef ZIRAVOV_FILE_IDENTITY_H
#define ZIRAVOV_FILE_IDENTITY_H

#include <cstdio>
#include <string>
#include <vector>

struct named_file_t {
  const char *role;  // "output", "reconstruction file", ...
  std::string path;
};

// Empty when every output is distinct from the input and from each other,
// else the message naming the clash.  Checks names only; opens nothing.
std::string check_distinct_files(const named_file_t &input, const std::vector<named_file_t> &outputs);

// True when the open stream f writes to the file or pipe that descriptor fd
// writes to (for instance an output named /dev/stdout); devices do not count.
bool same_open_file(std::FILE *f, int fd);

#endif
