// Fractional-phase samples of the references around one CTU, filtered once
// per CTU and reference instead of once per candidate of every search.
// The searches of one CTU (every CU size, every partition, both refined
// vectors) cost their fractional candidates over largely the same reference
// area: without the cache each sample of a phase is interpolated about ten
// times per CTU.  A sample of a phase depends on its position alone, so a
// block read from the cache has exactly the bytes of its direct
// interpolation.
//
// One cache per worker thread (a CTU is analysed by one thread from start to
// end), made when the thread first sets up a CTU; a slot serves one
// reference plane within one CTU generation, and 8x8 tiles of a phase are
// filtered on first use, those of a horizontal fraction in all four of its
// vertical phases at once.
#pragma once

#include <cstdint>

#include "motion/mv.h"

struct mc_funcs_t;

// SA8D costs of the CTU's 16x16 units against one reference, by vector.
// The searches of one CTU refine around largely the same vectors over the
// same units: the 32x32 CU's candidates come back in its 16x16 CUs and
// their 32x16 and 16x32 neighbours', and the 16x16 CU's in its 16x8 and
// 8x16 units and its 8x8 CUs.  The SA8D of a block of 16x16 or larger is
// the sum of its 16x16 units' SA8Ds, and that of a unit, of its 16x8 and
// 8x16 halves and of its 8x8 quarters follows from the unrounded sums of
// its four 8x8 blocks, so a unit costed once serves every block that holds
// it, or lies in it, with the same vector.  A direct-mapped table per unit
// on the low four bits of each component (the candidates of one refinement
// never meet, nor do those of most refinements of one CTU); a vector that
// meets another's entry replaces it.  An entry holds for the CTU generation
// it was written in.
struct me_unit_costs_t {
  static constexpr int32_t WAYS = 256, UNITS = 16;
  // The 8x8 blocks' unrounded sums costed so far for vector v in CTU
  // generation gen (bit k of `known`: block k in raster order) and, once
  // all four are, the unit's SA8D.
  struct entry_t {
    mv_t v;
    uint32_t gen;
    uint32_t known;
    uint32_t cost;
    uint32_t raw[4];
  };
  static_assert(sizeof(entry_t) == 32);
  entry_t entry[UNITS][WAYS];
  // The entry of vector v in the unit at (ux, uy) (in units, relative to the
  // CTU origin), whatever it holds.
  entry_t &at(int32_t ux, int32_t uy, mv_t v) { return entry[uy * 4 + ux][(v & 15) | ((v >> 12) & 0xf0)]; }
  // No entry holds for any generation from 1 on.
  void clear();
};

struct me_subpel_slot_t {
  // The cached area runs from MARGIN_X samples left of and MARGIN samples
  // above the CTU to `far_x` samples right of and `far` below it (far at
  // most MARGIN, far_x at most MARGIN_X, multiples of TILE): a block must
  // lie inside it.  Its rows are SPAN samples apart.  The narrower sides
  // keep the rows short: the searches of a CTU read each phase over about
  // 80 columns, which rows of 128 samples spread over two cache lines each
  // and rows of 80 over one and a quarter, so the phases written and read
  // per CTU take a third fewer lines, while blocks more than 8 samples
  // beside the CTU are few (5% of the reads in a sequence with fast motion,
  // 0.4% in a panned one) and are filtered from the search's own sums or
  // directly.
  static constexpr int32_t MARGIN = 32, MARGIN_X = 8, SPAN = 64 + 2 * MARGIN_X, ROWS = 64 + 2 * MARGIN,
                           TILE = 8, TILES = ROWS / TILE;
  const uint8_t *ref;  // the reference plane at the CTU origin
  uint32_t gen;        // CTU generation; 0 marks a free slot
  int32_t stride;      // of the reference
  int32_t far, far_x;
  uint32_t valid[15][TILES];  // per phase - 1, per tile row: a bit per filtered tile
  static_assert(SPAN / TILE <= 32);
  alignas(32) uint8_t pix[15][ROWS * SPAN];
  // Raw horizontal sums (the first filter stage) of the piece being filled,
  // the cache's scratch: a horizontal fraction's four phases are filled
  // together from one pass of sums over their tiles (and the vertical taps'
  // 3 rows above and 4 below), which the next fill overwrites.  The
  // searches of a CTU read nearly the same tiles in every phase (all 15
  // phases together hold 1.2 times the tiles of one), so the few tiles
  // filled in a phase that is never read cost less than keeping each
  // fraction's sums over the whole area until the CTU ends: 88 KB more of
  // fresh memory per CTU and reference, which pushed the phases themselves
  // and the analysis code out of the per-core cache.
  int16_t *sums;
  // A fill covers at most a block's tiles: 64 samples at any offset span 9.
  static constexpr int32_t FILL_MAX = 64 + TILE, SUM_ROWS = FILL_MAX + 7;
  // Unit costs of the same reference within the same CTU generation: the
  // entry of vector v in the unit at (ux, uy), taken over for v (with no
  // block known) when it held another vector or generation.
  me_unit_costs_t units;
  me_unit_costs_t::entry_t &unit(int32_t ux, int32_t uy, mv_t v) {
    me_unit_costs_t::entry_t &e = units.at(ux, uy, v);
    if (e.v != v || e.gen != gen) {
      e.v = v;
      e.gen = gen;
      e.known = 0;
    }
    return e;
  }

