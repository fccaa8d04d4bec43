// Text-to-value conversions used by the command line and by input file name
// inspection.  Strict: the whole text must be consumed and the value must be
// in range, so "12abc" or "99999999999" are rejected rather than truncated.
#ifndef ZIRAVOV_CLI_PARSE_H
#define ZIRAVOV_CLI_PARSE_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Decimal integer, optional leading '-', within [lo, hi].
std::optional<int64_t> parse_int_strict(std::string_view text, int64_t lo, int64_t hi);

// Decimal number "D", "D.D" or ".D" with an optional leading sign, no
// exponent, within [lo, hi].
std::optional<double> parse_decimal_strict(std::string_view text, double lo, double hi);

struct resolution_t {
  int32_t width = 0;
  int32_t height = 0;
};
// "WxH" (also "WXH"); both parts non-negative integers.  Evenness and the upper
// bound are checked by validate_picture_size so the same message applies to
// every source of a size.
std::optional<resolution_t> parse_resolution(std::string_view text);

struct frame_rate_t {
  int32_t num = 0;
  int32_t den = 1;
};
// "N" or "N/D" (also "N:D" as YUV4MPEG2 writes it), both positive.
std::optional<frame_rate_t> parse_frame_rate(std::string_view text);

// Empty string when the size is usable (even, positive and within the
// library's limits of the highest HEVC level), else the reason.
std::string validate_picture_size(int64_t width, int64_t height);

// Size and frame rate found in a raw file name such as "clip_352x288_30.yuv":
// the first token of the form WxH gives the size, an all-digit token right
// after it gives the frame rate.  Tokens are separated by '_', '-', '.'.
struct name_hints_t {
  std::optional<resolution_t> size;
  std::optional<int32_t> fps;
};
name_hints_t hints_from_file_name(std::string_view path);

// HM compatibility (x10) named by an output file name token "hm91", "hm9.1",
// "hm10" or "hm12" (any case); 0 when there is none.
int32_t compat_from_file_name(std::string_view path);

// Tune bit for a tune name (zerolatency, lowdelay), 0 if unknown.
int32_t tune_bit_from_name(std::string_view name);

// The input path with the extension of its last component replaced by
// ".hevc" (appended when there is none, or when that would name the input).
std::string default_output_name(std::string_view input);

#endif
