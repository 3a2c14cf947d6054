// stb_image_write as the reference our JPEG writer is held to, in memory:
// its bytes for the same pixels, or nothing when it refuses them.
#pragma once

#include <vector>

namespace tonvik_test {

using bytes = std::vector<unsigned char>;

// stb's baseline JPEG of packed RGB, `quality` read as stbi_write_jpg reads it.
bytes stb_jpeg(const unsigned char* rgb, int width, int height, int quality);
// stb's PNG of packed RGB.
bytes stb_png(const unsigned char* rgb, int width, int height);

}  // namespace tonvik_test
