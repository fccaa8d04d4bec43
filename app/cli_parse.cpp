#include "cli_parse.h"

#include <cctype>
#include <vector>

#include "tarnhevcenc.h"

std::optional<int64_t> parse_int_strict(std::string_view text, int64_t lo, int64_t hi) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    i++;
  }
  if (i == text.size())
    return std::nullopt;
  // Accumulate as a magnitude with a bound far below INT64_MAX, so even a very
  // long digit string can neither overflow nor wrap into range.
  constexpr int64_t limit = INT64_C(1) << 53;
  int64_t magnitude = 0;
  for (; i < text.size(); i++) {
    char c = text[i];
    if (c < '0' || c > '9')
      return std::nullopt;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > limit)
      return std::nullopt;
  }
  int64_t value = negative ? -magnitude : magnitude;
  if (value < lo || value > hi)
    return std::nullopt;
  return value;
}

static std::optional<std::pair<int64_t, int64_t>> parse_pair(std::string_view text, std::string_view separators, int64_t lo,
                                                             int64_t hi) {
  size_t pos = text.find_first_of(separators);
  if (pos == std::string_view::npos)
    return std::nullopt;
  auto a = parse_int_strict(text.substr(0, pos), lo, hi);
  auto b = parse_int_strict(text.substr(pos + 1), lo, hi);
  if (!a || !b || text[0] == '+' || text[0] == '-' || text[pos + 1] == '+' || text[pos + 1] == '-')
    return std::nullopt;
  return std::make_pair(*a, *b);
}

std::optional<double> parse_decimal_strict(std::string_view text, double lo, double hi) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    i++;
  }
  // Digits only (at most 15 of them, exact in a double), one optional point.
  double value = 0.0, scale = 1.0;
  int digits = 0;
  bool point = false;
  for (; i < text.size(); i++) {
    const char c = text[i];
    if (c == '.' && !point) {
      point = true;
      continue;
    }
    if (c < '0' || c > '9' || ++digits > 15)
      return std::nullopt;
    if (point)
      scale /= 10.0;
    value = value * 10.0 + (c - '0');
  }
  if (digits == 0)
    return std::nullopt;
  value *= scale;
  if (negative)
    value = -value;
  if (value < lo || value > hi)
    return std::nullopt;
  return value;
}

std::optional<resolution_t> parse_resolution(std::string_view text) {
  auto p = parse_pair(text, "xX", 0, INT32_MAX);
  if (!p)
    return std::nullopt;
  return resolution_t{static_cast<int32_t>(p->first), static_cast<int32_t>(p->second)};
}

std::optional<frame_rate_t> parse_frame_rate(std::string_view text) {
  if (text.find_first_of("/:") == std::string_view::npos) {
    auto n = parse_int_strict(text, 1, INT32_MAX);
    if (!n || text[0] == '+')
      return std::nullopt;
    return frame_rate_t{static_cast<int32_t>(*n), 1};
  }
  auto p = parse_pair(text, "/:", 1, INT32_MAX);
  if (!p)
    return std::nullopt;
  return frame_rate_t{static_cast<int32_t>(p->first), static_cast<int32_t>(p->second)};
}

std::string validate_picture_size(int64_t width, int64_t height) {
  if (width <= 0 || height <= 0)
    return "picture size " + std::to_string(width) + "x" + std::to_string(height) + " is not positive";
  const std::string size = "picture size " + std::to_string(width) + "x" + std::to_string(height);
  if (width > TARNHEVCENC_MAX_PICTURE_SIDE || height > TARNHEVCENC_MAX_PICTURE_SIDE)
    return size + " exceeds the HEVC limit of " + std::to_string(TARNHEVCENC_MAX_PICTURE_SIDE) +
           " samples per side (level 6.2)";
  if (width * height > TARNHEVCENC_MAX_LUMA_PICTURE_SIZE)
    return size + " exceeds the HEVC limit of " + std::to_string(TARNHEVCENC_MAX_LUMA_PICTURE_SIZE) +
           " luma samples per picture (level 6.2)";
  // 4:2:0 chroma planes need whole luma sample pairs in both directions.
  if ((width & 1) || (height & 1))
    return "picture size " + std::to_string(width) + "x" + std::to_string(height) +
           " is odd; 4:2:0 needs even width and height";
  return {};
}

static std::string_view base_name(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

static std::vector<std::string_view> name_tokens(std::string_view name) {
  std::vector<std::string_view> tokens;
  size_t start = 0;
  for (size_t i = 0; i <= name.size(); i++) {
    if (i == name.size() || name[i] == '_' || name[i] == '-' || name[i] == '.') {
      if (i > start)
        tokens.push_back(name.substr(start, i - start));
      start = i + 1;
    }
  }
  return tokens;
}

name_hints_t hints_from_file_name(std::string_view path) {
  name_hints_t hints;
  std::vector<std::string_view> tokens = name_tokens(base_name(path));
  for (size_t i = 0; i < tokens.size(); i++) {
    auto size = parse_resolution(tokens[i]);
    if (!size)
      continue;
    hints.size = size;
    if (i + 1 < tokens.size()) {
      auto fps = parse_int_strict(tokens[i + 1], 1, 1000);
      if (fps && tokens[i + 1][0] != '+' && tokens[i + 1][0] != '-')
        hints.fps = static_cast<int32_t>(*fps);
    }
    break;
  }
  return hints;
}

int32_t compat_from_file_name(std::string_view path) {
  std::string name(base_name(path));
  for (char &c : name)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  // "hm9.1" is split by the '.' separator, so look for it before tokenising.
  struct known_t {
    const char *text;
    int32_t compat;
  };
  static constexpr known_t known[] = {{"hm9.1", 91}, {"hm91", 91}, {"hm10", 100}, {"hm12", 120}};
  for (const known_t &k : known) {
    std::string_view needle = k.text;
    for (size_t pos = name.find(needle); pos != std::string::npos; pos = name.find(needle, pos + 1)) {
      size_t end = pos + needle.size();
      bool left_ok = pos == 0 || !std::isalnum(static_cast<unsigned char>(name[pos - 1]));
      bool right_ok = end == name.size() || !std::isalnum(static_cast<unsigned char>(name[end]));
      if (left_ok && right_ok)
        return k.compat;
    }
  }
  return 0;
}

int32_t tune_bit_from_name(std::string_view name) {
  if (name == "zerolatency")
    return TARNHEVCENC_TUNE_ZEROLATENCY;
  if (name == "lowdelay")
    return TARNHEVCENC_TUNE_LOWDELAY;
  return 0;
}

std::string default_output_name(std::string_view input) {
  std::string_view base = base_name(input);
  size_t dot = base.rfind('.');
  std::string stem(input);
  if (dot != std::string_view::npos && dot > 0)
    stem = std::string(input.substr(0, input.size() - (base.size() - dot)));
  std::string out = stem + ".hevc";
  if (out == input)
    out = std::string(input) + ".hevc";
  return out;
}
