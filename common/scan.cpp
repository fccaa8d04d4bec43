// Coefficient scan orders of H.265 6.5.3 to 6.5.5, grouped by 4x4 sub-block
// as the residual syntax visits them (7.3.8.11).
#include "common/primitives.h"

namespace {

struct scan_point {
  uint8_t x, y;
};

// Fills the size x size scan of the given type: 0 up-right diagonal,
// 1 horizontal, 2 vertical.
void scan_order(scan_point *out, int type, int size) {
  int i = 0;
  if (type == 0) {
    // 6.5.3: each anti-diagonal from its bottom-left end up to the right.
    for (int diag = 0; diag < 2 * size - 1; diag++) {
      for (int y = diag, x = 0; y >= 0; y--, x++) {
        if (x < size && y < size) out[i++] = {static_cast<uint8_t>(x), static_cast<uint8_t>(y)};
      }
    }
  } else {
    for (int a = 0; a < size; a++) {
      for (int b = 0; b < size; b++) {
        out[i++] = type == 1 ? scan_point{static_cast<uint8_t>(b), static_cast<uint8_t>(a)}
                             : scan_point{static_cast<uint8_t>(a), static_cast<uint8_t>(b)};
      }
    }
  }
}

}  // namespace

void scan_tables_init(scan_tables_t *t) {
  uint16_t *next = t->storage;
  for (int type = 0; type < 3; type++) {
    scan_point inner[16];
    scan_order(inner, type, 4);
    for (int log2 = 2; log2 <= 5; log2++) {
      const int n = 1 << log2;
      const int groups = n / 4;
      scan_point outer[64];
      scan_order(outer, type, groups);
      t->scan[type][log2 - 2] = next;
      for (int g = 0; g < groups * groups; g++) {
        for (int k = 0; k < 16; k++) {
          const int x = outer[g].x * 4 + inner[k].x;
          const int y = outer[g].y * 4 + inner[k].y;
          *next++ = static_cast<uint16_t>(y * n + x);
        }
      }
    }
  }
}
