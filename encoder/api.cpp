// The eight exported functions.
#include <cerrno>
#include <cstdio>
#include <new>

#include "encoder/encoder.h"
#include "tarnhevcenc.h"

struct tarnhevcenc_t {
  encoder_t *enc;
};

#define TARN_STR2(x) #x
#define TARN_STR(x) TARN_STR2(x)

extern "C" {

TARNHEVCENC_API const char *tarnhevcenc_version(void) { return "0.1.0"; }

TARNHEVCENC_API const char *tarnhevcenc_buildinfo(void) {
  return "compiler " __VERSION__ ", C++ " TARN_STR(__cplusplus)
#ifdef __OPTIMIZE__
         ", optimised"
#endif
#if defined(__SANITIZE_ADDRESS__)
         ", address sanitizer"
#endif
      ;
}

TARNHEVCENC_API int tarnhevcenc_default_param(tarnhevcenc_param_t *param) {
  if (!param || param->size < offsetof(tarnhevcenc_param_t, cpu_flags) + sizeof(param->cpu_flags)) return -1;
  param_public_defaults(param);
  return 0;
}

TARNHEVCENC_API tarnhevcenc_t *tarnhevcenc_create(tarnhevcenc_param_t *param) {
  if (!param) {
    errno = EINVAL;
    return nullptr;
  }
  encoder_t *enc = encoder_open(param);
  if (!enc) return nullptr;
  tarnhevcenc_t *h = new (std::nothrow) tarnhevcenc_t{enc};
  if (!h) {
    encoder_close(enc);
    errno = ENOMEM;
  }
  return h;
}

TARNHEVCENC_API int tarnhevcenc_get_header(tarnhevcenc_t *h, uint8_t *buf, int32_t buf_size) {
  if (!h) return -1;
  return encoder_get_header(h->enc, buf, buf_size);
}

TARNHEVCENC_API int tarnhevcenc_encode_frame(tarnhevcenc_t *h, const uint8_t *const planes[3],
                                             const int32_t strides[3], int64_t pts, tarnhevcenc_frame_opts_t *opts,
                                             const uint8_t **out) {
  if (!h || !out) return -1;
  return encoder_encode_frame(h->enc, planes, strides, pts, opts, out);
}

TARNHEVCENC_API int tarnhevcenc_is_encoding(tarnhevcenc_t *h) {
  if (!h) return 0;
  // After a failure only the pictures in flight still come back.
  if (h->enc->failed) return h->enc->inflight_count > 0 ? 1 : 0;
  return (h->enc->lookahead->input->count > 0 || h->enc->lookahead->decided->count > 0 ||
          h->enc->inflight_count > 0)
             ? 1
             : 0;
}

TARNHEVCENC_API void tarnhevcenc_destroy(tarnhevcenc_t *h) {
  if (!h) return;
  encoder_close(h->enc);
  delete h;
}

}  // extern "C"
