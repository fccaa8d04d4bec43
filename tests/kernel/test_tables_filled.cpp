// After setup, no slot of any of the seven tables is empty but the unused
// and reserved ones, whatever the CPU flags; setup is also deterministic (the same flags give the same
// table).
#include <gtest/gtest.h>

#include <cstring>

#include "checkasm_pixel_slots.h"
#include "common/primitives.h"

namespace {

// The slots `empty` says must stay empty do; every other is filled.
template <class T, class Empty>
void expect_filled(const T &table, const char *name, uint32_t flags, Empty empty) {
  void *slots[sizeof(T) / sizeof(void *)];
  std::memcpy(slots, &table, sizeof(T));
  for (size_t i = 0; i < sizeof(T) / sizeof(void *); i++) {
    if (empty(static_cast<int>(i)))
      EXPECT_EQ(slots[i], nullptr) << name << " slot " << i << " filled with cpu flags " << flags;
    else
      EXPECT_NE(slots[i], nullptr) << name << " slot " << i << " empty with cpu flags " << flags;
  }
}

template <class T>
void expect_filled(const T &table, const char *name, uint32_t flags) {
  expect_filled(table, name, flags, [](int) { return false; });
}

// The four-candidate 4x4 SAD and the flat halves below 16x4 have no caller
// and no function in any tier.
bool pixel_empty(int i) { return checkasm::pixel_slot_empty(i); }
// The SAO table's last three cells are reserved.
bool sao_reserved(int i) { return i >= 13 && i <= 15; }

uint32_t supported() {
  uint32_t f = 0;
  if (__builtin_cpu_supports("ssse3")) f |= 2;
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt")) f |= 4;
  return f;
}

class TablesFilled : public ::testing::TestWithParam<uint32_t> {};

TEST_P(TablesFilled, EverySlotOfEveryTableHoldsAFunction) {
  const uint32_t flags = GetParam() & supported();
  transform_funcs_t t;
  quant_funcs_t q;
  mc_funcs_t m;
  deblock_funcs_t d;
  pixel_funcs_t p;
  intra_funcs_t i;
  sao_funcs_t s;
  std::memset(&t, 0, sizeof(t));
  std::memset(&q, 0, sizeof(q));
  std::memset(&m, 0, sizeof(m));
  std::memset(&d, 0, sizeof(d));
  std::memset(&p, 0, sizeof(p));
  std::memset(&i, 0, sizeof(i));
  std::memset(&s, 0, sizeof(s));
  setup_transform_primitives(flags, &t);
  setup_quant_primitives(flags, &q);
  setup_mc_primitives(flags, &m);
  setup_deblock_primitives(flags, &d);
  setup_pixel_primitives(flags, &p, 0);
  setup_intra_primitives(flags, &i);
  setup_sao_primitives(flags, &s);
  expect_filled(t, "transform_funcs_t", flags);
  expect_filled(q, "quant_funcs_t", flags);
  expect_filled(m, "mc_funcs_t", flags);
  expect_filled(d, "deblock_funcs_t", flags);
  expect_filled(p, "pixel_funcs_t", flags, pixel_empty);
  expect_filled(i, "intra_funcs_t", flags);
  expect_filled(s, "sao_funcs_t", flags, sao_reserved);
  pixel_funcs_t p1;
  setup_pixel_primitives(flags, &p1, 1);
  expect_filled(p1, "pixel_funcs_t (block-cost level 1)", flags, pixel_empty);
}

INSTANTIATE_TEST_SUITE_P(CpuFlags, TablesFilled, ::testing::Values(0u, 2u, 6u, 7u));

}  // namespace
