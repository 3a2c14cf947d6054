// The pinned header compiled a second time, unpatched. STB_IMAGE_STATIC keeps
// every one of its symbols inside this file, so it cannot clash with the
// patched loader the codec library holds.
#include "unpatched_stb_image.hpp"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"  // in stb, and only at -O3
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>
#pragma GCC diagnostic pop

namespace unpatched_stb {

unsigned char* load_rgb(const unsigned char* bytes, int size, int* width, int* height) {
  int components = 0;
  return stbi_load_from_memory(bytes, size, width, height, &components, 3);
}

void free_pixels(unsigned char* pixels) { stbi_image_free(pixels); }

}  // namespace unpatched_stb
