// Inter predictions made during the analysis of one CTU, kept for the
// trials that predict the same motion over the same samples again: the
// merge candidates of every depth and partition, the rectangular
// partitions' units costed and then coded, the winner coded again.  A
// prediction depends only on the reference pictures, the vectors and the
// sample positions, so any block inside a kept one with the same motion
// takes the kept samples.  One record per working context; it serves only
// while a CTU's analysis has it switched on.
//
// The 16-bit intermediates of one list's prediction (what a bi-prediction
// averages) are kept the same way: the merge candidates pair the same few
// list vectors in many ways, so half of the intermediates a CTU needs are
// ones it made before.
#pragma once

#include <cstdint>

#include "motion/mv.h"

struct frame_t;

// A kept block: its motion, place and where its samples lie in the ring.
struct kept_block_t {
  const frame_t *ref[2];
  mv_t mv[2];
  int32_t at, bytes;   // the samples in the ring
  uint8_t x, y, w, h;  // the kept block, CTU-relative luma samples
  uint8_t chroma;      // predictions: both chroma blocks are kept too; intermediates: the chroma pair alone
  uint32_t serial;     // the take that filled the slot
};

// Up to SLOTS blocks, their samples one after another in a ring of BYTES;
// the oldest blocks make room for a new one.
template <int32_t BYTES_>
struct kept_ring_t {
  static constexpr int32_t SLOTS = 64, BYTES = BYTES_;
  // A byte digest of each slot's motion, for a quick first test that
  // compares all slots at once (0: a free slot).
  alignas(16) uint8_t tag[SLOTS];
  kept_block_t key[SLOTS];
  int32_t oldest;   // slots are taken in turn: the oldest live one
  int32_t live;     // the number of live slots
  int32_t end;      // the ring position after the newest block's samples
  uint32_t serial;  // takes so far
  alignas(32) uint8_t ring[BYTES];
};

struct pred_cache_t {
  static constexpr int32_t SLOTS = 64, BYTES = 64 * 1024, HALF_BYTES = 32 * 1024;
  // Predictions as made: luma (stride w), then Cb and Cr (stride w / 2).
  kept_ring_t<BYTES> blocks;
  // One list's 16-bit intermediates: luma (stride w), or Cb then Cr
  // (stride w / 2) of the block's chroma.  Half the room serves nearly as
  // many (the later pairings of a vector come soon).
  kept_ring_t<HALF_BYTES> halves;
  bool on;         // a CTU's analysis is running
  bool on_halves;  // ... and keeps intermediates too
};

// The motion of a prediction: the pictures of the lists in use (null for a
// list not used) and their vectors (0 for a list not used).
struct pred_motion_t {
  const frame_t *ref[2];
  mv_t mv[2];
  // Never 0.  The top byte of a product mixes every bit of the motion:
  // the kept blocks' vectors are small and alike, and a weak digest lets
  // most of them through the first test.
  uint8_t tag() const {
    const uintptr_t r = reinterpret_cast<uintptr_t>(ref[0]) ^ (reinterpret_cast<uintptr_t>(ref[1]) << 1);
    const uint32_t t = (mv[0] * 0x9e3779b1u) ^ (mv[1] * 0x85ebca6bu) ^ static_cast<uint32_t>(r >> 4) ^
                       static_cast<uint32_t>(r >> 36);
    const uint8_t b = static_cast<uint8_t>((t * 0x9e3779b1u) >> 24);
    return b ? b : 1;
  }
};

// A CTU's analysis starts (entries of earlier ones no longer serve) or ends
// (nothing is looked up or kept until the next start).  Intermediates are
// kept only where asked: the fast analysis levels pair list vectors too
// rarely to pay for looking them up.
void pred_cache_start(pred_cache_t *c, bool halves = true);
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
inline uint8_t *pred_cache_slot_luma(pred_cache_t *c, int32_t slot) { return c->blocks.ring + c->blocks.key[slot].at; }
inline uint8_t *pred_cache_slot_chroma(pred_cache_t *c, int32_t slot, int32_t plane) {
  const kept_block_t &k = c->blocks.key[slot];
  return c->blocks.ring + k.at + k.w * k.h + (plane - 1) * (k.w * k.h / 4);
}

// One list's intermediate of the w x h block at (x, y) from picture ref with
// vector mv: its luma, or (chroma) its Cb and Cr blocks.
struct pred_half_t {
  const frame_t *ref;
  mv_t mv;
  bool chroma;
};
// The slot holding it (inside a bigger block of the same picture, vector
// and kind), or -1.
int32_t pred_half_find(const pred_cache_t *c, const pred_half_t &k, int32_t x, int32_t y, int32_t w, int32_t h);
// A slot for it, whose samples the caller then writes (pred_half_samples
// at the block's own position).  Taking may drop older slots: a slot found
// before is still good only while pred_half_live says so.
int32_t pred_half_take(pred_cache_t *c, const pred_half_t &k, int32_t x, int32_t y, int32_t w, int32_t h);
// The slot's serial while it holds the block it was found or taken for.
inline uint32_t pred_half_serial(const pred_cache_t *c, int32_t slot) { return c->halves.key[slot].serial; }
inline bool pred_half_live(const pred_cache_t *c, int32_t slot, uint32_t serial) {
  return c->halves.tag[slot] != 0 && c->halves.key[slot].serial == serial;
}
// The samples of the block at (x, y) inside the slot's block: luma (plane
// 0) or chroma plane 1 or 2, with their stride.
int16_t *pred_half_samples(pred_cache_t *c, int32_t slot, int32_t plane, int32_t x, int32_t y, int32_t *stride);
