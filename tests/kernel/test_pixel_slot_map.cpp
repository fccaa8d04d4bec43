// Which function each pixel slot holds, per CPU flags and block-cost level:
// the AVX2 tier puts its named kernels in exactly the slots of its list and
// leaves every other slot as the lower tiers set it; no AVX2 kernel appears
// without the AVX2 bit.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "checkasm.h"
#include "simd/x86/pixel/pixel_avx2.h"

namespace {

// The AVX2 tier's list: slot -> kernel.
std::map<int32_t, const void *> avx2_slots(int32_t level) {
  std::map<int32_t, const void *> m = {
      {0, reinterpret_cast<const void *>(sad_half_64x64_avx2)},
      {1, reinterpret_cast<const void *>(sad_half_32x32_avx2)},
      {2, reinterpret_cast<const void *>(sad_half_16x16_avx2)},
      {3, reinterpret_cast<const void *>(sad_half_8x8_avx2)},
      {4, reinterpret_cast<const void *>(sad_half_4x4_avx)},
      {5, reinterpret_cast<const void *>(sad_64x64_avx2)},
      {6, reinterpret_cast<const void *>(sad_32x32_avx2)},
      {7, reinterpret_cast<const void *>(sad_16x16_avx2)},
      {8, reinterpret_cast<const void *>(sad_8x8_avx2)},
      {9, reinterpret_cast<const void *>(sad_4x4_avx)},
      {10, reinterpret_cast<const void *>(sad_half_64x32_avx2)},
      {11, reinterpret_cast<const void *>(sad_half_32x16_avx2)},
      {15, reinterpret_cast<const void *>(sad_half_32x64_avx2)},
      {20, reinterpret_cast<const void *>(sad_x4_half_64x64_avx2)},
      {21, reinterpret_cast<const void *>(sad_x4_half_32x32_avx2)},
      {22, reinterpret_cast<const void *>(sad_x4_half_16x16_avx2)},
      {23, reinterpret_cast<const void *>(sad_x4_half_8x8_avx2)},
      {25, reinterpret_cast<const void *>(sad_x4_half_64x32_avx2)},
      {26, reinterpret_cast<const void *>(sad_x4_half_32x16_avx2)},
      {27, reinterpret_cast<const void *>(sad_x4_half_16x8_avx2)},
      {30, reinterpret_cast<const void *>(sad_x4_half_32x64_avx2)},
      {31, reinterpret_cast<const void *>(sad_x4_half_16x32_avx2)},
      {28, reinterpret_cast<const void *>(sad_x4_half_8x4_avx2)},
      {32, reinterpret_cast<const void *>(sad_x4_half_8x16_avx2)},
      {35, reinterpret_cast<const void *>(sad_x3_half_64x64_avx2)},
      {36, reinterpret_cast<const void *>(sad_x3_half_32x32_avx2)},
      {37, reinterpret_cast<const void *>(sad_x3_half_16x16_avx2)},
      {38, reinterpret_cast<const void *>(sad_x3_half_8x8_avx2)},
      {39, reinterpret_cast<const void *>(sad_x3_half_4x4_avx)},
      {40, reinterpret_cast<const void *>(sad_x2_half_64x64_avx2)},
      {41, reinterpret_cast<const void *>(sad_x2_half_32x32_avx2)},
      {42, reinterpret_cast<const void *>(sad_x2_half_16x16_avx2)},
      {43, reinterpret_cast<const void *>(sad_x2_half_8x8_avx2)},
      {44, reinterpret_cast<const void *>(sad_x2_half_4x4_avx)},
      {45, reinterpret_cast<const void *>(ssd_64x64_avx2)},
      {46, reinterpret_cast<const void *>(ssd_32x32_avx2)},
      {47, reinterpret_cast<const void *>(ssd_16x16_avx2)},
      {48, reinterpret_cast<const void *>(ssd_8x8_avx2)},
      {49, reinterpret_cast<const void *>(ssd_4x4_avx2)},
      {60, reinterpret_cast<const void *>(satd_64x64_avx2)},
      {61, reinterpret_cast<const void *>(satd_32x32_avx2)},
      {62, reinterpret_cast<const void *>(satd_16x16_avx2)},
      {63, reinterpret_cast<const void *>(satd_8x8_avx2)},
      {64, reinterpret_cast<const void *>(satd_4x4_avx2)},
      {75, reinterpret_cast<const void *>(sa8d_64x64_avx2)},
      {76, reinterpret_cast<const void *>(sa8d_32x32_avx2)},
      {77, reinterpret_cast<const void *>(sa8d_16x16_avx2)},
      {78, reinterpret_cast<const void *>(sa8d_8x8_avx2)},
      {80, reinterpret_cast<const void *>(sa8d_64x32_avx2)},
      {81, reinterpret_cast<const void *>(sa8d_32x16_avx2)},
      {82, reinterpret_cast<const void *>(sa8d_16x8_avx2)},
      {85, reinterpret_cast<const void *>(sa8d_32x64_avx2)},
      {86, reinterpret_cast<const void *>(sa8d_16x32_avx2)},
      {87, reinterpret_cast<const void *>(sa8d_8x16_avx2)},
      {90, reinterpret_cast<const void *>(sa8d_half_64x64_avx2)},
      {91, reinterpret_cast<const void *>(sa8d_half_32x32_avx2)},
      {92, reinterpret_cast<const void *>(sa8d_half_16x16_avx2)},
      {93, reinterpret_cast<const void *>(sa8d_8x8_avx2)},
      {100, reinterpret_cast<const void *>(pixel_var_64x64_avx2)},
      {101, reinterpret_cast<const void *>(pixel_var_32x32_avx2)},
      {102, reinterpret_cast<const void *>(pixel_var_16x16_avx2)},
      {103, reinterpret_cast<const void *>(pixel_var_8x8_avx2)},
      {105, reinterpret_cast<const void *>(ssd_wxh_avx2)},
      {107, reinterpret_cast<const void *>(count_nonzero_avx2)},
      {108, reinterpret_cast<const void *>(coeff_scan_groups_bmi2)},
      {114, reinterpret_cast<const void *>(copy_to_aligned_64x64_avx2)},
      {115, reinterpret_cast<const void *>(copy_to_aligned_32x32_avx2)},
      {116, reinterpret_cast<const void *>(copy_from_aligned_64x64_avx2)},
      {117, reinterpret_cast<const void *>(copy_from_aligned_32x32_avx2)},
      {118, reinterpret_cast<const void *>(coeff_levels_4x4_avx2)},
      {119, reinterpret_cast<const void *>(satd_x4_4x4_avx2)},
      {120, reinterpret_cast<const void *>(sa8d_blocks_16x16_avx2)},
      {121, reinterpret_cast<const void *>(sa8d_blocks_16x8_avx2)},
      {122, reinterpret_cast<const void *>(sa8d_blocks_8x16_avx2)},
      {123, reinterpret_cast<const void *>(sa8d_blocks_8x8_avx2)},
      {124, reinterpret_cast<const void *>(sad_x4_half_64x16_avx2)},
      {125, reinterpret_cast<const void *>(sad_x4_half_32x8_avx2)},
      {126, reinterpret_cast<const void *>(sad_x4_half_16x4_avx2)},
  };
  if (level < 1) {
    // Block costs of the fast levels: the half-row SADs of 64x64 and 32x32
    // under the block-cost slots' own names; 16x16 and 8x8 keep the lower
    // tier.
    m[95] = reinterpret_cast<const void *>(block_cost_sad_half_64x64_avx2);
    m[96] = reinterpret_cast<const void *>(block_cost_sad_half_32x32_avx2);
  } else {
    // From level 1 on all four are the SA8D kernels of their size.
    m[95] = reinterpret_cast<const void *>(sa8d_64x64_avx2);
    m[96] = reinterpret_cast<const void *>(sa8d_32x32_avx2);
    m[97] = reinterpret_cast<const void *>(sa8d_16x16_avx2);
    m[98] = reinterpret_cast<const void *>(sa8d_8x8_avx2);
  }
  return m;
}

class PixelSlotMap : public ::testing::TestWithParam<uint32_t> {};

TEST_P(PixelSlotMap, Avx2KernelsSitInExactlyTheirListedSlots) {
  const uint32_t flags = GetParam();
  for (int32_t level : {-1, 0, 1, 2}) {
    pixel_funcs_t t{}, lower{};
    setup_pixel_primitives(flags, &t, level);
    setup_pixel_primitives(flags & ~checkasm::FLAG_AVX2, &lower, level);
    const auto list = avx2_slots(level);
    std::set<const void *> kernels;
    for (const auto &e : avx2_slots(-1)) kernels.insert(e.second);
    for (const auto &e : avx2_slots(1)) kernels.insert(e.second);
    for (int32_t i = 0; i < 129; i++) {
      const void *got = checkasm::slot_as<const void *>(t, static_cast<size_t>(i));
      const auto it = list.find(i);
      if ((flags & checkasm::FLAG_AVX2) && it != list.end()) {
        EXPECT_EQ(got, it->second) << "slot " << i << " level " << level;
      } else {
        EXPECT_EQ(got, checkasm::slot_as<const void *>(lower, static_cast<size_t>(i)))
            << "slot " << i << " level " << level << ": not the lower tier's function";
        EXPECT_FALSE(kernels.count(got) && !(flags & checkasm::FLAG_AVX2))
            << "slot " << i << " holds an AVX2 kernel without the AVX2 bit";
      }
    }
  }
}

// The four-candidate 4x4 slot stays empty in every tier and at every level.
TEST_P(PixelSlotMap, FourCandidate4x4SlotIsEmpty) {
  for (int32_t level : {-1, 0, 1}) {
    pixel_funcs_t t{};
    setup_pixel_primitives(GetParam(), &t, level);
    EXPECT_EQ(t.sad_x4_half[4], nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(, PixelSlotMap, ::testing::ValuesIn(checkasm::flag_sets({0, 2, 3, 6, 7})),
                         checkasm::flags_name);

}  // namespace
