#include "options.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "exit_codes.h"

namespace {

enum class opt_id_t {
  complexity, tune, qp, bitrate, crf, lqp, vbv_maxrate, vbv_bufsize, vbv_init, qpmin, qpmax, qpstep, ipratio, pbratio,
  qcomp, aq_mode, aq_strength, frames, seek, threads, keyint, min_keyint, bframes, hierarchy, open_gop, no_open_gop, recon, input_res, fps,
  log_level, cpu_flags, compat, deblock, no_deblock, sao, no_sao, wpp, no_wpp, sign_hiding, no_sign_hiding, rdoq, no_rdoq, intra_nxn, no_intra_nxn, fast_intra, no_fast_intra, merange, subpel_planes, rc_lookahead, scenecut, no_scenecut, cutree, no_cutree, estimate_check, random_decisions, speed_mode, pass, stats, cbr,
  help, version
};

struct opt_def_t {
  const char *name;
  opt_id_t id;
  bool takes_value;
  const char *arg;  // placeholder shown in the help text
  const char *help;
};

constexpr opt_def_t opt_defs[] = {
    {"complexity", opt_id_t::complexity, true, "N", "preset 0 (fastest) .. 7 (best quality), default 4"},
    {"tune", opt_id_t::tune, true, "NAME", "zerolatency or lowdelay; repeat to combine"},
    {"qp", opt_id_t::qp, true, "N", "constant QP 0..51: constant-QP rate control unless --bitrate, --crf or\n"
                                    "                            --lqp chooses another mode (default 27)"},
    {"bitrate", opt_id_t::bitrate, true, "N", "average bitrate in kbit/s 1..2000000 (one pass)"},
    {"crf", opt_id_t::crf, true, "F", "constant rate factor 0..51: about constant quality, lower is better;\n"
                                      "                            the default mode, at 23"},
    {"lqp", opt_id_t::lqp, false, nullptr, "constant QP per picture type (--qp) with rate-controlled multipliers"},
    {"vbv-maxrate", opt_id_t::vbv_maxrate, true, "N", "VBV: buffer fill rate in kbit/s 1..2000000 (with --vbv-bufsize)"},
    {"vbv-bufsize", opt_id_t::vbv_bufsize, true, "N", "VBV: buffer size in kbit 1..2000000 (with --vbv-maxrate)"},
    {"vbv-init", opt_id_t::vbv_init, true, "F", "VBV: initial fill, a fraction 0..1 or above 1 in kbit (default 0.9)"},
    {"qpmin", opt_id_t::qpmin, true, "N", "lowest QP rate control may use, 0..51 (default 0)"},
    {"qpmax", opt_id_t::qpmax, true, "N", "highest QP rate control may use, 0..51 (default 51)"},
    {"qpstep", opt_id_t::qpstep, true, "N", "largest QP change between pictures of one type, 1..51 (default 4)"},
    {"ipratio", opt_id_t::ipratio, true, "F", "qscale ratio of P to I pictures 0.01..100 (default 1.4: I QP 3 lower)"},
    {"pbratio", opt_id_t::pbratio, true, "F", "qscale ratio of B to P pictures 0.01..100 (default 1.3: B QP 2 higher)"},
    {"qcomp", opt_id_t::qcomp, true, "F", "quantiser curve compression 0..1 (default 0.6)"},
    {"aq-mode", opt_id_t::aq_mode, true, "N", "adaptive quantisation: 0 off, 1 block energy, 2 relative energy\n"
                                              "                            (default 2 under --crf and --bitrate without VBV, else 0)"},
    {"aq-strength", opt_id_t::aq_strength, true, "F", "adaptive quantisation strength 0..3 (default 0.5)"},
    {"frames", opt_id_t::frames, true, "N", "encode at most N pictures (0: all)"},
    {"seek", opt_id_t::seek, true, "N", "skip the first N input pictures"},
    {"threads", opt_id_t::threads, true, "N", "working threads, 0 = number of processors"},
    {"keyint", opt_id_t::keyint, true, "N", "key-picture interval; 1 = all intra, 0 = only the first"},
    {"min-keyint", opt_id_t::min_keyint, true, "N", "minimum key-picture interval at scene cuts (default keyint / 10)"},
    {"bframes", opt_id_t::bframes, true, "N", "consecutive B pictures 0..16 (default 7)"},
    {"hierarchy", opt_id_t::hierarchy, true, "N", "B pyramid: 0 none, 1 middle reference B, 2 three levels (default)"},
    {"open-gop", opt_id_t::open_gop, false, nullptr, "key pictures are CRA with leading B pictures"},
    {"no-open-gop", opt_id_t::no_open_gop, false, nullptr, "closed GOPs: every key picture is an IDR (default)"},
    {"recon", opt_id_t::recon, true, "FILE", "write reconstructed pictures (raw 4:2:0, display order)"},
    {"input-res", opt_id_t::input_res, true, "WxH", "picture size of a raw input"},
    {"fps", opt_id_t::fps, true, "N[/D]", "frame rate (raw input default: from the name, else 25)"},
    {"log-level", opt_id_t::log_level, true, "N", "library log bits: 1 end statistics, 2 per-picture lines and memory by kind"},
    {"cpu-flags", opt_id_t::cpu_flags, true, "N", "mask of CPU features to use: 1 SSE4.1, 2 SSSE3, 4 AVX2"},
    {"compat", opt_id_t::compat, true, "N", "HM compatibility 91, 100 or 120 (default: from an output name\n"
                                            "                            token hm91/hm10/hm12, else the library's)"},
    {"deblock", opt_id_t::deblock, false, nullptr, "enable the deblocking filter"},
    {"no-deblock", opt_id_t::no_deblock, false, nullptr, "disable the deblocking filter"},
    {"sao", opt_id_t::sao, false, nullptr, "enable sample adaptive offset"},
    {"no-sao", opt_id_t::no_sao, false, nullptr, "disable sample adaptive offset"},
    {"wpp", opt_id_t::wpp, false, nullptr, "enable wavefront parallel processing"},
    {"no-wpp", opt_id_t::no_wpp, false, nullptr, "disable wavefront parallel processing"},
    {"intra-nxn", opt_id_t::intra_nxn, false, nullptr, "allow 4x4 intra prediction units (default)"},
    {"no-intra-nxn", opt_id_t::no_intra_nxn, false, nullptr, "no 4x4 intra prediction units"},
    {"fast-intra", opt_id_t::fast_intra, false, nullptr, "fast intra search on the half-resolution picture"},
    {"no-fast-intra", opt_id_t::no_fast_intra, false, nullptr, "full-resolution intra search (preset default: on below 3)"},
    {"merange", opt_id_t::merange, true, "N", "motion-search range in samples 4..512 (default: the preset's)"},
    {"subpel-planes", opt_id_t::subpel_planes, true, "N",
     "sub-sample planes of reference pictures: 0 none, 1 half-sample only, 2 all\n"
     "                            (default: the preset's; the stream is the same, only speed and memory change)"},
    {"rc-lookahead", opt_id_t::rc_lookahead, true, "N", "pictures the lookahead sees ahead 0..250 (default 20)"},
    {"scenecut", opt_id_t::scenecut, true, "N", "scene-cut sensitivity 0..100, default 40 (0: key pictures by period only)"},
    {"no-scenecut", opt_id_t::no_scenecut, false, nullptr, "no scene-cut detection (as --scenecut 0)"},
    {"cutree", opt_id_t::cutree, false, nullptr, "lower the QP of blocks later pictures predict from, with --aq-mode 1 or 2 (default)"},
    {"no-cutree", opt_id_t::no_cutree, false, nullptr, "no CU-tree QP offsets"},
    {"sign-hiding", opt_id_t::sign_hiding, false, nullptr, "sign data hiding (default)"},
    {"no-sign-hiding", opt_id_t::no_sign_hiding, false, nullptr, "code every sign"},
    {"rdoq", opt_id_t::rdoq, false, nullptr, "rate-distortion optimised quantisation (default)"},
    {"no-rdoq", opt_id_t::no_rdoq, false, nullptr, "plain quantisation"},
    {"estimate-check", opt_id_t::estimate_check, false, nullptr,
     "test only: with --log-level 2, print each picture's estimated and coded slice bits"},
    {"random-decisions", opt_id_t::random_decisions, true, "SEED",
     "test only: make every coding decision at random (0 = off)"},
    {"speed-mode", opt_id_t::speed_mode, true, "N",
     "test only: force the real-time speed mode 0-3 (default: chosen by --tune zerolatency),\n"
     "                            or up to 8 runs MxN,... (N pictures of mode M, in coding order,\n"
     "                            repeated: 3x12,0x20)"},
    {"cbr", opt_id_t::cbr, false, nullptr, "constant bitrate at --bitrate: about the same bits every second"},
    {"pass", opt_id_t::pass, true, "N", "two-pass encoding: 1 writes the statistics file, 2 reads it and plans\n"
                                        "                            the whole sequence at --bitrate (same settings as pass 1)"},
    {"stats", opt_id_t::stats, true, "FILE", "two-pass statistics file (default two-pass.log)"},
    {"help", opt_id_t::help, false, nullptr, "show this text"},
    {"version", opt_id_t::version, false, nullptr, "show the library version and build information"},
};

constexpr const char *usage_line = "usage: ziravov [options] <input_filename> [<output_filename>]";

struct given_opt_t {
  const opt_def_t *def;
  std::string value;
  std::string spelled;  // as written, for messages
};

void print_help() {
  std::printf("%s\n\n", usage_line);
  std::printf("Encodes a YUV4MPEG2 or raw planar 8-bit 4:2:0 file to an HEVC Annex B stream.\n"
              "The output name defaults to the input name with its extension replaced by .hevc.\n"
              "A raw input needs its size from --input-res or from its name (e.g. clip_352x288_30.yuv).\n\n"
              "Options (--opt N or --opt=N):\n");
  for (const opt_def_t &d : opt_defs) {
    std::string left = std::string("--") + d.name;
    if (d.takes_value)
      left += std::string(" ") + d.arg;
    std::printf("  %-26s%s\n", left.c_str(), d.help);
  }
  std::printf("\nExit codes: 0 ok, 1 usage, 2 invalid option value, 3 cannot open or read input,\n"
              "4 invalid input, 5 cannot write output, 6 encoder creation failed, 7 encoding failed,\n"
              "9 statistics file damaged or from other settings,\n"
              "128 + signal number after SIGINT (130), SIGTERM (143) or SIGHUP (129)\n"
              "(the stream written so far is complete).\n");
}

void usage_error(const char *fmt, const std::string &what) {
  std::fprintf(stderr, "ziravov: ");
  std::fprintf(stderr, fmt, what.c_str());
  std::fprintf(stderr, "\n%s\nTry 'ziravov --help' for more information.\n", usage_line);
}

void value_error(const given_opt_t &g, const char *expected) {
  std::fprintf(stderr, "ziravov: invalid value '%s' for --%s: expected %s\n", g.value.c_str(), g.def->name,
               expected);
}

// Integer option in [lo, hi]; on failure reports and returns nullopt.
std::optional<int32_t> int_value(const given_opt_t &g, int64_t lo, int64_t hi, const char *expected) {
  auto v = parse_int_strict(g.value, lo, hi);
  if (!v) {
    value_error(g, expected);
    return std::nullopt;
  }
  return static_cast<int32_t>(*v);
}

// Decimal option in [lo, hi]; on failure reports and returns nullopt.
std::optional<float> float_value(const given_opt_t &g, double lo, double hi, const char *expected) {
  auto v = parse_decimal_strict(g.value, lo, hi);
  if (!v) {
    value_error(g, expected);
    return std::nullopt;
  }
  return static_cast<float>(*v);
}

// A speed mode 0-3, or runs MxN,... of N pictures of mode M each.
bool speed_mode_value(const given_opt_t &g, tarnhevcenc_param_t &p) {
  const std::string_view text = g.value;
  if (text.find_first_of("x,") == std::string_view::npos) {
    const auto v = int_value(g, 0, 3, "0, 1, 2 or 3, or runs MxN,... (3x12,0x20)");
    if (v) p.speed_mode = *v;
    return v.has_value();
  }
  int32_t n = 0;
  for (size_t pos = 0; pos <= text.size();) {
    const size_t comma = std::min(text.find(',', pos), text.size());
    const std::string_view run = text.substr(pos, comma - pos);
    const size_t x = run.find('x');
    const auto mode = x == std::string_view::npos ? std::nullopt : parse_int_strict(run.substr(0, x), 0, 3);
    const auto length = x == std::string_view::npos ? std::nullopt : parse_int_strict(run.substr(x + 1), 1, 65535);
    if (!mode || !length || n == TARNHEVCENC_SPEED_MODE_RUNS_MAX) {
      value_error(g, "0, 1, 2 or 3, or up to 8 runs MxN,... (mode 0-3, 1..65535 pictures: 3x12,0x20)");
      return false;
    }
    p.speed_mode_run_mode[n] = static_cast<int32_t>(*mode);
    p.speed_mode_run_length[n++] = static_cast<int32_t>(*length);
    pos = comma + 1;
  }
  p.speed_mode_runs = n;
  return true;
}

// One rate-control mode per command line: a second, different one is an
// error rather than a silent override.  --qp alone is no such option: it
// gives LQP its QP too.
bool set_rc_mode(const given_opt_t &g, cli_options_t &cli, tarnhevcenc_param_t &p, int32_t mode) {
  if (cli.rc_mode_given && p.rcmode != mode) {
    std::fprintf(stderr, "ziravov: --%s cannot be combined with another rate-control mode "
                         "(--bitrate, --crf, --lqp)\n", g.def->name);
    return false;
  }
  cli.rc_mode_given = true;
  p.rcmode = mode;
  return true;
}

// Applies one option other than complexity and tune; false on a bad value.
bool apply_option(const given_opt_t &g, cli_options_t &cli, tarnhevcenc_param_t &p) {
  std::optional<int32_t> v;
  std::optional<float> f;
  switch (g.def->id) {
  case opt_id_t::complexity:
  case opt_id_t::tune:
  case opt_id_t::help:
  case opt_id_t::version:
    return true;
  case opt_id_t::qp:
    if (!(v = int_value(g, 0, 51, "an integer 0..51")))
      return false;
    p.qp = *v;
    cli.qp_given = true;
    return true;
  case opt_id_t::bitrate:
    if (!(v = int_value(g, 1, 2000000, "kbit/s 1..2000000")))
      return false;
    p.bitrate = *v;
    return set_rc_mode(g, cli, p, TARNHEVCENC_RC_ABR);
  case opt_id_t::crf:
    if (!(f = float_value(g, 0, 51, "a number 0..51")))
      return false;
    p.crf = *f;
    return set_rc_mode(g, cli, p, TARNHEVCENC_RC_CRF);
  case opt_id_t::lqp:
    return set_rc_mode(g, cli, p, TARNHEVCENC_RC_LQP);
  case opt_id_t::cbr:
    cli.cbr = true;
    return true;
  case opt_id_t::vbv_maxrate:
    if (!(v = int_value(g, 1, 2000000, "kbit/s 1..2000000")))
      return false;
    p.vbv_maxrate = *v;
    return true;
  case opt_id_t::vbv_bufsize:
    if (!(v = int_value(g, 1, 2000000, "kbit 1..2000000")))
      return false;
    p.vbv_bufsize = *v;
    return true;
  case opt_id_t::vbv_init:
    if (!(f = float_value(g, 0, 2000000, "a fraction 0..1, or kbit up to 2000000")))
      return false;
    p.vbv_init = *f;
    return true;
  case opt_id_t::qpmin:
    if (!(v = int_value(g, 0, 51, "an integer 0..51")))
      return false;
    p.qp_min = *v;
    return true;
  case opt_id_t::qpmax:
    if (!(v = int_value(g, 0, 51, "an integer 0..51")))
      return false;
    p.qp_max = *v;
    return true;
  case opt_id_t::qpstep:
    if (!(v = int_value(g, 1, 51, "an integer 1..51")))
      return false;
    p.qp_step = *v;
    return true;
  case opt_id_t::ipratio:
    if (!(f = float_value(g, 0.01, 100, "a number 0.01..100")))
      return false;
    p.ip_factor = *f;
    return true;
  case opt_id_t::pbratio:
    if (!(f = float_value(g, 0.01, 100, "a number 0.01..100")))
      return false;
    p.pb_factor = *f;
    return true;
  case opt_id_t::qcomp:
    if (!(f = float_value(g, 0, 1, "a number 0..1")))
      return false;
    p.qcompress = *f;
    return true;
  case opt_id_t::aq_mode:
    if (!(v = int_value(g, 0, 2, "0, 1 or 2")))
      return false;
    p.aq_mode = *v;
    return true;
  case opt_id_t::aq_strength:
    if (!(f = float_value(g, 0, 3, "a number 0..3")))
      return false;
    p.aq_strength = *f;
    return true;
  case opt_id_t::frames: {
    auto n = parse_int_strict(g.value, 0, INT32_MAX);
    if (!n) {
      value_error(g, "a picture count 0..2147483647");
      return false;
    }
    cli.max_frames = *n;
    return true;
  }
  case opt_id_t::seek: {
    auto n = parse_int_strict(g.value, 0, INT32_MAX);
    if (!n) {
      value_error(g, "a picture count 0..2147483647");
      return false;
    }
    cli.seek_frames = *n;
    return true;
  }
  case opt_id_t::threads:
    if (!(v = int_value(g, 0, 1024, "an integer 0..1024")))
      return false;
    p.threads = *v;
    return true;
  case opt_id_t::keyint:
    if (!(v = int_value(g, 0, TARNHEVCENC_MAX_KEYINT, "an integer 0..1073741824")))
      return false;
    p.idr_period = *v;
    return true;
  case opt_id_t::min_keyint:
    if (!(v = int_value(g, 0, INT32_MAX, "a non-negative integer")))
      return false;
    p.min_idr = *v;
    return true;
  case opt_id_t::merange:
    if (!(v = int_value(g, 4, 512, "an integer 4..512")))
      return false;
    p.search_range = *v;
    return true;
  case opt_id_t::subpel_planes:
    if (!(v = int_value(g, 0, 2, "an integer 0..2")))
      return false;
    p.subpel_planes = *v;
    return true;
  case opt_id_t::rc_lookahead:
    if (!(v = int_value(g, 0, 250, "an integer 0..250")))
      return false;
    p.lookahead = *v;
    return true;
  case opt_id_t::scenecut:
    if (!(v = int_value(g, 0, 100, "an integer 0..100")))
      return false;
    p.scenecut = *v;
    return true;
  case opt_id_t::no_scenecut:
    p.scenecut = 0;
    return true;
  case opt_id_t::cutree:
    p.cutree = 1;
    return true;
  case opt_id_t::no_cutree:
    p.cutree = 0;
    return true;
  case opt_id_t::bframes:
    if (!(v = int_value(g, 0, 16, "an integer 0..16")))
      return false;
    p.bframes = *v;
    return true;
  case opt_id_t::hierarchy:
    if (!(v = int_value(g, 0, 2, "an integer 0..2")))
      return false;
    p.hierarchy = *v;
    return true;
  case opt_id_t::open_gop:
    p.opengop = 1;
    return true;
  case opt_id_t::no_open_gop:
    p.opengop = 0;
    return true;
  case opt_id_t::recon:
    if (g.value.empty()) {
      value_error(g, "a file name");
      return false;
    }
    cli.recon_path = g.value;
    return true;
  case opt_id_t::input_res: {
    auto r = parse_resolution(g.value);
    std::string why = r ? validate_picture_size(r->width, r->height) : std::string();
    if (!r || !why.empty()) {
      if (r)
        std::fprintf(stderr, "ziravov: invalid value '%s' for --input-res: %s\n", g.value.c_str(), why.c_str());
      else
        value_error(g, "WxH with even positive integers");
      return false;
    }
    cli.input_res = r;
    return true;
  }
  case opt_id_t::fps: {
    auto f = parse_frame_rate(g.value);
    if (!f) {
      value_error(g, "N or N/D with positive integers");
      return false;
    }
    cli.fps = f;
    return true;
  }
  case opt_id_t::log_level:
    if (!(v = int_value(g, 0, 255, "an integer 0..255")))
      return false;
    p.log_level = *v;
    return true;
  case opt_id_t::cpu_flags:
    if (!(v = int_value(g, 0, 7, "a bit mask 0..7")))
      return false;
    // A mask only: setting a bit the processor lacks would run illegal
    // instructions, so detected features can be removed but never added.
    p.cpu_flags &= static_cast<uint32_t>(*v);
    return true;
  case opt_id_t::compat:
    if (!(v = int_value(g, 91, 120, "91, 100 or 120")) || (*v != 91 && *v != 100 && *v != 120)) {
      if (v)
        value_error(g, "91, 100 or 120");
      return false;
    }
    p.compat = *v;
    cli.compat_given = true;
    return true;
  case opt_id_t::deblock:
    p.deblock = 1;
    return true;
  case opt_id_t::no_deblock:
    p.deblock = 0;
    return true;
  case opt_id_t::sao:
    p.sao = 1;
    return true;
  case opt_id_t::no_sao:
    p.sao = 0;
    return true;
  case opt_id_t::wpp:
    p.wpp = 1;
    return true;
  case opt_id_t::no_wpp:
    p.wpp = 0;
    return true;
  case opt_id_t::intra_nxn:
    p.intra_nxn = 1;
    return true;
  case opt_id_t::no_intra_nxn:
    p.intra_nxn = 0;
    return true;
  case opt_id_t::fast_intra:
    p.intra_fast_path = 1;
    return true;
  case opt_id_t::no_fast_intra:
    p.intra_fast_path = 0;
    return true;
  case opt_id_t::sign_hiding:
    p.sign_hiding = 1;
    return true;
  case opt_id_t::no_sign_hiding:
    p.sign_hiding = 0;
    return true;
  case opt_id_t::rdoq:
    p.rdoq = 1;
    return true;
  case opt_id_t::no_rdoq:
    p.rdoq = 0;
    return true;
  case opt_id_t::estimate_check:
    p.estimate_check = 1;
    return true;
  case opt_id_t::random_decisions:
    if (!(v = int_value(g, 0, INT32_MAX, "a seed 0..2147483647")))
      return false;
    p.random_decisions = *v;
    return true;
  case opt_id_t::speed_mode:
    return speed_mode_value(g, p);
  case opt_id_t::pass:
    if (!(v = int_value(g, 0, 2, "0, 1 or 2")))
      return false;
    p.pass = *v;
    return true;
  case opt_id_t::stats:
    if (g.value.empty()) {
      value_error(g, "a file name");
      return false;
    }
    cli.stats_path = g.value;
    return true;
  }
  return true;
}

} // namespace

