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
// format matches or the header cannot be read. For a GIF, a PIC and a
// progressive JPEG it reads on through the file, allocating nothing
// image-sized: a GIF's first image data and a PIC's packets, the values
// skipped, to see whether the data ends early; every scan header of a JPEG,
// the coded data skipped, to count the blocks the scans walk.
bool read_header(const byte_source& source, image_header& header);

// Decodes to packed 8-bit RGB. Null when the loader fails, or when the input
// ended before the image was complete (`format` says which formats the
// generic end-of-input record applies to).
unsigned char* load_rgb(const byte_source& source, image_format format, int& width, int& height);

// A JPEG decoded as far as its component planes, whose RGB rows are then made
// a few at a time, in order, with the bytes load_rgb gives them: the loader's
// own resampling and colour steps, their state carried between calls. It
// holds the planes (for 4:2:0, 1.5 bytes a pixel) and never the whole image.
//
//   bool certain = false;
//   jpeg_rows* rows = open_jpeg_rows(source, width, height, certain);
//   while (rows && done < height) done += read_jpeg_rows(rows, strip, 16);
//   close_jpeg_rows(rows);
struct jpeg_rows;

// Decodes the JPEG at the start of `source` into its planes, with every
// check of load_rgb's decode, and sets its sides. Null when the loader fails;
// `certain` then says that load_rgb fails on these bytes too (false when the
// memory ran out, or the bytes no longer read as a JPEG).
jpeg_rows* open_jpeg_rows(const byte_source& source, int& width, int& height, bool& certain);
// Writes the next rows, at most `count`, as packed RGB (3 x width bytes
// each, one after another) into `out`; returns how many (0 past the last).
// `out` must hold one byte more than the rows: the loader's colour step
// writes a fourth byte after each pixel, which the next one overwrites (its
// whole image is allocated one byte longer for the same reason).
int read_jpeg_rows(jpeg_rows* rows, unsigned char* out, int count);
// Frees the planes. Takes null.
void close_jpeg_rows(jpeg_rows* rows);

}  // namespace tonvik::codec::detail
