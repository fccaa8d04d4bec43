// Kernel verification harness: every slot of a primitive table built for a
// set of CPU flags must give exactly what the portable table's slot gives,
// read no byte outside its inputs and write no byte outside its outputs.
//
// Pieces any table's test can reuse:
//  - flag_sets(): the cpu_flags values to test (0, 2, 6 masked by the CPU;
//    only the test tier when CHECKASM_BREAK names a table, see
//    checkasm_test_tier.cpp);
//  - rng_t and test_seed(): the random source (seed printed, replay with
//    CHECKASM_SEED=<n>);
//  - guarded_block: a 2-D buffer placed flush against a PROT_NONE page (after
//    or before it), whose bytes outside the block serve as canaries;
//  - slot_as<Fn>(table, i): slot i of any table as a typed function pointer;
//  - compare_slot(name, ref, tst, body): runs body on both functions with the
//    same random stream and reports the first difference, with the name of
//    the kernel tested (checkasm_names.h; slot_label names a slot).
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "tests/kernel/checkasm_names.h"

namespace checkasm {

constexpr uint32_t FLAG_SSE41 = 1;
constexpr uint32_t FLAG_SSSE3 = 2;
constexpr uint32_t FLAG_AVX2 = 4;
// The test tier: the table setups give the portable table with one slot of
// the table named by CHECKASM_BREAK replaced by a deliberately wrong
// function, so that the harness can prove it notices (test binary only).
// The self-test runs the suite named Checkasm<Table> (CheckasmPixel,
// CheckasmMc, CheckasmSao, CheckasmDeblock, CheckasmTransform, CheckasmQuant,
// CheckasmIntra) under it; a table's suite takes its flags from flag_sets().
constexpr uint32_t FLAG_TEST_TIER = 1u << 31;

inline const char *broken_table() { return std::getenv("CHECKASM_BREAK"); }

// The flags this processor can run: SSE4.1, SSSE3 and AVX2 only where present.
inline uint32_t supported_flags() {
  uint32_t f = 0;
  __builtin_cpu_init();
  if (__builtin_cpu_supports("sse4.1")) f |= FLAG_SSE41;
  if (__builtin_cpu_supports("ssse3")) f |= FLAG_SSSE3;
  // The AVX2 tier is built with BMI2 and POPCNT too (cpu_detect_flags).
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt"))
    f |= FLAG_AVX2;
  return f;
}

// The wanted flag sets this processor can run (each masked by what it has,
// duplicates dropped); only the test tier when a table is being broken.
inline std::vector<uint32_t> flag_sets(std::initializer_list<uint32_t> wanted = {0u, FLAG_SSSE3,
                                                                                 FLAG_SSSE3 | FLAG_AVX2}) {
  if (broken_table()) return {FLAG_TEST_TIER};
  std::vector<uint32_t> out;
  for (uint32_t want : wanted) {
    const uint32_t f = want & supported_flags();
    bool seen = false;
    for (uint32_t o : out) seen |= o == f;
    if (!seen) out.push_back(f);
  }
  return out;
}

inline std::string flags_name(const ::testing::TestParamInfo<uint32_t> &info) {
  return "flags" + std::to_string(info.param);
}

// Seed of every random test in the process, printed once.
inline uint64_t test_seed() {
  static const uint64_t seed = [] {
    const char *env = std::getenv("CHECKASM_SEED");
    const uint64_t s = env ? std::strtoull(env, nullptr, 10) : static_cast<uint64_t>(::time(nullptr));
    std::fprintf(stderr, "checkasm: seed %llu (replay with CHECKASM_SEED=%llu)\n", static_cast<unsigned long long>(s),
                 static_cast<unsigned long long>(s));
    return s;
  }();
  return seed;
}

// splitmix64: small, fast and identical on every platform.
struct rng_t {
  uint64_t state;
  explicit rng_t(uint64_t seed) : state(seed) {}
  uint64_t next() {
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  // Uniform in [lo, hi].
  int32_t range(int32_t lo, int32_t hi) {
    return lo + static_cast<int32_t>(next() % static_cast<uint64_t>(static_cast<int64_t>(hi) - lo + 1));
  }
  uint8_t byte() { return static_cast<uint8_t>(next()); }
};

// Sample patterns: random, the extremes, and alternations that maximise
// filter sums and residuals.
enum class pattern { random, zero, max, checker, inverse_checker, columns, small_noise };
constexpr pattern ALL_PATTERNS[] = {pattern::random,          pattern::zero,    pattern::max,        pattern::checker,
                                    pattern::inverse_checker, pattern::columns, pattern::small_noise};

inline uint8_t pattern_sample(pattern p, int64_t x, int64_t y, rng_t &r) {
  switch (p) {
    case pattern::zero: return 0;
    case pattern::max: return 255;
    case pattern::checker: return ((x + y) & 1) ? 255 : 0;
    case pattern::inverse_checker: return ((x + y) & 1) ? 0 : 255;
    case pattern::columns: return (x & 1) ? 255 : 0;
    case pattern::small_noise: return static_cast<uint8_t>(126 + r.range(0, 3));
    default: return r.byte();
  }
}

// A block of w_bytes x h rows at `stride` bytes, with the margins that the
// function under test may read around it, placed so that the first (guard
// before) or last (guard after) byte of the readable area touches a
// PROT_NONE page.  Every byte of the mapping outside the readable area is
// inaccessible or a canary.
class guarded_block {
 public:
  struct margins_t {
    int32_t left = 0, right = 0, top = 0, bottom = 0;  // bytes / rows
  };

