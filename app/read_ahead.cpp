#include "read_ahead.h"

#include <new>
#include <system_error>

read_ahead_t::read_ahead_t(input_t &input, int64_t limit) : input_(input), limit_(limit) {
  for (slot_t &s : slots_) {
    // Uninitialised: the pages are first written by the copy, on the reader.
    s.samples.reset(new (std::nothrow) uint8_t[static_cast<size_t>(input.picture_bytes())]);
    if (!s.samples)
      return;
  }
  try {
    thread_ = std::thread([this] { run(); });
    threaded_ = true;
  } catch (const std::system_error &) {
    threaded_ = false;
  }
}

read_ahead_t::~read_ahead_t() {
  if (!threaded_)
    return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  freed_cv_.notify_all();
  thread_.join();
}

void read_ahead_t::run() {
  int64_t read = 0;
  for (;;) {
    int32_t at;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      freed_cv_.wait(lock, [this] { return stop_ || filled_ < SLOTS; });
      if (stop_)
        return;
      at = (head_ + filled_) % SLOTS;
    }
    // The slot is the reader's alone until it is counted as filled.
    slot_t &s = slots_[at];
    if (limit_ > 0 && read == limit_) {
      s.status = read_status_t::end;
    } else {
      s.status = input_.next(s.planes, true, s.samples.get());
      if (s.status != read_status_t::picture)
        s.message = input_.message();
      read++;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      filled_++;
    }
    filled_cv_.notify_one();
    if (s.status != read_status_t::picture)
      return;
  }
}

read_status_t read_ahead_t::next(const uint8_t *planes[3]) {
  if (!threaded_) {
    const read_status_t st = input_.next(planes);
    if (st != read_status_t::picture)
      message_ = input_.message();
    return st;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  if (holding_) {
    head_ = (head_ + 1) % SLOTS;
    filled_--;
    holding_ = false;
    freed_cv_.notify_one();
  }
  filled_cv_.wait(lock, [this] { return filled_ > 0; });
  const slot_t &s = slots_[head_];
  if (s.status != read_status_t::picture) {
    // The reader has ended: this slot stays, for every later call.
    message_ = s.message;
    return s.status;
  }
  holding_ = true;
  for (int32_t c = 0; c < 3; c++)
    planes[c] = s.planes[c];
  return s.status;
}
