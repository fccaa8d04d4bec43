// Collocated vectors found for the blocks of one CTU, kept while it is
// coded: every merge list and many vector predictor lists of its blocks ask
// for the same few collocated units again.
#pragma once

#include <cstdint>

#include "motion/mv.h"

struct collocated_memo_t {
  // The 16x16 units of the CTU and the column right of it (a block's
  // bottom-right neighbour), 5 x 4, by the list asked for and the slice
  // kind, a few target pictures each.
  static constexpr int32_t UNITS = 20, WAYS = 4;
  struct entry_t {
    uint32_t serial;  // the CTU coding it was found in
    int32_t target_poc;
    mv_t mv;
    int32_t found;
  };
  entry_t at[UNITS][2][2][WAYS];
};
