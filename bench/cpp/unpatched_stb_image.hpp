// stb_image exactly as pinned in third_party/stb, without the project's
// patches and with its own allocator: the "stb's unchanged decode" the PNG
// figure of the bench is measured against.
#pragma once

namespace unpatched_stb {

// 8-bit RGB from an image in memory, or null; release with free_pixels.
unsigned char* load_rgb(const unsigned char* bytes, int size, int* width, int* height);
void free_pixels(unsigned char* pixels);

}  // namespace unpatched_stb
