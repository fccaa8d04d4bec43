// NAL units: a growing per-picture array of coded units and their packing
// into Annex B bytes with emulation prevention.
#pragma once

#include <cstddef>
#include <cstdint>

enum nal_unit_type_t : uint8_t {
  NAL_TRAIL_N = 0,
  NAL_TRAIL_R = 1,
  NAL_RADL_N = 6,
  NAL_RADL_R = 7,
  NAL_RASL_N = 8,
  NAL_RASL_R = 9,
  NAL_IDR_W_RADL = 19,
  NAL_IDR_N_LP = 20,
  NAL_CRA = 21,
  NAL_VPS = 32,
  NAL_SPS = 33,
  NAL_PPS = 34,
  NAL_AUD = 35,
  NAL_PREFIX_SEI = 39,
};

struct nal_t {
  uint8_t type;
  uint8_t long_start_code;  // 4-byte start code (parameter sets, first unit of a picture)
  uint32_t size;            // payload bytes (RBSP, before emulation prevention)
  uint8_t *payload;         // owned by the nal_list_t arena
};

struct nal_list_t {
  nal_t *items;
  int32_t count, capacity;
  uint8_t *arena;  // payload storage
  size_t arena_used, arena_capacity;
};

// The unit type written for `type` under an HM compatibility (x10): HM 9.1
// drops RADL_N and RASL_N pictures without a word, so they go out as their
// _R twins, which decode the same and differ only in the sub-layer
// non-reference marking.
uint8_t nal_type_for_compat(int32_t compat, uint8_t type);

void nal_list_init(nal_list_t *l);
void nal_list_free(nal_list_t *l);
void nal_list_clear(nal_list_t *l);
// Makes room for `units` units of `bytes` payload bytes in all, so that
// adding them allocates nothing; -1 when memory runs out.
int nal_list_reserve(nal_list_t *l, int32_t units, size_t bytes);
// Appends a unit holding a copy of the RBSP bytes; -1 when memory runs out.
int nal_list_add(nal_list_t *l, uint8_t type, int long_start_code, const uint8_t *rbsp, size_t size);
// The same with the RBSP given as two pieces (slice header, slice data).
int nal_list_add2(nal_list_t *l, uint8_t type, int long_start_code, const uint8_t *a, size_t a_size,
                  const uint8_t *b, size_t b_size);
// The same with the RBSP given as `count` pieces one after another.
int nal_list_add_pieces(nal_list_t *l, uint8_t type, int long_start_code, const uint8_t *const *pieces,
                        const size_t *sizes, int32_t count);
// Upper bound of the packed size of every unit in the list.
// Adds a unit whose payload is `head` followed by `data_size` bytes that
// already lie in the arena at `data_at`, at or beyond the end of the units
// so far plus `head_size` (the data moves down behind the head).  -1 when
// the unit array is full or the data lies outside the arena.
int nal_list_add_in_place(nal_list_t *l, uint8_t type, int long_start_code, const uint8_t *head, size_t head_size,
                          size_t data_at, size_t data_size);
size_t nal_list_packed_bound(const nal_list_t *l);
// The same bound for a list filled to its capacities.
size_t nal_list_packed_bound_max(const nal_list_t *l);
// Writes every unit as Annex B (start code, two-byte header, escaped
// payload) into out; returns the byte count.
size_t nal_list_pack(const nal_list_t *l, uint8_t *out);
// Escapes one RBSP into out (emulation_prevention_three_byte after every
// 00 00 followed by 00..03); returns the bytes written.
size_t nal_escape(uint8_t *out, const uint8_t *rbsp, size_t size);
// Number of emulation-prevention bytes the escaping of the RBSP inserts.
uint32_t nal_count_epb(const uint8_t *rbsp, size_t size);
