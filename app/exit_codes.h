// Process exit codes of ziravov: one per kind of failure, so scripts can tell
// a bad command line from a bad input file or a failing encoder.
#ifndef ZIRAVOV_EXIT_CODES_H
#define ZIRAVOV_EXIT_CODES_H

enum exit_code_t : int {
  exit_ok = 0,
  exit_usage = 1,          // unknown option, missing value or argument
  exit_bad_value = 2,      // an option value that is malformed or out of range
  exit_input_open = 3,     // input missing, unreadable, or not mappable
  exit_input_format = 4,   // input content or size information is invalid
  exit_output_write = 5,   // output, reconstruction or statistics file failed
  exit_encoder_create = 6, // the library refused the settings
  exit_encode_failed = 7,  // the library reported an error while encoding
                           // 8 is no longer given (it meant an option whose
                           // feature was missing); 9 keeps its meaning
  exit_stats_mismatch = 9, // --pass 2: the statistics file is damaged or
                           // was written with other settings
  exit_signal_base = 128   // + the number of SIGINT, SIGTERM or SIGHUP: the
                           // stream was flushed and is complete
};

#endif
