// The whole apply path on an image held in memory: screen and decode it, map
// it through a fixed LUT and encode the JPEG into a sink that only counts.
// Every loader format is reachable; a crash, a sanitizer report, a hang or an
// out-of-memory is a finding.
#include <cstddef>
#include <cstdint>
#include <sstream>

#include <stb_image.h>

#include "apply_pipeline.hpp"
#include "image_codec.hpp"
#include "lut.hpp"

namespace {

// Images above this many pixels are refused here, before decoding, only to
// keep each run fast: the pipeline's own screen stops at max_jpeg_pixels.
constexpr long long fuzz_pixel_budget = 1 << 22;

class counting_sink final : public tonvik::codec::byte_sink {
 public:
  bool put(const unsigned char*, std::size_t size) override {
    written += size;
    return true;
  }
  std::size_t written = 0;
};

const vireth::image::lut& grade() {
  static const vireth::image::lut table = [] {
    // A 3-point table that swaps red and blue and lifts the shadows.
    std::ostringstream text;
    text << "LUT_3D_SIZE 3\n";
    for (int b = 0; b < 3; ++b)
      for (int g = 0; g < 3; ++g)
        for (int r = 0; r < 3; ++r) text << (0.1 + b * 0.45) << ' ' << g * 0.5 << ' ' << r * 0.5 << '\n';
    std::istringstream stream(text.str());
    vireth::image::lut parsed;
    vireth::image::parse_cube(parsed, stream);
    return parsed;
  }();
  return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  int width = 0;
  int height = 0;
  int components = 0;
  if (size <= 0x7fffffff &&
      stbi_info_from_memory(data, static_cast<int>(size), &width, &height, &components) &&
      static_cast<long long>(width) * height > fuzz_pixel_budget) {
    return 0;
  }
  tonvik::codec::decoded result = tonvik::codec::decode_memory(data, size);
  if (result.status != tonvik::codec::decode_status::decoded) return 0;
  tonvik::bridge::map_image(grade(), result.image);
  counting_sink sink;
  if (!tonvik::codec::encode_jpeg(result.image, sink) || sink.written == 0) __builtin_trap();
  return 0;
}