  // Whether the area holds the samples [x0, x1) x [y0, y1) (relative to the
  // CTU origin).
  bool holds(int32_t x0, int32_t y0, int32_t x1, int32_t y1) const {
    return x0 >= -MARGIN_X && y0 >= -MARGIN && x1 <= 64 + far_x && y1 <= 64 + far;
  }
  // The w x h block at (x, y) relative to the CTU origin in phase
  // (fy << 2) | fx (not 0), stride SPAN; nullptr when it leaves the area.
  const uint8_t *block(const mc_funcs_t *mc, int32_t x, int32_t y, int32_t w, int32_t h, int32_t phase) {
    if (!holds(x, y, x + w, y + h)) return nullptr;
    const uint32_t cx = static_cast<uint32_t>(x + MARGIN_X), cy = static_cast<uint32_t>(y + MARGIN);
    const uint32_t cols = ((2u << ((cx + w - 1) / TILE)) - 1) & ~((1u << (cx / TILE)) - 1);
    const uint32_t ty0 = cy / TILE, ty1 = (cy + h - 1) / TILE;
    const uint32_t *v = valid[phase - 1];
    uint32_t all = cols;
    for (uint32_t t = ty0; t <= ty1; t++) all &= v[t];
    if (all != cols) fill(mc, cols, ty0, ty1, phase);
    return pix[phase - 1] + cy * SPAN + cx;
  }
  // Filters the tiles of columns `cols` (a bit each) in tile rows ty0..ty1
  // of the phase that are not filtered yet (with a horizontal fraction, in
  // its three other vertical phases too).
  void fill(const mc_funcs_t *mc, uint32_t cols, uint32_t ty0, uint32_t ty1, int32_t phase);
};

struct me_subpel_cache_t {
  static constexpr int32_t SLOTS = 4;
  uint32_t gen;  // the current CTU's generation (never 0 once a CTU is set up)
  me_subpel_slot_t slot[SLOTS];
  // The slots' sums: up to SUM_ROWS rows of up to FILL_MAX, rows as far
  // apart as the piece is wide.
  alignas(32) int16_t sums[me_subpel_slot_t::SUM_ROWS * me_subpel_slot_t::FILL_MAX];
};

// This thread's cache, made on first use; nullptr when memory ran out.
me_subpel_cache_t *me_subpel_cache_of_thread();
// A new CTU: the slots of the ones before no longer serve.  Returns the
// generation the CTU's searches hand to me_subpel_cache_slot.
uint32_t me_subpel_cache_new_ctu(me_subpel_cache_t *c);
// The slot of reference plane `ref` (at the CTU origin, rows `stride` apart)
// in generation gen, taken from the free ones on first use; nullptr when
// none is left.  Far rows and columns are cached only where every vector the
// window allows may read them (reach: the downward vector limit, samples).
me_subpel_slot_t *me_subpel_cache_slot(me_subpel_cache_t *c, uint32_t gen, const uint8_t *ref, int32_t stride,
                                       int32_t reach);
