// Input pictures: YUV4MPEG2 (4:2:0, progressive) or raw planar 8-bit 4:2:0,
// identified through a mapped window, the pictures read from the file.
#ifndef ZIRAVOV_INPUT_H
#define ZIRAVOV_INPUT_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli_parse.h"
#include "mapped_window.h"

struct y4m_header_t {
  int32_t width = 0;
  int32_t height = 0;
  std::optional<frame_rate_t> fps;
};

// Parses a stream header line (without its line feed).  Returns an empty
// string on success, else the reason the file cannot be used.
std::string parse_y4m_header(std::string_view line, y4m_header_t &out);

struct input_settings_t {
  std::string path;
  std::optional<resolution_t> forced_size;  // --input-res
  std::optional<frame_rate_t> forced_fps;   // --fps
};

enum class read_status_t { picture, end, truncated, malformed };

class input_t {
public:
  // Opens and identifies the file.  Returns an exit code (0 on success) and
  // has already printed the message.
  int open(const input_settings_t &settings);

  bool is_y4m() const { return y4m_; }
  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  frame_rate_t fps() const { return fps_; }
  uint64_t picture_bytes() const { return picture_bytes_; }
  uint64_t file_size() const { return window_.file_size(); }

  // Next picture: planes point into the program's copy of it and stay valid
  // until the next call (with `into`, a buffer of picture_bytes() bytes, the
  // copy goes there instead).  A file cut short by another process meanwhile
  // ends as a truncated last picture.  With want_samples false only the
  // position advances.  On truncated or malformed, message() explains.
  read_status_t next(const uint8_t *planes[3], bool want_samples = true, uint8_t *into = nullptr);
  // What next() would return, without advancing.
  read_status_t peek();
  const std::string &message() const { return message_; }
  int64_t pictures_read() const { return index_; }
  // Complete pictures from here to the end (or to a malformed one), without
  // advancing.
  int64_t pictures_left();

private:
  void note_cut();
  // A copy hit pages another process cut off: read again with the new size.
  read_status_t after_cut(const uint8_t *planes[3], bool want_samples, uint8_t *into);

  mapped_window_t window_;
  bool y4m_ = false;
  int32_t width_ = 0;
  int32_t height_ = 0;
  frame_rate_t fps_{25, 1};
  uint64_t picture_bytes_ = 0;
  uint64_t position_ = 0;
  int64_t index_ = 0;
  std::string message_;
  std::vector<uint8_t> picture_;  // the current picture, copied out of the map (made on first use)
  std::string cut_note_;          // set when another process cut the file
};

#endif
