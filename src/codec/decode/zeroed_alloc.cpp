#include "zeroed_alloc.hpp"

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

namespace tonvik::codec::detail {

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
#ifdef MADV_HUGEPAGE
  // An image-sized block is written through once: huge pages take one fault
  // per 2 MiB instead of one per page. Only touched ranges get pages, so a
  // hostile size still costs address space alone. A refusal changes nothing.
  (void)madvise(block, length, MADV_HUGEPAGE);
#endif
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

}  // namespace

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

}  // namespace tonvik::codec::detail
