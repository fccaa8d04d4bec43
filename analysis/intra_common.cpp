#include "analysis/intra_common.h"

#include "analysis/decision_common.h"
#include "rdo/rd_cost.h"

void intra_mpms(const encoder_t *ctx, int32_t z, int32_t mpm[3]) {
  const int32_t x4 = zorder_x(z), y4 = zorder_y(z);
  const int8_t *dir = ctx->maps->intra_dir;
  int32_t a = dir[map4_index(x4 - 1, y4)], b = y4 > 0 ? dir[map4_index(x4, y4 - 1)] : -1;
  if (a < 0) a = 1;
  if (b < 0) b = 1;
  if (a == b) {
    if (a < 2) {
      mpm[0] = 0;
      mpm[1] = 1;
      mpm[2] = 26;
    } else {
      mpm[0] = a;
      mpm[1] = 2 + ((a + 29) % 32);
      mpm[2] = 2 + ((a - 2 + 1) % 32);
    }
    return;
  }
  mpm[0] = a;
  mpm[1] = b;
  mpm[2] = (a != 0 && b != 0) ? 0 : (a != 1 && b != 1) ? 1 : 26;
}

uint32_t intra_chroma_mode_bits(cabac_est_t *est, int32_t chroma_mode) {
  if (chroma_mode == 4) return cabac_est_bin(est, CTX_INTRA_CHROMA_PRED, 0);
  const uint32_t bits = cabac_est_bin(est, CTX_INTRA_CHROMA_PRED, 1) + 512;
  est->bits += 512;
  return bits;
}

void encode_block_of_size(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size, int8_t qp,
                          int32_t do_prediction, int32_t code_residual, uint32_t flags) {
  switch (log2_size) {
    case 2: encode_tu_4x4(ctx, z, x, y, qp, do_prediction, code_residual, flags); break;
    case 3: encode_cu_8x8(ctx, z, x, y, qp, do_prediction, code_residual, flags); break;
    case 4: encode_cu_16x16(ctx, z, x, y, qp, do_prediction, code_residual, flags); break;
    case 5: encode_cu_32x32(ctx, z, x, y, qp, do_prediction, code_residual, flags); break;
    default: encode_cu_64x64(ctx, z, x, y, qp, do_prediction, code_residual, flags); break;
  }
}
