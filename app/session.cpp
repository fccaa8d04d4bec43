#include "session.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "exit_codes.h"
#include "file_identity.h"
#include "output_files.h"
#include "read_ahead.h"
#include "stats_file.h"

volatile std::sig_atomic_t interrupt_requested = 0;

namespace {
// SIGTERM (kill, shutdown) and SIGHUP (terminal closed) end a run just as
// Ctrl-C does: stop reading, flush, leave a complete stream.
constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};
} // namespace

extern "C" void on_interrupt(int sig) {
  interrupt_requested = sig;
  // A second signal ends the program at once, should the flush hang.
  std::signal(sig, SIG_DFL);
}

void install_interrupt_handler() {
  for (int sig : stop_signals)
    std::signal(sig, on_interrupt);
}

namespace {

struct session_t {
  const cli_options_t &cli;
  tarnhevcenc_param_t &param;
  encoder_ptr_t encoder;
  file_ptr_t output;
  recon_writer_t recon;
  stats_writer_t stats;
  bool write_stats = false;
  psnr_meter_t psnr;
  progress_t progress;
  bool write_failed = false;
  std::string write_failure;  // the first file that could not be written, and why

  session_t(const cli_options_t &c, tarnhevcenc_param_t &p, frame_rate_t fps) : cli(c), param(p), progress(fps) {}

  void failed_writing(const char *role, const std::string &path) {
    if (!write_failed)
      write_failure = std::string("the ") + role + " '" + path + "' cannot be written: " + std::strerror(errno);
    write_failed = true;
  }

