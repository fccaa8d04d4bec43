// ziravov with settings that no public field reaches, for the tests and
// benches that check and measure them: "--internal NAME=VALUE" (anywhere on
// the command line, repeatable) sets the internal setting, everything else
// is ziravov's own command line.  Built with the tests, never installed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/exit_codes.h"
#include "app/options.h"
#include "app/session.h"
#include "encoder/param.h"

namespace {

int32_t lowres_cu_search = -1;
int32_t merge_only_ctus = -1;
int32_t row_jitter_us = -1;

void apply_internal(param_t *p) {
  if (lowres_cu_search >= 0) p->lowres_cu_search = lowres_cu_search;
  if (merge_only_ctus >= 0) p->merge_only_ctus = merge_only_ctus;
  if (row_jitter_us >= 0) p->row_jitter_us = row_jitter_us;
}

// One NAME=VALUE; false for an unknown name or a malformed value.
bool take_internal(const char *arg) {
  const char *eq = std::strchr(arg, '=');
  if (!eq) return false;
  char *end = nullptr;
  const long v = std::strtol(eq + 1, &end, 10);
  if (end == eq + 1 || *end != '\0' || v < 0) return false;
  if (std::strncmp(arg, "row_jitter_us=", 14) == 0 && v <= 100000) {
    row_jitter_us = static_cast<int32_t>(v);
    return true;
  }
  if (v > 1) return false;
  if (std::strncmp(arg, "lowres_cu_search=", 17) == 0) {
    lowres_cu_search = static_cast<int32_t>(v);
    return true;
  }
  if (std::strncmp(arg, "merge_only_ctus=", 16) == 0) {
    merge_only_ctus = static_cast<int32_t>(v);
    return true;
  }
  return false;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<char *> args;
  for (int i = 0; i < argc; i++) {
    if (i > 0 && std::strcmp(argv[i], "--internal") == 0) {
      if (i + 1 >= argc || !take_internal(argv[i + 1])) {
        std::fprintf(stderr, "ziravov_internal: --internal takes lowres_cu_search=0|1, merge_only_ctus=0|1 or row_jitter_us=0-100000\n");
        return exit_bad_value;
      }
      i++;
      continue;
    }
    args.push_back(argv[i]);
  }
  args.push_back(nullptr);
  param_internal_override = apply_internal;
  cli_options_t cli;
  tarnhevcenc_param_t param;
  const parse_result_t parsed = parse_command_line(static_cast<int>(args.size()) - 1, args.data(), cli, param);
  if (parsed.stop) return parsed.exit_code;
  return run_session(cli, param);
}
