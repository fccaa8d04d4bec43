#include "ratecontrol/key_picture.h"

#include "tarnhevcenc.h"

void key_picture_history_start(key_picture_history_t *h) {
  h->last_type = TARNHEVCENC_TYPE_AUTO;
  h->cra_coded = 0;
}

void key_picture_history_note(key_picture_history_t *h, uint32_t type) {
  h->last_type = type;
  if (type == TARNHEVCENC_TYPE_CRA) h->cra_coded = 1;
}

uint32_t compat_key_picture_type(int32_t compat, uint32_t wanted, const key_picture_history_t *h) {
  if (compat >= 120 || wanted != TARNHEVCENC_TYPE_IDR) return wanted;
  // Right after a key picture the POC may not change (an IDR, or the CRA
  // that starts a stream, has POC 0 as well): a run of key pictures codes
  // all but its first as CRA pictures.
  if (h->last_type == TARNHEVCENC_TYPE_IDR || h->last_type == TARNHEVCENC_TYPE_CRA) return TARNHEVCENC_TYPE_CRA;
  if (compat < 100 && h->cra_coded) return TARNHEVCENC_TYPE_CRA;
  return wanted;
}
