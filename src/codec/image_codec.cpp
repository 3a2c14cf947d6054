#include "image_codec.hpp"

#include <climits>

#include <stb_image.h>

#include "decode/file_source.hpp"
#include "decode/input_bounds.hpp"
#include "decode/screen.hpp"
#include "decode/stb_loader.hpp"

namespace tonvik::codec {

namespace {

decoded too_large() {
  decoded result;
  result.status = decode_status::too_large;
  return result;
}

decoded adopt(unsigned char* pixels, int width, int height) {
  decoded result;
  result.image.pixels.reset(pixels);
  if (!pixels || width <= 0 || height <= 0) return result;
  // The header check can be skipped (an unreadable header) or disagree with
  // the decoder; the decoded size is the one that counts.
  if (!fits_jpeg(width, height)) return too_large();
  result.image.width = width;
  result.image.height = height;
  result.status = decode_status::decoded;
  return result;
}

// The header screen, then the decode, over the same bytes. `rewind` puts a
// stream back at its start between the two.
template <typename Rewind>
decoded decode_source(const detail::byte_source& source, std::uint64_t file_size, Rewind rewind) {
  image_header header;
  const decode_status screened = detail::screen(source, file_size, header);
  if (screened == decode_status::too_large) return too_large();
  if (screened != decode_status::decoded) return decoded{};
  rewind();
  return detail::decode_screened(source, header);
}

}  // namespace

namespace detail {

// A header its file cannot code, or none at all, is not an image; a size no
// JPEG can hold is too large.
decode_status screen(const byte_source& source, std::uint64_t file_size, image_header& header) {
  if (!read_header(source, header)) return decode_status::undecodable;
  if (exceeds_jpeg(header.width, header.height)) return decode_status::too_large;
  if (!file_can_hold(header, file_size)) return decode_status::undecodable;
  return decode_status::decoded;
}

decoded decode_screened(const byte_source& source, const image_header& header) {
  int width = 0;
  int height = 0;
  unsigned char* pixels = load_rgb(source, header.format, width, height);
  return adopt(pixels, width, height);
}

}  // namespace detail

void stbi_pixels_deleter::operator()(unsigned char* pixels) const noexcept { stbi_image_free(pixels); }

bool exceeds_jpeg(std::int64_t width, std::int64_t height) noexcept {
  return width > max_jpeg_side || height > max_jpeg_side || width * height > max_jpeg_pixels;
}

bool fits_jpeg(std::int64_t width, std::int64_t height) noexcept {
  return width > 0 && height > 0 && !exceeds_jpeg(width, height);
}

decoded decode_file(const std::string& path) {
  opened_image file = open_image(path);
  switch (file.status) {
    case open_status::failed: return decoded{};
    case open_status::streamed: return decode_memory(file.bytes.data(), file.bytes.size());
    case open_status::regular: break;
  }
  regular_file_reader reader(file.fd, file.size);
  detail::byte_source source;
  source.io = reader.callbacks();
  source.user = &reader;
  return decode_source(source, file.size, [&reader] { reader.rewind(); });
}

decoded decode_memory(const unsigned char* bytes, std::size_t size) {
  if (!bytes || size == 0 || size > static_cast<std::size_t>(INT_MAX)) return decoded{};
  detail::byte_source source;
  source.bytes = bytes;
  source.size = size;
  return decode_source(source, size, [] {});
}

}  // namespace tonvik::codec
