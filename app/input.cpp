#include "input.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "exit_codes.h"

namespace {

constexpr std::string_view y4m_magic = "YUV4MPEG2";
// Longest stream or picture header line accepted; real ones are < 100 bytes.
constexpr size_t max_header_line = 4096;

std::vector<std::string_view> split_spaces(std::string_view s) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && s[i] == ' ')
      i++;
    size_t start = i;
    while (i < s.size() && s[i] != ' ')
      i++;
    if (i > start)
      out.push_back(s.substr(start, i - start));
  }
  return out;
}

// Header text as a message can show it: bytes that are not printable
// (a NUL would end the message, an escape sequence would steer the terminal)
// and the backslash itself are written as \xNN.
std::string shown(std::string_view text) {
  std::string out;
  for (const char ch : text) {
    const auto b = static_cast<unsigned char>(ch);
    if (b >= 0x20 && b < 0x7f && b != '\\') {
      out += ch;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof(hex), "\\x%02x", b);
      out += hex;
    }
  }
  return out;
}

} // namespace

std::string parse_y4m_header(std::string_view line, y4m_header_t &out) {
  if (line.substr(0, y4m_magic.size()) != y4m_magic ||
      (line.size() > y4m_magic.size() && line[y4m_magic.size()] != ' '))
    return "not a YUV4MPEG2 stream header";
  std::optional<int64_t> w, h;
  std::string seen;
  for (std::string_view tok : split_spaces(line.substr(y4m_magic.size()))) {
    std::string_view value = tok.substr(1);
    // A parameter given twice has no one meaning (W16 ... W32 read the
    // pictures at the second size and failed at a FRAME header later).
    if (tok[0] != 'X' && seen.find(tok[0]) != std::string::npos)
      return std::string("stream header gives the ") + tok[0] + " parameter twice ('" + shown(tok) + "')";
    seen += tok[0];
    switch (tok[0]) {
    case 'W':
    case 'H': {
      auto v = parse_int_strict(value, 0, INT32_MAX);
      if (!v || value[0] == '+' || value[0] == '-')
        return "malformed size parameter '" + shown(tok) + "'";
      (tok[0] == 'W' ? w : h) = v;
      break;
    }
    case 'F': {
      auto f = parse_frame_rate(value);
      if (!f || value.find(':') == std::string_view::npos)
        return "malformed frame rate parameter '" + shown(tok) + "'";
      out.fps = f;
      break;
    }
    case 'I':
      // Fields of an interlaced source would be coded as one progressive
      // picture, which gives a wrong result without any visible error.
      if (value == "p" || value == "?")
        break;
      if (value == "t" || value == "b" || value == "m")
        return "interlaced input (I" + shown(value) + ") is not supported; only progressive";
      return "malformed interlace parameter '" + shown(tok) + "'";
    case 'C':
      if (value == "420" || value == "420jpeg" || value == "420paldv" || value == "420mpeg2")
        break;
      return "chroma format C" + shown(value) + " is not supported; only 8-bit 4:2:0";
    case 'A':
      if (value.find(':') == std::string_view::npos)
        return "malformed aspect ratio parameter '" + shown(tok) + "'";
      break;
    case 'X':
      break;
    default:
      return "unknown stream header parameter '" + shown(tok) + "'";
    }
  }
  if (!w || !h)
    return std::string("stream header lacks the ") + (!w ? "W" : "H") + " (picture " + (!w ? "width" : "height") +
           ") parameter";
  std::string why = validate_picture_size(*w, *h);
  if (!why.empty())
    return why;
  out.width = static_cast<int32_t>(*w);
  out.height = static_cast<int32_t>(*h);
  return {};
}

