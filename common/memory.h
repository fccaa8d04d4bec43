// The library's only allocator: 32-byte-aligned blocks whose raw address and
// origin are kept in the two words before the returned block.
#pragma once

#include <cstddef>

void *aligned_malloc(size_t n);
void aligned_free(void *p);
// The same, zero-filled.  Large blocks (64 KB and more) are mapped zeroed
// from the system without being touched, so a buffer sized for the worst
// case costs resident memory (and the time to clear it) only for the part
// that is used, and only when it is first used.
void *aligned_calloc(size_t n);

// The memory account of one encoder's creation: bytes reserved per kind.
enum mem_kind_t {
  MEM_PICTURES,   // pictures of the pool with their planes and per-picture arrays
  MEM_FRAME_CTX,  // frame contexts: the picture-level maps and records
  MEM_ROW_CTX,    // row contexts: the copies and their CTU working buffers
  MEM_BITSTREAM,  // slice data, substreams, coded units and the output buffer
  MEM_SCRATCH,    // everything else: tables, queues, the scheduler
  MEM_KINDS
};
struct mem_account_t {
  size_t bytes[MEM_KINDS];
  size_t blocks;
};
extern const char *const mem_kind_names[MEM_KINDS];

// While an account is open on a thread, every allocation made on that
// thread is booked under the current kind.  Creation runs on one thread, so
// the account needs no lock; encoding allocates nothing to book.
void mem_account_open(mem_account_t *account);
void mem_account_close();
// Books what follows under `kind` until the guard goes out of scope.
class mem_kind_guard {
 public:
  explicit mem_kind_guard(mem_kind_t kind);
  ~mem_kind_guard();
  mem_kind_guard(const mem_kind_guard &) = delete;
  mem_kind_guard &operator=(const mem_kind_guard &) = delete;

 private:
  mem_kind_t saved_;
};
