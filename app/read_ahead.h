// Reading ahead of the encoder: a thread reads the next pictures into
// buffers of its own while the encoder works, so that the reading leaves the
// thread that feeds the encoder; it counts most while the encoder's
// lookahead fills and no picture can be coded yet.
#ifndef ZIRAVOV_READ_AHEAD_H
#define ZIRAVOV_READ_AHEAD_H

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "input.h"

class read_ahead_t {
public:
  // Reads at most `limit` pictures of `input` (0: all of them), which no one
  // else may use until this is destroyed.  Without memory for its buffers or
  // a thread, it reads on the caller's thread when asked.
  read_ahead_t(input_t &input, int64_t limit);
  ~read_ahead_t();
  read_ahead_t(const read_ahead_t &) = delete;
  read_ahead_t &operator=(const read_ahead_t &) = delete;

  // The next picture as input_t::next gives it; its planes stay valid until
  // the next call.  Anything but a picture ends the reading: message() says
  // why, and every later call returns the same.
  read_status_t next(const uint8_t *planes[3]);
  const std::string &message() const { return message_; }

private:
  static constexpr int32_t SLOTS = 3;
  struct slot_t {
    std::unique_ptr<uint8_t[]> samples;
    read_status_t status = read_status_t::end;
    const uint8_t *planes[3] = {nullptr, nullptr, nullptr};
    std::string message;
  };
  void run();

  input_t &input_;
  int64_t limit_;
  slot_t slots_[SLOTS];
  int32_t head_ = 0;   // the oldest slot the reader filled
  int32_t filled_ = 0; // slots filled from head_ on, the one handed out included
  bool holding_ = false;  // the caller holds slot head_ until its next call
  bool stop_ = false;
  std::mutex mutex_;
  std::condition_variable filled_cv_, freed_cv_;
  std::thread thread_;
  bool threaded_ = false;
  std::string message_;
};

#endif
