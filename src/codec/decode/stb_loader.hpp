// The hardened stb loader's own entry points, implemented in stb_loader.cpp,
// the one file that compiles the loader, because they use its internals.
// Internal to the codec.
//
// A source is either memory or read callbacks positioned at the start of
// the input; every call reads from there afresh (the caller rewinds a stream
// between read_header and load_rgb). Failure contract: false or null, no
// exceptions; load_rgb's pixels are released with stbi_image_free.
//
//   image_header header;
//   if (read_header(source, header) && file_can_hold(header, file_size)) {
//     reader.rewind();  // a source read through callbacks starts over
//     int width = 0, height = 0;
//     unsigned char* rgb = load_rgb(source, header.format, width, height);
//   }
#pragma once

#include <cstddef>

#include <stb_image.h>

#include "input_bounds.hpp"

namespace tonvik::codec::detail {

struct byte_source {
  const unsigned char* bytes = nullptr;  // memory, `size` bytes long
  std::size_t size = 0;
  const stbi_io_callbacks* io = nullptr;  // or a stream read through these
  void* user = nullptr;
};

// The format the loader would pick, from the first bytes alone (at most
// 92 are read).
image_format detect_format(const byte_source& source);

// The format, as the loader would pick it, and its header. False when no
// format matches or the header cannot be read. For a progressive JPEG it reads
// on through the file: every scan header, the coded data skipped, allocating
// nothing image-sized, to count the blocks the scans walk.
bool read_header(const byte_source& source, image_header& header);

// Decodes to packed 8-bit RGB. Null when the loader fails, or when the input
// ended before the image was complete (`format` says which formats the
// generic end-of-input record applies to).
unsigned char* load_rgb(const byte_source& source, image_format format, int& width, int& height);

}  // namespace tonvik::codec::detail
