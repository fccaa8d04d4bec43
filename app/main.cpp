// ziravov: command-line HEVC encoder on top of tarnhevcenc.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <new>
#include <unistd.h>

#include "exit_codes.h"
#include "options.h"
#include "session.h"

namespace {

// A descriptor among 0-2 that the caller closed would be handed to the first
// file opened, and the settings text printed to stdout would land inside the
// output stream.  /dev/null takes each closed slot first.
void reserve_standard_descriptors() {
  for (int fd = 0; fd <= 2; fd++) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
      continue;
    const int got = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (got != fd) {
      // Nowhere safe to write anything; a closed stdout must not become the
      // stream.
      if (got >= 0)
        ::close(got);
      ::_exit(exit_output_write);
    }
  }
}

} // namespace

int main(int argc, char **argv) {
  reserve_standard_descriptors();
  // A pipe whose reader quits must end in a write error that is reported
  // (exit 5 for an output), not in a silent death; standard output's reader
  // quitting costs only the settings and progress lines.
  std::signal(SIGPIPE, SIG_IGN);
  cli_options_t cli;
  tarnhevcenc_param_t param;
  const parse_result_t parsed = parse_command_line(argc, argv, cli, param);
  if (parsed.stop)
    return parsed.exit_code;
  // The library allocates only at creation; the program's own bookkeeping
  // (pictures waiting for their turn in display order) may still run out.
  try {
    return run_session(cli, param);
  } catch (const std::bad_alloc &) {
    std::fprintf(stderr, "ziravov: out of memory while encoding\n");
    return exit_encode_failed;
  }
}
