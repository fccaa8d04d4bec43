/* A C program that knows the library only through its public header, as a
 * user of the shared library, the static archive or an installed copy sees
 * it: it encodes a few pictures and checks that every API function is
 * reachable and the stream starts as Annex B.  With a file name, the stream
 * is also written there for a decoder to check.  Exits 0 on success, 1 with
 * a message on the first failure. */
#include <stdio.h>
#include <string.h>

#include "tarnhevcenc.h"

#define W 64
#define H 64

static int fail(const char *what) {
  fprintf(stderr, "shared_api_client: %s\n", what);
  return 1;
}

static int is_annexb(const uint8_t *p, int n) { return n > 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1; }

/* Checks one returned picture and appends it to the file, if any; NULL when
 * all is well, else what went wrong. */
static const char *take(const uint8_t *p, int n, FILE *file) {
  if (!is_annexb(p, n)) return "a picture is not Annex B";
  if (file && fwrite(p, 1, (size_t)n, file) != (size_t)n) return "writing the stream failed";
  return NULL;
}

int main(int argc, char **argv) {
  static uint8_t y[W * H], u[W * H / 4], v[W * H / 4];
  const uint8_t *planes[3] = {y, u, v};
  const int32_t strides[3] = {W, W / 2, W / 2};
  tarnhevcenc_param_t param;
  uint8_t header[1024];
  const uint8_t *out = NULL;
  int coded = 0, pictures = 0, n;
  int64_t pts;
  FILE *file = NULL;
  const char *why;

  if (argc > 1 && !(file = fopen(argv[1], "wb"))) return fail("cannot open the output file");
  if (!tarnhevcenc_version() || !tarnhevcenc_buildinfo()) return fail("no version or build text");
  memset(&param, 0, sizeof param);
  param.size = sizeof param;
  if (tarnhevcenc_default_param(&param) != 0) return fail("tarnhevcenc_default_param failed");
  param.width = W;
  param.height = H;
  param.threads = 1;
  param.log_level = 0;
  tarnhevcenc_t *enc = tarnhevcenc_create(&param);
  if (!enc) return fail("tarnhevcenc_create failed");
  n = tarnhevcenc_get_header(enc, header, (int32_t)sizeof header);
  if (!is_annexb(header, n)) return fail("header is not Annex B");
  for (pts = 0; pts < 3; pts++) {
    for (int i = 0; i < W * H; i++) y[i] = (uint8_t)(2 * (i % W) + i / W + 8 * pts); /* a moving ramp */
    memset(u, 128, sizeof u);
    memset(v, 128, sizeof v);
    n = tarnhevcenc_encode_frame(enc, planes, strides, pts, NULL, &out);
    if (n < 0) return fail("encoding a picture failed");
    if (n > 0) {
      if ((why = take(out, n, file))) return fail(why);
      coded++;
    }
    pictures++;
  }
  while (tarnhevcenc_is_encoding(enc)) {
    n = tarnhevcenc_encode_frame(enc, NULL, strides, 0, NULL, &out);
    if (n < 0) return fail("flushing failed");
    if (n > 0) {
      if ((why = take(out, n, file))) return fail(why);
      coded++;
    }
  }
  tarnhevcenc_destroy(enc);
  if (file && fclose(file) != 0) return fail("writing the stream failed");
  if (coded != pictures) return fail("not every picture came out");
  return 0;
}
