// One encoding run: owns the encoder handle and every file, takes the
// pictures the library returns and routes them to the output, the
// reconstruction file, the statistics file and the quality meter.
#ifndef ZIRAVOV_SESSION_H
#define ZIRAVOV_SESSION_H

#include <csignal>
#include <memory>

#include "file_handle.h"
#include "input.h"
#include "options.h"
#include "recon_writer.h"
#include "report.h"
#include "stats_file.h"
#include "tarnhevcenc.h"

// The number of the SIGINT, SIGTERM or SIGHUP received, else 0; the picture
// loop stops feeding input when set.
extern volatile std::sig_atomic_t interrupt_requested;
void install_interrupt_handler();

struct encoder_deleter_t {
  void operator()(tarnhevcenc_t *e) const { tarnhevcenc_destroy(e); }
};
using encoder_ptr_t = std::unique_ptr<tarnhevcenc_t, encoder_deleter_t>;

// Runs the whole encode; returns the process exit code.
int run_session(const cli_options_t &cli, tarnhevcenc_param_t &param);

#endif
