// The allocator: blocks of every size come 32-byte aligned, zeroed ones read
// zero throughout (whether carved from the heap or mapped), every block can
// be written to its end, and each kind goes back the way it came.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "common/memory.h"

namespace {

bool aligned32(const void *p) { return (reinterpret_cast<uintptr_t>(p) & 31) == 0; }

TEST(Memory, BlocksOfEverySizeAreAlignedZeroedAndWritable) {
  // Around the size from which zeroed blocks are mapped, and page edges.
  const size_t sizes[] = {1, 31, 4096, 8191, 8192, 65535, 65536, 65537, 131072, 1 << 20};
  for (size_t n : sizes) {
    auto *z = static_cast<uint8_t *>(aligned_calloc(n));
    auto *m = static_cast<uint8_t *>(aligned_malloc(n));
    ASSERT_NE(z, nullptr) << n;
    ASSERT_NE(m, nullptr) << n;
    EXPECT_TRUE(aligned32(z)) << n;
    EXPECT_TRUE(aligned32(m)) << n;
    size_t nonzero = 0;
    for (size_t i = 0; i < n; i++) nonzero += z[i] != 0;
    EXPECT_EQ(nonzero, 0u) << n;
    std::memset(z, 0xa5, n);
    std::memset(m, 0x5a, n);
    EXPECT_EQ(z[n - 1], 0xa5) << n;
    aligned_free(z);
    aligned_free(m);
  }
  aligned_free(nullptr);
}

TEST(Memory, ReusedMemoryComesBackZeroed) {
  // A block freed dirty must not leak its contents into a zeroed one.
  for (size_t n : {size_t{4000}, size_t{100000}}) {
    for (int round = 0; round < 3; round++) {
      auto *d = static_cast<uint8_t *>(aligned_malloc(n));
      ASSERT_NE(d, nullptr);
      std::memset(d, 0xff, n);
      aligned_free(d);
      auto *z = static_cast<uint8_t *>(aligned_calloc(n));
      ASSERT_NE(z, nullptr);
      size_t nonzero = 0;
      for (size_t i = 0; i < n; i++) nonzero += z[i] != 0;
      EXPECT_EQ(nonzero, 0u) << n;
      std::memset(z, 0xff, n);
      aligned_free(z);
    }
  }
}

TEST(Memory, CreationBooksEveryBlockUnderItsKind) {
  mem_account_t account{};
  mem_account_open(&account);
  void *a = aligned_calloc(200000);
  void *b = nullptr;
  {
    const mem_kind_guard kind(MEM_ROW_CTX);
    b = aligned_malloc(1000);
  }
  mem_account_close();
  void *c = aligned_calloc(200000);  // after the account closed: not booked
  EXPECT_EQ(account.blocks, 2u);
  EXPECT_GE(account.bytes[MEM_SCRATCH], 200000u);
  EXPECT_GE(account.bytes[MEM_ROW_CTX], 1000u);
  EXPECT_LT(account.bytes[MEM_ROW_CTX], 2000u);
  aligned_free(a);
  aligned_free(b);
  aligned_free(c);
}

}  // namespace
