// The library's only allocator: 32-byte-aligned blocks whose raw address is
// kept in the word before the returned block.
#pragma once

#include <cstddef>

void *aligned_malloc(size_t n);
void aligned_free(void *p);