parse_result_t parse_command_line(int argc, char **argv, cli_options_t &cli, tarnhevcenc_param_t &param) {
  std::vector<given_opt_t> given;
  std::vector<std::string> positional;
  bool help = false, version = false, options_done = false;

  for (int i = 1; i < argc; i++) {
    std::string_view arg = argv[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      positional.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "-h") {
      help = true;
      continue;
    }
    if (arg.substr(0, 2) != "--") {
      usage_error("unknown option '%s'", std::string(arg));
      return {exit_usage, true};
    }
    std::string_view body = arg.substr(2);
    std::optional<std::string_view> inline_value;
    if (size_t eq = body.find('='); eq != std::string_view::npos) {
      inline_value = body.substr(eq + 1);
      body = body.substr(0, eq);
    }
    const opt_def_t *def = nullptr;
    for (const opt_def_t &d : opt_defs)
      if (body == d.name)
        def = &d;
    if (!def) {
      usage_error("unknown option '%s'", std::string(arg));
      return {exit_usage, true};
    }
    given_opt_t g{def, {}, std::string(arg)};
    if (def->takes_value) {
      if (inline_value) {
        g.value = *inline_value;
      } else if (i + 1 < argc) {
        g.value = argv[++i];
      } else {
        usage_error("option '%s' needs a value", "--" + std::string(def->name));
        return {exit_usage, true};
      }
    } else if (inline_value) {
      usage_error("option '%s' takes no value", "--" + std::string(def->name));
      return {exit_usage, true};
    }
    help |= def->id == opt_id_t::help;
    version |= def->id == opt_id_t::version;
    given.push_back(std::move(g));
  }

  if (help) {
    print_help();
    return {exit_ok, true};
  }
  if (version) {
    std::printf("ziravov, tarnhevcenc %s\n%s\n", tarnhevcenc_version(), tarnhevcenc_buildinfo());
    return {exit_ok, true};
  }
  if (positional.empty()) {
    usage_error("%s", "missing input file name");
    return {exit_usage, true};
  }
  if (positional.size() > 2) {
    usage_error("unexpected argument '%s'", positional[2]);
    return {exit_usage, true};
  }

  // The library ranks preset and tunes below every explicit field, so they are
  // settled before the defaults are fetched.
  int32_t complexity = -1, tune = 0;
  for (const given_opt_t &g : given) {
    if (g.def->id == opt_id_t::complexity) {
      auto v = int_value(g, 0, 7, "an integer 0..7");
      if (!v)
        return {exit_bad_value, true};
      complexity = *v;
    } else if (g.def->id == opt_id_t::tune) {
      int32_t bit = tune_bit_from_name(g.value);
      if (!bit) {
        value_error(g, "zerolatency or lowdelay");
        return {exit_bad_value, true};
      }
      tune |= bit;
    }
  }

  std::memset(&param, 0, sizeof(param));
  param.size = sizeof(param);
  if (tarnhevcenc_default_param(&param) != 0) {
    std::fprintf(stderr, "ziravov: the encoder library rejected the parameter record\n");
    return {exit_encoder_create, true};
  }
  if (complexity >= 0)
    param.complexity = complexity;
  param.tune |= tune;

  for (const given_opt_t &g : given)
    if (!apply_option(g, cli, param))
      return {exit_bad_value, true};

  // The library's default mode is a rate factor; a QP given alone asks for
  // constant-QP coding instead.
  if (cli.qp_given && !cli.rc_mode_given)
    param.rcmode = TARNHEVCENC_RC_CQP;

  cli.input_path = positional[0];
  cli.output_path = positional.size() > 1 ? positional[1] : default_output_name(cli.input_path);
  if (!cli.compat_given) {
    if (int32_t compat = compat_from_file_name(cli.output_path))
      param.compat = compat;
  }
  if (param.qp_min > param.qp_max) {
    std::fprintf(stderr, "ziravov: --qpmin %d is above --qpmax %d\n", param.qp_min, param.qp_max);
    return {exit_bad_value, true};
  }
  if ((param.vbv_maxrate > 0) != (param.vbv_bufsize > 0)) {
    std::fprintf(stderr, "ziravov: --vbv-maxrate and --vbv-bufsize are needed together\n");
    return {exit_bad_value, true};
  }
  if (cli.cbr) {
    if (param.rcmode != TARNHEVCENC_RC_ABR) {
      std::fprintf(stderr, "ziravov: --cbr needs --bitrate (and no --crf or --lqp)\n");
      return {exit_bad_value, true};
    }
    if (param.pass == 2) {
      std::fprintf(stderr, "ziravov: --pass 2 plans an average bitrate; it cannot be combined with --cbr\n");
      return {exit_bad_value, true};
    }
    param.rcmode = TARNHEVCENC_RC_CBR;
  }
  if (param.pass == 2 && param.rcmode != TARNHEVCENC_RC_ABR) {
    std::fprintf(stderr, "ziravov: --pass 2 needs --bitrate\n");
    return {exit_bad_value, true};
  }
  return {exit_ok, false};
}
