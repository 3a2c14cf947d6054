// The one translation unit that compiles the stb image loader. Every format
// it knows stays enabled; nothing else defines its implementation macro, so
// there is exactly one copy of it. (stb's JPEG writer is compiled apart, as
// the tests' reference: stb_write_reference.cpp.)
//
// The loader is built from stb_image_patched.h, the pinned header of
// third_party/stb with the patch series of third_party/stb/patches applied
// (stb_hooks.hpp lists the names they share with us), and configured here so
// that a hostile file can neither end the process nor leak memory contents:
//   - every block the loader allocates starts zero-filled, and so does the
//     part a realloc adds, so a truncated file decodes to zeros instead of
//     whatever the heap held before;
//   - its internal assertions are off (a corrupt file must never abort);
//   - a read past the end of the input copies what there was, from a file
//     and from memory alike, and the rest of the zeroed buffer stays zero;
//   - a PIC may not declare more pixels than the pipeline writes.
//
// It also holds the entry points of stb_loader.hpp, which reach into the
// loader's internals: the format and header a file declares, and a decode
// that fails when the input ran out before the image was complete.
//
// Four changes are for speed alone and keep every pixel: a PNG's stream is
// inflated by libdeflate first (png_inflate.hpp says when stb's inflate still
// runs), the Paeth unfilter has no branches (png_paeth.hpp), the JPEG
// reader's RGB conversion uses AVX2 where there is (jpeg_colour.hpp), and
// large blocks are mappings of their own, which grow without being copied.
#include <algorithm>
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
#include "stb_hooks.hpp"
#include "stb_loader.hpp"

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

