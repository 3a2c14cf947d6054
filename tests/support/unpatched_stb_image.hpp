// stb_image exactly as pinned in third_party/stb, without the project's
// patches and with its own allocator: the reference the speed changes of the
// loader are tested against (valid files only: the patches change what
// broken ones give), and the "stb's unchanged decode" of the bench.
#pragma once

namespace unpatched_stb {

// 8-bit RGB from an image in memory, or null; release with free_pixels.
unsigned char* load_rgb(const unsigned char* bytes, int size, int* width, int* height);
void free_pixels(unsigned char* pixels);

}  // namespace unpatched_stb
