// Sub-pel planes of reference pictures: built window row by window row as
// the picture's CTU rows become final, and the rows a picture that refers to
// it must wait for.
#pragma once

#include <cstdint>

struct frame_t;
struct mc_funcs_t;

// Window row w (one per CTU row) covers picture rows 64w - 8 .. 64w + 55
// (the first from -76, the last down to height + 76) and columns -80 ..
// width + 79: together every position that a clamped prediction or a
// search window can read.  Building it reads luma rows 64w - 11 .. 64w + 59,
// so CTU rows 0..w must be final (the last also its bottom margin).  Window
// rows [w0, w1) are built in order, by one thread at a time: neighbouring
// windows write the same 16-bit rows at their seam.
void ref_planes_build_rows(const mc_funcs_t *mc, frame_t *f, int32_t w0, int32_t w1, int32_t half_only);

// The last window row that CTU row `ctu_row` of a picture referring to one
// with planes may read: its blocks reach `reach` rows below the CTU row
// (the vertical vector limit, whole samples), the vertical filter of the
// 16-bit prediction 4 more rows, and a 16-bit row is final only once the
// window below it, which rewrites up to 11 rows above its top, is built.
inline int32_t ref_planes_rows_needed(int32_t ctu_row, int32_t reach, int32_t rows) {
  const int32_t need = ctu_row + 1 + (reach + 14) / 64;
  return need < rows - 1 ? need : rows - 1;
}

// Whether the planes of a picture whose `planes_valid` is `valid` hold the
// phase of a quarter-sample vector: all of them, or in the half-sample mode
// the whole- and half-sample ones.
inline bool ref_planes_hold(int32_t valid, int32_t mvx, int32_t mvy) {
  return valid >= 2 || (valid == 1 && ((mvx | mvy) & 1) == 0);
}
