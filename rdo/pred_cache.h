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
  // Up to SLOTS blocks, their samples one after another in a ring of
  // BYTES: luma (stride w), then Cb and Cr (stride w / 2).  The oldest
  // blocks make room for a new one.
  static constexpr int32_t SLOTS = 64, BYTES = 64 * 1024;
  struct key_t {
    const frame_t *ref[2];
    mv_t mv[2];
    int32_t at, bytes;   // the samples in the ring
    uint8_t x, y, w, h;  // the kept block, CTU-relative luma samples
    uint8_t chroma;      // both chroma blocks are kept too
  };
  // A digest of each slot's motion, for a quick first test (0: a free slot).
  uint32_t tag[SLOTS];
  key_t key[SLOTS];
  bool on;         // a CTU's analysis is running
  int32_t oldest;  // slots are taken in turn: the oldest live one
  int32_t live;    // the number of live slots
  int32_t end;     // the ring position after the newest block's samples
  alignas(32) uint8_t ring[BYTES];
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
// and chroma plane 1 or 2, with their strides.
const uint8_t *pred_cache_luma(const pred_cache_t *c, int32_t slot, int32_t x, int32_t y, int32_t *stride);
const uint8_t *pred_cache_chroma(const pred_cache_t *c, int32_t slot, int32_t plane, int32_t x, int32_t y,
                                 int32_t *stride);
// Takes a slot for the w x h block at (x, y), whose samples the caller then
// copies in (pred_cache_slot_luma / _chroma, strides w and w / 2).
int32_t pred_cache_take(pred_cache_t *c, const pred_motion_t &m, int32_t x, int32_t y, int32_t w, int32_t h,
                        bool chroma);
inline uint8_t *pred_cache_slot_luma(pred_cache_t *c, int32_t slot) { return c->ring + c->key[slot].at; }
inline uint8_t *pred_cache_slot_chroma(pred_cache_t *c, int32_t slot, int32_t plane) {
  const pred_cache_t::key_t &k = c->key[slot];
  return c->ring + k.at + k.w * k.h + (plane - 1) * (k.w * k.h / 4);
}
