#include "image_codec.hpp"

#include <climits>

#include <stb_image.h>

#include "jpeg_writer.hpp"

namespace tonvik::codec {

namespace {

// Packed RGB is all the mapper and the writer understand.
constexpr int rgb_components = 3;

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

}  // namespace

void stbi_pixels_deleter::operator()(unsigned char* pixels) const noexcept { stbi_image_free(pixels); }

bool exceeds_jpeg(std::int64_t width, std::int64_t height) noexcept {
  return width > max_jpeg_side || height > max_jpeg_side || width * height > max_jpeg_pixels;
}

bool fits_jpeg(std::int64_t width, std::int64_t height) noexcept {
  return width > 0 && height > 0 && !exceeds_jpeg(width, height);
}

int jpeg_quality_for_width(int width) noexcept {
  // A width that fits_jpeg accepts keeps 3 x width far inside int.
  return rgb_components * width;
}

decoded decode_file(const std::string& path) {
  int width = 0;
  int height = 0;
  int file_components = 0;
  if (stbi_info(path.c_str(), &width, &height, &file_components) && exceeds_jpeg(width, height)) {
    return too_large();
  }
  unsigned char* pixels = stbi_load(path.c_str(), &width, &height, &file_components, rgb_components);
  return adopt(pixels, width, height);
}

decoded decode_memory(const unsigned char* bytes, std::size_t size) {
  if (!bytes || size == 0 || size > static_cast<std::size_t>(INT_MAX)) return decoded{};
  const int length = static_cast<int>(size);
  int width = 0;
  int height = 0;
  int file_components = 0;
  if (stbi_info_from_memory(bytes, length, &width, &height, &file_components) &&
      exceeds_jpeg(width, height)) {
    return too_large();
  }
  unsigned char* pixels =
      stbi_load_from_memory(bytes, length, &width, &height, &file_components, rgb_components);
  return adopt(pixels, width, height);
}

bool encode_jpeg(const rgb_image& image, byte_sink& sink) {
  if (!image.pixels || !fits_jpeg(image.width, image.height)) return false;
  return write_jpeg(sink, image.pixels.get(), image.width, image.height, jpeg_quality_for_width(image.width));
}

}  // namespace tonvik::codec
