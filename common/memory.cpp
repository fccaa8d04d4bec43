#include "common/memory.h"

#include <cstdint>
#include <cstdlib>

#include <sys/mman.h>

const char *const mem_kind_names[MEM_KINDS] = {"pictures", "frame contexts", "row contexts", "bitstream buffers",
                                               "scratch and tables"};

static thread_local mem_account_t *current_account = nullptr;
static thread_local mem_kind_t current_kind = MEM_SCRATCH;

void mem_account_open(mem_account_t *account) {
  current_account = account;
  current_kind = MEM_SCRATCH;
}

void mem_account_close() { current_account = nullptr; }

mem_kind_guard::mem_kind_guard(mem_kind_t kind) : saved_(current_kind) { current_kind = kind; }
mem_kind_guard::~mem_kind_guard() { current_kind = saved_; }

namespace {

// Zeroed blocks from this size up are mapped from the system, whose pages
// stay untouched until used: the C allocator clears the blocks it carves
// from its heap, which made the creation of the pictures' records and the
// row contexts (most of them zero and much never used) serial work of tens
// of milliseconds.
// Sanitizer builds keep every block on the C allocator, whose bounds they
// check.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t MAPPED_FROM = SIZE_MAX;
#else
constexpr size_t MAPPED_FROM = size_t{64} << 10;
#endif
// Two words before the returned block: the mapped length (0 when the block
// came from the C allocator) and the raw address.
constexpr size_t HEAD = 32 + 2 * sizeof(void *);

void *finish_block(uint8_t *raw, size_t n, size_t mapped) {
  if (current_account) {
    current_account->bytes[current_kind] += n + HEAD;
    current_account->blocks++;
  }
  const uintptr_t aligned = (reinterpret_cast<uintptr_t>(raw) + HEAD) & ~static_cast<uintptr_t>(31);
  reinterpret_cast<void **>(aligned)[-1] = raw;
  reinterpret_cast<size_t *>(aligned)[-2] = mapped;
  return reinterpret_cast<void *>(aligned);
}

void *aligned_alloc_with(size_t n, bool zeroed) {
  if (n > SIZE_MAX - HEAD - 4096) return nullptr;
  if (zeroed && n >= MAPPED_FROM) {
    const size_t len = (n + HEAD + 4095) & ~static_cast<size_t>(4095);
    void *raw = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    return finish_block(static_cast<uint8_t *>(raw), n, len);
  }
  uint8_t *raw = static_cast<uint8_t *>(zeroed ? std::calloc(1, n + HEAD) : std::malloc(n + HEAD));
  if (!raw) return nullptr;
  return finish_block(raw, n, 0);
}

}  // namespace

void *aligned_malloc(size_t n) { return aligned_alloc_with(n, false); }

void *aligned_calloc(size_t n) { return aligned_alloc_with(n, true); }

void aligned_free(void *p) {
  if (!p) return;
  void *raw = static_cast<void **>(p)[-1];
  const size_t mapped = static_cast<size_t *>(p)[-2];
  if (mapped)
    munmap(raw, mapped);
  else
    std::free(raw);
}
