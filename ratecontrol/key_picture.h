// Key-picture types the HM 9.1 and 10.0 reference decoders follow.
//
// Both old decoders find picture boundaries by a change of POC only, so an
// IDR picture right after another IDR (both POC 0) merges into it: a key
// picture right after a key picture is coded as a CRA picture, with POC
// counting on (as in all-intra streams).
// HM 9.1 also keeps the reference barrier of a CRA picture across a later
// IDR, so once a CRA picture has been coded every key picture stays a CRA.
#pragma once

#include <cstdint>

// What the stream holds so far, in coding order.
struct key_picture_history_t {
  uint32_t last_type;  // TARNHEVCENC_TYPE_* of the last picture, AUTO before the first
  int32_t cra_coded;   // a CRA picture has been coded
};

void key_picture_history_start(key_picture_history_t *h);
// Records the type of the next picture in coding order.
void key_picture_history_note(key_picture_history_t *h, uint32_t type);
// The type (IDR or CRA) to code a key picture with when `wanted` is asked for
// and the picture comes next in coding order; compat is the HM compatibility
// x10 (the final standard, 120 and above, takes any).
uint32_t compat_key_picture_type(int32_t compat, uint32_t wanted, const key_picture_history_t *h);