  // Hands one picture (or the flush, planes == NULL) to the library and
  // takes what it returns.  Returns the byte count or -1.
  int encode(const uint8_t *const planes[3], const int32_t strides[3], int64_t pts) {
    tarnhevcenc_frame_opts_t opts;
    std::memset(&opts, 0, sizeof(opts));
    opts.size = sizeof(opts);
    const uint8_t *out = nullptr;
    const int n = tarnhevcenc_encode_frame(encoder.get(), planes, strides, pts, &opts, &out);
    if (n <= 0)
      return n;
    if (!out || std::fwrite(out, 1, static_cast<size_t>(n), output.get()) != static_cast<size_t>(n))
      failed_writing("output", cli.output_path);
    if (opts.recon[0] && opts.recon[1] && opts.recon[2]) {
      psnr.add(opts.psnr);
      if (!recon.add(opts.frame_number, opts.recon, opts.recon_stride))
        failed_writing("reconstruction file", cli.recon_path);
    }
    if (write_stats && !stats.append(param.stats_out))
      failed_writing("statistics file", cli.stats_path);
    progress.picture_done(static_cast<uint64_t>(n));
    return n;
  }
};

const char *rc_name(int32_t mode) {
  switch (mode) {
  case TARNHEVCENC_RC_CQP:
    return "cqp";
  case TARNHEVCENC_RC_ABR:
    return "abr";
  case TARNHEVCENC_RC_CBR:
    return "cbr";
  case TARNHEVCENC_RC_CRF:
    return "crf";
  case TARNHEVCENC_RC_LQP:
    return "lqp";
  }
  return "?";
}

// The values the library runs with (its `effective` report), not the ones
// asked for.
void print_settings(const cli_options_t &cli, const input_t &input, const tarnhevcenc_param_t &p) {
  const tarnhevcenc_effective_t &e = p.effective;
  std::printf("ziravov %s: %s (%s %dx%d, %d/%d fps) -> %s\n", tarnhevcenc_version(), cli.input_path.c_str(),
              input.is_y4m() ? "y4m" : "raw", input.width(), input.height(), e.fps_num, e.fps_den,
              cli.output_path.c_str());
  std::printf("complexity %d, tune %d, rc %s, qp %d, bitrate %d, crf %.1f, aq-mode %d, aq-strength %g, vbv %d/%d, keyint %d, min-keyint %d, bframes %d, "
              "threads %d, frame contexts %d, wpp %d, deblock %d, sao %d, compat %d, cpu flags %u, pass %d%s\n",
              e.complexity, p.tune, rc_name(e.rcmode), e.qp, e.bitrate, static_cast<double>(e.crf), e.aq_mode,
              static_cast<double>(p.aq_strength),
              e.vbv_maxrate, e.vbv_bufsize, e.idr_period, e.min_idr, e.bframes,
              e.threads, p.frame_contexts, e.wpp, e.deblock, e.sao, p.compat, e.cpu_flags, p.pass,
              p.random_decisions ? ", random decisions" : "");
  if (!cli.recon_path.empty())
    std::printf("reconstruction -> %s\n", cli.recon_path.c_str());
  std::fflush(stdout);
}

// A --seek that leaves no picture to encode, whether it ends exactly at the
// last picture or would go further.
void report_seek_past_end(const cli_options_t &cli, const input_t &input) {
  std::fprintf(stderr, "ziravov: --seek %lld skips past all %lld pictures of '%s'; nothing is left to encode\n",
               static_cast<long long>(cli.seek_frames), static_cast<long long>(input.pictures_read()),
               cli.input_path.c_str());
}

// Points descriptor fd at /dev/null.
void redirect_to_null(int fd) {
  const int null_fd = ::open("/dev/null", O_WRONLY);
  if (null_fd < 0)
    return;
  ::dup2(null_fd, fd);
  ::close(null_fd);
}

// The statistics file of a second pass, held against the input: a line per
// picture bounds what is read, and a file for fewer pictures than are to be
// coded (a first pass cut short) or for more than the input holds (another
// input) is refused before anything is written or encoded.  Returns an exit
// code; on 0 the file is in text.
int read_second_pass_stats(const cli_options_t &cli, input_t &input, std::string &text) {
  const char *path = cli.stats_path.c_str();
  const int64_t available = input.pictures_left();
  const int64_t to_code = cli.max_frames > 0 ? std::min<int64_t>(available, cli.max_frames) : available;
  switch (read_stats_file(cli.stats_path, stats_line_bytes * static_cast<uint64_t>(available + 1), text)) {
  case stats_read_t::ok:
    break;
  case stats_read_t::unreadable:
    std::fprintf(stderr, "ziravov: cannot read statistics file '%s': %s\n", path, std::strerror(errno));
    return exit_input_open;
  case stats_read_t::not_regular:
    std::fprintf(stderr, "ziravov: the statistics file '%s' is not a regular file (a pipe, a directory or a device)\n",
                 path);
    return exit_input_open;
  case stats_read_t::too_long:
    std::fprintf(stderr,
                 "ziravov: the statistics file '%s' is damaged: longer than the lines of the input's %lld pictures "
                 "can be\n",
                 path, static_cast<long long>(available));
    return exit_stats_mismatch;
  }
  // Without a header the library says what is wrong.
  if (text.compare(0, 6, "width=") != 0 || text.find('\n') == std::string::npos)
    return exit_ok;
  const long long lines = stats_picture_lines(text);
  if (lines > available) {
    std::fprintf(stderr, "ziravov: the statistics file '%s' holds %lld pictures, more than the %lld of the input: it was "
                 "written for another input\n", path, lines, static_cast<long long>(available));
    return exit_stats_mismatch;
  }
  if (lines < to_code) {
    std::fprintf(stderr, "ziravov: the statistics file '%s' holds %lld pictures, but %lld are to be coded: its first "
                 "pass stopped early or coded fewer (--frames); nothing is encoded\n", path, lines,
                 static_cast<long long>(to_code));
    return exit_stats_mismatch;
  }
  return exit_ok;
}

} // namespace