  // `gap` canary bytes between the readable area and the guard page move the
  // block to any address offset.
  guarded_block(int32_t w_bytes, int32_t h, int32_t stride, margins_t m, bool guard_before, int32_t gap = 0)
      : w_(w_bytes), h_(h), stride_(stride), m_(m) {
    const int64_t rows = static_cast<int64_t>(m.top) + h + m.bottom;
    // Readable span: from (row -top, column -left) to (last row, w + right).
    const int64_t first = -static_cast<int64_t>(m.top) * stride - m.left;
    const int64_t last = (rows - m.top - 1) * stride + w_bytes + m.right - 1;
    const int64_t span = last - first + 1 + gap;
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t body = (static_cast<size_t>(span) + page_ - 1) / page_ * page_ + page_;
    map_size_ = body + 2 * page_;
    map_ = static_cast<uint8_t *>(mmap(nullptr, map_size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (map_ == MAP_FAILED) std::abort();
    mprotect(map_, page_, PROT_NONE);
    mprotect(map_ + map_size_ - page_, page_, PROT_NONE);
    lo_ = map_ + page_;
    hi_ = map_ + map_size_ - page_;
    uint8_t *start = guard_before ? lo_ + gap : hi_ - span;
    origin_ = start - first;
  }
  guarded_block(const guarded_block &) = delete;
  guarded_block &operator=(const guarded_block &) = delete;
  ~guarded_block() { munmap(map_, map_size_); }

  uint8_t *origin() const { return origin_; }
  template <typename T>
  T *as() const {
    return reinterpret_cast<T *>(origin_);
  }
  int32_t stride() const { return stride_; }

  // Fills the whole accessible mapping: the block and margins with the
  // pattern (8-bit samples), the rest with random canaries.
  void fill(pattern p, rng_t &r) {
    for (uint8_t *q = lo_; q < hi_; q++) *q = r.byte();
    for (int64_t y = -m_.top; y < h_ + m_.bottom; y++)
      for (int64_t x = -m_.left; x < w_ + m_.right; x++) origin_[y * stride_ + x] = pattern_sample(p, x, y, r);
  }
  // Fills the block area with 16-bit values from `gen(x, y)` (element
  // coordinates; w_bytes and stride must be even).
  template <typename Gen>
  void fill16(Gen gen) {
    for (int64_t y = -m_.top; y < h_ + m_.bottom; y++)
      for (int64_t x = -m_.left / 2; x < (w_ + m_.right) / 2; x++) {
        const int16_t v = static_cast<int16_t>(gen(x, y));
        std::memcpy(origin_ + y * stride_ + 2 * x, &v, 2);
      }
  }

  std::vector<uint8_t> snapshot() const { return std::vector<uint8_t>(lo_, hi_); }

  // Bytes changed since `before` outside the written area (w_bytes x h at
  // the origin) are writes outside the block.
  ::testing::AssertionResult written_only_inside(const std::vector<uint8_t> &before, int32_t w_bytes,
                                                 int32_t h) const {
    for (const uint8_t *q = lo_; q < hi_; q++) {
      const size_t i = static_cast<size_t>(q - lo_);
      if (*q == before[i]) continue;
      const int64_t off = q - origin_;
      const int64_t y = off >= 0 ? off / stride_ : -((-off + stride_ - 1) / stride_);
      const int64_t x = off - y * stride_;
      if (y >= 0 && y < h && x >= 0 && x < w_bytes) continue;
      return ::testing::AssertionFailure() << "byte written outside the block at row " << y << ", column " << x;
    }
    return ::testing::AssertionSuccess();
  }

 private:
  int32_t w_, h_, stride_;
  margins_t m_;
  size_t page_ = 0, map_size_ = 0;
  uint8_t *map_ = nullptr, *lo_ = nullptr, *hi_ = nullptr, *origin_ = nullptr;
};

using block_ptr = std::unique_ptr<guarded_block>;

// A guarded block of at least one byte and one row, filled with pattern p.
inline block_ptr make_block(int32_t w_bytes, int32_t h, int32_t stride, guarded_block::margins_t m, bool before,
                            pattern p, rng_t &r) {
  auto b = std::make_unique<guarded_block>(std::max(w_bytes, 1), std::max(h, 1), stride, m, before);
  b->fill(p, r);
  return b;
}

inline pattern pick_pattern(rng_t &r) { return ALL_PATTERNS[r.range(0, 6)]; }

// Slot i of a table of function pointers, typed.
template <typename Fn, typename Table>
Fn slot_as(const Table &t, size_t i) {
  static_assert(sizeof(Fn) == sizeof(void *));
  Fn f;
  std::memcpy(&f, reinterpret_cast<const char *>(&t) + i * sizeof(void *), sizeof(f));
  return f;
}

template <typename Table>
constexpr size_t slot_count() {
  return sizeof(Table) / sizeof(void *);
}

template <typename Table>
size_t first_empty_slot(const Table &t) {
  for (size_t i = 0; i < slot_count<Table>(); i++)
    if (slot_as<void *>(t, i) == nullptr) return i;
  return slot_count<Table>();
}

// What a call produced: every output byte (including canaries) and any
// returned value.
struct observation_t {
  std::vector<uint8_t> bytes;
  uint64_t value = 0;
  void add(const std::vector<uint8_t> &b) { bytes.insert(bytes.end(), b.begin(), b.end()); }
  void add_value(uint64_t v) { value = value * 1000003u + v; }
};

// Runs body(fn, rng) for the portable and the tested function with the same
// random stream and reports the first difference.  The body builds its
// inputs from the stream, calls fn and returns what it observed.
template <typename Fn, typename Body>
void compare_slot(const std::string &name, Fn ref, Fn tst, uint64_t seed, Body body) {
  rng_t r1(seed), r2(seed);
  const observation_t a = body(ref, r1);
  const observation_t b = body(tst, r2);
  const void *kernel;
  static_assert(sizeof kernel == sizeof tst);
  std::memcpy(&kernel, &tst, sizeof kernel);
  const std::string who = name + " [kernel " + kernel_name(kernel) + "]";
  EXPECT_EQ(a.value, b.value) << who << ": returned value differs (seed " << seed << ")";
  ASSERT_EQ(a.bytes.size(), b.bytes.size()) << who;
  for (size_t i = 0; i < a.bytes.size(); i++)
    if (a.bytes[i] != b.bytes[i]) {
      ADD_FAILURE() << who << ": output byte " << i << " is " << int(b.bytes[i]) << ", portable gives "
                    << int(a.bytes[i]) << " (seed " << seed << ")";
      return;
    }
}

// Strides worth trying for a block of w bytes: tight, odd, and wide.
inline std::vector<int32_t> strides_for(int32_t w) { return {w, w + 1, w + 17, 2 * w + 35, 192 + w}; }

}  // namespace checkasm
