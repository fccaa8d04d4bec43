// Mutated YUV4MPEG2 inputs against the command-line program: random bytes in
// the stream header and the FRAME lines, numbers at their limits, missing and
// extra fields, cut files.  Every run must end with exit 0 (a usable input)
// or exit 4 with a message -- never a crash, a hang, a sanitizer report or
// any other code.  Cases run in parallel child processes with a memory and a
// time limit.
//
// usage: y4m_header_fuzz ZIRAVOV SCRATCH_DIR CASES [SEED]
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

using bytes_t = std::string;

const char *const limit_numbers[] = {"0",          "-1",         "1",          "2",    "3",     "8",
                                     "16888",      "16890",      "35651584",   "65536", "2147483647",
                                     "2147483648", "4294967296", "99999999999999999999", "",  "+16",
                                     "0x10",       "16.0",       "1e3",        "-0",   "00016"};

struct fuzzer_t {
  std::mt19937_64 rng;
  explicit fuzzer_t(uint64_t seed) : rng(seed) {}
  size_t below(size_t n) { return n ? static_cast<size_t>(rng() % n) : 0; }
  char any_byte() { return static_cast<char>(rng() & 0xff); }

  // A valid two-picture 16x16 file: header, then FRAME lines and samples.
  bytes_t base() {
    static const char *const headers[] = {"YUV4MPEG2 W16 H16 F25:1 Ip A1:1 C420jpeg",
                                          "YUV4MPEG2 W16 H8 F30000:1001 C420",
                                          "YUV4MPEG2 W8 H16 F25:1 Ip XYSCSS=420JPEG", "YUV4MPEG2 H16 W16"};
    const char *h = headers[below(4)];
    bytes_t file = std::string(h) + "\n";
    const bool wide = file.find("W16") != bytes_t::npos && file.find("H16") != bytes_t::npos;
    const size_t picture = wide ? 384 : 192;
    for (int p = 0; p < 2; p++) {
      file += below(4) == 0 ? "FRAME Ixyz\n" : "FRAME\n";
      for (size_t i = 0; i < picture; i++) file += static_cast<char>((i * 7 + p * 13) & 0xff);
    }
    return file;
  }

  // Offsets of the header line's end and of the FRAME lines.
  static std::vector<size_t> line_starts(const bytes_t &f) {
    std::vector<size_t> starts{0};
    for (size_t at = f.find("FRAME"); at != bytes_t::npos; at = f.find("FRAME", at + 1)) starts.push_back(at);
    return starts;
  }

  void mutate_once(bytes_t &f) {
    const std::vector<size_t> starts = line_starts(f);
    const size_t line = starts[below(starts.size())];
    size_t eol = f.find('\n', line);
    if (eol == bytes_t::npos) eol = f.size();
    const size_t len = eol - line;
    switch (below(9)) {
    case 0:  // random bytes in a header line
      for (size_t k = 0, n = 1 + below(4); k < n && len; k++) f[line + below(len)] = any_byte();
      break;
    case 1: {  // a number at a limit
      std::vector<size_t> digits;
      for (size_t i = line; i < eol; i++)
        if (f[i] >= '0' && f[i] <= '9' && (i == line || f[i - 1] < '0' || f[i - 1] > '9')) digits.push_back(i);
      if (digits.empty()) break;
      const size_t at = digits[below(digits.size())];
      size_t end = at;
      while (end < f.size() && f[end] >= '0' && f[end] <= '9') end++;
      f.replace(at, end - at, limit_numbers[below(std::size(limit_numbers))]);
      break;
    }
    case 2: {  // a field removed
      const size_t sp = f.find(' ', line);
      if (sp == bytes_t::npos || sp >= eol) break;
      size_t from = sp;
      for (size_t k = below(6); k > 0; k--) {
        const size_t next = f.find(' ', from + 1);
        if (next == bytes_t::npos || next >= eol) break;
        from = next;
      }
      size_t to = f.find(' ', from + 1);
      if (to == bytes_t::npos || to > eol) to = eol;
      f.erase(from, to - from);
      break;
    }
    case 3: {  // a field added
      static const char tags[] = "WHFIACXZ";
      bytes_t field = " ";
      field += tags[below(8)];
      for (size_t k = below(12); k > 0; k--) field += below(3) ? static_cast<char>('0' + below(10)) : any_byte();
      f.insert(eol, field);
      break;
    }
    case 4:  // the file cut anywhere
      f.resize(below(f.size() + 1));
      break;
    case 5: {  // line end changed: CR LF, none, doubled
      const int kind = static_cast<int>(below(3));
      if (eol >= f.size()) break;
      if (kind == 0) f.insert(eol, "\r");
      else if (kind == 1) f.erase(eol, 1);
      else f.insert(eol, "\n");
      break;
    }
    case 6:  // bytes inserted or removed in a header line
      if (below(2)) f.insert(line + below(len + 1), 1 + below(3), any_byte());
      else if (len) f.erase(line + below(len), 1 + below(3));
      break;
    case 7:  // separators changed
      for (size_t i = line; i < eol; i++)
        if (f[i] == ' ' && below(2)) f[i] = "\t  \0"[below(4)];
      break;
    default: {  // a huge or empty line
      f.insert(line + below(len + 1), below(2) ? bytes_t(5000, 'W') : bytes_t(below(64), ' '));
      break;
    }
    }
  }

