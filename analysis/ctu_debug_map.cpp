#include "analysis/ctu_debug_map.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "encoder/encoder.h"

int debug_dump_ctu_map(const encoder_t *ctx, FILE *out, int32_t picture, int32_t value) {
  bool ok = std::fprintf(out, "%d %d\n", picture, value) > 0;
  for (int32_t r = 0; r < ctx->ctu_rows && ok; r++) {
    for (int32_t c = 0; c < ctx->ctu_cols && ok; c++)
      ok = std::fprintf(out, "%d ", ctx->ctu_debug_map[r * ctx->ctu_cols + c]) > 0;
    ok = ok && std::fputc('\n', out) != EOF;
  }
  return ok && std::fflush(out) == 0 ? 0 : -1;
}

namespace {

// One line's integer fields, each within [lo, hi], into out (at most
// `want`): their count, or -1 with *why set when a field is no such
// integer or the line holds more than `want`.
int32_t read_fields(const char *line, int64_t lo, int64_t hi, int32_t want, int64_t *out, const char **why) {
  int32_t n = 0;
  for (const char *p = line;;) {
    while (*p && std::isspace(static_cast<unsigned char>(*p))) p++;
    if (!*p) return n;
    if (n == want) {
      *why = "more fields than the record has there";
      return -1;
    }
    char *end = nullptr;
    errno = 0;
    const long long v = std::strtoll(p, &end, 10);
    if (end == p || (*end && !std::isspace(static_cast<unsigned char>(*end)))) {
      *why = "a field that is not a number";
      return -1;
    }
    if (errno == ERANGE || v < lo || v > hi) {
      *why = lo == -128 ? "a CTU byte outside -128..127" : "a number out of range";
      return -1;
    }
    out[n++] = v;
    p = end;
  }
}

// The reader of one file, closed when it goes.
struct map_file_t {
  FILE *f = nullptr;
  char *line = nullptr;
  size_t cap = 0;
  int64_t line_no = 0;
  ~map_file_t() {
    std::free(line);
    if (f) std::fclose(f);
  }
  bool next() {
    if (getline(&line, &cap, f) < 0) return false;
    line_no++;
    return true;
  }
};

}  // namespace

int debug_load_ctu_map(encoder_t *ctx, const char *path, int32_t picture, int32_t *value) {
  map_file_t in;
  in.f = std::fopen(path, "r");
  if (!in.f) {
    std::fprintf(stderr, "ctu map: cannot open '%s': %s\n", path, std::strerror(errno));
    return -1;
  }
  const int32_t cols = ctx->ctu_cols, rows = ctx->ctu_rows;
  auto fail = [&](const char *why) {
    std::fprintf(stderr, "ctu map '%s' line %lld: %s (records of %d x %d CTUs expected)\n", path,
                 static_cast<long long>(in.line_no), why, cols, rows);
    return -1;
  };
  std::vector<int64_t> fields(static_cast<size_t>(cols));
  std::vector<int8_t> cells(static_cast<size_t>(cols) * static_cast<size_t>(rows));
  const char *why = nullptr;
  while (in.next()) {
    int64_t head[2];
    if (read_fields(in.line, INT32_MIN, INT32_MAX, 2, head, &why) != 2)
      return fail(why ? why : "a picture's line holds other than its number and value");
    for (int32_t r = 0; r < rows; r++) {
      if (!in.next()) return fail("the record ends before its last row of CTUs");
      const int32_t n = read_fields(in.line, -128, 127, cols, fields.data(), &why);
      if (n < 0) return fail(why);
      if (n != cols) return fail("a row of CTUs with too few fields");
      for (int32_t c = 0; c < cols; c++) cells[static_cast<size_t>(r * cols + c)] = static_cast<int8_t>(fields[c]);
    }
    if (head[0] != picture) continue;
    std::memcpy(ctx->ctu_debug_map, cells.data(), cells.size());
    *value = static_cast<int32_t>(head[1]);
    return 0;
  }
  std::fprintf(stderr, "ctu map '%s': no record of picture %d\n", path, picture);
  return -1;
}