int input_t::open(const input_settings_t &s) {
  std::string err;
  if (!window_.open(s.path, err)) {
    std::fprintf(stderr, "ziravov: cannot open input '%s': %s\n", s.path.c_str(), err.c_str());
    return exit_input_open;
  }
  const uint64_t size = window_.file_size();
  if (size == 0) {
    std::fprintf(stderr, "ziravov: input '%s' is empty\n", s.path.c_str());
    return exit_input_format;
  }
  const size_t probe_len = static_cast<size_t>(size < max_header_line ? size : max_header_line);
  const uint8_t *probe = window_.view(0, probe_len);
  if (!probe) {
    std::fprintf(stderr, "ziravov: cannot map input '%s': %s\n", s.path.c_str(), std::strerror(errno));
    return exit_input_open;
  }
  std::string_view head(reinterpret_cast<const char *>(probe), probe_len);

  // A file that starts like the magic (even cut short) is meant as YUV4MPEG2;
  // reading it as raw samples would only hide the damage.
  const size_t magic_cmp = head.size() < y4m_magic.size() ? head.size() : y4m_magic.size();
  y4m_ = head.substr(0, magic_cmp) == y4m_magic.substr(0, magic_cmp) && head.size() >= 4;
  if (y4m_) {
    size_t eol = head.find('\n');
    if (eol == std::string_view::npos) {
      std::fprintf(stderr, "ziravov: input '%s': YUV4MPEG2 stream header is %s\n", s.path.c_str(),
                   size < max_header_line ? "truncated (no end of line)" : "too long");
      return exit_input_format;
    }
    y4m_header_t hdr;
    std::string why = eol > 0 && head[eol - 1] == '\r'
                          ? "the YUV4MPEG2 stream header line ends with a carriage return (CR LF); it must end "
                            "with a bare line feed"
                          : parse_y4m_header(head.substr(0, eol), hdr);
    if (!why.empty()) {
      std::fprintf(stderr, "ziravov: input '%s': %s\n", s.path.c_str(), why.c_str());
      return exit_input_format;
    }
    width_ = hdr.width;
    height_ = hdr.height;
    if (hdr.fps)
      fps_ = *hdr.fps;
    if (s.forced_size && (s.forced_size->width != width_ || s.forced_size->height != height_))
      std::fprintf(stderr, "ziravov: warning: --input-res ignored, the YUV4MPEG2 header says %dx%d\n", width_,
                   height_);
    position_ = eol + 1;
  } else {
    name_hints_t hints = hints_from_file_name(s.path);
    std::optional<resolution_t> res = s.forced_size ? s.forced_size : hints.size;
    if (!res) {
      std::fprintf(stderr,
                   "ziravov: raw input '%s' has no picture size: give --input-res WxH or name it like "
                   "clip_352x288_30.yuv\n",
                   s.path.c_str());
      return exit_input_format;
    }
    std::string why = validate_picture_size(res->width, res->height);
    if (!why.empty()) {
      std::fprintf(stderr, "ziravov: raw input '%s': %s\n", s.path.c_str(), why.c_str());
      return exit_input_format;
    }
    width_ = res->width;
    height_ = res->height;
    if (hints.fps)
      fps_ = frame_rate_t{*hints.fps, 1};
  }
  if (s.forced_fps)
    fps_ = *s.forced_fps;
  picture_bytes_ = static_cast<uint64_t>(width_) * static_cast<uint64_t>(height_) * 3 / 2;
  return exit_ok;
}