  bytes_t make() {
    bytes_t f = base();
    for (size_t k = 1 + below(3); k > 0; k--) mutate_once(f);
    return f;
  }
};

bool write_file(const std::string &path, const bytes_t &data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct slot_t {
  pid_t pid = 0;
  int case_index = -1;
  std::chrono::steady_clock::time_point started;
};

} // namespace

int main(int argc, char **argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s ZIRAVOV SCRATCH_DIR CASES [SEED]\n", argv[0]);
    return 2;
  }
  const std::string ziravov = argv[1], dir = argv[2];
  const int cases = std::atoi(argv[3]);
  const uint64_t seed = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 20261207;
  ::mkdir(dir.c_str(), 0755);
  // AddressSanitizer reserves terabytes of address space; the memory limit
  // applies to plain builds only.
  const bool sanitized = std::getenv("FUZZ_NO_MEMORY_LIMIT") != nullptr;
  long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
  const int jobs = static_cast<int>(cpus > 0 ? cpus : 4);
  constexpr int wall_limit_s = 30;

  fuzzer_t fuzz(seed);
  std::vector<slot_t> slots(static_cast<size_t>(jobs));
  std::vector<bytes_t> inputs(static_cast<size_t>(jobs));
  int next_case = 0, done = 0, failures = 0, accepted = 0;
  auto path = [&](size_t s, const char *ext) { return dir + "/slot" + std::to_string(s) + ext; };

  auto fail = [&](size_t s, const std::string &why) {
    failures++;
    const std::string keep = dir + "/fail_" + std::to_string(slots[s].case_index) + ".y4m";
    write_file(keep, inputs[s]);
    if (failures <= 20) std::printf("FAIL case %d (%s): %s\n", slots[s].case_index, keep.c_str(), why.c_str());
  };

  while (done < cases) {
    for (size_t s = 0; s < slots.size() && next_case < cases; s++) {
      if (slots[s].pid) continue;
      inputs[s] = fuzz.make();
      if (!write_file(path(s, ".y4m"), inputs[s])) {
        std::fprintf(stderr, "cannot write to %s\n", dir.c_str());
        return 2;
      }
      const pid_t pid = ::fork();
      if (pid == 0) {
        if (!sanitized) {
          const rlimit mem{512u << 20, 512u << 20};
          ::setrlimit(RLIMIT_AS, &mem);
        }
        const rlimit cpu{20, 20};
        ::setrlimit(RLIMIT_CPU, &cpu);
        const int null_fd = ::open("/dev/null", O_RDWR);
        const int err_fd = ::open(path(s, ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(null_fd, 0);
        ::dup2(null_fd, 1);
        ::dup2(err_fd, 2);
        const std::string in = path(s, ".y4m"), out = path(s, ".hevc");
        ::execl(ziravov.c_str(), ziravov.c_str(), "--complexity", "0", "--threads", "1", "--frames", "2",
                in.c_str(), out.c_str(), static_cast<char *>(nullptr));
        ::_exit(127);
      }
      if (pid < 0) {
        std::perror("fork");
        return 2;
      }
      slots[s] = {pid, next_case++, std::chrono::steady_clock::now()};
    }
    int status = 0;
    const pid_t pid = ::waitpid(-1, &status, WNOHANG);
    if (pid <= 0) {
      // Nothing ended yet: stop any child that outlived the wall limit.
      const auto now = std::chrono::steady_clock::now();
      for (slot_t &sl : slots)
        if (sl.pid && now - sl.started > std::chrono::seconds(wall_limit_s)) ::kill(sl.pid, SIGKILL);
      ::usleep(500);
      continue;
    }
    size_t s = 0;
    while (s < slots.size() && slots[s].pid != pid) s++;
    if (s == slots.size()) continue;
    done++;
    const std::string err = read_file(path(s, ".err"));
    if (err.find("Sanitizer") != std::string::npos || err.find("runtime error") != std::string::npos)
      fail(s, "sanitizer report: " + err.substr(0, 300));
    else if (WIFSIGNALED(status))
      fail(s, "ended by signal " + std::to_string(WTERMSIG(status)) + " (9: over the time limit)");
    else if (WEXITSTATUS(status) == 0)
      accepted++;
    else if (WEXITSTATUS(status) != 4)
      fail(s, "exit code " + std::to_string(WEXITSTATUS(status)) + ": " + err.substr(0, 200));
    else if (err.find("ziravov: ") == std::string::npos)
      fail(s, "exit code 4 without a message");
    slots[s].pid = 0;
  }
  std::printf("%d cases (%d accepted, %d refused), %d failures\n", cases, accepted, cases - accepted - failures,
              failures);
  return failures ? 1 : 0;
}
