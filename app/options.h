// Command line of ziravov.  Parsing follows the library's order of
// precedence: complexity and tunes are read first, then the library's
// defaults are fetched, and every other option overwrites its field.
#ifndef ZIRAVOV_OPTIONS_H
#define ZIRAVOV_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>

#include "cli_parse.h"
#include "tarnhevcenc.h"

// Settings that belong to the program rather than to the encoder record.
struct cli_options_t {
  std::string input_path;
  std::string output_path;
  std::string recon_path;                  // empty: no reconstruction file
  std::string stats_path = "two-pass.log"; // used when pass is 1 or 2
  int64_t max_frames = 0;                  // 0: the whole input
  int64_t seek_frames = 0;
  std::optional<resolution_t> input_res;
  std::optional<frame_rate_t> fps;
  bool compat_given = false;
  bool cbr = false;  // --cbr: the --bitrate is a constant one
  bool qp_given = false;
  bool rc_mode_given = false;  // --bitrate, --crf or --lqp
};

struct parse_result_t {
  int exit_code = 0;     // exit_ok to go on encoding
  bool stop = false;     // --help / --version done, or an error: exit now
};

// Parses argv into the options and the encoder record (whose size field the
// function sets).  Messages go to stderr; help and version text to stdout.
parse_result_t parse_command_line(int argc, char **argv, cli_options_t &cli, tarnhevcenc_param_t &param);

#endif
