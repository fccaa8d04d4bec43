#include "common/memory.h"

#include <cstdint>
#include <cstdlib>

void *aligned_malloc(size_t n) {
  const size_t extra = 32 + sizeof(void *);
  if (n > SIZE_MAX - extra) return nullptr;
  uint8_t *raw = static_cast<uint8_t *>(std::malloc(n + extra));
  if (!raw) return nullptr;
  uintptr_t aligned = (reinterpret_cast<uintptr_t>(raw) + extra) & ~static_cast<uintptr_t>(31);
  reinterpret_cast<void **>(aligned)[-1] = raw;
  return reinterpret_cast<void *>(aligned);
}

void aligned_free(void *p) {
  if (p) std::free(static_cast<void **>(p)[-1]);
}