read_status_t input_t::next(const uint8_t *planes[3], bool want_samples, uint8_t *into) {
  if (window_.shrank())
    note_cut();
  const uint64_t size = window_.file_size();
  if (position_ >= size && !cut_note_.empty()) {
    message_ = "picture " + std::to_string(index_) + " is missing" + cut_note_;
    return read_status_t::truncated;
  }
  if (position_ >= size)
    return read_status_t::end;
  uint64_t remaining = size - position_;
  uint64_t header_len = 0;
  if (y4m_) {
    size_t probe_len = static_cast<size_t>(remaining < max_header_line ? remaining : max_header_line);
    char probe[max_header_line];
    switch (window_.copy(position_, probe_len, reinterpret_cast<uint8_t *>(probe))) {
    case mapped_window_t::copy_result_t::ok:
      break;
    case mapped_window_t::copy_result_t::read_failed:
      message_ = "cannot read the input: " + std::string(std::strerror(errno));
      return read_status_t::malformed;
    case mapped_window_t::copy_result_t::cut:
      return after_cut(planes, want_samples, into);
    }
    std::string_view head(probe, probe_len);
    size_t eol = head.find('\n');
    const size_t cmp = head.size() < 5 ? head.size() : 5;
    const bool starts_ok = head.substr(0, cmp) == std::string_view("FRAME").substr(0, cmp);
    if (eol != std::string_view::npos && eol > 0 && head[eol - 1] == '\r' && starts_ok) {
      message_ = "the FRAME header of picture " + std::to_string(index_) +
                 " ends with a carriage return (CR LF); it must end with a bare line feed";
      return read_status_t::malformed;
    }
    if (!starts_ok || (eol != std::string_view::npos && (eol < 5 || (eol > 5 && head[5] != ' ')))) {
      message_ = "picture " + std::to_string(index_) + " does not start with a FRAME header";
      return read_status_t::malformed;
    }
    if (eol == std::string_view::npos) {
      if (remaining >= max_header_line) {
        message_ = "picture " + std::to_string(index_) + " has an over-long FRAME header";
        return read_status_t::malformed;
      }
      message_ = "the last picture (" + std::to_string(index_) + ") is cut short in its FRAME header" + cut_note_;
      return read_status_t::truncated;
    }
    header_len = eol + 1;
  }
  if (remaining - header_len < picture_bytes_) {
    message_ = "the last picture (" + std::to_string(index_) + ") is truncated: " +
               std::to_string(remaining - header_len) + " of " + std::to_string(picture_bytes_) + " bytes" + cut_note_;
    return read_status_t::truncated;
  }
  if (want_samples) {
    if (!into && picture_.empty())
      picture_.resize(static_cast<size_t>(picture_bytes_));
    uint8_t *const p = into ? into : picture_.data();
    switch (window_.copy(position_ + header_len, static_cast<size_t>(picture_bytes_), p)) {
    case mapped_window_t::copy_result_t::ok:
      break;
    case mapped_window_t::copy_result_t::read_failed:
      message_ = "cannot read the input: " + std::string(std::strerror(errno));
      return read_status_t::malformed;
    case mapped_window_t::copy_result_t::cut:
      return after_cut(planes, want_samples, into);
    }
    const uint64_t luma = static_cast<uint64_t>(width_) * static_cast<uint64_t>(height_);
    planes[0] = p;
    planes[1] = p + luma;
    planes[2] = p + luma + luma / 4;
  }
  position_ += header_len + picture_bytes_;
  index_++;
  return read_status_t::picture;
}

read_status_t input_t::peek() {
  const uint64_t position = position_;
  const int64_t index = index_;
  const uint8_t *planes[3];
  const read_status_t st = next(planes, false);
  position_ = position;
  index_ = index;
  return st;
}

int64_t input_t::pictures_left() {
  const uint64_t position = position_;
  const int64_t index = index_;
  const uint8_t *planes[3];
  int64_t n = 0;
  while (next(planes, false) == read_status_t::picture)
    n++;
  position_ = position;
  index_ = index;
  return n;
}

void input_t::note_cut() {
  cut_note_ = " (the input was cut to " + std::to_string(window_.file_size()) + " bytes while being read)";
}

read_status_t input_t::after_cut(const uint8_t *planes[3], bool want_samples, uint8_t *into) {
  if (!window_.shrank()) {
    message_ = "the input changed while being read";
    return read_status_t::malformed;
  }
  note_cut();
  return next(planes, want_samples, into);
}
