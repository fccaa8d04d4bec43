// A per-CTU byte of the picture (encoder_t::ctu_debug_map) printed as text
// and read back, for chasing a decision CTU by CTU: one run prints what it
// marked, a later run reads the marks of the same picture back.  No encode
// calls them.
//
// The text of one picture: "%d %d\n" with the picture number and a value
// of the caller's, then one line per CTU row holding "%d " per CTU.  A file
// may hold the records of several pictures one after the other.
#pragma once

#include <cstdint>
#include <cstdio>

struct encoder_t;

// Prints the record of the picture to `out`; -1 when the stream fails.
int debug_dump_ctu_map(const encoder_t *ctx, FILE *out, int32_t picture, int32_t value);

// Reads the record of `picture` from the file `path` names into
// ctx->ctu_debug_map and its value into *value.  0, or -1 with a message on
// stderr naming the file (and the line) when the file cannot be read, holds
// no record of the picture, or is not such records for the picture's CTU
// grid: a field that is no number, a byte outside -128..127, a line with
// too few or too many fields, a record cut short.  The map is left as it
// was when the load fails.
int debug_load_ctu_map(encoder_t *ctx, const char *path, int32_t picture, int32_t *value);
