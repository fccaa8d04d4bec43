// Predictions the motion searches made for their final vectors, kept for
// the rough cost of the bi-prediction that follows, which would otherwise
// interpolate the same two vectors again.  One record per worker context;
// an entry serves only the same block, reference plane, vector and filter
// within the CTU it was made in.
#pragma once

#include <cstdint>

#include "motion/mv.h"

struct mc_funcs_t;

struct me_kept_t {
  static constexpr int32_t SLOTS = 8, STRIDE = 64;
  struct key_t {
    uint32_t ctu;           // the CTU's generation; 0 marks a free slot
    const uint8_t *ref;     // the reference plane at the block
    int16_t width, height;
    int32_t bilinear;
    mv_t mv;
  };
  key_t key[SLOTS];
  uint32_t ctu;  // generation of the current CTU
  int32_t next;  // the slot the next search writes
  alignas(32) uint8_t pix[SLOTS][64 * STRIDE];
};

// A new CTU: the entries of the ones before no longer serve.
void me_kept_new_ctu(me_kept_t *k);
// The kept prediction of that block, plane, vector and filter (stride
// me_kept_t::STRIDE), or nullptr.
const uint8_t *me_kept_find(const me_kept_t *k, const uint8_t *ref, int32_t width, int32_t height, int32_t bilinear,
                            mv_t mv);

// One search's use of the record: every time a fractional vector becomes
// its best, its prediction is copied into the search's slot (the slot's
// entry is dropped on the first copy); `finish` keeps the slot for the
// final vector when the last copy was of that vector, and the next copy
// takes a new slot (p nullptr: the
// vector's prediction is not at hand, nothing is kept for it).  A
// prediction that lasts (lasting: it stays as it is until the search ends)
// is copied only by `finish`, and only if its vector is the final one.
struct me_keeper_t {
  const mc_funcs_t *mc;
  me_kept_t *kept;
  const uint8_t *ref;
  int32_t width, height, bilinear;
  int32_t slot = -1;
  mv_t copied = MV_NONE;
  const uint8_t *pending = nullptr;  // the lasting prediction of `copied`, not copied yet
  int32_t pending_stride = 0;
  void take(mv_t v, const uint8_t *p, int32_t stride, bool lasting = false);
  void finish(mv_t v);
};
