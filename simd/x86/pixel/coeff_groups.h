// Pieces the coefficient helpers of every tier share: the bytes of one 4x4
// coefficient group and the count's dispatch by block size.  Included by
// each tier's file and compiled with its flags (internal linkage, so that
// no tier ever runs another tier's compiled copy).
#pragma once

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

#include "common/pixel_c.h"

namespace {

// The 16 coefficients of the 4x4 group whose top-left coefficient is at
// `base`, in raster order (row * 4 + column), narrowed to bytes with signed
// saturation (which keeps every non-zero value non-zero and its sign).
inline __m128i group_bytes(const int16_t *base, intptr_t width) {
  const __m128i r01 = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(base)),
                                         _mm_loadl_epi64(reinterpret_cast<const __m128i *>(base + width)));
  const __m128i r23 = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(base + 2 * width)),
                                         _mm_loadl_epi64(reinterpret_cast<const __m128i *>(base + 3 * width)));
  return _mm_packs_epi16(r01, r23);
}

// The count of a 4x4 .. 32x32 block by its size's function; any other size
// counts nothing, as the portable function does.
template <uint32_t (*C4)(const int16_t *), uint32_t (*C8)(const int16_t *), uint32_t (*C16)(const int16_t *),
          uint32_t (*C32)(const int16_t *)>
inline uint32_t count_nonzero_by_size(const int16_t *coef, int32_t log2_size) {
  switch (log2_size) {
    case 2: return C4(coef);
    case 3: return C8(coef);
    case 4: return C16(coef);
    case 5: return C32(coef);
    default: return 0;
  }
}

// The opening every tier's group scan shares: the portable walk serves a
// call without a 4x4 order or with a width other than 4, 8, 16 or 32 (its
// result in *result, true returned); otherwise the outputs are cleared and a
// count of zero or less ends the scan with -1.  Left to the kernel (false
// returned): the positions of the 4x4 order as bytes in *order.
inline bool group_scan_opening(const uint16_t *scan, const int16_t *coef, uint16_t *signs, uint16_t *sigmap,
                               uint8_t *counts, int32_t nonzero, const uint16_t *scan4x4, int32_t width,
                               int32_t *result, __m128i *order) {
  if (!scan4x4 || (width != 4 && width != 8 && width != 16 && width != 32)) {
    *result = coeff_scan_groups_c(scan, coef, signs, sigmap, counts, nonzero, scan4x4, width);
    return true;
  }
  std::memset(signs, 0, 64 * sizeof(uint16_t));
  std::memset(sigmap, 0, 64 * sizeof(uint16_t));
  std::memset(counts, 0, 64);
  *result = -1;
  if (nonzero <= 0) return true;
  *order = _mm_packus_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(scan4x4)),
                            _mm_loadu_si128(reinterpret_cast<const __m128i *>(scan4x4 + 8)));
  return false;
}

}  // namespace
