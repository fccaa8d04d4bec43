// Sign data hiding (H.265 7.3.8.11): in a coefficient group whose first and
// last non-zero coefficients are more than 3 scan positions apart, the sign
// of the first one is not sent but inferred from the parity of the group's
// level sum.  Where the parity disagrees, one level moves by one: the change
// with the least added squared error plus (with a rate weight) the bits it
// adds or saves.  Changes that would alter which coefficient comes first are
// excluded, so one change always suffices.
//
// A change stays inside its group and reads nothing outside it, so the
// groups are taken in raster order, each in the 4x4 scan order of the
// block's scan type.
//
// rate_weight converts a bit into the squared-error units of err^2 (0: error
// only).  Bits of a change, roughly: a new non-zero level costs its
// significance, greater-than-one and sign bins; a level leaving 1 saves
// them; moving between larger levels costs about a bit.
#include <cstring>
#include <limits>

#include "common/primitives.h"
#include "common/residual_ctx.h"

uint32_t sign_hide_c(int16_t *levels, const int16_t *coef, int32_t log2_size, int32_t scan_type, uint32_t nonzero,
                     int32_t scale, int32_t shift, double rate_weight) {
  const int32_t n = 1 << log2_size, groups = n >> 2;
  const uint8_t *inner = residual_ctx::inner_scan[scan_type].data();
  const int64_t step = int64_t{1} << shift;
  uint32_t count = nonzero;
  for (int32_t gy = 0; gy < groups; gy++)
    for (int32_t gx = 0; gx < groups; gx++) {
      const int32_t origin = 4 * gy * n + 4 * gx;
      // Most groups hold no level at all: their four rows at once.
      uint64_t any = 0;
      for (int32_t y = 0; y < 4; y++) {
        uint64_t row;
        std::memcpy(&row, levels + origin + y * n, sizeof row);
        any |= row;
      }
      if (!any) continue;
      int32_t pos[16];
      uint32_t map = 0, odd = 0;  // bit k: entry k's level is not 0 / is odd
      for (int32_t k = 0; k < 16; k++) {
        pos[k] = origin + (inner[k] >> 2) * n + (inner[k] & 3);
        const int32_t l = levels[pos[k]];
        map |= uint32_t{l != 0} << k;
        odd ^= static_cast<uint32_t>(l & 1);
      }
      // A single level spans nothing.
      if (!(map & (map - 1))) continue;
      const int32_t first = __builtin_ctz(map), last = 31 - __builtin_clz(map);
      if (last - first <= 3) continue;
      // The parity of the level sum is that of its odd levels' count.
      const bool negative = levels[pos[first]] < 0;
      if ((odd != 0) == negative) continue;
      // Candidates in the order k, then -1 before +1; the first of equal
      // costs wins.  Entries before the first non-zero level have none (a
      // level there would become the first), so the walk starts at it.
      double best_cost = std::numeric_limits<double>::infinity();
      int32_t best_k = -1, best_delta = 0;
      auto consider = [&](int64_t e2, double old2, double bits, int32_t k, int32_t delta) {
        const double cost = static_cast<double>(e2) * static_cast<double>(e2) - old2 + rate_weight * bits;
        if (cost < best_cost) {
          best_cost = cost;
          best_k = k;
          best_delta = delta;
        }
      };
      for (int32_t k = first; k < 16; k++) {
        const int32_t l = levels[pos[k]], c = coef[pos[k]];
        const int64_t ac = c < 0 ? -static_cast<int64_t>(c) : c;
        const int32_t al = l < 0 ? -l : l;
        const int64_t err = ac * scale - (static_cast<int64_t>(al) << shift);
        const double old2 = static_cast<double>(err) * static_cast<double>(err);
        if (al == 0) {
          consider(err - step, old2, 4, k, 1);
          continue;
        }
        // A level leaving 1 saves its bins; the first one may not go.
        if (al > 1)
          consider(err + step, old2, -1, k, -1);
        else if (k != first)
          consider(err + step, old2, k == last ? -5 : -4, k, -1);
        if (al != 32767) consider(err - step, old2, 1, k, 1);
      }
      const int32_t p = pos[best_k], l = levels[p];
      const int32_t al = (l < 0 ? -l : l) + best_delta;
      const bool neg = l != 0 ? l < 0 : coef[p] < 0;
      levels[p] = static_cast<int16_t>(neg ? -al : al);
      count = count + (l == 0) - (al == 0);
    }
  return count;
}
