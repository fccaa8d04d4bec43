#include "common/memory.h"

#include <cstdint>
#include <cstdlib>

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

static void *aligned_alloc_with(size_t n, bool zeroed) {
  const size_t extra = 32 + sizeof(void *);
  if (n > SIZE_MAX - extra) return nullptr;
  uint8_t *raw = static_cast<uint8_t *>(zeroed ? std::calloc(1, n + extra) : std::malloc(n + extra));
  if (!raw) return nullptr;
  if (current_account) {
    current_account->bytes[current_kind] += n + extra;
    current_account->blocks++;
  }
  uintptr_t aligned = (reinterpret_cast<uintptr_t>(raw) + extra) & ~static_cast<uintptr_t>(31);
  reinterpret_cast<void **>(aligned)[-1] = raw;
  return reinterpret_cast<void *>(aligned);
}

void *aligned_malloc(size_t n) { return aligned_alloc_with(n, false); }

void *aligned_calloc(size_t n) { return aligned_alloc_with(n, true); }

void aligned_free(void *p) {
  if (p) std::free(static_cast<void **>(p)[-1]);
}
