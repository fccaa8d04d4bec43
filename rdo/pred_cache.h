// Inter predictions made during the analysis of one CTU, kept for the
// trials that predict the same motion over the same samples again: the
// merge candidates of every depth and partition, the rectangular
// partitions' units costed and then coded, the winner coded again.  A
// prediction depends only on the reference pictures, the vectors and the
// sample positions, so any block inside a kept one with the same motion
// takes the kept samples.  One record per working context; it serves only
// while a CTU's analysis has it switched on.
#pragma once

#include <cstdint>

#include "motion/mv.h"

struct frame_t;

struct pred_cache_t {
  static constexpr int32_t SLOTS = 32, LUMA_STRIDE = 64, CHROMA_STRIDE = 32;
  struct key_t {
    const frame_t *ref[2];
    mv_t mv[2];
    uint8_t x, y, w, h;  // the kept block, CTU-relative luma samples
    uint8_t chroma;      // both chroma blocks are kept too
  };
  // A digest of each slot's motion, for a quick first test (0: a free slot).
  uint32_t tag[SLOTS];
  key_t key[SLOTS];
  bool on;       // a CTU's analysis is running
  int32_t next;  // the slot the next prediction takes
  alignas(32) uint8_t luma[SLOTS][64 * LUMA_STRIDE];
  alignas(32) uint8_t chroma[SLOTS][2][32 * CHROMA_STRIDE];
};

// The motion of a prediction: the pictures of the lists in use (null for a
// list not used) and their vectors (0 for a list not used).
struct pred_motion_t {
  const frame_t *ref[2];
  mv_t mv[2];
  // Never 0.
  uint32_t tag() const {
    const uintptr_t r = reinterpret_cast<uintptr_t>(ref[0]) ^ (reinterpret_cast<uintptr_t>(ref[1]) << 1);
    const uint32_t t = mv[0] ^ (mv[1] * 0x9e3779b1u) ^ static_cast<uint32_t>(r >> 4) ^ static_cast<uint32_t>(r >> 36);
    return t | 1u;
  }
};

// A CTU's analysis starts (entries of earlier ones no longer serve) or ends
// (nothing is looked up or kept until the next start).
void pred_cache_start(pred_cache_t *c);
void pred_cache_stop(pred_cache_t *c);
inline bool pred_cache_on(const pred_cache_t *c) { return c && c->on; }
// The slot holding the w x h block at (x, y) with that motion, with its
// chroma when asked, or -1; *luma_only the slot holding its luma alone
// (when chroma was asked), or -1.
int32_t pred_cache_find(const pred_cache_t *c, const pred_motion_t &m, int32_t x, int32_t y, int32_t w, int32_t h,
                        bool chroma, int32_t *luma_only);
// The kept samples of the block at (x, y) inside the slot's block: luma
// (stride LUMA_STRIDE) and chroma plane 1 or 2 (stride CHROMA_STRIDE).
const uint8_t *pred_cache_luma(const pred_cache_t *c, int32_t slot, int32_t x, int32_t y);
const uint8_t *pred_cache_chroma(const pred_cache_t *c, int32_t slot, int32_t plane, int32_t x, int32_t y);
// Takes the next slot for the w x h block at (x, y), whose samples the
// caller then copies in (pred_cache_slot_luma / _chroma).
int32_t pred_cache_take(pred_cache_t *c, const pred_motion_t &m, int32_t x, int32_t y, int32_t w, int32_t h,
                        bool chroma);
inline uint8_t *pred_cache_slot_luma(pred_cache_t *c, int32_t slot) { return c->luma[slot]; }
inline uint8_t *pred_cache_slot_chroma(pred_cache_t *c, int32_t slot, int32_t plane) {
  return c->chroma[slot][plane - 1];
}
