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
// Four changes are for speed alone and keep every pixel: a PNG's stream is
// inflated by libdeflate first (png_inflate.hpp says when stb's inflate still
// runs), the Paeth unfilter has no branches (png_paeth.hpp), the JPEG
// reader's RGB conversion uses AVX2 where there is (jpeg_colour.hpp), and
// large blocks are mappings of their own, which grow without being copied.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// Large blocks get mappings of their own on Linux, except under
// AddressSanitizer, which guards heap blocks only.
#if defined(__SANITIZE_ADDRESS__)
#define TONVIK_MAPPED_BLOCKS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TONVIK_MAPPED_BLOCKS 0
#endif
#endif
#if !defined(TONVIK_MAPPED_BLOCKS) && defined(__linux__)
#define TONVIK_MAPPED_BLOCKS 1
#elif !defined(TONVIK_MAPPED_BLOCKS)
#define TONVIK_MAPPED_BLOCKS 0
#endif

#if TONVIK_MAPPED_BLOCKS
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "image_codec.hpp"
#include "jpeg_colour.hpp"
#include "png_inflate.hpp"
#include "png_paeth.hpp"

namespace {

// Each block carries its usable size in a header in front of it, so that a
// growing realloc knows where the new bytes start, and the length of its
// mapping when it has one of its own (0 for a calloc block). One
// max_align_t keeps the block as aligned as malloc's own.
constexpr std::size_t block_header = alignof(std::max_align_t);
static_assert(block_header >= 2 * sizeof(std::size_t), "the header must hold two sizes");

struct block_sizes {
  std::size_t usable;
  std::size_t mapped;
};

unsigned char* block_of(void* pointer) { return static_cast<unsigned char*>(pointer) - block_header; }

block_sizes sizes_of(void* pointer) {
  block_sizes sizes{};
  std::memcpy(&sizes, block_of(pointer), sizeof sizes);
  return sizes;
}

void* stamped(unsigned char* block, std::size_t usable, std::size_t mapped) {
  const block_sizes sizes{usable, mapped};
  std::memcpy(block, &sizes, sizeof sizes);
  return block + block_header;
}

#if TONVIK_MAPPED_BLOCKS
// Blocks of this size and more are mappings of their own: fresh pages are
// zero without being touched, and growing one (the PNG reader doubles its
// IDAT buffer up to the size of the file) moves pages instead of copying them.
constexpr std::size_t mapped_from = std::size_t{1} << 20;

std::size_t page_rounded(std::size_t bytes) {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return bytes > SIZE_MAX - page ? 0 : (bytes + page - 1) / page * page;
}

void* mapped_block(std::size_t size) {
  const std::size_t length = page_rounded(block_header + size);
  if (length == 0) return nullptr;
  void* block = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return nullptr;
  return stamped(static_cast<unsigned char*>(block), size, length);
}

// Null when the mapping cannot grow; the old block is then still valid.
void* grown_mapping(void* pointer, block_sizes old, std::size_t size) {
  const std::size_t length = page_rounded(block_header + size);
  if (length == 0) return nullptr;
  // A block that shrank earlier has old bytes past its usable end.
  unsigned char* block = block_of(pointer);
  std::memset(block + block_header + old.usable, 0, old.mapped - block_header - old.usable);
  void* moved = mremap(block, old.mapped, length, MREMAP_MAYMOVE);
  if (moved == MAP_FAILED) return nullptr;
  return stamped(static_cast<unsigned char*>(moved), size, length);
}
#endif

void* zeroed_malloc(std::size_t size) {
  if (size > SIZE_MAX - block_header) return nullptr;
#if TONVIK_MAPPED_BLOCKS
  if (size >= mapped_from) return mapped_block(size);
#endif
  auto* block = static_cast<unsigned char*>(std::calloc(1, block_header + size));
  if (block == nullptr) return nullptr;
  return stamped(block, size, 0);
}

void zeroed_free(void* pointer) {
  if (pointer == nullptr) return;
  const block_sizes sizes = sizes_of(pointer);
#if TONVIK_MAPPED_BLOCKS
  if (sizes.mapped != 0) {
    munmap(block_of(pointer), sizes.mapped);
    return;
  }
#endif
  std::free(block_of(pointer));
}

// Growing a calloc block moves into a fresh zeroed block rather than realloc
// and clear the new part: a size taken from a hostile header (a PNG chunk may
// declare 1 GB and then end) then costs address space, not a gigabyte of
// touched pages. A mapping grows in place or moves its pages.
void* zeroed_realloc(void* pointer, std::size_t size) {
  if (pointer == nullptr) return zeroed_malloc(size);
  if (size > SIZE_MAX - block_header) return nullptr;
  const block_sizes old = sizes_of(pointer);
#if TONVIK_MAPPED_BLOCKS
  if (old.mapped != 0) {
    if (size <= old.usable) return stamped(block_of(pointer), size, old.mapped);
    return grown_mapping(pointer, old, size);
  }
#endif
  if (size > old.usable) {
    void* grown = zeroed_malloc(size);
    if (grown == nullptr) return nullptr;  // the old block is still valid and still owned
    std::memcpy(grown, pointer, old.usable);
    zeroed_free(pointer);
    return grown;
  }
  auto* block = static_cast<unsigned char*>(std::realloc(block_of(pointer), block_header + size));
  if (block == nullptr) return nullptr;
  return stamped(block, size, 0);
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
