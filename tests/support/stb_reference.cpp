// stb_image_write compiled once, as the reference our JPEG writer is held
// to; the module never calls it.
#include "stb_reference.hpp"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

namespace tonvik_test {

namespace {

void append(void* context, void* data, int size) {
  const auto* first = static_cast<const unsigned char*>(data);
  static_cast<bytes*>(context)->insert(static_cast<bytes*>(context)->end(), first, first + size);
}

}  // namespace

bytes stb_jpeg(const unsigned char* rgb, int width, int height, int quality) {
  bytes out;
  if (!stbi_write_jpg_to_func(append, &out, width, height, 3, rgb, quality)) out.clear();
  return out;
}

bytes stb_png(const unsigned char* rgb, int width, int height) {
  bytes out;
  if (!stbi_write_png_to_func(append, &out, width, height, 3, rgb, width * 3)) out.clear();
  return out;
}

}  // namespace tonvik_test
