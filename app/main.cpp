// ziravov: command-line HEVC encoder on top of tarnhevcenc.
#include "exit_codes.h"
#include "options.h"
#include "session.h"

int main(int argc, char **argv) {
  cli_options_t cli;
  tarnhevcenc_param_t param;
  const parse_result_t parsed = parse_command_line(argc, argv, cli, param);
  if (parsed.stop)
    return parsed.exit_code;
  return run_session(cli, param);
}
