// The image codecs' front: decode a file or memory to packed 8-bit RGB and
// screen its size against what a JPEG can hold; the JPEG writer itself is
// encode/jpeg_writer.hpp. Knows pixels and bytes only; what is done to the
// pixels, and what JPEG is made of them, is the caller's business.
//
// Ownership: an rgb_image owns its pixels and releases them through the
// loader's own free function. Failure contract: decoding reports through
// decode_status; nothing throws but std::bad_alloc.
//
//   decoded result = decode_file(path);
//   if (result.status == decode_status::decoded) use(result.image);
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "limits.hpp"

namespace tonvik::codec {

struct stbi_pixels_deleter {
  void operator()(unsigned char* pixels) const noexcept;
};
using pixel_buffer = std::unique_ptr<unsigned char, stbi_pixels_deleter>;

// Packed RGB, 3 bytes per pixel, rows top to bottom, both sides positive.
struct rgb_image {
  pixel_buffer pixels;
  int width = 0;
  int height = 0;

  std::size_t pixel_count() const noexcept {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  }
};

// undecodable: no image came out of the bytes (not an image, an unsupported
// variant, damaged beyond decoding, or a file that cannot be read at all).
enum class decode_status { decoded, undecodable, too_large };

struct decoded {
  decode_status status = decode_status::undecodable;
  rgb_image image;  // holds pixels only when status is decoded
};

// True when a side or the pixel count is beyond what we write (limits.hpp).
// A header that declares an empty image is not "too large": the decoder
// refuses it.
bool exceeds_jpeg(std::int64_t width, std::int64_t height) noexcept;

// True when an image of this size can be written as a JPEG.
bool fits_jpeg(std::int64_t width, std::int64_t height) noexcept;

// Reads the header first: a size that exceeds_jpeg gives too_large without
// decoding; a header that cannot be read, that declares more pixels than its
// file's size can code, or whose data the file's structure shows cut short
// (decode/input_bounds.hpp), gives undecodable before anything image-sized is
// allocated. The decoded size is held to the same limit (too_large, pixels
// released). Input that ends before the image is complete gives undecodable;
// an image missing only its end marker decodes, except a progressive JPEG.
// decode_file opens the path once (decode/file_source.hpp).
decoded decode_file(const std::string& path);
decoded decode_memory(const unsigned char* bytes, std::size_t size);

}  // namespace tonvik::codec
