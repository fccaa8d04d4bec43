#include "motion/me_kept.h"

#include "common/primitives.h"

void me_kept_new_ctu(me_kept_t *k) {
  if (++k->ctu == 0) {
    // The generation wrapped: no slot may claim the new value.
    for (auto &key : k->key) key.ctu = 0;
    k->ctu = 1;
  }
}

const uint8_t *me_kept_find(const me_kept_t *k, const uint8_t *ref, int32_t width, int32_t height, int32_t bilinear,
                            mv_t mv) {
  for (int32_t s = 0; s < me_kept_t::SLOTS; s++) {
    const me_kept_t::key_t &key = k->key[s];
    if (key.ctu == k->ctu && key.ctu != 0 && key.ref == ref && key.width == width && key.height == height &&
        key.bilinear == bilinear && key.mv == mv)
      return k->pix[s];
  }
  return nullptr;
}

namespace {

// The slot of the search, taken on its first copy (its entry dropped).
int32_t slot_of(me_kept_t *kept, int32_t *slot) {
  if (*slot < 0) {
    *slot = kept->next;
    kept->next = (*slot + 1) % me_kept_t::SLOTS;
    kept->key[*slot].ctu = 0;
  }
  return *slot;
}

}  // namespace

void me_keeper_t::take(mv_t v, const uint8_t *p, int32_t stride, bool lasting) {
  // Whole-sample vectors are read in place from the reference.
  if (!p) {
    // The vector's prediction is not at hand: keep nothing for it.
    copied = MV_NONE;
    pending = nullptr;
    return;
  }
  if ((v & 0x00030003u) == 0 || width > 64 || height > 64) return;
  copied = v;
  if (lasting) {
    pending = p;
    pending_stride = stride;
    return;
  }
  pending = nullptr;
  mc->block_copy(kept->pix[slot_of(kept, &slot)], me_kept_t::STRIDE, p, stride, width, height);
}

void me_keeper_t::finish(mv_t v) {
  if (pending && copied == v)
    mc->block_copy(kept->pix[slot_of(kept, &slot)], me_kept_t::STRIDE, pending, pending_stride, width, height);
  pending = nullptr;
  const int32_t s = slot;
  slot = -1;
  if (s < 0 || copied != v) return;
  copied = MV_NONE;
  me_kept_t::key_t &key = kept->key[s];
  key.ctu = kept->ctu;
  key.ref = ref;
  key.width = static_cast<int16_t>(width);
  key.height = static_cast<int16_t>(height);
  key.bilinear = bilinear;
  key.mv = v;
}
