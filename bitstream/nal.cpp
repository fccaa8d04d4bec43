#include "bitstream/nal.h"

#include <cstdlib>
#include <cstring>

#include "common/memory.h"

uint8_t nal_type_for_compat(int32_t compat, uint8_t type) {
  if (compat < 100 && (type == NAL_RADL_N || type == NAL_RASL_N)) return static_cast<uint8_t>(type + 1);
  return type;
}

void nal_list_init(nal_list_t *l) { std::memset(l, 0, sizeof(*l)); }

void nal_list_free(nal_list_t *l) {
  aligned_free(l->items);
  aligned_free(l->arena);
  std::memset(l, 0, sizeof(*l));
}

void nal_list_clear(nal_list_t *l) {
  l->count = 0;
  l->arena_used = 0;
}

int nal_list_add(nal_list_t *l, uint8_t type, int long_start_code, const uint8_t *rbsp, size_t size) {
  return nal_list_add2(l, type, long_start_code, rbsp, size, nullptr, 0);
}

// Grows the unit array and the payload arena to hold `units` units and
// `bytes` payload bytes.
static int nal_list_grow(nal_list_t *l, int32_t units, size_t bytes) {
  if (units > l->capacity) {
    nal_t *items = static_cast<nal_t *>(aligned_malloc(sizeof(nal_t) * units));
    if (!items) return -1;
    if (l->count) std::memcpy(items, l->items, sizeof(nal_t) * l->count);
    aligned_free(l->items);
    l->items = items;
    l->capacity = units;
  }
  if (bytes > l->arena_capacity) {
    uint8_t *arena = static_cast<uint8_t *>(aligned_malloc(bytes));
    if (!arena) return -1;
    if (l->arena_used) std::memcpy(arena, l->arena, l->arena_used);
    // Payload pointers move with the arena.
    for (int32_t i = 0; i < l->count; i++) l->items[i].payload = arena + (l->items[i].payload - l->arena);
    aligned_free(l->arena);
    l->arena = arena;
    l->arena_capacity = bytes;
  }
  return 0;
}

int nal_list_reserve(nal_list_t *l, int32_t units, size_t bytes) { return nal_list_grow(l, units, bytes); }

int nal_list_add2(nal_list_t *l, uint8_t type, int long_start_code, const uint8_t *a, size_t a_size,
                  const uint8_t *b, size_t b_size) {
  const uint8_t *const pieces[2] = {a, b};
  const size_t sizes[2] = {a_size, b_size};
  return nal_list_add_pieces(l, type, long_start_code, pieces, sizes, 2);
}

int nal_list_add_pieces(nal_list_t *l, uint8_t type, int long_start_code, const uint8_t *const *pieces,
                        const size_t *sizes, int32_t count) {
  size_t size = 0;
  for (int32_t i = 0; i < count; i++) size += sizes[i];
  if (l->count == l->capacity && nal_list_grow(l, l->capacity ? l->capacity * 2 : 16, l->arena_capacity) < 0)
    return -1;
  if (l->arena_used + size > l->arena_capacity) {
    size_t cap = l->arena_capacity ? l->arena_capacity : 65536;
    while (cap < l->arena_used + size) cap *= 2;
    if (nal_list_grow(l, l->capacity, cap) < 0) return -1;
  }
  nal_t *n = &l->items[l->count++];
  n->type = type;
  n->long_start_code = long_start_code ? 1 : 0;
  n->size = static_cast<uint32_t>(size);
  n->payload = l->arena + l->arena_used;
  uint8_t *dst = n->payload;
  for (int32_t i = 0; i < count; i++) {
    if (sizes[i]) std::memcpy(dst, pieces[i], sizes[i]);
    dst += sizes[i];
  }
  l->arena_used += size;
  return 0;
}

int nal_list_add_in_place(nal_list_t *l, uint8_t type, int long_start_code, const uint8_t *head, size_t head_size,
                          size_t data_at, size_t data_size) {
  if (l->count >= l->capacity || data_at < l->arena_used + head_size || data_at > l->arena_capacity ||
      data_size > l->arena_capacity - data_at)
    return -1;
  nal_t *n = &l->items[l->count++];
  n->type = type;
  n->long_start_code = long_start_code ? 1 : 0;
  n->size = static_cast<uint32_t>(head_size + data_size);
  n->payload = l->arena + l->arena_used;
  if (data_size) std::memmove(n->payload + head_size, l->arena + data_at, data_size);
  if (head_size) std::memcpy(n->payload, head, head_size);
  l->arena_used += head_size + data_size;
  return 0;
}

size_t nal_list_packed_bound(const nal_list_t *l) {
  size_t total = 0;
  for (int32_t i = 0; i < l->count; i++) total += 6 + l->items[i].size + l->items[i].size / 2 + 1;
  return total;
}

size_t nal_list_packed_bound_max(const nal_list_t *l) {
  return static_cast<size_t>(l->capacity) * 7 + l->arena_capacity + l->arena_capacity / 2;
}

size_t nal_escape(uint8_t *out, const uint8_t *rbsp, size_t size) {
  size_t o = 0;
  int zeros = 0;
  for (size_t i = 0; i < size; i++) {
    uint8_t b = rbsp[i];
    if (zeros >= 2 && b <= 3) {
      out[o++] = 3;
      zeros = 0;
    }
    out[o++] = b;
    zeros = b == 0 ? zeros + 1 : 0;
  }
  // A payload may not end in a zero byte; ours end in rbsp trailing bits.
  return o;
}

uint32_t nal_count_epb(const uint8_t *rbsp, size_t size) {
  uint32_t n = 0;
  int zeros = 0;
  for (size_t i = 0; i < size; i++) {
    uint8_t b = rbsp[i];
    if (zeros >= 2 && b <= 3) {
      n++;
      zeros = 0;
    }
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return n;
}

size_t nal_list_pack(const nal_list_t *l, uint8_t *out) {
  size_t o = 0;
  for (int32_t i = 0; i < l->count; i++) {
    const nal_t &n = l->items[i];
    if (n.long_start_code) out[o++] = 0;
    out[o++] = 0;
    out[o++] = 0;
    out[o++] = 1;
    // forbidden_zero_bit, nal_unit_type, nuh_layer_id 0, nuh_temporal_id_plus1 1
    out[o++] = static_cast<uint8_t>(n.type << 1);
    out[o++] = 1;
    o += nal_escape(out + o, n.payload, n.size);
  }
  return o;
}
