// Feeds arbitrary text to the cube reader, then samples whatever table it
// accepted. The reader may throw its own exceptions; anything else (a crash,
// a sanitizer report, another exception type, a hang) is a finding.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "lut.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream stream(std::string(reinterpret_cast<const char*>(data), size));
  vireth::image::lut table;
  try {
    if (!stream.good()) return 0;
    vireth::image::parse_cube(table, stream);
    vireth::image::require_samplable(table);
  } catch (const vireth::image::detail::exception&) {
    return 0;
  }
  // Corners, the centre and a point between grid nodes of the accepted table.
  std::uint8_t pixels[] = {0, 0, 0, 255, 255, 255, 128, 128, 128, 3, 250, 77};
  vireth::image::map_pixels(table, pixels, sizeof pixels / 3);
  return 0;
}
