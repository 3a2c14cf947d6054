// The stb loader's allocator (STBI_MALLOC, STBI_REALLOC, STBI_FREE in
// stb_config.hpp). Every block starts zero-filled, and so does the part a
// realloc adds, so a truncated file decodes to zeros instead of whatever the
// heap held before. Large blocks are mappings of their own on Linux, which
// grow without being copied.
//
// Ownership: a block from zeroed_malloc or zeroed_realloc is released with
// zeroed_free and nothing else (each block carries a header in front of it).
// Failure contract: null, as malloc; a failed realloc leaves the old block
// valid and owned by the caller.
//
//   void* block = zeroed_malloc(size);  // size bytes, all zero
//   block = zeroed_realloc(block, 2 * size);  // the new half zero too
//   zeroed_free(block);
#pragma once

#include <cstddef>

namespace tonvik::codec::detail {

void* zeroed_malloc(std::size_t size);
void* zeroed_realloc(void* pointer, std::size_t size);
void zeroed_free(void* pointer);

}  // namespace tonvik::codec::detail
