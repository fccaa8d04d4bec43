#include "stats_file.h"

#include <cstdio>
#include <cstring>

bool stats_writer_t::append(const char *text) {
  if (!file_ || !text || !*text)
    return true;
  const size_t n = std::strlen(text);
  return std::fwrite(text, 1, n, file_.get()) == n;
}

std::optional<std::string> read_stats_file(const std::string &path) {
  file_ptr_t f(std::fopen(path.c_str(), "rb"));
  if (!f)
    return std::nullopt;
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), f.get())) > 0)
    text.append(buf, n);
  if (std::ferror(f.get()))
    return std::nullopt;
  return text;
}
