// The one translation unit that compiles the stb image loader and JPEG writer.
// Every format the loader knows stays enabled; nothing else defines these
// implementation macros, so there is exactly one copy of each library.
//
// The loader is built from stb_image_patched.h, the pinned header of
// third_party/stb with the fixes of stb_patch/patch_stb_image.cmake applied, and configured here so
// that a hostile file can neither end the process nor leak memory contents:
//   - every block the loader allocates starts zero-filled, and so does the
//     part a realloc adds, so a truncated file decodes to zeros instead of
//     whatever the heap held before;
//   - its internal assertions are off (a corrupt file must never abort);
//   - a read past the end of the input copies what there was, from a file
//     and from memory alike, and the rest of the zeroed buffer stays zero;
//   - a PIC may not declare more pixels than the pipeline writes.
// Two changes are for speed alone and keep every pixel: a PNG's stream is
// inflated by libdeflate first (png_inflate.hpp says when stb's inflate still
// runs), and the Paeth unfilter has no branches (png_paeth.hpp).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "image_codec.hpp"
#include "png_inflate.hpp"
#include "png_paeth.hpp"

namespace {

// Each block carries its usable size in a header in front of it, so that a
// growing realloc knows where the new bytes start. One max_align_t keeps the
// block as aligned as malloc's own.
constexpr std::size_t block_header = alignof(std::max_align_t);
static_assert(block_header >= sizeof(std::size_t), "the header must hold the size");

unsigned char* block_of(void* pointer) { return static_cast<unsigned char*>(pointer) - block_header; }

void* zeroed_malloc(std::size_t size) {
  if (size > SIZE_MAX - block_header) return nullptr;
  auto* block = static_cast<unsigned char*>(std::calloc(1, block_header + size));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &size, sizeof size);
  return block + block_header;
}

void zeroed_free(void* pointer) {
  if (pointer != nullptr) std::free(block_of(pointer));
}

// Growing moves into a fresh calloc block rather than realloc and clear the
// new part: a size taken from a hostile header (a PNG chunk may declare 1 GB
// and then end) then costs address space, not a gigabyte of touched pages.
void* zeroed_realloc(void* pointer, std::size_t size) {
  if (pointer == nullptr) return zeroed_malloc(size);
  if (size > SIZE_MAX - block_header) return nullptr;
  std::size_t old_size = 0;
  std::memcpy(&old_size, block_of(pointer), sizeof old_size);
  if (size > old_size) {
    void* grown = zeroed_malloc(size);
    if (grown == nullptr) return nullptr;  // the old block is still valid and still owned
    std::memcpy(grown, pointer, old_size);
    zeroed_free(pointer);
    return grown;
  }
  auto* block = static_cast<unsigned char*>(std::realloc(block_of(pointer), block_header + size));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &size, sizeof size);
  return block + block_header;
}

}  // namespace

// The patched PNG reader's inflate (the png-fast-inflate patch): the IDAT
// stream inflated by libdeflate into a block of exactly the raw size the
// header implies. The block comes from the loader's allocator, because the
// loader frees it. Null, with *raw_len untouched, leaves the stream to stb's
// own inflate; the exact block is freed first, so the peak stays stb's.
static unsigned char* tonvik_png_inflate(const unsigned char* stream, std::uint32_t size, std::uint32_t width,
                                         std::uint32_t height, int channels, int depth, int interlaced,
                                         int zlib_header, std::uint32_t* raw_len) {
  if (!tonvik::codec::fast_inflate_enabled()) return nullptr;
  const std::uint64_t exact = tonvik::codec::png_raw_size(width, height, channels, depth, interlaced != 0);
  if (exact == 0) return nullptr;
  auto* out = static_cast<unsigned char*>(zeroed_malloc(exact));
  if (out == nullptr) return nullptr;
  if (!tonvik::codec::inflate_png_exact(stream, size, zlib_header != 0, out, exact)) {
    zeroed_free(out);
    return nullptr;
  }
  *raw_len = static_cast<std::uint32_t>(exact);  // png_raw_size keeps it below 2^31
  return out;
}

#define STBI_MALLOC(size) zeroed_malloc(size)
#define STBI_REALLOC(pointer, size) zeroed_realloc(pointer, size)
#define STBI_FREE(pointer) zeroed_free(pointer)
#define STBI_ASSERT(condition) ((void)0)
// STBI_MAX_DIMENSIONS keeps its default (2^24) on purpose: stbi_info obeys it
// too, and a lower value would turn "too large" into "not an image" for the
// header screen. Used by the PIC loader, whose header the screen could not
// always read:
#define STBI_TONVIK_MAX_PIXELS tonvik::codec::max_jpeg_pixels

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>
#include "stb_image_patched.h"