// The patched PNG reader's inflate (speed-hooks.patch): the IDAT
// stream inflated by libdeflate into a block of exactly the raw size the
// header implies. The block comes from the loader's allocator, because the
// loader frees it. Null, with *raw_len untouched, leaves the stream to stb's
// own inflate; the exact block is freed first, so the peak stays stb's.
unsigned char* tonvik_png_inflate(const unsigned char* stream, std::uint32_t size, std::uint32_t width,
                                  std::uint32_t height, int channels, int depth, int interlaced, int zlib_header,
                                  std::uint32_t* raw_len) {
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
// header screen; the PIC loader's own limit is in stb_hooks.hpp. The limit on
// a JPEG's passes (input_bounds.hpp gives the reason for the number) is
// counted twice: by the header screen before the decode, and by the decoder
// as it goes, for input that changed.

#define STB_IMAGE_IMPLEMENTATION
#include "stb_image_patched.h"

namespace tonvik::codec::detail {

namespace {

void start(stbi__context& context, const byte_source& source) {
  if (source.io != nullptr) {
    // stb takes the table by non-const pointer but only copies it.
    stbi__start_callbacks(&context, const_cast<stbi_io_callbacks*>(source.io), source.user);
  } else {
    stbi__start_mem(&context, source.bytes, static_cast<int>(source.size));
  }
}

// The loader's own order of format tests (stbi__load_main), so the format
// named here is the one that decodes the file. Each test rewinds.
image_format detect(stbi__context* s) {
  image_format format = image_format::unknown;
  if (stbi__png_test(s)) format = image_format::png;
  else if (stbi__bmp_test(s)) format = image_format::bmp;
  else if (stbi__gif_test(s)) format = image_format::gif;
  else if (stbi__psd_test(s)) format = image_format::psd;
  else if (stbi__pic_test(s)) format = image_format::pic;
  else if (stbi__jpeg_test(s)) format = image_format::jpeg;
  else if (stbi__pnm_test(s)) format = image_format::pnm;
  else if (stbi__hdr_test(s)) format = image_format::hdr;
  else if (stbi__tga_test(s)) format = image_format::tga;
  stbi__rewind(s);
  return format;
}

// IHDR, after an optional CgBI chunk: sides, bit depth and samples per pixel.
bool read_png_header(stbi__context* s, image_header& header) {
  if (!stbi__check_png_header(s)) return false;
  stbi__pngchunk chunk = stbi__get_chunk_header(s);
  if (chunk.type == STBI__PNG_TYPE('C', 'g', 'B', 'I')) {
    if (chunk.length > 0x7fffffffu - 4) return false;
    stbi__skip(s, static_cast<int>(chunk.length) + 4);
    chunk = stbi__get_chunk_header(s);
  }
  if (chunk.type != STBI__PNG_TYPE('I', 'H', 'D', 'R') || chunk.length != 13) return false;
  header.width = stbi__get32be(s);
  header.height = stbi__get32be(s);
  const int depth = stbi__get8(s);
  const int colour = stbi__get8(s);
  static constexpr int samples_of_colour[7] = {1, 0, 3, 1, 2, 0, 4};
  if (colour > 6 || samples_of_colour[colour] == 0) return false;
  header.bits_per_pixel = depth * samples_of_colour[colour];
  return !s->tonvik_ran_out;
}

// What the frame header's load scan sets up beyond the header scan: each
// component's samples and the interleaved unit's count, as the scans walk
// them. Nothing is allocated.
void set_block_geometry(stbi__jpeg* j) {
  int h_max = 1;
  int v_max = 1;
  for (int i = 0; i < j->s->img_n; ++i) {
    h_max = std::max(h_max, j->img_comp[i].h);
    v_max = std::max(v_max, j->img_comp[i].v);
  }
  j->img_mcu_x = static_cast<int>((j->s->img_x + 8u * h_max - 1) / (8u * h_max));
  j->img_mcu_y = static_cast<int>((j->s->img_y + 8u * v_max - 1) / (8u * v_max));
  for (int i = 0; i < j->s->img_n; ++i) {
    j->img_comp[i].x = static_cast<int>((j->s->img_x * j->img_comp[i].h + h_max - 1) / h_max);
    j->img_comp[i].y = static_cast<int>((j->s->img_y * j->img_comp[i].v + v_max - 1) / v_max);
  }
}

// Past a scan's entropy-coded bytes to the marker that ends them, as the
// decoder's bit reader finds it: a zero after 0xFF is a stuffed byte, fill
// bytes repeat 0xFF, restart markers belong to the scan.
int skip_entropy_coded_data(stbi__context* s) {
  for (;;) {
    // The bulk: straight to the next 0xFF of what is buffered.
    const auto buffered = static_cast<std::size_t>(s->img_buffer_end - s->img_buffer);
    if (auto* ff = static_cast<stbi_uc*>(std::memchr(s->img_buffer, 0xFF, buffered))) {
      s->img_buffer = ff + 1;
    } else {
      s->img_buffer = s->img_buffer_end;
      if (stbi__at_eof(s)) return STBI__MARKER_none;
      if (stbi__get8(s) != 0xFF) continue;  // the first byte of the next read
    }
    int c = 0xFF;
    while (c == 0xFF) {
      if (stbi__at_eof(s)) return STBI__MARKER_none;
      c = stbi__get8(s);
    }
    if (c != 0 && !STBI__RESTART(c)) return c;
  }
}

// The blocks a progressive file's scans walk, from just after its frame
// header: the decoder's loop over markers, each scan's data skipped. Stops
// once past `limit`, or where the file is broken (the decoder refuses it).
long long scanned_blocks(stbi__jpeg* j, long long limit) {
  long long scanned = 0;
  int m = stbi__get_marker(j);
  while (!stbi__EOI(m) && m != STBI__MARKER_none && scanned <= limit) {
    if (stbi__SOS(m)) {
      if (!stbi__process_scan_header(j)) break;
      scanned += stbi__tonvik_scan_blocks(j);
      j->marker = static_cast<stbi_uc>(skip_entropy_coded_data(j->s));
    } else if (!stbi__process_marker(j, m)) {
      break;
    }
    m = stbi__get_marker(j);
  }
  return scanned;
}

// Frame header: sides, and the blocks that every component's scans code, as
// a scan of each component alone walks them (interleaved scans walk at least
// as many); for a progressive file, the blocks all its scans walk.
bool read_jpeg_header(stbi__context* s, image_header& header) {
  auto* j = static_cast<stbi__jpeg*>(stbi__malloc(sizeof(stbi__jpeg)));
  if (j == nullptr) return false;
  j->s = s;
  const bool read = stbi__decode_jpeg_header(j, STBI__SCAN_header) != 0;
  if (read) {
    header.width = s->img_x;
    header.height = s->img_y;
    header.progressive = j->progressive != 0;
    set_block_geometry(j);
    header.jpeg_blocks = stbi__tonvik_image_blocks(j);
    if (header.progressive) header.jpeg_scanned_blocks = scanned_blocks(j, max_jpeg_passes * header.jpeg_blocks);
  }
  STBI_FREE(j);
  return read;
}

bool read_tga_header(stbi__context* s, image_header& header) {
  stbi__get8(s);  // length of the image id
  stbi__get8(s);  // colour map type
  header.run_length = stbi__get8(s) >= 9;
  stbi__skip(s, 13);
  header.bits_per_pixel = stbi__get8(s);  // of a pixel or of a colour index
  stbi__rewind(s);
  int width = 0, height = 0, components = 0;
  if (!stbi__tga_info(s, &width, &height, &components)) return false;
  header.width = width;
  header.height = height;
  return true;
}

// The formats whose loaders take a byte past the end for a zero without
// noticing; PNG, GIF and JPEG judge the end of their data themselves.
bool ends_by_end_of_input(image_format format) {
  switch (format) {
    case image_format::bmp:
    case image_format::psd:
    case image_format::pic:
    case image_format::pnm:
    case image_format::hdr:
    case image_format::tga:
      return true;
    default:
      return false;
  }
}

}  // namespace

image_format detect_format(const byte_source& source) {
  stbi__context context;
  start(context, source);
  return detect(&context);
}

bool read_header(const byte_source& source, image_header& header) {
  stbi__context context;
  start(context, source);
  stbi__context* s = &context;
  header = image_header{};
  header.format = detect(s);
  int width = 0, height = 0, components = 0;
  bool read = false;
  switch (header.format) {
    case image_format::png: return read_png_header(s, header);
    case image_format::jpeg: return read_jpeg_header(s, header);
    case image_format::tga: return read_tga_header(s, header);
    case image_format::bmp: {
      stbi__bmp_data info{};
      info.all_a = 255;
      read = stbi__bmp_parse_header(s, &info) != nullptr;
      width = static_cast<int>(s->img_x);
      height = static_cast<int>(s->img_y);
      header.bits_per_pixel = info.bpp;
      break;
    }
    case image_format::pnm: {
      const int sample_bits = stbi__pnm_info(s, &width, &height, &components);
      read = sample_bits != 0;
      header.bits_per_pixel = sample_bits * components;
      break;
    }
    case image_format::gif: read = stbi__gif_info(s, &width, &height, &components) != 0; break;
    case image_format::psd: {
      stbi__skip(s, 12);  // signature, version, reserved
      const int channels = stbi__get16be(s);
      stbi__rewind(s);
      header.bits_per_pixel = 8 * std::clamp(channels, 1, 4);  // the planes the loader decodes
      read = stbi__psd_info(s, &width, &height, &components) != 0;
      break;
    }
    case image_format::pic: read = stbi__pic_info(s, &width, &height, &components) != 0; break;
    case image_format::hdr: read = stbi__hdr_info(s, &width, &height, &components) != 0; break;
    case image_format::unknown: return false;
  }
  header.width = width;
  header.height = height;
  return read;
}

unsigned char* load_rgb(const byte_source& source, image_format format, int& width, int& height) {
  stbi__context context;
  start(context, source);
  int components = 0;
  unsigned char* pixels = stbi__load_and_postprocess_8bit(&context, &width, &height, &components, 3);
  if (pixels != nullptr && context.tonvik_ran_out && ends_by_end_of_input(format)) {
    stbi_image_free(pixels);
    return nullptr;
  }
  return pixels;
}

}  // namespace tonvik::codec::detail