int run_session(const cli_options_t &cli, tarnhevcenc_param_t &param) {
  input_t input;
  input_settings_t in_settings{cli.input_path, cli.input_res, cli.fps};
  if (int rc = input.open(in_settings))
    return rc;
  param.width = input.width();
  param.height = input.height();
  param.fps_num = input.fps().num;
  param.fps_den = input.fps().den;

  const uint8_t *planes[3] = {nullptr, nullptr, nullptr};
  for (int64_t i = 0; i < cli.seek_frames; i++) {
    read_status_t st = input.next(planes, false);
    if (st == read_status_t::picture)
      continue;
    if (st == read_status_t::malformed)
      std::fprintf(stderr, "ziravov: input '%s': %s\n", cli.input_path.c_str(), input.message().c_str());
    else
      report_seek_past_end(cli, input);
    return exit_input_format;
  }

  // Creating the encoder for a file without a single picture would only
  // spend memory (a lone header may claim a huge picture size).
  if (const read_status_t st = input.peek(); st != read_status_t::picture) {
    if (st == read_status_t::malformed)
      std::fprintf(stderr, "ziravov: input '%s': %s\n", cli.input_path.c_str(), input.message().c_str());
    else if (cli.seek_frames > 0)
      report_seek_past_end(cli, input);
    else
      std::fprintf(stderr, "ziravov: input '%s' holds no complete picture to encode\n", cli.input_path.c_str());
    return exit_input_format;
  }

  // Checked before anything is opened for writing: truncating the mapped
  // input would end in SIGBUS and destroy it.
  std::vector<named_file_t> outputs{{"output", cli.output_path}};
  if (!cli.recon_path.empty())
    outputs.push_back({"reconstruction file", cli.recon_path});
  if (param.pass == 1)
    outputs.push_back({"statistics file", cli.stats_path});
  std::string clash = check_distinct_files({"input", cli.input_path}, outputs);
  // A second pass reads its statistics file: an input as well.
  if (clash.empty() && param.pass == 2)
    clash = check_distinct_files({"statistics file", cli.stats_path}, outputs);
  if (!clash.empty()) {
    std::fprintf(stderr, "ziravov: %s\n", clash.c_str());
    return exit_output_write;
  }

  session_t s(cli, param, input.fps());
  std::string stats_text;
  if (param.pass == 2) {
    if (const int rc = read_second_pass_stats(cli, input, stats_text))
      return rc;
    param.stats_in = stats_text.c_str();
  }

  // The pictures are read ahead from here on, beside the encoder's creation
  // and its work.
  read_ahead_t reader(input, cli.max_frames);

  // The encoder before the outputs: a run that cannot even create it leaves
  // no file behind and no existing one emptied.
  errno = 0;
  s.encoder.reset(tarnhevcenc_create(&param));
  if (!s.encoder) {
    if (errno == ENOMEM) {
      std::fprintf(stderr, "ziravov: memory ran out while creating the encoder for %dx%d pictures\n",
                   input.width(), input.height());
      return exit_encode_failed;
    }
    if (errno == EBADMSG) {
      std::fprintf(stderr, "ziravov: the statistics file '%s' is damaged or was written with other settings\n",
                   cli.stats_path.c_str());
      return exit_stats_mismatch;
    }
    if (errno == ERANGE) {
      std::fprintf(stderr,
                   "ziravov: --bitrate %d is too low for the second pass: the bits of the statistics file's pictures "
                   "that do not shrink with the QP already take more\n",
                   param.bitrate);
      return exit_encoder_create;
    }
    std::fprintf(stderr, "ziravov: the encoder could not be created with these settings\n");
    return exit_encoder_create;
  }

  // All or none: an output that cannot be opened leaves the others as they were.
  std::vector<output_file_t> files(outputs.size());
  for (size_t i = 0; i < outputs.size(); i++)
    files[i].path = outputs[i].path;
  const int failed = open_outputs_together(files);
  if (failed >= 0) {
    const named_file_t &f = outputs[static_cast<size_t>(failed)];
    std::fprintf(stderr, "ziravov: cannot open %s '%s': %s\n", f.role, f.path.c_str(), std::strerror(errno));
    return exit_output_write;
  }
  s.output = std::move(files[0].file);
  if (!cli.recon_path.empty())
    s.recon.open(std::move(files[1].file), input.width(), input.height());
  if (param.pass == 1) {
    s.stats.open(std::move(files.back().file));
    s.write_stats = true;
  }
  // An output on the file (or pipe) of standard output, such as /dev/stdout,
  // must not get the settings and progress lines inside it: they go to
  // standard error then, or nowhere when that is the same file too.
  if (same_open_file(s.output.get(), 1) || same_open_file(s.recon.file(), 1) ||
      same_open_file(s.stats.file(), 1)) {
    std::fflush(stdout);
    const bool stderr_too = same_open_file(s.output.get(), 2) || same_open_file(s.recon.file(), 2) ||
                            same_open_file(s.stats.file(), 2);
    if (stderr_too)
      redirect_to_null(2);
    ::dup2(2, 1);
  }
  install_interrupt_handler();
  print_settings(cli, input, param);
  // The record holds the values the library settled (buffer size, fill).
  const tarnhevcenc_effective_t &e = param.effective;
  s.progress.set_rate_targets(e.rcmode == TARNHEVCENC_RC_ABR || e.rcmode == TARNHEVCENC_RC_CBR ? e.bitrate : 0, e.vbv_maxrate, e.vbv_bufsize,
                              e.vbv_init);

  const int32_t strides[3] = {input.width(), input.width() / 2, input.width() / 2};
  int exit_code = exit_ok;
  int64_t fed = 0;
  while (!interrupt_requested && (cli.max_frames == 0 || fed < cli.max_frames)) {
    const read_status_t st = reader.next(planes);
    if (st == read_status_t::end)
      break;
    if (st == read_status_t::truncated) {
      std::fprintf(stderr, "ziravov: warning: input '%s': %s; it is not encoded\n", cli.input_path.c_str(),
                   reader.message().c_str());
      break;
    }
    if (st == read_status_t::malformed) {
      // Still flush below, so what was fed ends as a complete stream.
      std::fprintf(stderr, "ziravov: input '%s': %s\n", cli.input_path.c_str(), reader.message().c_str());
      exit_code = exit_input_format;
      break;
    }
    if (s.encode(planes, strides, fed) < 0) {
      std::fprintf(stderr, "ziravov: encoding failed at picture %lld\n", static_cast<long long>(fed));
      return exit_encode_failed;
    }
    fed++;
    if (s.write_failed)
      break;
  }
  if (fed == 0 && !interrupt_requested && exit_code == exit_ok) {
    std::fprintf(stderr, "ziravov: input '%s' holds no complete picture to encode\n", cli.input_path.c_str());
    exit_code = exit_input_format;
  }

  // Flush: the encoder holds pictures for its lookahead and frame contexts;
  // keep asking until it has nothing queued and nothing more comes back.
  auto last_progress = std::chrono::steady_clock::now();
  while (!s.write_failed) {
    const int n = s.encode(nullptr, nullptr, 0);
    if (n < 0) {
      std::fprintf(stderr, "ziravov: encoding failed while flushing\n");
      return exit_encode_failed;
    }
    if (n > 0) {
      last_progress = std::chrono::steady_clock::now();
      continue;
    }
    if (!tarnhevcenc_is_encoding(s.encoder.get()))
      break;
    // The library blocks for its pictures, so a long run of empty returns
    // while it claims to be busy is a stall, not slowness.
    if (std::chrono::steady_clock::now() - last_progress > std::chrono::minutes(10)) {
      std::fprintf(stderr, "ziravov: the encoder stopped returning pictures while flushing\n");
      return exit_encode_failed;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  // After a failed write nothing more is finished: the pictures still
  // waiting for the reconstruction file are dropped with the rest.
  if (!s.write_failed && !s.recon.finish())
    s.failed_writing("reconstruction file", cli.recon_path);
  if (!s.write_failed && !s.stats.close())
    s.failed_writing("statistics file", cli.stats_path);
  if (!s.write_failed && !close_checked(s.output))
    s.failed_writing("output", cli.output_path);
  if (s.write_failed) {
    std::fprintf(stderr, "ziravov: %s\n", s.write_failure.c_str());
    return exit_output_write;
  }
  s.encoder.reset();  // prints the library's end statistics when asked for
  s.progress.end_report(s.psnr, interrupt_requested != 0);
  if (exit_code != exit_ok)
    return exit_code;
  return interrupt_requested ? exit_signal_base + interrupt_requested : exit_ok;
}
